// The order of grouped output: groups in composite-key order, and the
// resolution of ORDER BY keys against the output columns and the GROUP BY
// items.
//
// Groups are listed by the unsigned bytes of their composite keys (a shorter
// key that is a prefix of another first; group_map.h explains why that is
// part-by-part order). Each entry carries the key's first sixteen bytes as
// two big-endian numbers (zero-padded), so most comparisons are one or two
// 64-bit comparisons and read no key bytes: many keys share their first
// eight bytes (names with one first name), few their first sixteen. Keys
// are unique, so the order is total and any correct sort gives one
// sequence.
//
// Pure functions on the executor's thread, after every group is complete.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/text.h"

namespace tavix {

// The first min(8, size) bytes of `key`, zero-padded, read big-endian.
uint64_t groupKeyPrefix(FieldSlice key) noexcept;

// The bytes 8 to 15 of `key` as groupKeyPrefix reads the first eight (0 for
// a key of at most 8 bytes).
inline uint64_t groupKeySecondPrefix(FieldSlice key) noexcept {
  return key.size() > 8 ? groupKeyPrefix(key.substr(8)) : 0;
}

// One group in the output order; `Group` is the group map's group type.
// Made by makeGroupSortEntry.
template <typename Group>
struct GroupSortEntry {
  uint64_t prefix = 0;         // groupKeyPrefix(key)
  uint64_t second_prefix = 0;  // groupKeySecondPrefix(key)
  FieldSlice key;
  Group* group = nullptr;
};

template <typename Group>
GroupSortEntry<Group> makeGroupSortEntry(FieldSlice key, Group* group) noexcept {
  return GroupSortEntry<Group>{groupKeyPrefix(key), groupKeySecondPrefix(key), key, group};
}

// Whether composite key a orders before b: unsigned bytes over the common
// length, then the shorter key first. `prefix_a` and `prefix_b` are their
// groupKeyPrefix values.
inline bool groupKeyLess(uint64_t prefix_a, FieldSlice a, uint64_t prefix_b,
                         FieldSlice b) noexcept {
  if (prefix_a != prefix_b) return prefix_a < prefix_b;
  const size_t common = std::min(a.size(), b.size());
  const int c = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  return c != 0 ? c < 0 : a.size() < b.size();
}

// Whether entry a's key orders before entry b's (groupKeyLess). Zero-padded
// prefixes that differ order as the keys do: at their first differing byte
// either both keys have a byte, or the shorter key has ended there and is
// a prefix of the longer one.
template <typename Group>
inline bool groupEntryLess(const GroupSortEntry<Group>& a, const GroupSortEntry<Group>& b) noexcept {
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  if (a.second_prefix != b.second_prefix) return a.second_prefix < b.second_prefix;
  return groupKeyLess(a.prefix, a.key, b.prefix, b.key);
}

// Sorts the entries by their keys. The comparison is a strict total order
// on unique keys, so an in-place unstable sort is exact here.
template <typename Group>
void sortGroupEntries(std::vector<GroupSortEntry<Group>>& entries) {
  std::sort(entries.begin(), entries.end(), groupEntryLess<Group>);
}

// Appends one entry per group of `map` (a GroupMap) to `entries`.
template <typename Map, typename Group>
void collectGroupEntries(const Map& map, std::vector<GroupSortEntry<Group>>& entries) {
  map.forEachGroup([&](uint64_t, Group& group) { entries.push_back(makeGroupSortEntry(group.key, &group)); });
}

// What an ORDER BY key of grouped output names.
struct SortKeyMatch {
  uint64_t index = 0;             // output column, or GROUP BY item when from_second_list
  bool from_second_list = false;  // the key named a GROUP BY item
  bool found = false;
};

// Resolves an ORDER BY key (as the parser keeps it, lower-cased), the first
// match deciding: a 1-based position within the labels (the integer rule,
// so "+2" is 2; 0 and positions past the end are tried as names); the first
// label equal to the key after ASCII lower-casing; the first select item
// whose expression (alias split off, trimmed, at most 256 bytes) lower-cases
// to the key; the first GROUP BY item that does (trimmed, at most 256 bytes).
// `found` false when nothing matches.
SortKeyMatch resolveSortKey(std::string_view key, std::span<const FieldSlice> labels,
                            std::span<const std::string> select_items,
                            std::span<const std::string> group_by) noexcept;

}  // namespace tavix
