// The PostgreSQL client against a real server: answers matched to their units in order, values
// carried byte for byte, statements prepared again after a reconnect, notifications across a
// lost connection, and every way a unit can fail.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "pg_test_support.hpp"

namespace kestrel::outbox::pg {
namespace {

std::vector<Query> Unit(std::initializer_list<Query> queries) {
  return std::vector<Query>(queries);
}

using PgClient = PgTest;

TEST_F(PgClient, UnitsAnswerInOrderAndAFailingOneRollsBackAlone) {
  auto db = Connect({.conninfo = conninfo_, .max_in_flight = 16});
  ASSERT_TRUE(Run(*db, Query("CREATE TABLE t (v integer PRIMARY KEY)")).ok());
  // 200 units written without waiting; every 50th inserts a duplicate as its second statement.
  std::vector<int> order;
  std::vector<Reply> replies(200);
  for (int i = 0; i < 200; ++i) {
    const std::string v = std::to_string(i + 1);
    db->Run(Unit({Query("INSERT INTO t VALUES ($1::integer)", {v}),
                  i % 50 == 49 ? Query("INSERT INTO t VALUES (1)")
                               : Query("SELECT $1::integer * 2", {v})}),
            [&, i](Reply reply) {
              order.push_back(i);
              replies[i] = std::move(reply);
            });
  }
  ASSERT_TRUE(loop_.RunUntil([&] { return order.size() == 200; }, 20s));
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(order[i], i);
    if (i % 50 == 49) {
      ASSERT_FALSE(replies[i].ok());
      EXPECT_EQ(replies[i].error->kind, Error::Kind::kStatement);
      EXPECT_EQ(replies[i].error->sqlstate, "23505");
      EXPECT_EQ(replies[i].error->statement, 1);
      EXPECT_FALSE(replies[i].error->MaybeCommitted());
    } else {
      ASSERT_TRUE(replies[i].ok()) << i << ": " << *replies[i].error;
      ASSERT_EQ(replies[i].results.size(), 2u);
      EXPECT_EQ(replies[i].results[0].affected(), 1);
      EXPECT_EQ(replies[i].results[1].Int(0, 0), 2 * (i + 1));
    }
  }
  // The four failing units took their first insert back with them.
  EXPECT_EQ(Value(*db, Query("SELECT count(*) FROM t")), "196");
  EXPECT_EQ(Value(*db, Query("SELECT count(*) FROM t WHERE v IN (50, 100, 150, 200)")), "0");
}

TEST_F(PgClient, ValuesTravelByteForByteAndTheDatabaseRefusesWhatItCannotHold) {
  // Over TLS: OpenSSL holds decrypted input that the socket no longer shows.
  auto db = Connect({.conninfo = cluster_->TlsConninfo(cluster_->database())});
  EXPECT_EQ(Value(*db, Query("SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()")), "t");
  const std::vector<std::string> values = {
      "",
      "NULL",
      "\"quoted\"",
      "back\\slash",
      "{braces,commas}",
      " spaced ",
      "\x01\x1b[31m\x7f",
      "line\r\nbreak",
      "\xc3\xa9t\xc3\xa9 \xe2\x82\xac",
      std::string(8 << 20, 'x'),  // larger than the socket buffers: both ways wait to write
  };
  for (const auto& value : values) {
    Reply reply = Run(*db, Query("SELECT $1::text, length($1::text)", {value}));
    ASSERT_TRUE(reply.ok()) << *reply.error;
    EXPECT_EQ(reply.results[0].Text(0, 0), value) << "a value of " << value.size() << " bytes";
  }
  // The same values, and NULLs between them, as one array parameter.
  std::vector<Param> array(values.begin(), values.end() - 1);
  array.insert(array.begin() + 2, std::nullopt);
  array.push_back(std::nullopt);
  Reply unnested =
      Run(*db, Query("SELECT v FROM unnest($1::text[]) WITH ORDINALITY AS u (v, n) ORDER BY n",
                     {ArrayLiteral(std::span<const Param>(array))}));
  ASSERT_TRUE(unnested.ok()) << *unnested.error;
  ASSERT_EQ(unnested.results[0].rows(), static_cast<int>(array.size()));
  for (int i = 0; i < unnested.results[0].rows(); ++i) {
    EXPECT_EQ(unnested.results[0].IsNull(i, 0), !array[i]) << i;
    if (array[i]) {
      EXPECT_EQ(unnested.results[0].Text(i, 0), *array[i]) << i;
    }
  }
  // An answer larger than one read that is all in the socket before the loop looks (the loop
  // is held up meanwhile): the rest must be read although no new data comes to wake the loop.
  std::optional<Reply> rows;
  db->Run(Query("SELECT repeat('r', 100) FROM generate_series(1, 1000)"),
          [&](Reply r) { rows = std::move(r); });
  loop_.Post([] { std::this_thread::sleep_for(300ms); });
  ASSERT_TRUE(loop_.RunUntil([&] { return rows.has_value(); }, 5s));
  ASSERT_TRUE(rows->ok()) << *rows->error;
  EXPECT_EQ(rows->results[0].rows(), 1000);
  const std::vector<std::int64_t> numbers = {0, -1, INT64_MAX, INT64_MIN};
  EXPECT_EQ(Value(*db, Query("SELECT array_length($1::bigint[], 1)", {ArrayLiteral(numbers)})),
            "4");

  // A NUL byte would cut the value short in libpq: refused before anything is sent, later.
  bool answered = false;
  Reply nul;
  db->Run(Query("SELECT $1::text", {std::string("a\0b", 3)}), [&](Reply r) {
    answered = true;
    nul = std::move(r);
  });
  EXPECT_FALSE(answered) << "a callback from inside Run";
  ASSERT_TRUE(loop_.RunUntil([&] { return answered; }, 5s));
  EXPECT_EQ(nul.error->kind, Error::Kind::kInvalid);
  // Invalid UTF-8 is the server's to refuse; the connection goes on.
  Reply bad = Run(*db, Query("SELECT $1::text", {std::string("\xc3\x28")}));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error->sqlstate, "22021");
  EXPECT_EQ(Value(*db, Query("SELECT 'still here'")), "still here");
}

TEST_F(PgClient, NamedStatementsArePreparedOncePerConnection) {
  static constexpr Statement kAdd{"t_add", "SELECT $1::integer + 1"};
  static constexpr Statement kBroken{"t_broken", "SELEKT 1"};
  auto db = Connect();
  EXPECT_EQ(Value(*db, Query(kAdd, {"1"})), "2");
  EXPECT_EQ(Value(*db, Query(kAdd, {"2"})), "3");
  EXPECT_EQ(Value(*db, Query("SELECT count(*) FROM pg_prepared_statements WHERE name = 't_add'")),
            "1");
  Reply broken = Run(*db, Query(kBroken));
  ASSERT_FALSE(broken.ok());
  EXPECT_EQ(broken.error->sqlstate, "42601");
  EXPECT_EQ(Value(*db, Query(kAdd, {"3"})), "4");

  // A new server process knows no prepared statements; the client prepares them again.
  cluster_->Terminate(db->backend_pid());
  ASSERT_TRUE(
      loop_.RunUntil([&] { return db->connections() == 2 && db->state() == State::kReady; }, 10s));
  EXPECT_EQ(Value(*db, Query(kAdd, {"41"})), "42");
}

TEST_F(PgClient, ListensAgainAfterItsConnectionIsTerminated) {
  auto listener = Connect({.conninfo = conninfo_, .reconnect_min = 50ms});
  auto sender = Connect();
  std::vector<std::string> heard;
  listener->Listen("wake", [&](std::string_view channel, std::string_view payload) {
    EXPECT_EQ(channel, "wake");
    heard.emplace_back(payload);
  });
  std::vector<State> states;
  listener->OnStateChange([&](State state, const Error*) { states.push_back(state); });
  ASSERT_TRUE(Run(*listener, Query("SELECT 1")).ok());  // the LISTEN went before it
  ASSERT_TRUE(Run(*sender, Query("SELECT pg_notify('wake', 'one')")).ok());
  ASSERT_TRUE(loop_.RunUntil([&] { return heard.size() == 1; }, 5s));

  // The server process ends while a unit is in flight: that unit may have committed.
  std::optional<Reply> lost;
  listener->Run(Query("SELECT pg_sleep(30)"), [&](Reply r) { lost = std::move(r); });
  loop_.RunFor(100ms);
  cluster_->Terminate(listener->backend_pid());
  ASSERT_TRUE(loop_.RunUntil([&] { return lost.has_value(); }, 5s));
  EXPECT_EQ(lost->error->kind, Error::Kind::kConnectionLost);
  EXPECT_TRUE(lost->error->MaybeCommitted());
  ASSERT_TRUE(loop_.RunUntil([&] { return listener->state() == State::kReady; }, 10s));
  EXPECT_EQ(states, (std::vector<State>{State::kWaiting, State::kConnecting, State::kReady}));
  ASSERT_TRUE(Run(*listener, Query("SELECT 1")).ok());
  ASSERT_TRUE(Run(*sender, Query("SELECT pg_notify('wake', 'two')")).ok());
  ASSERT_TRUE(loop_.RunUntil([&] { return heard.size() == 2; }, 5s));
  EXPECT_EQ(heard[1], "two");
}

// A TCP port that accepts connections and never says a word.
struct SilentServer {
  SilentServer() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::listen(fd, 4);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
  }
  ~SilentServer() { ::close(fd); }
  int fd = -1;
  int port = 0;
};

TEST_F(PgClient, FailuresToConnectSayWhyAndNeverRepeatThePassword) {
  const std::string wrong = "not-the-password-7f3a";
  SilentServer silent;
  struct Case {
    std::string name;
    std::string conninfo;
    std::string expect;  // in the error texts
  };
  const std::vector<Case> cases = {
      {"wrong password", cluster_->TcpConninfo("postgres", wrong), "password authentication"},
      {"no database", cluster_->Conninfo("no_such_database"), "does not exist"},
      {"unreadable string", "host=127.0.0.1 password=" + wrong + "%zz user", "cannot be read"},
      {"unreadable URI", "postgresql://kestrel:" + wrong + "%zz@127.0.0.1/db", "cannot be read"},
      {"silent server", "host=127.0.0.1 port=" + std::to_string(silent.port),
       "no connection within 300 ms"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Connection db(loop_, {.conninfo = c.conninfo, .connect_timeout = 300ms});
    std::optional<Error> why;
    db.OnStateChange([&](State state, const Error* error) {
      if (state == State::kWaiting && error) why = *error;
    });
    // Refused while not connected, and not from inside Run.
    bool refused = false;
    db.Run(Query("SELECT 1"),
           [&](Reply r) { refused = r.error && r.error->kind == Error::Kind::kUnavailable; });
    db.Start();
    EXPECT_FALSE(refused);
    ASSERT_TRUE(loop_.RunUntil([&] { return why.has_value() && refused; }, 5s));
    const std::string text = why->what + " " + why->server;
    EXPECT_NE(text.find(c.expect), std::string::npos) << text;
    EXPECT_EQ(text.find(wrong), std::string::npos) << text;
    EXPECT_EQ(db.connections(), 0u);
  }
  // The right password, from the fixture's file, over TCP.
  auto tcp = Connect({.conninfo = cluster_->TcpConninfo("postgres")});
  EXPECT_EQ(Value(*tcp, Query("SELECT current_user")), "kestrel");
}

TEST_F(PgClient, AnAnswerLateBeyondTheTimeoutDropsTheConnection) {
  auto db = Connect({.conninfo = conninfo_, .query_timeout = 300ms, .reconnect_min = 50ms});
  const auto start = std::chrono::steady_clock::now();
  Reply late = Run(*db, Unit({Query("SELECT pg_sleep(20)")}), 5s);
  ASSERT_FALSE(late.ok());
  EXPECT_EQ(late.error->kind, Error::Kind::kConnectionLost);
  EXPECT_NE(late.error->what.find("no answer within 300 ms"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  ASSERT_TRUE(loop_.RunUntil([&] { return db->state() == State::kReady; }, 5s));
  EXPECT_EQ(Value(*db, Query("SELECT 'back'")), "back");
}

TEST_F(PgClient, CloseLetsWorkInFlightFinishAndRefusesTheRest) {
  auto db = Connect();
  std::optional<Reply> in_flight;
  db->Run(Query("SELECT pg_sleep(0.2), 'done'"), [&](Reply r) { in_flight = std::move(r); });
  loop_.RunFor(50ms);  // written by now
  std::vector<Error::Kind> later;
  bool closed = false;
  db->Close([&] { closed = true; });
  db->Run(Query("SELECT 1"), [&](Reply r) { later.push_back(r.error->kind); });
  ASSERT_TRUE(loop_.RunUntil([&] { return closed && in_flight && later.size() == 1; }, 5s));
  ASSERT_TRUE(in_flight->ok()) << *in_flight->error;
  EXPECT_EQ(in_flight->results[0].Text(0, 1), "done");
  EXPECT_EQ(later, std::vector<Error::Kind>{Error::Kind::kClosed});
  EXPECT_EQ(db->state(), State::kClosed);

  // Destroying a connection from inside one of its callbacks drops the rest quietly.
  auto doomed = Connect();
  int answers = 0;
  for (int i = 0; i < 5; ++i) {
    doomed->Run(Query("SELECT 1"), [&](Reply) {
      ++answers;
      doomed.reset();
    });
  }
  loop_.RunFor(300ms);
  EXPECT_EQ(answers, 1);
}

}  // namespace
}  // namespace kestrel::outbox::pg
