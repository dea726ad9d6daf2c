#!/usr/bin/env bash
# The benchmarks (./run bench): four figures for zerquill-flash.
#   bench/run_bench.sh BUILD_DIR
#
# 1. Line efficiency: a 256 KiB data area through zq-relay, a paced null-modem
#    at 115200 8N1 (one byte every 86.8 us each way), to the device simulator;
#    the block phase's time over the ceiling of 130 byte-times per block.
#    A second, traced run splits each block's time into the tool's own
#    turnaround and the time on the line and in the device.
# 2. The same 256 KiB with lrzsz (sx -X to rx -X) through the same relay:
#    our payload rate over theirs.
# 3. Own overhead over an unpaced pty: microseconds per block, CPU per MiB,
#    and the tool's CPU time against the wall time of the paced download.
# 4. Discovery time behind 0, 3 and 15 silent ports listed before the device.
#
# BENCH_KEEP=1 keeps the logs and traces of the runs.
# Nothing here passes or fails on speed; it exits non-zero only when a
# download itself failed.
set -euo pipefail

build=${1:?usage: bench/run_bench.sh BUILD_DIR}
build=$(cd "$build" && pwd)
for tool in sx rx; do
    command -v "$tool" >/dev/null || { echo "bench: $tool missing (Debian package lrzsz)" >&2; exit 1; }
done
bench_name=zq-bench
. "$(dirname "$0")/common.sh"

blocks=2048
image=$work/DB.bin
"$mkimage" "$image" --blocks $blocks --seed 11
tail -c +65537 "$image" >"$work/data.bin" # the data area alone, for lrzsz
data_bytes=$((blocks * 128))
ceiling=$(calc "%.3f" "$blocks * 130 * 10 / 115200")

# One download through the paced relay; $1 names the run, the rest are
# extra options for zerquill-flash.
relayed_download() {
    local name=$1
    shift
    # The simulator reads the beacon reply late, after the relay has already
    # copied the download's speed onto its line: it would count those three
    # bytes as sent at the wrong speed. The relay paces at the tool's speed.
    start "$work/$name.dev" 1 "$devsim" --expect "$image" --silence-ms 2000 --no-speed-check
    local dev_pid=$bg_pid dev
    dev=$(head -1 "$work/$name.dev")
    start "$work/$name.relay" 1 "$relay" --follow --connect "$dev"
    local relay_pid=$bg_pid port
    port=$(head -1 "$work/$name.relay")
    "$timeit" "$work/$name.time" "$flash" --ports "$port" --image "$image" "$@" \
        >"$work/$name.out" 2>"$work/$name.err" || fail "$name: download failed: $(tail -2 "$work/$name.out")"
    wait "$dev_pid" || fail "$name: the simulator did not get the image: $(tail -3 "$work/$name.dev.log")"
    stop "$relay_pid"
}

# ---- 1. line efficiency ----------------------------------------------------
say "1/4 line efficiency: $data_bytes bytes through the paced relay (about ${ceiling} s)"
relayed_download paced
paced_blocks=$(block_seconds "$work/paced.out")
paced_total=$(stamp "$work/paced.out" "wrote")
read -r paced_wall paced_user paced_sys <"$work/paced.time"
ratio=$(calc "%.4f" "$paced_blocks / $ceiling")
per_block_ms=$(calc "%.3f" "$paced_blocks * 1000 / $blocks")
over_us=$(calc "%.0f" "($paced_blocks / $blocks - 130 * 10 / 115200) * 1e6")

say "1/4 again with --trace, to see where each block's time goes"
relayed_download traced --trace
# Per block: "12.345 ms T>D block K: ..." (stamped when the block was
# written), then "D>T ACK".
# turn: the tool's own time from an ACK read to the next block written;
# far: block written to ACK read, less the 130 byte-times the line needs.
awk -v byte_us=86.806 '
    $2 == "ms" && $3 == "T>D" && $4 == "block" { if (ack) print "turn", ($1 - ack) * 1000; sent = $1; next }
    $2 == "ms" && $3 == "D>T" && $4 == "ACK" && NF == 4 && sent { print "far", ($1 - sent) * 1000 - 130 * byte_us; ack = $1; sent = 0 }
' "$work/traced.err" >"$work/split.all"
# "mean median p90" of one kind, in microseconds.
spread() {
    grep "^$1 " "$work/split.all" | cut -d' ' -f2 | sort -g |
        awk '{ a[NR] = $1; s += $1 } END { printf "%.0f %.0f %.0f %d\n", s / NR, a[int((NR + 1) / 2)], a[int(NR * 0.9)], NR }'
}
read -r turn_mean turn_med turn_p90 traced_n < <(spread turn)
read -r far_mean far_med far_p90 _ < <(spread far)
relay_late=$(sed -n 's/.*first to second .* late by \([0-9.]*\) us on average.*/\1/p' "$work/traced.relay.log")
relay_late_back=$(sed -n 's/.*second to first .* late by \([0-9.]*\) us on average.*/\1/p' "$work/traced.relay.log")

# ---- 2. lrzsz --------------------------------------------------------------
say "2/4 lrzsz sx -X to rx -X, same data, same relay"
start "$work/lrzsz.relay" 2 "$relay" --baud 115200
lrzsz_relay=$bg_pid
p1=$(sed -n 1p "$work/lrzsz.relay")
p2=$(sed -n 2p "$work/lrzsz.relay")
mkdir "$work/rx"
t0=$(date +%s.%N)
sx -X -q "$work/data.bin" <"$p1" >"$p1" 2>"$work/sx.log" &
sx_pid=$!
bg_pids+=("$sx_pid")
# rx takes only a bare file name, in the folder it runs in.
(cd "$work/rx" && exec timeout 120 rx -X -q data.bin <"$p2" >"$p2" 2>"$work/rx.log") || fail "rx failed: $(cat "$work/rx.log")"
t1=$(date +%s.%N)
# On a pty, rx's exit flushes its line before the relay can read the ACK to
# EOT, so sx waits for it in vain: the data is complete when rx ends.
stop "$sx_pid"
stop "$lrzsz_relay"
cmp -s "$work/data.bin" "$work/rx/data.bin" || fail "rx received something else"
lrzsz_s=$(calc "%.3f" "$t1 - $t0")
ours_rate=$(calc "%.0f" "$data_bytes / $paced_blocks")
ours_whole_rate=$(calc "%.0f" "$data_bytes / $paced_total")
lrzsz_rate=$(calc "%.0f" "$data_bytes / $lrzsz_s")

# ---- 3. own overhead -------------------------------------------------------
say "3/4 own overhead over an unpaced pty"
start "$work/fast.dev" 1 "$devsim" --expect "$image" --silence-ms 2000
fast_dev=$bg_pid
"$timeit" "$work/fast.time" "$flash" --ports "$(head -1 "$work/fast.dev")" --image "$image" \
    >"$work/fast.out" 2>&1 || fail "unpaced download failed: $(tail -2 "$work/fast.out")"
wait "$fast_dev" || fail "unpaced: the simulator did not get the image"
fast_blocks=$(block_seconds "$work/fast.out")
read -r fast_wall fast_user fast_sys <"$work/fast.time"
fast_us_block=$(calc "%.1f" "$fast_blocks * 1e6 / $blocks")
fast_cpu_block=$(calc "%.1f" "($fast_user + $fast_sys) * 1e6 / $blocks")
fast_cpu_mib=$(calc "%.3f" "($fast_user + $fast_sys) / ($data_bytes / 1048576)")
paced_cpu=$(calc "%.3f" "$paced_user + $paced_sys")
paced_cpu_pct=$(calc "%.2f" "100 * ($paced_user + $paced_sys) / $paced_wall")

# ---- 4. discovery ------------------------------------------------------------
say "4/4 discovery behind 0, 3 and 15 silent ports"
for n in 0 3 15; do discovery_behind "$n"; done
per_port=$(calc "%.0f" "(${found_s[15]} - ${found_s[0]}) * 1000 / 15")

# ---- results ---------------------------------------------------------------
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
cat <<EOF

Zerquill Updater benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC')
machine: $cpu, $(nproc) cores, Linux $(uname -r), load average at the end $(cut -d' ' -f1-3 /proc/loadavg)

| # | figure | measured | reference | result |
|---|--------|----------|-----------|--------|
| 1 | line efficiency, $data_bytes data bytes at 115200 8N1 | block phase ${paced_blocks} s (${per_block_ms} ms/block) | ceiling ${ceiling} s (11.285 ms/block) | ${ratio} x ceiling (${over_us} us a block over) |
| 1a | where a block's time goes beyond 11.285 ms (traced run, $traced_n blocks; mean / median / 90th percentile) | tool, ACK read to next block written: ${turn_mean} / ${turn_med} / ${turn_p90} us | relay + simulator, block written to ACK read less 130 byte-times: ${far_mean} / ${far_med} / ${far_p90} us | the relay hands bytes over ${relay_late} us (to the device) and ${relay_late_back} us (to the tool) late on average |
| 2 | payload rate against lrzsz sx -X / rx -X, same relay | ours ${ours_rate} B/s (whole download incl. discovery ${ours_whole_rate} B/s) | lrzsz ${lrzsz_rate} B/s (${lrzsz_s} s) | $(calc "%.3f" "$ours_rate / $lrzsz_rate") x lrzsz |
| 3 | own overhead, unpaced pty | ${fast_us_block} us/block wall, ${fast_cpu_block} us/block CPU | ${fast_cpu_mib} CPU s/MiB | paced run: ${paced_cpu} CPU s in ${paced_wall} s wall = ${paced_cpu_pct} % (target < 2 %) |
| 4 | discovery behind 0 / 3 / 15 silent ports | ${found_s[0]} s / ${found_s[3]} s / ${found_s[15]} s | | about ${per_port} ms per silent port |
EOF
