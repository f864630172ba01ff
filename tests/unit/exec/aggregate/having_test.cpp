#include "exec/aggregate/having.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql/condition_parser.h"

namespace tavix {
namespace {

struct Compiled {
  Error error = Error::ok;
  std::vector<std::string> hidden;  // names, in creation order
  std::vector<std::string> hidden_labels;
};

Compiled compile(std::vector<std::string> items, const char* having) {
  const FieldSlice names[] = {"a", "x", "city"};
  ColumnIndexMap map;
  map.assign(names, 3);
  ParsedQuery query;
  query.select_items = std::move(items);
  query.has_having = true;
  EXPECT_EQ(parseCondition(having, query.having), Error::ok) << having;
  AggregateSelectList list;
  EXPECT_EQ(compileAggregateSelectList(query.select_items, map, names, list), Error::ok);
  const size_t select_specs = list.specs.size();
  std::vector<HiddenAggregate> hidden;
  Compiled out;
  out.error = compileHaving(query, map, list, hidden);
  for (const HiddenAggregate& h : hidden) {
    out.hidden.push_back(h.name);
    EXPECT_EQ(h.spec_index, select_specs + out.hidden_labels.size());
    out.hidden_labels.push_back(list.specs[h.spec_index].label);
  }
  return out;
}

TEST(CompileHaving, HiddenAggregatesAndRefusals) {
  using V = std::vector<std::string>;
  static const struct {
    V items;
    const char* having;
    Error error;
    V hidden;
  } cases[] = {
      {{"count(*)"}, "count(*) > 1", Error::ok, {}},
      {{"COUNT(*)"}, "COUNT(*) > 1", Error::ok, {}},
      {{"sum(x)"}, "count(*) > 1 AND count(*) < 5", Error::ok, {"count(*)"}},
      {{"count(*) AS n"}, "n >= 2", Error::ok, {}},
      {{"ROUND(avg(x), 1)"}, "avg(x) > 2", Error::ok, {"avg(x)"}},
      {{"ROUND(avg(x), 1)"}, "round(avg(x), 1) > 2", Error::ok, {}},
      {{"sum(x)"}, "NOT max(x) IS NULL OR min(a) = 1", Error::ok, {"max(x)", "min(a)"}},
      {{"sum(x)"}, "city = 'Oslo'", Error::ok, {}},
      {{"sum(x)"}, "count(*) > (5)", Error::ok, {"count(*)"}},
      {{"sum(x)"}, "sum(a) > sum(x)", Error::UnsupportedHavingComparesTwoAggregates, {}},
      {{"sum(x)"}, "city = 'f(x)'", Error::UnsupportedHavingComparesTwoAggregates, {}},
      {{"sum(x)"}, "count(nosuch) > 1", Error::ColumnNotFound, {}},
      // The refusal is checked over every leaf before anything is made.
      {{"sum(x)"}, "count(nosuch) > 1 OR max(a) > _f(1)",
       Error::UnsupportedHavingComparesTwoAggregates, {}},
  };
  for (const auto& c : cases) {
    const Compiled got = compile(c.items, c.having);
    EXPECT_EQ(got.error, c.error) << c.having;
    if (c.error == Error::ok) {
      EXPECT_EQ(got.hidden, c.hidden) << c.having;
      EXPECT_EQ(got.hidden_labels, c.hidden) << c.having;
    }
  }
}

TEST(BindHavingValues, LabelsThenExpressionsThenHiddenAggregates) {
  const std::vector<std::string> labels = {"N", "x", "x", "sum(a)"};
  const std::vector<std::string> items = {"count(*) AS N", "a AS x", "b AS x", "SUM(a)"};
  const std::vector<FieldSlice> row = {"3", "first", "second", "7"};
  const std::vector<FieldSlice> rendered = {"3", "7", "hidden-count", "hidden-max"};
  const std::vector<HiddenAggregate> hidden = {{2, "count(*)"}, {3, "max(a)"}, {2, "n"}};
  ArenaAllocator arena;
  NamedValueMap map;
  ASSERT_EQ(bindHavingValues(labels, row, items, rendered, hidden, arena, map), Error::ok);
  static const struct {
    const char* name;
    const char* value;  // null: not bound
  } cases[] = {
      {"n", "3"},            // a label, lower-cased
      {"x", "second"},       // of equal labels the last
      {"count(*)", "3"},     // a select expression wins over a hidden aggregate
      {"sum(a)", "7"},
      {"a", "first"},        // the expression of an aliased item
      {"b", "second"},
      {"max(a)", "hidden-max"},
      {"N", nullptr},        // keys are exact bytes
      {"min(a)", nullptr},
  };
  for (const auto& c : cases) {
    const FieldSlice* got = map.find(c.name);
    if (c.value == nullptr) {
      EXPECT_EQ(got, nullptr) << c.name;
    } else {
      ASSERT_NE(got, nullptr) << c.name;
      EXPECT_EQ(*got, c.value) << c.name;
    }
  }
}

}  // namespace
}  // namespace tavix
