// Row predicates: whether one record satisfies a WHERE (or HAVING) condition.
//
// Holds the two LIKE matchers, the test of one comparison leaf against one
// field, the walk of a whole condition tree (sql/parsed_query.h) over a
// record, the field number reading shared by every executor that reads a
// field as a number, and the numeric operand of a conditional aggregate.
//
// Every routine runs once per record, on worker threads as well as on the
// main thread: they are pure functions of their arguments, allocate nothing,
// keep no state and never fail. A field that cannot be read as the test needs
// (not a number, not a date, missing from a short record) makes the test
// false, or a numeric operand 0. Any number of threads may evaluate the same
// tree and header list at once.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/text.h"
#include "sql/parsed_query.h"

namespace tavix {

// SQL LIKE: '%' matches any run of bytes (also none), '_' exactly one byte,
// every other byte itself; there is no escape character. Case-sensitive.
bool likeMatch(std::string_view text, std::string_view pattern) noexcept;

// ILIKE: as likeMatch with 'A'..'Z' folded to 'a'..'z' on both sides; every
// other byte, including each byte of a multi-byte character, compares exactly.
bool likeMatchIgnoreCase(std::string_view text, std::string_view pattern) noexcept;

// Reads a field as a number, the one way every executor does it:
//  - optional blanks (bytes 9..13 and space), an optional sign, at least one
//    decimal digit and nothing but blanks after them: that integer, while it
//    fits a signed 64-bit value (so " 15 " is 15 and "-0" is +0);
//  - anything else only when the number rule accepts the whole, untouched
//    field, which allows no blank anywhere ("1.5", "1e3", "nan", "0x10").
// A lone sign, with or without blanks, is no number: no digit, no number.
// Returns true and sets `out` when the field is a number.
//
// The short plain forms that make up most numeric columns ("16", "-3",
// "924.77", "-.5": an optional minus, digits with at most one point, no
// blank, at most 16 bytes) are read inline in one pass; every other field
// goes to `readFieldNumberGeneral`, which reads every field by the rule above.
// Both give the same double, bit for bit.
bool readFieldNumberGeneral(std::string_view field, double& out) noexcept;

inline bool readFieldNumber(std::string_view field, double& out) noexcept {
  const char* const p = field.data();
  const size_t n = field.size();
  if (n == 0 || n > 16) return readFieldNumberGeneral(field, out);
  const bool negative = p[0] == '-';
  uint64_t m = 0;  // at most 16 digits: below 10^16, no overflow
  size_t point = n;
  for (size_t i = negative ? 1 : 0; i < n; ++i) {
    const unsigned digit = static_cast<unsigned char>(p[i]) - unsigned{'0'};
    if (digit < 10) {
      m = m * 10 + digit;
    } else if (p[i] == '.' && point == n) {
      point = i;
    } else {
      return readFieldNumberGeneral(field, out);
    }
  }
  const size_t digits = n - (negative ? 1 : 0) - (point != n ? 1 : 0);
  if (digits == 0) return readFieldNumberGeneral(field, out);
  if (point == n) {
    // An integer: negated as an integer, so "-0" is +0.
    const int64_t v = static_cast<int64_t>(m);
    out = static_cast<double>(negative ? -v : v);
    return true;
  }
  // A decimal m / 10^f with m <= 2^53 and f <= 15: both exact doubles, so
  // the one IEEE division is the correctly rounded value ("-0.0" is -0).
  if (m > (uint64_t{1} << 53)) return readFieldNumberGeneral(field, out);
  static constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const double v = static_cast<double>(m) / kPowersOfTen[n - point - 1];
  out = negative ? -v : v;
  return true;
}

// Whether `field` satisfies `leaf`. The caller passes the empty text for a
// field that the record lacks. Rules, first match decides: IS [NOT] NULL
// (empty or not; blanks are not null); the modulo form (field and value by the
// number rule, fmod keeping the field's sign); a sub-query leaf (never run, so
// no field is known to satisfy it: false); IN / NOT IN (exact bytes); LIKE,
// ILIKE; BETWEEN (numeric when both bounds are numbers, false with one numeric
// bound only, bytewise when the low bound is text); a numeric comparison when
// the literal is a number (the field by readFieldNumber; a field without a
// number fails every operator, `ne` included); bytewise otherwise.
bool evalComparison(const ComparisonLeaf& leaf, FieldSlice field) noexcept;

// Whether the record `fields[0 .. field_count)` satisfies the tree rooted at
// `node`. `names` are the lower-cased header names in column order (the same
// list the condition's columns were checked against); a leaf takes the first
// name equal to its column, and a column that is not among them makes the
// leaf false. AND and OR short-circuit. A date-function leaf is false when
// its column (either column of datediff) is not a date, and dateadd leaves
// are always false. The walk loops over right children and NOT chains and
// recurses only into left children, whose depth the condition parser bounds
// (nesting by parentheses).
bool evalConditionTree(const ConditionNode& node, const FieldSlice* fields, uint64_t field_count,
                       const FieldSlice* names, uint64_t name_count) noexcept;

// Whether a date-function leaf holds for the value `a` of its column and,
// for datediff, the value `b` of its second column: extract(unit FROM a) or
// datediff(unit, a, b) compared with the leaf's literal by its operator
// (eq..le; any other operator is false). A value that is not a date makes
// the leaf false: an unreadable date has no part and no distance to compare.
// dateadd leaves are always false. Allocates nothing.
bool evalDateFunctionLeaf(const DateFunctionLeaf& leaf, FieldSlice a, FieldSlice b) noexcept;

// The one walk of a condition tree, over values found by name. `value_of` is
// called as `bool value_of(std::string_view column, FieldSlice& value)` and
// returns false when no value goes by that name, which makes the leaf false.
// AND and OR short-circuit, left side first; NOT inverts. A comparison leaf
// is `evalComparison` on its column's value, a date-function leaf
// `evalDateFunctionLeaf` on the values of its one or two columns. Loops over
// right children and NOT chains and recurses only into left children.
// Allocates nothing beyond what `value_of` does; reentrant when `value_of` is.
template <typename ValueOf>
bool evalConditionBy(const ConditionNode& root, const ValueOf& value_of) noexcept {
  const ConditionNode* node = &root;
  bool flip = false;
  for (;;) {
    switch (node->kind) {
      case ConditionKind::and_or: {
        const ConditionPair* pair = node->pair.get();
        if (pair == nullptr) return flip;
        const bool left = evalConditionBy(pair->left, value_of);
        // OR decided by a true left side, AND by a false one.
        if (left == pair->is_or) return left != flip;
        node = &pair->right;
        continue;
      }
      case ConditionKind::negation:
        if (node->child == nullptr) return flip;
        flip = !flip;
        node = node->child.get();
        continue;
      case ConditionKind::comparison: {
        FieldSlice value;
        if (!value_of(std::string_view(node->comparison.column), value)) return flip;
        return evalComparison(node->comparison, value) != flip;
      }
      case ConditionKind::date_function: {
        const DateFunctionLeaf& leaf = node->date;
        FieldSlice a, b;
        if (!value_of(std::string_view(leaf.column), a)) return flip;
        if (leaf.function == "datediff" && !value_of(std::string_view(leaf.column2), b))
          return flip;
        return evalDateFunctionLeaf(leaf, a, b) != flip;
      }
    }
    return flip;
  }
}

// The THEN or ELSE operand of a conditional aggregate: a number literal, or a
// column of the record read as a number. The aggregating executors build it.
struct NumericOperand {
  // The literal's bits when `is_column` is false, else the 0-based column
  // index; use the accessors.
  uint64_t literal_or_index = 0;
  bool is_column = false;

  static NumericOperand literal(double value) noexcept;
  static NumericOperand column(uint64_t index) noexcept;
  double literalValue() const noexcept;
  uint64_t columnIndex() const noexcept { return literal_or_index; }
};

// The literal, or the operand's field read by readFieldNumber; 0 when the
// record has no such field or the field is not a number.
double evalNumericOperand(const NumericOperand& operand, const FieldSlice* fields,
                          uint64_t field_count) noexcept;

}  // namespace tavix
