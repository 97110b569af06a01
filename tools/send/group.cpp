#include "group.hpp"

#include <algorithm>
#include <charconv>
#include <map>
#include <sstream>

#include "kestrel/delivery/pager_id.hpp"
#include "kestrel/platform/input_file.hpp"
#include "options.hpp"

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

std::vector<std::string> ReadPagersFile(
    const std::string& path, std::optional<std::chrono::steady_clock::time_point> deadline) {
  std::string text;
  try {
    text = platform::ReadInputFile(
               path,
               {.what = "the pagers file", .max_bytes = kMaxPagersFileBytes, .deadline = deadline})
               .bytes;
  } catch (const platform::InputFileError& e) {
    throw UsageError(e.what());
  }
  std::vector<std::string> ids;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string id = Strip(line);
    if (id.empty() || id.front() == '#') continue;
    if (const auto problem = delivery::CheckPagerId(id)) {
      throw UsageError(
          "the pagers file '" + path + "' line " + std::to_string(number) + ": " +
          delivery::Describe(*problem, id) +
          (*problem == delivery::PagerIdProblem::kSpace ? " (one pager id a line)" : ""));
    }
    ids.push_back(id);
  }
  return ids;
}

DistinctPagers Distinct(const std::vector<std::string>& ids) {
  DistinctPagers out;
  std::map<std::string, std::size_t> seen;  // id -> its place in `repeated`, or npos
  for (const auto& id : ids) {
    const auto [it, fresh] = seen.emplace(id, std::string::npos);
    if (fresh) {
      out.ids.push_back(id);
      continue;
    }
    if (it->second == std::string::npos) {
      it->second = out.repeated.size();
      out.repeated.emplace_back(id, 1);
    }
    ++out.repeated[it->second].second;
  }
  return out;
}

Exit ExitCode(const std::vector<delivery::RecipientResult>& results) {
  using delivery::Outcome;
  const auto count = [&](auto&& test) {
    return std::count_if(results.begin(), results.end(), test);
  };
  const auto delivered = count([](const auto& r) { return r.outcome == Outcome::kDelivered; });
  if (delivered == static_cast<long>(results.size())) return kDelivered;
  // A page that may have gone out, whole or in part, is never "failed" or "timed out": a caller
  // that retries on those would page twice.
  if (count([](const auto& r) {
        return r.outcome == Outcome::kUncertain || delivery::PartlyDelivered(r);
      }) > 0) {
    return kMixed;
  }
  if (results.size() == 1) {
    const auto& r = results.front();
    return r.timed_out || (r.deadline_passed && r.attempts == 0) ? kTimedOut : kFailed;
  }
  return delivered > 0 ? kMixed : kFailed;
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

std::string RecipientOutcome(const delivery::RecipientResult& r) {
  return delivery::PartlyDelivered(r) ? "partial" : delivery::ToString(r.outcome);
}

std::string PartsText(const delivery::RecipientResult& r) {
  return std::to_string(r.parts_delivered) + " of " + std::to_string(r.parts_total) +
         " parts delivered; part " + std::to_string(r.parts_delivered + 1) + " " +
         delivery::ToString(r.outcome) + ": " + r.error;
}

std::string RecipientLine(const delivery::RecipientResult& r) {
  const std::string& pager = r.recipient.pager;
  if (delivery::PartlyDelivered(r))
    return "partial " + pager + " via " + Where(r) + ": " + PartsText(r);
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
                      {"outcome", RecipientOutcome(r)},
                      {"server", r.host},
                      {"port", r.port},
                      {"attempts", r.attempts}};
  if (r.parts_total > 1) {
    j["partsDelivered"] = r.parts_delivered;
    j["partsTotal"] = r.parts_total;
  }
  if (r.outcome == delivery::Outcome::kDelivered) {
    j["reply"] = r.reply;
  } else {
    j["error"] = delivery::PartlyDelivered(r) ? PartsText(r) : r.error;
  }
  return j;
}

}  // namespace kestrel::tools
