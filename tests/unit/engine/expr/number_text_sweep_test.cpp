// Sweeps of the decimal printer against the standard library's conversions
// over many random doubles.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "engine/expr/number_text.h"

namespace tavix {
namespace {

// Significant digits of a positional text: digits without the sign, the point
// and the zeros that lead or trail them.
std::string significantDigits(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return "0";
  digits.erase(0, first);
  digits.erase(digits.find_last_not_of('0') + 1);
  return digits;
}

TEST(DecimalPrinterSweep, ShortestTextReadsBackBitForBit) {
  std::mt19937_64 rng(20240305);
  char buffer[kMaxNumberTextLength];
  for (int i = 0; i < 300000; ++i) {
    // Random bit patterns cover every exponent, subnormals included.
    const double x = std::bit_cast<double>(rng());
    if (!std::isfinite(x)) continue;
    const std::string_view text = formatShortestText(buffer, sizeof(buffer), x);
    ASSERT_FALSE(text.empty()) << x;
    ASSERT_EQ(text.find_first_of("eE"), std::string_view::npos) << text;
    double back = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(result.ec, std::errc()) << text;
    ASSERT_EQ(result.ptr, text.data() + text.size()) << text;
    ASSERT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(x)) << text;

    // As short as the standard's shortest form.
    char reference[32];
    const auto ref = std::to_chars(reference, reference + sizeof(reference), std::fabs(x),
                                   std::chars_format::scientific);
    std::string ref_digits(reference, static_cast<size_t>(std::find(reference, ref.ptr, 'e') - reference));
    ASSERT_EQ(significantDigits(text), significantDigits(ref_digits)) << text;
  }
}

TEST(DecimalPrinterSweep, FixedAgreesWithExactRoundingAwayFromDecimalTies) {
  // Rounding the shortest digits and rounding the exact binary value can only
  // differ when the shortest digits end exactly one place after the cut (a
  // decimal tie such as 2.675); everywhere else they must agree.
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-12, 6);
  std::uniform_int_distribution<int> decimals(0, 9);
  char ours[kMaxNumberTextLength];
  for (int i = 0; i < 200000; ++i) {
    double x = mantissa(rng) * std::pow(10.0, exponent(rng));
    if (i % 3 == 0) x = std::round(x * 1000) / 1000;  // plenty of short decimals and ties
    const uint8_t n = static_cast<uint8_t>(decimals(rng));
    const std::string_view text = formatFixedText(ours, sizeof(ours), x, n);
    char reference[64];
    const auto ref =
        std::to_chars(reference, reference + sizeof(reference), x, std::chars_format::fixed, n);
    const std::string_view expected(reference, static_cast<size_t>(ref.ptr - reference));
    if (text == expected) continue;
    char digits[kMaxNumberTextLength];
    const std::string_view s = formatShortestText(digits, sizeof(digits), x);
    const size_t point = s.find('.');
    const size_t shortest_decimals = point == std::string_view::npos ? 0 : s.size() - point - 1;
    ASSERT_EQ(shortest_decimals, n + 1u)
        << x << " with " << int{n} << ": " << text << " vs " << expected;
    ASSERT_EQ(s.back(), '5') << s;
  }
}

}  // namespace
}  // namespace tavix
