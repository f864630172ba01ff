#include "engine/csv/csv_header.h"

#include "engine/csv/csv_records.h"
#include "engine/csv/record_bound.h"

namespace tavix {
namespace {

// The bytes trimmed from header names. Narrower than isSpace on purpose:
// vertical tab and form feed are kept as part of a name.
constexpr bool isHeaderPadding(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

Error readCsvHeader(std::string_view data, CsvLayout layout, CsvHeader& out) {
  out = CsvHeader();
  if (data.empty()) return Error::NoHeader;
  size_t header_start = 0;
  if (data.size() >= 3 && static_cast<unsigned char>(data[0]) == 0xEF &&
      static_cast<unsigned char>(data[1]) == 0xBB && static_cast<unsigned char>(data[2]) == 0xBF)
    header_start = 3;
  const size_t lf = data.find('\n', header_start);
  if (lf == std::string_view::npos) return Error::NoHeader;
  size_t header_end = lf;
  if (header_end > header_start && data[header_end - 1] == '\r') --header_end;
  if (header_end - header_start > kMaxRecordBytes) return Error::StreamTooLong;

  std::vector<FieldSlice> fields(kMaxHeaderFields);
  const SplitResult split = splitCsvRecord(data.data() + header_start, header_end - header_start,
                                           fields.data(), fields.size(), layout.delimiter);
  if (split.error != Error::ok) return split.error;
  fields.resize(split.count);

  if (layout.no_header_row) {
    // The first line is data; a byte-order mark then stays in its first field.
    out.generated.reserve(split.count);
    for (size_t i = 1; i <= split.count; ++i) out.generated.push_back(makeGeneratedColumnName(i));
    // Views are taken only now: the strings no longer move.
    out.names.assign(out.generated.begin(), out.generated.end());
    out.data_start = 0;
    out.names_owned = true;
  } else {
    out.names = std::move(fields);
    out.data_start = lf + 1;
    out.names_owned = false;
  }
  out.count = split.count;
  return Error::ok;
}

std::string makeGeneratedColumnName(uint64_t n) { return "c" + std::to_string(n); }

FieldSlice trimHeaderName(FieldSlice name) noexcept {
  size_t begin = 0;
  size_t end = name.size();
  while (begin < end && isHeaderPadding(name[begin])) ++begin;
  while (end > begin && isHeaderPadding(name[end - 1])) --end;
  return name.substr(begin, end - begin);
}

std::string normalizeHeaderName(std::string_view name) {
  std::string key(trimHeaderName(name));
  lowerInPlace(key);
  return key;
}

void ColumnIndexMap::assign(const FieldSlice* names, size_t count) {
  index_.clear();
  lowered_slices_.clear();
  lowered_names_.clear();
  lowered_names_.reserve(count);
  for (size_t i = 0; i < count; ++i) lowered_names_.push_back(normalizeHeaderName(names[i]));
  // Keys and slices view the strings, so they are taken once the list is
  // complete and its elements no longer move.
  lowered_slices_.assign(lowered_names_.begin(), lowered_names_.end());
  index_.reserve(count);
  for (size_t i = 0; i < count; ++i) index_.try_emplace(lowered_slices_[i], i);
}

std::optional<size_t> ColumnIndexMap::find(std::string_view lowered_name) const {
  const auto it = index_.find(lowered_name);
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

std::optional<size_t> ColumnIndexMap::findAnyCase(std::string_view name) const {
  return find(toLowerCopy(name));
}

}  // namespace tavix
