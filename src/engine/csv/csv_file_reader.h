// `CsvFileReader`: reads CSV records one after another from an open file
// through a buffer of 2 MiB, for the executors that stream a file instead of
// mapping it.
//
// Records end at the first LF outside quoted text (the rule of
// findRecordEnd); one CR before that LF is dropped; a last line without LF is
// still a record (one final CR dropped, as before an LF); an empty line
// (nothing, or only a CR, before its LF) is no data record; a UTF-8
// byte-order mark at the start of the file is skipped. A record longer than
// the buffer is returned whole: the buffer grows to hold it, up to
// `max_record_bytes` (record_bound.h); a longer record fails every read with
// StreamTooLong once that much of it is in.
//
// Two kinds of record: data records (`readNextCsvRecord`), whose fields live
// in the reader's buffer and arena until the next call, and owned records
// (`readNextCsvRecordOwned`, used for header rows), which the caller keeps.
//
// Calling order: initCsvFileReader, set `delimiter`, readNextCsvRecordOwned
// for the header row, readNextCsvRecord until the list has ended,
// deinitCsvFileReader (the destructor also releases everything). The reader
// never closes the file. One thread at a time uses a reader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "engine/csv/csv_records.h"
#include "engine/csv/record_bound.h"
#include "platform/platform.h"

namespace tavix {

// The fields of one record; `items` null and `count` 0 mean that the input
// has ended.
struct FieldList {
  const FieldSlice* items = nullptr;
  size_t count = 0;
  bool ended() const { return items == nullptr; }
};

// A record whose field texts belong to the caller. `items` views `storage`;
// no items means that the input has ended.
struct OwnedFieldList {
  std::unique_ptr<char[]> storage;
  std::vector<FieldSlice> items;
  size_t count() const { return items.size(); }
  bool ended() const { return items.empty(); }
};

// Initial buffer size; also the amount read per refill.
inline constexpr size_t kCsvReaderBufferSize = size_t{2} << 20;

struct CsvFileReader {
  CsvFileReader() = default;
  ~CsvFileReader();
  CsvFileReader(const CsvFileReader&) = delete;
  CsvFileReader& operator=(const CsvFileReader&) = delete;

  // Set by the caller after initCsvFileReader (the options' delimiter).
  char delimiter = ',';
  // The longest record (and header row) read; tests set a smaller bound.
  size_t max_record_bytes = kMaxRecordBytes;

  // The state below belongs to the reader functions; callers only read it.
  platform::File file;
  Allocator allocator = cAllocator();
  char* buffer = nullptr;
  size_t capacity = 0;  // grows beyond kCsvReaderBufferSize only for longer records
  size_t filled = 0;    // bytes of valid data in `buffer`
  size_t consumed = 0;  // bytes of `buffer` already returned as records
  bool at_eof = false;  // the file has no more bytes to give
  std::array<FieldSlice, kMaxRecordFields> fields{};
  ArenaAllocator arena;  // unescaped fields of the current data record
};

// Prepares `reader` to read `file` from its start, past a byte-order mark.
// Returns Unseekable when the file position cannot be set (a pipe),
// OutOfMemory when the buffer cannot be allocated.
[[nodiscard]] Error initCsvFileReader(CsvFileReader& reader, platform::File file) noexcept;

// Reads the next data record into `out`: at most 256 fields, each doubled
// quote turned into one quote (copies in the reader's arena); valid until
// the next call. At the end of the input `out` has ended. Returns
// TooManyColumns for a record of more than 256 fields (the reader has moved
// past it, and `out` holds its first 256 fields), StreamTooLong for a record
// past the bound, OutOfMemory, or a read error.
[[nodiscard]] Error readNextCsvRecord(CsvFileReader& reader, FieldList& out) noexcept;

// Reads the next record's bytes as `readNextCsvRecord` finds them (without
// its LF and one CR before it; an empty line is an empty record) into
// `line`, unsplit and with doubled quotes untouched, for callers that cut
// only the fields they need. Valid until the next call. Sets `ended` at the
// end of the input. Returns StreamTooLong, OutOfMemory or a read error.
[[nodiscard]] Error readNextCsvRecordLine(CsvFileReader& reader, FieldSlice& line,
                                         bool& ended) noexcept;

// Reads the next record (an empty line too: the header row is the first
// line) as owned texts by `splitCsvRecordOwned`. At the end of the input
// `out` has no items. Returns StreamTooLong, OutOfMemory (leaving `out`
// empty) or a read error.
[[nodiscard]] Error readNextCsvRecordOwned(CsvFileReader& reader, OwnedFieldList& out) noexcept;

// Splits one record (without its line end) into owned texts, with no field
// limit: quoted fields without their quotes and with each doubled quote
// turned into one, unquoted fields copied unchanged. The split of header
// rows read in sequence, from a file or a stream. Returns OutOfMemory,
// leaving `out` empty.
[[nodiscard]] Error splitCsvRecordOwned(FieldSlice record, char delimiter,
                                        OwnedFieldList& out) noexcept;

// Releases the texts of an owned record; the list becomes empty.
void freeFieldList(OwnedFieldList& list) noexcept;

// Releases the buffer and the arena; the reader can be initialised again.
void deinitCsvFileReader(CsvFileReader& reader) noexcept;

}  // namespace tavix
