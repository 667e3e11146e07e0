#!/usr/bin/env bash
# --watch (and AUTO): the real uartflash looking at a fake sysfs tree whose ttys lead to simulated
# products, by case name. Plugging a unit links its tty into the tree; unplugging removes the link.
# usage: watch_cases.sh CASE UARTFLASH UARTFLASH_SIM UARTFLASH_SAMPLE WORK_DIR
# Checks the exit status, the summary, the ledger and the records each simulator took.
set -uo pipefail
source "$(dirname "$0")/../../scripts/lib/sim_port.sh"
source "$(dirname "$0")/expect.sh"

case_name=$1 tool=$2 sim=$3 sample=$4
work=$5/$case_name
unset UARTFLASH_WAIT
rm -rf "$work" && mkdir -p "$work/sys/class/tty" "$work/dev"
image=$work/image.srec
output=$work/output.txt
ledger=$work/units.jsonl
failures=0
sim_pids=()
ports=()
tool_pid=

fail() {
    echo "FAIL [$case_name]: $*"
    failures=$((failures + 1))
}

stop_all() {
    [ -n "$tool_pid" ] && kill -KILL "$tool_pid" 2>/dev/null
    for pid in "${sim_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    sim_pids=()
}
trap stop_all EXIT

# The ports simulators 1..N named on the first line of their output.
collect_ports() {
    for i in $(seq "$1"); do
        local port
        port=$(sim_port "$work/sim-$i.out") || { fail "simulator $i named no port" && exit 1; }
        ports+=("$port")
    done
}

# Simulators 1..N; simulator i gets the options in sim_options[i].
declare -A sim_options=()
start_sims() {
    for i in $(seq "$1"); do
        # shellcheck disable=SC2086 # the options are words
        "$sim" --mode "${sim_mode:-boot}" --image "$work/received-$i.srec" \
            --received-bytes "$work/bytes-$i" ${sim_options[$i]:-} >"$work/sim-$i.out" \
            2>"$work/sim-$i.err" &
        sim_pids+=($!)
    done
    collect_ports "$1"
}

# Unit $2 (its simulator) plugged in as tty $1 with serial number $3 at USB position $4: a CP2102
# as sysfs shows it. The class link comes last, so a listing sees the unit whole or not at all.
# With $5 and $6 the bridge carries its maker's manufacturer and product strings instead, and its
# interface is bound to the cp210x driver as the kernel links it.
plug() {
    local usb=$work/sys/devices/unit$2/$4
    local port=$usb/$4:1.0/$1
    mkdir -p "$port/tty/$1"
    echo "${5:-Silicon Labs}" >"$usb/manufacturer"
    echo "${6:-CP2102 USB to UART Bridge Controller}" >"$usb/product"
    if [ $# -ge 6 ]; then
        mkdir -p "$work/sys/bus/usb/drivers/cp210x"
        ln -sfn "$work/sys/bus/usb/drivers/cp210x" "$usb/$4:1.0/driver"
    fi
    echo 10c4 >"$usb/idVendor"
    echo ea60 >"$usb/idProduct"
    echo "$3" >"$usb/serial"
    ln -sfn "$port" "$port/tty/$1/device"
    ln -sfn "${ports[$2 - 1]}" "$work/dev/$1"
    ln -sn "$port/tty/$1" "$work/sys/class/tty/$1"
}

unplug() {
    rm -f "$work/sys/class/tty/$1" "$work/dev/$1"
}

# The watch under an outer limit, seeing the fake tree; its texts go to a file. --foreground:
# timeout then passes a SIGINT on to the tool once, not also to its process group, which would
# make it two stop requests. Any signal starts timeout's -k period, which must leave the running
# update time to end.
start_watch() {
    UARTFLASH_SYSFS_TTY=$work/sys/class/tty UARTFLASH_DEV_DIR=$work/dev \
        timeout --foreground -k 60 120 "$tool" --watch --ledger "$ledger" "$@" </dev/null >"$output" \
        2>"$work/stderr.txt" &
    tool_pid=$!
}

end_watch() {
    wait "$tool_pid"
    status=$?
    tool_pid=
    [ $status -eq 124 ] && fail "no end within 120 s"
    text=$(cat "$output")
}

# Waits up to 60 s for the file $1 to hold $2 lines, or the text $2 when it is not a number.
await() {
    for _ in $(seq 3000); do
        if [[ $2 =~ ^[0-9]+$ ]]; then
            [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ] && return 0
        else
            grep -qF -- "$2" "$1" 2>/dev/null && return 0
        fi
        kill -0 "$tool_pid" 2>/dev/null || break
        sleep 0.02
    done
    fail "waited in vain for $2 in $1"
}

# A fixture: simulators 1..N on pseudo-terminals that stay open, each with a control file on which
# units are placed and taken away; unit k of simulator i writes received-i.srec.k.
start_fixture_sims() {
    for i in $(seq "$1"); do
        # shellcheck disable=SC2086 # the options are words
        "$sim" --mode app --control "$work/control-$i" --image "$work/received-$i.srec" \
            --received-bytes "$work/bytes-$i" --boot-reboot-ms 300 --app-reboot-ms 300 \
            ${sim_options[$i]:-} >"$work/sim-$i.out" 2>"$work/sim-$i.err" &
        sim_pids+=($!)
    done
    collect_ports "$1"
}

place() { echo "place${2:+ $2}" >"$work/control-$1"; }
take_away() { echo remove >"$work/control-$1"; }

# The watch of a fixture, its standard input a pipe the case scans codes into (scan CODE).
start_fixture_watch() {
    mkfifo "$work/scans"
    timeout --foreground -k 60 150 "$tool" --watch --wait poll --ledger "$ledger" "$@" \
        <"$work/scans" >"$output" 2>"$work/stderr.txt" &
    tool_pid=$!
    exec 3>"$work/scans"
}
scan() { echo "$1" >&3; }

# Unit $2 of simulator $1 holds the image's records.
expect_unit_image() {
    [ "$(cat "$work/received-$1.srec.$2" 2>/dev/null)" == "$(awk 'length($0) >= 9' "$image")" ] ||
        fail "unit $2 on simulator $1 does not hold the image"
}

# Waits (up to 60 s) until the text $2 stands on $3 lines of the file $1.
await_count() {
    for _ in $(seq 3000); do
        [ "$(grep -cF -- "$2" "$1" 2>/dev/null)" -ge "$3" ] && return 0
        kill -0 "$tool_pid" 2>/dev/null || break
        sleep 0.02
    done
    fail "waited in vain for $3 lines with $2 in $1"
}

# The ledger's lines in order, one a unit: "serial location ok reason", each with the image's
# hash as sha256sum gives it.
expect_ledger() {
    local hash wanted
    hash=$(sha256sum "$image" | cut -d' ' -f1)
    jq -e --arg hash "$hash" '.image.sha256 == $hash' "$ledger" >/dev/null ||
        fail "a ledger line lacks the image's SHA-256 $hash"
    wanted=$(printf '%s\n' "$@")
    [ "$(jq -r '[.usb.serial, .usb.location, .ok, .reason] | join(" ")' "$ledger")" == "$wanted" ] ||
        fail "ledger $(jq -c '[.usb.serial, .usb.location, .ok, .reason]' "$ledger"), expected $*"
}

case $case_name in
watch_three_units)
    # Three units plugged in one after another, two of them at the same position.
    "$sample" --records 40 >"$image"
    sim_mode=app
    for i in 1 2 3; do sim_options[$i]="--boot-reboot-ms 300 --app-reboot-ms 300"; done
    start_sims 3
    start_watch --wait poll ALL 115200 KORVA ARM "$image"
    plug ttyUSB0 1 UNIT0001 1-1
    await "$ledger" 1
    unplug ttyUSB0
    await "$output" "ttyUSB0: unplugged"
    plug ttyUSB0 2 UNIT0002 1-1
    await "$ledger" 2
    unplug ttyUSB0
    plug ttyUSB1 3 UNIT0003 1-2
    await "$ledger" 3
    kill -INT "$tool_pid"
    end_watch
    stop_all # the simulators write their images as they end
    expect_status 0
    expect_text "Every unit updated."
    expect_text "Units: 3 ok, 0 failed, 0 skipped"
    for i in 1 2 3; do expect_image "$i"; done
    expect_ledger "UNIT0001 1-1 true done" "UNIT0002 1-1 true done" "UNIT0003 1-2 true done"
    ;;
watch_replug_skipped)
    # The same unit unplugged and plugged in again is not updated twice.
    "$sample" --records 30 >"$image"
    start_sims 1
    start_watch ALL 115200 KORVA ARM "$image"
    plug ttyUSB0 1 UNIT0001 1-1
    await "$ledger" 1
    unplug ttyUSB0
    await "$output" "ttyUSB0: unplugged"
    plug ttyUSB0 1 UNIT0001 1-1
    await "$output" "unit SN=UNIT0001 was updated in this watch: skipped"
    sleep 1 # some more looks at the ports
    kill -INT "$tool_pid"
    end_watch
    stop_all
    expect_status 0
    expect_text "Units: 1 ok, 0 failed, 1 skipped"
    [ "$(grep -c 'plugged in: updating$' "$output")" -eq 1 ] || fail "the unit was updated again"
    expect_ledger "UNIT0001 1-1 true done"
    expect_image 1
    ;;
watch_one_refuses)
    # Three units at once; the second refuses record 7 and the others go on. With --json.
    "$sample" --records 30 >"$image"
    sim_options[2]="--error-on 7"
    start_sims 3
    start_watch --json ALL 115200 KORVA ARM "$image"
    plug ttyUSB0 1 UNIT0001 1-1
    plug ttyUSB1 2 UNIT0002 1-2
    plug ttyUSB2 3 UNIT0003 1-3
    await "$ledger" 3
    kill -INT "$tool_pid"
    end_watch
    stop_all
    expect_status 1
    text=$(cat "$work/stderr.txt")
    grep -qE "^$work/dev/ttyUSB1 +UNIT0002 +failed +record_refused " <<<"$text" ||
        fail "no summary row for the refused unit"
    expect_text "1 unit did not update: SN=UNIT0002"
    expect_text "  $tool --watch --json --ledger $ledger SN=UNIT0002 115200 KORVA ARM $image"
    summary=$(grep '^{"event":"summary"' "$output")
    jq -e '.exit_status == 1 and .units_ok == 2 and .units_failed == 1 and
        .failed_serials == ["UNIT0002"] and (.units | length) == 3' <<<"$summary" >/dev/null ||
        fail "the summary event disagrees: $summary"
    [ "$(grep -c '^{"event":"unit",.*"state":"plugged"}$' "$output")" -eq 3 ] ||
        fail "not three plugged units in the events"
    [ "$(jq -s -c '[.[] | select(.port | endswith("ttyUSB1")) | .usb.serial] | unique' "$ledger")" == '["UNIT0002"]' ] ||
        fail "the ledger does not tie ttyUSB1 to UNIT0002"
    # The README's jq line for a day's failed units.
    day=$(jq -r '.time[0:10]' "$ledger" | head -n 1)
    failed=$(jq -r 'select(.time | startswith("'"$day"'")) | select(.ok | not)
        | [.time, .port, .usb.serial // "-", .reason] | @tsv' "$ledger")
    tab=$'\t'
    pattern="^${day}T[0-9:]+Z$tab$work/dev/ttyUSB1${tab}UNIT0002${tab}record_refused\$"
    [[ "$failed" =~ $pattern ]] || fail "the failed units of the day: $failed"
    expect_image 1
    expect_image 3
    expect_image 2 6
    ;;
watch_child_killed)
    # A unit's child is killed mid-transfer (SIGKILL, as the OOM killer does): the watch writes
    # the unit's line itself, with what the child's events told, and counts the unit as failed.
    "$sample" --records 200 >"$image"
    sim_options[1]="--baud 19200"
    start_sims 1
    start_watch --json ALL 115200 KORVA ARM "$image"
    plug ttyUSB0 1 UNIT0001 1-1
    await "$output" '"of":202,"percent":20'
    pkill -KILL -f -- "--exact-port --image-on-stdin $work/dev/ttyUSB0 " || fail "no child to kill"
    await "$ledger" 1
    kill -INT "$tool_pid"
    end_watch
    stop_all
    expect_status 1
    expect_ledger "UNIT0001 1-1 false no_result"
    jq -e '.exit_status == 137 and .records_sent >= 40 and .records_sent < 202' "$ledger" >/dev/null ||
        fail "the killed unit's line: $(cat "$ledger")"
    summary=$(grep '^{"event":"summary"' "$output")
    jq -e '.units[0].reason == "no_result" and .units[0].ledger == null' <<<"$summary" >/dev/null ||
        fail "the summary event disagrees: $summary"
    grep -qE "^$work/dev/ttyUSB0 +UNIT0001 +failed +no_result +([4-9][0-9]|1[0-9][0-9])/202 " \
        "$work/stderr.txt" || fail "no summary row with the records the child reported"
    ;;
watch_sigint_once | watch_sigint_twice)
    # A stop request during a transfer: no new unit is taken; the running update ends as it
    # would (once), or is aborted (twice).
    "$sample" --records 200 >"$image"
    sim_options[1]="--baud 19200" # about 40 ms a record
    start_sims 2
    start_watch ALL 115200 KORVA ARM "$image"
    plug ttyUSB0 1 UNIT0001 1-1
    await "$output" "of 202 (20%)"
    kill -INT "$tool_pid"
    await "$output" "Stop requested: no new units; 1 running update(s) go on to their end"
    plug ttyUSB1 2 UNIT0002 1-2
    if [ "$case_name" = watch_sigint_twice ]; then
        kill -INT "$tool_pid"
    fi
    end_watch
    stop_all
    [ "$(cat "$work/bytes-2")" = 0 ] || fail "a unit plugged in after the stop request was updated"
    if [ "$case_name" = watch_sigint_once ]; then
        expect_status 0
        expect_text "Every unit updated."
        expect_image 1
        expect_ledger "UNIT0001 1-1 true done"
    else
        expect_status 130
        expect_text "Stop requested again: every running update stops at its next step."
        expect_text "Stopped by request: the running updates were aborted."
        grep -qE "ttyUSB0 +UNIT0001 +stopped +aborted " <<<"$text" || fail "no stopped row"
        expect_ledger "UNIT0001 1-1 false aborted"
        kept=$(wc -l <"$work/received-1.srec")
        [ "$kept" -lt 202 ] || fail "the aborted unit took every record"
        expect_image 1 "$kept"
    fi
    ;;
fixture_three_units)
    # One port that stays plugged, codes scanned through a pipe: a unit that arrives without its
    # code waits for it; one left in place after its update is not updated again; another product
    # is not updated; a code updated before is refused.
    "$sample" --records 40 >"$image"
    start_fixture_sims 1
    start_fixture_watch --json --unit-id scan "${ports[0]}" 115200 KORVA ARM "$image"
    place 1
    await "$output" '"awaiting_code":true'
    scan LOT7-0001
    await "$ledger" 1
    sleep 3 # left in place, looked at again and again
    take_away 1
    await "$output" '"event":"left"'
    scan LOT7-0001
    await "$output" '"reason":"already_updated"'
    scan LOT7-0002
    place 1 OTHER
    await "$output" '"foreign":true'
    take_away 1
    await_count "$output" '"event":"left"' 2
    place 1
    await "$ledger" 2
    take_away 1
    await_count "$output" '"event":"left"' 3
    scan LOT7-0003
    place 1
    await "$ledger" 3
    kill -INT "$tool_pid"
    end_watch
    exec 3>&-
    stop_all
    expect_status 0
    [ "$(jq -r '[.unit, .ok, .reason] | join(" ")' "$ledger")" == $'LOT7-0001 true done\nLOT7-0002 true done\nLOT7-0003 true done' ] ||
        fail "ledger $(jq -c '[.unit, .ok, .reason]' "$ledger")"
    for k in 1 3 4; do expect_unit_image 1 "$k"; done # unit 2 was the other product
    [ ! -s "$work/received-1.srec.2" ] || fail "the other product was updated"
    [ "$(grep -c '"event":"start"' "$output")" -eq 3 ] || fail "not three updates"
    summary=$(grep '^{"event":"summary"' "$output")
    jq -e '.units_ok == 3 and .first_pass_yield == 1 and (.units | map(.unit)) == ["LOT7-0001","LOT7-0002","LOT7-0003"]' \
        <<<"$summary" >/dev/null || fail "the summary event disagrees: $summary"
    ;;
fixture_ser2net)
    # Two fixtures served by a real ser2net: each unit is found by its answer; ser2net restarts
    # while the watch waits, and the port comes back for the next unit.
    source "$(dirname "$0")/ser2net.sh"
    "$sample" --records 40 >"$image"
    start_fixture_sims 2
    ser2net_start "$work" "${ports[0]}" "${ports[1]}" || { fail "ser2net did not start" && exit 1; }
    trap 'ser2net_stop; stop_all' EXIT
    fixture=("rfc2217://127.0.0.1:${rfc2217_ports[0]}" "rfc2217://127.0.0.1:${rfc2217_ports[1]}")
    start_fixture_watch "${fixture[0]},${fixture[1]}" 115200 KORVA ARM "$image"
    place 1
    place 2
    await "$ledger" 2
    take_away 1
    await "$output" "${fixture[0]}: unit left"
    ser2net_restart "$work" || fail "ser2net did not start again"
    await "$output" "the port is not open"
    place 1
    await "$ledger" 3
    kill -INT "$tool_pid"
    end_watch
    exec 3>&-
    ser2net_stop
    stop_all
    expect_status 0
    expect_text "Units: 3 ok, 0 failed"
    [ "$(jq -r .port "$ledger" | sort | uniq -c | awk '{print $1}' | tr '\n' ' ')" == "2 1 " ] ||
        fail "ledger ports $(jq -r .port "$ledger" | tr '\n' ' ')"
    jq -e '.unit == null and .usb == null' "$ledger" >/dev/null || fail "a fixture's unit got a name"
    expect_unit_image 1 1
    expect_unit_image 1 2
    expect_unit_image 2 1
    ;;
fixture_wrong_image)
    # A station locked to the released image refuses another before any port is touched.
    "$sample" --records 40 >"$image"
    start_fixture_sims 1
    place 1
    UARTFLASH_IMAGE_SHA256=$(printf '%064d' 0) timeout 30 "$tool" --watch "${ports[0]}" 115200 \
        KORVA ARM "$image" </dev/null >"$output" 2>&1
    status=$?
    text=$(cat "$output")
    stop_all
    expect_status 2
    expect_text "Error: $image is not the released image: its SHA-256 is $(sha256sum "$image" | cut -d' ' -f1), not $(printf '%064d' 0)"
    [ "$(cat "$work/bytes-1")" = 0 ] || fail "bytes reached the product"
    ;;
auto_maker_strings)
    # One update with AUTO of a CP210x that says "Korva Oy" and "Korva KX-7": found by its driver.
    "$sample" --records 30 >"$image"
    start_sims 1
    plug ttyUSB0 1 KX7-0042 1-1 "Korva Oy" "Korva KX-7"
    export UARTFLASH_SYSFS_TTY=$work/sys/class/tty UARTFLASH_DEV_DIR=$work/dev
    listing=$("$tool" --list-ports --json)
    jq -e --arg port "$work/dev/ttyUSB0" '.name == $port and .auto and .manufacturer == "Korva Oy"
        and .product == "Korva KX-7" and .description == "Silicon Labs CP210x USB to UART Bridge"' \
        <<<"$listing" >/dev/null || fail "the listing: $listing"
    timeout -k 5 120 "$tool" AUTO 115200 KORVA ARM "$image" </dev/null >"$output" 2>&1
    status=$?
    text=$(cat "$output")
    stop_all
    expect_status 0
    expect_text "$work/dev/ttyUSB0 [Silicon Labs CP210x USB to UART Bridge]"
    expect_text "Update Done!"
    expect_image 1
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

if [ $failures -ne 0 ]; then
    echo "--- output of $case_name:"
    tail -n 40 "$output"
    tail -n 20 "$work/stderr.txt"
    exit 1
fi
echo "PASS [$case_name]"
