#include "exec/join/parallel_join.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "engine/csv/csv_records.h"
#include "engine/csv/field_access.h"
#include "exec/join/join_probe.h"
#include "exec/parallel/chunk_workers.h"
#include "platform/temp_files.h"

namespace tavix {
namespace {

// The FROM body is cut into blocks of about this size, many more than there
// are workers, so that the rows of the blocks already done can go to the
// result file while the later ones are still being probed.
constexpr uint64_t kJoinBlockBytes = uint64_t{4} << 20;

// One block of the FROM body: how its probe went and where its rows are.
// Written by the worker that probed it, then read by the thread that copies
// it into the result file (after `done` was set under the pass's lock).
struct JoinBlock {
  Error error = Error::ok;
  bool ran_over = false;  // its last record ran past its end: the next block is no record start
  bool stopped = false;   // left before its end on a stop request
  bool done = false;
  size_t worker = 0;    // whose scratch file holds its rows
  uint64_t offset = 0;  // where they start in that file
  uint64_t length = 0;
};

// One worker: its scratch file, the CSV writer over it (a 1 MiB buffer, so
// on the heap) and the bytes written into the file so far.
struct JoinWorkerFile {
  platform::OwnedFile file;
  std::unique_ptr<ResultWriter> writer;
  uint64_t written = 0;
};

// One pass of the workers over the blocks. Each worker takes the next block
// not yet taken, probes it into its own scratch file, and marks it done; the
// worker that finds the blocks after the last copied one done copies them,
// in block order, to the end of the result file, while the others go on
// probing. So the rows leave in FROM order, and when the last block is done
// nearly every row is already in the result file.
struct JoinBlockPass {
  const ParallelJoinInput* input = nullptr;
  std::span<const ScanRange> ranges;
  bool exact = false;  // the ranges are cut on true record boundaries
  std::span<JoinWorkerFile> files;
  std::vector<JoinBlock> blocks;
  std::vector<Error> worker_errors;  // per worker: a failure outside any block
  ParallelPass pass;                 // the stop flag: blocks after a failed one are not needed
  std::atomic<size_t> next_block{0};

  platform::Mutex mutex;  // guards `done`, `committed`, `copying`, `copy_error`
  size_t committed = 0;   // blocks copied into the result file
  bool copying = false;   // a worker is copying blocks
  Error copy_error = Error::ok;
  uint64_t output_end = 0;  // where the next block goes; only the copying worker uses it

  // Marks block `k` done and, unless another worker is copying, copies every
  // done block after the last copied one. A failed, stopped or ran-over
  // block ends the copying: nothing after it belongs in the answer.
  void finishBlock(size_t k) noexcept {
    mutex.lock();
    blocks[k].done = true;
    if (copying) {
      mutex.unlock();
      return;
    }
    copying = true;
    while (committed < blocks.size() && copy_error == Error::ok) {
      const JoinBlock& b = blocks[committed];
      if (!b.done || b.error != Error::ok || b.stopped || b.ran_over) break;
      mutex.unlock();
      const Error e = platform::copyFileRangeAt(files[b.worker].file.get(), b.offset, b.length,
                                                input->output, output_end);
      mutex.lock();
      if (e != Error::ok) {
        copy_error = e;
        pass.stop.requestAfter(committed);
        break;
      }
      output_end += b.length;
      ++committed;
    }
    copying = false;
    mutex.unlock();
  }

  Error runWorker(size_t w) {
    const JoinPlan& plan = *input->plan;
    const char delimiter = input->options->delimiter;
    JoinWorkerFile& out = files[w];
    JoinProbeContext context;
    context.plan = &plan;
    context.output_row.resize(plan.selected_columns.size());
    context.writer = out.writer.get();
    // Every row is written; the writer writes its file as its buffer fills.
    context.emission.flush_periodically = false;
    context.delimiter = delimiter;
    std::vector<FieldSlice> row(plan.columnCount());
    auto fields = std::make_unique<RecordFields>();
    ArenaAllocator scratch;
    ChunkLineReader reader;
    for (;;) {
      const size_t k = next_block.fetch_add(1, std::memory_order_relaxed);
      if (k >= blocks.size() || pass.stop.shouldStop(k)) return Error::ok;
      ChunkWorkerBase worker;
      worker.range = ranges[k];
      worker.index = k;
      worker.pass = &pass;
      JoinBlock& block = blocks[k];
      block.worker = w;
      block.offset = out.written;
      Error e = forEachChunkLine(reader, input->from_file, delimiter, worker,
                                 [&](FieldSlice line, bool quote_free, uint64_t, bool&) -> Error {
                                   return probeJoinLine(line, quote_free, *fields, scratch,
                                                        row.data(), context);
                                 });
      if (e == Error::ok) e = flushResultWriter(*out.writer);
      if (e == Error::ok) e = platform::filePosition(out.file.get(), out.written);
      block.length = out.written - block.offset;
      block.error = e;
      block.stopped = worker.status.stopped;
      block.ran_over = !exact && worker.status.ran_over && k + 1 < blocks.size();
      if (e != Error::ok || block.stopped || block.ran_over) pass.stop.requestAfter(k);
      finishBlock(k);
      if (block.stopped || e != Error::ok) return Error::ok;
    }
  }

  static void run(void* arg, size_t w) noexcept {
    auto& p = *static_cast<JoinBlockPass*>(arg);
    try {
      p.worker_errors[w] = p.runWorker(w);
    } catch (const std::bad_alloc&) {
      p.worker_errors[w] = Error::OutOfMemory;
    } catch (...) {
      p.worker_errors[w] = Error::Unexpected;
    }
    if (p.worker_errors[w] != Error::ok) p.pass.stop.requestAfter(0);
  }
};

// How one pass ended.
enum class PassEnd { answered, recut };

// Runs the workers over `ranges` (cut exactly when `exact`), the rows going to the result
// file from `data_offset` on. `end` is then either `answered` (the result
// is the statement's) or `recut`: a block boundary fell inside a record, and
// the pass must run again over blocks cut exactly.
Error runBlockPass(const ParallelJoinInput& input, std::span<const ScanRange> ranges, bool exact,
                   std::span<JoinWorkerFile> files, uint64_t data_offset, PassEnd& end) {
  end = PassEnd::answered;
  JoinBlockPass p;
  p.input = &input;
  p.ranges = ranges;
  p.exact = exact;
  p.files = files;
  p.blocks.resize(p.ranges.size());
  p.worker_errors.resize(files.size(), Error::ok);
  p.output_end = data_offset;
  size_t started = 0;
  const Error start_error =
      platform::runThreads(files.size(), platform::kWorkerThreadStack, &JoinBlockPass::run, &p, started);
  // Every started worker has ended: the first error in FROM order decides,
  // unless a block boundary proved wrong before it.
  TAVIX_TRY(start_error);
  for (const Error e : p.worker_errors) TAVIX_TRY(e);
  TAVIX_TRY(p.copy_error);
  for (size_t k = p.committed; k < p.blocks.size(); ++k) {
    const JoinBlock& b = p.blocks[k];
    TAVIX_TRY(b.error);
    if (b.ran_over) {
      end = PassEnd::recut;
      return Error::ok;
    }
    if (!b.done || b.stopped || b.ran_over) return Error::Unexpected;
  }
  return platform::seekTo(input.output, p.output_end);
}

}  // namespace

bool findJoinDataStart(std::string_view data, char delimiter, uint64_t& start) noexcept {
  size_t header_start = 0;
  if (data.size() >= 3 && static_cast<unsigned char>(data[0]) == 0xEF &&
      static_cast<unsigned char>(data[1]) == 0xBB && static_cast<unsigned char>(data[2]) == 0xBF)
    header_start = 3;
  const RecordEnd end = findRecordEnd(data.data(), data.size(), header_start, delimiter);
  if (!end.found) return false;
  start = end.position + 1;
  return true;
}

Error runParallelJoinProbe(const ParallelJoinInput& input, bool& taken) {
  taken = false;
  const QueryOptions& options = *input.options;
  uint64_t size = 0;
  if (platform::fileSize(input.from_file, size) != Error::ok || size < kParallelJoinMinBytes)
    return Error::ok;
  platform::MappedView view;
  if (platform::mapFileReadOnly(input.from_file, size, view) != Error::ok) return Error::ok;
  const std::string_view data = view.bytes();
  uint64_t data_start = 0;
  if (!findJoinDataStart(data, options.delimiter, data_start)) return Error::ok;
  const uint64_t body = data.size() - data_start;
  const size_t worker_count = resolveWorkerCount(options.thread_count, body);
  if (worker_count < 2) return Error::ok;

  taken = true;
  // The mapping only serves the cuts at the workers' nominal shares: the
  // blocks within them are cut by positioned reads and the workers read
  // their blocks so, so the scan faults in (and counts) few pages of it.
  const uint64_t block_count = std::max<uint64_t>(worker_count, body / kJoinBlockBytes);
  ChunkPlan plan;
  TAVIX_TRY(plan.init(data, data_start, worker_count, options.delimiter));
  std::vector<ScanRange> blocks;
  TAVIX_TRY(subdivideRangesAtLineEnds(input.from_file, plan.ranges(),
                                      std::max<uint64_t>(body / block_count, 1), blocks));
  bool exact = false;
  std::vector<JoinWorkerFile> files(worker_count);
  for (JoinWorkerFile& f : files) {
    platform::File created;
    TAVIX_TRY(createTempFile("join", created));
    f.file.reset(created);
    f.writer = std::make_unique<ResultWriter>();
  }
  // The header row first; the blocks' rows follow it.
  TAVIX_TRY(flushResultWriter(*input.writer));
  uint64_t data_offset = 0;
  TAVIX_TRY(platform::filePosition(input.output, data_offset));
  for (;;) {
    // A pass run again after a recut starts each writer empty, after
    // whatever the stopped blocks of the pass before left in its file.
    for (JoinWorkerFile& f : files) {
      initResultWriter(*f.writer, f.file.get(), OutputFormat::csv, options.delimiter);
      TAVIX_TRY(platform::filePosition(f.file.get(), f.written));
    }
    PassEnd end = PassEnd::answered;
    TAVIX_TRY(runBlockPass(input, blocks, exact, files, data_offset, end));
    if (end == PassEnd::answered) return finishScanOutput(*input.writer);
    // Rows copied before the wrong boundary go too: the exact blocks are
    // other blocks.
    TAVIX_TRY(platform::truncateFile(input.output, data_offset));
    TAVIX_TRY(platform::seekTo(input.output, data_offset));
    TAVIX_TRY(splitIntoScanRanges(data, data_start, static_cast<size_t>(std::min<uint64_t>(block_count, kMaxWorkerThreads)),
                                  options.delimiter, blocks));
    exact = true;
  }
}

}  // namespace tavix
