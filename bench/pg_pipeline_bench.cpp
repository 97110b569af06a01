// Pipeline mode against one unit at a time, on one connection to a local PostgreSQL: the rate
// of single-insert units and of accept-shaped units (lock keys, accept a page, wake), each with
// max_in_flight 64 and 1. Needs KESTREL_PG_CONNINFO (a database it may create tables in); with
// fsync on, each commit waits for the disk, as the relay's would.
//
//   KESTREL_PG_CONNINFO="host=/tmp/... port=... user=kestrel dbname=bench" kestrel_pg_bench

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kestrel/outbox/pg/client.hpp"
#include "kestrel/outbox/pg/queue_sql.hpp"
#include "kestrel/outbox/pg/schema.hpp"
#include "kestrel/platform/event_loop.hpp"

using namespace kestrel::outbox::pg;
using namespace std::chrono_literals;

namespace {

// Runs `count` units made by `make`, keeping the connection as busy as it allows; → units/s.
template <typename Make>
double Rate(kestrel::platform::EventLoop& loop, Connection& db, int count, Make make) {
  int done = 0, failed = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    db.Run(make(i), [&](Reply r) {
      ++done;
      if (!r.ok()) ++failed;
    });
  }
  loop.RunUntil([&] { return done == count; }, 120s);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (failed) std::fprintf(stderr, "%d units failed\n", failed);
  return done / took.count();
}

}  // namespace

std::vector<Query> AcceptStatements(const std::string& id) {
  std::vector<Query> unit;
  unit.emplace_back(kLockKeys, Params{ArrayLiteral(std::vector<std::string>{"i:" + id})});
  unit.emplace_back(kAcceptPage, Params{id, "api", "message", "", "", "{}", "3600000", id,
                                        std::nullopt, "{100,200}", "false"});
  unit.emplace_back(kWake);
  return unit;
}

int main() {
  const char* conninfo = std::getenv("KESTREL_PG_CONNINFO");
  if (!conninfo) {
    std::fprintf(stderr, "set KESTREL_PG_CONNINFO to a database to measure in\n");
    return 2;
  }
  kestrel::platform::EventLoop loop;
  int run = 0;
  // Three rounds, the modes side by side in each: the machine's load changes between rounds.
  for (int round = 0; round < 3; ++round) {
    for (std::size_t in_flight : {64u, 1u}) {
      Connection db(loop, {.conninfo = conninfo, .max_in_flight = in_flight});
      db.Start();
      if (!loop.RunUntil([&] { return db.state() == State::kReady; }, 10s)) return 1;
      bool migrated = false;
      Migrate(db, [&](SchemaStatus) { migrated = true; });
      loop.RunUntil([&] { return migrated; }, 20s);
      bool ready = false;
      db.Run(Query("CREATE TABLE IF NOT EXISTS bench (v integer)"), [&](Reply) { ready = true; });
      loop.RunUntil([&] { return ready; }, 10s);
      const double inserts = Rate(loop, db, 2000, [](int i) {
        std::vector<Query> unit;
        unit.emplace_back("INSERT INTO bench VALUES ($1::integer)", Params{std::to_string(i)});
        return unit;
      });
      ++run;
      const double accepts = Rate(loop, db, 1000, [run](int i) {
        return AcceptStatements(std::to_string(run) + "-" + std::to_string(i));
      });
      std::printf("round %d, max_in_flight %2zu: %6.0f insert units/s, %6.0f accepts/s\n", round,
                  in_flight, inserts, accepts);
      if (in_flight == 1) {
        // A client without pipelining: BEGIN, each statement and COMMIT, one round trip each
        // (an explicit transaction outlives the syncs between them).
        ++run;
        const double classic = Rate(loop, db, 5 * 500, [run](int i) {
          const int step = i % 5;
          std::vector<Query> unit;
          if (step == 0) {
            unit.emplace_back("BEGIN");
          } else if (step == 4) {
            unit.emplace_back("COMMIT");
          } else {
            auto all = AcceptStatements(std::to_string(run) + "-" + std::to_string(i / 5));
            unit.push_back(std::move(all[step - 1]));
          }
          return unit;
        });
        std::printf("round %d, statement at a time: %6.0f accepts/s\n", round, classic / 5);
      }
    }
  }
  return 0;
}
