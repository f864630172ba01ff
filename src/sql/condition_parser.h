// The WHERE / HAVING condition parser.
//
// `parseCondition` turns a condition text into a `ConditionNode` tree
// (parsed_query.h) without a tokenizer: it trims the text, strips one pair of
// enclosing parentheses, splits at the top-level ORs, then at the top-level
// ANDs that do not belong to a BETWEEN, peels a leading NOT, and otherwise
// recognises one leaf form by searching for operator texts from left to
// right. Leaves carry their column lower-cased and their literal as text and,
// where it is a number, as a number, so rows are tested without re-parsing.
//
// Chains of AND/OR of any length are built, walked and released without
// recursion as deep as the chain; nesting by parentheses and NOT is limited
// to kMaxConditionNesting levels so that no text can exhaust the stack.
//
// The caller owns the tree it receives. A finished tree is read-only and may
// be read by any number of threads at once. All functions are reentrant.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "common/error.h"
#include "common/text.h"
#include "sql/parsed_query.h"

namespace tavix {

// Deepest nesting of parentheses and NOTs a condition may have. Real
// conditions nest a handful of levels; the limit only bounds the parser's
// recursion (a few hundred bytes of stack per level) well inside the 16 MiB
// stacks of the worker threads.
inline constexpr int kMaxConditionNesting = 1000;

// Parses a condition text into `out`. Returns InvalidExpression (no operator,
// malformed BETWEEN / IN / date-function / modulo forms, nesting deeper than
// kMaxConditionNesting), UnterminatedQuotedValue or OutOfMemory; on failure
// `out` is left unchanged.
[[nodiscard]] Error parseCondition(std::string_view text, ConditionNode& out);

// Builds a comparison leaf from the whole trimmed condition `text`, the
// operator text ("=", "!=", "<>", ">", ">=", "<", "<=") and its position in
// `text`. Returns InvalidOperator for any other operator text and
// UnterminatedQuotedValue for a value that opens a quote it does not close.
[[nodiscard]] Error makeComparisonLeaf(std::string_view text, std::string_view op_text,
                                       size_t op_pos, ConditionNode& out);

// Maps an operator text to its code: the six comparison texts, and "LIKE" /
// "ILIKE" written in upper case exactly. Any other text gives nullopt.
std::optional<ComparisonOp> parseComparisonOp(std::string_view op_text) noexcept;

// Returns the bytes between one enclosing pair of equal quotes (both "'" or
// both '"') of a text of at least 2 bytes; any other text unchanged.
std::string_view stripMatchingQuotes(std::string_view text) noexcept;

// Checks that every column the tree names is one of `names` (the executor's
// lower-cased header names), comparing bytes exactly; the left side of a pair
// is checked before its right side. Returns ColumnNotFound for the first leaf
// that fails, and for any tree when `count` is 0.
[[nodiscard]] Error checkConditionColumns(const ConditionNode& node, const FieldSlice* names,
                                          size_t count);

// Returns whether any leaf of the tree is an `IN (SELECT ...)` sub-query. Such
// statements pass both parsers; the driver refuses them with
// SubqueriesNotSupported before it opens any file.
bool conditionHasSubquery(const ConditionNode& node) noexcept;

}  // namespace tavix
