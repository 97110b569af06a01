#pragma once
// The host's event loop: one thread runs it, and every control, socket and timer created on it
// delivers its notifications there, one after another, with no locks.
//
// Vocabulary follows Asio: Run() is the program's loop, Poll() runs what is ready once (the host's
// DoEvents; it may be called from inside a handler), RunFor() waits with a deadline (tests).
// Components take the loop by reference and never own it, so many controls can share one.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "kestrel/platform/socket.hpp"
#include "kestrel/platform/timer.hpp"

namespace kestrel::platform {

class EventLoop {
 public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Runs until Stop() or until no work is left; returns the number of handlers run.
  std::size_t Run();
  // Runs the handlers that are ready now, without waiting. Safe to nest inside a handler, up
  // to kMaxPollDepth levels; deeper, it runs nothing and the work waits for the outer loop.
  std::size_t Poll();
  static constexpr int kMaxPollDepth = 4;
  // Runs handlers for at most `limit`; returns early on Stop() or when no work is left.
  std::size_t RunFor(std::chrono::milliseconds limit);
  // Runs handlers until `done()` holds or `limit` has passed; returns done().
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
  // Makes Run()/RunFor() return as soon as possible; Restart() undoes it.
  void Stop();
  void Restart();
  // Queues `fn` to run on the loop's thread.
  void Post(std::function<void()> fn);

  struct Impl;
  Impl& impl() noexcept { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// A TCP client socket on `loop`: RemoteHost "127.0.0.1" and RemotePort 0 at creation.
std::unique_ptr<Socket> MakeAsioSocket(EventLoop& loop);
// A periodic timer on `loop`: Interval 1000 ms, stopped at creation.
std::unique_ptr<Timer> MakeAsioTimer(EventLoop& loop);

}  // namespace kestrel::platform
