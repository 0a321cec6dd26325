#!/usr/bin/env python3
"""The PE32 runtime's emulated engine, for hosts that cannot run 32-bit code in a 64-bit
process: the runtime's root booted as a whole machine under qemu-system-x86_64 with TCG.
Host folders appear in it at their own paths (9p); commands run there through an agent
(guest/agent.py) reached over a TCP port that qemu forwards from the host's loopback only,
and a connection must show the boot's secret, which only root can read.

    emulated.py build ROOT MACHINE
        makes the machine (kernel, initrd and a disk image of ROOT holding a ready Wine
        prefix) in the folder MACHINE, which must not exist
    emulated.py run MACHINE FOLDER [FOLDER...] -- CMD [ARG...]
        boots it with the FOLDERs shared, runs CMD in the current folder, ends the machine;
        exits with CMD's exit code
    emulated.py exec STATE_FILE CWD [--file-size-limit BYTES] -- CMD [ARG...]
        runs CMD in a machine that boot() started (what a test session does)
"""
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

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # the guest's folder is what the machine is made from
sys.path.insert(0, os.path.join(HERE, "guest"))
from framing import read_frame, send_frame  # noqa: E402

QEMU = "qemu-system-x86_64"
AGENT_PORT = 7000
MEMORY = "6144"  # room for a launcher image at the payload ceiling and its files
DISK_SIZE = "8G"  # sparse: only what the root holds takes space
GUEST_FILES = ("init", "agent.py", "framing.py", "prepare-prefix")
BOOT_SECONDS = 180  # under TCG on 2 busy cores; a boot takes about 10 s on an idle host
ENGINE = "the emulated machine (qemu-system-x86_64, TCG)"


class MachineError(Exception):
    pass


_started = {}  # qemu's process by id, for the machines this process booted


def _escape(value):
    return value.replace(",", ",,")  # qemu's option syntax


def _die_with_parent():
    # qemu ends with whoever started it, even when that one is killed outright.
    import ctypes
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def qemu_command(machine, control, shares, port, console, prepare=False):
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
               "-virtfs", f"local,path={_escape(control)},mount_tag=tq30control,"
                          "security_model=passthrough"]
    for share in shares:
        command += ["-virtfs", f"local,path={_escape(share['path'])},mount_tag={share['tag']},"
                               "security_model=passthrough"]
    if port is None:
        command += ["-nic", "none"]
    else:
        command += ["-nic", f"user,model=virtio-net-pci,restrict=on,"
                            f"hostfwd=tcp:127.0.0.1:{port}-:{AGENT_PORT}"]
    return command


def _console_tail(console, lines=5):
    try:
        with open(console, errors="replace") as f:
            return " | ".join(line.strip() for line in f.read().splitlines()[-lines:])
    except OSError:
        return "no console output"


def check_qemu():
    """Raises MachineError, in qemu's own words, where qemu cannot start at all: checked
    before the machine is made and before every boot, so the reason is the same whether or
    not the machine exists yet."""
    if shutil.which(QEMU) is None:
        raise MachineError(f"{QEMU} is missing (Debian package qemu-system-x86)")
    result = subprocess.run([QEMU, "-version"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            timeout=120)
    if result.returncode != 0:
        said = result.stderr.strip().splitlines()[-1:] or [f"exit code {result.returncode}"]
        raise MachineError(f"the emulated machine cannot start: {said[0]}")


def build(root, machine):
    """The machine from the runtime's root, in MACHINE; raises MachineError on failure."""
    check_qemu()
    os.makedirs(machine)
    boot = os.path.join(root, "boot")
    for name, link in (("vmlinuz", "vmlinuz"), ("initrd.img", "initrd.img")):
        found = sorted(n for n in os.listdir(boot) if n.startswith(name + "-"))
        if not found:
            raise MachineError(f"the runtime's root has no {boot}/{name}-*")
        shutil.copyfile(os.path.join(boot, found[-1]), os.path.join(machine, link))
    image = os.path.join(machine, "root.img")
    subprocess.run(["mke2fs", "-q", "-t", "ext4", "-d", root, "-F", image, DISK_SIZE],
                   check=True)
    commands = ["mkdir /opt/tq30"]
    for name in GUEST_FILES:
        commands += [f"write {os.path.join(HERE, 'guest', name)} /opt/tq30/{name}",
                     f"sif /opt/tq30/{name} mode 0100755"]
    subprocess.run(["debugfs", "-w", "-f", "-", image], input="\n".join(commands) + "\n",
                   text=True, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # The prefix is made in the machine itself: making it runs 32-bit code.
    control = tempfile.mkdtemp(prefix="tq30-machine-")
    try:
        with open(os.path.join(control, "machine.json"), "w") as f:
            json.dump({"shares": []}, f)
        console = os.path.join(control, "console.log")
        subprocess.run(qemu_command(machine, control, [], None, console, prepare=True),
                       stdin=subprocess.DEVNULL, timeout=1800, check=True,
                       preexec_fn=_die_with_parent)
        with open(console, errors="replace") as f:
            if "tq30-prepare: exit 0" not in f.read():
                raise MachineError("the Wine prefix could not be made in the emulated machine: "
                                   + _console_tail(console))
    except subprocess.TimeoutExpired:
        raise MachineError("making the Wine prefix in the emulated machine took over 30 min")
    finally:
        shutil.rmtree(control, ignore_errors=True)
    subprocess.run(["e2fsck", "-fp", image], check=False, stdout=subprocess.DEVNULL)


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _shares(folders):
    """One share per folder, leaving out folders inside another shared one."""
    unique = []
    for folder in sorted({os.path.realpath(f) for f in folders}, key=len):
        if not any(folder == outer or folder.startswith(outer.rstrip("/") + "/")
                   for outer in unique):
            unique.append(folder)
    return [{"tag": f"tq30share{i}", "path": path} for i, path in enumerate(unique)]


def _connect(state, request):
    sock = socket.create_connection(("127.0.0.1", state["port"]), timeout=10)
    sock.settimeout(None)
    with open(state["token_file"]) as f:
        request = {**request, "token": f.read().strip()}
    send_frame(sock, b"R", json.dumps(request).encode())
    return sock


def _ping(state):
    try:
        with _connect(state, {"op": "ping"}) as sock:
            sock.settimeout(5)
            return read_frame(sock)[0] == b"P"
    except (OSError, EOFError, ValueError):
        return False


class PortTaken(Exception):
    pass


def boot(machine, folders, detach=False):
    """Boots the machine with FOLDERS shared; returns its state (a dict that exec and halt
    take). Raises MachineError when it does not come up."""
    for _ in range(3):
        try:
            return _boot_once(machine, folders, detach)
        except PortTaken:
            continue  # another program took the free port before qemu did
    raise MachineError("no free port on the host's loopback for the emulated machine")


def _boot_once(machine, folders, detach):
    shares = _shares(folders)  # what the machine mounts and what qemu serves, one list
    control = tempfile.mkdtemp(prefix="tq30-machine-")  # mode 0700
    state = {"engine": "emulated", "control": control, "port": _free_port(),
             "token_file": os.path.join(control, "token"),
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
                                preexec_fn=None if detach else _die_with_parent)
    state["qemu_pid"] = qemu.pid
    _started[qemu.pid] = qemu
    deadline = time.monotonic() + BOOT_SECONDS
    while time.monotonic() < deadline:
        if qemu.poll() is not None:
            with open(errors, errors="replace") as f:
                said = f.read().strip()
            halt(state)
            if "host forwarding rule" in said:
                raise PortTaken()
            reason = said.splitlines()[-1:] or [_console_tail(state["console"])]
            raise MachineError(f"the emulated machine stopped while booting: {reason[0]}")
        if _ping(state):
            return state
        time.sleep(0.5)
    halt(state)
    raise MachineError(f"the emulated machine did not come up in {BOOT_SECONDS} s: "
                       + _console_tail(state["console"]))


def halt(state):
    """Ends the machine: asks it to power off, then kills what is left."""
    pid = state.get("qemu_pid")
    alive = pid is not None and os.path.exists(f"/proc/{pid}")
    if alive:
        try:
            with _connect(state, {"op": "halt"}) as sock:
                sock.settimeout(10)
                read_frame(sock)
        except (OSError, EOFError, ValueError):
            pass
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not _reaped(state):
            time.sleep(0.1)
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        _reaped(state, block=True)
    shutil.rmtree(state["control"], ignore_errors=True)


def _reaped(state, block=False):
    process = _started.get(state["qemu_pid"])
    if process is not None:
        if block:
            process.wait()
            return True
        return process.poll() is not None
    try:  # started by another process
        done, _ = os.waitpid(state["qemu_pid"], 0 if block else os.WNOHANG)
        return done != 0
    except ChildProcessError:
        return not os.path.exists(f"/proc/{state['qemu_pid']}")


def _stream_mode(fd):
    """'null' where the host's stream is /dev/null, so that the command's is too."""
    try:
        mine, null = os.fstat(fd), os.stat(os.devnull)
    except OSError:
        return "null"
    same = stat.S_ISCHR(mine.st_mode) and mine.st_rdev == null.st_rdev
    return "null" if same else "pipe"


def execute(state, cwd, argv, file_size_limit=None):
    """Runs ARGV in the machine in CWD with this process's environment and standard streams;
    returns its exit status as a process's status (a negative number for a signal)."""
    modes = {name: _stream_mode(fd) for fd, name in enumerate(("stdin", "stdout", "stderr"))}
    request = {"op": "exec", "argv": argv, "cwd": cwd, "env": dict(os.environ),
               "file_size_limit": file_size_limit, **modes}
    sock = _connect(state, request)
    lock = threading.Lock()

    def send(kind, payload=b""):
        with lock:
            send_frame(sock, kind, payload)

    def forward_signal(signum, _frame):
        try:
            send(b"S", bytes([signum]))
        except OSError:
            pass

    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, forward_signal)
    if modes["stdin"] == "pipe":
        def feed():
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
            kind, payload = read_frame(sock)
        except (OSError, EOFError, ValueError):
            sys.stderr.write("emulated.py: the emulated machine ended the command\n")
            return 125
        if kind == b"O":
            _write_all(1, payload)
        elif kind == b"F":
            _write_all(2, payload)
        elif kind == b"X":
            status = json.loads(payload)
            return -status["signal"] if "signal" in status else status["code"]


def _write_all(fd, data):
    try:
        while data:
            data = data[os.write(fd, data):]
    except OSError:
        pass  # the reader went away, as a pipe's would


def exit_like(status):
    """Ends this process as the command ended: with its code, or by its signal."""
    if status < 0:
        signal.signal(-status, signal.SIG_DFL)
        os.kill(os.getpid(), -status)
    sys.exit(status)


def _split(args):
    if "--" not in args:
        sys.exit(__doc__)
    at = args.index("--")
    return args[:at], args[at + 1:]


def main(args):
    try:
        if args == ["check"]:
            check_qemu()
            return
        if args[:1] == ["build"] and len(args) == 3:
            build(args[1], args[2])
            return
        if args[:1] == ["run"]:
            before, command = _split(args[1:])
            if len(before) < 2 or not command:
                sys.exit(__doc__)
            state = boot(before[0], before[1:])
            try:
                status = execute(state, os.getcwd(), command)
            finally:
                halt(state)
            exit_like(status)
        if args[:1] == ["exec"]:
            before, command = _split(args[1:])
            limit = None
            if before[2:4] and before[2] == "--file-size-limit":
                limit, before = int(before[3]), before[:2]
            if len(before) != 2 or not command:
                sys.exit(__doc__)
            with open(before[0]) as f:
                state = json.load(f)["holder"]
            exit_like(execute(state, before[1], command, limit))
        sys.exit(__doc__)
    except MachineError as failure:
        sys.exit(f"emulated.py: {failure}")


if __name__ == "__main__":
    main(sys.argv[1:])
