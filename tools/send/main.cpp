// snpp-send: sends one page to one or more pagers through the delivery layer, with failover
// between gateways and retries, and says how it went.
//
// Exit codes (group.hpp has the table): 0 every recipient delivered; 1 none delivered and none
// uncertain; 2 bad usage or input (nothing sent); 3 timed out (one recipient, SEND never
// written); 4 mixed: some delivered, a page of which some parts went out, or any uncertain (a
// page that may have gone out). Uncertain wins over timed out.
//
// The deadline covers the whole run: reading the input (a pipe that does not end in time is
// given up), the sessions, and the goodbye after them.

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
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
#include "kestrel/delivery/pager_id.hpp"
#include "kestrel/delivery/shown_text.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/platform/event_loop.hpp"
#include "kestrel/platform/input_file.hpp"
#include "kestrel/session/snpp_instance.hpp"
#include "kestrel/session/wire.hpp"
#include "options.hpp"
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

using tools::Options;
using Deadline = std::chrono::steady_clock::time_point;

constexpr long kDefaultPort = 444;

// The container the control sits in while its settings are loaded, applied and saved; the
// sessions themselves run in the delivery layer.
class CliSite final : public control::ControlSite {
 public:
  void PropertyChanged(std::string_view) override {}
  void DoEvents() override {}
};

// A file of the user's, bounded in size and read by the deadline; bad input otherwise.
platform::InputFile ReadFile(const std::string& path, const char* what, std::size_t max_bytes,
                             bool dash_is_stdin, Deadline deadline) {
  try {
    return platform::ReadInputFile(path, {.what = what,
                                          .max_bytes = max_bytes,
                                          .dash_is_stdin = dash_is_stdin,
                                          .deadline = deadline});
  } catch (const platform::InputFileError& e) {
    throw UsageError(e.what());
  }
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

// Refuses option values that hold control characters, before anything is applied. Pager ids
// go through the one rule for them (CollectPagers).
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
  for (const auto& server : o.servers) {
    if (HasControlCharacter(server)) refuse("--server");
  }
  for (const auto& [name, value] : options) {
    if (*value && HasControlCharacter(**value)) refuse(name);
  }
}

// The pagers of the run: --pager ids, then the pagers file's, each through the one rule for a
// pager id, each distinct id once, in the order first seen. Says on stderr which ids were
// listed more than once.
std::vector<std::string> CollectPagers(const Options& o, Deadline deadline) {
  std::vector<std::string> all;
  for (const auto& pager : o.pagers) {
    if (const auto problem = delivery::CheckPagerId(pager)) {
      throw UsageError("--pager: " + delivery::Describe(*problem, pager));
    }
    all.push_back(pager);
  }
  if (o.pagers_file) {
    const auto more = tools::ReadPagersFile(*o.pagers_file, deadline);
    if (more.empty() && all.empty()) {
      throw UsageError("the pagers file '" + *o.pagers_file +
                       "' names no pager (only blank lines and '#' comments); give one id a line");
    }
    all.insert(all.end(), more.begin(), more.end());
  }
  auto distinct = tools::Distinct(all);
  if (!distinct.repeated.empty()) {
    std::string which;
    for (const auto& [id, times] : distinct.repeated) {
      which += (which.empty() ? "" : ", ") + id + " (" + std::to_string(times) + " times)";
    }
    std::cerr << "snpp-send: note: " << (distinct.repeated.size() == 1 ? "pager " : "pagers ")
              << which << (distinct.repeated.size() == 1 ? " was" : " were")
              << " listed more than once; each is paged once." << std::endl;
  }
  return std::move(distinct.ids);
}

// The one check, before anything is sent, of every value that will go on the wire, whatever
// its source (options, settings file, password file): a line break or NUL in a one-line value,
// or a control character in the DATA body, would otherwise be refused by the control at its
// command (after LOGI and the password had gone out), or reach the server. The control's own
// refusal stays as the last defence.
void CheckBeforeSending(const Options& o, const std::vector<std::string>& pagers,
                        session::SNPPInstance& c) {
  // What only the wire cannot take: a dry run, which sends nothing, says so and goes on.
  const auto refuse = [&](const std::string& text) {
    if (!o.dry_run) throw UsageError(text);
    std::cerr << "snpp-send: warning: " << text << "; a real run refuses it" << std::endl;
  };
  if (pagers.empty() && !c.get_Recipient().empty()) {
    // The settings file's Recipient: the same rule as any pager id.
    if (const auto problem = delivery::CheckPagerId(c.get_Recipient())) {
      refuse("the settings file's Recipient: " + delivery::Describe(*problem, c.get_Recipient()));
    }
  }
  const std::pair<const char*, String> values[] = {
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
  const bool as_data = c.get_Message().empty() && c.get_SnppLevel() >= 2;
  if (as_data) {
    if (const auto bad = delivery::FindControlCharacter(c.get_Data())) {
      const std::string where = o.data_file
                                    ? (*o.data_file == "-" ? "the data file (standard input)"
                                                           : "the data file '" + *o.data_file + "'")
                                    : "the settings file's Data";
      refuse(where + " line " + std::to_string(bad->line) + " holds a control character (" +
             delivery::EscapeControls(std::string(1, static_cast<char>(bad->byte))) +
             "); a DATA body is text: lines of printable characters and TABs. Remove it");
    }
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

// At SNPP level 1 only PAGE, MESS and SEND go out: a level 2 value given on the command line
// would be dropped without a word, so it is refused; one from a settings file is warned about.
void CheckLevelTwoValues(const Options& o, bool password_given, const session::SNPPInstance& c) {
  const Integer level = c.get_SnppLevel();
  if (level >= 2) return;
  const std::pair<bool, const char*> given[] = {
      {o.login.has_value(), "--login (LOGI)"},
      {password_given, "a password (LOGI)"},
      {o.coverage.has_value(), "--coverage (COVE)"},
      {o.service_level.has_value(), "--service-level (LEVE)"},
      {o.hold.has_value(), "--hold (HOLD)"},
      {o.alert, "--alert (ALER)"},
      {o.caller.has_value(), "--caller (CALL)"},
      {o.subject.has_value(), "--subject (SUBJ)"},
  };
  std::string refused;
  for (const auto& [yes, name] : given) {
    if (yes) refused += (refused.empty() ? "" : ", ") + std::string(name);
  }
  if (!refused.empty()) {
    throw UsageError(refused + " needs SNPP level 2 or more, and SNPP level " +
                     std::to_string(level) + " would not send it; give --level 2, or leave it out");
  }
  const std::pair<bool, const char*> stored[] = {
      {!c.get_LoginName().empty(), "LoginName"},
      {c.get_coverageArea() >= 1, "coverageArea"},
      {c.get_ServiceLevel() >= 1, "ServiceLevel"},
      {!c.get_HoldUntil().empty(), "HoldUntil"},
      {c.get_AlertOverride() != kFalse, "AlertOverride"},
      {!c.get_SenderID().empty(), "SenderID"},
      {!c.get_Subject().empty(), "Subject"},
  };
  std::string dropped;
  for (const auto& [yes, name] : stored) {
    if (yes) dropped += (dropped.empty() ? "" : ", ") + std::string(name);
  }
  if (!dropped.empty()) {
    std::cerr << "snpp-send: warning: the settings file sets " << dropped << ", which SNPP level "
              << level << " does not send; give --level 2 to send them" << std::endl;
  }
}

// Applies the options to the control's properties (the first gateway, the first pager and the
// page); raises UsageError for input that cannot make a valid page, before anything is sent.
void Apply(const Options& o, const std::vector<tools::ServerAddress>& servers,
           const std::vector<std::string>& pagers, session::SNPPInstance& c, Deadline deadline) {
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
    c.put_Data(
        ReadFile(*o.data_file, "the data file", tools::kMaxDataFileBytes, true, deadline).bytes);
  }
  if (o.login) c.put_LoginName(*o.login);
  std::optional<std::string> password;
  if (o.password_file) {
    const auto file = ReadFile(*o.password_file, "the password file", tools::kMaxPasswordFileBytes,
                               false, deadline);
    tools::WarnIfOthersCanRead(*o.password_file, file.mode, "the password file");
    password = Trimmed(file.bytes);
    if (password->empty()) {
      throw UsageError("the password file '" + *o.password_file +
                       "' is empty; put the password on its first line");
    }
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
  CheckLevelTwoValues(o, password.has_value(), c);
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
      // Below four characters there is no room for the dots: say what is sent.
      const std::string cut =
          limit >= 4 ? "it was cut to " + std::to_string(limit) + " characters ending in \"...\""
                     : "it was cut to its first " + std::to_string(limit) +
                           (limit == 1 ? " character" : " characters");
      std::cerr << "snpp-send: warning: the message has " << delivery::CharacterCount(text)
                << " characters, more than --max-length " << limit << "; " << cut
                << ". Use --split to send it as numbered pages." << std::endl;
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
  bool tls = false;
};

// snpp-send's own words for what lower layers report by number: the options that mend it.
std::string OptionHint(std::int32_t number) {
  switch (number) {
    case err::kTlsUntrusted:
      return " Give that CA with --ca-file (or --ca-path).";
    case err::kTlsClientCertificate:
      return " The client certificate and key are --tls-cert and --tls-key.";
    default:
      return "";
  }
}

Run SendPage(const Options& o, Deadline deadline) {
  std::vector<tools::ServerAddress> servers;
  const auto default_port = static_cast<std::uint16_t>(o.port ? *o.port : kDefaultPort);
  for (const auto& s : o.servers) servers.push_back(tools::ParseServer(s, default_port));
  std::vector<std::string> pagers = CollectPagers(o, deadline);

  platform::EventLoop loop;
  CliSite site;
  // Built before anything is sent: a CA file, certificate or key that cannot be used is bad
  // input. One context for the run; every gateway's sockets share it.
  const auto tls = o.tls.Prepare();
  control::SNPPControl ctl(site, platform::MakeAsioSocket(loop), platform::MakeAsioTimer(loop));
  if (o.settings) {
    control::MemoryBag bag = control::settings_file::Load(*o.settings, deadline);
    control::ReadProperties(ctl, bag);
  } else {
    control::InitProperties(ctl);
  }
  session::SNPPInstance& c = ctl.session();
  Apply(o, servers, pagers, c, deadline);
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
    g.batch = o.batch;
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
  // Every gateway's sockets: TLS on the run's context with --tls, the dialogue shown with -v.
  for (auto& g : gateways) {
    g.socket_factory = [&loop, &o, &tls] {
      std::unique_ptr<platform::Socket> socket = tools::TlsOptions::MakeSocket(loop, tls);
      if (o.verbose) {
        socket = std::make_unique<tools::DialogueLog>(
            std::move(socket), [](std::string_view line) { std::cerr << line << std::endl; });
      }
      return socket;
    };
  }

  delivery::Policy policy;
  policy.max_attempts = o.retries + 1;
  policy.first_backoff = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::duration<double>(o.retry_backoff));
  policy.max_backoff = std::chrono::seconds(static_cast<int>(tools::kMaxBackoffSeconds));
  policy.deadline = deadline;  // the run's: reading the input has used some of it already
  policy.greeting_timeout = std::chrono::seconds(c.get_ServerTimeout());
  policy.resend_uncertain = o.resend_uncertain;

  std::vector<std::optional<delivery::RecipientResult>> results(pagers.size());
  delivery::Hooks hooks;
  hooks.on_result = [&](const delivery::RecipientResult& r) { results[r.recipient.index] = r; };
  hooks.on_gateway_notice = [](const delivery::Gateway&, const std::string& text) {
    std::cerr << "snpp-send: note: " << delivery::EscapeControls(text) << std::endl;
  };
  delivery::Delivery group(delivery::OnLoop(loop), std::move(gateways), std::move(hooks));
  try {
    group.Submit(delivery::Request{.page = page, .recipients = pagers, .policy = policy});
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
  const auto left = [&] {
    return std::max(std::chrono::steady_clock::duration::zero(),
                    deadline - std::chrono::steady_clock::now());
  };
  // The deadline inside the policy ends every recipient; the margin only guards against a fault.
  loop.RunUntil([&] { return group.idle(); },
                std::chrono::duration_cast<std::chrono::milliseconds>(left()) + 5s);
  // Let the servers' goodbyes arrive so the sessions end cleanly, within what is left of the
  // deadline: the pages are decided anyway.
  loop.RunUntil([&] { return group.stats().sessions_open == 0; },
                std::min<std::chrono::milliseconds>(
                    2s, std::chrono::duration_cast<std::chrono::milliseconds>(left())));
  group.Stop();
  for (std::size_t i = 0; i < pagers.size(); ++i) {
    if (results[i]) {
      auto& r = *results[i];
      // What the lower layers said, with the options that mend it.
      if (const auto hint = OptionHint(r.error_number); !hint.empty()) {
        r.error += hint;
        r.detail += hint;
      }
      run.results.push_back(std::move(r));
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

// The words of the one-pager report.
std::string OnePagerText(const Options& o, const Run& run) {
  const auto& r = run.results.front();
  if (r.outcome == delivery::Outcome::kDelivered) return Trimmed(r.reply);
  if (delivery::PartlyDelivered(r)) return tools::PartsText(r);
  const std::string where =
      delivery::Gateway{.host = r.host.empty() ? run.server : r.host,
                        .port = static_cast<std::uint16_t>(r.host.empty() ? run.port : r.port)}
          .where();
  using Kind = delivery::AttemptEvidence::Kind;
  // A plain connection that came up and heard nothing may have reached a TLS port.
  const bool silent = r.connected && r.bytes_received == 0;
  if (r.outcome == delivery::Outcome::kUncertain) {
    if (r.ended_by == Kind::kDeadline) {
      std::ostringstream what;
      what << "the " << o.deadline << " s deadline passed after SEND was written to " << where
           << " (last state " << session::ToString(static_cast<Integer>(r.last_state))
           << "); the page may have been delivered; it was not resent. Check with the paging "
              "service before sending again";
      return what.str();
    }
    return Trimmed(r.ended_by == Kind::kError ? r.detail : r.error);
  }
  if (r.ended_by == Kind::kGreetingTimeout) {
    // After several gateways, each one's failure, named; the hint is about the last.
    std::string what = r.gateways_tried > 1 ? r.error : r.detail;
    const std::string hint = run.tls ? "" : tools::PlainToTlsHint({}, silent, true);
    if (!hint.empty() && !what.ends_with('.')) what += '.';
    return what + hint;
  }
  if (r.gateways_tried > 1) return r.error;
  if (r.ended_by == Kind::kDeadline || (r.deadline_passed && r.attempts == 0)) {
    std::ostringstream what;
    what << "no outcome from " << where << " within the " << o.deadline
         << " s deadline (last state " << session::ToString(static_cast<Integer>(r.last_state))
         << "); SEND was not written, so the page was not sent. Check the server, or raise "
            "--deadline";
    return what.str();
  }
  std::string text = Trimmed(r.detail.empty() ? r.error : r.detail);
  if (!run.tls) text += tools::PlainToTlsHint(text, silent, false);
  return text;
}

// The gateway the JSON's top-level "server" and "port" name: the one that delivered the first
// delivered page, else the one the first pager was last tried at, else the first of the list.
std::pair<std::string, Long> ShownGateway(const Run& run) {
  for (const auto& r : run.results) {
    if (r.outcome == delivery::Outcome::kDelivered && !r.host.empty()) return {r.host, r.port};
  }
  for (const auto& r : run.results) {
    if (!r.host.empty()) return {r.host, r.port};
  }
  return {run.server, run.port};
}

// The one-pager report's first word.
const char* OnePagerWord(const delivery::RecipientResult& r) {
  if (r.outcome == delivery::Outcome::kDelivered) return "delivered";
  if (delivery::PartlyDelivered(r)) return "partial";
  return r.outcome == delivery::Outcome::kUncertain ? "uncertain" : "failed";
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
    const auto [server, port] = ShownGateway(run);
    nlohmann::json j = {
        {"outcome", tools::RunOutcome(run.results)},
        {"server", server},
        {"port", port},
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
    std::cout << OnePagerWord(run.results.front()) << ": "
              << tools::EscapeControls(OnePagerText(o, run)) << std::endl;
  } else {
    for (const auto& r : run.results) {
      std::cout << tools::EscapeControls(tools::RecipientLine(r)) << '\n';
    }
    std::cout.flush();
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  // The deadline counts from here: reading the input is part of the run.
  const auto started = std::chrono::steady_clock::now();
  Options o;
  CLI::App app{
      "Send one page to one or more pagers through SNPP (RFC 1861) paging servers, "
      "failing over between them."};
  app.footer(tools::kExitCodes);
  tools::AddOptions(app, o);

  try {
    tools::CheckArguments(app, std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "snpp-send: " << e.what() << ". Run 'snpp-send --help' for the options."
              << std::endl;
    return kUsage;
  } catch (const UsageError& e) {
    std::cerr << "snpp-send: " << e.what() << ". Run 'snpp-send --help' for the options."
              << std::endl;
    return kUsage;
  }
  const Deadline deadline =
      started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(o.deadline));
  try {
    return Report(o, SendPage(o, deadline));
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
