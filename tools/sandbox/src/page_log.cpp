#include "page_log.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <iostream>
#include <optional>

namespace kestrel::sandbox {

namespace {
constexpr auto kPollStep = std::chrono::milliseconds(100);
constexpr auto kShutdownGrace = std::chrono::seconds(1);
}  // namespace

PageLog::PageLog(int fd, std::string name, std::size_t max_queued)
    : fd_(fd), name_(std::move(name)), max_queued_(max_queued), thread_([this] { Run(); }) {}

PageLog::~PageLog() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
  if (dropped_ > 0) {
    std::cerr << "snpp-sandbox: " << dropped_ << " page line(s) were not written to " << name_
              << " (its reader was too slow or gone)\n";
  }
}

void PageLog::Write(std::string line) {
  {
    std::lock_guard lock(mutex_);
    if (lost_ || queued_bytes_ + line.size() > max_queued_) {
      ++dropped_;
      if (!lost_ && !warned_slow_) {
        warned_slow_ = true;
        std::cerr << "snpp-sandbox: " << name_
                  << " is not read fast enough; page lines are dropped and counted. Read it, "
                     "or give --log FILE\n";
      }
      return;
    }
    queued_bytes_ += line.size();
    queue_.push_back(std::move(line));
  }
  wake_.notify_one();
}

std::uint64_t PageLog::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void PageLog::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and everything is out
    std::string line = std::move(queue_.front());
    queue_.pop_front();
    queued_bytes_ -= line.size();
    lock.unlock();
    const bool written = WriteAll(line);
    lock.lock();
    if (!written) {
      ++dropped_;
      if (lost_) {
        dropped_ += queue_.size();
        queue_.clear();
        queued_bytes_ = 0;
      }
    }
    if (stopping_ && !written) return;
  }
}

bool PageLog::WriteAll(const std::string& bytes) {
  const auto give_up_at = [this] {
    std::lock_guard lock(mutex_);
    return stopping_;
  };
  std::optional<std::chrono::steady_clock::time_point> deadline;
  for (std::size_t done = 0; done < bytes.size();) {
    // Wait until the descriptor takes at least PIPE_BUF bytes, then write no more than that: a
    // write of that size to a writable pipe does not block, so stopping is never held up.
    pollfd p{fd_, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(kPollStep.count()));
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) {
      if (give_up_at()) {
        const auto now = std::chrono::steady_clock::now();
        if (!deadline) deadline = now + kShutdownGrace;
        if (now >= *deadline) return false;
      }
      continue;
    }
    const auto n =
        ::write(fd_, bytes.data() + done, std::min<std::size_t>(bytes.size() - done, PIPE_BUF));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) {
      const int error = errno;
      std::lock_guard lock(mutex_);
      lost_ = true;
      std::cerr << "snpp-sandbox: cannot write page lines to " << name_ << ": "
                << std::strerror(error)
                << "; pages are no longer logged, the server goes on serving\n";
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace kestrel::sandbox
