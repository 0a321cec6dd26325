"""Runs in the emulated machine, started by its init (guest-init): mounts the host's folders
at their own paths, then runs commands for the host, one TCP connection each (forwarded from
the host's loopback by qemu). A connection carries length-prefixed frames (channel.py,
carried beside it in the machine's image): a proof both ways that the peer holds the boot's
token, the host's request, then its standard input and signals one way, the command's
output and its exit status the other. A connection that closes before the command ends
kills the command and everything it started, as ending a command ends its processes on
the host."""
import json
import os
import resource
import signal
import socket
import subprocess
import threading
import time
from typing import IO, Any

from tq30.runtime.channel import AGENT_PORT, NotProved, answer_host, read_frame, send_frame

Request = dict[str, Any]  # the host's request, as JSON gave it

CONTROL = "/run/tq30-control"
# What a command finds set beside the few variables the host sends it.
BASE_ENVIRONMENT = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root"}


def run_checked(argv: list[str]) -> None:
    """Runs one of the machine's own set-up commands; its failure stops the agent."""
    subprocess.run(argv, check=True)


def mount_shares(shares: list[dict[str, str]]) -> None:
    # Outer folders first, so that a folder inside another is mounted over it.
    for share in sorted(shares, key=lambda s: len(os.fsencode(s["path"]))):
        os.makedirs(share["path"], exist_ok=True)
        run_checked(["mount", "-t", "9p", "-o", "trans=virtio,version=9p2000.L,msize=512000",
                     share["tag"], share["path"]])


def bring_up_network() -> None:
    """qemu's user network: the host's forwarded port reaches 10.0.2.15."""
    run_checked(["ip", "link", "set", "lo", "up"])
    deadline = time.monotonic() + 30
    while True:  # the card shows up a little after its driver is loaded
        cards = [name for name in os.listdir("/sys/class/net") if name != "lo"]
        if cards or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    if not cards:
        raise SystemExit("tq30-agent: no network card")
    run_checked(["ip", "link", "set", cards[0], "up"])
    run_checked(["ip", "address", "add", "10.0.2.15/24", "dev", cards[0]])


def descendants(pid: int) -> list[int]:
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(parent, []).append(int(entry))
            except (FileNotFoundError, ProcessLookupError, ValueError):
                pass
    found: list[int] = []
    todo = [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def kill_tree(process: subprocess.Popen[bytes], signum: int = signal.SIGKILL) -> None:
    for pid in [process.pid, *descendants(process.pid)]:
        try:
            os.kill(pid, signum)
        except ProcessLookupError:
            pass
    try:
        os.killpg(process.pid, signum)
    except ProcessLookupError:
        pass


class Connection:
    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.lock = threading.Lock()

    def send(self, kind: bytes, payload: bytes = b"") -> None:
        with self.lock:
            send_frame(self.sock, kind, payload)


def stream(pipe: IO[bytes], connection: Connection, kind: bytes) -> None:
    try:
        while True:
            data = os.read(pipe.fileno(), 65536)
            if not data:
                return
            connection.send(kind, data)
    except OSError:
        return


def feed_input(connection: Connection, process: subprocess.Popen[bytes],
               finished: threading.Event) -> None:
    """Standard input and signals from the host; a closed connection kills the command."""
    while True:
        try:
            kind, payload = read_frame(connection.sock)
        except (OSError, EOFError):
            if not finished.is_set():
                kill_tree(process)
            return
        if kind == b"I" and process.stdin:
            try:
                process.stdin.write(payload)
                process.stdin.flush()
            except OSError:
                pass
        elif kind == b"E" and process.stdin:
            process.stdin.close()
        elif kind == b"S":
            kill_tree(process, payload[0])


def stream_mode(request: Request, name: str) -> int:
    return subprocess.PIPE if request.get(name) == "pipe" else subprocess.DEVNULL


def start(request: Request) -> subprocess.Popen[bytes]:
    limit: int | None = request.get("file_size_limit")

    def limits() -> None:
        if limit is not None:
            # A full disk for larger files: the write fails instead of the process dying.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    env = {os.fsencode(k): os.fsencode(v)
           for k, v in {**BASE_ENVIRONMENT, **request["env"]}.items()}
    return subprocess.Popen([os.fsencode(arg) for arg in request["argv"]],
                            cwd=os.fsencode(request["cwd"]), env=env,
                            stdin=stream_mode(request, "stdin"),
                            stdout=stream_mode(request, "stdout"),
                            stderr=stream_mode(request, "stderr"), start_new_session=True,
                            preexec_fn=limits)


def serve_command(connection: Connection, request: Request) -> None:
    try:
        process = start(request)
    except OSError as failure:
        connection.send(b"F", f"{request['argv'][0]}: {failure.strerror}\n".encode())
        connection.send(b"X", json.dumps({"code": 127}).encode())
        return
    finished = threading.Event()
    pumps = [threading.Thread(target=stream, args=(pipe, connection, kind), daemon=True)
             for pipe, kind in ((process.stdout, b"O"), (process.stderr, b"F")) if pipe]
    for pump in pumps:
        pump.start()
    threading.Thread(target=feed_input, args=(connection, process, finished),
                     daemon=True).start()
    code = process.wait()
    finished.set()
    # What the command wrote before it ended is in its pipes; a process it left running
    # may hold them open, so its later output is not waited for.
    for pump in pumps:
        pump.join(timeout=0.5)
    status: dict[str, int] = {"code": code} if code >= 0 else {"signal": -code}
    connection.send(b"X", json.dumps(status).encode())


def halt(connection: Connection) -> None:
    os.sync()
    connection.send(b"X", json.dumps({"code": 0}).encode())
    time.sleep(0.2)
    with open("/proc/sysrq-trigger", "w") as f:
        f.write("o")


def handle(sock: socket.socket, token: bytes) -> None:
    connection = Connection(sock)
    try:
        sock.settimeout(30)  # for the opening: a peer that says nothing is let go
        request = json.loads(answer_host(sock, token))
        sock.settimeout(None)
        if request.get("op") == "ping":
            connection.send(b"P")
        elif request.get("op") == "halt":
            halt(connection)
        else:
            serve_command(connection, request)
    except (OSError, EOFError, ValueError, KeyError, NotProved):
        pass
    finally:
        sock.close()


def main() -> None:
    with open(os.path.join(CONTROL, "machine.json")) as f:
        setup = json.load(f)
    with open(os.path.join(CONTROL, "token")) as f:
        token = f.read().strip().encode()
    mount_shares(setup["shares"])
    bring_up_network()
    server = socket.create_server(("0.0.0.0", AGENT_PORT), backlog=64)
    print("tq30-agent: ready", flush=True)
    while True:
        sock, _ = server.accept()
        threading.Thread(target=handle, args=(sock, token), daemon=True).start()


if __name__ == "__main__":
    main()
