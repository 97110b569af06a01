// Turning API request bodies into pages. Every check happens here, before the outbox.

#include <algorithm>
#include <cstdio>
#include <kainjow/mustache.hpp>
#include <nlohmann/json.hpp>
#include <set>

#include "kestrel/relay/requests.hpp"

namespace kestrel::relay {

namespace {

using nlohmann::json;
namespace mustache = kainjow::mustache;

constexpr std::size_t kMaxPagers = 1000;
constexpr std::size_t kMaxKeyLength = 200;

RequestError Bad(std::string message) {
  return {400, std::move(message)};
}

std::variant<json, RequestError> ParseObject(std::string_view body) {
  json parsed;
  try {
    parsed = json::parse(body);
  } catch (const json::parse_error& e) {
    return Bad("the body is not valid JSON (near byte " + std::to_string(e.byte) +
               "); send a JSON object");
  } catch (const json::exception&) {
    // A number too large for any JSON number type: out_of_range, not a parse_error.
    return Bad("the body holds a number out of range; send a JSON object with ordinary values");
  }
  if (!parsed.is_object()) return Bad("the body must be a JSON object");
  return parsed;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != text.npos;
}

// A string member, or an error naming it; absent gives `std::nullopt` without error.
std::variant<std::optional<std::string>, RequestError> OptionalString(const json& object,
                                                                      const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || it->is_null()) return std::optional<std::string>();
  if (!it->is_string()) return Bad(std::string("\"") + name + "\" must be a string");
  return std::optional<std::string>(it->get<std::string>());
}

// The level-2 options, checked and kept as the JSON object the dispatcher reads back.
std::variant<json, RequestError> Level2Options(const json& request) {
  const auto it = request.find("level2");
  if (it == request.end() || it->is_null()) return json::object();
  if (!it->is_object()) return Bad("\"level2\" must be an object");
  json options = json::object();
  for (const auto& [key, value] : it->items()) {
    if (key == "alert") {
      if (!value.is_boolean()) return Bad("\"level2.alert\" must be true or false");
      options[key] = value;
    } else if (key == "coverage" || key == "serviceLevel") {
      if (!value.is_number_integer() || value.get<std::int64_t>() < 0 ||
          value.get<std::int64_t>() > 32767) {
        return Bad("\"level2." + key + "\" must be an integer from 0 to 32767");
      }
      options[key] = value;
    } else if (key == "hold" || key == "callerId") {
      if (!value.is_string() || value.get<std::string>().empty() ||
          HasLineBreak(value.get<std::string>()) ||
          value.get<std::string>().find(' ') != std::string::npos) {
        return Bad("\"level2." + key + "\" must be a non-empty string without spaces");
      }
      options[key] = value;
    } else {
      return Bad("\"level2\" has an unknown option \"" + key +
                 "\"; the options are alert, coverage, serviceLevel, hold and callerId");
    }
  }
  return options;
}

// Converts JSON into Mustache data: objects and arrays keep their shape, scalars become text.
mustache::data ToMustache(const json& value) {
  switch (value.type()) {
    case json::value_t::object: {
      mustache::data object{mustache::data::type::object};
      for (const auto& [key, member] : value.items()) object.set(key, ToMustache(member));
      return object;
    }
    case json::value_t::array: {
      mustache::data list{mustache::data::type::list};
      for (const auto& item : value) list.push_back(ToMustache(item));
      return list;
    }
    case json::value_t::string:
      return mustache::data(value.get<std::string>());
    case json::value_t::boolean:
      return mustache::data(value.get<bool>() ? mustache::data::type::bool_true
                                              : mustache::data::type::bool_false);
    case json::value_t::null:
    case json::value_t::discarded:
      return mustache::data(std::string());
    default:
      return mustache::data(value.dump());
  }
}

// A fixed-size digest of a dedup identity (FNV-1a, two ways), so a notification with many
// alerts does not make a long key.
std::string Digest(std::string_view text) {
  std::uint64_t first = 14695981039346656037ull;
  std::uint64_t second = 0x9E3779B97F4A7C15ull;
  for (const char c : text) {
    first = (first ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    second = (second ^ static_cast<unsigned char>(c)) * 0x100000001B3ull + 0x2545F4914F6CDD1Dull;
  }
  char out[33];
  std::snprintf(out, sizeof out, "%016llx%016llx", static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(second));
  return out;
}

}  // namespace

RequestResult ParsePageRequest(std::string_view body, const RelayConfig& config) {
  auto parsed = ParseObject(body);
  if (auto* error = std::get_if<RequestError>(&parsed)) return *error;
  const json& request = std::get<json>(parsed);

  static const std::set<std::string> kKnown = {"pagers",  "receiver", "message",       "data",
                                               "subject", "level2",   "idempotencyKey"};
  for (const auto& [key, value] : request.items()) {
    if (!kKnown.count(key)) return Bad("unknown member \"" + key + "\"");
  }

  outbox::NewPage page;
  page.source = "api";
  page.expire_after = config.expire_after;
  const ReceiverConfig* receiver = nullptr;

  const bool has_pagers = request.contains("pagers");
  const bool has_receiver = request.contains("receiver");
  if (has_pagers == has_receiver) {
    return Bad("name either \"pagers\" (a list of pager ids) or \"receiver\", not both or neither");
  }
  if (has_pagers) {
    const json& pagers = request["pagers"];
    if (!pagers.is_array() || pagers.empty() || pagers.size() > kMaxPagers) {
      return Bad("\"pagers\" must be a list of 1 to 1000 pager ids");
    }
    for (const auto& pager : pagers) {
      if (!pager.is_string() || pager.get<std::string>().empty() ||
          pager.get<std::string>().size() > 64 || HasLineBreak(pager.get<std::string>()) ||
          pager.get<std::string>().find(' ') != std::string::npos) {
        return Bad(
            "each pager id must be a non-empty string without spaces or line breaks, "
            "at most 64 characters");
      }
      page.pagers.push_back(pager.get<std::string>());
    }
  } else {
    auto name = OptionalString(request, "receiver");
    if (auto* error = std::get_if<RequestError>(&name)) return *error;
    const auto& receiver_name = std::get<std::optional<std::string>>(name);
    receiver = receiver_name ? config.FindReceiver(*receiver_name) : nullptr;
    if (!receiver) {
      return RequestError{404, "no receiver is named \"" + receiver_name.value_or("") +
                                   "\"; the configuration's [[receiver]] tables name them"};
    }
    page.pagers = receiver->pagers;
    page.source = "api/" + receiver->name;
    page.require_level2 = receiver->require_level2;
  }

  auto message = OptionalString(request, "message");
  if (auto* error = std::get_if<RequestError>(&message)) return *error;
  auto data = OptionalString(request, "data");
  if (auto* error = std::get_if<RequestError>(&data)) return *error;
  auto subject = OptionalString(request, "subject");
  if (auto* error = std::get_if<RequestError>(&subject)) return *error;
  auto key = OptionalString(request, "idempotencyKey");
  if (auto* error = std::get_if<RequestError>(&key)) return *error;

  const auto& message_text = std::get<std::optional<std::string>>(message);
  const auto& data_text = std::get<std::optional<std::string>>(data);
  if (message_text.has_value() == data_text.has_value()) {
    return Bad(
        "give either \"message\" (one line) or \"data\" (several lines), not both or "
        "neither");
  }
  if (message_text) {
    if (message_text->empty()) return Bad("\"message\" is empty");
    if (HasLineBreak(*message_text)) {
      return Bad("\"message\" is one line; send text of several lines as \"data\"");
    }
    page.content.message = *message_text;
    if (receiver) {
      // A receiver's pagers get the text fitted as its alerts are.
      const auto parts = FitText(*message_text, receiver->max_length, false, receiver->ascii);
      page.content.message = parts.front();
    }
  } else {
    if (data_text->empty()) return Bad("\"data\" is empty");
    page.content.data = *data_text;
  }
  if (const auto& text = std::get<std::optional<std::string>>(subject)) {
    if (HasLineBreak(*text)) return Bad("\"subject\" must be one line");
    page.content.subject = *text;
  }
  if (const auto& text = std::get<std::optional<std::string>>(key)) {
    if (text->empty() || text->size() > kMaxKeyLength) {
      return Bad("\"idempotencyKey\" must be 1 to 200 characters");
    }
    page.idempotency_key = *text;
  }
  auto options = Level2Options(request);
  if (auto* error = std::get_if<RequestError>(&options)) return *error;
  page.content.options = std::get<json>(options).dump();

  Pages pages;
  pages.pages.push_back(std::move(page));
  return pages;
}

RequestResult ParseAlertmanagerRequest(std::string_view body, const ReceiverConfig& receiver,
                                       const RelayConfig& config) {
  auto parsed = ParseObject(body);
  if (auto* error = std::get_if<RequestError>(&parsed)) return *error;
  const json& payload = std::get<json>(parsed);

  const auto version = payload.find("version");
  if (version == payload.end() || !version->is_string() || *version != "4") {
    return Bad("\"version\" must be \"4\": this is Alertmanager's webhook payload version 4");
  }
  const auto status = payload.find("status");
  if (status == payload.end() || !status->is_string() ||
      (*status != "firing" && *status != "resolved")) {
    return Bad("\"status\" must be \"firing\" or \"resolved\"");
  }
  const auto group_key = payload.find("groupKey");
  if (group_key == payload.end() || !group_key->is_string()) {
    return Bad("\"groupKey\" must be a string");
  }
  const auto alerts = payload.find("alerts");
  if (alerts == payload.end() || !alerts->is_array() || alerts->empty()) {
    return Bad("\"alerts\" must be a non-empty list");
  }
  std::vector<std::string> fingerprints;
  for (const auto& alert : *alerts) {
    if (!alert.is_object()) return Bad("each of \"alerts\" must be an object");
    for (const char* member : {"labels", "annotations"}) {
      const auto it = alert.find(member);
      if (it != alert.end() && !it->is_object()) {
        return Bad(std::string("an alert's \"") + member + "\" must be an object");
      }
    }
    const auto fingerprint = alert.find("fingerprint");
    if (fingerprint != alert.end() && !fingerprint->is_string()) {
      return Bad("an alert's \"fingerprint\" must be a string");
    }
    fingerprints.push_back(fingerprint != alert.end() ? fingerprint->get<std::string>()
                                                      : alert.value("labels", json()).dump());
  }

  Pages pages;
  if (*status == "resolved" && !receiver.send_resolved) {
    pages.skipped =
        "a resolved notification, and receiver \"" + receiver.name + "\" has send_resolved = false";
    return pages;
  }

  // The template sees the payload's fields, the first alert's where the payload has none of
  // that name, and count, the number of alerts.
  mustache::data context = ToMustache(payload);
  for (const auto& [key, value] : alerts->front().items()) {
    if (!payload.contains(key)) context.set(key, ToMustache(value));
  }
  context.set("count", std::to_string(alerts->size()));
  mustache::mustache tmpl(receiver.template_text);
  tmpl.set_custom_escape([](const std::string& text) { return text; });
  const std::string text = tmpl.render(context);
  if (!tmpl.is_valid()) {
    return RequestError{
        500, "receiver \"" + receiver.name + "\": its template failed: " + tmpl.error_message()};
  }

  std::sort(fingerprints.begin(), fingerprints.end());
  fingerprints.erase(std::unique(fingerprints.begin(), fingerprints.end()), fingerprints.end());
  std::string dedup =
      receiver.name + "\n" + group_key->get<std::string>() + "\n" + status->get<std::string>();
  for (const auto& fingerprint : fingerprints) dedup += "\n" + fingerprint;

  const auto parts = FitText(text, receiver.max_length, receiver.split, receiver.ascii);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    outbox::NewPage page;
    page.pagers = receiver.pagers;
    page.source = "alertmanager/" + receiver.name;
    page.expire_after = config.expire_after;
    page.require_level2 = receiver.require_level2;
    page.content.message = parts[i].empty() ? std::string("(empty alert text)") : parts[i];
    page.dedup_key = Digest(parts.size() == 1 ? dedup : dedup + "\npart " + std::to_string(i + 1));
    pages.pages.push_back(std::move(page));
  }
  return pages;
}

}  // namespace kestrel::relay
