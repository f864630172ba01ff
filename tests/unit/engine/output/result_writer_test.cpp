#include "engine/output/result_writer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace tavix {
namespace {

using Row = std::vector<std::string>;

std::vector<FieldSlice> slices(const Row& row) { return {row.begin(), row.end()}; }

TEST(IsJsonNumber, AcceptsExactlyTheJsonGrammar) {
  static const struct {
    const char* text;
    bool number;
  } cases[] = {
      {"0", true},       {"-0", true},      {"7", true},       {"10.50", true},
      {"1e5", true},     {"1E-5", true},    {"1e+05", true},   {"-12.5e3", true},
      {"0.0", true},     {"123456789012345678901234567890", true},
      {"", false},       {"-", false},      {"+1", false},     {"007", false},
      {"01", false},     {"-01", false},    {".5", false},     {"5.", false},
      {"1.e5", false},   {"1e", false},     {"1e+", false},    {" 1", false},
      {"1 ", false},     {"NaN", false},    {"Infinity", false}, {"-inf", false},
      {"0x10", false},   {"1_000", false},  {"1,5", false},    {"--1", false},
      {"1e5.0", false},  {"1.2.3", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isJsonNumber(c.text), c.number) << '"' << c.text << '"';
}

TEST(JsonEscaping, EscapesControlBytesQuoteAndBackslashOnly) {
  static const struct {
    std::string text;
    std::string escaped;
  } cases[] = {
      {"plain text", "plain text"},
      {"", ""},
      {"\t\n\r", "\\t\\n\\r"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"C:\\dir\\", "C:\\\\dir\\\\"},
      {std::string("\0", 1), "\\u0000"},
      {"\x01\x08\x0B\x0C\x0E", "\\u0001\\u0008\\u000B\\u000C\\u000E"},
      {"a\x1F" "b", "a\\u001Fb"},
      {"\x7F", "\x7F"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"\x80\xFF\xC3", "\x80\xFF\xC3"},  // invalid UTF-8 passes through unchanged
      {"/", "/"},
  };
  for (const auto& c : cases) {
    TextBuffer buf;
    ASSERT_EQ(appendJsonEscaped(buf, c.text), Error::ok);
    EXPECT_EQ(buf.view(), c.escaped) << testing::visibleBytes(c.text);

    TextBuffer quoted;
    ASSERT_EQ(writeJsonString(quoted, c.text), Error::ok);
    EXPECT_EQ(quoted.view(), "\"" + c.escaped + "\"") << testing::visibleBytes(c.text);

    FieldSlice key;
    ASSERT_EQ(makeJsonKey(cAllocator(), c.text, key), Error::ok);
    EXPECT_EQ(key, "\"" + c.escaped + "\":") << testing::visibleBytes(c.text);
    cAllocator().free(const_cast<char*>(key.data()), key.size());
  }
}

TEST(JsonEscaping, UnicodeEscapeUsesFourUpperCaseHexDigits) {
  static const struct {
    uint8_t byte;
    const char* text;
  } cases[] = {{0, "\\u0000"}, {0x1F, "\\u001F"}, {0x0B, "\\u000B"}, {0xAB, "\\u00AB"}};
  for (const auto& c : cases) {
    char out[6];
    formatUnicodeEscape(out, c.byte);
    EXPECT_EQ(std::string_view(out, 6), c.text) << int(c.byte);
  }
}

TEST(CsvQuoting, QuotesOnLineEndsQuotesCommaAndDelimiter) {
  static const struct {
    std::string value;
    char delimiter;
    bool quoted;
    std::string written;
  } cases[] = {
      {"plain", ',', false, "plain"},
      {"", ',', false, ""},
      {"a\"b", ',', true, "\"a\"\"b\""},
      {"\"", ',', true, "\"\"\"\""},
      {"\"\"x\"", ',', true, "\"\"\"\"\"x\"\"\""},
      {"x,y", ',', true, "\"x,y\""},
      {"line\nbreak", ',', true, "\"line\nbreak\""},
      {"cr\rhere", ',', true, "\"cr\rhere\""},
      {"tab\there", ',', false, "tab\there"},
      {" padded ", ',', false, " padded "},
      {"a;b", ';', true, "\"a;b\""},
      {"a,b", ';', true, "\"a,b\""},
      {"a|b", ';', false, "a|b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(csvNeedsQuotes(c.value, c.delimiter), c.quoted) << testing::visibleBytes(c.value);
    TextBuffer buf;
    const FieldSlice v[] = {c.value};
    ASSERT_EQ(appendCsvRecord(buf, v, c.delimiter), Error::ok);
    EXPECT_EQ(buf.view(), c.written) << testing::visibleBytes(c.value);
  }
}

TEST(CsvQuoting, RecordJoinsValuesWithTheDelimiter) {
  static const struct {
    Row values;
    char delimiter;
    const char* record;
  } cases[] = {
      {{"a\"b", "x,y", "plain"}, ',', "\"a\"\"b\",\"x,y\",plain"},
      {{"a", "", "c"}, ',', "a,,c"},
      {{"", ""}, ',', ","},
      {{}, ',', ""},
      {{"1", "2"}, '\t', "1\t2"},
  };
  for (const auto& c : cases) {
    TextBuffer buf;
    ASSERT_EQ(appendCsvRecord(buf, slices(c.values), c.delimiter), Error::ok);
    EXPECT_EQ(buf.view(), c.record) << c.record;
  }
}

TEST(CsvQuoting, DelimiterOnlyRuleLeavesACommaUnquoted) {
  static const struct {
    Row values;
    char delimiter;
    const char* record;
  } cases[] = {
      {{"a,b", "c;d"}, ';', "a,b;\"c;d\""},
      {{"a\"b", "x\ny", "cr\rz"}, '|', "\"a\"\"b\"|\"x\ny\"|\"cr\rz\""},
      {{"x,y", "plain"}, ',', "\"x,y\",plain"},
  };
  for (const auto& c : cases) {
    for (FieldSlice v : slices(c.values)) {
      const bool special = v.find_first_of(std::string("\n\r\"") + c.delimiter) != FieldSlice::npos;
      EXPECT_EQ(csvNeedsQuotes(v, c.delimiter, CsvQuoting::delimiter_only), special)
          << testing::visibleBytes(v);
    }
    TextBuffer buf;
    ASSERT_EQ(appendCsvRecord(buf, slices(c.values), c.delimiter, CsvQuoting::delimiter_only),
              Error::ok);
    EXPECT_EQ(buf.view(), c.record) << testing::visibleBytes(c.record);
  }
}

class ResultWriterTest : public testing::ScratchDir {
 protected:
  // A writer over a new result file `name`, started for `names`.
  std::unique_ptr<ResultWriter> start(std::string_view name, OutputFormat format,
                                      const Row& names, bool omit_header = false,
                                      char delimiter = ',') {
    auto w = std::make_unique<ResultWriter>();
    initResultWriter(*w, createFile(name), format, delimiter);
    names_ = slices(names);
    EXPECT_EQ(setResultColumns(*w, names_, omit_header), Error::ok);
    return w;
  }

  // Runs the whole calling order and returns the result file's bytes.
  std::string render(OutputFormat format, const Row& names, const std::vector<Row>& rows,
                     bool omit_header = false) {
    const std::string name = "out" + std::to_string(files_++);
    auto w = start(name, format, names, omit_header);
    for (const Row& row : rows) EXPECT_EQ(writeResultRow(*w, slices(row)), Error::ok);
    EXPECT_EQ(finishResultWriter(*w), Error::ok);
    EXPECT_EQ(flushResultWriter(*w), Error::ok);
    deinitResultWriter(*w);
    return readBack(name);
  }

  std::vector<FieldSlice> names_;
  int files_ = 0;
};

TEST_F(ResultWriterTest, FramesEachFormat) {
  const auto csv = OutputFormat::csv;
  const auto array = OutputFormat::json_array;
  const auto lines = OutputFormat::json_lines;
  static const struct {
    const char* what;
    OutputFormat format;
    bool omit_header;
    Row names;
    std::vector<Row> rows;
    std::string expected;
  } cases[] = {
      {"csv header and rows", csv, false, {"id", "name"}, {{"1", "x"}, {"2", "a,b"}},
       "id,name\n1,x\n2,\"a,b\"\n"},
      {"csv header is quoted like data", csv, false, {"a\"b", "x,y"}, {}, "\"a\"\"b\",\"x,y\"\n"},
      {"csv header suppressed", csv, true, {"id"}, {{"1"}, {"2"}}, "1\n2\n"},
      {"csv no rows is the header alone", csv, false, {"id"}, {}, "id\n"},
      {"csv suppressed header and no rows", csv, true, {"id"}, {}, ""},
      {"csv row without values is a line end", csv, true, {"id"}, {{}}, "\n"},
      {"array of two rows", array, false, {"id", "name"}, {{"1", "x"}, {"2", "y"}},
       "[\n{\"id\":1,\"name\":\"x\"},\n{\"id\":2,\"name\":\"y\"}\n]\n"},
      {"array of one row", array, false, {"v"}, {{"a"}}, "[\n{\"v\":\"a\"}\n]\n"},
      {"array without rows", array, false, {"id"}, {}, "[]\n"},
      {"array ignores the header flag", array, true, {"id"}, {{"1"}}, "[\n{\"id\":1}\n]\n"},
      {"lines of two rows", lines, false, {"id"}, {{"1"}, {"x"}}, "{\"id\":1}\n{\"id\":\"x\"}\n"},
      {"lines without rows", lines, false, {"id"}, {}, ""},
      {"format 3 renders as lines", static_cast<OutputFormat>(3), false, {"id"}, {{"1"}},
       "{\"id\":1}\n"},
      {"format taken modulo 4", static_cast<OutputFormat>(5), false, {"id"}, {{"1"}},
       "[\n{\"id\":1}\n]\n"},
      {"missing values are empty strings", array, false, {"a", "b", "c"}, {{"1"}},
       "[\n{\"a\":1,\"b\":\"\",\"c\":\"\"}\n]\n"},
      {"values beyond the keys are ignored", lines, false, {"a"}, {{"1", "2", "3"}},
       "{\"a\":1}\n"},
      {"no columns gives empty objects", lines, false, {}, {{"1"}}, "{}\n"},
      {"numbers bare, the rest strings", lines, false,
       {"a", "b", "c", "d", "e", "f"}, {{"-0", "1E-5", "007", "+1", "", " 1"}},
       "{\"a\":-0,\"b\":1E-5,\"c\":\"007\",\"d\":\"+1\",\"e\":\"\",\"f\":\" 1\"}\n"},
      {"keys and values escaped", lines, false, {"we\"ird\tkey"}, {{"a\\b\x1F"}},
       "{\"we\\\"ird\\tkey\":\"a\\\\b\\u001F\"}\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(render(c.format, c.names, c.rows, c.omit_header), c.expected) << c.what;
  }
}

TEST_F(ResultWriterTest, CsvUsesTheOptionsDelimiter) {
  auto w = start("semi", OutputFormat::csv, {"a", "b"}, false, ';');
  const Row row = {"x;y", "z"};
  ASSERT_EQ(writeResultRow(*w, slices(row)), Error::ok);
  ASSERT_EQ(flushResultWriter(*w), Error::ok);
  EXPECT_EQ(readBack("semi"), "a;b\n\"x;y\";z\n");
}

TEST_F(ResultWriterTest, RenderedRowsShareTheFramingOfWrittenRows) {
  static const struct {
    OutputFormat format;
    std::string expected;
  } cases[] = {
      {OutputFormat::csv, "k\nr1\n2\nr3\n"},
      {OutputFormat::json_array, "[\n{\"x\":1},\n{\"k\":2},\n{\"x\":3}\n]\n"},
      {OutputFormat::json_lines, "{\"x\":1}\n{\"k\":2}\n{\"x\":3}\n"},
  };
  for (const auto& c : cases) {
    const bool csv = c.format == OutputFormat::csv;
    const std::string name = "mixed" + std::to_string(static_cast<int>(c.format));
    auto w = start(name, c.format, {"k"});
    const Row two = {"2"};
    ASSERT_EQ(emitRenderedRow(*w, csv ? "r1" : "{\"x\":1}"), Error::ok);
    ASSERT_EQ(writeResultRow(*w, slices(two)), Error::ok);
    ASSERT_EQ(emitRenderedRow(*w, csv ? "r3" : "{\"x\":3}"), Error::ok);
    ASSERT_EQ(finishResultWriter(*w), Error::ok);
    ASSERT_EQ(flushResultWriter(*w), Error::ok);
    EXPECT_EQ(readBack(name), c.expected) << name;
  }
}

TEST_F(ResultWriterTest, PreRenderedObjectEqualsTheWrittenRow) {
  const Row names = {"id", "na\"me", "n"};
  static const Row rows[] = {{"1", "x", "2.5"}, {"007", "tab\there", ""}, {"-1e3"}, {}};
  for (const Row& row : rows) {
    auto w = start("direct", OutputFormat::json_lines, names);
    ASSERT_EQ(writeResultRow(*w, slices(row)), Error::ok);
    ASSERT_EQ(flushResultWriter(*w), Error::ok);

    std::vector<FieldSlice> keys;
    for (const std::string& n : names) {
      FieldSlice key;
      ASSERT_EQ(makeJsonKey(cAllocator(), n, key), Error::ok);
      keys.push_back(key);
    }
    TextBuffer buf;
    ASSERT_EQ(appendJsonObject(buf, keys, slices(row)), Error::ok);
    EXPECT_EQ(std::string(buf.view()) + "\n", readBack("direct"));
    for (FieldSlice k : keys) cAllocator().free(const_cast<char*>(k.data()), k.size());
    std::filesystem::remove(path("direct"));
  }
}

TEST_F(ResultWriterTest, SettingColumnsAgainReplacesTheKeys) {
  auto w = start("again", OutputFormat::json_lines, {"old"});
  const Row fresh = {"new", "other"};
  const std::vector<FieldSlice> fresh_names = slices(fresh);
  ASSERT_EQ(setResultColumns(*w, fresh_names, false), Error::ok);
  const Row row = {"1", "2"};
  ASSERT_EQ(writeResultRow(*w, slices(row)), Error::ok);
  ASSERT_EQ(flushResultWriter(*w), Error::ok);
  EXPECT_EQ(readBack("again"), "{\"new\":1,\"other\":2}\n");
  deinitResultWriter(*w);
  deinitResultWriter(*w);  // a second release is harmless
  EXPECT_EQ(w->json.key_count, 0u);
}

TEST_F(ResultWriterTest, FileIsWrittenOnlyWhenTheFullBufferOverflowsOrIsFlushed) {
  auto w = start("exact", OutputFormat::csv, {}, true);
  const std::string fill(kResultBufferSize, 'a');
  ASSERT_EQ(writeCsvBuffered(w->csv, fill), Error::ok);
  EXPECT_EQ(readBack("exact").size(), 0u) << "an exactly full buffer is held back";
  ASSERT_EQ(writeCsvBuffered(w->csv, "b"), Error::ok);
  EXPECT_EQ(readBack("exact").size(), kResultBufferSize);
  ASSERT_EQ(flushResultWriter(*w), Error::ok);
  EXPECT_EQ(readBack("exact"), fill + "b");
  ASSERT_EQ(flushResultWriter(*w), Error::ok);  // nothing buffered: nothing written
  EXPECT_EQ(readBack("exact").size(), kResultBufferSize + 1);

  auto flushed = start("flushed", OutputFormat::json_lines, {});
  ASSERT_EQ(writeJsonBuffered(flushed->json, fill), Error::ok);
  EXPECT_EQ(readBack("flushed").size(), 0u);
  ASSERT_EQ(flushResultWriter(*flushed), Error::ok);
  EXPECT_EQ(readBack("flushed"), fill);
}

TEST_F(ResultWriterTest, RowsCrossingTheFlushPointComeOutIntact) {
  static const OutputFormat formats[] = {OutputFormat::csv, OutputFormat::json_array,
                                         OutputFormat::json_lines};
  for (OutputFormat format : formats) {
    const std::string name = "big" + std::to_string(static_cast<int>(format));
    auto w = start(name, format, {"n", "s"});
    const bool csv = format == OutputFormat::csv;
    std::string expected = csv ? "n,s\n" : "";
    // Row lengths vary so that rows, and the escapes inside them, straddle
    // several 1 MiB boundaries; one value is larger than the buffer itself.
    for (int i = 0; i < 40000; ++i) {
      std::string s(static_cast<size_t>(i % 97), 'x');
      if (i % 5 == 0) s += "\"q,\n";
      if (i == 20000) s = std::string(kResultBufferSize + 12345, 'L') + "\"";
      const Row row = {std::to_string(i), s};
      ASSERT_EQ(writeResultRow(*w, slices(row)), Error::ok);
      if (csv) {
        TextBuffer rec;
        ASSERT_EQ(appendCsvRecord(rec, slices(row), ','), Error::ok);
        expected += std::string(rec.view()) + "\n";
      } else {
        TextBuffer str;
        ASSERT_EQ(writeJsonString(str, s), Error::ok);
        if (format == OutputFormat::json_array) expected += i == 0 ? "[\n" : ",\n";
        expected += "{\"n\":" + std::to_string(i) + ",\"s\":" + std::string(str.view()) + "}";
        if (format == OutputFormat::json_lines) expected += "\n";
      }
    }
    if (format == OutputFormat::json_array) expected += "\n]\n";
    ASSERT_EQ(finishResultWriter(*w), Error::ok);
    ASSERT_EQ(flushResultWriter(*w), Error::ok);
    const std::string got = readBack(name);
    ASSERT_GT(got.size(), 3 * kResultBufferSize);
    EXPECT_TRUE(got == expected) << name << ": " << got.size() << " bytes, expected "
                                 << expected.size();
  }
}

TEST_F(ResultWriterTest, WriteErrorsAreNamedAndKeepTheBuffer) {
  // A descriptor open only for reading refuses writes.
  platform::File read_only = fileWith("ro", "");
  auto w = std::make_unique<ResultWriter>();
  initResultWriter(*w, read_only, OutputFormat::json_array, ',');
  const Row names = {"a"};
  const std::vector<FieldSlice> name_slices = slices(names);
  ASSERT_EQ(setResultColumns(*w, name_slices, false), Error::ok);
  const Row row = {"1"};
  ASSERT_EQ(writeResultRow(*w, slices(row)), Error::ok);  // still buffered
  const uint64_t held = w->json.buffered;
  Error e = flushResultWriter(*w);
  EXPECT_EQ(errorName(e), "NotOpenForWriting");
  EXPECT_EQ(w->json.buffered, held);

  // A row that overflows a full buffer fails on the forced write, and the
  // full buffer stays full.
  const std::string fill(kResultBufferSize - held, 'f');
  ASSERT_EQ(writeJsonBuffered(w->json, fill), Error::ok);
  e = writeResultRow(*w, slices(row));
  EXPECT_EQ(errorName(e), "NotOpenForWriting");
  EXPECT_EQ(w->json.buffered, kResultBufferSize);
  EXPECT_EQ(readBack("ro"), "");
}

}  // namespace
}  // namespace tavix
