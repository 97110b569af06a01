#!/usr/bin/env python3
"""snpp-send end to end: the real tool against the real sandbox server over loopback.

usage: cli_test.py SNPP_SEND SNPP_SANDBOX
Every wait is bounded; a hung process fails the test instead of hanging it.
"""
import json
import os
import socket
import subprocess
import sys
import re
import tempfile
import threading
import time
import unittest

SEND = SANDBOX = None


class Sandbox:
    """snpp-sandbox on a free loopback port, with its page log in a temporary folder."""

    def __init__(self, *args):
        self.dir = tempfile.TemporaryDirectory()
        self.log = os.path.join(self.dir.name, "pages.jsonl")
        self.stderr = open(os.path.join(self.dir.name, "stderr.txt"), "w+")
        self.proc = subprocess.Popen([SANDBOX, "--port", "0", "--log", self.log, *args],
                                     stdout=subprocess.PIPE, stderr=self.stderr, text=True)
        line = self.proc.stdout.readline()  # READY snpp-sandbox 127.0.0.1:PORT
        if not line.startswith("READY"):
            self.proc.kill()
            raise RuntimeError("sandbox did not start: %r" % line)
        self.port = int(line.split()[-1].rsplit(":", 1)[1])

    def pages(self, at_least=0, wait=10.0):
        """The pages logged so far. The sandbox writes its log from a thread of its own, so a
        page may land there just after the client heard 250: wait (bounded) for `at_least`."""
        give_up = time.monotonic() + wait
        while True:
            pages = []
            if os.path.exists(self.log):
                with open(self.log) as f:
                    pages = [json.loads(l) for l in f if l.endswith("\n") and l.strip()]
            if len(pages) >= at_least or time.monotonic() > give_up:
                return pages
            time.sleep(0.01)

    def close(self):
        """Stops the sandbox; returns what it said on stderr."""
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.final_pages = self.pages(wait=0)  # complete: the log is drained before exit
        self.stderr.seek(0)
        said = self.stderr.read()
        self.stderr.close()
        self.dir.cleanup()
        return said


def send(port, *args, env=None, stdin=None):
    full_env = dict(os.environ)
    full_env.pop("SNPP_PASSWORD", None)
    full_env.update(env or {})
    return subprocess.run([SEND, "--port", str(port), *args], capture_output=True, text=True,
                          env=full_env, input=stdin, timeout=60)


class SilentAfterGreeting:
    """A server that greets and then never answers: the tool's deadline must end the wait."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen()
        self.port = self.sock.getsockname()[1]
        self.conns = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        try:
            while True:
                c, _ = self.sock.accept()
                c.sendall(b"220 hello\r\n")
                self.conns.append(c)
        except OSError:
            pass

    def close(self):
        self.sock.close()
        for c in self.conns:
            c.close()


class SendTool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox("--refuse-pager", "999")

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.close()

    def test_level_one_page_is_delivered(self):
        before = len(self.sandbox.pages())
        r = send(self.sandbox.port, "--level", "1", "--pager", "5551234", "--message", "disk full")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertRegex(r.stdout, r"^delivered: 250 ")
        page = self.sandbox.pages(before + 1)[before]
        self.assertEqual(page["message"], "disk full")
        self.assertEqual(page["pagers"][0]["id"], "5551234")

    def test_level_two_page_with_options_and_body(self):
        before = len(self.sandbox.pages())
        with tempfile.NamedTemporaryFile("w", delete=False) as body:
            body.write("line one\n.\n.dotted\n\nlast")
        try:
            r = send(self.sandbox.port, "--level", "2", "--pager", "5551234", "--data-file",
                     body.name, "--hold", "370101120000", "--alert", "--subject", "Disk",
                     "--caller", "ops", "--coverage", "2", "--service-level", "3")
        finally:
            os.unlink(body.name)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        page = self.sandbox.pages(before + 1)[before]
        self.assertEqual(page["via"], "DATA")
        self.assertEqual(page["message"], "line one\n.\n.dotted\n\nlast")
        self.assertEqual(page["subject"], "Disk")
        self.assertEqual(page["pagers"][0]["alert"], True)

    def test_body_from_stdin(self):
        r = send(self.sandbox.port, "--pager", "5551234", "--data-file", "-", stdin="a\nb\n")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_refused_pager_fails_with_the_servers_words(self):
        r = send(self.sandbox.port, "--pager", "999", "--message", "x")
        self.assertEqual(r.returncode, 1)
        self.assertRegex(r.stdout, r"^failed: 550 ")

    def test_verbose_shows_the_dialogue_and_masks_the_password(self):
        r = send(self.sandbox.port, "-v", "--pager", "5551234", "--message", "hi", "--login",
                 "alice", env={"SNPP_PASSWORD": "hunter2"})
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("> LOGI alice ****", r.stderr)
        self.assertIn("> PAGE 5551234", r.stderr)
        self.assertRegex(r.stderr, r"(?m)^< 220 ")
        self.assertIn("> QUIT", r.stderr)
        self.assertNotIn("hunter2", r.stdout + r.stderr)

    def test_password_file(self):
        with tempfile.NamedTemporaryFile("w", delete=False) as pw:
            pw.write("s3cret\n")
        try:
            r = send(self.sandbox.port, "-v", "--pager", "5551234", "--message", "hi",
                     "--login", "alice", "--password-file", pw.name)
        finally:
            os.unlink(pw.name)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertNotIn("s3cret", r.stdout + r.stderr)

    def test_json_outcome(self):
        ok = json.loads(send(self.sandbox.port, "--json", "--pager", "5551234", "--message",
                             "x").stdout)
        self.assertEqual(ok["outcome"], "delivered")
        self.assertTrue(ok["reply"].startswith("250"))
        bad = json.loads(send(self.sandbox.port, "--json", "--pager", "999", "--message",
                              "x").stdout)
        self.assertEqual((bad["outcome"], bad["exitCode"]), ("failed", 1))

    def test_bad_input_sends_nothing(self):
        before = len(self.sandbox.pages())
        cases = [
            ["--pager", "5551234", "--message", "x", "--bogus"],
            ["--message", "x"],
            ["--pager", "5551234", "--message", "x", "--port", "abc"],
            ["--pager", "5551234", "--data-file", "/nonexistent/body.txt"],
            ["--pager", "5551234"],
            ["--pager", "5551234", "--message", "x", "--password", "leak"],
            ["--pager", "5551234", "--message", "x", "--level", "1", "--data-file", "-"],
        ]
        for args in cases:
            r = send(self.sandbox.port, *args)
            self.assertEqual(r.returncode, 2, (args, r.stdout, r.stderr))
            self.assertEqual(len(r.stderr.strip().splitlines()), 1, (args, r.stderr))
            self.assertNotIn("leak", r.stdout)
        self.assertEqual(len(self.sandbox.pages()), before)


class Settings(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox()
        cls.dir = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.close()
        cls.dir.cleanup()

    def test_saved_gateway_settings_drive_later_pages(self):
        gw = os.path.join(self.dir.name, "gw.json")
        r = send(self.sandbox.port, "--subject", "From gw", "--login", "ops",
                 "--save-settings", gw, "--dry-run",
                 env={"SNPP_PASSWORD": "pw"})
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("nothing was sent", r.stdout)
        self.assertEqual(os.stat(gw).st_mode & 0o777, 0o600)
        with open(gw) as f:
            saved = json.load(f)["properties"]
        self.assertEqual(saved["ServerPort"], {"type": "Long", "value": self.sandbox.port})
        self.assertEqual(saved["Subject"]["value"], "From gw")

        before = len(self.sandbox.pages())
        r = subprocess.run([SEND, "--settings", gw, "--pager", "5551234", "--message", "real"],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        page = self.sandbox.pages(before + 1)[before]
        self.assertEqual((page["pagers"][0]["id"], page["message"], page["subject"]),
                         ("5551234", "real", "From gw"))
        self.assertEqual(page["login"], "ops")

    def test_damaged_settings_file_is_bad_input(self):
        broken = os.path.join(self.dir.name, "broken.json")
        with open(broken, "w") as f:
            f.write('{"format": "kestrel-snpp-settings", "version": 1, "propert')
        r = subprocess.run([SEND, "--settings", broken, "--pager", "1", "--message", "x"],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 2)
        self.assertIn(broken, r.stderr)


class Failures(unittest.TestCase):
    def test_nothing_listening_fails_at_once(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        r = send(port, "--pager", "5551234", "--message", "x", "--timeout", "30")
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("failed:", r.stdout)

    def test_no_greeting_times_out(self):
        sb = Sandbox("--no-greeting")
        try:
            r = send(sb.port, "--pager", "5551234", "--message", "x", "--timeout", "1")
        finally:
            sb.close()
        self.assertEqual(r.returncode, 3, r.stdout + r.stderr)
        self.assertIn("Connect Server Time out!", r.stdout)

    def test_silence_after_greeting_ends_at_the_deadline(self):
        srv = SilentAfterGreeting()
        try:
            r = send(srv.port, "--pager", "5551234", "--message", "x", "--deadline", "1.5")
        finally:
            srv.close()
        self.assertEqual(r.returncode, 3, r.stdout + r.stderr)
        self.assertIn("deadline", r.stdout)


def free_port():
    """A loopback port with nothing listening on it: connections are refused."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def pagers(*ids):
    return [a for i in ids for a in ("--pager", i)]


class Group(unittest.TestCase):
    """Several pagers and several gateways in one run: failover, retries, outcomes, exit codes."""

    def run_group(self, sb, *args):
        started = time.monotonic()
        r = send(sb.port, "--retry-backoff", "0.05", *args)
        return r, time.monotonic() - started

    def test_fails_over_past_a_refusing_server_and_past_busy_replies(self):
        sb = Sandbox("--fail-first", "2")
        try:
            r, _ = self.run_group(sb, "--server", "127.0.0.1:%d" % free_port(),
                                  "--server", "127.0.0.1", *pagers("1", "2", "3"),
                                  "--retries", "3", "--batch", "1", "--message", "db down")
            pages = sb.pages(3)
        finally:
            sb.close()
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        # First attempts are refused at the first server; at the second, the first two
        # connections are turned away with 421; the third attempts pass over the refusing
        # server, held off since it refused connections, and succeed at the second.
        attempts = sorted(int(a) for a in re.findall(r"\(attempt (\d+)\)", r.stdout))
        self.assertEqual(attempts, [2, 3, 3], r.stdout)
        self.assertEqual(sorted(x["id"] for p in pages for x in p["pagers"]), ["1", "2", "3"])

    def test_a_refused_login_moves_on_to_the_next_gateway_at_once(self):
        strict, open_gw = Sandbox("--login", "ops:right"), Sandbox()
        try:
            r = send(strict.port, "--retry-backoff", "30", "--login", "ops", "--batch", "1",
                     "--server", "127.0.0.1", "--server", "127.0.0.1:%d" % open_gw.port,
                     *pagers("1", "2"), "--message", "x", "--deadline", "20",
                     env={"SNPP_PASSWORD": "wrong"})
            alone = send(strict.port, "--login", "ops", *pagers("1", "2"), "--message", "x",
                         env={"SNPP_PASSWORD": "wrong"})
            self.assertEqual(len(open_gw.pages(2)), 2)
            self.assertEqual(strict.pages(), [])
        finally:
            strict.close()
            open_gw.close()
        # No 30 s backoff: a login refusal is not a passing failure of the gateway. The strict
        # gateway takes one session until it accepts the login, so pager 2 starts at the other
        # one; pager 1 follows it there at once.
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual((r.stdout.count("(attempt 1)"), r.stdout.count("(attempt 2)")), (1, 1),
                         r.stdout)
        self.assertEqual(alone.returncode, 1, alone.stdout)
        self.assertEqual(len(re.findall(r"(?m)^refused \d via 127\.0\.0\.1:\d+: the login was "
                                        r"refused by every gateway: 550 ", alone.stdout)), 2,
                         alone.stdout)
        self.assertNotIn("wrong", alone.stdout + alone.stderr + r.stdout + r.stderr)

    def test_one_refused_pager_of_three_is_not_retried_and_exits_4(self):
        sb = Sandbox("--refuse-pager", "550")
        try:
            r, _ = self.run_group(sb, "-v", "--json", *pagers("1", "550", "3"), "--message", "x")
        finally:
            sb.close()
        self.assertEqual(r.returncode, 4, r.stdout + r.stderr)
        out = json.loads(r.stdout)
        self.assertEqual(out["outcome"], "partial")
        self.assertEqual([(x["pager"], x["outcome"], x["attempts"]) for x in out["recipients"]],
                         [("1", "delivered", 1), ("550", "refused", 1), ("3", "delivered", 1)])
        self.assertTrue(out["recipients"][1]["error"].startswith("550 "))
        self.assertEqual(r.stderr.count("> PAGE 550"), 1)

    def test_lost_reply_to_send_is_uncertain_and_never_resent(self):
        sb = Sandbox("--drop-after-send")
        try:
            r, _ = self.run_group(sb, *pagers("1", "2"), "--message", "x")
            one, _ = self.run_group(sb, "--pager", "3", "--message", "x")
        finally:
            sb.close()
        pages = sb.final_pages
        self.assertEqual(r.returncode, 4, r.stdout + r.stderr)
        for pager in ("1", "2"):
            self.assertRegex(r.stdout, r"(?m)^uncertain %s via 127\.0\.0\.1:\d+: the connection "
                             r"was lost after SEND; the page may have been delivered; not "
                             r"resent$" % pager)
        self.assertEqual(one.returncode, 4, one.stdout)  # one pager: uncertain, exit 4
        self.assertRegex(one.stdout, r"^uncertain: .*may or may not have been delivered")
        self.assertEqual(sorted(x["id"] for p in pages for x in p["pagers"]), ["1", "2", "3"])

    def test_concurrency_bounds_sessions_and_max_sessions_below_it_still_delivers(self):
        ids = [str(5550000 + i) for i in range(8)]
        sb = Sandbox("--reply-delay", "30")
        try:
            r, _ = self.run_group(sb, "--concurrency", "3", "--batch", "1", *pagers(*ids),
                                  "--message", "x")
            self.assertEqual(len(sb.pages(8)), 8)
        finally:
            said = sb.close()
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("at most 3 sessions were open at once", said)
        # A gateway that takes fewer sessions than we open says 421 to the rest: they are tried
        # again, and every page still gets through.
        sb = Sandbox("--max-sessions", "2", "--reply-delay", "30")
        try:
            r, _ = self.run_group(sb, "--concurrency", "6", "--batch", "1", "--retries", "20",
                                  *pagers(*ids), "--message", "x")
            self.assertEqual(sorted(p["pagers"][0]["id"] for p in sb.pages(8)), ids)
        finally:
            sb.close()
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertGreater(r.stdout.count("(attempt 1)"), 0)
        self.assertLess(r.stdout.count("(attempt 1)"), 8, "some were turned away first")

    def test_split_parts_arrive_in_order(self):
        text = "the primary database is down and the replica is lagging behind by an hour"
        sb = Sandbox()
        try:
            r, _ = self.run_group(sb, *pagers("1", "2"), "--max-length", "24", "--split",
                                  "--message", text)
            pages = sb.pages(4)
        finally:
            sb.close()
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        for pager in ("1", "2"):
            parts = [p["message"] for p in pages if pager in (x["id"] for x in p["pagers"])]
            self.assertGreaterEqual(len(parts), 4)
            for i, part in enumerate(parts):
                self.assertTrue(part.startswith("(%d/%d) " % (i + 1, len(parts))), parts)
                self.assertLessEqual(len(part), 24)
            # In order, nothing lost: only the spaces at the breaks are dropped.
            self.assertEqual("".join(p.split(" ", 1)[1] for p in parts).replace(" ", ""),
                             text.replace(" ", ""))

    def test_cut_message_warns_and_ascii_replaces(self):
        sb = Sandbox()
        try:
            r, _ = self.run_group(sb, "--pager", "1", "--max-length", "10", "--ascii",
                                  "--message", "Caf\u00e9 \u2615 is closed today")
            pages = sb.pages(1)
        finally:
            sb.close()
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(pages[0]["message"], "Cafe ? ...")
        self.assertIn("--split", r.stderr)

    def test_deadline_bounds_a_run_against_a_server_that_never_greets(self):
        sb = Sandbox("--no-greeting")
        try:
            r, took = self.run_group(sb, *pagers("1", "2", "3"), "--deadline", "2",
                                     "--timeout", "30", "--message", "x")
        finally:
            sb.close()
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertEqual(len(re.findall(r"(?m)^failed \d after 1 attempt: the deadline passed",
                                        r.stdout)), 3, r.stdout)
        self.assertLess(took, 6)

    def test_bad_group_input_sends_nothing(self):
        sb = Sandbox()
        with tempfile.NamedTemporaryFile("w", delete=False) as f:
            f.write("# on call\n\n5551234\nnot one word\n")
        try:
            cases = [["--pagers-file", f.name], ["--pagers-file", "/nonexistent"],
                     ["--pager", "1", "--server", "[::1"], ["--pager", "1", "--server", "h:0"],
                     ["--pager", "1", "--split"], ["--pager", "1", "--server", ":444"]]
            for args in cases:
                r = send(sb.port, "--message", "x", *args)
                self.assertEqual(r.returncode, 2, (args, r.stdout, r.stderr))
            self.assertEqual(sb.pages(), [])
        finally:
            os.unlink(f.name)
            sb.close()


if __name__ == "__main__":
    SEND, SANDBOX = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
