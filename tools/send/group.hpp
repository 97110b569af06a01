#pragma once
// snpp-send's side of paging a group: gateway addresses, the pagers file, one line per
// recipient, the exit code and the JSON list of recipients.

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrel/delivery/delivery.hpp"

namespace kestrel::tools {

// Bad command-line input: nothing is sent, exit code 2.
class UsageError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ServerAddress {
  std::string host;
  std::uint16_t port = 0;
};

// "host", "host:port", "1.2.3.4:444", "[::1]:444" or "::1" (an IPv6 literal without a port).
// Throws UsageError for an empty host, a bad port or an unclosed bracket.
ServerAddress ParseServer(std::string_view text, std::uint16_t default_port);

// One pager id a line; blank lines and lines starting with '#' are skipped, spaces around an id
// dropped. At most 1 MiB, a regular file or a pipe, read by `deadline`. Throws UsageError when
// the file cannot be read, or an id breaks the one rule for pager ids (naming its line).
std::vector<std::string> ReadPagersFile(
    const std::string& path, std::optional<std::chrono::steady_clock::time_point> deadline = {});

// Each distinct id once, in the order first seen; the ids given more than once, with how often.
struct DistinctPagers {
  std::vector<std::string> ids;
  std::vector<std::pair<std::string, int>> repeated;
};
DistinctPagers Distinct(const std::vector<std::string>& ids);

enum Exit { kDelivered = 0, kFailed = 1, kUsage = 2, kTimedOut = 3, kMixed = 4 };

// The decision, as a table (uncertain wins over timed out, for one pager as for many):
//   every recipient delivered                                   0
//   any uncertain, or any partly delivered (some parts went)    4
//   one recipient, timed out (greeting, deadline before SEND)   3
//   several, some delivered                                     4
//   otherwise                                                   1
Exit ExitCode(const std::vector<delivery::RecipientResult>& results);

// The top-level JSON outcome: "delivered", "uncertain" (any uncertain), "timeout" (exit 3),
// "partial" (exit 4 otherwise) or "failed".
const char* RunOutcome(const std::vector<delivery::RecipientResult>& results);

// One recipient's outcome: delivery's, or "partial" when some of its parts went out and not all.
std::string RecipientOutcome(const delivery::RecipientResult& result);

// "2 of 3 parts delivered; part 3 refused: 554 ...", for a partly delivered recipient.
std::string PartsText(const delivery::RecipientResult& result);

// "delivered 5551234 via host:port (attempt 1): 250 ...", "refused ...", "failed ... after
// 3 attempts: ...", "uncertain ...", "partial ... via host:port: 2 of 3 parts delivered; ...".
std::string RecipientLine(const delivery::RecipientResult& result);

// {"pager", "outcome", "server", "port", "attempts", "reply" or "error"}, and "partsDelivered"
// and "partsTotal" for a page in parts.
nlohmann::json RecipientJson(const delivery::RecipientResult& result);

}  // namespace kestrel::tools
