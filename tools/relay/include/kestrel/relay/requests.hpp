#pragma once
// What the HTTP API accepts, turned into pages for the outbox: POST /v1/pages bodies and
// Alertmanager's webhook notifications (payload version 4). Nothing here touches the outbox or
// the network, so that a rejected request leaves no trace and the parsers can be fuzzed.

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

// POST /v1/pages: {"pagers": [...] | "receiver": "...", "message" | "data", "subject",
// "level2": {...}, "idempotencyKey"}.
RequestResult ParsePageRequest(std::string_view body, const RelayConfig& config);

// POST /v1/alertmanager/{receiver}.
RequestResult ParseAlertmanagerRequest(std::string_view body, const ReceiverConfig& receiver,
                                       const RelayConfig& config);

// The text a pager shows: one line (line breaks become spaces), folded to ASCII when asked,
// and fitted to `max_length` characters (0: any length): cut to end in "..." or, with `split`,
// numbered parts "(1/3) ..." of at most max_length characters each.
std::vector<std::string> FitText(std::string_view text, int max_length, bool split, bool ascii);

}  // namespace kestrel::relay
