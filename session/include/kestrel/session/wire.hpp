#pragma once
// Text helpers for the SNPP wire: reply codes, one-line parameters and the DATA body.

#include <string>
#include <string_view>

namespace kestrel::session {

inline constexpr std::string_view kCrLf = "\r\n";

// The reply code: the first three characters of the reply (the whole reply when it is shorter).
// Characters are UTF-8 code points; a byte that does not start a valid sequence counts as one.
std::string_view ReplyCode(std::string_view reply);

// True when the text holds a CR or LF, which would end an SNPP command line early.
bool HasLineBreak(std::string_view text);

// The DATA body as a well-formed text block: every line end (CR LF, LF or a lone CR) becomes
// CR LF, a line that begins with "." gets another "." in front, and a final CR LF is added when
// missing. An empty body stays empty.
std::string FormatDataBody(std::string_view data);

}  // namespace kestrel::session
