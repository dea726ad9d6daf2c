#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS each, starting from the seed corpus
# (copied, so the repository's seeds stay as they are), and fails on the
# first crash or property violation. Build first with the fuzz preset:
#   cmake --preset fuzz && cmake --build --preset fuzz -j2
#   fuzz/run_fuzz.sh build/fuzz 60
set -euo pipefail
BUILD_DIR=${1:?usage: run_fuzz.sh BUILD_DIR SECONDS}
SECONDS_EACH=${2:?usage: run_fuzz.sh BUILD_DIR SECONDS}
HERE=$(cd "$(dirname "$0")" && pwd)
WORK=$(mktemp -d /tmp/zq-fuzz-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
status=0
for target in fuzz_image fuzz_worker fuzz_job fuzz_key; do
    exe="$BUILD_DIR/fuzz/$target"
    [ -x "$exe" ] || { echo "missing $exe (build the fuzz preset)" >&2; exit 2; }
    mkdir -p "$WORK/$target" "$WORK/artifacts-$target"
    if [ "$target" = fuzz_key ]; then
        "$HERE/seed_keys.sh" "$WORK/$target"
    else
        cp "$HERE/corpus/$target/"* "$WORK/$target/"
    fi
    echo "== $target for ${SECONDS_EACH}s"
    if "$exe" -max_total_time="$SECONDS_EACH" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$WORK/artifacts-$target/" "$WORK/$target" >"$WORK/$target.log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$WORK/$target.log"
        echo "corpus: $(ls "$WORK/$target" | wc -l) inputs"
    else
        status=1
        grep -E 'violated|ERROR|SUMMARY' "$WORK/$target.log" | head -n 20 >&2 || true
        for a in "$WORK/artifacts-$target/"*; do
            [ -f "$a" ] || continue
            echo "failing input ($(basename "$a")), base64: $(base64 -w0 "$a")" >&2
            cp "$a" "./$target-$(basename "$a")" 2>/dev/null || true
        done
        tail -n 40 "$WORK/$target.log" >&2
    fi
done
exit $status
