// The one rule for a pager id: the table of pager_id.hpp, and its words.

#include "kestrel/delivery/pager_id.hpp"
#include "kestrel/delivery/shown_text.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace kestrel::delivery {
namespace {

TEST(PagerId, TheTable) {
  using P = PagerIdProblem;
  const struct {
    std::string id;
    std::optional<P> problem;
  } cases[] = {
      {"5551234", std::nullopt},
      {"ops-team", std::nullopt},
      {"a.b_c+1@x", std::nullopt},
      {"~!", std::nullopt},
      {std::string(kMaxPagerIdLength, '7'), std::nullopt},
      {"", P::kEmpty},
      {std::string(kMaxPagerIdLength + 1, '7'), P::kTooLong},
      {"555 1234", P::kSpace},
      {"555\t1234", P::kSpace},
      {" 5551234", P::kSpace},
      {"555\r\n", P::kControl},
      {"55\n5", P::kControl},
      {std::string("55\0"
                   "5",
                   4),
       P::kControl},
      {"11\x1b[31m1", P::kControl},
      {"1\a", P::kControl},
      {"1\v2", P::kControl},
      {"12\x7f", P::kControl},
      {"caf\xc3\xa9", P::kNotAscii},
      {"\xff", P::kNotAscii},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckPagerId(c.id), c.problem) << "id of " << c.id.size() << " bytes";
  }
}

TEST(PagerId, TheDescriptionNamesTheIdEscapedAndSaysWhatIsAllowed) {
  const std::string text = Describe(PagerIdProblem::kControl, "11\x1b[31m1");
  EXPECT_NE(text.find("\"11\\x1b[31m1\""), std::string::npos) << text;
  EXPECT_NE(text.find("printable ASCII"), std::string::npos) << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  // A huge id is named by its start only.
  EXPECT_LT(Describe(PagerIdProblem::kTooLong, std::string(100000, '9')).size(), 200u);
}

TEST(FindControlCharacter, ABodyHoldsTextTabsAndLineEndsOnly) {
  struct Case {
    std::string body;
    std::optional<ControlCharacter> found;
  } cases[] = {
      {"line one\r\nline\ttwo\nthree\rfour caf\xc3\xa9", std::nullopt},
      {"a\r\nb\rc\x1b[31m", ControlCharacter{3, 0x1b}},  // CR LF and a lone CR end lines
      {"ok\n\x7f", ControlCharacter{2, 0x7f}},
  };
  for (const auto& c : cases) {
    const auto got = FindControlCharacter(c.body);
    ASSERT_EQ(got.has_value(), c.found.has_value()) << EscapeControls(c.body);
    if (got) {
      EXPECT_EQ((std::pair{got->line, got->byte}), (std::pair{c.found->line, c.found->byte}))
          << EscapeControls(c.body);
    }
  }
}

}  // namespace
}  // namespace kestrel::delivery
