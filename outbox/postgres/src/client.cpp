// The PostgreSQL connection: libpq in non-blocking pipeline mode, its socket watched by the
// Asio loop.
//
// The socket is libpq's: an asio::posix::stream_descriptor only waits on it (async_wait) and
// is released, never closed, whenever libpq may change or close it (every PQconnectPoll step,
// a loss, a close). PQconsumeInput reads only part of what may be waiting; that is safe with
// Asio's edge-triggered epoll because starting a wait re-arms the descriptor (EPOLL_CTL_MOD),
// which reports input already there. What epoll cannot see is plaintext OpenSSL has decrypted
// and buffered: with TLS, reading goes on while SSL_pending says there is more.
//
// Answers arrive in the order units were written. For each statement libpq gives one result
// then a null; for each unit's sync a PGRES_PIPELINE_SYNC. After a failed statement the rest
// of its unit comes back PGRES_PIPELINE_ABORTED, and the server rolls the unit back at the sync.

#include <libpq-fe.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <charconv>
#include <deque>
#include <map>
#include <random>
#include <set>

#include "kestrel/delivery/scheduler.hpp"
#include "kestrel/outbox/pg/client.hpp"
#include "kestrel/platform/asio_event_loop.hpp"

namespace kestrel::outbox::pg {

namespace {

using Clock = std::chrono::steady_clock;

std::string Trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  // libpq's messages run over several lines ("server closed the connection...\n\tThis
  // probably means..."); one line reads better in a log.
  std::replace(s.begin(), s.end(), '\n', ' ');
  std::replace(s.begin(), s.end(), '\t', ' ');
  return s;
}

Error MakeError(Error::Kind kind, std::string what, std::string server = {}) {
  Error e;
  e.kind = kind;
  e.what = std::move(what);
  e.server = std::move(server);
  return e;
}

std::string Millis(std::chrono::milliseconds ms) {
  return std::to_string(ms.count()) + " ms";
}

}  // namespace

// --- Result ---

int Result::rows() const {
  return result_ ? PQntuples(result_.get()) : 0;
}
int Result::columns() const {
  return result_ ? PQnfields(result_.get()) : 0;
}
bool Result::IsNull(int row, int column) const {
  if (!result_ || row < 0 || row >= rows() || column < 0 || column >= columns()) return true;
  return PQgetisnull(result_.get(), row, column) == 1;
}
std::string_view Result::Text(int row, int column) const {
  if (IsNull(row, column)) return {};
  return {PQgetvalue(result_.get(), row, column),
          static_cast<std::size_t>(PQgetlength(result_.get(), row, column))};
}
std::optional<std::int64_t> Result::Int(int row, int column) const {
  if (IsNull(row, column)) return std::nullopt;
  const auto text = Text(row, column);
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}
std::int64_t Result::affected() const {
  if (!result_) return 0;
  const char* text = PQcmdTuples(result_.get());
  std::int64_t value = 0;
  std::from_chars(text, text + std::char_traits<char>::length(text), value);
  return value;
}

// --- Texts ---

std::ostream& operator<<(std::ostream& out, Error::Kind kind) {
  switch (kind) {
    case Error::Kind::kStatement:
      return out << "statement";
    case Error::Kind::kConnectionLost:
      return out << "connection lost";
    case Error::Kind::kUnavailable:
      return out << "unavailable";
    case Error::Kind::kInvalid:
      return out << "invalid";
    case Error::Kind::kClosed:
      return out << "closed";
  }
  return out << "unknown";
}

std::ostream& operator<<(std::ostream& out, const Error& error) {
  out << error.kind << ": " << error.what;
  if (!error.server.empty()) out << " (" << error.server << ")";
  if (!error.sqlstate.empty()) out << " [SQLSTATE " << error.sqlstate << "]";
  return out;
}

std::ostream& operator<<(std::ostream& out, State state) {
  switch (state) {
    case State::kIdle:
      return out << "idle";
    case State::kConnecting:
      return out << "connecting";
    case State::kReady:
      return out << "ready";
    case State::kWaiting:
      return out << "waiting";
    case State::kClosed:
      return out << "closed";
  }
  return out << "unknown";
}

namespace {

void AppendQuoted(std::string& out, std::string_view value) {
  out += '"';
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

}  // namespace

std::string ArrayLiteral(std::span<const std::string> values) {
  std::string out = "{";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += ',';
    AppendQuoted(out, values[i]);
  }
  return out + "}";
}

std::string ArrayLiteral(std::span<const Param> values) {
  std::string out = "{";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += ',';
    if (values[i]) {
      AppendQuoted(out, *values[i]);
    } else {
      out += "NULL";
    }
  }
  return out + "}";
}

std::string ArrayLiteral(std::span<const std::int64_t> values) {
  std::string out = "{";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += ',';
    out += std::to_string(values[i]);
  }
  return out + "}";
}

std::string QuoteIdentifier(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// --- The connection ---

struct Connection::Impl : std::enable_shared_from_this<Impl> {
  struct Unit {
    std::vector<Query> queries;
    Handler done;
    std::vector<Result> results;
    std::optional<Error> error;
    std::size_t next = 0;  // the statement whose results come next
    Clock::time_point written{};
    std::optional<Error> prepare_error;  // preparing one of its statements failed
    enum class Internal { kNo, kPrepare, kListen } internal = Internal::kNo;
  };

  Impl(platform::EventLoop& loop, Options opts)
      : io(platform::AsioContext(loop)),
        options(std::move(opts)),
        connect_timer(io),
        retry_timer(io),
        answer_timer(io),
        random(std::random_device{}()) {
    options.max_in_flight = std::max<std::size_t>(options.max_in_flight, 1);
  }

  ~Impl() { Drop(); }

  // --- Connecting ---

  void Connect() {
    state_generation++;
    SetState(State::kConnecting, nullptr);
    if (state != State::kConnecting) return;
    // Our defaults first: keywords that come after the expanded connection string would
    // override it, those before are overridden by it.
    const std::vector<std::pair<const char*, std::string>> settings = {
        {"application_name", options.application_name},
        {"keepalives", "1"},
        {"keepalives_idle", "5"},
        {"keepalives_interval", "2"},
        {"keepalives_count", "3"},
        {"tcp_user_timeout", "10000"},
        {"dbname", options.conninfo},
    };
    std::vector<const char*> keywords, values;
    for (const auto& [key, value] : settings) {
      keywords.push_back(key);
      values.push_back(value.c_str());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    // libpq's words for a string it cannot read may quote a piece of it, which may be the
    // password: check it first, and say only that it is wrong.
    char* parse_error = nullptr;
    if (PQconninfoOption* parsed = PQconninfoParse(options.conninfo.c_str(), &parse_error)) {
      PQconninfoFree(parsed);
    } else {
      PQfreemem(parse_error);
      return Lost(MakeError(Error::Kind::kUnavailable,
                            "the database connection string cannot be read: write it as "
                            "keyword=value pairs or as a postgresql:// URI"));
    }
    conn = PQconnectStartParams(keywords.data(), values.data(), /*expand_dbname=*/1);
    if (conn == nullptr) {
      return ConnectFailed("libpq could not allocate a connection");
    }
    if (PQstatus(conn) == CONNECTION_BAD) return ConnectFailed(Trimmed(PQerrorMessage(conn)));
    PQsetNoticeReceiver(
        conn, [](void*, const PGresult*) {}, nullptr);
    if (options.connect_timeout.count() > 0) {
      connect_timer.expires_after(options.connect_timeout);
      connect_timer.async_wait([weak = weak_from_this(), gen = state_generation](auto ec) {
        auto self = weak.lock();
        if (ec || !self || gen != self->state_generation || self->state != State::kConnecting) {
          return;
        }
        self->ConnectFailed("no connection within " + Millis(self->options.connect_timeout));
      });
    }
    WaitToConnect(PGRES_POLLING_WRITING);
  }

  void WaitToConnect(PostgresPollingStatusType polling) {
    // libpq may have closed the socket and opened another, quite possibly under the same
    // number (it tries each address in turn): register it anew at every step.
    if (!WatchSocket()) return;
    const auto wait = polling == PGRES_POLLING_READING ? asio::posix::descriptor_base::wait_read
                                                       : asio::posix::descriptor_base::wait_write;
    socket->async_wait(wait, [weak = weak_from_this(), gen = socket_generation](auto ec) {
      auto self = weak.lock();
      if (!self || gen != self->socket_generation || ec == asio::error::operation_aborted) return;
      self->ConnectStep();
    });
  }

  void ConnectStep() {
    switch (PQconnectPoll(conn)) {
      case PGRES_POLLING_READING:
        return WaitToConnect(PGRES_POLLING_READING);
      case PGRES_POLLING_WRITING:
        return WaitToConnect(PGRES_POLLING_WRITING);
      case PGRES_POLLING_OK:
        return Connected();
      default:
        return ConnectFailed(Trimmed(PQerrorMessage(conn)));
    }
  }

  void Connected() {
    connect_timer.cancel();
    if (PQsetnonblocking(conn, 1) != 0 || PQenterPipelineMode(conn) != 1) {
      return ConnectFailed(Trimmed(PQerrorMessage(conn)));
    }
    if (!WatchSocket()) return;
    failures = 0;
    ++connection_count;
    if (!channels.empty()) {
      Unit listen;
      listen.internal = Unit::Internal::kListen;
      for (const auto& [channel, handler] : channels) {
        listen.queries.emplace_back("LISTEN " + QuoteIdentifier(channel));
      }
      pending.push_front(std::move(listen));
    }
    const auto gen = state_generation;
    SetState(State::kReady, nullptr);
    if (gen != state_generation) return;
    Arm();
    Kick();
  }

  void ConnectFailed(std::string server) {
    Lost(MakeError(Error::Kind::kUnavailable,
                   "could not connect to the database; check the connection string, that the "
                   "server is up and accepts this role, and the network between them",
                   std::move(server)));
  }

  bool WatchSocket() {
    ReleaseSocket();
    const int fd = PQsocket(conn);
    if (fd < 0) {
      ConnectFailed("libpq has no socket");
      return false;
    }
    asio::error_code ec;
    socket.emplace(io);
    socket->assign(fd, ec);
    if (ec) {
      socket.reset();
      ConnectFailed("the event loop cannot watch the socket: " + ec.message());
      return false;
    }
    return true;
  }

  void ReleaseSocket() {
    ++socket_generation;
    read_armed = write_armed = false;
    if (socket) {
      asio::error_code ignored;
      socket->cancel(ignored);
      socket->release();  // libpq owns the descriptor and closes it
      socket.reset();
    }
  }

  // --- Losing and closing ---

  // The connection is gone: units in flight may have committed, units not written did nothing.
  // Reconnects after a backoff, unless closing.
  void Lost(Error why) {
    auto self = shared_from_this();
    const bool was_ready = state == State::kReady;
    Disconnect();
    auto in_flight_now = std::exchange(in_flight, {});
    auto pending_now = std::exchange(pending, {});
    const bool was_closing = closing;
    if (closing) {
      FinishClose();
    } else {
      const auto gen = ++state_generation;
      ++failures;
      const double jitter = std::uniform_real_distribution<double>(0.0, 1.0)(random);
      delivery::Policy policy;
      policy.first_backoff = options.reconnect_min;
      policy.max_backoff = options.reconnect_max;
      retry_timer.expires_after(delivery::Backoff(policy, failures, jitter));
      retry_timer.async_wait([weak = weak_from_this(), gen](auto ec) {
        auto self = weak.lock();
        if (ec || !self || gen != self->state_generation || self->state != State::kWaiting) return;
        self->Connect();
      });
      SetState(State::kWaiting, &why);
    }
    // The units lost with the connection are told even when a handler above closed it.
    Error lost = why;
    lost.kind = Error::Kind::kConnectionLost;
    if (was_ready) lost.what += "; the work sent may or may not have been committed";
    Error unsent = why;
    unsent.kind = was_closing ? Error::Kind::kClosed : Error::Kind::kUnavailable;
    unsent.what = was_closing
                      ? "the connection was closed before this work was sent; nothing was done"
                      : why.what +
                            "; this work was not sent, nothing was done; try again once "
                            "the connection is back";
    for (auto& unit : in_flight_now) {
      if (dropped) return;
      if (unit.done) unit.done(Reply{lost, {}});
    }
    for (auto& unit : pending_now) {
      if (dropped) return;
      if (unit.done) unit.done(Reply{unsent, {}});
    }
  }

  bool Alive(std::uint64_t gen) const { return !dropped && gen == state_generation; }

  void Disconnect() {
    connect_timer.cancel();
    answer_timer.cancel();
    ReleaseSocket();
    if (conn) PQfinish(conn);  // a Terminate message when connected, then close
    conn = nullptr;
    prepared.clear();
  }

  void FinishClose() {
    ++state_generation;
    Disconnect();
    retry_timer.cancel();
    SetState(State::kClosed, nullptr);
    if (auto done = std::exchange(close_done, {})) {
      asio::post(io, [weak = weak_from_this(), done = std::move(done)] {
        if (auto self = weak.lock(); self && !self->dropped) done();
      });
    }
  }

  // The owner is going away: close at once, run nothing.
  void Drop() {
    dropped = true;
    retry_timer.cancel();
    Disconnect();
    pending.clear();
    in_flight.clear();
  }

  void SetState(State next, const Error* why) {
    state = next;
    if (on_state) {
      auto handler = on_state;  // it may replace itself
      handler(next, why);
    }
  }

  // --- Writing ---

  void Kick() {
    if (kick_posted) return;
    kick_posted = true;
    asio::post(io, [weak = weak_from_this()] {
      auto self = weak.lock();
      if (!self || self->dropped) return;
      self->kick_posted = false;
      self->Write();
    });
  }

  void Write() {
    if (state != State::kReady || !conn) return;
    while (!pending.empty() && in_flight.size() < options.max_in_flight) {
      Unit unit = std::move(pending.front());
      pending.pop_front();
      Unit prepare;
      prepare.internal = Unit::Internal::kPrepare;
      for (const auto& query : unit.queries) {
        if (query.name().empty()) continue;
        auto [it, fresh] = prepared.emplace(query.name());
        if (!fresh) continue;
        if (!PQsendPrepare(conn, it->c_str(), std::string(query.text()).c_str(),
                           static_cast<int>(query.params().size()), nullptr)) {
          return WriteFailed();
        }
        prepare.queries.emplace_back(Statement{query.name(), query.text()});
      }
      if (!prepare.queries.empty()) {
        if (!PQpipelineSync(conn)) return WriteFailed();
        prepare.written = Clock::now();
        in_flight.push_back(std::move(prepare));
      }
      // From the first byte handed to libpq on, the unit counts as written.
      unit.written = Clock::now();
      in_flight.push_back(std::move(unit));
      if (!Send(in_flight.back())) return WriteFailed();
    }
    Flush();
    ArmAnswerTimer();
  }

  bool Send(const Unit& unit) {
    for (const auto& query : unit.queries) {
      std::vector<const char*> values;
      values.reserve(query.params().size());
      for (const auto& param : query.params()) {
        values.push_back(param ? param->c_str() : nullptr);
      }
      const int count = static_cast<int>(values.size());
      int sent = 0;
      if (!query.name().empty()) {
        sent = PQsendQueryPrepared(conn, std::string(query.name()).c_str(), count, values.data(),
                                   nullptr, nullptr, 0);
      } else {
        sent = PQsendQueryParams(conn, std::string(query.text()).c_str(), count, nullptr,
                                 values.data(), nullptr, nullptr, 0);
      }
      if (!sent) return false;
    }
    return PQpipelineSync(conn) == 1;
  }

  void WriteFailed() {
    Lost(MakeError(Error::Kind::kConnectionLost, "writing to the database failed",
                   Trimmed(PQerrorMessage(conn))));
  }

  void Flush() {
    if (!conn) return;
    const int rc = PQflush(conn);
    if (rc < 0) return WriteFailed();
    if (rc == 1 && !write_armed && socket) {
      write_armed = true;
      socket->async_wait(asio::posix::descriptor_base::wait_write,
                         [weak = weak_from_this(), gen = socket_generation](auto ec) {
                           auto self = weak.lock();
                           if (!self || gen != self->socket_generation) return;
                           self->write_armed = false;
                           if (ec == asio::error::operation_aborted) return;
                           self->Flush();
                         });
    }
  }

  // --- Reading ---

  void Arm() {
    if (read_armed || !socket) return;
    read_armed = true;
    socket->async_wait(asio::posix::descriptor_base::wait_read,
                       [weak = weak_from_this(), gen = socket_generation](auto ec) {
                         auto self = weak.lock();
                         if (!self || gen != self->socket_generation) return;
                         self->read_armed = false;
                         if (ec == asio::error::operation_aborted) return;
                         self->Read();
                       });
  }

  // Input that no wait would report: decrypted and held by OpenSSL.
  bool InputWaiting() const {
    if (PQsslInUse(conn)) {
      auto* ssl = static_cast<SSL*>(PQsslStruct(conn, "OpenSSL"));
      if (ssl && SSL_pending(ssl) > 0) return true;
    }
    return false;
  }

  void Read() {
    auto self = shared_from_this();
    const auto gen = state_generation;
    for (int round = 0; round < 16; ++round) {
      if (!PQconsumeInput(conn)) {
        return Lost(MakeError(Error::Kind::kConnectionLost, "the connection to the database broke",
                              Trimmed(PQerrorMessage(conn))));
      }
      TakeResults();
      if (!Alive(gen)) return;
      TakeNotifications();
      if (!Alive(gen)) return;
      Arm();
      if (!InputWaiting()) break;
      if (round == 15) {  // let other work run; come back on the next turn
        asio::post(io, [weak = weak_from_this(), gen] {
          auto self = weak.lock();
          if (self && self->Alive(gen)) self->Read();
        });
      }
    }
    Write();
  }

  void TakeResults() {
    const auto gen = state_generation;
    while (!in_flight.empty() && conn && !PQisBusy(conn)) {
      PGresult* raw = PQgetResult(conn);
      Unit& unit = in_flight.front();
      if (PQstatus(conn) == CONNECTION_BAD) {
        std::string server = raw ? Trimmed(PQresultErrorMessage(raw)) : "";
        if (server.empty()) server = Trimmed(PQerrorMessage(conn));
        PQclear(raw);
        return Lost(MakeError(Error::Kind::kConnectionLost, "the connection to the database broke",
                              std::move(server)));
      }
      if (unit.next < unit.queries.size()) {
        if (raw == nullptr) {  // the end of this statement's results
          ++unit.next;
          continue;
        }
        std::shared_ptr<pg_result> result(raw, PQclear);
        switch (PQresultStatus(raw)) {
          case PGRES_TUPLES_OK:
          case PGRES_COMMAND_OK:
            unit.results.emplace_back(std::move(result));
            break;
          case PGRES_PIPELINE_ABORTED:
            break;  // an earlier statement's error stands for the unit
          case PGRES_FATAL_ERROR:
            if (!unit.error) {
              Error e = MakeError(Error::Kind::kStatement,
                                  "the database refused a statement; the work was rolled back",
                                  Trimmed(PQresultErrorField(raw, PG_DIAG_MESSAGE_PRIMARY)));
              const char* state_code = PQresultErrorField(raw, PG_DIAG_SQLSTATE);
              e.sqlstate = state_code ? state_code : "";
              e.statement = static_cast<int>(unit.next);
              unit.error = std::move(e);
            }
            break;
          default:  // COPY and the like: never sent by us
            return Lost(MakeError(Error::Kind::kConnectionLost,
                                  "the database answered with something not asked for",
                                  PQresStatus(PQresultStatus(raw))));
        }
        continue;
      }
      // The unit's sync: the server has committed it, or rolled it back.
      if (raw == nullptr) break;
      const auto status = PQresultStatus(raw);
      PQclear(raw);
      if (status != PGRES_PIPELINE_SYNC) {
        return Lost(MakeError(Error::Kind::kConnectionLost,
                              "the database's answers are out of step with the work sent",
                              PQresStatus(status)));
      }
      Unit done = std::move(in_flight.front());
      in_flight.pop_front();
      ArmAnswerTimer();
      Complete(std::move(done));
      if (!Alive(gen)) return;
    }
    if (closing && in_flight.empty() && state == State::kReady) FinishClose();
  }

  void Complete(Unit unit) {
    switch (unit.internal) {
      case Unit::Internal::kPrepare:
        if (unit.error) {
          // Prepare again at the next use. The unit written right after is the one that
          // needed it: its own error would only say the statement does not exist.
          for (const auto& query : unit.queries) prepared.erase(std::string(query.name()));
          if (!in_flight.empty()) {
            Unit& user = in_flight.front();
            const auto failed = unit.queries[unit.error->statement].name();
            for (std::size_t i = 0; i < user.queries.size(); ++i) {
              if (user.queries[i].name() != failed) continue;
              user.prepare_error = unit.error;
              user.prepare_error->statement = static_cast<int>(i);
              break;
            }
          }
        }
        return;
      case Unit::Internal::kListen:
        if (unit.error) {
          Error why = *unit.error;
          why.what = "the connection could not LISTEN for wake-ups";
          Lost(std::move(why));
        }
        return;
      case Unit::Internal::kNo:
        break;
    }
    if (!unit.done) return;
    if (unit.prepare_error) {
      unit.done(Reply{std::move(unit.prepare_error), {}});
    } else if (unit.error) {
      unit.done(Reply{std::move(unit.error), {}});
    } else {
      unit.done(Reply{std::nullopt, std::move(unit.results)});
    }
  }

  void TakeNotifications() {
    const auto gen = state_generation;
    while (PGnotify* notify = PQnotifies(conn)) {
      const std::string channel = notify->relname ? notify->relname : "";
      const std::string payload = notify->extra ? notify->extra : "";
      PQfreemem(notify);
      auto it = channels.find(channel);
      if (it == channels.end()) continue;
      auto handler = it->second;
      handler(channel, payload);
      if (!Alive(gen)) return;
    }
  }

  void ArmAnswerTimer() {
    if (options.query_timeout.count() <= 0) return;
    if (in_flight.empty()) {
      answer_timer.cancel();
      return;
    }
    const auto oldest = in_flight.front().written;
    answer_timer.expires_at(oldest + options.query_timeout);
    answer_timer.async_wait([weak = weak_from_this(), gen = state_generation, oldest](auto ec) {
      auto self = weak.lock();
      if (ec || !self || !self->Alive(gen) || self->in_flight.empty()) return;
      if (self->in_flight.front().written != oldest) return;
      self->Lost(MakeError(Error::Kind::kConnectionLost,
                           "the database gave no answer within " +
                               Millis(self->options.query_timeout) +
                               ", so the connection was dropped to be made again"));
    });
  }

  // --- Entry points ---

  void Submit(std::vector<Query> queries, Handler done) {
    for (const auto& query : queries) {
      for (const auto& param : query.params()) {
        if (param && param->find('\0') != std::string::npos) {
          return Refuse(std::move(done),
                        MakeError(Error::Kind::kInvalid,
                                  "a value holds a NUL byte, which the database cannot store; "
                                  "nothing was sent"));
        }
      }
    }
    if (closing || state == State::kClosed) {
      return Refuse(std::move(done),
                    MakeError(Error::Kind::kClosed, "the connection is closed; nothing was done"));
    }
    if (state != State::kReady) {
      return Refuse(std::move(done),
                    MakeError(Error::Kind::kUnavailable,
                              "not connected to the database; nothing was done; try again once "
                              "it is back"));
    }
    Unit unit;
    unit.queries = std::move(queries);
    unit.done = std::move(done);
    pending.push_back(std::move(unit));
    Kick();
  }

  void Refuse(Handler done, Error error) {
    if (!done) return;
    asio::post(io, [weak = weak_from_this(), done = std::move(done), error = std::move(error)] {
      if (auto self = weak.lock(); self && !self->dropped) done(Reply{error, {}});
    });
  }

  void Close(std::function<void()> done) {
    if (state == State::kClosed) {
      close_done = std::move(done);
      return FinishClose();
    }
    close_done = std::move(done);
    closing = true;
    auto self = shared_from_this();
    // Not yet written: nothing was done.
    auto pending_now = std::exchange(pending, {});
    asio::post(io, [weak = weak_from_this(), pending_now = std::move(pending_now)]() mutable {
      auto self = weak.lock();
      Error closed = MakeError(Error::Kind::kClosed,
                               "the connection was closed before this work was sent; nothing "
                               "was done");
      for (auto& unit : pending_now) {
        if (!self || self->dropped) return;
        if (unit.done) unit.done(Reply{closed, {}});
      }
    });
    if (state != State::kReady || in_flight.empty()) FinishClose();
  }

  asio::io_context& io;
  Options options;
  PGconn* conn = nullptr;
  std::optional<asio::posix::stream_descriptor> socket;
  std::uint64_t socket_generation = 0;  // waits on an older socket are stale
  std::uint64_t state_generation = 0;   // work begun before a loss or close is stale
  bool read_armed = false;
  bool write_armed = false;
  bool kick_posted = false;
  bool closing = false;
  bool dropped = false;
  asio::steady_timer connect_timer;
  asio::steady_timer retry_timer;
  asio::steady_timer answer_timer;
  std::mt19937_64 random;
  State state = State::kIdle;
  int failures = 0;
  std::uint64_t connection_count = 0;
  std::deque<Unit> pending;    // not yet handed to libpq
  std::deque<Unit> in_flight;  // written; answers come in this order
  std::set<std::string, std::less<>> prepared;
  std::map<std::string, NotifyHandler> channels;
  StateHandler on_state;
  std::function<void()> close_done;
};

Connection::Connection(platform::EventLoop& loop, Options options)
    : impl_(std::make_shared<Impl>(loop, std::move(options))) {}

Connection::~Connection() {
  impl_->Drop();
}

void Connection::Start() {
  if (impl_->state != State::kIdle) return;
  impl_->state = State::kConnecting;  // callbacks only from the loop
  asio::post(impl_->io, [weak = impl_->weak_from_this()] {
    auto self = weak.lock();
    if (!self || self->dropped || self->closing || self->state != State::kConnecting) return;
    self->Connect();
  });
}

void Connection::Run(Query query, Handler done) {
  std::vector<Query> queries;
  queries.push_back(std::move(query));
  impl_->Submit(std::move(queries), std::move(done));
}

void Connection::Run(std::vector<Query> queries, Handler done) {
  impl_->Submit(std::move(queries), std::move(done));
}

void Connection::Listen(std::string channel, NotifyHandler handler) {
  const bool fresh = impl_->channels.find(channel) == impl_->channels.end();
  impl_->channels[channel] = std::move(handler);
  if (fresh && impl_->state == State::kReady && !impl_->closing) {
    Impl::Unit listen;
    listen.internal = Impl::Unit::Internal::kListen;
    listen.queries.emplace_back("LISTEN " + QuoteIdentifier(channel));
    impl_->pending.push_back(std::move(listen));
    impl_->Kick();
  }
}

void Connection::OnStateChange(StateHandler handler) {
  impl_->on_state = std::move(handler);
}

void Connection::Close(std::function<void()> done) {
  impl_->Close(std::move(done));
}

State Connection::state() const {
  return impl_->state;
}

int Connection::backend_pid() const {
  return impl_->conn && impl_->state == State::kReady ? PQbackendPID(impl_->conn) : 0;
}

std::uint64_t Connection::connections() const {
  return impl_->connection_count;
}

}  // namespace kestrel::outbox::pg
