#pragma once
// Splits what a client sends into command lines.
//
// A line ends at LF; a CR right before the LF belongs to the line end, a CR anywhere else is
// text (a bare CR does not end a line). Lines longer than kMaxLine bytes, line end not counted,
// are refused whether or not their end has arrived yet, so a client that never sends a line end
// cannot make the buffer grow past about kMaxLine plus one read.

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel::sandbox {

class CommandFramer {
 public:
  static constexpr std::size_t kMaxLine = 4096;

  enum class Result { kLine, kNeedMore, kTooLong };

  void Append(std::string_view bytes);
  // On kLine, `line` holds the next line without its line end.
  Result Next(std::string& line);
  // True while bytes are buffered that Next has not handed out yet.
  bool HasPending() const noexcept { return start_ < buffer_.size(); }

 private:
  std::string buffer_;
  std::size_t start_ = 0;  // first byte not yet handed out
};

}  // namespace kestrel::sandbox
