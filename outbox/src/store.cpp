#include "kestrel/outbox/store.hpp"

#include <array>

namespace kestrel::outbox {

namespace {
constexpr std::array<std::string_view, kRecipientStateCount> kNames = {
    "queued", "sending", "delivered", "degraded", "refused", "failed", "uncertain", "expired"};
}  // namespace

std::string_view ToString(RecipientState state) {
  return kNames[static_cast<std::size_t>(state)];
}

std::optional<RecipientState> ParseRecipientState(std::string_view name) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (kNames[i] == name) return static_cast<RecipientState>(i);
  }
  return std::nullopt;
}

bool IsFinal(RecipientState state) {
  return state != RecipientState::kQueued && state != RecipientState::kSending;
}

}  // namespace kestrel::outbox
