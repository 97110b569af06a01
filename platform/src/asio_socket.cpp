// The TCP client socket on Asio.
//
// Threading: everything runs on the thread that runs the EventLoop. Operations are started by the
// calls of the Socket interface and complete later, when the loop runs; a completion first checks
// that its connection is still wanted (Close, a new Connect and the destructor all let go of it)
// and does nothing otherwise. So a notification never comes from inside the call that started the
// operation, and none comes after Close or destruction.
//
//   Connect ──▶ kResolvingHost ──resolved──▶ kConnecting ──connected──▶ kConnected ──read──▶ ...
//                      │                           │                         │
//                 bad host name              refused, unreachable      peer closed: kClosing
//                      └──────────────▶ kError ◀───┘                 read/write error: kError
//   each of these ends raises OnClosed once; Close() from any state goes to kClosed quietly.

#include <algorithm>
#include <array>
#include <cstddef>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include <asio/connect.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include "kestrel/platform/asio_event_loop.hpp"
#include "kestrel/platform/error.hpp"

namespace kestrel::platform {
namespace {

using asio::ip::tcp;

// One connection attempt and what belongs to it alone. Completion handlers hold it, so the Asio
// objects and the read buffer outlive the AsioSocket while cancelled operations drain.
struct Link {
  explicit Link(asio::io_context& io) : resolver(io), socket(io) {}

  tcp::resolver resolver;
  tcp::socket socket;
  std::array<char, 4096> buffer{};
  std::deque<std::string> outbox;  // front() is being written
  bool wanted = true;              // false once the AsioSocket has let go of this connection
};

std::string Where(const String& host, Long port) {
  return host + " port " + std::to_string(port);
}

class AsioSocket final : public Socket {
 public:
  explicit AsioSocket(EventLoop& loop) : io_(AsioContext(loop)) {}

  ~AsioSocket() override { Release(); }

  void Connect(const String& host, Long port) override {
    if (state_ != SocketState::kClosed) {
      throw RuntimeError(err::kSocketNotClosed, "The socket is still open (state " +
                                                    std::to_string(static_cast<int>(state_)) +
                                                    "); close it before connecting again.");
    }
    if (port < 1 || port > 65535) {
      throw RuntimeError(err::kSocketBadPort, "The port " + std::to_string(port) +
                                                  " is not a TCP port; use a number from 1 "
                                                  "to 65535.");
    }
    if (host.empty()) {
      throw RuntimeError(err::kSocketBadHost,
                         "No host name or address was given; set the server to connect to.");
    }
    host_ = host;
    port_ = port;
    inbox_.clear();
    link_ = std::make_shared<Link>(io_);
    const auto link = link_;

    // A literal address needs no lookup, and so no resolver thread.
    std::error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (!ec) {
      state_ = SocketState::kConnecting;
      const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
      link->socket.async_connect(endpoint, [this, link](const std::error_code& error) {
        if (link->wanted) Connected(link, error);
      });
      return;
    }
    state_ = SocketState::kResolvingHost;
    link->resolver.async_resolve(
        host, std::to_string(port), tcp::resolver::numeric_service,
        [this, link](const std::error_code& error, const tcp::resolver::results_type& results) {
          if (link->wanted) Resolved(link, error, results);
        });
  }

  void SendData(std::string_view text) override {
    if (state_ != SocketState::kConnected) {
      throw RuntimeError(err::kSocketNotConnected, "The socket is not connected (state " +
                                                       std::to_string(static_cast<int>(state_)) +
                                                       "); connect before sending.");
    }
    if (text.empty()) return;  // nothing to put on the wire
    link_->outbox.emplace_back(text);
    if (link_->outbox.size() == 1) WriteFront(link_);
  }

  String GetData() override { return std::exchange(inbox_, String()); }

  void Close() override {
    Release();
    state_ = SocketState::kClosed;
    inbox_.clear();
  }

  SocketState State() const override { return state_; }

  String RemoteHost() const override { return host_; }
  void SetRemoteHost(const String& host) override { host_ = host; }
  Long RemotePort() const override { return port_; }
  void SetRemotePort(Long port) override { port_ = port; }

  void OnDataArrival(DataArrivalHandler handler) override { on_data_ = std::move(handler); }
  void OnClosed(ClosedHandler handler) override { on_closed_ = std::move(handler); }

 private:
  // Lets go of the current connection: its pending completions will find it unwanted.
  void Release() noexcept {
    if (!link_) return;
    link_->wanted = false;
    std::error_code ignored;
    link_->resolver.cancel();
    link_->socket.close(ignored);
    link_.reset();
  }

  void Resolved(const std::shared_ptr<Link>& link, const std::error_code& error,
                const tcp::resolver::results_type& results) {
    if (error) {
      Fail(SocketState::kError, err::kSocketBadHost,
           "The host name " + host_ + " could not be resolved (" + error.message() +
               "); check the server name.");
      return;
    }
    state_ = SocketState::kConnecting;
    asio::async_connect(link->socket, results,
                        [this, link](const std::error_code& e, const tcp::endpoint&) {
                          if (link->wanted) Connected(link, e);
                        });
  }

  void Connected(const std::shared_ptr<Link>& link, const std::error_code& error) {
    if (error) {
      Fail(SocketState::kError, err::kSocketConnectFailed,
           "Could not connect to " + Where(host_, port_) + " (" + error.message() +
               "); check that the server is running and the host and port are right.");
      return;
    }
    std::error_code ignored;
    link->socket.set_option(tcp::no_delay(true), ignored);  // commands are small and awaited
    state_ = SocketState::kConnected;
    ReadMore(link);
  }

  void ReadMore(const std::shared_ptr<Link>& link) {
    link->socket.async_read_some(asio::buffer(link->buffer),
                                 [this, link](const std::error_code& error, std::size_t n) {
                                   if (link->wanted) Received(link, error, n);
                                 });
  }

  void Received(const std::shared_ptr<Link>& link, const std::error_code& error, std::size_t n) {
    if (error == asio::error::eof) {
      Fail(SocketState::kClosing, err::kSocketClosedByPeer,
           "The server at " + Where(host_, port_) + " closed the connection.");
      return;
    }
    if (error) {
      Fail(SocketState::kError, err::kSocketIo,
           "Reading from " + Where(host_, port_) + " failed (" + error.message() +
               "); connect again.");
      return;
    }
    inbox_.append(link->buffer.data(), n);
    // The next read starts only after the handler has run: whatever the handler does (fetch,
    // close, reconnect, pump the loop), this connection announces nothing more meanwhile.
    const auto waiting =
        static_cast<Long>(std::min<std::size_t>(inbox_.size(), std::numeric_limits<Long>::max()));
    if (auto handler = on_data_) handler(waiting);  // a copy: the handler may replace itself
    if (link->wanted) ReadMore(link);
  }

  void WriteFront(const std::shared_ptr<Link>& link) {
    asio::async_write(link->socket, asio::buffer(link->outbox.front()),
                      [this, link](const std::error_code& error, std::size_t) {
                        if (link->wanted) Written(link, error);
                      });
  }

  void Written(const std::shared_ptr<Link>& link, const std::error_code& error) {
    if (error) {
      Fail(SocketState::kError, err::kSocketIo,
           "Writing to " + Where(host_, port_) + " failed (" + error.message() +
               "); connect again.");
      return;
    }
    link->outbox.pop_front();
    if (!link->outbox.empty()) WriteFront(link);
  }

  // The connection ended without our Close: stop it, keep the unfetched data, tell the owner once.
  void Fail(SocketState state, Long number, const String& description) {
    Release();
    state_ = state;
    if (auto handler = on_closed_) handler(number, description);
  }

  asio::io_context& io_;
  std::shared_ptr<Link> link_;  // the current connection, if any
  SocketState state_ = SocketState::kClosed;
  String host_ = "127.0.0.1";
  Long port_ = 0;
  String inbox_;  // received and not yet fetched
  DataArrivalHandler on_data_;
  ClosedHandler on_closed_;
};

}  // namespace

std::unique_ptr<Socket> MakeAsioSocket(EventLoop& loop) {
  return std::make_unique<AsioSocket>(loop);
}

}  // namespace kestrel::platform
