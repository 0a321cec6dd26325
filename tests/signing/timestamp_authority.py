"""A timestamp authority (RFC 3161) on the loopback, for tests only: `openssl ts -reply`
behind an HTTP server on 127.0.0.1, at a port the system picks.
    timestamp_authority.py CA_DIR MODE
CA_DIR is one tests/signing/make_test_ca.sh made: the authority signs with its tsa.key and
tsa.pem. MODE is `answer`; `refuse`, which answers every request with HTTP 503; or `junk`,
which answers with bytes that are no timestamp. Prints its URL on its first line, then
serves until its standard input ends: the test holds that pipe, so the authority stops
with the test however the test ends.
"""
import http.server
import os
import subprocess
import sys
import tempfile
import threading

LARGEST_REQUEST = 64 * 1024  # a request holds a digest and a few fields
CONFIG = """\
[ tsa ]
default_tsa = authority
[ authority ]
serial = {work}/serial
crypto_device = builtin
signer_cert = {ca}/tsa.pem
certs = {ca}/ca.pem
signer_key = {ca}/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_alg = sha256
"""


def make_handler(mode, work):
    config = os.path.join(work, "ts.cnf")

    class Authority(http.server.BaseHTTPRequestHandler):
        def do_POST(self):  # noqa: N802 (the name http.server calls)
            length = int(self.headers.get("Content-Length") or 0)
            if not 0 < length <= LARGEST_REQUEST:
                self.send_error(400)
                return
            request = self.rfile.read(length)
            if mode == "refuse":
                self.send_error(503)
                return
            if mode == "junk":
                self.answer(b"this is no timestamp reply\n" * 4)
                return
            query = os.path.join(work, "query.tsq")
            reply = os.path.join(work, "reply.tsr")
            with open(query, "wb") as f:
                f.write(request)
            done = subprocess.run(["openssl", "ts", "-reply", "-config", config,
                                   "-queryfile", query, "-out", reply],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                  check=False)
            if done.returncode != 0:
                sys.stderr.write(done.stderr.decode(errors="replace"))
                self.send_error(500)
                return
            with open(reply, "rb") as f:
                self.answer(f.read())

        def handle(self):
            # A signer that gives up on a refusal closes the connection before reading it.
            try:
                super().handle()
            except (BrokenPipeError, ConnectionResetError):
                pass

        def answer(self, body):
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    return Authority


def main(argv):
    if len(argv) != 2 or argv[1] not in ("answer", "refuse", "junk"):
        sys.exit(__doc__)
    ca = os.path.abspath(argv[0])
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "serial"), "w", encoding="ascii") as f:
            f.write("01\n")
        with open(os.path.join(work, "ts.cnf"), "w", encoding="utf-8") as f:
            f.write(CONFIG.format(work=work, ca=ca))
        server = http.server.HTTPServer(("127.0.0.1", 0), make_handler(argv[1], work))
        print(f"http://127.0.0.1:{server.server_address[1]}", flush=True)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        sys.stdin.buffer.read()  # until the test closes the pipe, or ends
        server.shutdown()
        server.server_close()


if __name__ == "__main__":
    main(sys.argv[1:])
