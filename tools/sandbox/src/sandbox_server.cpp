#include "kestrel/sandbox/sandbox_server.hpp"

#include <algorithm>
#include <array>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <map>
#include <optional>
#include <ostream>
#include <string_view>
#include <utility>

#include "command_framer.hpp"
#include "dialogue.hpp"
#include "kestrel/platform/asio_event_loop.hpp"

namespace kestrel::sandbox {

namespace {

using asio::ip::tcp;

// Replies to pipelined commands are collected up to about this size before they are written;
// the rest of the buffered commands wait for the write to finish. We read nothing while a write
// is out, so a client that sends without reading is held back by TCP, not by our memory.
constexpr std::size_t kWriteBatch = 16 * 1024;
// After the last reply (221, 421) we stop sending and drain what the client still sends for at
// most this long before closing. Closing with unread input would reset the connection, and the
// client could lose the reply.
constexpr std::chrono::milliseconds kLinger{2000};
// accept() failures such as running out of descriptors are retried after this pause.
constexpr std::chrono::milliseconds kAcceptRetry{100};

void CancelQuietly(asio::steady_timer& timer) noexcept {
  try {
    timer.cancel();
  } catch (...) {  // cancel() reports only failures of the OS timer queue; nothing to do then
  }
}

// Says 421 to a connection over the limit and closes it, without waiting: the line fits the
// empty send buffer of a new socket, and if it does not, the client learns it from the close.
void Refuse(tcp::socket socket) noexcept {
  static constexpr std::string_view kTooMany = "421 Too many sessions, try again later\r\n";
  asio::error_code ignored;
  socket.non_blocking(true, ignored);
  socket.write_some(asio::buffer(kTooMany), ignored);
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
}

}  // namespace

class Connection;

class SandboxServer::Impl : public std::enable_shared_from_this<Impl> {
 public:
  Impl(platform::EventLoop& loop, Options options);
  ~Impl() { Stop(); }

  void Accept();
  void Stop() noexcept;
  void Deliver(Page page);
  void Forget(std::uint64_t id) { connections_.erase(id); }

  std::shared_ptr<const Options> options_;
  std::shared_ptr<asio::ssl::context> tls_;  // set when connections speak TLS
  tcp::acceptor acceptor_;
  tcp::endpoint local_;  // kept for address() and port() after Stop()
  asio::steady_timer retry_timer_;
  std::map<std::uint64_t, std::shared_ptr<Connection>> connections_;
  std::uint64_t next_id_ = 0;
  // Sessions: connections accepted and not yet said goodbye to (a connection that has sent its
  // last reply is lingering, not in a session). Counted when the goodbye is queued, before the
  // client can see it, so a client that hangs up and reconnects at once is never counted twice.
  std::size_t sessions_ = 0;
  std::size_t max_sessions_ = 0;
  std::vector<Page> pages_;
  std::function<void(const Page&)> on_page_;
  bool stopped_ = false;
};

// One client. Owned by the server's connection map while it is open; every pending operation
// holds a shared_ptr too, so the buffers stay valid until Asio is done with them, and each
// completion first checks stopped_.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(SandboxServer::Impl& server, tcp::socket socket, std::uint64_t id)
      : server_(&server),
        options_(server.options_),
        tls_context_(server.tls_),
        greet_timer_(socket.get_executor()),
        reply_timer_(socket.get_executor()),
        idle_timer_(socket.get_executor()),
        command_timer_(socket.get_executor()),
        linger_timer_(socket.get_executor()),
        id_(id),
        dialogue_(*options_) {
    if (tls_context_) {
      // The session tickets TLS 1.3 sends after the handshake are a write of their own: with
      // Nagle on, the greeting behind them would wait for the client's delayed ACK (40 ms).
      asio::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      tls_.emplace(std::move(socket), *tls_context_);
    } else {
      socket_.emplace(std::move(socket));
    }
  }

  void Start();
  void Stop() noexcept;

 private:
  // Marks the session over (the goodbye is queued, or the connection is gone); once.
  void EndSession() noexcept;
  void SetClosing() {
    closing_ = true;
    EndSession();
  }

  void Greet();
  void Read();
  void OnRead(const asio::error_code& error, std::size_t size);
  void Pump();
  void Write(std::string bytes);
  void ArmIdleTimer();
  void OnIdle();
  void NoteLineStarted();
  void ArmCommandTimer();
  void OnCommandTimer();
  void Linger();
  void Finish();
  void Begin();
  void Goodbye();
  tcp::socket& socket() { return tls_ ? tls_->next_layer() : *socket_; }
  // Reads and writes go through TLS when it is on; the handlers are the same.
  template <typename Handler>
  void ReadSome(Handler handler) {
    if (tls_) {
      tls_->async_read_some(asio::buffer(input_), std::move(handler));
    } else {
      socket_->async_read_some(asio::buffer(input_), std::move(handler));
    }
  }
  template <typename Handler>
  void WriteAll(Handler handler) {
    if (tls_) {
      asio::async_write(*tls_, asio::buffer(output_), std::move(handler));
    } else {
      asio::async_write(*socket_, asio::buffer(output_), std::move(handler));
    }
  }

  SandboxServer::Impl* server_;  // null once stopped
  std::shared_ptr<const Options> options_;
  std::shared_ptr<asio::ssl::context> tls_context_;  // before tls_: its SSL refers to it
  std::optional<tcp::socket> socket_;                // plain
  std::optional<asio::ssl::stream<tcp::socket>> tls_;
  asio::steady_timer greet_timer_;
  asio::steady_timer reply_timer_;  // holds replies back for Options::reply_delay
  asio::steady_timer idle_timer_;
  asio::steady_timer command_timer_;
  asio::steady_timer linger_timer_;
  std::uint64_t id_;
  CommandFramer framer_;
  Dialogue dialogue_;
  std::array<char, 4096> input_{};
  std::string output_;                 // the bytes of the write in flight
  std::uint64_t idle_generation_ = 0;  // a timer completion for an older arming is stale
  // When the first byte of the line at the front of the framer arrived; unset while the framer
  // is empty. The command timer is armed once and, when it fires early, re-armed for the rest.
  std::optional<std::chrono::steady_clock::time_point> line_started_;
  bool command_timer_armed_ = false;
  bool reading_ = false;
  bool writing_ = false;
  bool closing_ = false;  // the last reply is queued or out; input is drained and dropped
  bool silent_ = false;   // never greets, never answers
  bool handshaking_ = false;
  bool closing_tls_ = false;  // close_notify is out
  bool stopped_ = false;
  bool in_session_ = false;
};

void Connection::EndSession() noexcept {
  if (!in_session_ || server_ == nullptr) return;
  in_session_ = false;
  --server_->sessions_;
}

void Connection::Start() {
  if (!tls_) {
    Begin();
    return;
  }
  // TLS first: nothing of SNPP is said before the handshake. The idle timer bounds it.
  handshaking_ = true;
  ArmIdleTimer();
  tls_->async_handshake(asio::ssl::stream_base::server,
                        [self = shared_from_this()](const asio::error_code& error) {
                          if (self->stopped_) return;
                          self->handshaking_ = false;
                          if (error) {
                            self->Finish();
                            return;
                          }
                          self->Begin();
                        });
}

void Connection::Begin() {
  if (id_ < options_->fail_first) {
    closing_ = true;  // turned away: never a session
    Write("421 Service unavailable, try later\r\n");
    return;
  }
  in_session_ = true;
  server_->max_sessions_ = std::max(server_->max_sessions_, ++server_->sessions_);
  if (!options_->greeting) {
    // Keep reading so a client that gives up is noticed, but never say a word.
    silent_ = true;
    ArmIdleTimer();
    Read();
  } else if (options_->greet_delay.count() > 0) {
    greet_timer_.expires_after(options_->greet_delay);
    greet_timer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
      if (self->stopped_ || error) return;
      self->Greet();
    });
  } else {
    Greet();
  }
}

void Connection::Stop() noexcept {
  if (stopped_) return;
  EndSession();
  stopped_ = true;
  server_ = nullptr;
  CancelQuietly(greet_timer_);
  CancelQuietly(reply_timer_);
  CancelQuietly(idle_timer_);
  CancelQuietly(command_timer_);
  CancelQuietly(linger_timer_);
  asio::error_code ignored;
  socket().close(ignored);
}

void Connection::Greet() {
  ArmIdleTimer();
  Write("220 SNPP Sandbox Ready\r\n");
}

void Connection::Read() {
  reading_ = true;
  ReadSome([self = shared_from_this()](const asio::error_code& error, std::size_t size) {
    if (self->stopped_) return;
    self->OnRead(error, size);
  });
}

void Connection::OnRead(const asio::error_code& error, std::size_t size) {
  reading_ = false;
  if (error == asio::error::eof && tls_) {
    Goodbye();  // the client said close_notify: answer it
    return;
  }
  if (error) {  // end of input or a broken connection: either way there is no one to answer
    Finish();
    return;
  }
  if (closing_) {
    Read();
    return;
  }
  ArmIdleTimer();
  if (silent_) {
    Read();
    return;
  }
  framer_.Append(std::string_view(input_.data(), size));
  if (!line_started_) NoteLineStarted();
  Pump();
}

void Connection::NoteLineStarted() {
  if (!framer_.HasPending()) {
    line_started_.reset();
    return;
  }
  line_started_ = std::chrono::steady_clock::now();
  if (!command_timer_armed_) ArmCommandTimer();
}

void Connection::ArmCommandTimer() {
  if (options_->command_timeout.count() <= 0 || !line_started_) return;
  command_timer_armed_ = true;
  command_timer_.expires_at(*line_started_ + options_->command_timeout);
  command_timer_.async_wait([self = shared_from_this()](const asio::error_code&) {
    if (self->stopped_) return;
    self->command_timer_armed_ = false;
    self->OnCommandTimer();
  });
}

void Connection::OnCommandTimer() {
  if (!line_started_ || closing_) return;
  if (std::chrono::steady_clock::now() < *line_started_ + options_->command_timeout) {
    ArmCommandTimer();  // the line it was armed for is done; this one has time left
    return;
  }
  // A client that sends a byte now and then never lets the idle timer fire, but it may not
  // hold the session with one endless command either.
  if (writing_) {
    Finish();
    return;
  }
  closing_ = true;
  Write("421 Timeout, command not completed in time, Goodbye\r\n");
}

// Answers the complete lines buffered so far, in order, then writes; reads again only when no
// complete line is left and nothing is being written.
void Connection::Pump() {
  if (writing_) return;
  std::string replies;
  std::string line;
  while (!closing_ && replies.size() < kWriteBatch) {
    const auto result = framer_.Next(line);
    if (result == CommandFramer::Result::kNeedMore) break;
    if (result == CommandFramer::Result::kTooLong) {
      replies += "421 Line too long, Goodbye\r\n";
      SetClosing();
      break;
    }
    NoteLineStarted();  // the next line, if any of it is here, starts its time now
    auto step = dialogue_.Handle(line);
    replies += step.reply;
    if (step.close) SetClosing();
    if (step.page) {
      server_->Deliver(std::move(*step.page));
      if (stopped_) return;  // the page callback stopped or destroyed the server
      if (options_->drop_after_send) {
        Finish();  // the page is in; its reply never leaves
        return;
      }
    }
  }
  if (!replies.empty() && options_->reply_delay.count() > 0) {
    // Held back on a timer, so that other connections go on meanwhile. writing_ keeps Pump
    // from answering more until these are out.
    writing_ = true;
    reply_timer_.expires_after(options_->reply_delay);
    reply_timer_.async_wait([self = shared_from_this(),
                             replies = std::move(replies)](const asio::error_code& error) mutable {
      if (self->stopped_ || error) return;
      self->Write(std::move(replies));
    });
  } else if (!replies.empty()) {
    Write(std::move(replies));
  } else if (closing_) {
    Linger();
  } else if (!reading_) {
    Read();
  }
}

void Connection::Write(std::string bytes) {
  output_ = std::move(bytes);
  writing_ = true;
  WriteAll([self = shared_from_this()](const asio::error_code& error, std::size_t) {
    if (self->stopped_) return;
    self->writing_ = false;
    if (error) {
      self->Finish();
      return;
    }
    self->Pump();
  });
}

void Connection::ArmIdleTimer() {
  if (options_->idle_timeout.count() <= 0) return;
  const auto generation = ++idle_generation_;
  idle_timer_.expires_after(options_->idle_timeout);
  idle_timer_.async_wait([self = shared_from_this(), generation](const asio::error_code&) {
    // A completion for an earlier arming may already be queued when the timer is moved on.
    if (self->stopped_ || generation != self->idle_generation_) return;
    self->OnIdle();
  });
}

void Connection::OnIdle() {
  if (closing_) return;  // already saying goodbye; the linger timer ends it
  if (silent_ || writing_ || handshaking_) {
    // Nothing may be said, or the client has not even taken the last reply: just hang up.
    Finish();
    return;
  }
  SetClosing();
  Write("421 Timeout, Goodbye\r\n");
}

void Connection::Linger() {
  if (tls_) {
    Goodbye();
    return;
  }
  asio::error_code ignored;
  socket().shutdown(tcp::socket::shutdown_send, ignored);
  linger_timer_.expires_after(kLinger);
  linger_timer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
    if (self->stopped_ || error) return;
    self->Finish();
  });
  if (!reading_) Read();  // its end of input finishes the connection early
}

// TLS's end: close_notify, then wait (at most kLinger) for the client's.
void Connection::Goodbye() {
  if (closing_tls_) return;
  closing_tls_ = true;
  linger_timer_.expires_after(kLinger);
  linger_timer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
    if (self->stopped_ || error) return;
    self->Finish();
  });
  tls_->async_shutdown([self = shared_from_this()](const asio::error_code&) {
    if (self->stopped_) return;
    self->Finish();
  });
}

void Connection::Finish() {
  auto* server = server_;
  Stop();
  // The completion handler that called us holds a shared_ptr, so erasing ours is safe.
  if (server != nullptr) server->Forget(id_);
}

SandboxServer::Impl::Impl(platform::EventLoop& loop, Options options)
    : options_(std::make_shared<const Options>(std::move(options))),
      acceptor_(platform::AsioContext(loop)),
      retry_timer_(platform::AsioContext(loop)) {
  if (!options_->tls_cert.empty()) {
    tls_ = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    tls_->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                      asio::ssl::context::no_sslv3);
    tls_->use_certificate_chain_file(options_->tls_cert);
    tls_->use_private_key_file(options_->tls_key.empty() ? options_->tls_cert : options_->tls_key,
                               asio::ssl::context::pem);
  }
  const tcp::endpoint endpoint(asio::ip::make_address(options_->listen_address), options_->port);
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen();
  local_ = acceptor_.local_endpoint();
}

void SandboxServer::Impl::Accept() {
  acceptor_.async_accept(
      [self = shared_from_this()](const asio::error_code& error, tcp::socket socket) {
        if (self->stopped_) return;
        if (error) {
          self->retry_timer_.expires_after(kAcceptRetry);
          self->retry_timer_.async_wait([self](const asio::error_code& timer_error) {
            if (self->stopped_ || timer_error) return;
            self->Accept();
          });
          return;
        }
        if (self->connections_.size() >= self->options_->max_sessions) {
          Refuse(std::move(socket));
          self->Accept();
          return;
        }
        const auto id = self->next_id_++;
        auto connection = std::make_shared<Connection>(*self, std::move(socket), id);
        self->connections_.emplace(id, connection);
        connection->Start();
        self->Accept();
      });
}

void SandboxServer::Impl::Stop() noexcept {
  if (stopped_) return;
  stopped_ = true;
  asio::error_code ignored;
  acceptor_.close(ignored);
  CancelQuietly(retry_timer_);
  const auto connections = std::exchange(connections_, {});
  for (const auto& [id, connection] : connections) connection->Stop();
}

void SandboxServer::Impl::Deliver(Page page) {
  const auto keep_alive = shared_from_this();  // the callback may destroy the SandboxServer
  std::optional<Page> passing;                 // the page when it is not kept
  const Page& kept = options_->keep_pages ? pages_.emplace_back(std::move(page))
                                          : passing.emplace(std::move(page));
  if (options_->page_log != nullptr) {
    *options_->page_log << PageToJson(kept) << '\n';
    options_->page_log->flush();
  }
  if (on_page_) {
    const auto callback = on_page_;  // it may replace itself
    callback(kept);
  }
}

SandboxServer::SandboxServer(platform::EventLoop& loop, Options options)
    : impl_(std::make_shared<Impl>(loop, std::move(options))) {
  impl_->Accept();
}

SandboxServer::~SandboxServer() {
  Stop();
}

void SandboxServer::Stop() noexcept {
  impl_->Stop();
}

std::string SandboxServer::address() const {
  return impl_->local_.address().to_string();
}

std::uint16_t SandboxServer::port() const {
  return impl_->local_.port();
}

std::size_t SandboxServer::connection_count() const {
  return impl_->connections_.size();
}

std::size_t SandboxServer::max_session_count() const {
  return impl_->max_sessions_;
}

const std::vector<Page>& SandboxServer::pages() const {
  return impl_->pages_;
}

void SandboxServer::OnPage(std::function<void(const Page&)> callback) {
  impl_->on_page_ = std::move(callback);
}

}  // namespace kestrel::sandbox
