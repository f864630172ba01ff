#include "exec/group/group_map.h"

namespace tavix {

void appendCompositeKeyPart(std::string& key, FieldSlice part, bool first) {
  if (!first) key.append(kKeyPartSeparator, 2);
  for (;;) {
    const void* zero = part.empty() ? nullptr : std::memchr(part.data(), '\0', part.size());
    if (zero == nullptr) {
      key.append(part.data(), part.size());
      return;
    }
    const size_t n = static_cast<size_t>(static_cast<const char*>(zero) - part.data());
    key.append(part.data(), n);
    key.append(kKeyPartZero, 2);
    part.remove_prefix(n + 1);
  }
}

Error splitCompositeKey(FieldSlice key, size_t part_count, FieldSlice* parts,
                        ArenaAllocator& arena) noexcept {
  if (part_count == 1) {
    parts[0] = key;
    return Error::ok;
  }
  size_t pos = 0;
  for (size_t p = 0; p < part_count; ++p) {
    // The part runs to the next separator (or the key's end); a 0x00 byte
    // inside it is followed by 0xFF.
    const size_t begin = pos;
    size_t zeros = 0;
    while (pos < key.size()) {
      if (key[pos] == '\0') {
        if (pos + 1 < key.size() && key[pos + 1] == kKeyPartSeparator[1]) break;
        ++zeros;
        pos += 2;
        continue;
      }
      ++pos;
    }
    const size_t end = pos < key.size() ? pos : key.size();
    if (zeros == 0) {
      parts[p] = key.substr(begin, end - begin);
    } else {
      const size_t length = end - begin - zeros;
      char* out = static_cast<char*>(arena.alloc(length, 1));
      if (out == nullptr) return Error::OutOfMemory;
      size_t n = 0;
      for (size_t i = begin; i < end; ++i) {
        out[n++] = key[i];
        if (key[i] == '\0') ++i;  // skip the 0xFF of the pair
      }
      parts[p] = FieldSlice(out, length);
    }
    pos += 2;  // past the separator
  }
  return Error::ok;
}

size_t groupMapCapacityFor(size_t groups) noexcept {
  size_t capacity = 8;
  while (groups * 5 > capacity * 4) capacity *= 2;
  return capacity;
}

}  // namespace tavix
