#include "engine/expr/row_predicates.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/number_rule.h"
#include "heap_counter.h"
#include "support/condition_nodes.h"

namespace tavix {
namespace {

TEST(LikeMatch, Patterns) {
  static const struct {
    const char* text;
    const char* pattern;
    bool like;
    bool ilike;
  } cases[] = {
      {"abc", "a%", true, true},
      {"abc", "%c", true, true},
      {"abc", "_b_", true, true},
      {"abc", "%", true, true},
      {"abc", "abc", true, true},
      {"abc", "%%b%%", true, true},
      {"abc", "ab", false, false},
      {"abc", "abcd", false, false},
      {"a", "a_", false, false},
      {"", "%", true, true},
      {"", "%%", true, true},
      {"", "", true, true},
      {"", "_", false, false},
      {"x", "", false, false},
      {"%abc", "%", true, true},
      {"a%b", "a%", true, true},
      {"a_b", "a\\_b", false, false},  // no escape character
      {"xaya", "%a", true, true},
      {"ab", "a%c", false, false},
      {"mississippi", "%iss%ppi", true, true},
      {"mississippi", "m%s_s%i", true, true},
      {"ABC", "abc", false, true},
      {"abc", "A_C", false, true},
      {"Straße", "STRASSE", false, false},
      {"STRAßE", "straße", false, true},   // only ASCII letters fold
      {"É", "é", false, false},            // multi-byte letters never fold
      {"é", "_", false, false},            // two bytes need two '_'
      {"é", "__", true, true},
      {"hé!", "h%!", true, true},
      {"[x]", "[_]", true, true},
      {"@", "`", false, false},  // 0x40 and 0x60 differ by the case bit but are no letters
      {"[", "{", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(likeMatch(c.text, c.pattern), c.like) << '"' << c.text << "\" LIKE " << c.pattern;
    EXPECT_EQ(likeMatchIgnoreCase(c.text, c.pattern), c.ilike)
        << '"' << c.text << "\" ILIKE " << c.pattern;
  }
}

// The obvious exponential definition of LIKE, used as the reference.
bool referenceLike(std::string_view t, std::string_view p, bool fold) {
  if (p.empty()) return t.empty();
  if (p[0] == '%')
    return referenceLike(t, p.substr(1), fold) ||
           (!t.empty() && referenceLike(t.substr(1), p, fold));
  if (t.empty()) return false;
  const char a = fold ? toLowerAscii(p[0]) : p[0];
  const char b = fold ? toLowerAscii(t[0]) : t[0];
  if (p[0] != '_' && a != b) return false;
  return referenceLike(t.substr(1), p.substr(1), fold);
}

TEST(LikeMatchSweep, AgreesWithReferenceOnRandomShortTexts) {
  static constexpr char kTextBytes[] = {'a', 'b', 'A', 'B', '%', '_', '\xC3', '\xA9'};
  static constexpr char kPatternBytes[] = {'a', 'b', 'A', '%', '%', '_', '\xC3'};
  std::mt19937 rng(20240611);
  const auto randomText = [&](const char* bytes, size_t n, size_t max_len) {
    std::string s(rng() % (max_len + 1), ' ');
    for (char& c : s) c = bytes[rng() % n];
    return s;
  };
  for (int i = 0; i < 200000; ++i) {
    const std::string text = randomText(kTextBytes, sizeof kTextBytes, 9);
    const std::string pattern = randomText(kPatternBytes, sizeof kPatternBytes, 6);
    ASSERT_EQ(likeMatch(text, pattern), referenceLike(text, pattern, false))
        << '"' << text << "\" LIKE \"" << pattern << '"';
    ASSERT_EQ(likeMatchIgnoreCase(text, pattern), referenceLike(text, pattern, true))
        << '"' << text << "\" ILIKE \"" << pattern << '"';
  }
}

// A lone sign used to read as 0 ("-" and "+ " passed `= 0`); without a digit
// a field now has no number. Blanks are allowed only around integers.
TEST(ReadFieldNumber, IntegersWithBlanksOtherwiseTheNumberRule) {
  static const struct {
    const char* field;
    bool is_number;
    double value;
  } cases[] = {
      {" 15 ", true, 15},
      {"\t42\r\n", true, 42},
      {"-7", true, -7},
      {"+5", true, 5},
      {" -12 ", true, -12},
      {"1.5", true, 1.5},
      {"1e3", true, 1000},
      {"0x10", true, 16},
      {"1_000", true, 1000},
      {"9223372036854775807", true, 9223372036854775807.0},
      {"9223372036854775808", true, 9223372036854775808.0},
      {"-9223372036854775808", true, -9223372036854775808.0},
      {" 9223372036854775808", false, 0},  // beyond int64 the blanks reach the number rule
      {" 1.5", false, 0},
      {"1.5 ", false, 0},
      {"12abc", false, 0},
      {"1 2", false, 0},
      {"", false, 0},
      {"   ", false, 0},
      {"-", false, 0},
      {"+", false, 0},
      {"- ", false, 0},
      {" + ", false, 0},
      {"--1", false, 0},
      {"n/a", false, 0},
      // Decimals with a point only.
      {"924.77", true, 924.77},
      {"-0.5", true, -0.5},
      {"+.25", true, 0.25},
      {".5", true, 0.5},
      {"5.", true, 5},
      {".", false, 0},
      {"-.", false, 0},
      {"1.2.3", false, 0},
      {"1.5x", false, 0},
      {"0.1000000000000000055511151231257827", true, 0.1},
      {"9007199254740993.0", true, 9007199254740992.0},
      {"123456789012345678901.5", true, 123456789012345678901.5},
      {"0.00000000000000000000000123", true, 1.23e-24},
  };
  for (const auto& c : cases) {
    double x = -123;
    EXPECT_EQ(readFieldNumber(c.field, x), c.is_number) << '"' << c.field << '"';
    if (c.is_number) {
      EXPECT_EQ(x, c.value) << '"' << c.field << '"';
    }
  }

  double x;
  ASSERT_TRUE(readFieldNumber(" -0 ", x));
  EXPECT_FALSE(std::signbit(x));
  ASSERT_TRUE(readFieldNumber("-0.0", x));
  EXPECT_TRUE(std::signbit(x));
  ASSERT_TRUE(readFieldNumber("nan", x));
  EXPECT_TRUE(std::isnan(x));
}

// Decimals with a point read as the number rule reads them, bit for bit,
// with and without a sign, short and long.
TEST(ReadFieldNumber, DecimalsAgreeWithTheNumberRule) {
  std::mt19937_64 random(7);
  for (int n = 0; n < 200000; ++n) {
    const uint64_t r = random();
    std::string text = (r & 3) == 0 ? "-" : ((r & 3) == 1 ? "+" : "");
    const int int_digits = static_cast<int>((r >> 2) % 12);
    const int frac_digits = static_cast<int>((r >> 6) % 24);
    for (int d = 0; d < int_digits; ++d) text += static_cast<char>('0' + random() % 10);
    text += '.';
    for (int d = 0; d < frac_digits; ++d) text += static_cast<char>('0' + random() % 10);
    double expected = 0;
    const bool is_number = parseNumber(text, expected) == Error::ok;
    double x = 0;
    ASSERT_EQ(readFieldNumber(text, x), is_number) << text;
    if (is_number) {
      ASSERT_EQ(std::signbit(x), std::signbit(expected)) << text;
      ASSERT_EQ(x, expected) << text;
    }
  }
}

// The short plain forms read inline give what the full reading gives, bit
// for bit, and every other field is handed to it: fields of up to 18 bytes
// over an alphabet of digits, signs, points, blanks and exponent letters.
TEST(ReadFieldNumber, InlineFormsAgreeWithTheFullReading) {
  static const char kAlphabet[] = "0123456789000999-+. e";
  std::mt19937_64 random(5);
  for (int n = 0; n < 400000; ++n) {
    const uint64_t r = random();
    std::string text;
    const size_t length = r % 19;
    // Mostly digits, with a leading minus or a point now and then.
    for (size_t k = 0; k < length; ++k) {
      const uint64_t pick = random();
      text += (pick & 7) != 0 ? static_cast<char>('0' + pick % 10)
                              : kAlphabet[(pick >> 3) % (sizeof(kAlphabet) - 1)];
    }
    if ((r >> 8) % 4 == 0 && !text.empty()) text[0] = '-';
    if ((r >> 10) % 3 == 0 && text.size() > 1) text[(r >> 12) % text.size()] = '.';
    double fast = 0;
    double full = 0;
    const bool is_number = readFieldNumberGeneral(text, full);
    ASSERT_EQ(readFieldNumber(text, fast), is_number) << '"' << text << '"';
    if (is_number) {
      ASSERT_EQ(std::bit_cast<uint64_t>(fast), std::bit_cast<uint64_t>(full)) << '"' << text << '"';
    }
  }
}

ComparisonLeaf textLeaf(ComparisonOp op, std::string value) {
  ComparisonLeaf leaf;
  leaf.column = "a";
  leaf.op = op;
  leaf.value = std::move(value);
  return leaf;
}

ComparisonLeaf numberLeaf(ComparisonOp op, std::string value, double number) {
  ComparisonLeaf leaf = textLeaf(op, std::move(value));
  leaf.value_number = number;
  return leaf;
}

ComparisonLeaf inLeaf(std::vector<std::string> items, bool negated) {
  ComparisonLeaf leaf = textLeaf(ComparisonOp::eq, "");
  leaf.in_list = std::move(items);
  leaf.negated = negated;
  return leaf;
}

ComparisonLeaf betweenLeaf(std::string low, std::string high, bool low_number,
                           bool high_number) {
  ComparisonLeaf leaf = textLeaf(ComparisonOp::between, low);
  leaf.upper = high;
  if (low_number) leaf.value_number = std::stod(low);
  if (high_number) leaf.upper_number = std::stod(high);
  return leaf;
}

ComparisonLeaf moduloLeaf(double modulus, ComparisonOp op, std::string value) {
  ComparisonLeaf leaf = textLeaf(op, std::move(value));
  leaf.modulus = modulus;
  leaf.value_number = std::stod(leaf.value);
  return leaf;
}

TEST(EvalComparison, EachOperatorAndForm) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  using Op = ComparisonOp;
  const struct {
    const char* what;
    ComparisonLeaf leaf;
    const char* field;
    bool expected;
  } cases[] = {
      {"IS NULL empty", textLeaf(Op::is_null, ""), "", true},
      {"IS NULL blank", textLeaf(Op::is_null, ""), " ", false},
      {"IS NOT NULL empty", textLeaf(Op::is_not_null, ""), "", false},
      {"IS NOT NULL blank", textLeaf(Op::is_not_null, ""), " ", true},
      // Numeric literal: the field by the field number reading.
      {"9 > 10", numberLeaf(Op::gt, "10", 10), "9", false},
      {"11 > 10", numberLeaf(Op::gt, "10", 10), "11", true},
      {"10 >= 10", numberLeaf(Op::ge, "10", 10), "10", true},
      {"10 < 10", numberLeaf(Op::lt, "10", 10), "10", false},
      {"1e1 <= 10", numberLeaf(Op::le, "10", 10), "1e1", true},
      {"' 15' = 15", numberLeaf(Op::eq, "15", 15), " 15", true},
      {"' 1.5' = 1.5", numberLeaf(Op::eq, "1.5", 1.5), " 1.5", false},
      {"'' = 0", numberLeaf(Op::eq, "0", 0), "", false},
      {"'-' = 0", numberLeaf(Op::eq, "0", 0), "-", false},
      {"'+ ' = 0", numberLeaf(Op::eq, "0", 0), "+ ", false},
      {"'-0' = 0", numberLeaf(Op::eq, "0", 0), "-0", true},
      {"abc != 5", numberLeaf(Op::ne, "5", 5), "abc", false},
      {"6 != 5", numberLeaf(Op::ne, "5", 5), "6", true},
      {"nan != 5", numberLeaf(Op::ne, "5", 5), "nan", true},
      {"nan = nan", numberLeaf(Op::eq, "nan", kNaN), "nan", false},
      {"nan >= 5", numberLeaf(Op::ge, "5", 5), "nan", false},
      {"3 != nan", numberLeaf(Op::ne, "nan", kNaN), "3", true},
      // Text literal: bytes, unsigned, a proper prefix first.
      {"b > abc", textLeaf(Op::gt, "abc"), "b", true},
      {"abc >= abc", textLeaf(Op::ge, "abc"), "abc", true},
      {"ab < abc", textLeaf(Op::lt, "abc"), "ab", true},
      {"ab <= abc", textLeaf(Op::le, "abc"), "abc", true},
      {"0xC3 > z", textLeaf(Op::gt, "z"), "\xC3", true},
      {"abc = abc", textLeaf(Op::eq, "abc"), "abc", true},
      {"abc = 'abc '", textLeaf(Op::eq, "abc "), "abc", false},
      {"ABC != abc", textLeaf(Op::ne, "abc"), "ABC", true},
      {"10 > 9 as texts", textLeaf(Op::gt, "9"), "10", false},
      // LIKE / ILIKE.
      {"LIKE", textLeaf(Op::like, "a%"), "abc", true},
      {"LIKE case", textLeaf(Op::like, "A%"), "abc", false},
      {"ILIKE", textLeaf(Op::ilike, "A%"), "abc", true},
      // IN / NOT IN: exact bytes.
      {"1.0 IN (1)", inLeaf({"1"}, false), "1.0", false},
      {"1 IN (1)", inLeaf({"2", "1"}, false), "1", true},
      {"c NOT IN (a, b)", inLeaf({"a", "b"}, true), "c", true},
      {"'' NOT IN (a, b)", inLeaf({"a", "b"}, true), "", true},
      {"a NOT IN (a, b)", inLeaf({"a", "b"}, true), "a", false},
      {"A IN (a)", inLeaf({"a"}, false), "A", false},
      // BETWEEN.
      {"1 BETWEEN 1 AND 5", betweenLeaf("1", "5", true, true), "1", true},
      {"5 BETWEEN 1 AND 5", betweenLeaf("1", "5", true, true), "5", true},
      {"3.5 BETWEEN 1 AND 5", betweenLeaf("1", "5", true, true), "3.5", true},
      {"6 BETWEEN 1 AND 5", betweenLeaf("1", "5", true, true), "6", false},
      {"abc BETWEEN 1 AND 5", betweenLeaf("1", "5", true, true), "abc", false},
      {"' 3' BETWEEN 1 AND 5", betweenLeaf("1", "5", true, true), " 3", false},
      {"b BETWEEN a AND c", betweenLeaf("a", "c", false, false), "b", true},
      {"c BETWEEN a AND c", betweenLeaf("a", "c", false, false), "c", true},
      {"c1 BETWEEN a AND c", betweenLeaf("a", "c", false, false), "c1", false},
      {"number low, text high", betweenLeaf("1", "z", true, false), "5", false},
      // Modulo: both sides by the strict number rule, the remainder keeps
      // the field's sign.
      {"-3 % 2 = -1", moduloLeaf(2, Op::eq, "-1"), "-3", true},
      {"-3 % 2 = 1", moduloLeaf(2, Op::eq, "1"), "-3", false},
      {"3 % 2 = 1", moduloLeaf(2, Op::eq, "1"), "3", true},
      {"' 3' % 2 = 1", moduloLeaf(2, Op::eq, "1"), " 3", false},
      {"7 % 3 > 0", moduloLeaf(3, Op::gt, "0"), "7", true},
      {"6 % 3 != 0", moduloLeaf(3, Op::ne, "0"), "6", false},
      {"x % 3 != 0", moduloLeaf(3, Op::ne, "0"), "x", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(evalComparison(c.leaf, c.field), c.expected) << c.what << " (field \"" << c.field
                                                           << "\")";
}

TEST(EvalComparison, SubqueryLeafHoldsForNoField) {
  ComparisonLeaf leaf = textLeaf(ComparisonOp::eq, "");
  leaf.subquery = "SELECT id FROM 'other.csv'";
  for (const char* field : {"", "1", "SELECT id FROM 'other.csv'"})
    EXPECT_FALSE(evalComparison(leaf, field)) << field;
}

// Tree builders.
ConditionNode leafNode(ComparisonLeaf leaf) {
  ConditionNode n;
  n.kind = ConditionKind::comparison;
  n.comparison = std::move(leaf);
  return n;
}

ConditionNode columnIs(std::string column, std::string value) {
  ComparisonLeaf leaf = textLeaf(ComparisonOp::eq, std::move(value));
  leaf.column = std::move(column);
  return leafNode(std::move(leaf));
}

ConditionNode dateNode(std::string function, std::string unit, std::string column,
                       std::string column2, ComparisonOp op, double literal) {
  ConditionNode n;
  n.kind = ConditionKind::date_function;
  n.date.function = std::move(function);
  n.date.unit = std::move(unit);
  n.date.column = std::move(column);
  n.date.column2 = std::move(column2);
  n.date.op = op;
  n.date.literal = literal;
  return n;
}

struct Record {
  std::vector<FieldSlice> names;
  std::vector<FieldSlice> fields;
  bool eval(const ConditionNode& n) const {
    return evalConditionTree(n, fields.data(), fields.size(), names.data(), names.size());
  }
};

// t holds when column t is "1": a leaf of known truth value.
ConditionNode T() { return columnIs("t", "1"); }
ConditionNode F() { return columnIs("t", "0"); }

TEST(EvalConditionTree, LogicAndNegation) {
  const Record r{{"t"}, {"1"}};
  const struct {
    const char* what;
    ConditionNode node;
    bool expected;
  } cases[] = {
      {"T", T(), true},
      {"F", F(), false},
      {"T AND F", test::pairNode(T(), F(), false), false},
      {"T AND T", test::pairNode(T(), T(), false), true},
      {"F AND T", test::pairNode(F(), T(), false), false},
      {"F OR F", test::pairNode(F(), F(), true), false},
      {"F OR T", test::pairNode(F(), T(), true), true},
      {"T OR F", test::pairNode(T(), F(), true), true},
      {"NOT T", test::negationNode(T()), false},
      {"NOT NOT T", test::negationNode(test::negationNode(T())), true},
      {"NOT (T AND F)", test::negationNode(test::pairNode(T(), F(), false)), true},
      {"NOT (F OR F)", test::negationNode(test::pairNode(F(), F(), true)), true},
      {"NOT (T OR F)", test::negationNode(test::pairNode(T(), F(), true)), false},
      {"NOT (F AND T)", test::negationNode(test::pairNode(F(), T(), false)), true},
      {"(NOT T) OR (NOT F)", test::pairNode(test::negationNode(T()), test::negationNode(F()), true), true},
      {"NOT (T AND NOT T)", test::negationNode(test::pairNode(T(), test::negationNode(T()), false)), true},
      {"(T OR F) AND NOT (F OR F)",
       test::pairNode(test::pairNode(T(), F(), true), test::negationNode(test::pairNode(F(), F(), true)), false), true},
      {"F OR (T AND (F OR NOT F))",
       test::pairNode(F(), test::pairNode(T(), test::pairNode(F(), test::negationNode(F()), true), false), true), true},
  };
  for (const auto& c : cases) EXPECT_EQ(r.eval(c.node), c.expected) << c.what;
}

TEST(EvalConditionTree, ColumnsAndShortRecords) {
  const Record r{{"a", "b", "a", "c"}, {"x", "y", "z"}};
  const struct {
    const char* what;
    ConditionNode node;
    bool expected;
  } cases[] = {
      {"first equal name wins", columnIs("a", "x"), true},
      {"later duplicate ignored", columnIs("a", "z"), false},
      {"second column", columnIs("b", "y"), true},
      {"unknown column", columnIs("nosuch", "x"), false},
      {"NOT unknown column", test::negationNode(columnIs("nosuch", "x")), true},
      {"names compare exactly", columnIs("A", "x"), false},
      {"column past the record reads empty", columnIs("c", ""), true},
      {"IS NULL past the record",
       leafNode([] {
         ComparisonLeaf l = textLeaf(ComparisonOp::is_null, "");
         l.column = "c";
         return l;
       }()),
       true},
  };
  for (const auto& c : cases) EXPECT_EQ(r.eval(c.node), c.expected) << c.what;

  const Record no_names{{}, {"x"}};
  EXPECT_FALSE(no_names.eval(columnIs("a", "x")));
}

// Date tests on fields that are no dates used to compare the fallback "0",
// so a blank or garbage date passed `extract(year FROM d) < 2000`. Such a
// leaf is now false (and its negation true).
TEST(EvalConditionTree, DateFunctionLeavesNeedDates) {
  using Op = ComparisonOp;
  const std::vector<FieldSlice> names = {"d", "e"};
  const struct {
    const char* what;
    std::vector<FieldSlice> fields;
    ConditionNode node;
    bool expected;
  } cases[] = {
      {"year < 2000", {"1999-05-01"}, dateNode("extract", "year", "d", "", Op::lt, 2000), true},
      {"YEAR = 2024", {"2024-05-01"}, dateNode("extract", "YEAR", "d", "", Op::eq, 2024), true},
      {"month >= 6", {"2024-05-01"}, dateNode("extract", "month", "d", "", Op::ge, 6), false},
      {"blank year < 2000", {""}, dateNode("extract", "year", "d", "", Op::lt, 2000), false},
      {"garbage year < 2000", {"soon"}, dateNode("extract", "year", "d", "", Op::lt, 2000),
       false},
      {"missing field year < 2000", {}, dateNode("extract", "year", "d", "", Op::lt, 2000),
       false},
      {"NOT blank year < 2000", {""},
       test::negationNode(dateNode("extract", "year", "d", "", Op::lt, 2000)), true},
      {"unlisted unit is 0", {"2024-05-01"},
       dateNode("extract", "fortnight", "d", "", Op::eq, 0), true},
      {"quoted unit is unlisted", {"2024-05-01"},
       dateNode("extract", "'year'", "d", "", Op::eq, 0), true},
      {"like is no numeric op", {"2024-05-01"},
       dateNode("extract", "year", "d", "", Op::like, 2024), false},
      {"datediff days >= 2", {"2024-01-01", "2024-01-03"},
       dateNode("datediff", "day", "d", "e", Op::ge, 2), true},
      {"datediff hours = 36", {"2024-01-01", "2024-01-02 12:00"},
       dateNode("datediff", "hour", "d", "e", Op::eq, 36), true},
      {"datediff first not a date", {"x", "2024-01-03"},
       dateNode("datediff", "day", "d", "e", Op::lt, 100), false},
      {"datediff second not a date", {"2024-01-03", ""},
       dateNode("datediff", "day", "d", "e", Op::lt, 100), false},
      {"datediff second column unknown", {"2024-01-01", "2024-01-03"},
       dateNode("datediff", "day", "d", "nosuch", Op::ge, 0), false},
      {"dateadd is false", {"2024-01-01"}, dateNode("dateadd", "day", "d", "", Op::gt, 0), false},
      {"NOT dateadd", {"2024-01-01"}, test::negationNode(dateNode("dateadd", "day", "d", "", Op::gt, 0)),
       true},
      {"unknown column", {"2024-01-01"}, dateNode("extract", "year", "nosuch", "", Op::gt, 0),
       false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(evalConditionTree(c.node, c.fields.data(), c.fields.size(), names.data(),
                                names.size()),
              c.expected)
        << c.what;
  }
}

// Long chains are walked without recursing per link: the stack of a worker
// thread must survive them.
TEST(EvalConditionTree, DeepChainsDoNotRecurse) {
  const Record r{{"t"}, {"1"}};
  constexpr int kLinks = 200000;

  // F OR F OR ... OR T, nested to the right as the parser builds it.
  ConditionNode chain = T();
  for (int i = 0; i < kLinks; ++i) chain = test::pairNode(F(), std::move(chain), true);
  EXPECT_TRUE(r.eval(chain));

  ConditionNode all_true = T();
  for (int i = 0; i < kLinks; ++i) all_true = test::pairNode(T(), std::move(all_true), false);
  EXPECT_TRUE(r.eval(all_true));

  ConditionNode nots = T();
  for (int i = 0; i < kLinks + 1; ++i) nots = test::negationNode(std::move(nots));
  EXPECT_FALSE(r.eval(nots));
}

TEST(EvalConditionTree, NeverAllocatesFromTheHeap) {
  const std::vector<FieldSlice> names = {"t", "d"};
  const std::vector<FieldSlice> fields = {"1", "2024-01-01"};
  const ConditionNode tree = test::pairNode(
      test::negationNode(dateNode("extract", "year", "d", "", ComparisonOp::lt, 2000)),
      test::pairNode(columnIs("t", "0"), test::negationNode(columnIs("d", "x")), true), false);
  const uint64_t before = test::heapAllocationCount();
  const bool result =
      evalConditionTree(tree, fields.data(), fields.size(), names.data(), names.size());
  EXPECT_EQ(test::heapAllocationCount(), before);
  EXPECT_TRUE(result);
}

TEST(EvalNumericOperand, LiteralsAndFields) {
  const std::vector<FieldSlice> fields = {" 7 ", "n/a", "2.5", "- "};
  static const struct {
    NumericOperand operand;
    double expected;
  } cases[] = {
      {NumericOperand::literal(2.5), 2.5},
      {NumericOperand::literal(-0.125), -0.125},
      {NumericOperand::column(0), 7},
      {NumericOperand::column(1), 0},
      {NumericOperand::column(2), 2.5},
      {NumericOperand::column(3), 0},
      {NumericOperand::column(4), 0},  // past the end of the record
  };
  for (const auto& c : cases) {
    EXPECT_EQ(evalNumericOperand(c.operand, fields.data(), fields.size()), c.expected)
        << (c.operand.is_column ? "column " : "literal ") << c.operand.literal_or_index;
  }
}

}  // namespace
}  // namespace tavix
