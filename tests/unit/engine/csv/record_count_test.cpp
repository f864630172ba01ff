#include "engine/csv/record_count.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <vector>

#include "engine/csv/byte_scan.h"
#include "engine/csv/chunk_reader.h"
#include "support/scratch_dir.h"
#include "support/sequences.h"

namespace tavix {
namespace {

// Every quote toggles; LFs outside quotes are records; one more for a last
// line without LF.
uint64_t referenceCount(std::string_view d) {
  uint64_t n = 0;
  bool in_quotes = false;
  for (char c : d) {
    if (c == '"') in_quotes = !in_quotes;
    if (c == '\n' && !in_quotes) ++n;
  }
  return n + (!d.empty() && d.back() != '\n');
}

// The counters count mask bits with the branch-free bit count: it agrees
// with the standard count on edge words and on random words of every
// density.
TEST(ByteScan, BitCountAgreesWithStandardCount) {
  std::vector<uint64_t> words = {0, ~uint64_t{0}, 1, uint64_t{1} << 63, 0x8000000000000001ull,
                                 0x5555555555555555ull, 0xaaaaaaaaaaaaaaaaull, 0x00ff00ff00ff00ffull};
  std::mt19937_64 rng(15);
  for (int i = 0; i < 100000; ++i) {
    uint64_t w = rng();
    for (int k = i % 4; k > 0; --k) w &= rng();  // sparser words too
    words.push_back(w);
    words.push_back(~w);
  }
  for (uint64_t w : words)
    ASSERT_EQ(byte_scan::bitCount(w), static_cast<unsigned>(std::popcount(w))) << std::hex << w;
}

TEST(CountRecordsParallel, SmallBodies) {
  static const struct {
    std::string_view body;
    uint64_t count;
  } cases[] = {
      {"a\nb\n", 2},       {"a\nb", 2},
      {"\n", 1},           {"", 0},
      {"x\n\ny\n", 3},     // the empty line counts
      {"\"a\nb\"\n", 1},   // LF inside quotes
      {"ab\"c\nd\n", 0},   // a quote inside a field toggles as well
      {"a\r\nb\r\n", 2},
  };
  for (const auto& c : cases) {
    for (uint64_t threads : {1, 8}) {
      const RecordCount r = countRecordsParallel(c.body.data(), c.body.size(), threads);
      EXPECT_EQ(r.error, Error::ok);
      EXPECT_EQ(r.count, c.count) << "body: " << c.body << " threads " << threads;
    }
  }
}

TEST(CountNewlinesQuoteAware, SplitsByQuoteParity) {
  const std::string_view chunk = "a\n\"b\nc\n\"d\n\"e\n";
  const NewlineCounts c = countNewlinesQuoteAware(chunk.data(), chunk.size());
  EXPECT_EQ(c.outside, 2u);
  EXPECT_EQ(c.inside, 3u);
  EXPECT_TRUE(c.parity);
}

TEST(CountRecordsParallel, ChunkedCountEqualsTheSingleThreadCount) {
  // Quoted fields with LFs, about 9.5 MiB, so chunk boundaries fall inside
  // quotes; the odd final length makes the last chunk longer.
  std::mt19937_64 rng(17);
  static const char* const kPieces[] = {"abc,", "12\n", "\"q\nq\",", "\"x\"\"y\"\n", "\n", "\"",
                                        "zz\r\n"};
  std::string body;
  while (body.size() < (size_t{19} << 19) + 3) body += kPieces[rng() % std::size(kPieces)];
  const uint64_t expected = referenceCount(body);
  for (uint64_t threads : {1, 2, 3, 8, 64}) {
    const RecordCount r = countRecordsParallel(body.data(), body.size(), threads);
    EXPECT_EQ(r.error, Error::ok);
    EXPECT_EQ(r.count, expected) << "threads " << threads;
  }
}

// The records a sequential reader hands out over [start, end).
RangeRecordCount referenceRangeCount(std::string_view d, size_t start, size_t end, char delimiter) {
  RangeRecordCount out;
  bool ran_over = false;
  EXPECT_EQ(forEachMappedLine(d.data(), start, end, delimiter, ran_over,
                              [&](FieldSlice, bool, bool&) {
                                ++out.count;
                                return Error::ok;
                              }),
            Error::ok);
  out.ran_over = ran_over;
  return out;
}

// The builds of the counter this processor runs: the chosen one, the
// portable one, and the AVX2 one when the processor has it.
struct RangeCounter {
  const char* name;
  RangeRecordCount (*count)(const char*, size_t, size_t, char) noexcept;
};

std::vector<RangeCounter> rangeCounters() {
  std::vector<RangeCounter> out = {{"chosen", &countRecordsInRange},
                                   {"portable", &record_count_detail::countRecordsInRangePortable}};
  if (record_count_detail::avx2Available())
    out.push_back({"avx2", &record_count_detail::countRecordsInRangeAvx2});
  return out;
}

TEST(CountRecordsInRange, TheRecordsAReaderSees) {
  static const struct {
    std::string_view body;
    uint64_t count;
    bool ran_over;
  } cases[] = {
      {"a\nb\n", 2, false},
      {"a\nb", 2, true},
      {"\n", 0, false},             // an empty line is no record
      {"\r\n", 0, false},          // nor is a lone CR
      {"\r", 0, true},
      {"x\n\ny\n\r\nz\r\n", 3, false},
      {"\r\r\n", 1, false},       // two CRs: one stays
      {"\"a\nb\"\n", 1, false},     // an LF inside quotes
      {"5\" tall\nx\n", 2, false},  // a quote inside a field is an ordinary byte
      {"ab\"c\nd\n", 2, false},
      {"a,\"b\n\nc\"\nd", 2, true},
      {"\"open\n\n", 1, true},     // an unterminated quote runs to the end
      {"a\n\"\"\n\n", 2, false},
  };
  for (const RangeCounter& counter : rangeCounters()) {
    for (const auto& c : cases) {
      const RangeRecordCount r = counter.count(c.body.data(), 0, c.body.size(), ',');
      EXPECT_EQ(r.count, c.count) << counter.name << " body: " << c.body;
      EXPECT_EQ(r.ran_over, c.ran_over) << counter.name << " body: " << c.body;
    }
  }
}

TEST(CountRecordsInRange, AgreesWithTheRecordReader) {
  // Bodies of every length up to several blocks of 64 bytes, from bytes that
  // matter to the record machine (so quotes, CRs and LFs fall on both sides
  // of block ends), counted from every record start a reader would reach,
  // by every build of the counter. Some bodies are mostly plain bytes, so
  // that the line-start carry crosses quote-free blocks.
  static const char kBytes[] = {'a', 'b', ',', '"', '\n', '\r', ';'};
  const std::vector<RangeCounter> counters = rangeCounters();
  test::Sequence seq{12345};
  for (int round = 0; round < 3000; ++round) {
    const size_t length = seq.next() % (round % 4 == 0 ? 700 : 300);
    const uint64_t weights = seq.next();
    const uint64_t plain_of_64 = round % 4 == 0 ? 62 : 32;
    std::string body;
    for (size_t i = 0; i < length; ++i) {
      // Mostly plain bytes, with quotes, LFs and CRs at a rate that varies
      // from body to body.
      const uint64_t r = seq.next();
      body.push_back(r % 64 < plain_of_64 ? 'a' : kBytes[(r >> 8) % (weights % 2 == 0 ? 7 : 5)]);
    }
    for (char delimiter : {',', ';'}) {
      const RangeRecordCount expected = referenceRangeCount(body, 0, body.size(), delimiter);
      const RecordEnd first = findRecordEnd(body.data(), body.size(), 0, delimiter);
      const size_t start = first.found ? first.position + 1 : 0;
      const RecordEnd cut = findRecordEnd(body.data(), body.size(), start, delimiter);
      const size_t end = cut.found ? cut.position + 1 : body.size();
      const RangeRecordCount part_expected = referenceRangeCount(body, start, end, delimiter);
      for (const RangeCounter& counter : counters) {
        const RangeRecordCount got = counter.count(body.data(), 0, body.size(), delimiter);
        ASSERT_EQ(got.count, expected.count) << counter.name << " body: " << body;
        ASSERT_EQ(got.ran_over, expected.ran_over) << counter.name << " body: " << body;
        if (got.ran_over) {
          // The unfinished last record starts at `tail_start`: the records
          // before it, and it when counted, are the count.
          const RangeRecordCount before = counter.count(body.data(), 0, got.tail_start, delimiter);
          ASSERT_FALSE(before.ran_over) << counter.name << " body: " << body;
          ASSERT_EQ(before.count + (got.tail_counted ? 1 : 0), got.count)
              << counter.name << " body: " << body;
        }
        // From a later record start to a record end inside the body.
        if (!first.found) continue;
        const RangeRecordCount part = counter.count(body.data(), start, end, delimiter);
        ASSERT_EQ(part.count, part_expected.count)
            << counter.name << " body: " << body << " from " << start;
      }
    }
  }
}

// Read from a file in 512 KiB pieces, a range counts as it counts in memory:
// records straddle the pieces, one quoted field is longer than a piece, and
// the last line is a lone CR or a record without LF.
class CountFileRecordsInRange : public testing::ScratchDir {};

TEST_F(CountFileRecordsInRange, CountsAsTheMappedCounter) {
  static const char* kRecords[] = {"1,plain\n", "2,5\" tall\n", "3,\"two\nlines\"\n", "\n",
                                   "\r\n", "4,\"a\"\"b\"\r\n", "5,say \"x\n", "7,\"x,\ny\",z\n"};
  test::Sequence seq{5};
  std::string body;
  while (body.size() < (size_t{5} << 19)) body += kRecords[seq.next() % 8];
  body += "8,\"" + std::string(size_t{5} << 20, 'q') + "\n" + std::string(1000, 'r') + "\"\n";
  while (body.size() < (size_t{9} << 20)) body += kRecords[seq.next() % 8];
  for (const char* tail : {"\r", "9,last", ""}) {
    const std::string text = body + tail;
    const platform::File file = fileWith(std::string("body") + (tail[0] == '\r' ? "cr" : tail[0] ? "last" : "lf"), text);
    for (size_t n : {1, 3, 7}) {
      std::vector<ScanRange> ranges;
      ASSERT_EQ(splitIntoScanRanges(text, 0, n, ',', ranges), Error::ok);
      // The exact cuts and, for the last range, the end of the file.
      for (const ScanRange& range : ranges) {
        const RangeRecordCount expected = countRecordsInRange(text.data(), range.start, range.end, ',');
        RangeRecordCount got;
        ASSERT_EQ(countFileRecordsInRange(file, range, ',', got), Error::ok);
        EXPECT_EQ(got.count, expected.count) << n << " ranges, from " << range.start;
        EXPECT_EQ(got.ran_over, expected.ran_over) << n << " ranges, from " << range.start;
      }
    }
    // A range that ends inside the long quoted field runs over.
    const ScanRange cut{0, (size_t{5} << 19) + (size_t{1} << 20)};
    const RangeRecordCount expected = countRecordsInRange(text.data(), cut.start, cut.end, ',');
    RangeRecordCount got;
    ASSERT_EQ(countFileRecordsInRange(file, cut, ',', got), Error::ok);
    EXPECT_TRUE(got.ran_over);
    EXPECT_EQ(got.count, expected.count);
  }
}

}  // namespace
}  // namespace tavix
