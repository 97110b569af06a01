#pragma once
// A PostgreSQL connection on the host's event loop: plain libpq, non-blocking, in pipeline mode.
//
//   Connection(loop, options) ─ Start() ─▶ kConnecting ── PQconnectPoll done ──▶ kReady
//                                 ▲            │ failed / connect_timeout             │ lost,
//                                 │            ▼                                      │ no answer
//                                 └─ backoff ─ kWaiting ◀────────────────────────────┘ in time
//   Close(done), from any state ─▶ (units in flight end) ─▶ kClosed
//
// Work goes out in units: one statement, or several that commit or roll back as one (the
// statements between two pipeline syncs run as one implicit transaction). Units are written as
// they come, up to max_in_flight before their answers, and their callbacks run in the order the
// units were given. A named Statement is prepared once per connection, before its first use, in
// a sync of its own so that a failing unit never undoes it.
//
// What a unit's callback receives:
//   committed                                   Reply::ok(), one Result per statement
//   the server refused a statement              kStatement: rolled back; sqlstate says why
//   the connection broke after it was written   kConnectionLost: it MAY have committed
//   not connected, or still waiting its turn    kUnavailable: nothing was done
//   a value the database cannot hold (NUL)      kInvalid: nothing was done
//   Close() before it was written               kClosed: nothing was done
// A unit in flight when the connection breaks, or longer than query_timeout, is never reported
// as not done: the caller resolves kConnectionLost from the database once it is back.
//
// After every (re)connection the connection LISTENs again on every channel given to Listen()
// and reports kReady; a notification sent while it was away is lost, so a caller treats them
// as wake-up hints next to a timer, and looks for work on each kReady.
//
// Threading: the loop's thread only. Callbacks come from the loop, never from inside Start,
// Run, Listen or Close. Destroying the Connection drops every callback not yet run and closes
// the connection at once. The connection string may hold a password: nothing here logs it, and
// no error text repeats it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct pg_result;  // libpq's PGresult

namespace kestrel::platform {
class EventLoop;
}

namespace kestrel::outbox::pg {

// A statement with static text, such as those of queue_sql.hpp. With a name, the connection
// prepares it under that name; without, it is sent with its text each time.
struct Statement {
  std::string_view name;
  std::string_view text;
};

// A parameter in text form; nullopt is NULL.
using Param = std::optional<std::string>;
using Params = std::vector<Param>;

// One statement to run and its parameters ($1, $2, ...).
class Query {
 public:
  Query(const Statement& statement, Params params = {})  // NOLINT: a statement is a query
      : statement_(statement), params_(std::move(params)) {}
  // An ad-hoc text, never prepared (schema steps, tests).
  explicit Query(std::string text, Params params = {})
      : owned_(std::move(text)), owns_(true), params_(std::move(params)) {}

  std::string_view name() const { return owns_ ? std::string_view() : statement_.name; }
  std::string_view text() const { return owns_ ? std::string_view(owned_) : statement_.text; }
  const Params& params() const { return params_; }

 private:
  Statement statement_{};
  std::string owned_;
  bool owns_ = false;
  Params params_;
};

// The rows of one statement, in text form. Cheap to copy; keeps libpq's result alive.
class Result {
 public:
  Result() = default;
  explicit Result(std::shared_ptr<pg_result> result) : result_(std::move(result)) {}

  int rows() const;
  int columns() const;
  bool IsNull(int row, int column) const;
  // The value as the server wrote it; empty for NULL. Valid while this Result lives.
  std::string_view Text(int row, int column) const;
  // nullopt for NULL or for a value that is not a whole number.
  std::optional<std::int64_t> Int(int row, int column) const;
  bool Bool(int row, int column) const { return Text(row, column) == "t"; }
  // The rows an INSERT, UPDATE or DELETE touched.
  std::int64_t affected() const;

 private:
  std::shared_ptr<pg_result> result_;
};

struct Error {
  enum class Kind {
    kStatement,       // the server refused a statement; the unit was rolled back
    kConnectionLost,  // the connection broke after the unit was written: it may have committed
    kUnavailable,     // not connected, or dropped with the connection before it was written
    kInvalid,         // a parameter the database cannot hold; nothing was sent
    kClosed,          // Close() came before the unit was written
  };
  Kind kind = Kind::kUnavailable;
  std::string what;    // our own words: what went wrong, and what to do
  std::string server;  // the server's or libpq's own text, when there is one
  std::string sqlstate;
  int statement = -1;  // kStatement: which statement of the unit, from 0

  // Only kConnectionLost leaves the outcome open; the others did nothing.
  bool MaybeCommitted() const { return kind == Kind::kConnectionLost; }
};
std::ostream& operator<<(std::ostream& out, Error::Kind kind);
std::ostream& operator<<(std::ostream& out, const Error& error);

struct Reply {
  std::optional<Error> error;
  std::vector<Result> results;  // one per statement, when ok()
  bool ok() const { return !error; }
};

enum class State {
  kIdle,        // created, Start() not called yet
  kConnecting,  // PQconnectPoll under way
  kReady,       // connected; units go out
  kWaiting,     // lost or failed; the next attempt waits for its backoff
  kClosed,      // Close() finished, or never to connect again
};
std::ostream& operator<<(std::ostream& out, State state);

struct Options {
  // A libpq connection string or URI: "host=... dbname=..." or "postgresql://...". Keepalives
  // and a TCP user timeout are on unless it says otherwise, so a dead peer is noticed in seconds.
  std::string conninfo;
  std::string application_name = "kestrel";
  std::chrono::milliseconds connect_timeout{5000};
  // The longest a unit may wait for its answer before the connection counts as lost. 0: none.
  std::chrono::milliseconds query_timeout{10000};
  // The wait before reconnecting doubles from reconnect_min up to reconnect_max, with jitter.
  std::chrono::milliseconds reconnect_min{100};
  std::chrono::milliseconds reconnect_max{5000};
  // Units written before the first of them is answered; 1 sends one at a time.
  std::size_t max_in_flight = 64;
};

class Connection {
 public:
  Connection(platform::EventLoop& loop, Options options);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Starts connecting; after a loss it reconnects by itself until Close().
  void Start();

  using Handler = std::function<void(Reply)>;
  // One statement: its own transaction.
  void Run(Query query, Handler done);
  // Several statements that commit or roll back together.
  void Run(std::vector<Query> queries, Handler done);

  using NotifyHandler = std::function<void(std::string_view channel, std::string_view payload)>;
  // LISTENs on `channel` now (when connected) and after every reconnection.
  void Listen(std::string channel, NotifyHandler handler);

  // State changes; `why` says what went wrong on a move to kWaiting.
  using StateHandler = std::function<void(State state, const Error* why)>;
  void OnStateChange(StateHandler handler);

  // No new units; those not yet written end kClosed, those in flight get their answers (within
  // query_timeout), then the connection is closed and `done` runs.
  void Close(std::function<void()> done = {});

  State state() const;
  // The server process of the current connection (0 when none), e.g. for pg_terminate_backend.
  int backend_pid() const;
  // Connections made so far (each successful connect counts one).
  std::uint64_t connections() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// A PostgreSQL array literal ("{...}") of the values, each quoted, for a text[] or bigint[]
// parameter: one statement takes a whole batch. nullopt elements are NULL.
std::string ArrayLiteral(std::span<const std::string> values);
std::string ArrayLiteral(std::span<const Param> values);
std::string ArrayLiteral(std::span<const std::int64_t> values);

// "name" as an SQL identifier, in double quotes, for the few statements that take no
// parameters in that place (LISTEN, CREATE DATABASE).
std::string QuoteIdentifier(std::string_view name);

}  // namespace kestrel::outbox::pg
