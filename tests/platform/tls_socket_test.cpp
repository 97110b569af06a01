// The TLS socket against a TLS peer on 127.0.0.1, on the same event loop, with certificates made
// for this run by tests/tls/make_certs.sh.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/write.hpp>

#include "kestrel/platform/asio_event_loop.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/platform/event_loop.hpp"

namespace kestrel::platform {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
namespace fs = std::filesystem;

constexpr auto kPatience = 5000ms;

const fs::path& Certs() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("kestrel-tls-" + std::to_string(::getpid()));
    const std::string cmd = "sh '" KESTREL_MAKE_CERTS "' '" + d.string() + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("make_certs.sh failed");
    return d;
  }();
  return dir;
}

std::string Cert(const std::string& name) {
  return (Certs() / name).string();
}

// The server side of one connection. With a certificate name it speaks TLS (and may demand a
// client certificate); without, it is a plain SNPP server that greets at once. It keeps every
// byte it receives (decrypted for TLS) and how the client ended the connection.
class Peer {
 public:
  Peer(EventLoop& loop, std::string cert, bool want_client_cert = false)
      : acceptor_(AsioContext(loop), tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
        tls_(asio::ssl::context::tls_server) {
    if (!cert.empty()) {
      tls_.use_certificate_chain_file(Cert(cert + ".pem"));
      tls_.use_private_key_file(Cert(cert + ".key"), asio::ssl::context::pem);
      if (want_client_cert) {
        tls_.load_verify_file(Cert("ca.pem"));
        tls_.set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert);
      }
    }
    // Only now: a stream takes its certificate from the context when it is made.
    stream_ = std::make_unique<asio::ssl::stream<tcp::socket>>(AsioContext(loop), tls_);
    auto& stream = *stream_;
    acceptor_.async_accept(stream.lowest_layer(), [this, cert](const std::error_code& ec) {
      if (ec) return;
      if (cert.empty()) {
        asio::write(stream_->next_layer(), asio::buffer(std::string("220 plain SNPP\r\n")));
        ReadPlain();
        return;
      }
      stream_->async_handshake(asio::ssl::stream_base::server, [this](const std::error_code& e) {
        if (e) return;
        secured = true;
        const char* name = SSL_get_servername(stream_->native_handle(), TLSEXT_NAMETYPE_host_name);
        sni = name ? name : "";
        if (greet) asio::write(*stream_, asio::buffer(std::string("220 SNPP over TLS\r\n")));
        if (answer) ReadTls();
      });
    });
  }

  Long port() const { return acceptor_.local_endpoint().port(); }

  bool greet = true;
  bool answer = true;  // false: reads nothing after the handshake, so never sees close_notify
  bool secured = false;
  std::string sni;  // the server name the client sent
  bool saw_close_notify = false;
  bool saw_end = false;
  std::string received;

 private:
  void ReadTls() {
    stream_->async_read_some(asio::buffer(buf_), [this](const std::error_code& ec, std::size_t n) {
      if (ec) {
        saw_end = true;
        saw_close_notify = ec == asio::error::eof;  // truncated would be a bare TCP close
        return;
      }
      received.append(buf_.data(), n);
      ReadTls();
    });
  }
  void ReadPlain() {
    stream_->next_layer().async_read_some(asio::buffer(buf_),
                                          [this](const std::error_code& ec, std::size_t n) {
                                            if (ec) {
                                              saw_end = true;
                                              return;
                                            }
                                            received.append(buf_.data(), n);
                                            ReadPlain();
                                          });
  }

  tcp::acceptor acceptor_;
  asio::ssl::context tls_;
  std::unique_ptr<asio::ssl::stream<tcp::socket>> stream_;
  std::array<char, 8192> buf_{};
};

struct Closed {
  Long number;
  String description;
};

class TlsSocketTest : public ::testing::Test {
 protected:
  void Open(const TlsSettings& settings) {
    sock = MakeAsioTlsSocket(loop, MakeTlsContext(settings));
    sock->OnDataArrival([this](Long) {
      EXPECT_EQ(sock->State(), SocketState::kConnected);
      data += sock->GetData();
    });
    sock->OnClosed([this](Long n, const String& d) { closes.push_back({n, d}); });
  }
  static TlsSettings Trusting() {
    TlsSettings s;
    s.ca_file = Cert("ca.pem");
    return s;
  }
  bool RunUntil(const std::function<bool()>& done) { return loop.RunUntil(done, kPatience); }
  // Peers live to the end of the test: their handlers may still run while the loop does.
  Peer& NewPeer(std::string cert, bool want_client_cert = false) {
    return *peers.emplace_back(std::make_unique<Peer>(loop, std::move(cert), want_client_cert));
  }

  EventLoop loop;
  std::vector<std::unique_ptr<Peer>> peers;
  std::unique_ptr<Socket> sock;
  std::string data;
  std::vector<Closed> closes;
};

TEST_F(TlsSocketTest, VerifiedDialogueAndCloseNotify) {
  for (const std::string host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    Peer& peer = NewPeer("server");
    Open(Trusting());
    sock->Connect(host, peer.port());
    // Connected only once the handshake is through: no write can leave before it.
    EXPECT_THROW(sock->SendData("LOGI alice s3cret\r\n"), RuntimeError);
    ASSERT_TRUE(RunUntil([&] { return data == "220 SNPP over TLS\r\n" || !closes.empty(); }))
        << data;
    ASSERT_TRUE(closes.empty()) << closes.front().description;
    EXPECT_TRUE(peer.secured);
    EXPECT_EQ(peer.sni, host == "localhost" ? "localhost" : "") << "SNI for names, not addresses";
    sock->SendData("PAGE 5551234\r\n");
    ASSERT_TRUE(RunUntil([&] { return peer.received == "PAGE 5551234\r\n"; }));
    sock->Close();
    EXPECT_EQ(sock->State(), SocketState::kClosed);
    ASSERT_TRUE(RunUntil([&] { return peer.saw_end; }));
    EXPECT_TRUE(peer.saw_close_notify) << "Close ends TLS properly";
    EXPECT_TRUE(closes.empty()) << "our own Close is not reported";
    data.clear();
  }
}

TEST_F(TlsSocketTest, RefusedServersNeverSeeTheDialogue) {
  struct Case {
    const char* cert;
    const char* host;
    bool trust_ca;
    Long number;
    const char* text;
  };
  const Case cases[] = {
      {"self", "127.0.0.1", false, err::kTlsUntrusted,
       "The certificate of 127.0.0.1 is not trusted: self-signed certificate; trust the CA that "
       "issued it, or check that 127.0.0.1 is the right server."},
      {"server", "localhost", false, err::kTlsUntrusted, "unable to get local issuer"},
      {"other", "127.0.0.1", true, err::kTlsNameMismatch,
       "The certificate of 127.0.0.1 is for another name (DNS:other.example.net)"},
      {"other", "localhost", true, err::kTlsNameMismatch, "(DNS:other.example.net)"},
      {"expired", "localhost", true, err::kTlsExpired,
       "The certificate of localhost has expired (valid until Jan  1 00:00:00 2020 GMT)"},
      {"", "127.0.0.1", true, err::kTlsHandshakeFailed,
       "did not answer TLS (wrong version number); is it a plain SNPP port?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.cert) + " via " + c.host);
    Peer& peer = NewPeer(c.cert);
    TlsSettings settings;  // without the test CA: the system store, which does not know it
    if (c.trust_ca) settings = Trusting();
    Open(settings);
    closes.clear();
    sock->Connect(c.host, peer.port());
    ASSERT_TRUE(RunUntil([&] { return !closes.empty(); }));
    EXPECT_EQ(closes.front().number, c.number);
    EXPECT_NE(closes.front().description.find(c.text), std::string::npos)
        << closes.front().description;
    EXPECT_EQ(sock->State(), SocketState::kError);
    EXPECT_TRUE(data.empty());
    EXPECT_FALSE(peer.secured);
    if (std::string(c.cert).empty()) {
      // The plain server got our ClientHello and nothing else.
      ASSERT_FALSE(peer.received.empty());
      EXPECT_EQ(peer.received[0], '\x16') << "a TLS handshake record";
    }
  }
}

TEST_F(TlsSocketTest, InsecureSwitchSkipsTheChecks) {
  Peer& peer = NewPeer("expired");
  TlsSettings settings;
  settings.verify = false;
  Open(settings);
  sock->Connect("127.0.0.1", peer.port());
  EXPECT_TRUE(RunUntil([&] { return !data.empty() || !closes.empty(); }));
  EXPECT_EQ(data, "220 SNPP over TLS\r\n");
}

TEST_F(TlsSocketTest, ClientCertificateWhenTheServerWantsOne) {
  Open(Trusting());
  sock->Connect("127.0.0.1", NewPeer("server", /*want_client_cert=*/true).port());
  ASSERT_TRUE(RunUntil([&] { return !closes.empty(); }));
  EXPECT_NE(closes.front().description.find("wants a client certificate; give one, with its key."),
            std::string::npos)
      << closes.front().description;
  EXPECT_EQ(closes.front().number, err::kTlsClientCertificate);
  Peer& peer = NewPeer("server", true);
  TlsSettings settings = Trusting();
  settings.cert_file = Cert("client.pem");
  settings.key_file = Cert("client.key");
  Open(settings);
  sock->Connect("127.0.0.1", peer.port());
  ASSERT_TRUE(RunUntil([&] { return !data.empty(); }));
  EXPECT_EQ(data, "220 SNPP over TLS\r\n");
}

TEST_F(TlsSocketTest, UnusableSettingsAreRefusedUpFront) {
  TlsSettings settings;
  settings.ca_file = Cert("missing.pem");
  try {
    MakeTlsContext(settings);
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kTlsSettings);
    EXPECT_NE(e.description().find("missing.pem could not be used"), std::string::npos);
  }
  settings = Trusting();
  settings.cert_file = Cert("client.pem");
  settings.key_file = Cert("server.key");
  try {
    MakeTlsContext(settings);
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_NE(e.description().find("does not belong to the certificate"), std::string::npos)
        << e.description();
  }
}

TEST_F(TlsSocketTest, CloseAndDestructionNeverWaitForTheServer) {
  Peer& peer = NewPeer("server");
  peer.answer = false;  // never reads: close_notify stays unanswered
  Open(Trusting());
  sock->Connect("127.0.0.1", peer.port());
  ASSERT_TRUE(RunUntil([&] { return !data.empty(); }));
  const auto start = std::chrono::steady_clock::now();
  sock->Close();
  sock.reset();  // with the goodbye still pending
  // The goodbye gives up by itself, and the loop runs dry: nothing is left hanging.
  loop.RunFor(kPatience);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(closes.empty());

  // Destroyed half-way through a handshake: the loop drains without touching the socket.
  Peer& other = NewPeer("server");
  Open(Trusting());
  sock->Connect("127.0.0.1", other.port());
  loop.Poll();
  sock.reset();
  loop.RunFor(200ms);
  EXPECT_TRUE(closes.empty());
}

}  // namespace
}  // namespace kestrel::platform
