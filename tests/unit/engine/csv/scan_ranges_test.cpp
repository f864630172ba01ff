#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/csv/csv_records.h"
#include "engine/csv/scan_ranges.h"
#include "platform/platform.h"

namespace tavix {
namespace {

using Record = std::pair<uint64_t, uint64_t>;  // [begin, end) without the LF

// Records of a sequential read from `start`: each record ends where
// findRecordEnd says, the next starts one past that LF.
std::vector<Record> sequentialRecords(std::string_view data, uint64_t start) {
  std::vector<Record> out;
  for (uint64_t pos = start; pos < data.size();) {
    const RecordEnd e = findRecordEnd(data.data(), data.size(), pos, ',');
    const uint64_t end = e.found ? e.position : data.size();
    out.emplace_back(pos, end);
    pos = end + 1;
  }
  return out;
}

// Records read range by range, each range from its start up to its end, the
// way a worker walks its share.
std::vector<Record> recordsByRange(std::string_view data, const std::vector<ScanRange>& ranges) {
  std::vector<Record> out;
  for (const ScanRange& r : ranges) {
    for (uint64_t pos = r.start; pos < r.end;) {
      const RecordEnd e = findRecordEnd(data.data(), r.end, pos, ',');
      const uint64_t end = e.found ? e.position : r.end;
      out.emplace_back(pos, end);
      pos = end + 1;
    }
  }
  return out;
}

// Checks the shape of the ranges and that they yield the sequential records.
void expectSameRecordsAsSequential(std::string_view data, uint64_t start, size_t n,
                                   const std::string& what) {
  std::vector<ScanRange> ranges;
  ASSERT_EQ(splitIntoScanRanges(data, start, n, ',', ranges), Error::ok) << what;
  ASSERT_EQ(ranges.size(), n) << what;
  EXPECT_EQ(ranges.front().start, start) << what;
  EXPECT_EQ(ranges.back().end, data.size()) << what;
  for (size_t k = 0; k < n; ++k) {
    EXPECT_LE(ranges[k].start, ranges[k].end) << what << " range " << k;
    if (k + 1 < n) {
      EXPECT_EQ(ranges[k].end, ranges[k + 1].start) << what << " range " << k;
    }
    // Every inner boundary lies just past an LF or at the end of the data.
    if (k > 0 && ranges[k].start < data.size()) {
      EXPECT_EQ(data[ranges[k].start - 1], '\n') << what << " range " << k;
    }
  }
  const std::vector<Record> expected = sequentialRecords(data, start);
  // Each cut lies just past the first record end of the sequential read at
  // or after its nominal offset, or at the end of the data when none follows.
  const uint64_t step = (data.size() - start) / n;
  for (size_t k = 1; k < n; ++k) {
    const uint64_t nominal = start + k * step;
    uint64_t cut = data.size();
    for (const Record& r : expected) {
      if (r.second >= nominal && r.second < data.size()) {
        cut = r.second + 1;
        break;
      }
    }
    EXPECT_EQ(ranges[k].start, cut) << what << " cut " << k;
  }
  const std::vector<Record> got = recordsByRange(data, ranges);
  ASSERT_EQ(got.size(), expected.size()) << what;
  for (size_t i = 0; i < got.size(); ++i)
    ASSERT_EQ(got[i], expected[i]) << what << " record " << i;
}

std::vector<std::pair<uint64_t, uint64_t>> asPairs(const std::vector<ScanRange>& ranges) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const ScanRange& r : ranges) out.emplace_back(r.start, r.end);
  return out;
}

TEST(SplitIntoScanRanges, CutsJustPastTheNextRecordEnd) {
  using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;
  static const struct {
    const char* data;
    uint64_t start;
    size_t n;
    Ranges expected;
  } cases[] = {
      // Nominal cuts at 4 and 8: the records holding those offsets stay whole.
      {"aaa\nbbb\nccc\nddd\n", 0, 4, {{0, 8}, {8, 12}, {12, 16}, {16, 16}}},
      {"aaa\nbbb\nccc\nddd\n", 4, 2, {{4, 12}, {12, 16}}},
      // The last record has no line end and spans the nominal offset: the
      // range holding it runs to the end of the data.
      {"a\nbbbbbbbbbbbbbbbbbbbbbbbb", 0, 2, {{0, 26}, {26, 26}}},
      // A quoted field that holds line ends is never cut, and no cut point
      // is taken from inside it.
      {"1,\"x\nx\nx\nx\nx\nx\nx\nx\",z\n2,w\n", 0, 3, {{0, 22}, {22, 22}, {22, 26}}},
      // A quote opened at a field start and never closed: the record that
      // holds it runs to the end of the data.
      {"h\nx,\"ab\ncd\nef\ngh\n", 0, 3, {{0, 17}, {17, 17}, {17, 17}}},
      // Fewer bytes than ranges: the nominal step is 0.
      {"a\nb\n", 0, 8, {{0, 2}, {2, 2}, {2, 2}, {2, 2}, {2, 2}, {2, 2}, {2, 2}, {2, 4}}},
      {"", 0, 3, {{0, 0}, {0, 0}, {0, 0}}},
      {"ab\ncd\n", 0, 1, {{0, 6}}},
      {"ab\ncd\n", 9, 2, {{6, 6}, {6, 6}}},  // start past the end is the end
  };
  for (const auto& c : cases) {
    std::vector<ScanRange> ranges;
    ASSERT_EQ(splitIntoScanRanges(c.data, c.start, c.n, ',', ranges), Error::ok) << c.data;
    EXPECT_EQ(asPairs(ranges), c.expected) << "data: " << c.data << " n " << c.n;
  }
  std::vector<ScanRange> none = {{1, 2}};
  EXPECT_EQ(splitIntoScanRanges("a\n", 0, 0, ',', none), Error::ok);
  EXPECT_TRUE(none.empty());
}

TEST(SplitIntoScanRanges, MultiLineQuotedFieldsStraddlingNominalOffsets) {
  // Every record holds a quoted field with several line ends, some of them
  // behind text that looks like the start of a quoted field, so a cut that
  // assumed "not in quotes" at a nominal offset would land inside a field
  // and, from there, mistake closing quotes for opening ones.
  std::string data = "id,text,n\n";
  const uint64_t start = data.size();
  for (int i = 0; i < 200; ++i) {
    data += std::to_string(i) + ",\"line one\n,\"x\nline \"\"three\"\"\n,\"\"\n\"," +
            std::to_string(i * 7) + "\n";
  }
  for (size_t n : {2, 3, 7, 16, 61, 200, 1000})
    expectSameRecordsAsSequential(data, start, n, std::string("n ").append(std::to_string(n)));
}

std::string randomCsv(std::mt19937_64& rng, size_t records) {
  static const char* const kFields[] = {
      "a",      "bb",        "",         "\"q\"",       "\"a\nb\"",  "\"x\"\"y\"",
      "\"\"",   "\"\n\n\"",  "p\"q",     "\"open\nend\"tail", "\"\"\"\"", "\"a,\nb\r\n\"",
      "c\r",    "\",\"",     "\"\"\"\n\"",
  };
  std::string s;
  for (size_t r = 0; r < records; ++r) {
    const size_t fields = 1 + rng() % 4;
    for (size_t f = 0; f < fields; ++f) {
      if (f > 0) s += ',';
      s += kFields[rng() % std::size(kFields)];
    }
    s += rng() % 8 == 0 ? "\r\n" : "\n";
  }
  switch (rng() % 3) {
    case 0: break;
    case 1: s += "last,\"unterminated\nrest"; break;
    default: s += "last,no,line,end"; break;
  }
  return s;
}

TEST(SplitIntoScanRanges, RandomInputsGiveTheSequentialRecords) {
  std::mt19937_64 rng(424242);
  for (int round = 0; round < 400; ++round) {
    const std::string data = randomCsv(rng, rng() % 120);
    const uint64_t start = data.empty() ? 0 : (rng() % 2 ? 0 : data.find('\n') + 1);
    const size_t n = 2 + rng() % 20;
    expectSameRecordsAsSequential(data, std::min<uint64_t>(start, data.size()), n,
                                  std::string("round ").append(std::to_string(round)).append(" data: ").append(data));
    if (HasFatalFailure()) return;
  }
}

TEST(SplitIntoScanRanges, LargeInputTracedOnHelperThreadsGivesTheSequentialRecords) {
  // Above 16 MiB the quote state is summarised on helper threads and the
  // summaries chained; the result must not differ from a sequential read.
  std::mt19937_64 rng(5);
  std::string data = "h1,h2\n";
  while (data.size() < (size_t{20} << 20)) data += randomCsv(rng, 1000);
  for (size_t n : {2, 5, 8, 33})
    expectSameRecordsAsSequential(data, 6, n, std::string("n ").append(std::to_string(n)));
}

TEST(SplitIntoScanRanges, QuotedFieldSpanningSeveralHelpersShares) {
  // A 9 MiB quoted field of quote-free lines that look like records spans
  // several nominal offsets and the shares of several helper threads. Read
  // from outside quotes those bytes never meet a quote, so only chaining the
  // helpers in the quoted state gives the right cuts.
  std::string data = "h1,h2\n";
  std::mt19937_64 rng(8);
  data += randomCsv(rng, 20000);
  data += "big,\"";
  while (data.size() < (size_t{10} << 20)) data += "1,x,2\n";
  data += "\"\n";
  while (data.size() < (size_t{20} << 20)) data += "3,4\n";
  for (size_t n : {5, 8, 9})
    expectSameRecordsAsSequential(data, 6, n, std::string("n ").append(std::to_string(n)));
}

TEST(AdvanceRecordScanState, ChainedOverPiecesEqualsOneWalk) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 2000; ++round) {
    const std::string data = randomCsv(rng, 1 + rng() % 10);
    const size_t cut = rng() % (data.size() + 1);
    const RecordScanState whole = advanceRecordScanState(
        data.data(), 0, data.size(), RecordScanState::at_field_start, ',');
    const RecordScanState first = advanceRecordScanState(
        data.data(), 0, cut, RecordScanState::at_field_start, ',');
    EXPECT_EQ(advanceRecordScanState(data.data(), cut, data.size(), first, ','), whole)
        << "data: " << data << " cut " << cut;
  }
}

// Cuts at line ends must be the exact cuts wherever the input holds no
// quote.
TEST(CutRangesAtLineEnds, MatchesExactCutsOnInputWithoutQuotes) {
  std::string data = "h1,h2\n";
  for (int i = 0; i < 500; ++i) data += std::to_string(i * 7919) + "," + std::string(i % 13, 'v') + "\n";
  data += "last,line";
  for (size_t n : {1, 2, 3, 8, 64, 999, 5000}) {
    std::vector<ScanRange> exact;
    std::vector<ScanRange> fast;
    ASSERT_EQ(splitIntoScanRanges(data, 6, n, ',', exact), Error::ok);
    ASSERT_EQ(cutRangesAtLineEnds(data, 6, n, fast), Error::ok);
    ASSERT_EQ(fast.size(), exact.size()) << n;
    for (size_t i = 0; i < exact.size(); ++i) {
      EXPECT_EQ(fast[i].start, exact[i].start) << "n " << n << " chunk " << i;
      EXPECT_EQ(fast[i].end, exact[i].end) << "n " << n << " chunk " << i;
    }
  }
}

// Blocks cut within each range by positioned reads: consecutive, covering
// each range, none empty but an empty range, every inner boundary just past an LF, the records those of a
// sequential read, and no block much longer than asked for except where a
// line is longer than the bytes looked at around a nominal cut.
TEST(SubdivideRangesAtLineEnds, CutsEachRangeIntoBlocksOfRecords) {
  std::string data = "h1,h2\n";
  for (int i = 0; i < 3000; ++i) {
    data += std::to_string(i * 7919) + "," + std::string(i % 41, 'v') + "\n";
    if (i == 1700) data += std::string(70000, 'w') + "\n";  // a line wider than the view
  }
  data += "last,line";
  const std::filesystem::path path = std::filesystem::path(testing::TempDir()) / "subdivide.csv";
  std::ofstream(path, std::ios::binary) << data;
  platform::File file;
  ASSERT_EQ(platform::openForReading(path.string(), file), Error::ok);
  const std::vector<Record> expected = sequentialRecords(data, 6);
  for (const size_t n : {size_t{1}, size_t{3}}) {
    std::vector<ScanRange> ranges;
    ASSERT_EQ(cutRangesAtLineEnds(data, 6, n, ranges), Error::ok);
    for (const uint64_t block : {uint64_t{1}, uint64_t{97}, uint64_t{4096}, uint64_t{1} << 40}) {
      const std::string what = "n " + std::to_string(n) + ", block " + std::to_string(block);
      std::vector<ScanRange> blocks;
      ASSERT_EQ(subdivideRangesAtLineEnds(file, ranges, block, blocks), Error::ok) << what;
      ASSERT_FALSE(blocks.empty()) << what;
      EXPECT_EQ(blocks.front().start, 6u) << what;
      EXPECT_EQ(blocks.back().end, data.size()) << what;
      size_t next_range = 0;
      for (size_t k = 0; k < blocks.size(); ++k) {
        if (k > 0) EXPECT_EQ(blocks[k].start, blocks[k - 1].end) << what << " block " << k;
        // Empty only where a range was empty already.
        if (blocks[k].start == blocks[k].end) {
          bool empty_range = false;
          for (const ScanRange& r : ranges) empty_range |= r.start == blocks[k].start && r.end == r.start;
          EXPECT_TRUE(empty_range) << what << " block " << k;
        }
        if (blocks[k].start > 6) EXPECT_EQ(data[blocks[k].start - 1], '\n') << what << " block " << k;
        if (next_range < ranges.size() && blocks[k].start == ranges[next_range].start) ++next_range;
        const bool wide = blocks[k].start <= data.find('w') && data.find('w') < blocks[k].end;
        if (!wide) EXPECT_LE(blocks[k].end - blocks[k].start, block + 128) << what << " block " << k;
      }
      EXPECT_EQ(next_range, ranges.size()) << what << ": every range starts a block";
      EXPECT_EQ(recordsByRange(data, blocks), expected) << what;
    }
  }
  platform::closeFile(file);
  std::filesystem::remove(path);
}

// The cuts read from the file around each nominal cut are the cuts the
// whole body in memory gives for the same nominal offsets, whether a few KiB
// around the cut settle it or not: ordinary lines, lines holding quotes,
// quoted fields over several lines, runs of quoted lines longer than the
// first read, and lines longer than it.
TEST(SubdivideRangesAtLineEnds, CutsAsTheBodyInMemoryCuts) {
  std::mt19937 rng(7);
  std::string data = "h1,h2\n";
  while (data.size() < 600000) {
    switch (rng() % 14) {
      case 0: data += "1,\"two\nlines\"\n"; break;
      case 1: data += "2,5\" tall\n"; break;
      case 2:
        for (int k = 0; k < 80; ++k) data += "3,\"q\"\n";  // every line quoted
        break;
      case 3: data += "4," + std::string(rng() % 9000, 'w') + "\n"; break;
      case 4: data += "5,x\"" + std::string(rng() % 9000, 'w') + "\n"; break;  // a quote far before its LF
      case 5: data += "6," + std::string(rng() % 9000, 'w') + ",\"x\"\n"; break;  // far after the line start
      default: data += std::to_string(rng()) + "," + std::string(rng() % 90, 'v') + "\n"; break;
    }
  }
  for (const size_t n : {size_t{7}, size_t{61}, size_t{240}}) {
    std::string body = data;
    while ((body.size() - 6) % n != 0) body += "x";
    const std::filesystem::path path = std::filesystem::path(testing::TempDir()) / "subdivide_quotes.csv";
    std::ofstream(path, std::ios::binary) << body;
    platform::File file;
    ASSERT_EQ(platform::openForReading(path.string(), file), Error::ok);
    std::vector<ScanRange> in_memory;
    ASSERT_EQ(cutRangesAtLineEnds(body, 6, n, in_memory), Error::ok);
    // In memory a cut behind the one before takes that one; positioned reads
    // leave such a cut out.
    std::vector<ScanRange> expected;
    for (const ScanRange& r : in_memory) {
      if (r.start == r.end) continue;
      expected.push_back(r);
    }
    std::vector<ScanRange> read;
    const ScanRange whole{6, body.size()};
    ASSERT_EQ(subdivideRangesAtLineEnds(file, std::span<const ScanRange>(&whole, 1), (body.size() - 6) / n, read),
              Error::ok);
    ASSERT_EQ(read.size(), expected.size()) << n;
    for (size_t i = 0; i < read.size(); ++i) {
      EXPECT_EQ(read[i].start, expected[i].start) << n << " ranges, range " << i;
      EXPECT_EQ(read[i].end, expected[i].end) << n << " ranges, range " << i;
    }
    platform::closeFile(file);
    std::filesystem::remove(path);
  }
}

}  // namespace
}  // namespace tavix
