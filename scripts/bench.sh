#!/usr/bin/env bash
# Builds the benchmarks in Release (build-bench) and runs them. Results go to build-bench/results/
# (Google Benchmark JSON, callgrind profiles) and a table against the goals is printed.
#
#   scripts/bench.sh [all|throughput|memory|cost|tool|tls|group|relay|relay-pg|report|plot]  (default: all)
#
# throughput  pages/s, controls against the plain Asio floor, 1/16/256 at once, level 1 and 2
# memory      heap bytes per idle control and per session in flight
# cost        instructions per level-2 page under callgrind: session alone, whole client path
# tool        snpp-send start to exit against minimal_client
# tls         pages/s with TLS against plain, 1 and 16 sessions, the handshake's share of a page
# group       100 pagers, one message: snpp-send (--batch 25 and 1) against HylaFAX sendpage and
#             Net::SNPP at --reply-delay 0 and 20 ms; the sessions opened for 100 pagers; --tls
#             against plain; one pager per run against sendpage (ROUNDS=, SINGLE_ROUNDS=)
# relay       snpp-relay: durable accepts/s from 16 HTTP clients (wrk), POST-to-gateway latency
# relay-pg    two snpp-relays on one local PostgreSQL (a throwaway cluster) side by side with one
#             on SQLite: accepts/s, latency at 100 pages/s, rescue time after kill -9
# report      print the table again from the saved results
# plot        docs/throughput.png from the saved throughput results (needs python3-matplotlib)
#
# The machine may be shared and busy: control and floor run side by side in PAIRS alternating
# batches (default 40) and the ratio is taken within each pair; see bench/throughput_bench.cpp.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}
out=$build/results
what=${1:-all}
pairs=${PAIRS:-40}

build() {
  scripts/deps.sh
  command -v valgrind >/dev/null || { echo "bench: valgrind is needed for 'cost' (apt-get install valgrind)" >&2; }
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_BENCH=ON \
    -DKESTREL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target kestrel_bench kestrel_bench_memory \
    kestrel_page_cost minimal_client snpp-send snpp-sandbox snpp-relay
  mkdir -p "$out"
}

machine() {
  {
    echo "date: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
    echo "nproc: $(nproc)"
    echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
    echo "kernel: $(uname -r)"
    echo "compiler: $(c++ --version | head -1)"
    echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "commit: $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
  } >"$out/machine.txt"
}

throughput() {
  KESTREL_BENCH_PAIRS=$pairs "$build/bench/kestrel_bench" --benchmark_filter='ControlVsFloor' \
    --benchmark_out="$out/throughput.json" --benchmark_out_format=json
}

memory() {
  # One process per figure, so that the resident-memory cross-check starts from a fresh heap.
  local names=(BM_IdleControl/configured:0/iterations:1 BM_IdleControl/configured:1/iterations:1
               BM_IdleAfterPage/iterations:1 BM_SessionInFlight/held_at_send:0/iterations:1
               BM_SessionInFlight/held_at_send:1/iterations:1)
  local i=0
  for name in "${names[@]}"; do
    "$build/bench/kestrel_bench_memory" --benchmark_filter="^${name}\$" \
      --benchmark_out="$out/memory_$i.json" --benchmark_out_format=json
    i=$((i + 1))
  done
}

cost() {
  local pages=${COST_PAGES:-1000}
  for mode in session whole; do
    valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$out/callgrind.$mode" \
      "$build/bench/kestrel_page_cost" "$mode" "$pages" 2>"$out/valgrind.$mode.log"
    callgrind_annotate --inclusive=yes "$out/callgrind.$mode" >"$out/callgrind.$mode.inclusive.txt"
    callgrind_annotate "$out/callgrind.$mode" >"$out/callgrind.$mode.self.txt"
    echo "$mode pages $pages" >"$out/cost.$mode.txt"
  done
}

tls() {
  "$build/bench/kestrel_bench" --benchmark_filter='TlsVsPlain' --benchmark_counters_tabular=true \
    --benchmark_out="$out/tls.json" --benchmark_out_format=json
}

tool() {
  "$build/bench/kestrel_bench" --benchmark_filter='Tool' \
    --benchmark_out="$out/tool.json" --benchmark_out_format=json
}

group() {
  python3 bench/group_bench.py "$build/tools/send/snpp-send" "$build/tools/sandbox/snpp-sandbox" \
    "$out/group.json"
}

relay() {
  python3 bench/relay_bench.py "$build/tools/relay/snpp-relay" "$build/tools/sandbox/snpp-sandbox" \
    "$out/relay.json"
}

relay_pg() {
  python3 bench/relay_pg_bench.py "$build/tools/relay/snpp-relay" \
    "$build/tools/sandbox/snpp-sandbox" tests/outbox/pg_cluster.sh "$out/relay-pg.json"
}

report() {
  python3 bench/report.py "$out"
  if [ -f "$out/group.json" ]; then python3 bench/group_bench.py --report "$out/group.json"; fi
}
plot() {
  local py=python3
  python3 -c 'import matplotlib' 2>/dev/null || py=/usr/bin/python3  # Debian's, with the package
  "$py" bench/plot.py "$out/throughput.json" docs/throughput.png
}

case "$what" in
  all) build; machine; throughput; memory; cost; tool; tls; group; relay; report ;;
  throughput|memory|cost|tool|tls|group) build; machine; "$what"; report ;;
  relay) build; machine; relay ;;
  relay-pg) build; machine; relay_pg ;;
  report) report ;;
  plot) plot ;;
  *) echo "usage: scripts/bench.sh [all|throughput|memory|cost|tool|tls|group|relay|relay-pg|report|plot]" >&2; exit 2 ;;
esac
