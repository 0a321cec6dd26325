#!/usr/bin/env python3
"""The channel to the emulated machine's agent, with no machine: a peer on the agent's port
that cannot prove it holds the boot's token (a local user who took the port) gets nothing
of the request, neither the token nor the caller's variables, and the host says so in one
line instead of taking its answer; the agent runs nothing for a caller that cannot prove
itself; with both proofs, a command runs and gets only the variables meant for it."""
import os
import secrets
import socket
import tempfile
import threading
import unittest

from tq30.runtime import agent, channel, machine

TOKEN = secrets.token_hex(32)
SECRET = "the-signing-password"


def forged_answer(sock):
    channel.read_frame(sock)
    channel.send_frame(sock, b"A", os.urandom(channel.NONCE_SIZE + channel.PROOF_SIZE))


def answer_with_another_token(sock):
    channel.answer_host(sock, secrets.token_hex(32).encode())


def replay_the_request_frame(sock):
    # What a squatter that proves nothing could try: answer like a ping, hoping for more.
    channel.read_frame(sock)
    channel.send_frame(sock, b"P")


class Recording:
    """A socket that keeps every byte it receives."""

    def __init__(self, sock):
        self.sock, self.received = sock, b""

    def recv(self, size):
        data = self.sock.recv(size)
        self.received += data
        return data

    def sendall(self, data):
        self.sock.sendall(data)


class Listener:
    """A program on a loopback port: records every byte it is sent and answers with
    ANSWER(sock)."""

    def __init__(self, answer):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.received = b""
        self.thread = threading.Thread(target=self._serve, args=(answer,), daemon=True)
        self.thread.start()

    def _serve(self, answer):
        sock, _ = self.server.accept()
        recording = Recording(sock)
        with sock:
            try:
                answer(recording)
                sock.settimeout(2)
                while recording.recv(65536):
                    pass
            except (OSError, EOFError, ValueError, channel.NotProved):
                pass
        self.received = recording.received

    def close(self):
        self.server.close()
        self.thread.join(timeout=5)


def held_machine(port, folder):
    token_file = os.path.join(folder, "token")
    with open(token_file, "w") as f:
        f.write(TOKEN)
    return machine.Machine({"port": port, "token_file": token_file, "control": folder})


class SquattedPort(unittest.TestCase):
    def test_a_peer_without_the_token_gets_nothing(self):
        rows = [("forged proof", forged_answer),
                ("proof made with another token", answer_with_another_token),
                ("a ping's answer instead of a proof", replay_the_request_frame)]
        os.environ["TQ30_SIGN_PASSWORD"] = SECRET
        for name, answer in rows:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                listener = Listener(answer)
                held = held_machine(listener.port, folder)
                with self.assertRaises(machine.MachineError) as raised:
                    held.execute("/", ["/bin/false"])
                listener.close()
                self.assertIn(f"the program on the host's port {listener.port} is not the "
                              "emulated machine's agent", str(raised.exception))
                self.assertIn("nothing was sent to it", str(raised.exception))
                for kept in (TOKEN.encode(), SECRET.encode(), b"/bin/false", b"exec"):
                    self.assertNotIn(kept, listener.received)


class Agent(unittest.TestCase):
    def serve(self, token):
        """An agent on a loopback port for one connection, as the machine runs it."""
        server = socket.create_server(("127.0.0.1", 0))

        def one():
            sock, _ = server.accept()
            agent.handle(sock, token)
            server.close()

        threading.Thread(target=one, daemon=True).start()
        return server.getsockname()[1]

    def test_runs_nothing_for_a_caller_without_the_token(self):
        ran = []
        original = agent.serve_command
        agent.serve_command = lambda connection, request: ran.append(request)
        try:
            with tempfile.TemporaryDirectory() as folder:
                port = self.serve(b"another token")
                held = held_machine(port, folder)
                with self.assertRaises(machine.MachineError):
                    held.execute("/", ["/bin/true"])
        finally:
            agent.serve_command = original
        self.assertEqual(ran, [])

    def test_with_both_proofs_a_command_runs_with_only_its_variables(self):
        rows = [("the caller's secret stays out", "TQ30_SIGN_PASSWORD", SECRET, 0, ""),
                ("the installer's variables go in", "STANDIN_STAGES", "1", 0, "1"),
                ("so do Wine's", "WINEDEBUG", "-all", 0, "-all")]
        for name, variable, value, code, seen in rows:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                os.environ[variable] = value
                port = self.serve(TOKEN.encode())
                held = held_machine(port, folder)
                shown = os.path.join(folder, "shown")
                status = held.execute(folder, ["/bin/sh", "-c",
                                               f'printf %s "${variable}" >shown'])
                self.assertEqual(status, code)
                with open(shown) as f:
                    self.assertEqual(f.read(), seen)


if __name__ == "__main__":
    unittest.main(verbosity=2)
