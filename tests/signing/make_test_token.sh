#!/usr/bin/env bash
# Makes a SoftHSM 2 token in a folder of its own, for tests only, with a key generated on it
# that never leaves it, and a code-signing certificate for that key issued by a test CA.
#   tests/signing/make_test_token.sh DIR CA_DIR PIN
# CA_DIR is one tests/signing/make_test_ca.sh made. Writes DIR/softhsm2.conf (point
# SOFTHSM2_CONF at it) and DIR/code.pem, the certificate, which the token holds too. The
# token is "tq30-test": the key "code" has the certificate, the key "bare" has none.
set -euo pipefail
dir=$1 ca=$2 pin=$3
module=/usr/lib/softhsm/libsofthsm2.so
mkdir -p "$dir/tokens"
dir=$(cd "$dir" && pwd -P)
printf '%s\n' "directories.tokendir = $dir/tokens" "objectstore.backend = file" \
  "log.level = ERROR" >"$dir/softhsm2.conf"
export SOFTHSM2_CONF=$dir/softhsm2.conf
softhsm2-util --init-token --free --label tq30-test --so-pin "$pin-so" --pin "$pin" >/dev/null
p11() { pkcs11-tool --module "$module" --token-label tq30-test --login --pin "$pin" "$@"; }
p11 --keypairgen --key-type rsa:2048 --id 01 --label code >/dev/null 2>&1
p11 --keypairgen --key-type rsa:2048 --id 02 --label bare >/dev/null 2>&1
p11 --read-object --type pubkey --id 01 -o "$dir/code.pub.der" >/dev/null 2>&1
openssl pkey -pubin -inform der -in "$dir/code.pub.der" -out "$dir/code.pub.pem"
# The request is signed by a throwaway key; the certificate carries the token's.
openssl req -new -newkey rsa:2048 -nodes -keyout "$dir/request.key" -out "$dir/code.csr" \
  -subj "/CN=TQ-30 Test Code Signing" 2>/dev/null
printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
  "extendedKeyUsage=codeSigning" >"$dir/code.ext"
openssl x509 -req -in "$dir/code.csr" -force_pubkey "$dir/code.pub.pem" -CA "$ca/ca.pem" \
  -CAkey "$ca/ca.key" -CAcreateserial -out "$dir/code.pem" -days 30 -extfile "$dir/code.ext" \
  2>/dev/null
openssl x509 -in "$dir/code.pem" -outform der -out "$dir/code.der"
p11 --write-object "$dir/code.der" --type cert --id 01 --label code >/dev/null 2>&1
rm -f "$dir/request.key" "$dir/code.csr" "$dir/code.pub.der" "$dir/code.der"
