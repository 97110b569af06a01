#pragma once
// The pages the benchmarks and the soak test send, and the exact bytes the control writes for
// them, recorded through the test fakes so that a plain client can write the very same bytes.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrel/session/snpp_instance.hpp"
#include "kestrel/testing/fakes.hpp"

namespace kestrel::bench {

enum class PageKind {
  kLevel1,     // PAGE, MESS, SEND, QUIT
  kLevel2All,  // every level-2 option set, the message as a DATA body
};

inline const char* Name(PageKind kind) {
  return kind == PageKind::kLevel1 ? "level1" : "level2_all_options";
}

// Sets the server and every property of a page of `kind`.
inline void SetUpPage(session::SNPPInstance& c, PageKind kind, std::uint16_t port) {
  c.put_Server("127.0.0.1");
  c.put_ServerPort(port);
  c.put_Recipient("5551234");
  if (kind == PageKind::kLevel1) {
    c.put_SnppLevel(1);
    c.put_Message("db1: disk /var at 97%");
    return;
  }
  c.put_SnppLevel(2);
  c.put_LoginName("oncall");
  c.put_Password("s3cret");
  c.put_coverageArea(3);
  c.put_ServiceLevel(5);
  c.put_HoldUntil("261231235959 +0100");
  c.put_AlertOverride(kTrue);
  c.put_SenderID("5550100");
  c.put_Subject("Disk alert");
  c.put_Message("");
  c.put_Data(
      "db1: disk /var at 97%\n. a line that is only a dot\nAcknowledge in the on-call tool.");
}

// One server reply and what the control writes in answer to it.
struct ScriptStep {
  std::string reply;                // the reply line, with CR LF
  std::vector<std::string> writes;  // each SendData of the control, in order
  bool page_done = false;           // OnComplete was raised on this reply
};

// Drives a control through one page against scripted replies (220 greeting, 354 after DATA, 221
// after QUIT, 250 otherwise) and records every write. Throws if the page does not complete.
inline std::vector<ScriptStep> RecordDialogue(PageKind kind) {
  testing::FakeLoop loop;
  testing::FakeClock clock{loop};
  testing::FakeHost host{loop};
  auto owned = std::make_unique<testing::FakeSocket>(loop);
  testing::FakeSocket& sock = *owned;
  session::SNPPInstance control(host, std::move(owned),
                                std::make_unique<testing::FakeTimer>(clock));
  SetUpPage(control, kind, 444);
  control.Send();
  sock.CompleteConnect();

  std::vector<ScriptStep> steps;
  std::string reply = "220 SNPP Sandbox Ready\r\n";
  for (int guard = 0; guard < 64; ++guard) {
    const std::size_t writes_before = sock.writes.size();
    const std::size_t done_before = host.completions().size();
    sock.Receive(reply);
    loop.RunPending();
    steps.push_back(
        {reply,
         {sock.writes.begin() + static_cast<std::ptrdiff_t>(writes_before), sock.writes.end()},
         host.completions().size() > done_before});
    if (reply.rfind("221", 0) == 0) break;
    if (!host.errors().empty() || sock.writes.size() == writes_before) {
      throw std::logic_error("the recorded dialogue stalled or failed");
    }
    const std::string& last = sock.writes.back();
    reply = last.rfind("QUIT", 0) == 0 ? "221 OK, Goodbye\r\n"
            : last == "DATA\r\n"       ? "354 Begin Input; End with <CRLF>'.'<CRLF>\r\n"
                                       : "250 OK\r\n";
  }
  if (host.completions().size() != 1 || !host.errors().empty() ||
      steps.back().reply.rfind("221", 0) != 0) {
    throw std::logic_error("the recorded dialogue did not deliver exactly one page");
  }
  return steps;
}

}  // namespace kestrel::bench
