#pragma once
// PagingDriver: a host that keeps many paging controls busy on one event loop, each sending
// pages back to back the way a program with a pool of controls would: Send, OnComplete, the
// server's 221 ends the session (the control closes its socket), Send again.
//
// The control raises no event when its session ends after OnComplete, so the host learns it
// from the socket: each control gets its Asio socket wrapped in a ClosingSocket, whose Close()
// tells the driver, and the driver posts the next Send to the loop. It never calls back into the
// control from inside the control's own call (the reply handler still has work to do after it
// closes the socket: it stops the time-out timer).
//
// One ControlHost per control (a Site): RaiseEvent does not say which control raised the event.
// DoEvents runs the loop once (EventLoop::Poll), as the host's DoEvents does in snpp-send; the
// driver records how deep those calls nest.
//
// Running: Start() sends the first page on every control; RunUntilCompleted() runs the loop
// until that many OnComplete events in all have been raised, or a deadline passes; Drain() stops
// sending new pages and runs until every session has ended.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrel/platform/control_host.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/platform/event_loop.hpp"
#include "kestrel/platform/forwarding_socket.hpp"
#include "kestrel/platform/socket.hpp"
#include "kestrel/session/snpp_instance.hpp"

namespace kestrel::bench {

// Forwards everything to the real socket; Close() also calls `on_close` afterwards.
class ClosingSocket final : public platform::ForwardingSocket {
 public:
  ClosingSocket(std::unique_ptr<platform::Socket> inner, std::function<void()> on_close)
      : ForwardingSocket(std::move(inner)), on_close_(std::move(on_close)) {}

  void Close() override {
    ForwardingSocket::Close();
    if (on_close_) on_close_();
  }

 private:
  std::function<void()> on_close_;
};

class PagingDriver {
 public:
  // Called before every Send with the control, its index and the number of pages it has sent
  // so far; sets whatever properties change from page to page (may be empty).
  using Configure = std::function<void(session::SNPPInstance&, std::size_t, std::uint64_t)>;

  struct Slot {
    std::uint64_t sent = 0;       // Send() calls that returned normally
    std::uint64_t completed = 0;  // OnComplete events
    std::uint64_t errors = 0;     // OnError events, and Send() calls that raised
    bool in_session = false;      // sent, and the session has not ended yet
    bool awaiting_close = false;  // OnComplete seen: the next socket Close() ends the session
    std::string first_error;
  };

  PagingDriver(platform::EventLoop& loop, std::size_t controls,
               const std::function<void(session::SNPPInstance&)>& setup, Configure per_page = {})
      : loop_(loop), per_page_(std::move(per_page)), watchdog_(platform::MakeAsioTimer(loop)) {
    sites_.reserve(controls);
    slots_.resize(controls);
    controls_.reserve(controls);
    for (std::size_t i = 0; i < controls; ++i) {
      sites_.push_back(std::make_unique<Site>(*this, i));
      auto socket = std::make_unique<ClosingSocket>(platform::MakeAsioSocket(loop),
                                                    [this, i] { SocketClosed(i); });
      controls_.push_back(std::make_unique<session::SNPPInstance>(*sites_[i], std::move(socket),
                                                                  platform::MakeAsioTimer(loop)));
      setup(*controls_.back());
    }
    // Bounds every run: the loop is stopped when the deadline of the current run has passed.
    watchdog_->SetInterval(100);
    watchdog_->OnTick([this] {
      if (std::chrono::steady_clock::now() >= deadline_) loop_.Stop();
    });
  }

  ~PagingDriver() {
    tearing_down_ = true;
    watchdog_->SetEnabled(false);
    controls_.clear();  // each control closes its socket: SocketClosed ignores it now
  }

  PagingDriver(const PagingDriver&) = delete;
  PagingDriver& operator=(const PagingDriver&) = delete;

  // Posts the first page of every control.
  void Start() {
    resend_ = true;
    for (std::size_t i = 0; i < controls_.size(); ++i) {
      loop_.Post([this, i] { SendNext(i); });
    }
  }

  // Runs the loop until `total` OnComplete events have been raised since construction; false
  // when the time limit passed first.
  bool RunUntilCompleted(std::uint64_t total, std::chrono::milliseconds limit) {
    target_ = total;
    return RunWhile([this] { return completed_ < target_; }, limit);
  }

  // Stops starting pages and runs until every session has ended; false on the time limit.
  bool Drain(std::chrono::milliseconds limit) {
    resend_ = false;
    target_ = UINT64_MAX;
    return RunWhile([this] { return active_ > 0; }, limit);
  }

  std::uint64_t completed() const noexcept { return completed_; }
  std::uint64_t sent() const noexcept { return sent_; }
  std::uint64_t errors() const noexcept { return errors_; }
  std::size_t active() const noexcept { return active_; }
  // The deepest DoEvents ran inside other DoEvents calls (1: never nested).
  std::size_t max_do_events_depth() const noexcept { return max_do_events_depth_; }
  // The most stack those nested calls took, in bytes, from the outermost DoEvents down.
  std::size_t max_do_events_stack() const noexcept { return max_do_events_stack_; }
  const std::vector<Slot>& slots() const noexcept { return slots_; }
  session::SNPPInstance& control(std::size_t i) { return *controls_[i]; }
  std::size_t size() const noexcept { return controls_.size(); }

  // Stops sending new pages once this many have been sent in all.
  void LimitPages(std::uint64_t total) { page_limit_ = total; }

 private:
  class Site final : public platform::ControlHost {
   public:
    Site(PagingDriver& driver, std::size_t index) : driver_(driver), index_(index) {}
    void PropertyChanged(std::string_view) override {}
    void RaiseEvent(platform::EventId id, String& argument) override {
      if (id == platform::EventId::kOnComplete) {
        driver_.Completed(index_);
      } else if (id == platform::EventId::kOnError) {
        driver_.Failed(index_, argument);
      }
    }
    void DoEvents() override {
      // Send() calls DoEvents, and the loop it runs may send the next page: the depth shows how
      // far such calls nest.
      struct Depth {
        PagingDriver& d;
        explicit Depth(PagingDriver& driver) : d(driver) {
          const auto here = reinterpret_cast<std::uintptr_t>(this);
          if (++d.do_events_depth_ == 1) d.stack_top_ = here;
          if (d.do_events_depth_ > d.max_do_events_depth_)
            d.max_do_events_depth_ = d.do_events_depth_;
          if (d.stack_top_ > here && d.stack_top_ - here > d.max_do_events_stack_) {
            d.max_do_events_stack_ = d.stack_top_ - here;
          }
        }
        ~Depth() { --d.do_events_depth_; }
      } depth(driver_);
      driver_.loop_.Poll();
    }

   private:
    PagingDriver& driver_;
    std::size_t index_;
  };

  bool RunWhile(const std::function<bool()>& keep_going, std::chrono::milliseconds limit) {
    deadline_ = std::chrono::steady_clock::now() + limit;
    watchdog_->SetEnabled(true);
    keep_going_ = &keep_going;
    while (keep_going() && std::chrono::steady_clock::now() < deadline_) {
      loop_.Restart();
      loop_.Run();
    }
    keep_going_ = nullptr;
    watchdog_->SetEnabled(false);
    return !keep_going();
  }

  void StopIfDone() {
    if (keep_going_ && !(*keep_going_)()) loop_.Stop();
  }

  void SendNext(std::size_t i) {
    Slot& slot = slots_[i];
    if (!resend_ || slot.in_session || sent_ >= page_limit_) return;
    auto& control = *controls_[i];
    try {
      if (per_page_) per_page_(control, i, slot.sent);
      slot.in_session = true;
      ++active_;
      ++sent_;
      ++slot.sent;
      control.Send();
    } catch (const RuntimeError& e) {
      --sent_;
      --slot.sent;
      EndSession(i);
      Failed(i, e.description());
    }
  }

  void Completed(std::size_t i) {
    ++completed_;
    ++slots_[i].completed;
    slots_[i].awaiting_close = true;
    StopIfDone();
  }

  void Failed(std::size_t i, const String& text) {
    Slot& slot = slots_[i];
    ++errors_;
    if (slot.errors++ == 0) slot.first_error = text;
    // The control rests after a failure; this one sends no more pages.
    if (slot.in_session) EndSession(i);
    slot.awaiting_close = false;
    StopIfDone();
  }

  void SocketClosed(std::size_t i) {
    if (tearing_down_) return;
    Slot& slot = slots_[i];
    if (!slot.awaiting_close) return;  // not the end of a delivered page's session
    slot.awaiting_close = false;
    EndSession(i);
    if (resend_ && slot.errors == 0) loop_.Post([this, i] { SendNext(i); });
    StopIfDone();
  }

  void EndSession(std::size_t i) {
    if (!slots_[i].in_session) return;
    slots_[i].in_session = false;
    --active_;
  }

  platform::EventLoop& loop_;
  Configure per_page_;
  std::vector<std::unique_ptr<Site>> sites_;
  std::vector<Slot> slots_;
  std::vector<std::unique_ptr<session::SNPPInstance>> controls_;
  std::unique_ptr<platform::Timer> watchdog_;
  std::chrono::steady_clock::time_point deadline_{};
  const std::function<bool()>* keep_going_ = nullptr;
  std::uint64_t completed_ = 0;
  std::uint64_t sent_ = 0;
  std::uint64_t errors_ = 0;
  std::uint64_t target_ = 0;
  std::uint64_t page_limit_ = UINT64_MAX;
  std::size_t active_ = 0;
  std::size_t do_events_depth_ = 0;
  std::size_t max_do_events_depth_ = 0;
  std::uintptr_t stack_top_ = 0;
  std::size_t max_do_events_stack_ = 0;
  bool resend_ = false;
  bool tearing_down_ = false;
};

}  // namespace kestrel::bench
