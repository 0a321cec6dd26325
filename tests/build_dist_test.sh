#!/usr/bin/env bash
# ./build.sh leaves dist/ as one set: two builds started together in one checkout run one
# after the other, and dist/ ends holding the launchers of one of them, both carrying that
# run's payload and no demo payload; a build that fails at any step leaves dist/ exactly as
# it was. Works in a copy of the checkout's files, so that the build folders the other
# tests read are left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$PWD/build/dist-test
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/checkout"
git ls-files -z | xargs -0 cp --parents -t "$work/checkout"
cd "$work/checkout"
fail() {
  echo "FAIL: $*"
  exit 1
}
snapshot() {
  (cd dist && find . -type f -print0 | sort -z | xargs -0 sha256sum)
}

# The demo set first: what a user has after a plain build.
./build.sh >"$work/first.out" 2>&1 || fail "the first build failed: $(tail -n 3 "$work/first.out")"
payload=$work/payload
build/tool/make-demo-payload -o "$payload" --installer build/win32/setup.exe
printf 'a readme of our own\n' >"$payload/readme.txt"

# Together: the demo payload again and the user's payload.
./build.sh >"$work/a.out" 2>&1 &
first=$!
./build.sh "$payload" >"$work/b.out" 2>&1 &
second=$!
wait "$first" || fail "the demo build failed: $(tail -n 3 "$work/a.out")"
wait "$second" || fail "the payload's build failed: $(tail -n 3 "$work/b.out")"
waited=$(grep -l "another build is running in this checkout" "$work/a.out" "$work/b.out" || true)
[ "$(wc -w <<<"$waited")" -eq 1 ] || fail "not exactly one build waited for the other: '$waited'"
if [ "$waited" = "$work/b.out" ]; then
  expected=("$payload" "$payload")
  [ ! -e dist/demo-payload ] || fail "dist/ holds the demo payload beside the user's launchers"
else
  expected=(dist/demo-payload dist/demo-payload-x64)
fi
build/tool/selfinst-pack verify dist/tq30-setup.exe --payload "${expected[0]}" >/dev/null ||
  fail "dist/tq30-setup.exe does not carry ${expected[0]}"
build/tool/selfinst-pack verify dist/tq30-setup-x64.exe --payload "${expected[1]}" >/dev/null ||
  fail "dist/tq30-setup-x64.exe does not carry ${expected[1]}"
echo "two builds together: one waited, and dist/ holds the set of the one that ended last"

# Signing files named from the folder the user runs it in, signing required: both signed.
tests/signing/make_test_ca.sh "$work/keys" >/dev/null
(cd "$work/keys" && TQ30_SIGN_PKCS12=code.p12 TQ30_SIGN_PASSWORD=test TQ30_SIGN_REQUIRED=1 \
  "$work/checkout/build.sh" ../payload >"$work/signed.out" 2>&1) ||
  fail "the signed build failed: $(tail -n 3 "$work/signed.out")"
for launcher in dist/tq30-setup.exe dist/tq30-setup-x64.exe; do
  build/tool/selfinst-pack list "$launcher" | sed -n 1p | grep -qF ", signature present (" ||
    fail "$launcher is not signed"
done
echo "signing files named from the user's folder: both launchers signed"

# A build that fails at its last step (signing, with PEM files that hold no key) changes
# nothing in dist/.
printf 'not a key\n' >"$work/keys/broken.pem"
before=$(snapshot)
code=0
TQ30_SIGN_KEY=$work/keys/broken.pem TQ30_SIGN_CERT=$work/keys/broken.pem ./build.sh "$payload" \
  >"$work/c.out" 2>&1 || code=$?
[ "$code" -ne 0 ] || fail "a build with a broken signing key exited 0"
grep -q "signing tq30-setup.exe failed" "$work/c.out" ||
  fail "the build did not fail at signing: $(tail -n 3 "$work/c.out")"
[ "$(snapshot)" = "$before" ] || fail "a failed build changed dist/"
echo "a failed build: exit code $code, dist/ as it was"
