#include "sql/parsed_query.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "support/condition_nodes.h"
#include "unit/sql/describe_condition.h"

namespace tavix {
namespace {

ConditionNode leaf(const std::string& column) {
  ConditionNode n;
  n.comparison.column = column;
  return n;
}

// 200,000 levels deep in every shape: a recursive release would need more
// stack than the test's thread has.
constexpr int kDeep = 200000;

TEST(ConditionNodeRelease, DeepTreesOfEveryShapeAreReleasedWithoutRecursion) {
  {
    ConditionNode right_deep = leaf("x");
    for (int i = 0; i < kDeep; ++i) right_deep = test::pairNode(leaf("a"), std::move(right_deep), true);
  }
  {
    ConditionNode left_deep = leaf("x");
    for (int i = 0; i < kDeep; ++i) left_deep = test::pairNode(std::move(left_deep), leaf("a"), false);
  }
  {
    ConditionNode negations = leaf("x");
    for (int i = 0; i < kDeep; ++i) negations = test::negationNode(std::move(negations));
  }
  {
    ConditionNode mixed = leaf("x");
    for (int i = 0; i < kDeep; ++i) {
      switch (i % 3) {
        case 0: mixed = test::pairNode(std::move(mixed), leaf("a"), true); break;
        case 1: mixed = test::negationNode(std::move(mixed)); break;
        default: mixed = test::pairNode(leaf("b"), std::move(mixed), false); break;
      }
    }
  }
}

TEST(ConditionNodeMove, AssigningAPartOfTheTreeToItsRootKeepsThatPart) {
  ConditionNode root = test::pairNode(leaf("a"), test::negationNode(test::pairNode(leaf("b"), leaf("c"), true)), false);
  root = std::move(root.pair->right);
  EXPECT_EQ(test::describe(root), "NOT (eq b [] OR eq c [])");
  root = std::move(*root.child);
  EXPECT_EQ(test::describe(root), "(eq b [] OR eq c [])");
  root = std::move(root.pair->left);
  EXPECT_EQ(test::describe(root), "eq b []");
}

}  // namespace
}  // namespace tavix
