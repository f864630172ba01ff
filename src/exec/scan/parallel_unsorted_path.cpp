// The unsorted path of runParallelMappedQuery.
//
// Render mode (no LIMIT, no DISTINCT): each `scanWorkerMain` reads its chunk
// from the input file by positioned reads and renders its rows straight into
// its own output text, exactly as the result writer would write them; the
// executor writes the texts in chunk order, adding the JSON array framing.
//
// Row mode (a LIMIT, or DISTINCT): each worker walks its chunk in the mapping
// and collects its rows as field views (fields it had to unescape are copied
// into memory the worker keeps until the executor is done); the executor
// writes them in chunk order through the writer, drops duplicates and stops
// at the LIMIT. A worker stops once it holds as many rows as the LIMIT: by
// the end of its rows the answer is complete, so later chunks are not needed
// either.
//
// A failing worker prints the error line and ends; after joining, the first
// error in chunk order fails the call and no rows are written.
#include <new>
#include <vector>

#include "engine/csv/csv_records.h"
#include "engine/output/text_buffer.h"
#include "exec/scan/parallel_mapped_paths.h"
#include "platform/platform.h"

namespace tavix {

namespace {

// What every scan worker reads.
struct ScanPathShared {
  const ParallelScanFrame* frame = nullptr;
  bool render_text = false;
  OutputFormat format = OutputFormat::csv;
  std::span<const FieldSlice> json_keys;
  AnswerBudget budget;
  WorkerStop stop;
};

// One worker of the unsorted path. Filled before its thread starts, read by
// the executor after the thread has been joined.
struct ScanWorkerContext {
  ScanPathShared* shared = nullptr;
  ScanChunk chunk;
  TextBuffer text;  // render mode: the rendered rows
  // Row mode: the collected rows, `columns.size()` values per row, and the
  // unescaped texts they view.
  std::vector<FieldSlice> rows;
  ArenaAllocator kept_texts;
  DistinctRowSet distinct_rows;  // row mode with DISTINCT: this chunk's rows
  bool reached_limit = false;    // the answer is complete after these rows
  bool overflowed = false;       // the rows alone pass the answer bound
  Error error = Error::ok;
};

inline bool viewsInto(FieldSlice text, FieldSlice line) noexcept {
  return text.data() >= line.data() && text.data() + text.size() <= line.data() + line.size();
}

// The per-record state of one worker.
struct ScanWorkerState {
  FieldSlice fields[kMaxRecordFields];
  std::vector<FieldSlice> values;
  ArenaAllocator scratch;
  ArenaAllocator row_arena;
};

// Splits one line, tests WHERE and projects; sets `pass`.
[[nodiscard]] Error processScanLine(const ParallelScanFrame& frame, ScanWorkerState& state,
                                    FieldSlice line, bool& pass) {
  state.scratch.reset();
  size_t count = 0;
  TAVIX_TRY(splitRecordFields(line, frame.options->delimiter, state.fields, count, state.scratch));
  TAVIX_TRY(frame.filter->test(state.fields, count, pass));
  if (pass) projectRow(*frame.columns, state.fields, count, state.row_arena, state.values.data());
  return Error::ok;
}

Error renderChunk(ScanWorkerContext& ctx, ScanWorkerState& state) {
  const ScanPathShared& shared = *ctx.shared;
  const ParallelScanFrame& frame = *shared.frame;
  const char delimiter = frame.options->delimiter;
  ChunkLineReader reader;
  TAVIX_TRY(reader.init(frame.input->handle, ctx.chunk.start, ctx.chunk.end, delimiter));
  BudgetShare budget(ctx.shared->budget);
  for (;;) {
    if (shared.stop.shouldStop(ctx.chunk.index)) return Error::ok;
    FieldSlice line;
    bool got = false;
    TAVIX_TRY(reader.next(line, got));
    if (!got) return Error::ok;
    bool pass = false;
    TAVIX_TRY(processScanLine(frame, state, line, pass));
    if (!pass) continue;
    const uint64_t before = ctx.text.len;
    TAVIX_TRY(appendOutputRow(ctx.text, shared.format, delimiter, shared.json_keys, state.values));
    if (!budget.add(ctx.text.len - before)) return Error::FileTooBig;
  }
}

Error collectChunk(ScanWorkerContext& ctx, ScanWorkerState& state) {
  const ScanPathShared& shared = *ctx.shared;
  const ParallelScanFrame& frame = *shared.frame;
  const ParsedQuery& query = *frame.query;
  const int64_t limit = query.limit;
  uint64_t held = 0;
  uint64_t held_bytes = 0;
  return forEachMappedLine(
      frame.data, ctx.chunk.start, ctx.chunk.end, frame.options->delimiter,
      [&](FieldSlice line, bool& stop) -> Error {
        if (shared.stop.shouldStop(ctx.chunk.index)) {
          stop = true;
          return Error::ok;
        }
        bool pass = false;
        TAVIX_TRY(processScanLine(frame, state, line, pass));
        if (!pass) return Error::ok;
        if (query.distinct) {
          bool fresh = false;
          TAVIX_TRY(ctx.distinct_rows.insertRow(state.values, fresh));
          if (!fresh) return Error::ok;
        }
        if (limit == 0) {
          // LIMIT 0 ends the scan at the first row that would be written.
          ctx.reached_limit = stop = true;
          return Error::ok;
        }
        for (FieldSlice& v : state.values) {
          if (!v.empty() && !viewsInto(v, line)) {
            Allocator kept = ctx.kept_texts.allocator();
            if (!kept.copyText(v, v)) return Error::OutOfMemory;
          }
        }
        ctx.rows.insert(ctx.rows.end(), state.values.begin(), state.values.end());
        ++held;
        held_bytes += minimumRenderedBytes(state.values);
        if (limit > 0 && held >= static_cast<uint64_t>(limit)) {
          ctx.reached_limit = stop = true;
        } else if (!AnswerBudget::withinLimit(held_bytes)) {
          // Every row held here is in the answer if the executor gets past
          // them without reaching the LIMIT; it then fails with FileTooBig.
          ctx.overflowed = stop = true;
        }
        return Error::ok;
      });
}

// Thread body of the unsorted path: renders or collects the rows of one
// chunk. On failure it prints the worker error line and ends; the outcome is
// the context's error, text or rows. Touches only its context, its own
// memory and the shared counters.
void scanWorkerMain(void* arg) {
  ScanWorkerContext& ctx = *static_cast<ScanWorkerContext*>(arg);
  try {
    ScanWorkerState state;
    state.values.resize(ctx.shared->frame->columns->size());
    ctx.error = ctx.shared->render_text ? renderChunk(ctx, state) : collectChunk(ctx, state);
  } catch (const std::bad_alloc&) {
    ctx.error = Error::OutOfMemory;
  }
  if (ctx.error != Error::ok) {
    reportWorkerError(ctx.error);
    ctx.shared->stop.requestAfter(ctx.chunk.index);
  } else if (ctx.reached_limit || ctx.overflowed) {
    ctx.shared->stop.requestAfter(ctx.chunk.index);
  }
}

[[nodiscard]] Error writeCollectedRows(const ParallelScanFrame& frame,
                                       std::vector<ScanWorkerContext>& contexts) {
  const ParsedQuery& query = *frame.query;
  const size_t width = frame.columns->size();
  DistinctRowSet distinct_rows;
  uint64_t written = 0;
  bool done = query.limit == 0;
  for (ScanWorkerContext& ctx : contexts) {
    if (done) break;
    const size_t row_count = width == 0 ? 0 : ctx.rows.size() / width;
    for (size_t r = 0; r < row_count && !done; ++r) {
      const std::span<const FieldSlice> row(ctx.rows.data() + r * width, width);
      if (query.distinct) {
        bool fresh = false;
        TAVIX_TRY(distinct_rows.insertRow(row, fresh));
        if (!fresh) continue;
      }
      TAVIX_TRY(writeResultRow(*frame.writer, row));
      ++written;
      done = query.limit >= 0 && written >= static_cast<uint64_t>(query.limit);
    }
    if (done) break;
    TAVIX_TRY(ctx.error);
    if (ctx.overflowed) return Error::FileTooBig;
    if (ctx.reached_limit) break;
    std::vector<FieldSlice>().swap(ctx.rows);
  }
  return finishScanOutput(*frame.writer);
}

}  // namespace

Error runParallelUnsortedPath(ParallelScanFrame& frame) {
  const ParsedQuery& query = *frame.query;
  ScanPathShared shared;
  shared.frame = &frame;
  shared.render_text = query.limit < 0 && !query.distinct;
  shared.format = normalizedFormat(frame.options->output_format);
  shared.json_keys = writerJsonKeys(*frame.writer);

  std::vector<ScanWorkerContext> contexts(frame.chunks.size());
  for (size_t i = 0; i < contexts.size(); ++i) {
    contexts[i].shared = &shared;
    contexts[i].chunk = frame.chunks[i];
  }
  TAVIX_TRY(runWorkerThreads(contexts, scanWorkerMain, shared.stop));
  if (!shared.render_text) return writeCollectedRows(frame, contexts);

  for (const ScanWorkerContext& ctx : contexts) TAVIX_TRY(ctx.error);
  TAVIX_TRY(flushResultWriter(*frame.writer));
  std::vector<const TextBuffer*> texts;
  texts.reserve(contexts.size());
  for (const ScanWorkerContext& ctx : contexts) texts.push_back(&ctx.text);
  return writeOutputTexts(*frame.result, shared.format, texts);
}

}  // namespace tavix
