// Pages per second over loopback to snpp-sandbox (its own process): 1, 16 and 256 paging
// controls sharing one event-loop thread, each sending pages back to back, against the floor, a
// plain Asio client that writes the same bytes with the same number of connections.
//
// One iteration is a batch of pages; the controls (and the floor's connections) keep going from
// one batch to the next, so every batch runs at full concurrency. Each run starts a fresh sandbox.
// Counters: client_cpu_us_per_page is this thread's CPU time per page (the client's own cost,
// which the wall-clock rate hides once the server is the bottleneck).

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

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

constexpr std::uint64_t kBatch = 256;  // pages per iteration
constexpr auto kBatchLimit = 30s;      // a batch that takes longer than this fails the run

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs batches on `client` (a PagingDriver or a FloorClient) and fills in the counters.
template <typename Client>
void RunBatches(benchmark::State& state, Client& client, std::size_t concurrency) {
  if (!client.RunUntilCompleted(std::max<std::uint64_t>(kBatch, 2 * concurrency), kBatchLimit)) {
    state.SkipWithError("the warm-up pages did not complete in time");
    return;
  }
  std::uint64_t pages = 0;
  const double cpu_start = ThreadCpuSeconds();
  for (auto _ : state) {
    const auto before = client.completed();
    if (!client.RunUntilCompleted(before + kBatch, kBatchLimit)) {
      state.SkipWithError("a batch of pages did not complete in time");
      break;
    }
    pages += client.completed() - before;
  }
  const double cpu = ThreadCpuSeconds() - cpu_start;
  state.SetItemsProcessed(static_cast<std::int64_t>(pages));
  state.counters["pages"] = static_cast<double>(pages);
  state.counters["client_cpu_us_per_page"] = pages ? cpu * 1e6 / static_cast<double>(pages) : 0;
  const bool drained = client.Drain(10s);
  state.counters["errors"] = static_cast<double>(client.errors());
  if (client.errors() > 0) state.SkipWithError("pages failed");
  if (!drained) state.SkipWithError("the sessions did not end after the last page");
}

void BM_ControlPages(benchmark::State& state, PageKind kind) {
  const auto controls = static_cast<std::size_t>(state.range(0));
  bench::SandboxProcess sandbox(bench::SandboxExe());
  platform::EventLoop loop;
  bench::PagingDriver driver(
      loop, controls, [&](session::SNPPInstance& c) { bench::SetUpPage(c, kind, sandbox.port()); });
  driver.Start();
  RunBatches(state, driver, controls);
  state.counters["max_do_events_depth"] = static_cast<double>(driver.max_do_events_depth());
  state.counters["max_do_events_stack_kib"] =
      static_cast<double>(driver.max_do_events_stack()) / 1024;
}

void BM_FloorPages(benchmark::State& state, PageKind kind) {
  const auto connections = static_cast<std::size_t>(state.range(0));
  bench::SandboxProcess sandbox(bench::SandboxExe());
  bench::FloorClient floor(connections, sandbox.port(), bench::RecordDialogue(kind));
  floor.Start();
  RunBatches(state, floor, connections);
}

void Concurrencies(benchmark::internal::Benchmark* b) {
  b->ArgName("concurrency")->Arg(1)->Arg(16)->Arg(256);
  b->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(BM_ControlPages, level1, PageKind::kLevel1)->Apply(Concurrencies);
BENCHMARK_CAPTURE(BM_FloorPages, level1, PageKind::kLevel1)->Apply(Concurrencies);
BENCHMARK_CAPTURE(BM_ControlPages, level2_all_options, PageKind::kLevel2All)->Apply(Concurrencies);
BENCHMARK_CAPTURE(BM_FloorPages, level2_all_options, PageKind::kLevel2All)->Apply(Concurrencies);

}  // namespace
