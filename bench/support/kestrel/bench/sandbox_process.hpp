#pragma once
// SandboxProcess: snpp-sandbox running as a child process on a free loopback port.
//
// The benchmarks and the soak test page a server in a process of its own, so that the server's
// CPU time, heap, resident memory and descriptors never mix with the client's, which is what they
// measure. The constructor starts it with --port 0 and waits for its READY line; the destructor
// stops it with SIGTERM (SIGKILL after a grace period) and reaps it. It also gets SIGTERM when
// our process dies first.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kestrel::bench {

class SandboxProcess {
 public:
  // `log_path` gets one JSON line per page; "/dev/null" throws them away.
  explicit SandboxProcess(const std::string& exe, const std::string& log_path = "/dev/null",
                          const std::vector<std::string>& extra_args = {}) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2: " + Errno(errno));
    std::vector<std::string> args{exe, "--listen", "127.0.0.1", "--port", "0", "--log", log_path};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls until exec. The server goes when we go, even if we crash.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
      dup2(fds[1], STDOUT_FILENO);  // dup2 drops CLOEXEC
      execve(exe.c_str(), argv.data(), environ);
      _exit(127);
    }
    const int fork_error = errno;
    close(fds[1]);
    if (pid_ < 0) {
      close(fds[0]);
      throw std::runtime_error("cannot start " + exe + ": " + Errno(fork_error));
    }
    out_ = fds[0];
    exe_ = exe;
    try {
      port_ = ReadReadyLine(std::chrono::seconds(10));
    } catch (...) {
      Stop();
      throw;
    }
  }

  ~SandboxProcess() { Stop(); }
  SandboxProcess(const SandboxProcess&) = delete;
  SandboxProcess& operator=(const SandboxProcess&) = delete;

  std::uint16_t port() const noexcept { return port_; }
  pid_t pid() const noexcept { return pid_; }

  // SIGTERM, then SIGKILL when it has not exited within five seconds; reaps it. Idempotent.
  void Stop() noexcept {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      int status = 0;
      while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > give_up) {
          kill(pid_, SIGKILL);
          waitpid(pid_, &status, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      pid_ = -1;
    }
    if (out_ >= 0) {
      close(out_);
      out_ = -1;
    }
  }

 private:
  static std::string Errno(int number) { return std::strerror(number); }

  // "READY snpp-sandbox 127.0.0.1:<port>" is the first line the sandbox prints.
  std::uint16_t ReadReadyLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string line;
    while (line.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) throw std::runtime_error("snpp-sandbox did not say READY in time");
      pollfd p{out_, POLLIN, 0};
      const int n = poll(&p, 1, static_cast<int>(left.count()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) continue;
      char buffer[256];
      const ssize_t got = read(out_, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) throw std::runtime_error("snpp-sandbox did not start (is " + exe_ + " built?)");
      line.append(buffer, static_cast<std::size_t>(got));
    }
    line.resize(line.find('\n'));
    const auto colon = line.rfind(':');
    if (line.rfind("READY ", 0) != 0 || colon == std::string::npos) {
      throw std::runtime_error("unexpected first line from snpp-sandbox: " + line);
    }
    const long port = std::strtol(line.c_str() + colon + 1, nullptr, 10);
    if (port < 1 || port > 65535) throw std::runtime_error("bad port in: " + line);
    return static_cast<std::uint16_t>(port);
  }

  std::string exe_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace kestrel::bench
