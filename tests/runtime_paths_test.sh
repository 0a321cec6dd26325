#!/usr/bin/env bash
# The PE32 runtime sees the checkout and the current folder at their own paths wherever
# they are, under /tmp too, where the runtime mounts a fresh tmpfs: runs runtime.sh from a
# copy of tools/runtime in a scratch folder under /tmp, in another scratch folder there.
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=$(mktemp -d /tmp/tq30-runtime-paths.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/checkout/tools" "$scratch/work"
cp -r tools/runtime "$scratch/checkout/tools/"
echo checkout >"$scratch/checkout/marker"
echo work >"$scratch/work/marker"
seen=$(cd "$scratch/work" &&
  "$scratch/checkout/tools/runtime/runtime.sh" run /bin/sh -c \
    'echo "$(pwd) $(cat marker) $(cat "$1/marker")"' sh "$scratch/checkout")
expected="$scratch/work work checkout"
if [ "$seen" != "$expected" ]; then
  echo "FAIL: the runtime saw '$seen', expected '$expected'"
  exit 1
fi
echo "runtime paths: the checkout and the current folder under /tmp are seen inside"
