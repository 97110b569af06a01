// The HTTP/1.1 server under the relay's API: accepting, connections, parsing and answers.

#include "http_server.hpp"

#include <http_parser.h>
#include <strings.h>

#include <algorithm>
#include <array>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <climits>
#include <map>

#include "kestrel/platform/asio_event_loop.hpp"

namespace kestrel::relay::http {

namespace {

using asio::ip::tcp;

constexpr std::size_t kMaxTarget = 8 * 1024;
constexpr std::size_t kMaxHeaderBytes = 32 * 1024;  // names and values together
constexpr std::size_t kMaxHeaders = 100;
// After an answer that ends the connection we stop sending and drop what the client still sends
// for at most this long before closing: closing with unread input resets the connection, and
// the client could lose the answer before reading it.
constexpr std::chrono::milliseconds kLinger{2000};
// accept() that fails for want of descriptors is tried again after a pause that doubles from
// the first to the longest.
constexpr std::chrono::milliseconds kFirstAcceptPause{50};
constexpr std::chrono::milliseconds kLongestAcceptPause{1000};

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 202:
      return "Accepted";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 409:
      return "Conflict";
    case 408:
      return "Request Timeout";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Unknown";
  }
}

bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string Serialize(const Response& response, bool head, bool close) {
  std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " + Reason(response.status) +
                     "\r\nContent-Type: " + response.content_type +
                     "\r\nContent-Length: " + std::to_string(response.body.size()) + "\r\n";
  for (const auto& [name, value] : response.headers) text += name + ": " + value + "\r\n";
  if (close) text += "Connection: close\r\n";
  text += "\r\n";
  if (!head) text += response.body;
  return text;
}

void CancelQuietly(asio::steady_timer& timer) noexcept {
  try {
    timer.cancel();
  } catch (...) {  // cancel() reports only failures of the OS timer queue; nothing to do then
  }
}

bool OutOfDescriptors(const asio::error_code& error) {
  if (error.category() != asio::system_category()) return false;
  const int code = error.value();
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

}  // namespace

std::optional<std::string_view> Request::Header(std::string_view name) const {
  for (const auto& [field, value] : headers) {
    if (SameNoCase(field, name)) return std::string_view(value);
  }
  return std::nullopt;
}

void Responder::Send(Response response) const {
  if (send_) send_(std::move(response));
}

class Connection;

class Server::Impl : public std::enable_shared_from_this<Impl> {
 public:
  Impl(platform::EventLoop& loop, Limits limits, Handlers handlers,
       std::function<void(const std::string&)> log)
      : limits_(limits),
        handlers_(std::move(handlers)),
        log_(std::move(log)),
        acceptor_(platform::AsioContext(loop)),
        retry_timer_(platform::AsioContext(loop)) {}
  ~Impl() { Stop(); }

  void Open(const std::string& host, std::uint16_t port) {
    // An address, or a name such as localhost: its first address.
    tcp::resolver resolver(acceptor_.get_executor());
    const tcp::endpoint endpoint =
        resolver.resolve(host, std::to_string(port), tcp::resolver::passive).begin()->endpoint();
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    port_ = acceptor_.local_endpoint().port();
    Accept();
  }

  void Accept();
  void Close();
  void Stop() noexcept;
  void Forget(Connection* connection) { connections_.erase(connection); }

  Response Refusal(int status, std::string message) const {
    return handlers_.on_refusal(status, std::move(message));
  }

  const Limits limits_;
  const Handlers handlers_;
  const std::function<void(const std::string&)> log_;
  tcp::acceptor acceptor_;
  asio::steady_timer retry_timer_;
  std::map<Connection*, std::shared_ptr<Connection>> connections_;
  std::chrono::milliseconds accept_pause_{0};
  bool out_of_descriptors_ = false;  // accept() failing for want of descriptors, logged once
  bool at_cap_ = false;              // max_connections reached, logged once
  std::uint64_t closed_at_cap_ = 0;
  bool closed_ = false;
  bool stopped_ = false;
  std::uint16_t port_ = 0;
};

// One client. Owned by the server's map while open; every pending operation holds a shared_ptr
// too, so buffers outlive Asio's use of them, and each completion first checks stopped_.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server::Impl& server, tcp::socket socket)
      : server_(&server), socket_(std::move(socket)), timer_(socket_.get_executor()) {
    asio::error_code ignored;
    socket_.set_option(tcp::no_delay(true), ignored);
    ::http_parser_init(&parser_, HTTP_REQUEST);
    parser_.data = this;
  }

  void Start() {
    Arm(server_->limits_.max_wait);
    Read();
  }

  // Stops at once: no callback, no more writes.
  void Stop() noexcept {
    if (stopped_) return;
    stopped_ = true;
    asio::error_code ignored;
    CancelQuietly(timer_);
    socket_.close(ignored);
  }

  // The server stops accepting: a connection between requests closes now, one under way
  // closes after its answer.
  void OnServerClosed() {
    if (state_ == State::kReading && !started_ && unparsed_.empty()) Finish();
  }

  void Detach() noexcept { server_ = nullptr; }

 private:
  enum class State {
    kReading,    // waiting for a request, or reading one
    kHandling,   // the request is with the handler
    kAnswering,  // the answer is being written
    kLingering,  // answered for the last time: dropping input until the client closes
  };

  // The parser is C: nothing may be thrown through it. A callback that fails stops the parser
  // with an error, which Feed() answers with 400.
  template <typename Fn>
  static int Guarded(http_parser* parser, Fn&& fn) noexcept {
    try {
      return fn(*static_cast<Connection*>(parser->data));
    } catch (...) {
      return -1;
    }
  }

  static const http_parser_settings& Settings() {
    static const http_parser_settings settings = [] {
      http_parser_settings s;
      ::http_parser_settings_init(&s);
      s.on_message_begin = [](http_parser* p) {
        return Guarded(p, [](Connection& c) { return c.OnMessageBegin(); });
      };
      s.on_url = [](http_parser* p, const char* at, std::size_t n) {
        return Guarded(p, [&](Connection& c) { return c.OnUrl(at, n); });
      };
      s.on_header_field = [](http_parser* p, const char* at, std::size_t n) {
        return Guarded(p, [&](Connection& c) { return c.OnHeader(at, n, false); });
      };
      s.on_header_value = [](http_parser* p, const char* at, std::size_t n) {
        return Guarded(p, [&](Connection& c) { return c.OnHeader(at, n, true); });
      };
      s.on_headers_complete = [](http_parser* p) {
        return Guarded(p, [](Connection& c) { return c.OnHeadersComplete(); });
      };
      s.on_body = [](http_parser* p, const char* at, std::size_t n) {
        return Guarded(p, [&](Connection& c) { return c.OnBody(at, n); });
      };
      s.on_message_complete = [](http_parser* p) {
        return Guarded(p, [](Connection& c) { return c.OnMessageComplete(); });
      };
      return s;
    }();
    return settings;
  }

  // Parser callbacks: each returns 0; one that has to stop the parser pauses it, and Feed()
  // sees why from early_ or message_complete_.
  int Early(int status, std::string message) {
    early_ = server_->Refusal(status, std::move(message));
    ::http_parser_pause(&parser_, 1);
    return 0;
  }

  int OnMessageBegin() {
    started_ = true;
    return 0;
  }

  int OnUrl(const char* at, std::size_t size) {
    target_.append(at, size);
    if (target_.size() > kMaxTarget) {
      return Early(414,
                   "the request target is longer than " + std::to_string(kMaxTarget) + " bytes");
    }
    return 0;
  }

  int OnHeader(const char* at, std::size_t size, bool value) {
    header_bytes_ += size;
    if (!value && in_value_) {
      request_.headers.emplace_back(std::move(field_), std::move(value_));
      field_.clear();
      value_.clear();
    }
    in_value_ = value;
    (value ? value_ : field_).append(at, size);
    if (header_bytes_ > kMaxHeaderBytes || request_.headers.size() >= kMaxHeaders) {
      return Early(431, "the request's headers are larger than " + std::to_string(kMaxHeaderBytes) +
                            " bytes or more than " + std::to_string(kMaxHeaders));
    }
    return 0;
  }

  int OnHeadersComplete() {
    if (in_value_) request_.headers.emplace_back(std::move(field_), std::move(value_));
    field_.clear();
    value_.clear();
    in_value_ = false;
    request_.method = ::http_method_str(static_cast<http_method>(parser_.method));
    const auto question = target_.find('?');
    request_.path = target_.substr(0, question);
    if (question != std::string::npos) {
      request_.query = target_.substr(question + 1, target_.find('#', question) - question - 1);
    }
    head_ = parser_.method == HTTP_HEAD;
    if (parser_.upgrade) return Early(400, "this server does not switch protocols");
    if (auto answer = server_->handlers_.on_headers(request_)) {
      early_ = std::move(*answer);
      ::http_parser_pause(&parser_, 1);
      return 0;
    }
    const std::uint64_t max_body = server_->limits_.max_body;
    if (parser_.content_length != ULLONG_MAX && parser_.content_length > max_body) {
      return Early(413, "the body is larger than " + std::to_string(max_body >> 20) + " MiB");
    }
    const auto expect = request_.Header("Expect");
    if (expect && SameNoCase(*expect, "100-continue") && parser_.http_minor >= 1) {
      Write("HTTP/1.1 100 Continue\r\n\r\n");
    }
    return 0;
  }

  int OnBody(const char* at, std::size_t size) {
    const std::size_t max_body = server_->limits_.max_body;
    if (request_.body.size() + size > max_body) {
      return Early(413, "the body is larger than " + std::to_string(max_body >> 20) + " MiB");
    }
    request_.body.append(at, size);
    return 0;
  }

  int OnMessageComplete() {
    message_complete_ = true;
    keep_alive_ = ::http_should_keep_alive(&parser_) != 0;
    ::http_parser_pause(&parser_, 1);
    return 0;
  }

  void Arm(std::chrono::milliseconds wait) {
    timer_.expires_after(wait);
    timer_.async_wait([self = shared_from_this(),
                       generation = ++timer_generation_](const asio::error_code& error) {
      if (error || self->stopped_ || generation != self->timer_generation_) return;
      self->OnTimer();
    });
  }

  void OnTimer() {
    switch (state_) {
      case State::kReading:
        if (!started_) return Finish();  // idle between requests
        return Answer(server_->Refusal(408, "the request did not arrive in full in time"), true);
      case State::kHandling:
        return Answer(
            server_->Refusal(503, "the relay did not answer in time; try the request again"), true);
      case State::kAnswering:  // the client does not read its answer
      case State::kLingering:
        return Finish();
    }
  }

  void Read() {
    socket_.async_read_some(
        asio::buffer(input_),
        [self = shared_from_this()](const asio::error_code& error, std::size_t size) {
          if (self->stopped_) return;
          if (error) return self->Finish();
          if (self->state_ == State::kLingering) return self->Read();
          self->Feed(self->input_.data(), size);
        });
  }

  void Feed(const char* data, std::size_t size) {
    const std::size_t parsed = ::http_parser_execute(&parser_, &Settings(), data, size);
    const auto error = static_cast<http_errno>(parser_.http_errno);
    if (early_) {
      Response answer = std::move(*early_);
      early_.reset();
      return Answer(std::move(answer), true);
    }
    if (error == HPE_PAUSED && message_complete_) {
      unparsed_.assign(data + parsed, size - parsed);
      return Handle();
    }
    if (error != HPE_OK) {
      return Answer(server_->Refusal(400, std::string("the request is not valid HTTP (") +
                                              ::http_errno_description(error) + ")"),
                    true);
    }
    Read();
  }

  void Handle() {
    state_ = State::kHandling;
    Arm(server_->limits_.handle_wait);
    Request request = std::move(request_);
    const std::weak_ptr<Connection> weak = weak_from_this();
    const std::uint64_t generation = ++request_generation_;
    server_->handlers_.on_request(
        std::move(request), Responder([weak, generation](Response response) {
          const auto self = weak.lock();
          if (!self || self->stopped_ || self->state_ != State::kHandling ||
              self->request_generation_ != generation || !self->server_) {
            return;
          }
          self->Answer(std::move(response), !self->keep_alive_ || self->server_->closed_);
        }));
  }

  void Answer(Response response, bool close) {
    state_ = State::kAnswering;
    close_after_ = close;
    Arm(server_ ? server_->limits_.max_wait : kLinger);
    Write(Serialize(response, head_, close));
  }

  void Write(std::string text) {
    output_ += text;
    if (!writing_) StartWrite();
  }

  void StartWrite() {
    writing_ = true;
    auto buffer = std::make_shared<std::string>(std::move(output_));
    output_.clear();
    asio::async_write(
        socket_, asio::buffer(*buffer),
        [self = shared_from_this(), buffer](const asio::error_code& error, std::size_t) {
          self->writing_ = false;
          if (self->stopped_) return;
          if (error) return self->Finish();
          if (!self->output_.empty()) return self->StartWrite();
          if (self->state_ == State::kAnswering) self->Answered();
        });
  }

  void Answered() {
    if (close_after_) return Linger();
    // The next request on this connection, maybe already read in part.
    state_ = State::kReading;
    request_ = Request();
    target_.clear();
    header_bytes_ = 0;
    started_ = message_complete_ = head_ = false;
    ::http_parser_pause(&parser_, 0);
    Arm(server_->limits_.max_wait);
    if (unparsed_.empty()) return Read();
    const std::string rest = std::move(unparsed_);
    unparsed_.clear();
    Feed(rest.data(), rest.size());
  }

  void Linger() {
    state_ = State::kLingering;
    asio::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    Arm(kLinger);
    Read();
  }

  void Finish() {
    Stop();
    // The completion that called us holds a shared_ptr, so being erased here is safe.
    if (server_) server_->Forget(this);
  }

  Server::Impl* server_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  http_parser parser_{};
  std::array<char, 16 * 1024> input_{};
  std::string unparsed_;  // read beyond the request being handled: the next one's start
  Request request_;
  std::string target_;
  std::string field_;
  std::string value_;
  bool in_value_ = false;
  std::size_t header_bytes_ = 0;
  std::optional<Response> early_;  // set by a callback: answer now, then close
  bool started_ = false;           // a byte of the current request has come
  bool message_complete_ = false;
  bool keep_alive_ = false;
  bool head_ = false;
  bool close_after_ = false;
  std::string output_;
  bool writing_ = false;
  State state_ = State::kReading;
  std::uint64_t timer_generation_ = 0;
  std::uint64_t request_generation_ = 0;
  bool stopped_ = false;
};

void Server::Impl::Accept() {
  acceptor_.async_accept([self = shared_from_this()](const asio::error_code& error,
                                                     tcp::socket socket) {
    if (self->stopped_ || self->closed_ || error == asio::error::operation_aborted) return;
    if (error) {
      // The connection stays in the listen queue; it is taken once a descriptor is free.
      if (OutOfDescriptors(error)) {
        if (!self->out_of_descriptors_) {
          self->out_of_descriptors_ = true;
          self->log_("cannot accept HTTP connections (" + error.message() + ") with " +
                     std::to_string(self->connections_.size()) +
                     " open; trying again until descriptors are free. Raise the open-file limit "
                     "(LimitNOFILE) or lower max_connections");
        }
        self->accept_pause_ =
            std::clamp(self->accept_pause_ * 2, kFirstAcceptPause, kLongestAcceptPause);
      } else {
        self->accept_pause_ = kFirstAcceptPause;
      }
      self->retry_timer_.expires_after(self->accept_pause_);
      self->retry_timer_.async_wait([self](const asio::error_code& timer_error) {
        if (!timer_error && !self->stopped_ && !self->closed_) self->Accept();
      });
      return;
    }
    self->accept_pause_ = std::chrono::milliseconds(0);
    if (self->out_of_descriptors_) {
      self->out_of_descriptors_ = false;
      self->log_("accepting HTTP connections again: descriptors are free");
    }
    if (self->connections_.size() >= self->limits_.max_connections) {
      if (!self->at_cap_) {
        self->at_cap_ = true;
        self->log_(std::to_string(self->connections_.size()) +
                   " HTTP connections are open, as many as max_connections: new ones are "
                   "closed at once until some close");
      }
      ++self->closed_at_cap_;
      // A short answer fits the empty send buffer of a new socket; it is not waited for.
      const std::string refusal =
          Serialize(self->Refusal(503,
                                  "the relay has as many connections open as it takes; try again "
                                  "shortly"),
                    false, true);
      asio::error_code ignored;
      socket.non_blocking(true, ignored);
      socket.write_some(asio::buffer(refusal), ignored);
      socket.close(ignored);
    } else {
      if (self->at_cap_) {
        self->at_cap_ = false;
        self->log_("below max_connections again; " + std::to_string(self->closed_at_cap_) +
                   " connection(s) were closed at the limit");
        self->closed_at_cap_ = 0;
      }
      auto connection = std::make_shared<Connection>(*self, std::move(socket));
      self->connections_.emplace(connection.get(), connection);
      connection->Start();
    }
    self->Accept();
  });
}

void Server::Impl::Close() {
  if (closed_) return;
  closed_ = true;
  asio::error_code ignored;
  acceptor_.close(ignored);
  CancelQuietly(retry_timer_);
  std::vector<std::shared_ptr<Connection>> open;
  for (const auto& [key, connection] : connections_) open.push_back(connection);
  for (const auto& connection : open) connection->OnServerClosed();
}

void Server::Impl::Stop() noexcept {
  if (stopped_) return;
  stopped_ = true;
  asio::error_code ignored;
  acceptor_.close(ignored);
  CancelQuietly(retry_timer_);
  for (const auto& [key, connection] : connections_) {
    connection->Detach();
    connection->Stop();
  }
  connections_.clear();
}

Server::Server(platform::EventLoop& loop, Limits limits, Handlers handlers,
               std::function<void(const std::string&)> log)
    : impl_(std::make_shared<Impl>(loop, limits, std::move(handlers), std::move(log))) {}
Server::~Server() {
  impl_->Stop();
}
void Server::Open(const std::string& host, std::uint16_t port) {
  impl_->Open(host, port);
}
void Server::Close() {
  impl_->Close();
}
std::uint16_t Server::port() const {
  return impl_->port_;
}
std::size_t Server::open_connections() const {
  return impl_->connections_.size();
}

}  // namespace kestrel::relay::http
