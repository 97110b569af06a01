#include "kestrel/outbox/pg/schema.hpp"

#include <memory>

namespace kestrel::outbox::pg {

namespace {

// An advisory lock of its own (not one of kLockKeys' key hashes) for migrations.
constexpr std::string_view kLockMigration = "SELECT pg_advisory_xact_lock(1263750737, 0)";
constexpr std::string_view kCreateVersionTable =
    "CREATE TABLE IF NOT EXISTS schema_version (version integer PRIMARY KEY, "
    "applied_at timestamptz NOT NULL DEFAULT now())";
constexpr std::string_view kReadVersion = "SELECT coalesce(max(version), 0) FROM schema_version";
constexpr const char* kUndefinedTable = "42P01";
constexpr const char* kUniqueViolation = "23505";

int VersionOf(const Result& result) {
  return static_cast<int>(result.Int(0, 0).value_or(-1));
}

struct Migration : std::enable_shared_from_this<Migration> {
  Connection& connection;
  std::function<void(SchemaStatus)> done;
  SchemaStatus status;
  int tries = 0;

  Migration(Connection& c, std::function<void(SchemaStatus)> d)
      : connection(c), done(std::move(d)) {}

  void Look() {
    std::vector<Query> unit;
    unit.emplace_back(std::string(kLockMigration));
    unit.emplace_back(std::string(kCreateVersionTable));
    unit.emplace_back(std::string(kReadVersion));
    connection.Run(std::move(unit), [self = shared_from_this()](Reply reply) {
      if (!reply.ok()) return self->Finish(std::move(reply.error));
      const int found = VersionOf(reply.results[2]);
      if (self->tries == 0) self->status.found = found;
      self->status.now = found;
      self->status.verdict = JudgeSchema(found);
      if (self->status.verdict == SchemaVerdict::kMissing ||
          self->status.verdict == SchemaVerdict::kOlder) {
        return self->Step(found);
      }
      self->Finish(std::nullopt);
    });
  }

  void Step(int from) {
    std::vector<Query> unit;
    unit.emplace_back(std::string(kLockMigration));
    for (int version = from + 1; version <= kSchemaVersion; ++version) {
      unit.emplace_back("INSERT INTO schema_version (version) VALUES ($1::integer)",
                        Params{std::to_string(version)});
      for (auto statement : SchemaStep(version)) unit.emplace_back(std::string(statement));
    }
    connection.Run(std::move(unit), [self = shared_from_this()](Reply reply) {
      if (reply.ok()) {
        self->status.now = kSchemaVersion;
        self->status.verdict = SchemaVerdict::kCurrent;
        return self->Finish(std::nullopt);
      }
      // Another migration committed first: look again (a few times at most).
      if (reply.error->sqlstate == kUniqueViolation && ++self->tries < 3) return self->Look();
      self->Finish(std::move(reply.error));
    });
  }

  void Finish(std::optional<Error> error) {
    status.error = std::move(error);
    auto callback = std::move(done);
    callback(std::move(status));
  }
};

}  // namespace

std::string SchemaStatus::Describe() const {
  if (error) {
    std::string text = "the outbox schema could not be read or migrated: " + error->what;
    if (!error->server.empty()) text += " (" + error->server + ")";
    return text;
  }
  switch (verdict) {
    case SchemaVerdict::kCurrent:
      return "the outbox schema is at version " + std::to_string(now) + ", as this relay expects";
    case SchemaVerdict::kMissing:
      return "the database has no outbox schema yet: migrate it first";
    case SchemaVerdict::kOlder:
      return "the outbox schema is at version " + std::to_string(now) + ", older than version " +
             std::to_string(kSchemaVersion) + " that this relay needs: migrate it first";
    case SchemaVerdict::kNewer:
      return "the outbox schema is at version " + std::to_string(now) +
             ", newer than this relay knows (" + std::to_string(kSchemaVersion) +
             "): a newer relay migrated it; run that version, or restore a backup made before";
  }
  return "the outbox schema is in an unknown state";
}

void CheckSchema(Connection& connection, std::function<void(SchemaStatus)> done) {
  connection.Run(Query(std::string(kReadVersion)), [done = std::move(done)](Reply reply) {
    SchemaStatus status;
    if (reply.ok()) {
      status.found = status.now = VersionOf(reply.results[0]);
    } else if (reply.error->sqlstate != kUndefinedTable) {
      status.error = std::move(reply.error);
    }
    status.verdict = JudgeSchema(status.now);
    done(std::move(status));
  });
}

void Migrate(Connection& connection, std::function<void(SchemaStatus)> done) {
  std::make_shared<Migration>(connection, std::move(done))->Look();
}

}  // namespace kestrel::outbox::pg
