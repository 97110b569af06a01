#pragma once
// Dispatcher: takes due recipients from the outbox and sends each one attempt at a time through
// the delivery layer, recording every step in the outbox.
//
//   outbox.Due ──▶ MarkSending ──▶ Sender (one delivery::Delivery per gateway: its concurrency)
//                                    │ before_send ──▶ outbox.MarkSendWritten; the session's
//                                    │   socket holds SEND until the commit that records it
//                                    │ on_result  ──▶ outbox.Finish: an outcome, or queued again
//   wake-up timer ◀── NextDue, expiry scan ◀┘           with a backoff, for the next gateway
//
// The outbox is the schedule: the n-th attempt of a recipient goes to gateway n mod (count), and
// the wait before it doubles from [retry] backoff up to max_backoff, with jitter. Nothing about
// a recipient's progress lives only in memory, so a restart carries on where the last run was.
//
// Threading: the event loop's thread; callbacks come from the loop, never from inside a call.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kestrel/delivery/delivery.hpp"
#include "kestrel/outbox/outbox.hpp"
#include "kestrel/relay/config.hpp"
#include "kestrel/relay/metrics.hpp"

namespace kestrel::platform {
class EventLoop;
}

namespace kestrel::relay {

using LogFn = std::function<void(const std::string&)>;

// Milliseconds since the Unix epoch, now.
Millis NowMillis();

// The wait before attempt `attempts` + 1, given `attempts` made: backoff doubling per attempt,
// at most max_backoff, scaled by `jitter` in [0.5, 1].
Millis RetryDelay(int attempts, Millis backoff, Millis max_backoff, double jitter);

class Dispatcher {
 public:
  Dispatcher(platform::EventLoop& loop, outbox::Outbox& outbox, Metrics& metrics, LogFn log);
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Gateways and retry settings. Called again on a reload: new attempts use the new gateways;
  // attempts in flight finish where they are.
  void Configure(const RelayConfig& config);
  // Resolves what an earlier run left sending, then starts dispatching.
  outbox::Recovery Start();
  // New pages were accepted: look for due recipients soon.
  void Wake();
  // Starts no more attempts; `done` runs once the attempts in flight have ended, or when
  // `grace` has passed (sessions still open are then dropped: the outbox resolves them at the
  // next start).
  void Drain(Millis grace, std::function<void()> done);

  std::size_t in_flight() const { return attempts_.size(); }

  class SendGate;

 private:
  struct Lane;
  struct Attempt;

  void Pump();
  void ScheduleFlush();
  void ScheduleCommit();
  void ArmTimer(Millis now);
  void OnResult(std::uint64_t tag, const delivery::RecipientResult& result);
  void OnBeforeSend(std::uint64_t tag);
  void OnAttempt(std::uint64_t tag, const delivery::AttemptReport& report);
  void FinishDrainIfIdle();
  std::shared_ptr<Lane> MakeLane(const GatewayConfig& gateway);

  platform::EventLoop& loop_;
  outbox::Outbox& outbox_;
  Metrics& metrics_;
  LogFn log_;
  RelayConfig config_;
  std::vector<std::shared_ptr<Lane>> lanes_;
  std::vector<std::shared_ptr<Lane>> retired_;  // replaced by a reload, finishing their work
  std::map<std::uint64_t, Attempt> attempts_;
  std::uint64_t next_tag_ = 1;
  bool started_ = false;
  bool flush_posted_ = false;
  bool draining_ = false;
  std::function<void()> drained_;
  std::mt19937_64 random_{std::random_device{}()};
  struct Timers;
  std::unique_ptr<Timers> timers_;
  std::unique_ptr<SendGate> gate_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel::relay
