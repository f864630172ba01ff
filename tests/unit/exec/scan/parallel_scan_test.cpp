// The executors for large files, called directly so that the thread count,
// the strict flag and the output format can be chosen: each must answer
// exactly as the streaming executor answers the same statement over the same
// bytes, at every thread count, whatever the cut offsets meet.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/error.h"
#include "exec/scan/scan_executors.h"
#include "sql/statement_parser.h"
#include "support/scratch_dir.h"
#include "support/thread_sweep.h"

namespace tavix {
namespace {

using testing::visibleBytes;

using Executor = Error (*)(const ParsedQuery&, const InputFile&, const ResultFile&,
                           const QueryOptions&);

struct Outcome {
  Error error = Error::ok;
  std::string text;
};

class ParallelScanTest : public testing::ScratchDir {
 protected:
  // Runs `sql` over `bytes` with one executor and returns its answer.
  Outcome run(Executor executor, std::string_view bytes, const std::string& sql,
              QueryOptions options) {
    const std::string name = "in" + std::to_string(serial_) + ".csv";
    const std::string out_name = "out" + std::to_string(serial_++) + ".txt";
    const platform::File input = fileWith(name, bytes);
    const platform::File output = createFile(out_name);
    ParsedQuery query;
    Outcome outcome;
    outcome.error = parseQuery(sql, query);
    if (outcome.error != Error::ok) return outcome;
    outcome.error = executor(query, InputFile{input}, ResultFile{output}, options);
    outcome.text = readBack(out_name);
    return outcome;
  }

 private:
  int serial_ = 0;
};

QueryOptions withThreads(uint64_t threads, OutputFormat format = OutputFormat::csv) {
  QueryOptions o;
  o.thread_count = threads;
  o.output_format = format;
  return o;
}

// Rows with quoted fields holding commas, line ends (LF and CRLF) and
// doubled quotes, a category of three values and a decimal price.
std::string quotedFile(int rows) {
  std::string s = "id,name,cat,price,note\n";
  for (int i = 1; i <= rows; ++i) {
    s += std::to_string(i) + ",";
    s += (i % 7 == 0) ? "\"n, " + std::to_string(i) + "\"" : "n" + std::to_string(i % 50);
    s += std::string(",") + "abc"[i % 3] + ",";
    s += std::to_string((i * 7919) % 1000) + "." + std::to_string(i % 10) + ",";
    if (i % 5 == 0) {
      s += "\"line one\nline \"\"two\"\"\r\nend\"";
    } else if (i % 11 == 0) {
      s += "\"\"";
    } else {
      s += "plain";
    }
    s += (i % 13 == 0) ? "\r\n" : "\n";
  }
  return s;
}

// Repeated rows, for DISTINCT.
std::string repeatedFile(int rows) {
  std::string s = "k,v\n";
  for (int i = 0; i < rows; ++i) {
    s += std::string(1, "xyz"[i % 3]) + "," + ((i % 4 == 0) ? "\"q\"\"\"" : std::to_string(i % 2)) + "\n";
  }
  return s;
}

// The wide counts run under the "slow" label (see tests/CMakeLists.txt).
const std::vector<uint64_t> kThreadCounts = test::threadSweep({1, 2, 3, 5, 8, 17}, {64, 1024});

TEST_F(ParallelScanTest, PlainColumnExecutorsAnswerAsTheStreamingExecutor) {
  static const char* cases[] = {
      "SELECT * FROM t",
      "SELECT id, note FROM t WHERE price > 500",
      "SELECT note, name FROM t WHERE name LIKE 'n, %'",
      "SELECT id AS k, price FROM t WHERE cat = 'b' AND price < 100",
      "SELECT * FROM t LIMIT 7",
      "SELECT id, note FROM t WHERE price > 100 LIMIT 150000",
      "SELECT * FROM t LIMIT 0",
      "SELECT name FROM t ORDER BY price DESC LIMIT 5",
      "SELECT * FROM t ORDER BY note LIMIT 40",
      "SELECT id, note FROM t ORDER BY price",
      "SELECT id FROM t WHERE cat = 'a' ORDER BY name DESC LIMIT 2000",
      "SELECT id FROM t ORDER BY price LIMIT 1000000000",
      "SELECT * FROM t ORDER BY 2 LIMIT 3",
  };
  const std::string bytes = quotedFile(3000);
  for (const char* sql : cases) {
    for (OutputFormat format : {OutputFormat::csv, OutputFormat::json_array, OutputFormat::json_lines}) {
      const Outcome expected = run(runStreamingQuery, bytes, sql, withThreads(1, format));
      ASSERT_EQ(expected.error, Error::ok) << sql;
      const Outcome mapped = run(runMappedQuery, bytes, sql, withThreads(1, format));
      EXPECT_EQ(mapped.error, Error::ok) << sql;
      EXPECT_EQ(mapped.text, expected.text) << "mapped: " << sql;
      for (uint64_t threads : kThreadCounts) {
        const Outcome parallel = run(runParallelMappedQuery, bytes, sql, withThreads(threads, format));
        EXPECT_EQ(parallel.error, Error::ok) << sql << " threads " << threads;
        EXPECT_EQ(parallel.text, expected.text) << sql << " threads " << threads << " format "
                                                << static_cast<int>(format);
      }
    }
  }
}

TEST_F(ParallelScanTest, DistinctStarKeepsFirstOccurrences) {
  static const char* cases[] = {
      "SELECT DISTINCT * FROM t",
      "SELECT DISTINCT * FROM t LIMIT 4",
      "SELECT DISTINCT * FROM t ORDER BY v DESC",
      "SELECT DISTINCT * FROM t ORDER BY k LIMIT 2",
  };
  const std::string bytes = repeatedFile(5000);
  for (const char* sql : cases) {
    const Outcome expected = run(runStreamingQuery, bytes, sql, withThreads(1));
    ASSERT_EQ(expected.error, Error::ok) << sql;
    EXPECT_EQ(run(runMappedQuery, bytes, sql, withThreads(1)).text, expected.text) << sql;
    for (uint64_t threads : kThreadCounts) {
      const Outcome parallel = run(runParallelMappedQuery, bytes, sql, withThreads(threads));
      EXPECT_EQ(parallel.error, Error::ok) << sql;
      EXPECT_EQ(parallel.text, expected.text) << sql << " threads " << threads;
    }
  }
}

TEST_F(ParallelScanTest, ExpressionExecutorAnswersAsTheStreamingExecutor) {
  static const char* cases[] = {
      "SELECT upper(name), id FROM t",
      "SELECT id, round(price) AS r, note FROM t WHERE price > 300",
      "SELECT CASE WHEN price > 500 THEN 'hi' ELSE 'lo' END AS band, note FROM t WHERE cat = 'c'",
      "SELECT length(note), concat(name, '-', cat) FROM t WHERE note IS NOT NULL",
  };
  const std::string bytes = quotedFile(3000);
  for (const char* sql : cases) {
    for (OutputFormat format : {OutputFormat::csv, OutputFormat::json_array, OutputFormat::json_lines}) {
      const Outcome expected = run(runStreamingQuery, bytes, sql, withThreads(1, format));
      ASSERT_EQ(expected.error, Error::ok) << sql;
      for (uint64_t threads : kThreadCounts) {
        const Outcome parallel = run(runParallelExprQuery, bytes, sql, withThreads(threads, format));
        EXPECT_EQ(parallel.error, Error::ok) << sql;
        EXPECT_EQ(parallel.text, expected.text) << sql << " threads " << threads;
      }
    }
  }
}

// A LIMIT above 100000 with more matching rows: the first rows in file order,
// whichever worker they come from.
TEST_F(ParallelScanTest, LargeLimitTakesTheFirstMatchingRows) {
  std::string bytes = "id,q\n";
  for (int i = 0; i < 250000; ++i) bytes += std::to_string(i) + "," + std::to_string(i % 3) + "\n";
  static const char* cases[] = {
      "SELECT id FROM t LIMIT 100001",
      "SELECT id FROM t WHERE q = 1 LIMIT 100001",
      "SELECT DISTINCT * FROM t WHERE q > 0 LIMIT 150000",
  };
  for (const char* sql : cases) {
    const Outcome expected = run(runStreamingQuery, bytes, sql, withThreads(1));
    for (uint64_t threads : {2, 8, 33}) {
      const Outcome parallel = run(runParallelMappedQuery, bytes, sql, withThreads(threads));
      EXPECT_EQ(parallel.error, Error::ok) << sql;
      EXPECT_TRUE(parallel.text == expected.text) << sql << " threads " << threads;
    }
  }
}

// A quoted field larger than one positioned read (512 KiB) is carried across
// reads whole, wherever the chunk boundaries fall.
TEST_F(ParallelScanTest, RecordLongerThanOneReadIsCarriedWhole) {
  std::string bytes = "id,body\n1,a\n2,\"" + std::string(5u << 20, 'x') + "\nmore\"\n3,c\n";
  const std::string expected = "id,length(body)\n1,1\n2," + std::to_string((5u << 20) + 5) + "\n3,1\n";
  for (uint64_t threads : {1, 2, 4, 8}) {
    const Outcome o = run(runParallelExprQuery, bytes, "SELECT id, length(body) FROM t", withThreads(threads));
    EXPECT_EQ(o.error, Error::ok);
    EXPECT_EQ(o.text, expected) << "threads " << threads;
    const Outcome star = run(runParallelMappedQuery, bytes, "SELECT id FROM t", withThreads(threads));
    EXPECT_EQ(star.text, "id\n1\n2\n3\n") << "threads " << threads;
  }
}

// One field limit everywhere: a record of 257 fields fails the call,
// whether it holds a quote or not, whatever executor and thread count; a
// record of 256 fields is answered.
TEST_F(ParallelScanTest, RecordOfTooManyFieldsFailsEveryExecutor) {
  auto fileWithWideRecord = [](size_t fields, bool quoted, int at) {
    std::string s = "a,b\n";
    for (int i = 0; i < 2000; ++i) {
      if (i == at) {
        s += quoted ? "\"x\"" : "x";
        for (size_t f = 1; f < fields; ++f) s += ",y";
        s += "\n";
      }
      s += std::to_string(i) + ",v\n";
    }
    return s;
  };
  static const struct {
    Executor executor;
    const char* name;
    const char* sql;
  } executors[] = {
      {runStreamingQuery, "streaming", "SELECT a FROM t"},
      {runMappedQuery, "mapped", "SELECT a FROM t"},
      {runMappedQuery, "mapped sorted", "SELECT a FROM t ORDER BY b"},
      {runParallelMappedQuery, "render", "SELECT a FROM t"},
      {runParallelMappedQuery, "rows", "SELECT a FROM t LIMIT 100000"},
      {runParallelMappedQuery, "distinct", "SELECT DISTINCT * FROM t"},
      {runParallelMappedQuery, "sorted", "SELECT a FROM t ORDER BY a LIMIT 3"},
      {runParallelExprQuery, "expr", "SELECT upper(a) FROM t"},
  };
  for (const auto& e : executors) {
    for (bool quoted : {false, true}) {
      for (int at : {0, 999, 1999}) {
        for (uint64_t threads : {1, 4, 16}) {
          const std::string wide = fileWithWideRecord(257, quoted, at);
          EXPECT_EQ(run(e.executor, wide, e.sql, withThreads(threads)).error, Error::TooManyColumns)
              << e.name << " quoted " << quoted << " at " << at << " threads " << threads;
          const std::string fits = fileWithWideRecord(256, quoted, at);
          EXPECT_EQ(run(e.executor, fits, e.sql, withThreads(threads)).error, Error::ok)
              << e.name << " quoted " << quoted << " at " << at << " threads " << threads;
        }
      }
    }
  }
}

// A failing worker fails the call with the first error in chunk order, on
// every path; an error past the point where a LIMIT completes the answer is
// never reached, as in a sequential scan.
TEST_F(ParallelScanTest, FailingWorkerFailsTheCall) {
  std::string bytes = "id,price\n";
  for (int i = 0; i < 4000; ++i) bytes += std::to_string(i) + "," + (i == 2500 ? "abc" : "5") + "\n";
  QueryOptions strict = withThreads(8);
  strict.strict = true;
  static const struct {
    const char* sql;
    Error expected;
  } cases[] = {
      {"SELECT id FROM t WHERE price > 1", Error::StrictModeNonNumericValue},
      {"SELECT id FROM t WHERE price > 1 LIMIT 3000", Error::StrictModeNonNumericValue},
      {"SELECT DISTINCT * FROM t WHERE price > 1", Error::StrictModeNonNumericValue},
      {"SELECT id FROM t WHERE price > 1 ORDER BY id DESC LIMIT 3", Error::StrictModeNonNumericValue},
      {"SELECT id FROM t WHERE price > 1 ORDER BY id", Error::StrictModeNonNumericValue},
      {"SELECT id FROM t WHERE price > 1 LIMIT 2000", Error::ok},
      {"SELECT id FROM t WHERE price > 1 LIMIT 0", Error::ok},
  };
  for (const auto& c : cases) {
    const Outcome streaming = run(runStreamingQuery, bytes, c.sql, strict);
    EXPECT_EQ(streaming.error, c.expected) << c.sql;
    for (uint64_t threads : {1, 2, 8, 100}) {
      strict.thread_count = threads;
      const Outcome parallel = run(runParallelMappedQuery, bytes, c.sql, strict);
      EXPECT_EQ(parallel.error, c.expected) << c.sql << " threads " << threads;
      if (c.expected == Error::ok) {
        EXPECT_EQ(parallel.text, streaming.text) << c.sql;
      }
    }
  }
  // The expression executor never consults strict mode: the row is dropped.
  const Outcome expr = run(runParallelExprQuery, bytes, "SELECT upper(id) FROM t WHERE price > 1", strict);
  EXPECT_EQ(expr.error, Error::ok);
  EXPECT_EQ(expr.text.find("\n2500\n"), std::string::npos);
}

// Chunks are first cut at the line end after each nominal offset. In this
// file every record carries a quoted note that holds lines looking like
// records of their own: read from a cut inside a note, they give rows with a
// huge price, a price that is no number (a strict-mode failure) and a record
// of too many fields. None of that may reach the answer: every executor must
// answer as a sequential read does, at thread counts whose cuts fall inside
// the notes and outside them.
TEST_F(ParallelScanTest, CutsInsideQuotedLineEndsNeverShowInTheAnswer) {
  std::string bytes = "id,price,note\n";
  const std::string wide(300, ',');
  for (int i = 0; i < 600; ++i) {
    bytes += std::to_string(i) + "," + std::to_string(i % 97) + ".5,";
    bytes += "\"9,999999,fake\n8,abc,fake\n7" + wide + "\n6,1000000,\"\"x\"\"\"\n";
  }
  QueryOptions strict = withThreads(1);
  strict.strict = true;
  static const char* cases[] = {
      "SELECT id, price FROM t WHERE price > 90",
      "SELECT id FROM t WHERE price > 90 LIMIT 5",
      "SELECT * FROM t ORDER BY price DESC LIMIT 3",
      "SELECT id, price FROM t ORDER BY price DESC",
      "SELECT DISTINCT * FROM t WHERE price < 2",
  };
  for (const char* sql : cases) {
    const Outcome expected = run(runStreamingQuery, bytes, sql, strict);
    ASSERT_EQ(expected.error, Error::ok) << sql;
    for (uint64_t threads : {2, 3, 7, 16, 61, 200}) {
      strict.thread_count = threads;
      const Outcome parallel = run(runParallelMappedQuery, bytes, sql, strict);
      EXPECT_EQ(parallel.error, Error::ok) << sql << " threads " << threads;
      EXPECT_EQ(parallel.text, expected.text) << sql << " threads " << threads;
    }
  }
  const char* expr_sql = "SELECT upper(id), price FROM t WHERE price > 90";
  const Outcome expected = run(runStreamingQuery, bytes, expr_sql, withThreads(1));
  for (uint64_t threads : {2, 3, 7, 16, 61, 200}) {
    const Outcome parallel = run(runParallelExprQuery, bytes, expr_sql, withThreads(threads));
    EXPECT_EQ(parallel.error, Error::ok) << "threads " << threads;
    EXPECT_EQ(parallel.text, expected.text) << "threads " << threads;
  }
}

TEST_F(ParallelScanTest, QuotedHeaderNamesAreSplitQuoteAware) {
  std::string bytes = "\"last, first\",age\n\"Doe, J\",41\nRoe,7\n";
  const char* sql = "SELECT age FROM t WHERE age > 10";
  for (Executor e : {runMappedQuery, runParallelMappedQuery, runParallelExprQuery}) {
    const Outcome o = run(e, bytes, sql, withThreads(4));
    EXPECT_EQ(o.error, Error::ok);
    EXPECT_EQ(o.text, "age\n41\n");
  }
  EXPECT_EQ(run(runMappedQuery, bytes, "SELECT * FROM t", withThreads(1)).text,
            "\"last, first\",age\n\"Doe, J\",41\nRoe,7\n");
}

// The worker heaps order by the whole ORDER BY rule, not by an 8-byte key:
// dates share their first eight bytes, and ties keep input order.
TEST_F(ParallelScanTest, TopRowsFollowTheFullOrderRule) {
  std::string bytes = "id,day\n";
  for (int i = 0; i < 4000; ++i) {
    bytes += std::to_string(i) + ",2024-01-" + std::to_string(10 + (i * 37) % 20) + "\n";
  }
  static const char* cases[] = {
      "SELECT id, day FROM t ORDER BY day LIMIT 5",
      "SELECT id, day FROM t ORDER BY day DESC LIMIT 7",
      "SELECT id, day FROM t ORDER BY day DESC LIMIT 1024",
  };
  for (const char* sql : cases) {
    const Outcome expected = run(runStreamingQuery, bytes, sql, withThreads(1));
    for (uint64_t threads : {1, 3, 8}) {
      EXPECT_EQ(run(runParallelMappedQuery, bytes, sql, withThreads(threads)).text, expected.text)
          << sql << " threads " << threads;
    }
  }
}

// An answer that passes the 256 MiB bound stops the workers early with
// FileTooBig rather than holding it all first. Long column names make a
// small file give a very large JSON answer.
TEST_F(ParallelScanTest, OversizedAnswerStopsTheWorkers) {
  const std::string name(4000, 'n');
  std::string bytes = name + "1," + name + "2\n";
  for (int i = 0; i < 40000; ++i) bytes += "1,2\n";
  QueryOptions json = withThreads(8, OutputFormat::json_lines);
  const Outcome render = run(runParallelMappedQuery, bytes, "SELECT * FROM t", json);
  EXPECT_EQ(render.error, Error::FileTooBig);
  EXPECT_LT(render.text.size(), 1u << 20);
  const Outcome expr = run(runParallelExprQuery, bytes, "SELECT upper(" + name + "1), " + name + "2 FROM t", json);
  EXPECT_EQ(expr.error, Error::FileTooBig);
}

// Sorted JSON rows carry every value as a JSON string on every executor,
// the parallel sorted path with any number of workers included; unsorted
// rows keep number texts bare (007 is no JSON number).
TEST_F(ParallelScanTest, SortedJsonValuesAreStringsOnEveryExecutor) {
  const std::string bytes = "id,code\n3,007\n1,10\n2,-1.5e3\n";
  const char* sorted = "SELECT id, code FROM t ORDER BY id";
  const std::string strings =
      "[\n{\"id\":\"1\",\"code\":\"10\"},\n{\"id\":\"2\",\"code\":\"-1.5e3\"},\n"
      "{\"id\":\"3\",\"code\":\"007\"}\n]\n";
  const char* unsorted = "SELECT id, code FROM t WHERE id > 1";
  const std::string typed =
      "[\n{\"id\":3,\"code\":\"007\"},\n{\"id\":2,\"code\":-1.5e3}\n]\n";
  for (uint64_t threads : {1, 2, 3}) {
    const QueryOptions json = withThreads(threads, OutputFormat::json_array);
    for (auto* executor : {runStreamingQuery, runMappedQuery, runParallelMappedQuery}) {
      EXPECT_EQ(run(executor, bytes, sorted, json).text, strings) << "threads " << threads;
      EXPECT_EQ(run(executor, bytes, unsorted, json).text, typed) << "threads " << threads;
    }
  }
}

// Rows the workers render ahead are quoted by the rendering rule: for the
// delimiter, LF, CR and the double quote, not for a comma under another
// delimiter; an empty value writes nothing.
TEST_F(ParallelScanTest, RenderedCsvRowsQuoteForTheDelimiter) {
  const std::string bytes = "id;name\n1;\"a;b\"\n2;x,y\n3;\"q\"\"r\"\n4;\n5;\"l\nm\"\n";
  const std::string rows = "1;\"a;b\"\n2;x,y\n3;\"q\"\"r\"\n4;\n5;\"l\nm\"\n";
  static const struct {
    Executor executor;
    const char* name;
    const char* sql;
    const char* header;
  } cases[] = {
      {runParallelMappedQuery, "render", "SELECT id, name FROM t", "id;name\n"},
      {runParallelExprQuery, "expr", "SELECT id, lower(name) AS n FROM t", "id;n\n"},
  };
  for (const auto& c : cases) {
    for (uint64_t threads : {1, 2, 4}) {
      QueryOptions options = withThreads(threads);
      options.delimiter = ';';
      const Outcome o = run(c.executor, bytes, c.sql, options);
      EXPECT_EQ(o.error, Error::ok) << c.name;
      EXPECT_EQ(o.text, c.header + rows) << c.name << " threads " << threads;
    }
  }
}

// A quoted field with bytes after its closing quote, and a field whose
// closing quote is followed by more quoted-looking text, read the same in
// every executor: the quoted text only, on the last line without LF too.
TEST_F(ParallelScanTest, BytesAfterAClosingQuoteAreDroppedEverywhere) {
  const std::string bytes = "id,v\n1,\"ab\"x,t\n2,\"a\"b\"c\"\n3,\"ab\"x";
  const std::string expected = "id,v\n1,ab\n2,a\n3,ab\n";
  EXPECT_EQ(run(runStreamingQuery, bytes, "SELECT id, v FROM t", withThreads(1)).text, expected);
  for (uint64_t threads : {1, 2, 3}) {
    for (Executor e : {runMappedQuery, runParallelMappedQuery}) {
      EXPECT_EQ(run(e, bytes, "SELECT id, v FROM t", withThreads(threads)).text, expected)
          << "threads " << threads;
    }
    EXPECT_EQ(run(runParallelExprQuery, bytes, "SELECT id, lower(v) AS v FROM t", withThreads(threads)).text,
              expected)
        << "threads " << threads;
  }
}

TEST(SelectNeedsExpressionExecutor, TellsPlainColumnsFromExpressions) {
  static const struct {
    const char* sql;
    bool expected;
  } cases[] = {
      {"SELECT a, b FROM t", false},
      {"SELECT * FROM t", false},
      {"SELECT a AS x, b y FROM t", false},
      {"SELECT a*b FROM t", false},
      {"SELECT round(qty) FROM t", true},
      {"SELECT round(x, 2) FROM t", true},
      {"SELECT ROUND(x, 2) AS r FROM t", true},
      {"SELECT upper(name) u FROM t", true},
      {"SELECT CASE\tWHEN a > 1 THEN 'x' ELSE 'y' END FROM t", true},
      {"SELECT a IS NULL FROM t", true},
  };
  for (const auto& c : cases) {
    ParsedQuery query;
    ASSERT_EQ(parseQuery(c.sql, query), Error::ok) << c.sql;
    EXPECT_EQ(selectNeedsExpressionExecutor(query), c.expected) << c.sql;
  }
}

}  // namespace
}  // namespace tavix
