#!/usr/bin/env bash
# A whole download against the device simulator on a pseudo-terminal, at the
# line's real pace: writes a sample image, starts the simulator, points
# zerquill-flash at its line and checks that the device got the image's data.
#   tools/demo.sh BUILD_DIR     the programs of that build
#   tools/demo.sh --installed   the programs on the PATH (an installed package)
set -euo pipefail

where=${1:?usage: tools/demo.sh BUILD_DIR | --installed}
if [ "$where" = --installed ]; then
    for name in zerquill-flash zq-mkimage zerquill-devsim; do
        command -v "$name" >/dev/null || { echo "demo: $name is not on the PATH" >&2; exit 1; }
    done
    flash=$(command -v zerquill-flash)
    mkimage=$(command -v zq-mkimage)
    devsim=$(command -v zerquill-devsim)
    echo "demo: the installed $flash, $mkimage and $devsim"
else
    flash=$where/cli/zerquill-flash
    mkimage=$where/cli/zq-mkimage
    devsim=$where/devsim/zerquill-devsim
fi
for exe in "$flash" "$mkimage" "$devsim"; do
    [ -x "$exe" ] || { echo "demo: $exe not built" >&2; exit 1; }
done

work=$(mktemp -d /tmp/zq-demo-XXXXXX)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

image=$work/DB.bin
made=$("$mkimage" "$image" --blocks 256 --seed 7)
echo "demo: sample image: $made"

# The simulator prints its line's path first; the rest of what it says is for
# after the download.
mkfifo "$work/line"
"$devsim" --pace --expect "$image" >"$work/line" 2>"$work/devsim.log" &
sim_pid=$!
exec 3<"$work/line"
if ! read -r -t 10 pty <&3; then
    echo "demo: the simulator did not start" >&2
    cat "$work/devsim.log" >&2
    exit 1
fi
echo "demo: simulated device on $pty (paced at 4800 and 115200 bit/s)"
echo

status=0
"$flash" --ports "$pty" --image "$image" || status=$?

sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=
exec 3<&-
echo
echo "demo: the simulator says:"
sed 's/^/  /' "$work/devsim.log"

if [ "$status" -ne 0 ]; then
    echo "demo: zerquill-flash failed (exit status $status)" >&2
    exit 1
fi
if [ "$sim_status" -ne 0 ] || ! grep -q "data matches image" "$work/devsim.log"; then
    echo "demo: the device did not receive the image's data (simulator exit status $sim_status)" >&2
    exit 1
fi
echo "demo: OK, the device received exactly the image's data area"
