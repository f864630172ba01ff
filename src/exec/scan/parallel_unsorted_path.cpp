// The unsorted path of runParallelMappedQuery.
//
// Render mode (no LIMIT, no DISTINCT): each `scanWorkerMain` reads its chunk
// from the input file by positioned reads and renders its rows straight into
// its own output text, exactly as the result writer would write them; the
// executor writes the texts in chunk order, adding the JSON array framing.
//
// Row mode (a LIMIT, or DISTINCT): each worker reads its chunk the same way
// and collects its rows as views into the mapping (fields it had to
// unescape are copied into memory the worker keeps until the executor is
// done); the executor writes them in chunk order through the writer, drops
// duplicates and stops at the LIMIT. A worker stops once it holds as many
// rows as the LIMIT: by the end of its rows the answer is complete, so later
// chunks are not needed either.
//
// Chunks are first cut at line ends (see `cutChunksAtLineEnds`); when the
// workers' outcomes show that a cut fell inside a quoted field, the chunks
// are cut exactly and the workers run again before anything is written.
//
// A failing worker ends; after joining, the executor prints the worker
// error line for each failed worker, the first error in chunk order fails
// the call and no rows are written.
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
  size_t filter_span = 0;
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
  // Row mode with DISTINCT: each row's DistinctRowTable hash, computed here
  // so that the executor's pass over all rows only probes its table.
  std::vector<uint64_t> row_hashes;
  bool reached_limit = false;    // the answer is complete after these rows
  bool overflowed = false;       // the rows alone pass the answer bound
  ChunkStatus status;

  ChunkOutcome outcome() const noexcept { return status.outcome(reached_limit || overflowed); }
};

// The per-record state of one worker.
struct ScanWorkerState {
  RecordFields record;
  std::vector<FieldSlice> values;
  ArenaAllocator scratch;
  ArenaAllocator row_arena;
  size_t filter_span = 0;  // leading fields the WHERE reads
};

// Tests WHERE on one line, cutting only the fields it reads, and projects
// the whole record when it passes; sets `pass`.
[[nodiscard]] Error processScanLine(const ParallelScanFrame& frame, ScanWorkerState& state,
                                    FieldSlice line, bool quote_free, bool& pass) {
  state.record.reset(line, quote_free, frame.options->delimiter);
  return filterAndProject(state.record, state.filter_span, *frame.filter, *frame.columns,
                          state.scratch, state.row_arena, state.values.data(), pass);
}

Error renderChunk(ScanWorkerContext& ctx, ScanWorkerState& state) {
  const ScanPathShared& shared = *ctx.shared;
  const ParallelScanFrame& frame = *shared.frame;
  const char delimiter = frame.options->delimiter;
  BudgetShare budget(ctx.shared->budget);
  return forEachChunkLine(
      frame.input->handle, ctx.chunk, delimiter, shared.stop, ctx.status,
      [&](FieldSlice line, bool quote_free, uint64_t, bool&) -> Error {
        bool pass = false;
        TAVIX_TRY(processScanLine(frame, state, line, quote_free, pass));
        if (!pass) return Error::ok;
        const uint64_t before = ctx.text.len;
        TAVIX_TRY(appendOutputRow(ctx.text, shared.format, delimiter, shared.json_keys, state.values));
        return budget.add(ctx.text.len - before) ? Error::ok : Error::FileTooBig;
      });
}

Error collectChunk(ScanWorkerContext& ctx, ScanWorkerState& state) {
  const ScanPathShared& shared = *ctx.shared;
  const ParallelScanFrame& frame = *shared.frame;
  const ParsedQuery& query = *frame.query;
  const int64_t limit = query.limit;
  uint64_t held = 0;
  uint64_t held_bytes = 0;
  // The chunk is read by positioned reads, so the scan faults in no page of
  // the mapping; a kept row's values become views of the same bytes in the
  // mapping, which outlives the rows.
  return forEachChunkLine(
      frame.input->handle, ctx.chunk, frame.options->delimiter, shared.stop, ctx.status,
      [&](FieldSlice line, bool quote_free, uint64_t line_offset, bool& done) -> Error {
        bool pass = false;
        TAVIX_TRY(processScanLine(frame, state, line, quote_free, pass));
        if (!pass) return Error::ok;
        if (query.distinct) {
          bool fresh = false;
          TAVIX_TRY(ctx.distinct_rows.insertRow(state.values, fresh));
          if (!fresh) return Error::ok;
        }
        if (limit == 0) {
          // LIMIT 0 ends the scan at the first row that would be written.
          ctx.reached_limit = done = true;
          return Error::ok;
        }
        const char* const mapped = frame.data + line_offset;
        for (FieldSlice& v : state.values) {
          if (!keepPastRecord(v, line, mapped, ctx.kept_texts)) return Error::OutOfMemory;
        }
        ctx.rows.insert(ctx.rows.end(), state.values.begin(), state.values.end());
        if (query.distinct) {
          ctx.row_hashes.push_back(DistinctRowTable::hashRow(state.values.data(), state.values.size()));
        }
        ++held;
        held_bytes += minimumRenderedBytes(state.values);
        if (limit > 0 && held >= static_cast<uint64_t>(limit)) {
          ctx.reached_limit = done = true;
        } else if (!AnswerBudget::withinLimit(held_bytes)) {
          // Every row held here is in the answer if the executor gets past
          // them without reaching the LIMIT; it then fails with FileTooBig.
          ctx.overflowed = done = true;
        }
        return Error::ok;
      });
}

// Thread body of the unsorted path: renders or collects the rows of one
// chunk. On failure it ends; the outcome is the context's error, text or
// rows (the executor prints the worker error line once it knows the chunk
// was cut right). Touches only its context, its own memory and the shared
// counters.
void scanWorkerMain(void* arg) {
  ScanWorkerContext& ctx = *static_cast<ScanWorkerContext*>(arg);
  runChunkWorker(ctx.status, ctx.shared->stop, ctx.chunk.index, [&] {
    ScanWorkerState state;
    state.values.resize(ctx.shared->frame->columns->size());
    state.filter_span = ctx.shared->filter_span;
    return ctx.shared->render_text ? renderChunk(ctx, state) : collectChunk(ctx, state);
  });
  if (ctx.reached_limit || ctx.overflowed) ctx.shared->stop.requestAfter(ctx.chunk.index);
}

[[nodiscard]] Error writeCollectedRows(const ParallelScanFrame& frame,
                                       std::vector<ScanWorkerContext>& contexts) {
  const ParsedQuery& query = *frame.query;
  const size_t width = frame.columns->size();
  // Every chunk's rows are distinct among themselves; the table drops the
  // rows an earlier chunk already wrote. It points into the contexts' rows,
  // which therefore stay until the end.
  DistinctRowTable distinct_rows(width);
  uint64_t written = 0;
  bool done = query.limit == 0;
  for (ScanWorkerContext& ctx : contexts) {
    if (done) break;
    const size_t row_count = width == 0 ? 0 : ctx.rows.size() / width;
    for (size_t r = 0; r < row_count && !done; ++r) {
      const FieldSlice* values = ctx.rows.data() + r * width;
      if (query.distinct) {
        const uint64_t hash = ctx.row_hashes[r];
        if (!distinct_rows.isNew(values, hash)) continue;
        TAVIX_TRY(distinct_rows.add(values, hash));
      }
      TAVIX_TRY(writeResultRow(*frame.writer, std::span<const FieldSlice>(values, width)));
      ++written;
      done = query.limit >= 0 && written >= static_cast<uint64_t>(query.limit);
    }
    if (done) break;
    TAVIX_TRY(ctx.status.error);
    if (ctx.overflowed) return Error::FileTooBig;
    if (ctx.reached_limit) break;
    if (!query.distinct) std::vector<FieldSlice>().swap(ctx.rows);
  }
  return finishScanOutput(*frame.writer);
}

// One run of the workers over the frame's chunks, and the answer. Sets
// `recut` instead, writing nothing, when the chunks were cut at line ends and
// one of them did not start at a record start.
[[nodiscard]] Error runUnsortedWorkers(ParallelScanFrame& frame, bool& recut) {
  const ParsedQuery& query = *frame.query;
  ScanPathShared shared;
  shared.frame = &frame;
  shared.render_text = query.limit < 0 && !query.distinct;
  shared.format = normalizedFormat(frame.options->output_format);
  shared.json_keys = writerJsonKeys(*frame.writer);
  shared.filter_span = filterFieldSpan(query, *frame.map);

  std::vector<ScanWorkerContext> contexts(frame.chunks.size());
  for (size_t i = 0; i < contexts.size(); ++i) {
    contexts[i].shared = &shared;
    contexts[i].chunk = frame.chunks[i];
  }
  TAVIX_TRY(runWorkerThreads(contexts, scanWorkerMain, shared.stop));
  if (speculativeCutsMissed(frame.chunks_exact, contexts)) {
    recut = true;
    return Error::ok;
  }
  for (const ScanWorkerContext& ctx : contexts) {
    if (ctx.status.error != Error::ok) reportWorkerError(ctx.status.error);
  }
  if (!shared.render_text) return writeCollectedRows(frame, contexts);

  for (const ScanWorkerContext& ctx : contexts) TAVIX_TRY(ctx.status.error);
  TAVIX_TRY(flushResultWriter(*frame.writer));
  return writeWorkerTexts(*frame.result, shared.format, contexts);
}

}  // namespace

Error runParallelUnsortedPath(ParallelScanFrame& frame) {
  return runWithExactRecut([&](bool& recut) { return runUnsortedWorkers(frame, recut); },
                           [&] { return cutChunksExactly(frame); });
}

}  // namespace tavix
