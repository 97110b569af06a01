// snpp-relay: accepts pages over HTTP, keeps them in a durable outbox and delivers them to SNPP
// gateways, retrying until they go out or expire.
//
//   snpp-relay --config FILE        runs in the foreground; one log line per event on stderr
//   snpp-relay check-config FILE    reports every problem of the file with its line
//   snpp-relay pages ... / gateways the operator commands (operator_cli.hpp)
//   snpp-relay migrate FILE         creates or updates the outbox's schema, then exits
//   snpp-relay --migrate --config FILE   the same, then runs
//
// stdout carries one "READY snpp-relay <addr>:<port>" line once the API listens. SIGTERM (or
// SIGINT) stops accepting, lets the sessions under way finish for [relay] shutdown_grace and
// exits 0; SIGHUP reads the configuration again. Exit 2: bad usage or configuration; 1: the
// relay could not start (outbox, its schema, or listening address).

#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <asio/signal_set.hpp>
#include <chrono>
#include <csignal>
#include <iostream>

#include "http_api.hpp"
#include "kestrel/delivery/shown_text.hpp"
#include "kestrel/outbox/sqlite_store.hpp"
#include "kestrel/platform/asio_event_loop.hpp"
#include "kestrel/relay/config.hpp"
#include "kestrel/relay/dispatcher.hpp"
#include "operator_cli.hpp"
#include "outbox_open.hpp"

namespace {

constexpr const char* kName = "snpp-relay";

// Every log line goes out here. Pager ids, replies and other outside text may hold control
// characters: they are shown escaped ("\x1b"), so that none can forge a line or drive a terminal.
void Log(const std::string& line) {
  std::cerr << kName << ": " << kestrel::delivery::EscapeControls(line) << '\n';
}

void PrintProblems(const std::string& path, std::vector<kestrel::relay::ConfigProblem> problems,
                   const char* kind = "") {
  std::stable_sort(problems.begin(), problems.end(),
                   [](const auto& a, const auto& b) { return a.line < b.line; });
  for (const auto& problem : problems) {
    std::cerr << kestrel::delivery::EscapeControls(path);
    if (problem.line > 0) std::cerr << ':' << problem.line;
    std::cerr << ": " << kind << kestrel::delivery::EscapeControls(problem.what) << '\n';
  }
}

// The open-file limit, against what the relay may hold open at once: HTTP connections, one
// socket a gateway session, and a margin for the outbox, the loop and the log.
void CheckFileLimit(const kestrel::relay::RelayConfig& config) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  std::size_t sessions = 0;
  for (const auto& gateway : config.gateways) {
    sessions += static_cast<std::size_t>(gateway.concurrency);
  }
  const std::size_t wanted = config.max_connections + sessions + 64;
  if (limit.rlim_cur < wanted) {
    Log("warning: the open-file limit is " + std::to_string(limit.rlim_cur) + ", below the " +
        std::to_string(wanted) + " that max_connections (" +
        std::to_string(config.max_connections) + ") and " + std::to_string(sessions) +
        " gateway session(s) may need; raise it (LimitNOFILE in the unit) or lower "
        "max_connections");
  }
}

int CheckConfig(const std::string& path) {
  const auto result = kestrel::relay::LoadConfig(path);
  PrintProblems(path, result.warnings, "warning: ");
  if (!result.config) {
    PrintProblems(path, result.problems);
    std::cerr << path << ": " << result.problems.size() << " problem(s)\n";
    return 2;
  }
  std::cout << path << ": ok (" << result.config->gateways.size() << " gateway(s), "
            << result.config->receivers.size() << " receiver(s))\n";
  return 0;
}

kestrel::relay::DispatchSettings DispatchSettingsOf(const kestrel::relay::RelayConfig& config) {
  kestrel::relay::DispatchSettings settings;
  settings.gateways = config.gateways;
  settings.retry = {config.backoff, config.max_backoff};
  settings.retain = config.retain;
  return settings;
}

kestrel::outbox::Millis WallClock() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The outbox's schema made current, for `snpp-relay migrate FILE`.
int MigrateOutbox(const std::string& path) {
  using namespace kestrel;
  auto loaded = relay::LoadConfig(path);
  if (!loaded.config) {
    PrintProblems(path, loaded.problems);
    return 2;
  }
  platform::EventLoop loop;
  const auto opened = relay::OpenOutbox(*loaded.config, loop, /*migrate=*/true, WallClock);
  if (!opened.store) {
    std::cerr << kName << ": " << opened.error << '\n';
    return 1;
  }
  std::cout << path << ": " << opened.schema << '\n';
  return 0;
}

int Run(const std::string& path, bool migrate) {
  using namespace kestrel;
  auto loaded = relay::LoadConfig(path);
  PrintProblems(path, loaded.warnings, "warning: ");
  if (!loaded.config) {
    PrintProblems(path, loaded.problems);
    return 2;
  }
  relay::RelayConfig config = std::move(*loaded.config);
  CheckFileLimit(config);
  // A file-size limit (ulimit -f, LimitFSIZE=) is a full disk to the outbox: a write beyond it
  // must fail and be answered with 503, not kill the relay with SIGXFSZ.
  std::signal(SIGXFSZ, SIG_IGN);

  platform::EventLoop loop;
  auto opened = relay::OpenOutbox(config, loop, migrate, WallClock);
  if (!opened.store) {
    std::cerr << kName << ": " << opened.error << '\n';
    return 1;
  }
  if (migrate) Log(opened.schema);
  std::unique_ptr<outbox::Store> store = std::move(opened.store);

  relay::Metrics metrics;
  relay::DispatchHooks hooks;
  hooks.log = Log;
  hooks.attempt_started = [&metrics] { metrics.Attempt(); };
  hooks.outcome = [&metrics](outbox::RecipientState state, double seconds) {
    metrics.Outcome(state);
    if (state == outbox::RecipientState::kDelivered || state == outbox::RecipientState::kDegraded) {
      metrics.Delivered(seconds);
    }
  };
  relay::Dispatcher dispatcher(relay::OnLoop(loop), *store, std::move(hooks));
  dispatcher.Configure(DispatchSettingsOf(config));
  // Another relay on the same outbox made work ready (a shared outbox only).
  store->OnWake([&dispatcher] { dispatcher.Wake(); });
  relay::HttpApi api(
      loop,
      {*store, dispatcher, metrics, Log, [&]() -> const relay::RelayConfig& { return config; },
       [&] { return dispatcher.in_flight(); },
       [&](outbox::Callback<outbox::Readiness> done) { store->Probe(std::move(done)); },
       [&](std::int64_t bytes) { return relay::OutboxLimit(config, bytes); }});
  try {
    api.Open(config.listen_host, config.listen_port, config.max_connections);
  } catch (const std::exception& e) {
    std::cerr << kName << ": cannot listen on " << config.listen_host << ':' << config.listen_port
              << ": " << e.what() << " (is another program on that port? change [relay] listen)\n";
    return 1;
  }
  dispatcher.Start();
  const bool v6 = config.listen_host.find(':') != std::string::npos;
  const std::string where =
      (v6 ? "[" + config.listen_host + "]" : config.listen_host) + ":" + std::to_string(api.port());
  Log("listening on " + where + " with " + std::to_string(config.gateways.size()) +
      " gateway(s); " + opened.description);
  std::cout << "READY " << kName << ' ' << where << std::endl;

  asio::signal_set signals(platform::AsioContext(loop), SIGINT, SIGTERM, SIGHUP);
  bool stopping = false;
  std::function<void(const asio::error_code&, int)> on_signal = [&](const asio::error_code& error,
                                                                    int number) {
    if (error) return;
    if (number == SIGHUP) {
      auto reloaded = relay::LoadConfig(path);
      PrintProblems(path, reloaded.warnings, "warning: ");
      if (!reloaded.config) {
        Log("reload: the configuration has problems; keeping the one in force");
        PrintProblems(path, reloaded.problems);
      } else {
        if (reloaded.config->listen_host != config.listen_host ||
            reloaded.config->listen_port != config.listen_port ||
            reloaded.config->outbox != config.outbox ||
            reloaded.config->outbox_conninfo != config.outbox_conninfo ||
            reloaded.config->lease_ttl != config.lease_ttl ||
            reloaded.config->max_connections != config.max_connections) {
          Log("reload: listen, outbox and max_connections changes take effect at the next start");
          reloaded.config->listen_host = config.listen_host;
          reloaded.config->listen_port = config.listen_port;
          reloaded.config->outbox = config.outbox;
          reloaded.config->outbox_conninfo = config.outbox_conninfo;
          reloaded.config->lease_ttl = config.lease_ttl;
          reloaded.config->max_connections = config.max_connections;
        }
        config = std::move(*reloaded.config);
        dispatcher.Configure(DispatchSettingsOf(config));
        Log("reload: configuration read again (" + std::to_string(config.gateways.size()) +
            " gateway(s), " + std::to_string(config.receivers.size()) + " receiver(s))");
      }
      signals.async_wait(on_signal);
      return;
    }
    if (stopping) return;
    stopping = true;
    Log("stopping: no new requests; waiting up to " + std::to_string(config.shutdown_grace) +
        " ms for " + std::to_string(dispatcher.in_flight()) + " session(s) under way");
    api.Close();
    dispatcher.Drain(config.shutdown_grace, [&] {
      Log("stopped");
      loop.Stop();
    });
    signals.async_wait(on_signal);
  };
  signals.async_wait(on_signal);
  loop.Run();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "A paging relay: accepts pages over HTTP (and Alertmanager's webhook), keeps them in a "
      "durable outbox and delivers them to SNPP gateways, retrying until they go out or expire.",
      kName};
  std::string config_path;
  app.add_option("--config", config_path, "The relay's TOML configuration file")->type_name("FILE");
  std::string check_path;
  auto* check = app.add_subcommand("check-config",
                                   "Report every problem of a configuration file with its line; "
                                   "exit 0 when there is none, 2 otherwise");
  check->add_option("file", check_path, "The configuration file")->required()->type_name("FILE");
  kestrel::relay::OperatorCommands operator_commands(app, config_path);
  std::string migrate_path;
  auto* migrate = app.add_subcommand(
      "migrate",
      "Create or update the outbox's schema to the version this relay knows, then exit 0; a "
      "schema a newer relay made is left alone (exit 1)");
  migrate->add_option("file", migrate_path, "The configuration file")
      ->required()
      ->type_name("FILE");
  bool migrate_first = false;
  app.add_flag("--migrate", migrate_first,
               "Create or update the outbox's schema before starting (without it, a relay "
               "refuses an outbox whose schema is not the one it knows)");
  app.footer(
      "Exit status: 0 stopped by SIGTERM, a good check or a migration done; 1 could not start "
      "(outbox, its schema, listening address); 2 bad usage or configuration.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << kName << ": " << e.what() << " (see " << kName << " --help)\n";
    return 2;
  }
  if (auto code = operator_commands.Run(std::cout, std::cerr)) return *code;
  if (*check) return CheckConfig(check_path);
  if (*migrate) return MigrateOutbox(migrate_path);
  if (config_path.empty()) {
    std::cerr << kName << ": --config FILE is needed (see " << kName << " --help)\n";
    return 2;
  }
  return Run(config_path, migrate_first);
}
