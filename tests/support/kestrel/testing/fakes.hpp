#pragma once
// Fakes of the platform interfaces for driving the paging session by hand.
//
// They obey the real completion rules: a fake never calls back from inside the call that started
// an operation. Notifications are queued on a FakeLoop and run by RunPending() (the host's
// DoEvents runs it too); FakeClock::Advance moves time and runs the ticks that fall due.
// A Journal shared by the host and the socket records change notices, events and writes in
// the order they happened.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/platform/control_host.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/platform/socket.hpp"
#include "kestrel/platform/timer.hpp"

namespace kestrel::testing {

using Journal = std::vector<std::string>;

class FakeLoop {
 public:
  void Post(std::function<void()> fn) { pending_.push_back(std::move(fn)); }
  // Runs queued work, including work queued meanwhile; returns how many ran.
  std::size_t RunPending() {
    std::size_t n = 0;
    while (!pending_.empty() && n < 100000) {
      auto fn = std::move(pending_.front());
      pending_.pop_front();
      fn();
      ++n;
    }
    return n;
  }
  bool idle() const { return pending_.empty(); }

 private:
  std::deque<std::function<void()>> pending_;
};

class FakeSocket final : public platform::Socket {
 public:
  FakeSocket(FakeLoop& loop, Journal* journal = nullptr) : loop_(loop), journal_(journal) {}
  ~FakeSocket() override { *alive_ = false; }

  // --- platform::Socket ---
  void Connect(const String& host, Long port) override {
    if (connect_error_) throw *connect_error_;
    if (state_ != platform::SocketState::kClosed) {
      throw RuntimeError(err::kSocketNotClosed, "socket not closed");
    }
    connects.emplace_back(host, port);
    state_ = platform::SocketState::kConnecting;
    ++generation_;
  }
  void SendData(std::string_view text) override {
    if (write_error_after_ && *write_error_after_ == 0) {
      write_error_after_.reset();
      throw RuntimeError(write_error_number_, "write failed");
    }
    if (write_error_after_) --*write_error_after_;
    if (state_ != platform::SocketState::kConnected) {
      throw RuntimeError(err::kSocketNotConnected, "not connected");
    }
    writes.emplace_back(text);
    if (journal_) journal_->push_back("write " + std::string(text));
  }
  String GetData() override { return std::exchange(inbox_, String()); }
  void Close() override {
    ++closes;
    state_ = platform::SocketState::kClosed;
    inbox_.clear();
    ++generation_;  // queued notifications of this connection are dropped
  }
  platform::SocketState State() const override { return state_; }
  String RemoteHost() const override { return host_; }
  void SetRemoteHost(const String& host) override { host_ = host; }
  Long RemotePort() const override { return port_; }
  void SetRemotePort(Long port) override { port_ = port; }
  void OnDataArrival(DataArrivalHandler handler) override { on_data_ = std::move(handler); }
  void OnClosed(ClosedHandler handler) override { on_closed_ = std::move(handler); }

  // --- Test controls ---
  void CompleteConnect() { state_ = platform::SocketState::kConnected; }
  // The server sends `bytes`: queued, announced on the loop.
  void Receive(std::string_view bytes) {
    inbox_ += bytes;
    const auto gen = generation_;
    const auto size = static_cast<Long>(inbox_.size());
    loop_.Post([this, alive = alive_, gen, size] {
      if (*alive && gen == generation_ && on_data_) on_data_(size);
    });
  }
  // The peer closes or the attempt fails: the socket reports it on the loop.
  void PeerClose(Long number = err::kSocketClosedByPeer,
                 String description = "The server closed the connection.") {
    state_ = platform::SocketState::kClosing;
    const auto gen = generation_;
    loop_.Post([this, alive = alive_, gen, number, description] {
      if (*alive && gen == generation_ && on_closed_) on_closed_(number, description);
    });
  }
  void FailWritesAfter(int ok_writes, Long number = err::kSocketIo) {
    write_error_after_ = ok_writes;
    write_error_number_ = number;
  }
  void FailConnect(RuntimeError error) { connect_error_ = std::move(error); }
  std::string last_write() const { return writes.empty() ? std::string() : writes.back(); }
  bool has_data_handler() const { return static_cast<bool>(on_data_); }

  std::vector<std::string> writes;
  std::vector<std::pair<String, Long>> connects;
  int closes = 0;

 private:
  FakeLoop& loop_;
  Journal* journal_;
  platform::SocketState state_ = platform::SocketState::kClosed;
  String host_ = "127.0.0.1";
  Long port_ = 0;
  String inbox_;
  std::uint64_t generation_ = 0;
  DataArrivalHandler on_data_;
  ClosedHandler on_closed_;
  std::optional<int> write_error_after_;
  Long write_error_number_ = err::kSocketIo;
  std::optional<RuntimeError> connect_error_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class FakeClock;

class FakeTimer final : public platform::Timer {
 public:
  explicit FakeTimer(FakeClock& clock);
  ~FakeTimer() override;
  Long Interval() const override { return interval_; }
  void SetInterval(Long ms) override { interval_ = ms; }
  bool Enabled() const override { return enabled_; }
  void SetEnabled(bool enabled) override;
  void OnTick(TickHandler handler) override { on_tick_ = std::move(handler); }

  std::int64_t due() const { return due_; }
  int ticks = 0;

 private:
  friend class FakeClock;
  FakeClock& clock_;
  Long interval_ = 1000;
  bool enabled_ = false;
  std::int64_t due_ = 0;
  TickHandler on_tick_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Fake time. Advance() walks forward tick by tick, running each due tick and whatever it queued.
class FakeClock {
 public:
  explicit FakeClock(FakeLoop& loop) : loop_(loop) {}
  std::int64_t now() const { return now_; }
  void Register(FakeTimer* t) { timers_.push_back(t); }
  void Unregister(FakeTimer* t) { std::erase(timers_, t); }
  void Advance(std::int64_t ms) {
    const std::int64_t end = now_ + ms;
    for (;;) {
      FakeTimer* next = nullptr;
      for (auto* t : timers_) {
        if (t->enabled_ && t->due_ <= end && (!next || t->due_ < next->due_)) next = t;
      }
      if (!next) break;
      now_ = next->due_;
      // A tick is a notification like any other: queued, then run.
      next->due_ = now_ + next->interval_;
      loop_.Post([next, alive = next->alive_] {
        if (*alive && next->enabled_ && next->on_tick_) {
          ++next->ticks;
          next->on_tick_();
        }
      });
      loop_.RunPending();
    }
    now_ = end;
    loop_.RunPending();
  }

 private:
  FakeLoop& loop_;
  std::int64_t now_ = 0;
  std::vector<FakeTimer*> timers_;
};

inline FakeTimer::FakeTimer(FakeClock& clock) : clock_(clock) {
  clock_.Register(this);
}
inline FakeTimer::~FakeTimer() {
  *alive_ = false;
  clock_.Unregister(this);
}

inline void FakeTimer::SetEnabled(bool enabled) {
  enabled_ = enabled;
  if (enabled) due_ = clock_.now() + interval_;
}

// A host that records what the control tells it.
class FakeHost final : public platform::ControlHost {
 public:
  explicit FakeHost(FakeLoop& loop, Journal* journal = nullptr) : loop_(loop), journal_(journal) {}

  struct Event {
    platform::EventId id;
    String argument;
  };

  void PropertyChanged(std::string_view name) override {
    notices.emplace_back(name);
    if (journal_) {
      journal_->push_back("notice " + std::string(name) + (probe_state ? probe_state() : ""));
    }
    if (fail_notices) throw RuntimeError(fail_number, "host refused the change notice");
  }
  void RaiseEvent(platform::EventId id, String& argument) override {
    events.push_back({id, argument});
    if (journal_) {
      journal_->push_back(
          std::string(id == platform::EventId::kOnError ? "OnError " : "OnComplete ") + argument);
    }
    if (on_event) on_event(id, argument);
  }
  void DoEvents() override {
    ++do_events;
    loop_.RunPending();
  }

  std::vector<String> errors() const { return of(platform::EventId::kOnError); }
  std::vector<String> completions() const { return of(platform::EventId::kOnComplete); }

  std::vector<std::string> notices;
  std::vector<Event> events;
  int do_events = 0;
  bool fail_notices = false;
  Long fail_number = 1001;
  std::function<void(platform::EventId, String&)> on_event;
  // Filled in by the test so the journal can show State as it stands at a notice.
  std::function<std::string()> probe_state;

 private:
  std::vector<String> of(platform::EventId id) const {
    std::vector<String> out;
    for (const auto& e : events)
      if (e.id == id) out.push_back(e.argument);
    return out;
  }
  FakeLoop& loop_;
  Journal* journal_;
};

}  // namespace kestrel::testing
