#pragma once
// Checking and migrating the outbox's schema in a database, over a Connection.
//
// CheckSchema reads the version a database is at and judges it (JudgeSchema): a relay starts
// only on kCurrent. Migrate creates or updates the schema to kSchemaVersion, one transaction per
// step, and refuses a database a newer build migrated. Two migrations at once are safe: they
// take the same advisory lock, and the second finds the work done.
//
// Threading: the Connection's loop; `done` runs once, from the loop.

#include <functional>
#include <optional>
#include <string>

#include "kestrel/outbox/pg/client.hpp"
#include "kestrel/outbox/pg/queue_sql.hpp"

namespace kestrel::outbox::pg {

struct SchemaStatus {
  int found = 0;  // the version the database was at (0: no schema)
  int now = 0;    // the version it is at when done
  SchemaVerdict verdict = SchemaVerdict::kMissing;  // of `now`
  std::optional<Error> error;  // the database could not be asked, or a step failed
  // What a person reads: ready, or what is wrong and what to do.
  std::string Describe() const;
};

void CheckSchema(Connection& connection, std::function<void(SchemaStatus)> done);
void Migrate(Connection& connection, std::function<void(SchemaStatus)> done);

}  // namespace kestrel::outbox::pg
