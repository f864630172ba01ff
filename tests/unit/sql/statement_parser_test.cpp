#include "sql/statement_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql/condition_parser.h"
#include "sql/select_item.h"
#include "unit/sql/describe_condition.h"

namespace tavix {
namespace {

using test::describe;

std::string joined(const std::vector<std::string>& items) {
  std::string s;
  for (size_t i = 0; i < items.size(); ++i) s += (i ? "|" : "") + items[i];
  return s;
}

TEST(ParseQuery, RefusalsAndMalformedStatementsNameTheirError) {
  static const struct {
    const char* sql;
    Error expected;
  } cases[] = {
      {"SELECT a FROM x UNION SELECT a FROM y", Error::UnsupportedSetOperation},
      {"SELECT a FROM x union all SELECT a FROM y", Error::UnsupportedSetOperation},
      {"SELECT a FROM x INTERSECT SELECT a FROM y", Error::UnsupportedSetOperation},
      {"SELECT a FROM x except SELECT a FROM y", Error::UnsupportedSetOperation},
      // Parentheses do not hide a set operation.
      {"SELECT a FROM t WHERE f(x union y) = 1", Error::UnsupportedSetOperation},
      // Any whitespace around the keyword, not only one space.
      {"SELECT a FROM x\nUNION\nSELECT a FROM y", Error::UnsupportedSetOperation},
      {"SELECT a FROM x\tEXCEPT  SELECT a FROM y", Error::UnsupportedSetOperation},
      {"SELECT a FROM (SELECT a FROM t)", Error::SubqueriesNotSupported},
      {"SELECT a FROM ( SELECT a FROM t)", Error::SubqueriesNotSupported},
      {"SELECT a FROM (\n\tselect a FROM t)", Error::SubqueriesNotSupported},
      {"SELECT a FROM t WHERE EXISTS (SELECT 1 FROM u)", Error::SubqueriesNotSupported},
      {"SELECT a FROM t WHERE x = (SELECT max(x) FROM t)", Error::SubqueriesNotSupported},
      {"SELECT a FROM t WHERE xin (SELECT 1)", Error::SubqueriesNotSupported},
      {"SELECT a FROM t LEFT JOIN u ON t.k = u.k", Error::UnsupportedJoinType},
      {"SELECT a FROM t LEFT  JOIN u ON t.k = u.k", Error::UnsupportedJoinType},
      {"SELECT a FROM t LEFT\tJOIN u ON t.k = u.k", Error::UnsupportedJoinType},
      {"SELECT a FROM t left\njoin u ON t.k = u.k", Error::UnsupportedJoinType},
      {"SELECT a FROM t LEFT OUTER JOIN u ON t.k = u.k", Error::UnsupportedJoinType},
      {"SELECT a FROM t RIGHT JOIN u ON t.k = u.k", Error::UnsupportedJoinType},
      {"SELECT a FROM t FULL JOIN u ON t.k = u.k", Error::UnsupportedJoinType},
      {"SELECT a FROM t FULL \r\n OUTER JOIN u ON t.k = u.k", Error::UnsupportedJoinType},
      {"SELECT a FROM t CROSS JOIN u", Error::UnsupportedJoinType},
      {"SELECT a FROM t JOIN u", Error::InvalidJoinSyntax},
      {"SELECT a FROM t JOIN u ON t.k", Error::InvalidJoinSyntax},
      {"SELECT a FROM t JOIN u ON t.k != u.k", Error::InvalidJoinSyntax},
      {"SELECT a FROM t JOIN u ON t.k <= u.k", Error::InvalidJoinSyntax},
      {"SELECT a FROM t JOIN u ON t.k >= u.k", Error::InvalidJoinSyntax},
      {"SELECT a FROM t JOIN u ON x", Error::InvalidJoinSyntax},
      {"SELECT a FROM t JOIN u ON  WHERE a = 1", Error::InvalidJoinSyntax},
      {"", Error::InvalidQuery},
      {"   ", Error::InvalidQuery},
      {"hello world", Error::InvalidQuery},
      {"SELECT", Error::InvalidQuery},
      {"SELECT a", Error::InvalidQuery},
      {"SELECT afrom t", Error::InvalidQuery},
      {"SELECT a FROM", Error::InvalidQuery},
      {"SELECT a FROM 'data.csv", Error::InvalidQuery},
      {"SELECT a FROM '", Error::InvalidQuery},
      {"SELECT a FROM  WHERE a = 1", Error::InvalidQuery},
      // An ON inside a quoted path, even an unclosed one, is no ON.
      {"SELECT a FROM t JOIN 'u ON t.k = u.k", Error::InvalidJoinSyntax},
      {"SELECT a FROM t JOIN 'u' ON t.k = u.k JOIN v ON", Error::InvalidJoinSyntax},
      {"SELECT DISTINCT FROM t", Error::InvalidQuery},
      {"SELECT DISTINCT , FROM t", Error::InvalidQuery},
      {"SELECT a FROM t WHERE", Error::InvalidExpression},
      {"SELECT a FROM t WHERE x = 'abc", Error::UnterminatedQuotedValue},
      {"SELECT a FROM t WHERE NOT(a = 1)", Error::InvalidExpression},
      {"SELECT a FROM t GROUP BY a HAVING", Error::InvalidExpression},
      {"SELECT a FROM t LIMIT -1", Error::NegativeLimitNotAllowed},
      {"SELECT a FROM t OFFSET -5", Error::NegativeOffsetNotAllowed},
      {"SELECT a FROM t LIMIT 2147483648", Error::Overflow},
      {"SELECT a FROM t OFFSET -2147483649", Error::Overflow},
      {"SELECT a FROM t LIMIT 5;", Error::InvalidCharacter},
      {"SELECT a FROM t LIMIT 5 ORDER BY a", Error::InvalidCharacter},
      {"SELECT a FROM t LIMIT", Error::InvalidCharacter},
      {"SELECT a FROM t LIMIT 1.5", Error::InvalidCharacter},
      {"SELECT a FROM t OFFSET ten", Error::InvalidCharacter},
  };
  for (const auto& c : cases) {
    ParsedQuery q;
    q.source = "untouched";
    EXPECT_EQ(test::errorText(parseQuery(c.sql, q)), test::errorText(c.expected)) << c.sql;
    EXPECT_EQ(q.source, "untouched") << c.sql;
  }
}

TEST(ParseQuery, TheFirstCheckThatFailsDecides) {
  static const struct {
    const char* sql;
    Error expected;
  } cases[] = {
      // Statement-wide refusals come before the select list and FROM.
      {"x UNION y", Error::UnsupportedSetOperation},
      {"(select 1) UNION (select 2)", Error::UnsupportedSetOperation},
      {"SELECT (select 1)", Error::SubqueriesNotSupported},
      {"SELECT a FROM t WHERE (select(1)) = 1", Error::SubqueriesNotSupported},
      {"SELECT a FROM t WHERE x = (SELECT\nmax(x) FROM t)", Error::SubqueriesNotSupported},
      {"SELECT DISTINCT FROM t LEFT JOIN u", Error::InvalidQuery},
      {"SELECT a FROM t LEFT JOIN u WHERE x", Error::UnsupportedJoinType},
      {"SELECT a FROM 'u LEFT JOIN v", Error::InvalidQuery},
      // Clauses in table order: WHERE, GROUP BY, HAVING, ORDER BY, LIMIT, OFFSET.
      {"SELECT a FROM t WHERE x LIMIT -1", Error::InvalidExpression},
      {"SELECT a FROM t LIMIT -1 WHERE x", Error::InvalidExpression},
      {"SELECT a FROM t GROUP BY a HAVING b LIMIT x", Error::InvalidExpression},
      {"SELECT a FROM t ORDER BY a LIMIT x OFFSET -1", Error::InvalidCharacter},
      {"SELECT a FROM t OFFSET -1 LIMIT -1", Error::NegativeLimitNotAllowed},
      {"SELECT a FROM t OFFSET x LIMIT 2147483648", Error::Overflow},
  };
  for (const auto& c : cases) {
    ParsedQuery q;
    EXPECT_EQ(test::errorText(parseQuery(c.sql, q)), test::errorText(c.expected)) << c.sql;
  }
}

TEST(ParseQuery, RefusedWordsInLiteralsAndListSubqueriesPassTheStatementChecks) {
  static const struct {
    const char* sql;
    Error expected;
  } cases[] = {
      {"SELECT a FROM t WHERE s = ' union '", Error::ok},
      {"SELECT a FROM t WHERE s = 'x\nUNION\ny'", Error::ok},
      {"SELECT unionized FROM t", Error::ok},
      // A set-operation word needs whitespace after it: here it is an alias.
      {"SELECT a FROM t union", Error::ok},
      {"SELECT a FROM t WHERE x IN (SELECT id FROM u)", Error::ok},
      {"SELECT a FROM t WHERE s = '(select 1)'", Error::ok},
      {"SELECT a FROM t WHERE s = 'left join'", Error::ok},
      {"SELECT a FROM t WHERE s = 'a join b'", Error::ok},
      // "select" opens a sub-query only as a whole word.
      {"SELECT upper(selection) FROM t", Error::ok},
      {"SELECT a FROM t WHERE (selection = 'x')", Error::ok},
      {"SELECT a FROM t WHERE ( selected_at = 1) OR (x = 2)", Error::ok},
      // Accepted as list sub-queries by the statement, but the condition
      // parser wants whitespace between IN and "(".
      {"SELECT a FROM t WHERE x NOT IN(select id from u)", Error::InvalidExpression},
      {"SELECT a FROM t WHERE x in\n( SELECT id FROM u)", Error::ok},
  };
  for (const auto& c : cases) {
    ParsedQuery q;
    EXPECT_EQ(test::errorText(parseQuery(c.sql, q)), test::errorText(c.expected)) << c.sql;
  }
}

TEST(ParseQuery, SingleTableWithAliasAndClauses) {
  ParsedQuery q;
  ASSERT_EQ(parseQuery("select * from 'My File.csv' f where f.x > 1", q), Error::ok);
  EXPECT_EQ(q.source, "My File.csv");
  EXPECT_TRUE(q.select_star);
  EXPECT_TRUE(q.select_items.empty());
  ASSERT_TRUE(q.has_where);
  EXPECT_EQ(describe(q.where), "gt x [1] #1");
  EXPECT_FALSE(q.has_having);
  EXPECT_FALSE(q.has_order_by);
  EXPECT_TRUE(q.joins.empty());
  EXPECT_EQ(q.limit, -1);
  EXPECT_EQ(q.offset, 0);

  ParsedQuery full;
  ASSERT_EQ(parseQuery("  EXPLAIN SELECT T.city, count(*) AS n, f(t.a, 'x,y') FROM data.csv AS T\n"
                       "WHERE t.price BETWEEN 1 AND 5 GROUP BY t.city, T.x HAVING count(*) > 2\n"
                       "ORDER BY n DESC, t.city LIMIT 1_0 OFFSET 3  ",
                       full),
            Error::ok);
  EXPECT_EQ(joined(full.select_items), "city|count(*) AS n|f(a, 'x,y')");
  EXPECT_EQ(full.source, "data.csv");
  EXPECT_EQ(describe(full.where), "between price [1] #1 .. [5] #5");
  EXPECT_EQ(joined(full.group_by), "city|x");
  EXPECT_EQ(describe(full.having), "gt count(*) [2] #2");
  EXPECT_EQ(full.order_by.primary_column, "n");
  EXPECT_TRUE(full.order_by.primary_descending);
  ASSERT_EQ(full.order_by.extra_keys.size(), 1u);
  EXPECT_EQ(full.order_by.extra_keys[0].column, "city");
  EXPECT_FALSE(full.order_by.extra_keys[0].descending);
  EXPECT_EQ(full.limit, 10);
  EXPECT_EQ(full.offset, 3);
  EXPECT_FALSE(full.distinct);
}

// The alias prefix used to be removed inside string literals too, so
// 'http://t.co' became 'http://co'.
TEST(ParseQuery, AliasPrefixesStayInsideStringLiterals) {
  ParsedQuery q;
  ASSERT_EQ(parseQuery("SELECT t.url, 't.x' FROM 'links.csv' t "
                       "WHERE t.url = 'http://t.co' OR t.url LIKE '%t.com'",
                       q),
            Error::ok);
  EXPECT_EQ(joined(q.select_items), "url|'t.x'");
  EXPECT_EQ(describe(q.where), "(eq url [http://t.co] OR like url [%t.com])");
}

TEST(ParseQuery, SourcesAndSelectLists) {
  static const struct {
    const char* sql;
    const char* source;
    const char* items;
    bool star;
    bool distinct;
  } cases[] = {
      {"SELECT a FROM t;", "t;", "a", false, false},
      {"SELECT a FROM \"data.csv\"", "data.csv", "a", false, false},
      {"SELECT a FROM 'a b.csv'", "a b.csv", "a", false, false},
      {"SELECT a FROM stdin", "stdin", "a", false, false},
      {"SELECT a FROM - WHERE a = 1", "-", "a", false, false},
      {"SELECT a FROM\tt\nWHERE a = 1", "t", "a", false, false},
      {"select A, B FROM t", "t", "A|B", false, false},
      {"SELECT DISTINCT * FROM t", "t", "", true, true},
      {"SELECT distinct\ta, b FROM t", "t", "a|b", false, true},
      {"SELECT distinctive FROM t", "t", "distinctive", false, false},
      {"SELECT DISTINCT(a) FROM t", "t", "DISTINCT(a)", false, false},
      {"SELECT fromage, 'x from y' FROM t", "t", "fromage|'x from y'", false, false},
      {"SELECT f(a from b) FROM t", "t", "f(a from b)", false, false},
      {"SELECT a,, b , FROM t", "t", "a|b", false, false},
      {"SELECT FROM t", "t", "", false, false},
      {"SELECT * , a FROM t", "t", "*|a", false, false},
      {"SELECT a FROM t HAVING x > 1", "t", "a", false, false},
  };
  for (const auto& c : cases) {
    ParsedQuery q;
    ASSERT_EQ(parseQuery(c.sql, q), Error::ok) << c.sql;
    EXPECT_EQ(q.source, c.source) << c.sql;
    EXPECT_EQ(joined(q.select_items), c.items) << c.sql;
    EXPECT_EQ(q.select_star, c.star) << c.sql;
    EXPECT_EQ(q.distinct, c.distinct) << c.sql;
  }
}

TEST(ParseQuery, ClauseTextsEndAtTheirFollowingKeywords) {
  static const struct {
    const char* clauses;  // after "SELECT a FROM t "
    const char* where;    // describe(), or "" for none
    const char* group_by;
    const char* having;
    int32_t limit;
    int32_t offset;
  } cases[] = {
      {"OFFSET 10 LIMIT 5", "", "", "", 5, 10},
      {"LIMIT 5 OFFSET 10", "", "", "", 5, 10},
      {"WHERE a = 1 LIMIT 2", "eq a [1] #1", "", "", 2, 0},
      // HAVING ends a WHERE text: a whole-table aggregate may carry both.
      {"WHERE a = 1 HAVING x > 1", "eq a [1] #1", "", "gt x [1] #1", -1, 0},
      {"WHERE s = 'x HAVING y' HAVING x > 1", "eq s [x HAVING y]", "", "gt x [1] #1", -1, 0},
      {"WHERE s = 'x LIMIT 5' LIMIT 1", "eq s [x LIMIT 5]", "", "", 1, 0},
      {"WHERE f(a, b LIMIT 3) = 1", "eq f(a, b limit 3) [1] #1", "", "", -1, 0},
      {"WHERE a_limit = 1", "eq a_limit [1] #1", "", "", -1, 0},
      {"WHERE a = 1 GROUP BY a, f(b, c) HAVING sum(x) > 1 ORDER BY a", "eq a [1] #1", "a|f(b, c)",
       "gt sum(x) [1] #1", -1, 0},
      {"GROUP BY a ORDER BY a", "", "a", "", -1, 0},
      {"where\ta = 1\nlimit\t3", "eq a [1] #1", "", "", 3, 0},
      {"GROUP  BY a", "", "a", "", -1, 0},
      {"WHERE a = 1\nGROUP\tBY a\r\nHAVING\nx > 1", "eq a [1] #1", "a", "gt x [1] #1", -1, 0},
      {"LIMIT 0 OFFSET 0", "", "", "", 0, 0},
      {"LIMIT -0", "", "", "", 0, 0},
  };
  for (const auto& c : cases) {
    const std::string sql = std::string("SELECT a FROM t ") + c.clauses;
    ParsedQuery q;
    ASSERT_EQ(parseQuery(sql, q), Error::ok) << sql;
    EXPECT_EQ(q.has_where ? describe(q.where) : "", c.where) << sql;
    EXPECT_EQ(joined(q.group_by), c.group_by) << sql;
    EXPECT_EQ(q.has_having ? describe(q.having) : "", c.having) << sql;
    EXPECT_EQ(q.limit, c.limit) << sql;
    EXPECT_EQ(q.offset, c.offset) << sql;
  }
}

TEST(ParseQuery, OrderByKeysSplitAtEveryComma) {
  static const struct {
    const char* order_by;
    const char* keys;  // column, '-' prefix for descending, joined with '|'
  } cases[] = {
      {"b DESC, c", "-b|c"},
      {"B asc", "b"},
      {"a desc, b DESC , c asc", "-a|-b|c"},
      {"round(x, 2)", "round(x|2)"},
      {"a,,b", "a||b"},
      {"a,", "a"},
      {"", ""},
      {"Name", "name"},
      {"x DESCENDING", "-x"},
      {"x\tDESC", "-x"},
      {"x\n  asc, y\r\nDESC", "x|-y"},
      {"description", "description"},
  };
  for (const auto& c : cases) {
    const std::string sql = std::string("SELECT a FROM t ORDER BY ") + c.order_by;
    ParsedQuery q;
    ASSERT_EQ(parseQuery(sql, q), Error::ok) << sql;
    ASSERT_TRUE(q.has_order_by) << sql;
    std::string keys = (q.order_by.primary_descending ? "-" : "") + q.order_by.primary_column;
    for (const OrderByItem& k : q.order_by.extra_keys)
      keys += "|" + std::string(k.descending ? "-" : "") + k.column;
    EXPECT_EQ(keys, c.keys) << sql;
  }
}

// Renders everything a parsed query holds on one line; select items are
// shown as split by splitSelectAlias.
std::string describeQuery(const ParsedQuery& q) {
  std::string s = "from " + q.source + (q.select_star ? " *" : "") + (q.distinct ? " distinct" : "");
  for (const std::string& item : q.select_items) {
    const SelectAlias a = splitSelectAlias(item);
    s += " [" + std::string(a.expression) + (a.has_alias ? " as " + std::string(a.alias) : "") + "]";
  }
  for (const JoinClause& j : q.joins)
    s += " join " + j.table + "/" + j.left_alias + "/" + j.alias + "/" + j.left_column + "/" +
         j.right_column;
  if (q.has_where) s += " where " + describe(q.where);
  if (!q.group_by.empty()) s += " group " + joined(q.group_by);
  if (q.has_having) s += " having " + describe(q.having);
  if (q.has_order_by) {
    s += " order " + std::string(q.order_by.primary_descending ? "-" : "") + q.order_by.primary_column;
    for (const OrderByItem& k : q.order_by.extra_keys)
      s += "|" + std::string(k.descending ? "-" : "") + k.column;
  }
  return s + " limit " + std::to_string(q.limit) + " offset " + std::to_string(q.offset);
}

// Every keyword the parsers look for, written with runs of spaces, tabs,
// CRs and LFs, reads as written with single spaces: the same clauses, the
// same condition tree, the same items and aliases. (Expression texts such as
// a CASE item or a sub-query keep their whitespace as written.)
TEST(ParseQuery, WhitespaceRunsBetweenWordsReadAsSingleSpaces) {
  static const char* const kStatements[] = {
      "SELECT a, price p, upper(name) AS n FROM t WHERE n = 5 OR n = 20 ORDER BY id LIMIT 2 OFFSET 1",
      "SELECT DISTINCT a FROM 'x y.csv' AS q WHERE q.b = 'x z' AND n > 5 ORDER BY a DESC, b ASC",
      "SELECT a FROM t WHERE b IS NULL OR c IS NOT NULL AND NOT d = 1",
      "SELECT a FROM t WHERE x BETWEEN 1 AND 5 AND y NOT IN (1, 2) OR z IN ('a b') AND w LIKE 'a%'",
      "SELECT a FROM t WHERE w ILIKE 'A%' AND n % 2 = 0 AND EXTRACT(YEAR FROM d) = 2020",
      "SELECT g, count(*) FROM t GROUP BY g HAVING count(*) > 1 ORDER BY g",
      "SELECT a FROM t OFFSET 2 LIMIT 1",
      "SELECT * FROM a x INNER JOIN b y ON x.k = y.k JOIN c ON y.k = c.k WHERE x.v > 1 LIMIT 3",
  };
  for (const char* sql : kStatements) {
    ParsedQuery one_line;
    ASSERT_EQ(parseQuery(sql, one_line), Error::ok) << sql;
    const std::string expected = describeQuery(one_line);
    for (const char* run : test::kWhitespaceRuns) {
      const std::string spread = test::respaced(sql, run);
      ParsedQuery q;
      ASSERT_EQ(parseQuery(spread, q), Error::ok) << spread;
      EXPECT_EQ(describeQuery(q), expected) << spread;
    }
  }
}

TEST(ParseQuery, JoinsChainTheirLeftAliases) {
  ParsedQuery q;
  ASSERT_EQ(parseQuery("SELECT a.x, c.y FROM 'a.csv' A JOIN 'b.csv' b ON a.k = B.K "
                       "inner join 'c.csv' AS c ON b.k = c.k WHERE a.x > 1 ORDER BY a.x",
                       q),
            Error::ok);
  EXPECT_EQ(q.source, "a.csv");
  EXPECT_EQ(joined(q.select_items), "a.x|c.y");
  ASSERT_EQ(q.joins.size(), 2u);
  EXPECT_EQ(q.joins[0].table, "b.csv");
  EXPECT_EQ(q.joins[0].left_alias, "a");
  EXPECT_EQ(q.joins[0].alias, "b");
  EXPECT_EQ(q.joins[0].left_column, "a.k");
  EXPECT_EQ(q.joins[0].right_column, "b.k");
  EXPECT_EQ(q.joins[1].table, "c.csv");
  EXPECT_EQ(q.joins[1].left_alias, "b");
  EXPECT_EQ(q.joins[1].alias, "c");
  EXPECT_EQ(q.joins[1].left_column, "b.k");
  EXPECT_EQ(q.joins[1].right_column, "c.k");
  // With joins the qualifiers stay: they name the table.
  EXPECT_EQ(describe(q.where), "gt a.x [1] #1");
  EXPECT_EQ(q.order_by.primary_column, "a.x");
}

TEST(ParseQuery, JoinTablesAndOnConditions) {
  static const struct {
    const char* from;  // after "SELECT * FROM "
    const char* source;
    const char* joins;  // table/left_alias/alias/left/right, joined with '|'
  } cases[] = {
      {"a JOIN b ON a.k = b.k", "a", "b///a.k/b.k"},
      {"\"a.csv\" x INNER JOIN 'b c.csv' ON x.k=k2", "\"a.csv\"", "b c.csv/x//x.k/k2"},
      {"a JOIN b ON a.k = b.k AND a.m = b.m", "a", "b///a.k/b.k and a.m = b.m"},
      {"a JOIN b ON = b.k", "a", "b////b.k"},
      {"a JOIN b ON =", "a", "b////"},
      {"a JOIN b ON a.k >= 1 = 2", "a", "b///a.k >= 1/2"},
      {"a JOIN b ON a.k = b.k WHERE a.x = 1", "a", "b///a.k/b.k"},
      {"a x JOIN b y ON x.k = y.k JOIN c ON y.k = c.k JOIN d z ON c.k = z.k", "a",
       "b/x/y/x.k/y.k|c/y//y.k/c.k|d//z/c.k/z.k"},
      {"a\tJOIN\tb ON a.k = b.k", "a", "b///a.k/b.k"},
      // The ON text ends only at a clause keyword that is a word of its own.
      {"a JOIN b ON a.k = b.k_limit", "a", "b///a.k/b.k_limit"},
      {"a JOIN b ON a.id = b.order_id ORDER BY a.id", "a", "b///a.id/b.order_id"},
      {"a JOIN b ON a.k = b.k\nWHERE a.x = 1", "a", "b///a.k/b.k"},
      {"a JOIN b ON a.k = b.k HAVING count(*) > 1", "a", "b///a.k/b.k"},
      {"a JOIN b ON a.k = b.having_k", "a", "b///a.k/b.having_k"},
      {"a\nINNER\tJOIN b\nON\ta.k = b.k", "a", "b///a.k/b.k"},
      // A quoted path may hold " on ".
      {"a JOIN 'b on c.csv' q ON a.k = q.k", "a", "b on c.csv//q/a.k/q.k"},
      // A plain JOIN before an INNER JOIN is read first.
      {"a p JOIN b q ON p.k = q.k INNER JOIN c r ON q.k = r.k", "a",
       "b/p/q/p.k/q.k|c/q/r/q.k/r.k"},
  };
  for (const auto& c : cases) {
    const std::string sql = std::string("SELECT * FROM ") + c.from;
    ParsedQuery q;
    ASSERT_EQ(parseQuery(sql, q), Error::ok) << sql;
    EXPECT_EQ(q.source, c.source) << sql;
    std::string joins;
    for (const JoinClause& j : q.joins) {
      if (!joins.empty()) joins += "|";
      joins += j.table + "/" + j.left_alias + "/" + j.alias + "/" + j.left_column + "/" +
               j.right_column;
    }
    EXPECT_EQ(joins, c.joins) << sql;
  }
}

// HAVING without GROUP BY ends the table reference: the alias stays an
// alias, and its prefix is dropped in the HAVING text as everywhere else.
TEST(ParseQuery, HavingEndsTheTableReference) {
  ParsedQuery q;
  ASSERT_EQ(parseQuery("SELECT sum(x.a) FROM t x HAVING count(x.a) > 1", q), Error::ok);
  EXPECT_EQ(q.source, "t");
  EXPECT_EQ(joined(q.select_items), "sum(a)");
  ASSERT_TRUE(q.has_having);
  EXPECT_EQ(describe(q.having), "gt count(a) [1] #1");

  ParsedQuery j;
  ASSERT_EQ(parseQuery("SELECT count(*) FROM a x JOIN b y ON x.k = y.k HAVING count(*) > 1", j),
            Error::ok);
  ASSERT_EQ(j.joins.size(), 1u);
  EXPECT_EQ(j.joins[0].right_column, "y.k");
  ASSERT_TRUE(j.has_having);
  EXPECT_EQ(describe(j.having), "gt count(*) [1] #1");
}

TEST(ParseQuery, JoinKeywordInsideAQuotedPathOrLiteralIsNoJoin) {
  ParsedQuery q;
  ASSERT_EQ(parseQuery("SELECT * FROM 'sales join costs.csv' s WHERE s.note = 'a join b'", q),
            Error::ok);
  EXPECT_EQ(q.source, "sales join costs.csv");
  EXPECT_TRUE(q.joins.empty());
  EXPECT_EQ(describe(q.where), "eq note [a join b]");
}

// A join keyword that comes after the first clause keyword belongs to that
// clause: reading it as the next join would drop the WHERE text between.
TEST(ParseQuery, JoinWordAfterWhereKeepsTheWhereClause) {
  ParsedQuery q;
  ASSERT_EQ(parseQuery("SELECT * FROM a JOIN b ON a.k = b.k "
                       "WHERE a.x IN (SELECT id FROM u JOIN v ON u.k = v.k) LIMIT 2",
                       q),
            Error::ok);
  ASSERT_EQ(q.joins.size(), 1u);
  EXPECT_EQ(q.joins[0].right_column, "b.k");
  ASSERT_TRUE(q.has_where);
  EXPECT_EQ(describe(q.where), "in a.x (SELECT id FROM u JOIN v ON u.k = v.k)");
  EXPECT_EQ(q.limit, 2);
}

TEST(ParseQuery, SubqueryConditionsPassTheParserAndAreReported) {
  ParsedQuery q;
  ASSERT_EQ(parseQuery("SELECT a FROM t WHERE a = 1 AND x IN (SELECT id FROM u)", q), Error::ok);
  EXPECT_TRUE(conditionHasSubquery(q.where));
  ParsedQuery h;
  ASSERT_EQ(parseQuery("SELECT a FROM t GROUP BY a HAVING a NOT IN (select b from u)", h),
            Error::ok);
  EXPECT_FALSE(h.has_where);
  EXPECT_TRUE(conditionHasSubquery(h.having));
}

TEST(ParseQuery, HundredThousandTermWhereParses) {
  std::string sql = "SELECT a FROM 'data.csv' d WHERE ";
  for (int i = 0; i < 100000; ++i) sql += (i ? " OR d.a = " : "d.a = ") + std::to_string(i);
  sql += " ORDER BY a LIMIT 3";
  ParsedQuery q;
  ASSERT_EQ(parseQuery(sql, q), Error::ok);
  const FieldSlice names[] = {"a"};
  EXPECT_EQ(checkConditionColumns(q.where, names, 1), Error::ok);
  EXPECT_EQ(q.limit, 3);
  freeParsedQuery(q);
  EXPECT_FALSE(q.has_where);
  EXPECT_EQ(q.where.kind, ConditionKind::comparison);
}

TEST(ParseTableRef, PathsAndAliases) {
  static const struct {
    const char* text;
    Error error;
    const char* table;
    const char* alias;
  } cases[] = {
      {"t", Error::ok, "t", ""},
      {"  t  X ", Error::ok, "t", "x"},
      {"t AS X", Error::ok, "t", "x"},
      {"t as  y", Error::ok, "t", "y"},
      {"t as", Error::ok, "t", "as"},
      {"t\tz", Error::ok, "t", "z"},
      {"t AS\ty", Error::ok, "t", "y"},
      {"t\nAS\n\ny", Error::ok, "t", "y"},
      {"'a b.csv' Ab", Error::ok, "a b.csv", "ab"},
      {"'a.csv'x", Error::ok, "a.csv", "x"},
      {"''", Error::ok, "", ""},
      {"\"a.csv\" q", Error::ok, "\"a.csv\"", "q"},
      {"", Error::InvalidQuery, "", ""},
      {"   ", Error::InvalidQuery, "", ""},
      {"'abc", Error::InvalidQuery, "", ""},
      {"'", Error::InvalidQuery, "", ""},
  };
  for (const auto& c : cases) {
    std::string table = "?";
    std::string alias = "?";
    ASSERT_EQ(parseTableRef(c.text, table, alias), c.error) << c.text;
    if (c.error != Error::ok) continue;
    EXPECT_EQ(table, c.table) << c.text;
    EXPECT_EQ(alias, c.alias) << c.text;
  }
}

TEST(SplitTopLevelCommas, SkipsQuotesAndParenthesesAndDropsEmptyPieces) {
  static const struct {
    const char* text;
    const char* pieces;
  } cases[] = {
      {"a, b ,c", "a|b|c"},
      {"f(a, b), 'x,y', g(h(1, 2), 3)", "f(a, b)|'x,y'|g(h(1, 2), 3)"},
      {", a,, ,b,", "a|b"},
      {"a), b", "a)|b"},
      {"'unclosed, x", "'unclosed, x"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(joined(splitTopLevelCommas(c.text)), c.pieces) << c.text;
}

TEST(StripAliasPrefixes, RemovesQualifiersThatStartAnIdentifier) {
  static const struct {
    const char* text;
    const char* alias;
    const char* expected;
  } cases[] = {
      {"t.a + T.b", "t", "a + b"},
      {"f(t.a, t._b)", "t", "f(a, _b)"},
      {"at.a, t1.a", "t", "at.a, t1.a"},
      {"t.1, t., t.", "t", "t.1, t., t."},
      {"t.t.a", "t", "a"},
      {"tab.x = 1", "tab", "x = 1"},
      {"'t.a' || t.a", "t", "'t.a' || a"},
      {"url = 'http://t.co' AND t.x = 'it''s t.y'", "t", "url = 'http://t.co' AND x = 'it''s t.y'"},
      {"s = 'open t.x", "t", "s = 'open t.x"},
      {"\"t.a\"", "t", "\"a\""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(stripAliasPrefixes(c.text, c.alias), c.expected) << c.text;
}

TEST(FindJoinKeyword, InnerJoinOrAJoinBetweenWhitespace) {
  static const struct {
    const char* text;
    bool found;
    size_t start;
    size_t end;
  } cases[] = {
      {"a INNER JOIN b", true, 2, 12},
      {"INNER JOIN b", true, 0, 10},
      {"a join b", true, 2, 6},
      {"a\tJOIN\nb", true, 2, 6},
      {"a xINNER JOIN b", true, 9, 13},
      {"a INNER  JOIN b", true, 2, 13},
      {"a\ninner\tjoin\r\nb", true, 2, 12},
      {"a INNER JOINb", false, 0, 0},
      {"join b", false, 0, 0},
      {"a join", false, 0, 0},
      {"a joins b", false, 0, 0},
      {"'x join y' z", false, 0, 0},
      {"'x join y' join b", true, 11, 15},
      {"'x inner join y' inner join b", true, 17, 27},
  };
  for (const auto& c : cases) {
    const std::optional<KeywordSpan> k = findJoinKeyword(c.text);
    ASSERT_EQ(k.has_value(), c.found) << c.text;
    if (!k) continue;
    EXPECT_EQ(k->start, c.start) << c.text;
    EXPECT_EQ(k->end, c.end) << c.text;
  }
}

TEST(FindClauseKeyword, OutsideQuotesAtDepthZeroBetweenWhitespace) {
  constexpr size_t npos = std::string_view::npos;
  static const struct {
    const char* text;
    const char* keyword;
    size_t expected;
  } cases[] = {
      {"t WHERE a", "WHERE", 2},
      {"WHERE a", "where", 0},
      {"t where", "WHERE", 2},
      {"t\nGROUP BY a", "GROUP BY", 2},
      {"t GROUP  BY a", "GROUP BY", 2},
      {"t ORDER\r\nBY a", "ORDER BY", 2},
      {"t GROUPBY a", "GROUP BY", npos},
      {"t a_limit", "LIMIT", npos},
      {"t xWHERE a", "WHERE", npos},
      {"t WHEREa", "WHERE", npos},
      {"t 'x WHERE y' WHERE a", "WHERE", 14},
      {"t f(x WHERE y) WHERE a", "WHERE", 15},
      {"t ) WHERE a", "WHERE", 4},
      {"t (WHERE a", "WHERE", npos},
  };
  for (const auto& c : cases)
    EXPECT_EQ(findClauseKeyword(c.text, c.keyword), c.expected) << c.text << " / " << c.keyword;
}

TEST(ContainsKeywordOutsideQuotes, SpacesMatchAnyWhitespaceRun) {
  static const struct {
    const char* text;
    const char* keyword;
    bool expected;
  } cases[] = {
      {"a RIGHT JOIN b", "RIGHT JOIN", true},
      {"a right\t\tjoin b", "RIGHT JOIN", true},
      {"a xright joinx b", "RIGHT JOIN", true},
      {"a RIGHTJOIN b", "RIGHT JOIN", false},
      {"a 'RIGHT JOIN' b", "RIGHT JOIN", false},
      {"a 'x' CROSS JOIN 'y'", "CROSS JOIN", true},
      {"a 'unclosed CROSS JOIN", "CROSS JOIN", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(containsKeywordOutsideQuotes(c.text, c.keyword), c.expected) << c.text;
}

}  // namespace
}  // namespace tavix
