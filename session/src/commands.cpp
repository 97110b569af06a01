// The command procedures: the whole outgoing side of the SNPP dialogue.
//
// Each procedure either sets the State that awaits its reply and then writes one command line,
// or, when its optional property is unset, passes on at once to the next procedure of the
// sequence. Before it sets the State it checks the turn: bytes that arrived before the command
// is written cannot be its reply, and a command is never written after them. Every line ends in CR
// LF; a one-line parameter holding a line break or a NUL is refused rather than written, since it
// would inject commands of its own.

#include <optional>
#include <string>

#include "command_line.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/session/messages.hpp"
#include "kestrel/session/snpp_instance.hpp"
#include "kestrel/session/wire.hpp"

namespace kestrel::session {

void SNPPInstance::CheckOneLine(std::string_view value, std::string_view property) {
  detail::CheckOneLine(value, property);
}

void SNPPInstance::WriteCommand(std::string_view word, std::optional<std::string_view> parameter) {
  sck_->SendData(detail::CommandLine(word, parameter));
  reader_.Expect();  // its reply is the next one to come
}

void SNPPInstance::SendLogin() {
  const String login = get_LoginName();
  if (login.empty()) return SendCoverage();
  Enter(SessionState::kWaitLogin, "LOGI");
  String parameter = login;
  const String password = get_Password();
  if (!password.empty()) parameter += " " + password;
  CheckOneLine(login, "LoginName");
  CheckOneLine(password, "Password");
  WriteCommand("LOGI", parameter);
}

void SNPPInstance::SendCoverage() {
  const Integer area = get_coverageArea();
  if (area < 1) return SendLevel();
  Enter(SessionState::kWaitCoverage, "COVE");
  WriteCommand("COVE", std::to_string(area));
}

void SNPPInstance::SendLevel() {
  const Integer level = get_ServiceLevel();
  if (level < 1) return SendHold();
  Enter(SessionState::kWaitLevel, "LEVE");
  WriteCommand("LEVE", std::to_string(level));
}

void SNPPInstance::SendHold() {
  const String hold = get_HoldUntil();
  if (hold.empty()) return SendAlert();
  Enter(SessionState::kWaitHold, "HOLD");
  CheckOneLine(hold, "HoldUntil");
  WriteCommand("HOLD", hold);
}

void SNPPInstance::SendAlert() {
  if (get_AlertOverride() == kFalse) return SendPage();
  Enter(SessionState::kWaitAlert, "ALER");
  // ALERt takes its parameter: 1 asks for the alert.
  WriteCommand("ALER", "1");
}

void SNPPInstance::SendPage() {
  Enter(SessionState::kWaitPage, "PAGE");
  const String recipient = get_Recipient();
  CheckOneLine(recipient, "Recipient");
  WriteCommand("PAGE", recipient);
}

void SNPPInstance::SendCaller() {
  const String caller = get_SenderID();
  if (caller.empty()) return SendSubject();
  Enter(SessionState::kWaitCaller, "CALL");
  CheckOneLine(caller, "SenderID");
  WriteCommand("CALL", caller);
}

void SNPPInstance::SendSubject() {
  const String subject = get_Subject();
  if (subject.empty()) return SendMess();
  Enter(SessionState::kWaitSubject, "SUBJ");
  CheckOneLine(subject, "Subject");
  WriteCommand("SUBJ", subject);
}

void SNPPInstance::SendMess() {
  const Integer level = get_SnppLevel();
  const String message = get_Message();
  const bool data = message.empty() && level >= 2;
  // 12 first, also when DATA follows: SendDataCommand replaces it with 21.
  Enter(SessionState::kWaitMess, data ? "DATA" : "MESS");
  if (data) return SendDataCommand();
  CheckOneLine(message, "Message");
  WriteCommand("MESS", message);
}

void SNPPInstance::SendDataCommand() {
  Enter(SessionState::kWaitData, "DATA");
  WriteCommand("DATA");
}

void SNPPInstance::SendDataBody() {
  // Two writes, no state change: the body's reply is awaited in WaitData.
  CheckTurn("DATA body");
  sck_->SendData(FormatDataBody(get_Data()));
  sck_->SendData(".\r\n");
  reader_.Expect();
}

void SNPPInstance::SendSendCommand() {
  Enter(SessionState::kWaitSend, "SEND");
  WriteCommand("SEND");
}

void SNPPInstance::SendQuit() {
  Enter(SessionState::kWaitQuit, "QUIT");
  WriteCommand("QUIT");
}

}  // namespace kestrel::session
