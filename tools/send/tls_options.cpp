#include "tls_options.hpp"

#include <cstdio>
#include <iostream>

#include "group.hpp"
#include "kestrel/delivery/shown_text.hpp"
#include "kestrel/platform/input_file.hpp"
#include "options.hpp"

namespace kestrel::tools {

void TlsOptions::AddTo(CLI::App& app) {
  auto* on = app.add_flag("--tls", tls,
                          "connect with TLS (to every gateway of the run); the server's "
                          "certificate is verified against the system's CAs");
  app.add_option("--ca-file", ca_file, "trust only the CA certificates in FILE (PEM)")
      ->type_name("FILE")
      ->needs(on);
  app.add_option("--ca-path", ca_path, "trust only the hashed CA certificates in DIR")
      ->type_name("DIR")
      ->needs(on);
  app.add_flag("--tls-insecure", insecure,
               "do NOT verify the server's certificate (says so on stderr every run)")
      ->needs(on);
  auto* cert = app.add_option("--tls-cert", cert_file,
                              "client certificate (PEM), when the gateway asks for one")
                   ->type_name("FILE")
                   ->needs(on);
  app.add_option("--tls-key", key_file, "the client certificate's private key (PEM)")
      ->type_name("FILE")
      ->needs(cert);
}

namespace {

// "0644".
std::string Octal(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777);
  return text;
}

}  // namespace

void WarnIfOthersCanRead(const std::string& path, unsigned mode, const char* what) {
  if ((mode & 077) == 0) return;
  const std::string shown = delivery::EscapeControls(path);
  std::cerr << "snpp-send: warning: " << what << " '" << shown << "' can be read by others (mode "
            << Octal(mode) << "); make it readable by you only: chmod 600 '" << shown << "'"
            << std::endl;
}

std::shared_ptr<const platform::TlsContext> TlsOptions::Prepare() const {
  if (!tls) return nullptr;
  // Each file is looked at before the TLS library reads it: a directory, a device or a huge
  // file is bad input with its name, not a hang or a vague failure.
  try {
    const auto file = [](const std::string& path, const char* what) {
      return platform::CheckInputFile(path, {.what = what, .max_bytes = kMaxTlsFileBytes});
    };
    if (!ca_file.empty()) file(ca_file, "the CA file (--ca-file)");
    if (!ca_path.empty()) platform::CheckInputDirectory(ca_path, "the CA directory (--ca-path)");
    if (!cert_file.empty()) file(cert_file, "the client certificate (--tls-cert)");
    if (!key_file.empty()) {
      WarnIfOthersCanRead(key_file, file(key_file, "the client key (--tls-key)"), "the client key");
    } else if (!cert_file.empty()) {
      WarnIfOthersCanRead(cert_file, file(cert_file, "the client certificate (--tls-cert)"),
                          "the client certificate (with its key)");
    }
  } catch (const platform::InputFileError& e) {
    throw UsageError(e.what());
  }
  if (insecure) {
    std::cerr << "snpp-send: warning: --tls-insecure: the server's certificate is not checked; "
                 "anyone in between can pose as the gateway and read the login and the page."
              << std::endl;
  }
  platform::TlsSettings settings;
  settings.verify = !insecure;
  settings.ca_file = ca_file;
  settings.ca_path = ca_path;
  settings.cert_file = cert_file;
  settings.key_file = key_file;
  return platform::MakeTlsContext(settings);
}

std::unique_ptr<platform::Socket> TlsOptions::MakeSocket(
    platform::EventLoop& loop, const std::shared_ptr<const platform::TlsContext>& context) {
  return context ? platform::MakeAsioTlsSocket(loop, context) : platform::MakeAsioSocket(loop);
}

std::string PlainToTlsHint(const std::string& reply, bool connected, bool timed_out) {
  if (timed_out) {
    if (!connected) return "";
    return " The server accepted the connection but sent no greeting; a TLS port waits for "
           "the client to speak first: if this is one, add --tls.";
  }
  // A TLS record starts with its type (0x14-0x17) and the major version 3.
  if (reply.size() >= 2 && reply[0] >= 0x14 && reply[0] <= 0x17 && reply[1] == 0x03) {
    return " The server answered with TLS, not with an SNPP greeting: add --tls.";
  }
  for (const unsigned char c : reply) {
    if (c < 0x20 && c != '\r' && c != '\n' && c != '\t') {
      return " The server answered with binary data, not an SNPP greeting; it may speak TLS "
             "on this port: if so, add --tls.";
    }
  }
  return "";
}

}  // namespace kestrel::tools
