// The SQLite store. One connection; every operation is one BEGIN IMMEDIATE ... COMMIT of its own,
// done at once, its callback posted.

#include "kestrel/outbox/sqlite_store.hpp"

#include <SQLiteCpp/SQLiteCpp.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace kestrel::outbox {

namespace {

// "'queued', 'sending', ...": the states the schema's CHECK allows, from the one list of names.
std::string StateList() {
  std::string list;
  for (int i = 0; i < kRecipientStateCount; ++i) {
    if (!list.empty()) list += ", ";
    list += "'" + std::string(ToString(static_cast<RecipientState>(i))) + "'";
  }
  return list;
}

std::string RecipientsTable(const std::string& name) {
  return "CREATE TABLE " + name +
         " (\n"
         "  page_id TEXT NOT NULL REFERENCES pages(id),\n"
         "  idx INTEGER NOT NULL,\n"
         "  pager TEXT NOT NULL,\n"
         "  state TEXT NOT NULL CHECK (state IN (" +
         StateList() +
         ")),\n"
         "  attempts INTEGER NOT NULL DEFAULT 0,\n"
         "  gateway TEXT NOT NULL DEFAULT '',\n"
         "  last_reply TEXT NOT NULL DEFAULT '',\n"
         "  note TEXT NOT NULL DEFAULT '',\n"
         "  acted_by TEXT NOT NULL DEFAULT '',\n"
         "  send_written INTEGER NOT NULL DEFAULT 0 CHECK (send_written IN (0, 1)),\n"
         "  needs_level2 INTEGER NOT NULL DEFAULT 0 CHECK (needs_level2 IN (0, 1)),\n"
         "  owner TEXT NOT NULL DEFAULT '',\n"
         "  token INTEGER NOT NULL DEFAULT 0,\n"
         "  lease_until INTEGER NOT NULL DEFAULT 0,\n"
         "  next_ms INTEGER NOT NULL,\n"
         "  expires_ms INTEGER NOT NULL,\n"
         "  updated_ms INTEGER NOT NULL,\n"
         "  PRIMARY KEY (page_id, idx),\n"
         "  CHECK (NOT (state = 'queued' AND send_written = 1))\n"
         ")";
}

constexpr const char* kPagesTable = R"sql(
CREATE TABLE pages (
  id TEXT PRIMARY KEY,
  created_ms INTEGER NOT NULL,
  expires_ms INTEGER NOT NULL,
  source TEXT NOT NULL,
  message TEXT NOT NULL,
  data TEXT NOT NULL,
  subject TEXT NOT NULL,
  options TEXT NOT NULL,
  require_level2 INTEGER NOT NULL DEFAULT 0 CHECK (require_level2 IN (0, 1))
))sql";

constexpr const char* kCommonParts = R"sql(
CREATE INDEX recipients_due ON recipients(state, next_ms);
CREATE INDEX IF NOT EXISTS pages_created ON pages(created_ms);
CREATE TABLE IF NOT EXISTS page_keys (
  key TEXT PRIMARY KEY,
  page_id TEXT NOT NULL,
  expires_ms INTEGER NOT NULL
);
CREATE INDEX page_keys_expiry ON page_keys(expires_ms);
CREATE INDEX page_keys_page ON page_keys(page_id);
CREATE TABLE counters (name TEXT PRIMARY KEY, value INTEGER NOT NULL);
INSERT INTO counters (name, value) VALUES ('token', 0), ('probe', 0);
)sql";

// The outbox of a relay from before the schema had a version: the states it knew, no owner,
// token, lease, note or level-2 flags. Its recipients move to the new table as they were; a
// recipient left sending is resolved by the first Sweep like any other.
std::string MigrateFromVersion0() {
  return "ALTER TABLE pages ADD COLUMN require_level2 INTEGER NOT NULL DEFAULT 0 "
         "CHECK (require_level2 IN (0, 1));\n"
         "ALTER TABLE recipients RENAME TO recipients_v0;\n" +
         RecipientsTable("recipients") +
         ";\n"
         "INSERT INTO recipients (page_id, idx, pager, state, attempts, gateway, last_reply, "
         "send_written, needs_level2, next_ms, expires_ms, updated_ms)\n"
         "  SELECT r.page_id, r.idx, r.pager,\n"
         "    CASE WHEN r.state IN (" +
         StateList() +
         ") THEN r.state ELSE 'uncertain' END,\n"
         "    r.attempts, r.gateway, r.last_reply,\n"
         "    CASE WHEN r.state = 'queued' THEN 0 WHEN r.send_written <> 0 THEN 1 ELSE 0 END,\n"
         "    CASE WHEN p.data <> '' THEN 1 ELSE 0 END,\n"
         "    r.next_ms, r.expires_ms, r.updated_ms\n"
         "  FROM recipients_v0 r JOIN pages p ON p.id = r.page_id;\n"
         "DROP TABLE recipients_v0;\n"
         "DROP INDEX IF EXISTS page_keys_expiry;\n" +
         kCommonParts;
}

// Version 1 to 2: the state dismissed (the CHECK names every state, so the table is made anew)
// and who acted on a recipient (acted_by). Every row moves as it was, in its order.
std::string MigrateFromVersion1() {
  return "ALTER TABLE recipients RENAME TO recipients_v1;\n" + RecipientsTable("recipients") +
         ";\n"
         "INSERT INTO recipients (page_id, idx, pager, state, attempts, gateway, last_reply, note, "
         "send_written, needs_level2, owner, token, lease_until, next_ms, expires_ms, "
         "updated_ms)\n"
         "  SELECT page_id, idx, pager, state, attempts, gateway, last_reply, note, send_written, "
         "needs_level2, owner, token, lease_until, next_ms, expires_ms, updated_ms\n"
         "  FROM recipients_v1 ORDER BY rowid;\n"
         "DROP TABLE recipients_v1;\n"
         "CREATE INDEX recipients_due ON recipients(state, next_ms);\n";
}

std::string CreateCurrent() {
  return std::string(kPagesTable) + ";\n" + RecipientsTable("recipients") + ";\n" + kCommonParts;
}

std::string Hostname() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

std::string RandomHex(std::mt19937_64& random, int words) {
  std::string text;
  for (int i = 0; i < words; ++i) {
    char part[17];
    std::snprintf(part, sizeof part, "%016llx", static_cast<unsigned long long>(random()));
    text += part;
  }
  return text;
}

std::mt19937_64 Seeded() {
  std::random_device device;
  std::seed_seq seed{device(), device(), device(), device(), device(), device()};
  return std::mt19937_64(seed);
}

// The exclusive lock of one outbox file, held for the store's life.
class FileLock {
 public:
  explicit FileLock(const std::string& outbox) : path_(outbox + ".lock") {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
      throw OutboxError("outbox: cannot create the lock file '" + path_ + "' of '" + outbox +
                        "': " + std::strerror(errno) +
                        " (check that the outbox's folder exists and is writable by the relay)");
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      const std::string holder = Holder();
      ::close(fd_);
      fd_ = -1;
      if (error == EWOULDBLOCK) {
        throw OutboxError("outbox: '" + outbox + "' is in use by another relay" + holder +
                          "; one relay per SQLite outbox: stop the other one, or give this one "
                          "an outbox file of its own (several relays share an outbox only in "
                          "PostgreSQL)");
      }
      throw OutboxError("outbox: cannot lock '" + path_ + "': " + std::strerror(error));
    }
    const std::string mine = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, mine.data(), mine.size(), 0) < 0) {
      // The lock holds without the note; only the message to a second relay is poorer.
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  // " (pid 1234, snpp-relay)", from the note the holder left in the lock file.
  std::string Holder() const {
    char text[32] = {};
    const auto got = ::pread(fd_, text, sizeof text - 1, 0);
    if (got <= 0) return "";
    const long pid = std::strtol(text, nullptr, 10);
    if (pid <= 0) return "";
    std::string name;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::getline(comm, name);
    return " (pid " + std::to_string(pid) + (name.empty() ? "" : ", " + name) + ")";
  }

  std::string path_;
  int fd_ = -1;
};

bool NeedsLevel2(const NewPage& page) {
  return page.require_level2 || !page.content.data.empty();
}

class SqliteStore final : public Store {
 public:
  explicit SqliteStore(SqliteOptions options)
      : options_(std::move(options)),
        lock_(options_.path),
        db_(Open(options_.path)),
        random_(Seeded()) {
    if (!options_.now || !options_.post) {
      throw std::invalid_argument("a SQLite store needs a clock and a loop to post to");
    }
    if (options_.owner.empty()) {
      options_.owner =
          Hostname() + ":" + std::to_string(::getpid()) + ":" + RandomHex(random_, 1).substr(0, 8);
    }
    try {
      db_.setBusyTimeout(5000);
      // WAL: readers never block the writer; FULL: every commit is on disk before it returns,
      // so an answered request survives a power cut.
      db_.exec("PRAGMA journal_mode=WAL");
      db_.exec("PRAGMA synchronous=FULL");
      db_.exec("PRAGMA foreign_keys=ON");
      Migrate();
    } catch (const SQLite::Exception& e) {
      throw OutboxError("outbox: cannot use '" + options_.path + "': " + e.what() +
                        " (check that it is an outbox, that the disk is not full and that the "
                        "file and its folder are writable by the relay)");
    }
  }

  ~SqliteStore() override { *alive_ = false; }

  void Accept(std::vector<NewPage> pages, Callback<std::vector<Accepted>> done) override {
    Complete(std::move(done), [&] { return AcceptAll(pages); });
  }

  void Find(std::string id, Callback<std::optional<PageRecord>> done) override {
    Complete(std::move(done), [&] { return FindPage(id); });
  }

  void ListPages(PageQuery query, Callback<PageList> done) override {
    Complete(std::move(done), [&] { return List(query); });
  }

  void Act(RecipientAction action, Callback<ActionResult> done) override {
    Complete(std::move(done), [&] { return ActOn(action); });
  }

  void Count(Callback<Counts> done) override {
    Complete(std::move(done), [&] { return CountAll(); });
  }

  void Probe(Callback<Readiness> done) override {
    const Millis now = options_.now();
    if (probed_ && now >= probed_at_ && now - probed_at_ < 1000) {
      return Post(std::move(done), Result<Readiness>::Ok(*probed_));
    }
    Readiness readiness;
    try {
      const int version = db_.execAndGet("PRAGMA user_version").getInt();
      if (version != kSqliteSchemaVersion) {
        readiness.reason = "outbox: '" + options_.path + "' has schema version " +
                           std::to_string(version) + ", not " +
                           std::to_string(kSqliteSchemaVersion) +
                           "; another program changed it: restart the relay";
      } else {
        Transaction(Durability::kSynced, [&] {
          auto& probe = Statement("UPDATE counters SET value = ? WHERE name = 'probe'");
          probe.bind(1, static_cast<std::int64_t>(now));
          Run(probe);
        });
        readiness.ready = true;
      }
    } catch (const std::exception& e) {
      readiness.reason = Describe(e);
    }
    probed_ = readiness;
    probed_at_ = now;
    Post(std::move(done), Result<Readiness>::Ok(std::move(readiness)));
  }

  void Claim(ClaimRequest request, Callback<Claimed> done) override {
    Complete(std::move(done), [&] { return ClaimDue(request); });
  }

  void Renew(std::vector<Lease> leases, Callback<std::vector<bool>> done) override {
    // Under the file lock nobody else can sweep our recipients: a lease lasts as long as we do.
    Post(std::move(done), Result<std::vector<bool>>::Ok(std::vector<bool>(leases.size(), true)));
  }

  void MarkSendWritten(std::vector<SendMark> marks, Callback<std::vector<bool>> done) override {
    Complete(std::move(done), [&] {
      std::vector<bool> held;
      Transaction(Durability::kSynced, [&] {
        const Millis now = options_.now();
        auto& mark = Statement(
            "UPDATE recipients SET send_written = 1, gateway = ?, updated_ms = ? "
            "WHERE page_id = ? AND idx = ? AND state = 'sending' AND token = ?");
        for (const auto& m : marks) {
          mark.bind(1, m.gateway);
          mark.bind(2, static_cast<std::int64_t>(now));
          mark.bind(3, m.lease.ref.page_id);
          mark.bind(4, m.lease.ref.index);
          mark.bind(5, static_cast<std::int64_t>(m.lease.token));
          held.push_back(Run(mark) == 1);
        }
      });
      return held;
    });
  }

  void Finish(std::vector<Settlement> settlements, Callback<std::vector<bool>> done) override {
    Complete(std::move(done), [&] { return FinishAll(settlements); });
  }

  void Sweep(Callback<Recovery> done) override {
    Complete(std::move(done), [&] {
      Recovery recovery;
      Transaction(Durability::kWritten, [&] {
        const Millis now = options_.now();
        // Under the file lock, a recipient sending under another owner was left by an earlier
        // process: nobody holds its session any more.
        auto& requeue = Statement(
            "UPDATE recipients SET state = 'queued', next_ms = ?, lease_until = 0, updated_ms = ? "
            "WHERE state = 'sending' AND send_written = 0 AND owner <> ?");
        requeue.bind(1, static_cast<std::int64_t>(now));
        requeue.bind(2, static_cast<std::int64_t>(now));
        requeue.bind(3, options_.owner);
        recovery.requeued = Run(requeue);
        auto& uncertain = Statement(
            "UPDATE recipients SET state = 'uncertain', lease_until = 0, updated_ms = ?, "
            "last_reply = 'the relay stopped after SEND was written; the page may have been "
            "delivered; not resent' "
            "WHERE state = 'sending' AND send_written = 1 AND owner <> ?");
        uncertain.bind(1, static_cast<std::int64_t>(now));
        uncertain.bind(2, options_.owner);
        recovery.uncertain = Run(uncertain);
      });
      return recovery;
    });
  }

  void Expire(std::size_t limit, Callback<std::vector<RecipientRef>> done) override {
    Complete(std::move(done), [&] {
      std::vector<RecipientRef> expired;
      Transaction(Durability::kWritten, [&] {
        const Millis now = options_.now();
        auto& find = Statement(
            "SELECT rowid, page_id, idx FROM recipients WHERE state = 'queued' AND "
            "expires_ms <= ? ORDER BY expires_ms LIMIT ?");
        find.bind(1, static_cast<std::int64_t>(now));
        find.bind(2, static_cast<std::int64_t>(limit));
        std::vector<std::int64_t> rows;
        while (find.executeStep()) {
          rows.push_back(find.getColumn(0).getInt64());
          expired.push_back({find.getColumn(1).getString(), find.getColumn(2).getInt()});
        }
        find.reset();
        auto& expire = Statement(
            "UPDATE recipients SET state = 'expired', updated_ms = ? "
            "WHERE rowid = ? AND state = 'queued'");
        for (const auto row : rows) {
          expire.bind(1, static_cast<std::int64_t>(now));
          expire.bind(2, static_cast<std::int64_t>(row));
          Expect(Run(expire) == 1, "a recipient to expire left the state queued");
        }
      });
      return expired;
    });
  }

  void Prune(PruneRequest request, Callback<Pruned> done) override {
    Complete(std::move(done), [&] {
      Pruned pruned;
      Transaction(Durability::kWritten, [&] {
        const Millis now = options_.now();
        const Millis cutoff = now - std::max<Millis>(request.retain, 0);
        const auto limit = static_cast<std::int64_t>(std::max<std::size_t>(request.limit, 1));
        auto& keys = Statement(
            "DELETE FROM page_keys WHERE rowid IN "
            "(SELECT rowid FROM page_keys WHERE expires_ms <= ? LIMIT ?)");
        keys.bind(1, static_cast<std::int64_t>(now));
        keys.bind(2, limit);
        pruned.keys = Run(keys);
        auto& find = Statement(
            "SELECT id FROM pages p WHERE p.created_ms <= ?1 AND NOT EXISTS (SELECT 1 FROM "
            "recipients r WHERE r.page_id = p.id AND (r.state IN ('queued', 'sending') OR "
            "r.updated_ms > ?1)) AND NOT EXISTS (SELECT 1 FROM page_keys k WHERE "
            "k.page_id = p.id) ORDER BY p.created_ms LIMIT ?2");
        find.bind(1, static_cast<std::int64_t>(cutoff));
        find.bind(2, limit);
        std::vector<std::string> ids;
        while (find.executeStep()) ids.push_back(find.getColumn(0).getString());
        find.reset();
        auto& recipients = Statement("DELETE FROM recipients WHERE page_id = ?");
        auto& page = Statement("DELETE FROM pages WHERE id = ?");
        for (const auto& id : ids) {
          recipients.bind(1, id);
          Run(recipients);
          page.bind(1, id);
          pruned.pages += Run(page);
        }
        pruned.more = pruned.keys >= limit || pruned.pages >= limit;
      });
      return pruned;
    });
  }

 private:
  static SQLite::Database Open(const std::string& path) {
    try {
      return SQLite::Database(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    } catch (const SQLite::Exception& e) {
      throw OutboxError("outbox: cannot open '" + path + "': " + e.what() +
                        " (check that its folder exists and is writable by the relay)");
    }
  }

  void Migrate() {
    const int version = db_.execAndGet("PRAGMA user_version").getInt();
    if (version > kSqliteSchemaVersion) {
      throw OutboxError("outbox: '" + options_.path + "' has schema version " +
                        std::to_string(version) + ", newer than this relay knows (" +
                        std::to_string(kSqliteSchemaVersion) +
                        "); run the relay that wrote it, or a newer one");
    }
    if (version == kSqliteSchemaVersion) return;
    Transaction(Durability::kSynced, [&] {
      const bool has_pages = db_.tableExists("pages");
      const int tables =
          db_.execAndGet("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'").getInt();
      if (version == 0 && !has_pages && tables > 0) {
        throw OutboxError("outbox: '" + options_.path +
                          "' is a database of something else, not an outbox; name another file "
                          "in outbox");
      }
      if (version == 1) {
        db_.exec(MigrateFromVersion1());
      } else {
        db_.exec(has_pages ? MigrateFromVersion0() : CreateCurrent());
      }
      db_.exec("PRAGMA user_version = " + std::to_string(kSqliteSchemaVersion));
    });
  }

  // How far a commit has gone when it returns.
  enum class Durability {
    // On the disk (synchronous FULL): a power cut keeps it. For what a promise to a client or a
    // SEND on the wire stands on: accepts and SEND-written marks.
    kSynced,
    // In the file (synchronous NORMAL): the end of the process keeps it, a power cut may not.
    // Enough for claims and outcomes: one lost leaves the recipient as it was before, which the
    // next start's sweep resolves safely (queued before SEND, uncertain after), and the next
    // synced commit puts it on the disk with its own, since the journal is written in order.
    kWritten,
  };

  // Runs `fn` in one write transaction: committed when it returns, rolled back when it throws.
  template <typename Fn>
  void Transaction(Durability durability, Fn&& fn) {
    if (durability != durability_) {
      db_.exec(durability == Durability::kSynced ? "PRAGMA synchronous=FULL"
                                                 : "PRAGMA synchronous=NORMAL");
      durability_ = durability;
    }
    db_.exec("BEGIN IMMEDIATE");
    try {
      fn();
      db_.exec("COMMIT");
    } catch (...) {
      try {
        if (!db_.getHandle() || sqlite3_get_autocommit(db_.getHandle()) == 0) {
          db_.exec("ROLLBACK");
        }
      } catch (...) {  // the connection dropped the transaction itself
      }
      throw;
    }
  }

  // Runs `fn` in one read transaction: what it reads is one snapshot.
  template <typename Fn>
  void Read(Fn&& fn) {
    db_.exec("BEGIN");
    try {
      fn();
      db_.exec("COMMIT");
    } catch (...) {
      try {
        if (!db_.getHandle() || sqlite3_get_autocommit(db_.getHandle()) == 0) {
          db_.exec("ROLLBACK");
        }
      } catch (...) {  // the connection dropped the transaction itself
      }
      throw;
    }
  }

  // Does `work` now and posts its value, or what went wrong, to `done`.
  template <typename T, typename Fn>
  void Complete(Callback<T> done, Fn&& work) {
    Result<T> result;
    try {
      result = Result<T>::Ok(work());
    } catch (const std::exception& e) {
      result = Result<T>::Failed(Describe(e));
    }
    Post(std::move(done), std::move(result));
  }

  std::string Describe(const std::exception& e) const {
    if (dynamic_cast<const SQLite::Exception*>(&e)) {
      return std::string("outbox: ") + e.what() + " (" + options_.path +
             "; check that the disk is not full and the file is writable)";
    }
    return std::string("outbox: ") + e.what() + " (" + options_.path + ")";
  }

  template <typename T>
  void Post(Callback<T> done, Result<T> result) {
    options_.post([done = std::move(done), result = std::move(result),
                   alive = std::weak_ptr<bool>(alive_)]() mutable {
      if (!alive.expired() && done) done(std::move(result));
    });
  }

  static void Expect(bool holds, const char* what) {
    if (!holds) throw std::logic_error(what);
  }

  SQLite::Statement& Statement(const char* sql) {
    auto& slot = statements_[sql];
    if (!slot) slot = std::make_unique<SQLite::Statement>(db_, sql);
    slot->tryReset();  // a statement left mid-way by an error starts over
    slot->clearBindings();
    return *slot;
  }

  static int Run(SQLite::Statement& statement) {
    try {
      const int changes = statement.exec();
      statement.reset();
      return changes;
    } catch (...) {
      statement.tryReset();
      throw;
    }
  }

  std::vector<Accepted> AcceptAll(const std::vector<NewPage>& pages) {
    std::vector<Accepted> result;
    Transaction(Durability::kSynced, [&] {
      const Millis now = options_.now();
      result.clear();
      for (const auto& page : pages) {
        if (auto earlier = HeldKey(KeyOf("i:", page.idempotency_key), now)) {
          result.push_back({*earlier, false});
          continue;
        }
        if (auto earlier = HeldKey(KeyOf("d:", page.dedup_key), now)) {
          result.push_back({*earlier, false});
          continue;
        }
        const std::string id = RandomHex(random_, 2);
        const Millis expires = now + std::max<Millis>(page.expire_after, 0);
        auto& insert_page = Statement(
            "INSERT INTO pages (id, created_ms, expires_ms, source, message, data, subject, "
            "options, require_level2) VALUES (?,?,?,?,?,?,?,?,?)");
        insert_page.bind(1, id);
        insert_page.bind(2, static_cast<std::int64_t>(now));
        insert_page.bind(3, static_cast<std::int64_t>(expires));
        insert_page.bind(4, page.source);
        insert_page.bind(5, page.content.message);
        insert_page.bind(6, page.content.data);
        insert_page.bind(7, page.content.subject);
        insert_page.bind(8, page.content.options);
        insert_page.bind(9, page.require_level2 ? 1 : 0);
        Run(insert_page);
        auto& insert_recipient = Statement(
            "INSERT INTO recipients (page_id, idx, pager, state, needs_level2, next_ms, "
            "expires_ms, updated_ms) VALUES (?,?,?,'queued',?,?,?,?)");
        for (std::size_t i = 0; i < page.pagers.size(); ++i) {
          insert_recipient.bind(1, id);
          insert_recipient.bind(2, static_cast<int>(i));
          insert_recipient.bind(3, page.pagers[i]);
          insert_recipient.bind(4, NeedsLevel2(page) ? 1 : 0);
          insert_recipient.bind(5, static_cast<std::int64_t>(now));
          insert_recipient.bind(6, static_cast<std::int64_t>(expires));
          insert_recipient.bind(7, static_cast<std::int64_t>(now));
          Run(insert_recipient);
        }
        for (const auto& key : {KeyOf("i:", page.idempotency_key), KeyOf("d:", page.dedup_key)}) {
          if (key.empty()) continue;
          // An expired holder of the key gives it up to this page.
          auto& hold = Statement(
              "INSERT INTO page_keys (key, page_id, expires_ms) VALUES (?,?,?) "
              "ON CONFLICT (key) DO UPDATE SET page_id = excluded.page_id, "
              "expires_ms = excluded.expires_ms WHERE page_keys.expires_ms <= ?");
          hold.bind(1, key);
          hold.bind(2, id);
          hold.bind(3, static_cast<std::int64_t>(expires));
          hold.bind(4, static_cast<std::int64_t>(now));
          Expect(Run(hold) == 1, "a live key was taken by another page");
        }
        result.push_back({id, true});
      }
    });
    return result;
  }

  static std::string KeyOf(const char* kind, const std::string& key) {
    return key.empty() ? std::string() : kind + key;
  }

  std::optional<std::string> HeldKey(const std::string& key, Millis now) {
    if (key.empty()) return std::nullopt;
    auto& find = Statement("SELECT page_id FROM page_keys WHERE key = ? AND expires_ms > ?");
    find.bind(1, key);
    find.bind(2, static_cast<std::int64_t>(now));
    std::optional<std::string> id;
    if (find.executeStep()) id = find.getColumn(0).getString();
    find.reset();
    return id;
  }

  std::optional<PageRecord> FindPage(const std::string& id) {
    auto& page = Statement(
        "SELECT id, created_ms, expires_ms, source, message, data, subject, options, "
        "require_level2 FROM pages WHERE id = ?");
    page.bind(1, id);
    if (!page.executeStep()) {
      page.reset();
      return std::nullopt;
    }
    PageRecord record;
    record.id = page.getColumn(0).getString();
    record.created = page.getColumn(1).getInt64();
    record.expires = page.getColumn(2).getInt64();
    record.source = page.getColumn(3).getString();
    record.content.message = page.getColumn(4).getString();
    record.content.data = page.getColumn(5).getString();
    record.content.subject = page.getColumn(6).getString();
    record.content.options = page.getColumn(7).getString();
    record.require_level2 = page.getColumn(8).getInt() != 0;
    page.reset();
    auto& recipients = Statement(
        "SELECT idx, pager, state, attempts, gateway, last_reply, note, send_written, next_ms, "
        "updated_ms, acted_by FROM recipients WHERE page_id = ? ORDER BY idx");
    recipients.bind(1, record.id);
    while (recipients.executeStep()) {
      RecipientRecord r;
      r.index = recipients.getColumn(0).getInt();
      r.pager = recipients.getColumn(1).getString();
      r.state = ParseRecipientState(recipients.getColumn(2).getString())
                    .value_or(RecipientState::kUncertain);
      r.attempts = recipients.getColumn(3).getInt();
      r.gateway = recipients.getColumn(4).getString();
      r.last_reply = recipients.getColumn(5).getString();
      r.note = recipients.getColumn(6).getString();
      r.send_written = recipients.getColumn(7).getInt() != 0;
      r.next_attempt = recipients.getColumn(8).getInt64();
      r.updated = recipients.getColumn(9).getInt64();
      r.acted_by = recipients.getColumn(10).getString();
      record.recipients.push_back(std::move(r));
    }
    recipients.reset();
    return record;
  }

  PageList List(const PageQuery& query) {
    const auto limit = std::clamp<std::size_t>(query.limit, 1, kMaxListLimit);
    std::string sql =
        "SELECT id FROM pages p WHERE (?1 IS NULL OR EXISTS (SELECT 1 FROM recipients r WHERE "
        "r.page_id = p.id AND r.state = ?1)) AND (?2 IS NULL OR p.created_ms >= ?2) AND "
        "(?3 IS NULL OR p.created_ms * 1000 < ?3 OR (p.created_ms * 1000 = ?3 AND p.id < ?4))";
    if (!query.sources.empty()) {
      sql += " AND p.source IN (";
      for (std::size_t i = 0; i < query.sources.size(); ++i) sql += i ? ", ?" : "?";
      sql += ")";
    }
    sql += " ORDER BY p.created_ms DESC, p.id DESC LIMIT " + std::to_string(limit + 1);
    PageList list;
    bool more = false;
    Read([&] {
      // Built per query (the source list varies), so not one of the cached statements.
      SQLite::Statement find(db_, sql);
      if (query.state) find.bind(1, std::string(ToString(*query.state)));
      if (query.since) find.bind(2, static_cast<std::int64_t>(*query.since));
      if (query.after) {
        find.bind(3, static_cast<std::int64_t>(query.after->created_us));
        find.bind(4, query.after->id);
      }
      for (std::size_t i = 0; i < query.sources.size(); ++i) {
        find.bind(static_cast<int>(5 + i), query.sources[i]);
      }
      std::vector<std::string> ids;
      while (find.executeStep()) ids.push_back(find.getColumn(0).getString());
      find.reset();
      more = ids.size() > limit;
      if (more) ids.pop_back();
      std::size_t bytes = 0;
      for (std::size_t i = 0; i < ids.size(); ++i) {
        auto page = FindPage(ids[i]);
        if (!page) continue;
        bytes += PageBytes(*page);
        list.pages.push_back(std::move(*page));
        if (bytes >= query.max_bytes && i + 1 < ids.size()) {
          more = true;
          break;
        }
      }
    });
    if (more && !list.pages.empty()) {
      list.next = PageCursor{list.pages.back().created * 1000, list.pages.back().id};
    }
    return list;
  }

  static std::string AllowedStates(OperatorAction action) {
    std::string list;
    for (int i = 0; i < kRecipientStateCount; ++i) {
      const auto state = static_cast<RecipientState>(i);
      if (!MayAct(action, state)) continue;
      list += std::string(list.empty() ? "" : ", ") + "'" + std::string(ToString(state)) + "'";
    }
    return list;
  }

  ActionResult ActOn(const RecipientAction& action) {
    ActionResult result;
    // Synced: an operator told "dismissed" or "queued" must not find it uncertain after a power
    // cut, and actions are rare.
    Transaction(Durability::kSynced, [&] {
      result = ActionResult{};
      auto page = FindPage(action.page_id);
      if (!page) return;
      const RecipientRecord* first = nullptr;
      for (const auto& r : page->recipients) {
        if (r.pager != action.pager) continue;
        if (!first) first = &r;
        if (MayAct(action.action, r.state)) result.changed.push_back(r.index);
      }
      if (!first) {
        result.outcome = ActionResult::Outcome::kNoRecipient;
        return;
      }
      if (result.changed.empty()) {
        result.outcome = ActionResult::Outcome::kRefused;
        result.state = first->state;
        result.page = std::move(page);
        return;
      }
      const Millis now = options_.now();
      // The states come from MayAct, the one rule; the guard repeats it in the row's own terms.
      static const std::string resend =
          "UPDATE recipients SET state = 'queued', send_written = 0, token = 0, owner = '', "
          "lease_until = 0, next_ms = :now, expires_ms = :now + (SELECT p.expires_ms - "
          "p.created_ms FROM pages p WHERE p.id = recipients.page_id), note = :note, acted_by = "
          ":actor, "
          "updated_ms = :now WHERE page_id = :page AND idx = :idx AND state IN (" +
          AllowedStates(OperatorAction::kResend) + ")";
      static const std::string dismiss =
          "UPDATE recipients SET state = 'dismissed', note = :note, acted_by = :actor, "
          "updated_ms = :now WHERE page_id = :page AND idx = :idx AND state IN (" +
          AllowedStates(OperatorAction::kDismiss) + ")";
      auto& update =
          Statement(action.action == OperatorAction::kResend ? resend.c_str() : dismiss.c_str());
      for (const int index : result.changed) {
        update.bind(":now", static_cast<std::int64_t>(now));
        update.bind(":note", action.note);
        update.bind(":actor", action.actor);
        update.bind(":page", action.page_id);
        update.bind(":idx", index);
        Expect(Run(update) == 1, "a recipient to act on left its state during the action");
      }
      result.outcome = ActionResult::Outcome::kDone;
      result.page = FindPage(action.page_id);
    });
    return result;
  }

  Counts CountAll() {
    Counts counts;
    counts.pages = db_.execAndGet("SELECT COUNT(*) FROM pages").getInt64();
    auto& states = Statement("SELECT state, COUNT(*) FROM recipients GROUP BY state");
    while (states.executeStep()) {
      if (auto state = ParseRecipientState(states.getColumn(0).getString())) {
        counts.recipients[static_cast<int>(*state)] = states.getColumn(1).getInt64();
      }
    }
    states.reset();
    const auto page_count = db_.execAndGet("PRAGMA page_count").getInt64();
    const auto page_size = db_.execAndGet("PRAGMA page_size").getInt64();
    counts.bytes = page_count * page_size;
    std::error_code error;
    const auto wal = std::filesystem::file_size(options_.path + "-wal", error);
    if (!error) counts.bytes += static_cast<std::int64_t>(wal);
    return counts;
  }

  Claimed ClaimDue(const ClaimRequest& request) {
    Claimed claimed;
    Transaction(Durability::kWritten, [&] {
      claimed.jobs.clear();
      const Millis now = options_.now();
      const int filtered = request.filter == ClaimFilter::kAny ? 0 : 1;
      const int wanted = request.filter == ClaimFilter::kLevel2 ? 1 : 0;
      if (request.limit > 0) {
        auto& due = Statement(
            "SELECT r.rowid, r.page_id, r.idx, r.pager, r.attempts, r.gateway, p.message, p.data, "
            "p.subject, p.options, p.require_level2, p.created_ms, r.expires_ms "
            "FROM recipients r JOIN pages p ON p.id = r.page_id "
            "WHERE r.state = 'queued' AND r.next_ms <= ?1 AND r.expires_ms > ?1 "
            "AND (?2 = 0 OR r.needs_level2 = ?3) ORDER BY r.next_ms, r.rowid LIMIT ?4");
        due.bind(1, static_cast<std::int64_t>(now));
        due.bind(2, filtered);
        due.bind(3, wanted);
        due.bind(4, static_cast<std::int64_t>(request.limit));
        std::vector<std::int64_t> rows;
        while (due.executeStep()) {
          rows.push_back(due.getColumn(0).getInt64());
          Job job;
          job.lease.ref = {due.getColumn(1).getString(), due.getColumn(2).getInt()};
          job.pager = due.getColumn(3).getString();
          job.attempts = due.getColumn(4).getInt();
          job.last_gateway = due.getColumn(5).getString();
          job.content.message = due.getColumn(6).getString();
          job.content.data = due.getColumn(7).getString();
          job.content.subject = due.getColumn(8).getString();
          job.content.options = due.getColumn(9).getString();
          job.require_level2 = due.getColumn(10).getInt() != 0;
          job.age = now - due.getColumn(11).getInt64();
          job.expires_in = due.getColumn(12).getInt64() - now;
          claimed.jobs.push_back(std::move(job));
        }
        due.reset();
        if (!rows.empty()) {
          auto& counter = Statement("SELECT value FROM counters WHERE name = 'token'");
          std::int64_t token = 0;
          if (counter.executeStep()) token = counter.getColumn(0).getInt64();
          counter.reset();
          auto& advance = Statement("UPDATE counters SET value = ? WHERE name = 'token'");
          advance.bind(1,
                       static_cast<std::int64_t>(token + static_cast<std::int64_t>(rows.size())));
          Expect(Run(advance) == 1, "the token counter is missing");
          auto& take = Statement(
              "UPDATE recipients SET state = 'sending', owner = ?, token = ?, lease_until = ?, "
              "attempts = attempts + 1, send_written = 0, updated_ms = ? "
              "WHERE rowid = ? AND state = 'queued'");
          for (std::size_t i = 0; i < rows.size(); ++i) {
            claimed.jobs[i].lease.token = ++token;
            take.bind(1, options_.owner);
            take.bind(2, static_cast<std::int64_t>(token));
            take.bind(3, static_cast<std::int64_t>(now + kLeaseTtl));
            take.bind(4, static_cast<std::int64_t>(now));
            take.bind(5, static_cast<std::int64_t>(rows[i]));
            Expect(Run(take) == 1, "a due recipient left the state queued during its claim");
          }
        }
      }
      auto& next = Statement(
          "SELECT MIN(next_ms) FROM recipients WHERE state = 'queued' AND expires_ms > ?1 "
          "AND (?2 = 0 OR needs_level2 = ?3)");
      next.bind(1, static_cast<std::int64_t>(now));
      next.bind(2, filtered);
      next.bind(3, wanted);
      if (next.executeStep() && !next.getColumn(0).isNull()) {
        claimed.next_due_in = std::max<Millis>(0, next.getColumn(0).getInt64() - now);
      }
      next.reset();
    });
    return claimed;
  }

  std::vector<bool> FinishAll(const std::vector<Settlement>& settlements) {
    std::vector<bool> held;
    Transaction(Durability::kWritten, [&] {
      held.clear();
      const Millis now = options_.now();
      auto& finish = Statement(
          "UPDATE recipients SET state = :state, "
          "send_written = CASE WHEN :state = 'queued' THEN 0 ELSE send_written END, "
          "next_ms = CASE WHEN :state = 'queued' THEN :next ELSE next_ms END, "
          "attempts = attempts - :untried, "
          "last_reply = CASE WHEN :reply = '' THEN last_reply ELSE :reply END, "
          "note = CASE WHEN :note = '' THEN note ELSE :note END, "
          "gateway = CASE WHEN :gateway = '' THEN gateway ELSE :gateway END, "
          "lease_until = 0, updated_ms = :now "
          "WHERE page_id = :page AND idx = :idx AND token = :token AND :state <> 'dismissed' AND "
          "(state = 'sending' OR (state = 'uncertain' AND :state IN ('delivered', 'degraded')))");
      for (const auto& s : settlements) {
        if (s.state == RecipientState::kSending) {
          throw std::invalid_argument("an attempt cannot end in the state sending");
        }
        const std::string state(ToString(s.state));
        finish.bind(":state", state);
        finish.bind(":next", static_cast<std::int64_t>(now + std::max<Millis>(s.retry_in, 0)));
        finish.bind(":untried", s.attempted ? 0 : 1);
        finish.bind(":reply", s.reply);
        finish.bind(":note", s.note);
        finish.bind(":gateway", s.gateway);
        finish.bind(":now", static_cast<std::int64_t>(now));
        finish.bind(":page", s.lease.ref.page_id);
        finish.bind(":idx", s.lease.ref.index);
        finish.bind(":token", static_cast<std::int64_t>(s.lease.token));
        held.push_back(Run(finish) == 1);
      }
    });
    return held;
  }

  // Recorded with each claim; in SQLite only for the operator's eye (see Renew).
  static constexpr Millis kLeaseTtl = 5000;

  SqliteOptions options_;
  FileLock lock_;
  SQLite::Database db_;
  std::mt19937_64 random_;
  std::map<const char*, std::unique_ptr<SQLite::Statement>> statements_;
  Durability durability_ = Durability::kSynced;  // the connection's synchronous setting now
  std::optional<Readiness> probed_;
  Millis probed_at_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(SqliteOptions options) {
  return std::make_unique<SqliteStore>(std::move(options));
}

}  // namespace kestrel::outbox
