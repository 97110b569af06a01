// fuzz_webhook: any bytes as the body of POST /v1/alertmanager/{receiver} and POST /v1/pages.
//
// Rules checked:
//   - the parsers never throw: a bad body is a RequestError (400, 404 or 500) that says what is
//     wrong
//   - every page they make can go on the wire: a message without CR or LF (framing), pager ids
//     without spaces or line breaks, and an alert's text within the receiver's max_length
//   - an alert page carries a dedup key and the receiver's pagers

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "kestrel/delivery/message.hpp"
#include "kestrel/relay/requests.hpp"

namespace {

using kestrel::fuzz::Escaped;
using kestrel::fuzz::Violation;
using namespace kestrel::relay;

RelayConfig MakeConfig() {
  RelayConfig config;
  ReceiverConfig fitted;
  fitted.name = "fitted";
  fitted.pagers = {"5551234", "5555678"};
  fitted.max_length = 40;
  fitted.split = true;
  fitted.ascii = true;
  fitted.send_resolved = true;
  fitted.template_text =
      "[{{status}}] {{labels.alertname}} {{#alerts}}{{labels.instance}} {{/alerts}}"
      "{{commonAnnotations.summary}} ({{count}})";
  config.receivers.push_back(fitted);
  ReceiverConfig plain;
  plain.name = "plain";
  plain.pagers = {"1"};
  config.receivers.push_back(plain);
  return config;
}

void CheckResult(const RequestResult& result, const ReceiverConfig* receiver,
                 std::string_view body) {
  if (const auto* error = std::get_if<RequestError>(&result)) {
    if (error->message.empty() ||
        (error->status != 400 && error->status != 404 && error->status != 500)) {
      Violation("a rejected body gets 400, 404 or 500 and says why",
                std::to_string(error->status) + " " + error->message + " for " + Escaped(body));
    }
    return;
  }
  for (const auto& page : std::get<Pages>(result).pages) {
    const std::string& text = page.content.data.empty() ? page.content.message : std::string();
    if (text.find_first_of("\r\n") != std::string::npos ||
        page.content.subject.find_first_of("\r\n") != std::string::npos) {
      Violation("a one-line field has no line break", Escaped(text) + " for " + Escaped(body));
    }
    for (const auto& pager : page.pagers) {
      if (pager.empty() || pager.find_first_of(" \r\n") != std::string::npos) {
        Violation("a pager id can go on the wire", Escaped(pager));
      }
    }
    if (receiver) {
      if (page.dedup_key.empty() || page.pagers != receiver->pagers) {
        Violation("an alert page has a dedup key and the receiver's pagers", Escaped(body));
      }
      if (receiver->max_length > 0 &&
          kestrel::delivery::CharacterCount(page.content.message) >
              static_cast<std::size_t>(receiver->max_length)) {
        Violation("an alert page fits max_length", Escaped(page.content.message));
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const RelayConfig config = MakeConfig();
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  try {
    for (const auto& receiver : config.receivers) {
      CheckResult(ParseAlertmanagerRequest(body, receiver, config), &receiver, body);
    }
    CheckResult(ParsePageRequest(body, config), nullptr, body);
  } catch (const std::exception& e) {
    Violation("a parser threw", std::string(e.what()) + " for " + Escaped(body));
  }
  return 0;
}
