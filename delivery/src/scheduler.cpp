#include "kestrel/delivery/scheduler.hpp"

#include <algorithm>
#include <ostream>
#include <stdexcept>
#include <tuple>

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

Scheduler::Scheduler(std::vector<int> concurrency, std::vector<bool> logs_in,
                     std::vector<int> batch) {
  if (concurrency.empty()) throw std::invalid_argument("a delivery needs at least one gateway");
  for (std::size_t g = 0; g < concurrency.size(); ++g) {
    GatewayState state;
    state.slots = std::max(concurrency[g], 1);
    state.logs_in = g < logs_in.size() && logs_in[g];
    state.batch = g < batch.size() ? std::max(batch[g], 1) : 1;
    state.configured_batch = state.batch;
    gateways_.push_back(state);
  }
}

Scheduler::Id Scheduler::Add(const Policy& policy, std::size_t parts, TimePoint now, Group group) {
  const Id id = next_id_++;
  Recipient r;
  r.policy = policy;
  r.group = group;
  r.parts = std::max<std::size_t>(parts, 1);
  r.ready_at = now;
  recipients_.emplace(id, std::move(r));
  auto& g = groups_[group];
  if (g.out.empty()) g.out.resize(gateways_.size());
  ++g.members;
  return id;
}

int Scheduler::SlotsNow(const GatewayState& g) const {
  // One session until the login is known to be good: a wrong password is tried once.
  return g.logs_in && !g.login_accepted ? 1 : g.slots;
}

bool Scheduler::held_off(std::size_t gateway, TimePoint now) const {
  return gateways_.at(gateway).held_until > now;
}

std::optional<Verdict> Scheduler::out(Group group, std::size_t gateway) const {
  const auto it = groups_.find(group);
  return it == groups_.end() ? std::nullopt : it->second.out.at(gateway);
}

std::vector<Scheduler::Start> Scheduler::Due(TimePoint now) {
  std::vector<Start> starts;
  const auto free = [&](std::size_t g) { return gateways_[g].busy < SlotsNow(gateways_[g]); };
  // The batches this call opens that have room: (request, part, gateway) to batch and count.
  struct Open {
    std::uint64_t batch = 0;
    int members = 0;
    int cap = 1;
  };
  std::map<std::tuple<Group, std::size_t, std::size_t>, Open> open;
  // The recipients due now of each request and part, not yet in a batch: a batch opened for
  // them takes an even share, so that 30 at a batch size of 25 go as 15 and 15, not 25 and 5.
  std::map<std::pair<Group, std::size_t>, int> unplaced;
  for (const auto& [id, r] : recipients_) {
    if (!r.running && r.ready_at <= now && !(r.policy.deadline && *r.policy.deadline <= now)) {
      ++unplaced[{r.group, r.part}];
    }
  }
  std::size_t open_with_room = 0;
  const std::size_t n = gateways_.size();
  std::size_t free_gateways = 0;
  for (std::size_t g = 0; g < n; ++g) free_gateways += free(g);
  for (auto& entry : recipients_) {
    auto& r = entry.second;  // a plain reference: clang 14 cannot capture a structured binding
    // A long queue waiting for busy gateways costs one look at the gateways, not one per
    // recipient.
    if (free_gateways == 0 && open_with_room == 0) break;
    if (r.running || r.ready_at > now) continue;
    if (r.policy.deadline && *r.policy.deadline <= now) continue;  // Expired() takes it
    const auto& out = groups_.at(r.group).out;
    const auto room = [&](std::size_t g) {
      const auto it = open.find({r.group, r.part, g});
      return it != open.end() && it->second.members < it->second.cap;
    };
    const auto takes = [&](std::size_t g) { return room(g) || free(g); };
    std::optional<std::size_t> pick;
    std::optional<std::size_t> held_off_pick;  // the first free one among the held off
    bool all_held_off = true;
    for (std::size_t step = 0; step < n && !pick; ++step) {
      const std::size_t g = (r.gateway + step) % n;
      if (out[g]) continue;
      if (held_off(g, now)) {
        if (!held_off_pick && takes(g)) held_off_pick = g;
        continue;
      }
      all_held_off = false;
      if (takes(g)) pick = g;
    }
    // Nothing better is left: a held-off gateway is tried rather than none.
    if (!pick && all_held_off) pick = held_off_pick;
    if (!pick) continue;  // no gateway left (Stranded() takes it), or every slot is busy
    const std::size_t g = *pick;
    std::uint64_t batch = 0;
    int& left = unplaced[{r.group, r.part}];
    if (room(g)) {
      auto& o = open.at({r.group, r.part, g});
      batch = o.batch;
      if (++o.members == o.cap) --open_with_room;
    } else {
      ++gateways_[g].busy;
      if (!free(g)) --free_gateways;
      batch = next_batch_++;
      const int size = gateways_[g].batch;
      const int sessions = (std::max(left, 1) + size - 1) / size;
      const int cap = (std::max(left, 1) + sessions - 1) / sessions;
      if (cap > 1) {
        open[{r.group, r.part, g}] = Open{batch, 1, cap};
        ++open_with_room;
      }
    }
    if (left > 0) --left;
    r.gateway = g;
    r.running = true;
    ++r.attempt;
    ++r.total_attempts;
    starts.push_back({entry.first, r.gateway, r.part, r.attempt, batch});
  }
  return starts;
}

void Scheduler::Again(Id id, TimePoint now) {
  const auto it = recipients_.find(id);
  if (it == recipients_.end()) return;
  Recipient& r = it->second;
  r.running = false;
  if (r.attempt > 0) --r.attempt;
  if (r.total_attempts > 0) --r.total_attempts;
  r.ready_at = now;
}

void Scheduler::OneASession(std::size_t gateway) {
  if (gateway < gateways_.size()) gateways_[gateway].batch = 1;
}

void Scheduler::RestoreBatches() {
  for (auto& g : gateways_) g.batch = g.configured_batch;
}

std::optional<std::size_t> Scheduler::NextGateway(const Recipient& r, std::size_t after) const {
  const std::size_t n = gateways_.size();
  const auto& out = groups_.at(r.group).out;
  for (std::size_t step = 1; step <= n; ++step) {
    const std::size_t g = (after + step) % n;
    if (!out[g]) return g;
  }
  return std::nullopt;
}

Scheduler::Finished Scheduler::NoneLeft(Id id, const Recipient& r) const {
  const auto& out = groups_.at(r.group).out;
  const bool all_login = std::all_of(out.begin(), out.end(),
                                     [](const auto& why) { return why == Verdict::kLoginRefused; });
  return all_login ? Finished{id, Outcome::kRefused, Reason::kLoginRefusedEverywhere}
                   : Finished{id, Outcome::kFailed, Reason::kNoGatewayLeft};
}

Scheduler::Followup Scheduler::AttemptEnded(Id id, Verdict verdict, TimePoint now, double random,
                                            bool unreachable) {
  const auto it = recipients_.find(id);
  if (it == recipients_.end()) return {true, Outcome::kFailed, Reason::kNone, {}};
  Recipient& r = it->second;
  r.running = false;
  if (unreachable) {
    GatewayState& g = gateways_[r.gateway];
    ++g.failures;
    Duration hold = kFirstHoldOff;
    for (int i = 1; i < g.failures && hold < kMaxHoldOff; ++i) hold *= 2;
    g.held_until = now + std::min(hold, kMaxHoldOff);
  }
  const auto finish = [&](Outcome outcome, Reason reason = Reason::kNone) {
    Erase(it);
    return Followup{true, outcome, reason, {}};
  };
  const bool out_of_attempts = r.policy.max_attempts > 0 && r.attempt >= r.policy.max_attempts;
  switch (verdict) {
    case Verdict::kDelivered:
      if (r.part + 1 >= r.parts) return finish(Outcome::kDelivered);
      // The next part goes at once, preferably to the gateway that took this one.
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
    case Verdict::kLoginRefused:
    case Verdict::kCertificateFailed: {
      // Not a passing fault: no recipient of this request goes there again.
      groups_.at(r.group).out[r.gateway] = verdict;
      const auto next = NextGateway(r, r.gateway);
      if (!next) {
        const auto none = NoneLeft(id, r);
        return finish(none.outcome, none.reason);
      }
      if (out_of_attempts) return finish(Outcome::kFailed, Reason::kAttemptsExhausted);
      r.gateway = *next;
      r.ready_at = now;  // nothing to wait for: another gateway
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

std::map<Scheduler::Id, Scheduler::Recipient>::iterator Scheduler::Erase(
    std::map<Id, Recipient>::iterator it) {
  const auto group = groups_.find(it->second.group);
  if (group != groups_.end() && --group->second.members == 0) groups_.erase(group);
  return recipients_.erase(it);
}

void Scheduler::Greeted(std::size_t gateway) {
  if (gateway >= gateways_.size()) return;
  gateways_[gateway].failures = 0;
  gateways_[gateway].held_until = TimePoint{};
}

void Scheduler::LoginAccepted(std::size_t gateway) {
  if (gateway < gateways_.size()) gateways_[gateway].login_accepted = true;
}

std::vector<Scheduler::Finished> Scheduler::Stranded() {
  std::vector<Finished> gone;
  std::vector<Group> dead;  // requests with every gateway out
  for (const auto& [group, state] : groups_) {
    if (std::all_of(state.out.begin(), state.out.end(), [](const auto& why) { return why; })) {
      dead.push_back(group);
    }
  }
  if (dead.empty()) return gone;
  for (auto it = recipients_.begin(); it != recipients_.end();) {
    const bool stranded =
        !it->second.running && std::find(dead.begin(), dead.end(), it->second.group) != dead.end();
    if (stranded) {
      gone.push_back(NoneLeft(it->first, it->second));
      it = Erase(it);
    } else {
      ++it;
    }
  }
  return gone;
}

void Scheduler::ReleaseSlot(std::size_t gateway) {
  if (gateway < gateways_.size() && gateways_[gateway].busy > 0) --gateways_[gateway].busy;
}

std::vector<Scheduler::Id> Scheduler::Expired(TimePoint now) {
  std::vector<Id> gone;
  for (auto it = recipients_.begin(); it != recipients_.end();) {
    const auto& r = it->second;
    if (!r.running && r.policy.deadline && *r.policy.deadline <= now) {
      gone.push_back(it->first);
      it = Erase(it);
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
  bool waiting = false;
  for (const auto& [id, r] : recipients_) {
    waiting = waiting || !r.running;
    if (!r.running && r.ready_at > now) consider(r.ready_at);
    if (r.policy.deadline) consider(std::max(*r.policy.deadline, now));
  }
  // A gateway whose hold-off ends may take recipients that wait for busy ones.
  if (waiting) {
    for (const auto& g : gateways_) {
      if (g.held_until > now) consider(g.held_until);
    }
  }
  return next;
}

void Scheduler::Clear() {
  recipients_.clear();
  groups_.clear();
  for (auto& g : gateways_) g.busy = 0;
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
    case Scheduler::Reason::kNoGatewayLeft:
      return os << "no gateway left";
  }
  return os;
}

}  // namespace kestrel::delivery
