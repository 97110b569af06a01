#pragma once
// Splits a byte stream into reply lines.
//
// TCP keeps no reply boundaries: one reply may come in several reads, several replies in one.
// Append() takes whatever arrived; Next() yields each complete line, ending at LF and including
// its line end, in order. A line that grows to `cap` bytes without a line end is yielded as it
// stands (cap bytes) and the rest of it, up to and including its LF, is dropped, so memory stays
// bounded and one overlong line is one reply.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::session {

class LineFramer {
 public:
  static constexpr std::size_t kDefaultCap = 4096;

  // A cap below 1 is taken as 1: every pass of Next() must consume something.
  explicit LineFramer(std::size_t cap = kDefaultCap) : cap_(cap < 1 ? 1 : cap) {}

  void Append(std::string_view bytes);
  std::optional<std::string> Next();
  void Reset();

  std::size_t buffered() const noexcept { return buffer_.size() - start_; }
  // The bytes received and not yet handed out as lines.
  std::string_view pending() const noexcept { return std::string_view(buffer_).substr(start_); }

 private:
  std::size_t cap_;
  std::string buffer_;
  std::size_t start_ = 0;    // first unconsumed byte of buffer_
  bool discarding_ = false;  // dropping the tail of an overlong line
};

}  // namespace kestrel::session
