// The streaming executor under the options the exported functions never
// set: no header row, strict mode, JSON lines, an omitted header, another
// delimiter.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "exec/scan/scan_executors.h"
#include "platform/platform.h"
#include "sql/statement_parser.h"
#include "unit/exec/scan/option_variants.h"

namespace tavix {
namespace {

namespace fs = std::filesystem;

class StreamingExecutorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / "tavix_streaming_executor_test";
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Runs `sql` over `input` and returns the result file's text, or
  // "error: " and the error's name.
  std::string run(const std::string& input, const std::string& sql, const QueryOptions& options) {
    const fs::path in_path = dir_ / "in.csv";
    const fs::path out_path = dir_ / ("out" + std::to_string(++runs_) + ".txt");
    std::ofstream(in_path, std::ios::binary) << input;
    ParsedQuery query;
    if (Error e = parseQuery(sql, query); e != Error::ok) return "parse error";
    platform::File in;
    platform::File out;
    if (platform::openForReading(in_path.string(), in) != Error::ok) return "open failed";
    if (platform::createExclusive(out_path.string(), out) != Error::ok) return "create failed";
    const Error e = runStreamingQuery(query, InputFile{in}, ResultFile{out}, options);
    platform::closeFile(in);
    platform::closeFile(out);
    if (e != Error::ok) return "error: " + std::string(errorName(e));
    std::ifstream result(out_path, std::ios::binary);
    std::stringstream text;
    text << result.rdbuf();
    return text.str();
  }

  fs::path dir_;
  int runs_ = 0;
};

TEST_F(StreamingExecutorTest, OptionsShapeTheAnswer) {
  const std::string data = "1,pen,12\n2,ink,abc\n3,mug,7\n";
  static const test::OptionVariants options;
  const QueryOptions& headerless = options.headerless;
  const QueryOptions& strict = options.strict;
  const QueryOptions& lines = options.lines;
  const QueryOptions& bare = options.bare;
  const QueryOptions& semicolon = options.semicolon;

  static const struct {
    const char* name;
    const QueryOptions* options;
    std::string input;
    const char* sql;
    const char* expected;
  } cases[] = {
      // Without a header row the first line is data under c1..cN.
      {"headerless", &headerless, data, "SELECT * FROM 'x'", "c1,c2,c3\n1,pen,12\n2,ink,abc\n3,mug,7\n"},
      {"headerless offset", &headerless, data, "SELECT c2 FROM 'x' LIMIT 1 OFFSET 1", "c2\nink\n"},
      {"headerless where", &headerless, data, "SELECT c2 FROM 'x' WHERE c1 = 1", "c2\npen\n"},
      {"headerless sort", &headerless, data, "SELECT c2 FROM 'x' ORDER BY c1 DESC", "c2\nmug\nink\npen\n"},
      // Strict mode: a non-number under a single numeric comparison fails.
      {"lenient", &headerless, data, "SELECT c2 FROM 'x' WHERE c3 > 5", "c2\npen\nmug\n"},
      {"strict", &strict, data, "SELECT c2 FROM 'x' WHERE c3 > 5", "error: StrictModeNonNumericValue"},
      {"strict text", &strict, data, "SELECT c2 FROM 'x' WHERE c3 = 'abc'", "c2\nink\n"},
      {"strict tree", &strict, data, "SELECT c2 FROM 'x' WHERE c3 > 5 OR c1 = 9", "c2\npen\nmug\n"},
      // JSON lines: one object per line, nothing for no rows.
      {"lines", &lines, data, "SELECT c1, c2 FROM 'x' LIMIT 2",
       "{\"c1\":1,\"c2\":\"pen\"}\n{\"c1\":2,\"c2\":\"ink\"}\n"},
      {"lines sorted", &lines, data, "SELECT c1 FROM 'x' ORDER BY c1 DESC LIMIT 1", "{\"c1\":\"3\"}\n"},
      {"lines empty", &lines, data, "SELECT c1 FROM 'x' LIMIT 0", ""},
      {"no header out", &bare, data, "SELECT c2 FROM 'x' ORDER BY c2", "ink\nmug\npen\n"},
      // The delimiter applies to input, CSV output and sort renderings; a
      // row rendered for sorting is quoted for the delimiter, not for a comma,
      // and a key holding the delimiter is still compared whole ("p;q" after
      // "p" although a cut at the delimiter would read '"p').
      {"semicolon", &semicolon, "a;b\n1;x,y\n2;z\n", "SELECT b, a FROM 'x' ORDER BY a DESC, b",
       "b;a\nz;2\nx,y;1\n"},
      {"semicolon quoted key", &semicolon, "a;b\n1;\"p;q\"\n1;p\n1;\"r\"\"s\"\n",
       "SELECT b, a FROM 'x' ORDER BY a, b", "b;a\np;1\n\"p;q\";1\n\"r\"\"s\";1\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.input, c.sql, *c.options), c.expected) << c.name << ": " << c.sql;
  }
}

}  // namespace
}  // namespace tavix
