"""The packer's rows: `selfinst-pack pack`, `verify --payload` and `extract` on a payload of
about 1 GiB (the demo's files scaled up), and `./build.sh DIR` on it, each beside `cp -r`
of the same bytes followed by `sync` of the copy, in the same run, alternating one run of
each, reported as minimum and median seconds and the peak resident memory of the packer
(from /usr/bin/time).

Both sides of a row see the same I/O: the inputs are in the page cache (just written or
read), and the output of the previous run is deleted and everything dirty is synced before
each run, outside the timing. Both sides then put their output on the disk inside the
timing: the packer flushes every file it writes before naming it (and ./build.sh syncs
dist/'s new set), so the copy is synced too.

    PYTHONPATH=python python3 tools/bench/packer_bench.py [--repeats N] [--size-mib N]
                                                          [--keep]
Needs the tool and win32 builds (./bench.sh makes them). The payload goes to build/bench and
is deleted after the run unless --keep is given. bench.py runs the same rows, with
--packer-repeats for --repeats.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from tq30 import ROOT
from tq30.manifest import FILES, file_of
from tq30.wine import MAKE_DEMO_PAYLOAD, PACK
from report import summary, table, shortfalls

BENCH = os.path.join(ROOT, "build", "bench")
DEMO_BYTES = 2161820  # make-demo-payload at --scale 1
MIB = 2**20


def options(argv, repeats_flag="--repeats"):
    parser = argparse.ArgumentParser(description="The packer's benchmark rows.")
    parser.add_argument(repeats_flag, dest="repeats", type=int, default=3,
                        help="runs of each side of each row (default 3)")
    parser.add_argument("--size-mib", type=int, default=1024,
                        help="payload size in MiB, in the demo's proportions (default 1024)")
    parser.add_argument("--keep", action="store_true",
                        help="keep the generated payload in build/bench")
    known, _ = parser.parse_known_args(argv)
    if known.repeats < 1 or known.size_mib < 1:
        parser.error("the repeats and the size must be at least 1")
    return known


def measured(argv, cwd=BENCH):
    """Wall seconds and peak resident bytes of one run of `argv`, which must exit with 0.
    The peak comes from /usr/bin/time: a child of this script inherits its resident size
    into ru_maxrss (the kernel keeps the larger of the forked and the executed image), so
    the child is started from a small process instead."""
    with tempfile.TemporaryFile() as log, tempfile.NamedTemporaryFile("r") as peak:
        started = time.monotonic()
        code = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak.name, *argv], cwd=cwd,
                              stdin=subprocess.DEVNULL, stdout=log,
                              stderr=subprocess.STDOUT).returncode
        elapsed = time.monotonic() - started
        if code != 0:
            log.seek(0)
            sys.stderr.write(log.read().decode(errors="replace"))
            raise RuntimeError(f"{argv[0]} exited with {code}")
        return elapsed, int(peak.read().split()[-1]) * 1024


def settled(*paths):
    """Removes the previous run's outputs and writes back what is dirty, so that every run
    starts from the same state."""
    for path in paths:
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.exists(path):
            os.remove(path)
    os.sync()


def make_payload(size_mib):
    payload = os.path.join(BENCH, "packer-payload")
    settled(payload)
    scale = max(1, round(size_mib * MIB / DEMO_BYTES))
    subprocess.run([MAKE_DEMO_PAYLOAD, "-o", payload,
                    "--installer", os.path.join(ROOT, "build", "win32", file_of("setup_exe")),
                    "--scale", str(scale)], check=True)
    return payload


# The PE32 launcher's stub, for any payload.
STUB = os.path.join(ROOT, "build", "win32", "tq30-stub.exe")


def alternate(repeats, payload, tool, tool_output, copies):
    """`tool` and cp -r of `payload` into each of `copies`, one after the other, `repeats`
    times: the tool's times and peaks, and the copies' times and peaks."""
    tool_times, tool_peaks, cp_times, cp_peaks = [], [], [], []
    for _ in range(repeats):
        settled(*([tool_output] if tool_output else []))
        seconds, peak = measured(tool)
        tool_times.append(seconds)
        tool_peaks.append(peak)
        settled(*copies)
        seconds, peak = 0.0, 0
        for copy in copies:
            s, p = measured(["sh", "-c", 'cp -r "$1" "$2" && sync "$2" "$2"/*', "sh", payload,
                             copy])
            seconds, peak = seconds + s, max(peak, p)
        cp_times.append(seconds)
        cp_peaks.append(peak)
    settled(*copies)
    return tool_times, tool_peaks, cp_times, cp_peaks


def verb_rows(name, writes, times, peaks, cp_times, cp_peaks, size):
    ratio = statistics.median(times) / statistics.median(cp_times)
    flush = ", its fsync included," if writes else ""
    # A verb that writes the payload out is held to what copying it safely costs; verify
    # reads the image and the payload both, and has more room.
    limit = 1.1 if writes else 1.5
    return [
        {"figure": f"`selfinst-pack {name}` of {size}{flush} beside `cp -r` and `sync` of it (s)",
         "value": summary(times), "baseline": summary(cp_times), "ratio": ratio,
         "target": f"<= {limit} x baseline", "met": ratio <= limit, "unit": "s", "build": "host",
         "runs": len(times)},
        {"figure": f"peak resident memory of `selfinst-pack {name}`, {size} (bytes)",
         "value": summary(peaks), "baseline": summary(cp_peaks),
         "ratio": statistics.median(peaks) / statistics.median(cp_peaks),
         "target": "<= 64 MiB", "met": max(peaks) <= 64 * MIB, "unit": "B", "build": "host",
         "runs": len(peaks)}]


def checkout_copy():
    """The checkout's sources copied into build/bench, so that the ./build.sh row builds
    into a dist/ of its own and never replaces the user's."""
    copy = os.path.join(BENCH, "checkout")
    settled(copy)
    subprocess.run(["sh", "-c", 'mkdir -p "$2" && tar -C "$1" --exclude=./build '
                    '--exclude=./dist -cf - . | tar -C "$2" -xf -', "sh", ROOT, copy],
                   check=True)
    return copy


def build_rows(payload, repeats, size):
    """./build.sh DIR as a user runs it again, in a copy of the checkout whose build folders
    one untimed run warms: first with nothing changed, beside the checks make and CMake make
    of the same up-to-date folders; then after the payload changed, readme.txt one byte
    longer or shorter each time, so that the files' sizes change and the PE32 is packed
    again (nothing is compiled: the stub is built for any payload). That second figure is
    the time above the first's median, beside the two copies of the payload a build makes
    (the packed launcher and dist/'s exchange)."""
    copy = checkout_copy()
    build = [os.path.join(copy, "build.sh"), payload]
    checks = ["sh", "-c", "cmake --build --preset tool --target selfinst-pack make-demo-payload"
              " && cmake --build --preset win32 --target launcher-stub"]
    readme = os.path.join(payload, file_of("readme_txt"))
    measured(build)
    unchanged, check_times = [], []
    for _ in range(repeats):
        settled()
        unchanged.append(measured(build)[0])
        settled()
        check_times.append(measured(checks, cwd=copy)[0])
    times, cp_times = [], []
    copies = [os.path.join(BENCH, "packer-copy-1"), os.path.join(BENCH, "packer-copy-2")]
    for run in range(repeats):
        if run % 2 == 0:
            with open(readme, "ab") as f:
                f.write(b"\n")
        else:
            os.truncate(readme, os.path.getsize(readme) - 1)
        tool_times, _, copy_times, _ = alternate(1, payload, build, None, copies)
        times += tool_times
        cp_times += copy_times
    settled(copy)
    above = [seconds - statistics.median(unchanged) for seconds in times]
    ratio = statistics.median(above) / statistics.median(cp_times)
    return [{"figure": f"`./build.sh DIR` with nothing changed, {size}, beside make's and "
                       "CMake's checks of the same folders (s)",
             "value": summary(unchanged), "baseline": summary(check_times),
             "ratio": statistics.median(unchanged) / statistics.median(check_times),
             "target": "<= 3 s", "met": statistics.median(unchanged) <= 3, "unit": "s",
             "build": "host", "runs": len(unchanged)},
            {"figure": f"`./build.sh DIR` after a change to {size}, the time above a build "
                       "with nothing changed, beside `cp -r` and `sync` of it twice (s)",
             "value": summary(above), "baseline": summary(cp_times), "ratio": ratio,
             "target": "<= 1.5 x baseline", "met": ratio <= 1.5, "unit": "s",
             "build": "host", "runs": len(times)}]


def measure(opts):
    """The packer's rows; dist/ and the checkout's build folders are left as they were."""
    os.makedirs(BENCH, exist_ok=True)
    payload = make_payload(opts.size_mib)
    size = f"{sum(os.path.getsize(os.path.join(payload, f)) for f in FILES) / MIB:,.0f} MiB"
    stub = STUB
    image = os.path.join(BENCH, "packer-image.exe")
    unpacked = os.path.join(BENCH, "packer-unpacked")
    copy = [os.path.join(BENCH, "packer-copy-1")]
    rows = []
    try:
        verbs = [("pack", [PACK, "pack", "--stub", stub, "--payload", payload, "-o", image],
                  image),
                 ("verify --payload", [PACK, "verify", image, "--payload", payload], None),
                 ("extract", [PACK, "extract", image, "-C", unpacked], unpacked)]
        for name, argv, output in verbs:
            rows += verb_rows(name, output is not None,
                              *alternate(opts.repeats, payload, argv, output, copy), size)
        settled(image, unpacked)
        rows += build_rows(payload, opts.repeats, size)
    finally:
        if not opts.keep:
            settled(payload, image, unpacked)
    return rows


def main():
    opts = options(sys.argv[1:])
    started = time.monotonic()
    rows = measure(opts)
    print(table(rows))
    print(f"\n{opts.repeats} runs of each side, {time.monotonic() - started:.0f} s in all.\n")
    print(shortfalls(rows))


if __name__ == "__main__":
    main()
