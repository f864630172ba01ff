// The machinery the executors for large files share: plain output columns,
// the worker count, record-aligned chunks, worker threads, the bound on the
// answer the workers may hold, and the two ways a worker walks the records of
// its chunk (over the mapping, or by positioned reads of the input).
//
// Ownership: the executor (on the query thread) builds the columns, cuts the
// chunks, owns one context per worker and starts and joins the workers with
// `runWorkerThreads`. A worker owns its `ChunkLineReader` and its scratch
// arena. `AnswerBudget` and `WorkerStop` are the only objects several
// workers touch at once; both are atomics. Everything else here is built on
// the executor's thread and only read by workers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "exec/executor.h"
#include "engine/csv/csv_header.h"
#include "engine/csv/csv_records.h"
#include "engine/csv/field_access.h"
#include "engine/output/result_writer.h"
#include "engine/output/text_buffer.h"
#include "exec/scan/scan_pipeline.h"
#include "platform/platform.h"
#include "sql/parsed_query.h"

namespace tavix {

// Builds the output columns of the plain-column executors: `*` gives every
// header position labelled with its trimmed name; any other item is split at
// its first " as " (any case), the text before it (trimmed of blanks) is a
// header name looked up without regard to case, and the label is the text
// after it (trimmed), or the whole item as written when it has no " as ".
// No item is compiled as an expression. Returns ColumnNotFound for an item
// that names no header column.
[[nodiscard]] Error buildPlainOutputColumns(const ParsedQuery& query, const CsvHeader& header,
                                            const ColumnIndexMap& map, OutputColumns& out);

// The most worker threads one executor starts.
inline constexpr uint64_t kMaxWorkerThreads = 1024;

// Returns the number of workers for a body of `body_bytes`: the option, or
// the processor count when it is 0, clamped to 1..kMaxWorkerThreads and to
// at most one worker per body byte (at least 1).
size_t resolveWorkerCount(uint64_t thread_count_option, uint64_t body_bytes) noexcept;

// The byte range of the input handed to one worker.
struct ScanChunk {
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t index = 0;
};

// Cuts the records of `data` from `data_start` on into `n` consecutive
// chunks whose boundaries lie on true record boundaries (a quoted field
// holding line ends is never cut), so reading the chunks one after the other
// gives exactly the records of one sequential read. Returns OutOfMemory.
[[nodiscard]] Error cutScanChunks(std::string_view data, uint64_t data_start, size_t n,
                                  char delimiter, std::vector<ScanChunk>& out) noexcept;

// Cuts the records of `data` from `data_start` on into `n` chunks like
// `cutScanChunks`, but without reading the quote state of the bytes before
// each cut: each cut is one past a line end at or after its nominal offset
// (the first one whose neighbouring lines hold no quote, see the .cpp; for
// input without quotes the first line end, which is the exact cut), and a
// cut whose nominal offset lies before the previous cut takes the previous
// cut. Any cut that falls on a record start gives the answer of the exact
// cuts, since workers' results are joined in chunk order. Whether every cut
// did is known once the workers have read their chunks
// (`speculativeCutsHold`); when one did not, the executor cuts exactly and
// runs the workers again. Returns OutOfMemory.
[[nodiscard]] Error cutChunksAtLineEnds(std::string_view data, uint64_t data_start, size_t n,
                                        std::vector<ScanChunk>& out) noexcept;

// How one worker left its chunk.
struct ChunkOutcome {
  // The worker stopped before the chunk's end (an error, a reached LIMIT, a
  // stop request): nothing after this chunk is used.
  bool ended_early = false;
  // The chunk's last record ran up to the chunk's end without an LF that
  // ends it: the next chunk does not start at a record start.
  bool ran_over = false;
  // The outcome depends on what other workers counted (the shared answer
  // bound), so it stands only if every chunk was cut exactly.
  bool depends_on_all = false;
};

// Returns whether workers over chunks from `cutChunksAtLineEnds` gave the
// answer that exact chunks give. Chunks are looked at in order; a chunk's
// start is a record start when every chunk before it ended on a record
// boundary, and once a chunk ended early the chunks after it are not used.
// `outcome(i)` is the outcome of chunk i.
template <typename OutcomeOf>
bool speculativeCutsHold(size_t chunk_count, OutcomeOf&& outcome) {
  for (size_t i = 0; i < chunk_count; ++i) {
    const ChunkOutcome o = outcome(i);
    if (o.depends_on_all) return false;
    if (o.ended_early) return true;
    if (o.ran_over && i + 1 < chunk_count) return false;
  }
  return true;
}

// How a worker's pass over its chunk went. Written by the worker, read by
// the executor only after the worker's thread has been joined.
struct ChunkStatus {
  Error error = Error::ok;
  bool stopped = false;   // left the chunk on a stop request
  bool ran_over = false;  // the last record ran past the chunk's end

  // The outcome for `speculativeCutsHold`; `answer_complete`: the worker
  // ended because the answer is decided within its chunk (a reached LIMIT,
  // the answer bound passed by its own rows).
  ChunkOutcome outcome(bool answer_complete = false) const noexcept {
    ChunkOutcome o;
    o.ended_early = error != Error::ok || stopped || answer_complete;
    o.ran_over = ran_over;
    o.depends_on_all = error == Error::FileTooBig;
    return o;
  }
};

// Returns whether the workers ran over chunks cut at line ends
// (`chunks_exact` false) and one of the cuts missed a record start, so that
// their results must be dropped and the chunks cut exactly. Each context
// gives its outcome with `outcome()`.
template <typename Context>
bool speculativeCutsMissed(bool chunks_exact, const std::vector<Context>& contexts) {
  return !chunks_exact &&
         !speculativeCutsHold(contexts.size(), [&](size_t i) { return contexts[i].outcome(); });
}

// Runs `attempt(recut)` over chunks cut at line ends; when it sets `recut`
// instead of answering, `cut_exactly()` replaces the chunks by exact ones
// and the attempt runs once more. Returns the answering attempt's error, or
// the error of the exact cut.
template <typename Attempt, typename CutExactly>
[[nodiscard]] Error runWithExactRecut(Attempt&& attempt, CutExactly&& cut_exactly) {
  bool recut = false;
  const Error e = attempt(recut);
  if (!recut) return e;
  TAVIX_TRY(cut_exactly());
  return attempt(recut);
}

// Tells running workers that the rest of their chunk is not needed. The
// answer is assembled in chunk order, so once worker i has failed, or has
// found every row the answer can take, nothing a later worker finds can
// change it: workers after i stop, while workers before i run on (an error
// they meet still comes first in chunk order, which keeps the answer the same
// from run to run). Safe to use from any number of workers at once.
class WorkerStop {
 public:
  // Workers with an index above `index` may stop.
  void requestAfter(uint64_t index) noexcept {
    uint64_t seen = first_.load(std::memory_order_relaxed);
    while (index < seen && !first_.compare_exchange_weak(seen, index, std::memory_order_relaxed)) {
    }
  }
  // Every worker may stop (a worker could not be started; the call fails).
  void requestAll() noexcept { all_.store(true, std::memory_order_relaxed); }

  bool shouldStop(uint64_t index) const noexcept {
    return first_.load(std::memory_order_relaxed) < index || all_.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<uint64_t> first_{UINT64_MAX};
  std::atomic<bool> all_{false};
};

// The bound on what the workers of one query hold for the answer. The driver
// refuses any answer above kMaxResultBytes (FileTooBig), so workers count
// the bytes they are sure to contribute to the answer and stop as soon as the
// sum passes it, instead of holding an answer that would be refused anyway.
// Safe to use from any number of workers at once.
class AnswerBudget {
 public:
  // Adds `bytes` and returns false once the total passes the bound.
  bool charge(uint64_t bytes) noexcept {
    return used_.fetch_add(bytes, std::memory_order_relaxed) + bytes <= limit_;
  }

  // The bound itself, exposed so that single-worker counts can be tested
  // against it without the shared counter.
  static bool withinLimit(uint64_t bytes) noexcept;

 private:
  std::atomic<uint64_t> used_{0};
  uint64_t limit_ = kLimit;
  static const uint64_t kLimit;
};

// A worker's side of an `AnswerBudget`: bytes are handed to the shared
// counter in batches, so workers do not contend on it once per row. The
// count is exact, only late by less than one batch per worker. Belongs to
// one worker.
class BudgetShare {
 public:
  explicit BudgetShare(AnswerBudget& budget) noexcept : budget_(budget) {}

  // Adds `bytes`; returns false once the shared total has passed the bound.
  bool add(uint64_t bytes) noexcept {
    pending_ += bytes;
    if (pending_ < kBatchBytes) return true;
    const uint64_t n = pending_;
    pending_ = 0;
    return budget_.charge(n);
  }

 private:
  // Large enough that the counter is touched once per few hundred rows,
  // small enough that T workers together overshoot the bound by little.
  static constexpr uint64_t kBatchBytes = 64u << 10;

  AnswerBudget& budget_;
  uint64_t pending_ = 0;
};

// The fewest bytes a row of these values takes in any output format: every
// value, one separator or line end per value. Quoting and JSON framing only
// add to this.
inline uint64_t minimumRenderedBytes(std::span<const FieldSlice> values) noexcept {
  uint64_t n = values.size();
  for (FieldSlice v : values) n += v.size();
  return n;
}

// Appends one row to a worker's output text exactly as the result writer
// would write it in `format`: a CSV record and "\n"; for the JSON array an
// object, preceded by ",\n" unless the text is empty; for JSON lines an
// object and "\n". `json_keys` are the writer's member keys. Returns
// OutOfMemory with the text unchanged.
[[nodiscard]] Error appendOutputRow(TextBuffer& text, OutputFormat format, char delimiter,
                                    std::span<const FieldSlice> json_keys,
                                    std::span<const FieldSlice> values) noexcept;

// Writes the workers' output texts into the result file in chunk order, with
// the JSON array framing ("[\n" before the first non-empty text, ",\n"
// between texts, "\n]\n" at the end, or "[]\n" without any row). Returns
// the write error.
[[nodiscard]] Error writeOutputTexts(const ResultFile& result, OutputFormat format,
                                     std::span<const TextBuffer* const> texts) noexcept;

// The member keys a JSON result writer made in `setResultColumns`; empty for
// the CSV writer.
std::span<const FieldSlice> writerJsonKeys(const ResultWriter& writer) noexcept;

// Starts `body(&contexts[i])` for every context, in order, each on its own
// thread with the worker stack size, and waits for all of them in order.
// When a thread cannot be started, `stop` is requested, the workers already
// running are still waited for, and the start error is returned. Runs on the
// executor's thread; contexts may be read again only after it returns.
template <typename Context>
[[nodiscard]] Error runWorkerThreads(std::vector<Context>& contexts, void (*body)(void*),
                                     WorkerStop& stop) noexcept {
  std::vector<platform::Thread> threads;
  try {
    threads.resize(contexts.size());
  } catch (...) {
    return Error::OutOfMemory;
  }
  Error start_error = Error::ok;
  for (size_t i = 0; i < contexts.size(); ++i) {
    start_error = platform::startThread(threads[i], platform::kWorkerThreadStack, body,
                                        static_cast<void*>(&contexts[i]));
    if (start_error != Error::ok) {
      stop.requestAll();
      break;
    }
  }
  for (platform::Thread& t : threads) platform::joinThread(t);
  return start_error;
}

// Runs `scan()` as the body of the worker of chunk `index`: its result, or
// OutOfMemory when a container ran out of memory, becomes `status.error`, and
// a failure lets the workers after this chunk stop.
template <typename Scan>
void runChunkWorker(ChunkStatus& status, WorkerStop& stop, uint64_t index, Scan&& scan) noexcept {
  try {
    status.error = scan();
  } catch (const std::bad_alloc&) {
    status.error = Error::OutOfMemory;
  }
  if (status.error != Error::ok) stop.requestAfter(index);
}

// Writes the workers' output texts (each context's `text`) in chunk order
// with `writeOutputTexts`. Returns the write error or OutOfMemory.
template <typename Context>
[[nodiscard]] Error writeWorkerTexts(const ResultFile& result, OutputFormat format,
                                     const std::vector<Context>& contexts) {
  std::vector<const TextBuffer*> texts;
  texts.reserve(contexts.size());
  for (const Context& ctx : contexts) texts.push_back(&ctx.text);
  return writeOutputTexts(result, format, texts);
}

// The DISTINCT set of the parallel scans: rows of `width` values each, kept
// where their owner keeps them (the table holds only a hash and a pointer
// per row), in an open-addressing table, so that a lookup is one probe of a
// flat array rather than a walk through separately allocated nodes. Two rows
// are the same when all their values are equal, byte for byte and however
// long. The rows a table points to must stay in place while it is used.
// Belongs to one thread.
class DistinctRowTable {
 public:
  explicit DistinctRowTable(size_t width) noexcept : width_(width) {}

  // The hash of a row, computed once per row (on the worker that found it).
  static uint64_t hashRow(const FieldSlice* row, size_t width) noexcept;

  // Returns true when no equal row is in the table yet. Does not add it.
  bool isNew(const FieldSlice* row, uint64_t hash) const noexcept;

  // Adds a row that `isNew` has just accepted. Returns OutOfMemory, the
  // table unchanged, when it cannot grow.
  [[nodiscard]] Error add(const FieldSlice* row, uint64_t hash) noexcept;

 private:
  struct Slot {
    uint64_t hash = 0;
    const FieldSlice* row = nullptr;  // null: empty slot
  };

  size_t findSlot(const FieldSlice* row, uint64_t hash) const noexcept;
  bool sameRow(const FieldSlice* a, const FieldSlice* b) const noexcept;

  size_t width_;
  size_t used_ = 0;
  std::vector<Slot> slots_;  // a power of two in size, at most half full
};

// Writes "Worker thread error: error.<Name>" and a line end to standard error
// under the standard-error lock. Called on the failing worker's thread.
void reportWorkerError(Error error) noexcept;

// Makes a value of a record that a worker read from the file outlive the
// record: a view into `line` becomes the view of the same bytes in the
// mapping, whose copy of the line starts at `mapped_line`; any other
// non-empty text (an unescaped copy in scratch memory) is copied into
// `kept`. Returns false when that copy fails.
inline bool keepPastRecord(FieldSlice& text, FieldSlice line, const char* mapped_line,
                           ArenaAllocator& kept) noexcept {
  if (text.data() >= line.data() && text.data() + text.size() <= line.data() + line.size()) {
    text = FieldSlice(mapped_line + (text.data() - line.data()), text.size());
    return true;
  }
  return text.empty() || kept.allocator().copyText(text, text);
}

// Drops one CR before the line's end. Returns false for a line that is then
// empty: such lines hold no record.
inline bool trimRecordLine(FieldSlice& line) noexcept {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return !line.empty();
}

// Splits one record line (no LF, no trailing CR) into `fields` (room for
// kMaxRecordFields) and replaces every field holding doubled quotes by its
// unescaped copy in `scratch` (a field the arena cannot copy stays as
// split). Returns TooManyColumns for a record of more than kMaxRecordFields
// fields.
[[nodiscard]] Error splitRecordFields(FieldSlice line, char delimiter, FieldSlice* fields,
                                      size_t& count, ArenaAllocator& scratch) noexcept;

// Finds the records of one byte run one after the other and tells which of
// them hold no double quote, so that those can be cut without the
// quote-aware rules. The position of the next quote is searched once and kept
// while the records before it are handed out, so quote-free input costs one
// line-end search per record. Belongs to one worker.
class RecordCursor {
 public:
  // Starts over on [0, length) of `data`.
  void reset(const char* data, size_t length) noexcept {
    data_ = data;
    length_ = length;
    next_quote_ = 0;
    quote_known_ = false;
  }

  // For the record that starts at `pos` (a record start), returns the offset
  // of the LF that ends it as `findRecordEnd` does ({length, false} when the
  // run ends first) and sets `quote_free` when the record up to there holds
  // no double quote.
  RecordEnd next(size_t pos, char delimiter, bool& quote_free) noexcept {
    if (!quote_known_ || next_quote_ < pos) {
      const void* q = pos < length_ ? std::memchr(data_ + pos, '"', length_ - pos) : nullptr;
      next_quote_ = q != nullptr ? static_cast<size_t>(static_cast<const char*>(q) - data_) : length_;
      quote_known_ = true;
    }
    const size_t search_end = next_quote_ < length_ ? next_quote_ : length_;
    const void* lf = pos < search_end ? std::memchr(data_ + pos, '\n', search_end - pos) : nullptr;
    if (lf != nullptr) {
      quote_free = true;
      return {static_cast<size_t>(static_cast<const char*>(lf) - data_), true};
    }
    if (next_quote_ >= length_) {
      quote_free = true;
      return {length_, false};
    }
    quote_free = false;
    return findRecordEnd(data_, length_, pos, delimiter);
  }

 private:
  const char* data_ = nullptr;
  size_t length_ = 0;
  size_t next_quote_ = 0;  // offset of the first quote at or after the last search
  bool quote_known_ = false;
};

// The number of leading fields of a record that the WHERE of `query` reads:
// one past the highest column any of its leaves names (a leaf takes the
// first lower-cased header name equal to its column; a column that is no
// header name reads no field). 0 without a WHERE.
size_t filterFieldSpan(const ParsedQuery& query, const ColumnIndexMap& map);

// Asks for every field of the record.
inline constexpr size_t kAllFields = SIZE_MAX;
static_assert(kAllFields > kMaxRecordFields);

// The fields of one record line, cut only as far as they are asked for: a
// quote-free record is cut up to the last field needed (the whole record is
// still checked against the field limit), any other record is split whole
// and unescaped, as `splitRecordFields` does. The slices are the same either
// way. Belongs to one worker; 2 KiB of slots, so keep it off small stacks.
class RecordFields {
 public:
  // Starts on a new record line (no LF, no trailing CR). `quote_free`: the
  // caller knows the line holds no double quote.
  void reset(FieldSlice line, bool quote_free, char delimiter) noexcept {
    line_ = line;
    delimiter_ = delimiter;
    quote_free_ = quote_free;
    cut_ = 0;
    whole_ = false;
    started_ = false;
  }

  // Makes fields [0, min(n, count)) available, n = kAllFields for all of
  // them. `scratch` takes unescaped copies; it is reset before a whole split.
  // Returns TooManyColumns for a record of more than kMaxRecordFields fields,
  // whatever `n`.
  [[nodiscard]] Error need(size_t n, ArenaAllocator& scratch) noexcept {
    if (whole_ || (started_ && n <= cut_)) return Error::ok;
    if (quote_free_ && n < kMaxRecordFields) {
      // A quote-free record splits at every delimiter: cut it afresh up to
      // the n-th field (cheap next to the work it spares), checking the
      // field limit on the first cut only.
      const LeadingFields r = splitLeadingFields(line_.data(), line_.size(), fields_, n,
                                                 started_ ? kAllFields : kMaxRecordFields, delimiter_);
      TAVIX_TRY(r.error);
      started_ = true;
      cut_ = n;
      count_ = r.count;
      whole_ = r.count < n;
      return Error::ok;
    }
    return splitWhole(scratch);
  }

  const FieldSlice* fields() const noexcept { return fields_; }
  // Fields available; with `whole()` the record's field count.
  size_t count() const noexcept { return count_; }

 private:
  [[nodiscard]] Error splitWhole(ArenaAllocator& scratch) noexcept;

  FieldSlice line_;
  size_t count_ = 0;
  size_t cut_ = 0;       // fields asked for so far
  bool quote_free_ = false;
  bool whole_ = false;   // every field is in the slots
  bool started_ = false;  // the field limit has been checked
  char delimiter_ = ',';
  FieldSlice fields_[kMaxRecordFields];
};

// Tests the WHERE on `record`, cutting only the `filter_span` leading fields
// it reads, and sets `pass`; a passing record is then cut whole and
// projected into values[0, columns.size()) by `projectRow`. Returns the
// errors of `RecordFields::need` and `RowFilter::test`.
[[nodiscard]] inline Error filterAndProject(RecordFields& record, size_t filter_span,
                                            const RowFilter& filter, const OutputColumns& columns,
                                            ArenaAllocator& scratch, ArenaAllocator& row_arena,
                                            FieldSlice* values, bool& pass) noexcept {
  TAVIX_TRY(record.need(filter_span, scratch));
  TAVIX_TRY(filter.test(record.fields(), record.count(), pass));
  if (!pass) return Error::ok;
  TAVIX_TRY(record.need(kAllFields, scratch));
  projectRow(columns, record.fields(), record.count(), row_arena, values);
  return Error::ok;
}

// Calls `on_line(line, quote_free, stop)` for every record of the mapped
// chunk [start, end) of `data`, in order: the bytes up to the LF that ends
// the record (found quote-aware inside the chunk only), less one trailing
// CR; empty lines are skipped; `quote_free` tells that the line holds no
// double quote. Stops after a call that sets `stop`, or at the first error
// `on_line` returns, which it returns. `ran_over` is set when a record runs
// up to `end` without an LF that ends it.
template <typename OnLine>
[[nodiscard]] Error forEachMappedLine(const char* data, uint64_t start, uint64_t end,
                                      char delimiter, bool& ran_over, OnLine&& on_line) {
  uint64_t pos = start;
  bool stop = false;
  ran_over = false;
  RecordCursor cursor;
  cursor.reset(data, end);
  while (pos < end && !stop) {
    bool quote_free = false;
    const RecordEnd e = cursor.next(pos, delimiter, quote_free);
    const uint64_t record_end = e.found ? e.position : end;
    ran_over = !e.found;
    FieldSlice line(data + pos, record_end - pos);
    pos = record_end + 1;
    if (!trimRecordLine(line)) continue;
    TAVIX_TRY(on_line(line, quote_free, stop));
  }
  return Error::ok;
}

// Bytes read at a time by a worker that reads its chunk from the input file.
inline constexpr size_t kChunkReadBytes = size_t{2} << 20;

// Reads the records of one chunk of the input with positioned reads of at
// most 2 MiB, so workers never share a file position. A record that
// straddles two reads is carried to the front of the buffer; the quote state
// of the unfinished record is kept, so a long record is scanned once.
// Belongs to one worker.
class ChunkLineReader {
 public:
  ChunkLineReader() = default;
  ~ChunkLineReader();
  ChunkLineReader(const ChunkLineReader&) = delete;
  ChunkLineReader& operator=(const ChunkLineReader&) = delete;

  // Prepares to read [start, end) of `file`. Returns OutOfMemory.
  [[nodiscard]] Error init(platform::File file, uint64_t start, uint64_t end,
                           char delimiter) noexcept;

  // Sets `line` to the next record (without its LF, one trailing CR dropped;
  // empty lines are skipped) and `got` to true, or `got` to false at the end
  // of the chunk; `quote_free` tells that the line holds no double quote
  // (false when unknown). The line is valid until the next call. Returns the
  // read error or OutOfMemory.
  [[nodiscard]] Error next(FieldSlice& line, bool& got, bool& quote_free) noexcept {
    if (scan_pos_ < filled_ && scan_pos_ == record_start_) {
      // A fresh record: most end in this buffer without any quote. Empty
      // lines, records that hold a quote and records that run past the
      // buffer take the general scan.
      bool plain = false;
      const RecordEnd e = cursor_.next(scan_pos_, delimiter_, plain);
      if (e.found && plain) {
        FieldSlice found(buffer_ + record_start_, e.position - record_start_);
        if (trimRecordLine(found)) {
          line = found;
          line_offset_ = file_pos_ - filled_ + record_start_;
          record_start_ = scan_pos_ = e.position + 1;
          quote_free = got = true;
          return Error::ok;
        }
      }
    }
    return nextRecord(line, got, quote_free);
  }

  // The file offset of the first byte of the line `next` gave last.
  uint64_t lineOffset() const noexcept { return line_offset_; }

  // After `next` has reported the end: whether the chunk's last record ran
  // up to the chunk's end without an LF that ends it.
  bool ranOver() const noexcept { return ran_over_; }

 private:
  [[nodiscard]] Error nextRecord(FieldSlice& line, bool& got, bool& quote_free) noexcept;
  [[nodiscard]] Error refill() noexcept;

  platform::File file_;
  uint64_t file_pos_ = 0;
  uint64_t end_ = 0;
  char* buffer_ = nullptr;
  size_t capacity_ = 0;
  size_t filled_ = 0;
  size_t record_start_ = 0;  // first byte of the record being looked for
  size_t scan_pos_ = 0;      // where the search for its end resumes
  RecordScanState state_ = RecordScanState::at_field_start;
  RecordCursor cursor_;  // over [0, filled_) of the buffer; reset on every refill
  char delimiter_ = ',';
  bool at_end_ = false;  // nothing more to read
  bool ran_over_ = false;
  uint64_t line_offset_ = 0;
};

// Calls `on_line(line, quote_free, line_offset, done)` for every record of
// `chunk`, read from `file` by a `ChunkLineReader`: the line is valid until
// the next call and starts at file offset `line_offset`. Ends at the chunk's
// end (`status.ran_over` then tells whether its last record ran past it),
// at a stop request for the chunk (`status.stopped`), after a call that sets
// `done`, or at the first error of the reader or of `on_line`, which it
// returns.
template <typename OnLine>
[[nodiscard]] Error forEachChunkLine(platform::File file, const ScanChunk& chunk, char delimiter,
                                     const WorkerStop& stop, ChunkStatus& status,
                                     OnLine&& on_line) {
  ChunkLineReader reader;
  TAVIX_TRY(reader.init(file, chunk.start, chunk.end, delimiter));
  for (;;) {
    if (stop.shouldStop(chunk.index)) {
      status.stopped = true;
      return Error::ok;
    }
    FieldSlice line;
    bool got = false;
    bool quote_free = false;
    TAVIX_TRY(reader.next(line, got, quote_free));
    if (!got) {
      status.ran_over = reader.ranOver();
      return Error::ok;
    }
    bool done = false;
    TAVIX_TRY(on_line(line, quote_free, reader.lineOffset(), done));
    if (done) return Error::ok;
  }
}

// The start the plain-column executors over a mapped file share, built by
// `openMappedPlainScan` in this order: the file mapped, the header read
// (quote-aware), the column map, the plain output columns, the writer with
// the output started (the CSV header row buffered) and the WHERE filter.
// The members refer to each other and to the mapping, so the object stays
// where it was opened; the view goes last. Belongs to the executor's thread;
// workers only read it.
struct MappedPlainScan {
  platform::MappedView view;
  uint64_t size = 0;
  CsvHeader header;
  ColumnIndexMap map;
  OutputColumns columns;
  ResultWriter writer;
  RowFilter filter;
};

// Opens `scan` over the input. Returns the size query's error, MapFailed,
// NoHeader (an empty file or one without a line end), the header's
// TooManyColumns, ColumnNotFound (a select item or a WHERE column that is no
// header name) or the writer's error.
[[nodiscard]] Error openMappedPlainScan(const ParsedQuery& query, const InputFile& input,
                                        const ResultFile& result, const QueryOptions& options,
                                        MappedPlainScan& scan);

}  // namespace tavix
