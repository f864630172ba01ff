// Built with -ffp-contract=off (see CMakeLists.txt): the floating-point steps
// left here (a median's mean, an average's quotient) are rounded one by
// one, as written, so a fused multiply-add never changes their last bits
// between builds or machines.
// Sums and variances are exact integers until they are rendered.
#include "exec/aggregate/accumulators.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "engine/expr/row_predicates.h"

namespace tavix {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

bool usesKind(std::span<const AggregateSpec> specs, bool (*pred)(AggregateKind)) noexcept {
  for (const AggregateSpec& spec : specs)
    if (pred(spec.kind)) return true;
  return false;
}

bool isVarianceKind(AggregateKind k) noexcept {
  return k == AggregateKind::var_pop || k == AggregateKind::stddev_pop ||
         k == AggregateKind::var_samp || k == AggregateKind::stddev_samp;
}
bool isSumKind(AggregateKind k) noexcept { return k == AggregateKind::sum || k == AggregateKind::avg; }
bool isDistinctKind(AggregateKind k) noexcept { return k == AggregateKind::count_distinct; }
bool isMedianKind(AggregateKind k) noexcept { return k == AggregateKind::median; }
bool isConcatKind(AggregateKind k) noexcept { return k == AggregateKind::group_concat; }

// A zero-filled array of `n` T from the arena (T is a plain record whose
// all-zero bytes are its empty value).
template <typename T>
T* zeroArray(ArenaAllocator& arena, size_t n) noexcept {
  void* p = arena.alloc(n * sizeof(T) + (n == 0 ? 1 : 0), alignof(T));
  if (p != nullptr) std::memset(p, 0, n * sizeof(T));
  return static_cast<T*>(p);
}

template <typename T>
[[nodiscard]] Error placeholder(ArenaAllocator& arena, bool used, size_t n,
                                std::span<T>& out) noexcept {
  out = {};
  if (used) return Error::ok;
  T* p = zeroArray<T>(arena, n);
  if (p == nullptr) return Error::OutOfMemory;
  out = {p, n};
  return Error::ok;
}

// The block's own array, or the placeholder when the statement has one.
template <typename T>
[[nodiscard]] Error ownOrShared(ArenaAllocator& arena, std::span<T> shared, size_t n,
                                T*& out) noexcept {
  if (!shared.empty() || n == 0) {
    out = shared.data();
    return Error::ok;
  }
  out = zeroArray<T>(arena, n);
  return out == nullptr ? Error::OutOfMemory : Error::ok;
}

// The wide words of a slot, made on first need.
[[nodiscard]] Error wideOf(SumSlot& slot, ArenaAllocator& arena) noexcept {
  if (slot.wide != nullptr) return Error::ok;
  slot.wide = zeroArray<ExactSum>(arena, 1);
  return slot.wide == nullptr ? Error::OutOfMemory : Error::ok;
}

// Moves `fixed` into the wide words and starts it again at `next`.
[[nodiscard]] Error spillFixed(SumSlot& slot, __int128 next, ArenaAllocator& arena) noexcept {
  TAVIX_TRY(wideOf(slot, arena));
  TAVIX_TRY(addExactFixed(*slot.wide, slot.fixed, arena));
  slot.fixed = next;
  return Error::ok;
}

// A value the fixed part cannot hold: a zero, an infinity, a NaN, or a
// finite value with a bit below 2^-64 or above 2^125.
[[nodiscard]] Error addOutsideFixed(SumSlot& slot, double x, ArenaAllocator& arena) noexcept {
  if (x == 0) return Error::ok;
  if (std::isnan(x)) {
    slot.special |= kSumNaN;
    return Error::ok;
  }
  if (std::isinf(x)) {
    slot.special |= x < 0 ? kSumNegativeInfinity : kSumPositiveInfinity;
    return Error::ok;
  }
  TAVIX_TRY(wideOf(slot, arena));
  return addExactSum(*slot.wide, x, arena);
}

// Grows a list to hold at least `need` items: capacity + capacity / 2 +
// `step` items at a time.
template <typename T>
[[nodiscard]] Error reserveList(ValueList<T>& list, uint64_t need, uint64_t step,
                                ArenaAllocator& arena) noexcept {
  if (need <= list.capacity) return Error::ok;
  uint64_t capacity = list.capacity;
  while (capacity < need) capacity += capacity / 2 + step;
  void* p = arena.allocator().remap(list.items, list.capacity * sizeof(T), capacity * sizeof(T),
                                    alignof(T));
  if (p == nullptr) return Error::OutOfMemory;
  list.items = static_cast<T*>(p);
  list.capacity = capacity;
  return Error::ok;
}

constexpr uint64_t kMedianGrowth = 16;
constexpr uint64_t kConcatGrowth = 8;

[[nodiscard]] Error appendValue(ValueList<double>& list, double x, ArenaAllocator& arena) noexcept {
  if (list.length == list.capacity) TAVIX_TRY(reserveList(list, list.length + 1, kMedianGrowth, arena));
  list.items[list.length++] = x;
  list.present = true;
  return Error::ok;
}

[[nodiscard]] Error appendText(ValueList<FieldSlice>& list, FieldSlice text,
                               ArenaAllocator& arena) noexcept {
  if (list.length == list.capacity) TAVIX_TRY(reserveList(list, list.length + 1, kConcatGrowth, arena));
  FieldSlice copy;
  if (!arena.allocator().copyText(text, copy)) return Error::OutOfMemory;
  list.items[list.length++] = copy;
  list.present = true;
  return Error::ok;
}

[[nodiscard]] Error insertDistinct(DistinctValueSet& set, FieldSlice text, uint64_t hash,
                                   ArenaAllocator& arena) noexcept {
  bool added = false;
  TAVIX_TRY(set.set.insert(text, hash, arena.allocator(), added));
  set.present = true;
  return Error::ok;
}

// The numbers of the fields one record has read so far, so that aggregates
// over the same column (sum, min and max of one price) read it once. A few
// columns suffice: further ones are simply read again.
class RecordNumbers {
 public:
  bool read(const FieldSlice* fields, uint64_t column, double& x) noexcept {
    for (size_t k = 0; k < count_; ++k) {
      if (columns_[k] == column) {
        x = values_[k];
        return numbers_[k];
      }
    }
    const bool number = readFieldNumber(fields[column], x);
    if (count_ < kSlots) {
      columns_[count_] = column;
      values_[count_] = x;
      numbers_[count_] = number;
      ++count_;
    }
    return number;
  }

 private:
  static constexpr size_t kSlots = 4;
  size_t count_ = 0;
  uint64_t columns_[kSlots];
  double values_[kSlots];
  bool numbers_[kSlots];
};

// The number spec `spec` takes from the record, if any.
inline bool numericInput(const AggregateSpec& spec, const FieldSlice* fields, size_t field_count,
                         RecordNumbers& numbers, double& x) noexcept {
  if (spec.has_case) {
    x = conditionalValue(spec.case_block, fields, field_count);
    return true;
  }
  return spec.has_column && spec.column < field_count && numbers.read(fields, spec.column, x);
}

inline bool textInput(const AggregateSpec& spec, const FieldSlice* fields, size_t field_count,
                      FieldSlice& text) noexcept {
  if (!spec.has_column || spec.column >= field_count) return false;
  text = fields[spec.column];
  return true;
}

// `text` in `allocator`; the empty text needs no block.
[[nodiscard]] Error ownText(const Allocator& allocator, std::string_view text,
                            std::string_view& out) noexcept {
  return allocator.copyText(text, out) ? Error::ok : Error::OutOfMemory;
}

// Puts the items of a list that keeps marks in mark order, equal marks in
// the order taken; the marks follow their items.
[[nodiscard]] Error orderMarkedItems(const Allocator& allocator,
                                     ValueList<FieldSlice>& list) noexcept {
  if (list.marks == nullptr || std::is_sorted(list.marks, list.marks + list.length)) return Error::ok;
  struct Item {
    uint32_t mark;
    FieldSlice text;
  };
  Item* items = static_cast<Item*>(allocator.alloc(list.length * sizeof(Item), alignof(Item)));
  if (items == nullptr) return Error::OutOfMemory;
  for (uint64_t k = 0; k < list.length; ++k) items[k] = Item{list.marks[k], list.items[k]};
  std::stable_sort(items, items + list.length,
                   [](const Item& a, const Item& b) { return a.mark < b.mark; });
  for (uint64_t k = 0; k < list.length; ++k) {
    list.marks[k] = items[k].mark;
    list.items[k] = items[k].text;
  }
  return Error::ok;
}

[[nodiscard]] Error renderConcat(const Allocator& allocator, ValueList<FieldSlice>& list,
                                 std::string_view separator, std::string_view& out) noexcept {
  out = {};
  if (!list.present || list.length == 0) return Error::ok;
  TAVIX_TRY(orderMarkedItems(allocator, list));
  size_t total = separator.size() * (list.length - 1);
  for (FieldSlice t : list.view()) total += t.size();
  if (total == 0) return Error::ok;
  char* p = static_cast<char*>(allocator.alloc(total, 1));
  if (p == nullptr) return Error::OutOfMemory;
  size_t at = 0;
  for (uint64_t k = 0; k < list.length; ++k) {
    if (k > 0 && !separator.empty()) {
      std::memcpy(p + at, separator.data(), separator.size());
      at += separator.size();
    }
    const FieldSlice t = list.items[k];
    if (!t.empty()) std::memcpy(p + at, t.data(), t.size());
    at += t.size();
  }
  out = {p, total};
  return Error::ok;
}

// addToSumSlot, inlined into the per-record loops.
[[gnu::always_inline]] [[nodiscard]] inline Error addToSum(SumSlot& slot, double x,
                                                           ArenaAllocator& arena) noexcept {
  // x = m * 2^(biased - 1075), so x = m * 2^shift in units of 2^-64.
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  const int shift = static_cast<int>((bits >> 52) & 0x7FF) - 1011;
  const uint64_t m = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
  unsigned __int128 v;
  if (shift >= 0) {
    // Below 2^126 in units: the value and its negation fit the signed part.
    if (shift > 73) [[unlikely]] return addOutsideFixed(slot, x, arena);
    v = static_cast<unsigned __int128>(m) << shift;
  } else {
    // Only the zero bits of m may be shifted out (the leading one is bit 52).
    if (shift < -52 || (m & ((uint64_t{1} << -shift) - 1)) != 0) [[unlikely]]
      return addOutsideFixed(slot, x, arena);
    v = m >> -shift;
  }
  const __int128 value = (bits >> 63) != 0 ? -static_cast<__int128>(v) : static_cast<__int128>(v);
  __int128 total;
  if (__builtin_add_overflow(slot.fixed, value, &total)) [[unlikely]]
    return spillFixed(slot, value, arena);
  slot.fixed = total;
  return Error::ok;
}

}  // namespace

Error addToSumSlot(SumSlot& slot, double x, ArenaAllocator& arena) noexcept {
  return addToSum(slot, x, arena);
}

Error mergeSumSlots(SumSlot& into, const SumSlot& from, ArenaAllocator& arena) noexcept {
  into.special |= from.special;
  __int128 total;
  if (__builtin_add_overflow(into.fixed, from.fixed, &total)) {
    TAVIX_TRY(spillFixed(into, from.fixed, arena));
  } else {
    into.fixed = total;
  }
  if (from.wide == nullptr) return Error::ok;
  TAVIX_TRY(wideOf(into, arena));
  return mergeExactSum(*into.wide, *from.wide, arena);
}

double sumSlotValue(const SumSlot& slot) noexcept {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr uint8_t kBothInfinities = kSumPositiveInfinity | kSumNegativeInfinity;
  if ((slot.special & kSumNaN) != 0 || (slot.special & kBothInfinities) == kBothInfinities)
    return kNaN;
  if ((slot.special & kSumPositiveInfinity) != 0) return kInfinity;
  if ((slot.special & kSumNegativeInfinity) != 0) return -kInfinity;
  return slot.wide == nullptr ? roundFixedSum(slot.fixed) : roundExactSum(*slot.wide, slot.fixed);
}

Error allocSharedAccumulatorArrays(ArenaAllocator& arena, std::span<const AggregateSpec> specs,
                                   SharedAccumulatorArrays& out) noexcept {
  const size_t n = specs.size();
  out = SharedAccumulatorArrays{};
  TAVIX_TRY(placeholder(arena, usesKind(specs, isDistinctKind), n, out.distinct));
  TAVIX_TRY(placeholder(arena, usesKind(specs, isMedianKind), n, out.median));
  TAVIX_TRY(placeholder(arena, usesKind(specs, isConcatKind), n, out.concat));
  TAVIX_TRY(placeholder(arena, usesKind(specs, isVarianceKind), n, out.moments));
  TAVIX_TRY(placeholder(arena, usesKind(specs, isSumKind), n, out.sum));
  return Error::ok;
}

Error newGroupAccumulators(ArenaAllocator& arena, std::span<const FieldSlice> key_parts,
                           size_t spec_count, const SharedAccumulatorArrays& shared,
                           GroupAccumulators& out) noexcept {
  const size_t n = spec_count;
  GroupAccumulators block;
  block.key_parts = key_parts.data();
  block.key_part_count = key_parts.size();
  // The three arrays every block has.
  double* numbers = zeroArray<double>(arena, 2 * n);
  block.count = zeroArray<int64_t>(arena, n);
  if (numbers == nullptr || block.count == nullptr) return Error::OutOfMemory;
  block.min = numbers;
  block.max = numbers + n;
  for (size_t i = 0; i < n; ++i) {
    block.min[i] = kInfinity;
    block.max[i] = -kInfinity;
  }
  TAVIX_TRY(ownOrShared(arena, shared.distinct, n, block.distinct));
  TAVIX_TRY(ownOrShared(arena, shared.median, n, block.median));
  TAVIX_TRY(ownOrShared(arena, shared.moments, n, block.moments));
  TAVIX_TRY(ownOrShared(arena, shared.sum, n, block.sum));
  TAVIX_TRY(ownOrShared(arena, shared.concat, n, block.concat));
  out = block;
  return Error::ok;
}

double conditionalValue(const ConditionalBlock& block, const FieldSlice* fields,
                        size_t field_count) noexcept {
  const FieldSlice field =
      block.condition_column < field_count ? fields[block.condition_column] : FieldSlice();
  const NumericOperand& operand =
      evalComparison(block.condition, field) ? block.then_operand : block.else_operand;
  return evalNumericOperand(operand, fields, field_count);
}

Error accumulateGroupRow(std::span<const AggregateSpec> specs, GroupAccumulators& block,
                         const FieldSlice* fields, size_t field_count, ArenaAllocator& arena,
                         std::span<ShardedStringSetWriter* const> shared_distinct) noexcept {
  block.rows += 1;
  RecordNumbers numbers;
  for (size_t i = 0; i < specs.size(); ++i) {
    const AggregateSpec& spec = specs[i];
    double x = 0;
    FieldSlice text;
    switch (spec.kind) {
      case AggregateKind::count:
        if (!spec.has_case && textInput(spec, fields, field_count, text) && !text.empty())
          block.count[i] += 1;
        break;
      case AggregateKind::count_distinct:
        if (!textInput(spec, fields, field_count, text)) break;
        if (i < shared_distinct.size() && shared_distinct[i] != nullptr) {
          TAVIX_TRY(shared_distinct[i]->insert(text, hashText(text)));
        } else {
          TAVIX_TRY(insertDistinct(block.distinct[i], text, hashText(text), arena));
        }
        break;
      case AggregateKind::sum:
      case AggregateKind::avg:
        if (numericInput(spec, fields, field_count, numbers, x)) {
          TAVIX_TRY(addToSum(block.sum[i], x, arena));
          block.count[i] += 1;
        }
        break;
      case AggregateKind::min:
        // A NaN compares false and is never taken; an infinity is.
        if (numericInput(spec, fields, field_count, numbers, x) && !std::isnan(x)) {
          block.count[i] += 1;
          if (x < block.min[i]) block.min[i] = x;
        }
        break;
      case AggregateKind::max:
        if (numericInput(spec, fields, field_count, numbers, x) && !std::isnan(x)) {
          block.count[i] += 1;
          if (x > block.max[i]) block.max[i] = x;
        }
        break;
      case AggregateKind::median:
        if (numericInput(spec, fields, field_count, numbers, x))
          TAVIX_TRY(appendValue(block.median[i], x, arena));
        break;
      case AggregateKind::var_pop:
      case AggregateKind::stddev_pop:
      case AggregateKind::var_samp:
      case AggregateKind::stddev_samp:
        if (numericInput(spec, fields, field_count, numbers, x)) {
          TAVIX_TRY(addExactMoment(block.moments[i], x, arena));
          block.count[i] += 1;
        }
        break;
      case AggregateKind::group_concat:
        if (textInput(spec, fields, field_count, text))
          TAVIX_TRY(appendText(block.concat[i], text, arena));
        break;
    }
  }
  return Error::ok;
}

void AccumulatorPlan::compile(std::span<const AggregateSpec> specs) noexcept {
  *this = AccumulatorPlan{};
  if (specs.size() > kMaxSlots) return;
  for (size_t i = 0; i < specs.size(); ++i) {
    const AggregateSpec& spec = specs[i];
    if (spec.has_case) return;
    const auto slot = static_cast<uint8_t>(i);
    if (spec.kind == AggregateKind::count) {
      if (spec.has_column) counts_[count_count_++] = CountColumn{spec.column, slot};
      continue;  // count(*) reads only `rows`
    }
    if (spec.kind != AggregateKind::sum && spec.kind != AggregateKind::avg &&
        spec.kind != AggregateKind::min && spec.kind != AggregateKind::max)
      return;
    if (!spec.has_column) continue;  // takes no value from any record
    size_t k = 0;
    while (k < column_count_ && columns_[k].column != spec.column) ++k;
    if (k == column_count_) {
      if (column_count_ == kMaxColumns) return;
      columns_[column_count_++].column = spec.column;
    }
    NumericColumn& c = columns_[k];
    if (spec.kind == AggregateKind::min) {
      c.mins[c.min_count++] = slot;
    } else if (spec.kind == AggregateKind::max) {
      c.maxs[c.max_count++] = slot;
    } else {
      c.sums[c.sum_count++] = slot;
    }
  }
  one_sum_ = count_count_ == 0 && column_count_ == 1 && columns_[0].sum_count == 1 &&
             columns_[0].min_count == 0 && columns_[0].max_count == 0;
  direct_ = true;
}

Error AccumulatorPlan::accumulateOneSum(GroupAccumulators& block, const FieldSlice* fields,
                                        size_t field_count, ArenaAllocator& arena) const noexcept {
  // accumulateDirect's steps for one column with one sum or avg slot and
  // nothing else.
  block.rows += 1;
  const NumericColumn& c = columns_[0];
  double x = 0;
  if (c.column < field_count && readFieldNumber(fields[c.column], x)) {
    const size_t i = c.sums[0];
    TAVIX_TRY(addToSum(block.sum[i], x, arena));
    block.count[i] += 1;
  }
  return Error::ok;
}

Error AccumulatorPlan::accumulateDirect(GroupAccumulators& block, const FieldSlice* fields,
                                        size_t field_count, ArenaAllocator& arena) const noexcept {
  block.rows += 1;
  for (size_t k = 0; k < count_count_; ++k) {
    const CountColumn& c = counts_[k];
    if (c.column < field_count && !fields[c.column].empty()) block.count[c.slot] += 1;
  }
  for (size_t k = 0; k < column_count_; ++k) {
    const NumericColumn& c = columns_[k];
    double x = 0;
    if (c.column >= field_count || !readFieldNumber(fields[c.column], x)) continue;
    for (size_t j = 0; j < c.sum_count; ++j) {
      const size_t i = c.sums[j];
      TAVIX_TRY(addToSum(block.sum[i], x, arena));
      block.count[i] += 1;
    }
    // A NaN compares false and is never taken by min or max; an infinity is.
    if (std::isnan(x)) continue;
    for (size_t j = 0; j < c.min_count; ++j) {
      const size_t i = c.mins[j];
      block.count[i] += 1;
      if (x < block.min[i]) block.min[i] = x;
    }
    for (size_t j = 0; j < c.max_count; ++j) {
      const size_t i = c.maxs[j];
      block.count[i] += 1;
      if (x > block.max[i]) block.max[i] = x;
    }
  }
  return Error::ok;
}

Error mergeGroupAccumulators(GroupAccumulators& into, const GroupAccumulators& from,
                             std::span<const AggregateSpec> specs, ArenaAllocator& arena) noexcept {
  into.rows += from.rows;
  for (size_t i = 0; i < specs.size(); ++i) {
    switch (specs[i].kind) {
      case AggregateKind::count: into.count[i] += from.count[i]; break;
      case AggregateKind::count_distinct: {
        const DistinctValueSet& source = from.distinct[i];
        if (!source.present) break;
        DistinctValueSet& target = into.distinct[i];
        target.present = true;
        Error error = Error::ok;
        source.set.forEach([&](std::string_view key, uint64_t hash) {
          if (error == Error::ok) error = insertDistinct(target, key, hash, arena);
        });
        TAVIX_TRY(error);
        break;
      }
      case AggregateKind::sum:
      case AggregateKind::avg:
        TAVIX_TRY(mergeSumSlots(into.sum[i], from.sum[i], arena));
        into.count[i] += from.count[i];
        break;
      case AggregateKind::min:
        if (from.min[i] < into.min[i]) into.min[i] = from.min[i];
        into.count[i] += from.count[i];
        break;
      case AggregateKind::max:
        if (from.max[i] > into.max[i]) into.max[i] = from.max[i];
        into.count[i] += from.count[i];
        break;
      case AggregateKind::median: {
        const ValueList<double>& source = from.median[i];
        if (!source.present) break;
        ValueList<double>& target = into.median[i];
        TAVIX_TRY(reserveList(target, target.length + source.length, kMedianGrowth, arena));
        if (source.length != 0)
          std::memcpy(target.items + target.length, source.items, source.length * sizeof(double));
        target.length += source.length;
        target.present = true;
        break;
      }
      case AggregateKind::var_pop:
      case AggregateKind::stddev_pop:
      case AggregateKind::var_samp:
      case AggregateKind::stddev_samp:
        TAVIX_TRY(mergeExactMoments(into.moments[i], from.moments[i], arena));
        into.count[i] += from.count[i];
        break;
      case AggregateKind::group_concat: {
        const ValueList<FieldSlice>& source = from.concat[i];
        if (!source.present) break;
        ValueList<FieldSlice>& target = into.concat[i];
        TAVIX_TRY(reserveList(target, target.length + source.length, kConcatGrowth, arena));
        for (FieldSlice text : source.view()) TAVIX_TRY(appendText(target, text, arena));
        target.present = true;
        break;
      }
    }
  }
  return Error::ok;
}

Error markNewConcatItems(std::span<const AggregateSpec> specs, GroupAccumulators& block,
                         uint32_t mark, bool marked_lists_only, ArenaAllocator& arena) noexcept {
  for (size_t i = 0; i < specs.size(); ++i) {
    if (specs[i].kind != AggregateKind::group_concat) continue;
    ValueList<FieldSlice>& list = block.concat[i];
    if (list.marked == list.length || (marked_lists_only && list.marks == nullptr)) continue;
    if (list.mark_capacity < list.length) {
      const uint64_t capacity = std::max(list.capacity, list.length);
      void* p = arena.allocator().remap(list.marks, list.mark_capacity * sizeof(uint32_t),
                                        capacity * sizeof(uint32_t), alignof(uint32_t));
      if (p == nullptr) return Error::OutOfMemory;
      list.marks = static_cast<uint32_t*>(p);
      list.mark_capacity = capacity;
    }
    std::fill(list.marks + list.marked, list.marks + list.length, mark);
    list.marked = list.length;
  }
  return Error::ok;
}

Error renderAggregateValue(const Allocator& allocator, const AggregateSpec& spec,
                           GroupAccumulators& block, size_t i,
                           std::optional<uint64_t> shared_distinct_count,
                           std::string_view& out) noexcept {
  out = {};
  const OutputPrecision p = spec.precision;
  // count(*) reads only the block's row count, so a grouped count(*) does
  // not load the group's counter array.
  if (spec.kind == AggregateKind::count && !spec.has_column)
    return formatInteger(allocator, static_cast<int64_t>(block.rows), out);
  const int64_t count = block.count[i];
  switch (spec.kind) {
    case AggregateKind::count: return formatInteger(allocator, count, out);
    case AggregateKind::count_distinct: {
      uint64_t n = 0;
      if (shared_distinct_count) {
        n = *shared_distinct_count;
      } else if (block.distinct[i].present) {
        n = block.distinct[i].set.size();
      }
      return formatInteger(allocator, static_cast<int64_t>(n), out);
    }
    case AggregateKind::sum:
    case AggregateKind::avg: {
      if (count <= 0) return Error::ok;
      double t = sumSlotValue(block.sum[i]);
      // A NaN sum is the one quiet NaN, "nan", whatever the signs of the
      // NaNs taken; the division keeps it.
      if (spec.kind == AggregateKind::avg) t /= static_cast<double>(count);
      return formatNumber(allocator, t, p, out);
    }
    case AggregateKind::min:
      return count <= 0 ? Error::ok : formatNumber(allocator, block.min[i], p, out);
    case AggregateKind::max:
      return count <= 0 ? Error::ok : formatNumber(allocator, block.max[i], p, out);
    case AggregateKind::median: return formatMedian(allocator, block.median[i], p, out);
    case AggregateKind::var_pop:
    case AggregateKind::stddev_pop: {
      if (count <= 0) return ownText(allocator, "0", out);
      const auto n = static_cast<uint64_t>(count);
      double v = exactVariance(block.moments[i], n, n);
      if (spec.kind == AggregateKind::stddev_pop) v = std::sqrt(v);
      return formatNumber(allocator, v, p, out);
    }
    case AggregateKind::var_samp:
    case AggregateKind::stddev_samp: {
      if (count <= 1) return Error::ok;
      const auto n = static_cast<uint64_t>(count);
      double v = exactVariance(block.moments[i], n, n - 1);
      if (spec.kind == AggregateKind::stddev_samp) v = std::sqrt(v);
      return formatNumber(allocator, v, p, out);
    }
    case AggregateKind::group_concat:
      return renderConcat(allocator, block.concat[i], spec.separator, out);
  }
  return Error::ok;
}

Error formatMedian(const Allocator& allocator, ValueList<double>& list, OutputPrecision precision,
                   std::string_view& out) noexcept {
  out = {};
  if (!list.present || list.length == 0) return Error::ok;
  double* const begin = list.items;
  double* const end = list.items + list.length;
  const size_t k = static_cast<size_t>(list.length / 2);
  // NaNs go last, so the numbers in front are ordered by `<` alone, a strict
  // weak order that the selection needs.
  double* const numbers_end = std::partition(begin, end, [](double v) { return !std::isnan(v); });
  double m = std::numeric_limits<double>::quiet_NaN();
  if (begin + k < numbers_end) {
    // Introselect: linear on average, never quadratic, and balanced on runs
    // of equal values.
    std::nth_element(begin, begin + k, numbers_end);
    m = begin[k];
    if (list.length % 2 == 0) {
      const double below = *std::max_element(begin, begin + k);
      const double sum = m + below;
      m = std::isfinite(sum) || !std::isfinite(m) || !std::isfinite(below) ? sum * 0.5
                                                                            : m * 0.5 + below * 0.5;
    }
  }
  return formatNumber(allocator, m, precision, out);
}

}  // namespace tavix
