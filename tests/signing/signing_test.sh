#!/usr/bin/env bash
# Signs both built launchers with a throwaway CA, by a key file and by a key on a SoftHSM 2
# token, and checks that the signature verifies against it, that the store still verifies,
# that signing is reproducible, that changing one byte of an item breaks the signature, and
# that a timestamp from an authority on the loopback verifies. Then ./build.sh, in a copy of
# the checkout, signs both launchers with the token's key without the PIN standing on any
# command line or in any environment but its own, and a timestamp authority that refuses or
# answers junk fails the build with dist/ left as it was. (The signed x64 launcher running
# under Wine is an end-to-end case.) The launchers are those of build/win32 and build/win64.
# Usage: tests/signing/signing_test.sh SELFINST_PACK
set -euo pipefail
cd "$(dirname "$0")/../.."
pack=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tests/signing/make_test_ca.sh "$work/ca"
tests/signing/make_test_ca.sh "$work/other"
# The token's PIN is one no other process holds: a trace of the build looks for it.
pin="pin-$$-$RANDOM$RANDOM"
tests/signing/make_test_token.sh "$work/token" "$work/ca" "$pin"
export SOFTHSM2_CONF=$work/token/softhsm2.conf
module=/usr/lib/softhsm/libsofthsm2.so
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# An authority in MODE (see timestamp_authority.py) for as long as this shell holds the
# pipe on descriptor $authority; its URL in url.
start_authority() {
  local fifo
  fifo=$(mktemp -u "$work/authority.XXXXXX")
  mkfifo "$fifo"
  exec {authority}> >(exec python3 tests/signing/timestamp_authority.py "$work/ca" "$1" >"$fifo")
  read -r url <"$fifo"
}
stop_authority() {
  exec {authority}>&-
}
# Whether an image's signature and its timestamp verify against the test CA.
verify_timestamped() {
  osslsigncode verify -CAfile "$work/ca/ca.pem" -TSA-CAfile "$2" -in "$1" >"$work/ts-verify.log" 2>&1 &&
    grep -qx "Timestamp Server Signature verification: ok" "$work/ts-verify.log"
}

for built in build/win32/tq30-setup.exe build/win64/tq30-setup-x64.exe; do
  image=$(basename "$built")
  payload=$(dirname "$built")/demo-payload
  # Both ways of naming the key: a PKCS#12 file, and a PEM key and certificate.
  TQ30_SIGN_PKCS12=$work/ca/code.p12 TQ30_SIGN_PASSWORD=test \
    tools/sign.sh "$built" "$work/p12-$image"
  TQ30_SIGN_KEY=$work/ca/code.key TQ30_SIGN_CERT=$work/ca/code.pem \
    tools/sign.sh "$built" "$work/pem-$image"
  TQ30_SIGN_KEY=$work/ca/code.key TQ30_SIGN_CERT=$work/ca/code.pem \
    tools/sign.sh "$built" "$work/pem-again-$image"
  # A key on a token, with the certificate from a file and from the token.
  TQ30_SIGN_PKCS11_MODULE=$module TQ30_SIGN_KEY="pkcs11:token=tq30-test;object=code" \
    TQ30_SIGN_CERT=$work/token/code.pem TQ30_SIGN_PASSWORD=$pin \
    tools/sign.sh "$built" "$work/token-$image"
  TQ30_SIGN_PKCS11_MODULE=$module TQ30_SIGN_KEY="pkcs11:token=tq30-test;object=code" \
    TQ30_SIGN_PASSWORD=$pin tools/sign.sh "$built" "$work/token-certificate-$image"

  # Timestamped by an authority on the loopback, and a signature made otherwise (SHA-1), so
  # its timestamp vouches for another signature value than the others'.
  start_authority answer
  TQ30_SIGN_KEY=$work/ca/code.key TQ30_SIGN_CERT=$work/ca/code.pem \
    TQ30_SIGN_TIMESTAMP_URL=$url tools/sign.sh "$built" "$work/timestamped-$image" {authority}>&- ||
    fail "signing $image with a timestamp failed"
  osslsigncode sign -certs "$work/ca/code.pem" -key "$work/ca/code.key" -h sha1 -time 0 \
    -ts "$url" -in "$built" -out "$work/timestamped-sha1-$image" >/dev/null {authority}>&- ||
    fail "signing $image with SHA-1 and a timestamp failed"
  stop_authority
  # The timestamp's time as osslsigncode reads it.
  verify_timestamped "$work/timestamped-$image" "$work/ca/ca.pem" || true
  stamped=$(sed -n 's/^[[:space:]]*Timestamp time: //p' "$work/ts-verify.log" | head -n 1)
  stamped=$(date -u -d "$stamped" +%Y-%m-%dT%H:%M:%SZ)
  stamp="timestamped $stamped by CN=TQ-30 Test Timestamp Authority"

  for signed in "$work/p12-$image" "$work/pem-$image" "$work/token-$image" \
    "$work/token-certificate-$image"; do
    osslsigncode verify -CAfile "$work/ca/ca.pem" -in "$signed" >"$work/verify.log" 2>&1 ||
      { cat "$work/verify.log"; fail "$signed does not verify against the test CA"; }
    "$pack" verify "$signed" --payload "$payload" >/dev/null ||
      fail "the store of $signed does not verify"
    "$pack" list "$signed" | head -1 |
      grep -qF ", signature valid, signed by CN=TQ-30 Test Code Signing; chain not checked" ||
      fail "list does not show $signed as validly signed"
  done
  "$pack" list "$built" | head -1 | grep -q ", unsigned$" ||
    fail "list does not show $built as unsigned"
  cmp -s "$work/pem-$image" "$work/pem-again-$image" ||
    fail "signing $image twice gave different bytes"

  # A certificate table moved into the store is caught by verify.
  python3 - "$work/pem-$image" "$work/misplaced-$image" <<'PYTHON'
import struct, sys
image = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", image, 0x3C)[0]
magic = struct.unpack_from("<H", image, pe + 24)[0]
security = pe + 24 + (112 if magic == 0x20B else 96) + 4 * 8
struct.pack_into("<I", image, security, 0x400)  # inside the first section
open(sys.argv[2], "wb").write(image)
PYTHON
  if "$pack" verify "$work/misplaced-$image" >"$work/verify.log" 2>&1 ||
     ! grep -q "certificate table is not after the last section" "$work/verify.log"; then
    fail "verify missed a certificate table inside the sections of $image"
  fi

  # One byte of the first item changed: the signature no longer matches.
  python3 - "$work/pem-$image" "$work/tampered-$image" <<'PYTHON'
import sys
image = bytearray(open(sys.argv[1], "rb").read())
at = image.find("Varnholt Tonequill TQ-30 - demo installation".encode())
assert at > 0, "readme item not found"
image[at] ^= 0x20
open(sys.argv[2], "wb").write(image)
PYTHON
  if osslsigncode verify -CAfile "$work/ca/ca.pem" -in "$work/tampered-$image" >/dev/null 2>&1; then
    fail "a changed item in $image still verifies"
  fi

  # One byte of data.2 changed and the PE checksum made right again: only the signature
  # can tell, and verify and list say so.
  python3 - "$work/pem-$image" "$work/resummed-$image" <<'PYTHON'
import struct, sys
image = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", image, 0x3C)[0]
data2 = len(image) // 2  # well inside the store, far from every header
image[data2] ^= 0xFF
checksum_at = pe + 24 + 64
struct.pack_into("<I", image, checksum_at, 0)
total = 0
for (word,) in struct.iter_unpack("<H", image + b"\0" * (len(image) % 2)):
    total += word
    total = (total & 0xFFFF) + (total >> 16)
struct.pack_into("<I", image, checksum_at, ((total & 0xFFFF) + len(image)) & 0xFFFFFFFF)
open(sys.argv[2], "wb").write(image)
PYTHON
  # Signatures made otherwise than a release's: by certificates it must not trust, with
  # digests it must not accept, and hostile tables and PKCS#7s crafted from a good one.
  for cert in server mail ca-signer md5 mid-chain; do
    TQ30_SIGN_KEY=$work/ca/code.key TQ30_SIGN_CERT=$work/ca/$cert.pem \
      tools/sign.sh "$built" "$work/$cert-$image"
  done
  for digest in md5 sha1; do
    osslsigncode sign -certs "$work/ca/code.pem" -key "$work/ca/code.key" -h $digest -time 0 \
      -in "$built" -out "$work/$digest-digest-$image" >/dev/null
  done
  crafted=$work/crafted-$image
  mkdir "$crafted"
  tests/signing/craft_signatures.py "$work/pem-$image" "$work/ca/ca.pem" "$crafted" \
    "$work/timestamped-sha1-$image"
  printf '%s\n' "-----BEGIN CERTIFICATE-----" "bm90IGEgY2VydGlmaWNhdGU=" \
    "-----END CERTIFICATE-----" | cat "$work/ca/ca.pem" - >"$work/ca-then-corrupt.pem"
  ca=$work/ca/ca.pem
  # case | command | image | options | exit code | what the last line ends with; a refused
  # extract leaves no folder
  while IFS='|' read -r name command subject options code line; do
    # shellcheck disable=SC2086 # the options are words
    out=$("$pack" "$command" "$subject" $options 2>&1) && got=0 || got=$?
    [ "$got" -eq "$code" ] && [ "${out##*$'\n'}" = "${line//IMAGE/$subject}" ] ||
      fail "$image, $name: exit $got, said: ${out##*$'\n'}"
    [ "$command" != extract ] || [ "$code" -eq 0 ] || [ ! -e "$work/out" ] ||
      fail "$image, $name: extract left $work/out"
    rm -rf "$work/out"
  done <<ROWS
untouched|verify|$work/pem-$image||0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing; chain not checked
data2ChangedChecksumRight|verify|$work/resummed-$image||1|selfinst-pack: IMAGE: signature does not match the image
withItsCa|verify|$work/pem-$image|--ca $ca|0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing; chain checked
withAnotherCa|verify|$work/pem-$image|--ca $work/other/ca.pem|1|selfinst-pack: IMAGE: the signer's certificate does not chain to $work/other/ca.pem
tokenWithItsCa|verify|$work/token-$image|--ca $ca|0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing; chain checked
tokenCertificateWithItsCa|verify|$work/token-certificate-$image|--ca $ca|0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing; chain checked
tokenWithAnotherCa|verify|$work/token-$image|--ca $work/other/ca.pem|1|selfinst-pack: IMAGE: the signer's certificate does not chain to $work/other/ca.pem
unsignedWithACa|verify|$built|--ca $ca|1|selfinst-pack: IMAGE: is unsigned: there is no chain to check against $ca
extractData2Changed|extract|$work/resummed-$image|-C $work/out|1|selfinst-pack: IMAGE: signature does not match the image
extractEmptyEntry|extract|$crafted/emptyEntry.exe|-C $work/out|1|selfinst-pack: IMAGE: the certificate entry holds no signature
extractSignerMissing|extract|$crafted/signerMissing.exe|-C $work/out|1|selfinst-pack: IMAGE: the signer's certificate is not in the signature
extractNotSpcIndirectData|extract|$crafted/idDataContentType.exe|-C $work/out|1|selfinst-pack: IMAGE: the signed attributes give the content type pkcs7-data, not SpcIndirectDataContent
extractSigned|extract|$work/pem-$image|-C $work/out|0|
listData2Changed|list|$work/resummed-$image||1|selfinst-pack: IMAGE: signature does not match the image
listBytesAfterTable|list|$crafted/bytesAfterTable.exe||1|selfinst-pack: IMAGE: 16 bytes follow the certificate table, which must end the file
bytesAfterTable|verify|$crafted/bytesAfterTable.exe||1|selfinst-pack: IMAGE: 16 bytes follow the certificate table, which must end the file
secondEntry|verify|$crafted/secondEntry.exe|--ca $ca|1|selfinst-pack: IMAGE: the certificate table holds a second entry
bytesAfterEntry|verify|$crafted/bytesAfterEntry.exe|--ca $ca|1|selfinst-pack: IMAGE: the certificate table holds 64 bytes after its entry
bytesInsideLength|verify|$crafted/bytesInsideLength.exe|--ca $ca|1|selfinst-pack: IMAGE: the certificate entry holds 4096 bytes after its signature
mzAfterEntry|list|$crafted/mzAfterEntry.exe||1|selfinst-pack: IMAGE: the certificate table holds 1048578 bytes after its entry
serverAuthSigner|verify|$work/server-$image|--ca $ca|1|selfinst-pack: IMAGE: the signer's certificate is not for code signing
mailSigner|verify|$work/mail-$image|--ca $ca|1|selfinst-pack: IMAGE: the signer's certificate is not for code signing
caRejectsCodeSigning|verify|$work/pem-$image|--ca $work/ca/ca-rejecting.pem|1|selfinst-pack: IMAGE: $work/ca/ca-rejecting.pem rejects its certificate for code signing
intermediateNotForCode|verify|$work/mid-chain-$image|--ca $ca|1|selfinst-pack: IMAGE: certificate 2 of the chain is not for code signing
signerIsACa|verify|$work/ca-signer-$image|--ca $ca|1|selfinst-pack: IMAGE: the signer's certificate is a CA's
signerSignedWithMd5|verify|$work/md5-$image|--ca $ca|1|selfinst-pack: IMAGE: certificate 1 of the chain is signed with MD5, which is broken
md5Digest|verify|$work/md5-digest-$image||1|selfinst-pack: IMAGE: the signer's digest is MD5, which is broken
sha1Digest|verify|$work/sha1-digest-$image|--ca $ca|0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing; chain checked; SHA-1, a weak digest
sha3Digest|verify|$crafted/sha3Digest.exe||1|selfinst-pack: IMAGE: the signed digest is SHA3-256, which Authenticode does not define
sha512t224Digest|verify|$crafted/sha512t224Digest.exe||1|selfinst-pack: IMAGE: the signed digest is SHA512-224, which Authenticode does not define
signatureAlgorithmAsDigest|verify|$crafted/rsaAsDigest.exe||1|selfinst-pack: IMAGE: the signed digest is RSA-SHA256, which Authenticode does not define
otherDataType|verify|$crafted/otherDataType.exe||1|selfinst-pack: IMAGE: the signed data is of type 1.3.6.1.4.1.311.2.1.25, not SpcPeImageData
idDataContentType|verify|$crafted/idDataContentType.exe||1|selfinst-pack: IMAGE: the signed attributes give the content type pkcs7-data, not SpcIndirectDataContent
idDataContent|verify|$crafted/idDataContent.exe||1|selfinst-pack: IMAGE: the signed content is pkcs7-data, not SpcIndirectDataContent
contentNotASequence|extract|$crafted/contentNotASequence.exe|-C $work/out|1|selfinst-pack: IMAGE: the signed content is not a SEQUENCE, as SpcIndirectDataContent is
noSignedAttributes|verify|$crafted/noSignedAttributes.exe||1|selfinst-pack: IMAGE: the signature has no signed attributes
berIndefinite|verify|$crafted/berIndefinite.exe||1|selfinst-pack: IMAGE: the signature is not in DER, the one encoding Authenticode allows
nulInNameJson|verify|$crafted/nulInName.exe|--json|0|{"image":"IMAGE","verified":true,"payload":null,"contents":"not compared","items":11,"summary":"store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing\u0000Evil; chain not checked","signature":"valid","signer":"CN=TQ-30 Test Code Signing\u0000Evil","digest":"SHA-256","weak_digest":false,"chain":{"checked":false,"ca":null,"trusted":null},"timestamp":null,"problems":[]}
bmpName|verify|$crafted/bmpName.exe||0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=呑ⴳ〠; chain not checked
longName|verify|$crafted/longName.exe||0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA... (cut from 300 bytes); chain not checked
twoNames|verify|$crafted/twoNames.exe||0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing, CN=Second; chain not checked
bidiName|verify|$crafted/bidiName.exe||0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=abc\u202edef; chain not checked
bidiNameJson|verify|$crafted/bidiName.exe|--json|0|{"image":"IMAGE","verified":true,"payload":null,"contents":"not compared","items":11,"summary":"store intact, 11 items (contents not compared); signature valid, signed by CN=abc\u202edef; chain not checked","signature":"valid","signer":"CN=abc\u202edef","digest":"SHA-256","weak_digest":false,"chain":{"checked":false,"ca":null,"trusted":null},"timestamp":null,"problems":[]}
impostorBesideItsIssuer|verify|$crafted/impostorBesideItsIssuer.exe||0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing; chain not checked
impostorAlone|verify|$crafted/impostorAlone.exe||1|selfinst-pack: IMAGE: the signature holds 2 certificates that could be its signer, and no one of them alone is vouched for by its issuer
manyImpostors|verify|$crafted/manyImpostors.exe||1|selfinst-pack: IMAGE: the signature holds more than 4 certificates named as its signer
twoSigners|verify|$crafted/twoSigners.exe||1|selfinst-pack: IMAGE: the signature has 2 signers, where Authenticode allows one
chainJson|verify|$work/pem-$image|--json --ca $ca|0|{"image":"IMAGE","verified":true,"payload":null,"contents":"not compared","items":11,"summary":"store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing; chain checked","signature":"valid","signer":"CN=TQ-30 Test Code Signing","digest":"SHA-256","weak_digest":false,"chain":{"checked":true,"ca":"$ca","trusted":true},"timestamp":null,"problems":[]}
timestamped|verify|$work/timestamped-$image||0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing; chain not checked; $stamp, its chain not checked
timestampedWithItsCa|verify|$work/timestamped-$image|--ca $ca|0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing; chain checked; $stamp, its chain checked
timestampedWithItsTsaCa|verify|$work/timestamped-$image|--tsa-ca=$ca|0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing; chain not checked; $stamp, its chain checked
timestampedWithAnotherTsaCa|verify|$work/timestamped-$image|--ca $ca --tsa-ca $work/other/ca.pem|1|selfinst-pack: IMAGE: the timestamp's certificate does not chain to $work/other/ca.pem
timestampedWithAnotherCa|verify|$work/timestamped-$image|--ca $work/other/ca.pem|1|selfinst-pack: IMAGE: the timestamp's certificate does not chain to $work/other/ca.pem
timestampedJson|verify|$work/timestamped-$image|--json --ca $ca|0|{"image":"IMAGE","verified":true,"payload":null,"contents":"not compared","items":11,"summary":"store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing; chain checked; $stamp, its chain checked","signature":"valid","signer":"CN=TQ-30 Test Code Signing","digest":"SHA-256","weak_digest":false,"chain":{"checked":true,"ca":"$ca","trusted":true},"timestamp":{"kind":"RFC 3161","time":"$stamped","authority":"CN=TQ-30 Test Timestamp Authority","checked":true,"ca":"$ca"},"problems":[]}
untimestampedWithATsaCa|verify|$work/pem-$image|--tsa-ca $ca|1|selfinst-pack: IMAGE: has no RFC 3161 timestamp to check against $ca
borrowedTimestamp|verify|$crafted/borrowedTimestamp.exe||1|selfinst-pack: IMAGE: the timestamp's imprint is not the digest of the signer's signature
listBorrowedTimestamp|list|$crafted/borrowedTimestamp.exe||1|selfinst-pack: IMAGE: the timestamp's imprint is not the digest of the signer's signature
countersigned|verify|$crafted/countersigned.exe||0|IMAGE: store intact, 11 items (contents not compared); signature valid, signed by CN=TQ-30 Test Code Signing; chain not checked; a legacy countersignature timestamp, not read
noSigner|verify|$crafted/noSigner.exe||1|selfinst-pack: IMAGE: the signature has no signer
signerMissing|verify|$crafted/signerMissing.exe||1|selfinst-pack: IMAGE: the signer's certificate is not in the signature
longSerial|verify|$crafted/longSerial.exe||1|selfinst-pack: IMAGE: the signer's serial number is 102400 bytes, longer than any certificate's
corruptPemAfterTheCa|verify|$work/pem-$image|--ca $work/ca-then-corrupt.pem|1|selfinst-pack: IMAGE: $work/ca-then-corrupt.pem: its certificate 2 is not a PEM certificate that can be read
digestPastItsEnd|verify|$crafted/digestPastItsEnd.exe||1|selfinst-pack: IMAGE: the signed content has a length that runs past its end
ROWS
  # list shows the timestamp as verify does, in words and in JSON, and null for none.
  "$pack" list "$work/timestamped-$image" | head -1 |
    grep -qF "; chain not checked; $stamp, its chain not checked" ||
    fail "list does not show the timestamp of $image"
  for signed in timestamped pem; do
    listed=$("$pack" list --json "$work/$signed-$image" |
      python3 -c 'import json, sys; print(json.dumps(json.load(sys.stdin)["timestamp"]))') || true
    expected='{"kind": "RFC 3161", "time": "'$stamped'", "authority": "CN=TQ-30 Test Timestamp'
    expected+=' Authority", "checked": false, "ca": null}'
    [ "$signed" = timestamped ] || expected=null
    [ "$listed" = "$expected" ] || fail "list --json shows the timestamp of $signed-$image as $listed"
  done
  listed=$("$pack" list "$work/resummed-$image" 2>/dev/null) || true
  [[ ${listed%%$'\n'*} == *", signature does not match the image" ]] ||
    fail "list does not show $image's changed data.2"

  # The timestamp verifies against the CA that issued the authority's certificate, and not
  # against another.
  verify_timestamped "$work/timestamped-$image" "$work/ca/ca.pem" ||
    { tail -n 3 "$work/ts-verify.log"; fail "the timestamp of $image does not verify"; }
  ! verify_timestamped "$work/timestamped-$image" "$work/other/ca.pem" ||
    fail "the timestamp of $image verifies against another CA"
  ! verify_timestamped "$work/pem-$image" "$work/ca/ca.pem" ||
    fail "$image signed without a timestamp is taken for timestamped"
  echo "$image: signed, verified, reproducible, tampering detected"
done

# ./build.sh signs both launchers with the key on the token, TQ30_SIGN_REQUIRED counting
# it, while every program it starts is traced: the PIN is in no program's arguments or
# environment but build.sh's own, the first the trace shows. It builds in a copy of the
# checkout's files, so that the build folders and dist/ the other tests read are left alone.
copy=$work/checkout
mkdir "$copy"
git ls-files -z | xargs -0 cp --parents -t "$copy"
token_build() {
  (cd "$copy" && env TQ30_SIGN_PKCS11_MODULE=$module \
    TQ30_SIGN_KEY="pkcs11:token=tq30-test;object=code" TQ30_SIGN_PASSWORD="$pin" "$@")
}
if token_build TQ30_SIGN_REQUIRED=1 strace -f -v -s 65536 -e trace=execve -o "$work/trace" \
  ./build.sh >"$work/build.out" 2>&1; then
  for launcher in tq30-setup.exe tq30-setup-x64.exe; do
    osslsigncode verify -CAfile "$work/ca/ca.pem" -in "$copy/dist/$launcher" >/dev/null 2>&1 ||
      fail "dist/$launcher built with the key on the token does not verify against the test CA"
    said=$("$pack" verify "$copy/dist/$launcher" --ca "$work/ca/ca.pem" 2>&1) &&
      [ "${said%; chain checked}" != "$said" ] ||
      fail "verify --ca does not take dist/$launcher built with the key on the token: $said"
  done
  head -n 1 "$work/trace" | grep -qF 'execve("./build.sh", ["./build.sh"]' ||
    fail "the trace does not start with build.sh: $(head -n 1 "$work/trace")"
  # Both launchers and the trial before the build.
  [ "$(grep -c 'execve("[^"]*/osslsigncode", \["osslsigncode", "sign"' "$work/trace")" -eq 3 ] ||
    fail "the trace does not show osslsigncode signing three times"
  # build.sh's own process is the first line's (env, then bash, in its place); every other
  # is a program it ran. Read whole, not with grep -q, which pipefail would take for a failure.
  own=$(head -n 1 "$work/trace" | cut -d' ' -f1)
  leak=$(awk -v own="$own" '$1 != own' "$work/trace" | grep -F -- "$pin" | cut -c1-300 || true)
  [ -z "$leak" ] ||
    fail "the PIN stood on a command line or in an environment while the build ran: ${leak%%$'\n'*}"
else
  fail "./build.sh with the key on the token failed: $(tail -n 5 "$work/build.out")"
fi

# With a timestamp authority the launchers are timestamped; one that refuses, or answers
# junk, fails the build, and dist/ is left as it was, byte for byte.
start_authority answer
token_build TQ30_SIGN_TIMESTAMP_URL="$url" ./build.sh >"$work/build.out" 2>&1 {authority}>&- ||
  fail "./build.sh with a timestamp authority failed: $(tail -n 5 "$work/build.out")"
stop_authority
for launcher in tq30-setup.exe tq30-setup-x64.exe; do
  verify_timestamped "$copy/dist/$launcher" "$work/ca/ca.pem" ||
    { tail -n 3 "$work/ts-verify.log"; fail "dist/$launcher carries no timestamp that verifies"; }
done
cp -a "$copy/dist" "$work/dist-before"
signing_failed="build.sh: signing and verifying tq30-setup.exe failed; the last lines of"
signing_failed+=" build/build.log:"
for mode in refuse junk; do
  start_authority "$mode"
  code=0
  token_build TQ30_SIGN_TIMESTAMP_URL="$url" ./build.sh >"$work/build.out" 2>&1 {authority}>&- ||
    code=$?
  stop_authority
  [ "$code" -eq 1 ] && grep -qxF "$signing_failed" "$work/build.out" ||
    fail "a timestamp authority that answers $mode did not fail the build (exit $code):" \
      "$(tail -n 5 "$work/build.out")"
  diff -r "$work/dist-before" "$copy/dist" >/dev/null ||
    fail "a timestamp authority that answers $mode changed dist/"
done

# The password stands on no command line while signing runs: an osslsigncode first on PATH
# records its arguments and every process's command line, then runs the real one, which
# signs only if the password reached it. The key's password is one no other process holds.
secret="not-on-any-command-line-$$-$RANDOM"
PASSWORD=$secret openssl pkcs12 -export -inkey "$work/ca/code.key" -in "$work/ca/code.pem" \
  -certfile "$work/ca/ca.pem" -out "$work/secret.p12" -passout env:PASSWORD 2>/dev/null
mkdir "$work/bin"
cat >"$work/bin/osslsigncode" <<WRAPPER
#!/usr/bin/env bash
printf '%s\n' "\$@" >"$work/argv"
cat /proc/[0-9]*/cmdline 2>/dev/null | tr '\0' '\n' >"$work/cmdlines"
exec $(command -v osslsigncode) "\$@"
WRAPPER
chmod +x "$work/bin/osslsigncode"
PATH=$work/bin:$PATH TQ30_SIGN_PKCS12=$work/secret.p12 TQ30_SIGN_PASSWORD=$secret \
  tools/sign.sh build/win32/tq30-setup.exe "$work/secret.exe" ||
  fail "signing with a password failed"
[ -s "$work/argv" ] && [ -s "$work/cmdlines" ] || fail "the wrapper did not run"
if grep -qF -- "$secret" "$work/argv" "$work/cmdlines"; then
  fail "the password stood on a command line while signing ran"
fi
osslsigncode verify -CAfile "$work/ca/ca.pem" -in "$work/secret.exe" >/dev/null 2>&1 ||
  fail "the image signed with a password does not verify"

# Unsigned when no key is given: the script says so with its exit code.
set +e
env -u TQ30_SIGN_PKCS12 -u TQ30_SIGN_KEY -u TQ30_SIGN_CERT tools/sign.sh build/win32/tq30-setup.exe \
  "$work/none.exe"
code=$?
set -e
[ $code -eq 3 ] && [ ! -e "$work/none.exe" ] || fail "signing without a key did not refuse (exit $code)"

[ $failures -eq 0 ] || exit 1
