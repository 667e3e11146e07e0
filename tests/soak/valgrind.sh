#!/usr/bin/env bash
# One whole update of the real tool under valgrind's memcheck against the simulated product in its
# boot loader: it must succeed with no memory error and no definite or indirect leak.
# usage: valgrind.sh UARTFLASH UARTFLASH_SIM UARTFLASH_SAMPLE WORK_DIR
set -uo pipefail
source "$(dirname "$0")/../../scripts/lib/sim_port.sh"

tool=$1 sim=$2 sample=$3 work=$4/valgrind
rm -rf "$work" && mkdir -p "$work"
command -v valgrind >/dev/null || { echo "FAIL: valgrind is not installed" && exit 1; }
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

"$sample" --records 20 >"$work/image.srec"
"$sim" --mode boot --image "$work/received" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
port=$(sim_port "$work/sim.out") || { echo "FAIL: the simulator named no port" && exit 1; }

timeout -k 5 180 valgrind --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --log-file="$work/valgrind.log" \
    "$tool" "$port" 115200 KORVA ARM "$work/image.srec" </dev/null >"$work/console" 2>&1
status=$?
kill -TERM "$sim_pid" 2>/dev/null
wait "$sim_pid"

[ $status -eq 99 ] && fail "memcheck found errors or leaks"
[ $status -eq 0 ] || [ $status -eq 99 ] || fail "exit status $status"
grep -q "Update Done!" "$work/console" || fail "no \"Update Done!\""
cmp -s "$work/received" <(awk 'length($0) >= 9' "$work/image.srec") ||
    fail "the simulator's image differs from the file's records"
# Thread stacks of threads that were never joined show as "possibly lost": not an error for
# memcheck's exit status, but a sign of a thread left behind, so it fails here too.
grep -q "possibly lost: [1-9]" "$work/valgrind.log" && fail "memory possibly lost"

sed -n '/HEAP SUMMARY/,$p' "$work/valgrind.log" | sed 's/^==[0-9]*== //'
if [ $failures -ne 0 ]; then
    echo "--- valgrind log:"
    cat "$work/valgrind.log"
    exit 1
fi
echo "PASS: one whole update under memcheck, no error, no leak"
