#include "kestrel/control/snpp_control.hpp"

#include <algorithm>
#include <utility>

namespace kestrel::control {

SNPPControl::SNPPControl(ControlSite& site, std::unique_ptr<platform::Socket> sck,
                         std::unique_ptr<platform::Timer> timer)
    : site_(site), session_(*this, std::move(sck), std::move(timer)) {
  appearance_.Font = site_.AmbientFont();
}

SNPPControl::~SNPPControl() noexcept {
  *alive_ = false;
}

// --- Appearance ----------------------------------------------------------------------------------

void SNPPControl::put_BackColor(Long v) {
  appearance_.BackColor = v;
  PropertyChanged("BackColor");
}

void SNPPControl::put_ForeColor(Long v) {
  appearance_.ForeColor = v;
  PropertyChanged("ForeColor");
}

void SNPPControl::put_Enabled(Boolean v) {
  appearance_.Enabled = v;
  PropertyChanged("Enabled");
}

void SNPPControl::putref_Font(FontRef v) {
  // Keep the caller's object itself: a change made through its other holders shows here too.
  appearance_.Font = std::move(v);
  PropertyChanged("Font");
}

void SNPPControl::put_BackStyle(Integer v) {
  appearance_.BackStyle = v;
  PropertyChanged("BackStyle");
}

void SNPPControl::put_BorderStyle(Integer v) {
  appearance_.BorderStyle = v;
  PropertyChanged("BorderStyle");
}

// --- Event sinks ---------------------------------------------------------------------------------

SinkCookie SNPPControl::Advise(std::shared_ptr<EventSink> sink) {
  const SinkCookie cookie = next_cookie_++;
  if (next_cookie_ == 0) next_cookie_ = 1;  // after four billion connections; 0 stays invalid
  sinks_.emplace_back(cookie, std::move(sink));
  return cookie;
}

bool SNPPControl::Unadvise(SinkCookie cookie) noexcept {
  const auto it = std::find_if(sinks_.begin(), sinks_.end(),
                               [cookie](const auto& entry) { return entry.first == cookie; });
  if (it == sinks_.end()) return false;
  sinks_.erase(it);
  return true;
}

// --- platform::ControlHost -----------------------------------------------------------------------

void SNPPControl::RaiseEvent(platform::EventId event, String& argument) {
  // Work on a copy: handlers may connect and disconnect sinks while the event is delivered.
  const auto alive = alive_;
  const auto connected = sinks_;
  for (const auto& [cookie, sink] : connected) {
    const bool still_connected =
        std::any_of(sinks_.begin(), sinks_.end(),
                    [cookie = cookie](const auto& e) { return e.first == cookie; });
    if (!still_connected) continue;
    try {
      sink->OnEvent(event, argument);
    } catch (...) {
      // See EventSink: a failing sink is skipped, the others still receive the event.
    }
    if (!*alive) return;  // a handler destroyed the control; `argument` and `sinks_` are gone
  }
}

}  // namespace kestrel::control
