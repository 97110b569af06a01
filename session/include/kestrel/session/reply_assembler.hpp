#pragma once
// Gathers reply lines into whole replies.
//
// A reply is one line, or a continued reply: a server may continue a reply as SMTP servers do,
// with lines whose three-digit code is followed by "-", up to the line that has the same code
// followed by a space, or the code alone. Fed the lines LineFramer yields (each with its line
// end), Feed() answers whether a reply is complete:
//
//   lines fed, in order                          answer
//   "250 OK"                                     a reply: the line, exactly as received
//   "2509", "22", " 220", "hello"                a reply: the line (only "-" after three digits
//                                                continues a reply)
//   "250-Pager ID Accepted"                      need more
//     then "250-on duty", "  any text"           need more (a line without the code inside a
//                                                continued reply is a line of it)
//     then "250 Pager 5" or "250"                a reply: every line as received, joined
//     then "554 no" or "554-no"                  malformed: the code changed inside the reply
//   a continued reply past kMaxLines lines, or
//   past kMaxBytes bytes in all                  malformed
//
// A continued reply whose last line never comes is a reply that never comes: the caller's
// time-out ends the wait. After a malformed answer the assembler starts afresh with the next
// line. Memory stays bounded by kMaxBytes plus one line.
//
// Threading: none of its own; one caller at a time.

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel::session {

class ReplyAssembler {
 public:
  static constexpr std::size_t kMaxLines = 64;
  static constexpr std::size_t kMaxBytes = 8192;

  enum class Step { kNeedMore, kReply, kMalformed };
  enum class Problem { kNone, kTooManyLines, kTooLong, kCodeChanged };

  // One line, with its line end as LineFramer yields it.
  Step Feed(std::string_view line);

  // After kReply: the whole reply as received. After kMalformed: the reply's first line.
  std::string Take();
  // Why the last Feed() answered kMalformed.
  Problem problem() const noexcept { return problem_; }
  // The line that made it malformed (the code change, or the line past a bound).
  const std::string& offending_line() const noexcept { return offending_; }

  // A continued reply has begun and not yet ended.
  bool pending() const noexcept { return code_.size() == 3; }
  // The lines of the pending continued reply so far.
  std::string_view partial() const noexcept { return pending() ? text_ : std::string_view(); }
  void Reset();

 private:
  std::string text_;  // the lines of the reply so far
  std::string code_;  // the continued reply's code; empty when none is pending
  std::size_t lines_ = 0;
  Problem problem_ = Problem::kNone;
  std::string offending_;
  std::string first_line_;
};

// The problem in words, for a text that says what went wrong: "it went on for more than 64
// lines", "it grew past 8192 bytes", "its code changed from 250 to 554".
std::string Describe(ReplyAssembler::Problem problem, std::string_view code,
                     std::string_view offending_line);

}  // namespace kestrel::session
