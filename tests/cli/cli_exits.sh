#!/usr/bin/env bash
# The command line's exit statuses and cause lines, against the simulator.
set -uo pipefail
BUILD=$1
FLASH=$BUILD/cli/zerquill-flash
SIM=$BUILD/devsim/zerquill-devsim
WORK=$(mktemp -d /tmp/zq-cli-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$WORK"' EXIT
fails=0
check() { # name expected actual
    if [ "$2" == "$3" ]; then echo "ok   $1"; else echo "FAIL $1: expected '$2', got '$3'"; fails=$((fails + 1)); fi
}
"$BUILD/cli/zq-mkimage" "$WORK/DB.bin" 20

# Bad usage: 64, usage on stderr, nothing on stdout.
out=$("$FLASH" --bogus 2>"$WORK/err"); check "unknown option exits 64" 64 $?
check "usage on stderr" 1 "$(grep -c '^Usage:' "$WORK/err")"
check "nothing on stdout" "" "$out"
"$FLASH" --image 2>/dev/null; check "missing value exits 64" 64 $?
"$FLASH" --port a --ports b 2>/dev/null; check "--port with --ports exits 64" 64 $?

# Missing image: 2 and the system's text.
out=$("$FLASH" --quiet --image "$WORK/none.bin" --ports /dev/null); check "missing image exits 2" 2 $?
check "File Open Failed" "File Open Failed" "$(echo "$out" | head -1)"

sim() { # options...: starts the simulator, sets PTY
    rm -f "$WORK/path"; mkfifo "$WORK/path"
    "$SIM" "$@" >"$WORK/path" 2>"$WORK/sim.log" &
    read -r PTY <"$WORK/path"
}

# Bad usage opens nothing: the device's port hears nothing.
sim
"$FLASH" --ports "$PTY" --nonsense 2>/dev/null; check "bad usage with a port exits 64" 64 $?
sleep 0.3; kill %% 2>/dev/null; wait
grep -q "heard the beacon reply" "$WORK/sim.log"; check "device heard nothing" 1 $?

# Success, with a trace.
sim --expect "$WORK/DB.bin"
out=$("$FLASH" --ports "$PTY" --image "$WORK/DB.bin" --trace 2>"$WORK/trace"); check "success exits 0" 0 $?
check "success line" "Success Download!" "$(echo "$out" | tail -1)"
wait; check "simulator matched" 1 "$(grep -c 'data matches image' "$WORK/sim.log")"
check "trace shows the SYN echo" yes "$(grep -q 'D>T 53 59 4E$' "$WORK/trace" && echo yes)"
check "trace shows the beacon" yes "$(grep -q 'D>T FD$' "$WORK/trace" && echo yes)"

# A refused block: 1 and the cause.
sim --refuse 3:5 --silence-ms 500
out=$("$FLASH" --ports "$PTY" --image "$WORK/DB.bin"); check "refused block exits 1" 1 $?
check "refusal cause" "block 3 refused 5 times in a row" "$(echo "$out" | tail -1)"
wait

# Nobody on the port.
out=$("$FLASH" --quiet --ports /dev/zq-missing-port --image "$WORK/DB.bin"); check "no device exits 1" 1 $?
check "no device cause" "port /dev/zq-missing-port does not exist" "$(echo "$out" | tail -1)"

echo "$((fails == 0 ? 1 : 0)) passed, $fails failed" >/dev/null
[ "$fails" -eq 0 ]
