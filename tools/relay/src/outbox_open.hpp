#pragma once
// Opening the relay's outbox from its configuration: the SQLite file, or the shared outbox in
// PostgreSQL, connected on the relay's loop with its schema checked (or migrated, for
// `snpp-relay migrate` and --migrate). A schema the relay does not know is refused.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "kestrel/outbox/store.hpp"
#include "kestrel/relay/config.hpp"

namespace kestrel::platform {
class EventLoop;
}

namespace kestrel::relay {

struct OpenedOutbox {
  std::unique_ptr<outbox::Store> store;
  std::string error;  // without a store: what went wrong and what to do
  // For the log: which outbox, never its connection string.
  std::string description;
  // What opening did to the schema: "created at version 2", "already at version 2", ...
  std::string schema;
};

// Runs `loop` until the outbox is open or has failed to open.
OpenedOutbox OpenOutbox(const RelayConfig& config, platform::EventLoop& loop, bool migrate,
                        std::function<outbox::Millis()> wall_clock);

// The bytes at which the outbox can take no more pages, given `bytes`, its size now: for the
// SQLite outbox, that size and what its file system can still give (to the relay's user), or the
// file-size limit (ulimit -f, LimitFSIZE=) when that is less; 0 when not known (the shared
// outbox in PostgreSQL, or a file system that does not say).
std::int64_t OutboxLimit(const RelayConfig& config, std::int64_t bytes);

}  // namespace kestrel::relay
