#include "options.hpp"

#include <charconv>
#include <cmath>
#include <map>
#include <sstream>

#include "group.hpp"

namespace kestrel::tools {

namespace {

// "86400 (1 day)", "30", "0.5".
std::string Number(double value) {
  std::ostringstream out;
  out << value;
  if (value == kMaxDeadlineSeconds) out << " (1 day)";
  return out.str();
}

// A number of seconds, finite, above `low` (or from it, when `low_allowed`) and at most `high`.
CLI::Validator Seconds(double low, bool low_allowed, double high) {
  const std::string range = (low_allowed ? "from " : "above ") + Number(low) +
                            (low_allowed ? " to " : " and at most ") + Number(high);
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        double value = 0;
        const char* end = text.data() + text.size();
        const auto [stop, ec] = std::from_chars(text.data(), end, value);
        const bool number = ec == std::errc() && stop == end && std::isfinite(value);
        if (number && (low_allowed ? value >= low : value > low) && value <= high) return "";
        return "must be a number of seconds " + range + ", not '" + text + "'";
      },
      "SECONDS");
}

}  // namespace

void AddOptions(CLI::App& app, Options& o) {
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
                 "--settings gives one); each distinct id is paged once");
  app.add_option("--pagers-file", o.pagers_file,
                 "read pager ids from FILE, one a line ('#' comments and blank lines skipped; at "
                 "most 1 MiB)");
  app.add_option("--message", o.message, "one-line message text");
  app.add_option("--data-file", o.data_file,
                 "multi-line message body from FILE, or - for stdin (at most 1 MiB; text: no "
                 "control characters but TAB)");
  app.add_option("--login", o.login, "login name (LOGI; needs --level 2 or more)");
  app.add_option("--password-file", o.password_file,
                 "read the login password from FILE (or set SNPP_PASSWORD; at most 4 KiB)");
  app.add_option("--coverage", o.coverage, "alternate coverage area (COVE), 1 or more")
      ->check(CLI::Range(1, 32767));
  app.add_option("--service-level", o.service_level, "service level (LEVE), 1 to 11")
      ->check(CLI::Range(1, 11));
  app.add_option("--hold", o.hold, "deliver after YYMMDDHHMMSS [+/-HHMM] (HOLD)");
  app.add_flag("--alert", o.alert, "ask for the alert override (ALER 1)");
  app.add_option("--caller", o.caller, "caller id (CALL)");
  app.add_option("--subject", o.subject, "message subject (SUBJ)");
  app.add_option("--deadline", o.deadline,
                 "seconds the whole run may take, reading input and saying goodbye included "
                 "(above 0, at most 86400)")
      ->check(Seconds(0, false, kMaxDeadlineSeconds))
      ->capture_default_str();
  app.add_option("--concurrency", o.concurrency, "sessions open at once per server")
      ->check(CLI::Range(1, 1000))
      ->capture_default_str();
  app.add_option("--batch", o.batch,
                 "pagers in one session at most (several PAGE, one message, one SEND); 1: a "
                 "session per pager")
      ->check(CLI::Range(1, kMaxBatch))
      ->capture_default_str();
  app.add_option("--retries", o.retries,
                 "attempts per pager after the first, after connection failures, 4xx replies "
                 "and time-outs")
      ->check(CLI::Range(0, 1000))
      ->capture_default_str();
  app.add_option("--retry-backoff", o.retry_backoff,
                 "seconds before the first retry (0 to 30); doubled each time up to 30 s, with "
                 "jitter")
      ->check(Seconds(0, true, kMaxBackoffSeconds))
      ->capture_default_str();
  app.add_flag("--resend-uncertain", o.resend_uncertain,
               "send again when the connection was lost after SEND (may page twice)");
  app.add_option("--max-length", o.max_length,
                 "at most N characters a page; longer text is cut, ending in \"...\" (with N of "
                 "4 or more)")
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
}

void CheckArguments(const CLI::App& app, const std::vector<std::string>& args) {
  std::map<std::string, bool> takes_value;  // "--pager" -> true, "-v" -> false
  for (const CLI::Option* option : app.get_options()) {
    const bool value = option->get_items_expected_min() > 0;
    for (const auto& name : option->get_lnames()) takes_value["--" + name] = value;
    for (const auto& name : option->get_snames()) takes_value["-" + name] = value;
  }
  const auto is_option = [&](const std::string& arg) {
    return takes_value.count(arg.substr(0, arg.find('='))) > 0;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") break;
    const auto eq = arg.find('=');
    if (arg.starts_with("--") && eq != std::string::npos) {
      const auto it = takes_value.find(arg.substr(0, eq));
      if (it != takes_value.end() && it->second && eq + 1 == arg.size()) {
        throw UsageError(it->first + " needs a value; it was given none ('" + arg + "')");
      }
      continue;
    }
    const auto it = takes_value.find(arg);
    if (it == takes_value.end() || !it->second || i + 1 >= args.size()) continue;
    const std::string& value = args[++i];
    if (value.empty()) throw UsageError(arg + " needs a value; it was given an empty one");
    if (is_option(value)) {
      throw UsageError(arg + " needs a value, and " + value + " is an option, not a value (write " +
                       arg + "=VALUE for a value that " + "starts like an option)");
    }
  }
}

const char* const kExitCodes =
    "Exit codes:\n"
    "  0  every pager delivered\n"
    "  1  none delivered and none uncertain (refused or failed)\n"
    "  2  bad usage or input; nothing was sent\n"
    "  3  timed out (one pager): no greeting in time, or no outcome within --deadline, and\n"
    "     SEND was never written\n"
    "  4  mixed: some pagers delivered and some not; partial: some parts of a split page went\n"
    "     out; or any uncertain (the connection was lost, or the deadline passed, after SEND:\n"
    "     the page may have gone out; it is not resent without --resend-uncertain).\n"
    "     Uncertain wins over timed out.\n"
    "\n"
    "Outcomes: delivered (250, 860 or 960 to SEND); refused (a 5xx reply: not retried);\n"
    "failed (connection refused or lost, no greeting, 4xx such as 421 busy, or a time-out,\n"
    "until the attempts or the deadline run out; each retry goes to the next --server after a\n"
    "doubling wait); partial (some parts of a split page delivered, then one was not);\n"
    "uncertain (lost after SEND was written). Each distinct pager id is paged once.";

}  // namespace kestrel::tools
