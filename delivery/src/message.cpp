#include "kestrel/delivery/message.hpp"

#include <stdexcept>

namespace kestrel::delivery {

namespace {

// Decodes the code point at `pos`; returns its length in bytes, or 0 when the bytes there are
// not valid UTF-8 (the caller then takes one byte).
std::size_t Decode(std::string_view s, std::size_t pos, char32_t& cp) {
  const auto b = static_cast<unsigned char>(s[pos]);
  std::size_t len = 0;
  if (b < 0x80) {
    cp = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    len = 2;
    cp = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3;
    cp = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4;
    cp = b & 0x07;
  } else {
    return 0;
  }
  if (pos + len > s.size()) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    const auto c = static_cast<unsigned char>(s[pos + i]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  // Overlong forms and surrogates are not characters.
  if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
      (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
    return 0;
  }
  return len;
}

std::size_t Step(std::string_view s, std::size_t pos) {
  char32_t cp = 0;
  const std::size_t len = Decode(s, pos, cp);
  return len == 0 ? 1 : len;
}

// Byte offsets of every character's start, plus the end.
std::vector<std::size_t> Starts(std::string_view s) {
  std::vector<std::size_t> starts;
  for (std::size_t pos = 0; pos < s.size(); pos += Step(s, pos)) starts.push_back(pos);
  starts.push_back(s.size());
  return starts;
}

std::size_t Digits(std::size_t n) {
  std::size_t d = 1;
  while (n >= 10) {
    n /= 10;
    ++d;
  }
  return d;
}

// Base letters of U+00C0..U+00FF and U+0100..U+017F. Placeholders stand for two letters.
constexpr std::string_view kLatin1 =
    "AAAAAA*CEEEEIIII"
    "DNOOOOO?OUUUUY()"
    "aaaaaa+ceeeeiiii"
    "dnooooo?ouuuuy[y";
constexpr std::string_view kLatinExtendedA =
    "AaAaAaCcCcCcCcDd"
    "DdEeEeEeEeEeGgGg"
    "GgGgHhHhIiIiIiIi"
    "Ii#$JjKkkLlLlLlL"
    "lLlNnNnNnnNnOoOo"
    "Oo%&RrRrRrSsSsSs"
    "SsTtTtTtUuUuUuUu"
    "UuUuWwYyYZzZzZzs";

std::string_view Expand(char c) {
  switch (c) {
    case '*':
      return "AE";
    case '+':
      return "ae";
    case '(':
      return "TH";
    case ')':
      return "ss";
    case '[':
      return "th";
    case '#':
      return "IJ";
    case '$':
      return "ij";
    case '%':
      return "OE";
    case '&':
      return "oe";
    default:
      return {};
  }
}

}  // namespace

std::size_t CharacterCount(std::string_view text) {
  return Starts(text).size() - 1;
}

std::string Truncate(std::string_view text, std::size_t max_chars) {
  const auto starts = Starts(text);
  const std::size_t count = starts.size() - 1;
  if (count <= max_chars) return std::string(text);
  if (max_chars < 4) return std::string(text.substr(0, starts[max_chars]));
  return std::string(text.substr(0, starts[max_chars - 3])) + "...";
}

std::vector<std::string> Split(std::string_view text, std::size_t max_chars) {
  const auto starts = Starts(text);
  const std::size_t count = starts.size() - 1;
  if (count <= max_chars) return {std::string(text)};
  const auto is_space = [&](std::size_t i) { return text[starts[i]] == ' '; };
  std::size_t parts = 2;
  for (;;) {
    const std::size_t prefix = 4 + 2 * Digits(parts);  // "(i/n) " at its longest
    if (max_chars <= prefix) {
      throw std::invalid_argument("the length limit leaves no room for text after the part number");
    }
    const std::size_t room = max_chars - prefix;
    std::vector<std::pair<std::size_t, std::size_t>> chunks;  // character ranges
    std::size_t pos = 0;
    while (pos < count) {
      if (count - pos <= room) {
        chunks.emplace_back(pos, count);
        break;
      }
      std::size_t cut = pos + room;  // the first character that does not fit
      std::size_t next = cut;
      const std::size_t near = cut - room / 4;
      for (std::size_t i = cut; i > pos && i >= near; --i) {
        if (is_space(i)) {
          cut = i;
          next = i + 1;
          break;
        }
      }
      chunks.emplace_back(pos, cut);
      pos = next;
    }
    if (Digits(chunks.size()) > Digits(parts)) {
      parts = chunks.size();  // longer numbers, less room: try again
      continue;
    }
    std::vector<std::string> out;
    const std::string total = std::to_string(chunks.size());
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      const auto [from, to] = chunks[i];
      // Appended piece by piece: GCC 12 at -O3 misreads a chain of string + as overlapping
      // copies (-Wrestrict).
      std::string part = "(";
      part += std::to_string(i + 1);
      part += '/';
      part += total;
      part += ") ";
      part += text.substr(starts[from], starts[to] - starts[from]);
      out.push_back(std::move(part));
    }
    return out;
  }
}

std::string ToAscii(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    char32_t cp = 0;
    const std::size_t len = Decode(text, pos, cp);
    pos += len == 0 ? 1 : len;
    if (len == 0) {
      out += '?';
    } else if ((cp >= 0x20 && cp < 0x7F) || cp == '\n' || cp == '\r') {
      out += static_cast<char>(cp);
    } else if (cp >= 0xC0 && cp <= 0x17F) {
      const char base = cp < 0x100 ? kLatin1[cp - 0xC0] : kLatinExtendedA[cp - 0x100];
      const auto two = Expand(base);
      if (two.empty()) {
        out += base;
      } else {
        out += two;
      }
    } else {
      out += '?';
    }
  }
  return out;
}

}  // namespace kestrel::delivery
