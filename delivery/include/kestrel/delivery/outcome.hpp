#pragma once
// What one attempt's end means for its recipient, and for its gateway: the outcome table as
// two pure functions.
//
//   what happened                                              verdict            held off
//   OnComplete (250, 860 or 960 to SEND)                       delivered          no
//   a 4xx reply at any step (421 included)                     transient          no
//   a 5xx reply to LOGI                                        login refused      no
//                                                              (the gateway is out for the
//                                                              request; next gateway at once)
//   any other 5xx reply                                        refused            no
//   the certificate is untrusted, for another name, expired,
//   or the server wants or refused our client certificate      certificate failed no
//                                                              (out for the request, as above)
//   connection refused, unreachable, reset or closed, or the
//   TLS handshake failed, before the greeting; no greeting
//   in time                                                    transient          yes
//   the connection lost later, a reply time-out, a reply
//   without a known code, a reply out of turn or malformed:
//     before SEND was written                                  transient          no
//     after SEND was written                                   uncertain          no
//   the deadline passed: before SEND / after SEND              failed / uncertain no
//   the host's before_send hook threw; a page the control
//   cannot send (a line break in a one-line field)             failed             no
//
// Any thread; no state.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "kestrel/platform/types.hpp"

namespace kestrel::delivery {

enum class Verdict {
  kDelivered,
  kTransient,
  kRefused,
  kLoginRefused,
  kUncertain,
  kFailed,
  kCertificateFailed,
};

// "delivered", "transient", "refused", "login refused", "uncertain", "failed",
// "certificate failed".
const char* ToString(Verdict verdict);
std::ostream& operator<<(std::ostream& os, Verdict verdict);

struct AttemptEvidence {
  enum class Kind {
    kCompleted,        // OnComplete
    kServerReply,      // OnError carrying a reply line the control did not accept
    kError,            // OnError carrying a runtime error (socket, connection lost, ...)
    kGreetingTimeout,  // the control's own "Connect Server Time out!"
    kReplyTimeout,     // our reply or SEND time-out ran out
    kDeadline,         // the request's deadline passed mid-session
    kHookFailed,       // before_send threw
  };
  Kind kind = Kind::kError;
  Integer state = -1;              // the control's State when it ended
  bool send_written = false;       // SEND went to the socket
  std::string text{};              // the reply line or the error description
  std::int32_t error_number = 0;   // for kError
  bool greeted = false;            // the server's greeting was accepted
  bool connected = false;          // the connection came up (for a greeting that never came)
  std::size_t bytes_received = 0;  // from the server, in this attempt
};

Verdict ClassifyAttempt(const AttemptEvidence& evidence);

// The table's last column: the attempt never reached a greeting because of the gateway, so new
// attempts pass it over for a while.
bool HoldsGatewayOff(const AttemptEvidence& evidence);

}  // namespace kestrel::delivery
