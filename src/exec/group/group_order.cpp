#include "exec/group/group_order.h"

#include "common/number_rule.h"
#include "sql/select_item.h"

namespace tavix {

namespace {

// Texts longer than this never match an ORDER BY key by expression.
constexpr size_t kMaxMatchedExpression = 256;

bool expressionNames(std::string_view text, std::string_view key) noexcept {
  const std::string_view t = trim(text);
  return t.size() <= kMaxMatchedExpression && equalsIgnoreCase(t, key);
}

}  // namespace

uint64_t groupKeyPrefix(FieldSlice key) noexcept {
  uint64_t prefix = 0;
  const size_t n = std::min<size_t>(8, key.size());
  for (size_t i = 0; i < n; ++i)
    prefix |= static_cast<uint64_t>(static_cast<unsigned char>(key[i])) << (56 - 8 * i);
  return prefix;
}

SortKeyMatch resolveSortKey(std::string_view key, std::span<const FieldSlice> labels,
                            std::span<const std::string> select_items,
                            std::span<const std::string> group_by) noexcept {
  uint64_t position = 0;
  if (parseInteger(key, position) == Error::ok && position >= 1 && position <= labels.size())
    return SortKeyMatch{position - 1, false, true};
  for (size_t i = 0; i < labels.size(); ++i)
    if (equalsIgnoreCase(labels[i], key)) return SortKeyMatch{i, false, true};
  for (size_t i = 0; i < select_items.size(); ++i)
    if (expressionNames(splitSelectAlias(select_items[i]).expression, key))
      return SortKeyMatch{i, false, true};
  for (size_t i = 0; i < group_by.size(); ++i)
    if (expressionNames(group_by[i], key)) return SortKeyMatch{i, true, true};
  return SortKeyMatch{};
}

}  // namespace tavix
