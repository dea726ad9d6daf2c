#!/usr/bin/env bash
# ZerquillUpdater.exe under wine on a station locked by the policy key's
# trusted key, against the paced simulator of the Linux build on COM5:
#   1. DB.bin without a job: Start must give "Fail Download!", and the device
#      must hear nothing (its first session must be the next run's).
#   2. DB.bin of 150 blocks with its released DB.zqjob (made and signed by
#      the Linux FLASH), Start pressed RUNS times in one dialog. The device
#      refuses block 5 once: its trace of that says blocks 0 to 4 are in, and
#      DB.bin is then overwritten in place with another valid image of the
#      same length. The device must still receive the released image exactly
#      and the notice say "Success Download!": one loss fails the test.
# Screenshots of the first run go to BUILD/screenshots/locked.
#
#   wine_locked_dialog.sh BUILD_DIR DEVSIM FLASH UPDATER_EXE NOTICE_EXE RUNS
# Exit status 77 (skipped) when the Linux build is missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_helpers.sh" "$@"
. "$here/wine_dialog.sh"
flash=$3
updater=$4
notice=$5
runs=${6:-5}
wine_needs "$flash"
wine_scene wine-locked-dialog COM5
shots="$build/screenshots/locked"
app="$work/app"
mkdir -p "$app" "$shots"
rm -f "$shots"/*.png
cp "$updater" "$app/ZerquillUpdater.exe"

cd "$work"
wine_image released.bin 150 77 41
wine_image other.bin 150 77 42
engineering_key
cp released.bin "$app/DB.bin"
(cd "$app" && "$flash" --make-job DB.zqjob -i DB.bin --name lot41 --key "$work/eng.pem" >/dev/null)
mv "$app/DB.zqjob" "$app/DB.zqjob.sig" "$work/"
cp other.bin "$app/DB.bin"

"$devsim" --pace --trace --refuse 5 --expect released.bin --sessions "$runs" >sim.out 2>sim.err &
pids+=($!)
sim_pid=$!
pty=$(sim_path sim.out) || fail "the simulator printed no line path"
wine_map COM5 "$pty"
wine_trust eng.pub
wine_reload

echo "== a bare image on the locked station"
open_dialog "$app"
box=$(press_start "$dlg" 100) || fail "no notice after Start with a bare image"
text=$(notice_text)
shot 1-bare-refused
case "$text" in
"Fail Download!"*"not released"*) echo "bare image refused: ${text//$'\n'/ / }" ;;
*) fail "a bare image on a locked station gave: $text" ;;
esac
dismiss "$box" || fail "the notice did not close"
grep -q 'heard the beacon reply' sim.err && fail "the device heard from a bare image"

echo "== $runs released downloads, DB.bin overwritten in place during each"
mv "$work/DB.zqjob" "$work/DB.zqjob.sig" "$app/"
for i in $(seq 1 "$runs"); do
    cp released.bin "$app/DB.bin"
    # A click while the download runs meets a disabled button: repeating it
    # only makes up for one lost while wine was still showing the window.
    for _ in 1 2 3; do
        click_start "$dlg"
        for _ in $(seq 50); do
            [ "$(grep -c 'block 5 refused as asked' sim.err)" -ge "$i" ] && break 2
            sleep 0.05
        done
    done
    [ "$(grep -c 'block 5 refused as asked' sim.err)" -ge "$i" ] || fail "run $i: the device got no block 5"
    dd if=other.bin of="$app/DB.bin" conv=notrunc status=none
    # 144 blocks, 1.6 s at the line's pace, were still to come.
    grep -q "^session $i: " sim.err && fail "run $i: DB.bin changed only after the download had ended"
    [ "$i" -eq 1 ] && shot 2-downloading-changed
    box=$(wait_window 200 'ZerquillUpdater') || fail "run $i: no notice"
    text=$(notice_text)
    [ "$i" -eq 1 ] && shot 3-success-download
    verdict=$(session_verdict "$i")
    [ "$verdict" = "data matches image" ] ||
        fail "run $i: the device got another image (notice: $text): ${verdict:-no complete session}"
    [ "$text" = "Success Download!" ] || fail "run $i: the notice says: $text"
    echo "run $i: the released image delivered though DB.bin changed after block 4"
    dismiss "$box" || fail "the notice did not close"
done
close_dialog "$dlg" || fail "the dialog did not close"
wait_ended
status=0
wait "$sim_pid" || status=$?
[ "$status" -eq 0 ] || fail "the simulator reports status $status"
echo "PASS: a bare image refused; $runs released downloads delivered exactly though DB.bin changed during each"
