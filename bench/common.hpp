#pragma once
// Where the benchmarks find the programs they run. Each path is built in at configure time and
// can be overridden from the environment.

#include <cstdlib>
#include <string>

namespace kestrel::bench {

inline std::string ProgramPath(const char* variable, const char* built_in) {
  const char* value = std::getenv(variable);
  return value && *value ? value : built_in;
}

inline std::string SandboxExe() {
  return ProgramPath("KESTREL_SANDBOX", KESTREL_SANDBOX_EXE);
}

}  // namespace kestrel::bench
