#pragma once
// snpp-send's side of paging a group: gateway addresses, the pagers file, one line per
// recipient, the exit code and the JSON list of recipients.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
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
// dropped. Throws UsageError when the file cannot be read or an id holds a space.
std::vector<std::string> ReadPagersFile(const std::string& path);

enum Exit { kDelivered = 0, kFailed = 1, kUsage = 2, kTimedOut = 3, kMixed = 4 };

// Several recipients: 0 all delivered; 4 some delivered or any uncertain; 1 otherwise.
// One recipient: 0 delivered; 3 timed out; 4 uncertain; 1 otherwise.
Exit ExitCode(const std::vector<delivery::RecipientResult>& results);

// The top-level JSON outcome: "delivered", "failed", "timeout", "partial" or "uncertain".
const char* RunOutcome(const std::vector<delivery::RecipientResult>& results);

// "delivered 5551234 via host:port (attempt 1): 250 ...", "refused ...", "failed ... after
// 3 attempts: ...", "uncertain ...".
std::string RecipientLine(const delivery::RecipientResult& result);

// {"pager", "outcome", "server", "port", "attempts", "reply" or "error"}.
nlohmann::json RecipientJson(const delivery::RecipientResult& result);

}  // namespace kestrel::tools
