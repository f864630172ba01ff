#include "sql/parsed_query.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "unit/sql/describe_condition.h"

namespace tavix {
namespace {

ConditionNode leaf(const std::string& column) {
  ConditionNode n;
  n.comparison.column = column;
  return n;
}

ConditionNode pairOf(ConditionNode left, ConditionNode right, bool is_or) {
  ConditionNode n;
  n.kind = ConditionKind::and_or;
  n.pair = std::make_unique<ConditionPair>();
  n.pair->left = std::move(left);
  n.pair->right = std::move(right);
  n.pair->is_or = is_or;
  return n;
}

ConditionNode negationOf(ConditionNode child) {
  ConditionNode n;
  n.kind = ConditionKind::negation;
  n.child = std::make_unique<ConditionNode>(std::move(child));
  return n;
}

// 200,000 levels deep in every shape: a recursive release would need more
// stack than the test's thread has.
constexpr int kDeep = 200000;

TEST(ConditionNodeRelease, DeepTreesOfEveryShapeAreReleasedWithoutRecursion) {
  {
    ConditionNode right_deep = leaf("x");
    for (int i = 0; i < kDeep; ++i) right_deep = pairOf(leaf("a"), std::move(right_deep), true);
  }
  {
    ConditionNode left_deep = leaf("x");
    for (int i = 0; i < kDeep; ++i) left_deep = pairOf(std::move(left_deep), leaf("a"), false);
  }
  {
    ConditionNode negations = leaf("x");
    for (int i = 0; i < kDeep; ++i) negations = negationOf(std::move(negations));
  }
  {
    ConditionNode mixed = leaf("x");
    for (int i = 0; i < kDeep; ++i) {
      switch (i % 3) {
        case 0: mixed = pairOf(std::move(mixed), leaf("a"), true); break;
        case 1: mixed = negationOf(std::move(mixed)); break;
        default: mixed = pairOf(leaf("b"), std::move(mixed), false); break;
      }
    }
  }
}

TEST(ConditionNodeMove, AssigningAPartOfTheTreeToItsRootKeepsThatPart) {
  ConditionNode root = pairOf(leaf("a"), negationOf(pairOf(leaf("b"), leaf("c"), true)), false);
  root = std::move(root.pair->right);
  EXPECT_EQ(test::describe(root), "NOT (eq b [] OR eq c [])");
  root = std::move(*root.child);
  EXPECT_EQ(test::describe(root), "(eq b [] OR eq c [])");
  root = std::move(root.pair->left);
  EXPECT_EQ(test::describe(root), "eq b []");
}

}  // namespace
}  // namespace tavix
