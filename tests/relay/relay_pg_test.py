#!/usr/bin/env python3
"""snpp-relay on the shared outbox in PostgreSQL: the real relay, a real server (the pg_cluster
fixture's), a database per test, real sandboxes as gateways.

usage: relay_pg_test.py SNPP_RELAY SNPP_SANDBOX MAKE_CERTS PG_STATE
The relays log in over TCP with a password kept in the conninfo_file; no output may show it.
"""
import json
import os
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import relay_test  # noqa: E402  (the Sandbox and Relay helpers)
from relay_test import Relay, RelayTest, wait_for  # noqa: E402

PG_STATE = None


def cluster():
    with open(os.path.join(PG_STATE, "cluster.env")) as f:
        env = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    with open(os.path.join(PG_STATE, "password")) as f:
        env["password"] = f.read().strip()
    return env


def psql(env, database, sql):
    """Runs `sql` as the cluster's superuser; returns its output."""
    result = subprocess.run(
        [os.path.join(env["bindir"], "psql"), "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
         "-h", env["socket_dir"], "-p", env["port"], "-U", "postgres", "-d", database],
        input=sql, capture_output=True, text=True, timeout=60)
    if result.returncode != 0:
        raise AssertionError("psql: %s" % result.stderr)
    return result.stdout.strip()


class PgRelay(Relay):
    """A Relay whose outbox is the test's database, named by [outbox] conninfo_file."""

    def __init__(self, folder, env, database, gateways, name="relay", outbox="", **kwargs):
        sub = os.path.join(folder, name)
        os.makedirs(sub, exist_ok=True)
        super().__init__(sub, gateways, **kwargs)
        with open(os.path.join(sub, "conninfo"), "w") as f:
            f.write("# the shared outbox\nhost=127.0.0.1 port=%s user=kestrel dbname=%s\n"
                    "password=%s\n" % (env["port"], database, env["password"]))
        os.chmod(os.path.join(sub, "conninfo"), 0o600)  # the relay warns of wider modes
        with open(self.config) as f:
            text = f.read().replace('outbox = "outbox.db"\n', "")
        with open(self.config, "w") as f:
            f.write(text + '\n[outbox]\nkind = "postgresql"\nconninfo_file = "conninfo"\n' + outbox)

    def run(self, *args):
        return subprocess.run([relay_test.RELAY, *args], capture_output=True, text=True,
                              timeout=60)


class PgTest(RelayTest):
    """A database of its own for each test, and relays on it."""

    def setUp(self):
        super().setUp()
        skip = os.path.join(PG_STATE, "skip")
        if os.path.exists(skip):
            with open(skip) as f:
                self.skipTest(f.read().strip())
        self.env = cluster()
        self.database = "relay_" + self._testMethodName[5:40]
        psql(self.env, "postgres", "DROP DATABASE IF EXISTS %s WITH (FORCE);\n"
                                   "CREATE DATABASE %s OWNER kestrel;" % ((self.database,) * 2))
        self.outputs = []

    def tearDown(self):
        super().tearDown()
        for text in self.outputs:
            self.assertNotIn(self.env["password"], text)

    def pg_relay(self, gateways, name="relay", start=True, **kwargs):
        relay = PgRelay(self.dir, self.env, self.database, gateways, name, **kwargs)
        # Cleanups run last first: stop the relay, then read all it logged.
        self.cleanups.append(lambda: self.outputs.append(relay.log_text()))
        self.cleanups.append(relay.stop)
        if start:
            relay.start()
        return relay

    def run_relay(self, relay, *args):
        result = relay.run(*args)
        self.outputs += [result.stdout, result.stderr]
        return result


class SharedOutbox(PgTest):
    def test_migrate_makes_the_schema_and_a_relay_refuses_one_it_does_not_know(self):
        gateway = self.sandbox()
        relay = self.pg_relay([("primary", gateway.port, 4)], start=False)
        refused = self.run_relay(relay, "--config", relay.config)
        self.assertEqual(refused.returncode, 1, refused.stderr)
        self.assertIn("no outbox schema yet", refused.stderr)
        self.assertIn("snpp-relay migrate", refused.stderr)

        for words in ("created the outbox schema at version", "the outbox schema is at version"):
            done = self.run_relay(relay, "migrate", relay.config)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn(words, done.stdout)

        relay.start()
        page = relay.post_page({"pagers": ["5551234", "5555678"], "message": "db1 disk full"})
        wait_for("delivery", lambda: relay.states(page) == ["delivered", "delivered"])
        self.assertEqual(sorted(p["pagers"][0]["id"] for p in gateway.pages()),
                         ["5551234", "5555678"])
        self.assertEqual(relay.stop(), 0)
        self.outputs.append(relay.log_text())
        self.assertIn("the shared outbox in PostgreSQL", relay.log_text())

        # A newer relay migrated the database: neither starting nor migrating goes on.
        psql(self.env, self.database, "INSERT INTO schema_version (version) VALUES (99)")
        for args in (("--config", relay.config), ("migrate", relay.config),
                     ("--migrate", "--config", relay.config)):
            result = self.run_relay(relay, *args)
            self.assertEqual(result.returncode, 1, args)
            self.assertIn("newer than this relay knows", result.stderr)

    def test_two_relays_share_one_outbox_and_one_webhook_makes_one_page(self):
        gateway = self.sandbox()
        oncall = '[[receiver]]\nname = "oncall"\npagers = ["900"]\n'
        first = self.pg_relay([("primary", gateway.port, 4)], name="a", start=False,
                              receivers=oncall)
        migrated = self.run_relay(first, "migrate", first.config)
        self.assertEqual(migrated.returncode, 0, migrated.stderr)
        first.start()
        second = self.pg_relay([("primary", gateway.port, 4)], name="b", receivers=oncall)

        # The same request to both at the same instant: an API call with its key, and
        # Alertmanager's notification sent to every relay.
        notification = {"version": "4", "status": "firing", "receiver": "pager",
                        "groupKey": "{}:{alertname=\"DiskFull\"}",
                        "alerts": [{"status": "firing", "fingerprint": "f00d",
                                    "labels": {"alertname": "DiskFull"},
                                    "annotations": {"summary": "db1 /var at 97%"}}]}
        requests = [("/v1/pages", {"pagers": ["100", "200"], "message": "one incident",
                                   "idempotencyKey": "inc-7"}),
                    ("/v1/alertmanager/oncall", notification)]
        for path, body in requests:
            ids = {}

            def post(relay, path=path, body=body):
                status, text = relay.request("POST", path, body)
                ids[relay] = (status, json.loads(text)["id"])
            threads = [threading.Thread(target=post, args=(r,)) for r in (first, second)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=30)
            self.assertEqual(len(set(ids.values())), 1, ids)
            status, page = ids[first]
            self.assertEqual(status, 202)
            wait_for("delivery", lambda: set(second.states(page)) == {"delivered"})

        # Pages accepted by one relay are sent by either; each pager's page goes out once.
        pagers = [str(1000 + i) for i in range(30)]
        more = first.post_page({"pagers": pagers, "message": "to many"})
        wait_for("delivery", lambda: set(second.states(more)) == {"delivered"})
        sent = sorted(p["pagers"][0]["id"] for p in gateway.pages())
        self.assertEqual(sent, sorted(["100", "200", "900"] + pagers))

    def test_an_operator_acts_through_one_relay_and_the_other_sees_it(self):
        gateway = self.sandbox()
        first = self.pg_relay([("primary", gateway.port, 4)], name="a", start=False)
        self.assertEqual(self.run_relay(first, "migrate", first.config).returncode, 0)
        first.start()
        second = self.pg_relay([("primary", gateway.port, 4)], name="b")
        resent = first.post_page({"pagers": ["701"], "message": "resend me"})
        dismissed = first.post_page({"pagers": ["702"], "message": "dismiss me"})
        wait_for("delivery", lambda: second.states(resent) == ["delivered"] and
                 second.states(dismissed) == ["delivered"])
        # As a relay that lost its lease after SEND leaves them.
        psql(self.env, self.database, "UPDATE recipients SET state = 'uncertain'")

        status, text = second.request("GET", "/v1/pages?state=uncertain&limit=1")
        listed = json.loads(text)
        self.assertEqual((status, listed["pages"][0]["id"]), (200, dismissed), text)
        status, text = second.request("GET", "/v1/pages?state=uncertain&cursor=" + listed["next"])
        self.assertEqual([p["id"] for p in json.loads(text)["pages"]], [resent])

        status, text = first.request("POST", "/v1/pages/%s/recipients/701/resend" % resent, {})
        self.assertEqual((status, json.loads(text)["recipients"][0]["state"]), (200, "queued"))
        status, text = second.request("POST", "/v1/pages/%s/recipients/702/dismiss" % dismissed,
                                      {"note": "it arrived"})
        self.assertEqual(status, 200, text)
        wait_for("the resent page delivered again", lambda: first.states(resent) == ["delivered"])
        recipient = second.page(resent)["recipients"][0]
        self.assertEqual((recipient["attempts"], recipient["actedBy"]), (2, "line 2"))
        self.assertEqual(first.page(dismissed)["recipients"][0]["note"], "it arrived")
        sent = sorted(p["pagers"][0]["id"] for p in gateway.pages())
        self.assertEqual(sent, ["701", "701", "702"])
        status, text = first.request("POST", "/v1/pages/%s/recipients/702/resend" % dismissed, {})
        self.assertEqual((status, json.loads(text)["state"]), (409, "dismissed"))


if __name__ == "__main__":
    relay_test.RELAY, relay_test.SANDBOX, relay_test.MAKE_CERTS, PG_STATE = sys.argv[1:5]
    unittest.main(argv=sys.argv[:1], verbosity=2)
