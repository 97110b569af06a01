// snpp-send: sends one page through the paging control and says how it went.
//
// Exit codes: 0 delivered, 1 refused or failed, 2 bad usage or input (nothing sent),
// 3 timed out (no greeting within --timeout, or no outcome within --deadline).

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#include "dialogue_log.hpp"
#include "kestrel/platform/error.hpp"
#include "kestrel/platform/event_loop.hpp"
#include "kestrel/session/snpp_instance.hpp"
#include "kestrel/session/wire.hpp"

namespace {

using namespace kestrel;
using namespace std::chrono_literals;

enum Exit { kDelivered = 0, kFailed = 1, kUsage = 2, kTimedOut = 3 };

struct Options {
  std::string server = "127.0.0.1";
  long port = 444;
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
};

// The host the control sits in: it records the outcome and runs the loop on DoEvents.
class CliHost final : public platform::ControlHost {
 public:
  explicit CliHost(platform::EventLoop& loop) : loop_(loop) {}
  void PropertyChanged(std::string_view) override {}
  void RaiseEvent(platform::EventId id, String& argument) override {
    if (id == platform::EventId::kOnComplete) {
      delivered = argument;
    } else if (id == platform::EventId::kOnError && !failed) {
      failed = argument;  // the first failure is the one that tells what went wrong
    }
  }
  void DoEvents() override { loop_.Poll(); }
  platform::FontRef AmbientFont() override { return std::make_shared<platform::Font>(); }

  std::optional<String> delivered;
  std::optional<String> failed;

 private:
  platform::EventLoop& loop_;
};

class UsageError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string ReadFile(const std::string& path, const char* what) {
  if (path == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), {});
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read the " + std::string(what) + " '" + path +
                            "'; check the path and its permissions");
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// Applies the options to the control's properties; raises UsageError for input that cannot
// make a valid page, before anything is sent.
void Apply(const Options& o, session::SNPPInstance& c) {
  if (!o.message && !o.data_file) {
    throw UsageError("no message: give --message TEXT, or --data-file FILE for a multi-line body");
  }
  if (o.message && o.data_file) throw UsageError("give either --message or --data-file, not both");
  if (o.message && session::HasLineBreak(*o.message)) {
    throw UsageError("--message holds a line break; a message line is one line. "
                     "Use --data-file for a multi-line body");
  }
  for (const auto* v : {&o.pager, o.login ? &*o.login : nullptr, o.hold ? &*o.hold : nullptr,
                        o.caller ? &*o.caller : nullptr, o.subject ? &*o.subject : nullptr}) {
    if (v && session::HasLineBreak(*v)) {
      throw UsageError("an option value holds a line break; SNPP commands are one line each");
    }
  }
  if (o.data_file && o.level && *o.level < 2) {
    throw UsageError("--data-file needs --level 2 or more (a DATA body is an SNPP level 2 command)");
  }
  c.put_Server(o.server);
  c.put_ServerPort(static_cast<Long>(o.port));
  if (o.timeout) c.put_ServerTimeout(static_cast<Integer>(*o.timeout));
  if (o.level) c.put_SnppLevel(static_cast<Integer>(*o.level));
  c.put_Recipient(o.pager);
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
    if (session::HasLineBreak(*password)) {
      throw UsageError("the password holds a line break; put it on one line");
    }
    c.put_Password(*password);
  }
  if (o.coverage) c.put_coverageArea(static_cast<Integer>(*o.coverage));
  if (o.service_level) c.put_ServiceLevel(static_cast<Integer>(*o.service_level));
  if (o.hold) c.put_HoldUntil(*o.hold);
  if (o.alert) c.put_AlertOverride(kTrue);
  if (o.caller) c.put_SenderID(*o.caller);
  if (o.subject) c.put_Subject(*o.subject);
}

struct Outcome {
  Exit code;
  std::string text;  // the server's reply or what went wrong
  std::optional<Long> error_number;
};

int Report(const Options& o, const Outcome& out) {
  if (o.json) {
    nlohmann::json j = {
        {"outcome", out.code == kDelivered  ? "delivered"
                    : out.code == kTimedOut ? "timeout"
                    : out.code == kUsage    ? "usage"
                                            : "failed"},
        {"server", o.server},
        {"port", o.port},
        {"pager", o.pager},
        {"exitCode", static_cast<int>(out.code)},
    };
    j[out.code == kDelivered ? "reply" : "error"] = out.text;
    if (out.error_number) j["errorNumber"] = *out.error_number;
    std::cout << j.dump() << std::endl;
  } else {
    std::cout << (out.code == kDelivered ? "delivered: " : "failed: ") << out.text << std::endl;
  }
  return out.code;
}

Outcome SendPage(const Options& o) {
  platform::EventLoop loop;
  CliHost host(loop);
  std::unique_ptr<platform::Socket> socket = platform::MakeAsioSocket(loop);
  if (o.verbose) {
    socket = std::make_unique<tools::DialogueLog>(
        std::move(socket), [](std::string_view line) { std::cerr << line << std::endl; });
  }
  session::SNPPInstance control(host, std::move(socket), platform::MakeAsioTimer(loop));
  Apply(o, control);

  const auto deadline = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::duration<double>(o.deadline));
  try {
    control.Send();
  } catch (const RuntimeError& e) {
    return {kFailed, e.description(), e.number()};
  }
  const bool decided =
      loop.RunUntil([&] { return host.delivered || host.failed; }, deadline);
  if (host.delivered) {
    // Let the server's goodbye arrive so the session ends cleanly; the page is delivered anyway.
    loop.RunUntil([&] { return control.sck().State() == platform::SocketState::kClosed; }, 2s);
    control.CloseConnect();
    return {kDelivered, Trimmed(*host.delivered), std::nullopt};
  }
  control.CloseConnect();
  if (!decided) {
    std::ostringstream what;
    what << "no outcome from " << o.server << ':' << o.port << " within the " << o.deadline
         << " s deadline (last state " << session::ToString(control.get_State())
         << "); the page may not have been sent. Check the server, or raise --deadline";
    return {kTimedOut, what.str(), std::nullopt};
  }
  std::string text = Trimmed(*host.failed);
  if (text == session::SNPPInstance::kTimeoutText) {
    std::ostringstream what;
    what << text << " No greeting from " << o.server << ':' << o.port << " within "
         << control.get_ServerTimeout()
         << " s; check --server and --port and that the paging server is running";
    return {kTimedOut, what.str(), std::nullopt};
  }
  std::optional<Long> number;
  if (!control.getLastError().empty() && control.getLastErrorDescription() == *host.failed) {
    number = control.LastErrorNumber();
  }
  return {kFailed, text, number};
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"Send one page to an SNPP (RFC 1861) paging server."};
  app.add_option("--server", o.server, "paging server host name or address")
      ->capture_default_str();
  app.add_option("--port", o.port, "paging server TCP port")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  app.add_option("--timeout", o.timeout, "seconds to wait for the server's greeting (default 20)")
      ->check(CLI::Range(0, 32767));
  app.add_option("--level", o.level, "SNPP level: 1, or 2 and above for level 2 commands (default 3)")
      ->check(CLI::Range(-32768, 32767));
  app.add_option("--pager", o.pager, "recipient pager id")->required();
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
  app.add_flag("--json", o.json, "print the outcome as one JSON object");

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
    return Report(o, {kFailed, e.description(), e.number()});
  }
}
