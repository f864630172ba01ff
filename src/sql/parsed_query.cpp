#include "sql/parsed_query.h"

#include <utility>

namespace tavix {

namespace {

// Moves the payload and the children of `from` into `to`; `to` must hold no
// children, so nothing is released here except leaf texts.
void takeNode(ConditionNode& to, ConditionNode& from) noexcept {
  to.kind = from.kind;
  to.comparison = std::move(from.comparison);
  to.date = std::move(from.date);
  to.pair = std::move(from.pair);
  to.child = std::move(from.child);
}

// Releases every descendant of `root` without recursion and without
// allocating, by reshaping the tree as it goes:
//   - a negation is replaced by its child;
//   - an AND/OR pair whose left side is itself a pair or a negation is
//     rotated (or unwrapped) so that the left side shrinks;
//   - a pair whose left side is a leaf drops that leaf and is replaced by its
//     right side.
// Each step frees one block or moves a node from a left spine to a right
// one, so the work is linear in the size of the tree. Every block freed here
// holds no children any more, so its own destructor returns at once. A node
// holds a pair only as `and_or` and a child only as `negation`; `takeNode`
// is only ever given a target whose children have been moved out.
void releaseDescendants(ConditionNode& root) noexcept {
  for (;;) {
    if (root.child) {
      std::unique_ptr<ConditionNode> negated = std::move(root.child);
      takeNode(root, *negated);
      continue;
    }
    if (!root.pair) return;
    ConditionNode& left = root.pair->left;
    if (left.child) {
      std::unique_ptr<ConditionNode> negated = std::move(left.child);
      takeNode(left, *negated);
      continue;
    }
    if (left.pair) {
      // (LL op1 LR) op2 R  becomes  LL op1 (LR op2 R), reusing both blocks.
      std::unique_ptr<ConditionPair> outer = std::move(root.pair);
      std::unique_ptr<ConditionPair> inner = std::move(outer->left.pair);
      takeNode(outer->left, inner->right);
      inner->right.kind = ConditionKind::and_or;
      inner->right.pair = std::move(outer);
      root.pair = std::move(inner);
      continue;
    }
    std::unique_ptr<ConditionPair> pair = std::move(root.pair);
    takeNode(root, pair->right);
  }
}

}  // namespace

ConditionNode::~ConditionNode() {
  if (pair || child) releaseDescendants(*this);
}

ConditionNode& ConditionNode::operator=(ConditionNode&& other) noexcept {
  if (this == &other) return *this;
  // `other` may lie inside this node's own subtree (node = move(node.pair->
  // right)); take it out before the old subtree is released.
  ConditionNode taken(std::move(other));
  if (pair || child) releaseDescendants(*this);
  takeNode(*this, taken);
  return *this;
}

}  // namespace tavix
