// The join's probe over a large FROM file with worker threads.
//
// The FROM file is cut into record-aligned ranges, one per worker (the cuts
// and the worker machinery of exec/parallel). Each worker reads its range by
// positioned reads through the FROM table's own descriptor, probes every
// record through the shared, read-only plan exactly as the sequential loop
// does (`probeJoinLine`: the same lines, the same field limit, the same
// empty-line rule), and writes its joined rows as CSV into a nameless
// scratch file of its own. Once every worker has ended, the header row and
// the workers' files, in range order, are written into the result file, so
// the answer is the sequential loop's byte for byte.
//
// Only a statement whose rows leave as they are found can be probed so: CSV
// output, a header row, and no OFFSET, LIMIT, DISTINCT or ORDER BY (the
// caller decides); everything else is the sequential loop's.
//
// Runs on the executor's thread; the workers only read the plan and the
// FROM descriptor, and each writes only its own file and buffers.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/error.h"
#include "engine/output/result_writer.h"
#include "exec/executor.h"
#include "exec/join/join_plan.h"
#include "platform/platform.h"

namespace tavix {

// The smallest FROM file whose records are probed by worker threads.
inline constexpr uint64_t kParallelJoinMinBytes = uint64_t{8} << 20;

// Offset of the first byte after the header record of the mapped FROM file
// `data`: a byte-order mark skipped, the record's end found quote-aware, as
// the FROM table's reader finds it. False when the header record is the
// whole file.
bool findJoinDataStart(std::string_view data, char delimiter, uint64_t& start) noexcept;

struct ParallelJoinInput {
  const JoinPlan* plan = nullptr;
  const QueryOptions* options = nullptr;
  platform::File from_file;  // the FROM table, read by positioned reads
  // The writer on the result file, with the header row (if any) buffered
  // and no row written yet.
  ResultWriter* writer = nullptr;
  platform::File output;  // the result file the writer writes
};

// Probes the FROM table with worker threads when its file holds at least
// kParallelJoinMinBytes, can be mapped, has a data record after its header
// record, and the thread option (or the processor count) gives two workers
// or more; `taken` then tells that the answer has been written (the result
// is the statement's) and otherwise nothing was read or written. The
// statement's errors are those of the sequential loop, the first in FROM
// file order; also those of creating, writing and reading the workers'
// scratch files, and of starting a worker.
[[nodiscard]] Error runParallelJoinProbe(const ParallelJoinInput& input, bool& taken);

}  // namespace tavix
