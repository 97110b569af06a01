#pragma once
// SandboxServer: a small SNPP server (RFC 1861, levels 1 and 2) on the loopback, for trying
// clients out by hand and for tests that want a real peer in the same process.
//
// It accepts up to Options::max_sessions connections on the host's EventLoop and answers each
// command line with one reply, the way a real paging gateway does, except that pages go nowhere:
// each page a client sends is kept in pages() (unless keep_pages is off), handed to the OnPage
// callback and, when a log stream is set, written to it as one JSON line. Switches in Options make
// it misbehave on purpose (refuse pager IDs, never greet, greet late, fail every SEND, drop idle
// sessions, answer slowly, turn the first connections away, lose the reply to SEND).
//
//   acceptor ──accept──▶ Connection ──[TLS handshake]──greeting (now, later or never)──▶ read
//   read ──bytes──▶ command framer ──each line──▶ Dialogue ──reply──▶ write ──▶ read again
//                                                    └──page──▶ pages(), log line, OnPage
//   idle timer, command timer ──▶ 421 Timeout, Goodbye ──▶ close
//
// Threading: everything runs on the thread that runs the EventLoop; no locks. The constructor
// binds and listens, the loop does the rest. OnPage fires from inside the loop while a SEND is
// handled; it may call Stop() or destroy the server. After Stop() or destruction, callbacks that
// are still queued on the loop do nothing.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrel/platform/event_loop.hpp"

namespace kestrel::sandbox {

// Every member has a default, so these are meant to be written with designated initializers:
// Options{.fail_send = true}.
struct Credentials {
  std::string user{};
  std::string password{};
};

struct Options {
  std::string listen_address = "127.0.0.1";
  std::uint16_t port = 0;  // 0: the system picks a free port; see SandboxServer::port()
  // PAGE with one of these IDs is answered 550.
  std::vector<std::string> refused_pagers{};
  // When set, LOGI must name this user and password; otherwise any login is accepted.
  std::optional<Credentials> login{};
  bool greeting = true;  // false: accept connections but never say anything
  std::chrono::milliseconds greet_delay{0};
  bool fail_send = false;  // every complete SEND is answered 554
  std::chrono::milliseconds idle_timeout{std::chrono::minutes(5)};  // zero: never
  // Every reply goes out this long after the commands it answers arrived (a wide-area gateway).
  std::chrono::milliseconds reply_delay{0};
  // The first this many connections get "421 Service unavailable, try later" and are closed.
  std::size_t fail_first = 0;
  // After a complete SEND the page is kept and logged, and the connection is closed without a
  // reply: the reply lost on its way back.
  bool drop_after_send = false;
  // A command line (or DATA body line) must be complete within this time of its first byte,
  // however busy the client keeps the connection; otherwise 421 and close. Zero: never.
  std::chrono::milliseconds command_timeout{std::chrono::minutes(1)};
  // The longest message text (MESS line or DATA body) taken; a longer one is answered 550.
  std::size_t max_message = 64 * 1024;
  // Connections beyond this many open ones are answered 421 and closed at once.
  std::size_t max_sessions = 256;
  // false: pages are handed to OnPage and the log, then forgotten (pages() stays empty), so a
  // long run holds no more memory than its open sessions do.
  bool keep_pages = true;
  // Not owned. Each page is written to it as one JSON line and flushed.
  std::ostream* page_log = nullptr;
  // When set, every connection is TLS from its first byte, with this certificate (PEM chain)
  // and key (PEM; empty: in the certificate file); the greeting follows the handshake. A client
  // that does not finish the handshake within idle_timeout is dropped.
  std::string tls_cert{};
  std::string tls_key{};
};

// One pager of a page, with the options that were given before its PAGE command.
struct Recipient {
  std::string id{};  // the PIN, if one was given, is not kept
  std::optional<int> level{};
  std::optional<std::string> coverage{};
  std::optional<std::string> hold{};  // as sent: "YYMMDDHHMM[SS]", then " +HHMM"/" -HHMM" if given
  std::optional<bool> alert{};

  bool operator==(const Recipient&) const = default;
};

enum class MessageVia { kMess, kData };

struct Page {
  std::vector<Recipient> pagers{};
  std::string message{};  // a DATA body has its lines joined with "\n", without a final one
  std::optional<std::string> subject{};
  std::optional<std::string> caller{};
  std::optional<std::string> login{};  // the user name only
  MessageVia via = MessageVia::kMess;
  std::chrono::system_clock::time_point time{};
};

// The page as one line of JSON, without a line end. Fields that were not given are left out;
// bytes that are not UTF-8 come out as U+FFFD.
std::string PageToJson(const Page& page);

class SandboxServer {
 public:
  // Binds to options.listen_address:options.port and starts accepting on `loop`.
  // Throws std::system_error when the address, or the TLS certificate or key, is not usable.
  SandboxServer(platform::EventLoop& loop, Options options);
  ~SandboxServer();
  SandboxServer(const SandboxServer&) = delete;
  SandboxServer& operator=(const SandboxServer&) = delete;

  // Closes the listener and every connection at once, without a goodbye. Idempotent.
  void Stop() noexcept;

  std::string address() const;
  std::uint16_t port() const;  // the port actually bound
  std::size_t connection_count() const;
  // The most sessions open at once so far: connections accepted (and not turned away) whose
  // goodbye had not yet been queued.
  std::size_t max_session_count() const;
  const std::vector<Page>& pages() const;
  void OnPage(std::function<void(const Page&)> callback);

  class Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace kestrel::sandbox
