#!/usr/bin/env python3
"""snpp-relay under faults of its own machine and of its gateways, end to end.

usage: relay_faults_test.py SNPP_RELAY SNPP_SANDBOX MAKE_CERTS
The real relay and sandboxes (helpers from relay_test.py), plus a scripted gateway in this file
for the dialogues no sandbox plays. A full disk is a file-size limit on the relay process
(RLIMIT_FSIZE, set from outside with prlimit): no root, no small file system needed. Every wait
is bounded.
"""
import http.client
import json
import os
import resource
import signal
import socket
import sqlite3
import subprocess
import sys
import threading
import time
import unittest

import relay_test
from relay_test import TOKEN, RelayTest, free_port, wait_for


class ScriptedGateway:
    """An SNPP gateway on loopback that answers each command line by its word, logging every line
    it receives. `burst` is sent at once after the greeting, before any command."""

    def __init__(self, password=None, burst=b"", echo_login=True, send_reply=b"250 Message Sent\r\n"):
        self.password, self.burst, self.echo_login = password, burst, echo_login
        self.send_reply = send_reply
        self.lines = []
        self.connections = 0
        self.lock = threading.Lock()
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with self.lock:
                self.connections += 1
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _reply(self, line):
        word = line.split(b" ", 1)[0].upper()
        if word == b"LOGI":
            given = line.split(b" ")[2] if line.count(b" ") >= 2 else b""
            if self.password is not None and given != self.password.encode():
                # A careless gateway: its refusal repeats the whole line, password and all.
                return b"550 bad login: " + line + b"\r\n" if self.echo_login else b"550 no\r\n"
            return b"250 ok\r\n"
        if word == b"SEND":
            return self.send_reply
        if word == b"QUIT":
            return b"221 bye\r\n"
        return b"250 ok\r\n"

    def _serve(self, conn):
        with conn:
            conn.settimeout(30)
            try:
                conn.sendall(b"220 scripted gateway\r\n" + self.burst)
                buf = b""
                while True:
                    data = conn.recv(65536)
                    if not data:
                        return
                    buf += data
                    while b"\n" in buf:
                        line, buf = buf.split(b"\n", 1)
                        line = line.rstrip(b"\r")
                        with self.lock:
                            self.lines.append(line)
                        conn.sendall(self._reply(line))
                        if line.upper() == b"QUIT":
                            return
            except OSError:
                return

    def count(self, word):
        with self.lock:
            return sum(1 for l in self.lines if l.split(b" ", 1)[0].upper() == word)

    def close(self):
        self.sock.close()


def ignore_file_size_signal():
    # Ignored signals stay ignored across exec: a relay beyond its file-size limit then sees the
    # write fail (EFBIG), as on a full disk, rather than being killed by SIGXFSZ.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


def limit_file_size(pid, size):
    resource.prlimit(pid, resource.RLIMIT_FSIZE, (size, resource.RLIM_INFINITY))


def metric(relay, name):
    status, text = relay.request("GET", "/metrics", token=None)
    for line in text.splitlines():
        if line.startswith(name + " "):
            return float(line.split()[-1])
    raise AssertionError("no metric %s in %s" % (name, text))


def quiet(relay):
    """Nothing queued, nothing sending, no session open."""
    return metric(relay, "snpp_relay_queue_depth") == 0 and \
        metric(relay, "snpp_relay_sessions_open") == 0


class FaultTest(RelayTest):
    def relay(self, gateways, start=True, **kwargs):
        r = relay_test.Relay(self.dir, gateways, **kwargs)
        if start:
            r.start(preexec_fn=ignore_file_size_signal)
            self.cleanups.append(r.stop)
        return r

    def gateway(self, **kwargs):
        g = ScriptedGateway(**kwargs)
        self.cleanups.append(g.close)
        return g


class FullDisk(FaultTest):
    def test_a_request_that_cannot_be_stored_touches_no_other_page(self):
        gateway = self.sandbox(0, "sandbox", "--reply-delay", "400")
        relay = self.relay([("primary", gateway.port, 4)])
        relay.post_page({"pagers": ["1"], "message": "warm up"})
        wait_for("warm-up delivery", lambda: len(gateway.pages()) == 1)
        limit_file_size(relay.proc.pid, os.path.getsize(relay.outbox + "-wal") + 300_000)

        # A 900 KB page (a data body: no line of a page may pass 4000 bytes), all but its last
        # byte, then a small page while the large one waits.
        body = json.dumps({"pagers": ["2"], "data": "\n".join(["x" * 3000] * 300)}).encode()
        big = socket.create_connection(("127.0.0.1", relay.port), timeout=20)
        self.cleanups.append(big.close)
        big.sendall(b"POST /v1/pages HTTP/1.1\r\nHost: relay\r\nAuthorization: Bearer " +
                    TOKEN.encode() + b"\r\nContent-Type: application/json\r\nContent-Length: " +
                    str(len(body)).encode() + b"\r\n\r\n" + body[:-1])
        small = relay.post_page({"pagers": ["3"], "message": "small page"})
        big.sendall(body[-1:])
        answer = big.recv(65536).decode()
        self.assertIn(" 503 ", answer.split("\r\n")[0], answer)

        wait_for("the small page delivered and the relay quiet",
                 lambda: relay.states(small) == ["delivered"] and quiet(relay))
        self.assertEqual([p["message"] for p in gateway.pages()].count("small page"), 1)
        self.assertIn("could not be stored", answer)

    def test_a_brief_full_disk_holds_send_back_and_the_page_goes_out_once_it_is_free(self):
        gateway = self.sandbox(0, "sandbox", "--reply-delay", "300")
        relay = self.relay([("primary", gateway.port, 4)])
        page = relay.post_page({"pagers": ["5551234"], "message": "held back"})
        # Claimed: the session is at its greeting; SEND comes some 900 ms later.
        wait_for("the claim", lambda: relay.states(page) == ["sending"])
        limit_file_size(relay.proc.pid, os.path.getsize(relay.outbox + "-wal"))
        wait_for("the refused SEND mark", lambda: "SEND held back" in relay.log_text())
        time.sleep(3)  # the disk stays full a while; the relay must neither give up nor send
        self.assertEqual(gateway.pages(), [])
        limit_file_size(relay.proc.pid, resource.RLIM_INFINITY)
        wait_for("delivery once the disk is free", lambda: relay.states(page) == ["delivered"])
        wait_for("a quiet relay", lambda: quiet(relay))
        self.assertEqual([p["message"] for p in gateway.pages()], ["held back"])
        self.assertNotIn("uncertain", json.dumps(relay.page(page)))


class OneRelayPerOutbox(FaultTest):
    def test_a_second_relay_on_the_same_outbox_is_refused_and_names_the_first(self):
        gateway = self.sandbox()
        first = self.relay([("primary", gateway.port, 4)])
        second = relay_test.Relay(self.dir, [("primary", gateway.port, 4)])
        result = subprocess.run([relay_test.RELAY, "--config", second.config],
                                capture_output=True, text=True, timeout=20)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn(first.outbox, result.stderr)
        self.assertIn("pid %d" % first.proc.pid, result.stderr)
        self.assertNotIn("READY", result.stdout)
        page = first.post_page({"pagers": ["1"], "message": "still served"})
        wait_for("delivery by the first", lambda: first.states(page) == ["delivered"])

    def test_an_outbox_that_cannot_be_used_stops_the_start_with_exit_1(self):
        gateway = self.sandbox()

        def immutable(path):
            open(path, "wb").close()
            if os.geteuid() == 0:
                subprocess.run(["chattr", "+i", path], check=True)
                self.cleanups.append(lambda: subprocess.run(["chattr", "-i", path]))
            else:
                os.chmod(path, 0o444)
                os.chmod(os.path.dirname(path), 0o555)
                self.cleanups.append(lambda: os.chmod(os.path.dirname(path), 0o755))

        def newer_schema(path):
            with sqlite3.connect(path) as db:
                db.execute("CREATE TABLE pages (id TEXT PRIMARY KEY)")
                db.execute("PRAGMA user_version = 99")

        def garbage(path):
            with open(path, "wb") as f:
                f.write(b"this is no database\n" * 400)

        cases = [
            ("read-only", immutable, "outbox.db"),
            ("a folder", os.mkdir, "outbox.db"),
            ("a newer schema", newer_schema, "newer"),
            ("not a database", garbage, "not a database"),
        ]
        for name, make, words in cases:
            with self.subTest(name):
                folder = os.path.join(self.dir, name.replace(" ", "-"))
                os.mkdir(folder)
                relay = relay_test.Relay(folder, [("primary", gateway.port, 4)])
                make(relay.outbox)
                result = subprocess.run([relay_test.RELAY, "--config", relay.config],
                                        capture_output=True, text=True, timeout=20)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(relay.outbox, result.stderr)
                self.assertIn(words, result.stderr)
                self.assertNotIn("READY", result.stdout)


class Gateways(FaultTest):
    def test_a_level1_backup_carries_what_it_can_and_says_what_it_left_out(self):
        primary_port = free_port()
        backup = self.sandbox(name="backup")
        relay = self.relay(
            [("primary", primary_port, 4), ("backup", backup.port, 4, "level = 1\n")],
            receivers='[[receiver]]\nname = "strict"\npagers = ["300"]\nrequire_level2 = true\n')
        data = relay.post_page({"pagers": ["100"], "data": "line 1\nline 2"})
        fields = relay.post_page({"pagers": ["200"], "message": "db1 down", "subject": "db1",
                                  "level2": {"alert": True, "coverage": 3}})
        strict = relay.post_page({"receiver": "strict", "message": "level 2 only"})
        wait_for("the page with fields through the backup",
                 lambda: relay.states(fields) == ["degraded"])
        recipient = relay.page(fields)["recipients"][0]
        self.assertEqual(recipient["gateway"], "backup")
        for field in ("subject", "alert", "coverage"):
            self.assertIn(field, recipient["note"])
        wait_for("more attempts at the primary",
                 lambda: relay.page(data)["recipients"][0]["attempts"] >= 3)
        waiting = (["queued"], ["sending"])  # between attempts, or in one
        self.assertIn(relay.states(data), waiting)
        self.assertIn(relay.states(strict), waiting)
        self.assertEqual([p["pagers"][0]["id"] for p in backup.pages()], ["200"])

        primary = self.sandbox(primary_port, "primary")
        wait_for("the data page and the strict one through the primary",
                 lambda: relay.states(data) == ["delivered"] and
                 relay.states(strict) == ["delivered"])
        self.assertEqual(sorted(p["pagers"][0]["id"] for p in primary.pages()), ["100", "300"])

    def test_replies_that_come_before_send_is_written_answer_nothing(self):
        gateway = self.gateway(burst=b"250 ok\r\n" * 10)
        relay = self.relay([("eager", gateway.port, 1)])
        page = relay.post_page({"pagers": ["5551234"], "message": "not yet"})
        wait_for("two attempts, or an answer",
                 lambda: relay.page(page)["recipients"][0]["attempts"] >= 2 or
                 relay.states(page) not in (["queued"], ["sending"]))
        self.assertIn(relay.states(page), (["queued"], ["sending"]))
        # The session sees the burst before PAGE is written; the held SEND would catch the rest.
        self.assertRegex(relay.page(page)["recipients"][0]["lastReply"],
                         r"before (our )?[A-Z]{4} was written")
        self.assertEqual(gateway.count(b"SEND"), 0)

    def test_a_refused_login_is_not_tried_again_until_the_config_changes(self):
        password = "pw-s3cret-42"
        gateways = [self.gateway(password="right-one") for _ in range(2)]
        secret = os.path.join(self.dir, "gateway.password")
        with open(secret, "w") as f:
            f.write(password + "\n")
        login = 'login = "ops"\npassword_file = "gateway.password"\n'
        relay = self.relay([("a", gateways[0].port, 2, login), ("b", gateways[1].port, 2, login)])
        first = relay.post_page({"pagers": ["1"], "message": "wrong password"})
        wait_for("refused", lambda: relay.states(first) == ["refused"], timeout=10)
        recipient = relay.page(first)["recipients"][0]
        self.assertEqual(recipient["attempts"], 2)
        self.assertIn("LOGI ops ****", recipient["lastReply"])
        second = relay.post_page({"pagers": ["2"], "message": "still wrong"})
        wait_for("refused at once", lambda: relay.states(second) == ["refused"], timeout=10)
        self.assertIn("every gateway refused the login",
                      relay.page(second)["recipients"][0]["lastReply"])
        self.assertEqual([g.count(b"LOGI") for g in gateways], [1, 1])

        with open(secret, "w") as f:
            f.write("right-one\n")
        relay.proc.send_signal(signal.SIGHUP)
        wait_for("the reload", lambda: "reload: configuration read again" in relay.log_text())
        third = relay.post_page({"pagers": ["3"], "message": "right password"})
        wait_for("delivery after the reload", lambda: relay.states(third) == ["delivered"])
        self.assertEqual(relay.stop(), 0)
        log = relay.log_text()
        self.assertNotIn(password, log)
        self.assertNotIn("right-one", log)
        for path in (relay.outbox, relay.outbox + "-wal"):
            if os.path.exists(path):
                with open(path, "rb") as f:
                    self.assertNotIn(password.encode(), f.read())
        self.assertIn("LOGI ops ****", log)


if __name__ == "__main__":
    relay_test.RELAY, relay_test.SANDBOX, relay_test.MAKE_CERTS = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
