// snpp-sandbox: runs SandboxServer until SIGINT or SIGTERM.
//
// stdout carries one "READY snpp-sandbox <addr>:<port>" line once the port is bound, then one
// JSON line per page unless --log names a file. Errors go to stderr: exit 2 for bad command-line
// input, 1 when the server cannot start.

#include <CLI/CLI.hpp>
#include <asio/ip/address.hpp>
#include <asio/signal_set.hpp>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>

#include "kestrel/platform/asio_event_loop.hpp"
#include "kestrel/sandbox/sandbox_server.hpp"

namespace {

constexpr const char* kName = "snpp-sandbox";

int UsageError(const std::string& what) {
  std::cerr << kName << ": " << what << " (see " << kName << " --help)\n";
  return 2;
}

std::chrono::milliseconds Seconds(double seconds) {
  return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(seconds * 1000.0));
}

}  // namespace

int main(int argc, char** argv) {
  using kestrel::sandbox::Options;

  CLI::App app{
      "A loopback SNPP server (RFC 1861, levels 1 and 2) for trying paging clients out. "
      "Pages are not delivered anywhere; each is written as one JSON line.",
      kName};
  Options options;
  double greet_delay = 0;
  double idle_timeout = 300;
  int reply_delay_ms = 0;
  std::string log_path;
  std::string login;
  bool no_greeting = false;

  app.add_option("--listen", options.listen_address, "IP address to listen on")
      ->type_name("ADDR")
      ->capture_default_str();
  app.add_option("--port", options.port, "TCP port; 0 picks a free one (see the READY line)")
      ->type_name("PORT")
      ->capture_default_str();
  app.add_option("--log", log_path, "Append the page lines to FILE instead of stdout")
      ->type_name("FILE");
  app.add_option("--login", login, "Accept LOGI only with this user and password")
      ->type_name("USER:PASSWORD");
  app.add_option("--refuse-pager", options.refused_pagers,
                 "Answer PAGE for this pager ID with 550 (repeatable)")
      ->type_name("ID");
  auto* no_greeting_flag =
      app.add_flag("--no-greeting", no_greeting, "Accept connections but never send the greeting");
  app.add_option("--greet-delay", greet_delay, "Send the greeting this many seconds late")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 86400.0))
      ->excludes(no_greeting_flag);
  app.add_flag("--fail-send", options.fail_send, "Answer every complete SEND with 554");
  app.add_option("--idle-timeout", idle_timeout,
                 "Say 421 and hang up after this many idle seconds; 0 never")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 86400.0))
      ->capture_default_str();

  app.add_option("--reply-delay", reply_delay_ms,
                 "Send every reply MS milliseconds after its command arrived, and the greeting "
                 "MS after the connection was accepted (a gateway on a wide-area network)")
      ->type_name("MS")
      ->check(CLI::Range(0, 600000));
  app.add_option("--fail-first", options.fail_first,
                 "Answer the first N connections with 421 Service unavailable and close them")
      ->type_name("N");
  app.add_flag("--drop-after-send", options.drop_after_send,
               "Log each page at its SEND, then close without replying (a lost reply)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return UsageError(e.what());
  }

  asio::error_code address_error;
  asio::ip::make_address(options.listen_address, address_error);
  if (address_error) {
    return UsageError("--listen: '" + options.listen_address + "' is not an IP address");
  }
  if (!login.empty()) {
    const auto colon = login.find(':');
    if (colon == 0 || colon == login.npos) {
      return UsageError("--login: expected USER:PASSWORD, got '" + login + "'");
    }
    options.login = kestrel::sandbox::Credentials{login.substr(0, colon), login.substr(colon + 1)};
  }
  options.greeting = !no_greeting;
  options.greet_delay = Seconds(greet_delay);
  options.reply_delay = std::chrono::milliseconds(reply_delay_ms);
  if (options.greet_delay.count() == 0) options.greet_delay = options.reply_delay;
  options.idle_timeout = Seconds(idle_timeout);

  std::ofstream log_file;
  if (!log_path.empty()) {
    log_file.open(log_path, std::ios::app);
    if (!log_file) {
      return UsageError("--log: cannot open '" + log_path + "': " + std::strerror(errno));
    }
    options.page_log = &log_file;
  } else {
    options.page_log = &std::cout;
  }

  kestrel::platform::EventLoop loop;
  const std::string wanted =
      options.listen_address + ":" + std::to_string(static_cast<unsigned>(options.port));
  try {
    kestrel::sandbox::SandboxServer server(loop, std::move(options));

    asio::signal_set signals(kestrel::platform::AsioContext(loop), SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code& error, int) {
      if (error) return;
      server.Stop();
      loop.Stop();
    });

    const auto address = server.address();
    const bool v6 = address.find(':') != std::string::npos;
    std::cout << "READY " << kName << ' ' << (v6 ? "[" + address + "]" : address) << ':'
              << server.port() << std::endl;
    loop.Run();
    std::cerr << kName << ": at most " << server.max_session_count()
              << " sessions were open at once" << std::endl;
  } catch (const std::system_error& e) {
    std::cerr << kName << ": cannot listen on " << wanted << ": " << e.code().message() << '\n';
    return 1;
  }
  return 0;
}
