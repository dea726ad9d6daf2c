#!/usr/bin/env bash
# zerquill-flash --set-latency on an FTDI adapter as the system describes it
# (a private mount namespace fakes /sys/class/tty, latency_timer 16): a user
# without the rights is told so and how, and the timer stays; as root it is
# written, what it was and is is said, with the udev rule that keeps it; a
# port whose driver shows no timer is refused by name.
#
#   set_latency.sh BUILD_DIR
# Needs root for the namespace: exit status 77 (skipped) without it.
set -euo pipefail

build=$(cd "$1" && pwd)
. "$(dirname "$0")/../helpers.sh"
in_mount_namespace set_latency "$@"

flash=$build/cli/zerquill-flash
scratch set-latency
cleanup_more() { umount -l /sys/class/tty "$work/sys" 2>/dev/null || true; }
fail() {
    echo "FAIL: $*"
    exit 1
}

fake_ftdi_sysfs "$work/sys"
timer=$ftdi_dir/latency_timer
# A CDC-ACM adapter beside it: cdc_acm shows no timer.
acm=$work/sys/devices/pci0000:00/usb1/1-2/1-2:1.0
mkdir -p "$acm/tty/ttyACM0" "$work/sys/class/ttyACM0"
ln -s "$acm" "$work/sys/class/ttyACM0/device"
# Another user follows the links into the tree.
chmod 755 "$work"

# run STATUS COMMAND...: the tool's output in $out and $err; fails unless it
# exits STATUS.
run() {
    local expected=$1 status=0
    shift
    "$@" >"$work/out" 2>"$work/err" || status=$?
    out=$(cat "$work/out")
    err=$(cat "$work/err")
    printf '$ %s\n%s\n%s\n' "${*#"$build/cli/"}" "$out" "$err"
    [ "$status" -eq "$expected" ] || fail "exit status $status, not $expected"
}
has() { grep -qxF -- "$2" <<<"$1" || fail "no line \"$2\""; }
rule='SUBSYSTEM=="usb-serial", DRIVER=="ftdi_sio", ATTR{latency_timer}="1"'

# As nobody, a sanitizer's suppressions file in the clone may not be readable
# (a clone may lie in a folder only root enters) and the sanitizer would
# refuse to start; this mode starts no thread and needs none.
run 77 env -u TSAN_OPTIONS -u ASAN_OPTIONS -u UBSAN_OPTIONS -u LSAN_OPTIONS \
    setpriv --reuid=65534 --regid=65534 --clear-groups "$flash" --set-latency /dev/ttyUSB0 1
has "$out" "/dev/ttyUSB0: latency timer 16 ms (/sys/class/tty/ttyUSB0/device/latency_timer)"
has "$err" "zerquill-flash: --set-latency: permission denied on /sys/class/tty/ttyUSB0/device/latency_timer: run it as root (sudo zerquill-flash --set-latency /dev/ttyUSB0 1), or install the udev rule below"
has "$out" "$rule"
[ "$(cat "$timer")" = 16 ] || fail "the timer changed without the rights: $(cat "$timer")"

run 0 "$flash" --set-latency /dev/ttyUSB0 1
has "$out" "/dev/ttyUSB0: latency timer 16 ms before, 1 ms after (/sys/class/tty/ttyUSB0/device/latency_timer)"
has "$out" "$rule"
[ "$(cat "$timer")" = 1 ] || fail "the timer is $(cat "$timer"), not 1"

run 0 "$flash" --set-latency ttyUSB0 1
has "$out" "ttyUSB0: latency timer 1 ms already (/sys/class/tty/ttyUSB0/device/latency_timer): nothing changed"

run 4 "$flash" --set-latency /dev/ttyACM0 1
has "$err" "zerquill-flash: --set-latency: /dev/ttyACM0 has no latency timer to set (only FTDI adapters have one; looked in /sys/class/tty/ttyACM0/device/latency_timer)"
[ -z "$out" ] || fail "a refused port printed on stdout"
[ "$(cat "$timer")" = 1 ] || fail "refusing ttyACM0 touched ttyUSB0's timer"
echo "PASS: the timer written as root only, said before and after, the udev rule printed, a port without one refused"
