#include "exec/scan/distinct_row_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavix {
namespace {

// Rows are the same only when every value is; values that run into each
// other across a boundary, or differ only in length, are different rows.
// Thousands of rows make the table grow several times.
TEST(DistinctRowTable, KeepsOneOfEachRowThroughGrowth) {
  std::vector<std::string> texts;
  for (int i = 0; i < 20000; ++i) texts.push_back("v" + std::to_string(i % 10000));
  texts.push_back("ab");
  texts.push_back("c");
  texts.push_back("a");
  texts.push_back("bc");
  texts.push_back("");
  texts.push_back("");
  // Rows of two values: (texts[2i], texts[2i + 1]).
  std::vector<FieldSlice> rows(texts.begin(), texts.end());
  DistinctRowTable table(2);
  std::vector<std::string> kept;
  for (size_t r = 0; r + 1 < rows.size(); r += 2) {
    const FieldSlice* row = rows.data() + r;
    const uint64_t hash = DistinctRowTable::hashRow(row, 2);
    if (!table.isNew(row, hash)) continue;
    ASSERT_EQ(table.add(row, hash), Error::ok);
    kept.push_back(std::string(row[0]) + "|" + std::string(row[1]));
  }
  // 5000 distinct pairs among the first 20000 texts (v0|v1 .. v9998|v9999,
  // then the same again), then ab|c, a|bc and |.
  ASSERT_EQ(kept.size(), 5000u + 3u);
  EXPECT_EQ(kept[0], "v0|v1");
  EXPECT_EQ(kept[4999], "v9998|v9999");
  EXPECT_EQ(kept[5000], "ab|c");
  EXPECT_EQ(kept[5001], "a|bc");
  EXPECT_EQ(kept[5002], "|");
}

}  // namespace
}  // namespace tavix
