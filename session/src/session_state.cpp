#include "kestrel/session/session_state.hpp"

#include <ostream>
#include <string>

namespace kestrel::session {

std::string ToString(Integer state) {
  switch (static_cast<SessionState>(state)) {
    case SessionState::kNone:
      return "None";
    case SessionState::kWaitGreeting:
      return "WaitGreeting";
    case SessionState::kWaitPage:
      return "WaitPage";
    case SessionState::kWaitMess:
      return "WaitMess";
    case SessionState::kWaitSend:
      return "WaitSend";
    case SessionState::kWaitQuit:
      return "WaitQuit";
    case SessionState::kWaitData:
      return "WaitData";
    case SessionState::kWaitLogin:
      return "WaitLogin";
    case SessionState::kWaitLevel:
      return "WaitLevel";
    case SessionState::kWaitCoverage:
      return "WaitCoverage";
    case SessionState::kWaitSubject:
      return "WaitSubject";
    case SessionState::kWaitHold:
      return "WaitHold";
    case SessionState::kWaitCaller:
      return "WaitCaller";
    case SessionState::kWaitAlert:
      return "WaitAlert";
  }
  return "State(" + std::to_string(state) + ")";
}

bool HasHandler(SessionState state) {
  switch (state) {
    case SessionState::kWaitGreeting:
    case SessionState::kWaitPage:
    case SessionState::kWaitMess:
    case SessionState::kWaitSend:
    case SessionState::kWaitQuit:
    case SessionState::kWaitData:
    case SessionState::kWaitLogin:
    case SessionState::kWaitLevel:
    case SessionState::kWaitCoverage:
    case SessionState::kWaitSubject:
    case SessionState::kWaitHold:
    case SessionState::kWaitCaller:
    case SessionState::kWaitAlert:
      return true;
    case SessionState::kNone:
      break;
  }
  return false;
}

std::ostream& operator<<(std::ostream& os, SessionState state) {
  return os << ToString(static_cast<Integer>(state)) << " (" << static_cast<Integer>(state) << ")";
}

}  // namespace kestrel::session
