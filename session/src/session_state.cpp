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

std::ostream& operator<<(std::ostream& os, SessionState state) {
  return os << ToString(static_cast<Integer>(state)) << " (" << static_cast<Integer>(state) << ")";
}

}  // namespace kestrel::session
