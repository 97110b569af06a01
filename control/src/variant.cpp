// Variant conversions. The rules are those automation hosts apply when they coerce a value:
// see variant.hpp.

#include "kestrel/control/variant.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <ostream>
#include <system_error>

#include "kestrel/control/messages.hpp"
#include "kestrel/platform/error.hpp"

namespace kestrel::control {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The text as it appears in an error message: quoted, and cut short when long, so that a
// message stays readable and does not repeat a whole page (or a password typed in the wrong
// field) back to the user.
std::string Quote(std::string_view text) {
  constexpr std::size_t kMax = 32;
  if (text.size() <= kMax) return "\"" + std::string(text) + "\"";
  std::size_t cut = kMax;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // UTF-8
  return "\"" + std::string(text.substr(0, cut)) + "...\"";
}

std::string ShortestText(double v) {
  std::array<char, 64> buf{};
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  return std::string(buf.data(), r.ptr);
}

std::string ShortestText(float v) {
  std::array<char, 64> buf{};
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  std::string s(buf.data(), r.ptr);
  for (auto& c : s)
    if (c == 'e') c = 'E';  // 1E+20, as automation writes it
  return s;
}

[[noreturn]] void ThrowTextNotNumber(std::string_view text, VarType target) {
  throw RuntimeError(err::kTypeMismatch, messages::TextNotNumber(Quote(text), TypeName(target)));
}

[[noreturn]] void ThrowOverflow(double value, VarType target) {
  std::string range;
  switch (target) {
    case VarType::kInteger:
      range = "an Integer (-32768 to 32767)";
      break;
    case VarType::kLong:
      range = "a Long (-2147483648 to 2147483647)";
      break;
    default:
      range = "a Single (about -3.4E+38 to 3.4E+38)";
      break;
  }
  throw RuntimeError(err::kOverflow, messages::Overflow(ShortestText(value), range));
}

// Parses numeric text: optional blanks, an optional sign, digits with an optional fraction and
// an optional exponent. Nothing else is a number ("abc", "", "1,000", "inf", "0x10").
// Returns false for text that is not a number; raises Overflow for one beyond any double.
bool ParseNumber(std::string_view text, double& out, VarType target) {
  std::string_view s = Trim(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  // from_chars would also take "inf" and "nan"; only digits, one point and an exponent are
  // numbers here.
  std::size_t i = (!s.empty() && s.front() == '-') ? 1 : 0;
  std::size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (i != s.size()) return false;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  if (r.ec == std::errc::result_out_of_range) {
    // Either far too large (overflow) or so small that it is zero for every target.
    const auto e = s.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && e + 1 < s.size() && s[e + 1] == '-';
    if (tiny) {
      out = 0.0;
      return true;
    }
    ThrowOverflow(s.front() == '-' ? -std::numeric_limits<double>::infinity()
                                   : std::numeric_limits<double>::infinity(),
                  target);
  }
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

template <typename T>
T ToWhole(double value, VarType target) {
  if (std::isnan(value)) ThrowOverflow(value, target);
  const double whole = RoundHalfEven(value);
  if (whole < static_cast<double>(std::numeric_limits<T>::min()) ||
      whole > static_cast<double>(std::numeric_limits<T>::max())) {
    ThrowOverflow(value, target);
  }
  return static_cast<T>(whole);
}

}  // namespace

double RoundHalfEven(double x) noexcept {
  if (!std::isfinite(x)) return x;
  const double floor = std::floor(x);
  const double fraction = x - floor;
  if (fraction < 0.5) return floor;
  if (fraction > 0.5) return floor + 1.0;
  return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

std::string_view TypeName(VarType type) {
  switch (type) {
    case VarType::kEmpty:
      return "Empty";
    case VarType::kInteger:
      return "Integer";
    case VarType::kLong:
      return "Long";
    case VarType::kSingle:
      return "Single";
    case VarType::kString:
      return "String";
    case VarType::kObject:
      return "Object";
    case VarType::kBoolean:
      return "Boolean";
  }
  return "Unknown";
}

std::ostream& operator<<(std::ostream& os, VarType type) {
  return os << TypeName(type);
}

VarType Variant::type() const noexcept {
  switch (value_.index()) {
    case 1:
      return VarType::kInteger;
    case 2:
      return VarType::kLong;
    case 3:
      return VarType::kSingle;
    case 4:
      return VarType::kBoolean;
    case 5:
      return VarType::kString;
    case 6:
      return VarType::kObject;
    default:
      return VarType::kEmpty;
  }
}

double Variant::NumericValue(VarType target) const {
  switch (type()) {
    case VarType::kEmpty:
      return 0.0;
    case VarType::kInteger:
      return std::get<IntegerBox>(value_).value;
    case VarType::kLong:
      return std::get<Long>(value_);
    case VarType::kSingle:
      return std::get<Single>(value_);
    case VarType::kBoolean:
      return std::get<BooleanBox>(value_).value;
    case VarType::kString: {
      const auto& text = std::get<String>(value_);
      double v = 0.0;
      if (!ParseNumber(text, v, target)) ThrowTextNotNumber(text, target);
      return v;
    }
    case VarType::kObject:
      break;
  }
  throw RuntimeError(err::kTypeMismatch, messages::ObjectNotValue(TypeName(target)));
}

Integer Variant::ToInteger() const {
  if (const auto* v = std::get_if<IntegerBox>(&value_)) return v->value;
  return ToWhole<Integer>(NumericValue(VarType::kInteger), VarType::kInteger);
}

Long Variant::ToLong() const {
  if (const auto* v = std::get_if<Long>(&value_)) return *v;
  return ToWhole<Long>(NumericValue(VarType::kLong), VarType::kLong);
}

Single Variant::ToSingle() const {
  if (const auto* v = std::get_if<Single>(&value_)) return *v;
  const double v = NumericValue(VarType::kSingle);
  // Anything that rounds to a finite Single is in range: the largest Single's own text, for
  // one, reads back a hair above it. From halfway to the next power of two on, it would round
  // to infinity.
  constexpr double kMax = static_cast<double>(std::numeric_limits<Single>::max());
  const double limit = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
  if (std::fabs(v) >= limit) ThrowOverflow(v, VarType::kSingle);
  if (std::fabs(v) > kMax) return static_cast<Single>(std::copysign(kMax, v));
  return static_cast<Single>(v);
}

Boolean Variant::ToBoolean() const {
  if (const auto* v = std::get_if<BooleanBox>(&value_)) return v->value;  // kept as stored
  if (const auto* text = std::get_if<String>(&value_)) {
    const auto t = Trim(*text);
    if (EqualsIgnoreCase(t, "True")) return kTrue;
    if (EqualsIgnoreCase(t, "False")) return kFalse;
    double v = 0.0;
    if (!ParseNumber(*text, v, VarType::kBoolean)) {
      throw RuntimeError(err::kTypeMismatch, messages::TextNotBoolean(Quote(*text)));
    }
    return v != 0.0 ? kTrue : kFalse;
  }
  return NumericValue(VarType::kBoolean) != 0.0 ? kTrue : kFalse;
}

String Variant::ToString() const {
  switch (type()) {
    case VarType::kEmpty:
      return String();
    case VarType::kInteger:
      return std::to_string(std::get<IntegerBox>(value_).value);
    case VarType::kLong:
      return std::to_string(std::get<Long>(value_));
    case VarType::kSingle:
      return ShortestText(std::get<Single>(value_));
    case VarType::kBoolean:
      return std::get<BooleanBox>(value_).value != 0 ? "True" : "False";
    case VarType::kString:
      return std::get<String>(value_);
    case VarType::kObject:
      break;
  }
  throw RuntimeError(err::kTypeMismatch, messages::kObjectNotString);
}

FontRef Variant::ToObject() const {
  if (const auto* v = std::get_if<FontRef>(&value_)) return *v;
  throw RuntimeError(err::kTypeMismatch, messages::ValueNotObject(TypeName(type())));
}

Variant Variant::ConvertTo(VarType target) const {
  switch (target) {
    case VarType::kEmpty:
      if (is_empty()) return {};
      throw RuntimeError(err::kTypeMismatch, messages::kValueNotEmpty);
    case VarType::kInteger:
      return FromInteger(ToInteger());
    case VarType::kLong:
      return FromLong(ToLong());
    case VarType::kSingle:
      return FromSingle(ToSingle());
    case VarType::kString:
      return Variant(ToString());
    case VarType::kObject:
      return FromObject(ToObject());
    case VarType::kBoolean:
      return FromBoolean(ToBoolean());
  }
  throw RuntimeError(err::kTypeMismatch, messages::kUnknownTargetType);
}

bool operator==(const Variant& a, const Variant& b) {
  return a.value_ == b.value_;
}

std::ostream& operator<<(std::ostream& os, const Variant& v) {
  switch (v.type()) {
    case VarType::kEmpty:
      return os << "Empty";
    case VarType::kString:
      return os << "String(\"" << std::get<String>(v.value_) << "\")";
    case VarType::kObject: {
      const auto& font = std::get<FontRef>(v.value_);
      if (!font) return os << "Object(Nothing)";
      return os << "Object(Font \"" << font->name << "\" " << font->size << ")";
    }
    default:
      return os << v.type() << "(" << v.ToString() << ")";
  }
}

}  // namespace kestrel::control
