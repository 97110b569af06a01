// The PostgreSQL store where it differs from the SQLite one: opening against schemas it does or
// does not know, the database going away under it (operations fail at once, a finish waits and
// is recorded when it is back), answers lost with the connection and looked for again, and
// wake-ups between relays. The cases both stores share are in store_contract_test.cpp.

#include <gmock/gmock.h>
#include <libpq-fe.h>

#include "kestrel/outbox/pg/store.hpp"
#include "pg_test_support.hpp"

namespace kestrel::outbox::pg {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
template <typename T>
using Outcome = outbox::Result<T>;  // pg::Result is a statement's rows

// A second client that holds a lock, with libpq's blocking calls, as another relay's long
// transaction would: the store's statement that needs it waits on the server.
class Locker {
 public:
  explicit Locker(const std::string& conninfo) : conn_(PQconnectdb(conninfo.c_str()), PQfinish) {
    EXPECT_EQ(PQstatus(conn_.get()), CONNECTION_OK) << PQerrorMessage(conn_.get());
  }
  void Exec(const std::string& sql) {
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(conn_.get(), sql.c_str()), PQclear);
    const auto status = PQresultStatus(result.get());
    EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        << sql << ": " << PQresultErrorMessage(result.get());
  }

 private:
  std::unique_ptr<PGconn, decltype(&PQfinish)> conn_;
};

class PgStoreTest : public PgTest {
 protected:
  StoreOptions Options(std::string conninfo = "") {
    StoreOptions options;
    options.conninfo = conninfo.empty() ? conninfo_ : conninfo;
    options.migrate = true;
    options.connection.reconnect_min = 20ms;
    options.connection.reconnect_max = 200ms;
    return options;
  }
  Opened Open(StoreOptions options) {
    std::optional<Opened> opened;
    OpenStore(loop_, std::move(options), [&](Opened o) { opened = std::move(o); });
    EXPECT_FALSE(opened) << "answered from inside the call";
    EXPECT_TRUE(loop_.RunUntil([&] { return opened.has_value(); }, 20s));
    return opened ? std::move(*opened) : Opened{};
  }
  std::unique_ptr<PgStore> OpenOk(StoreOptions options) {
    auto opened = Open(std::move(options));
    EXPECT_TRUE(opened.store) << opened.error;
    return std::move(opened.store);
  }

  // Starts an operation; its answer lands in the optional.
  template <typename T, typename Op>
  std::shared_ptr<std::optional<Outcome<T>>> Start(Op&& op) {
    auto got = std::make_shared<std::optional<Outcome<T>>>();
    op([got](Outcome<T> r) { *got = std::move(r); });
    return got;
  }
  template <typename T>
  Outcome<T> Wait(const std::shared_ptr<std::optional<Outcome<T>>>& got,
                  std::chrono::milliseconds limit = 10s) {
    if (!loop_.RunUntil([&] { return got->has_value(); }, limit)) {
      ADD_FAILURE() << "no answer within " << limit.count() << " ms";
      return Outcome<T>::Failed("no answer");
    }
    return std::move(**got);
  }
  template <typename T, typename Op>
  Outcome<T> Await(Op&& op) {
    return Wait(Start<T>(std::forward<Op>(op)));
  }

  // The server keeps this test's database to itself: no new connection, the store's ended.
  void TakeDatabaseAway(PgStore& store) {
    cluster_->Admin("postgres",
                    "ALTER DATABASE " + cluster_->database() + " ALLOW_CONNECTIONS false");
    cluster_->Terminate(store.backend_pid());
    ASSERT_TRUE(loop_.RunUntil([&] { return store.connection_state() != State::kReady; }, 10s));
  }
  void GiveDatabaseBack() {
    cluster_->Admin("postgres",
                    "ALTER DATABASE " + cluster_->database() + " ALLOW_CONNECTIONS true");
  }
  // Waits until the server process `pid` waits for a lock.
  void WaitForLockWait(int pid) {
    const std::string sql =
        "SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = "
        "'Lock' AND pid = " +
        std::to_string(pid);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (cluster_->Admin("postgres", sql) != "1") {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "nobody waits for the lock";
      loop_.RunFor(10ms);
    }
  }
  // Ends the store's server process and waits until it has connected again.
  void CutConnection(PgStore& store) {
    const int pid = store.backend_pid();
    cluster_->Terminate(pid);
    ASSERT_TRUE(loop_.RunUntil(
        [&] { return store.connection_state() == State::kReady && store.backend_pid() != pid; },
        10s));
  }
  // Lets the store write what it was given (a unit goes out on the loop's next turn).
  void LetItWrite() { loop_.RunFor(20ms); }

  static NewPage Page(std::vector<std::string> pagers, std::string key = "") {
    NewPage page;
    page.pagers = std::move(pagers);
    page.content.message = "disk full";
    page.source = "api";
    page.idempotency_key = std::move(key);
    return page;
  }
};

TEST_F(PgStoreTest, OpeningRefusesASchemaItDoesNotKnowAndSaysWhatToDo) {
  auto check = Options();
  check.migrate = false;
  const auto missing = Open(check);
  EXPECT_FALSE(missing.store);
  EXPECT_EQ(missing.schema.verdict, SchemaVerdict::kMissing);
  EXPECT_THAT(missing.error, HasSubstr("migrate it first"));

  const auto migrated = Open(Options());
  ASSERT_TRUE(migrated.store) << migrated.error;
  EXPECT_EQ(migrated.schema.found, 0);
  EXPECT_EQ(migrated.schema.now, kSchemaVersion);
  EXPECT_TRUE(Open(check).store) << "a current schema opens without migrating";

  cluster_->Sql("INSERT INTO schema_version (version) VALUES (" +
                std::to_string(kSchemaVersion + 1) + ")");
  for (bool migrate : {false, true}) {
    auto options = Options();
    options.migrate = migrate;
    const auto newer = Open(options);
    EXPECT_FALSE(newer.store) << "migrate " << migrate;
    EXPECT_EQ(newer.schema.verdict, SchemaVerdict::kNewer);
    EXPECT_THAT(newer.error, HasSubstr("newer than this relay knows"));
  }
  // A database it cannot log in to: the opening fails with the server's words, never the
  // password.
  auto wrong = Options(cluster_->TcpConninfo(cluster_->database(), "s3cret-Passw0rd"));
  const auto refused = Open(wrong);
  EXPECT_FALSE(refused.store);
  EXPECT_THAT(refused.error, HasSubstr("password authentication failed"));
  EXPECT_THAT(refused.error, Not(HasSubstr("s3cret-Passw0rd")));

  // The store already open learns of the newer schema at its next probe.
  const auto probe = Await<Readiness>([&](auto done) { migrated.store->Probe(done); });
  ASSERT_TRUE(probe);
  EXPECT_FALSE(probe->ready);
  EXPECT_THAT(probe->reason, HasSubstr("newer than this relay knows"));
}

// The database goes away with a recipient past SEND: the API's work fails at once and says so,
// readiness fails, and the finish of the session already over waits and is recorded once the
// database is back, as are the wake-ups missed meanwhile.
TEST_F(PgStoreTest, WhileTheDatabaseIsAwayOperationsFailAndAFinishWaitsForIt) {
  auto store = OpenOk(Options());
  int woken = 0;
  store->OnWake([&] { ++woken; });
  ASSERT_TRUE(Await<std::vector<Accepted>>([&](auto d) { store->Accept({Page({"1"})}, d); }));
  const auto job = Await<Claimed>([&](auto d) { store->Claim({1}, d); })->jobs.at(0);
  ASSERT_THAT(*Await<std::vector<bool>>([&](auto d) {
    store->MarkSendWritten({{job.lease, "gw"}}, d);
  }),
              ElementsAre(true));

  TakeDatabaseAway(*store);
  const auto accept =
      Await<std::vector<Accepted>>([&](auto d) { store->Accept({Page({"2"})}, d); });
  ASSERT_FALSE(accept);
  EXPECT_THAT(accept.error, HasSubstr("not connected to the database; nothing was done"));
  EXPECT_FALSE(Await<Claimed>([&](auto d) { store->Claim({5}, d); }));
  const auto probe = Await<Readiness>([&](auto d) { store->Probe(d); });
  ASSERT_TRUE(probe);
  EXPECT_FALSE(probe->ready);
  EXPECT_THAT(probe->reason, HasSubstr("not connected to the database"));

  Settlement delivered;
  delivered.lease = job.lease;
  delivered.state = RecipientState::kDelivered;
  delivered.gateway = "gw";
  delivered.reply = "250 Message Sent Successfully";
  auto finish = Start<std::vector<bool>>([&](auto d) { store->Finish({delivered}, d); });
  // Calls after the held finish still complete, in their order.
  auto renew = Start<std::vector<bool>>([&](auto d) { store->Renew({}, d); });
  EXPECT_TRUE(Wait(renew));
  loop_.RunFor(300ms);  // several reconnection attempts, all refused
  EXPECT_FALSE(finish->has_value()) << "a finish waits for the database";

  const int woken_before = woken;
  GiveDatabaseBack();
  const auto finished = Wait(finish);
  ASSERT_TRUE(finished) << finished.error;
  EXPECT_THAT(*finished, ElementsAre(true));
  EXPECT_EQ(cluster_->Sql("SELECT state || ' ' || last_reply FROM recipients"),
            "delivered 250 Message Sent Successfully");
  EXPECT_TRUE(loop_.RunUntil([&] { return woken > woken_before; }, 5s))
      << "a reconnection wakes the dispatcher";
  EXPECT_TRUE(loop_.RunUntil(
      [&] {
        auto ready = Await<Readiness>([&](auto d) { store->Probe(d); });
        return ready && ready->ready;
      },
      5s));
}

// The connection breaks while work waits on the server (here behind another session's lock):
// the accept is sent again and stores its page once; a finish is sent again and, finding its
// recipient already settled as it would have settled it, answers that it held; a mark answers
// that SEND must not go out.
TEST_F(PgStoreTest, AnswersLostWithTheConnectionAreLookedForAgain) {
  auto store = OpenOk(Options());
  ASSERT_TRUE(Await<std::vector<Accepted>>([&](auto d) { store->Accept({Page({"1", "2"})}, d); }));
  const auto jobs = Await<Claimed>([&](auto d) { store->Claim({2}, d); })->jobs;
  ASSERT_EQ(jobs.size(), 2u);
  const auto token = [](const Job& job) { return std::to_string(job.lease.token); };

  Locker locker(cluster_->Conninfo(cluster_->database()));
  locker.Exec("BEGIN");
  locker.Exec("SELECT pg_advisory_xact_lock(1263750736, hashtext('i:webhook-1'))");
  locker.Exec("SELECT 1 FROM recipients FOR UPDATE");
  auto accept =
      Start<std::vector<Accepted>>([&](auto d) { store->Accept({Page({"3"}, "webhook-1")}, d); });
  WaitForLockWait(store->backend_pid());
  CutConnection(*store);
  WaitForLockWait(store->backend_pid());  // sent again, and waiting again
  EXPECT_FALSE(accept->has_value());

  // Behind it on the connection, written, not yet run.
  Settlement settle;
  settle.lease = jobs[0].lease;
  settle.state = RecipientState::kDelivered;
  settle.reply = "250 ok";
  auto finish = Start<std::vector<bool>>([&](auto d) { store->Finish({settle}, d); });
  auto mark = Start<std::vector<bool>>([&](auto d) {
    store->MarkSendWritten({{jobs[1].lease, "gw"}}, d);
  });
  LetItWrite();
  CutConnection(*store);
  const auto marked = Wait(mark);
  ASSERT_TRUE(marked) << marked.error;
  EXPECT_THAT(*marked, ElementsAre(false)) << "unanswered: SEND does not go out";
  WaitForLockWait(store->backend_pid());
  EXPECT_FALSE(finish->has_value());
  // As if the first finish had committed before its answer was lost.
  locker.Exec("UPDATE recipients SET state = 'delivered', lease_until = NULL WHERE token = " +
              token(jobs[0]));
  locker.Exec("COMMIT");

  const auto accepted = Wait(accept);
  ASSERT_TRUE(accepted) << accepted.error;
  EXPECT_TRUE(accepted->at(0).created);
  const auto finished = Wait(finish);
  ASSERT_TRUE(finished) << finished.error;
  EXPECT_THAT(*finished, ElementsAre(true));
  EXPECT_EQ(cluster_->Sql("SELECT count(*) FROM pages"), "2");
  EXPECT_EQ(cluster_->Sql("SELECT string_agg(state || ':' || send_written, ' ' ORDER BY seq) "
                          "FROM recipients"),
            "delivered:false sending:false queued:false");
  const auto again =
      Await<std::vector<Accepted>>([&](auto d) { store->Accept({Page({"3"}, "webhook-1")}, d); });
  EXPECT_EQ(again->at(0).id, accepted->at(0).id);
}

TEST_F(PgStoreTest, AnAcceptWhoseDatabaseStaysAwaySaysItMayHaveBeenStored) {
  auto options = Options();
  options.lost_accept_wait = 300;
  auto store = OpenOk(options);
  Locker locker(cluster_->Conninfo(cluster_->database()));
  locker.Exec("BEGIN");
  locker.Exec("SELECT pg_advisory_xact_lock(1263750736, hashtext('i:k'))");
  auto accept = Start<std::vector<Accepted>>([&](auto d) { store->Accept({Page({"1"}, "k")}, d); });
  WaitForLockWait(store->backend_pid());
  TakeDatabaseAway(*store);
  const auto failed = Wait(accept);
  ASSERT_FALSE(failed);
  EXPECT_THAT(failed.error, HasSubstr("may or may not have been stored"));
  EXPECT_THAT(failed.error, HasSubstr("same idempotency key"));
  locker.Exec("COMMIT");
  GiveDatabaseBack();
  EXPECT_EQ(cluster_->Sql("SELECT count(*) FROM pages"), "0");
}

// Two relays on one database: an accept or a requeue on one wakes the other, also after the
// other's connection was cut and made again.
TEST_F(PgStoreTest, OneRelaysCommitsWakeTheOthers) {
  auto a = OpenOk(Options());
  auto b = OpenOk(Options());
  EXPECT_NE(a->owner(), b->owner());
  int a_woken = 0, b_woken = 0;
  a->OnWake([&] { ++a_woken; });
  b->OnWake([&] { ++b_woken; });
  ASSERT_TRUE(Await<std::vector<Accepted>>([&](auto d) { a->Accept({Page({"1"})}, d); }));
  ASSERT_TRUE(loop_.RunUntil([&] { return b_woken == 1 && a_woken == 1; }, 5s));

  CutConnection(*b);
  ASSERT_TRUE(loop_.RunUntil([&] { return b_woken == 2; }, 5s)) << "the reconnection wakes";
  const auto job = Await<Claimed>([&](auto d) { b->Claim({1}, d); })->jobs.at(0);
  EXPECT_EQ(job.pager, "1");
  Settlement again;
  again.lease = job.lease;
  again.state = RecipientState::kQueued;
  again.reply = "421 busy";
  const int before = a_woken;
  ASSERT_TRUE(Await<std::vector<bool>>([&](auto d) { b->Finish({again}, d); }));
  EXPECT_TRUE(loop_.RunUntil([&] { return a_woken > before; }, 5s)) << "a requeue wakes";
}

}  // namespace
}  // namespace kestrel::outbox::pg
