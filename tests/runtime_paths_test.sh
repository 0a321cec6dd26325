#!/usr/bin/env bash
# `runtime.sh run`, on whichever engine this host gets: the checkout and the current folder
# are seen inside at their own paths wherever they are, under /tmp too, where the runtime
# mounts a fresh tmpfs; the command's output, error output and exit code come back; and
# nothing it started is left running on the host afterwards. Runs runtime.sh from a copy of
# tools/runtime in a scratch folder under /tmp, in another scratch folder there.
# Exit code 77 (a skip) when the PE32 runtime cannot be had here.
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=$(mktemp -d /tmp/tq30-runtime-paths.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/checkout/tools" "$scratch/work"
cp -r tools/runtime "$scratch/checkout/tools/"
echo checkout >"$scratch/checkout/marker"
echo work >"$scratch/work/marker"
runtime=$scratch/checkout/tools/runtime/runtime.sh
"$runtime" engine
# shellcheck source=require_pe32_runtime.sh
. tests/require_pe32_runtime.sh
require_pe32_runtime "$runtime"
# A process left running in the background, under a name of its own to look for.
cp /bin/sleep "$scratch/work/tq30-left-running"
code=0
seen=$(cd "$scratch/work" && "$runtime" run /bin/sh -c '
  ./tq30-left-running 600 >/dev/null 2>&1 &
  echo "$(pwd) $(cat marker) $(cat "$1/marker")"
  echo "to standard error" >&2
  exit 3' sh "$scratch/checkout" 2>"$scratch/stderr") || code=$?
fail() {
  echo "FAIL: $*"
  exit 1
}
expected="$scratch/work work checkout"
[ "$seen" = "$expected" ] || fail "the runtime saw '$seen', expected '$expected'"
[ "$code" -eq 3 ] || fail "the command's exit code came back as $code, not 3"
[ "$(cat "$scratch/stderr")" = "to standard error" ] ||
  fail "standard error came back as '$(cat "$scratch/stderr")'"
sleep 0.5
left=$(pgrep -a -f "tq30-left-running|$scratch/checkout" || true)
[ -z "$left" ] || fail "left running on the host: $left"
echo "runtime paths: the checkout and the current folder under /tmp are seen inside;" \
  "output, error output and exit code come back; nothing is left running"

# Where the emulated machine cannot start (here a qemu that refuses), a PE32 session and its
# cases are skipped with the reason, not passed: the same reason whether or not the machine
# was made before.
mkdir "$scratch/bin"
printf '#!/bin/sh\necho "qemu-system-x86_64: no machine today" >&2\nexit 1\n' \
  >"$scratch/bin/qemu-system-x86_64"
chmod +x "$scratch/bin/qemu-system-x86_64"
reason="the PE32 cannot be run on this host: the emulated machine cannot start:"
reason+=" qemu-system-x86_64: no machine today"
for step in "python3 -m tq30.wine start $scratch/session pe32|SKIP: $reason" \
  "python3 tests/e2e/run_case.py $scratch/session typical_run|SKIP typical_run: $reason"; do
  code=0
  # shellcheck disable=SC2086 # the command is words
  out=$(PATH=$scratch/bin:$PATH PYTHONPATH=python TQ30_RUNTIME_ENGINE=emulated \
    ${step%%|*} 2>/dev/null) || code=$?
  [ "$code" -eq 77 ] || fail "'${step%%|*}' exited $code, not 77 (skipped)"
  grep -qxF -- "${step#*|}" <<<"$out" || fail "'${step%%|*}' said '$out', not '${step#*|}'"
done
echo "runtime paths: where the emulated machine cannot boot, the PE32's cases are skipped"
