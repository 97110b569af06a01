// Reply codes, one-line checks, DATA body formatting and line framing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestrel/session/line_framer.hpp"
#include "kestrel/session/reply_assembler.hpp"
#include "kestrel/session/reply_reader.hpp"
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

// Framer and assembler over a stream cut at `cuts`: each reply as "reply <text>", each malformed
// one as "malformed <why>".
std::vector<std::string> Replies(std::string_view stream, std::vector<std::size_t> cuts) {
  LineFramer framer;
  ReplyAssembler assembler;
  std::vector<std::string> out;
  std::size_t from = 0;
  cuts.push_back(stream.size());
  for (const std::size_t cut : cuts) {
    framer.Append(stream.substr(from, cut - from));
    from = cut;
    while (auto line = framer.Next()) {
      switch (assembler.Feed(*line)) {
        case ReplyAssembler::Step::kNeedMore:
          break;
        case ReplyAssembler::Step::kReply:
          out.push_back("reply " + assembler.Take());
          break;
        case ReplyAssembler::Step::kMalformed: {
          const std::string first = assembler.Take();
          out.push_back("malformed " +
                        Describe(assembler.problem(), first, assembler.offending_line()));
          break;
        }
      }
    }
  }
  return out;
}

TEST(ReplyAssembler, ContinuedRepliesAreOneWhereverTheStreamIsSplit) {
  const std::string many_lines = [] {
    std::string s;
    for (std::size_t i = 0; i < ReplyAssembler::kMaxLines; ++i) s += "250-x\r\n";
    return s + "250 last\r\n250 after\r\n";
  }();
  const std::string long_line = "250-" + std::string(4000, 'y') + "\r\n";
  struct Case {
    std::string stream;
    std::vector<std::string> want;
  } cases[] = {
      // One line replies stay exactly as they were, whatever follows the code.
      {"220 ok\r\n2509\r\n22\r\n 220 x\n250\r\nhello\r\n",
       {"reply 220 ok\r\n", "reply 2509\r\n", "reply 22\r\n", "reply  220 x\n", "reply 250\r\n",
        "reply hello\r\n"}},
      {"250-Pager ID Accepted\r\n250 Pager 5 is on duty\r\n554 no\r\n",
       {"reply 250-Pager ID Accepted\r\n250 Pager 5 is on duty\r\n", "reply 554 no\r\n"}},
      {"220-Welcome\n220-\r\n  to the gateway\r\n220\r\n250 next\r\n",
       {"reply 220-Welcome\n220-\r\n  to the gateway\r\n220\r\n", "reply 250 next\r\n"}},
      // The code may not change inside a reply; after a malformed one, the next line is new.
      {"250-a\r\n554 refused\r\n250 ok\r\n",
       {"malformed its code changed from 250 to 554", "reply 250 ok\r\n"}},
      {"250-a\r\n421-closing\r\n", {"malformed its code changed from 250 to 421"}},
      {many_lines, {"malformed it went on for more than 64 lines", "reply 250 after\r\n"}},
      {long_line + long_line + long_line + "250 end\r\n",
       {"malformed it grew past 8192 bytes", "reply 250 end\r\n"}},
      // A reply whose last line never comes is no reply.
      {"250-first\r\n250-second\r\n250 unfinish", {}},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Replies(c.stream, {}), c.want) << c.stream.substr(0, 80);
    for (std::size_t cut = 0; cut <= c.stream.size(); cut += c.stream.size() > 500 ? 97 : 1) {
      ASSERT_EQ(Replies(c.stream, {cut}), c.want) << "cut at " << cut;
    }
  }
}

TEST(ReplyAssembler, ResetForgetsAContinuedReply) {
  ReplyAssembler a;
  EXPECT_EQ(a.Feed("250-one\r\n"), ReplyAssembler::Step::kNeedMore);
  EXPECT_TRUE(a.pending());
  a.Reset();
  EXPECT_FALSE(a.pending());
  EXPECT_EQ(a.Feed("220 new connection\r\n"), ReplyAssembler::Step::kReply);
  EXPECT_EQ(a.Take(), "220 new connection\r\n");
}

TEST(ReplyReader, AReplyCountsOnlyForTheCommandItFollows) {
  using Kind = ReplyReader::Received::Kind;
  ReplyReader r;
  r.Expect();  // the greeting
  r.Append("220 hi\r\n250 early\r\n250-part");
  auto got = r.Next();
  ASSERT_TRUE(got);
  EXPECT_EQ((std::pair{got->kind, got->text}),
            (std::pair{Kind::kReply, std::string("220 hi\r\n")}));
  EXPECT_TRUE(r.Unread()) << "what came with the greeting cannot answer the next command";
  EXPECT_EQ(r.UnreadStart(), "250 early\r");
  got = r.Next();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->kind, Kind::kUnsolicited);
  EXPECT_FALSE(r.Next()) << "a continued reply in progress is no reply yet";
  EXPECT_TRUE(r.Unread());
  r.Desynchronize();
  r.Expect();
  r.Append("ial\r\n250 end\r\n");
  EXPECT_FALSE(r.Next()) << "after a protocol error nothing more is taken";
  r.Reset();
  r.Expect();
  r.Append("220 again\r\n");
  ASSERT_TRUE(r.Next());
  EXPECT_FALSE(r.Unread());
}

}  // namespace
}  // namespace kestrel::session
