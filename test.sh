#!/usr/bin/env bash
# Builds the tests and what they read (installing what is missing) and runs them:
# formatting, static analysis, the image reader's fuzz target for a bounded time, then
# CTest: host unit tests under ASan/UBSan, the packer's tests, the reproducibility check
# and the end-to-end cases under Wine and Xvfb, on the x64 launcher and on the PE32 in the
# PE32 runtime (built first, once per recipe; see tools/runtime), on the engine this host
# allows. With -L or -R only the chosen CTest cases run. The output ends with CTest's summary.
# Usage: ./test.sh [-L LABEL] [-R NAME] [--fuzz-seconds N]   (./test.sh --help says more)
# Exit codes: 0 passed, 1 a test, a check or a build failed, 2 a usage error.
set -euo pipefail
cd "$(dirname "$0")"

usage="usage: ./test.sh [-L LABEL] [-R NAME] [--fuzz-seconds N]"
usage_error() {
  echo "test.sh: $*" >&2
  echo "$usage   (./test.sh --help says more)" >&2
  exit 2
}

show_help() {
  cat <<EOF
$usage

Builds the tests and what they read, installing what is missing, and runs them. With no
argument it runs everything: formatting, static analysis, the image reader's fuzz target
for a bounded time, then every CTest case, the PE32's included (making the PE32 runtime
first when this machine has none). With -L or -R it builds the same, then runs only the
CTest cases chosen. The output ends with CTest's summary.

  -L, --label LABEL     run only the cases whose label matches LABEL, a regular expression:
                        unit, pack, build, signing, reproducible, e2e, e2e-pe32, ceiling
                        ('^e2e$' leaves out e2e-pe32)
  -R, --name NAME       run only the cases whose name matches NAME, a regular expression
                        (ctest --preset host -N lists the names)
  --fuzz-seconds N      fuzz the image reader for N seconds (default 30, or FUZZ_SECONDS)
  -h, --help            show this

Exit codes: 0 passed, 1 a test, a check or a build failed, 2 a usage error.
EOF
}

selection=()
fuzz_seconds=${FUZZ_SECONDS:-30}
while [ $# -gt 0 ]; do
  case $1 in
  -h | --help) show_help && exit 0 ;;
  -L | --label | -R | --name | --fuzz-seconds)
    [ $# -ge 2 ] && [ -n "$2" ] || usage_error "$1 needs a value"
    case $1 in
    -L | --label) selection+=(-L "$2") ;;
    -R | --name) selection+=(-R "$2") ;;
    *)
      [[ $2 =~ ^[1-9][0-9]*$ ]] || usage_error "--fuzz-seconds needs a whole number above 0"
      fuzz_seconds=$2
      ;;
    esac
    shift 2
    ;;
  *) usage_error "unknown argument $1" ;;
  esac
done

# A failing step's own exit code (make's 2, ctest's 8) would read as something else: from
# here on every failure is 1.
trap 'code=$?; [ "$code" -eq 0 ] || exit 1' EXIT

tools/install-deps.sh test

# The host build brings the Windows builds (with the demo payload) and the packer's
# folder up to date too: the tests read them.
echo "== host tools, tests and the Windows builds they read"
cmake --preset host >/dev/null
cmake --build --preset host -j"$(nproc)"

# The chosen cases need the PE32 runtime only when one of them runs the PE32.
needs_pe32=1
if [ ${#selection[@]} -gt 0 ]; then
  needs_pe32=$(ctest --preset host -N --show-only=json-v1 "${selection[@]}" | python3 -c '
import json, sys
tests = json.load(sys.stdin)["tests"]
labels = {label for test in tests for prop in test.get("properties", [])
          if prop["name"] == "LABELS" for label in prop["value"]}
print(1 if labels & {"e2e-pe32", "ceiling"} else 0)')
fi

# Where neither engine of the PE32 runtime can be had (no qemu, no disk, no archive), its
# cases skip with the reason, and the last line says that the PE32 was not tested.
if [ "$needs_pe32" = 1 ]; then
  echo "== PE32 runtime"
  tools/runtime/runtime.sh engine
  code=0
  reason=$(tools/runtime/runtime.sh require) || code=$?
  case $code in
  0) ;;
  77) export TQ30_PE32_UNAVAILABLE=$reason ;;
  *) exit "$code" ;;
  esac
fi

if [ ${#selection[@]} -eq 0 ]; then
  echo "== formatting"
  tests/check_format.sh

  echo "== static analysis"
  tests/static_analysis.sh
  tests/python_lint.sh

  echo "== fuzzing the image reader"
  tests/fuzz/run_fuzz.sh "$fuzz_seconds"
fi

echo "== ctest"
code=0
ctest --preset host -j"$(nproc)" "${selection[@]}" || code=$?
if [ -n "${TQ30_PE32_UNAVAILABLE:-}" ]; then
  echo "test.sh: the PE32 was not tested (its cases skipped): $TQ30_PE32_UNAVAILABLE" >&2
fi
exit $code
