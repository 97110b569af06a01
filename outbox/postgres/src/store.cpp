// The PostgreSQL store: each operation is one unit on the connection, parsed into its Result.
//
// Order. Answers come back in the order units were written, but some operations answer without
// the connection (nothing to do, not connected) and a held Finish or Accept answers late. Every
// call takes a number; completions run in that order (Deliver), except the numbers of held work,
// which are skipped (Late) and complete when their retry does.

#include "kestrel/outbox/pg/store.hpp"

#include <algorithm>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <set>

#include "kestrel/outbox/pg/queue_sql.hpp"
#include "kestrel/platform/asio_event_loop.hpp"

namespace kestrel::outbox::pg {

namespace {

using SteadyClock = std::chrono::steady_clock;
// What an operation answers; pg::Result is a statement's rows.
template <typename T>
using Outcome = outbox::Result<T>;

constexpr std::size_t kMaxBatch = 10'000;  // a LIMIT the database can hold, far above any use
constexpr std::size_t kSweepBatch = 500;   // lapsed leases per Sweep; the next takes the rest

std::string Bool(bool value) {
  return value ? "true" : "false";
}

std::string Text(const pg::Result& result, int row, int column) {
  return std::string(result.Text(row, column));
}

Millis Int(const pg::Result& result, int row, int column) {
  return result.Int(row, column).value_or(0);
}

RecipientState StateNamed(std::string_view name) {
  // Any state a newer relay adds reads as uncertain: not sent again, not counted as delivered.
  return ParseRecipientState(name).value_or(RecipientState::kUncertain);
}

Param Filter(ClaimFilter filter) {
  switch (filter) {
    case ClaimFilter::kAny:
      return std::nullopt;
    case ClaimFilter::kLevel1:
      return "false";
    case ClaimFilter::kLevel2:
      return "true";
  }
  return std::nullopt;
}

std::string Limit(std::size_t limit) {
  return std::to_string(std::clamp<std::size_t>(limit, 1, kMaxBatch));
}

// "outbox: <our words> (<the server's>)": what went wrong, what to do; never the connection
// string.
std::string Describe(const Error& error) {
  std::string text = "outbox: " + error.what;
  if (!error.server.empty()) text += " (the database said: " + error.server + ")";
  return text;
}

// A recipient from a row whose columns from `first` on are kFindRecipients' (idx ... acted_by).
RecipientRecord RecipientAt(const pg::Result& rows, int row, int first) {
  RecipientRecord r;
  r.index = static_cast<int>(Int(rows, row, first));
  r.pager = Text(rows, row, first + 1);
  r.state = StateNamed(rows.Text(row, first + 2));
  r.attempts = static_cast<int>(Int(rows, row, first + 3));
  r.gateway = Text(rows, row, first + 4);
  r.last_reply = Text(rows, row, first + 5);
  r.send_written = rows.Bool(row, first + 6);
  r.next_attempt = Int(rows, row, first + 7);
  r.updated = Int(rows, row, first + 8);
  r.note = Text(rows, row, first + 11);
  r.acted_by = Text(rows, row, first + 12);
  return r;
}

std::optional<PageRecord> PageFrom(const std::string& id, const pg::Result& page,
                                   const pg::Result& rows) {
  if (page.rows() == 0) return std::nullopt;
  PageRecord record;
  record.id = id;
  record.source = Text(page, 0, 0);
  record.content = {Text(page, 0, 1), Text(page, 0, 2), Text(page, 0, 3), Text(page, 0, 4)};
  record.created = Int(page, 0, 5);
  record.expires = Int(page, 0, 6);
  record.require_level2 = page.Bool(0, 7);
  for (int row = 0; row < rows.rows(); ++row)
    record.recipients.push_back(RecipientAt(rows, row, 0));
  return record;
}

bool Unanswered(const Error& error) {
  return error.kind == Error::Kind::kConnectionLost || error.kind == Error::Kind::kUnavailable;
}

}  // namespace

struct PgStore::Impl : std::enable_shared_from_this<Impl> {
  Impl(platform::EventLoop& l, StoreOptions o)
      : loop(l), options(std::move(o)), db(loop, ConnectionOptions(options)), random(Seed()) {
    if (options.owner.empty()) options.owner = NewOwner();
  }

  static Options ConnectionOptions(const StoreOptions& options) {
    Options connection = options.connection;
    connection.conninfo = options.conninfo;
    connection.application_name = options.application_name;
    return connection;
  }

  static std::mt19937_64 Seed() {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }

  // From the first connection on: wake-ups, and held work sent again after every reconnection.
  void Attach() {
    db.Listen(std::string(kChannel), [weak = weak_from_this()](auto, auto) {
      if (auto self = weak.lock()) self->Wake();
    });
    db.OnStateChange([weak = weak_from_this()](State state, const Error* why) {
      auto self = weak.lock();
      if (!self) return;
      if (why) self->last_failure = Describe(*why);
      if (state != State::kReady) return;
      self->Wake();  // what other relays did meanwhile went unheard
      auto held = std::exchange(self->held, {});
      for (auto& retry : held) retry();
    });
  }

  // --- Completing in order ---

  std::uint64_t Number() { return next_number++; }

  // Completes call `number` once every earlier one has completed.
  void Deliver(std::uint64_t number, std::function<void()> complete) {
    if (late.erase(number) > 0) {
      if (!dropped) complete();
      return;
    }
    ready.emplace(number, std::move(complete));
    Drain();
  }

  // Call `number` will complete out of order, when its retry does: the calls after it go on.
  void Late(std::uint64_t number) {
    if (late.insert(number).second) Drain();
  }

  void Drain() {
    if (draining) return;
    auto self = shared_from_this();  // a completion may destroy the store
    draining = true;
    while (!dropped) {
      if (auto it = ready.find(next_to_complete); it != ready.end()) {
        auto complete = std::move(it->second);
        ready.erase(it);
        ++next_to_complete;
        complete();
      } else if (late.count(next_to_complete) > 0) {
        ++next_to_complete;
      } else {
        break;
      }
    }
    draining = false;
  }

  template <typename T>
  void Answer(std::uint64_t number, Callback<T> done, Outcome<T> result) {
    Deliver(number, [done = std::move(done), result = std::move(result)]() mutable {
      if (done) done(std::move(result));
    });
  }

  // Answers without the connection, from a later loop turn.
  template <typename T>
  void AnswerSoon(std::uint64_t number, Callback<T> done, Outcome<T> result) {
    loop.Post([weak = weak_from_this(), number, done = std::move(done),
               result = std::move(result)]() mutable {
      if (auto self = weak.lock(); self && !self->dropped) {
        self->Answer(number, std::move(done), std::move(result));
      }
    });
  }

  // One unit; `parse` turns its committed results into the value. Relaxed: its commit need
  // not wait for the disk (kRelaxedCommit, last, so the results before it keep their places).
  template <typename T>
  void Run(std::vector<Query> unit, std::function<Outcome<T>(const Reply&)> parse, Callback<T> done,
           bool relaxed = false) {
    if (relaxed) unit.emplace_back(kRelaxedCommit);
    const auto number = Number();
    db.Run(std::move(unit), [weak = weak_from_this(), number, parse = std::move(parse),
                             done = std::move(done)](Reply reply) mutable {
      auto self = weak.lock();
      if (!self || self->dropped) return;
      self->Answer(number, std::move(done),
                   reply.ok() ? parse(reply) : Outcome<T>::Failed(Describe(*reply.error)));
    });
  }

  // Runs `retry` once the connection is ready again.
  void Hold(std::function<void()> retry) {
    if (db.state() == State::kReady) {
      loop.Post([weak = weak_from_this(), retry = std::move(retry)] {
        if (auto self = weak.lock(); self && !self->dropped) retry();
      });
      return;
    }
    held.push_back(std::move(retry));
  }

  void Wake() {
    if (wake_posted || !wake) return;
    wake_posted = true;
    loop.Post([weak = weak_from_this()] {
      auto self = weak.lock();
      if (!self || self->dropped) return;
      self->wake_posted = false;
      if (auto handler = self->wake) handler();
    });
  }

  std::string NewPageId() {
    char id[33];
    std::snprintf(id, sizeof id, "%016llx%016llx", static_cast<unsigned long long>(random()),
                  static_cast<unsigned long long>(random()));
    return id;
  }

  // --- Accept ---

  struct AcceptWork {
    std::vector<Query> unit;
    std::size_t pages = 0;
    std::uint64_t number = 0;
    Callback<std::vector<Accepted>> done;
    std::optional<asio::steady_timer> deadline;  // set once an answer was lost
    bool finished = false;
  };

  static Outcome<std::vector<Accepted>> ParseAccept(const Reply& reply, std::size_t pages) {
    std::vector<Accepted> accepted;
    for (std::size_t i = 0; i < pages; ++i) {
      const auto& row = reply.results[1 + i];
      accepted.push_back({Text(row, 0, 0), row.Bool(0, 1)});
    }
    return Outcome<std::vector<Accepted>>::Ok(std::move(accepted));
  }

  void SendAccept(std::shared_ptr<AcceptWork> work) {
    db.Run(work->unit, [weak = weak_from_this(), work](Reply reply) {
      auto self = weak.lock();
      if (!self || self->dropped || work->finished) return;
      if (reply.ok()) return self->EndAccept(work, ParseAccept(reply, work->pages));
      const Error& error = *reply.error;
      if (!work->deadline) {
        if (error.kind != Error::Kind::kConnectionLost) {
          return self->EndAccept(work, Outcome<std::vector<Accepted>>::Failed(Describe(error)));
        }
        self->WaitForDatabase(work);
      } else if (!Unanswered(error)) {
        return self->EndAccept(work, Outcome<std::vector<Accepted>>::Failed(MaybeStored(
                                         "sending them again failed: " + Describe(error))));
      }
      self->Hold([weak, work] {
        if (auto self = weak.lock(); self && !work->finished) self->SendAccept(work);
      });
    });
  }

  static std::string MaybeStored(const std::string& then) {
    return "outbox: the connection to the database was lost before the commit of these pages "
           "was confirmed, and " +
           then +
           ": they may or may not have been stored; a request sent again with the same "
           "idempotency key makes no second page";
  }

  void WaitForDatabase(const std::shared_ptr<AcceptWork>& work) {
    Late(work->number);
    work->deadline.emplace(platform::AsioContext(loop));
    work->deadline->expires_after(std::chrono::milliseconds(options.lost_accept_wait));
    work->deadline->async_wait([weak = weak_from_this(), work](auto ec) {
      auto self = weak.lock();
      if (ec || !self || self->dropped || work->finished) return;
      self->EndAccept(work, Outcome<std::vector<Accepted>>::Failed(MaybeStored(
                                "it was not back within " +
                                std::to_string(self->options.lost_accept_wait) + " ms")));
    });
  }

  void EndAccept(const std::shared_ptr<AcceptWork>& work, Outcome<std::vector<Accepted>> result) {
    work->finished = true;
    if (work->deadline) work->deadline->cancel();
    Answer(work->number, std::move(work->done), std::move(result));
  }

  // --- Finish ---

  struct FinishWork {
    std::vector<Settlement> settlements;
    std::uint64_t number = 0;
    Callback<std::vector<bool>> done;
    bool retried = false;
  };

  std::vector<Query> FinishUnit(const FinishWork& work) {
    std::vector<std::int64_t> tokens;
    std::vector<std::string> states, replies, gateways, notes, attempted;
    std::vector<std::int64_t> retry;
    bool requeues = false;
    bool went_out = false;
    for (const auto& s : work.settlements) {
      tokens.push_back(s.lease.token);
      states.emplace_back(ToString(s.state));
      replies.push_back(s.reply);
      gateways.push_back(s.gateway);
      retry.push_back(std::max<Millis>(s.retry_in, 0));
      notes.push_back(s.note);
      attempted.push_back(Bool(s.attempted));
      requeues = requeues || s.state == RecipientState::kQueued;
      went_out =
          went_out || s.state == RecipientState::kDelivered || s.state == RecipientState::kDegraded;
    }
    std::vector<Query> unit;
    unit.emplace_back(kFinish,
                      Params{ArrayLiteral(tokens), ArrayLiteral(states), ArrayLiteral(replies),
                             ArrayLiteral(gateways), ArrayLiteral(retry), ArrayLiteral(notes),
                             ArrayLiteral(attempted)});
    if (work.retried) unit.emplace_back(kTokenStates, Params{ArrayLiteral(tokens)});
    // Another relay may have a free slot for it now, or learns when it falls due.
    if (requeues) unit.emplace_back(kWake);
    // The gateway's word that a page went out is kept as durably as the accept: lost to a crash
    // of the database, its recipient (SEND written) would lapse into uncertain, a page reported
    // as perhaps not delivered that was. Any other outcome lost leaves its recipient to a sweep.
    if (!went_out) unit.emplace_back(kRelaxedCommit);
    return unit;
  }

  static std::vector<bool> ParseFinish(const Reply& reply, const FinishWork& work) {
    std::set<std::int64_t> changed;
    for (int row = 0; row < reply.results[0].rows(); ++row) {
      changed.insert(Int(reply.results[0], row, 0));
    }
    std::map<std::int64_t, std::string> now_in;
    if (work.retried) {
      for (int row = 0; row < reply.results[1].rows(); ++row) {
        now_in[Int(reply.results[1], row, 0)] = Text(reply.results[1], row, 1);
      }
    }
    std::vector<bool> held;
    for (const auto& s : work.settlements) {
      const auto it = now_in.find(s.lease.token);
      held.push_back(changed.count(s.lease.token) > 0 ||
                     (it != now_in.end() && it->second == ToString(s.state)));
    }
    return held;
  }

  void SendFinish(std::shared_ptr<FinishWork> work) {
    db.Run(FinishUnit(*work), [weak = weak_from_this(), work](Reply reply) {
      auto self = weak.lock();
      if (!self || self->dropped) return;
      if (reply.ok()) {
        return self->Answer(work->number, std::move(work->done),
                            Outcome<std::vector<bool>>::Ok(ParseFinish(reply, *work)));
      }
      if (!Unanswered(*reply.error)) {
        return self->Answer(work->number, std::move(work->done),
                            Outcome<std::vector<bool>>::Failed(Describe(*reply.error)));
      }
      // The outcome of a session already over: record it once the database is back.
      if (reply.error->kind == Error::Kind::kConnectionLost) work->retried = true;
      self->Late(work->number);
      self->Hold([weak, work] {
        if (auto self = weak.lock()) self->SendFinish(work);
      });
    });
  }

  platform::EventLoop& loop;
  StoreOptions options;
  Connection db;
  std::mt19937_64 random;
  std::uint64_t next_number = 0;
  std::uint64_t next_to_complete = 0;
  std::map<std::uint64_t, std::function<void()>> ready;
  std::set<std::uint64_t> late;
  bool draining = false;
  bool dropped = false;
  std::vector<std::function<void()>> held;
  std::function<void()> wake;
  bool wake_posted = false;
  std::string last_failure;
  std::optional<Readiness> probed;
  SteadyClock::time_point probed_at{};
};

PgStore::PgStore(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

PgStore::~PgStore() {
  impl_->dropped = true;
  impl_->held.clear();
}

void PgStore::Accept(std::vector<NewPage> pages, Callback<std::vector<Accepted>> done) {
  auto& self = *impl_;
  auto work = std::make_shared<Impl::AcceptWork>();
  work->number = self.Number();
  work->done = std::move(done);
  work->pages = pages.size();
  if (pages.empty()) {
    return self.AnswerSoon(work->number, std::move(work->done),
                           Outcome<std::vector<Accepted>>::Ok({}));
  }
  std::vector<std::string> keys;
  for (const auto& page : pages) {
    if (!page.idempotency_key.empty()) keys.push_back("i:" + page.idempotency_key);
    if (!page.dedup_key.empty()) keys.push_back("d:" + page.dedup_key);
  }
  work->unit.emplace_back(kLockKeys, Params{ArrayLiteral(keys)});
  for (const auto& page : pages) {
    const auto key = [](const std::string& k) { return k.empty() ? Param() : Param(k); };
    work->unit.emplace_back(
        kAcceptPage,
        Params{self.NewPageId(), page.source, page.content.message, page.content.data,
               page.content.subject, page.content.options,
               std::to_string(std::max<Millis>(page.expire_after, 0)), key(page.idempotency_key),
               key(page.dedup_key), ArrayLiteral(page.pagers), Bool(page.require_level2)});
  }
  work->unit.emplace_back(kWake);
  self.SendAccept(std::move(work));
}

void PgStore::Find(std::string id, Callback<std::optional<PageRecord>> done) {
  std::vector<Query> unit;
  unit.emplace_back(kFindPage, Params{id});
  unit.emplace_back(kFindRecipients, Params{id});
  impl_->Run<std::optional<PageRecord>>(
      std::move(unit),
      [id](const Reply& reply) {
        return Outcome<std::optional<PageRecord>>::Ok(
            PageFrom(id, reply.results[0], reply.results[1]));
      },
      std::move(done));
}

void PgStore::ListPages(PageQuery query, Callback<PageList> done) {
  const auto limit = std::clamp<std::size_t>(query.limit, 1, kMaxListLimit);
  const Param state = query.state ? Param(std::string(ToString(*query.state))) : Param();
  const Param since = query.since ? Param(std::to_string(*query.since)) : Param();
  const Param sources = query.sources.empty() ? Param() : Param(ArrayLiteral(query.sources));
  const Param after_us = query.after ? Param(std::to_string(query.after->created_us)) : Param();
  const Param after_id = query.after ? Param(query.after->id) : Param();
  impl_->Run<PageList>(
      {Query(kListPages,
             Params{state, since, sources, after_us, after_id, std::to_string(limit + 1)})},
      [limit, max_bytes = query.max_bytes](const Reply& reply) {
        const auto& rows = reply.results[0];
        PageList list;
        std::vector<std::int64_t> created_us;
        for (int row = 0; row < rows.rows(); ++row) {
          const std::string id = Text(rows, row, 0);
          if (list.pages.empty() || list.pages.back().id != id) {
            PageRecord page;
            page.id = id;
            page.source = Text(rows, row, 1);
            page.content = {Text(rows, row, 2), Text(rows, row, 3), Text(rows, row, 4),
                            Text(rows, row, 5)};
            page.created = Int(rows, row, 6);
            page.expires = Int(rows, row, 7);
            page.require_level2 = rows.Bool(row, 8);
            list.pages.push_back(std::move(page));
            created_us.push_back(Int(rows, row, 9));
          }
          if (!rows.IsNull(row, 10))
            list.pages.back().recipients.push_back(RecipientAt(rows, row, 10));
        }
        // The pages that fit in max_bytes (the first always), at most `limit`.
        std::size_t keep = 0;
        for (std::size_t bytes = 0; keep < list.pages.size() && keep < limit;) {
          if (keep > 0 && bytes >= max_bytes) break;
          bytes += PageBytes(list.pages[keep++]);
        }
        if (keep < list.pages.size()) {
          list.pages.resize(keep);
          list.next = PageCursor{created_us[keep - 1], list.pages.back().id};
        }
        return Outcome<PageList>::Ok(std::move(list));
      },
      std::move(done));
}

void PgStore::Act(RecipientAction action, Callback<ActionResult> done) {
  std::vector<std::string> allowed;
  for (int i = 0; i < kRecipientStateCount; ++i) {
    const auto state = static_cast<RecipientState>(i);
    if (MayAct(action.action, state)) allowed.emplace_back(ToString(state));
  }
  const bool resend = action.action == OperatorAction::kResend;
  std::vector<Query> unit;
  unit.emplace_back(kLockRecipients, Params{action.page_id, action.pager});
  unit.emplace_back(resend ? kResend : kDismiss, Params{action.page_id, action.pager, action.actor,
                                                        action.note, ArrayLiteral(allowed)});
  unit.emplace_back(kFindPage, Params{action.page_id});
  unit.emplace_back(kFindRecipients, Params{action.page_id});
  // Another relay may have a free slot for a resent recipient now.
  if (resend) unit.emplace_back(kWake);
  impl_->Run<ActionResult>(
      std::move(unit),
      [id = action.page_id](const Reply& reply) {
        using Outcome = ActionResult::Outcome;
        ActionResult result;
        result.page = PageFrom(id, reply.results[2], reply.results[3]);
        const auto& locked = reply.results[0];
        const auto& changed = reply.results[1];
        if (!result.page) {
          result.outcome = Outcome::kNoPage;
        } else if (locked.rows() == 0) {
          result.outcome = Outcome::kNoRecipient;
          result.page.reset();
        } else if (changed.rows() == 0) {
          result.outcome = Outcome::kRefused;
          result.state = StateNamed(locked.Text(0, 1));
        } else {
          result.outcome = Outcome::kDone;
          for (int row = 0; row < changed.rows(); ++row) {
            result.changed.push_back(static_cast<int>(Int(changed, row, 0)));
          }
          std::sort(result.changed.begin(), result.changed.end());
        }
        return outbox::Result<ActionResult>::Ok(std::move(result));
      },
      std::move(done));
}

void PgStore::Count(Callback<Counts> done) {
  std::vector<Query> unit;
  unit.emplace_back(kCountStates);
  unit.emplace_back(kSize);
  impl_->Run<Counts>(
      std::move(unit),
      [](const Reply& reply) {
        Counts counts;
        const auto& states = reply.results[0];
        for (int row = 0; row < states.rows(); ++row) {
          if (auto state = ParseRecipientState(states.Text(row, 0))) {
            counts.recipients[static_cast<int>(*state)] += Int(states, row, 1);
          }
        }
        counts.pages = Int(reply.results[1], 0, 0);
        counts.bytes = Int(reply.results[1], 0, 1);
        return Outcome<Counts>::Ok(counts);
      },
      std::move(done));
}

void PgStore::Probe(Callback<Readiness> done) {
  auto& self = *impl_;
  const auto number = self.Number();
  if (self.db.state() != State::kReady) {
    std::string reason = "outbox: not connected to the database; the relay reconnects by itself";
    if (!self.last_failure.empty()) reason += " (last: " + self.last_failure + ")";
    return self.AnswerSoon(number, std::move(done),
                           Outcome<Readiness>::Ok(Readiness{false, std::move(reason)}));
  }
  const auto now = SteadyClock::now();
  if (self.probed && now - self.probed_at < std::chrono::seconds(1)) {
    return self.AnswerSoon(number, std::move(done), Outcome<Readiness>::Ok(*self.probed));
  }
  self.db.Run(Query(kProbe), [weak = self.weak_from_this(), number,
                              done = std::move(done)](Reply reply) mutable {
    auto self = weak.lock();
    if (!self || self->dropped) return;
    Readiness readiness;
    if (!reply.ok()) {
      readiness.reason = Describe(*reply.error);
    } else if (const auto version = Int(reply.results[0], 0, 0); version != kSchemaVersion) {
      SchemaStatus status;
      status.found = status.now = static_cast<int>(version);
      status.verdict = JudgeSchema(status.now);
      readiness.reason = "outbox: " + status.Describe() + "; then restart the relay";
    } else {
      readiness.ready = true;
    }
    self->probed = readiness;
    self->probed_at = SteadyClock::now();
    self->Answer(number, std::move(done), Outcome<Readiness>::Ok(std::move(readiness)));
  });
}

void PgStore::Claim(ClaimRequest request, Callback<Claimed> done) {
  const auto& options = impl_->options;
  std::vector<Query> unit;
  const bool take = request.limit > 0;
  if (take) {
    unit.emplace_back(kClaim, Params{Limit(request.limit), options.owner,
                                     std::to_string(std::max<Millis>(options.lease_ttl, 0)),
                                     Filter(request.filter)});
  }
  unit.emplace_back(kNextDue, Params{Filter(request.filter)});
  impl_->Run<Claimed>(
      std::move(unit),
      [take](const Reply& reply) {
        Claimed claimed;
        if (take) {
          const auto& rows = reply.results[0];
          for (int row = 0; row < rows.rows(); ++row) {
            Job job;
            job.lease.ref = {Text(rows, row, 0), static_cast<int>(Int(rows, row, 1))};
            job.pager = Text(rows, row, 2);
            job.attempts = static_cast<int>(Int(rows, row, 3)) - 1;
            job.lease.token = Int(rows, row, 4);
            job.content = {Text(rows, row, 6), Text(rows, row, 7), Text(rows, row, 8),
                           Text(rows, row, 9)};
            job.last_gateway = Text(rows, row, 13);
            job.require_level2 = rows.Bool(row, 14);
            job.age = Int(rows, row, 15);
            job.expires_in = std::max<Millis>(Int(rows, row, 16), 1);
            claimed.jobs.push_back(std::move(job));
          }
        }
        const auto& next = reply.results[take ? 1 : 0];
        if (!next.IsNull(0, 0)) claimed.next_due_in = Int(next, 0, 0);
        return Outcome<Claimed>::Ok(std::move(claimed));
      },
      std::move(done), /*relaxed=*/true);
}

namespace {

std::vector<bool> Held(const std::vector<std::int64_t>& asked, const pg::Result& answered) {
  std::set<std::int64_t> tokens;
  for (int row = 0; row < answered.rows(); ++row) tokens.insert(Int(answered, row, 0));
  std::vector<bool> held;
  for (const auto token : asked) held.push_back(tokens.count(token) > 0);
  return held;
}

}  // namespace

void PgStore::Renew(std::vector<Lease> leases, Callback<std::vector<bool>> done) {
  auto& self = *impl_;
  if (leases.empty()) {
    return self.AnswerSoon(self.Number(), std::move(done), Outcome<std::vector<bool>>::Ok({}));
  }
  std::vector<std::int64_t> tokens;
  for (const auto& lease : leases) tokens.push_back(lease.token);
  self.Run<std::vector<bool>>(
      {Query(kRenew, Params{ArrayLiteral(tokens),
                            std::to_string(std::max<Millis>(self.options.lease_ttl, 0))})},
      [tokens](const Reply& reply) {
        return Outcome<std::vector<bool>>::Ok(Held(tokens, reply.results[0]));
      },
      std::move(done), /*relaxed=*/true);
}

void PgStore::MarkSendWritten(std::vector<SendMark> marks, Callback<std::vector<bool>> done) {
  auto& self = *impl_;
  const auto number = self.Number();
  if (marks.empty()) {
    return self.AnswerSoon(number, std::move(done), Outcome<std::vector<bool>>::Ok({}));
  }
  std::vector<std::int64_t> tokens;
  std::vector<std::string> gateways;
  for (const auto& mark : marks) {
    tokens.push_back(mark.lease.token);
    gateways.push_back(mark.gateway);
  }
  self.db.Run(
      Query(kMarkSendWritten, Params{ArrayLiteral(tokens), ArrayLiteral(gateways)}),
      [weak = self.weak_from_this(), number, tokens, done = std::move(done)](Reply reply) mutable {
        auto self = weak.lock();
        if (!self || self->dropped) return;
        using R = Outcome<std::vector<bool>>;
        if (reply.ok()) {
          return self->Answer(number, std::move(done), R::Ok(Held(tokens, reply.results[0])));
        }
        // Committed or not, nobody was told SEND may go out: it does not. A mark that
        // did commit ends uncertain when its lease lapses, never queued.
        if (reply.error->MaybeCommitted()) {
          return self->Answer(number, std::move(done),
                              R::Ok(std::vector<bool>(tokens.size(), false)));
        }
        self->Answer(number, std::move(done), R::Failed(Describe(*reply.error)));
      });
}

void PgStore::Finish(std::vector<Settlement> settlements, Callback<std::vector<bool>> done) {
  auto& self = *impl_;
  auto work = std::make_shared<Impl::FinishWork>();
  work->number = self.Number();
  work->done = std::move(done);
  for (const auto& s : settlements) {
    if (s.state == RecipientState::kSending) {
      return self.AnswerSoon(work->number, std::move(work->done),
                             Outcome<std::vector<bool>>::Failed(
                                 "outbox: an attempt cannot end in the state sending; nothing "
                                 "was recorded"));
    }
  }
  if (settlements.empty()) {
    return self.AnswerSoon(work->number, std::move(work->done), Outcome<std::vector<bool>>::Ok({}));
  }
  work->settlements = std::move(settlements);
  self.SendFinish(std::move(work));
}

void PgStore::Sweep(Callback<Recovery> done) {
  impl_->Run<Recovery>(
      {Query(kSweep, Params{std::to_string(kSweepBatch)})},
      [](const Reply& reply) {
        Recovery recovery;
        const auto& rows = reply.results[0];
        for (int row = 0; row < rows.rows(); ++row) {
          if (rows.Text(row, 2) == "queued") {
            ++recovery.requeued;
          } else {
            ++recovery.uncertain;
          }
        }
        return Outcome<Recovery>::Ok(recovery);
      },
      std::move(done), /*relaxed=*/true);
}

void PgStore::Expire(std::size_t limit, Callback<std::vector<RecipientRef>> done) {
  auto& self = *impl_;
  if (limit == 0) {
    return self.AnswerSoon(self.Number(), std::move(done),
                           Outcome<std::vector<RecipientRef>>::Ok({}));
  }
  self.Run<std::vector<RecipientRef>>(
      {Query(kExpire, Params{Limit(limit)})},
      [](const Reply& reply) {
        std::vector<RecipientRef> expired;
        const auto& rows = reply.results[0];
        for (int row = 0; row < rows.rows(); ++row) {
          expired.push_back({Text(rows, row, 0), static_cast<int>(Int(rows, row, 1))});
        }
        std::sort(expired.begin(), expired.end());
        return Outcome<std::vector<RecipientRef>>::Ok(std::move(expired));
      },
      std::move(done), /*relaxed=*/true);
}

void PgStore::Prune(PruneRequest request, Callback<Pruned> done) {
  const auto limit = std::clamp<std::size_t>(request.limit, 1, kMaxBatch);
  std::vector<Query> unit;
  unit.emplace_back(kDeleteExpiredKeys, Params{std::to_string(limit)});
  unit.emplace_back(kDeleteOldPages, Params{std::to_string(std::max<Millis>(request.retain, 0)),
                                            std::to_string(limit)});
  impl_->Run<Pruned>(
      std::move(unit),
      [limit](const Reply& reply) {
        Pruned pruned;
        pruned.keys = reply.results[0].rows();
        pruned.pages = reply.results[1].rows();
        pruned.more = static_cast<std::size_t>(pruned.keys) >= limit ||
                      static_cast<std::size_t>(pruned.pages) >= limit;
        return Outcome<Pruned>::Ok(pruned);
      },
      std::move(done), /*relaxed=*/true);
}

void PgStore::OnWake(std::function<void()> wake) {
  impl_->wake = std::move(wake);
}

const std::string& PgStore::owner() const {
  return impl_->options.owner;
}

int PgStore::backend_pid() const {
  return impl_->db.backend_pid();
}

State PgStore::connection_state() const {
  return impl_->db.state();
}

// --- Opening ---

namespace {

struct Opening : std::enable_shared_from_this<Opening> {
  platform::EventLoop& loop;
  std::shared_ptr<PgStore::Impl> impl;
  std::function<void(Opened)> done;
  asio::steady_timer deadline;
  bool asked = false;  // the schema is being checked
  bool over = false;

  Opening(platform::EventLoop& l, std::shared_ptr<PgStore::Impl> i, std::function<void(Opened)> d)
      : loop(l), impl(std::move(i)), done(std::move(d)), deadline(platform::AsioContext(l)) {}

  void Begin() {
    impl->db.OnStateChange([weak = weak_from_this()](State state, const Error* why) {
      auto self = weak.lock();
      if (!self || self->over) return;
      if (state == State::kReady && !self->asked) return self->AskSchema();
      if (state == State::kWaiting && why) self->Fail(Describe(*why));
    });
    deadline.expires_after(std::chrono::milliseconds(impl->options.open_timeout));
    // The wait keeps the opening alive until it ends, one way or the other.
    deadline.async_wait([self = shared_from_this()](auto ec) {
      if (ec || self->over) return;
      self->Fail("outbox: no answer from the database within " +
                 std::to_string(self->impl->options.open_timeout) +
                 " ms; check that it is up and reachable from here");
    });
    impl->db.Start();
  }

  void AskSchema() {
    asked = true;
    auto answer = [weak = weak_from_this()](SchemaStatus status) {
      auto self = weak.lock();
      if (!self || self->over) return;
      if (status.error || status.verdict != SchemaVerdict::kCurrent) {
        std::string error = "outbox: " + status.Describe();
        return self->Fail(std::move(error), std::move(status));
      }
      self->Succeed(std::move(status));
    };
    if (impl->options.migrate) {
      Migrate(impl->db, std::move(answer));
    } else {
      CheckSchema(impl->db, std::move(answer));
    }
  }

  void Fail(std::string error, SchemaStatus status = {}) {
    End(Opened{nullptr, std::move(status), std::move(error)});
  }

  void Succeed(SchemaStatus status) {
    impl->Attach();
    End(Opened{std::make_unique<PgStore>(impl), std::move(status), {}});
  }

  // From a loop turn of its own: a failed opening drops its connection, which may be the one
  // calling its state handler now.
  void End(Opened opened) {
    over = true;
    deadline.cancel();
    loop.Post([self = shared_from_this(), opened = std::make_shared<Opened>(std::move(opened))] {
      auto callback = std::move(self->done);
      self->impl.reset();
      callback(std::move(*opened));
    });
  }
};

}  // namespace

void OpenStore(platform::EventLoop& loop, StoreOptions options, std::function<void(Opened)> done) {
  auto impl = std::make_shared<PgStore::Impl>(loop, std::move(options));
  auto opening = std::make_shared<Opening>(loop, std::move(impl), std::move(done));
  opening->Begin();
}

}  // namespace kestrel::outbox::pg
