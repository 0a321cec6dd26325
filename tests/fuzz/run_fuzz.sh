#!/usr/bin/env bash
# Builds the image reader's fuzz target with clang and runs it for a bounded time on a
# seed corpus of real images: the two stubs and both launchers packed with a one-byte-per-
# file payload, unsigned and signed. Usage: tests/fuzz/run_fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-30}
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j"$(nproc)" --target fuzz-image-reader selfinst-pack >/dev/null

corpus=build/fuzz/corpus
tiny=build/fuzz/tiny-payload
rm -rf "$tiny"  # made anew: it must hold the eleven files and nothing else
mkdir -p "$corpus" "$tiny"
build/fuzz/selfinst-pack names | while read -r name; do printf 'x' >"$tiny/$name"; done
for arch in win32 win64; do
  stub=build/$arch/tq30-stub.exe
  [ $arch = win32 ] || stub=build/$arch/tq30-stub-x64.exe
  cp "$stub" "$corpus/stub-$arch.exe"
  build/fuzz/selfinst-pack pack --stub "$stub" --payload "$tiny" -o "$corpus/packed-$arch.exe"
done
# Both packed launchers signed too, so that mutations reach the signature's reading.
tests/signing/make_test_ca.sh build/fuzz/ca
for arch in win32 win64; do
  TQ30_SIGN_KEY=build/fuzz/ca/code.key TQ30_SIGN_CERT=build/fuzz/ca/code.pem \
    tools/sign.sh "$corpus/packed-$arch.exe" "$corpus/signed-$arch.exe"
done
# Inputs that once found a fault, kept so that every run tries them first.
cp tests/fuzz/regressions/* "$corpus/"
build/fuzz/fuzz-image-reader -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
  "$corpus" 2>build/fuzz/fuzz.log || { tail -40 build/fuzz/fuzz.log; exit 1; }
grep -E "stat::number_of_executed_units|Done" build/fuzz/fuzz.log || true
echo "fuzz: no finding in ${seconds} s"
