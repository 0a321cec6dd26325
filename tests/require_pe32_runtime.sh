# Sourced by the tests that run the PE32: `require_pe32_runtime RUNTIME_SH` exits 77 (a skip,
# for CTest) with the reason in one line where the PE32 runtime cannot be had on this host,
# as test.sh found (TQ30_PE32_UNAVAILABLE) or as building it now finds.
require_pe32_runtime() {
  local errors
  if [ -n "${TQ30_PE32_UNAVAILABLE:-}" ]; then
    echo "SKIP: the PE32 cannot be run on this host: $TQ30_PE32_UNAVAILABLE"
    exit 77
  fi
  errors=$(mktemp)
  if ! "$1" ensure >/dev/null 2>"$errors"; then
    echo "SKIP: the PE32 cannot be run on this host: $(tail -n 1 "$errors")"
    rm -f "$errors"
    exit 77
  fi
  rm -f "$errors"
}
