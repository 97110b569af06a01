#include "kestrel/relay/operator_requests.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "kestrel/delivery/pager_id.hpp"
#include "kestrel/delivery/shown_text.hpp"

namespace kestrel::relay {

namespace {

using nlohmann::json;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A client's value in an error text: control bytes escaped, and not too long.
std::string Quoted(std::string_view text) {
  return "\"" + CutToBytes(delivery::EscapeControls(text), 80) + "\"";
}

bool IsPageId(std::string_view id) {
  return !id.empty() && id.size() <= 64 &&
         id.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// Exactly `digits` decimal digits at `text[at]`, as a number.
std::optional<int> Digits(std::string_view text, std::size_t at, std::size_t digits) {
  if (at + digits > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// Days from 1970-01-01 to the date (the civil calendar, proleptic Gregorian).
std::int64_t DaysFromCivil(int year, int month, int day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int yoe = static_cast<int>(year - era * 400);
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int DaysInMonth(int year, int month) {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

// Well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80           ? 1
                         : (c >> 5) == 0x6  ? 2
                         : (c >> 4) == 0xE  ? 3
                         : (c >> 3) == 0x1E ? 4
                                            : 0;
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t point = length == 1 ? c : c & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kLeast[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

const char* kListParameters = "state, since, receiver, limit and cursor";

}  // namespace

std::optional<std::string> PercentDecode(std::string_view text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
      const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
      if (high < 0 || low < 0) return std::nullopt;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += plus_is_space && text[i] == '+' ? ' ' : text[i];
    }
  }
  return out;
}

std::optional<outbox::Millis> ParseUtcTime(std::string_view text) {
  if (!text.empty() && text.back() == 'Z') text.remove_suffix(1);
  const auto year = Digits(text, 0, 4);
  const auto month = Digits(text, 5, 2);
  const auto day = Digits(text, 8, 2);
  if (!year || !month || !day || text[4] != '-' || text[7] != '-') return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > DaysInMonth(*year, *month)) {
    return std::nullopt;
  }
  std::int64_t seconds = DaysFromCivil(*year, *month, *day) * 86400;
  outbox::Millis millis = 0;
  if (text.size() > 10) {
    const auto hour = Digits(text, 11, 2);
    const auto minute = Digits(text, 14, 2);
    if (text[10] != 'T' || !hour || !minute || text.size() < 16 || text[13] != ':' || *hour > 23 ||
        *minute > 59) {
      return std::nullopt;
    }
    seconds += *hour * 3600 + *minute * 60;
    if (text.size() > 16) {
      const auto second = Digits(text, 17, 2);
      if (text[16] != ':' || !second || *second > 59) return std::nullopt;
      seconds += *second;
      if (text.size() > 19) {
        const auto fraction = text.substr(20);
        if (text[19] != '.' || fraction.empty() || fraction.size() > 9 ||
            fraction.find_first_not_of("0123456789") != std::string_view::npos) {
          return std::nullopt;
        }
        for (std::size_t i = 0; i < 3; ++i) {
          millis = millis * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
        }
      }
    }
  } else if (text.size() != 10) {
    return std::nullopt;
  }
  return seconds * 1000 + millis;
}

std::variant<outbox::PageQuery, RequestError> ParsePageListQuery(std::string_view query) {
  const auto bad = [](std::string what) { return RequestError{400, std::move(what)}; };
  outbox::PageQuery result;
  std::set<std::string> seen;
  while (!query.empty()) {
    const auto amp = query.find('&');
    const auto part = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (part.empty()) continue;
    const auto eq = part.find('=');
    const auto key = PercentDecode(part.substr(0, eq), true);
    const auto value = eq == std::string_view::npos ? std::optional<std::string>()
                                                    : PercentDecode(part.substr(eq + 1), true);
    if (!key || (eq != std::string_view::npos && !value)) {
      return bad("the query " + Quoted(part) +
                 " has a '%' that is not followed by two hex digits; percent-encode the value");
    }
    if (*key != "state" && *key != "since" && *key != "receiver" && *key != "limit" &&
        *key != "cursor") {
      return bad("unknown parameter " + Quoted(*key) + "; GET /v1/pages takes " + kListParameters);
    }
    if (!seen.insert(*key).second) return bad("the parameter " + *key + " is given twice");
    if (!value || value->empty()) return bad("the parameter " + *key + " has no value");
    if (*key == "state") {
      result.state = outbox::ParseRecipientState(*value);
      if (!result.state) {
        std::string names;
        for (int i = 0; i < outbox::kRecipientStateCount; ++i) {
          names += (i ? ", " : "") +
                   std::string(outbox::ToString(static_cast<outbox::RecipientState>(i)));
        }
        return bad("state " + Quoted(*value) + " is not a state; use one of " + names);
      }
    } else if (*key == "since") {
      result.since = ParseUtcTime(*value);
      if (!result.since) {
        return bad("since " + Quoted(*value) +
                   " is not a UTC time; write 2026-12-09 or 2026-12-09T03:00:00Z (fractions "
                   "allowed)");
      }
    } else if (*key == "receiver") {
      if (value->size() > 256 || !IsUtf8(*value) || delivery::FindControlCharacter(*value) ||
          value->find_first_of("\t\r\n") != std::string::npos) {
        return bad("receiver " + Quoted(*value) +
                   " is not a receiver's name: at most 256 bytes of UTF-8, no control "
                   "character");
      }
      result.sources = {"alertmanager/" + *value, "api/" + *value};
    } else if (*key == "limit") {
      std::uint64_t limit = 0;
      const auto* end = value->data() + value->size();
      const auto [at, error] = std::from_chars(value->data(), end, limit);
      if (error != std::errc() || at != end || limit < 1 || limit > outbox::kMaxListLimit) {
        return bad("limit " + Quoted(*value) + " is not a number from 1 to " +
                   std::to_string(outbox::kMaxListLimit));
      }
      result.limit = static_cast<std::size_t>(limit);
    } else {
      result.after = outbox::DecodeCursor(*value);
      if (!result.after) {
        return bad("cursor " + Quoted(*value) +
                   " is not one this relay gave; send back the \"next\" of an earlier answer as "
                   "it was");
      }
    }
  }
  return result;
}

std::optional<std::variant<ActionTarget, RequestError>> ParseActionPath(std::string_view rest) {
  std::vector<std::string_view> segments;
  while (true) {
    const auto slash = rest.find('/');
    segments.push_back(rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  if (segments.size() != 4 || segments[1] != "recipients" ||
      (segments[3] != "resend" && segments[3] != "dismiss")) {
    return std::nullopt;
  }
  ActionTarget target;
  target.action =
      segments[3] == "resend" ? outbox::OperatorAction::kResend : outbox::OperatorAction::kDismiss;
  const auto id = PercentDecode(segments[0], false);
  if (!id || !IsPageId(*id)) {
    return RequestError{404, "no page has the id " + Quoted(segments[0]) +
                                 "; a page id is 1 to 64 characters 0-9 and a-f"};
  }
  target.page_id = *id;
  if (segments[2] == "." || segments[2] == "..") {
    return RequestError{400, "a pager id \"" + std::string(segments[2]) +
                                 "\" must come percent-encoded (\"" +
                                 (segments[2] == "." ? "%2E" : "%2E%2E") +
                                 "\"): as it is, it is a step in the path"};
  }
  const auto pager = PercentDecode(segments[2], false);
  if (!pager) {
    return RequestError{400, "the pager id " + Quoted(segments[2]) +
                                 " has a '%' that is not followed by two hex digits"};
  }
  if (const auto problem = delivery::CheckPagerId(*pager)) {
    return RequestError{400, delivery::Describe(*problem, *pager)};
  }
  target.pager = *pager;
  return target;
}

std::variant<std::string, RequestError> ParseActionNote(std::string_view body) {
  const auto bad = [](std::string what) { return RequestError{400, std::move(what)}; };
  if (body.find_first_not_of(" \t\r\n") == std::string_view::npos) return std::string();
  const json parsed = json::parse(body, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    return bad("the body must be a JSON object: {} or {\"note\": \"why\"}");
  }
  for (const auto& [key, value] : parsed.items()) {
    if (key != "note") {
      return bad("unknown field " + Quoted(key) + "; the body takes only \"note\"");
    }
  }
  if (!parsed.contains("note")) return std::string();
  if (!parsed["note"].is_string()) return bad("\"note\" must be a string");
  const auto& note = parsed["note"].get_ref<const std::string&>();
  if (note.size() > kMaxNoteBytes) {
    return bad("the note is longer than " + std::to_string(kMaxNoteBytes) +
               " bytes; keep it to one short line");
  }
  const bool control = std::any_of(note.begin(), note.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c < 0x20 || c == 0x7F;
  });
  if (control) {
    return bad(
        "the note must be one line without control characters (no line break, TAB or "
        "ESC)");
  }
  return note;
}

}  // namespace kestrel::relay
