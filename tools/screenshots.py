"""Takes PNG pictures of the launcher's message boxes as a user sees them, under Xvfb and
Wine: the overwrite question and the halt notice that follows a No. By default from the
PE32, the product, in the PE32 runtime; `--build x64` takes them from the x64 launcher.

    PYTHONPATH=python python3 tools/screenshots.py [--build pe32|x64] [OUT_DIR]
        (OUT_DIR: docs/ by default)
Needs ./build.sh to have run; builds the dialog driver it reads the boxes with, which
./build.sh does not build.
"""
import os
import struct
import subprocess
import sys
import zlib

from tq30 import ROOT, wine
from tq30.manifest import FILES


def bmp_to_png(bmp_path, png_path):
    """Converts a 32-bit bottom-up BMP, as the dialog driver writes it, into a PNG."""
    with open(bmp_path, "rb") as f:
        data = f.read(64 * 1024 * 1024)
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    if not (0 < width <= 4096 and 0 < height <= 4096 and offset + width * height * 4 <= len(data)):
        raise ValueError(f"{bmp_path}: not a 32-bit picture of at most 4096 x 4096")
    stride = width * 4
    rows = []
    for y in range(height - 1, -1, -1):
        row = data[offset + y * stride: offset + (y + 1) * stride]
        rgb = bytearray(width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = row[2::4], row[1::4], row[0::4]
        rows.append(b"\0" + bytes(rgb))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    png = (b"\x89PNG\r\n\x1a\n" +
           chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    with open(png_path + ".partial", "wb") as f:
        f.write(png)
    os.replace(png_path + ".partial", png_path)


PRESETS = {"pe32": "win32", "x64": "win64"}


def build_programs(build):
    """The programs beside the launcher in its build folder: the dialog driver, and the
    stand-in installer and decoy of the same target."""
    subprocess.run(["cmake", "--build", "--preset", PRESETS[build], "--target", "test_programs"],
                   cwd=ROOT, check=True, stdout=subprocess.DEVNULL)


def main():
    args = sys.argv[1:]
    build = "pe32"
    if args[:1] == ["--build"] and len(args) >= 2 and args[1] in wine.BUILDS:
        build, args = args[1], args[2:]
    if len(args) > 1 or args[:1] and args[0].startswith("-"):
        sys.exit(__doc__)
    out_dir = os.path.abspath(args[0] if args else os.path.join(ROOT, "docs"))
    os.makedirs(out_dir, exist_ok=True)
    build_programs(build)
    state_dir = os.path.join(ROOT, "build", "screenshots-" + build)
    folder = os.path.join(state_dir, "run")
    session = wine.start(state_dir, build)
    try:
        os.makedirs(folder)
        with open(os.path.join(folder, FILES[0]), "w") as f:
            f.write("a readme that was here before\n")
        launcher = session.popen(session.build.launcher, cwd=folder)

        def driver(*command):
            session.run(session.build.program("dialog-driver.exe"), *command, cwd=folder,
                        check=True, stdout=subprocess.DEVNULL, timeout=60)

        for name, answer in (("overwrite-question", "no"), ("halt-notice", "ok")):
            bmp = os.path.join(folder, name + ".bmp")
            driver("shot", bmp)
            bmp_to_png(bmp, os.path.join(out_dir, name + ".png"))
            driver("press", answer)
            print(os.path.join(out_dir, name + ".png"))
        launcher.wait(timeout=60)
    finally:
        wine.stop(state_dir)


if __name__ == "__main__":
    main()
