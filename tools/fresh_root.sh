#!/usr/bin/env bash
# The README's first command on a machine that has nothing: a minimal
# Debian root (mmdebstrap's minbase), a clean clone of this checkout's HEAD
# inside it, and `./run demo` as the README gives it, as root. A machine
# that already has the packages cannot show one missing from
# .ci/packages-demo; this one can.
#   tools/fresh_root.sh [SUITE]   SUITE: bookworm unless named
# Prints the demo's wall time (packages included) and its build's CPU
# seconds, summed from .ninja_log; fails when the demo prints no OK, or when
# the build takes more than ZQ_DEMO_BUILD_CPU_S (90) CPU seconds.
# Needs root, mmdebstrap and the Debian mirror.
set -euo pipefail
cd "$(dirname "$0")/.."
suite=${1:-bookworm}
limit=${ZQ_DEMO_BUILD_CPU_S:-90}
mirror=${ZQ_DEBIAN_MIRROR:-http://deb.debian.org/debian}

[ "$(id -u)" -eq 0 ] || { echo "fresh_root: needs root (chroot, mounts)" >&2; exit 1; }
root=$(mktemp -d /tmp/zq-fresh-root-XXXXXX)
mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -l "${mounted[i]}" 2>/dev/null || true
    done
    rm -rf --one-file-system "$root"
}
trap cleanup EXIT

mmdebstrap --quiet --variant=minbase --mode=root "$suite" "$root" \
    "deb $mirror $suite main" "deb $mirror $suite-updates main" \
    "deb ${mirror%/debian}/debian-security $suite-security main"
# The pty the simulator opens, and /proc for what the tools read of it.
for dir in /dev /dev/pts /proc; do
    mkdir -p "$root$dir"
    mount --bind "$dir" "$root$dir"
    mounted+=("$root$dir")
done
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
git clone --quiet --no-hardlinks "file://$PWD" "$root/src"

start=$(date +%s.%N)
chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    /bin/bash -c 'cd /src && ./run demo' | tee "$root/demo.out"
wall=$(awk -v from="$start" -v to="$(date +%s.%N)" 'BEGIN { print to - from }')
cpu=$(awk 'NR > 1 { s += ($2 - $1) / 1000 } END { printf "%.1f", s }' "$root/src/build/cli/.ninja_log")
printf 'fresh_root: ./run demo in a minimal %s root: %.0f s wall, packages included; build %s CPU-s (.ninja_log)\n' \
    "$suite" "$wall" "$cpu"
grep -q '^demo: OK' "$root/demo.out" || { echo "fresh_root: the demo printed no OK" >&2; exit 1; }
awk -v cpu="$cpu" -v limit="$limit" 'BEGIN { exit !(cpu <= limit) }' ||
    { echo "fresh_root: the build took $cpu CPU-s, over $limit" >&2; exit 1; }
