#pragma once
// What the PostgreSQL tests share: a loop, the cluster, a database of the test's own, and
// waiting on the loop for an answer with a deadline.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrel/outbox/pg/client.hpp"
#include "kestrel/platform/event_loop.hpp"
#include "kestrel/testing/pg_cluster.hpp"

namespace kestrel::outbox::pg {

using namespace std::chrono_literals;

class PgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cluster_ = testing::PgCluster::Open();
    if (!cluster_) GTEST_SKIP() << testing::PgCluster::SkipReason();
    conninfo_ = cluster_->CreateDatabase();
  }

  std::unique_ptr<Connection> Connect(Options options = {}) {
    if (options.conninfo.empty()) options.conninfo = conninfo_;
    auto connection = std::make_unique<Connection>(loop_, std::move(options));
    connection->Start();
    EXPECT_TRUE(loop_.RunUntil([&] { return connection->state() == State::kReady; }, 10s))
        << "no connection to the test database";
    return connection;
  }

  // Runs the unit and the loop until its answer (at most `limit`).
  Reply Run(Connection& connection, std::vector<Query> queries,
            std::chrono::milliseconds limit = 10s) {
    std::optional<Reply> reply;
    connection.Run(std::move(queries), [&](Reply r) { reply = std::move(r); });
    if (!loop_.RunUntil([&] { return reply.has_value(); }, limit)) {
      ADD_FAILURE() << "no answer within " << limit.count() << " ms";
      return Reply{Error{}, {}};
    }
    return std::move(*reply);
  }
  Reply Run(Connection& connection, Query query) {
    std::vector<Query> queries;
    queries.push_back(std::move(query));
    return Run(connection, std::move(queries));
  }
  // The first value of a one-statement unit that must succeed.
  std::string Value(Connection& connection, Query query) {
    Reply reply = Run(connection, std::move(query));
    EXPECT_TRUE(reply.ok()) << *reply.error;
    return reply.ok() && reply.results[0].rows() > 0 ? std::string(reply.results[0].Text(0, 0))
                                                     : std::string();
  }

  platform::EventLoop loop_;
  std::optional<testing::PgCluster> cluster_;
  std::string conninfo_;
};

}  // namespace kestrel::outbox::pg
