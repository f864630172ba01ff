// Aggregate accumulators: the running state of every compiled aggregate of a
// statement for one group, or for the whole table, and the single place of
// the rules for updating it per record, merging two blocks and rendering the
// result.
//
// A `GroupAccumulators` block holds one slot per `AggregateSpec`, in spec
// order, in arrays. Sums keep the exact sum of their values (SumSlot) and
// variances the exact sum and sum of squares (ExactMoments), so a block
// filled from the whole input and the merge, in any order, of blocks filled
// from any split of it render the same text for every aggregate but
// `median` and `group_concat`, which keep their values in input order
// across merges (so blocks of consecutive ranges are merged in input order).
//
// Memory: a block, its arrays, its sets, its lists and every text it keeps
// come from one arena that its owner passes in (the executor's, a worker's, a
// group map's) and releases as a whole; nothing is freed piece by piece and
// nothing here runs a destructor. Arrays of kinds the statement does not use
// point at placeholder arrays shared by every block of the arena
// (`SharedAccumulatorArrays`), so a group that needs only a count carries no
// set or list arrays; placeholders are never written.
//
// Threads: a block and its arena belong to one thread at a time; blocks
// filled on worker threads are merged on one thread after the workers have
// been joined. The rules are pure functions of their arguments.
//
// Input rules: a field missing from a short record, empty where a number is
// needed, or not a number by the field number reading (readFieldNumber) is
// not taken; no error is raised for it, strict mode or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "common/allocator.h"
#include "common/error.h"
#include "common/flat_text_set.h"
#include "common/text.h"
#include "engine/expr/number_text.h"
#include "exec/aggregate/aggregate_select.h"
#include "exec/aggregate/exact_moments.h"
#include "exec/parallel/sharded_string_set.h"

namespace tavix {

// The distinct texts of one count(DISTINCT ...) slot; keys are copies in the
// block's arena. Not present until its first value.
struct DistinctValueSet {
  FlatTextSet set;
  bool present = false;
};

// A growable list of one slot in the block's arena (f64 values of a median,
// texts of a group_concat, in the order taken). Not present until its first
// item.
//
// Order marks: a list filled out of record order (the parallel grouping
// scan's shared groups, taken in lock order) keeps one mark per item,
// `marks[k]` for `items[k]`, and its items are put in mark order, equal
// marks keeping the order taken, before they are rendered. Lists filled in
// record order keep no marks (`marks` null).
template <typename T>
struct ValueList {
  T* items = nullptr;
  uint64_t length = 0;
  uint64_t capacity = 0;
  bool present = false;
  uint32_t* marks = nullptr;  // null, or `marked` marks in a room of `mark_capacity`
  uint64_t marked = 0;
  uint64_t mark_capacity = 0;

  std::span<T> view() const noexcept { return {items, static_cast<size_t>(length)}; }
};

// The running sum of one sum or avg slot, exact. A value whose bits all lie
// between 2^-64 and 2^125 adds into `fixed`, a signed integer in units of
// 2^-64: one integer addition, the common case. Any other finite value, and
// `fixed` itself when an addition would overflow it, goes into `wide`, made
// in the block's arena on first need; infinities and NaNs are only noted in
// `special`. The sum is rounded to a double once, when it is rendered, so it
// is the correctly rounded sum of the values and never depends on their
// order or on how the rows were split between blocks. All-zero bytes are
// the empty sum.
struct SumSlot {
  __int128 fixed;
  ExactSum* wide;
  uint8_t special;  // kSum* bits of the values that are not finite
};

// The values a sum slot took that are not finite.
inline constexpr uint8_t kSumPositiveInfinity = 1;
inline constexpr uint8_t kSumNegativeInfinity = 2;
inline constexpr uint8_t kSumNaN = 4;

// The sum of a slot as a double: the quiet NaN after a NaN or after both
// infinities, an infinity after one, else the exact sum rounded once (to an
// infinity past the largest double).
double sumSlotValue(const SumSlot& slot) noexcept;

// Adds `x` to the slot. Returns OutOfMemory, the slot keeping what it had
// taken before.
[[nodiscard]] Error addToSumSlot(SumSlot& slot, double x, ArenaAllocator& arena) noexcept;

// Adds every value `from` took to `into`, whose wide words come from
// `arena`. Returns OutOfMemory.
[[nodiscard]] Error mergeSumSlots(SumSlot& into, const SumSlot& from, ArenaAllocator& arena) noexcept;

// The accumulator block of one group or of the whole table. Every array has
// one entry per aggregate spec.
struct GroupAccumulators {
  const FieldSlice* key_parts = nullptr;  // the group's key parts; none for the whole table
  size_t key_part_count = 0;
  uint64_t rows = 0;  // records that reached the block (passed WHERE)
  SumSlot* sum = nullptr;           // exact sums: sum, avg
  ExactMoments* moments = nullptr;  // variances: exact sum and sum of squares
  int64_t* count = nullptr;        // values taken (meaning by kind)
  double* min = nullptr;           // starts at +infinity
  double* max = nullptr;           // starts at -infinity
  DistinctValueSet* distinct = nullptr;
  ValueList<double>* median = nullptr;
  ValueList<FieldSlice>* concat = nullptr;
};

// The placeholder arrays of one arena: a zero-filled array of one entry per
// spec for each slot kind that no spec uses, empty for the kinds some spec
// uses (each block then has its own array).
struct SharedAccumulatorArrays {
  std::span<DistinctValueSet> distinct;  // placeholder unless some spec is count_distinct
  std::span<ValueList<double>> median;   // unless median
  std::span<ValueList<FieldSlice>> concat;  // unless group_concat
  std::span<ExactMoments> moments;       // unless a variance or standard deviation
  std::span<SumSlot> sum;                // unless sum or avg (conditional ones included)
};

// Makes the placeholder arrays for blocks of `specs` in `arena`. Returns
// OutOfMemory.
[[nodiscard]] Error allocSharedAccumulatorArrays(ArenaAllocator& arena,
                                                 std::span<const AggregateSpec> specs,
                                                 SharedAccumulatorArrays& out) noexcept;

// Makes a block of `spec_count` slots in `arena` with the given key parts
// (kept as given): every sum and count 0, every min
// +infinity, every max -infinity, no set, list or moment present, `rows` 0. Arrays
// with a placeholder in `shared` point at it. Returns OutOfMemory.
[[nodiscard]] Error newGroupAccumulators(ArenaAllocator& arena,
                                         std::span<const FieldSlice> key_parts, size_t spec_count,
                                         const SharedAccumulatorArrays& shared,
                                         GroupAccumulators& out) noexcept;

// The numeric operand a conditional spec takes from one record: the THEN
// operand when the condition holds on the record's field at the condition
// column (the empty text past a short record), else the ELSE operand.
double conditionalValue(const ConditionalBlock& block, const FieldSlice* fields,
                        size_t field_count) noexcept;

// One record that passed WHERE: `rows` += 1, then every spec in order takes
// its input from the record's fields (views valid for the call); texts a set
// or a list keeps are copied into `arena`, the block's arena. A
// count(DISTINCT ...) spec `i` with a writer in `shared_distinct[i]` (the
// parallel whole-table scan: one set for all workers, one writer per worker)
// puts its text there instead of into the block. Returns OutOfMemory, the block keeping what it
// had taken before.
[[nodiscard]] Error accumulateGroupRow(std::span<const AggregateSpec> specs,
                                       GroupAccumulators& block, const FieldSlice* fields,
                                       size_t field_count, ArenaAllocator& arena,
                                       std::span<ShardedStringSetWriter* const> shared_distinct = {}) noexcept;

// The per-record step of one statement, compiled once from its aggregate specs. When
// every aggregate spec is a count, sum, avg, min or max over a column, or a count(*),
// none of them conditional, each column those aggregate specs read is read as a
// number once per record and every slot is updated by the step its kind
// needs, without looking at the kind per record (at most kMaxSlots aggregate specs
// over kMaxColumns columns). Any other statement takes `accumulateGroupRow`.
// Either way the block ends exactly as `accumulateGroupRow` leaves it, bit for
// bit: each slot sees the same values in the same order. Compiled on the
// executor's thread; read-only afterwards, so workers may share one.
class AccumulatorPlan {
 public:
  static constexpr size_t kMaxSlots = 32;
  static constexpr size_t kMaxColumns = 8;

  void compile(std::span<const AggregateSpec> specs) noexcept;

  // Whether the step needs no look at the aggregate spec kinds per record.
  bool direct() const noexcept { return direct_; }

  // One record that passed WHERE, as `accumulateGroupRow(specs, ...)` takes
  // it (`specs` are the ones the plan was compiled from).
  [[nodiscard]] Error accumulate(std::span<const AggregateSpec> specs, GroupAccumulators& block,
                                 const FieldSlice* fields, size_t field_count, ArenaAllocator& arena,
                                 std::span<ShardedStringSetWriter* const> shared_distinct = {}) const noexcept {
    if (!direct_) return accumulateGroupRow(specs, block, fields, field_count, arena, shared_distinct);
    // The one-sum step on its own: it needs few registers, so its call saves few.
    if (one_sum_) return accumulateOneSum(block, fields, field_count, arena);
    return accumulateDirect(block, fields, field_count, arena);
  }

 private:
  // A column the numeric aggregate specs read, and the slots of each step over it.
  struct NumericColumn {
    uint64_t column = 0;
    uint8_t sums[kMaxSlots];  // sum and avg: exact sum and count
    uint8_t mins[kMaxSlots];
    uint8_t maxs[kMaxSlots];
    uint8_t sum_count = 0;
    uint8_t min_count = 0;
    uint8_t max_count = 0;
  };
  // A count(column): fields that are not empty.
  struct CountColumn {
    uint64_t column = 0;
    uint8_t slot = 0;
  };

  [[nodiscard]] Error accumulateDirect(GroupAccumulators& block, const FieldSlice* fields,
                                       size_t field_count, ArenaAllocator& arena) const noexcept;
  [[nodiscard]] Error accumulateOneSum(GroupAccumulators& block, const FieldSlice* fields,
                                       size_t field_count, ArenaAllocator& arena) const noexcept;

  NumericColumn columns_[kMaxColumns];
  CountColumn counts_[kMaxSlots];
  size_t column_count_ = 0;
  size_t count_count_ = 0;
  bool direct_ = false;
  bool one_sum_ = false;  // one column, read by one sum or avg and by nothing else
};

// Folds `from` into `into` (blocks of the same specs): rows and counts add,
// exact sums and moments by integer
// addition, min and max by comparison, sets by union, lists appended after
// `into`'s items. Texts and keys taken over are copied into `arena`, the
// arena of `into`, so `from` may be released afterwards. Returns
// OutOfMemory.
[[nodiscard]] Error mergeGroupAccumulators(GroupAccumulators& into, const GroupAccumulators& from,
                                           std::span<const AggregateSpec> specs,
                                           ArenaAllocator& arena) noexcept;

// Marks the items of every group_concat list of `block` taken since the
// list's last marking (all of them, for a list never marked) with `mark`;
// with `marked_lists_only`, lists that keep no marks are left so (their
// items are in record order and stay ahead of any marked ones, so such a list
// must only ever take further items in record order). Marks come from
// `arena`, the arena of the block. Returns OutOfMemory.
[[nodiscard]] Error markNewConcatItems(std::span<const AggregateSpec> specs,
                                       GroupAccumulators& block, uint32_t mark,
                                       bool marked_lists_only, ArenaAllocator& arena) noexcept;

// The output text of spec `i` of `block`, allocated from `allocator` (the
// empty text needs no block). `shared_distinct_count`, when given, is the
// count of a count(DISTINCT ...) kept outside the block. Reorders the
// median list. Returns OutOfMemory.
//   count: the count of non-empty fields, or `rows` for a spec without a
//     column (count(*), a conditional count);
//   count_distinct: the number of distinct texts, "0" without any;
//   sum, avg: the sum (sumSlotValue), divided by the count for avg; empty
//     without a value; "nan" for any NaN;
//   min, max: empty while no number has been taken, else the value (an
//     infinity included);
//   median: formatMedian; group_concat: the texts joined by the separator
//     (in mark order for a list that keeps marks: reorders the list);
//   var_pop, stddev_pop: "0" without a value; var_samp, stddev_samp: empty
//     with fewer than two values; else the variance of the exact moments
//     (exactVariance; NaN after an infinity or a NaN), the standard
//     deviation its square root.
// Numbers are printed by formatNumber with the aggregate spec's precision.
[[nodiscard]] Error renderAggregateValue(const Allocator& allocator, const AggregateSpec& spec,
                                         GroupAccumulators& block, size_t i,
                                         std::optional<uint64_t> shared_distinct_count,
                                         std::string_view& out) noexcept;

// The median of the list printed by formatNumber with `precision`: the item
// at position n / 2 of the ordered list for odd n, the mean of the two middle
// items for even n (halved before they are added when their sum is not
// finite, so two large values never give "inf"). NaN orders above every
// number. The empty text for a list that is not present or empty. Reorders
// the list (selection in linear time, also over repeated values). Returns
// OutOfMemory.
[[nodiscard]] Error formatMedian(const Allocator& allocator, ValueList<double>& list,
                                 OutputPrecision precision, std::string_view& out) noexcept;

}  // namespace tavix
