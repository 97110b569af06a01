#include "kestrel/delivery/outcome.hpp"

#include <ostream>

#include "kestrel/platform/error.hpp"
#include "kestrel/session/session_state.hpp"

namespace kestrel::delivery {

const char* ToString(Verdict verdict) {
  switch (verdict) {
    case Verdict::kDelivered:
      return "delivered";
    case Verdict::kTransient:
      return "transient";
    case Verdict::kRefused:
      return "refused";
    case Verdict::kLoginRefused:
      return "login refused";
    case Verdict::kUncertain:
      return "uncertain";
    case Verdict::kFailed:
      return "failed";
    case Verdict::kCertificateFailed:
      return "certificate failed";
  }
  return "?";
}

std::ostream& operator<<(std::ostream& os, Verdict verdict) {
  return os << ToString(verdict);
}

namespace {

// The reply's three-digit code, or 0 when the line does not start with one.
int ReplyCode(const std::string& line) {
  if (line.size() < 3) return 0;
  int code = 0;
  for (int i = 0; i < 3; ++i) {
    const char c = line[static_cast<std::size_t>(i)];
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return 0;
  return code;
}

bool IsCertificateFailure(std::int32_t number) {
  return number == err::kTlsUntrusted || number == err::kTlsNameMismatch ||
         number == err::kTlsExpired || number == err::kTlsClientCertificate;
}

}  // namespace

Verdict ClassifyAttempt(const AttemptEvidence& e) {
  using Kind = AttemptEvidence::Kind;
  // After SEND was written, silence or a lost connection says nothing about the page: it may
  // be on its way. Only an explicit answer from the server decides it.
  const Verdict lost = e.send_written ? Verdict::kUncertain : Verdict::kTransient;
  switch (e.kind) {
    case Kind::kCompleted:
      return Verdict::kDelivered;
    case Kind::kHookFailed:
      return Verdict::kFailed;
    case Kind::kDeadline:
      return e.send_written ? Verdict::kUncertain : Verdict::kFailed;
    case Kind::kGreetingTimeout:
    case Kind::kReplyTimeout:
      return lost;
    case Kind::kError:
      // Our own input the control refuses to put on the wire: no gateway will take it.
      if (e.error_number == err::kLineBreakInParameter) return Verdict::kFailed;
      // Trying the same gateway again gets the same certificate.
      if (IsCertificateFailure(e.error_number)) return Verdict::kCertificateFailed;
      return lost;
    case Kind::kServerReply: {
      const int code = ReplyCode(e.text);
      if (code >= 400 && code < 500) return Verdict::kTransient;
      if (code >= 500 && code < 600) {
        return e.state == static_cast<Integer>(session::SessionState::kWaitLogin)
                   ? Verdict::kLoginRefused
                   : Verdict::kRefused;
      }
      return lost;  // a reply the dialogue has no place for: a confused gateway
    }
  }
  return lost;
}

}  // namespace kestrel::delivery

namespace kestrel::delivery {

bool HoldsGatewayOff(const AttemptEvidence& e) {
  using Kind = AttemptEvidence::Kind;
  if (e.kind == Kind::kGreetingTimeout) return true;
  if (e.kind != Kind::kError || e.greeted) return false;
  switch (e.error_number) {
    case err::kSocketConnectFailed:
    case err::kSocketBadHost:
    case err::kSocketClosedByPeer:
    case err::kSocketIo:
    case err::kTlsHandshakeFailed:
      return true;
    default:
      return false;
  }
}

}  // namespace kestrel::delivery
