#!/usr/bin/env bash
# The largest payload the packer accepts, on the PE32 in the PE32 runtime: a launcher
# carrying exactly that many bytes starts, runs its installer and leaves its folder empty,
# and one byte more is refused by ./build.sh before it builds or writes a launcher.
# Everything it makes goes to build/ceiling (on disk: the runtime's /tmp is memory), but the
# payload, which ./build.sh takes only from outside build/ and dist/ (a sparse folder in
# /var/tmp), and all is deleted at the end, whatever the outcome.
# Usage: tests/ceiling_test.sh [SELFINST_PACK]   (default build/tool/selfinst-pack)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
pack=${1:-$root/build/tool/selfinst-pack}
work=$root/build/ceiling
started=$SECONDS
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
rm -rf "$work"
outside=$(mktemp -d /var/tmp/tq30-ceiling.XXXXXX)
payload=$outside/payload
trap 'rm -rf "$work" "$outside"' EXIT
trap 'exit 1' HUP INT TERM
mkdir -p "$work/run"

limits=$("$pack" limits) || fail "selfinst-pack limits failed"
largest=$(sed -n '1s/^largest payload: \([0-9][0-9]*\) bytes$/\1/p' <<<"$limits")
mapped=$(sed -n '2s/^largest payload 32-bit Windows maps: \([0-9][0-9]*\) bytes$/\1/p' <<<"$limits")
if [ -z "$largest" ] || [ -z "$mapped" ] || [ "$(wc -l <<<"$limits")" -ne 2 ]; then
  fail "selfinst-pack limits printed something else than its two lines: $limits"
fi
# Between what 32-bit Windows maps and the limit, a build still builds, and warns.
[ "$mapped" -le "$largest" ] ||
  fail "32-bit Windows is said to map $mapped bytes, more than the limit of $largest"

# The demo's ten small files and the 32-bit stand-in installer, with data.2 grown (as a
# hole: nothing written, nothing on disk) to what makes the total one byte above the limit.
build/host/make-demo-payload -o "$payload" --installer build/win32/setup.exe
others=0
while read -r file; do
  [ "$file" = data.2 ] || others=$((others + $(stat -c %s "$payload/$file")))
done < <("$pack" names)
truncate -s $((largest + 1 - others)) "$payload/data.2"

# One byte above: refused before anything is built. The launchers the last build left (or
# their absence) must stay exactly as they were.
launchers=(dist/tq30-setup.exe dist/tq30-setup-x64.exe build/win32/tq30-stub.exe
  build/win64/tq30-stub-x64.exe)
snapshot() {
  local launcher
  for launcher in "${launchers[@]}"; do
    if [ -e "$launcher" ]; then
      echo "$launcher $(stat -c '%s %.9Y' "$launcher") $(sha256sum <"$launcher")"
    else
      echo "$launcher absent"
    fi
  done
}
before=$(snapshot)
code=0
./build.sh "$payload" >"$work/build.out" 2>"$work/build.err" || code=$?
last=$(tail -n 1 "$work/build.err")
[ $code -eq 1 ] || fail "./build.sh took a payload of $((largest + 1)) bytes: exit code $code"
if ! grep -qw -- "$((largest + 1))" <<<"$last" || ! grep -qw -- "$largest" <<<"$last"; then
  fail "./build.sh's last line names not both $((largest + 1)) and $largest: $last"
fi
[ "$(snapshot)" = "$before" ] || fail "./build.sh refused the payload but changed a launcher:
$before
now:
$(snapshot)"
echo "one byte above the limit: refused by ./build.sh ($last)"

# At the limit: the PE32 packed as ./build.sh packs it, from the build's stub.
truncate -s $((largest - others)) "$payload/data.2"
[ "$(du -cb "$payload"/* | tail -n 1 | cut -f1)" -eq "$largest" ] || fail "the payload is not $largest bytes"
launcher=$work/tq30-setup.exe
"$pack" pack --stub build/win32/tq30-stub.exe --payload "$payload" -o "$launcher"
echo "launcher carrying $largest bytes: $(stat -c %s "$launcher") bytes ($((SECONDS - started)) s so far)"

# Run as a user would, from a folder on disk; the installer (first stage only, no window)
# leaves a time stamp outside the folder to show that it ran.
stamp=$work/installer-ran
windows_stamp="Z:${stamp//\//\\}"
# shellcheck source=require_pe32_runtime.sh
. tests/require_pe32_runtime.sh
require_pe32_runtime tools/runtime/runtime.sh
result=$(cd "$work/run" && PYTHONPATH=$root/python python3 -m tq30.wine run pe32 -- \
  /bin/sh -c '
  code=0
  STANDIN_STAGES=1 STANDIN_EXIT_STAMP="$2" timeout 1200 /usr/lib/wine/wine64 "$1" || code=$?
  echo "exit code $code"' sh "$launcher" "$windows_stamp")
left=$(ls -A "$work/run")
echo "at the limit: $result; left in the folder: ${left:-nothing}"
[ "$result" = "exit code 0" ] || fail "the launcher carrying $largest bytes did not complete"
[ -z "$left" ] || fail "the launcher left files behind: $left"
[ -s "$stamp" ] || fail "the installer did not run"
echo "ceiling: $largest bytes run, $((largest + 1)) refused, in $((SECONDS - started)) s"
