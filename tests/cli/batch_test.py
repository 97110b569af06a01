#!/usr/bin/env python3
"""snpp-send --batch end to end: several pagers in one session against scripted loopback servers.

usage: batch_test.py SNPP_SEND SNPP_SANDBOX
Each server counts the connections it accepted and keeps every byte each one sent. Every wait is
bounded; a hung process fails the test instead of hanging it.
"""
import json
import math
import os
import socket
import sys
import tempfile
import threading
import unittest

import cli_test
from cli_test import send


class BatchServer:
    """Greets every connection, then answers each line with `answer(conn, word, line)`: a reply
    (bytes), or None to close the connection. DATA bodies are taken up to their "." line."""

    def __init__(self, answer=None):
        self.answer = answer or (lambda conn, word, line: None)
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self.sessions = []  # the bytes each connection sent, in the order accepted
        self.lock = threading.Lock()
        self.serving = []  # a thread per connection
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            with self.lock:
                index = len(self.sessions)
                self.sessions.append(b"")
                serving = threading.Thread(target=self._serve, args=(c, index), daemon=True)
                self.serving.append(serving)
            serving.start()

    def _serve(self, c, index):
        with c:
            c.settimeout(30)
            try:
                c.sendall(b"220 batch test ready\r\n")
                buf, in_body = b"", False
                while True:
                    data = c.recv(65536)
                    if not data:
                        return
                    with self.lock:
                        self.sessions[index] += data
                    buf += data
                    while b"\n" in buf:
                        line, buf = buf.split(b"\n", 1)
                        line = line.rstrip(b"\r")
                        if in_body:
                            if line == b".":
                                in_body = False
                                c.sendall(b"250 Message OK\r\n")
                            continue
                        word = line.split(b" ", 1)[0].upper()
                        reply = self.reply(index, word, line)
                        if reply is None:
                            return
                        c.sendall(reply)
                        if word == b"DATA":
                            in_body = True
                        if word == b"QUIT":
                            return
            except OSError:
                return

    def reply(self, index, word, line):
        custom = self.answer(index, word, line)
        if custom is not None:
            return custom if custom != b"close" else None
        return {b"DATA": b"354 Begin Input; End with <CRLF>'.'<CRLF>\r\n",
                b"QUIT": b"221 OK, Goodbye\r\n"}.get(word, b"250 OK\r\n")

    def pages(self, index):
        """The pager ids connection `index` named in PAGE, in order."""
        return [l.split(b" ", 1)[1].decode() for l in self.sessions[index].split(b"\r\n")
                if l.startswith(b"PAGE ")]

    def close(self):
        """Stops accepting and waits (bounded) until every connection has been read to its end:
        the client may exit right after writing QUIT, before this side has read it."""
        self.sock.close()
        with self.lock:
            serving = list(self.serving)
        for t in serving:
            t.join(timeout=20)
            if t.is_alive():
                raise AssertionError("a connection was still open 20 s after the client ended")


def ids(n, base=5550000):
    return [str(base + i) for i in range(n)]


def pager_args(pagers):
    return [a for p in pagers for a in ("--pager", p)]


def by_pager(r):
    out = json.loads(r.stdout)
    return {x["pager"]: x for x in out["recipients"]}


class BatchTest(unittest.TestCase):
    def run_batch(self, server, pagers, *args, env=None):
        text = [] if "--message" in args or "--data-file" in args else ["--message", "disk full"]
        return send(server.port, "--retry-backoff", "0", "--json", *pager_args(pagers), *text,
                    *args, env=env)

    def test_a_batch_of_three_with_every_level_2_option_is_byte_exact(self):
        server = BatchServer()
        with tempfile.NamedTemporaryFile("w", delete=False) as body:
            body.write("db1: disk /var at 97%\n.\nAcknowledge.\n")
        try:
            r = self.run_batch(server, ["5551", "5552", "5553"], "--level", "2", "--batch", "3",
                               "--login", "alice", "--coverage", "2", "--service-level", "3",
                               "--hold", "370101120000", "--alert", "--caller", "ops",
                               "--subject", "Disk alert", "--data-file", body.name,
                               env={"SNPP_PASSWORD": "s3cret"})
        finally:
            os.unlink(body.name)
            server.close()
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        per_pager = b"".join(b"COVE 2\r\nLEVE 3\r\nHOLD 370101120000\r\nALER 1\r\nPAGE %s\r\n" % p
                             for p in (b"5551", b"5552", b"5553"))
        self.assertEqual(server.sessions, [
            b"LOGI alice s3cret\r\n" + per_pager + b"CALL ops\r\nSUBJ Disk alert\r\nDATA\r\n"
            b"db1: disk /var at 97%\r\n..\r\nAcknowledge.\r\n.\r\nSEND\r\nQUIT\r\n"])
        self.assertNotIn("s3cret", r.stdout + r.stderr)

    def test_a_gateway_that_takes_one_page_a_session_loses_no_pager(self):
        # 552 to every PAGE after the first of a session (a gateway capped at one recipient),
        # and one that closes the connection at a second PAGE. With --retries 0 a pager whose
        # attempt were counted would fail: none may.
        def capped(conn, word, line):
            if word == b"PAGE":
                seen = server.sessions[conn].count(b"PAGE ")
                return b"552 Max Recipients Exceeded\r\n" if seen > 1 else None
            return None

        def closes(conn, word, line):
            if word == b"PAGE" and server.sessions[conn].count(b"PAGE ") > 1:
                return b"close"
            return None

        for answer, pagers in ((capped, ids(5)), (closes, ids(3))):
            with self.subTest(answer.__name__):
                server = BatchServer(answer)
                try:
                    r = self.run_batch(server, pagers, "--batch", "5", "--retries", "0")
                finally:
                    server.close()
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                results = by_pager(r)
                self.assertEqual({p: (x["outcome"], x["attempts"]) for p, x in results.items()},
                                 {p: ("delivered", 1) for p in pagers})
                self.assertEqual(r.stderr.count("did not take another PAGE in a session"), 1,
                                 r.stderr)
                # The first session, then one a session for the pagers that went again.
                again = len(pagers) - 1 if answer is capped else len(pagers)
                self.assertEqual(len(server.sessions), 1 + again)
                self.assertTrue(all(len(server.pages(i)) == 1
                                    for i in range(1, len(server.sessions))))
                # Each pager paged once in a session that went on to SEND.
                sent = [p for i in range(len(server.sessions))
                        if b"SEND\r\n" in server.sessions[i]
                        for p in server.pages(i)[:1]]
                self.assertEqual(sorted(sent), sorted(pagers))

    def test_pagers_refused_at_page_are_refused_alone_and_the_rest_go_out(self):
        pagers = ids(6)
        refused = {pagers[1], pagers[4]}

        def refuse(conn, word, line):
            if word == b"PAGE" and line.split(b" ", 1)[1].decode() in refused:
                return b"550 Error, Invalid Pager ID\r\n"
            return None

        server = BatchServer(refuse)
        try:
            r = self.run_batch(server, pagers, "--batch", "3")
        finally:
            server.close()
        self.assertEqual(r.returncode, 4, r.stdout + r.stderr)
        results = by_pager(r)
        for p in pagers:
            self.assertEqual(results[p]["outcome"], "refused" if p in refused else "delivered")
        self.assertIn("550 Error, Invalid Pager ID", results[pagers[1]]["error"])
        self.assertEqual(len(server.sessions), math.ceil(len(pagers) / 3))
        self.assertNotIn("did not take another PAGE", r.stderr)

        # None accepted: no message and no SEND, a QUIT; exit 1.
        server = BatchServer(lambda conn, word, line:
                             b"550 Error, Invalid Pager ID\r\n" if word == b"PAGE" else None)
        try:
            r = self.run_batch(server, pagers[:3], "--batch", "3")
        finally:
            server.close()
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertEqual({x["outcome"] for x in by_pager(r).values()}, {"refused"})
        self.assertEqual(server.sessions,
                         [b"".join(b"PAGE %s\r\n" % p.encode() for p in pagers[:3]) +
                          b"QUIT\r\n"])

    def test_a_connection_lost_after_send_leaves_every_accepted_pager_uncertain(self):
        pagers = ids(4)

        def drop(conn, word, line):
            if word == b"PAGE" and line.endswith(pagers[2].encode()):
                return b"550 Error, Invalid Pager ID\r\n"
            return b"close" if word == b"SEND" else None

        server = BatchServer(drop)
        try:
            r = self.run_batch(server, pagers, "--batch", "4")
        finally:
            server.close()
        self.assertEqual(r.returncode, 4, r.stdout + r.stderr)
        results = by_pager(r)
        self.assertEqual({p: x["outcome"] for p, x in results.items()},
                         {pagers[0]: "uncertain", pagers[1]: "uncertain", pagers[2]: "refused",
                          pagers[3]: "uncertain"})
        self.assertEqual(len(server.sessions), 1)  # not resent

    def test_connections_are_at_most_one_per_batch_and_parts_go_as_batches(self):
        for n, batch in ((60, 25), (7, 1)):
            with self.subTest(n=n, batch=batch):
                server = BatchServer()
                try:
                    r = self.run_batch(server, ids(n), "--batch", str(batch),
                                       "--concurrency", "4", "--message", "x")
                finally:
                    server.close()
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertEqual(len(server.sessions), math.ceil(n / batch))
                self.assertEqual(sorted(p for i in range(len(server.sessions))
                                        for p in server.pages(i)), sorted(ids(n)))

        # Three parts: part k goes, in one session, to the pagers that took part k-1.
        pagers = ids(4)
        server = BatchServer(lambda conn, word, line:
                             b"550 Error, Invalid Pager ID\r\n"
                             if word == b"PAGE" and line.endswith(pagers[1].encode()) else None)
        try:
            r = self.run_batch(server, pagers, "--batch", "4", "--max-length", "20", "--split",
                               "--message", "db1 disk full on /var at 97 percent")
        finally:
            server.close()
        self.assertEqual(r.returncode, 4, r.stdout + r.stderr)
        took = [pagers[0], pagers[2], pagers[3]]
        self.assertEqual([server.pages(i) for i in range(len(server.sessions))],
                         [pagers, took, took])
        for k in (1, 2, 3):
            self.assertEqual(server.sessions[k - 1].count(b"MESS (%d/3)" % k), 1)
        self.assertEqual({p: x.get("partsDelivered") for p, x in by_pager(r).items()},
                         {pagers[0]: 3, pagers[1]: 0, pagers[2]: 3, pagers[3]: 3})

    def test_batch_out_of_range_is_bad_usage(self):
        server = BatchServer()
        try:
            for value in ("0", "-1", "1001", "nan", "inf", "2.5", "99999999999999999999"):
                r = send(server.port, "--pager", "1", "--message", "x", "--batch", value)
                self.assertEqual(r.returncode, 2, (value, r.stdout, r.stderr))
            self.assertEqual(server.sessions, [])
        finally:
            server.close()
        help_text = send(server.port, "--help").stdout
        self.assertIn("--batch", help_text)


if __name__ == "__main__":
    cli_test.SEND, cli_test.SANDBOX = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
