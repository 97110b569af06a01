// kestrel_soak: many paging controls on one event loop send level-1 pages back to back to
// snpp-sandbox (its own process) until a number of pages has gone, then it checks that
//
//   - every page was delivered and reported exactly once: each control's OnComplete count equals
//     the pages it sent, no OnError, and the sandbox's page log holds each page's text once and
//     nothing else;
//   - nothing leaked: the open descriptors (/proc/self/fd) are back where they started, with the
//     controls idle and again once they and the loop are gone;
//   - resident memory (/proc/self/statm) stayed flat after the warm-up: its highest sample after
//     the first fifth of the pages is at most --rss-growth-kib above the sample taken there.
//
//   kestrel_soak --sandbox PATH [--pages N] [--controls M] [--max-seconds S] [--rss-growth-kib K]
//
// The sandbox runs as a child process so that its memory and descriptors (it keeps every page it
// received) are not counted as ours. Exit 0 when every check holds, 1 otherwise, 2 on bad usage.

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kestrel/bench/pages.hpp"
#include "kestrel/bench/paging_driver.hpp"
#include "kestrel/bench/sandbox_process.hpp"
#include "kestrel/platform/event_loop.hpp"

namespace {

using namespace kestrel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string sandbox;
  std::uint64_t pages = 2000;
  std::size_t controls = 64;
  double max_seconds = 25;
  std::int64_t rss_growth_kib = 4096;
};

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    --n;  // the directory stream's own descriptor
  }
  return n;
}

std::int64_t ResidentKiB(const std::string& process = "self") {
  std::ifstream statm("/proc/" + process + "/statm");
  std::int64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE) / 1024;
}

std::string PagerOf(std::size_t control) {
  return std::to_string(100000 + control);
}
std::string TextOf(std::size_t control, std::uint64_t page) {
  return "soak c" + std::to_string(control) + " p" + std::to_string(page);
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (arg == "--sandbox") {
      o.sandbox = value;
    } else if (arg == "--pages") {
      o.pages = std::strtoull(value, nullptr, 10);
    } else if (arg == "--controls") {
      o.controls = std::strtoul(value, nullptr, 10);
    } else if (arg == "--max-seconds") {
      o.max_seconds = std::strtod(value, nullptr);
    } else if (arg == "--rss-growth-kib") {
      o.rss_growth_kib = std::strtoll(value, nullptr, 10);
    } else {
      return false;
    }
  }
  return !o.sandbox.empty() && o.pages > 0 && o.controls > 0 && o.max_seconds > 0;
}

class Checks {
 public:
  void Expect(bool ok, const std::string& what) {
    std::printf("  %s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok) ++failed_;
  }
  int failed() const { return failed_; }

 private:
  int failed_ = 0;
};

// Reads the sandbox's page log and checks it against what each control sent.
void CheckLog(const std::string& path, const bench::PagingDriver& driver, Checks& checks) {
  std::map<std::string, int> seen;  // page text -> times logged
  std::size_t lines = 0, wrong_pager = 0, unreadable = 0;
  std::ifstream log(path);
  std::string line;
  while (std::getline(log, line)) {
    ++lines;
    try {
      const auto page = nlohmann::json::parse(line);
      const std::string text = page.at("message").get<std::string>();
      ++seen[text];
      // "soak c<i> p<j>": the pager must be control i's.
      const auto control = std::strtoul(text.c_str() + std::strlen("soak c"), nullptr, 10);
      if (page.at("pagers").size() != 1 || page.at("pagers")[0].at("id") != PagerOf(control)) {
        ++wrong_pager;
      }
    } catch (const std::exception&) {
      ++unreadable;
    }
  }
  std::size_t missing = 0, repeated = 0, unexpected = 0, expected = 0;
  for (std::size_t i = 0; i < driver.size(); ++i) {
    for (std::uint64_t p = 0; p < driver.slots()[i].sent; ++p) {
      ++expected;
      const auto it = seen.find(TextOf(i, p));
      if (it == seen.end()) {
        ++missing;
      } else {
        if (it->second > 1) ++repeated;
        it->second = -it->second;  // accounted for
      }
    }
  }
  for (const auto& [text, times] : seen) {
    if (times > 0) ++unexpected;
  }
  checks.Expect(lines == expected && unreadable == 0,
                "the sandbox logged " + std::to_string(lines) + " pages, " +
                    std::to_string(expected) + " sent (" + std::to_string(unreadable) +
                    " unreadable lines)");
  checks.Expect(missing == 0 && repeated == 0 && unexpected == 0 && wrong_pager == 0,
                "each page logged exactly once, to its control's pager (" +
                    std::to_string(missing) + " missing, " + std::to_string(repeated) +
                    " repeated, " + std::to_string(unexpected) + " unexpected, " +
                    std::to_string(wrong_pager) + " to the wrong pager)");
}

int Run(const Options& o) {
  Checks checks;
  const int fds_at_start = OpenDescriptors();
  char log_path[] = "/tmp/kestrel-soak-XXXXXX";
  const int log_fd = mkstemp(log_path);
  if (log_fd < 0) {
    std::perror("kestrel_soak: mkstemp");
    return 1;
  }
  close(log_fd);

  bench::SandboxProcess sandbox(o.sandbox, log_path);
  const int fds_with_sandbox = OpenDescriptors();  // + the pipe its READY line came on
  std::printf("soak: %llu level-1 pages, %zu controls on one loop, sandbox pid %d port %u\n",
              static_cast<unsigned long long>(o.pages), o.controls, static_cast<int>(sandbox.pid()),
              static_cast<unsigned>(sandbox.port()));

  struct Sample {
    std::uint64_t pages;
    double seconds;
    std::int64_t rss_kib;
    int fds;
  };
  std::vector<Sample> samples;
  bool finished = false, drained = false;
  int fds_idle = 0, fds_after_pages = 0;
  std::size_t max_depth = 0, max_stack = 0;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(o.max_seconds));
  const auto left = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  };
  {
    platform::EventLoop loop;
    bench::PagingDriver driver(
        loop, o.controls,
        [&](session::SNPPInstance& c) {
          bench::SetUpPage(c, bench::PageKind::kLevel1, sandbox.port());
        },
        [](session::SNPPInstance& c, std::size_t i, std::uint64_t page) {
          if (page == 0) c.put_Recipient(PagerOf(i));
          c.put_Message(TextOf(i, page));
        });
    driver.LimitPages(o.pages);
    fds_idle = OpenDescriptors();
    driver.Start();

    constexpr int kSamples = 20;
    finished = true;
    for (int k = 1; k <= kSamples && finished; ++k) {
      const std::uint64_t target = o.pages * static_cast<std::uint64_t>(k) / kSamples;
      finished = left().count() > 0 && driver.RunUntilCompleted(target, left());
      samples.push_back({driver.completed(),
                         std::chrono::duration<double>(Clock::now() - start).count(), ResidentKiB(),
                         OpenDescriptors()});
    }
    drained = driver.Drain(std::max(left(), std::chrono::milliseconds(5000)));
    loop.Poll();  // let cancelled operations go
    fds_after_pages = OpenDescriptors();
    max_depth = driver.max_do_events_depth();
    max_stack = driver.max_do_events_stack();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::printf("soak: %llu delivered in %.2f s (%.0f pages/s)\n",
                static_cast<unsigned long long>(driver.completed()), seconds,
                static_cast<double>(driver.completed()) / seconds);
    std::printf("soak: DoEvents calls nested %zu deep at most, using %zu KiB of stack\n", max_depth,
                max_stack / 1024);
    std::printf("  %8s %8s %9s %5s\n", "pages", "seconds", "rss KiB", "fds");
    for (const auto& s : samples) {
      std::printf("  %8llu %8.2f %9lld %5d\n", static_cast<unsigned long long>(s.pages), s.seconds,
                  static_cast<long long>(s.rss_kib), s.fds);
    }

    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", o.max_seconds);
    checks.Expect(finished,
                  "all " + std::to_string(o.pages) + " pages delivered within " + limit + " s");
    checks.Expect(drained && driver.active() == 0, "every session ended after its page");
    checks.Expect(driver.sent() == o.pages && driver.completed() == o.pages,
                  "sent " + std::to_string(driver.sent()) + ", OnComplete " +
                      std::to_string(driver.completed()));
    std::size_t uneven = 0, with_errors = 0;
    std::string first_error;
    for (const auto& slot : driver.slots()) {
      if (slot.completed != slot.sent) ++uneven;
      if (slot.errors > 0) {
        ++with_errors;
        if (first_error.empty()) first_error = slot.first_error;
      }
    }
    checks.Expect(uneven == 0, "every control: one OnComplete per page sent (" +
                                   std::to_string(uneven) + " controls differ)");
    checks.Expect(with_errors == 0, "no OnError (" + std::to_string(driver.errors()) + " in " +
                                        std::to_string(with_errors) + " controls" +
                                        (first_error.empty() ? "" : ", first: " + first_error) +
                                        ")");
    checks.Expect(fds_after_pages == fds_idle,
                  "descriptors with the controls idle again: " + std::to_string(fds_after_pages) +
                      ", before the first page " + std::to_string(fds_idle));

    // Warm-up: the first fifth of the pages.
    const std::size_t warm = samples.size() / 5;
#if defined(__SANITIZE_ADDRESS__)
    std::printf(
        "  --   resident memory not checked: AddressSanitizer's quarantine keeps freed memory\n");
    if (false) {
#else
    if (samples.size() > warm + 1) {
#endif
      std::int64_t peak = samples[warm].rss_kib;
      for (std::size_t k = warm; k < samples.size(); ++k) peak = std::max(peak, samples[k].rss_kib);
      const std::int64_t growth = peak - samples[warm].rss_kib;
      checks.Expect(growth <= o.rss_growth_kib,
                    "resident memory after warm-up grew " + std::to_string(growth) +
                        " KiB (limit " + std::to_string(o.rss_growth_kib) + " KiB, " +
                        std::to_string(samples[warm].rss_kib) + " KiB at " +
                        std::to_string(samples[warm].pages) + " pages)");
    }
    // Not checked, for information: the sandbox keeps every page it was sent.
    std::printf("soak: the sandbox's resident memory is %lld KiB\n",
                static_cast<long long>(ResidentKiB(std::to_string(sandbox.pid()))));
    sandbox.Stop();  // its log is complete once it has gone
    CheckLog(log_path, driver, checks);
  }
  const int fds_at_end = OpenDescriptors();
  checks.Expect(fds_at_end == fds_with_sandbox - 1 && fds_at_end == fds_at_start,
                "descriptors once the controls, the loop and the sandbox are gone: " +
                    std::to_string(fds_at_end) + ", at start " + std::to_string(fds_at_start));
  std::remove(log_path);
  std::printf("soak: %s\n", checks.failed() == 0 ? "PASS" : "FAIL");
  return checks.failed() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: kestrel_soak --sandbox PATH [--pages N] [--controls M] "
                 "[--max-seconds S] [--rss-growth-kib K]\n");
    return 2;
  }
  try {
    return Run(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrel_soak: %s\n", e.what());
    return 1;
  }
}
