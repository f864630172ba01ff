#include "common/number_rule.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

namespace tavix {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(NumberRule, AcceptsDecimalHexAndSpecialForms) {
  static const struct {
    const char* text;
    double value;
  } cases[] = {
      {"0", 0.0},
      {"42", 42.0},
      {"+42", 42.0},
      {"-42", -42.0},
      {"5.", 5.0},
      {".5", 0.5},
      {"-.5", -0.5},
      {"1.25", 1.25},
      {"1e3", 1000.0},
      {"1E+3", 1000.0},
      {"2.5e-1", 0.25},
      {"1_000", 1000.0},
      {"1_0.2_5", 10.25},
      {"1e1_0", 1e10},
      {"0x10", 16.0},
      {"0X1f", 31.0},
      {"-0x10", -16.0},
      {"0x1.8", 1.5},
      {"0x.8", 0.5},
      {"0x1p4", 16.0},
      {"0x1.8P-1", 0.75},
      {"0xf_f", 255.0},
      {"inf", kInf},
      {"INF", kInf},
      {"-Infinity", -kInf},
      {"+iNfInItY", kInf},
      // Rounded correctly: the nearest double, not a digit-by-digit sum.
      {"0.1", 0.1},
      {"9007199254740993", 9007199254740992.0},
      {"2.2250738585072014e-308", 2.2250738585072014e-308},
      // Subnormals are values, not underflow.
      {"4.9e-324", 4.9406564584124654e-324},
      // Out of range: infinity or zero, never an error.
      {"1e400", kInf},
      {"-1e400", -kInf},
      {"1e-400", 0.0},
      {"0x1p99999", kInf},
      {"0x1p-99999", 0.0},
      {"0.000001e400", kInf},
      {"1000000e-400", 0.0},
      {"0e999999", 0.0},
  };
  for (const auto& c : cases) {
    double v = -12345;
    ASSERT_EQ(parseNumber(c.text, v), Error::ok) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
    EXPECT_TRUE(isNumber(c.text)) << c.text;
  }
}

TEST(NumberRule, NanKeepsItsSign) {
  static const struct {
    const char* text;
    bool negative;
  } cases[] = {{"nan", false}, {"NaN", false}, {"+nan", false}, {"-nan", true}, {"-NAN", true}};
  for (const auto& c : cases) {
    double v = 0;
    ASSERT_EQ(parseNumber(c.text, v), Error::ok) << c.text;
    EXPECT_TRUE(std::isnan(v)) << c.text;
    EXPECT_EQ(std::signbit(v), c.negative) << c.text;
  }
}

TEST(NumberRule, NegativeZeroAndOutOfRangeNegativeKeepTheSign) {
  double v = 0;
  ASSERT_EQ(parseNumber("-0", v), Error::ok);
  EXPECT_TRUE(std::signbit(v));
  ASSERT_EQ(parseNumber("-1e-400", v), Error::ok);
  EXPECT_EQ(v, 0.0);
  EXPECT_TRUE(std::signbit(v));
}

TEST(NumberRule, RefusesEverythingElseAsInvalidCharacter) {
  static const char* const cases[] = {
      "",       "+",      "-",       ".",      "+.",     "e5",     "1e",     "1e+",
      "1.2.3",  " 1",     "1 ",      "1\t",    "- 1",    "1 000",  "_1",     "1_",
      "1__0",   "1_.5",   "1._5",    "1e_5",   "1e5_",   "+_1",    "0x",     "0x.",
      "0xg",    "0x1p",   "0x_1",    "0x1_",   "0x1e+",  "x10",    "1x10",   "nan(1)",
      "nan()",  "nana",   "infin",   "infinityy", "--1",  "+-1",    "1e5.5",  "0x1.8q",
      "1,5",    "1e5e5",  "١",       "1f",     "0b101",  "1e1.0",  "0x1p1.5", "in f",
  };
  for (const char* text : cases) {
    double v = 7;
    EXPECT_EQ(parseNumber(text, v), Error::InvalidCharacter) << '"' << text << '"';
    EXPECT_EQ(v, 7) << text;
    EXPECT_FALSE(isNumber(text)) << text;
  }
}

// Wherever strtod reads the whole text, the two must agree bit for bit:
// both round correctly.
TEST(NumberRuleSweep, AgreesWithStrtodOnDecimalAndHexTexts) {
  uint64_t state = 0x9e3779b97f4a7c15u;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    if (next() % 4 == 0) text += "0x";
    const bool hex = !text.empty();
    const char* digits = hex ? "0123456789abcdef" : "0123456789";
    const int base = hex ? 16 : 10;
    for (uint64_t n = 1 + next() % 20; n > 0; --n) text += digits[next() % base];
    if (next() % 2) {
      text += '.';
      for (uint64_t n = next() % 20; n > 0; --n) text += digits[next() % base];
    }
    if (next() % 2) {
      text += hex ? 'p' : 'e';
      if (next() % 2) text += '-';
      text += std::to_string(next() % 400);
    }
    double ours = 0;
    ASSERT_EQ(parseNumber(text, ours), Error::ok) << text;
    char* end = nullptr;
    const double theirs = std::strtod(text.c_str(), &end);
    ASSERT_EQ(*end, '\0') << text;
    EXPECT_EQ(ours, theirs) << text;
  }
}

// The reference for decimal texts: the standard library's correctly rounded
// parser, over the text after its sign.
double referenceDecimal(const std::string& text) {
  std::string_view s(text);
  const bool negative = !s.empty() && s[0] == '-';
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
  double v = 0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  EXPECT_TRUE(ec == std::errc() && ptr == s.data() + s.size()) << text;
  return negative ? -v : v;
}

void expectSameBits(const std::string& text) {
  double ours = 0;
  ASSERT_EQ(parseNumber(text, ours), Error::ok) << '"' << text << '"';
  const double theirs = referenceDecimal(text);
  EXPECT_EQ(std::bit_cast<uint64_t>(ours), std::bit_cast<uint64_t>(theirs)) << '"' << text << '"';
}

// Plain decimals of up to 19 digits with a point and a short exponent are
// read without the general parser when their value is exact enough; every
// one must still be the correctly rounded double, sign of zero included.
// Texts just past each limit (2^53, 10^22, 19 digits) take the other road
// and must agree as well.
TEST(NumberRuleSweep, PlainDecimalsMatchTheCorrectlyRoundedValue) {
  static const char* const edges[] = {
      "9007199254740992",        "9007199254740993",     "9007199254740991.5",
      "900719925474099.3",       "1e22",                 "1e23",
      "0.0000000000000000000001", "0.00000000000000000000001", "1234567890123456789",
      "12345678901234567890",    "123456789012345.6e7",  "0.1e-21",
      "-0.0",                    "-0e5",                 "000000000000000000000000001.5",
      "4503599627370497.5",      "1.7976931348623157e3", "99999999999999999e-22",
      "8.5e-22",                 "5e-1",                 "+7.25E+2",
  };
  for (const char* text : edges) expectSameBits(text);

  uint64_t state = 0x2545f4914f6cdd1du;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int i = 0; i < 200000; ++i) {
    std::string text;
    const uint64_t shape = next();
    if (shape % 3 == 0) text += '-';
    const uint64_t digits = 1 + next() % 19;
    const uint64_t point = next() % (digits + 2);  // digits + 1: no point
    for (uint64_t d = 0; d < digits; ++d) {
      if (d == point) text += '.';
      // Some texts run long on zeros, which do not count towards the mantissa.
      text += (shape >> 8) % 5 == 0 && d < digits / 2 ? '0' : static_cast<char>('0' + next() % 10);
    }
    if (point == digits) text += '.';
    if ((shape >> 16) % 4 == 0) {
      text += (shape >> 20) % 2 ? 'e' : 'E';
      if ((shape >> 24) % 2) text += '-';
      text += std::to_string(next() % 30);
    }
    expectSameBits(text);
  }
}

// Short texts over digits, points and the bytes right next to the digits
// ('/' and ':'), a letter and a non-ASCII byte: a text is a number exactly
// when it holds only digits and at most one point, with at least one digit.
TEST(NumberRuleSweep, ShortTextsAreRefusedUnlessPlainDecimals) {
  static const char kAlphabet[] = "0123456789012345678901234567..:/a\x80";
  uint64_t state = 0x853c49e6748fea9bu;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int i = 0; i < 100000; ++i) {
    std::string text;
    for (uint64_t n = 1 + next() % 17; n > 0; --n) text += kAlphabet[next() % (sizeof kAlphabet - 1)];
    size_t digits = 0;
    size_t points = 0;
    size_t others = 0;
    for (char c : text) {
      if (c >= '0' && c <= '9') {
        ++digits;
      } else if (c == '.') {
        ++points;
      } else {
        ++others;
      }
    }
    const bool number = others == 0 && points <= 1 && digits > 0;
    double v = 0;
    ASSERT_EQ(parseNumber(text, v) == Error::ok, number) << '"' << text << '"';
    if (number) expectSameBits(text);
  }
}

template <typename Int>
struct IntegerCase {
  const char* text;
  Error error;
  Int value;
};

template <typename Int>
void expectIntegerCases(const IntegerCase<Int>* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const auto& c = cases[i];
    Int v = 99;
    EXPECT_EQ(parseInteger(c.text, v), c.error) << '"' << c.text << '"';
    EXPECT_EQ(v, c.error == Error::ok ? c.value : Int{99}) << '"' << c.text << '"';
  }
}

TEST(IntegerRule, SignedThirtyTwoBit) {
  static const IntegerCase<int32_t> cases[] = {
      {"0", Error::ok, 0},
      {"+7", Error::ok, 7},
      {"-7", Error::ok, -7},
      {"007", Error::ok, 7},
      {"1_000", Error::ok, 1000},
      {"1__0_0", Error::ok, 100},
      {"2147483647", Error::ok, 2147483647},
      {"-2147483648", Error::ok, INT32_MIN},
      {"2147483648", Error::Overflow, 0},
      {"-2147483649", Error::Overflow, 0},
      {"99999999999999999999999", Error::Overflow, 0},
      {"", Error::InvalidCharacter, 0},
      {"+", Error::InvalidCharacter, 0},
      {"-", Error::InvalidCharacter, 0},
      {"_1", Error::InvalidCharacter, 0},
      {"1_", Error::InvalidCharacter, 0},
      {"-_1", Error::InvalidCharacter, 0},
      {" 1", Error::InvalidCharacter, 0},
      {"1 ", Error::InvalidCharacter, 0},
      {"1.0", Error::InvalidCharacter, 0},
      {"1e3", Error::InvalidCharacter, 0},
      {"0x10", Error::InvalidCharacter, 0},
      {"5;", Error::InvalidCharacter, 0},
      {"--1", Error::InvalidCharacter, 0},
  };
  expectIntegerCases(cases, std::size(cases));
}

TEST(IntegerRule, UnsignedTargetsTakeMinusZeroAndRefuseOtherNegatives) {
  static const IntegerCase<uint8_t> u8[] = {
      {"255", Error::ok, 255}, {"256", Error::Overflow, 0}, {"-0", Error::ok, 0},
      {"-0_0", Error::ok, 0},  {"-1", Error::Overflow, 0},  {"+2", Error::ok, 2},
  };
  expectIntegerCases(u8, std::size(u8));
  static const IntegerCase<uint64_t> u64[] = {
      {"18446744073709551615", Error::ok, UINT64_MAX},
      {"18446744073709551616", Error::Overflow, 0},
      {"184467440737095516150", Error::Overflow, 0},
      {"-18446744073709551616", Error::Overflow, 0},
  };
  expectIntegerCases(u64, std::size(u64));
}

TEST(IntegerRule, SignedSixtyFourAndEightBitLimits) {
  static const IntegerCase<int64_t> i64[] = {
      {"9223372036854775807", Error::ok, INT64_MAX},
      {"-9223372036854775808", Error::ok, INT64_MIN},
      {"9223372036854775808", Error::Overflow, 0},
      {"-9223372036854775809", Error::Overflow, 0},
  };
  expectIntegerCases(i64, std::size(i64));
  static const IntegerCase<int8_t> i8[] = {
      {"127", Error::ok, 127}, {"-128", Error::ok, -128}, {"128", Error::Overflow, 0},
      {"-129", Error::Overflow, 0},
  };
  expectIntegerCases(i8, std::size(i8));
}

}  // namespace
}  // namespace tavix
