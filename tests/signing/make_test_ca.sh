#!/usr/bin/env bash
# Makes a throwaway CA and a code-signing certificate issued by it, for tests only.
#   tests/signing/make_test_ca.sh DIR
# Writes DIR/ca.pem, DIR/code.key, DIR/code.pem, DIR/code.p12 (password "test"), and
# DIR/tsa.key and DIR/tsa.pem for a timestamp authority.
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 \
  -subj "/CN=TQ-30 Test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
# NAME.key and NAME.pem, a certificate the CA issues for it: NAME SUBJECT EXTENDED_KEY_USAGE
issue() {
  openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
  printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=$3" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -out "$1.pem" \
    -days 30 -extfile "$1.ext" 2>/dev/null
}
issue code "/CN=TQ-30 Test Code Signing" codeSigning
issue tsa "/CN=TQ-30 Test Timestamp Authority" critical,timeStamping
openssl pkcs12 -export -inkey code.key -in code.pem -certfile ca.pem -out code.p12 \
  -passout pass:test 2>/dev/null
