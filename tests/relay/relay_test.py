#!/usr/bin/env python3
"""snpp-relay end to end: the real relay, real sandboxes as gateways, a real Alertmanager.

usage: relay_test.py SNPP_RELAY SNPP_SANDBOX
Every wait is bounded; a hung process fails the test instead of hanging it. The sandboxes'
page logs are the judge of what reached a gateway.
"""
import http.client
import json
import os
import random
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from scripted_gateway import ScriptedGateway

RELAY = SANDBOX = MAKE_CERTS = None
TOKEN = "t0ken-for-tests"
ALERTMANAGER = "/usr/bin/prometheus-alertmanager"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, predicate, timeout=20.0, interval=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("timed out waiting for " + what)


class Sandbox:
    """snpp-sandbox on loopback (a free port unless one is given), logging pages to a file."""

    def __init__(self, folder, port=0, name="sandbox", *args):
        self.log = os.path.join(folder, name + ".jsonl")
        self.proc = subprocess.Popen([SANDBOX, "--port", str(port), "--log", self.log, *args],
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
            return [json.loads(l) for l in f if l.endswith("\n")]

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)
        self.proc.stdout.close()


class Relay:
    """snpp-relay with its own folder: configuration, tokens file, outbox and stderr log."""

    def __init__(self, folder, gateways, receivers="", retry='backoff = "50ms"\nmax_backoff = "200ms"',
                 extra="", tokens=""):
        self.folder = folder
        self.port = None
        self.proc = None
        self.outbox = os.path.join(folder, "outbox.db")
        with open(os.path.join(folder, "tokens"), "w") as f:
            f.write("# tokens\n%s\n%s" % (TOKEN, tokens))
        os.chmod(os.path.join(folder, "tokens"), 0o600)  # the relay warns of wider modes
        gateway_text = "".join(
            '[[gateway]]\nname = "%s"\nserver = "127.0.0.1:%d"\n%sconcurrency = %d\n%s\n'
            % (g[0], g[1], "" if "level =" in (g[3] if len(g) > 3 else "") else "level = 2\n",
               g[2], g[3] if len(g) > 3 else "")
            for g in gateways)
        self.config = os.path.join(folder, "relay.toml")
        with open(self.config, "w") as f:
            f.write('[relay]\nlisten = "127.0.0.1:0"\noutbox = "outbox.db"\n'
                    'api_tokens_file = "tokens"\nexpire_after = "1h"\nshutdown_grace = "2s"\n%s\n'
                    '[retry]\n%s\n\n%s%s' % (extra, retry, gateway_text, receivers))
        self.stderr_path = os.path.join(folder, "relay.log")

    def start(self, **popen_args):
        self.stderr = open(self.stderr_path, "a")
        self.proc = subprocess.Popen([RELAY, "--config", self.config], stdout=subprocess.PIPE,
                                     stderr=self.stderr, text=True, **popen_args)
        line = self.proc.stdout.readline()
        if not line.startswith("READY"):
            self.proc.kill()
            raise RuntimeError("relay did not start: %r; %s" % (line, self.log_text()))
        self.port = int(line.split()[-1].rsplit(":", 1)[1])
        return self

    def log_text(self):
        with open(self.stderr_path) as f:
            return f.read()

    def request(self, method, path, body=None, token=TOKEN, timeout=20):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        headers = {"Content-Type": "application/json"}
        if token is not None:
            headers["Authorization"] = "Bearer " + token
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
        try:
            conn.request(method, path, body=body, headers=headers)
            response = conn.getresponse()
            text = response.read().decode()
            return response.status, text
        finally:
            conn.close()

    def post_page(self, body):
        status, text = self.request("POST", "/v1/pages", body)
        if status != 202:
            raise AssertionError("POST /v1/pages: %d %s" % (status, text))
        return json.loads(text)["id"]

    def page(self, page_id):
        status, text = self.request("GET", "/v1/pages/" + page_id)
        if status != 200:
            raise AssertionError("GET page: %d %s" % (status, text))
        return json.loads(text)

    def states(self, page_id):
        return [r["state"] for r in self.page(page_id)["recipients"]]

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.stderr.close()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            code = self.proc.wait(timeout=15)
            self.proc.stdout.close()
            self.stderr.close()
            return code
        return self.proc.returncode if self.proc else None


class RelayTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="relay-test-")
        self.cleanups = []

    def tearDown(self):
        for fn in reversed(self.cleanups):
            try:
                fn()
            except Exception:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)

    def sandbox(self, port=0, name="sandbox", *args):
        s = Sandbox(self.dir, port, name, *args)
        self.cleanups.append(s.close)
        return s

    def relay(self, gateways, **kwargs):
        r = Relay(self.dir, gateways, **kwargs).start()
        self.cleanups.append(r.stop)
        return r


class Api(RelayTest):
    def test_bad_input_is_turned_away_and_never_stored(self):
        gateway = self.sandbox()
        relay = self.relay([("primary", gateway.port, 4)],
                           receivers='[[receiver]]\nname = "oncall"\npagers = ["1"]\n')
        good = {"pagers": ["5551234"], "message": "disk full"}
        cases = [
            ("POST", "/v1/pages", good, None, 401, "Authorization"),
            ("POST", "/v1/pages", good, "wrong-token", 403, "not one of"),
            ("GET", "/v1/pages/00ff", None, None, 401, "Authorization"),
            ("POST", "/v1/pages", '{"pagers": ["1"], "message": ', TOKEN, 400, "not valid JSON"),
            ("POST", "/v1/pages", {"pagers": "1", "message": "m"}, TOKEN, 400, "pagers"),
            ("POST", "/v1/pages", {"pagers": ["1"], "message": 5}, TOKEN, 400, "message"),
            ("POST", "/v1/pages", {"pagers": ["1"], "message": "a\r\nSEND"}, TOKEN, 400,
             "one line"),
            ("POST", "/v1/pages", {"receiver": "nobody", "message": "m"}, TOKEN, 404, "nobody"),
            ("POST", "/v1/alertmanager/nobody", {"version": "4"}, TOKEN, 404, "nobody"),
            ("POST", "/v1/alertmanager/oncall", {"version": "4"}, TOKEN, 400, "status"),
            ("POST", "/v1/pages", json.dumps(dict(good, message="x" * (2 << 20))), TOKEN, 413,
             "1 MiB"),
            ("GET", "/v1/pages/00ff", None, TOKEN, 404, "no page"),
            ("GET", "/v2/nothing", None, TOKEN, 404, "no such endpoint"),
        ]
        for method, path, body, token, status, words in cases:
            with self.subTest(method=method, path=path, status=status):
                got, text = relay.request(method, path, body, token=token)
                self.assertEqual(got, status, text)
                self.assertIn(words, json.loads(text)["error"])
        status, text = relay.request("GET", "/healthz", token=None)
        self.assertEqual((status, json.loads(text)["status"]), (200, "ok"))
        status, metrics = relay.request("GET", "/metrics", token=None)
        self.assertEqual(status, 200)
        self.assertIn("snpp_relay_pages_accepted_total 0\n", metrics)
        self.assertIn("snpp_relay_requests_rejected_total %d\n" % len(cases), metrics)
        with sqlite3.connect(relay.outbox) as db:
            self.assertEqual(db.execute("SELECT COUNT(*) FROM pages").fetchone()[0], 0)
        self.assertEqual(relay.stop(), 0)
        self.assertNotIn(TOKEN, relay.log_text())
        self.assertEqual(gateway.pages(), [])

    def test_a_page_goes_out_once_per_idempotency_key(self):
        gateway = self.sandbox()
        relay = self.relay([("primary", gateway.port, 4)])
        body = {"pagers": ["5551234", "5555678"], "message": "db1 disk full",
                "subject": "db1", "idempotencyKey": "incident-42"}
        first = relay.post_page(body)
        self.assertEqual(relay.post_page(body), first)
        wait_for("delivery", lambda: relay.states(first) == ["delivered", "delivered"])
        self.assertEqual(relay.post_page(body), first)
        page = relay.page(first)
        self.assertEqual(page["message"], "db1 disk full")
        self.assertEqual(page["recipients"][0]["gateway"], "primary")
        self.assertTrue(page["recipients"][0]["lastReply"].startswith("250"))
        pages = gateway.pages()
        self.assertEqual(sorted(p["pagers"][0]["id"] for p in pages), ["5551234", "5555678"])
        self.assertEqual({p["message"] for p in pages}, {"db1 disk full"})
        self.assertEqual({p["subject"] for p in pages}, {"db1"})
        status, metrics = relay.request("GET", "/metrics", token=None)
        self.assertIn('snpp_relay_recipients_total{outcome="delivered"} 2\n', metrics)
        self.assertIn("snpp_relay_pages_accepted_total 1\n", metrics)

    def test_check_config_reports_every_problem(self):
        bad = os.path.join(self.dir, "bad.toml")
        with open(bad, "w") as f:
            f.write('[relay]\noutbox = "o.db"\napi_tokens_file = "nope"\n\n[[gateway]]\n'
                    'name = "g"\nserver = "h:x"\n')
        result = subprocess.run([RELAY, "check-config", bad], capture_output=True, text=True,
                                timeout=20)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn(bad + ":3: [relay]: api_tokens_file: cannot read", result.stderr)
        self.assertIn(bad + ":7: [[gateway]] #1: server", result.stderr)
        relay = Relay(self.dir, [("g", 1, 1)])
        result = subprocess.run([RELAY, "check-config", relay.config], capture_output=True,
                                text=True, timeout=20)
        self.assertEqual(result.returncode, 0, result.stderr)
        result = subprocess.run([RELAY, "--config", bad], capture_output=True, text=True,
                                timeout=20)
        self.assertEqual(result.returncode, 2)


class Gateways(RelayTest):
    def test_pages_wait_for_a_gateway_that_is_down(self):
        port = free_port()
        relay = self.relay([("only", port, 2)])
        ids = [relay.post_page({"pagers": ["100%d" % i], "message": "while down %d" % i})
               for i in range(3)]
        wait_for("failed attempts", lambda: all(
            r["attempts"] >= 2 and r["state"] == "queued"
            for i in ids for r in relay.page(i)["recipients"]))
        self.assertIn("connect", relay.page(ids[0])["recipients"][0]["lastReply"].lower())
        gateway = self.sandbox(port)
        wait_for("delivery once the gateway is up",
                 lambda: all(relay.states(i) == ["delivered"] for i in ids))
        self.assertEqual(sorted(p["message"] for p in gateway.pages()),
                         ["while down 0", "while down 1", "while down 2"])

    def test_with_the_first_gateway_down_pages_go_through_the_second(self):
        backup = self.sandbox(name="backup")
        relay = self.relay([("primary", free_port(), 4), ("backup", backup.port, 4)])
        page_id = relay.post_page({"pagers": ["5551234"], "message": "failover"})
        wait_for("delivery", lambda: relay.states(page_id) == ["delivered"])
        recipient = relay.page(page_id)["recipients"][0]
        self.assertEqual((recipient["gateway"], recipient["attempts"]), ("backup", 2))
        self.assertEqual([p["message"] for p in backup.pages()], ["failover"])

    def test_the_pagers_of_one_page_go_in_batches_and_a_gateway_of_one_a_session_loses_none(self):
        gateway = self.sandbox(0, "sandbox", "--refuse-pager", "5550001")
        relay = self.relay([("batched", gateway.port, 2, "batch = 3\n")])
        pagers = [str(5550000 + i) for i in range(5)]
        page_id = relay.post_page({"pagers": pagers, "message": "batched"})
        wait_for("all final", lambda: "queued" not in relay.states(page_id)
                 and "sending" not in relay.states(page_id))
        self.assertEqual(relay.states(page_id),
                         ["delivered", "refused", "delivered", "delivered", "delivered"])
        # Two sessions for five (3 and 2), the refused pager's among them.
        self.assertEqual(sorted(sorted(x["id"] for x in p["pagers"]) for p in gateway.pages()),
                         [[pagers[0], pagers[2]], [pagers[3], pagers[4]]])
        self.assertNotIn("did not take another PAGE", relay.log_text())

        one = ScriptedGateway(one_page_a_session=True)
        self.cleanups.append(one.close)
        relay.stop()
        relay = Relay(self.dir, [("one", one.port, 2, "batch = 4\n")]).start()
        self.cleanups.append(relay.stop)
        page_id = relay.post_page({"pagers": ["a1", "a2", "a3", "a4"], "message": "one each"})
        wait_for("all delivered", lambda: relay.states(page_id) == ["delivered"] * 4)
        self.assertEqual([r["attempts"] for r in relay.page(page_id)["recipients"]], [1] * 4)
        self.assertEqual(one.sessions, 4)  # the first with a1, then one each for the rest
        self.assertEqual(relay.log_text().count("did not take another PAGE in a session"), 1,
                         relay.log_text())

    def test_sigterm_lets_the_relay_finish_and_exit_0(self):
        gateway = self.sandbox()
        relay = self.relay([("primary", gateway.port, 4)])
        page_id = relay.post_page({"pagers": ["1"], "message": "before stopping"})
        wait_for("delivery", lambda: relay.states(page_id) == ["delivered"])
        self.assertEqual(relay.stop(), 0)
        self.assertIn("stopped", relay.log_text())


    def test_a_tls_gateway_is_verified_against_its_ca(self):
        certs = os.path.join(self.dir, "certs")
        subprocess.run(["sh", MAKE_CERTS, certs], check=True, capture_output=True, timeout=60)
        gateway = self.sandbox(0, "tls", "--tls-cert", os.path.join(certs, "server.pem"),
                               "--tls-key", os.path.join(certs, "server.key"))
        trusted = 'tls = true\nca_file = "%s"\n' % os.path.join(certs, "ca.pem")
        relay = self.relay([("tls", gateway.port, 2, trusted)])
        page_id = relay.post_page({"pagers": ["5551234"], "message": "over tls"})
        wait_for("delivery over TLS", lambda: relay.states(page_id) == ["delivered"])
        self.assertEqual([p["message"] for p in gateway.pages()], ["over tls"])
        relay.stop()

        # A CA that does not vouch for the gateway: attempts fail, nothing reaches it.
        untrusted = 'tls = true\nca_file = "%s"\n' % os.path.join(certs, "self.pem")
        os.mkdir(os.path.join(self.dir, "untrusted"))
        relay = Relay(os.path.join(self.dir, "untrusted"), [("tls", gateway.port, 2, untrusted)]).start()
        self.cleanups.append(relay.stop)
        page_id = relay.post_page({"pagers": ["5551235"], "message": "must not arrive"})
        wait_for("a refused handshake", lambda: "not trusted" in
                 relay.page(page_id)["recipients"][0].get("lastReply", ""))
        # The relay's own hint: what to set in its configuration, not another tool's flag.
        reply = relay.page(page_id)["recipients"][0]["lastReply"]
        self.assertIn("ca_file", reply)
        self.assertNotIn("--", reply)
        self.assertEqual([p["message"] for p in gateway.pages()], ["over tls"])

        # A CA file that cannot be read is a configuration problem, with its line.
        os.mkdir(os.path.join(self.dir, "broken"))
        broken = Relay(os.path.join(self.dir, "broken"),
                       [("tls", gateway.port, 2, 'tls = true\nca_file = "missing.pem"\n')])
        checked = subprocess.run([RELAY, "check-config", broken.config], capture_output=True,
                                 text=True, timeout=30)
        self.assertEqual(checked.returncode, 2, checked.stdout + checked.stderr)
        self.assertIn("missing.pem", checked.stdout + checked.stderr)


class CrashSafety(RelayTest):
    PAGES = 200
    ROUNDS = 20

    def test_sigkill_at_random_moments_loses_and_repeats_nothing(self):
        gateway = self.sandbox()
        relay = Relay(self.dir, [("primary", gateway.port, 4)])
        self.cleanups.append(relay.stop)
        rng = random.Random(os.environ.get("RELAY_CRASH_SEED", time.time_ns()))
        accepted = {}  # index -> page id
        lock = threading.Lock()

        def post_all():
            # Posts every page not yet acknowledged; a request cut off by a kill is posted again
            # with the same idempotency key in a later round.
            for i in range(self.PAGES):
                with lock:
                    if i in accepted:
                        continue
                body = {"pagers": ["7%03d" % i, "8%03d" % i], "message": "crash page %d" % i,
                        "idempotencyKey": "crash-%d" % i}
                try:
                    page_id = relay.post_page(body)
                except (OSError, http.client.HTTPException, AssertionError):
                    return
                with lock:
                    accepted[i] = page_id

        for round_number in range(self.ROUNDS):
            relay.start()
            posters = [threading.Thread(target=post_all) for _ in range(4)]
            for t in posters:
                t.start()
            time.sleep(rng.uniform(0.02, 0.4))
            relay.kill()
            for t in posters:
                t.join(timeout=30)
        relay.start()
        post_all()
        self.assertEqual(len(accepted), self.PAGES)

        def all_final():
            states = {}
            for i, page_id in accepted.items():
                states[i] = relay.states(page_id)
                if any(s in ("queued", "sending") for s in states[i]):
                    return None
            return states
        states = wait_for("every recipient decided", all_final, timeout=120, interval=0.2)
        self.assertEqual(relay.stop(), 0)
        gateway.close()

        delivered = {}
        for p in gateway.pages():
            key = (p["message"], p["pagers"][0]["id"])
            delivered[key] = delivered.get(key, 0) + 1
        outcomes = {}
        for i, page_id in accepted.items():
            for n, pager in enumerate(("7%03d" % i, "8%03d" % i)):
                state = states[i][n]
                count = delivered.get(("crash page %d" % i, pager), 0)
                outcomes[state] = outcomes.get(state, 0) + 1
                if state == "delivered":
                    self.assertEqual(count, 1, "page %d to %s" % (i, pager))
                else:
                    self.assertEqual(state, "uncertain", "page %d to %s" % (i, pager))
                    self.assertLessEqual(count, 1, "page %d to %s" % (i, pager))
        print("crash safety: %d rounds, outcomes %s" % (self.ROUNDS, outcomes), file=sys.stderr)


@unittest.skipUnless(os.access(ALERTMANAGER, os.X_OK), "prometheus-alertmanager is not installed")
class Alertmanager(RelayTest):
    def alertmanager(self, relay, name="alertmanager", send_resolved=False):
        """A real Alertmanager of its own (no cluster) that notifies the relay's receiver oncall;
        returns a function that posts alerts to it (True once it took them)."""
        port = free_port()
        data = os.path.join(self.dir, name)
        os.mkdir(data)
        config = os.path.join(self.dir, name + ".yml")
        with open(config, "w") as f:
            f.write("""route:
  receiver: relay
  group_by: [alertname]
  group_wait: 0s
  group_interval: 1s
  repeat_interval: 1h
receivers:
  - name: relay
    webhook_configs:
      - url: http://127.0.0.1:%d/v1/alertmanager/oncall
        send_resolved: %s
        http_config:
          authorization:
            type: Bearer
            credentials: %s
""" % (relay.port, "true" if send_resolved else "false", TOKEN))
        am_log = open(os.path.join(self.dir, name + ".log"), "w")
        self.cleanups.append(am_log.close)
        am = subprocess.Popen([ALERTMANAGER, "--config.file=" + config,
                               "--storage.path=" + data,
                               "--web.listen-address=127.0.0.1:%d" % port,
                               "--cluster.listen-address="],
                              stdout=subprocess.DEVNULL, stderr=am_log)
        self.cleanups.append(lambda: (am.terminate(), am.wait(timeout=10)))

        def post(alerts):
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
            try:
                conn.request("POST", "/api/v2/alerts", body=json.dumps(alerts),
                             headers={"Content-Type": "application/json"})
                return conn.getresponse().status == 200
            except OSError:
                return False
            finally:
                conn.close()
        return post

    def test_an_alert_posted_to_alertmanager_arrives_as_a_page(self):
        gateway = self.sandbox()
        relay = self.relay(
            [("primary", gateway.port, 4)],
            receivers='[[receiver]]\nname = "oncall"\npagers = ["5551234"]\nmax_length = 160\n'
                      'template = "[{{status}}] {{labels.alertname}}: '
                      '{{annotations.summary}} ({{count}})"\n')
        post = self.alertmanager(relay)

        def post_alert():
            return post([{"labels": {"alertname": "DiskFull", "instance": "db1"},
                          "annotations": {"summary": "disk full on db1"}}])
        wait_for("Alertmanager to take the alert", post_alert, timeout=30, interval=0.2)
        pages = wait_for("the page in the sandbox log", gateway.pages, timeout=30)
        self.assertEqual(pages[0]["message"], "[firing] DiskFull: disk full on db1 (1)")
        self.assertEqual(pages[0]["pagers"][0]["id"], "5551234")
        # Alertmanager sends the same notification again; the relay does not page twice.
        self.assertTrue(post_alert())
        time.sleep(1.5)
        self.assertEqual(len(gateway.pages()), 1)

    def test_firing_again_after_resolved_is_paged_and_a_second_alertmanager_is_not(self):
        # Two Alertmanagers that do not know each other notify the relay of the same alert: each
        # notification arrives twice, and is paged once. Firing, resolved, firing again.
        gateway = self.sandbox()
        relay = self.relay(
            [("primary", gateway.port, 4)],
            receivers='[[receiver]]\nname = "oncall"\npagers = ["5551234"]\n'
                      'send_resolved = true\ntemplate = "[{{status}}] {{labels.alertname}}"\n')
        replicas = [self.alertmanager(relay, "am%d" % i, send_resolved=True) for i in (1, 2)]

        def stamp(seconds):
            return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + ".000Z"

        def to_both(alert, step):
            # Both take the alert; step pages go out, and the second copy of this step's
            # notification is answered as a repeat. Only then the next step: an Alertmanager
            # that has not yet sent "resolved" when the alert fires again sends neither.
            for post in replicas:
                wait_for("Alertmanager to take the alert", lambda: post([alert]), timeout=30,
                         interval=0.2)
            wait_for("page %d" % step, lambda: len(gateway.pages()) >= step, timeout=30)
            wait_for("the second copy of notification %d" % step, lambda: relay.log_text().count(
                "repeated: alertmanager/oncall") >= step, timeout=30)

        labels = {"alertname": "DiskFull", "instance": "db1"}
        first = time.time() - 60
        to_both({"labels": labels, "startsAt": stamp(first)}, 1)
        to_both({"labels": labels, "startsAt": stamp(first), "endsAt": stamp(time.time() - 1)}, 2)
        to_both({"labels": labels, "startsAt": stamp(time.time())}, 3)
        self.assertEqual([p["message"] for p in gateway.pages()],
                         ["[firing] DiskFull", "[resolved] DiskFull", "[firing] DiskFull"])


if __name__ == "__main__":
    RELAY, SANDBOX, MAKE_CERTS = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
