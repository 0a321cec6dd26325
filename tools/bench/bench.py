"""The benchmarks: each figure measured beside its baseline in the same run, repeated,
reported as minimum and median. Prints one table and writes BENCHMARKS.md.

    python3 tools/bench/bench.py [--repeats N]
Run through ./bench.sh, which builds what this needs first.
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
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import wine_session  # noqa: E402
from e2e_support import BUILD64, DIST, FILES, windows_path  # noqa: E402

BENCH = os.path.join(ROOT, "build", "bench")
BUILD32 = os.path.join(ROOT, "build", "win32")
LARGE_SCALE = 124  # the demo's 2,161,820 bytes times 124: about 256 MiB


def run(*args, **kwargs):
    return subprocess.run(list(args), check=True, **kwargs)


def summary(values):
    return min(values), statistics.median(values)


def build_launcher_for(payload, name):
    """The x64 launcher carrying `payload`, with the manifest's sizes read from it."""
    build = os.path.join(BENCH, "win64-" + name)
    run("cmake", "-S", ROOT, "-B", build,
        "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(ROOT, "cmake", "toolchain-mingw-x86_64.cmake"),
        "-DCMAKE_BUILD_TYPE=MinSizeRel", "-DTQ30_PAYLOAD_DIR=" + payload, stdout=subprocess.DEVNULL)
    run("cmake", "--build", build, "--target", "launcher-stub", stdout=subprocess.DEVNULL)
    out = os.path.join(BENCH, f"tq30-setup-{name}-x64.exe")
    run(os.path.join(DIST, "selfinst-pack"), "pack", "--stub",
        os.path.join(build, "launcher-stub.exe"), "--payload", payload, "-o", out)
    return out


def large_payload():
    payload = os.path.join(BENCH, "payload-256m")
    if not os.path.exists(os.path.join(payload, "setup.ins")):
        run(os.path.join(ROOT, "build", "host", "make-demo-payload"), "-o", payload,
            "--installer", os.path.join(BUILD64, "setup.exe"), "--scale", str(LARGE_SCALE))
    return payload


def payload_sizes(payload):
    return [os.path.getsize(os.path.join(payload, name)) for name in FILES]


# 1. Size.

def bench_size():
    launcher = os.path.getsize(os.path.join(BUILD32, "launcher-stub.exe"))
    baseline = os.path.getsize(os.path.join(BUILD32, "size-baseline.exe"))
    return {"figure": "PE32 launcher size without its store (bytes)",
            "value": (launcher, launcher), "baseline": (baseline, baseline),
            "ratio": launcher / baseline, "target": "<= 1.15 x baseline",
            "met": launcher <= 1.15 * baseline, "unit": "B"}


# 2. Heap during the extraction pass.

def heap_bench_binary(payload, name):
    out_dir = os.path.join(BENCH, "heap-" + name)
    os.makedirs(out_dir, exist_ok=True)
    run("cmake", "-DPAYLOAD_DIR=" + payload,
        "-DFILES_DEF=" + os.path.join(ROOT, "src", "payload", "payload_files.def"),
        "-DOUTPUT=" + os.path.join(out_dir, "payload_sizes.h"), "-P",
        os.path.join(ROOT, "cmake", "payload-sizes.cmake"))
    binary = os.path.join(out_dir, "heap-bench")
    run("g++", "-std=c++17", "-O2", "-I" + os.path.join(ROOT, "src"),
        "-I" + os.path.join(ROOT, "src", "payload"), "-I" + out_dir,
        os.path.join(ROOT, "src", "launcher", "launcher.cpp"),
        os.path.join(ROOT, "src", "payload", "item_lookup.cpp"),
        os.path.join(ROOT, "src", "payload", "remove_extracted.cpp"),
        os.path.join(ROOT, "src", "payload", "payload_table.cpp"),
        os.path.join(ROOT, "tools", "bench", "heap_bench.cpp"), "-o", binary)
    return binary


def bench_heap(payload, name, repeats):
    binary = heap_bench_binary(payload, name)
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
            "met": max(allocated) <= 64 * 1024, "unit": "B"}


# Runs under Wine.

class Wine:
    def __init__(self):
        self.state_dir = os.path.join(BENCH, "wine-session")
        wine_session.start(self.state_dir)
        self.env = wine_session.wine_env(wine_session.load(self.state_dir))

    def close(self):
        wine_session.stop(self.state_dir)

    def scratch(self):
        folder = os.path.join(BENCH, "run")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        return folder

    def start(self, program, *args, env=None, cwd=None):
        return subprocess.Popen([wine_session.WINE64, program, *args], cwd=cwd,
                                env={**self.env, **(env or {})}, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)


def timed(process):
    started = time.monotonic()
    code = process.wait()
    return time.monotonic() - started, code


def bench_extraction(wine, repeats):
    """The extraction row, and a row for reading it: the installer's own start."""
    payload = large_payload()
    launcher = build_launcher_for(payload, "256m")
    sizes = payload_sizes(payload)
    baseline_args = [str(x) for pair in zip(FILES, sizes) for x in pair]
    loader = os.path.join(BENCH, "exit-at-once-256m-x64.exe")
    run(os.path.join(DIST, "selfinst-pack"), "pack", "--stub",
        os.path.join(BUILD64, "exit-at-once.exe"), "--payload", payload, "-o", loader)
    launcher_times, baseline_times, installer_times, load_times = [], [], [], []
    for _ in range(repeats):
        folder = wine.scratch()
        started = time.monotonic()
        code = wine.start(launcher, env={"STANDIN_STAGES": "1"}, cwd=folder).wait()
        launcher_times.append(time.monotonic() - started)
        assert code == 0 and not os.listdir(folder), "the launcher run failed"
        folder = wine.scratch()
        started = time.monotonic()
        code = wine.start(os.path.join(BUILD64, "write-baseline.exe"), *baseline_args,
                          cwd=folder).wait()
        baseline_times.append(time.monotonic() - started)
        assert code == 0, "the baseline run failed"
        # What the launcher does beyond the baseline: start the installer, a second process.
        started = time.monotonic()
        code = wine.start(os.path.join(payload, "setup.exe"), "CLEAR", env={"STANDIN_STAGES": "1"},
                          cwd=folder).wait()
        installer_times.append(time.monotonic() - started)
        # And the cost of loading an image that carries the same store.
        started = time.monotonic()
        code = wine.start(loader, cwd=folder).wait()
        load_times.append(time.monotonic() - started)
    installer_row = {
        "figure": "(for reading it) the installer alone, started and ended under Wine (s)",
        "value": summary(installer_times), "baseline": summary(baseline_times),
        "ratio": statistics.median(installer_times) / statistics.median(baseline_times),
        "target": "information", "met": True, "unit": "s"}
    load_row = {
        "figure": "(for reading it) a program that exits at once, carrying the same store (s)",
        "value": summary(load_times), "baseline": summary(baseline_times),
        "ratio": statistics.median(load_times) / statistics.median(baseline_times),
        "target": "information", "met": True, "unit": "s"}
    return [{"figure": f"extraction of {sum(sizes) / 2**20:.0f} MiB under Wine, start to exit (s)",
            "value": summary(launcher_times), "baseline": summary(baseline_times),
            "ratio": statistics.median(launcher_times) / statistics.median(baseline_times),
            "target": "<= 1.10 x baseline",
            "met": statistics.median(launcher_times) <= 1.10 * statistics.median(baseline_times),
            "unit": "s"}, installer_row, load_row]


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
        process = wine.start(os.path.join(DIST, "tq30-setup-x64.exe"), cwd=folder,
                             env={"STANDIN_WINDOW_MS": str(int((window_open + 3) * 1000)),
                                  "STANDIN_INSTALL_DIR": windows_path(os.path.join(BENCH, "inst")),
                                  "STANDIN_LOG": windows_path(os.path.join(BENCH, "inst.log"))})
        time.sleep(2.0)  # the files are written and the window is up
        before = cpu_seconds(process.pid)
        time.sleep(window_open)
        after = cpu_seconds(process.pid)
        used.append((after - before) * 1000)
        assert process.wait() == 0
    return {"figure": "launcher CPU while a 'Setup' window stays open 10 s (ms)",
            "value": summary(used), "baseline": (window_open * 1000, window_open * 1000),
            "ratio": statistics.median(used) / (window_open * 1000), "target": "<= 50 ms",
            "met": max(used) <= 50, "unit": "ms"}


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
        process = wine.start(os.path.join(DIST, "tq30-setup-x64.exe"), cwd=folder,
                             env={"STANDIN_STAGES": "1", "STANDIN_EXIT_STAMP": windows_path(stamp)})
        removed = watch.wait_for_deletion(FILES[-1], 60)
        watch.close()
        assert process.wait() == 0
        with open(stamp) as f:
            exited = (int(f.read()) - 116444736000000000) * 100
        latencies.append((removed - exited) / 1e6)
        out = subprocess.run([wine_session.WINE64, os.path.join(BUILD64, "dialog-driver.exe"),
                              "probe-time", "1000"], env=wine.env, capture_output=True,
                             text=True, check=True).stdout
        probes.append(float(out) / 1000)
    return {"figure": "installer exit (no window) to last file removed, under Wine (ms)",
            "value": summary(latencies), "baseline": summary(probes),
            "ratio": statistics.median(latencies) / statistics.median(probes),
            "target": "<= 50 ms", "met": max(latencies) <= 50, "unit": "ms"}


def fmt(value, unit):
    if unit == "B":
        return f"{value:,.0f}"
    if unit == "s":
        return f"{value:.2f}"
    return f"{value:.2f}"


def table(rows):
    lines = ["| figure | min | median | baseline min | baseline median | ratio (median) | target | met |",
             "| --- | ---: | ---: | ---: | ---: | ---: | --- | --- |"]
    for r in rows:
        lines.append(f"| {r['figure']} | {fmt(r['value'][0], r['unit'])} | "
                     f"{fmt(r['value'][1], r['unit'])} | {fmt(r['baseline'][0], r['unit'])} | "
                     f"{fmt(r['baseline'][1], r['unit'])} | {r['ratio']:.3f} | {r['target']} | "
                     f"{'-' if r['target'] == 'information' else ('yes' if r['met'] else 'NO')} |")
    return "\n".join(lines)


def machine():
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{model}, {os.cpu_count()} cores, {platform.system()} {platform.release()}"


def main():
    repeats = int(sys.argv[sys.argv.index("--repeats") + 1]) if "--repeats" in sys.argv else 5
    os.makedirs(BENCH, exist_ok=True)
    rows = [bench_size(),
            bench_heap(os.path.join(DIST, "demo-payload-x64"), "2 MiB", repeats),
            bench_heap(large_payload(), "256 MiB", repeats)]
    wine = Wine()
    try:
        rows.extend(bench_extraction(wine, repeats))
        rows.append(bench_idle_cpu(wine, max(3, repeats // 2)))
        rows.append(bench_removal_latency(wine, repeats))
    finally:
        wine.close()
    result = table(rows)
    print(result)
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    with open(os.path.join(ROOT, "tools", "bench", "benchmarks-intro.md")) as f:
        intro = f.read()
    with open(os.path.join(ROOT, "BENCHMARKS.md"), "w") as f:
        f.write(intro.replace("{table}", result).replace("{date}", when)
                .replace("{machine}", machine()).replace("{repeats}", str(repeats)))


if __name__ == "__main__":
    main()
