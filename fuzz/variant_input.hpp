#pragma once
// Reads automation values out of fuzz input, for fuzz_variant and fuzz_dispatch.
//
// A value is one tag byte, then what its subtype needs:
//   tag % 8:  0 Empty   1 Integer (2 bytes)   2 Long (4 bytes)   3 Single (4 bytes, any bit
//             pattern: NaN, infinities and subnormals too)   4 Boolean (2 bytes, any value)
//             5 String (1 length byte, then that many bytes)   6 Object (a font, or Nothing
//             when the tag's top bit is set)   7 String of well-known text (next byte picks it)

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "kestrel/control/variant.hpp"
#include "kestrel/control/font.hpp"

namespace kestrel::fuzz {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  std::size_t left() const { return size_ - at_; }

  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Byte() << 8 | Byte()); }
  std::uint32_t U32() {
    const std::uint32_t hi = U16();
    return hi << 16 | U16();
  }
  std::string Bytes(std::size_t n) {
    n = std::min(n, left());
    std::string s(reinterpret_cast<const char*>(data_) + at_, n);
    at_ += n;
    return s;
  }

  control::Variant Value() {
    using control::Variant;
    const std::uint8_t tag = Byte();
    switch (tag % 8) {
      case 0:
        return Variant();
      case 1:
        return Variant::FromInteger(static_cast<Integer>(U16()));
      case 2:
        return Variant::FromLong(static_cast<Long>(U32()));
      case 3: {
        const std::uint32_t bits = U32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return Variant::FromSingle(f);
      }
      case 4:
        return Variant::FromBoolean(static_cast<Boolean>(U16()));
      case 5:
        return Variant(Bytes(Byte()));
      case 6: {
        if (tag & 0x80) return Variant::FromObject(nullptr);
        auto font = std::make_shared<control::Font>();
        font->name = Bytes(Byte() % 16);
        return Variant::FromObject(font);
      }
      default: {
        static const char* const kTexts[] = {"",
                                             " ",
                                             "0",
                                             "-0",
                                             "42",
                                             " 42 ",
                                             "+7",
                                             "-32768",
                                             "32767",
                                             "32768",
                                             "-32769",
                                             "2147483647",
                                             "2147483648",
                                             "-2147483649",
                                             "2.5",
                                             "3.5",
                                             "-2.5",
                                             "0.5",
                                             "1e3",
                                             "1E+38",
                                             "3.5e38",
                                             "1e309",
                                             "-1e309",
                                             "1e-400",
                                             ".5",
                                             "5.",
                                             ".",
                                             "-",
                                             "e5",
                                             "1e",
                                             "0x10",
                                             "1,000",
                                             "inf",
                                             "nan",
                                             "True",
                                             "false",
                                             " TRUE ",
                                             "yes",
                                             "\t1\t",
                                             "1 2",
                                             "\xef\xbc\x91",
                                             "00000000000000000000000000000000000000001"};
        return Variant(kTexts[Byte() % (sizeof kTexts / sizeof kTexts[0])]);
      }
    }
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace kestrel::fuzz
