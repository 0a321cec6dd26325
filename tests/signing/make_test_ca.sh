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
# Certificates for the same key that a release must not trust: DIR/server.pem and
# DIR/mail.pem (for another purpose than code signing), DIR/ca-signer.pem (a CA's),
# DIR/md5.pem (signed with MD5), and DIR/ca-rejecting.pem, the CA marked to refuse code
# signing.
for cert in "server serverAuth CA:FALSE sha256" "mail emailProtection CA:FALSE sha256" \
  "ca-signer codeSigning CA:TRUE sha256" "md5 codeSigning CA:FALSE md5"; do
  read -r name usage ca digest <<<"$cert"
  printf '%s\n' "basicConstraints=$ca" "extendedKeyUsage=$usage" >"$name.ext"
  openssl x509 -req -in code.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out "$name.pem" \
    -days 30 "-$digest" -extfile "$name.ext" 2>/dev/null
done
openssl x509 -in ca.pem -addreject codeSigning -out ca-rejecting.pem
# DIR/mid-chain.pem: a code-signing certificate and the intermediate CA that issued it, one
# that the CA made for server authentication only.
openssl req -newkey rsa:2048 -nodes -keyout mid.key -out mid.csr -subj "/CN=TQ-30 Test Server CA" \
  2>/dev/null
printf '%s\n' "basicConstraints=critical,CA:TRUE" "keyUsage=critical,keyCertSign" \
  "extendedKeyUsage=serverAuth" >mid.ext
openssl x509 -req -in mid.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out mid.pem -days 30 \
  -extfile mid.ext 2>/dev/null
openssl x509 -req -in code.csr -CA mid.pem -CAkey mid.key -CAcreateserial -out mid-code.pem \
  -days 30 -extfile code.ext 2>/dev/null
cat mid-code.pem mid.pem >mid-chain.pem
