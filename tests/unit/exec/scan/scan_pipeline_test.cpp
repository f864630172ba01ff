#include "exec/scan/scan_pipeline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql/condition_parser.h"

namespace tavix {
namespace {

using std::string_literals::operator""s;

// A query with only a WHERE, over a fixed header.
struct FilterFixture {
  ParsedQuery query;
  std::vector<FieldSlice> header{"name", "qty", "price"};
  ColumnIndexMap map;
  RowFilter filter;

  Error build(const std::string& where, bool strict) {
    query.has_where = true;
    TAVIX_TRY(parseCondition(where, query.where));
    map.assign(header.data(), header.size());
    return filter.init(query, map, strict);
  }
};

TEST(RowFilter, SingleComparisonsAndTreesAgreeOnEveryRecordShape) {
  // Records: a full one, one with a non-numeric price, one with an empty
  // qty, and a short one that stops after its name.
  const std::vector<std::vector<FieldSlice>> records = {
      {"pen", "3", "12"}, {"mug", "7", "abc"}, {"lamp", "", "35"}, {"cup"}};
  static const struct {
    const char* where;
    const char* expected;  // one letter per record: y passes, n is dropped
  } cases[] = {
      {"price > 10", "ynyn"},
      {"price != 12", "nnyn"},          // a non-number fails `ne` too
      {"price = '12'", "ynnn"},         // a quoted number is a number
      {"price > 1e1", "ynyn"},
      {"qty IS NULL", "nnyy"},          // a missing field is the empty text
      {"qty IS NOT NULL", "yynn"},
      {"price IS NULL", "nnny"},
      {"name != 'pen'", "nyyy"},
      {"price != 'x'", "yyyy"},         // text comparison: missing is ""
      {"qty IN ('3', '')", "ynyy"},
      {"qty NOT IN ('3')", "nyyy"},
      {"price BETWEEN 10 AND 40", "ynyn"},
      {"name LIKE '%p'", "nnyy"},
      {"qty % 2 = 1", "yynn"},
      // The same leaves inside a tree give the same answers.
      {"qty IS NULL OR name = 'zz'", "nnyy"},
      {"NOT qty IS NOT NULL", "nnyy"},
      {"price > 10 AND name != 'x'", "ynyn"},
  };
  for (const auto& c : cases) {
    FilterFixture f;
    ASSERT_EQ(f.build(c.where, false), Error::ok) << c.where;
    std::string got;
    for (const auto& record : records) {
      bool pass = false;
      ASSERT_EQ(f.filter.test(record.data(), record.size(), pass), Error::ok) << c.where;
      got.push_back(pass ? 'y' : 'n');
    }
    EXPECT_EQ(got, c.expected) << c.where;
  }
}

TEST(RowFilter, StrictModeFailsOnlyWhereASingleNumericComparisonMeetsANonNumber) {
  static const struct {
    const char* where;
    std::vector<FieldSlice> record;
    Error expected;
    bool pass;
  } cases[] = {
      {"price > 10", {"pen", "3", "12"}, Error::ok, true},
      {"price > 10", {"pen", "3", "5"}, Error::ok, false},
      {"price > 10", {"mug", "7", "abc"}, Error::StrictModeNonNumericValue, false},
      {"price > 10", {"mug", "7", " 12"}, Error::StrictModeNonNumericValue, false},
      {"price > 10", {"cup"}, Error::StrictModeNonNumericValue, false},
      {"name = 'mug'", {"mug", "7", "abc"}, Error::ok, true},  // no numeric literal
      {"price > 10 OR name = 'mug'", {"mug", "7", "abc"}, Error::ok, true},  // a tree
  };
  for (const auto& c : cases) {
    FilterFixture f;
    ASSERT_EQ(f.build(c.where, true), Error::ok) << c.where;
    bool pass = !c.pass;
    EXPECT_EQ(f.filter.test(c.record.data(), c.record.size(), pass), c.expected) << c.where;
    EXPECT_EQ(pass, c.pass) << c.where;
  }
}

TEST(RowFilter, ConditionColumnsMustBeHeaderNames) {
  for (const char* where : {"nosuch = 1", "qty > 1 AND nosuch IS NULL", "NOT nosuch = 'a'"}) {
    FilterFixture f;
    EXPECT_EQ(f.build(where, false), Error::ColumnNotFound) << where;
  }
  FilterFixture none;
  none.map.assign(none.header.data(), none.header.size());
  ASSERT_EQ(none.filter.init(none.query, none.map, true), Error::ok);
  bool pass = false;
  EXPECT_EQ(none.filter.test(nullptr, 0, pass), Error::ok);
  EXPECT_TRUE(pass);
}

// A field that reads as NaN is a number: strict mode lets it through, and
// of the numeric operators only `!=` accepts it.
TEST(RowFilter, NanFieldsAreNumbersThatOnlyNotEqualAccepts) {
  static const struct {
    const char* where;
    FieldSlice price;
    bool pass;
  } cases[] = {
      {"price != 12", "nan", true},       {"price = 12", "nan", false},
      {"price > 10", "nan", false},       {"price <= 10", "-nan", false},
      {"price BETWEEN 1 AND 99", "nan", false},
      {"price != 'nan'", "12", true},     {"price = 'nan'", "nan", false},
      {"price < 'inf'", "12", true},      {"price >= '-infinity'", "-inf", true},
  };
  for (const auto& c : cases) {
    FilterFixture f;
    ASSERT_EQ(f.build(c.where, true), Error::ok) << c.where;
    const std::vector<FieldSlice> record = {"pen", "3", c.price};
    bool pass = !c.pass;
    EXPECT_EQ(f.filter.test(record.data(), record.size(), pass), Error::ok)
        << c.where << " on " << c.price;
    EXPECT_EQ(pass, c.pass) << c.where << " on " << c.price;
  }
}

TEST(AppendRenderedCsvRow, QuotesForTheDelimiterLineEndsAndQuotesOnly) {
  static const struct {
    std::vector<FieldSlice> values;
    char delimiter;
    const char* expected;
  } cases[] = {
      {{"a\"b", "x,y", "plain"}, ',', "\"a\"\"b\",\"x,y\",plain"},
      {{"a\"b", "x,y", "p;q"}, ';', "\"a\"\"b\";x,y;\"p;q\""},
      {{"two\nlines", "cr\r", "tab\there"}, ',', "\"two\nlines\",\"cr\r\",tab\there"},
      {{"", "", ""}, '|', "||"},
      {{"\"\""}, ',', "\"\"\"\"\"\""},
      {{}, ',', ""},
  };
  for (const auto& c : cases) {
    TextBuffer buffer;
    ASSERT_EQ(appendToTextBuffer(buffer, "<"), Error::ok);
    ASSERT_EQ(appendRenderedCsvRow(buffer, c.values, c.delimiter), Error::ok) << c.expected;
    EXPECT_EQ(buffer.view(), std::string("<") + c.expected);
  }
}

TEST(DistinctRowSet, KeysAreWholeRowsAndValuesStayApart) {
  const std::string long_a = std::string(9000, 'x') + "a";
  const std::string long_b = std::string(9000, 'x') + "b";
  DistinctRowSet set;
  static const auto insert = [](DistinctRowSet& s, std::vector<FieldSlice> row) {
    bool fresh = false;
    EXPECT_EQ(s.insertRow(row, fresh), Error::ok);
    return fresh;
  };
  EXPECT_TRUE(insert(set, {long_a, "1"}));
  EXPECT_TRUE(insert(set, {long_b, "1"}));   // differs only past 9000 bytes
  EXPECT_FALSE(insert(set, {long_a, "1"}));
  EXPECT_TRUE(insert(set, {"a\0"s, "b"}));
  EXPECT_TRUE(insert(set, {"a", "\0b"s}));   // same bytes joined, other values
  EXPECT_TRUE(insert(set, {"x1", ""}));
  EXPECT_TRUE(insert(set, {"x", "1"}));
  EXPECT_TRUE(insert(set, {}));
  EXPECT_FALSE(insert(set, {}));
  EXPECT_TRUE(insert(set, {""}));            // one empty value is not no value
  EXPECT_FALSE(insert(set, {"x", "1"}));
}

TEST(ResolveOrderByColumn, PositionsThenLabelsThenSourceNames) {
  // Output columns: price (labelled "Cost"), upper(name), qty.
  const std::vector<FieldSlice> lowered_header = {"name", "qty", "price", "2"};
  const std::vector<FieldSlice> labels = {"Cost", "upper(name)", "QTY"};
  std::vector<OutputColumnSpec> specs(3);
  specs[0].column = 2;
  specs[1].kind = OutputColumnKind::expression;
  specs[2].column = 1;
  static const struct {
    const char* key;
    bool found;
    uint64_t index;
  } cases[] = {
      {"1", true, 0},  {"+2", true, 1}, {"3", true, 2}, {"0", false, 0},
      {"4", false, 0}, {"-1", false, 0}, {"cost", true, 0}, {"upper(name)", true, 1},
      {"qty", true, 2},    // the label, lower-cased
      {"price", true, 0},  // the source name of an output column
      {"name", false, 0},  // only an expression reads it
      {"2x", false, 0},    {"", false, 0},
  };
  for (const auto& c : cases) {
    uint64_t index = 99;
    bool found = true;
    ASSERT_EQ(resolveOrderByColumn(c.key, labels, specs, lowered_header, index, found),
              Error::ok)
        << c.key;
    EXPECT_EQ(found, c.found) << c.key;
    if (c.found) {
      EXPECT_EQ(index, c.index) << c.key;
    }
  }
}

}  // namespace
}  // namespace tavix
