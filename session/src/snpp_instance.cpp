// Properties, connection, time-out and outcome reporting of SNPPInstance.
// The reply dispatcher is in handle_reply.cpp, the command procedures in commands.cpp.

#include <exception>
#include <string>
#include <utility>

#include "kestrel/platform/error.hpp"
#include "kestrel/session/messages.hpp"
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

void SNPPInstance::put_SenderID(const String& v) {
  props_.SenderID = v;
  Notify("SenderID");
}

void SNPPInstance::put_Recipient(const String& v) {
  props_.Recipient = v;
  Notify("Recipient");
}

void SNPPInstance::put_Idle(Boolean v) {
  props_.Idle = v;
  Notify("Idle");
}

void SNPPInstance::put_State(Integer v) {
  reader_.Expect();
  StoreState(v);
}

void SNPPInstance::StoreState(Integer v) {
  props_.State = v;
  Notify("State");
}

void SNPPInstance::put_ServerTimeout(Integer v) {
  props_.ServerTimeout = v;
  Notify("ServerTimeout");
}

void SNPPInstance::put_Data(const String& v) {
  props_.Data = v;
  Notify("Data");
}

void SNPPInstance::put_coverageArea(Integer v) {
  props_.coverageArea = v;
  Notify("coverageArea");
}

void SNPPInstance::put_ServiceLevel(Integer v) {
  props_.ServiceLevel = v;
  Notify("ServiceLevel");
}

void SNPPInstance::put_SnppLevel(Integer v) {
  props_.SnppLevel = v;
  Notify("SnppLevel");
}

void SNPPInstance::put_LoginName(const String& v) {
  props_.LoginName = v;
  Notify("LoginName");
}

void SNPPInstance::put_Password(const String& v) {
  props_.Password = v;
  Notify("Password");
}

void SNPPInstance::put_HoldUntil(const String& v) {
  props_.HoldUntil = v;
  Notify("HoldUntil");
}

void SNPPInstance::put_Subject(const String& v) {
  props_.Subject = v;
  Notify("Subject");
}

void SNPPInstance::put_Message(const String& v) {
  props_.Message = v;
  Notify("Message");
}

void SNPPInstance::put_AlertOverride(Boolean v) {
  props_.AlertOverride = v;
  Notify("AlertOverride");
}

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
  ++connection_generation_;
  reader_.Reset();
  sck_->Close();
}

void SNPPInstance::OpenConnection() {
  const String server = get_Server();
  const Long port = get_ServerPort();
  ++connection_generation_;
  reader_.Reset();
  sck_->Connect(server, port);
  reader_.Expect();  // the greeting
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
  Trapped([&] {
    if (sck_->State() != SocketState::kConnected) return;
    reader_.Append(sck_->GetData());
    const auto generation = connection_generation_;
    while (auto received = reader_.Next()) {
      if (received->kind == ReplyReader::Received::Kind::kReply) {
        // Each reply has its own trap: a failed reply is reported, and the next one still runs.
        Trapped([&] { HandleReply(std::move(received->text)); });
      } else {
        ReportOutOfTurn(*received);
      }
      // A handler may have closed or reopened the connection, or destroyed the control: the
      // lines still buffered belong to a connection that is gone.
      if (!*alive || generation != connection_generation_) return;
    }
  });
}

void SNPPInstance::sck_Closed(Long number, const String& description) {
  Trapped([&] {
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
        what = messages::ConnectionLostInDialogue(description);
        break;
      case SessionState::kWaitSend:
        what = messages::ConnectionLostAwaitingSend(description);
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
  });
}

void SNPPInstance::Timer1_Timer() {
  const auto alive = alive_;
  const bool ticked = Trapped([&] {
    timer_->SetEnabled(false);
    if (tickCount_ < kTickCountLimit) ++tickCount_;  // stops at the top instead of wrapping
    const Integer state = get_State();
    const Integer timeout = get_ServerTimeout();
    if (tickCount_ > timeout && state == static_cast<Integer>(SessionState::kWaitGreeting)) {
      CloseSocket();
      SetState(SessionState::kWaitQuit);
      timer_->SetEnabled(true);
      String text = messages::kConnectTimeout;
      if (!Raise(EventId::kOnError, text)) return;
    }
    timer_->SetEnabled(true);
  });
  // Keep ticking: a tick that failed half-way must not leave the time-out disarmed.
  if (!ticked && *alive) {
    try {
      timer_->SetEnabled(true);
    } catch (...) {
    }
  }
}

// --- Turns ---------------------------------------------------------------------------------------

void SNPPInstance::CheckTurn(std::string_view command) {
  if (!reader_.Unread()) return;
  const std::string line = reader_.UnreadStart();
  reader_.Desynchronize();
  const auto fate =
      command == "QUIT" ? messages::PageFate::kDelivered : messages::PageFate::kNotSent;
  throw RuntimeError(err::kReplyOutOfTurn, messages::ReplyOutOfTurn(line, command, fate));
}

void SNPPInstance::Enter(SessionState state, std::string_view command) {
  CheckTurn(command);
  SetState(state);
}

void SNPPInstance::ReportOutOfTurn(const ReplyReader::Received& received) {
  const auto state = static_cast<SessionState>(get_State());
  if (!HasHandler(state)) return;  // no session to break: dropped like any reply there
  reader_.Desynchronize();
  using messages::PageFate;
  PageFate fate = PageFate::kNotSent;
  if (state == SessionState::kWaitQuit) fate = PageFate::kDelivered;
  if (state == SessionState::kWaitSend && received.answered) fate = PageFate::kUnknown;
  if (received.kind == ReplyReader::Received::Kind::kMalformed) {
    ReportCaught(err::kMalformedReply, messages::MalformedReply(received.text, received.why, fate));
  } else {
    ReportCaught(err::kReplyOutOfTurn, messages::ReplyOutOfTurn(received.text, "", fate));
  }
}

// --- Outcome reporting ---------------------------------------------------------------------------

template <typename Body>
bool SNPPInstance::Trapped(Body&& body) noexcept {
  const auto alive = alive_;  // `body` may destroy the control, and this member with it
  try {
    body();
    return true;
  } catch (const RuntimeError& e) {
    if (*alive) ReportCaught(e.number(), e.description());
  } catch (const std::exception& e) {
    if (*alive) ReportCaught(err::kInternalError, messages::InternalError(e));
  }
  return false;
}

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
