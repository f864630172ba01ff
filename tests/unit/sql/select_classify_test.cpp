#include "sql/select_classify.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql/statement_parser.h"

namespace tavix {
namespace {

TEST(IsAggregateExpr, NameBeforeTheFirstParenthesisAfterRoundWrappers) {
  static const struct {
    const char* item;
    bool expected;
  } cases[] = {
      {"count(*)", true},
      {"Count(*)", true},
      {"COUNT (x)", true},
      {"std(x)", true},
      {"string_agg(a, ',')", true},
      {"stddev_samp(x)", true},
      {"sum(a) AS total", true},
      {"sum(x) + 1", true},
      {"ROUND(avg(p), 2)", true},
      {"ROUND(ROUND(sum(x), 2), 1)", true},
      // The alias is split off first, so a wrapped aggregate keeps its alias.
      {"ROUND(sum(x), 2) AS total", true},
      {"round(max(x), 1) m", true},
      {"CASE WHEN sum(a) > 1 THEN 'x' END", true},
      {"case when a > 1 and COUNT(b) > 2 then 1 else 0 end AS c", true},
      {"CASE WHEN a > 1 THEN sum(b) END", false},
      {"CASE WHEN mysum(a) > 1 THEN 'x' END", false},
      // Inside a CASE the name must touch its "("; THEN stands between whitespace.
      {"CASE WHEN sum (a) > 1 THEN 1 END", false},
      {"CASE WHEN sum(a) > 1\tTHEN 1 END", true},
      {"CASE WHEN a > 1 END", false},
      {"counter(x)", false},
      {"x + sum(y)", false},
      {"upper(name)", false},
      {"coalesce(sum(a), 0)", false},
      {"round(x, 2)", false},
      {"(sum(x))", false},
      {"a", false},
      {"count", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isAggregateExpr(c.item), c.expected) << c.item;
}

TEST(SelectHasScalarExprs, ComputedItemsOfTheSelectList) {
  static const struct {
    const char* sql;
    bool expected;
  } cases[] = {
      {"SELECT a, b FROM t", false},
      {"SELECT * FROM t", false},
      {"SELECT FROM t", false},
      {"SELECT a IS NULL FROM t", true},
      {"SELECT a is not null AS flag FROM t", true},
      {"SELECT CASE WHEN a = 1 THEN 'x' ELSE 'y' END FROM t", true},
      {"SELECT upper(name) FROM t", true},
      {"SELECT a, ROUND(x, 2) FROM t", true},
      {"SELECT MEDIAN(x) FROM t", true},
      {"SELECT round(x, 2), count(*), SUM(x), Count_Distinct(y), median(x) FROM t", false},
      {"SELECT (a) FROM t", false},
      {"SELECT case(x) FROM t", false},
      {"SELECT a total FROM t", false},
  };
  for (const auto& c : cases) {
    ParsedQuery q;
    ASSERT_EQ(parseQuery(c.sql, q), Error::ok) << c.sql;
    EXPECT_EQ(selectHasScalarExprs(q), c.expected) << c.sql;
  }
}

TEST(RewriteDatePart, FirstRecognisedCallBecomesStrftime) {
  static const struct {
    const char* item;
    const char* expected;
  } cases[] = {
      {"DATE_PART('Month', order_date) AS m", "STRFTIME('%m', order_date) AS m"},
      {"date_part('YEAR', d)", "STRFTIME('%Y', d)"},
      {"date_part( ' day ' ,  d  )", "STRFTIME('%d', d)"},
      {"x + DATE_PART('hour', t)", "x + STRFTIME('%H', t)"},
      {"DATE_PART('minute', a) || DATE_PART('second', b)",
       "STRFTIME('%M', a) || DATE_PART('second', b)"},
      {"DATE_PART('second', s)", "STRFTIME('%S', s)"},
      {"DATE_PART('day', CAST(x AS DATE))", "STRFTIME('%d', CAST(x AS DATE))"},
      {"DATE_PART('week', d)", "DATE_PART('week', d)"},
      {"DATE_PART(day, d)", "DATE_PART(day, d)"},
      {"DATE_PART('day' d)", "DATE_PART('day' d)"},
      {"DATE_PART(d, 'day')", "DATE_PART(d, 'day')"},
      {"DATE_PART('day', d", "DATE_PART('day', d"},
      {"DATE_PART(", "DATE_PART("},
      {"plain", "plain"},
  };
  std::vector<std::string> items;
  for (const auto& c : cases) items.emplace_back(c.item);
  ASSERT_EQ(rewriteDatePart(items), Error::ok);
  for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i], cases[i].expected) << cases[i].item;
}

}  // namespace
}  // namespace tavix
