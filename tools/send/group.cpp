#include "group.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>

namespace kestrel::tools {

namespace {

std::string Where(const delivery::RecipientResult& r) {
  return delivery::Gateway{.host = r.host, .port = r.port}.where();
}

std::string Strip(std::string_view s) {
  const auto begin = s.find_first_not_of(" \t\r");
  if (begin == s.npos) return {};
  const auto end = s.find_last_not_of(" \t\r");
  return std::string(s.substr(begin, end - begin + 1));
}

}  // namespace

ServerAddress ParseServer(std::string_view text, std::uint16_t default_port) {
  const std::string shown(text);
  ServerAddress out{{}, default_port};
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == text.npos) {
      throw UsageError("--server '" + shown + "': an IPv6 address in brackets needs its ']'");
    }
    out.host = std::string(text.substr(1, close - 1));
    const auto rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        throw UsageError("--server '" + shown + "': expected [ADDRESS]:PORT");
      }
      port = rest.substr(1);
    }
  } else if (std::count(text.begin(), text.end(), ':') == 1) {
    const auto colon = text.find(':');
    out.host = std::string(text.substr(0, colon));
    port = text.substr(colon + 1);
  } else {
    out.host = std::string(text);  // a host name, an IPv4 address, or a bare IPv6 address
  }
  if (out.host.empty()) throw UsageError("--server '" + shown + "': no host name or address");
  if (out.host.find_first_of(" \t\r\n") != std::string::npos) {
    throw UsageError("--server '" + shown + "': a host name holds no spaces");
  }
  if (port.data() != nullptr) {  // a port was written, perhaps an empty one
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value < 1 ||
        value > 65535) {
      throw UsageError("--server '" + shown + "': the port must be a number from 1 to 65535");
    }
    out.port = static_cast<std::uint16_t>(value);
  }
  return out;
}

std::vector<std::string> ReadPagersFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw UsageError("cannot read the pagers file '" + path +
                     "'; check the path and its permissions");
  }
  std::vector<std::string> ids;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string id = Strip(line);
    if (id.empty() || id.front() == '#') continue;
    if (id.find_first_of(" \t") != std::string::npos) {
      throw UsageError("the pagers file '" + path + "' line " + std::to_string(number) +
                       " holds more than one word; give one pager id a line");
    }
    ids.push_back(id);
  }
  return ids;
}

Exit ExitCode(const std::vector<delivery::RecipientResult>& results) {
  using delivery::Outcome;
  const auto count = [&](Outcome o) {
    return std::count_if(results.begin(), results.end(),
                         [o](const auto& r) { return r.outcome == o; });
  };
  const auto delivered = count(Outcome::kDelivered);
  if (delivered == static_cast<long>(results.size())) return kDelivered;
  if (results.size() == 1) {
    const auto& r = results.front();
    if (r.timed_out || (r.deadline_passed && r.attempts == 0)) return kTimedOut;
    return r.outcome == Outcome::kUncertain ? kMixed : kFailed;
  }
  if (delivered > 0 || count(Outcome::kUncertain) > 0) return kMixed;
  return kFailed;
}

const char* RunOutcome(const std::vector<delivery::RecipientResult>& results) {
  const bool any_uncertain = std::any_of(results.begin(), results.end(), [](const auto& r) {
    return r.outcome == delivery::Outcome::kUncertain;
  });
  switch (ExitCode(results)) {
    case kDelivered:
      return "delivered";
    case kTimedOut:
      return "timeout";
    case kMixed:
      return any_uncertain ? "uncertain" : "partial";
    default:
      return "failed";
  }
}

std::string RecipientLine(const delivery::RecipientResult& r) {
  const std::string& pager = r.recipient.pager;
  switch (r.outcome) {
    case delivery::Outcome::kDelivered:
      return "delivered " + pager + " via " + Where(r) + " (attempt " + std::to_string(r.attempts) +
             "): " + r.reply;
    case delivery::Outcome::kRefused:
      return "refused " + pager + " via " + Where(r) + ": " + r.error;
    case delivery::Outcome::kUncertain:
      return "uncertain " + pager + " via " + Where(r) + ": " + r.error;
    case delivery::Outcome::kFailed:
      break;
  }
  return "failed " + pager + " after " + std::to_string(r.attempts) +
         (r.attempts == 1 ? " attempt: " : " attempts: ") + r.error;
}

nlohmann::json RecipientJson(const delivery::RecipientResult& r) {
  nlohmann::json j = {{"pager", r.recipient.pager},
                      {"outcome", delivery::ToString(r.outcome)},
                      {"server", r.host},
                      {"port", r.port},
                      {"attempts", r.attempts}};
  if (r.outcome == delivery::Outcome::kDelivered) {
    j["reply"] = r.reply;
  } else {
    j["error"] = r.error;
  }
  return j;
}

}  // namespace kestrel::tools
