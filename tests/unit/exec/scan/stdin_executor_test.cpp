// The standard-input executor under the options the exported functions never
// set (no header row, strict mode, JSON lines, an omitted header, another
// delimiter) and without any standard input at all. Each run points file
// descriptor 0 at a fixture file and gives the original back afterwards.
#include <fcntl.h>
#include <unistd.h>

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

// Moves the process's standard input aside for the lifetime of the object.
class StdinSwap {
 public:
  StdinSwap() : saved_(dup(STDIN_FILENO)) {}
  ~StdinSwap() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }
  StdinSwap(const StdinSwap&) = delete;
  StdinSwap& operator=(const StdinSwap&) = delete;

  bool from(const fs::path& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    const bool ok = dup2(fd, STDIN_FILENO) == STDIN_FILENO;
    close(fd);
    return ok;
  }
  void detach() { close(STDIN_FILENO); }

 private:
  int saved_;
};

class StdinExecutorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / "tavix_stdin_executor_test";
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Runs `sql` with `input` as standard input (no standard input at all when
  // `input` is null) and returns the result file's text, or "error: " and
  // the error's name. The file's text is kept in `written_` either way.
  std::string run(const char* input, const std::string& sql, const QueryOptions& options) {
    const fs::path in_path = dir_ / "in.csv";
    const fs::path out_path = dir_ / ("out" + std::to_string(++runs_) + ".txt");
    ParsedQuery query;
    if (parseQuery(sql, query) != Error::ok) return "parse error";
    platform::File out;
    if (platform::createExclusive(out_path.string(), out) != Error::ok) return "create failed";
    Error e = Error::ok;
    {
      StdinSwap swap;
      if (input == nullptr) {
        swap.detach();
      } else {
        std::ofstream(in_path, std::ios::binary) << input;
        if (!swap.from(in_path)) return "redirect failed";
      }
      e = runStdinQuery(query, ResultFile{out}, options);
    }
    platform::closeFile(out);
    std::ifstream result(out_path, std::ios::binary);
    std::stringstream text;
    text << result.rdbuf();
    written_ = text.str();
    if (e != Error::ok) return "error: " + std::string(errorName(e));
    return written_;
  }

  fs::path dir_;
  int runs_ = 0;
  std::string written_;
};

TEST_F(StdinExecutorTest, OptionsShapeTheAnswer) {
  const char* data = "1,pen,12\n2,ink,abc\n3,mug,7\n";
  static const test::OptionVariants options;
  const QueryOptions& headerless = options.headerless;
  const QueryOptions& strict = options.strict;
  const QueryOptions& lines = options.lines;
  const QueryOptions& bare = options.bare;
  const QueryOptions& semicolon = options.semicolon;
  const QueryOptions& plain = options.plain;

  static const struct {
    const char* name;
    const QueryOptions* options;
    const char* input;
    const char* sql;
    const char* expected;
  } cases[] = {
      // Without a header row the first line is data under c1..cN: it is
      // filtered, counted for OFFSET and written like any later line.
      {"headerless", &headerless, data, "SELECT * FROM stdin",
       "c1,c2,c3\n1,pen,12\n2,ink,abc\n3,mug,7\n"},
      {"headerless offset", &headerless, data, "SELECT c2 FROM stdin LIMIT 1 OFFSET 1", "c2\nink\n"},
      {"headerless where", &headerless, data, "SELECT c2 FROM stdin WHERE c1 != 1", "c2\nink\nmug\n"},
      {"headerless first row only", &headerless, data, "SELECT upper(c2) AS u FROM stdin LIMIT 1",
       "u\nPEN\n"},
      {"headerless empty", &headerless, "", "SELECT * FROM stdin", "error: EmptyFile"},
      // Strict mode: a non-number under a single numeric comparison fails.
      {"lenient", &headerless, data, "SELECT c2 FROM stdin WHERE c3 > 5", "c2\npen\nmug\n"},
      {"strict", &strict, data, "SELECT c2 FROM stdin WHERE c3 > 5",
       "error: StrictModeNonNumericValue"},
      {"strict tree", &strict, data, "SELECT c2 FROM stdin WHERE c3 > 5 OR c1 = 9", "c2\npen\nmug\n"},
      {"lines", &lines, data, "SELECT c1, c2 FROM stdin LIMIT 2",
       "{\"c1\":1,\"c2\":\"pen\"}\n{\"c1\":2,\"c2\":\"ink\"}\n"},
      {"lines empty", &lines, data, "SELECT c1 FROM stdin LIMIT 0", ""},
      {"no header out", &bare, data, "SELECT c2 FROM stdin", "pen\nink\nmug\n"},
      {"semicolon", &semicolon, "a;b\n1;x\n2;y\n", "SELECT b, a FROM stdin WHERE a >= 2", "b;a\ny;2\n"},
      {"missing condition column", &plain, "a,b\n1,2\n", "SELECT a FROM stdin WHERE c = 1",
       "error: ColumnNotFound"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.input, c.sql, *c.options), c.expected) << c.name << ": " << c.sql;
  }
}

// Failures before the header is known write nothing at all.
TEST_F(StdinExecutorTest, NoInputOrNoRecordLeavesTheResultEmpty) {
  static const struct {
    const char* input;
    const char* expected;
  } cases[] = {
      {nullptr, "error: NoStandardHandleAttached"},
      {"", "error: EmptyFile"},
      {"\xef\xbb\xbf", "error: EmptyFile"},  // a byte-order mark alone holds no record
  };
  for (const auto& c : cases) {
    const std::string shown = c.input == nullptr ? "(none)" : c.input;
    EXPECT_EQ(run(c.input, "SELECT * FROM stdin", QueryOptions{}), c.expected) << shown;
    EXPECT_EQ(written_, "") << shown;
  }
}

}  // namespace
}  // namespace tavix
