#pragma once
// snpp-relay's operator commands, for a person at a terminal or a script, talking to a running
// relay's API:
//
//   snpp-relay pages list [--state STATE] [--since WHEN] [--receiver NAME] [--limit N]
//   snpp-relay pages show ID
//   snpp-relay pages resend ID PAGER
//   snpp-relay pages dismiss ID PAGER [--note TEXT]
//   snpp-relay gateways
//
// The relay's URL comes from --url (or SNPP_RELAY_URL, or [relay] listen of --config); the token
// from --token-file (or SNPP_RELAY_TOKEN_FILE, or the first token of the configuration's
// api_tokens_file that may do what is asked: resend and dismiss need the role operate), never
// from the command line. Tables for people; --json prints the relay's
// own answer for scripts. Exit codes are snpp-send's (see PageExitCode for `pages show`).
//
// One thread; each command makes one blocking request.

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>

namespace kestrel::relay {

class OperatorCommands {
 public:
  // Adds `pages` and `gateways` to `app`. `config_path` is the program's own --config, read
  // only when Run() needs it.
  OperatorCommands(CLI::App& app, const std::string& config_path);

  // After parsing: runs the operator command given and returns its exit code; none when the
  // command line named no operator command.
  std::optional<int> Run(std::ostream& out, std::ostream& err);

 private:
  struct Options {
    std::string url;
    std::string token_file;
    std::string ca_file;
    int timeout = 10;  // seconds
    bool json = false;
    std::string state, since, receiver, cursor, note;
    int limit = 50;
    std::string page_id, pager;
  };
  int RunCommand(std::ostream& out);
  void AddConnectionOptions(CLI::App& command);

  const std::string& config_path_;
  Options options_;
  CLI::App* pages_ = nullptr;
  CLI::App* list_ = nullptr;
  CLI::App* show_ = nullptr;
  CLI::App* resend_ = nullptr;
  CLI::App* dismiss_ = nullptr;
  CLI::App* gateways_ = nullptr;
};

// `pages show`'s exit code from the page's recipients (states as GET /v1/pages/{id} gives them):
//
//   recipients                                                  exit code
//   any uncertain                                               4  a human must decide
//   else any queued or sending                                  3  no outcome yet
//   else every one delivered                                    0
//   else some delivered (the others refused, failed, expired,   4  mixed
//        dismissed or a state this program does not know)
//   else none delivered, or no recipients                       1
int PageExitCode(const nlohmann::json& page);

// `gateways`: 0 every gateway up; 4 some up and some down; 1 none up (or none at all).
int GatewaysExitCode(const nlohmann::json& answer);

// The exit code for an answer that is not 2xx: 2 for 400 and 413 (the request was bad; nothing
// was done), 1 otherwise.
int ExitCodeForStatus(long status);

// What `pages show`, `pages list` and `gateways` print for people. Text from the relay has its
// control characters written "\x1b"; fields missing or of another type are shown empty or as
// JSON, never thrown on. PagesListText and GatewaysText throw OperatorError (exit 1) when the
// answer has no "pages" or "gateways" list.
std::string PageText(const nlohmann::json& page);
std::string PagesListText(const nlohmann::json& answer);
std::string GatewaysText(const nlohmann::json& answer);

// The token in the file at `path`: its first line that is neither blank nor a '#' comment,
// read as a line of the relay's tokens file (ParseTokenLine: the token alone, or NAME ROLE
// TOKEN, so a copy of the relay's own line serves). Throws OperatorError (exit 2) for a file that
// is not a regular file, can be read by every user, is over 64 KiB, or holds no token or a control
// character; the message never shows the file's content.
std::string ReadTokenFile(const std::string& path);

}  // namespace kestrel::relay
