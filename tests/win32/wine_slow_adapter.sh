#!/usr/bin/env bash
# zerquill-flash.exe under wine through a line that holds every byte back
# 16 ms, as an FTDI adapter's default latency timer does, to a simulator
# that beacons every 10 ms: the beacons it sends before it hears the reply
# come after the port was reopened, ahead of the SYN echo. COM8 is mapped
# onto the relay, and the tool finds it in the registry's list. RUNS single
# downloads, then --watch --count RUNS: every one must deliver its image,
# and the hint after a download must end with the command for COM8.
#
#   wine_slow_adapter.sh BUILD_DIR DEVSIM RELAY FLASH_EXE RUNS
# Exit status 77 (skipped) when the Linux helpers have not been built.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_helpers.sh" "$@"
relay=$3
wine_needs "$relay"
flash=$4
runs=${5:-10}
wine_scene slow-adapter COM8
fail() {
    echo "FAIL: $*"
    for f in "$work"/*.err "$work"/sim.log; do [ -f "$f" ] && { echo "--- $f"; tail -n 30 "$f"; }; done
    exit 1
}


wine_image "$work/DB.bin" 24 5 20261208
image=$(winepath -w "$work/DB.bin")

# Between sessions the device rests past the station's gone-time, as one
# unplugged and plugged again; the single downloads wait for its beacon. The relay copies the
# tool's speed onto the simulator's line only as bytes pass, so held-back
# bytes' speed cannot be told.
start "$work/sim" "$devsim" --sessions $((2 * runs)) --beacon-ms 10 --expect "$work/DB.bin" --silence-ms 2000 \
    --no-speed-check --rest-ms 2600
start "$work/relay" "$relay" --follow --latency-us 16000 --connect "$line"
wine_map COM8 "$line"
wine_reload

wine "$flash" --list-ports </dev/null 2>&1 | tr -d '\r' | tee "$work/list.txt"
grep -q '^PORT .* LATENCY ' "$work/list.txt" || fail "--list-ports has no LATENCY column"
grep -q '^COM8 ' "$work/list.txt" || fail "wine does not list COM8"

lost=0
for i in $(seq "$runs"); do
    if wine "$flash" --wait 10 --image "$image" </dev/null >"$work/single$i.out" 2>"$work/single$i.err"; then
        echo "single run $i: written"
    else
        lost=$((lost + 1))
        echo "LOSS in single run $i: $(tr -d '\r' <"$work/single$i.err" | tail -2 | paste -sd' ')"
        sleep 2.5 # the simulator ends the spoilt session after 2 s of silence
    fi
done

status=0
timeout $((runs * 10 + 30)) wine "$flash" --watch --count "$runs" --ports COM8 --image "$image" --log "$work/watch.jsonl" \
    </dev/null >"$work/watch.out" 2>"$work/watch.err" || status=$?
written=$(grep -c '"result":"success"' "$work/watch.jsonl" 2>/dev/null || true)
echo "--watch: ${written:-0} of $runs written, exit status $status"
[ "${written:-0}" -eq "$runs" ] && [ "$status" -eq 0 ] || { lost=$((lost + runs - ${written:-0})); tr -d '\r' <"$work/watch.err" | tail -5; }

matched=$(grep -c '^data matches image$' "$work/sim.log" || true)
echo "simulator: $matched sessions matched the image"
[ "$lost" -eq 0 ] || fail "$lost of $((2 * runs)) downloads lost behind the 16 ms line"
[ "$matched" -eq $((2 * runs)) ] || fail "the simulator got $matched whole images, not $((2 * runs))"
# After the fact, the hint ends with the command that sets COM8's timer.
hint=$(tr -d '\r' <"$work/single1.err" | grep '^hint: the data went at' || true)
echo "$hint"
case $hint in
*"Latency Timer to 1 ms, or for an FTDI adapter from an administrator prompt: zerquill-flash --set-latency COM8 1") ;;
*) fail "the slow-line hint does not end with the command for COM8: ${hint:-no hint}" ;;
esac
echo "PASS: $runs single downloads and $runs --watch arrivals behind a 16 ms line, none lost"
