#!/usr/bin/env python3
"""Several snpp-relays on one outbox in PostgreSQL, under the faults the shared outbox is for: a
race between relays, a relay killed or paused mid-session, the database restarted or its
connection cut, and volume. Real relays, a real server (the pg_cluster fixture's), a database
per test; the gateways' own logs are the judge of what went out.

usage: relay_pg_faults_test.py SNPP_RELAY SNPP_SANDBOX MAKE_CERTS PG_STATE [TEST ...]
RELAY_PG_VOLUME=N runs the volume case with N pages instead of 5,000 (a run by hand).
"""
import collections
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import relay_pg_test  # noqa: E402
import relay_test  # noqa: E402
from relay_pg_test import PgTest, psql  # noqa: E402
from relay_test import wait_for  # noqa: E402

LEASE_TTL = 3.0  # seconds; the relays' [outbox] lease_ttl in these tests
LEASE = 'lease_ttl = "3s"\n'


class HoldingGateway:
    """An SNPP gateway on loopback that can hold its answers: to PAGE for pagers starting with
    "1" (the relay's session is before SEND), to SEND for those starting with "2" (after SEND),
    until release(). Every other command is answered at once. It logs the pagers
    whose SEND it received and those it answered 250 to SEND."""

    def __init__(self):
        self.released = threading.Event()
        self.lock = threading.Lock()
        self.waiting = 0
        self.sends = []
        self.delivered = []
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _hold(self):
        with self.lock:
            self.waiting += 1
        self.released.wait(timeout=120)
        with self.lock:
            self.waiting -= 1

    def _serve(self, conn):
        with conn:
            conn.settimeout(120)
            try:
                conn.sendall(b"220 holding gateway ready\r\n")
                pager, in_data = "", False
                for raw in conn.makefile("rb"):
                    line = raw.decode("utf-8", "replace").rstrip("\r\n")
                    if in_data:
                        if line == ".":
                            in_data = False
                            conn.sendall(b"250 Message OK\r\n")
                        continue
                    verb, _, rest = line.partition(" ")
                    verb = verb.upper()
                    if verb == "PAGE":
                        pager = rest.strip()
                        if pager.startswith("1"):
                            self._hold()
                        conn.sendall(b"250 Pager ID Accepted\r\n")
                    elif verb == "DATA":
                        in_data = True
                        conn.sendall(b"354 Begin Input; End with <CRLF>'.'<CRLF>\r\n")
                    elif verb == "SEND":
                        with self.lock:
                            self.sends.append(pager)
                        if pager.startswith("2"):
                            self._hold()
                        conn.sendall(b"250 Message Sent Successfully\r\n")
                        with self.lock:
                            self.delivered.append(pager)
                    elif verb == "QUIT":
                        conn.sendall(b"221 OK, Goodbye\r\n")
                        return
                    else:
                        conn.sendall(b"250 OK\r\n")
            except OSError:
                return

    def held(self):
        with self.lock:
            return self.waiting

    def release(self):
        self.released.set()

    def close(self):
        self.released.set()
        self.sock.close()


class CuttingProxy:
    """A TCP proxy on loopback in front of the database. Once armed, the first connection to
    write `statement` gets no answer to it: the proxy holds back what the server says, waits
    until `committed()` is true, and then cuts the connection: a commit whose answer is lost."""

    def __init__(self, port, statement, committed):
        self.target, self.statement, self.committed = port, statement.encode(), committed
        self.armed, self.cut = threading.Event(), threading.Event()
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.sock.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target), timeout=30)
            seen = threading.Event()
            threading.Thread(target=self._up, args=(client, server, seen), daemon=True).start()
            threading.Thread(target=self._down, args=(client, server, seen), daemon=True).start()

    def _up(self, client, server, seen):
        try:
            while data := client.recv(65536):
                if self.armed.is_set() and not self.cut.is_set() and self.statement in data:
                    seen.set()
                server.sendall(data)
        except OSError:
            pass

    def _down(self, client, server, seen):
        try:
            while data := server.recv(65536):
                if seen.is_set():
                    wait_for("the held statement's commit", self.committed, timeout=10)
                    self.cut.set()
                    for s in (client, server):
                        s.shutdown(socket.SHUT_RDWR)
                        s.close()
                    return
                client.sendall(data)
        except OSError:
            pass

    def close(self):
        self.sock.close()


def sent_pagers(sandbox):
    return collections.Counter(p["pagers"][0]["id"] for p in sandbox.pages())


def delivered(relay, page):
    """Whether every recipient of `page` is delivered; false while the relay cannot say (503)."""
    status, text = relay.request("GET", "/v1/pages/" + page)
    return status == 200 and {r["state"] for r in json.loads(text)["recipients"]} == {"delivered"}


class FaultsTest(PgTest):
    def relays(self, gateways, names, lease=LEASE, start=True, **kwargs):
        """Relays on the test's database, migrated by the first, all started unless not."""
        relays = [self.pg_relay(gateways, name=name, start=False, outbox=lease, **kwargs)
                  for name in names]
        migrated = self.run_relay(relays[0], "migrate", relays[0].config)
        self.assertEqual(migrated.returncode, 0, migrated.stderr)
        for relay in relays if start else ():
            relay.start()
        return relays

    def states(self):
        """Recipients per state, from the database itself."""
        rows = psql(self.env, self.database,
                    "SELECT state, count(*) FROM recipients GROUP BY state")
        return {s: int(n) for s, n in (row.split("|") for row in rows.splitlines() if row)}

    def settled(self):
        """Recipients per state once none is queued or sending; else None."""
        states = self.states()
        return states if states and not (states.get("queued") or states.get("sending")) else None

    def recipients(self, page):
        """pager -> (state, token, gateway, last_reply) of one page's recipients."""
        rows = psql(self.env, self.database,
                    "SELECT pager, state, token, gateway, replace(last_reply, '|', '/') "
                    "FROM recipients WHERE page_id = '%s' ORDER BY idx" % page)
        return {r[0]: tuple(r[1:]) for r in (row.split("|") for row in rows.splitlines())}

    def pause_or_kill_mid_session(self, stop):
        """Relay a takes ten recipients to a gateway that holds them, five before SEND and five
        after; relay b, with a gateway that answers, starts; then `stop(a)`. Returns the page,
        the relays, both gateways and when a was stopped."""
        holding = HoldingGateway()
        self.cleanups.append(holding.close)
        rescue = self.sandbox(name="rescue")
        a, = self.relays([("holding", holding.port, 10)], ["a"])
        before = ["100%d" % i for i in range(5)]  # held at PAGE
        after = ["200%d" % i for i in range(5)]  # held at SEND
        page = a.post_page({"pagers": before + after, "message": "mid-session"})
        wait_for("a's ten sessions held by the gateway", lambda: holding.held() == 10)
        self.assertEqual(sorted(holding.sends), after)
        b = self.pg_relay([("rescue", rescue.port, 10)], name="b", outbox=LEASE)
        stopped = time.monotonic()
        stop(a)
        return page, a, b, holding, rescue, before, after, stopped

    def rescued(self, b, page, before, after):
        states = b.states(page)
        return states[:5] == ["delivered"] * 5 and states[5:] == ["uncertain"] * 5 and states


class Race(FaultsTest):
    def test_three_relays_race_over_a_thousand_recipients(self):
        gateway = self.sandbox()
        relays = self.relays([("primary", gateway.port, 8)], ["a", "b", "c"])
        pagers = ["%04d" % i for i in range(1000)]
        pages = [pagers[i:i + 10] for i in range(0, 1000, 10)]

        def post(relay, share):
            for n, group in share:
                relay.post_page({"pagers": group, "message": "race %d" % n})
        threads = [threading.Thread(target=post, args=(relay, list(enumerate(pages))[k::3]))
                   for k, relay in enumerate(relays)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        wait_for("every recipient delivered", lambda: self.states() == {"delivered": 1000},
                 timeout=120, interval=0.2)
        wait_for("the gateway's log", lambda: len(gateway.pages()) >= 1000)
        sent = sent_pagers(gateway)
        self.assertEqual(sorted(sent), pagers)
        self.assertEqual({n for n in sent.values()}, {1}, [p for p, n in sent.items() if n > 1])
        # It was a race: every relay sent some of them.
        owners = psql(self.env, self.database, "SELECT count(DISTINCT owner) FROM recipients")
        self.assertEqual(owners, "3")


class DeadRelay(FaultsTest):
    def test_kill_9_mid_session_rescues_before_send_and_never_resends_after(self):
        page, a, b, holding, rescue, before, after, killed = \
            self.pause_or_kill_mid_session(lambda relay: relay.kill())
        try:
            states = wait_for("the dead relay's recipients resolved",
                              lambda: self.rescued(b, page, before, after), timeout=30)
        except AssertionError:
            print(self.recipients(page), b.log_text(), file=sys.stderr)
            raise
        elapsed = time.monotonic() - killed
        print("rescued %d recipients %.2f s after kill -9 (lease %.0f s)"
              % (len(before), elapsed, LEASE_TTL), file=sys.stderr)
        self.assertLessEqual(elapsed, LEASE_TTL + 2, states)
        self.assertEqual(sorted(sent_pagers(rescue)), before)
        self.assertEqual(sorted(holding.sends), after)
        rows = self.recipients(page)
        for pager in after:
            self.assertIn("not resent", rows[pager][3])

    def test_sigstop_past_the_lease_writes_no_send_and_its_late_finish_is_dropped(self):
        page, a, b, holding, rescue, before, after, _ = \
            self.pause_or_kill_mid_session(lambda relay: relay.proc.send_signal(signal.SIGSTOP))
        try:
            wait_for("the paused relay's recipients resolved",
                     lambda: self.rescued(b, page, before, after), timeout=30)
            taken_over = self.recipients(page)
            holding.release()  # a's sessions get their answers the moment it runs again
        finally:
            a.proc.send_signal(signal.SIGCONT)
        wait_for("a's sessions ended", lambda: holding.held() == 0 and "lost: page" in a.log_text())
        # SEND went out after SEND only: for the sessions before it, a found its claims lost.
        wait_for("the gateway's late answers settled",
                 lambda: b.states(page) == ["delivered"] * 10)
        self.assertEqual(sorted(holding.sends), after)
        self.assertEqual(sorted(sent_pagers(rescue)), before)
        after_resume = self.recipients(page)
        for pager in before:  # b's claims and outcomes stand; a changed nothing of them
            self.assertEqual(after_resume[pager], taken_over[pager])
            self.assertEqual(after_resume[pager][2], "rescue")
        for pager in after:  # the gateway's late 250, recorded by a, settles the uncertain ones
            self.assertEqual(after_resume[pager][0], "delivered")
            self.assertEqual(after_resume[pager][2], "holding")
        self.assertEqual(a.stop(), 0)
        log = a.log_text()
        self.assertEqual(log.count("lost: page"), len(before))
        # Its late finishes, queued under its old tokens, changed nothing.
        self.assertEqual(log.count("(queued) was refused: the recipient had left its claim"),
                         len(before))


class Connection(FaultsTest):
    def test_its_connection_terminated_a_relay_reconnects_and_goes_on_sending(self):
        # a's one session slot is held by its gateway, so b sends every page that a accepts:
        # a's commit wakes b (LISTEN/NOTIFY), or b's timer finds it within a second.
        holding = HoldingGateway()
        self.cleanups.append(holding.close)
        gateway = self.sandbox()
        a, = self.relays([("holding", holding.port, 1)], ["a"])
        a.post_page({"pagers": ["1000"], "message": "holds a's slot"})
        wait_for("a's slot held", lambda: holding.held() == 1)
        b = self.pg_relay([("primary", gateway.port, 4)], name="b", outbox=LEASE)
        page = a.post_page({"pagers": ["1"], "message": "before the cut"})
        wait_for("delivery by b", lambda: b.states(page) == ["delivered"])

        cut = psql(self.env, self.database,
                   "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                   "WHERE datname = current_database() AND pid <> pg_backend_pid()")
        self.assertEqual(cut, "2")  # each relay's one connection, its LISTEN with it

        def accepted(n):
            # a answers 503 until its connection is back; the same key makes one page.
            status, text = a.request("POST", "/v1/pages", {
                "pagers": [str(n)], "message": "after the cut %d" % n,
                "idempotencyKey": "cut-%d" % n})
            self.assertIn(status, (202, 503), text)
            return status == 202 and json.loads(text)["id"]
        latencies = []
        for n in range(2, 7):
            page = wait_for("a taking pages again", lambda: accepted(n), timeout=20)
            posted = time.monotonic()
            wait_for("delivery by b", lambda: delivered(b, page), timeout=20)
            latencies.append(time.monotonic() - posted)
        print("POST to a -> delivered by b after the cut: %s s"
              % ", ".join("%.2f" % t for t in latencies), file=sys.stderr)
        # The timer's fallback bounds each; b's reconnection is over by the second page.
        self.assertLessEqual(max(latencies[1:]), 3.0, latencies)
        sent = sent_pagers(gateway)
        # 1000 too, if a's lease ran out while it reconnected (then a wrote no SEND for it).
        self.assertEqual(sorted(set(sent) - {"1000"}), [str(n) for n in range(1, 7)])
        self.assertEqual(set(sent.values()), {1})
        self.assertEqual(holding.sends, [])

    def test_a_send_mark_whose_answer_is_lost_is_sent_once_not_left_uncertain(self):
        # The mark commits, its answer is lost with the connection: the relay cannot know it
        # committed, so SEND does not go out; it knows SEND did not, and says so (queued) once
        # the database is back, before its lease lapses into uncertain.
        gateway = self.sandbox()
        a, = self.relays([("primary", gateway.port, 4)], ["a"], start=False)
        proxy = CuttingProxy(int(self.env["port"]), "kestrel_mark_send_written", lambda: psql(
            self.env, self.database, "SELECT count(*) FROM recipients WHERE send_written") == "1")
        self.cleanups.append(proxy.close)
        with open(os.path.join(a.folder, "conninfo"), "w") as f:
            f.write("host=127.0.0.1 port=%d sslmode=disable user=kestrel dbname=%s password=%s\n"
                    % (proxy.port, self.database, self.env["password"]))
        a.start()
        proxy.armed.set()
        page = a.post_page({"pagers": ["5551234"], "message": "mark lost"})
        wait_for("the cut", proxy.cut.is_set)
        states = wait_for("the recipient decided", self.settled, timeout=20, interval=0.1)
        self.assertEqual(states, {"delivered": 1}, self.recipients(page))
        self.assertEqual(sent_pagers(gateway), {"5551234": 1})
        self.assertIn("lost: page " + page, a.log_text())


class DatabaseRestart(FaultsTest):
    PAGES = 600

    def cluster(self, command):
        done = subprocess.run(["sh", self.env["script"], command, relay_pg_test.PG_STATE],
                              capture_output=True, text=True, timeout=90)
        self.assertEqual(done.returncode, 0, done.stderr)

    def test_the_database_restarted_or_away_loses_nothing_and_doubles_nothing(self):
        gateway = self.sandbox()
        relays = self.relays([("primary", gateway.port, 8)], ["a", "b"])
        accepted, refused = {}, collections.Counter()
        lock = threading.Lock()

        def post(relay, numbers):
            # Paced, so the run spans the restart; a page not answered 202 is posted again with
            # its key until it is.
            pending = list(numbers)
            deadline = time.monotonic() + 120
            while pending and time.monotonic() < deadline:
                n = pending[0]
                try:
                    status, text = relay.request("POST", "/v1/pages", {
                        "pagers": ["8%04d" % n], "message": "restart %d" % n,
                        "idempotencyKey": "restart-%d" % n}, timeout=30)
                except (OSError, http.client.HTTPException):
                    status, text = "cut off", ""
                with lock:
                    if status == 202:
                        accepted[n] = json.loads(text)["id"]
                        pending.pop(0)
                    else:
                        refused[status] += 1
                time.sleep(0.04 if status == 202 else 0.05)
        threads = [threading.Thread(target=post, args=(relays[k % 2], range(k, self.PAGES, 4)))
                   for k in range(4)]
        for t in threads:
            t.start()
        try:
            wait_for("a quarter accepted", lambda: len(accepted) >= self.PAGES // 4, timeout=60)
            self.cluster("restart")  # pg_ctl restart -m immediate: a crash and a start
            wait_for("half accepted", lambda: len(accepted) >= self.PAGES // 2, timeout=60)
            self.cluster("down")
            # While the database is away: not ready, and no page is answered 202.
            for relay in relays:
                wait_for("/readyz failing", lambda: relay.request("GET", "/readyz", token=None)[0]
                         == 503, timeout=20)
                status, text = relay.request("POST", "/v1/pages",
                                             {"pagers": ["x"], "message": "while away"})
                self.assertEqual(status, 503, text)
                self.assertIn("try again later", json.loads(text)["error"])
            status, text = relays[0].request("GET", "/readyz", token=None)
            self.assertIn("reason", json.loads(text))
        finally:
            self.cluster("up")
        for t in threads:
            t.join(timeout=150)
        self.assertEqual(len(accepted), self.PAGES, refused)
        for relay in relays:
            wait_for("/readyz again", lambda: relay.request("GET", "/readyz", token=None)[0] == 200)
        states = wait_for("every recipient decided", self.settled, timeout=60, interval=0.2)
        # Every 202 was a commit; a key posted again made no second page.
        stored = set(psql(self.env, self.database, "SELECT id FROM pages").split())
        self.assertEqual(stored, set(accepted.values()))
        wait_for("the gateway's log", lambda: len(gateway.pages()) >= states.get("delivered", 0))
        sent = sent_pagers(gateway)
        rows = psql(self.env, self.database,
                    "SELECT pager, state, replace(last_reply, '|', '/') FROM recipients")
        uncertain = []
        for pager, state, reply in (row.split("|") for row in rows.splitlines()):
            if state == "delivered":
                self.assertEqual(sent[pager], 1, pager)
            else:
                # Uncertain only where SEND never reached the gateway: the mark committed as the
                # database went away, its answer lost, and the lease lapsed before the relay could
                # say so. A page that went out is recorded delivered, however late.
                self.assertEqual((state, sent[pager]), ("uncertain", 0), (pager, reply))
                uncertain.append(pager)
        self.assertEqual([p for p, n in sent.items() if n > 1], [], "doubled")
        print("database restarted and away: %d pages, %s; refused meanwhile %s; uncertain, "
              "never sent: %s" % (self.PAGES, states, dict(refused), uncertain), file=sys.stderr)


class Volume(FaultsTest):
    PAGES = int(os.environ.get("RELAY_PG_VOLUME", "5000"))

    def test_pages_through_two_relays_none_doubled_none_lost(self):
        gateway = self.sandbox()
        relays = self.relays([("primary", gateway.port, 16)], ["a", "b"],
                             extra='retain = "1m"\n' if self.PAGES > 20000 else "")
        started = time.monotonic()
        ids = {}
        lock = threading.Lock()

        def post(relay, numbers):
            for n in numbers:
                body = {"pagers": ["9%06d" % n], "message": "volume %d" % n}
                if self.PAGES <= 20000:  # a live key keeps its page from retention
                    body["idempotencyKey"] = "volume-%d" % n
                page = relay.post_page(body)
                with lock:
                    ids[n] = page
        threads = [threading.Thread(target=post, args=(relays[k % 2], range(k, self.PAGES, 16)))
                   for k in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=3600)
        self.assertEqual(len(ids), self.PAGES)
        accepted = time.monotonic() - started
        states = wait_for("every recipient decided", self.settled, timeout=max(120, self.PAGES / 50),
                          interval=0.5)
        done = time.monotonic() - started
        wait_for("the gateway's log", lambda: len(gateway.pages()) >=
                 states.get("delivered", 0))
        sent = sent_pagers(gateway)
        self.assertEqual([p for p, n in sent.items() if n > 1], [], "doubled")
        uncertain = int(psql(self.env, self.database,
                             "SELECT count(*) FROM recipients WHERE state = 'uncertain'"))
        pruned = self.PAGES - int(psql(self.env, self.database, "SELECT count(*) FROM pages"))
        missing = [n for n in range(self.PAGES) if "9%06d" % n not in sent]
        # Nothing here makes a page uncertain (no relay dies, the gateway answers every SEND):
        # every page went out exactly once.
        self.assertEqual((uncertain, missing[:10]), (0, []))
        if pruned == 0:
            self.assertEqual(states, {"delivered": self.PAGES})
        if self.PAGES > 20000:
            # By hand, with retain = 1m: retention (once a minute, in small batches) keeps the
            # tables to about the last two minutes of pages, however many went through.
            wait_for("retention", lambda: psql(
                self.env, self.database, "SELECT count(*) FROM pages "
                "WHERE created_at < now() - interval '150 seconds'") == "0",
                timeout=300, interval=2)
            pruned = self.PAGES - int(psql(self.env, self.database, "SELECT count(*) FROM pages"))
        size = psql(self.env, self.database,
                    "SELECT count(*), pg_size_pretty(pg_total_relation_size('pages') + "
                    "pg_total_relation_size('recipients') + pg_total_relation_size('page_keys')) "
                    "FROM pages")
        print("volume: %d pages through two relays: accepted in %.1f s, all sent in %.1f s "
              "(%.0f pages/s); %d uncertain, %d doubled, %d lost; %d pruned; the tables now: %s"
              % (self.PAGES, accepted, done, self.PAGES / done, uncertain, 0, len(missing),
                 pruned, size), file=sys.stderr)


if __name__ == "__main__":
    (relay_test.RELAY, relay_test.SANDBOX, relay_test.MAKE_CERTS,
     relay_pg_test.PG_STATE) = sys.argv[1:5]
    unittest.main(argv=sys.argv[:1] + sys.argv[5:], verbosity=2)
