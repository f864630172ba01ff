// The ORDER BY comparison rule, and the multi-key row comparator built on it.
//
// A sort value is a text together with its number: the text read by the
// number rule, NaN when it is not a number. A value is *numeric* when its
// number is not NaN (so the text "nan", which reads as NaN, is not numeric).
// Two numeric values compare as numbers, equal numbers tying; any other pair
// compares as texts: unsigned bytes over the common length, then the shorter
// text first. A descending key inverts only strict results, so ties stay ties
// in both directions and the stable sorts keep input order for them.
//
// The rule is not transitive on a column that mixes numbers and texts
// ("9" < "10" numerically, "10" < "1a" and "1a" < "9" as texts), so every
// sort that uses it is the merge sort of stable_sort.h, which stays
// memory-safe under such a comparison.
//
// This header also holds the 64-bit order key of a sort value, which orders
// numbers exactly and texts by their first eight bytes, and the comparator
// that orders rows held as field lists (`orderByRowLessThan`), used by the
// grouped output. Everything here is pure, allocates nothing and may be
// called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/text.h"

namespace tavix {

// One ORDER BY key: the position of the key's value within a row (an output
// column position, a source column index or a field index of a result row,
// by the caller) and its direction.
struct SortKey {
  uint64_t column = 0;
  bool descending = false;
};

// One sort value: its text and that text read by the number rule (NaN when
// it is not a number).
struct OrderValue {
  double number;
  FieldSlice text;
};

// Returns `text` read by the number rule, or NaN when it is not a number.
double readSortNumber(FieldSlice text) noexcept;

// Returns the sort value of `text`: the text and its number.
inline OrderValue makeOrderValue(FieldSlice text) noexcept {
  return OrderValue{readSortNumber(text), text};
}

// Returns the 64-bit order key of a sort value. A number that is not NaN maps
// to its IEEE-754 bits with the sign bit flipped (non-negative values) or all
// bits flipped (negative values), so unsigned key order is numeric order with
// -0 just below +0 and the infinities at the ends. Any other value maps to
// the first min(8, length) bytes of `key_text` read big-endian, missing bytes
// 0: texts of at most eight bytes without zero bytes get keys in bytewise
// order, and texts sharing their first eight bytes get equal keys.
uint64_t makeOrderKey(double number, FieldSlice key_text) noexcept;

// Returns a negative value when `a` orders before `b` ascending, a positive
// value when `b` orders before `a`, and 0 when they tie.
int compareOrderValuesThreeWay(const OrderValue& a, const OrderValue& b) noexcept;

// Returns true when a three-way result `c` of the ORDER BY rule means
// "strictly before" in the given direction: descending inverts only strict
// results, so a tie stays a tie.
constexpr bool ordersBefore(int c, bool descending) noexcept {
  return descending ? c > 0 : c < 0;
}

// Returns true when `a` orders strictly before `b` under the ORDER BY rule in
// the given direction.
inline bool compareOrderValues(const OrderValue& a, const OrderValue& b, bool descending) noexcept {
  return ordersBefore(compareOrderValuesThreeWay(a, b), descending);
}

// Returns true when row a orders strictly before row b: for each key in
// order, the field at the key's column of each row (the empty text when the
// column is at or past that row's field count) is read by the number rule
// and compared by the ORDER BY rule with the key's direction; the first key
// that does not tie decides. All keys tie, or no keys: false.
bool orderByRowLessThan(const SortKey* keys, size_t key_count, const FieldSlice* row_a,
                        size_t a_count, const FieldSlice* row_b, size_t b_count) noexcept;

// A row held as a list of field texts, for `sortRowsByOrderKeys`. The fields
// are not owned.
struct FieldRow {
  const FieldSlice* fields = nullptr;
  size_t count = 0;
};

// Sorts rows[0, n) in place by `orderByRowLessThan` over the keys, keeping
// the input order of rows that tie on every key. Cannot fail.
void sortRowsByOrderKeys(FieldRow* rows, size_t n, const SortKey* keys, size_t key_count) noexcept;

}  // namespace tavix
