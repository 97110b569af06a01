// Fitting a page's text to what a pager shows, with the delivery layer's fitting.

#include <stdexcept>
#include <string>

#include "kestrel/delivery/message.hpp"
#include "kestrel/relay/requests.hpp"

namespace kestrel::relay {

namespace {

bool Continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// `text` cut to at most `max_bytes` bytes at a character boundary, without a mark.
std::string_view Head(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t end = max_bytes;
  while (end > 0 && Continuation(text[end])) --end;
  return text.substr(0, end);
}

// Numbered parts of at most `limit` characters, at most `max_parts` of them: when the whole
// text needs more, the longest cut of it ("...") that fits in max_parts parts.
std::vector<std::string> Parts(std::string_view line, std::size_t limit, std::size_t max_parts) {
  const std::size_t most = max_parts * limit;  // characters the parts can hold, prefixes aside
  // Four bytes a character at most: this head holds more than `most` characters whenever the
  // line does, so every cut below reads the same from it as from the line.
  const std::string_view head = Head(line, 4 * (most + 1));
  auto parts = delivery::Split(delivery::Truncate(head, most), limit);
  if (parts.size() <= max_parts) return parts;
  // The number of parts grows with the cut's length; find the longest cut that fits.
  std::size_t fits = 0;
  std::size_t too_long = most;
  std::vector<std::string> best;
  while (too_long - fits > 1) {
    const std::size_t middle = fits + (too_long - fits) / 2;
    auto tried = delivery::Split(delivery::Truncate(head, middle), limit);
    if (tried.size() <= max_parts) {
      fits = middle;
      best = std::move(tried);
    } else {
      too_long = middle;
    }
  }
  if (best.empty()) best = {delivery::Truncate(head, limit)};
  return best;
}

}  // namespace

std::string CutToBytes(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return std::string(text);
  if (max_bytes < 3) return std::string(Head(text, max_bytes));
  return std::string(Head(text, max_bytes - 3)) + "...";
}

std::vector<std::string> FitText(std::string_view text, int max_length, bool split, bool ascii,
                                 int max_parts) {
  // One line: each run of line breaks and tabs becomes one space; any other control character
  // (NUL, ESC, DEL) a "?", so that nothing in it can end or corrupt a command.
  std::string line;
  line.reserve(text.size());
  for (const char c : text) {
    if (c == '\r' || c == '\n' || c == '\t') {
      if (!line.empty() && line.back() != ' ') line.push_back(' ');
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      line.push_back('?');
    } else {
      line.push_back(c);
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  if (ascii) line = delivery::ToAscii(line);
  std::vector<std::string> parts;
  if (max_length <= 0) {
    parts = {line};
  } else {
    const auto limit = static_cast<std::size_t>(max_length);
    if (split) {
      try {
        parts = Parts(line, limit, static_cast<std::size_t>(std::max(max_parts, 1)));
      } catch (const std::invalid_argument&) {
        // Too short a bound for numbered parts: cut instead.
      }
    }
    if (parts.empty()) parts = {delivery::Truncate(line, limit)};
  }
  for (auto& part : parts) part = CutToBytes(part, kMaxLineBytes);
  return parts;
}

}  // namespace kestrel::relay
