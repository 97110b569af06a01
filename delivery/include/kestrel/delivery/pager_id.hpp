#pragma once
// The one rule for a pager id, shared by every entry point that takes one (the delivery layer,
// snpp-send's options and pagers file, the relay's requests and configuration), so that an id
// one of them accepts is never refused, or sent mangled, by another.
//
//   id                                   verdict
//   "5551234", "ops-team", "a.b_c+1"     valid
//   ""                                   empty
//   longer than kMaxPagerIdLength bytes  too long
//   a space or TAB inside                holds a space (one id is one word)
//   CR, LF, NUL, ESC, any other C0, DEL  holds a control character
//   a byte of 0x80 or above              not ASCII (no gateway we know takes it after PAGE)
//
// Surrounding whitespace is the caller's to trim (a pagers file line, a config value); the rule
// looks at the id exactly as it would go on the wire after "PAGE ".
//
// Any thread; no state.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::delivery {

inline constexpr std::size_t kMaxPagerIdLength = 128;

enum class PagerIdProblem { kEmpty, kTooLong, kSpace, kControl, kNotAscii };

// Nothing when `id` may go on the wire after "PAGE "; otherwise the first problem found.
std::optional<PagerIdProblem> CheckPagerId(std::string_view id);

// What is wrong and what to do, naming the id with its control bytes escaped ("\x1b"), e.g.
// "the pager id \"55\\x1b1\" holds a control character; a pager id is one word of printable
// ASCII".
std::string Describe(PagerIdProblem problem, std::string_view id);

}  // namespace kestrel::delivery
