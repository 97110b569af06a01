#include "floor_client.hpp"

#include <asio/connect.hpp>
#include <asio/ip/address.hpp>
#include <asio/write.hpp>

#include <system_error>
#include <utility>

namespace kestrel::bench {

using asio::ip::tcp;

struct FloorClient::Connection {
  explicit Connection(asio::io_context& io) : socket(io) {}
  tcp::socket socket;
  std::array<char, 4096> buffer{};
  std::string input;             // received, not yet split into lines
  std::size_t step = 0;          // the script step whose reply comes next
  std::uint64_t generation = 0;  // one per connection; older completions are ignored
  bool open = false;
};

FloorClient::FloorClient(std::size_t connections, std::uint16_t port,
                         std::vector<ScriptStep> script)
    : server_(asio::ip::make_address("127.0.0.1"), port), script_(std::move(script)) {
  connections_.reserve(connections);
  for (std::size_t i = 0; i < connections; ++i) {
    connections_.push_back(std::make_unique<Connection>(io_));
  }
}

FloorClient::~FloorClient() {
  for (auto& c : connections_) {
    std::error_code ignored;
    c->socket.close(ignored);
  }
  watchdog_.cancel();
  io_.restart();
  io_.poll();  // let the cancelled operations finish while the connections still exist
}

void FloorClient::Start() {
  resend_ = true;
  for (auto& c : connections_) Connect(*c);
}

bool FloorClient::RunUntilCompleted(std::uint64_t total, std::chrono::milliseconds limit) {
  target_ = total;
  return RunWhile(&FloorClient::BelowTarget, limit);
}

bool FloorClient::Drain(std::chrono::milliseconds limit) {
  resend_ = false;
  target_ = UINT64_MAX;
  return RunWhile(&FloorClient::AnyActive, limit);
}

bool FloorClient::RunWhile(bool (FloorClient::*keep_going)() const,
                           std::chrono::milliseconds limit) {
  deadline_ = std::chrono::steady_clock::now() + limit;
  keep_going_ = keep_going;
  ArmWatchdog();
  while ((this->*keep_going)() && std::chrono::steady_clock::now() < deadline_) {
    io_.restart();
    io_.run();
  }
  keep_going_ = nullptr;
  watchdog_.cancel();
  return !(this->*keep_going)();
}

void FloorClient::ArmWatchdog() {
  watchdog_.expires_after(std::chrono::milliseconds(100));
  watchdog_.async_wait([this](const std::error_code& error) {
    if (error || !keep_going_) return;
    if (std::chrono::steady_clock::now() >= deadline_) {
      io_.stop();
      return;
    }
    ArmWatchdog();
  });
}

void FloorClient::Connect(Connection& c) {
  c.step = 0;
  c.input.clear();
  c.open = true;
  const auto generation = ++c.generation;
  ++active_;
  c.socket.async_connect(server_, [this, &c, generation](const std::error_code& error) {
    if (!c.open || c.generation != generation) return;
    if (error) return Finish(c, true);
    std::error_code ignored;
    c.socket.set_option(tcp::no_delay(true), ignored);
    Read(c);
  });
}

void FloorClient::Read(Connection& c) {
  const auto generation = c.generation;
  c.socket.async_read_some(asio::buffer(c.buffer),
                           [this, &c, generation](const std::error_code& error, std::size_t n) {
                             if (!c.open || c.generation != generation) return;
                             if (error)
                               return Finish(c, true);  // the server closes only after our 221
                             c.input.append(c.buffer.data(), n);
                             std::size_t start = 0;
                             for (auto lf = c.input.find('\n'); lf != std::string::npos;
                                  lf = c.input.find('\n', start)) {
                               const std::string line = c.input.substr(start, lf + 1 - start);
                               start = lf + 1;
                               OnReply(c, line);
                               if (!c.open || c.generation != generation) return;
                             }
                             c.input.erase(0, start);
                             Read(c);
                           });
}

void FloorClient::OnReply(Connection& c, const std::string& line) {
  const std::size_t current = c.step++;
  if (current >= script_.size()) return Finish(c, true);
  const ScriptStep& step = script_[current];
  if (line.compare(0, 3, step.reply, 0, 3) != 0) return Finish(c, true);
  if (step.page_done) {
    ++completed_;
    if (keep_going_ && !(this->*keep_going_)()) io_.stop();
  }
  if (step.writes.empty()) return Finish(c, false);  // the 221: the dialogue is over
  WriteStep(c, current, 0);
}

void FloorClient::WriteStep(Connection& c, std::size_t step, std::size_t write) {
  const std::string& bytes = script_[step].writes[write];
  const auto generation = c.generation;
  asio::async_write(c.socket, asio::buffer(bytes),
                    [this, &c, step, write, generation](const std::error_code& error, std::size_t) {
                      if (!c.open || c.generation != generation) return;
                      if (error) return Finish(c, true);
                      if (write + 1 < script_[step].writes.size()) WriteStep(c, step, write + 1);
                    });
}

void FloorClient::Finish(Connection& c, bool failed) {
  if (!c.open) return;
  c.open = false;
  --active_;
  if (failed) ++errors_;
  std::error_code ignored;
  c.socket.close(ignored);
  if (failed) return;
  if (resend_) Connect(c);
  if (keep_going_ && !(this->*keep_going_)()) io_.stop();
}

}  // namespace kestrel::bench
