// The short-key index of a join's key map finds exactly the keys the map
// holds: keys of every length up to 16 bytes that differ from each other in
// a single byte anywhere, the empty key, and longer keys, which the map
// itself answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exec/join/join_plan.h"

namespace tavix {
namespace {

// Every key of `length` bytes: a base text, and one variant per position
// with that byte changed.
std::vector<std::string> keysOf(size_t length) {
  std::vector<std::string> keys;
  std::string base;
  for (size_t i = 0; i < length; ++i) base.push_back(static_cast<char>('a' + i % 26));
  keys.push_back(base);
  for (size_t i = 0; i < length; ++i) {
    std::string v = base;
    v[i] = 'Z';
    keys.push_back(v);
  }
  return keys;
}

TEST(ShortKeyIndexTest, FindsEveryStoredKeyAndNoOther) {
  for (const size_t stored_every : {size_t{1}, size_t{2}}) {
    // All lengths 0..20 in one map; with stored_every 2 only every other
    // key is stored, so the others must be absent though near to one stored.
    std::vector<std::string> all;
    for (size_t n = 0; n <= 20; ++n)
      for (std::string& k : keysOf(n)) all.push_back(std::move(k));
    JoinKeyMap map;
    std::vector<bool> stored(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
      if (i % stored_every != 0) continue;
      JoinKeyRows* rows = nullptr;
      bool inserted = false;
      ASSERT_EQ(map.keys.getOrPut(all[i], rows, inserted), Error::ok);
      ASSERT_TRUE(inserted) << all[i];
      rows->first = i;
      stored[i] = true;
    }
    ASSERT_EQ(map.finish(), Error::ok);
    for (size_t i = 0; i < all.size(); ++i) {
      // A copy, so no lookup can lean on the stored text's address.
      const std::string probe = all[i];
      const JoinKeyRows* found = map.find(probe);
      if (stored[i]) {
        ASSERT_NE(found, nullptr) << "'" << probe << "'";
        EXPECT_EQ(found->first, i) << "'" << probe << "'";
      } else {
        EXPECT_EQ(found, nullptr) << "'" << probe << "'";
      }
    }
    // Keys of a length no stored key has, and bytes past 0x7f.
    EXPECT_EQ(map.find(std::string(40, 'a')), nullptr);
    EXPECT_EQ(map.find(std::string("\xff\xfe", 2)), nullptr);
  }
}

}  // namespace
}  // namespace tavix
