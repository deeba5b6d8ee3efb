#!/usr/bin/env bash
# Throwaway keys for the update tests, made at build time into the given folder: a certificate
# authority that only the test processes trust, a server certificate for 127.0.0.1 and localhost
# signed by it, and an Ed25519 key that signs update descriptions.
set -euo pipefail
out="$1"
mkdir -p "$out"
cd "$out"
openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Hoplin Test CA" \
  -keyout ca.key -out ca.pem 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:www.localhost\n' > san.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3650 \
  -extfile san.ext -out server.pem 2>/dev/null
openssl genpkey -algorithm ed25519 -out signing.pem 2>/dev/null
openssl pkey -in signing.pem -pubout -outform DER 2>/dev/null | tail -c 32 | od -An -tx1 | tr -d ' \n' > signing.pub.hex
rm -f server.csr san.ext ca.srl
chmod a+r ./*.key signing.pem # the tests may run as another account than the build
