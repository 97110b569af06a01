#include "dialogue_log.hpp"

namespace kestrel::tools {

std::string MaskSecrets(std::string_view line) {
  // "LOGI <login> <password>": everything after the second word is the password.
  if (line.size() < 5 || line.substr(0, 5) != "LOGI ") return std::string(line);
  const auto login_end = line.find(' ', 5);
  if (login_end == line.npos) return std::string(line);
  return std::string(line.substr(0, login_end)) + " ****";
}

void DialogueLog::Show(std::string_view prefix, std::string& pending, std::string_view bytes) {
  pending.append(bytes);
  std::size_t start = 0;
  for (auto lf = pending.find('\n'); lf != pending.npos; lf = pending.find('\n', start)) {
    std::string_view line(pending.data() + start, lf - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    sink_(std::string(prefix) + MaskSecrets(line));
    start = lf + 1;
  }
  pending.erase(0, start);
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
