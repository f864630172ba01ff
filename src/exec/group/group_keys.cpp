#include "exec/group/group_keys.h"

#include <algorithm>

#include "common/number_rule.h"
#include "engine/expr/number_text.h"
#include "sql/select_item.h"

namespace tavix {

namespace {

constexpr size_t npos = std::string_view::npos;

KeyFormMatch notThisForm() { return KeyFormMatch{}; }

KeyFormMatch malformed(Error e) {
  KeyFormMatch m;
  m.error = e;
  return m;
}

// Looks up a column piece of a key form: trimmed, then lower-cased.
bool findKeyColumn(std::string_view piece, const ColumnIndexMap& columns, uint64_t& index) {
  const std::optional<size_t> found = columns.findAnyCase(trim(piece));
  if (!found) return false;
  index = *found;
  return true;
}

// The last ')' of `text` at or after `from`, or npos.
size_t lastCloseParen(std::string_view text, size_t from) noexcept {
  const size_t p = text.rfind(')');
  return p != npos && p >= from ? p : npos;
}

template <typename Unsigned>
bool readUnsigned(std::string_view piece, Unsigned& out) noexcept {
  return parseInteger(trim(piece), out) == Error::ok;
}

// Steps 2 to 4 of the compile: the three key forms. `present` false with no
// error when the text is none of them.
KeyFormMatch matchKeyForm(std::string_view text, const ColumnIndexMap& columns) {
  KeyFormMatch m = parseStrftimeItem(text, columns);
  if (m.present || m.error != Error::ok) return m;
  m = parseSubstrItem(text, columns);
  if (m.present || m.error != Error::ok) return m;
  return parseRoundItem(text, columns);
}

// Compiles one key text: a key form, else a column. `found` false with no
// error when it is neither.
Error compileKeyText(std::string_view text, const ColumnIndexMap& columns, GroupKeySpec& out,
                     bool& found) {
  KeyFormMatch m = matchKeyForm(text, columns);
  TAVIX_TRY(m.error);
  if (m.present) {
    out = std::move(m.key);
    found = true;
    return Error::ok;
  }
  const std::optional<size_t> column = columns.findAnyCase(text);
  found = column.has_value();
  if (found) {
    out = GroupKeySpec{};
    out.column = *column;
  }
  return Error::ok;
}

}  // namespace

KeyFormMatch parseStrftimeItem(std::string_view text, const ColumnIndexMap& columns) {
  constexpr std::string_view kOpen = "strftime(";
  if (text.size() < 11 || !startsWithIgnoreCase(text, kOpen)) return notThisForm();
  const size_t open_quote = text.find('\'', kOpen.size());
  if (open_quote == npos || open_quote + 1 == text.size()) return malformed(Error::InvalidQuery);
  const size_t close_quote = text.find('\'', open_quote + 1);
  if (close_quote == npos || close_quote + 1 == text.size()) return malformed(Error::InvalidQuery);
  const size_t comma = text.find(',', close_quote + 1);
  if (comma == npos) return malformed(Error::InvalidQuery);
  const size_t close_paren = lastCloseParen(text, kOpen.size());
  // A ')' before the ',' leaves no column text between them: malformed too.
  if (close_paren == npos || close_paren < comma) return malformed(Error::InvalidQuery);

  KeyFormMatch m;
  if (!findKeyColumn(text.substr(comma + 1, close_paren - comma - 1), columns, m.key.column))
    return malformed(Error::ColumnNotFound);
  m.key.kind = GroupKeyKind::strftime;
  m.key.format = text.substr(open_quote + 1, close_quote - open_quote - 1);
  m.key.item_text = text;
  m.present = true;
  return m;
}

KeyFormMatch parseSubstrItem(std::string_view text, const ColumnIndexMap& columns) {
  constexpr std::string_view kOpen = "substr(";
  if (text.size() < 8 || !startsWithIgnoreCase(text, kOpen)) return notThisForm();
  const size_t close_paren = lastCloseParen(text, kOpen.size());
  if (close_paren == npos) return malformed(Error::InvalidQuery);
  const std::string_view args = trim(text.substr(kOpen.size(), close_paren - kOpen.size()));
  const size_t first_comma = args.find(',');
  if (first_comma == npos) return malformed(Error::InvalidQuery);
  const size_t second_comma = args.find(',', first_comma + 1);

  KeyFormMatch m;
  if (!findKeyColumn(args.substr(0, first_comma), columns, m.key.column))
    return malformed(Error::ColumnNotFound);
  const std::string_view start_piece =
      second_comma == npos ? args.substr(first_comma + 1)
                           : args.substr(first_comma + 1, second_comma - first_comma - 1);
  uint64_t start = 0;
  if (!readUnsigned(start_piece, start)) return malformed(Error::InvalidQuery);
  m.key.start = start == 0 ? 0 : start - 1;
  if (second_comma != npos) {
    // The length ends at a third ',' when there is one; the rest is ignored.
    const size_t third_comma = args.find(',', second_comma + 1);
    const std::string_view length_piece =
        third_comma == npos ? args.substr(second_comma + 1)
                            : args.substr(second_comma + 1, third_comma - second_comma - 1);
    if (!readUnsigned(length_piece, m.key.length)) return malformed(Error::InvalidQuery);
    m.key.has_length = true;
  }
  m.key.kind = GroupKeyKind::substr;
  m.key.item_text = text;
  m.present = true;
  return m;
}

KeyFormMatch parseRoundItem(std::string_view text, const ColumnIndexMap& columns) {
  constexpr std::string_view kOpen = "round(";
  const std::string_view t = trim(text);
  if (t.size() < 8 || !startsWithIgnoreCase(t, kOpen)) return notThisForm();
  if (t.back() != ')') {
    if (t.find(')') != npos) return notThisForm();  // "round(price) + 1"
    return malformed(Error::InvalidQuery);
  }
  const std::string_view args = t.substr(kOpen.size(), t.size() - 1 - kOpen.size());
  const size_t comma = args.rfind(',');

  KeyFormMatch m;
  std::string_view column_piece = args;
  if (comma != npos) {
    if (!readUnsigned(args.substr(comma + 1), m.key.digits)) return malformed(Error::InvalidQuery);
    m.key.has_digits = true;
    column_piece = args.substr(0, comma);
  }
  if (!findKeyColumn(column_piece, columns, m.key.column)) return malformed(Error::ColumnNotFound);
  m.key.kind = GroupKeyKind::round;
  m.key.item_text = text;
  m.present = true;
  return m;
}

Error compileGroupKeys(const ParsedQuery& query, const ColumnIndexMap& columns,
                       std::vector<GroupKeySpec>& out) {
  out.clear();
  std::vector<GroupKeySpec> keys;
  keys.reserve(query.group_by.size());
  const bool items_usable = !query.select_star && !query.select_items.empty();
  for (const std::string& item : query.group_by) {
    std::string_view text = item;
    uint64_t position = 0;
    if (!query.select_star && parseInteger(text, position) == Error::ok && position >= 1 &&
        position <= query.select_items.size())
      text = splitSelectAlias(query.select_items[position - 1]).expression;

    GroupKeySpec key;
    bool found = false;
    TAVIX_TRY(compileKeyText(text, columns, key, found));
    if (!found && items_usable) {
      for (const std::string& select_item : query.select_items) {
        const SelectAlias split = splitSelectAlias(select_item);
        if (!split.has_alias || !equalsIgnoreCase(split.alias, text)) continue;
        TAVIX_TRY(compileKeyText(split.expression, columns, key, found));
        break;
      }
    }
    if (!found) return Error::ColumnNotFound;
    keys.push_back(std::move(key));
  }
  out = std::move(keys);
  return Error::ok;
}

size_t keyPartScratchBytes(const std::vector<GroupKeySpec>& keys) noexcept {
  size_t bytes = 0;
  for (const GroupKeySpec& key : keys) {
    if (key.kind == GroupKeyKind::strftime)
      bytes = std::max(bytes, strftimeCapacity(key.format));
    else if (key.kind == GroupKeyKind::round)
      bytes = std::max(bytes, kMaxNumberTextLength);
  }
  return bytes;
}

FieldSlice computeKeyPart(const GroupKeySpec& key, const FieldSlice* fields, size_t field_count,
                          char* scratch) noexcept {
  if (key.column >= field_count) return {};
  const FieldSlice field = fields[key.column];
  switch (key.kind) {
    case GroupKeyKind::column: return field;
    case GroupKeyKind::strftime:
      return formatStrftime(key.format, field, scratch, strftimeCapacity(key.format));
    case GroupKeyKind::substr: {
      if (key.start >= field.size()) return {};
      const FieldSlice rest = field.substr(key.start);
      return key.has_length ? rest.substr(0, key.length) : rest;
    }
    case GroupKeyKind::round:
      return formatRounded(key.digits, key.has_digits, field, scratch, kMaxNumberTextLength);
  }
  return {};
}

}  // namespace tavix
