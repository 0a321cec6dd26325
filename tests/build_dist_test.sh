#!/usr/bin/env bash
# ./build.sh leaves dist/ as one set: two builds started together in one checkout run one
# after the other, and dist/ ends holding the launchers of one of them, carrying that run's
# payload and no demo payload; a build packs again exactly the launchers whose inputs
# changed (a payload file put in place with an older time included) and compiles nothing
# when only the payload changed, and with a user's payload builds the x64 launcher only
# when asked; the stub in dist/ packed by hand gives the launcher the build gives; a
# launcher changed since a build verified it (an edit in dist/, its time put back or not, or
# another file in its place) is made again, signed when asked, and the SHA-256 shown is the
# file's whatever build/sha256.cache says; what else the user keeps in dist/ stays, and its
# name is shown escaped;
# a build that fails at any step leaves dist/ exactly as it was; nothing planted in build/
# is followed or waited on, and a build killed with SIGKILL holds up no later one. Works in
# a copy of the checkout's files, so that the build folders the other tests read are left
# alone.
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
  sha256sum dist/tq30-setup.exe dist/tq30-setup-x64.exe dist/tq30-stub.exe \
    dist/tq30-stub-x64.exe dist/selfinst-pack | sed 's/^/  /'
  echo "  dist/demo-payload/: the demo payload's eleven files"
  echo "  dist/demo-payload-x64/: the demo payload's eleven files")
[ "$(tail -n 8 "$work/first.out")" = "$expected" ] ||
  fail "the first build's last lines are not dist/'s files: $(tail -n 8 "$work/first.out")"
# What the user keeps in dist/ beside the build's files: every later build keeps it.
printf 'sums of our own\n' >dist/OUR-SUMS
mkdir dist/notes
printf 'a note\n' >dist/notes/release.txt
mkfifo dist/notes/pipe  # kept as it is, never opened
kept=$(cd dist && sha256sum OUR-SUMS notes/release.txt)

# What a build's last lines say of the dist/ it leaves: its files with their SHA-256 as
# sha256sum gives them, then its demo payloads.
closing_lines() {
  local file
  echo "dist/ holds, with their SHA-256:"
  for file in dist/tq30-setup.exe dist/tq30-setup-x64.exe dist/tq30-stub.exe \
    dist/tq30-stub-x64.exe dist/selfinst-pack; do
    [ ! -f "$file" ] || sha256sum "$file" | sed 's/^/  /'
  done
  for file in dist/demo-payload dist/demo-payload-x64; do
    [ ! -d "$file" ] || echo "  $file/: the demo payload's eleven files"
  done
}

# Each row changes something (or nothing), builds, and names the launchers packed again:
# exactly those the build says it packed, and whose packed image is a new file.
identity() { stat -c '%i %.9Y' "build/release/$2.unsigned.exe"; }
older_copy() { # the same size, other bytes, an older time: as cp -p, tar x or rsync -t leave it
  printf 'X' | dd of="$work/older" bs=1 count=1 conv=notrunc 2>/dev/null
  touch -d '2001-01-01' "$work/older"
  cp -p "$work/older" "$1"
}
cp "$payload/disk1.id" "$work/older"
# One byte in the middle of a file changed in place, as an editor that writes into the file
# leaves it; with keeping-its-time, its modification time put back as `touch -m -d` can.
edit_in_place() {
  python3 - "$@" <<'PYTHON'
import os, sys
path = sys.argv[1]
before = os.stat(path)
with open(path, "r+b") as image:
    image.seek(before.st_size // 2)
    byte = image.read(1)[0]
    image.seek(before.st_size // 2)
    image.write(bytes([byte ^ 0xFF]))
if sys.argv[2:] == ["keeping-its-time"]:
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
PYTHON
}
# build/sha256.cache made to hold VALUE as the hash of FILE as it is now.
cache_says() {
  echo "$(stat -c '%d %i %s %.9Y %.9Z' "$1") $2" >build/sha256.cache
}
escape_codes=$(printf '\033]0;owned\a\033[31mred\342\200\256\377')
# name | what changes (a command) | the arguments (as the shell reads them) | launchers
# packed again | a line the build says (or none)
while IFS='|' read -r name change arguments packed line; do
  before32=$(identity win32 tq30-setup) before64=$(identity win64 tq30-setup-x64)
  eval "$change"
  args=()
  eval "args=($arguments)"
  ./build.sh "${args[@]}" >"$work/$name.out" 2>&1 || fail "$name: the build failed"
  # No source changed: whatever the payload, nothing is compiled.
  ! grep -m1 "Building CXX object" build/build.log || fail "$name: the build compiled"
  said=$({ grep -o '^tq30-setup[-x64]*\.exe: packed' "$work/$name.out" || true; } | cut -d: -f1 | xargs)
  made=""
  [ "$before32" = "$(identity win32 tq30-setup)" ] || made="tq30-setup.exe"
  [ "$before64" = "$(identity win64 tq30-setup-x64)" ] || made="${made:+$made }tq30-setup-x64.exe"
  if [ "$said" != "$packed" ] || [ "$made" != "$packed" ]; then
    fail "$name: packed '$made', the build said '$said', expected '$packed'"
  fi
  built=(tq30-setup.exe tq30-setup-x64.exe)  # the x64 one for the demo payload or --x64
  case " ${args[*]} " in *" --x64 "* | "  ") ;; *) built=(tq30-setup.exe) ;; esac
  for launcher in "${built[@]}"; do
    case " $packed " in *" $launcher "*) continue ;; esac
    grep -qxF "$launcher: up to date (not signed): nothing it is made from changed" \
      "$work/$name.out" || fail "$name: no up-to-date line for $launcher"
  done
  { [ "$kept" = "$(cd dist && sha256sum OUR-SUMS notes/release.txt)" ] && [ -p dist/notes/pipe ]; } ||
    fail "$name: what the user kept in dist/ is gone or changed"
  # The closing lines, whose hashes are read again only for a file that changed, are those
  # of the files dist/ holds now.
  closing=$(closing_lines)
  diff <(echo "$closing") <(tail -n "$(wc -l <<<"$closing")" "$work/$name.out") >&2 ||
    fail "$name: the closing lines are not dist/'s files with their SHA-256"
  grep -qxF "dist/OUR-SUMS: kept, not made by a build" "$work/$name.out" ||
    fail "$name: the build did not say it kept dist/OUR-SUMS"
  # dist/SHA256SUMS names each file that ships, and each as it is now.
  sums_names=$({ cut -c67- dist/SHA256SUMS 2>/dev/null || true; } | sort | xargs)
  shipped_names=$(cd dist && for file in tq30-setup*.exe tq30-stub*.exe selfinst-pack *.p7s; do
    [ ! -e "$file" ] || echo "$file"
  done | sort | xargs)
  [ "$sums_names" = "$shipped_names" ] ||
    fail "$name: dist/SHA256SUMS names '$sums_names', not '$shipped_names'"
  (cd dist && sha256sum --quiet -c SHA256SUMS) >&2 || fail "$name: dist/SHA256SUMS does not check"
  [ -z "$line" ] || grep -qxF -- "$line" "$work/$name.out" ||
    fail "$name: the build did not say '$line'"
  echo "PASS $name: packed again: ${packed:-nothing}"
done <<ROWS
nothing_changed|:|||
demo_file_of_the_pe32_touched|touch build/win32/demo-payload/data.1||tq30-setup.exe|
demo_file_of_the_x64_touched|touch build/win64/demo-payload/setup.ins||tq30-setup-x64.exe|
users_payload|:|"$payload"|tq30-setup.exe|
users_payload_again|:|"$payload"||
users_payload_with_the_x64_launcher|:|--x64 "$payload"|tq30-setup-x64.exe|
users_payload_with_the_x64_launcher_again|:|--x64 "$payload"||
launcher_in_dist_edited_keeping_its_time|edit_in_place dist/tq30-setup-x64.exe keeping-its-time|--x64 "$payload"|tq30-setup-x64.exe|tq30-setup-x64.exe: changed since a build verified it (in dist/ or build/); making it again
launcher_in_dist_edited|edit_in_place dist/tq30-setup.exe|"$payload"|tq30-setup.exe|tq30-setup.exe: changed since a build verified it (in dist/ or build/); making it again
sha256_cache_holds_escape_codes|cache_says dist/tq30-setup.exe "\$escape_codes"|"$payload"||
sha256_cache_holds_another_hash|cache_says dist/tq30-setup.exe \$(printf 'a%.0s' {1..64})|"$payload"||
dist_entry_named_with_escape_codes|touch "dist/\$escape_codes"|"$payload"||dist/\u001b]0;owned\u0007\u001b[31mred\u202e\xff: kept, not made by a build
users_file_touched|touch "\$payload/data.2"|"$payload"|tq30-setup.exe|
users_file_of_other_sizes|printf 'more' >>"\$payload/data.2"; printf 'x' >>"\$payload/readme.txt"|"$payload"|tq30-setup.exe|
users_file_older_same_size|older_copy "\$payload/disk1.id"|"$payload"|tq30-setup.exe|
ROWS
rm -f -- "dist/$escape_codes"  # the user's, kept by every build since; gone for what follows
build/tool/selfinst-pack verify dist/tq30-setup.exe --payload "$payload" >/dev/null ||
  fail "after the older file, dist/tq30-setup.exe does not carry it"
[ "$(ls dist)" = "$(printf 'OUR-SUMS\nSHA256SUMS\nnotes\nselfinst-pack\ntq30-setup.exe\ntq30-stub.exe')" ] ||
  fail "dist/ holds more than what ships and what the user kept: $(ls dist)"
# A release from dist/ alone, on a machine without the compilers: the packer finds no
# program to start, and its launcher is the build's, byte for byte.
env -i PATH=/nonexistent dist/selfinst-pack pack --stub dist/tq30-stub.exe --payload "$payload" \
  -o "$work/by-hand.exe" || fail "dist/selfinst-pack could not pack dist/tq30-stub.exe"
cmp -s "$work/by-hand.exe" dist/tq30-setup.exe ||
  fail "dist/tq30-stub.exe packed by hand is not dist/tq30-setup.exe"
echo "PASS dist/tq30-stub.exe packed by hand gives dist/tq30-setup.exe"

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
  [ ! -e dist/demo-payload ] || fail "dist/ holds the demo payload beside the user's launcher"
  [ ! -e dist/tq30-setup-x64.exe ] || fail "dist/ holds an x64 launcher nobody asked for"
  build/tool/selfinst-pack verify dist/tq30-setup.exe --payload "$payload" >/dev/null ||
    fail "dist/tq30-setup.exe does not carry $payload"
else
  build/tool/selfinst-pack verify dist/tq30-setup.exe --payload dist/demo-payload >/dev/null ||
    fail "dist/tq30-setup.exe does not carry the demo payload"
  build/tool/selfinst-pack verify dist/tq30-setup-x64.exe --payload dist/demo-payload-x64 \
    >/dev/null || fail "dist/tq30-setup-x64.exe does not carry the demo payload"
fi
echo "two builds together: one waited, and dist/ holds the set of the one that ended last"

# Signing files named from the folder the user runs it in, signing required: every
# launcher built is signed by the key named, whatever characters its name holds.
tests/signing/make_test_ca.sh "$work/keys" >/dev/null
cp "$work/keys/code.p12" "$work/keys/-k ey.p12="
cp "$work/keys/code.key" "$work/keys/k=.key="
cp "$work/keys/code.pem" "$work/keys/c=.pem="
# name | what changes first (a command) | signing settings (as the shell reads them) |
# arguments | launchers signed | a line the build says (or none)
while IFS='|' read -r name change settings arguments launchers line; do
  eval "$change"
  (cd "$work/keys" && eval "export $settings TQ30_SIGN_REQUIRED=1" &&
    eval "\"\$work/checkout/build.sh\" $arguments" >"$work/$name.out" 2>&1) ||
    fail "$name: the signed build failed: $(tail -n 3 "$work/$name.out")"
  for launcher in $launchers; do
    osslsigncode verify -CAfile "$work/keys/ca.pem" -in "dist/$launcher" >"$work/verify.out" 2>&1 ||
      fail "$name: dist/$launcher is not signed by the key named: $(tail -n 3 "$work/verify.out")"
    # Its signature beside it, as DER, the one the launcher carries.
    osslsigncode extract-signature -in "dist/$launcher" -out "$work/carried.p7s" >/dev/null 2>&1
    if ! cmp -s "$work/carried.p7s" "dist/$launcher.p7s" ||
      ! openssl pkcs7 -inform DER -in "dist/$launcher.p7s" -noout 2>/dev/null; then
      fail "$name: dist/$launcher.p7s is not the launcher's signature in DER"
    fi
    rm -f "$work/carried.p7s"
  done
  (cd dist && sha256sum --quiet -c SHA256SUMS) >&2 || fail "$name: dist/SHA256SUMS does not check"
  # A rebuild from a published signature gives the released launcher's bytes.
  if [ -f "$work/$name.released" ]; then
    [ "$(sha256sum <dist/tq30-setup.exe)" = "$(cat "$work/$name.released")" ] ||
      fail "$name: dist/tq30-setup.exe is not the released launcher"
  fi
  in_dist=$(cd dist && LC_ALL=C && names=(tq30-setup*.exe) && echo "${names[*]}")
  [ "$in_dist" = "$launchers" ] || fail "$name: dist/ holds $in_dist, not $launchers"
  [ -z "$line" ] || grep -qxF -- "$line" "$work/$name.out" ||
    fail "$name: the build did not say '$line'"
  echo "PASS $name: signed: $launchers"
done <<'ROWS'
pkcs12_named_with_a_trailing_equals_sign|:|TQ30_SIGN_PKCS12='-k ey.p12=' TQ30_SIGN_PASSWORD=test|--x64 ../payload|tq30-setup-x64.exe tq30-setup.exe|
published_signatures_of_both_launchers|cp dist/tq30-setup.exe.p7s "$work/keys/published.p7s"; cp dist/tq30-setup-x64.exe.p7s "$work/keys/published-x64.p7s"; sha256sum <dist/tq30-setup.exe >"$work/$name.released"|TQ30_SIGN_DETACHED=published.p7s TQ30_SIGN_DETACHED_X64=published-x64.p7s|--x64 ../payload|tq30-setup-x64.exe tq30-setup.exe|tq30-setup.exe: signed: the published signature attached
pem_key_and_certificate_named_with_equals_signs|:|TQ30_SIGN_KEY='k=.key=' TQ30_SIGN_CERT='c=.pem='|../payload|tq30-setup.exe|
signature_apart_in_build_edited|printf 'x' >>build/release/tq30-setup.exe.p7s|TQ30_SIGN_KEY='k=.key=' TQ30_SIGN_CERT='c=.pem='|../payload|tq30-setup.exe|tq30-setup.exe: up to date (signed): nothing it is made from changed
signed_launcher_in_dist_edited|edit_in_place dist/tq30-setup.exe|TQ30_SIGN_KEY='k=.key=' TQ30_SIGN_CERT='c=.pem='|../payload|tq30-setup.exe|tq30-setup.exe: changed since a build verified it (in dist/ or build/); making it again
unsigned_image_in_the_signed_launchers_place|cp build/release/tq30-setup.unsigned.exe build/release/moved.exe && mv build/release/moved.exe build/release/tq30-setup.exe|TQ30_SIGN_KEY='k=.key=' TQ30_SIGN_CERT='c=.pem='|../payload|tq30-setup.exe|tq30-setup.exe: changed since a build verified it (in dist/ or build/); making it again
published_signature_attached_with_no_key_in_a_fresh_build_folder|cp dist/tq30-setup.exe.p7s "$work/keys/published.p7s"; sha256sum <dist/tq30-setup.exe >"$work/$name.released"; rm -rf build/release|TQ30_SIGN_DETACHED=published.p7s|../payload|tq30-setup.exe|tq30-setup.exe: signed: the published signature attached
ROWS

# A published signature attached to a launcher rebuilt from a payload one byte other is
# refused in one line, and dist/ stays as it was.
cp -R "$payload" "$work/payload-changed"
edit_in_place "$work/payload-changed/readme.txt"
before=$(snapshot)
code=0
TQ30_SIGN_DETACHED=$work/keys/published.p7s ./build.sh "$work/payload-changed" >"$work/other.out" 2>&1 ||
  code=$?
expected="build.sh: tq30-setup.exe, as rebuilt here, is not the image its published signature"
expected+=" signed (other sources or another payload?); dist/ is left as it was"
{ [ "$code" -eq 1 ] && [ "$(grep '^build.sh: ' "$work/other.out" | grep -v 'whole log')" = "$expected" ]; } ||
  fail "a payload one byte other: exit code $code, not 1 with '$expected': $(tail -n 3 "$work/other.out")"
[ "$(snapshot)" = "$before" ] || fail "a signature of another image changed dist/"
echo "PASS a published signature of another image: refused, dist/ as it was"

# A build that fails at its last step (signing, with a timestamp server that does not
# answer) changes nothing in dist/.
before=$(snapshot)
code=0
TQ30_SIGN_KEY=$work/keys/code.key TQ30_SIGN_CERT=$work/keys/code.pem \
  TQ30_SIGN_TIMESTAMP_URL=http://127.0.0.1:1/ ./build.sh "$payload" >"$work/c.out" 2>&1 || code=$?
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

# Anything planted in build/ where the build keeps its lock, its log or its staging folder
# is refused, naming it, before anything is built: never written through, never waited on.
printf 'precious\n' >"$work/target"
mkdir -p "$work/target-folder"
printf 'precious\n' >"$work/target-folder/file"
before=$(snapshot)
# name | what is planted (a command) | the line expected
while IFS='|' read -r name plant line; do
  eval "$plant"
  code=0
  timeout 120 ./build.sh >"$work/$name.out" 2>&1 </dev/null || code=$?
  rm -rf build/.build.lock build/build.log build/dist.staging
  if [ "$code" -ne 1 ] || ! grep -qxF -- "$line" "$work/$name.out"; then
    fail "$name: exit code $code, not 1 with '$line': $(tail -n 3 "$work/$name.out")"
  fi
  if [ "$(cat "$work/target")" != precious ] || [ "$(ls "$work/target-folder")" != file ]; then
    fail "$name: the build wrote through what was planted"
  fi
  [ "$(snapshot)" = "$before" ] || fail "$name: dist/ changed"
  echo "PASS $name"
done <<ROWS
lock_is_a_link|rm -f build/.build.lock; ln -s "$work/target" build/.build.lock|build.sh: build/.build.lock is a symbolic link, not the lock a build makes; remove it
lock_is_a_fifo|rm -f build/.build.lock; mkfifo build/.build.lock|build.sh: build/.build.lock is a FIFO, not the lock a build makes; remove it
log_is_a_link|rm -f build/build.log; ln -s "$work/target" build/build.log|build.sh: build/build.log is a symbolic link, not the log a build writes; remove it
log_is_a_fifo|rm -f build/build.log; mkfifo build/build.log|build.sh: build/build.log is a FIFO, not the log a build writes; remove it
staging_is_a_link|ln -s "$work/target-folder" build/dist.staging|build.sh: build/dist.staging is a symbolic link, not the folder a build stages dist/ in; remove it
ROWS

# A build killed with SIGKILL while its compilers run: the next build takes the lock at once
# rather than waiting for the compilers left behind. It is ended as soon as it has it, and
# both are left to end before this test does.
# Every source of the packer and the launcher is touched: one launcher source alone compiles
# in a fraction of a second, which a poll can miss.
find src tools/pack -name '*.cpp' -exec touch {} +
setsid ./build.sh >"$work/killed.out" 2>&1 &
killed=$!
compiling=""
for _ in $(seq 600); do
  pgrep -g "$killed" -x cc1plus >/dev/null && compiling=yes && break
  sleep 0.1
done
[ -n "$compiling" ] || fail "the build to kill never started a compiler"
kill -KILL "$killed"
wait "$killed" 2>/dev/null || true
setsid ./build.sh >"$work/after-kill.out" 2>&1 &
next=$!
for _ in $(seq 600); do
  grep -q "the whole log goes\|another build is running" "$work/after-kill.out" && break
  sleep 0.1
done
kill -TERM -- -"$next"
wait "$next" 2>/dev/null || true
for _ in $(seq 600); do
  pgrep -g "$killed" >/dev/null || pgrep -g "$next" >/dev/null || break
  sleep 1
done
! grep -q "another build is running" "$work/after-kill.out" ||
  fail "the build after a killed one waited for the compilers it left"
grep -qxF "build.sh: the whole log goes to build/build.log" "$work/after-kill.out" ||
  fail "the build after a killed one never took the lock: $(tail -n 3 "$work/after-kill.out")"
echo "PASS a build killed with SIGKILL holds up no later one"
