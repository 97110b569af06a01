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

    def test_each_distinct_pager_is_paged_once(self):
        sb = Sandbox()
        self.addCleanup(sb.close)
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as f:
            f.write("111\n  111  \n222\n")
            f.flush()
            r, _ = run("--server", "127.0.0.1:%d" % sb.port, "--pagers-file", f.name,
                       *pagers("111", "111"), "--message", "x")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual([l.split()[1] for l in r.stdout.splitlines()], ["111", "222"])
        self.assertIn("note: pager 111 (4 times) was listed more than once; each is paged once",
                      r.stderr)
        self.assertEqual(sorted(p["pagers"][0]["id"] for p in sb.pages(2)), ["111", "222"])

    def test_uncertain_wins_over_timed_out(self):
        # SEND is never answered: the deadline ends the run, and the page may have gone out.
        g = self.gateway(replies={b"SEND": None})
        r, took = run("--server", g.where, "--pager", "5", "--message", "x", "--deadline", "1",
                      "--json")
        out = json.loads(r.stdout)
        self.assertEqual((r.returncode, out["outcome"], out["exitCode"]), (4, "uncertain", 4))
        self.assertIn("the page may have been delivered; it was not resent", out["error"])
        self.assertEqual(out["recipients"][0]["outcome"], "uncertain")
        self.assertLess(took, 5)
        r, _ = run("--server", g.where, "--pager", "5", "--message", "x", "--deadline", "1")
        self.assertEqual(r.returncode, 4)
        self.assertTrue(r.stdout.startswith("uncertain: "), r.stdout)

    def test_a_split_page_of_which_a_part_went_out_is_partial(self):
        sends = []
        g = self.gateway(replies={b"SEND": lambda line: sends.append(line) or (
            b"250 sent\r\n" if len(sends) == 1 else b"554 Error, failed\r\n")})
        text = "the primary database is down and the replica lags an hour"
        r, _ = run("--server", g.where, "--pager", "5", "--max-length", "24", "--split",
                   "--message", text, "--json")
        out = json.loads(r.stdout)
        self.assertEqual((r.returncode, out["outcome"]), (4, "partial"), r.stdout)
        rec = out["recipients"][0]
        self.assertEqual((rec["outcome"], rec["partsDelivered"]), ("partial", 1))
        self.assertGreaterEqual(rec["partsTotal"], 3)
        self.assertTrue(out["error"].startswith(
            "1 of %d parts delivered; part 2 refused: 554 " % rec["partsTotal"]), out["error"])
        sends.clear()
        r, _ = run("--server", g.where, *pagers("5", "6"), "--max-length", "24", "--split",
                   "--message", text)
        self.assertEqual(r.returncode, 4)
        self.assertRegex(r.stdout, r"(?m)^partial [56] via 127\.0\.0\.1:\d+: 1 of \d parts "
                                   r"delivered; part 2 refused: 554 ")

    def test_input_that_is_no_file_or_no_value_sends_nothing(self):
        g = self.gateway()
        folder = tempfile.mkdtemp()
        self.addCleanup(os.rmdir, folder)
        cases = [
            (["--pager", "5", "--data-file", folder], "the data file '%s' is a directory" % folder),
            (["--pager", "5", "--data-file", "/dev/zero"], "is a character device"),
            (["--pager", "5", "--data-file", "/nonexistent/body"], "No such file or directory"),
            # An empty value never takes the next option for its own.
            (["--pager=", "--service-level", "7", "--message", "x"], "--pager needs a value"),
            (["--pager", "5", "--message=", "--alert"], "--message needs a value"),
            (["--server=", "--pager", "5", "--message", "x"], "--server needs a value"),
            (["--pager", "5", "--message", "--alert"], "--alert is an option, not a value"),
            (["--pager", "", "--message", "x"], "--pager needs a value"),
        ]
        for args, says in cases:
            with self.subTest(args=args):
                r, _ = run("--server", g.where, *args)
                self.assertEqual(r.returncode, 2, r.stdout + r.stderr)
                self.assertIn(says, r.stderr)
                self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
        self.assertEqual(g.connections, 0, "nothing may be sent")


class HangsDeadlineFailoverLockout(unittest.TestCase):
    """B: a gateway that starves the others, a lockout, retries that cannot help, a deadline
    that overflows, and input that is read without bound or past the deadline."""

    def gateway(self, **kw):
        g = Gateway(**kw)
        self.addCleanup(g.close)
        return g

    def test_a_gateway_that_never_greets_does_not_starve_a_healthy_one(self):
        mute = self.gateway(greeting=None)
        sb = Sandbox()
        self.addCleanup(sb.close)
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as f:
            f.write("".join("%d\n" % (5550000 + i) for i in range(100)))
            f.flush()
            r, took = run("--server", mute.where, "--server", "127.0.0.1:%d" % sb.port,
                          "--pagers-file", f.name, "--concurrency", "8", "--timeout", "2",
                          "--message", "x")
        self.assertEqual(r.returncode, 0, r.stdout[-2000:] + r.stderr)
        self.assertEqual(r.stdout.count("delivered "), 100)
        self.assertEqual(len(sb.pages(100)), 100)
        # Within --timeout and a few seconds; the mute gateway gets only its first eight.
        self.assertLess(took, 2 + 3 + 5)
        self.assertEqual(mute.connections, 8)

    def test_a_refused_login_is_tried_once_per_gateway(self):
        gws = [self.gateway(replies={b"LOGI": b"550 Error, Invalid Login ID or Password\r\n"})
               for _ in range(2)]
        r, took = run("--server", gws[0].where, "--server", gws[1].where,
                      *pagers(*[str(i) for i in range(20)]), "--login", "ops", "--message", "x",
                      env={"SNPP_PASSWORD": "s3cret"})
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertEqual(r.stdout.count("the login was refused by every gateway"), 20, r.stdout)
        self.assertEqual([len(g.said(b"LOGI")) for g in gws], [1, 1])
        self.assertEqual([g.said(b"PAGE") for g in gws], [[], []])
        self.assertNotIn("s3cret", r.stdout + r.stderr)
        self.assertLess(took, 10)

    def test_numbers_out_of_range_are_refused_readably(self):
        for option, value in (("--deadline", "1e10"), ("--deadline", "9e15"),
                              ("--deadline", "nan"), ("--deadline", "inf"), ("--deadline", "0"),
                              ("--deadline", "-1"), ("--deadline", "86401"),
                              ("--retry-backoff", "nan"), ("--retry-backoff", "3600"),
                              ("--retry-backoff", "-0.5")):
            with self.subTest(option=option, value=value):
                r, _ = run("--pager", "1", "--message", "x", "--dry-run", option + "=" + value)
                self.assertEqual(r.returncode, 2, r.stdout + r.stderr)
                self.assertIn(option + ": must be a number of seconds", r.stderr)
                self.assertLess(len(r.stderr), 200, "a readable range, no 309 digits")
        r, _ = run("--help")
        self.assertIn("(0 to 30); doubled each time up to 30 s", r.stdout)

    def test_input_is_bounded_and_within_the_deadline(self):
        g = self.gateway()
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        big = os.path.join(folder.name, "big")
        with open(big, "wb") as f:
            f.truncate(100 * 1024 * 1024)  # 100 MB, sparse: refused by its size, never read
        cases = [
            (["--data-file", big], "the data file '%s' is larger than 1 MiB" % big),
            (["--pagers-file", "/dev/zero", "--message", "x"], "is a character device"),
            (["--pagers-file", big, "--message", "x"], "is larger than 1 MiB"),
            (["--settings", big, "--message", "x"], "is larger than 1 MiB"),
            (["--tls", "--ca-file", big, "--message", "x"], "is larger than 1 MiB"),
        ]
        for args, says in cases:
            with self.subTest(args=args):
                r, took = run("--server", g.where, "--pager", "5", *args)
                self.assertEqual(r.returncode, 2, r.stdout + r.stderr)
                self.assertIn(says, r.stderr)
                self.assertLess(took, 5)
        # A body from a pipe that never ends is given up at the deadline.
        p = subprocess.Popen([cli_test.SEND, "--server", g.where, "--pager", "5", "--data-file",
                              "-", "--deadline", "1"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        p.stdin.write("a slow line\n")
        p.stdin.flush()
        started = time.monotonic()
        p.wait(timeout=20)  # stdin stays open: the body never ends
        err = p.stderr.read()
        for pipe in (p.stdin, p.stdout, p.stderr):
            pipe.close()
        self.assertEqual(p.returncode, 2, err)
        self.assertIn("reading the data file (standard input) did not end before the deadline",
                      err)
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(g.connections, 0)
        # A server that hangs at QUIT after 250: the run ends at the deadline, not 2 s later.
        hang = self.gateway(replies={b"QUIT": None})
        r, took = run("--server", hang.where, "--pager", "5", "--message", "x", "--deadline",
                      "0.5")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertLess(took, 1.5)


class CredentialsAndBytes(unittest.TestCase):
    """C: credentials dropped without a word, and control bytes that reach the server."""

    def test_nothing_is_dropped_or_sent_that_should_not_be(self):
        g = Gateway()
        self.addCleanup(g.close)
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)

        def file(name, data):
            path = os.path.join(folder.name, name)
            with open(path, "wb") as f:
                f.write(data)
            return path

        password = {"SNPP_PASSWORD": "s3cret"}
        cases = [
            (["--level", "1", "--login", "ops", "--pager", "5", "--message", "x"], password,
             "--login (LOGI), a password (LOGI) needs SNPP level 2 or more"),
            (["--level", "1", "--subject", "Disk", "--pager", "5", "--message", "x"], None,
             "--subject (SUBJ) needs SNPP level 2 or more"),
            (["--login", "ops", "--password-file", folder.name, "--pager", "5", "--message", "x"],
             None, "the password file '%s' is a directory" % folder.name),
            (["--login", "ops", "--password-file", file("empty", b""), "--pager", "5",
              "--message", "x"], None, "is empty"),
        ]
        # Ids with ESC, BEL, DEL or VT in a pagers file are refused, naming the line.
        for n, byte in enumerate((b"\x1b[31m", b"\x07", b"\x7f", b"\x0b")):
            path = file("pagers%d" % n, b"# on call\n5550001\n11" + byte + b"1\n")
            cases.append((["--pagers-file", path, "--message", "x"], None,
                          "the pagers file '%s' line 3: the pager id \"11\\x" % path))
        # NUL and C0 controls in a DATA body, with the line number.
        for byte in (b"\x00", b"\x1b", b"\x08"):
            path = file("body%02x" % byte[0], b"line one\r\nline two " + byte + b"\n")
            cases.append((["--pager", "5", "--data-file", path], None,
                          "the data file '%s' line 2 holds a control character (\\x%02x)"
                          % (path, byte[0])))
        for args, env, says in cases:
            with self.subTest(args=args):
                r, _ = run("--server", g.where, *args, env=env)
                self.assertEqual(r.returncode, 2, r.stdout + r.stderr)
                self.assertIn(says, r.stderr)
                self.assertNotIn("\x1b", r.stderr, "shown escaped, never raw")
                self.assertNotIn("s3cret", r.stdout + r.stderr)
        self.assertEqual(g.connections, 0, "nothing may be sent")
        # A password file others can read is used, and warned about.
        pw = file("pw", b"s3cret\n")
        os.chmod(pw, 0o644)
        r, _ = run("--server", g.where, "--login", "ops", "--password-file", pw, "--pager", "5",
                   "--message", "x")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("can be read by others (mode 0644)", r.stderr)
        self.assertEqual(g.said(b"LOGI"), [b"LOGI ops s3cret"])


class WordsThatSayWhatHappened(unittest.TestCase):
    """D: every text says what happened, and where."""

    def gateway(self, **kw):
        g = Gateway(**kw)
        self.addCleanup(g.close)
        return g

    def test_failures_say_what_happened_at_each_gateway(self):
        refused = cli_test.free_port()
        mute = self.gateway(greeting=None)
        r, _ = run("--server", "127.0.0.1:%d" % refused, "--server", mute.where, "--pager", "5",
                   "--message", "x", "--timeout", "1", "--retries", "1", "--retry-backoff",
                   "0.05")
        self.assertEqual(r.returncode, 3, r.stdout + r.stderr)  # the last attempt timed out
        self.assertRegex(r.stdout, r"^failed: 127\.0\.0\.1:%d: Could not connect to 127\.0\.0\.1 "
                                   r"port %d \(Connection refused\)[^.]*; %s: Connect Server Time out! "
                                   r"No greeting from %s within 1 s: the connection came up, but "
                                   r"the server sent nothing\." % (refused, refused, mute.where,
                                                                   mute.where))
        self.assertIn("add --tls", r.stdout, "a silent plain port may be a TLS port")
        # Several pagers: each line says where and what to check.
        r, _ = run("--server", mute.where, *pagers("1", "2"), "--message", "x", "--timeout",
                   "1", "--retries", "0")
        for pager in ("1", "2"):
            self.assertIn("failed %s after 1 attempt: Connect Server Time out! No greeting from %s "
                          "within 1 s: the connection came up, but the server sent nothing. "
                          "Check that this is the server's SNPP port" % (pager, mute.where),
                          r.stdout)
        # A server that trickles part of a greeting is no TLS port.
        def trickle(conn, stop):
            conn.sendall(b"22")
            stop.wait(5)
        slow = self.gateway(greeting=trickle)
        r, _ = run("--server", slow.where, "--pager", "5", "--message", "x", "--timeout", "1",
                   "--retries", "0")
        self.assertIn("the server sent 2 bytes but no whole greeting line", r.stdout)
        self.assertNotIn("--tls", r.stdout)

    def test_reports_name_what_was_done(self):
        sb = Sandbox("--drop-after-send")
        self.addCleanup(sb.close)
        # Resending an uncertain page once no attempt is left says it is not resent.
        r, _ = run("--server", "127.0.0.1:%d" % sb.port, *pagers("1", "2"), "--message", "x",
                   "--resend-uncertain", "--retries", "0")
        self.assertEqual(r.returncode, 4, r.stdout + r.stderr)
        self.assertEqual(r.stdout.count("not resent: no attempt is left"), 2, r.stdout)
        self.assertNotIn("sending it again", r.stdout)
        # Cut below four characters: no dots, and the warning does not claim any.
        ok = Sandbox()
        self.addCleanup(ok.close)
        r, _ = run("--server", "127.0.0.1:%d" % ok.port, "--pager", "1", "--max-length", "2",
                   "--message", "disk full")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("it was cut to its first 2 characters.", r.stderr)
        self.assertNotIn("...", r.stderr)
        self.assertEqual(ok.pages(1)[0]["message"], "di")
        # The JSON names the gateway that delivered, not the first one of the list.
        r, _ = run("--server", "127.0.0.1:%d" % cli_test.free_port(), "--server",
                   "127.0.0.1:%d" % ok.port, "--pager", "1", "--message", "x", "--json",
                   "--retry-backoff", "0.05")
        out = json.loads(r.stdout)
        self.assertEqual((out["outcome"], out["server"], out["port"]),
                         ("delivered", "127.0.0.1", ok.port))
        # Bad files and values are named as what they are.
        folder = tempfile.mkdtemp()
        self.addCleanup(os.rmdir, folder)
        r, _ = run("--pagers-file", folder, "--message", "x")
        self.assertIn("the pagers file '%s' is a directory" % folder, r.stderr)
        r, _ = run("--pager", "1", "--message", "", "--level", "1")
        self.assertIn("--message needs a value", r.stderr)


if __name__ == "__main__":
    cli_test.SEND, cli_test.SANDBOX = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
