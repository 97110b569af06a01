#pragma once
// The relay's HTTP API, run on the relay's own event loop (the one the SNPP sessions use) by the
// server in http_server.hpp. A request's token is checked from its headers, before its body is
// read. Accepted pages are gathered for one turn of the loop and committed together; each
// request is answered once its page is on disk.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kestrel/outbox/store.hpp"
#include "kestrel/relay/config.hpp"
#include "kestrel/relay/dispatcher.hpp"
#include "kestrel/relay/metrics.hpp"

namespace kestrel::platform {
class EventLoop;
}

namespace kestrel::relay {

using LogFn = std::function<void(const std::string&)>;

struct ApiContext {
  outbox::Store& outbox;
  Dispatcher& dispatcher;
  Metrics& metrics;
  LogFn log;
  // The configuration in force; a reload replaces it between requests.
  std::function<const RelayConfig&()> config;
  std::function<std::size_t()> sessions_open;
  // Whether the outbox can commit now and knows its schema (for /readyz); answers later.
  std::function<void(outbox::Callback<outbox::Readiness>)> readiness;
  // The bytes at which the outbox can take no more, given its size now; 0 when not known.
  std::function<std::int64_t(std::int64_t bytes)> outbox_limit;
};

inline constexpr std::size_t kMaxBody = 1 << 20;  // 1 MiB: larger bodies get 413

class HttpApi {
 public:
  HttpApi(platform::EventLoop& loop, ApiContext context);
  ~HttpApi();
  HttpApi(const HttpApi&) = delete;
  HttpApi& operator=(const HttpApi&) = delete;

  // Binds and starts accepting, with at most `max_connections` open at once; throws
  // std::system_error when the address cannot be had.
  void Open(const std::string& host, std::uint16_t port, std::size_t max_connections);
  // Stops accepting new connections; requests under way are still answered.
  void Close();
  // The port bound (useful when 0 was asked for).
  std::uint16_t port() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrel::relay
