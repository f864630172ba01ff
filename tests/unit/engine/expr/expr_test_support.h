// Shared fixtures of the expression tests: a fixed header and helpers that
// compile and evaluate against it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/allocator.h"
#include "engine/expr/scalar_eval.h"
#include "engine/expr/scalar_expr.h"
#include "support/failing_allocator.h"

namespace tavix::test {

// Lower-cased header names; a column's index is its position here.
inline const std::vector<FieldSlice>& testHeader() {
  static const std::vector<FieldSlice> names = {
      "v", "w", "u", "name", "price", "qty", "a", "b", "c", "d", "e", "f", "g", "h", "i", "10",
  };
  return names;
}

inline uint64_t columnIndex(std::string_view name) {
  const auto& names = testHeader();
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return i;
  return ~uint64_t{0};
}

inline const HeaderListResolver& testResolver() {
  static const HeaderListResolver resolver(testHeader().data(), testHeader().size());
  return resolver;
}

}  // namespace tavix::test
