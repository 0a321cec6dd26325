# Sourced by the tests that run the PE32: `require_pe32_runtime RUNTIME_SH` makes the PE32
# runtime ready, or exits 77 (a skip, for CTest) with the reason in one line where it cannot
# be had on this host (as test.sh found, or as making it now finds).
require_pe32_runtime() {
  local reason code=0
  reason=$("$1" require) || code=$?
  case $code in
  0) return 0 ;;
  77) echo "SKIP: the PE32 cannot be run on this host: $reason" ;;
  *) echo "FAIL: '$1 require' exited $code" ;;
  esac
  exit "$code"
}
