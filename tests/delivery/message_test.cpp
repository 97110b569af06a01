// Fitting a message to a pager: character counting, the cut with "...", numbered parts, 7-bit text.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestrel/delivery/message.hpp"

namespace kestrel::delivery {
namespace {

TEST(Message, TruncateCountsCharactersNotBytes) {
  EXPECT_EQ(Truncate("short", 10), "short");
  EXPECT_EQ(Truncate("disk full on db1", 10), "disk fu...");
  EXPECT_EQ(Truncate("\xC3\xA9t\xC3\xA9 chaud", 6), "\xC3\xA9t\xC3\xA9...");  // "été..."
  EXPECT_EQ(CharacterCount(Truncate("\xC3\xA9t\xC3\xA9 chaud", 6)), 6u);
  EXPECT_EQ(Truncate("abcdef", 3), "abc");
}

TEST(Message, SplitNumbersPartsWithinTheLimitAndBreaksAtSpaces) {
  const std::string text = "the primary database is down and the replica is lagging behind";
  const auto parts = Split(text, 30);
  ASSERT_GE(parts.size(), 3u);
  std::string joined;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string prefix =
        "(" + std::to_string(i + 1) + "/" + std::to_string(parts.size()) + ") ";
    EXPECT_LE(CharacterCount(parts[i]), 30u) << parts[i];
    ASSERT_EQ(parts[i].rfind(prefix, 0), 0u) << parts[i];
    joined += (i ? " " : "") + parts[i].substr(prefix.size());
  }
  EXPECT_EQ(joined, text);  // split only at spaces here, each space dropped once
  EXPECT_EQ(Split("fits", 30), std::vector<std::string>{"fits"});
  // No space near the end: cut mid-word, nothing lost.
  const auto hard = Split(std::string(25, 'x'), 16);
  ASSERT_EQ(hard.size(), 3u);
  EXPECT_EQ(hard[0], "(1/3) xxxxxxxxxx");
  EXPECT_EQ(hard[2], "(3/3) xxxxx");
  // Ten parts or more: the longer numbers leave less room, and still every part fits.
  for (const auto& p : Split(std::string(200, 'y'), 20)) EXPECT_LE(CharacterCount(p), 20u) << p;
  EXPECT_THROW(Split("far too long for this", 6), std::invalid_argument);
}

TEST(Message, AsciiKeepsBaseLettersAndMarksTheRest) {
  EXPECT_EQ(ToAscii("Ren\xC3\xA9 \xC3\x85"
                    "ngstr\xC3\xB6m, Stra\xC3\x9F"
                    "e, \xC5\x92uvre"),
            "Rene Angstrom, Strasse, OEuvre");
  EXPECT_EQ(ToAscii("\xE2\x82\xAC"
                    "5 \xE2\x9C\x93 tab\tend\n"),
            "?5 ? tab?end\n");
  EXPECT_EQ(ToAscii("bad \xFF byte \xC3"), "bad ? byte ?");
}

}  // namespace
}  // namespace kestrel::delivery
