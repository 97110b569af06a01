#pragma once
// What the operator's endpoints of the HTTP API accept, checked before the outbox is asked:
//
//   GET  /v1/pages?state=&since=&receiver=&limit=&cursor=      ParsePageListQuery
//   POST /v1/pages/{id}/recipients/{pager}/resend | /dismiss   ParseActionPath, ParseActionNote
//
// Path segments and query values come percent-encoded; each is decoded once, and a bad
// encoding is 400. The pager segment is decoded before it is compared, so "%2E%2E" is the pager
// "..", while a raw "." or ".." (a path step that a proxy or browser would have resolved) is
// refused with what to send instead. Like requests.hpp, nothing here touches the outbox or the
// network.

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "kestrel/outbox/store.hpp"
#include "kestrel/relay/requests.hpp"

namespace kestrel::relay {

// `text` with each %XX decoded (and '+' as a space when `plus_is_space`, as in a query); none
// when a '%' is not followed by two hex digits.
std::optional<std::string> PercentDecode(std::string_view text, bool plus_is_space);

// A UTC time: "2026-12-09", "2026-12-09T03:00", "2026-12-09T03:00:00Z", with up to 9 digits of
// a fraction of a second and the Z optional; milliseconds since the epoch (a fraction cut to
// the millisecond). None for anything else, a date that does not exist (2026-02-30) included.
std::optional<outbox::Millis> ParseUtcTime(std::string_view text);

// GET /v1/pages's query string (what follows '?'). Every parameter at most once; limit 1 to
// outbox::kMaxListLimit (default 50); receiver NAME lists the pages of that [[receiver]], from
// Alertmanager ("alertmanager/NAME") or POST /v1/pages ("api/NAME").
std::variant<outbox::PageQuery, RequestError> ParsePageListQuery(std::string_view query);

struct ActionTarget {
  outbox::OperatorAction action = outbox::OperatorAction::kResend;
  std::string page_id;
  std::string pager;
};
// `rest` is the path after "/v1/pages/". None when it is no action's path (the API's 404 "no
// such endpoint"); an error for an action's path with a segment that is not valid.
std::optional<std::variant<ActionTarget, RequestError>> ParseActionPath(std::string_view rest);

inline constexpr std::size_t kMaxNoteBytes = 1000;
// An action's body: empty, {} or {"note": "one line"} (at most kMaxNoteBytes bytes, no
// control character). The note, empty for none.
std::variant<std::string, RequestError> ParseActionNote(std::string_view body);

}  // namespace kestrel::relay
