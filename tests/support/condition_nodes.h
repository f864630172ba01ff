// Hand-built condition trees for tests that need shapes the parser would not
// give them (or should not depend on it).
#pragma once

#include <memory>
#include <utility>

#include "sql/parsed_query.h"

namespace tavix::test {

inline ConditionNode pairNode(ConditionNode left, ConditionNode right, bool is_or) {
  ConditionNode n;
  n.kind = ConditionKind::and_or;
  n.pair = std::make_unique<ConditionPair>();
  n.pair->left = std::move(left);
  n.pair->right = std::move(right);
  n.pair->is_or = is_or;
  return n;
}

inline ConditionNode negationNode(ConditionNode child) {
  ConditionNode n;
  n.kind = ConditionKind::negation;
  n.child = std::make_unique<ConditionNode>(std::move(child));
  return n;
}

}  // namespace tavix::test
