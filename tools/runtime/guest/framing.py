"""Frames between the host and the emulated machine's agent: one byte saying what it is,
four bytes of length (big-endian), then that many bytes. The host sends R (a request, JSON),
I (standard input), E (end of standard input) and S (a signal number); the agent sends
O (standard output), F (standard error), P (the answer to a ping) and X (the exit status,
JSON)."""
import struct

LARGEST = 16 << 20


def send_frame(sock, kind, payload=b""):
    sock.sendall(kind + struct.pack(">I", len(payload)) + payload)


def _read_exactly(sock, size):
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            raise EOFError("the connection closed")
        data += chunk
    return data


def read_frame(sock):
    header = _read_exactly(sock, 5)
    size = struct.unpack(">I", header[1:])[0]
    if size > LARGEST:
        raise ValueError(f"a frame of {size} bytes")
    return header[:1], _read_exactly(sock, size)
