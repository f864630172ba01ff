// Padded copies of a small CSV table: the same rows spread among many
// padding rows, so that one statement can be answered over a small file and
// over files past the mapped and parallel thresholds and compared byte for
// byte. A padding row holds "~pad" in every field (some with a quoted field
// holding a comma and a line end, some ending in CR LF), so a WHERE that
// tests any column of the real rows against a number, or against a text
// that is never "~pad", rejects it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavix::test {

// The records of a CSV body, each with its line end (the last one may have
// none): a record ends at an LF outside quoted text, and a quote opens
// quoted text only at the start of a field.
inline std::vector<std::string_view> csvRecordsOf(std::string_view body, char delimiter = ',') {
  std::vector<std::string_view> records;
  size_t start = 0;
  bool in_quotes = false;
  bool field_start = true;
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (in_quotes) {
      if (c == '"') {
        in_quotes = false;
        field_start = true;  // a second quote re-enters quoted text
      }
      continue;
    }
    if (c == '\n') {
      records.push_back(body.substr(start, i + 1 - start));
      start = i + 1;
      field_start = true;
    } else if (c == '"' && field_start) {
      in_quotes = true;
      field_start = false;
    } else {
      field_start = c == delimiter;
    }
  }
  if (start < body.size()) records.push_back(body.substr(start));
  return records;
}

// Padding row `j` of a table of `columns` columns.
inline std::string paddingRow(uint64_t j, size_t columns) {
  std::string row;
  for (size_t f = 0; f < columns; ++f) {
    if (f > 0) row += ',';
    row += (f == 1 && j % 13 == 5) ? "\"~pad, with\nline end\"" : "~pad";
  }
  row += j % 7 == 3 ? "\r\n" : "\n";
  return row;
}

// `table` (a header line and its rows) with padding rows until the result
// holds at least `min_bytes`: the header first, then the real records spread
// evenly among the padding rows in their order, the first right after the
// header and the last at the very end (so a table whose last line has no
// line end keeps it that way).
inline std::string paddedTable(std::string_view table, uint64_t min_bytes) {
  const size_t header_end = table.find('\n');
  const std::string_view header =
      table.substr(0, header_end == std::string_view::npos ? table.size() : header_end + 1);
  const std::vector<std::string_view> records = csvRecordsOf(table.substr(header.size()));
  size_t columns = 1;
  bool quoted = false;
  for (char c : header) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) ++columns;
  }
  uint64_t pads = 0;
  for (uint64_t size = table.size(); size < min_bytes; ++pads) size += paddingRow(pads, columns).size();

  std::string out(header);
  out.reserve(min_bytes + table.size() + 64);
  // Record i < n - 1 goes before padding row slot(i); the last one at the end.
  const size_t n = records.size();
  size_t next = 0;
  for (uint64_t j = 0; j < pads; ++j) {
    while (next + 1 < n && next * pads / (n - 1) <= j) out += records[next++];
    out += paddingRow(j, columns);
  }
  while (next < n) out += records[next++];
  return out;
}

}  // namespace tavix::test
