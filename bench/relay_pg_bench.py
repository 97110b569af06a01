#!/usr/bin/env python3
"""Two snpp-relays on one local PostgreSQL against one relay on SQLite, in one run.

usage: relay_pg_bench.py SNPP_RELAY SNPP_SANDBOX PG_CLUSTER_SH [OUT_JSON]

The cluster is a throwaway one made by tests/outbox/pg_cluster.sh (fsync and synchronous_commit
on, on the same disk as the SQLite outbox); the relays reach it over 127.0.0.1 with a password.
1. durable accepts/s: wrk, 16 connections for ACCEPT_SECONDS (default 10): against the SQLite
   relay; then two wrk at once, 8 connections each, one per PostgreSQL relay, summed.
2. POST -> gateway latency at 100 pages/s (open loop, LATENCY_SECONDS, default 10): one relay on
   SQLite; the two on PostgreSQL taking the pages in turn, both delivering to one sandbox.
3. rescue: relay a takes RESCUE_PAGES (default 8) recipients to a gateway that never greets (its
   sessions are before SEND) and is killed with SIGKILL; the time until relay b, lease_ttl 5 s
   (the default), has delivered them all through its own gateway.
Goals: >= 500 accepts/s together; p50 <= 20 ms, p99 <= 100 ms at 100 pages/s; rescue <= 7 s.
"""
import http.client
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.argv, ARGS = sys.argv[:3], sys.argv  # relay_bench reads its two programs from argv
import relay_bench  # noqa: E402
from relay_bench import TOKEN, start  # noqa: E402

RELAY, SANDBOX, CLUSTER = ARGS[1], ARGS[2], ARGS[3]
OUT = ARGS[4] if len(ARGS) > 4 else None
HERE = os.path.dirname(os.path.abspath(__file__))


class Cluster:
    def __init__(self):
        self.state = tempfile.mkdtemp(prefix="relay-pg-bench-")
        subprocess.run(["sh", CLUSTER, "start", self.state], check=True, timeout=180,
                       stdout=subprocess.DEVNULL)
        if os.path.exists(os.path.join(self.state, "skip")):
            with open(os.path.join(self.state, "skip")) as f:
                raise SystemExit("relay_pg_bench: " + f.read().strip())
        with open(os.path.join(self.state, "cluster.env")) as f:
            self.env = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        with open(os.path.join(self.state, "password")) as f:
            self.password = f.read().strip()
        self.databases = 0

    def psql(self, sql, database="postgres"):
        argv = [os.path.join(self.env["bindir"], "psql"), "-X", "-q", "-A", "-t", "-v",
                "ON_ERROR_STOP=1", "-h", self.env["socket_dir"], "-p", self.env["port"], "-U",
                "postgres", "-d", database]
        if os.getuid() == 0:
            argv = ["runuser", "-u", "postgres", "--"] + argv
        return subprocess.run(argv, input=sql, capture_output=True, text=True, check=True,
                              timeout=60, cwd="/tmp").stdout.strip()

    def database(self):
        self.databases += 1
        name = "bench_%d" % self.databases
        self.psql("CREATE DATABASE %s OWNER kestrel;" % name)
        return name

    def close(self):
        subprocess.run(["sh", CLUSTER, "stop", self.state], timeout=60)
        shutil.rmtree(self.state, ignore_errors=True)


class PgSetup:
    """Relays on a fresh database of the cluster, each with a gateway of its own or one shared."""

    def __init__(self, cluster, names, gateway_args=None, lease=None):
        self.dir = tempfile.mkdtemp(prefix="relay-pg-bench-")
        self.log = os.path.join(self.dir, "pages.jsonl")
        self.sandbox, sandbox_port = start([SANDBOX, "--port", "0", "--log", self.log])
        self.sandbox_port = sandbox_port
        self.extra = []
        database = cluster.database()
        with open(os.path.join(self.dir, "tokens"), "w") as f:
            f.write(TOKEN + "\n")
        os.chmod(os.path.join(self.dir, "tokens"), 0o600)
        with open(os.path.join(self.dir, "conninfo"), "w") as f:
            f.write("host=127.0.0.1 port=%s user=kestrel dbname=%s password=%s\n"
                    % (cluster.env["port"], database, cluster.password))
        os.chmod(os.path.join(self.dir, "conninfo"), 0o600)
        self.relays, self.ports, self.logs = {}, {}, []
        for n, name in enumerate(names):
            port = sandbox_port
            if gateway_args and gateway_args.get(name):
                proc, port = start([SANDBOX, "--port", "0", "--log",
                                    os.path.join(self.dir, name + ".jsonl")] + gateway_args[name])
                self.extra.append(proc)
            config = os.path.join(self.dir, name + ".toml")
            with open(config, "w") as f:
                f.write('[relay]\nlisten = "127.0.0.1:0"\napi_tokens_file = "tokens"\n\n'
                        '[outbox]\nkind = "postgresql"\nconninfo_file = "conninfo"\n%s\n'
                        '[[gateway]]\nname = "sandbox"\nserver = "127.0.0.1:%d"\n'
                        'concurrency = 8\n' % (lease or "", port))
            if n == 0:
                subprocess.run([RELAY, "migrate", config], check=True, timeout=60,
                               stdout=subprocess.DEVNULL)
            log = open(os.path.join(self.dir, name + ".log"), "w")
            self.logs.append(log)
            self.relays[name], self.ports[name] = start([RELAY, "--config", config], stderr=log)
        self.port = self.ports[names[0]]

    def close(self):
        for proc in list(self.relays.values()) + self.extra + [self.sandbox]:
            if proc.poll() is None:
                proc.terminate()
                proc.wait(timeout=30)
            proc.stdout.close()
        for log in self.logs:
            log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    logged = relay_bench.Setup.logged


def wrk(port, connections, seconds):
    env = dict(os.environ, RELAY_TOKEN=TOKEN)
    return subprocess.Popen(["wrk", "-t", "1", "-c", str(connections), "-d", "%ds" % seconds,
                             "-s", os.path.join(HERE, "relay_post.lua"),
                             "http://127.0.0.1:%d" % port],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def wrk_result(proc, seconds):
    out, err = proc.communicate(timeout=seconds + 60)
    match = re.search(r"RESULT requests=(\d+) duration_us=(\d+) non2xx=(\d+) errors=(\d+) "
                      r"p50_us=(\d+) p99_us=(\d+)", out)
    if not match:
        raise RuntimeError("wrk said: " + out + err)
    requests, duration, non2xx, errors, p50, p99 = map(int, match.groups())
    return {"accepts_per_s": (requests - non2xx) / (duration / 1e6), "requests": requests,
            "non2xx": non2xx, "errors": errors, "answer_p50_ms": p50 / 1000,
            "answer_p99_ms": p99 / 1000}


def pg_accepts(cluster, seconds):
    setup = PgSetup(cluster, ["a", "b"])
    try:
        procs = [wrk(setup.ports[name], 8, seconds) for name in ("a", "b")]
        parts = [wrk_result(p, seconds) for p in procs]
        return {"accepts_per_s": sum(p["accepts_per_s"] for p in parts),
                "non2xx": sum(p["non2xx"] for p in parts),
                "errors": sum(p["errors"] for p in parts),
                "answer_p50_ms": max(p["answer_p50_ms"] for p in parts),
                "answer_p99_ms": max(p["answer_p99_ms"] for p in parts), "relays": parts}
    finally:
        setup.close()


def pg_latency(cluster, rate, seconds):
    setup = PgSetup(cluster, ["a", "b"])
    # relay_bench's latency() posts to setup.port; a proxy object sends every other page to b.
    ports = [setup.ports["a"], setup.ports["b"]]
    turn = {"n": 0}

    class Alternating:
        logged = setup.logged

        @property
        def port(self):
            turn["n"] += 1
            return ports[turn["n"] % 2]

        def close(self):
            setup.close()
    original = relay_bench.Setup
    relay_bench.Setup = Alternating
    try:
        return relay_bench.latency(rate, seconds)
    finally:
        relay_bench.Setup = original


def rescue(cluster, pages):
    # a's gateway never greets: its sessions wait before SEND (well within their 20 s greeting
    # timeout) when a is killed; b delivers through a gateway of its own.
    setup = PgSetup(cluster, ["a"], {"a": ["--no-greeting"]}, lease='lease_ttl = "5s"\n')
    try:
        for i in range(pages):
            c = http.client.HTTPConnection("127.0.0.1", setup.ports["a"], timeout=10)
            c.request("POST", "/v1/pages", body=json.dumps({"pagers": ["555%04d" % i],
                                                             "message": "rescue %d" % i}),
                      headers={"Authorization": "Bearer " + TOKEN,
                               "Content-Type": "application/json"})
            if c.getresponse().status != 202:
                raise RuntimeError("POST refused")
            c.close()
        # Every recipient claimed by a (sending), before the kill.
        database = "bench_%d" % cluster.databases
        deadline = time.monotonic() + 30
        while cluster.psql("SELECT count(*) FROM recipients WHERE state = 'sending'",
                           database) != str(pages):
            if time.monotonic() > deadline:
                raise RuntimeError("relay a did not claim the pages")
            time.sleep(0.05)
        b_config = os.path.join(setup.dir, "b.toml")
        with open(os.path.join(setup.dir, "a.toml")) as f:
            text = f.read()
        with open(b_config, "w") as f:
            f.write(re.sub(r'server = "127.0.0.1:\d+"', 'server = "127.0.0.1:%d"'
                           % setup.sandbox_port, text))
        log = open(os.path.join(setup.dir, "b.log"), "w")
        setup.logs.append(log)
        setup.relays["b"], _ = start([RELAY, "--config", b_config], stderr=log)
        killed = time.monotonic()
        setup.relays["a"].kill()
        setup.relays["a"].wait(timeout=10)
        deadline = killed + 30
        while len(setup.logged()) < pages:
            if time.monotonic() > deadline:
                raise RuntimeError("b did not deliver a's pages within 30 s")
            time.sleep(0.02)
        return {"pages": pages, "lease_ttl_s": 5, "rescued_after_s": time.monotonic() - killed}
    finally:
        setup.close()


def main():
    accept_seconds = int(os.environ.get("ACCEPT_SECONDS", "10"))
    latency_seconds = int(os.environ.get("LATENCY_SECONDS", "10"))
    results = {"sqlite": {"accepts": relay_bench.accepts(accept_seconds),
                          "latency": relay_bench.latency(100, latency_seconds)}}
    cluster = Cluster()
    try:
        results["postgresql"] = {
            "accepts": pg_accepts(cluster, accept_seconds),
            "latency": pg_latency(cluster, 100, latency_seconds),
            "rescue": rescue(cluster, int(os.environ.get("RESCUE_PAGES", "8")))}
    finally:
        cluster.close()
    with open("/proc/loadavg") as f:
        results["loadavg"] = f.read().split()[:3]
    s, p = results["sqlite"], results["postgresql"]
    print("%-44s %14s %18s  %s" % ("", "SQLite, 1 relay", "PostgreSQL, 2", "goal"))
    print("%-44s %14.0f %18.0f  >= 500 together" % (
        "durable accepts/s (16 connections)", s["accepts"]["accepts_per_s"],
        p["accepts"]["accepts_per_s"]))
    print("%-44s %14s %18s" % (
        "  answer p50 / p99 (ms)",
        "%.1f / %.1f" % (s["accepts"]["answer_p50_ms"], s["accepts"]["answer_p99_ms"]),
        "%.1f / %.1f" % (p["accepts"]["answer_p50_ms"], p["accepts"]["answer_p99_ms"])))
    print("%-44s %14s %18s  <= 20 / <= 100" % (
        "POST -> gateway at 100 pages/s p50 / p99 (ms)",
        "%.1f / %.1f" % (s["latency"]["p50_ms"], s["latency"]["p99_ms"]),
        "%.1f / %.1f" % (p["latency"]["p50_ms"], p["latency"]["p99_ms"])))
    print("%-44s %14s %18.2f  <= 7" % ("rescue after kill -9, lease 5 s (s)", "-",
                                        p["rescue"]["rescued_after_s"]))
    print("load average: %s" % " ".join(results["loadavg"]))
    if OUT:
        with open(OUT, "w") as f:
            json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
