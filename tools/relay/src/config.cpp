#include "kestrel/relay/config.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

#include "kainjow/mustache.hpp"
#include "kestrel/delivery/pager_id.hpp"
#include "kestrel/platform/error.hpp"

namespace kestrel::relay {

namespace {

int LineOf(const toml::node& node) {
  return static_cast<int>(node.source().begin.line);
}

// Reads one table's keys, noting each problem with its line.
class TableReader {
 public:
  TableReader(const toml::table& table, std::string name, std::vector<ConfigProblem>& problems)
      : table_(table), name_(std::move(name)), problems_(problems) {}

  int line() const { return LineOf(table_); }

  void Problem(const toml::node* at, const std::string& what) {
    problems_.push_back({at ? LineOf(*at) : line(), what});
  }

  const toml::node* Get(std::string_view key) {
    known_.insert(std::string(key));
    return table_.get(key);
  }

  template <typename T>
  std::optional<T> Value(std::string_view key, const char* type_name, bool required = false) {
    const toml::node* node = Get(key);
    if (!node) {
      if (required) Problem(nullptr, name_ + ": '" + std::string(key) + "' is missing");
      return std::nullopt;
    }
    if (auto value = node->value_exact<T>()) return value;
    Problem(node, name_ + ": '" + std::string(key) + "' must be " + type_name);
    return std::nullopt;
  }

  std::optional<std::string> String(std::string_view key, bool required = false) {
    auto value = Value<std::string>(key, "a string", required);
    if (value && value->empty()) {
      Problem(Get(key), name_ + ": '" + std::string(key) + "' must not be empty");
      return std::nullopt;
    }
    return value;
  }

  std::optional<std::int64_t> Integer(std::string_view key, std::int64_t low, std::int64_t high) {
    auto value = Value<std::int64_t>(key, "an integer");
    if (value && (*value < low || *value > high)) {
      Problem(Get(key), name_ + ": '" + std::string(key) + "' must be from " + std::to_string(low) +
                            " to " + std::to_string(high));
      return std::nullopt;
    }
    return value;
  }

  std::optional<Millis> Duration(std::string_view key) {
    auto text = Value<std::string>(key, "a duration such as \"30s\", \"5m\" or \"1h\"");
    if (!text) return std::nullopt;
    auto value = ParseDuration(*text);
    if (!value || *value <= 0) {
      Problem(Get(key), name_ + ": '" + std::string(key) + "' = \"" + *text +
                            "\" is not a duration; write a positive number and a unit: "
                            "\"250ms\", \"30s\", \"5m\", \"1h\" or \"7d\"");
      return std::nullopt;
    }
    return value;
  }

  // A key this reader never asked for: most likely a typing mistake.
  void UnknownKeys() {
    for (const auto& [key, node] : table_) {
      if (!known_.count(std::string(key.str()))) {
        problems_.push_back({LineOf(node), name_ + ": unknown key '" + std::string(key.str()) +
                                               "'; check its spelling"});
      }
    }
  }

 private:
  const toml::table& table_;
  std::string name_;
  std::vector<ConfigProblem>& problems_;
  std::set<std::string> known_;
};

struct FileText {
  std::string text;
  struct stat info {};
};

// A regular file of at most `limit` bytes. It is opened without blocking, so that a FIFO named
// by mistake cannot hang the relay, and a device (/dev/zero) cannot feed it without end.
std::optional<FileText> ReadRegularFile(const std::string& path, std::size_t limit,
                                        std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = "cannot read '" + path + "' (" + std::strerror(errno) +
             "); check that it exists and the relay may read it";
    return std::nullopt;
  }
  FileText file;
  std::optional<FileText> result;
  if (::fstat(fd, &file.info) != 0 || !S_ISREG(file.info.st_mode)) {
    *error = "'" + path + "' is not a regular file (a directory, FIFO or device?); name a file";
  } else if (static_cast<std::uintmax_t>(file.info.st_size) > limit) {
    *error =
        "'" + path + "' is larger than " + std::to_string(limit) + " bytes; is it the right file?";
  } else {
    char buffer[16 * 1024];
    for (;;) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        *error = "cannot read '" + path + "' (" + std::strerror(errno) + ")";
        break;
      }
      if (got == 0) {
        result = std::move(file);
        break;
      }
      file.text.append(buffer, static_cast<std::size_t>(got));
      if (file.text.size() > limit) {  // it grew while we read
        *error = "'" + path + "' is larger than " + std::to_string(limit) + " bytes";
        break;
      }
    }
  }
  ::close(fd);
  return result;
}

// A secret file should be readable by the relay only: by its owner, or through its group when
// that is the relay's own (root:snpp-relay, mode 0640). Anything wider is worth a warning.
std::optional<std::string> TooWidelyReadable(const std::string& path, const struct stat& info) {
  const bool others = (info.st_mode & S_IROTH) != 0;
  const bool group = (info.st_mode & S_IRGRP) != 0 && info.st_gid != ::getegid();
  if (!others && !group) return std::nullopt;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return "'" + path + "' (mode " + mode + ") can be read by " +
         (others ? "every user" : "its group, which is not the relay's") +
         "; let only the relay read it: chmod 600, or 640 with the relay's group";
}

bool HasControl(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
  }
  return false;
}

std::string Trim(std::string_view text) {
  const auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == text.npos) return {};
  const auto end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
}

bool TokenNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

std::string Resolve(const std::string& base_dir, const std::string& path) {
  if (path.empty() || path.front() == '/' || base_dir.empty()) return path;
  return (std::filesystem::path(base_dir) / path).string();
}

bool IsPostgresUri(std::string_view text) {
  return text.starts_with("postgresql://") || text.starts_with("postgres://");
}

// Whether a postgresql:// URI carries a password: "user:password@" before the hosts, or a
// password parameter.
bool UriHasPassword(std::string_view uri) {
  const auto rest = uri.substr(uri.find("://") + 3);
  const auto at = rest.find('@');
  const auto path = rest.find_first_of("/?");
  if (at != rest.npos && (path == rest.npos || at < path) &&
      rest.substr(0, at).find(':') != rest.npos) {
    return true;
  }
  const auto query = rest.find('?');
  if (query == rest.npos) return false;
  std::string params(rest.substr(query));
  for (auto& c : params) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return params.find("?password=") != params.npos || params.find("&password=") != params.npos;
}

// [relay] outbox: a file for SQLite, or a postgresql:// URI for the shared outbox.
void ReadOutboxName(TableReader& relay, const std::string& outbox, RelayConfig& config,
                    const std::string& base_dir) {
  if (!IsPostgresUri(outbox)) {
    config.outbox = Resolve(base_dir, outbox);
    return;
  }
  if (UriHasPassword(outbox)) {
    // Not repeated here: it holds the password.
    relay.Problem(relay.Get("outbox"),
                  "[relay]: outbox: the connection URI holds a password, which must stay out of "
                  "the configuration: put the whole connection string in a file of its own, named "
                  "by [outbox] conninfo_file (kind = \"postgresql\"), or the password in a "
                  "passfile (PGPASSFILE, ~/.pgpass)");
    return;
  }
  config.outbox_conninfo = outbox;
}

// [outbox]: kind = "sqlite" with path, or kind = "postgresql" with conninfo_file, a file that
// holds the connection string (with its password, if any).
void ReadOutbox(const toml::table& root, RelayConfig& config, std::vector<ConfigProblem>& problems,
                std::vector<ConfigProblem>& warnings, const std::string& base_dir,
                bool read_secrets) {
  const toml::node* node = root.get("outbox");
  if (!node) return;
  if (!node->is_table()) {
    problems.push_back({LineOf(*node), "outbox must be a table: [outbox]"});
    return;
  }
  TableReader outbox(*node->as_table(), "[outbox]", problems);
  const toml::node* relay = root.get("relay");
  if (relay && relay->is_table() && relay->as_table()->contains("outbox")) {
    outbox.Problem(nullptr,
                   "[outbox]: the outbox is named twice, here and by [relay] outbox; keep one");
  }
  const auto kind = outbox.String("kind", true);
  const auto path = outbox.String("path");
  const auto conninfo_file = outbox.String("conninfo_file");
  const auto lease_ttl = outbox.Duration("lease_ttl");
  outbox.UnknownKeys();
  if (!kind) return;
  if (*kind == "sqlite") {
    if (conninfo_file) {
      outbox.Problem(outbox.Get("conninfo_file"),
                     "[outbox]: conninfo_file is for kind = \"postgresql\"; a SQLite outbox "
                     "takes path");
    }
    if (lease_ttl) {
      outbox.Problem(outbox.Get("lease_ttl"),
                     "[outbox]: lease_ttl is for kind = \"postgresql\"; a SQLite outbox has one "
                     "relay and no leases to time out");
    }
    if (!path) {
      outbox.Problem(nullptr, "[outbox]: kind = \"sqlite\" needs path, the outbox's file");
    } else {
      config.outbox = Resolve(base_dir, *path);
    }
    return;
  }
  if (*kind != "postgresql") {
    outbox.Problem(outbox.Get("kind"),
                   "[outbox]: kind = \"" + *kind + "\" is not \"sqlite\" or \"postgresql\"");
    return;
  }
  if (path) {
    outbox.Problem(outbox.Get("path"),
                   "[outbox]: path is for kind = \"sqlite\"; a PostgreSQL outbox takes "
                   "conninfo_file");
  }
  if (lease_ttl) {
    // Renewed every second: a lease shorter than two renewals could lapse under a busy loop,
    // and one longer than a few minutes leaves a dead relay's pages waiting that long.
    if (*lease_ttl < kMinLeaseTtl || *lease_ttl > kMaxLeaseTtl) {
      outbox.Problem(outbox.Get("lease_ttl"),
                     "[outbox]: lease_ttl must be from 2s to 10m (leases are renewed every "
                     "second; a dead relay's pages wait this long for another)");
    } else {
      config.lease_ttl = *lease_ttl;
    }
  }
  if (!conninfo_file) {
    outbox.Problem(nullptr,
                   "[outbox]: kind = \"postgresql\" needs conninfo_file, a file holding the "
                   "connection string (\"host=... dbname=...\" or \"postgresql://...\")");
    return;
  }
  if (!read_secrets) {
    config.outbox_conninfo = "(from " + *conninfo_file + ")";
    return;
  }
  std::string error;
  const std::string conninfo_path = Resolve(base_dir, *conninfo_file);
  const auto file = ReadRegularFile(conninfo_path, kMaxSecretFile, &error);
  if (!file) {
    outbox.Problem(outbox.Get("conninfo_file"), "[outbox]: conninfo_file: " + error);
    return;
  }
  if (auto wide = TooWidelyReadable(conninfo_path, file->info)) {
    warnings.push_back({LineOf(*outbox.Get("conninfo_file")), "[outbox]: conninfo_file " + *wide});
  }
  // One string: lines starting with # are comments; the others are joined with spaces.
  std::istringstream lines(file->text);
  std::string conninfo;
  for (std::string line; std::getline(lines, line);) {
    line = Trim(line);
    if (line.empty() || line.front() == '#') continue;
    conninfo += (conninfo.empty() ? "" : " ") + line;
  }
  if (conninfo.empty()) {
    outbox.Problem(outbox.Get("conninfo_file"),
                   "[outbox]: conninfo_file holds no connection string; write one, such as "
                   "\"host=db1.example.net dbname=snpp user=snpp_relay password=...\"");
    return;
  }
  config.outbox_conninfo = std::move(conninfo);
}

void ReadRelay(const toml::table& root, RelayConfig& config, std::vector<ConfigProblem>& problems,
               std::vector<ConfigProblem>& warnings, const std::string& base_dir,
               bool read_secrets) {
  const toml::node* node = root.get("relay");
  if (!node || !node->is_table()) {
    problems.push_back({node ? LineOf(*node) : 1,
                        "[relay] is missing; it needs at least outbox and api_tokens_file"});
    return;
  }
  TableReader relay(*node->as_table(), "[relay]", problems);
  if (auto listen = relay.Value<std::string>("listen", "a string \"HOST:PORT\"")) {
    if (auto parsed = ParseHostPort(*listen, std::nullopt)) {
      config.listen_host = parsed->first;
      config.listen_port = parsed->second;
    } else {
      relay.Problem(relay.Get("listen"), "[relay]: listen = \"" + *listen +
                                             "\" is not HOST:PORT (\"127.0.0.1:8444\", "
                                             "\"[::1]:8444\")");
    }
  }
  if (auto outbox = relay.String("outbox", !root.contains("outbox"))) {
    ReadOutboxName(relay, *outbox, config, base_dir);
  }
  if (auto tokens_file = relay.String("api_tokens_file", true); tokens_file && read_secrets) {
    std::string error;
    const std::string path = Resolve(base_dir, *tokens_file);
    if (auto file = ReadRegularFile(path, kMaxSecretFile, &error)) {
      if (auto wide = TooWidelyReadable(path, file->info)) {
        warnings.push_back(
            {LineOf(*relay.Get("api_tokens_file")), "[relay]: api_tokens_file " + *wide});
      }
      std::istringstream lines(file->text);
      int number = 0;
      const int at = LineOf(*relay.Get("api_tokens_file"));
      const std::string where = "[relay]: api_tokens_file '" + path + "' line ";
      for (std::string line; std::getline(lines, line);) {
        auto parsed = ParseTokenLine(line, ++number);
        if (!parsed.problem.empty()) {
          problems.push_back({at, where + std::to_string(number) + ": " + parsed.problem});
          continue;
        }
        if (!parsed.token) continue;
        for (const auto& earlier : config.api_tokens) {
          if (earlier.secret == parsed.token->secret) {
            problems.push_back({at, where + std::to_string(number) +
                                        ": the same token as the one named \"" + earlier.name +
                                        "\"; give each token one line"});
          } else if (earlier.name == parsed.token->name) {
            problems.push_back({at, where + std::to_string(number) + ": the name \"" +
                                        earlier.name +
                                        "\" is taken by an earlier line; give each token a "
                                        "name of its own"});
          }
        }
        config.api_tokens.push_back(std::move(*parsed.token));
      }
      if (config.api_tokens.empty()) {
        relay.Problem(relay.Get("api_tokens_file"),
                      "[relay]: api_tokens_file holds no token; write one token a line (or NAME "
                      "ROLE TOKEN, ROLE read or operate)");
      }
    } else {
      relay.Problem(relay.Get("api_tokens_file"), "[relay]: api_tokens_file: " + error);
    }
  }
  if (auto value = relay.Duration("expire_after")) config.expire_after = *value;
  if (auto value = relay.Duration("shutdown_grace")) config.shutdown_grace = *value;
  if (auto value = relay.Integer("max_connections", 1, 1'000'000)) {
    config.max_connections = static_cast<std::size_t>(*value);
  }
  if (auto value = relay.Duration("retain")) config.retain = *value;
  relay.UnknownKeys();
}

void ReadRetry(const toml::table& root, RelayConfig& config, std::vector<ConfigProblem>& problems) {
  const toml::node* node = root.get("retry");
  if (!node) return;
  if (!node->is_table()) {
    problems.push_back({LineOf(*node), "retry must be a table: [retry]"});
    return;
  }
  TableReader retry(*node->as_table(), "[retry]", problems);
  if (auto value = retry.Duration("backoff")) config.backoff = *value;
  if (auto value = retry.Duration("max_backoff")) config.max_backoff = *value;
  if (config.max_backoff < config.backoff) {
    retry.Problem(retry.Get("max_backoff"), "[retry]: max_backoff is shorter than backoff");
  }
  retry.UnknownKeys();
}

// Calls `fn` with each table of an array of tables, noting anything else.
template <typename Fn>
void EachTable(const toml::table& root, std::string_view key, std::vector<ConfigProblem>& problems,
               Fn&& fn) {
  const toml::node* node = root.get(key);
  if (!node) return;
  const toml::array* array = node->as_array();
  if (!array) {
    problems.push_back({LineOf(*node), std::string(key) + " must be written [[" + std::string(key) +
                                           "]], one table per entry"});
    return;
  }
  for (std::size_t i = 0; i < array->size(); ++i) {
    const toml::node& entry = *array->get(i);
    if (const toml::table* table = entry.as_table()) {
      fn(*table, "[[" + std::string(key) + "]] #" + std::to_string(i + 1));
    } else {
      problems.push_back(
          {LineOf(entry), std::string(key) + " #" + std::to_string(i + 1) + " must be a table"});
    }
  }
}

void ReadGateways(const toml::table& root, RelayConfig& config,
                  std::vector<ConfigProblem>& problems, std::vector<ConfigProblem>& warnings,
                  const std::string& base_dir, bool read_secrets) {
  std::set<std::string> names;
  EachTable(root, "gateway", problems, [&](const toml::table& table, std::string label) {
    TableReader reader(table, label, problems);
    GatewayConfig gateway;
    if (auto name = reader.String("name", true)) {
      gateway.name = *name;
      if (!names.insert(*name).second) {
        reader.Problem(reader.Get("name"), label + ": another gateway is named '" + *name + "'");
      }
    }
    if (auto server = reader.String("server", true)) {
      if (auto parsed = ParseHostPort(*server, 444)) {
        gateway.host = parsed->first;
        gateway.port = parsed->second;
      } else {
        reader.Problem(reader.Get("server"),
                       label + ": server = \"" + *server + "\" is not HOST[:PORT]");
      }
    }
    if (auto level = reader.Integer("level", 1, 3)) gateway.level = static_cast<int>(*level);
    if (auto login = reader.String("login")) {
      if (!HasControl(*login)) {
        gateway.login = *login;
      } else {
        reader.Problem(reader.Get("login"),
                       label + ": login must be one line of printable characters");
      }
    }
    if (auto password_file = reader.String("password_file"); password_file && read_secrets) {
      std::string error;
      const std::string path = Resolve(base_dir, *password_file);
      if (auto file = ReadRegularFile(path, kMaxSecretFile, &error)) {
        if (auto wide = TooWidelyReadable(path, file->info)) {
          warnings.push_back(
              {LineOf(*reader.Get("password_file")), label + ": password_file " + *wide});
        }
        std::string password = file->text.substr(0, file->text.find('\n'));
        if (!password.empty() && password.back() == '\r') password.pop_back();
        if (HasControl(password)) {
          reader.Problem(reader.Get("password_file"),
                         label +
                             ": password_file: its first line holds a control character, "
                             "which no gateway takes in LOGI; write the password alone on "
                             "the first line");
        }
        gateway.password = password;
      } else {
        reader.Problem(reader.Get("password_file"), label + ": password_file: " + error);
      }
    }
    if (table.get("password")) {
      reader.Problem(table.get("password"),
                     label +
                         ": a password is never written here; put it in a file of its own "
                         "and name that file in password_file");
      reader.Get("password");
    }
    if (auto concurrency = reader.Integer("concurrency", 1, 256)) {
      gateway.concurrency = static_cast<int>(*concurrency);
    }
    if (auto batch = reader.Integer("batch", 1, 1000)) gateway.batch = static_cast<int>(*batch);
    if (auto tls = reader.Value<bool>("tls", "true or false")) gateway.tls = *tls;
    if (auto ca_file = reader.String("ca_file")) gateway.ca_file = Resolve(base_dir, *ca_file);
    if (auto insecure = reader.Value<bool>("tls_insecure", "true or false")) {
      gateway.tls_insecure = *insecure;
    }
    if (gateway.tls) {
      platform::TlsSettings settings;
      settings.verify = !gateway.tls_insecure;
      settings.ca_file = gateway.ca_file;
      try {
        gateway.tls_context = platform::MakeTlsContext(settings);
      } catch (const RuntimeError& e) {
        reader.Problem(table.get("ca_file") ? table.get("ca_file") : table.get("tls"),
                       label + ": " + e.description());
      }
    }
    reader.UnknownKeys();
    config.gateways.push_back(std::move(gateway));
  });
  if (config.gateways.empty()) {
    problems.push_back({1, "no [[gateway]]: name at least one SNPP server to deliver through"});
  }
}

void ReadReceivers(const toml::table& root, RelayConfig& config,
                   std::vector<ConfigProblem>& problems) {
  std::set<std::string> names;
  EachTable(root, "receiver", problems, [&](const toml::table& table, std::string label) {
    TableReader reader(table, label, problems);
    ReceiverConfig receiver;
    if (auto name = reader.String("name", true)) {
      receiver.name = *name;
      if (!names.insert(*name).second) {
        reader.Problem(reader.Get("name"), label + ": another receiver is named '" + *name + "'");
      }
    }
    const toml::node* pagers = reader.Get("pagers");
    if (!pagers) {
      reader.Problem(nullptr, label + ": 'pagers' is missing; list the pager ids to page");
    } else if (const toml::array* list = pagers->as_array(); !list || list->empty()) {
      reader.Problem(pagers, label +
                                 ": 'pagers' must be a list of pager ids, such as "
                                 "[\"5551234\"]");
    } else {
      for (const auto& pager : *list) {
        auto id = pager.value_exact<std::string>();
        if (!id) {
          reader.Problem(&pager, label + ": each pager id must be a string, such as \"5551234\"");
        } else if (const auto problem = delivery::CheckPagerId(*id)) {
          reader.Problem(&pager, label + ": " + delivery::Describe(*problem, *id));
        } else {
          receiver.pagers.push_back(*id);
        }
      }
    }
    if (auto max_length = reader.Integer("max_length", 0, 65535)) {
      receiver.max_length = static_cast<int>(*max_length);
    }
    if (auto split = reader.Value<bool>("split", "true or false")) receiver.split = *split;
    if (auto max_parts = reader.Integer("max_parts", 1, 100)) {
      receiver.max_parts = static_cast<int>(*max_parts);
    }
    if (auto ascii = reader.Value<bool>("ascii", "true or false")) receiver.ascii = *ascii;
    if (auto resolved = reader.Value<bool>("send_resolved", "true or false")) {
      receiver.send_resolved = *resolved;
    }
    if (auto level2 = reader.Value<bool>("require_level2", "true or false")) {
      receiver.require_level2 = *level2;
    }
    if (auto text = reader.Value<std::string>("template", "a string")) {
      kainjow::mustache::mustache parsed(*text);
      if (!parsed.is_valid()) {
        reader.Problem(reader.Get("template"),
                       label + ": template: " + parsed.error_message() +
                           "; see the Mustache syntax, such as {{labels.alertname}}");
      } else {
        receiver.template_text = *text;
      }
    }
    reader.UnknownKeys();
    config.receivers.push_back(std::move(receiver));
  });
}

}  // namespace

TokenLine ParseTokenLine(std::string_view line, int number) {
  TokenLine result;
  std::vector<std::string_view> fields;
  for (std::size_t at = 0; at < line.size();) {
    const auto begin = line.find_first_not_of(" \t\r", at);
    if (begin == line.npos) break;
    const auto end = std::min(line.find_first_of(" \t\r", begin), line.size());
    fields.push_back(line.substr(begin, end - begin));
    at = end;
  }
  if (fields.empty() || fields.front().front() == '#') return result;
  const auto control = [](std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char ch) {
      const auto c = static_cast<unsigned char>(ch);
      return c < 0x20 || c == 0x7F;
    });
  };
  if (fields.size() != 1 && fields.size() != 3) {
    result.problem =
        "write a token alone, or NAME ROLE TOKEN (ROLE read or operate); this line has " +
        std::to_string(fields.size()) + " fields";
    return result;
  }
  ApiToken token;
  token.secret = std::string(fields.back());
  if (control(token.secret)) {
    result.problem = "the token holds a control character; a token is printable text";
    return result;
  }
  if (fields.size() == 1) {
    token.name = "line " + std::to_string(number);
    result.token = std::move(token);
    return result;
  }
  const auto name = fields[0];
  if (name.size() > 64 || !std::all_of(name.begin(), name.end(), TokenNameCharacter)) {
    result.problem = "the name (first field) must be 1 to 64 of A-Z a-z 0-9 . _ -";
    return result;
  }
  if (fields[1] == "read") {
    token.role = TokenRole::kRead;
  } else if (fields[1] == "operate") {
    token.role = TokenRole::kOperate;
  } else {
    result.problem = "the role (second field) must be read or operate";
    return result;
  }
  token.name = std::string(name);
  result.token = std::move(token);
  return result;
}

const ReceiverConfig* RelayConfig::FindReceiver(std::string_view name) const {
  for (const auto& receiver : receivers) {
    if (receiver.name == name) return &receiver;
  }
  return nullptr;
}

std::optional<Millis> ParseDuration(std::string_view text) {
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end == text.data() || number < 0) return std::nullopt;
  const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
  std::int64_t scale = 0;
  if (unit == "ms") {
    scale = 1;
  } else if (unit == "s") {
    scale = 1000;
  } else if (unit == "m") {
    scale = 60'000;
  } else if (unit == "h") {
    scale = 3'600'000;
  } else if (unit == "d") {
    scale = 24 * 3'600'000;
  } else {
    return std::nullopt;
  }
  if (number > INT64_C(1) << 40 || number > INT64_MAX / scale) {
    return std::nullopt;  // beyond any sensible wait
  }
  return number * scale;
}

std::optional<std::pair<std::string, std::uint16_t>> ParseHostPort(
    std::string_view text, std::optional<std::uint16_t> default_port) {
  std::string host;
  std::string_view rest;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == text.npos || close == 1) return std::nullopt;
    host = std::string(text.substr(1, close - 1));
    rest = text.substr(close + 1);
  } else {
    const auto colon = text.rfind(':');
    host = std::string(text.substr(0, colon));
    rest = colon == text.npos ? std::string_view() : text.substr(colon);
    if (host.find(':') != host.npos) return std::nullopt;  // an IPv6 literal needs brackets
  }
  if (host.empty() || HasControl(host) || host.find(' ') != host.npos) return std::nullopt;
  if (rest.empty()) {
    if (!default_port) return std::nullopt;
    return std::make_pair(host, *default_port);
  }
  if (rest.front() != ':' || rest.size() < 2) return std::nullopt;
  unsigned port = 0;
  const auto digits = rest.substr(1);
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (error != std::errc() || end != digits.data() + digits.size() || port > 65535) {
    return std::nullopt;
  }
  return std::make_pair(host, static_cast<std::uint16_t>(port));
}

ConfigResult ParseConfig(std::string_view text, const std::string& source_name,
                         const std::string& base_dir, bool read_secrets) {
  ConfigResult result;
  toml::table root;
  try {
    root = toml::parse(text, source_name);
  } catch (const toml::parse_error& e) {
    result.problems.push_back({static_cast<int>(e.source().begin.line),
                               std::string(e.description()) + " (fix the TOML syntax)"});
    return result;
  }
  RelayConfig config;
  ReadRelay(root, config, result.problems, result.warnings, base_dir, read_secrets);
  ReadOutbox(root, config, result.problems, result.warnings, base_dir, read_secrets);
  ReadRetry(root, config, result.problems);
  ReadGateways(root, config, result.problems, result.warnings, base_dir, read_secrets);
  ReadReceivers(root, config, result.problems);
  for (const auto& [key, node] : root) {
    const std::string name(key.str());
    if (name != "relay" && name != "outbox" && name != "retry" && name != "gateway" &&
        name != "receiver") {
      result.problems.push_back({LineOf(node), "unknown section '" + name +
                                                   "'; the sections are [relay], [outbox], "
                                                   "[retry], [[gateway]] and [[receiver]]"});
    }
  }
  if (result.problems.empty()) result.config = std::move(config);
  return result;
}

ConfigResult LoadConfig(const std::string& path) {
  std::string error;
  const auto file = ReadRegularFile(path, kMaxConfigFile, &error);
  if (!file) return {std::nullopt, {{0, error}}, {}};
  const auto base = std::filesystem::path(path).parent_path().string();
  return ParseConfig(file->text, path, base);
}

}  // namespace kestrel::relay
