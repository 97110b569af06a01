#pragma once
// snpp-send's command line: the options, their checks, and the words of --help.
//
// Every option that takes a value gets a real one: "--pager=" or "--message ''" is refused
// ("--pager needs a value"), and an option is never taken for the value of the option before
// it ("--message --alert"). Numbers are checked for their range, finite ones only, and the
// ranges read as a person would write them.

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

#include "tls_options.hpp"

namespace kestrel::tools {

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
  int batch = 25;
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
  TlsOptions tls;
};

inline constexpr double kMaxDeadlineSeconds = 86400;  // one day
inline constexpr double kMaxBackoffSeconds = 30;      // the longest wait between attempts
inline constexpr int kMaxBatch = 1000;                // pagers in one session, at most

// The sizes of the files snpp-send reads.
inline constexpr std::size_t kMaxDataFileBytes = 1 << 20;
inline constexpr std::size_t kMaxPagersFileBytes = 1 << 20;
inline constexpr std::size_t kMaxPasswordFileBytes = 4096;
inline constexpr std::size_t kMaxTlsFileBytes = 1 << 20;

// Adds every option, with its checks, to `app`; the values land in `o`.
void AddOptions(CLI::App& app, Options& o);

// Before parsing: refuses an empty value ("--pager=", "--message ''") and an option given as the
// value of another ("--message --alert"). Throws UsageError.
void CheckArguments(const CLI::App& app, const std::vector<std::string>& args);

// The footer of --help: what each exit code and outcome means.
extern const char* const kExitCodes;

}  // namespace kestrel::tools
