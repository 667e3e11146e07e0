#!/usr/bin/env bash
# Runs a Windows test executable under Wine with COM7 and COM8 joined by a null-modem pair of
# pseudo-terminals (socat), and with the pty shim preloaded so that comm-event waits work.
# Usage: with-pty-pair.sh <test.exe> [arguments...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/wine-env"

work=$(mktemp -d)
bridge=
cleanup() {
    [ -n "$bridge" ] && kill "$bridge" 2>/dev/null
    rm -f "$WINEPREFIX/dosdevices/com7" "$WINEPREFIX/dosdevices/com8"
    rm -rf "$work"
}
trap cleanup EXIT

cc -shared -fPIC -O2 -o "$work/ptyshim.so" "$here/ptyshim.c" -ldl
# A server whose output goes nowhere: when the pair closes, a wineserver that took one of the
# ptys as its controlling terminal would dump its objects onto the test's output.
wineserver >/dev/null 2>&1 || true

socat "pty,raw,echo=0,link=$work/com7" "pty,raw,echo=0,link=$work/com8" &
bridge=$!
for _ in $(seq 50); do
    [ -e "$work/com7" ] && [ -e "$work/com8" ] && break
    sleep 0.1
done
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$work/com7" "$WINEPREFIX/dosdevices/com7"
ln -sfn "$work/com8" "$WINEPREFIX/dosdevices/com8"

LD_PRELOAD="$work/ptyshim.so" wine "$@"
