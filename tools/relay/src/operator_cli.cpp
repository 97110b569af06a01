#include "operator_cli.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <regex>
#include <sstream>
#include <vector>

#include "kestrel/delivery/pager_id.hpp"
#include "kestrel/delivery/shown_text.hpp"
#include "kestrel/outbox/store.hpp"
#include "kestrel/relay/config.hpp"
#include "relay_client.hpp"

namespace kestrel::relay {

namespace {

using nlohmann::json;

constexpr const char* kExitCodes =
    "Exit codes (as snpp-send's):\n"
    "  0  done; pages show: every recipient delivered; gateways: every gateway up\n"
    "  1  the relay refused or failed the request, or could not be reached;\n"
    "     pages show: none delivered; gateways: none up\n"
    "  2  bad usage or input; nothing was asked of the relay\n"
    "  3  no answer from the relay within --timeout; pages show: not decided yet\n"
    "  4  pages show: some delivered and some not, or any uncertain; gateways: some down\n";

// The relay's text as it may be shown on a terminal.
std::string Shown(std::string_view text) {
  return delivery::EscapeControls(text);
}

// A field for a table cell: strings escaped, numbers and the rest as JSON, missing as "".
std::string Field(const json& object, const char* key) {
  if (!object.is_object()) return {};
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return {};
  if (found->is_string()) return Shown(found->get_ref<const std::string&>());
  return Shown(found->dump(-1, ' ', false, json::error_handler_t::replace));
}

std::string Dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Characters on a terminal: UTF-8 continuation bytes take no column.
std::size_t Columns(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// At most `limit` characters, "..." in place of the rest.
std::string Cut(const std::string& text, std::size_t limit) {
  if (Columns(text) <= limit) return text;
  std::size_t kept = 0;
  std::size_t at = 0;
  for (; at < text.size(); ++at) {
    if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 && kept++ == limit - 3) break;
  }
  return text.substr(0, at) + "...";
}

class Table {
 public:
  explicit Table(std::vector<std::string> header) : rows_{std::move(header)} {}
  void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }

  std::string Render() const {
    std::vector<std::size_t> widths(rows_.front().size(), 0);
    for (const auto& row : rows_) {
      for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Columns(row[i]));
    }
    std::string out;
    for (const auto& row : rows_) {
      std::string line;
      for (std::size_t i = 0; i < row.size(); ++i) {
        line += row[i];
        if (i + 1 < row.size()) line += std::string(widths[i] - Columns(row[i]) + 2, ' ');
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += line + '\n';
    }
    return out;
  }

 private:
  std::vector<std::vector<std::string>> rows_;
};

const json& Recipients(const json& page) {
  static const json kNone = json::array();
  if (!page.is_object()) return kNone;
  const auto found = page.find("recipients");
  return found != page.end() && found->is_array() ? *found : kNone;
}

std::string StateOf(const json& recipient) {
  return recipient.is_object() && recipient.contains("state") && recipient["state"].is_string()
             ? recipient["state"].get<std::string>()
             : std::string();
}

// The page's text on one line: "[subject] message", or the data's lines joined with " / ".
std::string OneLineText(const json& page) {
  std::string text = Field(page, "message");
  if (page.is_object() && page.contains("data") && page["data"].is_string()) {
    std::string joined;
    std::istringstream lines(page["data"].get<std::string>());
    for (std::string line; std::getline(lines, line);) {
      joined += (joined.empty() ? "" : " / ") + Shown(line);
    }
    text = joined;
  }
  const std::string subject = Field(page, "subject");
  return subject.empty() ? text : "[" + subject + "] " + text;
}

const char* StateList() {
  static const std::string list = [] {
    std::string names;
    for (int i = 0; i < outbox::kRecipientStateCount; ++i) {
      names += (i ? ", " : "") + std::string(ToString(static_cast<outbox::RecipientState>(i)));
    }
    return names;
  }();
  return list.c_str();
}

std::string IsoTime(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// --since: a time ("2026-12-09", "2026-12-09T03:00:00Z") or how long ago ("90m", "2h").
std::string SinceValue(const std::string& since) {
  static const std::regex kTime(R"(\d{4}-\d{2}-\d{2}(T\d{2}:\d{2}(:\d{2}(\.\d{1,9})?)?Z?)?)");
  if (std::regex_match(since, kTime)) return since;
  if (const auto ago = ParseDuration(since)) {
    return IsoTime(std::chrono::system_clock::now() - std::chrono::milliseconds(*ago));
  }
  throw OperatorError(2, "--since \"" + Shown(since) +
                             "\" is neither a time (2026-12-09T03:00:00Z) nor how long ago "
                             "(90m, 2h)");
}

void CheckOneLine(const std::string& value, const char* what, std::size_t limit) {
  const bool control = std::any_of(value.begin(), value.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c < 0x20 || c == 0x7F;
  });
  if (control) throw OperatorError(2, std::string(what) + " must not hold control characters");
  if (value.size() > limit) {
    throw OperatorError(2,
                        std::string(what) + " is longer than " + std::to_string(limit) + " bytes");
  }
}

bool PrintableAscii(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// The relay's address from its configuration's listen: a wildcard address means this host.
std::string UrlFromListen(const RelayConfig& config) {
  if (config.listen_port == 0) {
    throw OperatorError(2,
                        "the configuration listens on port 0 (a free port chosen at start); "
                        "give the relay's address with --url");
  }
  std::string host = config.listen_host;
  if (host == "0.0.0.0" || host.empty()) host = "127.0.0.1";
  if (host == "::") host = "::1";
  if (host.find(':') != host.npos) host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(config.listen_port);
}

}  // namespace

int PageExitCode(const json& page) {
  int delivered = 0, pending = 0, uncertain = 0, total = 0;
  for (const auto& recipient : Recipients(page)) {
    const std::string state = StateOf(recipient);
    ++total;
    delivered += state == "delivered" || state == "degraded";  // degraded: went out, fields cut
    pending += state == "queued" || state == "sending";
    uncertain += state == "uncertain";
  }
  if (uncertain > 0) return 4;
  if (pending > 0) return 3;
  if (total > 0 && delivered == total) return 0;
  if (delivered > 0) return 4;
  return 1;
}

int GatewaysExitCode(const json& answer) {
  int up = 0, total = 0;
  if (answer.is_object() && answer.contains("gateways") && answer["gateways"].is_array()) {
    for (const auto& gateway : answer["gateways"]) {
      ++total;
      up += gateway.is_object() && gateway.value("up", json()).is_boolean() &&
            gateway["up"].get<bool>();
    }
  }
  if (total > 0 && up == total) return 0;
  return up > 0 ? 4 : 1;
}

int ExitCodeForStatus(long status) {
  return status == 400 || status == 413 ? 2 : 1;
}

std::string PageText(const json& page) {
  std::string out = "page " + Field(page, "id") + " from " + Field(page, "source") + ", created " +
                    Field(page, "created") + ", expires " + Field(page, "expires") + "\n";
  if (const auto subject = Field(page, "subject"); !subject.empty()) {
    out += "subject: " + subject + "\n";
  }
  if (page.is_object() && page.contains("data") && page["data"].is_string()) {
    out += "data:\n";
    std::istringstream lines(page["data"].get<std::string>());
    for (std::string line; std::getline(lines, line);) out += "  " + Shown(line) + "\n";
  } else {
    out += "message: " + Field(page, "message") + "\n";
  }
  Table table({"PAGER", "STATE", "ATTEMPTS", "GATEWAY", "UPDATED", "LAST REPLY"});
  for (const auto& r : Recipients(page)) {
    std::string reply = Field(r, "lastReply");
    if (const auto next = Field(r, "nextAttempt"); !next.empty()) {
      reply += (reply.empty() ? "" : " ") + std::string("(next attempt ") + next + ")";
    }
    if (const auto note = Field(r, "note"); !note.empty()) {
      reply += (reply.empty() ? "" : "; ") + std::string("note: ") + note;
    }
    table.Add({Field(r, "pager"), Field(r, "state"), Field(r, "attempts"), Field(r, "gateway"),
               Field(r, "updated"), reply});
  }
  return out + table.Render();
}

std::string PagesListText(const json& answer) {
  if (!answer.is_object() || !answer.contains("pages") || !answer["pages"].is_array()) {
    throw OperatorError(1,
                        "the relay's answer has no \"pages\" list; is it a relay of this "
                        "version?");
  }
  if (answer["pages"].empty()) return "no page\n";
  Table table({"PAGE", "CREATED", "PAGER", "STATE", "ATTEMPTS", "GATEWAY", "MESSAGE"});
  for (const auto& page : answer["pages"]) {
    const std::string text = Cut(OneLineText(page), 48);
    for (const auto& r : Recipients(page)) {
      table.Add({Field(page, "id"), Field(page, "created"), Field(r, "pager"), Field(r, "state"),
                 Field(r, "attempts"), Field(r, "gateway"), text});
    }
  }
  std::string out = table.Render();
  if (const auto next = Field(answer, "next"); !next.empty()) {
    out += "older pages: add --cursor " + next + "\n";
  }
  return out;
}

std::string GatewaysText(const json& answer) {
  if (!answer.is_object() || !answer.contains("gateways") || !answer["gateways"].is_array()) {
    throw OperatorError(1,
                        "the relay's answer has no \"gateways\" list; is it a relay of this "
                        "version?");
  }
  Table table({"GATEWAY", "SERVER", "STATE", "LAST SUCCESS", "SESSIONS", "HOLDING OFF UNTIL",
               "LAST ERROR"});
  for (const auto& g : answer["gateways"]) {
    const bool up = g.is_object() && g.value("up", json()).is_boolean() && g["up"].get<bool>();
    std::string sessions = Field(g, "sessionsOpen");
    if (const auto limit = Field(g, "concurrency"); !limit.empty()) sessions += "/" + limit;
    const std::string success = Field(g, "lastSuccess");
    std::string error = Field(g, "lastError");
    if (const auto at = Field(g, "lastErrorAt"); !at.empty() && !error.empty()) {
      error += " (" + at + ")";
    }
    table.Add({Field(g, "name"), Field(g, "server"), up ? "up" : "down",
               success.empty() ? "never" : success, sessions, Field(g, "holdOffUntil"), error});
  }
  return table.Render();
}

std::string ReadTokenFile(const std::string& path) {
  const std::string name = "the token file '" + Shown(path) + "'";
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    throw OperatorError(2, "cannot read " + name + " (" + std::strerror(errno) +
                               "); check the path and its permissions");
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    throw OperatorError(2, name + " is not a regular file");
  }
  if (info.st_mode & S_IROTH) {
    throw OperatorError(2, name +
                               " can be read by every user of this machine; make it private "
                               "(chmod 600) before it is used");
  }
  constexpr off_t kLimit = 64 << 10;
  if (info.st_size > kLimit) throw OperatorError(2, name + " is larger than 64 KiB");
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    const auto parsed = ParseTokenLine(line, ++number);
    if (!parsed.problem.empty()) {
      throw OperatorError(2, name + " line " + std::to_string(number) + ": " + parsed.problem);
    }
    if (!parsed.token) continue;
    if (!PrintableAscii(parsed.token->secret)) {
      throw OperatorError(2, name + " holds a control character or non-ASCII in its token line");
    }
    return parsed.token->secret;
  }
  throw OperatorError(2, name + " holds no token; write the token on a line of its own");
}

OperatorCommands::OperatorCommands(CLI::App& app, const std::string& config_path)
    : config_path_(config_path) {
  pages_ = app.add_subcommand("pages", "The relay's pages: list, show, resend or dismiss them");
  pages_->require_subcommand(1)->fallthrough()->footer(kExitCodes);
  AddConnectionOptions(*pages_);

  list_ = pages_->add_subcommand("list", "Pages, newest first, with each recipient's state");
  list_->add_option("--state", options_.state,
                    std::string("Only pages with a recipient in this state: ") + StateList());
  list_
      ->add_option("--since", options_.since,
                   "Only pages accepted since WHEN: a time (2026-12-09T03:00:00Z) or how long "
                   "ago (90m, 2h)")
      ->type_name("WHEN");
  list_->add_option("--receiver", options_.receiver, "Only pages for this [[receiver]]")
      ->type_name("NAME");
  list_->add_option("--limit", options_.limit, "At most N pages (default 50)")
      ->check(CLI::Range(1, 1000));
  list_->add_option("--cursor", options_.cursor, "Continue where an earlier list stopped")
      ->type_name("CURSOR");

  show_ = pages_->add_subcommand("show", "One page and each recipient's state");
  show_->add_option("id", options_.page_id, "The page's id, as POST /v1/pages answered")
      ->required();

  resend_ = pages_->add_subcommand(
      "resend",
      "Queue an uncertain, failed or expired recipient again (an uncertain page may then reach "
      "the pager twice)");
  dismiss_ = pages_->add_subcommand(
      "dismiss",
      "Close an uncertain recipient without sending it again (it arrived, or no "
      "longer matters)");
  for (CLI::App* act : {resend_, dismiss_}) {
    act->add_option("id", options_.page_id, "The page's id")->required();
    act->add_option("pager", options_.pager, "The recipient's pager id")->required();
  }
  dismiss_->add_option("--note", options_.note, "Why, for the record")->type_name("TEXT");
  for (CLI::App* command : {list_, show_, resend_, dismiss_}) command->fallthrough();

  gateways_ = app.add_subcommand(
      "gateways", "Each gateway's health: up or down as last seen, last success and error");
  gateways_->fallthrough()->footer(kExitCodes);
  AddConnectionOptions(*gateways_);
}

void OperatorCommands::AddConnectionOptions(CLI::App& command) {
  command
      .add_option("--url", options_.url,
                  "The relay's API, http://HOST:PORT (default: [relay] listen of --config, else "
                  "http://127.0.0.1:8444)")
      ->envname("SNPP_RELAY_URL");
  command
      .add_option("--token-file", options_.token_file,
                  "A file holding one of the relay's API tokens (default: the first token of "
                  "--config's api_tokens_file); never give the token itself")
      ->envname("SNPP_RELAY_TOKEN_FILE")
      ->type_name("FILE");
  command.add_option("--ca-file", options_.ca_file, "Trust only this CA for an https:// URL (PEM)")
      ->type_name("FILE");
  command.add_option("--timeout", options_.timeout, "Seconds to wait for the relay (default 10)")
      ->check(CLI::Range(1, 3600));
  command.add_flag("--json", options_.json, "Print the relay's answer as JSON, for scripts");
}

std::optional<int> OperatorCommands::Run(std::ostream& out, std::ostream& err) {
  if (!*pages_ && !*gateways_) return std::nullopt;
  try {
    return RunCommand(out);
  } catch (const OperatorError& e) {
    if (options_.json) {
      out << Dump(json{{"error", e.what()}, {"exitCode", e.exit_code()}}) << std::endl;
    } else {
      err << "snpp-relay: " << e.what() << std::endl;
    }
    return e.exit_code();
  }
}

int OperatorCommands::RunCommand(std::ostream& out) {
  // What to ask, checked before anything is read or sent.
  std::string method = "GET";
  std::string path;
  json body = json::object();
  if (*list_) {
    std::vector<std::string> query;
    if (!options_.state.empty()) {
      if (!outbox::ParseRecipientState(options_.state)) {
        throw OperatorError(
            2, "--state \"" + Shown(options_.state) + "\" is not a state; use " + StateList());
      }
      query.push_back("state=" + options_.state);
    }
    if (!options_.since.empty())
      query.push_back("since=" + EncodeComponent(SinceValue(options_.since)));
    if (!options_.receiver.empty()) {
      CheckOneLine(options_.receiver, "--receiver", 256);
      query.push_back("receiver=" + EncodeComponent(options_.receiver));
    }
    if (!options_.cursor.empty()) {
      CheckOneLine(options_.cursor, "--cursor", 1024);
      query.push_back("cursor=" + EncodeComponent(options_.cursor));
    }
    query.push_back("limit=" + std::to_string(options_.limit));
    path = "/v1/pages";
    for (std::size_t i = 0; i < query.size(); ++i) path += (i ? "&" : "?") + query[i];
  } else if (*gateways_) {
    path = "/v1/gateways";
  } else {
    static const std::regex kPageId("[0-9a-f]{1,64}");
    if (!std::regex_match(options_.page_id, kPageId)) {
      throw OperatorError(2, "\"" + Shown(options_.page_id) +
                                 "\" is not a page id; a page id is 1 to 64 characters 0-9 and "
                                 "a-f, as POST /v1/pages answered");
    }
    path = "/v1/pages/" + options_.page_id;
    if (*resend_ || *dismiss_) {
      if (const auto problem = delivery::CheckPagerId(options_.pager)) {
        throw OperatorError(2, delivery::Describe(*problem, options_.pager));
      }
      path +=
          "/recipients/" + EncodeComponent(options_.pager) + (*resend_ ? "/resend" : "/dismiss");
      method = "POST";
      if (!options_.note.empty()) {
        CheckOneLine(options_.note, "--note", 1000);
        body["note"] = options_.note;
      }
    }
  }

  // Where and with which token.
  std::optional<RelayConfig> config;
  const auto load_config = [&]() -> const RelayConfig& {
    if (!config) {
      auto loaded = LoadConfig(config_path_);
      if (!loaded.config) {
        throw OperatorError(2, "the configuration '" + Shown(config_path_) + "' has " +
                                   std::to_string(loaded.problems.size()) +
                                   " problem(s); snpp-relay check-config " + Shown(config_path_) +
                                   " shows them");
      }
      config = std::move(loaded.config);
    }
    return *config;
  };
  std::string token;
  if (!options_.token_file.empty()) {
    token = ReadTokenFile(options_.token_file);
  } else if (!config_path_.empty()) {
    // The first token that may do what is asked: an action needs the role operate.
    const ApiToken* chosen = nullptr;
    for (const auto& t : load_config().api_tokens) {
      if (!PrintableAscii(t.secret)) continue;
      if (method == "GET" || t.role == TokenRole::kOperate) {
        chosen = &t;
        break;
      }
    }
    if (!chosen) {
      throw OperatorError(2, method == "GET"
                                 ? "the configuration's api_tokens_file holds no usable token"
                                 : "the configuration's api_tokens_file holds no token with the "
                                   "role operate, which resend and dismiss need");
    }
    token = chosen->secret;
  } else {
    throw OperatorError(2,
                        "no token: give --token-file FILE (a file holding one of the relay's API "
                        "tokens), or --config with the relay's configuration");
  }
  const std::string url =
      CheckRelayUrl(!options_.url.empty()   ? options_.url
                    : !config_path_.empty() ? UrlFromListen(load_config())
                                            : std::string("http://127.0.0.1:8444"));

  const RelayClient client(url, token, options_.ca_file, options_.timeout * 1000L);
  const HttpAnswer answer = method == "POST" ? client.Post(path, Dump(body)) : client.Get(path);
  const json parsed = json::parse(answer.body, nullptr, false);
  if (answer.status < 200 || answer.status > 299) {
    std::string said = parsed.is_object() && parsed.contains("error") && parsed["error"].is_string()
                           ? Shown(parsed["error"].get<std::string>())
                           : "(no error text)";
    std::string hint;
    if (answer.status == 401 || answer.status == 403) {
      hint = "; check the token file: it must hold one of the relay's API tokens";
    } else if (answer.status == 404 && said.rfind("no such endpoint", 0) == 0) {
      hint = "; the relay at " + url + " is older than this snpp-relay";
    }
    throw OperatorError(ExitCodeForStatus(answer.status),
                        "the relay answered " + std::to_string(answer.status) + ": " + said + hint);
  }
  if (parsed.is_discarded() || !parsed.is_object()) {
    throw OperatorError(1, "the answer from " + url + " is not the relay's JSON (HTTP " +
                               std::to_string(answer.status) + "); is this the relay's address?");
  }

  int code = 0;
  std::string text;
  if (*list_) {
    text = PagesListText(parsed);
  } else if (*gateways_) {
    text = GatewaysText(parsed);
    code = GatewaysExitCode(parsed);
  } else if (*show_) {
    text = PageText(parsed);
    code = PageExitCode(parsed);
  } else {
    for (const auto& r : Recipients(parsed)) {
      if (r.is_object() && r.value("pager", json()) == options_.pager) {
        text += "pager " + Shown(options_.pager) + " of page " + options_.page_id + ": " +
                Field(r, "state") + "\n";
      }
    }
    if (text.empty()) text = "done\n";
  }
  if (options_.json) {
    out << Dump(parsed) << std::endl;
  } else {
    out << text << std::flush;
  }
  return code;
}

}  // namespace kestrel::relay
