#!/usr/bin/env bash
# Two clean builds give the same bytes: builds both Windows presets again from scratch in
# other folders, with the demo payload regenerated there by the given host tools, and
# compares the stubs, launchers and payloads with those of build/win32 and build/win64.
# The same stub and payload give the same launcher whatever was packed before: the stub
# packed with a payload of other sizes, which verify holds against its table, and then
# with the demo payload is the build's launcher.
# Usage: tests/reproducible_build.sh HOST_TOOLS_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
tools=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for arch in win32 win64; do
  launcher=tq30-setup; stub=tq30-stub; [ $arch = win64 ] && launcher=tq30-setup-x64 stub=tq30-stub-x64
  # A build with a signing key signs; signing is reproducible too.
  cmake --preset $arch -B "$scratch/$arch" -DTQ30_HOST_TOOLS:PATH="$tools" >/dev/null
  cmake --build "$scratch/$arch" >/dev/null
  cmp "$scratch/$arch/$stub.exe" "build/$arch/$stub.exe"
  cmp "$scratch/$arch/$launcher.exe" "build/$arch/$launcher.exe"
  for name in $("$tools/selfinst-pack" names); do
    cmp "$scratch/$arch/demo-payload/$name" "build/$arch/demo-payload/$name"
  done
  other=$scratch/$arch/other-payload
  cp -R "$scratch/$arch/demo-payload" "$other"
  printf 'another readme\n' >"$other/readme.txt"
  printf 'x' >>"$other/data.2"
  "$tools/selfinst-pack" pack --stub "$scratch/$arch/$stub.exe" --payload "$other" \
    -o "$scratch/$arch/other.exe"
  "$tools/selfinst-pack" verify "$scratch/$arch/other.exe" --payload "$other" >/dev/null
  "$tools/selfinst-pack" pack --stub "$scratch/$arch/$stub.exe" \
    --payload "$scratch/$arch/demo-payload" -o "$scratch/$arch/again.exe"
  cmp "$scratch/$arch/again.exe" "build/$arch/$launcher.unsigned.exe"
  echo "$launcher.exe, $stub.exe: identical after a second clean build"
done
