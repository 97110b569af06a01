#pragma once
// Delivery: pages one message to many pagers through an ordered list of paging gateways, with
// failover, retries, per-gateway concurrency and time limits, on top of the paging control.
//
// Each attempt to reach one pager is one session::SNPPInstance on the host's event loop; many
// sessions share the loop. At a gateway with a batch size above 1, the recipients of one request
// that are due together at the same part share one session::BatchSession instead (an attempt
// for each of them), and each ends as batch_outcome.hpp decides. The scheduling (which recipient
// goes next, to which gateway, when) is plain logic in Scheduler (scheduler.hpp); the outcome of an
// attempt is decided by ClassifyAttempt (outcome.hpp) from what the control reports and from its
// State change notices. This class is the I/O edge that joins them to sockets and timers.
//
//   Submit ──▶ Scheduler ──start──▶ SNPPInstance (socket from the gateway's factory)
//                 ▲                    │ State notices ──▶ reply time-outs, SEND hooks
//                 │                    │ OnComplete / OnError / time-out / deadline
//                 └── verdict ◀── ClassifyAttempt ◀┘
//   wake timer ──▶ backoffs that end, deadlines that pass
//
// Threading: one thread, the one that runs the event loop the Environment's factories are bound
// to. Every member function must be called on it; no locks. Submit() never calls back from
// inside itself: the work starts when the loop next runs. Every callback in Hooks fires from the
// loop (a socket notification, a timer tick or posted work), never from inside a call into
// Delivery; a callback may call Submit(). It must not destroy the Delivery; Stop() is allowed.
//
// Outcomes (see outcome.hpp for the table as built): delivered, refused (the server said no with
// a 5xx; not retried), failed (attempts or deadline ran out after transient failures, every
// gateway was out, or the page could not be sent at all), uncertain (the connection was lost,
// or the SEND reply did not come in time, after SEND was written: not resent unless
// Policy::resend_uncertain). The outcome is that of the part that ended it; a page split in
// parts of which some went out is partly delivered besides (PartlyDelivered), which a retry of
// the whole page must know.
//
// Gateways (see scheduler.hpp): a recipient takes a free slot at the first gateway, in failover
// order, that is not held off; a gateway that refused a connection or sent no greeting is held
// off for a while; one that refused our login or whose certificate failed is out for the rest of
// the request, and a gateway where we log in opens one session until it accepted the login.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrel/delivery/outcome.hpp"
#include "kestrel/platform/socket.hpp"
#include "kestrel/platform/timer.hpp"

namespace kestrel::platform {
class EventLoop;
}

namespace kestrel::delivery {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Duration = std::chrono::milliseconds;

// Makes the socket of one session. The TLS work plugs in here, one factory per gateway.
using SocketFactory = std::function<std::unique_ptr<platform::Socket>()>;

// One paging server.
struct Gateway {
  std::string host = "127.0.0.1";
  std::uint16_t port = 444;
  int snpp_level = 3;      // 1, or 2 and above for LOGI and the other level-2 commands
  std::string login{};     // LOGI user; empty: no LOGI
  std::string password{};  // never logged, never part of a result
  int concurrency = 4;     // sessions open to this gateway at once, at most (>= 1)
  // Recipients of one request at one part in one session, at most: several PAGEs, one message,
  // one SEND (see batch_outcome.hpp). 1 (or below): one session per recipient.
  int batch = 1;
  SocketFactory socket_factory{};  // empty: the Environment's make_socket (plain TCP)

  std::string where() const;  // "host:port", "[::1]:444" for an IPv6 literal
};

// The page: the same for every recipient of a request.
struct Page {
  // The message texts, sent in order to each pager: one part normally, several when a long
  // message was split (see message.hpp). A part goes to a pager only after the part before it
  // was delivered to that pager.
  std::vector<std::string> parts{};
  bool as_data = false;  // send each part as a DATA body (multi-line; level 2) instead of MESS
  std::string subject{};
  std::string caller{};
  std::string hold{};      // HOLD parameter; empty: none
  int coverage = -1;       // COVE; below 1: none
  int service_level = -1;  // LEVE; below 1: none
  bool alert = false;      // ALER 1
};

// How hard to try, per request.
struct Policy {
  int max_attempts = 3;  // per part, first included; 0: no limit (until the deadline)
  Duration first_backoff = std::chrono::seconds(1);  // wait before the second attempt
  Duration max_backoff = std::chrono::seconds(30);   // the doubling stops here
  // Absolute, on the Environment's clock. Waiting recipients fail when it passes; sessions in
  // progress are ended (uncertain when SEND was already written).
  std::optional<TimePoint> deadline{};
  Duration greeting_timeout = std::chrono::seconds(20);  // connect until the 220 (whole seconds)
  Duration reply_timeout = std::chrono::seconds(30);     // each reply after the greeting
  Duration send_timeout = std::chrono::seconds(120);     // the reply to SEND
  bool resend_uncertain = false;  // treat "uncertain" as transient and try again
};

struct Request {
  Page page{};
  std::vector<std::string> recipients{};  // pager ids, in order; duplicates are sent twice
  Policy policy{};
  std::uint64_t tag = 0;  // the caller's own identifier, echoed in every callback
};

using RequestId = std::uint64_t;

// Identifies one recipient of one request in the callbacks.
struct RecipientRef {
  RequestId request = 0;
  std::uint64_t tag = 0;  // Request::tag
  std::size_t index = 0;  // position in Request::recipients
  std::string pager{};
};

enum class Outcome { kDelivered, kRefused, kFailed, kUncertain };
// "delivered", "refused", "failed", "uncertain".
const char* ToString(Outcome outcome);

// Raised synchronously from the control's State 13 change notice: SEND is about to be written
// for this pager and part, and has not been yet. A host that must record the send durably does
// it here. Throwing (any exception) stops the write: the attempt ends and the recipient fails
// with the exception's text, nothing more is sent to it. For a batch: once for each pager
// accepted at PAGE, and one throw stops the one SEND for all of them.
struct SendNotice {
  RecipientRef recipient{};
  std::size_t part = 0;  // 0-based
  std::size_t parts = 1;
  int attempt = 1;  // 1-based, of this part
  std::string host{};
  std::uint16_t port = 0;
};

// One attempt has ended (for logs and metrics).
struct AttemptReport {
  RecipientRef recipient{};
  std::size_t part = 0;
  int attempt = 1;
  std::string host{};
  std::uint16_t port = 0;
  Verdict verdict = Verdict::kFailed;
  std::string text{};              // the server's reply or what went wrong
  bool holds_gateway_off = false;  // no connection or no greeting in time (HoldsGatewayOff)
};

// The final result of one recipient; raised once per recipient.
struct RecipientResult {
  RecipientRef recipient{};
  Outcome outcome = Outcome::kFailed;
  int attempts = 0;  // attempts made, all parts together
  std::size_t parts_delivered = 0;
  std::size_t parts_total = 1;     // the page's parts; fewer delivered, some delivered: partly
  std::size_t gateways_tried = 0;  // gateways where an attempt failed; `error` names each when
                                   // there were several
  std::string host{};              // the gateway of the last attempt; empty when none was made
  std::uint16_t port = 0;
  std::string reply{};           // the last reply from the server, if any
  std::string error{};           // what went wrong (empty when delivered), one summary
  std::string detail{};          // how the last attempt ended, in the words of the server, the
                                 // control or the time-out that ended it
  bool deadline_passed = false;  // the deadline ended it, in a session or between attempts
  bool timed_out = false;        // the last attempt ended in a time-out (greeting, reply, SEND,
                                 // or the deadline in the middle of the session)
  AttemptEvidence::Kind ended_by = AttemptEvidence::Kind::kError;  // how the last attempt ended
  int last_state = -1;             // the control's State when the last attempt ended
  std::int32_t error_number = 0;   // the runtime error number behind `error`, when there was one
  bool connected = false;          // the last attempt's connection came up
  std::size_t bytes_received = 0;  // the server's bytes in the last attempt
};

// The host's answer to a SEND it holds (Hooks::hold_send): true lets SEND out; false keeps it
// off the wire and ends the attempt transient, with `why` (what the host could not do) as its
// text. May be called at any time, even from inside hold_send; once the attempt has ended, or
// after the first call, it does nothing.
using SendRelease = std::function<void(bool go, const std::string& why)>;

// Some of the page's parts went out, not all: a retry of the whole page would send those again.
inline bool PartlyDelivered(const RecipientResult& r) {
  return r.parts_delivered > 0 && r.parts_delivered < r.parts_total;
}

struct Hooks {
  std::function<void(const SendNotice&)> before_send{};
  // Raised from the same notice, after before_send: SEND waits on the socket until the host
  // calls the release (for a durable record of the send that completes later, as a commit
  // does). While SEND waits, a reply from the server answers no command written: it ends the
  // attempt transient, SEND not written. Waiting longer than Policy::reply_timeout does too.
  // For a batch without hold_send_batch: once for each accepted pager; SEND goes when every one
  // was released, and one refusal keeps it off the wire for all.
  std::function<void(const SendNotice&, SendRelease)> hold_send{};
  // As hold_send, once for a whole batch: a notice for each pager accepted at PAGE, one release
  // for the one SEND. When set, it is used for batches instead of hold_send.
  std::function<void(const std::vector<SendNotice>&, SendRelease)> hold_send_batch{};
  std::function<void(const AttemptReport&)> on_attempt{};
  std::function<void(const RecipientResult&)> on_result{};
  // Something about a gateway a log should say, once: it takes one pager a session from now on.
  std::function<void(const Gateway&, const std::string& text)> on_gateway_notice{};
};

// What Delivery needs from the host. OnLoop() builds it for a platform::EventLoop; tests pass
// fakes (tests/support/kestrel/testing/fakes.hpp) so that time is theirs.
struct Environment {
  SocketFactory make_socket{};
  std::function<std::unique_ptr<platform::Timer>()> make_timer{};
  std::function<TimePoint()> now{};
  std::function<void(std::function<void()>)> post{};  // run on the loop, later
  std::function<double()> random{};  // uniform in [0, 1), for the backoff jitter; empty: seeded
};

// Sockets, timers and posting on `loop`, time from std::chrono::steady_clock.
Environment OnLoop(platform::EventLoop& loop);

struct Stats {
  std::size_t sessions_open = 0;      // now
  std::size_t max_sessions_open = 0;  // the most at once so far
  std::size_t attempts = 0;           // started so far
};

class Delivery {
 public:
  // `gateways` in failover order; at least one. Throws std::invalid_argument otherwise.
  Delivery(Environment environment, std::vector<Gateway> gateways, Hooks hooks);
  ~Delivery() noexcept;
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  // Queues every recipient of the request and returns at once. A request without recipients or
  // parts gets no callbacks. Throws std::invalid_argument for a request that cannot be sent
  // (a part or field with a line break where one line is needed, DATA at level 1).
  RequestId Submit(Request request);

  // Ends every session at once, without QUIT, and forgets every recipient not yet decided: no
  // callback fires afterwards. A host shutting down relies on what it recorded in before_send.
  void Stop() noexcept;

  // Every gateway takes its configured batch size again, after it fell back to one pager a
  // session (and says so again when it falls back once more).
  void RestoreBatches();

  // No recipient waiting, in a session or backing off.
  bool idle() const;
  std::size_t unfinished() const;
  Stats stats() const;
  const std::vector<Gateway>& gateways() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrel::delivery
