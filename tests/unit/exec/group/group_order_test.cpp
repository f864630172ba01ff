#include "exec/group/group_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exec/group/group_map.h"

namespace tavix {
namespace {

struct Nothing {};

std::vector<std::string> orderedKeys(const std::vector<std::string>& keys) {
  GroupMap<Nothing> map;
  ArenaAllocator arena;
  for (const std::string& k : keys) {
    GroupMap<Nothing>::Group* g;
    bool added;
    EXPECT_EQ(map.findOrAdd(k, hashGroupKey(k), arena, g, added), Error::ok);
  }
  std::vector<GroupSortEntry<GroupMap<Nothing>::Group>> entries;
  collectGroupEntries(map, entries);
  sortGroupEntries(entries);
  std::vector<std::string> out;
  for (const auto& e : entries) out.emplace_back(e.key);
  return out;
}

TEST(GroupOrder, KeysOrderAsUnsignedBytesShorterPrefixFirst) {
  using V = std::vector<std::string>;
  EXPECT_EQ(orderedKeys({"9", "10", ""}), (V{"", "10", "9"}));
  EXPECT_EQ(orderedKeys({"a", "B"}), (V{"B", "a"}));
  EXPECT_EQ(orderedKeys({"ab", "a", "abc"}), (V{"a", "ab", "abc"}));
  // Past the eight bytes of the prefix the full keys decide.
  EXPECT_EQ(orderedKeys({"abcdefgh2", "abcdefgh", "abcdefgh1", "abcdefg"}),
            (V{"abcdefg", "abcdefgh", "abcdefgh1", "abcdefgh2"}));
  // Past sixteen bytes, and keys that differ from a shorter one only by
  // NUL bytes within the second eight.
  const std::string nul8(8, '\0');
  EXPECT_EQ(orderedKeys({"abcdefghijklmnoq", "abcdefgh" + nul8 + "\x01", "abcdefghijklmnopq",
                         "abcdefgh" + nul8, "abcdefgh", "abcdefghijklmnop",
                         std::string("abcdefgh\0", 9), "abcdefgh\xff"}),
            (V{"abcdefgh", std::string("abcdefgh\0", 9), "abcdefgh" + nul8,
               "abcdefgh" + nul8 + "\x01", "abcdefghijklmnop", "abcdefghijklmnopq",
               "abcdefghijklmnoq", "abcdefgh\xff"}));
  EXPECT_EQ(orderedKeys({"\xc3\xa9", "z", std::string("\0", 1)}),
            (V{std::string("\0", 1), "z", "\xc3\xa9"}));
}

TEST(GroupOrder, TwoPartKeysOrderPartByPart) {
  auto two = [](std::string a, std::string b) {
    std::string key;
    appendCompositeKeyPart(key, a, true);
    appendCompositeKeyPart(key, b, false);
    return key;
  };
  const std::vector<std::string> sorted = orderedKeys({two("ab", "c"), two("a", "z")});
  EXPECT_EQ(sorted, (std::vector<std::string>{two("a", "z"), two("ab", "c")}));
}

TEST(ResolveSortKey, PositionsLabelsExpressionsAndGroupItems) {
  const std::vector<FieldSlice> labels = {"city", "Total", "strftime('%Y', d)"};
  const std::vector<std::string> items = {"city", "count(*) AS Total", "STRFTIME('%Y', d)"};
  const std::vector<std::string> group_by = {"city", " Code "};
  const std::string long_item(300, 'x');
  static const struct {
    const char* key;
    bool found;
    uint64_t index;
    bool second;
  } cases[] = {
      {"2", true, 1, false},
      {"+3", true, 2, false},
      {"0", false, 0, false},
      {"4", false, 0, false},
      {"total", true, 1, false},
      {"count(*)", true, 1, false},  // the select expression of the labelled item
      {"strftime('%y', d)", true, 2, false},
      {"code", true, 1, true},
      {"nosuch", false, 0, false},
  };
  for (const auto& c : cases) {
    const SortKeyMatch m = resolveSortKey(c.key, labels, items, group_by);
    EXPECT_EQ(m.found, c.found) << c.key;
    if (!c.found) continue;
    EXPECT_EQ(m.index, c.index) << c.key;
    EXPECT_EQ(m.from_second_list, c.second) << c.key;
  }
  // Expressions longer than 256 bytes never match.
  const std::vector<std::string> long_items = {long_item};
  EXPECT_FALSE(resolveSortKey(long_item, {}, long_items, long_items).found);
}

}  // namespace
}  // namespace tavix
