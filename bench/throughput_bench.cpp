// Pages per second over loopback to snpp-sandbox (its own process): 1, 16 and 256 paging
// controls sharing one event-loop thread, each sending pages back to back, against the floor, a
// plain Asio client that writes the same bytes with the same number of connections.
//
// The machine these run on is shared and its load changes from one minute to the next, so the
// two are measured side by side: both stay connected to one sandbox, and each iteration runs a
// batch of pages through the controls and then one through the floor (the other way round every
// other iteration). Each side keeps its sessions going from batch to batch, so every batch runs
// at full concurrency. The benchmark's time is the controls' batch; the counters give each
// side's median pages/s over the batches and the median, 25th and 75th percentile of the ratio
// control/floor within a pair. client_cpu_us_per_page is this thread's CPU time per page, the
// client's own cost, which the wall-clock rate hides once the server is the bottleneck.

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common.hpp"
#include "floor_client.hpp"
#include "kestrel/bench/pages.hpp"
#include "kestrel/bench/paging_driver.hpp"
#include "kestrel/bench/sandbox_process.hpp"
#include "kestrel/platform/event_loop.hpp"

namespace {

using namespace kestrel;
using namespace std::chrono_literals;
using bench::PageKind;

constexpr std::uint64_t kBatch = 256;  // pages per batch
constexpr auto kBatchLimit = 30s;      // a batch that takes longer than this fails the run

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Pairs of batches per benchmark: KESTREL_BENCH_PAIRS, 40 by default.
benchmark::IterationCount Pairs() {
  const char* v = std::getenv("KESTREL_BENCH_PAIRS");
  const long n = v ? std::strtol(v, nullptr, 10) : 0;
  return n > 0 ? n : 40;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const double at = p * static_cast<double>(v.size() - 1);
  const auto lo = static_cast<std::size_t>(at);
  const auto hi = std::min(lo + 1, v.size() - 1);
  return v[lo] + (v[hi] - v[lo]) * (at - static_cast<double>(lo));
}

struct Side {
  std::vector<double> rates;  // pages/s of each batch
  double cpu_seconds = 0;
  std::uint64_t pages = 0;
  double seconds = 0;  // of the last batch
};

// Runs one batch on `client` (a PagingDriver or a FloorClient); false when it did not finish.
template <typename Client>
bool Batch(Client& client, Side& side) {
  const auto before = client.completed();
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = ThreadCpuSeconds();
  if (!client.RunUntilCompleted(before + kBatch, kBatchLimit)) return false;
  side.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto pages = client.completed() - before;
  side.cpu_seconds += ThreadCpuSeconds() - cpu_start;
  side.pages += pages;
  side.rates.push_back(static_cast<double>(pages) / side.seconds);
  return true;
}

void BM_ControlVsFloor(benchmark::State& state, PageKind kind) {
  const auto concurrency = static_cast<std::size_t>(state.range(0));
  bench::SandboxProcess sandbox(bench::SandboxExe());
  platform::EventLoop loop;
  bench::PagingDriver driver(loop, concurrency, [&](session::SNPPInstance& c) {
    bench::SetUpPage(c, kind, sandbox.port());
  });
  bench::FloorClient floor(concurrency, sandbox.port(), bench::RecordDialogue(kind));
  driver.Start();
  floor.Start();
  const auto warm_up = std::max<std::uint64_t>(kBatch, 2 * concurrency);
  if (!driver.RunUntilCompleted(warm_up, kBatchLimit) ||
      !floor.RunUntilCompleted(warm_up, kBatchLimit)) {
    state.SkipWithError("the warm-up pages did not complete in time");
    return;
  }
  Side control, plain;
  std::vector<double> ratios;
  bool control_first = true;
  for (auto _ : state) {
    const bool ok = control_first ? Batch(driver, control) && Batch(floor, plain)
                                  : Batch(floor, plain) && Batch(driver, control);
    if (!ok) {
      state.SkipWithError("a batch of pages did not complete in time");
      break;
    }
    control_first = !control_first;
    ratios.push_back(control.rates.back() / plain.rates.back());
    state.SetIterationTime(control.seconds);
  }
  const bool drained = driver.Drain(10s) && floor.Drain(10s);
  const auto per_page = [](const Side& s) {
    return s.pages ? s.cpu_seconds * 1e6 / static_cast<double>(s.pages) : 0;
  };
  state.SetItemsProcessed(static_cast<std::int64_t>(control.pages));
  state.counters["control_pages_per_s"] = Percentile(control.rates, 0.5);
  state.counters["floor_pages_per_s"] = Percentile(plain.rates, 0.5);
  state.counters["ratio"] = Percentile(ratios, 0.5);
  state.counters["ratio_p25"] = Percentile(ratios, 0.25);
  state.counters["ratio_p75"] = Percentile(ratios, 0.75);
  state.counters["control_cpu_us_per_page"] = per_page(control);
  state.counters["floor_cpu_us_per_page"] = per_page(plain);
  state.counters["max_do_events_depth"] = static_cast<double>(driver.max_do_events_depth());
  state.counters["max_do_events_stack_kib"] =
      static_cast<double>(driver.max_do_events_stack()) / 1024;
  state.counters["errors"] = static_cast<double>(driver.errors() + floor.errors());
  if (driver.errors() + floor.errors() > 0) state.SkipWithError("pages failed");
  if (!drained) state.SkipWithError("the sessions did not end after the last page");
}

void Concurrencies(benchmark::internal::Benchmark* b) {
  b->ArgName("concurrency")->Arg(1)->Arg(16)->Arg(256);
  b->UseManualTime()->Iterations(Pairs())->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(BM_ControlVsFloor, level1, PageKind::kLevel1)->Apply(Concurrencies);
BENCHMARK_CAPTURE(BM_ControlVsFloor, level2_all_options, PageKind::kLevel2All)
    ->Apply(Concurrencies);

}  // namespace
