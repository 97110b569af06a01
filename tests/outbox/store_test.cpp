// The SQLite store on real files: the guarded transitions as a table, claims and their tokens,
// keys, a crash mid-attempt, one relay per file, old and foreign files, a full disk, retention.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <SQLiteCpp/SQLiteCpp.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "kestrel/outbox/sqlite_store.hpp"
#include "kestrel/testing/fakes.hpp"
#include "kestrel/testing/full_disk.hpp"

namespace kestrel::outbox {
namespace {

using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::HasSubstr;
using State = RecipientState;

constexpr Millis kT0 = 1'700'000'000'000;
constexpr Millis kHour = 3'600'000;

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

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("store-test-" + std::to_string(::getpid()) +
                                                     "-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    store_.reset();
    std::filesystem::remove_all(dir_);
  }
  std::string path() const { return (dir_ / "outbox.db").string(); }

  Store& store() {
    if (!store_) store_ = Open();
    return *store_;
  }
  std::unique_ptr<Store> Open(const std::string& owner = "") {
    return OpenSqliteStore({path(), [this] { return now_; },
                            [this](std::function<void()> fn) { loop_.Post(std::move(fn)); },
                            owner});
  }

  // Runs one operation to its end; the callback must not run inside the call.
  template <typename T, typename Op>
  Result<T> Await(Op&& op) {
    std::optional<Result<T>> got;
    op([&](Result<T> r) { got = std::move(r); });
    EXPECT_FALSE(got) << "called back from inside the call";
    loop_.RunPending();
    EXPECT_TRUE(got) << "never called back";
    return got ? std::move(*got) : Result<T>::Failed("no answer");
  }
  template <typename T, typename Op>
  T Ok(Op&& op) {
    auto result = Await<T>(std::forward<Op>(op));
    EXPECT_TRUE(result) << result.error;
    return result ? std::move(*result) : T{};
  }

  std::vector<Accepted> Accept(std::vector<NewPage> pages) {
    return Ok<std::vector<Accepted>>([&](auto done) { store().Accept(pages, done); });
  }
  std::string AcceptOne(std::vector<std::string> pagers = {"5551234"}) {
    return Accept({Page(std::move(pagers))}).at(0).id;
  }
  Claimed Claim(std::size_t limit, ClaimFilter filter = ClaimFilter::kAny) {
    return Ok<Claimed>([&](auto done) { store().Claim({limit, filter}, done); });
  }
  std::vector<bool> Mark(std::vector<SendMark> marks) {
    return Ok<std::vector<bool>>([&](auto done) { store().MarkSendWritten(marks, done); });
  }
  std::vector<bool> Finish(std::vector<Settlement> settlements) {
    return Ok<std::vector<bool>>([&](auto done) { store().Finish(settlements, done); });
  }
  Recovery Sweep() {
    return Ok<Recovery>([&](auto done) { store().Sweep(done); });
  }
  std::optional<PageRecord> Find(const std::string& id) {
    return Ok<std::optional<PageRecord>>([&](auto done) { store().Find(id, done); });
  }
  RecipientRecord Recipient(const std::string& id, int index = 0) {
    const auto page = Find(id);
    return page ? page->recipients.at(static_cast<std::size_t>(index)) : RecipientRecord{};
  }
  Counts Count() {
    return Ok<Counts>([&](auto done) { store().Count(done); });
  }

  static NewPage Page(std::vector<std::string> pagers, std::string message = "disk full") {
    NewPage page;
    page.pagers = std::move(pagers);
    page.content.message = std::move(message);
    page.source = "api";
    page.expire_after = kHour;
    return page;
  }

  std::filesystem::path dir_;
  testing::FakeLoop loop_;
  Millis now_ = kT0;
  std::unique_ptr<Store> store_;
};

TEST_F(StoreTest, AcceptedPagesSurviveReopeningWithTheirContent) {
  std::string id;
  {
    auto page = Page({"5551234", "5555678"});
    page.content.subject = "db1";
    page.content.options = R"({"alert":true})";
    page.require_level2 = true;
    const auto accepted = Accept({page});
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_TRUE(accepted[0].created);
    id = accepted[0].id;
    store_.reset();
  }
  const auto record = Find(id);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->content.message, "disk full");
  EXPECT_EQ(record->content.subject, "db1");
  EXPECT_EQ(record->content.options, R"({"alert":true})");
  EXPECT_TRUE(record->require_level2);
  EXPECT_EQ(record->expires, kT0 + kHour);
  EXPECT_THAT(record->recipients, ElementsAre(Field(&RecipientRecord::pager, "5551234"),
                                              Field(&RecipientRecord::pager, "5555678")));
  EXPECT_EQ(record->recipients[1].state, State::kQueued);
  EXPECT_FALSE(Find("no-such-page"));
}

TEST_F(StoreTest, KeysAnswerWithTheEarlierPageUntilItExpires) {
  auto keyed = Page({"1"});
  keyed.idempotency_key = "k1";
  auto deduped = Page({"2"});
  deduped.dedup_key = "k1";  // the same text, but a dedup key: another namespace

  // Within one call, and across calls.
  const auto first = Accept({keyed, keyed, deduped});
  ASSERT_EQ(first.size(), 3u);
  EXPECT_TRUE(first[0].created);
  EXPECT_FALSE(first[1].created);
  EXPECT_EQ(first[1].id, first[0].id);
  EXPECT_TRUE(first[2].created);
  EXPECT_NE(first[2].id, first[0].id);
  now_ = kT0 + kHour - 1;
  const auto again = Accept({keyed});
  EXPECT_FALSE(again[0].created);
  EXPECT_EQ(again[0].id, first[0].id);
  EXPECT_EQ(Count().pages, 2);

  // After expire_after the key is free again: a new page.
  now_ = kT0 + kHour;
  const auto later = Accept({keyed});
  EXPECT_TRUE(later[0].created);
  EXPECT_NE(later[0].id, first[0].id);
  EXPECT_EQ(Count().pages, 3);
}

// Every guarded transition from every state it may or may not leave. A refused one changes
// nothing at all.
TEST_F(StoreTest, TheTransitionTable) {
  enum class From { kQueued, kSending, kWritten, kDelivered, kUncertain, kExpired };
  enum class Op { kClaim, kMark, kMarkStale, kDeliver, kDeliverStale, kRequeue, kFail };
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
      {From::kDelivered, Op::kClaim, false, State::kDelivered, false},
      {From::kDelivered, Op::kMark, false, State::kDelivered, false},
      {From::kDelivered, Op::kRequeue, false, State::kDelivered, false},
      {From::kDelivered, Op::kFail, false, State::kDelivered, false},
      {From::kUncertain, Op::kDeliver, true, State::kDelivered, true},  // a late 250
      {From::kUncertain, Op::kDeliverStale, false, State::kUncertain, true},
      {From::kUncertain, Op::kFail, false, State::kUncertain, true},
      {From::kUncertain, Op::kRequeue, false, State::kUncertain, true},
      {From::kExpired, Op::kClaim, false, State::kExpired, false},
      {From::kExpired, Op::kDeliver, false, State::kExpired, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message()
                 << "from " << static_cast<int>(row.from) << " op " << static_cast<int>(row.op));
    now_ += kHour;  // every row on a fresh page, the ones before it out of the way
    const std::string id = AcceptOne();
    const RecipientRef ref{id, 0};
    Lease lease{ref, 0};
    if (row.from != From::kQueued && row.from != From::kExpired) {
      const auto claimed = Claim(1);
      ASSERT_EQ(claimed.jobs.size(), 1u);
      lease = claimed.jobs[0].lease;
    }
    if (row.from == From::kWritten || row.from == From::kUncertain) {
      ASSERT_THAT(Mark({{lease, "gw"}}), ElementsAre(true));
    }
    if (row.from == From::kDelivered) {
      ASSERT_THAT(Finish({Settle(lease, State::kDelivered, "gw", "250 ok")}), ElementsAre(true));
    }
    if (row.from == From::kUncertain) {
      ASSERT_THAT(Finish({Settle(lease, State::kUncertain, "gw", "no reply to SEND")}),
                  ElementsAre(true));
    }
    if (row.from == From::kExpired) {
      now_ += kHour;
      const auto expired =
          Ok<std::vector<RecipientRef>>([&](auto done) { store().Expire(10, done); });
      ASSERT_THAT(expired, ::testing::Contains(ref));
    }
    const auto before = Recipient(id);
    Lease stale = lease;
    stale.token += 1000;
    bool allowed = false;
    switch (row.op) {
      case Op::kClaim:
        allowed = Claim(10).jobs.size() == 1;
        break;
      case Op::kMark:
        allowed = Mark({{lease, "gw2"}}).at(0);
        break;
      case Op::kMarkStale:
        allowed = Mark({{stale, "gw2"}}).at(0);
        break;
      case Op::kDeliver:
        allowed = Finish({Settle(lease, State::kDelivered, "gw2", "250 late")}).at(0);
        break;
      case Op::kDeliverStale:
        allowed = Finish({Settle(stale, State::kDelivered, "gw2", "250 late")}).at(0);
        break;
      case Op::kRequeue:
        allowed = Finish({Settle(lease, State::kQueued, "gw2", "421 busy", 2000)}).at(0);
        break;
      case Op::kFail:
        allowed = Finish({Settle(lease, State::kFailed, "gw2", "cannot be sent")}).at(0);
        break;
    }
    const auto after = Recipient(id);
    EXPECT_EQ(allowed, row.allowed);
    EXPECT_EQ(after.state, row.after);
    EXPECT_EQ(after.send_written, row.written_after);
    if (!row.allowed) {
      EXPECT_EQ(after.updated, before.updated) << "a refused transition changed the row";
      EXPECT_EQ(after.last_reply, before.last_reply);
    }
  }

  // The schema itself refuses what no transition may make.
  AcceptOne();
  SQLite::Database raw(path(), SQLite::OPEN_READWRITE);
  EXPECT_THROW(raw.exec("UPDATE recipients SET state = 'bogus'"), SQLite::Exception);
  EXPECT_THROW(raw.exec("UPDATE recipients SET send_written = 1 WHERE state = 'queued'"),
               SQLite::Exception);
}

TEST_F(StoreTest, ClaimsTakeDueRecipientsWithFreshTokensAndSayWhenTheNextFallsDue) {
  const std::string text = AcceptOne({"1", "2", "3"});
  auto data_page = Page({"4"});
  data_page.content.message.clear();
  data_page.content.data = "line 1\nline 2";
  auto strict = Page({"5"});
  strict.require_level2 = true;
  const auto others = Accept({data_page, strict});

  // A level-1 gateway's claim never takes a data body or a page that asks for level 2.
  auto level1 = Claim(10, ClaimFilter::kLevel1);
  ASSERT_EQ(level1.jobs.size(), 3u);
  EXPECT_FALSE(level1.next_due_in) << "what is left needs level 2";
  auto level2 = Claim(1, ClaimFilter::kLevel2);
  ASSERT_EQ(level2.jobs.size(), 1u);
  EXPECT_EQ(level2.next_due_in, 0) << "the other level-2 page is due";
  EXPECT_EQ(level2.jobs[0].lease.ref.page_id, others[0].id);
  EXPECT_EQ(level2.jobs[0].content.data, "line 1\nline 2");
  auto rest = Claim(10, ClaimFilter::kAny);
  ASSERT_EQ(rest.jobs.size(), 1u);
  EXPECT_TRUE(rest.jobs[0].require_level2);
  EXPECT_FALSE(rest.next_due_in) << "nothing is queued";

  // Tokens are fresh per claim; attempts count claims.
  std::set<std::int64_t> tokens;
  for (const auto& job : level1.jobs) tokens.insert(job.lease.token);
  tokens.insert(level2.jobs[0].lease.token);
  tokens.insert(rest.jobs[0].lease.token);
  EXPECT_EQ(tokens.size(), 5u);
  EXPECT_EQ(Recipient(text, 0).attempts, 1);
  EXPECT_EQ(level1.jobs[0].age, 0);
  EXPECT_EQ(level1.jobs[0].expires_in, kHour);

  // Requeued with a wait, given back untried, or finished: the next claim sees each as it is.
  now_ += 500;
  EXPECT_THAT(Finish({Settle(level1.jobs[0].lease, State::kQueued, "gw-a", "421 busy", 2000),
                      Settle(level1.jobs[1].lease, State::kQueued, "", "", 0, false),
                      Settle(level1.jobs[2].lease, State::kDelivered, "gw-a", "250 ok")}),
              ElementsAre(true, true, true));
  EXPECT_EQ(Recipient(text, 1).attempts, 0) << "given back untried";
  const auto next = Claim(10);
  ASSERT_EQ(next.jobs.size(), 1u);
  EXPECT_EQ(next.jobs[0].lease.ref.index, 1);
  EXPECT_EQ(next.next_due_in, 2000);
  now_ += 2000;
  const auto retry = Claim(10);
  ASSERT_EQ(retry.jobs.size(), 1u);
  EXPECT_EQ(retry.jobs[0].attempts, 1);
  EXPECT_EQ(retry.jobs[0].last_gateway, "gw-a");
  EXPECT_GT(retry.jobs[0].lease.token, *tokens.rbegin());
  EXPECT_EQ(Recipient(text, 0).last_reply, "421 busy");
  const auto counts = Count();
  EXPECT_EQ(counts.pages, 3);
  EXPECT_EQ(counts.recipients[static_cast<int>(State::kSending)], 4);
  EXPECT_EQ(counts.recipients[static_cast<int>(State::kDelivered)], 1);
}

// A child process works on the outbox and dies without cleaning up, as a killed relay does.
TEST_F(StoreTest, ACrashMidAttemptRequeuesUnlessSendWasWritten) {
  const auto accepted = Accept({Page({"a"}), Page({"b"}), Page({"c"})});
  store_.reset();
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    const auto jobs = Claim(3).jobs;
    Mark({{jobs[1].lease, "primary"}});
    Mark({{jobs[2].lease, "primary"}});
    Finish({Settle(jobs[2].lease, State::kDelivered, "primary", "250 ok")});
    ::_exit(0);  // no destructors, the lock let go by the kernel
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));

  const auto recovery = Sweep();
  EXPECT_EQ(recovery.requeued, 1);
  EXPECT_EQ(recovery.uncertain, 1);
  EXPECT_EQ(Recipient(accepted[0].id).state, State::kQueued);
  EXPECT_EQ(Recipient(accepted[0].id).attempts, 1);
  EXPECT_EQ(Recipient(accepted[1].id).state, State::kUncertain);
  EXPECT_THAT(Recipient(accepted[1].id).last_reply, HasSubstr("not resent"));
  EXPECT_EQ(Recipient(accepted[1].id).gateway, "primary");
  EXPECT_EQ(Recipient(accepted[2].id).state, State::kDelivered);
  // Our own claims are never swept while we live; a second sweep finds nothing.
  const auto mine = Claim(10);
  EXPECT_EQ(mine.jobs.size(), 1u);
  EXPECT_EQ(Sweep().requeued, 0);
  EXPECT_EQ(Recipient(accepted[0].id).state, State::kSending);
}

TEST_F(StoreTest, OneStorePerFileAndItNamesTheHolder) {
  store();
  try {
    Open();
    FAIL() << "a second store opened a locked outbox";
  } catch (const OutboxError& e) {
    EXPECT_THAT(e.what(), HasSubstr(path()));
    EXPECT_THAT(e.what(), HasSubstr("pid " + std::to_string(::getpid())));
    EXPECT_THAT(e.what(), HasSubstr("one relay per SQLite outbox"));
  }
  store_.reset();
  EXPECT_NO_THROW(Open()) << "the lock goes with its store";
}

TEST_F(StoreTest, AnOutboxFromBeforeVersionsIsMigratedAndKept) {
  {
    SQLite::Database old(path(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    old.exec(R"sql(
CREATE TABLE pages (id TEXT PRIMARY KEY, created_ms INTEGER NOT NULL, expires_ms INTEGER NOT NULL,
  source TEXT NOT NULL, message TEXT NOT NULL, data TEXT NOT NULL, subject TEXT NOT NULL,
  options TEXT NOT NULL);
CREATE TABLE recipients (page_id TEXT NOT NULL REFERENCES pages(id), idx INTEGER NOT NULL,
  pager TEXT NOT NULL, state TEXT NOT NULL, attempts INTEGER NOT NULL DEFAULT 0,
  gateway TEXT NOT NULL DEFAULT '', last_reply TEXT NOT NULL DEFAULT '',
  send_written INTEGER NOT NULL DEFAULT 0, next_ms INTEGER NOT NULL, expires_ms INTEGER NOT NULL,
  updated_ms INTEGER NOT NULL, PRIMARY KEY (page_id, idx));
CREATE INDEX recipients_due ON recipients(state, next_ms);
CREATE TABLE page_keys (key TEXT PRIMARY KEY, page_id TEXT NOT NULL, expires_ms INTEGER NOT NULL);
INSERT INTO pages VALUES ('p1', 1700000000000, 1700003600000, 'api', 'disk full', '', 'db1', '{}');
INSERT INTO pages VALUES ('p2', 1700000000000, 1700003600000, 'api', '', 'a\nb', '', '{}');
INSERT INTO recipients VALUES ('p1', 0, '1', 'delivered', 1, 'gw', '250 ok', 1, 0, 1700003600000, 1);
INSERT INTO recipients VALUES ('p1', 1, '2', 'sending', 2, 'gw', '', 0, 0, 1700003600000, 1);
INSERT INTO recipients VALUES ('p1', 2, '3', 'sending', 1, 'gw', '', 1, 0, 1700003600000, 1);
INSERT INTO recipients VALUES ('p2', 0, '4', 'queued', 0, '', '', 0, 0, 1700003600000, 1);
INSERT INTO page_keys VALUES ('i:k', 'p1', 1700003600000);
)sql");
  }
  EXPECT_EQ(Sweep().requeued, 1);
  const auto p1 = Find("p1");
  ASSERT_TRUE(p1);
  EXPECT_EQ(p1->content.subject, "db1");
  EXPECT_EQ(p1->recipients[0].state, State::kDelivered);
  EXPECT_EQ(p1->recipients[0].last_reply, "250 ok");
  EXPECT_EQ(p1->recipients[1].state, State::kQueued);
  EXPECT_EQ(p1->recipients[1].attempts, 2);
  EXPECT_EQ(p1->recipients[2].state, State::kUncertain);
  auto keyed = Page({"9"});
  keyed.idempotency_key = "k";
  EXPECT_EQ(Accept({keyed}).at(0).id, "p1") << "the old keys still answer";
  // The old data page needs a level-2 gateway, as the new ones do.
  EXPECT_EQ(Claim(10, ClaimFilter::kLevel2).jobs.at(0).lease.ref.page_id, "p2");
  store_.reset();
  SQLite::Database raw(path(), SQLite::OPEN_READWRITE);
  EXPECT_EQ(raw.execAndGet("PRAGMA user_version").getInt(), kSqliteSchemaVersion);
  EXPECT_THROW(raw.exec("UPDATE recipients SET state = 'bogus'"), SQLite::Exception);
}

// Version 1 knew neither dismissed nor acted_by: its rows move to the new table as they were,
// in their order, and can then be dismissed.
TEST_F(StoreTest, AnOutboxOfVersion1IsMigratedAndCanThenBeDismissed) {
  {
    SQLite::Database old(path(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    old.exec(R"sql(
CREATE TABLE pages (id TEXT PRIMARY KEY, created_ms INTEGER NOT NULL, expires_ms INTEGER NOT NULL,
  source TEXT NOT NULL, message TEXT NOT NULL, data TEXT NOT NULL, subject TEXT NOT NULL,
  options TEXT NOT NULL, require_level2 INTEGER NOT NULL DEFAULT 0);
CREATE TABLE recipients (page_id TEXT NOT NULL REFERENCES pages(id), idx INTEGER NOT NULL,
  pager TEXT NOT NULL, state TEXT NOT NULL CHECK (state IN ('queued', 'sending', 'delivered',
  'degraded', 'refused', 'failed', 'uncertain', 'expired')), attempts INTEGER NOT NULL DEFAULT 0,
  gateway TEXT NOT NULL DEFAULT '', last_reply TEXT NOT NULL DEFAULT '',
  note TEXT NOT NULL DEFAULT '', send_written INTEGER NOT NULL DEFAULT 0,
  needs_level2 INTEGER NOT NULL DEFAULT 0, owner TEXT NOT NULL DEFAULT '',
  token INTEGER NOT NULL DEFAULT 0, lease_until INTEGER NOT NULL DEFAULT 0,
  next_ms INTEGER NOT NULL, expires_ms INTEGER NOT NULL, updated_ms INTEGER NOT NULL,
  PRIMARY KEY (page_id, idx), CHECK (NOT (state = 'queued' AND send_written = 1)));
CREATE INDEX recipients_due ON recipients(state, next_ms);
CREATE INDEX pages_created ON pages(created_ms);
CREATE TABLE page_keys (key TEXT PRIMARY KEY, page_id TEXT NOT NULL, expires_ms INTEGER NOT NULL);
CREATE TABLE counters (name TEXT PRIMARY KEY, value INTEGER NOT NULL);
INSERT INTO counters VALUES ('token', 7), ('probe', 0);
INSERT INTO pages VALUES ('b2', 1700000000000, 1800000000000, 'api', 'm', '', '', '{}', 0);
INSERT INTO recipients VALUES ('b2', 1, '2', 'queued', 0, '', '', '', 0, 0, '', 0, 0, 0,
  1800000000000, 1);
INSERT INTO recipients VALUES ('b2', 0, '1', 'uncertain', 1, 'gw', 'no reply', 'n', 1, 0, 'x', 7,
  0, 0, 1800000000000, 1);
PRAGMA user_version = 1;
)sql");
  }
  const auto page = Find("b2");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->recipients[0].state, State::kUncertain);
  EXPECT_EQ(page->recipients[0].note, "n");
  EXPECT_TRUE(page->recipients[0].send_written);
  const auto dismissed = Ok<ActionResult>([&](auto done) {
    store().Act({OperatorAction::kDismiss, "b2", "1", "line 3", "it arrived"}, done);
  });
  EXPECT_EQ(dismissed.outcome, ActionResult::Outcome::kDone);
  EXPECT_EQ(Recipient("b2").acted_by, "line 3");
  EXPECT_GT(Claim(10).jobs.at(0).lease.token, 7) << "the token counter kept";
  store_.reset();
  SQLite::Database raw(path(), SQLite::OPEN_READWRITE);
  EXPECT_EQ(raw.execAndGet("PRAGMA user_version").getInt(), kSqliteSchemaVersion);
  EXPECT_THROW(raw.exec("UPDATE recipients SET state = 'bogus'"), SQLite::Exception);
  // The rows kept their order of acceptance, which claims among those due at once follow.
  EXPECT_EQ(raw.execAndGet("SELECT idx FROM recipients ORDER BY rowid LIMIT 1").getInt(), 1);
}

// The operator's rule (MayAct in store.hpp), row by row.
TEST(OperatorRule, WhatAnOperatorMayDoInEachState) {
  struct Row {
    State from;
    bool resend;
    bool dismiss;
  } rows[] = {
      {State::kQueued, false, false},    {State::kSending, false, false},
      {State::kDelivered, false, false}, {State::kDegraded, false, false},
      {State::kRefused, false, false},   {State::kFailed, true, false},
      {State::kUncertain, true, true},   {State::kExpired, true, false},
      {State::kDismissed, false, false},
  };
  static_assert(std::size(rows) == kRecipientStateCount, "every state has its row");
  for (const auto& row : rows) {
    SCOPED_TRACE(ToString(row.from));
    EXPECT_EQ(MayAct(OperatorAction::kResend, row.from), row.resend);
    EXPECT_EQ(MayAct(OperatorAction::kDismiss, row.from), row.dismiss);
    EXPECT_EQ(ParseRecipientState(ToString(row.from)), row.from);
    EXPECT_TRUE(IsFinal(row.from) || row.from == State::kQueued || row.from == State::kSending);
  }
}

TEST_F(StoreTest, FilesThatAreNoOutboxOrTooNewAreRefusedWithWhatToDo) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
    const char* words;
  } cases[] = {
      {"newer",
       [](const std::string& p) {
         SQLite::Database db(p, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
         db.exec("CREATE TABLE pages (id TEXT); PRAGMA user_version = 7");
       },
       "newer than this relay knows"},
      {"foreign",
       [](const std::string& p) {
         SQLite::Database db(p, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
         db.exec("CREATE TABLE songs (title TEXT)");
       },
       "not an outbox"},
      {"garbage", [](const std::string& p) { std::ofstream(p) << std::string(8192, 'x'); },
       "not a database"},
      {"missing folder", [](const std::string&) {}, "folder exists"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = std::string(c.name) == "missing folder"
                          ? (dir_ / "missing" / "o.db").string()
                          : (dir_ / (std::string(c.name) + ".db")).string();
    c.make(file);
    try {
      OpenSqliteStore({file, [] { return kT0; }, [](std::function<void()>) {}, ""});
      ADD_FAILURE() << "opened";
    } catch (const OutboxError& e) {
      EXPECT_THAT(e.what(), HasSubstr(file));
      EXPECT_THAT(e.what(), HasSubstr(c.words));
    }
  }
}

// One failed transaction leaves no trace and takes nobody else's work with it: the claim made
// before it stays, and the store works again once the disk has room.
TEST_F(StoreTest, AFailedCommitTakesNothingAndTouchesNoOtherWork) {
  const std::string claimed_page = AcceptOne();
  const auto claim = Claim(1).jobs.at(0);
  const auto ready = [&] { return Ok<Readiness>([&](auto done) { store().Probe(done); }); };
  EXPECT_TRUE(ready().ready);
  {
    testing::FullDisk full(path() + "-wal");
    const auto big = Page({"2"}, std::string(200'000, 'x'));
    const auto failed = Await<std::vector<Accepted>>([&](auto d) { store().Accept({big}, d); });
    ASSERT_FALSE(failed);
    EXPECT_THAT(failed.error, HasSubstr("check that the disk is not full"));
    EXPECT_TRUE(ready().ready) << "the last answer stands for a second";
    now_ += 1000;
    const auto probe = ready();
    EXPECT_FALSE(probe.ready);
    EXPECT_THAT(probe.reason, HasSubstr(path()));
  }
  EXPECT_EQ(Count().pages, 1) << "nothing of the failed page stayed";
  EXPECT_EQ(Recipient(claimed_page).state, State::kSending);
  EXPECT_THAT(Mark({{claim.lease, "gw"}}), ElementsAre(true));
  now_ += 1000;
  EXPECT_TRUE(ready().ready);
  EXPECT_TRUE(Accept({Page({"3"})}).at(0).created);
}

TEST_F(StoreTest, PruneDeletesOldFinalPagesInSmallBatchesAndKeepsLiveKeys) {
  constexpr Millis kDay = 24 * kHour;
  std::vector<std::string> done_ids;
  for (int i = 0; i < 5; ++i) done_ids.push_back(AcceptOne());
  auto keyed = Page({"k"});
  keyed.idempotency_key = "long-lived";
  keyed.expire_after = 30 * kDay;
  const std::string keyed_id = Accept({keyed}).at(0).id;
  const std::string waiting = AcceptOne();
  for (const auto& job : Claim(6).jobs) {
    if (job.lease.ref.page_id == waiting) continue;
    Finish({Settle(job.lease, State::kDelivered, "gw", "250 ok")});
  }
  Finish({Settle(Claim(1).jobs.at(0).lease, State::kQueued, "gw", "421", 40 * kDay)});

  const auto prune = [&] {
    return Ok<Pruned>([&](auto done) { store().Prune({7 * kDay, 2}, done); });
  };
  now_ += 7 * kDay - 1;
  EXPECT_EQ(prune().pages, 0) << "not yet final for retain";
  now_ += 1;
  const auto first = prune();
  EXPECT_EQ(first.pages, 2);
  EXPECT_TRUE(first.more);
  EXPECT_EQ(prune().pages, 2);
  const auto last = prune();
  EXPECT_EQ(last.pages, 1);
  EXPECT_FALSE(last.more);
  EXPECT_EQ(Count().pages, 2) << "the keyed page and the queued one stay";
  EXPECT_FALSE(Find(done_ids[0]));
  now_ += 30 * kDay;
  EXPECT_EQ(prune().keys, 1);
  EXPECT_FALSE(Find(keyed_id)) << "its key gone, the page goes";
  EXPECT_TRUE(Find(waiting)) << "a page not yet final is never pruned";
  EXPECT_GT(Count().bytes, 0);
}

}  // namespace
}  // namespace kestrel::outbox
