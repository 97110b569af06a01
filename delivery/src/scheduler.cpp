#include "kestrel/delivery/scheduler.hpp"

#include <algorithm>
#include <ostream>
#include <stdexcept>

namespace kestrel::delivery {

Duration Backoff(const Policy& policy, int retry, double random) {
  using Rep = Duration::rep;
  const Rep cap = std::max<Rep>(policy.max_backoff.count(), 0);
  Rep nominal = std::max<Rep>(policy.first_backoff.count(), 0);
  for (int i = 1; i < retry && nominal < cap; ++i) nominal *= 2;  // stops doubling at the cap
  nominal = std::min(nominal, cap);
  random = std::clamp(random, 0.0, 1.0);
  const Rep half = nominal / 2;
  return Duration(half + static_cast<Rep>(static_cast<double>(nominal - half) * random));
}

Scheduler::Scheduler(std::vector<int> concurrency)
    : slots_(std::move(concurrency)), busy_(slots_.size(), 0) {
  if (slots_.empty()) throw std::invalid_argument("a delivery needs at least one gateway");
  for (auto& s : slots_) s = std::max(s, 1);
}

Scheduler::Id Scheduler::Add(const Policy& policy, std::size_t parts, TimePoint now) {
  const Id id = next_id_++;
  Recipient r;
  r.policy = policy;
  r.parts = std::max<std::size_t>(parts, 1);
  r.ready_at = now;
  r.login_refused.assign(slots_.size(), false);
  recipients_.emplace(id, std::move(r));
  return id;
}

std::vector<Scheduler::Start> Scheduler::Due(TimePoint now) {
  std::vector<Start> starts;
  for (auto& [id, r] : recipients_) {
    if (r.running || r.ready_at > now) continue;
    if (r.policy.deadline && *r.policy.deadline <= now) continue;  // Expired() takes it
    if (busy_[r.gateway] >= slots_[r.gateway]) continue;
    ++busy_[r.gateway];
    r.running = true;
    ++r.attempt;
    ++r.total_attempts;
    starts.push_back({id, r.gateway, r.part, r.attempt});
  }
  return starts;
}

std::optional<std::size_t> Scheduler::NextGateway(const Recipient& r, std::size_t after) const {
  const std::size_t n = slots_.size();
  for (std::size_t step = 1; step <= n; ++step) {
    const std::size_t g = (after + step) % n;
    if (!r.login_refused[g]) return g;
  }
  return std::nullopt;
}

Scheduler::Followup Scheduler::AttemptEnded(Id id, Verdict verdict, TimePoint now, double random) {
  const auto it = recipients_.find(id);
  if (it == recipients_.end()) return {true, Outcome::kFailed, Reason::kNone, {}};
  Recipient& r = it->second;
  r.running = false;
  const auto finish = [&](Outcome outcome, Reason reason = Reason::kNone) {
    recipients_.erase(it);
    return Followup{true, outcome, reason, {}};
  };
  const bool out_of_attempts = r.policy.max_attempts > 0 && r.attempt >= r.policy.max_attempts;
  switch (verdict) {
    case Verdict::kDelivered:
      if (r.part + 1 >= r.parts) return finish(Outcome::kDelivered);
      // The next part goes at once, to the gateway that took this one.
      ++r.part;
      r.attempt = 0;
      r.ready_at = now;
      return {};
    case Verdict::kRefused:
      return finish(Outcome::kRefused);
    case Verdict::kFailed:
      return finish(Outcome::kFailed, r.policy.deadline && *r.policy.deadline <= now
                                          ? Reason::kDeadline
                                          : Reason::kNone);
    case Verdict::kUncertain:
      if (!r.policy.resend_uncertain) return finish(Outcome::kUncertain);
      if (out_of_attempts) return finish(Outcome::kUncertain, Reason::kAttemptsExhausted);
      break;  // resent like a transient failure
    case Verdict::kLoginRefused: {
      r.login_refused[r.gateway] = true;
      const auto next = NextGateway(r, r.gateway);
      if (!next) return finish(Outcome::kRefused, Reason::kLoginRefusedEverywhere);
      if (out_of_attempts) return finish(Outcome::kFailed, Reason::kAttemptsExhausted);
      r.gateway = *next;
      r.ready_at = now;  // nothing to wait for: another gateway, another login
      return {false, Outcome::kFailed, Reason::kNone, now};
    }
    case Verdict::kTransient:
      if (out_of_attempts) return finish(Outcome::kFailed, Reason::kAttemptsExhausted);
      break;
  }
  const TimePoint at = now + Backoff(r.policy, r.attempt, random);
  if (r.policy.deadline && at >= *r.policy.deadline) {
    return finish(verdict == Verdict::kUncertain ? Outcome::kUncertain : Outcome::kFailed,
                  Reason::kDeadline);
  }
  if (const auto next = NextGateway(r, r.gateway)) r.gateway = *next;
  r.ready_at = at;
  return {false, Outcome::kFailed, Reason::kNone, at};
}

void Scheduler::ReleaseSlot(std::size_t gateway) {
  if (gateway < busy_.size() && busy_[gateway] > 0) --busy_[gateway];
}

std::vector<Scheduler::Id> Scheduler::Expired(TimePoint now) {
  std::vector<Id> gone;
  for (auto it = recipients_.begin(); it != recipients_.end();) {
    const auto& r = it->second;
    if (!r.running && r.policy.deadline && *r.policy.deadline <= now) {
      gone.push_back(it->first);
      it = recipients_.erase(it);
    } else {
      ++it;
    }
  }
  return gone;
}

std::vector<Scheduler::Id> Scheduler::RunningPastDeadline(TimePoint now) const {
  std::vector<Id> late;
  for (const auto& [id, r] : recipients_) {
    if (r.running && r.policy.deadline && *r.policy.deadline <= now) late.push_back(id);
  }
  return late;
}

std::optional<TimePoint> Scheduler::NextWake(TimePoint now) const {
  std::optional<TimePoint> next;
  const auto consider = [&](TimePoint t) {
    if (!next || t < *next) next = t;
  };
  for (const auto& [id, r] : recipients_) {
    if (!r.running && r.ready_at > now) consider(r.ready_at);
    if (r.policy.deadline) consider(std::max(*r.policy.deadline, now));
  }
  return next;
}

void Scheduler::Clear() {
  recipients_.clear();
  std::fill(busy_.begin(), busy_.end(), 0);
}

int Scheduler::attempts(Id id) const {
  const auto it = recipients_.find(id);
  return it == recipients_.end() ? 0 : it->second.total_attempts;
}

std::ostream& operator<<(std::ostream& os, Scheduler::Reason reason) {
  switch (reason) {
    case Scheduler::Reason::kNone:
      return os << "none";
    case Scheduler::Reason::kAttemptsExhausted:
      return os << "attempts exhausted";
    case Scheduler::Reason::kDeadline:
      return os << "deadline";
    case Scheduler::Reason::kLoginRefusedEverywhere:
      return os << "login refused everywhere";
  }
  return os;
}

}  // namespace kestrel::delivery
