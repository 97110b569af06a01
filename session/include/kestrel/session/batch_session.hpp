#pragma once
// BatchSession: one message to several pagers in one SNPP session (RFC 1861: PAGE repeated,
// each pager's options before its PAGE, then one MESS or DATA and one SEND).
//
// Why a sibling of SNPPInstance and not an extension of it: SNPPInstance is the embeddable
// control, and its contract is what hosts program against: one Recipient property, the State
// values and their order, OnError/OnComplete for one page, settings files that persist it.
// A list of pagers with an answer each would change that contract for every host that never
// asked for it. The batch shares everything below the contract instead: ReplyReader (line
// framing, continued replies, turns), FormatDataBody (dot-stuffing), the command-line checks
// and texts (command_line.hpp, messages.hpp), the SessionState values (so a host reads both
// types' progress the same way) and the one-second greeting timer with its TickCount rule.
//
// The dialogue, each command only when its value is set, as SNPPInstance writes them:
//
//   Level 1:  220 → (PAGE)×n → MESS → SEND → QUIT
//   Level 2+: 220 → LOGI → for each pager: COVE → LEVE → HOLD → ALER → PAGE
//             → CALL → SUBJ → MESS | DATA, 354, body, 250 → SEND → QUIT
//
// The per-pager options come before the PAGE they apply to, in the order SNPPInstance writes
// them (COVE, LEVE, HOLD, ALER), and again before every PAGE: RFC 1861 has the server apply
// them to the next PAGE only and then reset them ("option-option-option-go", section 4.5.2).
// CALL and SUBJ belong to the message, not to a pager: once, after the last PAGE (the RFC's
// own example puts SUBJ there).
//
// Answers: every pager gets one, through BatchHost::PagerAnswered, once its PAGE is answered
// (accepted: 250), or once one of its options is answered with anything but 250 or 500 (that
// reply is its answer, and its PAGE is not written). Either way the session goes on with the
// next pager. After the last pager: when at least one was accepted, CALL, SUBJ, the message and
// SEND follow, and SEND's reply is the outcome of every accepted pager (OnComplete for 250, 860
// or 960, else OnError with the reply); when none was, QUIT is written and OnError raised with
// the last answer, and no message goes out. A failure of the session itself (greeting, LOGI,
// CALL, SUBJ, the message, a lost connection, a reply out of turn, the greeting time-out) is
// OnError, with the same texts and error numbers as SNPPInstance.
//
// Threading: one thread, as SNPPInstance; no locks. Events are raised synchronously, and a
// handler may close the connection or destroy the session.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/platform/control_host.hpp"
#include "kestrel/platform/socket.hpp"
#include "kestrel/platform/timer.hpp"
#include "kestrel/platform/types.hpp"
#include "kestrel/session/reply_reader.hpp"
#include "kestrel/session/session_state.hpp"
#include "kestrel/session/snpp_instance.hpp"

namespace kestrel::session {

// The host of a batch: the control's services and events, and each pager's answer.
class BatchHost : public platform::ControlHost {
 public:
  // Pager `index` (into recipients()) has its answer: the reply to its PAGE, or to one of its
  // options that the server did not take. `accepted`: a 250 to its PAGE.
  virtual void PagerAnswered(std::size_t index, const String& reply, bool accepted) = 0;
};

class BatchSession {
 public:
  BatchSession(BatchHost& host, std::unique_ptr<platform::Socket> sck,
               std::unique_ptr<platform::Timer> timer);
  ~BatchSession() noexcept;
  BatchSession(const BatchSession&) = delete;
  BatchSession& operator=(const BatchSession&) = delete;

  // The page's values, as SNPPInstance stores them; Recipient is not used.
  SessionProperties& stored() noexcept { return props_; }
  // The pagers, in the order they are paged.
  std::vector<String>& recipients() noexcept { return recipients_; }

  // Connects to the socket's RemoteHost:RemotePort with the greeting time-out armed. Raises
  // RuntimeError when there is no pager.
  void Send();
  void CloseConnect();

  Integer get_State() const noexcept { return props_.State; }
  String getLastReply() const { return lastReply_; }
  String getLastError() const;
  Long LastErrorNumber() const noexcept { return lastErrorNumber_; }
  platform::Socket& sck() noexcept { return *sck_; }
  platform::Timer& Timer1() noexcept { return *timer_; }
  // The pager whose options or PAGE are under way (recipients().size() once all are answered).
  std::size_t current() const noexcept { return current_; }
  std::size_t accepted() const noexcept { return accepted_; }

 private:
  void sck_DataArrival();
  void sck_Closed(Long number, const String& description);
  void Timer1_Timer();
  void HandleReply(String reply);
  // The current pager's answer; the next pager, or what follows the last.
  void Answer(const String& reply, bool accepted);

  void SendLogin();
  void StartPager();  // the current pager's first option, or its PAGE
  void SendCoverage();
  void SendLevel();
  void SendHold();
  void SendAlert();
  void SendPage();
  void SendCaller();
  void SendSubject();
  void SendMess();
  void SendDataBody();
  void SendSendCommand();
  void SendQuit();

  void Enter(SessionState state, std::string_view command);
  void CheckTurn(std::string_view command);
  void WriteCommand(std::string_view word, std::optional<std::string_view> parameter = {});
  void SetState(SessionState state);
  void ReportOutOfTurn(const ReplyReader::Received& received);
  void ReportFailure(const String& text) noexcept;
  void ReportCaught(Long number, const String& description) noexcept;
  template <typename Body>
  bool Trapped(Body&& body) noexcept;
  bool Raise(platform::EventId event, String& argument);
  void CloseSocket();

  BatchHost& host_;
  std::unique_ptr<platform::Socket> sck_;
  std::unique_ptr<platform::Timer> timer_;
  SessionProperties props_;
  std::vector<String> recipients_;
  std::size_t current_ = 0;
  std::size_t accepted_ = 0;
  Integer tickCount_ = 0;
  String lastReply_;
  String lastErrorDescription_;
  Long lastErrorNumber_ = 0;
  bool anyErrorCaught_ = false;
  ReplyReader reader_;
  std::uint64_t connection_generation_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel::session
