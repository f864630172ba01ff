#include "driver/join_staging.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/query_driver.h"

namespace tavix {
namespace {

TEST(StripTableQualifiers, RewritesQualifiedNamesOnly) {
  const std::vector<std::string_view> aliases = {"t", "tt", "u"};
  const AmbiguousNames ambiguous = {"id", "city"};
  const std::string long_name(300, 'c');
  const std::string long_qualified = "t." + long_name;
  static const struct {
    std::string text;
    std::string expected;  // empty with an error
    Error error;
  } cases[] = {
      {"T.City", "", Error::AmbiguousColumnReference},  // lower-cased before the test
      {"t.Name", "Name", Error::ok},                     // the identifier keeps its case
      {"sum(t.x)", "sum(x)", Error::ok},
      {"sum(u.price) AS total", "sum(price) AS total", Error::ok},
      {"concat(t.a, u.b)", "concat(a, b)", Error::ok},
      {"tt.x", "x", Error::ok},  // aliases are tried in turn
      {"count(*)", "count(*)", Error::ok},
      {"id", "id", Error::ok},  // an unqualified name is never refused
      {"t.id", "", Error::AmbiguousColumnReference},
      {"upper(u.ID)", "", Error::AmbiguousColumnReference},
      {"at.x", "at.x", Error::ok},    // t is no identifier start here
      {"t.1x", "t.1x", Error::ok},    // a digit starts no identifier
      {"t._x", "_x", Error::ok},
      {"t.", "t.", Error::ok},
      {"t.x_1 + u.y", "x_1 + y", Error::ok},
      {"0.5", "0.5", Error::ok},
      {"", "", Error::ok},
      // Literals are copied as written, doubled quotes included.
      {"'t.x'", "'t.x'", Error::ok},
      {"concat(t.a, 'it''s t.b', u.c)", "concat(a, 'it''s t.b', c)", Error::ok},
      {"t.a = 'u.id'", "a = 'u.id'", Error::ok},
      {long_qualified, long_name, Error::ok},  // too long to be a checked name
  };
  for (const auto& c : cases) {
    std::string out = "stale";
    const Error e = stripTableQualifiers(c.text, aliases, ambiguous, out);
    EXPECT_EQ(e, c.error) << c.text;
    if (e == Error::ok) {
      EXPECT_EQ(out, c.expected) << c.text;
    }
  }
}

// A table without an alias puts an empty alias into the list; it must not
// swallow a dot that stands at an identifier start.
TEST(StripTableQualifiers, EmptyAliasMatchesNothing) {
  const std::vector<std::string_view> aliases = {"", "u"};
  const AmbiguousNames ambiguous = {"x"};
  for (const std::string text : {"sum(.x)", ".x", "a + .y", "u.b + .c"}) {
    std::string out;
    ASSERT_EQ(stripTableQualifiers(text, aliases, ambiguous, out), Error::ok) << text;
    EXPECT_EQ(out, text == "u.b + .c" ? "b + .c" : text) << text;
  }
}

TEST(ReleaseSpoolFile, DeletesByNameOnlyWhenAsked) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "tavix_spool_test";
  std::filesystem::create_directories(dir);
  const std::string kept = (dir / "kept.tmp").string();
  const std::string gone = (dir / "gone.tmp").string();
  std::ofstream(kept) << "x";
  std::ofstream(gone) << "x";
  SpoolFile keep{platform::File{}, kept, false};
  SpoolFile remove{platform::File{}, gone, true};
  releaseSpoolFile(keep);
  releaseSpoolFile(remove);
  EXPECT_TRUE(std::filesystem::exists(kept));
  EXPECT_FALSE(std::filesystem::exists(gone));
  EXPECT_TRUE(remove.path.empty());
  releaseSpoolFile(remove);  // a second release does nothing
  std::filesystem::remove_all(dir);
}

// Without TEMP the staging file is made in the current directory; it is gone
// when the statement ends, whether it succeeded or not.
TEST(JoinStaging, WithoutTempTheCurrentDirectoryIsLeftClean) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(::testing::TempDir()) / "tavix_staging_cwd_test";
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "t.csv") << "id,city\n1,Oslo\n2,Rome\n";
  std::ofstream(dir / "u.csv") << "tid,note\n1,a\n2,b\n1,c\n";
  const fs::path previous = fs::current_path();
  const char* temp = std::getenv("TEMP");
  const std::string saved_temp = temp != nullptr ? temp : "";
  unsetenv("TEMP");
  fs::current_path(dir);

  static const struct {
    const char* sql;
    Error error;
  } cases[] = {
      {"SELECT t.city FROM 't.csv' t JOIN 'u.csv' u ON t.id = u.tid GROUP BY t.city", Error::ok},
      {"SELECT t.nosuch FROM 't.csv' t JOIN 'u.csv' u ON t.id = u.tid GROUP BY t.nosuch",
       Error::ColumnNotFound},
  };
  for (const auto& c : cases) {
    ReturnedText text;
    EXPECT_EQ(runQuery(c.sql, OutputFormat::csv, text), c.error) << c.sql;
    if (text.text != nullptr) freeReturnedText(text.text);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir)) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"t.csv", "u.csv"})) << c.sql;
  }

  fs::current_path(previous);
  if (temp != nullptr) setenv("TEMP", saved_temp.c_str(), 1);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tavix
