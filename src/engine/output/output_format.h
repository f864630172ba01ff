// The result text formats the writer renders.
#pragma once

#include <cstdint>

namespace tavix {

enum class OutputFormat : uint8_t { csv = 0, json_array = 1, json_lines = 2 };

// Readers take the format modulo 4; 3 renders as JSON lines.
inline OutputFormat normalizedFormat(OutputFormat f) {
  const uint8_t v = static_cast<uint8_t>(f) & 3;
  return v == 3 ? OutputFormat::json_lines : static_cast<OutputFormat>(v);
}

}  // namespace tavix
