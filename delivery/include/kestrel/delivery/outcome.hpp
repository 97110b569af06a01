#pragma once
// What one attempt's end means for its recipient: the outcome table as a pure function.
//
//   what happened                                              verdict
//   OnComplete (250, 860 or 960 to SEND)                       delivered
//   a 4xx reply at any step (421 included)                     transient
//   a 5xx reply to LOGI                                        login refused (next gateway)
//   any other 5xx reply                                        refused
//   connection refused, reset or closed, no greeting in time,
//   a reply time-out, a reply without a known code:
//     before SEND was written                                  transient
//     after SEND was written                                   uncertain
//   the deadline passed: before SEND / after SEND              failed / uncertain
//   the host's before_send hook threw; a page the control
//   cannot send (a line break in a one-line field)             failed
//
// Any thread; no state.

#include <cstdint>
#include <iosfwd>
#include <string>

#include "kestrel/platform/types.hpp"

namespace kestrel::delivery {

enum class Verdict { kDelivered, kTransient, kRefused, kLoginRefused, kUncertain, kFailed };

// "delivered", "transient", "refused", "login refused", "uncertain", "failed".
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
  Integer state = -1;             // the control's State when it ended
  bool send_written = false;      // SEND went to the socket
  std::string text{};             // the reply line or the error description
  std::int32_t error_number = 0;  // for kError
};

Verdict ClassifyAttempt(const AttemptEvidence& evidence);

}  // namespace kestrel::delivery
