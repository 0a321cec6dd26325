"""The one interface over both engines: what an engine needs is made once (ensure), a
session holds one instance open (open_holder: the namespaces or the booted machine, each
with command, find_program, state and close), and a single command can run in a fresh
one (run). Nothing here parses what another part printed: failures are Unavailable, with
the reason as their message."""
import os
import signal
import sys

from tq30 import ROOT
from tq30.runtime import cache, engine as engines, machine, native

# Set by test.sh when the runtime could not be had, with the reason: the PE32's tests then
# skip at once instead of each trying again.
UNAVAILABLE = "TQ30_PE32_UNAVAILABLE"


class Unavailable(Exception):
    """The chosen engine cannot run the PE32 on this host; the message says why."""


def ensure(engine):
    """The engine's folder (the root, or the machine), made first if needed."""
    try:
        root = native.ensure_root()
        return root if engine.name == engines.NATIVE else machine.ensure(root)
    except (cache.BuildFailed, machine.MachineError) as failure:
        raise Unavailable(str(failure)) from None
    except OSError as failure:
        raise Unavailable(f"{failure.filename or 'the PE32 runtime'}: {failure.strerror}") \
            from None


def require(engine):
    """As ensure(), but a reason already found by this run (test.sh) is taken as it is."""
    if os.environ.get(UNAVAILABLE):
        raise Unavailable(os.environ[UNAVAILABLE])
    return ensure(engine)


def open_holder(engine, folder, folders=(ROOT,)):
    """One instance of the runtime held open for a session, with FOLDERS shared."""
    try:
        if engine.name == engines.NATIVE:
            return native.Namespaces.open(folder, list(folders))
        return machine.Machine.boot(folder, list(folders), detach=True)
    except (cache.BuildFailed, machine.MachineError) as failure:
        raise Unavailable(str(failure)) from None


def holder_from_state(state):
    kind = native.Namespaces if state["engine"] == engines.NATIVE else machine.Machine
    return kind.from_state(state)


def run(engine, folder, argv):
    """Runs ARGV in a fresh instance, in the current folder, with the checkout and the
    current folder shared; returns its status as a process's (negative for a signal).
    Every process ARGV started ends with it."""
    cwd = os.getcwd()
    if engine.name == engines.NATIVE:
        native.run(folder, cwd, [ROOT], argv)  # does not return
    try:
        with machine.Machine.boot(folder, [ROOT, cwd]) as booted:
            return booted.execute(cwd, argv)
    except machine.MachineError as failure:
        raise Unavailable(str(failure)) from None


def exit_like(status):
    """Ends this process as a command ended: with its code, or by its signal (a negative
    status, as subprocess gives it)."""
    if status < 0:
        signal.signal(-status, signal.SIG_DFL)
        os.kill(os.getpid(), -status)
    sys.exit(status)
