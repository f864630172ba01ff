// The worker machinery of every executor that reads one large input with
// several threads: how many workers, the record-aligned ranges they read
// (cut at line ends first, cut exactly when a cut missed a record start),
// the stop flag, worker start and join, the first-error rule, and the loop
// that walks a worker's range by positioned reads.
//
// An executor writes two things and hands them to `runChunkWorkers`: the
// per-range scan, which runs on a worker thread and fills the worker's local
// state, and the merge, which runs on the executor's thread once every
// worker has ended and reads the workers' states in range order. Everything
// else (the contexts, the thread body, the recut, the failed-start rule) is
// here, once.
//
// Ownership and threads: `runChunkWorkers` runs on the executor's thread and
// owns the workers for one pass; each worker's scan touches only its own
// `ChunkWorker` and the objects its executor shares read-only, plus the
// pass's `WorkerStop` and `AnswerBudget`, the only objects several workers
// touch at once (both atomics). The merge sees the workers only after every
// thread has been joined.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/error.h"
#include "common/text.h"
#include "engine/csv/chunk_reader.h"
#include "engine/csv/scan_ranges.h"
#include "engine/output/answer_budget.h"
#include "platform/platform.h"

namespace tavix {

// The most worker threads one executor starts.
inline constexpr uint64_t kMaxWorkerThreads = 1024;

// Inputs of at least this many bytes (more than 10 MiB) are read by worker
// threads when two or more may run: below it one sequential pass is cheaper
// than starting threads.
inline constexpr uint64_t kParallelMinBytes = 10'485'761;

// Returns the number of workers for a body of `body_bytes`: the option, or
// the processor count when it is 0, clamped to 1..kMaxWorkerThreads and to
// at most one worker per body byte (at least 1).
size_t resolveWorkerCount(uint64_t thread_count_option, uint64_t body_bytes) noexcept;

// Shared ranges (`ChunkPlan::initShared`): each thread takes at least this
// many ranges and at most kMostRangesPerThread, of about kSharedRangeBytes
// between those bounds. Threads that take their next range when they are
// done with one end together even when some run slower than others (a core
// busy with other work, a slower clock, a range of longer records), where
// one range per thread waits for the slowest; ranges of a few MiB keep the
// cost of a range (a read that fills the buffer, a cut, a local state and
// its merge) far below the time its records take.
inline constexpr uint64_t kFewestRangesPerThread = 4;
inline constexpr uint64_t kMostRangesPerThread = 16;
inline constexpr uint64_t kSharedRangeBytes = uint64_t{4} << 20;

// The number of shared ranges for `threads` threads over a body of
// `body_bytes`: by the bounds above, at most one range per body byte, and
// `threads` itself for one thread.
size_t sharedRangeCount(size_t threads, uint64_t body_bytes) noexcept;

// The ranges the workers of one executor read: the body of a mapped input,
// [data_start, data.size()), cut into one range per worker. The first cut is
// at line ends (`cutRangesAtLineEnds`, no pass over the body);
// `runChunkWorkers` cuts exactly (`splitIntoScanRanges`) and runs the
// workers again when the workers show that a cut missed a record start.
// Belongs to the executor's thread; the mapping must outlive it.
class ChunkPlan {
 public:
  // Cuts the body at line ends into `resolveWorkerCount(thread_count_option,
  // body bytes)` ranges. Returns OutOfMemory.
  [[nodiscard]] Error init(std::string_view data, uint64_t data_start, uint64_t thread_count_option,
                           char delimiter) noexcept;

  // Cuts the body at line ends into about `sharedRangeCount` ranges for
  // `resolveWorkerCount(thread_count_option, body bytes)` threads, which
  // take the ranges one after the other as each is done with its last one.
  // The cuts within a thread's share are read from `file` (the mapped
  // input) by positioned reads. Returns the read error or OutOfMemory.
  [[nodiscard]] Error initShared(std::string_view data, uint64_t data_start,
                                 uint64_t thread_count_option, char delimiter,
                                 platform::File file) noexcept;

  // Replaces the ranges by ranges cut on true record boundaries. Returns
  // OutOfMemory or the start error of a helper thread.
  [[nodiscard]] Error cutExactly() noexcept;

  std::span<const ScanRange> ranges() const noexcept { return ranges_; }
  // The threads that read the ranges: one per range, or fewer when the
  // threads share the ranges.
  size_t threads() const noexcept { return thread_count_; }
  // True once the ranges are cut on true record boundaries.
  bool exact() const noexcept { return exact_; }

 private:
  std::string_view data_;
  uint64_t data_start_ = 0;
  size_t range_count_ = 0;
  size_t thread_count_ = 0;
  char delimiter_ = ',';
  bool exact_ = false;
  std::vector<ScanRange> ranges_;
};

// How one worker left its range.
struct ChunkOutcome {
  // The worker stopped before the range's end (an error, a reached LIMIT, a
  // stop request): nothing after this range is used.
  bool ended_early = false;
  // The range's last record ran up to the range's end without an LF that
  // ends it: the next range does not start at a record start.
  bool ran_over = false;
  // The outcome depends on what other workers counted (the shared answer
  // bound), so it stands only if every range was cut exactly.
  bool depends_on_all = false;
};

// Returns whether workers over ranges cut at line ends gave the answer that
// exact ranges give. Ranges are looked at in order; a range's start is a
// record start when every range before it ended on a record boundary, and
// once a range ended early the ranges after it are not used. `outcome(i)` is
// the outcome of range i.
template <typename OutcomeOf>
bool speculativeCutsHold(size_t range_count, OutcomeOf&& outcome) {
  for (size_t i = 0; i < range_count; ++i) {
    const ChunkOutcome o = outcome(i);
    if (o.depends_on_all) return false;
    if (o.ended_early) return true;
    if (o.ran_over && i + 1 < range_count) return false;
  }
  return true;
}

// Tells running workers that the rest of their range is not needed. The
// answer is assembled in range order, so once worker i has failed, or has
// found every row the answer can take, nothing a later worker finds can
// change it: workers after i stop, while workers before i run on (an error
// they meet still comes first in range order, which keeps the answer the same
// from run to run). Safe to use from any number of workers at once.
class WorkerStop {
 public:
  // Workers with an index above `index` may stop.
  void requestAfter(uint64_t index) noexcept {
    uint64_t seen = first_.load(std::memory_order_relaxed);
    while (index < seen && !first_.compare_exchange_weak(seen, index, std::memory_order_relaxed)) {
    }
  }

  bool shouldStop(uint64_t index) const noexcept { return first_.load(std::memory_order_relaxed) < index; }

 private:
  std::atomic<uint64_t> first_{UINT64_MAX};
};

// How a worker's pass over its range went. Written by the worker (or, for a
// worker whose thread could not be started, by `runChunkWorkers`), read by
// the merge.
struct ChunkStatus {
  Error error = Error::ok;
  bool stopped = false;   // left the range on a stop request
  bool ran_over = false;  // the last record ran past the range's end
  // The answer is decided within this range (a reached LIMIT, the answer
  // bound passed by the range's own rows): later ranges may stop.
  bool answered = false;
  bool start_failed = false;  // `error` is the start error of the worker's thread

  ChunkOutcome outcome() const noexcept {
    ChunkOutcome o;
    o.ended_early = error != Error::ok || stopped || answered;
    o.ran_over = ran_over;
    o.depends_on_all = error == Error::FileTooBig;
    return o;
  }
};

// What one pass of workers shares: the stop flag and the answer bound.
struct ParallelPass {
  WorkerStop stop;
  AnswerBudget budget;
};

// One worker of a pass: its range, its place in range order, its status and
// the pass it belongs to.
struct ChunkWorkerBase {
  ScanRange range;
  uint64_t index = 0;
  // The pass thread that reads this range, in [0, plan.threads()): per-thread
  // state a scan keeps from one shared range to the next is kept under it.
  size_t thread = 0;
  ChunkStatus status;
  ParallelPass* pass = nullptr;

  // Whether a worker before this one has decided the answer or failed.
  bool shouldStop() const noexcept { return pass->stop.shouldStop(index); }
  AnswerBudget& budget() const noexcept { return pass->budget; }
};

// A worker with the local state its executor's scan fills.
template <typename Local>
struct ChunkWorker : ChunkWorkerBase {
  Local local;
};

// The first error in range order, ok when every worker succeeded.
template <typename Worker>
[[nodiscard]] Error firstWorkerError(std::span<const Worker> workers) noexcept {
  for (const Worker& w : workers) TAVIX_TRY(w.status.error);
  return Error::ok;
}

// Writes "Worker thread error: error.<Name>" and a line end to standard error
// under the standard-error lock.
void reportWorkerError(Error error) noexcept;

// Reports the error of every worker that failed while running, in range
// order (a worker whose thread was never started is not reported).
template <typename Worker>
void reportWorkerErrors(std::span<const Worker> workers) noexcept {
  for (const Worker& w : workers) {
    if (w.status.error != Error::ok && !w.status.start_failed) reportWorkerError(w.status.error);
  }
}

namespace parallel_detail {

template <typename Local, typename Scan>
struct PassThreads {
  ChunkWorker<Local>* workers;
  size_t range_count;
  bool shared;  // fewer threads than ranges: each takes the next untaken range
  Scan* scan;
  std::atomic<size_t> next_range{0};

  // The scan of one range: the scan's result, or OutOfMemory when a
  // container ran out of memory, becomes the worker's error; a failure or a
  // decided answer lets the workers after it stop. A range that a worker
  // before it has already made useless is not read. Nothing escapes.
  void runRange(ChunkWorker<Local>& w, size_t thread) noexcept {
    w.thread = thread;
    if (w.shouldStop()) {
      w.status.stopped = true;
      return;
    }
    try {
      w.status.error = (*scan)(w);
    } catch (const std::bad_alloc&) {
      w.status.error = Error::OutOfMemory;
    } catch (...) {
      w.status.error = Error::Unexpected;
    }
    if (w.status.error != Error::ok || w.status.answered) w.pass->stop.requestAfter(w.index);
  }

  // The thread body: range i, or with shared ranges the next untaken range
  // in range order until none is left.
  static void run(void* arg, size_t i) noexcept {
    PassThreads& t = *static_cast<PassThreads*>(arg);
    if (!t.shared) {
      t.runRange(t.workers[i], i);
      return;
    }
    for (;;) {
      const size_t r = t.next_range.fetch_add(1, std::memory_order_relaxed);
      if (r >= t.range_count) return;
      t.runRange(t.workers[r], i);
    }
  }
};

}  // namespace parallel_detail

// Runs one pass of workers over the plan's ranges and merges their results:
// `scan(ChunkWorker<Local>&) -> Error` on one thread per range (all started
// the one way, `platform::runThreads`), then, on the calling thread,
// `merge(std::span<ChunkWorker<Local>>) -> Error`, whose error is returned.
// Each pass starts from fresh workers (`Local` default-constructed).
//
// When the plan's ranges were cut at line ends and a cut missed a record
// start (`speculativeCutsHold`), the workers' results are dropped before the
// merge, the ranges are cut exactly and the pass runs again.
//
// When the thread of range i cannot be started, the ranges before it run to
// their end, range i fails with the start error (`start_failed` set) and the
// ranges after it never run: the merge's first-error rule in range order
// (`firstWorkerError`, or its own walk in range order) decides, as for any
// failing worker. With shared ranges the threads started take every range,
// and when thread i cannot be started range i fails the same way (its own
// outcome and the outcomes of the ranges after it are then not used), so a
// start failure ends the pass with the same error in both forms.
//
// Workers that also fill state shared by the whole pass (outside their
// `Local`) pass `begin_pass() -> Error`, run on the calling thread before
// every pass, which empties that state so a pass run again after a recut
// starts from nothing.
template <typename Local, typename Scan, typename Merge, typename BeginPass>
[[nodiscard]] Error runChunkWorkers(ChunkPlan& plan, Scan&& scan, Merge&& merge,
                                    BeginPass&& begin_pass) {
  using Threads = parallel_detail::PassThreads<Local, std::remove_reference_t<Scan>>;
  for (;;) {
    TAVIX_TRY(begin_pass());
    const size_t n = plan.ranges().size();
    ParallelPass pass;
    std::unique_ptr<ChunkWorker<Local>[]> owned;
    try {
      owned.reset(new ChunkWorker<Local>[n]);
    } catch (const std::bad_alloc&) {
      return Error::OutOfMemory;
    }
    const std::span<ChunkWorker<Local>> workers(owned.get(), n);
    for (size_t i = 0; i < n; ++i) {
      workers[i].range = plan.ranges()[i];
      workers[i].index = i;
      workers[i].pass = &pass;
    }
    const size_t thread_count = plan.threads() < n ? plan.threads() : n;
    Threads threads{workers.data(), n, thread_count < n, &scan};
    size_t started = 0;
    const Error start_error = platform::runThreads(thread_count, platform::kWorkerThreadStack,
                                                   &Threads::run, &threads, started);
    if (start_error != Error::ok) {
      // Every started thread has ended: range `started` is no thread's now.
      workers[started].status.error = start_error;
      workers[started].status.start_failed = true;
    }
    if (!plan.exact() &&
        !speculativeCutsHold(n, [&](size_t i) { return workers[i].status.outcome(); })) {
      TAVIX_TRY(plan.cutExactly());
      continue;
    }
    return merge(workers);
  }
}

template <typename Local, typename Scan, typename Merge>
[[nodiscard]] Error runChunkWorkers(ChunkPlan& plan, Scan&& scan, Merge&& merge) {
  return runChunkWorkers<Local>(plan, std::forward<Scan>(scan), std::forward<Merge>(merge),
                                []() noexcept { return Error::ok; });
}

// Calls `on_line(line, quote_free, line_offset, done)` for every record of
// the worker's range, read from `file` by a `ChunkLineReader`: the line is
// valid until the next call and starts at file offset `line_offset`. Ends at
// the range's end (`status.ran_over` then tells whether its last record ran
// past it), at a stop request (`status.stopped`), after a call that sets
// `done`, or at the first error of the reader or of `on_line`, which it
// returns. The first form reads through `reader`, which a worker reading
// several ranges keeps from one to the next.
template <typename OnLine>
[[nodiscard]] Error forEachChunkLine(ChunkLineReader& reader, platform::File file, char delimiter,
                                     ChunkWorkerBase& worker, OnLine&& on_line) {
  TAVIX_TRY(reader.init(file, worker.range, delimiter));
  for (;;) {
    if (worker.shouldStop()) {
      worker.status.stopped = true;
      return Error::ok;
    }
    FieldSlice line;
    bool got = false;
    bool quote_free = false;
    TAVIX_TRY(reader.next(line, got, quote_free));
    if (!got) {
      worker.status.ran_over = reader.ranOver();
      return Error::ok;
    }
    bool done = false;
    TAVIX_TRY(on_line(line, quote_free, reader.lineOffset(), done));
    if (done) return Error::ok;
  }
}

template <typename OnLine>
[[nodiscard]] Error forEachChunkLine(platform::File file, char delimiter, ChunkWorkerBase& worker,
                                     OnLine&& on_line) {
  ChunkLineReader reader;
  return forEachChunkLine(reader, file, delimiter, worker, std::forward<OnLine>(on_line));
}

}  // namespace tavix
