#!/usr/bin/env bash
# Runs the product, dist/tq30-setup.exe, as a user would, in the PE32 runtime: in FOLDER
# (default build/product-run), on a display of its own and a fresh Wine prefix, with the
# installer it carries. Prints the launcher's exit code and what it left in the folder.
# Usage: tools/runtime/run-product.sh [FOLDER]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
folder=${1:-$root/build/product-run}
mkdir -p "$folder"
cd "$folder"
"$root/tools/runtime/runtime.sh" ensure >/dev/null
# Xvfb and the wineserver end with the command; the prefix lives on its private /tmp.
exec "$root/tools/runtime/runtime.sh" run /bin/sh -c '
  export WINEPREFIX=/tmp/prefix WINEDEBUG=-all DISPLAY=:1 \
    WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  Xvfb :1 -nolisten tcp >/dev/null 2>&1 &
  while [ ! -e /tmp/.X11-unix/X1 ]; do sleep 0.1; done
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
  code=0
  /usr/lib/wine/wine64 "$1" || code=$?
  echo "exit code $code; left in $(pwd): $(ls -A | tr "\n" " ")"' sh "$root/dist/tq30-setup.exe"
