#!/usr/bin/env bash
# Two clean builds give the same bytes: builds the launchers again from scratch in
# other folders, with the demo payload regenerated there, and compares them with dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for arch in win32 win64; do
  suffix=""; [ $arch = win64 ] && suffix="-x64"
  toolchain=cmake/toolchain-mingw-i686.cmake; [ $arch = win64 ] && toolchain=cmake/toolchain-mingw-x86_64.cmake
  payload=$scratch/payload-$arch
  cmake -S . -B "$scratch/$arch" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DTQ30_PAYLOAD_DIR="$payload" >/dev/null
  cmake --build "$scratch/$arch" --target standin >/dev/null
  build/host/make-demo-payload -o "$payload" --installer "$scratch/$arch/setup.exe"
  cmake --build "$scratch/$arch" --target launcher-stub >/dev/null
  dist/selfinst-pack pack --stub "$scratch/$arch/launcher-stub.exe" --payload "$payload" \
    -o "$scratch/tq30-setup$suffix.exe"
  # A build with a signing key signs; signing is reproducible too.
  if tools/sign.sh "$scratch/tq30-setup$suffix.exe" "$scratch/signed.exe"; then
    mv "$scratch/signed.exe" "$scratch/tq30-setup$suffix.exe"
  else
    [ $? -eq 3 ]
  fi
  cmp "$scratch/tq30-setup$suffix.exe" "dist/tq30-setup$suffix.exe"
  for name in $(ls "$payload"); do cmp "$payload/$name" "dist/demo-payload$suffix/$name"; done
  echo "tq30-setup$suffix.exe: identical after a second clean build"
done
