// SNPPControl: appearance properties, the font by reference, event sinks and what they receive.

#include <gtest/gtest.h>

#include "control_harness.hpp"

namespace kestrel::control {
namespace {

using platform::EventId;
using testing::ControlHarness;
using testing::RecordedEvent;
using testing::RecordingSink;

TEST(Appearance, NewControlStartsWithTheInitialValuesAndTheAmbientFont) {
  ControlHarness h;
  EXPECT_EQ(h.ctl->get_BackColor(), 0);
  EXPECT_EQ(h.ctl->get_ForeColor(), 0);
  EXPECT_EQ(h.ctl->get_Enabled(), kFalse);
  EXPECT_EQ(h.ctl->get_BackStyle(), 0);
  EXPECT_EQ(h.ctl->get_BorderStyle(), 0);
  EXPECT_EQ(h.ctl->get_Font(), h.site.ambient) << "the very object, not a copy";
  EXPECT_TRUE(h.site.notices.empty());
}

TEST(Appearance, PutsStoreThenNotifyAndNothingElse) {
  ControlHarness h;
  h.ctl->put_BackColor(255);
  h.ctl->put_ForeColor(-1);
  h.ctl->put_Enabled(1);
  h.ctl->put_BackStyle(3);
  h.ctl->put_BorderStyle(-4);
  h.ctl->put_BackColor(255);  // the same value again: notified again
  h.ctl->Refresh();
  EXPECT_EQ(h.site.notices, (std::vector<std::string>{"BackColor", "ForeColor", "Enabled",
                                                      "BackStyle", "BorderStyle", "BackColor"}));
  EXPECT_EQ(h.ctl->get_BackColor(), 255);
  EXPECT_EQ(h.ctl->get_ForeColor(), -1);
  EXPECT_EQ(h.ctl->get_Enabled(), 1);
  EXPECT_EQ(h.ctl->get_BackStyle(), 3);
  EXPECT_EQ(h.ctl->get_BorderStyle(), -4);
  // Appearance never reaches the session.
  EXPECT_TRUE(h.sock->connects.empty());
  EXPECT_EQ(h.ctl->session().get_State(), -1);
}

TEST(Appearance, AFailingNoticeFailsThePutWithTheValueStored) {
  ControlHarness h;
  h.site.refuse = true;
  EXPECT_THROW(h.ctl->put_BorderStyle(2), RuntimeError);
  EXPECT_EQ(h.ctl->get_BorderStyle(), 2);
}

TEST(Appearance, EnabledFalseStillSendsPages) {
  ControlHarness h;
  RecordingSink sink;
  h.ctl->Advise(std::shared_ptr<EventSink>(&sink, [](EventSink*) {}));
  ASSERT_EQ(h.ctl->get_Enabled(), kFalse);
  h.Page();
  EXPECT_EQ(sink.events,
            (std::vector<RecordedEvent>{{EventId::kOnComplete, "250 Message Sent OK\r\n"}}));
}

TEST(Font, PutByReferenceKeepsTheVeryObject) {
  ControlHarness h;
  auto mine = std::make_shared<control::Font>();
  h.ctl->putref_Font(mine);
  EXPECT_EQ(h.site.notices, std::vector<std::string>{"Font"});
  mine->size = 14;  // changed through the host's own reference
  mine->name = "Courier New";
  EXPECT_EQ(h.ctl->get_Font(), mine);
  EXPECT_EQ(h.ctl->get_Font()->size, 14);
  EXPECT_EQ(h.ctl->get_Font()->name, "Courier New");
  h.ctl->putref_Font(nullptr);  // Nothing
  EXPECT_EQ(h.ctl->get_Font(), nullptr);
}

TEST(Sinks, EveryConnectedSinkGetsTheEventInOrder) {
  ControlHarness h;
  std::vector<std::string> order;
  auto a = std::make_shared<RecordingSink>();
  auto b = std::make_shared<RecordingSink>();
  a->react = [&](EventId, String&) { order.push_back("a"); };
  b->react = [&](EventId, String&) { order.push_back("b"); };
  const auto ca = h.ctl->Advise(a);
  const auto cb = h.ctl->Advise(b);
  EXPECT_NE(ca, 0U);
  EXPECT_NE(ca, cb);
  EXPECT_EQ(h.ctl->sink_count(), 2U);
  h.Page("554 refused\r\n");
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(a->events, (std::vector<RecordedEvent>{{EventId::kOnError, "554 refused\r\n"}}));
  EXPECT_EQ(b->events, a->events);

  EXPECT_TRUE(h.ctl->Unadvise(ca));
  EXPECT_FALSE(h.ctl->Unadvise(ca)) << "already disconnected";
  EXPECT_FALSE(h.ctl->Unadvise(0));
  h.Page();
  EXPECT_EQ(a->events.size(), 1U);
  EXPECT_EQ(b->events.size(), 2U);
}

TEST(Sinks, WhatASinkAssignsStaysInTheControl) {
  ControlHarness h;
  auto first = std::make_shared<RecordingSink>();
  auto second = std::make_shared<RecordingSink>();
  first->react = [](EventId id, String& text) {
    text = id == EventId::kOnError ? "handled: " + text : "done";
  };
  h.ctl->Advise(first);
  h.ctl->Advise(second);

  h.Page("554 refused\r\n");
  // The second sink sees what the first one left; the control keeps it.
  EXPECT_EQ(second->events.back().argument, "handled: 554 refused\r\n");
  EXPECT_EQ(h.ctl->session().getLastErrorDescription(), "handled: 554 refused\r\n");

  h.Page();
  EXPECT_EQ(second->events.back(), (RecordedEvent{EventId::kOnComplete, "done"}));
  EXPECT_EQ(h.ctl->session().getLastReply(), "done");
}

TEST(Sinks, DisconnectingFromInsideAHandlerIsSafe) {
  ControlHarness h;
  auto self_removing = std::make_shared<RecordingSink>();
  auto removed_by_other = std::make_shared<RecordingSink>();
  auto stays = std::make_shared<RecordingSink>();
  SinkCookie self_cookie = 0;
  SinkCookie other_cookie = 0;
  self_removing->react = [&](EventId, String&) {
    EXPECT_TRUE(h.ctl->Unadvise(self_cookie));
    EXPECT_TRUE(h.ctl->Unadvise(other_cookie));
    h.ctl->Advise(std::make_shared<RecordingSink>());  // connecting meanwhile is fine too
  };
  self_cookie = h.ctl->Advise(self_removing);
  other_cookie = h.ctl->Advise(removed_by_other);
  h.ctl->Advise(stays);
  self_removing.reset();  // only the control holds it now

  h.Page();
  EXPECT_TRUE(removed_by_other->events.empty()) << "disconnected before its turn";
  EXPECT_EQ(stays->events.size(), 1U);
  EXPECT_EQ(h.ctl->sink_count(), 2U);
}

TEST(Sinks, AHandlerMayDestroyTheControl) {
  ControlHarness h;
  auto killer = std::make_shared<RecordingSink>();
  auto later = std::make_shared<RecordingSink>();
  killer->react = [&](EventId, String&) { h.ctl.reset(); };
  h.ctl->Advise(killer);
  h.ctl->Advise(later);
  h.Page("554 refused\r\n");  // must not touch the destroyed control
  EXPECT_EQ(h.ctl, nullptr);
  EXPECT_TRUE(later->events.empty());
}

TEST(Sinks, AThrowingSinkDoesNotKeepTheEventFromTheOthers) {
  ControlHarness h;
  auto thrower = std::make_shared<RecordingSink>();
  auto next = std::make_shared<RecordingSink>();
  thrower->react = [](EventId, String&) { throw std::runtime_error("sink bug"); };
  h.ctl->Advise(thrower);
  h.ctl->Advise(next);
  h.Page();
  EXPECT_EQ(next->events.size(), 1U);
}

TEST(Events, OnlyOnErrorAndOnCompleteAreEverRaised) {
  ControlHarness h;
  auto sink = std::make_shared<RecordingSink>();
  h.ctl->Advise(sink);
  h.Page();                   // completion
  h.Page("554 refused\r\n");  // refusal
  h.ctl->session().put_ServerTimeout(0);
  h.ctl->session().CloseConnect();
  h.ctl->session().Send();  // then a time-out
  h.clock.Advance(3000);
  h.ctl->Refresh();
  h.ctl->put_Enabled(kTrue);
  ASSERT_GE(sink->events.size(), 3U);
  for (const auto& e : sink->events) {
    EXPECT_TRUE(e.id == EventId::kOnError || e.id == EventId::kOnComplete)
        << static_cast<int>(e.id);
  }
  EXPECT_EQ(sink->events.back(), (RecordedEvent{EventId::kOnError, "Connect Server Time out!"}));
}

}  // namespace
}  // namespace kestrel::control
