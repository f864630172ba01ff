#include "exec/sort/row_sorter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "exec/sort/stable_sort.h"

namespace tavix {

namespace {

// Three-way ORDER BY comparison of two records' sort values, ascending. When
// neither value is a number the order keys hold the texts' first eight bytes
// (zero-padded), and two different keys order exactly as the texts do: at
// the first differing byte either both texts have a byte there, or the
// shorter one, padded with 0, is a prefix of the longer. Only equal keys
// need the texts themselves. Numeric keys are not used: -0 and +0 have
// different keys but tie as numbers.
int compareRecordValues(const SortKeyRecord& a, const SortKeyRecord& b) noexcept {
  if (std::isnan(a.number) && std::isnan(b.number) && a.order_key != b.order_key) {
    return a.order_key < b.order_key ? -1 : 1;
  }
  return compareOrderValuesThreeWay(OrderValue{a.number, a.key_text},
                                    OrderValue{b.number, b.key_text});
}

int compareMoreKeys(const SortKeyRecord& a, const SortKeyRecord& b,
                    const RecordOrder& order) noexcept {
  for (size_t i = 0; i < order.more_descending.size(); ++i) {
    const int c = compareOrderValuesThreeWay(a.more_keys[i], b.more_keys[i]);
    if (c != 0) return order.more_descending[i] ? -c : c;
  }
  return 0;
}

FieldSlice viewOfSpan(TextSpan span, const char* base) noexcept {
  if (span.length == 0) return {};
  const char* start = base != nullptr
                          ? base + span.position
                          : reinterpret_cast<const char*>(static_cast<uintptr_t>(span.position));
  return FieldSlice{start, static_cast<size_t>(span.length)};
}

// Scratch blocks of the radix path, released together whatever happens.
struct RadixEntry {
  uint64_t key;    // order key, inverted when descending
  uint32_t index;  // the record's input position
};

class RadixScratch {
 public:
  explicit RadixScratch(uint64_t n) noexcept : n_(static_cast<size_t>(n)) {
    const Allocator heap = cAllocator();
    front_ = static_cast<RadixEntry*>(heap.alloc(n_ * sizeof(RadixEntry), alignof(RadixEntry)));
    back_ = static_cast<RadixEntry*>(heap.alloc(n_ * sizeof(RadixEntry), alignof(RadixEntry)));
    copy_ = static_cast<SortKeyRecord*>(
        heap.alloc(n_ * sizeof(SortKeyRecord), alignof(SortKeyRecord)));
  }
  ~RadixScratch() {
    const Allocator heap = cAllocator();
    heap.free(front_, n_ * sizeof(RadixEntry));
    heap.free(back_, n_ * sizeof(RadixEntry));
    heap.free(copy_, n_ * sizeof(SortKeyRecord));
  }
  RadixScratch(const RadixScratch&) = delete;
  RadixScratch& operator=(const RadixScratch&) = delete;

  bool ok() const noexcept { return front_ != nullptr && back_ != nullptr && copy_ != nullptr; }

  size_t n_;
  RadixEntry* front_ = nullptr;
  RadixEntry* back_ = nullptr;
  SortKeyRecord* copy_ = nullptr;
};

// The numeric order key of a record's first key with -0 folded into +0, so
// that the two tie here exactly as they tie in the comparison rule.
uint64_t foldedNumericKey(double number) noexcept {
  return makeOrderKey(number == 0 ? 0.0 : number, {});
}

// Least-significant-byte-first radix sort of all-numeric records on their
// numeric order keys. Each pass is a stable counting sort, so equal keys keep
// input order.
[[nodiscard]] Error radixSortRecords(SortKeyRecord* records, uint64_t n, bool descending) noexcept {
  if (n > std::numeric_limits<size_t>::max() / sizeof(SortKeyRecord)) return Error::OutOfMemory;
  RadixScratch scratch(n);
  if (!scratch.ok()) return Error::OutOfMemory;

  const uint64_t invert = descending ? ~0ull : 0ull;
  RadixEntry* current = scratch.front_;
  RadixEntry* other = scratch.back_;
  uint64_t differing = 0;  // bits in which some key differs from the first
  for (size_t i = 0; i < scratch.n_; ++i) {
    current[i] = RadixEntry{foldedNumericKey(records[i].number) ^ invert, static_cast<uint32_t>(i)};
    differing |= current[i].key ^ current[0].key;
  }
  if (differing == 0) return Error::ok;

  for (unsigned byte = 0; byte < 8; ++byte) {
    const unsigned shift = 8 * byte;
    if (((differing >> shift) & 0xff) == 0) continue;  // every key has the first key's byte here
    uint64_t slots[256] = {};
    for (size_t i = 0; i < scratch.n_; ++i) ++slots[(current[i].key >> shift) & 0xff];
    uint64_t next = 0;
    for (uint64_t& slot : slots) {
      const uint64_t count = slot;
      slot = next;
      next += count;
    }
    for (size_t i = 0; i < scratch.n_; ++i) {
      other[slots[(current[i].key >> shift) & 0xff]++] = current[i];
    }
    std::swap(current, other);
  }

  std::memcpy(scratch.copy_, records, scratch.n_ * sizeof(SortKeyRecord));
  for (size_t i = 0; i < scratch.n_; ++i) records[i] = scratch.copy_[current[i].index];
  return Error::ok;
}

}  // namespace

int compareSortKeyRecords(const SortKeyRecord& a, const SortKeyRecord& b,
                          const RecordOrder& order) noexcept {
  const int c = compareRecordValues(a, b);
  if (c != 0) return order.descending ? -c : c;
  return order.more_descending.empty() ? 0 : compareMoreKeys(a, b, order);
}

SortKeyRecord makeSortKeyRecord(FieldSlice key_text, FieldSlice row_text) noexcept {
  const double number = readSortNumber(key_text);
  return SortKeyRecord{makeOrderKey(number, key_text), number, key_text, row_text};
}

SortKeyRecord sortKeyRecordFromPending(const PendingSortEntry& entry, const char* base) noexcept {
  const FieldSlice key_text = viewOfSpan(entry.key_text, base);
  return SortKeyRecord{makeOrderKey(entry.number, key_text), entry.number, key_text,
                       viewOfSpan(entry.row_text, base)};
}

bool sortKeyRecordLessThan(const SortKeyRecord& a, const SortKeyRecord& b, bool descending) noexcept {
  return ordersBefore(compareRecordValues(a, b), descending);
}

TopNHeap::~TopNHeap() { release(); }

TopNHeap::TopNHeap(TopNHeap&& other) noexcept { *this = std::move(other); }

TopNHeap& TopNHeap::operator=(TopNHeap&& other) noexcept {
  if (this != &other) {
    release();
    items_ = std::exchange(other.items_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    len_ = std::exchange(other.len_, 0);
    k_ = std::exchange(other.k_, 0);
    offered_ = std::exchange(other.offered_, 0);
    allocator_ = other.allocator_;
    order_ = other.order_;
  }
  return *this;
}

void TopNHeap::release() noexcept {
  allocator_.free(items_, capacity_ * sizeof(Item));
  items_ = nullptr;
  capacity_ = 0;
  len_ = 0;
  k_ = 0;
  offered_ = 0;
}

Error TopNHeap::init(uint64_t k, const RecordOrder& order, Allocator allocator) noexcept {
  release();
  allocator_ = allocator;
  order_ = order;
  if (k > kTopNMaxRows) return Error::InvalidArgument;
  if (k != 0) {
    items_ = static_cast<Item*>(allocator_.alloc(k * sizeof(Item), alignof(Item)));
    if (items_ == nullptr) return Error::OutOfMemory;
  }
  capacity_ = k;
  k_ = k;
  return Error::ok;
}

bool TopNHeap::ranksBefore(const Item& a, const Item& b) const noexcept {
  const int c = compareSortKeyRecords(a.record, b.record, order_);
  if (c != 0) return c < 0;
  return a.position < b.position;
}

// The root holds the record that ranks last; a child that ranks after its
// parent moves up.
void TopNHeap::siftDown(uint64_t i) noexcept {
  for (;;) {
    uint64_t worst = i;
    const uint64_t left = 2 * i + 1;
    const uint64_t right = left + 1;
    if (left < len_ && ranksBefore(items_[worst], items_[left])) worst = left;
    if (right < len_ && ranksBefore(items_[worst], items_[right])) worst = right;
    if (worst == i) return;
    std::swap(items_[i], items_[worst]);
    i = worst;
  }
}

void TopNHeap::offer(const SortKeyRecord& record) noexcept {
  if (wouldAdmit(record)) {
    admit(record);
  } else {
    ++offered_;
  }
}

uint64_t TopNHeap::nextSlot() const noexcept { return len_ < k_ ? len_ : items_[0].slot; }

void TopNHeap::admit(const SortKeyRecord& record) noexcept {
  const uint64_t position = offered_++;
  if (len_ < k_) {
    items_[len_] = Item{record, position, len_};
    ++len_;
    if (len_ == k_ && k_ >= 2) {
      for (uint64_t i = k_ / 2; i-- > 0;) siftDown(i);
    }
    return;
  }
  // The record comes after every held record in input order and orders
  // strictly before the root, which it replaces in its slot.
  items_[0] = Item{record, position, items_[0].slot};
  siftDown(0);
}

bool TopNHeap::wouldAdmit(const SortKeyRecord& record) const noexcept {
  if (len_ < k_) return true;
  if (k_ == 0) return false;
  return compareSortKeyRecords(record, items_[0].record, order_) < 0;
}

bool TopNHeap::wouldAdmit(double number, FieldSlice key_text) const noexcept {
  if (len_ < k_) return true;
  if (k_ == 0) return false;
  const SortKeyRecord& worst = items_[0].record;
  const int c = compareOrderValuesThreeWay(OrderValue{number, key_text},
                                           OrderValue{worst.number, worst.key_text});
  if (c != 0) return ordersBefore(c, order_.descending);
  return !order_.more_descending.empty();
}

uint64_t TopNHeap::takeInInputOrder(SortKeyRecord* out) noexcept {
  stableSort(items_, static_cast<size_t>(len_),
             [](const Item& a, const Item& b) { return a.position < b.position; });
  for (uint64_t i = 0; i < len_; ++i) out[i] = items_[i].record;
  return std::exchange(len_, 0);
}

uint64_t TopNHeap::takeSorted(SortKeyRecord* out) noexcept {
  // The held records are put in input order before the sort, not left in
  // heap order: on a key that mixes numbers and texts the rule orders no
  // set consistently, and only a sort of the rows in input order gives the
  // order every executor gives.
  stableSort(items_, static_cast<size_t>(len_),
             [](const Item& a, const Item& b) { return a.position < b.position; });
  stableSort(items_, static_cast<size_t>(len_),
             [this](const Item& a, const Item& b) { return ranksBefore(a, b); });
  for (uint64_t i = 0; i < len_; ++i) out[i] = items_[i].record;
  return std::exchange(len_, 0);
}

namespace {

// Merge sorts every run of records that tie on their numeric first key by
// the further keys; the runs are in radix order, so equal keys are adjacent.
void sortTiedRunsByMoreKeys(SortKeyRecord* records, uint64_t n, const RecordOrder& order) noexcept {
  uint64_t first = 0;
  while (first < n) {
    const uint64_t key = foldedNumericKey(records[first].number);
    uint64_t last = first + 1;
    while (last < n && foldedNumericKey(records[last].number) == key) ++last;
    if (last - first > 1) {
      stableSort(records + first, static_cast<size_t>(last - first),
                 [&order](const SortKeyRecord& a, const SortKeyRecord& b) {
                   return compareMoreKeys(a, b, order) < 0;
                 });
    }
    first = last;
  }
}

}  // namespace

void sortSortKeyRecords(SortKeyRecord* records, uint64_t n, bool descending) noexcept {
  stableSort(records, static_cast<size_t>(n),
             [descending](const SortKeyRecord& a, const SortKeyRecord& b) {
               return sortKeyRecordLessThan(a, b, descending);
             });
}

Error sortKeyRecords(SortKeyRecord* records, uint64_t n, const RecordOrder& order,
                     std::optional<uint64_t> limit, uint64_t& kept) noexcept {
  const uint64_t result_count = limit.has_value() ? std::min(*limit, n) : n;
  if (limit.has_value() && *limit <= kTopNMaxRows && *limit < n / 4) {
    TopNHeap heap;
    TAVIX_TRY(heap.init(*limit, order));
    for (uint64_t i = 0; i < n; ++i) heap.offer(records[i]);
    kept = heap.takeSorted(records);
    return Error::ok;
  }

  bool all_numeric = n >= kRadixMinRows;
  for (uint64_t i = 0; all_numeric && i < n; ++i) all_numeric = !std::isnan(records[i].number);
  // Radix entries keep record positions in 32 bits; a larger array is merge
  // sorted instead.
  if (all_numeric && n <= std::numeric_limits<uint32_t>::max()) {
    TAVIX_TRY(radixSortRecords(records, n, order.descending));
    if (!order.more_descending.empty()) sortTiedRunsByMoreKeys(records, n, order);
  } else {
    stableSort(records, static_cast<size_t>(n),
               [&order](const SortKeyRecord& a, const SortKeyRecord& b) {
                 return compareSortKeyRecords(a, b, order) < 0;
               });
  }
  kept = result_count;
  return Error::ok;
}

FieldSlice cutLineField(FieldSlice line, uint64_t column, char delimiter) noexcept {
  const size_t len = line.size();
  size_t pos = 0;
  for (uint64_t field = 0;; ++field) {
    size_t text_start;
    size_t text_end;
    size_t field_end;
    if (pos < len && line[pos] == '"') {
      text_start = pos + 1;
      size_t i = text_start;
      while (i < len) {
        if (line[i] == '"') {
          if (i + 1 < len && line[i + 1] == '"') {
            i += 2;
            continue;
          }
          break;
        }
        ++i;
      }
      // i is the closing quote, or len when the field runs to the end.
      text_end = i;
      field_end = i < len ? i + 1 : len;
    } else {
      text_start = pos;
      size_t i = pos;
      while (i < len && line[i] != delimiter) ++i;
      text_end = i;
      field_end = i;
    }
    if (field == column) return FieldSlice(line.data() + text_start, text_end - text_start);
    if (field_end >= len || line[field_end] != delimiter) return {};
    pos = field_end + 1;
  }
}

bool orderByLineLessThan(const MultiKeySortContext& context, const SortKeyRecord& a,
                         const SortKeyRecord& b) noexcept {
  for (uint64_t k = 0; k < context.key_count; ++k) {
    const SortKey& key = context.keys[k];
    const int c = compareOrderValuesThreeWay(
        makeOrderValue(cutLineField(a.row_text, key.column, context.delimiter)),
        makeOrderValue(cutLineField(b.row_text, key.column, context.delimiter)));
    if (c != 0) return ordersBefore(c, key.descending);
  }
  return false;
}

void sortLinesByOrderKeys(SortKeyRecord* records, uint64_t n,
                          const MultiKeySortContext& context) noexcept {
  stableSort(records, static_cast<size_t>(n),
             [&context](const SortKeyRecord& a, const SortKeyRecord& b) {
               return orderByLineLessThan(context, a, b);
             });
}

std::optional<uint64_t> computeSortLimit(int32_t limit, int32_t offset) noexcept {
  if (limit < 0) return std::nullopt;
  const uint64_t skip = offset > 0 ? static_cast<uint64_t>(offset) : 0;
  return static_cast<uint64_t>(limit) + skip;
}

SortWindow computeSortWindow(uint64_t kept, int32_t limit, int32_t offset) noexcept {
  const uint64_t skip = offset > 0 ? static_cast<uint64_t>(offset) : 0;
  SortWindow window;
  window.start = std::min(kept, skip);
  window.end = limit < 0 ? kept : std::min(kept, window.start + static_cast<uint64_t>(limit));
  return window;
}

}  // namespace tavix
