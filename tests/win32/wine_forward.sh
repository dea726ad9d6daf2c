#!/usr/bin/env bash
# zerquill-flash.exe under wine forwards its records through WinHTTP to a
# loopback receiver of the Linux build (zq-receiver, which wants a Bearer
# token and checks each POST's headers): a download while the receiver is
# away waits out the end and says what is pending; --forward-pending then
# delivers it; a download with the receiver up delivers at once; a second
# --forward-pending sends nothing. The receiver's keys must be the log's ids.
#
#   wine_forward.sh BUILD_DIR DEVSIM RECEIVER FLASH_EXE
# Exit status 77 (skipped) when the Linux helpers have not been built.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_helpers.sh" "$@"
receiver=$3
flash=$4
wine_needs "$receiver"
wine_scene wine-forward COM9
fail() {
    echo "FAIL: $*"
    for f in "$work"/*.err "$work"/sim.log "$work"/receiver*.log; do [ -f "$f" ] && { echo "--- $f"; tail -n 20 "$f"; }; done
    exit 1
}

wine_image "$work/DB.bin" 24 0 20261208
image=$(winepath -w "$work/DB.bin")
log=$(winepath -w "$work/records.jsonl")
printf 'w1ne-t0ken\n' >"$work/mes.token"
token=$(winepath -w "$work/mes.token")

start "$work/sim" "$devsim" --sessions 2 --expect "$work/DB.bin" --rest-ms 500
wine_map COM9 "$line"
wine_reload
# The wine server a first program starts keeps that program's stderr: not
# a download's, whose messages are read below.
wine "$flash" --version </dev/null >/dev/null 2>&1

# A port for the receiver, then nothing listening on it: the outage.
start "$work/receiver1" "$receiver" --token w1ne-t0ken
url=$line
kill "${pids[-1]}"
wait "${pids[-1]}" 2>/dev/null || true
port=${url##*:}
port=${port%%/*}

forward=(--log "$log" --forward "$url" --forward-token-file "$token")
status=0
wine "$flash" --wait 10 --ports COM9 --image "$image" "${forward[@]}" </dev/null >"$work/away.out" 2>"$work/away.err" || status=$?
tr -d '\r' <"$work/away.err" >"$work/away.txt"
[ "$status" -eq 0 ] || fail "download with the receiver away: exit status $status"
grep -q 'forward: no answer from' "$work/away.txt" || fail "the outage was not told"
grep -q 'forward: 1 record waits to be delivered' "$work/away.txt" || fail "the pending record was not counted"

start "$work/receiver2" "$receiver" --port "$port" --token w1ne-t0ken
receiver_pid=${pids[-1]}
keys() { tail -n +2 "$work/receiver2" | sort -u; }
wine "$flash" --forward-pending "${forward[@]}" </dev/null >"$work/pending1.out" 2>"$work/pending1.err" ||
    fail "--forward-pending: exit status $?"
[ "$(keys | wc -l)" -eq 1 ] || fail "the receiver has $(keys | wc -l) records after --forward-pending, not 1"

wine "$flash" --wait 10 --ports COM9 --image "$image" "${forward[@]}" </dev/null >"$work/up.out" 2>"$work/up.err" ||
    fail "download with the receiver up: exit status $?"
tr -d '\r' <"$work/up.err" | grep -q 'forward: every record delivered' || fail "the second record was not delivered"

requests=$(tail -n +2 "$work/receiver2" | wc -l)
wine "$flash" --forward-pending "${forward[@]}" </dev/null >"$work/pending2.out" 2>"$work/pending2.err" ||
    fail "second --forward-pending: exit status $?"
[ "$(tail -n +2 "$work/receiver2" | wc -l)" -eq "$requests" ] || fail "the second --forward-pending sent again"

ids=$(python3 -c 'import json,sys; [print(json.loads(l)["id"]) for l in open(sys.argv[1])]' "$work/records.jsonl" | sort -u)
[ "$ids" = "$(keys)" ] || fail "the receiver's keys are not the log's ids: $(keys | paste -sd' ') vs $(echo "$ids" | paste -sd' ')"
tr -d '\r' <"$work/away.txt" "$work/pending1.err" "$work/up.err" 2>/dev/null | grep -q 'w1ne-t0ken' && fail "the token was printed"
kill "$receiver_pid"
wait "$receiver_pid" || fail "the receiver saw malformed requests: $(cat "$work/receiver2.log")"
matched=$(grep -c '^data matches image$' "$work/sim.log" || true)
[ "$matched" -eq 2 ] || fail "the simulator got $matched whole images, not 2"
echo "PASS: through WinHTTP, $(keys | wc -l) records delivered once each across an outage, nothing sent twice"
