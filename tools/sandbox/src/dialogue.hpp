#pragma once
// The server's half of one SNPP session, without any I/O: it takes one command line (or DATA
// body line) at a time and says what to answer, whether to close afterwards and whether a page
// has just been sent.
//
// State: an open transaction (pagers, message, subject, caller), the options waiting for the
// next PAGE (LEVE, COVE, HOLD, ALER), the login, and whether a DATA body is being read.
// SEND and RESE end the transaction; the login outlives both.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/sandbox/sandbox_server.hpp"

namespace kestrel::sandbox {

class Dialogue {
 public:
  // A DATA body may grow to Options::max_message; a longer one is refused once its "." arrives.
  // PAGE commands beyond this many in one transaction are answered 552.
  static constexpr std::size_t kMaxRecipients = 100;

  struct Step {
    std::string reply;   // whole CR LF-terminated lines; empty while a DATA body is read
    bool close = false;  // close the connection once the reply is out
    std::optional<Page> page = std::nullopt;  // set when this line was a successful SEND
  };

  explicit Dialogue(const Options& options) : options_(options) {}

  // `line` comes without its line end.
  Step Handle(std::string_view line);

 private:
  struct PendingOptions {
    std::optional<int> level;
    std::optional<std::string> coverage;
    std::optional<std::string> hold;
    std::optional<bool> alert;
  };
  struct Transaction {
    std::vector<Recipient> pagers;
    std::optional<std::string> message;
    MessageVia via = MessageVia::kMess;
    std::optional<std::string> subject;
    std::optional<std::string> caller;
  };

  Step Command(std::string_view line);
  Step BodyLine(std::string_view line);
  std::string PageCommand(std::string_view args);
  std::string LoginCommand(std::string_view args);
  Step SendCommand();
  void Reset();

  const Options& options_;
  Transaction tx_;
  PendingOptions pending_;
  std::optional<std::string> login_;
  bool in_body_ = false;
  bool body_too_long_ = false;
  std::string body_;
};

}  // namespace kestrel::sandbox
