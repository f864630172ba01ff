// Joins that feed aggregates or GROUP BY. The join executor writes joined
// rows but cannot aggregate, and the aggregating executors read one table but
// cannot join, so such a statement runs in two passes: the join is written
// as CSV into a staging file, then the grouping or whole-table executor reads
// that file as its only table.
//
// The staging file's header holds plain lower-cased column names, so before
// the passes run every table qualifier (an alias and a dot) is removed from
// the select items, the GROUP BY items, the columns of every HAVING leaf and
// the ORDER BY keys; a qualified name whose column name two header positions
// of the joined tables bear cannot be told apart in the staging file and is
// refused as ambiguous. Only the columns those texts name are staged (all of
// them for SELECT *).
//
// The staging file keeps its name ("<TEMP or .>/tavix_joinagg_<ns>.tmp")
// while the second pass opens it by that name, and is closed and deleted on
// every way out. Everything here runs on the query thread.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <unordered_set>

#include "common/error.h"
#include "exec/executor.h"
#include "platform/platform.h"
#include "sql/parsed_query.h"

namespace tavix {

// Lower-cased header names met more than once across the joined tables (in
// two tables, or twice in one).
using AmbiguousNames = std::unordered_set<std::string>;

// Copies `text` into `out` without its table qualifiers: at every identifier
// start (the first byte, or one after a byte that is no ASCII letter, digit
// or '_') outside single-quoted literals, an alias of `aliases` (in list
// order, ASCII case ignored) followed by "." and a letter or '_' is dropped
// together with the dot, and the identifier after it (letters, digits, '_')
// is copied as written. An empty alias matches nothing. Returns
// AmbiguousColumnReference when such an identifier of at most 256 bytes,
// lower-cased, is in `ambiguous`.
[[nodiscard]] Error stripTableQualifiers(std::string_view text,
                                         std::span<const std::string_view> aliases,
                                         const AmbiguousNames& ambiguous, std::string& out);

// The staging file: its handle, its name, and whether releasing deletes it.
struct SpoolFile {
  platform::File handle;
  std::string path;
  bool delete_on_release = false;
};

// Deletes the file by its path when `delete_on_release` is set (the outcome
// is ignored) and forgets the path. The handle must already be closed.
void releaseSpoolFile(SpoolFile& spool) noexcept;

// Answers a join statement with aggregates or GROUP BY into `result`. The
// staging file is removed on every path out.
[[nodiscard]] Error runJoinAggregateStaging(const ParsedQuery& query, const ResultFile& result,
                                            const QueryOptions& options);

}  // namespace tavix
