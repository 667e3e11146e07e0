#!/usr/bin/env bash
# Fault campaign: many whole updates of the real tool against the simulated product, each with
# faults drawn from one printed seed. Every run must either end in "Update Done!" (and only then
# status 0) with the file's records, as they were at start, landed in order; or fail with the
# advice; or, after SIGINT, end with status 130, the abort text and the port free. Within the time
# its faults allow (a lost port within 2 s of the close), without a crash, a sanitizer report or a
# spinning thread. Exit status 1 on any violation.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/sim_port.sh"

usage() {
    cat <<'EOF'
usage: run.sh [--runs N] [--seed S] [--jobs J] [--tool PATH] [--sim PATH] [--sample PATH]
              [--probe PATH] [--work DIR] [--only I] [--keep] [--time-factor F]
  --runs N         updates to run (default 50); the first ones cover every fault kind once
  --seed S         seed of all draws (default: from the clock; always printed)
  --jobs J         updates at a time (default 2)
  --only I         run update I of the campaign alone (to reproduce one run)
  --keep           keep every run's folder, not only those of violations
  --time-factor F  stretch the time bounds by F percent (default 100; more for slow builds)
  --probe PATH     uartflash-line-probe (default: next to the simulator)
EOF
}

root=$(cd "$(dirname "$0")/../.." && pwd)
runs=50 seed=$(($(date +%s%N) % 1000000000)) jobs=2 only="" keep=0 time_factor=100 work=""
tool=$root/build/release/uartflash
sim=$root/build/release/tools/uartflash-sim
sample=$root/build/release/tools/uartflash-sample
probe=""
while [ $# -gt 0 ]; do
    case $1 in
    --runs) runs=$2 ;;
    --seed) seed=$2 ;;
    --jobs) jobs=$2 ;;
    --tool) tool=$2 ;;
    --sim) sim=$2 ;;
    --sample) sample=$2 ;;
    --probe) probe=$2 ;;
    --work) work=$2 ;;
    --only) only=$2 ;;
    --time-factor) time_factor=$2 ;;
    --keep) keep=1 && shift && continue ;;
    *) usage >&2 && exit 2 ;;
    esac
    shift 2 || { usage >&2 && exit 2; }
done
[ -n "$probe" ] || probe=$(dirname "$sim")/uartflash-line-probe
for f in "$tool" "$sim" "$sample" "$probe"; do
    [ -x "$f" ] || { echo "not an executable: $f" >&2 && exit 2; }
done
[ -n "$work" ] || work=$(mktemp -d "${TMPDIR:-/tmp}/uartflash-soak.XXXXXX")
unset UARTFLASH_WAIT # each run says how it waits
rm -rf "$work/plans" "$work/results" "$work/pids"
mkdir -p "$work/plans" "$work/results" "$work/pids"

# Stopped from outside (Ctrl+C, a test time-out): end the simulators and tools of the runs too.
stop_runs() {
    local pids f
    for f in "$work"/pids/*; do
        [ -f "$f" ] && read -r -a pids <"$f" && kill -TERM "${pids[@]}" 2>/dev/null
    done
    local jobs_left
    mapfile -t jobs_left < <(jobs -p)
    kill -TERM "${jobs_left[@]}" 2>/dev/null
    exit 1
}
trap stop_runs TERM INT

# ---------------------------------------------------------------------------------------------
# Draws: a small LCG of our own, so a seed means the same campaign on every bash.
rng=$((seed & 0x7fffffff))
rand() { # R in [0, $1)
    rng=$(((rng * 1103515245 + 12345) & 0x7fffffff))
    R=$(((rng >> 8) % $1))
}
chance() { # true with $1 percent
    rand 100
    [ "$R" -lt "$1" ]
}
between() { # R in [$1, $2]
    rand $(($2 - $1 + 1))
    R=$(($1 + R))
}

# The tool's own waits, in ms; with --wait poll the waits end within PollSlackMs of the product's
# answer, and give up at the poll's limits.
readonly ReplyTimeoutMs=10000 ResendPauseMs=1000 BootWaitMs=15000 AppWaitMs=5000
readonly PollSlackMs=1000 PollBootLimitMs=73000 PollAppLimitMs=34000
# Allowance per record exchange (a split or noisy reply takes some tens of ms) and for start-up.
readonly LineMs=60 StartMs=500
# The tool's end after its port is lost; after SIGINT, how late a run may still end "Update Done!".
readonly LostMs=2000 LateDoneMs=1500

# Kinds every campaign covers once before drawing at random.
readonly Guaranteed=(plain busy fail_storm error silent never duplicate noise split case vanish
    slow_reboot app foreign merged rewrite gone sigint poll never_back)

# Sets the plan of one run: what the simulator does, and what the tool must then do.
draw_plan() {
    local kind=$1
    mode=boot reboot=0 records=0 dtype=1 crlf=0 never=0 vanish=0 foreign=0 baud=0
    noise=0 split=0 lower=0 quoted=0 duplicate=0 merged=0 change=none gone=none signal_ms=0
    wait=fixed boot_reboot=-1 app_reboot=-1 erase=0 start_noise=0 never_back=none
    faults=() # "record:ANSWER" or "record:FIRST+SECOND", attempts of one record in order
    between 5 40 && records=$R
    between 1 3 && dtype=$R
    between 50 500 && reboot=$R
    chance 25 && crlf=1
    rand 1000000 && sim_seed=$R
    case $kind in
    plain) ;;
    busy) storm 2 BUSY ;;
    fail_storm) storm 3 FAIL ;;
    error) refuse ERROR ;;
    silent) refuse SILENT ;;
    never) never=1 ;;
    duplicate) duplicate=1 split=1 && storm 2 BUSY ;; # late copies, then resends
    noise) noise=1 ;;
    split) split=1 ;;
    case) lower=1 quoted=1 ;;
    vanish) between 1 $((records + 1)) && vanish=$R ;;
    slow_reboot) mode=app && between 1500 4000 && reboot=$R ;;
    app) mode=app ;;
    foreign) foreign=1 ;;
    merged) two_answers ;;
    rewrite) file_change ;;
    gone) port_lost ;;
    sigint) interrupt ;;
    poll) mode=app wait=poll start_noise=1 && reboot_like_a_product ;;
    never_back) mode=boot wait=poll never_back=app ;;
    random) draw_random ;;
    esac
    [ "$boot_reboot" -ge 0 ] || boot_reboot=$reboot
    [ "$app_reboot" -ge 0 ] || app_reboot=$reboot
}

# The reboots of a real product: each its own time, an erase that answers late.
reboot_like_a_product() {
    between 300 2500 && boot_reboot=$R
    between 100 1500 && erase=$R
    between 200 2000 && app_reboot=$R
}

# A product that never comes back from one of its reboots; only with the poll, whose limits end
# the run in 73 s or 34 s (the fixed mode's 30 passes with their reply waits take minutes).
never_coming_back() {
    if chance 50; then
        never_back=app
    else
        never_back=boot mode=app
    fi
}

# Mostly quick runs: a silent product costs 30 s, an unanswered record 10 s, application mode 15 s.
draw_random() {
    # Alone, so that the signal decides the outcome.
    chance 5 && interrupt && return
    chance 12 && mode=app
    chance 15 && between 1000 4000 && reboot=$R
    chance 25 && noise=1
    chance 20 && split=1
    chance 20 && lower=1
    chance 20 && quoted=1
    chance 15 && duplicate=1
    chance 10 && baud=115200
    chance 35 && storm 2 BUSY
    chance 10 && storm 3 FAIL
    chance 8 && refuse ERROR
    chance 6 && two_answers
    # A duplicated reply followed by a lost one looks to the tool exactly like two good exchanges,
    # so no tool could tell; that pair is left out. Merged answers leave them out too: a tool that
    # sent the next record between the two would take the spare answer for that record's.
    chance 4 && [ $duplicate -eq 0 ] && [ $merged -eq 0 ] && refuse SILENT
    chance 2 && [ $duplicate -eq 0 ] && [ $merged -eq 0 ] && refuse FLOOD
    chance 6 && between 1 $((records + 1)) && vanish=$R
    chance 4 && port_lost
    chance 4 && file_change
    chance 3 && foreign=1
    chance 2 && never=1
    # The poll (a third of it set by UARTFLASH_WAIT) and the reboots of a real product.
    if chance 40; then
        wait=poll
        chance 30 && wait=env
    fi
    chance 30 && reboot_like_a_product
    chance 15 && start_noise=1
    chance 3 && [ "$wait" != fixed ] && [ $never -eq 0 ] && never_coming_back
    # Paced or split, the two answers of one write reach the tool apart, and a tool that stops at
    # the first (ERROR) may never see the second; merged answers stay unpaced.
    [ $merged -eq 0 ] || split=0 baud=0
}

# Two answers to one record in one write, in one of the four orders.
two_answers() {
    local r orders=(PASS+ERROR ERROR+PASS BUSY+PASS FAIL+PASS)
    between 1 $((records + 2)) && r=$R
    rand 4 && faults+=("$r:${orders[R]}")
    merged=1
}

# The file is rewritten, cut to nothing or deleted once the transfer runs; the file is larger than
# a stdio buffer and the line paced, so that much of it is still to be sent.
file_change() {
    local changes=(rewritten truncated deleted)
    rand 3 && change=${changes[R]}
    between 100 250 && records=$R
    baud=115200
}

# The line closes in one phase; mid-transfer it closes after a drawn record.
port_lost() {
    local phases=(connect identify bootwait transfer appwait)
    rand 5 && gone=${phases[R]}
    if [ "$gone" = transfer ]; then
        gone=none
        between 1 $((records + 1)) && vanish=$R
    fi
    [ "$gone" != bootwait ] || mode=app
}

# SIGINT at a random moment, mostly while the paced transfer runs.
interrupt() {
    baud=19200
    if chance 70; then
        between 1 $(((records + 2) * 45 + 700))
    else
        between 1 $((StartMs + (records + 2) * LineMs + AppWaitMs))
    fi
    signal_ms=$R
}

# BUSY and FAIL answers on a few records: up to $1 per record (3 or more ends the update).
storm() {
    local count n r a answer
    between 1 4 && count=$R
    for ((n = 0; n < count; n++)); do
        between 1 $((records + 2)) && r=$R
        between 1 "$1" && a=$R
        while [ "$a" -gt 0 ]; do
            chance 50 && answer=BUSY || answer=$2
            faults+=("$r:$answer")
            a=$((a - 1))
        done
    done
}

# One record answered ERROR or not at all, sometimes after a BUSY.
refuse() {
    local r
    between 1 $((records + 2)) && r=$R
    chance 30 && faults+=("$r:BUSY")
    faults+=("$r:$1")
}

# With duplicated replies the answers may shift by one record, so neither the outcome nor the
# point of failure can be told in advance: the time allowed covers every fault, the whole transfer
# and a product that keeps reporting its boot loader (30 passes one second apart).
worst_case() {
    local f
    est=$((StartMs + (records + 2) * LineMs + AppWaitMs + 30 * (1000 + 2 * LineMs)))
    [ "$mode" = app ] && est=$((est + $(boot_wait_ms)))
    [ "$never_back" != boot ] || est=$((est + PollBootLimitMs))
    [ $vanish -gt 0 ] && est=$((est + ReplyTimeoutMs))
    [ "$gone" = none ] || est=$((est + LostMs))
    for f in "${faults[@]}"; do
        est=$((est + LineMs + ResendPauseMs))
    done
}

# The wait for the boot loader after UPDATE, and for the new application after the last record.
boot_wait_ms() {
    if [ "$wait" = fixed ]; then
        echo $((BootWaitMs + 2 * LineMs))
    else
        echo $((boot_reboot + erase + PollSlackMs))
    fi
}
app_wait_ms() {
    if [ "$wait" = fixed ]; then
        echo $((AppWaitMs + 2 * LineMs))
    else
        echo $((app_reboot + PollSlackMs))
    fi
}

# What the tool must do with this plan: outcome kind, records landed, time it may take.
predict() {
    local lines=$((records + 2)) r f sendings
    expect="done" landed=$lines est=$StartMs
    if [ $never -eq 1 ]; then
        expect=no_comms landed=0 est=$((est + 3 * ReplyTimeoutMs))
        return
    fi
    if [ "$gone" = connect ] || [ "$gone" = identify ]; then
        expect=port_gone landed=0 est=$((est + LostMs))
        return
    fi
    if [ $foreign -eq 1 ]; then
        expect=unknown_app landed=0
        return
    fi
    if [ "$never_back" = boot ]; then
        expect=not_responding landed=0 est=$((est + PollBootLimitMs + PollSlackMs))
        return
    fi
    [ "$mode" = app ] && est=$((est + $(boot_wait_ms)))
    if [ "$gone" = bootwait ]; then
        expect=port_gone landed=0 est=$((est + LostMs))
        return
    fi
    for ((r = 1; r <= lines; r++)); do
        if [ $vanish -gt 0 ] && [ $((r - 1)) -ge $vanish ]; then
            expect=port_gone landed=$vanish est=$((est + LostMs))
            return
        fi
        sendings=0
        for f in "${faults[@]}"; do
            [ "${f%%:*}" -eq $r ] || continue
            est=$((est + LineMs))
            case ${f#*:} in
            BUSY | FAIL)
                sendings=$((sendings + 1)) est=$((est + ResendPauseMs))
                if [ $sendings -ge 3 ]; then
                    expect=too_many landed=$((r - 1))
                    return
                fi
                ;;
            ERROR)
                expect=refused landed=$((r - 1))
                return
                ;;
            SILENT | FLOOD)
                expect=comm_error landed=$((r - 1)) est=$((est + ReplyTimeoutMs))
                return
                ;;
            PASS+*)
                expect=out_of_step landed=$r
                return
                ;;
            *+*)
                expect=out_of_step landed=$((r - 1))
                return
                ;;
            esac
        done
        est=$((est + LineMs))
    done
    if [ "$never_back" = app ]; then
        expect=not_responding est=$((est + PollAppLimitMs + PollSlackMs))
        return
    fi
    est=$((est + $(app_wait_ms)))
    if [ "$gone" = appwait ]; then
        expect=port_gone est=$((est + LostMs))
    fi
}

sim_arguments() {
    local f answer
    sim_args=(--mode "$mode" --reboot-ms "$reboot" --seed "$sim_seed")
    [ "$boot_reboot" -eq "$reboot" ] || sim_args+=(--boot-reboot-ms "$boot_reboot")
    [ "$app_reboot" -eq "$reboot" ] || sim_args+=(--app-reboot-ms "$app_reboot")
    [ $erase -gt 0 ] && sim_args+=(--erase-ms "$erase")
    [ $start_noise -eq 1 ] && sim_args+=(--start-noise)
    [ "$never_back" = none ] || sim_args+=(--never-back "$never_back")
    [ $never -eq 1 ] && sim_args+=(--never-answer)
    [ $vanish -gt 0 ] && sim_args+=(--vanish-after "$vanish")
    [ $foreign -eq 1 ] && sim_args+=(--product OTHER)
    [ $baud -gt 0 ] && sim_args+=(--baud "$baud")
    [ $noise -eq 1 ] && sim_args+=(--noise)
    [ $split -eq 1 ] && sim_args+=(--split)
    [ $lower -eq 1 ] && sim_args+=(--lowercase)
    [ $quoted -eq 1 ] && sim_args+=(--quoted)
    [ $duplicate -eq 1 ] && sim_args+=(--duplicate)
    [ "$gone" = none ] || sim_args+=(--vanish-in "$gone")
    for f in "${faults[@]}"; do
        answer=${f#*:}
        if [[ $answer == *+* ]]; then
            sim_args+=(--twice-on "$f")
        else
            sim_args+=("--${answer,,}-on" "${f%%:*}")
        fi
    done
}

# A short name of the faults, for the per-run line.
describe() {
    desc="$mode,r$records"
    [ "$wait" = fixed ] || desc+=",wait-$wait"
    [ $reboot -ge 1000 ] && desc+=",reboot${reboot}ms"
    [ "$boot_reboot" -eq "$reboot" ] || desc+=",boot-reboot${boot_reboot}ms"
    [ $erase -eq 0 ] || desc+=",erase${erase}ms"
    [ "$app_reboot" -eq "$reboot" ] || desc+=",app-reboot${app_reboot}ms"
    [ $start_noise -eq 0 ] || desc+=",start-noise"
    [ "$never_back" = none ] || desc+=",never-back-$never_back"
    [ $crlf -eq 1 ] && desc+=",crlf"
    for flag in never foreign baud noise split lower quoted duplicate; do
        [ "${!flag}" != 0 ] && desc+=",$flag"
    done
    [ $vanish -gt 0 ] && desc+=",vanish-after-$vanish"
    [ "$gone" = none ] || desc+=",gone-in-$gone"
    [ "$change" = none ] || desc+=",file-$change"
    [ "$signal_ms" -eq 0 ] || desc+=",sigint-at-${signal_ms}ms"
    [ ${#faults[@]} -gt 0 ] && desc+=",faults:$(
        IFS=' '
        echo "${faults[*]}"
    )"
}

write_plan() {
    local i=$1 kind=$2
    draw_plan "$kind"
    predict
    sim_arguments
    describe
    # A duplicated reply may be taken for the answer to the next record, so with duplicates only
    # the invariant is checked, not the predicted outcome; after SIGINT the outcome has its own
    # checks.
    local exact=$((1 - duplicate))
    local reboot_faults=$((erase > 0 || start_noise || boot_reboot != reboot || app_reboot != reboot))
    [ "$never_back" = none ] || reboot_faults=1
    [ "$signal_ms" -eq 0 ] || exact=0
    [ $exact -eq 1 ] || worst_case
    local bound=$(((est * 125 / 100 + 3000) * time_factor / 100))
    {
        printf 'records=%d dtype=%d crlf=%d expect=%s landed=%d exact=%d bound_ms=%d\n' \
            "$records" "$dtype" "$crlf" "$expect" "$landed" "$exact" "$bound"
        printf 'change=%s signal_ms=%d wait=%s reboot_faults=%d\n' "$change" "$signal_ms" "$wait" \
            "$reboot_faults"
        printf 'sim_args=(%s)\n' "${sim_args[*]}"
        printf 'desc=%q\n' "$desc"
    } >"$work/plans/$i"
}

# ---------------------------------------------------------------------------------------------
# One run.

readonly Advice='******* UPLOAD FAILED.'
readonly DoneText='Update Done!'
readonly SanitizerReport='ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:|WARNING: ThreadSanitizer'

outcome_of() { # the failure's own message, as a kind
    local c=$1
    case $c in
    *"Update aborted"*) echo aborted ;;
    *"is gone (unplugged?)"*) echo port_gone ;;
    *"Too many re-transmission"*) echo too_many ;;
    *"Record was not accepted"*) echo refused ;;
    *"Could not establish communication"*) echo no_comms ;;
    *"Device not responding"*) echo not_responding ;;
    *"Unkown ARM application"*) echo unknown_app ;;
    *"Communication Error"*) echo comm_error ;;
    *"Record replies out of step"*) echo out_of_step ;;
    *"Reply Timeout"*) echo timeout ;;
    *) echo other ;;
    esac
}

# cpu: user and system time of this shell's waited-for children so far, in ms.
children_cpu_ms() {
    local line file=$work/times.$BASHPID
    times >"$file" # in this shell: a command substitution would count its own children
    line=$(tail -n 1 "$file")
    rm -f "$file"
    cpu=$(awk '{ t = 0; for (i = 1; i <= 2; i++) { split($i, p, "m"); t += p[1] * 60 + p[2] }
                 printf "%d", t * 1000 }' <<<"${line//s/}")
}

# Once the transfer runs (or the tool has ended), rewrites, empties or deletes the file.
change_file() {
    local progress=""
    for _ in $(seq $((guard * 50))); do
        progress=$(tr '\r' '\n' <"$dir/console" | grep -o 'Download -> *[0-9]*' | tail -n 1 |
            tr -dc '0-9')
        [ -n "$progress" ] && break
        kill -0 "$tool_pid" 2>/dev/null || break
        sleep 0.02
    done
    case $change in
    rewritten) "$sample" --records "$records" --type "$dtype" --seed $((i + 1000000)) >"$image" ;;
    truncated) : >"$image" ;;
    deleted) rm -f "$image" ;;
    esac
    note="file $change at record ${progress:-none}"
}

# Sends SIGINT (timeout passes it on to the tool) signal_ms after the start.
interrupt_tool() {
    sleep "$((signal_ms / 1000)).$(printf '%03d' $((signal_ms % 1000)))"
    kill -INT "$tool_pid" 2>/dev/null && signalled_ns=$("$probe" now)
    note="SIGINT at ${signal_ms} ms"
}

# After status 130 the product holds the file's first records up to where the tool stopped.
check_aborted() {
    local kept lines=$((records + 2))
    kept=$(wc -l <"$dir/received")
    [ "$signalled_ns" -gt 0 ] || problems+=("status 130 without a signal")
    if [[ "$console" =~ Update\ aborted\ at\ record\ ([0-9]+)\ of\ ([0-9]+)\. ]]; then
        local at=${BASH_REMATCH[1]}
        [ "${BASH_REMATCH[2]}" -eq $lines ] || problems+=("abort text counts ${BASH_REMATCH[2]} records")
        [ "$kept" -ge $((at - 1)) ] && [ "$kept" -le "$at" ] ||
            problems+=("aborted at record $at, the product holds $kept")
    elif [[ "$console" == *"Update aborted while waiting for the product."* ]]; then
        [ "$kept" -eq 0 ] || [ "$kept" -eq $lines ] ||
            problems+=("aborted outside the transfer, the product holds $kept of $lines")
    else
        problems+=("status 130 without the abort text")
    fi
    cmp -s "$dir/received" <(head -n "$kept" "$dir/records") ||
        problems+=("image is not the file's first $kept records")
}

run_one() {
    local i=$1
    local dir=$work/run-$i
    local records dtype crlf expect landed exact bound_ms sim_args desc change signal_ms wait
    local reboot_faults
    # shellcheck source=/dev/null
    source "$work/plans/$i"
    rm -rf "$dir" && mkdir -p "$dir"
    local problems=()
    local sample_args=(--records "$records" --type "$dtype" --seed "$i")
    [ "$crlf" -eq 1 ] && sample_args+=(--crlf)
    local image=$dir/image.srec
    "$sample" "${sample_args[@]}" >"$image"
    tr -d '\r' <"$image" | awk 'length($0) >= 9' >"$dir/records"

    "$sim" --image "$dir/received" "${sim_args[@]}" >"$dir/sim.out" 2>"$dir/sim.err" &
    local sim_pid=$! port
    port=$(sim_port "$dir/sim.out" 10)

    local guard=$((bound_ms * 2 / 1000 + 10)) status start elapsed cpu cpu_before
    children_cpu_ms && cpu_before=$cpu
    # The poll by option, or (wait=env) as a station sets it once.
    local wait_option=() wait_variable=
    [ "$wait" = poll ] && wait_option=(--wait poll)
    [ "$wait" = env ] && wait_variable=poll
    start=$(date +%s%N)
    UARTFLASH_WAIT=$wait_variable timeout -k 5 "$guard" "$tool" "${wait_option[@]}" "$port" 115200 \
        KORVA ARM "$image" </dev/null >"$dir/console" 2>"$dir/stderr" &
    local tool_pid=$!
    echo "$sim_pid $tool_pid" >"$work/pids/$i"
    local note="" signalled_ns=0 ended_ns closed_ns script_cpu=0
    if [ "$change" != none ]; then
        change_file
        # Its polling of the console is this script's work, not the tool's: its children are
        # reaped by now, and the tool is not yet.
        children_cpu_ms && script_cpu=$((cpu - cpu_before))
    fi
    [ "$signal_ms" -eq 0 ] || interrupt_tool
    wait "$tool_pid"
    status=$?
    ended_ns=$("$probe" now)
    elapsed=$((($(date +%s%N) - start) / 1000000))
    children_cpu_ms && cpu=$((cpu - cpu_before - script_cpu))

    # A product that vanished gives the time of the close; otherwise its line must be free now.
    closed_ns=$(sed -n 's/^uartflash-sim: line closed at monotonic ns \([0-9]*\)$/\1/p' "$dir/sim.err")
    if [ -n "$closed_ns" ]; then
        local lost_ms=$(((ended_ns - closed_ns) / 1000000))
        [ $lost_ms -le $((LostMs * time_factor / 100)) ] ||
            problems+=("ended $lost_ms ms after the line closed, bound $LostMs ms")
    elif ! "$probe" free "$port" >"$dir/port-check"; then
        problems+=("after the tool's end: $(cat "$dir/port-check")")
    fi

    kill -TERM "$sim_pid" 2>/dev/null
    wait "$sim_pid"
    local sim_status=$?
    rm -f "$work/pids/$i"

    local console kind
    console=$(cat "$dir/console")
    if [ "$status" -eq 0 ]; then
        kind="done"
        [[ "$console" == *"$DoneText"* ]] || problems+=("status 0 without \"$DoneText\"")
        [[ "$console" != *"$Advice"* ]] || problems+=("status 0 with the failure advice")
        cmp -s "$dir/received" "$dir/records" || problems+=("success, but the image differs")
        local late_ms=$(((ended_ns - signalled_ns) / 1000000))
        [ "$signalled_ns" -eq 0 ] || [ $late_ms -le $((LateDoneMs * time_factor / 100)) ] ||
            problems+=("status 0 $late_ms ms after SIGINT: the signal was not honoured")
    else
        kind=$(outcome_of "$console")
        [[ "$console" == *"$Advice"* ]] || problems+=("status $status without the failure advice")
        [[ "$console" != *"$DoneText"* ]] || problems+=("status $status after \"$DoneText\"")
    fi
    [ "$status" -eq 124 ] || [ "$status" -eq 137 ] && problems+=("hang: no end within $guard s")
    if [ "$status" -eq 130 ]; then
        check_aborted
    elif [ "$kind" = aborted ]; then
        problems+=("abort text with status $status")
    elif [ "$signalled_ns" -gt 0 ] && [ "$status" -ne 0 ]; then
        problems+=("status $status after SIGINT, expected 130 or 0")
    elif [ "$status" -ge 128 ] && [ "$status" -ne 137 ]; then
        problems+=("crash: status $status")
    fi
    [ "$status" -eq 2 ] && problems+=("the session did not start")
    grep -Eq "$SanitizerReport" "$dir/stderr" && problems+=("sanitizer report")
    [ "$elapsed" -gt "$bound_ms" ] && problems+=("took $elapsed ms, bound $bound_ms ms")
    # A thread that spins shows as CPU time near the run's length.
    [ "$elapsed" -gt 2000 ] && [ "$cpu" -gt $((elapsed / 2)) ] &&
        problems+=("busy: $cpu ms of CPU in $elapsed ms")
    [ "$sim_status" -eq 0 ] || problems+=("simulator ended with status $sim_status")
    if [ "$exact" -eq 1 ]; then
        [ "$kind" = "$expect" ] || problems+=("ended as $kind, expected $expect")
        if [ "$status" -ne 0 ] && ! cmp -s "$dir/received" <(head -n "$landed" "$dir/records"); then
            problems+=("image is not the file's first $landed records")
        fi
    fi

    local verdict=ok
    [ ${#problems[@]} -eq 0 ] || verdict=VIOLATION
    printf '%s %s %d %d %d %d %s %d\n' "$verdict" "$kind" "$status" "$elapsed" "$bound_ms" "$cpu" \
        "$wait" "$reboot_faults" >"$work/results/$i"
    printf 'run %4d  %-9s %-14s %6d ms (bound %6d, cpu %5d)  %s%s\n' "$i" "$verdict" "$kind" \
        "$elapsed" "$bound_ms" "$cpu" "$desc" "${note:+ ($note)}"
    if [ "$verdict" != ok ]; then
        printf '    %s\n' "${problems[@]}"
        printf '    reproduce: %s --seed %s --runs %s --only %d\n' "$0" "$seed" "$runs" "$i"
        printf '    sim: %s\n' "${sim_args[*]}"
        printf '    console tail:\n'
        tail -c 600 "$dir/console" | tr '\r' '~' | sed 's/^/      /'
        head -n 20 "$dir/stderr" | sed 's/^/    stderr: /'
    elif [ $keep -eq 0 ]; then
        rm -rf "$dir"
    fi
}

# ---------------------------------------------------------------------------------------------

echo "soak: $runs runs, seed $seed, $jobs at a time, work folder $work"
for ((i = 1; i <= runs; i++)); do
    kind=random
    [ $i -le ${#Guaranteed[@]} ] && kind=${Guaranteed[i - 1]}
    write_plan "$i" "$kind"
done

campaign_start=$(date +%s)
if [ -n "$only" ]; then
    run_one "$only"
else
    for ((i = 1; i <= runs; i++)); do
        while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
            wait -n
        done
        run_one "$i" &
    done
    wait
fi

# The table.
declare -A kinds=()
total=0 violations=0 successes=0 slowest=0 polled=0 poll_faults=0
for f in "$work"/results/*; do
    read -r verdict kind status elapsed bound cpu wait reboot_faults <"$f"
    total=$((total + 1))
    if [ "$wait" != fixed ]; then
        polled=$((polled + 1))
        [ "$reboot_faults" -eq 0 ] || poll_faults=$((poll_faults + 1))
    fi
    [ "$verdict" = ok ] || violations=$((violations + 1))
    if [ "$kind" = "done" ]; then
        successes=$((successes + 1))
    else
        kinds[$kind]=$((${kinds[$kind]:-0} + 1))
    fi
    share=$((elapsed * 100 / bound))
    [ $share -gt $slowest ] && slowest=$share
done
declare -A labels=([too_many]="Too many re-transmission requests" [refused]="Record was not accepted"
    [comm_error]="Communication Error" [no_comms]="Could not establish communication"
    [not_responding]="Device not responding" [unknown_app]="Unkown ARM application"
    [out_of_step]="Record replies out of step" [port_gone]="Port gone (unplugged?)"
    [aborted]="Update aborted (SIGINT)" [timeout]="Reply Timeout (other)" [other]="other failure")
echo
echo "================ soak campaign ================"
printf '%-44s %6d\n' "runs" "$total"
printf '%-44s %6d\n' "successes (Update Done!, image landed)" "$successes"
for k in too_many refused comm_error no_comms not_responding unknown_app out_of_step port_gone \
    aborted timeout other; do
    [ -n "${kinds[$k]:-}" ] && printf '%-44s %6d\n' "failure: ${labels[$k]}" "${kinds[$k]}"
done
printf '%-44s %6d\n' "runs with --wait poll or UARTFLASH_WAIT=poll" "$polled"
printf '%-44s %6d\n' "  of them with the new reboot faults" "$poll_faults"
printf '%-44s %6d\n' "invariant violations" "$violations"
printf '%-44s %5d%%\n' "longest run, share of its time bound" "$slowest"
printf '%-44s %6d\n' "wall time (s)" "$(($(date +%s) - campaign_start))"
printf '%-44s %6s\n' "seed" "$seed"
[ "$violations" -eq 0 ]
