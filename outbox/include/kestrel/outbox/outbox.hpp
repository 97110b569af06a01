#pragma once
// Outbox: the durable store of pages a relay has accepted and of each recipient's progress.
//
// A page is accepted with its recipients in the state queued. The dispatcher takes due recipients
// (Due), marks each one sending as its attempt starts, records "SEND written" just before SEND
// goes out (MarkSendWritten, durable before it returns), and finishes the attempt with an outcome
// or with queued again and the time of the next attempt. After a crash, Recover() turns every
// recipient left sending back into queued when SEND was not written, and into uncertain when it
// was: such a page may have gone out, and is never sent again.
//
// Durability: Accept() and MarkSendWritten() commit before they return (a caller that holds
// SEND back until its own next Commit() may ask MarkSendWritten not to). The other writes join
// an open transaction that the next Commit(), Accept() or MarkSendWritten() makes durable, so
// that many of them share one disk flush (group commit). A write lost in a crash leaves the
// recipient in its earlier state, which Recover() resolves safely.
//
// Threading: one thread uses an Outbox; nothing here is locked. Errors are thrown as
// OutboxError, saying what failed and what to do.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::outbox {

// Milliseconds since the Unix epoch; the caller supplies the time, so tests can choose it.
using Millis = std::int64_t;

enum class RecipientState {
  kQueued,     // waiting for its next attempt
  kSending,    // an attempt is under way
  kDelivered,  // the gateway confirmed the page (250, 860 or 960 to SEND)
  kRefused,    // the gateway said no (5xx); not retried
  kFailed,     // given up for a reason other than expiry (no gateway could take it)
  kUncertain,  // SEND was written but its answer never came; not resent
  kExpired,    // not delivered within expire_after
};
inline constexpr int kRecipientStateCount = 7;

// "queued", "sending", ...; the names used in the store, the API and the metrics.
std::string_view ToString(RecipientState state);
std::optional<RecipientState> ParseRecipientState(std::string_view name);
// Delivered, refused, failed, uncertain and expired are final.
bool IsFinal(RecipientState state);

class OutboxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What is sent: a one-line message or a data body, an optional subject, and the level-2
// options as a JSON object text the outbox keeps without reading.
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
  std::string dedup_key;        // empty: none. Kept apart from idempotency keys
  Millis expire_after = 3600000;
};

struct Accepted {
  std::string id;
  bool created = false;  // false: an earlier page with the same key answered
};

struct RecipientRef {
  std::string page_id;
  int index = 0;
  auto operator<=>(const RecipientRef&) const = default;
};

struct RecipientRecord {
  int index = 0;
  std::string pager;
  RecipientState state = RecipientState::kQueued;
  int attempts = 0;
  std::string gateway;     // of the latest attempt
  std::string last_reply;  // the server's last reply, or what went wrong
  bool send_written = false;
  Millis next_attempt = 0;
  Millis updated = 0;
};

struct PageRecord {
  std::string id;
  PageContent content;
  std::string source;
  Millis created = 0;
  Millis expires = 0;
  std::vector<RecipientRecord> recipients;
};

// One recipient ready for an attempt, with what to send it.
struct Job {
  RecipientRef ref;
  std::string pager;
  int attempts = 0;  // attempts made before this one
  PageContent content;
  Millis created = 0;
  Millis expires = 0;
};

struct Recovery {
  int requeued = 0;   // sending, SEND not written: queued again
  int uncertain = 0;  // sending, SEND written: uncertain
};

struct Counts {
  std::int64_t pages = 0;
  std::int64_t recipients[kRecipientStateCount] = {};
};

class Outbox {
 public:
  virtual ~Outbox() = default;

  // Stores the pages in one commit (with every pending write) and returns their ids in order.
  // A page whose idempotency or dedup key is held by an unexpired earlier page is not stored;
  // the earlier page's id answers for it.
  virtual std::vector<Accepted> Accept(const std::vector<NewPage>& pages, Millis now) = 0;
  virtual std::optional<PageRecord> Find(std::string_view id) = 0;

  // Resolves recipients left sending by an earlier run. Call once, before the first Due().
  virtual Recovery Recover(Millis now) = 0;
  // Queued recipients whose next attempt is due and whose page has not expired, oldest first.
  virtual std::vector<Job> Due(Millis now, std::size_t limit) = 0;
  // When the earliest queued recipient falls due; none when nothing is queued.
  virtual std::optional<Millis> NextDue() = 0;

  // The attempt starts: sending, one more attempt, through `gateway`. Pending.
  virtual void MarkSending(const RecipientRef& ref, std::string_view gateway, Millis now) = 0;
  // SEND is about to be written. Durable when this returns, unless `commit` is false: then the
  // caller must not let SEND out before its next Commit() has returned.
  virtual void MarkSendWritten(const RecipientRef& ref, Millis now, bool commit = true) = 0;
  // The attempt ended: a final state, or queued with the time of the next attempt. Pending.
  virtual void Finish(const RecipientRef& ref, RecipientState state, std::string_view reply,
                      Millis now, Millis next_attempt = 0) = 0;
  // Queued recipients of pages past their expiry become expired; returns them. Pending.
  virtual std::vector<RecipientRef> Expire(Millis now) = 0;
  // Makes every pending write durable.
  virtual void Commit() = 0;

  virtual Counts Count() = 0;
};

// Opens (creating when missing) the SQLite outbox at `path`: WAL journal, synchronous FULL.
std::unique_ptr<Outbox> OpenSqliteOutbox(const std::string& path);

}  // namespace kestrel::outbox
