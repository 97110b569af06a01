// What TLS costs: pages per second with TLS against without, at 1 and 16 sessions on one event
// loop, and the handshake's share of one page.
//
// Two snpp-sandbox processes, one plain and one serving TLS with a certificate of a test CA made
// for the run; a PagingDriver for each, each on its own loop, alternating batches as
// throughput_bench does, so that both see the same machine load. client_cpu_us_per_page is this
// thread's CPU time per page, the client's own cost, which machine load disturbs least. Every page
// is a new connection (SNPP sends one page per session), so every TLS page pays a full handshake:
// the client verifies the server's certificate chain and host name each time. The contexts (trust
// store loaded) are built once.
//
// handshake_share: each socket is timed from Connect to the first bytes received (TCP connect,
// for TLS also the handshake, then the greeting) and from Connect to Close (the whole page). The
// share is (TLS greeting time - plain greeting time) / TLS page time, medians over all pages (a
// page that straddles the other side's batch is an outlier that the median ignores).

#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common.hpp"
#include "kestrel/bench/pages.hpp"
#include "kestrel/bench/paging_driver.hpp"
#include "kestrel/bench/sandbox_process.hpp"
#include "kestrel/platform/event_loop.hpp"
#include "kestrel/platform/forwarding_socket.hpp"

namespace {

using namespace kestrel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kBatch = 128;
constexpr auto kBatchLimit = 30s;

std::string Certs() {
  static const std::string dir = [] {
    const auto d = std::filesystem::temp_directory_path() /
                   ("kestrel-bench-tls-" + std::to_string(::getpid()));
    const std::string cmd = "sh '" KESTREL_MAKE_CERTS "' '" + d.string() + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("make_certs.sh failed");
    return d.string();
  }();
  return dir;
}

// Times of one socket's sessions, summed over all sockets of a driver.
struct Timings {
  std::vector<double> greet_ms;  // Connect to first bytes, per page
  std::vector<double> page_ms;   // Connect to Close, per page
};

double Ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

class TimedSocket final : public platform::ForwardingSocket {
 public:
  TimedSocket(std::unique_ptr<platform::Socket> inner, Timings& t)
      : ForwardingSocket(std::move(inner)), t_(t) {}
  void Connect(const String& host, Long port) override {
    start_ = Clock::now();
    greeted_ = false;
    ForwardingSocket::Connect(host, port);
  }
  String GetData() override {
    if (!greeted_) {
      greeted_ = true;
      t_.greet_ms.push_back(Ms(start_));
    }
    return ForwardingSocket::GetData();
  }
  void Close() override {
    if (greeted_) {
      t_.page_ms.push_back(Ms(start_));
      greeted_ = false;
    }
    ForwardingSocket::Close();
  }

 private:
  Timings& t_;
  Clock::time_point start_{};
  bool greeted_ = false;
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Side {
  bench::PagingDriver* driver;
  Timings timings;
  std::vector<double> rates;
  double cpu_seconds = 0;
  std::uint64_t pages = 0;
};

bool Batch(Side& side) {
  const auto before = side.driver->completed();
  const auto start = Clock::now();
  const double cpu_start = ThreadCpuSeconds();
  if (!side.driver->RunUntilCompleted(before + kBatch, kBatchLimit)) return false;
  side.cpu_seconds += ThreadCpuSeconds() - cpu_start;
  side.pages += side.driver->completed() - before;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  side.rates.push_back(static_cast<double>(side.driver->completed() - before) / seconds);
  return true;
}

void BM_TlsVsPlain(benchmark::State& state) {
  const auto sessions = static_cast<std::size_t>(state.range(0));
  const auto kind = bench::PageKind::kLevel2All;  // with LOGI: the page TLS is for
  bench::SandboxProcess plain_server(bench::SandboxExe());
  bench::SandboxProcess tls_server(
      bench::SandboxExe(), "/dev/null",
      {"--tls-cert", Certs() + "/server.pem", "--tls-key", Certs() + "/server.key"});
  platform::TlsSettings settings;
  settings.ca_file = Certs() + "/ca.pem";
  const auto context = platform::MakeTlsContext(settings);

  platform::EventLoop plain_loop, tls_loop;  // one each: a batch runs only its own side
  Side plain{};
  Side tls{};
  bench::PagingDriver plain_driver(
      plain_loop, sessions,
      [&](session::SNPPInstance& c) { bench::SetUpPage(c, kind, plain_server.port()); }, {},
      [&](platform::EventLoop& l) {
        return std::make_unique<TimedSocket>(platform::MakeAsioSocket(l), plain.timings);
      });
  bench::PagingDriver tls_driver(
      tls_loop, sessions,
      [&](session::SNPPInstance& c) { bench::SetUpPage(c, kind, tls_server.port()); }, {},
      [&](platform::EventLoop& l) {
        return std::make_unique<TimedSocket>(platform::MakeAsioTlsSocket(l, context), tls.timings);
      });
  plain.driver = &plain_driver;
  tls.driver = &tls_driver;
  plain_driver.Start();
  tls_driver.Start();
  if (!plain_driver.RunUntilCompleted(kBatch, kBatchLimit) ||
      !tls_driver.RunUntilCompleted(kBatch, kBatchLimit)) {
    state.SkipWithError("the warm-up pages did not complete in time");
    return;
  }
  for (Side* side : {&plain, &tls}) {  // the warm-up does not count
    side->rates.clear();
    side->timings.greet_ms.clear();
    side->timings.page_ms.clear();
    side->cpu_seconds = 0;
    side->pages = 0;
  }
  bool tls_first = true;
  for (auto _ : state) {
    const auto start = Clock::now();
    const bool ok = tls_first ? Batch(tls) && Batch(plain) : Batch(plain) && Batch(tls);
    if (!ok) {
      state.SkipWithError("a batch of pages did not complete in time");
      break;
    }
    tls_first = !tls_first;
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  const bool drained = plain_driver.Drain(10s) && tls_driver.Drain(10s);
  const double tls_rate = Median(tls.rates);
  const double plain_rate = Median(plain.rates);
  state.counters["tls_pages_per_s"] = tls_rate;
  state.counters["plain_pages_per_s"] = plain_rate;
  state.counters["tls_over_plain"] = plain_rate > 0 ? tls_rate / plain_rate : 0;
  const double tls_greet = Median(tls.timings.greet_ms);
  const double plain_greet = Median(plain.timings.greet_ms);
  const double tls_page = Median(tls.timings.page_ms);
  state.counters["tls_greet_ms"] = tls_greet;
  state.counters["plain_greet_ms"] = plain_greet;
  state.counters["tls_page_ms"] = tls_page;
  state.counters["plain_page_ms"] = Median(plain.timings.page_ms);
  state.counters["handshake_share"] = tls_page > 0 ? (tls_greet - plain_greet) / tls_page : 0;
  const auto cpu = [](const Side& s) {
    return s.pages ? s.cpu_seconds * 1e6 / static_cast<double>(s.pages) : 0;
  };
  state.counters["tls_cpu_us_per_page"] = cpu(tls);
  state.counters["plain_cpu_us_per_page"] = cpu(plain);
  const auto errors = plain_driver.errors() + tls_driver.errors();
  state.counters["errors"] = static_cast<double>(errors);
  if (errors > 0) state.SkipWithError("pages failed");
  if (!drained) state.SkipWithError("the sessions did not end after the last page");
}

BENCHMARK(BM_TlsVsPlain)
    ->ArgName("sessions")
    ->Arg(1)
    ->Arg(16)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

}  // namespace
