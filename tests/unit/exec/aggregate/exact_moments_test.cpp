#include "exec/aggregate/exact_moments.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace tavix {
namespace {

ExactMoments fill(const std::vector<double>& values, size_t from, size_t to, ArenaAllocator& arena) {
  ExactMoments state;
  for (size_t k = from; k < to; ++k) EXPECT_EQ(addExactMoment(state, values[k], arena), Error::ok);
  return state;
}

// The integer a window holds, word by word from word 0, without the zero
// words on either side: two states of the same values are equal here
// however their windows grew.
std::vector<uint64_t> value(const ExactWords& w) {
  std::vector<uint64_t> out;
  for (uint32_t k = 0; k < w.length; ++k) {
    const size_t at = static_cast<size_t>(w.lo + static_cast<int32_t>(k));
    if (out.size() <= at) out.resize(at + 1, 0);
    out[at] = w.words[k];
  }
  while (!out.empty() && out.back() == 0) out.pop_back();
  return out;
}

void expectSameState(const ExactMoments& a, const ExactMoments& b) {
  EXPECT_EQ(value(a.sum.positive), value(b.sum.positive));
  EXPECT_EQ(value(a.sum.negative), value(b.sum.negative));
  EXPECT_EQ(value(a.squares), value(b.squares));
  EXPECT_EQ(a.non_finite, b.non_finite);
}

// References: the exact rational variance of the doubles, correctly rounded
// (computed with rational arithmetic outside this code).
TEST(ExactVariance, MatchesTheCorrectlyRoundedVariance) {
  static const struct {
    std::vector<double> values;
    double population;
    double sample;
  } cases[] = {
      {{1, 2, 3, 4}, 0x1.4p+0, 0x1.aaaaaaaaaaaabp+0},
      {{0.1, 0.2, 0.3, 0.4, 0.5}, 0x1.47ae147ae147bp-6, 0x1.999999999999ap-6},
      {{1000000004, 1000000007, 1000000013, 1000000016}, 0x1.68p+4, 0x1.ep+4},
      {{1e16, 1, -1e16, 2, 3}, 0x1.f8def8808b024p+104, 0x1.3b8b5b5056e17p+105},
      {{3, -2.5, 9, 7, 0.5, 4, -4, 8, 100, 3}, 0x1.ae9ae147ae148p+9, 0x1.de73333333333p+9},
      {{1e150, 3e150, -2e150, 1.5e-200}, 0x1.369712e805f8fp+998, 0x1.9e1ec3e007f69p+998},
      {{5e-324, 1e-300, 2.5e-150, -3e-151, 7e-160}, 0x1.7064aacc6611cp-997, 0x1.cc7dd57f7f963p-997},
      {{1e150, 1.0, -1e-300, 3.14159, -2.5e140, 7e-200, 1e16, -1e16, 0.1}, 0x1.2e094f68a2bcap+993,
       0x1.53ca7955b7144p+993},
      // Far apart, equal or all below the smallest normal.
      {{1e308, 1e308, 1e308}, 0, 0},
      {{1e200, 1e200}, 0, 0},
      {{5e-324, 1e-323, 0}, 0, 0},
      {{-0.0, 0.0}, 0, 0},
      // A variance past the largest double.
      {{1e308, -1e308}, std::numeric_limits<double>::infinity(),
       std::numeric_limits<double>::infinity()},
  };
  for (const auto& c : cases) {
    ArenaAllocator arena(cAllocator());
    const ExactMoments state = fill(c.values, 0, c.values.size(), arena);
    const uint64_t n = c.values.size();
    EXPECT_EQ(exactVariance(state, n, n), c.population) << c.values[0] << " .. " << n;
    EXPECT_EQ(exactVariance(state, n, n - 1), c.sample) << c.values[0] << " .. " << n;
  }
}

TEST(ExactVariance, NonFiniteValuesGiveNaN) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double bad : {inf, -inf, std::numeric_limits<double>::quiet_NaN()}) {
    ArenaAllocator arena(cAllocator());
    const ExactMoments state = fill({1, bad, 3}, 0, 3, arena);
    EXPECT_TRUE(std::isnan(exactVariance(state, 3, 3))) << bad;
    // Merged in from either side.
    ExactMoments a = fill({1, 2}, 0, 2, arena);
    ASSERT_EQ(mergeExactMoments(a, fill({bad}, 0, 1, arena), arena), Error::ok);
    EXPECT_TRUE(std::isnan(exactVariance(a, 3, 2))) << bad;
  }
}

// Values of every magnitude and sign, cut into runs at random points and in
// random order: every cut and order holds the same integers and gives the
// same variance bits as the values taken one by one in order.
TEST(ExactMoments, AnySplitAndOrderGivesTheSameState) {
  std::mt19937_64 random(20261211);
  std::vector<double> values;
  for (int k = 0; k < 3000; ++k) {
    const double mantissa = std::ldexp(static_cast<double>(random() >> 11), -53);
    const int exponent = static_cast<int>(random() % 2100) - 1075;
    double x = std::ldexp(mantissa, exponent % 5 == 0 ? exponent : exponent / 8);
    if (random() % 2 == 0) x = -x;
    values.push_back(x);
  }
  values.push_back(std::numeric_limits<double>::denorm_min());
  values.push_back(std::numeric_limits<double>::max());
  values.push_back(-std::numeric_limits<double>::max());
  ArenaAllocator arena(cAllocator());
  const ExactMoments whole = fill(values, 0, values.size(), arena);
  const uint64_t n = values.size();
  const double population = exactVariance(whole, n, n);
  const double sample = exactVariance(whole, n, n - 1);
  EXPECT_FALSE(std::isnan(population));
  for (int round = 0; round < 40; ++round) {
    std::vector<size_t> cuts = {0, values.size()};
    for (int c = 0; c < 1 + round % 9; ++c) cuts.push_back(random() % (values.size() + 1));
    std::sort(cuts.begin(), cuts.end());
    std::vector<ExactMoments> parts;
    for (size_t c = 0; c + 1 < cuts.size(); ++c)
      parts.push_back(fill(values, cuts[c], cuts[c + 1], arena));
    std::shuffle(parts.begin(), parts.end(), random);
    ExactMoments merged;
    for (const ExactMoments& part : parts) ASSERT_EQ(mergeExactMoments(merged, part, arena), Error::ok);
    expectSameState(merged, whole);
    EXPECT_EQ(std::bit_cast<uint64_t>(exactVariance(merged, n, n)), std::bit_cast<uint64_t>(population));
    EXPECT_EQ(std::bit_cast<uint64_t>(exactVariance(merged, n, n - 1)), std::bit_cast<uint64_t>(sample));
  }
  std::vector<double> reversed(values.rbegin(), values.rend());
  expectSameState(fill(reversed, 0, reversed.size(), arena), whole);
}

// Carries run through every word of a window and past its top.
TEST(ExactMoments, CarriesGrowTheWindow) {
  ArenaAllocator arena(cAllocator());
  ExactMoments state;
  // 2^53 - 1 filling bits 11 to 63 of word 1: its first carry grows the
  // window by a word.
  const double x = std::ldexp(static_cast<double>((uint64_t{1} << 53) - 1), 64 + 11 - 1074);
  for (int k = 0; k < 4097; ++k) ASSERT_EQ(addExactMoment(state, x, arena), Error::ok);
  ExactMoments once;
  ASSERT_EQ(addExactMoment(once, x, arena), Error::ok);
  ExactMoments doubled;
  for (int k = 0; k < 4097; ++k) ASSERT_EQ(mergeExactMoments(doubled, once, arena), Error::ok);
  expectSameState(state, doubled);
  EXPECT_EQ(exactVariance(state, 4097, 4097), 0.0);
  // The sum is 4097 * x exactly.
  const std::vector<uint64_t> sum = value(state.sum.positive);
  const unsigned __int128 expected = static_cast<unsigned __int128>((uint64_t{1} << 53) - 1) * 4097;
  ASSERT_EQ(sum.size(), 3u);
  EXPECT_EQ(sum[0], 0u);
  EXPECT_EQ(sum[1], static_cast<uint64_t>(expected << 11));
  EXPECT_EQ(sum[2], static_cast<uint64_t>(expected >> 53));
}

}  // namespace
}  // namespace tavix
