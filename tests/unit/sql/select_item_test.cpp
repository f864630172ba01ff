#include "sql/select_item.h"

#include <gtest/gtest.h>

namespace tavix {
namespace {

TEST(SplitSelectAlias, ExplicitAndImplicitAliases) {
  static const struct {
    const char* item;
    const char* expression;
    const char* alias;  // nullptr: no alias
  } cases[] = {
      {"price * 2 AS total", "price * 2", "total"},
      {"price * 2 as Total", "price * 2", "Total"},
      {"price total", "price", "total"},
      {"upper(name) n", "upper(name)", "n"},
      {"x AS select", "x", "select"},
      {"x AS end", "x", "end"},
      {"a AS b AS c", "a AS b", "c"},
      {"cast(x AS int) n", "cast(x AS int)", "n"},
      {"count(*)   AS   n", "count(*)", "n"},
      {"CASE WHEN a > 1 THEN 'x' END label", "CASE WHEN a > 1 THEN 'x' END", "label"},
      {"'a b' c", "'a b'", "c"},
      // No alias: reserved last words, non-identifiers, nesting, quotes.
      {"price desc", "price desc", nullptr},
      {"a IS NULL", "a IS NULL", nullptr},
      {"a is not null", "a is not null", nullptr},
      {"CASE WHEN a > 1 THEN 'x' END", "CASE WHEN a > 1 THEN 'x' END", nullptr},
      {"name AS 'x y'", "name AS 'x y'", nullptr},
      {"f(a AS b)", "f(a AS b)", nullptr},
      {"sum(x) + 1", "sum(x) + 1", nullptr},
      {"x + sum(y)", "x + sum(y)", nullptr},
      {"a AS f(x)", "a AS f(x)", nullptr},
      {"x AS", "x AS", nullptr},
      {"'x AS y'", "'x AS y'", nullptr},
      {"a 1b", "a 1b", nullptr},
      // Whitespace runs of any kind separate an alias.
      {"a\tb", "a", "b"},
      {"price\r\np", "price", "p"},
      {"price\tAS\nTotal", "price", "Total"},
      {"a  AS\t\tb", "a", "b"},
      {"name AS x\ty", "name AS x", "y"},
      {"x\nDESC", "x\nDESC", nullptr},
      {"price", "price", nullptr},
      {"", "", nullptr},
  };
  for (const auto& c : cases) {
    const SelectAlias s = splitSelectAlias(c.item);
    EXPECT_EQ(s.expression, c.expression) << c.item;
    EXPECT_EQ(s.has_alias, c.alias != nullptr) << c.item;
    EXPECT_EQ(s.alias, c.alias ? c.alias : "") << c.item;
  }
}

TEST(UnwrapRoundCall, RecognisesOnlyTheWholeWrapper) {
  static const struct {
    const char* text;
    bool present;
    const char* inner;
    int digits;
  } cases[] = {
      {"ROUND(avg(x), 2)", true, "avg(x)", 2},
      {"  round( sum(a) ,  0 )  ", true, "sum(a)", 0},
      {"round(f(a, b), 3)", true, "f(a, b)", 3},
      {"round(, 2)", true, "", 2},
      {"round(,1)", true, "", 1},
      {"round(x, 255)", true, "x", 255},
      {"round(x, 1_0)", true, "x", 10},
      {"round(x, 256)", false, "", 0},
      {"round(x, -1)", false, "", 0},
      {"round(x, 2.5)", false, "", 0},
      {"round(price)", false, "", 0},
      {"round(avg(x), 2) AS r", false, "", 0},
      {"rounds(x, 2)", false, "", 0},
      {"round (x, 2)", false, "", 0},
      {"round(,)", false, "", 0},
      {"", false, "", 0},
  };
  for (const auto& c : cases) {
    const RoundCall r = unwrapRoundCall(c.text);
    EXPECT_EQ(r.present, c.present) << c.text;
    EXPECT_EQ(r.inner, c.inner) << c.text;
    EXPECT_EQ(r.digits, c.digits) << c.text;
  }
}

}  // namespace
}  // namespace tavix
