#include "kestrel/relay/disposition.hpp"

#include <chrono>
#include <nlohmann/json.hpp>

#include "kestrel/delivery/scheduler.hpp"

namespace kestrel::relay {

using State = outbox::RecipientState;
using delivery::Verdict;

Disposition NextState(const AttemptFacts& facts) {
  switch (facts.verdict) {
    case Verdict::kDelivered:
      return {facts.fields_dropped ? State::kDegraded : State::kDelivered};
    case Verdict::kRefused:
      return {State::kRefused};
    case Verdict::kLoginRefused:
      return facts.gateways_left > 0 ? Disposition{State::kQueued, 0}
                                     : Disposition{State::kRefused};
    case Verdict::kCertificateFailed:
      return facts.gateways_left > 0 ? Disposition{State::kQueued, 0} : Disposition{State::kFailed};
    case Verdict::kTransient: {
      delivery::Policy policy;
      policy.first_backoff = std::chrono::milliseconds(facts.retry.backoff);
      policy.max_backoff = std::chrono::milliseconds(facts.retry.max_backoff);
      const Millis wait =
          delivery::Backoff(policy, std::max(facts.attempts, 1), facts.random).count();
      if (facts.deadline_passed || wait >= facts.expires_in) return {State::kExpired};
      return {State::kQueued, wait};
    }
    case Verdict::kUncertain:
      return {State::kUncertain};
    case Verdict::kFailed:
      return {facts.deadline_passed ? State::kExpired : State::kFailed};
  }
  return {State::kFailed};
}

bool NeedsLevel2(const outbox::PageContent& content, bool require_level2) {
  return require_level2 || !content.data.empty();
}

bool CanCarry(const GatewayView& gateway, bool needs_level2) {
  return !gateway.login_refused && (!needs_level2 || gateway.level >= 2);
}

std::optional<std::size_t> ChooseGateway(const std::vector<GatewayView>& gateways,
                                         bool needs_level2, std::string_view last_gateway) {
  const std::size_t n = gateways.size();
  std::size_t start = 0;  // failover: the one after the last attempt's, round the list
  for (std::size_t i = 0; i < n; ++i) {
    if (!last_gateway.empty() && gateways[i].name == last_gateway) start = i + 1;
  }
  for (std::size_t step = 0; step < n; ++step) {
    const std::size_t i = (start + step) % n;
    if (CanCarry(gateways[i], needs_level2) && gateways[i].free_slots > 0 &&
        !PassedOver(gateways, i)) {
      return i;
    }
  }
  return std::nullopt;
}

bool PassedOver(const std::vector<GatewayView>& gateways, std::size_t index) {
  const GatewayView& held = gateways.at(index);
  if (!held.held_off || held.login_refused) return false;
  for (std::size_t i = 0; i < gateways.size(); ++i) {
    const GatewayView& other = gateways[i];
    if (i == index || other.held_off || other.login_refused) continue;
    if (held.level < 2 || other.level >= 2) return true;
  }
  return false;
}

HealthChange GatewayHealthAfter(Verdict verdict, bool unreachable, bool send_kept_back) {
  using HoldOff = HealthChange::HoldOff;
  switch (verdict) {
    case Verdict::kDelivered:
    case Verdict::kRefused:
      return {true, HoldOff::kEnd};
    case Verdict::kTransient:
      if (unreachable) return {false, HoldOff::kLengthen};
      if (send_kept_back) return {std::nullopt, HoldOff::kEnd};
      return {false, HoldOff::kEnd};
    case Verdict::kLoginRefused:
    case Verdict::kCertificateFailed:
    case Verdict::kUncertain:
      return {false, HoldOff::kEnd};
    case Verdict::kFailed:
      return {std::nullopt, HoldOff::kKeep};
  }
  return {std::nullopt, HoldOff::kKeep};
}

Millis HoldOffFor(int failures) {
  using std::chrono::milliseconds;
  Millis hold = std::chrono::duration_cast<milliseconds>(delivery::kFirstHoldOff).count();
  const Millis most = std::chrono::duration_cast<milliseconds>(delivery::kMaxHoldOff).count();
  for (int i = 1; i < failures && hold < most; ++i) hold *= 2;
  return std::min(hold, most);
}

std::vector<std::string> LevelTwoFields(const outbox::PageContent& content) {
  std::vector<std::string> fields;
  if (!content.subject.empty()) fields.emplace_back("subject");
  const auto options = nlohmann::json::parse(content.options, nullptr, false);
  if (!options.is_object()) return fields;
  if (options.value("alert", false)) fields.emplace_back("alert");
  for (const char* number : {"coverage", "serviceLevel"}) {
    const auto it = options.find(number);
    if (it != options.end() && it->is_number_integer() && it->get<int>() >= 1) {
      fields.emplace_back(number);
    }
  }
  for (const char* text : {"hold", "callerId"}) {
    const auto it = options.find(text);
    if (it != options.end() && it->is_string() && !it->get<std::string>().empty()) {
      fields.emplace_back(text);
    }
  }
  return fields;
}

}  // namespace kestrel::relay
