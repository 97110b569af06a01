// The store contract: the same cases against the SQLite store (a real file) and the PostgreSQL
// store (a real server, a database per test), on a real event loop. Where the two differ by
// design (a SQLite lease never lapses while its relay lives), the case says so.
//
// Time: the SQLite store runs on a clock the test sets; the PostgreSQL store on the database's
// now(), so there "time passes" by moving every time the outbox holds back by as much, which
// no statement can tell apart from waiting.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <random>
#include <set>

#include "kestrel/outbox/sqlite_store.hpp"
#include "kestrel/platform/event_loop.hpp"
#include "kestrel/testing/full_disk.hpp"
#ifdef KESTREL_HAVE_PG
#include "kestrel/outbox/pg/store.hpp"
#include "kestrel/testing/pg_cluster.hpp"
#endif

namespace kestrel::outbox {
namespace {

using namespace std::chrono_literals;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::HasSubstr;
using State = RecipientState;

constexpr Millis kHour = 3'600'000;
constexpr Millis kDay = 24 * kHour;

// One kind of store, and what a test does to it from outside.
class Backend {
 public:
  virtual ~Backend() = default;
  // Empty when the store can be used here; otherwise why not (the test skips).
  virtual std::string Prepare() = 0;
  // A store on the outbox: the same relay again (SQLite), or one more relay (PostgreSQL).
  virtual std::unique_ptr<Store> Open(platform::EventLoop& loop) = 0;
  // `ms` pass for everything the outbox holds.
  virtual void Advance(Millis ms) = 0;
  // Until Mend, every write fails, as on a full disk.
  virtual void Break(Store& store) = 0;
  virtual void Mend() = 0;
  // Whether a claim is lost after the ttl without renewal, while its relay still lives.
  virtual bool leases_lapse() const = 0;
  // Whether several stores (relays) may be open on the outbox at once.
  virtual bool shared() const = 0;
  virtual Millis lease_ttl() const = 0;
};

class SqliteBackend final : public Backend {
 public:
  ~SqliteBackend() override {
    full_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string Prepare() override {
    dir_ =
        std::filesystem::temp_directory_path() / ("store-contract-" + std::to_string(::getpid()) +
                                                  "-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
    return "";
  }
  std::unique_ptr<Store> Open(platform::EventLoop& loop) override {
    return OpenSqliteStore({(dir_ / "outbox.db").string(), [this] { return now_.load(); },
                            [&loop](std::function<void()> fn) { loop.Post(std::move(fn)); }, ""});
  }
  void Advance(Millis ms) override { now_ += ms; }
  void Break(Store&) override { full_.emplace((dir_ / "outbox.db-wal").string()); }
  void Mend() override { full_.reset(); }
  bool leases_lapse() const override { return false; }
  bool shared() const override { return false; }
  Millis lease_ttl() const override { return 5000; }

 private:
  std::filesystem::path dir_;
  std::atomic<Millis> now_{1'700'000'000'000};
  std::optional<testing::FullDisk> full_;
};

#ifdef KESTREL_HAVE_PG
class PgBackend final : public Backend {
 public:
  std::string Prepare() override {
    cluster_ = testing::PgCluster::Open();
    if (!cluster_) {
      const auto why = testing::PgCluster::SkipReason();
      return why.empty() ? "no test cluster (see the failure above)" : why;
    }
    conninfo_ = cluster_->CreateDatabase();
    return "";
  }
  std::unique_ptr<Store> Open(platform::EventLoop& loop) override {
    std::optional<pg::Opened> opened;
    pg::StoreOptions options;
    options.conninfo = conninfo_;
    options.migrate = true;
    options.lease_ttl = lease_ttl();
    pg::OpenStore(loop, options, [&](pg::Opened o) { opened = std::move(o); });
    if (!loop.RunUntil([&] { return opened.has_value(); }, 20s)) {
      ADD_FAILURE() << "the store did not open";
      return nullptr;
    }
    EXPECT_TRUE(opened->store) << opened->error;
    return std::move(opened->store);
  }
  void Advance(Millis ms) override {
    const std::string by = "interval '" + std::to_string(ms) + " milliseconds'";
    cluster_->Sql(
        "UPDATE pages SET created_at = created_at - " + by + ", expires_at = expires_at - " + by +
        "; UPDATE recipients SET next_at = next_at - " + by + ", expires_at = expires_at - " + by +
        ", updated_at = updated_at - " + by + ", lease_until = lease_until - " + by +
        "; UPDATE page_keys SET expires_at = expires_at - " + by);
  }
  void Break(Store&) override {
    cluster_->Sql(R"sql(
CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS
  $$ BEGIN RAISE EXCEPTION 'could not extend file: No space left on device'; END $$;
CREATE TRIGGER full_disk BEFORE INSERT OR UPDATE ON recipients
  FOR EACH STATEMENT EXECUTE FUNCTION refuse())sql");
  }
  void Mend() override {
    cluster_->Sql("DROP TRIGGER full_disk ON recipients; DROP FUNCTION refuse()");
  }
  bool leases_lapse() const override { return true; }
  bool shared() const override { return true; }
  Millis lease_ttl() const override { return 5000; }

 private:
  std::optional<testing::PgCluster> cluster_;
  std::string conninfo_;
};
#endif

std::unique_ptr<Backend> MakeBackend(const std::string& kind) {
#ifdef KESTREL_HAVE_PG
  if (kind == "postgresql") return std::make_unique<PgBackend>();
#endif
  if (kind == "sqlite") return std::make_unique<SqliteBackend>();
  return nullptr;
}

Settlement Settle(Lease lease, State state, std::string gateway, std::string reply,
                  Millis retry_in = 0, bool attempted = true) {
  Settlement s;
  s.lease = std::move(lease);
  s.state = state;
  s.gateway = std::move(gateway);
  s.reply = std::move(reply);
  s.retry_in = retry_in;
  s.attempted = attempted;
  return s;
}

NewPage Page(std::vector<std::string> pagers, std::string message = "disk full") {
  NewPage page;
  page.pagers = std::move(pagers);
  page.content.message = std::move(message);
  page.source = "api";
  page.expire_after = kHour;
  return page;
}

// Runs one store's operations to their ends on a loop.
class Client {
 public:
  Client(platform::EventLoop& loop, Store& store) : loop_(loop), store_(store) {}

  template <typename T, typename Op>
  Result<T> Await(Op&& op) {
    std::optional<Result<T>> got;
    op(store_, [&](Result<T> r) { got = std::move(r); });
    EXPECT_FALSE(got) << "called back from inside the call";
    if (!loop_.RunUntil([&] { return got.has_value(); }, 15s)) {
      ADD_FAILURE() << "never called back";
      return Result<T>::Failed("no answer");
    }
    return std::move(*got);
  }
  template <typename T, typename Op>
  T Ok(Op&& op) {
    auto result = Await<T>(std::forward<Op>(op));
    EXPECT_TRUE(result) << result.error;
    return result ? std::move(*result) : T{};
  }

  std::vector<Accepted> Accept(std::vector<NewPage> pages) {
    return Ok<std::vector<Accepted>>([&](Store& s, auto done) { s.Accept(pages, done); });
  }
  std::string AcceptOne(std::vector<std::string> pagers = {"5551234"}) {
    return Accept({Page(std::move(pagers))}).at(0).id;
  }
  Claimed Claim(std::size_t limit, ClaimFilter filter = ClaimFilter::kAny) {
    return Ok<Claimed>([&](Store& s, auto done) { s.Claim({limit, filter}, done); });
  }
  std::vector<bool> Renew(std::vector<Lease> leases) {
    return Ok<std::vector<bool>>([&](Store& s, auto done) { s.Renew(leases, done); });
  }
  std::vector<bool> Mark(std::vector<SendMark> marks) {
    return Ok<std::vector<bool>>([&](Store& s, auto done) { s.MarkSendWritten(marks, done); });
  }
  std::vector<bool> Finish(std::vector<Settlement> settlements) {
    return Ok<std::vector<bool>>([&](Store& s, auto done) { s.Finish(settlements, done); });
  }
  Recovery Sweep() {
    return Ok<Recovery>([&](Store& s, auto done) { s.Sweep(done); });
  }
  std::vector<RecipientRef> Expire(std::size_t limit) {
    return Ok<std::vector<RecipientRef>>([&](Store& s, auto done) { s.Expire(limit, done); });
  }
  Pruned Prune(Millis retain, std::size_t limit) {
    return Ok<Pruned>([&](Store& s, auto done) { s.Prune({retain, limit}, done); });
  }
  std::optional<PageRecord> Find(const std::string& id) {
    return Ok<std::optional<PageRecord>>([&](Store& s, auto done) { s.Find(id, done); });
  }
  RecipientRecord Recipient(const std::string& id, int index = 0) {
    const auto page = Find(id);
    return page ? page->recipients.at(static_cast<std::size_t>(index)) : RecipientRecord{};
  }
  Counts Count() {
    return Ok<Counts>([&](Store& s, auto done) { s.Count(done); });
  }
  PageList List(PageQuery query) {
    return Ok<PageList>([&](Store& s, auto done) { s.ListPages(query, done); });
  }
  ActionResult Act(OperatorAction action, std::string id, std::string pager, std::string note = "",
                   std::string actor = "oncall") {
    return Ok<ActionResult>([&](Store& s, auto done) {
      s.Act({action, std::move(id), std::move(pager), std::move(actor), std::move(note)}, done);
    });
  }

 private:
  platform::EventLoop& loop_;
  Store& store_;
};

class StoreContract : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    backend_ = MakeBackend(GetParam());
    if (!backend_) GTEST_SKIP() << GetParam() << " is not built here (libpq was not found)";
    if (const auto why = backend_->Prepare(); !why.empty()) GTEST_SKIP() << why;
    db();  // the outbox exists from here on
  }
  void TearDown() override {
    client_.reset();
    store_.reset();
  }

  Client& db() {
    if (!store_) {
      store_ = backend_->Open(loop_);
      if (!store_) throw std::runtime_error("no store");
      client_.emplace(loop_, *store_);
    }
    return *client_;
  }
  void Close() {
    client_.reset();
    store_.reset();
  }

  platform::EventLoop loop_;
  std::unique_ptr<Backend> backend_;
  std::unique_ptr<Store> store_;
  std::optional<Client> client_;
};

// What was accepted is there for the next store on the outbox, as it came; a key answers with
// the earlier page (within one call too) until the page's expire_after is over.
TEST_P(StoreContract, AcceptedPagesKeepTheirContentAndTheirKeys) {
  auto page = Page({"5551234", "5555678"});
  page.content.subject = "db1";
  page.content.options = R"({"alert":true})";
  page.content.message = "disk full: \"/var\" at 97%\\n, {braces} and ünïcode";
  page.require_level2 = true;
  page.idempotency_key = "k1";
  auto deduped = Page({});
  deduped.dedup_key = "k1";  // the same text, but a dedup key: another namespace
  const auto first = db().Accept({page, page, deduped});
  ASSERT_EQ(first.size(), 3u);
  EXPECT_TRUE(first[0].created);
  EXPECT_FALSE(first[1].created);
  EXPECT_EQ(first[1].id, first[0].id);
  EXPECT_TRUE(first[2].created);
  EXPECT_NE(first[2].id, first[0].id);
  Close();

  const auto record = db().Find(first[0].id);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->content.message, page.content.message);
  EXPECT_EQ(record->content.subject, "db1");
  EXPECT_EQ(record->content.options, R"({"alert":true})");
  EXPECT_EQ(record->source, "api");
  EXPECT_TRUE(record->require_level2);
  EXPECT_EQ(record->expires - record->created, kHour);
  EXPECT_THAT(record->recipients, ElementsAre(Field(&RecipientRecord::pager, "5551234"),
                                              Field(&RecipientRecord::pager, "5555678")));
  EXPECT_EQ(record->recipients[1].state, State::kQueued);
  EXPECT_TRUE(db().Find(first[2].id)->recipients.empty());
  EXPECT_FALSE(db().Find("no-such-page"));
  const auto counts = db().Count();
  EXPECT_EQ(counts.pages, 2);
  EXPECT_EQ(counts.recipients[static_cast<int>(State::kQueued)], 2);
  EXPECT_GT(counts.bytes, 0);

  backend_->Advance(kHour - 60'000);
  EXPECT_EQ(db().Accept({page}).at(0).id, first[0].id);
  backend_->Advance(60'000);  // expire_after is over: the key is free again
  const auto later = db().Accept({page});
  EXPECT_TRUE(later[0].created);
  EXPECT_NE(later[0].id, first[0].id);
  EXPECT_EQ(db().Count().pages, 3);
}

// Every guarded transition from every state it may or may not leave. A refused one changes
// nothing at all.
TEST_P(StoreContract, TheTransitionTable) {
  enum class From { kQueued, kSending, kWritten, kDelivered, kUncertain, kExpired };
  enum class Op { kClaim, kMark, kMarkStale, kDeliver, kDeliverStale, kRequeue, kFail, kRefuse };
  struct Row {
    From from;
    Op op;
    bool allowed;
    State after;
    bool written_after;
  } rows[] = {
      {From::kQueued, Op::kClaim, true, State::kSending, false},
      {From::kQueued, Op::kMark, false, State::kQueued, false},
      {From::kQueued, Op::kDeliver, false, State::kQueued, false},
      {From::kSending, Op::kClaim, false, State::kSending, false},
      {From::kSending, Op::kMark, true, State::kSending, true},
      {From::kSending, Op::kMarkStale, false, State::kSending, false},
      {From::kSending, Op::kDeliver, true, State::kDelivered, false},
      {From::kSending, Op::kDeliverStale, false, State::kSending, false},
      {From::kSending, Op::kRequeue, true, State::kQueued, false},
      {From::kWritten, Op::kMark, true, State::kSending, true},
      {From::kWritten, Op::kRequeue, true, State::kQueued, false},  // a 4xx to SEND
      {From::kWritten, Op::kFail, true, State::kFailed, true},
      {From::kWritten, Op::kRefuse, true, State::kRefused, true},
      {From::kDelivered, Op::kClaim, false, State::kDelivered, false},
      {From::kDelivered, Op::kMark, false, State::kDelivered, false},
      {From::kDelivered, Op::kRequeue, false, State::kDelivered, false},
      {From::kDelivered, Op::kFail, false, State::kDelivered, false},
      {From::kUncertain, Op::kDeliver, true, State::kDelivered, true},  // a late 250
      {From::kUncertain, Op::kDeliverStale, false, State::kUncertain, true},
      {From::kUncertain, Op::kFail, false, State::kUncertain, true},
      {From::kUncertain, Op::kRefuse, false, State::kUncertain, true},
      {From::kUncertain, Op::kRequeue, false, State::kUncertain, true},
      {From::kUncertain, Op::kMark, false, State::kUncertain, true},
      {From::kExpired, Op::kClaim, false, State::kExpired, false},
      {From::kExpired, Op::kDeliver, false, State::kExpired, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message()
                 << "from " << static_cast<int>(row.from) << " op " << static_cast<int>(row.op));
    backend_->Advance(kHour);  // every row on a fresh page, the ones before it out of the way
    const std::string id = db().AcceptOne();
    const RecipientRef ref{id, 0};
    Lease lease{ref, 0};
    if (row.from != From::kQueued && row.from != From::kExpired) {
      const auto claimed = db().Claim(1);
      ASSERT_EQ(claimed.jobs.size(), 1u);
      lease = claimed.jobs[0].lease;
    }
    if (row.from == From::kWritten || row.from == From::kUncertain) {
      ASSERT_THAT(db().Mark({{lease, "gw"}}), ElementsAre(true));
    }
    if (row.from == From::kDelivered) {
      ASSERT_THAT(db().Finish({Settle(lease, State::kDelivered, "gw", "250 ok")}),
                  ElementsAre(true));
    }
    if (row.from == From::kUncertain) {
      ASSERT_THAT(db().Finish({Settle(lease, State::kUncertain, "gw", "no reply to SEND")}),
                  ElementsAre(true));
    }
    if (row.from == From::kExpired) {
      backend_->Advance(kHour);
      ASSERT_THAT(db().Expire(10), ::testing::Contains(ref));
    }
    const auto before = db().Recipient(id);
    Lease stale = lease;
    stale.token += 1000;
    bool allowed = false;
    const auto finish = [&](const Lease& l, State state, std::string reply) -> bool {
      return db().Finish({Settle(l, state, "gw2", std::move(reply), 2000)}).at(0);
    };
    switch (row.op) {
      case Op::kClaim:
        allowed = db().Claim(10).jobs.size() == 1;
        break;
      case Op::kMark:
        allowed = db().Mark({{lease, "gw2"}}).at(0);
        break;
      case Op::kMarkStale:
        allowed = db().Mark({{stale, "gw2"}}).at(0);
        break;
      case Op::kDeliver:
        allowed = finish(lease, State::kDelivered, "250 late");
        break;
      case Op::kDeliverStale:
        allowed = finish(stale, State::kDelivered, "250 late");
        break;
      case Op::kRequeue:
        allowed = finish(lease, State::kQueued, "421 busy");
        break;
      case Op::kFail:
        allowed = finish(lease, State::kFailed, "cannot be sent");
        break;
      case Op::kRefuse:
        allowed = finish(lease, State::kRefused, "554 refused");
        break;
    }
    const auto after = db().Recipient(id);
    EXPECT_EQ(allowed, row.allowed);
    EXPECT_EQ(after.state, row.after);
    EXPECT_EQ(after.send_written, row.written_after);
    if (!row.allowed) {
      EXPECT_EQ(after.updated, before.updated) << "a refused transition changed the row";
      EXPECT_EQ(after.last_reply, before.last_reply);
      EXPECT_EQ(after.gateway, before.gateway);
    }
  }
}

TEST_P(StoreContract, ClaimsTakeDueRecipientsWithFreshTokensAndSayWhenTheNextFallsDue) {
  const std::string text = db().AcceptOne({"1", "2", "3"});
  auto data_page = Page({"4"});
  data_page.content.message.clear();
  data_page.content.data = "line 1\nline 2";
  auto strict = Page({"5"});
  strict.require_level2 = true;
  const auto others = db().Accept({data_page, strict});

  // A level-1 gateway's claim never takes a data body or a page that asks for level 2.
  auto level1 = db().Claim(10, ClaimFilter::kLevel1);
  ASSERT_EQ(level1.jobs.size(), 3u);
  EXPECT_FALSE(level1.next_due_in) << "what is left needs level 2";
  for (int i = 0; i < 3; ++i) EXPECT_EQ(level1.jobs[i].lease.ref, (RecipientRef{text, i}));
  auto level2 = db().Claim(1, ClaimFilter::kLevel2);
  ASSERT_EQ(level2.jobs.size(), 1u);
  EXPECT_EQ(level2.next_due_in, 0) << "the other level-2 page is due";
  EXPECT_EQ(level2.jobs[0].lease.ref.page_id, others[0].id) << "oldest first";
  EXPECT_EQ(level2.jobs[0].content.data, "line 1\nline 2");
  auto rest = db().Claim(10, ClaimFilter::kAny);
  ASSERT_EQ(rest.jobs.size(), 1u);
  EXPECT_TRUE(rest.jobs[0].require_level2);
  EXPECT_FALSE(rest.next_due_in) << "nothing is queued";
  EXPECT_EQ(db().Claim(0).jobs.size(), 0u);

  // Tokens are fresh per claim; attempts count claims; age and expiry from the store's clock.
  std::set<std::int64_t> tokens;
  for (const auto& job : level1.jobs) tokens.insert(job.lease.token);
  tokens.insert(level2.jobs[0].lease.token);
  tokens.insert(rest.jobs[0].lease.token);
  EXPECT_EQ(tokens.size(), 5u);
  EXPECT_EQ(db().Recipient(text, 0).attempts, 1);
  EXPECT_EQ(level1.jobs[0].attempts, 0);
  EXPECT_LT(level1.jobs[0].age, 5000);
  EXPECT_GE(level1.jobs[0].age, 0);
  EXPECT_LE(level1.jobs[0].expires_in, kHour);
  EXPECT_GT(level1.jobs[0].expires_in, kHour - 5000);
  EXPECT_THAT(db().Renew({level1.jobs[0].lease, rest.jobs[0].lease}), ElementsAre(true, true));

  // Requeued with a wait, given back untried, or finished: the next claim sees each as it is.
  auto degraded = Settle(level1.jobs[2].lease, State::kDegraded, "gw-a", "250 ok");
  degraded.note = "the subject was left out";
  EXPECT_THAT(
      db().Finish({Settle(level1.jobs[0].lease, State::kQueued, "gw-a", "421 busy", 20'000),
                   Settle(level1.jobs[1].lease, State::kQueued, "", "", 0, false), degraded}),
      ElementsAre(true, true, true));
  EXPECT_EQ(db().Recipient(text, 2).note, "the subject was left out");
  EXPECT_EQ(db().Recipient(text, 2).state, State::kDegraded);
  EXPECT_EQ(db().Recipient(text, 1).attempts, 0) << "given back untried";
  const auto next = db().Claim(10);
  ASSERT_EQ(next.jobs.size(), 1u);
  EXPECT_EQ(next.jobs[0].lease.ref.index, 1);
  ASSERT_TRUE(next.next_due_in);
  EXPECT_LE(*next.next_due_in, 20'000);
  EXPECT_GT(*next.next_due_in, 15'000);
  backend_->Advance(20'000);
  const auto retry = db().Claim(10);
  ASSERT_EQ(retry.jobs.size(), 1u);
  EXPECT_EQ(retry.jobs[0].attempts, 1);
  EXPECT_EQ(retry.jobs[0].last_gateway, "gw-a");
  EXPECT_GT(retry.jobs[0].lease.token, *tokens.rbegin());
  EXPECT_EQ(db().Recipient(text, 0).last_reply, "421 busy");
  EXPECT_EQ(db().Recipient(text, 2).gateway, "gw-a");
}

// A child process claims, marks and finishes, then dies without a word, as a killed relay does:
// once its claims are known to be gone, a sweep queues what had not reached SEND and makes
// uncertain what had.
TEST_P(StoreContract, ACrashMidAttemptRequeuesUnlessSendWasWritten) {
  const auto accepted = db().Accept({Page({"a"}), Page({"b"}), Page({"c"})});
  Close();
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    platform::EventLoop loop;
    auto store = backend_->Open(loop);
    if (!store) ::_exit(2);
    Client relay(loop, *store);
    const auto jobs = relay.Claim(3).jobs;
    if (jobs.size() != 3) ::_exit(3);
    relay.Mark({{jobs[1].lease, "primary"}});
    relay.Mark({{jobs[2].lease, "primary"}});
    relay.Finish({Settle(jobs[2].lease, State::kDelivered, "primary", "250 ok")});
    ::_exit(0);  // no destructors: the connection and the lock let go by the kernel
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  if (backend_->leases_lapse()) {
    EXPECT_EQ(db().Sweep().requeued, 0) << "the dead relay's leases still run";
    backend_->Advance(backend_->lease_ttl());
  }
  const auto recovery = db().Sweep();
  EXPECT_EQ(recovery.requeued, 1);
  EXPECT_EQ(recovery.uncertain, 1);
  const auto first = db().Recipient(accepted[0].id);
  EXPECT_EQ(first.state, State::kQueued);
  EXPECT_EQ(first.attempts, 1);
  const auto second = db().Recipient(accepted[1].id);
  EXPECT_EQ(second.state, State::kUncertain);
  EXPECT_THAT(second.last_reply, HasSubstr("not resent"));
  EXPECT_EQ(second.gateway, "primary");
  EXPECT_EQ(db().Recipient(accepted[2].id).state, State::kDelivered);
  // Our own claims are never swept while we hold them; a second sweep finds nothing.
  const auto mine = db().Claim(10);
  EXPECT_EQ(mine.jobs.size(), 1u);
  EXPECT_EQ(db().Sweep().requeued, 0);
  EXPECT_EQ(db().Recipient(accepted[0].id).state, State::kSending);
}

// A claim not renewed for the ttl is lost while its relay lives (paused, cut off): its marks and
// finishes change nothing, another relay's sweep takes it, and SEND written before the lapse
// still leaves the page uncertain, settled only by the gateway's late word.
TEST_P(StoreContract, ALapsedLeaseChangesNothingOfWhatReplacedIt) {
  if (!backend_->leases_lapse()) {
    GTEST_SKIP() << "a SQLite outbox belongs to one relay, whose leases last as long as it does; "
                    "ACrashMidAttemptRequeuesUnlessSendWasWritten covers a relay that is gone";
  }
  const std::string id = db().AcceptOne({"1", "2", "3"});
  const auto jobs = db().Claim(3).jobs;
  ASSERT_EQ(jobs.size(), 3u);
  ASSERT_THAT(db().Mark({{jobs[2].lease, "gw"}}), ElementsAre(true));
  backend_->Advance(backend_->lease_ttl() / 2);
  EXPECT_THAT(db().Renew({jobs[0].lease}), ElementsAre(true)) << "renewed in time";
  backend_->Advance(backend_->lease_ttl() / 2 + 1);

  // Job 0 was renewed; 1 and 2 lapsed, and their holder learns it before any sweep.
  EXPECT_THAT(db().Renew({jobs[0].lease, jobs[1].lease}), ElementsAre(true, false));
  EXPECT_THAT(db().Mark({{jobs[1].lease, "gw"}}), ElementsAre(false)) << "SEND must not go out";

  platform::EventLoop other_loop;
  auto other_store = backend_->Open(other_loop);
  ASSERT_TRUE(other_store);
  Client other(other_loop, *other_store);
  const auto recovery = other.Sweep();
  EXPECT_EQ(recovery.requeued, 1);
  EXPECT_EQ(recovery.uncertain, 1);
  const auto taken = other.Claim(10).jobs;
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].lease.ref, jobs[1].lease.ref);

  // The first relay's late words for recipient 1 are dropped; the new holder's stand.
  EXPECT_THAT(db().Finish({Settle(jobs[1].lease, State::kDelivered, "gw", "250 late")}),
              ElementsAre(false));
  EXPECT_EQ(db().Recipient(id, 1).state, State::kSending);
  EXPECT_THAT(other.Mark({{taken[0].lease, "gw"}}), ElementsAre(true));
  EXPECT_THAT(other.Finish({Settle(taken[0].lease, State::kDelivered, "gw", "250 ok")}),
              ElementsAre(true));
  // Recipient 2 went out before the lapse: uncertain, never queued; a 554 arriving late cannot
  // change that, the gateway's late 250 settles it.
  EXPECT_EQ(db().Recipient(id, 2).state, State::kUncertain);
  EXPECT_EQ(other.Claim(10).jobs.size(), 0u);
  EXPECT_THAT(db().Finish({Settle(jobs[2].lease, State::kRefused, "gw", "554 late")}),
              ElementsAre(false));
  EXPECT_THAT(db().Finish({Settle(jobs[2].lease, State::kDelivered, "gw", "250 late")}),
              ElementsAre(true));
  EXPECT_EQ(db().Recipient(id, 2).state, State::kDelivered);
  EXPECT_THAT(db().Finish({Settle(jobs[0].lease, State::kDelivered, "gw", "250 ok")}),
              ElementsAre(true));
}

// A write that fails leaves no trace and takes nobody else's work with it: the claim made
// before it stays, and the store works again once writes can be made.
TEST_P(StoreContract, AFailedOperationHasNoEffect) {
  const std::string claimed_page = db().AcceptOne();
  const auto claim = db().Claim(1).jobs.at(0);
  const auto before = db().Count();
  backend_->Break(*store_);
  const auto big = Page({"2", "3"}, std::string(200'000, 'x'));
  const auto failed =
      db().Await<std::vector<Accepted>>([&](Store& s, auto done) { s.Accept({big}, done); });
  ASSERT_FALSE(failed);
  EXPECT_THAT(failed.error, HasSubstr("outbox: "));
  const auto finish_failed = db().Await<std::vector<bool>>([&](Store& s, auto done) {
    s.Finish({Settle(claim.lease, State::kSending, "gw", "")}, done);
  });
  EXPECT_FALSE(finish_failed) << "an attempt cannot end sending";
  backend_->Mend();

  const auto after = db().Count();
  EXPECT_EQ(after.pages, before.pages) << "nothing of the failed page stayed";
  EXPECT_EQ(after.recipients[static_cast<int>(State::kQueued)],
            before.recipients[static_cast<int>(State::kQueued)]);
  EXPECT_EQ(db().Recipient(claimed_page).state, State::kSending);
  EXPECT_THAT(db().Mark({{claim.lease, "gw"}}), ElementsAre(true));
  EXPECT_TRUE(db().Accept({Page({"3"})}).at(0).created);
}

TEST_P(StoreContract, ExpireAndPruneWorkInSmallBatchesAndKeepLiveKeys) {
  std::vector<std::string> done_ids;
  for (int i = 0; i < 5; ++i) done_ids.push_back(db().AcceptOne());
  auto keyed = Page({"k"});
  keyed.idempotency_key = "long-lived";
  keyed.expire_after = 30 * kDay;
  const std::string keyed_id = db().Accept({keyed}).at(0).id;
  auto brief = Page({"e1", "e2", "e3"});
  brief.expire_after = 60'000;
  const std::string brief_id = db().Accept({brief}).at(0).id;
  const std::string waiting = db().AcceptOne();
  for (const auto& job : db().Claim(6).jobs) {
    if (job.lease.ref.page_id == waiting) continue;
    db().Finish({Settle(job.lease, State::kDelivered, "gw", "250 ok")});
  }
  const auto requeue = db().Claim(10).jobs;
  for (const auto& job : requeue) {
    if (job.lease.ref.page_id != waiting) {
      db().Finish({Settle(job.lease, State::kQueued, "gw", "421", 0, false)});
      continue;
    }
    db().Finish({Settle(job.lease, State::kQueued, "gw", "421", 40 * kDay)});
  }

  // The brief page's three recipients expire two at a time; nothing else is due to.
  backend_->Advance(120'000);
  EXPECT_EQ(db().Expire(2).size(), 2u);
  EXPECT_EQ(db().Expire(2).size(), 1u);
  EXPECT_EQ(db().Expire(2).size(), 0u);
  EXPECT_EQ(db().Recipient(brief_id, 2).state, State::kExpired);
  EXPECT_EQ(db().Recipient(waiting).state, State::kQueued);

  backend_->Advance(7 * kDay - 3'600'000);
  EXPECT_EQ(db().Prune(7 * kDay, 2).pages, 0) << "not yet final for retain";
  backend_->Advance(2 * 3'600'000);
  const auto first = db().Prune(7 * kDay, 2);
  EXPECT_EQ(first.pages, 2);
  EXPECT_TRUE(first.more);
  EXPECT_EQ(db().Prune(7 * kDay, 2).pages, 2);
  const auto last = db().Prune(7 * kDay, 2);
  EXPECT_EQ(last.pages, 2);  // the fifth delivered page and the expired one
  EXPECT_EQ(db().Prune(7 * kDay, 2).pages, 0);
  EXPECT_EQ(db().Count().pages, 2) << "the keyed page and the queued one stay";
  EXPECT_FALSE(db().Find(done_ids[0]));
  EXPECT_FALSE(db().Find(brief_id));
  auto repeat = keyed;
  EXPECT_EQ(db().Accept({repeat}).at(0).id, keyed_id) << "its key still answers";
  backend_->Advance(30 * kDay);
  EXPECT_GE(db().Prune(7 * kDay, 2).keys, 1);
  EXPECT_FALSE(db().Find(keyed_id)) << "its key gone, the page goes";
  EXPECT_TRUE(db().Find(waiting)) << "a page not yet final is never pruned";
}

// What an operator may do to a recipient in each state it can be in (MayAct), on one page that
// names one pager twice; a refused action says the state it found and changes nothing.
TEST_P(StoreContract, AnOperatorResendsOrDismissesOnlyWhatTheRuleAllows) {
  using Outcome = ActionResult::Outcome;
  const std::string id =
      db().AcceptOne({"uncertain", "delivered", "failed", "twice", "twice", "queued", "other"});
  const auto jobs = db().Claim(5).jobs;
  ASSERT_EQ(jobs.size(), 5u);
  ASSERT_THAT(db().Mark({{jobs[0].lease, "gw"}, {jobs[3].lease, "gw"}}), ElementsAre(true, true));
  ASSERT_THAT(db().Finish({Settle(jobs[0].lease, State::kUncertain, "gw", "no reply to SEND"),
                           Settle(jobs[1].lease, State::kDelivered, "gw", "250 ok"),
                           Settle(jobs[2].lease, State::kFailed, "gw", "no gateway can"),
                           Settle(jobs[3].lease, State::kUncertain, "gw", "no reply to SEND"),
                           Settle(jobs[4].lease, State::kDelivered, "gw", "250 ok")}),
              Each(true));
  const auto untouched = db().Find(id);
  struct Row {
    OperatorAction action;
    std::string page;
    std::string pager;
    Outcome outcome;
    State state;  // kRefused: the state reported
  } refusals[] = {
      {OperatorAction::kResend, id, "delivered", Outcome::kRefused, State::kDelivered},
      {OperatorAction::kDismiss, id, "failed", Outcome::kRefused, State::kFailed},
      {OperatorAction::kDismiss, id, "queued", Outcome::kRefused, State::kQueued},
      {OperatorAction::kResend, id, "nobody", Outcome::kNoRecipient, State::kQueued},
      {OperatorAction::kResend, id, "", Outcome::kNoRecipient, State::kQueued},
      {OperatorAction::kDismiss, "0123abcd", "uncertain", Outcome::kNoPage, State::kQueued},
  };
  for (const auto& row : refusals) {
    SCOPED_TRACE(row.pager);
    const auto result = db().Act(row.action, row.page, row.pager);
    EXPECT_EQ(result.outcome, row.outcome);
    EXPECT_TRUE(result.changed.empty());
    if (row.outcome == Outcome::kRefused) {
      EXPECT_EQ(result.state, row.state);
      ASSERT_TRUE(result.page);
      EXPECT_EQ(result.page->id, id);
    }
  }
  const auto after_refusals = db().Find(id);
  for (std::size_t i = 0; i < untouched->recipients.size(); ++i) {
    EXPECT_EQ(after_refusals->recipients[i].updated, untouched->recipients[i].updated);
    EXPECT_EQ(after_refusals->recipients[i].state, untouched->recipients[i].state);
  }

  // The pager named twice: only its uncertain recipient is resent, the delivered one stays.
  backend_->Advance(1000);
  const auto twice = db().Act(OperatorAction::kResend, id, "twice", "", "line 2");
  EXPECT_EQ(twice.outcome, Outcome::kDone);
  EXPECT_THAT(twice.changed, ElementsAre(3));
  ASSERT_TRUE(twice.page);
  EXPECT_EQ(twice.page->recipients[3].state, State::kQueued);
  EXPECT_EQ(twice.page->recipients[4].state, State::kDelivered);
  EXPECT_EQ(twice.page->recipients[3].acted_by, "line 2");

  // Resent: queued and due now, the SEND mark cleared, attempts and the last reply kept.
  const auto resent = db().Act(OperatorAction::kResend, id, "uncertain", "called: not received");
  EXPECT_EQ(resent.outcome, Outcome::kDone);
  const auto r = db().Recipient(id, 0);
  EXPECT_EQ(r.state, State::kQueued);
  EXPECT_FALSE(r.send_written);
  EXPECT_EQ(r.attempts, 1);
  EXPECT_EQ(r.last_reply, "no reply to SEND");
  EXPECT_EQ(r.note, "called: not received");
  EXPECT_EQ(r.acted_by, "oncall");
  EXPECT_GT(r.updated, untouched->recipients[0].updated);
  EXPECT_EQ(db().Act(OperatorAction::kDismiss, id, "uncertain").state, State::kQueued)
      << "resent: no longer uncertain";
  EXPECT_EQ(db().Act(OperatorAction::kResend, id, "failed").outcome, Outcome::kDone);
  const auto again = db().Claim(10).jobs;
  std::set<int> claimed;
  for (const auto& job : again) claimed.insert(job.lease.ref.index);
  EXPECT_EQ(claimed, (std::set<int>{0, 2, 3, 5, 6}));
  for (const auto& job : again) {
    if (job.lease.ref.index == 0) {
      EXPECT_EQ(job.attempts, 1) << "attempts kept";
    }
  }

  // Dismissed: final, with the note and who; nothing acts on it any more.
  const std::string other = db().AcceptOne({"5551234"});
  const auto job = db().Claim(1).jobs.at(0);
  db().Mark({{job.lease, "gw"}});
  db().Finish({Settle(job.lease, State::kUncertain, "gw", "no reply to SEND")});
  const auto dismissed = db().Act(OperatorAction::kDismiss, other, "5551234", "it arrived");
  EXPECT_EQ(dismissed.outcome, Outcome::kDone);
  const auto d = db().Recipient(other);
  EXPECT_EQ(d.state, State::kDismissed);
  EXPECT_EQ(d.note, "it arrived");
  EXPECT_EQ(db().Act(OperatorAction::kResend, other, "5551234").state, State::kDismissed);
  EXPECT_THAT(db().Finish({Settle(job.lease, State::kDelivered, "gw", "250 late")}),
              ElementsAre(false))
      << "a dismissed recipient is final";
  EXPECT_EQ(db().Count().recipients[static_cast<int>(State::kDismissed)], 1);
}

// An expired recipient resent lives its page's lifetime again: it is claimed, not expired anew.
TEST_P(StoreContract, AResentExpiredRecipientGetsItsLifetimeAgain) {
  auto brief = Page({"e"});
  brief.expire_after = 60'000;
  const std::string id = db().Accept({brief}).at(0).id;
  backend_->Advance(120'000);
  ASSERT_EQ(db().Expire(10).size(), 1u);
  EXPECT_EQ(db().Act(OperatorAction::kResend, id, "e").outcome, ActionResult::Outcome::kDone);
  EXPECT_TRUE(db().Expire(10).empty());
  const auto jobs = db().Claim(1).jobs;
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_GT(jobs[0].expires_in, 50'000);
  EXPECT_LE(jobs[0].expires_in, 60'000);
}

// Two operators at once on one uncertain recipient (two relays on a shared outbox, or two
// requests on one): one resends or dismisses it, the other is told the state it then is in.
TEST_P(StoreContract, OfTwoOperatorsActingAtOnceOneWins) {
  const std::string id = db().AcceptOne({"5551234"});
  const auto job = db().Claim(1).jobs.at(0);
  db().Mark({{job.lease, "gw"}});
  db().Finish({Settle(job.lease, State::kUncertain, "gw", "no reply to SEND")});
  std::unique_ptr<Store> second = backend_->shared() ? backend_->Open(loop_) : nullptr;
  Store& other = second ? *second : *store_;
  for (int round = 0; round < 2; ++round) {
    std::optional<Result<ActionResult>> resend, dismiss;
    // In round 1 the dismiss is asked first.
    const auto ask_resend = [&] {
      store_->Act({OperatorAction::kResend, id, "5551234", "alice", ""},
                  [&](Result<ActionResult> r) { resend = std::move(r); });
    };
    const auto ask_dismiss = [&] {
      other.Act({OperatorAction::kDismiss, id, "5551234", "bob", "it arrived"},
                [&](Result<ActionResult> r) { dismiss = std::move(r); });
    };
    if (round == 0) {
      ask_resend();
      ask_dismiss();
    } else {
      ask_dismiss();
      ask_resend();
    }
    ASSERT_TRUE(loop_.RunUntil([&] { return resend && dismiss; }, 15s));
    ASSERT_TRUE(*resend) << resend->error;
    ASSERT_TRUE(*dismiss) << dismiss->error;
    const bool resend_won = (*resend)->outcome == ActionResult::Outcome::kDone;
    const bool dismiss_won = (*dismiss)->outcome == ActionResult::Outcome::kDone;
    EXPECT_NE(resend_won, dismiss_won) << "exactly one wins";
    const auto now = db().Recipient(id);
    if (resend_won) {
      EXPECT_EQ((*dismiss)->state, State::kQueued);
      EXPECT_EQ(now.state, State::kQueued);
      EXPECT_EQ(now.acted_by, "alice");
    } else {
      EXPECT_EQ((*resend)->state, State::kDismissed);
      EXPECT_EQ(now.state, State::kDismissed);
      EXPECT_EQ(now.acted_by, "bob");
    }
    if (round == 0 && now.state == State::kQueued) {
      // Back to uncertain for the second round, the other way round.
      const auto retry = db().Claim(1).jobs.at(0);
      db().Mark({{retry.lease, "gw"}});
      db().Finish({Settle(retry.lease, State::kUncertain, "gw", "no reply to SEND")});
    } else {
      break;  // dismissed is final: no second round
    }
  }
}

// The claim that left a recipient uncertain may still answer after an operator resent it (a
// slow gateway's late 250, or a relay that lost its lease and comes back): its token no longer
// names the row, so it changes nothing, neither before the resent recipient is claimed again
// nor after.
TEST_P(StoreContract, AResentRecipientsEarlierClaimChangesNothing) {
  const std::string id = db().AcceptOne({"5551234"});
  const auto old = db().Claim(1).jobs.at(0);
  ASSERT_THAT(db().Mark({{old.lease, "gw"}}), ElementsAre(true));
  if (backend_->leases_lapse()) {
    backend_->Advance(backend_->lease_ttl() + 1);
    ASSERT_EQ(db().Sweep().uncertain, 1);  // the holder went quiet after SEND
  } else {
    ASSERT_THAT(db().Finish({Settle(old.lease, State::kUncertain, "gw", "no reply to SEND")}),
                ElementsAre(true));
  }
  ASSERT_EQ(db().Recipient(id).state, State::kUncertain);
  ASSERT_EQ(db().Act(OperatorAction::kResend, id, "5551234").outcome, ActionResult::Outcome::kDone);

  const auto late = Settle(old.lease, State::kDelivered, "gw", "250 late");
  EXPECT_THAT(db().Finish({late}), ElementsAre(false));
  EXPECT_THAT(db().Mark({{old.lease, "gw"}}), ElementsAre(false));
  EXPECT_THAT(db().Renew({old.lease}), Each(backend_->leases_lapse() ? false : true));
  EXPECT_EQ(db().Recipient(id).state, State::kQueued);
  const auto fresh = db().Claim(1).jobs.at(0);
  EXPECT_NE(fresh.lease.token, old.lease.token);
  EXPECT_THAT(db().Finish({late}), ElementsAre(false));
  EXPECT_THAT(db().Mark({{old.lease, "gw"}}), ElementsAre(false));
  EXPECT_EQ(db().Recipient(id).state, State::kSending);
  EXPECT_FALSE(db().Recipient(id).send_written);
  EXPECT_THAT(db().Mark({{fresh.lease, "gw"}}), ElementsAre(true));
  EXPECT_THAT(db().Finish({Settle(fresh.lease, State::kDelivered, "gw", "250 ok")}),
              ElementsAre(true));
  EXPECT_EQ(db().Recipient(id).attempts, 2);
}

// Pages newest first, with all their recipients; a cursor goes on where a list stopped, also
// among pages created in the same millisecond (one Accept: one time for all of them).
TEST_P(StoreContract, ListsPageNewestFirstThroughEveryPageOnce) {
  std::vector<NewPage> batch;
  for (int i = 0; i < 5; ++i) batch.push_back(Page({"a" + std::to_string(i), "b"}));
  std::set<std::string> older;
  for (const auto& accepted : db().Accept(batch)) older.insert(accepted.id);
  backend_->Advance(1000);
  auto alert = Page({"5551234"});
  alert.source = "alertmanager/oncall";
  const std::string newest = db().Accept({alert}).at(0).id;
  const auto job = db().Claim(10).jobs;  // the oldest due: one of the batch
  ASSERT_FALSE(job.empty());
  db().Mark({{job[0].lease, "gw"}});
  db().Finish({Settle(job[0].lease, State::kUncertain, "gw", "no reply")});

  std::vector<std::string> seen;
  std::optional<PageCursor> cursor;
  int calls = 0;
  do {
    PageQuery query;
    query.limit = 2;
    query.after = cursor;
    const auto list = db().List(query);
    ASSERT_LE(list.pages.size(), 2u);
    for (const auto& page : list.pages) {
      seen.push_back(page.id);
      EXPECT_EQ(page.recipients.size(), page.id == newest ? 1u : 2u) << "all its recipients";
    }
    cursor = list.next;
    if (cursor) {
      EXPECT_EQ(DecodeCursor(EncodeCursor(*cursor)), cursor);
    }
  } while (cursor && ++calls < 10);
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[0], newest);
  EXPECT_EQ(std::set<std::string>(seen.begin() + 1, seen.end()), older) << "each once";
  EXPECT_TRUE(std::is_sorted(seen.begin() + 1, seen.end(), std::greater<>())) << "id descending";

  const auto ids = [&](PageQuery query) {
    std::vector<std::string> listed;
    for (const auto& page : db().List(std::move(query)).pages) listed.push_back(page.id);
    return listed;
  };
  const auto with = [](auto field, auto value) {
    PageQuery query;
    query.*field = value;
    return query;
  };
  EXPECT_THAT(ids(with(&PageQuery::state, State::kUncertain)),
              ElementsAre(job[0].lease.ref.page_id));
  EXPECT_THAT(ids(with(&PageQuery::state, State::kDismissed)), ::testing::IsEmpty());
  const Millis created = db().Find(newest)->created;
  EXPECT_THAT(ids(with(&PageQuery::since, created)), ElementsAre(newest));
  EXPECT_EQ(ids(with(&PageQuery::since, created - 2000)).size(), 6u) << "the batch, a second older";
  const std::vector<std::string> oncall = {"alertmanager/oncall", "api/oncall"};
  EXPECT_THAT(ids(with(&PageQuery::sources, oncall)), ElementsAre(newest));
  const auto one = db().List(with(&PageQuery::limit, std::size_t{0}));
  EXPECT_EQ(one.pages.size(), 1u) << "a limit below 1 is 1";
  EXPECT_TRUE(one.next);
  EXPECT_FALSE(db().List(with(&PageQuery::limit, std::size_t{100})).next)
      << "all listed: no cursor";

  // A list stops at max_bytes, the first page always in; its cursor goes on from there.
  auto small = with(&PageQuery::max_bytes, std::size_t{1});
  small.limit = 10;
  const auto heavy = db().List(small);
  ASSERT_EQ(heavy.pages.size(), 1u);
  ASSERT_TRUE(heavy.next);
  EXPECT_EQ(heavy.pages[0].id, newest);
  small.after = heavy.next;
  EXPECT_EQ(db().List(small).pages.at(0).id, seen[1]);
  small.max_bytes = PageBytes(heavy.pages[0]) + 1;  // room for a second
  small.after.reset();
  EXPECT_EQ(db().List(small).pages.size(), 2u);
}

// The cursor as clients hand it back: only what a list gave out is one.
TEST(PageCursorText, OnlyWhatAListGaveOutIsACursor) {
  EXPECT_EQ(DecodeCursor("1700000000000000.5e7d"), (PageCursor{1700000000000000, "5e7d"}));
  for (const char* bad : {"", ".", "1.", ".ab", "-1.ab", "1.AB", "1.a b", "x.ab", "1..ab",
                          "99999999999999999999.ab", "1.ab/..", " 1.ab"}) {
    EXPECT_FALSE(DecodeCursor(bad)) << bad;
  }
  EXPECT_FALSE(DecodeCursor("1." + std::string(65, 'a')));
}

std::string Name(const ::testing::TestParamInfo<std::string>& info) {
  return info.param;
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreContract, ::testing::Values("sqlite", "postgresql"), Name);

}  // namespace
}  // namespace kestrel::outbox
