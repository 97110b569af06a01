#pragma once
// Dispatcher: takes due recipients from the outbox and sends each, one attempt at a time, through
// the delivery layer, recording every step in the outbox before the next one happens.
//
//   a tick, a wake-up, a slot freed, Wake()
//      ▼
//   store.Claim: as many as free session slots carry (batch each), by what the gateways can carry
//      ▼                                                   (committed before any session starts)
//   ChooseGateway ──▶ the gateway's delivery::Delivery (its concurrency bounds its sessions), one
//                        │ request for the recipients of one page there (its batch: few sessions)
//                        │ hold_send(_batch) ──▶ SendGate ──▶ store.MarkSendWritten (every pager
//                        │                        of the SEND in one commit) ──▶ SEND goes, or not
//                        │ on_attempt, on_result ──▶ NextState ──▶ store.Finish (a few ms batched)
//   every second: Sweep (claims whose holder is gone), Expire, Renew the leases of sessions;
//   every minute: Prune what is final for longer than retain.
//
// The outbox is the schedule: nothing about a recipient's progress lives only in memory, so a
// restart carries on where the last run stopped. A gateway that refused our login is not asked
// again until its configuration (login, password) changes; a recipient no gateway left can carry
// is settled at once. An outcome the outbox cannot record yet (a full disk) is kept and recorded
// later; until then its recipient stays claimed.
//
// Each gateway's health, as the attempts through it left it (GatewayHealthAfter), is kept for
// the operator (Gateways()); a gateway held off is passed over for another (PassedOver).
//
// Time and I/O come from the Environment, so tests run it on fake time and sockets.
// Threading: the thread of the Environment's loop; every callback comes from the loop, never
// from inside a call into the dispatcher.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrel/delivery/delivery.hpp"
#include "kestrel/outbox/store.hpp"
#include "kestrel/relay/disposition.hpp"
#include "kestrel/relay/gateway.hpp"
#include "kestrel/relay/send_gate.hpp"

namespace kestrel::platform {
class EventLoop;
}

namespace kestrel::relay {

// What the dispatcher needs from the host: the delivery layer's sockets, timers, clock, loop
// and randomness, and TLS sockets for the gateways that want them.
struct Environment {
  delivery::Environment delivery;
  std::function<std::unique_ptr<platform::Socket>(std::shared_ptr<const platform::TlsContext>)>
      make_tls_socket;
  // Milliseconds since the Unix epoch, for the times an operator reads; empty: the system clock.
  std::function<Millis()> wall_clock;
};

// Everything on `loop`.
Environment OnLoop(platform::EventLoop& loop);

struct DispatchSettings {
  std::vector<GatewayConfig> gateways;  // in failover order
  RetrySettings retry;
  Millis retain = 7LL * 24 * 3'600'000;  // final pages are kept this long
};

struct DispatchHooks {
  std::function<void(const std::string&)> log;  // one line per event; no secret in it
  std::function<void()> attempt_started;
  // A recipient reached a final state; for delivered and degraded, how long after it was
  // accepted.
  std::function<void(outbox::RecipientState, double seconds)> outcome;
};

inline constexpr int kVerdictCount = static_cast<int>(delivery::Verdict::kCertificateFailed) + 1;

// One gateway as the dispatcher last saw it. Times are milliseconds since the Unix epoch.
struct GatewayStatus {
  std::string name;
  std::string server;  // "host:port", "[::1]:444"
  bool up = true;      // as GatewayHealthAfter left it; yes before the first attempt
  // It refused our login, or its certificate failed: left out until its configuration changes.
  bool left_out = false;
  std::optional<Millis> last_success;  // its latest delivered page, since start
  std::string last_error;              // its latest failed attempt's text, secrets masked
  std::optional<Millis> last_error_at;
  int sessions_open = 0;
  int concurrency = 0;
  std::optional<Millis> hold_off_until;  // only while new attempts pass it over (PassedOver)
  std::array<std::int64_t, kVerdictCount> attempts{};  // ended through it, by verdict
};

class Dispatcher {
 public:
  Dispatcher(Environment environment, outbox::Store& store, DispatchHooks hooks);
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Gateways and retry settings. Again on a reload: a gateway whose settings did not change
  // keeps its sessions and what it learned (a refused login); one that changed or went finishes
  // the sessions it has and takes no new ones.
  void Configure(const DispatchSettings& settings);
  // Resolves what an earlier run left claimed (logged), then starts dispatching.
  void Start();
  // New pages were accepted: look for due recipients now.
  void Wake();
  // Claims no more; `done` runs once the sessions under way have ended and their outcomes are
  // recorded, or once `grace` has passed: then sessions still open are dropped and recorded as
  // what they are (queued again before SEND, uncertain after).
  void Drain(Millis grace, std::function<void()> done);

  std::size_t in_flight() const { return attempts_.size(); }
  // Every configured gateway, in configuration order. Counts and times since start: a gateway
  // a reload changed keeps them, and is taken to be up again.
  std::vector<GatewayStatus> Gateways() const;

 private:
  struct Lane;
  struct Attempt;
  struct Health {
    bool up = true;
    int failures = 0;  // in a row that hold it off
    delivery::TimePoint held_until{};
    std::optional<Millis> last_success;
    std::string last_error;
    std::optional<Millis> last_error_at;
    std::array<std::int64_t, kVerdictCount> attempts{};
  };
  enum class Purpose { kSend, kHopeless };

  std::shared_ptr<Lane> MakeLane(const GatewayConfig& gateway);
  void Pump();
  void ClaimStep(int step);
  // Sends the claimed jobs: each to its gateway, those of one page at one gateway together.
  void Begin(std::vector<outbox::Job> jobs);
  void Submit(const std::shared_ptr<Lane>& lane, std::vector<outbox::Job> jobs);
  void SettleHopeless(const outbox::Job& job);
  void GiveBack(const outbox::Job& job);
  void OnHoldSend(std::vector<std::uint64_t> tags, delivery::SendRelease release);
  void OnAttempt(std::uint64_t tag, const delivery::AttemptReport& report);
  void OnResult(std::uint64_t tag, const delivery::RecipientResult& result);
  void Settle(outbox::Settlement settlement);
  void FlushSettlements(std::function<void()> then = nullptr);
  void FlushSettlementsNow();
  void Tick();
  void Prune();
  void ArmWake();
  void StopSessions();
  void FinishDrainIfIdle();
  int FreeSlots(bool level2) const;
  bool AnyCanCarry(bool needs_level2) const;
  std::vector<GatewayView> Views() const;
  void NoteHealth(const Lane& lane, const Attempt& attempt, delivery::Verdict verdict,
                  const std::string& text);
  Millis WallNow() const;
  void Log(const std::string& line) const;

  Environment env_;
  outbox::Store& store_;
  DispatchHooks hooks_;
  DispatchSettings settings_;
  SendGate gate_;
  std::vector<std::shared_ptr<Lane>> lanes_;
  std::vector<std::shared_ptr<Lane>> retired_;  // replaced by a reload, finishing their work
  std::map<std::uint64_t, Attempt> attempts_;
  std::map<std::string, Health> health_;         // by gateway name, for the configured ones
  std::vector<outbox::Settlement> settlements_;  // not recorded yet
  std::uint64_t next_tag_ = 1;
  bool started_ = false;
  bool claiming_ = false;
  bool pump_again_ = false;
  bool pump_posted_ = false;
  bool flushing_ = false;
  bool draining_ = false;
  bool store_failing_ = false;  // the last claim failed: said once, until one works again
  int settle_failures_ = 0;     // in a row: the backoff of the next try
  int ticks_ = 0;
  std::optional<Millis> next_due_;
  std::function<void()> drained_;
  std::unique_ptr<platform::Timer> tick_, wake_, settle_, grace_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel::relay
