#include "kestrel/session/reply_reader.hpp"

#include <utility>

namespace kestrel::session {

void ReplyReader::Append(std::string_view bytes) {
  if (desynchronized_) return;
  framer_.Append(bytes);
}

std::optional<ReplyReader::Received> ReplyReader::Next() {
  if (desynchronized_) return std::nullopt;
  while (auto line = framer_.Next()) {
    switch (assembler_.Feed(*line)) {
      case ReplyAssembler::Step::kNeedMore:
        continue;
      case ReplyAssembler::Step::kMalformed: {
        Received r{Received::Kind::kMalformed, assembler_.Take(), {}, outstanding_};
        r.why = Describe(assembler_.problem(), r.text, assembler_.offending_line());
        outstanding_ = false;
        return r;
      }
      case ReplyAssembler::Step::kReply: {
        const auto kind = outstanding_ ? Received::Kind::kReply : Received::Kind::kUnsolicited;
        outstanding_ = false;
        return Received{kind, assembler_.Take(), {}, kind == Received::Kind::kReply};
      }
    }
  }
  return std::nullopt;
}

std::string ReplyReader::UnreadStart() const {
  const std::string_view partial = assembler_.partial();
  const std::string_view unread = partial.empty() ? framer_.pending() : partial;
  return std::string(unread.substr(0, unread.find('\n')));
}

void ReplyReader::Desynchronize() {
  Reset();
  desynchronized_ = true;
}

void ReplyReader::Reset() {
  framer_.Reset();
  assembler_.Reset();
  outstanding_ = false;
  desynchronized_ = false;
}

}  // namespace kestrel::session
