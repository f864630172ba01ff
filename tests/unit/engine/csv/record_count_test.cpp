#include "engine/csv/record_count.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

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

}  // namespace
}  // namespace tavix
