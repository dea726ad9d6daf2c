#!/bin/bash
# The channel against an independent TUF implementation, both ways: a
# channel built and signed with @tufjs/models is followed by
# zerquill-flash --channel-status, and a channel written by --publish and
# served over HTTP is read by tuf-js's Updater. The npm packages are
# installed under the build folder at test time; without the registry the
# test is skipped (77).
# Usage: interop.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
flash=$build/cli/zerquill-flash
node_dir=$build/channel-interop
work=$(mktemp -d)
trap 'kill $server 2>/dev/null; rm -rf "$work"' EXIT
server=

mkdir -p "$node_dir"
if [ ! -d "$node_dir/node_modules/tuf-js" ] &&
   ! (cd "$node_dir" && timeout 300 npm install --no-audit --no-fund tuf-js@3 @tufjs/models@3 @tufjs/canonical-json@2 >/dev/null 2>&1); then
  echo "npm could not install tuf-js: skipped"
  exit 77
fi
export NODE_PATH=$node_dir/node_modules
cd "$work" || exit 1
"$build/cli/zq-mkimage" DB.bin --blocks 16 --seed 5 >/dev/null || exit 1
sha=$(sha256sum DB.bin | cut -d' ' -f1)

# One way: a channel of tuf-js's models, with the job naming its image.
printf '{"job": "interop", "image": "DB.bin", "sha256": "%s"}\n' "$sha" > release.zqjob
node - <<'JS' || { echo "FAIL: @tufjs/models could not build the channel"; exit 1; }
const fs = require('fs'), crypto = require('crypto');
const { Metadata, Root, Targets, Snapshot, Timestamp, Key, TargetFile, MetaFile, Signature } = require('@tufjs/models');
const { Role } = require('@tufjs/models/dist/role');
const expires = new Date(Date.now() + 86400e3).toISOString().replace(/\.\d+Z$/, 'Z');
const pair = crypto.generateKeyPairSync('ec', { namedCurve: 'P-256' });
const pem = pair.publicKey.export({ type: 'spki', format: 'pem' });
const keyID = crypto.createHash('sha256').update(pem).digest('hex');
const key = new Key({ keyID, keyType: 'ecdsa', scheme: 'ecdsa-sha2-nistp256', keyVal: { public: pem } });
const role = () => new Role({ keyIDs: [keyID], threshold: 1 });
const common = { version: 1, specVersion: '1.0.31', expires };
const sign = (m) => { m.sign((bytes) => new Signature({ keyID, sig: crypto.sign('sha256', bytes, pair.privateKey).toString('hex') })); return JSON.stringify(m.toJSON()); };
const dir = 'tufjs';
fs.mkdirSync(dir + '/targets', { recursive: true });
const root = new Root({ ...common, consistentSnapshot: true, keys: { [keyID]: key },
  roles: { root: role(), targets: role(), snapshot: role(), timestamp: role() } });
fs.writeFileSync(dir + '/1.root.json', sign(new Metadata(root)));
const targets = new Targets({ ...common });
for (const name of ['release.zqjob', 'DB.bin']) {
  const bytes = fs.readFileSync(name), hash = crypto.createHash('sha256').update(bytes).digest('hex');
  targets.addTarget(new TargetFile({ path: name, length: bytes.length, hashes: { sha256: hash } }));
  fs.writeFileSync(`${dir}/targets/${hash}.${name}`, bytes);
}
const targetsFile = sign(new Metadata(targets));
fs.writeFileSync(dir + '/1.targets.json', targetsFile);
const snapshotFile = sign(new Metadata(new Snapshot({ ...common, meta: { 'targets.json': new MetaFile({ version: 1 }) } })));
fs.writeFileSync(dir + '/1.snapshot.json', snapshotFile);
const snapHash = crypto.createHash('sha256').update(snapshotFile).digest('hex');
fs.writeFileSync(dir + '/timestamp.json', sign(new Metadata(new Timestamp({ ...common,
  snapshotMeta: new MetaFile({ version: 1, length: snapshotFile.length, hashes: { sha256: snapHash } }) }))));
JS
out=$("$flash" --channel-status tufjs --channel-root tufjs/1.root.json --channel-state state-a 2>&1)
rc=$?
if [ $rc -ne 0 ] || ! grep -q "^job interop$" <<<"$out" || ! grep -q "sha256 $sha" <<<"$out"; then
  echo "FAIL: a channel of @tufjs/models was not followed (exit $rc): $out"
  exit 1
fi
echo "followed a channel of @tufjs/models: $(tr '\n' ' ' <<<"$out")"

# The other way: --publish's folder, served as it is, read by tuf-js.
for k in root release online; do
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $k.pem 2>/dev/null &&
    openssl pkey -in $k.pem -pubout -out $k.pub || exit 1
done
"$flash" --make-job lot.zqjob -i DB.bin --name lot-interop >/dev/null &&
  "$flash" --channel-init ours --root-key root.pem --release-key release.pub --online-key online.pub >/dev/null &&
  "$flash" --publish ours --job lot.zqjob --release-key release.pem --online-key online.pem >/dev/null ||
  { echo "FAIL: --channel-init or --publish"; exit 1; }
python3 -u -c '
import http.server, functools, socketserver, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
with socketserver.TCPServer(("127.0.0.1", 0), handler) as s:
    print(s.server_address[1]); s.serve_forever()' ours > port 2>/dev/null &
server=$!
for _ in $(seq 100); do [ -s port ] && break; sleep 0.1; done
port=$(head -1 port)
mkdir -p meta got && cp ours/1.root.json meta/root.json
node - "http://127.0.0.1:$port" <<'JS' || { echo "FAIL: tuf-js did not read the channel of --publish"; exit 1; }
const { Updater } = require('tuf-js');
const url = process.argv[2];
(async () => {
  const u = new Updater({ metadataDir: 'meta', metadataBaseUrl: url, targetDir: 'got', targetBaseUrl: url + '/targets' });
  await u.refresh();
  for (const name of ['release.zqjob', 'DB.bin']) {
    const info = await u.getTargetInfo(name);
    if (!info) throw new Error('no target ' + name);
    await u.downloadTarget(info, 'got/' + name);
  }
})().catch((e) => { console.error(e.message); process.exit(1); });
JS
cmp -s got/DB.bin DB.bin && grep -q '"image": "DB.bin"' got/release.zqjob ||
  { echo "FAIL: tuf-js got other bytes"; exit 1; }
echo "tuf-js read the channel of --publish: release.zqjob and DB.bin"
