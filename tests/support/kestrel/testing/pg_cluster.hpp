#pragma once
// The tests' PostgreSQL: the cluster the pg_cluster fixture started (tests/outbox/pg_cluster.sh)
// and a fresh database in it for each test, owned by the ordinary role `kestrel`.
//
//   auto cluster = PgCluster::Open();   // in a test body, before anything else:
//   if (!cluster) GTEST_SKIP() << PgCluster::SkipReason();
//   std::string conninfo = cluster->CreateDatabase();   // named after the running test
//
// Setup and inspection use libpq's blocking calls: they run outside the loop under test.
// KESTREL_PG_STATE names the fixture's state folder (CTest sets it). A fixture that found no
// PostgreSQL leaves a reason, and the tests skip with it; a missing or dead cluster otherwise fails
// the test.

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

namespace kestrel::testing {

class PgCluster {
 public:
  static std::optional<PgCluster> Open() {
    const char* state = std::getenv("KESTREL_PG_STATE");
    if (state == nullptr) {
      ADD_FAILURE() << "KESTREL_PG_STATE is not set: run this test through ctest, whose "
                       "pg_cluster fixture starts the cluster";
      return std::nullopt;
    }
    PgCluster cluster;
    cluster.state_ = state;
    if (std::ifstream skip(cluster.state_ + "/skip"); skip) {
      std::getline(skip, Reason());
      return std::nullopt;
    }
    std::ifstream env(cluster.state_ + "/cluster.env");
    if (!env) {
      ADD_FAILURE() << "no cluster in " << cluster.state_ << ": did the pg_cluster fixture run?";
      return std::nullopt;
    }
    for (std::string line; std::getline(env, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) cluster.env_[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return cluster;
  }
  static std::string SkipReason() { return Reason(); }

  std::string socket_dir() const { return env_.at("socket_dir"); }
  const std::string& database() const { return database_; }
  std::string port() const { return env_.at("port"); }

  // A fresh database named after the running test (dropped first if an earlier run left it);
  // returns the conninfo of role kestrel over the Unix socket.
  std::string CreateDatabase(std::string suffix = "") {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "t_" + std::string(info->test_suite_name()) + "_" + info->name() + suffix;
    for (auto& c : name) {
      c = std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
    }
    if (name.size() > 63)
      name = name.substr(0, 50) + "_" + std::to_string(std::hash<std::string>{}(name) % 1000000000);
    Admin("postgres", "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
    Admin("postgres", "CREATE DATABASE " + name + " OWNER kestrel TEMPLATE template0");
    database_ = name;
    return Conninfo(name);
  }
  std::string Conninfo(const std::string& database) const {
    return "host=" + socket_dir() + " port=" + port() + " user=kestrel dbname=" + database;
  }
  // Over TCP to 127.0.0.1 with role kestrel's password, read from the fixture's file.
  std::string TcpConninfo(const std::string& database, std::string password = "") const {
    if (password.empty()) std::getline(std::ifstream(state_ + "/password"), password);
    return "host=127.0.0.1 port=" + port() + " user=kestrel dbname=" + database +
           " password=" + password;
  }

  // The same over TLS, the server's certificate verified against the test CA.
  std::string TlsConninfo(const std::string& database) const {
    return TcpConninfo(database) + " sslmode=verify-full sslrootcert=" + state_ + "/certs/ca.pem";
  }

  // Runs `sql` as the superuser in `database` (default: the test's); returns the first value of
  // the first row ("" when none). A failing statement fails the test.
  std::string Admin(const std::string& database, const std::string& sql) {
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(
        PQconnectdb(
            ("host=" + socket_dir() + " port=" + port() + " user=postgres dbname=" + database)
                .c_str()),
        PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) {
      ADD_FAILURE() << "cannot reach the test cluster: " << PQerrorMessage(conn.get());
      return "";
    }
    PQsetNoticeProcessor(
        conn.get(), [](void*, const char*) {}, nullptr);
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(conn.get(), sql.c_str()), PQclear);
    const auto status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      ADD_FAILURE() << sql << ": " << PQresultErrorMessage(result.get());
      return "";
    }
    if (PQntuples(result.get()) == 0 || PQnfields(result.get()) == 0) return "";
    return PQgetvalue(result.get(), 0, 0);
  }
  std::string Sql(const std::string& sql) { return Admin(database_, sql); }

  // Ends a server process, as an administrator or a failing network would.
  void Terminate(int backend_pid) {
    Admin("postgres", "SELECT pg_terminate_backend(" + std::to_string(backend_pid) + ")");
  }

  // pg_ctl restart -m `mode`: "immediate" is a crash of the server (the machine stays up).
  bool Restart(const std::string& mode = "immediate") {
    const std::string command = "sh '" + env_.at("script") + "' restart '" + state_ + "' " + mode;
    return std::system(command.c_str()) == 0;
  }

 private:
  static std::string& Reason() {
    static std::string reason;
    return reason;
  }
  std::string state_;
  std::string database_;
  std::map<std::string, std::string> env_;
};

}  // namespace kestrel::testing
