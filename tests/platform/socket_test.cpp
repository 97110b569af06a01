// The Asio socket against a peer listening on 127.0.0.1 (port 0), on the same event loop.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include "kestrel/platform/asio_event_loop.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/platform/event_loop.hpp"

namespace kestrel::platform {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;

constexpr auto kPatience = 5000ms;  // an upper bound for loopback work, never waited out when OK

// The server side of one connection: accepts once, keeps everything it reads.
class Peer {
 public:
  explicit Peer(EventLoop& loop)
      : acceptor_(AsioContext(loop), tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
        conn_(AsioContext(loop)) {
    acceptor_.async_accept(conn_, [this](const std::error_code& ec) {
      if (ec) return;
      accepted = true;
      Read();
    });
  }

  Long port() const { return acceptor_.local_endpoint().port(); }
  void Write(const std::string& text) { asio::write(conn_, asio::buffer(text)); }
  void Close() { conn_.close(); }
  // Closes with a reset (RST) instead of an orderly end.
  void Reset() {
    conn_.set_option(asio::socket_base::linger(true, 0));
    conn_.close();
  }

  bool accepted = false;
  bool saw_end = false;
  std::string received;

 private:
  void Read() {
    conn_.async_read_some(asio::buffer(buf_), [this](const std::error_code& ec, std::size_t n) {
      if (ec) {
        saw_end = true;
        return;
      }
      received.append(buf_.data(), n);
      Read();
    });
  }

  tcp::acceptor acceptor_;
  tcp::socket conn_;
  std::array<char, 8192> buf_{};
};

// A port on which nobody listens: bound once, then released.
Long UnusedPort(EventLoop& loop) {
  tcp::acceptor a(AsioContext(loop), tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  return a.local_endpoint().port();
}

struct Closed {
  Long number;
  String description;
  SocketState state_then;
};

class SocketTest : public ::testing::Test {
 protected:
  SocketTest() {
    sock = MakeAsioSocket(loop);
    sock->OnDataArrival([this](Long bytes) {
      EXPECT_FALSE(inside_call) << "data announced from inside a call";
      arrivals.push_back(bytes);
      states_at_arrival.push_back(sock->State());
      if (auto f = on_data) f(bytes);  // a copy: a handler may replace itself
    });
    sock->OnClosed([this](Long number, const String& description) {
      EXPECT_FALSE(inside_call) << "closing reported from inside a call";
      closes.push_back({number, description, sock->State()});
    });
  }

  // Runs a socket call with the guard that catches notifications delivered from inside it.
  template <typename F>
  void Call(F f) {
    inside_call = true;
    try {
      f();
    } catch (...) {
      inside_call = false;
      throw;
    }
    inside_call = false;
  }

  bool RunUntil(const std::function<bool()>& done) { return loop.RunUntil(done, kPatience); }

  void ConnectTo(Peer& peer) {
    Call([&] { sock->Connect("127.0.0.1", peer.port()); });
    ASSERT_TRUE(
        RunUntil([&] { return sock->State() == SocketState::kConnected && peer.accepted; }));
  }

  EventLoop loop;
  std::unique_ptr<Socket> sock;
  bool inside_call = false;
  std::vector<Long> arrivals;
  std::vector<SocketState> states_at_arrival;
  std::vector<Closed> closes;
  std::function<void(Long)> on_data;
};

TEST_F(SocketTest, NewSocketIsClosedWithDefaultRemote) {
  EXPECT_EQ(sock->State(), SocketState::kClosed);
  EXPECT_EQ(sock->RemoteHost(), "127.0.0.1");
  EXPECT_EQ(sock->RemotePort(), 0);
  EXPECT_EQ(sock->GetData(), "");
}

TEST_F(SocketTest, RemoteSettingsReadBackUnchanged) {
  sock->SetRemoteHost("paging.example");
  sock->SetRemotePort(444);
  EXPECT_EQ(sock->RemoteHost(), "paging.example");
  EXPECT_EQ(sock->RemotePort(), 444);
  sock->SetRemotePort(-7);  // stored as given; only Connect judges it
  EXPECT_EQ(sock->RemotePort(), -7);
}

TEST_F(SocketTest, ConnectRejectsPortsOutsideTcpRange) {
  for (Long port : {0, -1, 65536, 2147483647}) {
    try {
      sock->Connect("127.0.0.1", port);
      FAIL() << "port " << port << " was accepted";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), err::kSocketBadPort);
      EXPECT_NE(e.description().find(std::to_string(port)), std::string::npos) << e.what();
    }
    EXPECT_EQ(sock->State(), SocketState::kClosed);
  }
  EXPECT_EQ(sock->RemotePort(), 0) << "a refused Connect leaves the settings alone";
  loop.RunFor(20ms);
  EXPECT_TRUE(closes.empty());
}

TEST_F(SocketTest, ConnectRejectsAnEmptyHost) {
  try {
    sock->Connect("", 25);
    FAIL() << "empty host was accepted";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kSocketBadHost);
  }
  EXPECT_EQ(sock->State(), SocketState::kClosed);
}

TEST_F(SocketTest, SendDataWhileNotConnectedRaises) {
  try {
    sock->SendData("PAGE 1\r\n");
    FAIL() << "write accepted while closed";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kSocketNotConnected);
  }
}

TEST_F(SocketTest, ConnectsToLiteralAddressAndTakesItsRemoteSettings) {
  Peer peer(loop);
  Call([&] { sock->Connect("127.0.0.1", peer.port()); });
  EXPECT_EQ(sock->State(), SocketState::kConnecting) << "Connect returns before connecting";
  EXPECT_EQ(sock->RemoteHost(), "127.0.0.1");
  EXPECT_EQ(sock->RemotePort(), peer.port());
  ASSERT_TRUE(RunUntil([&] { return sock->State() == SocketState::kConnected && peer.accepted; }));
  EXPECT_TRUE(closes.empty());
  EXPECT_TRUE(arrivals.empty());
}

TEST_F(SocketTest, ConnectByNameResolvesFirst) {
  Peer peer(loop);
  Call([&] { sock->Connect("localhost", peer.port()); });  // from /etc/hosts: no DNS traffic
  EXPECT_EQ(sock->State(), SocketState::kResolvingHost);
  ASSERT_TRUE(RunUntil([&] { return sock->State() == SocketState::kConnected && peer.accepted; }))
      << (closes.empty() ? "" : closes.front().description);
}

TEST_F(SocketTest, ConnectWhileOpenRaises) {
  Peer peer(loop);
  ConnectTo(peer);
  try {
    sock->Connect("127.0.0.1", peer.port());
    FAIL() << "second Connect accepted";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kSocketNotClosed);
  }
  EXPECT_EQ(sock->State(), SocketState::kConnected) << "the open connection is kept";
}

TEST_F(SocketTest, ReceivedTextIsAnnouncedThenFetchedOnce) {
  Peer peer(loop);
  ConnectTo(peer);
  peer.Write("220 SNPP ready\r\n");
  ASSERT_TRUE(RunUntil([&] { return !arrivals.empty(); }));
  EXPECT_EQ(arrivals.front(), 16);
  EXPECT_EQ(states_at_arrival.front(), SocketState::kConnected);
  EXPECT_EQ(sock->GetData(), "220 SNPP ready\r\n");
  EXPECT_EQ(sock->GetData(), "");
}

TEST_F(SocketTest, UnfetchedTextAccumulatesAndCountsAllThatWaits) {
  Peer peer(loop);
  ConnectTo(peer);
  peer.Write("214 one\r\n");
  ASSERT_TRUE(RunUntil([&] { return arrivals.size() == 1; }));
  peer.Write("250 two\r\n");
  ASSERT_TRUE(RunUntil([&] { return arrivals.size() == 2; }));
  EXPECT_EQ(arrivals.back(), 18);
  EXPECT_EQ(sock->GetData(), "214 one\r\n250 two\r\n");
}

TEST_F(SocketTest, WritesArriveInOrderExactly) {
  Peer peer(loop);
  ConnectTo(peer);
  Call([&] {
    sock->SendData("PAGE 5550100\r\n");
    sock->SendData("");  // nothing goes out, nothing fails
    sock->SendData("MESS hello");
    sock->SendData("\r\nSEND\r\n");
  });
  const std::string expected = "PAGE 5550100\r\nMESS hello\r\nSEND\r\n";
  ASSERT_TRUE(RunUntil([&] { return peer.received.size() >= expected.size(); }));
  EXPECT_EQ(peer.received, expected);
}

TEST_F(SocketTest, LargeTransfersArriveWholeBothWays) {
  Peer peer(loop);
  ConnectTo(peer);
  std::string big;
  for (int i = 0; big.size() < 300000; ++i) big += "line " + std::to_string(i) + "\r\n";
  std::string got;
  on_data = [&](Long bytes) {
    EXPECT_GT(bytes, 0);
    got += sock->GetData();
  };
  for (std::size_t at = 0; at < big.size(); at += 1000) sock->SendData(big.substr(at, 1000));
  ASSERT_TRUE(RunUntil([&] { return peer.received.size() >= big.size(); }));
  EXPECT_EQ(peer.received, big);
  peer.Write(big);
  ASSERT_TRUE(RunUntil([&] { return got.size() >= big.size(); }));
  EXPECT_EQ(got, big);
}

TEST_F(SocketTest, PeerCloseComesAfterItsDataAndOnlyOnce) {
  Peer peer(loop);
  ConnectTo(peer);
  peer.Write("221 Goodbye\r\n");
  peer.Close();
  ASSERT_TRUE(RunUntil([&] { return !closes.empty(); }));
  ASSERT_EQ(arrivals.size(), 1u);
  EXPECT_EQ(states_at_arrival.front(), SocketState::kConnected);
  EXPECT_EQ(closes.front().number, err::kSocketClosedByPeer);
  EXPECT_EQ(closes.front().state_then, SocketState::kClosing);
  EXPECT_NE(closes.front().description.find("closed the connection"), std::string::npos);
  EXPECT_EQ(sock->State(), SocketState::kClosing);
  EXPECT_EQ(sock->GetData(), "221 Goodbye\r\n") << "unfetched text outlives the connection";
  loop.RunFor(30ms);
  EXPECT_EQ(closes.size(), 1u);

  EXPECT_THROW(sock->SendData("QUIT\r\n"), RuntimeError);
  EXPECT_THROW(sock->Connect("127.0.0.1", peer.port()), RuntimeError);
  sock->Close();
  EXPECT_EQ(sock->State(), SocketState::kClosed);
}

TEST_F(SocketTest, ResetConnectionIsAnIoError) {
  Peer peer(loop);
  ConnectTo(peer);
  peer.Reset();
  ASSERT_TRUE(RunUntil([&] { return !closes.empty(); }));
  EXPECT_EQ(closes.front().number, err::kSocketIo);
  EXPECT_EQ(sock->State(), SocketState::kError);
  loop.RunFor(30ms);
  EXPECT_EQ(closes.size(), 1u);
}

TEST_F(SocketTest, RefusedConnectionIsReportedOnceThenTheSocketCanBeReused) {
  const Long port = UnusedPort(loop);
  Call([&] { sock->Connect("127.0.0.1", port); });
  ASSERT_TRUE(RunUntil([&] { return !closes.empty(); }));
  EXPECT_EQ(closes.front().number, err::kSocketConnectFailed);
  EXPECT_EQ(closes.front().state_then, SocketState::kError);
  EXPECT_NE(closes.front().description.find(std::to_string(port)), std::string::npos)
      << closes.front().description;
  loop.RunFor(30ms);
  EXPECT_EQ(closes.size(), 1u);

  sock->Close();
  Peer peer(loop);
  ConnectTo(peer);
}

TEST_F(SocketTest, UnresolvableHostIsReportedAsBadHost) {
  // Not a valid host name: the resolver refuses it without asking any name server.
  Call([&] { sock->Connect("no such host", 444); });
  EXPECT_EQ(sock->State(), SocketState::kResolvingHost);
  ASSERT_TRUE(RunUntil([&] { return !closes.empty(); }));
  EXPECT_EQ(closes.front().number, err::kSocketBadHost);
  EXPECT_EQ(sock->State(), SocketState::kError);
  EXPECT_NE(closes.front().description.find("no such host"), std::string::npos);
}

TEST_F(SocketTest, CloseDropsWhatWasAboutToBeAnnounced) {
  Peer peer(loop);
  ConnectTo(peer);
  peer.Write("220 too late\r\n");
  std::this_thread::sleep_for(20ms);  // the text waits at our end, not yet read
  Call([&] { sock->Close(); });
  EXPECT_EQ(sock->State(), SocketState::kClosed);
  ASSERT_TRUE(RunUntil([&] { return peer.saw_end; }));
  loop.RunFor(20ms);
  EXPECT_TRUE(arrivals.empty());
  EXPECT_TRUE(closes.empty()) << "our own Close is not reported";
  EXPECT_EQ(sock->GetData(), "");
}

TEST_F(SocketTest, CloseWhileConnectingIsQuiet) {
  Peer peer(loop);
  Call([&] {
    sock->Connect("127.0.0.1", peer.port());
    sock->Close();
  });
  loop.RunFor(30ms);
  EXPECT_EQ(sock->State(), SocketState::kClosed);
  EXPECT_TRUE(closes.empty());
}

TEST_F(SocketTest, CloseIsHarmlessWhenAlreadyClosed) {
  sock->Close();
  sock->Close();
  EXPECT_EQ(sock->State(), SocketState::kClosed);
}

TEST_F(SocketTest, HandlerMayCloseAndConnectElsewhere) {
  Peer first(loop);
  Peer second(loop);
  ConnectTo(first);
  on_data = [&](Long) {
    on_data = nullptr;
    EXPECT_EQ(sock->GetData(), "421 go away\r\n");
    sock->Close();
    sock->Connect("127.0.0.1", second.port());
  };
  first.Write("421 go away\r\n");
  ASSERT_TRUE(
      RunUntil([&] { return second.accepted && sock->State() == SocketState::kConnected; }));
  first.Write("more from the old connection\r\n");
  second.Write("220 hello\r\n");
  ASSERT_TRUE(RunUntil([&] { return arrivals.size() == 2; }));
  EXPECT_EQ(sock->GetData(), "220 hello\r\n");
  loop.RunFor(20ms);
  EXPECT_EQ(arrivals.size(), 2u);
  EXPECT_TRUE(closes.empty());
}

TEST_F(SocketTest, HandlerMayDestroyTheSocket) {
  Peer peer(loop);
  ConnectTo(peer);
  on_data = [&](Long) { sock.reset(); };
  peer.Write("220 hello\r\n");
  ASSERT_TRUE(RunUntil([&] { return sock == nullptr; }));
  peer.Write("250 more\r\n");
  loop.RunFor(20ms);
  EXPECT_EQ(arrivals.size(), 1u);
}

TEST_F(SocketTest, DestroyingWithOperationsPendingIsQuiet) {
  Peer peer(loop);
  sock->Connect("127.0.0.1", peer.port());
  sock.reset();
  auto named = MakeAsioSocket(loop);
  named->Connect("localhost", peer.port());
  named.reset();
  loop.RunFor(30ms);
  EXPECT_TRUE(arrivals.empty());
  EXPECT_TRUE(closes.empty());
}

}  // namespace
}  // namespace kestrel::platform
