#pragma once
// What the HTTP API accepts, turned into pages for the outbox: POST /v1/pages bodies and
// Alertmanager's webhook notifications (payload version 4). Nothing here touches the outbox or
// the network, so that a rejected request leaves no trace and the parsers can be fuzzed.
//
// A page that would fail at every gateway is refused here, with 400, rather than retried until
// it expires:
//   a body nested deeper than kMaxJsonDepth         400 (before anything walks it)
//   a pager id that breaks the one rule for them    400 (delivery::CheckPagerId)
//   NUL or another control character in message,    400 (TAB is kept; data keeps line ends)
//     subject, data or a level-2 option
//   a message, subject or data line over            400
//     kMaxLineBytes
//   an alert's text                                 controls become "?", line ends spaces; cut
//                                                   to what its receiver's pages carry

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kestrel/outbox/store.hpp"
#include "kestrel/relay/config.hpp"

namespace kestrel::relay {

// A rejected request: the HTTP status and what is wrong, for the JSON error body.
struct RequestError {
  int status = 400;
  std::string message;
};

// The pages a request asks for (an alert may give several parts), or nothing for a
// notification the receiver does not page (resolved without send_resolved), with why.
struct Pages {
  std::vector<outbox::NewPage> pages;
  std::string skipped;  // set when nothing is paged on purpose
};

using RequestResult = std::variant<Pages, RequestError>;

// Objects and arrays inside one another, at most.
inline constexpr int kMaxJsonDepth = 64;
// Bytes on one line of a page (MESS, SUBJ, a DATA line): a few KB, well within what gateways
// take on a line with the command in front.
inline constexpr std::size_t kMaxLineBytes = 4000;

// POST /v1/pages: {"pagers": [...] | "receiver": "...", "message" | "data", "subject",
// "level2": {...}, "idempotencyKey"}.
RequestResult ParsePageRequest(std::string_view body, const RelayConfig& config);

// POST /v1/alertmanager/{receiver}.
RequestResult ParseAlertmanagerRequest(std::string_view body, const ReceiverConfig& receiver,
                                       const RelayConfig& config);

// The text a pager shows: one line (line breaks and TABs become spaces, other control
// characters "?"), folded to ASCII when asked, and fitted to `max_length` characters (0: any
// length): cut to end in "..." or, with `split`, numbered parts "(1/3) ..." of at most
// max_length characters each, and at most `max_parts` of them, the last one then cut to end
// in "...". Whatever the length, no part is longer than kMaxLineBytes bytes.
std::vector<std::string> FitText(std::string_view text, int max_length, bool split, bool ascii,
                                 int max_parts);

// `text` when it has at most `max_bytes` bytes; else cut at a character boundary to end in
// "...", `max_bytes` at most in all.
std::string CutToBytes(std::string_view text, std::size_t max_bytes);

}  // namespace kestrel::relay
