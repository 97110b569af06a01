// Fitting a page's text to what a pager shows, with the delivery layer's fitting.

#include <stdexcept>
#include <string>

#include "kestrel/delivery/message.hpp"
#include "kestrel/relay/requests.hpp"

namespace kestrel::relay {

std::vector<std::string> FitText(std::string_view text, int max_length, bool split, bool ascii) {
  // One line: each run of line breaks and tabs becomes one space.
  std::string line;
  line.reserve(text.size());
  for (const char c : text) {
    if (c == '\r' || c == '\n' || c == '\t') {
      if (!line.empty() && line.back() != ' ') line.push_back(' ');
    } else {
      line.push_back(c);
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  if (ascii) line = delivery::ToAscii(line);
  if (max_length <= 0) return {line};
  const auto limit = static_cast<std::size_t>(max_length);
  if (split) {
    try {
      return delivery::Split(line, limit);
    } catch (const std::invalid_argument&) {
      // Too short a bound for numbered parts: cut instead.
    }
  }
  return {delivery::Truncate(line, limit)};
}

}  // namespace kestrel::relay
