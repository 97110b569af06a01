#!/usr/bin/env python3
"""snpp-send against hostile servers and careless input: no false success, no double page, no
lockout, no hang, and words that say what happened. One class per family of faults.

usage: send_robustness_test.py SNPP_SEND SNPP_SANDBOX
The real snpp-send over loopback, against scripted servers on free ports; every wait is bounded.
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

import cli_test
from cli_test import Sandbox, send


class Gateway:
    """A scripted SNPP server on a free loopback port, one thread per connection.

    greeting: bytes sent on connect (None: never greet; a callable: called with the socket).
    replies:  command word -> bytes, or a callable(line) -> bytes or None (None: say nothing).
              Words not listed get "250 ok"; QUIT gets "221 bye" and the connection ends.
    """

    def __init__(self, greeting=b"220 ready\r\n", replies=None):
        self.greeting, self.replies = greeting, dict(replies or {})
        self.lines, self.connections = [], 0
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(128)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.where = "127.0.0.1:%d" % self.port
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stop.is_set():
            try:
                c, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.connections += 1
            threading.Thread(target=self._serve, args=(c,), daemon=True).start()

    def _serve(self, c):
        with c:
            c.settimeout(0.2)
            try:
                if callable(self.greeting):
                    self.greeting(c, self.stop)
                elif self.greeting is not None:
                    c.sendall(self.greeting)
                buf = b""
                while not self.stop.is_set():
                    try:
                        data = c.recv(65536)
                    except socket.timeout:
                        continue
                    if not data:
                        return
                    buf += data
                    while b"\n" in buf:
                        line, buf = buf.split(b"\n", 1)
                        line = line.rstrip(b"\r")
                        with self.lock:
                            self.lines.append(line)
                        word = line.split(b" ", 1)[0].upper()
                        reply = self.replies.get(word, b"221 bye\r\n" if word == b"QUIT"
                                                 else b"250 ok\r\n")
                        if callable(reply):
                            reply = reply(line)
                        if reply:
                            c.sendall(reply)
                        if word == b"QUIT" and word not in self.replies:
                            return
            except OSError:
                return

    def said(self, word):
        """The lines the client sent that start with `word`."""
        with self.lock:
            return [l for l in self.lines if l.split(b" ", 1)[0].upper() == word]

    def close(self):
        self.stop.set()
        self.sock.close()


def run(*args, env=None, stdin=None, timeout=60):
    """snpp-send with the given arguments (no --port added); returns (result, seconds)."""
    full_env = dict(os.environ)
    full_env.pop("SNPP_PASSWORD", None)
    full_env.update(env or {})
    started = time.monotonic()
    r = subprocess.run([cli_test.SEND, *args], capture_output=True, text=True, env=full_env,
                       input=stdin, timeout=timeout)
    return r, time.monotonic() - started


def pagers(*ids):
    return [a for i in ids for a in ("--pager", i)]


class WrongSuccessDoublePageWrongPager(unittest.TestCase):
    """A: a page reported delivered when it was not, paged twice, or to the wrong pager."""

    def gateway(self, **kw):
        g = Gateway(**kw)
        self.addCleanup(g.close)
        return g

    def test_continued_replies_are_one_reply_each(self):
        # PAGE answered by a continued reply, SEND refused: never "delivered".
        g = self.gateway(replies={b"PAGE": b"250-Pager ID Accepted\r\n250 Pager 5 is on duty\r\n",
                                  b"SEND": b"554 Error, failed\r\n"})
        r, _ = run("--server", g.where, "--pager", "5", "--message", "x")
        self.assertEqual((r.returncode, r.stdout), (1, "failed: 554 Error, failed\n"), r.stderr)
        self.assertEqual(len(g.said(b"SEND")), 1)
        # A continued greeting, and a continued reply to SEND, shown as one line.
        g = self.gateway(greeting=b"220-Welcome\r\n220 Ready\r\n",
                         replies={b"SEND": b"250-Message queued\r\n250 id 7\r\n"})
        r, _ = run("--server", g.where, "--pager", "5", "--message", "x", "--json")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(json.loads(r.stdout)["reply"], "250-Message queued / 250 id 7")

    def test_replies_before_their_command_are_never_an_outcome(self):
        # 220 and ten 250s at once: never "delivered", SEND never written, tried again as a
        # passing fault of the gateway.
        g = self.gateway(greeting=b"220 hi\r\n" + b"250 ok\r\n" * 10)
        r, _ = run("--server", g.where, "--pager", "5", "--message", "x", "--retries", "1",
                   "--retry-backoff", "0.05")
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("before our PAGE was written, so it cannot be the reply to it", r.stdout)
        self.assertEqual((g.connections, g.said(b"PAGE"), g.said(b"SEND")), (2, [], []))


if __name__ == "__main__":
    cli_test.SEND, cli_test.SANDBOX = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
