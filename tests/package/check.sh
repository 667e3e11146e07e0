#!/usr/bin/env bash
# Checks the packages that scripts/package built in build/package: lintian finds neither errors nor
# warnings in the .deb; the .deb, the tarball and the zip hold exactly what users install; udev
# reads the packaged rule without complaint; the unpacked tool, and the zip's .exe under Wine,
# print their version; the packaged bash completion passes its case table.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/packages.sh
ensure_packages lintian dpkg-dev unzip udev wine wine64 binutils-mingw-w64-x86-64

version=$(sed -nE 's/^project\(uartflash VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
deb=build/package/uartflash_${version}_amd64.deb
tgz=build/package/uartflash-${version}-linux-x86_64.tar.gz
zip=build/package/uartflash-${version}-win64.zip
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
    echo "package: $*"
    failures=$((failures + 1))
}

# The files under a folder, relative to it, one a line.
files_in() {
    (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
}

# WHAT EXPECTED_FILE ACTUAL_FILE: compares two file lists.
same_files() {
    diff -u "$2" "$3" >"$work/diff" || fail "$1 holds other files than expected:$(printf '\n%s' "$(cat "$work/diff")")"
}

# Prints "uartflash <version>" when the tool answers --version as expected.
check_version() {
    local what=$1 output
    shift
    if ! output=$("$@" --version 2>&1 | tr -d '\r'); then
        fail "$what --version failed: [$output]"
    elif [ "$output" != "uartflash $version" ]; then
        fail "$what --version printed [$output]"
    fi
}

echo "--- lintian $deb"
lintian --fail-on error,warning "$deb" 2> >(grep -v 'root privileges' >&2) ||
    fail "lintian reports errors or warnings"

echo "--- contents of $deb"
dpkg-deb -x "$deb" "$work/deb"
files_in "$work/deb" >"$work/deb.list"
LC_ALL=C sort >"$work/deb.expected" <<'EOF'
usr/bin/uartflash
usr/lib/udev/rules.d/60-uartflash.rules
usr/share/bash-completion/completions/uartflash
usr/share/doc/uartflash/README.md
usr/share/doc/uartflash/changelog.gz
usr/share/doc/uartflash/copyright
usr/share/man/man1/uartflash.1.gz
EOF
same_files "$deb" "$work/deb.expected" "$work/deb.list"
depends=$(dpkg-deb -f "$deb" Depends)
# libssl3: the ledger's SHA-256 of the image comes from OpenSSL's libcrypto.
[[ $depends == *libc6* && $depends == *libstdc++6* && $depends == *libssl3* ]] ||
    fail "Depends lacks the shared libraries: [$depends]"
check_version "$deb: usr/bin/uartflash" "$work/deb/usr/bin/uartflash"

echo "--- udev reads the packaged rule"
# In a mount namespace of its own, so that udev's own folder on this machine is left untouched.
mkdir "$work/rules"
cp "$work/deb/usr/lib/udev/rules.d/60-uartflash.rules" "$work/rules/"
device=$(find /sys/class/tty -mindepth 1 -maxdepth 1 | head -n 1)
# shellcheck disable=SC2016 # the inner shell expands its own arguments
unshare -m sh -c 'mount --bind "$1" /etc/udev/rules.d && udevadm test --action=add "$2"' \
    sh "$work/rules" "$device" >"$work/udev.log" 2>&1 || fail "udevadm test failed: $(cat "$work/udev.log")"
grep -q '^Reading rules file: /etc/udev/rules.d/60-uartflash.rules$' "$work/udev.log" ||
    fail "udevadm did not read the rule: $(cat "$work/udev.log")"
if grep '^/etc/udev/rules.d/60-uartflash.rules:' "$work/udev.log"; then
    fail "udevadm finds fault with the rule"
fi

echo "--- contents of $tgz"
mkdir "$work/tgz"
tar -xzf "$tgz" -C "$work/tgz"
top=$work/tgz/uartflash-${version}-linux-x86_64
files_in "$work/tgz" >"$work/tgz.list"
sed "s|^|uartflash-${version}-linux-x86_64/|" >"$work/tgz.expected" <<'EOF'
bin/uartflash
lib/udev/rules.d/60-uartflash.rules
share/bash-completion/completions/uartflash
share/doc/uartflash/LICENSE
share/doc/uartflash/README.md
share/man/man1/uartflash.1.gz
EOF
same_files "$tgz" "$work/tgz.expected" "$work/tgz.list"
check_version "$tgz: bin/uartflash" "$top/bin/uartflash"

echo "--- contents of $zip"
unzip -q "$zip" -d "$work/zip"
folder=$work/zip/uartflash-${version}-win64
files_in "$work/zip" >"$work/zip.list"
printf "uartflash-${version}-win64/%s\n" LICENSE.txt README.txt uartflash.exe >"$work/zip.expected"
same_files "$zip" "$work/zip.expected" "$work/zip.list"
if [ -f "$folder/README.txt" ] && ! awk '!/\r$/ { exit 1 }' "$folder/README.txt"; then
    fail "$zip: README.txt has lines without CRLF"
fi
# Only Windows' own DLLs: the C++ runtime is linked in.
if x86_64-w64-mingw32-objdump -p "$folder/uartflash.exe" | grep -iE 'DLL Name: lib'; then
    fail "$zip: uartflash.exe needs runtime DLLs"
fi
source scripts/wine-env
wine_prepare
check_version "$zip: uartflash.exe under Wine" wine "$folder/uartflash.exe"
wine_finish

echo "--- bash completion from $deb"
tests/package/completion.sh "$work/deb/usr/share/bash-completion/completions/uartflash" \
    "$work/deb/usr/bin/uartflash" || fail "bash completion cases failed"

if [ "$failures" -ne 0 ]; then
    echo "package: $failures check(s) failed"
    exit 1
fi
echo "package: all checks passed"
