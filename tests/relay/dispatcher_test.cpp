// The dispatcher on fake time and fake sockets, with a real SQLite outbox: failover, a commit
// that fails before SEND, a reply while SEND is held, a lost lease, a reload that retires a
// gateway under way, a drain past its grace, and retention.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <SQLiteCpp/SQLiteCpp.h>
#include <filesystem>
#include <map>
#include <random>

#include "kestrel/outbox/sqlite_store.hpp"
#include "kestrel/relay/dispatcher.hpp"
#include "kestrel/relay/send_gate.hpp"
#include "kestrel/testing/fakes.hpp"
#include "kestrel/testing/full_disk.hpp"

namespace kestrel::relay {
namespace {

using State = outbox::RecipientState;
using ::testing::Contains;
using testing::FakeClock;
using testing::FakeLoop;
using testing::FakeSocket;
using testing::FakeTimer;
using ::testing::HasSubstr;

constexpr outbox::Millis kT0 = 1'700'000'000'000;

// How one fake gateway answers; each line it receives is logged under its host.
struct Script {
  bool refuse_connect = false;
  // The reply to a line ("" : none, the gateway stays silent); default "250 ok", QUIT "221".
  std::function<std::string(const std::string& line)> reply;
};

// A socket whose far end is a scripted gateway: the connection comes up and the gateway
// answers each command on the loop, as a real one would.
class GatewaySocket final : public platform::Socket {
 public:
  GatewaySocket(FakeLoop& loop, std::map<std::string, Script>& scripts,
                std::map<std::string, std::vector<std::string>>& heard)
      : loop_(loop), scripts_(scripts), heard_(heard), socket_(loop) {}

  void Connect(const String& host, Long port) override {
    host_ = host;
    socket_.Connect(host, port);
    if (scripts_[host_].refuse_connect) {
      socket_.PeerClose(err::kSocketConnectFailed, "Could not connect: Connection refused.");
      return;
    }
    socket_.CompleteConnect();
    socket_.Receive("220 fake gateway\r\n");
  }
  void SendData(std::string_view text) override {
    socket_.SendData(text);
    std::string line(text.substr(0, text.find("\r\n")));
    heard_[host_].push_back(line);
    const auto& script = scripts_[host_];
    std::string reply = script.reply ? script.reply(line) : "";
    if (!script.reply || reply == "default") {
      reply = line == "QUIT" ? "221 bye" : "250 ok";
    }
    if (!reply.empty()) socket_.Receive(reply + "\r\n");
  }
  String GetData() override { return socket_.GetData(); }
  void Close() override { socket_.Close(); }
  platform::SocketState State() const override { return socket_.State(); }
  String RemoteHost() const override { return socket_.RemoteHost(); }
  void SetRemoteHost(const String& host) override { socket_.SetRemoteHost(host); }
  Long RemotePort() const override { return socket_.RemotePort(); }
  void SetRemotePort(Long port) override { socket_.SetRemotePort(port); }
  void OnDataArrival(DataArrivalHandler h) override { socket_.OnDataArrival(std::move(h)); }
  void OnClosed(ClosedHandler h) override { socket_.OnClosed(std::move(h)); }

 private:
  FakeLoop& loop_;
  std::map<std::string, Script>& scripts_;
  std::map<std::string, std::vector<std::string>>& heard_;
  std::string host_;
  FakeSocket socket_;
};

GatewayConfig Gateway(std::string name, int level = 2, int concurrency = 2) {
  GatewayConfig g;
  g.name = name;
  g.host = std::move(name);
  g.port = 444;
  g.level = level;
  g.concurrency = concurrency;
  return g;
}

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::temp_directory_path() / ("dispatcher-test-" + std::to_string(::getpid()) +
                                                  "-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
    store_ =
        outbox::OpenSqliteStore({path(), [this] { return kT0 + clock_.now(); },
                                 [this](std::function<void()> fn) { loop_.Post(fn); }, "test"});
    Environment env;
    env.delivery.make_socket = [this] {
      return std::make_unique<GatewaySocket>(loop_, scripts_, heard_);
    };
    env.delivery.make_timer = [this] { return std::make_unique<FakeTimer>(clock_); };
    env.delivery.now = [this] {
      return delivery::TimePoint(std::chrono::milliseconds(clock_.now()));
    };
    env.delivery.post = [this](std::function<void()> fn) { loop_.Post(std::move(fn)); };
    env.delivery.random = [] { return 1.0; };
    env.wall_clock = [this] { return kT0 + clock_.now(); };
    DispatchHooks hooks;
    hooks.log = [this](const std::string& line) { log_.push_back(line); };
    dispatcher_ = std::make_unique<Dispatcher>(std::move(env), *store_, std::move(hooks));
  }
  void TearDown() override {
    dispatcher_.reset();
    store_.reset();
    std::filesystem::remove_all(dir_);
  }
  std::string path() const { return (dir_ / "outbox.db").string(); }

  void Start(std::vector<GatewayConfig> gateways, Millis retain = 7LL * 24 * 3'600'000) {
    DispatchSettings settings;
    settings.gateways = std::move(gateways);
    settings.retry = {1000, 8000};
    settings.retain = retain;
    dispatcher_->Configure(settings);
    dispatcher_->Start();
    loop_.RunPending();
  }
  std::string Accept(std::string pager = "5551234") {
    outbox::NewPage page;
    page.pagers = {std::move(pager)};
    page.content.message = "disk full";
    page.source = "test";
    std::string id;
    store_->Accept({page}, [&](auto r) { id = r->at(0).id; });
    loop_.RunPending();
    dispatcher_->Wake();
    loop_.RunPending();
    return id;
  }
  // Outcomes wait a few milliseconds for company before they are recorded.
  void LetOutcomesBeRecorded() { clock_.Advance(100); }
  outbox::RecipientRecord Recipient(const std::string& id) {
    outbox::RecipientRecord record;
    store_->Find(id, [&](auto r) {
      if (r && *r) record = (*r)->recipients.at(0);
    });
    loop_.RunPending();
    return record;
  }
  int Count(const std::string& host, const std::string& line) {
    const auto& lines = heard_[host];
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }
  bool Logged(const std::string& words) const {
    return std::any_of(log_.begin(), log_.end(),
                       [&](const auto& l) { return l.find(words) != std::string::npos; });
  }

  std::filesystem::path dir_;
  FakeLoop loop_;
  FakeClock clock_{loop_};
  std::map<std::string, Script> scripts_;
  std::map<std::string, std::vector<std::string>> heard_;
  std::vector<std::string> log_;
  std::unique_ptr<outbox::Store> store_;
  std::unique_ptr<Dispatcher> dispatcher_;
};

TEST_F(DispatcherTest, FailsOverAfterTheBackoffAndRecordsEachStep) {
  scripts_["down"].refuse_connect = true;
  Start({Gateway("down"), Gateway("up")});
  const auto id = Accept();
  LetOutcomesBeRecorded();
  EXPECT_EQ(Recipient(id).state, State::kQueued) << "the first attempt failed in passing";
  EXPECT_EQ(Recipient(id).gateway, "down");
  clock_.Advance(899);
  EXPECT_EQ(Count("up", "SEND"), 0) << "the first backoff is 1 s";
  clock_.Advance(200);
  EXPECT_EQ(Count("up", "SEND"), 1);
  const auto r = Recipient(id);
  EXPECT_EQ(r.state, State::kDelivered);
  EXPECT_EQ(r.gateway, "up");
  EXPECT_EQ(r.attempts, 2);
  EXPECT_EQ(r.last_reply, "250 ok");
}

// A gateway that cannot be reached is passed over for 5 s, then for 10 s: the view says until
// when, and the pages go to the other one meanwhile.
TEST_F(DispatcherTest, AnUnreachableGatewayIsHeldOffForLongerEachTime) {
  scripts_["down"].refuse_connect = true;
  Start({Gateway("down"), Gateway("up")});
  EXPECT_TRUE(dispatcher_->Gateways().at(0).up) << "up until an attempt says otherwise";
  const Millis failed_at = kT0 + clock_.now();
  Accept("1");
  LetOutcomesBeRecorded();
  auto down = dispatcher_->Gateways().at(0);
  EXPECT_FALSE(down.up);
  EXPECT_EQ(down.last_error_at, failed_at);
  EXPECT_EQ(down.hold_off_until, failed_at + 5000);
  clock_.Advance(1000);
  const auto second = Accept("2");
  LetOutcomesBeRecorded();
  EXPECT_EQ(Recipient(second).gateway, "up") << "passed over while held off";
  EXPECT_EQ(Recipient(second).attempts, 1);
  clock_.Advance(4000);
  const Millis again = kT0 + clock_.now();
  const auto third = Accept("3");
  LetOutcomesBeRecorded();
  EXPECT_EQ(Recipient(third).gateway, "down") << "first again once the hold-off is over";
  EXPECT_EQ(dispatcher_->Gateways().at(0).hold_off_until, again + 10'000);
  clock_.Advance(1100);
  const auto gateways = dispatcher_->Gateways();
  EXPECT_EQ(gateways.at(0).attempts[static_cast<int>(delivery::Verdict::kTransient)], 2);
  EXPECT_EQ(gateways.at(1).attempts[static_cast<int>(delivery::Verdict::kDelivered)], 3);
  EXPECT_GE(gateways.at(1).last_success, again + 1000) << "the third page, at its retry";
}

// The outbox cannot record SEND (a full disk): SEND never reaches the gateway, the page stays
// claimed while its outcome cannot be recorded either, and it goes out once the disk has room.
TEST_F(DispatcherTest, ACommitThatFailsBeforeSendLeavesThePageToGoOutLater) {
  std::unique_ptr<testing::FullDisk> full;
  scripts_["gw"].reply = [&](const std::string& line) -> std::string {
    if (line.rfind("MESS", 0) == 0 && !full)
      full = std::make_unique<testing::FullDisk>(path() + "-wal");
    return "default";
  };
  Start({Gateway("gw")});
  const auto id = Accept();
  EXPECT_EQ(Count("gw", "SEND"), 0);
  EXPECT_TRUE(Logged("SEND held back: the outbox could not record it"));
  clock_.Advance(5000);
  EXPECT_TRUE(Logged("not recorded yet"));
  EXPECT_EQ(Count("gw", "SEND"), 0) << "no second session while the first is unrecorded";
  EXPECT_TRUE(dispatcher_->Gateways().at(0).up) << "the relay's own disk, not the gateway";
  scripts_["gw"].reply = nullptr;
  full.reset();
  clock_.Advance(40'000);
  EXPECT_EQ(Count("gw", "SEND"), 1);
  const auto r = Recipient(id);
  EXPECT_EQ(r.state, State::kDelivered);
  EXPECT_EQ(r.attempts, 2);
}

TEST_F(DispatcherTest, AReplyWhileSendIsHeldAnswersNothing) {
  int sessions = 0;
  scripts_["gw"].reply = [&](const std::string& line) -> std::string {
    if (line.rfind("PAGE", 0) == 0) ++sessions;
    // The first session: an extra 250 right behind MESS's, before SEND could be written.
    if (line.rfind("MESS", 0) == 0 && sessions == 1) return "250 ok\r\n250 ok";
    return "default";
  };
  Start({Gateway("gw")});
  const auto id = Accept();
  EXPECT_EQ(Count("gw", "SEND"), 0);
  LetOutcomesBeRecorded();
  auto r = Recipient(id);
  EXPECT_EQ(r.state, State::kQueued);
  // The session takes the second 250 for what it is; the held SEND is the relay's own guard.
  EXPECT_THAT(r.last_reply, HasSubstr("SEND was written"));
  EXPECT_FALSE(r.send_written);
  clock_.Advance(1500);
  EXPECT_EQ(Count("gw", "SEND"), 1);
  EXPECT_EQ(Recipient(id).state, State::kDelivered);
  EXPECT_EQ(Recipient(id).attempts, 2);
}

TEST_F(DispatcherTest, ALostClaimKeepsSendOffTheWireAndRecordsNothing) {
  scripts_["gw"].reply = [&](const std::string& line) -> std::string {
    if (line.rfind("MESS", 0) == 0) {
      // Another holder takes the recipient over while our session runs.
      SQLite::Database raw(path(), SQLite::OPEN_READWRITE);
      raw.exec("UPDATE recipients SET token = token + 1000");
    }
    return "default";
  };
  Start({Gateway("gw")});
  const auto id = Accept();
  clock_.Advance(100);
  EXPECT_EQ(Count("gw", "SEND"), 0);
  EXPECT_TRUE(Logged("lost: page " + id));
  // The attempt ends queued under its own token, which its new holder's claim replaced.
  EXPECT_TRUE(Logged("(queued) was refused: the recipient had left its claim"));
  const auto r = Recipient(id);
  EXPECT_EQ(r.state, State::kSending) << "left to its new holder";
  EXPECT_FALSE(r.send_written);
}

// A reload that changes a gateway: its session under way finishes and is recorded; new pages go
// to the new one; an unchanged gateway keeps its sessions.
// A reload that changes a gateway: new pages go to the new one, and the session the old one has
// under way runs to its end and is recorded.
TEST_F(DispatcherTest, AReloadRetiresAChangedGatewayOnceItsSessionEnds) {
  scripts_["old"].reply = [](const std::string& line) -> std::string {
    return line == "SEND" ? "" : "default";
  };
  Start({Gateway("old")});
  const auto first = Accept("1");
  EXPECT_EQ(Count("old", "SEND"), 1);
  DispatchSettings settings;
  settings.gateways = {Gateway("new")};
  settings.retry = {1000, 8000};
  dispatcher_->Configure(settings);
  const auto second = Accept("2");
  EXPECT_EQ(Count("new", "SEND"), 1);
  EXPECT_EQ(Recipient(second).gateway, "new");
  EXPECT_EQ(Recipient(first).state, State::kSending);
  ASSERT_EQ(dispatcher_->in_flight(), 1u);
  clock_.Advance(121'000);  // the old one never answers SEND: uncertain, recorded all the same
  EXPECT_EQ(Recipient(first).state, State::kUncertain);
  EXPECT_EQ(Recipient(first).gateway, "old");
  EXPECT_EQ(dispatcher_->in_flight(), 0u);
  EXPECT_EQ(Count("old", "PAGE 2"), 0);
}

TEST_F(DispatcherTest, OnePagesPagersGoInOneSessionAndAFallBackLastsUntilTheReload) {
  // Every PAGE after the first of a session is answered 552 while `capped`.
  bool capped = false;
  int pages_in_session = 0;
  scripts_["gw"].reply = [&](const std::string& line) -> std::string {
    if (line == "QUIT") pages_in_session = 0;
    if (line.starts_with("PAGE ") && ++pages_in_session > 1 && capped) {
      return "552 Max Recipients Exceeded";
    }
    return "default";
  };
  auto gw = Gateway("gw", 2, /*concurrency=*/1);  // one session at a time: one count above
  gw.batch = 3;
  Start({gw});
  const auto page = [&](std::vector<std::string> pagers) {
    outbox::NewPage p;
    p.pagers = std::move(pagers);
    p.content.message = "disk full";
    p.source = "test";
    std::string id;
    store_->Accept({p}, [&](auto r) { id = r->at(0).id; });
    loop_.RunPending();
    dispatcher_->Wake();
    loop_.RunPending();
    LetOutcomesBeRecorded();
    std::vector<State> states;
    store_->Find(id, [&](auto r) {
      if (!r || !*r) return;
      const outbox::PageRecord& record = **r;
      for (const auto& x : record.recipients) states.push_back(x.state);
    });
    loop_.RunPending();
    return states;
  };
  const std::vector<State> three(3, State::kDelivered);
  EXPECT_EQ(page({"1", "2", "3"}), three);
  EXPECT_EQ(Count("gw", "SEND"), 1) << "one session for the three";

  capped = true;
  EXPECT_EQ(page({"4", "5", "6"}), three);
  EXPECT_EQ(Count("gw", "SEND"), 4) << "4 with the batch, then 5 and 6 one each";
  EXPECT_EQ(std::count_if(log_.begin(), log_.end(),
                          [](const auto& l) {
                            return l.find("did not take another PAGE") != std::string::npos;
                          }),
            1);
  EXPECT_EQ(page({"7", "8"}), std::vector<State>(2, State::kDelivered));
  EXPECT_EQ(Count("gw", "SEND"), 6) << "one a session until the reload";

  capped = false;
  DispatchSettings settings;
  settings.gateways = {gw};
  settings.retry = {1000, 8000};
  dispatcher_->Configure(settings);
  EXPECT_EQ(page({"9", "10"}), std::vector<State>(2, State::kDelivered));
  EXPECT_EQ(Count("gw", "SEND"), 7) << "batches again after the reload";
}

TEST_F(DispatcherTest, ADrainPastItsGraceRecordsEachSessionForWhatItIs) {
  scripts_["slow"].reply = [](const std::string& line) -> std::string {
    return line.rfind("MESS", 0) == 0 || line == "SEND" ? "" : "default";
  };
  scripts_["silent"].reply = [](const std::string& line) -> std::string {
    return line == "SEND" ? "" : "default";
  };
  Start({Gateway("slow", 2, 1), Gateway("silent", 2, 1)});
  const auto before_send = Accept("1");
  const auto after_send = Accept("2");
  ASSERT_EQ(dispatcher_->in_flight(), 2u);
  EXPECT_EQ(Count("silent", "SEND"), 1);
  bool drained = false;
  dispatcher_->Drain(2000, [&] { drained = true; });
  loop_.RunPending();
  clock_.Advance(1999);
  EXPECT_FALSE(drained);
  clock_.Advance(1);
  EXPECT_TRUE(drained);
  EXPECT_EQ(Recipient(before_send).state, State::kQueued);
  EXPECT_THAT(Recipient(before_send).last_reply, HasSubstr("before SEND"));
  EXPECT_EQ(Recipient(after_send).state, State::kUncertain);
  EXPECT_THAT(Recipient(after_send).last_reply, HasSubstr("may have been delivered"));
  const auto pages = Accept("3");
  EXPECT_EQ(Recipient(pages).state, State::kQueued) << "a drained dispatcher claims nothing";
}

TEST_F(DispatcherTest, FinalPagesGoOnceTheyAreOlderThanRetain) {
  Start({Gateway("gw")}, 120'000);
  const auto id = Accept();
  LetOutcomesBeRecorded();
  EXPECT_EQ(Recipient(id).state, State::kDelivered);
  clock_.Advance(100'000);
  EXPECT_EQ(Recipient(id).state, State::kDelivered) << "kept for retain";
  clock_.Advance(90'000);  // retention runs once a minute
  EXPECT_EQ(Recipient(id).pager, "") << "deleted";
}

// The SEND holds of one loop turn go to the outbox in one call; a hold of several recipients
// (one SEND for several pagers) lets SEND go only when every one of its claims held.
TEST_F(DispatcherTest, TheHoldsOfOneTurnShareOneCommitAndABatchNeedsEveryClaim) {
  struct Counting final : outbox::Store {
    explicit Counting(outbox::Store& inner) : inner(inner) {}
    void Accept(std::vector<outbox::NewPage> p,
                outbox::Callback<std::vector<outbox::Accepted>> d) override {
      inner.Accept(std::move(p), std::move(d));
    }
    void Find(std::string id, outbox::Callback<std::optional<outbox::PageRecord>> d) override {
      inner.Find(std::move(id), std::move(d));
    }
    void ListPages(outbox::PageQuery q, outbox::Callback<outbox::PageList> d) override {
      inner.ListPages(std::move(q), std::move(d));
    }
    void Act(outbox::RecipientAction a, outbox::Callback<outbox::ActionResult> d) override {
      inner.Act(std::move(a), std::move(d));
    }
    void Count(outbox::Callback<outbox::Counts> d) override { inner.Count(std::move(d)); }
    void Probe(outbox::Callback<outbox::Readiness> d) override { inner.Probe(std::move(d)); }
    void Claim(outbox::ClaimRequest r, outbox::Callback<outbox::Claimed> d) override {
      inner.Claim(r, std::move(d));
    }
    void Renew(std::vector<outbox::Lease> l, outbox::Callback<std::vector<bool>> d) override {
      inner.Renew(std::move(l), std::move(d));
    }
    void MarkSendWritten(std::vector<outbox::SendMark> m,
                         outbox::Callback<std::vector<bool>> d) override {
      ++marks_calls;
      inner.MarkSendWritten(std::move(m), std::move(d));
    }
    void Finish(std::vector<outbox::Settlement> s, outbox::Callback<std::vector<bool>> d) override {
      inner.Finish(std::move(s), std::move(d));
    }
    void Sweep(outbox::Callback<outbox::Recovery> d) override { inner.Sweep(std::move(d)); }
    void Expire(std::size_t n, outbox::Callback<std::vector<outbox::RecipientRef>> d) override {
      inner.Expire(n, std::move(d));
    }
    void Prune(outbox::PruneRequest r, outbox::Callback<outbox::Pruned> d) override {
      inner.Prune(r, std::move(d));
    }
    outbox::Store& inner;
    int marks_calls = 0;
  } counting(*store_);
  for (const char* pager : {"1", "2", "3"}) Accept(pager);
  std::vector<outbox::Job> jobs;
  counting.Claim({3, outbox::ClaimFilter::kAny}, [&](auto r) { jobs = r->jobs; });
  loop_.RunPending();
  ASSERT_EQ(jobs.size(), 3u);
  auto stale = jobs[2].lease;
  stale.token += 1000;
  SendGate gate([this](std::function<void()> fn) { loop_.Post(std::move(fn)); }, counting);
  std::vector<SendGate::Answer> answers;
  gate.Hold({{jobs[0].lease, "gw"}}, [&](auto a, const auto&) { answers.push_back(a); });
  gate.Hold({{jobs[1].lease, "gw"}, {stale, "gw"}},
            [&](auto a, const auto&) { answers.push_back(a); });
  EXPECT_TRUE(answers.empty()) << "never from inside Hold";
  loop_.RunPending();
  EXPECT_EQ(counting.marks_calls, 1);
  EXPECT_THAT(answers, ::testing::ElementsAre(SendGate::Answer::kWritten, SendGate::Answer::kLost));
}

}  // namespace
}  // namespace kestrel::relay
