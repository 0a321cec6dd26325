#!/usr/bin/env bash
# Builds the tests and what they read (installing what is missing) and runs every test:
# formatting, static analysis, the image reader's fuzz target for a bounded time, then
# CTest: host unit tests under ASan/UBSan, the packer's tests, the reproducibility check
# and the end-to-end cases under Wine and Xvfb, on the x64 launcher and on the PE32 in the
# PE32 runtime (built first, once per recipe; see tools/runtime), on the engine this host
# allows. The output ends with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh test

# The host build brings the Windows builds (with the demo payload) and the packer's
# folder up to date too: the tests read them.
echo "== host tools, tests and the Windows builds they read"
cmake --preset host >/dev/null
cmake --build --preset host -j"$(nproc)"

# Where neither engine of the PE32 runtime can be had (no qemu, no disk, no archive), its
# cases skip with the reason, and the last line says that the PE32 was not tested.
echo "== PE32 runtime"
tools/runtime/runtime.sh engine
code=0
reason=$(tools/runtime/runtime.sh require) || code=$?
case $code in
0) ;;
77) export TQ30_PE32_UNAVAILABLE=$reason ;;
*) exit "$code" ;;
esac

echo "== formatting"
tests/check_format.sh

echo "== static analysis"
tests/static_analysis.sh

echo "== fuzzing the image reader"
tests/fuzz/run_fuzz.sh "${FUZZ_SECONDS:-30}"

echo "== ctest"
code=0
ctest --preset host -j"$(nproc)" || code=$?
if [ -n "${TQ30_PE32_UNAVAILABLE:-}" ]; then
  echo "test.sh: the PE32 was not tested (its cases skipped): $TQ30_PE32_UNAVAILABLE" >&2
fi
exit $code
