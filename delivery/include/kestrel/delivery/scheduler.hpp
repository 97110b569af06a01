#pragma once
// Scheduler: which recipient goes next, to which gateway, and when. No I/O and no clock of its
// own: the caller passes the time in and carries out what it is told.
//
// A recipient is in one of three states:
//   waiting  ── Due(now) when its wait is over and its gateway has a free slot ──▶ running
//   running  ── AttemptEnded(verdict) ──▶ waiting (next part; or a retry after a backoff)
//                                      └▶ finished (removed; the Followup says how it ended)
//   waiting  ── Expired(now) once its deadline has passed ──▶ finished
// Slots are taken by Due() and given back by ReleaseSlot(), separately from AttemptEnded: a
// delivered session still says QUIT before its connection is free.
//
// Retries: a transient failure sends the next attempt to the next gateway in the list (wrapping
// round, skipping gateways that refused our login), after Backoff(). A login refusal moves on to
// the next gateway at once. Attempts are counted per part.
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

class Scheduler {
 public:
  using Id = std::uint64_t;

  // concurrency[g]: the slots of gateway g (at least 1 each).
  explicit Scheduler(std::vector<int> concurrency);

  struct Start {
    Id id = 0;
    std::size_t gateway = 0;
    std::size_t part = 0;
    int attempt = 1;  // of this part, 1-based
  };

  enum class Reason {
    kNone,
    kAttemptsExhausted,       // the last allowed attempt failed in passing
    kDeadline,                // the deadline passed, or leaves no time for the next attempt
    kLoginRefusedEverywhere,  // every gateway refused our login
  };

  struct Followup {
    bool finished = false;
    Outcome outcome = Outcome::kFailed;  // when finished
    Reason reason = Reason::kNone;
    std::optional<TimePoint> retry_at{};  // when it will be tried again
  };

  // A new recipient, ready now for its first attempt at the first gateway.
  Id Add(const Policy& policy, std::size_t parts, TimePoint now);

  // Recipients whose turn has come, in the order they were added; each is now running and holds
  // a slot of its gateway.
  std::vector<Start> Due(TimePoint now);

  Followup AttemptEnded(Id id, Verdict verdict, TimePoint now, double random);
  void ReleaseSlot(std::size_t gateway);

  // Waiting recipients whose deadline has passed; they are removed.
  std::vector<Id> Expired(TimePoint now);
  // Running recipients whose deadline has passed (the caller ends their sessions).
  std::vector<Id> RunningPastDeadline(TimePoint now) const;

  // The earliest time something becomes due: a wait ending or a deadline passing.
  std::optional<TimePoint> NextWake(TimePoint now) const;

  void Clear();
  std::size_t size() const { return recipients_.size(); }
  std::size_t busy(std::size_t gateway) const { return busy_.at(gateway); }
  int attempts(Id id) const;  // all parts together

 private:
  struct Recipient {
    Policy policy;
    std::size_t parts = 1;
    std::size_t part = 0;
    int attempt = 0;  // attempts made on the current part
    int total_attempts = 0;
    std::size_t gateway = 0;  // of the next (or running) attempt
    TimePoint ready_at{};
    bool running = false;
    std::vector<bool> login_refused;
  };
  std::optional<std::size_t> NextGateway(const Recipient& r, std::size_t after) const;

  std::vector<int> slots_;
  std::vector<int> busy_;
  std::map<Id, Recipient> recipients_;
  Id next_id_ = 1;
};

std::ostream& operator<<(std::ostream& os, Scheduler::Reason reason);

}  // namespace kestrel::delivery
