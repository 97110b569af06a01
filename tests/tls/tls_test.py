#!/usr/bin/env python3
"""TLS end to end: snpp-send against snpp-sandbox serving TLS, with certificates of a test CA
made for this run (make_certs.sh), and against plain servers.

usage: tls_test.py SNPP_SEND SNPP_SANDBOX MAKE_CERTS
Every wait is bounded; a hung process fails the test instead of hanging it.
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SEND = SANDBOX = MAKE_CERTS = None
CERTS = None
PASSWORD = "s3cret-pw"


class Sandbox:
    def __init__(self, *args):
        self.dir = tempfile.TemporaryDirectory()
        self.log = os.path.join(self.dir.name, "pages.jsonl")
        self.proc = subprocess.Popen([SANDBOX, "--port", "0", "--log", self.log, *args],
                                     stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("READY"):
            self.proc.kill()
            raise RuntimeError("sandbox did not start: %r" % line)
        self.port = int(line.split()[-1].rsplit(":", 1)[1])

    def pages(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [json.loads(l) for l in f if l.strip()]

    def close(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.dir.cleanup()


def tls_sandbox(cert, *args):
    return Sandbox("--tls-cert", os.path.join(CERTS, cert + ".pem"),
                   "--tls-key", os.path.join(CERTS, cert + ".key"), *args)


def send(port, *args):
    """One attempt per run (--retries 0): PlainCapture serves a single connection, and a
    handshake that failed once fails the same way again."""
    env = dict(os.environ, SNPP_PASSWORD=PASSWORD)
    return subprocess.run([SEND, "--port", str(port), "--level", "2", "--login", "alice",
                           "--retries", "0", "--pager", "5551234", "--message", "disk full",
                           *args],
                          capture_output=True, text=True, env=env, timeout=60)


def ca(*args):
    return ["--tls", "--ca-file", os.path.join(CERTS, "ca.pem"), *args]


class PlainCapture:
    """A plain SNPP server that greets at once and keeps every byte it receives."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen()
        self.port = self.sock.getsockname()[1]
        self.received = b""
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        conn, _ = self.sock.accept()
        conn.settimeout(10)
        conn.sendall(b"220 plain SNPP here\r\n")
        try:
            while True:
                data = conn.recv(4096)
                if not data:
                    break
                self.received += data
                if b"\r\n" in data:  # a command line: answer it as a real server would
                    conn.sendall(b"250 OK\r\n")
        except OSError:
            pass
        conn.close()

    def close(self):
        self.thread.join(timeout=10)
        self.sock.close()


class TlsToSandbox(unittest.TestCase):
    def test_level_two_page_with_login_verified_against_the_test_ca(self):
        box = tls_sandbox("server", "--login", "alice:" + PASSWORD)
        try:
            for server in ("127.0.0.1", "localhost"):
                r = send(box.port, "--server", server, *ca())
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertEqual(r.stdout, "delivered: 250 Message Sent Successfully\n")
                self.assertEqual(r.stderr, "")
            pages = box.pages()
            self.assertEqual([p["login"] for p in pages], ["alice", "alice"])
            self.assertEqual(pages[0]["message"], "disk full")
        finally:
            box.close()

    def test_refused_certificates_send_nothing(self):
        cases = [
            ("self", [], 10008, "The certificate of 127.0.0.1 is not trusted: self-signed "
             "certificate; trust the CA that issued it, or check that 127.0.0.1 is the right "
             "server. Give that CA with --ca-file (or --ca-path)."),
            ("other", ca(), 10009, "The certificate of 127.0.0.1 is for another name "
             "(DNS:other.example.net); connect by a name the certificate holds, or check that "
             "127.0.0.1 is the right server."),
            ("expired", ca(), 10010, "The certificate of 127.0.0.1 has expired (valid until "
             "Jan  1 00:00:00 2020 GMT); the gateway's operator must renew it"),
        ]
        for cert, options, number, text in cases:
            with self.subTest(cert=cert):
                box = tls_sandbox(cert)
                try:
                    r = send(box.port, "--json", *(options or ["--tls"]))
                    self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                    out = json.loads(r.stdout)
                    self.assertEqual(out["errorNumber"], number)
                    self.assertTrue(out["error"].startswith(text), out["error"])
                    self.assertEqual(box.pages(), [])
                finally:
                    box.close()

    def test_a_failed_certificate_is_not_retried_at_that_gateway(self):
        box = tls_sandbox("self")
        try:
            start = time.monotonic()
            r = subprocess.run([SEND, "--port", str(box.port), "--message", "x", "--retries", "5",
                                "--retry-backoff", "0.05", "--json", *ca(), "--pager", "1",
                                "--pager", "2", "--pager", "3"],
                               capture_output=True, text=True, timeout=60)
            took = time.monotonic() - start
        finally:
            box.close()
        # One handshake per pager in flight, none repeated: every pager fails at once.
        out = json.loads(r.stdout)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertTrue(all(x["attempts"] <= 1 and "is not trusted" in x["error"]
                            for x in out["recipients"]), out)
        self.assertLess(took, 5)

    def test_insecure_switch_pages_and_says_so_every_run(self):
        box = tls_sandbox("self")
        try:
            for _ in range(2):
                r = send(box.port, "--tls", "--tls-insecure")
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertIn("--tls-insecure: the server's certificate is not checked", r.stderr)
        finally:
            box.close()

    def test_plain_client_at_a_tls_port_is_told_it_may_speak_tls(self):
        box = tls_sandbox("server")
        try:
            r = send(box.port, "--timeout", "1")
            self.assertEqual(r.returncode, 3, r.stdout + r.stderr)
            self.assertIn("a TLS port waits for the client to speak first: if this is one, add "
                          "--tls.", r.stdout)
        finally:
            box.close()


class TlsToPlainServer(unittest.TestCase):
    def test_fails_at_once_and_the_password_never_leaves(self):
        server = PlainCapture()
        start = time.monotonic()
        r = send(server.port, *ca())
        took = time.monotonic() - start
        server.close()
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("did not answer TLS (wrong version number); is it a plain SNPP port?",
                      r.stdout)
        self.assertLess(took, 5)
        self.assertTrue(server.received.startswith(b"\x16\x03"), server.received[:16])
        self.assertNotIn(PASSWORD.encode(), server.received)
        self.assertNotIn(b"LOGI", server.received)


class Usage(unittest.TestCase):
    def test_bad_tls_options_are_bad_input(self):
        ca_file = os.path.join(CERTS, "ca.pem")
        cases = [
            (["--tls", "--ca-file", "/nonexistent/ca.pem"],
             "cannot read the CA file (--ca-file) '/nonexistent/ca.pem': No such file"),
            (["--tls", "--ca-file", CERTS], "the CA file (--ca-file) '%s' is a directory" % CERTS),
            (["--tls", "--ca-file", "/dev/zero"], "is a character device"),
            (["--tls", "--ca-path", "/nonexistent"],
             "cannot use the CA directory (--ca-path) '/nonexistent': No such file"),
            (["--tls", "--ca-path", ca_file],
             "the CA directory (--ca-path) '%s' is not a directory" % ca_file),
            (["--ca-file", "x.pem"], "--ca-file requires --tls"),
            (ca("--tls-cert", os.path.join(CERTS, "client.pem"), "--tls-key",
                os.path.join(CERTS, "server.key")), "does not belong to the certificate"),
        ]
        for options, text in cases:
            with self.subTest(options=options):
                r = send(1, *options)
                self.assertEqual(r.returncode, 2, r.stdout + r.stderr)
                self.assertIn(text, r.stderr)

    def test_a_client_key_others_can_read_is_warned_about(self):
        with tempfile.TemporaryDirectory() as folder:
            key = os.path.join(folder, "client.key")
            with open(os.path.join(CERTS, "client.key"), "rb") as src, open(key, "wb") as dst:
                dst.write(src.read())
            for mode, warned in ((0o600, False), (0o644, True)):
                os.chmod(key, mode)
                r = send(1, *ca("--tls-cert", os.path.join(CERTS, "client.pem"), "--tls-key",
                                key, "--dry-run"))
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual("can be read by others (mode 0644)" in r.stderr, warned,
                                 r.stderr)


if __name__ == "__main__":
    SEND, SANDBOX, MAKE_CERTS = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as certs:
        CERTS = certs
        subprocess.run(["sh", MAKE_CERTS, CERTS], check=True, capture_output=True)
        unittest.main(argv=[sys.argv[0], "-v"])
