#pragma once
// SNPPControl: the paging control as a host sees it.
//
// It owns the paging session (session::SNPPInstance) and is that session's ControlHost: change
// notices and DoEvents go on to the control's site, the events OnError and OnComplete go to every
// connected event sink. The ambient font is the site's. Besides, it holds the appearance
// properties BackColor, ForeColor, Enabled, Font, BackStyle and BorderStyle. They are stored,
// reported (change notice) and read back, and nothing else: the control draws nothing, and
// Enabled does not enable or disable anything.
//
//   site ◀─PropertyChanged(name)── SNPPControl ◀─put/get/method── dispatch table ◀── host
//                                   │   ▲ ControlHost
//   sinks ◀─OnError/OnComplete──────┘   └── session::SNPPInstance ──▶ sck, Timer1
//
// Threading: one thread, the one whose event loop runs the socket and the timer. Events are
// delivered synchronously, to the sinks connected when the event starts, in the order they
// were connected. A sink may connect or disconnect sinks (itself included), call back into the
// control, or destroy it from inside its handler; a sink disconnected during an event receives
// nothing more of it.

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrel/control/font.hpp"
#include "kestrel/platform/control_host.hpp"
#include "kestrel/platform/socket.hpp"
#include "kestrel/platform/timer.hpp"
#include "kestrel/platform/types.hpp"
#include "kestrel/session/snpp_instance.hpp"

namespace kestrel::control {

// The container's side: its change notices and pending notifications are those the session asks
// of its host (platform::ControlContainer), and reach it unchanged; besides, the control asks
// it for its font.
class ControlSite : public platform::ControlContainer {
 public:
  // The container's font, offered to its controls. May raise RuntimeError. A site without a
  // font of its own offers a new standard font.
  virtual FontRef AmbientFont() { return std::make_shared<Font>(); }
};

// A receiver of the control's events. OnError and OnComplete carry one String by reference:
// what the sink assigns to it stays in the control (getLastErrorDescription and getLastReply
// return it afterwards). Exceptions thrown by a sink are dropped, so that one failing sink
// cannot keep an event from the others or from the paging session.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void OnEvent(platform::EventId id, String& argument) = 0;
};

using SinkCookie = std::uint32_t;  // 0 is never a valid cookie

// The stored appearance values, named as the properties are.
struct AppearanceProperties {
  Long BackColor = 0;
  Long ForeColor = 0;
  Boolean Enabled = kFalse;
  FontRef Font;
  Integer BackStyle = 0;
  Integer BorderStyle = 0;
};

class SNPPControl final : public platform::ControlHost {
 public:
  // The socket and timer become the session's `sck` and `Timer1`. The site must outlive the
  // control. Font starts as the site's ambient font (a failure there fails the construction).
  SNPPControl(ControlSite& site, std::unique_ptr<platform::Socket> sck,
              std::unique_ptr<platform::Timer> timer);
  ~SNPPControl() noexcept override;
  SNPPControl(const SNPPControl&) = delete;
  SNPPControl& operator=(const SNPPControl&) = delete;

  session::SNPPInstance& session() noexcept { return session_; }
  const session::SNPPInstance& session() const noexcept { return session_; }

  // --- Appearance: a put stores the value, then tells the site PropertyChanged(name). ---------
  Long get_BackColor() const noexcept { return appearance_.BackColor; }
  void put_BackColor(Long v);
  Long get_ForeColor() const noexcept { return appearance_.ForeColor; }
  void put_ForeColor(Long v);
  Boolean get_Enabled() const noexcept { return appearance_.Enabled; }
  void put_Enabled(Boolean v);
  // The very font object stored (shared, not copied); null when none is stored.
  FontRef get_Font() const noexcept { return appearance_.Font; }
  void putref_Font(FontRef v);
  Integer get_BackStyle() const noexcept { return appearance_.BackStyle; }
  void put_BackStyle(Integer v);
  Integer get_BorderStyle() const noexcept { return appearance_.BorderStyle; }
  void put_BorderStyle(Integer v);
  // Nothing is drawn, so there is nothing to refresh.
  void Refresh() noexcept {}

  // Direct storage for loading and saving: reads and writes here send no change notices.
  AppearanceProperties& appearance() noexcept { return appearance_; }
  const AppearanceProperties& appearance() const noexcept { return appearance_; }

  // --- Event sinks --------------------------------------------------------------------------
  SinkCookie Advise(std::shared_ptr<EventSink> sink);
  // False when the cookie names no connected sink.
  bool Unadvise(SinkCookie cookie) noexcept;
  std::size_t sink_count() const noexcept { return sinks_.size(); }

  // False once the control has been destroyed; lets code that raised an event from outside
  // (an adapter holding the by-reference argument) see whether the argument still exists.
  std::shared_ptr<const bool> alive_token() const noexcept { return alive_; }

  // The site's font (for a new control, and as the Font property's default when loading).
  FontRef AmbientFont() { return site_.AmbientFont(); }

  // --- platform::ControlHost, for the session ----------------------------------------------
  // Change notices and DoEvents are the site's; events go to the sinks.
  void PropertyChanged(std::string_view name) override { site_.PropertyChanged(name); }
  void RaiseEvent(platform::EventId event, String& argument) override;
  void DoEvents() override { site_.DoEvents(); }

 private:
  ControlSite& site_;
  AppearanceProperties appearance_;
  std::vector<std::pair<SinkCookie, std::shared_ptr<EventSink>>> sinks_;
  SinkCookie next_cookie_ = 1;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // Last, so that it goes first: the session's destructor still talks to its host (this).
  session::SNPPInstance session_;
};

}  // namespace kestrel::control
