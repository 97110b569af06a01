// fuzz_receive: the paging control over the fakes, talking to a server that may say anything.
//
// Input layout (fuzz/make_corpus.py writes readable examples):
//   [0]  SnppLevel       index into kLevels
//   [1]  options         one bit each, from bit 0: LoginName, Password, coverageArea,
//                        ServiceLevel, HoldUntil, AlertOverride, SenderID, Subject
//   [2]  text            low nibble: Message from kMessages; high nibble: Data from kBodies
//   [3]  starting State  index into kStates, written once the connection is up (0xFF: leave the
//                        0 that Send sets); past the table: the next two bytes as any Integer
//   [4]  host            bits 0-2: how the event handlers react (Reaction); bit 3: start with
//                        Connect instead of Send; bits 4-7: ServerTimeout from kTimeouts
//   [5]  read size       the server's bytes arrive in reads of this size (0: as they come)
//   ...  the server's bytes; 0xFF starts an operation (see Run), 0xFF 0xFF is the byte 0xFF
//
// The same target covers TLS connections: the TLS socket (platform/src/asio_tls_socket.cpp)
// hands the decrypted bytes to the control through the same DataArrival and GetData as the plain
// socket, in reads of at most its 4096-byte buffer that split the stream wherever TLS records
// and reads happen to end. The control cannot tell the two apart, so its framing of TLS replies
// is exactly what the fake socket's arbitrary read sizes drive here.
//
// Rules checked (a broken one aborts, and libFuzzer keeps the input):
//   - every write is one command line ending in CR LF with no other CR or LF, written in the
//     State that awaits its reply; the one exception is the DATA body, written in State 21,
//     which is whole CR LF lines with no line that is only "." and every "."-line stuffed
//   - the server has sent something since the command before: a reply never answers a
//     command written after it arrived, so no two commands come out of one read
//   - the control never writes to a socket that is not connected
//   - OnComplete comes only in State 13, with a 250, 860 or 960 reply that is one line as the
//     server sent it, or a continued reply within its bound that ends with its closing line,
//     and at most once per Send (or Connect)
//   - every OnError carries a text
//   - no exception leaves a notification handler
//   - memory stays bounded: nothing the control allocates while it handles a read is larger
//     than twice the framer's cap, the continued reply's bound and that read together (a string
//     may double its room as it grows),
//     with room for the property values it writes out

#include <sanitizer/allocator_interface.h>
#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_check.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/session/line_framer.hpp"
#include "kestrel/session/reply_assembler.hpp"
#include "kestrel/session/session_state.hpp"
#include "kestrel/session/snpp_instance.hpp"
#include "kestrel/testing/fakes.hpp"

namespace {

using namespace kestrel;
using fuzz::Escaped;
using platform::EventId;
using platform::SocketState;
using session::SessionState;
using session::SNPPInstance;
using testing::FakeClock;
using testing::FakeHost;
using testing::FakeLoop;
using testing::FakeSocket;
using testing::FakeTimer;
using testing::Journal;

// --- Allocation watch ----------------------------------------------------------------------------
// The sanitizer runtime calls these for every allocation; while `watching` is set, the largest
// one is kept.
std::atomic<bool> watching{false};
std::atomic<std::size_t> largest{0};

// KESTREL_FUZZ_SHOW_ALLOC=N prints the stack of each watched allocation over N bytes, to find
// who made the one a memory report names.
std::size_t show_over = 0;

extern "C" void WatchMalloc(const volatile void*, std::size_t size) {
  if (!watching.load(std::memory_order_relaxed)) return;
  if (show_over > 0 && size > show_over) {
    watching = false;  // the report allocates too
    std::fprintf(stderr, "allocation of %zu bytes:\n", size);
    __sanitizer_print_stack_trace();
    watching = true;
  }
  std::size_t seen = largest.load(std::memory_order_relaxed);
  while (size > seen && !largest.compare_exchange_weak(seen, size)) {
  }
}
extern "C" void WatchFree(const volatile void*) {}

// --- The choices the header bytes index ----------------------------------------------------------
constexpr std::array<Integer, 8> kLevels = {1, 2, 3, 0, -1, 4, 32767, -32768};
constexpr std::array<Integer, 6> kTimeouts = {20, 0, 1, 2, -5, 32767};
constexpr std::array<Integer, 22> kStates = {-1, 0,  11, 12, 13, 14, 21, 22, 23, 24,    25,
                                             26, 27, 28, 1,  10, 15, 20, 29, -2, 32767, -32768};
const std::array<std::string, 8> kMessages = {"0",
                                              "",
                                              "disk full on db1",
                                              "two\r\nlines",
                                              "bare\nLF",
                                              "caf\xc3\xa9 \xe2\x82\xac",
                                              std::string(300, 'm'),
                                              "."};
const std::array<std::string, 8> kBodies = {
    "",
    "line one\n.\n.dotted\n\nlast",
    ".",
    "CR LF\r\nlone CR\rlone LF\n..two dots\r\n",
    "no line end",
    "\r\n\r\n.\r\n",
    std::string(5000, 'b') + "\n." + std::string(100, '.'),
    "QUIT\r\nSEND\r\n",
};

// Each property a 'P' operation may write: a text, or an Integer/Boolean from two bytes.
enum class Prop : std::uint8_t {
  kSenderID,
  kRecipient,
  kLoginName,
  kPassword,
  kHoldUntil,
  kSubject,
  kMessage,
  kData,
  kCoverageArea,
  kServiceLevel,
  kSnppLevel,
  kServerTimeout,
  kAlertOverride,
  kCount
};

// How the host's event handler answers an event; each is something a real host may do.
enum class Reaction : std::uint8_t {
  kNothing,
  kCloseOnError,        // hang up after a failure
  kRestartOnError,      // hang up and try again at once
  kCloseOnComplete,     // hang up as soon as the page is accepted
  kNextPageOnComplete,  // hang up and send the next page from inside OnComplete
  kDestroyOnEvent,      // let go of the control from inside its own event
  kRewriteErrorText,    // assign a new text to the by-reference argument
  kSendWithoutClosing,  // call Send while the session is still open (it raises; caught)
};

struct Config {
  Integer level = 3;
  std::uint8_t options = 0;
  std::uint8_t text = 0;
  std::optional<Integer> start_state;
  Reaction reaction = Reaction::kNothing;
  bool use_connect = false;
  Integer timeout = 20;
  std::size_t read_size = 0;
};

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// The command word each waiting State expects to have written.
std::string_view CommandOf(Integer state) {
  switch (static_cast<SessionState>(state)) {
    case SessionState::kWaitPage:
      return "PAGE";
    case SessionState::kWaitMess:
      return "MESS";
    case SessionState::kWaitSend:
      return "SEND";
    case SessionState::kWaitQuit:
      return "QUIT";
    case SessionState::kWaitData:
      return "DATA";
    case SessionState::kWaitLogin:
      return "LOGI";
    case SessionState::kWaitLevel:
      return "LEVE";
    case SessionState::kWaitCoverage:
      return "COVE";
    case SessionState::kWaitSubject:
      return "SUBJ";
    case SessionState::kWaitHold:
      return "HOLD";
    case SessionState::kWaitCaller:
      return "CALL";
    case SessionState::kWaitAlert:
      return "ALER";
    default:
      return "";
  }
}

bool IsOneLine(std::string_view w) {
  return w.size() >= 2 && w.substr(w.size() - 2) == "\r\n" &&
         w.find_first_of("\r\n") == w.size() - 2;
}

// A DATA body: whole CR LF lines; no line is only "."; a line starting with "." is stuffed.
bool IsWellFormedBody(std::string_view w, std::string* why) {
  std::size_t at = 0;
  while (at < w.size()) {
    const auto cr = w.find('\r', at);
    const auto lf = w.find('\n', at);
    if (cr == w.npos || lf != cr + 1) {
      *why = "a line without its CR LF, or a lone CR or LF";
      return false;
    }
    const std::string_view line = w.substr(at, cr - at);
    if (line == ".") {
      *why = "a line that is only \".\" would end the body early";
      return false;
    }
    if (!line.empty() && line[0] == '.' && (line.size() < 2 || line[1] != '.')) {
      *why = "a line starting with \".\" is not dot-stuffed";
      return false;
    }
    at = lf + 1;
  }
  return true;
}

// The fakes that outlive a run. Their records are reserved once, so that the harness's own
// bookkeeping never shows up as a large allocation while the control handles a read.
struct World {
  static constexpr std::size_t kRecords = 1u << 17;
  World() {
    journal.reserve(kRecords);
    host.events.reserve(kRecords);
    host.notices.reserve(kRecords);
  }
  void Clear() {
    journal.clear();
    host.events.clear();
    host.notices.clear();
  }
  Journal journal;
  FakeLoop loop;
  FakeClock clock{loop};
  FakeHost host{loop, &journal};
};

World& TheWorld() {
  static World* world = new World();  // never destroyed: the fuzzer exits without tidying up
  return *world;
}

class Harness {
 public:
  explicit Harness(const Config& config)
      : config_(config),
        world_(TheWorld()),
        journal_(world_.journal),
        loop_(world_.loop),
        clock_(world_.clock),
        host_(world_.host) {
    world_.Clear();
    Build();
  }

  ~Harness() {
    // The destructor path is part of the test: let go of the control wherever it is.
    ctl_.reset();
    CheckJournal();
    loop_.RunPending();  // what the fakes still had queued finds its control gone
    host_.on_event = nullptr;
    host_.probe_state = nullptr;
    world_.Clear();
  }

  void Run(std::string_view script);

 private:
  void Build() {
    auto sock = std::make_unique<FakeSocket>(loop_, &journal_);
    sock->writes.reserve(1024);
    auto timer = std::make_unique<FakeTimer>(clock_);
    sock_ = sock.get();
    ctl_ = std::make_unique<SNPPInstance>(host_, std::move(sock), std::move(timer));
    host_.probe_state = [this] {
      return ctl_ && !destroyed_ ? "=" + std::to_string(ctl_->get_State()) : std::string();
    };
    host_.on_event = [this](EventId id, String& argument) { OnEvent(id, argument); };
    destroyed_ = false;
    state_at_write_ = ctl_->get_State();

    auto& c = *ctl_;
    c.put_ServerPort(444);
    c.put_SnppLevel(config_.level);
    c.put_ServerTimeout(config_.timeout);
    c.put_Recipient("5551234");
    static const char* const kText[] = {"alice",        "s3cret", nullptr, nullptr,
                                        "370101120000", nullptr,  "ops",   "Disk alert"};
    if (config_.options & 0x01) c.put_LoginName(kText[0]);
    if (config_.options & 0x02) c.put_Password(kText[1]);
    if (config_.options & 0x04) c.put_coverageArea(2);
    if (config_.options & 0x08) c.put_ServiceLevel(3);
    if (config_.options & 0x10) c.put_HoldUntil(kText[4]);
    if (config_.options & 0x20) c.put_AlertOverride(kTrue);
    if (config_.options & 0x40) c.put_SenderID(kText[6]);
    if (config_.options & 0x80) c.put_Subject(kText[7]);
    c.put_Message(kMessages[config_.text & 0x07]);
    c.put_Data(kBodies[(config_.text >> 4) & 0x07]);
    NoteProperty(kBodies[(config_.text >> 4) & 0x07].size());
    NoteProperty(kMessages[config_.text & 0x07].size());
  }

  bool Alive() const { return ctl_ && !destroyed_; }

  // After a handler destroyed the control, its fakes are gone too: forget them.
  void SettleDestroyed() {
    if (!destroyed_) return;
    ctl_.reset();
    sock_ = nullptr;
  }

  void NoteProperty(std::size_t size) { largest_property_ = std::max(largest_property_, size); }

  // --- The host's event handler ------------------------------------------------------------------
  void OnEvent(EventId id, String& argument) {
    if (id == EventId::kOnComplete) {
      const Integer state = ctl_->get_State();
      KESTREL_FUZZ_CHECK(state == static_cast<Integer>(SessionState::kWaitSend),
                         "OnComplete only in State 13", "State " + std::to_string(state));
      const std::string_view code = std::string_view(argument).substr(0, 3);
      KESTREL_FUZZ_CHECK(code == "250" || code == "860" || code == "960",
                         "OnComplete only with a 250, 860 or 960 reply", Escaped(argument));
      const auto lf = argument.find('\n');
      if (argument.size() > 3 && argument[3] == '-') {
        // A continued reply: bounded, and closed by a line of the same code that goes on with
        // a space, its line end, or nothing.
        KESTREL_FUZZ_CHECK(argument.size() <= session::ReplyAssembler::kMaxBytes,
                           "a continued reply stays within its bound", Escaped(argument));
        const auto last_start = argument.rfind('\n', argument.size() - 2);
        const std::string_view last =
            std::string_view(argument).substr(last_start == argument.npos ? 0 : last_start + 1);
        KESTREL_FUZZ_CHECK(last.substr(0, 3) == code && (last.size() == 3 || last[3] == ' ' ||
                                                         last[3] == '\r' || last[3] == '\n'),
                           "a continued reply ends with its closing line", Escaped(argument));
      } else {
        KESTREL_FUZZ_CHECK(lf == argument.npos ? argument.size() == session::LineFramer::kDefaultCap
                                               : lf + 1 == argument.size(),
                           "OnComplete carries one reply line", Escaped(argument));
      }
      ++completions_this_session_;
      KESTREL_FUZZ_CHECK(completions_this_session_ <= 1, "at most one OnComplete per Send",
                         std::to_string(completions_this_session_) + " since the last Send");
    } else if (id == EventId::kOnError) {
      KESTREL_FUZZ_CHECK(!argument.empty(), "every OnError carries a text", "empty text");
      // The fake socket's own words when it is written to while not connected.
      KESTREL_FUZZ_CHECK(argument != "not connected",
                         "the control never writes to a socket that is not connected",
                         "State " + std::to_string(ctl_->get_State()));
    }
    CheckJournal();

    const bool error = id == EventId::kOnError;
    switch (config_.reaction) {
      case Reaction::kNothing:
        break;
      case Reaction::kCloseOnError:
        if (error) ctl_->CloseConnect();
        break;
      case Reaction::kRestartOnError:
        if (error) {
          ctl_->CloseConnect();
          StartSession(/*come_up=*/false, /*connect=*/false);
        }
        break;
      case Reaction::kCloseOnComplete:
        if (!error) ctl_->CloseConnect();
        break;
      case Reaction::kNextPageOnComplete:
        if (!error) {
          ctl_->CloseConnect();
          StartSession(/*come_up=*/false, /*connect=*/false);
        }
        break;
      case Reaction::kDestroyOnEvent:
        destroyed_ = true;
        ctl_.reset();
        sock_ = nullptr;
        return;
      case Reaction::kRewriteErrorText:
        if (error) argument = "rewritten by the host";
        break;
      case Reaction::kSendWithoutClosing:
        StartSession(/*come_up=*/false, /*connect=*/false);
        break;
    }
  }

  // Send (or Connect); the connection comes up at once when asked to. Errors raised by the
  // call go back to the caller, as they would to a host.
  void StartSession(bool come_up, bool connect) {
    if (!Alive()) return;
    try {
      completions_this_session_ = 0;
      if (connect) {
        ctl_->Connect();
      } else {
        ctl_->Send();
      }
    } catch (const RuntimeError&) {
      return;
    }
    if (come_up && Alive() && sock_->State() == SocketState::kConnecting) sock_->CompleteConnect();
  }

  // --- Driving the notifications -----------------------------------------------------------------
  // Runs what is queued: data, closes, ticks. No exception may come out of a notification.
  void RunPending(std::size_t read_bytes) {
    largest = 0;
    watching = true;
    try {
      loop_.RunPending();
    } catch (const std::exception& e) {
      kestrel::fuzz::Violation("no exception leaves a notification handler", e.what());
    }
    watching = false;
    SettleDestroyed();
    const std::size_t bound =
        2 * (session::LineFramer::kDefaultCap + session::ReplyAssembler::kMaxBytes + read_bytes) +
        4 * largest_property_ + 16 * 1024;
    KESTREL_FUZZ_CHECK(largest <= bound, "memory stays bounded while a read is handled",
                       "an allocation of " + std::to_string(largest.load()) + " bytes; bound " +
                           std::to_string(bound));
    CheckJournal();
  }

  void Deliver(std::string_view bytes, bool run) {
    // Bytes reach a socket only while it is connected; the fake would keep them for the next
    // connection, which a real one never does.
    if (!Alive() || sock_->State() != SocketState::kConnected) return;
    // A real read is at most the socket's buffer; longer runs come as several reads.
    constexpr std::size_t kMaxRead = 4096;
    for (std::size_t at = 0;
         at < bytes.size() && Alive() && sock_->State() == SocketState::kConnected;
         at += kMaxRead) {
      const auto piece = bytes.substr(at, kMaxRead);
      sock_->Receive(piece);
      journal_.push_back("receive");  // for the rule on turns, in order with the writes
      queued_ += piece.size();
      delivered_ += piece.size();
      if (run || queued_ >= 4 * kMaxRead) {
        RunPending(queued_);
        queued_ = 0;
      }
    }
  }

  void Tick(std::int64_t ms) {
    if (!Alive()) return;
    try {
      clock_.Advance(ms);  // runs each due tick and what it queued
    } catch (const std::exception& e) {
      kestrel::fuzz::Violation("no exception leaves a notification handler", e.what());
    }
    SettleDestroyed();
    CheckJournal();
  }

  // The socket reports the end of the connection, after what it had already announced.
  void PeerEnd(Long number, const char* why) {
    if (!Alive()) return;
    RunPending(queued_);
    queued_ = 0;
    if (!Alive()) return;
    const auto state = sock_->State();
    if (state != SocketState::kConnected && state != SocketState::kConnecting) return;
    sock_->PeerClose(number, why);
    RunPending(0);
  }

  // Looks at every write made since the last look, with the State it was made in.
  void CheckJournal() {
    for (; journal_at_ < journal_.size(); ++journal_at_) {
      const std::string& entry = journal_[journal_at_];
      if (StartsWith(entry, "notice State=")) {
        state_at_write_ = static_cast<Integer>(std::stoi(entry.substr(13)));
        continue;
      }
      if (entry == "receive") {
        heard_since_command_ = true;
        continue;
      }
      if (!StartsWith(entry, "write ")) continue;
      CheckWrite(std::string_view(entry).substr(6), state_at_write_);
    }
    if (journal_.size() > 4096 || host_.notices.size() > 4096 || host_.events.size() > 4096) {
      world_.Clear();  // keeps the reserved room: the next read starts from empty records
      journal_at_ = 0;
      if (Alive()) sock_->writes.clear();
    }
    if (Alive() && sock_->writes.size() > 512) sock_->writes.clear();
  }

  void CheckWrite(std::string_view w, Integer state) {
    const bool data_state = state == static_cast<Integer>(SessionState::kWaitData);
    if (data_state && w != "DATA\r\n" && w != ".\r\n") {
      std::string why;
      KESTREL_FUZZ_CHECK(IsWellFormedBody(w, &why), "the DATA body is well-formed CR LF lines",
                         why + ": [" + Escaped(w) + "]");
      return;
    }
    KESTREL_FUZZ_CHECK(IsOneLine(w), "a command is one line ending in CR LF",
                       "State " + std::to_string(state) + ": [" + Escaped(w) + "]");
    if (data_state && w == ".\r\n") return;  // the end of the body
    // Turns: every command answers a reply that came after the command before it, so the
    // server said something between any two of them.
    KESTREL_FUZZ_CHECK(heard_since_command_,
                       "a command follows a reply that came after the command before it",
                       "State " + std::to_string(state) + ": [" + Escaped(w) + "]");
    heard_since_command_ = false;
    if (data_state) return;  // "DATA" itself
    const std::string_view word = CommandOf(state);
    KESTREL_FUZZ_CHECK(!word.empty() && StartsWith(w, word),
                       "each command is written in the State that awaits its reply",
                       "State " + std::to_string(state) + ": [" + Escaped(w) + "]");
  }

  void PutProperty(Prop prop, std::string_view value) {
    if (!Alive()) return;
    auto& c = *ctl_;
    const String text(value);
    const auto number = static_cast<Integer>(
        value.size() >= 2 ? static_cast<std::uint16_t>(static_cast<std::uint8_t>(value[0]) << 8 |
                                                       static_cast<std::uint8_t>(value[1]))
                          : 0);
    NoteProperty(value.size());
    switch (prop) {
      case Prop::kSenderID:
        c.put_SenderID(text);
        break;
      case Prop::kRecipient:
        c.put_Recipient(text);
        break;
      case Prop::kLoginName:
        c.put_LoginName(text);
        break;
      case Prop::kPassword:
        c.put_Password(text);
        break;
      case Prop::kHoldUntil:
        c.put_HoldUntil(text);
        break;
      case Prop::kSubject:
        c.put_Subject(text);
        break;
      case Prop::kMessage:
        c.put_Message(text);
        break;
      case Prop::kData:
        c.put_Data(text);
        break;
      case Prop::kCoverageArea:
        c.put_coverageArea(number);
        break;
      case Prop::kServiceLevel:
        c.put_ServiceLevel(number);
        break;
      case Prop::kSnppLevel:
        c.put_SnppLevel(number);
        break;
      case Prop::kServerTimeout:
        c.put_ServerTimeout(number);
        break;
      case Prop::kAlertOverride:
        c.put_AlertOverride(number);
        break;
      case Prop::kCount:
        break;
    }
  }

  Config config_;
  World& world_;
  Journal& journal_;
  FakeLoop& loop_;
  FakeClock& clock_;
  FakeHost& host_;
  std::unique_ptr<SNPPInstance> ctl_;
  FakeSocket* sock_ = nullptr;  // owned by ctl_
  bool destroyed_ = false;      // a handler let go of the control
  std::size_t journal_at_ = 0;
  Integer state_at_write_ = -1;
  bool heard_since_command_ = false;  // the server sent bytes since the last command was written
  int completions_this_session_ = 0;
  std::size_t largest_property_ = 0;
  std::size_t queued_ = 0;     // bytes handed to the socket and not yet announced
  std::size_t delivered_ = 0;  // all bytes the server sent in this run
};

// Operations, each after a 0xFF byte:
//   d  deliver what the server has said so far     q  hand it over without running the loop
//   r n  say the last read again 16*n times        t  one timer tick
//   T  time passes beyond ServerTimeout            c  CloseConnect
//   s  Send, the connection comes up               S  Send, the connection stays pending
//   n  Connect, the connection comes up            u  a pending connection comes up
//   p  the server closes                           e  the connection breaks
//   f  the connection attempt fails                w  the next write fails
//   P k len bytes   put property k (see Prop) to the next len bytes
//   x  let go of the control; a new one, not connected, takes its place
//   anything else delivers, like d
void Harness::Run(std::string_view script) {
  if (config_.use_connect) {
    StartSession(/*come_up=*/true, /*connect=*/true);
  } else {
    StartSession(/*come_up=*/true, /*connect=*/false);
  }
  if (config_.start_state && Alive()) ctl_->put_State(*config_.start_state);
  CheckJournal();

  constexpr std::size_t kMaxBytes = 1u << 20;  // every run ends quickly
  std::string said;                            // the server's bytes not yet delivered
  std::string last_read;
  auto flush = [&](bool run) {
    if (config_.read_size > 0) {
      for (std::size_t at = 0; at < said.size(); at += config_.read_size) {
        last_read = said.substr(at, config_.read_size);
        Deliver(last_read, run);
      }
    } else if (!said.empty()) {
      last_read = said;
      Deliver(said, run);
    }
    said.clear();
    if (run && queued_ > 0) {
      RunPending(queued_);
      queued_ = 0;
    }
  };

  std::size_t i = 0;
  auto next = [&]() -> std::optional<char> {
    if (i >= script.size()) return std::nullopt;
    return script[i++];
  };
  while (i < script.size() && delivered_ < kMaxBytes) {
    if (destroyed_ || !ctl_) {
      SettleDestroyed();
      Build();
    }
    const char c = script[i++];
    if (static_cast<unsigned char>(c) != 0xFF) {
      said += c;
      continue;
    }
    const auto op = next();
    if (!op) break;
    if (static_cast<unsigned char>(*op) == 0xFF) {
      said += *op;
      continue;
    }
    switch (*op) {
      case 'q':
        flush(false);
        break;
      case 'r': {
        flush(true);
        const auto n = next();
        const std::size_t times = 16u * static_cast<unsigned char>(n.value_or(1));
        for (std::size_t k = 0; k < times && !last_read.empty() && delivered_ < kMaxBytes; ++k) {
          Deliver(last_read, true);
        }
        break;
      }
      case 't':
        flush(true);
        Tick(1000);
        break;
      case 'T': {
        flush(true);
        const auto timeout = Alive() ? std::clamp<int>(ctl_->get_ServerTimeout(), 0, 60) : 0;
        Tick(1000 * (timeout + 2));
        break;
      }
      case 'c':
        flush(true);
        if (Alive()) ctl_->CloseConnect();
        break;
      case 's':
        flush(true);
        StartSession(true, false);
        break;
      case 'S':
        flush(true);
        StartSession(false, false);
        break;
      case 'n':
        flush(true);
        StartSession(true, true);
        break;
      case 'u':
        flush(true);
        if (Alive() && sock_->State() == SocketState::kConnecting) sock_->CompleteConnect();
        break;
      case 'p':
        flush(true);
        PeerEnd(err::kSocketClosedByPeer, "The server closed the connection.");
        break;
      case 'e':
        flush(true);
        PeerEnd(err::kSocketIo, "Reading failed (Connection reset by peer).");
        break;
      case 'f':
        flush(true);
        if (Alive() && sock_->State() == SocketState::kConnecting) {
          sock_->PeerClose(err::kSocketConnectFailed, "Could not connect (Connection refused).");
          RunPending(0);
        }
        break;
      case 'w':
        flush(true);
        if (Alive()) sock_->FailWritesAfter(0);
        break;
      case 'P': {
        flush(true);
        const auto k = next();
        const auto len = next();
        if (!k || !len) break;
        const std::size_t n =
            std::min<std::size_t>(static_cast<unsigned char>(*len), script.size() - i);
        const auto prop = static_cast<Prop>(static_cast<unsigned char>(*k) %
                                            static_cast<unsigned char>(Prop::kCount));
        PutProperty(prop, script.substr(i, n));
        i += n;
        break;
      }
      case 'x':
        flush(true);
        ctl_.reset();
        sock_ = nullptr;
        CheckJournal();
        Build();
        break;
      default:
        flush(true);
        break;
    }
  }
  flush(true);
  // Whatever was left waiting: time runs out on it.
  if (Alive()) Tick(1000 * (std::clamp<int>(ctl_->get_ServerTimeout(), 0, 60) + 2));
}

Config ReadConfig(const std::uint8_t* data, std::size_t size, std::size_t* used) {
  Config c;
  std::size_t at = 0;
  auto byte = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
  c.level = kLevels[byte() % kLevels.size()];
  c.options = byte();
  c.text = byte();
  const std::uint8_t state = byte();
  if (state == 0xFF) {
    c.start_state.reset();
  } else if (state < kStates.size()) {
    c.start_state = kStates[state];
  } else {
    const std::uint16_t hi = byte(), lo = byte();
    c.start_state = static_cast<Integer>(static_cast<std::uint16_t>(hi << 8 | lo));
  }
  const std::uint8_t host = byte();
  c.reaction = static_cast<Reaction>(host & 0x07);
  c.use_connect = (host & 0x08) != 0;
  c.timeout = kTimeouts[(host >> 4) % kTimeouts.size()];
  c.read_size = byte();
  *used = std::min(at, size);
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* over = std::getenv("KESTREL_FUZZ_SHOW_ALLOC"))
    show_over = std::strtoul(over, nullptr, 10);
  __sanitizer_install_malloc_and_free_hooks(WatchMalloc, WatchFree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t used = 0;
  const Config config = ReadConfig(data, size, &used);
  Harness harness(config);
  harness.Run(std::string_view(reinterpret_cast<const char*>(data) + used, size - used));
  return 0;
}
