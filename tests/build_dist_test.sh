#!/usr/bin/env bash
# ./build.sh leaves dist/ as one set: two builds started together in one checkout run one
# after the other, and dist/ ends holding the launchers of one of them, both carrying that
# run's payload and no demo payload; a build packs again exactly the launchers whose inputs
# changed (a payload file put in place with an older time included); a build that fails at
# any step leaves dist/ exactly as it was. Works in a copy of the checkout's files, so that
# the build folders the other tests read are left alone.
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
# Its last lines: the files made in dist/, with their SHA-256 as sha256sum gives them.
expected=$(echo "dist/ holds, with their SHA-256:"
  sha256sum dist/tq30-setup.exe dist/tq30-setup-x64.exe dist/selfinst-pack | sed 's/^/  /'
  echo "  dist/demo-payload/: the demo payload's eleven files"
  echo "  dist/demo-payload-x64/: the demo payload's eleven files")
[ "$(tail -n 6 "$work/first.out")" = "$expected" ] ||
  fail "the first build's last lines are not dist/'s files: $(tail -n 6 "$work/first.out")"

# Each row changes something (or nothing), builds, and names the launchers packed again:
# exactly those the build says it packed, and whose packed image is a new file.
identity() { stat -c '%i %.9Y' "build/$1/$2.unsigned.exe"; }
older_copy() { # the same size, other bytes, an older time: as cp -p, tar x or rsync -t leave it
  printf 'X' | dd of="$work/older" bs=1 count=1 conv=notrunc 2>/dev/null
  touch -d '2001-01-01' "$work/older"
  cp -p "$work/older" "$1"
}
cp "$payload/disk1.id" "$work/older"
# name | what changes (a command) | the payload (- for the demo) | launchers packed again
while IFS='|' read -r name change folder packed; do
  before32=$(identity win32 tq30-setup) before64=$(identity win64 tq30-setup-x64)
  eval "$change"
  args=()
  [ "$folder" = - ] || args=("$folder")
  ./build.sh "${args[@]}" >"$work/$name.out" 2>&1 || fail "$name: the build failed"
  said=$({ grep -o '^tq30-setup[-x64]*\.exe: packed' "$work/$name.out" || true; } | cut -d: -f1 | xargs)
  made=""
  [ "$before32" = "$(identity win32 tq30-setup)" ] || made="tq30-setup.exe"
  [ "$before64" = "$(identity win64 tq30-setup-x64)" ] || made="${made:+$made }tq30-setup-x64.exe"
  if [ "$said" != "$packed" ] || [ "$made" != "$packed" ]; then
    fail "$name: packed '$made', the build said '$said', expected '$packed'"
  fi
  for launcher in tq30-setup.exe tq30-setup-x64.exe; do
    case " $packed " in *" $launcher "*) continue ;; esac
    grep -qxF "$launcher: up to date (not signed): nothing it is made from changed" \
      "$work/$name.out" || fail "$name: no up-to-date line for $launcher"
  done
  echo "PASS $name: packed again: ${packed:-nothing}"
done <<ROWS
nothing_changed|:|-|
demo_file_of_the_pe32_touched|touch build/win32/demo-payload/data.1|-|tq30-setup.exe
demo_file_of_the_x64_touched|touch build/win64/demo-payload/setup.ins|-|tq30-setup-x64.exe
users_payload|:|$payload|tq30-setup.exe tq30-setup-x64.exe
users_payload_again|:|$payload|
users_file_touched|touch "\$payload/data.2"|$payload|tq30-setup.exe tq30-setup-x64.exe
users_file_older_same_size|older_copy "\$payload/disk1.id"|$payload|tq30-setup.exe tq30-setup-x64.exe
ROWS
build/tool/selfinst-pack verify dist/tq30-setup.exe --payload "$payload" >/dev/null ||
  fail "after the older file, dist/tq30-setup.exe does not carry it"
[ "$(ls dist)" = "$(printf 'selfinst-pack\ntq30-setup-x64.exe\ntq30-setup.exe')" ] ||
  fail "dist/ holds more than the user's launchers and the packer: $(ls dist)"

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
[ ! -e build/dist.staging ] || fail "a failed build left its staging folder"
echo "a failed build: exit code $code, dist/ as it was, no staging folder left"

# The next build without the broken key signs nothing and puts the same launchers in place.
./build.sh "$payload" >"$work/d.out" 2>&1 || fail "the build after a failed one failed: $(tail -n 3 "$work/d.out")"
build/tool/selfinst-pack verify dist/tq30-setup.exe --payload "$payload" >/dev/null ||
  fail "after a failed build, dist/tq30-setup.exe does not carry the payload"
grep -qxF "tq30-setup.exe: not signed (no signing key configured)" "$work/d.out" ||
  fail "the build after a failed one did not say the launcher is unsigned"
echo "the build after a failed one: dist/ carries the payload, unsigned"
