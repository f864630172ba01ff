// Aggregate calls: the text `name(argument)` of one aggregate in a select
// item (after its alias and any ROUND(..., n) wrapper are taken off), or in
// a HAVING condition.
//
// `parseAggregateCall` decides whether a text is such a call and which kind
// it names, which column text it aggregates and, for group_concat, which
// separator joins the values. It resolves nothing against a header: turning
// the column text into a column index is the caller's work. A text that is
// not a call is a normal outcome (`present` false), never an error.
//
// Pure and reentrant; the result owns its texts (std::string), so the parsed
// text need not outlive it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>


namespace tavix {

// What an aggregate computes. The codes are stable: accumulator blocks and
// rendering switch on them.
enum class AggregateKind : uint8_t {
  count = 0,           // rows, or rows with a non-empty field
  count_distinct = 1,  // distinct field texts
  sum = 2,             // exact sum of the numeric fields
  avg = 3,             // mean of the numeric fields
  min = 4,
  max = 5,
  median = 6,
  var_pop = 7,
  stddev_pop = 8,
  var_samp = 9,
  stddev_samp = 10,
  group_concat = 11,  // field texts joined by a separator
};

struct AggregateCall {
  // The argument's column text as written, not yet resolved; absent when the
  // argument is exactly "*", present and empty when the argument is empty.
  std::optional<std::string> column;
  // The whole call trimmed, in its written case: the label of an unaliased
  // aggregate without a ROUND wrapper.
  std::string text;
  // group_concat only: the text placed between values (possibly empty).
  std::optional<std::string> separator;
  AggregateKind kind = AggregateKind::count;
  bool present = false;  // false: the text is no aggregate call, every field is empty
};

// Parses `text` as an aggregate call: trimmed, a name before the first '(',
// the text up to a final ')' as the argument (parentheses inside are not
// matched), the name one of the sixteen aggregate keywords in any case.
// count with an argument starting with the word "distinct" (any case) and
// whitespace is count_distinct over the rest; group_concat and string_agg split their
// argument at its first ',' into column and separator (one pair of single
// quotes around the separator removed; "," without a second argument).
// Any other text gives `present` false. May throw std::bad_alloc.
AggregateCall parseAggregateCall(std::string_view text);

}  // namespace tavix
