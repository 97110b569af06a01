#include "kestrel/relay/texts.hpp"

#include "kestrel/platform/error.hpp"

namespace kestrel::relay {

std::string MaskSecrets(std::string_view text, std::string_view password) {
  constexpr std::string_view kMask = "****";
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (!password.empty() && text.substr(i, password.size()) == password) {
      out += kMask;
      i += password.size();
      continue;
    }
    const bool line_start = i == 0 || text[i - 1] == '\n' || text[i - 1] == ' ' ||
                            text[i - 1] == '"' || text[i - 1] == ':';
    if (line_start && text.substr(i, 5) == "LOGI ") {
      // "LOGI <login> <password>": keep the login, mask the rest of the line.
      const auto login_end = text.find_first_of(" \r\n", i + 5);
      if (login_end != text.npos && text[login_end] == ' ') {
        const auto line_end = text.find_first_of("\r\n", login_end);
        out.append(text.substr(i, login_end - i));
        out += " ";
        out += kMask;
        i = line_end == text.npos ? text.size() : line_end;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

namespace {

// Leaves out every " (...)" that names a flag ("--ca-file"), then a last "; ..." clause that
// still does.
std::string WithoutFlagHints(std::string text) {
  std::size_t from = 0;
  for (auto open = text.find(" (", from); open != text.npos; open = text.find(" (", from)) {
    const auto close = text.find(')', open);
    if (close == text.npos) break;
    if (text.substr(open, close - open).find("--") != std::string::npos) {
      text.erase(open, close - open + 1);
      from = open;
    } else {
      from = open + 1;
    }
  }
  if (const auto flag = text.find(" --"); flag != text.npos) {
    const auto clause = text.rfind("; ", flag);
    text.erase(clause == text.npos ? flag : clause);
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
    text += ".";
  }
  return text;
}

}  // namespace

std::string WithRelayHint(std::string text, std::int32_t error_number) {
  text = WithoutFlagHints(std::move(text));
  const char* hint = nullptr;
  switch (error_number) {
    case err::kTlsUntrusted:
      hint = "give the CA that signed the gateway's certificate in ca_file of its [[gateway]]";
      break;
    case err::kTlsNameMismatch:
      hint = "write the gateway's server as a name its certificate holds";
      break;
    case err::kTlsHandshakeFailed:
      hint = "check tls and the port in the gateway's [[gateway]]";
      break;
    default:
      return text;
  }
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  return text + "; " + hint + ".";
}

}  // namespace kestrel::relay
