// The grouping of records: each record that passed WHERE is reduced to its
// composite key, found or added in the group map, and folded into its
// group's state.
//
// A `GroupTable` owns one group map and the arena that holds its groups
// (composite keys, key parts, per-group state); nothing in the arena is
// freed before the table is. Per record it reuses one key buffer and one
// scratch buffer, so a record of an existing group allocates nothing. One
// table belongs to one thread: the single-threaded scan has one, and tables
// filled by separate threads can be merged into one later, since the map
// keeps every key's hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "exec/group/group_keys.h"
#include "exec/group/group_map.h"

namespace tavix {

// The state of one group.
struct GroupState {
  const FieldSlice* key_parts = nullptr;  // one per key, in key order; in the arena
};

using GroupEntryMap = GroupMap<GroupState>;
using Group = GroupEntryMap::Group;

// Groups the map is sized for before the first record, by input size: a
// larger input tends to hold more groups, and pre-sizing spares the first
// rounds of growth.
size_t initialGroupCapacity(uint64_t input_bytes) noexcept;

class GroupTable {
 public:
  // `keys` must outlive the table.
  explicit GroupTable(const std::vector<GroupKeySpec>& keys);
  GroupTable(const GroupTable&) = delete;
  GroupTable& operator=(const GroupTable&) = delete;

  // Sizes the map for `groups` groups. Returns OutOfMemory.
  [[nodiscard]] Error reserve(size_t groups) noexcept { return map_.reserve(groups); }

  // Finds or adds the group of the record `fields[0, field_count)`; a new
  // group gets its key copied and split into parts in the arena. Returns
  // OutOfMemory.
  [[nodiscard]] Error groupOf(const FieldSlice* fields, size_t field_count, Group*& group);

  const GroupEntryMap& map() const noexcept { return map_; }
  ArenaAllocator& arena() noexcept { return arena_; }
  size_t keyCount() const noexcept { return keys_.size(); }

 private:
  const std::vector<GroupKeySpec>& keys_;
  GroupEntryMap map_;
  ArenaAllocator arena_;
  std::string key_buffer_;     // the composite key of the current record
  std::vector<char> scratch_;  // strftime and round parts
};

}  // namespace tavix
