#!/usr/bin/env bash
# An FTDI adapter whose driver keeps its 16 ms latency timer, as the system's
# port list sees it: in a private mount namespace a tmpfs over
# /sys/class/tty describes ttyUSB0 (ftdi_sio, 0403:6001, latency_timer 16),
# and /dev/ttyUSB0 is a relay that holds bytes back 16 ms in front of a
# simulator that beacons every 10 ms. Without --ports the tool must find the
# port in the list, name the timer before the download (port, adapter,
# timer, driver, the fix ending with the command that sets it), write the
# image, and record latency_ms; the port list must show the timer.
#
#   fake_adapter.sh BUILD_DIR [RUNS]
# Needs root for the namespace: exit status 77 (skipped) without it.
set -euo pipefail

build=$(cd "$1" && pwd)
runs=${2:-3}
. "$(dirname "$0")/../helpers.sh"
in_mount_namespace fake_adapter "$@"

flash=$build/cli/zerquill-flash
mkimage=$build/cli/zq-mkimage
devsim=$build/devsim/zerquill-devsim
relay=$build/bench/zq-relay
scratch fake
cleanup_more() { umount -l /sys/class/tty "$work/sys" 2>/dev/null || true; }
fail() {
    echo "FAIL: $*"
    exit 1
}

image=$work/DB.bin
"$mkimage" "$image" --blocks 16 --seed 21 >/dev/null
start "$work/dev" "$devsim" --sessions "$runs" --beacon-ms 10 --expect "$image" --silence-ms 2000 --no-speed-check
start "$work/relay" "$relay" --follow --latency-us 16000 --connect "$line"
pty=$line

fake_ftdi_sysfs "$work/sys"

# A /dev of our own, holding what the programs need and ttyUSB0.
newdev=$work/dev.d
mkdir -p "$newdev"
mount -t tmpfs zq-dev "$newdev"
for node in null zero tty urandom; do
    touch "$newdev/$node"
    mount --bind "/dev/$node" "$newdev/$node"
done
mkdir -p "$newdev/pts"
mount --bind /dev/pts "$newdev/pts"
ln -s pts/ptmx "$newdev/ptmx"
touch "$newdev/ttyUSB0"
mount --bind "$pty" "$newdev/ttyUSB0"
mount --move "$newdev" /dev

list=$("$flash" --list-ports)
echo "$list"
echo "$list" | grep -q '^/dev/ttyUSB0 .*0403:6001 .*A10KX7Q2 .* 16 ms ' || fail "the port list does not show the timer"

for i in $(seq "$runs"); do
    "$flash" --image "$image" --log "$work/rec.jsonl" >"$work/out$i" 2>"$work/err$i" ||
        fail "download $i: $(cat "$work/err$i")"
done
hint=$(grep '^hint: /dev/ttyUSB0' "$work/err1" || true)
echo "$hint"
for word in "FTDI FT232R USB UART" "0403:6001" "16 ms" "ftdi_sio driver" "/sys/class/tty/ttyUSB0/device/latency_timer"; do
    case $hint in *"$word"*) ;; *) fail "the hint does not name $word: ${hint:-no hint}" ;; esac
done
# The command that sets it ends the line, so that it can be copied whole.
case $hint in *": sudo zerquill-flash --set-latency /dev/ttyUSB0 1") ;; *) fail "the hint does not end with the command: $hint" ;; esac
grep -q '^hint: the data went at' "$work/err1" && fail "the timer was told; the after-the-fact hint must not repeat it"
[ "$(grep -c '"latency_ms":16' "$work/rec.jsonl")" -eq "$runs" ] || fail "records without latency_ms: $(cat "$work/rec.jsonl")"
echo "PASS: $runs downloads through ttyUSB0 behind a 16 ms timer, each told before it ran"
