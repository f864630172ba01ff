#include "engine/expr/scalar_eval.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "expr_test_support.h"
#include "heap_counter.h"

namespace tavix {
namespace {

using Row = std::vector<std::string_view>;

struct EvalCase {
  const char* expr;
  Row row;  // fields v, w, u (columns 0, 1, 2)
  const char* expected;
};

ScalarExpr compileOrDie(std::string_view text) {
  ScalarExpr e;
  bool present = false;
  const Error err = parseScalarExpr(text, test::testResolver(), e, present);
  EXPECT_EQ(err, Error::ok) << text;
  EXPECT_TRUE(present) << text;
  return e;
}

std::string evalWith(const EvalCase& c, const Allocator& allocator) {
  const ScalarExpr e = compileOrDie(c.expr);
  return std::string(evalScalarExpr(e, c.row.data(), c.row.size(), allocator));
}

// Every kind on ordinary values, on values that are not numbers or dates, and
// on rows too short for the column.
const std::vector<EvalCase>& valueCases() {
  static const std::vector<EvalCase> cases = {
      {"upper(v)", {"straße"}, "STRAßE"},
      {"upper(v)", {}, ""},
      {"lower(v)", {"MiXeD 1"}, "mixed 1"},
      {"trim(v)", {" \tx y\r\n"}, "x y"},
      {"reverse(v)", {"héllo"}, "olléh"},
      {"reverse(v)", {"\xC3\x28"}, "\x28\xC3"},
      {"reverse(v)", {"a\xED\xA0\x80"}, "\x80\xA0\xED" "a"},  // a surrogate is not well-formed
      {"reverse(v)", {""}, ""},
      {"length(v)", {"héllo"}, "6"},
      {"length(v)", {""}, ""},
      {"length(u)", {"x"}, ""},
      {"substr(v, 2, 3)", {"abcdef"}, "bcd"},
      {"substr(v, 0)", {"abcdef"}, "abcdef"},
      {"substr(v, -2)", {"abcdef"}, "ef"},
      {"substr(v, -10, 2)", {"abcdef"}, "ab"},
      {"substr(v, 2, -1)", {"abcdef"}, "bcdef"},
      {"substr(v, 5)", {"abc"}, ""},
      {"substr(v, 2147483647, 2147483647)", {"abc"}, ""},
      {"substr(v, -2147483648, 2147483647)", {"abc"}, "abc"},
      {"lpad(v, 3, '0')", {"7"}, "007"},
      {"rpad(v, 5, 'xy')", {"ab"}, "abxyx"},
      {"lpad(v, 3)", {"abcdef"}, "abc"},
      {"lpad(v, 2)", {"héllo"}, "h"},
      {"rpad(v, 1)", {"éa"}, ""},
      {"lpad(v, 0)", {"abc"}, ""},
      {"lpad(v, 3, 'x')", {""}, ""},
      {"lpad(v, 4, '')", {"ab"}, "ab"},
      {"rpad(v, 4)", {"ab"}, "ab  "},
      {"abs(v)", {"-3.50"}, "3.5"},
      {"abs(v)", {"x"}, "x"},
      {"abs(v)", {" 1"}, " 1"},
      {"abs(v)", {"-1e40"}, "10000000000000000000000000000000000000000"},
      {"sign(v)", {"-0"}, "0"},
      {"sign(v)", {"nan"}, "0"},
      {"sign(v)", {"-inf"}, "-1"},
      {"sign(v)", {"0.5"}, "1"},
      {"sign(v)", {"abc"}, "abc"},
      {"ceil(v)", {"2.1"}, "3.0"},
      {"floor(v)", {"-2.1"}, "-3.0"},
      {"ceil(v)", {"1e20"}, "100000000000000000000"},
      {"floor(v)", {"-0.5"}, "-1.0"},
      {"ceil(v)", {"x1"}, "x1"},
      {"mod(v, 3)", {"-7"}, "2"},
      {"mod(v, 3)", {"-6"}, "0"},
      {"mod(v, -3)", {"7"}, "1"},
      {"mod(v, -3)", {"-7"}, "-1"},
      {"mod(v, 2)", {"5.5"}, "1.5"},
      {"mod(v, 3)", {"seven"}, "seven"},
      {"coalesce(v, w, u)", {"", "   ", "x "}, "x "},
      {"coalesce(v, w, 'none')", {"", "\t"}, "none"},
      {"coalesce(v, u)", {""}, ""},
      {"cast(v AS int)", {"3.9"}, "3"},
      {"cast(v AS int)", {"-3.9"}, "-3"},
      {"cast(v AS int)", {"abc"}, "abc"},
      {"cast(v AS float)", {"1e3"}, "1e3"},
      {"cast(v AS varchar)", {" x"}, " x"},
      {"datediff('day', v, w)", {"2024-01-01", "2024-01-02 12:00:00"}, "1.5"},
      {"datediff('DAY', v, w)", {"2024-01-01", "2024-01-02 12:00:00"}, "1.5"},
      {"datediff('hour', v, w)", {"2024-01-02", "2024-01-01"}, "-24"},
      {"datediff('fortnight', v, w)", {"2024-01-01", "2024-01-02"}, "0"},
      {"datediff('day', v, w)", {"soon", "2024-01-02"}, "0"},
      {"datediff('day', v, w)", {"2024-01-02", ""}, "0"},
      {"dateadd('day', 1, v)", {"2024-02-28"}, "2024-02-29 00:00:00"},
      {"dateadd('month', 1, v)", {"2024-01-31"}, "2024-03-01 00:00:00"},
      {"dateadd('year', 1, v)", {"2024-01-01"}, "2024-12-31 00:00:00"},
      {"dateadd('second', -1, v)", {"1970-01-01"}, "1969-12-31 23:59:59"},
      {"dateadd('fortnight', 3, v)", {"2024-01-05T10:30"}, "2024-01-05 10:30:00"},
      {"dateadd('day', 1, v)", {"soon"}, "soon"},
      {"extract(YEAR FROM v)", {"2024-03-15"}, "2024"},
      {"extract(month FROM v)", {"2024-03-15"}, "3"},
      {"extract(second FROM v)", {"2024-03-15 01:02:03"}, "3"},
      {"extract(week FROM v)", {"2024-03-15"}, "0"},
      {"extract('year' FROM v)", {"2024-03-15"}, "0"},
      {"extract(year FROM v)", {"soon"}, "0"},
      {"strftime('%Y/%m/%d', v)", {"2024-03-05 07:08:09"}, "2024/03/05"},
      {"strftime('%H:%M:%S', v)", {"2024-03-05 07:08:09"}, "07:08:09"},
      {"strftime('%Y-%m', v)", {"2024-13-45"}, "2024-13"},
      {"strftime('', v)", {"2024-03-05"}, ""},
      {"round(v)", {"2.5"}, "3"},
      {"round(v)", {"-2.5"}, "-3"},
      {"round(v)", {"0.49999999999999994"}, "0"},
      {"round(v, 2)", {"2.675"}, "2.68"},  // 2.675 * 100 is 267.5 in doubles
      {"round(v, 2)", {"-2.675"}, "-2.68"},
      {"round(v, 2)", {"0.125"}, "0.13"},  // an exact tie goes away from zero
      {"round(v, 1)", {"-0.25"}, "-0.3"},
      {"round(v, 1)", {"0.05"}, "0.1"},  // stored just above 0.05
      {"round(v, 2)", {"1"}, "1.00"},
      {"round(v, 12)", {"3.14159"}, "3.141590000"},
      {"round(v, 1)", {"x"}, "x"},
      {"round(v, 2)", {"-0.001"}, "-0.00"},
      {"replace(v, 'an', 'AN')", {"banana"}, "bANANa"},
      {"replace(v, 'aa', 'b')", {"aaa"}, "ba"},
      {"replace(v, 'x', '')", {"xx"}, ""},
      {"replace(v, 'q', 'z')", {"banana"}, "banana"},
      {"split_part(v, ',', 3)", {"a,b,,c"}, ""},
      {"split_part(v, ',', 4)", {"a,b,,c"}, "c"},
      {"split_part(v, ',', 5)", {"a,b"}, ""},
      {"split_part(v, '::', 2)", {"a::b"}, "b"},
      {"split_part(v, ',', 1)", {""}, ""},
      {"greatest(v, w)", {"9", "10"}, "10"},
      {"greatest(v, w)", {"9", "10x"}, "9"},
      {"least(v, w)", {"", "a"}, ""},
      {"greatest(v, w)", {"010", "10"}, "010"},
      {"greatest(v, 'zz', 3)", {"abc"}, "zz"},
      {"least(v, w, 2.5)", {"3", "1e1"}, "2.5"},
      {"greatest(v, w)", {"nan", "5"}, "nan"},
      {"greatest(v, w)", {"5", "nan"}, "5"},
      {"concat(v, w, u)", {"", "", ""}, ""},
      {"concat(v, '-', w)", {"a", "b"}, "a-b"},
      {"concat(v, u)", {"a"}, "a"},
      {"CASE WHEN v > 5 THEN 'big' ELSE 'small' END", {"7"}, "big"},
      {"CASE WHEN v > 5 THEN 'big' ELSE 'small' END", {"abc"}, "small"},
      {"CASE WHEN v > 5 THEN 'big' ELSE 'small' END", {"nan"}, "small"},
      {"CASE WHEN v != 5 THEN 'ne' ELSE 'eq' END", {"nan"}, "ne"},
      {"CASE WHEN v = 5 THEN 'five' ELSE 'other' END", {" 5"}, "other"},
      {"CASE WHEN v > 'a' THEN 'gt' ELSE 'else' END", {"b"}, "else"},
      {"CASE WHEN v = '5' THEN 'eq' ELSE 'else' END", {"5.0"}, "else"},
      {"CASE WHEN v = '' THEN 'blank' ELSE 'set' END", {}, "blank"},
      {"CASE WHEN v <> 'x' THEN w ELSE u END", {"y", "from w"}, "from w"},
      {"CASE WHEN v = 1 THEN 2.50 ELSE w END", {"1"}, "2.5"},
      {"CASE WHEN v = 1 THEN 2.50 ELSE u END", {"2"}, ""},
      {"v IS NULL", {"  "}, "false"},
      {"v IS NULL", {""}, "true"},
      {"u IS NULL", {"a"}, "true"},
      {"u IS NOT NULL", {"a"}, "false"},
      {"v IS NOT NULL", {"a"}, "true"},
      {"upper(reverse(v))", {"abc"}, "CBA"},
      {"length(trim(v))", {" ab "}, "2"},
      {"length(trim(v))", {"   "}, ""},
      {"reverse(lower(upper(v)))", {"Ab"}, "ba"},
  };
  return cases;
}

TEST(EvalScalarExpr, ValuesPerKind) {
  ArenaAllocator arena;
  for (const EvalCase& c : valueCases()) {
    arena.reset();
    EXPECT_EQ(evalWith(c, arena.allocator()), c.expected)
        << c.expr << " over \"" << (c.row.empty() ? "" : c.row[0]) << "\"";
  }
}

TEST(EvalScalarExpr, ModByZeroIsNaN) {
  ArenaAllocator arena;
  const std::string text = evalWith({"mod(v, 0)", {"5"}, ""}, arena.allocator());
  EXPECT_TRUE(text == "nan" || text == "-nan") << text;
}

// A NaN, an infinity or a value beyond int64 used to go through an undefined
// double-to-integer conversion; such values now come back as written.
TEST(EvalScalarExpr, IntegerConversionsOutOfRangeKeepTheValue) {
  static const struct {
    const char* expr;
    const char* value;
    const char* expected;
  } cases[] = {
      {"cast(v AS int)", "1e19", "1e19"},
      {"cast(v AS int)", "-9.3e18", "-9.3e18"},
      {"cast(v AS int)", "nan", "nan"},
      {"cast(v AS int)", "-inf", "-inf"},
      {"cast(v AS int)", "9.2e18", "9200000000000000000"},
      {"cast(v AS int)", "-9223372036854775808", "-9223372036854775808"},
      {"round(v)", "1e19", "1e19"},
      {"round(v)", "inf", "inf"},
      {"round(v)", "NaN", "NaN"},
      {"round(v)", "-9.2e18", "-9200000000000000000"},
  };
  ArenaAllocator arena;
  for (const auto& c : cases) {
    arena.reset();
    EXPECT_EQ(evalWith({c.expr, {c.value}, ""}, arena.allocator()), c.expected)
        << c.expr << " over " << c.value;
  }
}

// round(x, n) of a value whose x * 10^n overflowed printed "inf"; a value
// already integral at that scale picked up the error of the division back.
// Both now print x itself, or return the value when it cannot be printed in
// the text's 64 bytes.
TEST(EvalScalarExpr, RoundOfHugeValuesPrintsTheValueItself) {
  static const struct {
    const char* expr;
    const char* value;
    const char* expected;
  } cases[] = {
      {"round(v, 5)", "1e306", "1e306"},
      {"round(v, 2)", "1e20", "100000000000000000000.00"},
      {"round(v, 9)", "123456789012345678", "123456789012345680.000000000"},
      {"round(v, 255)", "1", "1.000000000"},
      {"round(v, 2)", "inf", "inf"},
      {"round(v, 2)", "-nan", "-nan"},
  };
  ArenaAllocator arena;
  for (const auto& c : cases) {
    arena.reset();
    EXPECT_EQ(evalWith({c.expr, {c.value}, ""}, arena.allocator()), c.expected)
        << c.expr << " over " << c.value;
  }
}

TEST(EvalScalarExpr, StrftimeWritesLongFormatsWhole) {
  std::string format;
  for (int i = 0; i < 20; ++i) format += "%Y-";
  const std::string expr = "strftime('" + format + "', v)";
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += "2024-";
  ArenaAllocator arena;
  EXPECT_EQ(evalWith({expr.c_str(), {"2024-03-05"}, ""}, arena.allocator()), expected);
}

// When no block can be had, each kind gives its fallback; views need none.
TEST(EvalScalarExpr, AllocationFailureFallbacks) {
  static const std::vector<EvalCase> cases = {
      {"upper(v)", {"abc"}, "abc"},
      {"lower(v)", {"ABC"}, "ABC"},
      {"reverse(v)", {"abc"}, "abc"},
      {"length(v)", {"abc"}, "0"},
      {"length(v)", {""}, ""},
      {"lpad(v, 3, '0')", {"7"}, "7"},
      {"rpad(v, 2)", {"abc"}, "ab"},
      {"abs(v)", {"-3"}, "-3"},
      {"ceil(v)", {"2.1"}, "2.1"},
      {"floor(v)", {"2.1"}, "2.1"},
      {"mod(v, 3)", {"-7"}, "-7"},
      {"cast(v AS int)", {"3.9"}, "3.9"},
      {"datediff('day', v, w)", {"2024-01-01", "2024-01-03"}, "0"},
      {"dateadd('day', 1, v)", {"2024-01-01"}, "2024-01-01"},
      {"extract(day FROM v)", {"2024-01-09"}, "0"},
      {"strftime('%Y', v)", {"2024-01-09"}, ""},
      {"round(v)", {"2.5"}, "2.5"},
      {"round(v, 1)", {"2.25"}, "2.25"},
      {"replace(v, 'a', 'b')", {"banana"}, "banana"},
      {"concat(v, w)", {"a", "b"}, ""},
      {"CASE WHEN v = 1 THEN 2 ELSE 3 END", {"1"}, ""},
      {"CASE WHEN v = 1 THEN 'two' ELSE 3 END", {"1"}, "two"},
      {"trim(v)", {" x "}, "x"},
      {"substr(v, 2)", {"abc"}, "bc"},
      {"upper(trim(v))", {" x "}, "x"},
      {"coalesce(v, 'f')", {""}, "f"},
      {"v IS NULL", {""}, "true"},
  };
  ArenaAllocator arena(test::failingAllocator());
  for (const EvalCase& c : cases)
    EXPECT_EQ(evalWith(c, arena.allocator()), c.expected) << c.expr << " with no memory";
}

// Evaluation takes its texts from the given allocator only, never from the
// heap, whatever the kind.
TEST(EvalScalarExpr, NeverAllocatesFromTheHeap) {
  ArenaAllocator arena;
  for (const EvalCase& c : valueCases()) {
    const ScalarExpr e = compileOrDie(c.expr);
    arena.reset();
    const uint64_t before = test::heapAllocationCount();
    const std::string_view result = evalScalarExpr(e, c.row.data(), c.row.size(), arena.allocator());
    const uint64_t after = test::heapAllocationCount();
    EXPECT_EQ(after, before) << c.expr;
    EXPECT_EQ(result, c.expected) << c.expr;
  }
}

TEST(PickExtremeText, NumericOrBytewise) {
  static const struct {
    std::vector<std::string_view> texts;
    bool greatest;
    size_t expected_index;  // the very text chosen, not just an equal one
  } cases[] = {
      {{"9", "10"}, true, 1},
      {{"9", "10"}, false, 0},
      {{"9", "10x"}, true, 0},
      {{"010", "10"}, true, 0},
      {{"10", "010"}, false, 0},
      {{"1", "nan", "3"}, true, 2},
      {{"nan", "3"}, false, 0},
      {{"\xC3", "z"}, true, 0},  // unsigned bytes
      {{"ab", "a"}, false, 1},   // a proper prefix is smaller
      {{"only"}, true, 0},
  };
  for (const auto& c : cases) {
    const std::string_view got = pickExtremeText(c.texts.data(), c.texts.size(), c.greatest);
    EXPECT_EQ(got.data(), c.texts[c.expected_index].data())
        << c.texts[0] << " .. (" << c.texts.size() << " texts) greatest=" << c.greatest;
  }
}

TEST(EvalOperandText, EachTag) {
  const Row row = {"field"};
  ArenaAllocator arena;
  Operand text;
  text.tag = OperandTag::text;
  text.text = "lit";
  Operand number;
  number.tag = OperandTag::number;
  number.number = -0.0;
  Operand column;
  column.tag = OperandTag::column;
  column.column = 0;
  Operand past = column;
  past.column = 5;
  EXPECT_EQ(evalOperandText(text, row.data(), 1, arena.allocator()), "lit");
  EXPECT_EQ(evalOperandText(number, row.data(), 1, arena.allocator()), "0");
  EXPECT_EQ(evalOperandText(column, row.data(), 1, arena.allocator()), "field");
  EXPECT_EQ(evalOperandText(past, row.data(), 1, arena.allocator()), "");
}

}  // namespace
}  // namespace tavix
