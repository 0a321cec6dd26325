"""The benchmarks: each figure measured beside its baseline in the same run, repeated,
reported as minimum and median. The rows under Wine are measured on both builds, each
beside a baseline of its own width in the same Wine: the PE32 in the PE32 runtime, the
x64 launcher under the host's Wine. Where the PE32 runtime's engine is the emulated
machine, the PE32's timings say nothing of the launcher: they are kept for information,
never compared, and the CPU figure, which needs the host to see the process, is left out.
Where the native engine runs, one more row times the same run on both engines. Prints one
table and writes BENCHMARKS.md.

    PYTHONPATH=python python3 tools/bench/bench.py [--repeats N] [--packer-repeats N]
                                                   [--size-mib N] [--keep]
Run through ./bench.sh, which builds what this needs first (./bench.sh --help).
"""
import ctypes
import datetime
import os
import platform
import select
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

from tq30 import ROOT, wine
from tq30.runtime import interface
from tq30.manifest import FILES, file_of
from tq30.wine import BUILDS, MAKE_DEMO_PAYLOAD, PACK, windows_path
import packer_bench
from report import summary, table, shortfalls

BENCH = os.path.join(ROOT, "build", "bench")
BUILD32 = BUILDS["pe32"].programs
LARGE_SCALE = 124  # the demo's 2,161,820 bytes times 124: about 256 MiB


def run(*args, **kwargs):
    return subprocess.run(list(args), check=True, **kwargs)


def packed_for(payload, name, build, stub=None):
    """`build`'s stub (or another of its programs that holds the launcher's table) packed
    with `payload`, as ./build.sh packs it."""
    out = os.path.join(BENCH, f"{build.name}-{name}-{os.path.basename(stub or build.stub)}")
    run(PACK, "pack", "--stub", stub or build.stub, "--payload", payload, "-o", out)
    return out


def large_payload(build):
    """The demo's files scaled to about 256 MiB, carrying the stand-in installer of `build`."""
    payload = os.path.join(BENCH, "payload-256m-" + build.name)
    if not os.path.exists(os.path.join(payload, file_of("setup_ins"))):
        run(MAKE_DEMO_PAYLOAD, "-o", payload, "--installer", build.program(file_of("setup_exe")),
            "--scale", str(LARGE_SCALE))
    return payload


def payload_sizes(payload):
    return [os.path.getsize(os.path.join(payload, name)) for name in FILES]


# 1. Size.

def bench_size():
    launcher = os.path.getsize(BUILDS["pe32"].stub)
    baseline = os.path.getsize(os.path.join(BUILD32, "size-baseline.exe"))
    return {"figure": "PE32 launcher size without its store (bytes)",
            "value": (launcher, launcher), "baseline": (baseline, baseline),
            "ratio": launcher / baseline, "target": "<= 1.15 x baseline",
            "met": launcher <= 1.15 * baseline, "unit": "B", "runs": 1}


# 2. Heap during the extraction pass.

def heap_bench_binary(scale, name):
    """The heap benchmark for the demo payload times `scale`: the heap-bench target of a
    tool-preset build (optimised, no sanitizers), one folder for every scale."""
    build_dir = os.path.join(BENCH, "heap")
    run("cmake", "--preset", "tool", "-B", build_dir, f"-DTQ30_HEAP_BENCH_SCALE={scale}",
        cwd=ROOT, stdout=subprocess.DEVNULL)
    run("cmake", "--build", build_dir, "--target", "heap-bench", stdout=subprocess.DEVNULL)
    binary = os.path.join(BENCH, "heap-bench-" + name.replace(" ", ""))
    shutil.copy(os.path.join(build_dir, "heap-bench"), binary)
    return binary


def bench_heap(payload, scale, name, repeats):
    binary = heap_bench_binary(scale, name)
    scratch = os.path.join(BENCH, "heap-run")
    os.makedirs(scratch, exist_ok=True)
    allocated = []
    for _ in range(repeats):
        out = subprocess.run([binary, payload, scratch], check=True, capture_output=True,
                             text=True).stdout.split()
        allocated.append(int(out[0]))
        payload_bytes = int(out[3])
    return {"figure": f"heap allocated by the extraction pass, {name} payload (bytes)",
            "value": summary(allocated), "baseline": (payload_bytes, payload_bytes),
            "ratio": max(allocated) / payload_bytes, "target": "<= 64 KiB",
            "met": max(allocated) <= 64 * 1024, "unit": "B", "runs": repeats}


# Runs under Wine.

class Wine:
    """A Wine session of one build for the benchmarks, with a fresh scratch folder per run."""

    def __init__(self, build_name, suffix=""):
        self.state_dir = os.path.join(BENCH, "wine-session-" + build_name + suffix)
        self.session = wine.start(self.state_dir, build_name)
        self.build = self.session.build

    def close(self):
        wine.stop(self.state_dir)

    def scratch(self):
        folder = os.path.join(BENCH, "run")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        return folder

    def start(self, program, *args, env=None, cwd=None):
        return self.session.popen(program, *args, cwd=cwd or BENCH, env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


def timed(process):
    started = time.monotonic()
    code = process.wait()
    return time.monotonic() - started, code


def bench_extraction(wine, repeats):
    """The extraction row, and a row for reading it: the installer's own start."""
    payload = large_payload(wine.build)
    launcher = packed_for(payload, "256m", wine.build)
    sizes = payload_sizes(payload)
    baseline_args = [str(x) for pair in zip(FILES, sizes) for x in pair]
    loader = packed_for(payload, "256m", wine.build, wine.build.program("exit-at-once.exe"))
    launcher_times, baseline_times, installer_times, load_times = [], [], [], []
    for _ in range(repeats):
        folder = wine.scratch()
        started = time.monotonic()
        code = wine.start(launcher, env={"STANDIN_STAGES": "1"}, cwd=folder).wait()
        launcher_times.append(time.monotonic() - started)
        assert code == 0 and not os.listdir(folder), "the launcher run failed"
        folder = wine.scratch()
        started = time.monotonic()
        code = wine.start(wine.build.program("write-baseline.exe"), *baseline_args,
                          cwd=folder).wait()
        baseline_times.append(time.monotonic() - started)
        assert code == 0, "the baseline run failed"
        # What the launcher does beyond the baseline: start the installer, a second process.
        started = time.monotonic()
        code = wine.start(os.path.join(payload, file_of("setup_exe")), "CLEAR",
                          env={"STANDIN_STAGES": "1"}, cwd=folder).wait()
        installer_times.append(time.monotonic() - started)
        # And the cost of loading an image that carries the same store.
        started = time.monotonic()
        code = wine.start(loader, cwd=folder).wait()
        load_times.append(time.monotonic() - started)
    installer_row = {
        "figure": "(for reading it) the installer alone, started and ended under Wine (s)",
        "value": summary(installer_times), "baseline": summary(baseline_times),
        "ratio": statistics.median(installer_times) / statistics.median(baseline_times),
        "target": "information", "met": True, "unit": "s", "runs": repeats}
    load_row = {
        "figure": "(for reading it) a program that exits at once, carrying the same store (s)",
        "value": summary(load_times), "baseline": summary(baseline_times),
        "ratio": statistics.median(load_times) / statistics.median(baseline_times),
        "target": "information", "met": True, "unit": "s", "runs": repeats}
    # Each launcher run is paired with the baseline run right after it, so that what the
    # machine was doing at the time weighs on both sides of a ratio alike.
    ratios = sorted(run / base for run, base in zip(launcher_times, baseline_times))
    ratio = statistics.median(ratios)
    return [{"figure": f"extraction of {sum(sizes) / 2**20:.0f} MiB under Wine, start to exit, "
                       f"ratio the median of {repeats} paired runs (their ratios "
                       f"{ratios[0]:.2f} to {ratios[-1]:.2f}) (s)",
             "value": summary(launcher_times), "baseline": summary(baseline_times),
             "ratio": ratio, "target": "<= 1.10 x baseline", "met": ratio <= 1.10,
             "unit": "s", "runs": repeats}, installer_row, load_row]


def demo_run_times(wine, repeats):
    """Start-to-exit times of the demo launcher's whole run (the installer's first stage)."""
    times = []
    for _ in range(repeats):
        folder = wine.scratch()
        started = time.monotonic()
        code = wine.start(wine.build.launcher, env={"STANDIN_STAGES": "1"}, cwd=folder).wait()
        times.append(time.monotonic() - started)
        assert code == 0 and not os.listdir(folder), "the launcher run failed"
    return times


def bench_engines(native_wine, repeats):
    """The same PE32 run on the emulated machine against the native engine."""
    native = demo_run_times(native_wine, repeats)
    previous = os.environ.get("TQ30_RUNTIME_ENGINE")
    os.environ["TQ30_RUNTIME_ENGINE"] = "emulated"
    try:
        emulated_wine = Wine("pe32", "-emulated")
        try:
            emulated = demo_run_times(emulated_wine, repeats)
        finally:
            emulated_wine.close()
    finally:
        if previous is None:
            del os.environ["TQ30_RUNTIME_ENGINE"]
        else:
            os.environ["TQ30_RUNTIME_ENGINE"] = previous
    return {"figure": "demo launcher's whole run, emulated machine against native engine (s)",
            "value": summary(emulated), "baseline": summary(native),
            "ratio": statistics.median(emulated) / statistics.median(native),
            "target": "information", "met": True, "unit": "s", "runs": repeats}


def not_compared(row):
    """A timing taken on the emulated machine: kept for information only."""
    return {**row, "figure": row["figure"] + " [emulated machine: timing not compared]",
            "target": "information", "met": True}


def cpu_seconds(pid):
    """CPU time of every thread of the process, in nanosecond resolution."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except FileNotFoundError:
            pass  # the thread ended
    return total / 1e9


def bench_idle_cpu(wine, repeats):
    window_open = 10.0
    used = []
    for _ in range(repeats):
        folder = wine.scratch()
        process = wine.start(wine.build.launcher, cwd=folder,
                             env={"STANDIN_WINDOW_MS": str(int((window_open + 3) * 1000)),
                                  "STANDIN_INSTALL_DIR": windows_path(os.path.join(BENCH, "inst")),
                                  "STANDIN_LOG": windows_path(os.path.join(BENCH, "inst.log"))})
        time.sleep(2.0)  # the files are written and the window is up
        launcher = wine.session.windows_process(process)
        before = cpu_seconds(launcher)
        time.sleep(window_open)
        after = cpu_seconds(launcher)
        used.append((after - before) * 1000)
        assert process.wait() == 0
    return {"figure": "launcher CPU while a 'Setup' window stays open 10 s (ms)",
            "value": summary(used), "baseline": (window_open * 1000, window_open * 1000),
            "ratio": statistics.median(used) / (window_open * 1000), "target": "<= 50 ms",
            "met": max(used) <= 50, "unit": "ms", "runs": repeats}


class Inotify:
    """Reports when a name is deleted from a folder (IN_DELETE)."""
    IN_DELETE = 0x200

    def __init__(self, folder):
        self.libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK)
        self.libc.inotify_add_watch(self.fd, folder.encode(), self.IN_DELETE)

    def wait_for_deletion(self, name, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.fd], [], [], 0.5)
            if not ready:
                continue
            seen = time.time_ns()
            data = os.read(self.fd, 65536)
            at = 0
            while at < len(data):
                _, mask, _, length = struct.unpack_from("iIII", data, at)
                deleted = data[at + 16:at + 16 + length].rstrip(b"\0").decode()
                at += 16 + length
                if deleted == name:
                    return seen
        raise TimeoutError(name)

    def close(self):
        os.close(self.fd)


def bench_removal_latency(wine, repeats):
    latencies, probes = [], []
    for _ in range(repeats):
        folder = wine.scratch()
        stamp = os.path.join(BENCH, "exit-stamp")
        watch = Inotify(folder)
        process = wine.start(wine.build.launcher, cwd=folder,
                             env={"STANDIN_STAGES": "1", "STANDIN_EXIT_STAMP": windows_path(stamp)})
        removed = watch.wait_for_deletion(FILES[-1], 60)
        watch.close()
        assert process.wait() == 0
        with open(stamp) as f:
            exited = (int(f.read()) - 116444736000000000) * 100
        latencies.append((removed - exited) / 1e6)
        out = wine.session.run(wine.build.program("dialog-driver.exe"), "probe-time", "1000",
                               cwd=BENCH, capture_output=True, text=True, check=True).stdout
        probes.append(float(out) / 1000)
    return {"figure": "installer exit (no window) to last file removed, under Wine (ms)",
            "value": summary(latencies), "baseline": summary(probes),
            "ratio": statistics.median(latencies) / statistics.median(probes),
            "target": "<= 50 ms", "met": max(latencies) <= 50, "unit": "ms", "runs": repeats}


def machine():
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{model}, {os.cpu_count()} cores, {platform.system()} {platform.release()}"


def main():
    repeats = int(sys.argv[sys.argv.index("--repeats") + 1]) if "--repeats" in sys.argv else 11
    os.makedirs(BENCH, exist_ok=True)
    rows = [{**bench_size(), "build": "PE32"},
            {**bench_heap(BUILDS["pe32"].payload, 1, "2 MiB", repeats), "build": "host"},
            {**bench_heap(large_payload(BUILDS["pe32"]), LARGE_SCALE, "256 MiB", repeats),
             "build": "host"}]
    engine = interface.choose_engine()
    engine_line = interface.describe_engine(engine)
    print(engine_line, flush=True)
    by_build, engine_rows = [], []
    for name, label in (("pe32", "PE32"), ("x64", "x64")):
        wine = Wine(name)
        try:
            measured = bench_extraction(wine, repeats)
            # The host sees no process of the emulated machine, so no CPU figure there.
            measured.append(None if wine.session.emulated else
                            bench_idle_cpu(wine, max(3, repeats // 2)))
            measured.append(bench_removal_latency(wine, repeats))
            if wine.session.emulated:
                measured = [row and not_compared(row) for row in measured]
            if name == "pe32" and engine.name == interface.NATIVE:
                engine_rows.append({**bench_engines(wine, max(3, repeats // 2)),
                                    "build": label})
        finally:
            wine.close()
        by_build.append([row and {**row, "build": label} for row in measured])
    # Each Wine figure on the PE32, then on the x64 launcher.
    rows.extend(row for pair in zip(*by_build) for row in pair if row is not None)
    rows.extend(engine_rows)
    rows.extend(packer_bench.measure(packer_bench.options(sys.argv[1:], "--packer-repeats")))
    result = table(rows)
    print(result)
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    with open(os.path.join(ROOT, "tools", "bench", "benchmarks-intro.md")) as f:
        intro = f.read()
    # Written aside and renamed, so that an interrupted run leaves the last page whole.
    page = os.path.join(ROOT, "BENCHMARKS.md")
    with tempfile.NamedTemporaryFile("w", dir=ROOT, prefix=".BENCHMARKS.", delete=False) as f:
        f.write(intro.replace("{table}", result).replace("{date}", when)
                .replace("{machine}", machine()).replace("{repeats}", str(repeats))
                .replace("{engine}", engine_line)
                .replace("{shortfalls}", shortfalls(rows)))
    os.chmod(f.name, 0o644)
    os.replace(f.name, page)


if __name__ == "__main__":
    main()
