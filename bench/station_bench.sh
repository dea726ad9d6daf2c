#!/usr/bin/env bash
# The station's figures (./run bench station):
#   a. discovery behind 0, 15 and 63 silent ports listed before the device:
#      every port is listened to at once, so the time should not grow with
#      their number (target under 0.8 s at 63);
#   b. N = 1, 4 and 8 paced simulators flashed by one --all run: the payload
#      rates of the N downloads added up, over N times the rate of the one
#      download at N = 1 (target at least 0.95 at N = 8), and the tool's CPU
#      time as a share of the run's wall time;
#   c. slow adapters: the paced line through zq-relay holding every byte back
#      0, 1, 4 and 16 ms (an FTDI chip's latency timer, whose default is 16),
#      to a device beaconing every 10 ms: the payload rate, and the hint the
#      tool prints for it.
#   bench/station_bench.sh BUILD_DIR
# Nothing here passes or fails on speed; it exits non-zero only when a
# download itself failed.
set -euo pipefail

build=${1:?usage: bench/station_bench.sh BUILD_DIR}
build=$(cd "$build" && pwd)
bench_name=zq-station-bench
. "$(dirname "$0")/common.sh"

# ---- a. discovery ------------------------------------------------------------
say "a. discovery behind 0, 15 and 63 silent ports"
for n in 0 15 63; do discovery_behind "$n"; done

# ---- b. N devices at once ----------------------------------------------------
blocks=1024
"$mkimage" "$work/DB.bin" --blocks $blocks --seed 5 >/dev/null
say "b. --all with 1, 4 and 8 paced simulators, $blocks blocks each"
declare -A sum_rate cpu_pct wall_s
for n in 1 4 8; do
    sims=()
    paths=()
    for i in $(seq "$n"); do
        start "$work/sim$n-$i" 1 "$devsim" --pace --expect "$work/DB.bin" --silence-ms 2000
        sims+=("$bg_pid")
        paths+=("$(head -1 "$work/sim$n-$i")")
    done
    "$timeit" "$work/all$n.time" "$flash" --all --json --image "$work/DB.bin" \
        --ports "$(IFS=,; echo "${paths[*]}")" >"$work/all$n.json" 2>"$work/all$n.err" ||
        fail "--all with $n devices failed: $(tail -3 "$work/all$n.json")"
    for pid in "${sims[@]}"; do wait "$pid" || fail "a simulator of the $n did not get the image"; done
    results=$(grep -c '"event":"result"' "$work/all$n.json" || true)
    [ "$results" = "$n" ] || fail "--all with $n devices gave $results results"
    sum_rate[$n]=$(python3 -c '
import json, sys
print("%.0f" % sum(e["bytes_per_s"] for e in map(json.loads, open(sys.argv[1])) if e.get("event") == "result"))
' "$work/all$n.json")
    read -r wall user sys <"$work/all$n.time"
    wall_s[$n]=$(calc "%.2f" "$wall")
    cpu_pct[$n]=$(calc "%.2f" "100 * ($user + $sys) / $wall")
done
ratio4=$(calc "%.3f" "${sum_rate[4]} / (4 * ${sum_rate[1]})")
ratio8=$(calc "%.3f" "${sum_rate[8]} / (8 * ${sum_rate[1]})")

# ---- c. slow adapters -------------------------------------------------------
say "c. the paced line held back 0, 1, 4 and 16 ms, as by an adapter's latency timer"
"$mkimage" "$work/slow.bin" --blocks 64 --seed 6 >/dev/null
declare -A slow_rate slow_hint
for us in 0 1000 4000 16000; do
    # A device that beacons every 10 ms: some of its beacons are still held
    # back when the reply reaches it, and arrive ahead of the SYN echo.
    start "$work/slow$us.dev" 1 "$devsim" --expect "$work/slow.bin" --silence-ms 2000 --no-speed-check --beacon-ms 10
    slow_dev=$bg_pid
    start "$work/slow$us.relay" 1 "$relay" --follow --latency-us "$us" --connect "$(head -1 "$work/slow$us.dev")"
    slow_relay=$bg_pid
    "$flash" --ports "$(head -1 "$work/slow$us.relay")" --image "$work/slow.bin" >"$work/slow$us.out" 2>&1 ||
        fail "the download behind $us us failed: $(tail -3 "$work/slow$us.out")"
    wait "$slow_dev" || fail "the simulator behind $us us did not get the image"
    stop "$slow_relay"
    slow_rate[$us]=$(block_rate "$work/slow$us.out")
    slow_hint[$us]=$(grep '^hint:' "$work/slow$us.out" | cut -c1-60 || true)
done

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
cat <<EOF

Zerquill Updater station benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC')
machine: $cpu, $(nproc) cores, Linux $(uname -r), load average at the end $(cut -d' ' -f1-3 /proc/loadavg)

| # | figure | measured | target |
|---|--------|----------|--------|
| a | discovery behind 0 / 15 / 63 silent ports | ${found_s[0]} s / ${found_s[15]} s / ${found_s[63]} s | under 0.8 s at 63 |
| b | --all, N paced lines of $blocks blocks: payload rates added up / N x the rate at N = 1 | N=1 ${sum_rate[1]} B/s; N=4 ${sum_rate[4]} B/s = ${ratio4}; N=8 ${sum_rate[8]} B/s = ${ratio8} | at least 0.95 at N = 8 |
| b' | the tool's CPU time / wall time of the run (wall) | N=1 ${cpu_pct[1]} % (${wall_s[1]} s); N=4 ${cpu_pct[4]} % (${wall_s[4]} s); N=8 ${cpu_pct[8]} % (${wall_s[8]} s) | |
| c | paced line held back 0 / 1 / 4 / 16 ms, device beaconing every 10 ms: payload rate | ${slow_rate[0]} / ${slow_rate[1000]} / ${slow_rate[4000]} / ${slow_rate[16000]} B/s | |
| c' | the hint after each | 0: "${slow_hint[0]:-none}"; 1: "${slow_hint[1000]:-none}"; 4: "${slow_hint[4000]:-none}"; 16: "${slow_hint[16000]:-none}..." | a hint at 4 and 16 |
EOF
