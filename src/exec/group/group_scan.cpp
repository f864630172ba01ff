#include "exec/group/group_scan.h"

namespace tavix {

size_t initialGroupCapacity(uint64_t input_bytes) noexcept {
  if (input_bytes < (uint64_t{10} << 20)) return 128;
  if (input_bytes < (uint64_t{100} << 20)) return 512;
  if (input_bytes < (uint64_t{1} << 30)) return 2048;
  return 8192;
}

GroupTable::GroupTable(const std::vector<GroupKeySpec>& keys)
    : keys_(keys), scratch_(std::max<size_t>(1, keyPartScratchBytes(keys))) {}

Error GroupTable::groupOf(const FieldSlice* fields, size_t field_count, Group*& group) {
  FieldSlice key;
  if (keys_.size() == 1) {
    key = computeKeyPart(keys_[0], fields, field_count, scratch_.data());
  } else {
    key_buffer_.clear();
    for (size_t k = 0; k < keys_.size(); ++k)
      appendCompositeKeyPart(key_buffer_,
                             computeKeyPart(keys_[k], fields, field_count, scratch_.data()),
                             k == 0);
    key = key_buffer_;
  }
  bool added = false;
  TAVIX_TRY(map_.findOrAdd(key, hashGroupKey(key), arena_, group, added));
  if (!added) return Error::ok;
  FieldSlice* parts = static_cast<FieldSlice*>(
      arena_.alloc(keys_.size() * sizeof(FieldSlice), alignof(FieldSlice)));
  if (parts == nullptr) return Error::OutOfMemory;
  TAVIX_TRY(splitCompositeKey(group->key, keys_.size(), parts, arena_));
  group->value.key_parts = parts;
  return Error::ok;
}

}  // namespace tavix
