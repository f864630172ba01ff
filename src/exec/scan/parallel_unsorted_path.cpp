// The unsorted path of runParallelMappedQuery.
//
// Render mode (no LIMIT, no DISTINCT): each worker reads its range from the
// input file by positioned reads and renders its rows straight into its own
// output text, exactly as the result writer would write them; the executor
// writes the texts in range order through the writer, which adds the
// format's framing.
//
// Row mode (a LIMIT, an OFFSET, or DISTINCT): each worker reads its range
// the same way and collects its rows as views into the mapping (fields it
// had to unescape are copied into memory the worker keeps until the
// executor is done); the executor writes them in range order through the
// writer, drops duplicates, skips the OFFSET and stops at the LIMIT. A
// worker stops once it holds LIMIT + OFFSET rows: by the end of its rows the
// answer is complete, so later ranges are not needed either.
//
// A failing worker ends; after joining, the executor prints the worker
// error line for each failed worker, the first error in range order fails
// the call and no rows are written.
#include <span>
#include <vector>

#include "engine/csv/chunk_reader.h"
#include "engine/csv/field_access.h"
#include "engine/output/text_buffer.h"
#include "exec/scan/distinct_row_table.h"
#include "exec/scan/parallel_mapped_paths.h"
#include "platform/platform.h"

namespace tavix {

namespace {

// One worker of the unsorted path.
struct ScanWorkerLocal {
  TextBuffer text;  // render mode: the rendered rows
  // Row mode: the collected rows, `columns.size()` values per row, and the
  // unescaped texts they view.
  std::vector<FieldSlice> rows;
  ArenaAllocator kept_texts;
  DistinctRowSet distinct_rows;  // row mode with DISTINCT: this range's rows
  // Row mode with DISTINCT: each row's DistinctRowTable hash, computed here
  // so that the executor's pass over all rows only probes its table.
  std::vector<uint64_t> row_hashes;
  bool reached_limit = false;  // the answer is complete after these rows
  bool overflowed = false;     // the rows alone pass the answer bound
};

using ScanWorker = ChunkWorker<ScanWorkerLocal>;

// What every scan worker reads.
struct ScanPathPlan {
  bool render_text = false;
  RowForm form;
  size_t filter_span = 0;  // leading fields the WHERE reads
};

// The per-record state of one worker.
struct ScanWorkerState {
  RecordFields record;
  std::vector<FieldSlice> values;
  ArenaAllocator scratch;
  ArenaAllocator row_arena;
};

// Tests WHERE on one line, cutting only the fields it reads, and projects
// the whole record when it passes; sets `pass`.
[[nodiscard]] Error processScanLine(const ParallelScanFrame& frame, const ScanPathPlan& plan,
                                    ScanWorkerState& state, FieldSlice line, bool quote_free,
                                    bool& pass) {
  state.record.reset(line, quote_free, frame.options->delimiter);
  return filterAndProject(state.record, plan.filter_span, *frame.filter, *frame.columns,
                          state.scratch, state.row_arena, state.values.data(), pass);
}

Error renderRange(const ParallelScanFrame& frame, const ScanPathPlan& plan, ScanWorker& w,
                  ScanWorkerState& state) {
  BudgetShare budget(w.budget());
  TextBuffer& text = w.local.text;
  return forEachChunkLine(frame.input->handle, frame.options->delimiter, w,
                          [&](FieldSlice line, bool quote_free, uint64_t, bool&) -> Error {
                            bool pass = false;
                            TAVIX_TRY(processScanLine(frame, plan, state, line, quote_free, pass));
                            if (!pass) return Error::ok;
                            const uint64_t before = text.len;
                            TAVIX_TRY(appendRowToText(text, plan.form, state.values));
                            return budget.add(text.len - before) ? Error::ok : Error::FileTooBig;
                          });
}

Error collectRange(const ParallelScanFrame& frame, const ScanPathPlan& plan, ScanWorker& w,
                   ScanWorkerState& state) {
  const ParsedQuery& query = *frame.query;
  const int64_t limit = query.limit;
  const uint64_t skip = query.offset > 0 ? static_cast<uint64_t>(query.offset) : 0;
  ScanWorkerLocal& local = w.local;
  uint64_t held = 0;
  uint64_t held_bytes = 0;
  // The rows of this range past its first OFFSET rows have at least OFFSET
  // rows before them, so they are in the answer; with DISTINCT some may
  // repeat an earlier range, so only an answer without OFFSET is counted.
  const bool count_held = skip == 0 || !query.distinct;
  // The range is read by positioned reads, so the scan faults in no page of
  // the mapping; a kept row's values become views of the same bytes in the
  // mapping, which outlives the rows.
  return forEachChunkLine(
      frame.input->handle, frame.options->delimiter, w,
      [&](FieldSlice line, bool quote_free, uint64_t line_offset, bool& done) -> Error {
        bool pass = false;
        TAVIX_TRY(processScanLine(frame, plan, state, line, quote_free, pass));
        if (!pass) return Error::ok;
        if (query.distinct) {
          bool fresh = false;
          TAVIX_TRY(local.distinct_rows.insertRow(state.values, fresh));
          if (!fresh) return Error::ok;
        }
        if (limit == 0) {
          // LIMIT 0 ends the scan at the first row that would be written.
          local.reached_limit = done = true;
          return Error::ok;
        }
        const char* const mapped = frame.data + line_offset;
        for (FieldSlice& v : state.values) {
          if (!keepPastRecord(v, line, mapped, local.kept_texts)) return Error::OutOfMemory;
        }
        local.rows.insert(local.rows.end(), state.values.begin(), state.values.end());
        if (query.distinct) {
          local.row_hashes.push_back(DistinctRowTable::hashRow(state.values.data(), state.values.size()));
        }
        ++held;
        if (count_held && held > skip) held_bytes += minimumRenderedBytes(state.values);
        if (limit > 0 && held >= static_cast<uint64_t>(limit) + skip) {
          local.reached_limit = done = true;
        } else if (!AnswerBudget::withinLimit(held_bytes)) {
          // Every row held here is in the answer if the executor gets past
          // them without reaching the LIMIT; it then fails with FileTooBig.
          local.overflowed = done = true;
        }
        return Error::ok;
      });
}

// Renders or collects the rows of one range. The answer is decided within
// the range once it reached the LIMIT or its own rows pass the bound.
Error scanRange(const ParallelScanFrame& frame, const ScanPathPlan& plan, ScanWorker& w) {
  ScanWorkerState state;
  state.values.resize(frame.columns->size());
  const Error e = plan.render_text ? renderRange(frame, plan, w, state) : collectRange(frame, plan, w, state);
  w.status.answered = w.local.reached_limit || w.local.overflowed;
  return e;
}

[[nodiscard]] Error writeCollectedRows(const ParallelScanFrame& frame, std::span<ScanWorker> workers) {
  const ParsedQuery& query = *frame.query;
  const size_t width = frame.columns->size();
  // Every range's rows are distinct among themselves; the table drops the
  // rows an earlier range already wrote. It points into the workers' rows,
  // which therefore stay until the end.
  DistinctRowTable distinct_rows(width);
  const uint64_t skip = query.offset > 0 ? static_cast<uint64_t>(query.offset) : 0;
  uint64_t skipped = 0;
  uint64_t written = 0;
  bool done = query.limit == 0;
  for (ScanWorker& w : workers) {
    if (done) break;
    ScanWorkerLocal& local = w.local;
    const size_t row_count = width == 0 ? 0 : local.rows.size() / width;
    for (size_t r = 0; r < row_count && !done; ++r) {
      const FieldSlice* values = local.rows.data() + r * width;
      if (query.distinct) {
        const uint64_t hash = local.row_hashes[r];
        if (!distinct_rows.isNew(values, hash)) continue;
        TAVIX_TRY(distinct_rows.add(values, hash));
      }
      if (skipped < skip) {
        ++skipped;
        continue;
      }
      TAVIX_TRY(writeResultRow(*frame.writer, std::span<const FieldSlice>(values, width)));
      ++written;
      done = query.limit >= 0 && written >= static_cast<uint64_t>(query.limit);
    }
    if (done) break;
    TAVIX_TRY(w.status.error);
    if (local.overflowed) return Error::FileTooBig;
    if (local.reached_limit) break;
    if (!query.distinct) std::vector<FieldSlice>().swap(local.rows);
  }
  return finishScanOutput(*frame.writer);
}

// The merge: the worker error lines, then the rendered texts or the
// collected rows in range order.
[[nodiscard]] Error mergeScanWorkers(const ParallelScanFrame& frame, const ScanPathPlan& plan,
                                     std::span<ScanWorker> workers) {
  reportWorkerErrors<ScanWorker>(workers);
  if (!plan.render_text) return writeCollectedRows(frame, workers);
  TAVIX_TRY(firstWorkerError<ScanWorker>(workers));
  ResultWriter& writer = *frame.writer;
  TAVIX_TRY(flushResultWriter(writer));
  for (const ScanWorker& w : workers) TAVIX_TRY(emitRenderedText(writer, w.local.text.view()));
  return finishScanOutput(writer);
}

}  // namespace

Error runParallelUnsortedPath(ParallelScanFrame& frame) {
  const ParsedQuery& query = *frame.query;
  ScanPathPlan plan;
  plan.render_text = query.limit < 0 && !query.distinct && query.offset <= 0;
  plan.form = rowFormOf(*frame.writer);
  plan.filter_span = filterFieldSpan(query, *frame.map);
  return runChunkWorkers<ScanWorkerLocal>(
      frame.plan, [&](ScanWorker& w) { return scanRange(frame, plan, w); },
      [&](std::span<ScanWorker> workers) { return mergeScanWorkers(frame, plan, workers); });
}

}  // namespace tavix
