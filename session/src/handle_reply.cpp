// The reply dispatcher: one reply line in, exactly one action out.

#include "kestrel/session/snpp_instance.hpp"
#include "kestrel/session/wire.hpp"

namespace kestrel::session {

// Raises what the next command raises; the caller traps it (one trap per reply line).
void SNPPInstance::HandleReply(String reply) {
  const std::string_view code = ReplyCode(reply);
  switch (static_cast<SessionState>(get_State())) {
    case SessionState::kWaitGreeting:
      if (code != "220") return ReportFailure(reply);
      return get_SnppLevel() < 2 ? SendPage() : SendLogin();

    case SessionState::kWaitPage:
      if (code != "250") return ReportFailure(reply);
      return get_SnppLevel() < 2 ? SendMess() : SendCaller();

    case SessionState::kWaitMess:
      if (code != "250") return ReportFailure(reply);
      return SendSendCommand();

    case SessionState::kWaitSend: {
      // Every delivery reply is kept, accepted or not, before its code is looked at.
      lastReply_ = reply;
      if (code != "250" && code != "860" && code != "960") return ReportFailure(reply);
      // The handler sees State 13 with QUIT not yet written.
      const auto generation = connection_generation_;
      if (!Raise(platform::EventId::kOnComplete, lastReply_)) return;
      // A handler that hung up, or started the next page on a new connection, has ended this
      // session: its QUIT has nowhere to go and must not land in the next one.
      if (generation != connection_generation_) return;
      return SendQuit();
    }

    case SessionState::kWaitQuit:
      if (code != "221") return ReportFailure(reply);
      CloseSocket();
      timer_->SetEnabled(false);
      tickCount_ = 0;
      return;

    case SessionState::kWaitData:
      if (code == "354") return SendDataBody();
      if (code == "250") return SendSendCommand();
      return ReportFailure(reply);

    // Optional commands: a server without them answers 500, and the page goes on without.
    case SessionState::kWaitLogin:
      if (code != "250" && code != "230" && code != "500") return ReportFailure(reply);
      return SendCoverage();
    case SessionState::kWaitLevel:
      if (code != "250" && code != "500") return ReportFailure(reply);
      return SendHold();
    case SessionState::kWaitCoverage:
      if (code != "250" && code != "500") return ReportFailure(reply);
      return SendLevel();
    case SessionState::kWaitSubject:
      if (code != "250" && code != "500") return ReportFailure(reply);
      return SendMess();
    case SessionState::kWaitHold:
      if (code != "250" && code != "500") return ReportFailure(reply);
      return SendAlert();
    case SessionState::kWaitCaller:
      if (code != "250" && code != "500") return ReportFailure(reply);
      return SendSubject();
    case SessionState::kWaitAlert:
      if (code != "250" && code != "500") return ReportFailure(reply);
      return SendPage();

    case SessionState::kNone:
      return;  // no session: the reply is dropped
  }
  // Any other value, written by the host or loaded with saved settings: dropped silently.
}

}  // namespace kestrel::session
