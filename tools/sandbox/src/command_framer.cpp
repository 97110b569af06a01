#include "command_framer.hpp"

namespace kestrel::sandbox {

void CommandFramer::Append(std::string_view bytes) {
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes);
}

CommandFramer::Result CommandFramer::Next(std::string& line) {
  std::string_view pending = std::string_view(buffer_).substr(start_);
  const auto lf = pending.find('\n');
  if (lf == pending.npos) {
    // A trailing CR may still turn out to be half of a CR LF.
    if (!pending.empty() && pending.back() == '\r') pending.remove_suffix(1);
    return pending.size() > kMaxLine ? Result::kTooLong : Result::kNeedMore;
  }
  std::string_view text = pending.substr(0, lf);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (text.size() > kMaxLine) return Result::kTooLong;
  line.assign(text);
  start_ += lf + 1;
  return Result::kLine;
}

}  // namespace kestrel::sandbox
