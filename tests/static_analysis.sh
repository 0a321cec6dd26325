#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy, every finding an error) and cppcheck over the
# launcher's portable sources and the host tools. The Win32 seam is left to the
# cross-compiler's warnings: it needs windows.h, which the host analysers lack.
set -euo pipefail
cd "$(dirname "$0")/.."
sources=(src/launcher/launcher.cpp src/payload/item_lookup.cpp src/payload/remove_extracted.cpp
         src/platform/text_bound.cpp
         tools/demo-payload/demo_payload_table.cpp tools/pack/*.cpp tools/pack/*/*.cpp tools/demo-payload/make_demo_payload.cpp)
[ -f build/host/compile_commands.json ] || cmake --preset host >/dev/null
if ! findings=$(clang-tidy -p build/host --quiet "${sources[@]}" 2>&1); then
  echo "$findings" | grep -E "(warning|error):" || echo "$findings" | tail -20
  exit 1
fi
echo "clang-tidy: clean"
cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr --std=c++17 \
  --quiet -I src -I src/payload -I tools/pack -I src \
  -I tools/demo-payload src/launcher src/payload src/platform/text_bound.cpp tools/pack tools/demo-payload
echo "cppcheck: clean"
