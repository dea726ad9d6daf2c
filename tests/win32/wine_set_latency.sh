#!/usr/bin/env bash
# zerquill-flash.exe --set-latency under wine, against FTDI adapters' keys
# made by hand as FTDI's driver lays them out (wine has no FTDIBUS devices):
# COM7's LatencyTimer goes from 16 to 1 and the other adapter's key, listed
# before it, keeps its 16; a second run changes nothing; a port without a
# key is refused by name (4); 300 ms is wrong usage (64). Wine runs programs
# as administrator: the refusal without rights cannot be seen here.
#
#   wine_set_latency.sh BUILD_DIR DEVSIM FLASH_EXE
# Prints `reg query` of COM7's key before and after. Exit status 77
# (skipped) when the Linux helpers have not been built.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_helpers.sh" "$@"
flash=$3
wine_scene set-latency
fail() {
    echo "FAIL: $*"
    exit 1
}

bus='HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS'
com7="$bus\\VID_0403+PID_6001+A1B2C3\\0000\\Device Parameters"
# Enumerated first: a tool that took the first FTDI key would write this one.
com9="$bus\\VID_0403+PID_6001+0A0B0C\\0000\\Device Parameters"
made_bus=
wine reg query "$bus" >/dev/null 2>&1 || made_bus=1
wine_cleanup_more() {
    if [ -n "$made_bus" ]; then
        wine reg delete "$bus" /f >/dev/null 2>&1 || true
    else
        wine reg delete "$bus\\VID_0403+PID_6001+A1B2C3" /f >/dev/null 2>&1 || true
        wine reg delete "$bus\\VID_0403+PID_6001+0A0B0C" /f >/dev/null 2>&1 || true
    fi
}
for adapter in "$com7 COM7" "$com9 COM9"; do
    wine reg add "${adapter% *}" /v PortName /d "${adapter##* }" /f >/dev/null
    wine reg add "${adapter% *}" /v LatencyTimer /t REG_DWORD /d 16 /f >/dev/null
done
timer() { wine reg query "$1" /v LatencyTimer | tr -d '\r' | awk '$1 == "LatencyTimer" { print $3 }'; }

# run STATUS ARG...: the tool's output in $out and $err; fails unless it
# exits STATUS.
run() {
    local expected=$1 status=0
    shift
    wine "$flash" "$@" </dev/null >"$work/out" 2>"$work/err" || status=$?
    out=$(tr -d '\r' <"$work/out")
    err=$(tr -d '\r' <"$work/err")
    printf '$ zerquill-flash %s\n%s\n%s\n' "$*" "$out" "$err"
    [ "$status" -eq "$expected" ] || fail "exit status $status, not $expected"
}
has() { grep -qxF -- "$2" <<<"$1" || fail "no line \"$2\""; }

echo "--- before"
wine reg query "$com7" | tr -d '\r' | tee "$work/before.txt"
run 0 --set-latency COM7 1
has "$out" "COM7: latency timer 16 ms before, 1 ms after (HKLM\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+A1B2C3\\0000\\Device Parameters)"
has "$out" "the adapter could not be restarted: unplug it and plug it in again, and its driver reads the new timer as it starts"
echo "--- after"
wine reg query "$com7" | tr -d '\r' | tee "$work/after.txt"
[ "$(timer "$com7")" = 0x1 ] || fail "COM7's LatencyTimer is $(timer "$com7"), not 0x1"
[ "$(timer "$com9")" = 0x10 ] || fail "the other adapter's LatencyTimer became $(timer "$com9")"

run 0 --set-latency com7 1
has "$out" "com7: latency timer 1 ms already (HKLM\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+A1B2C3\\0000\\Device Parameters): nothing changed"

run 4 --set-latency COM5 1
has "$err" "zerquill-flash: --set-latency: COM5 has no latency timer to set (only FTDI adapters have one; looked in HKLM\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS)"

run 64 --set-latency COM9 300
[ "$(timer "$com9")" = 0x10 ] || fail "300 ms changed COM9's timer to $(timer "$com9")"
echo "PASS: COM7's timer set to 1 and no other key touched; a port without a key refused, 300 ms refused"
