#!/usr/bin/env bash
# Builds what the benchmarks need, runs them and prints one table, also written to
# BENCHMARKS.md with the date and the machine. The rows under Wine are measured on the PE32
# in the PE32 runtime (on the engine this host allows) and on the x64 launcher under the
# host's Wine.
# The packer's rows (tools/bench/packer_bench.py) take --packer-repeats N (default 3),
# --size-mib N (default 1024) and --keep.
# Usage: ./bench.sh [--repeats N] [--packer-repeats N] [--size-mib N] [--keep]
set -euo pipefail
cd "$(dirname "$0")"
./build.sh >/dev/null
# The PE32's rows run on this host's engine; where that is the native one, the emulated
# machine is made too, for the row that compares the two.
tools/runtime/runtime.sh engine
tools/runtime/runtime.sh ensure >/dev/null
if [ "$(tools/runtime/runtime.sh engine | cut -d' ' -f3)" = native ]; then
  TQ30_RUNTIME_ENGINE=emulated tools/runtime/runtime.sh ensure >/dev/null
fi
for arch in win32 win64; do
  cmake --build --preset $arch --target bench_programs >/dev/null
done
python3 tools/bench/bench.py "$@"
