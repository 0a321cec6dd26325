#!/usr/bin/env bash
# Fails when a tracked C++ file is not clang-format clean.
set -euo pipefail
cd "$(dirname "$0")/.."
bad=0
while IFS= read -r file; do
  if ! clang-format --dry-run --Werror "$file" >/dev/null 2>&1; then
    echo "not clang-format clean: $file"
    bad=1
  fi
done < <(git ls-files '*.cpp' '*.h')
[ $bad -eq 0 ] && echo "clang-format: clean"
exit $bad
