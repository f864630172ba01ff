// The worker skeleton every parallel executor runs on: ranges read in order
// give the records of one sequential read, a missed speculative cut is
// answered by an exact recut before the merge, the first error in range
// order wins, and nothing thrown by a scan leaves its thread.
#include "exec/parallel/chunk_workers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace tavix {
namespace {

TEST(ResolveWorkerCount, ClampsToProcessorsLimitsAndBodySize) {
  static const struct {
    uint64_t option;
    uint64_t body;
    size_t expected;
  } cases[] = {
      {5000, 1u << 30, 1024}, {7, 1u << 30, 7}, {8, 3, 3}, {8, 0, 1}, {1, 100, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(resolveWorkerCount(c.option, c.body), c.expected) << c.option << " " << c.body;
  }
  EXPECT_EQ(resolveWorkerCount(0, 1u << 30), std::min<size_t>(platform::processorCount(), 1024));
}

TEST(SharedRangeCount, GivesEachThreadSeveralRangesOfAFewMiB) {
  constexpr uint64_t kMiB = uint64_t{1} << 20;
  static const struct {
    size_t threads;
    uint64_t body;
    size_t expected;
  } cases[] = {
      {1, 1u << 30, 1},        // one thread reads one range
      {8, 1u << 30, 128},      // 16 per thread at most
      {8, 200 * kMiB, 50},     // about 4 MiB each in between
      {8, 11 * kMiB, 32},      // 4 per thread at least
      {2, 40 * kMiB, 10},
      {4, 10, 10},             // never more ranges than body bytes
      {4, 3, 4},               // nor fewer than threads
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sharedRangeCount(c.threads, c.body), c.expected) << c.threads << " " << c.body;
  }
}

TEST(SpeculativeCutsHold, ReadsTheOutcomesInRangeOrder) {
  // Each outcome: e = ended early, r = ran over, d = depends on all, . = none.
  static const struct {
    const char* outcomes;
    bool hold;
  } cases[] = {
      {"...", true},  {"r..", false}, {"..r", true},  {".e.", true}, {"er.", true},
      {".re", false}, {"..d", false}, {"e.d", true},  {"", true},
  };
  for (const auto& c : cases) {
    const std::string o = c.outcomes;
    const bool hold = speculativeCutsHold(o.size(), [&](size_t i) {
      ChunkOutcome out;
      out.ended_early = o[i] == 'e';
      out.ran_over = o[i] == 'r';
      out.depends_on_all = o[i] == 'd';
      return out;
    });
    EXPECT_EQ(hold, c.hold) << o;
  }
}

TEST(WorkerStop, LetsOnlyTheWorkersAfterTheEarliestRequestStop) {
  WorkerStop stop;
  EXPECT_FALSE(stop.shouldStop(0));
  stop.requestAfter(5);
  stop.requestAfter(7);  // a later request does not widen the stop
  EXPECT_FALSE(stop.shouldStop(5));
  EXPECT_TRUE(stop.shouldStop(6));
  stop.requestAfter(2);
  EXPECT_FALSE(stop.shouldStop(2));
  EXPECT_TRUE(stop.shouldStop(3));
}

// The lines of a worker's range, kept for the merge.
struct LinesLocal {
  std::vector<std::string> lines;
};

class ChunkWorkersTest : public testing::ScratchDir {
 protected:
  // A body in which a quoted field spans most of the file on quote-free
  // lines, so that the middle cut at a line end falls inside it.
  static std::string quotedBody() {
    std::string s = "h1,h2\n";
    for (int i = 0; i < 10; ++i) s += "a" + std::to_string(i) + ",x\n";
    s += "q,\"start\n";
    for (int i = 0; i < 2000; ++i) s += "inside line " + std::to_string(i) + "\n";
    s += "end\"\n";
    for (int i = 0; i < 10; ++i) s += "b" + std::to_string(i) + ",y\n";
    return s;
  }

  // 4000 short records after a header.
  static std::string numberedBody() {
    std::string s = "h1,h2\n";
    for (int i = 0; i < 4000; ++i) s += std::to_string(i) + ",v\n";
    return s;
  }

  // A table of scans whose range i does what letter i of `actions` says:
  // . succeeds, i fails with InvalidInput, t with TooManyColumns, b throws
  // std::bad_alloc.
  struct ScriptedCase {
    const char* name;
    const char* actions;
    Error expected;
  };
  static Error scriptedScan(const std::string& actions, uint64_t index) {
    switch (actions[index]) {
      case 'i': return Error::InvalidInput;
      case 't': return Error::TooManyColumns;
      case 'b': throw std::bad_alloc();
      default: return Error::ok;
    }
  }

  // The records of one sequential read of the body after the header.
  std::vector<std::string> sequentialLines(platform::File file, std::string_view bytes) {
    ChunkLineReader reader;
    EXPECT_EQ(reader.init(file, ScanRange{6, bytes.size()}, ','), Error::ok);
    std::vector<std::string> out;
    for (;;) {
      FieldSlice line;
      bool got = false;
      bool quote_free = false;
      EXPECT_EQ(reader.next(line, got, quote_free), Error::ok);
      if (!got) return out;
      out.emplace_back(line);
    }
  }
};

TEST_F(ChunkWorkersTest, RangesMergedInOrderGiveTheSequentialRecordsAfterARecut) {
  const std::string bytes = quotedBody();
  const platform::File file = fileWith("in.csv", bytes);
  const std::vector<std::string> expected = sequentialLines(file, bytes);
  ASSERT_EQ(expected.size(), 21u);
  for (uint64_t threads : {1, 2, 3, 8, 17}) {
    ChunkPlan plan;
    ASSERT_EQ(plan.init(bytes, 6, threads, ','), Error::ok);
    const bool starts_exact = plan.exact();
    std::atomic<int> scans{0};
    int merges = 0;
    std::vector<std::string> merged;
    const Error e = runChunkWorkers<LinesLocal>(
        plan,
        [&](ChunkWorker<LinesLocal>& w) {
          scans.fetch_add(1);
          return forEachChunkLine(file, ',', w, [&](FieldSlice line, bool, uint64_t, bool&) {
            w.local.lines.emplace_back(line);
            return Error::ok;
          });
        },
        [&](std::span<ChunkWorker<LinesLocal>> workers) {
          ++merges;
          for (const ChunkWorker<LinesLocal>& w : workers)
            merged.insert(merged.end(), w.local.lines.begin(), w.local.lines.end());
          return firstWorkerError<ChunkWorker<LinesLocal>>(workers);
        });
    ASSERT_EQ(e, Error::ok) << threads;
    EXPECT_FALSE(starts_exact);
    EXPECT_EQ(merges, 1) << threads;
    EXPECT_EQ(merged, expected) << threads;
    // Two workers cut the body in its middle, inside the quoted field: the
    // first pass is dropped and the workers run again over exact ranges.
    if (threads == 2) {
      EXPECT_TRUE(plan.exact());
      EXPECT_EQ(scans.load(), 4);
    }
  }
}

// Threads that share ranges take each range once, in any order, and the
// ranges merged in order still give the sequential records, after a recut
// too (many cuts fall inside the long quoted field).
TEST_F(ChunkWorkersTest, SharedRangesMergedInOrderGiveTheSequentialRecords) {
  const std::string bytes = quotedBody();
  const platform::File file = fileWith("in.csv", bytes);
  const std::vector<std::string> expected = sequentialLines(file, bytes);
  for (uint64_t threads : {2, 3, 8}) {
    ChunkPlan plan;
    ASSERT_EQ(plan.initShared(bytes, 6, threads, ',', file), Error::ok);
    ASSERT_EQ(plan.threads(), threads);
    ASSERT_GT(plan.ranges().size(), threads);
    ASSERT_LE(plan.ranges().size(), threads * (kFewestRangesPerThread + 1));
    for (size_t r = 1; r < plan.ranges().size(); ++r)
      ASSERT_EQ(plan.ranges()[r].start, plan.ranges()[r - 1].end) << threads << " " << r;
    std::vector<std::atomic<int>> reads(plan.ranges().size());
    std::atomic<bool> thread_in_bounds{true};
    std::vector<std::string> merged;
    const Error e = runChunkWorkers<LinesLocal>(
        plan,
        [&](ChunkWorker<LinesLocal>& w) {
          reads[w.index].fetch_add(1);
          if (w.thread >= threads) thread_in_bounds = false;
          return forEachChunkLine(file, ',', w, [&](FieldSlice line, bool, uint64_t, bool&) {
            w.local.lines.emplace_back(line);
            return Error::ok;
          });
        },
        [&](std::span<ChunkWorker<LinesLocal>> workers) {
          for (const ChunkWorker<LinesLocal>& w : workers)
            merged.insert(merged.end(), w.local.lines.begin(), w.local.lines.end());
          return firstWorkerError<ChunkWorker<LinesLocal>>(workers);
        });
    ASSERT_EQ(e, Error::ok) << threads;
    EXPECT_TRUE(plan.exact()) << threads;
    EXPECT_EQ(merged, expected) << threads;
    EXPECT_TRUE(thread_in_bounds.load()) << threads;
    // Once over the line-end cuts, once more over the exact cuts.
    for (size_t r = 0; r < reads.size(); ++r) EXPECT_EQ(reads[r].load(), 2) << threads << " " << r;
  }
}

// With shared ranges the first error in range order still decides, and the
// ranges after a failed one that no thread has begun are not read.
TEST_F(ChunkWorkersTest, SharedRangesKeepTheFirstErrorInRangeOrder) {
  const std::string bytes = numberedBody();
  const platform::File file = fileWith("in.csv", bytes);
  // The 8 ranges of two threads.
  static const ScriptedCase cases[] = {
      {"all succeed", "........", Error::ok},
      {"earliest error", "..t.i..i", Error::TooManyColumns},
      {"error in the first range", "i......t", Error::InvalidInput},
      {"thrown allocation failure", ".....b.i", Error::OutOfMemory},
  };
  for (const auto& c : cases) {
    const std::string actions = c.actions;
    ChunkPlan plan;
    ASSERT_EQ(plan.initShared(bytes, 6, 2, ',', file), Error::ok);
    ASSERT_EQ(plan.ranges().size(), actions.size());
    const Error e = runChunkWorkers<LinesLocal>(
        plan,
        [&](ChunkWorker<LinesLocal>& w) { return scriptedScan(actions, w.index); },
        [&](std::span<ChunkWorker<LinesLocal>> workers) {
          const size_t first_failure = actions.find_first_not_of('.');
          for (size_t i = 0; i < workers.size(); ++i) {
            // A range past the first failing one is either left unread
            // (stopped) or was read before the failure was known.
            if (i > first_failure && workers[i].status.stopped) {
              EXPECT_EQ(workers[i].status.error, Error::ok);
            }
          }
          return firstWorkerError<ChunkWorker<LinesLocal>>(workers);
        });
    EXPECT_EQ(e, c.expected) << c.name;
  }
}

TEST_F(ChunkWorkersTest, TheFirstErrorInRangeOrderWinsAndNothingThrownLeavesAThread) {
  const std::string bytes = numberedBody();
  static const ScriptedCase cases[] = {
      {"all succeed", "........", Error::ok},
      {"earliest error", ".t.i..i.", Error::TooManyColumns},
      {"error after a success", "...i.t..", Error::InvalidInput},
      {"thrown allocation failure", "..b.i...", Error::OutOfMemory},
  };
  for (const auto& c : cases) {
    const std::string actions = c.actions;
    ChunkPlan plan;
    ASSERT_EQ(plan.init(bytes, 6, actions.size(), ','), Error::ok);
    ASSERT_EQ(plan.ranges().size(), actions.size());
    const Error e = runChunkWorkers<LinesLocal>(
        plan,
        [&](ChunkWorker<LinesLocal>& w) { return scriptedScan(actions, w.index); },
        [&](std::span<ChunkWorker<LinesLocal>> workers) {
          for (size_t i = 0; i < workers.size(); ++i) {
            if (actions[i] == 'b') {
              EXPECT_EQ(workers[i].status.error, Error::OutOfMemory);
            }
          }
          return firstWorkerError<ChunkWorker<LinesLocal>>(workers);
        });
    EXPECT_EQ(e, c.expected) << c.name;
  }
}

}  // namespace
}  // namespace tavix
