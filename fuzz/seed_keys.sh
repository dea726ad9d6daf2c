#!/usr/bin/env bash
# Writes fuzz_key's seeds into DIR, made afresh with the openssl command line
# the way an engineer makes a key and signs a job: no private key, not even a
# throwaway one, is kept in the repository.
#   fuzz/seed_keys.sh DIR
set -euo pipefail
OUT=${1:?usage: seed_keys.sh DIR}
mkdir -p "$OUT"
cd "$OUT"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out pkcs8.pem 2>/dev/null
openssl ec -in pkcs8.pem -out sec1.pem 2>/dev/null
openssl pkey -in pkcs8.pem -pubout -out pub.pem
openssl pkey -in pkcs8.pem -pubout -outform DER -out pub.der
base64 -w0 pub.der > pub.b64
# Another curve, which the readers name in their refusal.
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out p384.pem 2>/dev/null
openssl pkey -in p384.pem -pubout -out p384-pub.pem
printf '{"job": "j"}\n' | openssl dgst -sha256 -sign pkcs8.pem -out sig.der
