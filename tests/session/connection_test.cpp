// Send, Connect, CloseConnect, the connect time-out on a fake clock, and connection loss.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kestrel/platform/error.hpp"
#include "kestrel/testing/session_harness.hpp"

namespace kestrel::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
constexpr const char* kTimeout = "Connect Server Time out!";

TEST(Connection, SendConnectsSetsStateAndRunsPendingWork) {
  SessionHarness h;
  h.ctl->put_Server("pager.example");
  h.ctl->put_ServerPort(444);
  h.host.notices.clear();
  EXPECT_EQ(h.ctl->Send(), "");
  EXPECT_THAT(h.sock->connects, ElementsAre(std::pair<String, Long>{"pager.example", 444}));
  EXPECT_EQ(h.state(), 0);
  EXPECT_THAT(h.host.notices, ElementsAre("State"));
  EXPECT_EQ(h.host.do_events, 1);
  EXPECT_TRUE(h.timer->Enabled());
  EXPECT_EQ(h.ctl->TickCount(), 0);
}

TEST(Connection, ConnectLeavesTheTimerAlone) {
  SessionHarness h;
  EXPECT_EQ(h.ctl->Connect(), kFalse);
  EXPECT_EQ(h.state(), 0);
  EXPECT_FALSE(h.timer->Enabled());
  EXPECT_EQ(h.host.do_events, 1);
  h.clock.Advance(100'000);
  EXPECT_THAT(h.host.events, IsEmpty());  // no time-out without the timer
  EXPECT_EQ(h.state(), 0);
}

TEST(Connection, GreetingThatArrivesDuringSendIsAGreeting) {
  SessionHarness h;
  h.ctl->put_SnppLevel(1);
  h.ctl->put_State(14);  // as a previous session left it
  // The server is quick: its greeting is waiting by the time Send lets pending work run.
  h.host.on_event = nullptr;
  auto& sock = *h.sock;
  h.loop.Post([&] {
    sock.CompleteConnect();
    sock.Receive("220 quick\r\n");
  });
  h.ctl->Send();
  EXPECT_THAT(h.host.errors(), IsEmpty());
  EXPECT_THAT(sock.writes, ElementsAre("PAGE \r\n"));
}

TEST(Connection, TimeOutFiresOnTheTickPastServerTimeout) {
  struct Case {
    Integer timeout;
    int ticks_before;  // ticks that pass quietly
  } cases[] = {{20, 20}, {0, 0}, {1, 1}, {-5, 0}};
  for (const auto& c : cases) {
    SessionHarness h;
    h.ctl->put_ServerTimeout(c.timeout);
    h.ctl->Send();
    h.clock.Advance(1000 * c.ticks_before);
    EXPECT_THAT(h.host.events, IsEmpty()) << c.timeout;
    h.clock.Advance(1000);
    EXPECT_THAT(h.host.errors(), ElementsAre(kTimeout)) << c.timeout;
    EXPECT_EQ(h.state(), 14);
    EXPECT_EQ(h.sock->State(), platform::SocketState::kClosed);
    // The timer goes on ticking and raises nothing more.
    h.clock.Advance(60'000);
    EXPECT_EQ(h.host.errors().size(), 1u);
    EXPECT_TRUE(h.timer->Enabled());
  }
}

TEST(Connection, TimeOutDoesNotTouchTheStoredFailureText) {
  SessionHarness h;
  h.ctl->put_ServerTimeout(0);
  h.host.on_event = [](platform::EventId, String& arg) { arg = "handler text"; };
  h.Run({"421 refused\r\n"});
  EXPECT_EQ(h.ctl->getLastErrorDescription(), "handler text");
  h.clock.Advance(1000);
  EXPECT_THAT(h.host.errors(), ElementsAre("421 refused\r\n", kTimeout));
  EXPECT_EQ(h.ctl->getLastErrorDescription(), "handler text");
}

TEST(Connection, RefusedGreetingIsFollowedByTheTimeOut) {
  SessionHarness h;
  h.ctl->put_ServerTimeout(2);
  h.Run({"421 SERVER DOWN, Goodbye\r\n"});
  EXPECT_EQ(h.state(), 0);
  h.clock.Advance(3000);
  EXPECT_THAT(h.host.errors(), ElementsAre("421 SERVER DOWN, Goodbye\r\n", kTimeout));
}

TEST(Connection, NoTimeOutOnceTheGreetingIsAccepted) {
  SessionHarness h;
  h.ctl->put_ServerTimeout(1);
  h.Run({"220 hi\r\n", "550 no such pager\r\n"});
  h.clock.Advance(30'000);
  EXPECT_EQ(h.host.errors().size(), 1u);
  EXPECT_EQ(h.state(), 11);
  EXPECT_EQ(h.sock->State(), platform::SocketState::kConnected);
}

TEST(Connection, ServerTimeoutAtTheTopNeverFires) {
  SessionHarness h;
  h.ctl->put_ServerTimeout(32767);
  h.ctl->Send();
  h.clock.Advance(40'000'000);  // past where a 16-bit count would wrap
  EXPECT_THAT(h.host.events, IsEmpty());
  EXPECT_EQ(h.ctl->TickCount(), 32767);
}

TEST(Connection, CompletedSessionStopsTheTimer) {
  SessionHarness h;
  h.ctl->put_SnppLevel(1);
  h.Run({"220 hi\r\n"});
  h.clock.Advance(5000);
  EXPECT_EQ(h.ctl->TickCount(), 5);
  for (auto r : {"250 a\r\n", "250 b\r\n", "250 c\r\n", "221 d\r\n"}) h.Reply(r);
  EXPECT_FALSE(h.timer->Enabled());
  EXPECT_EQ(h.ctl->TickCount(), 0);
  h.clock.Advance(60'000);
  EXPECT_EQ(h.timer->ticks, 5);
}

TEST(Connection, CloseConnectInWaitGreetingStillTimesOut) {
  SessionHarness h;
  h.ctl->put_ServerTimeout(3);
  h.ctl->Send();
  h.ctl->CloseConnect();
  EXPECT_EQ(h.sock->State(), platform::SocketState::kClosed);
  EXPECT_EQ(h.state(), 0);
  h.clock.Advance(4000);
  EXPECT_THAT(h.host.errors(), ElementsAre(kTimeout));
}

TEST(Connection, ConnectAfterATimedOutSendTimesOutOnTheNextTick) {
  SessionHarness h;
  h.ctl->put_ServerTimeout(1);
  h.ctl->Send();
  h.clock.Advance(2000);
  ASSERT_EQ(h.host.errors().size(), 1u);
  h.ctl->Connect();
  h.clock.Advance(1000);
  EXPECT_THAT(h.host.errors(), ElementsAre(kTimeout, kTimeout));
  EXPECT_EQ(h.sock->connects.size(), 2u);
}

TEST(Connection, SocketConnectErrorReachesTheCaller) {
  SessionHarness h;
  h.ctl->put_State(14);
  h.sock->FailConnect(RuntimeError(err::kSocketBadPort, "bad port"));
  EXPECT_THROW(h.ctl->Send(), RuntimeError);
  EXPECT_TRUE(h.timer->Enabled());
  EXPECT_EQ(h.ctl->TickCount(), 0);
  EXPECT_EQ(h.state(), 14);
  EXPECT_THROW(h.ctl->Connect(), RuntimeError);
}

TEST(Connection, SendOnAnOpenSocketIsRefusedBySocket) {
  SessionHarness h;
  h.Start();
  EXPECT_THROW(h.ctl->Send(), RuntimeError);
}

TEST(Connection, DataWhileNotConnectedIsNotFetched) {
  SessionHarness h;
  h.ctl->Send();  // connecting, not yet connected
  h.Reply("220 hi\r\n");
  EXPECT_THAT(h.host.events, IsEmpty());
  EXPECT_THAT(h.sock->writes, IsEmpty());
}

TEST(Connection, RefusedConnectionIsReportedOnceAtOnce) {
  SessionHarness h;
  h.ctl->Send();
  h.sock->PeerClose(err::kSocketConnectFailed, "Could not connect: refused");
  h.loop.RunPending();
  EXPECT_THAT(h.host.errors(), ElementsAre("Could not connect: refused"));
  EXPECT_EQ(h.ctl->getLastError(), std::to_string(err::kSocketConnectFailed));
  EXPECT_EQ(h.state(), 14);
  h.clock.Advance(60'000);
  EXPECT_EQ(h.host.errors().size(), 1u);  // no time-out on top
}

TEST(Connection, ConnectionLostMidDialogueIsReported) {
  struct Case {
    std::vector<std::string> replies;
    Integer state;
    const char* says;
  } cases[] = {
      {{"220 hi\r\n"}, 11, "was not sent"},
      {{"220 hi\r\n", "250 ok\r\n", "250 ok\r\n"}, 13, "may or may not have been delivered"},
  };
  for (const auto& c : cases) {
    SessionHarness h;
    h.ctl->put_SnppLevel(1);
    h.Start();
    for (const auto& r : c.replies) h.Reply(r);
    h.sock->PeerClose();
    h.loop.RunPending();
    ASSERT_EQ(h.host.errors().size(), 1u);
    EXPECT_THAT(h.host.errors()[0], HasSubstr(c.says));
    EXPECT_EQ(h.ctl->getLastError(), std::to_string(err::kConnectionLost));
    EXPECT_EQ(h.state(), c.state);
  }
}

TEST(Connection, CloseAfterTheDeliveryIsNotAFailure) {
  SessionHarness h;
  h.ctl->put_SnppLevel(1);
  h.Run({"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 sent\r\n"});
  h.sock->PeerClose();
  h.loop.RunPending();
  EXPECT_THAT(h.host.errors(), IsEmpty());
  EXPECT_THAT(h.host.completions(), ElementsAre("250 sent\r\n"));
}

TEST(Connection, ErrorInsideATickIsReportedAndTheTimerKeepsRunning) {
  SessionHarness h;
  h.ctl->put_ServerTimeout(0);
  h.ctl->Send();
  h.host.fail_notices = true;  // the time-out's State put will fail
  h.clock.Advance(1000);
  EXPECT_THAT(h.host.errors(), ElementsAre("host refused the change notice"));
  EXPECT_TRUE(h.timer->Enabled());
  EXPECT_EQ(h.ctl->getLastError(), "1001");
}

TEST(Connection, DestroyedControlGetsNoNotification) {
  SessionHarness h;
  h.ctl->Send();
  h.sock->CompleteConnect();
  h.sock->Receive("220 hi\r\n");
  h.sock = nullptr;
  h.ctl.reset();
  h.loop.RunPending();
  h.clock.Advance(60'000);
  EXPECT_THAT(h.host.events, IsEmpty());
}

}  // namespace
}  // namespace kestrel::testing
