#!/usr/bin/env bash
# Released jobs through zerquill-flash.exe under wine (CNG): its signatures
# verify with openssl, openssl's (SEC1 and PKCS#8 keys) verify with it and
# name openssl's fingerprint; then the policy key holds a trusted key and the
# station is locked: a bare image and --trust are refused, and the released
# job reaches the simulator on COM9, recorded with signed_by.
#
#   wine_jobs.sh BUILD_DIR DEVSIM FLASH_EXE
# Exit status 77 (skipped) when the simulator has not been built.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_helpers.sh" "$@"
# The script works from inside its folder.
devsim=$(readlink -f "$devsim")
flash=$(readlink -f "$3")
wine_scene wine-jobs COM9
fail() {
    echo "FAIL: $*"
    for f in "$work"/*.err "$work"/sim.log; do [ -f "$f" ] && { echo "--- $f"; tail -n 30 "$f"; }; done
    exit 1
}
run() { wine_flash "$@"; }
win() { wine_path "$@"; }

cd "$work"
wine_image DB.bin 12 0 20261225 5
engineering_key
openssl ec -in eng.pem -out eng-sec1.pem 2>/dev/null
fingerprint=$(openssl pkey -pubin -in eng.pub -outform DER | sha256sum | cut -c1-64)

# Ours, from each form of the key, verified by openssl.
run make --make-job "$(win a.zqjob)" -i "$(win DB.bin)" --name a --key "$(win eng.pem)"
[ "$rc" -eq 0 ] || fail "--make-job --key exited $rc: $(cat make.txt)"
openssl dgst -sha256 -verify eng.pub -signature a.zqjob.sig a.zqjob | grep -qx 'Verified OK' ||
    fail "openssl does not verify zerquill-flash.exe's signature"
run make-b --make-job "$(win b.zqjob)" -i "$(win DB.bin)" --name b
run sign --sign-job "$(win b.zqjob)" --key "$(win eng-sec1.pem)"
[ "$rc" -eq 0 ] || fail "--sign-job with a SEC1 key exited $rc: $(cat sign.txt)"
openssl dgst -sha256 -verify eng.pub -signature b.zqjob.sig b.zqjob | grep -qx 'Verified OK' ||
    fail "openssl does not verify the signature made with the SEC1 key"
# openssl's, verified by ours.
run make-c --make-job "$(win c.zqjob)" -i "$(win DB.bin)" --name c
openssl dgst -sha256 -sign eng.pem -out c.zqjob.sig c.zqjob
run verify --verify-job "$(win c.zqjob)" --trust "$(win eng.pub)"
[ "$rc" -eq 0 ] || fail "openssl's signature refused ($rc): $(cat verify.txt)"
grep -qF "released by eng ($fingerprint)" verify.txt || fail "not openssl's fingerprint: $(cat verify.txt)"
printf ' ' >>c.zqjob
run changed --verify-job "$(win c.zqjob)" --trust "$(win eng.pub)"
[ "$rc" -eq 6 ] || fail "a changed job verified ($rc): $(cat changed.txt)"

start "$work/sim" "$devsim" --sessions 1 --expect "$work/DB.bin" --silence-ms 2000
wine_map COM9 "$line"
wine_trust eng.pub
wine_reload

run bare -i "$(win DB.bin)" --ports COM9
[ "$rc" -eq 6 ] || fail "a locked station ran a bare image ($rc): $(cat bare.txt)"
grep -qF 'runs released jobs only' bare.txt || fail "no reason for the refusal: $(cat bare.txt)"
run trust --job "$(win a.zqjob)" --trust "$(win eng.pub)" --ports COM9
[ "$rc" -eq 64 ] || fail "--trust accepted on a locked station ($rc): $(cat trust.txt)"
grep -qF 'this station trusts only the keys its administrator installed' trust.txt ||
    fail "no reason for refusing --trust: $(cat trust.txt)"
run released --job "$(win a.zqjob)" --ports COM9 --log "$(win records.jsonl)" -q
[ "$rc" -eq 0 ] || fail "the released job did not run ($rc): $(cat released.txt)"
for _ in $(seq 100); do
    grep -q 'data matches image' sim.log && break
    sleep 0.05
done
grep -q 'data matches image' sim.log || fail "the device did not get the image"
grep -qF "\"signed_by\":\"$fingerprint\"" records.jsonl || fail "signed_by is not openssl's: $(cat records.jsonl)"
echo "wine_jobs: signatures interoperate with openssl; the locked station refused a bare image and --trust"
echo "  and ran the job released by $fingerprint"
