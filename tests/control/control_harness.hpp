#pragma once
// An SNPPControl on the platform fakes, with a site that records change notices and sinks that
// record events.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kestrel/control/snpp_control.hpp"
#include "kestrel/testing/fakes.hpp"

namespace kestrel::testing {

class RecordingSite final : public control::ControlSite {
 public:
  explicit RecordingSite(FakeLoop& loop) : loop_(loop) {}
  void PropertyChanged(std::string_view name) override {
    notices.emplace_back(name);
    if (refuse) throw RuntimeError(err::kSiteRefusedChange, "the site refused");
  }
  control::FontRef AmbientFont() override { return ambient; }
  void DoEvents() override { loop_.RunPending(); }

  std::vector<std::string> notices;
  bool refuse = false;
  control::FontRef ambient = std::make_shared<control::Font>();

 private:
  FakeLoop& loop_;
};

struct RecordedEvent {
  platform::EventId id;
  std::string argument;
  bool operator==(const RecordedEvent&) const = default;
};

// Records what it receives; `react` runs inside the handler (may assign to the argument).
class RecordingSink final : public control::EventSink {
 public:
  void OnEvent(platform::EventId id, String& argument) override {
    events.push_back({id, argument});
    if (react) react(id, argument);
  }
  std::vector<RecordedEvent> events;
  std::function<void(platform::EventId, String&)> react;
};

struct ControlHarness {
  FakeLoop loop;
  FakeClock clock{loop};
  RecordingSite site{loop};
  FakeSocket* sock = nullptr;
  std::unique_ptr<control::SNPPControl> ctl;

  ControlHarness() {
    auto s = std::make_unique<FakeSocket>(loop);
    sock = s.get();
    ctl = std::make_unique<control::SNPPControl>(site, std::move(s),
                                                 std::make_unique<FakeTimer>(clock));
  }
  // The server sends `text`; its notification runs.
  void Reply(std::string_view text) {
    sock->Receive(text);
    loop.RunPending();
  }
  // A level-1 page from Send to the delivery reply, the server answering `delivery` to SEND.
  void Page(std::string_view delivery = "250 Message Sent OK\r\n") {
    ctl->session().put_Recipient("555");
    ctl->session().put_Message("hello");
    ctl->session().put_SnppLevel(1);
    ctl->session().CloseConnect();  // a refused page leaves the connection open
    ctl->session().Send();
    sock->CompleteConnect();
    Reply("220 ready\r\n");
    Reply("250 pager ok\r\n");
    Reply("250 message ok\r\n");
    Reply(delivery);
  }
};

}  // namespace kestrel::testing
