// Delivery's I/O edge: one SNPPInstance per attempt, the reply and SEND time-outs, the wake
// timer of the scheduler, and the hooks.

#include "kestrel/delivery/delivery.hpp"

#include <algorithm>
#include <exception>
#include <map>
#include <random>
#include <stdexcept>
#include <utility>

#include "kestrel/delivery/batch_outcome.hpp"
#include "kestrel/delivery/outcome.hpp"
#include "kestrel/delivery/pager_id.hpp"
#include "kestrel/delivery/scheduler.hpp"
#include "kestrel/platform/control_host.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/platform/forwarding_socket.hpp"
#include "kestrel/session/batch_session.hpp"
#include "kestrel/session/session_state.hpp"
#include "kestrel/session/snpp_instance.hpp"
#include "kestrel/session/wire.hpp"

namespace kestrel::delivery {

using session::SessionState;

const char* ToString(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDelivered:
      return "delivered";
    case Outcome::kRefused:
      return "refused";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kUncertain:
      return "uncertain";
  }
  return "?";
}

std::string Gateway::where() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

namespace {

// After the page is delivered, the server's 221 to QUIT is awaited this long before the
// connection is simply closed.
constexpr Duration kQuitBound = std::chrono::seconds(2);

// The greeting time-out in whole seconds, rounded up, as the control counts it.
long long GreetingSeconds(const Policy& policy) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           policy.greeting_timeout + std::chrono::milliseconds(999))
                           .count();
  return std::clamp<long long>(seconds, 0, 32767);
}

// "30 s", "0.25 s".
std::string Seconds(Duration d) {
  const auto ms = d.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  std::string frac = std::to_string(ms % 1000 + 1000).substr(1);
  while (frac.back() == '0') frac.pop_back();
  return std::to_string(ms / 1000) + "." + frac + " s";
}

// A reply or text as one line: without its line end, and a continued reply's lines joined by
// " / " ("250-Message queued / 250 id 7").
std::string OneLine(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const auto lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) {
      if (!out.empty()) out += " / ";
      out += line;
    }
    if (lf == text.npos) break;
    text.remove_prefix(lf + 1);
  }
  return out;
}

}  // namespace

class Delivery::Impl {
 public:
  Impl(Environment env, std::vector<Gateway> gateways, Hooks hooks);
  ~Impl();

  RequestId Submit(Request request);
  void Stop() noexcept;

  // One recipient of one request, from Submit to its result.
  struct Recipient {
    RecipientRef ref;
    std::shared_ptr<const Request> request;
    int attempts = 0;
    std::string host;
    std::uint16_t port = 0;
    std::string reply;
    std::string error;
    std::string detail;
    bool timed_out = false;
    bool deadline_ended_session = false;
    AttemptEvidence::Kind ended_by = AttemptEvidence::Kind::kError;
    int last_state = -1;
    std::int32_t error_number = 0;
    std::size_t parts_delivered = 0;
    bool connected = false;
    std::size_t bytes_received = 0;
    // How it last failed at each gateway tried, in the order they were first tried.
    std::vector<std::pair<std::size_t, std::string>> failures;
  };

  // Per request while any of its recipients is open: the gateways that are out for it (login
  // refused, certificate failed) and why, for recipients that end with none left untried.
  struct RequestRecord {
    std::size_t open = 0;
    std::vector<std::pair<std::size_t, std::string>> out;
  };

  class Attempt;
  // The socket of an attempt: tells it when SEND has gone out and when the control closed it.
  class WatchSocket;

  void PostPump();
  void Pump();
  // One session for `members` (one start, or the starts of one batch).
  void StartAttempt(const std::vector<Scheduler::Start>& members);
  void AttemptEnded(Attempt& attempt, const AttemptEvidence& evidence);
  // One recipient's end of an attempt; `unreachable` holds its gateway off.
  void MemberEnded(const Scheduler::Start& member, const AttemptEvidence& evidence,
                   bool unreachable);
  void SessionClosed(Attempt& attempt);
  void Finish(Scheduler::Id id, Outcome outcome, Scheduler::Reason reason);
  // "gw1:444: text; gw2:444: text", or the one text when one gateway was tried.
  std::string FailureSummary(
      const std::vector<std::pair<std::size_t, std::string>>& failures) const;
  void ArmWake();
  double Random();

  Environment env_;
  std::vector<Gateway> gateways_;
  Hooks hooks_;
  Scheduler scheduler_;
  std::map<Scheduler::Id, Recipient> recipients_;
  std::map<RequestId, RequestRecord> requests_;
  // Running, by recipient: a batch's attempt under each of its members.
  std::map<Scheduler::Id, std::shared_ptr<Attempt>> attempts_;
  std::vector<std::shared_ptr<Attempt>> closing_;  // decided; waiting for QUIT or destruction
  std::vector<bool> one_a_session_said_;           // per gateway
  std::unique_ptr<platform::Timer> wake_;
  std::mt19937_64 rng_{std::random_device{}()};
  RequestId next_request_ = 1;
  Stats stats_;
  bool pump_posted_ = false;
  bool stopped_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Marks the attempt's SEND written when it is handed to the socket, and keeps it (and anything
// after it) back while the host holds SEND.
class Delivery::Impl::WatchSocket final : public platform::ForwardingSocket {
 public:
  WatchSocket(std::unique_ptr<platform::Socket> inner, Attempt& attempt)
      : ForwardingSocket(std::move(inner)), attempt_(&attempt) {}
  void SendData(std::string_view text) override;
  String GetData() override;
  void Close() override;
  void Detach() { attempt_ = nullptr; }
  // Writes what was kept back; raises the socket's RuntimeError when it cannot.
  void Flush();
  bool holding() const { return !held_.empty(); }

 private:
  Attempt* attempt_;
  std::string held_;  // SEND and what followed it, while the host holds SEND
};

class Delivery::Impl::Attempt final : public session::BatchHost {
 public:
  Attempt(Impl& owner, std::vector<Scheduler::Start> members,
          std::shared_ptr<const Request> request)
      : owner(owner),
        start(members.front()),
        members(std::move(members)),
        request(std::move(request)) {}
  ~Attempt() override {
    *alive = false;
    if (socket) socket->Detach();
  }

  void PropertyChanged(std::string_view name) override;
  void RaiseEvent(platform::EventId event, String& argument) override;
  void PagerAnswered(std::size_t index, const String& reply, bool accepted) override;
  // Notifications run from the loop, never from inside a call the owner is making: a nested
  // run here would start and end other attempts in the middle of this one's work.
  void DoEvents() override {}

  void ArmReplyTimer(Duration bound);
  void OnReplyTimeout();
  // Ends the session with a verdict from `evidence`, once.
  void End(AttemptEvidence evidence);
  void Close() noexcept;

  // The session, whichever type runs it.
  bool has_session() const { return control || batch; }
  Integer State() const { return control ? control->get_State() : batch->get_State(); }
  bool CaughtError() const {
    return !(control ? control->getLastError() : batch->getLastError()).empty();
  }
  Long ErrorNumber() const {
    return control ? control->LastErrorNumber() : batch->LastErrorNumber();
  }
  platform::Timer& SessionTimer() { return control ? control->Timer1() : batch->Timer1(); }
  void CloseSession() {
    if (control) {
      control->CloseConnect();
    } else if (batch) {
      batch->CloseConnect();
    }
  }
  // The members whose PAGE was accepted (every member of a one-pager session).
  std::vector<const Scheduler::Start*> Accepted() const;

  Impl& owner;
  Scheduler::Start start;                  // the first member
  std::vector<Scheduler::Start> members;   // one, or a batch's
  std::shared_ptr<const Request> request;  // outlives the recipient's record while QUIT goes
  std::unique_ptr<session::SNPPInstance> control;
  std::unique_ptr<session::BatchSession> batch;
  // A batch's answers, per member: the reply, and whether the PAGE was accepted.
  std::vector<std::optional<std::pair<std::string, bool>>> answers;
  int releases_due = 0;  // a batch's holds of SEND that have not been released yet
  // The host's hold on SEND: kWaiting from the State 13 notice until the release; kGo when the
  // release came before the control wrote SEND.
  enum class Hold { kNone, kWaiting, kGo };
  void ReleaseSend(bool go, const std::string& why);
  // A reply while SEND was held back answers no command: the attempt ends, SEND not written.
  void EndHeld(std::string text);

  WatchSocket* socket = nullptr;  // owned by the control
  std::unique_ptr<platform::Timer> reply_timer;
  Hold hold = Hold::kNone;
  bool send_written = false;
  bool connected = false;          // the connection came up
  std::size_t bytes_received = 0;  // from the server
  SessionState last_state = SessionState::kNone;
  bool greeted = false;  // the greeting was accepted
  bool decided = false;
  bool released = false;
  bool hook_failed = false;
  std::string hook_error;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);  // for the host's release
};

void Delivery::Impl::WatchSocket::SendData(std::string_view text) {
  const bool send = text == "SEND\r\n";
  if (!held_.empty() || (send && attempt_ && attempt_->hold == Attempt::Hold::kWaiting)) {
    held_ += text;
    return;
  }
  inner().SendData(text);
  if (attempt_ && send) attempt_->send_written = true;
}

void Delivery::Impl::WatchSocket::Flush() {
  if (held_.empty()) return;
  const std::string text = std::exchange(held_, std::string());
  inner().SendData(text);
  if (attempt_) attempt_->send_written = true;
}

String Delivery::Impl::WatchSocket::GetData() {
  String data = inner().GetData();
  if (attempt_) attempt_->bytes_received += data.size();
  return data;
}

void Delivery::Impl::WatchSocket::Close() {
  held_.clear();
  // Whether the connection had come up, for the text of a greeting that never came.
  if (attempt_ && inner().State() == platform::SocketState::kConnected) attempt_->connected = true;
  inner().Close();
  if (attempt_) attempt_->owner.SessionClosed(*attempt_);
}

// --- Attempt -------------------------------------------------------------------------------------

void Delivery::Impl::Attempt::PropertyChanged(std::string_view name) {
  if (name != "State" || !has_session() || released) return;
  const auto state = static_cast<SessionState>(State());
  const Policy& policy = request->policy;
  // A command after the greeting: the gateway answers. One after LOGI: our login is good.
  const SessionState before = std::exchange(last_state, state);
  if (!decided && state != before && state != SessionState::kWaitQuit) {
    if (before == SessionState::kWaitGreeting) {
      greeted = true;
      owner.scheduler_.Greeted(start.gateway);
    }
    if (before == SessionState::kWaitLogin) owner.scheduler_.LoginAccepted(start.gateway);
  }
  switch (state) {
    case SessionState::kWaitGreeting:
    case SessionState::kNone:
      return;  // the control bounds the wait for the greeting itself (ServerTimeout)
    case SessionState::kWaitSend: {
      if (decided) return;
      const auto accepted = Accepted();
      const auto& gw = owner.gateways_[start.gateway];
      const auto notice_for = [&](const Scheduler::Start& m) {
        const auto& r = owner.recipients_.at(m.id);
        return SendNotice{r.ref, m.part, r.request->page.parts.size(), m.attempt, gw.host, gw.port};
      };
      if (owner.hooks_.before_send) {
        for (const auto* m : accepted) {
          try {
            owner.hooks_.before_send(notice_for(*m));
          } catch (const std::exception& e) {
            hook_failed = true;
            hook_error = e.what();
          } catch (...) {
            hook_failed = true;
            hook_error = "the host refused to let the page go";
          }
          // Raised here, the error keeps SEND off the wire; the control reports it as OnError.
          if (hook_failed) throw RuntimeError(err::kSiteRefusedChange, hook_error);
        }
      }
      if (batch && owner.hooks_.hold_send_batch) {
        hold = Hold::kWaiting;
        ArmReplyTimer(policy.reply_timeout);
        std::vector<SendNotice> notices;
        for (const auto* m : accepted) notices.push_back(notice_for(*m));
        owner.hooks_.hold_send_batch(notices,
                                     [this, alive = std::weak_ptr<bool>(alive), used = false](
                                         bool go, const std::string& why) mutable {
                                       if (alive.expired() || used) return;
                                       used = true;
                                       ReleaseSend(go, why);
                                     });
        if (hold == Hold::kWaiting || decided) return;
      } else if (owner.hooks_.hold_send) {
        hold = Hold::kWaiting;
        // The host's turn: bounded like a reply, so a record that never completes cannot hold
        // the session open for good.
        ArmReplyTimer(policy.reply_timeout);
        // A batch's SEND goes once the host has released it for every accepted pager; one
        // refusal keeps it off the wire for all of them.
        releases_due = static_cast<int>(accepted.size());
        for (const auto* m : accepted) {
          if (decided || hold != Hold::kWaiting) break;
          owner.hooks_.hold_send(notice_for(*m),
                                 [this, alive = std::weak_ptr<bool>(alive), used = false](
                                     bool go, const std::string& why) mutable {
                                   if (alive.expired() || used) return;
                                   used = true;
                                   if (go && --releases_due > 0) return;
                                   ReleaseSend(go, why);
                                 });
        }
        if (hold == Hold::kWaiting || decided) return;
      }
      ArmReplyTimer(policy.send_timeout);
      return;
    }
    case SessionState::kWaitQuit:
      ArmReplyTimer(decided ? std::min(kQuitBound, policy.reply_timeout) : policy.reply_timeout);
      return;
    default:
      ArmReplyTimer(policy.reply_timeout);
      return;
  }
}

void Delivery::Impl::Attempt::ReleaseSend(bool go, const std::string& why) {
  if (decided || released || hold != Hold::kWaiting) return;
  if (!go) {
    AttemptEvidence evidence;
    evidence.kind = AttemptEvidence::Kind::kError;
    evidence.state = State();
    evidence.text = "SEND held back: " + why + "; the page was not sent";
    End(std::move(evidence));
    return;
  }
  hold = Hold::kGo;
  if (!socket->holding()) return;  // released from inside the hook: SEND goes when written
  try {
    socket->Flush();
  } catch (const RuntimeError& e) {
    AttemptEvidence evidence;
    evidence.kind = AttemptEvidence::Kind::kError;
    evidence.state = State();
    evidence.text = e.description();
    evidence.error_number = e.number();
    End(std::move(evidence));
    return;
  }
  ArmReplyTimer(request->policy.send_timeout);
}

void Delivery::Impl::Attempt::EndHeld(std::string text) {
  AttemptEvidence evidence;
  evidence.kind = AttemptEvidence::Kind::kError;
  evidence.state = State();
  evidence.text = std::move(text);
  End(std::move(evidence));
}

void Delivery::Impl::Attempt::PagerAnswered(std::size_t index, const String& reply, bool accepted) {
  if (index < answers.size()) answers[index] = std::make_pair(std::string(reply), accepted);
}

std::vector<const Scheduler::Start*> Delivery::Impl::Attempt::Accepted() const {
  std::vector<const Scheduler::Start*> accepted;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (!batch || (i < answers.size() && answers[i] && answers[i]->second)) {
      accepted.push_back(&members[i]);
    }
  }
  return accepted;
}

void Delivery::Impl::Attempt::RaiseEvent(platform::EventId event, String& argument) {
  if (released || !has_session()) return;
  if (decided) {
    // After the page: a bad answer to QUIT. The page stands; just hang up.
    if (event == platform::EventId::kOnError) Close();
    return;
  }
  if (hold == Hold::kWaiting && socket->holding() &&
      (event == platform::EventId::kOnComplete || !CaughtError())) {
    // SEND is still on our side: whatever the server said, it was no answer to SEND.
    EndHeld("the paging server replied (\"" + OneLine(argument) +
            "\") before SEND was written; that reply answers no command. The page was not sent");
    return;
  }
  AttemptEvidence evidence;
  evidence.state = State();
  evidence.send_written = send_written;
  evidence.text = OneLine(argument);
  if (event == platform::EventId::kOnComplete) {
    evidence.kind = AttemptEvidence::Kind::kCompleted;
  } else if (hook_failed) {
    evidence.kind = AttemptEvidence::Kind::kHookFailed;
    evidence.text = hook_error;
  } else if (CaughtError()) {
    // Reported from a caught runtime error: a fresh control per attempt, so it is this one.
    evidence.kind = AttemptEvidence::Kind::kError;
    evidence.error_number = ErrorNumber();
  } else if (argument == session::SNPPInstance::kTimeoutText) {
    evidence.kind = AttemptEvidence::Kind::kGreetingTimeout;
  } else {
    evidence.kind = AttemptEvidence::Kind::kServerReply;
  }
  End(std::move(evidence));
}

void Delivery::Impl::Attempt::ArmReplyTimer(Duration bound) {
  reply_timer->SetEnabled(false);
  reply_timer->SetInterval(static_cast<Long>(std::clamp<Duration::rep>(bound.count(), 1, 1 << 30)));
  reply_timer->SetEnabled(true);
}

void Delivery::Impl::Attempt::OnReplyTimeout() {
  reply_timer->SetEnabled(false);
  if (released || !has_session()) return;
  if (decided) {
    Close();  // no 221 in time: the page is delivered anyway
    return;
  }
  if (hold == Hold::kWaiting) {
    EndHeld("SEND was held back longer than " + Seconds(request->policy.reply_timeout) +
            " while the host recorded it; the page was not sent");
    return;
  }
  AttemptEvidence evidence;
  evidence.kind = AttemptEvidence::Kind::kReplyTimeout;
  evidence.state = State();
  evidence.send_written = send_written;
  End(std::move(evidence));
}

void Delivery::Impl::Attempt::End(AttemptEvidence evidence) {
  if (decided) return;
  decided = true;
  evidence.connected =
      connected || (socket != nullptr && socket->State() == platform::SocketState::kConnected);
  evidence.bytes_received = bytes_received;
  evidence.greeted = greeted;
  const bool delivered = evidence.kind == AttemptEvidence::Kind::kCompleted;
  if (!delivered) Close();  // releases the slot
  owner.AttemptEnded(*this, evidence);
}

void Delivery::Impl::Attempt::Close() noexcept {
  reply_timer->SetEnabled(false);
  try {
    CloseSession();  // through WatchSocket::Close: SessionClosed
  } catch (...) {
  }
  if (!released) owner.SessionClosed(*this);
}

// --- Impl ----------------------------------------------------------------------------------------

namespace {
std::vector<int> Concurrency(const std::vector<Gateway>& gateways) {
  std::vector<int> c;
  for (const auto& g : gateways) c.push_back(g.concurrency);
  return c;
}
std::vector<bool> LogsIn(const std::vector<Gateway>& gateways) {
  std::vector<bool> login;
  for (const auto& g : gateways) login.push_back(!g.login.empty() && g.snpp_level >= 2);
  return login;
}
std::vector<int> Batches(const std::vector<Gateway>& gateways) {
  std::vector<int> batch;
  for (const auto& g : gateways) batch.push_back(g.batch);
  return batch;
}
}  // namespace

Delivery::Impl::Impl(Environment env, std::vector<Gateway> gateways, Hooks hooks)
    : env_(std::move(env)),
      gateways_(std::move(gateways)),
      hooks_(std::move(hooks)),
      scheduler_(Concurrency(gateways_), LogsIn(gateways_), Batches(gateways_)),
      one_a_session_said_(gateways_.size(), false) {
  if (!env_.make_socket || !env_.make_timer || !env_.now || !env_.post) {
    throw std::invalid_argument("a delivery needs sockets, timers, a clock and a loop to post to");
  }
  for (const auto& g : gateways_) {
    if (g.host.empty() || g.port == 0) {
      throw std::invalid_argument("a gateway needs a host and a port from 1 to 65535");
    }
  }
  wake_ = env_.make_timer();
  wake_->OnTick([this] {
    wake_->SetEnabled(false);
    Pump();
  });
}

Delivery::Impl::~Impl() {
  *alive_ = false;
  Stop();
  wake_->OnTick(nullptr);
}

double Delivery::Impl::Random() {
  if (env_.random) return env_.random();
  return std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
}

RequestId Delivery::Impl::Submit(Request request) {
  const Page& page = request.page;
  for (const auto& part : page.parts) {
    if (!page.as_data && session::HasLineBreak(part)) {
      throw std::invalid_argument(
          "a message line holds a line break; send a multi-line text as a DATA body");
    }
  }
  for (const auto* field : {&page.subject, &page.caller, &page.hold}) {
    if (session::HasLineBreak(*field)) {
      throw std::invalid_argument("a page field holds a line break; SNPP commands are one line");
    }
  }
  for (const auto& pager : request.recipients) {
    if (const auto problem = CheckPagerId(pager)) {
      throw std::invalid_argument(Describe(*problem, pager));
    }
  }
  if (page.as_data) {
    for (const auto& g : gateways_) {
      if (g.snpp_level < 2) {
        throw std::invalid_argument("a DATA body needs SNPP level 2 or more at every gateway; " +
                                    g.where() + " is at level 1");
      }
    }
  }
  const RequestId id = next_request_++;
  if (request.recipients.empty() || page.parts.empty() || stopped_) return id;
  auto shared = std::make_shared<const Request>(std::move(request));
  const auto now = env_.now();
  for (std::size_t i = 0; i < shared->recipients.size(); ++i) {
    const auto sid = scheduler_.Add(shared->policy, shared->page.parts.size(), now, id);
    Recipient r;
    r.ref = RecipientRef{id, shared->tag, i, shared->recipients[i]};
    r.request = shared;
    recipients_.emplace(sid, std::move(r));
  }
  requests_[id].open += shared->recipients.size();
  PostPump();
  return id;
}

void Delivery::Impl::PostPump() {
  if (pump_posted_ || stopped_) return;
  pump_posted_ = true;
  env_.post([this, alive = alive_] {
    if (!*alive) return;
    pump_posted_ = false;
    Pump();
  });
}

void Delivery::Impl::Pump() {
  if (stopped_) return;
  const auto now = env_.now();
  for (const auto id : scheduler_.Expired(now)) {
    if (stopped_) return;
    Finish(id, Outcome::kFailed, Scheduler::Reason::kDeadline);
  }
  for (const auto& gone : scheduler_.Stranded()) {
    if (stopped_) return;
    Finish(gone.id, gone.outcome, gone.reason);
  }
  for (const auto id : scheduler_.RunningPastDeadline(now)) {
    if (stopped_) return;
    const auto it = attempts_.find(id);
    if (it == attempts_.end()) continue;
    AttemptEvidence evidence;
    evidence.kind = AttemptEvidence::Kind::kDeadline;
    evidence.state = it->second->State();
    evidence.send_written = it->second->send_written;
    it->second->End(std::move(evidence));
  }
  // The starts of one batch share a session; the batches in the order their first came.
  std::vector<std::vector<Scheduler::Start>> sessions;
  std::map<std::uint64_t, std::size_t> by_batch;
  for (const auto& start : scheduler_.Due(now)) {
    const auto [it, fresh] = by_batch.try_emplace(start.batch, sessions.size());
    if (fresh) sessions.emplace_back();
    sessions[it->second].push_back(start);
  }
  for (const auto& members : sessions) {
    if (stopped_) return;
    StartAttempt(members);
  }
  ArmWake();
}

void Delivery::Impl::ArmWake() {
  if (stopped_) return;
  const auto now = env_.now();
  const auto next = scheduler_.NextWake(now);
  wake_->SetEnabled(false);
  if (!next) return;
  const auto wait = std::chrono::duration_cast<Duration>(*next - now).count();
  wake_->SetInterval(static_cast<Long>(std::clamp<Duration::rep>(wait, 1, 1 << 30)));
  wake_->SetEnabled(true);
}

void Delivery::Impl::StartAttempt(const std::vector<Scheduler::Start>& members) {
  const Scheduler::Start& start = members.front();
  auto& r = recipients_.at(start.id);
  const Gateway& gw = gateways_[start.gateway];
  const Request& request = *r.request;
  const Page& page = request.page;
  for (const auto& m : members) {
    auto& member = recipients_.at(m.id);
    ++member.attempts;
    member.host = gw.host;
    member.port = gw.port;
    ++stats_.attempts;
  }

  auto attempt = std::make_shared<Attempt>(*this, members, r.request);
  Attempt& a = *attempt;
  auto raw = gw.socket_factory ? gw.socket_factory() : env_.make_socket();
  auto socket = std::make_unique<WatchSocket>(std::move(raw), a);
  a.socket = socket.get();
  a.reply_timer = env_.make_timer();
  a.reply_timer->OnTick([&a] { a.OnReplyTimeout(); });
  session::SessionProperties* props = nullptr;
  platform::Socket* sck = nullptr;
  if (members.size() == 1) {
    a.control = std::make_unique<session::SNPPInstance>(a, std::move(socket), env_.make_timer());
    props = &a.control->stored();  // no change notices for the setup
    props->Recipient = r.ref.pager;
    sck = &a.control->sck();
  } else {
    a.batch = std::make_unique<session::BatchSession>(a, std::move(socket), env_.make_timer());
    props = &a.batch->stored();
    for (const auto& m : members) a.batch->recipients().push_back(recipients_.at(m.id).ref.pager);
    a.answers.resize(members.size());
    sck = &a.batch->sck();
  }
  for (const auto& m : members) attempts_.emplace(m.id, attempt);
  ++stats_.sessions_open;
  stats_.max_sessions_open = std::max(stats_.max_sessions_open, stats_.sessions_open);

  auto& p = *props;
  p.ServerTimeout = static_cast<Integer>(GreetingSeconds(request.policy));
  p.SnppLevel = static_cast<Integer>(std::clamp(gw.snpp_level, -32768, 32767));
  p.LoginName = gw.login;
  p.Password = gw.password;
  const std::string& text = page.parts.at(start.part);
  if (page.as_data) {
    p.Message.clear();
    p.Data = text;
  } else {
    p.Message = text;
    p.Data.clear();
  }
  p.Subject = page.subject;
  p.SenderID = page.caller;
  p.HoldUntil = page.hold;
  p.coverageArea = static_cast<Integer>(std::clamp(page.coverage, -1, 32767));
  p.ServiceLevel = static_cast<Integer>(std::clamp(page.service_level, -1, 32767));
  p.AlertOverride = page.alert ? kTrue : kFalse;
  try {
    sck->SetRemoteHost(gw.host);
    sck->SetRemotePort(gw.port);
    if (a.control) {
      a.control->Send();
    } else {
      a.batch->Send();
    }
  } catch (const RuntimeError& e) {
    AttemptEvidence evidence;
    evidence.kind = AttemptEvidence::Kind::kError;
    evidence.state = a.State();
    evidence.text = e.description();
    evidence.error_number = e.number();
    a.End(std::move(evidence));
  }
}

void Delivery::Impl::AttemptEnded(Attempt& attempt, const AttemptEvidence& evidence) {
  // The attempt that ended no longer counts as running; a delivered one stays in closing_
  // until its QUIT is done.
  std::shared_ptr<Attempt> keep;
  for (const auto& m : attempt.members) {
    if (auto it = attempts_.find(m.id); it != attempts_.end() && it->second.get() == &attempt) {
      keep = std::move(it->second);
      attempts_.erase(it);
    }
  }
  if (keep) closing_.push_back(std::move(keep));
  if (!attempt.batch) {
    MemberEnded(attempt.start, evidence, HoldsGatewayOff(evidence));
    return;
  }
  // A batch: each member as batch_outcome.hpp decides.
  std::vector<PageAnswer> answers;
  for (const auto& a : attempt.answers) {
    answers.push_back(!a                            ? PageAnswer::kNone
                      : a->second                   ? PageAnswer::kAccepted
                      : a->first.starts_with("552") ? PageAnswer::kTooMany
                                                    : PageAnswer::kOther);
  }
  const auto decision = DecideBatch(answers, evidence.send_written,
                                    evidence.kind == AttemptEvidence::Kind::kDeadline);
  const std::size_t gateway = attempt.start.gateway;
  if (decision.one_a_session) {
    scheduler_.OneASession(gateway);
    if (!one_a_session_said_[gateway]) {
      one_a_session_said_[gateway] = true;
      if (hooks_.on_gateway_notice) {
        std::string why;
        for (std::size_t i = 0; i < answers.size(); ++i) {
          if (i > 0 && answers[i] != PageAnswer::kAccepted) {
            why = answers[i] == PageAnswer::kNone
                      ? "it ended the session"
                      : "\"" + OneLine(attempt.answers[i]->first) + "\"";
            break;
          }
        }
        hooks_.on_gateway_notice(
            gateways_[gateway],
            gateways_[gateway].where() + " did not take another PAGE in a session (" + why +
                "); its pagers go one a session from now on, and those of that session again");
        if (stopped_) return;
      }
    }
  }
  bool held_off = false;  // the gateway is held off once for the session, not once per member
  for (std::size_t i = 0; i < attempt.members.size(); ++i) {
    if (stopped_) return;
    const auto& m = attempt.members[i];
    if (!recipients_.contains(m.id)) continue;
    switch (decision.fates[i]) {
      case BatchFate::kAgain:
        --recipients_.at(m.id).attempts;
        scheduler_.Again(m.id, env_.now());
        PostPump();
        break;
      case BatchFate::kOwnAnswer: {
        AttemptEvidence own;
        own.kind = AttemptEvidence::Kind::kServerReply;
        own.state = static_cast<Integer>(SessionState::kWaitPage);
        own.text = OneLine(attempt.answers[i]->first);
        own.greeted = true;
        own.connected = true;
        own.bytes_received = evidence.bytes_received;
        MemberEnded(m, own, false);
        break;
      }
      case BatchFate::kSessionOutcome: {
        const bool unreachable = !held_off && HoldsGatewayOff(evidence);
        held_off = held_off || unreachable;
        MemberEnded(m, evidence, unreachable);
        break;
      }
    }
  }
}

void Delivery::Impl::MemberEnded(const Scheduler::Start& member, const AttemptEvidence& evidence,
                                 bool unreachable) {
  const auto id = member.id;
  auto& r = recipients_.at(id);
  const Verdict verdict = ClassifyAttempt(evidence);
  const bool reply = evidence.kind == AttemptEvidence::Kind::kServerReply ||
                     evidence.kind == AttemptEvidence::Kind::kCompleted;
  const auto& policy = r.request->policy;
  const Gateway& gw = gateways_[member.gateway];
  std::string text = evidence.text;
  switch (evidence.kind) {
    case AttemptEvidence::Kind::kReplyTimeout: {
      const bool at_send = evidence.state == static_cast<Integer>(SessionState::kWaitSend);
      const auto bound = at_send ? policy.send_timeout : policy.reply_timeout;
      text = std::string("no reply ") + (at_send ? "to SEND" : "from the paging server") +
             " within " + Seconds(bound) + " (" + session::ToString(evidence.state) + ")";
      break;
    }
    case AttemptEvidence::Kind::kDeadline:
      text = "the deadline passed during the session (" + session::ToString(evidence.state) + ")";
      break;
    case AttemptEvidence::Kind::kGreetingTimeout: {
      // Say where, how long, and how far it got: the control's own words say none of it.
      text = std::string(session::SNPPInstance::kTimeoutText) + " No greeting from " + gw.where() +
             " within " + std::to_string(GreetingSeconds(policy)) + " s: ";
      if (!evidence.connected) {
        text += "the connection never came up. Check the host, the port and the network";
      } else if (evidence.bytes_received == 0) {
        text +=
            "the connection came up, but the server sent nothing. Check that this is the "
            "server's SNPP port and that the paging server is running";
      } else {
        text += "the server sent " + std::to_string(evidence.bytes_received) +
                (evidence.bytes_received == 1 ? " byte" : " bytes") +
                " but no whole greeting line. Check that this is an SNPP server";
      }
      break;
    }
    default:
      break;
  }
  if (reply) r.reply = text;
  r.detail = text;
  r.deadline_ended_session = evidence.kind == AttemptEvidence::Kind::kDeadline;
  r.ended_by = evidence.kind;
  r.connected = evidence.connected;
  r.bytes_received = evidence.bytes_received;

  // Whether this attempt's end holds the gateway off, for the report; `unreachable` says
  // whether this member holds it off (once for a batch).
  const bool holds_off = HoldsGatewayOff(evidence);
  const auto followup = scheduler_.AttemptEnded(id, verdict, env_.now(), Random(), unreachable);
  if (verdict == Verdict::kUncertain) {
    // What follows is known now: say it, not what a resend would do.
    const char* next =
        !followup.finished ? "sending it again"
        : policy.resend_uncertain && followup.reason == Scheduler::Reason::kAttemptsExhausted
            ? "not resent: no attempt is left"
            : "not resent";
    text = (evidence.kind == AttemptEvidence::Kind::kServerReply
                ? "the reply to SEND was not understood (" + evidence.text + ")"
            : evidence.kind == AttemptEvidence::Kind::kReplyTimeout ||
                    evidence.kind == AttemptEvidence::Kind::kDeadline
                ? text
            : evidence.error_number == err::kReplyOutOfTurn ||
                    evidence.error_number == err::kMalformedReply
                ? evidence.text
                : "the connection was lost after SEND") +
           "; the page may have been delivered; " + next;
  }
  if (verdict != Verdict::kDelivered) {
    r.error = text;
    const auto g = member.gateway;
    const auto seen = std::find_if(r.failures.begin(), r.failures.end(),
                                   [g](const auto& f) { return f.first == g; });
    if (seen == r.failures.end()) {
      r.failures.emplace_back(g, text);
    } else {
      seen->second = text;
    }
    if (verdict == Verdict::kLoginRefused || verdict == Verdict::kCertificateFailed) {
      // Once per gateway: the members of a batch all end with it.
      auto& out = requests_[r.ref.request].out;
      if (std::none_of(out.begin(), out.end(), [g](const auto& o) { return o.first == g; })) {
        out.emplace_back(g, text);
      }
    }
  }
  r.last_state = evidence.state;
  r.error_number = evidence.kind == AttemptEvidence::Kind::kError ? evidence.error_number : 0;
  r.timed_out = evidence.kind == AttemptEvidence::Kind::kReplyTimeout ||
                evidence.kind == AttemptEvidence::Kind::kGreetingTimeout ||
                evidence.kind == AttemptEvidence::Kind::kDeadline;
  if (verdict == Verdict::kDelivered) {
    ++r.parts_delivered;
    r.error.clear();
  }
  if (hooks_.on_attempt) {
    hooks_.on_attempt(AttemptReport{r.ref, member.part, member.attempt, gw.host, gw.port, verdict,
                                    text, holds_off});
    if (stopped_) return;
  }
  if (followup.finished) {
    Finish(id, followup.outcome, followup.reason);
  } else {
    PostPump();
  }
}

std::string Delivery::Impl::FailureSummary(
    const std::vector<std::pair<std::size_t, std::string>>& failures) const {
  if (failures.size() == 1) return failures.front().second;
  std::string out;
  for (const auto& [g, text] : failures) {
    if (!out.empty()) out += "; ";
    // A sentence of its own in the list: its full stop would end the list.
    out += gateways_[g].where() + ": ";
    out += text.ends_with('.') ? std::string_view(text).substr(0, text.size() - 1) : text;
  }
  return out;
}

void Delivery::Impl::SessionClosed(Attempt& attempt) {
  if (!attempt.decided || attempt.released) return;
  attempt.released = true;
  attempt.reply_timer->SetEnabled(false);
  attempt.SessionTimer().SetEnabled(false);
  scheduler_.ReleaseSlot(attempt.start.gateway);
  if (stats_.sessions_open > 0) --stats_.sessions_open;
  // Destroyed later, from the loop: we may be inside one of its own calls.
  env_.post([this, alive = alive_, target = &attempt] {
    if (!*alive) return;
    std::erase_if(closing_, [target](const auto& a) { return a.get() == target; });
  });
  PostPump();
}

void Delivery::Impl::Finish(Scheduler::Id id, Outcome outcome, Scheduler::Reason reason) {
  const auto it = recipients_.find(id);
  if (it == recipients_.end()) return;
  Recipient r = std::move(it->second);
  recipients_.erase(it);
  std::vector<std::pair<std::size_t, std::string>> out;  // the gateways out for its request
  if (const auto req = requests_.find(r.ref.request); req != requests_.end()) {
    out = req->second.out;
    if (--req->second.open == 0) requests_.erase(req);
  }
  RecipientResult result;
  result.recipient = r.ref;
  result.outcome = outcome;
  result.attempts = r.attempts;
  result.parts_delivered = r.parts_delivered;
  result.parts_total = r.request->page.parts.size();
  result.gateways_tried = r.failures.size();
  result.host = r.host;
  result.port = r.port;
  result.reply = r.reply;
  result.timed_out = r.timed_out;
  result.connected = r.connected;
  result.bytes_received = r.bytes_received;
  result.deadline_passed = reason == Scheduler::Reason::kDeadline;
  const bool none_left = reason == Scheduler::Reason::kLoginRefusedEverywhere ||
                         reason == Scheduler::Reason::kNoGatewayLeft;
  if (none_left && !out.empty()) {
    // Every gateway is out for the request: each says why, also to a recipient that never had
    // its turn (it names the gateway that went out last).
    if (r.attempts == 0) {
      result.host = gateways_[out.back().first].host;
      result.port = gateways_[out.back().first].port;
    }
    r.failures = out;
  }
  if (outcome != Outcome::kDelivered) {
    // A failure after several gateways names each: the last one alone would hide the others.
    const std::string base =
        outcome == Outcome::kFailed || reason == Scheduler::Reason::kLoginRefusedEverywhere
            ? (r.failures.empty() ? r.error : FailureSummary(r.failures))
            : r.error;
    switch (reason) {
      case Scheduler::Reason::kDeadline:
        result.error = base.empty() ? "the deadline passed before an attempt could be made"
                       : r.deadline_ended_session
                           ? base
                           : base + "; the deadline leaves no time to try again";
        break;
      case Scheduler::Reason::kLoginRefusedEverywhere:
        result.error = "the login was refused by every gateway: " + base +
                       ". Check the login name and password";
        break;
      case Scheduler::Reason::kNoGatewayLeft:
        result.error = r.failures.size() > 1 ? "no gateway is left to try: " + base : base;
        break;
      default:
        result.error = base;
        break;
    }
  }
  result.detail = r.detail;
  result.ended_by = r.ended_by;
  result.last_state = r.last_state;
  result.error_number = r.error_number;
  if (hooks_.on_result) hooks_.on_result(result);
}

void Delivery::Impl::Stop() noexcept {
  if (stopped_) return;
  stopped_ = true;
  try {
    wake_->SetEnabled(false);
    for (auto& [id, a] : attempts_) {
      // A batch's attempt is there under each of its members: once is enough.
      if (std::find(closing_.begin(), closing_.end(), a) != closing_.end()) continue;
      a->released = true;
      a->reply_timer->SetEnabled(false);
      a->SessionTimer().SetEnabled(false);
      try {
        a->CloseSession();
      } catch (...) {
      }
      closing_.push_back(a);
    }
    attempts_.clear();
    for (auto& a : closing_) {
      a->released = true;
      a->reply_timer->SetEnabled(false);
      try {
        a->CloseSession();
      } catch (...) {
      }
    }
    scheduler_.Clear();
    recipients_.clear();
    requests_.clear();
    stats_.sessions_open = 0;
    if (*alive_) {
      // Destroyed from the loop: Stop() may run inside one of their calls.
      env_.post([this, alive = alive_] {
        if (*alive) closing_.clear();
      });
    } else {
      closing_.clear();
    }
  } catch (...) {
  }
}

// --- Delivery ------------------------------------------------------------------------------------

Delivery::Delivery(Environment environment, std::vector<Gateway> gateways, Hooks hooks)
    : impl_(std::make_unique<Impl>(std::move(environment), std::move(gateways), std::move(hooks))) {
}

Delivery::~Delivery() noexcept = default;

RequestId Delivery::Submit(Request request) {
  return impl_->Submit(std::move(request));
}

void Delivery::Stop() noexcept {
  impl_->Stop();
}

void Delivery::RestoreBatches() {
  impl_->scheduler_.RestoreBatches();
  std::fill(impl_->one_a_session_said_.begin(), impl_->one_a_session_said_.end(), false);
}

bool Delivery::idle() const {
  return impl_->recipients_.empty();
}

std::size_t Delivery::unfinished() const {
  return impl_->recipients_.size();
}

Stats Delivery::stats() const {
  return impl_->stats_;
}

const std::vector<Gateway>& Delivery::gateways() const {
  return impl_->gateways_;
}

}  // namespace kestrel::delivery
