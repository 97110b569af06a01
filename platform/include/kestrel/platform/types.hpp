#pragma once
// Automation value types as the control's interface declares them.

#include <cstdint>
#include <string>

namespace kestrel {

using Integer = std::int16_t;  // 16-bit signed
using Long = std::int32_t;     // 32-bit signed
using Boolean = std::int16_t;  // 16-bit; True is -1, False is 0, stored exactly as passed
using String = std::string;    // UTF-8 text

inline constexpr Boolean kTrue = -1;
inline constexpr Boolean kFalse = 0;

}  // namespace kestrel
