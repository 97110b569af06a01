// SandboxServer over real loopback TCP: the server runs in-process on an EventLoop and a small
// Asio client on the same loop talks to it. Writes are blocking (they are small and fit the
// socket buffer); every read waits on the loop with a deadline.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/platform/asio_event_loop.hpp"
#include "kestrel/sandbox/sandbox_server.hpp"

namespace kestrel::sandbox {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

constexpr auto kDeadline = 5s;
constexpr std::string_view kGreeting = "220 SNPP Sandbox Ready";

class Client {
 public:
  Client(platform::EventLoop& loop, std::uint16_t port)
      : loop_(loop), state_(std::make_shared<State>(platform::AsioContext(loop))) {
    // The kernel completes the handshake from the listen backlog; no need to run the loop.
    state_->socket.connect({asio::ip::make_address("127.0.0.1"), port});
    Read(state_);
  }

  void Send(std::string_view bytes) { asio::write(state_->socket, asio::buffer(bytes)); }

  // Sends one byte at a time and lets the server run in between, so that it sees the input
  // in as many pieces as it will take.
  void Trickle(std::string_view bytes) {
    for (char c : bytes) {
      Send(std::string_view(&c, 1));
      loop_.RunFor(1ms);
    }
  }

  // The next reply line, without its CR LF; nullopt if the server closed or the deadline passed.
  std::optional<std::string> Line() {
    loop_.RunUntil(
        [&] { return state_->received.find('\n') != std::string::npos || state_->closed; },
        kDeadline);
    const auto lf = state_->received.find('\n');
    if (lf == std::string::npos) return std::nullopt;
    std::string line = state_->received.substr(0, lf);
    state_->received.erase(0, lf + 1);
    EXPECT_TRUE(line.ends_with('\r')) << "reply line without CR LF: " << line;
    if (line.ends_with('\r')) line.pop_back();
    return line;
  }

  // Every reply line up to the server's close. A deadline is a failure.
  Lines UntilClosed() {
    Lines lines;
    while (auto line = Line()) lines.push_back(*line);
    EXPECT_TRUE(state_->closed) << "server did not close within the deadline";
    EXPECT_EQ(state_->received, "") << "bytes after the last line end";
    return lines;
  }

  // Runs the loop for `time` and reports whether anything arrived meanwhile (bytes or a close).
  bool QuietFor(std::chrono::milliseconds time) {
    loop_.RunFor(time);
    return state_->received.empty() && !state_->closed;
  }

 private:
  struct State {
    explicit State(asio::io_context& io) : socket(io) {}
    asio::ip::tcp::socket socket;
    std::array<char, 1024> buffer{};
    std::string received;
    bool closed = false;
  };

  // The handler owns the state, so a read that completes after the Client is gone is harmless.
  static void Read(const std::shared_ptr<State>& state) {
    state->socket.async_read_some(asio::buffer(state->buffer),
                                  [state](const asio::error_code& error, std::size_t size) {
                                    if (error) {
                                      state->closed = true;
                                      return;
                                    }
                                    state->received.append(state->buffer.data(), size);
                                    Read(state);
                                  });
  }

  platform::EventLoop& loop_;
  std::shared_ptr<State> state_;
};

class SandboxTest : public ::testing::Test {
 protected:
  SandboxServer& Start(Options options = {}) {
    server_.emplace(loop_, std::move(options));
    return *server_;
  }
  // A client that has already read the greeting.
  Client Connect() {
    Client client(loop_, server_->port());
    EXPECT_EQ(client.Line(), kGreeting);
    return client;
  }
  // Sends `script` in one write and collects the replies up to the close.
  Lines Dialogue(std::string_view script) {
    auto client = Connect();
    client.Send(script);
    return client.UntilClosed();
  }

  platform::EventLoop loop_;
  std::optional<SandboxServer> server_;
};

TEST_F(SandboxTest, Level1Dialogue) {
  auto& server = Start();
  EXPECT_THAT(Dialogue("PAGE 5551234\r\nMESS hello  there\r\nSEND\r\nQUIT\r\n"),
              ElementsAre("250 Pager ID Accepted", "250 Message OK",
                          "250 Message Sent Successfully", "221 OK, Goodbye"));

  ASSERT_EQ(server.pages().size(), 1u);
  const Page& page = server.pages()[0];
  EXPECT_THAT(page.pagers, ElementsAre(Recipient{.id = "5551234"}));
  EXPECT_EQ(page.message, "hello  there");
  EXPECT_EQ(page.via, MessageVia::kMess);
  EXPECT_EQ(page.login, std::nullopt);
  EXPECT_EQ(page.subject, std::nullopt);
  EXPECT_TRUE(loop_.RunUntil([&] { return server.connection_count() == 0; }, kDeadline));
}

TEST_F(SandboxTest, Level2DialogueWithOptionsAndDataBody) {
  auto& server = Start({.login = Credentials{"alice", "secret"}});
  EXPECT_THAT(Dialogue("LOGI alice secret\r\n"
                       "LEVE 0\r\nCOVE 2\r\nALER 1\r\n"
                       "PAGE 5551234 9999\r\n"
                       "HOLD 370101120000 -0500\r\n"
                       "PAGER 5552323\r\n"
                       "LEVE 5\r\n"  // after the last PAGE: applies to no one
                       "SUBJ Disk alert\r\nCALL ops-1\r\n"
                       "DATA\r\n"
                       "line one\r\n..dotted\r\n\r\n..\r\n.x\r\nlast\r\n.\r\n"
                       "SEND\r\nQUIT\r\n"),
              ElementsAre("250 Login Accepted", "250 Level of Service Accepted",
                          "250 Alternate Coverage Selected", "250 OK, Alert Override Accepted",
                          "250 Pager ID Accepted", "250 Delayed Messaging Selected",
                          "250 Pager ID Accepted", "250 Level of Service Accepted",
                          "250 Message Subject OK", "250 Caller ID Accepted",
                          "354 Begin Input; End with <CRLF>'.'<CRLF>", "250 Message OK",
                          "250 Message Sent Successfully", "221 OK, Goodbye"));

  ASSERT_EQ(server.pages().size(), 1u);
  const Page& page = server.pages()[0];
  EXPECT_THAT(page.pagers,
              ElementsAre(Recipient{.id = "5551234", .level = 0, .coverage = "2", .alert = true},
                          Recipient{.id = "5552323", .hold = "370101120000 -0500"}));
  EXPECT_EQ(page.message, "line one\n.dotted\n\n.\n.x\nlast");
  EXPECT_EQ(page.subject, "Disk alert");
  EXPECT_EQ(page.caller, "ops-1");
  EXPECT_EQ(page.login, "alice");
  EXPECT_EQ(page.via, MessageVia::kData);
}

// Every script ends in QUIT; `replies` are the answers after the greeting.
struct ReplyCase {
  const char* name;
  Options options;
  const char* script;
  Lines replies;
  std::size_t pages = 0;
};

class ReplySequence : public SandboxTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplySequence, AnswersEachLineInOrder) {
  auto& server = Start(GetParam().options);
  EXPECT_THAT(Dialogue(GetParam().script), ElementsAreArray(GetParam().replies));
  EXPECT_EQ(server.pages().size(), GetParam().pages);
}

INSTANTIATE_TEST_SUITE_P(
    Sandbox, ReplySequence,
    ::testing::Values(
        ReplyCase{"OrderAndDuplicates",
                  {},
                  "SEND\r\nPAGE 5551234\r\nSEND\r\nMESS a\r\nMESS b\r\nDATA\r\nRESE\r\n"
                  "MESS c\r\nSEND\r\nPAGE 5551234\r\nSEND\r\nSEND\r\nQUIT\r\n",
                  {"503 Error, Pager ID or Message Incomplete", "250 Pager ID Accepted",
                   "503 Error, Pager ID or Message Incomplete", "250 Message OK",
                   "503 ERROR, Message Already Entered", "503 ERROR, Message Already Entered",
                   "250 RESET OK", "250 Message OK", "503 Error, Pager ID or Message Incomplete",
                   "250 Pager ID Accepted", "250 Message Sent Successfully",
                   "503 Error, Pager ID or Message Incomplete", "221 OK, Goodbye"},
                  1},
        ReplyCase{
            "BadParameters",
            {},
            "PAGE 555-1234\r\nPAGE\r\nMESS\r\nLEVE 12\r\nLEVE x\r\nLEVE 1 2\r\nALER\r\n"
            "ALER 2\r\nHOLD 370230120000\r\nHOLD 3701011200 0500\r\nHOLD 37010112\r\n"
            "HOLD 3701011200 +0130\r\nLOGI\r\nCOVE\r\nCALL\r\nSUBJ\r\nQUIT\r\n",
            {"550 Error, Invalid Pager ID", "550 Error, Invalid Pager ID",
             "550 Error, Invalid Message", "550 Error, Invalid Service Level",
             "550 Error, Invalid Service Level", "550 Error, Invalid Service Level",
             "550 Error, Invalid Alert Parameter", "550 Error, Invalid Alert Parameter",
             "550 Error, Invalid Delivery Date/Time", "550 Error, Invalid Delivery Date/Time",
             "550 Error, Invalid Delivery Date/Time", "250 Delayed Messaging Selected",
             "550 Error, Invalid Login ID or Password", "550 Error, Invalid Alternate Region",
             "550 Error, Invalid Caller ID", "550 Error, Invalid Subject", "221 OK, Goodbye"}},
        ReplyCase{
            "Keywords",
            {},
            "XYZZ\r\nPAG 5551234\r\n\r\n2WAY\r\npAgEr 5551234\r\nmessage hi\r\nsend\r\n"
            "quit\r\n",
            {"500 Command Not Implemented", "500 Command Not Implemented",
             "500 Command Not Implemented", "500 Command Not Implemented", "250 Pager ID Accepted",
             "250 Message OK", "250 Message Sent Successfully", "221 OK, Goodbye"},
            1},
        ReplyCase{"RefusedPager",
                  {.refused_pagers = {"5550000"}},
                  "PAGE 5550000\r\nMESS hi\r\nSEND\r\nPAGE 5551234\r\nSEND\r\nQUIT\r\n",
                  {"550 Error, Invalid Pager ID", "250 Message OK",
                   "503 Error, Pager ID or Message Incomplete", "250 Pager ID Accepted",
                   "250 Message Sent Successfully", "221 OK, Goodbye"},
                  1},
        ReplyCase{
            "WrongLogin",
            {.login = Credentials{"alice", "secret"}},
            "LOGI alice wrong\r\nLOGI bob secret\r\nLOGI alice\r\nLOGI alice secret\r\n"
            "QUIT\r\n",
            {"550 Error, Invalid Login ID or Password", "550 Error, Invalid Login ID or Password",
             "550 Error, Invalid Login ID or Password", "250 Login Accepted", "221 OK, Goodbye"}},
        ReplyCase{"FailSend",
                  {.fail_send = true},
                  "SEND\r\nPAGE 5551234\r\nMESS hi\r\nSEND\r\nSEND\r\nQUIT\r\n",
                  {"503 Error, Pager ID or Message Incomplete", "250 Pager ID Accepted",
                   "250 Message OK", "554 Error, failed (technical reason)",
                   "503 Error, Pager ID or Message Incomplete", "221 OK, Goodbye"}},
        ReplyCase{"QuitEndsThePipeline", {}, "QUIT\r\nHELP\r\n", {"221 OK, Goodbye"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SandboxTest, LfEndsALineButABareCrDoesNot) {
  auto& server = Start();
  EXPECT_THAT(Dialogue("PAGE 5551234\nMESS a\rb\nSEND\nQUIT\n"),
              ElementsAre("250 Pager ID Accepted", "250 Message OK",
                          "250 Message Sent Successfully", "221 OK, Goodbye"));
  ASSERT_EQ(server.pages().size(), 1u);
  EXPECT_EQ(server.pages()[0].message, "a\rb");
}

TEST_F(SandboxTest, HelpIsA214RunClosedBy250) {
  Start();
  const auto replies = Dialogue("HELP\r\nQUIT\r\n");
  ASSERT_GE(replies.size(), 3u);
  for (std::size_t i = 0; i + 2 < replies.size(); ++i) EXPECT_THAT(replies[i], StartsWith("214 "));
  EXPECT_EQ(replies[replies.size() - 2], "250 End of Help Information");
  EXPECT_EQ(replies.back(), "221 OK, Goodbye");
}

TEST_F(SandboxTest, InputSplitAtEveryByteIsAnsweredLineByLine) {
  auto& server = Start();
  auto client = Connect();
  client.Trickle("PAGE 5551234\r\nDATA\r\nfirst\r\n..\r\n.\r\nSEND\r\n");
  EXPECT_EQ(client.Line(), "250 Pager ID Accepted");
  EXPECT_EQ(client.Line(), "354 Begin Input; End with <CRLF>'.'<CRLF>");
  EXPECT_EQ(client.Line(), "250 Message OK");
  EXPECT_EQ(client.Line(), "250 Message Sent Successfully");
  ASSERT_EQ(server.pages().size(), 1u);
  EXPECT_EQ(server.pages()[0].message, "first\n.");

  client.Send("MESS hel");
  EXPECT_TRUE(client.QuietFor(50ms)) << "answered a line before its end";
  client.Send("lo\r\nQUIT\r\n");
  EXPECT_THAT(client.UntilClosed(), ElementsAre("250 Message OK", "221 OK, Goodbye"));
}

TEST_F(SandboxTest, OverlongLineIsRefusedWithOrWithoutItsEnd) {
  Start();
  for (const std::string end : {"", "\r\n"}) {
    SCOPED_TRACE("line end '" + end + "'");
    auto client = Connect();
    client.Send("MESS " + std::string(5000, 'x') + end);
    EXPECT_THAT(client.UntilClosed(), ElementsAre("421 Line too long, Goodbye"));
  }
}

TEST_F(SandboxTest, LongestAllowedLineIsAccepted) {
  auto& server = Start();
  const std::string text(4096 - 5, 'x');
  Dialogue("PAGE 1\r\nMESS " + text + "\r\nSEND\r\nQUIT\r\n");
  ASSERT_EQ(server.pages().size(), 1u);
  EXPECT_EQ(server.pages()[0].message, text);
}

TEST_F(SandboxTest, ConnectionsKeepTheirOwnTransactions) {
  auto& server = Start();
  auto a = Connect();
  auto b = Connect();
  a.Send("PAGE 1111\r\n");
  EXPECT_EQ(a.Line(), "250 Pager ID Accepted");
  b.Send("PAGE 2222\r\nMESS from b\r\nSEND\r\n");
  EXPECT_EQ(b.Line(), "250 Pager ID Accepted");
  EXPECT_EQ(b.Line(), "250 Message OK");
  EXPECT_EQ(b.Line(), "250 Message Sent Successfully");
  a.Send("MESS from a\r\nSEND\r\nQUIT\r\n");
  EXPECT_THAT(a.UntilClosed(),
              ElementsAre("250 Message OK", "250 Message Sent Successfully", "221 OK, Goodbye"));

  ASSERT_EQ(server.pages().size(), 2u);
  EXPECT_THAT(server.pages()[0].pagers, ElementsAre(Recipient{.id = "2222"}));
  EXPECT_EQ(server.pages()[0].message, "from b");
  EXPECT_THAT(server.pages()[1].pagers, ElementsAre(Recipient{.id = "1111"}));
  EXPECT_EQ(server.pages()[1].message, "from a");
}

TEST_F(SandboxTest, NoGreetingAcceptsButNeverAnswers) {
  auto& server = Start({.greeting = false});
  Client client(loop_, server.port());
  ASSERT_TRUE(loop_.RunUntil([&] { return server.connection_count() == 1; }, kDeadline));
  EXPECT_TRUE(client.QuietFor(200ms));
  client.Send("QUIT\r\n");
  EXPECT_TRUE(client.QuietFor(200ms));
}

TEST_F(SandboxTest, GreetDelayHoldsTheGreetingBack) {
  auto& server = Start({.greet_delay = 300ms});
  const auto start = std::chrono::steady_clock::now();
  Client client(loop_, server.port());
  client.Send("QUIT\r\n");  // sent early, answered after the greeting
  EXPECT_EQ(client.Line(), kGreeting);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  EXPECT_THAT(client.UntilClosed(), ElementsAre("221 OK, Goodbye"));
}

TEST_F(SandboxTest, IdleTimeoutSays421AndCloses) {
  Start({.idle_timeout = 200ms});
  auto client = Connect();
  EXPECT_THAT(client.UntilClosed(), ElementsAre("421 Timeout, Goodbye"));
}

TEST_F(SandboxTest, LogsEachPageAsOneJsonLine) {
  std::ostringstream log;
  auto& server = Start({.login = Credentials{"alice", "s3cret"}, .page_log = &log});
  int pages_seen = 0;
  server.OnPage([&](const Page&) { ++pages_seen; });

  auto client = Connect();
  client.Send(
      "LOGI alice s3cret\r\nALER 0\r\nLEVE 3\r\nPAGE 5551234 4321\r\nSUBJ s\r\nDATA\r\n"
      "a\r\n\r\nb\r\n.\r\nSEND\r\n");
  ASSERT_TRUE(loop_.RunUntil([&] { return pages_seen == 1; }, kDeadline));
  client.Send("PAGE 7\r\nMESS caf\xe9\r\nSEND\r\nQUIT\r\n");
  client.UntilClosed();
  ASSERT_EQ(pages_seen, 2);

  const std::string text = log.str();
  EXPECT_THAT(text, Not(HasSubstr("s3cret")));
  EXPECT_THAT(text, Not(HasSubstr("4321")));
  std::istringstream lines(text);
  std::string first, second, rest;
  ASSERT_TRUE(std::getline(lines, first));
  ASSERT_TRUE(std::getline(lines, second));
  EXPECT_FALSE(std::getline(lines, rest)) << "more than two lines";

  const auto page = nlohmann::json::parse(first);
  EXPECT_EQ(page.at("pagers"),
            nlohmann::json::parse(R"([{"id":"5551234","level":3,"alert":false}])"));
  EXPECT_EQ(page.at("message"), "a\n\nb");
  EXPECT_EQ(page.at("subject"), "s");
  EXPECT_EQ(page.at("login"), "alice");
  EXPECT_EQ(page.at("via"), "DATA");
  EXPECT_FALSE(page.contains("caller"));
  EXPECT_THAT(
      page.at("time").get<std::string>(),
      ::testing::MatchesRegex(
          R"(20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\.[0-9][0-9][0-9]Z)"));

  // Bytes that are not UTF-8 must not break the log (nor the server).
  const auto latin1 = nlohmann::json::parse(second);
  EXPECT_EQ(latin1.at("message"), "caf\xef\xbf\xbd");
  EXPECT_EQ(latin1.at("via"), "MESS");
  EXPECT_EQ(latin1.at("login"), "alice") << "the login belongs to the session, not to one page";
  EXPECT_FALSE(latin1.contains("subject")) << "the subject belongs to the page before";
}

TEST_F(SandboxTest, PageCallbackMayStopTheServer) {
  auto& server = Start();
  server.OnPage([&](const Page&) { server.Stop(); });
  auto client = Connect();
  client.Send("PAGE 1\r\nMESS x\r\n");
  EXPECT_EQ(client.Line(), "250 Pager ID Accepted");
  EXPECT_EQ(client.Line(), "250 Message OK");
  client.Send("SEND\r\n");
  EXPECT_THAT(client.UntilClosed(), IsEmpty());  // stopped before the reply went out
  EXPECT_EQ(server.pages().size(), 1u);
  EXPECT_EQ(server.connection_count(), 0u);

  asio::ip::tcp::socket probe(platform::AsioContext(loop_));
  asio::error_code error;
  probe.connect({asio::ip::make_address("127.0.0.1"), server.port()}, error);
  EXPECT_TRUE(error) << "still listening after Stop()";
}

TEST_F(SandboxTest, DestroyingTheServerClosesItsConnections) {
  Start();
  auto client = Connect();
  client.Send("PAGE 1\r\n");
  EXPECT_EQ(client.Line(), "250 Pager ID Accepted");
  server_.reset();
  EXPECT_THAT(client.UntilClosed(), IsEmpty());
}

}  // namespace
}  // namespace kestrel::sandbox
