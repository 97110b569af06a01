#pragma once
// FloorClient: the least a client can do to send the same pages as the paging control, written
// directly on Asio. It is the floor the control's throughput is compared with.
//
// Each connection replays a recorded dialogue (see RecordDialogue): it reads reply lines, checks
// each reply's code against the script and writes exactly the bytes the control writes in
// answer, with the same writes (one per command; the DATA body and its "." as two), TCP_NODELAY
// as the control sets it, and a read always pending as the control keeps one. After the 221 it
// closes and connects again at once. It has no time-out timer, no properties, no events.

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kestrel/bench/pages.hpp"

namespace kestrel::bench {

class FloorClient {
 public:
  FloorClient(std::size_t connections, std::uint16_t port, std::vector<ScriptStep> script);
  ~FloorClient();
  FloorClient(const FloorClient&) = delete;
  FloorClient& operator=(const FloorClient&) = delete;

  void Start();
  // Runs until `total` pages have been delivered (replies to SEND) since construction; false on
  // the time limit.
  bool RunUntilCompleted(std::uint64_t total, std::chrono::milliseconds limit);
  // Stops starting pages and runs until every connection is closed; false on the time limit.
  bool Drain(std::chrono::milliseconds limit);

  std::uint64_t completed() const noexcept { return completed_; }
  std::uint64_t errors() const noexcept { return errors_; }

 private:
  struct Connection;
  bool RunWhile(bool (FloorClient::*keep_going)() const, std::chrono::milliseconds limit);
  bool BelowTarget() const { return completed_ < target_; }
  bool AnyActive() const { return active_ > 0; }
  void ArmWatchdog();
  void Connect(Connection& c);
  void Read(Connection& c);
  void OnReply(Connection& c, const std::string& line);
  void WriteStep(Connection& c, std::size_t step, std::size_t write);
  void Finish(Connection& c, bool failed);

  asio::io_context io_{1};
  asio::ip::tcp::endpoint server_;
  std::vector<ScriptStep> script_;
  std::vector<std::unique_ptr<Connection>> connections_;
  asio::steady_timer watchdog_{io_};
  std::chrono::steady_clock::time_point deadline_{};
  bool (FloorClient::*keep_going_)() const = nullptr;
  std::uint64_t completed_ = 0;
  std::uint64_t errors_ = 0;
  std::uint64_t target_ = 0;
  std::size_t active_ = 0;
  bool resend_ = false;
};

}  // namespace kestrel::bench
