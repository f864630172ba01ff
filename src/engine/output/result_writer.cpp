#include "engine/output/result_writer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tavix {

namespace {

// What a byte becomes inside a JSON string: 0 passes unchanged, 'u' is a
// "\u00XX" escape, any other value is the letter of a two-byte escape.
constexpr auto kJsonEscape = [] {
  struct Table {
    char at[256] = {};
  } t;
  for (int c = 0; c < 32; ++c) t.at[c] = 'u';
  t.at['\t'] = 't';
  t.at['\n'] = 'n';
  t.at['\r'] = 'r';
  t.at['"'] = '"';
  t.at['\\'] = '\\';
  return t;
}();

char escapeOf(char c) noexcept { return kJsonEscape.at[static_cast<uint8_t>(c)]; }

// Bytes of `text` once JSON-escaped.
size_t escapedJsonLength(std::string_view text) noexcept {
  size_t n = text.size();
  for (char c : text) {
    const char e = escapeOf(c);
    if (e != 0) n += e == 'u' ? 5 : 1;
  }
  return n;
}

// Sinks the renderers write through: the writer's buffer, a TextBuffer, or
// memory already sized for the text.
template <class Variant>
struct WriterSink {
  Variant& writer;
  Error put(const char* p, size_t n) noexcept;
  Error put(char c) noexcept { return put(&c, 1); }
};

struct TextSink {
  TextBuffer& buffer;
  Error put(const char* p, size_t n) noexcept { return appendToTextBuffer(buffer, {p, n}); }
  Error put(char c) noexcept { return put(&c, 1); }
};

struct MemorySink {
  char* cursor;
  Error put(const char* p, size_t n) noexcept {
    if (n > 0) std::memcpy(cursor, p, n);
    cursor += n;
    return Error::ok;
  }
  Error put(char c) noexcept {
    *cursor++ = c;
    return Error::ok;
  }
};

// Copies each run of unchanged bytes in one piece and the escapes between.
template <class Sink>
Error putJsonEscaped(Sink& sink, std::string_view text) noexcept {
  const char* run = text.data();
  const char* end = run + text.size();
  for (const char* p = run; p < end; ++p) {
    const char e = escapeOf(*p);
    if (e == 0) continue;
    TAVIX_TRY(sink.put(run, static_cast<size_t>(p - run)));
    if (e == 'u') {
      char esc[6];
      formatUnicodeEscape(esc, static_cast<uint8_t>(*p));
      TAVIX_TRY(sink.put(esc, sizeof esc));
    } else {
      const char esc[2] = {'\\', e};
      TAVIX_TRY(sink.put(esc, sizeof esc));
    }
    run = p + 1;
  }
  return sink.put(run, static_cast<size_t>(end - run));
}

template <class Sink>
Error putJsonString(Sink& sink, std::string_view text) noexcept {
  TAVIX_TRY(sink.put('"'));
  TAVIX_TRY(putJsonEscaped(sink, text));
  return sink.put('"');
}

template <class Sink>
Error putJsonKey(Sink& sink, std::string_view name) noexcept {
  TAVIX_TRY(putJsonString(sink, name));
  return sink.put(':');
}

// "{", the members in key order, "}".
template <class Sink>
Error putJsonObject(Sink& sink, std::span<const FieldSlice> keys, std::span<const FieldSlice> values,
                    JsonValues form) noexcept {
  TAVIX_TRY(sink.put('{'));
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i > 0) TAVIX_TRY(sink.put(','));
    TAVIX_TRY(sink.put(keys[i].data(), keys[i].size()));
    if (i >= values.size()) {
      TAVIX_TRY(sink.put("\"\"", 2));
    } else if (form == JsonValues::typed && isJsonNumber(values[i])) {
      TAVIX_TRY(sink.put(values[i].data(), values[i].size()));
    } else {
      TAVIX_TRY(putJsonString(sink, values[i]));
    }
  }
  return sink.put('}');
}

// A quoted value doubles each quote: the runs between quotes are copied with
// the quote that ends them, then that quote once more.
template <class Sink>
Error putCsvValue(Sink& sink, std::string_view value, char delimiter, CsvQuoting rule) noexcept {
  if (!csvNeedsQuotes(value, delimiter, rule)) return sink.put(value.data(), value.size());
  TAVIX_TRY(sink.put('"'));
  size_t from = 0;
  for (size_t q = value.find('"'); q != std::string_view::npos; q = value.find('"', q + 1)) {
    TAVIX_TRY(sink.put(value.data() + from, q + 1 - from));
    TAVIX_TRY(sink.put('"'));
    from = q + 1;
  }
  TAVIX_TRY(sink.put(value.data() + from, value.size() - from));
  return sink.put('"');
}

template <class Sink>
Error putCsvRecord(Sink& sink, std::span<const FieldSlice> values, char delimiter,
                   CsvQuoting rule) noexcept {
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) TAVIX_TRY(sink.put(delimiter));
    TAVIX_TRY(putCsvValue(sink, values[i], delimiter, rule));
  }
  return Error::ok;
}

// One row alone in `form`: a CSV record without line end, or a JSON object.
template <class Sink>
Error putRenderedRow(Sink& sink, const RowForm& form, std::span<const FieldSlice> values) noexcept {
  if (form.format == OutputFormat::csv)
    return putCsvRecord(sink, values, form.delimiter, CsvQuoting::delimiter_only);
  return putJsonObject(sink, form.json_keys, values, form.json_values);
}

// Runs `render` into the buffer; on failure the buffer gets its old length
// back, so a failed append leaves no partial text behind.
template <class Render>
Error appendAllOrNothing(TextBuffer& buffer, Render render) noexcept {
  const uint64_t old_len = buffer.len;
  TextSink sink{buffer};
  const Error e = render(sink);
  if (e != Error::ok) buffer.len = old_len;
  return e;
}

// The out-of-line part of buffered writing: fills the buffer, writes it whole
// whenever it is full and bytes remain, and leaves a buffer that fills
// exactly full (the file is written only when more bytes arrive).
template <class Variant>
Error writeBufferedSlow(Variant& w, const char* p, size_t n) noexcept {
  for (;;) {
    const size_t take = std::min(n, kResultBufferSize - static_cast<size_t>(w.buffered));
    std::memcpy(w.buffer + w.buffered, p, take);
    w.buffered += take;
    p += take;
    n -= take;
    if (n == 0) return Error::ok;
    TAVIX_TRY(platform::writeAll(w.handle, w.buffer, kResultBufferSize));
    w.buffered = 0;
  }
}

template <class Variant>
inline Error writeBuffered(Variant& w, const char* p, size_t n) noexcept {
  if (n <= kResultBufferSize - w.buffered) [[likely]] {
    if (n > 0) std::memcpy(w.buffer + w.buffered, p, n);
    w.buffered += n;
    return Error::ok;
  }
  return writeBufferedSlow(w, p, n);
}

template <class Variant>
Error WriterSink<Variant>::put(const char* p, size_t n) noexcept {
  return writeBuffered(writer, p, n);
}

template <class Variant>
Error flushVariant(Variant& w) noexcept {
  if (w.buffered == 0) return Error::ok;
  TAVIX_TRY(platform::writeAll(w.handle, w.buffer, static_cast<size_t>(w.buffered)));
  w.buffered = 0;
  return Error::ok;
}

RowFraming framingOf(const JsonResultWriter& w) noexcept {
  return rowFraming(w.style == JsonStyle::array ? OutputFormat::json_array : OutputFormat::json_lines);
}

Error putText(JsonResultWriter& w, std::string_view text) noexcept {
  return writeBuffered(w, text.data(), text.size());
}

// The frame before a row: the first opening before the answer's first row,
// the opening before every later one.
Error putRowOpening(JsonResultWriter& w) noexcept {
  const RowFraming f = framingOf(w);
  const Error e = putText(w, w.no_row_yet ? f.first_opening : f.opening);
  w.no_row_yet = false;
  return e;
}

Error putRowClosing(JsonResultWriter& w) noexcept { return putText(w, framingOf(w).closing); }

// Writes a long text after what is buffered, without copying it through
// the buffer; a short one is buffered.
template <class Variant>
Error writeBlock(Variant& w, std::string_view text) noexcept {
  if (text.size() <= kResultBufferSize - w.buffered) return writeBuffered(w, text.data(), text.size());
  TAVIX_TRY(flushVariant(w));
  return platform::writeAll(w.handle, text.data(), text.size());
}

void releaseKeys(JsonResultWriter& w) noexcept {
  if (w.keys != nullptr) pageAllocator().free(w.keys, w.key_block_size);
  w.keys = nullptr;
  w.key_count = 0;
  w.key_block_size = 0;
}

// Renders every key into one page-allocator block: the slice array first,
// then the key texts back to back.
Error makeColumnKeys(JsonResultWriter& w, std::span<const FieldSlice> names) noexcept {
  size_t text_bytes = 0;
  for (FieldSlice name : names) text_bytes += escapedJsonLength(name) + 3;
  const size_t slices_bytes = names.size() * sizeof(FieldSlice);
  const size_t total = slices_bytes + text_bytes;
  void* block = pageAllocator().alloc(total, alignof(FieldSlice));
  if (block == nullptr) return Error::OutOfMemory;
  FieldSlice* keys = static_cast<FieldSlice*>(block);
  MemorySink sink{static_cast<char*>(block) + slices_bytes};
  for (size_t i = 0; i < names.size(); ++i) {
    char* start = sink.cursor;
    TAVIX_IGNORE_ERROR(putJsonKey(sink, names[i]));  // memory is pre-sized; cannot fail
    ::new (&keys[i]) FieldSlice(start, static_cast<size_t>(sink.cursor - start));
  }
  w.keys = keys;
  w.key_count = names.size();
  w.key_block_size = total;
  return Error::ok;
}

}  // namespace

ResultWriter::ResultWriter() noexcept : kind(ResultWriterKind::csv) { ::new (&csv) CsvResultWriter; }

ResultWriter::~ResultWriter() { deinitResultWriter(*this); }

void initResultWriter(ResultWriter& writer, platform::File output, OutputFormat format_code,
                      char delimiter) noexcept {
  deinitResultWriter(writer);
  const uint8_t format = static_cast<uint8_t>(format_code) & 3;
  if (format == 0) {
    writer.kind = ResultWriterKind::csv;
    CsvResultWriter* w = ::new (&writer.csv) CsvResultWriter;
    w->handle = output;
    w->delimiter = delimiter;
  } else {
    writer.kind = ResultWriterKind::json;
    JsonResultWriter* w = ::new (&writer.json) JsonResultWriter;
    w->handle = output;
    w->style = format == 1 ? JsonStyle::array : JsonStyle::lines;
  }
}

Error setResultColumns(ResultWriter& writer, std::span<const FieldSlice> names,
                       bool omit_header) noexcept {
  if (writer.kind == ResultWriterKind::csv) {
    if (omit_header) return Error::ok;
    return writeCsvRow(writer.csv, names);
  }
  JsonResultWriter& w = writer.json;
  releaseKeys(w);
  w.column_names = names.data();
  w.column_count = names.size();
  if (names.empty()) return Error::ok;
  return makeColumnKeys(w, names);
}

Error writeResultRow(ResultWriter& writer, std::span<const FieldSlice> values) noexcept {
  if (writer.kind == ResultWriterKind::csv) return writeCsvRow(writer.csv, values);
  JsonResultWriter& w = writer.json;
  TAVIX_TRY(putRowOpening(w));
  WriterSink<JsonResultWriter> sink{w};
  TAVIX_TRY(putJsonObject(sink, {w.keys, static_cast<size_t>(w.key_count)}, values, JsonValues::typed));
  return putRowClosing(w);
}

Error emitRenderedRow(ResultWriter& writer, std::string_view row) noexcept {
  if (writer.kind == ResultWriterKind::csv) {
    TAVIX_TRY(writeCsvBuffered(writer.csv, row));
    return writeCsvBuffered(writer.csv, rowFraming(OutputFormat::csv).closing);
  }
  JsonResultWriter& w = writer.json;
  TAVIX_TRY(putRowOpening(w));
  TAVIX_TRY(writeJsonBuffered(w, row));
  return putRowClosing(w);
}

Error emitRenderedText(ResultWriter& writer, std::string_view text) noexcept {
  if (text.empty()) return Error::ok;
  if (writer.kind == ResultWriterKind::csv) return writeBlock(writer.csv, text);
  JsonResultWriter& w = writer.json;
  TAVIX_TRY(putRowOpening(w));
  return writeBlock(w, text);
}

Error finishResultWriter(ResultWriter& writer) noexcept {
  if (writer.kind == ResultWriterKind::csv) return Error::ok;
  JsonResultWriter& w = writer.json;
  const RowFraming f = framingOf(w);
  return putText(w, w.no_row_yet ? f.empty : f.ending);
}

Error flushResultWriter(ResultWriter& writer) noexcept {
  return writer.kind == ResultWriterKind::csv ? flushVariant(writer.csv) : flushVariant(writer.json);
}

void deinitResultWriter(ResultWriter& writer) noexcept {
  if (writer.kind == ResultWriterKind::json) releaseKeys(writer.json);
}

Error writeCsvBuffered(CsvResultWriter& writer, std::string_view bytes) noexcept {
  return writeBuffered(writer, bytes.data(), bytes.size());
}

Error writeJsonBuffered(JsonResultWriter& writer, std::string_view bytes) noexcept {
  return writeBuffered(writer, bytes.data(), bytes.size());
}

namespace {

// Whether `c` makes a value quoted under `CsvQuoting::comma_too`, with
// `delimiter` the writer's.
inline bool quotesValue(char c, char delimiter) noexcept {
  return c == '\n' || c == '\r' || c == '"' || c == ',' || c == delimiter;
}

// Puts a row none of whose values needs quotes straight into the buffer,
// checking each byte as it is copied, then `tail` as it stands, when the
// whole row fits. False (the buffer unchanged) when it does not fit or a
// value needs quotes.
bool putPlainCsvRow(CsvResultWriter& writer, std::span<const FieldSlice> values,
                    std::string_view tail) noexcept {
  size_t total = values.size() + tail.size();  // the delimiters and the tail
  for (const FieldSlice& v : values) total += v.size();
  if (total > kResultBufferSize - writer.buffered) return false;
  const char delimiter = writer.delimiter;
  char* const start = writer.buffer + writer.buffered;
  char* out = start;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) *out++ = delimiter;
    for (const char c : values[i]) {
      if (quotesValue(c, delimiter)) return false;
      *out++ = c;
    }
  }
  if (!tail.empty()) {
    std::memcpy(out, tail.data(), tail.size());
    out += tail.size();
  }
  writer.buffered += static_cast<uint64_t>(out - start);
  return true;
}

}  // namespace

Error writeCsvRow(CsvResultWriter& writer, std::span<const FieldSlice> values) noexcept {
  if (putPlainCsvRow(writer, values, "\n")) [[likely]]
    return Error::ok;
  WriterSink<CsvResultWriter> sink{writer};
  TAVIX_TRY(putCsvRecord(sink, values, writer.delimiter, CsvQuoting::comma_too));
  return sink.put('\n');
}

Error writeCsvRowWithTail(CsvResultWriter& writer, std::span<const FieldSlice> values,
                          std::string_view rendered_tail) noexcept {
  if (putPlainCsvRow(writer, values, rendered_tail)) [[likely]]
    return Error::ok;
  WriterSink<CsvResultWriter> sink{writer};
  TAVIX_TRY(putCsvRecord(sink, values, writer.delimiter, CsvQuoting::comma_too));
  return sink.put(rendered_tail.data(), rendered_tail.size());
}

bool csvNeedsQuotes(std::string_view value, char delimiter, CsvQuoting rule) noexcept {
  // Under `delimiter_only` the comma test repeats the delimiter test.
  const char comma = rule == CsvQuoting::comma_too ? ',' : delimiter;
  for (char c : value) {
    if (c == '\n' || c == '\r' || c == '"' || c == comma || c == delimiter) return true;
  }
  return false;
}

bool isJsonNumber(std::string_view text) noexcept {
  size_t i = 0;
  const size_t n = text.size();
  auto digits = [&] {
    const size_t from = i;
    while (i < n && isDigit(text[i])) ++i;
    return i - from;
  };
  if (i < n && text[i] == '-') ++i;
  if (i >= n || !isDigit(text[i])) return false;
  if (text[i] == '0') {
    ++i;
  } else {
    digits();
  }
  if (i < n && text[i] == '.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == n;
}

void formatUnicodeEscape(char (&out)[6], uint8_t byte) noexcept {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out[0] = '\\';
  out[1] = 'u';
  out[2] = '0';
  out[3] = '0';
  out[4] = kHex[byte >> 4];
  out[5] = kHex[byte & 15];
}

Error appendJsonEscaped(TextBuffer& buffer, std::string_view text) noexcept {
  return appendAllOrNothing(buffer, [&](TextSink& s) { return putJsonEscaped(s, text); });
}

Error writeJsonString(TextBuffer& buffer, std::string_view text) noexcept {
  return appendAllOrNothing(buffer, [&](TextSink& s) { return putJsonString(s, text); });
}

Error makeJsonKey(Allocator allocator, std::string_view name, FieldSlice& out) noexcept {
  const size_t len = escapedJsonLength(name) + 3;
  char* p = static_cast<char*>(allocator.alloc(len, 1));
  if (p == nullptr) return Error::OutOfMemory;
  MemorySink sink{p};
  TAVIX_IGNORE_ERROR(putJsonKey(sink, name));  // memory is pre-sized; cannot fail
  out = FieldSlice(p, len);
  return Error::ok;
}

Error appendJsonKey(TextBuffer& buffer, std::string_view name) noexcept {
  return appendAllOrNothing(buffer, [&](TextSink& s) { return putJsonKey(s, name); });
}

Error appendCsvRecord(TextBuffer& buffer, std::span<const FieldSlice> values, char delimiter,
                      CsvQuoting rule) noexcept {
  return appendAllOrNothing(buffer,
                            [&](TextSink& s) { return putCsvRecord(s, values, delimiter, rule); });
}

Error appendJsonObject(TextBuffer& buffer, std::span<const FieldSlice> keys,
                       std::span<const FieldSlice> values, JsonValues form) noexcept {
  return appendAllOrNothing(buffer, [&](TextSink& s) { return putJsonObject(s, keys, values, form); });
}

RowForm rowFormOf(const ResultWriter& writer, JsonValues json_values) noexcept {
  RowForm form;
  form.json_values = json_values;
  if (writer.kind == ResultWriterKind::csv) {
    form.format = OutputFormat::csv;
    form.delimiter = writer.csv.delimiter;
  } else {
    const JsonResultWriter& w = writer.json;
    form.format = w.style == JsonStyle::array ? OutputFormat::json_array : OutputFormat::json_lines;
    form.json_keys = {w.keys, static_cast<size_t>(w.key_count)};
  }
  return form;
}

Error appendRenderedRow(TextBuffer& buffer, const RowForm& form,
                        std::span<const FieldSlice> values) noexcept {
  return appendAllOrNothing(buffer, [&](TextSink& s) { return putRenderedRow(s, form, values); });
}

Error appendRowToText(TextBuffer& text, const RowForm& form,
                      std::span<const FieldSlice> values) noexcept {
  const RowFraming f = rowFraming(form.format);
  const bool first = text.len == 0;
  return appendAllOrNothing(text, [&](TextSink& s) {
    if (!first) TAVIX_TRY(s.put(f.opening.data(), f.opening.size()));
    TAVIX_TRY(putRenderedRow(s, form, values));
    return s.put(f.closing.data(), f.closing.size());
  });
}

}  // namespace tavix
