#pragma once
// The PostgreSQL store: several relays, active-active, share one outbox in one database. It is
// outbox::Store (store.hpp) on one Connection (client.hpp): every operation is one unit, so one
// transaction, whose answer completes it; the statements are those of queue_sql.hpp.
//
//   OpenStore ── connect ── CheckSchema (or Migrate) ──▶ done(store) ... operations ...
//                   │ failed, or no answer in open_timeout       │ the connection is lost:
//                   ▼                                            ▼ it reconnects by itself
//              done(error)                   meanwhile operations fail at once (nothing done),
//                                            but see "Lost answers" below; Probe is not ready
//
// Claims are leases: owner (host/pid/random boot id, so a restarted relay with a recycled pid is
// someone else), a fencing token from the sequence recipient_token, and lease_until = now() +
// lease_ttl on the database's clock. The dispatcher renews them every second or so; a relay that
// stops renewing (killed, paused, cut off) loses them after lease_ttl, and any relay's Sweep
// then queues its recipients again, or makes them uncertain when SEND was written.
//
// Lost answers. A unit whose connection broke after it was written may or may not have
// committed; the store looks again once the connection is back:
//   Accept           sent again under the same page ids (see kAcceptPage): the pages are
//                    stored once and the same ids answer; if the database is not back within
//                    lost_accept_wait, it fails saying that they may have been stored
//   MarkSendWritten  every mark answers false: SEND must not go out. Had the mark committed,
//                    the lapsed lease makes the recipient uncertain, never queued
//   Finish           sent again when the database is back, however long that takes (also when
//                    the connection was down at the call); guarded by its tokens, it changes
//                    nothing twice, and a settlement whose first try had committed answers true
//   the others       fail; each is safe to call again
//
// Durability: an accept, a SEND-written mark and a finish that says a page went out (delivered,
// degraded) complete once their commit is on the disk (and on a synchronous standby, where the
// server has one); claims, renewals, other outcomes, sweeps and retention commit without
// waiting for it (kRelaxedCommit), as store.hpp allows.
//
// Wake-ups: every commit that makes work ready (an accept, a recipient queued again) NOTIFYs
// once; the store LISTENs and calls the OnWake handler, and calls it after every reconnection
// too (notifications sent meanwhile are lost). A hint only: the dispatcher keeps its timer.
//
// Threading: the loop's thread only; see store.hpp for when callbacks come. The connection
// string may hold a password: nothing here logs it and no error text repeats it.

#include <functional>
#include <memory>
#include <string>

#include "kestrel/outbox/pg/client.hpp"
#include "kestrel/outbox/pg/schema.hpp"
#include "kestrel/outbox/store.hpp"

namespace kestrel::platform {
class EventLoop;
}

namespace kestrel::outbox::pg {

struct StoreOptions {
  std::string conninfo;  // libpq's keyword=value string or postgresql:// URI; may hold a secret
  std::string application_name = "snpp-relay";
  Millis lease_ttl = 5000;
  std::string owner;            // empty: NewOwner()
  bool migrate = false;         // create or update the schema when opening, instead of refusing it
  Millis open_timeout = 15000;  // for the first connection and the schema check together
  Millis lost_accept_wait = 10000;  // see "Lost answers"
  // Timeouts, backoff and pipelining of the connection; its conninfo and application_name are
  // taken from above.
  Options connection;
};

class PgStore final : public Store {
 public:
  struct Impl;
  explicit PgStore(std::shared_ptr<Impl> impl);
  ~PgStore() override;
  PgStore(const PgStore&) = delete;
  PgStore& operator=(const PgStore&) = delete;

  void Accept(std::vector<NewPage> pages, Callback<std::vector<Accepted>> done) override;
  void Find(std::string id, Callback<std::optional<PageRecord>> done) override;
  void ListPages(PageQuery query, Callback<PageList> done) override;
  void Act(RecipientAction action, Callback<ActionResult> done) override;
  void Count(Callback<Counts> done) override;
  void Probe(Callback<Readiness> done) override;
  void Claim(ClaimRequest request, Callback<Claimed> done) override;
  void Renew(std::vector<Lease> leases, Callback<std::vector<bool>> done) override;
  void MarkSendWritten(std::vector<SendMark> marks, Callback<std::vector<bool>> done) override;
  void Finish(std::vector<Settlement> settlements, Callback<std::vector<bool>> done) override;
  void Sweep(Callback<Recovery> done) override;
  void Expire(std::size_t limit, Callback<std::vector<RecipientRef>> done) override;
  void Prune(PruneRequest request, Callback<Pruned> done) override;
  void OnWake(std::function<void()> wake) override;

  // Who this store's claims name: "host/pid/boot".
  const std::string& owner() const;
  // The server process of the connection now (0: none), as pg_stat_activity shows it.
  int backend_pid() const;
  State connection_state() const;

 private:
  std::shared_ptr<Impl> impl_;
};

struct Opened {
  std::unique_ptr<PgStore> store;  // none when it could not be opened
  SchemaStatus schema;             // what was found, and what it is now
  std::string error;               // without a store: what went wrong and what to do
};

// Connects, checks the schema (or migrates it, with `migrate`), and answers with a store whose
// schema is the one this build knows, or with why not: the database could not be reached in
// open_timeout, or its schema is missing, older (migrate it) or newer (a newer relay migrated
// it). `done` runs once, from the loop, never from inside the call.
void OpenStore(platform::EventLoop& loop, StoreOptions options, std::function<void(Opened)> done);

}  // namespace kestrel::outbox::pg
