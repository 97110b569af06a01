// The queue's schema and statements against a real server, run as the store runs them: the
// migration, the CHECKs, accept with its keys, the lease protocol's guards, the sweep,
// retention, and relays racing over one table.

#include <map>
#include <set>

#include "kestrel/outbox/pg/queue_sql.hpp"
#include "kestrel/outbox/pg/schema.hpp"
#include "pg_test_support.hpp"

namespace kestrel::outbox::pg {
namespace {

TEST(PgSchemaVerdict, OneRuleForEveryVersion) {
  const struct {
    int found, known;
    SchemaVerdict verdict;
  } table[] = {
      {0, 3, SchemaVerdict::kMissing},       {1, 3, SchemaVerdict::kOlder},
      {2, 3, SchemaVerdict::kOlder},         {3, 3, SchemaVerdict::kCurrent},
      {4, 3, SchemaVerdict::kNewer},         {-1, 3, SchemaVerdict::kNewer},
      {INT32_MAX, 3, SchemaVerdict::kNewer},
  };
  for (const auto& row : table) {
    EXPECT_EQ(JudgeSchema(row.found, row.known), row.verdict) << row.found;
  }
}

struct Claimed {
  std::string page;
  int index = 0;
  std::string token;
};

class PgQueue : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    if (IsSkipped()) return;
    db_ = Connect();
    std::optional<SchemaStatus> status;
    Migrate(*db_, [&](SchemaStatus s) { status = std::move(s); });
    ASSERT_TRUE(loop_.RunUntil([&] { return status.has_value(); }, 20s));
    ASSERT_EQ(status->verdict, SchemaVerdict::kCurrent) << status->Describe();
  }

  // One page in its own accept transaction, as the store writes a batch.
  static std::vector<Query> AcceptUnit(const std::string& id, std::vector<std::string> pagers,
                                       Param idempotency = std::nullopt, Param dedup = std::nullopt,
                                       std::int64_t expire_after = 3600000) {
    std::vector<std::string> keys;
    if (idempotency) keys.push_back("i:" + *idempotency);
    if (dedup) keys.push_back("d:" + *dedup);
    std::vector<Query> unit;
    unit.emplace_back(kLockKeys, Params{ArrayLiteral(keys)});
    unit.emplace_back(kAcceptPage,
                      Params{id, "api", "hello", "", "", "{}", std::to_string(expire_after),
                             idempotency, dedup, ArrayLiteral(pagers), "false"});
    unit.emplace_back(kWake);
    return unit;
  }
  // → the id that answers, and whether this page was stored.
  std::pair<std::string, bool> Accept(Connection& db, std::vector<Query> unit) {
    Reply reply = Run(db, std::move(unit));
    EXPECT_TRUE(reply.ok()) << *reply.error;
    if (!reply.ok()) return {};
    const Result& r = reply.results[1];
    if (r.Bool(0, 1)) {
      EXPECT_EQ(r.Int(0, 3), r.Int(0, 4)) << "a stored page holds its keys";
    }
    return {std::string(r.Text(0, 0)), r.Bool(0, 1)};
  }

  std::vector<Claimed> Claim(Connection& db, int limit, const std::string& owner,
                             std::int64_t ttl) {
    Reply reply =
        Run(db, Query(kClaim, {std::to_string(limit), owner, std::to_string(ttl), std::nullopt}));
    EXPECT_TRUE(reply.ok()) << *reply.error;
    std::vector<Claimed> claimed;
    if (!reply.ok()) return claimed;
    for (int row = 0; row < reply.results[0].rows(); ++row) {
      claimed.push_back({std::string(reply.results[0].Text(row, 0)),
                         static_cast<int>(*reply.results[0].Int(row, 1)),
                         std::string(reply.results[0].Text(row, 4))});
    }
    return claimed;
  }

  // The tokens a guarded statement answered for (its first column).
  std::set<std::string> Tokens(Connection& db, Query query) {
    Reply reply = Run(db, std::move(query));
    EXPECT_TRUE(reply.ok()) << *reply.error;
    std::set<std::string> tokens;
    for (int row = 0; reply.ok() && row < reply.results[0].rows(); ++row) {
      tokens.emplace(reply.results[0].Text(row, 0));
    }
    return tokens;
  }
  static Query Mark(std::vector<std::string> tokens) {
    std::vector<std::string> gateways(tokens.size(), "gw1");
    return Query(kMarkSendWritten, {"{" + Join(tokens) + "}", ArrayLiteral(gateways)});
  }
  static Query Finish(const std::string& token, const std::string& state,
                      std::int64_t retry_after = 0) {
    return Query(kFinish, {"{" + token + "}", "{" + state + "}", "{\"the reply\"}", "{gw1}",
                           "{" + std::to_string(retry_after) + "}", "{\"\"}", "{true}"});
  }
  static std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : ",") + item;
    return out;
  }
  std::string StateOf(const std::string& page, int index) {
    return cluster_->Sql("SELECT state || ' ' || send_written FROM recipients WHERE page_id = '" +
                         page + "' AND idx = " + std::to_string(index));
  }

  std::unique_ptr<Connection> db_;
};

TEST_F(PgQueue, MigrationsRaceSafelyAndANewerSchemaIsRefused) {
  // A second database, migrated by two relays at once.
  const std::string other = cluster_->CreateDatabase("_fresh");
  auto a = Connect({.conninfo = other});
  auto b = Connect({.conninfo = other});
  std::optional<SchemaStatus> before, first, second, after;
  CheckSchema(*a, [&](SchemaStatus s) { before = std::move(s); });
  ASSERT_TRUE(loop_.RunUntil([&] { return before.has_value(); }, 5s));
  EXPECT_EQ(before->verdict, SchemaVerdict::kMissing) << before->Describe();
  Migrate(*a, [&](SchemaStatus s) { first = std::move(s); });
  Migrate(*b, [&](SchemaStatus s) { second = std::move(s); });
  ASSERT_TRUE(loop_.RunUntil([&] { return first && second; }, 20s));
  EXPECT_EQ(first->verdict, SchemaVerdict::kCurrent) << first->Describe();
  EXPECT_EQ(second->verdict, SchemaVerdict::kCurrent) << second->Describe();
  EXPECT_EQ(cluster_->Admin(other, "SELECT count(*) FROM schema_version"),
            std::to_string(kSchemaVersion))
      << "each step applied once";

  // A newer relay was here: neither starting nor migrating goes on.
  cluster_->Admin(other, "INSERT INTO schema_version (version) VALUES (99)");
  std::optional<SchemaStatus> refused;
  Migrate(*a, [&](SchemaStatus s) { refused = std::move(s); });
  CheckSchema(*b, [&](SchemaStatus s) { after = std::move(s); });
  ASSERT_TRUE(loop_.RunUntil([&] { return refused && after; }, 5s));
  EXPECT_EQ(refused->verdict, SchemaVerdict::kNewer);
  EXPECT_EQ(after->verdict, SchemaVerdict::kNewer);
  EXPECT_NE(after->Describe().find("newer than this relay knows"), std::string::npos);
}

// A database a relay of schema version 1 wrote: migrating keeps every row, marks the data
// pages as needing level 2, and keeps the order in which recipients were accepted.
TEST_F(PgQueue, AVersionOneOutboxIsMigratedAndKept) {
  const std::string old = cluster_->CreateDatabase("_v1");
  auto db = Connect({.conninfo = old});
  std::vector<Query> v1;
  v1.emplace_back(
      "CREATE TABLE schema_version (version integer PRIMARY KEY, "
      "applied_at timestamptz NOT NULL DEFAULT now())");
  v1.emplace_back("INSERT INTO schema_version (version) VALUES (1)");
  for (auto statement : SchemaStep(1)) v1.emplace_back(std::string(statement));
  v1.emplace_back(R"sql(
INSERT INTO pages (id, created_at, expires_at, source, message, data, subject, options) VALUES
  ('text', now(), now() + interval '1 hour', 'api', 'disk full', '', '', '{}'),
  ('body', now(), now() + interval '1 hour', 'api', '', 'line 1
line 2', '', '{}'))sql");
  v1.emplace_back(R"sql(
INSERT INTO recipients (page_id, idx, pager, state, next_at, expires_at) VALUES
  ('body', 0, '200', 'queued', now(), now() + interval '1 hour'),
  ('text', 0, '100', 'queued', now(), now() + interval '1 hour'),
  ('text', 1, '101', 'delivered', now(), now() + interval '1 hour'))sql");
  Reply made = Run(*db, std::move(v1));
  ASSERT_TRUE(made.ok()) << *made.error;

  std::optional<SchemaStatus> status;
  Migrate(*db, [&](SchemaStatus s) { status = std::move(s); });
  ASSERT_TRUE(loop_.RunUntil([&] { return status.has_value(); }, 20s));
  EXPECT_EQ(status->found, 1);
  EXPECT_EQ(status->verdict, SchemaVerdict::kCurrent) << status->Describe();
  EXPECT_EQ(cluster_->Admin(old,
                            "SELECT string_agg(page_id || idx || ':' || needs_level2 || "
                            "':' || state, ' ' ORDER BY seq) FROM recipients"),
            "body0:true:queued text0:false:queued text1:false:delivered");
  Reply level1 = Run(*db, Query(kClaim, {"10", "relay-a", "60000", "false"}));
  ASSERT_TRUE(level1.ok()) << *level1.error;
  ASSERT_EQ(level1.results[0].rows(), 1);
  EXPECT_EQ(level1.results[0].Text(0, 0), "text");
  EXPECT_EQ(Value(*db, Query(kNextDue, {"true"})), "0") << "the data page waits for level 2";
}

// The answer to an accept was lost with the connection, so the store sends the same unit
// again, under the same page id: nothing is stored twice, and the same id answers.
TEST_F(PgQueue, AnAcceptSentAgainUnderItsOwnIdStoresNothingTwice) {
  for (const Param& key : {Param(std::nullopt), Param("k1")}) {
    const std::string id = key ? "keyed" : "plain";
    EXPECT_EQ(Accept(*db_, AcceptUnit(id, {"1", "2"}, key)), std::pair(id, true));
    Reply again = Run(*db_, AcceptUnit(id, {"1", "2"}, key));
    ASSERT_TRUE(again.ok()) << *again.error;
    EXPECT_EQ(again.results[1].Text(0, 0), id);
    EXPECT_TRUE(again.results[1].Bool(0, 1)) << "this id is the one that answers";
    EXPECT_EQ(again.results[1].Int(0, 2), 0) << "no recipient twice";
  }
  EXPECT_EQ(cluster_->Sql("SELECT count(*) FROM pages"), "2");
  EXPECT_EQ(cluster_->Sql("SELECT count(*) FROM recipients"), "4");
}

TEST_F(PgQueue, ChecksRefuseRowsNoTransitionMayMake) {
  ASSERT_TRUE(Accept(*db_, AcceptUnit("p1", {"100"})).second);
  const char* refused[] = {
      "UPDATE recipients SET state = 'lost'",
      "UPDATE recipients SET send_written = true",                        // queued with the mark
      "UPDATE recipients SET state = 'sending'",                          // no lease
      "UPDATE recipients SET state = 'sending', owner = 'x', token = 1",  // still no lease
  };
  for (const char* sql : refused) {
    Reply reply = Run(*db_, Query(sql));
    ASSERT_FALSE(reply.ok()) << sql;
    EXPECT_EQ(reply.error->sqlstate, "23514") << sql;
  }
}

TEST_F(PgQueue, OneKeyOnePageEvenFromTwoRelaysAtOnce) {
  // Within one transaction, the second page with a key answers the first's id.
  std::vector<Query> batch = AcceptUnit("p1", {"100"}, "k1");
  auto again = AcceptUnit("p2", {"100"}, "k1");
  batch.insert(batch.end(), again.begin(), again.end());
  Reply reply = Run(*db_, std::move(batch));
  ASSERT_TRUE(reply.ok()) << *reply.error;
  EXPECT_EQ(reply.results[4].Text(0, 0), "p1");
  EXPECT_FALSE(reply.results[4].Bool(0, 1));

  struct Case {
    std::string name, id;
    Param idempotency, dedup;
    std::int64_t expire_after;
    std::string answer;
    bool created;
  };
  const std::vector<Case> cases = {
      {"idempotency key held", "p3", "k1", std::nullopt, 3600000, "p1", false},
      {"dedup key, new", "p4", std::nullopt, "d1", 3600000, "p4", true},
      {"dedup key held", "p5", std::nullopt, "d1", 3600000, "p4", false},
      {"idempotency wins over dedup", "p6", "k1", "d1", 3600000, "p1", false},
      {"new key that expires at once", "p7", "k2", std::nullopt, 0, "p7", true},
      {"an expired key is taken over", "p8", "k2", std::nullopt, 3600000, "p8", true},
      {"and then held", "p9", "k2", std::nullopt, 3600000, "p8", false},
  };
  for (const auto& c : cases) {
    const auto [id, created] =
        Accept(*db_, AcceptUnit(c.id, {"100"}, c.idempotency, c.dedup, c.expire_after));
    EXPECT_EQ(id, c.answer) << c.name;
    EXPECT_EQ(created, c.created) << c.name;
  }

  // Two relays take the same webhook at the same instant, twenty times over.
  auto other = Connect();
  for (int round = 0; round < 20; ++round) {
    const std::string key = "race" + std::to_string(round);
    std::vector<Reply> replies;
    db_->Run(AcceptUnit("a" + std::to_string(round), {"1", "2"}, key),
             [&](Reply r) { replies.push_back(std::move(r)); });
    other->Run(AcceptUnit("b" + std::to_string(round), {"1", "2"}, key),
               [&](Reply r) { replies.push_back(std::move(r)); });
    ASSERT_TRUE(loop_.RunUntil([&] { return replies.size() == 2; }, 10s));
    ASSERT_TRUE(replies[0].ok() && replies[1].ok()) << round;
    EXPECT_EQ(replies[0].results[1].Text(0, 0), replies[1].results[1].Text(0, 0)) << round;
    EXPECT_NE(replies[0].results[1].Bool(0, 1), replies[1].results[1].Bool(0, 1)) << round;
  }
  EXPECT_EQ(cluster_->Sql("SELECT count(*) FROM pages WHERE id ~ '^[ab][0-9]+$'"), "20");
  EXPECT_EQ(cluster_->Sql("SELECT count(*) FROM recipients WHERE page_id ~ '^[ab][0-9]+$'"), "40");
}

TEST_F(PgQueue, ALostLeaseChangesNothingOfTheClaimThatReplacedIt) {
  std::vector<std::string> woken;
  auto listener = Connect();
  listener->Listen(std::string(kChannel), [&](auto, auto) { woken.emplace_back("wake"); });
  ASSERT_TRUE(Run(*listener, Query("SELECT 1")).ok());
  ASSERT_TRUE(Accept(*db_, AcceptUnit("p1", {"100", "200", "300", "400"})).second);
  ASSERT_TRUE(loop_.RunUntil([&] { return woken.size() == 1; }, 5s)) << "accept wakes";

  // Relay A claims all four: 0 and 1 with a lease that holds, 2 and 3 with one already lapsed
  // (a lease of 0 ms ends at the transaction's own now()).
  const auto held = Claim(*db_, 2, "relay-a", 60000);
  const auto lapsed = Claim(*db_, 2, "relay-a", 0);
  ASSERT_EQ(held.size(), 2u);
  ASSERT_EQ(lapsed.size(), 2u);
  EXPECT_EQ(Claim(*db_, 10, "relay-b", 60000).size(), 0u) << "nothing left to claim";
  EXPECT_EQ(
      Tokens(*db_, Query(kRenew, {"{" + Join({held[0].token, lapsed[0].token}) + "}", "60000"})),
      std::set<std::string>{held[0].token})
      << "a lapsed lease is not renewed";
  // SEND written for 0 (held) and 2 (lapsed): only the held one may go on the wire.
  EXPECT_EQ(Tokens(*db_, Mark({held[0].token, lapsed[0].token})),
            std::set<std::string>{held[0].token});
  // Recipient 1: its SEND was written, then A stopped answering.
  ASSERT_TRUE(Run(*db_, Query("UPDATE recipients SET send_written = true, lease_until = now() "
                              "WHERE idx = 1"))
                  .ok());

  // The sweep: lapsed without SEND → queued; lapsed after SEND → uncertain, never queued.
  Reply swept = Run(*db_, Query(kSweep, {"100"}));
  ASSERT_TRUE(swept.ok()) << *swept.error;
  EXPECT_EQ(swept.results[0].rows(), 3);
  EXPECT_EQ(StateOf("p1", 1), "uncertain true");
  EXPECT_EQ(StateOf("p1", 2), "queued false");
  EXPECT_EQ(StateOf("p1", 3), "queued false");
  ASSERT_TRUE(loop_.RunUntil([&] { return woken.size() == 2; }, 5s)) << "the sweep wakes";

  // Relay B takes 2 and 3 with new tokens; A's late words for them change nothing.
  const auto taken = Claim(*db_, 10, "relay-b", 60000);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(Tokens(*db_, Mark({lapsed[0].token, lapsed[1].token})).size(), 0u);
  EXPECT_EQ(Tokens(*db_, Finish(lapsed[0].token, "delivered")).size(), 0u);
  EXPECT_EQ(StateOf("p1", 2), "sending false");
  EXPECT_EQ(Tokens(*db_, Mark({taken[0].token, taken[1].token})).size(), 2u);

  // Finishes, each guarded by its token and by the state it leaves.
  struct Step {
    std::string name, token, state;
    bool changes;
    int index;
    std::string after;
  };
  const std::vector<Step> steps = {
      {"delivered", held[0].token, "delivered", true, 0, "delivered true"},
      {"twice", held[0].token, "failed", false, 0, "delivered true"},
      {"uncertain never back to queued", held[1].token, "queued", false, 1, "uncertain true"},
      {"a late 250 settles uncertain", held[1].token, "delivered", true, 1, "delivered true"},
      {"a retry clears the mark", taken[0].token, "queued", true, taken[0].index, "queued false"},
      {"not a state", taken[1].token, "sending", false, taken[1].index, "sending true"},
      {"refused", taken[1].token, "refused", true, taken[1].index, "refused true"},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(Tokens(*db_, Finish(s.token, s.state, 60000)).size(), s.changes ? 1u : 0u) << s.name;
    EXPECT_EQ(StateOf("p1", s.index), s.after) << s.name;
  }
  EXPECT_EQ(Claim(*db_, 10, "relay-b", 60000).size(), 0u) << "the retry waits its 60 s";
  EXPECT_EQ(Value(*db_, Query(kNextDue, {std::nullopt})).empty(), false);
}

TEST_F(PgQueue, ExpiryAndRetentionWorkInSmallBatches) {
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(Accept(*db_, AcceptUnit("old" + std::to_string(i), {"1"}, "k" + std::to_string(i),
                                        std::nullopt, 0))
                    .second);
  }
  ASSERT_TRUE(Accept(*db_, AcceptUnit("live", {"1", "2"}, "kept")).second);
  EXPECT_EQ(Claim(*db_, 10, "relay-a", 60000).size(), 2u) << "expired pages are not claimed";
  EXPECT_EQ(Tokens(*db_, Query(kExpire, {"3"})).size(), 3u);
  EXPECT_EQ(Tokens(*db_, Query(kExpire, {"3"})).size(), 2u);
  EXPECT_EQ(Tokens(*db_, Query(kExpire, {"3"})).size(), 0u);

  // Keep for 0 ms: the five final pages go, two at a time; the page still sending stays.
  EXPECT_EQ(Tokens(*db_, Query(kDeleteOldPages, {"0", "2"})).size(), 2u);
  EXPECT_EQ(Tokens(*db_, Query(kDeleteOldPages, {"0", "2"})).size(), 2u);
  EXPECT_EQ(Tokens(*db_, Query(kDeleteOldPages, {"0", "2"})).size(), 1u);
  EXPECT_EQ(Tokens(*db_, Query(kDeleteOldPages, {"0", "2"})).size(), 0u);
  EXPECT_EQ(cluster_->Sql("SELECT string_agg(id, ',') FROM pages"), "live");
  EXPECT_EQ(cluster_->Sql("SELECT count(*) FROM recipients"), "2");
  EXPECT_EQ(cluster_->Sql("SELECT string_agg(key, ',') FROM page_keys"), "i:kept")
      << "keys go with their pages";
  // Pages kept for a day are not touched.
  ASSERT_TRUE(
      Run(*db_, Query("UPDATE recipients SET state = 'delivered', lease_until = NULL")).ok());
  EXPECT_EQ(Tokens(*db_, Query(kDeleteOldPages, {"86400000", "10"})).size(), 0u);
  Reply size = Run(*db_, Query(kSize));
  ASSERT_TRUE(size.ok());
  EXPECT_EQ(size.results[0].Int(0, 0), 1);
  EXPECT_GT(*size.results[0].Int(0, 1), 0);
}

TEST_F(PgQueue, RelaysRacingOverOneTableNeverShareARecipient) {
  for (int page = 0; page < 30; ++page) {
    ASSERT_TRUE(Accept(*db_, AcceptUnit("p" + std::to_string(page),
                                        {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}))
                    .second);
  }
  // Three relays claim, mark SEND written and finish, as fast as the server lets them; the
  // third one's leases lapse at once, so its marks fail and it stops, and a fourth connection
  // sweeps meanwhile, handing its recipients to the others.
  struct Relay {
    std::unique_ptr<Connection> db;
    std::string owner;
    std::int64_t ttl;
    bool busy = false;
  };
  std::vector<Relay> relays;
  for (const auto& [owner, ttl] : {std::pair{"a", 60000}, {"b", 60000}, {"c", 0}}) {
    relays.push_back({Connect(), owner, ttl});
  }
  auto sweeper = Connect();
  std::map<std::string, int> marks;  // page/idx → successful SEND-written marks
  std::set<std::string> delivered;
  int sweeps = 0;
  bool sweeping = false;
  std::function<void(Relay&)> step = [&](Relay& relay) {
    relay.busy = true;
    relay.db->Run(
        Query(kClaim, {"4", relay.owner, std::to_string(relay.ttl), std::nullopt}),
        [&](Reply claim) {
          ASSERT_TRUE(claim.ok()) << *claim.error;
          std::vector<std::string> tokens;
          std::map<std::string, std::string> who;
          for (int row = 0; row < claim.results[0].rows(); ++row) {
            const std::string token(claim.results[0].Text(row, 4));
            tokens.push_back(token);
            who[token] = std::string(claim.results[0].Text(row, 0)) + "/" +
                         std::string(claim.results[0].Text(row, 1));
          }
          if (tokens.empty()) {
            relay.busy = false;
            return;
          }
          relay.db->Run(Mark(tokens), [&, who](Reply marked) {
            ASSERT_TRUE(marked.ok()) << *marked.error;
            std::vector<std::string> ours;
            for (int row = 0; row < marked.results[0].rows(); ++row) {
              const std::string token(marked.results[0].Text(row, 0));
              ++marks[who.at(token)];
              ours.push_back(token);
            }
            if (ours.empty()) {  // every lease lost: SEND must not go out; this relay stops
              relay.busy = false;
              return;
            }
            std::vector<std::string> states(ours.size(), "delivered"), replies(ours.size(), "250"),
                gateways(ours.size(), ""), retry(ours.size(), "0"), notes(ours.size(), ""),
                attempted(ours.size(), "true");
            relay.db->Run(
                Query(kFinish,
                      {"{" + Join(ours) + "}", "{" + Join(states) + "}", "{" + Join(replies) + "}",
                       ArrayLiteral(gateways), "{" + Join(retry) + "}", ArrayLiteral(notes),
                       "{" + Join(attempted) + "}"}),
                [&, who](Reply finished) {
                  ASSERT_TRUE(finished.ok()) << *finished.error;
                  for (int row = 0; row < finished.results[0].rows(); ++row) {
                    delivered.insert(who.at(std::string(finished.results[0].Text(row, 0))));
                  }
                  step(relay);
                });
          });
        });
  };
  const auto deadline = std::chrono::steady_clock::now() + 40s;
  while (delivered.size() < 300 && std::chrono::steady_clock::now() < deadline) {
    for (auto& relay : relays) {
      if (!relay.busy && (relay.ttl > 0 || sweeps < 3)) step(relay);
    }
    if (!sweeping) {
      sweeping = true;
      sweeper->Run(Query(kSweep, {"50"}), [&](Reply r) {
        ASSERT_TRUE(r.ok()) << *r.error;
        ++sweeps;
        sweeping = false;
      });
    }
    loop_.RunFor(20ms);
  }
  ASSERT_EQ(delivered.size(), 300u);
  for (const auto& [recipient, count] : marks) {
    EXPECT_EQ(count, 1) << recipient << ": SEND written under more than one lease";
  }
  EXPECT_EQ(marks.size(), 300u);
  EXPECT_EQ(cluster_->Sql("SELECT count(*) FROM recipients WHERE state = 'delivered'"), "300");
}

}  // namespace
}  // namespace kestrel::outbox::pg
