// Cutting only the leading fields of a record must give exactly the fields
// (and the field-limit error) of a full split.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/csv/csv_records.h"
#include "engine/csv/field_access.h"

namespace tavix {
namespace {

std::string fieldsOf(size_t count) {
  std::string s = "f0";
  for (size_t i = 1; i < count; ++i) s += ",f" + std::to_string(i);
  return s;
}

TEST(SplitLeadingFields, GivesTheFieldsAndTheErrorOfAFullSplit) {
  static const std::string cases[] = {
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

}  // namespace
}  // namespace tavix
