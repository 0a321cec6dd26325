#!/usr/bin/env bash
# Fails when the Python is not clean: mypy over the package python/tq30 (every function
# annotated, each call checked against them, the runtime's engines against its Holder),
# then flake8 over every tracked Python file.
set -euo pipefail
cd "$(dirname "$0")/.."
# Debian's mypy, whatever python3 comes first on the PATH; its cache goes with the builds.
MYPYPATH=python /usr/bin/python3 -m mypy --cache-dir=build/mypy-cache --disallow-untyped-defs \
  python/tq30
mapfile -t sources < <(git ls-files '*.py')
flake8 --max-line-length=100 "${sources[@]}"
echo "flake8: clean"
