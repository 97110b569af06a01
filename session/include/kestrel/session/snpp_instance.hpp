#pragma once
// SNPPInstance: delivers one pager message at a time to a paging server over SNPP (RFC 1861,
// levels 1 and 2).
//
// The host sets properties, calls Send(), and learns the outcome from the events OnError and
// OnComplete raised through its ControlHost. Nothing here waits for the network: Send() asks the
// socket to connect and returns; every reply the server sends is handed to HandleReply, which
// checks its three-character code against State and, when the code is acceptable, writes the
// next command.
//
// A reply is one line, or a continued reply ("250-Pager ID Accepted" ... "250 Pager 5 is on
// duty"), gathered into one by ReplyAssembler. The reply text a host sees (OnComplete, OnError,
// getLastReply) is the whole reply as received: the one line with its line end, or every line
// of a continued reply, each with its line end, joined as they came. A continued reply past its
// bounds, or whose code changes, is reported as a malformed reply (err::kMalformedReply).
//
// Turns: a reply counts only for a command already written in full (ReplyReader). Bytes that
// arrived before a command was written are no reply to it: the command is not written and the
// out-of-turn error (err::kReplyOutOfTurn) is reported; so is a reply that comes while no
// command awaits one (in a State that has a handler). After either, the connection's later
// bytes are not taken as replies: the turns are lost, and the host closes or sends again.
//
//   host ──Send()──▶ timer on, TickCount 0, sck.Connect, State 0, DoEvents
//   sck ──DataArrival──▶ ReplyReader (LineFramer, ReplyAssembler, turns) ──each reply──▶
//         HandleReply ──▶ Send<Command> ──▶ sck.SendData
//                                                       │
//                                                       ├──▶ OnComplete (State 13, 250/860/960)
//                                                       └──▶ ReportFailure ──▶ OnError
//   Timer1 ──tick──▶ TickCount+1; in State 0 past ServerTimeout: close, State 14, OnError
//   sck ──Closed──▶ connection refused or lost mid-dialogue: OnError
//
// Level 1:  220 → PAGE(11) → MESS(12) → SEND(13) → [OnComplete] QUIT(14) → 221
// Level 2+: 220 → LOGI(22) → COVE(24) → LEVE(23) → HOLD(26) → ALER(28) → PAGE(11) → CALL(27)
//           → SUBJ(25) → MESS(12) | DATA(21), 354, body, 250 → SEND(13) → QUIT(14) → 221
//           (each optional command only when its property is set)
//
// Threading: one thread, the one that runs the host's event loop. Host calls, socket
// notifications and timer ticks arrive one after another; no locks. Events are raised
// synchronously, and a handler may call back into the control or destroy it.
//
// Errors: every operation but the notification handlers lets a RuntimeError pass to its caller.
// Errors raised while a reply, a tick or a socket notification is handled are caught by one trap
// (Trapped), reported through OnError, and never reach the event loop. Our own texts are in
// messages.hpp.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kestrel/platform/control_host.hpp"
#include "kestrel/platform/socket.hpp"
#include "kestrel/platform/timer.hpp"
#include "kestrel/platform/types.hpp"
#include "kestrel/session/messages.hpp"
#include "kestrel/session/reply_reader.hpp"
#include "kestrel/session/session_state.hpp"

namespace kestrel::session {

// The stored values of the session properties, named as the properties are. Server and
// ServerPort are not here: the socket holds them as its RemoteHost and RemotePort.
struct SessionProperties {
  String SenderID;
  String Recipient;
  Boolean Idle = kTrue;
  Integer State = static_cast<Integer>(SessionState::kNone);
  Integer ServerTimeout = 20;
  String Data;
  Integer coverageArea = -1;
  Integer ServiceLevel = -1;
  Integer SnppLevel = 3;
  String LoginName;
  String Password;
  String HoldUntil;
  String Subject;
  String Message = "0";
  Boolean AlertOverride = kFalse;
};

class SNPPInstance {
 public:
  static constexpr const char* kTimeoutText = messages::kConnectTimeout;
  static constexpr Long kTimerInterval = 1000;
  static constexpr Integer kTickCountLimit = 32767;

  // The socket and timer become the control's own `sck` and `Timer1`. The host must outlive
  // the control.
  SNPPInstance(platform::ControlHost& host, std::unique_ptr<platform::Socket> sck,
               std::unique_ptr<platform::Timer> timer);
  ~SNPPInstance() noexcept;
  SNPPInstance(const SNPPInstance&) = delete;
  SNPPInstance& operator=(const SNPPInstance&) = delete;

  // --- Properties: a put stores the value, then tells the host PropertyChanged(name). ---------
  String get_SenderID() const { return props_.SenderID; }
  void put_SenderID(const String& v);
  String get_Recipient() const { return props_.Recipient; }
  void put_Recipient(const String& v);
  Boolean get_Idle() const { return props_.Idle; }
  void put_Idle(Boolean v);
  Integer get_State() const { return props_.State; }
  // The host names the State the next reply is dispatched in, so a reply is awaited there.
  void put_State(Integer v);
  String get_Server() const;
  void put_Server(const String& v);
  Long get_ServerPort() const;
  void put_ServerPort(Long v);
  Integer get_ServerTimeout() const { return props_.ServerTimeout; }
  void put_ServerTimeout(Integer v);
  String get_Data() const { return props_.Data; }
  void put_Data(const String& v);
  Integer get_coverageArea() const { return props_.coverageArea; }
  void put_coverageArea(Integer v);
  Integer get_ServiceLevel() const { return props_.ServiceLevel; }
  void put_ServiceLevel(Integer v);
  Integer get_SnppLevel() const { return props_.SnppLevel; }
  void put_SnppLevel(Integer v);
  String get_LoginName() const { return props_.LoginName; }
  void put_LoginName(const String& v);
  String get_Password() const { return props_.Password; }
  void put_Password(const String& v);
  String get_HoldUntil() const { return props_.HoldUntil; }
  void put_HoldUntil(const String& v);
  String get_Subject() const { return props_.Subject; }
  void put_Subject(const String& v);
  String get_Message() const { return props_.Message; }
  void put_Message(const String& v);
  Boolean get_AlertOverride() const { return props_.AlertOverride; }
  void put_AlertOverride(Boolean v);

  // --- Connection -------------------------------------------------------------------------------
  // Starts a session with the connect time-out armed. Always returns the empty string.
  String Send();
  // Starts a session without touching the timer. Always returns False.
  Boolean Connect();
  // Closes the socket; State, the timer and TickCount stay as they are.
  void CloseConnect();

  // --- Outcome read-back ------------------------------------------------------------------------
  String getLastErrorDescription() const { return lastErrorDescription_; }
  String getLastReply() const { return lastReply_; }
  // The decimal number of the last runtime error reported while a reply, tick or socket
  // notification was handled; empty while there was none.
  String getLastError() const;

  // --- For the control shell, persistence and diagnostics (not automation members) -----------
  // Direct storage: reads and writes here send no change notices.
  SessionProperties& stored() noexcept { return props_; }
  const SessionProperties& stored() const noexcept { return props_; }
  platform::Socket& sck() noexcept { return *sck_; }
  platform::Timer& Timer1() noexcept { return *timer_; }
  Integer TickCount() const noexcept { return tickCount_; }
  Long LastErrorNumber() const noexcept { return lastErrorNumber_; }

 private:
  // Notification handlers of the embedded components.
  void sck_DataArrival(Long bytes);
  void sck_Closed(Long number, const String& description);
  void Timer1_Timer();

  void HandleReply(String reply);
  // Records the text, raises OnError with it by reference; swallows its own errors.
  void ReportFailure(const String& text) noexcept;
  // Reports an error raised while a notification was handled.
  void ReportCaught(Long number, const String& description) noexcept;
  // The one error trap of the notification handlers (data arrival, close, tick) and of each
  // reply line: runs `body`; a RuntimeError or other exception it raises is reported through
  // OnError (unless the control was destroyed meanwhile) and goes no further. True when `body`
  // ran to its end.
  template <typename Body>
  bool Trapped(Body&& body) noexcept;

  // Command procedures: each sets its State, then writes one line (or passes on when unset).
  void SendLogin();
  void SendCoverage();
  void SendLevel();
  void SendHold();
  void SendAlert();
  void SendPage();
  void SendCaller();
  void SendSubject();
  void SendMess();
  void SendDataCommand();
  void SendDataBody();
  void SendSendCommand();
  void SendQuit();

  // Before a command is written: bytes that arrived before it cannot be its reply. Raises the
  // out-of-turn error (and takes nothing more from this connection) when there are any.
  void CheckTurn(std::string_view command);
  // CheckTurn, then State := `state`: the start of every command that is written.
  void Enter(SessionState state, std::string_view command);
  // A reply that broke the turns (unasked, or malformed): reported once, and the connection's
  // later bytes are not taken as replies.
  void ReportOutOfTurn(const ReplyReader::Received& received);
  // Raises the line-break error, naming the property, when the value holds a CR or LF.
  static void CheckOneLine(std::string_view value, std::string_view property);
  // Writes "word" or "word parameter", with its CR LF, as one write.
  void WriteCommand(std::string_view word, std::optional<std::string_view> parameter = {});
  // Stores State and tells the host, as put_State does, without touching the turns.
  void StoreState(Integer v);
  void SetState(SessionState state) { StoreState(static_cast<Integer>(state)); }
  void Notify(std::string_view name);
  // Connects the socket to Server:ServerPort and enters WaitGreeting.
  void OpenConnection();
  // Closes the socket and forgets buffered text of the connection.
  void CloseSocket();
  // Raises an event; false when a handler destroyed the control.
  bool Raise(platform::EventId event, String& argument);

  platform::ControlHost& host_;
  std::unique_ptr<platform::Socket> sck_;
  std::unique_ptr<platform::Timer> timer_;
  SessionProperties props_;

  Integer tickCount_ = 0;
  String lastReply_;
  String lastErrorDescription_;
  Long lastErrorNumber_ = 0;
  bool anyErrorCaught_ = false;

  // Received bytes to whole replies, and whose turn it is: a reply counts only for a command
  // written in full before it arrived.
  ReplyReader reader_;
  // Changes whenever the connection is opened or closed, so that lines buffered from an earlier
  // connection are never dispatched after a handler closed or reopened it.
  std::uint64_t connection_generation_ = 0;
  // Cleared by the destructor; lets a handler destroy the control from inside an event.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel::session
