#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include "kestrel/platform/asio_event_loop.hpp"

namespace kestrel::platform {

EventLoop::EventLoop() : impl_(std::make_unique<Impl>()) {}
EventLoop::~EventLoop() = default;

std::size_t EventLoop::Run() {
  return impl_->io.run();
}

std::size_t EventLoop::Poll() {
  // Asio supports poll() nested inside a handler, which is what a host's DoEvents needs when a
  // handler calls Send. But a handler run by that poll may send the next page and poll again:
  // with many controls paging back to back the nesting would grow with the pages sent, until
  // the stack runs out. A few levels let pending work run; deeper, it waits for the outer loop.
  if (impl_->poll_depth >= kMaxPollDepth) return 0;
  ++impl_->poll_depth;
  struct Leave {
    int& depth;
    ~Leave() { --depth; }
  } leave{impl_->poll_depth};
  // A stopped context would poll nothing; a host's DoEvents still must.
  if (impl_->io.stopped()) impl_->io.restart();
  return impl_->io.poll();
}

std::size_t EventLoop::RunFor(std::chrono::milliseconds limit) {
  return impl_->io.run_for(limit);
}

bool EventLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    if (impl_->io.stopped()) impl_->io.restart();
    // Wait for one handler at most until the deadline, then look at done() again.
    if (impl_->io.run_one_until(deadline) == 0 && impl_->io.stopped()) {
      // Out of work: nothing will make done() true except time, which we do not wait for
      // idly; come back only if there may still be something to run.
      impl_->io.restart();
      if (impl_->io.poll() == 0) break;
    }
  }
  return done();
}

void EventLoop::Stop() {
  impl_->io.stop();
}
void EventLoop::Restart() {
  impl_->io.restart();
}

void EventLoop::Post(std::function<void()> fn) {
  asio::post(impl_->io, std::move(fn));
}

}  // namespace kestrel::platform
