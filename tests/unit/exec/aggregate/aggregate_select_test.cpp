#include "exec/aggregate/aggregate_select.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/allocator.h"
#include "engine/expr/scalar_eval.h"
#include "exec/aggregate/case_over_aggregate.h"
#include "exec/aggregate/conditional_aggregate.h"

namespace tavix {
namespace {

// The header "a,b,qty,price,status, Price ,x" as a column map.
class Header {
 public:
  explicit Header(std::vector<FieldSlice> names = {"a", "b", "qty", "price", "status", " Price ",
                                                   "x"})
      : names_(std::move(names)) {
    map_.assign(names_.data(), names_.size());
  }
  const ColumnIndexMap& map() const { return map_; }
  std::span<const FieldSlice> names() const { return names_; }

 private:
  std::vector<FieldSlice> names_;
  ColumnIndexMap map_;
};

// An operand as text: "col N" or the literal's number text.
std::string operandText(const NumericOperand& o) {
  if (o.is_column) return "col " + std::to_string(o.columnIndex());
  char buffer[kMaxNumberTextLength];
  return std::string(formatNumberText(buffer, sizeof buffer, o.literalValue()));
}

TEST(ParseConditionalAggregate, Recognised) {
  static const struct {
    const char* text;
    AggregateKind kind;
    uint64_t condition_column;
    ComparisonOp op;
    const char* value;
    const char* then_operand;
    const char* else_operand;
  } cases[] = {
      {"sum(CASE WHEN qty > 10 THEN price ELSE 0 END)", AggregateKind::sum, 2, ComparisonOp::gt,
       "10", "col 3", "0"},
      {"SUM (case when qty > 10 then price else 0 end)", AggregateKind::sum, 2, ComparisonOp::gt,
       "10", "col 3", "0"},
      {"count(CASE WHEN status = 'ok' THEN 1 ELSE 0 END)", AggregateKind::count, 4,
       ComparisonOp::eq, "ok", "1", "0"},
      {"avg(CASE WHEN (a > 1) THEN b ELSE x END)", AggregateKind::avg, 0, ComparisonOp::gt, "1",
       "col 1", "col 6"},
      {"sum(CASEWHEN a > 1 THEN b ELSE x END)", AggregateKind::sum, 0, ComparisonOp::gt, "1",
       "col 1", "col 6"},
      {"sum(CASE WHEN a > 1 THEN 1e3 ELSE -2 END)", AggregateKind::sum, 0, ComparisonOp::gt, "1",
       "1000", "-2"},
      {"MIN(CASE WHEN a > 1 THEN b ELSE 0 END)", AggregateKind::min, 0, ComparisonOp::gt, "1",
       "col 1", "0"},
      {"max(CASE WHEN a LIKE 'z%' THEN b ELSE 0END)", AggregateKind::max, 0, ComparisonOp::like,
       "z%", "col 1", "0"},
      // Keywords stand between any whitespace.
      {"sum(CASE WHEN a > 1\tTHEN b\nELSE x END)", AggregateKind::sum, 0, ComparisonOp::gt, "1",
       "col 1", "col 6"},
      {"sum(CASE\n  WHEN\ta > 1 THEN b ELSE x END)", AggregateKind::sum, 0, ComparisonOp::gt, "1",
       "col 1", "col 6"},
      // THEN "Price" finds the header " price " (trimmed, lower-cased).
      {"sum(CASE WHEN a IS NULL THEN Price ELSE 0 END)", AggregateKind::sum, 0,
       ComparisonOp::is_null, "", "col 3", "0"},
  };
  const Header header;
  for (const auto& c : cases) {
    ConditionalAggregate out;
    ASSERT_EQ(parseConditionalAggregate(c.text, header.map(), out), Error::ok) << c.text;
    ASSERT_TRUE(out.present) << c.text;
    EXPECT_EQ(out.kind, c.kind) << c.text;
    EXPECT_EQ(out.block.condition_column, c.condition_column) << c.text;
    EXPECT_EQ(out.block.condition.op, c.op) << c.text;
    EXPECT_EQ(out.block.condition.value, c.value) << c.text;
    EXPECT_EQ(operandText(out.block.then_operand), c.then_operand) << c.text;
    EXPECT_EQ(operandText(out.block.else_operand), c.else_operand) << c.text;
  }
}

TEST(ParseConditionalAggregate, DeclinedOrRefused) {
  static const struct {
    const char* text;
    Error error;  // ok: not conditional
  } cases[] = {
      {"sum(CASE WHEN a > 1 AND b < 2 THEN x ELSE b END)", Error::ok},
      {"sum(CASE WHEN NOT a > 1 THEN x ELSE b END)", Error::ok},
      {"median(CASE WHEN a > 1 THEN b ELSE x END)", Error::ok},
      {"sum(CASE WHEN a > 1 THEN b END)", Error::ok},
      {"sum(CASE WHEN a > 1 THEN b ELSE x END) + 1", Error::ok},
      {"sum(showcase)", Error::ok},
      {"CASE WHEN sum(a) > 1 THEN 1 ELSE 0 END", Error::ok},
      // A THEN or ELSE text that names no column is refused before the name
      // and the condition are looked at.
      {"median(CASE WHEN a > 1 THEN zz ELSE x END)", Error::ColumnNotFound},
      {"sum(CASE WHEN a > 1 THEN 'x' ELSE 0 END)", Error::ColumnNotFound},
      {"sum(CASE WHEN a > 1 THEN 1 ELSE zz END)", Error::ColumnNotFound},
      {"sum(CASE WHEN zz > 1 THEN 1 ELSE 0 END)", Error::ColumnNotFound},
      {"sum(CASE WHEN a > 'x THEN 1 ELSE 0 END)", Error::UnterminatedQuotedValue},
      {"sum(CASE WHEN a THEN 1 ELSE 0 END)", Error::InvalidExpression},
  };
  const Header header;
  for (const auto& c : cases) {
    ConditionalAggregate out;
    EXPECT_EQ(parseConditionalAggregate(c.text, header.map(), out), c.error) << c.text;
    EXPECT_FALSE(out.present) << c.text;
  }
}

TEST(SplitAtComparison, FirstTopLevelOperator) {
  static const struct {
    const char* text;
    const char* lhs;
    const char* op;
    const char* rhs;
    bool found;
  } cases[] = {
      {"COUNT(DISTINCT a) >= 3", "COUNT(DISTINCT a)", ">=", "3", true},
      {"x == 3", "x", "=", "= 3", true},
      {"a)(b = 1", "a)(b", "=", "1", true},
      {"AVG(x) <> 2.5", "AVG(x)", "<>", "2.5", true},
      {"sum(a<b) != 1", "sum(a<b)", "!=", "1", true},
      {"x<=1", "x", "<=", "1", true},
      {"GROUP_CONCAT(x, ')') = 'a'", "", "", "", false},
      {"sum(x)", "", "", "", false},
  };
  for (const auto& c : cases) {
    const ComparisonSplit split = splitAtComparison(c.text);
    EXPECT_EQ(split.found, c.found) << c.text;
    EXPECT_EQ(split.lhs, c.lhs) << c.text;
    EXPECT_EQ(split.op, c.op) << c.text;
    EXPECT_EQ(split.rhs, c.rhs) << c.text;
  }
}

TEST(ParseCaseOverAggregate, EvaluatesOnTheRenderedAggregate) {
  static const struct {
    const char* text;
    const char* call_text;
    const char* rendered;  // the aggregate's output text
    const char* shown;
  } cases[] = {
      {"CASE WHEN SUM(amount) > 1000 THEN 'big' ELSE 'small' END", "SUM(amount)", "1500", "big"},
      {"CASE WHEN SUM(amount) > 1000 THEN 'big' ELSE 'small' END", "SUM(amount)", "", "small"},
      {"case when count(*) >= 10 then 1 else 0 end", "count(*)", "10", "1"},
      {"case when count(*) >= 10 then 1 else 0 end", "count(*)", "9", "0"},
      {"CASE WHEN AVG(x) <> 2.5 THEN 'off' ELSE 'on' END", "AVG(x)", "2.5", "on"},
      {"CASE WHEN GROUP_CONCAT(tag) = 'a,b' THEN 'yes' ELSE 'no' END", "GROUP_CONCAT(tag)", "a,b",
       "yes"},
      {"CASE WHEN SUM(x) = '' THEN 'none' ELSE 'some' END", "SUM(x)", "", "none"},
      {"CASE WHEN SUM(x) = '' THEN 'none' ELSE 'some' END", "SUM(x)", "0", "some"},
      {"CASE WHEN SUM(x) > 5 THEN 'a' ELSE 'b'END", "SUM(x)", "1", "b"},
      {"CASE WHEN SUM(x) > 5 THEN 'a'\tELSE 'b' END", "SUM(x)", "1", "b"},
      {"CASE WHEN max(x) > 5 THEN __agg0__ ELSE 'low' END", "max(x)", "7", "7"},
      {"CASE WHEN avg(x) < 5 THEN 1 ELSE 0 END", "avg(x)", "nan", "0"},
      {"CASE WHEN avg(x) != 5 THEN 1 ELSE 0 END", "avg(x)", "nan", "1"},
  };
  for (const auto& c : cases) {
    CaseOverAggregate out;
    ASSERT_EQ(parseCaseOverAggregate(c.text, out), Error::ok) << c.text;
    ASSERT_TRUE(out.present) << c.text;
    EXPECT_EQ(out.call.text, c.call_text) << c.text;
    const FieldSlice row[] = {c.rendered};
    ArenaAllocator arena;
    EXPECT_EQ(evalScalarExpr(out.expr, row, 1, arena.allocator()), c.shown)
        << c.text << " over \"" << c.rendered << '"';
  }
}

TEST(ParseCaseOverAggregate, DeclinedOrRefused) {
  static const struct {
    const char* text;
    Error error;  // ok: not recognised
  } cases[] = {
      {"CASE WHEN SUM(x) > 5 THEN 'a' END", Error::ok},
      {"CASE WHEN 5 < SUM(x) THEN 'a' ELSE 'b' END", Error::ok},
      {"CASE WHEN SUM(x) + 1 > 5 THEN 'a' ELSE 'b' END", Error::ok},
      {"CASE WHEN SUM(x) > limit THEN 'a' ELSE 'b' END", Error::ok},
      {"CASE WHEN x > 5 THEN 'a' ELSE 'b' END", Error::ok},
      {"CASE WHEN SUM(x) > 5 THEN y ELSE 0 END", Error::ColumnNotFound},
  };
  for (const auto& c : cases) {
    CaseOverAggregate out;
    EXPECT_EQ(parseCaseOverAggregate(c.text, out), c.error) << c.text;
    EXPECT_FALSE(out.present) << c.text;
  }
}

TEST(FormatCaseOverAggregateText, InsertsTheTextsAsTheyAre) {
  EXPECT_EQ(formatCaseOverAggregateText(">=", "'a b'", "'x'", ""),
            "CASE WHEN __agg0__ >= 'a b' THEN 'x' ELSE  END");
}

// What one select item compiles to, in a form that a table can hold.
struct Compiled {
  std::string label;
  OutputItemKind kind;
  uint64_t index;
  // The label of the aggregate the item shows, when it shows one.
  std::string spec_label;
  AggregateKind spec_kind;
  bool has_column;
  uint64_t column;
  bool has_case;
  uint8_t digits;
  bool has_digits;
};

TEST(CompileAggregateSelectList, ItemsLabelsAndSpecs) {
  using K = AggregateKind;
  using O = OutputItemKind;
  static const struct {
    const char* item;
    Compiled expected;
  } cases[] = {
      {"SUM(Price)", {"SUM(Price)", O::aggregate_value, 0, "SUM(Price)", K::sum, true, 3, false, 0, false}},
      {"sum(price) AS total", {"total", O::aggregate_value, 0, "total", K::sum, true, 3, false, 0, false}},
      {"sum(price) total", {"total", O::aggregate_value, 0, "total", K::sum, true, 3, false, 0, false}},
      {"ROUND(AVG(price), 2)",
       {"ROUND(AVG(price), 2)", O::aggregate_value, 0, "ROUND(AVG(price), 2)", K::avg, true, 3, false, 2, true}},
      {"ROUND(AVG(price), 2) AS p",
       {"p", O::aggregate_value, 0, "p", K::avg, true, 3, false, 2, true}},
      {"ROUND(SUM(CASE WHEN qty > 0 THEN price ELSE 0 END), 1)",
       {"SUM(CASE WHEN qty > 0 THEN price ELSE 0 END)", O::aggregate_value, 0,
        "SUM(CASE WHEN qty > 0 THEN price ELSE 0 END)", K::sum, false, 0, true, 1, true}},
      {"ROUND(CASE WHEN SUM(x) > 10 THEN 'big' ELSE 'small' END, 2)",
       {"CASE WHEN SUM(x) > 10 THEN 'big' ELSE 'small' END", O::aggregate_expression, 0, "SUM(x)",
        K::sum, true, 6, false, 0, false}},
      {"CASE WHEN SUM(x) > 10 THEN 'big' ELSE 'small' END AS size",
       {"size", O::aggregate_expression, 0, "SUM(x)", K::sum, true, 6, false, 0, false}},
      {"COUNT(*)", {"COUNT(*)", O::aggregate_value, 0, "COUNT(*)", K::count, false, 0, false, 0, false}},
      {"count(distinct *)",
       {"count(distinct *)", O::aggregate_value, 0, "count(distinct *)", K::count_distinct, false, 0, false, 0, false}},
      {"sum(*)", {"sum(*)", O::aggregate_value, 0, "sum(*)", K::sum, false, 0, false, 0, false}},
      {"MIN(CASE WHEN a > 1 THEN b ELSE 0 END)",
       {"MIN(CASE WHEN a > 1 THEN b ELSE 0 END)", O::aggregate_value, 0,
        "MIN(CASE WHEN a > 1 THEN b ELSE 0 END)", K::min, false, 0, true, 0, false}},
      {"sum(showcase)", {"sum(showcase)", O::aggregate_value, 0, "sum(showcase)", K::sum, true, 7, false, 0, false}},
      // Plain columns show the empty text; labelled by the trimmed header.
      {"PRICE", {"price", O::source_column, 3, "", K::count, false, 0, false, 0, false}},
      {"ROUND(price, 2)", {"price", O::source_column, 3, "", K::count, false, 0, false, 0, false}},
      {"b AS bee", {"bee", O::source_column, 1, "", K::count, false, 0, false, 0, false}},
  };
  // "showcase" is column 7 here.
  const Header header({"a", "b", "qty", "price", "status", " Price ", "x", "showcase"});
  for (const auto& c : cases) {
    AggregateSelectList list;
    const std::string item = c.item;
    ASSERT_EQ(compileAggregateSelectList({&item, 1}, header.map(), header.names(), list), Error::ok)
        << c.item;
    ASSERT_EQ(list.items.size(), 1u) << c.item;
    ASSERT_EQ(list.labels.size(), 1u) << c.item;
    const Compiled& e = c.expected;
    EXPECT_EQ(list.labels[0], e.label) << c.item;
    EXPECT_EQ(list.items[0].kind, e.kind) << c.item;
    EXPECT_EQ(list.items[0].index, e.index) << c.item;
    if (e.kind == O::source_column) {
      EXPECT_TRUE(list.specs.empty()) << c.item;
      continue;
    }
    ASSERT_EQ(list.specs.size(), 1u) << c.item;
    const AggregateSpec& spec = list.specs[0];
    EXPECT_EQ(spec.label, e.spec_label) << c.item;
    EXPECT_EQ(spec.kind, e.spec_kind) << c.item;
    EXPECT_EQ(spec.has_column, e.has_column) << c.item;
    EXPECT_EQ(spec.column, e.column) << c.item;
    EXPECT_EQ(spec.has_case, e.has_case) << c.item;
    EXPECT_EQ(spec.precision.digits, e.digits) << c.item;
    EXPECT_EQ(spec.precision.has_digits, e.has_digits) << c.item;
  }
}

TEST(CompileAggregateSelectList, EqualItemsStayApartInSelectOrder) {
  const Header header;
  const std::vector<std::string> items = {"sum(x)", "a", "sum(x)", "string_agg(b, '; ')"};
  AggregateSelectList list;
  ASSERT_EQ(compileAggregateSelectList(items, header.map(), header.names(), list), Error::ok);
  ASSERT_EQ(list.specs.size(), 3u);
  ASSERT_EQ(list.items.size(), 4u);
  EXPECT_EQ(list.items[0].index, 0u);
  EXPECT_EQ(list.items[2].index, 1u);
  EXPECT_EQ(list.items[3].index, 2u);
  EXPECT_EQ(list.specs[2].separator, "; ");
  EXPECT_EQ(list.specs[0].separator, ",");
  EXPECT_EQ((std::vector<std::string>{"sum(x)", "a", "sum(x)", "string_agg(b, '; ')"}),
            list.labels);
}

TEST(CompileAggregateSelectList, Errors) {
  static const struct {
    const char* item;
    Error error;
  } cases[] = {
      {"sum(a*b)", Error::ColumnNotFound},
      {"sum(a)*2", Error::ArithmeticExpressionsNotSupported},
      {"total/2", Error::ArithmeticExpressionsNotSupported},
      {"nosuch", Error::ColumnNotFound},
      {"count()", Error::ColumnNotFound},
      {"ROUND(sum(x), 300)", Error::ColumnNotFound},
      {"CASE WHEN SUM(x) > 5 THEN 'a' END", Error::ColumnNotFound},
      {"CASE WHEN SUM(zz) > 5 THEN 'a' ELSE 'b' END", Error::ColumnNotFound},
      {"CASE WHEN SUM(x) > 5 THEN y ELSE 0 END", Error::ColumnNotFound},
      {"sum(CASE WHEN zz > 1 THEN 1 ELSE 0 END)", Error::ColumnNotFound},
      {"sum(CASE WHEN a > 'x THEN 1 ELSE 0 END)", Error::UnterminatedQuotedValue},
  };
  const Header header;
  for (const auto& c : cases) {
    AggregateSelectList list;
    const std::string item = c.item;
    EXPECT_EQ(compileAggregateSelectList({&item, 1}, header.map(), header.names(), list), c.error)
        << c.item;
  }
}

TEST(CompileAggregateSelectList, EmptyHeaderNameResolvesTheEmptyArgument) {
  const Header header({"a", " "});
  const std::vector<std::string> items = {"count()"};
  AggregateSelectList list;
  ASSERT_EQ(compileAggregateSelectList(items, header.map(), header.names(), list), Error::ok);
  ASSERT_EQ(list.specs.size(), 1u);
  EXPECT_TRUE(list.specs[0].has_column);
  EXPECT_EQ(list.specs[0].column, 1u);
}

}  // namespace
}  // namespace tavix
