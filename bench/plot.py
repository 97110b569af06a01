#!/usr/bin/env python3
"""Draws pages/s against concurrency, control and floor, from scripts/bench.sh's throughput
results. Made on demand (scripts/bench.sh plot), not in CI; needs python3-matplotlib.

    python3 bench/plot.py build-bench/results/throughput.json docs/throughput.png
"""

import json
import re
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

CONCURRENCIES = (1, 16, 256)
KINDS = (("level1", "level 1"), ("level2_all_options", "level 2, every option"))


def main():
    source, target = sys.argv[1], sys.argv[2]
    with open(source) as f:
        doc = json.load(f)
    runs = {}
    for b in doc["benchmarks"]:
        m = re.match(r"BM_ControlVsFloor/(\w+)/concurrency:(\d+)/", b["name"])
        if m and "ratio" in b:
            runs[(m.group(1), int(m.group(2)))] = b

    fig, axes = plt.subplots(1, 2, figsize=(10, 4), sharey=True)
    for ax, (kind, label) in zip(axes, KINDS):
        xs = [c for c in CONCURRENCIES if (kind, c) in runs]
        for key, style, name in (("control_pages_per_s", "o-", "paging control"),
                                 ("floor_pages_per_s", "s--", "floor (plain Asio)")):
            ax.plot(xs, [runs[(kind, c)][key] for c in xs], style, label=name)
        for c in xs:
            ax.annotate(f"{runs[(kind, c)]['ratio']:.2f}", (c, runs[(kind, c)]["control_pages_per_s"]),
                        textcoords="offset points", xytext=(0, -14), ha="center", fontsize=8)
        ax.set_xscale("log", base=2)
        ax.set_xticks(CONCURRENCIES, [str(c) for c in CONCURRENCIES])
        ax.set_xlabel("sessions at once on one loop thread")
        ax.set_title(label)
        ax.grid(True, alpha=0.3)
        ax.set_ylim(bottom=0)
    axes[0].set_ylabel("pages per second (median of batches)")
    axes[0].legend(loc="lower right")
    context = doc.get("context", {})
    fig.suptitle("Pages/s to snpp-sandbox over loopback, control beside floor; numbers: ratio "
                 f"({context.get('num_cpus', '?')} CPUs, {context.get('date', '')[:10]})")
    fig.tight_layout()
    fig.savefig(target, dpi=110)
    print(f"wrote {target}")


if __name__ == "__main__":
    main()
