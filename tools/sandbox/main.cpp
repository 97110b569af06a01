// snpp-sandbox: runs SandboxServer until SIGINT or SIGTERM.
//
// stdout carries one "READY snpp-sandbox <addr>:<port>" line once the port is bound, then one
// JSON line per page unless --log names a file. Page lines are written from a thread of their
// own: a reader that does not keep up loses lines (counted on stderr), one that goes away is
// reported, and neither stops the server. No page is kept once it is written out. Errors go to
// stderr: exit 2 for bad command-line input, 1 when the server cannot start.

#include <fcntl.h>
#include <unistd.h>
#include <CLI/CLI.hpp>
#include <asio/ip/address.hpp>
#include <asio/signal_set.hpp>
#include <asio/ssl/error.hpp>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>

#include "kestrel/platform/asio_event_loop.hpp"
#include "kestrel/sandbox/sandbox_server.hpp"
#include "src/page_log.hpp"

namespace {

constexpr const char* kName = "snpp-sandbox";

int UsageError(const std::string& what) {
  std::cerr << kName << ": " << what << " (see " << kName << " --help)\n";
  return 2;
}

std::chrono::milliseconds Seconds(double seconds) {
  return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(seconds * 1000.0));
}

// USER:PASSWORD from the first line of a file, so that the password is not on the command line.
std::optional<std::string> ReadLoginFile(const std::string& path, std::string& error) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) {
    error = "--login-file: cannot read '" + path + "'" +
            (errno ? ": " + std::string(std::strerror(errno)) : "");
    return std::nullopt;
  }
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return line;
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
  double command_timeout = 60;
  std::string log_path;
  std::string login;
  std::string login_file;
  bool no_greeting = false;

  app.add_option("--listen", options.listen_address, "IP address to listen on")
      ->type_name("ADDR")
      ->capture_default_str();
  app.add_option("--port", options.port, "TCP port; 0 picks a free one (see the READY line)")
      ->type_name("PORT")
      ->capture_default_str();
  app.add_option("--log", log_path, "Append the page lines to FILE instead of stdout")
      ->type_name("FILE");
  auto* login_option =
      app.add_option("--login", login,
                     "Accept LOGI only with this user and password (visible to every user of "
                     "this machine; prefer --login-file)")
          ->type_name("USER:PASSWORD");
  app.add_option("--login-file", login_file,
                 "Like --login, with USER:PASSWORD read from the first line of FILE")
      ->type_name("FILE")
      ->excludes(login_option);
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
  auto* tls_cert = app.add_option("--tls-cert", options.tls_cert,
                                  "Speak TLS with this certificate (PEM chain); the greeting "
                                  "follows the handshake")
                       ->type_name("FILE")
                       ->check(CLI::ExistingFile);
  app.add_option("--tls-key", options.tls_key,
                 "The certificate's private key (PEM); default: in the --tls-cert file")
      ->type_name("FILE")
      ->check(CLI::ExistingFile)
      ->needs(tls_cert);
  app.add_option("--idle-timeout", idle_timeout,
                 "Say 421 and hang up after this many idle seconds; 0 never")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 86400.0))
      ->capture_default_str();
  app.add_option("--command-timeout", command_timeout,
                 "Say 421 and hang up when a command line is not complete this many seconds "
                 "after its first byte, however busy the client keeps the line; 0 never")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 86400.0))
      ->capture_default_str();
  app.add_option("--max-message", options.max_message,
                 "Refuse a message (MESS text or DATA body) longer than this with 550")
      ->type_name("BYTES")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 30))
      ->capture_default_str();
  app.add_option("--max-sessions", options.max_sessions,
                 "Answer connections beyond this many open ones with 421 and close them")
      ->type_name("N")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20))
      ->capture_default_str();

  // A page log reader that goes away must be an error we report, not a signal that kills us.
  std::signal(SIGPIPE, SIG_IGN);

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
  if (!login_file.empty()) {
    std::string error;
    const auto from_file = ReadLoginFile(login_file, error);
    if (!from_file) return UsageError(error);
    login = *from_file;
    if (login.empty()) return UsageError("--login-file: '" + login_file + "' is empty");
  }
  if (!login.empty()) {
    const auto colon = login.find(':');
    if (colon == 0 || colon == login.npos) {
      // The value is not repeated: it may hold the password.
      return UsageError(std::string(login_file.empty() ? "--login" : "--login-file") +
                        ": expected USER:PASSWORD (a user name, a colon, the password)");
    }
    options.login = kestrel::sandbox::Credentials{login.substr(0, colon), login.substr(colon + 1)};
  }
  options.greeting = !no_greeting;
  options.greet_delay = Seconds(greet_delay);
  options.reply_delay = std::chrono::milliseconds(reply_delay_ms);
  if (options.greet_delay.count() == 0) options.greet_delay = options.reply_delay;
  options.idle_timeout = Seconds(idle_timeout);
  options.command_timeout = Seconds(command_timeout);
  options.keep_pages = false;

  int log_fd = STDOUT_FILENO;
  if (!log_path.empty()) {
    log_fd = ::open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log_fd < 0) {
      return UsageError("--log: cannot open '" + log_path + "': " + std::strerror(errno));
    }
  }
  struct CloseLog {
    int fd;
    ~CloseLog() {
      if (fd != STDOUT_FILENO) ::close(fd);
    }
  } close_log{log_fd};

  kestrel::platform::EventLoop loop;
  const std::string wanted =
      options.listen_address + ":" + std::to_string(static_cast<unsigned>(options.port));
  try {
    kestrel::sandbox::SandboxServer server(loop, std::move(options));
    // Declared after the server, so it is destroyed first: no page arrives once it is gone.
    kestrel::sandbox::PageLog page_log(log_fd, log_path.empty() ? "stdout" : "'" + log_path + "'");
    server.OnPage([&page_log](const kestrel::sandbox::Page& page) {
      page_log.Write(kestrel::sandbox::PageToJson(page) + '\n');
    });

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
    if (e.code().category() == asio::error::get_ssl_category()) {
      std::cerr << kName << ": cannot use the TLS certificate or key: " << e.code().message()
                << "; give a PEM certificate with --tls-cert and its key with --tls-key\n";
      return 1;
    }
    std::cerr << kName << ": cannot listen on " << wanted << ": " << e.code().message() << '\n';
    return 1;
  }
  return 0;
}
