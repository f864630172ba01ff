#include "engine/csv/stdin_record_reader.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace tavix {
namespace {

using Records = std::vector<std::vector<std::string>>;

class StdinRecordReaderTest : public testing::ScratchDir {
 protected:
  std::unique_ptr<StdinRecordReader> readerOver(std::string_view input, char delimiter = ',') {
    const std::string name = "in" + std::to_string(files_++);
    return std::make_unique<StdinRecordReader>(fileWith(name, input), delimiter);
  }

  // Reads every record; a further read after the end must stay at the end.
  static Records readAll(StdinRecordReader& reader) {
    Records out;
    StdinRecord rec;
    for (;;) {
      EXPECT_EQ(readStdinRecord(reader, rec), Error::ok);
      if (rec.atEnd()) break;
      out.emplace_back(rec.fields.begin(), rec.fields.end());
    }
    EXPECT_EQ(readStdinRecord(reader, rec), Error::ok);
    EXPECT_TRUE(rec.atEnd());
    return out;
  }

  int files_ = 0;
};

TEST_F(StdinRecordReaderTest, RecordRules) {
  static const struct {
    std::string input;
    Records records;
  } cases[] = {
      {"", {}},
      {"a,b\nc,d", {{"a", "b"}, {"c", "d"}}},
      {"a,b\nc,d\n", {{"a", "b"}, {"c", "d"}}},
      {"a\rb\r\nc\n", {{"a"}, {"b"}, {"c"}}},
      {"a\r", {{"a"}}},
      // An empty line holds no record; a quoted empty field is one.
      {"a\r\r\nb", {{"a"}, {"b"}}},
      {"a\n\nb\n", {{"a"}, {"b"}}},
      {"\n", {}},
      {"\r\n\r\n\r", {}},
      {"\"\"\n", {{""}}},
      {",", {{"", ""}}},
      {"a,\n", {{"a", ""}}},
      {"\"x,y\",z\n", {{"x,y", "z"}}},
      {"\"a\"\"b\"\n", {{"a\"b"}}},
      // Fields split as in a file: bytes after a closing quote are dropped,
      // and every doubled quote is one quote.
      {"\"ab\"cd,e\n", {{"ab", "e"}}},
      {"\"ab\"x\n", {{"ab"}}},
      {"ab\"c\n", {{"ab\"c"}}},
      {"\"\",x\n", {{"", "x"}}},
      {"\"\"\"\"\n", {{"\""}}},
      {"a\"\"b\n", {{"a\"b"}}},
      {"x,a\"\"\"b\n", {{"x", "a\"\"b"}}},
      {"\"line\nbreak\",\"cr\rhere\",\"crlf\r\n\"\nnext", {{"line\nbreak", "cr\rhere", "crlf\r\n"}, {"next"}}},
      {"\"open,no\nclose", {{"open,no\nclose"}}},
      {"x,\"ends in quote\"", {{"x", "ends in quote"}}},
      {"  spaced , kept\t\n", {{"  spaced ", " kept\t"}}},
      {"\xEF\xBB\xBFid,name\n", {{"\xEF\xBB\xBFid", "name"}}},
  };
  for (const auto& c : cases) {
    auto reader = readerOver(c.input);
    EXPECT_EQ(readAll(*reader), c.records) << testing::visibleBytes(c.input);
  }
}

TEST_F(StdinRecordReaderTest, UsesTheGivenDelimiter) {
  auto reader = readerOver("a;b,c;\"d;e\"\n", ';');
  EXPECT_EQ(readAll(*reader), (Records{{"a", "b,c", "d;e"}}));
}

TEST_F(StdinRecordReaderTest, ByteOrderMarkIsDroppedOnlyWhenAskedAndOnlyAtTheStart) {
  static const struct {
    std::string input;
    Records records;
  } cases[] = {
      {"\xEF\xBB\xBFid\n1\n", {{"id"}, {"1"}}},
      {"\xEF\xBB\xBF\"q,x\"\n", {{"q,x"}}},  // the quote after the mark opens a field
      {"\xEF\xBB\xBF", {}},
      {"\xEF\xBB", {{"\xEF\xBB"}}},
      {"i", {{"i"}}},
      {"id\n\xEF\xBB\xBFx\n", {{"id"}, {"\xEF\xBB\xBFx"}}},
  };
  for (const auto& c : cases) {
    auto reader = readerOver(c.input);
    reader->skip_byte_order_mark = true;
    EXPECT_EQ(readAll(*reader), c.records) << testing::visibleBytes(c.input);
  }
}

TEST_F(StdinRecordReaderTest, LongFieldsComeBackWholeAndWideRecordsAreRefused) {
  std::string wide;
  std::vector<std::string> fields;
  for (int i = 0; i < 256; ++i) {
    fields.push_back("f" + std::to_string(i));
    wide += (i ? "," : "") + fields.back();
  }
  const std::string huge(3 * kStdinBufferSize + 17, 'h');
  auto reader = readerOver(wide + "\n\"" + huge + "\"\n" + huge + "\n" + wide + ",x\nlast\n");
  StdinRecord rec;
  for (const std::vector<std::string>& expected : {fields, {huge}, {huge}}) {
    ASSERT_EQ(readStdinRecord(*reader, rec), Error::ok);
    EXPECT_EQ(std::vector<std::string>(rec.fields.begin(), rec.fields.end()), expected);
  }
  // 257 fields, as in a file; the reader has moved past the record.
  EXPECT_EQ(readStdinRecord(*reader, rec), Error::TooManyColumns);
  ASSERT_EQ(readStdinRecord(*reader, rec), Error::ok);
  EXPECT_EQ(rec.fields, (std::vector<FieldSlice>{"last"}));
}

TEST_F(StdinRecordReaderTest, HeaderIsTheFirstLineSplitAsAFilesHeader) {
  static const struct {
    std::string input;
    std::vector<std::string> header;
    Records records;
  } cases[] = {
      {"id,\"n\"\"m\",x\"\"y\n1,2,3\n", {"id", "n\"m", "x\"\"y"}, {{"1", "2", "3"}}},
      {"\nid\n1\n", {""}, {{"id"}, {"1"}}},
      {"h\r\n\r\n2\r\n", {"h"}, {{"2"}}},
      {"", {}, {}},
  };
  for (const auto& c : cases) {
    auto reader = readerOver(c.input);
    OwnedFieldList header;
    ASSERT_EQ(readStdinHeader(*reader, header), Error::ok);
    EXPECT_EQ(std::vector<std::string>(header.items.begin(), header.items.end()), c.header)
        << testing::visibleBytes(c.input);
    EXPECT_EQ(readAll(*reader), c.records) << testing::visibleBytes(c.input);
  }
}

TEST_F(StdinRecordReaderTest, RulesHoldAcrossBufferRefills) {
  // The first read fills the buffer with bytes [0, kStdinBufferSize), so the
  // tail's first byte is the buffer's last and its second byte comes only
  // with the refill.
  const std::string p1(kStdinBufferSize - 1, 'p');
  const std::string p2(kStdinBufferSize - 2, 'p');
  const struct {
    const char* what;
    std::string prefix;
    std::string tail;
    std::vector<std::string> first;
  } cases[] = {
      {"CR LF split", p1, "\r\nb\n", {p1}},
      {"lone CR, next record after the refill", p1, "\rb\n", {p1}},
      {"doubled quote split", "\"" + p2, "\"\"z\"\nb\n", {p2 + "\"z"}},
      {"closing quote, delimiter after the refill", "\"" + p2, "\",q\nb\n", {p2, "q"}},
  };
  for (const auto& c : cases) {
    auto reader = readerOver(c.prefix + c.tail);
    EXPECT_EQ(readAll(*reader), (Records{c.first, {"b"}})) << c.what;
  }
}

// A plain model, one byte at a time over the whole input: lines end at LF,
// CR or CR LF outside quoted text (a quote opens quoted text only at a field
// start); empty lines are dropped; each line is then cut into fields: a
// field that starts with a quote runs to its closing quote (a doubled quote
// inside is one quote) and loses the bytes up to the next delimiter; any
// other field runs to the next delimiter, each doubled quote in it one
// quote. The buffered reader must match it at every refill point.
std::vector<std::string> referenceFields(std::string_view line, char delimiter) {
  std::vector<std::string> fields;
  size_t i = 0;
  for (;;) {
    std::string field;
    if (i < line.size() && line[i] == '"') {
      for (++i; i < line.size(); ++i) {
        if (line[i] != '"') {
          field += line[i];
        } else if (i + 1 < line.size() && line[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          break;
        }
      }
      while (i < line.size() && line[i] != delimiter) ++i;
    } else {
      for (; i < line.size() && line[i] != delimiter; ++i) {
        field += line[i];
        if (line[i] == '"' && i + 1 < line.size() && line[i + 1] == '"') ++i;
      }
    }
    fields.push_back(field);
    if (i >= line.size()) return fields;
    ++i;  // the delimiter
  }
}

Records referenceRecords(std::string_view in, char delimiter) {
  Records out;
  std::string line;
  bool in_quotes = false;
  bool field_start = true;
  auto endLine = [&] {
    if (!line.empty()) out.push_back(referenceFields(line, delimiter));
    line.clear();
    field_start = true;
  };
  for (size_t pos = 0; pos < in.size(); ++pos) {
    const char c = in[pos];
    if (in_quotes) {
      line += c;
      if (c == '"') {
        in_quotes = false;
        field_start = true;  // a second quote re-enters quoted text
      }
      continue;
    }
    if (c == '\n' || c == '\r') {
      if (c == '\r' && pos + 1 < in.size() && in[pos + 1] == '\n') ++pos;
      endLine();
      continue;
    }
    line += c;
    if (c == '"' && field_start) {
      in_quotes = true;
      field_start = false;
    } else {
      field_start = c == delimiter;
    }
  }
  endLine();
  return out;
}

TEST_F(StdinRecordReaderTest, MatchesTheByteMachineOnRandomInputAcrossRefills) {
  // Inputs of several buffers' worth of dense quoting and line ends, so that
  // every kind of byte pair (CR LF, doubled quote, closing quote then
  // delimiter or line end) falls across some refill point.
  static const struct {
    char delimiter;
    std::string_view alphabet;
  } cases[] = {
      {',', "ab,\"\"\n\r"},
      {',', "a,\"\r\r\n"},
      {';', "a;,\"\n\r "},
  };
  std::mt19937_64 rng(2024);
  for (const auto& c : cases) {
    std::string input(3 * kStdinBufferSize + rng() % 1000, ' ');
    for (char& ch : input) ch = c.alphabet[rng() % c.alphabet.size()];
    auto reader = readerOver(input, c.delimiter);
    const Records got = readAll(*reader);
    const Records expected = referenceRecords(input, c.delimiter);
    ASSERT_EQ(got.size(), expected.size()) << "alphabet " << testing::visibleBytes(c.alphabet);
    for (size_t i = 0; i < got.size(); ++i)
      ASSERT_EQ(got[i], expected[i]) << "alphabet " << testing::visibleBytes(c.alphabet)
                                     << " record " << i;
  }
}

TEST_F(StdinRecordReaderTest, EveryBytePairAcrossTheRefillPointMatchesTheByteMachine) {
  // The first read fills the buffer with exactly kStdinBufferSize bytes, so
  // the pair (first, second) below sits on the two sides of the refill. The
  // filler puts the machine in quotes, outside quotes inside a field, or
  // outside quotes at a field start right before the pair.
  static const char kBytes[] = {'a', ',', '"', '\n', '\r'};
  static const char* const kStates[] = {"in a field", "at a field start", "in quotes"};
  std::mt19937_64 rng(77);
  for (int state = 0; state < 3; ++state) {
    for (char first : kBytes) {
      for (char second : kBytes) {
        std::string input = state == 2 ? "\"" : "";
        input.append(kStdinBufferSize - 1 - input.size() - (state == 1 ? 1 : 0), 'p');
        if (state == 1) input += ',';
        input += first;
        input += second;
        for (int i = 0; i < 3; ++i) input += kBytes[rng() % std::size(kBytes)];
        ASSERT_EQ(input[kStdinBufferSize - 1], first);
        auto reader = readerOver(input);
        EXPECT_EQ(readAll(*reader), referenceRecords(input, ','))
            << kStates[state] << ", then " << testing::visibleBytes(input.substr(kStdinBufferSize - 1));
      }
    }
  }
}

TEST_F(StdinRecordReaderTest, ReadErrorIsNamedAndDropsThePartialRecord) {
  StdinRecordReader reader(platform::File{}, ',');  // no descriptor behind it
  StdinRecord rec;
  rec.fields.push_back("stale");
  EXPECT_EQ(errorName(readStdinRecord(reader, rec)), "NotOpenForReading");
  EXPECT_TRUE(rec.atEnd());
}

TEST_F(StdinRecordReaderTest, RecordKeepsItsTextsWhileAnotherIsRead) {
  auto reader = readerOver("id,name\n1,a\"\"b\n");
  OwnedFieldList header;
  StdinRecord row;
  ASSERT_EQ(readStdinHeader(*reader, header), Error::ok);
  ASSERT_EQ(readStdinRecord(*reader, row), Error::ok);
  EXPECT_EQ(header.items, (std::vector<FieldSlice>{"id", "name"}));
  EXPECT_EQ(row.fields, (std::vector<FieldSlice>{"1", "a\"b"}));
}

}  // namespace
}  // namespace tavix
