// The header row of CSV data in memory and the name-to-column map built from
// it.
//
// `readCsvHeader` turns the first line of a mapped file (or any byte run)
// into column names: views into the data, or the generated names "c1".."cN"
// owned by the header when the input has no header row. The data must
// outlive a header whose names point into it.
//
// `ColumnIndexMap` is the one rule by which every executor resolves column
// names: each header name trimmed of space, TAB, LF and CR and ASCII
// lower-cased, the first of equal names keeping its column. The map owns
// those normalised names and keeps them, in column order, as the lower-cased
// header list that row predicates and the condition parser read.
//
// Both are built on one thread and afterwards only read; any number of
// worker threads may then read them without locks. Their storage comes from
// the standard containers (std::bad_alloc is turned into OutOfMemory at the
// thread boundary).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/error.h"
#include "common/text.h"

namespace tavix {

struct CsvHeader {
  CsvHeader() = default;
  // Names may point into `generated`; moving keeps them valid, copying would
  // not.
  CsvHeader(CsvHeader&&) = default;
  CsvHeader& operator=(CsvHeader&&) = default;
  CsvHeader(const CsvHeader&) = delete;
  CsvHeader& operator=(const CsvHeader&) = delete;

  // One name per header field in order: as split (a quoted name without its
  // quotes, doubled quotes left as two bytes), untrimmed, in the file's case.
  std::vector<FieldSlice> names;
  size_t count = 0;          // number of names, at least 1 after a successful read
  uint64_t data_start = 0;   // offset of the first data record; 0 without a header row
  bool names_owned = false;  // the names are the generated texts below
  std::vector<std::string> generated;  // owns "c1".."cN" when there is no header row
};

// How an input's records are laid out: the field delimiter, and whether the
// first line is data rather than a header row.
struct CsvLayout {
  char delimiter = ',';
  bool no_header_row = false;
};

// Reads the header row of `data`. A UTF-8 byte-order mark (EF BB BF) at the
// start is skipped; the header is the bytes up to the first LF less one CR
// before it, split with the layout's delimiter and at most 4096 fields.
// With `layout.no_header_row` the first line is data: only its fields are
// counted, the names are "c1".."cN" and `data_start` is 0. Returns NoHeader
// for empty data or data without any LF, StreamTooLong for a header row
// longer than kMaxRecordBytes (as the buffered readers do), TooManyColumns
// beyond 4096 fields.
[[nodiscard]] Error readCsvHeader(std::string_view data, CsvLayout layout, CsvHeader& out);

// Returns "c" followed by n in decimal ("c1", "c10").
std::string makeGeneratedColumnName(uint64_t n);

// Returns `name` trimmed of space, TAB, LF and CR at both ends; vertical tab
// and form feed stay part of a name.
FieldSlice trimHeaderName(FieldSlice name) noexcept;

// Returns `name` trimmed by trimHeaderName with 'A'..'Z' lower-cased: the key
// under which a header name is found.
std::string normalizeHeaderName(std::string_view name);

class ColumnIndexMap {
 public:
  ColumnIndexMap() = default;
  // Keys view the owned names; moving keeps them valid, copying would not.
  ColumnIndexMap(ColumnIndexMap&&) = default;
  ColumnIndexMap& operator=(ColumnIndexMap&&) = default;
  ColumnIndexMap(const ColumnIndexMap&) = delete;
  ColumnIndexMap& operator=(const ColumnIndexMap&) = delete;

  // Replaces the contents with the normalised `names` (see
  // normalizeHeaderName), inserted in column order; of equal names the first
  // keeps its index, so later duplicates are reachable only by position.
  void assign(const FieldSlice* names, size_t count);
  void assign(const CsvHeader& header) { assign(header.names.data(), header.count); }

  // Returns the 0-based column of a key that is already lower-cased (exact
  // bytes; no trimming), or nothing.
  std::optional<size_t> find(std::string_view lowered_name) const;

  // Returns the column of `name` after lower-casing its letters 'A'..'Z'
  // (no trimming), or nothing.
  std::optional<size_t> findAnyCase(std::string_view name) const;

  // The normalised header names in column order, duplicates included.
  const std::vector<std::string>& loweredNames() const { return lowered_names_; }
  // The same names as views, for the routines that take a list of slices.
  const std::vector<FieldSlice>& loweredNameSlices() const { return lowered_slices_; }
  size_t columnCount() const { return lowered_names_.size(); }

 private:
  std::vector<std::string> lowered_names_;
  std::vector<FieldSlice> lowered_slices_;
  std::unordered_map<std::string_view, size_t> index_;
};

}  // namespace tavix
