#include "dialogue_log.hpp"

#include <algorithm>
#include <array>

namespace kestrel::tools {

std::string MaskSecrets(std::string_view line) {
  // "LOGI <login> <password>": everything after the second word is the password.
  if (line.size() < 5 || line.substr(0, 5) != "LOGI ") return std::string(line);
  const auto login_end = line.find(' ', 5);
  if (login_end == line.npos) return std::string(line);
  return std::string(line.substr(0, login_end)) + " ****";
}

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

void DialogueLog::Show(std::string_view prefix, Partial& pending, std::string_view bytes) {
  // Each byte is looked at once: the scan starts at the new bytes, never at the line's start.
  while (!bytes.empty()) {
    const auto lf = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, lf);
    const std::size_t room = DialogueLog::kMaxShown - pending.text.size();
    pending.text.append(piece.substr(0, std::min(room, piece.size())));
    if (piece.size() > room) pending.left_out += piece.size() - room;
    if (!piece.empty()) pending.ends_in_cr = piece.back() == '\r';
    if (lf == bytes.npos) return;
    bytes.remove_prefix(lf + 1);
    std::string_view line = pending.text;
    // The CR of the CR LF is no part of the line; when the line was cut, it is left out.
    if (pending.ends_in_cr) {
      if (pending.left_out > 0) {
        --pending.left_out;
      } else {
        line.remove_suffix(1);
      }
    }
    std::string shown = std::string(prefix) + EscapeControls(MaskSecrets(line));
    if (pending.left_out > 0) {
      shown += " [... " + std::to_string(pending.left_out) + " more bytes not shown]";
    }
    sink_(shown);
    pending = Partial{};
  }
}

void DialogueLog::SendData(std::string_view text) {
  ForwardingSocket::SendData(text);
  Show("> ", sent_partial_, text);
}

String DialogueLog::GetData() {
  String data = ForwardingSocket::GetData();
  Show("< ", received_partial_, data);
  return data;
}

}  // namespace kestrel::tools
