// The HTTP API: routing, authentication, limits and JSON answers, with group commit of accepts.

#include "http_api.hpp"

#include <strings.h>

#include <ctime>
#include <nlohmann/json.hpp>

#include "console.hpp"
#include "http_server.hpp"
#include "kestrel/platform/event_loop.hpp"
#include "kestrel/relay/operator_requests.hpp"
#include "kestrel/relay/requests.hpp"

namespace kestrel::relay {

namespace {

using nlohmann::json;

std::string Timestamp(outbox::Millis millis) {
  const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis % 1000));
  return text;
}

// JSON text of an answer. A stored reply or a client's path may hold bytes that are not UTF-8:
// each becomes U+FFFD, the rest is kept, so that an answer is never refused for its content.
std::string Dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

// Compares without stopping at the first difference, so timing tells nothing of a token.
bool SameToken(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
  }
  return diff == 0 && !b.empty();
}

// The calls anyone may make: no token, and no body to read. The console's files are open too:
// the console asks for the token and sends it with each call of its own.
bool IsOpen(const http::Request& req) {
  return (req.method == "GET" || req.method == "HEAD") &&
         (req.path == "/healthz" || req.path == "/readyz" || req.path == "/metrics" ||
          IsConsolePath(req.path));
}

bool IsRead(const http::Request& req) {
  return req.method == "GET" || req.method == "HEAD";
}

// "uncertain, failed or expired": the states an action may leave, from the one rule.
std::string StatesActedOn(outbox::OperatorAction action) {
  std::vector<std::string> names;
  for (int i = 0; i < outbox::kRecipientStateCount; ++i) {
    const auto state = static_cast<outbox::RecipientState>(i);
    if (outbox::MayAct(action, state)) names.emplace_back(outbox::ToString(state));
  }
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
  }
  return text;
}

bool IsPageId(std::string_view id) {
  return !id.empty() && id.size() <= 64 &&
         id.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

class HttpApi::Impl {
 public:
  Impl(platform::EventLoop& loop, ApiContext context) : loop_(loop), context_(std::move(context)) {}

  void Open(const std::string& host, std::uint16_t port, std::size_t max_connections) {
    http::Limits limits;
    limits.max_connections = max_connections;
    limits.max_body = kMaxBody;
    http::Handlers handlers;
    handlers.on_headers = [this](const http::Request& req) { return OnHeaders(req); };
    handlers.on_request = [this](http::Request req, http::Responder responder) {
      OnRequest(req, responder);
    };
    handlers.on_refusal = [this](int status, std::string message) {
      return Error(status, message);
    };
    server_ = std::make_unique<http::Server>(loop_, limits, std::move(handlers), context_.log);
    server_->Open(host, port);
  }

  void Close() {
    if (!server_ || closed_) return;
    closed_ = true;
    server_->Close();
  }

  std::uint16_t port() const { return server_ ? server_->port() : 0; }

 private:
  struct PendingAccept {
    http::Responder request;
    std::vector<outbox::NewPage> pages;
    std::string what;  // for the log line
  };

  // Before the body is read: every call but the open endpoints needs a known token, and one
  // without is answered now, its body never read.
  std::optional<http::Response> OnHeaders(const http::Request& req) {
    if (IsOpen(req)) return std::nullopt;
    return Refused(req);
  }

  void OnRequest(const http::Request& req, const http::Responder& responder) {
    try {
      Route(req, responder);
    } catch (const std::exception& e) {
      context_.log(std::string("request failed: ") + e.what());
      responder.Send(
          Error(500, std::string("the relay could not handle the request: ") + e.what()));
    }
  }

  void Route(const http::Request& req, const http::Responder& responder) {
    const std::string_view path = req.path;
    const bool post = req.method == "POST";
    const bool get = req.method == "GET" || req.method == "HEAD";
    constexpr std::string_view kPages = "/v1/pages/";
    constexpr std::string_view kAlerts = "/v1/alertmanager/";
    if (post && path == "/v1/pages") return PostPage(req, responder);
    if (get && path == "/v1/pages") return ListPages(req, responder);
    if (post && path.starts_with(kPages)) {
      if (auto action = ParseActionPath(path.substr(kPages.size()))) {
        if (auto* error = std::get_if<RequestError>(&*action)) {
          return responder.Send(Error(error->status, error->message));
        }
        return Act(req, std::get<ActionTarget>(*action), responder);
      }
    }
    if (get && path.starts_with(kPages) && IsPageId(path.substr(kPages.size()))) {
      return GetPage(std::string(path.substr(kPages.size())), responder);
    }
    if (post && path.starts_with(kAlerts) && path.size() > kAlerts.size() &&
        path.find('/', kAlerts.size()) == std::string_view::npos) {
      return PostAlert(req, std::string(path.substr(kAlerts.size())), responder);
    }
    if (get && path == "/metrics") {
      context_.outbox.Count([this, responder](outbox::Result<outbox::Counts> counts) {
        if (!counts) {
          return responder.Send(
              Error(503, "the outbox cannot be read now; try again later: " + counts.error));
        }
        const std::int64_t limit = context_.outbox_limit ? context_.outbox_limit(counts->bytes) : 0;
        responder.Send(Reply(200,
                             context_.metrics.Render(*counts, context_.sessions_open(),
                                                     context_.dispatcher.Gateways(), limit),
                             "text/plain; version=0.0.4; charset=utf-8"));
      });
      return;
    }
    if (get && path == "/v1/gateways") return responder.Send(ShowGateways());
    if (get && path == "/healthz") {
      return responder.Send(Reply(200, Dump({{"status", closed_ ? "stopping" : "ok"}})));
    }
    if (get && path == "/readyz") return Readiness(responder);
    if (get) {
      if (auto answer = ConsoleAnswer(path)) return responder.Send(std::move(*answer));
    }
    responder.Send(Error(
        404, "no such endpoint: " + req.method + " " + req.path + "; see the README for the API"));
  }

  // Liveness is /healthz; this says whether pages can be taken now.
  void Readiness(const http::Responder& responder) {
    if (closed_) return responder.Send(Reply(503, Dump({{"status", "stopping"}})));
    if (!context_.readiness) return responder.Send(Reply(200, Dump({{"status", "ready"}})));
    context_.readiness([this, responder](outbox::Result<outbox::Readiness> r) {
      if (!r || !r->ready) {
        const std::string reason = !r ? r.error : r->reason;
        return responder.Send(Reply(503, Dump({{"status", "not ready"}, {"reason", reason}})));
      }
      responder.Send(Reply(200, Dump({{"status", "ready"}})));
    });
  }

  http::Response Reply(int status, std::string body, const char* type = "application/json") {
    http::Response response;
    response.status = status;
    response.body = std::move(body);
    response.content_type = type;
    AddApiHeaders(response);
    if (status == 401) response.headers.emplace_back("WWW-Authenticate", "Bearer");
    return response;
  }

  http::Response Error(int status, const std::string& message) {
    context_.metrics.RequestRejected();
    return Reply(status, Dump({{"error", message}}));
  }

  // The token of the request's Authorization header, from the tokens file; none when it names
  // none. Every token is compared, so timing tells nothing of which one matched.
  const ApiToken* TokenOf(const http::Request& req) const {
    const auto header = req.Header("Authorization");
    if (!header) return nullptr;
    const std::string_view value = *header;
    const auto space = value.find(' ');
    const auto start = space == value.npos ? value.npos : value.find_first_not_of(' ', space);
    if (start == value.npos || space != 6 || ::strncasecmp(value.data(), "Bearer", 6) != 0) {
      return nullptr;
    }
    const auto token = value.substr(start);
    const ApiToken* found = nullptr;
    for (const auto& accepted : context_.config().api_tokens) {
      if (SameToken(token, accepted.secret) && !found) found = &accepted;
    }
    return found;
  }

  // A bearer token from the tokens file, and one whose role lets it make this call. The scheme
  // is matched in any case; the token exactly as it came (the tokens file has whitespace
  // around it trimmed).
  std::optional<http::Response> Refused(const http::Request& req) {
    const auto header = req.Header("Authorization");
    if (!header) return Error(401, "this endpoint needs \"Authorization: Bearer <token>\"");
    const std::string_view value = *header;
    const auto space = value.find(' ');
    const auto start = space == value.npos ? value.npos : value.find_first_not_of(' ', space);
    if (start == value.npos || space != 6 || ::strncasecmp(value.data(), "Bearer", 6) != 0) {
      return Error(401, "the Authorization header must be \"Bearer <token>\"");
    }
    const ApiToken* token = TokenOf(req);
    if (!token) return Error(403, "the token is not one of the relay's api tokens; check it");
    if (token->role == TokenRole::kRead && !IsRead(req)) {
      return Error(403, "the token \"" + token->name +
                            "\" has the role read: it may look, not act or send; use a token "
                            "with the role operate");
    }
    return std::nullopt;
  }

  std::optional<http::Response> Unacceptable() {
    if (closed_) return Error(503, "the relay is stopping; send the page again later");
    return std::nullopt;
  }

  void PostPage(const http::Request& req, const http::Responder& responder) {
    if (auto refused = Unacceptable()) return responder.Send(*refused);
    auto parsed = ParsePageRequest(req.body, context_.config());
    if (auto* error = std::get_if<RequestError>(&parsed)) {
      return responder.Send(Error(error->status, error->message));
    }
    auto& pages = std::get<Pages>(parsed);
    Enqueue(responder, std::move(pages.pages), "api");
  }

  void PostAlert(const http::Request& req, const std::string& name,
                 const http::Responder& responder) {
    if (auto refused = Unacceptable()) return responder.Send(*refused);
    const RelayConfig& config = context_.config();
    const ReceiverConfig* receiver = config.FindReceiver(name);
    if (!receiver) {
      return responder.Send(
          Error(404, "no receiver is named \"" + name +
                         "\"; the configuration's [[receiver]] tables name them"));
    }
    auto parsed = ParseAlertmanagerRequest(req.body, *receiver, config);
    if (auto* error = std::get_if<RequestError>(&parsed)) {
      return responder.Send(Error(error->status, error->message));
    }
    auto& pages = std::get<Pages>(parsed);
    if (pages.pages.empty()) {
      context_.log("alert for receiver " + name + " not paged: " + pages.skipped);
      return responder.Send(Reply(200, Dump({{"paged", false}, {"reason", pages.skipped}})));
    }
    Enqueue(responder, std::move(pages.pages), "alertmanager/" + name);
  }

  void Enqueue(const http::Responder& req, std::vector<outbox::NewPage> pages, std::string what) {
    pending_.push_back({req, std::move(pages), std::move(what)});
    PostCommit();
  }

  // Group commit: every request that arrives in this turn of the loop, or while the commit
  // before is on its way to the disk, shares one commit. One at a time: a store that answers
  // later (PostgreSQL) would otherwise get a transaction, so a flush, for nearly every request.
  void PostCommit() {
    if (commit_posted_ || committing_ || pending_.empty()) return;
    commit_posted_ = true;
    loop_.Post([this] { CommitPending(); });
  }

  void CommitPending() {
    commit_posted_ = false;
    committing_ = true;
    auto batch = std::move(pending_);
    pending_.clear();
    std::vector<outbox::NewPage> pages;
    for (const auto& pending : batch) {
      pages.insert(pages.end(), pending.pages.begin(), pending.pages.end());
    }
    context_.outbox.Accept(std::move(pages), [this, batch = std::move(batch)](
                                                 outbox::Result<std::vector<outbox::Accepted>> r) {
      committing_ = false;
      PostCommit();
      if (!r) {
        context_.log("cannot accept pages: " + r.error);
        for (const auto& pending : batch) {
          pending.request.Send(
              Error(503, "the page could not be stored; try again later: " + r.error));
        }
        return;
      }
      Answer(batch, *r);
    });
  }

  void Answer(const std::vector<PendingAccept>& batch,
              const std::vector<outbox::Accepted>& accepted) {
    std::size_t at = 0;
    bool any_created = false;
    for (const auto& pending : batch) {
      json ids = json::array();
      bool created = false;
      for (const auto& page : pending.pages) {
        const auto& result = accepted[at++];
        ids.push_back(result.id);
        if (result.created) {
          created = any_created = true;
          context_.metrics.PageAccepted(static_cast<std::int64_t>(page.pagers.size()));
          context_.log("accepted: page " + result.id + " for " +
                       std::to_string(page.pagers.size()) + " recipient(s) from " + pending.what);
        } else {
          context_.log("repeated: " + pending.what + " request answered with page " + result.id);
        }
      }
      json body{{"id", ids.front()}};
      if (ids.size() > 1) body["parts"] = ids;
      if (!created) body["repeated"] = true;
      pending.request.Send(Reply(202, Dump(body)));
    }
    if (any_created) context_.dispatcher.Wake();
  }

  void GetPage(const std::string& id, const http::Responder& responder) {
    context_.outbox.Find(id, [this, id,
                              responder](outbox::Result<std::optional<outbox::PageRecord>> r) {
      if (!r) {
        responder.Send(Error(503, "the outbox cannot be read now; try again later: " + r.error));
      } else if (!*r) {
        responder.Send(Error(404, "no page has the id \"" + id + "\""));
      } else {
        try {
          responder.Send(ShowPage(**r));
        } catch (const std::exception& e) {
          context_.log(std::string("request failed: ") + e.what());
          responder.Send(Error(500, std::string("the relay could not show the page: ") + e.what()));
        }
      }
    });
  }

  http::Response ShowPage(const outbox::PageRecord& record) {
    return Reply(200, Dump(PageJson(record)));
  }

  static json PageJson(const outbox::PageRecord& record) {
    const auto* page = &record;
    json recipients = json::array();
    for (const auto& r : page->recipients) {
      json recipient{{"pager", r.pager},
                     {"state", std::string(outbox::ToString(r.state))},
                     {"attempts", r.attempts},
                     {"updated", Timestamp(r.updated)}};
      if (!r.gateway.empty()) recipient["gateway"] = r.gateway;
      if (!r.last_reply.empty()) recipient["lastReply"] = r.last_reply;
      if (!r.note.empty()) recipient["note"] = r.note;
      if (!r.acted_by.empty()) recipient["actedBy"] = r.acted_by;
      if (r.state == outbox::RecipientState::kQueued && r.attempts > 0) {
        recipient["nextAttempt"] = Timestamp(r.next_attempt);
      }
      recipients.push_back(std::move(recipient));
    }
    json body{{"id", page->id},
              {"source", page->source},
              {"created", Timestamp(page->created)},
              {"expires", Timestamp(page->expires)},
              {"recipients", std::move(recipients)}};
    if (!page->content.data.empty()) {
      body["data"] = page->content.data;
    } else {
      body["message"] = page->content.message;
    }
    if (!page->content.subject.empty()) body["subject"] = page->content.subject;
    const auto options = json::parse(page->content.options, nullptr, false);
    if (options.is_object() && !options.empty()) body["level2"] = options;
    return body;
  }

  void ListPages(const http::Request& req, const http::Responder& responder) {
    auto parsed = ParsePageListQuery(req.query);
    if (auto* error = std::get_if<RequestError>(&parsed)) {
      return responder.Send(Error(error->status, error->message));
    }
    context_.outbox.ListPages(
        std::move(std::get<outbox::PageQuery>(parsed)),
        [this, responder](outbox::Result<outbox::PageList> r) {
          if (!r) {
            return responder.Send(
                Error(503, "the outbox cannot be read now; try again later: " + r.error));
          }
          json pages = json::array();
          for (const auto& page : r->pages) pages.push_back(PageJson(page));
          json body{{"pages", std::move(pages)}};
          if (r->next) body["next"] = outbox::EncodeCursor(*r->next);
          responder.Send(Reply(200, Dump(body)));
        });
  }

  // POST .../resend and .../dismiss: the outbox decides (MayAct) in one transaction; the
  // answer is the page after it, or why nothing changed.
  void Act(const http::Request& req, ActionTarget target, const http::Responder& responder) {
    auto note = ParseActionNote(req.body);
    if (auto* error = std::get_if<RequestError>(&note)) {
      return responder.Send(Error(error->status, error->message));
    }
    const ApiToken* token = TokenOf(req);
    outbox::RecipientAction action{target.action, std::move(target.page_id),
                                   std::move(target.pager), token ? token->name : "unknown",
                                   std::move(std::get<std::string>(note))};
    auto request = action;
    context_.outbox.Act(std::move(request), [this, responder, action = std::move(action)](
                                                outbox::Result<outbox::ActionResult> r) {
      using Outcome = outbox::ActionResult::Outcome;
      const std::string verb(outbox::ToString(action.action));
      const std::string who = "\"" + action.pager + "\" of page " + action.page_id;
      if (!r) {
        context_.log(verb + " of " + who + " failed: " + r.error);
        return responder.Send(Error(
            503,
            "the outbox cannot be changed now; nothing was done; try again later: " + r.error));
      }
      switch (r->outcome) {
        case Outcome::kNoPage:
          return responder.Send(Error(404, "no page has the id \"" + action.page_id + "\""));
        case Outcome::kNoRecipient:
          return responder.Send(
              Error(404, "page " + action.page_id + " has no recipient with the pager id \"" +
                             action.pager + "\"; GET /v1/pages/" + action.page_id + " lists them"));
        case Outcome::kRefused: {
          const std::string state(outbox::ToString(r->state));
          const std::string done_as =
              action.action == outbox::OperatorAction::kResend ? "resent" : "dismissed";
          context_.metrics.RequestRejected();
          return responder.Send(
              Reply(409, Dump({{"error", action.pager + " of page " + action.page_id + " is " +
                                             state + "; only a recipient that is " +
                                             StatesActedOn(action.action) + " can be " + done_as},
                               {"state", state}})));
        }
        case Outcome::kDone:
          break;
      }
      std::string line =
          verb + ": pager " + who + " " +
          (action.action == outbox::OperatorAction::kResend ? "queued again" : "dismissed") +
          " by " + action.actor;
      if (r->changed.size() > 1) {
        line += " (" + std::to_string(r->changed.size()) + " recipients with that pager)";
      }
      if (!action.note.empty()) line += "; note: " + action.note;
      context_.log(line);
      if (action.action == outbox::OperatorAction::kResend) context_.dispatcher.Wake();
      responder.Send(r->page ? Reply(200, Dump(PageJson(*r->page)))
                             : Error(500,
                                     "the relay changed the recipient but could not read "
                                     "the page back; GET /v1/pages/" +
                                         action.page_id + " shows it"));
    });
  }

  // Each gateway's health, in the configuration's order (docs/operator-api.md).
  http::Response ShowGateways() {
    json gateways = json::array();
    for (const auto& g : context_.dispatcher.Gateways()) {
      json gateway{{"name", g.name},
                   {"server", g.server},
                   {"up", g.up},
                   {"lastSuccess", g.last_success ? json(Timestamp(*g.last_success)) : json()},
                   {"sessionsOpen", g.sessions_open},
                   {"concurrency", g.concurrency}};
      if (g.last_error_at) {
        gateway["lastError"] = g.last_error;
        gateway["lastErrorAt"] = Timestamp(*g.last_error_at);
      }
      if (g.hold_off_until) gateway["holdOffUntil"] = Timestamp(*g.hold_off_until);
      if (g.left_out) gateway["leftOut"] = true;
      gateways.push_back(std::move(gateway));
    }
    return Reply(200, Dump({{"gateways", std::move(gateways)}}));
  }

  platform::EventLoop& loop_;
  ApiContext context_;
  std::unique_ptr<http::Server> server_;
  std::vector<PendingAccept> pending_;
  bool commit_posted_ = false;
  bool committing_ = false;  // an Accept is in flight; the requests meanwhile wait for the next
  bool closed_ = false;
};

HttpApi::HttpApi(platform::EventLoop& loop, ApiContext context)
    : impl_(std::make_unique<Impl>(loop, std::move(context))) {}
HttpApi::~HttpApi() = default;
void HttpApi::Open(const std::string& host, std::uint16_t port, std::size_t max_connections) {
  impl_->Open(host, port, max_connections);
}
void HttpApi::Close() {
  impl_->Close();
}
std::uint16_t HttpApi::port() const {
  return impl_->port();
}

}  // namespace kestrel::relay
