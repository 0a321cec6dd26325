"""The runtime's root, and the native engine: the root in private mount, network and process
namespaces (chroot), where the host runs 32-bit code in a 64-bit process. The mounts vanish
with the namespaces, every process started there ends with them, and an X display inside
cannot collide with one of the host's abstract sockets.

A command run there runs as root in the chroot, with the folders it was given (the checkout
and the current folder) mounted read-write at their own paths and the host's /dev: what it
can reach of the host is those folders and devices, with root's rights."""
import os
import signal
import subprocess
import time
from collections.abc import Sequence
from typing import Any, NoReturn

from tq30.runtime import cache, environment

RECIPE = os.path.join(cache.HERE, "recipe.sh")

# Run by unshare in the new namespaces: RUNTIME CWD COUNT FOLDER... -- CMD [ARG...]
_ENTER = r'''
runtime=$1 cwd=$2 count=$3
shift 3
mount --rbind /dev "$runtime/dev"
mount -t tmpfs tmpfs "$runtime/tmp"
# After the tmpfs, so that a folder under /tmp has its place on it; outer folders first.
while [ "$count" -gt 0 ]; do
  mkdir -p "$runtime$1"
  mount --bind "$1" "$runtime$1"
  shift
  count=$((count - 1))
done
exec chroot "$runtime" /usr/bin/env -C "$cwd" "$@"'''


def root_folder() -> str:
    return os.path.join(cache.folder(), cache.digest([RECIPE]))


def _build_root(partial: str) -> None:
    if os.geteuid() != 0:
        raise cache.BuildFailed("building the PE32 runtime needs root (mmdebstrap, chroot)")
    found = cache.run_build_step(["sh", "-c", "command -v mmdebstrap"], stdout=subprocess.DEVNULL)
    if found.returncode:
        raise cache.BuildFailed("mmdebstrap is missing: run tools/install-deps.sh")
    made = cache.run_build_step(["bash", "-euc", '''
        . "$1"
        mmdebstrap --quiet --mode=root --variant=apt --architectures="$RUNTIME_ARCHITECTURES" \
          --include="$RUNTIME_PACKAGES" "$RUNTIME_SUITE" "$2"
        runtime_finish "$2"''', "bash", RECIPE, partial], stdout=subprocess.DEVNULL)
    if made.returncode != 0:
        raise cache.BuildFailed("mmdebstrap could not build the PE32 runtime from Debian's archive")


def ensure_root() -> str:
    target = root_folder()
    return cache.build_once(target, _build_root, f"== building the PE32 runtime in {target} "
                                                 "(once per recipe, 2 to 4 minutes)")


def outer_first(folders: Sequence[str]) -> list[str]:
    """The folders, outer ones first, leaving out any inside another: what to mount or share
    so that each is seen once."""
    unique: list[str] = []
    for path in sorted({os.path.realpath(f) for f in folders}, key=len):
        if not any(path == outer or path.startswith(outer.rstrip("/") + "/")
                   for outer in unique):
            unique.append(path)
    return unique


def unshare_command(runtime: str, cwd: str, folders: Sequence[str],
                    argv: Sequence[str]) -> list[str]:
    """The host's command that runs ARGV in the root, in CWD, with FOLDERS mounted in private
    namespaces of its own."""
    shared = outer_first([*folders, cwd])
    return ["unshare", "--mount", "--net", "--pid", "--fork", "--propagation", "private",
            f"--mount-proc={runtime}/proc", "--", "/bin/sh", "-euc", _ENTER, "sh", runtime,
            cwd, str(len(shared)), *shared, *argv]


def exec_in_root(runtime: str, cwd: str, folders: Sequence[str], argv: Sequence[str]) -> NoReturn:
    """Replaces this process by ARGV run in the root; its code is ARGV's."""
    os.execvpe("unshare", unshare_command(runtime, cwd, folders, argv),
               environment.for_command())


def _children(pid: int) -> list[int]:
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(child) for child in f.read().split()]
    except FileNotFoundError:
        return []


class Namespaces:
    """The namespaces held open for a session by a process that sleeps in them; commands
    enter them, and closing the holder ends every process started there."""
    engine = "native"
    prepared_prefix = None  # a session makes its own

    def __init__(self, unshare_pid: int, holder_pid: int | None) -> None:
        self.unshare_pid, self.holder_pid = unshare_pid, holder_pid

    @classmethod
    def open(cls, runtime: str, folders: Sequence[str]) -> "Namespaces":
        # It outlives the caller, so it must not hold the caller's output open.
        unshare = subprocess.Popen(unshare_command(runtime, folders[0], folders,
                                                   ["sleep", "infinity"]),
                                   env=environment.for_command(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        runtime = os.path.realpath(runtime)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and unshare.poll() is None:
            for child in _children(unshare.pid):
                try:
                    with open(f"/proc/{child}/comm") as f:
                        sleeping = f.read().strip() == "sleep"
                    if sleeping and os.readlink(f"/proc/{child}/root") == runtime:
                        return cls(unshare.pid, child)
                except FileNotFoundError:
                    pass
            time.sleep(0.05)
        cls(unshare.pid, None).close()
        raise cache.BuildFailed("the PE32 runtime's namespaces did not come up")

    def state(self) -> dict[str, Any]:
        return {"engine": self.engine, "unshare_pid": self.unshare_pid,
                "holder_pid": self.holder_pid}

    @classmethod
    def from_state(cls, state: dict[str, Any]) -> "Namespaces":
        return cls(state["unshare_pid"], state["holder_pid"])

    def host_command(self, cwd: str, argv: Sequence[str],
                     file_size_limit: int | None = None) -> list[str]:
        """The host's command that runs ARGV in CWD inside; it inherits the file-size limit
        its caller sets (FILE_SIZE_LIMIT is for the machine's sake)."""
        del file_size_limit
        return ["nsenter", f"--target={self.holder_pid}", "--mount", "--net", "--pid",
                "--root", "--", "/usr/bin/env", "-C", cwd, *argv]

    def close(self) -> None:
        for pid in (self.holder_pid, self.unshare_pid):
            if pid is not None:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        try:
            os.waitpid(self.unshare_pid, 0)
        except ChildProcessError:
            pass  # started by another process, which reaps it

    def find_program(self, windows_name: str, timeout: float = 10) -> int | None:
        """The host's process id of the newest process in these namespaces that runs the
        Windows program WINDOWS_NAME (its full Windows path), or None. Wine 10 runs a
        32-bit program in a process of its own, not in the one that asked for it."""
        namespace = os.readlink(f"/proc/{self.holder_pid}/ns/pid")
        wanted = windows_name.encode()
        deadline = time.monotonic() + timeout
        while True:
            found: list[tuple[int, int]] = []
            for entry in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{entry}/cmdline", "rb") as f:
                        if f.read().split(b"\0", 1)[0] != wanted:
                            continue
                    if os.readlink(f"/proc/{entry}/ns/pid") == namespace:
                        with open(f"/proc/{entry}/stat") as f:
                            started = int(f.read().rsplit(")", 1)[1].split()[19])
                        found.append((started, int(entry)))
                except (FileNotFoundError, ProcessLookupError):
                    pass  # it ended meanwhile
            if found or time.monotonic() > deadline:
                return max(found)[1] if found else None
            time.sleep(0.02)
