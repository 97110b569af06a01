#pragma once
// A misbehaving SNPP server for fault tests: it listens on 127.0.0.1 (port 0) and plays a script
// on each connection it accepts, on a thread of its own, with plain blocking sockets.
//
// Threading: the script runs on the server's thread; the test talks to the control on its own
// thread, so the two are as independent as a real server and client. What the server saw is
// read back through locked accessors. Every wait of the server is bounded (a time limit on each
// read, a stop flag checked at least every 20 ms), so a test that goes wrong fails instead of
// hanging, and the destructor always returns.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kestrel::testing {

// One accepted connection, seen from the server.
class ServerPeer {
 public:
  ServerPeer(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}
  ~ServerPeer();
  ServerPeer(const ServerPeer&) = delete;
  ServerPeer& operator=(const ServerPeer&) = delete;

  // Writes all of `bytes`; false when the client has gone.
  bool Send(std::string_view bytes);
  // The next line the client sent, with its line end; nothing when the client closed, the
  // connection broke, the time limit passed or the server is stopping.
  std::optional<std::string> ReadLine();
  // A DATA body: the lines up to and including the "." line.
  std::optional<std::string> ReadBody();
  // Ends the connection with a reset (RST): SO_LINGER with a zero time-out, then close.
  void Reset();
  // Ends the connection in order (FIN).
  void Close();
  // Keeps the connection open, answering nothing, until the client closes it or the server stops.
  void HoldUntilClientCloses();

 private:
  // Waits until the socket is readable; false on time-out or stop.
  bool WaitReadable(std::chrono::milliseconds limit);

  int fd_;
  const std::atomic<bool>& stop_;
  std::string in_;  // received and not yet handed out
};

class ScriptedServer {
 public:
  using Script = std::function<void(ServerPeer&)>;

  // Starts listening and serving; each accepted connection runs `script`, one at a time.
  explicit ScriptedServer(Script script);
  // Stops: no more connections; a script waiting on its client gives up within its slice.
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }

  // A line or body the client sent, recorded by the script. Thread-safe.
  void Record(std::string line);
  std::vector<std::string> received() const;
  int connections() const { return connections_.load(); }
  // Set by a script once it has done its part (sent its fault, or begun to keep quiet).
  void MarkDone() { done_ = true; }
  bool done() const { return done_.load(); }

 private:
  void Serve();

  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
  std::thread thread_;
};

// A well-behaved level 1 and 2 dialogue, broken on purpose at one step.
enum class Fault {
  kNone,         // answer everything properly
  kReset,        // reset the connection
  kClose,        // close the connection in order
  kSilence,      // stop answering; keep the connection open
  kJunkLine,     // answer with one line of seeded random bytes, then keep quiet
  kHugeLine,     // answer with 1 MiB that has no line end, then keep quiet
  kRandomFlood,  // answer with kFloodBytes seeded random bytes, then close
};

inline constexpr std::size_t kFloodBytes = 64 * 1024;

// Where the fault strikes: "greeting" (before the greeting), a command word as the client
// writes it ("LOGI", "PAGE", "SEND", ...; the fault comes in place of its reply), or "body"
// (after the DATA body, in place of its reply).
struct FaultPlan {
  std::string at;
  Fault fault = Fault::kNone;
  std::uint32_t seed = 1861;
};

// The line a kJunkLine fault sends: random bytes from `seed`, none of them CR or LF, never
// starting with a digit (so it is no reply code), then CR LF.
std::string JunkLine(std::uint32_t seed, std::size_t length = 200);
// `length` bytes of random junk from `seed`, every byte value allowed.
std::string RandomBytes(std::uint32_t seed, std::size_t length);
// The 1 MiB that a kHugeLine fault sends: no line end anywhere, and no reply code at its start.
const std::string& HugeLine();

// Plays the dialogue on `peer`, recording what the client sends into `server`.
void PlayDialogue(ServerPeer& peer, ScriptedServer& server, const FaultPlan& plan);

}  // namespace kestrel::testing
