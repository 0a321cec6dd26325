"""Where the runtime is kept (TQ30_RUNTIME_CACHE, /var/cache/tq30-runtime by default)
and how each of its parts (the probe, the root, the machine) is built there: once, under a
lock of its own, into a folder beside it that is renamed into place when complete, so an
interrupted build is never taken for a ready one. A build stopped by SIGINT, SIGTERM or
SIGHUP, or by its caller's death, removes what it made; what one killed outright left is
removed by the next build of the same part, under its lock."""
import contextlib
import ctypes
import fcntl
import hashlib
import os
import signal
import subprocess
import sys
from collections.abc import Callable, Iterable, Iterator
from typing import Any

# The runtime's own files (its recipe, the probe's source, what boots in the machine) sit
# beside its modules.
HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT = "/var/cache/tq30-runtime"
READY = ".ready"


class BuildFailed(Exception):
    """A part of the runtime could not be built; the message says why."""


def folder() -> str:
    return os.environ.get("TQ30_RUNTIME_CACHE") or DEFAULT


def digest(paths: Iterable[str]) -> str:
    """A short hash of the files' contents one after the other, in the order given: a new
    one for any change."""
    hashed = hashlib.sha256()
    for path in paths:
        with open(path, "rb") as f:
            hashed.update(f.read())
    return hashed.hexdigest()[:16]


def is_ready(target: str) -> bool:
    return os.path.isfile(os.path.join(target, READY))


def run_build_step(argv: list[str], **kwargs: Any) -> subprocess.CompletedProcess[bytes]:
    """subprocess.run for a step of a build here, but a child still running when the build
    is stopped is asked to end and given time to undo its mounts before it is killed."""
    with subprocess.Popen(argv, **kwargs) as child:
        try:
            return subprocess.CompletedProcess(argv, child.wait())
        except BaseException:
            child.terminate()
            try:
                child.wait(timeout=60)
            except subprocess.TimeoutExpired:
                child.kill()
            raise


def remove(path: str) -> None:
    # Never into another file system: a killed build may leave /proc or /dev mounted there.
    subprocess.run(["rm", "-rf", "--one-file-system", "--", path], check=False)


def die_with_parent(signum: int = signal.SIGKILL) -> None:
    """This process gets SIGNUM when the one that started it ends, even killed outright
    (0: no longer)."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signum)  # PR_SET_PDEATHSIG


@contextlib.contextmanager
def _stopped_cleanly() -> Iterator[None]:
    def stop(signum: int, _frame: object) -> None:
        raise SystemExit(128 + signum)

    previous = {signum: signal.signal(signum, stop) for signum in (signal.SIGTERM, signal.SIGHUP)}
    # The caller's death (a shell killed outright) stops the build the same way.
    die_with_parent(signal.SIGTERM)
    try:
        yield
    finally:
        die_with_parent(0)
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _open_lock(target: str) -> int:
    try:
        os.makedirs(os.path.dirname(target), mode=0o700, exist_ok=True)
        return os.open(target + ".lock",
                       os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    except OSError as failure:
        raise BuildFailed(f"the cache folder {os.path.dirname(target)} cannot be used: "
                          f"{failure.strerror}")


def build_once(target: str, build: Callable[[str], None],
               announce: str | None = None) -> str:
    """TARGET, built first by BUILD(folder) unless it is ready; BUILD makes the folder it is
    given. Raises BuildFailed (or what BUILD raised) with nothing left aside."""
    if is_ready(target):
        return target
    lock = _open_lock(target)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if is_ready(target):
            return target
        partial = target + ".partial"
        remove(partial)
        if announce:
            print(announce, file=sys.stderr, flush=True)
        try:
            with _stopped_cleanly():
                build(partial)
                with open(os.path.join(partial, READY), "w"):
                    pass
                remove(target)  # a part left without its mark by an older layout
                os.rename(partial, target)
        finally:
            if os.path.lexists(partial):
                remove(partial)
        return target
    finally:
        os.close(lock)
