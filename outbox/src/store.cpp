#include "kestrel/outbox/store.hpp"

#include <array>
#include <charconv>

namespace kestrel::outbox {

namespace {
constexpr std::array<std::string_view, kRecipientStateCount> kNames = {
    "queued", "sending",   "delivered", "degraded", "refused",
    "failed", "uncertain", "expired",   "dismissed"};
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

bool MayAct(OperatorAction action, RecipientState from) {
  switch (action) {
    case OperatorAction::kResend:
      return from == RecipientState::kUncertain || from == RecipientState::kFailed ||
             from == RecipientState::kExpired;
    case OperatorAction::kDismiss:
      return from == RecipientState::kUncertain;
  }
  return false;
}

std::string_view ToString(OperatorAction action) {
  return action == OperatorAction::kResend ? "resend" : "dismiss";
}

std::size_t PageBytes(const PageRecord& page) {
  std::size_t bytes = page.id.size() + page.source.size() + page.content.message.size() +
                      page.content.data.size() + page.content.subject.size() +
                      page.content.options.size();
  for (const auto& r : page.recipients) {
    bytes += r.pager.size() + r.gateway.size() + r.last_reply.size() + r.note.size() +
             r.acted_by.size() + 64;  // the fixed fields, roughly
  }
  return bytes;
}

std::string EncodeCursor(const PageCursor& cursor) {
  return std::to_string(cursor.created_us) + "." + cursor.id;
}

std::optional<PageCursor> DecodeCursor(std::string_view text) {
  const auto dot = text.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot > 19) return std::nullopt;
  PageCursor cursor;
  const auto digits = text.substr(0, dot);
  if (digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), cursor.created_us);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  cursor.id = std::string(text.substr(dot + 1));
  if (cursor.id.empty() || cursor.id.size() > 64 ||
      cursor.id.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return std::nullopt;
  }
  return cursor;
}

}  // namespace kestrel::outbox
