#!/usr/bin/env python3
"""One message to many pagers: snpp-send against HylaFAX sendpage and Perl's Net::SNPP.

usage: group_bench.py SNPP_SEND SNPP_SANDBOX OUT.json

Each configuration runs against one snpp-sandbox on 127.0.0.1 started without --login (it takes
any LOGI, as sendpage needs), once with --reply-delay 0 and once with --reply-delay 20. The
programs take turns within each round, in an order that rotates from round to round, and the
figure kept is the median over the rounds of each program's wall time divided by sendpage's in
the same round: a shared machine's load drifts, and a ratio within one round cancels most of it.

  snpp-send  one run, 100 --pager options, --concurrency 8 and the default (4), both with the
             default --batch (25 pagers a session); and --batch 1 --concurrency 8 (a session
             per pager)
  sendpage   one run, 100 -p options: every pager in one SNPP session
  Net::SNPP  one session, send(Pager => [100 ids])
Then the connections snpp-send opens for the 100 pagers, counted on the server side (one page
line a session in the sandbox's log: every session here sends); snpp-send with --tls against
plain at --reply-delay 0 (a TLS sandbox beside a plain one; ratio TLS / plain within each
round); and one pager per run, snpp-send against sendpage, at --reply-delay 0.

Every loop is bounded (ROUNDS, default 7; SINGLE_ROUNDS, default 21) and every run has a
time limit; loopback only.
"""
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PAGERS = [str(5550000 + i) for i in range(100)]
MESSAGE = "disk full on db1"
PERL = r'''
use strict; use Net::SNPP;
my ($port, $msg, @pagers) = @ARGV;
my $s = Net::SNPP->new("127.0.0.1", Port => $port, Timeout => 60) or die "connect: $!\n";
$s->send(Pager => \@pagers, Message => $msg) or die "send: " . $s->message . "\n";
$s->quit;
'''


class Sandbox:
    def __init__(self, exe, delay, *args):
        self.dir = tempfile.TemporaryDirectory()
        self.log = os.path.join(self.dir.name, "pages.jsonl")
        self.proc = subprocess.Popen(
            [exe, "--port", "0", "--reply-delay", str(delay), "--log", self.log, *args],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("READY"):
            raise RuntimeError("sandbox did not start: %r" % line)
        self.port = int(line.split()[-1].rsplit(":", 1)[1])

    def sessions(self, at_least, wait=10.0):
        """Page lines in the log (one per session that sent), waiting (bounded) for `at_least`:
        the sandbox writes its log from a thread of its own."""
        give_up = time.monotonic() + wait
        while True:
            with open(self.log) as f:
                n = sum(1 for l in f if l.endswith("\n"))
            if n >= at_least or time.monotonic() > give_up:
                return n
            time.sleep(0.01)

    def pagers(self):
        with open(self.log) as f:
            return sum(len(json.loads(l)["pagers"]) for l in f if l.endswith("\n"))

    def close(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.dir.cleanup()


def timed(argv):
    start = time.perf_counter()
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    took = time.perf_counter() - start
    if r.returncode != 0:
        raise RuntimeError("%s failed (%d): %s %s" % (argv[0], r.returncode, r.stdout[-300:],
                                                     r.stderr[-300:]))
    return took


def programs(send, port, pagers):
    pager_args = [a for p in pagers for a in ("--pager", p)]
    base = [send, "--port", str(port), "--message", MESSAGE, *pager_args]
    progs = {
        "snpp-send --concurrency 8": base + ["--concurrency", "8"],
        "snpp-send": base,
        "snpp-send --batch 1 --concurrency 8": base + ["--batch", "1", "--concurrency", "8"],
        "sendpage": ["sendpage", "-h", "127.0.0.1:%d" % port,
                     *[a for p in pagers for a in ("-p", p)], MESSAGE],
        "Net::SNPP": ["perl", "-e", PERL, str(port), MESSAGE, *pagers],
    }
    return progs


def rounds_of(progs, rounds, base="sendpage"):
    names = list(progs)
    times = {n: [] for n in names}
    ratios = {n: [] for n in names}
    for k in range(rounds):
        order = names[k % len(names):] + names[:k % len(names)]
        this = {}
        for n in order:
            this[n] = timed(progs[n])
            times[n].append(this[n])
        for n in names:
            ratios[n].append(this[n] / this[base])
    return {n: {"median_s": statistics.median(times[n]),
                "ratio_to_" + base: statistics.median(ratios[n]),
                "runs_s": times[n]} for n in names}


def connections(send, sandbox_exe):
    """Sessions snpp-send opens for the 100 pagers at each --batch, on the server's count."""
    out = {}
    for batch in (25, 10, 1):
        sb = Sandbox(sandbox_exe, 0)
        try:
            progs = programs(send, sb.port, PAGERS)
            timed(progs["snpp-send --concurrency 8"] + ["--batch", str(batch)])
            goal = math.ceil(len(PAGERS) / batch)
            out[str(batch)] = {"sessions": sb.sessions(goal), "pagers": sb.pagers(), "goal": goal}
        finally:
            sb.close()
    return out


def tls_against_plain(send, sandbox_exe, certs, rounds):
    plain = Sandbox(sandbox_exe, 0)
    tls = Sandbox(sandbox_exe, 0, "--tls-cert", os.path.join(certs, "server.pem"),
                  "--tls-key", os.path.join(certs, "server.key"))
    try:
        base = programs(send, plain.port, PAGERS)["snpp-send --concurrency 8"]
        over_tls = programs(send, tls.port, PAGERS)["snpp-send --concurrency 8"] + [
            "--tls", "--ca-file", os.path.join(certs, "ca.pem")]
        one = ["--batch", "1"]
        progs = {"plain": base, "TLS": over_tls, "plain --batch 1": base + one,
                 "TLS --batch 1": over_tls + one}
        rounds_of(progs, 1, base="plain")
        return rounds_of(progs, rounds, base="plain")
    finally:
        plain.close()
        tls.close()


def main():
    send, sandbox_exe, out = sys.argv[1:4]
    for tool in ("sendpage", "perl"):
        if not shutil.which(tool):
            sys.exit("group_bench: %s is needed (apt-get install hylafax-client libnet-snpp-perl)"
                     % tool)
    rounds = int(os.environ.get("ROUNDS", "7"))
    single_rounds = int(os.environ.get("SINGLE_ROUNDS", "21"))
    results = {"pagers": len(PAGERS), "rounds": rounds, "group": {}, "single": {}}
    results["connections"] = connections(send, sandbox_exe)
    make_certs = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tls",
                              "make_certs.sh")
    with tempfile.TemporaryDirectory() as certs:
        subprocess.run(["sh", make_certs, certs], check=True, capture_output=True, timeout=60)
        results["tls"] = tls_against_plain(send, sandbox_exe, certs, rounds)
    for delay in (0, 20):
        sb = Sandbox(sandbox_exe, delay)
        try:
            progs = programs(send, sb.port, PAGERS)
            rounds_of(progs, 1)  # warm-up: page cache, first connections
            results["group"][str(delay)] = rounds_of(progs, rounds)
        finally:
            sb.close()
    sb = Sandbox(sandbox_exe, 0)
    try:
        progs = programs(send, sb.port, PAGERS[:1])
        progs = {n: progs[n] for n in ("snpp-send", "sendpage")}
        rounds_of(progs, 1)
        results["single"]["0"] = rounds_of(progs, single_rounds)
    finally:
        sb.close()
    with open(out, "w") as f:
        json.dump(results, f, indent=1)
    report(results)


def report(results):
    print("\n### %d pagers, one message (median of %d alternating rounds)\n"
          % (results["pagers"], results["rounds"]))
    print("| reply delay | program | wall time | ratio to sendpage | goal |")
    print("| --- | --- | --- | --- | --- |")
    goals = {("0", "snpp-send --concurrency 8"): 0.6, ("0", "snpp-send"): 0.6,
             ("20", "snpp-send --concurrency 8"): 0.15, ("20", "snpp-send"): 0.15}
    for delay, progs in results["group"].items():
        for name, fig in progs.items():
            goal = goals.get((delay, name))
            met = "" if goal is None else ("<= %.2f: %s" % (
                goal, "met" if fig["ratio_to_sendpage"] <= goal else "**not met**"))
            print("| %s ms | %s | %.3f s | %.2f | %s |" % (delay, name, fig["median_s"],
                                                          fig["ratio_to_sendpage"], met))
    if "connections" in results:
        print("\n### connections opened for %d pagers (the sandbox's count)\n" % results["pagers"])
        print("| --batch | sessions | pagers delivered | goal: at most ceil(%d / batch) |"
              % results["pagers"])
        print("| --- | --- | --- | --- |")
        for batch, fig in results["connections"].items():
            print("| %s | %d | %d | %d: %s |" % (batch, fig["sessions"], fig["pagers"], fig["goal"],
                                                "met" if fig["sessions"] <= fig["goal"]
                                                else "**not met**"))
    if "tls" in results:
        print("\n### TLS against plain, %d pagers, reply delay 0, --concurrency 8\n"
              % results["pagers"])
        print("| client | wall time | ratio to plain (default --batch) |")
        print("| --- | --- | --- |")
        for name, fig in results["tls"].items():
            print("| %s | %.3f s | %.2f |" % (name, fig["median_s"], fig["ratio_to_plain"]))
    print("\n### one pager per run, reply delay 0\n")
    print("| program | wall time | ratio to sendpage |")
    print("| --- | --- | --- |")
    for name, fig in results["single"]["0"].items():
        print("| %s | %.1f ms | %.2f |" % (name, fig["median_s"] * 1000,
                                          fig["ratio_to_sendpage"]))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--report":
        with open(sys.argv[2]) as f:
            report(json.load(f))
    else:
        main()
