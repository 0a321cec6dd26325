"""The one interface over both engines, and all that the rest of the project uses of the
runtime: which engine runs here (choose_engine), what it needs made once (ensure), one
instance held open for a session (open_holder, a Holder), and a single command run in a
fresh one (run_in_fresh_instance). Nothing here parses what another part printed: failures
are Unavailable, with the reason as their message."""
import os
import signal
import sys
from collections.abc import Mapping, Sequence
from typing import Any, NoReturn, Protocol

from tq30 import ROOT
from tq30.runtime import cache, environment, machine, native
from tq30.runtime.prefix import STEPS as PREFIX_STEPS, WINE64, WINESERVER
from tq30.runtime.prefix import environment as prefix_environment
from tq30.runtime.engine import EMULATED, NATIVE, Engine, EngineError
from tq30.runtime.engine import choose as choose_engine, describe as describe_engine

__all__ = ["EMULATED", "NATIVE", "PREFIX_STEPS", "UNAVAILABLE", "WINE64", "WINESERVER",
           "Engine", "EngineError", "Holder", "Unavailable", "choose_engine",
           "command_environment", "describe_engine", "ensure", "exit_like",
           "holder_from_state", "open_holder", "prefix_environment", "require",
           "run_in_fresh_instance"]

# Set by test.sh when the runtime could not be had, with the reason: the PE32's tests then
# skip at once instead of each trying again.
UNAVAILABLE = "TQ30_PE32_UNAVAILABLE"


class Unavailable(Exception):
    """The chosen engine cannot run the PE32 on this host; the message says why."""


class Holder(Protocol):
    """One instance of the runtime held open for a session: the native engine's namespaces
    (native.Namespaces) or the booted machine (machine.Machine). A process that did not open
    it gets it back from its state (holder_from_state)."""

    @property
    def engine(self) -> str:
        """NATIVE or EMULATED."""

    @property
    def prepared_prefix(self) -> str | None:
        """The Wine prefix that every start of the instance finds ready, or None where a
        session makes its own."""

    def state(self) -> dict[str, Any]:
        """What another process needs to reach the instance, as JSON can hold it."""

    def host_command(self, cwd: str, argv: Sequence[str],
                     file_size_limit: int | None = None) -> list[str]:
        """The host's command that runs ARGV inside, in CWD, from any process; writes past
        FILE_SIZE_LIMIT bytes fail there as on a full disk."""

    def find_program(self, windows_name: str, timeout: float = 10) -> int | None:
        """The host's process id of the newest process inside that runs the Windows program
        WINDOWS_NAME, or None (also where the host cannot see the instance's processes)."""

    def close(self) -> None:
        """Ends the instance and every process started in it."""


def ensure(engine: Engine) -> str:
    """The engine's folder (the root, or the machine), made first if needed."""
    try:
        root = native.ensure_root()
        return root if engine.name == NATIVE else machine.ensure(root)
    except (cache.BuildFailed, machine.MachineError) as failure:
        raise Unavailable(str(failure)) from None
    except OSError as failure:
        raise Unavailable(f"{failure.filename or 'the PE32 runtime'}: {failure.strerror}") \
            from None


def require(engine: Engine) -> str:
    """As ensure(), but a reason already found by this run (test.sh) is taken as it is."""
    if os.environ.get(UNAVAILABLE):
        raise Unavailable(os.environ[UNAVAILABLE])
    return ensure(engine)


def open_holder(engine: Engine, folder: str, folders: Sequence[str] = (ROOT,)) -> Holder:
    """One instance of the runtime held open for a session, with FOLDERS shared."""
    try:
        if engine.name == NATIVE:
            return native.Namespaces.open(folder, list(folders))
        return machine.Machine.boot(folder, list(folders), detach=True)
    except (cache.BuildFailed, machine.MachineError) as failure:
        raise Unavailable(str(failure)) from None


def holder_from_state(state: dict[str, Any]) -> Holder:
    if state["engine"] == NATIVE:
        return native.Namespaces.from_state(state)
    return machine.Machine.from_state(state)


def command_environment(env: Mapping[str, str]) -> dict[str, str]:
    """What a command run in the runtime gets of ENV: no secret of the caller's goes in."""
    return environment.for_command(env)


def run_in_fresh_instance(engine: Engine, folder: str, argv: Sequence[str]) -> int:
    """Runs ARGV in a fresh instance, in the current folder, with the checkout and the
    current folder shared; returns its status as a process's (negative for a signal).
    Every process ARGV started ends with it."""
    cwd = os.getcwd()
    if engine.name == NATIVE:
        native.exec_in_root(folder, cwd, [ROOT], argv)
    try:
        with machine.Machine.boot(folder, [ROOT, cwd]) as booted:
            return booted.execute(cwd, argv)
    except machine.MachineError as failure:
        raise Unavailable(str(failure)) from None


def exit_like(status: int) -> NoReturn:
    """Ends this process as a command ended: with its code, or by its signal (a negative
    status, as subprocess gives it)."""
    if status < 0:
        signal.signal(-status, signal.SIG_DFL)
        os.kill(os.getpid(), -status)
    sys.exit(status)
