"""The PE32 runtime (tools/runtime/runtime.sh): a Debian 13 root whose Wine runs 32-bit
programs, on the engine the host allows. A session holds one instance of it open for as
long as it lasts (the native engine's namespaces, or the emulated machine); each command
enters it, so every case of a run shares one display, prefix and wineserver, and closing
the holder ends every process started in it."""
import os
import signal
import subprocess
import sys
import time

from tq30 import ROOT

RUNTIME = os.path.join(ROOT, "tools", "runtime")
RUNTIME_SH = os.path.join(RUNTIME, "runtime.sh")
EMULATED_PY = os.path.join(RUNTIME, "emulated.py")
# Set by test.sh when the runtime could not be had, with the reason: the PE32's tests then
# skip at once instead of each trying again.
UNAVAILABLE = "TQ30_PE32_UNAVAILABLE"
# Wine's prefix made when the emulated machine was; every boot starts from a fresh copy.
MACHINE_PREFIX = "/opt/tq30/prefix"


class Unavailable(Exception):
    """Neither engine can run the PE32 on this host; the message says why."""


def engine():
    """(name, line): which engine runs the PE32, and the one line saying so and why."""
    result = subprocess.run([RUNTIME_SH, "engine"], stdout=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise RuntimeError("runtime.sh engine failed (see the line above)")
    line = result.stdout.strip()
    return ("emulated" if line.startswith("PE32 engine: emulated") else "native"), line


def ensure():
    """The engine's folder, building it first if needed; raises Unavailable with the
    reason if it cannot be built."""
    if os.environ.get(UNAVAILABLE):
        raise Unavailable(os.environ[UNAVAILABLE])
    result = subprocess.run([RUNTIME_SH, "ensure"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    sys.stderr.write(result.stderr)
    if result.returncode != 0:
        lines = result.stderr.strip().splitlines()
        reason = lines[-1] if lines else "runtime.sh ensure failed"
        raise Unavailable(reason.removeprefix("runtime.sh: "))
    return result.stdout.strip()


def _emulated():
    sys.path.insert(0, RUNTIME)
    import emulated
    return emulated


def _children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(child) for child in f.read().split()]
    except FileNotFoundError:
        return []


def open_holder(engine_name, folder):
    """Starts the runtime for a session (`folder` is what ensure() returned); returns the
    holder, a dict that enter() and close_holder() take. Raises Unavailable when the
    emulated machine does not boot."""
    if engine_name == "emulated":
        emulated = _emulated()
        try:
            holder = emulated.boot(folder, [ROOT], detach=True)
        except emulated.MachineError as failure:
            raise Unavailable(str(failure))
        return {**holder, "prefix": MACHINE_PREFIX}
    # It outlives the caller, so it must not hold the caller's output open.
    unshare = subprocess.Popen([RUNTIME_SH, "run", "sleep", "infinity"], cwd=ROOT,
                               env={**os.environ, "TQ30_RUNTIME_ENGINE": "native"},
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True)
    runtime_dir = os.path.realpath(folder)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        for child in _children(unshare.pid):
            try:
                with open(f"/proc/{child}/comm") as f:
                    chrooted = f.read().strip() == "sleep"
                if chrooted and os.readlink(f"/proc/{child}/root") == runtime_dir:
                    return {"engine": "native", "unshare_pid": unshare.pid, "holder_pid": child}
            except FileNotFoundError:
                pass
        if unshare.poll() is not None:
            break
        time.sleep(0.05)
    close_holder({"engine": "native", "unshare_pid": unshare.pid, "holder_pid": None})
    raise RuntimeError("the PE32 runtime's namespaces did not come up")


def close_holder(holder):
    """Ends the holder, and with it every process in it."""
    if holder["engine"] == "emulated":
        _emulated().halt(holder)
        return
    for pid in (holder["holder_pid"], holder["unshare_pid"]):
        if pid is None:
            continue
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    try:
        os.waitpid(holder["unshare_pid"], 0)
    except ChildProcessError:
        pass  # started by another process, which reaps it


def enter(holder, state_file, cwd, argv, file_size_limit=None):
    """`argv` as a command run inside the holder, in `cwd`. The emulated machine's client
    reads the holder from `state_file` and applies the file-size limit there; the native
    engine's command inherits the limit its caller sets."""
    if holder["engine"] == "emulated":
        limit = [] if file_size_limit is None else ["--file-size-limit", str(file_size_limit)]
        return [sys.executable, EMULATED_PY, "exec", state_file, cwd, *limit, "--", *argv]
    return ["nsenter", f"--target={holder['holder_pid']}", "--mount", "--net", "--pid",
            "--root", "--", "/usr/bin/env", "-C", cwd, *argv]


def _start_time(pid):
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[19])


def find_program(holder, windows_name, timeout=10):
    """The host's process id of the newest process in the holder's namespaces that runs
    the Windows program `windows_name` (its full Windows path), or None; always None on the
    emulated machine, whose processes the host cannot see. Wine 10 runs a 32-bit program
    in a process of its own, not in the one that asked for it."""
    if holder["engine"] == "emulated":
        return None
    namespace = os.readlink(f"/proc/{holder['holder_pid']}/ns/pid")
    wanted = windows_name.encode()
    deadline = time.monotonic() + timeout
    while True:
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    if f.read().split(b"\0", 1)[0] != wanted:
                        continue
                if os.readlink(f"/proc/{entry}/ns/pid") == namespace:
                    found.append((_start_time(entry), int(entry)))
            except (FileNotFoundError, ProcessLookupError):
                pass  # it ended meanwhile
        if found or time.monotonic() > deadline:
            return max(found)[1] if found else None
        time.sleep(0.02)
