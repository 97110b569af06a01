#include "kestrel/relay/dispatcher.hpp"

#include <asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include "kestrel/platform/asio_event_loop.hpp"
#include "kestrel/platform/forwarding_socket.hpp"

namespace kestrel::relay {

namespace {

constexpr Millis kExpiryScan = 1000;  // how often queued pages are checked for expiry at most
constexpr Millis kCommitDelay = 50;   // the longest an attempt's outcome waits for its commit

std::string Where(const GatewayConfig& gateway) {
  return gateway.name;
}

bool SameGateway(const GatewayConfig& a, const GatewayConfig& b) {
  return a.name == b.name && a.host == b.host && a.port == b.port && a.level == b.level &&
         a.login == b.login && a.password == b.password && a.concurrency == b.concurrency &&
         a.tls == b.tls && a.ca_file == b.ca_file && a.tls_insecure == b.tls_insecure;
}

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

}  // namespace

// Lets SEND out only after the commit that records it. Every SEND asked for in one turn of the
// loop waits for the same commit, so that many sessions share one disk flush.
class Dispatcher::SendGate {
 public:
  SendGate(platform::EventLoop& loop, std::function<bool()> commit)
      : loop_(loop), commit_(std::move(commit)) {}
  ~SendGate() { *alive_ = false; }

  void AfterCommit(std::function<void()> release) {
    waiting_.push_back(std::move(release));
    if (posted_) return;
    posted_ = true;
    loop_.Post([this, alive = std::weak_ptr<bool>(alive_)] {
      if (alive.expired()) return;
      posted_ = false;
      auto released = std::move(waiting_);
      waiting_.clear();
      // A failed commit lets nothing out: those sessions end uncertain by their SEND time-out,
      // and the outbox, without the mark, queues the page again at the next start.
      if (!commit_()) return;
      for (auto& release : released) release();
    });
  }

 private:
  platform::EventLoop& loop_;
  std::function<bool()> commit_;
  std::vector<std::function<void()>> waiting_;
  bool posted_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

namespace {

// The socket of one session: a "SEND" line, and whatever the control writes after it, waits for
// the gate. The control writes each command as one SendData call.
class HeldSendSocket final : public platform::ForwardingSocket {
 public:
  HeldSendSocket(std::unique_ptr<platform::Socket> inner, Dispatcher::SendGate& gate, LogFn log)
      : ForwardingSocket(std::move(inner)), gate_(gate), log_(std::move(log)) {}
  ~HeldSendSocket() override { *alive_ = false; }

  void SendData(std::string_view text) override {
    if (!held_.empty()) {
      held_.emplace_back(text);
      return;
    }
    if (text != "SEND\r\n") {
      ForwardingSocket::SendData(text);
      return;
    }
    held_.emplace_back(text);
    gate_.AfterCommit([this, alive = std::weak_ptr<bool>(alive_), connection = connection_] {
      if (alive.expired() || connection != connection_) return;
      auto lines = std::move(held_);
      held_.clear();
      try {
        for (const auto& line : lines) ForwardingSocket::SendData(line);
      } catch (const std::exception& e) {
        // The connection went meanwhile; its SEND time-out ends the session as uncertain.
        log_(std::string("cannot write SEND: ") + e.what());
      }
    });
  }
  void Connect(const String& host, Long port) override {
    Forget();
    ForwardingSocket::Connect(host, port);
  }
  void Close() override {
    Forget();
    ForwardingSocket::Close();
  }

 private:
  void Forget() {
    held_.clear();
    ++connection_;
  }

  Dispatcher::SendGate& gate_;
  LogFn log_;
  std::vector<std::string> held_;
  std::uint64_t connection_ = 0;  // a held write belongs to the connection it was made on
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace

Millis NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Millis RetryDelay(int attempts, Millis backoff, Millis max_backoff, double jitter) {
  Millis delay = backoff;
  for (int i = 1; i < attempts && delay < max_backoff; ++i) delay *= 2;
  delay = std::min(delay, max_backoff);
  return std::max<Millis>(1, static_cast<Millis>(static_cast<double>(delay) * jitter));
}

struct Dispatcher::Lane {
  GatewayConfig gateway;
  std::unique_ptr<delivery::Delivery> delivery;
  int in_flight = 0;
};

struct Dispatcher::Attempt {
  outbox::RecipientRef ref;
  std::string pager;
  std::shared_ptr<Lane> lane;
  int attempt = 0;  // 1-based, counting every attempt of this recipient
  Millis created = 0;
  Millis expires = 0;
  std::string last_verdict;
};

struct Dispatcher::Timers {
  explicit Timers(asio::io_context& io) : wake(io), grace(io), commit(io) {}
  asio::steady_timer wake;
  asio::steady_timer grace;
  asio::steady_timer commit;
  bool commit_armed = false;
  Millis wake_at = 0;  // 0: not armed
};

Dispatcher::Dispatcher(platform::EventLoop& loop, outbox::Outbox& outbox, Metrics& metrics,
                       LogFn log)
    : loop_(loop),
      outbox_(outbox),
      metrics_(metrics),
      log_(std::move(log)),
      timers_(std::make_unique<Timers>(platform::AsioContext(loop))),
      gate_(std::make_unique<SendGate>(loop, [this] {
        try {
          outbox_.Commit();
          return true;
        } catch (const std::exception& e) {
          log_(std::string("outbox commit failed; SEND held back: ") + e.what());
          return false;
        }
      })) {}

Dispatcher::~Dispatcher() {
  *alive_ = false;
  for (auto& lane : lanes_) lane->delivery->Stop();
  for (auto& lane : retired_) lane->delivery->Stop();
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
  if (gateway.tls && gateway.tls_insecure) {
    log_("gateway " + gateway.name +
         ": tls_insecure = true: the gateway's certificate is NOT verified; anyone on the path "
         "can read the password. Give its CA with ca_file instead");
  }
  target.socket_factory = [this, context = gateway.tls ? gateway.tls_context : nullptr] {
    auto socket =
        context ? platform::MakeAsioTlsSocket(loop_, context) : platform::MakeAsioSocket(loop_);
    return std::make_unique<HeldSendSocket>(std::move(socket), *gate_, log_);
  };
  delivery::Hooks hooks;
  hooks.before_send = [this](const delivery::SendNotice& notice) {
    OnBeforeSend(notice.recipient.tag);
  };
  hooks.on_attempt = [this](const delivery::AttemptReport& report) {
    OnAttempt(report.recipient.tag, report);
  };
  hooks.on_result = [this](const delivery::RecipientResult& result) {
    OnResult(result.recipient.tag, result);
  };
  lane->delivery = std::make_unique<delivery::Delivery>(
      delivery::OnLoop(loop_), std::vector<delivery::Gateway>{target}, std::move(hooks));
  return lane;
}

void Dispatcher::Configure(const RelayConfig& config) {
  bool same = config.gateways.size() == lanes_.size();
  for (std::size_t i = 0; same && i < lanes_.size(); ++i) {
    same = SameGateway(config.gateways[i], lanes_[i]->gateway);
  }
  if (!same) {
    for (auto& lane : lanes_) {
      if (lane->in_flight > 0) retired_.push_back(lane);
    }
    lanes_.clear();
    for (const auto& gateway : config.gateways) lanes_.push_back(MakeLane(gateway));
  }
  config_ = config;
  if (started_) Wake();
}

outbox::Recovery Dispatcher::Start() {
  const auto recovery = outbox_.Recover(NowMillis());
  started_ = true;
  Wake();
  return recovery;
}

void Dispatcher::Wake() {
  ScheduleFlush();
}

void Dispatcher::ScheduleFlush() {
  if (!flush_posted_) {
    flush_posted_ = true;
    loop_.Post([this, alive = std::weak_ptr<bool>(alive_)] {
      if (alive.expired()) return;
      flush_posted_ = false;
      Pump();
    });
  }
  ScheduleCommit();
}

void Dispatcher::ScheduleCommit() {
  // The outcomes of attempts need not be on disk at once: a crash before they are leaves the
  // recipient sending, which the next start resolves safely (queued again before SEND was
  // written, uncertain after). So they wait a little for company: the next durable write (an
  // accept, a SEND written) or this timer, whichever comes first, commits them together.
  if (timers_->commit_armed) return;
  timers_->commit_armed = true;
  timers_->commit.expires_after(std::chrono::milliseconds(kCommitDelay));
  timers_->commit.async_wait(
      [this, alive = std::weak_ptr<bool>(alive_)](const asio::error_code& e) {
        if (alive.expired()) return;
        timers_->commit_armed = false;
        if (e) return;
        try {
          outbox_.Commit();
        } catch (const std::exception& ex) {
          log_(std::string("outbox commit failed: ") + ex.what());
        }
      });
}

void Dispatcher::Pump() {
  if (!started_ || draining_ || lanes_.empty()) return;
  const Millis now = NowMillis();
  try {
    for (const auto& ref : outbox_.Expire(now)) {
      ScheduleCommit();
      metrics_.Outcome(outbox::RecipientState::kExpired);
      log_("expired: page " + ref.page_id + " recipient " + std::to_string(ref.index) +
           " was not delivered within expire_after");
    }
    std::size_t room = 0;
    for (const auto& lane : lanes_) {
      room += static_cast<std::size_t>(std::max(0, lane->gateway.concurrency - lane->in_flight));
    }
    if (room > 0) {
      // A few more than there is room for, since some may wait for a gateway that is full.
      for (auto& job : outbox_.Due(now, room * 2 + 8)) {
        auto& lane = lanes_[static_cast<std::size_t>(job.attempts) % lanes_.size()];
        if (lane->in_flight >= lane->gateway.concurrency) continue;
        const std::uint64_t tag = next_tag_++;
        delivery::Request request;
        request.page = ToDeliveryPage(job.content);
        request.recipients = {job.pager};
        request.policy.max_attempts = 1;
        request.policy.deadline = delivery::Clock::now() +
                                  std::chrono::milliseconds(std::max<Millis>(0, job.expires - now));
        request.tag = tag;
        outbox_.MarkSending(job.ref, lane->gateway.name, now);
        try {
          lane->delivery->Submit(std::move(request));
        } catch (const std::invalid_argument& e) {
          outbox_.Finish(job.ref, outbox::RecipientState::kFailed,
                         std::string("cannot be sent: ") + e.what(), now);
          metrics_.Outcome(outbox::RecipientState::kFailed);
          log_("failed: page " + job.ref.page_id + " to " + job.pager + ": " + e.what());
          continue;
        }
        metrics_.Attempt();
        ++lane->in_flight;
        attempts_.emplace(
            tag, Attempt{job.ref, job.pager, lane, job.attempts + 1, job.created, job.expires, {}});
      }
    }
    // The marks of attempts started are not committed here: until SEND is written, a crash
    // that loses them loses nothing (the recipient is simply due again).
  } catch (const std::exception& e) {
    log_(std::string("outbox error while dispatching: ") + e.what());
  }
  ArmTimer(now);
}

void Dispatcher::ArmTimer(Millis now) {
  Millis next = now + kExpiryScan;
  try {
    if (auto due = outbox_.NextDue()) next = std::max(now + 1, std::min(next, *due));
  } catch (const std::exception& e) {
    log_(std::string("outbox error: ") + e.what());
  }
  if (timers_->wake_at != 0 && timers_->wake_at <= next) return;  // an earlier wake-up stands
  timers_->wake_at = next;
  timers_->wake.expires_after(std::chrono::milliseconds(next - now));
  timers_->wake.async_wait([this, alive = std::weak_ptr<bool>(alive_)](const asio::error_code& e) {
    if (e || alive.expired()) return;
    timers_->wake_at = 0;
    Pump();
  });
}

void Dispatcher::OnBeforeSend(std::uint64_t tag) {
  const auto it = attempts_.find(tag);
  if (it == attempts_.end()) return;
  // Throwing here stops SEND: a page whose sending cannot be recorded is not sent. The mark is
  // committed by the gate that holds SEND back on the session's socket.
  outbox_.MarkSendWritten(it->second.ref, NowMillis(), false);
}

void Dispatcher::OnAttempt(std::uint64_t tag, const delivery::AttemptReport& report) {
  const auto it = attempts_.find(tag);
  if (it == attempts_.end()) return;
  it->second.last_verdict = delivery::ToString(report.verdict);
}

void Dispatcher::OnResult(std::uint64_t tag, const delivery::RecipientResult& result) {
  const auto it = attempts_.find(tag);
  if (it == attempts_.end()) return;
  Attempt attempt = std::move(it->second);
  attempts_.erase(it);
  --attempt.lane->in_flight;

  const Millis now = NowMillis();
  const std::string reply = !result.reply.empty() && result.outcome == delivery::Outcome::kDelivered
                                ? result.reply
                                : (!result.detail.empty() ? result.detail : result.error);
  const std::string who = "page " + attempt.ref.page_id + " to " + attempt.pager + " via " +
                          Where(attempt.lane->gateway) + " (attempt " +
                          std::to_string(attempt.attempt) + ")";
  outbox::RecipientState state = outbox::RecipientState::kFailed;
  Millis next_attempt = 0;
  switch (result.outcome) {
    case delivery::Outcome::kDelivered:
      state = outbox::RecipientState::kDelivered;
      metrics_.Delivered(static_cast<double>(now - attempt.created) / 1000.0);
      break;
    case delivery::Outcome::kUncertain:
      state = outbox::RecipientState::kUncertain;
      break;
    case delivery::Outcome::kRefused:
      // A gateway that refuses our login says nothing about the page: another may take it.
      state = attempt.last_verdict == "login refused" && lanes_.size() > 1
                  ? outbox::RecipientState::kQueued
                  : outbox::RecipientState::kRefused;
      break;
    case delivery::Outcome::kFailed:
      if (result.deadline_passed || now >= attempt.expires) {
        state = outbox::RecipientState::kExpired;
      } else if (attempt.last_verdict == "transient" || attempt.last_verdict.empty()) {
        state = outbox::RecipientState::kQueued;
      }
      break;
  }
  if (state == outbox::RecipientState::kQueued) {
    std::uniform_real_distribution<double> jitter(0.5, 1.0);
    next_attempt =
        now + RetryDelay(attempt.attempt, config_.backoff, config_.max_backoff, jitter(random_));
    log_("retry: " + who + ": " + reply + "; next attempt in " +
         std::to_string(next_attempt - now) + " ms");
  } else {
    metrics_.Outcome(state);
    log_(std::string(outbox::ToString(state)) + ": " + who + ": " + reply);
  }
  try {
    outbox_.Finish(attempt.ref, state, reply, now, next_attempt);
  } catch (const std::exception& e) {
    log_(std::string("outbox error: ") + e.what());
  }
  // A lane a reload replaced goes once its last attempt has ended; not from inside its own
  // callback, though.
  if (attempt.lane->in_flight == 0) {
    loop_.Post([this, alive = std::weak_ptr<bool>(alive_)] {
      if (alive.expired()) return;
      std::erase_if(retired_, [](const auto& lane) { return lane->in_flight == 0; });
    });
  }
  ScheduleFlush();
  FinishDrainIfIdle();
}

void Dispatcher::Drain(Millis grace, std::function<void()> done) {
  draining_ = true;
  drained_ = std::move(done);
  timers_->wake.cancel();
  timers_->grace.expires_after(std::chrono::milliseconds(grace));
  timers_->grace.async_wait([this, alive = std::weak_ptr<bool>(alive_)](const asio::error_code& e) {
    if (e || alive.expired() || !drained_) return;
    if (!attempts_.empty()) {
      log_("stopping with " + std::to_string(attempts_.size()) +
           " attempts unfinished; the next start resolves them");
    }
    for (auto& lane : lanes_) lane->delivery->Stop();
    for (auto& lane : retired_) lane->delivery->Stop();
    attempts_.clear();
    try {
      outbox_.Commit();
    } catch (const std::exception& ex) {
      log_(std::string("outbox commit failed: ") + ex.what());
    }
    auto done_now = std::move(drained_);
    drained_ = nullptr;
    done_now();
  });
  FinishDrainIfIdle();
}

void Dispatcher::FinishDrainIfIdle() {
  if (!draining_ || !drained_ || !attempts_.empty()) return;
  loop_.Post([this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired() || !drained_) return;
    timers_->grace.cancel();
    try {
      outbox_.Commit();
    } catch (const std::exception& e) {
      log_(std::string("outbox commit failed: ") + e.what());
    }
    auto done_now = std::move(drained_);
    drained_ = nullptr;
    done_now();
  });
}

}  // namespace kestrel::relay
