#!/usr/bin/env bash
# ZerquillStation.exe under wine against device simulators of the Linux
# build, each on a pty that wine maps to a COM port of the system's list
# (COM7, COM8, ...), at the line's own pace.
#
#   wine_station.sh BUILD_DIR DEVSIM STATION_EXE DRIVER_EXE RUNS
#       RUNS times: the station started (by Enter, Space, then the mouse),
#       both devices flashed at once, the record holding both downloads. The
#       simulators must receive every image exactly: one loss fails the test.
#   wine_station.sh --shots DIR BUILD_DIR DEVSIM STATION_EXE DRIVER_EXE
#       pictures of the window into DIR: idle, three downloads in flight,
#       the question on closing then, after one failure, and a slow
#       adapter's tile with its latency fix, before and after it ran.
# Exit status 77 (skipped) when the simulator has not been built.
set -euo pipefail

shots=
if [ "${1:-}" = --shots ]; then
    shots=$(mkdir -p "$2" && cd "$2" && pwd)
    shift 2
fi
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_helpers.sh" "$@"
station=$3
driver=$4
runs=${5:-3}
wine_scene station-e2e
mkdir -p "$work/app"
cp "$station" "$work/app/ZerquillStation.exe"

fail() {
    echo "FAIL: $*"
    for f in "$work"/sim*.err; do
        [ -f "$f" ] && { echo "--- $f"; tail -n 30 "$f"; }
    done
    exit 1
}

# Starts a simulator with the options given; its line becomes COM port $1.
# Simulator n is sims[n], on ports[n].
sims=()
ports=()
start_sim() {
    local port=$1 n=${#sims[@]} pty
    shift
    "$devsim" --pace --read-lag "${ZQ_READ_LAG_MS:-3}" "$@" >"$work/sim$n.out" 2>"$work/sim$n.err" &
    sims+=($!)
    pids+=($!)
    pty=$(sim_path "$work/sim$n.out") || fail "simulator $n printed no line path"
    wine_map "$port" "$pty"
    ports+=("$port")
    echo "$port: simulator on $pty"
}

# The server restarted, and every port mapped listed by it.
restart_wine() {
    wine_reload
    local listed
    listed=$(wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null | tr -d '\r')
    for port in "${ports[@]}"; do
        grep -q "$port\$" <<<"$listed" || fail "wine does not list $port"
    done
}

driver_run() {
    local filter=$1 status=0
    shift
    env ZQ_STATION_EXE="$(winepath -w "$work/app/ZerquillStation.exe")" "$@" \
        wine "$driver" --gtest_filter="$filter" --gtest_also_run_disabled_tests </dev/null \
        >"$work/driver.log" 2>&1 || status=$?
    tr -d '\r' <"$work/driver.log" | tee -a "$work/drivers.log"
    return "$status"
}

if [ -n "$shots" ]; then
    # Long enough (1200 blocks, 14 s at the line's pace) to be pictured in flight.
    wine_image "$work/app/DB.bin" 1200
    for port in COM7 COM8 COM9; do start_sim "$port" --sessions 0; done
    restart_wine
    driver_run 'StationWindowShots.*InFlightThenClosed' ZQ_STATION_PORTS=COM7,COM8,COM9 \
        ZQ_STATION_SHOTS="$(winepath -w "$shots")" || fail "the pictures in flight"
    # The third device now refuses block 3 five times in a row, and then
    # beacons again within the time that would tell the station it had gone.
    kill "${sims[2]}" 2>/dev/null || true
    wait "${sims[2]}" 2>/dev/null || true
    start_sim COM9 --sessions 0 --refuse 3:5 --silence-ms 1000
    restart_wine
    wine_image "$work/app/DB.bin" 200
    driver_run 'StationWindowShots.*OneFailure' ZQ_STATION_PORTS=COM7,COM8,COM9 \
        ZQ_STATION_SHOTS="$(winepath -w "$shots")" || fail "the picture after a failure"
    # A line that holds every reply 16 ms: the tile's hint and latency fix,
    # run with zerquill-flash.exe beside the station where it was built.
    # The new line first: a pty freed before it would come back under a
    # port that is still mapped.
    old=("${sims[@]}")
    ZQ_READ_LAG_MS=16 start_sim COM7 --sessions 0
    for pid in "${old[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    restart_wine
    wine_image "$work/app/DB.bin" 100
    [ -f "$build/cli/zerquill-flash.exe" ] && cp "$build/cli/zerquill-flash.exe" "$work/app/"
    driver_run 'StationWindowShots.*SlowAdapter' ZQ_STATION_PORTS=COM7 \
        ZQ_STATION_SHOTS="$(winepath -w "$shots")" || fail "the pictures of a slow adapter"
    for bmp in "$shots"/win32-station-*.bmp; do
        convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
        echo "picture ${bmp%.bmp}.png"
    done
    exit 0
fi

# Run i writes image i into both devices; the block counts' low bytes are no
# protocol byte, and differ from run to run.
counts=(40 97 64 250 8)
expects=()
for i in $(seq 0 $((runs - 1))); do
    n=${counts[$((i % ${#counts[@]}))]}
    wine_image "$work/DB$i.bin" "$n"
    expects+=(--expect "$work/DB$i.bin")
done
# Endless sessions: a simulator that ended after its last one would close
# its line under the final ACK before the tool had read it.
start_sim COM7 --trace "${expects[@]}" --sessions 0
start_sim COM8 --trace "${expects[@]}" --sessions 0
restart_wine

presses=(enter space click)
losses=0
for i in $(seq 0 $((runs - 1))); do
    cp "$work/DB$i.bin" "$work/app/DB.bin"
    press=${presses[$((i < 2 ? i : 2))]}
    if driver_run 'StationWindow.*' ZQ_STATION_PORTS=COM7,COM8 ZQ_STATION_PRESS="$press" >"$work/run$i.log"; then
        echo "run $i (Start by $press): both tiles Success Download!, two records"
    else
        cat "$work/run$i.log"
        fail "run $i (Start by $press)"
    fi
    # Each simulator judges its session i: complete, and the image's data.
    for n in 0 1; do
        verdict=
        for _ in $(seq 50); do
            verdict=$(awk -v k="session $((i + 1)): " 'index($0, k) == 1 {on = 1} on && /^data (do not )?match/ {print; exit}' \
                "$work/sim$n.err")
            [ -n "$verdict" ] && break
            sleep 0.1
        done
        if [ "$verdict" != "data matches image" ]; then
            losses=$((losses + 1))
            echo "LOSS on ${ports[$n]} in run $i: ${verdict:-no complete session}"
        fi
    done
done
for n in 0 1; do
    status=0
    kill -INT "${sims[$n]}"
    wait "${sims[$n]}" || status=$?
    [ "$status" -eq 0 ] || fail "simulator on ${ports[$n]} reports status $status"
done
pids=() # both waited for: nothing left for the cleanup
[ "$losses" -eq 0 ] || fail "$losses of $((2 * runs)) downloads lost"
echo "PASS: $runs runs of the station, $((2 * runs)) downloads delivered their images exactly"
