#include "engine/csv/csv_file_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tavix {
namespace {

using Rows = std::vector<std::vector<std::string>>;

std::vector<std::string> toStrings(const FieldSlice* items, size_t count) {
  return std::vector<std::string>(items, items + count);
}

std::string joinRow(const std::vector<std::string>& row) {
  std::string s;
  for (const std::string& f : row) s += "[" + f + "]";
  return s;
}

std::string joinRows(const Rows& rows) {
  std::string s;
  for (const auto& row : rows) s += joinRow(row) + "\n";
  return s;
}

// The records of `content` parsed in memory with the mapped-data routines,
// the way a mapped executor reads its body: what the buffered reader must
// return record for record.
Rows recordsInMemory(std::string_view content) {
  Rows rows;
  ArenaAllocator arena;
  std::vector<FieldSlice> slots(kMaxRecordFields);
  for (size_t pos = 0; pos < content.size();) {
    const RecordEnd e = findRecordEnd(content.data(), content.size(), pos, ',');
    size_t end = e.found ? e.position : content.size();
    const size_t next = end + 1;
    if (end > pos && content[end - 1] == '\r') --end;
    if (end == pos) {  // an empty line holds no record
      pos = next;
      continue;
    }
    const SplitResult r = splitCsvRecord(content.data() + pos, end - pos, slots.data(),
                                         slots.size(), ',');
    EXPECT_EQ(r.error, Error::ok);
    EXPECT_EQ(unescapeDoubledQuotes(slots.data(), r.count, arena), Error::ok);
    rows.push_back(toStrings(slots.data(), r.count));
    pos = next;
  }
  return rows;
}

class CsvFileReaderTest : public ::testing::Test {
 protected:
  struct Contents {
    Error error = Error::ok;
    bool header_ended = false;
    std::vector<std::string> header;
    Rows records;
  };

  void TearDown() override {
    for (const std::string& p : paths_) TAVIX_IGNORE_ERROR(platform::deleteFile(p));
  }

  std::string writeFile(std::string_view content) {
    std::string path = ::testing::TempDir() + "/tavix_csv_reader_" +
                       std::to_string(static_cast<long long>(platform::nowNanoseconds())) + "_" +
                       std::to_string(paths_.size()) + ".csv";
    platform::File f;
    EXPECT_EQ(platform::createExclusive(path, f), Error::ok) << path;
    paths_.push_back(path);
    EXPECT_EQ(platform::writeAll(f, content.data(), content.size()), Error::ok);
    platform::closeFile(f);
    return path;
  }

  // Reads a file the way the streaming executor does: the header row owned,
  // then data records until the end or the first error.
  Contents readAll(std::string_view content, char delimiter = ',') {
    Contents out;
    platform::File f;
    EXPECT_EQ(platform::openForReading(writeFile(content), f), Error::ok);
    CsvFileReader reader;
    out.error = initCsvFileReader(reader, f);
    if (out.error == Error::ok) {
      reader.delimiter = delimiter;
      OwnedFieldList header;
      out.error = readNextCsvRecordOwned(reader, header);
      out.header_ended = header.ended();
      out.header = toStrings(header.items.data(), header.count());
      freeFieldList(header);
      while (out.error == Error::ok && !out.header_ended) {
        FieldList record;
        out.error = readNextCsvRecord(reader, record);
        if (out.error != Error::ok || record.ended()) break;
        out.records.push_back(toStrings(record.items, record.count));
      }
    }
    deinitCsvFileReader(reader);
    platform::closeFile(f);
    return out;
  }

  std::vector<std::string> paths_;
};

TEST_F(CsvFileReaderTest, RecordsHeaderAndLineEnds) {
  static const struct {
    std::string_view content;
    const char* header;
    const char* records;
  } cases[] = {
      {"\xEF\xBB\xBFid,x\n1,2\n", "[id][x]", "[1][2]\n"},
      {"a", "[a]", ""},     // shorter than a byte-order mark
      {"ab", "[ab]", ""},
      {"\xEF\xBB", "[\xEF\xBB]", ""},
      {"a,b\r\n1,2\r\n", "[a][b]", "[1][2]\n"},
      {"a\n3,4\r", "[a]", "[3][4]\n"},  // a last line's final CR is its line end
      {"h\n\"x\ny\r\nz\",2\n", "[h]", "[x\ny\r\nz][2]\n"},
      {"\"x\"\"y\",x\"\"y\nx\"\"y,\"a\"\"b\"\n", "[x\"y][x\"\"y]", "[x\"y][a\"b]\n"},
      {"h\n\n1\n", "[h]", "[1]\n"},  // an empty line holds no record
      {"h\n\"\"\n\r\n\r", "[h]", "[]\n"},  // a quoted empty field is one
      {"h\n1\n2", "[h]", "[1]\n[2]\n"},
      {"h\n\r\n", "[h]", ""},
      {"\nh\n", "[]", "[h]\n"},  // the header is the first line, empty or not
      {"\"a,\nb\"tail,c\n", "[a,\nb][c]", ""},
      {"h,\n,\n", "[h][]", "[][]\n"},
  };
  for (const auto& c : cases) {
    const Contents got = readAll(c.content);
    EXPECT_EQ(got.error, Error::ok) << "content: " << c.content;
    EXPECT_EQ(joinRow(got.header), c.header) << "content: " << c.content;
    EXPECT_EQ(joinRows(got.records), c.records) << "content: " << c.content;
  }
}

TEST_F(CsvFileReaderTest, EmptyFileEndsAtOnce) {
  const Contents got = readAll("");
  EXPECT_EQ(got.error, Error::ok);
  EXPECT_TRUE(got.header_ended);
}

TEST_F(CsvFileReaderTest, UsesTheCallersDelimiter) {
  const Contents got = readAll("a;b\n\"1;2\";3\n", ';');
  EXPECT_EQ(joinRow(got.header), "[a][b]");
  EXPECT_EQ(joinRows(got.records), "[1;2][3]\n");
}

TEST_F(CsvFileReaderTest, TooManyColumnsSkipsOnlyThatRecord) {
  std::string wide;
  for (int i = 0; i < 257; ++i) {
    wide += i ? ",v" : "v";
    wide += std::to_string(i);
  }
  const std::string content = "h\n" + wide + "\nnext\n";
  platform::File f;
  ASSERT_EQ(platform::openForReading(writeFile(content), f), Error::ok);
  CsvFileReader reader;
  ASSERT_EQ(initCsvFileReader(reader, f), Error::ok);
  FieldList record;
  ASSERT_EQ(readNextCsvRecord(reader, record), Error::ok);
  EXPECT_EQ(readNextCsvRecord(reader, record), Error::TooManyColumns);
  ASSERT_EQ(record.count, 256u);
  EXPECT_EQ(record.items[255], "v255");
  ASSERT_EQ(readNextCsvRecord(reader, record), Error::ok);
  EXPECT_EQ(joinRow(toStrings(record.items, record.count)), "[next]");
  ASSERT_EQ(readNextCsvRecord(reader, record), Error::ok);
  EXPECT_TRUE(record.ended());
  platform::closeFile(f);
}

std::string randomBody(std::mt19937_64& rng, size_t min_bytes) {
  static const char* const kFields[] = {
      "plain", "1234.5", "", "\"quoted, with comma\"", "\"multi\nline\r\nfield\"",
      "\"say \"\"hi\"\"\"", "x\"\"y", "\"\"",
  };
  std::string s;
  while (s.size() < min_bytes) {
    const size_t fields = 1 + rng() % 6;
    for (size_t f = 0; f < fields; ++f) {
      if (f > 0) s += ',';
      s += kFields[rng() % std::size(kFields)];
    }
    s += rng() % 4 == 0 ? "\r\n" : "\n";
  }
  return s;
}

TEST_F(CsvFileReaderTest, RecordsAcrossBufferRefillsMatchTheInMemoryParse) {
  // About 5 MiB, so records (some with quoted line ends) straddle the 2 MiB
  // refills.
  std::mt19937_64 rng(3);
  const std::string content = "h\n" + randomBody(rng, size_t{5} << 20);
  const Contents got = readAll(content);
  ASSERT_EQ(got.error, Error::ok);
  const Rows expected = recordsInMemory(std::string_view(content).substr(2));
  ASSERT_EQ(got.records.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i)
    ASSERT_EQ(got.records[i], expected[i]) << "record " << i;
}

// The owned field rule written out directly: a field that starts with a
// quote runs to the first quote not followed by another, each doubled quote
// on the way kept once, and the bytes after the closing quote up to the next
// delimiter are dropped (an unterminated one runs to the end); any other
// field runs to the next delimiter and is copied unchanged.
std::vector<std::string> referenceOwnedSplit(std::string_view r, char delimiter) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    size_t next;
    if (pos < r.size() && r[pos] == '"') {
      std::string field;
      size_t i = pos + 1;
      while (i < r.size() && !(r[i] == '"' && !(i + 1 < r.size() && r[i + 1] == '"'))) {
        field += r[i];
        i += r[i] == '"' ? 2 : 1;
      }
      out.push_back(field);
      next = i < r.size() ? r.find(delimiter, i + 1) : std::string_view::npos;
    } else {
      next = r.find(delimiter, pos);
      out.emplace_back(r.substr(pos, next == std::string_view::npos ? r.npos : next - pos));
    }
    if (next == std::string_view::npos) return out;
    pos = next + 1;
  }
}

TEST_F(CsvFileReaderTest, OwnedRecordsFollowTheOwnedFieldRule) {
  // Every record of the file read as an owned record (as header rows are),
  // compared with the rule above over the records that findRecordEnd cuts.
  std::mt19937_64 rng(31);
  static const char kAlphabet[] = {'a', 'b', ',', ',', '"', '"', '\r', '\n', ' '};
  std::string content(4000, ' ');
  for (char& ch : content) ch = kAlphabet[rng() % sizeof kAlphabet];
  Rows expected;
  for (size_t pos = 0; pos < content.size();) {
    const RecordEnd e = findRecordEnd(content.data(), content.size(), pos, ',');
    size_t end = e.found ? e.position : content.size();
    const size_t next = end + 1;
    if (e.found && end > pos && content[end - 1] == '\r') --end;
    expected.push_back(referenceOwnedSplit(std::string_view(content).substr(pos, end - pos), ','));
    pos = next;
  }

  platform::File f;
  ASSERT_EQ(platform::openForReading(writeFile(content), f), Error::ok);
  CsvFileReader reader;
  ASSERT_EQ(initCsvFileReader(reader, f), Error::ok);
  Rows got;
  for (;;) {
    OwnedFieldList record;
    ASSERT_EQ(readNextCsvRecordOwned(reader, record), Error::ok);
    if (record.ended()) break;
    got.push_back(toStrings(record.items.data(), record.count()));
  }
  deinitCsvFileReader(reader);
  platform::closeFile(f);
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i)
    ASSERT_EQ(joinRow(got[i]), joinRow(expected[i])) << "record " << i;
}

TEST_F(CsvFileReaderTest, RecordLongerThanTheBufferComesBackWholeAndReadingGoesOn) {
  const std::string quoted(size_t{3} << 20, 'q');
  std::string unquoted(size_t{5} << 20, 'u');
  unquoted[12345] = '"';  // a quote inside an unquoted field is an ordinary byte
  const std::string content = "h1,h2\n1,\"" + quoted + "\n" + quoted + "\"\n" + unquoted +
                              ",x\nafter,end\n";
  const Contents got = readAll(content);
  ASSERT_EQ(got.error, Error::ok);
  ASSERT_EQ(got.records.size(), 3u);
  EXPECT_EQ(got.records[0][0], "1");
  EXPECT_EQ(got.records[0][1], quoted + "\n" + quoted);
  EXPECT_EQ(got.records[1][0], unquoted);
  EXPECT_EQ(got.records[1][1], "x");
  EXPECT_EQ(joinRow(got.records[2]), "[after][end]");
}

TEST_F(CsvFileReaderTest, OwnedHeaderLongerThanTheBuffer) {
  const std::string name(size_t{3} << 20, 'n');
  const Contents got = readAll("\"" + name + "\"\"\",b\n1,2\n");
  ASSERT_EQ(got.error, Error::ok);
  ASSERT_EQ(got.header.size(), 2u);
  EXPECT_EQ(got.header[0], name + "\"");
  EXPECT_EQ(joinRows(got.records), "[1][2]\n");
}

}  // namespace
}  // namespace tavix
