#include "exec/scan/parallel_scan.h"
#include "exec/scan/scan_executors.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "engine/expr/scalar_expr.h"
#include "sql/select_item.h"

namespace tavix {

const uint64_t AnswerBudget::kLimit = kMaxResultBytes;

bool AnswerBudget::withinLimit(uint64_t bytes) noexcept { return bytes <= kLimit; }

Error buildPlainOutputColumns(const ParsedQuery& query, const CsvHeader& header,
                              const ColumnIndexMap& map, OutputColumns& out) {
  out.specs.clear();
  out.labels.clear();
  if (query.select_star) {
    for (size_t i = 0; i < header.count; ++i) {
      OutputColumnSpec column_spec;
      column_spec.column = i;
      out.specs.push_back(std::move(column_spec));
      out.labels.push_back(trimHeaderName(header.names[i]));
    }
    return Error::ok;
  }
  for (const std::string& item : query.select_items) {
    const std::string_view text(item);
    const size_t as = findIgnoreCase(text, " as ");
    const std::string_view column_text = as == std::string_view::npos ? text : trim(text.substr(0, as));
    const std::optional<size_t> column = map.findAnyCase(column_text);
    if (!column) return Error::ColumnNotFound;
    OutputColumnSpec column_spec;
    column_spec.column = *column;
    out.specs.push_back(std::move(column_spec));
    out.labels.push_back(as == std::string_view::npos ? text : trim(text.substr(as + 4)));
  }
  return Error::ok;
}

Error openMappedPlainScan(const ParsedQuery& query, const InputFile& input,
                          const ResultFile& result, const QueryOptions& options,
                          MappedPlainScan& scan) {
  TAVIX_TRY(platform::fileSize(input.handle, scan.size));
  // An empty file maps to no bytes, whose header read is NoHeader.
  TAVIX_TRY(platform::mapFileReadOnly(input.handle, scan.size, scan.view));
  TAVIX_TRY(readCsvHeader(scan.view.bytes(), options.csvLayout(), scan.header));
  scan.map.assign(scan.header);
  TAVIX_TRY(buildPlainOutputColumns(query, scan.header, scan.map, scan.columns));
  initResultWriter(scan.writer, result.handle, options.output_format, options.delimiter);
  TAVIX_TRY(setResultColumns(scan.writer, scan.columns.labels, options.omit_header));
  return scan.filter.init(query, scan.map, options.strict);
}

namespace {

// A resolver that knows every column, so that only the form of an item
// decides whether it compiles as an expression.
class AnyColumnResolver final : public ColumnResolver {
 public:
  bool findColumn(std::string_view, uint64_t& index) const override {
    index = 0;
    return true;
  }
};

}  // namespace

bool selectNeedsExpressionExecutor(const ParsedQuery& query) {
  if (query.select_star) return false;
  const AnyColumnResolver any_column;
  for (const std::string& item : query.select_items) {
    try {
      const std::string_view expression = trim(splitSelectAlias(item).expression);
      ScalarExpr expr;
      bool present = false;
      if (parseScalarExpr(expression, any_column, expr, present) != Error::ok || present) return true;
    } catch (const std::bad_alloc&) {
      // Only the expression-capable executors can tell; they will run out of
      // memory the same way or answer.
      return true;
    }
  }
  return false;
}

size_t resolveWorkerCount(uint64_t thread_count_option, uint64_t body_bytes) noexcept {
  uint64_t n = thread_count_option != 0 ? thread_count_option : platform::processorCount();
  n = std::clamp<uint64_t>(n, 1, kMaxWorkerThreads);
  n = std::min<uint64_t>(n, std::max<uint64_t>(body_bytes, 1));
  return static_cast<size_t>(n);
}

Error cutScanChunks(std::string_view data, uint64_t data_start, size_t n, char delimiter,
                    std::vector<ScanChunk>& out) noexcept {
  std::vector<ScanRange> ranges;
  TAVIX_TRY(splitIntoScanRanges(data, data_start, n, delimiter, ranges));
  try {
    out.resize(ranges.size());
  } catch (...) {
    return Error::OutOfMemory;
  }
  for (size_t i = 0; i < ranges.size(); ++i) out[i] = ScanChunk{ranges[i].start, ranges[i].end, i};
  return Error::ok;
}

namespace {

// How far the cut search looks back for the start of a line, and how many
// line ends it tries, before it settles for the first line end.
constexpr size_t kCutLookBackBytes = size_t{64} << 10;
constexpr int kCutCandidates = 64;

inline bool holdsQuote(const char* from, const char* to) noexcept {
  return from < to && std::memchr(from, '"', static_cast<size_t>(to - from)) != nullptr;
}

// One past the line end at or after `from` that most likely ends a record:
// the first one whose line before and line after hold no quote (an LF with
// quote-free lines on both sides lies inside a quoted field only when that
// field spans three lines or more), or, when none of the first candidates
// is such, the first one; `length` when there is no line end. For input
// without quotes this is the first line end at or after `from`.
uint64_t likelyRecordCut(const char* data, uint64_t length, uint64_t from) noexcept {
  auto lineEndFrom = [&](uint64_t at) -> uint64_t {
    const void* lf = at < length ? std::memchr(data + at, '\n', length - at) : nullptr;
    return lf != nullptr ? static_cast<uint64_t>(static_cast<const char*>(lf) - data) : length;
  };
  const uint64_t first = lineEndFrom(from);
  uint64_t lf = first;
  for (int tries = 0; tries < kCutCandidates && lf < length; ++tries) {
    const uint64_t next = lineEndFrom(lf + 1);
    const uint64_t floor = lf > kCutLookBackBytes ? lf - kCutLookBackBytes : 0;
    uint64_t line_start = lf;
    while (line_start > floor && data[line_start - 1] != '\n') --line_start;
    const bool start_known = line_start > floor || floor == 0;
    if (start_known && !holdsQuote(data + line_start, data + lf) &&
        !holdsQuote(data + lf + 1, data + next))
      return lf + 1;
    lf = next;
  }
  return first < length ? first + 1 : length;
}

}  // namespace

Error cutChunksAtLineEnds(std::string_view data, uint64_t data_start, size_t n,
                          std::vector<ScanChunk>& out) noexcept {
  try {
    out.clear();
    if (n == 0) return Error::ok;
    const uint64_t length = data.size();
    data_start = std::min<uint64_t>(data_start, length);
    out.resize(n);
    const uint64_t step = (length - data_start) / n;
    uint64_t previous = data_start;
    for (size_t k = 1; k < n; ++k) {
      const uint64_t nominal = data_start + k * step;
      const uint64_t cut = nominal >= previous ? likelyRecordCut(data.data(), length, nominal) : previous;
      out[k - 1].end = cut;
      out[k] = ScanChunk{cut, 0, k};
      previous = cut;
    }
    out[0].start = data_start;
    out[0].index = 0;
    out[n - 1].end = length;
    return Error::ok;
  } catch (...) {
    out.clear();
    return Error::OutOfMemory;
  }
}

uint64_t DistinctRowTable::hashRow(const FieldSlice* row, size_t width) noexcept {
  // Each value's length goes in too, so that values cannot run into each
  // other ("ab","c" and "a","bc" hash apart).
  uint64_t h = 0x9e3779b97f4a7c15ull ^ width;
  for (size_t i = 0; i < width; ++i) {
    const uint64_t v = std::hash<std::string_view>{}(row[i]) ^ (row[i].size() * 0xff51afd7ed558ccdull);
    h = (h ^ v) * 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 29;
  }
  return h;
}

bool DistinctRowTable::sameRow(const FieldSlice* a, const FieldSlice* b) const noexcept {
  for (size_t i = 0; i < width_; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

size_t DistinctRowTable::findSlot(const FieldSlice* row, uint64_t hash) const noexcept {
  const size_t mask = slots_.size() - 1;
  for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.row == nullptr || (slot.hash == hash && sameRow(slot.row, row))) return i;
  }
}

bool DistinctRowTable::isNew(const FieldSlice* row, uint64_t hash) const noexcept {
  return slots_.empty() || slots_[findSlot(row, hash)].row == nullptr;
}

Error DistinctRowTable::add(const FieldSlice* row, uint64_t hash) noexcept {
  if (2 * (used_ + 1) > slots_.size()) {
    // Double (from 1024 slots) and put every row in its new place.
    std::vector<Slot> grown;
    try {
      grown.resize(slots_.empty() ? 1024 : 2 * slots_.size());
    } catch (const std::bad_alloc&) {
      return Error::OutOfMemory;
    }
    grown.swap(slots_);
    for (const Slot& slot : grown) {
      if (slot.row != nullptr) slots_[findSlot(slot.row, slot.hash)] = slot;
    }
  }
  slots_[findSlot(row, hash)] = Slot{hash, row};
  ++used_;
  return Error::ok;
}

void reportWorkerError(Error error) noexcept {
  // Assembled in a small fixed buffer so the line goes out in one write; the
  // longest error name is far below its size.
  char line[128];
  static constexpr std::string_view kPrefix = "Worker thread error: error.";
  const std::string_view name = errorName(error);
  size_t n = 0;
  std::memcpy(line, kPrefix.data(), kPrefix.size());
  n += kPrefix.size();
  const size_t name_len = std::min(name.size(), sizeof line - n - 1);
  std::memcpy(line + n, name.data(), name_len);
  n += name_len;
  line[n++] = '\n';
  platform::writeStandardError(std::string_view(line, n));
}

Error appendOutputRow(TextBuffer& text, OutputFormat format, char delimiter,
                      std::span<const FieldSlice> json_keys,
                      std::span<const FieldSlice> values) noexcept {
  const uint64_t undo = text.len;
  Error e = Error::ok;
  switch (format) {
    case OutputFormat::csv:
      // Rendered ahead, so quoted by the rendering rule: only for the
      // delimiter, LF, CR and the double quote.
      e = appendRenderedCsvRow(text, values, delimiter);
      if (e == Error::ok) e = appendToTextBuffer(text, "\n");
      break;
    case OutputFormat::json_array:
      if (text.len != 0) e = appendToTextBuffer(text, ",\n");
      if (e == Error::ok) e = appendJsonObject(text, json_keys, values);
      break;
    case OutputFormat::json_lines:
      e = appendJsonObject(text, json_keys, values);
      if (e == Error::ok) e = appendToTextBuffer(text, "\n");
      break;
  }
  if (e != Error::ok) text.len = undo;
  return e;
}

Error writeOutputTexts(const ResultFile& result, OutputFormat format,
                       std::span<const TextBuffer* const> texts) noexcept {
  const bool array = format == OutputFormat::json_array;
  bool any = false;
  for (const TextBuffer* text : texts) {
    if (text->len == 0) continue;
    if (array) TAVIX_TRY(platform::writeAll(result.handle, any ? ",\n" : "[\n", 2));
    TAVIX_TRY(platform::writeAll(result.handle, text->data, static_cast<size_t>(text->len)));
    any = true;
  }
  if (array) {
    const std::string_view end = any ? "\n]\n" : "[]\n";
    TAVIX_TRY(platform::writeAll(result.handle, end.data(), end.size()));
  }
  return Error::ok;
}

std::span<const FieldSlice> writerJsonKeys(const ResultWriter& writer) noexcept {
  if (writer.kind != ResultWriterKind::json) return {};
  return {writer.json.keys, static_cast<size_t>(writer.json.key_count)};
}

Error splitRecordFields(FieldSlice line, char delimiter, FieldSlice* fields, size_t& count,
                        ArenaAllocator& scratch) noexcept {
  const SplitResult split = splitCsvRecord(line.data(), line.size(), fields, kMaxRecordFields, delimiter);
  count = split.count;
  if (split.error != Error::ok) return split.error;
  // Most records hold no quote at all: one search of the line spares looking
  // into every field. A field the arena cannot copy keeps its doubled
  // quotes; the row is still answered rather than the query failed over a
  // few bytes of scratch.
  if (std::memchr(line.data(), '"', line.size()) == nullptr) return Error::ok;
  TAVIX_IGNORE_ERROR(unescapeDoubledQuotes(fields, count, scratch));
  return Error::ok;
}

size_t filterFieldSpan(const ParsedQuery& query, const ColumnIndexMap& map) {
  if (!query.has_where) return 0;
  size_t span = 0;
  auto take = [&](std::string_view column) {
    if (const std::optional<size_t> i = map.find(column)) span = std::max(span, *i + 1);
  };
  // Iterative walk: a long chain of ANDs and ORs must not deepen the stack.
  std::vector<const ConditionNode*> pending{&query.where};
  while (!pending.empty()) {
    const ConditionNode* node = pending.back();
    pending.pop_back();
    switch (node->kind) {
      case ConditionKind::comparison:
        take(node->comparison.column);
        break;
      case ConditionKind::date_function:
        take(node->date.column);
        if (!node->date.column2.empty()) take(node->date.column2);
        break;
      case ConditionKind::and_or:
        if (node->pair) {
          pending.push_back(&node->pair->left);
          pending.push_back(&node->pair->right);
        }
        break;
      case ConditionKind::negation:
        if (node->child) pending.push_back(node->child.get());
        break;
    }
  }
  return span;
}

Error RecordFields::splitWhole(ArenaAllocator& scratch) noexcept {
  size_t count = 0;
  if (quote_free_) {
    // Nothing to unescape: the split alone gives the fields.
    const SplitResult split =
        splitCsvRecord(line_.data(), line_.size(), fields_, kMaxRecordFields, delimiter_);
    TAVIX_TRY(split.error);
    count = split.count;
  } else {
    scratch.reset();
    TAVIX_TRY(splitRecordFields(line_, delimiter_, fields_, count, scratch));
  }
  count_ = count;
  cut_ = kAllFields;
  started_ = whole_ = true;
  return Error::ok;
}

ChunkLineReader::~ChunkLineReader() { cAllocator().free(buffer_, capacity_); }

Error ChunkLineReader::init(platform::File file, uint64_t start, uint64_t end,
                            char delimiter) noexcept {
  file_ = file;
  file_pos_ = start;
  end_ = end;
  delimiter_ = delimiter;
  at_end_ = start >= end;
  // Room for one full read plus a carried record of up to the same size;
  // longer records grow the buffer.
  const size_t want = at_end_ ? 0 : static_cast<size_t>(std::min<uint64_t>(end - start, kChunkReadBytes));
  if (want == 0) return Error::ok;
  capacity_ = want * 2;
  buffer_ = static_cast<char*>(cAllocator().alloc(capacity_, 64));
  if (buffer_ == nullptr) {
    capacity_ = 0;
    return Error::OutOfMemory;
  }
  return Error::ok;
}

Error ChunkLineReader::refill() noexcept {
  // Move the unfinished record to the front; the search resumes where it
  // stopped, in the state it stopped in.
  if (record_start_ > 0) {
    const size_t carried = filled_ - record_start_;
    std::memmove(buffer_, buffer_ + record_start_, carried);
    scan_pos_ -= record_start_;
    filled_ = carried;
    record_start_ = 0;
  }
  const size_t want = static_cast<size_t>(std::min<uint64_t>(end_ - file_pos_, kChunkReadBytes));
  if (filled_ + want > capacity_) {
    // capacity + capacity / 2 + 128 until the read fits.
    size_t grown = capacity_;
    while (grown < filled_ + want) grown = grown + grown / 2 + 128;
    void* moved = cAllocator().remap(buffer_, capacity_, grown, 64);
    if (moved == nullptr) return Error::OutOfMemory;
    buffer_ = static_cast<char*>(moved);
    capacity_ = grown;
  }
  size_t got = 0;
  TAVIX_TRY(platform::readAt(file_, file_pos_, buffer_ + filled_, want, got));
  if (got == 0) {
    at_end_ = true;
    return Error::ok;
  }
  file_pos_ += got;
  filled_ += got;
  cursor_.reset(buffer_, filled_);
  if (file_pos_ >= end_) at_end_ = true;
  return Error::ok;
}

Error ChunkLineReader::nextRecord(FieldSlice& line, bool& got, bool& quote_free) noexcept {
  quote_free = false;
  for (;;) {
    if (scan_pos_ < filled_ && scan_pos_ == record_start_) {
      // A fresh record: most end in this buffer without any quote. Records
      // that hold a quote or run past the buffer take the general scan.
      bool plain = false;
      const RecordEnd e = cursor_.next(scan_pos_, delimiter_, plain);
      if (e.found && plain) {
        line = FieldSlice(buffer_ + record_start_, e.position - record_start_);
        line_offset_ = file_pos_ - filled_ + record_start_;
        record_start_ = scan_pos_ = e.position + 1;
        if (!trimRecordLine(line)) continue;
        quote_free = true;
        got = true;
        return Error::ok;
      }
    }
    if (scan_pos_ < filled_) {
      const RecordEnd e = scanToRecordEnd(buffer_, filled_, scan_pos_, state_, delimiter_);
      if (e.found) {
        line = FieldSlice(buffer_ + record_start_, e.position - record_start_);
        line_offset_ = file_pos_ - filled_ + record_start_;
        record_start_ = scan_pos_ = e.position + 1;
        state_ = RecordScanState::at_field_start;
        if (!trimRecordLine(line)) continue;
        got = true;
        return Error::ok;
      }
      scan_pos_ = filled_;
    }
    if (at_end_) {
      // The chunk's last record has no LF (the file's last line).
      ran_over_ = ran_over_ || filled_ > record_start_;
      line = FieldSlice(buffer_ + record_start_, filled_ - record_start_);
      line_offset_ = file_pos_ - filled_ + record_start_;
      record_start_ = scan_pos_ = filled_;
      got = trimRecordLine(line);
      return Error::ok;
    }
    TAVIX_TRY(refill());
  }
}

}  // namespace tavix
