// The grouping executor under the options the exported functions never set,
// and with a pre-opened input.
#include "exec/group/group_by.h"

#include <gtest/gtest.h>

#include <string>

#include "support/aggregating_executor_run.h"

namespace tavix {
namespace {

class GroupByTest : public testing::AggregatingExecutorRun {
 protected:
  GroupByTest() : AggregatingExecutorRun(runGroupByQuery) {}
};

TEST_F(GroupByTest, OptionsShapeTheAnswer) {
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

  const std::string prices = "k,price\na,5\nb, 12 \na,abc\nb\na,20\n";
  static const struct {
    const char* name;
    const QueryOptions* options;
    std::string input;
    const char* sql;
    const char* expected;
  } cases[] = {
      {"plain", &plain, prices, "SELECT k, count(*), sum(price) FROM '{IN}' WHERE price > 10 GROUP BY k",
       "k,count(*),sum(price)\na,1,20\nb,1,12\n"},
      // Strict mode fails on a field that is no number under a single numeric
      // comparison; a short record is still only skipped.
      {"strict", &strict, prices, "SELECT k FROM '{IN}' WHERE price > 10 GROUP BY k",
       "error: StrictModeNonNumericValue"},
      {"strict short", &strict, "k,price\na,5\nb\n", "SELECT k FROM '{IN}' WHERE price > 1 GROUP BY k",
       "k\na\n"},
      {"strict tree", &strict, prices, "SELECT k, count(*) FROM '{IN}' WHERE price > 10 OR k = 'a' GROUP BY k",
       "k,count(*)\na,3\nb,1\n"},
      // Without a header row the first line is a record.
      {"headerless", &headerless, "x,1\ny,2\nx,3\n",
       "SELECT c1, sum(c2) FROM '{IN}' GROUP BY c1", "c1,sum(c2)\nx,4\ny,2\n"},
      {"omitted header", &bare, prices, "SELECT k, count(*) FROM '{IN}' GROUP BY k", "a,3\nb,2\n"},
      {"omitted header, no group", &bare, prices,
       "SELECT k FROM '{IN}' GROUP BY k HAVING count(*) > 5", ""},
      {"json lines", &lines, prices, "SELECT k, count(*) AS n FROM '{IN}' GROUP BY k ORDER BY n",
       "{\"k\":\"b\",\"n\":2}\n{\"k\":\"a\",\"n\":3}\n"},
      {"json lines, no row", &lines, prices, "SELECT k FROM '{IN}' GROUP BY k OFFSET 2", ""},
      {"semicolon", &semicolon, "a;b\n1;x,y\n1;z\n",
       "SELECT a, group_concat(b, ';') FROM '{IN}' GROUP BY a",
       "a;\"group_concat(b, ';')\"\n1;\"x,y;z\"\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.input, c.sql, *c.options), c.expected) << c.name;
  }
}

TEST_F(GroupByTest, APreopenedInputStaysOpen) {
  const QueryOptions options;
  EXPECT_EQ(run("a\n1\n2\n1\n", "SELECT a, count(*) FROM stdin GROUP BY a", options, true),
            "a,count(*)\n1,2\n2,1\n");
  EXPECT_EQ(run("a\n1\n", "SELECT a FROM stdin GROUP BY b", options, true), "error: ColumnNotFound");
  EXPECT_EQ(run("a\n1\n", "SELECT a FROM stdin GROUP BY a HAVING sum(a) > sum(a)", options, true),
            "error: UnsupportedHavingComparesTwoAggregates");
  EXPECT_EQ(run("", "SELECT a FROM stdin GROUP BY a", options, true), "error: EmptyFile");
}

}  // namespace
}  // namespace tavix
