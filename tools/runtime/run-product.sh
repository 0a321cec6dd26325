#!/usr/bin/env bash
# Runs the product, dist/tq30-setup.exe, as a user would, in the PE32 runtime (on whichever
# engine this host allows; the first line says which): in FOLDER (default
# build/product-run), on a display of its own and a fresh Wine prefix, with the installer
# it carries. Prints the launcher's exit code and what it left in the folder, and exits with
# that code.
#   --answer yes|no  answers every question the run asks so, and presses OK on every notice
#                    (each box is printed); without it a question waits for no one
#   --timeout SECONDS  ends a launcher still running after that long (default 300), and
#                    exits 124
#   --launcher FILE  runs FILE instead (the tests run the Windows build's own)
# Usage: tools/runtime/run-product.sh [--answer yes|no] [--timeout SECONDS]
#                                     [--launcher FILE] [FOLDER]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
usage() {
  echo "usage: tools/runtime/run-product.sh [--answer yes|no] [--timeout SECONDS]" \
    "[--launcher FILE] [FOLDER]" >&2
  exit 2
}
answer="" limit=300 folder="" launcher=$root/dist/tq30-setup.exe
while [ $# -gt 0 ]; do
  case $1 in
  --answer)
    [ $# -ge 2 ] && { [ "$2" = yes ] || [ "$2" = no ]; } || usage
    answer=$2
    shift 2
    ;;
  --timeout)
    [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || usage
    limit=$2
    shift 2
    ;;
  --launcher)
    [ $# -ge 2 ] || usage
    launcher=$(realpath -- "$2")
    shift 2
    ;;
  -*) usage ;;
  *)
    [ -z "$folder" ] || usage
    folder=$1
    shift
    ;;
  esac
done
folder=${folder:-$root/build/product-run}
[ -f "$launcher" ] || { echo "run-product.sh: no $launcher: run ./build.sh first" >&2; exit 1; }
driver=""
if [ -n "$answer" ]; then
  # What answers the boxes is a test program, built beside the launcher when needed.
  driver=$root/build/win32/dialog-driver.exe
  if [ ! -f "$driver" ]; then
    (cd "$root" && cmake --preset win32 >/dev/null && cmake --build --preset win32 \
      --target dialog-driver >/dev/null) || { echo "run-product.sh: could not build $driver" >&2; exit 1; }
  fi
fi
mkdir -p "$folder"
cd "$folder"
"$root/tools/runtime/runtime.sh" engine
"$root/tools/runtime/runtime.sh" ensure >/dev/null
code=0
"$root/tools/runtime/runtime.sh" run "$root/tools/runtime/wine-session.sh" /bin/sh -c '
  launcher=$1 driver=$2 answer=$3 limit=$4
  timeout --kill-after=5 "$limit" /usr/lib/wine/wine64 "$launcher" &
  running=$!
  if [ -n "$answer" ]; then
    while kill -0 "$running" 2>/dev/null; do
      /usr/lib/wine/wine64 "$driver" answer "$answer" "Varnholt Tonequill TQ-30" 500 |
        sed -n "s/^text=/box: /p"
    done
  fi
  code=0
  wait "$running" || code=$?
  exit "$code"' sh "$launcher" "$driver" "$answer" "$limit" || code=$?
if [ "$code" -eq 124 ] || [ "$code" -eq 137 ]; then
  echo "the launcher did not end within $limit s (a question may be waiting: see --answer)"
  code=124
fi
echo "exit code $code; left in $(pwd): $(ls -A | tr "\n" " ")"
exit "$code"
