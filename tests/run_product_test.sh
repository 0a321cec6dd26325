#!/usr/bin/env bash
# tools/runtime/run-product.sh as a user runs it, on the PE32 the Windows build made, on
# whichever engine this host gets: one row per folder the user may start from, with the
# answer given, the exit code expected, the line of output expected and what must be left.
# Exit code 77 (a skip) when the PE32 runtime cannot be had here.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/run-product-test
launcher=$root/build/win32/tq30-setup.exe
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
# shellcheck source=require_pe32_runtime.sh
. tests/require_pe32_runtime.sh
require_pe32_runtime tools/runtime/runtime.sh
mkdir -p "$work"

readme="the user's own readme"
failures=0
# name | readme.txt there first | options | exit code | a line the output must hold | left
while IFS='|' read -r name with_readme options code line left; do
  folder=$work/$name
  mkdir -p "$folder"
  [ "$with_readme" = no ] || printf '%s' "$readme" >"$folder/readme.txt"
  got=0
  # shellcheck disable=SC2086 # the options are words
  tools/runtime/run-product.sh --launcher "$launcher" $options "$folder" >"$work/$name.out" 2>&1 ||
    got=$?
  seen=$(ls -A "$folder" | tr '\n' ' ')
  problems=()
  [ "$got" -eq "$code" ] || problems+=("exit code $got, expected $code")
  grep -qF -- "$line" "$work/$name.out" || problems+=("no line '$line' in the output")
  [ "${seen% }" = "$left" ] || problems+=("left '${seen% }', expected '$left'")
  if [ "$left" = readme.txt ] && [ "$(cat "$folder/readme.txt")" != "$readme" ]; then
    problems+=("readme.txt was changed")
  fi
  if [ ${#problems[@]} -eq 0 ]; then
    echo "PASS $name"
  else
    failures=$((failures + 1))
    echo "FAIL $name: ${problems[*]}"
    sed 's/^/    /' "$work/$name.out"
  fi
done <<'EOF'
help_says_what_a_program_can_reach|no|--help|0|on the native engine it runs as root in a chroot|
an_answer_other_than_yes_or_no_is_refused|no|--answer maybe|2|--answer takes yes or no, not 'maybe'|
empty_folder|no||0|: nothing|
no_keeps_the_users_file|yes|--answer no|1|box: Installation will be halted|readme.txt
yes_overwrites_and_completes|yes|--answer yes|0|box: readme.txt is in the current folder.|
unanswered_question_ends_at_the_time_limit|yes|--timeout 20|124|did not end within 20 s|readme.txt
EOF
[ "$failures" -eq 0 ]
