// snpp-send, the built program, against the misbehaving server: what a person at a terminal gets.
// A server that falls silent after the greeting is ended by --deadline with exit code 3, never a
// success; one that falls silent, or hangs up, after SEND was written leaves the page uncertain:
// exit code 4, whatever the deadline did (uncertain wins over timed out).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "scripted_server.hpp"

extern char** environ;

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct ToolRun {
  int exit_code = -1;  // -1: did not end by itself within the limit (and was killed)
  std::string out;
  std::string err;
  std::chrono::milliseconds took{0};
};

// Runs the program with its output captured; kills it if it is still running after `limit`.
ToolRun RunTool(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
  ToolRun run;
  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (spawned != 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    return run;
  }

  // Read both outputs until both end or the limit passes.
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open_pipes = 2;
  bool killed = false;
  while (open_pipes > 0) {
    const auto left = limit - (std::chrono::steady_clock::now() - start);
    if (left <= 0ms) {
      ::kill(pid, SIGKILL);  // our own child, by its id
      killed = true;
      break;
    }
    const int n = ::poll(
        fds, 2,
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
    if (n <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(got));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  for (auto& f : fds) {
    if (f.fd >= 0) ::close(f.fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  if (!killed && WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  return run;
}

struct ToolCase {
  const char* name;
  int level;
  FaultPlan plan;
  int exit_code;
  const char* says;  // a piece of what it prints on standard output
  const char* word = "failed: ";
  bool ended_by_deadline = false;
};

std::ostream& operator<<(std::ostream& os, const ToolCase& c) {
  return os << c.name;
}

class SendTool : public ::testing::TestWithParam<ToolCase> {};

TEST_P(SendTool, EndsWithTheRightExitCode) {
#ifndef KESTREL_SNPP_SEND
  GTEST_SKIP() << "snpp-send is not part of this build";
#else
  const ToolCase& c = GetParam();
  ScriptedServer server([&](ServerPeer& peer) { PlayDialogue(peer, server, c.plan); });
  std::vector<std::string> args = {KESTREL_SNPP_SEND,
                                   "--server",
                                   "127.0.0.1",
                                   "--port",
                                   std::to_string(server.port()),
                                   "--pager",
                                   "5551234",
                                   "--level",
                                   std::to_string(c.level),
                                   "--deadline",
                                   "1"};
  if (c.level >= 2) {
    args.insert(args.end(), {"--subject", "Disk", "--message", "disk full"});
  } else {
    args.insert(args.end(), {"--message", "disk full"});
  }
  const ToolRun run = RunTool(args, 20s);
  ASSERT_NE(run.exit_code, -1) << "snpp-send did not end by itself within 20 s";
  EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
  EXPECT_THAT(run.out, StartsWith(c.word)) << "never reported as delivered";
  EXPECT_THAT(run.out, HasSubstr(c.says));
  if (c.ended_by_deadline) {
    // The deadline is one second; it neither ends the run early nor lets it drag on.
    EXPECT_GE(run.took, 1s);
    EXPECT_LT(run.took, 8s);
  }
  EXPECT_THAT(server.received(), ::testing::Contains(StartsWith(c.plan.at)))
      << "the server saw the command it then failed to answer";
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SendTool,
    ::testing::Values(ToolCase{"silent_after_greeting",
                               1,
                               {"PAGE", Fault::kSilence},
                               3,
                               "SEND was not written, so the page was not sent",
                               "failed: ",
                               true},
                      ToolCase{"silent_at_SUBJ",
                               2,
                               {"SUBJ", Fault::kSilence},
                               3,
                               "last state WaitSubject",
                               "failed: ",
                               true},
                      ToolCase{"silent_at_SEND",
                               1,
                               {"SEND", Fault::kSilence},
                               4,
                               "deadline passed after SEND was written to 127.0.0.1",
                               "uncertain: ",
                               true},
                      ToolCase{"reset_at_SEND",
                               1,
                               {"SEND", Fault::kReset},
                               4,
                               "may or may not have been delivered",
                               "uncertain: "},
                      ToolCase{"junk_at_PAGE", 1, {"PAGE", Fault::kJunkLine}, 1, "failed: "}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel::testing
