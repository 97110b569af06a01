// The SNPP dialogue: command lines on the wire, reply dispatch, skip chains, outcome reporting.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestrel/platform/error.hpp"
#include "kestrel/testing/session_harness.hpp"

namespace kestrel::testing {
namespace {

using session::SessionState;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Strings = std::vector<std::string>;

void SetEveryOption(session::SNPPInstance& c) {
  c.put_LoginName("alice");
  c.put_Password("pw");
  c.put_coverageArea(2);
  c.put_ServiceLevel(1);
  c.put_HoldUntil("370101120000 -0500");
  c.put_AlertOverride(kTrue);
  c.put_Recipient("5551234");
  c.put_SenderID("ops");
  c.put_Subject("Disk alert");
  c.put_Message("disk full");
  c.put_Data("unused");
}

TEST(Dialogue, LevelOneSequenceIgnoresEveryOption) {
  for (bool options : {false, true}) {
    SessionHarness h;
    if (options) SetEveryOption(*h.ctl);
    h.ctl->put_Recipient("5551234");
    h.ctl->put_Message("hello");
    h.ctl->put_SnppLevel(1);
    h.Run({"220 SNPP Gateway Ready\r\n", "250 Pager ID Accepted\r\n", "250 Message OK\r\n",
           "250 Message Sent Successfully\r\n", "221 OK, Goodbye\r\n"});
    EXPECT_THAT(h.sock->writes,
                ElementsAre("PAGE 5551234\r\n", "MESS hello\r\n", "SEND\r\n", "QUIT\r\n"));
    EXPECT_THAT(h.host.completions(), ElementsAre("250 Message Sent Successfully\r\n"));
    EXPECT_THAT(h.host.errors(), IsEmpty());
    EXPECT_EQ(h.state(), 14);
    EXPECT_EQ(h.sock->State(), platform::SocketState::kClosed);
    EXPECT_FALSE(h.timer->Enabled());
    EXPECT_EQ(h.ctl->TickCount(), 0);
  }
}

TEST(Dialogue, LevelTwoWithEveryOptionSet) {
  SessionHarness h;
  SetEveryOption(*h.ctl);
  h.Run({"220 hi\r\n", "250 login\r\n", "250 cove\r\n", "250 leve\r\n", "250 hold\r\n",
         "250 aler\r\n", "250 page\r\n", "250 call\r\n", "250 subj\r\n", "250 mess\r\n",
         "960 queued\r\n", "221 bye\r\n"});
  EXPECT_THAT(h.sock->writes, ElementsAre("LOGI alice pw\r\n", "COVE 2\r\n", "LEVE 1\r\n",
                                          "HOLD 370101120000 -0500\r\n", "ALER 1\r\n",
                                          "PAGE 5551234\r\n", "CALL ops\r\n", "SUBJ Disk alert\r\n",
                                          "MESS disk full\r\n", "SEND\r\n", "QUIT\r\n"));
  EXPECT_THAT(h.host.completions(), ElementsAre("960 queued\r\n"));
}

TEST(Dialogue, LevelTwoWithNoOptionGoesStraightToPageAndData) {
  SessionHarness h;
  h.ctl->put_Recipient("5551234");
  h.ctl->put_Message("");
  h.ctl->put_Data("line one\n.\n..dotted\nlast");
  h.Start();
  h.ClearRecords();
  h.Reply("220 hi\r\n");
  // State goes from 0 straight to 11, notified before the write.
  EXPECT_THAT(h.journal, ElementsAre("notice State=11", "write PAGE 5551234\r\n"));
  h.ClearRecords();
  h.Reply("250 ok\r\n");
  EXPECT_THAT(h.journal, ElementsAre("notice State=12", "notice State=21", "write DATA\r\n"));
  h.Reply("354 go ahead\r\n");
  EXPECT_EQ(h.state(), 21);
  EXPECT_THAT(h.sock->writes,
              ElementsAre("DATA\r\n", "line one\r\n..\r\n...dotted\r\nlast\r\n", ".\r\n"));
  h.Reply("250 Message OK\r\n");
  h.Reply("250 sent\r\n");
  h.Reply("221 bye\r\n");
  EXPECT_EQ(h.sock->writes.back(), "QUIT\r\n");
  EXPECT_THAT(h.host.completions(), ElementsAre("250 sent\r\n"));
}

TEST(Dialogue, EmptyDataBodyIsAnEmptyWriteThenTheDot) {
  SessionHarness h;
  h.ctl->put_SnppLevel(2);
  h.ctl->put_Message("");
  h.Run({"220 hi\r\n", "250 ok\r\n", "354 go\r\n"});
  EXPECT_THAT(h.sock->writes, ElementsAre("PAGE \r\n", "DATA\r\n", "", ".\r\n"));
}

TEST(Dialogue, CommandTextsFollowTheProperties) {
  struct Case {
    const char* what;
    std::function<void(session::SNPPInstance&)> set;
    std::string first_write;  // the write that follows the greeting
  } cases[] = {
      {"empty recipient", [](auto&) {}, "PAGE \r\n"},
      {"coverage 0 skipped", [](auto& c) { c.put_coverageArea(0); }, "PAGE \r\n"},
      {"coverage -5 skipped", [](auto& c) { c.put_coverageArea(-5); }, "PAGE \r\n"},
      {"coverage 1", [](auto& c) { c.put_coverageArea(1); }, "COVE 1\r\n"},
      {"coverage 32767", [](auto& c) { c.put_coverageArea(32767); }, "COVE 32767\r\n"},
      {"service level 0 skipped", [](auto& c) { c.put_ServiceLevel(0); }, "PAGE \r\n"},
      {"service level 11", [](auto& c) { c.put_ServiceLevel(11); }, "LEVE 11\r\n"},
      {"hold of a blank counts as set", [](auto& c) { c.put_HoldUntil(" "); }, "HOLD  \r\n"},
      {"alert -1", [](auto& c) { c.put_AlertOverride(kTrue); }, "ALER 1\r\n"},
      {"alert 1", [](auto& c) { c.put_AlertOverride(1); }, "ALER 1\r\n"},
      {"login without password", [](auto& c) { c.put_LoginName("bob"); }, "LOGI bob\r\n"},
      {"password without login is never sent", [](auto& c) { c.put_Password("pw"); }, "PAGE \r\n"},
      {"level 9 is level 2",
       [](auto& c) {
         c.put_SnppLevel(9);
         c.put_LoginName("x");
       },
       "LOGI x\r\n"},
      {"level 0 is level 1",
       [](auto& c) {
         c.put_SnppLevel(0);
         c.put_LoginName("x");
       },
       "PAGE \r\n"},
  };
  for (const auto& c : cases) {
    SessionHarness h;
    c.set(*h.ctl);
    h.Run({"220 hi\r\n"});
    EXPECT_THAT(h.sock->writes, ElementsAre(c.first_write)) << c.what;
  }
}

TEST(Dialogue, AfterPageTheMessageStepFollowsLevelAndMessage) {
  struct Case {
    Integer level;
    std::string message, data, subject, want;
  } cases[] = {
      {1, "", "body", "", "MESS \r\n"},  // level 1 never uses DATA
      {-3, "hi", "", "s", "MESS hi\r\n"},
      {2, "hi", "body", "", "MESS hi\r\n"},  // Message wins over Data
      {2, "", "", "", "DATA\r\n"},
      {3, "hi", "", "s", "SUBJ s\r\n"},  // no caller id: subject still sent
  };
  for (const auto& c : cases) {
    SessionHarness h;
    h.ctl->put_SnppLevel(c.level);
    h.ctl->put_Message(c.message);
    h.ctl->put_Data(c.data);
    h.ctl->put_Subject(c.subject);
    h.Run({"220 hi\r\n", "250 ok\r\n"});
    ASSERT_EQ(h.sock->writes.size(), 2u);
    EXPECT_EQ(h.sock->writes[1], c.want) << "level " << c.level;
  }
}

// Every handled state against every interesting code, with every option set so that each next
// command is distinct.
TEST(Dialogue, TransitionTable) {
  struct Row {
    SessionState state;
    std::vector<std::string> accepted;
    std::string next_write;  // after an accepted code; empty for state 14
  };
  const Row rows[] = {
      {SessionState::kWaitGreeting, {"220"}, "LOGI alice pw\r\n"},
      {SessionState::kWaitLogin, {"250", "230", "500"}, "COVE 2\r\n"},
      {SessionState::kWaitCoverage, {"250", "500"}, "LEVE 1\r\n"},
      {SessionState::kWaitLevel, {"250", "500"}, "HOLD 370101120000 -0500\r\n"},
      {SessionState::kWaitHold, {"250", "500"}, "ALER 1\r\n"},
      {SessionState::kWaitAlert, {"250", "500"}, "PAGE 5551234\r\n"},
      {SessionState::kWaitPage, {"250"}, "CALL ops\r\n"},
      {SessionState::kWaitCaller, {"250", "500"}, "SUBJ Disk alert\r\n"},
      {SessionState::kWaitSubject, {"250", "500"}, "MESS disk full\r\n"},
      {SessionState::kWaitMess, {"250"}, "SEND\r\n"},
      {SessionState::kWaitSend, {"250", "860", "960"}, "QUIT\r\n"},
      {SessionState::kWaitQuit, {"221"}, ""},
  };
  const std::string codes[] = {"220", "221", "230", "250", "354", "421", "500", "502",
                               "550", "554", "860", "960", "25",  "",    " 25"};
  for (const auto& row : rows) {
    for (const auto& code : codes) {
      SessionHarness h;
      SetEveryOption(*h.ctl);
      h.Start();
      h.ctl->put_State(static_cast<Integer>(row.state));
      h.ClearRecords();
      const std::string reply = code + " text\r\n";
      h.Reply(reply);
      const bool accepted =
          std::find(row.accepted.begin(), row.accepted.end(), code) != row.accepted.end();
      SCOPED_TRACE(::testing::Message() << row.state << " reply '" << code << "'");
      if (accepted) {
        EXPECT_THAT(h.host.errors(), IsEmpty());
        if (row.next_write.empty()) {
          EXPECT_THAT(h.sock->writes, IsEmpty());
          EXPECT_EQ(h.sock->State(), platform::SocketState::kClosed);
        } else {
          EXPECT_THAT(h.sock->writes, ElementsAre(row.next_write));
        }
      } else {
        EXPECT_THAT(h.host.errors(), ElementsAre(reply));
        EXPECT_EQ(h.ctl->getLastErrorDescription(), reply);
        EXPECT_THAT(h.sock->writes, IsEmpty());
        EXPECT_EQ(h.state(), static_cast<Integer>(row.state));
        EXPECT_EQ(h.sock->State(), platform::SocketState::kConnected);
      }
    }
  }
}

TEST(Dialogue, WaitDataTakesTheGoAheadThenTheBodyReply) {
  for (const std::string code : {"220", "500", "550", "554", "421"}) {
    SessionHarness h;
    h.Start();
    h.ctl->put_State(21);
    h.ClearRecords();
    h.Reply(code + " x\r\n");
    EXPECT_THAT(h.host.errors(), ElementsAre(code + " x\r\n"));
    EXPECT_EQ(h.state(), 21);
  }
  SessionHarness h;
  h.ctl->put_Data("b");
  h.Start();
  h.ctl->put_State(21);
  h.ClearRecords();
  h.Reply("354 go\r\n");
  EXPECT_THAT(h.sock->writes, ElementsAre("b\r\n", ".\r\n"));
  EXPECT_EQ(h.state(), 21);
  h.Reply("250 ok\r\n");
  EXPECT_EQ(h.sock->last_write(), "SEND\r\n");
}

TEST(Dialogue, ContinuedRepliesAreOneReplyEach) {
  // What the host sees of a continued reply: every line, as received. (That a continued PAGE
  // reply no longer answers MESS is shown end to end, through snpp-send.)
  SessionHarness ok;
  ok.ctl->put_SnppLevel(1);
  ok.Run({"220-Welcome\r\n220 hi\r\n", "250 ok\r\n", "250 ok\r\n",
          "250-Message queued\r\n250 id 7\n"});
  EXPECT_THAT(ok.host.completions(), ElementsAre("250-Message queued\r\n250 id 7\n"));
  EXPECT_EQ(ok.sock->last_write(), "QUIT\r\n");

  // A continued reply that breaks its form is reported as such, with what it means for the page.
  for (const bool at_send : {false, true}) {
    SessionHarness bad;
    bad.ctl->put_SnppLevel(1);
    bad.Run({"220 hi\r\n"});
    if (at_send) {
      bad.Reply("250 ok\r\n");
      bad.Reply("250 ok\r\n");
    }
    bad.Reply("250-accepted\r\n554 but refused\r\n");
    ASSERT_EQ(bad.host.errors().size(), 1u);
    EXPECT_THAT(bad.host.errors()[0], HasSubstr("its code changed from 250 to 554"));
    EXPECT_THAT(bad.host.errors()[0], HasSubstr(at_send ? "may or may not have been delivered"
                                                        : "the page was not sent"));
    EXPECT_EQ(bad.ctl->getLastError(), std::to_string(err::kMalformedReply));
    EXPECT_THAT(bad.host.completions(), IsEmpty());
  }
}

TEST(Dialogue, StatesWithoutAHandlerDropEveryReply) {
  for (Integer state : {-1, 1, 5, 10, 15, 20, 29, -2, 32767}) {
    SessionHarness h;
    h.Start();
    h.ctl->put_State(state);
    h.ClearRecords();
    h.Reply("220 hi\r\n250 ok\r\n421 bye\r\n");
    EXPECT_THAT(h.host.events, IsEmpty()) << state;
    EXPECT_THAT(h.sock->writes, IsEmpty()) << state;
  }
}

TEST(Dialogue, RefusedDeliveryIsKeptAsLastReplyAndReported) {
  SessionHarness h;
  h.ctl->put_SnppLevel(1);
  h.Run({"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "554 Error, failed\r\n"});
  EXPECT_EQ(h.ctl->getLastReply(), "554 Error, failed\r\n");
  EXPECT_THAT(h.host.errors(), ElementsAre("554 Error, failed\r\n"));
  EXPECT_THAT(h.host.completions(), IsEmpty());
  EXPECT_EQ(h.state(), 13);
  EXPECT_EQ(h.sock->last_write(), "SEND\r\n");
  EXPECT_EQ(h.sock->State(), platform::SocketState::kConnected);
  EXPECT_TRUE(h.timer->Enabled());
}

TEST(Dialogue, EventArgumentsAreByReference) {
  SessionHarness h;
  h.ctl->put_SnppLevel(1);
  h.host.on_event = [&](platform::EventId id, String& arg) {
    if (id == platform::EventId::kOnError) {
      EXPECT_EQ(h.ctl->getLastErrorDescription(), arg);  // already stored when raised
      arg = "rewritten by handler";
    } else {
      EXPECT_EQ(h.state(), 13);  // QUIT not yet written
      EXPECT_NE(h.sock->last_write(), "QUIT\r\n");
      EXPECT_EQ(h.ctl->getLastReply(), arg);
      arg = "kept by handler";
    }
  };
  h.Run({"220 hi\r\n", "550 Invalid Pager ID\r\n"});
  EXPECT_EQ(h.ctl->getLastErrorDescription(), "rewritten by handler");
  h.ctl->put_State(13);
  h.Reply("250 sent\r\n");
  EXPECT_EQ(h.ctl->getLastReply(), "kept by handler");
  EXPECT_EQ(h.sock->last_write(), "QUIT\r\n");
}

TEST(Dialogue, OnlyTheNewestFailureIsKept) {
  SessionHarness h;
  h.Run({"421 one\r\n"});
  h.ctl->CloseConnect();
  h.Run({"554 two\r\n"});
  EXPECT_EQ(h.ctl->getLastErrorDescription(), "554 two\r\n");
  EXPECT_EQ(h.ctl->getLastError(), "");  // refusals are not runtime errors
}

TEST(Dialogue, LineBreakInAOneLineParameterIsRefusedNotWritten) {
  struct Case {
    const char* property;
    std::function<void(session::SNPPInstance&)> set;
    Integer state_left;
  } cases[] = {
      {"Recipient", [](auto& c) { c.put_Recipient("555\r\nSEND"); }, 11},
      {"LoginName", [](auto& c) { c.put_LoginName("a\nb"); }, 22},
      {"Password",
       [](auto& c) {
         c.put_LoginName("alice");
         c.put_Password("top\rsecret");
       },
       22},
      {"HoldUntil", [](auto& c) { c.put_HoldUntil("37\n"); }, 26},
  };
  for (const auto& c : cases) {
    SessionHarness h;
    c.set(*h.ctl);
    h.Run({"220 hi\r\n"});
    EXPECT_THAT(h.sock->writes, IsEmpty()) << c.property;
    ASSERT_EQ(h.host.errors().size(), 1u) << c.property;
    EXPECT_THAT(h.host.errors()[0], HasSubstr(c.property));
    EXPECT_THAT(h.host.errors()[0], HasSubstr("line break"));
    EXPECT_THAT(h.host.errors()[0], Not(HasSubstr("secret")));
    EXPECT_EQ(h.state(), c.state_left) << c.property;
    EXPECT_EQ(h.ctl->getLastError(), std::to_string(err::kLineBreakInParameter));
  }
  struct Late {
    const char* property;
    std::function<void(session::SNPPInstance&)> set;
    Integer state_left;
  } late[] = {
      {"SenderID", [](auto& c) { c.put_SenderID("x\ny"); }, 27},
      {"Subject", [](auto& c) { c.put_Subject("x\r"); }, 25},
      {"Message", [](auto& c) { c.put_Message("two\nlines"); }, 12},
  };
  for (const auto& c : late) {
    SessionHarness h;
    c.set(*h.ctl);
    h.Run({"220 hi\r\n", "250 ok\r\n"});
    EXPECT_THAT(h.sock->writes, ElementsAre("PAGE \r\n")) << c.property;
    ASSERT_EQ(h.host.errors().size(), 1u);
    EXPECT_THAT(h.host.errors()[0], HasSubstr(c.property));
    EXPECT_EQ(h.state(), c.state_left);
  }
}

// A server written in C would cut each of these lines at the NUL and act on the rest.
TEST(Dialogue, NulInAOneLineParameterIsRefusedLikeALineBreak) {
  using namespace std::string_literals;
  struct Case {
    const char* property;
    std::function<void(session::SNPPInstance&)> set;
    std::vector<std::string> replies;
    std::vector<std::string> written;
  } cases[] = {
      {"Recipient",
       [](auto& c) {
         c.put_Recipient(
             "12\0"s
             "3");
       },
       {"220 hi\r\n"},
       {}},
      {"LoginName",
       [](auto& c) {
         c.put_LoginName(
             "op\0"s
             "s");
       },
       {"220 hi\r\n"},
       {}},
      {"Password",
       [](auto& c) {
         c.put_LoginName("ops");
         c.put_Password(
             "sec\0"s
             "ret");
       },
       {"220 hi\r\n"},
       {}},
      {"HoldUntil",
       [](auto& c) {
         c.put_HoldUntil(
             "\0"s
             "1");
       },
       {"220 hi\r\n"},
       {}},
      {"SenderID",
       [](auto& c) { c.put_SenderID("a\0"s); },
       {"220 hi\r\n", "250 ok\r\n"},
       {"PAGE \r\n"}},
      {"Subject",
       [](auto& c) { c.put_Subject("\0"s); },
       {"220 hi\r\n", "250 ok\r\n"},
       {"PAGE \r\n"}},
      {"Message",
       [](auto& c) {
         c.put_Message(
             "hi\0"s
             "there");
       },
       {"220 hi\r\n", "250 ok\r\n"},
       {"PAGE \r\n"}},
  };
  for (const auto& c : cases) {
    SessionHarness h;
    c.set(*h.ctl);
    h.Start();
    for (const auto& r : c.replies) h.Reply(r);
    EXPECT_EQ(h.sock->writes, c.written) << c.property;
    ASSERT_EQ(h.host.errors().size(), 1u) << c.property;
    EXPECT_THAT(h.host.errors()[0], HasSubstr(c.property));
    EXPECT_THAT(h.host.errors()[0], HasSubstr("NUL"));
    EXPECT_THAT(h.host.errors()[0], Not(HasSubstr("ret")));
    EXPECT_EQ(h.ctl->getLastError(), std::to_string(err::kLineBreakInParameter)) << c.property;
  }
}

TEST(Dialogue, MessageLineBreakAdviceNamesData) {
  SessionHarness h;
  h.ctl->put_SnppLevel(1);
  h.ctl->put_Message("a\nb");
  h.Run({"220 hi\r\n", "250 ok\r\n"});
  ASSERT_EQ(h.host.errors().size(), 1u);
  EXPECT_THAT(h.host.errors()[0], HasSubstr("Data"));
}

TEST(Dialogue, WriteFailureInsideASkipChainIsTrappedAndLeavesTheNewState) {
  SessionHarness h;
  h.ctl->put_ServiceLevel(4);  // login and coverage unset: the chain ends at LEVE
  h.Start();
  h.sock->FailWritesAfter(0, 70001);  // a number wider than 16 bits is kept whole
  h.Reply("220 hi\r\n");
  EXPECT_THAT(h.host.errors(), ElementsAre("write failed"));
  EXPECT_EQ(h.state(), 23);
  EXPECT_EQ(h.ctl->LastErrorNumber(), 70001);
  EXPECT_EQ(h.ctl->getLastError(), "70001");
}

TEST(Dialogue, FailedBodyWriteIsNotFollowedByTheDot) {
  SessionHarness h;
  h.ctl->put_Message("");
  h.ctl->put_Data("body");
  h.Run({"220 hi\r\n", "250 ok\r\n"});
  h.sock->FailWritesAfter(0);
  h.Reply("354 go\r\n");
  EXPECT_THAT(h.sock->writes, ElementsAre("PAGE \r\n", "DATA\r\n"));
  EXPECT_EQ(h.host.errors().size(), 1u);
}

TEST(Dialogue, NoticeFailureDuringAReplyIsTrapped) {
  SessionHarness h;
  h.ctl->put_SnppLevel(1);
  h.Start();
  h.host.fail_notices = true;
  h.Reply("220 hi\r\n");
  EXPECT_THAT(h.host.errors(), ElementsAre("host refused the change notice"));
  EXPECT_EQ(h.state(), 11);  // stored before the notice failed
  EXPECT_THAT(h.sock->writes, IsEmpty());
  EXPECT_EQ(h.ctl->getLastError(), "1001");
}

TEST(Dialogue, ControlDestroyedFromInsideOnCompleteStopsCleanly) {
  SessionHarness h;
  h.ctl->put_SnppLevel(1);
  h.host.on_event = [&](platform::EventId id, String&) {
    if (id == platform::EventId::kOnComplete) h.ctl.reset();
  };
  h.sock = nullptr;  // owned by the control, which goes away
  h.ctl->Send();
  // The fake socket is reached through the control until it is destroyed.
  auto& sock = static_cast<FakeSocket&>(h.ctl->sck());
  sock.CompleteConnect();
  for (const char* reply : {"220 a\r\n", "250 b\r\n", "250 c\r\n", "250 d\r\n"}) {
    sock.Receive(reply);
    h.loop.RunPending();
  }
  EXPECT_EQ(h.ctl, nullptr);
  EXPECT_EQ(h.host.completions().size(), 1u);
}

TEST(Dialogue, RepliesOutOfTurnAreAProtocolErrorNeverAnOutcome) {
  // The greeting and ten 250s at once, before any command: the 250s cannot answer PAGE, MESS
  // or SEND, which were not written when they came. PAGE is not written, and nothing more of
  // this connection is taken as a reply.
  SessionHarness h;
  h.ctl->put_SnppLevel(1);
  h.Start();
  std::string flood = "220 hi\r\n";
  for (int i = 0; i < 10; ++i) flood += "250 ok\r\n";
  h.Reply(flood);
  EXPECT_THAT(h.sock->writes, IsEmpty());
  ASSERT_EQ(h.host.errors().size(), 1u);
  EXPECT_THAT(h.host.errors()[0], HasSubstr("sent \"250 ok\" before our PAGE was written"));
  EXPECT_THAT(h.host.errors()[0], HasSubstr("the page was not sent"));
  EXPECT_EQ(h.ctl->getLastError(), std::to_string(err::kReplyOutOfTurn));
  EXPECT_EQ(h.state(), 0);
  h.Reply("250 ok\r\n250 sent\r\n");
  EXPECT_THAT(h.sock->writes, IsEmpty());
  EXPECT_EQ(h.host.errors().size(), 1u);
  EXPECT_THAT(h.host.completions(), IsEmpty());

  // The same at SEND: the line that came with MESS's reply keeps SEND off the wire.
  SessionHarness at_send;
  at_send.ctl->put_SnppLevel(1);
  at_send.Run({"220 hi\r\n", "250 page\r\n", "250 mess\r\n250 sent\r\n"});
  EXPECT_THAT(at_send.sock->writes, ElementsAre("PAGE \r\n", "MESS 0\r\n"));
  EXPECT_THAT(at_send.host.completions(), IsEmpty());
  EXPECT_EQ(at_send.state(), 12) << "checked before State 13, so no SEND notice went out";

  // A reply when no command awaits one: after a refusal, and after the delivery (before QUIT).
  SessionHarness refused;
  refused.Run({"220 hi\r\n", "550 no such pager\r\n", "250 ok\r\n"});
  ASSERT_EQ(refused.host.errors().size(), 2u);
  EXPECT_THAT(refused.host.errors()[1], HasSubstr("\"250 ok\" while no command awaited a reply"));
  SessionHarness delivered;
  delivered.ctl->put_SnppLevel(1);
  delivered.Run({"220 hi\r\n", "250 page\r\n", "250 mess\r\n", "250 sent\r\n250 more\r\n"});
  EXPECT_THAT(delivered.host.completions(), ElementsAre("250 sent\r\n"));
  EXPECT_NE(delivered.sock->last_write(), "QUIT\r\n");
  ASSERT_EQ(delivered.host.errors().size(), 1u);
  EXPECT_THAT(delivered.host.errors()[0], HasSubstr("the page had already been accepted"));

  // A host that writes State names the reply it waits for: the next reply is taken there.
  SessionHarness host_driven;
  host_driven.Run({"220 hi\r\n", "550 no such pager\r\n"});
  host_driven.ctl->put_State(11);
  host_driven.Reply("250 ok\r\n");
  EXPECT_EQ(host_driven.host.errors().size(), 1u);
  EXPECT_EQ(host_driven.state(), 12);
}

TEST(Dialogue, EveryReplySplitAtEveryByteGivesTheSameResult) {
  const std::vector<std::string> replies = {
      "220 SNPP Gateway Ready\r\n", "250 Pager ID Accepted\r\n", "250-Message OK\r\n250 queued\r\n",
      "250 Message Sent Successfully\r\n", "221 OK, Goodbye\r\n"};
  for (std::size_t which = 0; which < replies.size(); ++which) {
    for (std::size_t cut = 0; cut <= replies[which].size(); ++cut) {
      SessionHarness h;
      h.ctl->put_SnppLevel(1);
      h.Start();
      for (std::size_t i = 0; i < replies.size(); ++i) {
        if (i != which) {
          h.Reply(replies[i]);
          continue;
        }
        h.Reply(replies[i].substr(0, cut));
        h.Reply(replies[i].substr(cut));
      }
      ASSERT_THAT(h.sock->writes, ElementsAre("PAGE \r\n", "MESS 0\r\n", "SEND\r\n", "QUIT\r\n"))
          << "reply " << which << " cut at " << cut;
      ASSERT_THAT(h.host.completions(), ElementsAre("250 Message Sent Successfully\r\n"));
      ASSERT_THAT(h.host.errors(), IsEmpty());
    }
  }
}

TEST(Dialogue, LinesAfterAHandlerClosesTheConnectionAreDropped) {
  SessionHarness h;
  h.ctl->put_SnppLevel(1);
  h.host.on_event = [&](platform::EventId, String&) { h.ctl->CloseConnect(); };
  h.Start();
  h.Reply("421 go away\r\n220 late greeting\r\n");
  EXPECT_THAT(h.host.errors(), ElementsAre("421 go away\r\n"));
  EXPECT_THAT(h.sock->writes, IsEmpty());
}

}  // namespace
}  // namespace kestrel::testing
