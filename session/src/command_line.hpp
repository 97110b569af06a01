#pragma once
// The outgoing command line, shared by the session types: the one-line check on a parameter and
// the line as written (word, one space, parameter, CR LF).

#include <optional>
#include <string>
#include <string_view>

#include "kestrel/platform/error.hpp"
#include "kestrel/session/messages.hpp"
#include "kestrel/session/wire.hpp"

namespace kestrel::session::detail {

// Raises the line-break error, naming the property, when the value holds a CR, LF or NUL: it
// would end the command early, or inject one of its own.
inline void CheckOneLine(std::string_view value, std::string_view property) {
  // A NUL is refused like a line break: a server written in C would cut the command short at it.
  if (HasLineBreak(value)) {
    throw RuntimeError(err::kLineBreakInParameter, messages::LineBreakInParameter(property));
  }
  if (value.find('\0') != value.npos) {
    throw RuntimeError(err::kLineBreakInParameter, messages::NulInParameter(property));
  }
}

// "word" or "word parameter", with its CR LF: one write.
inline std::string CommandLine(std::string_view word,
                               std::optional<std::string_view> parameter = {}) {
  std::string line;
  line.reserve(word.size() + 1 + (parameter ? parameter->size() : 0) + kCrLf.size());
  line += word;
  if (parameter) {
    line += ' ';
    line += *parameter;
  }
  line += kCrLf;
  return line;
}

}  // namespace kestrel::session::detail
