#!/usr/bin/env bash
# Payload folders whose paths hold characters that shells treat specially: the launcher
# ./build.sh packs, signs and verifies (cmake/pack-launcher.sh, given the folder as it is)
# must carry exactly the folder given, and no part of its path may ever run.
# Usage: tests/payload_paths_test.sh HOST_SELFINST_PACK
set -euo pipefail
cd "$(dirname "$0")/.."
pack=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

names=('pay;load' 'p`date>INJ`q' "it's" 'a$HOME$(date>INJ)b' 'sp ace' 'dq"x' 'back\slash'
       'ünïcødé' '-dash' 'semi;colon;twice' 'm$(id)' 'v${HOME}')
# Decoys beside them, holding one-byte files: a path split at a ';', or with a make or
# shell variable in it replaced by its (empty) value, would read these.
decoys=(pay semi colon m v)
mkdir -p "${decoys[@]/#/$scratch/}"
while read -r file; do
  for decoy in "${decoys[@]}"; do printf 'x' >"$scratch/$decoy/$file"; done
done < <("$pack" names)
for name in "${names[@]}"; do
  mkdir -p "$scratch/$name"
  cp build/host/test-payload/* "$scratch/$name/"
done

stub=build/win32/tq30-stub.exe
: >"$scratch/signing.txt"  # no key: the launcher is the packed image
for name in "${names[@]}"; do
  folder=$scratch/$name
  rm -f "$scratch/out.unsigned.exe" "$scratch/out.exe"
  if ! cmake/pack-launcher.sh pack "$pack" "$stub" "$folder" "$scratch/out.unsigned.exe" \
    >"$scratch/log" 2>&1 ||
    ! cmake/pack-launcher.sh sign "$pack" "$scratch/out.unsigned.exe" "$folder" \
      "$scratch/signing.txt" "$scratch/out.exe" >>"$scratch/log" 2>&1; then
    cat "$scratch/log"
    fail "packing failed for $name"
    continue
  fi
  # verify compares every item with the file of that folder, byte for byte.
  "$pack" verify "$scratch/out.exe" --payload "$folder" >/dev/null ||
    fail "the launcher for $name does not carry its files"
done
if find "$scratch" . -maxdepth 3 -name INJ | grep -q .; then
  fail "a part of a payload path was run"
  find "$scratch" . -maxdepth 3 -name INJ -delete
fi

# A folder that lacks a file is refused naming the file.
mkdir "$scratch/incomplete;x"
first=$("$pack" names | head -1)
if cmake/pack-launcher.sh pack "$pack" "$stub" "$scratch/incomplete;x" "$scratch/out.unsigned.exe" \
  >"$scratch/log" 2>&1 ||
  ! grep -qF "selfinst-pack: $scratch/incomplete;x/$first: missing payload file" "$scratch/log"; then
  cat "$scratch/log"
  fail "an incomplete folder was not refused by name"
fi

# A line break would stand as a line of its own in what build.sh writes and reads back:
# build.sh refuses such a path before it builds or runs anything.
injected=$scratch/$'nl\n.SHELLFLAGS=-c touch INJ #'
mkdir -p "$injected"
cp build/host/test-payload/* "$injected/"
if (cd "$scratch" && "$OLDPWD/build.sh" "$injected") >"$scratch/log" 2>&1 ||
   ! grep -qF "build.sh: the payload folder's path holds a line break" "$scratch/log" ||
   [ "$(wc -l <"$scratch/log")" -ne 1 ] || find "$scratch" . -maxdepth 3 -name INJ | grep -q .; then
  cat "$scratch/log"
  fail "a payload path with a line break was not refused before the build"
fi

[ $failures -eq 0 ] && echo "payload paths: ${#names[@]} folders packed whole, nothing run"
[ $failures -eq 0 ]
