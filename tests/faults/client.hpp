#pragma once
// The real paging control on the real Asio socket and timer, with a host that records its events.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/platform/control_host.hpp"
#include "kestrel/platform/event_loop.hpp"
#include "kestrel/platform/forwarding_socket.hpp"
#include "kestrel/session/snpp_instance.hpp"

namespace kestrel::testing {

struct RecordedEvent {
  platform::EventId id;
  String text;
};

// A host on a real event loop: DoEvents polls the loop; every event is kept, in order.
class LoopHost final : public platform::ControlHost {
 public:
  explicit LoopHost(platform::EventLoop& loop) : loop_(loop) {}
  void PropertyChanged(std::string_view) override {}
  void RaiseEvent(platform::EventId id, String& argument) override {
    events.push_back({id, argument});
    if (auto handler = on_event) handler(id, argument);
  }
  void DoEvents() override { loop_.Poll(); }

  std::vector<String> errors() const { return Of(platform::EventId::kOnError); }
  std::vector<String> completions() const { return Of(platform::EventId::kOnComplete); }

  std::vector<RecordedEvent> events;
  std::function<void(platform::EventId, String&)> on_event;

 private:
  std::vector<String> Of(platform::EventId id) const {
    std::vector<String> out;
    for (const auto& e : events)
      if (e.id == id) out.push_back(e.text);
    return out;
  }
  platform::EventLoop& loop_;
};

// Passes everything on to the real socket, and counts what the control fetched from it.
class CountingSocket final : public platform::ForwardingSocket {
 public:
  using ForwardingSocket::ForwardingSocket;
  String GetData() override {
    String data = ForwardingSocket::GetData();
    fetched += data.size();
    if (data.size() > largest_fetch) largest_fetch = data.size();
    return data;
  }

  std::size_t fetched = 0;
  std::size_t largest_fetch = 0;
};

// One control, set up for a page to 127.0.0.1:port.
struct Client {
  // The control's timer ticks this often here (1000 ms in real use): the time-out counts ticks,
  // so a short tick keeps time-out cases quick without changing what they show.
  static constexpr Long kTick = 50;
  static constexpr Integer kServerTimeout = 20;  // ticks: about a second here

  explicit Client(int port, int level, Long tick = kTick) {
    auto counting = std::make_unique<CountingSocket>(platform::MakeAsioSocket(loop));
    sock = counting.get();
    ctl = std::make_unique<session::SNPPInstance>(host, std::move(counting),
                                                  platform::MakeAsioTimer(loop));
    ctl->Timer1().SetInterval(tick);
    ctl->put_Server("127.0.0.1");
    ctl->put_ServerPort(port);
    ctl->put_ServerTimeout(kServerTimeout);
    ctl->put_SnppLevel(static_cast<Integer>(level));
    ctl->put_Recipient("5551234");
    ctl->put_Message("disk full on db1");
    if (level >= 2) {
      // Every level 2 option, and a multi-line body instead of MESS.
      ctl->put_LoginName("alice");
      ctl->put_Password("s3cret");
      ctl->put_coverageArea(2);
      ctl->put_ServiceLevel(3);
      ctl->put_HoldUntil("370101120000");
      ctl->put_AlertOverride(kTrue);
      ctl->put_SenderID("ops");
      ctl->put_Subject("Disk alert");
      ctl->put_Message("");
      ctl->put_Data("db1: disk /var at 97%\n.\nAcknowledge in the on-call tool.");
    }
  }

  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return loop.RunUntil(done, limit);
  }

  platform::EventLoop loop;
  LoopHost host{loop};
  CountingSocket* sock = nullptr;  // owned by ctl
  std::unique_ptr<session::SNPPInstance> ctl;
};

}  // namespace kestrel::testing
