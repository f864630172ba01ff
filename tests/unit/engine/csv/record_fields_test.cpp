// Cutting only the leading fields of a record must give exactly the fields
// (and the field-limit error) of a full split.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/csv/csv_records.h"
#include "engine/csv/field_access.h"
#include "support/failing_allocator.h"

namespace tavix {
namespace {

std::string fieldsOf(size_t count) {
  std::string s = "f0";
  for (size_t i = 1; i < count; ++i) s += ",f" + std::to_string(i);
  return s;
}

// Lines of 14 to 70 bytes with a delimiter every `step` bytes from `first`
// on: delimiters at either end of a 16-byte block and of the first 64 bytes,
// and at the last byte.
std::vector<std::string> linesAroundBlockEnds() {
  std::vector<std::string> lines;
  for (size_t length = 14; length <= 70; ++length)
    for (size_t step : {size_t{1}, size_t{5}, size_t{16}, size_t{17}, size_t{31}})
      for (size_t first : {size_t{0}, size_t{step - 1}, size_t{15}, size_t{47}, length - 1}) {
        std::string line(length, 'v');
        for (size_t i = first; i < length; i += step) line[i] = ',';
        lines.push_back(line);
      }
  return lines;
}

TEST(SplitLeadingFields, GivesTheFieldsAndTheErrorOfAFullSplit) {
  std::vector<std::string> cases = {
      "",
      ",",
      "a",
      "a,b,c",
      ",,,",
      "a,,b,",
      "123.45,item99,tools,2024-01-01 00:00:00,\r,x",
      std::string(40, 'x') + "," + std::string(17, 'y') + ",,z",
      fieldsOf(255),
      fieldsOf(256),
      fieldsOf(257),
      std::string(255, ','),
      std::string(256, ','),
      std::string(300, 'x'),
      std::string(600, 'x') + "," + std::string(600, 'y'),
  };
  for (std::string& line : linesAroundBlockEnds()) cases.push_back(std::move(line));
  FieldSlice full[kMaxRecordFields];
  FieldSlice leading[kMaxRecordFields];
  for (const std::string& line : cases) {
    const SplitResult expected = splitCsvRecord(line.data(), line.size(), full, kMaxRecordFields, ',');
    for (size_t wanted = 0; wanted < kMaxRecordFields; wanted += wanted < 20 ? 1 : 47) {
      const LeadingFields got =
          splitLeadingFields(line.data(), line.size(), leading, wanted, kMaxRecordFields, ',');
      const std::string what = "line of " + std::to_string(line.size()) + " bytes \"" +
                               line.substr(0, 40) + "\", wanted " + std::to_string(wanted);
      EXPECT_EQ(got.error, expected.error) << what;
      if (expected.error != Error::ok) continue;
      ASSERT_EQ(got.count, std::min(wanted, expected.count)) << what;
      for (size_t i = 0; i < got.count; ++i) {
        EXPECT_EQ(leading[i].data(), full[i].data()) << what << " field " << i;
        EXPECT_EQ(leading[i].size(), full[i].size()) << what << " field " << i;
      }
    }
  }
}

// Quoted records take the full split; quote-free ones are cut lazily. Both
// must give the slices and errors of `splitRecordFields`, whatever is asked
// for first.
TEST(RecordFields, AnswersAsTheFullSplitWhateverIsAskedFirst) {
  static const struct {
    const char* line;
    bool quote_free;
  } cases[] = {
      {"a,b,c,d", true},
      {"a,\"b,c\",d", false},
      {"x,\"say \"\"hi\"\"\",z", false},
      {"only", true},
      {"a,b,", true},
  };
  for (const auto& c : cases) {
    ArenaAllocator scratch;
    FieldSlice expected[kMaxRecordFields];
    size_t expected_count = 0;
    ASSERT_EQ(splitRecordFields(c.line, ',', expected, expected_count, scratch), Error::ok);
    const std::vector<std::string> want(expected, expected + expected_count);
    for (size_t first : {size_t{0}, size_t{1}, size_t{3}, kAllFields}) {
      RecordFields record;
      ArenaAllocator arena;
      record.reset(c.line, c.quote_free, ',');
      ASSERT_EQ(record.need(first, arena), Error::ok) << c.line;
      ASSERT_EQ(record.need(kAllFields, arena), Error::ok) << c.line;
      ASSERT_EQ(record.count(), want.size()) << c.line << " first " << first;
      for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(record.fields()[i], want[i]) << c.line;
    }
  }
  const std::string wide = fieldsOf(257);
  RecordFields record;
  ArenaAllocator arena;
  record.reset(wide, true, ',');
  EXPECT_EQ(record.need(2, arena), Error::TooManyColumns);
}

TEST(CutRecordFields, TheFirstFieldsOfAnyRecordUnescaped) {
  static const struct {
    std::string line;
    size_t wanted;
    std::vector<std::string> fields;
  } cases[] = {
      {"a,b,c", 2, {"a", "b"}},
      {"a,b,c", 5, {"a", "b", "c"}},
      {"a,b,c", 0, {}},
      {"a,,", 9, {"a", "", ""}},
      {"\"a\"\"b\",c", 9, {"a\"b", "c"}},
      {"\"x\"\"\"\"\",\"\"\"\"\"\"\"", 9, {"x\"\"", "\"\"\""}},
      {"5\" tall,\"\"\"q\"", 9, {"5\" tall", "\"q"}},
      {"\"a,b\",c,d", 2, {"a,b", "c"}},
      // Past the field limit nothing is refused: the first 256 fields stand.
      {fieldsOf(300), 300, {}},
      {"\"q\"," + fieldsOf(300), 2, {"q", "f0"}},
  };
  FieldSlice fields[kMaxRecordFields];
  for (const auto& c : cases) {
    for (bool quote_free : {false, true}) {
      if (quote_free && c.line.find('"') != std::string::npos) continue;
      ArenaAllocator scratch;
      size_t count = 0;
      ASSERT_EQ(cutRecordFields(c.line, quote_free, c.wanted, ',', fields, count, scratch),
                Error::ok)
          << c.line;
      if (c.line == fieldsOf(300)) {
        ASSERT_EQ(count, kMaxRecordFields);
        EXPECT_EQ(fields[255], "f255");
        continue;
      }
      ASSERT_EQ(count, c.fields.size()) << c.line;
      for (size_t i = 0; i < count; ++i) EXPECT_EQ(fields[i], c.fields[i]) << c.line << " #" << i;
    }
  }
}

TEST(CutRecordFields, AnUnescapedCopyThatCannotBeHadFailsTheRecord) {
  ArenaAllocator scratch(test::failingAllocator());
  FieldSlice fields[kMaxRecordFields];
  size_t count = 0;
  EXPECT_EQ(cutRecordFields("x,\"a\"\"b\"", false, 9, ',', fields, count, scratch),
            Error::OutOfMemory);
  // Without doubled quotes nothing is copied.
  EXPECT_EQ(cutRecordFields("x,\"ab\"", false, 9, ',', fields, count, scratch), Error::ok);
  EXPECT_EQ(fields[1], "ab");
}

}  // namespace
}  // namespace tavix
