#include "engine/expr/named_condition.h"

#include "engine/expr/row_predicates.h"

namespace tavix {

bool evalNamedCondition(const ConditionNode& node, const NamedValueMap& map) noexcept {
  return evalConditionBy(node, [&](std::string_view name, FieldSlice& value) {
    const FieldSlice* found = map.find(name);
    if (found == nullptr) return false;
    value = *found;
    return true;
  });
}

}  // namespace tavix
