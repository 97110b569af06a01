#pragma once
// The relay's configuration: one TOML file with [relay], [retry], [[gateway]] and [[receiver]].
// Secrets are read from the files it names (password_file, api_tokens_file), never from the
// file itself; such a file must be a regular file of at most kMaxSecretFile bytes, and one that
// others may read is a warning. Loading collects every problem, each with its line, rather
// than the first only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/relay/gateway.hpp"

namespace kestrel::relay {

struct ReceiverConfig {
  std::string name;
  std::vector<std::string> pagers;
  int max_length = 0;  // characters; 0: no bound
  bool split = false;
  bool ascii = false;
  bool send_resolved = false;
  int max_parts = 5;            // with split: at most this many parts, the last one cut
  bool require_level2 = false;  // refuse gateways below SNPP level 2 rather than drop fields
  std::string template_text = "[{{status}}] {{labels.alertname}}: {{annotations.summary}}";
};

// What a token may do: read answers every GET of the API; operate everything a token could do
// before tokens had roles (send pages, resend and dismiss them).
enum class TokenRole { kRead, kOperate };

struct ApiToken {
  std::string name;    // what the log says acted: its NAME, or "line N" for a bare token
  std::string secret;  // never logged, never in an error text
  TokenRole role = TokenRole::kOperate;
};

// One line of the tokens file, numbered from 1:
//
//   line                          token
//   blank, or '#' first           none
//   TOKEN                         TOKEN, role operate, named "line N"
//   NAME ROLE TOKEN               TOKEN, role ROLE (read or operate), named NAME
//   anything else                 a problem
//
// Fields are separated by spaces or tabs. A bearer token holds no whitespace (RFC 6750), so a
// line of one field is always a bare token and never a name or a role. NAME is 1 to 64 of
// A-Z a-z 0-9 . _ - (it is logged; "line N" can never be one); no token holds a control
// character. A problem's text names the line and never repeats what the line holds.
struct TokenLine {
  std::optional<ApiToken> token;
  std::string problem;  // set when the line is not a tokens-file line
};
TokenLine ParseTokenLine(std::string_view line, int number);

struct RelayConfig {
  std::string listen_host = "127.0.0.1";
  std::uint16_t listen_port = 8444;
  std::string outbox;  // the SQLite outbox's file; empty with outbox_conninfo
  // The shared outbox in PostgreSQL: [relay] outbox = "postgresql://..." (no password in it),
  // or [outbox] kind = "postgresql" with conninfo_file. It may hold a password; never logged.
  std::string outbox_conninfo;
  // [outbox] lease_ttl: how long a claim of the shared outbox holds without renewal, so how long
  // a dead relay's recipients wait before another relay takes them.
  Millis lease_ttl = 5'000;
  std::vector<ApiToken> api_tokens;  // from api_tokens_file; their secrets never logged
  Millis expire_after = 3'600'000;
  Millis backoff = 2'000;
  Millis max_backoff = 300'000;
  Millis shutdown_grace = 10'000;
  std::size_t max_connections = 512;     // open HTTP connections; above it one is closed at once
  Millis retain = 7LL * 24 * 3'600'000;  // final pages are kept this long, then deleted
  std::vector<GatewayConfig> gateways;
  std::vector<ReceiverConfig> receivers;

  const ReceiverConfig* FindReceiver(std::string_view name) const;
};

struct ConfigProblem {
  int line = 0;  // 0: the file as a whole
  std::string what;
};

struct ConfigResult {
  std::optional<RelayConfig> config;  // set when there was no problem
  std::vector<ConfigProblem> problems;
  // Not problems, but to be told: a secret file that other users may read.
  std::vector<ConfigProblem> warnings;
};

inline constexpr Millis kMinLeaseTtl = 2'000;
inline constexpr Millis kMaxLeaseTtl = 600'000;
inline constexpr std::size_t kMaxSecretFile = 64 * 1024;
inline constexpr std::size_t kMaxConfigFile = 1 << 20;

// Parses configuration text. Relative secret file names are taken from `base_dir`; with
// `read_secrets` false the secret files are not opened (for checking text alone; then
// outbox_conninfo says only "(from FILE)").
ConfigResult ParseConfig(std::string_view text, const std::string& source_name,
                         const std::string& base_dir, bool read_secrets = true);
// Reads and parses the file at `path`.
ConfigResult LoadConfig(const std::string& path);

// "30s", "5m", "1h", "7d", "250ms" as milliseconds; none for anything else.
std::optional<Millis> ParseDuration(std::string_view text);
// "host:port", "[v6]:port"; none when malformed.
std::optional<std::pair<std::string, std::uint16_t>> ParseHostPort(
    std::string_view text, std::optional<std::uint16_t> default_port);

}  // namespace kestrel::relay
