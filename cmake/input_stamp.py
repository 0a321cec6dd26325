"""A step of every Windows build: the stamp that decides whether the demo launcher is signed
again. A file's modification time alone misses a file replaced by one of the same size with
an older time (cp -p, tar x, rsync -t); its change time and its identity do not. So the
stamp holds, for every signing file, the size, the modification and change times in
nanoseconds, the device and the inode, and is rewritten only when that differs: the
signing step depends on the stamp, and unchanged keys leave it alone.

    input_stamp.py SIGNING_FILE KEYS_STAMP
SIGNING_FILE holds the signing settings, as the build's configuration wrote them
(NAME=VALUE lines).
"""
import os
import sys

# The signing settings that name files, from the one list of them.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "signing-settings.txt"),
          encoding="utf-8") as settings_list:
    KEY_SETTINGS = [line.split()[0] for line in settings_list
                    if line.startswith("TQ30_") and line.split()[1:] == ["file"]]
SMALL = 64 * 1024  # the settings files are the build's own: a few lines


def read_small(path):
    with open(path, "rb") as f:
        data = f.read(SMALL + 1)
    if len(data) > SMALL:
        sys.exit(f"input_stamp.py: {path}: longer than {SMALL} bytes")
    return data.decode("utf-8", "surrogateescape")


def identity(path):
    """One line that changes whenever the file's bytes can have changed."""
    try:
        s = os.stat(path)
    except OSError as error:
        return f"{path!r} {error.strerror}\n"
    return f"{path!r} {s.st_size} {s.st_mtime_ns} {s.st_ctime_ns} {s.st_dev} {s.st_ino}\n"


def write_if_changed(path, text):
    try:
        if read_small(path) == text:
            return
    except FileNotFoundError:
        pass
    partial = path + ".partial"
    with open(partial, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write(text)
    os.replace(partial, path)


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    signing_file, keys_stamp = argv
    settings = dict(line.split("=", 1) for line in read_small(signing_file).splitlines()
                    if "=" in line)
    # A key on a token is named by its pkcs11: URI: there is no file of it to stamp.
    keys = [settings[name] for name in KEY_SETTINGS
            if settings.get(name) and not settings[name].startswith("pkcs11:")]
    write_if_changed(keys_stamp, "".join(identity(os.path.abspath(key)) for key in keys))


if __name__ == "__main__":
    main(sys.argv[1:])
