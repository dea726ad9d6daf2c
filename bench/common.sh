# What the bench scripts share: their work folder, starting helpers in the
# background, reading zerquill-flash's lines, and the discovery figure.
# Sourced after $build is set; $bench_name names the work folder.
# BENCH_TOOL_DIR names another build folder whose cli/zerquill-flash is the
# tool under test (an older build, say); the harness (simulator, relay,
# helpers) always comes from BUILD_DIR, so that only the tool differs.

tool_dir=$(cd "${BENCH_TOOL_DIR:-$build}" && pwd)
flash=$tool_dir/cli/zerquill-flash
mkimage=$build/cli/zq-mkimage
devsim=$build/devsim/zerquill-devsim
relay=$build/bench/zq-relay
silent=$build/bench/zq-silent-ptys
timeit=$build/bench/zq-time
host=$build/bench/zq-host
for exe in "$flash" "$mkimage" "$devsim" "$relay" "$silent" "$timeit" "$host"; do
    [ -x "$exe" ] || { echo "bench: $exe not built" >&2; exit 1; }
done

work=$(mktemp -d "/tmp/$bench_name-XXXXXX")
bg_pids=()
cleanup() {
    for pid in "${bg_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if [ -n "${BENCH_KEEP:-}" ]; then echo "bench: files kept in $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

say() { echo "bench: $*" >&2; }
fail() { echo "bench: $*" >&2; exit 1; }

# Starts a helper in the background with its stdout in a file and waits for
# its first `lines` lines (the paths it prints). Sets $bg_pid.
start() {
    local out=$1 lines=$2
    shift 2
    "$@" >"$out" 2>"$out.log" &
    bg_pid=$!
    bg_pids+=("$bg_pid")
    local i
    for i in $(seq 200); do
        # The helper's shell may not have made the file yet.
        [ -f "$out" ] && [ "$(wc -l <"$out")" -ge "$lines" ] && return 0
        sleep 0.05
    done
    fail "$out did not start: $(cat "$out.log")"
}
stop() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

# Seconds from one of zerquill-flash's time-stamped lines.
stamp() { sed -n "s/^\[ *\([0-9.]*\) s\] $2.*/\1/p" "$1" | head -1; }
# "wrote N blocks (...) of DB.bin to PORT in T s (data S s, R B/s)": S, the block phase.
block_seconds() { sed -n 's/.*wrote [0-9]* blocks .*(data \([0-9.]*\) s, .*/\1/p' "$1"; }
# R, the block phase's rate.
block_rate() { sed -n 's/.*wrote [0-9]* blocks .*(data [0-9.]* s, \([0-9]*\) B\/s).*/\1/p' "$1" | head -1; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

# Seconds from "looking for the device" to "device found" with N silent
# ptys listed before the device; into found_s[N].
declare -A found_s
discovery_behind() {
    local n=$1 ports= sil_pid= disc_dev looking found
    [ -f "$work/small.bin" ] || "$mkimage" "$work/small.bin" --blocks 1 >/dev/null
    if [ "$n" -gt 0 ]; then
        start "$work/silent$n" "$n" "$silent" "$n"
        sil_pid=$bg_pid
        ports=$(paste -sd, "$work/silent$n"),
    fi
    start "$work/disc$n.dev" 1 "$devsim" --pace --silence-ms 1000
    disc_dev=$bg_pid
    "$flash" --ports "$ports$(head -1 "$work/disc$n.dev")" --image "$work/small.bin" >"$work/disc$n.out" 2>&1 ||
        fail "discovery behind $n ports failed: $(tail -2 "$work/disc$n.out")"
    wait "$disc_dev" || true
    [ -n "$sil_pid" ] && stop "$sil_pid"
    looking=$(stamp "$work/disc$n.out" "looking for the device")
    found=$(stamp "$work/disc$n.out" "device found")
    found_s[$n]=$(calc "%.3f" "$found - $looking")
}
