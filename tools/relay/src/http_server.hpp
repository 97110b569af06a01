#pragma once
// The HTTP/1.1 server under the relay's API: Asio on the relay's event loop, requests parsed by
// http_parser. It is small on purpose and does three things a general framework here did not:
//
//   - it shows each request to the API once its headers are in, before any of its body is read,
//     so a request without a valid token, or too large, is answered at once, its connection
//     closed, and its body never held in memory;
//   - it keeps accepting after accept() fails for want of file descriptors (EMFILE, ENFILE):
//     the accept is tried again after a pause that doubles up to a second;
//   - it caps open connections (Limits::max_connections): one more is closed at once.
//     Either limit logs one line when it starts to bite and one when it stops.
//
//   accept ──▶ Connection ──▶ read ──▶ http_parser ──▶ headers in ──▶ on_headers: an answer?
//                ▲                                                      │ yes: written, then
//                │ keep-alive: the next request                         │ close (input drained)
//                │                                                      ▼ no
//   write ◀── Responder::Send ◀── on_request ◀── body (at most max_body, else 413 and close)
//
// One request at a time per connection: the bytes of a pipelined next request wait in the
// buffer until the answer to the one before is written. A connection has max_wait for a whole
// request to arrive (counted from the end of the one before; an idle connection is then
// closed), and the handler handle_wait to answer it (then 503 and close).
//
// Threading: the event loop's thread only. Handlers are called from the loop, never from inside
// Open() or Close(); a Responder may answer later, once, and does nothing once its connection
// has gone.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel::platform {
class EventLoop;
}

namespace kestrel::relay::http {

struct Request {
  std::string method;  // "GET", "HEAD", "POST", ...
  std::string path;    // the request target up to any '?'
  std::string query;   // what follows the '?' (still percent-encoded), without any '#...'
  std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
  std::string body;

  // The first header of that name (any case), or none.
  std::optional<std::string_view> Header(std::string_view name) const;
};

struct Response {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;  // more headers
};

// Answers one request, once. Copyable; the copies share the one answer.
class Responder {
 public:
  explicit Responder(std::function<void(Response)> send) : send_(std::move(send)) {}
  void Send(Response response) const;

 private:
  std::function<void(Response)> send_;
};

struct Limits {
  std::size_t max_connections = 512;
  std::size_t max_body = 1 << 20;
  std::chrono::milliseconds max_wait{60'000};     // for a whole request, from its first byte
  std::chrono::milliseconds handle_wait{30'000};  // for the handler's answer
};

struct Handlers {
  // The request's headers are in (its body is empty yet): an answer to give at once, after
  // which the connection closes, or none to read the body and go on.
  std::function<std::optional<Response>(const Request&)> on_headers;
  // The whole request.
  std::function<void(Request, Responder)> on_request;
  // The answer the server gives on its own (a request that is not valid HTTP, too large, too
  // slow to arrive or to be answered, over max_connections), in the API's words.
  std::function<Response(int status, std::string message)> on_refusal;
};

class Server {
 public:
  Server(platform::EventLoop& loop, Limits limits, Handlers handlers,
         std::function<void(const std::string&)> log);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds, listens and starts accepting; throws std::system_error when the address cannot be had.
  void Open(const std::string& host, std::uint16_t port);
  // Stops accepting. Connections waiting for a request are closed; requests under way are still
  // answered, and their connections closed after the answer.
  void Close();
  std::uint16_t port() const;
  std::size_t open_connections() const;

  class Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace kestrel::relay::http
