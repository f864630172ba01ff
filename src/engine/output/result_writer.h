// ResultWriter: the buffered CSV or JSON renderer in front of the query's
// result file; the one renderer of rows: rows rendered ahead into a
// `TextBuffer` (by worker threads, or for sorting) are rendered here too, in
// a `RowForm`; and the text rules it is built from (CSV quoting, JSON
// escaping, member keys, the JSON number test).
//
// The writer is a tagged union of a CSV and a JSON variant; each carries its
// own 1 MiB output buffer, so the writer is large and lives in the executor's
// frame (the query worker has a 64 MiB stack) for the executor's whole run.
// Output passes through that buffer, so the file sees 1 MiB writes except
// the last; only a text of rows rendered ahead that does not fit in the
// buffer's free room goes to the file directly, after what is buffered. The
// JSON variant pre-renders one member key per output column once, so writing
// a row allocates nothing.
//
// Output texts (the framing is `rowFraming`, output_format.h):
//   CSV        one record per row, values joined by the delimiter, "\n" after
//              each record; a value holding LF, CR, a double quote, a comma or
//              the delimiter is quoted with its quotes doubled.
//   JSON array "[\n", objects separated by ",\n", then "\n]\n"; "[]\n" when
//              there are no rows.
//   JSON lines one object per line, nothing when there are no rows.
// A value is written as a bare JSON number when `isJsonNumber` accepts it and
// as a JSON string otherwise; there is no null, true or false.
//
// Calling order: `initResultWriter`, `setResultColumns` once, rows
// (`writeResultRow`, `emitRenderedRow` or `emitRenderedText`),
// `finishResultWriter`, `flushResultWriter`; `deinitResultWriter` (also run
// by the destructor) on every exit. The writer never closes the result file:
// the driver owns it. A writer is used by one thread at a time; worker
// threads render into their own `TextBuffer`s instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "engine/output/output_format.h"
#include "engine/output/text_buffer.h"
#include "platform/platform.h"

namespace tavix {

// Bytes held back before the result file is written.
inline constexpr size_t kResultBufferSize = 1u << 20;

enum class JsonStyle : uint8_t { array = 1, lines = 2 };

struct CsvResultWriter {
  platform::File handle;
  uint64_t buffered = 0;
  char delimiter = ',';
  char buffer[kResultBufferSize];  // left uninitialised: only [0, buffered) is read
};

struct JsonResultWriter {
  platform::File handle;
  // The names given to `setResultColumns`; not copied.
  const FieldSlice* column_names = nullptr;
  uint64_t column_count = 0;
  // One rendered member key per output column ("\"price\":"). The slices and
  // their texts share one page-allocator block of `key_block_size` bytes,
  // which the writer owns.
  FieldSlice* keys = nullptr;
  uint64_t key_count = 0;
  size_t key_block_size = 0;
  uint64_t buffered = 0;
  JsonStyle style = JsonStyle::array;
  bool no_row_yet = true;
  char buffer[kResultBufferSize];  // left uninitialised: only [0, buffered) is read
};

enum class ResultWriterKind : uint8_t { csv = 0, json = 1 };

struct ResultWriter {
  ResultWriterKind kind;
  union {
    CsvResultWriter csv;
    JsonResultWriter json;
  };

  // A CSV writer without a handle; `initResultWriter` makes it usable.
  ResultWriter() noexcept;
  // Releases the JSON keys; writes nothing.
  ~ResultWriter();
  ResultWriter(const ResultWriter&) = delete;
  ResultWriter& operator=(const ResultWriter&) = delete;
};

// Builds the writer over `output` for `format` taken modulo 4: 0 CSV with
// `delimiter`, 1 JSON array, 2 and 3 JSON lines. Nothing is buffered or
// written; keys from an earlier use are released. `output` is never closed.
void initResultWriter(ResultWriter& writer, platform::File output, OutputFormat format,
                      char delimiter) noexcept;

// Starts the output for these output columns. CSV: writes the names as the
// header row unless `omit_header` is set. JSON: writes nothing, ignores
// `omit_header`, keeps `names` (which must outlive the writer's rows) and
// renders one member key per name, replacing earlier keys. Returns
// OutOfMemory when the keys cannot be made (the writer then has no keys), or
// a write error.
[[nodiscard]] Error setResultColumns(ResultWriter& writer, std::span<const FieldSlice> names,
                                     bool omit_header) noexcept;

// Renders and writes one row. CSV: one record. JSON: the framing of the
// style, then one object with a member per key; a key without a value gets
// the empty string, values beyond the keys are ignored. Returns a write
// error of the result file.
[[nodiscard]] Error writeResultRow(ResultWriter& writer, std::span<const FieldSlice> values) noexcept;

// Writes one row rendered in advance (`appendRenderedRow`): a CSV record
// without its line end, or one JSON object, framed as `writeResultRow` frames
// its rows.
[[nodiscard]] Error emitRenderedRow(ResultWriter& writer, std::string_view row) noexcept;

// Writes a text of rows made by `appendRowToText` in the writer's form, as
// if each of its rows had been written by `writeResultRow`: the JSON array's
// opening goes before a text that is not empty. Returns the write error.
[[nodiscard]] Error emitRenderedText(ResultWriter& writer, std::string_view text) noexcept;

// Writes the closing text: for the JSON array "[]\n" when no row was written,
// else "\n]\n"; nothing for CSV and JSON lines.
[[nodiscard]] Error finishResultWriter(ResultWriter& writer) noexcept;

// Writes everything buffered to the result file. On failure the bytes stay
// buffered and the error of the write is returned.
[[nodiscard]] Error flushResultWriter(ResultWriter& writer) noexcept;

// Releases the JSON keys (the CSV variant holds nothing); writes nothing.
// Safe to call more than once.
void deinitResultWriter(ResultWriter& writer) noexcept;

// Append bytes through the variant's buffer. A buffer that fills exactly
// stays full: the file is written only when more bytes arrive or on flush.
// On a write error the bytes not yet taken into the buffer are dropped and
// the buffer stays full.
[[nodiscard]] Error writeCsvBuffered(CsvResultWriter& writer, std::string_view bytes) noexcept;
[[nodiscard]] Error writeJsonBuffered(JsonResultWriter& writer, std::string_view bytes) noexcept;

// Writes one CSV record ("\n" ended), also used for the header row.
[[nodiscard]] Error writeCsvRow(CsvResultWriter& writer, std::span<const FieldSlice> values) noexcept;

// Writes one CSV record whose last values were rendered ahead: `values` as
// `writeCsvRow` writes them, then `rendered_tail` unchanged (the rest of
// the record, with its leading delimiter when `values` is not empty, and
// its "\n"). So a row of values followed by the same rendered values of a
// stored row costs one copy of the stored part.
[[nodiscard]] Error writeCsvRowWithTail(CsvResultWriter& writer, std::span<const FieldSlice> values,
                                        std::string_view rendered_tail) noexcept;

// Which bytes make a CSV value quoted. `comma_too`, the writer's rule: LF,
// CR, a double quote, a comma or the delimiter. `delimiter_only`: LF, CR, a
// double quote or the delimiter, a comma being an ordinary byte under another
// delimiter.
enum class CsvQuoting : uint8_t { comma_too = 0, delimiter_only = 1 };

// True when `value` must be quoted in a CSV record under `rule`.
bool csvNeedsQuotes(std::string_view value, char delimiter,
                    CsvQuoting rule = CsvQuoting::comma_too) noexcept;

// True when the whole text is a JSON number: an optional "-", then "0" or a
// digit 1-9 followed by digits, an optional "." with at least one digit, and
// an optional "e"/"E" with an optional sign and at least one digit.
bool isJsonNumber(std::string_view text) noexcept;

// Writes "\u" and `byte` as four upper-case hexadecimal digits into `out`.
void formatUnicodeEscape(char (&out)[6], uint8_t byte) noexcept;

// Appends `text` JSON-escaped (no surrounding quotes): TAB, LF, CR, quote and
// backslash get their two-byte escapes, the other bytes below 32 "\u00XX";
// every other byte, 127 and 128..255 included, passes unchanged (UTF-8 is not
// checked). Returns OutOfMemory with the buffer unchanged.
[[nodiscard]] Error appendJsonEscaped(TextBuffer& buffer, std::string_view text) noexcept;

// Appends `text` as a quoted, escaped JSON string. Returns OutOfMemory with
// the buffer unchanged.
[[nodiscard]] Error writeJsonString(TextBuffer& buffer, std::string_view text) noexcept;

// Makes the member key of `name`: a quote, the escaped name, a quote and a
// colon, owned by the caller and released with `allocator.free(out.data(),
// out.size())`. Returns OutOfMemory with `out` unchanged.
[[nodiscard]] Error makeJsonKey(Allocator allocator, std::string_view name, FieldSlice& out) noexcept;

// Appends the member key of `name` (as `makeJsonKey` makes it) to `buffer`.
// Returns OutOfMemory with the buffer unchanged.
[[nodiscard]] Error appendJsonKey(TextBuffer& buffer, std::string_view name) noexcept;

// Appends one CSV record without its line end: the values joined by
// `delimiter`, each value that `csvNeedsQuotes` marks under `rule` between
// double quotes with its quotes doubled. The default rule quotes as
// `writeCsvRow` does. Returns OutOfMemory with the buffer unchanged.
[[nodiscard]] Error appendCsvRecord(TextBuffer& buffer, std::span<const FieldSlice> values,
                                    char delimiter,
                                    CsvQuoting rule = CsvQuoting::comma_too) noexcept;

// How the values of a JSON object rendered ahead are written.
enum class JsonValues : uint8_t {
  typed = 0,    // as the writer writes them: numbers bare, other values as strings
  strings = 1,  // every value a JSON string (rows rendered before sorting)
};

// Appends one JSON object as `writeResultRow` renders it (without the
// framing of the style): a member per key, values by `form`, the empty
// string for a key without a value. Returns OutOfMemory with the buffer
// unchanged.
[[nodiscard]] Error appendJsonObject(TextBuffer& buffer, std::span<const FieldSlice> keys,
                                     std::span<const FieldSlice> values,
                                     JsonValues form = JsonValues::typed) noexcept;

// ---------------------------------------------------------- rows rendered ahead

// The form of rows rendered ahead of their writing: the format, the CSV
// delimiter, the member keys of JSON objects (`makeJsonKey` texts, one per
// column, which must outlive the form's use) and how JSON values are
// written. A rendered CSV record is quoted by the rendering rule (only for
// the delimiter, LF, CR and the double quote; `CsvQuoting::delimiter_only`).
struct RowForm {
  OutputFormat format = OutputFormat::csv;  // normalised
  char delimiter = ',';
  std::span<const FieldSlice> json_keys;
  JsonValues json_values = JsonValues::typed;
};

// The form in which `writer` writes its rows, with its member keys (which
// live as long as the writer's columns).
RowForm rowFormOf(const ResultWriter& writer, JsonValues json_values = JsonValues::typed) noexcept;

// Appends one row alone in `form`: a CSV record without its line end, or one
// JSON object; the text `emitRenderedRow` takes. Returns OutOfMemory with
// the buffer unchanged.
[[nodiscard]] Error appendRenderedRow(TextBuffer& buffer, const RowForm& form,
                                      std::span<const FieldSlice> values) noexcept;

// Appends one row to a text of rows, framed for `emitRenderedText`: the
// format's opening of a later row unless the text is empty (",\n" in a JSON
// array), the row as `appendRenderedRow` renders it, and the format's
// closing ("\n" after a CSV record or a JSON line). Texts made one after
// the other and emitted in order give the rows of one answer. Returns
// OutOfMemory with the text unchanged.
[[nodiscard]] Error appendRowToText(TextBuffer& text, const RowForm& form,
                                    std::span<const FieldSlice> values) noexcept;

// Appends the values as one delimited line for a row rendered ahead: the
// values in order joined by `delimiter`, a value holding the delimiter, LF,
// CR or a double quote written between double quotes with each double quote
// doubled, any other value unchanged, no line end. The delimiter alone
// decides; a comma is an ordinary byte under another delimiter. Returns
// OutOfMemory with the buffer unchanged.
[[nodiscard]] inline Error appendRenderedCsvRow(TextBuffer& buffer,
                                                std::span<const FieldSlice> values,
                                                char delimiter) noexcept {
  return appendCsvRecord(buffer, values, delimiter, CsvQuoting::delimiter_only);
}

}  // namespace tavix
