// The joined rows of a join's staging pass handed straight to an aggregating
// executor, as records of a feed (exec/parallel/record_feed.h), instead of
// being written to a staging file and read back.
//
// The feed plans the join exactly as the staging pass does (the same
// columns, the same WHERE) and hands each joined row that passes the WHERE
// as the staged record's fields: the texts the staging file would hold,
// which the CSV writer quotes as needed and the aggregating reader unquotes
// back, so the fields are the same texts. Its header text is the staged
// header row; `headerIsPlain` tells whether that row holds no text the
// writer would quote, the only case in which its text here is the file's.
//
// Over a FROM file of kParallelJoinMinBytes and more, with a header row and
// two workers or more, the records come range by range on worker threads:
// record-aligned ranges of the FROM body (exec/parallel), each read by
// positioned reads and probed as the parallel join probes them, the ranges
// in FROM order. Otherwise they come in FROM order on the calling thread,
// read and probed as the sequential join does.
//
// The feed owns the FROM table, the plan and the mapping the cuts are made
// in; workers only read them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"
#include "exec/executor.h"
#include "exec/join/join_plan.h"
#include "exec/parallel/record_feed.h"
#include "platform/platform.h"
#include "sql/parsed_query.h"

namespace tavix {

class JoinRecordFeed final : public RecordFeed {
 public:
  JoinRecordFeed() = default;
  JoinRecordFeed(const JoinRecordFeed&) = delete;
  JoinRecordFeed& operator=(const JoinRecordFeed&) = delete;

  // Opens the FROM table of `query` and plans the join as
  // runJoinStagingQuery(query, ..., options, columns) does, with its errors.
  // `query` and `options` must outlive the feed.
  [[nodiscard]] Error open(const ParsedQuery& query, const QueryOptions& options,
                           const JoinColumnFilter& columns);

  // Whether no staged column name holds a byte the CSV writer quotes.
  bool headerIsPlain() const noexcept { return plain_header_; }

  std::string_view headerText() const noexcept override { return header_text_; }
  uint64_t inputBytes() const noexcept override { return from_size_; }
  // A record made from one build row of a single join carries that row's
  // number plus one as its tag; the staged columns of the joined table
  // follow it.
  uint64_t tagCount() const noexcept override;
  bool columnFollowsTag(size_t column) const noexcept override;
  [[nodiscard]] Error planRanges(ChunkPlan& plan, bool& ranged) override;
  [[nodiscard]] Error feedAll(RecordSink& sink) override;
  [[nodiscard]] Error feedRange(ChunkWorkerBase& worker, RecordSink& sink) const override;

 private:
  const ParsedQuery* query_ = nullptr;
  const QueryOptions* options_ = nullptr;
  std::unique_ptr<JoinTable> from_;
  std::unique_ptr<JoinPlan> plan_;
  std::string header_text_;
  bool plain_header_ = false;
  uint64_t from_size_ = 0;
  platform::MappedView view_;  // the FROM file, which the ranges are cut in
};

}  // namespace tavix
