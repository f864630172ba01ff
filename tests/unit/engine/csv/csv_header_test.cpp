#include "engine/csv/csv_header.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/csv/csv_records.h"

namespace tavix {
namespace {

std::string joinNames(const CsvHeader& h) {
  std::string s;
  for (size_t i = 0; i < h.count; ++i) {
    s += '[';
    s += h.names[i];
    s += ']';
  }
  return s;
}

TEST(ReadCsvHeader, NamesAndDataStart) {
  static const struct {
    std::string_view data;
    bool no_header_row;
    char delimiter;
    Error error;
    const char* names;
    uint64_t data_start;
  } cases[] = {
      {"", false, ',', Error::NoHeader, "", 0},
      {"id,name", false, ',', Error::NoHeader, "", 0},  // one line without a line end
      {"\xEF\xBB\xBF", false, ',', Error::NoHeader, "", 0},
      {"id,name\r\n1,2\n", false, ',', Error::ok, "[id][name]", 9},
      {"\xEF\xBB\xBFid\n1\n", false, ',', Error::ok, "[id]", 6},
      {"\xEF\xBBid\n", false, ',', Error::ok, "[\xEF\xBBid]", 5},  // not a full mark
      {"\n1\n", false, ',', Error::ok, "[]", 1},
      {"\"x\"\"y\", b ,\n1\n", false, ',', Error::ok, "[x\"\"y][ b ][]", 12},
      {"a;b,c\n", false, ';', Error::ok, "[a][b,c]", 6},
      {"\"a\nb\",c\n", false, ',', Error::ok, "[a]", 3},  // the header ends at the first LF
      {"a\r\r\n", false, ',', Error::ok, "[a\r]", 4},     // only one CR is dropped
      {"5,6,7\n", true, ',', Error::ok, "[c1][c2][c3]", 0},
      {"\xEF\xBB\xBF" "5,6\n", true, ',', Error::ok, "[c1][c2]", 0},
      {"5", true, ',', Error::NoHeader, "", 0},
  };
  for (const auto& c : cases) {
    CsvLayout layout;
    layout.no_header_row = c.no_header_row;
    layout.delimiter = c.delimiter;
    CsvHeader h;
    EXPECT_EQ(readCsvHeader(c.data, layout, h), c.error) << "data: " << c.data;
    if (c.error != Error::ok) continue;
    EXPECT_EQ(joinNames(h), c.names) << "data: " << c.data;
    EXPECT_EQ(h.data_start, c.data_start) << "data: " << c.data;
    EXPECT_EQ(h.names_owned, c.no_header_row) << "data: " << c.data;
  }
}

TEST(ReadCsvHeader, NamesPointIntoTheData) {
  const std::string data = "ab,\"cd\"\n";
  CsvHeader h;
  ASSERT_EQ(readCsvHeader(data, CsvLayout(), h), Error::ok);
  EXPECT_EQ(h.names[0].data(), data.data());
  EXPECT_EQ(h.names[1].data(), data.data() + 4);
}

TEST(ReadCsvHeader, AtMost4096Names) {
  for (size_t n : {4096, 4097}) {
    std::string data;
    for (size_t i = 0; i < n; ++i) {
      data += i ? ",h" : "h";
      data += std::to_string(i);
    }
    data += "\n";
    CsvHeader h;
    const Error e = readCsvHeader(data, CsvLayout(), h);
    EXPECT_EQ(e, n == 4096 ? Error::ok : Error::TooManyColumns) << n;
    if (e == Error::ok) {
      EXPECT_EQ(h.count, 4096u);
    }
  }
}

TEST(ReadCsvHeader, GeneratedNamesSurviveMovingTheHeader) {
  CsvLayout layout;
  layout.no_header_row = true;
  CsvHeader h;
  ASSERT_EQ(readCsvHeader("1,2,3,4,5,6,7,8,9,10,11\n", layout, h), Error::ok);
  CsvHeader moved = std::move(h);
  CsvHeader assigned;
  assigned = std::move(moved);
  ASSERT_EQ(assigned.count, 11u);
  EXPECT_EQ(assigned.names[0], "c1");
  EXPECT_EQ(assigned.names[10], "c11");
}

TEST(MakeGeneratedColumnName, DecimalWithoutLeadingZeros) {
  EXPECT_EQ(makeGeneratedColumnName(1), "c1");
  EXPECT_EQ(makeGeneratedColumnName(10), "c10");
  EXPECT_EQ(makeGeneratedColumnName(4096), "c4096");
}

TEST(ColumnIndexMap, TrimsLowerCasesAndTheFirstDuplicateWins) {
  const FieldSlice names[] = {" ID ", "id", "Id", "\tName\r\n", "\vX\f", "  ", "\xC3\x84rea",
                              "name"};
  ColumnIndexMap map;
  map.assign(names, std::size(names));
  static const struct {
    const char* key;
    std::optional<size_t> column;
  } cases[] = {
      {"id", 0},
      {"name", 3},        // TAB, CR, LF trimmed
      {"\vx\f", 4},       // vertical tab and form feed are kept
      {"x", std::nullopt},
      {"", 5},            // a blank name is the empty key
      {"\xC3\x84rea", 6},  // only ASCII letters are folded
      {"ID", std::nullopt},  // find takes an already lower-cased key
      {" id", std::nullopt},  // nor is the key trimmed
  };
  for (const auto& c : cases) EXPECT_EQ(map.find(c.key), c.column) << "key: " << c.key;

  const std::vector<std::string> expected = {"id", "id", "id", "name", "\vx\f", "", "\xC3\x84rea",
                                             "name"};
  EXPECT_EQ(map.loweredNames(), expected);
  ASSERT_EQ(map.loweredNameSlices().size(), expected.size());
  EXPECT_EQ(map.loweredNameSlices()[3], "name");
  EXPECT_EQ(map.findAnyCase("NaMe"), 3u);
}

TEST(ColumnIndexMap, KeysSurviveAMoveAndReassignment) {
  CsvHeader h;
  ASSERT_EQ(readCsvHeader("a,B,c\n", CsvLayout(), h), Error::ok);
  ColumnIndexMap map;
  map.assign(h);
  ColumnIndexMap moved = std::move(map);
  EXPECT_EQ(moved.find("b"), 1u);
  EXPECT_EQ(moved.loweredNameSlices()[1], "b");
  const FieldSlice other[] = {"z"};
  moved.assign(other, 1);
  EXPECT_EQ(moved.find("b"), std::nullopt);
  EXPECT_EQ(moved.find("z"), 0u);
  EXPECT_EQ(moved.columnCount(), 1u);
}

}  // namespace
}  // namespace tavix
