// fuzz_variant: every automation value converted to every subtype.
//
// Input: values as variant_input.hpp reads them, one after another.
//
// Rules checked for each value:
//   - ConvertTo(t) gives a value of subtype t, or raises RuntimeError 13 (type mismatch) or 6
//     (overflow) and nothing else; the text says what went wrong, stays short, and never
//     repeats a long text back whole (it may be a password typed into the wrong field)
//   - a value converted to its own subtype is itself
//   - the numbers agree: an Integer or Long converts to the same number in every numeric
//     subtype; a whole-number conversion succeeds exactly when the number rounded half to even
//     fits, and gives that rounded number
//   - Integer, Long, Boolean and finite Single values survive a trip through String
//   - ToBoolean is False exactly for a zero, and a Boolean turned to text is "True" or "False"
//   - operator<< writes something for every value and raises nothing
//   - RoundHalfEven: whole, within one half, and even on a tie

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>
#include <string>

#include "fuzz_check.hpp"
#include "kestrel/control/variant.hpp"
#include "kestrel/platform/error.hpp"
#include "variant_input.hpp"

namespace {

using namespace kestrel;
using control::Variant;
using control::VarType;
using fuzz::Escaped;

constexpr VarType kTypes[] = {VarType::kEmpty,  VarType::kInteger, VarType::kLong,
                              VarType::kSingle, VarType::kString,  VarType::kObject,
                              VarType::kBoolean};

std::string Show(const Variant& v) {
  std::ostringstream os;
  os << v;
  return Escaped(os.str());
}

// The conversion's result, or nothing when it raised; anything but a clean RuntimeError 13 or 6
// breaks a rule.
std::optional<Variant> Convert(const Variant& v, VarType target) {
  try {
    Variant out = v.ConvertTo(target);
    KESTREL_FUZZ_CHECK(out.type() == target, "ConvertTo gives the subtype asked for",
                       Show(v) + " to " + std::string(TypeName(target)) + " gave " + Show(out));
    return out;
  } catch (const RuntimeError& e) {
    const auto n = e.number();
    KESTREL_FUZZ_CHECK(n == err::kTypeMismatch || n == err::kOverflow,
                       "a failed conversion is a type mismatch or an overflow",
                       Show(v) + ": " + std::to_string(n) + " " + e.description());
    const std::string what = e.description();
    KESTREL_FUZZ_CHECK(!what.empty() && what.size() < 250,
                       "a conversion error says what went wrong, briefly",
                       std::to_string(what.size()) + " characters: " + Escaped(what));
    if (v.type() == VarType::kString && n == err::kTypeMismatch) {
      // The message may quote the start of a text, never all of a long one: a text that differs
      // only after its first 36 bytes gets the very same message.
      const std::string text = v.ToString();
      if (text.size() > 40) {
        const std::string other = text.substr(0, 36) + std::string(text.size() - 36, 'x');
        try {
          Variant(other).ConvertTo(target);
        } catch (const RuntimeError& e2) {
          KESTREL_FUZZ_CHECK(e2.number() != err::kTypeMismatch || e2.description() == what,
                             "a conversion error never repeats a long text whole",
                             Escaped(what) + " / " + Escaped(e2.description()));
        }
      }
    }
    return std::nullopt;
  }
}

double Number(const Variant& v) {
  switch (v.type()) {
    case VarType::kInteger:
      return v.ToInteger();
    case VarType::kLong:
      return v.ToLong();
    case VarType::kSingle:
      return v.ToSingle();
    case VarType::kBoolean:
      return v.ToBoolean();
    default:
      return 0.0;
  }
}

void CheckRounding(double x) {
  const double r = control::RoundHalfEven(x);
  if (!std::isfinite(x)) {
    KESTREL_FUZZ_CHECK(std::isnan(x) ? std::isnan(r) : r == x,
                       "RoundHalfEven leaves infinities and NaN alone", std::to_string(x));
    return;
  }
  KESTREL_FUZZ_CHECK(r == std::floor(r), "RoundHalfEven gives a whole number", std::to_string(x));
  const double off = std::fabs(r - x);
  KESTREL_FUZZ_CHECK(off <= 0.5, "RoundHalfEven moves by at most one half", std::to_string(x));
  if (off == 0.5) {
    KESTREL_FUZZ_CHECK(std::fmod(r, 2.0) == 0.0, "RoundHalfEven breaks a tie to even",
                       std::to_string(x) + " -> " + std::to_string(r));
  }
}

template <typename T>
void CheckWhole(const Variant& v, double number, VarType target) {
  const auto got = Convert(v, target);
  if (std::isnan(number)) {
    KESTREL_FUZZ_CHECK(!got, "NaN converts to no whole number", Show(v));
    return;
  }
  const double rounded = control::RoundHalfEven(number);
  const bool fits = rounded >= static_cast<double>(std::numeric_limits<T>::min()) &&
                    rounded <= static_cast<double>(std::numeric_limits<T>::max());
  KESTREL_FUZZ_CHECK(fits == got.has_value(),
                     "a whole-number conversion succeeds exactly when the rounded number fits",
                     Show(v) + " to " + std::string(TypeName(target)));
  if (got) {
    KESTREL_FUZZ_CHECK(Number(*got) == rounded, "a whole-number conversion rounds half to even",
                       Show(v) + " gave " + Show(*got));
  }
}

void CheckValue(const Variant& v) {
  // Every subtype, every target: only the allowed outcomes.
  constexpr std::size_t kCount = sizeof kTypes / sizeof kTypes[0];
  std::optional<Variant> as[kCount];
  for (std::size_t i = 0; i < kCount; ++i) as[i] = Convert(v, kTypes[i]);
  auto result = [&](VarType t) -> const std::optional<Variant>& {
    std::size_t i = 0;
    while (kTypes[i] != t) ++i;
    return as[i];
  };

  const std::string shown = Show(v);  // operator<< for every value
  KESTREL_FUZZ_CHECK(!shown.empty(), "operator<< writes something", "");

  const VarType type = v.type();
  const bool nan = type == VarType::kSingle && std::isnan(v.ToSingle());
  if (!nan) {
    const auto& self = result(type);
    KESTREL_FUZZ_CHECK(self && *self == v, "a value converted to its own subtype is itself", shown);
  }

  if (type == VarType::kInteger || type == VarType::kLong || type == VarType::kSingle ||
      type == VarType::kBoolean) {
    const double number = Number(v);
    CheckRounding(number);
    CheckWhole<Integer>(v, number, VarType::kInteger);
    CheckWhole<Long>(v, number, VarType::kLong);
    if (const auto& b = result(VarType::kBoolean)) {
      KESTREL_FUZZ_CHECK((b->ToBoolean() == kFalse) == (number == 0.0) || nan,
                         "ToBoolean is False exactly for zero", shown);
    }
    if (type != VarType::kSingle) {
      const auto& s = result(VarType::kSingle);
      KESTREL_FUZZ_CHECK(s && static_cast<double>(s->ToSingle()) ==
                                  static_cast<double>(static_cast<float>(number)),
                         "an Integer, Long or Boolean becomes the nearest Single", shown);
    }
    // Through text and back.
    const auto& text = result(VarType::kString);
    KESTREL_FUZZ_CHECK(text.has_value(), "every number becomes text", shown);
    if (type == VarType::kBoolean) {
      const std::string t = text->ToString();
      KESTREL_FUZZ_CHECK(t == "True" || t == "False", "a Boolean becomes \"True\" or \"False\"",
                         shown + " gave " + Escaped(t));
      const auto back = Convert(*text, VarType::kBoolean);
      KESTREL_FUZZ_CHECK(back && back->ToBoolean() == (number != 0.0 ? kTrue : kFalse),
                         "a Boolean survives a trip through text (as True or False)", shown);
    } else if (type != VarType::kSingle || std::isfinite(number)) {
      const auto back = Convert(*text, type);
      KESTREL_FUZZ_CHECK(back && *back == v, "a number survives a trip through text",
                         shown + " -> " + Escaped(text->ToString()) + " -> " +
                             (back ? Show(*back) : std::string("failed")));
    }
  }

  if (type == VarType::kString) {
    // Numeric text: the whole-number conversions agree with each other.
    const auto& i = result(VarType::kInteger);
    const auto& l = result(VarType::kLong);
    if (i) {
      KESTREL_FUZZ_CHECK(l && l->ToLong() == i->ToInteger(),
                         "text that makes an Integer makes the same Long", shown);
    }
    const auto& b = result(VarType::kBoolean);
    if (b && l && b->ToBoolean() == kFalse) {
      KESTREL_FUZZ_CHECK(l->ToLong() == 0, "text that is False as a Boolean is zero as a number",
                         shown);
    }
  }

  if (type == VarType::kObject) {
    KESTREL_FUZZ_CHECK(!result(VarType::kString) && !result(VarType::kInteger),
                       "an object converts to nothing but an object", shown);
  } else {
    KESTREL_FUZZ_CHECK(!result(VarType::kObject), "only an object converts to an object", shown);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  for (int n = 0; n < 256 && !in.empty(); ++n) CheckValue(in.Value());
  return 0;
}
