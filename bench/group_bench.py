#!/usr/bin/env python3
"""One message to many pagers: snpp-send against HylaFAX sendpage and Perl's Net::SNPP.

usage: group_bench.py SNPP_SEND SNPP_SANDBOX OUT.json

Each configuration runs against one snpp-sandbox on 127.0.0.1 started without --login (it takes
any LOGI, as sendpage needs), once with --reply-delay 0 and once with --reply-delay 20. The
programs take turns within each round, in an order that rotates from round to round, and the
figure kept is the median over the rounds of each program's wall time divided by sendpage's in
the same round: a shared machine's load drifts, and a ratio within one round cancels most of it.

  snpp-send  one run, 100 --pager options, --concurrency 8 and the default (4)
  sendpage   one run, 100 -p options: every pager in one SNPP session
  Net::SNPP  one session, send(Pager => [100 ids])
Then one pager per run, snpp-send against sendpage, at --reply-delay 0.

Every loop is bounded (ROUNDS, default 7; SINGLE_ROUNDS, default 21) and every run has a
time limit; loopback only.
"""
import json
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
    def __init__(self, exe, delay):
        self.dir = tempfile.TemporaryDirectory()
        self.proc = subprocess.Popen(
            [exe, "--port", "0", "--reply-delay", str(delay), "--log",
             os.path.join(self.dir.name, "pages.jsonl")],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("READY"):
            raise RuntimeError("sandbox did not start: %r" % line)
        self.port = int(line.split()[-1].rsplit(":", 1)[1])

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
        "sendpage": ["sendpage", "-h", "127.0.0.1:%d" % port,
                     *[a for p in pagers for a in ("-p", p)], MESSAGE],
        "Net::SNPP": ["perl", "-e", PERL, str(port), MESSAGE, *pagers],
    }
    return progs


def rounds_of(progs, rounds):
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
            ratios[n].append(this[n] / this["sendpage"])
    return {n: {"median_s": statistics.median(times[n]),
                "ratio_to_sendpage": statistics.median(ratios[n]),
                "runs_s": times[n]} for n in names}


def main():
    send, sandbox_exe, out = sys.argv[1:4]
    for tool in ("sendpage", "perl"):
        if not shutil.which(tool):
            sys.exit("group_bench: %s is needed (apt-get install hylafax-client libnet-snpp-perl)"
                     % tool)
    rounds = int(os.environ.get("ROUNDS", "7"))
    single_rounds = int(os.environ.get("SINGLE_ROUNDS", "21"))
    results = {"pagers": len(PAGERS), "rounds": rounds, "group": {}, "single": {}}
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
    goals = {("0", "snpp-send --concurrency 8"): 1.0, ("0", "snpp-send"): 1.0,
             ("20", "snpp-send --concurrency 8"): 0.5}
    for delay, progs in results["group"].items():
        for name, fig in progs.items():
            goal = goals.get((delay, name))
            met = "" if goal is None else ("<= %.1f: %s" % (
                goal, "met" if fig["ratio_to_sendpage"] <= goal else "**not met**"))
            print("| %s ms | %s | %.3f s | %.2f | %s |" % (delay, name, fig["median_s"],
                                                          fig["ratio_to_sendpage"], met))
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
