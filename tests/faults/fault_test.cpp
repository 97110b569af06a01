// The real control on the real Asio socket and timer against a loopback server that misbehaves:
// it resets or closes at each step of a level 1 and a level 2 dialogue, falls silent, answers
// with junk, with a 1 MiB line, or with a flood of random bytes, or goes away before greeting.
//
// Each case says exactly which events the host must see, in order, and in which State the
// session rests. "Nothing more" is checked after the expected events: by then the control has
// closed its socket (no notification comes after a Close) or the case closes it, and the
// time-out acts only in State 0, where no case rests; a short extra run of the loop shows that.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "client.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/session/line_framer.hpp"
#include "kestrel/session/reply_assembler.hpp"
#include "kestrel/session/wire.hpp"
#include "scripted_server.hpp"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;
using platform::EventId;
using platform::SocketState;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr auto kPatience = 10s;  // an upper bound for loopback work, never waited out when OK
constexpr auto kSettle = 100ms;  // the extra run that shows nothing more comes

constexpr const char* kTimeout = "Connect Server Time out!";
constexpr const char* kLost = "lost during the dialogue";
constexpr const char* kNotSent = "the page was not sent";
constexpr const char* kMaybe = "may or may not have been delivered";

// One expected event: OnComplete or OnError, with a piece of its text (or its whole text).
struct Expected {
  EventId id;
  std::string text;
  bool whole = false;        // the text must match exactly, not only contain `text`
  std::string or_text = {};  // another piece that will do, when timing decides which comes
};

bool operator==(const Expected& a, const Expected& b) {
  return a.id == b.id && a.text == b.text;
}

Expected Error(std::string text) {
  return {EventId::kOnError, std::move(text)};
}
Expected ErrorExactly(std::string text) {
  return {EventId::kOnError, std::move(text), true};
}
Expected Complete() {
  return {EventId::kOnComplete, "250 Message Sent Successfully"};
}

struct Case {
  std::string name;
  int level;
  FaultPlan plan;
  std::vector<Expected> events;
  Integer state;       // where the session rests afterwards
  Long number;         // LastErrorNumber after a runtime failure; 0 when none is expected
  Long or_number = 0;  // another number that will do, with Expected::or_text
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  return os << c.name;
}

// --- The table -----------------------------------------------------------------------------------

// The steps of each dialogue, with the State the session waits in when the fault strikes there.
struct Step {
  const char* at;
  Integer state;
};
const std::vector<Step> kLevel1 = {
    {"greeting", 0}, {"PAGE", 11}, {"MESS", 12}, {"SEND", 13}, {"QUIT", 14}};
const std::vector<Step> kLevel2 = {{"greeting", 0}, {"LOGI", 22}, {"COVE", 24}, {"LEVE", 23},
                                   {"HOLD", 26},    {"ALER", 28}, {"PAGE", 11}, {"CALL", 27},
                                   {"SUBJ", 25},    {"DATA", 21}, {"body", 21}, {"SEND", 13},
                                   {"QUIT", 14}};

// The connection ends (reset or closed) at a step: what the host is told.
Case Ended(int level, const Step& step, Fault fault) {
  const bool reset = fault == Fault::kReset;
  Case c{std::string("level") + std::to_string(level) + (reset ? "_reset_at_" : "_close_at_") +
             step.at,
         level,
         {step.at, fault},
         {},
         step.state,
         err::kConnectionLost};
  switch (step.state) {
    case 0:
      // Before the greeting: the socket's own words, at once; the session rests in 14, so the
      // time-out raises nothing later. A reset right after the accept may reach the client
      // before its connection attempt has completed; then the attempt itself failed.
      c.events = {Error(reset ? "failed (" : "closed the connection")};
      c.state = 14;
      c.number = reset ? err::kSocketIo : err::kSocketClosedByPeer;
      if (reset) {
        c.events[0].or_text = "Could not connect to";
        c.or_number = err::kSocketConnectFailed;
      }
      break;
    case 13:
      c.events = {Error(kMaybe)};
      break;
    case 14:
      // QUIT is written after OnComplete: the page is delivered, whatever happens next.
      c.events = {Complete()};
      c.number = 0;
      break;
    default:
      c.events = {Error(kLost)};  // and "the page was not sent", checked with the text
      break;
  }
  return c;
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (const Fault fault : {Fault::kReset, Fault::kClose}) {
    for (const auto& step : kLevel1) cases.push_back(Ended(1, step, fault));
    for (const auto& step : kLevel2) cases.push_back(Ended(2, step, fault));
  }
  // Silence: the control waits, without a limit once the greeting is in; never a success.
  cases.push_back({"silent_before_greeting",
                   1,
                   {"greeting", Fault::kSilence},
                   {ErrorExactly(kTimeout)},
                   14,
                   0});
  for (const auto& [at, state, level] :
       std::vector<std::tuple<const char*, Integer, int>>{{"PAGE", 11, 1},
                                                          {"MESS", 12, 1},
                                                          {"SEND", 13, 1},
                                                          {"LOGI", 22, 2},
                                                          {"DATA", 21, 2},
                                                          {"body", 21, 2},
                                                          {"SEND", 13, 2}}) {
    cases.push_back({std::string("level") + std::to_string(level) + "_silent_at_" + at,
                     level,
                     {at, Fault::kSilence},
                     {},
                     state,
                     0});
  }
  // One junk reply: refused with the server's own bytes. In State 0 the refusal leaves the
  // session waiting for a greeting, so the time-out follows, as for any refused greeting.
  const std::string junk = JunkLine(1861);
  cases.push_back({"junk_greeting",
                   1,
                   {"greeting", Fault::kJunkLine, 1861},
                   {ErrorExactly(junk), ErrorExactly(kTimeout)},
                   14,
                   0});
  cases.push_back(
      {"junk_at_PAGE", 1, {"PAGE", Fault::kJunkLine, 1861}, {ErrorExactly(junk)}, 11, 0});
  cases.push_back(
      {"junk_at_LEVE", 2, {"LEVE", Fault::kJunkLine, 1861}, {ErrorExactly(junk)}, 23, 0});
  cases.push_back(
      {"junk_at_body", 2, {"body", Fault::kJunkLine, 1861}, {ErrorExactly(junk)}, 21, 0});
  cases.push_back(
      {"junk_at_SEND", 1, {"SEND", Fault::kJunkLine, 1861}, {ErrorExactly(junk)}, 13, 0});
  // 1 MiB without a line end: one reply of the framer's cap, the rest dropped as it comes.
  const std::string head = HugeLine().substr(0, session::LineFramer::kDefaultCap);
  cases.push_back({"huge_line_greeting",
                   1,
                   {"greeting", Fault::kHugeLine},
                   {ErrorExactly(head), ErrorExactly(kTimeout)},
                   14,
                   0});
  cases.push_back(
      {"huge_line_at_PAGE", 1, {"PAGE", Fault::kHugeLine}, {ErrorExactly(head)}, 11, 0});
  cases.push_back(
      {"huge_line_at_SEND", 2, {"SEND", Fault::kHugeLine}, {ErrorExactly(head)}, 13, 0});
  return cases;
}

// --- The run -------------------------------------------------------------------------------------

class Faults : public ::testing::TestWithParam<Case> {};

TEST_P(Faults, EndsAsTheHostIsTold) {
  const Case& c = GetParam();
  if (c.plan.fault == Fault::kHugeLine) HugeLine();  // built before the server needs it
  ScriptedServer server([&](ServerPeer& peer) { PlayDialogue(peer, server, c.plan); });
  Client client(server.port(), c.level);
  auto& host = client.host;

  client.ctl->Send();
  const bool huge = c.plan.fault == Fault::kHugeLine;
  const bool reached = client.RunUntil(
      [&] {
        return server.done() && host.events.size() >= c.events.size() &&
               (!huge || client.sock->fetched >= HugeLine().size());
      },
      kPatience);
  ASSERT_TRUE(reached) << "the server did " << (server.done() ? "" : "not ")
                       << "reach its fault; events so far: " << host.events.size();
  // A session left waiting gets longer than its time-out would take, to show that nothing,
  // the time-out included, ends it with a false outcome.
  client.loop.RunFor(c.events.empty()
                         ? (Client::kServerTimeout + 2) * std::chrono::milliseconds(Client::kTick)
                         : kSettle);

  // Exactly the expected events, in order.
  ASSERT_EQ(host.events.size(), c.events.size())
      << "first event: " << (host.events.empty() ? "none" : host.events[0].text);
  for (std::size_t i = 0; i < c.events.size(); ++i) {
    const auto& want = c.events[i];
    const auto& got = host.events[i];
    EXPECT_EQ(got.id, want.id) << "event " << i << ": " << got.text;
    if (want.whole) {
      EXPECT_EQ(got.text, want.text) << "event " << i;
    } else if (want.or_text.empty()) {
      EXPECT_THAT(got.text, HasSubstr(want.text)) << "event " << i;
    } else {
      EXPECT_THAT(got.text, AnyOf(HasSubstr(want.text), HasSubstr(want.or_text))) << "event " << i;
    }
    if (want.id == EventId::kOnError && c.number == err::kConnectionLost && c.state != 13) {
      EXPECT_THAT(got.text, HasSubstr(kNotSent));
    }
  }
  EXPECT_EQ(client.ctl->get_State(), c.state);
  if (c.number != 0) {
    EXPECT_THAT(client.ctl->LastErrorNumber(),
                AnyOf(c.number, c.or_number ? c.or_number : c.number));
    // The failure names the server it was talking to.
    EXPECT_THAT(host.events.back().text,
                HasSubstr("127.0.0.1 port " + std::to_string(server.port())));
  }
  // Never a page reported delivered that was not: OnComplete only when the server said so.
  const bool delivered_by_server =
      std::find(c.events.begin(), c.events.end(), Complete()) != c.events.end();
  if (!delivered_by_server) {
    EXPECT_THAT(host.completions(), IsEmpty());
  }

  // Whatever is still open, the host hangs up: nothing more is raised.
  const auto before = host.events.size();
  client.ctl->CloseConnect();
  client.loop.RunFor(kSettle);
  EXPECT_EQ(host.events.size(), before);
  EXPECT_EQ(client.sock->State(), SocketState::kClosed);
}

INSTANTIATE_TEST_SUITE_P(Dialogue, Faults, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// --- Cases with their own checks -----------------------------------------------------------------

std::size_t HeapInUse() {
  const auto m = mallinfo2();
  return m.uordblks + m.hblkhd;  // small blocks, and the large ones malloc maps on their own
}

TEST(FaultsBeyondTheTable, HugeLineKeepsMemoryBounded) {
  HugeLine();
  ScriptedServer server([&](ServerPeer& peer) {
    PlayDialogue(peer, server, {"PAGE", Fault::kHugeLine});
  });
  Client client(server.port(), 1);
  const std::size_t baseline = HeapInUse();
  std::size_t peak = baseline;
  client.ctl->Send();
  ASSERT_TRUE(client.RunUntil(
      [&] {
        peak = std::max(peak, HeapInUse());
        return server.done() && client.sock->fetched >= HugeLine().size();
      },
      kPatience));
  client.loop.RunFor(kSettle);
  ASSERT_EQ(client.host.errors().size(), 1u);
  EXPECT_EQ(client.host.errors()[0].size(), session::LineFramer::kDefaultCap);
  // The control fetched the line read by read and kept none of it beyond the cap: the heap never
  // grew by anything near the megabyte that went through.
  EXPECT_LT(peak - baseline, 256u * 1024) << "the heap grew by " << peak - baseline << " bytes";
  EXPECT_LE(client.sock->largest_fetch, 64u * 1024);
  EXPECT_EQ(client.ctl->get_State(), 11);
}

// A flood of random bytes, then the server closes: each line of it is one refused reply, and the
// close is reported last. Nothing is ever taken for a greeting or a success.
class RandomFlood : public ::testing::TestWithParam<std::tuple<const char*, Integer, Long>> {};

TEST_P(RandomFlood, EachLineIsRefusedThenTheCloseIsReported) {
  // Named copies rather than structured bindings: lambdas below capture them.
  const std::string at = std::get<0>(GetParam());
  const Integer state_after = std::get<1>(GetParam());
  const Long number = std::get<2>(GetParam());
  constexpr std::uint32_t kSeed = 20240611;
  const std::string flood = RandomBytes(kSeed, kFloodBytes);

  // What the control must make of it: the first reply the bytes hold is refused; the second
  // comes while no command awaits a reply, so the turns are lost and the rest is not taken as
  // replies at all.
  std::vector<std::string> replies;
  session::LineFramer framer;
  session::ReplyAssembler assembler;
  framer.Append(flood);
  while (auto line = framer.Next()) {
    if (assembler.Feed(*line) == session::ReplyAssembler::Step::kReply) {
      replies.push_back(assembler.Take());
    }
  }
  ASSERT_GT(replies.size(), 100u);
  for (const auto& reply : replies) {
    const auto code = session::ReplyCode(reply);
    ASSERT_TRUE(code != "220" && code != "250") << "the seed makes a valid reply; pick another";
  }

  ScriptedServer server([&](ServerPeer& peer) {
    PlayDialogue(peer, server, {at, Fault::kRandomFlood, kSeed});
  });
  Client client(server.port(), 1);
  client.ctl->Send();
  ASSERT_TRUE(client.RunUntil([&] { return client.host.errors().size() >= 3; }, kPatience))
      << client.host.errors().size() << " of 3 errors";
  client.loop.RunFor(kSettle);

  const auto errors = client.host.errors();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0], replies[0]);
  EXPECT_THAT(errors[1], HasSubstr("while no command awaited a reply"));
  EXPECT_THAT(errors[2], HasSubstr(state_after == 14 ? "closed the connection" : kLost));
  EXPECT_THAT(client.host.completions(), IsEmpty());
  EXPECT_EQ(client.ctl->get_State(), state_after);
  EXPECT_EQ(client.ctl->LastErrorNumber(), number);
  EXPECT_EQ(client.sock->State(), SocketState::kClosed);
}

INSTANTIATE_TEST_SUITE_P(
    Dialogue, RandomFlood,
    ::testing::Values(std::make_tuple("greeting", Integer{14}, Long{err::kSocketClosedByPeer}),
                      std::make_tuple("PAGE", Integer{11}, Long{err::kConnectionLost})),
    [](const auto& info) { return std::string("at_") + std::get<0>(info.param); });

// Gone before the greeting: reported at once, not at the time-out, with the real one-second tick.
TEST(FaultsBeyondTheTable, ClosedBeforeGreetingIsReportedPromptly) {
  struct Variant {
    const char* name;
    Fault fault;
    Long number;
    Long or_number;  // a reset may beat the connection attempt's completion
  };
  for (const auto& v :
       {Variant{"close", Fault::kClose, err::kSocketClosedByPeer, err::kSocketClosedByPeer},
        Variant{"reset", Fault::kReset, err::kSocketIo, err::kSocketConnectFailed}}) {
    SCOPED_TRACE(v.name);
    ScriptedServer server([&](ServerPeer& peer) {
      PlayDialogue(peer, server, {"greeting", v.fault});
    });
    Client client(server.port(), 1, /*tick=*/1000);
    const auto start = std::chrono::steady_clock::now();
    client.ctl->Send();
    ASSERT_TRUE(client.RunUntil([&] { return !client.host.events.empty(); }, kPatience));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 2s) << "the time-out is " << Client::kServerTimeout + 1 << " s away";
    client.loop.RunFor(kSettle);
    ASSERT_EQ(client.host.errors().size(), 1u);
    EXPECT_THAT(client.ctl->LastErrorNumber(), AnyOf(v.number, v.or_number));
    // Resting in 14 with the socket closed: the time-out, which acts only in State 0, stays quiet.
    EXPECT_EQ(client.ctl->get_State(), 14);
    EXPECT_EQ(client.sock->State(), SocketState::kClosed);
  }
}

TEST(FaultsBeyondTheTable, NobodyListeningIsReportedPromptly) {
  int port = 0;
  {
    ScriptedServer gone([](ServerPeer&) {});
    port = gone.port();
  }  // the port is free again and nobody listens on it
  Client client(port, 1, /*tick=*/1000);
  client.ctl->Send();
  ASSERT_TRUE(client.RunUntil([&] { return !client.host.events.empty(); }, 2s));
  client.loop.RunFor(kSettle);
  ASSERT_EQ(client.host.errors().size(), 1u);
  EXPECT_THAT(client.host.errors()[0], HasSubstr("Could not connect to 127.0.0.1"));
  EXPECT_EQ(client.ctl->LastErrorNumber(), err::kSocketConnectFailed);
  EXPECT_EQ(client.ctl->get_State(), 14);
}

// A host that sends the next page from inside OnComplete: hang up, then Send again. The first
// session must not write its QUIT into the second one, and the second page goes through.
TEST(FaultsBeyondTheTable, NextPageSentFromOnCompleteIsDelivered) {
  ScriptedServer server([&](ServerPeer& peer) { PlayDialogue(peer, server, {}); });
  Client client(server.port(), 1);
  int sent = 0;
  client.host.on_event = [&](EventId id, String&) {
    if (id != EventId::kOnComplete || ++sent > 1) return;
    client.ctl->CloseConnect();
    client.ctl->put_Message("second page");
    client.ctl->Send();
  };
  client.ctl->Send();
  ASSERT_TRUE(client.RunUntil(
      [&] {
        return client.host.events.size() >= 2 ||
               (!client.host.errors().empty() && client.ctl->get_State() != 0);
      },
      kPatience));
  ASSERT_TRUE(
      client.RunUntil([&] { return client.sock->State() == SocketState::kClosed; }, kPatience));
  client.loop.RunFor(kSettle);

  EXPECT_THAT(client.host.errors(), IsEmpty());
  EXPECT_EQ(client.host.completions().size(), 2u);
  EXPECT_EQ(server.connections(), 2);
  const auto received = server.received();
  EXPECT_EQ(std::count(received.begin(), received.end(), "MESS second page\r\n"), 1);
  EXPECT_EQ(std::count(received.begin(), received.end(), "QUIT\r\n"), 1)
      << "only the second session says goodbye; the first was hung up by the host";
  EXPECT_EQ(client.ctl->get_State(), 14);
}

}  // namespace
}  // namespace kestrel::testing
