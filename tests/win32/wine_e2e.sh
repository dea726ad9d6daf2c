#!/usr/bin/env bash
# The Windows build end to end under wine, against the device simulator of
# the Linux build on a pty that wine maps to COM5:
#   1. wine_flash.exe downloads an image; the simulator must receive it exactly.
#   2. ZerquillUpdater.exe on the virtual display: Start without DB.bin gives
#      "File Open Failed"; with DB.bin beside it and the simulator on COM5 the
#      download goes through and the simulator must receive it exactly again.
#      Screenshots of each step go to BUILD/screenshots.
#
#   wine_e2e.sh BUILD_DIR DEVSIM WINE_FLASH_EXE UPDATER_EXE
# Exit status 77 (skipped) when the simulator has not been built.
set -euo pipefail

build=$(cd "$1" && pwd)
devsim=$2
flash=$3
updater=$4
here=$(cd "$(dirname "$0")" && pwd)
winerun="$here/../../cmake/wine-run.sh"

if [ ! -x "$devsim" ]; then
    echo "no device simulator at $devsim: build the linux preset first"
    exit 77
fi

"$winerun" "$build" --setup
eval "$("$winerun" "$build" --env)"

work="$build/e2e"
shots="$build/screenshots"
rm -rf "$work"
mkdir -p "$work/noimage" "$work/withimage" "$shots"
rm -f "$shots"/*.png

sim_pid=
app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    wine reg delete 'HKLM\Software\Wine\Ports' /v COM5 /f >/dev/null 2>&1 || true
    wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    import -window root "$shots/failure.png" 2>/dev/null && echo "screen at the failure: $shots/failure.png"
    echo "--- windows"
    xdotool search --name '.' 2>/dev/null | while read -r id; do
        echo "$id $(xdotool getwindowname "$id" 2>/dev/null)"
    done
    echo "--- wine processes"
    ps -eo pid,stat,etime,args | grep -i '[.]exe' || true
    for f in "$work"/sim.out "$work"/sim.err "$work"/app.log; do
        [ -f "$f" ] && { echo "--- $f"; cat "$f"; }
    done
    exit 1
}

# Waits up to $1 tenths of a second for a window whose whole name is $2;
# prints its id.
wait_window() {
    local tries=$1 name=$2 id
    for _ in $(seq "$tries"); do
        id=$(xdotool search --name "^${name}\$" 2>/dev/null | head -1 || true)
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

wait_gone() {
    local tries=$1 name=$2
    for _ in $(seq "$tries"); do
        xdotool search --name "^${name}\$" >/dev/null 2>&1 || return 0
        sleep 0.1
    done
    return 1
}

shot() {
    # The dialog sits in the top left corner and its notices in the middle
    # of the 1024 x 768 desktop: this part of the screen holds both.
    sleep 0.3
    import -window root -crop 640x460+0+0 +repage "$shots/$1.png"
    echo "screenshot $shots/$1.png"
}

# Clicks at x y inside the window (its caption is at the top).
click_in() {
    xdotool mousemove --window "$1" "$2" "$3" click 1
}

# Clicks at x y in window $1 until no window named $4 is left, three times
# at most.
click_until_gone() {
    local id=$1 x=$2 y=$3 name=$4
    for _ in 1 2 3; do
        click_in "$id" "$x" "$y" 2>/dev/null || true
        wait_gone 30 "$name" && return 0
    done
    return 1
}

# Answers notice $1 with its OK button, centred at the bottom.
dismiss() {
    eval "$(xdotool getwindowgeometry --shell "$1")"
    click_until_gone "$1" $((WIDTH / 2)) $((HEIGHT - 26)) 'ZerquillUpdater'
}

# Closes dialog $1 with the close box at the right end of its caption.
close_dialog() {
    eval "$(xdotool getwindowgeometry --shell "$1")"
    click_until_gone "$1" $((WIDTH - 12)) 10 'ZerquillAv1\.00'
}

# The program ends with its dialog.
wait_ended() {
    for _ in $(seq 50); do
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$app_pid" 2>/dev/null && fail "the program did not end with its dialog"
    wait "$app_pid" || true
    app_pid=
}

# Presses Start in dialog $1 and waits up to $2 tenths of a second for the
# notice; prints its id. A click that lands while wine is still showing the
# window is lost, so it is tried again; a second click during a download
# meets a disabled button and does nothing.
press_start() {
    local dlg=$1 tries=$2 box
    eval "$(xdotool getwindowgeometry --shell "$dlg")"
    # Start is centred across the dialog, 25 of the client area's 61 dialog
    # units down; the client area lies below the caption.
    local x=$((WIDTH / 2)) y=$((HEIGHT - (HEIGHT - 22) * 36 / 61 - 4))
    for _ in 1 2 3; do
        click_in "$dlg" "$x" "$y"
        box=$(wait_window "$tries" 'ZerquillUpdater') && {
            echo "$box"
            return 0
        }
    done
    return 1
}

# An image with header word 3, 300 data blocks and a short tail.
python3 - "$work/DB.bin" <<'PY'
import random, struct, sys
rng = random.Random(20261207)
blocks, tail = 300, 77
data = bytearray(rng.getrandbits(8) for _ in range(65536 + 128 * blocks + tail))
data[0:2] = struct.pack("<H", 3)
data[2:6] = b"SDDB"
open(sys.argv[1], "wb").write(data)
PY

# One simulator for both downloads: the console driver's and the dialog's,
# at the line's own pace so that the dialog can be seen mid-download
# (300 blocks take about 3.4 s at 115200).
"$devsim" --pace --expect "$work/DB.bin" --sessions 2 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 50); do
    [ -s "$work/sim.out" ] && break
    sleep 0.1
done
pty=$(head -1 "$work/sim.out")
case "$pty" in
/dev/*) ;;
*) fail "the simulator printed no line path" ;;
esac
echo "simulator on $pty"

# Wine reads its port map when its server starts.
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$pty" /f >/dev/null
wineserver -k || true
wineserver -w || true
wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' | grep -q 'COM5' || fail "wine does not list COM5"

echo "== console download"
wine "$flash" "$(winepath -w "$work/DB.bin")" </dev/null >"$work/flash.log" 2>&1 || {
    cat "$work/flash.log"
    fail "wine_flash did not succeed"
}
# The console writes CR LF.
tr -d '\r' <"$work/flash.log" >"$work/flash.txt" && mv "$work/flash.txt" "$work/flash.log"
cat "$work/flash.log"
grep -q '^notice: Success Download!$' "$work/flash.log" || fail "no success notice"
grep -q '^port COM5,' "$work/flash.log" || fail "not found on COM5"

echo "== dialog, no image"
cp "$updater" "$work/noimage/ZerquillUpdater.exe"
wine "$work/noimage/ZerquillUpdater.exe" </dev/null >"$work/app.log" 2>&1 &
app_pid=$!
dlg=$(wait_window 300 'ZerquillAv1\.00') || fail "the dialog did not appear"
shot 1-dialog
box=$(press_start "$dlg" 50) || fail "no notice after Start without DB.bin"
shot 2-file-open-failed
dismiss "$box" || fail "the notice did not close"
shot 3-after-notice
close_dialog "$dlg" || fail "the dialog did not close"
wait_ended

echo "== dialog, image and device"
cp "$updater" "$work/withimage/ZerquillUpdater.exe"
cp "$work/DB.bin" "$work/withimage/DB.bin"
wine "$work/withimage/ZerquillUpdater.exe" </dev/null >"$work/app.log" 2>&1 &
app_pid=$!
dlg=$(wait_window 300 'ZerquillAv1\.00') || fail "the dialog did not appear"
sleep 0.5
# The paced download takes some 4 s after discovery; a picture half-way.
( sleep 2.5 && shot 4-downloading ) &
shot_pid=$!
box=$(press_start "$dlg" 200) || fail "no notice after the download"
wait "$shot_pid" || true
shot 5-success-download
dismiss "$box" || fail "the notice did not close"
close_dialog "$dlg" || fail "the dialog did not close"
wait_ended

sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=
cat "$work/sim.err"
[ "$sim_status" -eq 0 ] || fail "the simulator reports status $sim_status"
[ "$(grep -c '^data matches image$' "$work/sim.err" "$work/sim.out" | awk -F: '{s += $2} END {print s}')" -eq 2 ] ||
    fail "the simulator did not receive the image twice"
echo "PASS: both downloads delivered the image exactly"
