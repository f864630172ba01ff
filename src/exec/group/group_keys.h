// GROUP BY keys: the four key forms, their compile against the input's header
// and the key part one key gives for one record.
//
// A key reads exactly one input column:
//   column    a column name                      the field
//   strftime  strftime('<format>', <column>)     the field formatted as a date
//   substr    substr(<column>, <start>[, <len>]) a byte range of the field
//   round     round(<column>[, <digits>])        the field rounded as a number
// A GROUP BY item may also be a 1-based position in the select list or the
// alias of a select item; both lend the item's expression.
//
// The key list is compiled once per statement on the executor's thread,
// before any record is read, and is read-only afterwards: any number of
// worker threads may then call `computeKeyPart` on it at once, each with its
// own scratch buffer. Key texts are owned std::strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/text.h"
#include "engine/csv/csv_header.h"
#include "sql/parsed_query.h"

namespace tavix {

enum class GroupKeyKind : uint8_t { column = 0, strftime = 1, substr = 2, round = 3 };

// One compiled GROUP BY item.
struct GroupKeySpec {
  uint64_t column = 0;    // the input column the key reads
  std::string format;     // strftime: the text between the quotes, as written
  std::string item_text;  // strftime, substr, round: the key text as received (its name)
  uint64_t start = 0;     // substr: 0-based byte offset (written start - 1; 0 stays 0)
  uint64_t length = 0;    // substr: byte count when has_length
  bool has_length = false;
  uint8_t digits = 0;  // round: decimals when has_digits
  bool has_digits = false;
  GroupKeyKind kind = GroupKeyKind::column;
};

// The outcome of one key-form recogniser: `present` false with `error` ok
// means the text is not of this form; an error means it opens like the form
// but is malformed (InvalidQuery) or names a column the header lacks
// (ColumnNotFound). `key` is set only when present.
struct KeyFormMatch {
  GroupKeySpec key;
  bool present = false;
  Error error = Error::ok;
};

// strftime('<format>', <column>), the name in any case. InvalidQuery when the
// quotes, the ',' after the format or the closing ')' are missing.
KeyFormMatch parseStrftimeItem(std::string_view text, const ColumnIndexMap& columns);

// substr(<column>, <start>[, <length>]) ("substring(" is not this form).
// InvalidQuery when there is no ')' or no ',', or when the start or the
// length is not an unsigned number; the column is looked up before the start
// is read.
KeyFormMatch parseSubstrItem(std::string_view text, const ColumnIndexMap& columns);

// round(<column>[, <digits>]) after trimming, ending in ')'. A text that ends
// in another byte but holds a ')' earlier is not this form; one without any
// ')' is InvalidQuery, as are decimals that are not an unsigned 8-bit number
// (read before the column is looked up).
KeyFormMatch parseRoundItem(std::string_view text, const ColumnIndexMap& columns);

// Compiles `query.group_by` into `out`, one key per item in order: a position
// 1..n lends the expression of select item n (not under SELECT *); then the
// strftime, substr and round forms; then a column (the text lower-cased, not
// trimmed); then, unless the select list is * or empty, the first select
// item whose alias equals the text (ASCII case ignored) lends its
// expression, which must be a key form or a column. Returns InvalidQuery or
// ColumnNotFound for the first item that fails; `out` is then empty.
[[nodiscard]] Error compileGroupKeys(const ParsedQuery& query, const ColumnIndexMap& columns,
                                     std::vector<GroupKeySpec>& out);

// Bytes of scratch buffer that `computeKeyPart` needs for every key of
// `keys`: a strftime key writes its whole text, a round key a number text.
size_t keyPartScratchBytes(const std::vector<GroupKeySpec>& keys) noexcept;

// The key part of one record of `field_count` fields: the empty text when the
// record has no field at the key's column; the field (column); a byte range
// of it (substr); or a text written into `scratch`, which must hold
// `keyPartScratchBytes` bytes and is reused by the next call (strftime,
// round). The result views the record or the scratch buffer. Allocates
// nothing; never fails.
FieldSlice computeKeyPart(const GroupKeySpec& key, const FieldSlice* fields, size_t field_count,
                          char* scratch) noexcept;

}  // namespace tavix
