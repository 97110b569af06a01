#include <array>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "kestrel/sandbox/sandbox_server.hpp"

namespace kestrel::sandbox {

namespace {

// UTC, to the millisecond: 2024-05-01T12:34:56.789Z
std::string IsoTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto whole = floor<seconds>(time);
  const auto millis = duration_cast<milliseconds>(time - whole).count();
  const std::time_t t = system_clock::to_time_t(whole);
  std::tm utc{};
  gmtime_r(&t, &utc);
  std::array<char, 40> text{};
  const auto n = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text.data() + n, text.size() - n, ".%03dZ", static_cast<int>(millis));
  return text.data();
}

}  // namespace

std::string PageToJson(const Page& page) {
  // ordered_json keeps the fields in the order a reader expects, pagers first.
  using Json = nlohmann::ordered_json;
  Json pagers = Json::array();
  for (const auto& r : page.pagers) {
    Json pager{{"id", r.id}};
    if (r.level) pager["level"] = *r.level;
    if (r.coverage) pager["coverage"] = *r.coverage;
    if (r.hold) pager["hold"] = *r.hold;
    if (r.alert) pager["alert"] = *r.alert;
    pagers.push_back(std::move(pager));
  }
  Json line{{"pagers", std::move(pagers)}, {"message", page.message}};
  if (page.subject) line["subject"] = *page.subject;
  if (page.caller) line["caller"] = *page.caller;
  if (page.login) line["login"] = *page.login;
  line["via"] = page.via == MessageVia::kData ? "DATA" : "MESS";
  line["time"] = IsoTime(page.time);
  // Clients may send any bytes; the log must still be valid JSON.
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace kestrel::sandbox
