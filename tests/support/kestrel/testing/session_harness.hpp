#pragma once
// A paging control wired to fakes, with helpers to script a dialogue:
// start a session, feed a reply, look at what was written and raised.

#include <memory>
#include <string>
#include <string_view>

#include "kestrel/session/snpp_instance.hpp"
#include "kestrel/testing/fakes.hpp"

namespace kestrel::testing {

struct SessionHarness {
  Journal journal;
  FakeLoop loop;
  FakeClock clock{loop};
  FakeHost host{loop, &journal};
  FakeSocket* sock = nullptr;
  FakeTimer* timer = nullptr;
  std::unique_ptr<session::SNPPInstance> ctl;

  SessionHarness() {
    auto s = std::make_unique<FakeSocket>(loop, &journal);
    auto t = std::make_unique<FakeTimer>(clock);
    sock = s.get();
    timer = t.get();
    ctl = std::make_unique<session::SNPPInstance>(host, std::move(s), std::move(t));
    host.probe_state = [this] { return ctl ? "=" + std::to_string(ctl->get_State()) : ""; };
  }

  // Send(), the connection comes up; the greeting is left to the test.
  void Start() {
    ctl->Send();
    sock->CompleteConnect();
  }
  // The server sends `text` (whole lines, or any piece of the stream).
  void Reply(std::string_view text) {
    sock->Receive(text);
    loop.RunPending();
  }
  // Start, then answer with each reply in turn.
  void Run(std::initializer_list<std::string_view> replies) {
    Start();
    for (auto r : replies) Reply(r);
  }
  Integer state() const { return ctl->get_State(); }
  void ClearRecords() {
    journal.clear();
    sock->writes.clear();
    host.notices.clear();
    host.events.clear();
  }
};

}  // namespace kestrel::testing
