// The bound on one header row or record: every buffered reader (the file
// reader by record, by line and for the header, the standard-input reader,
// and the watch over a copied stream) accepts records up to the bound and
// fails with StreamTooLong past it, holding no more than about that much.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "engine/csv/csv_file_reader.h"
#include "engine/csv/record_bound.h"
#include "engine/csv/stdin_record_reader.h"
#include "support/scratch_dir.h"

namespace tavix {
namespace {

constexpr size_t kBound = 8;

class RecordBound : public testing::ScratchDir {
 protected:
  // Reads the header row and every record with the file reader; by record
  // (`by_line` false) or by line.
  Error readFile(std::string_view content, bool by_line) {
    CsvFileReader reader;
    reader.max_record_bytes = kBound;
    TAVIX_TRY(initCsvFileReader(reader, fileWith(name(), content)));
    OwnedFieldList header;
    TAVIX_TRY(readNextCsvRecordOwned(reader, header));
    for (bool ended = header.ended(); !ended;) {
      if (by_line) {
        FieldSlice line;
        TAVIX_TRY(readNextCsvRecordLine(reader, line, ended));
      } else {
        FieldList record;
        TAVIX_TRY(readNextCsvRecord(reader, record));
        ended = record.ended();
      }
    }
    return Error::ok;
  }

  Error readStdin(std::string_view content) {
    auto reader = std::make_unique<StdinRecordReader>(fileWith(name(), content), ',');
    reader->max_record_bytes = kBound;
    OwnedFieldList header;
    TAVIX_TRY(readStdinHeader(*reader, header));
    if (header.ended()) return Error::ok;
    StdinRecord record;
    do {
      TAVIX_TRY(readStdinRecord(*reader, record));
    } while (!record.atEnd());
    return Error::ok;
  }

  // Feeds the bytes to a watch in chunks of `chunk` bytes.
  static Error watch(std::string_view content, size_t chunk) {
    RecordLengthWatch w;
    w.max_record_bytes = kBound;
    for (size_t at = 0; at < content.size(); at += chunk)
      TAVIX_TRY(watchRecordLengths(w, content.data() + at, std::min(chunk, content.size() - at)));
    return finishRecordLengths(w);
  }

  std::string name() { return "in" + std::to_string(files_++); }
  int files_ = 0;
};

TEST_F(RecordBound, RecordsUpToTheBoundReadAndLongerOnesFail) {
  static const struct {
    std::string_view content;
    Error expected;
  } cases[] = {
      // Eight bytes without the line end, however the line ends.
      {"abcdefgh\n12345678\n", Error::ok},
      {"abcdefgh\r\n12345678\r\n", Error::ok},
      {"abcdefgh\n12345678", Error::ok},
      {"abcdefgh\n12345678\r", Error::ok},
      {"a\n\"1\n3456\"\n", Error::ok},  // quoted line ends are part of the record
      {"a\n123456\"\"\n", Error::ok},  // doubled quotes count as two bytes
      {"a\n\n\n\n\n\n\n\n\n\n\n\n1\n", Error::ok},
      // One byte more, in the header, in a record, in the last line.
      {"abcdefghi\n1\n", Error::StreamTooLong},
      {"abcdefghi", Error::StreamTooLong},
      {"a\n123456789\n", Error::StreamTooLong},
      {"a\n123456789\r\n", Error::StreamTooLong},
      {"a\n123456789", Error::StreamTooLong},
      {"a\n12345678x\r", Error::StreamTooLong},
      {"a\n\"1\n34567\"\n", Error::StreamTooLong},
      {"a\n1\n2\n\"unterminated quote\n", Error::StreamTooLong},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::visibleBytes(c.content));
    EXPECT_EQ(readFile(c.content, false), c.expected);
    EXPECT_EQ(readFile(c.content, true), c.expected);
    EXPECT_EQ(readStdin(c.content), c.expected);
    for (size_t chunk = 1; chunk <= c.content.size(); ++chunk)
      EXPECT_EQ(watch(c.content, chunk), c.expected) << "chunk " << chunk;
  }
}

// The real bound over input that never ends a line: each reader stops once
// it holds about the bound.
TEST_F(RecordBound, EndlessLinesStopAtTheBound) {
  const int zero = open("/dev/zero", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(zero, 0);
  {
    auto reader = std::make_unique<StdinRecordReader>(platform::File{zero}, ',');
    OwnedFieldList header;
    EXPECT_EQ(readStdinHeader(*reader, header), Error::StreamTooLong);
    StdinRecord record;
    EXPECT_EQ(readStdinRecord(*reader, record), Error::StreamTooLong);
    EXPECT_LE(record.line.capacity(), kMaxRecordBytes);
  }
  close(zero);

  // A file of 300 MiB of holes: a header line, then one record with no end.
  platform::File sparse = createFile("sparse.csv");
  ASSERT_OK(platform::writeAll(sparse, "a,b\n", 4));
  ASSERT_EQ(ftruncate(sparse.fd, off_t{300} << 20), 0);
  CsvFileReader reader;
  ASSERT_OK(initCsvFileReader(reader, sparse));
  OwnedFieldList header;
  ASSERT_OK(readNextCsvRecordOwned(reader, header));
  EXPECT_EQ(header.count(), 2u);
  FieldList record;
  EXPECT_EQ(readNextCsvRecord(reader, record), Error::StreamTooLong);
  EXPECT_LE(reader.capacity, kMaxRecordBytes + 2);
}

}  // namespace
}  // namespace tavix
