#!/usr/bin/env python3
"""The gateways' health as an operator sees it (GET /v1/gateways, /metrics, `snpp-relay
gateways`) from a real relay with a closed port, a sandbox, and a sandbox refusing our login;
and every metric the shipped alert rules name, exported and accepted by promtool.

usage: relay_gateways_test.py SNPP_RELAY SNPP_SANDBOX RULES_FILE
"""
import datetime
import json
import os
import re
import resource
import shutil
import subprocess
import sys
import unittest

import relay_test
from relay_test import TOKEN, free_port, wait_for

RULES = None
ODD = ('pri"ma\\ry\nwest', 'pri\\"ma\\\\ry\\nwest')  # the name; in TOML and as a metric label


def when(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ")


class Gateways(relay_test.RelayTest):
    def file(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o600)
        return path

    def gateways(self, relay):
        status, text = relay.request("GET", "/v1/gateways")
        self.assertEqual(status, 200, text)
        return json.loads(text)["gateways"]

    def metrics(self, relay):
        status, text = relay.request("GET", "/metrics", token=None)
        self.assertEqual(status, 200, text)
        values = dict(line.rsplit(" ", 1) for line in text.splitlines() if line[:1] != "#")
        return text, {series: float(value) for series, value in values.items()}

    def cli(self, relay, *args):
        env = {k: v for k, v in os.environ.items() if not k.startswith("SNPP_RELAY_")}
        result = subprocess.run(
            [relay_test.RELAY, "gateways", "--url", "http://127.0.0.1:%d" % relay.port,
             "--token-file", self.file("operator-token", TOKEN + "\n"), *args],
            capture_output=True, text=True, timeout=30, env=env)
        self.assertNotIn(TOKEN, result.stdout + result.stderr)
        return result

    def test_a_closed_port_is_down_and_held_off_while_a_sandbox_takes_the_pages(self):
        sandbox = self.sandbox()
        relay = self.relay([(ODD[1], free_port(), 2), ("backup", sandbox.port, 3)])
        page_id = relay.post_page({"pagers": ["5551234"], "message": "disk full"})
        wait_for("the page delivered", lambda: relay.states(page_id) == ["delivered"])
        down, up = self.gateways(relay)  # at once: the hold-off lasts 5 s
        wait_for("the session closed", lambda: self.gateways(relay)[1]["sessionsOpen"] == 0)
        self.assertEqual((down["name"], down["up"], down["lastSuccess"]), (ODD[0], False, None))
        self.assertIn("Connection refused", down["lastError"])
        held = when(down["holdOffUntil"]) - when(down["lastErrorAt"])
        self.assertLess(abs(held.total_seconds() - 5), 0.5, "the first hold-off is 5 s")
        self.assertEqual((up["up"], up["concurrency"]), (True, 3))
        self.assertFalse({"lastError", "holdOffUntil"} & set(up))

        scraped, values = self.metrics(relay)
        expected = {
            'snpp_relay_gateway_up{gateway="%s"}' % ODD[1]: 0,
            'snpp_relay_gateway_up{gateway="backup"}': 1,
            'snpp_relay_gateway_last_success_timestamp_seconds{gateway="%s"}' % ODD[1]: 0,
            'snpp_relay_gateway_attempts_total{gateway="%s",outcome="transient"}' % ODD[1]: 1,
            'snpp_relay_gateway_attempts_total{gateway="backup",outcome="delivered"}': 1,
            'snpp_relay_gateway_attempts_total{gateway="backup",outcome="transient"}': 0,
            "snpp_relay_uncertain_open": 0,
            "snpp_relay_queue_depth": 0,
        }
        self.assertEqual({k: values.get(k) for k in expected}, expected)
        success = when(up["lastSuccess"]).replace(tzinfo=datetime.timezone.utc).timestamp()
        self.assertAlmostEqual(
            values['snpp_relay_gateway_last_success_timestamp_seconds{gateway="backup"}'],
            success, delta=0.002)
        self.assertGreater(values["snpp_relay_outbox_limit_bytes"],
                           values["snpp_relay_outbox_bytes"])
        # Every metric the rules (their expressions and their header) name is exported.
        with open(RULES) as f:
            named = set(re.findall(r"\bsnpp_relay_\w+", f.read()))
        exported = set(re.findall(r"^# TYPE (\S+) ", scraped, re.M))
        self.assertGreaterEqual(len(named), 8)
        self.assertEqual(sorted(named - exported), [])
        if shutil.which("promtool"):
            checked = subprocess.run(["promtool", "check", "metrics"], input=scraped,
                                     capture_output=True, text=True, timeout=60)
            self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        else:
            print("promtool is not installed (Debian prometheus): the scrape is not linted")

        shown = self.cli(relay)
        self.assertEqual(shown.returncode, 4, shown.stderr)
        rows = [line.split()[:3] for line in shown.stdout.splitlines()]
        self.assertEqual(rows, [["GATEWAY", "SERVER", "STATE"],
                                ['pri"ma\\ry\\x0awest', down["server"], "down"],
                                ["backup", up["server"], "up"]])
        as_json = self.cli(relay, "--json")
        self.assertEqual((as_json.returncode, json.loads(as_json.stdout)["gateways"][1]["name"]),
                         (4, "backup"))
        self.assertEqual(relay.request("GET", "/v1/gateways", token=None)[0], 401)

    def test_every_gateway_down_a_closed_port_and_a_refused_login(self):
        strict = self.sandbox(0, "strict", "--login-file", self.file("login", "ops:the-right-1\n"))
        self.file("password", "wr0ng-s3cret\n")
        # A file-size limit (ulimit -f) is the outbox's limit when the disk has more room.
        limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 20, 64 << 20))
        relay = relay_test.Relay(self.dir, [("closed", free_port(), 2), (
            "strict", strict.port, 2, 'login = "ops"\npassword_file = "password"\n')])
        self.cleanups.append(relay.start(preexec_fn=limit).stop)
        relay.post_page({"pagers": ["5551234"], "message": "disk full"})
        wait_for("both down", lambda: [g["up"] for g in self.gateways(relay)] == [False, False])
        closed, refusing = self.gateways(relay)
        self.assertTrue(refusing["leftOut"])
        self.assertIn("not asked again", refusing["lastError"])
        self.assertNotIn("holdOffUntil", closed, "nothing else to send to: tried all the same")
        scraped, values = self.metrics(relay)
        self.assertEqual(
            values['snpp_relay_gateway_attempts_total{gateway="strict",outcome="login_refused"}'],
            1, "not asked again")
        self.assertEqual(values["snpp_relay_outbox_limit_bytes"], 64 << 20)
        shown = self.cli(relay)
        self.assertEqual(shown.returncode, 1, shown.stderr)
        self.assertEqual([line.split()[2] for line in shown.stdout.splitlines()[1:]],
                         ["down", "down"])
        self.assertEqual(json.loads(self.cli(relay, "--json").stdout)["gateways"][0]["up"], False)
        self.assertNotIn("wr0ng-s3cret", shown.stdout + scraped + relay.log_text())


if __name__ == "__main__":
    relay_test.RELAY, relay_test.SANDBOX, RULES = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
