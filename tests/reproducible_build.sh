#!/usr/bin/env bash
# Two clean builds give the same bytes: builds both Windows presets again from scratch in
# other folders, with the demo payload regenerated there by the given host tools, and
# compares the launchers and payloads with those of build/win32 and build/win64.
# Usage: tests/reproducible_build.sh HOST_TOOLS_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
tools=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for arch in win32 win64; do
  launcher=tq30-setup.exe; [ $arch = win64 ] && launcher=tq30-setup-x64.exe
  # A build with a signing key signs; signing is reproducible too.
  cmake --preset $arch -B "$scratch/$arch" -DTQ30_HOST_TOOLS:PATH="$tools" \
    -DTQ30_PAYLOAD_DIR:STRING= >/dev/null
  cmake --build "$scratch/$arch" >/dev/null
  cmp "$scratch/$arch/$launcher" "build/$arch/$launcher"
  for name in $("$tools/selfinst-pack" names); do
    cmp "$scratch/$arch/demo-payload/$name" "build/$arch/demo-payload/$name"
  done
  echo "$launcher: identical after a second clean build"
done
