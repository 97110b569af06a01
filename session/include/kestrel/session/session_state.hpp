#pragma once
// The protocol state of a paging session, held in the public State property.

#include <iosfwd>
#include <string_view>

#include "kestrel/platform/types.hpp"

namespace kestrel::session {

enum class SessionState : Integer {
  kNone = -1,          // a new control: no session started; replies are dropped
  kWaitGreeting = 0,   // connection requested, waiting for the server's 220
  kWaitPage = 11,      // PAGE written
  kWaitMess = 12,      // MESS written (or about to hand over to DATA)
  kWaitSend = 13,      // SEND written, waiting for the delivery reply
  kWaitQuit = 14,      // QUIT written; also where a finished or timed-out session rests
  kWaitData = 21,      // DATA written: first the 354 go-ahead, then the body's reply
  kWaitLogin = 22,     // LOGI written
  kWaitLevel = 23,     // LEVE written
  kWaitCoverage = 24,  // COVE written
  kWaitSubject = 25,   // SUBJ written
  kWaitHold = 26,      // HOLD written
  kWaitCaller = 27,    // CALL written
  kWaitAlert = 28,     // ALER written
};

// True for the states the reply dispatcher handles (every named one but kNone).
bool HasHandler(SessionState state);

// The state's name ("WaitPage"), or "State(n)" for a value without a handler.
std::string ToString(Integer state);
std::ostream& operator<<(std::ostream& os, SessionState state);

}  // namespace kestrel::session
