#!/usr/bin/env bash
# The Windows installer as a technician meets it, under wine, in a prefix of
# its own made afresh (nothing left from the other tests or a run before):
#   1. cpack makes the installer from this build; it must ask for no
#      elevation and carry the version in its version resource;
#   2. /S installs it silently: every program in one folder under the user's
#      %LOCALAPPDATA%\Programs, the two Start-menu shortcuts pointing at
#      them, the uninstaller in Add/Remove Programs under HKCU with name,
#      version and publisher;
#   3. the installed zerquill-flash.exe gives the version, and writes an
#      image made by the installed zq-mkimage.exe into the simulator on COM5,
#      recording it in a file in the same folder;
#   4. the uninstaller's /S removes the programs, the shortcuts and the
#      entry, and leaves the technician's DB.bin and record file.
#
#   wine_install.sh BUILD_DIR DEVSIM CPACK
# Exit status 77 (skipped) when the simulator has not been built.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_helpers.sh" "$@"
cpack=$3
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

# The display of the build's other wine tests; everything else is this
# test's own, its COM port too, mapped in a prefix nobody else uses.
wine_scene install-test
export WINEPREFIX="$work/prefix"

fail() {
    echo "FAIL: $*"
    for f in "$work"/cpack.log "$work"/sim.err "$work"/flash.log; do
        [ -f "$f" ] && { echo "--- $f"; tail -n 40 "$f"; }
    done
    exit 1
}

# Wine's output has CR line ends.
win() { wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }

echo "== the installer"
"$cpack" -G NSIS --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
    fail "cpack -G NSIS failed"
installer="$work/pkg/zerquill-updater-$version-windows-x64.exe"
[ -f "$installer" ] || fail "cpack made no $installer"
file -b "$installer" | grep -q 'PE32+ executable (GUI) x86-64' ||
    fail "the installer is not a 64-bit Windows program: $(file -b "$installer")"
# Wine runs every program with administrator rights, so only the manifest
# can show that the installer asks for none.
# (grep -q on a pipe would end strings early, and pipefail take that for a
# failure.)
strings "$installer" >"$work/installer.strings"
strings -el "$installer" >"$work/installer.wstrings"
grep -q 'level="asInvoker"' "$work/installer.strings" || fail "the installer's manifest asks for elevation"
resource=$(grep -A1 -x ProductVersion "$work/installer.wstrings" | tail -1)
[ "$resource" = "$version" ] || fail "the installer's version resource says '$resource', not $version"
echo "installer: $(basename "$installer"), 64-bit, asInvoker, version $version"

WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot -i failed"
localappdata=$(winepath -u "$(win cmd /c echo %LOCALAPPDATA%)")
appdata=$(winepath -u "$(win cmd /c echo %APPDATA%)")
dir="$localappdata/Programs/Zerquill Updater"
menu="$appdata/Microsoft/Windows/Start Menu/Programs"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZerquillUpdater'

echo "== silent install"
wine "$installer" /S </dev/null >/dev/null 2>&1 || fail "the installer /S exited $?"
wineserver -w >/dev/null 2>&1
programs=(ZerquillUpdater.exe ZerquillStation.exe zerquill-flash.exe zq-mkimage.exe)
for f in "${programs[@]}" README.txt Uninstall.exe; do
    [ -f "$dir/$f" ] || fail "no $f in $dir: $(ls "$dir" 2>&1 | tr '\n' ' ')"
done
echo "installed into $(winepath -w "$dir"): $(cd "$dir" && ls | tr '\n' ' ')"
for shortcut in "Zerquill Updater:ZerquillUpdater.exe" "Zerquill Station:ZerquillStation.exe"; do
    lnk="$menu/${shortcut%%:*}.lnk"
    [ -f "$lnk" ] || fail "no shortcut $lnk"
    # The target is stored name by name, the folder it starts in whole.
    target=$(strings -el "$lnk")
    { grep -qx "${shortcut#*:}" <<<"$target" && grep -qF "$(winepath -w "$dir")" <<<"$target"; } ||
        fail "$lnk does not start ${shortcut#*:} in the folder: $(tr '\n' ' ' <<<"$target")"
    echo "shortcut: $(winepath -w "$lnk") -> ${shortcut#*:}"
done
entry=$(win reg query "$key") || fail "no Add/Remove entry $key"
echo "$entry" | sed -n '/REG_/p'
value() { echo "$entry" | awk -v k="$1" '$1 == k { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'; }
[ "$(value DisplayName)" = "Zerquill Updater" ] || fail "Add/Remove name: '$(value DisplayName)'"
[ "$(value DisplayVersion)" = "$version" ] || fail "Add/Remove version: '$(value DisplayVersion)'"
[ -n "$(value Publisher)" ] || fail "Add/Remove has no publisher"
uninstaller=$(value UninstallString | tr -d '"')
[ "$(winepath -u "$uninstaller")" = "$dir/Uninstall.exe" ] || fail "Add/Remove uninstalls with '$uninstaller'"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZerquillUpdater' </dev/null >/dev/null 2>&1 &&
    fail "the installer wrote into HKLM"

echo "== the installed programs"
said=$(win "$dir/zerquill-flash.exe" --version)
[ "$said" = "zerquill-flash $version" ] || fail "installed zerquill-flash.exe --version said '$said'"
echo "$said"
win "$dir/zq-mkimage.exe" "$(winepath -w "$dir/DB.bin")" --blocks 40 --seed 22 >/dev/null
[ -s "$dir/DB.bin" ] || fail "the installed zq-mkimage.exe wrote no DB.bin"

# A second session keeps the simulator's pty open until wine has let go of
# it: a pty that closes under wine's server hangs it up, and the server
# answers with pages of its state on stderr.
"$devsim" --pace --expect "$dir/DB.bin" --sessions 2 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
pids+=("$sim_pid")
pty=$(sim_path "$work/sim.out") || fail "the simulator printed no line path"
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$pty" /f >/dev/null 2>&1
wine_reload
status=0
wine "$dir/zerquill-flash.exe" --image "$(winepath -w "$dir/DB.bin")" --log "$(winepath -w "$dir/records.jsonl")" \
    </dev/null >"$work/flash.log" 2>&1 || status=$?
tr -d '\r' <"$work/flash.log" >"$work/flash.txt"
[ "$status" -eq 0 ] || fail "the installed zerquill-flash.exe exited $status"
grep -q '^Success Download!' "$work/flash.txt" || fail "no Success Download!"
for _ in $(seq 50); do
    grep -q '^data matches image$' "$work/sim.err" && break
    sleep 0.1
done
grep -q '^data matches image$' "$work/sim.err" || fail "the simulator did not receive the image"
wine_reload
kill "$sim_pid"
grep -q '"result":"success"' "$dir/records.jsonl" || fail "no success in records.jsonl"
echo "$(grep -m1 -o 'COM[0-9]*' "$work/flash.txt"): Success Download!, the simulator received DB.bin, records.jsonl has the record"

echo "== silent uninstall"
wine "$dir/Uninstall.exe" /S </dev/null >/dev/null 2>&1 || fail "the uninstaller /S exited $?"
# It runs on from a copy of itself in %TEMP%, which frees the original to be
# deleted: wait for that copy too.
wineserver -w >/dev/null 2>&1
for _ in $(seq 50); do
    [ -f "$dir/Uninstall.exe" ] || break
    sleep 0.2
    wineserver -w >/dev/null 2>&1
done
[ -d "$dir" ] || fail "the uninstall removed the technician's DB.bin and records.jsonl with the folder"
left=$(cd "$dir" && ls | sort | tr '\n' ' ')
[ "$left" = "DB.bin records.jsonl " ] || fail "after the uninstall $dir holds: $left"
for shortcut in "Zerquill Updater" "Zerquill Station"; do
    [ ! -e "$menu/$shortcut.lnk" ] || fail "the shortcut $shortcut is still there"
done
wine reg query "$key" </dev/null >/dev/null 2>&1 && fail "the Add/Remove entry is still there"
echo "removed the programs, the shortcuts and the Add/Remove entry; left in $(winepath -w "$dir"): $left"
echo "PASS"
