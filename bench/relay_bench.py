#!/usr/bin/env python3
"""snpp-relay benchmarks: durable accepts per second, and POST-to-gateway latency.

usage: relay_bench.py SNPP_RELAY SNPP_SANDBOX [OUT_JSON]

1. accepts: wrk, 16 connections, for ACCEPT_SECONDS (default 10): every 202 is answered only
   after its page was committed (WAL, synchronous FULL). The relay delivers meanwhile, to a
   sandbox with no reply delay, as it would in service.
2. latency: pages posted at a fixed rate (10 and 100 per second, open loop, LATENCY_SECONDS
   each, default 10); each page's latency runs from just before its POST to the time the sandbox
   logged it. p50 and p99.
Goals: >= 500 accepts/s; p99 < 50 ms at 100 pages/s.
"""
import datetime
import http.client
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

RELAY, SANDBOX = sys.argv[1], sys.argv[2]
OUT = sys.argv[3] if len(sys.argv) > 3 else None
TOKEN = "bench-token"
HERE = os.path.dirname(os.path.abspath(__file__))


def start(argv, env=None, stderr=None):
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=stderr, text=True, env=env)
    line = proc.stdout.readline()
    if not line.startswith("READY"):
        proc.kill()
        raise RuntimeError("%s did not start: %r" % (argv[0], line))
    return proc, int(line.split()[-1].rsplit(":", 1)[1])


class Setup:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="relay-bench-")
        self.log = os.path.join(self.dir, "pages.jsonl")
        self.sandbox, sandbox_port = start([SANDBOX, "--port", "0", "--log", self.log])
        with open(os.path.join(self.dir, "tokens"), "w") as f:
            f.write(TOKEN + "\n")
        config = os.path.join(self.dir, "relay.toml")
        with open(config, "w") as f:
            f.write('[relay]\nlisten = "127.0.0.1:0"\noutbox = "outbox.db"\n'
                    'api_tokens_file = "tokens"\n\n[[gateway]]\nname = "sandbox"\n'
                    'server = "127.0.0.1:%d"\nconcurrency = 8\n' % sandbox_port)
        self.relay_log = open(os.path.join(self.dir, "relay.log"), "w")
        self.relay, self.port = start([RELAY, "--config", config], stderr=self.relay_log)

    def close(self):
        for proc in (self.relay, self.sandbox):
            proc.terminate()
            proc.wait(timeout=30)
            proc.stdout.close()
        self.relay_log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def logged(self):
        times = {}
        with open(self.log) as f:
            for line in f:
                if line.endswith("\n"):
                    page = json.loads(line)
                    times[page["message"]] = datetime.datetime.fromisoformat(
                        page["time"].replace("Z", "+00:00")).timestamp()
        return times


def accepts(seconds):
    setup = Setup()
    try:
        env = dict(os.environ, RELAY_TOKEN=TOKEN)
        result = subprocess.run(["wrk", "-t", "2", "-c", "16", "-d", "%ds" % seconds, "-s",
                                 os.path.join(HERE, "relay_post.lua"),
                                 "http://127.0.0.1:%d" % setup.port],
                                capture_output=True, text=True, env=env, timeout=seconds + 60)
        match = re.search(r"RESULT requests=(\d+) duration_us=(\d+) non2xx=(\d+) errors=(\d+) "
                          r"p50_us=(\d+) p99_us=(\d+)", result.stdout)
        if not match:
            raise RuntimeError("wrk said: " + result.stdout + result.stderr)
        requests, duration, non2xx, errors, p50, p99 = map(int, match.groups())
        return {"accepts_per_s": (requests - non2xx) / (duration / 1e6), "requests": requests,
                "non2xx": non2xx, "errors": errors, "answer_p50_ms": p50 / 1000,
                "answer_p99_ms": p99 / 1000}
    finally:
        setup.close()


def latency(rate, seconds):
    setup = Setup()
    try:
        sent = {}
        conns = threading.local()

        def post(message):
            if not hasattr(conns, "c"):
                conns.c = http.client.HTTPConnection("127.0.0.1", setup.port, timeout=10)
            body = json.dumps({"pagers": ["5551234"], "message": message})
            sent[message] = time.time()
            conns.c.request("POST", "/v1/pages", body=body,
                            headers={"Authorization": "Bearer " + TOKEN,
                                     "Content-Type": "application/json"})
            response = conns.c.getresponse()
            response.read()
            if response.status != 202:
                raise RuntimeError("POST answered %d" % response.status)

        # Open loop: a page every 1/rate s whatever the answers do; a few threads so that a slow
        # answer does not hold the next page back.
        count = int(rate * seconds)
        start_at = time.monotonic()
        slots = [threading.Semaphore(0) for _ in range(4)]
        queue = []
        lock = threading.Lock()

        def worker(slot):
            while True:
                slot.acquire()
                with lock:
                    if not queue:
                        return
                    message = queue.pop(0)
                post(message)

        threads = [threading.Thread(target=worker, args=(s,)) for s in slots]
        for t in threads:
            t.start()
        for i in range(count):
            delay = start_at + i / rate - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            with lock:
                queue.append("latency %d %d" % (rate, i))
            slots[i % len(slots)].release()
        for s in slots:
            s.release()
        for t in threads:
            t.join(timeout=60)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            logged = setup.logged()
            if all(m in logged for m in sent):
                break
            time.sleep(0.1)
        samples = sorted((logged[m] - sent[m]) * 1000 for m in sent if m in logged)
        missing = len(sent) - len(samples)

        def pct(p):
            return samples[min(len(samples) - 1, int(p / 100 * len(samples)))]
        return {"rate": rate, "pages": len(sent), "missing": missing, "p50_ms": pct(50),
                "p99_ms": pct(99), "max_ms": samples[-1]}
    finally:
        setup.close()


def main():
    results = {"accepts": accepts(int(os.environ.get("ACCEPT_SECONDS", "10")))}
    seconds = int(os.environ.get("LATENCY_SECONDS", "10"))
    results["latency"] = [latency(10, seconds), latency(100, seconds)]
    a = results["accepts"]
    print("durable accepts/s (16 clients): %.0f   (goal >= 500)  non-2xx %d, errors %d, "
          "answer p50 %.1f ms p99 %.1f ms" % (a["accepts_per_s"], a["non2xx"], a["errors"],
                                              a["answer_p50_ms"], a["answer_p99_ms"]))
    for r in results["latency"]:
        print("POST to sandbox log at %3d pages/s: p50 %.1f ms  p99 %.1f ms  max %.1f ms  "
              "(%d pages, %d missing)%s" % (r["rate"], r["p50_ms"], r["p99_ms"], r["max_ms"],
                                             r["pages"], r["missing"],
                                             "   (goal p99 < 50 ms)" if r["rate"] == 100 else ""))
    if OUT:
        with open(OUT, "w") as f:
            json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
