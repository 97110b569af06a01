#!/usr/bin/env python3
"""The gateways' health as an operator sees it: GET /v1/gateways, /metrics and
`snpp-relay gateways`, against a real relay with a closed port, a real sandbox and a sandbox
that refuses our login; and every metric the shipped alert rules read, exported.

usage: relay_gateways_test.py SNPP_RELAY SNPP_SANDBOX RULES_FILE
"""
import datetime
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import relay_test
from relay_test import TOKEN, Relay, Sandbox, free_port, wait_for

RULES = None
# A name with every byte the text format makes us escape: '"', '\' and a line feed.
ODD_NAME = 'pri"ma\\ry\nwest'
ODD_TOML = 'pri\\"ma\\\\ry\\nwest'
ODD_LABEL = 'pri\\"ma\\\\ry\\nwest'


def when(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ")


def scrape(relay):
    status, text = relay.request("GET", "/metrics", token=None)
    if status != 200:
        raise AssertionError("GET /metrics: %d %s" % (status, text))
    return text


def rule_exprs(text):
    """The `expr:` of each rule in a rules file: on its line, or a block scalar below it."""
    exprs, lines = [], text.splitlines()
    for i, line in enumerate(lines):
        key, _, rest = line.strip().partition(":")
        if key != "expr" or line.lstrip().startswith("#"):
            continue
        rest = rest.strip()
        if rest not in (">-", ">", "|", "|-"):
            exprs.append(rest)
            continue
        indent, block = len(line) - len(line.lstrip()), []
        for below in lines[i + 1:]:
            if below.strip() and len(below) - len(below.lstrip()) <= indent:
                break
            block.append(below.strip())
        exprs.append(" ".join(block))
    return exprs


def samples(text):
    """{'name{labels}': value} of a scrape in the text format."""
    found = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            series, _, value = line.rpartition(" ")
            found[series] = float(value)
    return found


class Gateways(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="relay-gateways-test-")
        self.cleanups = []

    def tearDown(self):
        for fn in reversed(self.cleanups):
            fn()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, gateways):
        relay = Relay(self.dir, gateways).start()
        self.cleanups.append(relay.stop)
        return relay

    def gateways(self, relay):
        status, text = relay.request("GET", "/v1/gateways")
        self.assertEqual(status, 200, text)
        return json.loads(text)["gateways"]

    def cli(self, relay, *args):
        token_file = os.path.join(self.dir, "operator-token")
        with open(token_file, "w") as f:
            f.write(TOKEN + "\n")
        os.chmod(token_file, 0o600)
        env = {k: v for k, v in os.environ.items() if not k.startswith("SNPP_RELAY_")}
        result = subprocess.run(
            [relay_test.RELAY, "gateways", "--url", "http://127.0.0.1:%d" % relay.port,
             "--token-file", token_file, *args],
            capture_output=True, text=True, timeout=30, env=env)
        self.assertNotIn(TOKEN, result.stdout + result.stderr)
        return result

    def test_a_closed_port_is_down_and_held_off_while_a_sandbox_takes_the_pages(self):
        sandbox = Sandbox(self.dir)
        self.cleanups.append(sandbox.close)
        relay = self.start([(ODD_TOML, free_port(), 2), ("backup", sandbox.port, 3)])
        before = self.gateways(relay)
        self.assertEqual([(g["name"], g["up"]) for g in before],
                         [(ODD_NAME, True), ("backup", True)], "up before any attempt")

        page_id = relay.post_page({"pagers": ["5551234"], "message": "disk full"})
        wait_for("the page delivered", lambda: relay.states(page_id) == ["delivered"])
        down, up = self.gateways(relay)
        self.assertFalse(down["up"])
        self.assertIn("Connection refused", down["lastError"])
        # The first failure in a row holds it off for 5 s; the page itself failed over.
        held = when(down["holdOffUntil"]) - when(down["lastErrorAt"])
        self.assertLess(abs(held.total_seconds() - 5), 0.5, down)
        self.assertIsNone(down["lastSuccess"])
        self.assertEqual((down["sessionsOpen"], down["concurrency"]), (0, 2))
        self.assertTrue(up["up"])
        self.assertNotIn("lastError", up)
        self.assertNotIn("holdOffUntil", up)
        self.assertEqual(up["server"], "127.0.0.1:%d" % sandbox.port)
        delivered_at = when(up["lastSuccess"])
        recorded = when(relay.page(page_id)["recipients"][0]["updated"])
        self.assertLess(abs((recorded - delivered_at).total_seconds()), 5)
        wait_for("the session closed",
                 lambda: self.gateways(relay)[1]["sessionsOpen"] == 0)

        # The metrics say the same; the odd name comes escaped.
        scraped = scrape(relay)
        values = samples(scraped)
        self.assertEqual(values['snpp_relay_gateway_up{gateway="%s"}' % ODD_LABEL], 0)
        self.assertEqual(values['snpp_relay_gateway_up{gateway="backup"}'], 1)
        self.assertEqual(
            values['snpp_relay_gateway_last_success_timestamp_seconds{gateway="%s"}' % ODD_LABEL],
            0)
        success = values['snpp_relay_gateway_last_success_timestamp_seconds{gateway="backup"}']
        self.assertAlmostEqual(
            success, delivered_at.replace(tzinfo=datetime.timezone.utc).timestamp(), delta=0.002)
        attempts = 'snpp_relay_gateway_attempts_total{gateway="%s",outcome="%s"}'
        self.assertEqual(values[attempts % (ODD_LABEL, "transient")], 1)
        self.assertEqual(values[attempts % ("backup", "delivered")], 1)
        self.assertEqual(values[attempts % ("backup", "transient")], 0)
        self.assertEqual(values["snpp_relay_uncertain_open"], 0)
        self.assertEqual(values["snpp_relay_queue_depth"], 0)
        self.assertGreater(values["snpp_relay_outbox_limit_bytes"],
                           values["snpp_relay_outbox_bytes"])
        self.check_metrics(scraped)

        # For people, and for scripts; 4: some up, some down.
        shown = self.cli(relay)
        self.assertEqual(shown.returncode, 4, shown.stderr)
        lines = shown.stdout.splitlines()
        self.assertEqual(lines[0].split()[:3], ["GATEWAY", "SERVER", "STATE"])
        self.assertEqual(lines[1].split()[:3],
                         ['pri"ma\\ry\\x0awest', down["server"], "down"])
        self.assertIn("Connection refused", lines[1])
        self.assertEqual(lines[2].split()[:3], ["backup", up["server"], "up"])
        as_json = self.cli(relay, "--json")
        self.assertEqual(as_json.returncode, 4)
        self.assertEqual([g["name"] for g in json.loads(as_json.stdout)["gateways"]],
                         [ODD_NAME, "backup"])

        for token, status in ((None, 401), ("not-" + TOKEN, 403)):
            answer, text = relay.request("GET", "/v1/gateways", token=token)
            self.assertEqual(answer, status, text)
            self.assertNotIn("backup", text)

    def test_every_gateway_down_a_closed_port_and_a_refused_login(self):
        login_file = os.path.join(self.dir, "sandbox-login")
        with open(login_file, "w") as f:
            f.write("ops:the-right-one\n")
        with open(os.path.join(self.dir, "password"), "w") as f:
            f.write("wr0ng-s3cret\n")
        os.chmod(os.path.join(self.dir, "password"), 0o600)
        strict = Sandbox(self.dir, 0, "strict", "--login-file", login_file)
        self.cleanups.append(strict.close)
        relay = self.start([("closed", free_port(), 2),
                            ("strict", strict.port, 2,
                             'login = "ops"\npassword_file = "password"\n')])
        relay.post_page({"pagers": ["5551234"], "message": "disk full"})
        wait_for("both down", lambda: [g["up"] for g in self.gateways(relay)] == [False, False])
        closed, refusing = self.gateways(relay)
        self.assertTrue(refusing["leftOut"])
        self.assertIn("not asked again", refusing["lastError"])
        self.assertNotIn("holdOffUntil", closed, "nothing else to send to: it is tried anyway")
        values = samples(scrape(relay))
        self.assertEqual(values['snpp_relay_gateway_up{gateway="closed"}'], 0)
        self.assertEqual(values['snpp_relay_gateway_up{gateway="strict"}'], 0)
        self.assertEqual(
            values['snpp_relay_gateway_attempts_total{gateway="strict",outcome="login_refused"}'],
            1, "not asked again")
        shown = self.cli(relay)
        self.assertEqual(shown.returncode, 1, shown.stderr)
        self.assertEqual([line.split()[2] for line in shown.stdout.splitlines()[1:]],
                         ["down", "down"])
        self.assertEqual(json.loads(self.cli(relay, "--json").stdout)["gateways"][1]["name"],
                         "strict")
        everything = json.dumps(self.gateways(relay)) + scrape(relay) + relay.log_text()
        self.assertNotIn("wr0ng-s3cret", everything)

    def check_metrics(self, scraped):
        """Every metric the rules read, or their header names, is in the scrape, which
        Prometheus' own checker accepts."""
        exported = set(re.findall(r"^# TYPE (\S+) ", scraped, re.M))
        with open(RULES) as f:
            text = f.read()
        exprs = rule_exprs(text)
        self.assertEqual(len(exprs), text.count("- alert:"), exprs)
        read = set()
        for expr in exprs:
            read |= set(re.findall(r"\bsnpp_relay_\w+", expr))
        self.assertGreaterEqual(len(read), 5, exprs)
        named = set(re.findall(r"\bsnpp_relay_\w+", text))
        self.assertEqual(sorted((read | named) - exported), [], "read by the rules, not exported")
        promtool = shutil.which("promtool")
        if not promtool:
            print("promtool is not installed (Debian prometheus): the scrape is not linted",
                  file=sys.stderr)
            return
        checked = subprocess.run([promtool, "check", "metrics"], input=scraped,
                                 capture_output=True, text=True, timeout=60)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)


if __name__ == "__main__":
    relay_test.RELAY, relay_test.SANDBOX, RULES = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
