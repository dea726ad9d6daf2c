#!/usr/bin/env bash
# Downloads through a line that holds every byte back, as a USB adapter's
# latency timer does, to a device that beacons fast: the beacons it sends
# before it hears the reply arrive after the port was reopened for the
# download, ahead of the SYN echo. Every download must deliver its image.
#
#   slow_adapter.sh BUILD_DIR [RUNS] [LATENCY_US] [BEACON_MS] [MODES]
#
# MODES: any of "single", "watch" and "all" (default "single watch"):
#   single  RUNS single downloads in a row, one simulator of RUNS sessions;
#   watch   zerquill-flash --watch --count RUNS on that one port, the device
#           resting silent between sessions as it would when replugged;
#   all     RUNS times zerquill-flash --all over three such lines.
# Prints one line per mode, "MODE: F of N failed" and the causes, and exits
# 1 when any download failed. ZQ_FLASH overrides the zerquill-flash to run.
set -euo pipefail

build=$(cd "$1" && pwd)
runs=${2:-10}
latency=${3:-16000}
beacon=${4:-10}
modes=${5:-single watch}
flash=${ZQ_FLASH:-$build/cli/zerquill-flash}
mkimage=$build/cli/zq-mkimage
devsim=$build/devsim/zerquill-devsim
relay=$build/bench/zq-relay
for exe in "$flash" "$mkimage" "$devsim" "$relay"; do
    [ -x "$exe" ] || { echo "slow_adapter: $exe not built"; exit 77; }
done

. "$(dirname "$0")/../helpers.sh"
scratch slow

# A simulator of $2 sessions (extra options after) behind a relay; sets $port.
port=
device() {
    local name=$1 sessions=$2
    shift 2
    # The relay copies the tool's speed onto the simulator's line only when
    # bytes pass, so the simulator cannot tell the speed of the held-back ones.
    start "$work/$name.dev" "$devsim" --sessions "$sessions" --beacon-ms "$beacon" --expect "$image" \
        --silence-ms 2000 --no-speed-check "$@"
    start "$work/$name.relay" "$relay" --follow --latency-us "$latency" --connect "$line"
    port=$line
}

image=$work/DB.bin
"$mkimage" "$image" --blocks 16 --seed 20 >/dev/null

failed_any=0
report() {
    local mode=$1 failed=$2 total=$3 causes=$4
    echo "$mode: $failed of $total failed${causes:+ ($causes)}"
    [ "$failed" -eq 0 ] || failed_any=1
}
causes_in() { grep -h -A1 '^Fail Download!\|: Fail Download!' "$@" 2>/dev/null | grep -v 'Fail Download!\|^--$' |
    sed 's/^[^ ]*:  *//; s/^ *//' | sort | uniq -c | sed 's/^ *//' | paste -sd';' || true; }

for mode in $modes; do
    case $mode in
    single)
        device single "$runs"
        failed=0
        for i in $(seq "$runs"); do
            if ! "$flash" --ports "$port" --image "$image" >"$work/single$i.out" 2>"$work/single$i.err"; then
                failed=$((failed + 1))
                sleep 2.5 # the simulator ends the spoilt session after 2 s of silence
            fi
        done
        report single "$failed" "$runs" "$(causes_in "$work"/single*.err)"
        ;;
    watch)
        # Past the station's gone-time between sessions, so each is an arrival.
        device watch "$runs" --rest-ms 2600
        status=0
        timeout $((runs * 8 + 20)) "$flash" --watch --count "$runs" --ports "$port" --image "$image" \
            --log "$work/watch.jsonl" >"$work/watch.out" 2>"$work/watch.err" || status=$?
        ok=$(grep -c '"result":"success"' "$work/watch.jsonl" 2>/dev/null || true)
        causes=$(causes_in "$work/watch.err")
        [ "$status" -eq 0 ] || causes="${causes:+$causes; }exit status $status"
        report watch "$((runs - ${ok:-0}))" "$runs" "$causes"
        ;;
    all)
        ports=
        for d in a b c; do
            device "all$d" "$runs"
            ports=${ports:+$ports,}$port
        done
        failed=0
        total=0
        for i in $(seq "$runs"); do
            "$flash" --all --ports "$ports" --image "$image" --log "$work/all.jsonl" \
                >"$work/all$i.out" 2>"$work/all$i.err" || sleep 2.5
        done
        total=$((runs * 3))
        ok=$(grep -c '"result":"success"' "$work/all.jsonl" 2>/dev/null || true)
        report all "$((total - ${ok:-0}))" "$total" "$(causes_in "$work"/all*.err)"
        ;;
    esac
done

# Every simulator must have received each image whole.
for log in "$work"/*.dev.log; do
    if grep -q 'data do not match' "$log"; then
        echo "slow_adapter: $(basename "$log" .dev.log): the simulator got something else: $(grep -m1 'data do not match' "$log")"
        failed_any=1
    fi
done
exit $failed_any
