// snpp-send: sends one page to one or more pagers through the delivery layer, with failover
// between gateways and retries, and says how it went.
//
// Exit codes: 0 every recipient delivered; 1 none delivered and none uncertain; 2 bad usage or
// input (nothing sent); 3 timed out (one recipient: no greeting in time, or no outcome within
// --deadline); 4 mixed: some delivered, or any uncertain (a page that may have gone out).

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include "dialogue_log.hpp"
#include "group.hpp"
#include "kestrel/control/persistence.hpp"
#include "kestrel/control/snpp_control.hpp"
#include "kestrel/delivery/delivery.hpp"
#include "kestrel/delivery/message.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/platform/event_loop.hpp"
#include "kestrel/platform/forwarding_socket.hpp"
#include "kestrel/session/snpp_instance.hpp"
#include "kestrel/session/wire.hpp"
#include "tls_options.hpp"

namespace {

using namespace kestrel;
using namespace std::chrono_literals;

using tools::Exit;
using tools::kDelivered;
using tools::kFailed;
using tools::kMixed;
using tools::kTimedOut;
using tools::kUsage;
using tools::UsageError;

struct Options {
  std::vector<std::string> servers;
  std::optional<long> port;
  std::optional<int> timeout;
  std::optional<int> level;
  std::vector<std::string> pagers;
  std::optional<std::string> pagers_file;
  std::optional<std::string> message;
  std::optional<std::string> data_file;
  std::optional<std::string> login;
  std::optional<std::string> password_file;
  std::optional<int> coverage;
  std::optional<int> service_level;
  std::optional<std::string> hold;
  bool alert = false;
  std::optional<std::string> caller;
  std::optional<std::string> subject;
  double deadline = 60;
  int concurrency = 4;
  int retries = 2;
  double retry_backoff = 1;
  bool resend_uncertain = false;
  std::optional<int> max_length;
  bool split = false;
  bool ascii = false;
  bool verbose = false;
  bool json = false;
  std::optional<std::string> settings;
  std::optional<std::string> save_settings;
  bool dry_run = false;
  tools::TlsOptions tls;
};

constexpr long kDefaultPort = 444;

// The container the control sits in while its settings are loaded, applied and saved; the
// sessions themselves run in the delivery layer.
class CliSite final : public control::ControlSite {
 public:
  void PropertyChanged(std::string_view) override {}
  void DoEvents() override {}
};

std::string ReadFile(const std::string& path, const char* what) {
  if (path == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), {});
  }
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw UsageError("cannot read the " + std::string(what) + " '" + path +
                     "'; check the path and its permissions");
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// Text that is not UTF-8 (a server reply in Latin-1, a pager id with any byte) cannot go into
// JSON as it is: each invalid byte becomes U+FFFD, the rest of the text stays as it was.
std::string Dump(const nlohmann::json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A control character other than TAB in an option value: it has no place in a pager id, a
// message line or a login, and a terminal or server may act on it.
bool HasControlCharacter(std::string_view v) {
  return std::any_of(v.begin(), v.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return (c < 0x20 && c != '\t') || c == 0x7F;
  });
}

// Refuses option values that hold control characters, before anything is applied.
void CheckOptionValues(const Options& o) {
  const std::pair<const char*, const std::optional<std::string>*> options[] = {
      {"--message", &o.message}, {"--login", &o.login},     {"--hold", &o.hold},
      {"--caller", &o.caller},   {"--subject", &o.subject},
  };
  const auto refuse = [](const char* name) {
    throw UsageError(std::string(name) +
                     " holds a control character (a line break, NUL, ESC or the like); "
                     "SNPP values are plain one-line text. Remove it");
  };
  for (const auto& pager : o.pagers) {
    if (HasControlCharacter(pager)) refuse("--pager");
  }
  for (const auto& server : o.servers) {
    if (HasControlCharacter(server)) refuse("--server");
  }
  for (const auto& [name, value] : options) {
    if (*value && HasControlCharacter(**value)) refuse(name);
  }
}

// The one check, before anything is sent, of every one-line value that will go on the wire,
// whatever its source (options, settings file, password file): a line break or NUL in any of
// them would otherwise be refused by the control at its command, after LOGI (and the password)
// had gone out. The control's own refusal stays as the last defence.
void CheckBeforeSending(const Options& o, const std::vector<std::string>& pagers,
                        session::SNPPInstance& c) {
  for (const auto& pager : pagers) {
    if (pager.empty() || pager.find_first_of(" \t") != pager.npos ||
        pager.find('\0') != pager.npos || session::HasLineBreak(pager)) {
      throw UsageError(
          "a pager id is empty or holds a space, line break or NUL; give one id each, one word");
    }
  }
  const std::pair<const char*, String> values[] = {
      {"the pager id (Recipient)", c.get_Recipient()},
      {"the message (Message)", c.get_Message()},
      {"the login (LoginName)", c.get_LoginName()},
      {"the password", c.get_Password()},
      {"the hold time (HoldUntil)", c.get_HoldUntil()},
      {"the caller id (SenderID)", c.get_SenderID()},
      {"the subject (Subject)", c.get_Subject()},
  };
  for (const auto& [what, value] : values) {
    const bool nul = value.find('\0') != value.npos;
    if (!nul && !session::HasLineBreak(value)) continue;
    std::string text = std::string(what) + " holds a " + (nul ? "NUL character" : "line break") +
                       "; SNPP commands are one line each. Fix the option" +
                       (o.settings ? " or the settings file" : "");
    if (!nul && std::string_view(what).ends_with("(Message)")) {
      text += ", or use --data-file (at --level 2) for a multi-line body";
    }
    throw UsageError(text);
  }
  if (!c.get_Data().empty() && c.get_SnppLevel() < 2) {
    if (o.data_file) {
      throw UsageError(
          "--data-file needs SNPP level 2 or more (a DATA body is a level 2 command); "
          "give --level 2");
    }
    std::cerr << "snpp-send: warning: the settings file holds a multi-line Data body, which SNPP "
                 "level "
              << c.get_SnppLevel()
              << " cannot send; only the one-line Message goes out. Give --level 2 to send "
                 "the body"
              << std::endl;
  }
}

// Applies the options to the control's properties (the first gateway, the first pager and the
// page); raises UsageError for input that cannot make a valid page, before anything is sent.
void Apply(const Options& o, const std::vector<tools::ServerAddress>& servers,
           const std::vector<std::string>& pagers, session::SNPPInstance& c) {
  if (!o.message && !o.data_file && !o.settings && !o.dry_run) {
    throw UsageError("no message: give --message TEXT, or --data-file FILE for a multi-line body");
  }
  if (o.message && o.data_file) throw UsageError("give either --message or --data-file, not both");
  CheckOptionValues(o);
  if (o.data_file && o.level && *o.level < 2) {
    throw UsageError(
        "--data-file needs --level 2 or more (a DATA body is an SNPP level 2 command)");
  }
  if (o.split && !o.max_length) throw UsageError("--split needs --max-length N");
  if (!servers.empty()) {
    c.put_Server(servers.front().host);
    c.put_ServerPort(servers.front().port);
  } else if (o.port) {
    c.put_ServerPort(static_cast<Long>(*o.port));
  } else if (!o.settings) {
    c.put_ServerPort(kDefaultPort);
  }
  if (o.timeout) c.put_ServerTimeout(static_cast<Integer>(*o.timeout));
  if (o.level) c.put_SnppLevel(static_cast<Integer>(*o.level));
  if (!pagers.empty()) c.put_Recipient(pagers.front());
  if (c.get_Recipient().empty() && !o.dry_run) {
    throw UsageError(
        "no pager: give --pager ID or --pagers-file FILE (or a settings file that holds a "
        "Recipient)");
  }
  if (o.message) c.put_Message(*o.message);
  if (o.data_file) {
    c.put_Message("");
    c.put_Data(ReadFile(*o.data_file, "data file"));
  }
  if (o.login) c.put_LoginName(*o.login);
  std::optional<std::string> password;
  if (o.password_file) {
    password = Trimmed(ReadFile(*o.password_file, "password file"));
  } else if (const char* env = std::getenv("SNPP_PASSWORD")) {
    password = env;
  }
  if (password) {
    if (!o.login) throw UsageError("a password was given but no --login to go with it");
    c.put_Password(*password);
  }
  if (o.coverage) c.put_coverageArea(static_cast<Integer>(*o.coverage));
  if (o.service_level) c.put_ServiceLevel(static_cast<Integer>(*o.service_level));
  if (o.hold) c.put_HoldUntil(*o.hold);
  if (o.alert) c.put_AlertOverride(kTrue);
  if (o.caller) c.put_SenderID(*o.caller);
  if (o.subject) c.put_Subject(*o.subject);
  CheckBeforeSending(o, pagers, c);
  if (c.get_Message().empty() && c.get_SnppLevel() < 2) {
    throw UsageError("a DATA body needs --level 2 or more");
  }
}

// The page as the control holds it, fitted to --ascii and --max-length.
delivery::Page MakePage(const Options& o, const session::SNPPInstance& c) {
  delivery::Page page;
  page.as_data = c.get_Message().empty();
  std::string text = page.as_data ? c.get_Data() : c.get_Message();
  if (o.ascii) text = delivery::ToAscii(text);
  if (o.max_length && delivery::CharacterCount(text) > static_cast<std::size_t>(*o.max_length)) {
    const auto limit = static_cast<std::size_t>(*o.max_length);
    if (o.split) {
      try {
        page.parts = delivery::Split(text, limit);
      } catch (const std::invalid_argument&) {
        throw UsageError("--max-length " + std::to_string(limit) +
                         " leaves no room for text after the part number; raise it");
      }
    } else {
      std::cerr << "snpp-send: warning: the message has " << delivery::CharacterCount(text)
                << " characters, more than --max-length " << limit << "; it was cut to " << limit
                << " characters ending in \"...\". Use --split to send it as numbered pages."
                << std::endl;
      page.parts = {delivery::Truncate(text, limit)};
    }
  } else {
    page.parts = {text};
  }
  page.subject = c.get_Subject();
  page.caller = c.get_SenderID();
  page.hold = c.get_HoldUntil();
  page.coverage = c.get_coverageArea();
  page.service_level = c.get_ServiceLevel();
  page.alert = c.get_AlertOverride() != kFalse;
  return page;
}

struct Run {
  std::vector<delivery::RecipientResult> results;
  std::string dry_run;  // the dry run's description, when it was one
  std::string server;   // the first gateway
  Long port = 0;
  std::string pager;  // the first pager
  Integer greeting_timeout = 0;
  bool tls = false;
  // Some plain connection came up (TCP): a greeting that never came then hints at a TLS port.
  std::shared_ptr<bool> connected = std::make_shared<bool>(false);
};

// Notes whether the connection was up when the control closed it.
class ConnectWatch final : public platform::ForwardingSocket {
 public:
  ConnectWatch(std::unique_ptr<platform::Socket> inner, std::shared_ptr<bool> connected)
      : ForwardingSocket(std::move(inner)), connected_(std::move(connected)) {}
  void Close() override {
    if (State() == platform::SocketState::kConnected) *connected_ = true;
    ForwardingSocket::Close();
  }

 private:
  std::shared_ptr<bool> connected_;
};

Run SendPage(const Options& o) {
  std::vector<tools::ServerAddress> servers;
  const auto default_port = static_cast<std::uint16_t>(o.port ? *o.port : kDefaultPort);
  for (const auto& s : o.servers) servers.push_back(tools::ParseServer(s, default_port));
  std::vector<std::string> pagers = o.pagers;
  if (o.pagers_file) {
    const auto more = tools::ReadPagersFile(*o.pagers_file);
    pagers.insert(pagers.end(), more.begin(), more.end());
    if (more.empty() && pagers.empty()) {
      throw UsageError("the pagers file '" + *o.pagers_file + "' names no pager");
    }
  }

  platform::EventLoop loop;
  CliSite site;
  // Built before anything is sent: a CA file, certificate or key that cannot be used is bad
  // input. One context for the run; every gateway's sockets share it.
  const auto tls = o.tls.Prepare();
  control::SNPPControl ctl(site, platform::MakeAsioSocket(loop), platform::MakeAsioTimer(loop));
  if (o.settings) {
    control::MemoryBag bag = control::settings_file::Load(*o.settings);
    control::ReadProperties(ctl, bag);
  } else {
    control::InitProperties(ctl);
  }
  session::SNPPInstance& c = ctl.session();
  Apply(o, servers, pagers, c);
  if (o.save_settings) {
    control::MemoryBag bag;
    control::WriteProperties(ctl, bag);
    control::settings_file::Save(bag, *o.save_settings);
  }
  if (pagers.empty()) pagers.push_back(c.get_Recipient());

  // The first gateway is the control's (options over a loaded settings file); the others share
  // its level, login and password.
  std::vector<delivery::Gateway> gateways;
  const auto gateway = [&](std::string host, Long port) {
    delivery::Gateway g;
    g.host = std::move(host);
    g.port = static_cast<std::uint16_t>(port);
    g.snpp_level = c.get_SnppLevel();
    g.login = c.get_LoginName();
    g.password = c.get_Password();
    g.concurrency = o.concurrency;
    return g;
  };
  gateways.push_back(gateway(c.get_Server(), c.get_ServerPort()));
  for (std::size_t i = 1; i < servers.size(); ++i) {
    gateways.push_back(gateway(servers[i].host, servers[i].port));
  }
  Run run;
  run.server = c.get_Server();
  run.port = c.get_ServerPort();
  run.pager = pagers.front();
  run.greeting_timeout = c.get_ServerTimeout();
  run.tls = tls != nullptr;
  if (c.get_ServerPort() < 1 || c.get_ServerPort() > 65535) {
    throw UsageError("the server port must be from 1 to 65535");
  }

  if (o.dry_run) {
    std::string where;
    for (const auto& g : gateways) where += (where.empty() ? "" : ", ") + g.where();
    if (pagers.size() == 1) {
      run.dry_run = "would send to pager '" + pagers.front() + "' via " + where +
                    " at SNPP level " + std::to_string(c.get_SnppLevel()) + "; nothing was sent";
    } else {
      run.dry_run = "would send to " + std::to_string(pagers.size()) + " pagers via " + where +
                    " at SNPP level " + std::to_string(c.get_SnppLevel()) + "; nothing was sent";
    }
    return run;
  }

  const delivery::Page page = MakePage(o, c);
  // Every gateway's sockets: TLS on the run's context with --tls, the dialogue shown with -v,
  // and whether a plain connection came up at all, for the hint that the port may speak TLS.
  for (auto& g : gateways) {
    g.socket_factory = [&loop, &o, &tls, connected = run.connected] {
      std::unique_ptr<platform::Socket> socket = tools::TlsOptions::MakeSocket(loop, tls);
      if (!tls) socket = std::make_unique<ConnectWatch>(std::move(socket), connected);
      if (o.verbose) {
        socket = std::make_unique<tools::DialogueLog>(
            std::move(socket), [](std::string_view line) { std::cerr << line << std::endl; });
      }
      return socket;
    };
  }

  const auto deadline = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::duration<double>(o.deadline));
  delivery::Policy policy;
  policy.max_attempts = o.retries + 1;
  policy.first_backoff = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::duration<double>(o.retry_backoff));
  policy.max_backoff = std::max<delivery::Duration>(30s, policy.first_backoff);
  policy.deadline = delivery::Clock::now() + deadline;
  policy.greeting_timeout = std::chrono::seconds(c.get_ServerTimeout());
  policy.resend_uncertain = o.resend_uncertain;

  std::vector<std::optional<delivery::RecipientResult>> results(pagers.size());
  delivery::Hooks hooks;
  hooks.on_result = [&](const delivery::RecipientResult& r) { results[r.recipient.index] = r; };
  delivery::Delivery group(delivery::OnLoop(loop), std::move(gateways), std::move(hooks));
  try {
    group.Submit(delivery::Request{.page = page, .recipients = pagers, .policy = policy});
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
  // The deadline inside the policy ends every recipient; the margin only guards against a fault.
  loop.RunUntil([&] { return group.idle(); }, deadline + 5s);
  // Let the servers' goodbyes arrive so the sessions end cleanly; the pages are decided anyway.
  loop.RunUntil([&] { return group.stats().sessions_open == 0; }, 2s);
  group.Stop();
  for (std::size_t i = 0; i < pagers.size(); ++i) {
    if (results[i]) {
      run.results.push_back(std::move(*results[i]));
      continue;
    }
    delivery::RecipientResult r;  // never decided: only a fault in the layer gets here
    r.recipient.index = i;
    r.recipient.pager = pagers[i];
    r.outcome = delivery::Outcome::kFailed;
    r.deadline_passed = true;
    r.ended_by = delivery::AttemptEvidence::Kind::kDeadline;
    r.timed_out = true;
    r.error = r.detail = "no outcome within the deadline";
    run.results.push_back(std::move(r));
  }
  return run;
}

// The words of today's one-pager report.
std::string OnePagerText(const Options& o, const Run& run) {
  const auto& r = run.results.front();
  if (r.outcome == delivery::Outcome::kDelivered) return Trimmed(r.reply);
  const std::string where =
      delivery::Gateway{.host = r.host.empty() ? run.server : r.host,
                        .port = static_cast<std::uint16_t>(r.host.empty() ? run.port : r.port)}
          .where();
  using Kind = delivery::AttemptEvidence::Kind;
  if (r.ended_by == Kind::kGreetingTimeout) {
    std::ostringstream what;
    what << session::SNPPInstance::kTimeoutText << " No greeting from " << where << " within "
         << run.greeting_timeout
         << " s; check --server and --port and that the paging server is running";
    if (!run.tls) {
      if (const auto hint = tools::PlainToTlsHint({}, *run.connected, true); !hint.empty()) {
        what << '.' << hint;
      }
    }
    return what.str();
  }
  if (r.ended_by == Kind::kDeadline || (r.deadline_passed && r.attempts == 0)) {
    std::ostringstream what;
    what << "no outcome from " << where << " within the " << o.deadline
         << " s deadline (last state " << session::ToString(static_cast<Integer>(r.last_state))
         << "); the page may not have been sent. Check the server, or raise --deadline";
    return what.str();
  }
  std::string text = Trimmed(r.detail.empty() ? r.error : r.detail);
  if (!run.tls) text += tools::PlainToTlsHint(text, *run.connected, false);
  return text;
}

int Report(const Options& o, const Run& run) {
  if (!run.dry_run.empty()) {
    if (o.json) {
      std::cout << Dump({{"outcome", "dry-run"},
                         {"server", run.server},
                         {"port", run.port},
                         {"pager", run.pager},
                         {"exitCode", 0}})
                << std::endl;
    } else {
      std::cout << "dry run: " << tools::EscapeControls(run.dry_run) << std::endl;
    }
    return kDelivered;
  }
  const Exit code = tools::ExitCode(run.results);
  const bool one = run.results.size() == 1;
  std::size_t delivered = 0;
  for (const auto& r : run.results) delivered += r.outcome == delivery::Outcome::kDelivered;
  if (o.json) {
    nlohmann::json j = {
        {"outcome", tools::RunOutcome(run.results)},
        {"server", run.server},
        {"port", run.port},
        {"pager", run.pager},
        {"exitCode", static_cast<int>(code)},
    };
    if (one) {
      j[code == kDelivered ? "reply" : "error"] = OnePagerText(o, run);
      if (run.results.front().error_number != 0) {
        j["errorNumber"] = run.results.front().error_number;
      }
    } else {
      j[code == kDelivered ? "reply" : "error"] = std::to_string(delivered) + " of " +
                                                  std::to_string(run.results.size()) +
                                                  " pagers delivered";
    }
    nlohmann::json list = nlohmann::json::array();
    for (const auto& r : run.results) list.push_back(tools::RecipientJson(r));
    j["recipients"] = std::move(list);
    std::cout << Dump(j) << std::endl;
  } else if (one) {
    // The text may come from the server: its control characters are shown, not obeyed.
    std::cout << (code == kDelivered ? "delivered: " : "failed: ")
              << tools::EscapeControls(OnePagerText(o, run)) << std::endl;
  } else {
    for (const auto& r : run.results) {
      std::cout << tools::EscapeControls(tools::RecipientLine(r)) << '\n';
    }
    std::cout.flush();
  }
  return code;
}

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0  every pager delivered\n"
    "  1  none delivered and none uncertain (refused or failed)\n"
    "  2  bad usage or input; nothing was sent\n"
    "  3  timed out (one pager: no greeting in time, or no outcome within --deadline)\n"
    "  4  mixed: some delivered and some not, or any uncertain (the connection was lost after\n"
    "     SEND, so the page may have gone out; it is not resent without --resend-uncertain)\n"
    "\n"
    "Outcomes: delivered (250, 860 or 960 to SEND); refused (a 5xx reply: not retried);\n"
    "failed (connection refused or lost, no greeting, 4xx such as 421 busy, or a time-out,\n"
    "until the attempts or the deadline run out; each retry goes to the next --server after a\n"
    "doubling wait); uncertain (lost after SEND was written).";

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "Send one page to one or more pagers through SNPP (RFC 1861) paging servers, "
      "failing over between them."};
  app.footer(kExitCodes);
  app.add_option("--server", o.servers,
                 "paging server HOST[:PORT]; repeat for failover, in order (IPv6: [::1]:444; "
                 "default 127.0.0.1)");
  app.add_option("--port", o.port, "TCP port of a --server given without one (default 444)")
      ->check(CLI::Range(1, 65535));
  app.add_option("--timeout", o.timeout, "seconds to wait for the server's greeting (default 20)")
      ->check(CLI::Range(0, 32767));
  app.add_option("--level", o.level,
                 "SNPP level: 1, or 2 and above for level 2 commands (default 3)")
      ->check(CLI::Range(-32768, 32767));
  app.add_option("--pager", o.pagers,
                 "recipient pager id; repeat for several (required unless --pagers-file or "
                 "--settings gives one)");
  app.add_option("--pagers-file", o.pagers_file,
                 "read pager ids from FILE, one a line ('#' comments and blank lines skipped)");
  app.add_option("--message", o.message, "one-line message text");
  app.add_option("--data-file", o.data_file, "multi-line message body from FILE, or - for stdin");
  app.add_option("--login", o.login, "login name (LOGI)");
  app.add_option("--password-file", o.password_file,
                 "read the login password from FILE (or set SNPP_PASSWORD)");
  app.add_option("--coverage", o.coverage, "alternate coverage area (COVE), 1 or more")
      ->check(CLI::Range(1, 32767));
  app.add_option("--service-level", o.service_level, "service level (LEVE), 1 to 11")
      ->check(CLI::Range(1, 11));
  app.add_option("--hold", o.hold, "deliver after YYMMDDHHMMSS [+/-HHMM] (HOLD)");
  app.add_flag("--alert", o.alert, "ask for the alert override (ALER 1)");
  app.add_option("--caller", o.caller, "caller id (CALL)");
  app.add_option("--subject", o.subject, "message subject (SUBJ)");
  app.add_option("--deadline", o.deadline, "seconds the whole run may take")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--concurrency", o.concurrency, "sessions open at once per server")
      ->check(CLI::Range(1, 1000))
      ->capture_default_str();
  app.add_option("--retries", o.retries,
                 "attempts per pager after the first, after connection failures, 4xx replies "
                 "and time-outs")
      ->check(CLI::Range(0, 1000))
      ->capture_default_str();
  app.add_option("--retry-backoff", o.retry_backoff,
                 "seconds before the first retry; doubled each time, at most 30 s, with jitter")
      ->check(CLI::Range(0.0, 3600.0))
      ->capture_default_str();
  app.add_flag("--resend-uncertain", o.resend_uncertain,
               "send again when the connection was lost after SEND (may page twice)");
  app.add_option("--max-length", o.max_length,
                 "at most N characters a page; longer text is cut, ending in \"...\"")
      ->check(CLI::Range(1, 1000000));
  app.add_flag("--split", o.split,
               "with --max-length: send a longer text as numbered pages \"(1/3) ...\", in order");
  app.add_flag("--ascii", o.ascii,
               "replace characters outside printable ASCII (accented letters by their base "
               "letter, others by '?')");
  app.add_flag("-v,--verbose", o.verbose, "show the dialogue on standard error as it happens");
  app.add_flag("--json", o.json,
               "print the outcome as one JSON object (bytes that are not UTF-8 become U+FFFD)");
  app.add_option("--settings", o.settings,
                 "load the control's saved settings from FILE before the options apply");
  app.add_option("--save-settings", o.save_settings,
                 "save the control's settings to FILE after the options apply (owner-only file)");
  app.add_flag("--dry-run", o.dry_run, "apply and save settings, but send nothing");
  o.tls.AddTo(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "snpp-send: " << e.what() << ". Run 'snpp-send --help' for the options."
              << std::endl;
    return kUsage;
  }
  try {
    return Report(o, SendPage(o));
  } catch (const UsageError& e) {
    std::cerr << "snpp-send: " << e.what() << "." << std::endl;
    return kUsage;
  } catch (const RuntimeError& e) {
    // Settings that cannot be loaded or saved are bad input: nothing was sent.
    std::cerr << "snpp-send: " << e.description() << std::endl;
    return kUsage;
  } catch (const std::exception& e) {
    // A fault of ours: say so, and give the failure code rather than die by abort().
    std::cerr << "snpp-send: internal error (" << tools::EscapeControls(e.what())
              << "); the page may or may not have been sent. Please report this." << std::endl;
    return kFailed;
  } catch (...) {
    std::cerr << "snpp-send: internal error; the page may or may not have been sent. Please "
                 "report this."
              << std::endl;
    return kFailed;
  }
}
