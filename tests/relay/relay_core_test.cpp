// The relay's configuration and request parsing: every problem of a damaged file with its line,
// every kind of bad request turned away with the right status, and alerts made into pages.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "kestrel/delivery/message.hpp"
#include "kestrel/relay/config.hpp"
#include "kestrel/relay/operator_requests.hpp"
#include "kestrel/relay/requests.hpp"

namespace kestrel::relay {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::HasSubstr;

constexpr const char* kGoodConfig = R"toml(
[relay]
listen = "[::1]:9444"
outbox = "outbox.db"
api_tokens_file = "tokens"
expire_after = "30m"
retain = "3d"

[retry]
backoff = "250ms"
max_backoff = "1m"

[[gateway]]
name = "primary"
server = "pager.example.net"
level = 2
login = "ops"
password_file = "primary.password"
concurrency = 8
batch = 25

[[gateway]]
name = "backup"
server = "127.0.0.1:4444"

[[receiver]]
name = "oncall"
pagers = ["5551234", "5555678"]
max_length = 20
ascii = true
require_level2 = true
template = "{{status}} {{labels.alertname}} x{{count}}"
)toml";

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("relay-config-" + std::to_string(::getpid()) +
                                                     "-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
    Write("tokens", "# ops\n  secret-one  \n\ngrafana\tread  secret-two\n");
    Write("primary.password", "hunter2\n");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
  }
  ConfigResult Parse(std::string_view text) { return ParseConfig(text, "relay.toml", dir_); }

  std::filesystem::path dir_;
};

TEST_F(ConfigTest, AGoodFileWithSecretsFromTheirFiles) {
  const auto result = Parse(kGoodConfig);
  ASSERT_TRUE(result.config) << (result.problems.empty() ? "" : result.problems[0].what);
  const RelayConfig& config = *result.config;
  EXPECT_EQ(config.listen_host, "::1");
  EXPECT_EQ(config.listen_port, 9444);
  EXPECT_EQ(config.outbox, (dir_ / "outbox.db").string());
  EXPECT_THAT(
      config.api_tokens,
      ElementsAre(AllOf(Field(&ApiToken::secret, "secret-one"), Field(&ApiToken::name, "line 2"),
                        Field(&ApiToken::role, TokenRole::kOperate)),
                  AllOf(Field(&ApiToken::secret, "secret-two"), Field(&ApiToken::name, "grafana"),
                        Field(&ApiToken::role, TokenRole::kRead))));
  EXPECT_EQ(config.expire_after, 30 * 60'000);
  EXPECT_EQ(config.backoff, 250);
  EXPECT_EQ(config.max_backoff, 60'000);
  ASSERT_EQ(config.gateways.size(), 2u);
  EXPECT_EQ(config.gateways[0].host, "pager.example.net");
  EXPECT_EQ(config.gateways[0].port, 444);
  EXPECT_EQ(config.gateways[0].password, "hunter2");
  EXPECT_EQ(config.gateways[0].concurrency, 8);
  EXPECT_EQ(config.gateways[1].port, 4444);
  EXPECT_EQ(config.gateways[1].concurrency, 4);
  EXPECT_EQ((std::pair{config.gateways[0].batch, config.gateways[1].batch}), (std::pair{25, 1}));
  ASSERT_NE(config.FindReceiver("oncall"), nullptr);
  EXPECT_EQ(config.FindReceiver("oncall")->max_length, 20);
  EXPECT_TRUE(config.FindReceiver("oncall")->require_level2);
  EXPECT_EQ(config.retain, 3 * 24 * 3'600'000LL);
  EXPECT_EQ(config.FindReceiver("nobody"), nullptr);
}

TEST_F(ConfigTest, EveryProblemIsReportedWithItsLine) {
  const auto result = Parse(R"toml(
[relay]
outbox = "outbox.db"
api_tokens_file = "missing-tokens"
expire_after = "soon"
listen = "localhost"

[retry]
backof = "1s"

[[gateway]]
name = "a"
server = "h:99999"
password = "plain"
level = 4

[[gateway]]
name = "a"
server = "h2"
concurrency = "4"
batch = 0

[[receiver]]
name = "r"
pagers = []
template = "{{#open}}"
)toml");
  EXPECT_FALSE(result.config);
  std::vector<std::pair<int, std::string>> seen;
  for (const auto& p : result.problems) seen.emplace_back(p.line, p.what);
  const auto has = [&](int line, const std::string& text) {
    return Contains(::testing::Pair(line, HasSubstr(text)));
  };
  EXPECT_THAT(seen, has(4, "api_tokens_file: cannot read"));
  EXPECT_THAT(seen, has(5, "is not a duration"));
  EXPECT_THAT(seen, has(6, "is not HOST:PORT"));
  EXPECT_THAT(seen, has(9, "unknown key 'backof'"));
  EXPECT_THAT(seen, has(13, "is not HOST[:PORT]"));
  EXPECT_THAT(seen, has(14, "password_file"));
  EXPECT_THAT(seen, has(15, "must be from 1 to 3"));
  EXPECT_THAT(seen, has(18, "another gateway is named 'a'"));
  EXPECT_THAT(seen, has(20, "must be an integer"));
  EXPECT_THAT(seen, has(21, "must be from 1 to 1000"));
  EXPECT_THAT(seen, has(25, "'pagers' must be a list"));
  EXPECT_THAT(seen, has(26, "template"));
  EXPECT_EQ(seen.size(), 12u);
}

TEST_F(ConfigTest, DamagedFilesAndMissingParts) {
  struct Case {
    const char* text;
    int line;
    const char* problem;
  };
  const Case cases[] = {
      {"[relay\noutbox = 1", 1, "fix the TOML syntax"},
      {"[relay]\noutbox = \"o\"\napi_tokens_file = \"tokens\"\n", 1, "no [[gateway]]"},
      {"[[gateway]]\nname = \"g\"\nserver = \"h\"\n", 1, "[relay] is missing"},
      {"relay = 3\n", 1, "[relay] is missing"},
      {"[relay]\noutbox = \"\"\napi_tokens_file = \"tokens\"\n[[gateway]]\nname=\"g\"\n"
       "server=\"h\"\n",
       2, "'outbox' must not be empty"},
      {"[relay]\noutbox = \"o\"\napi_tokens_file = \"tokens\"\n[gateway]\nname=\"g\"\n", 4,
       "must be written [[gateway]]"},
      {"[relay]\noutbox = \"o\"\napi_tokens_file = \"tokens\"\n[[gateway]]\nname=\"g\"\n"
       "server=\"h\"\ntls = true\nca_file = \"missing-ca.pem\"\n",
       8, "missing-ca.pem"},
      {"\xff\xfe[relay]", 1, "fix the TOML syntax"},
      // Pager ids by the one rule every entry point shares; the limits at their edges.
      {"[relay]\noutbox = \"o\"\napi_tokens_file = \"tokens\"\nmax_connections = 0\n", 4,
       "'max_connections' must be from 1"},
      {"[[receiver]]\nname = \"r\"\npagers = [\"555\\t1234\"]\n", 3, "holds a space or TAB"},
      {"[[receiver]]\nname = \"r\"\npagers = [\"55\\u001b1\"]\n", 3,
       "\"55\\x1b1\" holds a control character"},
      {"[[receiver]]\nname = \"r\"\npagers = [\"\"]\n", 3, "a pager id is empty"},
      {"[[receiver]]\nname = \"r\"\npagers = [\"caf\u00e9\"]\n", 3, "not ASCII"},
      {"[[receiver]]\nname = \"r\"\npagers = [\"1\"]\nmax_parts = 0\n", 4,
       "'max_parts' must be from 1 to 100"},
      {"[[receiver]]\nname = \"r\"\npagers = [\"1\"]\nmax_parts = -1\n", 4, "max_parts"},
      {"[[gateway]]\nname = \"g\"\nserver = \"h\"\nlogin = \"ops\\u0000\"\n", 4, "printable"},
  };
  for (const auto& c : cases) {
    const auto result = Parse(c.text);
    EXPECT_FALSE(result.config) << c.text;
    EXPECT_THAT(result.problems, Contains(AllOf(Field(&ConfigProblem::line, c.line),
                                                Field(&ConfigProblem::what, HasSubstr(c.problem)))))
        << c.text;
  }
}

// A secret file is a regular file of bounded size, read without blocking; one that other users
// may read is loaded with a warning.
TEST_F(ConfigTest, SecretFilesAreRegularBoundedAndPrivate) {
  const std::string relay = "[relay]\noutbox = \"o\"\napi_tokens_file = \"tokens\"\n";
  const std::string gateway =
      "[[gateway]]\nname = \"g\"\nserver = \"h\"\npassword_file = \"primary.password\"\n";
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(dir_ / "folder");
  Write("huge", std::string(kMaxSecretFile + 1, 'x'));
  struct Case {
    std::string tokens_file;
    const char* problem;
  };
  const Case refused[] = {
      {(dir_ / "fifo").string(), "is not a regular file"},
      {"/dev/zero", "is not a regular file"},
      {(dir_ / "folder").string(), "is not a regular file"},
      {(dir_ / "huge").string(), "is larger than 65536 bytes"},
      {(dir_ / "missing").string(), "cannot read"},
  };
  for (const auto& c : refused) {
    const auto result =
        Parse("[relay]\noutbox = \"o\"\napi_tokens_file = \"" + c.tokens_file + "\"\n" + gateway);
    EXPECT_FALSE(result.config) << c.tokens_file;
    EXPECT_THAT(result.problems, Contains(AllOf(Field(&ConfigProblem::line, 3),
                                                Field(&ConfigProblem::what, HasSubstr(c.problem)))))
        << c.tokens_file;
  }

  const auto warnings = [&](mode_t tokens, mode_t password) {
    ::chmod((dir_ / "tokens").c_str(), tokens);
    ::chmod((dir_ / "primary.password").c_str(), password);
    const auto result = Parse(relay + gateway);
    EXPECT_TRUE(result.config);
    std::vector<std::pair<int, std::string>> seen;
    for (const auto& w : result.warnings) seen.emplace_back(w.line, w.what);
    return seen;
  };
  EXPECT_THAT(warnings(0600, 0600), ::testing::IsEmpty());
  // Group-readable is the unit's layout when the group is the relay's own.
  EXPECT_THAT(warnings(0640, 0640), ::testing::IsEmpty());
  EXPECT_THAT(
      warnings(0644, 0604),
      ElementsAre(::testing::Pair(3, HasSubstr("api_tokens_file '" + (dir_ / "tokens").string() +
                                               "' (mode 0644) can be read by every user")),
                  ::testing::Pair(7, HasSubstr("password_file"))));
  // Another group than the relay's: only when this process may give the file one.
  if (::chown((dir_ / "tokens").c_str(), static_cast<uid_t>(-1), ::getegid() + 1) == 0) {
    EXPECT_THAT(warnings(0640, 0600),
                ElementsAre(::testing::Pair(3, HasSubstr("its group, which is not the relay's"))));
  }
}

// A tokens file line at its edges: one field is always a bare token; three are a name, a role
// and a token; nothing else is taken, and no problem repeats what the line holds.
TEST(TokenLines, ABareTokenOrNameRoleTokenAndNothingElse) {
  struct Case {
    std::string line;
    const char* name;  // nullptr: no token
    TokenRole role;
    const char* secret;
    const char* problem;  // nullptr: none
  } cases[] = {
      {"", nullptr, TokenRole::kOperate, nullptr, nullptr},
      {" \t \r", nullptr, TokenRole::kOperate, nullptr, nullptr},
      {"  # read operate s3cret", nullptr, TokenRole::kOperate, nullptr, nullptr},
      {"s3cret\r", "line 7", TokenRole::kOperate, "s3cret", nullptr},
      {"read", "line 7", TokenRole::kOperate, "read", nullptr},  // a token that reads "read"
      {"abc+/==", "line 7", TokenRole::kOperate, "abc+/==", nullptr},
      {"oncall operate s3cret", "oncall", TokenRole::kOperate, "s3cret", nullptr},
      {"\tgrafana\tread\ts3cret  ", "grafana", TokenRole::kRead, "s3cret", nullptr},
      {"a.b_c-9 read #s3cret", "a.b_c-9", TokenRole::kRead, "#s3cret", nullptr},
      {"oncall s3cret", nullptr, TokenRole::kOperate, nullptr, "this line has 2 fields"},
      {"on call read s3cret", nullptr, TokenRole::kOperate, nullptr, "this line has 4 fields"},
      {"oncall admin s3cret", nullptr, TokenRole::kOperate, nullptr, "read or operate"},
      {"oncall Read s3cret", nullptr, TokenRole::kOperate, nullptr, "read or operate"},
      {"on/call read s3cret", nullptr, TokenRole::kOperate, nullptr, "1 to 64 of"},
      {std::string(65, 'n') + " read s3cret", nullptr, TokenRole::kOperate, nullptr, "1 to 64"},
      {"s3\x1b[2Jcret", nullptr, TokenRole::kOperate, nullptr, "control character"},
      {"oncall read s3cret\x7f", nullptr, TokenRole::kOperate, nullptr, "control character"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const auto parsed = ParseTokenLine(c.line, 7);
    EXPECT_EQ(parsed.token.has_value(), c.name != nullptr);
    if (parsed.token) {
      EXPECT_EQ(parsed.token->name, c.name);
      EXPECT_EQ(parsed.token->role, c.role);
      EXPECT_EQ(parsed.token->secret, c.secret);
    }
    if (c.problem) {
      EXPECT_THAT(parsed.problem, HasSubstr(c.problem));
      EXPECT_THAT(parsed.problem, ::testing::Not(HasSubstr("s3")));
    } else {
      EXPECT_EQ(parsed.problem, "");
    }
  }
}

TEST_F(ConfigTest, ATokensFileWithAProblemNamesItsLineAndNoSecret) {
  const std::string text =
      "[relay]\noutbox = \"o\"\napi_tokens_file = \"tokens\"\n[[gateway]]\nname = \"g\"\n"
      "server = \"h\"\n";
  Write("tokens", "alpha-secret\nops operate alpha-secret\nops read beta-secret\nx y\n");
  const auto result = Parse(text);
  EXPECT_FALSE(result.config);
  std::vector<std::string> seen;
  for (const auto& p : result.problems) {
    EXPECT_EQ(p.line, 3);
    EXPECT_THAT(p.what, ::testing::Not(HasSubstr("-secret")));
    seen.push_back(p.what.substr(p.what.find("' line ") + 2));
  }
  EXPECT_THAT(seen, ElementsAre(HasSubstr("line 2: the same token as the one named \"line 1\""),
                                HasSubstr("line 3: the name \"ops\" is taken"),
                                HasSubstr("line 4: write a token alone")));
}

// The operator's parameters at their edges; what the relay makes of each (see the end-to-end
// cases in operator_cli_test.py for the answers as a client sees them).
TEST(OperatorRequests, TimesPercentEncodingAndPathsAtTheirEdges) {
  constexpr outbox::Millis kDay = 86'400'000;
  const std::pair<const char*, std::optional<outbox::Millis>> times[] = {
      {"1970-01-01", 0},
      {"1970-01-02T00:00", kDay},
      {"2026-12-09T03:17:26.506Z", 1'796'786'246'506},
      {"2026-12-09T03:17:26.5069999Z", 1'796'786'246'506},  // cut, not rounded
      {"2024-02-29", 1'709'164'800'000},                    // a leap day
      {"2026-02-29", std::nullopt},
      {"2100-02-29", std::nullopt},
      {"2026-13-01", std::nullopt},
      {"2026-00-10", std::nullopt},
      {"2026-12-09T24:00", std::nullopt},
      {"2026-12-09T03:60", std::nullopt},
      {"2026-12-09T03:17:60", std::nullopt},
      {"2026-12-09T03", std::nullopt},
      {"2026-12-09T03:17:26.", std::nullopt},
      {"2026-12-09T03:17:26.1234567890", std::nullopt},
      {"2026-12-09 03:17", std::nullopt},
      {"2026-12-9", std::nullopt},
      {"+026-12-09", std::nullopt},
      {"2026-12-09ZZ", std::nullopt},
      {"", std::nullopt},
      {"Z", std::nullopt},
  };
  for (const auto& [text, millis] : times) EXPECT_EQ(ParseUtcTime(text), millis) << text;

  EXPECT_EQ(PercentDecode("on%20call+x%2e%2E%2F", true), "on call x../");
  EXPECT_EQ(PercentDecode("a+b", false), "a+b");
  EXPECT_EQ(PercentDecode("%00", false), std::string(1, '\0'));
  for (const char* bad : {"%", "%2", "%G0", "a%0", "%%41"}) {
    EXPECT_FALSE(PercentDecode(bad, false)) << bad;
  }

  const auto target = [](std::string_view rest) -> std::string {
    const auto parsed = ParseActionPath(rest);
    if (!parsed) return "not an action";
    if (const auto* error = std::get_if<RequestError>(&*parsed)) {
      return std::to_string(error->status);
    }
    const auto& t = std::get<ActionTarget>(*parsed);
    return std::string(outbox::ToString(t.action)) + " " + t.page_id + " [" + t.pager + "]";
  };
  EXPECT_EQ(target("ab12/recipients/555/resend"), "resend ab12 [555]");
  EXPECT_EQ(target("%61b/recipients/%2E%2E/dismiss"), "dismiss ab [..]");
  EXPECT_EQ(target("ab/recipients/a%2Fb%3Fc/resend"), "resend ab [a/b?c]");
  EXPECT_EQ(target("ab/recipients/../resend"), "400");
  EXPECT_EQ(target("ab/recipients/./dismiss"), "400");
  EXPECT_EQ(target("ab/recipients/%/resend"), "400");
  EXPECT_EQ(target("ab/recipients/55%201/resend"), "400");  // a space: no pager id
  EXPECT_EQ(target("ab/recipients//resend"), "400");
  EXPECT_EQ(target("AB/recipients/555/resend"), "404");
  EXPECT_EQ(target("ab/recipients/a/b/resend"), "not an action");
  EXPECT_EQ(target("ab/recipients/555/delete"), "not an action");
  EXPECT_EQ(target("ab/recipients/555"), "not an action");
  EXPECT_EQ(target("ab"), "not an action");
}

TEST(ConfigValues, TheShippedSampleIsValid) {
  std::ifstream in(KESTREL_RELAY_SAMPLE_CONFIG);
  ASSERT_TRUE(in);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto result = ParseConfig(text, "snpp-relay.toml", "", false);
  EXPECT_TRUE(result.config) << (result.problems.empty() ? "" : result.problems[0].what);
}

TEST(ConfigValues, DurationsAndAddresses) {
  EXPECT_EQ(ParseDuration("30s"), 30'000);
  EXPECT_EQ(ParseDuration("5m"), 300'000);
  EXPECT_EQ(ParseDuration("1h"), 3'600'000);
  EXPECT_EQ(ParseDuration("250ms"), 250);
  EXPECT_EQ(ParseDuration("7d"), 7 * 24 * 3'600'000LL);
  for (const char* bad :
       {"", "s", "10", "1.5s", "-1s", "1w", "1 s", "99999999999999999999h", "1000000000000d"}) {
    EXPECT_FALSE(ParseDuration(bad)) << bad;
  }
  EXPECT_EQ(ParseHostPort("[::1]:80", std::nullopt),
            std::make_pair(std::string("::1"), std::uint16_t{80}));
  EXPECT_EQ(ParseHostPort("pager", 444), std::make_pair(std::string("pager"), std::uint16_t{444}));
  for (const char* bad : {"::1:80", "h:", "h:x", "h:65536", ":80", "[]:1", "h\n:1"}) {
    EXPECT_FALSE(ParseHostPort(bad, 444)) << bad;
  }
  // The retry waits themselves are the delivery layer's Backoff (see Disposition.NextState).
}

class RequestTest : public ::testing::Test {
 protected:
  RequestTest() {
    ReceiverConfig oncall;
    oncall.name = "oncall";
    oncall.pagers = {"5551234", "5555678"};
    oncall.max_length = 40;
    oncall.template_text = "[{{status}}] {{labels.alertname}}: {{annotations.summary}} ({{count}})";
    config_.receivers.push_back(oncall);
    config_.expire_after = 60'000;
  }
  RelayConfig config_;
};

TEST_F(RequestTest, PagesFromTheApi) {
  auto result = ParsePageRequest(
      R"({"pagers":["1","2"],"message":"disk full","subject":"db1","idempotencyKey":"k",
          "level2":{"alert":true,"coverage":3,"hold":"0812151200","callerId":"ops"}})",
      config_);
  ASSERT_TRUE(std::holds_alternative<Pages>(result));
  const auto& page = std::get<Pages>(result).pages.at(0);
  EXPECT_THAT(page.pagers, ElementsAre("1", "2"));
  EXPECT_EQ(page.content.message, "disk full");
  EXPECT_EQ(page.content.subject, "db1");
  EXPECT_EQ(page.idempotency_key, "k");
  EXPECT_EQ(page.expire_after, 60'000);
  EXPECT_EQ(page.content.options,
            R"({"alert":true,"callerId":"ops","coverage":3,"hold":"0812151200"})");

  EXPECT_FALSE(page.require_level2);

  config_.receivers[0].require_level2 = true;  // the receiver's choice goes with its pages
  result = ParsePageRequest(R"({"receiver":"oncall","data":"line 1\nline 2"})", config_);
  ASSERT_TRUE(std::holds_alternative<Pages>(result));
  EXPECT_THAT(std::get<Pages>(result).pages.at(0).pagers, ElementsAre("5551234", "5555678"));
  EXPECT_EQ(std::get<Pages>(result).pages.at(0).content.data, "line 1\nline 2");
  EXPECT_TRUE(std::get<Pages>(result).pages.at(0).require_level2);
}

TEST_F(RequestTest, BadRequestsSayWhatIsWrong) {
  struct Case {
    const char* body;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"{\"pagers\":[\"1\"],\"message\":", 400, "not valid JSON"},
      {"", 400, "not valid JSON"},
      {"[1,2]", 400, "must be a JSON object"},
      {R"({"pagers":"1","message":"m"})", 400, "\"pagers\" must be a list"},
      {R"({"pagers":[1],"message":"m"})", 400, "each pager id"},
      {R"({"pagers":["1 2"],"message":"m"})", 400, "each pager id"},
      {R"({"pagers":[],"message":"m"})", 400, "\"pagers\" must be a list"},
      {R"({"pagers":["1"],"message":5})", 400, "\"message\" must be a string"},
      {R"({"pagers":["1"]})", 400, "either \"message\""},
      {R"({"pagers":["1"],"message":"a","data":"b"})", 400, "either \"message\""},
      {R"({"pagers":["1"],"message":"a\r\nPAGE 2"})", 400, "one line"},
      {R"({"pagers":["1"],"message":"m","subject":"a\nb"})", 400, "\"subject\" must be one line"},
      {R"({"pagers":["1"],"receiver":"oncall","message":"m"})", 400, "not both"},
      {R"({"message":"m"})", 400, "not both or neither"},
      {R"({"pagers":["1"],"message":"m","extra":1})", 400, "unknown member \"extra\""},
      {R"({"pagers":["1"],"message":"m","level2":{"alert":"yes"}})", 400, "level2.alert"},
      {R"({"pagers":["1"],"message":"m","level2":{"coverage":-1}})", 400, "level2.coverage"},
      {R"({"pagers":["1"],"message":"m","level2":{"hold":"1 2"}})", 400, "level2.hold"},
      {R"({"pagers":["1"],"message":"m","level2":{"priority":1}})", 400, "unknown option"},
      {R"({"pagers":["1"],"message":"m","idempotencyKey":""})", 400, "idempotencyKey"},
      {R"({"receiver":"nobody","message":"m"})", 404, "no receiver is named \"nobody\""},
      {R"({"receiver":7,"message":"m"})", 400, "\"receiver\" must be a string"},
      // What would fail at every gateway never reaches the outbox.
      {R"({"pagers":["555\t1234"],"message":"m"})", 400, "\"555\\x091234\" holds a space or TAB"},
      {R"({"pagers":["55\u00001"],"message":"m"})", 400, "\"55\\x001\" holds a control"},
      {R"({"pagers":["5\u00e9"],"message":"m"})", 400, "not ASCII"},
      {R"({"pagers":["1"],"message":"disk\u0000full"})", 400,
       "\"message\" holds the control character \\x00"},
      {R"({"pagers":["1"],"message":"a\u001b[2Jb"})", 400, "control character \\x1b"},
      {R"({"pagers":["1"],"message":"m","subject":"s\u0000"})", 400, "\"subject\" holds"},
      {R"({"pagers":["1"],"data":"line 1\n\u0007"})", 400, "\"data\" holds"},
      {R"({"pagers":["1"],"message":"m","level2":{"hold":"08\u0001"}})", 400, "level2.hold"},
  };
  for (const auto& c : cases) {
    const auto result = ParsePageRequest(c.body, config_);
    ASSERT_TRUE(std::holds_alternative<RequestError>(result)) << c.body;
    EXPECT_EQ(std::get<RequestError>(result).status, c.status) << c.body;
    EXPECT_THAT(std::get<RequestError>(result).message, HasSubstr(c.message)) << c.body;
  }
  // A line at most kMaxLineBytes; nesting at most kMaxJsonDepth, checked before anything else.
  const std::string longest(kMaxLineBytes, 'x');
  const auto nested = [](int depth) {
    return std::string(depth - 1, '[') + std::string(depth - 1, ']');
  };
  const std::pair<std::string, const char*> generated[] = {
      {R"({"pagers":["1"],"message":")" + longest + "x\"}", "a line of 4001 bytes"},
      {R"({"pagers":["1"],"data":"a\n)" + longest + "x\\nb\"}", "\"data\" has a line of 4001"},
      {R"({"pagers":["1"],"message":"m","subject":")" + longest + "x\"}", "\"subject\" has"},
      {R"({"pagers":["1"],"message":"m","x":)" + nested(64) + "}", "unknown member \"x\""},
      {R"({"pagers":["1"],"message":"m","x":)" + nested(65) + "}", "deeper than 64 levels"},
      {std::string(20'000, '[') + std::string(20'000, ']'), "deeper than 64 levels"},
  };
  for (const auto& [body, message] : generated) {
    const auto result = ParsePageRequest(body, config_);
    ASSERT_TRUE(std::holds_alternative<RequestError>(result)) << body.substr(0, 80);
    EXPECT_THAT(std::get<RequestError>(result).message, HasSubstr(message)) << body.substr(0, 80);
    const auto alert = ParseAlertmanagerRequest(body, *config_.FindReceiver("oncall"), config_);
    ASSERT_TRUE(std::holds_alternative<RequestError>(alert));
  }
  auto fits = ParsePageRequest(
      R"({"pagers":["1"],"message":")" + longest + R"(","data":null,"subject":"a\tb"})", config_);
  ASSERT_TRUE(std::holds_alternative<Pages>(fits));
  EXPECT_EQ(std::get<Pages>(fits).pages.at(0).content.message.size(), kMaxLineBytes);
}

std::string Notification(const std::string& status, const std::string& fingerprints) {
  return R"({"version":"4","status":")" + status +
         R"(","receiver":"relay","groupKey":"{}:{alertname=\"DiskFull\"}",
    "groupLabels":{"alertname":"DiskFull"},"commonLabels":{"alertname":"DiskFull"},
    "externalURL":"http://am","alerts":[)" +
         fingerprints + "]}";
}

std::string Alert(const std::string& fingerprint, const std::string& summary,
                  const std::string& starts_at = "2026-12-08T10:00:00Z") {
  return R"({"status":"firing","labels":{"alertname":"DiskFull","instance":"db1"},
    "annotations":{"summary":")" +
         summary + R"("},"startsAt":")" + starts_at + R"(","fingerprint":")" + fingerprint + "\"}";
}

TEST_F(RequestTest, AnAlertBecomesOnePageFittedToTheReceiver) {
  const auto& oncall = *config_.FindReceiver("oncall");
  auto result = ParseAlertmanagerRequest(
      Notification("firing", Alert("a1", "disk <full> on db1") + "," + Alert("b2", "other")),
      oncall, config_);
  ASSERT_TRUE(std::holds_alternative<Pages>(result));
  const auto& pages = std::get<Pages>(result).pages;
  ASSERT_EQ(pages.size(), 1u);
  // The first alert's labels and annotations, not HTML-escaped; count; cut to 40 characters.
  EXPECT_EQ(pages[0].content.message, "[firing] DiskFull: disk <full> on db1...");
  EXPECT_THAT(pages[0].pagers, ElementsAre("5551234", "5555678"));
  EXPECT_EQ(pages[0].source, "alertmanager/oncall");

  // The same group, status and set of fingerprints, in another order: the same dedup key.
  const auto again = ParseAlertmanagerRequest(
      Notification("firing", Alert("b2", "other") + "," + Alert("a1", "disk <full> on db1")),
      oncall, config_);
  EXPECT_EQ(std::get<Pages>(again).pages[0].dedup_key, pages[0].dedup_key);
  const auto fewer =
      ParseAlertmanagerRequest(Notification("firing", Alert("a1", "x")), oncall, config_);
  EXPECT_NE(std::get<Pages>(fewer).pages[0].dedup_key, pages[0].dedup_key);

  // Resolved: paged only with send_resolved, under another key than firing.
  const auto resolved =
      ParseAlertmanagerRequest(Notification("resolved", Alert("a1", "x")), oncall, config_);
  EXPECT_TRUE(std::get<Pages>(resolved).pages.empty());
  EXPECT_THAT(std::get<Pages>(resolved).skipped, HasSubstr("send_resolved = false"));
  auto sends_resolved = oncall;
  sends_resolved.send_resolved = true;
  const auto paged =
      ParseAlertmanagerRequest(Notification("resolved", Alert("a1", "x")), sends_resolved, config_);
  ASSERT_EQ(std::get<Pages>(paged).pages.size(), 1u);
  EXPECT_NE(std::get<Pages>(paged).pages[0].dedup_key, std::get<Pages>(fewer).pages[0].dedup_key);
}

// A notification sent again (Alertmanager's retries, a second Alertmanager) is the same; the
// alert firing again after it resolved is a new one.
TEST_F(RequestTest, AFiringAfterItResolvedIsANewNotification) {
  auto oncall = *config_.FindReceiver("oncall");
  oncall.send_resolved = true;
  const auto key = [&](const std::string& status, const std::string& alerts) {
    const auto result = ParseAlertmanagerRequest(Notification(status, alerts), oncall, config_);
    return std::get<Pages>(result).pages.at(0).dedup_key;
  };
  const std::string first = "2026-12-08T10:00:00Z";
  const std::string again = "2026-12-08T11:30:00Z";
  const auto firing = key("firing", Alert("a1", "x", first) + "," + Alert("b2", "y", first));
  EXPECT_EQ(key("firing", Alert("b2", "other text", first) + "," + Alert("a1", "x", first)),
            firing);
  const auto resolved = key("resolved", Alert("a1", "x", first) + "," + Alert("b2", "y", first));
  const auto refired = key("firing", Alert("a1", "x", again) + "," + Alert("b2", "y", first));
  EXPECT_NE(resolved, firing);
  EXPECT_NE(refired, firing);
  EXPECT_NE(refired, resolved);
  const auto no_start = ParseAlertmanagerRequest(
      Notification("firing", R"({"fingerprint":"a1","startsAt":5})"), oncall, config_);
  EXPECT_THAT(std::get<RequestError>(no_start).message, HasSubstr("\"startsAt\" must be"));
}

// Alert text is made printable and cut to what the receiver's pages carry, before and after
// the template: one huge field never makes thousands of parts.
TEST_F(RequestTest, AlertTextIsPrintableAndBounded) {
  auto oncall = *config_.FindReceiver("oncall");
  const auto page = ParseAlertmanagerRequest(
      Notification("firing", R"({"labels":{"alertname":"Disk\u0000Full\u001b[2J"},
                                 "annotations":{"summary":"a\u007fb"}})"),
      oncall, config_);
  EXPECT_EQ(std::get<Pages>(page).pages.at(0).content.message, "[firing] Disk?Full?[2J: a?b (1)");

  oncall.split = true;
  const std::string huge = std::string(900'000, 'w');
  const auto result = ParseAlertmanagerRequest(Notification("firing", Alert("a1", "start " + huge)),
                                               oncall, config_);
  const auto& parts = std::get<Pages>(result).pages;
  ASSERT_EQ(parts.size(), 5u);
  for (const auto& part : parts) EXPECT_LE(part.content.message.size(), 40u);
  EXPECT_THAT(parts.front().content.message, ::testing::StartsWith("(1/5) [firing] DiskFull"));
  EXPECT_THAT(parts.back().content.message, ::testing::StartsWith("(5/5) w"));
  EXPECT_THAT(parts.back().content.message, ::testing::EndsWith("..."));
  EXPECT_NE(parts[0].dedup_key, parts[4].dedup_key);
}

TEST_F(RequestTest, MalformedNotificationsAreTurnedAway) {
  const auto& oncall = *config_.FindReceiver("oncall");
  const char* bodies[] = {
      "{",
      R"({"version":"3","status":"firing","groupKey":"g","alerts":[{}]})",
      R"({"version":4,"status":"firing","groupKey":"g","alerts":[{}]})",
      R"({"version":"4","status":"pending","groupKey":"g","alerts":[{}]})",
      R"({"version":"4","status":"firing","alerts":[{}]})",
      R"({"version":"4","status":"firing","groupKey":"g","alerts":[]})",
      R"({"version":"4","status":"firing","groupKey":"g","alerts":[1]})",
      R"({"version":"4","status":"firing","groupKey":"g","alerts":[{"labels":[]}]})",
      R"({"version":"4","status":"firing","groupKey":"g","alerts":[{"fingerprint":1}]})",
  };
  for (const char* body : bodies) {
    const auto result = ParseAlertmanagerRequest(body, oncall, config_);
    ASSERT_TRUE(std::holds_alternative<RequestError>(result)) << body;
    EXPECT_EQ(std::get<RequestError>(result).status, 400) << body;
  }
}

TEST(FitText, OneLineAsciiCutOrSplit) {
  EXPECT_THAT(FitText("a\r\n\tb  ", 0, false, false, 1), ElementsAre("a b"));
  EXPECT_THAT(FitText("Grüße aus Köln", 0, false, true, 1), ElementsAre("Grusse aus Koln"));
  EXPECT_THAT(FitText("0123456789", 8, false, false, 1), ElementsAre("01234..."));
  const auto parts = FitText("one two three four five six seven eight", 20, true, false, 5);
  ASSERT_GT(parts.size(), 1u);
  for (const auto& part : parts) EXPECT_LE(part.size(), 20u) << part;
  EXPECT_THAT(parts.front(), HasSubstr("(1/"));

  // At most max_parts, the last one cut; without a bound, a line of kMaxLineBytes at most.
  struct Case {
    std::string text;
    int max_length;
    int max_parts;
    std::size_t parts;
    const char* last;
  };
  const std::string words = "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda";
  const Case cases[] = {
      {words, 20, 100, 5, "(5/5) pa lambda"},
      {words, 20, 3, 3, "(3/3) on zeta eta..."},
      {words, 20, 1, 1, "alpha beta gamma ..."},
      {words, 8, 2, 1, "alpha..."},  // one cut page says more than two of 2 characters
      {words, 5, 5, 1, "al..."},     // no room for numbers: cut
      {std::string(kMaxLineBytes + 10, 'z'), 0, 5, 1, "zzz..."},
      {std::string(3 * kMaxLineBytes, 'z'), 65535, 1, 1, "zzz..."},
      {"\xc3\xa9" + std::string(5000, 'e'), 0, 1, 1, "eee..."},
  };
  for (const auto& c : cases) {
    const auto fitted = FitText(c.text, c.max_length, true, false, c.max_parts);
    EXPECT_EQ(fitted.size(), c.parts) << c.text.substr(0, 40) << " " << c.max_length;
    EXPECT_THAT(fitted.back(), ::testing::EndsWith(c.last)) << c.text.substr(0, 40);
    for (const auto& part : fitted) {
      EXPECT_LE(part.size(), kMaxLineBytes);
      if (c.max_length > 0) {
        EXPECT_LE(delivery::CharacterCount(part), std::size_t(c.max_length));
      }
    }
  }
}

}  // namespace
}  // namespace kestrel::relay
