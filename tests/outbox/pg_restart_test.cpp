// The server crashes (pg_ctl restart -m immediate) under work in flight: what it answered is
// there afterwards, the client reconnects and listens again by itself, and retrying what was
// left open with its idempotency key makes no page twice. These tests run alone: the restart
// ends every other test's connections.

#include "kestrel/outbox/pg/queue_sql.hpp"
#include "kestrel/outbox/pg/schema.hpp"
#include "pg_test_support.hpp"

namespace kestrel::outbox::pg {
namespace {

using PgRestart = PgTest;

// Each try under a new page id, as the store makes one per request.
std::vector<Query> AcceptUnit(int n) {
  static int attempt = 0;
  const std::string key = "k" + std::to_string(n);
  std::vector<Query> unit;
  unit.emplace_back(kLockKeys, Params{ArrayLiteral(std::vector<std::string>{"i:" + key})});
  unit.emplace_back(
      kAcceptPage, Params{"p" + std::to_string(n) + "-" + std::to_string(++attempt), "api", "m", "",
                          "", "{}", "3600000", key, std::nullopt, "{100}", "false"});
  unit.emplace_back(kWake);
  return unit;
}

TEST_F(PgRestart, NothingAnsweredIsLostAndARetryWithTheKeyMakesNoPageTwice) {
  auto db = Connect({.conninfo = conninfo_, .reconnect_min = 50ms, .reconnect_max = 500ms});
  std::optional<SchemaStatus> schema;
  Migrate(*db, [&](SchemaStatus s) { schema = std::move(s); });
  ASSERT_TRUE(loop_.RunUntil([&] { return schema.has_value(); }, 20s));
  ASSERT_EQ(schema->verdict, SchemaVerdict::kCurrent) << schema->Describe();
  int woken = 0;
  db->Listen(std::string(kChannel), [&](auto, auto) { ++woken; });

  constexpr int kPages = 200;
  std::vector<std::optional<Reply>> replies(kPages);
  for (int n = 0; n < kPages; ++n) {
    db->Run(AcceptUnit(n), [&, n](Reply r) { replies[n] = std::move(r); });
  }
  // Let some commit and some be on their way, then crash the server.
  ASSERT_TRUE(loop_.RunUntil([&] { return replies[kPages / 4].has_value(); }, 10s));
  ASSERT_TRUE(cluster_->Restart("immediate"));
  ASSERT_TRUE(loop_.RunUntil(
      [&] {
        for (const auto& r : replies) {
          if (!r) return false;
        }
        return db->state() == State::kReady;
      },
      30s));
  EXPECT_EQ(db->connections(), 2u);

  int answered = 0, open = 0, not_done = 0;
  for (int n = 0; n < kPages; ++n) {
    const Reply& r = *replies[n];
    const std::string key = "'i:k" + std::to_string(n) + "'";
    if (r.ok()) {
      ++answered;
      EXPECT_EQ(cluster_->Sql("SELECT count(*) FROM page_keys WHERE key = " + key), "1")
          << "page " << n << " was answered, so it must have survived the crash";
    } else if (r.error->MaybeCommitted()) {
      ++open;
    } else {
      ++not_done;
      EXPECT_EQ(r.error->kind, Error::Kind::kUnavailable) << *r.error;
      EXPECT_EQ(cluster_->Sql("SELECT count(*) FROM page_keys WHERE key = " + key), "0")
          << "page " << n << " was not sent";
    }
  }
  EXPECT_GT(answered, 0);
  EXPECT_GT(open + not_done, 0) << "the crash came after everything had committed";

  // The store's answer to "may have committed": try again with the same key.
  std::vector<std::optional<Reply>> retried(kPages);
  for (int n = 0; n < kPages; ++n) {
    if (!replies[n]->ok()) db->Run(AcceptUnit(n), [&, n](Reply r) { retried[n] = std::move(r); });
  }
  ASSERT_TRUE(loop_.RunUntil(
      [&] {
        for (int n = 0; n < kPages; ++n) {
          if (!replies[n]->ok() && !retried[n]) return false;
        }
        return true;
      },
      10s));
  for (int n = 0; n < kPages; ++n) {
    if (!replies[n]->ok()) {
      ASSERT_TRUE(retried[n]->ok()) << n << ": " << *retried[n]->error;
    }
  }
  EXPECT_EQ(cluster_->Sql("SELECT count(*) FROM pages"), std::to_string(kPages));
  EXPECT_EQ(cluster_->Sql("SELECT count(*) FROM recipients"), std::to_string(kPages));

  // And the LISTEN came back with the connection.
  const int before = woken;
  ASSERT_TRUE(cluster_->Sql("SELECT pg_notify('kestrel_outbox', '')").empty());
  EXPECT_TRUE(loop_.RunUntil([&] { return woken > before; }, 5s));
}

}  // namespace
}  // namespace kestrel::outbox::pg
