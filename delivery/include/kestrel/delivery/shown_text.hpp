#pragma once
// Text from outside (a server's reply, a pager id, a client's request) as it may be shown on a
// terminal or written to a log.
//
// Any thread; no state.

#include <string>
#include <string_view>

namespace kestrel::delivery {

// The text with every control character (C0, DEL and C1, including ESC) written as "\xHH", so
// that text from a server or a client cannot move the cursor, retitle or clear a terminal, or
// forge a line in a log.
std::string EscapeControls(std::string_view text);

}  // namespace kestrel::delivery
