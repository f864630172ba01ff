// Records handed to an aggregating executor by a producer of rows rather
// than read from a file: the producer makes each record's fields (views
// valid for one call) and the executor folds them as it folds the records
// of a file it reads itself.
//
// A feed names its columns by a header row given as the text of one CSV
// line, which the executor reads as it reads a file's header. It hands its
// records either all in order on the executor's thread, or range by range
// to the workers of a `ChunkPlan` it cut, each range's records in order on
// that range's worker thread, the ranges together being every record in
// order. A feed is shared read-only by its workers; each call gets its own
// sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/error.h"
#include "common/text.h"
#include "exec/parallel/chunk_workers.h"

namespace tavix {

// Takes the records of a feed, one call per record. Belongs to one thread.
class RecordSink {
 public:
  // `fields[0, count)` are valid for this call only.
  [[nodiscard]] virtual Error take(const FieldSlice* fields, size_t count) = 0;

  // `take` for a record with a tag (1 up to the feed's tagCount()): records
  // of one tag hold the same texts in every column the feed says follows
  // the tag, so a sink may reuse what it derived from those columns.
  [[nodiscard]] virtual Error takeTagged(const FieldSlice* fields, size_t count, uint64_t) {
    return take(fields, count);
  }

 protected:
  ~RecordSink() = default;
};

class RecordFeed {
 public:
  // The header row: one CSV line with its LF, which the executor reads as
  // the header of a file.
  virtual std::string_view headerText() const noexcept = 0;

  // The size of what the records are made from, to size the executor's
  // tables by.
  virtual uint64_t inputBytes() const noexcept = 0;

  // The highest tag a record may carry (takeTagged); 0 when none does.
  virtual uint64_t tagCount() const noexcept { return 0; }

  // Whether column `column` holds the same text in all records of one tag.
  virtual bool columnFollowsTag(size_t) const noexcept { return false; }

  // Cuts the records into ranges for worker threads into `plan` and sets
  // `ranged`; leaves `ranged` false when they are better fed on one thread.
  [[nodiscard]] virtual Error planRanges(ChunkPlan& plan, bool& ranged) = 0;

  // Hands every record, in order, to `sink` on the calling thread.
  [[nodiscard]] virtual Error feedAll(RecordSink& sink) = 0;

  // Hands the records of `worker`'s range, in order, to `sink` on the
  // worker's thread, and sets the worker's status (ran over, stopped) as
  // the chunk line loop does.
  [[nodiscard]] virtual Error feedRange(ChunkWorkerBase& worker, RecordSink& sink) const = 0;

 protected:
  ~RecordFeed() = default;
};

}  // namespace tavix
