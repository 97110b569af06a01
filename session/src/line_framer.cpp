#include "kestrel/session/line_framer.hpp"

namespace kestrel::session {

void LineFramer::Append(std::string_view bytes) {
  // Drop what has been consumed before growing, so the buffer never holds more than one cap of
  // unconsumed text plus the newest read.
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  if (discarding_) {
    const auto lf = bytes.find('\n');
    if (lf == bytes.npos) return;
    discarding_ = false;
    bytes.remove_prefix(lf + 1);
  }
  buffer_.append(bytes);
}

std::optional<std::string> LineFramer::Next() {
  const std::string_view pending = std::string_view(buffer_).substr(start_);
  const auto lf = pending.find('\n');
  if (lf != pending.npos && lf < cap_) {
    std::string line(pending.substr(0, lf + 1));
    start_ += lf + 1;
    return line;
  }
  if (pending.size() < cap_) return std::nullopt;
  // Overlong: hand over the first cap bytes, drop the rest of the line.
  std::string line(pending.substr(0, cap_));
  const auto tail_lf = lf;  // the line's own LF, if it arrived already (lf >= cap_)
  if (tail_lf != pending.npos) {
    start_ += tail_lf + 1;
  } else {
    start_ = buffer_.size();
    discarding_ = true;
  }
  return line;
}

void LineFramer::Reset() {
  buffer_.clear();
  start_ = 0;
  discarding_ = false;
}

}  // namespace kestrel::session
