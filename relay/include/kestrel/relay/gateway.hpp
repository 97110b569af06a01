#pragma once
// One paging gateway as the relay is configured to use it ([[gateway]] in the configuration).

#include <cstdint>
#include <memory>
#include <string>

#include "kestrel/platform/tls.hpp"

namespace kestrel::relay {

using Millis = std::int64_t;

struct GatewayConfig {
  std::string name;
  std::string host;
  std::uint16_t port = 444;
  int level = 1;
  std::string login;
  std::string password;  // from password_file; never logged
  int concurrency = 4;
  // Recipients of one page in one session at most (several PAGE, one SEND); 1: one each.
  int batch = 1;
  bool tls = false;
  std::string ca_file;  // empty: the system's CA store
  bool tls_insecure = false;
  // Built from the three above when tls is on, so that a CA file that cannot be used is a
  // configuration problem rather than a failure of every attempt.
  std::shared_ptr<const platform::TlsContext> tls_context;

  // The same gateway reached the same way with the same credentials.
  bool operator==(const GatewayConfig& other) const {
    return name == other.name && host == other.host && port == other.port && level == other.level &&
           login == other.login && password == other.password && concurrency == other.concurrency &&
           batch == other.batch && tls == other.tls && ca_file == other.ca_file &&
           tls_insecure == other.tls_insecure;
  }
};

}  // namespace kestrel::relay
