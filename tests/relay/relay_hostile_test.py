#!/usr/bin/env python3
"""snpp-relay against hostile clients, a hostile gateway and a careless host: the real relay,
real sandboxes, raw sockets where the client misbehaves on purpose.

usage: relay_hostile_test.py SNPP_RELAY SNPP_SANDBOX
Every wait is bounded. The fixtures are relay_test.py's.
"""
import json
import re
import os
import resource
import socket
import sqlite3
import stat
import subprocess
import sys
import unittest

import relay_test as rt
from relay_test import TOKEN, Relay, RelayTest, wait_for
from scripted_gateway import GARBLED, ScriptedGateway

GOOD = {"pagers": ["5551234"], "message": "disk full"}


def exchange(port, data, timeout=10):
    """Sends `data` on a new connection and returns all the relay sends until it closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        received = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return received
            received += chunk


def head(method, path, headers=(), body=b""):
    lines = ["%s %s HTTP/1.1" % (method, path), "Host: relay"] + list(headers)
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


class HostileClients(RelayTest):
    def test_the_token_is_checked_before_the_body_is_read(self):
        relay = self.relay([("primary", rt.free_port(), 1)])
        # Each claims an 8 MiB body and sends none of it: the answer comes from the headers.
        cases = [
            ([], 401, "needs"),
            (["Authorization: Bearer wrong"], 403, "not one of"),
            (["Authorization: Basic dXNlcjpwdw=="], 401, "must be"),
            (["Authorization: Bearer " + TOKEN], 413, "larger than 1 MiB"),
        ]
        for headers, status, words in cases:
            with self.subTest(status=status):
                reply = exchange(relay.port, head("POST", "/v1/pages", headers + [
                    "Content-Type: application/json", "Content-Length: 8388608"]))
                self.assertTrue(reply.startswith(b"HTTP/1.1 %d " % status), reply)
                self.assertIn(b"\r\nConnection: close\r\n", reply)
                self.assertIn(words, json.loads(reply.split(b"\r\n\r\n", 1)[1])["error"])
        # Pipelined requests on one connection are answered in order; HEAD has no body.
        reply = exchange(relay.port, head("GET", "/healthz") + head("HEAD", "/readyz") +
                         head("GET", "/readyz", ["Connection: close"]))
        answers = reply.split(b"HTTP/1.1 ")[1:]
        self.assertEqual([a[:3] for a in answers], [b"200"] * 3, reply)
        self.assertTrue(answers[1].endswith(b"\r\n\r\n"), answers[1])
        self.assertIn(b'{"status":"ready"}', answers[2])
        status, text = relay.request("GET", "/readyz", token=None)
        self.assertEqual((status, json.loads(text)), (200, {"status": "ready"}))
        self.assertEqual(relay.request("POST", "/v1/pages", GOOD)[0], 202)

    def test_the_scheme_in_any_case_and_tokens_trimmed_in_the_file_only(self):
        relay = Relay(self.dir, [("primary", rt.free_port(), 1)])
        with open(os.path.join(self.dir, "tokens"), "w") as f:
            f.write("# tokens\n%s\n  spaced-token \t \r\n" % TOKEN)
        os.chmod(os.path.join(self.dir, "tokens"), 0o600)
        relay.start()
        self.cleanups.append(relay.stop)
        cases = [
            ("bearer " + TOKEN, 404), ("BEARER  " + TOKEN, 404), ("Bearer spaced-token", 404),
            ("Bearer spaced-token ", 403), ("Bearer " + TOKEN + "\t", 403), ("Bearer", 401),
            ("Bearer" + TOKEN, 401), ("Token " + TOKEN, 401),
        ]
        for header, status in cases:
            with self.subTest(header=header):
                reply = exchange(relay.port, head("GET", "/v1/pages/00ff", [
                    "Authorization: " + header, "Connection: close"]))
                self.assertTrue(reply.startswith(b"HTTP/1.1 %d " % status), reply)

    def test_a_deeply_nested_body_is_refused_and_the_relay_stays_up(self):
        relay = self.relay([("primary", rt.free_port(), 1)],
                           receivers='[[receiver]]\nname = "oncall"\npagers = ["1"]\n')
        deep = ('{"version":"4","status":"firing","groupKey":"g","alerts":[{"labels":{"a":' +
                "[" * 20000 + "]" * 20000 + "}}]}")
        for path in ("/v1/alertmanager/oncall", "/v1/pages"):
            status, text = relay.request("POST", path, deep)
            self.assertEqual(status, 400, text)
            self.assertIn("deeper than 64 levels", json.loads(text)["error"])
        self.assertEqual(relay.request("GET", "/healthz", token=None)[0], 200)

    def test_pages_no_gateway_could_take_are_refused_and_alert_text_made_fit(self):
        gateway = self.sandbox()
        relay = self.relay(
            [("primary", gateway.port, 4)],
            receivers='[[receiver]]\nname = "oncall"\npagers = ["5551234"]\n'
                      'max_length = 40\nsplit = true\n'
                      'template = "{{labels.alertname}}: {{annotations.summary}}"\n')
        cases = [
            dict(GOOD, pagers=["555\t1234"]), dict(GOOD, pagers=["555\u00001234"]),
            dict(GOOD, message="disk\u0000full"), dict(GOOD, subject="db1\u001b[2J"),
            dict(GOOD, message="x" * 900000),
        ]
        for body in cases:
            with self.subTest(body=str(body)[:60]):
                status, text = relay.request("POST", "/v1/pages", body)
                self.assertEqual(status, 400, text)
        with sqlite3.connect(relay.outbox) as db:
            self.assertEqual(db.execute("SELECT COUNT(*) FROM pages").fetchone()[0], 0)

        def alert(name, summary):
            return {"version": "4", "status": "firing", "groupKey": name, "alerts": [{
                "labels": {"alertname": name}, "annotations": {"summary": summary},
                "startsAt": "2026-12-08T10:00:00Z", "fingerprint": name}]}
        # A NUL in a label is shown, not lost; a 900 KB summary makes at most 5 parts.
        status, text = relay.request("POST", "/v1/alertmanager/oncall", alert("Disk\u0000", "x"))
        self.assertEqual(status, 202, text)
        status, text = relay.request("POST", "/v1/alertmanager/oncall",
                                     alert("Huge", "y " + "z" * 900000))
        self.assertEqual((status, len(json.loads(text)["parts"])), (202, 5), text)
        pages = wait_for("6 pages", lambda: len(gateway.pages()) == 6 and gateway.pages())
        messages = sorted(p["message"] for p in pages)
        self.assertEqual(messages[-1], "Disk?: x")
        self.assertTrue(messages[4].startswith("(5/5) z") and messages[4].endswith("..."))
        self.assertTrue(all(len(m) <= 40 for m in messages), messages)


class Limits(RelayTest):
    def test_over_max_connections_a_new_connection_is_closed_at_once(self):
        relay = self.relay([("primary", rt.free_port(), 1)], extra="max_connections = 4")
        held = [socket.create_connection(("127.0.0.1", relay.port), timeout=10) for _ in range(4)]
        self.cleanups.append(lambda: [s.close() for s in held])
        # The listen queue is taken in order: by the fifth, the four are the relay's.
        for _ in range(3):
            reply = exchange(relay.port, b"")
            self.assertTrue(reply.startswith(b"HTTP/1.1 503 "), reply)
        held.pop().close()
        wait_for("an answer below the cap", lambda: self.answers(relay))
        log = relay.log_text()
        self.assertEqual(log.count("as many as max_connections"), 1, log)
        # The three above, and any probe of wait_for that came before the relay saw the close.
        closed = re.search(r"below max_connections again; (\d+) connection\(s\) were closed", log)
        self.assertTrue(closed and int(closed.group(1)) >= 3, log)

    def test_after_running_out_of_descriptors_the_relay_accepts_again(self):
        relay = Relay(self.dir, [("primary", rt.free_port(), 1)])
        self.cleanups.append(relay.stop)
        relay.start(preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (48, 48)))
        self.assertIn("the open-file limit is 48", relay.log_text())
        # More connections than the relay has descriptors; the rest wait in the listen queue.
        held = [socket.create_connection(("127.0.0.1", relay.port), timeout=10) for _ in range(80)]
        wait_for("the relay to run out", lambda: "cannot accept HTTP connections (Too many open "
                 "files)" in relay.log_text(), timeout=10)
        for s in held:
            s.close()
        wait_for("/healthz once descriptors are free", lambda: self.answers(relay), timeout=15)
        log = relay.log_text()
        self.assertEqual(log.count("cannot accept HTTP connections"), 1, log)
        self.assertIn("accepting HTTP connections again", log)
        self.assertEqual(relay.request("POST", "/v1/pages", GOOD)[0], 202)

    @staticmethod
    def answers(relay):
        try:
            return relay.request("GET", "/healthz", token=None, timeout=2)[0] == 200
        except OSError:
            return False


class HostileGateway(RelayTest):
    def test_a_reply_that_is_not_utf8_is_shown_valid_and_logged_escaped(self):
        gateway = ScriptedGateway()
        self.cleanups.append(gateway.close)
        relay = self.relay([("scripted", gateway.port, 1)])
        page_id = relay.post_page({"pagers": ["garbled-1"], "message": "disk full"})
        wait_for("delivery", lambda: relay.states(page_id) == ["delivered"])
        self.assertEqual(relay.page(page_id)["recipients"][0]["lastReply"],
                         "250 sent \ufffd( \ufffd \x1b[2J")
        relay.stop()
        with open(relay.stderr_path, "rb") as f:
            log = f.read()
        self.assertIn(GARBLED.replace(b"\x1b", b"\\x1b"), log)
        self.assertNotIn(b"\x1b", log)


class Secrets(RelayTest):
    def run_relay(self, relay, *args):
        return subprocess.run([rt.RELAY, *args, relay.config], capture_output=True, text=True,
                              timeout=10)

    def test_the_tokens_file_must_be_a_small_regular_file(self):
        relay = Relay(self.dir, [("primary", rt.free_port(), 1)])
        tokens = os.path.join(self.dir, "tokens")
        os.remove(tokens)
        os.mkfifo(tokens)
        with open(relay.config) as f:
            config = f.read()
        for name in (tokens, "/dev/zero"):
            with open(relay.config, "w") as f:
                f.write(config.replace('"tokens"', '"%s"' % name))
            result = self.run_relay(relay, "--config")
            self.assertEqual(result.returncode, 2, result.stderr)
            self.assertIn("is not a regular file", result.stderr)

    def test_secret_files_others_may_read_are_warned_about(self):
        password = os.path.join(self.dir, "gateway.password")
        with open(password, "w") as f:
            f.write("hunter2\n")
        relay = Relay(self.dir, [("primary", rt.free_port(), 1,
                                  'login = "ops"\npassword_file = "gateway.password"\n')])
        os.chmod(os.path.join(self.dir, "tokens"), 0o644)
        os.chmod(password, 0o604)
        result = self.run_relay(relay, "check-config")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(":4: warning: [relay]: api_tokens_file", result.stderr)
        self.assertIn("password_file", result.stderr)
        self.assertIn("(mode 0644) can be read by every user", result.stderr)
        relay.start()
        self.cleanups.append(relay.stop)
        self.assertIn("can be read by every user", relay.log_text())
        self.assertNotIn("hunter2", relay.log_text() + result.stderr)
        os.chmod(os.path.join(self.dir, "tokens"), stat.S_IRUSR | stat.S_IWUSR)
        os.chmod(password, 0o600)
        self.assertNotIn("warning", self.run_relay(relay, "check-config").stderr)


if __name__ == "__main__":
    rt.RELAY, rt.SANDBOX = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
