// The delivery layer over fake sockets and fake time: the outcome table, the backoff arithmetic,
// failover and concurrency, the reply and SEND time-outs, and the hook before SEND.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kestrel/delivery/batch_outcome.hpp"
#include "kestrel/delivery/delivery.hpp"
#include "kestrel/delivery/outcome.hpp"
#include "kestrel/delivery/scheduler.hpp"
#include "kestrel/testing/fakes.hpp"

namespace kestrel::delivery {
namespace {

using namespace std::chrono_literals;
using testing::FakeClock;
using testing::FakeLoop;
using testing::FakeSocket;
using testing::FakeTimer;
using Kind = AttemptEvidence::Kind;

TEST(Backoff, DoublesFromTheFirstWaitUpToTheCapWithJitterInTheUpperHalf) {
  const Policy p{.first_backoff = 1s, .max_backoff = 30s};
  struct Row {
    int retry;
    double random;
    Duration wait;
  } rows[] = {{1, 0.0, 500ms},  {1, 1.0, 1000ms}, {2, 0.0, 1000ms}, {2, 1.0, 2000ms},
              {3, 0.5, 3000ms}, {5, 1.0, 16s},    {6, 1.0, 30s},    {6, 0.0, 15s},
              {60, 1.0, 30s}};  // no overflow however many retries
  for (const auto& r : rows) {
    EXPECT_EQ(Backoff(p, r.retry, r.random), r.wait) << "retry " << r.retry << " r " << r.random;
  }
}

TEST(Classify, TheOutcomeTable) {
  const Integer kGreeting = 0, kPage = 11, kSend = 13, kLogin = 22;
  struct Row {
    AttemptEvidence e;
    Verdict v;
    bool held_off = false;
  } rows[] = {
      {{Kind::kCompleted, kSend, true, "250 Message Sent"}, Verdict::kDelivered},
      {{Kind::kServerReply, kGreeting, false, "421 Service unavailable, try later"},
       Verdict::kTransient},
      {{Kind::kServerReply, kPage, false, "450 busy"}, Verdict::kTransient},
      {{Kind::kServerReply, kSend, true, "421 Exceeded number of allowed transactions"},
       Verdict::kTransient},
      {{Kind::kServerReply, kPage, false, "550 Unknown pager"}, Verdict::kRefused},
      {{Kind::kServerReply, kSend, true, "554 Message refused"}, Verdict::kRefused},
      {{Kind::kServerReply, kLogin, false, "550 Login refused"}, Verdict::kLoginRefused},
      {{Kind::kServerReply, kGreeting, false, "hello there"}, Verdict::kTransient},
      {{Kind::kServerReply, kSend, true, "hello there"}, Verdict::kUncertain},
      {{Kind::kError, kGreeting, false, "refused", err::kSocketConnectFailed},
       Verdict::kTransient,
       true},
      {{Kind::kError, kGreeting, false, "closed", err::kSocketClosedByPeer},
       Verdict::kTransient,
       true},
      {{Kind::kError, kGreeting, false, "plain port", err::kTlsHandshakeFailed},
       Verdict::kTransient,
       true},
      {{Kind::kError, kGreeting, false, "untrusted", err::kTlsUntrusted},
       Verdict::kCertificateFailed},
      {{Kind::kError, kGreeting, false, "other name", err::kTlsNameMismatch},
       Verdict::kCertificateFailed},
      {{Kind::kError, kGreeting, false, "expired", err::kTlsExpired}, Verdict::kCertificateFailed},
      {{Kind::kError, kGreeting, false, "wants ours", err::kTlsClientCertificate},
       Verdict::kCertificateFailed},
      {{Kind::kError, kPage, false, "out of turn", err::kReplyOutOfTurn}, Verdict::kTransient},
      {{Kind::kError, kSend, true, "malformed", err::kMalformedReply}, Verdict::kUncertain},
      {{Kind::kError, kPage, false, "lost", err::kConnectionLost}, Verdict::kTransient},
      {{Kind::kError, kSend, true, "lost", err::kConnectionLost}, Verdict::kUncertain},
      {{Kind::kError, kPage, false, "line break", err::kLineBreakInParameter}, Verdict::kFailed},
      {{Kind::kGreetingTimeout, kGreeting, false, ""}, Verdict::kTransient, true},
      {{Kind::kReplyTimeout, kPage, false, ""}, Verdict::kTransient},
      {{Kind::kReplyTimeout, kSend, true, ""}, Verdict::kUncertain},
      // State 13 is entered just before SEND goes out: a failed write leaves it unwritten.
      {{Kind::kError, kSend, false, "write failed", err::kSocketIo, true}, Verdict::kTransient},
      // Reset after the greeting: a passing fault of the session, not of reaching the gateway.
      {{Kind::kError, kPage, false, "reset", err::kSocketIo, true}, Verdict::kTransient},
      {{Kind::kDeadline, kPage, false, ""}, Verdict::kFailed},
      {{Kind::kDeadline, kSend, true, ""}, Verdict::kUncertain},
      {{Kind::kHookFailed, kSend, false, "disk full"}, Verdict::kFailed},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(ClassifyAttempt(r.e), r.v) << r.e.text << " in state " << r.e.state;
    EXPECT_EQ(HoldsGatewayOff(r.e), r.held_off) << r.e.text << " in state " << r.e.state;
  }
}

TEST(Scheduler, FailsOverWaitsForSlotsAndStopsAtTheLimits) {
  const TimePoint t0{};
  const Policy p{.max_attempts = 4, .first_backoff = 1s};
  // One gateway with one slot: the second recipient waits for it.
  Scheduler one({1});
  const auto a = one.Add(p, 1, t0);
  const auto b = one.Add(p, 1, t0);
  auto due = one.Due(t0);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].id, a);
  auto f = one.AttemptEnded(a, Verdict::kTransient, t0, 1.0);
  ASSERT_FALSE(f.finished);
  EXPECT_EQ(*f.retry_at, t0 + 1s);
  EXPECT_TRUE(one.Due(t0).empty()) << "the slot is still held until the session is closed";
  one.ReleaseSlot(0);
  due = one.Due(t0);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].id, b);
  EXPECT_EQ(*one.NextWake(t0), t0 + 1s);

  // Three gateways: a recipient whose gateway is busy takes a free slot at the next one; a retry
  // goes to the gateway after the one that failed, or on past it when that one is busy.
  Scheduler s({1, 1, 1});
  const auto c = s.Add(p, 1, t0);
  const auto d = s.Add(p, 1, t0);
  due = s.Due(t0);
  ASSERT_EQ(due.size(), 2u);
  EXPECT_EQ((std::pair{due[0].gateway, due[1].gateway}),
            (std::pair<std::size_t, std::size_t>{0, 1}));
  s.AttemptEnded(c, Verdict::kTransient, t0, 1.0);
  s.ReleaseSlot(0);
  due = s.Due(t0 + 1s);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ((std::pair{due[0].gateway, due[0].attempt}), (std::pair<std::size_t, int>{2, 2}));
  f = s.AttemptEnded(c, Verdict::kTransient, t0 + 1s, 1.0);
  s.ReleaseSlot(2);
  EXPECT_EQ(*f.retry_at, t0 + 3s);
  EXPECT_TRUE(s.AttemptEnded(d, Verdict::kDelivered, t0 + 2s, 1.0).finished);
  s.ReleaseSlot(1);
  due = s.Due(t0 + 3s);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].gateway, 0u) << "wrapped round";
  s.AttemptEnded(c, Verdict::kTransient, t0 + 3s, 1.0);
  s.ReleaseSlot(0);
  due = s.Due(t0 + 7s);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ((std::pair{due[0].gateway, due[0].attempt}), (std::pair<std::size_t, int>{1, 4}));
  f = s.AttemptEnded(c, Verdict::kTransient, t0 + 7s, 1.0);
  EXPECT_TRUE(f.finished);
  EXPECT_EQ(f.outcome, Outcome::kFailed);
  EXPECT_EQ(f.reason, Scheduler::Reason::kAttemptsExhausted);

  // The deadline: no retry that would start after it; waiting recipients expire.
  Scheduler late({1});
  const Policy short_deadline{.max_attempts = 0, .first_backoff = 10s, .deadline = t0 + 5s};
  const auto first = late.Add(short_deadline, 1, t0);
  const auto second = late.Add(short_deadline, 1, t0);
  late.Due(t0);
  f = late.AttemptEnded(first, Verdict::kTransient, t0, 1.0);
  EXPECT_EQ(f.reason, Scheduler::Reason::kDeadline);
  EXPECT_EQ(*late.NextWake(t0), t0 + 5s);
  EXPECT_EQ(late.Expired(t0 + 5s), std::vector<Scheduler::Id>{second});
}

TEST(Batch, TheFateTable) {
  using A = PageAnswer;
  constexpr auto kSession = BatchFate::kSessionOutcome, kOwn = BatchFate::kOwnAnswer,
                 kAgain = BatchFate::kAgain;
  struct Row {
    std::vector<A> answers;
    bool send_written;
    bool deadline;
    std::vector<BatchFate> fates;
    bool one_a_session;
  } rows[] = {
      // Every pager accepted, SEND written: all take SEND's outcome.
      {{A::kAccepted, A::kAccepted, A::kAccepted},
       true,
       false,
       {kSession, kSession, kSession},
       false},
      // Some refused among accepted ones: each refused one alone; the gateway takes several.
      {{A::kOther, A::kAccepted, A::kOther, A::kAccepted},
       true,
       false,
       {kOwn, kSession, kOwn, kSession},
       false},
      // None accepted: each its own answer.
      {{A::kOther, A::kOther}, false, false, {kOwn, kOwn}, false},
      // 552 anywhere: that pager again, the gateway one a session.
      {{A::kAccepted, A::kAccepted, A::kTooMany}, true, false, {kSession, kSession, kAgain}, true},
      {{A::kTooMany, A::kAccepted}, true, false, {kAgain, kSession}, true},
      // Nothing accepted after the first accepted one: the rest again; the first goes on when
      // SEND went out...
      {{A::kAccepted, A::kOther, A::kOther}, true, false, {kSession, kAgain, kAgain}, true},
      {{A::kOther, A::kAccepted, A::kOther}, true, false, {kOwn, kSession, kAgain}, true},
      // ... and again itself when the session ended before SEND (it closed at the second PAGE).
      {{A::kAccepted, A::kNone, A::kNone}, false, false, {kAgain, kAgain, kAgain}, true},
      // The last pager accepted, the others refused before it: nothing follows it to judge by.
      {{A::kOther, A::kAccepted}, true, false, {kOwn, kSession}, false},
      // The session ended before any PAGE was accepted (greeting, LOGI, connection lost).
      {{A::kNone, A::kNone}, false, false, {kSession, kSession}, false},
      {{A::kOther, A::kNone}, false, false, {kOwn, kSession}, false},
      // One pager: nothing to compare with.
      {{A::kAccepted}, false, false, {kSession}, false},
      // The deadline ended it: nothing goes again.
      {{A::kAccepted, A::kNone}, false, true, {kSession, kSession}, false},
      {{A::kAccepted, A::kTooMany}, false, true, {kSession, kOwn}, false},
  };
  int row = 0;
  for (const auto& r : rows) {
    ++row;
    const auto d = DecideBatch(r.answers, r.send_written, r.deadline);
    EXPECT_EQ(d.fates, r.fates) << "row " << row;
    EXPECT_EQ(d.one_a_session, r.one_a_session) << "row " << row;
  }
}

TEST(Scheduler, BatchesShareASlotAndOneASessionEndsThem) {
  const TimePoint t0{};
  const Policy p{.max_attempts = 1};
  // Batch 3, two slots: eight recipients make even batches, 3, 3 and 2; the last waits for a
  // slot.
  Scheduler s({2}, {}, {3});
  std::vector<Scheduler::Id> ids;
  for (int i = 0; i < 8; ++i) ids.push_back(s.Add(p, 1, t0, /*group=*/1));
  const auto other = s.Add(p, 1, t0, /*group=*/2);  // another request never joins them
  auto due = s.Due(t0);
  ASSERT_EQ(due.size(), 6u);
  EXPECT_EQ(s.busy(0), 2);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(due[i].batch, due[i / 3 * 3].batch) << i;
  EXPECT_NE(due[0].batch, due[3].batch);
  // A member that goes again keeps its attempts; with max_attempts 1 it can still be tried.
  s.Again(ids[1], t0);
  EXPECT_EQ(s.attempts(ids[1]), 0);
  s.OneASession(0);
  EXPECT_EQ(s.batch(0), 1);
  s.ReleaseSlot(0);
  due = s.Due(t0);
  ASSERT_EQ(due.size(), 1u) << "one slot free, one a session now";
  EXPECT_EQ(due[0].id, ids[1]);
  EXPECT_EQ(due[0].attempt, 1);
  s.ReleaseSlot(0);
  due = s.Due(t0);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].id, ids[6]);
  s.ReleaseSlot(0);
  due = s.Due(t0);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].id, ids[7]);
  s.ReleaseSlot(0);
  due = s.Due(t0);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].id, other);
}

TEST(Scheduler, AGatewayThatCannotBeReachedIsPassedOverForAWhile) {
  const TimePoint t0{};
  const Policy p{.max_attempts = 0, .first_backoff = 1s};
  Scheduler s({1, 1});
  const auto a = s.Add(p, 1, t0);
  const auto b = s.Add(p, 1, t0);
  const auto c = s.Add(p, 1, t0);
  ASSERT_EQ(s.Due(t0).size(), 2u);  // a at the first gateway, b at the second; c waits
  // No greeting from the first: held off for 5 s. Its free slot is not given to c while the
  // second gateway, busy as it is, is there.
  s.AttemptEnded(a, Verdict::kTransient, t0 + 20s, 1.0, /*unreachable=*/true);
  s.ReleaseSlot(0);
  EXPECT_TRUE(s.held_off(0, t0 + 20s));
  EXPECT_TRUE(s.Due(t0 + 20s).empty());
  EXPECT_TRUE(s.AttemptEnded(b, Verdict::kDelivered, t0 + 20s, 1.0).finished);
  s.ReleaseSlot(1);
  auto due = s.Due(t0 + 20s);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ((std::pair{due[0].id, due[0].gateway}), (std::pair<Scheduler::Id, std::size_t>{c, 1}));
  EXPECT_TRUE(s.Due(t0 + 21s).empty()) << "a's retry waits for the second rather than the first";
  EXPECT_EQ(*s.NextWake(t0 + 21s), t0 + 25s) << "the hold-off's end";
  due = s.Due(t0 + 25s);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].gateway, 0u);
  // A second failure in a row doubles the hold-off; a greeting ends it.
  s.AttemptEnded(a, Verdict::kTransient, t0 + 45s, 1.0, true);
  s.ReleaseSlot(0);
  EXPECT_TRUE(s.held_off(0, t0 + 54s));
  EXPECT_FALSE(s.held_off(0, t0 + 55s));
  s.Greeted(0);
  EXPECT_FALSE(s.held_off(0, t0 + 46s));

  // With nothing else left, a held-off gateway is tried rather than none.
  Scheduler alone({1});
  const auto x = alone.Add(p, 1, t0);
  alone.Due(t0);
  alone.AttemptEnded(x, Verdict::kTransient, t0, 1.0, true);
  alone.ReleaseSlot(0);
  EXPECT_EQ(alone.Due(t0 + 1s).size(), 1u);
}

TEST(Scheduler, AGatewayOutForARequestIsNotTriedAgainByIt) {
  const TimePoint t0{};
  const Policy p{.max_attempts = 5};
  // Both gateways take a login: one session each until the login is known to be good.
  Scheduler s({4, 4}, {true, true});
  const auto r1 = s.Add(p, 1, t0, /*group=*/7);
  const auto r2 = s.Add(p, 1, t0, 7);
  const auto r3 = s.Add(p, 1, t0, 7);
  auto due = s.Due(t0);
  ASSERT_EQ(due.size(), 2u);
  EXPECT_EQ((std::pair{due[0].id, due[1].id}), (std::pair{r1, r2}));
  // A login refusal moves on at once, skipping that gateway from then on for the request; a
  // recipient of another request may still go there.
  auto f = s.AttemptEnded(r1, Verdict::kLoginRefused, t0, 1.0);
  s.ReleaseSlot(0);
  EXPECT_EQ(*f.retry_at, t0);
  EXPECT_EQ(s.out(7, 0), Verdict::kLoginRefused);
  const auto other = s.Add(p, 1, t0, 8);
  due = s.Due(t0);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ((std::pair{due[0].id, due[0].gateway}),
            (std::pair<Scheduler::Id, std::size_t>{other, 0}));
  // The second gateway refuses it too: every recipient of the request ends refused at once,
  // those that never had their turn included.
  f = s.AttemptEnded(r2, Verdict::kLoginRefused, t0, 1.0);
  s.ReleaseSlot(1);
  EXPECT_TRUE(f.finished);
  EXPECT_EQ((std::pair{f.outcome, f.reason}),
            (std::pair{Outcome::kRefused, Scheduler::Reason::kLoginRefusedEverywhere}));
  const auto stranded = s.Stranded();
  ASSERT_EQ(stranded.size(), 2u);
  for (const auto& gone : stranded) {
    EXPECT_TRUE(gone.id == r1 || gone.id == r3);
    EXPECT_EQ(gone.reason, Scheduler::Reason::kLoginRefusedEverywhere);
  }
  EXPECT_EQ(s.size(), 1u) << "the other request's recipient goes on";
  // An accepted login opens every slot.
  s.LoginAccepted(0);
  s.Add(p, 1, t0, 8);
  s.Add(p, 1, t0, 8);
  EXPECT_EQ(s.Due(t0).size(), 2u);

  // A certificate that fails verification is not retried at that gateway; when none is left,
  // the request's recipients fail.
  Scheduler tls({1, 1});
  const auto y = tls.Add(p, 1, t0, 1);
  const auto z = tls.Add(p, 1, t0, 1);
  tls.Due(t0);  // y at the first, z at the second
  f = tls.AttemptEnded(y, Verdict::kCertificateFailed, t0, 1.0);
  tls.ReleaseSlot(0);
  EXPECT_FALSE(f.finished);
  EXPECT_TRUE(tls.Due(t0).empty()) << "y waits for the second gateway, never the first again";
  f = tls.AttemptEnded(z, Verdict::kCertificateFailed, t0, 1.0);
  tls.ReleaseSlot(1);
  EXPECT_EQ((std::pair{f.outcome, f.reason}),
            (std::pair{Outcome::kFailed, Scheduler::Reason::kNoGatewayLeft}));
  ASSERT_EQ(tls.Stranded().size(), 1u);
  EXPECT_EQ(tls.size(), 0u);
}

// --- The engine over fakes
// ------------------------------------------------------------------------

// Lends a socket the rig keeps, so that tests can look at it after the session is gone.
class LentSocket final : public platform::Socket {
 public:
  explicit LentSocket(FakeSocket& s) : s_(s) {}
  ~LentSocket() override {
    s_.OnDataArrival(nullptr);
    s_.OnClosed(nullptr);
  }
  void Connect(const String& host, Long port) override { s_.Connect(host, port); }
  void SendData(std::string_view text) override { s_.SendData(text); }
  String GetData() override { return s_.GetData(); }
  void Close() override { s_.Close(); }
  platform::SocketState State() const override { return s_.State(); }
  String RemoteHost() const override { return s_.RemoteHost(); }
  void SetRemoteHost(const String& host) override { s_.SetRemoteHost(host); }
  Long RemotePort() const override { return s_.RemotePort(); }
  void SetRemotePort(Long port) override { s_.SetRemotePort(port); }
  void OnDataArrival(DataArrivalHandler h) override { s_.OnDataArrival(std::move(h)); }
  void OnClosed(ClosedHandler h) override { s_.OnClosed(std::move(h)); }

 private:
  FakeSocket& s_;
};

struct Rig {
  FakeLoop loop;
  FakeClock clock{loop};
  std::vector<std::unique_ptr<FakeSocket>> kept;
  std::vector<FakeSocket*> sockets;
  std::vector<RecipientResult> results;
  std::vector<std::string> journal;  // hook calls and SEND writes, in order
  std::function<void(const SendNotice&)> before_send;
  std::vector<AttemptReport> reports;
  std::vector<SendRelease> releases;  // with hold_send: one per SEND held, in order
  bool release_in_hook = false;
  std::unique_ptr<Delivery> delivery;

  explicit Rig(std::vector<Gateway> gateways, bool hold_send = false) {
    Environment env;
    env.make_socket = [this] {
      kept.push_back(std::make_unique<FakeSocket>(loop));
      sockets.push_back(kept.back().get());
      return std::make_unique<LentSocket>(*kept.back());
    };
    env.make_timer = [this] { return std::make_unique<FakeTimer>(clock); };
    env.now = [this] { return TimePoint(std::chrono::milliseconds(clock.now())); };
    env.post = [this](std::function<void()> fn) { loop.Post(std::move(fn)); };
    env.random = [] { return 1.0; };  // the whole nominal wait
    Hooks hooks;
    hooks.before_send = [this](const SendNotice& n) {
      journal.push_back("before_send " + n.recipient.pager + " " + n.host);
      if (before_send) before_send(n);
    };
    hooks.on_result = [this](const RecipientResult& r) { results.push_back(r); };
    hooks.on_attempt = [this](const AttemptReport& r) { reports.push_back(r); };
    if (hold_send) {
      hooks.hold_send = [this](const SendNotice& n, SendRelease release) {
        journal.push_back("hold_send " + n.recipient.pager);
        if (release_in_hook) release(true, "");
        releases.push_back(std::move(release));
      };
    }
    delivery = std::make_unique<Delivery>(std::move(env), std::move(gateways), std::move(hooks));
  }
  void Submit(std::vector<std::string> pagers, Policy policy = {}) {
    delivery->Submit(Request{
        .page = {.parts = {"disk full"}}, .recipients = std::move(pagers), .policy = policy});
    loop.RunPending();
  }
  // The server side of socket i: the connection comes up, then each line in turn.
  void Serve(std::size_t i, std::initializer_list<std::string_view> lines) {
    FakeSocket& s = *sockets.at(i);
    if (s.State() == platform::SocketState::kConnecting) s.CompleteConnect();
    for (auto line : lines) {
      s.Receive(std::string(line) + "\r\n");
      loop.RunPending();
    }
  }
  bool SendWritten(std::size_t i) const {
    const auto& w = sockets.at(i)->writes;
    return std::find(w.begin(), w.end(), "SEND\r\n") != w.end();
  }
};

Gateway Level1(std::string host, int concurrency = 4) {
  return Gateway{.host = std::move(host), .port = 444, .snpp_level = 1, .concurrency = concurrency};
}

TEST(Delivery, FailsOverAfterTheBackoffAndHooksInBeforeSendIsWritten) {
  Rig rig({Level1("gw-a"), Level1("gw-b")});
  rig.Submit({"5551234"});
  ASSERT_EQ(rig.sockets.size(), 1u);
  EXPECT_EQ(rig.sockets[0]->connects.at(0).first, "gw-a");
  rig.sockets[0]->PeerClose(err::kSocketConnectFailed, "Connection refused");
  rig.loop.RunPending();
  EXPECT_TRUE(rig.results.empty());
  rig.clock.Advance(999);
  EXPECT_EQ(rig.sockets.size(), 1u) << "the first backoff is 1 s";
  rig.clock.Advance(1);
  ASSERT_EQ(rig.sockets.size(), 2u);
  EXPECT_EQ(rig.sockets[1]->connects.at(0).first, "gw-b");
  rig.Serve(1, {"220 hi", "250 ok", "250 ok"});
  // The hook ran from the State 13 notice, before SEND reached the socket.
  ASSERT_EQ(rig.journal.size(), 1u);
  EXPECT_EQ(rig.journal[0], "before_send 5551234 gw-b");
  EXPECT_TRUE(rig.SendWritten(1));
  rig.Serve(1, {"250 Message Sent"});
  ASSERT_EQ(rig.results.size(), 1u);
  const auto& r = rig.results[0];
  EXPECT_EQ(r.outcome, Outcome::kDelivered);
  EXPECT_EQ((std::pair{r.attempts, r.host}), (std::pair{2, std::string("gw-b")}));
  EXPECT_EQ(r.reply, "250 Message Sent");
  EXPECT_EQ(rig.sockets[1]->last_write(), "QUIT\r\n");
  EXPECT_FALSE(rig.delivery->idle() && rig.delivery->stats().sessions_open == 0)
      << "the session stays open for QUIT";
  rig.Serve(1, {"221 bye"});
  rig.loop.RunPending();
  EXPECT_EQ(rig.delivery->stats().sessions_open, 0u);
}

TEST(Delivery, RefusalIsFinalAndConcurrencyIsBoundedPerGateway) {
  Rig rig({Level1("gw", 2)});
  rig.Submit({"1", "550", "3"});
  ASSERT_EQ(rig.sockets.size(), 2u) << "two slots";
  rig.Serve(1, {"220 hi", "550 Unknown pager"});
  rig.loop.RunPending();
  ASSERT_EQ(rig.results.size(), 1u);
  EXPECT_EQ(rig.results[0].outcome, Outcome::kRefused);
  EXPECT_EQ(rig.results[0].error, "550 Unknown pager");
  ASSERT_EQ(rig.sockets.size(), 3u) << "the freed slot goes to the third pager";
  rig.clock.Advance(60'000);  // the others time out and are tried again; 550 never is
  int pages_to_550 = 0;
  for (const auto* s : rig.sockets) {
    pages_to_550 +=
        static_cast<int>(std::count(s->writes.begin(), s->writes.end(), "PAGE 550\r\n"));
  }
  EXPECT_EQ(pages_to_550, 1);
  EXPECT_EQ(rig.delivery->stats().max_sessions_open, 2u);
}

TEST(Delivery, ReplyAndSendTimeOutsAreTransientThenUncertain) {
  Rig rig({Level1("gw")});
  rig.Submit(
      {"1"},
      Policy{.max_attempts = 2, .first_backoff = 1s, .reply_timeout = 5s, .send_timeout = 20s});
  rig.Serve(0, {"220 hi"});  // then silence at PAGE
  rig.clock.Advance(4999);
  EXPECT_TRUE(rig.results.empty());
  rig.clock.Advance(1);
  EXPECT_EQ(rig.sockets[0]->State(), platform::SocketState::kClosed);
  rig.clock.Advance(1000);  // backoff, second attempt
  ASSERT_EQ(rig.sockets.size(), 2u);
  rig.Serve(1, {"220 hi", "250 ok", "250 ok"});  // SEND written, no reply
  rig.clock.Advance(19'999);
  EXPECT_TRUE(rig.results.empty()) << "SEND has a bound of its own";
  rig.clock.Advance(1);
  ASSERT_EQ(rig.results.size(), 1u);
  EXPECT_EQ(rig.results[0].outcome, Outcome::kUncertain);
  EXPECT_THAT(rig.results[0].error, ::testing::StartsWith("no reply to SEND within 20 s"));
  rig.clock.Advance(120'000);
  EXPECT_EQ(rig.sockets.size(), 2u) << "an uncertain page is not resent";
}

TEST(Delivery, LostAfterSendIsResentOnlyWhenAskedAndAFailingHookKeepsSendOffTheWire) {
  for (const bool resend : {false, true}) {
    Rig rig({Level1("gw")});
    rig.Submit({"1"}, Policy{.resend_uncertain = resend});
    rig.Serve(0, {"220 hi", "250 ok", "250 ok"});
    rig.sockets[0]->PeerClose(err::kSocketClosedByPeer, "The server closed the connection.");
    rig.loop.RunPending();
    rig.clock.Advance(1000);
    EXPECT_EQ(rig.sockets.size(), resend ? 2u : 1u);
    EXPECT_EQ(rig.results.size(), resend ? 0u : 1u);
  }
  Rig rig({Level1("gw")});
  rig.before_send = [](const SendNotice&) { throw std::runtime_error("the journal is full"); };
  rig.Submit({"1"});
  rig.Serve(0, {"220 hi", "250 ok", "250 ok"});
  EXPECT_FALSE(rig.SendWritten(0));
  ASSERT_EQ(rig.results.size(), 1u);
  EXPECT_EQ(rig.results[0].outcome, Outcome::kFailed);
  EXPECT_EQ(rig.results[0].error, "the journal is full");
}

TEST(Delivery, PartsGoInOrderAndTheDeadlineEndsWaitingAndRunningAlike) {
  Rig rig({Level1("gw")});
  rig.delivery->Submit(Request{.page = {.parts = {"(1/2) a", "(2/2) b"}}, .recipients = {"7"}});
  rig.loop.RunPending();
  rig.Serve(0, {"220 hi", "250 ok", "250 ok"});
  EXPECT_EQ(rig.sockets[0]->writes.at(1), "MESS (1/2) a\r\n");
  EXPECT_EQ(rig.sockets.size(), 1u) << "part 2 waits until part 1 was accepted";
  rig.Serve(0, {"250 sent"});
  ASSERT_EQ(rig.sockets.size(), 2u);
  rig.Serve(1, {"220 hi", "250 ok", "250 ok", "250 sent"});
  EXPECT_EQ(rig.sockets[1]->writes.at(1), "MESS (2/2) b\r\n");
  ASSERT_EQ(rig.results.size(), 1u);
  EXPECT_EQ(rig.results[0].parts_delivered, 2u);

  Rig late({Level1("gw", 1)});
  late.Submit({"1", "2"}, Policy{.deadline = TimePoint(3s)});
  late.Serve(0, {"220 hi"});  // silent at PAGE; pager 2 waits for the slot
  late.clock.Advance(3000);
  ASSERT_EQ(late.results.size(), 2u);
  for (const auto& r : late.results) {
    EXPECT_EQ(r.outcome, Outcome::kFailed);
    EXPECT_TRUE(r.deadline_passed);
  }
}

// The host holds SEND until its own record is made: SEND reaches the wire only on its word, and a
// refusal, a reply that comes while SEND waits, or a wait beyond the reply time-out each end the
// attempt transient with SEND never written.
TEST(Delivery, AHeldSendGoesOutOnlyOnTheHostsWordAndEverythingElseLeavesItUnwritten) {
  enum class Then { kRelease, kRefuse, kEarlyReply, kPeerCloses, kHostTooSlow, kReleaseInHook };
  struct Row {
    Then then;
    Outcome outcome;
    const char* text;
  } rows[] = {
      {Then::kRelease, Outcome::kDelivered, "250 Message Sent"},
      {Then::kReleaseInHook, Outcome::kDelivered, "250 Message Sent"},
      {Then::kRefuse, Outcome::kFailed, "SEND held back: the outbox is full"},
      {Then::kEarlyReply, Outcome::kFailed, "replied (\"250 ok\") before SEND was written"},
      {Then::kPeerCloses, Outcome::kFailed, "closed"},
      {Then::kHostTooSlow, Outcome::kFailed, "held back longer than 5 s"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    Rig rig({Level1("gw")}, true);
    rig.release_in_hook = row.then == Then::kReleaseInHook;
    rig.Submit({"1"}, Policy{.max_attempts = 1, .reply_timeout = 5s});
    rig.Serve(0, {"220 hi", "250 ok", "250 ok"});
    ASSERT_EQ(rig.releases.size(), 1u);
    EXPECT_EQ(rig.SendWritten(0), rig.release_in_hook) << "SEND waits for the host";
    switch (row.then) {
      case Then::kRelease:
      case Then::kReleaseInHook:
        rig.releases[0](true, "");  // a second call: nothing
        EXPECT_TRUE(rig.SendWritten(0));
        rig.Serve(0, {"250 Message Sent"});
        break;
      case Then::kRefuse:
        rig.releases[0](false, "the outbox is full");
        break;
      case Then::kEarlyReply:
        rig.Serve(0, {"250 ok"});
        rig.releases[0](true, "");  // too late: the attempt is over
        break;
      case Then::kPeerCloses:
        rig.sockets[0]->PeerClose();
        rig.loop.RunPending();
        rig.releases[0](true, "");
        break;
      case Then::kHostTooSlow:
        rig.clock.Advance(5000);
        rig.releases[0](true, "");
        break;
    }
    rig.loop.RunPending();
    ASSERT_EQ(rig.results.size(), 1u);
    EXPECT_EQ(rig.results[0].outcome, row.outcome);
    ASSERT_EQ(rig.reports.size(), 1u);
    EXPECT_EQ(rig.reports[0].verdict,
              row.outcome == Outcome::kDelivered ? Verdict::kDelivered : Verdict::kTransient);
    EXPECT_THAT(rig.reports[0].text, ::testing::HasSubstr(row.text));
    EXPECT_EQ(rig.SendWritten(0), row.outcome == Outcome::kDelivered);
  }
}

TEST(Delivery, ABatchsSendWaitsForEveryAcceptedPagersReleaseAndOneRefusalKeepsItBack) {
  for (const bool refuse : {false, true}) {
    SCOPED_TRACE(refuse ? "the second release refuses" : "both release");
    Gateway gw = Level1("gw");
    gw.batch = 3;
    Rig rig({gw}, true);
    rig.Submit({"1", "2", "3"}, Policy{.max_attempts = 1});
    ASSERT_EQ(rig.sockets.size(), 1u) << "one session for the three";
    rig.Serve(0, {"220 hi", "250 ok", "550 unknown pager", "250 ok", "250 ok"});
    EXPECT_EQ(rig.journal, (std::vector<std::string>{"before_send 1 gw", "before_send 3 gw",
                                                     "hold_send 1", "hold_send 3"}));
    ASSERT_EQ(rig.releases.size(), 2u);
    rig.releases[0](true, "");
    EXPECT_FALSE(rig.SendWritten(0)) << "pager 3 is not released yet";
    rig.releases[1](!refuse, "the outbox is full");
    rig.loop.RunPending();
    EXPECT_EQ(rig.SendWritten(0), !refuse);
    if (!refuse) rig.Serve(0, {"250 Message Sent"});
    rig.loop.RunPending();
    std::map<std::string, Outcome> outcomes;
    for (const auto& r : rig.results) outcomes[r.recipient.pager] = r.outcome;
    const Outcome accepted = refuse ? Outcome::kFailed : Outcome::kDelivered;
    EXPECT_EQ(outcomes, (std::map<std::string, Outcome>{
                            {"1", accepted}, {"2", Outcome::kRefused}, {"3", accepted}}));
  }
}

TEST(Delivery, AMissingGreetingSaysWhetherTheConnectionCameUp) {
  // The end-to-end tests show a silent and a trickling server and the list over gateways; a
  // connection that never comes up is shown here, where the socket can stay connecting.
  Rig rig({Level1("gw")});
  rig.Submit({"1"}, Policy{.max_attempts = 1, .greeting_timeout = 5s});
  rig.clock.Advance(6000);  // the time-out fires on the tick past 5 s
  ASSERT_EQ(rig.results.size(), 1u);
  EXPECT_EQ(rig.results[0].error,
            "Connect Server Time out! No greeting from gw:444 within 5 s: the connection never "
            "came up. Check the host, the port and the network");
  EXPECT_FALSE(rig.results[0].connected);
}

}  // namespace
}  // namespace kestrel::delivery
