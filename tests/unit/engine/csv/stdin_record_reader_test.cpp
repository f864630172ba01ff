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
      {"a\r\r\nb", {{"a"}, {""}, {"b"}}},
      {"a\n\nb\n", {{"a"}, {""}, {"b"}}},
      {"\n", {{""}}},
      {",", {{"", ""}}},
      {"a,\n", {{"a", ""}}},
      {"\"x,y\",z\n", {{"x,y", "z"}}},
      {"\"a\"\"b\"\n", {{"a\"b"}}},
      {"\"ab\"cd,e\n", {{"abcd", "e"}}},
      {"ab\"c\n", {{"ab\"c"}}},
      {"\"\",x\n", {{"", "x"}}},
      {"\"\"\"\"\n", {{"\""}}},
      {"a\"\"b\n", {{"a\"\"b"}}},
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

TEST_F(StdinRecordReaderTest, WideRecordsAndLongFieldsComeBackWhole) {
  std::string wide;
  std::vector<std::string> fields;
  for (int i = 0; i < 1000; ++i) {
    fields.push_back("f" + std::to_string(i));
    wide += (i ? "," : "") + fields.back();
  }
  const std::string huge(3 * kStdinBufferSize + 17, 'h');
  auto reader = readerOver(wide + "\n\"" + huge + "\"\n" + huge);
  EXPECT_EQ(readAll(*reader), (Records{fields, {huge}, {huge}}));
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

// The record machine one byte at a time over the whole input, with an
// explicit give-back of the byte read ahead after a closing quote or a CR:
// the plain model the buffered reader must match at every refill point.
Records referenceRecords(std::string_view in, char delimiter) {
  Records out;
  size_t pos = 0;
  auto next = [&](char& c) {
    if (pos == in.size()) return false;
    c = in[pos++];
    return true;
  };
  for (;;) {
    std::vector<std::string> fields;
    std::string field;
    bool in_quotes = false;
    bool any_byte = false;
    bool line_end = false;
    char c;
    while (!line_end && next(c)) {
      any_byte = true;
      if (in_quotes) {
        if (c != '"') {
          field += c;
          continue;
        }
        char after;
        if (!next(after)) {
          in_quotes = false;  // a quote at the end of the input closes
        } else if (after == '"') {
          field += '"';
        } else {
          in_quotes = false;
          --pos;  // given back, then handled outside quotes
        }
        continue;
      }
      if (c == '"' && field.empty()) {
        in_quotes = true;
      } else if (c == delimiter) {
        fields.push_back(field);
        field.clear();
      } else if (c == '\n') {
        line_end = true;
      } else if (c == '\r') {
        char after;
        if (next(after) && after != '\n') --pos;
        line_end = true;
      } else {
        field += c;
      }
    }
    if (!any_byte) return out;
    fields.push_back(field);
    out.push_back(std::move(fields));
  }
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
  auto reader = readerOver("id,name\n1,a\n");
  StdinRecord header;
  StdinRecord row;
  ASSERT_EQ(readStdinRecord(*reader, header), Error::ok);
  ASSERT_EQ(readStdinRecord(*reader, row), Error::ok);
  EXPECT_EQ(header.fields, (std::vector<FieldSlice>{"id", "name"}));
  EXPECT_EQ(row.fields, (std::vector<FieldSlice>{"1", "a"}));
}

}  // namespace
}  // namespace tavix
