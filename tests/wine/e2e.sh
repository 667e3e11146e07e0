#!/usr/bin/env bash
# Whole updates of the Windows uartflash.exe under Wine against the Linux simulated product.
# usage: e2e.sh UARTFLASH_EXE UARTFLASH_SIM UARTFLASH_SAMPLE
# The simulator's pseudo-terminal is COM5; registered Ports devices make SetupAPI list it with a
# "Silicon Labs" description, so AUTO finds it by the real enumeration. The second case registers
# a second bridge (COM6) and answers the port prompt from standard input; the third loses the port
# mid-transfer. The last registers the bridges as USB devices, lists them and picks COM5 by its
# serial number. The port-list case maps a second simulator to COM6 and updates both at once. The
# next reaches the simulator through a real ser2net, over Winsock; then a Ctrl+C stops one while a
# server that never answers holds its opening; the last watches COM5 and COM6 as a station and
# writes their ledger lines.
set -uo pipefail
source "$(dirname "$0")/../../scripts/lib/sim_port.sh"
here=$(cd "$(dirname "$0")" && pwd)
tool=$(realpath "$1") sim=$(realpath "$2") sample=$(realpath "$3")
source "$here/../../scripts/wine-env"
source "$here/../e2e/ser2net.sh"

readonly PortsClass='{4D36E978-E325-11CE-BFC1-08002BE10318}'
readonly EnumKey='HKLM\System\CurrentControlSet\Enum\ROOT\PORTS'
readonly UsbKey='HKLM\System\CurrentControlSet\Enum\USB'
readonly UsbDevices=('VID_10C4&PID_EA60' 'VID_2E8A&PID_000A')
work=$(mktemp -d)
sim_pid=
second_pid=
failures=0

cleanup() {
    ser2net_stop
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    [ -n "$second_pid" ] && kill "$second_pid" 2>/dev/null
    rm -f "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com6"
    wine reg delete "$EnumKey" /f >/dev/null 2>&1
    for device in "${UsbDevices[@]}"; do
        wine reg delete "$UsbKey\\$device" /f >/dev/null 2>&1
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL [$case_name]: $*"
    failures=$((failures + 1))
}

# Text-mode standard output turns each "\n" into "\r\n", as it does for Windows users.
console_form() {
    local text=$1
    printf '%s' "${text//$'\n'/$'\r\n'}"
}

expect_text() {
    local wanted
    wanted=$(console_form "$1")
    [[ "$text" == *"$wanted"* ]] || fail "missing console text: $(printf '%q' "$wanted")"
}

register_port() {
    register_device "$EnumKey\\$1" "$2" "$3"
}

register_device() {
    local key=$1
    wine reg add "$key" /v ClassGUID /t REG_SZ /d "$PortsClass" /f >/dev/null 2>&1 &&
        wine reg add "$key" /v DeviceDesc /t REG_SZ /d "$3" /f >/dev/null 2>&1 &&
        wine reg add "$key\\Device Parameters" /v PortName /t REG_SZ /d "$2" /f >/dev/null 2>&1
}

# A USB serial device as Windows registers it: the instance id USB\<device>\<serial number, or a
# made-up part with '&' when the device has none>, the hardware ids and the driver's manufacturer;
# then its location information and the product string it reported to the bus, when given.
register_usb_port() {
    local key="$UsbKey\\$1\\$2"
    register_device "$key" "$3" "$4" &&
        wine reg add "$key" /v HardwareID /t REG_MULTI_SZ /d "USB\\$1&REV_0100\\0USB\\$1" /f \
            >/dev/null 2>&1 &&
        wine reg add "$key" /v Mfg /t REG_SZ /d "$5" /f >/dev/null 2>&1 &&
        { [ -z "${6:-}" ] || wine reg add "$key" /v LocationInformation /t REG_SZ /d "$6" /f \
            >/dev/null 2>&1; } &&
        { [ -z "${7:-}" ] || register_bus_product "$key" "$7"; }
}

# DEVPKEY_Device_BusReportedDeviceDesc: a device property of type DEVPROP_TYPE_STRING (0x12), which
# Wine's SetupAPI keeps under the device key's Properties. reg add knows no such type; regedit
# imports it as hex(ffff0012), UTF-16 with its terminating zero.
register_bus_product() {
    local bytes
    bytes=$(printf '%s\0' "$2" | iconv -t UTF-16LE | od -An -tx1 -v | tr -s ' \n' ',' | sed 's/^,//; s/,$//')
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s\\Properties\\%s\\0004]\r\n@=hex(ffff0012):%s\r\n' \
        "${1/HKLM/HKEY_LOCAL_MACHINE}" '{540B947E-8B40-45BC-A8A2-6A0B894CBDA2}' "$bytes" \
        >"$work/product.reg" &&
        wine regedit /S "Z:${work//\//\\}\\product.reg" >/dev/null 2>&1
}

start_sim() {
    "$sim" --image "$work/received.srec" "$@" >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    local pty
    pty=$(sim_port "$work/sim.out") || { fail "the simulator named no port"; return 1; }
    ln -sfn "$pty" "$WINEPREFIX/dosdevices/com5"
}

stop_sim() {
    kill -TERM "$sim_pid" 2>/dev/null
    wait "$sim_pid"
    local sim_status=$?
    sim_pid=
    [ $sim_status -eq 0 ] || fail "simulator ended with status $sim_status"
}

# One update; standard input comes from the given text; the port argument is AUTO unless given;
# the exit status wanted is 0 unless given.
run_update() {
    local input=$1 port=${2:-AUTO} wanted=${3:-0} limit=120
    local winimage="Z:${image//\//\\}"
    printf '%s' "$input" | LD_PRELOAD="$work/ptyshim.so" timeout -k 5 $limit \
        wine "$tool" "$port" 115200 KORVA ARM "$winimage" >"$work/console.txt" 2>"$work/stderr.txt"
    status=$?
    [ $status -eq 124 ] && fail "no end within $limit s"
    [ $status -eq "$wanted" ] || fail "exit status $status, expected $wanted"
    text=$(cat "$work/console.txt")
}

expect_image() {
    local records
    records=$(tr -d '\r' <"$image" | awk 'length($0) >= 9')
    [ "$(cat "$work/received.srec")" == "$records" ] || fail "simulator image differs from the file"
}

readonly Done=$'\r\n\r\nUpdate Done!\r\n\n___________________\n'

cc -shared -fPIC -O2 -o "$work/ptyshim.so" "$here/ptyshim.c" -ldl || exit 1
# A server whose output goes nowhere: a wineserver that took the simulator's pty as its
# controlling terminal would dump its objects onto this script's output when the pty closes.
wineserver >/dev/null 2>&1
image=$work/image.srec
"$sample" --records 24 >"$image"
wine reg delete "$EnumKey" /f >/dev/null 2>&1

case_name=auto_one_bridge
register_port 0001 COM5 'Silicon Labs CP210x USB to UART Bridge (COM5)' || fail "registry"
register_port 0002 COM1 'Communications Port (COM1)' || fail "registry"
if start_sim --mode app; then
    run_update ""
    stop_sim
    expect_text $'\r\nAvailable serial ports on your computer:\r\n'
    expect_text $'COM5 [Silicon Labs CP210x USB to UART Bridge (COM5)]\r\n'
    expect_text $'\r\nDevice found.\r\n'
    expect_text "$Done"
    expect_image
fi

case_name=auto_two_bridges_prompt
register_port 0003 COM6 'Silicon Labs CP210x USB to UART Bridge (COM6)' || fail "registry"
if start_sim --mode boot; then
    run_update $'5\n'
    stop_sim
    expect_text $'COM6 [Silicon Labs CP210x USB to UART Bridge (COM6)]\r\n'
    expect_text $'Enter the port number to use. For example COM1:\r\n\r\nCOM'
    expect_text "$Done"
    expect_image
fi

# The product's line closes mid-transfer, as a pulled bridge would: Wine reports the pty's hang-up
# through the serial calls' errors, and the tool must end at once rather than after a time-out.
case_name=port_lost_mid_transfer
if start_sim --mode boot --vanish-after 10; then
    started=$(date +%s)
    run_update $'5\n' AUTO 1
    elapsed=$(($(date +%s) - started))
    kill -TERM "$sim_pid" 2>/dev/null # it has closed the line and ended, unless the run went wrong
    wait "$sim_pid" 2>/dev/null
    sim_pid=
    expect_text $'\r\nThe port COM5 is gone (unplugged?)\r\nCommunication Error!\r\n'
    [[ "$text" != *"Update Done!"* ]] || fail "reported success"
    [ "$elapsed" -lt 9 ] || fail "took $elapsed s: the loss was not noticed"
    [ "$(wc -l <"$work/received.srec")" -eq 10 ] || fail "the product did not keep 10 records"
fi

case_name=list_ports_and_serial_number
wine reg delete "$EnumKey" /f >/dev/null 2>&1
register_usb_port "${UsbDevices[0]}" 0001A2B3 COM5 'Silicon Labs CP210x USB to UART Bridge (COM5)' \
    'Silicon Laboratories' 'Port_#0002.Hub_#0001' 'Korva KX-7' || fail "registry"
register_usb_port "${UsbDevices[1]}" '5&2C3D4E5F&0&3' COM6 'USB Serial Device (COM6)' \
    'Microsoft' || fail "registry"
text=$(wine "$tool" --list-ports 2>&1) || fail "--list-ports exit status $?"
grep -qE $'^COM5 +yes +10c4 +ea60 +0001A2B3 +Silicon Laboratories +Korva KX-7 +Port_#0002.Hub_#0001 +Silicon Labs CP210x USB to UART Bridge \\(COM5\\)\r$' <<<"$text" ||
    fail "COM5 not listed with its identity: $text"
grep -qE $'^COM6 +- +2e8a +000a +- +Microsoft +- +- +USB Serial Device \\(COM6\\)\r$' <<<"$text" ||
    fail "COM6 not listed with its identity: $text"
text=$(wine "$tool" --list-ports --json 2>&1) || fail "--list-ports --json exit status $?"
expect_text '{"name":"COM5","description":"Silicon Labs CP210x USB to UART Bridge (COM5)","vid":"10c4","pid":"ea60","serial":"0001A2B3","manufacturer":"Silicon Laboratories","product":"Korva KX-7","location":"Port_#0002.Hub_#0001","auto":true}
{"name":"COM6","description":"USB Serial Device (COM6)","vid":"2e8a","pid":"000a","serial":null,"manufacturer":"Microsoft","product":null,"location":null,"auto":false}'
run_update "" SN=5 2
expect_text $'COM5 [Silicon Labs CP210x USB to UART Bridge (COM5)]\r\nCOM6 [USB Serial Device (COM6)]\r\n'
expect_text $'\r\nError: Failed to detect any Com ports!\r\n'
if start_sim --mode boot; then
    run_update "" SN=0001A2B3
    stop_sim
    [[ "$text" == *"Enter the port number"* ]] && fail "SN= asked for a port"
    expect_text "$Done"
    expect_image
fi

# Two products at once: COM5 and COM6, one child uartflash.exe each.
case_name=port_list_two_ports
"$sim" --mode boot --image "$work/received-com6.srec" >"$work/sim6.out" 2>"$work/sim6.err" &
second_pid=$!
ln -sfn "$(sim_port "$work/sim6.out")" "$WINEPREFIX/dosdevices/com6"
if start_sim --mode app; then
    run_update "" COM5,COM6
    stop_sim
    expect_text $'\nCOM5  ok      done    26/26    '
    expect_text $'\nCOM6  ok      done    26/26    '
    expect_text $'\nEvery port updated (2).\n'
    expect_image
fi
kill -TERM "$second_pid" 2>/dev/null
wait "$second_pid" || fail "the second simulator ended with status $?"
second_pid=
mv "$work/received-com6.srec" "$work/received.srec" # written out as its simulator ended
expect_image

# A product on another machine: the simulator's pty served by ser2net on the loopback.
case_name=remote_rfc2217
if start_sim --mode app; then
    if ser2net_start "$work" "$(sim_port "$work/sim.out")"; then
        run_update "" "rfc2217://127.0.0.1:${rfc2217_ports[0]}"
    else
        fail "ser2net did not start"
    fi
    ser2net_stop
    stop_sim
    expect_text $'\r\nDevice found.\r\nCurrent V1.0.0\r\n'
    expect_text "$Done"
    expect_image
fi

# Ctrl+C while a server that accepted never answers the options: Winsock's wait ends at once.
case_name=remote_stop_negotiation
python3 -c 'import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(1)
print(s.getsockname()[1], flush=True)
c, _ = s.accept()
open(sys.argv[1], "wb").write(c.recv(4096))
c.recv(1)' "$work/heard" >"$work/mute.port" &
mute_pid=$!
for _ in $(seq 100); do [ -s "$work/mute.port" ] && break; sleep 0.05; done
port=rfc2217://127.0.0.1:$(cat "$work/mute.port")
timeout --foreground -k 10 60 wine "$tool" "$port" 115200 KORVA ARM "Z:${image//\//\\}" \
    </dev/null >"$work/console.txt" 2>"$work/stderr.txt" &
stopped_pid=$!
for _ in $(seq 600); do [ -s "$work/heard" ] && break; sleep 0.05; done
signalled=$(date +%s%N)
kill -INT "$stopped_pid"
wait "$stopped_pid"
status=$?
stopped_ms=$((($(date +%s%N) - signalled) / 1000000))
kill "$mute_pid" 2>/dev/null
wait "$mute_pid" 2>/dev/null
text=$(cat "$work/console.txt")
[ $status -eq 130 ] || fail "exit status $status, expected 130"
[ "$stopped_ms" -lt 3000 ] || fail "ended $stopped_ms ms after the Ctrl+C"
expect_text $'\r\nUpdate aborted while opening the port '"$port"$'.\r\n'

# A station: COM5 and COM6 registered as two CP210x bridges with serial numbers, listed by SetupAPI
# and watched; each gets its update and its ledger line, then one Ctrl+C ends the watch.
case_name=watch_two_bridges
for device in "${UsbDevices[@]}"; do
    wine reg delete "$UsbKey\\$device" /f >/dev/null 2>&1
done
register_usb_port "${UsbDevices[0]}" 0001A2B3 COM5 'Silicon Labs CP210x USB to UART Bridge (COM5)' \
    'Silicon Laboratories' 'Port_#0002.Hub_#0001' || fail "registry"
register_usb_port "${UsbDevices[0]}" 0001A2B4 COM6 'Silicon Labs CP210x USB to UART Bridge (COM6)' \
    'Silicon Laboratories' 'Port_#0003.Hub_#0001' || fail "registry"
text=$(wine "$tool" --list-ports 2>&1) || fail "--list-ports exit status $?"
for port in COM5:0001A2B3:0002 COM6:0001A2B4:0003; do
    IFS=: read -r name serial hub <<<"$port"
    grep -qE "^$name +- +10c4 +ea60 +$serial +Silicon Laboratories +- +Port_#$hub.Hub_#0001 " <<<"$text" ||
        fail "$name not listed as a bridge with serial number $serial: $text"
done
"$sim" --mode boot --image "$work/received-com6.srec" >"$work/sim6.out" 2>"$work/sim6.err" &
second_pid=$!
ln -sfn "$(sim_port "$work/sim6.out")" "$WINEPREFIX/dosdevices/com6"
if start_sim --mode boot; then
    ledger=$work/units.jsonl
    # --foreground: the SIGINT reaches the tool once, as one Ctrl+C.
    LD_PRELOAD="$work/ptyshim.so" timeout --foreground -k 60 120 wine "$tool" --watch \
        --ledger "Z:${ledger//\//\\}" ALL 115200 KORVA ARM "Z:${image//\//\\}" </dev/null \
        >"$work/console.txt" 2>"$work/stderr.txt" &
    watch_pid=$!
    for _ in $(seq 600); do
        [ -f "$ledger" ] && [ "$(wc -l <"$ledger")" -ge 2 ] && break
        sleep 0.1
    done
    kill -INT "$watch_pid"
    wait "$watch_pid"
    status=$?
    text=$(cat "$work/console.txt")
    [ $status -eq 0 ] || fail "exit status $status, expected 0"
    expect_text $'\nEvery unit updated.\n'
    expect_text "Units: 2 ok, 0 failed, 0 skipped"
    hash=$(sha256sum "$image" | cut -d' ' -f1)
    units=$(jq -s -c --arg hash "$hash" \
        'map(select(.image.sha256 == $hash and .ok) | [.port, .usb.serial, .usb.location]) | sort' \
        "$ledger" 2>&1)
    [ "$units" == '[["COM5","0001A2B3","Port_#0002.Hub_#0001"],["COM6","0001A2B4","Port_#0003.Hub_#0001"]]' ] ||
        fail "ledger units $units"
    stop_sim
    expect_image
fi
kill -TERM "$second_pid" 2>/dev/null
wait "$second_pid" || fail "the second simulator ended with status $?"
second_pid=
mv "$work/received-com6.srec" "$work/received.srec"
expect_image

# A fixture on COM5 whose bridge stays: one unit placed, found by its answer, updated, taken away;
# the watch sees it go and ends at one Ctrl+C.
case_name=fixture_one_unit
"$sim" --mode app --control "$work/control" --image "$work/fixture.srec" --boot-reboot-ms 300 \
    --app-reboot-ms 300 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
if pty=$(sim_port "$work/sim.out"); then
    ln -sfn "$pty" "$WINEPREFIX/dosdevices/com5"
    ledger=$work/fixture.jsonl
    LD_PRELOAD="$work/ptyshim.so" timeout --foreground -k 60 120 wine "$tool" --watch --wait poll \
        --ledger "Z:${ledger//\//\\}" COM5 115200 KORVA ARM "Z:${image//\//\\}" </dev/null \
        >"$work/console.txt" 2>"$work/stderr.txt" &
    watch_pid=$!
    echo place >"$work/control"
    for _ in $(seq 600); do
        [ -f "$ledger" ] && [ "$(wc -l <"$ledger")" -ge 1 ] && break
        sleep 0.1
    done
    echo remove >"$work/control"
    for _ in $(seq 300); do
        grep -q 'COM5: unit left' "$work/console.txt" && break
        sleep 0.1
    done
    kill -INT "$watch_pid"
    wait "$watch_pid"
    status=$?
    text=$(cat "$work/console.txt")
    [ $status -eq 0 ] || fail "exit status $status, expected 0"
    expect_text "COM5: unit arrived: updating"
    expect_text "COM5: unit left"
    expect_text "Units: 1 ok, 0 failed, 0 skipped"
    [ "$(jq -r '[.port, .ok, .reason] | join(" ")' "$ledger")" == "COM5 true done" ] ||
        fail "ledger $(cat "$ledger")"
    kill -TERM "$sim_pid" 2>/dev/null
    wait "$sim_pid"
    sim_pid=
    [ "$(cat "$work/fixture.srec.1")" == "$(tr -d '\r' <"$image" | awk 'length($0) >= 9')" ] ||
        fail "the unit does not hold the image"
else
    fail "the simulator named no port"
fi

if [ $failures -ne 0 ]; then
    echo "--- last console output:"
    cat "$work/console.txt"
    echo "wine e2e: $failures failure(s)"
    exit 1
fi
echo "wine e2e: 9 updates (two at once, one through ser2net, two by a watch, one on a fixture), one stopped while its remote port opened, the port list and a refused serial number passed"
