#!/usr/bin/env python3
"""Prints the benchmark figures against their goals, as Markdown, from scripts/bench.sh results.

    python3 bench/report.py build-bench/results

Reads throughput.json, memory_*.json, tool.json (Google Benchmark JSON), callgrind.session and
callgrind.whole with their cost.*.txt page counts, and machine.txt. Parts whose files are missing
are left out. Standard library only.
"""

import glob
import json
import os
import re
import sys

CONCURRENCIES = (1, 16, 256)
KINDS = (("level1", "level 1"), ("level2_all_options", "level 2, every option"))


def load(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def verdict(ok):
    return "met" if ok else "**not met**"


def paired(results):
    """(kind, concurrency) -> the paired control/floor benchmark run."""
    doc = load(os.path.join(results, "throughput.json"))
    out = {}
    for b in (doc or {}).get("benchmarks", []):
        m = re.match(r"BM_ControlVsFloor/(\w+)/concurrency:(\d+)/", b["name"])
        if m and "ratio" in b:
            out[(m.group(1), int(m.group(2)))] = b
    return out


def throughput(results):
    runs = paired(results)
    if not runs:
        return
    print("### Throughput (pages/s; control and floor in alternating batches, medians)\n")
    print("| page | sessions at once | control | floor | control/floor (p25-p75) | goal >= 0.9 |"
          " client CPU µs/page control / floor | deepest DoEvents nesting (stack) |")
    print("|---|---:|---:|---:|---:|---|---|---:|")
    for kind, label in KINDS:
        for c in CONCURRENCIES:
            b = runs.get((kind, c))
            if not b:
                continue
            print(f"| {label} | {c} | {b['control_pages_per_s']:,.0f} | "
                  f"{b['floor_pages_per_s']:,.0f} | {b['ratio']:.2f} "
                  f"({b['ratio_p25']:.2f}-{b['ratio_p75']:.2f}) | {verdict(b['ratio'] >= 0.9)} | "
                  f"{b['control_cpu_us_per_page']:.0f} / {b['floor_cpu_us_per_page']:.0f} | "
                  f"{b['max_do_events_depth']:.0f} ({b['max_do_events_stack_kib']:.0f} KiB) |")
    print()


def memory(results):
    rows = []
    for path in sorted(glob.glob(os.path.join(results, "memory_*.json"))):
        doc = load(path)
        for b in (doc or {}).get("benchmarks", []):
            rows.append(b)
    if not rows:
        return
    by = {b["run_name"].split("/iterations")[0]: b for b in rows}
    print("### Memory (heap bytes per control; glibc chunk sizes, kernel socket buffers aside)\n")
    print("| state | heap bytes | heap blocks | resident bytes (cross-check) |")
    print("|---|---:|---:|---:|")
    names = [
        ("BM_IdleControl/configured:0", "idle, new"),
        ("BM_IdleControl/configured:1", "idle, every level-2 property set"),
        ("BM_IdleAfterPage", "growth after one delivered page (level 1)"),
        ("BM_SessionInFlight/held_at_send:0", "in flight, waiting for the greeting (growth)"),
        ("BM_SessionInFlight/held_at_send:1", "in flight, level 2 written up to SEND (growth)"),
    ]
    for key, label in names:
        b = by.get(key)
        if b:
            print(f"| {label} | {b['heap_bytes_per_control']:,.0f} | "
                  f"{b['heap_blocks_per_control']:.1f} | {b['rss_bytes_per_control']:,.0f} |")
    idle = max((by[k]["heap_bytes_per_control"] for k, _ in names[:2] if k in by), default=None)
    after = by.get("BM_IdleAfterPage")
    flight = [by[k]["heap_bytes_per_control"] for k, _ in names[3:] if k in by]
    print()
    if idle is not None:
        idle_total = idle + (after["heap_bytes_per_control"] if after else 0)
        print(f"- idle control, configured and after a page: {idle_total:,.0f} B = "
              f"{idle_total / 2048:.2f} of the 2 KiB goal ({verdict(idle_total <= 2048)})")
        if flight:
            total = idle + max(flight)
            print(f"- session in flight, the control included: {total:,.0f} B = "
                  f"{total / 8192:.2f} of the 8 KiB goal ({verdict(total <= 8192)})")
    print()


def callgrind_total(path):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith("totals:") or line.startswith("summary:"):
                    value = int(line.split()[1])
                    if value:
                        return value
    except OSError:
        pass
    return None


def inclusive(path, patterns):
    """Sum of the inclusive counts of the functions whose names contain any of `patterns`,
    taking each function once (its first, outermost line)."""
    total = 0
    seen = set()
    try:
        with open(path) as f:
            for line in f:
                m = re.match(r"\s*([\d,]+) \([^)]*\)\s+\S*?:(.*) \[", line)
                if not m:
                    continue
                name = m.group(2)
                if name.endswith("'2") or name in seen:
                    continue
                for p in patterns:
                    if p in name:
                        seen.add(name)
                        total += int(m.group(1).replace(",", ""))
                        break
    except OSError:
        return None
    return total


def pages_of(results, mode):
    try:
        with open(os.path.join(results, f"cost.{mode}.txt")) as f:
            return int(f.read().split()[-1])
    except (OSError, ValueError, IndexError):
        return None


def cost(results):
    s_total = callgrind_total(os.path.join(results, "callgrind.session"))
    w_total = callgrind_total(os.path.join(results, "callgrind.whole"))
    s_pages, w_pages = pages_of(results, "session"), pages_of(results, "whole")
    if not (s_total and w_total and s_pages and w_pages):
        return
    s_all = s_total / s_pages
    whole = w_total / w_pages
    # The session's own work in the fakes run: what its entry points take, less the fakes they
    # call into.
    inc = os.path.join(results, "callgrind.session.inclusive.txt")
    entry = inclusive(inc, ["SNPPInstance::sck_DataArrival(", "SNPPInstance::Send[abi:cxx11]()"])
    fakes = inclusive(inc, ["FakeSocket::SendData(", "FakeSocket::GetData", "FakeSocket::Close(",
                            "FakeSocket::Connect(", "FakeTimer::SetEnabled("])
    logic = (entry - fakes) / s_pages if entry is not None and fakes is not None else None
    print("### Instructions per level-2 page (callgrind, user space)\n")
    print("| path | instructions/page |")
    print("|---|---:|")
    print(f"| session on the fakes, everything in the run | {s_all:,.0f} |")
    if logic:
        print(f"| session logic alone (its entry points, less the fakes they call) | {logic:,.0f} |")
    print(f"| whole client path (Asio socket and timer, host, loop) | {whole:,.0f} |")
    print()
    share = (logic or s_all) / whole
    print(f"- session logic / whole path: {share:.2f} (goal < 0.10: {verdict(share < 0.10)}); "
          f"with the fakes' own work counted: {s_all / whole:.2f}")
    print()


def tool(results):
    doc = load(os.path.join(results, "tool.json"))
    if not doc:
        return
    b = next((b for b in doc.get("benchmarks", []) if "Tool" in b["name"]), None)
    if not b:
        return
    ratio = b["ratio"]
    print("### snpp-send, process start to exit, one page (median)\n")
    print("| snpp-send | minimal_client | ratio | goal <= 1.2 |")
    print("|---:|---:|---:|---|")
    print(f"| {b['snpp_send_median_us']:,.0f} µs | {b['minimal_median_us']:,.0f} µs | "
          f"{ratio:.2f} | {verdict(ratio <= 1.2)} |")
    print()


def machine(results):
    try:
        with open(os.path.join(results, "machine.txt")) as f:
            print("Machine: " + "; ".join(line.strip() for line in f if line.strip()) + "\n")
    except OSError:
        pass


def main():
    results = sys.argv[1] if len(sys.argv) > 1 else "build-bench/results"
    machine(results)
    throughput(results)
    memory(results)
    cost(results)
    tool(results)


if __name__ == "__main__":
    main()
