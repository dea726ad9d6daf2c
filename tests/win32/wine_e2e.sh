#!/usr/bin/env bash
# The Windows build end to end under wine, against the device simulator of
# the Linux build on a pty that wine maps to COM5, at the line's own pace:
#   1. zerquill-flash.exe downloads RUNS times in a row, finding COM5 in the
#      registry as the dialog does.
#   2. ZerquillUpdater.exe on the virtual display: Start without DB.bin gives
#      "File Open Failed"; then, with DB.bin beside it and the simulator on
#      COM5, Start is pressed RUNS times in one dialog. During the run of the
#      250-block image the close box is clicked: the dialog must ask, and
#      Enter there (No) must leave the download to deliver its image.
# The images' block counts (low byte 0x08, 0x40, 0xFA, 0x28, 0x61) differ
# from every protocol byte, so a byte lost or taken for another shows. The
# simulator must receive every image exactly: one loss fails the test, with
# both sides' transcripts. Screenshots of the first dialog run go to
# BUILD/screenshots.
#   3. zerquill-flash.exe --all three times over the registry's list, with a
#      second simulator on COM7: both devices are flashed at once and COM6
#      hears nothing.
# Before them, FLIGHT_EXE writes through the link to COM6, a pty nobody reads
# until the end, purging and reopening as a download does: every byte must
# arrive. COM6 then stays listed as a silent port that every discovery
# listens to beside COM5, and must receive nothing more.
#
#   wine_e2e.sh BUILD_DIR DEVSIM FLASH_EXE UPDATER_EXE RUNS FLIGHT_EXE
# Exit status 77 (skipped) when the simulator has not been built.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_helpers.sh" "$@"
flash=$3
updater=$4
runs=${5:-10}
flight=$6
. "$here/wine_dialog.sh"
wine_scene e2e COM5 COM6 COM7
shots="$build/screenshots"
mkdir -p "$work/noimage" "$work/withimage" "$shots"
rm -f "$shots"/*.png

# Clicks the close box of dialog $1 during a download: a question must come
# up; Enter answers it (No is its default) and it must go. Pictured as
# close-question.
refuse_close() {
    eval "$(xdotool getwindowgeometry --shell "$1")"
    click_in "$1" $((WIDTH - 12)) 10
    wait_window 50 'ZerquillUpdater' >/dev/null || return 1
    shot close-question
    xdotool key Return
    wait_gone 50 'ZerquillUpdater'
}

# Images with header word 3 and a short tail; their block counts' low bytes
# are no protocol byte.
counts=(8 64 250 40 97)
for n in "${counts[@]}"; do wine_image "$work/DB$n.bin" "$n"; done
# Session k of the simulator (from 1) expects image (k - 1) mod 5: run i of
# either front end uses image i mod 5, and the dialog's runs follow the
# console's.
image_of() { echo "$work/DB${counts[$(($1 % ${#counts[@]}))]}.bin"; }
expects=()
for n in "${counts[@]}"; do expects+=(--expect "$work/DB$n.bin"); done

station_runs=3
"$devsim" --pace --read-lag "${ZQ_READ_LAG_MS:-3}" --trace "${expects[@]}" --sessions $((2 * runs + station_runs)) >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
pids+=("$sim_pid")
pty=$(sim_path "$work/sim.out") || fail "the simulator printed no line path"
echo "simulator on $pty"

# COM7: the second device of the station runs, given the same image as
# COM5 in each.
expects2=()
for j in $(seq 0 $((station_runs - 1))); do expects2+=(--expect "$(image_of $((2 * runs + j)))"); done
"$devsim" --pace --read-lag "${ZQ_READ_LAG_MS:-3}" "${expects2[@]}" --sessions "$station_runs" \
    >"$work/sim2.out" 2>"$work/sim2.err" &
sim2_pid=$!
pids+=("$sim2_pid")
pty2=$(sim_path "$work/sim2.out") || fail "the second simulator printed no line path"

# COM6: a pty whose master reads nothing until told to count what came.
python3 - "$work/flight" <<'PY' &
import os, sys, time, tty
m, s = os.openpty()
tty.setraw(s)
with open(sys.argv[1] + ".path", "w") as f:
    f.write(os.ttyname(s) + "\n")
while not os.path.exists(sys.argv[1] + ".done"):
    time.sleep(0.05)
os.set_blocking(m, False)
n = 0
try:
    while True:
        b = os.read(m, 4096)
        if not b:
            break
        n += len(b)
except OSError:
    pass
with open(sys.argv[1] + ".count", "w") as f:
    f.write("%d\n" % n)
PY
pids+=($!)
await_file "$work/flight.path" || fail "no pty for COM6"

wine_map COM5 "$pty"
wine_map COM6 "$(cat "$work/flight.path")"
wine_map COM7 "$pty2"
wine_reload
wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' | grep -q 'COM5' || fail "wine does not list COM5"

echo "== bytes in flight: writes, purges and reopens on COM6, read only at the end"
written=$(wine "$flight" COM6 20 </dev/null 2>&1 | tr -d '\r') || fail "win_flight failed: $written"
[ "$written" = 120 ] || fail "win_flight wrote $written bytes, not 120"

sessions=0
losses=0
# Waits for the simulator's report of its next session and judges it: the
# session completed and its data matched the image. $1 names the run.
judge_session() {
    local what=$1 line
    sessions=$((sessions + 1))
    line=$(session_verdict "$sessions")
    if [ "$line" = "data matches image" ]; then
        return 0
    fi
    losses=$((losses + 1))
    echo "LOSS in $what (simulator session $sessions): ${line:-no complete session}"
    echo "--- the device's side of that session"
    awk -v k="session $sessions: " -v p="session $((sessions - 1)): " \
        'index($0, p) == 1 {on = 1; next} on {print} index($0, k) == 1 {exit}' "$work/sim.err" | tail -n 40
    return 1
}

echo "== console: $runs downloads with zerquill-flash.exe"
for i in $(seq 0 $((runs - 1))); do
    img=$(image_of "$i")
    status=0
    wine "$flash" --trace --image "$(winepath -w "$img")" </dev/null >"$work/flash.log" 2>&1 || status=$?
    tr -d '\r' <"$work/flash.log" >"$work/flash$i.log"
    if judge_session "console run $i ($(basename "$img"))" && [ "$status" -eq 0 ] &&
        grep -q '^Success Download!$' "$work/flash$i.log"; then
        echo "console run $i: $(basename "$img") written"
    else
        [ "$status" -eq 0 ] || losses=$((losses + 1))
        echo "--- the tool's side (exit status $status)"
        tail -n 40 "$work/flash$i.log"
    fi
done
grep -q 'COM5' "$work/flash0.log" || fail "zerquill-flash.exe did not find the device on COM5"

echo "== dialog, no image"
cp "$updater" "$work/noimage/ZerquillUpdater.exe"
open_dialog "$work/noimage"
shot 1-dialog
box=$(press_start "$dlg" 50) || fail "no notice after Start without DB.bin"
shot 2-file-open-failed
dismiss "$box" || fail "the notice did not close"
shot 3-after-notice
close_dialog "$dlg" || fail "the dialog did not close"
wait_ended

echo "== dialog: $runs downloads, Start pressed again after each notice"
cp "$updater" "$work/withimage/ZerquillUpdater.exe"
open_dialog "$work/withimage"
sleep 0.5
for i in $(seq 0 $((runs - 1))); do
    img=$(image_of $((runs + i)))
    # The dialog closes the image after each download: the next one may differ.
    cp "$img" "$work/withimage/DB.bin"
    shot_pid=
    pictures=
    if [ "$img" = "$work/DB250.bin" ] && [ ! -f "$shots/4-downloading.png" ]; then
        # The 250-block image: a picture half-way through its 2.9 s.
        pictures=1
        ( sleep 2.5 && shot 4-downloading ) &
        shot_pid=$!
    fi
    if [ -n "$pictures" ]; then
        # A Start click is not lost once the dialog has served a download.
        click_start "$dlg"
        sleep 1
        refuse_close "$dlg" || fail "the close box during a download asked nothing, or the question stayed"
        box=$(wait_window 200 'ZerquillUpdater') || fail "no notice after the refused close"
    else
        box=$(press_start "$dlg" 200) || fail "no notice after dialog run $i"
    fi
    [ -n "$shot_pid" ] && { wait "$shot_pid" || true; }
    [ -n "$pictures" ] && shot 5-success-download
    if judge_session "dialog run $i ($(basename "$img"))"; then
        echo "dialog run $i: $(basename "$img") written"
    else
        show_state
    fi
    dismiss "$box" || fail "the notice did not close"
done
close_dialog "$dlg" || fail "the dialog did not close"
wait_ended

echo "== station: $station_runs runs of zerquill-flash.exe --all over COM5, COM6 (silent) and COM7"
for j in $(seq 0 $((station_runs - 1))); do
    img=$(image_of $((2 * runs + j)))
    status=0
    wine "$flash" --all --image "$(winepath -w "$img")" </dev/null >"$work/all.log" 2>&1 || status=$?
    tr -d '\r' <"$work/all.log" >"$work/all$j.log"
    ok=1
    judge_session "station run $j on COM5 ($(basename "$img"))" || ok=
    grep -q '^COM5: Success Download!' "$work/all$j.log" || ok=
    grep -q '^COM7: Success Download!' "$work/all$j.log" || ok=
    grep -q '^2 devices: 2 written, 0 failed$' "$work/all$j.log" || ok=
    # At once: both downloads began before either ended.
    first_result=$(grep -n 'Download!' "$work/all$j.log" | head -1 | cut -d: -f1)
    found=$(head -n "${first_result:-0}" "$work/all$j.log" | grep -c ': device found$' || true)
    [ "$found" = 2 ] || ok=
    [ "$status" -eq 0 ] || ok=
    if [ -n "$ok" ]; then
        echo "station run $j: COM5 and COM7 written at once"
    else
        losses=$((losses + 1))
        echo "LOSS in station run $j (exit status $status, $found downloads under way before the first ended)"
        cat "$work/all$j.log"
    fi
done
sim2_status=0
wait "$sim2_pid" || sim2_status=$?
matched=$(grep -c '^data matches image$' "$work/sim2.err" || true)
echo "COM7: $matched of $station_runs sessions matched their image"
if [ "$matched" != "$station_runs" ] || [ "$sim2_status" -ne 0 ]; then
    losses=$((losses + 1))
    tail -n 40 "$work/sim2.err"
fi

touch "$work/flight.done"
await_file "$work/flight.count" || true
arrived=$(cat "$work/flight.count" 2>/dev/null || echo none)
echo "COM6: written 120, arrived $arrived"
[ "$arrived" = 120 ] ||
    fail "COM6 got $arrived bytes: written ones thrown away, or discovery wrote to a silent port"

sim_status=0
wait "$sim_pid" || sim_status=$?
grep -E '^(speed errors|  )' "$work/sim.err" | grep -i speed || true
[ "$losses" -eq 0 ] || fail "$losses of $((2 * runs + station_runs)) runs lost"
[ "$sim_status" -eq 0 ] || fail "the simulator reports status $sim_status"
echo "PASS: $((2 * runs)) downloads (console and dialog) and $station_runs station runs delivered their images exactly"
