#include "exec/sort/order_rule.h"

#include <bit>
#include <cmath>
#include <limits>

#include "common/number_rule.h"
#include "exec/sort/stable_sort.h"

namespace tavix {

namespace {

// Unsigned bytes over the common length, then the shorter text first.
// (std::string_view compares its chars as unsigned char.)
int compareTexts(FieldSlice a, FieldSlice b) noexcept {
  const int c = a.compare(b);
  return (c > 0) - (c < 0);
}

}  // namespace

double readSortNumber(FieldSlice text) noexcept {
  double value = 0;
  if (parseNumber(text, value) != Error::ok) return std::numeric_limits<double>::quiet_NaN();
  return value;
}

uint64_t makeOrderKey(double number, FieldSlice key_text) noexcept {
  if (!std::isnan(number)) {
    const uint64_t bits = std::bit_cast<uint64_t>(number);
    // Negative values: flipping every bit reverses their magnitude order and
    // puts them below all non-negative values, whose sign bit is set instead.
    constexpr uint64_t kSignBit = 0x8000000000000000ull;
    return (bits & kSignBit) != 0 ? ~bits : bits ^ kSignBit;
  }
  uint64_t key = 0;
  const size_t n = key_text.size() < 8 ? key_text.size() : 8;
  for (size_t i = 0; i < n; ++i) {
    key |= static_cast<uint64_t>(static_cast<unsigned char>(key_text[i])) << (56 - 8 * i);
  }
  return key;
}

int compareOrderValuesThreeWay(const OrderValue& a, const OrderValue& b) noexcept {
  if (!std::isnan(a.number) && !std::isnan(b.number)) {
    if (a.number < b.number) return -1;
    if (b.number < a.number) return 1;
    return 0;
  }
  return compareTexts(a.text, b.text);
}

bool orderByRowLessThan(const SortKey* keys, size_t key_count, const FieldSlice* row_a,
                        size_t a_count, const FieldSlice* row_b, size_t b_count) noexcept {
  for (size_t k = 0; k < key_count; ++k) {
    const uint64_t column = keys[k].column;
    const FieldSlice a = column < a_count ? row_a[column] : FieldSlice{};
    const FieldSlice b = column < b_count ? row_b[column] : FieldSlice{};
    const int c = compareOrderValuesThreeWay(makeOrderValue(a), makeOrderValue(b));
    if (c != 0) return ordersBefore(c, keys[k].descending);
  }
  return false;
}

void sortRowsByOrderKeys(FieldRow* rows, size_t n, const SortKey* keys, size_t key_count) noexcept {
  stableSort(rows, n, [keys, key_count](const FieldRow& a, const FieldRow& b) {
    return orderByRowLessThan(keys, key_count, a.fields, a.count, b.fields, b.count);
  });
}

}  // namespace tavix
