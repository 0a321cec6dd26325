"""Puts a folder in the place of another in one step.

    exchange_folders.py NEW OLD
NEW and OLD (paths from the current folder) exchange their names at once (renameat2 with
RENAME_EXCHANGE), so that no moment sees OLD missing or half replaced; NEW then holds what
OLD held, for the caller to remove. When OLD does not exist, NEW takes its name, never over
anything that appeared there meanwhile (RENAME_NOREPLACE). A link in either place is
exchanged as the link, not followed. One line on stderr and exit 1 when it cannot.
"""
import ctypes
import os
import sys

AT_FDCWD = -100
RENAME_NOREPLACE = 1
RENAME_EXCHANGE = 2


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    new, old = (os.fsencode(path) for path in argv)
    libc = ctypes.CDLL(None, use_errno=True)
    flags = RENAME_EXCHANGE if os.path.lexists(old) else RENAME_NOREPLACE
    if libc.renameat2(AT_FDCWD, new, AT_FDCWD, old, flags) != 0:
        print(f"exchange_folders.py: {argv[1]} could not be replaced by {argv[0]}: "
              f"{os.strerror(ctypes.get_errno())}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
