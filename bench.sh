#!/usr/bin/env bash
# Builds what the benchmarks need, runs them and prints one table, also written to
# BENCHMARKS.md with the date and the machine. Usage: ./bench.sh [--repeats N]
set -euo pipefail
cd "$(dirname "$0")"
./build.sh >/dev/null
cmake --build build/win32 --target size-baseline >/dev/null
cmake --build build/win64 --target write-baseline dialog-driver standin exit-at-once >/dev/null
python3 tools/bench/bench.py "$@"
