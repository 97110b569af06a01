// snpp-send: sends one page through the paging control and says how it went.
//
// Exit codes: 0 delivered, 1 refused or failed (or an internal error, with a message saying
// so), 2 bad usage or input (nothing sent), 3 timed out (no greeting within --timeout, or no
// outcome within --deadline).

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include "dialogue_log.hpp"
#include "kestrel/control/persistence.hpp"
#include "kestrel/control/snpp_control.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/platform/event_loop.hpp"
#include "kestrel/session/snpp_instance.hpp"
#include "kestrel/session/wire.hpp"

namespace {

using namespace kestrel;
using namespace std::chrono_literals;

enum Exit { kDelivered = 0, kFailed = 1, kUsage = 2, kTimedOut = 3 };

struct Options {
  std::optional<std::string> server;
  std::optional<long> port;
  std::optional<int> timeout;
  std::optional<int> level;
  std::string pager;
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
  bool verbose = false;
  bool json = false;
  std::optional<std::string> settings;
  std::optional<std::string> save_settings;
  bool dry_run = false;

  std::string where(const session::SNPPInstance& c) const {
    return c.get_Server() + ":" + std::to_string(c.get_ServerPort());
  }
};

constexpr long kDefaultPort = 444;

// The container the control sits in: it runs the loop on DoEvents and offers a plain font.
class CliSite final : public control::ControlSite {
 public:
  explicit CliSite(platform::EventLoop& loop) : loop_(loop) {}
  void OnPropertyChanged(std::string_view) override {}
  platform::FontRef AmbientFont() override { return font_; }
  void DoEvents() override { loop_.Poll(); }

 private:
  platform::EventLoop& loop_;
  platform::FontRef font_ = std::make_shared<platform::Font>();
};

// Records the outcome the control reports.
class OutcomeSink final : public control::EventSink {
 public:
  void OnEvent(platform::EventId id, String& argument) override {
    if (id == platform::EventId::kOnComplete) {
      delivered = argument;
    } else if (id == platform::EventId::kOnError && !failed) {
      failed = argument;  // the first failure is the one that tells what went wrong
    }
  }
  std::optional<String> delivered;
  std::optional<String> failed;
};

class UsageError : public std::runtime_error {
  using std::runtime_error::runtime_error;
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
      {"--caller", &o.caller},   {"--subject", &o.subject}, {"--server", &o.server},
  };
  const auto refuse = [](const char* name) {
    throw UsageError(std::string(name) +
                     " holds a control character (a line break, NUL, ESC or the like); "
                     "SNPP values are plain one-line text. Remove it");
  };
  if (HasControlCharacter(o.pager)) refuse("--pager");
  for (const auto& [name, value] : options) {
    if (*value && HasControlCharacter(**value)) refuse(name);
  }
}

// The one check, before anything is sent, of every one-line value that will go on the wire,
// whatever its source (options, settings file, password file): a line break or NUL in any of
// them would otherwise be refused by the control at its command, after LOGI (and the password)
// had gone out. The control's own refusal stays as the last defence.
void CheckBeforeSending(const Options& o, session::SNPPInstance& c) {
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

// Applies the options to the control's properties; raises UsageError for input that cannot
// make a valid page, before anything is sent.
void Apply(const Options& o, session::SNPPInstance& c) {
  if (!o.message && !o.data_file && !o.settings && !o.dry_run) {
    throw UsageError("no message: give --message TEXT, or --data-file FILE for a multi-line body");
  }
  if (o.message && o.data_file) throw UsageError("give either --message or --data-file, not both");
  CheckOptionValues(o);
  if (o.data_file && o.level && *o.level < 2) {
    throw UsageError(
        "--data-file needs --level 2 or more (a DATA body is an SNPP level 2 command)");
  }
  if (o.server) c.put_Server(*o.server);
  if (o.port) {
    c.put_ServerPort(static_cast<Long>(*o.port));
  } else if (!o.settings) {
    c.put_ServerPort(kDefaultPort);
  }
  if (o.timeout) c.put_ServerTimeout(static_cast<Integer>(*o.timeout));
  if (o.level) c.put_SnppLevel(static_cast<Integer>(*o.level));
  if (!o.pager.empty()) c.put_Recipient(o.pager);
  if (c.get_Recipient().empty() && !o.dry_run) {
    throw UsageError("no pager: give --pager ID (or a settings file that holds a Recipient)");
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
  CheckBeforeSending(o, c);
}

struct Outcome {
  Exit code;
  std::string text;  // the server's reply or what went wrong
  std::optional<Long> error_number;
  std::string server;
  Long port = 0;
  std::string pager;
};

// Text that is not UTF-8 (a server reply in Latin-1, a pager id with any byte) cannot go into
// JSON as it is: each invalid byte becomes U+FFFD, the rest of the text stays as it was.
constexpr auto kReplaceInvalidUtf8 = nlohmann::json::error_handler_t::replace;

int Report(const Options& o, const Outcome& out) {
  if (out.code == kDelivered && o.dry_run) {
    if (o.json) {
      std::cout << nlohmann::json{{"outcome", "dry-run"},
                                  {"server", out.server},
                                  {"port", out.port},
                                  {"pager", out.pager},
                                  {"exitCode", 0}}
                       .dump(-1, ' ', false, kReplaceInvalidUtf8)
                << std::endl;
    } else {
      std::cout << "dry run: " << tools::EscapeControls(out.text) << std::endl;
    }
    return kDelivered;
  }
  if (o.json) {
    nlohmann::json j = {
        {"outcome", out.code == kDelivered  ? "delivered"
                    : out.code == kTimedOut ? "timeout"
                    : out.code == kUsage    ? "usage"
                                            : "failed"},
        {"server", out.server},
        {"port", out.port},
        {"pager", out.pager},
        {"exitCode", static_cast<int>(out.code)},
    };
    j[out.code == kDelivered ? "reply" : "error"] = out.text;
    if (out.error_number) j["errorNumber"] = *out.error_number;
    std::cout << j.dump(-1, ' ', false, kReplaceInvalidUtf8) << std::endl;
  } else {
    // The text may come from the server: its control characters are shown, not obeyed.
    std::cout << (out.code == kDelivered ? "delivered: " : "failed: ")
              << tools::EscapeControls(out.text) << std::endl;
  }
  return out.code;
}

Outcome SendPage(const Options& o) {
  platform::EventLoop loop;
  CliSite site(loop);
  std::unique_ptr<platform::Socket> socket = platform::MakeAsioSocket(loop);
  if (o.verbose) {
    socket = std::make_unique<tools::DialogueLog>(
        std::move(socket), [](std::string_view line) { std::cerr << line << std::endl; });
  }
  control::SNPPControl ctl(site, std::move(socket), platform::MakeAsioTimer(loop));
  if (o.settings) {
    control::MemoryBag bag = control::settings_file::Load(*o.settings);
    control::ReadProperties(ctl, bag);
  } else {
    control::InitProperties(ctl);
  }
  session::SNPPInstance& control = ctl.session();
  Apply(o, control);
  if (o.save_settings) {
    control::MemoryBag bag;
    control::WriteProperties(ctl, bag);
    control::settings_file::Save(bag, *o.save_settings);
  }
  const auto outcome = [&](Exit code, std::string text, std::optional<Long> number = {}) {
    return Outcome{code,
                   std::move(text),
                   number,
                   control.get_Server(),
                   control.get_ServerPort(),
                   control.get_Recipient()};
  };
  if (o.dry_run) {
    return outcome(kDelivered, "would send to pager '" + control.get_Recipient() + "' via " +
                                   o.where(control) + " at SNPP level " +
                                   std::to_string(control.get_SnppLevel()) + "; nothing was sent");
  }

  auto sink = std::make_shared<OutcomeSink>();
  ctl.Advise(sink);
  const auto deadline = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::duration<double>(o.deadline));
  try {
    control.Send();
  } catch (const RuntimeError& e) {
    return outcome(kFailed, e.description(), e.number());
  }
  const bool decided = loop.RunUntil([&] { return sink->delivered || sink->failed; }, deadline);
  if (sink->delivered) {
    // Let the server's goodbye arrive so the session ends cleanly; the page is delivered anyway.
    loop.RunUntil([&] { return control.sck().State() == platform::SocketState::kClosed; }, 2s);
    control.CloseConnect();
    return outcome(kDelivered, Trimmed(*sink->delivered));
  }
  control.CloseConnect();
  if (!decided) {
    std::ostringstream what;
    what << "no outcome from " << o.where(control) << " within the " << o.deadline
         << " s deadline (last state " << session::ToString(control.get_State())
         << "); the page may not have been sent. Check the server, or raise --deadline";
    return outcome(kTimedOut, what.str());
  }
  std::string text = Trimmed(*sink->failed);
  if (text == session::SNPPInstance::kTimeoutText) {
    std::ostringstream what;
    what << text << " No greeting from " << o.where(control) << " within "
         << control.get_ServerTimeout()
         << " s; check --server and --port and that the paging server is running";
    return outcome(kTimedOut, what.str());
  }
  std::optional<Long> number;
  if (!control.getLastError().empty() && control.getLastErrorDescription() == *sink->failed) {
    number = control.LastErrorNumber();
  }
  return outcome(kFailed, text, number);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"Send one page to an SNPP (RFC 1861) paging server."};
  app.add_option("--server", o.server, "paging server host name or address (default 127.0.0.1)");
  app.add_option("--port", o.port, "paging server TCP port (default 444)")
      ->check(CLI::Range(1, 65535));
  app.add_option("--timeout", o.timeout, "seconds to wait for the server's greeting (default 20)")
      ->check(CLI::Range(0, 32767));
  app.add_option("--level", o.level,
                 "SNPP level: 1, or 2 and above for level 2 commands (default 3)")
      ->check(CLI::Range(-32768, 32767));
  app.add_option("--pager", o.pager, "recipient pager id (required unless --settings has one)");
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
  app.add_option("--deadline", o.deadline, "seconds to wait for the outcome")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_flag("-v,--verbose", o.verbose, "show the dialogue on standard error as it happens");
  app.add_flag("--json", o.json,
               "print the outcome as one JSON object (bytes that are not UTF-8 become U+FFFD)");
  app.add_option("--settings", o.settings,
                 "load the control's saved settings from FILE before the options apply");
  app.add_option("--save-settings", o.save_settings,
                 "save the control's settings to FILE after the options apply (owner-only file)");
  app.add_flag("--dry-run", o.dry_run, "apply and save settings, but send nothing");

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
