#include "engine/csv/csv_records.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/csv/chunk_reader.h"

namespace tavix {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// The record machine byte by byte, with four explicit flags and lookahead
// for doubled quotes: the plain model the accelerated scanner must match.
size_t referenceRecordEnd(std::string_view d, size_t start, char delimiter) {
  bool at_field_start = true;
  bool in_quotes = false;
  for (size_t i = start; i < d.size(); ++i) {
    const char c = d[i];
    if (in_quotes) {
      if (c == '"') {
        if (i + 1 < d.size() && d[i + 1] == '"') {
          ++i;
        } else {
          in_quotes = false;
          at_field_start = false;
        }
      }
    } else if (c == '"' && at_field_start) {
      in_quotes = true;
      at_field_start = false;
    } else if (c == delimiter) {
      at_field_start = true;
    } else if (c == '\n') {
      return i;
    } else {
      at_field_start = false;
    }
  }
  return kNone;
}

struct Split {
  std::vector<std::string> fields;
  Error error = Error::ok;
};

// The field rule for records that hold a quote, one field after another;
// on quote-free records it gives the same fields as cutting at every
// delimiter.
Split referenceSplit(std::string_view r, size_t max_fields, char delimiter) {
  Split out;
  size_t pos = 0;
  for (;;) {
    if (pos == r.size() && !out.fields.empty()) {
      out.fields.push_back("");
      return out;
    }
    size_t next;
    if (pos < r.size() && r[pos] == '"') {
      size_t q = pos + 1;
      while (q < r.size() && !(r[q] == '"' && !(q + 1 < r.size() && r[q + 1] == '"')))
        q += r[q] == '"' ? 2 : 1;
      if (q >= r.size()) {
        out.fields.emplace_back(r.substr(pos + 1));
        return out;
      }
      out.fields.emplace_back(r.substr(pos + 1, q - pos - 1));
      next = r.find(delimiter, q + 1);
    } else {
      next = r.find(delimiter, pos);
      out.fields.emplace_back(r.substr(pos, next == std::string_view::npos ? r.npos : next - pos));
    }
    if (next == std::string_view::npos) return out;
    if (out.fields.size() == max_fields) {
      out.error = Error::TooManyColumns;
      return out;
    }
    pos = next + 1;
  }
}

Split split(std::string_view record, size_t max_fields, char delimiter = ',') {
  std::vector<FieldSlice> slots(max_fields + 1, FieldSlice("<unset>"));
  const SplitResult r = splitCsvRecord(record.data(), record.size(), slots.data(), max_fields,
                                       delimiter);
  Split out;
  out.error = r.error;
  EXPECT_LE(r.count, max_fields);
  EXPECT_EQ(slots[max_fields], "<unset>") << "wrote past max_fields for " << record;
  for (size_t i = 0; i < r.count; ++i) out.fields.emplace_back(slots[i]);
  return out;
}

std::string joinFields(const std::vector<std::string>& fields) {
  std::string s;
  for (const std::string& f : fields) s += "[" + f + "]";
  return s;
}

TEST(FindRecordEnd, FollowsQuotingRules) {
  static const struct {
    const char* data;
    size_t start;
    char delimiter;
    size_t expected;
  } cases[] = {
      {"a,b\nc", 0, ',', 3},
      {"a,\"x\ny\",b\n", 0, ',', 9},   // LF inside quotes is data
      {"a,b\"c\nd\"\n", 0, ',', 5},    // quote not at a field start
      {"\nabc\n", 0, ',', 0},          // an empty line ends at once
      {"ab\ncd\n", 3, ',', 5},
      {"x,\"ab\ncd", 0, ',', kNone},   // quote never closed
      {"abc", 0, ',', kNone},          // no line end
      {"abc\n", 4, ',', kNone},        // start at the end
      {"abc\n", 9, ',', kNone},        // start past the end
      {"\"a\"\"\n\"\n", 0, ',', 6},    // doubled quote keeps quoting
      {"\"a\"\"\"\n", 0, ',', 5},      // doubled quote then the closing one
      {"\"\"\n", 0, ',', 2},           // empty quoted field
      {"\"\"\"\"\n", 0, ',', 4},
      {"\"a\"b\"\nc\n", 0, ',', 5},    // quote after text behind a closing quote
      {"a;\"x\ny\"\n", 0, ';', 7},
      {"a;\"x\ny\"\n", 0, ',', 4},     // ';' is no delimiter here
      {"a\r\nb", 0, ',', 2},
      {"a,\"", 0, ',', kNone},
      {"0123456789abcdef,\"xx\nyy\"ab\n", 0, ',', 26},  // quote past the first words
      {"0123456789abcdef0123456789\n", 0, ',', 26},
      {"0123456,\"\n\",89abcdef01234567,\"\n\"\n", 0, ',', 32},
  };
  for (const auto& c : cases) {
    const std::string_view d(c.data);
    const RecordEnd end = findRecordEnd(d.data(), d.size(), c.start, c.delimiter);
    if (c.expected == kNone) {
      EXPECT_FALSE(end.found) << "data: " << d << " start " << c.start;
    } else {
      EXPECT_TRUE(end.found) << "data: " << d;
      EXPECT_EQ(end.position, c.expected) << "data: " << d << " start " << c.start;
    }
  }
}

TEST(FindRecordEnd, MatchesTheByteMachineOnRandomInput) {
  std::mt19937_64 rng(20240611);
  static const char kAlphabet[] = {'a', 'b', ',', '"', '"', '\n', '\r', ';'};
  for (int round = 0; round < 20000; ++round) {
    std::string d(rng() % 40, ' ');
    for (char& ch : d) ch = kAlphabet[rng() % sizeof kAlphabet];
    const size_t start = d.empty() ? 0 : rng() % (d.size() + 1);
    const size_t expected = referenceRecordEnd(d, start, ',');
    const RecordEnd end = findRecordEnd(d.data(), d.size(), start, ',');
    ASSERT_EQ(end.found ? end.position : kNone, expected) << "data: " << d << " start " << start;
  }
}

TEST(ScanToRecordEnd, ResumesAcrossPiecesWithTheSameResult) {
  // Feeding the data in two pieces, carrying the state, finds the same end as
  // one scan over the whole: the buffered reader depends on this.
  std::mt19937_64 rng(7);
  static const char kAlphabet[] = {'a', ',', '"', '"', '\n'};
  for (int round = 0; round < 5000; ++round) {
    std::string d(1 + rng() % 30, ' ');
    for (char& ch : d) ch = kAlphabet[rng() % sizeof kAlphabet];
    const size_t cut = rng() % (d.size() + 1);
    RecordScanState state = RecordScanState::at_field_start;
    RecordEnd end = scanToRecordEnd(d.data(), cut, 0, state, ',');
    if (!end.found) end = scanToRecordEnd(d.data(), d.size(), cut, state, ',');
    const size_t expected = referenceRecordEnd(d, 0, ',');
    ASSERT_EQ(end.found ? end.position : kNone, expected) << "data: " << d << " cut " << cut;
  }
}

TEST(SplitCsvRecord, CutsFieldsByTheQuoteRules) {
  static const struct {
    const char* record;
    std::vector<std::string> fields;
  } cases[] = {
      {"", {""}},
      {"a,", {"a", ""}},
      {",,", {"", "", ""}},
      {"a,b,c", {"a", "b", "c"}},
      {"\"a\"\"b\",c", {"a\"\"b", "c"}},  // doubled quote stays two bytes
      {"\"ab\"xyz,c", {"ab", "c"}},       // bytes after the closing quote dropped
      {"\"ab\"xyz", {"ab"}},
      {"\"abc", {"abc"}},                 // unterminated quoted field
      {" \"a\"", {" \"a\""}},             // quote not first: ordinary byte
      {"x\"y,z", {"x\"y", "z"}},
      {"a,\"b,c\",d", {"a", "b,c", "d"}},
      {"a,\"", {"a", ""}},
      {"\"a\",", {"a", ""}},
      {"\"\",\"\"", {"", ""}},
      {"a\rb", {"a\rb"}},                 // CR is an ordinary byte
      {" a , b ", {" a ", " b "}},         // nothing trimmed
      {"aaaaaaaaaa,bbbbbbbbbbbb,,cccccccccccc,", {"aaaaaaaaaa", "bbbbbbbbbbbb", "", "cccccccccccc", ""}},
      {"abcdefgh,ijk,\"l,m\"", {"abcdefgh", "ijk", "l,m"}},  // quote found in a later word
      {"abcdefg,ab,cd,\"g,h\"xyzw", {"abcdefg", "ab", "cd", "g,h"}},  // quote and delimiters in one word
      {"\"a\nb\",c", {"a\nb", "c"}},
  };
  for (const auto& c : cases) {
    const Split got = split(c.record, kMaxRecordFields);
    EXPECT_EQ(got.error, Error::ok) << "record: " << c.record;
    EXPECT_EQ(joinFields(got.fields), joinFields(c.fields)) << "record: " << c.record;
  }
}

TEST(SplitCsvRecord, UsesTheGivenDelimiter) {
  // The comma is an ordinary byte: after the closing quote it is dropped
  // with everything else up to the next ';'.
  const Split got = split("a;\"b;c\",d;e,f", kMaxRecordFields, ';');
  EXPECT_EQ(joinFields(got.fields), "[a][b;c][e,f]");
}

std::string recordOfFields(size_t n, bool quoted_first, bool trailing_delimiter) {
  std::string r;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) r += ',';
    if (i == 0 && quoted_first) {
      r += "\"q,0\"";
    } else {
      r += 'f';
      r += std::to_string(i);
    }
  }
  if (trailing_delimiter) r += ',';
  return r;
}

TEST(SplitCsvRecord, FieldLimitOnBothPathsKeepsTheFirstFields) {
  static const struct {
    size_t fields;
    bool trailing_delimiter;
    Error error;
  } cases[] = {
      {256, false, Error::ok},
      {257, false, Error::TooManyColumns},
      {256, true, Error::TooManyColumns},  // the trailing delimiter makes field 257
      {300, false, Error::TooManyColumns},
  };
  for (bool quoted : {false, true}) {
    for (const auto& c : cases) {
      const std::string record = recordOfFields(c.fields, quoted, c.trailing_delimiter);
      const Split got = split(record, kMaxRecordFields);
      EXPECT_EQ(got.error, c.error) << c.fields << " fields, quoted " << quoted;
      ASSERT_EQ(got.fields.size(), 256u) << c.fields << " fields, quoted " << quoted;
      EXPECT_EQ(got.fields[0], quoted ? "q,0" : "f0");
      EXPECT_EQ(got.fields[255], "f255") << c.fields << " fields, quoted " << quoted;
    }
  }
}

TEST(SplitCsvRecord, SmallLimits) {
  static const struct {
    const char* record;
    size_t max_fields;
    Error error;
    const char* fields;
  } cases[] = {
      {"a,b,c", 2, Error::TooManyColumns, "[a][b]"},
      {"\"a\",\"b\",\"c\"", 2, Error::TooManyColumns, "[a][b]"},
      {"a,b", 2, Error::ok, "[a][b]"},
      {"a", 1, Error::ok, "[a]"},
      {"a,", 1, Error::TooManyColumns, "[a]"},
      {"a", 0, Error::TooManyColumns, ""},
  };
  for (const auto& c : cases) {
    const Split got = split(c.record, c.max_fields);
    EXPECT_EQ(got.error, c.error) << c.record << " max " << c.max_fields;
    EXPECT_EQ(joinFields(got.fields), c.fields) << c.record << " max " << c.max_fields;
  }
}

TEST(SplitCsvRecord, MatchesTheFieldRuleOnRandomRecords) {
  std::mt19937_64 rng(99);
  static const char kAlphabet[] = {'a', 'b', ',', ',', '"', '"', ' ', '\r'};
  for (int round = 0; round < 20000; ++round) {
    std::string r(rng() % 40, ' ');
    for (char& ch : r) ch = kAlphabet[rng() % sizeof kAlphabet];
    const size_t max_fields = 1 + rng() % 12;
    const Split expected = referenceSplit(r, max_fields, ',');
    const Split got = split(r, max_fields);
    ASSERT_EQ(got.error, expected.error) << "record: " << r << " max " << max_fields;
    ASSERT_EQ(joinFields(got.fields), joinFields(expected.fields))
        << "record: " << r << " max " << max_fields;
  }
}

TEST(UnescapeDoubledQuotes, CollapsesPairsLeftToRight) {
  static const struct {
    const char* field;
    const char* expected;
    bool copied;
  } cases[] = {
      {"a\"\"b", "a\"b", true},
      {"\"\"\"", "\"\"", true},      // three quotes become two
      {"\"\"\"\"", "\"\"", true},    // four become two
      {"x\"y\"z", "x\"y\"z", false},  // no adjacent pair: untouched
      {"abc", "abc", false},
      {"", "", false},
      {"\"\"", "\"", true},
      {"ab\"\"cd\"\"", "ab\"cd\"", true},
  };
  ArenaAllocator arena;
  for (const auto& c : cases) {
    FieldSlice f(c.field);
    const char* before = f.data();
    ASSERT_EQ(unescapeDoubledQuotes(f, arena), Error::ok) << c.field;
    EXPECT_EQ(f, c.expected) << c.field;
    EXPECT_EQ(f.data() != before, c.copied) << c.field;
  }
}

void* failingAlloc(void*, size_t, size_t) { return nullptr; }
bool noResize(void*, void*, size_t, size_t) { return false; }
void* noRemap(void*, void*, size_t, size_t, size_t) { return nullptr; }
void noFree(void*, void*, size_t) {}
const AllocatorVTable kFailingVTable = {failingAlloc, noResize, noRemap, noFree};

TEST(UnescapeDoubledQuotes, FailedCopyIsOutOfMemoryAndLeavesTheFieldAlone) {
  ArenaAllocator arena(Allocator{nullptr, &kFailingVTable});
  FieldSlice fields[] = {FieldSlice("plain"), FieldSlice("a\"\"b")};
  EXPECT_EQ(unescapeDoubledQuotes(fields, 2, arena), Error::OutOfMemory);
  EXPECT_EQ(fields[0], "plain");
  EXPECT_EQ(fields[1], "a\"\"b");
}

// The cursor finds every line end of a run, for lines of every length up to
// past the 64 bytes searched in blocks, a quote ending the quote-free stretch
// and a last line without LF.
TEST(RecordCursor, FindsEveryLineEndWhateverTheLineLength) {
  std::string run;
  std::vector<size_t> ends;
  for (size_t length = 0; length < 150; ++length) {
    run += std::string(length, static_cast<char>('a' + length % 26));
    ends.push_back(run.size());
    run += '\n';
  }
  run += "x,\"q\nq\"\n";
  const size_t quoted_end = run.size() - 1;
  run += "last";
  RecordCursor cursor;
  cursor.reset(run.data(), run.size());
  size_t pos = 0;
  for (size_t end : ends) {
    bool quote_free = false;
    const RecordEnd e = cursor.next(pos, ',', quote_free);
    ASSERT_TRUE(e.found) << "line ending at " << end;
    ASSERT_EQ(e.position, end);
    EXPECT_TRUE(quote_free);
    pos = e.position + 1;
  }
  bool quote_free = true;
  RecordEnd e = cursor.next(pos, ',', quote_free);
  EXPECT_TRUE(e.found);
  EXPECT_EQ(e.position, quoted_end);
  EXPECT_FALSE(quote_free);
  e = cursor.next(quoted_end + 1, ',', quote_free);
  EXPECT_FALSE(e.found);
  EXPECT_EQ(e.position, run.size());
  EXPECT_TRUE(quote_free);
}

// A record with a quoted field starting anywhere (in the first byte, at
// either end of a 16-byte block, past the bytes searched in blocks) goes to
// the quote-aware scan, and the quote-free records around it are still found as such.
TEST(RecordCursor, SendsEveryRecordWithAQuoteToTheQuoteAwareScan) {
  for (size_t at : {size_t{0}, size_t{15}, size_t{16}, size_t{63}, size_t{64}, size_t{127},
                    size_t{128}, size_t{140}}) {
    // The quote opens a field, so the LF inside the quotes is no record end.
    const std::string lead = at == 0 ? "" : std::string(at - 1, 'a') + ",";
    const std::string quoted = lead + "\"b,\nc\"" + std::string(9, 'd');
    const std::string run = "plain,1\n" + quoted + "\n" + std::string(130, 'e') + "\n";
    const size_t quoted_start = 8;
    const size_t quoted_end = quoted_start + quoted.size();
    RecordCursor cursor;
    cursor.reset(run.data(), run.size());
    bool quote_free = false;
    RecordEnd e = cursor.next(0, ',', quote_free);
    ASSERT_TRUE(e.found);
    EXPECT_EQ(e.position, quoted_start - 1);
    EXPECT_TRUE(quote_free);
    e = cursor.next(quoted_start, ',', quote_free);
    ASSERT_TRUE(e.found) << "quote at " << at;
    EXPECT_EQ(e.position, quoted_end) << "quote at " << at;
    EXPECT_FALSE(quote_free) << "quote at " << at;
    e = cursor.next(quoted_end + 1, ',', quote_free);
    ASSERT_TRUE(e.found);
    EXPECT_EQ(e.position, run.size() - 1);
    EXPECT_TRUE(quote_free) << "quote at " << at;
  }
}

}  // namespace
}  // namespace tavix
