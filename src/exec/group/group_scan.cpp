#include "exec/group/group_scan.h"

#include <algorithm>

namespace tavix {

size_t initialGroupCapacity(uint64_t input_bytes) noexcept {
  if (input_bytes < (uint64_t{10} << 20)) return 128;
  if (input_bytes < (uint64_t{100} << 20)) return 512;
  if (input_bytes < (uint64_t{1} << 30)) return 2048;
  return 8192;
}

GroupTable::GroupTable(const std::vector<GroupKeySpec>& keys, std::span<const AggregateSpec> specs,
                       Allocator memory)
    : keys_(keys), specs_(specs), map_(memory), arena_(memory), values_(memory), scratch_(std::max<size_t>(1, keyPartScratchBytes(keys))) {
  plan_.compile(specs_);
}

FieldSlice GroupTable::composeKey(const FieldSlice* fields, size_t field_count) {
  if (keys_.size() == 1) return computeKeyPart(keys_[0], fields, field_count, scratch_.data());
  key_buffer_.clear();
  for (size_t k = 0; k < keys_.size(); ++k)
    appendCompositeKeyPart(key_buffer_,
                           computeKeyPart(keys_[k], fields, field_count, scratch_.data()), k == 0);
  return key_buffer_;
}

Error GroupTable::groupOfKey(FieldSlice key, uint64_t hash, Group*& group, bool& added) {
  if (!shared_ready_) {
    TAVIX_TRY(allocSharedAccumulatorArrays(arena_, specs_, shared_));
    shared_ready_ = true;
  }
  TAVIX_TRY(map_.findOrAdd(key, hash, arena_, group, added));
  if (!added) return Error::ok;
  if (map_.size() <= kShortGroupLimit && key.size() <= ShortKeyIndex<Group>::kMaxKeyBytes)
    TAVIX_TRY(short_groups_.insert(group->key, group));
  // One key part is the composite key itself: the group's key copy serves
  // as its part list.
  const FieldSlice* parts = &group->key;
  if (keys_.size() != 1) {
    FieldSlice* split = static_cast<FieldSlice*>(
        arena_.alloc(keys_.size() * sizeof(FieldSlice), alignof(FieldSlice)));
    if (split == nullptr) return Error::OutOfMemory;
    TAVIX_TRY(splitCompositeKey(group->key, keys_.size(), split, arena_));
    parts = split;
  }
  if (specs_.empty()) {
    // Nothing to accumulate (SELECT DISTINCT, keys only): the block holds
    // the key parts alone.
    group->value.key_parts = parts;
    group->value.key_part_count = keys_.size();
    return Error::ok;
  }
  return newGroupAccumulators(values_, std::span<const FieldSlice>(parts, keys_.size()),
                              specs_.size(), shared_, group->value);
}

bool specsReadFields(std::span<const AggregateSpec> specs) noexcept {
  for (const AggregateSpec& spec : specs)
    if (spec.kind != AggregateKind::count || spec.has_column || spec.has_case) return true;
  return false;
}

GroupRecordBatch::GroupRecordBatch(bool keeps_fields, size_t room) : keeps_fields_(keeps_fields) {
  // Bytes of key and of fields per record the room is made for.
  constexpr size_t kKeyBytes = 32;
  constexpr size_t kFieldBytes = 64;
  constexpr size_t kFields = 4;
  hashes_.reserve(room);
  key_ends_.reserve(room);
  keys_.reserve(room * kKeyBytes);
  guesses_.reserve(room);
  if (!keeps_fields_) return;
  record_field_ends_.reserve(room);
  field_ends_.reserve(room * kFields);
  field_bytes_.reserve(room * kFieldBytes);
}

void GroupRecordBatch::add(FieldSlice key, uint64_t hash, const FieldSlice* fields,
                           size_t field_count) {
  hashes_.push_back(hash);
  keys_.append(key);
  key_ends_.push_back(keys_.size());
  if (!keeps_fields_) return;
  if (field_count > views_.size()) views_.resize(field_count);
  for (size_t f = 0; f < field_count; ++f) {
    field_bytes_.append(fields[f]);
    field_ends_.push_back(field_bytes_.size());
  }
  record_field_ends_.push_back(field_ends_.size());
}

void GroupRecordBatch::clear() noexcept {
  hashes_.clear();
  key_ends_.clear();
  keys_.clear();
  record_field_ends_.clear();
  field_ends_.clear();
  field_bytes_.clear();
}

}  // namespace tavix
