"""The emulated engine, for hosts that cannot run 32-bit code in a 64-bit process: the
runtime's root booted as a whole machine under qemu-system-x86_64 with TCG.

Host folders appear in it at their own paths over 9p, under the mapped-xattr model: what
the guest's root makes there reaches the host as plain files of qemu's, its modes,
owners and link targets kept in extended attributes, so no set-uid file, device or link
leading out of the folder appears on the host. Commands run there through an agent
(agent.py, started by guest-init) reached over a port that qemu forwards from the host's
loopback; both ends prove that they hold the boot's token before anything else crosses
(channel.py), and the token lives in a folder only root can read."""
import json
import os
import secrets
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Sequence
from typing import Any

from tq30 import ROOT
from tq30.runtime import cache, channel, environment, native, prefix

QEMU = "qemu-system-x86_64"
MEMORY = "6144"  # room for a launcher image at the payload ceiling and its files
DISK_SIZE = "8G"  # sparse: only what the root holds takes space
BOOT_SECONDS = 180  # under TCG on 2 busy cores; a boot takes about 15 s on an idle host
PREFIX = "/opt/tq30/prefix"  # made with the image; every boot starts from a fresh copy
# What the machine's image carries in /opt/tq30, beside the root: its init, and the guest's
# modules at their place in the package, so that they import each other as here.
GUEST_FILES = {"init": os.path.join(cache.HERE, "guest-init"),
               "tq30/runtime/agent.py": os.path.join(cache.HERE, "agent.py"),
               "tq30/runtime/channel.py": channel.__file__,
               "tq30/runtime/prefix.py": prefix.__file__}
GUEST_FOLDERS = ("/opt/tq30", "/opt/tq30/tq30", "/opt/tq30/tq30/runtime")
PYTHON = os.path.join(ROOT, "python")


class MachineError(Exception):
    pass


def folder(root: str) -> str:
    return root + "-machine-" + cache.digest(GUEST_FILES.values())


def _check_qemu() -> None:
    """Raises MachineError, in qemu's own words, where qemu cannot start at all: ensure()
    checks it each time, before it makes the machine or finds it made, and every boot comes
    after an ensure(), so the reason is the same whether or not the machine exists yet."""
    if shutil.which(QEMU) is None:
        raise MachineError(f"{QEMU} is missing (Debian package qemu-system-x86)")
    result = subprocess.run([QEMU, "-version"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            timeout=120)
    if result.returncode != 0:
        said = result.stderr.strip().splitlines()[-1:] or [f"exit code {result.returncode}"]
        raise MachineError(f"the emulated machine cannot start: {said[0]}")


def _escape(value: str) -> str:
    return value.replace(",", ",,")  # qemu's option syntax


def _share(path: str, tag: str, readonly: bool = False) -> list[str]:
    return ["-virtfs", f"local,path={_escape(path)},mount_tag={tag},security_model=mapped-xattr"
                       + (",readonly=on" if readonly else "")]


def qemu_command(machine: str, control: str, shares: list[dict[str, str]], port: int | None,
                 console: str, prepare: bool = False) -> list[str]:
    cores = str(min(2, os.cpu_count() or 1))
    # smap and pku off: with them, Wine's return to user mode faults under TCG.
    command = [QEMU, "-machine", "q35", "-accel", "tcg", "-cpu", "max,smap=off,pku=off",
               "-smp", cores, "-m", MEMORY, "-display", "none", "-monitor", "none",
               "-no-reboot", "-serial", "file:" + _escape(console),
               "-kernel", os.path.join(machine, "vmlinuz"),
               "-initrd", os.path.join(machine, "initrd.img"),
               "-drive", "file=" + _escape(os.path.join(machine, "root.img")) +
               ",format=raw,if=virtio" + ("" if prepare else ",snapshot=on"),
               "-append", "root=/dev/vda rw console=ttyS0 init=/opt/tq30/init panic=-1 quiet" +
               (" tq30.prepare" if prepare else ""),
               *_share(control, "tq30control", readonly=True)]
    for share in shares:
        command += _share(share["path"], share["tag"])
    if port is None:
        return command + ["-nic", "none"]
    return command + ["-nic", f"user,model=virtio-net-pci,restrict=on,"
                              f"hostfwd=tcp:127.0.0.1:{port}-:{channel.AGENT_PORT}"]


def _console_tail(console: str, lines: int = 5) -> str:
    try:
        with open(console, errors="replace") as f:
            return " | ".join(line.strip() for line in f.read().splitlines()[-lines:])
    except OSError:
        return "no console output"


def _build(root: str, machine: str) -> None:
    os.makedirs(machine)
    boot = os.path.join(root, "boot")
    for name in ("vmlinuz", "initrd.img"):
        found = sorted(n for n in os.listdir(boot) if n.startswith(name + "-"))
        if not found:
            raise MachineError(f"the runtime's root has no {boot}/{name}-*")
        shutil.copyfile(os.path.join(boot, found[-1]), os.path.join(machine, name))
    image = os.path.join(machine, "root.img")
    cache.run_build_step(["mke2fs", "-q", "-t", "ext4", "-d", root, "-F", image, DISK_SIZE],
                         stdout=subprocess.DEVNULL)
    commands = [f"mkdir {folder}" for folder in GUEST_FOLDERS]
    for name, source in GUEST_FILES.items():
        commands += [f"write {source} /opt/tq30/{name}", f"sif /opt/tq30/{name} mode 0100755"]
    subprocess.run(["debugfs", "-w", "-f", "-", image], input="\n".join(commands) + "\n",
                   text=True, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # The prefix is made in the machine itself: making it runs 32-bit code.
    control = tempfile.mkdtemp(prefix="tq30-machine-")
    try:
        with open(os.path.join(control, "machine.json"), "w") as f:
            json.dump({"shares": []}, f)
        console = os.path.join(control, "console.log")
        with subprocess.Popen(qemu_command(machine, control, [], None, console, prepare=True),
                              stdin=subprocess.DEVNULL, preexec_fn=cache.die_with_parent) as qemu:
            try:
                qemu.wait(timeout=1800)
            except subprocess.TimeoutExpired:
                raise MachineError("making the Wine prefix in the emulated machine took "
                                   "over 30 min")
            finally:
                qemu.kill()
        with open(console, errors="replace") as f:
            if "tq30-prepare: exit 0" not in f.read():
                raise MachineError("the Wine prefix could not be made in the emulated machine: "
                                   + _console_tail(console))
    finally:
        shutil.rmtree(control, ignore_errors=True)
    subprocess.run(["e2fsck", "-fp", image], check=False, stdout=subprocess.DEVNULL)


def ensure(root: str) -> str:
    """The machine made from ROOT, made first unless it is there."""
    target = folder(root)
    _check_qemu()
    return cache.build_once(target, lambda partial: _build(root, partial),
                            f"== making the emulated machine in {target} (once per recipe "
                            "and guest, 5 to 15 minutes)")


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _shares(folders: Sequence[str]) -> list[dict[str, str]]:
    """One share per folder, leaving out folders inside another shared one."""
    return [{"tag": f"tq30share{i}", "path": path}
            for i, path in enumerate(native.outer_first(folders))]


class PortTaken(Exception):
    pass


class Machine:
    """A booted machine: closing it (or leaving its `with`) powers it off and removes its
    control folder. Its state is a dict, for a process that did not boot it."""
    engine = "emulated"
    prepared_prefix = PREFIX

    def __init__(self, state: dict[str, Any],
                 process: subprocess.Popen[bytes] | None = None) -> None:
        self.state_dict, self.process = state, process

    def __enter__(self) -> "Machine":
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    @classmethod
    def boot(cls, machine: str, folders: Sequence[str], detach: bool = False) -> "Machine":
        """Boots MACHINE with FOLDERS shared. Raises MachineError when it does not come up,
        or when the port answers with a program that cannot prove it is the agent. Its
        callers have had ensure() check qemu first."""
        for _ in range(3):
            try:
                return cls._boot_once(machine, folders, detach)
            except PortTaken:
                continue  # another program took the free port before qemu did
        raise MachineError("no free port on the host's loopback for the emulated machine")

    @classmethod
    def _boot_once(cls, machine: str, folders: Sequence[str], detach: bool) -> "Machine":
        shares = _shares(folders)  # what the machine mounts and what qemu serves, one list
        control = tempfile.mkdtemp(prefix="tq30-machine-")  # mode 0700
        state: dict[str, Any] = {
            "engine": cls.engine, "control": control, "port": _free_port(),
            "token_file": os.path.join(control, "token"),
            "state_file": os.path.join(control, "holder.json"),
            "console": os.path.join(control, "console.log")}
        descriptor = os.open(state["token_file"], os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(descriptor, "w") as f:
            f.write(secrets.token_hex(32))
        with open(os.path.join(control, "machine.json"), "w") as f:
            json.dump({"shares": shares}, f)
        command = qemu_command(machine, control, shares, state["port"], state["console"])
        errors = os.path.join(control, "qemu.err")
        with open(errors, "w") as error_output:
            qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=error_output, start_new_session=detach,
                                    preexec_fn=None if detach else cache.die_with_parent)
        state["qemu_pid"] = qemu.pid
        booted = cls(state, qemu)
        with open(state["state_file"], "w") as f:
            json.dump(state, f)
        deadline = time.monotonic() + BOOT_SECONDS
        try:
            while time.monotonic() < deadline:
                if qemu.poll() is not None:
                    with open(errors, errors="replace") as f:
                        said = f.read().strip()
                    if "host forwarding rule" in said:
                        raise PortTaken()
                    reason = said.splitlines()[-1:] or [_console_tail(state["console"])]
                    raise MachineError(f"the emulated machine stopped while booting: {reason[0]}")
                if booted.ping():
                    return booted
                time.sleep(0.5)
            raise MachineError(f"the emulated machine did not come up in {BOOT_SECONDS} s: "
                               + _console_tail(state["console"]))
        except BaseException:
            booted.close()
            raise

    def state(self) -> dict[str, Any]:
        return self.state_dict

    @classmethod
    def from_state(cls, state: dict[str, Any]) -> "Machine":
        return cls(state)

    @classmethod
    def from_file(cls, state_file: str) -> "Machine":
        with open(state_file) as f:
            return cls(json.load(f))

    def _connect(self, request: dict[str, Any]) -> socket.socket:
        port = self.state_dict["port"]
        sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        try:
            with open(self.state_dict["token_file"]) as f:
                token = f.read().strip().encode()
            proof = channel.prove_peer_is_agent(sock, token)
        except channel.NotProved as why:
            sock.close()
            raise MachineError(f"the program on the host's port {port} is not the emulated "
                               f"machine's agent ({why}): another local user may hold the "
                               "port; nothing was sent to it") from None
        except BaseException:
            sock.close()
            raise
        sock.settimeout(None)
        channel.send_frame(sock, b"R", proof + json.dumps(request).encode())
        return sock

    def ping(self) -> bool:
        """Whether the agent answers; False while the machine boots."""
        try:
            with self._connect({"op": "ping"}) as sock:
                sock.settimeout(5)
                return channel.read_frame(sock)[0] == b"P"
        except (OSError, EOFError, ValueError):
            return False

    def host_command(self, cwd: str, argv: Sequence[str],
                     file_size_limit: int | None = None) -> list[str]:
        """The host's command that runs ARGV in CWD in the machine, from any process."""
        limit = [] if file_size_limit is None else ["--file-size-limit", str(file_size_limit)]
        return ["/usr/bin/env", f"PYTHONPATH={PYTHON}", sys.executable, "-m", "tq30.runtime",
                "exec", self.state_dict["state_file"], cwd, *limit, "--", *argv]

    def find_program(self, windows_name: str, timeout: float = 10) -> int | None:
        del windows_name, timeout
        return None  # the host cannot see the machine's processes

    def close(self) -> None:
        """Asks the machine to power off, then kills what is left."""
        pid = self.state_dict.get("qemu_pid")
        if pid is not None and os.path.exists(f"/proc/{pid}"):
            try:
                with self._connect({"op": "halt"}) as sock:
                    sock.settimeout(10)
                    channel.read_frame(sock)
            except (OSError, EOFError, ValueError, MachineError):
                pass
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and not self._reaped():
                time.sleep(0.1)
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self._reaped(block=True)
        shutil.rmtree(self.state_dict["control"], ignore_errors=True)

    def _reaped(self, block: bool = False) -> bool:
        if self.process is not None:
            if block:
                self.process.wait()
                return True
            return self.process.poll() is not None
        pid = self.state_dict["qemu_pid"]
        try:  # started by another process
            done, _ = os.waitpid(pid, 0 if block else os.WNOHANG)
            return done != 0
        except ChildProcessError:
            return not os.path.exists(f"/proc/{pid}")

    def execute(self, cwd: str, argv: Sequence[str], file_size_limit: int | None = None) -> int:
        """Runs ARGV in the machine in CWD with this process's standard streams and the
        variables environment.forwarded() keeps; returns its exit status as a process's
        status (a negative number for a signal)."""
        modes = {name: _stream_mode(fd) for fd, name in enumerate(("stdin", "stdout", "stderr"))}
        request = {"op": "exec", "argv": argv, "cwd": cwd, "env": environment.forwarded(),
                   "file_size_limit": file_size_limit, **modes}
        with self._connect(request) as sock:
            return self._serve(sock, modes)

    def _serve(self, sock: socket.socket, modes: dict[str, str]) -> int:
        lock = threading.Lock()

        def send(kind: bytes, payload: bytes = b"") -> None:
            with lock:
                channel.send_frame(sock, kind, payload)

        def forward_signal(signum: int, _frame: object) -> None:
            try:
                send(b"S", bytes([signum]))
            except OSError:
                pass

        for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(signum, forward_signal)
        if modes["stdin"] == "pipe":
            def feed() -> None:
                try:
                    while True:
                        data = os.read(0, 65536)
                        if not data:
                            send(b"E")
                            return
                        send(b"I", data)
                except OSError:
                    pass
            threading.Thread(target=feed, daemon=True).start()
        while True:
            try:
                kind, payload = channel.read_frame(sock)
            except (OSError, EOFError, ValueError):
                sys.stderr.write("runtime: the emulated machine ended the command\n")
                return 125
            if kind == b"O":
                _write_all(1, payload)
            elif kind == b"F":
                _write_all(2, payload)
            elif kind == b"X":
                status = json.loads(payload)
                return -status["signal"] if "signal" in status else status["code"]


def _stream_mode(fd: int) -> str:
    """'null' where the host's stream is /dev/null, so that the command's is too."""
    try:
        mine, null = os.fstat(fd), os.stat(os.devnull)
    except OSError:
        return "null"
    same = stat.S_ISCHR(mine.st_mode) and mine.st_rdev == null.st_rdev
    return "null" if same else "pipe"


def _write_all(fd: int, data: bytes) -> None:
    try:
        while data:
            data = data[os.write(fd, data):]
    except OSError:
        pass  # the reader went away, as a pipe's would
