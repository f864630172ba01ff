#include "driver/join_staging.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace tavix
