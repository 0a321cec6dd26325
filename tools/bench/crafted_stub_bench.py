"""The packer's judgement of a hostile stub: `pack`, `verify` and `sizes` on a 16 MiB PE32
with 65,535 sections (the most the file header can count) whose raw data is rows that look
like the start of a table of compiled sizes, each pointing at the manifest's names through
a different section. Every command must refuse it, each in well under a second; the
table scan once walked the section list for every address it looked up.

    PYTHONPATH=python python3 tools/bench/crafted_stub_bench.py [--repeats N] [--keep]
                                                                [--pack PATH]
Needs the tool build's packer (or the one --pack names) and the PE32 build's demo payload,
which ./bench.sh and ./test.sh build. The stub goes to build/bench."""
import argparse
import os
import struct
import subprocess
import time

from tq30 import ROOT
from tq30.manifest import ROWS
from tq30.wine import BUILDS, PACK
from report import fmt, summary

BENCH = os.path.join(ROOT, "build", "bench")
SECTIONS = 65535
STUB_BYTES = 16 * 2**20
IMAGE_BASE = 0x400000
SECTION_ALIGNMENT = 0x1000
FILE_ALIGNMENT = 0x200


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def crafted_stub():
    """Headers, then raw data of which section i maps the page at (i * FILE_ALIGNMENT) % span:
    each block of FILE_ALIGNMENT bytes the manifest's strings and rows of all but the last
    file, each pointing at its strings through another section."""
    header_end = 0x40 + 4 + 20 + 224
    headers = align(header_end + 40 * SECTIONS, FILE_ALIGNMENT)
    page = SECTION_ALIGNMENT
    span = STUB_BYTES - headers - page
    block = bytearray()
    strings = {}
    for key, name in ROWS:
        for text in (name, key):
            strings[text] = len(block)
            block += text.encode() + b"\0"
    block += bytes(align(len(block), 4) - len(block))
    section = 1
    for key, name in ROWS[:-1]:
        window = IMAGE_BASE + (section + 1) * page
        block += struct.pack("<III", 1, window + strings[name], window + strings[key])
        section = (section * 7 + 3) % SECTIONS
    block += bytes(FILE_ALIGNMENT - len(block))
    raw = block * ((STUB_BYTES - headers) // FILE_ALIGNMENT)
    image = bytearray(headers)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, 0x40)
    image[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", image, 0x44, 0x14C, SECTIONS, 0, 0, 0, 224, 0x0102)
    size_of_image = (SECTIONS + 1) * page
    struct.pack_into("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", image, 0x58, 0x10B, 14, 0, page, 0, 0,
                     page, page, page, IMAGE_BASE, SECTION_ALIGNMENT, FILE_ALIGNMENT, 6, 0, 0,
                     0, 6, 0, 0, size_of_image, headers, 0, 2, 0x0140, 0x100000, 0x1000,
                     0x100000, 0x1000, 0, 16)
    for i in range(SECTIONS):
        struct.pack_into("<8sIIIIIIHHI", image, header_end + 40 * i, b".r%05d" % i, page,
                         (i + 1) * page, page, headers + (i * FILE_ALIGNMENT) % span, 0, 0, 0,
                         0, 0x40000040 | (0x20000000 if i == 0 else 0))
    return bytes(image) + bytes(raw)


def timed(argv):
    started = time.monotonic()
    code = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=600).returncode
    return time.monotonic() - started, code


def measure(opts):
    pack = opts.pack
    os.makedirs(BENCH, exist_ok=True)
    stub = os.path.join(BENCH, "crafted-stub.exe")
    output = os.path.join(BENCH, "crafted-stub-packed.exe")
    with open(stub, "wb") as f:
        f.write(crafted_stub())
    commands = [("pack", [pack, "pack", "--stub", stub, "--payload", opts.payload, "-o", output]),
                ("verify", [pack, "verify", stub]),
                ("sizes", [pack, "sizes", stub, "-o", output])]
    rows = []
    try:
        for name, argv in commands:
            times = []
            for _ in range(opts.repeats):
                seconds, code = timed(argv)
                if code != 1 or os.path.exists(output):
                    raise RuntimeError(f"{name} of the crafted stub exited with {code}")
                times.append(seconds)
            rows.append((name, len(times), summary(times), max(times) < 1))
    finally:
        if not opts.keep:
            os.remove(stub)
    return rows


def main():
    parser = argparse.ArgumentParser(description="The packer's judgement of a hostile stub.")
    parser.add_argument("--repeats", type=int, default=3, help="runs of each command")
    parser.add_argument("--keep", action="store_true", help="keep the stub in build/bench")
    parser.add_argument("--pack", default=PACK, help="the packer to time (default build/tool's)")
    parser.add_argument("--payload", default=BUILDS["pe32"].payload,
                        help="a payload folder pack reads (default the PE32 build's demo payload)")
    opts = parser.parse_args()
    if opts.repeats < 1:
        parser.error("the repeats must be at least 1")
    print(f"| `selfinst-pack` refusing a 16 MiB stub of {SECTIONS:,} sections | runs | min (s) "
          "| median (s) | target | met |")
    print("| --- | ---: | ---: | ---: | --- | --- |")
    for name, runs, (least, median), met in measure(opts):
        print(f"| `{name}` | {runs} | {fmt(least, 's')} | {fmt(median, 's')} | < 1 s | "
              f"{'yes' if met else 'NO'} |")


if __name__ == "__main__":
    main()
