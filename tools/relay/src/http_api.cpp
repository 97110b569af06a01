// The HTTP API: routing, authentication, limits and JSON answers, with group commit of accepts.

#include "http_api.hpp"

#include <ctime>
#include <nlohmann/json.hpp>
#include <restinio/all.hpp>

#include "kestrel/platform/asio_event_loop.hpp"
#include "kestrel/relay/requests.hpp"

namespace kestrel::relay {

namespace {

using nlohmann::json;
using Router = restinio::router::express_router_t<>;
using Traits = restinio::single_thread_traits_t<restinio::asio_timer_manager_t,
                                                restinio::null_logger_t, Router>;
using Server = restinio::http_server_t<Traits>;
using restinio::request_handle_t;
using restinio::request_handling_status_t;

// Bodies beyond this are cut off by the HTTP parser itself (the connection is closed without an
// answer, the only thing it can do); between kMaxBody and this they get a 413.
constexpr std::uint64_t kHardBodyLimit = 8 * kMaxBody;

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

restinio::http_status_line_t Status(int code) {
  switch (code) {
    case 200:
      return restinio::status_ok();
    case 202:
      return restinio::status_accepted();
    case 401:
      return restinio::status_unauthorized();
    case 403:
      return restinio::status_forbidden();
    case 404:
      return restinio::status_not_found();
    case 413:
      return restinio::status_payload_too_large();
    case 500:
      return restinio::status_internal_server_error();
    case 503:
      return restinio::status_service_unavailable();
    default:
      return restinio::status_bad_request();
  }
}

// Compares without stopping at the first difference, so timing tells nothing of a token.
bool SameToken(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
  }
  return diff == 0 && !b.empty();
}

}  // namespace

class HttpApi::Impl {
 public:
  Impl(platform::EventLoop& loop, ApiContext context) : loop_(loop), context_(std::move(context)) {}

  void Open(const std::string& host, std::uint16_t port) {
    auto router = std::make_unique<Router>();
    router->http_post("/v1/pages", [this](request_handle_t req, auto) {
      return Guarded(req, [&] { return PostPage(req); });
    });
    router->http_get(R"(/v1/pages/:id([0-9a-f]{1,64}))", [this](request_handle_t req, auto params) {
      return Guarded(req, [&] { return GetPage(req, std::string(params["id"])); });
    });
    router->http_post("/v1/alertmanager/:receiver", [this](request_handle_t req, auto params) {
      return Guarded(req, [&] { return PostAlert(req, std::string(params["receiver"])); });
    });
    router->http_get("/metrics", [this](request_handle_t req, auto) {
      context_.outbox.Count([this, req](outbox::Result<outbox::Counts> counts) {
        if (!counts) {
          Error(req, 503, "the outbox cannot be read now; try again later: " + counts.error);
          return;
        }
        Reply(req, 200, context_.metrics.Render(*counts, context_.sessions_open()),
              "text/plain; version=0.0.4; charset=utf-8");
      });
      return restinio::request_accepted();
    });
    router->http_get("/healthz", [this](request_handle_t req, auto) {
      return Reply(req, 200, json{{"status", closed_ ? "stopping" : "ok"}}.dump() + "\n");
    });
    router->non_matched_request_handler([this](request_handle_t req) {
      return Error(req, 404,
                   "no such endpoint: " + std::string(req->header().method().c_str()) + " " +
                       std::string(req->header().path()) + "; see the README for the API");
    });

    restinio::server_settings_t<Traits> settings;
    settings.address(host)
        .port(port)
        .request_handler(std::move(router))
        .incoming_http_msg_limits(
            restinio::incoming_http_msg_limits_t{}.max_body_size(kHardBodyLimit))
        .read_next_http_message_timelimit(std::chrono::seconds(60))
        .handle_request_timeout(std::chrono::seconds(30))
        .acceptor_post_bind_hook([this](asio::ip::tcp::acceptor& acceptor) {
          bound_port_ = acceptor.local_endpoint().port();
        });
    server_ = std::make_unique<Server>(restinio::external_io_context(platform::AsioContext(loop_)),
                                       std::move(settings));
    server_->open_sync();
  }

  void Close() {
    if (!server_ || closed_) return;
    closed_ = true;
    server_->close_sync();
  }

  std::uint16_t port() const { return bound_port_; }

 private:
  struct PendingAccept {
    request_handle_t request;
    std::vector<outbox::NewPage> pages;
    std::string what;  // for the log line
  };

  template <typename Fn>
  request_handling_status_t Guarded(const request_handle_t& req, Fn&& fn) {
    try {
      return fn();
    } catch (const std::exception& e) {
      context_.log(std::string("request failed: ") + e.what());
      return Error(req, 500, std::string("the relay could not handle the request: ") + e.what());
    }
  }

  request_handling_status_t Reply(const request_handle_t& req, int status, std::string body,
                                  const char* type = "application/json") {
    auto response = req->create_response(Status(status));
    response.append_header(restinio::http_field::content_type, type);
    if (status == 401) response.append_header(restinio::http_field::www_authenticate, "Bearer");
    response.set_body(std::move(body));
    return response.done();
  }

  request_handling_status_t Error(const request_handle_t& req, int status,
                                  const std::string& message) {
    context_.metrics.RequestRejected();
    return Reply(req, status, json{{"error", message}}.dump() + "\n");
  }

  // Every API call but /healthz and /metrics: a bearer token from the tokens file.
  std::optional<request_handling_status_t> Refused(const request_handle_t& req) {
    const auto header = req->header().opt_value_of(restinio::http_field::authorization);
    if (!header) {
      return Error(req, 401, "this endpoint needs \"Authorization: Bearer <token>\"");
    }
    constexpr std::string_view kBearer = "Bearer ";
    const std::string_view value(header->data(), header->size());
    if (value.size() <= kBearer.size() || value.substr(0, kBearer.size()) != kBearer) {
      return Error(req, 401, "the Authorization header must be \"Bearer <token>\"");
    }
    const auto token = value.substr(kBearer.size());
    bool known = false;
    for (const auto& accepted : context_.config().api_tokens) known |= SameToken(token, accepted);
    if (!known) {
      return Error(req, 403, "the token is not one of the relay's api tokens; check it");
    }
    return std::nullopt;
  }

  std::optional<request_handling_status_t> Unacceptable(const request_handle_t& req) {
    if (auto refused = Refused(req)) return refused;
    if (req->body().size() > kMaxBody) {
      return Error(req, 413, "the body is larger than 1 MiB");
    }
    if (closed_) return Error(req, 503, "the relay is stopping; send the page again later");
    return std::nullopt;
  }

  request_handling_status_t PostPage(const request_handle_t& req) {
    if (auto refused = Unacceptable(req)) return *refused;
    auto parsed = ParsePageRequest(req->body(), context_.config());
    if (auto* error = std::get_if<RequestError>(&parsed)) {
      return Error(req, error->status, error->message);
    }
    auto& pages = std::get<Pages>(parsed);
    return Enqueue(req, std::move(pages.pages), "api");
  }

  request_handling_status_t PostAlert(const request_handle_t& req, const std::string& name) {
    if (auto refused = Unacceptable(req)) return *refused;
    const RelayConfig& config = context_.config();
    const ReceiverConfig* receiver = config.FindReceiver(name);
    if (!receiver) {
      return Error(req, 404,
                   "no receiver is named \"" + name +
                       "\"; the configuration's [[receiver]] tables name them");
    }
    auto parsed = ParseAlertmanagerRequest(req->body(), *receiver, config);
    if (auto* error = std::get_if<RequestError>(&parsed)) {
      return Error(req, error->status, error->message);
    }
    auto& pages = std::get<Pages>(parsed);
    if (pages.pages.empty()) {
      context_.log("alert for receiver " + name + " not paged: " + pages.skipped);
      return Reply(req, 200, json{{"paged", false}, {"reason", pages.skipped}}.dump() + "\n");
    }
    return Enqueue(req, std::move(pages.pages), "alertmanager/" + name);
  }

  request_handling_status_t Enqueue(const request_handle_t& req, std::vector<outbox::NewPage> pages,
                                    std::string what) {
    pending_.push_back({req, std::move(pages), std::move(what)});
    if (!commit_posted_) {
      commit_posted_ = true;
      // Every request that arrives in this turn of the loop shares one commit.
      loop_.Post([this] { CommitPending(); });
    }
    return restinio::request_accepted();
  }

  void CommitPending() {
    commit_posted_ = false;
    auto batch = std::move(pending_);
    pending_.clear();
    std::vector<outbox::NewPage> pages;
    for (const auto& pending : batch) {
      pages.insert(pages.end(), pending.pages.begin(), pending.pages.end());
    }
    context_.outbox.Accept(std::move(pages), [this, batch = std::move(batch)](
                                                 outbox::Result<std::vector<outbox::Accepted>> r) {
      if (!r) {
        context_.log("cannot accept pages: " + r.error);
        for (auto& pending : batch) {
          Error(pending.request, 503, "the page could not be stored; try again later: " + r.error);
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
      Reply(pending.request, 202, body.dump() + "\n");
    }
    if (any_created) context_.dispatcher.Wake();
  }

  request_handling_status_t GetPage(const request_handle_t& req, const std::string& id) {
    if (auto refused = Refused(req)) return *refused;
    context_.outbox.Find(id, [this, req, id](outbox::Result<std::optional<outbox::PageRecord>> r) {
      if (!r) {
        Error(req, 503, "the outbox cannot be read now; try again later: " + r.error);
      } else if (!*r) {
        Error(req, 404, "no page has the id \"" + id + "\"");
      } else {
        try {
          ShowPage(req, **r);
        } catch (const std::exception& e) {
          context_.log(std::string("request failed: ") + e.what());
          Error(req, 500, std::string("the relay could not show the page: ") + e.what());
        }
      }
    });
    return restinio::request_accepted();
  }

  void ShowPage(const request_handle_t& req, const outbox::PageRecord& record) {
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
    Reply(req, 200, body.dump() + "\n");
  }

  platform::EventLoop& loop_;
  ApiContext context_;
  std::unique_ptr<Server> server_;
  std::vector<PendingAccept> pending_;
  bool commit_posted_ = false;
  bool closed_ = false;
  std::uint16_t bound_port_ = 0;
};

HttpApi::HttpApi(platform::EventLoop& loop, ApiContext context)
    : impl_(std::make_unique<Impl>(loop, std::move(context))) {}
HttpApi::~HttpApi() = default;
void HttpApi::Open(const std::string& host, std::uint16_t port) {
  impl_->Open(host, port);
}
void HttpApi::Close() {
  impl_->Close();
}
std::uint16_t HttpApi::port() const {
  return impl_->port();
}

}  // namespace kestrel::relay
