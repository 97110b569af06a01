// The property set: initial values, store-then-notify, values kept exactly as passed.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "kestrel/platform/error.hpp"
#include "kestrel/testing/session_harness.hpp"

namespace kestrel::testing {
namespace {

using session::SNPPInstance;

TEST(Properties, NewControlHoldsTheInitialValues) {
  SessionHarness h;
  const auto& c = *h.ctl;
  EXPECT_EQ(c.get_Message(), "0");
  EXPECT_EQ(c.get_State(), -1);
  EXPECT_EQ(c.get_ServerTimeout(), 20);
  EXPECT_EQ(c.get_SnppLevel(), 3);
  EXPECT_EQ(c.get_coverageArea(), -1);
  EXPECT_EQ(c.get_ServiceLevel(), -1);
  EXPECT_EQ(c.get_Idle(), kTrue);
  EXPECT_EQ(c.get_AlertOverride(), kFalse);
  EXPECT_EQ(c.get_Server(), "127.0.0.1");
  EXPECT_EQ(c.get_ServerPort(), 0);
  for (const auto& s : {c.get_SenderID(), c.get_Recipient(), c.get_Data(), c.get_LoginName(),
                        c.get_Password(), c.get_HoldUntil(), c.get_Subject()}) {
    EXPECT_EQ(s, "");
  }
  EXPECT_EQ(c.getLastReply(), "");
  EXPECT_EQ(c.getLastErrorDescription(), "");
  EXPECT_EQ(c.getLastError(), "");
  EXPECT_EQ(h.timer->Interval(), 1000);
  EXPECT_FALSE(h.timer->Enabled());
  EXPECT_TRUE(h.host.notices.empty());
}

// One row per property: put a value, read it back, and see the change notice by its own name.
struct PropertyCase {
  const char* name;
  std::function<void(SNPPInstance&)> put;
  std::function<bool(const SNPPInstance&)> holds;
};

const PropertyCase kProperties[] = {
    {"SenderID", [](auto& c) { c.put_SenderID("ops"); },
     [](auto& c) { return c.get_SenderID() == "ops"; }},
    {"Recipient", [](auto& c) { c.put_Recipient(" 555 "); },
     [](auto& c) { return c.get_Recipient() == " 555 "; }},
    {"Idle", [](auto& c) { c.put_Idle(1); }, [](auto& c) { return c.get_Idle() == 1; }},
    {"State", [](auto& c) { c.put_State(5); }, [](auto& c) { return c.get_State() == 5; }},
    {"Server", [](auto& c) { c.put_Server("pager.example"); },
     [](auto& c) { return c.get_Server() == "pager.example"; }},
    {"ServerPort", [](auto& c) { c.put_ServerPort(70000); },
     [](auto& c) { return c.get_ServerPort() == 70000; }},
    {"ServerTimeout", [](auto& c) { c.put_ServerTimeout(-32768); },
     [](auto& c) { return c.get_ServerTimeout() == -32768; }},
    {"Data", [](auto& c) { c.put_Data("a\nb"); }, [](auto& c) { return c.get_Data() == "a\nb"; }},
    {"coverageArea", [](auto& c) { c.put_coverageArea(32767); },
     [](auto& c) { return c.get_coverageArea() == 32767; }},
    {"ServiceLevel", [](auto& c) { c.put_ServiceLevel(0); },
     [](auto& c) { return c.get_ServiceLevel() == 0; }},
    {"SnppLevel", [](auto& c) { c.put_SnppLevel(-3); },
     [](auto& c) { return c.get_SnppLevel() == -3; }},
    {"LoginName", [](auto& c) { c.put_LoginName("alice"); },
     [](auto& c) { return c.get_LoginName() == "alice"; }},
    {"Password", [](auto& c) { c.put_Password("s3cret"); },
     [](auto& c) { return c.get_Password() == "s3cret"; }},
    {"HoldUntil", [](auto& c) { c.put_HoldUntil(" "); },
     [](auto& c) { return c.get_HoldUntil() == " "; }},
    {"Subject", [](auto& c) { c.put_Subject("Disk"); },
     [](auto& c) { return c.get_Subject() == "Disk"; }},
    {"Message", [](auto& c) { c.put_Message(""); },
     [](auto& c) { return c.get_Message().empty(); }},
    {"AlertOverride", [](auto& c) { c.put_AlertOverride(1); },
     [](auto& c) { return c.get_AlertOverride() == 1; }},
};

TEST(Properties, EachPutStoresAndNotifiesByItsOwnName) {
  for (const auto& p : kProperties) {
    SessionHarness h;
    p.put(*h.ctl);
    EXPECT_TRUE(p.holds(*h.ctl)) << p.name;
    EXPECT_EQ(h.host.notices, std::vector<std::string>{p.name});
  }
}

TEST(Properties, ValueIsStoredBeforeTheHostHearsOfIt) {
  for (const auto& p : kProperties) {
    SessionHarness h;
    bool seen_new_value = false;
    h.host.probe_state = [&] {
      seen_new_value = p.holds(*h.ctl);
      return std::string();
    };
    p.put(*h.ctl);
    EXPECT_TRUE(seen_new_value) << p.name;
  }
}

TEST(Properties, NoticeFailureReachesTheCallerButTheValueStays) {
  for (const auto& p : kProperties) {
    SessionHarness h;
    h.host.fail_notices = true;
    EXPECT_THROW(p.put(*h.ctl), RuntimeError) << p.name;
    EXPECT_TRUE(p.holds(*h.ctl)) << p.name;
  }
}

TEST(Properties, SameValueTwiceNotifiesTwice) {
  SessionHarness h;
  h.ctl->put_SenderID("x");
  h.ctl->put_SenderID("x");
  EXPECT_EQ(h.host.notices, (std::vector<std::string>{"SenderID", "SenderID"}));
}

TEST(Properties, ServerAndPortLiveInTheSocket) {
  SessionHarness h;
  h.ctl->put_Server("10.1.2.3");
  h.ctl->put_ServerPort(-1);
  EXPECT_EQ(h.sock->RemoteHost(), "10.1.2.3");
  EXPECT_EQ(h.sock->RemotePort(), -1);
  h.sock->SetRemoteHost("elsewhere");
  EXPECT_EQ(h.ctl->get_Server(), "elsewhere");
}

TEST(Properties, ServerChangeDuringASessionLeavesTheConnectionAlone) {
  SessionHarness h;
  h.ctl->put_ServerPort(444);
  h.Start();
  h.ctl->put_Server("other");
  EXPECT_EQ(h.sock->State(), platform::SocketState::kConnected);
  EXPECT_EQ(h.sock->connects.size(), 1u);
  EXPECT_EQ(h.sock->connects[0].first, "127.0.0.1");
}

TEST(Properties, IdleIsAPlainFlag) {
  SessionHarness h;
  h.ctl->put_Idle(kFalse);
  h.ctl->put_SnppLevel(1);
  h.Run({"220 hi\r\n", "250 ok\r\n", "250 ok\r\n", "250 sent\r\n", "221 bye\r\n"});
  EXPECT_EQ(h.host.completions().size(), 1u);
  EXPECT_EQ(h.ctl->get_Idle(), kFalse);
}

}  // namespace
}  // namespace kestrel::testing
