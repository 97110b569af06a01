#include "kestrel/delivery/pager_id.hpp"

#include "kestrel/delivery/shown_text.hpp"

namespace kestrel::delivery {

std::optional<PagerIdProblem> CheckPagerId(std::string_view id) {
  if (id.empty()) return PagerIdProblem::kEmpty;
  if (id.size() > kMaxPagerIdLength) return PagerIdProblem::kTooLong;
  for (const char c : id) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == ' ' || byte == '\t') return PagerIdProblem::kSpace;
    if (byte < 0x20 || byte == 0x7f) return PagerIdProblem::kControl;
    if (byte >= 0x80) return PagerIdProblem::kNotAscii;
  }
  return std::nullopt;
}

std::string Describe(PagerIdProblem problem, std::string_view id) {
  constexpr std::size_t kShown = 40;  // a few words of a long id are enough to find it
  std::string shown = EscapeControls(id.substr(0, kShown));
  if (id.size() > kShown) shown += "...";
  const std::string named = "the pager id \"" + shown + "\"";
  constexpr const char* kRule = "; a pager id is one word of printable ASCII, at most 128 bytes";
  switch (problem) {
    case PagerIdProblem::kEmpty:
      return "a pager id is empty; give each pager id as one word of printable ASCII";
    case PagerIdProblem::kTooLong:
      return named + " is " + std::to_string(id.size()) + " bytes long" + kRule;
    case PagerIdProblem::kSpace:
      return named + " holds a space or TAB; give each pager id on its own" + std::string(kRule);
    case PagerIdProblem::kControl:
      return named + " holds a control character" + std::string(kRule);
    case PagerIdProblem::kNotAscii:
      return named + " holds a byte that is not ASCII" + std::string(kRule);
  }
  return named + " is not valid" + std::string(kRule);
}

}  // namespace kestrel::delivery
