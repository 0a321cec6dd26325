#!/usr/bin/env bash
# `runtime.sh run`, on whichever engine this host gets: the checkout and the current folder
# are seen inside at their own paths wherever they are, under /tmp too, where the runtime
# mounts a fresh tmpfs; the command's output, error output and exit code come back; it gets
# none of the caller's secrets; nothing it started is left running on the host afterwards;
# and on the emulated machine, what the guest's root makes in a shared folder reaches the
# host as plain files (no set-uid file, no link out of the folder). Runs runtime.sh from a
# copy of the checkout's runtime in a scratch folder under /tmp, in another scratch folder.
# Exit code 77 (a skip) when the PE32 runtime cannot be had here.
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=$(mktemp -d /tmp/tq30-runtime-paths.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/checkout/tools" "$scratch/work"
cp -r tools/runtime "$scratch/checkout/tools/"
cp -r python "$scratch/checkout/"
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
# What the guest's root tries in the shared folder: a set-uid copy of a shell, links to /
# and to /etc/shadow.
seen=$(cd "$scratch/work" && TQ30_SIGN_PASSWORD=a-secret "$runtime" run /bin/sh -c '
  ./tq30-left-running 600 >/dev/null 2>&1 &
  cp /bin/sh setuid-shell && chmod 4755 setuid-shell && ln -s / up && ln -s /etc/shadow shadow
  echo "$(pwd) $(cat marker) $(cat "$1/marker") ${TQ30_SIGN_PASSWORD:-no-secret}"
  echo "to standard error" >&2
  exit 3' sh "$scratch/checkout" 2>"$scratch/stderr") || code=$?
fail() {
  echo "FAIL: $*"
  exit 1
}
expected="$scratch/work work checkout no-secret"
[ "$seen" = "$expected" ] || fail "the runtime saw '$seen', expected '$expected'"
[ "$code" -eq 3 ] || fail "the command's exit code came back as $code, not 3"
[ "$(cat "$scratch/stderr")" = "to standard error" ] ||
  fail "standard error came back as '$(cat "$scratch/stderr")'"
sleep 0.5
left=$(pgrep -a -f "tq30-left-running|$scratch/checkout" || true)
[ -z "$left" ] || fail "left running on the host: $left"
echo "runtime paths: the checkout and the current folder under /tmp are seen inside;" \
  "output, error output and exit code come back; no secret goes in; nothing is left running"
if [ "$("$runtime" engine | cut -d' ' -f3)" = emulated ]; then
  # The shell, the links: present for the guest, plain files of mode 0600 or less here.
  for name in setuid-shell up shadow; do
    [ -f "$scratch/work/$name" ] && [ ! -L "$scratch/work/$name" ] ||
      fail "the guest's $name is not a plain file on the host: $(ls -l "$scratch/work/$name")"
  done
  special=$(find "$scratch/work" -mindepth 1 ! -name tq30-left-running -newer "$scratch/work/marker" \
    \( -perm /6000 -o -type l -o -perm /0077 \))
  [ -z "$special" ] || fail "the guest made special files on the host: $special"
  echo "runtime paths: the guest's set-uid shell and links to / and /etc/shadow are plain" \
    "files of the machine's on the host"
else
  # Commands run as root in the chroot there, and this is what they can do (README).
  echo "runtime paths: on the native engine a command runs as root over the shared folders"
fi

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
