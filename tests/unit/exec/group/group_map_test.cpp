#include "exec/group/group_map.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sequences.h"

namespace tavix {
namespace {

using Parts = std::vector<std::string>;

std::string compositeKey(const Parts& parts) {
  if (parts.size() == 1) return parts[0];
  std::string key;
  for (size_t i = 0; i < parts.size(); ++i) appendCompositeKeyPart(key, parts[i], i == 0);
  return key;
}

// Part-by-part order: bytewise per part, a part that is a prefix first.
int compareParts(const Parts& a, const Parts& b) {
  for (size_t i = 0; i < a.size(); ++i) {
    const int c = std::string_view(a[i]).compare(b[i]);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  return 0;
}

int compareKeys(const std::string& a, const std::string& b) {
  const int c = std::string_view(a).compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

Parts split(const std::string& key, size_t count, ArenaAllocator& arena) {
  std::vector<FieldSlice> slices(count);
  EXPECT_EQ(splitCompositeKey(key, count, slices.data(), arena), Error::ok);
  return Parts(slices.begin(), slices.end());
}

TEST(CompositeKey, OnePartIsItsOwnBytes) {
  for (const std::string& part : {std::string(), std::string("Oslo"), std::string("a\0b", 3)})
    EXPECT_EQ(compositeKey({part}), part);
}

// Lists of parts that a plain 0x00 join would run together.
TEST(CompositeKey, DifferentPartListsNeverShareAKey) {
  const std::string z(1, '\0');
  const std::vector<std::pair<Parts, Parts>> cases = {
      {{"a" + z + "b", "c"}, {"a", "b" + z + "c"}},
      {{"a" + z, ""}, {"a", z}},
      {{"", ""}, {z, ""}},
      {{"", z}, {z, ""}},
      {{"a\x01", "b"}, {"a", "\x01" "b"}},
      {{"a" + z + "\x01", "b"}, {"a", "b"}},
      {{"a" + z + "\xff", ""}, {"a" + z, "\xff"}},
      {{"x", "y", ""}, {"x", "", "y"}},
  };
  ArenaAllocator arena;
  for (const auto& [a, b] : cases) {
    const std::string ka = compositeKey(a);
    const std::string kb = compositeKey(b);
    EXPECT_NE(ka, kb);
    EXPECT_EQ(compareKeys(ka, kb), compareParts(a, b));
    EXPECT_EQ(split(ka, a.size(), arena), a);
    EXPECT_EQ(split(kb, b.size(), arena), b);
  }
}

// Random part lists over a small alphabet that includes 0x00, 0x01 and 0xFF:
// key order is part-by-part order, equal keys only for equal lists, and
// every key splits back into its parts.
TEST(CompositeKey, KeyOrderIsPartOrderAndSplitsBack) {
  const char alphabet[] = {'\0', '\x01', '\xff', 'a', 'b'};
  test::Sequence seq{7};
  auto randomParts = [&](size_t count) {
    Parts parts(count);
    for (std::string& p : parts) {
      const size_t len = seq.next() % 4;
      for (size_t i = 0; i < len; ++i) p.push_back(alphabet[seq.next() % std::size(alphabet)]);
    }
    return parts;
  };
  ArenaAllocator arena;
  for (int round = 0; round < 20000; ++round) {
    const size_t count = 2 + seq.next() % 2;
    const Parts a = randomParts(count);
    const Parts b = randomParts(count);
    const std::string ka = compositeKey(a);
    const std::string kb = compositeKey(b);
    ASSERT_EQ(compareKeys(ka, kb), compareParts(a, b));
    ASSERT_EQ(split(ka, count, arena), a);
    arena.reset();
  }
}

TEST(CompositeKey, PartsWithoutZeroBytesAreViewsIntoTheKey) {
  const std::string key = compositeKey({"abc", "", "de"});
  ArenaAllocator arena;
  FieldSlice parts[3];
  ASSERT_EQ(splitCompositeKey(key, 3, parts, arena), Error::ok);
  EXPECT_EQ(arena.bytesInUse(), 0u);
  EXPECT_EQ(parts[0].data(), key.data());
  EXPECT_EQ(parts[2], "de");
}

struct Counter {
  uint64_t rows;
};

TEST(GroupMap, FindsEveryGroupAgainAcrossGrowth) {
  GroupMap<Counter> map;
  ArenaAllocator arena;
  std::vector<std::string> keys;
  for (int i = 0; i < 5000; ++i) keys.push_back("k" + std::to_string(i * 7919 % 5000));
  keys.push_back("");
  keys.push_back(std::string("k1\0", 3));
  for (int pass = 0; pass < 3; ++pass) {
    for (const std::string& k : keys) {
      GroupMap<Counter>::Group* g = nullptr;
      bool added = false;
      ASSERT_EQ(map.findOrAdd(k, hashGroupKey(k), arena, g, added), Error::ok);
      EXPECT_EQ(added, pass == 0) << k;
      EXPECT_EQ(g->key, k);
      EXPECT_EQ(g->value.rows, static_cast<uint64_t>(pass));
      ++g->value.rows;
    }
  }
  EXPECT_EQ(map.size(), keys.size());
  EXPECT_LE(map.size() * 5, map.capacity() * 4);
  size_t visited = 0;
  map.forEachGroup([&](uint64_t hash, GroupMap<Counter>::Group& g) {
    EXPECT_EQ(hash, hashGroupKey(g.key));
    EXPECT_EQ(g.value.rows, 3u);
    ++visited;
  });
  EXPECT_EQ(visited, keys.size());
  EXPECT_EQ(map.find("nope", hashGroupKey("nope")), nullptr);
  EXPECT_NE(map.find("k42", hashGroupKey("k42")), nullptr);
}

TEST(GroupMap, ExistingGroupsAllocateNothingAndReserveAvoidsGrowth) {
  GroupMap<Counter> map;
  ASSERT_EQ(map.reserve(512), Error::ok);
  const size_t capacity = map.capacity();
  EXPECT_GE(capacity * 4, 512u * 5);
  ArenaAllocator arena;
  for (int i = 0; i < 512; ++i) {
    const std::string k = std::to_string(i);
    GroupMap<Counter>::Group* g;
    bool added;
    ASSERT_EQ(map.findOrAdd(k, hashGroupKey(k), arena, g, added), Error::ok);
  }
  EXPECT_EQ(map.capacity(), capacity);
  const size_t in_use = arena.bytesInUse();
  for (int i = 0; i < 512; ++i) {
    const std::string k = std::to_string(i);
    GroupMap<Counter>::Group* g;
    bool added;
    ASSERT_EQ(map.findOrAdd(k, hashGroupKey(k), arena, g, added), Error::ok);
    EXPECT_FALSE(added);
  }
  EXPECT_EQ(arena.bytesInUse(), in_use);
}

}  // namespace
}  // namespace tavix
