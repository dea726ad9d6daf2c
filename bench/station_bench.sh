#!/usr/bin/env bash
# The station's figures (./run bench station):
#   a. discovery behind 0, 15 and 63 silent ports listed before the device:
#      every port is listened to at once, so the time should not grow with
#      their number (target under 0.8 s at 63);
#   b. N = 1, 4, 8, 16 and 32 paced simulators flashed by one --all run: the
#      payload rates of the N downloads added up, over N times the rate of
#      the one download at N = 1 (target at least 0.95 at N = 8), the tool's
#      CPU time as a share of the run's wall time, and its threads and RSS
#      during the block phase. Before each, the same N simulators driven by
#      zq-host, the bench's own host, measured the same way: what the
#      harness alone can carry, the ceiling the tool's figure is read
#      against;
#   c. slow adapters: the paced line through zq-relay holding every byte back
#      0, 1, 4 and 16 ms (an FTDI chip's latency timer, whose default is 16),
#      to a device beaconing every 10 ms: the payload rate, and the hint the
#      tool prints for it.
#   bench/station_bench.sh BUILD_DIR
# BENCH_N="1 8 32" sets the N of figure b (1 is always added: the ratios'
# base), BENCH_BLOCKS its blocks a line (default 1024, about 12 s of block
# phase, so that start-up and discovery weigh little), BENCH_FIGURES="b" the
# figures to run, BENCH_TOOL_DIR the build folder of the zerquill-flash under
# test (the harness stays BUILD_DIR's), BENCH_KEEP=1 keeps the work folder.
# Nothing here passes or fails on speed; it exits non-zero only when a
# download itself failed.
set -euo pipefail

build=${1:?usage: bench/station_bench.sh BUILD_DIR}
build=$(cd "$build" && pwd)
bench_name=zq-station-bench
. "$(dirname "$0")/common.sh"

# BENCH_FIGURES="b" (say) runs only the figures named.
want() { case " ${BENCH_FIGURES:-a b c} " in *" $1 "*) return 0 ;; esac; return 1; }

# ---- a. discovery ------------------------------------------------------------
if want a; then
    say "a. discovery behind 0, 15 and 63 silent ports"
    for n in 0 15 63; do discovery_behind "$n"; done
fi

# ---- b. N devices at once ----------------------------------------------------
# Starts n paced simulators expecting DB.bin, each under zq-time so that its
# CPU time is known; sets sim_pids and sim_paths. $1 names the run.
start_sims() {
    local name=$1 n=$2 i
    sim_pids=()
    sim_paths=()
    for i in $(seq "$n"); do
        start "$work/$name-$i" 1 "$timeit" "$work/$name-$i.time" \
            "$devsim" --pace --expect "$work/DB.bin" --silence-ms 2000
        sim_pids+=("$bg_pid")
        sim_paths+=("$(head -1 "$work/$name-$i")")
    done
}
# Waits for the simulators of run $1; fails unless each got the image. Sets
# sim_cpu: their CPU time over their wall time, per simulator, in % of a core.
end_sims() {
    local name=$1 n=$2 i pid
    for pid in "${sim_pids[@]}"; do wait "$pid" || fail "a simulator of run $name did not get the image"; done
    sim_cpu=$(for i in $(seq "$n"); do cat "$work/$name-$i.time"; done |
        awk '{ w += $1; c += $2 + $3 } END { printf "%.2f", 100 * c / w }')
}
# Sum and slowest of the rates in column $2 of file $1: "SUM MIN".
sum_min() { awk -v c="$2" '{ s += $c; if (NR == 1 || $c < m) m = $c } END { printf "%.0f %.0f", s, m }' "$1"; }

# While zq-time $1 runs the tool, samples the tool's /proc/PID/status every
# 0.1 s. Only samples taken while all $3 downloads are in their block phase
# count (each port's JSON has said "sending" and none has given its result),
# so that discovery's listeners are not taken for the downloads' threads.
# Reads the JSON file $2 as it grows and sleeps on a pipe: no process is
# started per sample. Sets peak_threads, peak_rss (kB), hwm (kB, the
# process's own peak, from the last sample) and samples.
watch_status() {
    local zpid=$1 json=$2 n=$3 pid= i line= part= key val rest thr rss
    local -A sending=()
    local results=0 jfd zfd
    peak_threads=0 peak_rss=0 hwm=0 samples=0
    for i in $(seq 100); do
        read -r pid _ <"/proc/$zpid/task/$zpid/children" 2>/dev/null || true
        [ -n "$pid" ] && [ -e "$json" ] && break
        sleep 0.01
    done
    [ -n "$pid" ] && [ -e "$json" ] || return 0
    exec {jfd}<"$json" {zfd}<> <(:)
    while [ -r "/proc/$pid/status" ] && [ "$results" -eq 0 ]; do
        while IFS= read -r -u "$jfd" line || { part+=$line; line=; false; }; do
            line=$part$line
            part=
            [[ $line == *'"event":"result"'* ]] && results=$((results + 1))
            [[ $line == *'"phase":"sending"'* && $line =~ \"port\":\"([^\"]*)\" ]] && sending[${BASH_REMATCH[1]}]=1
        done
        if [ "${#sending[@]}" -ge "$n" ] && [ "$results" -eq 0 ]; then
            thr= rss=
            while read -r key val rest; do
                case $key in
                Threads:) thr=$val ;;
                VmRSS:) rss=$val ;;
                VmHWM:) hwm=$val ;;
                esac
            done <"/proc/$pid/status" 2>/dev/null || true
            if [ -n "$thr" ] && [ -n "$rss" ]; then
                samples=$((samples + 1))
                [ "$thr" -gt "$peak_threads" ] && peak_threads=$thr
                [ "$rss" -gt "$peak_rss" ] && peak_rss=$rss
            fi
        fi
        read -r -t 0.1 -u "$zfd" _ || true
    done
    exec {jfd}<&- {zfd}<&-
}

blocks=${BENCH_BLOCKS:-1024}
ns=${BENCH_N:-1 4 8 16 32}
case " $ns " in *" 1 "*) ;; *) ns="1 $ns" ;; esac # the rate at N = 1 is every ratio's base
declare -A h_sum h_min h_simcpu h_cpu sum_rate min_rate t_simcpu cpu_pct cpu_line wall_s threads rss_kb hwm_kb load
if want b; then
    "$mkimage" "$work/DB.bin" --blocks "$blocks" --seed 5 >/dev/null
    for n in $ns; do
        # The harness alone: the same simulators driven by zq-host, which
        # does no more than the exchange needs, one thread a line.
        say "b. N = $n, $blocks blocks each: the harness alone"
        start_sims h$n "$n"
        "$timeit" "$work/host$n.time" "$host" --image "$work/DB.bin" "${sim_paths[@]}" \
            >"$work/host$n.txt" 2>"$work/host$n.err" ||
            fail "zq-host with $n simulators failed: $(tail -3 "$work/host$n.err")"
        end_sims h$n "$n"
        read -r h_sum[$n] h_min[$n] <<<"$(sum_min "$work/host$n.txt" 4)"
        h_simcpu[$n]=$sim_cpu
        read -r wall user sys <"$work/host$n.time"
        h_cpu[$n]=$(calc "%.2f" "100 * ($user + $sys) / $wall / $n")

        say "b. N = $n: one --all run of $flash"
        start_sims t$n "$n"
        # Expanded here: a command substitution on the line below would be
        # zq-time's first child, and taken for the tool.
        ports=$(IFS=,; echo "${sim_paths[*]}")
        "$timeit" "$work/all$n.time" "$flash" --all --json --image "$work/DB.bin" \
            --ports "$ports" >"$work/all$n.json" 2>"$work/all$n.err" &
        tool_pid=$!
        bg_pids+=("$tool_pid")
        watch_status "$tool_pid" "$work/all$n.json" "$n"
        wait "$tool_pid" || fail "--all with $n devices failed: $(tail -3 "$work/all$n.json")"
        end_sims t$n "$n"
        results=$(grep -c '"event":"result"' "$work/all$n.json" || true)
        [ "$results" = "$n" ] || fail "--all with $n devices gave $results results"
        python3 -c '
import json, sys
for e in map(json.loads, open(sys.argv[1])):
    if e.get("event") == "result":
        print(e["port"], e["bytes_per_s"])
' "$work/all$n.json" >"$work/all$n.rates"
        read -r sum_rate[$n] min_rate[$n] <<<"$(sum_min "$work/all$n.rates" 2)"
        t_simcpu[$n]=$sim_cpu
        read -r wall user sys <"$work/all$n.time"
        wall_s[$n]=$(calc "%.2f" "$wall")
        cpu_pct[$n]=$(calc "%.2f" "100 * ($user + $sys) / $wall")
        cpu_line[$n]=$(calc "%.3f" "100 * ($user + $sys) / $wall / $n")
        threads[$n]=$peak_threads
        rss_kb[$n]=$peak_rss
        hwm_kb[$n]=$hwm
        [ "$samples" -gt 0 ] || threads[$n]="-"
        load[$n]=$(cut -d' ' -f1 /proc/loadavg)
        say "b. N = $n: harness ${h_sum[$n]} B/s, tool ${sum_rate[$n]} B/s, tool CPU ${cpu_pct[$n]} %; load $(cut -d' ' -f1-3 /proc/loadavg)"
    done
fi

# ---- c. slow adapters -------------------------------------------------------
declare -A slow_rate slow_hint
if want c; then
    say "c. the paced line held back 0, 1, 4 and 16 ms, as by an adapter's latency timer"
    "$mkimage" "$work/slow.bin" --blocks 64 --seed 6 >/dev/null
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
fi

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
cat <<EOF

Zerquill Updater station benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC')
machine: $cpu, $(nproc) cores, Linux $(uname -r), load average at the end $(cut -d' ' -f1-3 /proc/loadavg)
tool under test: $flash ($("$flash" --version 2>/dev/null | head -1))
EOF
if want a || want c; then
    printf '\n| # | figure | measured | target |\n|---|--------|----------|--------|\n'
fi
want a && cat <<EOF
| a | discovery behind 0 / 15 / 63 silent ports | ${found_s[0]} s / ${found_s[15]} s / ${found_s[63]} s | under 0.8 s at 63 |
EOF
want c && cat <<EOF
| c | paced line held back 0 / 1 / 4 / 16 ms, device beaconing every 10 ms: payload rate | ${slow_rate[0]} / ${slow_rate[1000]} / ${slow_rate[4000]} / ${slow_rate[16000]} B/s | |
| c' | the hint after each | 0: "${slow_hint[0]:-none}"; 1: "${slow_hint[1000]:-none}"; 4: "${slow_hint[4000]:-none}"; 16: "${slow_hint[16000]:-none}..." | a hint at 4 and 16 |
EOF
if want b; then
    cat <<EOF

b. N paced 115200 lines of $blocks blocks each. Harness alone: zq-host drives the N simulators. Tool:
one --all run. Rates are each line's block phase; "ratio" is their sum over N x the rate at N = 1
(target for the tool: at least 0.95 at N = 8). CPU is user + system time over wall time, per line,
in % of a core. Threads and VmRSS: the tool's peak while all N lines were in their block phase
(/proc/PID/status every 0.1 s), VmHWM its own peak over the run. Load: the 1-minute load average
after the tool's run.

| N | harness: sum (slowest line) | ratio | simulator CPU / line | zq-host CPU / line | tool: sum (slowest line) | ratio | tool CPU / line (whole run) | wall | threads | VmRSS (VmHWM) | load |
|---|---|---|---|---|---|---|---|---|---|---|---|
EOF
    for n in $ns; do
        h_ratio=$(calc "%.3f" "${h_sum[$n]} / ($n * ${h_sum[1]})")
        t_ratio=$(calc "%.3f" "${sum_rate[$n]} / ($n * ${sum_rate[1]})")
        echo "| $n | ${h_sum[$n]} B/s (${h_min[$n]}) | $h_ratio | ${h_simcpu[$n]} % | ${h_cpu[$n]} % | ${sum_rate[$n]} B/s (${min_rate[$n]}) | $t_ratio | ${cpu_line[$n]} % (${cpu_pct[$n]} %) | ${wall_s[$n]} s | ${threads[$n]} | ${rss_kb[$n]} kB (${hwm_kb[$n]} kB) | ${load[$n]} |"
    done
fi
