#!/usr/bin/env bash
# Payload folders whose paths hold characters that shells, make and CMake treat
# specially: the sizes header of the launcher build must come from exactly the folder
# given, and no part of its path may ever run. Configures the Windows launcher build
# once and builds only its sizes step for each folder.
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

build=$scratch/build
cmake --preset win32 -B "$build" -DTQ30_HOST_TOOLS:PATH="$(dirname "$pack")" \
  -DTQ30_PAYLOAD_DIR:STRING="$scratch/${names[0]}" >/dev/null
for name in "${names[@]}"; do
  folder=$scratch/$name
  cmake -DTQ30_PAYLOAD_DIR:STRING="$folder" "$build" >/dev/null
  if ! cmake --build "$build" --target launcher_payload_sizes >"$scratch/log" 2>&1; then
    cat "$scratch/log"
    fail "the sizes step failed for $name"
    continue
  fi
  expected=$("$pack" names | while read -r file; do stat -c %s "$folder/$file"; done)
  actual=$(sed -n 's/^#define PAYLOAD_SIZE_[a-z0-9_]* \([0-9]*\)u$/\1/p' \
    "$build/launcher_payload_sizes/payload_sizes.h")
  [ "$actual" = "$expected" ] || fail "the sizes for $name are not those of its files"
done
if find "$scratch" . -maxdepth 3 -name INJ | grep -q .; then
  fail "a part of a payload path was run"
  find "$scratch" . -maxdepth 3 -name INJ -delete
fi

# A folder that lacks a file is refused naming the file.
mkdir "$scratch/incomplete;x"
cmake -DTQ30_PAYLOAD_DIR:STRING="$scratch/incomplete;x" "$build" >/dev/null
first=$("$pack" names | head -1)
if cmake --build "$build" --target launcher_payload_sizes >"$scratch/log" 2>&1 ||
   ! grep -qF "selfinst-pack: $scratch/incomplete;x/$first: missing payload file" "$scratch/log"; then
  cat "$scratch/log"
  fail "an incomplete folder was not refused by name"
fi

# A line break would reach the generated makefiles as a line of its own: build.sh refuses
# such a path before it builds or runs anything.
injected=$scratch/$'nl\n.SHELLFLAGS=-c touch INJ #'
mkdir -p "$injected"
cp build/host/test-payload/* "$injected/"
if (cd "$scratch" && "$OLDPWD/build.sh" "$injected") >"$scratch/log" 2>&1 ||
   ! grep -qF "build.sh: the payload folder's path holds a line break" "$scratch/log" ||
   [ "$(wc -l <"$scratch/log")" -ne 1 ] || find "$scratch" . -maxdepth 3 -name INJ | grep -q .; then
  cat "$scratch/log"
  fail "a payload path with a line break was not refused before the build"
fi

[ $failures -eq 0 ] && echo "payload paths: ${#names[@]} folders read whole, nothing run"
[ $failures -eq 0 ]
