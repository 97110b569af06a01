// The periodic timer on Asio.
//
// Threading: ticks run on the thread that runs the EventLoop. Each start, stop, interval change
// and the destructor moves the timer to a new generation; a wait that completes for an older
// generation does nothing, even when it had already expired and its completion was queued. So a
// stopped or destroyed timer never ticks, and a tick never comes from inside SetEnabled.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include <asio/steady_timer.hpp>

#include "kestrel/platform/asio_event_loop.hpp"
#include "kestrel/platform/error.hpp"

namespace kestrel::platform {
namespace {

using Clock = asio::steady_timer::clock_type;

// What pending waits hold, so that a wait may complete after the AsioTimer has gone.
struct Waiter {
  explicit Waiter(asio::io_context& io) : timer(io) {}

  asio::steady_timer timer;
  std::uint64_t generation = 0;  // the generation whose waits may still tick
};

class AsioTimer final : public Timer {
 public:
  explicit AsioTimer(EventLoop& loop) : waiter_(std::make_shared<Waiter>(AsioContext(loop))) {}

  ~AsioTimer() override {
    ++waiter_->generation;
    waiter_->timer.cancel();
  }

  Long Interval() const override { return interval_; }

  // A running timer starts the new interval from now.
  void SetInterval(Long milliseconds) override {
    if (milliseconds < 1) {
      throw RuntimeError(err::kTimerBadInterval, "The timer interval " +
                                                     std::to_string(milliseconds) +
                                                     " ms is not allowed; use 1 ms or more.");
    }
    interval_ = milliseconds;
    if (enabled_) Arm(Clock::now() + Period());
  }

  bool Enabled() const override { return enabled_; }

  void SetEnabled(bool enabled) override {
    enabled_ = enabled;
    if (enabled) {
      Arm(Clock::now() + Period());
    } else {
      ++waiter_->generation;
      waiter_->timer.cancel();
    }
  }

  void OnTick(TickHandler handler) override { on_tick_ = std::move(handler); }

 private:
  std::chrono::milliseconds Period() const { return std::chrono::milliseconds(interval_); }

  // Starts a new generation whose first tick falls due at `due`.
  void Arm(Clock::time_point due) {
    const auto generation = ++waiter_->generation;
    waiter_->timer.expires_at(due);  // cancels the waits of older generations
    waiter_->timer.async_wait([this, waiter = waiter_, generation](const std::error_code& error) {
      if (error || waiter->generation != generation) return;
      Tick();
    });
  }

  void Tick() {
    // The next tick is due one interval after this one was; a loop that fell behind gets one
    // late tick, not a burst of them.
    auto due = waiter_->timer.expiry() + Period();
    const auto now = Clock::now();
    if (due <= now) due = now + Period();
    Arm(due);
    // Arming first lets the handler stop, restart or destroy the timer as it likes.
    if (auto handler = on_tick_) handler();  // a copy: the handler may replace itself
  }

  std::shared_ptr<Waiter> waiter_;
  Long interval_ = 1000;
  bool enabled_ = false;
  TickHandler on_tick_;
};

}  // namespace

std::unique_ptr<Timer> MakeAsioTimer(EventLoop& loop) {
  return std::make_unique<AsioTimer>(loop);
}

}  // namespace kestrel::platform
