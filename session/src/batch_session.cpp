// BatchSession: the dialogue of one message to several pagers. The pieces below the dialogue
// (ReplyReader, FormatDataBody, the command line and its checks, the texts) are the ones
// SNPPInstance uses; the dialogue's shape is what differs.

#include "kestrel/session/batch_session.hpp"

#include <exception>
#include <string>
#include <utility>

#include "command_line.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/session/messages.hpp"
#include "kestrel/session/wire.hpp"

namespace kestrel::session {

using platform::EventId;
using platform::SocketState;

BatchSession::BatchSession(BatchHost& host, std::unique_ptr<platform::Socket> sck,
                           std::unique_ptr<platform::Timer> timer)
    : host_(host), sck_(std::move(sck)), timer_(std::move(timer)) {
  timer_->SetInterval(SNPPInstance::kTimerInterval);
  timer_->SetEnabled(false);
  sck_->OnDataArrival([this](Long) { sck_DataArrival(); });
  sck_->OnClosed([this](Long number, const String& why) { sck_Closed(number, why); });
  timer_->OnTick([this] { Timer1_Timer(); });
}

BatchSession::~BatchSession() noexcept {
  *alive_ = false;
  sck_->OnDataArrival(nullptr);
  sck_->OnClosed(nullptr);
  timer_->OnTick(nullptr);
  timer_->SetEnabled(false);
  try {
    sck_->Close();
  } catch (...) {
  }
}

// --- Connection ----------------------------------------------------------------------------------

void BatchSession::Send() {
  if (recipients_.empty()) {
    throw RuntimeError(err::kInternalError, "a batch session needs at least one pager");
  }
  current_ = 0;
  accepted_ = 0;
  tickCount_ = 0;
  timer_->SetEnabled(true);
  ++connection_generation_;
  reader_.Reset();
  sck_->Connect(sck_->RemoteHost(), sck_->RemotePort());
  reader_.Expect();  // the greeting
  SetState(SessionState::kWaitGreeting);
  host_.DoEvents();
}

void BatchSession::CloseConnect() {
  CloseSocket();
}

void BatchSession::CloseSocket() {
  ++connection_generation_;
  reader_.Reset();
  sck_->Close();
}

void BatchSession::SetState(SessionState state) {
  props_.State = static_cast<Integer>(state);
  host_.PropertyChanged("State");
}

void BatchSession::sck_DataArrival() {
  const auto alive = alive_;
  Trapped([&] {
    if (sck_->State() != SocketState::kConnected) return;
    reader_.Append(sck_->GetData());
    const auto generation = connection_generation_;
    while (auto received = reader_.Next()) {
      if (received->kind == ReplyReader::Received::Kind::kReply) {
        Trapped([&] { HandleReply(std::move(received->text)); });
      } else {
        ReportOutOfTurn(*received);
      }
      if (!*alive || generation != connection_generation_) return;
    }
  });
}

void BatchSession::sck_Closed(Long number, const String& description) {
  Trapped([&] {
    const auto state = static_cast<SessionState>(get_State());
    if (state == SessionState::kWaitGreeting) {
      CloseSocket();
      SetState(SessionState::kWaitQuit);
      ReportCaught(number, description);
      return;
    }
    if (state == SessionState::kNone || state == SessionState::kWaitQuit || !HasHandler(state)) {
      CloseSocket();
      return;
    }
    const String what = state == SessionState::kWaitSend
                            ? messages::ConnectionLostAwaitingSend(description)
                            : messages::ConnectionLostInDialogue(description);
    CloseSocket();
    ReportCaught(err::kConnectionLost, what);
  });
}

void BatchSession::Timer1_Timer() {
  const auto alive = alive_;
  const bool ticked = Trapped([&] {
    timer_->SetEnabled(false);
    if (tickCount_ < SNPPInstance::kTickCountLimit) ++tickCount_;
    if (tickCount_ > props_.ServerTimeout &&
        get_State() == static_cast<Integer>(SessionState::kWaitGreeting)) {
      CloseSocket();
      SetState(SessionState::kWaitQuit);
      timer_->SetEnabled(true);
      String text = messages::kConnectTimeout;
      if (!Raise(EventId::kOnError, text)) return;
    }
    timer_->SetEnabled(true);
  });
  if (!ticked && *alive) {
    try {
      timer_->SetEnabled(true);
    } catch (...) {
    }
  }
}

// --- Replies -------------------------------------------------------------------------------------

void BatchSession::HandleReply(String reply) {
  const std::string_view code = ReplyCode(reply);
  const bool taken = code == "250" || code == "500";  // an optional command's answers
  const int level = props_.SnppLevel;
  switch (static_cast<SessionState>(get_State())) {
    case SessionState::kWaitGreeting:
      if (code != "220") return ReportFailure(reply);
      return level < 2 ? StartPager() : SendLogin();
    case SessionState::kWaitLogin:
      if (code != "250" && code != "230" && code != "500") return ReportFailure(reply);
      return StartPager();
    case SessionState::kWaitCoverage:
      return taken ? SendLevel() : Answer(reply, false);
    case SessionState::kWaitLevel:
      return taken ? SendHold() : Answer(reply, false);
    case SessionState::kWaitHold:
      return taken ? SendAlert() : Answer(reply, false);
    case SessionState::kWaitAlert:
      return taken ? SendPage() : Answer(reply, false);
    case SessionState::kWaitPage:
      return Answer(reply, code == "250");
    case SessionState::kWaitCaller:
      if (!taken) return ReportFailure(reply);
      return SendSubject();
    case SessionState::kWaitSubject:
      if (!taken) return ReportFailure(reply);
      return SendMess();
    case SessionState::kWaitMess:
      if (code != "250") return ReportFailure(reply);
      return SendSendCommand();
    case SessionState::kWaitData:
      if (code == "354") return SendDataBody();
      if (code == "250") return SendSendCommand();
      return ReportFailure(reply);
    case SessionState::kWaitSend: {
      lastReply_ = reply;
      if (code != "250" && code != "860" && code != "960") return ReportFailure(reply);
      const auto generation = connection_generation_;
      if (!Raise(EventId::kOnComplete, lastReply_)) return;
      if (generation != connection_generation_) return;
      return SendQuit();
    }
    case SessionState::kWaitQuit:
      if (code != "221") return ReportFailure(reply);
      CloseSocket();
      timer_->SetEnabled(false);
      tickCount_ = 0;
      return;
    case SessionState::kNone:
      return;
  }
}

void BatchSession::Answer(const String& reply, bool accepted) {
  const auto alive = alive_;
  const auto generation = connection_generation_;
  const std::size_t index = current_++;
  if (accepted) ++accepted_;
  host_.PagerAnswered(index, reply, accepted);
  if (!*alive || generation != connection_generation_) return;
  if (current_ < recipients_.size()) return StartPager();
  if (accepted_ > 0) return props_.SnppLevel < 2 ? SendMess() : SendCaller();
  // Nobody to send the message to: no message, no SEND; say goodbye, then report.
  SendQuit();
  ReportFailure(reply);
}

// --- Commands ------------------------------------------------------------------------------------

void BatchSession::CheckTurn(std::string_view command) {
  if (!reader_.Unread()) return;
  const std::string line = reader_.UnreadStart();
  reader_.Desynchronize();
  // Before QUIT every accepted pager has its outcome; before any other command, SEND has not
  // gone out.
  const auto fate =
      command == "QUIT" ? messages::PageFate::kDelivered : messages::PageFate::kNotSent;
  throw RuntimeError(err::kReplyOutOfTurn, messages::ReplyOutOfTurn(line, command, fate));
}

void BatchSession::Enter(SessionState state, std::string_view command) {
  CheckTurn(command);
  SetState(state);
}

void BatchSession::WriteCommand(std::string_view word, std::optional<std::string_view> parameter) {
  sck_->SendData(detail::CommandLine(word, parameter));
  reader_.Expect();
}

void BatchSession::SendLogin() {
  const String& login = props_.LoginName;
  if (login.empty()) return StartPager();
  Enter(SessionState::kWaitLogin, "LOGI");
  String parameter = login;
  if (!props_.Password.empty()) parameter += " " + props_.Password;
  detail::CheckOneLine(login, "LoginName");
  detail::CheckOneLine(props_.Password, "Password");
  WriteCommand("LOGI", parameter);
}

void BatchSession::StartPager() {
  if (props_.SnppLevel < 2) return SendPage();
  SendCoverage();
}

void BatchSession::SendCoverage() {
  if (props_.coverageArea < 1) return SendLevel();
  Enter(SessionState::kWaitCoverage, "COVE");
  WriteCommand("COVE", std::to_string(props_.coverageArea));
}

void BatchSession::SendLevel() {
  if (props_.ServiceLevel < 1) return SendHold();
  Enter(SessionState::kWaitLevel, "LEVE");
  WriteCommand("LEVE", std::to_string(props_.ServiceLevel));
}

void BatchSession::SendHold() {
  if (props_.HoldUntil.empty()) return SendAlert();
  Enter(SessionState::kWaitHold, "HOLD");
  detail::CheckOneLine(props_.HoldUntil, "HoldUntil");
  WriteCommand("HOLD", props_.HoldUntil);
}

void BatchSession::SendAlert() {
  if (props_.AlertOverride == kFalse) return SendPage();
  Enter(SessionState::kWaitAlert, "ALER");
  WriteCommand("ALER", "1");
}

void BatchSession::SendPage() {
  Enter(SessionState::kWaitPage, "PAGE");
  const String& recipient = recipients_.at(current_);
  detail::CheckOneLine(recipient, "Recipient");
  WriteCommand("PAGE", recipient);
}

void BatchSession::SendCaller() {
  if (props_.SenderID.empty()) return SendSubject();
  Enter(SessionState::kWaitCaller, "CALL");
  detail::CheckOneLine(props_.SenderID, "SenderID");
  WriteCommand("CALL", props_.SenderID);
}

void BatchSession::SendSubject() {
  if (props_.Subject.empty()) return SendMess();
  Enter(SessionState::kWaitSubject, "SUBJ");
  detail::CheckOneLine(props_.Subject, "Subject");
  WriteCommand("SUBJ", props_.Subject);
}

void BatchSession::SendMess() {
  const bool data = props_.Message.empty() && props_.SnppLevel >= 2;
  if (data) {
    Enter(SessionState::kWaitData, "DATA");
    return WriteCommand("DATA");
  }
  Enter(SessionState::kWaitMess, "MESS");
  detail::CheckOneLine(props_.Message, "Message");
  WriteCommand("MESS", props_.Message);
}

void BatchSession::SendDataBody() {
  CheckTurn("DATA body");
  sck_->SendData(FormatDataBody(props_.Data));
  sck_->SendData(".\r\n");
  reader_.Expect();
}

void BatchSession::SendSendCommand() {
  Enter(SessionState::kWaitSend, "SEND");
  WriteCommand("SEND");
}

void BatchSession::SendQuit() {
  Enter(SessionState::kWaitQuit, "QUIT");
  WriteCommand("QUIT");
}

// --- Reporting -----------------------------------------------------------------------------------

void BatchSession::ReportOutOfTurn(const ReplyReader::Received& received) {
  const auto state = static_cast<SessionState>(get_State());
  if (!HasHandler(state)) return;
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

template <typename Body>
bool BatchSession::Trapped(Body&& body) noexcept {
  const auto alive = alive_;
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

bool BatchSession::Raise(EventId event, String& argument) {
  const auto alive = alive_;
  host_.RaiseEvent(event, argument);
  return *alive;
}

void BatchSession::ReportFailure(const String& text) noexcept {
  try {
    lastErrorDescription_ = text;
  } catch (...) {
  }
  try {
    host_.RaiseEvent(EventId::kOnError, lastErrorDescription_);
  } catch (...) {
  }
}

void BatchSession::ReportCaught(Long number, const String& description) noexcept {
  lastErrorNumber_ = number;
  anyErrorCaught_ = true;
  ReportFailure(description);
}

String BatchSession::getLastError() const {
  return anyErrorCaught_ ? std::to_string(lastErrorNumber_) : String();
}

}  // namespace kestrel::session
