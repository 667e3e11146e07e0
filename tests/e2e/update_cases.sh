#!/usr/bin/env bash
# One whole update of the real uartflash against uartflash-sim, by case name.
# usage: update_cases.sh CASE UARTFLASH UARTFLASH_SIM UARTFLASH_SAMPLE WORK_DIR UARTFLASH_LINE_PROBE
#                        JSON_LINES_CHECK
# Checks the console text the case cares about, the exit status, and that the image the simulator
# accepted is the file's records in order (all of them, or the first N when the update fails).
set -uo pipefail
source "$(dirname "$0")/../../scripts/lib/sim_port.sh"

case_name=$1 tool=$2 sim=$3 sample=$4 probe=$6 json_check=$7
work=$5/$case_name

# The json_ cases run a case with --json: its texts go to standard error, its events to a file
# whose every line must parse, the result agreeing with the exit status and this reason.
declare -A JsonCases=([json_done]="boot_loader_at_once done"
    [json_record_refused]="record_refused record_refused" [json_port_lost]="gone_transfer port_lost"
    [json_aborted]="sigint_transfer aborted" [json_poll]="poll_application_first done"
    [json_poll_fwid_error]="poll_fwid_error no_contact"
    [json_remote_done]="remote_socket_done done" [json_remote_stop]="remote_stop_negotiation aborted"
    [json_ledger_record_refused]="ledger_record_refused record_refused"
    [json_ledger_full_disk]="ledger_full_disk done")
# The fixed mode unless a case asks for the poll: the caller's environment does not choose.
unset UARTFLASH_WAIT
tool_options=()
json_reason=
if [ -n "${JsonCases[$case_name]:-}" ]; then
    read -r case_name json_reason <<<"${JsonCases[$case_name]}"
    tool_options=(--json)
    # The JSON form of a poll case takes the mode from the environment, as a station would.
    [[ $case_name != poll_* ]] || export UARTFLASH_WAIT=poll
elif [[ $case_name == poll_* ]]; then
    tool_options=(--wait poll)
fi
rm -rf "$work" && mkdir -p "$work"
image=$work/image.srec
original=$image # the file as the tool found it at start
received=$work/received.srec
console=$work/console.txt
failures=0

fail() {
    echo "FAIL [$case_name]: $*"
    failures=$((failures + 1))
}

# The remote_ cases reach the simulator through a real ser2net on the loopback.
source "$(dirname "$0")/ser2net.sh"
trap 'ser2net_stop; isolation_stop' EXIT

# Serves the simulator's port with ser2net and names the accepter of kind $1 instead: rfc2217,
# socket, or telnet (a plain Telnet accepter named with rfc2217://).
serve_remotely() {
    ser2net_start "$work" "$port" || { echo "FAIL [$case_name]: ser2net did not start" && exit 1; }
    case $1 in
    rfc2217) port=rfc2217://127.0.0.1:${rfc2217_ports[0]} ;;
    socket) port=socket://127.0.0.1:${raw_ports[0]} ;;
    telnet) port=rfc2217://127.0.0.1:${telnet_ports[0]} ;;
    esac
}

# The remote_stop_ and remote_name_ cases run the tool in network and mount namespaces of its own
# (unshare), where 198.51.100.2 swallows every connect (a veth pair with nobody behind it),
# 127.0.0.1:3001 accepts and never answers, and the name server on 127.0.0.1 answers NXDOMAIN
# for *.invalid and SERVFAIL for servfail.*, and nothing at all for every other name.
readonly NameServer='
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 53))
print("ready", flush=True)
while True:
    query, peer = s.recvfrom(512)
    end, labels = 12, []
    while query[end]:
        labels.append(query[end + 1:end + 1 + query[end]].decode())
        end += 1 + query[end]
    name = ".".join(labels)
    print("asked", name, flush=True)
    code = 3 if name.endswith(".invalid") else 2 if name.startswith("servfail.") else 0
    if code:
        s.sendto(query[:2] + bytes([0x81, 0x80 | code]) + query[4:6] + bytes(6) + query[12:end + 5], peer)
'
readonly Isolation='work=$1 && shift
ip link set lo up &&
    ip link add uf0 type veth peer name uf1 && ip addr add 198.51.100.1/24 dev uf0 &&
    ip link set uf0 up && ip link set uf1 up &&
    ip neigh add 198.51.100.2 lladdr 02:00:00:00:00:02 dev uf0 nud permanent || exit 97
echo "nameserver 127.0.0.1" >"$work/resolv.conf" && mount --bind "$work/resolv.conf" /etc/resolv.conf ||
    exit 97
python3 -c "$NAME_SERVER" >"$work/names.log" 2>&1 &
echo $! >"$work/helpers.pid"
socat -u TCP-LISTEN:3001,bind=127.0.0.1,reuseaddr CREATE:"$work/heard" &
echo $! >>"$work/helpers.pid"
for _ in $(seq 100); do grep -q ready "$work/names.log" && exec "$@"; sleep 0.02; done
exit 97'

isolation_stop() {
    [ -f "$work/helpers.pid" ] && xargs -r kill <"$work/helpers.pid" 2>/dev/null
    rm -f "$work/helpers.pid"
}

# Starts the tool isolated (see Isolation) with limit $1, or skips the case where the machine
# cannot make the namespaces.
start_isolated_tool() {
    unshare -n -m ip link add uf0 type veth peer name uf1 2>/dev/null && command -v python3 >/dev/null ||
        { echo "SKIP [$case_name]: needs unshare -n -m with veth pairs (root) and python3" && exit 0; }
    NAME_SERVER=$NameServer start_tool "$1" unshare -n -m bash -c "$Isolation" isolation "$work"
}

# Waits (up to 10 s) until the isolated tool is in step $1: a connect under way (connect), a
# name asked for (lookup) or the options requested (negotiation).
await_step() {
    for _ in $(seq 500); do
        case $1 in
        connect) awk '$4 == "02" { found = 1 } END { exit !found }' "/proc/$tool_pid/net/tcp" \
            2>/dev/null && return 0 ;;
        lookup) grep -q "^asked " "$work/names.log" 2>/dev/null && return 0 ;;
        negotiation) [ -s "$work/heard" ] && return 0 ;;
        esac
        kill -0 "$tool_pid" 2>/dev/null || break
        sleep 0.02
    done
    fail "the tool never reached its $1"
}

# Stop signal $1 during step $2 of opening $port: status 130 within 2 s, the aborted line and
# nothing of a refusal or a session.
stopped_while_opening() {
    "$sample" --records 20 >"$image"
    start_isolated_tool 30
    await_step "$2"
    local signalled
    signalled=$("$probe" now)
    kill "-$1" "$tool_pid"
    end_tool
    isolation_stop
    expect_status 130
    expect_end_within "$signalled" 0 2000 "SIG$1"
    expect_text $'\r\nUpdate aborted while opening the port '"$port"$'.\r\n'
    expect_no_text "Could not open"
    expect_no_text "UPLOAD FAILED"
    expect_no_text "Checking comms"
}

# The simulator prints its port on the first line of its output.
start_sim() {
    "$sim" --image "$received" --received-bytes "$work/received-bytes" "$@" \
        >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    port=$(sim_port "$work/sim.out") && return 0
    echo "FAIL [$case_name]: the simulator named no port"
    exit 1
}

# Starts the tool under an outer limit: an update that hangs fails the case instead of the suite.
# timeout passes a SIGINT sent to tool_pid on to the tool. Words after the limit run it (isolated).
start_tool() {
    local run=("${@:2}" timeout -k 5 "$1" "$tool" "${tool_options[@]}" "$port" 115200 KORVA ARM
        "$image")
    if [ -n "$json_reason" ]; then
        "${run[@]}" </dev/null >"$work/events.jsonl" 2>"$console" &
    else
        "${run[@]}" </dev/null >"$console" 2>&1 &
    fi
    tool_pid=$!
    tool_limit=$1
}

# Waits for the tool's end; ended_ns is its monotonic time.
end_tool() {
    wait "$tool_pid"
    status=$?
    ended_ns=$("$probe" now)
    [ $status -eq 124 ] && fail "no end within $tool_limit s"
    text=$(cat "$console" && echo .) # the dot keeps the final line ends
    text=${text%.}
}

run_tool() {
    start_tool "$1"
    end_tool
}

# Waits (up to 30 s) until the progress line shows record $1.
await_progress() {
    local want
    printf -v want '       Download -> %6d [' "$1"
    for _ in $(seq 1500); do
        [[ "$(cat "$console")" == *"$want"* ]] && return 0
        kill -0 "$tool_pid" 2>/dev/null || break
        sleep 0.02
    done
    fail "the transfer never reached record $1"
}

# The tool must end between $2 and $3 ms after the monotonic time $1 (ns).
expect_end_within() {
    local ms=$(((ended_ns - $1) / 1000000))
    if [ "$1" -eq 0 ] || [ $ms -lt "$2" ] || [ $ms -gt "$3" ]; then
        fail "ended $ms ms after the $4, expected $2 to $3 ms"
    fi
}

stop_sim() {
    kill -TERM "$sim_pid" 2>/dev/null
    wait "$sim_pid"
    local sim_status=$?
    [ $sim_status -eq 0 ] || fail "simulator ended with status $sim_status"
}

expect_status() {
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

expect_text() {
    [[ "$text" == *"$1"* ]] || fail "missing console text: $(printf '%q' "$1")"
}

expect_no_text() {
    [[ "$text" != *"$1"* ]] || fail "unexpected console text: $(printf '%q' "$1")"
}

expect_count() {
    local rest=$text count=0
    while [[ "$rest" == *"$2"* ]]; do
        rest=${rest#*"$2"}
        count=$((count + 1))
    done
    [ $count -eq "$1" ] || fail "$count times $(printf '%q' "$2"), expected $1"
}

# The simulator's image must be the file's first N records (all when N is omitted), in order.
expect_image() {
    local records
    records=$(tr -d '\r' <"$original" | awk 'length($0) >= 9')
    [ $# -gt 0 ] && records=$(printf '%s\n' "$records" | head -n "$1")
    [ $# -gt 0 ] && [ "$1" -eq 0 ] && records=""
    [ "$(cat "$received")" == "$records" ] || fail "simulator image differs from the file's records"
}

# An ELF file with .text and .rodata in flash and .data run in RAM but loaded after them, from
# the sample's data; and objcopy's Intel HEX of it (extended address records where its data
# crosses 64 KiB).
make_elf() {
    "$sample" --records 300 >"$work/sample.srec"
    objcopy -I srec -O binary "$work/sample.srec" "$work/data.bin"
    head -c 70001 /dev/zero | tr '\0' '\125' | cat "$work/data.bin" - >"$work/flash.bin"
    printf '.text\n.globl _start\n_start: .incbin "flash.bin"\n.section .rodata\n.ascii "text"\n' \
        >"$work/image.s"
    printf '.data\n.incbin "data.bin"\n.bss\n.fill 64, 1, 0\n' >>"$work/image.s"
    printf '%s\n' 'MEMORY { FLASH : ORIGIN = 0x08000004, LENGTH = 1M RAM : ORIGIN = 0x20000000, LENGTH = 64K }' \
        'ENTRY(_start) SECTIONS { .text : { *(.text) } > FLASH .rodata : { *(.rodata) } > FLASH' \
        '.data : { *(.data) } > RAM AT > FLASH .bss : { *(.bss) } > RAM }' >"$work/flash.ld"
    (cd "$work" && as --64 image.s -o image.o && ld -T flash.ld image.o -o image.elf) ||
        fail "could not link the ELF file"
}

# The product must hold exactly the image's data at its addresses, and its entry point: both
# read by objcopy, one record a byte in address order ($1: objcopy's input options).
expect_data_by_address() {
    objcopy "$@" -O srec --srec-len=1 "$original" "$work/wanted.srec" &&
        objcopy -I srec -O srec --srec-len=1 "$received" "$work/got.srec" ||
        fail "objcopy could not read the image or what the product received"
    [ "$(grep -c '^S[123]' "$work/got.srec")" -gt 30000 ] || fail "the product received too little"
    cmp -s <(grep '^S[1-9]' "$work/wanted.srec") <(grep '^S[1-9]' "$work/got.srec") ||
        fail "the product's data or entry point differ from the image's"
    [[ "$(head -n 1 "$received")" == S0??0000* ]] || fail "the product got no header first"
}

# The reboot times of bench/wait: the application's reboot into the boot loader, its erase, the
# boot loader's start of the new application.
readonly Reboots=(--boot-reboot-ms 2000 --erase-ms 1000 --app-reboot-ms 1500)

readonly Advice=$'\r\n******* UPLOAD FAILED.  \r\n\r\n\r\nPlease power cycle and try again. Check all connections\r\n'
readonly Done=$'\r\n\r\nUpdate Done!\r\n\n___________________\n'

# The ledger's one line: every field in its place, the image as sha256sum and --check see it.
# $1: ok, $2: exit status, $3: reason, $4: before, $5: after (each {identity, text}, or null when
# absent), $6: wait mode; phases_ms must name every phase, and each phase given in $7 must have
# taken time.
expect_ledger_line() {
    local ledger=$work/units.jsonl
    [ "$(wc -l <"$ledger")" -eq 1 ] || fail "the ledger holds $(wc -l <"$ledger") lines, expected 1"
    local fields='["time","host","version","port","unit","usb","product","device","image",'
    [ "$4" = null ] || fields+='"before",'
    [ "$5" = null ] || fields+='"after",'
    fields+='"ok","exit_status","reason","records_sent","resends","wait","phases_ms"]'
    [ "$(jq -c keys_unsorted "$ledger")" == "$fields" ] ||
        fail "ledger fields $(jq -c keys_unsorted "$ledger"), expected $fields"
    local checked addresses
    checked=$("$tool" --check "$original")
    addresses=$(sed -n 's/^  Addresses: *\(0x[0-9A-F]*\) to \(0x[0-9A-F]*\)$/"\1","\2"/p' <<<"$checked")
    local fields_of_image="{\"path\":\"$image\",\"sha256\":\"$(sha256sum "$original" | cut -d' ' -f1)\","
    fields_of_image+="\"bytes\":$(stat -c %s "$original"),\"format\":\"srec\","
    # The records sent: the file's lines, without a DOS editor's end mark.
    fields_of_image+="\"sent_sha256\":\"$(tr -d '\032' <"$original" | sha256sum | cut -d' ' -f1)\","
    fields_of_image+="\"records\":$(sed -n 's/^  Lines: .*(\([0-9]*\) sent as records)$/\1/p' <<<"$checked"),"
    fields_of_image+="\"data_bytes\":$(sed -n 's/^  Data bytes: *//p' <<<"$checked"),"
    fields_of_image+="\"first_address\":${addresses%%,*},\"last_address\":${addresses#*,}}"
    local wanted="{\"host\":\"$(uname -n)\",\"version\":\"1.5\",\"port\":\"$port\",\"unit\":null,\"usb\":null,"
    wanted+="\"product\":\"KORVA\",\"device\":\"ARM\",\"image\":$fields_of_image,\"before\":$4,\"after\":$5,"
    wanted+="\"ok\":$1,\"exit_status\":$2,\"reason\":\"$3\",\"wait\":\"$6\"}"
    local line
    line=$(jq -c '{host, version, port, unit, usb, product, device, image, before, after, ok, exit_status,
        reason, wait}' "$ledger")
    [ "$line" == "$(jq -c . <<<"$wanted")" ] || fail "ledger line $line, expected $wanted"
    jq -e '(.time | test("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$"))
        and ((.time | fromdateiso8601) - now | fabs) < 300' "$ledger" >/dev/null ||
        fail "ledger time $(jq .time "$ledger") is not the UTC time of the run"
    [ "$(jq -c '.phases_ms | keys_unsorted' "$ledger")" == '["connect","identify","bootwait","transfer","appwait"]' ] ||
        fail "ledger phases $(jq -c .phases_ms "$ledger")"
    local phase
    for phase in $7; do
        jq -e ".phases_ms.$phase > 0" "$ledger" >/dev/null || fail "no time in phase $phase"
    done
}

# Record 5 gets two answers in one write ($1, e.g. PASS+ERROR); the product keeps it only after a
# first PASS.
merged_answers() {
    "$sample" --records 20 >"$image"
    start_sim --mode boot --twice-on "5:$1"
    run_tool 60
    stop_sim
    expect_status 1
    expect_text $'ERROR: Record replies out of step, the image may be incomplete!\r\n'
    expect_text "$Advice"
    expect_no_text "Update Done!"
    if [[ $1 == PASS+* ]]; then expect_image 5; else expect_image 4; fi
}

# A file the tool must refuse before it opens any port: sed script $1 spoils a good image, $2 is
# the message.
refused_file() {
    "$sample" --records 20 | sed "$1" >"$image"
    start_sim --mode boot
    run_tool 30
    stop_sim
    expect_status 2
    expect_text "$2"
    expect_no_text "Checking comms"
    expect_image 0
    [ "$(cat "$work/received-bytes")" = 0 ] ||
        fail "the simulator received $(cat "$work/received-bytes") bytes, expected none"
}

# The product closes the line in phase $1 (started in mode $2, keeping $3 records, all when empty).
port_gone() {
    "$sample" --records 20 >"$image"
    start_sim --mode "$2" --vanish-in "$1"
    run_tool 90
    wait "$sim_pid" || fail "simulator ended with status $?"
    expect_status 1
    expect_text $'\r\nThe port '"$port"$' is gone (unplugged?)\r\n'
    expect_text "$Advice"
    expect_no_text "Update Done!"
    expect_image ${3:+"$3"}
    local closed
    closed=$(sed -n 's/^uartflash-sim: line closed at monotonic ns \([0-9]*\)$/\1/p' "$work/sim.err")
    expect_end_within "${closed:-0}" 0 2000 "line closed"
}

case $case_name in
boot_loader_at_once)
    "$sample" --records 40 >"$image"
    start_sim --mode boot
    run_tool 60
    stop_sim
    expect_status 0
    expect_text $'\r\nDevice found.\r\nStarting Upload\r\n'
    expect_text $'       Download ->     42 [100%]\r'
    expect_text $'\r\n Waiting for device to initialise...\r\n\n'
    expect_text $'Current V2.0.0\r\n'
    expect_text "$Done"
    expect_no_text "Product needs to reboot"
    expect_image
    ;;
application_first)
    "$sample" --records 20 --type 3 --header V3.1.4 >"$image"
    start_sim --mode app
    run_tool 90
    stop_sim
    expect_status 0
    expect_text $'\r\nDevice found.\r\nCurrent V1.0.0\r\nProduct needs to reboot, please wait...\r\n'
    expect_text $'Starting Upload\r\n'
    expect_text $'Current V3.1.4\r\n'
    expect_text "$Done"
    expect_image
    ;;
resends_then_success)
    "$sample" --records 30 >"$image"
    start_sim --mode boot --busy-on 3 --fail-on 10x2
    run_tool 60
    stop_sim
    expect_status 0
    expect_count 3 $'\r\nWarning, packet failed trying to resend...\r\n'
    expect_count 3 $'       Download ->     10 [ 31%]\r'
    expect_text "$Done"
    expect_image
    ;;
too_many_resends)
    "$sample" --records 30 >"$image"
    start_sim --mode boot --busy-on 5x2 --fail-on 5
    run_tool 60
    stop_sim
    expect_status 1
    expect_count 3 $'\r\nWarning, packet failed trying to resend...\r\n'
    expect_text $'ERROR: Too many re-transmission requests!\r\n'"$Advice"
    expect_no_text "Update Done!"
    expect_image 4
    ;;
record_refused)
    "$sample" --records 30 >"$image"
    start_sim --mode boot --error-on 7
    run_tool 60
    stop_sim
    expect_status 1
    expect_text $'\r\nReply for [RECORD]: ERROR: Command not allowed in current system configuration\r\n'
    expect_text $'\r\nERROR [7]: Record was not accepted!\r\n'"$Advice"
    expect_no_text "Update Done!"
    expect_image 6
    ;;
never_answers)
    "$sample" --records 10 >"$image"
    start_sim --never-answer
    run_tool 90
    stop_sim
    expect_status 1
    expect_count 3 $'\r\n****Reply Timeout****\r\n'
    expect_count 2 $'\r\nTrying again...\r\n'
    expect_text $'Error: Could not establish communication\r\n\t-Ensure USB cable is connected to device\r\n\t-Ensure device is powered ON\r\n'"$Advice"
    expect_no_text "Device found."
    expect_image 0
    ;;
vanishes_mid_transfer)
    "$sample" --records 40 >"$image"
    start_sim --mode boot --vanish-after 10
    run_tool 60
    wait "$sim_pid" || fail "simulator ended with status $?"
    expect_status 1
    expect_text "$Advice"
    expect_no_text "Update Done!"
    expect_image 10
    ;;
rough_line)
    # Paced at the line rate, replies in single bytes, lower case and quoted, noise and foreign
    # lines between them, and a file with CR LF line ends.
    "$sample" --records 200 --crlf >"$image"
    start_sim --mode boot --baud 115200 --split --noise --lowercase --quoted --seed 11
    run_tool 90
    stop_sim
    expect_status 0
    expect_text $'       Download ->    202 [100%]\r'
    expect_text "$Done"
    expect_image
    ;;
merged_pass_error | merged_error_pass | merged_busy_pass | merged_fail_pass)
    order=${case_name#merged_}
    order=${order/_/+}
    merged_answers "${order^^}"
    ;;
refused_checksum)
    refused_file '6{s/00$/01/;t;s/..$/00/;}' "Error: Line 6 of [$image]: checksum "
    ;;
refused_no_end)
    refused_file "\$d" "Error: [$image]: no end record"
    ;;
refused_cut_record)
    refused_file '8s/.*/S1130/' "Error: Line 8 of [$image]: 5 characters are too few"
    ;;
gone_connect) port_gone connect app 0 ;;
gone_identify) port_gone identify app 0 ;;
gone_bootwait) port_gone bootwait app 0 ;;
gone_transfer) port_gone transfer boot 1 ;;
gone_appwait) port_gone appwait boot ;;
flood_unanswered)
    # Record 6 goes unanswered while other replies keep coming: the wait still ends at 10 s.
    "$sample" --records 20 >"$image"
    start_sim --mode boot --flood-on 6 --trace "$work/trace"
    run_tool 60
    stop_sim
    expect_status 1
    expect_text $'\r\n****Reply Timeout****\r\nCommunication Error!\r\n'
    expect_text "$Advice"
    expect_image 5
    sent=$(awk '$1 == "RECORD" && $4 == 0 { print $3 }' "$work/trace")
    expect_end_within "${sent:-0}" 9500 11000 "unanswered record"
    ;;
sigint_transfer)
    "$sample" --records 200 >"$image"
    start_sim --mode boot --baud 19200 # about 40 ms a record
    start_tool 60
    await_progress 20
    kill -INT "$tool_pid"
    end_tool
    "$probe" free "$port" >"$work/port-check" || fail "port not released: $(cat "$work/port-check")"
    stop_sim
    expect_status 130
    expect_text $'\nUpdate aborted at record '
    expect_text "$Advice"
    expect_no_text "Update Done!"
    at=$(sed -n 's/.*Update aborted at record \([0-9]*\) of 202\..*/\1/p' "$console")
    kept=$(wc -l <"$received")
    if [ -z "$at" ] || [ "$kept" -lt $((at - 1)) ] || [ "$kept" -gt "$at" ]; then
        fail "aborted at record '$at' of 202, the product kept $kept records"
    fi
    expect_image "$kept"
    ;;
file_rewritten)
    # The file changes in place mid-transfer; the product must get the file as it was at start.
    "$sample" --records 200 >"$image"
    original=$work/original.srec
    cp "$image" "$original"
    start_sim --mode boot --baud 19200
    start_tool 60
    await_progress 20
    "$sample" --records 200 --seed 2 >"$image"
    end_tool
    stop_sim
    expect_status 0
    expect_text "$Done"
    expect_image
    ;;
product_text_escaped)
    # The new application names itself with ESC, BEL and backspace: shown, never obeyed.
    "$sample" --records 10 --header $'V2\e[2J\a\bx' >"$image"
    start_sim --mode boot
    run_tool 60
    stop_sim
    expect_status 0
    expect_text $'Current V2\\x1B[2J\\x07\\x08X\r\n'
    [[ "$text" != *[$'\e\a\b']* ]] || fail "a control byte of the product's reached the console"
    expect_image
    ;;
port_held)
    # A terminal program holds the port in exclusive mode; root could open it anyway.
    [ "$(id -u)" -eq 0 ] || { echo "SKIP [$case_name]: needs root" && exit 0; }
    "$sample" --records 10 >"$image"
    start_sim --mode boot
    "$probe" hold "$port" >"$work/hold.out" &
    holder=$!
    for _ in $(seq 100); do [ -s "$work/hold.out" ] && break; sleep 0.02; done
    run_tool 30
    "$probe" free "$port" >"$work/port-check"
    grep -q "left in exclusive mode" "$work/port-check" || fail "the holder's exclusive mode was cleared"
    kill "$holder"
    wait "$holder" 2>/dev/null
    stop_sim
    expect_status 2
    expect_text $'\r\nCould not open '"$port"$'\r\nEnsure it is not being used by another application.\r\n'
    expect_text "The port is held exclusively by another program: "
    expect_text "uartflash-line-probe, process $holder"
    expect_no_text "Checking comms"
    [ "$(cat "$work/received-bytes")" = 0 ] || fail "the product received bytes"
    ;;
json_stderr_closed)
    "$sample" --records 10 >"$image"
    start_sim --mode boot
    timeout -k 5 60 "$tool" --json "$port" 115200 KORVA ARM "$image" </dev/null \
        >"$work/events.jsonl" 2>&-
    status=$?
    stop_sim
    expect_status 0
    "$json_check" "$work/events.jsonl" 0 done >/dev/null || fail "standard output holds more than JSON"
    expect_image
    ;;
json_stdout_closed)
    "$sample" --records 10 >"$image"
    start_sim --mode boot
    timeout -k 5 60 "$tool" --json "$port" 115200 KORVA ARM "$image" </dev/null >&- 2>"$console"
    status=$?
    text=$(cat "$console")
    stop_sim
    expect_status 2
    expect_text "ERROR: standard output is closed: --json has nowhere to write its events"
    [ "$(cat "$work/received-bytes")" = 0 ] || fail "the product received bytes"
    ;;
stdout_closed_refused)
    # Standard output closed: the refusal's texts are lost, but standard error still has a word.
    "$sample" --records 10 >"$image"
    start_sim --mode boot --error-on 3
    timeout -k 5 60 "$tool" "$port" 115200 KORVA ARM "$image" </dev/null >&- 2>"$console"
    status=$?
    text=$(cat "$console")
    stop_sim
    expect_status 1
    expect_text "uartflash: exit status 1; standard output is closed, so what went wrong was not shown"
    ;;
poll_application_first)
    # Asked every 250 ms, the product answers after its reboots; the boot ROM's noise is ignored.
    "$sample" --records 60 >"$image"
    start_sim --mode app --baud 115200 --start-noise "${Reboots[@]}"
    started_ns=$("$probe" now)
    run_tool 60
    stop_sim
    expect_status 0
    expect_text $'Product needs to reboot, please wait...\r\nWaiting for the boot loader...\r\n'
    expect_text $'.\r\nStarting Upload\r\n'
    expect_text $'\r\n Waiting for device to initialise...\r\n\n.'
    expect_text $'Current V2.0.0\r\n'"$Done"
    expect_no_text "Reply Timeout"
    expect_image
    # No fixed pause: the reboots take 4.5 s, the fixed mode at least 20 s.
    expect_end_within "$started_ns" 4500 12000 "start"
    if [ -n "$json_reason" ]; then
        waits=$(grep -c '"event":"wait","t":[0-9.]*,"phase":"await_[a-z_]*","mode":"poll","waited_ms":[0-9]*,"answered":true' "$work/events.jsonl")
        [ "$waits" -eq 2 ] || fail "$waits answered poll waits with waited_ms in the events, expected 2"
    fi
    ;;
poll_record_refused)
    # Late answers from the erase must not hide a refused record.
    "$sample" --records 30 >"$image"
    start_sim --mode app --error-on 7 --boot-reboot-ms 500 --erase-ms 1500 --app-reboot-ms 200
    run_tool 60
    stop_sim
    expect_status 1
    expect_text $'\r\nERROR [7]: Record was not accepted!\r\n'"$Advice"
    expect_no_text "Update Done!"
    expect_image 6
    ;;
poll_never_back)
    # The new application never starts: the poll gives up 34 s after the last record's answer.
    "$sample" --records 20 >"$image"
    start_sim --mode boot --never-back app --trace "$work/trace"
    run_tool 90
    stop_sim
    expect_status 1
    expect_text $'\r\n Waiting for device to initialise...\r\n\n..........'
    expect_text $'\r\nERROR: Device not responding!\r\n'"$Advice"
    expect_no_text "Update Done!"
    expect_no_text "Reply Timeout"
    expect_image
    answered=$(awk '$1 == "RECORD" { end = $4 } END { print end }' "$work/trace")
    expect_end_within "${answered:-0}" 34000 35500 "last record's answer"
    ;;
poll_gone_bootwait) port_gone bootwait app 0 ;;
poll_other_boot_loader | poll_fwid_error)
    # After UPDATE another product's boot loader answers every ask for 73 s, naming that product
    # or with an ERROR status: its answer is shown once, then only the dots and a count line.
    "$sample" --records 10 >"$image"
    if [ "$case_name" = poll_other_boot_loader ]; then
        start_sim --mode app --other-boot-loader OTHERX --trace "$work/trace"
        answer=$'OTHER Firmware Update\r\n\r\nReply for [FWID]: ERROR: Parameter value unrecognised\r\n'
        counted="the boot loader of another product answered" kind=other_boot_loader
    else
        start_sim --mode app --other-boot-loader error --trace "$work/trace"
        answer=$'\r\nReply for [FWID]: ERROR: Insufficient parameters\r\n'
        counted="the reply for [FWID] with that ERROR status came" kind=error_status
    fi
    run_tool 100
    stop_sim
    expect_status 1
    expect_count 1 "$answer"
    expect_text $'Waiting for the boot loader...\r\n'"$answer.........."
    # Before, each answer took two or three lines: 650 lines or more.
    lines=$(wc -l <"$console")
    [ "$lines" -le 30 ] || fail "$lines console lines for a 73 s wait, expected at most 30"
    # Every answer the simulator sent is counted; the last may come after the wait has ended.
    sent=$(awk '$1 == "UPDATE" { after = 1 } after && $1 == "FWID" && $4 != 0' "$work/trace" | wc -l)
    times=$(tr -d '\r' <"$console" | grep -F "($counted " | grep -o '[0-9]* times)$' | cut -d' ' -f1)
    [ -n "$times" ] && [ "$times" -ge $((sent - 1)) ] && [ "$times" -le "$sent" ] && [ "$sent" -gt 250 ] ||
        fail "count line says '$times' times, the simulator answered $sent times"
    expect_text $'\r\n('"$counted $times"$' times)\r\nERROR: Device not responding!\r\n'"$Advice"
    expect_image 0
    if [ -n "$json_reason" ]; then
        reports=$(grep -c '"event":"reply_report"' "$work/events.jsonl")
        [ "$reports" -eq 1 ] || fail "$reports reply_report events, expected 1"
        repeats=$(jq -c 'select(.event == "wait") | [.answered, .repeats]' "$work/events.jsonl")
        [ "$repeats" == "[false,[{\"answer\":\"$kind\",\"command\":\"FWID\",\"times\":$times}]]" ] ||
            fail "the wait event tells $repeats"
    fi
    ;;
poll_sigint_bootwait)
    "$sample" --records 20 >"$image"
    start_sim --mode app --boot-reboot-ms 20000
    start_tool 60
    for _ in $(seq 500); do
        [[ "$(cat "$console")" == *"Waiting for the boot loader..."* ]] && break
        sleep 0.02
    done
    sleep 1.2
    kill -INT "$tool_pid"
    end_tool
    "$probe" free "$port" >"$work/port-check" || fail "port not released: $(cat "$work/port-check")"
    stop_sim
    expect_status 130
    expect_text $'Waiting for the boot loader...\r\n.'
    expect_text $'\r\n\r\nUpdate aborted while waiting for the product.\r\n'"$Advice"
    expect_image 0
    ;;
remote_rfc2217_done | remote_socket_done)
    # The whole road, from the application, through each kind of accepter.
    "$sample" --records 40 >"$image"
    start_sim --mode app
    kind=${case_name#remote_}
    serve_remotely "${kind%_done}"
    run_tool 90
    ser2net_stop
    stop_sim
    expect_status 0
    expect_text $'\r\nDevice found.\r\nCurrent V1.0.0\r\nProduct needs to reboot, please wait...\r\n'
    expect_text $'       Download ->     42 [100%]\r'
    expect_text "$Done"
    expect_image
    ;;
remote_resends)
    "$sample" --records 30 >"$image"
    start_sim --mode boot --busy-on 3 --fail-on 10x2
    serve_remotely rfc2217
    run_tool 60
    ser2net_stop
    stop_sim
    expect_status 0
    expect_count 3 $'\r\nWarning, packet failed trying to resend...\r\n'
    expect_text "$Done"
    expect_image
    ;;
remote_server_killed)
    # ser2net dies mid-transfer: its connection closes, and the port is gone as if unplugged.
    "$sample" --records 200 >"$image"
    start_sim --mode boot --baud 19200 # about 40 ms a record
    serve_remotely rfc2217
    start_tool 60
    await_progress 20
    killed=$("$probe" now)
    kill -KILL "$ser2net_pid"
    wait "$ser2net_pid" 2>/dev/null
    ser2net_pid=
    end_tool
    stop_sim
    expect_status 1
    expect_text $'\r\nThe port '"$port"$' is gone (unplugged?)\r\n'
    expect_text "$Advice"
    expect_no_text "Update Done!"
    expect_end_within "$killed" 0 2000 "server killed"
    kept=$(wc -l <"$received")
    [ "$kept" -ge 19 ] && [ "$kept" -lt 202 ] || fail "the product kept $kept records"
    expect_image "$kept"
    ;;
remote_plain_telnet)
    # A Telnet server without RFC 2217 is refused before anything reaches the product.
    "$sample" --records 20 >"$image"
    start_sim --mode boot
    serve_remotely telnet
    run_tool 30
    ser2net_stop
    stop_sim
    expect_status 2
    expect_text $'\r\nCould not open '"$port"$'\r\nEnsure it is not being used by another application.\r\nThe server at '"${port#rfc2217://}"$' does not speak RFC 2217.\r\n'
    expect_no_text "Checking comms"
    expect_image 0
    [ "$(cat "$work/received-bytes")" = 0 ] ||
        fail "the simulator received $(cat "$work/received-bytes") bytes, expected none"
    ;;
remote_noise)
    # Random bytes before the replies, 0xFF among them, which ser2net sends as IAC IAC.
    "$sample" --records 300 >"$image"
    start_sim --mode boot --baud 115200 --noise --seed 11
    serve_remotely rfc2217
    run_tool 90
    ser2net_stop
    stop_sim
    expect_status 0
    expect_text $'       Download ->    302 [100%]\r'
    expect_text "$Done"
    expect_image
    ;;
remote_stop_connect)
    port=rfc2217://198.51.100.2:3001
    stopped_while_opening INT connect
    ;;
remote_stop_negotiation)
    # The options were asked for; the line settings, which reach the product's line, never go.
    port=rfc2217://127.0.0.1:3001
    stopped_while_opening INT negotiation
    heard=$(od -An -tx1 "$work/heard" | tr -d ' \n')
    [ "$heard" = fffb00fffd00fffb03fffd03fffb2c ] || fail "the server heard $heard, not the options alone"
    ;;
remote_stop_lookup)
    port=socket://lab9:3001
    stopped_while_opening TERM lookup
    ;;
remote_name_server)
    # The name server's silence (its 5 s), its SERVFAIL and its NXDOMAIN are told apart.
    "$sample" --records 20 >"$image"
    for named in lab9:"The name server did not answer for lab9:3001." \
        servfail.lab:"The name server did not answer for servfail.lab:3001." \
        nonexistent.invalid:"Unknown host: nonexistent.invalid:3001"; do
        port=rfc2217://${named%%:*}:3001
        started_ns=$("$probe" now)
        start_isolated_tool 30
        end_tool
        isolation_stop
        expect_status 2
        expect_text $'\r\nCould not open '"$port"$'\r\nEnsure it is not being used by another application.\r\n'"${named#*:}"$'\r\n'
        if [ "${named%%:*}" = lab9 ]; then
            expect_end_within "$started_ns" 4500 7000 "start"
        else
            expect_end_within "$started_ns" 0 3000 "start"
        fi
    done
    ;;
hex_done | elf_done)
    # A linked ELF file, or objcopy's Intel HEX of it: converted in memory and sent as S-records.
    make_elf
    image=$work/image.${case_name%_done}
    [ "$case_name" = hex_done ] && objcopy -O ihex "$work/image.elf" "$image"
    original=$image
    start_sim --mode boot
    run_tool 120
    stop_sim
    expect_status 0
    expect_text $'       Download ->   4'
    expect_text "$Done"
    if [ "$case_name" = hex_done ]; then expect_data_by_address -I ihex; else expect_data_by_address; fi
    ;;
ledger_done)
    # From the application, with the poll: what it ran before and after, the time in each phase.
    # The ledger ends in a line torn by a power loss, which keeps a line of its own.
    "$sample" --records 30 >"$image"
    printf '{"time":"2026-' >"$work/units.jsonl"
    start_sim --mode app --busy-on 3 "${Reboots[@]}"
    tool_options=(--wait poll --ledger "$work/units.jsonl")
    run_tool 60
    stop_sim
    expect_status 0
    expect_text "$Done"
    expect_image
    [ "$(head -n 1 "$work/units.jsonl")" == '{"time":"2026-' ] ||
        fail "the torn line did not keep a line of its own: $(head -c 80 "$work/units.jsonl")"
    sed -i 1d "$work/units.jsonl"
    expect_ledger_line true 0 done '{"identity":"application","text":"V1.0.0"}' \
        '{"identity":"application","text":"V2.0.0"}' poll "bootwait transfer appwait"
    jq -e '.resends == 1 and .records_sent == 32 and .phases_ms.bootwait >= 2000 and .phases_ms.appwait >= 1000' \
        "$work/units.jsonl" >/dev/null || fail "resends or reboot times: $(cat "$work/units.jsonl")"
    ;;
ledger_record_refused)
    # Saved by a DOS editor: the ledger's hash and size are the file's, Ctrl-Z included.
    "$sample" --records 30 >"$image"
    printf '\x1a' >>"$image"
    start_sim --mode boot --error-on 7
    tool_options+=(--ledger "$work/units.jsonl")
    run_tool 60
    stop_sim
    expect_status 1
    expect_image 6
    expect_ledger_line false 1 record_refused '{"identity":"boot_loader","text":"BSL-0.9"}' null \
        fixed ""
    jq -e '.phases_ms.bootwait == 0 and .phases_ms.appwait == 0' "$work/units.jsonl" >/dev/null ||
        fail "time in phases never reached: $(jq -c .phases_ms "$work/units.jsonl")"
    grep -q '^{"event":"result",.*"ledger":null}$' "$work/events.jsonl" ||
        fail "the result event does not say that the line was written"
    ;;
ledger_unwritable)
    # Root may write anywhere, so the ledger is refused by a path that cannot be a file.
    "$sample" --records 20 >"$image"
    start_sim --mode boot
    echo "not a folder" >"$work/file"
    tool_options=(--ledger "$work/file/units.jsonl")
    run_tool 30
    stop_sim
    expect_status 2
    expect_text "Error: cannot append to the ledger $work/file/units.jsonl: Not a directory"
    expect_no_text "Checking comms"
    [ "$(cat "$work/received-bytes")" = 0 ] || fail "the product received bytes"
    ;;
ledger_deleted)
    # The ledger is deleted during the transfer: the line goes to a new file at the path, and
    # the run says so once.
    "$sample" --records 200 >"$image"
    start_sim --mode boot --baud 19200
    tool_options=(--ledger "$work/units.jsonl")
    start_tool 60
    await_progress 20
    rm "$work/units.jsonl"
    end_tool
    stop_sim
    expect_status 0
    expect_text "$Done"
    expect_count 1 "Warning: the ledger $work/units.jsonl was deleted or replaced during the run"
    expect_ledger_line true 0 done '{"identity":"boot_loader","text":"BSL-0.9"}' \
        '{"identity":"application","text":"V2.0.0"}' fixed "transfer"
    ;;
ledger_full_disk)
    # The ledger's disk is full: the product's outcome is told as it was, the line is missing,
    # and the status says so.
    mkdir -p "$work/disk"
    if ! mount -t tmpfs -o size=16k tmpfs "$work/disk" 2>/dev/null; then
        echo "SKIP [$case_name]: cannot mount a tmpfs here (needs root and mount rights)"
        exit 0
    fi
    "$sample" --records 20 >"$image"
    start_sim --mode boot
    dd if=/dev/zero of="$work/disk/filler" bs=4k 2>/dev/null # an empty ledger still opens
    tool_options+=(--ledger "$work/disk/units.jsonl")
    run_tool 60
    stop_sim
    ledger_size=$(stat -c %s "$work/disk/units.jsonl")
    umount "$work/disk"
    expect_status 1
    expect_text "$Done"
    expect_text "Error: cannot write to the ledger $work/disk/units.jsonl: No space left on device"
    [ "$ledger_size" -eq 0 ] || fail "the full ledger holds $ledger_size bytes"
    grep -q '^{"event":"result","t":[0-9.]*,"ok":false,"exit_status":1,"reason":"done",.*"ledger":"cannot write to the ledger '"$work"'/disk/units.jsonl: No space left on device"}$' \
        "$work/events.jsonl" || fail "the result event does not tell the missing line"
    expect_image
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

if [ -n "$json_reason" ]; then
    "$json_check" "$work/events.jsonl" "$status" "$json_reason" || fail "the JSON events disagree"
fi

if [ $failures -ne 0 ]; then
    echo "--- console of $case_name:"
    cat -A "$console" | tail -n 40
    echo "--- simulator messages:"
    tail -n 20 "$work/sim.err"
    exit 1
fi
echo "PASS [$case_name]"
