#pragma once
// TLS for the client socket: the settings a user gives, and the prepared context that sockets
// share.
//
// There is no STARTTLS in SNPP: TLS starts with the first byte, and the server's greeting comes
// inside it. A TLS socket reports itself connected only once the handshake has completed and the
// server's certificate has been verified, so nothing of the dialogue (the login least of all) is
// ever written in the clear or to a server that failed the check.
//
// Verification, unless `verify` is false:
//   trust    the system's CA store, or only the CAs of `ca_file` and/or `ca_path` when given;
//   name     the certificate must name the host connected to (DNS names for a host name, IP
//            address entries for an address); the host name also goes out as SNI;
//   version  TLS 1.2 or newer.

#include <memory>
#include <string>

namespace kestrel::platform {

struct TlsSettings {
  bool verify = true;     // false only when the user asked for it explicitly
  std::string ca_file;    // PEM file of trusted CA certificates
  std::string ca_path;    // directory of hashed CA certificates (openssl rehash)
  std::string cert_file;  // client certificate (PEM chain), when the gateway asks for one
  std::string key_file;   // its private key (PEM); empty: the key is in cert_file
};

// The OpenSSL context built from TlsSettings: trust store loaded, client certificate checked.
// Build it once and give it to every socket of a run; sockets keep it alive as long as they
// need it. Opaque here: only the platform's sources see OpenSSL.
class TlsContext;

// Builds the context. Raises RuntimeError (err::kTlsSettings) when a file cannot be used: a
// missing or unreadable CA file or directory, a certificate or key that cannot be read, or a
// key that does not belong to the certificate. The description names the file and what to do.
std::shared_ptr<const TlsContext> MakeTlsContext(const TlsSettings& settings);

// The settings a context was built from.
const TlsSettings& SettingsOf(const TlsContext& context);

}  // namespace kestrel::platform
