"""The PE32 runtime (tools/runtime/runtime.sh): a Debian 13 root whose Wine runs 32-bit
programs. A session holds one set of its namespaces open for as long as it lasts; each
command enters them, so every case of a run shares one display, prefix and wineserver,
and ending the holder ends every process started in it."""
import os
import signal
import subprocess
import time

from tq30 import ROOT

RUNTIME_SH = os.path.join(ROOT, "tools", "runtime", "runtime.sh")


def ensure():
    """The runtime's folder, building it first if needed; raises with the reason if it
    cannot be built."""
    result = subprocess.run([RUNTIME_SH, "ensure"], stdout=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise RuntimeError("the PE32 runtime is not available (see the line above)")
    return result.stdout.strip()


def _children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(child) for child in f.read().split()]
    except FileNotFoundError:
        return []


def open_holder(runtime_dir):
    """Starts a process that idles inside the runtime's namespaces; returns the host's
    process ids of the unshare command and of the holder inside."""
    # It outlives the caller, so it must not hold the caller's output open.
    unshare = subprocess.Popen([RUNTIME_SH, "run", "sleep", "infinity"], cwd=ROOT,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        for child in _children(unshare.pid):
            try:
                with open(f"/proc/{child}/comm") as f:
                    chrooted = f.read().strip() == "sleep"
                if chrooted and os.readlink(f"/proc/{child}/root") == runtime_dir:
                    return unshare.pid, child
            except FileNotFoundError:
                pass
        if unshare.poll() is not None:
            break
        time.sleep(0.05)
    close_holder(unshare.pid, None)
    raise RuntimeError("the PE32 runtime's namespaces did not come up")


def close_holder(unshare_pid, holder_pid):
    """Ends the holder, and with it every process in its namespaces."""
    for pid in (holder_pid, unshare_pid):
        if pid is None:
            continue
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    try:
        os.waitpid(unshare_pid, 0)
    except ChildProcessError:
        pass  # started by another process, which reaps it


def enter(holder_pid, cwd, argv):
    """`argv` as a command run inside the holder's namespaces and root, in `cwd`."""
    return ["nsenter", f"--target={holder_pid}", "--mount", "--net", "--pid", "--root", "--",
            "/usr/bin/env", "-C", cwd, *argv]


def _start_time(pid):
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[19])


def find_program(holder_pid, windows_name, timeout=10):
    """The host's process id of the newest process in the holder's namespaces that runs
    the Windows program `windows_name` (its full Windows path), or None. Wine 10 runs a
    32-bit program in a process of its own, not in the one that asked for it."""
    namespace = os.readlink(f"/proc/{holder_pid}/ns/pid")
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
