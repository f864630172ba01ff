#include "exec/aggregate/aggregate_call.h"

#include <gtest/gtest.h>

#include <string>

namespace tavix {
namespace {

// "-" stands for an absent column or separator.
std::string shown(const std::optional<std::string>& text) { return text ? *text : "-"; }

TEST(ParseAggregateCall, Recognised) {
  static const struct {
    const char* text;
    AggregateKind kind;
    const char* column;
    const char* separator;
    const char* label;
  } cases[] = {
      {"COUNT(*)", AggregateKind::count, "-", "-", "COUNT(*)"},
      {"  count( * ) ", AggregateKind::count, "-", "-", "count( * )"},
      {"count()", AggregateKind::count, "", "-", "count()"},
      {"Count(Distinct Price)", AggregateKind::count_distinct, "Price", "-", "Count(Distinct Price)"},
      {"count(DISTINCT  a b )", AggregateKind::count_distinct, "a b", "-", "count(DISTINCT  a b )"},
      {"count(distinct)", AggregateKind::count, "distinct", "-", "count(distinct)"},
      {"count(distinct\tx)", AggregateKind::count_distinct, "x", "-", "count(distinct\tx)"},
      {"count(Distinct\n  a)", AggregateKind::count_distinct, "a", "-", "count(Distinct\n  a)"},
      {"count(distinctx)", AggregateKind::count, "distinctx", "-", "count(distinctx)"},
      {"count(distinct *)", AggregateKind::count_distinct, "-", "-", "count(distinct *)"},
      {"sum (x)", AggregateKind::sum, "x", "-", "sum (x)"},
      {"sum(distinct x)", AggregateKind::sum, "distinct x", "-", "sum(distinct x)"},
      {"sum(*)", AggregateKind::sum, "-", "-", "sum(*)"},
      {"AVG(q)", AggregateKind::avg, "q", "-", "AVG(q)"},
      {"min(a)", AggregateKind::min, "a", "-", "min(a)"},
      {"MAX(a)", AggregateKind::max, "a", "-", "MAX(a)"},
      {"median(a)", AggregateKind::median, "a", "-", "median(a)"},
      {"variance(x)", AggregateKind::var_samp, "x", "-", "variance(x)"},
      {"var(x)", AggregateKind::var_samp, "x", "-", "var(x)"},
      {"var_samp(x)", AggregateKind::var_samp, "x", "-", "var_samp(x)"},
      {"VAR_POP(x)", AggregateKind::var_pop, "x", "-", "VAR_POP(x)"},
      {"stddev_pop(x)", AggregateKind::stddev_pop, "x", "-", "stddev_pop(x)"},
      {"stddev_samp(x)", AggregateKind::stddev_samp, "x", "-", "stddev_samp(x)"},
      {"stddev(x)", AggregateKind::stddev_samp, "x", "-", "stddev(x)"},
      {"std(x)", AggregateKind::stddev_samp, "x", "-", "std(x)"},
      // Parentheses inside the argument are not matched.
      {"sum(a) / sum(b)", AggregateKind::sum, "a) / sum(b", "-", "sum(a) / sum(b)"},
      {"group_concat(name)", AggregateKind::group_concat, "name", ",", "group_concat(name)"},
      {"string_agg(name, ' | ')", AggregateKind::group_concat, "name", " | ",
       "string_agg(name, ' | ')"},
      {"group_concat(name,)", AggregateKind::group_concat, "name", "", "group_concat(name,)"},
      {"group_concat(name, '')", AggregateKind::group_concat, "name", "", "group_concat(name, '')"},
      {"group_concat(name, \"-\")", AggregateKind::group_concat, "name", "\"-\"",
       "group_concat(name, \"-\")"},
      {"group_concat(name, ')", AggregateKind::group_concat, "name", "'", "group_concat(name, ')"},
      {"group_concat('a,b', x)", AggregateKind::group_concat, "'a", "b', x",
       "group_concat('a,b', x)"},
      {"group_concat(,x)", AggregateKind::group_concat, "", "x", "group_concat(,x)"},
      {"group_concat(*)", AggregateKind::group_concat, "-", ",", "group_concat(*)"},
  };
  for (const auto& c : cases) {
    const AggregateCall call = parseAggregateCall(c.text);
    ASSERT_TRUE(call.present) << c.text;
    EXPECT_EQ(call.kind, c.kind) << c.text;
    EXPECT_EQ(shown(call.column), c.column) << c.text;
    EXPECT_EQ(shown(call.separator), c.separator) << c.text;
    EXPECT_EQ(call.text, c.label) << c.text;
  }
}

TEST(ParseAggregateCall, NotACall) {
  static const char* const cases[] = {
      "sum(x) + 1", "round(sum(x), 2)", "(x)", "price", "", "sum", "sum(", "sum)", ")sum(",
      "summ(x)", "count_distinct(x)", "CASE WHEN sum(x) > 1 THEN 1 ELSE 0 END",
  };
  for (const char* text : cases) {
    const AggregateCall call = parseAggregateCall(text);
    EXPECT_FALSE(call.present) << text;
    EXPECT_FALSE(call.column.has_value()) << text;
    EXPECT_TRUE(call.text.empty()) << text;
  }
}

}  // namespace
}  // namespace tavix
