#!/usr/bin/env bash
# Builds the launchers carrying a payload folder:
#   dist/tq30-setup.exe      PE32 for 32-bit Windows: the product
#   dist/tq30-setup-x64.exe  PE32+ from the same sources, to run under Wine here
#   dist/selfinst-pack       the store packer and inspector
# Both launchers are code-signed when a key is configured (see tools/sign.sh).
# Usage: ./build.sh [PAYLOAD_DIR]
# Without PAYLOAD_DIR both launchers carry the demo payload, generated into
# dist/demo-payload (with the 32-bit stand-in installer) and dist/demo-payload-x64 (with
# the x86-64 one, which Wine can run here).
set -euo pipefail
unset CDPATH  # cd must not print, nor find a folder of the same name elsewhere

# A line break or another control character in a path the build writes into its makefiles
# would stand there as a line of its own.
refuse_control_characters() {
  case $2 in
  *[[:cntrl:]]*)
    echo "build.sh: $1 holds a line break or another control character; rename or move it" >&2
    exit 1
    ;;
  esac
}

payload=${1:-}
if [ -n "$payload" ]; then
  # Taken relative to the folder the user is in.
  refuse_control_characters "the payload folder's path" "$payload"
  [ -d "$payload" ] || { echo "build.sh: payload folder $payload does not exist" >&2; exit 1; }
  payload=$(cd -- "$payload" && pwd -P)
  refuse_control_characters "the payload folder's full path $payload" "$payload"
fi

cd "$(dirname "$0")"
root=$(pwd)
refuse_control_characters "the checkout's path" "$root"
jobs=$(nproc)

tools/install-deps.sh

echo "== host tools and tests"
cmake --preset host >/dev/null
cmake --build build/host -j"$jobs"

# The packer users run is built without the tests' sanitizers.
echo "== packer"
cmake --preset tool >/dev/null
cmake --build build/tool -j"$jobs" --target selfinst-pack
mkdir -p dist
cp build/tool/selfinst-pack dist/selfinst-pack
# Refuse a payload that lacks a file or holds an unusable one before building a launcher.
[ -z "$payload" ] || dist/selfinst-pack check --payload "$payload"

for arch in win32 win64; do
  if [ -n "$payload" ]; then
    carried=$payload
  elif [ $arch = win32 ]; then
    carried=$root/dist/demo-payload
  else
    carried=$root/dist/demo-payload-x64
  fi
  echo "== $arch launcher carrying $carried"
  cmake --preset $arch -DTQ30_PAYLOAD_DIR:STRING="$carried" -DTQ30_PACK:FILEPATH="$root/dist/selfinst-pack" >/dev/null
  cmake --build build/$arch -j"$jobs" --target standin dialog-driver decoy
  if [ -z "$payload" ]; then
    build/host/make-demo-payload -o "$carried" --installer build/$arch/setup.exe
  fi
  cmake --build build/$arch -j"$jobs" --target launcher-stub
  out=dist/tq30-setup.exe
  [ $arch = win64 ] && out=dist/tq30-setup-x64.exe
  dist/selfinst-pack pack --stub build/$arch/launcher-stub.exe --payload "$carried" -o "$out"
  dist/selfinst-pack verify "$out" --payload "$carried"
  # The sizes compiled into the launcher must be those of the items it carries: a file
  # changed while the build ran would be written cut short or padded.
  compiled=build/$arch/launcher_payload_sizes/payload_sizes.h
  carried_copy=$(mktemp -d "$root/build/carried.XXXXXX")
  dist/selfinst-pack extract "$out" -C "$carried_copy/items"
  dist/selfinst-pack sizes --payload "$carried_copy/items" -o "$carried_copy/payload_sizes.h"
  if ! cmp -s "$compiled" "$carried_copy/payload_sizes.h"; then
    rm -rf "$carried_copy" "$out"
    echo "build.sh: a file in $carried changed during the build; build again" >&2
    exit 1
  fi
  rm -rf "$carried_copy"
  if tools/sign.sh $out $out.signed; then
    mv $out.signed $out
    dist/selfinst-pack verify "$out" --payload "$carried"
    signed="signed"
  else
    [ $? -eq 3 ] || exit 1
    signed=""
  fi
done
if [ -n "$signed" ]; then
  echo "launchers signed"
else
  echo "launchers not signed (set TQ30_SIGN_PKCS12, or TQ30_SIGN_KEY and TQ30_SIGN_CERT, to sign)"
fi
ls -l dist/*.exe
