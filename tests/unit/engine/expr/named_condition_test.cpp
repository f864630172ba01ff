#include "engine/expr/named_condition.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "heap_counter.h"
#include "sql/condition_parser.h"

namespace tavix {
namespace {

ConditionNode parsed(std::string_view text) {
  ConditionNode node;
  EXPECT_EQ(parseCondition(text, node), Error::ok) << text;
  return node;
}

TEST(NamedValueMap, PutReplacesInsertKeepsFindIsExact) {
  NamedValueMap map;
  ASSERT_EQ(map.put("n", "1"), Error::ok);
  ASSERT_EQ(map.put("n", "2"), Error::ok);     // a later label wins
  ASSERT_EQ(map.insert("n", "3"), Error::ok);  // an expression never beats a label
  ASSERT_EQ(map.insert("count(*)", "7"), Error::ok);
  ASSERT_EQ(map.insert("", "empty"), Error::ok);  // the empty name is a key like any other
  ASSERT_NE(map.find("n"), nullptr);
  EXPECT_EQ(*map.find("n"), "2");
  EXPECT_EQ(*map.find("count(*)"), "7");
  EXPECT_EQ(*map.find(""), "empty");
  EXPECT_EQ(map.find("N"), nullptr);  // no case folding at lookup
  EXPECT_EQ(map.find("count(*) "), nullptr);
  EXPECT_EQ(map.size(), 3u);

  map.clear();
  EXPECT_EQ(map.size(), 0u);
  EXPECT_EQ(map.find("n"), nullptr);
  ASSERT_EQ(map.insert("n", "4"), Error::ok);
  EXPECT_EQ(*map.find("n"), "4");
}

TEST(NamedValueMap, GrowsAndRefillsWithoutAllocating) {
  std::vector<std::string> names, values;
  for (int i = 0; i < 1000; ++i) {
    names.push_back("name" + std::to_string(i));
    values.push_back(std::to_string(i * 3));
  }
  NamedValueMap map;
  for (size_t i = 0; i < names.size(); ++i) ASSERT_EQ(map.put(names[i], values[i]), Error::ok);
  for (size_t i = 0; i < names.size(); ++i) {
    const FieldSlice* v = map.find(names[i]);
    ASSERT_NE(v, nullptr) << names[i];
    EXPECT_EQ(*v, values[i]);
    EXPECT_EQ(v->data(), values[i].data());  // the map views the caller's text
  }
  // A second group of the same size fits the table the first one grew.
  map.clear();
  const uint64_t before = test::heapAllocationCount();
  for (size_t i = 0; i < names.size(); ++i) ASSERT_EQ(map.insert(names[i], values[0]), Error::ok);
  EXPECT_EQ(test::heapAllocationCount(), before);
  EXPECT_EQ(map.size(), names.size());
  EXPECT_EQ(*map.find(names[999]), values[0]);
}

TEST(EvalNamedCondition, LeavesLogicAndUnboundNames) {
  NamedValueMap map;
  const struct {
    const char* name;
    const char* value;
  } bindings[] = {
      {"city", "Oslo"},     {"count(*)", "3"},         {"n", "2"},
      {"max(x)", ""},       {"avg(x)", ""},            {"label", "pen"},
      {"d", "2024-03-05"},  {"e", "2024-04-14"},       {"bad", "soon"},
      {"price", "12.5"},
  };
  for (const auto& b : bindings) ASSERT_EQ(map.put(b.name, b.value), Error::ok);

  static const struct {
    const char* condition;
    bool expected;
  } cases[] = {
      {"count(*) > 1", true},
      {"COUNT(*) > 5", false},
      {"n >= 2", true},
      {"N = 2", true},  // the parser lower-cases the column
      {"city = 'Oslo'", true},
      {"city = 'oslo'", false},
      {"city IN ('Bergen', 'Oslo')", true},
      {"city NOT IN ('Bergen', 'Oslo')", false},
      {"city LIKE 'O%'", true},
      {"city ILIKE 'o%'", true},
      {"price BETWEEN 10 AND 13", true},
      {"max(x) IS NULL", true},
      {"max(x) IS NOT NULL", false},
      {"avg(x) > 2", false},  // an empty text is no number
      {"count(*) > 1 AND city = 'Oslo'", true},
      {"count(*) > 5 OR city = 'Oslo'", true},
      {"count(*) > 5 AND city = 'Oslo'", false},
      {"NOT (count(*) > 5 OR city = 'Bergen')", true},
      {"nosuch = 'x'", false},
      {"NOT nosuch = 'x'", true},
      {"nosuch IS NULL", false},  // unbound is not the empty text
      {"extract(year FROM d) = 2024", true},
      {"extract(month FROM d) > 3", false},
      {"datediff('day', d, e) > 30", true},
      {"datediff('day', d, e) = 40", true},
      {"datediff('day', d, nosuch) > 0", false},
      {"extract(year FROM bad) < 3000", false},  // not a date: no year to compare
      {"NOT extract(year FROM bad) < 3000", true},
      {"datediff('day', bad, e) < 100", false},
      {"dateadd('day', 1, d) > 0", false},
      {"NOT dateadd('day', 1, d) > 0", true},
  };
  for (const auto& c : cases) {
    const ConditionNode node = parsed(c.condition);
    EXPECT_EQ(evalNamedCondition(node, map), c.expected) << c.condition;
  }
}

TEST(EvalNamedCondition, NeverAllocates) {
  NamedValueMap map;
  ASSERT_EQ(map.put("count(*)", "4"), Error::ok);
  ASSERT_EQ(map.put("d", "2024-01-01"), Error::ok);
  const ConditionNode node =
      parsed("count(*) > 1 AND NOT (extract(year FROM d) < 2000 OR nosuch = 'x')");
  const uint64_t before = test::heapAllocationCount();
  const bool result = evalNamedCondition(node, map);
  EXPECT_EQ(test::heapAllocationCount(), before);
  EXPECT_TRUE(result);
}

}  // namespace
}  // namespace tavix
