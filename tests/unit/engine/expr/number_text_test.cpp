#include "engine/expr/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "common/error.h"
#include "support/failing_allocator.h"

namespace tavix {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kDenormMin = std::numeric_limits<double>::denorm_min();
constexpr double kTwo63 = 9223372036854775808.0;

std::string shortest(double x) {
  char buffer[kMaxNumberTextLength];
  return std::string(formatShortestText(buffer, sizeof(buffer), x));
}

std::string fixed(double x, uint8_t decimals) {
  char buffer[fixedTextCapacity(255)];
  return std::string(formatFixedText(buffer, sizeof(buffer), x, decimals));
}

// "0." followed by `zeros` zeros and then `tail`.
std::string smallText(size_t zeros, const char* tail) {
  return "0." + std::string(zeros, '0') + tail;
}

TEST(DecimalPrinter, ShortestIsPositional) {
  static const struct {
    double x;
    std::string text;
  } cases[] = {
      {0.1, "0.1"},
      {100, "100"},
      {123.456, "123.456"},
      {1e21, "1" + std::string(21, '0')},
      {1e-7, "0.0000001"},
      {0.1 + 0.2, "0.30000000000000004"},
      {9007199254740993.0, "9007199254740992"},
      {-1.5e-5, "-0.000015"},
      {0, "0"},
      {-0.0, "-0"},
      {kNan, "nan"},
      {-kNan, "-nan"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {kDenormMin, smallText(323, "5")},
      {-kDenormMin, "-" + smallText(323, "5")},
      {2.2250738585072014e-308, smallText(307, "22250738585072014")},
      {kMax, "17976931348623157" + std::string(292, '0')},
  };
  for (const auto& c : cases) EXPECT_EQ(shortest(c.x), c.text) << c.x;
}

TEST(DecimalPrinter, FixedRoundsHalfUpOnTheShortestDigits) {
  static const struct {
    double x;
    uint8_t decimals;
    std::string text;
  } cases[] = {
      {0.125, 2, "0.13"},
      {2.675, 2, "2.68"},  // the double is 2.67499999...; its shortest digits are 2.675
      {1.005, 2, "1.01"},
      {1.45, 1, "1.5"},
      {1.5, 3, "1.500"},
      {2.5, 0, "3"},
      {-2.5, 0, "-3"},
      {0.5, 0, "1"},
      {0.4, 0, "0"},
      {0.05, 1, "0.1"},
      {0.005, 2, "0.01"},
      {0.0049, 2, "0.00"},
      {0.0001, 2, "0.00"},
      {9.995, 2, "10.00"},
      {99.96, 1, "100.0"},
      {999.5, 0, "1000"},
      {123, 0, "123"},
      {1e21, 2, "1" + std::string(21, '0') + ".00"},
      {0.1 + 0.2, 9, "0.300000000"},
      {1e-7, 6, "0.000000"},
      {5e-7, 6, "0.000001"},
      {-0.001, 2, "-0.00"},
      {-0.0, 2, "-0.00"},
      {-0.0, 0, "-0"},
      {kNan, 2, "nan"},
      {-kNan, 0, "-nan"},
      {kInf, 3, "inf"},
      {-kInf, 3, "-inf"},
      {kDenormMin, 9, "0.000000000"},
      {-kMax, 1, "-17976931348623157" + std::string(292, '0') + ".0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fixed(c.x, c.decimals), c.text) << c.x << " with " << int{c.decimals};
  }
}

TEST(DecimalPrinter, LongestTextsFitTheDocumentedBounds) {
  EXPECT_EQ(shortest(-kDenormMin).size(), kMaxNumberTextLength);
  EXPECT_EQ(shortest(-kMax).size(), 1 + kMaxIntegerPartDigits);
  EXPECT_LE(fixed(-kMax, kMaxFixedDecimals).size(), fixedTextCapacity(kMaxFixedDecimals));
  EXPECT_EQ(fixed(-kMax, 255).size(), fixedTextCapacity(255));

  char buffer[kMaxNumberTextLength];
  EXPECT_EQ(formatShortestText(buffer, kMaxNumberTextLength, -kDenormMin).size(),
            kMaxNumberTextLength);
  EXPECT_EQ(formatShortestText(buffer, kMaxNumberTextLength - 1, -kDenormMin), "");
  EXPECT_EQ(formatFixedText(buffer, 3, 1.25, 1), "1.3");
  EXPECT_EQ(formatFixedText(buffer, 2, 1.25, 1), "");
  EXPECT_EQ(formatIntegerText(buffer, kMaxIntegerTextLength, INT64_MIN), "-9223372036854775808");
}

TEST(Int64Conversion, RangeCheckedAndNeverUndefined) {
  static const struct {
    double x;
    bool truncates;
    int64_t truncated;
    bool exact;
  } cases[] = {
      {3.9, true, 3, false},
      {-3.9, true, -3, false},
      {3.0, true, 3, true},
      {-0.0, true, 0, true},
      {9223372036854774784.0, true, 9223372036854774784, true},  // largest double below 2^63
      {kTwo63, false, 0, false},
      {-kTwo63, true, INT64_MIN, true},
      {std::nextafter(-kTwo63, -kInf), false, 0, false},
      {1e300, false, 0, false},
      {kNan, false, 0, false},
      {kInf, false, 0, false},
      {-kInf, false, 0, false},
  };
  for (const auto& c : cases) {
    int64_t out = 42;
    EXPECT_EQ(truncateToInt64(c.x, out), c.truncates) << c.x;
    EXPECT_EQ(out, c.truncates ? c.truncated : 42) << c.x;
    out = 42;
    EXPECT_EQ(doubleToInt64Exact(c.x, out), c.exact) << c.x;
    EXPECT_EQ(out, c.exact ? c.truncated : 42) << c.x;
  }

  static const struct {
    double x;
    bool ok;
    int64_t rounded;
  } rounds[] = {
      {2.5, true, 3},   {-2.5, true, -3}, {2.4, true, 2},
      {0.49999999999999994, true, 0},     {-0.5, true, -1},
      {9223372036854774784.0, true, 9223372036854774784},
      {kTwo63, false, 0}, {kNan, false, 0}, {-kInf, false, 0},
  };
  for (const auto& c : rounds) {
    int64_t out = 42;
    EXPECT_EQ(roundHalfAwayToInt64(c.x, out), c.ok) << c.x;
    EXPECT_EQ(out, c.ok ? c.rounded : 42) << c.x;
  }
}

TEST(FormatNumberText, IntegersUpTo1e15ThenShortest) {
  static const struct {
    double x;
    std::string text;
    std::string point_zero;
  } cases[] = {
      {5.0, "5", "5.0"},
      {-2.0, "-2", "-2.0"},
      {-0.0, "0", "0.0"},
      {0.1, "0.1", "0.1"},
      {-3.5, "-3.5", "-3.5"},
      {1e15, "1000000000000000", "1000000000000000.0"},
      {-1e15, "-1000000000000000", "-1000000000000000.0"},
      {1.5e15, "1500000000000000", "1500000000000000"},
      {1e16, "10000000000000000", "10000000000000000"},
      {1e20, "100000000000000000000", "100000000000000000000"},
      {1e40, "1" + std::string(40, '0'), "1" + std::string(40, '0')},
      {1e-31, smallText(30, "1"), smallText(30, "1")},
      {kNan, "nan", "nan"},
      {-kInf, "-inf", "-inf"},
  };
  for (const auto& c : cases) {
    char buffer[kMaxNumberTextLength];
    EXPECT_EQ(formatNumberText(buffer, sizeof(buffer), c.x), c.text) << c.x;
    EXPECT_EQ(formatNumberTextPointZero(buffer, sizeof(buffer), c.x), c.point_zero) << c.x;
  }
}

TEST(FormatNumberText, SmallBufferGivesTheEmptyText) {
  char buffer[32];
  EXPECT_EQ(formatNumberText(buffer, 32, 1e-30), smallText(29, "1"));
  EXPECT_EQ(formatNumberText(buffer, 32, 1e-31), "");
  EXPECT_EQ(formatNumberText(buffer, 32, 1e40), "");
  EXPECT_EQ(formatNumberTextPointZero(buffer, 3, 3.0), "3.0");
  EXPECT_EQ(formatNumberTextPointZero(buffer, 2, 3.0), "");
}

TEST(FormatNumber, AggregateResults) {
  static const struct {
    double x;
    OutputPrecision precision;
    std::string text;
  } cases[] = {
      {10.0, {}, "10"},
      {-0.0, {}, "0"},
      {2.5, {}, "2.5"},
      {0.1 + 0.2, {}, "0.30000000000000004"},
      {1e20, {}, "100000000000000000000"},
      {9007199254740993.0, {}, "9007199254740992"},
      {-kTwo63, {}, "-9223372036854775808"},
      {kTwo63, {}, "9223372036854776000"},  // beyond int64: shortest digits
      {kNan, {}, "nan"},
      {-kNan, {}, "-nan"},
      {kInf, {}, "inf"},
      {2.675, {2, true}, "2.68"},
      {3, {2, true}, "3.00"},
      {2.5, {0, true}, "3"},
      {1.5, {9, true}, "1.500000"},
      {1.0000005, {6, true}, "1.000001"},
      {1.23456789, {5, true}, "1.23457"},
      {-0.0, {1, true}, "-0.0"},
      {1e300, {2, true}, "1" + std::string(300, '0') + ".00"},
  };
  ArenaAllocator arena;
  for (const auto& c : cases) {
    std::string_view text;
    ASSERT_EQ(formatNumber(arena.allocator(), c.x, c.precision, text), Error::ok) << c.x;
    EXPECT_EQ(text, c.text) << c.x << " digits " << int{c.precision.digits} << "/"
                            << c.precision.has_digits;
  }

  static const struct {
    int64_t v;
    const char* text;
  } integers[] = {
      {0, "0"}, {7, "7"}, {-1, "-1"}, {99, "99"}, {100, "100"}, {-1234567, "-1234567"},
      {INT64_MAX, "9223372036854775807"}, {INT64_MIN, "-9223372036854775808"},
  };
  for (const auto& c : integers) {
    std::string_view text;
    ASSERT_EQ(formatInteger(arena.allocator(), c.v, text), Error::ok);
    EXPECT_EQ(text, c.text) << c.v;
  }

  std::string_view text;
  ASSERT_EQ(formatFloatFixed6(arena.allocator(), 2.0 / 3, text), Error::ok);
  EXPECT_EQ(text, "0.666667");
}

TEST(FormatNumber, AllocationFailureIsOutOfMemory) {
  std::string_view text = "unchanged";
  EXPECT_EQ(formatNumber(test::failingAllocator(), 1.5, {}, text), Error::OutOfMemory);
  EXPECT_EQ(formatNumber(test::failingAllocator(), 3.0, {}, text), Error::OutOfMemory);
  EXPECT_EQ(formatNumber(test::failingAllocator(), 1.5, {2, true}, text), Error::OutOfMemory);
  EXPECT_EQ(formatInteger(test::failingAllocator(), 3, text), Error::OutOfMemory);
  EXPECT_EQ(formatFloatFixed6(test::failingAllocator(), 3, text), Error::OutOfMemory);
  EXPECT_EQ(text, "unchanged");
}

std::string strftime(std::string_view format, std::string_view value) {
  std::string out;
  formatStrftime(format, value, out);
  return out;
}

TEST(FormatStrftime, DirectivesOverDatesAndFallbackPositions) {
  static const struct {
    const char* format;
    const char* value;
    const char* text;
  } cases[] = {
      {"%Y/%m/%d", "2024-03-05 07:08:09", "2024/03/05"},
      {"%H:%M:%S", "2024-03-05 07:08:09", "07:08:09"},
      {"%Y-%m-%d %H", "20240305", "2024-03-05 00"},
      {"%d.%m.%Y", "03/05/2024", "05.03.2024"},
      {"%Y", "0044-01-01", "0044"},
      {"%Y", "10000-01-01", "10000"},
      {"%Y", "2147483647-01-01", "2147483647"},
      {"%y %j %%", "2024-03-05", "%y %j %%"},
      {"at %", "2024-03-05", "at %"},
      {"", "2024-03-05", ""},
      {"%", "x", "%"},
      // Not a date: the directives copy the bytes of "YYYY-MM-DD HH:MM:SS".
      {"%Y-%m", "2024-13-45", "2024-13"},
      {"%Y-%m-%d", "2024", "2024--"},
      {"%Y", "abc", ""},
      {"%H:%M:%S", "2024-13-45 07:08:09", "07:08:09"},
      {"%H:%M:%S", "2024-13-45 07:08:0", "07:08:"},
      {"%d|%H", "2024-13-45 7", "45|"},
      {"[%y]", "not a date", "[%y]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(strftime(c.format, c.value), c.text) << c.format << " over " << c.value;
  }
}

TEST(FormatStrftime, LongFormatIsWrittenWhole) {
  std::string format;
  std::string expected;
  for (int i = 0; i < 40; ++i) {
    format += "%Y-%m-%d %H:%M:%S|";
    expected += "2024-03-05 07:08:09|";
  }
  EXPECT_EQ(strftime(format, "2024-03-05 07:08:09"), expected);
  // The fallback path writes the same bytes.
  EXPECT_EQ(strftime(format, "2024-03-05 07:08:09 extra"), expected);

  // A buffer of strftimeCapacity bytes holds the widest directive output.
  char buffer[16];
  ASSERT_GE(sizeof(buffer), strftimeCapacity("%Y"));
  EXPECT_EQ(formatStrftime("%Y", "2147483647-01-01", buffer, strftimeCapacity("%Y")),
            "2147483647");
}

TEST(FormatStrftime, SmallBufferStopsBeforeAPieceThatDoesNotFit) {
  char buffer[8];
  EXPECT_EQ(formatStrftime("%Y-%m", "2024-03-05", buffer, 5), "2024-");
  EXPECT_EQ(formatStrftime("%Y-%m", "2024-03-05", buffer, 6), "2024-");
  EXPECT_EQ(formatStrftime("%Y-%m", "2024-03-05", buffer, 7), "2024-03");
  EXPECT_EQ(formatStrftime("%Yx", "2024-03-05", buffer, 3), "");
  EXPECT_EQ(formatStrftime("abc", "", buffer, 0), "");
}

TEST(FormatRounded, GroupKeys) {
  static const struct {
    uint8_t digits;
    bool has_digits;
    const char* value;
    std::string text;
  } cases[] = {
      {1, true, " 2.25 ", "2.3"},
      {0, false, "2.5", "3"},
      {0, false, "-2.5", "-3"},
      {0, true, "2.5", "3"},
      {7, false, "2.5", "3"},  // digits without has_digits are ignored
      {0, false, " 7 ", "7"},
      {0, false, "0.49999999999999994", "0"},
      {0, false, "-0.2", "0"},
      {2, true, "2.675", "2.68"},
      {2, true, "-0.001", "-0.00"},
      {9, true, "1", "1.000000"},
      {5, true, "1.234565", "1.23457"},
      {2, true, "1e300", "1" + std::string(300, '0') + ".00"},
      {0, false, "9.2e18", "9200000000000000000"},
      {0, false, "abc", "abc"},
      {1, true, " x ", " x "},
      {0, false, "", ""},
      // No int64 holds these: the key stays the value text.
      {0, false, "1e300", "1e300"},
      {0, false, " -9.3e18", " -9.3e18"},
      {0, false, "nan", "nan"},
      {0, false, "-inf ", "-inf "},
      {2, true, "inf", "inf"},
  };
  for (const auto& c : cases) {
    char buffer[kMaxNumberTextLength];
    EXPECT_EQ(formatRounded(c.digits, c.has_digits, c.value, buffer, sizeof(buffer)), c.text)
        << '"' << c.value << "\" digits " << int{c.digits} << "/" << c.has_digits;
  }
  char small[64];
  EXPECT_EQ(formatRounded(2, true, "1e300", small, sizeof(small)), "1e300");
}

}  // namespace
}  // namespace tavix
