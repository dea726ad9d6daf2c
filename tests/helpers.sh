# What the end-to-end test scripts share. Sourced; the script sets $work
# (a folder of its own) before it starts anything.

pids=()
# Ends every helper started here.
stop_helpers() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}

# Starts a helper in the background with its stdout in $1 and its stderr in
# $1.log, and waits for its first line (the path a simulator or a relay
# prints), which it leaves in $line.
line=
start() {
    local out=$1
    shift
    : >"$out"
    "$@" >"$out" 2>"$out.log" &
    pids+=($!)
    for _ in $(seq 200); do
        line=$(head -1 "$out" || true)
        [ -n "$line" ] && return 0
        sleep 0.05
    done
    echo "FAIL: $* did not start: $(cat "$out.log")"
    exit 1
}
