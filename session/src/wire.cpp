#include "kestrel/session/wire.hpp"

#include <cstddef>

namespace kestrel::session {

namespace {

// Length of the UTF-8 sequence starting at text[i], or 1 when it is not a valid one.
std::size_t CodePointLength(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t len = 1;
  unsigned char min_second = 0x80, max_second = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    if (lead == 0xE0) min_second = 0xA0;  // no overlong forms
    if (lead == 0xED) max_second = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    if (lead == 0xF0) min_second = 0x90;
    if (lead == 0xF4) max_second = 0x8F;
  } else {
    return 1;
  }
  if (i + len > text.size()) return 1;
  for (std::size_t k = 1; k < len; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    const unsigned char lo = k == 1 ? min_second : 0x80;
    const unsigned char hi = k == 1 ? max_second : 0xBF;
    if (c < lo || c > hi) return 1;
  }
  return len;
}

}  // namespace

std::string_view ReplyCode(std::string_view reply) {
  std::size_t end = 0;
  for (int chars = 0; chars < 3 && end < reply.size(); ++chars) end += CodePointLength(reply, end);
  return reply.substr(0, end);
}

bool HasLineBreak(std::string_view text) {
  // Two single-character searches (memchr) beat one search for either character.
  return text.find('\n') != text.npos || text.find('\r') != text.npos;
}

std::string FormatDataBody(std::string_view data) {
  std::string out;
  if (data.empty()) return out;
  out.reserve(data.size() + data.size() / 16 + 4);
  while (!data.empty()) {
    // One line at a time: its text up to the line end, which becomes CR LF.
    const auto end = data.find_first_of("\r\n");
    const std::string_view line = data.substr(0, end);
    if (!line.empty() && line.front() == '.') out += '.';
    out += line;
    out += kCrLf;
    if (end == data.npos) break;
    const bool crlf = data[end] == '\r' && end + 1 < data.size() && data[end + 1] == '\n';
    data.remove_prefix(end + (crlf ? 2 : 1));
  }
  return out;
}

}  // namespace kestrel::session
