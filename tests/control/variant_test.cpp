// Variant: subtypes, equality, printing, and the conversion table with its errors.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "kestrel/control/variant.hpp"
#include "kestrel/platform/error.hpp"

namespace kestrel::control {
namespace {

// Converts `from` to `to` and reports either the value or "error <number>".
std::string Outcome(const Variant& from, VarType to) {
  try {
    std::ostringstream os;
    os << from.ConvertTo(to);
    return os.str();
  } catch (const RuntimeError& e) {
    return "error " + std::to_string(e.number());
  }
}

struct Row {
  Variant from;
  VarType to;
  std::string expected;
};

const Row kTable[] = {
    // Empty is the zero of every type.
    {Variant(), VarType::kInteger, "Integer(0)"},
    {Variant(), VarType::kLong, "Long(0)"},
    {Variant(), VarType::kBoolean, "Boolean(False)"},
    {Variant(), VarType::kString, "String(\"\")"},
    {Variant(), VarType::kObject, "error 13"},
    // Between the numeric types, with range checks.
    {Variant::FromInteger(-7), VarType::kLong, "Long(-7)"},
    {Variant::FromLong(32767), VarType::kInteger, "Integer(32767)"},
    {Variant::FromLong(40000), VarType::kInteger, "error 6"},
    {Variant::FromLong(-32769), VarType::kInteger, "error 6"},
    {Variant::FromLong(5), VarType::kSingle, "Single(5)"},
    // A fraction goes to the nearest whole number, a tie to the even one.
    {Variant::FromSingle(2.5F), VarType::kInteger, "Integer(2)"},
    {Variant::FromSingle(3.5F), VarType::kInteger, "Integer(4)"},
    {Variant::FromSingle(-2.5F), VarType::kLong, "Long(-2)"},
    {Variant::FromSingle(2.4F), VarType::kLong, "Long(2)"},
    {Variant::FromSingle(32767.5F), VarType::kInteger, "error 6"},
    {Variant::FromSingle(3e9F), VarType::kLong, "error 6"},
    {Variant::FromSingle(std::numeric_limits<float>::quiet_NaN()), VarType::kInteger, "error 6"},
    // Booleans keep their stored value as a number; a number becomes True (-1) when nonzero.
    {Variant::FromBoolean(kTrue), VarType::kInteger, "Integer(-1)"},
    {Variant::FromBoolean(1), VarType::kLong, "Long(1)"},
    {Variant::FromBoolean(1), VarType::kBoolean, "Boolean(True)"},
    {Variant::FromInteger(7), VarType::kBoolean, "Boolean(True)"},
    {Variant::FromLong(0), VarType::kBoolean, "Boolean(False)"},
    {Variant::FromSingle(0.25F), VarType::kBoolean, "Boolean(True)"},
    {Variant::FromBoolean(kFalse), VarType::kString, "String(\"False\")"},
    {Variant::FromBoolean(kTrue), VarType::kString, "String(\"True\")"},
    // Numbers to text.
    {Variant::FromInteger(-12), VarType::kString, "String(\"-12\")"},
    {Variant::FromLong(2147483647), VarType::kString, "String(\"2147483647\")"},
    {Variant::FromSingle(2.5F), VarType::kString, "String(\"2.5\")"},
    {Variant::FromSingle(1e20F), VarType::kString, "String(\"1E+20\")"},
    // Numeric text to numbers: blanks around it are fine, anything else is not.
    {Variant("42"), VarType::kInteger, "Integer(42)"},
    {Variant("  -42\t"), VarType::kInteger, "Integer(-42)"},
    {Variant("+7"), VarType::kLong, "Long(7)"},
    {Variant("2.5"), VarType::kInteger, "Integer(2)"},
    {Variant("3.5"), VarType::kInteger, "Integer(4)"},
    {Variant("1e3"), VarType::kLong, "Long(1000)"},
    {Variant(".5"), VarType::kSingle, "Single(0.5)"},
    {Variant("40000"), VarType::kInteger, "error 6"},
    {Variant("2147483648"), VarType::kLong, "error 6"},
    {Variant("1e400"), VarType::kSingle, "error 6"},
    {Variant("1e-400"), VarType::kInteger, "Integer(0)"},
    {Variant("abc"), VarType::kInteger, "error 13"},
    {Variant(""), VarType::kInteger, "error 13"},
    {Variant("   "), VarType::kLong, "error 13"},
    {Variant("1,000"), VarType::kLong, "error 13"},
    {Variant("12abc"), VarType::kLong, "error 13"},
    {Variant("inf"), VarType::kSingle, "error 13"},
    {Variant("nan"), VarType::kSingle, "error 13"},
    {Variant("0x10"), VarType::kInteger, "error 13"},
    {Variant("-"), VarType::kInteger, "error 13"},
    {Variant("1e"), VarType::kInteger, "error 13"},
    // Text to Boolean: True/False in any case, or a number.
    {Variant("True"), VarType::kBoolean, "Boolean(True)"},
    {Variant(" fALSE "), VarType::kBoolean, "Boolean(False)"},
    {Variant("0"), VarType::kBoolean, "Boolean(False)"},
    {Variant("-3.5"), VarType::kBoolean, "Boolean(True)"},
    {Variant("yes"), VarType::kBoolean, "error 13"},
    // Objects convert only to objects.
    {Variant::FromObject(nullptr), VarType::kObject, "Object(Nothing)"},
    {Variant::FromObject(nullptr), VarType::kInteger, "error 13"},
    {Variant::FromObject(std::make_shared<control::Font>()), VarType::kString, "error 13"},
    {Variant::FromObject(std::make_shared<control::Font>()), VarType::kBoolean, "error 13"},
    {Variant("x"), VarType::kObject, "error 13"},
    {Variant::FromLong(1), VarType::kObject, "error 13"},
    {Variant::FromLong(1), VarType::kEmpty, "error 13"},
};

TEST(VariantConversion, Table) {
  for (const auto& row : kTable) {
    EXPECT_EQ(Outcome(row.from, row.to), row.expected) << row.from << " to " << row.to;
  }
}

TEST(VariantConversion, ErrorsSayWhatWentWrongAndWhatToDo) {
  try {
    (void)Variant("abc").ToInteger();
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kTypeMismatch);
    EXPECT_NE(e.description().find("Type mismatch"), std::string::npos) << e.description();
    EXPECT_NE(e.description().find("\"abc\""), std::string::npos) << e.description();
    EXPECT_NE(e.description().find("Pass"), std::string::npos) << e.description();
  }
  try {
    (void)Variant::FromLong(40000).ToInteger();
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kOverflow);
    EXPECT_NE(e.description().find("Overflow: 40000"), std::string::npos) << e.description();
    EXPECT_NE(e.description().find("-32768 to 32767"), std::string::npos) << e.description();
  }
  // A long text is cut short in the message.
  try {
    (void)Variant(std::string(200, 'x')).ToLong();
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_LT(e.description().size(), 200U);
  }
}

TEST(VariantConversion, SingleRangeEndsWhereRoundingReachesInfinity) {
  constexpr float kMax = std::numeric_limits<float>::max();
  // The largest Single survives a trip through its own text, which reads back a hair above it.
  EXPECT_EQ(Variant(Variant::FromSingle(kMax).ToString()).ToSingle(), kMax);
  EXPECT_EQ(Variant(Variant::FromSingle(-kMax).ToString()).ToSingle(), -kMax);
  EXPECT_EQ(Variant("3.4028235E+38").ToSingle(), kMax);
  for (const char* text : {"3.41E+38", "-3.41E+38", "1E+39"}) {
    try {
      (void)Variant(text).ToSingle();
      ADD_FAILURE() << text << " became a Single";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), err::kOverflow) << text;
    }
  }
}

TEST(VariantConversion, RoundHalfEven) {
  EXPECT_EQ(RoundHalfEven(0.5), 0.0);
  EXPECT_EQ(RoundHalfEven(1.5), 2.0);
  EXPECT_EQ(RoundHalfEven(2.5), 2.0);
  EXPECT_EQ(RoundHalfEven(-0.5), 0.0);
  EXPECT_EQ(RoundHalfEven(-1.5), -2.0);
  EXPECT_EQ(RoundHalfEven(2.5000001), 3.0);
  EXPECT_EQ(RoundHalfEven(-3.49), -3.0);
}

TEST(VariantValue, SubtypesEqualityAndPrinting) {
  EXPECT_EQ(Variant().type(), VarType::kEmpty);
  EXPECT_EQ(Variant::FromInteger(1).type(), VarType::kInteger);
  EXPECT_EQ(Variant::FromBoolean(1).type(), VarType::kBoolean);
  EXPECT_EQ(Variant("a").type(), VarType::kString);
  EXPECT_EQ(Variant::FromObject(nullptr).type(), VarType::kObject);

  // Integer 1 and Boolean 1 share a C++ type but are different values.
  EXPECT_NE(Variant::FromInteger(1), Variant::FromBoolean(1));
  EXPECT_NE(Variant::FromInteger(1), Variant::FromLong(1));
  EXPECT_EQ(Variant("a"), Variant(std::string("a")));
  // Objects compare by identity, not by content.
  auto f = std::make_shared<control::Font>();
  EXPECT_EQ(Variant::FromObject(f), Variant::FromObject(f));
  EXPECT_NE(Variant::FromObject(f), Variant::FromObject(std::make_shared<control::Font>()));

  std::ostringstream os;
  os << Variant() << " " << Variant::FromBoolean(0) << " " << Variant("x") << " "
     << Variant::FromObject(nullptr);
  EXPECT_EQ(os.str(), "Empty Boolean(False) String(\"x\") Object(Nothing)");
}

}  // namespace
}  // namespace kestrel::control
