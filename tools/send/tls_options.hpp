#pragma once
// snpp-send's TLS options: --tls and how the server's certificate is checked. One TLS context is
// built per run and every gateway of the run gets a socket on it.

#include <CLI/CLI.hpp>

#include <memory>
#include <optional>
#include <string>

#include "kestrel/platform/event_loop.hpp"
#include "kestrel/platform/socket.hpp"
#include "kestrel/platform/tls.hpp"

namespace kestrel::tools {

struct TlsOptions {
  bool tls = false;
  bool insecure = false;
  std::string ca_file;
  std::string ca_path;
  std::string cert_file;
  std::string key_file;

  // Adds --tls, --ca-file, --ca-path, --tls-insecure, --tls-cert and --tls-key to `app`.
  void AddTo(CLI::App& app);

  // Builds the context once (nullptr without --tls). Raises UsageError when a file is missing,
  // not a regular file (or, for --ca-path, not a directory) or too large, and RuntimeError
  // (err::kTlsSettings) when the TLS library cannot use it. With --tls-insecure, says so on
  // stderr: every run. Warns when the client key can be read by others.
  std::shared_ptr<const platform::TlsContext> Prepare() const;

  // A socket for one gateway: TLS on `context`, or plain TCP when it is null.
  static std::unique_ptr<platform::Socket> MakeSocket(
      platform::EventLoop& loop, const std::shared_ptr<const platform::TlsContext>& context);
};

// Says on stderr, as ssh does, when a file that holds a secret can be read by group or others.
void WarnIfOthersCanRead(const std::string& path, unsigned mode, const char* what);

// For a page sent without TLS: a hint when what went wrong looks like a TLS server on the other
// end, to be added to the failure text (empty when nothing points that way).
//   reply       the failure text the control reported
//   connected   whether the TCP connection came up and the server sent nothing before the
//               failure (a TLS server waits for the client to speak first)
//   timed_out   whether the greeting never came
std::string PlainToTlsHint(const std::string& reply, bool connected, bool timed_out);

}  // namespace kestrel::tools
