// The result text formats the writer renders, and the framing each puts
// around its rows.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavix {

enum class OutputFormat : uint8_t { csv = 0, json_array = 1, json_lines = 2 };

// Readers take the format modulo 4; 3 renders as JSON lines.
inline OutputFormat normalizedFormat(OutputFormat f) {
  const uint8_t v = static_cast<uint8_t>(f) & 3;
  return v == 3 ? OutputFormat::json_lines : static_cast<OutputFormat>(v);
}

// The texts a format puts around the rows of an answer. The one place they
// are written down: the result writer and the texts of rows rendered ahead
// (result_writer.h) both frame their rows with them.
struct RowFraming {
  std::string_view first_opening;  // before the answer's first row
  std::string_view opening;        // before every later row
  std::string_view closing;        // after every row
  std::string_view empty;          // the whole answer when it has no row
  std::string_view ending;         // after the last row
};

// CSV: a line end after each record. JSON array: "[\n", objects separated by
// ",\n", then "\n]\n"; "[]\n" without rows. JSON lines: a line end after
// each object, nothing without rows. `format` is normalised first.
constexpr RowFraming rowFraming(OutputFormat format) noexcept {
  switch (static_cast<uint8_t>(format) & 3) {
    case 0: return {"", "", "\n", "", ""};
    case 1: return {"[\n", ",\n", "", "[]\n", "\n]\n"};
    default: return {"", "", "\n", "", ""};
  }
}

}  // namespace tavix
