// The row sorter of the scan executors: gathered rows, the bounded top-N
// heap, and `sortKeyRecords`, which puts the rows of a single-key ORDER BY in
// order and cuts them to an optional limit.
//
// How an executor uses it:
//   1. Gather: per kept row, append the sort value's text and the rendered
//      row to the executor's sort text buffer and a `PendingSortEntry` (the
//      number from `readSortNumber`, both texts as offsets into the buffer,
//      which may move while it grows). Workers whose texts never move may
//      build `SortKeyRecord`s directly with `makeSortKeyRecord`.
//   2. Sort: once the buffer no longer grows, turn the entries, in gathering
//      order, into records with `sortKeyRecordFromPending`, then call
//      `sortKeyRecords` with the limit from `computeSortLimit`. Several ORDER
//      BY keys use `sortLinesByOrderKeys` instead, which never cuts.
//   3. Window: `computeSortWindow` gives the records to emit, [start, end).
// A parallel executor gives each worker a `TopNHeap` when its limit is at
// most `kTopNMaxRows` (otherwise the worker gathers entries), offers every
// kept row in input order (skipping those `wouldAdmit` turns away), and
// after joining the workers appends each heap's
// records with `takeInInputOrder` in chunk order, so that the merged array is
// in input order and the final `sortKeyRecords` breaks ties by input
// position exactly as a single-threaded scan would.
//
// Every path orders by the full ORDER BY rule of order_rule.h with ties kept
// in input order; the order key is only a shortcut where it is exact. Records
// own nothing: their texts are views into a buffer of the executor that
// outlives the sort. Everything here runs on the calling thread; a
// `TopNHeap` belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "exec/sort/order_rule.h"

namespace tavix {

// A limit of at most this many rows is kept in a bounded heap rather than by
// sorting every row: the heap costs one comparison against its root per row
// and memory for the kept rows only, while a larger heap would lose to a
// plain sort.
inline constexpr uint64_t kTopNMaxRows = 1024;

// All-numeric inputs of at least this many rows are radix sorted on their
// order keys; below it the comparison sort is faster than eight counting
// passes.
inline constexpr uint64_t kRadixMinRows = 16384;

// One row to be sorted. `order_key` must be `makeOrderKey(number, key_text)`.
// The first ORDER BY key's value is (`number`, `key_text`); the values of
// further keys, each read by the number rule once, are `more_keys`, one per
// further key of the `RecordOrder` the record is sorted by (none for one
// key).
struct SortKeyRecord {
  uint64_t order_key = 0;
  double number = 0;     // the sort value by the number rule; NaN when not a number
  FieldSlice key_text;   // the sort value
  FieldSlice row_text;   // the rendered output row, or the raw input line
  const OrderValue* more_keys = nullptr;
};

// The direction of every ORDER BY key a record sort follows: the first
// key's, and one per further key (`more_keys` of each record). The span's
// flags must outlive every heap and sort given the order.
struct RecordOrder {
  bool descending = false;
  std::span<const bool> more_descending;
};

// Returns a negative value when record a comes before record b in the
// order's output, a positive value when b comes first, and 0 when they tie
// on every key: the first key that does not tie decides, by the ORDER BY
// rule in its direction.
int compareSortKeyRecords(const SortKeyRecord& a, const SortKeyRecord& b,
                          const RecordOrder& order) noexcept;

// Returns the record of a row whose sort value is `key_text`, with its
// number read by the number rule and its order key.
SortKeyRecord makeSortKeyRecord(FieldSlice key_text, FieldSlice row_text) noexcept;

// A text held as a position and a length: an offset into the gathering
// buffer, or (with no buffer) the address of the text itself.
struct TextSpan {
  uint64_t position = 0;
  uint64_t length = 0;
};

// One row gathered for sorting, before its texts can be turned into views.
struct PendingSortEntry {
  double number = 0;  // NaN when the sort value is not a number
  TextSpan key_text;
  TextSpan row_text;
};

// Returns the entry's record: `order_key` from `makeOrderKey`, `number`
// copied, both texts as views at `base` plus their positions, or at their
// positions taken as addresses when `base` is null.
SortKeyRecord sortKeyRecordFromPending(const PendingSortEntry& entry, const char* base) noexcept;

// A bounded heap of the k best records offered to it, by the ORDER BY rule
// over every key of its `RecordOrder`, with ties kept for the record offered
// first. The worst of
// the kept records sits at the root, so a new record is admitted with one
// comparison against it. The heap copies records in and owns only its block.
class TopNHeap {
 public:
  TopNHeap() noexcept = default;
  ~TopNHeap();
  TopNHeap(const TopNHeap&) = delete;
  TopNHeap& operator=(const TopNHeap&) = delete;
  TopNHeap(TopNHeap&& other) noexcept;
  TopNHeap& operator=(TopNHeap&& other) noexcept;

  // Prepares an empty heap for k records (no block when k is 0), ordered
  // by `order` (whose flags must outlive the heap). Returns InvalidArgument
  // when k exceeds kTopNMaxRows and OutOfMemory when the block cannot be
  // allocated; the heap is then empty and admits nothing.
  [[nodiscard]] Error init(uint64_t k, const RecordOrder& order,
                           Allocator allocator = cAllocator()) noexcept;
  [[nodiscard]] Error init(uint64_t k, bool descending, Allocator allocator = cAllocator()) noexcept {
    return init(k, RecordOrder{descending, {}}, allocator);
  }

  // Offers one record; it is copied in when the heap is not full or when it
  // orders strictly before the worst record held, which is then dropped.
  // Records must be offered in input order: ties go to the earlier one.
  void offer(const SortKeyRecord& record) noexcept;

  // Returns true when `record`, offered next, would be copied in: the heap
  // is not full, or the record orders strictly before the worst record held
  // by every key. Returns false when k is 0.
  bool wouldAdmit(const SortKeyRecord& record) const noexcept;

  // The storage slot, 0 to k - 1, of the next admitted record: the next
  // free one while the heap fills, then the slot of the worst record held,
  // which that record replaces. A caller that keeps each held record's texts
  // in slot storage writes an admitted record's texts there, after
  // `wouldAdmit` and before `admit`.
  uint64_t nextSlot() const noexcept;

  // Copies in a record for which `wouldAdmit` has just returned true,
  // without comparing again (the worst record's texts may already be
  // overwritten).
  void admit(const SortKeyRecord& record) noexcept;

  // Returns true when a record with this sort value (`number` from
  // `readSortNumber(key_text)`), offered next, would be copied in: the heap
  // is not full, or the value orders strictly before the worst record held
  // (an equal value comes later in input order and loses the tie). Returns
  // false when k is 0. A caller may skip building and offering a record for
  // which this is false: the heap then ends up exactly as if it had been
  // offered, since later offers only need to follow earlier ones in input
  // order.
  // With further keys, a record that ties the worst on the first key may
  // still be admitted, so this returns true for it.
  bool wouldAdmit(double number, FieldSlice key_text) const noexcept;

  uint64_t size() const noexcept { return len_; }

  // Copies the held records to out[0, size()) in the order they were
  // offered and empties the heap (its block is kept). Returns the count.
  uint64_t takeInInputOrder(SortKeyRecord* out) noexcept;

  // Copies the held records to out[0, size()) in sorted order (one stable
  // sort of them in the order they were offered) and empties the heap (its
  // block is kept). Returns the count.
  uint64_t takeSorted(SortKeyRecord* out) noexcept;

 private:
  struct Item {
    SortKeyRecord record;
    uint64_t position;  // offer number: the record's input position
    uint64_t slot;      // storage slot of the record's texts
  };

  bool ranksBefore(const Item& a, const Item& b) const noexcept;
  void siftDown(uint64_t i) noexcept;
  void release() noexcept;

  Item* items_ = nullptr;
  uint64_t capacity_ = 0;
  uint64_t len_ = 0;
  uint64_t k_ = 0;
  uint64_t offered_ = 0;
  Allocator allocator_ = cAllocator();
  RecordOrder order_;
};

// Offers one record to the heap (see TopNHeap::offer).
inline void offerToTopNHeap(TopNHeap& heap, const SortKeyRecord& record) noexcept {
  heap.offer(record);
}

// Returns true when record a orders strictly before record b by their sort
// values in the given direction.
bool sortKeyRecordLessThan(const SortKeyRecord& a, const SortKeyRecord& b, bool descending) noexcept;

// Sorts records[0, n) in place by the ORDER BY rule on (`number`,
// `key_text`), keeping input order for ties in both directions. Cannot fail.
void sortSortKeyRecords(SortKeyRecord* records, uint64_t n, bool descending) noexcept;

// Sorts records[0, n) by `order` (every key by the ORDER BY rule), ties in
// input order, and cuts the result to `limit`: on success records[0, kept)
// are the result in order, kept = min(limit, n) (n without a limit), and the
// records from `kept` on are unspecified. A small limit (at most
// kTopNMaxRows and below n / 4) keeps only the best rows in a heap; 16384 or
// more records whose first key is numeric throughout are radix sorted on it
// (runs that tie on it are then merge sorted by the further keys); anything
// else is merge sorted. All give the same order. Returns OutOfMemory when a
// path's memory cannot be had; the records are then untouched.
[[nodiscard]] Error sortKeyRecords(SortKeyRecord* records, uint64_t n, const RecordOrder& order,
                                   std::optional<uint64_t> limit, uint64_t& kept) noexcept;
[[nodiscard]] inline Error sortKeyRecords(SortKeyRecord* records, uint64_t n, bool descending,
                                          std::optional<uint64_t> limit, uint64_t& kept) noexcept {
  return sortKeyRecords(records, n, RecordOrder{descending, {}}, limit, kept);
}

// The context of `orderByLineLessThan`: the keys in ORDER BY order, each
// `column` a field position within the row's CSV line, and the delimiter.
struct MultiKeySortContext {
  const SortKey* keys = nullptr;
  uint64_t key_count = 0;
  char delimiter = ',';
};

// Returns field number `column` (from 0) of a CSV-rendered line. A field
// that starts with a double quote runs to the next quote not followed by
// another (doubled quotes are stepped over and kept raw) or to the end of the
// line; any other field runs to the next delimiter. A field that is missing,
// or that follows a closing quote not followed by the delimiter, reads as
// the empty text.
FieldSlice cutLineField(FieldSlice line, uint64_t column, char delimiter) noexcept;

// Returns true when record a orders strictly before record b by the
// context's keys, each key's value cut out of `row_text` with
// `cutLineField`; the first key that does not tie decides.
bool orderByLineLessThan(const MultiKeySortContext& context, const SortKeyRecord& a,
                         const SortKeyRecord& b) noexcept;

// Sorts records[0, n) in place by `orderByLineLessThan`, keeping the input
// order of records that tie on every key. Cannot fail.
void sortLinesByOrderKeys(SortKeyRecord* records, uint64_t n,
                          const MultiKeySortContext& context) noexcept;

// Returns the limit to sort with for a statement's LIMIT and OFFSET (LIMIT
// -1 meaning none): LIMIT + OFFSET, added in 64 bits, or none.
std::optional<uint64_t> computeSortLimit(int32_t limit, int32_t offset) noexcept;

// The sorted records to emit: [start, end).
struct SortWindow {
  uint64_t start = 0;
  uint64_t end = 0;
};

// Returns the window over `kept` sorted records for a statement's LIMIT and
// OFFSET: start = min(kept, OFFSET), end = kept without a LIMIT, else
// min(kept, start + LIMIT), in 64 bits. A negative OFFSET counts as 0.
SortWindow computeSortWindow(uint64_t kept, int32_t limit, int32_t offset) noexcept;

}  // namespace tavix
