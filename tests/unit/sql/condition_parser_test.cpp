#include "sql/condition_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit/sql/describe_condition.h"

namespace tavix {
namespace {

using test::describe;

struct ParseCase {
  const char* text;
  const char* tree;  // describe() of the result; unused when `error` is set
  Error error = Error::ok;
};

void expectParses(const ParseCase* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const ParseCase& c = cases[i];
    ConditionNode node;
    const Error e = parseCondition(c.text, node);
    EXPECT_EQ(test::errorText(e), test::errorText(c.error)) << '"' << c.text << '"';
    if (e == Error::ok && c.error == Error::ok) {
      EXPECT_EQ(describe(node), c.tree) << '"' << c.text << '"';
    }
  }
}

TEST(ParseCondition, OrAndNotAndParenthesesNestAsInSql) {
  static const ParseCase cases[] = {
      {"a = 1 OR b = 2 AND c = 3", "(eq a [1] #1 OR (eq b [2] #2 AND eq c [3] #3))"},
      {"a = 1 AND b = 2 OR c = 3", "((eq a [1] #1 AND eq b [2] #2) OR eq c [3] #3)"},
      {"a = 1 or b = 2 or c = 3", "(eq a [1] #1 OR (eq b [2] #2 OR eq c [3] #3))"},
      {"a = 1 and b = 2 and c = 3", "(eq a [1] #1 AND (eq b [2] #2 AND eq c [3] #3))"},
      {"(a = 1 OR b = 2) AND c = 3", "((eq a [1] #1 OR eq b [2] #2) AND eq c [3] #3)"},
      {"(a = 1) AND (b = 2)", "(eq a [1] #1 AND eq b [2] #2)"},
      {"  ((a = 1))  ", "eq a [1] #1"},
      {"a = 1 OR   b = 2", "(eq a [1] #1 OR eq b [2] #2)"},
      // A leading "(" whose count never returns to 0 still pairs with the
      // last ")": the bytes between them are parsed.
      {"(a = (1)", "eq a [(1]"},
      {"(a = 1 OR b = (2)", "(eq a [1] #1 OR eq b [(2])"},
      {"((a = 1)", "", Error::InvalidExpression},
      // The enclosing test counts every ")", also one inside quotes.
      {"(a = ')')", "", Error::InvalidExpression},
      {"(a = 1) OR (b = 2)", "(eq a [1] #1 OR eq b [2] #2)"},
      // NOT binds to the condition right after it.
      {"NOT a = 1 AND b = 2", "(NOT eq a [1] #1 AND eq b [2] #2)"},
      {"NOT (a = 1) AND b = 2", "(NOT eq a [1] #1 AND eq b [2] #2)"},
      {"NOT a = 1 OR b = 2", "(NOT eq a [1] #1 OR eq b [2] #2)"},
      {"b = 2 AND not a = 1", "(eq b [2] #2 AND NOT eq a [1] #1)"},
      {"NOT (a = 1 AND b = 2)", "NOT (eq a [1] #1 AND eq b [2] #2)"},
      {"NOT NOT a = 1", "NOT NOT eq a [1] #1"},
      {"NOT x BETWEEN 1 AND 5", "NOT between x [1] #1 .. [5] #5"},
      {"NOT(a = 1)", "", Error::InvalidExpression},
      {"NOT\ta = 1", "NOT eq a [1] #1"},
      // Keywords inside quotes or parentheses do not split; across a TAB they do.
      {"s = 'x or y'", "eq s [x or y]"},
      {"f(a OR b) = 1", "eq f(a or b) [1] #1"},
      {"a = 1\tOR b = 2", "(eq a [1] #1 OR eq b [2] #2)"},
      {"a = 1 ORb = 2", "eq a [1 ORb = 2]"},
      // BETWEEN keeps its own AND.
      {"x BETWEEN 1 AND 5 AND y = 2", "(between x [1] #1 .. [5] #5 AND eq y [2] #2)"},
      {"y = 2 AND x BETWEEN 1 AND 5", "(eq y [2] #2 AND between x [1] #1 .. [5] #5)"},
      {"x between 1 and 5 and y between 'a' and 'b'",
       "(between x [1] #1 .. [5] #5 AND between y [a] .. [b])"},
      {"x between 'a' and 'm'", "between x [a] .. [m]"},
      {"x BETWEEN '1' AND '5'", "between x [1] #1 .. [5] #5"},
      {"x BETWEEN 1", "", Error::InvalidExpression},
      {"a NOT BETWEEN 1 AND 2", "between a not [1] #1 .. [2] #2"},
      // Only a top-level BETWEEN guards an AND.
      {"f(a between b) = 1 AND c = 2", "(eq f(a between b) [1] #1 AND eq c [2] #2)"},
      // The bounds split at the first " AND " with no regard to quotes.
      {"x BETWEEN 'a and b' AND 'c'", "between x ['a] .. [b' AND 'c']"},
      // The first error in the text wins.
      {"x BETWEEN 1 OR a = 'b", "", Error::InvalidExpression},
      {"a = 'b OR x BETWEEN 1", "", Error::UnterminatedQuotedValue},
      {"a = 1 AND", "eq a [1 AND]"},
      {"a = 1 AND b", "", Error::InvalidExpression},
  };
  expectParses(cases, std::size(cases));
}

TEST(ParseCondition, ComparisonLeaves) {
  static const ParseCase cases[] = {
      {"a = 5", "eq a [5] #5"},
      {"A <> 5", "ne a [5] #5"},
      {"a != 5", "ne a [5] #5"},
      {"price>=10", "ge price [10] #10"},
      {"a <= -1.5", "le a [-1.5] #-1.5"},
      {"a < 0x10", "lt a [0x10] #16"},
      {"a > b", "gt a [b]"},
      {"a = -5", "eq a [-5] #-5"},
      {"a == 5", "eq a [= 5]"},
      // The leftmost operator decides, whatever its rank in the table.
      {"a LIKE b = c", "like a [b = c]"},
      {"a = b LIKE c", "eq a [b LIKE c]"},
      {"x = '5'", "eq x [5] #5"},
      {"x = \"abc\"", "eq x [abc]"},
      {"x = ''", "eq x []"},
      {"x = 'it''s'", "eq x [it''s]"},
      {"x = 'abc", "", Error::UnterminatedQuotedValue},
      {"x = '", "", Error::UnterminatedQuotedValue},
      {"x = 'abc\"", "", Error::UnterminatedQuotedValue},
      {"a = 5;", "eq a [5;]"},
      {"= 5", "eq  [5] #5"},
      {"upper(name) = 'X'", "eq upper(name) [X]"},
      {"price%2 = 0", "eq price%2 [0] #0"},
      // Double quotes hide nothing: the OR splits and its left side is unterminated.
      {"a = \"x or y\"", "", Error::UnterminatedQuotedValue},
      {"", "", Error::InvalidExpression},
      {"   ", "", Error::InvalidExpression},
      {"a", "", Error::InvalidExpression},
      {"()", "", Error::InvalidExpression},
  };
  expectParses(cases, std::size(cases));
}

TEST(ParseCondition, NullLikeAndListLeaves) {
  static const ParseCase cases[] = {
      {"a IS NULL", "is_null a"},
      {"a is not null", "is_not_null a"},
      {"a IS NULL trailing words", "is_null a"},
      {"name LIKE 'Jo%'", "like name [Jo%]"},
      {"name ilike '%X'", "ilike name [%X]"},
      {"x LIKE 'abc", "like x ['abc]"},
      {"a NOT LIKE 'x%'", "like a not [x%]"},
      {"x IN (1, 'b,c', )", "in x {\"1\",\"b,c\",\"\"}"},
      {"x in ( 'a' ,\"b\")", "in x {\"a\",\"b\"}"},
      {"x IN ()", "in x {\"\"}"},
      {"x IN (1,,2)", "in x {\"1\",\"\",\"2\"}"},
      {"x IN (1, 2) junk", "in x {\"1\",\"2\"}"},
      {"x NOT IN (1)", "not in x {\"1\"}"},
      {"x IN (SELECT id FROM t)", "in x (SELECT id FROM t)"},
      {"x not in ( select id from t )", "not in x (select id from t)"},
      {"x IN(1, 2)", "", Error::InvalidExpression},
      {"x IN (1, 2", "", Error::InvalidExpression},
      {"\"my col\" IN (1)", "", Error::InvalidExpression},
      {"f(x) IN (1)", "", Error::InvalidExpression},
      // An IN after a comparison operator is part of the comparison value.
      {"a = b IN (1)", "eq a [b IN (1)]"},
  };
  expectParses(cases, std::size(cases));
}

TEST(ParseCondition, ModuloAndDateFunctionLeaves) {
  static const ParseCase cases[] = {
      {"price % 2 = 0", "eq price % 2 [0]"},
      {"price % 2 <> 0", "ne price % 2 [0]"},
      {"n % 3 >= 1", "ge n % 3 [1]"},
      {"n % 2.5 < 1", "lt n % 2.5 [1]"},
      {"x % 0 = 1", "", Error::InvalidExpression},
      {"x % 2", "", Error::InvalidExpression},
      {"x % a = 1", "", Error::InvalidExpression},
      {"x % 2 = b", "", Error::InvalidExpression},
      // A modulo value keeps its quotes, so a quoted number is no number.
      {"x % 2 = '0'", "", Error::InvalidExpression},
      {"EXTRACT(YEAR FROM d) = 2020", "extract:YEAR d eq 2020"},
      {"extract('month' from Order_Date) >= 6", "extract:'month' order_date ge 6"},
      {"datediff('day', a, b) > 7", "datediff:day a,b gt 7"},
      {"DATEDIFF(day, A, B, extra) != 1", "datediff:day a,b ne 1"},
      {"dateadd('month', -2, d) <= 3", "dateadd:month -2 d le 3"},
      {"datediff('day', a) > 1", "", Error::InvalidExpression},
      {"dateadd('day', x, d) = 3", "", Error::InvalidExpression},
      {"dateadd('day', 2147483648, d) = 3", "", Error::InvalidExpression},
      // The amount follows the integer rule, not the number rule.
      {"dateadd('day', 1_0, d) = 3", "dateadd:day 10 d eq 3"},
      {"dateadd('day', 1.5, d) = 3", "", Error::InvalidExpression},
      {"extract(year from d) = '2020'", "", Error::InvalidExpression},
      {"extract(year d) = 1", "", Error::InvalidExpression},
      {"extract(year from d) = x", "", Error::InvalidExpression},
      {"extract(year from d", "", Error::InvalidExpression},
      // With ")" last, or no operator after it, the form is ruled out.
      {"extract(year from d)", "", Error::InvalidExpression},
      {"datediff('day', a, b) % 2 = 0", "eq datediff('day', a, b) % 2 [0]"},
  };
  expectParses(cases, std::size(cases));
}

// Every keyword and operator word of a condition may stand between runs of
// spaces, tabs and line ends: the tree is the one of the text written with
// single spaces.
TEST(ParseCondition, WhitespaceRunsBetweenWordsReadAsSingleSpaces) {
  static const char* const kConditions[] = {
      "n = 5 OR n = 20",
      "b = 'x y' AND n > 5",
      "b IS NULL OR c IS NOT NULL",
      "NOT a = 1 AND NOT (b = 2 OR c = 3)",
      "x BETWEEN 1 AND 5 AND y BETWEEN 'a' AND 'b'",
      "x IN (1, 'b c') OR x NOT IN (2)",
      "name LIKE 'Jo%' OR name ILIKE '%x'",
      "n % 2 = 0 AND EXTRACT(YEAR FROM d) >= 2020",
      "x IN (selection, selected_at)",
  };
  for (const char* text : kConditions) {
    ConditionNode one_line;
    ASSERT_EQ(parseCondition(text, one_line), Error::ok) << text;
    const std::string expected = describe(one_line);
    for (const char* run : test::kWhitespaceRuns) {
      const std::string spread = test::respaced(text, run);
      ConditionNode node;
      ASSERT_EQ(parseCondition(spread, node), Error::ok) << spread;
      EXPECT_EQ(describe(node), expected) << spread;
    }
  }
}

TEST(ParseCondition, SelectOpensAListSubqueryOnlyAsAWholeWord) {
  static const ParseCase cases[] = {
      {"x IN (selection)", "in x {\"selection\"}"},
      {"x IN (selected_at, 2)", "in x {\"selected_at\",\"2\"}"},
      {"x IN (select)", "in x (select)"},
      {"x IN (SELECT\tid FROM t)", "in x (SELECT\tid FROM t)"},
      {"x IN (select(1))", "in x (select(1))"},
  };
  expectParses(cases, std::size(cases));
}

TEST(MakeComparisonLeaf, RefusesOperatorsOutsideTheSixComparisons) {
  ConditionNode node;
  EXPECT_EQ(makeComparisonLeaf("a LIKE b", "LIKE", 2, node), Error::InvalidOperator);
  EXPECT_EQ(makeComparisonLeaf("a ~ b", "~", 2, node), Error::InvalidOperator);
  ASSERT_EQ(makeComparisonLeaf("Col >= '7'", ">=", 4, node), Error::ok);
  EXPECT_EQ(describe(node), "ge col [7] #7");
}

TEST(ParseComparisonOp, MapsExactOperatorTexts) {
  static const struct {
    const char* text;
    std::optional<ComparisonOp> op;
  } cases[] = {
      {"=", ComparisonOp::eq},      {"!=", ComparisonOp::ne},    {"<>", ComparisonOp::ne},
      {">", ComparisonOp::gt},      {">=", ComparisonOp::ge},    {"<", ComparisonOp::lt},
      {"<=", ComparisonOp::le},     {"LIKE", ComparisonOp::like}, {"ILIKE", ComparisonOp::ilike},
      {"like", std::nullopt},       {"==", std::nullopt},        {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseComparisonOp(c.text), c.op) << c.text;
}

TEST(StripMatchingQuotes, RemovesOnlyOneEqualPair) {
  static const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"'a'", "a"},   {"\"a\"", "a"}, {"''", ""},       {"'", "'"},       {"'a\"", "'a\""},
      {"a", "a"},     {"''a''", "'a'"}, {"'a", "'a"},   {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(stripMatchingQuotes(c.text), c.expected) << c.text;
}

TEST(CheckConditionColumns, EveryLeafColumnMustBeAHeaderName) {
  static const struct {
    const char* condition;
    std::vector<FieldSlice> names;
    Error expected;
  } cases[] = {
      {"a = 1 AND b = 2", {"a", "b"}, Error::ok},
      {"a = 1 AND b = 2", {"a"}, Error::ColumnNotFound},
      {"a = 1 OR NOT c = 2", {"a", "b"}, Error::ColumnNotFound},
      {"A = 1", {"a"}, Error::ok},
      {"a = 1", {"A"}, Error::ColumnNotFound},
      {"a = 1", {}, Error::ColumnNotFound},
      {"datediff('day', a, b) > 1", {"a"}, Error::ColumnNotFound},
      {"datediff('day', a, b) > 1", {"a", "b"}, Error::ok},
      {"dateadd('day', 1, d) > 1", {"d"}, Error::ok},
      {"extract(year from d) = 1", {"x"}, Error::ColumnNotFound},
      {"= 5", {""}, Error::ok},
      {"= 5", {"a"}, Error::ColumnNotFound},
      {"a not between 1 and 2", {"a"}, Error::ColumnNotFound},
      {"upper(name) = 'X'", {"name"}, Error::ColumnNotFound},
  };
  for (const auto& c : cases) {
    ConditionNode node;
    ASSERT_EQ(parseCondition(c.condition, node), Error::ok) << c.condition;
    EXPECT_EQ(checkConditionColumns(node, c.names.data(), c.names.size()), c.expected)
        << c.condition;
  }
}

TEST(ConditionHasSubquery, FindsListSubqueriesAnywhereInTheTree) {
  static const struct {
    const char* condition;
    bool expected;
  } cases[] = {
      {"x IN (SELECT id FROM t)", true},
      {"a = 1 OR NOT x IN (select id from t)", true},
      {"(x NOT IN (select 1)) AND a = 1", true},
      {"x IN (1, 2)", false},
      {"a = 1 AND b = 'select'", false},
  };
  for (const auto& c : cases) {
    ConditionNode node;
    ASSERT_EQ(parseCondition(c.condition, node), Error::ok) << c.condition;
    EXPECT_EQ(conditionHasSubquery(node), c.expected) << c.condition;
  }
}

std::string joinedTerms(size_t count, const char* keyword) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i) text += keyword;
    text += "a = " + std::to_string(i);
  }
  return text;
}

// Long chains used to be split by rescanning from the start and built, checked
// and freed by recursion as deep as the chain.
TEST(ParseCondition, HundredThousandTermChainsParseAndWalkWithoutDeepRecursion) {
  for (const char* keyword : {" OR ", " AND "}) {
    const std::string text = joinedTerms(100000, keyword);
    ConditionNode node;
    ASSERT_EQ(parseCondition(text, node), Error::ok) << keyword;
    const FieldSlice names[] = {"a"};
    EXPECT_EQ(checkConditionColumns(node, names, 1), Error::ok);
    const FieldSlice other[] = {"b"};
    EXPECT_EQ(checkConditionColumns(node, other, 1), Error::ColumnNotFound);
    EXPECT_FALSE(conditionHasSubquery(node));

    // Right-nested: every left side is a leaf, in text order.
    const ConditionNode* n = &node;
    size_t leaves = 0;
    while (n->kind == ConditionKind::and_or) {
      EXPECT_EQ(n->pair->left.comparison.value, std::to_string(leaves));
      ++leaves;
      n = &n->pair->right;
    }
    EXPECT_EQ(leaves + 1, 100000u);
    EXPECT_EQ(n->comparison.value, "99999");
  }
}

TEST(ParseCondition, SubqueryDeepInALongChainIsFound) {
  std::string text = joinedTerms(100000, " or ") + " or x in (select id from t)";
  ConditionNode node;
  ASSERT_EQ(parseCondition(text, node), Error::ok);
  EXPECT_TRUE(conditionHasSubquery(node));
}

std::string nested(const char* open, const char* close, int depth, const char* core) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  text += core;
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

TEST(ParseCondition, NestingBeyondTheLimitIsRefusedInsteadOfExhaustingTheStack) {
  static const struct {
    const char* open;
    const char* close;
    int depth;
    Error expected;
  } cases[] = {
      {"(", ")", kMaxConditionNesting, Error::ok},
      {"(", ")", kMaxConditionNesting + 1, Error::InvalidExpression},
      {"NOT ", "", kMaxConditionNesting, Error::ok},
      {"NOT ", "", kMaxConditionNesting + 1, Error::InvalidExpression},
      {"NOT (", ")", kMaxConditionNesting / 2, Error::ok},
      {"NOT (", ")", kMaxConditionNesting / 2 + 1, Error::InvalidExpression},
      {"(b = 1 OR ", ")", kMaxConditionNesting, Error::ok},
      {"(b = 1 OR ", ")", kMaxConditionNesting + 1, Error::InvalidExpression},
      {"(", " AND b = 1)", kMaxConditionNesting, Error::ok},
      {"(", " AND b = 1)", kMaxConditionNesting + 1, Error::InvalidExpression},
      {"(", ")", 200000, Error::InvalidExpression},
      {"NOT ", "", 200000, Error::InvalidExpression},
      {"NOT (", ")", 200000, Error::InvalidExpression},
  };
  for (const auto& c : cases) {
    const std::string text = nested(c.open, c.close, c.depth, "a = 1");
    ConditionNode node;
    EXPECT_EQ(parseCondition(text, node), c.expected) << c.open << " x" << c.depth;
    if (c.expected == Error::ok) {
      const FieldSlice names[] = {"a", "b"};
      EXPECT_EQ(checkConditionColumns(node, names, 2), Error::ok) << c.open;
    }
  }
}

TEST(ParseCondition, LeavesTheTargetUntouchedOnFailure) {
  ConditionNode node;
  ASSERT_EQ(parseCondition("a = 1", node), Error::ok);
  EXPECT_EQ(parseCondition("a = 1 OR b = 'x", node), Error::UnterminatedQuotedValue);
  EXPECT_EQ(describe(node), "eq a [1] #1");
}

}  // namespace
}  // namespace tavix
