#include "kestrel/session/reply_assembler.hpp"

namespace kestrel::session {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Three ASCII digits at the front of the line.
bool HasCode(std::string_view line) {
  return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
}

// What follows the code: '-' continues, ' ' or the line's end closes; anything else (a fourth
// digit, a letter) makes the line no reply line of this form.
enum class After { kContinues, kCloses, kOther };

After AfterCode(std::string_view line) {
  if (line.size() == 3) return After::kCloses;
  switch (line[3]) {
    case '-':
      return After::kContinues;
    case ' ':
    case '\r':
    case '\n':
      return After::kCloses;
    default:
      return After::kOther;
  }
}

}  // namespace

ReplyAssembler::Step ReplyAssembler::Feed(std::string_view line) {
  problem_ = Problem::kNone;
  if (!pending()) {
    if (!HasCode(line) || AfterCode(line) != After::kContinues) {
      // A one-line reply: handed on exactly as it came.
      text_.assign(line);
      return Step::kReply;
    }
    code_.assign(line.substr(0, 3));
    first_line_.assign(line);
    text_.assign(line);
    lines_ = 1;
    return Step::kNeedMore;
  }
  const auto malformed = [&](Problem problem) {
    problem_ = problem;
    offending_.assign(line);
    text_ = std::move(first_line_);
    first_line_.clear();
    code_.clear();
    lines_ = 0;
    return Step::kMalformed;
  };
  const After after = HasCode(line) ? AfterCode(line) : After::kOther;
  if (after != After::kOther && line.substr(0, 3) != code_) {
    return malformed(Problem::kCodeChanged);
  }
  if (lines_ + 1 > kMaxLines) return malformed(Problem::kTooManyLines);
  if (text_.size() + line.size() > kMaxBytes) return malformed(Problem::kTooLong);
  text_.append(line);
  ++lines_;
  if (after != After::kCloses) return Step::kNeedMore;
  code_.clear();
  first_line_.clear();
  lines_ = 0;
  return Step::kReply;
}

std::string ReplyAssembler::Take() {
  std::string out = std::move(text_);
  text_.clear();
  return out;
}

void ReplyAssembler::Reset() {
  text_.clear();
  code_.clear();
  first_line_.clear();
  offending_.clear();
  lines_ = 0;
  problem_ = Problem::kNone;
}

std::string Describe(ReplyAssembler::Problem problem, std::string_view code,
                     std::string_view offending_line) {
  switch (problem) {
    case ReplyAssembler::Problem::kNone:
      break;
    case ReplyAssembler::Problem::kTooManyLines:
      return "it went on for more than " + std::to_string(ReplyAssembler::kMaxLines) + " lines";
    case ReplyAssembler::Problem::kTooLong:
      return "it grew past " + std::to_string(ReplyAssembler::kMaxBytes) + " bytes";
    case ReplyAssembler::Problem::kCodeChanged:
      return "its code changed from " + std::string(code.substr(0, 3)) + " to " +
             std::string(offending_line.substr(0, 3));
  }
  return "it was not well formed";
}

}  // namespace kestrel::session
