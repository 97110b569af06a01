// The TLS client socket on Asio's SSL stream over OpenSSL.
//
// Same rules as the plain socket (asio_socket.cpp): everything runs on the EventLoop's thread;
// each connection attempt is a Link that its completion handlers hold; a completion first checks
// that its Link is still wanted and does nothing otherwise. So no notification comes from inside
// a call, and none after Close or destruction.
//
//   Connect ──▶ kResolvingHost ──▶ kConnecting ──TCP up──▶ (still kConnecting) handshake
//                                                              │ verified      │ failed
//                                                              ▼               ▼
//                                           kConnected ──read──▶ ...    kError, OnClosed(kTls*)
//
// The socket says kConnected only after a verified handshake, and SendData refuses until then:
// the greeting arrives inside TLS, and no command can leave before the server has proved who it
// is. Close on a connected socket sends close_notify and gives the server kShutdownWait to
// answer before the TCP connection is closed; that goodbye runs on its own Link, after the
// socket has let go of it, so it never notifies anyone and never holds up Close or destruction.

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <chrono>
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
#include <asio/ssl/context.hpp>
#include <asio/ssl/error.hpp>
#include <asio/ssl/host_name_verification.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "kestrel/platform/asio_event_loop.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/platform/tls.hpp"

namespace kestrel::platform {

class TlsContext {
 public:
  explicit TlsContext(const TlsSettings& settings);
  asio::ssl::context& native() const { return context_; }
  const TlsSettings& settings() const { return settings_; }

 private:
  TlsSettings settings_;
  mutable asio::ssl::context context_{asio::ssl::context::tls_client};
};

namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

// How long Close waits for the server's close_notify before it closes the TCP connection.
constexpr auto kShutdownWait = 1000ms;

std::string OpenSslText(const std::error_code& ec) {
  std::string text = ec.message();
  // "certificate verify failed (SSL routines)" reads better without the library's name.
  if (const auto at = text.find(" (SSL routines)"); at != std::string::npos) text.erase(at);
  return text;
}

[[noreturn]] void SettingsError(const std::string& what, const std::error_code& ec,
                                const std::string& todo) {
  throw RuntimeError(err::kTlsSettings, what + " (" + OpenSslText(ec) + "); " + todo + ".");
}

bool IsAddress(const std::string& host) {
  std::error_code ec;
  asio::ip::make_address(host, ec);
  return !ec;
}

std::string Where(const String& host, Long port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// What the verify callback saw: the first failure, and what the user needs to read about it.
struct Verdict {
  int error = X509_V_OK;
  std::string not_after;  // of the certificate that failed, for expiry
  std::string names;      // the names the server's certificate is for, for a mismatch
};

std::string TimeText(const ASN1_TIME* time) {
  std::string text;
  if (BIO* bio = BIO_new(BIO_s_mem())) {
    if (ASN1_TIME_print(bio, time) == 1) {
      char* data = nullptr;
      const long n = BIO_get_mem_data(bio, &data);
      if (n > 0) text.assign(data, static_cast<std::size_t>(n));
    }
    BIO_free(bio);
  }
  return text;
}

// "DNS:pager.example.net, IP:10.0.0.5", or the subject's common name when there are no
// alternative names.
std::string NamesOf(X509* cert) {
  std::string names;
  const auto add = [&names](const std::string& name) {
    if (!names.empty()) names += ", ";
    names += name;
  };
  auto* alt =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  if (alt != nullptr) {
    for (int i = 0; i < sk_GENERAL_NAME_num(alt); ++i) {
      const GENERAL_NAME* name = sk_GENERAL_NAME_value(alt, i);
      if (name->type == GEN_DNS) {
        const auto* s = name->d.dNSName;
        add("DNS:" + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                                 static_cast<std::size_t>(ASN1_STRING_length(s))));
      } else if (name->type == GEN_IPADD) {
        const auto* s = name->d.iPAddress;
        const auto* bytes = ASN1_STRING_get0_data(s);
        if (ASN1_STRING_length(s) == 4) {
          asio::ip::address_v4::bytes_type b;
          std::copy_n(bytes, 4, b.begin());
          add("IP:" + asio::ip::address_v4(b).to_string());
        } else if (ASN1_STRING_length(s) == 16) {
          asio::ip::address_v6::bytes_type b;
          std::copy_n(bytes, 16, b.begin());
          add("IP:" + asio::ip::address_v6(b).to_string());
        }
      }
    }
    GENERAL_NAMES_free(alt);
  }
  if (names.empty()) {
    std::array<char, 256> cn{};
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn.data(),
                                  static_cast<int>(cn.size())) > 0) {
      add("CN:" + std::string(cn.data()));
    }
  }
  return names.empty() ? "no name at all" : names;
}

// One connection attempt and what belongs to it alone. Completion handlers hold it, so the Asio
// objects, the TLS context and the read buffer outlive the socket while operations drain.
struct Link {
  Link(asio::io_context& io, std::shared_ptr<const TlsContext> tls)
      : context(std::move(tls)), resolver(io), stream(io, context->native()), closer(io) {}

  std::shared_ptr<const TlsContext> context;  // first: the stream's SSL refers to it
  tcp::resolver resolver;
  asio::ssl::stream<tcp::socket> stream;
  asio::steady_timer closer;  // bounds the goodbye after Close
  std::array<char, 4096> buffer{};
  std::deque<std::string> outbox;  // front() is being written
  Verdict verdict;
  bool secured = false;  // the handshake completed and the server passed the checks
  bool wanted = true;    // false once the socket has let go of this connection
};

// The description of a failed handshake (or of a TLS failure right after it), and its number.
std::pair<Long, std::string> Describe(const Link& link, const std::error_code& ec,
                                      const String& host, Long port) {
  const auto& v = link.verdict;
  const std::string why = v.error != X509_V_OK ? X509_verify_cert_error_string(v.error) : "";
  switch (v.error) {
    case X509_V_OK:
      break;
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return {err::kTlsExpired, "The certificate of " + host + " has expired (valid until " +
                                    v.not_after +
                                    "); the gateway's operator must renew it (check this "
                                    "machine's clock too)."};
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return {err::kTlsExpired, "The certificate of " + host + " is not valid yet: " + why +
                                    "; check this machine's clock, or ask the gateway's "
                                    "operator."};
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return {err::kTlsNameMismatch,
              "The certificate of " + host + " is for another name (" + v.names +
                  "); connect by a name the certificate holds, or check that " + host +
                  " is the right server."};
    default:
      return {err::kTlsUntrusted, "The certificate of " + host + " is not trusted: " + why +
                                      "; trust the CA that issued it, or check that " + host +
                                      " is the right server."};
  }
  const std::string where = Where(host, port);
  if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated ||
      ec == asio::error::connection_reset) {
    return {err::kTlsHandshakeFailed,
            "The server at " + where +
                " closed the connection during the TLS handshake; is it a plain SNPP port? If "
                "it is a TLS port, it may have refused our TLS version (1.2 or newer) or want a "
                "client certificate."};
  }
  if (ec.category() == asio::error::get_ssl_category()) {
    const std::string text = OpenSslText(ec);
    switch (ERR_GET_REASON(static_cast<unsigned long>(ec.value()))) {
      case SSL_R_WRONG_VERSION_NUMBER:
      case SSL_R_PACKET_LENGTH_TOO_LONG:
      case SSL_R_UNKNOWN_PROTOCOL:
      case SSL_R_HTTP_REQUEST:
        return {err::kTlsHandshakeFailed,
                "The server at " + where + " did not answer TLS (" + text +
                    "); is it a plain SNPP port? Connect without TLS, or use its TLS port."};
      case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
      case SSL_R_UNSUPPORTED_PROTOCOL:
      case SSL_R_NO_PROTOCOLS_AVAILABLE:
        return {err::kTlsHandshakeFailed,
                "The server at " + where + " offers no TLS version we accept (" + text +
                    "); TLS 1.2 or newer is needed: ask the gateway's operator to enable it."};
      case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
        return {err::kTlsClientCertificate,
                "The server at " + where + " wants a client certificate; give one, with its key."};
      case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
      case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
      case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
      case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
      case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
      case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
      case SSL_R_TLSV1_ALERT_ACCESS_DENIED:
        return {err::kTlsClientCertificate,
                "The server at " + where + " refused our client certificate (" + text +
                    "); check the client certificate and its key with the gateway's operator."};
      default:
        return {err::kTlsHandshakeFailed,
                "The TLS handshake with " + where + " failed (" + text +
                    "); check that this is the server's TLS port and that it speaks TLS 1.2 or "
                    "newer."};
    }
  }
  return {err::kTlsHandshakeFailed,
          "The TLS handshake with " + where + " failed (" + ec.message() + "); connect again."};
}

class AsioTlsSocket final : public Socket {
 public:
  AsioTlsSocket(EventLoop& loop, std::shared_ptr<const TlsContext> context)
      : io_(AsioContext(loop)), context_(std::move(context)) {}

  ~AsioTlsSocket() override { Release(); }

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
    link_ = std::make_shared<Link>(io_, context_);
    const auto link = link_;
    Prepare(*link);

    std::error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (!ec) {
      state_ = SocketState::kConnecting;
      const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
      link->stream.lowest_layer().async_connect(endpoint,
                                                [this, link](const std::error_code& error) {
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
    if (text.empty()) return;
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
  // SNI and the checks of this connection's server name.
  void Prepare(Link& link) {
    SSL* ssl = link.stream.native_handle();
    if (!IsAddress(host_)) SSL_set_tlsext_host_name(ssl, host_.c_str());
    if (!context_->settings().verify) {
      link.stream.set_verify_mode(asio::ssl::verify_none);
      return;
    }
    link.stream.set_verify_mode(asio::ssl::verify_peer);
    // The callback lives in the stream, which lives in the Link: the raw pointer cannot dangle.
    link.stream.set_verify_callback([check = asio::ssl::host_name_verification(host_),
                                     verdict = &link.verdict,
                                     mismatch = IsAddress(host_) ? X509_V_ERR_IP_ADDRESS_MISMATCH
                                                                 : X509_V_ERR_HOSTNAME_MISMATCH](
                                        bool preverified, asio::ssl::verify_context& ctx) {
      X509_STORE_CTX* store = ctx.native_handle();
      X509* cert = X509_STORE_CTX_get_current_cert(store);
      if (!preverified) {
        if (verdict->error == X509_V_OK) {
          verdict->error = X509_STORE_CTX_get_error(store);
          if (cert != nullptr) verdict->not_after = TimeText(X509_get0_notAfter(cert));
        }
        return false;
      }
      if (check(preverified, ctx)) return true;
      // Only the server's own certificate (depth 0) fails the name check.
      if (verdict->error == X509_V_OK) {
        verdict->error = mismatch;
        if (cert != nullptr) verdict->names = NamesOf(cert);
      }
      X509_STORE_CTX_set_error(store, mismatch);
      return false;
    });
  }

  // Lets go of the current connection: its pending completions will find it unwanted. An
  // established TLS connection is closed with close_notify, on its own time.
  void Release() noexcept {
    if (!link_) return;
    const auto link = std::exchange(link_, nullptr);
    link->wanted = false;
    link->resolver.cancel();
    if (link->secured) {
      Goodbye(link);
    } else {
      std::error_code ignored;
      link->stream.lowest_layer().close(ignored);
    }
  }

  // close_notify, then the TCP close once the server answers or kShutdownWait has passed. The
  // handlers hold only the Link.
  static void Goodbye(const std::shared_ptr<Link>& link) noexcept {
    try {
      link->closer.expires_after(kShutdownWait);
      link->closer.async_wait([link](const std::error_code& error) {
        if (error) return;  // the server answered first
        std::error_code ignored;
        link->stream.lowest_layer().close(ignored);
      });
      link->stream.async_shutdown([link](const std::error_code&) {
        link->closer.cancel();
        std::error_code ignored;
        link->stream.lowest_layer().close(ignored);
      });
    } catch (...) {
      std::error_code ignored;
      link->stream.lowest_layer().close(ignored);
    }
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
    asio::async_connect(link->stream.lowest_layer(), results,
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
    link->stream.lowest_layer().set_option(tcp::no_delay(true), ignored);
    link->stream.async_handshake(asio::ssl::stream_base::client,
                                 [this, link](const std::error_code& e) {
                                   if (link->wanted) Handshaken(link, e);
                                 });
  }

  void Handshaken(const std::shared_ptr<Link>& link, const std::error_code& error) {
    if (error) {
      const auto [number, text] = Describe(*link, error, host_, port_);
      Fail(SocketState::kError, number, text);
      return;
    }
    link->secured = true;
    state_ = SocketState::kConnected;
    ReadMore(link);
  }

  void ReadMore(const std::shared_ptr<Link>& link) {
    link->stream.async_read_some(asio::buffer(link->buffer),
                                 [this, link](const std::error_code& error, std::size_t n) {
                                   if (link->wanted) Received(link, error, n);
                                 });
  }

  void Received(const std::shared_ptr<Link>& link, const std::error_code& error, std::size_t n) {
    if (error == asio::error::eof || error == asio::ssl::error::stream_truncated) {
      // eof: the server said close_notify; truncated: it just closed TCP, as many do.
      Fail(SocketState::kClosing, err::kSocketClosedByPeer,
           "The server at " + Where(host_, port_) + " closed the connection.");
      return;
    }
    if (error) {
      if (error.category() == asio::error::get_ssl_category()) {
        // A TLS alert after the handshake: TLS 1.3 servers refuse a client certificate here.
        const auto [number, text] = Describe(*link, error, host_, port_);
        Fail(SocketState::kError, number, text);
      } else {
        Fail(SocketState::kError, err::kSocketIo,
             "Reading from " + Where(host_, port_) + " failed (" + error.message() +
                 "); connect again.");
      }
      return;
    }
    inbox_.append(link->buffer.data(), n);
    const auto waiting =
        static_cast<Long>(std::min<std::size_t>(inbox_.size(), std::numeric_limits<Long>::max()));
    if (auto handler = on_data_) handler(waiting);
    if (link->wanted) ReadMore(link);
  }

  void WriteFront(const std::shared_ptr<Link>& link) {
    asio::async_write(link->stream, asio::buffer(link->outbox.front()),
                      [this, link](const std::error_code& error, std::size_t) {
                        if (link->wanted) Written(link, error);
                      });
  }

  void Written(const std::shared_ptr<Link>& link, const std::error_code& error) {
    if (error) {
      Fail(SocketState::kError, err::kSocketIo,
           "Writing to " + Where(host_, port_) + " failed (" + OpenSslText(error) +
               "); connect again.");
      return;
    }
    link->outbox.pop_front();
    if (!link->outbox.empty()) WriteFront(link);
  }

  // The connection ended without our Close: drop it without a goodbye, tell the owner once.
  void Fail(SocketState state, Long number, const String& description) {
    if (link_) link_->secured = false;  // a broken or refused connection gets no close_notify
    Release();
    state_ = state;
    if (auto handler = on_closed_) handler(number, description);
  }

  asio::io_context& io_;
  std::shared_ptr<const TlsContext> context_;
  std::shared_ptr<Link> link_;
  SocketState state_ = SocketState::kClosed;
  String host_ = "127.0.0.1";
  Long port_ = 0;
  String inbox_;
  DataArrivalHandler on_data_;
  ClosedHandler on_closed_;
};

}  // namespace

TlsContext::TlsContext(const TlsSettings& settings) : settings_(settings) {
  using asio::ssl::context;
  context_.set_options(context::default_workarounds | context::no_sslv2 | context::no_sslv3 |
                       context::no_tlsv1 | context::no_tlsv1_1);
  SSL_CTX_set_min_proto_version(context_.native_handle(), TLS1_2_VERSION);
  std::error_code ec;
  if (settings.ca_file.empty() && settings.ca_path.empty()) {
    context_.set_default_verify_paths(ec);
    if (ec) {
      SettingsError("The system's CA store could not be loaded", ec,
                    "install the ca-certificates package, or give the CA to trust");
    }
  }
  if (!settings.ca_file.empty()) {
    context_.load_verify_file(settings.ca_file, ec);
    if (ec) {
      SettingsError("The CA file " + settings.ca_file + " could not be used", ec,
                    "give a readable PEM file of CA certificates");
    }
  }
  if (!settings.ca_path.empty()) {
    context_.add_verify_path(settings.ca_path, ec);
    if (ec) {
      SettingsError("The CA directory " + settings.ca_path + " could not be used", ec,
                    "give a directory of hashed CA certificates (openssl rehash)");
    }
  }
  if (!settings.key_file.empty() && settings.cert_file.empty()) {
    throw RuntimeError(err::kTlsSettings,
                       "A client key was given without its certificate; give the certificate "
                       "too.");
  }
  if (!settings.cert_file.empty()) {
    context_.use_certificate_chain_file(settings.cert_file, ec);
    if (ec) {
      SettingsError("The client certificate " + settings.cert_file + " could not be used", ec,
                    "give a readable PEM certificate");
    }
    const std::string& key = settings.key_file.empty() ? settings.cert_file : settings.key_file;
    context_.use_private_key_file(key, context::pem, ec);
    if (ec &&
        ERR_GET_REASON(static_cast<unsigned long>(ec.value())) == X509_R_KEY_VALUES_MISMATCH) {
      throw RuntimeError(err::kTlsSettings, "The client key " + key +
                                                " does not belong to the certificate " +
                                                settings.cert_file + "; give the matching pair.");
    }
    if (ec) {
      SettingsError("The client key " + key + " could not be used", ec,
                    "give its readable, unencrypted PEM private key");
    }
    if (SSL_CTX_check_private_key(context_.native_handle()) != 1) {
      ERR_clear_error();
      throw RuntimeError(err::kTlsSettings, "The client key " + key +
                                                " does not belong to the certificate " +
                                                settings.cert_file + "; give the matching pair.");
    }
  }
}

std::shared_ptr<const TlsContext> MakeTlsContext(const TlsSettings& settings) {
  return std::make_shared<const TlsContext>(settings);
}

const TlsSettings& SettingsOf(const TlsContext& context) {
  return context.settings();
}

std::unique_ptr<Socket> MakeAsioTlsSocket(EventLoop& loop,
                                          std::shared_ptr<const TlsContext> context) {
  return std::make_unique<AsioTlsSocket>(loop, std::move(context));
}

}  // namespace kestrel::platform
