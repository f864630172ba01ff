// The whole-table executor under the options the exported functions never
// set, with a pre-opened input, and the lone count(*) on several threads.
#include "exec/aggregate/global_aggregate.h"

#include <gtest/gtest.h>

#include <string>

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

// A body of a few MiB whose records hold quotes at field starts and inside
// fields, quoted line ends, CRLF ends, empty lines and lines of one CR.
std::string awkwardBody() {
  static const char* kRecords[] = {
      "1,plain\n", "2,5\" tall\n", "3,\"two\nlines\"\n", "\n", "\r\n", "4,\"a\"\"b\"\r\n",
      "5,say \"x\n", "6,\"\"\n", "7,\"x,\ny\",z\n", "8,\"\"\"\"\n",
  };
  test::Sequence seq{99};
  std::string body = "id,note\n";
  while (body.size() < (size_t{3} << 20)) body += kRecords[seq.next() % 10];
  body += "9,last";
  return body;
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
