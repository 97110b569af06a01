#include "scripted_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>
#include <utility>

namespace kestrel::testing {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kSlice = 20ms;    // how often a waiting server looks at its stop flag
constexpr auto kPatience = 10s;  // the longest the server waits for its client, ever

[[noreturn]] void Fail(const char* what) {
  throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

// --- ServerPeer ----------------------------------------------------------------------------------

ServerPeer::~ServerPeer() {
  if (fd_ >= 0) ::close(fd_);
}

bool ServerPeer::WaitReadable(std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!stop_.load() && Clock::now() < end) {
    pollfd p{fd_, POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(kSlice.count()));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
  return false;
}

bool ServerPeer::Send(std::string_view bytes) {
  while (!bytes.empty() && fd_ >= 0) {
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(kSlice.count())) <= 0) {
      if (stop_.load()) return false;
      continue;
    }
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return bytes.empty();
}

std::optional<std::string> ServerPeer::ReadLine() {
  for (;;) {
    const auto lf = in_.find('\n');
    if (lf != std::string::npos) {
      std::string line = in_.substr(0, lf + 1);
      in_.erase(0, lf + 1);
      return line;
    }
    if (fd_ < 0 ||
        !WaitReadable(std::chrono::duration_cast<std::chrono::milliseconds>(kPatience))) {
      return std::nullopt;
    }
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return std::nullopt;
    in_.append(buf, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> ServerPeer::ReadBody() {
  std::string body;
  for (int lines = 0; lines < 100000; ++lines) {
    auto line = ReadLine();
    if (!line) return std::nullopt;
    body += *line;
    if (*line == ".\r\n" || *line == ".\n") return body;
  }
  return std::nullopt;
}

void ServerPeer::Reset() {
  if (fd_ < 0) return;
  const linger hard{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(fd_);
  fd_ = -1;
}

void ServerPeer::Close() {
  if (fd_ < 0) return;
  ::shutdown(fd_, SHUT_WR);
  // Let the client see the FIN before the socket goes, so the close is orderly on both sides.
  char buf[512];
  while (WaitReadable(500ms) && ::recv(fd_, buf, sizeof buf, 0) > 0) {
  }
  ::close(fd_);
  fd_ = -1;
}

void ServerPeer::HoldUntilClientCloses() {
  char buf[4096];
  const auto end = Clock::now() + kPatience;
  while (fd_ >= 0 && !stop_.load() && Clock::now() < end) {
    if (!WaitReadable(100ms)) continue;
    if (::recv(fd_, buf, sizeof buf, 0) <= 0) return;  // the client closed (or reset)
  }
}

// --- ScriptedServer ------------------------------------------------------------------------------

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) Fail("socket");
  const int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Fail("bind");
  if (::listen(listener_, 8) != 0) Fail("listen");
  socklen_t len = sizeof addr;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  ::close(listener_);
}

void ScriptedServer::Serve() {
  while (!stop_.load()) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(kSlice.count())) <= 0) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    ServerPeer peer(fd, stop_);
    try {
      script_(peer);
    } catch (const std::exception&) {
      // A script that could not go on simply ends its connection; the test sees the result.
    }
  }
}

void ScriptedServer::Record(std::string line) {
  const std::lock_guard lock(mutex_);
  received_.push_back(std::move(line));
}

std::vector<std::string> ScriptedServer::received() const {
  const std::lock_guard lock(mutex_);
  return received_;
}

// --- The dialogue --------------------------------------------------------------------------------

std::string RandomBytes(std::uint32_t seed, std::size_t length) {
  std::mt19937 gen(seed);  // the engine's output is fixed by the standard: same bytes everywhere
  std::string out(length, '\0');
  for (auto& c : out) c = static_cast<char>(gen() & 0xFF);
  return out;
}

std::string JunkLine(std::uint32_t seed, std::size_t length) {
  std::string line = RandomBytes(seed, length);
  for (auto& c : line) {
    if (c == '\r' || c == '\n') c = '?';
  }
  if (!line.empty() && line[0] >= '0' && line[0] <= '9') line[0] = '#';
  return line + "\r\n";
}

const std::string& HugeLine() {
  static const std::string line = [] {
    std::string s(1u << 20, 'A');
    for (std::size_t i = 0; i < s.size(); i += 64) s[i] = ' ';
    s.replace(0, 12, "Overflowing:");
    return s;
  }();
  return line;
}

namespace {

void Strike(ServerPeer& peer, ScriptedServer& server, const FaultPlan& plan) {
  switch (plan.fault) {
    case Fault::kNone:
      return;
    case Fault::kReset:
      peer.Reset();
      break;
    case Fault::kClose:
      peer.Close();
      break;
    case Fault::kSilence:
      break;
    case Fault::kJunkLine:
      peer.Send(JunkLine(plan.seed));
      break;
    case Fault::kHugeLine:
      peer.Send(HugeLine());
      break;
    case Fault::kRandomFlood:
      peer.Send(RandomBytes(plan.seed, kFloodBytes));
      peer.Close();
      break;
  }
  server.MarkDone();
  peer.HoldUntilClientCloses();  // returns at once when the connection is already gone
}

}  // namespace

void PlayDialogue(ServerPeer& peer, ScriptedServer& server, const FaultPlan& plan) {
  if (plan.at == "greeting" && plan.fault != Fault::kNone) return Strike(peer, server, plan);
  peer.Send("220 SNPP Gateway Ready\r\n");
  for (int step = 0; step < 64; ++step) {
    auto line = peer.ReadLine();
    if (!line) return;
    server.Record(*line);
    const std::string word = line->substr(0, 4);
    if (word == plan.at && plan.fault != Fault::kNone) return Strike(peer, server, plan);
    if (word == "QUIT") {
      peer.Send("221 OK, Goodbye\r\n");
      peer.Close();
      return;
    }
    if (word == "DATA") {
      peer.Send("354 Begin Input; End with <CRLF>'.'<CRLF>\r\n");
      auto body = peer.ReadBody();
      if (!body) return;
      server.Record(*body);
      if (plan.at == "body" && plan.fault != Fault::kNone) return Strike(peer, server, plan);
      peer.Send("250 Message OK\r\n");
      continue;
    }
    peer.Send(word == "SEND" ? "250 Message Sent Successfully\r\n" : "250 OK\r\n");
  }
}

}  // namespace kestrel::testing
