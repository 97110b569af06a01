// The SQLite outbox. One connection, WAL journal, synchronous FULL. Writes that need not be
// durable at once are gathered in an open transaction that the next durable point commits.

#include <SQLiteCpp/SQLiteCpp.h>

#include <cstdio>
#include <random>

#include "kestrel/outbox/outbox.hpp"

namespace kestrel::outbox {

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS pages (
  id TEXT PRIMARY KEY,
  created_ms INTEGER NOT NULL,
  expires_ms INTEGER NOT NULL,
  source TEXT NOT NULL,
  message TEXT NOT NULL,
  data TEXT NOT NULL,
  subject TEXT NOT NULL,
  options TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS recipients (
  page_id TEXT NOT NULL REFERENCES pages(id),
  idx INTEGER NOT NULL,
  pager TEXT NOT NULL,
  state TEXT NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  gateway TEXT NOT NULL DEFAULT '',
  last_reply TEXT NOT NULL DEFAULT '',
  send_written INTEGER NOT NULL DEFAULT 0,
  next_ms INTEGER NOT NULL,
  expires_ms INTEGER NOT NULL,
  updated_ms INTEGER NOT NULL,
  PRIMARY KEY (page_id, idx)
);
CREATE INDEX IF NOT EXISTS recipients_due ON recipients(state, next_ms);
CREATE TABLE IF NOT EXISTS page_keys (
  key TEXT PRIMARY KEY,
  page_id TEXT NOT NULL,
  expires_ms INTEGER NOT NULL
);
)sql";

class SqliteOutbox final : public Outbox {
 public:
  explicit SqliteOutbox(const std::string& path)
      : db_(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_FULLMUTEX),
        random_(Seed()) {
    db_.setBusyTimeout(5000);
    // WAL: readers never block the writer; FULL: every commit is flushed to disk before it
    // returns, so an answered request survives a power cut.
    db_.exec("PRAGMA journal_mode=WAL");
    db_.exec("PRAGMA synchronous=FULL");
    db_.exec("PRAGMA foreign_keys=ON");
    db_.exec(kSchema);
  }

  ~SqliteOutbox() override {
    try {
      Commit();
    } catch (...) {  // a destructor reports nothing; the writes stay undone and Recover copes
    }
  }

  std::vector<Accepted> Accept(const std::vector<NewPage>& pages, Millis now) override {
    try {
      return AcceptAll(pages, now);
    } catch (...) {
      // Nothing of a batch that failed stays; the pending writes it takes along are ones a
      // crash could lose as well.
      Rollback();
      throw;
    }
  }

  std::vector<Accepted> AcceptAll(const std::vector<NewPage>& pages, Millis now) {
    Begin();
    std::vector<Accepted> result;
    result.reserve(pages.size());
    for (const auto& page : pages) {
      if (auto earlier = HeldKey(KeyOf("i:", page.idempotency_key), now)) {
        result.push_back({*earlier, false});
        continue;
      }
      if (auto earlier = HeldKey(KeyOf("d:", page.dedup_key), now)) {
        result.push_back({*earlier, false});
        continue;
      }
      const std::string id = NewId();
      const Millis expires = now + page.expire_after;
      auto& insert_page =
          Prepared(insert_page_,
                   "INSERT INTO pages (id, created_ms, expires_ms, source, message, "
                   "data, subject, options) VALUES (?,?,?,?,?,?,?,?)");
      insert_page.bind(1, id);
      insert_page.bind(2, static_cast<std::int64_t>(now));
      insert_page.bind(3, static_cast<std::int64_t>(expires));
      insert_page.bind(4, page.source);
      insert_page.bind(5, page.content.message);
      insert_page.bind(6, page.content.data);
      insert_page.bind(7, page.content.subject);
      insert_page.bind(8, page.content.options);
      Run(insert_page);
      auto& insert_recipient =
          Prepared(insert_recipient_,
                   "INSERT INTO recipients (page_id, idx, pager, state, next_ms, expires_ms, "
                   "updated_ms) VALUES (?,?,?,'queued',?,?,?)");
      for (std::size_t i = 0; i < page.pagers.size(); ++i) {
        insert_recipient.bind(1, id);
        insert_recipient.bind(2, static_cast<int>(i));
        insert_recipient.bind(3, page.pagers[i]);
        insert_recipient.bind(4, static_cast<std::int64_t>(now));
        insert_recipient.bind(5, static_cast<std::int64_t>(expires));
        insert_recipient.bind(6, static_cast<std::int64_t>(now));
        Run(insert_recipient);
      }
      for (const auto& key : {KeyOf("i:", page.idempotency_key), KeyOf("d:", page.dedup_key)}) {
        if (key.empty()) continue;
        auto& hold = Prepared(hold_key_,
                              "INSERT OR REPLACE INTO page_keys (key, page_id, expires_ms) "
                              "VALUES (?,?,?)");
        hold.bind(1, key);
        hold.bind(2, id);
        hold.bind(3, static_cast<std::int64_t>(expires));
        Run(hold);
      }
      result.push_back({id, true});
    }
    Commit();
    return result;
  }

  std::optional<PageRecord> Find(std::string_view id) override {
    auto& page = Prepared(find_page_,
                          "SELECT id, created_ms, expires_ms, source, message, data, subject, "
                          "options FROM pages WHERE id = ?");
    page.bind(1, std::string(id));
    PageRecord record;
    bool found = false;
    Guarded([&] {
      if (page.executeStep()) {
        found = true;
        record.id = page.getColumn(0).getString();
        record.created = page.getColumn(1).getInt64();
        record.expires = page.getColumn(2).getInt64();
        record.source = page.getColumn(3).getString();
        record.content.message = page.getColumn(4).getString();
        record.content.data = page.getColumn(5).getString();
        record.content.subject = page.getColumn(6).getString();
        record.content.options = page.getColumn(7).getString();
      }
    });
    page.reset();
    if (!found) return std::nullopt;
    auto& recipients = Prepared(find_recipients_,
                                "SELECT idx, pager, state, attempts, gateway, last_reply, "
                                "send_written, next_ms, updated_ms FROM recipients "
                                "WHERE page_id = ? ORDER BY idx");
    recipients.bind(1, record.id);
    Guarded([&] {
      while (recipients.executeStep()) {
        RecipientRecord r;
        r.index = recipients.getColumn(0).getInt();
        r.pager = recipients.getColumn(1).getString();
        r.state = ParseRecipientState(recipients.getColumn(2).getString())
                      .value_or(RecipientState::kUncertain);
        r.attempts = recipients.getColumn(3).getInt();
        r.gateway = recipients.getColumn(4).getString();
        r.last_reply = recipients.getColumn(5).getString();
        r.send_written = recipients.getColumn(6).getInt() != 0;
        r.next_attempt = recipients.getColumn(7).getInt64();
        r.updated = recipients.getColumn(8).getInt64();
        record.recipients.push_back(std::move(r));
      }
    });
    recipients.reset();
    return record;
  }

  Recovery Recover(Millis now) override {
    Begin();
    Recovery recovery;
    Guarded([&] {
      SQLite::Statement requeue(db_,
                                "UPDATE recipients SET state = 'queued', next_ms = ?, "
                                "updated_ms = ? WHERE state = 'sending' AND send_written = 0");
      requeue.bind(1, static_cast<std::int64_t>(now));
      requeue.bind(2, static_cast<std::int64_t>(now));
      recovery.requeued = requeue.exec();
      SQLite::Statement uncertain(
          db_,
          "UPDATE recipients SET state = 'uncertain', updated_ms = ?, last_reply = "
          "'the relay stopped after SEND was written; the page may have been delivered; "
          "not resent' WHERE state = 'sending' AND send_written = 1");
      uncertain.bind(1, static_cast<std::int64_t>(now));
      recovery.uncertain = uncertain.exec();
    });
    Commit();
    return recovery;
  }

  std::vector<DueJob> Due(Millis now, std::size_t limit) override {
    auto& due = Prepared(due_,
                         "SELECT r.page_id, r.idx, r.pager, r.attempts, p.message, p.data, "
                         "p.subject, p.options, p.created_ms, p.expires_ms FROM recipients r "
                         "JOIN pages p ON p.id = r.page_id WHERE r.state = 'queued' AND "
                         "r.next_ms <= ? AND r.expires_ms > ? ORDER BY r.next_ms LIMIT ?");
    due.bind(1, static_cast<std::int64_t>(now));
    due.bind(2, static_cast<std::int64_t>(now));
    due.bind(3, static_cast<std::int64_t>(limit));
    std::vector<DueJob> jobs;
    Guarded([&] {
      while (due.executeStep()) {
        DueJob job;
        job.ref.page_id = due.getColumn(0).getString();
        job.ref.index = due.getColumn(1).getInt();
        job.pager = due.getColumn(2).getString();
        job.attempts = due.getColumn(3).getInt();
        job.content.message = due.getColumn(4).getString();
        job.content.data = due.getColumn(5).getString();
        job.content.subject = due.getColumn(6).getString();
        job.content.options = due.getColumn(7).getString();
        job.created = due.getColumn(8).getInt64();
        job.expires = due.getColumn(9).getInt64();
        jobs.push_back(std::move(job));
      }
    });
    due.reset();
    return jobs;
  }

  std::optional<Millis> NextDue() override {
    auto& next = Prepared(next_due_, "SELECT MIN(next_ms) FROM recipients WHERE state = 'queued'");
    std::optional<Millis> result;
    Guarded([&] {
      if (next.executeStep() && !next.getColumn(0).isNull()) result = next.getColumn(0).getInt64();
    });
    next.reset();
    return result;
  }

  void MarkSending(const RecipientRef& ref, std::string_view gateway, Millis now) override {
    Begin();
    auto& mark = Prepared(mark_sending_,
                          "UPDATE recipients SET state = 'sending', attempts = attempts + 1, "
                          "gateway = ?, send_written = 0, updated_ms = ? "
                          "WHERE page_id = ? AND idx = ?");
    mark.bind(1, std::string(gateway));
    mark.bind(2, static_cast<std::int64_t>(now));
    mark.bind(3, ref.page_id);
    mark.bind(4, ref.index);
    Run(mark);
  }

  void MarkSendWritten(const RecipientRef& ref, Millis now, bool commit) override {
    Begin();
    auto& mark = Prepared(mark_written_,
                          "UPDATE recipients SET state = 'sending', send_written = 1, "
                          "updated_ms = ? WHERE page_id = ? AND idx = ?");
    mark.bind(1, static_cast<std::int64_t>(now));
    mark.bind(2, ref.page_id);
    mark.bind(3, ref.index);
    Run(mark);
    if (commit) Commit();
  }

  void Finish(const RecipientRef& ref, RecipientState state, std::string_view reply, Millis now,
              Millis next_attempt) override {
    Begin();
    auto& finish = Prepared(finish_,
                            "UPDATE recipients SET state = ?, last_reply = ?, next_ms = ?, "
                            "send_written = CASE WHEN ? = 'queued' THEN 0 ELSE send_written END, "
                            "updated_ms = ? WHERE page_id = ? AND idx = ?");
    const std::string name(ToString(state));
    finish.bind(1, name);
    finish.bind(2, std::string(reply));
    finish.bind(3, static_cast<std::int64_t>(next_attempt));
    finish.bind(4, name);
    finish.bind(5, static_cast<std::int64_t>(now));
    finish.bind(6, ref.page_id);
    finish.bind(7, ref.index);
    Run(finish);
  }

  std::vector<RecipientRef> Expire(Millis now) override {
    std::vector<RecipientRef> expired;
    auto& find = Prepared(find_expired_,
                          "SELECT page_id, idx FROM recipients WHERE state = 'queued' AND "
                          "expires_ms <= ?");
    find.bind(1, static_cast<std::int64_t>(now));
    Guarded([&] {
      while (find.executeStep()) {
        expired.push_back({find.getColumn(0).getString(), find.getColumn(1).getInt()});
      }
    });
    find.reset();
    if (expired.empty()) return expired;
    Begin();
    Guarded([&] {
      SQLite::Statement expire(db_,
                               "UPDATE recipients SET state = 'expired', updated_ms = ? "
                               "WHERE state = 'queued' AND expires_ms <= ?");
      expire.bind(1, static_cast<std::int64_t>(now));
      expire.bind(2, static_cast<std::int64_t>(now));
      expire.exec();
    });
    return expired;
  }

  void Commit() override {
    if (!in_transaction_) return;
    try {
      Guarded([&] { db_.exec("COMMIT"); });
    } catch (...) {
      Rollback();
      throw;
    }
    in_transaction_ = false;
  }

  Counts Count() override {
    Counts counts;
    Guarded([&] {
      SQLite::Statement pages(db_, "SELECT COUNT(*) FROM pages");
      if (pages.executeStep()) counts.pages = pages.getColumn(0).getInt64();
      SQLite::Statement states(db_, "SELECT state, COUNT(*) FROM recipients GROUP BY state");
      while (states.executeStep()) {
        if (auto state = ParseRecipientState(states.getColumn(0).getString())) {
          counts.recipients[static_cast<int>(*state)] = states.getColumn(1).getInt64();
        }
      }
    });
    return counts;
  }

 private:
  template <typename Fn>
  void Guarded(Fn&& fn) {
    try {
      fn();
    } catch (const SQLite::Exception& e) {
      throw OutboxError(std::string("outbox: ") + e.what() + " (" + db_.getFilename() +
                        "; check that the disk is not full and the file is writable)");
    }
  }

  void Begin() {
    if (in_transaction_) return;
    Guarded([&] { db_.exec("BEGIN IMMEDIATE"); });
    in_transaction_ = true;
  }

  SQLite::Statement& Prepared(std::unique_ptr<SQLite::Statement>& slot, const char* sql) {
    if (!slot) Guarded([&] { slot = std::make_unique<SQLite::Statement>(db_, sql); });
    slot->tryReset();  // a statement left mid-way by an error starts over
    return *slot;
  }

  void Run(SQLite::Statement& statement) {
    Guarded([&] {
      try {
        statement.exec();
      } catch (...) {
        statement.reset();
        throw;
      }
      statement.reset();
    });
  }

  static std::mt19937_64 Seed() {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }

  void Rollback() noexcept {
    if (!in_transaction_) return;
    try {
      db_.exec("ROLLBACK");
    } catch (...) {  // the connection drops the transaction itself when it cannot go on
    }
    in_transaction_ = false;
  }

  static std::string KeyOf(const char* kind, const std::string& key) {
    return key.empty() ? std::string() : kind + key;
  }

  // The page holding `key` while it has not expired.
  std::optional<std::string> HeldKey(const std::string& key, Millis now) {
    if (key.empty()) return std::nullopt;
    auto& find =
        Prepared(find_key_, "SELECT page_id FROM page_keys WHERE key = ? AND expires_ms > ?");
    find.bind(1, key);
    find.bind(2, static_cast<std::int64_t>(now));
    std::optional<std::string> id;
    Guarded([&] {
      if (find.executeStep()) id = find.getColumn(0).getString();
    });
    find.reset();
    return id;
  }

  std::string NewId() {
    char text[33];
    const auto high = random_();
    const auto low = random_();
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(high),
                  static_cast<unsigned long long>(low));
    return text;
  }

  SQLite::Database db_;
  std::mt19937_64 random_;
  bool in_transaction_ = false;
  std::unique_ptr<SQLite::Statement> insert_page_, insert_recipient_, hold_key_, find_key_,
      find_page_, find_recipients_, due_, next_due_, mark_sending_, mark_written_, finish_,
      find_expired_;
};

}  // namespace

std::unique_ptr<Outbox> OpenSqliteOutbox(const std::string& path) {
  try {
    return std::make_unique<SqliteOutbox>(path);
  } catch (const SQLite::Exception& e) {
    throw OutboxError("outbox: cannot open '" + path + "': " + e.what() +
                      " (check that its folder exists and is writable by the relay)");
  }
}

}  // namespace kestrel::outbox
