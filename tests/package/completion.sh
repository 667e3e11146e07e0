#!/usr/bin/env bash
# Runs the bash completion for uartflash against a table of command lines and compares COMPREPLY.
#   tests/package/completion.sh [COMPLETION_FILE] [TOOL]
# The table drives stand-in tools whose --help and --list-ports output is known; with TOOL (a real
# uartflash) it also checks that the options come from that tool's own --help.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
completion=$(realpath "${1:-$root/packaging/bash-completion/uartflash}")
tool=${2:+$(realpath "$2")}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A tool with options and two ports, and an older one that knows neither --help nor --list-ports.
cat >"$work/fake" <<'EOF'
#!/usr/bin/env bash
case ${1:-} in
--help) printf 'Usage: uartflash [options] <COM PORT> ...\n  -h, --help   this text\n  --version\n  --list-ports [--json]   USB-to-UART bridges, non-zero status\n' ;;
--list-ports) printf 'PORT          DESCRIPTION\nCOM3          Silicon Labs CP210x\n/dev/ttyUSB0  CP2102\n\n' ;;
esac
EOF
# A station's tool, whose port list has the SERIAL column.
cat >"$work/station" <<'EOF'
#!/usr/bin/env bash
case ${1:-} in
--list-ports) printf 'PORT          AUTO  VID   PID   SERIAL    MANUFACTURER          LOCATION  DESCRIPTION\n/dev/ttyUSB0  -     10c4  ea60  0001A2B3  Silicon Laboratories  1-1.2     Silicon Labs CP2102\n/dev/ttyUSB1  -     10c4  ea60  0001A2B4  Silicon Laboratories  1-1.3     Silicon Labs CP2102\n/dev/ttyS0    -     -     -     -         -                     -         -\n' ;;
esac
EOF
cat >"$work/old" <<'EOF'
#!/usr/bin/env bash
printf 'ERROR: Missing Arguments!\n  Valid Use:\n> uartflash  <COM PORT> <Baud Rate>\n'
EOF
chmod +x "$work/fake" "$work/station" "$work/old"
mkdir -p "$work/files/images" "$work/files/my dir"
touch "$work/files/a.srec" "$work/files/B.SREC" "$work/files/notes.txt" "$work/files/images/c.srec" \
    "$work/files/app.hex" "$work/files/app.elf"
cd "$work/files"

# shellcheck source=/dev/null
source "$completion"
[ "$(complete -p uartflash)" = "complete -F _uartflash uartflash" ] || {
    echo "completion: not registered for uartflash"
    exit 1
}

failures=0
# expect WORD0 WORD1 ... CURRENT: completes the last word; EXPECTED is COMPREPLY sorted, joined by |.
expect() {
    local expected=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    _uartflash
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd '|')
    if [ "$got" != "$expected" ]; then
        echo "completion: [$*] gave [$got], expected [$expected]"
        failures=$((failures + 1))
    fi
}

fake=$work/fake
#      expected                                       command line, last word being completed
expect '/dev/ttyUSB0|AUTO|COM3'                        "$fake" ''
expect '/dev/ttyUSB0'                                  "$fake" /dev/tty
expect 'AUTO'                                          "$fake" A
expect '--help|--json|--list-ports|--version|-h'       "$fake" -
expect '--list-ports'                                  "$fake" --l
expect '--help|--json|--list-ports|--version'          "$fake" COM3 --
expect '115200|14400|19200|2400|38400|4800|57600|9600' "$fake" COM3 ''
expect '115200|14400|19200'                            "$fake" COM3 1
expect '115200|14400|19200|2400|38400|4800|57600|9600' "$fake" --json COM3 ''
expect ''                                              "$fake" COM3 115200 ''
expect 'ARM'                                           "$fake" COM3 115200 KORVA ''
expect 'ARM'                                           "$fake" COM3 115200 KORVA A
expect 'B.SREC|a.srec|app.elf|app.hex|images|my dir'   "$fake" COM3 115200 KORVA ARM ''
expect 'B.SREC|a.srec|app.elf|app.hex|images|my dir'   "$fake" --base 0x1000 --unit-id scan COM3 115200 KORVA ARM ''
expect 'images/c.srec'                                 "$fake" COM3 115200 KORVA ARM images/
expect ''                                              "$fake" COM3 115200 KORVA ARM a.srec ''
expect 'fixed|poll'                                    "$fake" --wait ''
expect 'poll'                                          "$fake" --wait p
expect '115200|14400|19200|2400|38400|4800|57600|9600' "$fake" --wait poll COM3 ''
expect 'ARM'                                           "$fake" --log-dir images COM3 115200 K ''
expect 'B.SREC|a.srec|app.elf|app.hex|images|my dir|notes.txt' "$fake" --ledger ''
expect 'ARM'                                           "$fake" --ledger u.jsonl COM3 115200 K ''
expect 'ALL'                                           "$fake" --watch ''
expect 'ALL|SN=0001A2B3|SN=0001A2B4'                   "$work/station" --watch --ledger u.jsonl ''
expect 'SN=0001A2B3|SN=0001A2B4'                       "$work/station" --watch S
expect '/dev/ttyS0|/dev/ttyUSB0|/dev/ttyUSB1|AUTO'     "$work/station" ''
expect 'ARM'                                           "$work/station" --watch ALL 115200 K ''
expect 'AUTO'                                          "$work/old" ''
expect ''                                              "$work/old" --
expect 'AUTO'                                          "$work/missing" ''

# The real tool's help decides the options; its port list is whatever this machine has.
if [ -n "$tool" ]; then
    COMP_WORDS=("$tool" --)
    COMP_CWORD=1
    _uartflash
    for option in --help --version --list-ports --wait --ledger --watch --again; do
        if ! printf '%s\n' "${COMPREPLY[@]}" | grep -qx -- "$option"; then
            echo "completion: $option missing from [${COMPREPLY[*]}] of $tool --help"
            failures=$((failures + 1))
        fi
    done
    if listing=$("$tool" --list-ports); then
        ports=$({
            echo AUTO
            awk 'NR > 1 && NF > 0 { print $1 }' <<<"$listing"
        } | LC_ALL=C sort | paste -sd '|')
        expect "$ports" "$tool" ''
    else
        echo "completion: $tool --list-ports failed: $listing"
        failures=$((failures + 1))
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "completion: $failures case(s) failed"
    exit 1
fi
echo "completion: all cases passed"
