#!/usr/bin/env bash
# Runs the product, dist/tq30-setup.exe, as a user would, in the PE32 runtime (on whichever
# engine this host allows; the first line says which).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
usage() {
  cat <<'USAGE'
usage: tools/runtime/run-product.sh [--answer yes|no] [--timeout SECONDS] [--launcher FILE]
                                    [FOLDER]
Runs the launcher in FOLDER (default build/product-run), on a display of its own and a
fresh Wine prefix, with the installer it carries; prints the launcher's exit code and what
it left in the folder, and exits with that code.
  --answer yes|no    answers every question the run asks so, and presses OK on every
                     notice (each box is printed); without it a question waits for no one
  --timeout SECONDS  ends a launcher still running after that long (default 300), exit 124
  --launcher FILE    runs FILE instead of dist/tq30-setup.exe (the tests run the Windows
                     build's own)
  -h, --help         shows this
What a program run there can reach: on the emulated machine, the checkout and FOLDER,
where whatever it makes reaches this host as plain files of the machine's (no set-uid
file, device or link); on the native engine it runs as root in a chroot with the checkout,
FOLDER and /dev mounted, and can reach those with root's rights: run only an installer
you would run as root here.
Exit codes: the launcher's; 124 when the time limit ended it; 2 for a usage error; 1 when
the runtime cannot be had.
USAGE
}
refuse() {
  echo "run-product.sh: $*" >&2
  echo "usage: tools/runtime/run-product.sh [--answer yes|no] [--timeout SECONDS]" \
    "[--launcher FILE] [FOLDER] (see --help)" >&2
  exit 2
}
answer="" limit=300 folder="" launcher=$root/dist/tq30-setup.exe
while [ $# -gt 0 ]; do
  case $1 in
  -h | --help)
    usage
    exit 0
    ;;
  --answer)
    [ $# -ge 2 ] || refuse "--answer needs yes or no"
    [ "$2" = yes ] || [ "$2" = no ] || refuse "--answer takes yes or no, not '$2'"
    answer=$2
    shift 2
    ;;
  --timeout)
    [ $# -ge 2 ] || refuse "--timeout needs a number of seconds"
    [[ $2 =~ ^[1-9][0-9]*$ ]] || refuse "--timeout takes a whole number of seconds, not '$2'"
    limit=$2
    shift 2
    ;;
  --launcher)
    [ $# -ge 2 ] || refuse "--launcher needs a file"
    launcher=$(realpath -- "$2")
    shift 2
    ;;
  --)
    shift
    [ $# -le 1 ] || refuse "one FOLDER at most"
    folder=${1:-$folder}
    shift $#
    ;;
  -*) refuse "unknown option '$1'" ;;
  *)
    [ -z "$folder" ] || refuse "one FOLDER at most"
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
code=0
PYTHONPATH=$root/python python3 -m tq30.wine run pe32 -- /bin/sh -c '
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
# The session said why the runtime cannot be had (a skip, to the tests).
[ "$code" -ne 77 ] || exit 1
if [ "$code" -eq 124 ] || [ "$code" -eq 137 ]; then
  echo "the launcher did not end within $limit s (a question may be waiting: see --answer)"
  code=124
fi
left=$(ls -A | tr "\n" " ")
echo "exit code $code; left in $(pwd): ${left:-nothing}"
exit "$code"
