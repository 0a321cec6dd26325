"""Wine sessions for a test, benchmark, screenshot or product run: an Xvfb display and a
Wine prefix with a persistent wineserver, created once, shared by every program of the run,
then ended by process id. The x64 launcher runs under the host's Wine; the PE32, the
product, runs under Wine 10 in the runtime (tq30.runtime), on whichever engine the host
allows. When the runtime cannot be had at all, the session is marked unavailable, with the
reason, and the PE32's cases skip.

    python3 -m tq30.wine start STATE_DIR x64|pe32
    python3 -m tq30.wine stop STATE_DIR
    python3 -m tq30.wine run x64|pe32 -- CMD [ARG...]
        runs CMD in a session of its own, in the current folder, with DISPLAY and
        WINEPREFIX set, and ends the session; exits with CMD's code (the session's own
        lines go to standard error)
"""
import contextlib
import json
import os
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

from tq30 import ROOT
from tq30.runtime import interface

WINE64 = interface.WINE64
WINESERVER = interface.WINESERVER
SKIPPED = 77  # the exit code CTest counts as a skip
DISPLAY_SECONDS = 120  # for Xvfb to report its display, under TCG on 2 busy cores
# The packer the Windows builds use (the tool preset's, optimised).
PACK = os.path.join(ROOT, "build", "tool", "selfinst-pack")
# The demo payload's generator, built beside it.
MAKE_DEMO_PAYLOAD = os.path.join(ROOT, "build", "tool", "make-demo-payload")
Started = TypeVar("Started")  # what subprocess.Popen or subprocess.run gives


class Build:
    """One build of the launcher with the Windows programs of its own width, as the
    Windows build folder of its preset holds them."""

    def __init__(self, name: str, launcher: str, programs: str, in_runtime: bool) -> None:
        self.name = name
        self.programs = os.path.join(ROOT, "build", programs)  # stub, stand-in, driver ...
        self.launcher = os.path.join(self.programs, launcher)  # carrying the demo payload
        self.stub = os.path.join(self.programs, launcher.replace("-setup", "-stub"))
        self.payload = os.path.join(self.programs, "demo-payload")
        self.in_runtime = in_runtime

    def program(self, name: str) -> str:
        return os.path.join(self.programs, name)


BUILDS = {
    "x64": Build("x64", "tq30-setup-x64.exe", "win64", False),
    "pe32": Build("pe32", "tq30-setup.exe", "win32", True),
}


class Session:
    """A started session as its state file describes it; runs Windows programs in it."""

    def __init__(self, state: dict[str, Any]) -> None:
        self.state = state
        self.build = BUILDS[state["build"]]
        self.env = {**os.environ, **interface.prefix_environment(state["prefix"]),
                    "DISPLAY": state.get("display", "")}
        self.holder = (interface.holder_from_state(state["holder"]) if "holder" in state
                       else None)
        self.started: dict[int, str] = {}  # what popen started, by process id

    @property
    def emulated(self) -> bool:
        return self.holder is not None and self.holder.engine == interface.EMULATED

    def argv(self, program: str, args: Sequence[str], cwd: str,
             file_size_limit: int | None = None) -> list[str]:
        """The command line that runs `program` with `args` in folder `cwd`: a Windows
        program (by absolute path: Wine starts no other from a different folder) under Wine,
        anything else as it is."""
        command = [program, *args]
        if program.lower().endswith(".exe"):
            command.insert(0, WINE64)
        if self.holder is None:
            return command
        return self.holder.host_command(cwd, command, file_size_limit)

    def _spawn(self, start: Callable[..., Started], program: str, args: Sequence[str], cwd: str,
               env: dict[str, str] | None, file_size_limit: int | None,
               kwargs: dict[str, Any]) -> Started:
        """`file_size_limit`: writes past that many bytes fail as on a full disk."""
        def limit() -> None:
            assert file_size_limit is not None
            # Ignored, so that the write fails instead of the process dying.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

        if file_size_limit is not None and not self.emulated:
            kwargs["preexec_fn"] = limit
        env = {**self.env, **(env or {})}
        if self.holder is not None:
            env = interface.command_environment(env)
        return start(self.argv(program, args, cwd, file_size_limit), cwd=cwd, env=env,
                     **kwargs)

    def popen(self, program: str, *args: str, cwd: str = ROOT, env: dict[str, str] | None = None,
              file_size_limit: int | None = None, **kwargs: Any) -> subprocess.Popen[Any]:
        process = self._spawn(subprocess.Popen, program, args, cwd, env, file_size_limit,
                              kwargs)
        self.started[process.pid] = program
        return process

    def run(self, program: str, *args: str, cwd: str = ROOT, env: dict[str, str] | None = None,
            file_size_limit: int | None = None,
            **kwargs: Any) -> subprocess.CompletedProcess[Any]:
        return self._spawn(subprocess.run, program, args, cwd, env, file_size_limit, kwargs)

    def windows_process(self, process: subprocess.Popen[Any], timeout: float = 10) -> int | None:
        """The host's process id of the Windows program that `popen` started, or None (on
        the emulated machine, whose processes the host cannot see)."""
        if self.holder is None:
            return process.pid
        return self.holder.find_program(windows_path(self.started[process.pid]), timeout)

    def kill(self, process: subprocess.Popen[Any]) -> None:
        # On the emulated machine, ending the command's connection ends all it started.
        if process.poll() is None:
            inner = self.windows_process(process, timeout=0) if self.build.in_runtime else None
            if inner is not None:
                try:
                    os.kill(inner, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            process.kill()
        process.wait()


def windows_path(path: str) -> str:
    return "Z:" + path.replace("/", "\\")


def start_display(session: Session) -> tuple[str, int]:
    """Starts Xvfb on a free display in the session's namespaces; returns (display, pid)."""
    options = ("-nolisten", "tcp", "-screen", "0", "1024x768x24")
    if session.emulated:
        # A descriptor of this host means nothing in the machine: the number comes back
        # through the command's standard output, which the machine forwards.
        xvfb = session.popen("/usr/bin/Xvfb", "-displayfd", "1", *options,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             start_new_session=True)
        assert xvfb.stdout is not None  # asked for above
        read_end = os.dup(xvfb.stdout.fileno())
        xvfb.stdout.close()
    else:
        read_end, write_end = os.pipe()
        xvfb = session.popen("/usr/bin/Xvfb", "-displayfd", str(write_end), *options,
                             pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
    # Xvfb writes the number and the line break separately; read up to the line break
    # before closing, or it dies.
    number = b""
    deadline = time.monotonic() + DISPLAY_SECONDS
    try:
        while not number.endswith(b"\n"):
            if not select.select([read_end], [], [], max(0, deadline - time.monotonic()))[0]:
                raise RuntimeError(f"Xvfb reported no display within {DISPLAY_SECONDS} s")
            chunk = os.read(read_end, 16)
            if not chunk:
                raise RuntimeError("Xvfb ended without reporting a display")
            number += chunk
    except RuntimeError:
        session.kill(xvfb)
        raise
    finally:
        os.close(read_end)
    return ":" + number.decode().strip(), xvfb.pid


def _quiet(session: Session, program: str, *args: str, timeout: float = 300) -> None:
    session.run(program, *args, check=True, timeout=timeout, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def start(state_dir: str, build_name: str, folders: Sequence[str] = (ROOT,)) -> Session:
    """Starts the session, with FOLDERS seen in the runtime; raises interface.Unavailable
    (after marking the session so) when the PE32 runtime cannot be had on this host."""
    stop(state_dir)  # a session left over from an interrupted run
    os.makedirs(state_dir, exist_ok=True)
    started = time.monotonic()
    state: dict[str, Any] = {"build": build_name,
                             "prefix": os.path.join(os.path.abspath(state_dir), "prefix")}
    if BUILDS[build_name].in_runtime:
        engine = interface.choose_engine()
        print(interface.describe_engine(engine), flush=True)
        try:
            holder = interface.open_holder(engine, interface.require(engine), folders)
        except interface.Unavailable as reason:
            _save(state_dir, {**state, "unavailable": str(reason)})
            raise
        state["holder"] = holder.state()
        if holder.prepared_prefix is not None:
            state["prefix"] = holder.prepared_prefix
    _save(state_dir, state)  # from here on, stop() can end what was started
    state["display"], state["xvfb_pid"] = start_display(Session(state))
    _save(state_dir, state)
    session = Session(state)
    # One server for the whole run, kept while no program runs; it needs the prefix's
    # folder to exist, and must not hold the test runner's output open. The machine's
    # image holds a ready prefix.
    prepared = session.holder is not None and session.holder.prepared_prefix is not None
    if not prepared:
        os.makedirs(state["prefix"], exist_ok=True)
    _quiet(session, WINESERVER, "-p")
    if not prepared:
        for step in interface.PREFIX_STEPS:
            _quiet(session, *step)
    print(f"{build_name} wine session on {state['display']}, prefix ready in "
          f"{time.monotonic() - started:.1f} s")
    return session


def load(state_dir: str) -> Session:
    with open(os.path.join(state_dir, "session.json")) as f:
        return Session(json.load(f))


def _save(state_dir: str, state: dict[str, Any]) -> None:
    with open(os.path.join(state_dir, "session.json"), "w") as f:
        json.dump(state, f)


def stop(state_dir: str) -> None:
    try:
        session = load(state_dir)
    except FileNotFoundError:
        return
    state = session.state
    if session.holder is not None:
        # Ending the holder ends the wineserver, Xvfb and whatever else ran in it.
        session.holder.close()
    elif not session.build.in_runtime:
        subprocess.run([WINESERVER, "-k"], env=session.env, timeout=60)
        subprocess.run([WINESERVER, "-w"], env=session.env, timeout=60)
        if "xvfb_pid" in state:
            try:
                os.killpg(state["xvfb_pid"], signal.SIGTERM)
            except ProcessLookupError:
                pass
    shutil.rmtree(state_dir, ignore_errors=True)
    print(f"{state['build']} wine session ended")


def run_in_own_session(build_name: str, argv: Sequence[str]) -> int:
    """Runs ARGV in a session of its own started for it, in the current folder; returns its
    exit status as a process's (negative for a signal)."""
    cwd = os.getcwd()
    state_dir = tempfile.mkdtemp(prefix="tq30-session-")
    try:
        # The prefix lives in the state folder, which the runtime must see too: under /tmp
        # it would otherwise stand on the root's own tmpfs, where it does not exist.
        with contextlib.redirect_stdout(sys.stderr):
            session = start(state_dir, build_name, folders=(ROOT, cwd, state_dir))
        return session.run(argv[0], *argv[1:], cwd=cwd).returncode
    finally:
        with contextlib.redirect_stdout(sys.stderr):
            stop(state_dir)


def main(args: list[str]) -> None:
    try:
        if len(args) == 3 and args[0] == "start" and args[2] in BUILDS:
            start(*args[1:])
        elif len(args) == 2 and args[0] == "stop":
            stop(args[1])
        elif len(args) >= 4 and args[0] == "run" and args[1] in BUILDS and args[2] == "--":
            interface.exit_like(run_in_own_session(args[1], args[3:]))
        else:
            sys.exit(__doc__)
    except interface.Unavailable as reason:
        print(f"SKIP: the PE32 cannot be run on this host: {reason}")
        sys.exit(SKIPPED)
    except (interface.EngineError, RuntimeError, subprocess.SubprocessError) as failure:
        sys.exit(f"wine session: {failure}")


if __name__ == "__main__":
    main(sys.argv[1:])
