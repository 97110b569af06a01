#pragma once
// Text from outside (a server's reply, a pager id, a client's request) as it may be shown on a
// terminal or written to a log.
//
// Any thread; no state.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::delivery {

// The text with every control character (C0, DEL and C1, including ESC) written as "\xHH", so
// that text from a server or a client cannot move the cursor, retitle or clear a terminal, or
// forge a line in a log.
std::string EscapeControls(std::string_view text);

// A control character that a text body (a DATA body, a message) must not hold: NUL, a C0
// control other than TAB and the line ends CR and LF, or DEL. A server written in C may cut a
// line at a NUL, and the others may act on a pager's or a terminal's display.
struct ControlCharacter {
  std::size_t line = 1;  // 1-based; CR LF, LF and a lone CR each end a line
  unsigned char byte = 0;
};
std::optional<ControlCharacter> FindControlCharacter(std::string_view text);

}  // namespace kestrel::delivery
