// fuzz_webhook: any bytes as the body of POST /v1/alertmanager/{receiver} and POST /v1/pages.
//
// Rules checked:
//   - the parsers never throw, nor overflow the stack on deep nesting: a bad body is a
//     RequestError (400, 404 or 500) that says what is wrong
//   - every page they make can go on the wire: a message and subject without any control
//     character but TAB, a data body without any but TAB, CR and LF, no line over
//     kMaxLineBytes, pager ids of printable ASCII without spaces, and an alert's text within the
//     receiver's max_length
//   - an alert page carries a dedup key and the receiver's pagers, in at most max_parts parts

#include <algorithm>
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
  fitted.max_parts = 3;
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

// The first control byte of `text` not in `allowed`, or -1. Written out here, apart from the
// parsers' own checks, so that the rule is checked rather than restated.
int ControlByte(std::string_view text, std::string_view allowed) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 || byte == 0x7f) && allowed.find(c) == std::string_view::npos) return byte;
  }
  return -1;
}

std::size_t LongestLine(std::string_view text) {
  std::size_t longest = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
    longest = std::max(longest, end - start);
  }
  return std::max(longest, text.size() - start);
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
  const auto& pages = std::get<Pages>(result).pages;
  if (receiver && pages.size() > static_cast<std::size_t>(std::max(receiver->max_parts, 1))) {
    Violation("an alert makes at most max_parts pages", Escaped(body));
  }
  for (const auto& page : pages) {
    const auto& content = page.content;
    if (ControlByte(content.message, "\t") >= 0 || ControlByte(content.subject, "\t") >= 0 ||
        ControlByte(content.data, "\t\r\n") >= 0) {
      Violation(
          "a page holds no control character but TAB (and line ends in data)",
          Escaped(content.message + content.subject + content.data) + " for " + Escaped(body));
    }
    if (std::max({content.message.size(), content.subject.size(), LongestLine(content.data)}) >
        kMaxLineBytes) {
      Violation("no line of a page is longer than kMaxLineBytes", Escaped(body.substr(0, 200)));
    }
    for (const auto& pager : page.pagers) {
      const bool printable = std::all_of(pager.begin(), pager.end(), [](char c) {
        return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7f;
      });
      if (pager.empty() || pager.size() > 128 || !printable) {
        Violation("a pager id is one word of printable ASCII", Escaped(pager));
      }
    }
    if (receiver) {
      if (page.dedup_key.empty() || page.pagers != receiver->pagers) {
        Violation("an alert page has a dedup key and the receiver's pagers", Escaped(body));
      }
      if (receiver->max_length > 0 && kestrel::delivery::CharacterCount(page.content.message) >
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
