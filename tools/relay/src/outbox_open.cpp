#include "outbox_open.hpp"

#include <sys/resource.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>

#include "kestrel/outbox/sqlite_store.hpp"
#include "kestrel/platform/event_loop.hpp"
#ifdef KESTREL_HAVE_PG
#include "kestrel/outbox/pg/store.hpp"
#endif

namespace kestrel::relay {

namespace {

OpenedOutbox OpenSqlite(const RelayConfig& config, platform::EventLoop& loop,
                        std::function<outbox::Millis()> wall_clock) {
  OpenedOutbox opened;
  opened.description = "outbox " + config.outbox;
  try {
    opened.store = outbox::OpenSqliteStore(
        {config.outbox, std::move(wall_clock),
         [&loop](std::function<void()> fn) { loop.Post(std::move(fn)); }, ""});
    opened.schema = "the outbox " + config.outbox + " is at schema version " +
                    std::to_string(outbox::kSqliteSchemaVersion);
  } catch (const std::exception& e) {
    opened.error = e.what();
  }
  return opened;
}

#ifdef KESTREL_HAVE_PG
std::string SchemaDone(const outbox::pg::SchemaStatus& status) {
  const auto now = std::to_string(status.now);
  if (status.found == 0) return "created the outbox schema at version " + now;
  if (status.found < status.now) {
    return "updated the outbox schema from version " + std::to_string(status.found) + " to " + now;
  }
  return "the outbox schema is at version " + now;
}

OpenedOutbox OpenPostgres(const RelayConfig& config, platform::EventLoop& loop, bool migrate) {
  outbox::pg::StoreOptions options;
  options.conninfo = config.outbox_conninfo;
  options.migrate = migrate;
  options.lease_ttl = config.lease_ttl;
  std::optional<outbox::pg::Opened> result;
  outbox::pg::OpenStore(loop, options, [&](outbox::pg::Opened o) { result = std::move(o); });
  // OpenStore answers within open_timeout itself; the margin only guards against a stuck loop.
  loop.RunUntil([&] { return result.has_value(); },
                std::chrono::milliseconds(options.open_timeout + 5000));
  OpenedOutbox opened;
  opened.description = "the shared outbox in PostgreSQL";
  if (!result) {
    opened.error = "outbox: opening the PostgreSQL outbox did not finish; check the database";
  } else if (!result->store) {
    opened.error = std::move(result->error);
    if (!migrate && (result->schema.verdict == outbox::pg::SchemaVerdict::kMissing ||
                     result->schema.verdict == outbox::pg::SchemaVerdict::kOlder)) {
      opened.error += " (snpp-relay migrate CONFIG, or start with --migrate)";
    }
  } else {
    opened.description += " (owner " + result->store->owner() + ")";
    opened.schema = SchemaDone(result->schema);
    opened.store = std::move(result->store);
  }
  return opened;
}
#endif

}  // namespace

OpenedOutbox OpenOutbox(const RelayConfig& config, platform::EventLoop& loop, bool migrate,
                        std::function<outbox::Millis()> wall_clock) {
  if (config.outbox_conninfo.empty()) return OpenSqlite(config, loop, std::move(wall_clock));
#ifdef KESTREL_HAVE_PG
  return OpenPostgres(config, loop, migrate);
#else
  (void)migrate;
  OpenedOutbox opened;
  opened.error =
      "outbox: this snpp-relay was built without PostgreSQL (libpq was not found when it was "
      "built); use a SQLite outbox, or a build with libpq";
  return opened;
#endif
}

std::int64_t OutboxLimit(const RelayConfig& config, std::int64_t bytes) {
  if (config.outbox.empty()) return 0;
  auto folder = std::filesystem::path(config.outbox).parent_path();
  if (folder.empty()) folder = ".";
  struct statvfs fs {};
  if (::statvfs(folder.c_str(), &fs) != 0 || fs.f_frsize == 0) return 0;
  const auto free = static_cast<std::int64_t>(
      std::min<unsigned long long>(static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize,
                                   static_cast<unsigned long long>(INT64_MAX / 2)));
  std::int64_t limit = std::max<std::int64_t>(bytes, 0) + free;
  rlimit file_size{};
  if (::getrlimit(RLIMIT_FSIZE, &file_size) == 0 && file_size.rlim_cur != RLIM_INFINITY) {
    limit = std::min(limit, static_cast<std::int64_t>(std::min<rlim_t>(
                                file_size.rlim_cur, static_cast<rlim_t>(INT64_MAX / 2))));
  }
  return limit;
}

}  // namespace kestrel::relay
