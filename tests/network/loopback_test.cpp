// The real control on the real Asio socket and timer against a scripted loopback server that
// behaves: replies cut at every byte offset and delivered in two reads, all replies in one write,
// the connect time-out on the real one-second timer, and the calls a host may make at odd times.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/platform/forwarding_socket.hpp"
#include "scripted_server.hpp"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr auto kPatience = 10s;  // an upper bound for loopback work, never waited out when OK
constexpr const char* kTimeout = "Connect Server Time out!";

const std::vector<std::string> kReplies = {
    "220 SNPP Gateway Ready\r\n", "250 Pager ID Accepted\r\n", "250 Message OK\r\n",
    "250 Message Sent Successfully\r\n", "221 OK, Goodbye\r\n"};
const std::vector<std::string> kCommands = {"PAGE 5551234\r\n", "MESS disk full on db1\r\n",
                                            "SEND\r\n", "QUIT\r\n"};

// Counts, for the server's thread to see, how many bytes the control has fetched.
class FetchCounter final : public platform::ForwardingSocket {
 public:
  FetchCounter(std::unique_ptr<platform::Socket> inner, std::atomic<std::size_t>& fetched)
      : ForwardingSocket(std::move(inner)), fetched_(fetched) {}
  String GetData() override {
    String data = ForwardingSocket::GetData();
    fetched_ += data.size();
    return data;
  }

 private:
  std::atomic<std::size_t>& fetched_;
};

// A level-1 control on 127.0.0.1:port whose socket reports what it fetched.
struct CountedClient {
  CountedClient(int port, std::atomic<std::size_t>& fetched) {
    ctl = std::make_unique<session::SNPPInstance>(
        host, std::make_unique<FetchCounter>(platform::MakeAsioSocket(loop), fetched),
        platform::MakeAsioTimer(loop));
    ctl->put_Server("127.0.0.1");
    ctl->put_ServerPort(port);
    ctl->put_SnppLevel(1);
    ctl->put_Recipient("5551234");
    ctl->put_Message("disk full on db1");
  }
  bool Finished() {
    return !host.events.empty() && ctl->sck().State() == platform::SocketState::kClosed;
  }
  platform::EventLoop loop;
  LoopHost host{loop};
  std::unique_ptr<session::SNPPInstance> ctl;
};

TEST(Loopback, DialogueWithTheReplyStreamCutAtEveryByte) {
  std::string stream;
  for (const auto& r : kReplies) stream += r;
  std::atomic<std::size_t> cut{0}, fetched{0};
  ScriptedServer server([&](ServerPeer& peer) {
    std::size_t sent = 0;
    for (std::size_t i = 0; i < kReplies.size(); ++i) {
      if (i > 0) {
        auto line = peer.ReadLine();
        if (!line) return;
        server.Record(*line);
      }
      const std::string& reply = kReplies[i];
      const std::size_t c = cut.load();
      if (c > sent && c < sent + reply.size()) {
        // Send the first piece, and the rest only once the control has fetched it: the two
        // pieces arrive in two reads.
        const std::size_t first = c - sent;
        if (!peer.Send(reply.substr(0, first))) return;
        const auto limit = std::chrono::steady_clock::now() + kPatience;
        while (fetched.load() < c && std::chrono::steady_clock::now() < limit) {
          std::this_thread::sleep_for(1ms);
        }
        if (!peer.Send(reply.substr(first))) return;
      } else if (!peer.Send(reply)) {
        return;
      }
      sent += reply.size();
    }
    peer.Close();
  });
  for (std::size_t c = 1; c < stream.size(); ++c) {
    cut = c;
    fetched = 0;
    CountedClient client(server.port(), fetched);
    client.ctl->Send();
    ASSERT_TRUE(client.loop.RunUntil([&] { return client.Finished(); }, kPatience))
        << "cut at " << c;
    ASSERT_THAT(client.host.completions(), ElementsAre(kReplies[3])) << "cut at " << c;
    ASSERT_THAT(client.host.errors(), IsEmpty()) << "cut at " << c;
    EXPECT_EQ(client.ctl->get_State(), 14);
    EXPECT_FALSE(client.ctl->Timer1().Enabled());
  }
  // Every connection saw the same four commands, each whole and in order.
  const auto received = server.received();
  ASSERT_EQ(received.size(), kCommands.size() * (stream.size() - 1));
  for (std::size_t i = 0; i < received.size(); ++i) {
    ASSERT_EQ(received[i], kCommands[i % kCommands.size()]) << "line " << i;
  }
}

TEST(Loopback, RepliesSentBeforeTheirCommandsAreNeverTakenForThem) {
  // A level-2 page with a DATA body: the server answers everything up to SEND before it is
  // asked. However the bytes are cut into reads, some reply was there before its command was
  // written: the control says so, never takes it for the reply, and SEND never goes out.
  ScriptedServer server([&](ServerPeer& peer) {
    peer.Send("220 hi\r\n250 page\r\n354 go ahead\r\n250 body\r\n250 sent\r\n");
    while (auto line = peer.ReadLine()) server.Record(*line);
  });
  Client client(server.port(), 1);
  client.ctl->put_SnppLevel(2);
  client.ctl->put_Message("");
  client.ctl->put_Data("two\nlines");
  client.ctl->Send();
  ASSERT_TRUE(client.RunUntil([&] { return !client.host.errors().empty(); }, kPatience));
  EXPECT_THAT(client.host.errors(), ElementsAre(HasSubstr("so it cannot be the reply to it")));
  EXPECT_EQ(client.ctl->LastErrorNumber(), err::kReplyOutOfTurn);
  EXPECT_THAT(client.host.completions(), IsEmpty());
  client.ctl->CloseConnect();
  EXPECT_THAT(server.received(), Not(Contains("SEND\r\n")));
}

// A server that accepts and never says a word.
std::unique_ptr<ScriptedServer> Mute() {
  return std::make_unique<ScriptedServer>([](ServerPeer& peer) { peer.HoldUntilClientCloses(); });
}

TEST(Loopback, TimeOutOnTheRealOneSecondTimer) {
  for (Integer timeout : {0, 1}) {
    auto server = Mute();
    Client client(server->port(), 1, /*tick=*/1000);
    client.ctl->put_ServerTimeout(timeout);
    const auto start = std::chrono::steady_clock::now();
    client.ctl->Send();
    ASSERT_TRUE(client.RunUntil([&] { return !client.host.events.empty(); }, kPatience));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_THAT(client.host.errors(), ElementsAre(kTimeout));
    // The time-out fires on the tick that takes the count past ServerTimeout.
    EXPECT_GE(waited, std::chrono::milliseconds(1000 * (timeout + 1) - 100)) << timeout;
    EXPECT_EQ(client.ctl->get_State(), 14);
    EXPECT_EQ(client.ctl->sck().State(), platform::SocketState::kClosed);
  }
}

TEST(Loopback, CloseConnectWhileWaitingForTheGreetingStillTimesOut) {
  auto server = Mute();
  Client client(server->port(), 1);
  client.ctl->Send();
  client.ctl->CloseConnect();
  EXPECT_EQ(client.ctl->sck().State(), platform::SocketState::kClosed);
  ASSERT_TRUE(client.RunUntil([&] { return !client.host.events.empty(); }, kPatience));
  EXPECT_THAT(client.host.errors(), ElementsAre(kTimeout));
  client.loop.RunFor(3 * std::chrono::milliseconds(Client::kTick));
  EXPECT_EQ(client.host.events.size(), 1u);
}

TEST(Loopback, ConnectAfterATimedOutSendTimesOutOnTheNextTick) {
  auto server = Mute();
  Client client(server->port(), 1);
  client.ctl->Send();
  ASSERT_TRUE(client.RunUntil([&] { return client.host.events.size() == 1; }, kPatience));
  // The timer still runs and the count is past ServerTimeout: the first tick ends this one too.
  client.ctl->Connect();
  ASSERT_TRUE(client.RunUntil([&] { return client.host.events.size() == 2; },
                              10 * std::chrono::milliseconds(Client::kTick)));
  EXPECT_THAT(client.host.errors(), ElementsAre(kTimeout, kTimeout));
}

TEST(Loopback, SendWhileTheConnectionIsStillOpenIsRefused) {
  ScriptedServer server([&](ServerPeer& peer) {
    peer.Send("220 hi\r\n");
    if (peer.ReadLine()) peer.Send("550 Error, Invalid Pager ID\r\n");
    peer.HoldUntilClientCloses();
  });
  Client client(server.port(), 1);
  client.ctl->Send();
  ASSERT_TRUE(client.RunUntil([&] { return !client.host.events.empty(); }, kPatience));
  EXPECT_THAT(client.host.errors(), ElementsAre("550 Error, Invalid Pager ID\r\n"));
  try {
    client.ctl->Send();
    FAIL() << "a second Send on an open connection went through";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kSocketNotClosed);
    EXPECT_THAT(e.description(), HasSubstr("close it"));
  }
  client.ctl->CloseConnect();
  EXPECT_EQ(client.ctl->get_State(), 11);
}

}  // namespace
}  // namespace kestrel::testing
