#pragma once
// Variant: one automation value, tagged with its type.
//
// The subtypes are those of the control's interface: Empty, Integer (16-bit), Long (32-bit),
// Single, Boolean (16-bit, True -1, False 0, kept exactly as given), String and an object
// reference, which here is always a font (a null reference is "Nothing").
//
// The To*() conversions follow the automation rules the hosts expect: numbers convert to each
// other with a range check, a fraction is rounded half to even, numeric text (blanks around it
// allowed) converts to a number, "True"/"False" in any case to a Boolean, a Boolean to the text
// "True"/"False". What does not convert raises RuntimeError 13 (type mismatch); a value out of
// the target's range raises RuntimeError 6 (overflow). Both descriptions say what went wrong and
// what to pass instead.
//
// A Variant is a plain value: copying it copies the text and shares the font object.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <variant>

#include "kestrel/control/font.hpp"
#include "kestrel/platform/types.hpp"

namespace kestrel {

using Single = float;  // 32-bit floating point

namespace control {

// Subtype tags, numbered as automation numbers its variant types.
enum class VarType : std::uint16_t {
  kEmpty = 0,
  kInteger = 2,
  kLong = 3,
  kSingle = 4,
  kString = 8,
  kObject = 9,
  kBoolean = 11,
};

// "Integer", "Long", ... as automation names the types.
std::string_view TypeName(VarType type);
std::ostream& operator<<(std::ostream& os, VarType type);

class Variant {
 public:
  Variant() = default;  // Empty
  Variant(String text) : value_(std::move(text)) {}
  Variant(const char* text) : value_(String(text)) {}
  Variant(FontRef object) : value_(std::move(object)) {}

  // Integer and Boolean share a C++ type, so the numeric subtypes are made by name.
  static Variant FromInteger(Integer v) { return Variant(Tagged{IntegerBox{v}}); }
  static Variant FromLong(Long v) { return Variant(Tagged{v}); }
  static Variant FromSingle(Single v) { return Variant(Tagged{v}); }
  static Variant FromBoolean(Boolean v) { return Variant(Tagged{BooleanBox{v}}); }
  static Variant FromBool(bool v) { return FromBoolean(v ? kTrue : kFalse); }
  // An object reference; a null reference is the object "Nothing".
  static Variant FromObject(FontRef v) { return Variant(std::move(v)); }

  VarType type() const noexcept;
  bool is_empty() const noexcept { return type() == VarType::kEmpty; }

  // Checked conversions; see the top of this file for the rules and the errors they raise.
  Integer ToInteger() const;
  Long ToLong() const;
  Single ToSingle() const;
  Boolean ToBoolean() const;
  String ToString() const;
  // The font object; Type mismatch for anything but an object reference.
  FontRef ToObject() const;
  // This value as the given subtype (Empty converts to Empty only).
  Variant ConvertTo(VarType type) const;

  // Same subtype and same value; objects compare by identity.
  friend bool operator==(const Variant& a, const Variant& b);
  // Integer(42), String("abc"), Boolean(True), Object(Font "Arial" 10), Object(Nothing), Empty.
  friend std::ostream& operator<<(std::ostream& os, const Variant& v);

 private:
  struct IntegerBox {
    Integer value;
    bool operator==(const IntegerBox&) const = default;
  };
  struct BooleanBox {
    Boolean value;
    bool operator==(const BooleanBox&) const = default;
  };
  using Storage =
      std::variant<std::monostate, IntegerBox, Long, Single, BooleanBox, String, FontRef>;
  struct Tagged {
    Storage value;
  };
  explicit Variant(Tagged t) : value_(std::move(t.value)) {}

  // The value as a number, for the numeric conversions; raises Type mismatch when it is none.
  double NumericValue(VarType target) const;

  Storage value_;
};

// Rounds to the nearest whole number, a tie to the even one (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
double RoundHalfEven(double x) noexcept;

}  // namespace control
}  // namespace kestrel
