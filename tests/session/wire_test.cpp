// Reply codes, one-line checks, DATA body formatting and line framing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestrel/session/line_framer.hpp"
#include "kestrel/session/wire.hpp"

namespace kestrel::session {
namespace {

TEST(ReplyCode, TakesThreeCharactersCountedAsCodePoints) {
  struct Case {
    std::string reply, code;
  } cases[] = {
      {"220 SNPP Gateway Ready\r\n", "220"},
      {"220", "220"},
      {"2200", "220"},
      {" 220 x", " 22"},
      {"22", "22"},
      {"", ""},
      {"\xC3\xA9"
       "50 x",
       "\xC3\xA9"
       "50"},  // é is one character
      {"\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC!", "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"},
      {"\xFF"
       "250",
       "\xFF"
       "25"},  // an invalid byte counts as one
      {"\xC3"
       "250",
       "\xC3"
       "25"},  // a truncated sequence too
      {"\xE0\x80\x80"
       "1",
       "\xE0\x80\x80"},  // overlong form: three single bytes
  };
  for (const auto& c : cases) EXPECT_EQ(ReplyCode(c.reply), c.code) << c.reply;
}

TEST(FormatDataBody, MakesAWellFormedTextBlock) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"one line", "one line\r\n"},
      {"a\r\nb\r\n", "a\r\nb\r\n"},
      {"a\nb", "a\r\nb\r\n"},
      {"a\rb\r", "a\r\nb\r\n"},
      {"a\n\nb", "a\r\n\r\nb\r\n"},
      {".", "..\r\n"},
      {"a\n.\nb", "a\r\n..\r\nb\r\n"},
      {".hidden\n..two", "..hidden\r\n...two\r\n"},
      {"mid.dot .", "mid.dot .\r\n"},
      {"\n", "\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDataBody(c.in), c.out) << c.in;
}

TEST(HasLineBreak, SeesCrAndLfAnywhere) {
  EXPECT_FALSE(HasLineBreak("5551234"));
  EXPECT_FALSE(HasLineBreak(""));
  EXPECT_TRUE(HasLineBreak("a\rb"));
  EXPECT_TRUE(HasLineBreak("a\n"));
  EXPECT_TRUE(HasLineBreak("\r\nSEND"));
}

std::vector<std::string> Drain(LineFramer& f) {
  std::vector<std::string> out;
  while (auto line = f.Next()) out.push_back(*line);
  return out;
}

TEST(LineFramer, SameLinesWhereverTheStreamIsSplit) {
  const std::string stream =
      "220 SNPP Gateway Ready\r\n250 Pager ID Accepted\n214 help\r\n250 End\r\n221 Bye\r\n";
  const std::vector<std::string> want = {"220 SNPP Gateway Ready\r\n", "250 Pager ID Accepted\n",
                                         "214 help\r\n", "250 End\r\n", "221 Bye\r\n"};
  for (std::size_t a = 0; a <= stream.size(); ++a) {
    for (std::size_t b = a; b <= stream.size(); b += 7) {
      LineFramer f;
      std::vector<std::string> got;
      for (auto piece : {stream.substr(0, a), stream.substr(a, b - a), stream.substr(b)}) {
        f.Append(piece);
        for (auto& l : Drain(f)) got.push_back(l);
      }
      ASSERT_EQ(got, want) << "split at " << a << " and " << b;
      EXPECT_EQ(f.buffered(), 0u);
    }
  }
}

TEST(LineFramer, PartialLineWaitsForTheRest) {
  LineFramer f;
  f.Append("250 Mess");
  EXPECT_FALSE(f.Next());
  f.Append("age OK\r");
  EXPECT_FALSE(f.Next());
  f.Append("\n");
  EXPECT_EQ(f.Next(), "250 Message OK\r\n");
}

TEST(LineFramer, OverlongLineIsOneReplyAndMemoryStaysBounded) {
  LineFramer f(16);
  f.Append("421 ");
  for (int i = 0; i < 1000; ++i) {
    f.Append(std::string(1000, 'x'));
    EXPECT_LE(f.buffered(), 16u + 1000u);
    while (auto l = f.Next()) EXPECT_EQ(*l, "421 xxxxxxxxxxxx");
  }
  f.Append("tail\r\n250 OK\r\n");
  EXPECT_EQ(Drain(f), std::vector<std::string>{"250 OK\r\n"});
}

TEST(LineFramer, OverlongLineWhoseEndArrivedTogether) {
  LineFramer f(8);
  f.Append("123456789012\r\n250 x\r\n");
  EXPECT_EQ(Drain(f), (std::vector<std::string>{"12345678", "250 x\r\n"}));
}

TEST(LineFramer, ZeroCapStillMakesProgress) {
  LineFramer f(0);
  f.Append("ab\n");
  std::vector<std::string> got;
  while (auto l = f.Next()) {
    got.push_back(*l);
    ASSERT_LT(got.size(), 10u);
  }
  EXPECT_EQ(got, std::vector<std::string>{"a"});  // the rest of the overlong line is dropped
}

TEST(LineFramer, ResetForgetsEverything) {
  LineFramer f(8);
  f.Append("250 partial");
  ASSERT_TRUE(f.Next());  // overlong, now discarding
  f.Reset();
  f.Append("220 hi\n");
  EXPECT_EQ(f.Next(), "220 hi\n");
}

}  // namespace
}  // namespace kestrel::session
