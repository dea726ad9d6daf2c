#!/usr/bin/env bash
# Paced downloads in a row against one simulator, optionally with busy loops
# taking both cores, counting failures and keeping both sides' transcripts of
# each: a measurement of how often a download is lost, not a test.
#   bench/stress.sh BUILD_DIR RUNS [BUSY_LOOPS]   (ZQ_DEVSIM: another build's simulator)
set -euo pipefail
# The simulator's line path, read as the tests read it.
. "$(dirname "$0")/../tests/helpers.sh"
build=$(cd "$1" && pwd)
runs=$2
busy=${3:-0}
work=$(mktemp -d /tmp/zq-stress-XXXXXX)
sim_pid=
loops=()
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    for p in "${loops[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

"$build/cli/zq-mkimage" "$work/DB.bin" --blocks 12 --seed 11 >/dev/null
"${ZQ_DEVSIM:-$build/devsim/zerquill-devsim}" --pace --trace --expect "$work/DB.bin" --sessions 0 \
    >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
pty=$(sim_path "$work/sim.out") || { echo "stress: the simulator printed no line path: $(cat "$work/sim.err")"; exit 1; }
for _ in $(seq "$busy"); do
    bash -c 'while :; do :; done' &
    loops+=($!)
done

failures=0
start=$(date +%s)
for i in $(seq "$runs"); do
    if ! "$build/cli/zerquill-flash" --trace --quiet --ports "$pty" --image "$work/DB.bin" \
        >"$work/run.log" 2>&1; then
        failures=$((failures + 1))
        cp "$work/run.log" "$work/failed-$i.log"
        echo "run $i failed: $(grep -v '^ *[0-9]' "$work/run.log" | tr '\n' ' ' | head -c 200)"
        # The simulator waits out 3 s of silence before its next session.
        sleep 3.2
    fi
done
elapsed=$(($(date +%s) - start))
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=
speed=$(grep -c 'speed errors' "$work/sim.err" || true)
echo "$failures of $runs downloads failed ($busy busy loops, ${elapsed} s); simulator sessions with speed errors: $speed"
echo "transcripts: $work (failed-N.log: the tool's side; sim.err: the device's)"
