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
from cli_test import Sandbox


class Gateway:
    """A scripted SNPP server on a free port, a thread per connection. `greeting`: bytes, None
    (never greets) or a callable(conn, stop). `replies`: command word -> bytes, None (silence)
    or a callable(line); others get "250 ok", QUIT "221 bye" and the end."""

    def __init__(self, test, greeting=b"220 ready\r\n", replies=None):
        self.greeting, self.replies, self.lines, self.connections = greeting, replies or {}, [], 0
        self.stop, self.sock = threading.Event(), socket.create_server(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.where = "127.0.0.1:%d" % self.sock.getsockname()[1]
        test.addCleanup(lambda: (self.stop.set(), self.sock.close()))
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stop.is_set():
            try:
                conn = self.sock.accept()[0]
                self.connections += 1
                threading.Thread(target=self._serve, args=(conn,), daemon=True).start()
            except socket.timeout:
                continue
            except OSError:
                return

    def _serve(self, conn):
        with conn:
            conn.settimeout(10)
            try:
                if callable(self.greeting):
                    self.greeting(conn, self.stop)
                elif self.greeting is not None:
                    conn.sendall(self.greeting)
                for line in conn.makefile("rb"):
                    self.lines.append(line.rstrip(b"\r\n"))
                    word = line.split(b" ", 1)[0].strip().upper()
                    reply = self.replies.get(word, b"221 bye\r\n" if word == b"QUIT" else b"250 ok\r\n")
                    reply = reply(line) if callable(reply) else reply
                    if reply:
                        conn.sendall(reply)
                    if word == b"QUIT" and reply:
                        return
            except OSError:
                return

    def said(self, word):
        return [l for l in self.lines if l.split(b" ", 1)[0].upper() == word]


def run(*args, env=None):
    """snpp-send with the given arguments; returns (result, seconds)."""
    full_env = {k: v for k, v in os.environ.items() if k != "SNPP_PASSWORD"}
    full_env.update(env or {})
    started = time.monotonic()
    r = subprocess.run([cli_test.SEND, *args], capture_output=True, text=True, env=full_env,
                       timeout=60)
    return r, time.monotonic() - started


def pagers(*ids):
    return [a for i in ids for a in ("--pager", i)]


def write(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


class TestCase(unittest.TestCase):
    def folder(self):
        d = tempfile.TemporaryDirectory()
        self.addCleanup(d.cleanup)
        return d.name

    def refused(self, cases, gateway):
        """Each (args, env, text): exit 2 with the text on stderr; nothing reaches `gateway`."""
        for args, env, says in cases:
            with self.subTest(args=args):
                r, took = run("--server", gateway.where, *args, env=env)
                self.assertEqual(r.returncode, 2, r.stdout + r.stderr)
                self.assertIn(says, r.stderr)
                self.assertNotIn("\x1b", r.stderr, "shown escaped, never raw")
                self.assertLess(took, 5)
        self.assertEqual(gateway.connections, 0, "nothing may be sent")


class WrongSuccessDoublePageWrongPager(TestCase):
    """A: a page reported delivered when it was not, paged twice, or to the wrong pager."""

    def test_replies_are_whole_and_in_turn(self):
        # A continued reply to PAGE, then SEND refused: never "delivered".
        g = Gateway(self, replies={b"PAGE": b"250-Pager ID Accepted\r\n250 Pager 5 is on duty\r\n",
                                   b"SEND": b"554 Error, failed\r\n"})
        r, _ = run("--server", g.where, "--pager", "5", "--message", "x")
        self.assertEqual((r.returncode, r.stdout), (1, "failed: 554 Error, failed\n"), r.stderr)
        g = Gateway(self, greeting=b"220-Welcome\r\n220 Ready\r\n",
                    replies={b"SEND": b"250-Message queued\r\n250 id 7\r\n"})
        r, _ = run("--server", g.where, "--pager", "5", "--message", "x", "--json")
        self.assertEqual(json.loads(r.stdout)["reply"], "250-Message queued / 250 id 7")
        # 220 and ten 250s at once: the 250s answer nothing; PAGE and SEND never go out.
        g = Gateway(self, greeting=b"220 hi\r\n" + b"250 ok\r\n" * 10)
        r, _ = run("--server", g.where, "--pager", "5", "--message", "x", "--retries", "1",
                   "--retry-backoff", "0.05")
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("before our PAGE was written, so it cannot be the reply to it", r.stdout)
        self.assertEqual((g.connections, g.said(b"PAGE"), g.said(b"SEND")), (2, [], []))

    def test_each_distinct_pager_once_and_nothing_sent_twice_unseen(self):
        sb = Sandbox()
        self.addCleanup(sb.close)
        ids = write(self.folder(), "ids", b"111\n  111  \n222\n")
        r, _ = run("--server", "127.0.0.1:%d" % sb.port, "--pagers-file", ids,
                   *pagers("111", "111"), "--message", "x")
        self.assertEqual([l.split()[1] for l in r.stdout.splitlines()], ["111", "222"], r.stderr)
        self.assertIn("pager 111 (4 times) was listed more than once; each is paged once", r.stderr)
        self.assertEqual(sorted(x["id"] for p in sb.pages(1) for x in p["pagers"]),
                         ["111", "222"])
        # SEND never answered: uncertain wins over timed out (exit 4, never 3).
        g = Gateway(self, replies={b"SEND": None})
        for args in (["--json"], []):
            r, took = run("--server", g.where, "--pager", "5", "--message", "x", "--deadline",
                          "1", *args)
            self.assertEqual(r.returncode, 4, r.stdout)
            self.assertLess(took, 5)
        self.assertTrue(r.stdout.startswith("uncertain: the 1 s deadline passed after SEND"))
        # A split page whose second part is refused: partial, never "failed" (exit 4).
        g = Gateway(self, replies={b"SEND": lambda line: b"554 Error, failed\r\n"
                                   if len(g.said(b"SEND")) > 1 else b"250 sent\r\n"})
        r, _ = run("--server", g.where, "--pager", "5", "--max-length", "24", "--split",
                   "--message", "the primary database is down and the replica lags", "--json")
        out, rec = json.loads(r.stdout), json.loads(r.stdout)["recipients"][0]
        self.assertEqual((r.returncode, out["outcome"], rec["outcome"], rec["partsDelivered"]),
                         (4, "partial", "partial", 1), r.stdout)
        self.assertTrue(out["error"].startswith("1 of %d parts delivered; part 2 refused: 554 "
                                                % rec["partsTotal"]), out["error"])

    def test_input_that_is_no_file_or_no_value_sends_nothing(self):
        folder = self.folder()
        self.refused([
            (["--pager", "5", "--data-file", folder], None, "'%s' is a directory" % folder),
            (["--pager", "5", "--data-file", "/dev/zero"], None, "is a character device"),
            (["--pager=", "--service-level", "7", "--message", "x"], None, "--pager needs a value"),
            (["--pager", "5", "--message=", "--alert"], None, "--message needs a value"),
            (["--server=", "--pager", "5", "--message", "x"], None, "--server needs a value"),
            (["--pager", "5", "--message", "--alert"], None, "--alert is an option, not a value"),
            (["--pager", "", "--message", "x"], None, "--pager needs a value"),
        ], Gateway(self))


class HangsDeadlineFailoverLockout(TestCase):
    """B: a gateway that starves the others, a lockout, retries that cannot help, a deadline
    that overflows, and input read without bound or past the deadline."""

    def test_a_failing_gateway_never_starves_or_locks_out(self):
        mute, sb = Gateway(self, greeting=None), Sandbox()
        self.addCleanup(sb.close)
        ids = write(self.folder(), "ids", b"".join(b"%d\n" % (5550000 + i) for i in range(100)))
        r, took = run("--server", mute.where, "--server", "127.0.0.1:%d" % sb.port,
                      "--pagers-file", ids, "--concurrency", "8", "--batch", "1", "--timeout", "2",
                      "--message", "x")
        self.assertEqual((r.returncode, r.stdout.count("delivered ")), (0, 100), r.stderr)
        self.assertLess(took, 2 + 10, "within --timeout and a few seconds (was 60 s)")
        self.assertEqual(mute.connections, 8, "then held off")
        # A refused login: one LOGI at each gateway, and every pager refused at once.
        gws = [Gateway(self, replies={b"LOGI": b"550 Error, Invalid Login\r\n"}) for _ in "ab"]
        r, _ = run("--server", gws[0].where, "--server", gws[1].where,
                   *pagers(*map(str, range(20))), "--login", "ops", "--message", "x",
                   env={"SNPP_PASSWORD": "s3cret"})
        self.assertEqual(r.stdout.count("the login was refused by every gateway"), 20, r.stdout)
        self.assertEqual([len(g.said(b"LOGI")) for g in gws], [1, 1])
        self.assertNotIn("s3cret", r.stdout + r.stderr)

    def test_numbers_and_input_are_bounded(self):
        folder, g = self.folder(), Gateway(self)
        big = write(folder, "big", b"")
        os.truncate(big, 100 << 20)  # sparse: refused by its size, never read
        cases = [(["--pager", "1", "--message", "x", option + "=" + value], None,
                  option + ": must be a number of seconds")
                 for option, values in (("--deadline", ("1e10", "9e15", "nan", "inf", "0", "-1")),
                                        ("--retry-backoff", ("nan", "3600")))
                 for value in values]
        cases += [(["--pager", "5", "--message", "x", *args], None, "is larger than 1 MiB")
                  for args in (["--pagers-file", big], ["--settings", big],
                               ["--tls", "--ca-file", big])]
        cases.append((["--pager", "5", "--data-file", big], None, "is larger than 1 MiB"))
        self.refused(cases, g)
        # A body from a pipe that never ends is given up at the deadline.
        p = subprocess.Popen([cli_test.SEND, "--server", g.where, "--pager", "5", "--data-file",
                              "-", "--deadline", "1"], stdin=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(lambda: (p.stdin.close(), p.stderr.close()))
        p.wait(timeout=20)
        self.assertEqual(p.returncode, 2)
        self.assertIn(b"(standard input) did not end before the deadline", p.stderr.read())
        # A server that hangs at QUIT after 250: the run ends at the deadline, not 2 s later.
        hang = Gateway(self, replies={b"QUIT": None})
        r, took = run("--server", hang.where, "--pager", "5", "--message", "x", "--deadline",
                      "0.5")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertLess(took, 1.9, "was 2.0 s and more")


class CredentialsAndBytes(TestCase):
    """C: credentials dropped without a word, and control bytes that reach the server."""

    def test_nothing_is_dropped_or_sent_that_should_not_be(self):
        folder, g = self.folder(), Gateway(self)
        pw = {"SNPP_PASSWORD": "s3cret"}
        cases = [
            (["--level", "1", "--login", "ops", "--pager", "5", "--message", "x"], pw,
             "--login (LOGI), a password (LOGI) needs SNPP level 2 or more"),
            (["--level", "1", "--subject", "S", "--pager", "5", "--message", "x"], None,
             "--subject (SUBJ) needs SNPP level 2 or more"),
            (["--login", "o", "--password-file", folder, "--pager", "5", "--message", "x"], None,
             "the password file '%s' is a directory" % folder),
        ]
        for n, byte in enumerate((b"\x1b[31m", b"\x07", b"\x7f", b"\x0b")):
            path = write(folder, "ids%d" % n, b"# on call\n5550001\n11" + byte + b"1\n")
            cases.append((["--pagers-file", path, "--message", "x"], None,
                          "'%s' line 3: the pager id \"11\\x%02x" % (path, byte[0])))
        for byte in b"\x00\x1b\x08":
            path = write(folder, "body%d" % byte, b"line one\r\nline two %c\n" % byte)
            cases.append((["--pager", "5", "--data-file", path], None,
                          "'%s' line 2 holds a control character (\\x%02x)" % (path, byte)))
        self.refused(cases, g)


class WordsThatSayWhatHappened(TestCase):
    """D: every text says what happened, and where."""

    def test_failures_name_each_gateway_and_what_it_did(self):
        refused, mute = "127.0.0.1:%d" % cli_test.free_port(), Gateway(self, greeting=None)
        r, _ = run("--server", refused, "--server", mute.where, "--pager", "5", "--message",
                   "x", "--timeout", "1", "--retries", "1", "--retry-backoff", "0.05")
        self.assertRegex(r.stdout, r"^failed: %s: Could not connect .*?; %s: Connect Server Time "
                                   r"out! No greeting from %s within 1 s: the connection came up, "
                                   r"but the server sent nothing\..*is running\. The server accepted .* add --tls\.$" %
                         (refused, mute.where, mute.where))
        r, _ = run("--server", mute.where, *pagers("1", "2"), "--message", "x", "--timeout", "1",
                   "--retries", "0")
        self.assertEqual(r.stdout.count("after 1 attempt: Connect Server Time out! No greeting "
                                        "from %s within 1 s: the connection came up" % mute.where),
                         2, r.stdout)
        trickle = Gateway(self, greeting=lambda conn, stop: (conn.sendall(b"22"), stop.wait(5)))
        r, _ = run("--server", trickle.where, "--pager", "5", "--message", "x", "--timeout", "1",
                   "--retries", "0")
        self.assertIn("the server sent 2 bytes but no whole greeting line", r.stdout)
        self.assertNotIn("--tls", r.stdout)

    def test_reports_name_what_was_done(self):
        lost, ok = Sandbox("--drop-after-send"), Sandbox()
        self.addCleanup(lambda: (lost.close(), ok.close()))
        r, _ = run("--server", "127.0.0.1:%d" % lost.port, *pagers("1", "2"), "--message", "x",
                   "--resend-uncertain", "--retries", "0")
        self.assertEqual(r.stdout.count("not resent: no attempt is left"), 2, r.stdout)
        self.assertNotIn("sending it again", r.stdout)
        r, _ = run("--server", "127.0.0.1:%d" % ok.port, "--pager", "1", "--max-length", "2",
                   "--message", "disk full")
        self.assertIn("it was cut to its first 2 characters.", r.stderr)
        self.assertNotIn("...", r.stderr)
        r, _ = run("--server", "127.0.0.1:%d" % cli_test.free_port(), "--server",
                   "127.0.0.1:%d" % ok.port, "--pager", "1", "--message", "x", "--json",
                   "--retry-backoff", "0.05")
        self.assertEqual(json.loads(r.stdout)["port"], ok.port, "the gateway that delivered")
        folder = self.folder()
        for args, says in ((["--pagers-file", folder], "is a directory"),
                           (["--message", "", "--level", "1"], "--message needs a value")):
            self.assertIn(says, run("--pager", "1", *args)[0].stderr)


if __name__ == "__main__":
    cli_test.SEND, cli_test.SANDBOX = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
