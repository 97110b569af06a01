#include "kestrel/relay/dispatcher.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "kestrel/delivery/scheduler.hpp"
#include "kestrel/delivery/shown_text.hpp"
#include "kestrel/relay/texts.hpp"

namespace kestrel::relay {

namespace {

using State = outbox::RecipientState;

constexpr Millis kTick = 1000;        // sweep, expiry and lease renewal
constexpr Millis kSettleDelay = 50;   // the longest an outcome waits for company
constexpr int kPruneEveryTicks = 60;  // retention runs once a minute
constexpr std::size_t kHopelessBatch = 100;
constexpr std::size_t kExpireBatch = 500;
constexpr std::size_t kPruneBatch = 200;

delivery::Page ToDeliveryPage(const outbox::PageContent& content) {
  delivery::Page page;
  page.as_data = !content.data.empty();
  page.parts = {page.as_data ? content.data : content.message};
  page.subject = content.subject;
  const auto options = nlohmann::json::parse(content.options, nullptr, false);
  if (options.is_object()) {
    page.alert = options.value("alert", false);
    page.coverage = options.value("coverage", -1);
    page.service_level = options.value("serviceLevel", -1);
    page.hold = options.value("hold", std::string());
    page.caller = options.value("callerId", std::string());
  }
  return page;
}

std::string Join(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

// A one-shot use of a periodic timer.
void Once(platform::Timer& timer, Millis delay) {
  timer.SetEnabled(false);
  timer.SetInterval(static_cast<Long>(std::clamp<Millis>(delay, 1, 1 << 30)));
  timer.SetEnabled(true);
}

}  // namespace

struct Dispatcher::Lane {
  GatewayConfig gateway;
  std::unique_ptr<delivery::Delivery> delivery;
  int in_flight = 0;
  // Passed over until the configuration changes: it refused our login (not asked again with
  // these credentials), or its certificate could not be verified.
  bool login_refused = false;
};

struct Dispatcher::Attempt {
  outbox::Job job;
  std::shared_ptr<Lane> lane;
  delivery::TimePoint started;
  std::vector<std::string> dropped;  // level-2 fields this gateway leaves out
  std::optional<delivery::Verdict> verdict;
  bool marked = false;     // the SEND-written mark is durable
  bool lost = false;       // the claim was lost before SEND: another holder has the recipient
  bool kept_back = false;  // the relay kept SEND off the wire (its outbox, a lost claim)
  bool holds_off = false;  // no connection or no greeting: the gateway is held off
};

Dispatcher::Dispatcher(Environment environment, outbox::Store& store, DispatchHooks hooks)
    : env_(std::move(environment)),
      store_(store),
      hooks_(std::move(hooks)),
      gate_(env_.delivery.post, store) {
  const auto timer = [this](std::unique_ptr<platform::Timer>& slot, auto on_tick) {
    slot = env_.delivery.make_timer();
    slot->OnTick([this, on_tick, raw = slot.get(), alive = std::weak_ptr<bool>(alive_)] {
      if (alive.expired()) return;
      if (raw != tick_.get()) raw->SetEnabled(false);  // the others are one-shots
      (this->*on_tick)();
    });
  };
  timer(tick_, &Dispatcher::Tick);
  timer(wake_, &Dispatcher::Pump);
  timer(settle_, &Dispatcher::FlushSettlementsNow);
  timer(grace_, &Dispatcher::StopSessions);
}

Dispatcher::~Dispatcher() {
  *alive_ = false;
  for (auto& lane : lanes_) lane->delivery->Stop();
  for (auto& lane : retired_) lane->delivery->Stop();
}

void Dispatcher::Log(const std::string& line) const {
  // Lines carry gateways' replies and pager ids: no control character of theirs reaches the log.
  if (hooks_.log) hooks_.log(delivery::EscapeControls(line));
}

std::shared_ptr<Dispatcher::Lane> Dispatcher::MakeLane(const GatewayConfig& gateway) {
  auto lane = std::make_shared<Lane>();
  lane->gateway = gateway;
  delivery::Gateway target;
  target.host = gateway.host;
  target.port = gateway.port;
  target.snpp_level = gateway.level;
  target.login = gateway.login;
  target.password = gateway.password;
  target.concurrency = gateway.concurrency;
  target.batch = gateway.batch;
  if (gateway.tls && gateway.tls_insecure) {
    Log("gateway " + gateway.name +
        ": tls_insecure = true: the gateway's certificate is NOT verified; anyone on the path "
        "can read the password. Give its CA in ca_file instead");
  }
  if (gateway.tls && gateway.tls_context && env_.make_tls_socket) {
    target.socket_factory = [make = env_.make_tls_socket, context = gateway.tls_context] {
      return make(context);
    };
  }
  delivery::Hooks hooks;
  // A request's recipients have consecutive tags from the request's own (see Begin).
  const auto tag_of = [](const delivery::RecipientRef& r) { return r.tag + r.index; };
  hooks.hold_send = [this, tag_of](const delivery::SendNotice& notice,
                                   delivery::SendRelease release) {
    OnHoldSend({tag_of(notice.recipient)}, std::move(release));
  };
  hooks.hold_send_batch = [this, tag_of](const std::vector<delivery::SendNotice>& notices,
                                         delivery::SendRelease release) {
    std::vector<std::uint64_t> tags;
    for (const auto& n : notices) tags.push_back(tag_of(n.recipient));
    OnHoldSend(std::move(tags), std::move(release));
  };
  hooks.on_attempt = [this, tag_of](const delivery::AttemptReport& report) {
    OnAttempt(tag_of(report.recipient), report);
  };
  hooks.on_result = [this, tag_of](const delivery::RecipientResult& result) {
    OnResult(tag_of(result.recipient), result);
  };
  hooks.on_gateway_notice = [this, name = gateway.name](const delivery::Gateway&,
                                                        const std::string& text) {
    Log("gateway " + name + ": " + text + " (until the configuration is reloaded)");
  };
  lane->delivery = std::make_unique<delivery::Delivery>(
      env_.delivery, std::vector<delivery::Gateway>{target}, std::move(hooks));
  return lane;
}

void Dispatcher::Configure(const DispatchSettings& settings) {
  std::vector<std::shared_ptr<Lane>> lanes;
  for (const auto& gateway : settings.gateways) {
    auto same = std::find_if(lanes_.begin(), lanes_.end(),
                             [&](const auto& lane) { return lane && lane->gateway == gateway; });
    if (same != lanes_.end()) {
      // A reload gives a gateway that fell back to one pager a session its batches again.
      (*same)->delivery->RestoreBatches();
      lanes.push_back(std::move(*same));
    } else {
      lanes.push_back(MakeLane(gateway));
      // Reached another way, or with other credentials: up until an attempt says otherwise.
      Health& health = health_[gateway.name];
      health.up = true;
      health.failures = 0;
      health.held_until = {};
    }
  }
  std::erase_if(health_, [&](const auto& entry) {
    return std::none_of(settings.gateways.begin(), settings.gateways.end(),
                        [&](const auto& g) { return g.name == entry.first; });
  });
  for (auto& lane : lanes_) {
    if (lane && lane->in_flight > 0) retired_.push_back(std::move(lane));
  }
  // Lanes with nothing under way go now, from the loop: this may run inside one of their calls.
  env_.delivery.post([old = std::move(lanes_)]() mutable { old.clear(); });
  lanes_ = std::move(lanes);
  settings_ = settings;
  if (started_) Wake();
}

void Dispatcher::Start() {
  started_ = true;
  store_.Sweep([this, alive = std::weak_ptr<bool>(alive_)](outbox::Result<outbox::Recovery> r) {
    if (alive.expired()) return;
    if (!r) {
      Log("outbox: cannot resolve what an earlier run left under way yet: " + r.error);
    } else if (r->requeued + r->uncertain > 0) {
      Log("recovered from an earlier run: " + std::to_string(r->requeued) +
          " recipient(s) queued again (SEND not written), " + std::to_string(r->uncertain) +
          " uncertain (SEND written; not resent)");
    }
    Pump();
    Prune();
  });
  tick_->SetInterval(kTick);
  tick_->SetEnabled(true);
}

void Dispatcher::Wake() {
  if (pump_posted_) return;
  pump_posted_ = true;
  env_.delivery.post([this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired()) return;
    pump_posted_ = false;
    Pump();
  });
}

int Dispatcher::FreeSlots(bool level2) const {
  const auto views = Views();
  int free = 0;
  for (std::size_t i = 0; i < lanes_.size(); ++i) {
    const auto& lane = lanes_[i];
    if (lane->login_refused || (lane->gateway.level >= 2) != level2) continue;
    if (PassedOver(views, i)) continue;
    free += views[i].free_slots;
  }
  return free;
}

bool Dispatcher::AnyCanCarry(bool needs_level2) const {
  return std::any_of(lanes_.begin(), lanes_.end(), [&](const auto& lane) {
    return CanCarry({lane->gateway.name, lane->gateway.level, 0, lane->login_refused},
                    needs_level2);
  });
}

std::vector<GatewayView> Dispatcher::Views() const {
  const auto now = env_.delivery.now();
  std::vector<GatewayView> views;
  for (const auto& lane : lanes_) {
    const auto health = health_.find(lane->gateway.name);
    views.push_back({lane->gateway.name, lane->gateway.level,
                     std::max(0, lane->gateway.concurrency * std::max(lane->gateway.batch, 1) -
                                     lane->in_flight),
                     lane->login_refused,
                     health != health_.end() && health->second.held_until > now});
  }
  return views;
}

Millis Dispatcher::WallNow() const {
  if (env_.wall_clock) return env_.wall_clock();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::vector<GatewayStatus> Dispatcher::Gateways() const {
  const auto now = env_.delivery.now();
  const Millis wall = WallNow();
  const auto views = Views();
  std::vector<GatewayStatus> gateways;
  for (std::size_t i = 0; i < lanes_.size(); ++i) {
    const Lane& lane = *lanes_[i];
    GatewayStatus status;
    status.name = lane.gateway.name;
    status.server = lane.delivery->gateways().front().where();
    status.left_out = lane.login_refused;
    status.concurrency = lane.gateway.concurrency;
    status.sessions_open = static_cast<int>(lane.delivery->stats().sessions_open);
    for (const auto& old : retired_) {
      if (old->gateway.name == lane.gateway.name) {
        status.sessions_open += static_cast<int>(old->delivery->stats().sessions_open);
      }
    }
    if (const auto it = health_.find(lane.gateway.name); it != health_.end()) {
      const Health& health = it->second;
      status.up = health.up;
      status.last_success = health.last_success;
      status.last_error = health.last_error;
      status.last_error_at = health.last_error_at;
      status.attempts = health.attempts;
      if (PassedOver(views, i)) {
        status.hold_off_until =
            wall +
            std::chrono::duration_cast<std::chrono::milliseconds>(health.held_until - now).count();
      }
    }
    gateways.push_back(std::move(status));
  }
  return gateways;
}

void Dispatcher::NoteHealth(const Lane& lane, const Attempt& attempt, delivery::Verdict verdict,
                            const std::string& text) {
  const auto it = health_.find(lane.gateway.name);
  if (it == health_.end()) return;  // no longer configured
  Health& health = it->second;
  ++health.attempts[static_cast<int>(verdict)];
  // A gateway a reload replaced says nothing of the one configured now.
  if (std::none_of(lanes_.begin(), lanes_.end(), [&](const auto& l) { return l.get() == &lane; })) {
    return;
  }
  const Millis wall = WallNow();
  if (verdict == delivery::Verdict::kDelivered) health.last_success = wall;
  const HealthChange change = GatewayHealthAfter(verdict, attempt.holds_off, attempt.kept_back);
  if (change.up) health.up = *change.up;
  if (change.up == false) {
    health.last_error = text;
    health.last_error_at = wall;
  }
  switch (change.hold_off) {
    case HealthChange::HoldOff::kKeep:
      break;
    case HealthChange::HoldOff::kEnd:
      health.failures = 0;
      health.held_until = {};
      break;
    case HealthChange::HoldOff::kLengthen:
      ++health.failures;
      health.held_until =
          env_.delivery.now() + std::chrono::milliseconds(HoldOffFor(health.failures));
      break;
  }
}

void Dispatcher::Pump() {
  if (!started_ || draining_ || lanes_.empty()) return;
  if (claiming_) {
    pump_again_ = true;
    return;
  }
  claiming_ = true;
  pump_again_ = false;
  next_due_.reset();
  ClaimStep(0);
}

// The claims of one pump, one after the other, each sized when its turn comes: for the gateways
// at level 2 (any page), for those at level 1 (the pages they can carry), and, when no gateway
// is left that could carry a kind of page, those pages, to settle them at once.
void Dispatcher::ClaimStep(int step) {
  if (draining_) step = 4;  // claim nothing more
  outbox::ClaimRequest request;
  Purpose purpose = Purpose::kSend;
  switch (step) {
    case 0:
      request = {static_cast<std::size_t>(FreeSlots(true)), outbox::ClaimFilter::kAny};
      break;
    case 1:
      request = {static_cast<std::size_t>(FreeSlots(false)), outbox::ClaimFilter::kLevel1};
      break;
    case 2:
      purpose = Purpose::kHopeless;
      request = {AnyCanCarry(true) ? 0 : kHopelessBatch, outbox::ClaimFilter::kLevel2};
      break;
    case 3:
      purpose = Purpose::kHopeless;
      request = {AnyCanCarry(false) ? 0 : kHopelessBatch, outbox::ClaimFilter::kLevel1};
      break;
    default:
      claiming_ = false;
      if (draining_) return FinishDrainIfIdle();
      ArmWake();
      if (pump_again_) Wake();
      return;
  }
  if (request.limit == 0) return ClaimStep(step + 1);
  store_.Claim(request, [this, step, purpose, alive = std::weak_ptr<bool>(alive_)](
                            outbox::Result<outbox::Claimed> claimed) {
    if (alive.expired()) return;
    if (!claimed) {
      if (!store_failing_) Log("outbox: cannot take due pages now: " + claimed.error);
      store_failing_ = true;
      claiming_ = false;
      if (draining_) return FinishDrainIfIdle();
      return;  // the next tick tries again
    }
    if (store_failing_) Log("outbox: taking due pages again");
    store_failing_ = false;
    if (claimed->next_due_in) {
      next_due_ = std::min(next_due_.value_or(*claimed->next_due_in), *claimed->next_due_in);
    }
    std::vector<outbox::Job> to_send;
    for (auto& job : claimed->jobs) {
      if (draining_) {
        GiveBack(job);
      } else if (purpose == Purpose::kHopeless) {
        SettleHopeless(job);
      } else {
        to_send.push_back(std::move(job));
      }
    }
    if (!to_send.empty()) Begin(std::move(to_send));
    ClaimStep(step + 1);
  });
}

void Dispatcher::ArmWake() {
  // Sooner than the tick only: a page due later than that is found by the tick's pump.
  if (!next_due_ || *next_due_ >= kTick) return;
  Once(*wake_, std::max<Millis>(*next_due_, 10));
}

void Dispatcher::GiveBack(const outbox::Job& job) {
  outbox::Settlement back;
  back.lease = job.lease;
  back.state = State::kQueued;
  back.attempted = false;
  Settle(std::move(back));
}

void Dispatcher::SettleHopeless(const outbox::Job& job) {
  const bool needs = NeedsLevel2(job.content, job.require_level2);
  const bool any_level2 = std::any_of(lanes_.begin(), lanes_.end(),
                                      [](const auto& lane) { return lane->gateway.level >= 2; });
  outbox::Settlement s;
  s.lease = job.lease;
  s.attempted = false;
  if (needs && !any_level2) {
    s.state = State::kFailed;
    s.reply =
        "no gateway at SNPP level 2 is configured, and this page needs one (a data body, or "
        "require_level2 of its receiver)";
  } else {
    s.state = State::kRefused;
    s.reply = needs ? "every gateway at SNPP level 2 refused the login; check login and "
                      "password_file of those gateways and reload the relay"
                    : "every gateway refused the login; check login and password_file of the "
                      "gateways and reload the relay";
  }
  Log(std::string(outbox::ToString(s.state)) + ": page " + job.lease.ref.page_id + " to " +
      job.pager + ": " + s.reply);
  if (hooks_.outcome) hooks_.outcome(s.state, 0);
  Settle(std::move(s));
}

void Dispatcher::Begin(std::vector<outbox::Job> jobs) {
  // Each recipient's gateway, its slot taken at once; then one request per page and gateway,
  // so that a gateway with a batch size above 1 takes them in few sessions.
  std::vector<std::pair<std::size_t, std::vector<outbox::Job>>> requests;  // lane, its jobs
  for (auto& job : jobs) {
    const bool needs = NeedsLevel2(job.content, job.require_level2);
    const auto index = ChooseGateway(Views(), needs, job.last_gateway);
    if (!index) {
      GiveBack(job);  // a slot went meanwhile; the next pump takes it again
      continue;
    }
    ++lanes_[*index]->in_flight;
    const auto same = std::find_if(requests.begin(), requests.end(), [&](const auto& r) {
      return r.first == *index && lanes_[*index]->gateway.batch > 1 &&
             r.second.front().lease.ref.page_id == job.lease.ref.page_id;
    });
    if (same != requests.end()) {
      same->second.push_back(std::move(job));
    } else {
      requests.emplace_back(*index, std::vector<outbox::Job>{});
      requests.back().second.push_back(std::move(job));
    }
  }
  for (auto& [index, group] : requests) Submit(lanes_[index], std::move(group));
}

void Dispatcher::Submit(const std::shared_ptr<Lane>& lane, std::vector<outbox::Job> jobs) {
  // The recipients' tags: the request's, then one more for each (see MakeLane's hooks).
  const std::uint64_t tag = next_tag_;
  next_tag_ += jobs.size();
  const outbox::Job& first = jobs.front();
  std::vector<std::string> dropped;
  try {
    delivery::Request request;
    request.page = ToDeliveryPage(first.content);
    for (const auto& job : jobs) request.recipients.push_back(job.pager);
    request.policy.max_attempts = 1;
    request.policy.deadline =
        env_.delivery.now() + std::chrono::milliseconds(std::max<Millis>(first.expires_in, 0));
    request.tag = tag;
    if (lane->gateway.level < 2) dropped = LevelTwoFields(first.content);
    lane->delivery->Submit(std::move(request));
  } catch (const std::exception& e) {  // a field the control refuses, options it cannot read
    for (const auto& job : jobs) {
      --lane->in_flight;
      outbox::Settlement s;
      s.lease = job.lease;
      s.state = State::kFailed;
      s.gateway = lane->gateway.name;
      s.reply = std::string("cannot be sent: ") + e.what();
      Log("failed: page " + job.lease.ref.page_id + " to " + job.pager + ": " + e.what());
      if (hooks_.outcome) hooks_.outcome(State::kFailed, 0);
      Settle(std::move(s));
    }
    return;
  }
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    Attempt attempt;
    attempt.job = std::move(jobs[i]);
    attempt.lane = lane;
    attempt.started = env_.delivery.now();
    attempt.dropped = dropped;
    attempts_.emplace(tag + i, std::move(attempt));
    if (hooks_.attempt_started) hooks_.attempt_started();
  }
}

void Dispatcher::OnHoldSend(std::vector<std::uint64_t> tags, delivery::SendRelease release) {
  // The marks of every pager of the SEND, in one hold: one commit, and SEND only when all hold.
  std::vector<outbox::SendMark> marks;
  for (const auto tag : tags) {
    const auto it = attempts_.find(tag);
    if (it == attempts_.end()) {
      release(false, "the relay no longer follows this attempt");
      return;
    }
    marks.push_back({it->second.job.lease, it->second.lane->gateway.name});
  }
  gate_.Hold(std::move(marks),
             [this, tags, release = std::move(release), alive = std::weak_ptr<bool>(alive_)](
                 SendGate::Answer answer, const std::string& why) {
               if (alive.expired()) return;
               for (const auto tag : tags) {
                 if (const auto it = attempts_.find(tag); it != attempts_.end()) {
                   it->second.marked = answer == SendGate::Answer::kWritten;
                   // A lost claim in the commit records none of them: each is left to its lease.
                   it->second.lost = answer == SendGate::Answer::kLost;
                   it->second.kept_back = answer != SendGate::Answer::kWritten;
                 }
               }
               release(answer == SendGate::Answer::kWritten, why);
             });
}

void Dispatcher::OnAttempt(std::uint64_t tag, const delivery::AttemptReport& report) {
  if (const auto it = attempts_.find(tag); it != attempts_.end()) {
    it->second.verdict = report.verdict;
    it->second.holds_off = report.holds_gateway_off;
  }
}

void Dispatcher::OnResult(std::uint64_t tag, const delivery::RecipientResult& result) {
  const auto it = attempts_.find(tag);
  if (it == attempts_.end()) return;
  Attempt attempt = std::move(it->second);
  attempts_.erase(it);
  Lane& lane = *attempt.lane;
  --lane.in_flight;

  // No attempt report: the session never started (the page expired waiting for a slot).
  const delivery::Verdict verdict = attempt.verdict.value_or(
      result.deadline_passed ? delivery::Verdict::kFailed : delivery::Verdict::kTransient);
  std::string left_out;  // why the gateway is asked no more, when this attempt decided it
  if (verdict == delivery::Verdict::kLoginRefused) {
    left_out =
        "it is not asked again with these credentials (change login or password_file and reload "
        "the relay)";
    if (!lane.login_refused) {
      Log("gateway " + lane.gateway.name + " refused the login; " + left_out);
    }
    lane.login_refused = true;
  }
  if (verdict == delivery::Verdict::kCertificateFailed) {
    // Not a network failure: trying again meets the same certificate.
    left_out =
        "it is not tried again until its configuration changes (give the CA that signed its "
        "certificate in ca_file, then reload)";
    if (!lane.login_refused) {
      Log("gateway " + lane.gateway.name + ": its certificate could not be verified; " + left_out);
    }
    lane.login_refused = true;
  }
  const bool needs = NeedsLevel2(attempt.job.content, attempt.job.require_level2);
  const Millis elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(env_.delivery.now() - attempt.started)
          .count();
  AttemptFacts facts;
  facts.verdict = verdict;
  facts.deadline_passed = result.deadline_passed;
  facts.fields_dropped = !attempt.dropped.empty();
  facts.gateways_left =
      static_cast<int>(std::count_if(lanes_.begin(), lanes_.end(), [&](const auto& l) {
        return CanCarry({l->gateway.name, l->gateway.level, 0, l->login_refused}, needs);
      }));
  facts.attempts = attempt.job.attempts + 1;
  facts.expires_in = attempt.job.expires_in - elapsed;
  facts.retry = settings_.retry;
  facts.random = env_.delivery.random ? env_.delivery.random() : 1.0;
  const Disposition next = NextState(facts);

  const bool delivered = verdict == delivery::Verdict::kDelivered;
  std::string text = delivered && !result.reply.empty()
                         ? result.reply
                         : (!result.detail.empty() ? result.detail : result.error);
  text = MaskSecrets(WithRelayHint(std::move(text), result.error_number), lane.gateway.password);
  if (attempt.verdict) {
    std::string why = text;
    if (!left_out.empty()) {
      while (!why.empty() && (why.back() == '.' || why.back() == ' ')) why.pop_back();
      why += "; " + left_out;
    }
    NoteHealth(lane, attempt, verdict, why);
  }
  outbox::Settlement s;
  s.lease = attempt.job.lease;
  s.state = next.state;
  s.gateway = lane.gateway.name;
  s.reply = text;
  s.retry_in = next.retry_in;
  if (next.state == State::kDegraded) {
    s.note = "delivered without " + Join(attempt.dropped) + ": gateway " + lane.gateway.name +
             " speaks SNPP level 1";
  }
  const std::string who = "page " + attempt.job.lease.ref.page_id + " to " + attempt.job.pager +
                          " via " + lane.gateway.name + " (attempt " +
                          std::to_string(facts.attempts) + ")";
  if (attempt.lost) {
    // SEND did not go out, and that is recorded under this claim's token: where another holder
    // has the recipient now, the token no longer matches and nothing changes; where only the
    // mark's answer was lost (the database went away as it committed), the recipient is queued
    // again instead of lapsing into uncertain, which would never be sent.
    Log("lost: " + who + ": " + text +
        "; SEND was not written; queued again unless another holder has the recipient");
    s.state = State::kQueued;
    s.retry_in = 0;
    s.note.clear();
    Settle(std::move(s));
  } else {
    if (next.state == State::kQueued) {
      Log("retry: " + who + ": " + text + "; next attempt in " + std::to_string(next.retry_in) +
          " ms");
    } else {
      Log(std::string(outbox::ToString(next.state)) + ": " + who + ": " + text +
          (s.note.empty() ? "" : " (" + s.note + ")"));
      if (hooks_.outcome) {
        hooks_.outcome(next.state, static_cast<double>(attempt.job.age + elapsed) / 1000.0);
      }
    }
    Settle(std::move(s));
  }
  if (lane.in_flight == 0 && !retired_.empty()) {
    // A gateway a reload replaced goes once its last session has ended; not from inside its
    // own callback, though.
    env_.delivery.post([this, alive = std::weak_ptr<bool>(alive_)] {
      if (alive.expired()) return;
      std::erase_if(retired_, [](const auto& l) { return l->in_flight == 0; });
    });
  }
  if (draining_) return FinishDrainIfIdle();
  Wake();  // a slot is free
}

void Dispatcher::Settle(outbox::Settlement settlement) {
  settlements_.push_back(std::move(settlement));
  if (draining_) return FlushSettlements();
  if (!settle_->Enabled() && !flushing_) Once(*settle_, kSettleDelay);
}

void Dispatcher::FlushSettlementsNow() {
  FlushSettlements();
}

void Dispatcher::FlushSettlements(std::function<void()> then) {
  if (flushing_ || settlements_.empty()) {
    if (then) env_.delivery.post(std::move(then));
    return;
  }
  flushing_ = true;
  settle_->SetEnabled(false);
  auto batch = std::exchange(settlements_, {});
  const std::size_t size = batch.size();
  store_.Finish(batch, [this, batch, size, then = std::move(then),
                        alive = std::weak_ptr<bool>(alive_)](outbox::Result<std::vector<bool>> r) {
    if (alive.expired()) return;
    flushing_ = false;
    if (!r) {
      // Kept, in order, and tried again: until then the recipients stay claimed, so nothing is
      // sent twice, and nothing is lost.
      settlements_.insert(settlements_.begin(), batch.begin(), batch.end());
      ++settle_failures_;
      delivery::Policy policy;
      policy.first_backoff = std::chrono::milliseconds(kTick);
      policy.max_backoff = std::chrono::seconds(30);
      const auto wait = delivery::Backoff(policy, settle_failures_, 1.0).count();
      Log("outbox: " + std::to_string(size) + " outcome(s) not recorded yet: " + r.error +
          "; trying again in " + std::to_string(wait) + " ms");
      if (!draining_) Once(*settle_, wait);
      if (then) then();
      if (draining_) FinishDrainIfIdle();
      return;
    }
    settle_failures_ = 0;
    for (std::size_t i = 0; i < size; ++i) {
      if (i < r->size() && (*r)[i]) continue;
      Log("outbox: the outcome of page " + batch[i].lease.ref.page_id + " recipient " +
          std::to_string(batch[i].lease.ref.index) + " (" +
          std::string(outbox::ToString(batch[i].state)) +
          ") was refused: the recipient had left its claim (token " +
          std::to_string(batch[i].lease.token) + ")");
    }
    if (!settlements_.empty()) {
      FlushSettlements(std::move(then));
      return;
    }
    if (then) then();
    if (draining_) return FinishDrainIfIdle();
    Wake();  // a retry's wait may end before the next tick
  });
}

void Dispatcher::Tick() {
  if (!started_) return;
  std::vector<outbox::Lease> leases;
  for (const auto& [tag, attempt] : attempts_) leases.push_back(attempt.job.lease);
  if (!leases.empty()) {
    store_.Renew(leases, [this, leases, alive = std::weak_ptr<bool>(alive_)](
                             outbox::Result<std::vector<bool>> r) {
      if (alive.expired() || !r) return;
      for (std::size_t i = 0; i < leases.size() && i < r->size(); ++i) {
        if (!(*r)[i]) {
          Log("outbox: the lease on page " + leases[i].ref.page_id + " recipient " +
              std::to_string(leases[i].ref.index) + " was lost; its SEND will not go out");
        }
      }
    });
  }
  if (draining_) return;
  store_.Sweep([this, alive = std::weak_ptr<bool>(alive_)](outbox::Result<outbox::Recovery> r) {
    if (alive.expired() || !r || r->requeued + r->uncertain == 0) return;
    Log("outbox: claims whose holder is gone: " + std::to_string(r->requeued) +
        " queued again (SEND not written), " + std::to_string(r->uncertain) +
        " uncertain (SEND written; not resent)");
  });
  store_.Expire(kExpireBatch, [this, alive = std::weak_ptr<bool>(alive_)](
                                  outbox::Result<std::vector<outbox::RecipientRef>> r) {
    if (alive.expired() || !r) return;
    for (const auto& ref : *r) {
      if (hooks_.outcome) hooks_.outcome(State::kExpired, 0);
      Log("expired: page " + ref.page_id + " recipient " + std::to_string(ref.index) +
          " was not delivered within expire_after");
    }
  });
  if (++ticks_ % kPruneEveryTicks == 0) Prune();
  if (!settle_->Enabled() && !settlements_.empty()) FlushSettlements();
  Pump();
}

void Dispatcher::Prune() {
  store_.Prune({settings_.retain, kPruneBatch},
               [this, alive = std::weak_ptr<bool>(alive_)](outbox::Result<outbox::Pruned> r) {
                 if (alive.expired()) return;
                 if (!r) {
                   Log("outbox: cannot delete old pages now: " + r.error);
                   return;
                 }
                 // A full batch: more are waiting. The next batch waits for the loop, so requests
                 // and sessions are never held up for long.
                 if (r->more && !draining_) {
                   env_.delivery.post([this, alive = std::weak_ptr<bool>(alive_)] {
                     if (!alive.expired()) Prune();
                   });
                 }
               });
}

void Dispatcher::Drain(Millis grace, std::function<void()> done) {
  draining_ = true;
  drained_ = std::move(done);
  wake_->SetEnabled(false);
  Once(*grace_, grace);
  FinishDrainIfIdle();
}

void Dispatcher::StopSessions() {
  if (!drained_) return;
  if (!attempts_.empty()) {
    Log("stopping with " + std::to_string(attempts_.size()) +
        " session(s) unfinished: queued again where SEND was not written, uncertain where it was");
  }
  for (auto& lane : lanes_) lane->delivery->Stop();
  for (auto& lane : retired_) lane->delivery->Stop();
  for (auto& [tag, attempt] : attempts_) {
    outbox::Settlement s;
    s.lease = attempt.job.lease;
    s.gateway = attempt.lane->gateway.name;
    if (attempt.marked) {
      s.state = State::kUncertain;
      s.reply =
          "the relay stopped while waiting for the reply to SEND; the page may have been "
          "delivered; not resent";
    } else {
      s.state = State::kQueued;
      s.reply = "the relay stopped before SEND was written";
    }
    settlements_.push_back(std::move(s));
  }
  attempts_.clear();
  FinishDrainIfIdle();
}

void Dispatcher::FinishDrainIfIdle() {
  if (!draining_ || !drained_ || !attempts_.empty() || claiming_ || flushing_) return;
  grace_->SetEnabled(false);
  auto done = std::exchange(drained_, nullptr);
  FlushSettlements([done = std::move(done)] { done(); });
}

}  // namespace kestrel::relay
