#pragma once
// The SQLite store: one relay's outbox in one file, WAL journal, synchronous FULL.
//
// One relay per file: the store holds an exclusive lock (flock on "<path>.lock", which names the
// holder's pid) for its whole life, and opening a file another process holds fails. Several
// relays share an outbox only through the PostgreSQL store.
//
// Schema: versioned with PRAGMA user_version. Opening creates a new file at the current version,
// migrates an older one in one transaction (the outbox of a relay that predates versioning is
// version 0; version 2 added the state dismissed and acted_by), and refuses a newer one or a
// database that is no outbox.
//
// Every operation runs at once, in one transaction of its own, and posts its callback (see
// store.hpp). The work blocks the loop for as long as SQLite takes (a disk flush per write).

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "kestrel/outbox/store.hpp"

namespace kestrel::outbox {

// The outbox could not be opened; the text names the file, the reason and what to do.
class OutboxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The schema version this program writes and reads.
inline constexpr int kSqliteSchemaVersion = 2;

struct SqliteOptions {
  std::string path;
  std::function<Millis()> now;                      // wall clock, since the epoch
  std::function<void(std::function<void()>)> post;  // runs work later on the loop
  std::string owner;                                // empty: "<host>:<pid>:<random boot id>"
};

// Opens (creating when missing) and locks the outbox; throws OutboxError.
std::unique_ptr<Store> OpenSqliteStore(SqliteOptions options);

}  // namespace kestrel::outbox
