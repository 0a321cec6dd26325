"""Runs one end-to-end case in a started Wine session, on the session's build.

    python3 run_case.py STATE_DIR CASE_NAME
"""
import sys

import e2e_cases
from e2e_support import Case, Check
from tq30 import wine


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    state_dir, name = sys.argv[1], sys.argv[2]
    case_function = getattr(e2e_cases, "case_" + name, None)
    if case_function is None:
        sys.exit(f"no case {name}")
    unavailable = wine.load(state_dir).state.get("unavailable")
    if unavailable:
        print(f"SKIP {name}: the PE32 cannot be run on this host: {unavailable}")
        sys.exit(wine.SKIPPED)
    case = Case(state_dir, name)
    try:
        case_function(case)
    except Check as failure:
        print(f"FAIL {name}: {failure}")
        sys.exit(1)
    finally:
        case.cleanup()
    print(f"PASS {name}")


if __name__ == "__main__":
    main()
