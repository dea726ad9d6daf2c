#!/usr/bin/env bash
# What serving the station costs the line: 8 paced simulators flashed by one
# --watch --count 8 run with no server, then the same with --serve, 20
# clients holding /api/v1/events open (curl -N) and the status asked 10
# times a second. Figures: the payload rates of the 8 downloads added up,
# served over unserved (target at least 0.97), and the tool's CPU time
# (user + system, from wait4 through zq-time) in each run: the difference is
# what the server costs.
#   bench/serve_bench.sh BUILD_DIR
# BENCH_BLOCKS sets the blocks a line (default 1024, about 12 s of block
# phase); BENCH_KEEP=1 keeps the work folder. Nothing here passes or fails
# on speed; it exits non-zero only when a download itself failed.
set -euo pipefail

build=${1:?usage: bench/serve_bench.sh BUILD_DIR}
build=$(cd "$build" && pwd)
bench_name=zq-serve-bench
. "$(dirname "$0")/common.sh"
command -v curl >/dev/null || fail "curl is needed for the event clients"

lines=8
clients=20
blocks=${BENCH_BLOCKS:-1024}
"$mkimage" "$work/DB.bin" --blocks "$blocks" --seed 7 >/dev/null

# The simulators of run $1, waiting long enough for the server's clients to
# be started; sets sim_pids and ports.
start_sims() {
    local name=$1 i paths=()
    sim_pids=()
    for i in $(seq "$lines"); do
        start "$work/$name-$i" 1 "$devsim" --pace --expect "$work/DB.bin" --silence-ms 10000
        sim_pids+=("$bg_pid")
        paths+=("$(head -1 "$work/$name-$i")")
    done
    ports=$(IFS=,; echo "${paths[*]}")
}
end_sims() {
    local pid
    for pid in "${sim_pids[@]}"; do wait "$pid" || fail "a simulator of run $1 did not get the image"; done
}

# The port the tool serves on, once it says so on stderr ($1); empty if it
# never does.
served_port() {
    local i
    for i in $(seq 200); do
        if grep -q 'serving the station on http://127.0.0.1:' "$1" 2>/dev/null; then
            sed -n 's|.*serving the station on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$1" | head -1
            return 0
        fi
        sleep 0.05
    done
}

# Runs the tool over 8 lines; $1 names the run, "served" adds the server and
# its clients. Sets rate_sum, cpu_s, wall_s, polls, streamed.
run() {
    local name=$1 tool_pid port c poller=
    local client_pids=()
    local extra=()
    [ "$name" = served ] && extra=(--serve 0)
    start_sims "$name"
    "$timeit" "$work/$name.time" "$flash" --watch --count "$lines" --json --image "$work/DB.bin" \
        --ports "$ports" "${extra[@]}" >"$work/$name.json" 2>"$work/$name.err" &
    tool_pid=$!
    bg_pids+=("$tool_pid")
    polls=0 streamed=0
    if [ "$name" = served ]; then
        port=$(served_port "$work/$name.err")
        [ -n "$port" ] || fail "the served run never said where it listens: $(tail -3 "$work/$name.err")"
        for c in $(seq "$clients"); do
            curl -sN "http://127.0.0.1:$port/api/v1/events" >"$work/stream$c.txt" 2>/dev/null &
            client_pids+=("$!")
            bg_pids+=("$!")
        done
        # The status ten times a second, one curl at a time, until the tool ends.
        (
            while kill -0 "$tool_pid" 2>/dev/null; do
                curl -s -o /dev/null -w '%{http_code}\n' "http://127.0.0.1:$port/api/v1/station" || true
                sleep 0.1
            done >"$work/polls.txt"
        ) &
        poller=$!
        bg_pids+=("$poller")
    fi
    wait "$tool_pid" || fail "the $name run failed: $(tail -3 "$work/$name.err")"
    end_sims "$name"
    if [ -n "$poller" ]; then
        wait "$poller" || true
        for c in "${client_pids[@]}"; do stop "$c"; done
        polls=$(grep -c '^200$' "$work/polls.txt" || true)
        streamed=$(cat "$work"/stream*.txt | grep -c '^event: result' || true)
    fi
    [ "$(grep -c '"event":"result"' "$work/$name.json" || true)" = "$lines" ] ||
        fail "the $name run gave no result for every line"
    rate_sum=$(python3 -c '
import json, sys
print(round(sum(e["bytes_per_s"] for e in map(json.loads, open(sys.argv[1])) if e.get("event") == "result")))
' "$work/$name.json")
    read -r wall user sys <"$work/$name.time"
    cpu_s=$(calc "%.2f" "$user + $sys")
    wall_s=$(calc "%.2f" "$wall")
}

say "8 paced lines, $blocks blocks each, no server"
run plain
plain_rate=$rate_sum plain_cpu=$cpu_s plain_wall=$wall_s
say "the same with --serve, $clients event streams and the status 10 times a second"
run served
ratio=$(calc "%.3f" "$rate_sum / $plain_rate")
cost=$(calc "%.2f" "$cpu_s - $plain_cpu")
cost_pct=$(calc "%.2f" "100 * ($cpu_s - $plain_cpu) / $wall_s")

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
cat <<EOF

Zerquill Updater served-station benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')
machine: $cpu, $(nproc) cores, Linux $(uname -r), load average at the end $(cut -d' ' -f1-3 /proc/loadavg)
tool under test: $flash ($("$flash" --version 2>/dev/null | head -1))

| run | 8 lines' rates added up | tool CPU (user + sys) | wall |
|-----|------|-----|------|
| no server | $plain_rate B/s | $plain_cpu s | $plain_wall s |
| --serve, $clients event streams, status 10/s ($polls answered; $streamed results streamed) | $rate_sum B/s | $cpu_s s | $wall_s s |

served / unserved rate: $ratio (target at least 0.97); the server's CPU: $cost s, $cost_pct % of a core over the served run
EOF
