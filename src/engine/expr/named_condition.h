// Conditions evaluated by name rather than by header position: HAVING over a
// group's rendered row, and a compound WHERE over a joined row.
//
// A `NamedValueMap` binds names to value texts. It views both: the caller
// keeps every name and value text alive while the map holds it (a group
// arena, the output row, the joined row). Names compare by length and bytes,
// with no case folding at lookup, so callers bind lower-cased names, as the
// condition parser lower-cases the columns of its leaves. The map is meant to
// be refilled per group or per row: `clear` keeps its table, so a refill
// allocates nothing once the table has grown to size.
//
// `evalNamedCondition` walks a condition tree over such a map with the same
// rules as the WHERE walk over a record (engine/expr/row_predicates.h): a
// name that is not bound makes its leaf false. It reads only the tree and the
// map, never fails, allocates nothing and keeps no state, so worker threads
// may evaluate one shared tree at once, each over a map of its own.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/error.h"
#include "common/text.h"
#include "common/text_map.h"
#include "sql/parsed_query.h"

namespace tavix {

class NamedValueMap {
 public:
  // Binds `name` to `text`, replacing an earlier binding. Returns
  // OutOfMemory, the map unchanged, when its table cannot grow.
  [[nodiscard]] Error put(std::string_view name, FieldSlice text) noexcept {
    return map_.put(name, text);
  }

  // Binds `name` to `text` only when the name is not bound yet. Returns
  // OutOfMemory, the map unchanged, when its table cannot grow.
  [[nodiscard]] Error insert(std::string_view name, FieldSlice text) noexcept {
    return map_.insert(name, text);
  }

  // Returns the text bound to `name` (exact bytes), or null.
  const FieldSlice* find(std::string_view name) const noexcept { return map_.find(name); }

  // Forgets every binding and keeps the table for the next fill.
  void clear() noexcept { map_.clear(); }

  size_t size() const noexcept { return map_.size(); }

 private:
  TextMap<FieldSlice> map_;
};

// Whether the tree rooted at `node` holds over the bindings of `map`. AND and
// OR short-circuit, NOT inverts; a comparison leaf tests the text bound to
// its column with `evalComparison`; extract and datediff leaves test the
// texts bound to their columns as dates (false when one is not a date);
// dateadd leaves are false; a leaf naming an unbound name is false.
bool evalNamedCondition(const ConditionNode& node, const NamedValueMap& map) noexcept;

}  // namespace tavix
