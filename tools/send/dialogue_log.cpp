#include "dialogue_log.hpp"

#include <algorithm>

namespace kestrel::tools {

std::string MaskSecrets(std::string_view line) {
  // "LOGI <login> <password>": everything after the second word is the password.
  if (line.size() < 5 || line.substr(0, 5) != "LOGI ") return std::string(line);
  const auto login_end = line.find(' ', 5);
  if (login_end == line.npos) return std::string(line);
  return std::string(line.substr(0, login_end)) + " ****";
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
