"""The carried files' names and item keys, in manifest order, read from the one list the
launcher, the packer and the demo payload are built from (src/payload/payload_files.def).
The one reader of that list outside the compiler: CMake runs it when it configures,

    PYTHONPATH=python python3 -m tq30.manifest names
        (one file name a line, in manifest order)

and a list it refuses stops the configuration with its line."""
import os
import re
import sys

from tq30 import ROOT

DEF_FILE = os.path.join(ROOT, "src", "payload", "payload_files.def")
_MAX_BYTES = 64 * 1024
_ROW = re.compile(r'PAYLOAD_FILE\(([a-z0-9_]+), "([A-Za-z0-9_.]{1,12})"\)')


class ManifestError(Exception):
    pass


def read_rows(path: str = DEF_FILE) -> list[tuple[str, str]]:
    """[(item key, file name)] in manifest order. Lines that are neither a row nor a
    comment, and lists of other than eleven rows, are refused with the line at fault."""
    with open(path, "rb") as f:
        data = f.read(_MAX_BYTES + 1)
    if len(data) > _MAX_BYTES:
        raise ManifestError(f"{path}: longer than {_MAX_BYTES} bytes")
    rows = []
    for number, line in enumerate(data.decode("ascii", "replace").splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("//"):
            continue
        match = _ROW.fullmatch(line)
        if match is None:
            raise ManifestError(f"{path}:{number}: not a PAYLOAD_FILE row: {line[:80]}")
        rows.append((match.group(1), match.group(2)))
    if len(rows) != 11:
        raise ManifestError(f"{path}: {len(rows)} rows, expected 11")
    return rows


try:
    ROWS = read_rows()  # a broken list fails every user at once
except ManifestError as refused:
    if __name__ != "__main__":
        raise
    sys.exit(f"manifest.py: {refused}")
FILES = [name for _, name in ROWS]
_BY_KEY = dict(ROWS)


def file_of(key: str) -> str:
    """The file name of the row with item key `key`."""
    return _BY_KEY[key]


def main(argv: list[str]) -> None:
    if argv != ["names"]:
        sys.exit("usage: manifest.py names")
    sys.stdout.write("".join(name + "\n" for name in FILES))


if __name__ == "__main__":
    main(sys.argv[1:])
