#pragma once
// What the fuzz targets share: an invariant check that stops the run with a readable message.
//
// libFuzzer treats the abort as a crash and saves the input, so every broken invariant leaves a
// reproducer behind; the message says which rule was broken and what was seen.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace kestrel::fuzz {

// Bytes as C-escaped text, shortened to `limit` characters, for messages.
inline std::string Escaped(std::string_view bytes, std::size_t limit = 200) {
  std::string out;
  for (const char ch : bytes) {
    if (out.size() >= limit) {
      out += "...";
      break;
    }
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out;
}

[[noreturn]] inline void Violation(const char* rule, const std::string& detail) {
  std::fprintf(stderr, "\n*** invariant broken: %s\n    %s\n", rule, detail.c_str());
  std::abort();
}

}  // namespace kestrel::fuzz

// Aborts with the rule's text when `cond` does not hold; `detail` is only built on failure.
#define KESTREL_FUZZ_CHECK(cond, rule, detail)                 \
  do {                                                         \
    if (!(cond)) ::kestrel::fuzz::Violation((rule), (detail)); \
  } while (false)
