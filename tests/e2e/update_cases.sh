#!/usr/bin/env bash
# One whole update of the real uartflash against uartflash-sim, by case name.
# usage: update_cases.sh CASE UARTFLASH UARTFLASH_SIM UARTFLASH_SAMPLE WORK_DIR
# Checks the console text the case cares about, the exit status, and that the image the simulator
# accepted is the file's records in order (all of them, or the first N when the update fails).
set -uo pipefail

case_name=$1 tool=$2 sim=$3 sample=$4
work=$5/$case_name
rm -rf "$work" && mkdir -p "$work"
image=$work/image.srec
received=$work/received.srec
console=$work/console.txt
failures=0

fail() {
    echo "FAIL [$case_name]: $*"
    failures=$((failures + 1))
}

# The simulator prints its port on the first line of its output.
start_sim() {
    "$sim" --image "$received" "$@" >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    for _ in $(seq 100); do
        port=$(head -n 1 "$work/sim.out")
        [ -n "$port" ] && return 0
        sleep 0.05
    done
    echo "FAIL [$case_name]: the simulator named no port"
    exit 1
}

# Runs the tool under an outer limit: an update that hangs fails the case instead of the suite.
run_tool() {
    local limit=$1
    timeout -k 5 "$limit" "$tool" "$port" 115200 KORVA ARM "$image" </dev/null >"$console" 2>&1
    status=$?
    [ $status -eq 124 ] && fail "no end within $limit s"
    text=$(cat "$console" && echo .) # the dot keeps the final line ends
    text=${text%.}
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
    records=$(tr -d '\r' <"$image" | awk 'length($0) >= 9')
    [ $# -gt 0 ] && records=$(printf '%s\n' "$records" | head -n "$1")
    [ $# -gt 0 ] && [ "$1" -eq 0 ] && records=""
    [ "$(cat "$received")" == "$records" ] || fail "simulator image differs from the file's records"
}

readonly Advice=$'\r\n******* UPLOAD FAILED.  \r\n\r\n\r\nPlease power cycle and try again. Check all connections\r\n'
readonly Done=$'\r\n\r\nUpdate Done!\r\n\n___________________\n'

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
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

if [ $failures -ne 0 ]; then
    echo "--- console of $case_name:"
    cat -A "$console" | tail -n 40
    echo "--- simulator messages:"
    tail -n 20 "$work/sim.err"
    exit 1
fi
echo "PASS [$case_name]"
