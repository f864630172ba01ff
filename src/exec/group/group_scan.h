// The grouping of records: each record that passed WHERE is reduced to its
// composite key, found or added in the group map, and folded into its
// group's accumulator block.
//
// A `GroupTable` owns one group map and the arena that holds its groups
// (composite keys, key parts, accumulator blocks and what they keep), its
// chunks whole pages (huge pages once they are large: every record reads a
// group at a random place); nothing in the arena is freed before the table
// is. Per record it reuses
// one key buffer and one scratch buffer, so a record of an existing group
// allocates nothing beyond what its aggregates keep (distinct texts, list
// values). One table belongs to one thread: the single-threaded scan has
// one, and tables filled by separate threads can be merged into one, since
// the map keeps every key's hash and `groupOfKey` takes a key made by
// another table of the same keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "exec/aggregate/accumulators.h"
#include "exec/aggregate/aggregate_select.h"
#include "exec/group/group_keys.h"
#include "exec/group/group_map.h"

namespace tavix {

// A group's value is its accumulator block, which holds its key parts (one
// per key, in key order, in the table's arena).
using GroupEntryMap = GroupMap<GroupAccumulators>;
using Group = GroupEntryMap::Group;

// Groups the map is sized for before the first record, by input size: a
// larger input tends to hold more groups, and pre-sizing spares the first
// rounds of growth.
size_t initialGroupCapacity(uint64_t input_bytes) noexcept;

class GroupTable {
 public:
  // `keys` and `specs` (the aggregates every group accumulates) must outlive
  // the table.
  explicit GroupTable(const std::vector<GroupKeySpec>& keys,
                      std::span<const AggregateSpec> specs = {});
  GroupTable(const GroupTable&) = delete;
  GroupTable& operator=(const GroupTable&) = delete;

  // Sizes the map for `groups` groups. Returns OutOfMemory.
  [[nodiscard]] Error reserve(size_t groups) noexcept { return map_.reserve(groups); }

  // Finds or adds the group of the record `fields[0, field_count)`. Returns
  // OutOfMemory.
  [[nodiscard]] Error groupOf(const FieldSlice* fields, size_t field_count, Group*& group) {
    const FieldSlice key = composeKey(fields, field_count);
    bool added = false;
    return groupOfKey(key, hashGroupKey(key), group, added);
  }

  // Folds the record `fields[0, field_count)` into its group. Returns
  // OutOfMemory.
  [[nodiscard]] Error addRecord(const FieldSlice* fields, size_t field_count) {
    Group* group = nullptr;
    TAVIX_TRY(groupOf(fields, field_count, group));
    return accumulateGroupRow(specs_, group->value, fields, field_count, arena_);
  }

  // The composite key of the record `fields[0, field_count)`: a view of the
  // record, of the table's scratch buffer or of its key buffer, valid until
  // the next call.
  FieldSlice composeKey(const FieldSlice* fields, size_t field_count);

  // Finds or adds the group of the composite key `key` (whose hash is
  // `hash`), which may come from another table of the same keys. A new group
  // gets its key copied and split into parts in this table's arena and a
  // fresh accumulator block, and sets `added`. Returns OutOfMemory.
  [[nodiscard]] Error groupOfKey(FieldSlice key, uint64_t hash, Group*& group, bool& added);

  const GroupEntryMap& map() const noexcept { return map_; }
  // prefetchSlot and prefetchGroup of the map.
  void prefetchSlot(uint64_t hash) const noexcept { map_.prefetchSlot(hash); }
  void prefetchGroup(uint64_t hash) const noexcept { map_.prefetchGroup(hash); }
  ArenaAllocator& arena() noexcept { return arena_; }
  size_t keyCount() const noexcept { return keys_.size(); }
  std::span<const AggregateSpec> specs() const noexcept { return specs_; }

 private:
  const std::vector<GroupKeySpec>& keys_;
  std::span<const AggregateSpec> specs_;
  GroupEntryMap map_;
  ArenaAllocator arena_;
  SharedAccumulatorArrays shared_;  // made with the first group
  bool shared_ready_ = false;
  std::string key_buffer_;     // the composite key of the current record
  std::vector<char> scratch_;  // strftime and round parts
};

}  // namespace tavix
