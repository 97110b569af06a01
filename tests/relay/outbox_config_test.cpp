// Choosing the outbox in the relay's configuration: a SQLite file, a postgresql:// URI, or
// [outbox] with a conninfo_file that keeps the password out of the configuration. No problem
// text repeats a password.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "kestrel/relay/config.hpp"

namespace kestrel::relay {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kSecret = "Sw0rdf1sh-x";

TEST(OutboxConfig, EveryWayOfNamingTheOutbox) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("relay-outbox-config-" + std::to_string(::getpid()) + "-" +
                    std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "tokens") << "token\n";
  std::ofstream(dir / "db.conninfo")
      << "# the shared outbox\n  host=db1,db2 dbname=snpp\n\ntarget_session_attrs=read-write "
         "password="
      << kSecret << "\n";
  std::ofstream(dir / "empty.conninfo") << "# nothing but a comment\n\n";

  struct Case {
    const char* name;
    std::string outbox;  // the TOML after [relay]'s tokens line
    std::string sqlite, conninfo;
    const char* problem;  // words of the one problem; null: none
    Millis lease_ttl = 5'000;
  } cases[] = {
      {"a SQLite file", "outbox = \"o.db\"", (dir / "o.db").string(), "", nullptr},
      {"[outbox] sqlite", "[outbox]\nkind = \"sqlite\"\npath = \"/var/o.db\"", "/var/o.db", "",
       nullptr},
      {"a URI", "outbox = \"postgresql://relay@db1,db2/snpp?target_session_attrs=read-write\"", "",
       "postgresql://relay@db1,db2/snpp?target_session_attrs=read-write", nullptr},
      {"postgres://", "outbox = \"postgres://db1/snpp\"", "", "postgres://db1/snpp", nullptr},
      {"a file's connection string",
       "[outbox]\nkind = \"postgresql\"\nconninfo_file = \"db.conninfo\"", "",
       std::string("host=db1,db2 dbname=snpp target_session_attrs=read-write password=") + kSecret,
       nullptr},
      {"a password in the URI",
       "outbox = \"postgresql://relay:" + std::string(kSecret) + "@db1/s\"", "", "",
       "holds a password"},
      {"a password parameter",
       "outbox = \"postgresql://db1/s?sslmode=verify-full&Password=" + std::string(kSecret) + "\"",
       "", "", "holds a password"},
      {"no password, a colon in the path", "outbox = \"postgresql://db1:5432/s?options=-ca:b\"", "",
       "postgresql://db1:5432/s?options=-ca:b", nullptr},
      {"named twice", "outbox = \"o.db\"\n[outbox]\nkind = \"sqlite\"\npath = \"p.db\"", "", "",
       "named twice"},
      {"no outbox at all", "", "", "", "'outbox' is missing"},
      {"unknown kind", "[outbox]\nkind = \"mysql\"", "", "", "is not \"sqlite\" or \"postgresql\""},
      {"no conninfo_file", "[outbox]\nkind = \"postgresql\"", "", "", "needs conninfo_file"},
      {"a missing conninfo_file", "[outbox]\nkind = \"postgresql\"\nconninfo_file = \"nope\"", "",
       "", "cannot read"},
      {"an empty conninfo_file",
       "[outbox]\nkind = \"postgresql\"\nconninfo_file = \"empty.conninfo\"", "", "",
       "holds no connection string"},
      {"path with postgresql",
       "[outbox]\nkind = \"postgresql\"\nconninfo_file = \"db.conninfo\"\npath = \"o.db\"", "", "",
       "path is for kind = \"sqlite\""},
      {"a typing mistake", "[outbox]\nkind = \"sqlite\"\npath = \"o.db\"\npth = \"x\"", "", "",
       "unknown key 'pth'"},
      {"not a table", "outbox = 5", "", "", "must be a string"},
      {"a shorter lease",
       "[outbox]\nkind = \"postgresql\"\nconninfo_file = \"db.conninfo\"\nlease_ttl = \"2s\"", "",
       std::string("host=db1,db2 dbname=snpp target_session_attrs=read-write password=") + kSecret,
       nullptr, 2'000},
      {"a lease shorter than two renewals",
       "[outbox]\nkind = \"postgresql\"\nconninfo_file = \"db.conninfo\"\nlease_ttl = \"1999ms\"",
       "", "", "lease_ttl must be from 2s"},
      {"a lease of hours",
       "[outbox]\nkind = \"postgresql\"\nconninfo_file = \"db.conninfo\"\nlease_ttl = \"2h\"", "",
       "", "lease_ttl must be from 2s"},
      {"a lease for SQLite", "[outbox]\nkind = \"sqlite\"\npath = \"o.db\"\nlease_ttl = \"5s\"", "",
       "", "lease_ttl is for kind = \"postgresql\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // [relay] outbox = 5 is a key of [relay]; the other cases put their lines after it.
    const std::string text = "[relay]\napi_tokens_file = \"tokens\"\n" + c.outbox +
                             "\n[[gateway]]\nname = \"g\"\n"
                             "server = \"127.0.0.1:1\"\n";
    const auto result = ParseConfig(text, "relay.toml", dir.string());
    for (const auto& problem : result.problems) {
      EXPECT_THAT(problem.what, Not(HasSubstr(kSecret)));
    }
    if (!c.problem) {
      ASSERT_TRUE(result.config) << result.problems.at(0).what;
      EXPECT_EQ(result.config->outbox, c.sqlite);
      EXPECT_EQ(result.config->outbox_conninfo, c.conninfo);
      EXPECT_EQ(result.config->lease_ttl, c.lease_ttl);
      continue;
    }
    ASSERT_EQ(result.problems.size(), 1u);
    EXPECT_THAT(result.problems[0].what, HasSubstr(c.problem));
    EXPECT_GT(result.problems[0].line, 0);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kestrel::relay
