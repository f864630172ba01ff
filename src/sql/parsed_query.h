// The parsed SELECT statement and its condition trees.
//
// `parseQuery` (statement_parser.h) builds a `ParsedQuery`; the driver owns
// it for the whole call and every executor only reads it. Texts are owned
// std::strings; column names in conditions and ORDER BY keys are already
// ASCII-lower-cased. A finished query is read-only and may be read by any
// number of worker threads at once without locks.
//
// Condition trees are held by value at their root; only AND/OR pairs and
// negations own heap children. Long AND/OR chains are released without
// recursion as deep as the chain (see ~ConditionNode).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavix {

// The operator of comparison and date-function leaves. IN and NOT IN leaves
// carry `eq` together with a list (or a sub-query text). Every leaf reads as
// column, operator, literal: `gt` holds when the field is greater than the
// literal.
enum class ComparisonOp : uint8_t {
  eq = 0,
  ne = 1,
  gt = 2,
  ge = 3,
  lt = 4,
  le = 5,
  like = 6,
  ilike = 7,
  between = 8,
  is_null = 9,
  is_not_null = 10,
};

struct ComparisonLeaf {
  std::string column;  // trimmed, lower-cased; may be empty
  // The literal (one pair of enclosing quotes removed), the LIKE pattern, the
  // lower BETWEEN bound or the right-hand number of a modulo test.
  std::string value;
  std::optional<double> value_number;  // `value` as a number, for comparisons and BETWEEN
  std::vector<std::string> in_list;    // IN / NOT IN items; empty otherwise
  std::string subquery;                // IN (SELECT ...) text; empty otherwise
  std::string upper;                   // upper BETWEEN bound
  std::optional<double> upper_number;
  std::optional<double> modulus;  // present only for `column % m op value`
  ComparisonOp op = ComparisonOp::eq;
  bool negated = false;  // NOT IN

  bool isInList() const { return !in_list.empty(); }
  bool isSubquery() const { return !subquery.empty(); }
};

struct DateFunctionLeaf {
  std::string function;  // "extract", "datediff" or "dateadd"
  std::string unit;      // as written (datediff/dateadd: one pair of quotes removed)
  std::string column;    // lower-cased
  std::string column2;   // datediff's second column; empty otherwise
  double literal = 0;
  int32_t amount = 0;  // dateadd's amount
  ComparisonOp op = ComparisonOp::eq;
};

enum class ConditionKind : uint8_t { comparison = 0, date_function = 1, and_or = 2, negation = 3 };

struct ConditionPair;

struct ConditionNode {
  ConditionKind kind = ConditionKind::comparison;
  ComparisonLeaf comparison;           // kind == comparison
  DateFunctionLeaf date;               // kind == date_function
  std::unique_ptr<ConditionPair> pair;  // kind == and_or
  std::unique_ptr<ConditionNode> child;  // kind == negation

  ConditionNode() = default;
  ConditionNode(ConditionNode&&) noexcept = default;
  ConditionNode& operator=(ConditionNode&&) noexcept;
  // Releases the subtree iteratively, so a chain of 100,000 ORs cannot
  // exhaust the stack.
  ~ConditionNode();
};

struct ConditionPair {
  ConditionNode left;
  ConditionNode right;
  bool is_or = false;
};

struct OrderByItem {
  std::string column;  // lower-cased
  bool descending = false;
};

struct OrderByClause {
  std::string primary_column;  // lower-cased first key
  std::vector<OrderByItem> extra_keys;
  bool primary_descending = false;
};

struct JoinClause {
  std::string table;        // path, single quotes removed
  std::string left_alias;   // alias of the table before this one
  std::string alias;        // lower-cased; empty when none
  std::string left_column;  // left of the ON equality, lower-cased, qualifier kept
  std::string right_column;
};

struct ParsedQuery {
  std::vector<std::string> select_items;  // trimmed, case kept, alias inside
  std::string source;                     // FROM path, "stdin" or "-"
  ConditionNode where;
  bool has_where = false;
  ConditionNode having;
  bool has_having = false;
  std::vector<std::string> group_by;
  OrderByClause order_by;
  bool has_order_by = false;
  std::vector<JoinClause> joins;
  int32_t limit = -1;  // -1: no LIMIT
  int32_t offset = 0;
  bool select_star = false;
  bool distinct = false;
};

}  // namespace tavix
