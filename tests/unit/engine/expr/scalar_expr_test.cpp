#include "engine/expr/scalar_expr.h"

#include <gtest/gtest.h>

#include <string>

#include "common/error.h"
#include "expr_test_support.h"
#include "sql/select_item.h"

namespace tavix {
namespace {

using test::columnIndex;
using test::testResolver;

constexpr ScalarExprKind K_NONE = static_cast<ScalarExprKind>(255);

struct Compiled {
  Error error;
  bool present;
  ScalarExpr expr;
};

Compiled compile(std::string_view text) {
  Compiled c{Error::ok, false, {}};
  c.error = parseScalarExpr(text, testResolver(), c.expr, c.present);
  return c;
}

std::string wrap(std::string_view fn, int times, std::string_view inner) {
  std::string s;
  for (int i = 0; i < times; ++i) (s += fn) += '(';
  s += inner;
  s.append(static_cast<size_t>(times), ')');
  return s;
}

// Every form with its three outcomes: compiled (kind), not an expression
// (K_NONE, ok) and the compile errors.
TEST(ParseScalarExpr, OutcomesPerForm) {
  static const struct {
    const char* text;
    Error error;
    ScalarExprKind kind;  // K_NONE: not present
  } cases[] = {
      // IS [NOT] NULL comes first and takes the text before it as a column.
      {"Price IS NULL", Error::ok, ScalarExprKind::is_null},
      {"  price is not null ", Error::ok, ScalarExprKind::is_null},
      {"a IS NULL OR b", Error::ok, ScalarExprKind::is_null},
      {"a\tIS\n NULL", Error::ok, ScalarExprKind::is_null},
      {"a IS\r\nNOT  NULL", Error::ok, ScalarExprKind::is_null},
      {"upper(a) IS NULL", Error::ColumnNotFound, K_NONE},
      {"nosuch IS NOT NULL", Error::ColumnNotFound, K_NONE},
      {"CASE WHEN a IS NULL THEN 1 ELSE 0 END", Error::ColumnNotFound, K_NONE},
      // CASE.
      {"CASE WHEN qty >= 10 THEN 'bulk' ELSE 'single' END", Error::ok, ScalarExprKind::case_when},
      {"case  when qty<5 then qty else price end", Error::ok, ScalarExprKind::case_when},
      {"CASE WHEN a = 1 THEN 'x' ELSE END", Error::ColumnNotFound, K_NONE},  // empty ELSE
      {"CASE WHEN qty = abc THEN 1 ELSE 0 END", Error::ok, K_NONE},
      {"CASE WHEN nosuch = 1 THEN 1 ELSE 0 END", Error::ColumnNotFound, K_NONE},
      {"CASE WHEN a = 1 THEN nosuch ELSE 0 END", Error::ColumnNotFound, K_NONE},
      {"CASE WHEN a = 1 THEN 0 ELSE nosuch END", Error::ColumnNotFound, K_NONE},
      {"CASE WHEN a THEN 1 ELSE 0 END", Error::ok, K_NONE},   // no operator
      {"CASE WHEN a = 1 THEN 1 END", Error::ok, K_NONE},      // no ELSE
      {"CASE WHEN a = 1 THEN 1 ELSE 0", Error::ok, K_NONE},   // no END
      {"CASEWHEN a = 1 THEN 1 ELSE 0 END", Error::ok, ScalarExprKind::case_when},
      // Any whitespace may stand around CASE, WHEN, THEN, ELSE and END.
      {"CASE\t\nWHEN a = 1 THEN 1 ELSE 0 END", Error::ok, ScalarExprKind::case_when},
      {"CASE WHEN\ta = 1\nTHEN\r\n1  ELSE\t0\nEND", Error::ok, ScalarExprKind::case_when},
      {"CASE WHENa = 1 THEN 1 ELSE 0 END", Error::ok, K_NONE},
      {"CASE WHEN a = 1 THEN1 ELSE 0 END", Error::ok, K_NONE},
      {"CASE WHEN", Error::ok, K_NONE},
      {"casework", Error::ok, K_NONE},
      // Calls: shape.
      {"name", Error::ok, K_NONE},
      {"upper(name", Error::ok, K_NONE},
      {"frobnicate(name)", Error::ok, K_NONE},
      {"a*b", Error::ok, K_NONE},
      // String functions, and nesting.
      {"UPPER(name)", Error::ok, ScalarExprKind::upper},
      {"lower( name )", Error::ok, ScalarExprKind::lower},
      {"trim(name)", Error::ok, ScalarExprKind::trim},
      {"reverse(name)", Error::ok, ScalarExprKind::reverse},
      {"length(name)", Error::ok, ScalarExprKind::length},
      {"upper(nosuch)", Error::ColumnNotFound, K_NONE},
      {"upper(lower(trim(name)))", Error::ok, ScalarExprKind::nested_string_fn},
      {"upper(foo(x))", Error::ColumnNotFound, K_NONE},
      {"length(upper(nosuch))", Error::ColumnNotFound, K_NONE},
      {"abs(round(x))", Error::NestedFunctionNotSupported, K_NONE},
      {"ceiling(floor(price))", Error::NestedFunctionNotSupported, K_NONE},
      // Numbers.
      {"abs(price)", Error::ok, ScalarExprKind::abs},
      {"sign(price)", Error::ok, ScalarExprKind::sign},
      {"ceil(price)", Error::ok, ScalarExprKind::ceil},
      {"ceiling(price)", Error::ok, ScalarExprKind::ceil},
      {"floor(price)", Error::ok, ScalarExprKind::floor},
      {"mod(qty, 3)", Error::ok, ScalarExprKind::mod},
      {"mod(qty, three)", Error::ok, K_NONE},
      {"mod(qty)", Error::ok, K_NONE},
      {"round(price)", Error::ok, ScalarExprKind::round},
      {"round(price, 2)", Error::ok, ScalarExprKind::round},
      {"round(price, -1)", Error::ok, K_NONE},
      {"round(nosuch, -1)", Error::ok, K_NONE},  // digits are read first
      {"round(nosuch, 1)", Error::ColumnNotFound, K_NONE},
      {"round(abs(x), 2)", Error::ColumnNotFound, K_NONE},
      // Substrings and pads.
      {"substr(name, 2)", Error::ok, ScalarExprKind::substr},
      {"SUBSTRING(name, 2, 3)", Error::ok, ScalarExprKind::substr},
      {"substr(name, x)", Error::ok, K_NONE},
      {"substr(nosuch, x)", Error::ColumnNotFound, K_NONE},
      {"substr(name)", Error::ok, K_NONE},
      {"lpad(name, 5, '0')", Error::ok, ScalarExprKind::lpad},
      {"rpad(name, 5)", Error::ok, ScalarExprKind::rpad},
      {"lpad(name, 5, 0)", Error::ok, K_NONE},
      {"lpad(name, -5)", Error::ok, K_NONE},
      {"replace(name, 'a', 'b')", Error::ok, ScalarExprKind::replace},
      {"replace(name, '', 'x')", Error::ok, K_NONE},
      {"replace(name, 'a')", Error::ok, K_NONE},
      {"split_part(name, '/', 2)", Error::ok, ScalarExprKind::split_part},
      {"split_part(name, '/', 0)", Error::ok, K_NONE},
      {"split_part(name, '', 1)", Error::ok, K_NONE},
      // Argument lists.
      {"greatest(a, 10, 'x')", Error::ok, ScalarExprKind::greatest},
      {"least(a, b)", Error::ok, ScalarExprKind::least},
      {"greatest(a)", Error::ok, K_NONE},
      {"greatest(a, nosuch)", Error::ColumnNotFound, K_NONE},
      {"concat(a)", Error::ok, ScalarExprKind::concat},
      {"concat(a, 10)", Error::ok, ScalarExprKind::concat},  // "10" names a column here
      {"concat(a, 11)", Error::ColumnNotFound, K_NONE},
      {"concat()", Error::ok, K_NONE},
      {"concat(a, b, c, d, e, f, g, h)", Error::ok, ScalarExprKind::concat},
      {"concat(a, b, c, d, e, f, g, h, i)", Error::TooManyArgs, K_NONE},
      {"greatest(a, b, c, d, e, f, g, h, 'z')", Error::TooManyArgs, K_NONE},
      {"coalesce(a, 'n/a', b)", Error::ok, ScalarExprKind::coalesce},
      {"coalesce('x', 0)", Error::ok, K_NONE},
      {"coalesce(a, 'x,y')", Error::ColumnNotFound, K_NONE},
      {"coalesce(a, b, c, d, e, f, g, h, 'x')", Error::ok, ScalarExprKind::coalesce},
      {"coalesce(a, b, c, d, e, f, g, h, i)", Error::TooManyArgs, K_NONE},
      // Casts.
      {"cast(price AS INTEGER)", Error::ok, ScalarExprKind::cast_int},
      {"cast(price AS interval)", Error::ok, ScalarExprKind::cast_int},
      {"cast(price as bigint)", Error::ok, ScalarExprKind::cast_int},
      {"cast(price AS in)", Error::ok, K_NONE},
      {"cast(price\tAS\nint)", Error::ok, ScalarExprKind::cast_int},
      {"cast(price AS decimal(10,2))", Error::ok, ScalarExprKind::cast_float},
      {"cast(price AS Double)", Error::ok, ScalarExprKind::cast_float},
      {"cast(price AS nvarchar)", Error::ok, ScalarExprKind::cast_text},
      {"cast(price AS bool)", Error::ok, K_NONE},
      {"cast(price)", Error::ok, K_NONE},
      {"cast(nosuch AS int)", Error::ColumnNotFound, K_NONE},
      // Dates.
      {"datediff('day', a, b)", Error::ok, ScalarExprKind::datediff},
      {"datediff('day', a)", Error::ok, K_NONE},
      {"datediff('day', a, nosuch)", Error::ColumnNotFound, K_NONE},
      {"dateadd('day', 1, a)", Error::ok, ScalarExprKind::dateadd},
      {"dateadd('day', one, nosuch)", Error::ok, K_NONE},
      {"extract(YEAR FROM a)", Error::ok, ScalarExprKind::extract},
      {"extract(year a)", Error::ok, K_NONE},
      {"extract(YEAR\nFROM\ta)", Error::ok, ScalarExprKind::extract},
      {"strftime('%Y', a)", Error::ok, ScalarExprKind::strftime},
      {"strftime('%Y')", Error::ok, K_NONE},
  };
  for (const auto& c : cases) {
    const Compiled got = compile(c.text);
    EXPECT_EQ(got.error, c.error) << c.text;
    EXPECT_EQ(got.present, c.kind != K_NONE) << c.text;
    if (got.present && c.kind != K_NONE) {
      EXPECT_EQ(got.expr.kind, c.kind) << c.text;
    }
  }
}

TEST(ParseScalarExpr, CaseWhenPayload) {
  static const struct {
    const char* text;
    ComparisonOp op;
    bool literal_is_number;
    double literal_number;
    const char* literal_text;
    OperandTag then_tag;
    OperandTag else_tag;
  } cases[] = {
      {"CASE WHEN qty >= 10 THEN 'bulk' ELSE 'single' END", ComparisonOp::ge, true, 10, "",
       OperandTag::text, OperandTag::text},
      {"CASE WHEN qty <> 'x' THEN 1.5 ELSE qty END", ComparisonOp::ne, false, 0, "x",
       OperandTag::number, OperandTag::column},
      {"CASE WHEN qty != '' THEN 1 ELSE '' END", ComparisonOp::ne, false, 0, "",
       OperandTag::number, OperandTag::text},
      {"CASE WHEN qty<=2 THEN 1 ELSE 0 END", ComparisonOp::le, true, 2, "", OperandTag::number,
       OperandTag::number},
      {"CASE WHEN qty > -3 THEN 1 ELSE 0 END", ComparisonOp::gt, true, -3, "",
       OperandTag::number, OperandTag::number},
      {"CASE WHEN qty < 3 THEN 1 ELSE 0 END", ComparisonOp::lt, true, 3, "", OperandTag::number,
       OperandTag::number},
      {"CASE WHEN qty = 3 THEN 1 ELSE 0 END", ComparisonOp::eq, true, 3, "", OperandTag::number,
       OperandTag::number},
  };
  for (const auto& c : cases) {
    const Compiled got = compile(c.text);
    ASSERT_TRUE(got.present) << c.text;
    const ScalarExpr& e = got.expr;
    EXPECT_EQ(e.column, columnIndex("qty")) << c.text;
    EXPECT_EQ(e.op, c.op) << c.text;
    EXPECT_EQ(e.literal_is_number, c.literal_is_number) << c.text;
    if (c.literal_is_number) {
      EXPECT_EQ(e.literal_number, c.literal_number) << c.text;
    }
    EXPECT_EQ(e.literal_text, c.literal_text) << c.text;
    EXPECT_EQ(e.then_operand.tag, c.then_tag) << c.text;
    EXPECT_EQ(e.else_operand.tag, c.else_tag) << c.text;
  }

  // One WHEN only: the first THEN text runs to ELSE and is quoted as a whole.
  const Compiled two = compile("CASE WHEN a = 1 THEN 'x' WHEN a = 2 THEN 'y' ELSE 'z' END");
  ASSERT_TRUE(two.present);
  EXPECT_EQ(two.expr.then_operand.text, "x' WHEN a = 2 THEN 'y");
  EXPECT_EQ(two.expr.else_operand.text, "z");
}

TEST(ParseScalarExpr, ArgumentPayloads) {
  {
    const Compiled c = compile("substr(name, 2)");
    EXPECT_EQ(c.expr.start, 2);
    EXPECT_EQ(c.expr.length, -1);
    const Compiled d = compile("substr(name, -2, 1_0)");
    EXPECT_EQ(d.expr.start, -2);
    EXPECT_EQ(d.expr.length, 10);
  }
  {
    const Compiled c = compile("lpad(name, 5, '0')");
    EXPECT_EQ(c.expr.width, 5u);
    EXPECT_EQ(c.expr.pad, "0");
    EXPECT_EQ(compile("rpad(name, 5)").expr.pad, " ");
    EXPECT_EQ(compile("rpad(name, 5, '')").expr.pad, "");
  }
  {
    const Compiled c = compile("replace(name, 'a b' , '')");
    EXPECT_EQ(c.expr.from, "a b");
    EXPECT_EQ(c.expr.to, "");
    const Compiled s = compile("split_part(name, '::', 3)");
    EXPECT_EQ(s.expr.delimiter, "::");
    EXPECT_EQ(s.expr.part, 3u);
  }
  {
    const Compiled c = compile("greatest(a, 11, 'x,y', , 'unterminated)");
    ASSERT_TRUE(c.present);
    ASSERT_EQ(c.expr.arg_count, 3u);  // the empty piece and the open quote take no slot
    EXPECT_FALSE(c.expr.args[0].is_literal);
    EXPECT_EQ(c.expr.args[0].column, columnIndex("a"));
    EXPECT_TRUE(c.expr.args[1].is_literal);
    EXPECT_EQ(c.expr.args[1].text, "11");
    EXPECT_EQ(c.expr.args[2].text, "x,y");
  }
  {
    const Compiled c = compile("coalesce(a, 'n/a', b, 7)");
    ASSERT_EQ(c.expr.column_count, 2u);
    EXPECT_EQ(c.expr.columns[0], columnIndex("a"));
    EXPECT_EQ(c.expr.columns[1], columnIndex("b"));
    EXPECT_EQ(c.expr.fallback, "7");  // the last literal wins
    EXPECT_EQ(compile("coalesce(a)").expr.fallback, "");
  }
  {
    EXPECT_EQ(compile("round(price)").expr.digits, 0);
    EXPECT_EQ(compile("round(price, 12)").expr.digits, 12);
    EXPECT_EQ(compile("mod(qty, -2.5)").expr.modulus, -2.5);
  }
  {
    const Compiled dd = compile("datediff('DAY', a, b)");
    EXPECT_EQ(dd.expr.unit, "DAY");
    EXPECT_EQ(dd.expr.column_a, columnIndex("a"));
    EXPECT_EQ(dd.expr.column_b, columnIndex("b"));
    const Compiled da = compile("dateadd(month, -3, b)");
    EXPECT_EQ(da.expr.unit, "month");
    EXPECT_EQ(da.expr.amount, -3);
    EXPECT_EQ(da.expr.column, columnIndex("b"));
    EXPECT_EQ(compile("extract('year' FROM a)").expr.unit, "'year'");  // quotes kept
    EXPECT_EQ(compile("strftime('%Y-%m', a)").expr.format, "%Y-%m");
  }
  {
    const Compiled n = compile("Price IS NULL");
    EXPECT_EQ(n.expr.column, columnIndex("price"));
    EXPECT_FALSE(n.expr.not_null);
    EXPECT_TRUE(compile("price IS NOT NULL").expr.not_null);
  }
}

TEST(ParseScalarExpr, NestedStringFunctionsFormAChain) {
  const Compiled c = compile("upper(lower(trim(name)))");
  ASSERT_TRUE(c.present);
  const ScalarExpr& outer = c.expr;
  ASSERT_EQ(outer.kind, ScalarExprKind::nested_string_fn);
  EXPECT_EQ(outer.outer_kind, ScalarExprKind::upper);
  ASSERT_TRUE(outer.child);
  EXPECT_EQ(outer.child->kind, ScalarExprKind::nested_string_fn);
  EXPECT_EQ(outer.child->outer_kind, ScalarExprKind::lower);
  ASSERT_TRUE(outer.child->child);
  EXPECT_EQ(outer.child->child->kind, ScalarExprKind::trim);
  EXPECT_EQ(outer.child->child->column, columnIndex("name"));
}

// Deep nesting used to recurse once per level in compile, evaluate and
// release; it is now bounded and refused past the bound.
TEST(ParseScalarExpr, NestingDepthIsBounded) {
  const Compiled at_limit = compile(wrap("upper", kMaxNestedStringFns, "name"));
  EXPECT_EQ(at_limit.error, Error::ok);
  EXPECT_TRUE(at_limit.present);

  const Compiled beyond = compile(wrap("upper", kMaxNestedStringFns + 1, "name"));
  EXPECT_EQ(beyond.error, Error::NestedFunctionNotSupported);
  EXPECT_FALSE(beyond.present);

  const Compiled huge = compile(wrap("lower", 200000, "name"));
  EXPECT_EQ(huge.error, Error::NestedFunctionNotSupported);
}

TEST(ParseScalarExpr, FunctionNamesOver64BytesAreNoCall) {
  const std::string name(65, 'u');
  EXPECT_FALSE(compile(name + "(name)").present);
  EXPECT_EQ(compile(name + "(name)").error, Error::ok);
  // Blanks around a name of 64 bytes or less do not count.
  EXPECT_TRUE(compile("  upper  (name)").present);
}

TEST(ParseScalarExpr, ColumnReferences) {
  uint64_t index = 99;
  EXPECT_TRUE(resolveColumnRef("  PRICE\t", testResolver(), index));
  EXPECT_EQ(index, columnIndex("price"));
  EXPECT_FALSE(resolveColumnRef("price()", testResolver(), index));

  // Names longer than the stack scratch are folded on the heap.
  const std::string long_name(300, 'X');
  const std::string lowered(300, 'x');
  const FieldSlice names[] = {"a", lowered};
  const HeaderListResolver resolver(names, 2);
  EXPECT_TRUE(resolveColumnRef(long_name, resolver, index));
  EXPECT_EQ(index, 1u);
  bool present = false;
  ScalarExpr e;
  EXPECT_EQ(parseScalarExpr("upper(" + long_name + ")", resolver, e, present), Error::ok);
  EXPECT_TRUE(present);

  // The first of equal names wins.
  const FieldSlice dup[] = {"k", "k"};
  EXPECT_TRUE(resolveColumnRef("K", HeaderListResolver(dup, 2), index));
  EXPECT_EQ(index, 0u);
}

TEST(ParseScalarExpr, Operands) {
  static const struct {
    const char* text;
    Error error;
    OperandTag tag;
  } cases[] = {
      {"'it''s'", Error::ok, OperandTag::text},
      {"''", Error::ok, OperandTag::text},
      {"-1e3", Error::ok, OperandTag::number},
      {"nan", Error::ok, OperandTag::number},
      {"Qty", Error::ok, OperandTag::column},
      {"'", Error::ColumnNotFound, OperandTag::text},
      {"nosuch", Error::ColumnNotFound, OperandTag::text},
  };
  for (const auto& c : cases) {
    Operand op;
    EXPECT_EQ(parseOperand(c.text, testResolver(), op), c.error) << c.text;
    if (c.error == Error::ok) {
      EXPECT_EQ(op.tag, c.tag) << c.text;
    }
  }
}

TEST(ParseScalarExpr, ReleaseLeavesADefaultExpression) {
  Compiled c = compile("upper(lower(name))");
  ASSERT_TRUE(c.expr.child);
  freeScalarExpr(c.expr);
  EXPECT_FALSE(c.expr.child);
  EXPECT_EQ(c.expr.kind, ScalarExprKind::upper);
}

// A select item goes through the alias split first; what is left must still
// compile (or be left to the caller) as it would without the alias.
TEST(SelectItemAlias, ImplicitAliasesThenCompile) {
  static const struct {
    const char* item;
    const char* expression;
    const char* alias;  // nullptr: no alias
    ScalarExprKind kind;
  } cases[] = {
      {"upper(name) n", "upper(name)", "n", ScalarExprKind::upper},
      {"upper(name) AS Up", "upper(name)", "Up", ScalarExprKind::upper},
      {"round(price, 2) r_2", "round(price, 2)", "r_2", ScalarExprKind::round},
      {"extract(year FROM d) yr", "extract(year FROM d)", "yr", ScalarExprKind::extract},
      {"CASE WHEN qty > 1 THEN 'a' ELSE 'b' END", "CASE WHEN qty > 1 THEN 'a' ELSE 'b' END",
       nullptr, ScalarExprKind::case_when},
      {"CASE WHEN qty > 1 THEN 'a' ELSE 'b' END size", "CASE WHEN qty > 1 THEN 'a' ELSE 'b' END",
       "size", ScalarExprKind::case_when},
      {"a IS NULL", "a IS NULL", nullptr, ScalarExprKind::is_null},
      {"a IS NOT NULL flag", "a IS NOT NULL", "flag", ScalarExprKind::is_null},
      {"concat(a, ' x ') AS label", "concat(a, ' x ')", "label", ScalarExprKind::concat},
      {"price total", "price", "total", K_NONE},
      {"price desc", "price desc", nullptr, K_NONE},
      {"price * 2 AS total", "price * 2", "total", K_NONE},
      {"x AS select", "x", "select", K_NONE},
      {"name AS 'x y'", "name AS 'x y'", nullptr, K_NONE},
      {"f(a AS b)", "f(a AS b)", nullptr, K_NONE},
      {"price 1abc", "price 1abc", nullptr, K_NONE},
      {"price _x1", "price", "_x1", K_NONE},
  };
  for (const auto& c : cases) {
    const SelectAlias split = splitSelectAlias(c.item);
    EXPECT_EQ(split.expression, c.expression) << c.item;
    EXPECT_EQ(split.has_alias, c.alias != nullptr) << c.item;
    if (c.alias != nullptr) {
      EXPECT_EQ(split.alias, c.alias) << c.item;
    }
    const Compiled got = compile(split.expression);
    EXPECT_EQ(got.error, Error::ok) << c.item;
    EXPECT_EQ(got.present, c.kind != K_NONE) << c.item;
    if (got.present && c.kind != K_NONE) {
      EXPECT_EQ(got.expr.kind, c.kind) << c.item;
    }
  }
}

TEST(SelectItemAlias, ReservedWordsAreNoImplicitAlias) {
  static const char* const kReserved[] = {
      "end", "then", "else", "when", "case", "from", "and", "or", "not",
      "is", "null", "in", "like", "asc", "desc", "as", "distinct",
  };
  for (const char* word : kReserved) {
    std::string upper_case(word);
    for (char& ch : upper_case) ch = toUpperAscii(ch);
    std::string capitalised(word);
    capitalised[0] = toUpperAscii(capitalised[0]);
    for (const std::string& spelled : {std::string(word), upper_case, capitalised}) {
      const std::string item = "upper(name) " + spelled;
      const SelectAlias split = splitSelectAlias(item);
      EXPECT_FALSE(split.has_alias) << item;
      EXPECT_EQ(split.expression, item) << item;
    }
    // After an explicit AS a reserved word is taken as written.
    const std::string explicit_item = std::string("upper(name) AS ") + word;
    const SelectAlias split = splitSelectAlias(explicit_item);
    EXPECT_TRUE(split.has_alias) << explicit_item;
    EXPECT_EQ(split.alias, word) << explicit_item;
  }
}

TEST(MissingColumnError, ArithmeticLooksDifferent) {
  static const struct {
    const char* item;
    Error error;
  } cases[] = {
      {"a*b", Error::ArithmeticExpressionsNotSupported},
      {"price / 2", Error::ArithmeticExpressionsNotSupported},
      {"a + b", Error::ColumnNotFound},
      {"nosuch", Error::ColumnNotFound},
      {"", Error::ColumnNotFound},
  };
  for (const auto& c : cases) EXPECT_EQ(missingColumnError(c.item), c.error) << c.item;
}

}  // namespace
}  // namespace tavix
