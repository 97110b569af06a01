#pragma once
// Fitting a message to what pagers and gateways take: a length bound, numbered parts, 7-bit text.
// Lengths count characters (UTF-8 code points), not bytes. Pure functions, any thread.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::delivery {

// Characters (UTF-8 code points) in `text`; a byte that is not valid UTF-8 counts as one.
std::size_t CharacterCount(std::string_view text);

// `text` unchanged when it has at most `max_chars` characters; otherwise its first characters
// followed by "...", `max_chars` in all. max_chars below 4 cuts without the dots.
std::string Truncate(std::string_view text, std::size_t max_chars);

// `text` as numbered parts "(1/3) ...", each at most `max_chars` characters with its prefix.
// A part ends at a space when one lies in its last quarter (the space is dropped), else it is cut
// mid-word. A text that fits is one part, without a prefix. Throws std::invalid_argument when
// `max_chars` leaves no room for text after the prefix.
std::vector<std::string> Split(std::string_view text, std::size_t max_chars);

// Printable ASCII only: accented Latin letters become their base letter ("é" -> "e", "ß" ->
// "ss", "Æ" -> "AE"), any other character outside 0x20..0x7E becomes "?". Line ends (LF, CR LF)
// are kept.
std::string ToAscii(std::string_view text);

}  // namespace kestrel::delivery
