// Heap bytes per paging control: idle (new, configured, and after a delivered page) and with a
// session in flight (held at the greeting, and held after SEND with every level-2 option set).
//
// The allocator is replaced to keep a count of the live heap blocks of the process, in the bytes
// glibc's allocator takes for them (see below). The servers run in processes of their own and are
// not counted, and kernel socket buffers are not heap. Each figure
// is a difference over many controls divided by their number, so what the loop allocates once for
// everybody is left out. Resident memory over the same controls is given beside the heap count as a
// cross-check.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common.hpp"
#include "kestrel/bench/pages.hpp"
#include "kestrel/bench/paging_driver.hpp"
#include "kestrel/bench/sandbox_process.hpp"
#include "kestrel/platform/event_loop.hpp"

// --- Counting allocator
// ---------------------------------------------------------------------------
//
// The C allocator itself is replaced, not only operator new: Asio takes the memory of its pending
// operations with std::aligned_alloc and gives it back with std::free, and those would be missed.
// Each function hands on to glibc's own and counts the live blocks and the bytes they take: the
// usable size of each block plus its 8-byte size field. The servers run in processes of their
// own, so everything counted here belongs to the client.

extern "C" {
void* __libc_malloc(std::size_t);
void __libc_free(void*);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void* __libc_valloc(std::size_t);
void* __libc_pvalloc(std::size_t);
}

namespace {

std::atomic<std::int64_t> g_live_bytes{0};
std::atomic<std::int64_t> g_live_blocks{0};

void Add(void* p, int sign) noexcept {
  const auto bytes = static_cast<std::int64_t>(malloc_usable_size(p) + sizeof(std::size_t));
  g_live_bytes.fetch_add(sign * bytes, std::memory_order_relaxed);
  g_live_blocks.fetch_add(sign, std::memory_order_relaxed);
}

void* Counted(void* p) noexcept {
  if (p) Add(p, +1);
  return p;
}

}  // namespace

extern "C" {
void* malloc(std::size_t n) noexcept {
  return Counted(__libc_malloc(n));
}
void free(void* p) noexcept {
  if (p) Add(p, -1);
  __libc_free(p);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  return Counted(__libc_calloc(count, size));
}
void* realloc(void* p, std::size_t n) noexcept {
  if (!p) return Counted(__libc_malloc(n));
  Add(p, -1);
  void* q = __libc_realloc(p, n);
  if (q) {
    Add(q, +1);
  } else if (n != 0) {
    Add(p, +1);  // failed: the old block is still there
  }
  return q;
}
void* reallocarray(void* p, std::size_t count, std::size_t size) noexcept {
  std::size_t n = 0;
  if (__builtin_mul_overflow(count, size, &n)) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(p, n);
}
void* memalign(std::size_t align, std::size_t n) noexcept {
  return Counted(__libc_memalign(align, n));
}
void* aligned_alloc(std::size_t align, std::size_t n) noexcept {
  return Counted(__libc_memalign(align, n));
}
int posix_memalign(void** out, std::size_t align, std::size_t n) noexcept {
  if (align % sizeof(void*) != 0 || (align & (align - 1)) != 0) return EINVAL;
  void* p = Counted(__libc_memalign(align, n));
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
void* valloc(std::size_t n) noexcept {
  return Counted(__libc_valloc(n));
}
void* pvalloc(std::size_t n) noexcept {
  return Counted(__libc_pvalloc(n));
}
}

namespace {

using namespace kestrel;
using namespace std::chrono_literals;
using asio::ip::tcp;
using bench::PageKind;

struct Snapshot {
  std::int64_t bytes = g_live_bytes.load();
  std::int64_t blocks = g_live_blocks.load();
  std::int64_t rss = ResidentBytes();

  static std::int64_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::int64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
  }
};

void Report(benchmark::State& state, const Snapshot& before, const Snapshot& after, std::size_t n) {
  const auto per = [n](std::int64_t d) { return static_cast<double>(d) / static_cast<double>(n); };
  state.counters["heap_bytes_per_control"] = per(after.bytes - before.bytes);
  state.counters["heap_blocks_per_control"] = per(after.blocks - before.blocks);
  state.counters["rss_bytes_per_control"] = per(after.rss - before.rss);
  state.counters["controls"] = static_cast<double>(n);
}

// A host for controls that never run a session here.
class QuietHost final : public platform::ControlHost {
 public:
  void PropertyChanged(std::string_view) override {}
  void RaiseEvent(platform::EventId, String&) override {}
  void DoEvents() override {}
};

std::unique_ptr<session::SNPPInstance> NewControl(platform::EventLoop& loop, QuietHost& host) {
  return std::make_unique<session::SNPPInstance>(host, platform::MakeAsioSocket(loop),
                                                 platform::MakeAsioTimer(loop));
}

// Idle controls: constructed (arg 0) or with a level-2 page's every property set (arg 1).
void BM_IdleControl(benchmark::State& state) {
  constexpr std::size_t kControls = 10000;
  const bool configured = state.range(0) == 1;
  for (auto _ : state) {
    platform::EventLoop loop;
    QuietHost host;
    std::vector<std::unique_ptr<session::SNPPInstance>> controls;
    controls.reserve(kControls + 1);
    controls.push_back(NewControl(loop, host));  // whatever the loop sets up once for all
    const Snapshot before;
    for (std::size_t i = 0; i < kControls; ++i) {
      controls.push_back(NewControl(loop, host));
      if (configured) bench::SetUpPage(*controls.back(), PageKind::kLevel2All, 444);
    }
    const Snapshot after;
    Report(state, before, after, kControls);
  }
}
BENCHMARK(BM_IdleControl)->ArgName("configured")->Arg(0)->Arg(1)->Iterations(1);

// Idle after a delivered page: what a control keeps between pages. Each of 1,000 controls sends
// one level-1 page to snpp-sandbox and ends its session; the figure is the growth over the same
// controls, configured, before they sent anything. The driver's own share (its host site and
// socket wrapper per control) is in neither snapshot's difference.
void BM_IdleAfterPage(benchmark::State& state) {
  constexpr std::size_t kControls = 1000;
  for (auto _ : state) {
    bench::SandboxProcess sandbox(bench::SandboxExe());
    platform::EventLoop loop;
    bench::PagingDriver driver(loop, kControls, [&](session::SNPPInstance& c) {
      bench::SetUpPage(c, PageKind::kLevel1, sandbox.port());
    });
    driver.LimitPages(kControls);  // one page each
    const Snapshot before;
    driver.Start();
    const bool done = driver.RunUntilCompleted(kControls, 60s) && driver.Drain(30s);
    loop.Poll();  // cancelled operations release what they hold
    const Snapshot after;
    if (!done || driver.errors() > 0) state.SkipWithError("the pages were not all delivered");
    Report(state, before, after, kControls);
  }
}
BENCHMARK(BM_IdleAfterPage)->Iterations(1);

// A server that answers like a paging gateway but holds every session at one point: either it
// never greets, or it answers everything up to SEND and then never answers SEND. It runs in a
// child process, so that nothing it allocates is counted here.
class StallServer {
 public:
  enum class Hold { kGreeting, kSend };

  explicit StallServer(Hold hold) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, SOMAXCONN) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("the stall server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the benchmark
      Serve(hold, fd);
      _exit(0);
    }
    close(fd);
    if (pid_ < 0) throw std::runtime_error("the stall server cannot start");
  }
  ~StallServer() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  StallServer(const StallServer&) = delete;
  StallServer& operator=(const StallServer&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  struct Connection {
    explicit Connection(tcp::socket s) : socket(std::move(s)) {}
    tcp::socket socket;
    std::array<char, 4096> buffer{};
    std::string input;
    bool in_body = false;
  };

  struct Server {
    Hold hold = Hold::kSend;
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    std::vector<std::unique_ptr<Connection>> connections;

    void Accept() {
      acceptor.async_accept([this](const std::error_code& error, tcp::socket socket) {
        if (error) return;
        connections.push_back(std::make_unique<Connection>(std::move(socket)));
        Connection& c = *connections.back();
        if (hold == Hold::kSend) Say(c, "220 ready\r\n");
        Read(c);
        Accept();
      });
    }

    void Read(Connection& c) {
      c.socket.async_read_some(
          asio::buffer(c.buffer), [this, &c](const std::error_code& error, std::size_t n) {
            if (error) return;
            c.input.append(c.buffer.data(), n);
            for (auto lf = c.input.find('\n'); lf != std::string::npos; lf = c.input.find('\n')) {
              const std::string line = c.input.substr(0, lf + 1);
              c.input.erase(0, lf + 1);
              Answer(c, line);
            }
            Read(c);
          });
    }

    void Answer(Connection& c, const std::string& line) {
      if (c.in_body) {
        if (line == ".\r\n") {
          c.in_body = false;
          Say(c, "250 Message OK\r\n");
        }
        return;
      }
      if (line.rfind("SEND", 0) == 0) return;  // held here
      if (line.rfind("DATA", 0) == 0) {
        c.in_body = true;
        return Say(c, "354 Begin Input\r\n");
      }
      Say(c, line.rfind("QUIT", 0) == 0 ? "221 Goodbye\r\n" : "250 OK\r\n");
    }

    static void Say(Connection& c, const char* reply) {
      std::error_code ignored;
      asio::write(c.socket, asio::buffer(std::string_view(reply)), ignored);  // small: never blocks
    }
  };

  static void Serve(Hold hold, int fd) {
    Server server;
    server.hold = hold;
    server.acceptor.assign(tcp::v4(), fd);
    server.Accept();
    server.io.run();
  }

  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

// Sessions in flight: 1,000 controls connected and waiting for the greeting (arg 0), or with a
// level-2 page of every option written up to SEND and waiting for its reply (arg 1). The figure
// is the growth over the same controls, configured and idle.
void BM_SessionInFlight(benchmark::State& state) {
  constexpr std::size_t kControls = 1000;
  const bool at_send = state.range(0) == 1;
  for (auto _ : state) {
    StallServer server(at_send ? StallServer::Hold::kSend : StallServer::Hold::kGreeting);
    platform::EventLoop loop;
    bench::PagingDriver driver(loop, kControls, [&](session::SNPPInstance& c) {
      bench::SetUpPage(c, PageKind::kLevel2All, server.port());
    });
    driver.LimitPages(kControls);
    const Snapshot before;
    driver.Start();
    const auto want = static_cast<Integer>(at_send ? session::SessionState::kWaitSend
                                                   : session::SessionState::kWaitGreeting);
    const auto all_there = [&] {
      for (std::size_t i = 0; i < driver.size(); ++i) {
        auto& c = driver.control(i);
        if (c.get_State() != want || c.sck().State() != platform::SocketState::kConnected) {
          return false;
        }
      }
      return true;
    };
    // Connected is not enough at the greeting: let the reads be posted too.
    const bool held = loop.RunUntil(all_there, 60s);
    loop.RunFor(200ms);
    const Snapshot after;
    if (!held || driver.errors() > 0) state.SkipWithError("the sessions did not all get there");
    Report(state, before, after, kControls);
  }
}
BENCHMARK(BM_SessionInFlight)->ArgName("held_at_send")->Arg(0)->Arg(1)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
