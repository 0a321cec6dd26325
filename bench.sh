#!/usr/bin/env bash
# Builds what the benchmarks need, runs them and prints one table, also written to
# BENCHMARKS.md with the date and the machine.
set -euo pipefail
cd "$(dirname "$0")"
usage() {
  cat <<'USAGE'
usage: ./bench.sh [--repeats N] [--packer-repeats N] [--size-mib N] [--keep]

Measures size, heap, extraction time, idle CPU and clean-up latency of the launchers, each
beside a baseline, and the packer's rows; prints one table and writes BENCHMARKS.md. The
rows under Wine run the PE32 in the PE32 runtime (on the engine this host allows; where it
is the native one, the emulated machine is made too, for the row that compares the two)
and the x64 launcher under the host's Wine. Everything it builds and measures stays in
build/ (the build folders and build/bench): dist/ is left as it is.

  --repeats N         runs of each launcher figure (default 11)
  --packer-repeats N  runs of each side of each packer row (default 3)
  --size-mib N        the packer rows' payload in MiB (default 1024)
  --keep              keep the generated payloads in build/bench
  -h, --help          show this

Exit codes: 0 measured (a target missed is said in the table), 1 a build or a run failed,
2 a usage error.
USAGE
}
refuse() {
  echo "bench.sh: $*" >&2
  echo "usage: ./bench.sh [--repeats N] [--packer-repeats N] [--size-mib N] [--keep]   (./bench.sh --help says more)" >&2
  exit 2
}
args=("$@")
while [ $# -gt 0 ]; do
  case $1 in
  -h | --help)
    usage
    exit 0
    ;;
  --repeats | --packer-repeats | --size-mib)
    [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || refuse "$1 needs a whole number above 0"
    shift 2
    ;;
  --keep) shift ;;
  *) refuse "unknown argument $1" ;;
  esac
done
tools/install-deps.sh test
# The Windows builds with the demo payload and the tools they need, not dist/.
for preset in win32 win64; do
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset >/dev/null
  cmake --build --preset $preset --target bench_programs >/dev/null
done
tools/runtime/runtime.sh engine
tools/runtime/runtime.sh ensure >/dev/null
if [ "$(tools/runtime/runtime.sh engine | cut -d' ' -f3)" = native ]; then
  TQ30_RUNTIME_ENGINE=emulated tools/runtime/runtime.sh ensure >/dev/null
fi
PYTHONPATH=$PWD/python python3 tools/bench/bench.py "${args[@]}"
