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
openssl req -newkey rsa:2048 -nodes -keyout code.key -out code.csr \
  -subj "/CN=TQ-30 Test Code Signing" 2>/dev/null
printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
  "extendedKeyUsage=codeSigning" >code.ext
openssl x509 -req -in code.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out code.pem \
  -days 30 -extfile code.ext 2>/dev/null
openssl pkcs12 -export -inkey code.key -in code.pem -certfile ca.pem -out code.p12 \
  -passout pass:test 2>/dev/null
# A timestamp authority's key and certificate, issued by the same CA.
openssl req -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.csr \
  -subj "/CN=TQ-30 Test Timestamp Authority" 2>/dev/null
printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
  "extendedKeyUsage=critical,timeStamping" >tsa.ext
openssl x509 -req -in tsa.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out tsa.pem \
  -days 30 -extfile tsa.ext 2>/dev/null
