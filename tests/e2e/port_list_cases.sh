#!/usr/bin/env bash
# Port lists: one run of the real uartflash against four simulated products at once, by case name.
# usage: port_list_cases.sh CASE UARTFLASH UARTFLASH_SIM UARTFLASH_SAMPLE WORK_DIR UARTFLASH_LINE_PROBE
#                      JSON_LINES_CHECK [SCREENSHOT_PNG]
# Checks the exit status, the summary and the retry command, and that each simulator holds the
# file's records in order: all of them, or as many as its own fault allows.
set -uo pipefail
source "$(dirname "$0")/../../scripts/lib/sim_port.sh"
source "$(dirname "$0")/expect.sh"

case_name=$1 tool=$2 sim=$3 sample=$4 probe=$6 json_check=$7 screenshot=${8:-}
work=$5/$case_name
unset UARTFLASH_WAIT # the fixed mode unless a case asks for the poll
readonly Count=4
rm -rf "$work" && mkdir -p "$work"
image=$work/image.srec
output=$work/output.txt
failures=0
sim_pids=()
ports=()

fail() {
    echo "FAIL [$case_name]: $*"
    failures=$((failures + 1))
}

# port_list_remote_mixed reaches two simulators through a real ser2net on the loopback.
source "$(dirname "$0")/ser2net.sh"
trap ser2net_stop EXIT

# Simulator i (1-based) gets the options in sim_options[i] on top of its own files.
declare -A sim_options=()
start_sims() {
    for i in $(seq "$Count"); do
        # shellcheck disable=SC2086 # the options are words
        "$sim" --mode "${sim_mode:-boot}" --image "$work/received-$i.srec" --received-bytes "$work/bytes-$i" \
            ${sim_options[$i]:-} >"$work/sim-$i.out" 2>"$work/sim-$i.err" &
        sim_pids+=($!)
    done
    for i in $(seq "$Count"); do
        local port
        port=$(sim_port "$work/sim-$i.out") ||
            { fail "simulator $i named no port" && stop_sims && exit 1; }
        ports+=("$port")
    done
    list=$(IFS=, && echo "${ports[*]}")
}

stop_sims() {
    for pid in "${sim_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    sim_pids=()
}

# The tool under an outer limit; its output (plain lines and summary) goes to a file.
start_tool() {
    local limit=$1
    shift
    timeout -k 5 "$limit" "$tool" "$@" </dev/null >"$output" 2>&1 &
    tool_pid=$!
    tool_limit=$limit
}

end_tool() {
    wait "$tool_pid"
    status=$?
    [ $status -eq 124 ] && fail "no end within $tool_limit s"
    text=$(cat "$output")
}

# The summary row of port $1: result $2, reason $3.
expect_row() {
    grep -qE "^$1 +$2 +$3 " <<<"$text" || fail "no summary row '$1 $2 $3'"
}

# The retry command must repeat the options (retry_options) and name exactly the ports given, as
# one port argument.
retry_options=
expect_retry() {
    local wanted
    wanted=$(IFS=, && echo "$*")
    [ $# -eq 1 ] && wanted+=","
    local retry
    retry=$(grep -A1 '^Retry just those with:$' <<<"$text" | tail -n 1)
    [[ "$retry" == "  $tool $retry_options$wanted 115200 KORVA ARM $image" ]] ||
        fail "retry command '$retry', expected the ports $wanted"
}

# The ledger holds one whole line per port of ports after the torn text $1 (if any), each with
# the file's hash: port $2 (if any) failed with record_refused, port $3 (if any) has the line the
# parent wrote for its killed child, the others succeeded.
expect_ledger() {
    local ledger=$work/units.jsonl hash
    hash=$(sha256sum "$image" | cut -d' ' -f1)
    if [ -n "$1" ]; then
        [ "$(head -n 1 "$ledger")" == "$1" ] || fail "the torn text lost its line: $(head -c 80 "$ledger")"
        sed -i 1d "$ledger"
    fi
    [ "$(wc -l <"$ledger")" -eq "${#ports[@]}" ] ||
        fail "the ledger holds $(wc -l <"$ledger") lines, expected ${#ports[@]}"
    jq -e . "$ledger" >/dev/null || fail "a ledger line is not whole JSON"
    for port in "${ports[@]}"; do
        local line
        line=$(jq -c --arg port "$port" 'select(.port == $port) | [.ok, .reason, .image.sha256]' "$ledger")
        if [ "$port" == "${2:-}" ]; then
            [ "$line" == "[false,\"record_refused\",\"$hash\"]" ] || fail "ledger of $port: $line"
        elif [ "$port" == "${3:-}" ]; then
            [ "$line" == "[false,\"no_result\",\"$hash\"]" ] || fail "ledger of $port: $line"
        else
            [ "$line" == "[true,\"done\",\"$hash\"]" ] || fail "ledger of $port: $line"
        fi
    done
}

case $case_name in
port_list_done)
    "$sample" --records 40 >"$image"
    start_sims
    start_tool 90 --log-dir "$work/logs" "$list" 115200 KORVA ARM "$image"
    end_tool
    stop_sims
    expect_status 0
    expect_text "Every port updated (4)."
    for i in $(seq "$Count"); do
        expect_image "$i"
        expect_row "${ports[i - 1]}" ok "done"
        log=$work/logs/$(sed 's|^/||; s|/|_|g' <<<"${ports[i - 1]}").jsonl
        "$json_check" "$log" 0 "done" >/dev/null || fail "log $log is not the child's whole run"
    done
    ;;
port_list_record_refused)
    "$sample" --records 30 >"$image"
    sim_options[2]="--error-on 7"
    start_sims
    start_tool 90 --json "$list" 115200 KORVA ARM "$image"
    end_tool
    stop_sims
    expect_status 1
    text=$(cat "$output")
    "$json_check" --port-list <(grep '^{' "$output") 1 "${ports[1]}" || fail "the JSON events disagree"
    expect_row "${ports[1]}" failed record_refused
    retry_options="--json "
    expect_retry "${ports[1]}"
    for i in 1 3 4; do expect_image "$i"; done
    expect_image 2 6
    ;;
port_list_vanishes)
    "$sample" --records 40 >"$image"
    sim_options[3]="--vanish-after 10"
    start_sims
    start_tool 90 "$list" 115200 KORVA ARM "$image"
    end_tool
    stop_sims
    expect_status 1
    expect_row "${ports[2]}" failed port_lost
    expect_retry "${ports[2]}"
    for i in 1 2 4; do expect_image "$i"; done
    expect_image 3 10
    ;;
port_list_sigint)
    "$sample" --records 200 >"$image"
    for i in $(seq "$Count"); do sim_options[$i]="--baud 19200"; done # about 40 ms a record
    start_sims
    start_tool 90 "$list" 115200 KORVA ARM "$image"
    for _ in $(seq 1500); do
        [ "$(grep -c 'of 202 (20%)' "$output")" -eq "$Count" ] && break
        kill -0 "$tool_pid" 2>/dev/null || break
        sleep 0.02
    done
    sent=$("$probe" now)
    kill -INT "$tool_pid"
    end_tool
    ended=$("$probe" now)
    expect_status 130
    expect_text "Stop requested: every port stops at its next step."
    [ $(((ended - sent) / 1000000)) -lt 3000 ] || fail "took $(((ended - sent) / 1000000)) ms to stop"
    for i in $(seq "$Count"); do
        port=${ports[i - 1]}
        "$probe" free "$port" >"$work/free-$i" || fail "$port not released: $(cat "$work/free-$i")"
        pgrep -f -- "--exact-port $port " >/dev/null && fail "a child for $port still runs"
        expect_row "$port" stopped aborted
    done
    stop_sims # the simulators write their images out as they end
    for i in $(seq "$Count"); do
        kept=$(wc -l <"$work/received-$i.srec")
        { [ "$kept" -ge 40 ] && [ "$kept" -lt 202 ]; } || fail "${ports[i - 1]} kept $kept records"
        expect_image "$i" "$kept"
    done
    expect_retry "${ports[@]}"
    ;;
port_list_poll)
    # Every child asks for its product as the parent was told to; the retry repeats --wait.
    "$sample" --records 30 >"$image"
    sim_mode=app
    for i in $(seq "$Count"); do
        sim_options[$i]="--boot-reboot-ms 1000 --erase-ms 500 --app-reboot-ms 500"
    done
    sim_options[3]+=" --error-on 5"
    start_sims
    started=$("$probe" now)
    start_tool 90 --json --wait poll "$list" 115200 KORVA ARM "$image"
    end_tool
    ended=$("$probe" now)
    stop_sims
    expect_status 1
    "$json_check" --port-list <(grep '^{' "$output") 1 "${ports[2]}" || fail "the JSON events disagree"
    waits=$(grep -c '"event":"wait",.*"mode":"poll","waited_ms":[0-9]*,"answered":true' "$output")
    [ "$waits" -eq 7 ] || fail "$waits answered poll waits, expected 4 for the boot loader, 3 after"
    [ $(((ended - started) / 1000000)) -lt 15000 ] || fail "took $(((ended - started) / 1000000)) ms"
    expect_row "${ports[2]}" failed record_refused
    retry_options="--json --wait poll "
    expect_retry "${ports[2]}"
    for i in 1 2 4; do expect_image "$i"; done
    expect_image 3 4
    ;;
port_list_repeated_port)
    "$sample" --records 20 >"$image"
    start_sims
    start_tool 30 "${ports[0]},${ports[1]},${ports[2]},${ports[3]},${ports[1]}" 115200 KORVA ARM \
        "$image"
    end_tool
    stop_sims
    expect_status 2
    expect_text "Error: ${ports[1]} is named twice"
    [[ "$text" != *"PORT "* ]] || fail "a summary of runs that never started"
    for i in $(seq "$Count"); do
        [ "$(cat "$work/bytes-$i")" = 0 ] || fail "simulator $i received $(cat "$work/bytes-$i") bytes"
        expect_image "$i" 0
    done
    ;;
port_list_image_replaced)
    # The file is replaced after the start: every product gets the image the run checked.
    "$sample" --records 200 >"$image"
    cp "$image" "$work/original.srec"
    for i in $(seq "$Count"); do sim_options[$i]="--baud 19200"; done
    start_sims
    start_tool 90 "$list" 115200 KORVA ARM "$image"
    for _ in $(seq 1500); do
        grep -q 'of 202 (10%)' "$output" && break
        sleep 0.02
    done
    "$sample" --records 60 --seed 2 >"$work/other.srec" && mv "$work/other.srec" "$image"
    end_tool
    stop_sims
    cp "$work/original.srec" "$image" # what the products must hold
    expect_status 0
    expect_text "Updating 4 ports with $image (202 records)"
    for i in $(seq "$Count"); do expect_image "$i"; done
    ;;
port_list_pipe_image)
    # A pipe is read once; one product refuses a record, so the retry names the pipe.
    "$sample" --records 30 >"$image"
    sim_options[3]="--error-on 7"
    start_sims
    timeout -k 5 90 "$tool" "$list" 115200 KORVA ARM <(cat "$image") </dev/null >"$output" 2>&1
    status=$?
    text=$(cat "$output")
    stop_sims
    expect_status 1
    for i in 1 2 4; do expect_image "$i"; done
    expect_image 3 6
    expect_row "${ports[2]}" failed record_refused
    expect_text "came through a pipe, which cannot be read twice"
    ;;
port_list_linked_port)
    # A link beside the device it leads to is the same product named twice.
    "$sample" --records 20 >"$image"
    start_sims
    ln -s "${ports[1]}" "$work/by-id-link"
    start_tool 30 "${ports[0]},$work/by-id-link,${ports[1]}" 115200 KORVA ARM "$image"
    end_tool
    stop_sims
    expect_status 2
    expect_text "Error: $work/by-id-link and ${ports[1]} are the same device"
    for i in $(seq "$Count"); do
        [ "$(cat "$work/bytes-$i")" = 0 ] || fail "simulator $i received $(cat "$work/bytes-$i") bytes"
    done
    ;;
port_list_log_full)
    # The log folder fills up: the updates go on, the run says so and does not end with 0.
    mkdir -p "$work/tiny"
    if ! mount -t tmpfs -o size=12k tmpfs "$work/tiny" 2>/dev/null; then
        echo "SKIP [$case_name]: cannot mount a tmpfs here (needs root and mount rights)"
        exit 0
    fi
    "$sample" --records 300 >"$image"
    start_sims
    start_tool 90 --json --log-dir "$work/tiny/logs" "$list" 115200 KORVA ARM "$image"
    end_tool
    stop_sims
    umount "$work/tiny"
    expect_status 1
    expect_text "Warning: the log $work/tiny/logs/"
    expect_text " is incomplete: No space left on device"
    grep '^{"event":"summary"' "$output" | grep -q '"reason":"log_incomplete"' ||
        fail "the summary does not name the incomplete logs"
    for i in $(seq "$Count"); do expect_image "$i"; done
    ;;
port_list_ledger)
    # Each child appends its own line: four whole lines, one per port, the same file in each (a
    # DOS editor's Ctrl-Z included in its hash), after a line torn by a power loss. The child of
    # port 3 is killed mid-transfer: its parent writes its line.
    "$sample" --records 200 >"$image"
    printf '\x1a' >>"$image"
    printf '{"time":"2026-' >"$work/units.jsonl"
    sim_options[2]="--error-on 7"
    sim_options[3]="--baud 19200"
    start_sims
    start_tool 90 --json --ledger "$work/units.jsonl" "$list" 115200 KORVA ARM "$image"
    for _ in $(seq 1500); do
        grep -q "\"port\":\"${ports[2]}\",\"record\":[0-9]*,\"of\":202,\"percent\":2[0-9]" "$output" && break
        sleep 0.02
    done
    pkill -KILL -f -- "--exact-port --image-on-stdin ${ports[2]} " || fail "no child for ${ports[2]} to kill"
    end_tool
    stop_sims
    expect_status 1
    expect_ledger '{"time":"2026-' "${ports[1]}" "${ports[2]}"
    summary=$(grep '"event":"summary"' "$output")
    jq -e --arg port "${ports[2]}" '.ports[] | select(.port == $port)
        | .reason == "no_result" and .exit_status == 137 and .ledger == null
          and .records_sent >= 40 and .records_sent < 202' <<<"$summary" >/dev/null ||
        fail "the killed child's summary: $(jq -c --arg port "${ports[2]}" '.ports[] | select(.port == $port)' <<<"$summary")"
    jq -e -s --arg port "${ports[2]}" 'map(select(.port == $port)) | length == 1
        and .[0].exit_status == 137 and .[0].records_sent >= 40 and .[0].records_sent < 202' \
        "$work/units.jsonl" >/dev/null ||
        fail "the killed child's line: $(jq -c --arg port "${ports[2]}" 'select(.port == $port)' "$work/units.jsonl")"
    expect_no_text "Not in the ledger"
    ;;
port_list_dashboard)
    # The page of a port list: /state while it runs, /events to a reader that keeps up (the
    # summary included, before the tool exits), and a reader that stops reading, which slows
    # nothing.
    "$sample" --records 200 >"$image"
    for i in $(seq "$Count"); do sim_options[$i]="--baud 38400"; done
    start_sims
    address=127.0.0.1:$((30000 + RANDOM % 20000))
    start_tool 90 --json --dashboard "$address" "$list" 115200 KORVA ARM "$image"
    for _ in $(seq 200); do curl -s "http://$address/state" >"$work/state.json" && break; sleep 0.05; done
    curl -sN "http://$address/events" >"$work/events.txt" &
    reader=$!
    exec 5<>"/dev/tcp/${address%:*}/${address#*:}"
    printf 'GET /events HTTP/1.1\r\nHost: station\r\n\r\n' >&5 # and never reads
    sleep 1
    curl -s "http://$address/state" >"$work/state.json"
    end_tool
    exec 5>&-
    wait "$reader"
    stop_sims
    expect_status 0
    jq -e --argjson count "$Count" '.form == "port_list" and (.ports | length) == $count and
        (.ports | map(.state) | all(. == "updating" or . == "ok")) and .image.sha256 != null' \
        "$work/state.json" >/dev/null || fail "/state during the run: $(cat "$work/state.json")"
    grep -q '^data: {"event":"summary",' "$work/events.txt" ||
        fail "the summary did not reach the open page before the tool exited"
    [ "$(grep -c '^data: {"event":"result",' "$work/events.txt")" -eq "$Count" ] ||
        fail "not every port's result reached the page"
    for i in $(seq "$Count"); do expect_image "$i"; done
    ;;
port_list_hex)
    # An Intel HEX file is made into records once, by the parent: every product gets those
    # records, and every ledger line names the file's format and hash and the records' hash.
    "$sample" --records 40 >"$work/image.srec"
    image=$work/image.hex
    objcopy -I srec -O ihex "$work/image.srec" "$image"
    sent_records=$work/sent.srec
    "$tool" --check "$image" --save-srec "$sent_records" >/dev/null || fail "--check refused the HEX"
    start_sims
    start_tool 90 --ledger "$work/units.jsonl" "$list" 115200 KORVA ARM "$image"
    end_tool
    stop_sims
    expect_status 0
    for i in $(seq "$Count"); do expect_image "$i"; done
    facts=$(jq -c '[.image.format, .image.sha256, .image.bytes, .image.sent_sha256]' "$work/units.jsonl" | sort -u)
    wanted="[\"ihex\",\"$(sha256sum "$image" | cut -d' ' -f1)\",$(stat -c %s "$image"),\"$(sha256sum "$sent_records" | cut -d' ' -f1)\"]"
    [ "$facts" == "$wanted" ] || fail "ledger image facts $facts, expected $wanted"
    ;;
ledger_three_processes)
    # Three separate runs of the tool share one ledger.
    "$sample" --records 40 >"$image"
    start_sims
    pids=()
    for i in 1 2 3; do
        timeout -k 5 90 "$tool" --ledger "$work/units.jsonl" "${ports[i - 1]}" 115200 KORVA ARM \
            "$image" </dev/null >"$work/run-$i.txt" 2>&1 &
        pids+=($!)
    done
    for i in 1 2 3; do
        wait "${pids[i - 1]}" || fail "run $i ended with status $?"
    done
    stop_sims
    ports=("${ports[@]:0:3}")
    expect_ledger ""
    ;;
port_list_report)
    # The report reads the lines the tool wrote: four units, one refused a record, and the page
    # written whole beside them.
    "$sample" --records 30 >"$image"
    sim_options[2]="--error-on 7"
    start_sims
    start_tool 90 --ledger "$work/units.jsonl" "$list" 115200 KORVA ARM "$image"
    end_tool
    stop_sims
    expect_status 1
    day=$(head -n 1 "$work/units.jsonl" | jq -r '.time[:10]')
    timeout 30 "$tool" --report "$work/units.jsonl" --day "$day" --html "$work/report.html" \
        </dev/null >"$output" 2>&1
    status=$?
    text=$(cat "$output")
    expect_status 0
    expect_text "$day  4      4        3   1       75.0 %"
    expect_text "  record_refused  1"
    grep -qE "^  [0-9:]{8}  ${ports[1]}  -     record_refused  1$" <<<"$text" ||
        fail "no failed unit for ${ports[1]}"
    expect_text "Wrote the report to $work/report.html"
    grep -q "<td>${ports[1]}</td><td>-</td><td>record_refused</td>" "$work/report.html" ||
        fail "the page lacks the failed unit"
    compgen -G "$work/report.html.*" >/dev/null && fail "a new file was left beside the page"
    # A report or a listing that cannot reach its output is a failure, not a silent success.
    for form in "--report $work/units.jsonl" --list-ports; do
        for redirect in '>/dev/full' '>&-'; do
            eval "timeout 30 \"\$tool\" $form </dev/null $redirect 2>\"\$output\""
            status=$?
            text=$(cat "$output")
            expect_status 1
            expect_text "could not be written to standard output"
        done
    done
    ;;
report_screenshot)
    # A station's shift, as its page shows in a real browser: seven busy hours and a lunch hour
    # without updates, a few units that needed a second update, one that failed for good and one
    # with a hostile code. The screenshot stays in the build folder for people to look at.
    ledger=$work/units.jsonl
    entry() { # time unit ok reason
        printf '{"time":"2026-12-09T%s:00Z","host":"line-2","version":"1.5","port":"/dev/ttyUSB%d",' \
            "$1" $((unit % 4))
        printf '"unit":"%s","usb":null,"ok":%s,"exit_status":%d,"reason":"%s"}\n' "$2" "$3" \
            "$([ "$3" == true ] && echo 0 || echo 1)" "$4"
    }
    unit=0
    for hour_units in 06:8 07:14 08:15 09:13 10:12 12:9 13:14; do
        for n in $(seq "${hour_units#*:}"); do
            unit=$((unit + 1))
            minute=$(printf '%02d' $((n * 59 / ${hour_units#*:})))
            [ $((unit % 9)) -eq 0 ] && entry "${hour_units%:*}:$minute" "K-$unit" false record_refused
            entry "${hour_units%:*}:$minute" "K-$unit" true "done"
        done
    done >"$ledger"
    entry 13:58 "K-86" false no_contact >>"$ledger"
    entry 13:59 "<img src=x onerror=alert(1)>" false port_lost >>"$ledger"
    printf '{"time":"2026-12-' >>"$ledger"
    timeout 30 "$tool" --report "$ledger" --html "$work/report.html" </dev/null >"$output" 2>&1
    status=$?
    text=$(cat "$output")
    expect_status 0
    expect_text "2026-12-09  87     96       85  2       87.4 %"
    command -v chromium >/dev/null || { fail "chromium is missing (scripts/test installs it)" && exit 1; }
    browse() {
        timeout 60 chromium --headless --no-sandbox --disable-gpu --user-data-dir="$work/profile" \
            "$@" "file://$work/report.html" 2>>"$work/chromium.err"
    }
    browse --dump-dom >"$work/dom.html"
    grep -q '&lt;img src=x onerror=alert(1)&gt;' "$work/dom.html" || fail "the hostile code is not shown"
    grep -qi '<img' "$work/dom.html" && fail "the hostile code became an element"
    rm -f "$screenshot"
    browse --screenshot="$screenshot" --window-size=1200,900 >/dev/null
    /usr/bin/python3 - "$screenshot" <<'PYTHON' || fail "the screenshot $screenshot is not the page"
import sys
from PIL import Image
image = Image.open(sys.argv[1]).convert("RGB")
pixels = {colour: count for count, colour in image.getcolors(image.width * image.height)}
ok, failed = pixels.get((0x2E, 0x7D, 0x32), 0), pixels.get((0xC6, 0x28, 0x28), 0)
print(f"{image.width}x{image.height}: {ok} pixels of units ok, {failed} of units failed")
sys.exit(0 if image.size == (1200, 900) and ok > 5000 and failed > 300 else 1)
PYTHON
    ;;
port_list_remote_mixed)
    # Products on another machine beside a local one: through the RFC 2217 and the raw accepter
    # of ser2net, one local port, and a plain Telnet accepter that must be refused.
    "$sample" --records 40 >"$image"
    start_sims
    ser2net_start "$work" "${ports[0]}" "${ports[1]}" "${ports[3]}" ||
        { fail "ser2net did not start" && stop_sims && exit 1; }
    named=("rfc2217://127.0.0.1:${rfc2217_ports[0]}" "socket://127.0.0.1:${raw_ports[1]}"
        "${ports[2]}" "rfc2217://127.0.0.1:${telnet_ports[2]}")
    start_tool 90 --log-dir "$work/logs" "$(IFS=, && echo "${named[*]}")" 115200 KORVA ARM "$image"
    end_tool
    ser2net_stop
    stop_sims
    expect_status 1
    for i in 1 2 3; do
        expect_image "$i"
        expect_row "${named[i - 1]}" ok "done"
        log=$work/logs/$(sed 's|[^A-Za-z0-9.-]|_|g; s|^[_.]*||' <<<"${named[i - 1]}").jsonl
        "$json_check" "$log" 0 "done" >/dev/null || fail "log $log is not the child's whole run"
    done
    expect_row "${named[3]}" not_started port_not_opened
    refused_log=$work/logs/rfc2217___127.0.0.1_${telnet_ports[2]}.log
    grep -q "^The server at 127.0.0.1:${telnet_ports[2]} does not speak RFC 2217." "$refused_log" ||
        fail "$refused_log does not say why the port was refused"
    retry_options="--log-dir $work/logs "
    expect_retry "${named[3]}"
    expect_image 4 0
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

if [ $failures -ne 0 ]; then
    echo "--- output of $case_name:"
    tail -n 40 "$output"
    exit 1
fi
echo "PASS [$case_name]"
