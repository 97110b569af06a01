#include "kestrel/delivery/shown_text.hpp"

#include <array>

namespace kestrel::delivery {

std::string EscapeControls(std::string_view text) {
  static constexpr std::array<char, 16> kDigits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                   '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  const auto escape = [](std::string& out, unsigned char c) {
    out += "\\x";
    out += kDigits[c >> 4];
    out += kDigits[c & 0x0F];
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      escape(out, c);
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // A C1 control in UTF-8 (U+0080..U+009F); U+009B is a one-character escape sequence.
      escape(out, c);
      escape(out, static_cast<unsigned char>(text[++i]));
    } else if (c >= 0x80 && c <= 0x9F) {
      escape(out, c);  // a lone C1 byte, read as a control by terminals that are not UTF-8
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::optional<ControlCharacter> FindControlCharacter(std::string_view text) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) {
      ++line;
    } else if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7F) {
      return ControlCharacter{line, c};
    }
  }
  return std::nullopt;
}

}  // namespace kestrel::delivery
