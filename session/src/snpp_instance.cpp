// Properties, connection, time-out and outcome reporting of SNPPInstance.
// The reply dispatcher is in handle_reply.cpp, the command procedures in commands.cpp.

#include <exception>
#include <string>
#include <utility>

#include "internal.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/session/snpp_instance.hpp"

namespace kestrel::session {

using platform::EventId;
using platform::SocketState;

SNPPInstance::SNPPInstance(platform::ControlHost& host, std::unique_ptr<platform::Socket> sck,
                           std::unique_ptr<platform::Timer> timer)
    : host_(host), sck_(std::move(sck)), timer_(std::move(timer)) {
  timer_->SetInterval(kTimerInterval);
  timer_->SetEnabled(false);
  // The handlers hold `this`; the destructor unhooks them before the components go.
  sck_->OnDataArrival([this](Long bytes) { sck_DataArrival(bytes); });
  sck_->OnClosed([this](Long number, const String& why) { sck_Closed(number, why); });
  timer_->OnTick([this] { Timer1_Timer(); });
}

SNPPInstance::~SNPPInstance() noexcept {
  *alive_ = false;
  sck_->OnDataArrival(nullptr);
  sck_->OnClosed(nullptr);
  timer_->OnTick(nullptr);
  timer_->SetEnabled(false);
  try {
    sck_->Close();
  } catch (...) {
    // Nothing to report to: the host is letting go of the control.
  }
}

// --- Properties ----------------------------------------------------------------------------------

void SNPPInstance::Notify(std::string_view name) {
  host_.PropertyChanged(name);
}

#define KESTREL_MEMBER_PUT(Type, Name)           \
  void SNPPInstance::put_##Name(const Type& v) { \
    props_.Name = v;                             \
    Notify(#Name);                               \
  }
#define KESTREL_MEMBER_PUT_VALUE(Type, Name) \
  void SNPPInstance::put_##Name(Type v) {    \
    props_.Name = v;                         \
    Notify(#Name);                           \
  }

KESTREL_MEMBER_PUT(String, SenderID)
KESTREL_MEMBER_PUT(String, Recipient)
KESTREL_MEMBER_PUT_VALUE(Boolean, Idle)
KESTREL_MEMBER_PUT_VALUE(Integer, State)
KESTREL_MEMBER_PUT_VALUE(Integer, ServerTimeout)
KESTREL_MEMBER_PUT(String, Data)
KESTREL_MEMBER_PUT_VALUE(Integer, coverageArea)
KESTREL_MEMBER_PUT_VALUE(Integer, ServiceLevel)
KESTREL_MEMBER_PUT_VALUE(Integer, SnppLevel)
KESTREL_MEMBER_PUT(String, LoginName)
KESTREL_MEMBER_PUT(String, Password)
KESTREL_MEMBER_PUT(String, HoldUntil)
KESTREL_MEMBER_PUT(String, Subject)
KESTREL_MEMBER_PUT(String, Message)
KESTREL_MEMBER_PUT_VALUE(Boolean, AlertOverride)

#undef KESTREL_MEMBER_PUT
#undef KESTREL_MEMBER_PUT_VALUE

String SNPPInstance::get_Server() const {
  return sck_->RemoteHost();
}

void SNPPInstance::put_Server(const String& v) {
  sck_->SetRemoteHost(v);
  Notify("Server");
}

Long SNPPInstance::get_ServerPort() const {
  return sck_->RemotePort();
}

void SNPPInstance::put_ServerPort(Long v) {
  sck_->SetRemotePort(v);
  Notify("ServerPort");
}

// --- Connection ----------------------------------------------------------------------------------

void SNPPInstance::CloseSocket() {
  ++connection_;
  framer_.Reset();
  sck_->Close();
}

void SNPPInstance::OpenConnection() {
  const String server = get_Server();
  const Long port = get_ServerPort();
  ++connection_;
  framer_.Reset();
  sck_->Connect(server, port);
  // State is 0 before pending notifications run: a greeting that arrives during DoEvents must
  // be dispatched as a greeting, not under the previous session's state.
  SetState(SessionState::kWaitGreeting);
}

String SNPPInstance::Send() {
  timer_->SetEnabled(true);
  tickCount_ = 0;
  OpenConnection();
  host_.DoEvents();
  return String();
}

Boolean SNPPInstance::Connect() {
  OpenConnection();
  host_.DoEvents();
  return kFalse;
}

void SNPPInstance::CloseConnect() {
  CloseSocket();
}

void SNPPInstance::sck_DataArrival(Long /*bytes*/) {
  const auto alive = alive_;
  try {
    if (sck_->State() != SocketState::kConnected) return;
    framer_.Append(sck_->GetData());
    const auto connection = connection_;
    while (auto line = framer_.Next()) {
      HandleReply(std::move(*line));
      // A handler may have closed or reopened the connection, or destroyed the control: the
      // lines still buffered belong to a connection that is gone.
      if (!*alive || connection != connection_) return;
    }
  } catch (const RuntimeError& e) {
    if (*alive) ReportCaught(e.number(), e.description());
  } catch (const std::exception& e) {
    if (*alive) ReportCaught(err::kInternalError, InternalErrorText(e));
  }
}

void SNPPInstance::sck_Closed(Long number, const String& description) {
  try {
    const auto state = static_cast<SessionState>(get_State());
    String what;
    switch (state) {
      case SessionState::kWaitGreeting:
        // Refused, unreachable, or closed before the greeting: report it now rather than at the
        // time-out, and rest in WaitQuit as the time-out would, so it is reported once.
        CloseSocket();
        SetState(SessionState::kWaitQuit);
        ReportCaught(number, description);
        return;
      case SessionState::kWaitPage:
      case SessionState::kWaitMess:
      case SessionState::kWaitData:
      case SessionState::kWaitLogin:
      case SessionState::kWaitLevel:
      case SessionState::kWaitCoverage:
      case SessionState::kWaitSubject:
      case SessionState::kWaitHold:
      case SessionState::kWaitCaller:
      case SessionState::kWaitAlert:
        what = "The connection to the paging server was lost during the dialogue (" + description +
               "); the page was not sent. Check the server and send again.";
        break;
      case SessionState::kWaitSend:
        what =
            "The connection to the paging server was lost while waiting for the reply to "
            "SEND (" +
            description +
            "); the page may or may not have been delivered. "
            "Check with the paging service before sending again.";
        break;
      case SessionState::kNone:
      case SessionState::kWaitQuit:
        // Nothing in flight: either no session, or the page has already been reported.
        CloseSocket();
        return;
      default:
        CloseSocket();
        return;
    }
    // The session stays in its state, as after a refusal; only the dead socket is released.
    CloseSocket();
    ReportCaught(err::kConnectionLost, what);
  } catch (const RuntimeError& e) {
    ReportCaught(e.number(), e.description());
  } catch (const std::exception& e) {
    ReportCaught(err::kInternalError, InternalErrorText(e));
  }
}

void SNPPInstance::Timer1_Timer() {
  const auto alive = alive_;
  try {
    timer_->SetEnabled(false);
    if (tickCount_ < kTickCountLimit) ++tickCount_;  // stops at the top instead of wrapping
    const Integer state = get_State();
    const Integer timeout = get_ServerTimeout();
    if (tickCount_ > timeout && state == static_cast<Integer>(SessionState::kWaitGreeting)) {
      CloseSocket();
      SetState(SessionState::kWaitQuit);
      timer_->SetEnabled(true);
      String text = kTimeoutText;
      if (!Raise(EventId::kOnError, text)) return;
    }
    timer_->SetEnabled(true);
  } catch (const std::exception& e) {
    if (!*alive) return;
    const auto* runtime = dynamic_cast<const RuntimeError*>(&e);
    ReportCaught(runtime ? runtime->number() : err::kInternalError,
                 runtime ? runtime->description() : InternalErrorText(e));
    // Keep ticking: a tick that failed half-way must not leave the time-out disarmed.
    if (*alive) {
      try {
        timer_->SetEnabled(true);
      } catch (...) {
      }
    }
  }
}

// --- Outcome reporting ---------------------------------------------------------------------------

bool SNPPInstance::Raise(EventId event, String& argument) {
  const auto alive = alive_;
  host_.RaiseEvent(event, argument);
  return *alive;
}

void SNPPInstance::ReportFailure(const String& text) noexcept {
  try {
    lastErrorDescription_ = text;
  } catch (...) {
  }
  try {
    host_.RaiseEvent(EventId::kOnError, lastErrorDescription_);
  } catch (...) {
    // A failing handler must not turn a reported failure into a crash of the event loop.
  }
}

void SNPPInstance::ReportCaught(Long number, const String& description) noexcept {
  lastErrorNumber_ = number;
  anyErrorCaught_ = true;
  ReportFailure(description);
}

String SNPPInstance::getLastError() const {
  return anyErrorCaught_ ? std::to_string(lastErrorNumber_) : String();
}

}  // namespace kestrel::session
