// fuzz_relay_config: any text as the relay's TOML configuration.
//
// Rules checked:
//   - ParseConfig never throws: anything wrong is a problem in the result
//   - either a configuration and no problem, or problems and no configuration; each problem
//     says something and names a line of the text (or 0, the file as a whole)
//   - a configuration that loads holds what the relay relies on: a gateway at least, each with
//     a host and a concurrency from 1 to 256, a level from 1 to 3; receivers with pagers

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "kestrel/relay/config.hpp"

using kestrel::fuzz::Escaped;
using kestrel::fuzz::Violation;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kestrel::relay::ConfigResult result;
  try {
    // Secret files are not opened: the fuzzer's text names no file of ours.
    result = kestrel::relay::ParseConfig(text, "fuzz.toml", "", false);
  } catch (const std::exception& e) {
    Violation("ParseConfig threw", std::string(e.what()) + " for " + Escaped(text));
  }
  const int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
  if (result.config.has_value() == !result.problems.empty()) {
    Violation("a configuration comes with no problem, problems with no configuration",
              Escaped(text));
  }
  for (const auto& problem : result.problems) {
    if (problem.what.empty() || problem.line < 0 || problem.line > lines) {
      Violation("a problem says what and names a line of the text",
                std::to_string(problem.line) + ": " + problem.what + " for " + Escaped(text));
    }
  }
  if (!result.config) return 0;
  if (result.config->gateways.empty()) Violation("a loaded configuration has a gateway", "");
  for (const auto& gateway : result.config->gateways) {
    if (gateway.host.empty() || gateway.concurrency < 1 || gateway.concurrency > 256 ||
        gateway.level < 1 || gateway.level > 3) {
      Violation("a loaded gateway is usable", gateway.name + " for " + Escaped(text));
    }
  }
  for (const auto& receiver : result.config->receivers) {
    if (receiver.pagers.empty()) Violation("a loaded receiver has pagers", receiver.name);
  }
  return 0;
}
