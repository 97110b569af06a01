#pragma once
// The outbox: the relay's durable store of the pages it accepted and of each recipient's
// progress, as the HTTP API and the dispatcher see it. Two stores implement it: SQLite (one relay
// on a file of its own, under an exclusive lock; sqlite_store.hpp) and PostgreSQL (several relays
// sharing one database).
//
// A recipient's life. Every row is one guarded transition: an UPDATE that names the state it
// leaves (and, from sending, the fencing token of the claim); when no row matches, the transition
// is refused and nothing changes.
//
//   from                          operation                          to
//   (new)                         Accept                             queued
//   queued, due, page not expired Claim                              sending (owner, token, lease)
//   sending, token held           MarkSendWritten                    sending, SEND written
//   sending, token held           Finish                             a final state, or queued
//                                                                    with the SEND mark cleared
//   uncertain, same token         Finish(delivered | degraded)       that state (a late 250)
//   queued, page expired          Expire                             expired
//   sending, holder gone          Sweep: SEND not written            queued, due at once
//                                        SEND written                uncertain, never queued again
//   final for `retain`, no key    Prune                              (deleted)
//   uncertain, failed, expired    Act(resend), an operator's         queued, due at once (below)
//   uncertain                     Act(dismiss), an operator's        dismissed
//
//   final: delivered, degraded, refused, failed, uncertain, expired, dismissed
//
// A CHECK in the schema forbids queued with the SEND-written mark set, and any state not listed
// in RecipientState. Final states stay for `retain` after they were reached; Prune deletes them.
//
// Claims, leases and tokens: Claim makes due recipients sending under this store's owner (host,
// pid and a random boot id), each with a fresh fencing token (a counter in SQLite, a sequence in
// PostgreSQL) and a lease (lease_until = now + ttl) that the dispatcher renews while the session
// runs. Every later write of the attempt names the token: a holder whose lease was lost, and
// whose recipient another relay has since swept or claimed, changes nothing. In SQLite one relay
// holds the outbox under a file lock for its lifetime, so no one else can sweep its recipients:
// there a lease never expires while the process lives, and Renew does nothing.
//
// Durability: every operation is one transaction, committed before its callback runs. No
// transaction is shared between two calls, so one caller's failure never undoes another's
// committed or pending work. Accept, MarkSendWritten and Act are on the disk when they complete (a
// power cut keeps them: SQLite synchronous FULL; PostgreSQL a synchronous commit): a 202 and a
// SEND on the wire stand on them. The others need only outlive the process (a store may commit
// them without waiting for the disk): one lost to a power cut leaves its recipient as it was,
// which Sweep resolves safely, queued before SEND and uncertain after. Callers batch: the HTTP API
// gives every request of one loop turn to one Accept (group commit), the dispatcher every SEND of
// one loop turn to one MarkSendWritten and the outcomes of a few milliseconds to one Finish.
//
// Time comes from the store's own clock (SQLite: the clock it was made with; PostgreSQL: the
// database's now()). What the dispatcher needs to schedule comes back as durations from that
// clock, so a relay's clock that differs from the database's misplaces nothing.
//
// Threading: one thread, the event loop's, calls a Store. Every operation returns at once and
// completes through its callback, later, on that loop, never from inside the call (SQLite does
// the work in the call and posts the callback; PostgreSQL sends it and calls back when the result
// arrives). Operations complete in the order they were called, but for one exception: an Accept
// or Finish whose answer was lost with the database connection is sent again once it is back,
// and completes then (an Accept fails if the database is not back within seconds, saying that
// its pages may have been stored). A callback may call the store again. Callbacks still pending
// when the store is destroyed never run.
//
// Errors: an operation that fails has no effect at all; its Result carries what went wrong and
// what to do ("the disk is full ..."). A guarded transition that finds its row changed is not an
// error: its per-item answer is false.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel::outbox {

using Millis = std::int64_t;  // milliseconds; times of day are since the Unix epoch

// The names are the store's, the API's and the metrics'; the order is the enum's only.
enum class RecipientState {
  kQueued,     // waiting for its next attempt
  kSending,    // claimed: an attempt is under way
  kDelivered,  // the gateway confirmed the page (250, 860 or 960 to SEND)
  kDegraded,   // confirmed, but through a gateway that could not carry every field (note says
               // which were left out)
  kRefused,    // the gateway said no (5xx), or every gateway refused the login; not retried
  kFailed,     // given up for a reason other than expiry (no gateway can ever carry it)
  kUncertain,  // SEND was written and its answer never came; not resent by the relay
  kExpired,    // not delivered within its expire_after
  kDismissed,  // was uncertain; an operator closed it without sending it again
};
inline constexpr int kRecipientStateCount = 9;

// "queued", "sending", "delivered", "degraded", "refused", "failed", "uncertain", "expired",
// "dismissed".
std::string_view ToString(RecipientState state);
std::optional<RecipientState> ParseRecipientState(std::string_view name);
// Every state but queued and sending is final.
bool IsFinal(RecipientState state);

// The outcome of one operation: a value, or what went wrong (and then nothing of it took effect).
template <typename T>
struct Result {
  std::optional<T> value;
  std::string error;

  static Result Ok(T v) { return Result{std::move(v), {}}; }
  static Result Failed(std::string what) { return Result{std::nullopt, std::move(what)}; }
  explicit operator bool() const { return value.has_value(); }
  T& operator*() { return *value; }
  const T& operator*() const { return *value; }
  T* operator->() { return &*value; }
  const T* operator->() const { return &*value; }
};

template <typename T>
using Callback = std::function<void(Result<T>)>;

// What is sent: a one-line message or a data body, an optional subject, and the level-2 options
// as a JSON object text ("alert", "coverage", "serviceLevel", "hold", "callerId") the store keeps
// without reading.
struct PageContent {
  std::string message;
  std::string data;
  std::string subject;
  std::string options = "{}";
};

struct NewPage {
  PageContent content;
  std::vector<std::string> pagers;
  std::string source;           // who asked: "api", "alertmanager/<receiver>"
  std::string idempotency_key;  // empty: none. The same key within its lifetime: the same page
  std::string dedup_key;        // empty: none. A namespace apart from idempotency keys
  Millis expire_after = 3'600'000;
  // Only a gateway at SNPP level 2 or above may carry it (a data body needs one anyway).
  bool require_level2 = false;
};

struct Accepted {
  std::string id;
  bool created = false;  // false: an earlier page holding the same key answered
};

struct RecipientRef {
  std::string page_id;
  int index = 0;
  auto operator<=>(const RecipientRef&) const = default;
};

// A claim on one recipient: what every write of its attempt names.
struct Lease {
  RecipientRef ref;
  std::int64_t token = 0;
  auto operator<=>(const Lease&) const = default;
};

struct RecipientRecord {
  int index = 0;
  std::string pager;
  RecipientState state = RecipientState::kQueued;
  int attempts = 0;        // attempts started (claims), all gateways together
  std::string gateway;     // of the latest attempt that reached SEND or ended
  std::string last_reply;  // the server's last reply, or what went wrong
  std::string note;        // what else the operator should know (degraded: the fields left out;
                           // resent or dismissed: the operator's note)
  std::string acted_by;    // who resent or dismissed it last (the API token's name); empty: no one
  bool send_written = false;
  Millis next_attempt = 0;  // when queued: the time it falls due
  Millis updated = 0;
};

struct PageRecord {
  std::string id;
  PageContent content;
  std::string source;
  bool require_level2 = false;
  Millis created = 0;
  Millis expires = 0;
  std::vector<RecipientRecord> recipients;
};

// Which queued recipients a claim may take.
enum class ClaimFilter {
  kAny,
  kLevel1,  // only pages a level-1 gateway can carry (no data body, no require_level2)
  kLevel2,  // only pages that need a gateway at level 2 or above
};

struct ClaimRequest {
  std::size_t limit = 0;  // at most this many: the free session slots
  ClaimFilter filter = ClaimFilter::kAny;
};

// One claimed recipient with everything its attempt needs.
struct Job {
  Lease lease;
  std::string pager;
  int attempts = 0;          // attempts before this one
  std::string last_gateway;  // the gateway of the attempt before; empty: none
  PageContent content;
  bool require_level2 = false;
  Millis age = 0;         // since the page was accepted, at the claim
  Millis expires_in = 0;  // until the page expires, from the claim (> 0)
};

struct Claimed {
  std::vector<Job> jobs;  // oldest due first
  // When the earliest queued recipient this claim's filter takes falls due, from now; 0: due
  // already (more than the limit were); none: nothing such is queued.
  std::optional<Millis> next_due_in;
};

// SEND is about to go out for a claim, through `gateway`.
struct SendMark {
  Lease lease;
  std::string gateway;
};

// How an attempt ended.
struct Settlement {
  Lease lease;
  RecipientState state = RecipientState::kQueued;  // a final state, or queued for another try
  // Each of the three: empty keeps what the recipient had.
  std::string gateway;  // of this attempt
  std::string reply;    // the server's reply, or what went wrong
  std::string note;     // kept with the recipient; see RecipientRecord
  Millis retry_in = 0;  // when queued: the wait before the next try
  // False: no session was made for this claim (the relay is stopping, has no slot for it, or
  // no gateway can take it); the attempt the claim counted is taken back.
  bool attempted = true;
};

struct Recovery {
  int requeued = 0;   // sending, SEND not written: queued again
  int uncertain = 0;  // sending, SEND written: uncertain
};

struct PruneRequest {
  Millis retain = 7LL * 24 * 3'600'000;  // how long final recipients are kept
  std::size_t limit = 200;               // pages per call, at most
};

struct Pruned {
  int pages = 0;
  int keys = 0;
  bool more = false;  // the limit was reached: call again (from a later loop turn)
};

struct Counts {
  std::int64_t pages = 0;
  std::int64_t recipients[kRecipientStateCount] = {};
  std::int64_t bytes = 0;  // the outbox's size on disk
};

struct Readiness {
  bool ready = false;
  std::string reason;  // when not ready: why, and what to do
};

// --- What an operator asks for ---------------------------------------------------------------

// Where a list of pages continues: after the page created at `created_us` (microseconds since
// the epoch, on the store's clock) with id `id`, in the order newest first, then id descending.
struct PageCursor {
  std::int64_t created_us = 0;
  std::string id;
  auto operator<=>(const PageCursor&) const = default;
};
// The cursor as the API hands it out ("<created_us>.<id>"), and back; none for any text that is
// not one (a cursor is opaque to clients: they only give back what they were given).
std::string EncodeCursor(const PageCursor& cursor);
std::optional<PageCursor> DecodeCursor(std::string_view text);

inline constexpr std::size_t kMaxListLimit = 1000;

struct PageQuery {
  std::optional<RecipientState> state;  // only pages with a recipient in this state
  std::optional<Millis> since;          // only pages created at or after this time
  std::vector<std::string> sources;     // only pages from one of these sources; empty: any
  std::size_t limit = 50;               // 1 to kMaxListLimit (clamped)
  std::optional<PageCursor> after;      // continue after this page
  // A list stops early, with `next` set, once its pages hold this many bytes (PageBytes): a
  // thousand pages of a MiB each must not make one answer of a GiB. The first page is always
  // listed.
  std::size_t max_bytes = 8 << 20;
};

// What a page weighs in a list: the bytes of its texts and its recipients'.
std::size_t PageBytes(const PageRecord& page);

struct PageList {
  std::vector<PageRecord> pages;   // newest first, each with all its recipients
  std::optional<PageCursor> next;  // set when more pages match: the last one listed
};

enum class OperatorAction { kResend, kDismiss };

// The one rule for what an operator may do to a recipient, by the state it is in:
//
//   action    from                         to
//   resend    uncertain, failed, expired   queued: due now, the SEND mark and the fencing token
//                                          cleared, attempts kept, its page's lifetime again
//                                          from now (an expired one would expire at once)
//   dismiss   uncertain                    dismissed
//   either    any other state              refused; nothing changes
//
// A resend of an uncertain recipient may page someone twice: that is the operator's call, and
// why the relay never makes it by itself.
bool MayAct(OperatorAction action, RecipientState from);
std::string_view ToString(OperatorAction action);  // "resend", "dismiss"

// One action on the recipients of a page that have one pager id. A page may name a pager more
// than once: the action takes every such recipient that MayAct allows, and is refused only when
// none is in such a state.
struct RecipientAction {
  OperatorAction action = OperatorAction::kResend;
  std::string page_id;
  std::string pager;
  std::string actor;  // who asks: the API token's name; kept as acted_by
  std::string note;   // kept as the recipient's note (empty clears it)
};

struct ActionResult {
  enum class Outcome {
    kDone,         // every recipient with that pager that could take it did
    kNoPage,       // no page has that id (or it was pruned)
    kNoRecipient,  // the page has no recipient with that pager
    kRefused,      // no recipient with that pager is in a state the action may leave
  };
  Outcome outcome = Outcome::kNoPage;
  // kRefused: the state of the page's first recipient with that pager.
  RecipientState state = RecipientState::kQueued;
  std::vector<int> changed;        // kDone: the indexes of the recipients that changed
  std::optional<PageRecord> page;  // kDone and kRefused: the page as it is after the call
};

class Store {
 public:
  virtual ~Store() = default;

  // --- The HTTP API --------------------------------------------------------------------------

  // Stores the pages in one transaction: all of them, or on an error none. Accepted comes back
  // in the order of `pages`. A page whose idempotency or dedup key is held by an earlier page
  // whose key has not expired (keys live as long as their page's expire_after) is not stored:
  // the earlier page's id answers, also for a repeat within the same call. Keys have a primary
  // key of their own, so two relays taking the same request at once make one page.
  virtual void Accept(std::vector<NewPage> pages, Callback<std::vector<Accepted>> done) = 0;
  // The page and its recipients; none when no page has that id (or it was pruned).
  virtual void Find(std::string id, Callback<std::optional<PageRecord>> done) = 0;
  // Counts per state and the size on disk, for /metrics.
  virtual void Count(Callback<Counts> done) = 0;
  // Pages newest first (see PageQuery), with all their recipients; one read.
  virtual void ListPages(PageQuery query, Callback<PageList> done) = 0;
  // An operator's resend or dismiss (see MayAct), in one transaction: of two callers acting on
  // the same recipient at once, one changes it and the other is refused with the state it then
  // finds. A resent recipient is claimed like any other; the holder of its earlier claim, were
  // it still to answer, changes nothing (its token no longer names the row). Durable when
  // `done` runs, as an Accept is: the operator was told it is done.
  virtual void Act(RecipientAction action, Callback<ActionResult> done) = 0;
  // Whether the outbox can commit now and its schema is one this program knows: a cheap write
  // (at most one a second; answered from the last one in between), for /readyz.
  virtual void Probe(Callback<Readiness> done) = 0;

  // --- The dispatcher ------------------------------------------------------------------------

  // Takes at most `limit` queued recipients whose next attempt is due and whose page has not
  // expired, oldest due first, and makes them sending with a fresh token and lease each, one
  // more attempt counted; committed when `done` runs, so a session may start at once.
  virtual void Claim(ClaimRequest request, Callback<Claimed> done) = 0;
  // Extends the leases still held; per lease, whether it was. SQLite: always true, no write.
  virtual void Renew(std::vector<Lease> leases, Callback<std::vector<bool>> done) = 0;
  // Sets the SEND-written mark (and the gateway) for each claim still held, in one transaction
  // that is durable when `done` runs; per mark: true, SEND may go out now; false, the lease is
  // lost (the recipient is no longer sending under that token) and SEND must not go out.
  virtual void MarkSendWritten(std::vector<SendMark> marks, Callback<std::vector<bool>> done) = 0;
  // Ends attempts in one transaction; per settlement, whether its claim still held (true) or the
  // recipient had moved on without it (false: nothing changed). Queued clears the SEND-written
  // mark: settle queued only when SEND never reached the wire, or the server answered it with a
  // 4xx. An uncertain recipient whose token matches takes delivered or degraded.
  virtual void Finish(std::vector<Settlement> settlements, Callback<std::vector<bool>> done) = 0;
  // Resolves recipients left sending by a holder that is gone (SQLite: by any earlier process,
  // since this one holds the lock; PostgreSQL: leases expired): queued when SEND was not
  // written, uncertain when it was. Call once at start, then every second or so.
  virtual void Sweep(Callback<Recovery> done) = 0;
  // Queued recipients whose page has expired become expired; at most `limit`, and those come
  // back.
  virtual void Expire(std::size_t limit, Callback<std::vector<RecipientRef>> done) = 0;
  // Deletes a small batch of old pages (see PruneRequest) and expired keys; a page is kept while
  // a key naming it lives, so a repeated request never answers with a pruned page's id.
  virtual void Prune(PruneRequest request, Callback<Pruned> done) = 0;

  // A wake-up hint: `wake` runs, from the loop, when work may have become ready that this
  // process's calls did not make (another relay accepted pages or let a lease lapse), or the
  // store reconnected. Hints can be lost: the dispatcher still looks on its own timer. SQLite
  // has none (one relay per file knows what it added).
  virtual void OnWake(std::function<void()> wake) { (void)wake; }
};

}  // namespace kestrel::outbox
