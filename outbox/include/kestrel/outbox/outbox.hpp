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

#include "kestrel/outbox/sqlite_store.hpp"
#include "kestrel/outbox/store.hpp"

namespace kestrel::outbox {

// One recipient ready for an attempt, with what to send it.
struct DueJob {
  RecipientRef ref;
  std::string pager;
  int attempts = 0;  // attempts made before this one
  PageContent content;
  Millis created = 0;
  Millis expires = 0;
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
  virtual std::vector<DueJob> Due(Millis now, std::size_t limit) = 0;
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
