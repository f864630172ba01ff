// The whole-table executor under the options the exported functions never
// set, with a pre-opened input, and the lone count(*) on several threads.
#include "exec/aggregate/global_aggregate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "exec/aggregate/aggregate_records.h"
#include "support/aggregating_executor_run.h"
#include "support/sequences.h"
#include "support/thread_sweep.h"

namespace tavix {
namespace {

class GlobalAggregateTest : public testing::AggregatingExecutorRun {
 protected:
  GlobalAggregateTest() : AggregatingExecutorRun(runGlobalAggregateQuery) {}
};

TEST_F(GlobalAggregateTest, OptionsShapeTheAnswer) {
  QueryOptions plain;
  QueryOptions strict;
  strict.strict = true;
  QueryOptions headerless;
  headerless.no_header_row = true;
  QueryOptions bare;
  bare.omit_header = true;
  QueryOptions lines;
  lines.output_format = OutputFormat::json_lines;
  QueryOptions semicolon;
  semicolon.delimiter = ';';

  const std::string prices = "id,price\n1,5\n2, 12 \n3,abc\n4\n5,20\n";
  static const struct {
    const char* name;
    const QueryOptions* options;
    std::string input;
    const char* sql;
    const char* expected;
  } cases[] = {
      {"plain", &plain, prices, "SELECT count(*), sum(price) FROM '{IN}' WHERE price > 10",
       "count(*),sum(price)\n2,32\n"},
      // Strict mode fails on a field that is no number under a single numeric
      // comparison; a short record is still only skipped.
      {"strict", &strict, prices, "SELECT count(*) FROM '{IN}' WHERE price > 10",
       "error: StrictModeNonNumericValue"},
      {"strict short", &strict, "id,price\n1,5\n4\n", "SELECT count(*) FROM '{IN}' WHERE price > 1",
       "count(*)\n1\n"},
      {"strict tree", &strict, prices, "SELECT count(*) FROM '{IN}' WHERE price > 10 OR id = 3",
       "count(*)\n3\n"},
      {"strict text", &strict, prices, "SELECT count(*) FROM '{IN}' WHERE price = 'abc'",
       "count(*)\n1\n"},
      // Without a header row the first line is a record, a byte-order mark
      // included.
      {"headerless", &headerless, "\xEF\xBB\xBF" "5,a\n7,b\n",
       "SELECT count(*), sum(c1), count(c1), group_concat(c2) FROM '{IN}'",
       "count(*),sum(c1),count(c1),group_concat(c2)\n2,7,2,\"a,b\"\n"},
      {"headerless lone count", &headerless, "5\n7\n", "SELECT count(*) FROM '{IN}'", "count(*)\n2\n"},
      {"omitted header", &bare, prices, "SELECT count(*) FROM '{IN}'", "5\n"},
      {"omitted header, no row", &bare, prices, "SELECT count(*) FROM '{IN}' LIMIT 0", ""},
      {"json lines", &lines, prices, "SELECT count(*) AS n FROM '{IN}'", "{\"n\":5}\n"},
      {"json lines, no row", &lines, prices, "SELECT count(*) AS n FROM '{IN}' OFFSET 1", ""},
      {"semicolon", &semicolon, "a;b\n1;x,y\n2;z\n",
       "SELECT sum(a), group_concat(b, ';') FROM '{IN}'",
       "sum(a);\"group_concat(b, ';')\"\n3;\"x,y;z\"\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.input, c.sql, *c.options), c.expected) << c.name;
  }
}

TEST_F(GlobalAggregateTest, APreopenedInputStaysOpen) {
  const QueryOptions options;
  EXPECT_EQ(run("a\n1\n2\n", "SELECT sum(a) FROM stdin", options, true), "sum(a)\n3\n");
  EXPECT_EQ(run("a\n1\n", "SELECT count(*) FROM stdin", options, true), "count(*)\n1\n");
  EXPECT_EQ(run("a\n1\n", "SELECT sum(b) FROM stdin", options, true), "error: ColumnNotFound");
  EXPECT_EQ(run("", "SELECT sum(a) FROM stdin", options, true), "error: EmptyFile");
}

// A body of at least `bytes` bytes whose records hold quotes at field
// starts and inside fields, quoted line ends, CRLF ends, empty lines, lines
// of one CR, records of 300 fields (read as their first 256), and whose last
// record, the only one with the note "last", has no line end.
std::string awkwardBody(size_t bytes = size_t{3} << 20) {
  std::string wide = "10,wide";
  for (int f = 2; f < 300; ++f) wide += ",w";
  wide += "\n";
  const std::string records[] = {
      "1,plain\n", "2,5\" tall\n", "3,\"two\nlines\"\n", "\n", "\r\n", "4,\"a\"\"b\"\r\n",
      "5,say \"x\n", "6,\"\"\n", "7,\"x,\ny\",z\n", "8,\"\"\"\"\n", wide, "11,n11\n", " 12 ,sp\n",
  };
  test::Sequence seq{99};
  std::string body = "id,note\n";
  while (body.size() < bytes) {
    const uint64_t r = seq.next();
    // Mostly the plain record with one of a few hundred notes, so that
    // counts of distinct notes and medians have something to do.
    if (r % 4 != 0) {
      body += std::to_string(r % 1000) + ",p" + std::to_string((r >> 20) % 300) + "\n";
    } else {
      body += records[(r >> 8) % std::size(records)];
    }
  }
  body += "9,last";
  return body;
}

// The records of a body read from the file by positioned reads (the
// workers, and one thread over a large input) are the records of the walk
// over the mapped bytes, field for field, however many leading fields are
// cut: quoted line ends, doubled quotes, CRLF, empty lines, wide records and
// records across the reads included.
TEST_F(GlobalAggregateTest, PositionedReadsGiveTheRecordsOfTheMappedWalk) {
  const std::string body = awkwardBody();
  const platform::File file = fileWith("walk.csv", body);
  const uint64_t start = body.find('\n') + 1;
  const ParsedQuery no_where;
  RowFilter filter;
  ColumnIndexMap map;
  ASSERT_EQ(filter.init(no_where, map, false, WhereLeafRule::aggregate), Error::ok);
  const auto keep = [](std::vector<std::vector<std::string>>& out) {
    return [&out](const AggregateRecord& record) {
      out.emplace_back(record.fields, record.fields + record.count);
      return Error::ok;
    };
  };
  for (size_t span : {size_t{1}, size_t{2}, kMaxRecordFields}) {
    std::vector<std::vector<std::string>> mapped;
    bool ran_over = false;
    ASSERT_EQ(forEachAggregateRecord(body.data(), start, body.size(), ',', span, filter, ran_over,
                                     keep(mapped)),
              Error::ok);
    EXPECT_TRUE(ran_over);
    ParallelPass pass;
    ChunkWorkerBase whole;
    whole.range = ScanRange{start, body.size()};
    whole.pass = &pass;
    std::vector<std::vector<std::string>> read;
    ASSERT_EQ(forEachRangeAggregateRecord(file, ',', span, filter, whole, keep(read)), Error::ok);
    ASSERT_GT(mapped.size(), 10000u);
    EXPECT_EQ(read, mapped) << span << " fields";
    EXPECT_EQ(mapped.back(), (span == 1 ? std::vector<std::string>{"9"}
                                         : std::vector<std::string>{"9", "last"}));
  }
}

TEST_F(GlobalAggregateTest, LoneCountStarCountsTheRecordsOfTheLoopOnAnyThreadCount) {
  const std::string body = awkwardBody();
  const QueryOptions one;
  const std::string expected = run(body, "SELECT count(*) AS n, min(id) FROM '{IN}'", one);
  ASSERT_EQ(expected.rfind("n,min(id)\n", 0), 0u) << expected;
  const std::string count = expected.substr(10, expected.find(',', 10) - 10);
  for (uint64_t threads : test::threadSweep({1, 2, 3, 8, 17}, {64, 1024})) {
    QueryOptions options;
    options.thread_count = threads;
    EXPECT_EQ(run(body, "SELECT count(*) AS n FROM '{IN}'", options), "n\n" + count + "\n")
        << threads << " threads";
  }
}

}  // namespace
}  // namespace tavix

namespace tavix {
namespace {

// Inputs of more than 10 MiB are aggregated by worker threads whose blocks
// merge in range order: every aggregate gives the answer of the one-thread
// loop (thread count 1), whatever the thread count, opened by path or
// pre-opened.
TEST_F(GlobalAggregateTest, WorkersGiveTheLoopsAnswerOnAnyThreadCount) {
  const std::string body = awkwardBody((size_t{10} << 20) + 4096);
  static const char* kStatements[] = {
      "SELECT count(*), count(id), sum(id), avg(id), min(id), max(id), median(id), "
      "count(DISTINCT note), count(DISTINCT id), count(note) FROM '{IN}'",
      // Variances are exact whatever the ranges.
      "SELECT var_pop(id), stddev_samp(id), var_samp(id), stddev_pop(id) FROM '{IN}'",
      "SELECT ROUND(var_pop(id), 6), ROUND(stddev_samp(id), 6) FROM '{IN}'",
      // A tree and a single leaf; list-valued aggregates keep file order.
      "SELECT group_concat(note, '|'), count(*), median(id) FROM '{IN}' WHERE id = 4 OR note LIKE '%\"%'",
      "SELECT sum(CASE WHEN id > 500 THEN 1 ELSE 0 END) AS high, count(note), max(note) FROM '{IN}' "
      "WHERE id >= 11",
      "SELECT count(DISTINCT note) FROM '{IN}' WHERE note = 'last' OR note = 'n11'",
  };
  QueryOptions one;
  one.thread_count = 1;
  for (const char* sql : kStatements) {
    const std::string expected = run(body, sql, one);
    ASSERT_EQ(expected.find("error"), std::string::npos) << sql << ": " << expected;
    for (uint64_t threads : test::threadSweep({2, 3, 8, 17}, {64, 1024})) {
      QueryOptions options;
      options.thread_count = threads;
      EXPECT_EQ(run(body, sql, options), expected) << threads << " threads: " << sql;
    }
    QueryOptions eight;
    eight.thread_count = 8;
    EXPECT_EQ(run(body, sql, eight, true), expected) << "pre-opened: " << sql;
  }
  EXPECT_EQ(run(body, kStatements[5], one), "count(DISTINCT note)\n2\n");
}

// Infinities of both signs in different ranges and a NaN after them: the
// sum is "nan" on one thread and on eight, though the NaNs the machine makes
// along the way differ in sign.
TEST_F(GlobalAggregateTest, ANaNSumIsTheSameOnAnyThreadCount) {
  std::string body = "x\ninf\n";
  while (body.size() < (size_t{11} << 20)) body += "1\n2\n";
  body += "-inf\nnan\n";
  for (uint64_t threads : {1, 2, 8}) {
    QueryOptions options;
    options.thread_count = threads;
    EXPECT_EQ(run(body, "SELECT sum(x), avg(x), max(x) FROM '{IN}'", options),
              "sum(x),avg(x),max(x)\nnan,nan,inf\n")
        << threads << " threads";
  }
}

// A quoted field of a few MiB holding line ends lies where the first cut
// falls: the ranges are cut again on record boundaries, and the distinct
// texts of the dropped pass are not counted.
TEST_F(GlobalAggregateTest, AQuotedFieldAcrossACutIsOneRecord) {
  std::string body = "id,note\n";
  int rows = 0;
  for (; body.size() < (size_t{6} << 20); ++rows) body += std::to_string(rows) + ",v" + std::to_string(rows % 100) + "\n";
  body += "x,\"";
  while (body.size() < (size_t{9} << 20)) body += "7,inside\n";
  body += "\"\n";
  for (int i = 0; body.size() < (size_t{15} << 20); ++i, ++rows) body += std::to_string(i) + ",v" + std::to_string(i % 100) + "\n";
  const char* sql = "SELECT count(*), count(DISTINCT note), count(id) FROM '{IN}' WHERE note IS NOT NULL";
  const std::string expected = "count(*),count(DISTINCT note),count(id)\n" + std::to_string(rows + 1) +
                               ",101," + std::to_string(rows + 1) + "\n";
  for (uint64_t threads : {1, 2, 3, 8}) {
    QueryOptions options;
    options.thread_count = threads;
    EXPECT_EQ(run(body, sql, options), expected) << threads << " threads";
  }
}

// A worker that fails ends the statement with its error, whichever range it
// read and however the others did.
TEST_F(GlobalAggregateTest, AFailingWorkerFailsTheStatement) {
  std::string body = "id,price\n";
  const size_t bad_at = (size_t{20} << 20) * 5 / 16;  // within the third of eight ranges
  while (body.size() < (size_t{20} << 20)) {
    if (body.size() >= bad_at && body.size() < bad_at + 20) body += "0,abc\n";
    body += "1,2.5\n";
  }
  QueryOptions strict;
  strict.strict = true;
  for (uint64_t threads : {1, 8}) {
    strict.thread_count = threads;
    EXPECT_EQ(run(body, "SELECT sum(price) FROM '{IN}' WHERE price > 1", strict),
              "error: StrictModeNonNumericValue")
        << threads << " threads";
    QueryOptions lenient;
    lenient.thread_count = threads;
    EXPECT_EQ(run(body, "SELECT count(*) FROM '{IN}' WHERE price > 3", lenient), "count(*)\n0\n");
  }
}

}  // namespace
}  // namespace tavix
