// Statements that ask only for the distinct key tuples (SELECT DISTINCT over
// plain columns, a GROUP BY that shows exactly its keys in key order) need no
// group state: over a large input the workers keep keys only, in text sets,
// and the output cuts each key back into its columns.
//
// Workers: each keeps the keys it meets in a private set, without a lock,
// until that set holds kPrivateGroupLimit keys; every later key goes to the
// shared `ShardedStringSet`. After every worker has been joined the private
// keys are poured into the shared set, which then holds every distinct
// composite key of the input once.
//
// Output: the keys in composite-key order (the order of grouped output),
// each cut into its parts by the composite-key rule, so a part holding a
// 0x00 byte stays one value, written through the grouped rows (OFFSET,
// LIMIT, the writer's framing).
//
// Threads: as in parallel_group.h; the shared set takes its own locks.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "common/error.h"
#include "engine/output/result_writer.h"
#include "exec/aggregate/aggregate_select.h"
#include "exec/group/group_keys.h"
#include "exec/group/parallel_group.h"
#include "exec/parallel/sharded_string_set.h"
#include "sql/parsed_query.h"

namespace tavix {

// Whether the statement's answer is its distinct key tuples alone: no
// aggregate (hidden HAVING ones included), no ORDER BY, no HAVING, no
// computed select item, and output column i shows key part i (the key
// itself, or the column a plain column key i reads).
bool answersWithDistinctKeys(const ParsedQuery& query, const AggregateSelectList& list,
                             const std::vector<GroupKeySpec>& keys) noexcept;

// Reads every record of the input on worker threads and leaves every
// distinct composite key in `keys_out` (made here). Returns the first error
// in range order of the workers, a thread's start error or OutOfMemory. May
// throw std::bad_alloc.
[[nodiscard]] Error scanDistinctKeys(const ParallelGroupScan& scan,
                                     std::unique_ptr<ShardedStringSet>& keys_out);

// Writes one row per key of `set` in key order, each key cut into
// `key_count` parts, subject to OFFSET and LIMIT, then ends the output.
// Returns OutOfMemory or the writer's error.
[[nodiscard]] Error writeDistinctKeys(const ParsedQuery& query, const ShardedStringSet& set,
                                      size_t key_count, ResultWriter& writer);

}  // namespace tavix
