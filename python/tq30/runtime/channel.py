"""The channel between the host and the emulated machine's agent. It stands alone: the
machine's image carries a copy beside the agent.

Frames: one byte saying what it is, four bytes of length (big-endian), then that many bytes.
Each connection opens with a proof both ways that the peer holds the boot's token, and the
token itself never crosses: the host sends H (its nonce), the agent answers A (its nonce and
its proof), and only then does the host send R (its own proof, then the request as JSON). A
port on the host's loopback can be taken or reached by any local user, so the host sends
nothing of the request to a peer that has not proved itself, and the agent runs nothing for
one that has not. After R the host sends I (standard input), E (its end) and S (a signal
number); the agent sends O (standard output), F (standard error), P (the answer to a ping)
and X (the exit status, JSON)."""
import hashlib
import hmac
import os
import struct
from typing import Protocol

AGENT_PORT = 7000  # in the machine; qemu forwards a port of the host's loopback to it
LARGEST = 16 << 20
NONCE_SIZE = 32
PROOF_SIZE = hashlib.sha256().digest_size


class NotProved(Exception):
    """The peer did not prove that it holds the token."""


class Stream(Protocol):
    """What the channel needs of a connection: a socket, or a test's wrapper of one."""

    def sendall(self, data: bytes, /) -> None: ...

    def recv(self, size: int, /) -> bytes: ...


def send_frame(sock: Stream, kind: bytes, payload: bytes = b"") -> None:
    sock.sendall(kind + struct.pack(">I", len(payload)) + payload)


def _read_exactly(sock: Stream, size: int) -> bytes:
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            raise EOFError("the connection closed")
        data += chunk
    return data


def read_frame(sock: Stream, largest: int = LARGEST) -> tuple[bytes, bytes]:
    header = _read_exactly(sock, 5)
    size = struct.unpack(">I", header[1:])[0]
    if size > largest:
        raise ValueError(f"a frame of {size} bytes")
    return header[:1], _read_exactly(sock, size)


def _proof(token: bytes, role: bytes, first: bytes, second: bytes) -> bytes:
    # The role keeps an answer of one side from serving as the other's.
    return hmac.new(token, role + first + second, hashlib.sha256).digest()


def prove_peer_is_agent(sock: Stream, token: bytes) -> bytes:
    """The host's side of the opening: returns the proof to send ahead of the request, or
    raises NotProved when the peer answers but is not the agent (EOFError or OSError when
    it does not answer at all, as while the machine boots)."""
    mine = os.urandom(NONCE_SIZE)
    send_frame(sock, b"H", mine)
    kind, payload = read_frame(sock, NONCE_SIZE + PROOF_SIZE)
    if kind != b"A" or len(payload) != NONCE_SIZE + PROOF_SIZE:
        raise NotProved("its answer is not the agent's")
    theirs, proof = payload[:NONCE_SIZE], payload[NONCE_SIZE:]
    if not hmac.compare_digest(proof, _proof(token, b"agent", mine, theirs)):
        raise NotProved("it does not hold the machine's token")
    return _proof(token, b"host", theirs, mine)


def answer_host(sock: Stream, token: bytes) -> bytes:
    """The agent's side of the opening: proves itself and returns the request the host
    sent with a valid proof of its own; raises NotProved for any other peer."""
    kind, theirs = read_frame(sock, NONCE_SIZE)
    if kind != b"H" or len(theirs) != NONCE_SIZE:
        raise NotProved("no opening")
    mine = os.urandom(NONCE_SIZE)
    send_frame(sock, b"A", mine + _proof(token, b"agent", theirs, mine))
    kind, payload = read_frame(sock)
    expected = _proof(token, b"host", mine, theirs)
    if kind != b"R" or not hmac.compare_digest(payload[:PROOF_SIZE], expected):
        raise NotProved("the host's proof is wrong")
    return payload[PROOF_SIZE:]
