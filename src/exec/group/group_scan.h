// The grouping of records: each record that passed WHERE is reduced to its
// composite key, found or added in the group map, and folded into its
// group's accumulator block.
//
// A `GroupTable` owns one group map and the arenas that hold its groups
// (composite keys, key parts, accumulator blocks and what they keep; the
// blocks' arrays in an arena of their own), their chunks whole pages (huge pages once they are large: every record reads a
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
#include "common/short_key_index.h"
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
  // the table. The arena's chunks and the map's slot arrays come from
  // `memory` (the page allocator by default), which must outlive it too.
  explicit GroupTable(const std::vector<GroupKeySpec>& keys,
                      std::span<const AggregateSpec> specs = {},
                      Allocator memory = pageAllocator());
  GroupTable(const GroupTable&) = delete;
  GroupTable& operator=(const GroupTable&) = delete;

  // Sizes the map for `groups` groups. Returns OutOfMemory.
  [[nodiscard]] Error reserve(size_t groups) noexcept { return map_.reserve(groups); }

  // Finds or adds the group of the record `fields[0, field_count)`. Returns
  // OutOfMemory.
  [[nodiscard]] Error groupOf(const FieldSlice* fields, size_t field_count, Group*& group) {
    const FieldSlice key = composeKey(fields, field_count);
    group = findShortGroup(key);
    if (group != nullptr) return Error::ok;
    bool added = false;
    return groupOfKey(key, hashGroupKey(key), group, added);
  }

  // The group of the composite key `key` while the table holds at most
  // kShortGroupLimit groups and `key` is short, found by the short-key
  // index without hashing; otherwise null, and the caller looks it up by
  // hash.
  Group* findShortGroup(FieldSlice key) const noexcept {
    if (map_.size() > kShortGroupLimit || key.size() > ShortKeyIndex<Group>::kMaxKeyBytes)
      return nullptr;
    return short_groups_.find(key);
  }

  // Folds the record `fields[0, field_count)` into its group. Returns
  // OutOfMemory.
  [[nodiscard]] Error addRecord(const FieldSlice* fields, size_t field_count) {
    Group* group = nullptr;
    TAVIX_TRY(groupOf(fields, field_count, group));
    return accumulate(*group, fields, field_count);
  }

  // Folds the record `fields[0, field_count)` into `group`, a group of this
  // table, by the table's compiled per-record step. Returns OutOfMemory.
  [[nodiscard]] Error accumulate(Group& group, const FieldSlice* fields, size_t field_count) {
    return plan_.accumulate(specs_, group.value, fields, field_count, arena_);
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
  Group* prefetchGroup(uint64_t hash) const noexcept { return map_.prefetchGroup(hash); }
  ArenaAllocator& arena() noexcept { return arena_; }
  size_t keyCount() const noexcept { return keys_.size(); }
  std::span<const AggregateSpec> specs() const noexcept { return specs_; }

 private:
  // Groups up to which every short key is also in `short_groups_`: a few
  // groups, found without hashing their key, in a table that stays in the
  // first-level cache.
  static constexpr size_t kShortGroupLimit = 64;

  const std::vector<GroupKeySpec>& keys_;
  std::span<const AggregateSpec> specs_;
  AccumulatorPlan plan_;  // the per-record step of specs_
  GroupEntryMap map_;
  ShortKeyIndex<Group> short_groups_;
  ArenaAllocator arena_;
  // The groups' accumulator arrays, apart from the groups: a group's block
  // (its key and what a lookup reads) then fills two cache lines exactly
  // for keys of up to 24 bytes, where the arrays after it would take the
  // next group's start to a third line.
  ArenaAllocator values_;
  SharedAccumulatorArrays shared_;  // made with the first group
  bool shared_ready_ = false;
  std::string key_buffer_;     // the composite key of the current record
  std::vector<char> scratch_;  // strftime and round parts
};

// Groups from which the one-thread scan folds records in batches
// (GroupRecordBatch): below it the table stays in a processor's cache and a
// record folded at once costs less than one gathered.
inline constexpr size_t kBatchedGroupMinimum = 16'384;

// Whether the aggregates of `specs` read a record's fields: every aggregate spec but
// count(*) without a condition does. Without them a record gives its group
// nothing but its key.
bool specsReadFields(std::span<const AggregateSpec> specs) noexcept;

// Records gathered for one table and folded into it together. A table too
// large for the cache makes every record wait for one random slot and one
// random group; a batch loads all its records' slots, then all their
// groups, before it folds the first record, so the waits overlap. The batch
// copies each record's key and, when it keeps fields, its fields, so the
// records' own buffers may move on. Records are folded in the order they
// were added. One batch belongs to one thread.
class GroupRecordBatch {
 public:
  // Records a batch takes before it is folded.
  static constexpr size_t kRecords = 64;

  // `keeps_fields`: whether the fold reads the records' fields. Room for
  // `room` records of short keys is taken at once, so a batch that is
  // filled and folded over and over rarely grows. May throw std::bad_alloc.
  explicit GroupRecordBatch(bool keeps_fields, size_t room = kRecords);

  // Adds the record `fields[0, field_count)` with its composite key `key`,
  // whose hash is `hash`. May throw std::bad_alloc.
  void add(FieldSlice key, uint64_t hash, const FieldSlice* fields, size_t field_count);

  size_t size() const noexcept { return hashes_.size(); }
  bool full() const noexcept { return hashes_.size() >= kRecords; }

  // Folds the records, in order, into `table`: each record's group is found
  // or added (GroupTable::groupOfKey), then `fold(Group&, const FieldSlice*
  // fields, size_t count, GroupTable&) -> Error` takes the record (no fields
  // unless the batch keeps them) and `after(Group&, GroupTable&) -> Error`
  // runs. Empties
  // the batch. Returns the first error, the records after it not folded.
  template <typename Fold, typename After>
  [[nodiscard]] Error foldInto(GroupTable& table, Fold& fold, After&& after) {
    const size_t n = hashes_.size();
    for (size_t j = 0; j < n; ++j) table.prefetchSlot(hashes_[j]);
    // The groups found here spare most records the second probe below (and
    // keep the compiler from dropping a loop whose only effect is loading).
    guesses_.resize(n);
    for (size_t j = 0; j < n; ++j) guesses_[j] = table.prefetchGroup(hashes_[j]);
    size_t key_start = 0;
    size_t field_at = 0;  // the record's first entry of field_ends_
    size_t byte_at = 0;   // the record's first field byte
    Error error = Error::ok;
    for (size_t j = 0; j < n && error == Error::ok; ++j) {
      const FieldSlice key(keys_.data() + key_start, key_ends_[j] - key_start);
      key_start = key_ends_[j];
      size_t count = 0;
      if (keeps_fields_) {
        count = record_field_ends_[j] - field_at;
        for (size_t f = 0; f < count; ++f) {
          const size_t end = field_ends_[field_at + f];
          views_[f] = FieldSlice(field_bytes_.data() + byte_at, end - byte_at);
          byte_at = end;
        }
        field_at = record_field_ends_[j];
      }
      Group* group = guesses_[j];
      if (group == nullptr || group->key != key) {
        bool added = false;
        error = table.groupOfKey(key, hashes_[j], group, added);
      }
      if (error == Error::ok) error = fold(*group, keeps_fields_ ? views_.data() : nullptr, count, table);
      if (error == Error::ok) error = after(*group, table);
    }
    clear();
    return error;
  }

 private:
  void clear() noexcept;

  bool keeps_fields_;
  std::vector<uint64_t> hashes_;
  std::vector<size_t> key_ends_;  // one per record: its key's end in keys_
  std::string keys_;
  std::vector<size_t> record_field_ends_;  // one per record: its fields' end in field_ends_
  std::vector<size_t> field_ends_;         // one per field: its end in field_bytes_
  std::string field_bytes_;
  std::vector<FieldSlice> views_;  // one record's fields while it is folded
  std::vector<Group*> guesses_;    // per record: its group as the slots show it, or null
};

}  // namespace tavix
