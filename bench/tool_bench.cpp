// snpp-send from process start to exit, sending one page to snpp-sandbox, against
// minimal_client holding the same dialogue on plain POSIX sockets.
//
// Each iteration runs both programs once, in alternating order, so that both see the same
// machine at nearly the same moment; the benchmark's own time is snpp-send's. The counters give
// the median of each over all iterations and the ratio of the medians.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "common.hpp"
#include "kestrel/bench/sandbox_process.hpp"

namespace {

using namespace kestrel;

constexpr const char* kPager = "5551234";
constexpr const char* kMessage = "db1: disk /var at 97%";

// Runs the program to its end with its output thrown away; its wall-clock time in seconds.
double TimeOneRun(std::vector<std::string> args, int dev_null) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, dev_null, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, dev_null, STDERR_FILENO);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(args[0] + " did not deliver the page");
  }
  return std::chrono::duration<double>(end - start).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void BM_ToolStartToExit(benchmark::State& state) {
  bench::SandboxProcess sandbox(bench::SandboxExe());
  const std::string port = std::to_string(sandbox.port());
  const std::vector<std::string> send{bench::ProgramPath("KESTREL_SEND", KESTREL_SEND_EXE),
                                      "--port",
                                      port,
                                      "--pager",
                                      kPager,
                                      "--message",
                                      kMessage};
  const std::vector<std::string> minimal{
      bench::ProgramPath("KESTREL_MINIMAL_CLIENT", KESTREL_MINIMAL_CLIENT_EXE), port, kPager,
      kMessage};
  const int dev_null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  std::vector<double> send_s, minimal_s;
  try {
    for (int i = 0; i < 5; ++i) {  // page cache, dynamic loader cache, sandbox warm
      TimeOneRun(send, dev_null);
      TimeOneRun(minimal, dev_null);
    }
    bool send_first = true;
    for (auto _ : state) {
      double s = 0, m = 0;
      if (send_first) {
        s = TimeOneRun(send, dev_null);
        m = TimeOneRun(minimal, dev_null);
      } else {
        m = TimeOneRun(minimal, dev_null);
        s = TimeOneRun(send, dev_null);
      }
      send_first = !send_first;
      send_s.push_back(s);
      minimal_s.push_back(m);
      state.SetIterationTime(s);
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  close(dev_null);
  const double send_median = Median(send_s);
  const double minimal_median = Median(minimal_s);
  state.counters["snpp_send_median_us"] = send_median * 1e6;
  state.counters["minimal_median_us"] = minimal_median * 1e6;
  state.counters["ratio"] = minimal_median > 0 ? send_median / minimal_median : 0;
}

BENCHMARK(BM_ToolStartToExit)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

}  // namespace
