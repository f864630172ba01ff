#include "exec/sort/order_rule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace tavix {
namespace {

using std::string_literals::operator""s;

int sign(int v) { return (v > 0) - (v < 0); }

// Each case gives the ascending three-way result of a against b; the test
// also checks the swapped pair and both directions, so every row tests that
// descending inverts strict results and leaves ties as ties.
TEST(CompareOrderValues, NumbersNumericallyEverythingElseAsUnsignedBytes) {
  static const struct {
    std::string a;
    std::string b;
    int expected;
  } cases[] = {
      {"1", "2", -1},
      {"2", "10", -1},         // both numbers: numeric, not textual
      {"9", "10", -1},
      {"10", "9a", -1},        // a number against a text compares as text
      {"10", "1a", -1},
      {"1a", "9", -1},         // with the two rows above: the rule is not transitive
      {"-5", "abc", -1},
      {"1.0", "1", 0},         // equal numbers tie
      {"-0", "0", 0},
      {"1e3", "1000", 0},
      {"0x10", "15", 1},       // hexadecimal is a number
      {"1_000", "999", 1},     // so are digit groups
      {"-inf", "-1e308", -1},
      {"inf", "1e308", 1},
      {"nan", "1", 1},         // "nan" reads as NaN, which is no number: text 'n' > '1'
      {"nan", "nan", 0},
      {"NaN", "nan", -1},
      {" 1", "1", -1},         // whitespace makes a text
      {"a", "b", -1},
      {"abc", "abd", -1},
      {"ab", "abc", -1},       // equal common part: shorter first
      {"", "a", -1},
      {"", "", 0},
      {"", "0", -1},
      {"\xff", "a", 1},        // bytes compare unsigned
      {"a\x80", "a\x7f", 1},
      {"a\0b"s, "a"s, 1},
      {"2024-01-15", "2024-01-03", 1},
  };
  for (const auto& c : cases) {
    const OrderValue a = makeOrderValue(c.a);
    const OrderValue b = makeOrderValue(c.b);
    EXPECT_EQ(sign(compareOrderValuesThreeWay(a, b)), c.expected) << "'" << c.a << "' vs '" << c.b << "'";
    EXPECT_EQ(sign(compareOrderValuesThreeWay(b, a)), -c.expected) << "'" << c.b << "' vs '" << c.a << "'";
    EXPECT_EQ(compareOrderValues(a, b, false), c.expected < 0) << "asc '" << c.a << "' vs '" << c.b << "'";
    EXPECT_EQ(compareOrderValues(a, b, true), c.expected > 0) << "desc '" << c.a << "' vs '" << c.b << "'";
  }
}

TEST(MakeOrderKey, ExactKeys) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  static const struct {
    double number;
    std::string text;
    uint64_t expected;
  } cases[] = {
      {0.0, "0", 0x8000000000000000ull},
      {-0.0, "-0", 0x7FFFFFFFFFFFFFFFull},
      {1.0, "1", 0xBFF0000000000000ull},
      {-1.0, "-1", 0x400FFFFFFFFFFFFFull},
      {nan, "", 0},
      {nan, "a", 0x6100000000000000ull},
      {nan, "abcdefgh", 0x6162636465666768ull},
      {nan, "abcdefghij", 0x6162636465666768ull},  // only eight bytes count
      {nan, "\xff", 0xFF00000000000000ull},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(makeOrderKey(c.number, c.text), c.expected) << "number " << c.number << ", text '" << c.text << "'";
  }
}

TEST(MakeOrderKey, UnsignedKeyOrderIsNumericOrder) {
  const double inf = std::numeric_limits<double>::infinity();
  const double tiny = std::numeric_limits<double>::denorm_min();
  const std::vector<double> ascending = {-inf, -1e308, -1.5, -1.0, -1e-300, -tiny, -0.0,
                                         0.0,  tiny,   1e-300, 1.0, 1.5, 1e308, inf};
  for (size_t i = 0; i + 1 < ascending.size(); ++i) {
    EXPECT_LT(makeOrderKey(ascending[i], {}), makeOrderKey(ascending[i + 1], {}))
        << ascending[i] << " vs " << ascending[i + 1];
  }
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-300, 300);
  for (int i = 0; i < 100000; ++i) {
    const double a = std::ldexp(mantissa(rng), exponent(rng));
    const double b = std::ldexp(mantissa(rng), exponent(rng));
    ASSERT_EQ(a < b, makeOrderKey(a, {}) < makeOrderKey(b, {})) << a << " vs " << b;
  }
}

TEST(MakeOrderKey, ShortTextKeysFollowByteOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::mt19937 rng(2);
  std::uniform_int_distribution<int> length(0, 8);
  std::uniform_int_distribution<int> byte(1, 255);  // no zero bytes
  auto text = [&]() {
    std::string s(static_cast<size_t>(length(rng)), ' ');
    for (char& ch : s) ch = static_cast<char>(byte(rng) % 4 == 0 ? 'a' : byte(rng));
    return s;
  };
  for (int i = 0; i < 100000; ++i) {
    const std::string a = text();
    const std::string b = text();
    const int c = sign(compareOrderValuesThreeWay({nan, a}, {nan, b}));
    const uint64_t ka = makeOrderKey(nan, a);
    const uint64_t kb = makeOrderKey(nan, b);
    ASSERT_EQ(c, (ka > kb) - (ka < kb)) << "'" << a << "' vs '" << b << "'";
  }
}

TEST(OrderByRowLessThan, KeysInOrderMissingFieldsAreEmptyText) {
  using Row = std::vector<FieldSlice>;
  static const struct {
    const char* name;
    std::vector<SortKey> keys;
    Row a;
    Row b;
    bool a_first;
    bool b_first;
  } cases[] = {
      {"numbers", {{0, false}}, {"9"}, {"10"}, true, false},
      {"numbers descending", {{0, true}}, {"9"}, {"10"}, false, true},
      {"number against text", {{0, false}}, {"10"}, {"9a"}, true, false},
      {"missing field reads empty, before any text", {{1, false}}, {"x"}, {"x", "1"}, true, false},
      {"missing field descending", {{1, true}}, {"x"}, {"x", "1"}, false, true},
      {"both missing tie", {{5, false}}, {"a"}, {"b"}, false, false},
      {"first key ties, second decides", {{0, false}, {1, true}}, {"1", "a"}, {"1.0", "b"}, false, true},
      {"first key decides", {{0, true}, {1, false}}, {"2", "z"}, {"1", "a"}, true, false},
      {"all keys tie", {{0, false}, {1, true}}, {"1", "a"}, {"1", "a"}, false, false},
      {"no keys", {}, {"1"}, {"2"}, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(orderByRowLessThan(c.keys.data(), c.keys.size(), c.a.data(), c.a.size(), c.b.data(),
                                 c.b.size()),
              c.a_first)
        << c.name;
    EXPECT_EQ(orderByRowLessThan(c.keys.data(), c.keys.size(), c.b.data(), c.b.size(), c.a.data(),
                                 c.a.size()),
              c.b_first)
        << c.name << " (swapped)";
  }
}

TEST(SortRowsByOrderKeys, SeveralKeysAndTiesInInputOrder) {
  // (group, value, input id); ORDER BY group DESC, value.
  const std::vector<std::vector<FieldSlice>> stored = {
      {"2", "y", "0"}, {"1", "x", "1"}, {"2", "a", "2"}, {"10", "b", "3"},
      {"2", "a", "4"}, {"", "c", "5"},  {"1", "x", "6"},
  };
  std::vector<FieldRow> rows;
  for (const auto& r : stored) rows.push_back(FieldRow{r.data(), r.size()});
  const SortKey keys[] = {{0, true}, {1, false}};
  sortRowsByOrderKeys(rows.data(), rows.size(), keys, 2);
  std::string ids;
  for (const FieldRow& r : rows) ids += std::string(r.fields[2]);
  // 10 > 2 > 1 numerically; "" against numbers compares as text and so comes
  // last when descending; equal rows keep input order.
  EXPECT_EQ(ids, "3240165");
}

}  // namespace
}  // namespace tavix
