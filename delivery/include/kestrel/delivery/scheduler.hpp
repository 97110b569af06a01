#pragma once
// Scheduler: which recipient goes next, to which gateway, and when. No I/O and no clock of its
// own: the caller passes the time in and carries out what it is told.
//
// A recipient is in one of three states:
//   waiting  ── Due(now) when its wait is over and a gateway has a free slot ──▶ running
//   running  ── AttemptEnded(verdict) ──▶ waiting (next part; or a retry after a backoff)
//                                      └▶ finished (removed; the Followup says how it ended)
//   waiting  ── Expired(now) once its deadline has passed ──▶ finished
//   waiting  ── Stranded() once no gateway is left for it ──▶ finished
// Slots are taken by Due() and given back by ReleaseSlot(), separately from AttemptEnded: a
// delivered session still says QUIT before its connection is free.
//
// Which gateway: a recipient starts at its preferred gateway (the first for a first attempt,
// the one after the gateway that just failed for a retry) and takes the first gateway from
// there, in failover order and wrapping round, that has a free slot and is not held off; so a
// busy or failing gateway never keeps recipients from a free slot elsewhere.
//   held off   a gateway that refused a connection, could not be reached, or sent no greeting
//              in time is passed over for new attempts for kFirstHoldOff, doubling with each
//              failure in a row up to kMaxHoldOff, until it greets again (Greeted). When every
//              gateway left to a recipient is held off, it is tried anyway.
//   out        a gateway that refused our login, or whose certificate failed verification, is
//              out for the rest of its request: no recipient of that request is sent there
//              again. When no gateway is left, the request's waiting recipients end at once:
//              refused when every gateway refused the login, failed otherwise.
//   login      a gateway where we log in opens one session until it has accepted our login once
//              (LoginAccepted), so that a wrong password is tried once per gateway, not once
//              per slot.
//
// Batches: a gateway with a batch size above 1 takes several recipients of one request, at the
// same part, in one session (one slot): Due() gives them the same Start::batch, up to the batch
// size each, and as evenly as the sessions they need allow (30 at 25: 15 and 15). OneASession()
// sets a gateway's batch size to 1 for good; Again() puts a recipient of a batch back, its attempt
// not counted.
//
// Retries: a transient failure sends the next attempt to the next gateway after Backoff(); an
// "out" verdict moves on at once. Attempts are counted per part.
//
// Threading: none of its own; one caller at a time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "kestrel/delivery/delivery.hpp"
#include "kestrel/delivery/outcome.hpp"

namespace kestrel::delivery {

// The wait before attempt `retry` + 1 (retry 1: before the second attempt): the nominal wait
// first_backoff * 2^(retry-1), capped at max_backoff, drawn uniformly between half of it and all
// of it by `random` in [0, 1).
Duration Backoff(const Policy& policy, int retry, double random);

inline constexpr Duration kFirstHoldOff = std::chrono::seconds(5);
inline constexpr Duration kMaxHoldOff = std::chrono::seconds(60);

class Scheduler {
 public:
  using Id = std::uint64_t;
  using Group = std::uint64_t;  // the recipients of one request

  // concurrency[g]: the slots of gateway g (at least 1 each); logs_in[g]: its sessions begin
  // with LOGI (none when empty); batch[g]: recipients a session at most (1 when empty or below).
  explicit Scheduler(std::vector<int> concurrency, std::vector<bool> logs_in = {},
                     std::vector<int> batch = {});

  struct Start {
    Id id = 0;
    std::size_t gateway = 0;
    std::size_t part = 0;
    int attempt = 1;          // of this part, 1-based
    std::uint64_t batch = 0;  // the starts of one Due() with the same batch share a session
  };

  enum class Reason {
    kNone,
    kAttemptsExhausted,       // the last allowed attempt failed in passing
    kDeadline,                // the deadline passed, or leaves no time for the next attempt
    kLoginRefusedEverywhere,  // every gateway refused our login
    kNoGatewayLeft,           // every gateway is out: login refused or certificate failed
  };

  struct Followup {
    bool finished = false;
    Outcome outcome = Outcome::kFailed;  // when finished
    Reason reason = Reason::kNone;
    std::optional<TimePoint> retry_at{};  // when it will be tried again
  };

  struct Finished {
    Id id = 0;
    Outcome outcome = Outcome::kFailed;
    Reason reason = Reason::kNone;
  };

  // A new recipient of request `group`, ready now for its first attempt.
  Id Add(const Policy& policy, std::size_t parts, TimePoint now, Group group = 0);

  // Recipients whose turn has come, in the order they were added; each is now running and holds
  // a slot of its gateway.
  std::vector<Start> Due(TimePoint now);

  // `unreachable`: the attempt could not reach the gateway, or got no greeting in time
  // (HoldsGatewayOff); the gateway is held off.
  Followup AttemptEnded(Id id, Verdict verdict, TimePoint now, double random,
                        bool unreachable = false);
  void ReleaseSlot(std::size_t gateway);
  // A running recipient of a batch goes back to waiting, ready now, as if its attempt had not
  // been made.
  void Again(Id id, TimePoint now);
  // The gateway takes one recipient a session from now on, until RestoreBatches().
  void OneASession(std::size_t gateway);
  void RestoreBatches();
  int batch(std::size_t gateway) const { return gateways_.at(gateway).batch; }
  // The gateway greeted: it is no longer held off.
  void Greeted(std::size_t gateway);
  // The gateway accepted our login: all its slots open.
  void LoginAccepted(std::size_t gateway);

  // Waiting recipients whose deadline has passed; they are removed.
  std::vector<Id> Expired(TimePoint now);
  // Waiting recipients with no gateway left for them; they are removed.
  std::vector<Finished> Stranded();
  // Running recipients whose deadline has passed (the caller ends their sessions).
  std::vector<Id> RunningPastDeadline(TimePoint now) const;

  // The earliest time something becomes due: a wait ending, a hold-off ending, or a deadline
  // passing.
  std::optional<TimePoint> NextWake(TimePoint now) const;

  void Clear();
  std::size_t size() const { return recipients_.size(); }
  std::size_t busy(std::size_t gateway) const { return gateways_.at(gateway).busy; }
  bool held_off(std::size_t gateway, TimePoint now) const;
  // Out for `group`, and why (kLoginRefused or kCertificateFailed); nothing when not out.
  std::optional<Verdict> out(Group group, std::size_t gateway) const;
  int attempts(Id id) const;  // all parts together

 private:
  struct Recipient {
    Policy policy;
    Group group = 0;
    std::size_t parts = 1;
    std::size_t part = 0;
    int attempt = 0;  // attempts made on the current part
    int total_attempts = 0;
    std::size_t gateway = 0;  // preferred for the next attempt; the gateway of a running one
    TimePoint ready_at{};
    bool running = false;
  };
  struct GatewayState {
    int slots = 1;
    int busy = 0;
    int batch = 1;
    int configured_batch = 1;
    bool logs_in = false;
    bool login_accepted = false;
    int failures = 0;  // in a row, since it last greeted
    TimePoint held_until{};
  };
  int SlotsNow(const GatewayState& g) const;
  std::optional<std::size_t> NextGateway(const Recipient& r, std::size_t after) const;
  // How a recipient ends when no gateway is left to its group.
  Finished NoneLeft(Id id, const Recipient& r) const;
  // Removes a recipient; its group's record goes with its last member.
  std::map<Id, Recipient>::iterator Erase(std::map<Id, Recipient>::iterator it);

  struct GroupState {
    std::vector<std::optional<Verdict>> out;  // per gateway: why it is out, if it is
    std::size_t members = 0;
  };
  std::vector<GatewayState> gateways_;
  std::map<Id, Recipient> recipients_;
  std::map<Group, GroupState> groups_;
  Id next_id_ = 1;
  std::uint64_t next_batch_ = 1;
};

std::ostream& operator<<(std::ostream& os, Scheduler::Reason reason);

}  // namespace kestrel::delivery
