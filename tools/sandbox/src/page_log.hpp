#pragma once
// PageLog: writes the sandbox's page lines to a file descriptor (standard output or a log file)
// from a thread of its own, so that a reader that is slow, stalled or gone never holds up the
// event loop that serves the clients.
//
// Write() only queues. When more than max_queued bytes wait, further lines are dropped and
// counted. When the descriptor fails for good (the reader closed the pipe: EPIPE), the failure
// is reported once on stderr, everything after it is dropped and counted, and the server goes
// on. The destructor writes what is still queued for at most about a second, then says on
// stderr how many lines were dropped, if any. SIGPIPE must be ignored by the program.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace kestrel::sandbox {

class PageLog {
 public:
  // `fd` stays open and owned by the caller; `name` says in messages what it is ("stdout").
  PageLog(int fd, std::string name, std::size_t max_queued = 1024 * 1024);
  ~PageLog();
  PageLog(const PageLog&) = delete;
  PageLog& operator=(const PageLog&) = delete;

  // Queues `line` (a whole line, with its "\n"); never blocks on the descriptor.
  void Write(std::string line);
  std::uint64_t dropped() const;

 private:
  void Run();
  bool WriteAll(const std::string& bytes);  // false once the descriptor failed or shutdown ran out

  const int fd_;
  const std::string name_;
  const std::size_t max_queued_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> queue_;
  std::size_t queued_bytes_ = 0;
  std::uint64_t dropped_ = 0;
  bool warned_slow_ = false;
  bool lost_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kestrel::sandbox
