#!/usr/bin/env bash
# A station whose administrator installed a trusted key, in a private mount
# namespace (lock_station in helpers.sh). The station must refuse a bare
# image (6) and --trust (64), also to a user who may not read the store (6,
# with the store's error), still --check an image, refuse an unsigned job
# (6), and run the released job, recording openssl's fingerprint of the key
# as signed_by. The device must get the image only from the released run.
#
#   locked_station.sh BUILD_DIR
# Needs root for the namespace: exit status 77 (skipped) without it.
set -euo pipefail

build=$(cd "$1" && pwd)
. "$(dirname "$0")/../helpers.sh"
in_mount_namespace locked_station "$@"

flash=$build/cli/zerquill-flash
mkimage=$build/cli/zq-mkimage
devsim=$build/devsim/zerquill-devsim
scratch locked
cleanup_more() { unlock_station; }
fail() {
    echo "FAIL: $*"
    exit 1
}

cd "$work"
"$mkimage" DB.bin --blocks 16 --seed 25 >/dev/null
engineering_key
fingerprint=$(openssl pkey -pubin -in eng.pub -outform DER | sha256sum | cut -c1-64)
"$flash" --make-job released.zqjob -i DB.bin --name lot25 --key eng.pem >/dev/null
"$flash" --make-job unsigned.zqjob -i DB.bin --name lot26 >/dev/null

lock_station eng.pub

# One session: only the released run may reach the device.
start "$work/dev" "$devsim" --sessions 1 --expect DB.bin --silence-ms 2000
pty=$line

# As the unprivileged operator; a sanitizer's suppressions file may be
# unreadable to it, and the refusal starts no thread.
as_nobody() {
    env -u TSAN_OPTIONS -u ASAN_OPTIONS -u UBSAN_OPTIONS -u LSAN_OPTIONS \
        setpriv --reuid=65534 --regid=65534 --clear-groups "$@"
}
expect_refusal() {
    local want=$1 text=$2
    shift 2
    set +e
    ${as:-} "$flash" "$@" >out 2>err
    local rc=$?
    set -e
    [ "$rc" -eq "$want" ] || fail "$* exited $rc, not $want: $(cat err)"
    grep -qF "$text" err || fail "$*: no \"$text\" in: $(cat err)"
}
expect_refusal 6 "runs released jobs only" -i DB.bin --ports "$pty"
expect_refusal 6 "runs released jobs only" --all --ports "$pty"
expect_refusal 64 "this station trusts only the keys its administrator installed" \
    --job released.zqjob --trust eng.pub --ports "$pty"
expect_refusal 6 "it has no signature" --job unsigned.zqjob --ports "$pty"
# A store this user may not read locks as one that holds a key.
chmod 700 /etc/zerquill/trusted
as=as_nobody expect_refusal 6 "runs released jobs only (cannot read /etc/zerquill/trusted: Permission denied)" \
    -i DB.bin --ports "$pty"
chmod 755 /etc/zerquill/trusted
"$flash" --check -i DB.bin >out 2>err || fail "--check refused on a locked station: $(cat err)"
"$flash" --verify-job released.zqjob | grep -qF "released by engineering ($fingerprint)" ||
    fail "--verify-job does not name the installed key"

"$flash" --job released.zqjob --ports "$pty" --log records.jsonl -q >out 2>err ||
    fail "the released job did not run: $(cat err)"
wait_sim=0
for _ in $(seq 100); do
    grep -q "data matches image" dev.log && { wait_sim=1; break; }
    sleep 0.05
done
[ "$wait_sim" -eq 1 ] || fail "the device did not get the image: $(cat dev.log)"
grep -qF "\"signed_by\":\"$fingerprint\"" records.jsonl || fail "signed_by is not openssl's fingerprint: $(cat records.jsonl)"
grep -q '"job":"lot25"' records.jsonl || fail "the record names no job: $(cat records.jsonl)"

# A channel's first root installed beside the key: --channel-root is
# refused, a store this user may not read gives no root (7, its error), and
# the released job of the channel runs from the installed root alone.
for k in root release online; do
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $k.pem 2>/dev/null
    openssl pkey -in $k.pem -pubout -out $k.pub
done
"$flash" --channel-init repo --root-key root.pem --release-key release.pub --online-key online.pub >/dev/null
"$flash" --publish repo --job unsigned.zqjob --release-key release.pem --online-key online.pem >/dev/null
cp repo/1.root.json /etc/zerquill/trusted/line.root.json
expect_refusal 64 "trusts only the root its administrator installed" \
    --channel repo --channel-root repo/1.root.json --ports "$pty"
chmod 700 /etc/zerquill/trusted
as=as_nobody expect_refusal 7 "cannot read /etc/zerquill/trusted: Permission denied" --channel repo --ports "$pty"
chmod 755 /etc/zerquill/trusted
start "$work/dev2" "$devsim" --sessions 1 --expect DB.bin --silence-ms 2000
"$flash" --channel repo --channel-state state --ports "$line" --log channel.jsonl -q >out 2>err ||
    fail "the channel's release did not run from the installed root: $(cat err)"
grep -q '"release":{"channel":"repo","version":1}' channel.jsonl || fail "the record names no release: $(cat channel.jsonl)"
echo "locked_station: bare image, --trust and an unsigned job refused; the released job ran ($fingerprint);" \
    "the channel ran from the installed root"
