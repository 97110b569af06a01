// Instructions per page, for callgrind, which counts them the same on a busy machine as on an
// idle one:
//
//   valgrind --tool=callgrind --instr-atstart=no kestrel_page_cost session|whole [PAGES]
//
// session  the paging session alone: the level-2 page with every option set, on the test fakes,
//          a scripted server answering every command at once (a host that does nothing, a fake
//          socket that keeps the writes, a fake timer)
// whole    the same page through the Asio socket and timer over loopback to snpp-sandbox, which
//          runs in its own process (valgrind does not follow it), driven as the throughput
//          benchmark drives one control
//
// Only PAGES pages (default 1000) after a few warm-up ones are counted: instrumentation is
// switched on and off around them. Prints the pages counted; divide callgrind's total by them.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include "common.hpp"
#include "kestrel/bench/pages.hpp"
#include "kestrel/bench/paging_driver.hpp"
#include "kestrel/bench/sandbox_process.hpp"
#include "kestrel/platform/event_loop.hpp"
#include "kestrel/testing/fakes.hpp"

namespace {

using namespace kestrel;
using namespace std::chrono_literals;
using bench::PageKind;

constexpr int kWarmUp = 20;

// Does nothing but run the fake loop on DoEvents and count the outcomes.
class LeanHost final : public platform::ControlHost {
 public:
  explicit LeanHost(testing::FakeLoop& loop) : loop_(loop) {}
  void PropertyChanged(std::string_view) override {}
  void RaiseEvent(platform::EventId id, String&) override {
    (id == platform::EventId::kOnComplete ? completions : errors) += 1;
  }
  void DoEvents() override { loop_.RunPending(); }
  long completions = 0;
  long errors = 0;

 private:
  testing::FakeLoop& loop_;
};

int SessionOnly(int pages) {
  std::vector<std::string> replies;
  for (const auto& step : bench::RecordDialogue(PageKind::kLevel2All))
    replies.push_back(step.reply);

  testing::FakeLoop loop;
  testing::FakeClock clock{loop};
  LeanHost host{loop};
  auto owned = std::make_unique<testing::FakeSocket>(loop);
  testing::FakeSocket& sock = *owned;
  session::SNPPInstance control(host, std::move(owned),
                                std::make_unique<testing::FakeTimer>(clock));
  bench::SetUpPage(control, PageKind::kLevel2All, 444);

  const auto one_page = [&] {
    control.Send();
    sock.CompleteConnect();
    for (const auto& reply : replies) {
      sock.Receive(reply);
      loop.RunPending();
    }
    sock.writes.clear();
  };
  for (int i = 0; i < kWarmUp; ++i) one_page();
  CALLGRIND_START_INSTRUMENTATION;
  for (int i = 0; i < pages; ++i) one_page();
  CALLGRIND_STOP_INSTRUMENTATION;
  if (host.errors != 0 || host.completions != kWarmUp + pages) {
    std::fprintf(stderr, "kestrel_page_cost: %ld delivered, %ld failed\n", host.completions,
                 host.errors);
    return 1;
  }
  return 0;
}

int WholePath(int pages) {
  bench::SandboxProcess sandbox(bench::SandboxExe());
  platform::EventLoop loop;
  bench::PagingDriver driver(loop, 1, [&](session::SNPPInstance& c) {
    bench::SetUpPage(c, PageKind::kLevel2All, sandbox.port());
  });
  driver.Start();
  bool ok = driver.RunUntilCompleted(kWarmUp, 120s);
  CALLGRIND_START_INSTRUMENTATION;
  ok = ok && driver.RunUntilCompleted(kWarmUp + static_cast<std::uint64_t>(pages), 600s);
  CALLGRIND_STOP_INSTRUMENTATION;
  ok = ok && driver.Drain(30s);
  if (!ok || driver.errors() != 0) {
    std::fprintf(stderr, "kestrel_page_cost: %llu delivered, %llu failed\n",
                 static_cast<unsigned long long>(driver.completed()),
                 static_cast<unsigned long long>(driver.errors()));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 ||
      (std::strcmp(argv[1], "session") != 0 && std::strcmp(argv[1], "whole") != 0)) {
    std::fprintf(stderr, "usage: kestrel_page_cost session|whole [PAGES]\n");
    return 2;
  }
  const int pages = argc == 3 ? std::atoi(argv[2]) : 1000;
  if (pages < 1) {
    std::fprintf(stderr, "kestrel_page_cost: PAGES must be 1 or more\n");
    return 2;
  }
  const int rc = std::strcmp(argv[1], "session") == 0 ? SessionOnly(pages) : WholePath(pages);
  if (rc == 0) std::printf("pages %d\n", pages);
  return rc;
}
