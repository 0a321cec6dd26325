"""Takes PNG pictures of the launcher's message boxes as a user sees them, under Xvfb and
Wine, with the x64 launcher: the overwrite question and the halt notice that follows a No.

    python3 tools/screenshots.py [OUT_DIR]     (default docs/)
Needs ./build.sh to have run.
"""
import os
import struct
import subprocess
import sys
import zlib

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import wine_session  # noqa: E402

DRIVER = os.path.join(ROOT, "build", "win64", "dialog-driver.exe")


def bmp_to_png(bmp_path, png_path):
    """Converts a 32-bit bottom-up BMP, as the dialog driver writes it, into a PNG."""
    data = open(bmp_path, "rb").read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
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
    with open(png_path, "wb") as f:
        f.write(png)


def main():
    out_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs"))
    os.makedirs(out_dir, exist_ok=True)
    state_dir = os.path.join(ROOT, "build", "screenshots")
    folder = os.path.join(state_dir, "run")
    wine_session.start(state_dir)
    try:
        env = wine_session.wine_env(wine_session.load(state_dir))
        os.makedirs(folder)
        with open(os.path.join(folder, "readme.txt"), "w") as f:
            f.write("a readme that was here before\n")
        launcher = subprocess.Popen([wine_session.WINE64, os.path.join(ROOT, "dist",
                                     "tq30-setup-x64.exe")], cwd=folder, env=env)

        def driver(*args):
            subprocess.run([wine_session.WINE64, DRIVER, *args], cwd=folder, env=env, check=True,
                           stdout=subprocess.DEVNULL, timeout=60)

        for name, answer in (("overwrite-question", "no"), ("halt-notice", "ok")):
            bmp = os.path.join(folder, name + ".bmp")
            driver("shot", bmp)
            bmp_to_png(bmp, os.path.join(out_dir, name + ".png"))
            driver("press", answer)
            print(os.path.join(out_dir, name + ".png"))
        launcher.wait(timeout=60)
    finally:
        wine_session.stop(state_dir)


if __name__ == "__main__":
    main()
