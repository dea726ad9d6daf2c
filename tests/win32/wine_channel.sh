#!/usr/bin/env bash
# A release channel in a folder (Z:, as a share is) followed by
# zerquill-flash.exe under wine: the channel written by the .exe itself
# (CNG's signatures), then five downloads onto the simulator on COM8, each
# the release in force, which changes between the third and the fourth;
# every one must write exactly its release's image. A channel signed by
# another root is refused with exit 7 and sends nothing.
#
#   wine_channel.sh BUILD_DIR DEVSIM FLASH_EXE
# Exit status 77 (skipped) when the simulator has not been built.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_helpers.sh" "$@"
devsim=$(readlink -f "$devsim")
flash=$(readlink -f "$3")
wine_scene wine-channel COM8
fail() {
    echo "FAIL: $*"
    for f in "$work"/*.txt "$work"/sim*.log; do [ -f "$f" ] && { echo "--- $f"; tail -n 20 "$f"; }; done
    exit 1
}
run() { wine_flash "$@"; }
win() { wine_path "$@"; }
key() {
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.pem" 2>/dev/null
    openssl pkey -in "$1.pem" -pubout -out "$1.pub"
}

cd "$work"
for k in root release online other other-release other-online; do key "$k"; done
wine_image v1.bin 10 0 20261301 5
wine_image v2.bin 12 0 20261302 6
run init --channel-init "$(win channel)" --root-key "$(win root.pem)" --release-key "$(win release.pub)" \
    --online-key "$(win online.pub)"
[ "$rc" -eq 0 ] || fail "--channel-init exited $rc"
publish() {
    run "make-$1" --make-job "$(win "$1.zqjob")" -i "$(win "$1.bin")" --name "$1"
    [ "$rc" -eq 0 ] || fail "--make-job $1 exited $rc"
    run "publish-$1" --publish "$(win channel)" --job "$(win "$1.zqjob")" --release-key "$(win release.pem)" \
        --online-key "$(win online.pem)"
    [ "$rc" -eq 0 ] || fail "--publish $1 exited $rc"
}
publish v1

for i in 1 2 3 4 5; do
    [ "$i" -eq 4 ] && publish v2
    want=v1.bin
    [ "$i" -ge 4 ] && want=v2.bin
    start "$work/sim$i" "$devsim" --sessions 1 --expect "$work/$want" --silence-ms 2000
    wine_map COM8 "$line"
    wine_reload
    run "flash$i" --channel "$(win channel)" --channel-root "$(win channel/1.root.json)" \
        --channel-state "$(win state)" --ports COM8 -q
    [ "$rc" -eq 0 ] || fail "download $i exited $rc"
    for _ in $(seq 100); do
        grep -q 'data matches image' "sim$i.log" && break
        sleep 0.05
    done
    grep -q 'data matches image' "sim$i.log" || fail "download $i did not write $want"
done

# Another root, whose keys signed none of the channel: nothing confirmed,
# nothing sent.
run init-other --channel-init "$(win foreign)" --root-key "$(win other.pem)" --release-key "$(win other-release.pub)" \
    --online-key "$(win other-online.pub)"
start "$work/sim6" "$devsim" --sessions 1 --silence-ms 2000
wine_map COM8 "$line"
wine_reload
run foreign --channel "$(win channel)" --channel-root "$(win foreign/1.root.json)" --channel-state "$(win state6)" \
    --ports COM8 -q
[ "$rc" -eq 7 ] || fail "a channel under another root was followed ($rc)"
grep -q 'cannot be confirmed' foreign.txt || fail "no reason: $(cat foreign.txt)"
echo "wine_channel: 5 of 5 downloads wrote the release in force (v1, v1, v1, v2, v2); another root refused"
