// StdinRecordReader: reads CSV records one after another from a stream that
// can be consumed only once (the process's standard input), through a
// 256 KiB buffer.
//
// Records are read by the record rule of files (a double quote opens quoted
// text only at a field start; inside quotes a doubled quote is one quote and
// the delimiter, CR and LF are data), except that outside quotes LF alone,
// CR alone and CR LF each end a record. Fields are split exactly as a file's
// are (csv_records.h): data records by splitCsvRecord with at most 256
// fields and every doubled quote unescaped, so `"ab"x` reads `ab` and `a""b`
// reads `a"b`; the header row by splitCsvRecordOwned. An empty line holds no
// data record. A UTF-8 byte-order mark is kept as part of the first field
// unless `skip_byte_order_mark` is set before the first read. A line longer
// than `max_record_bytes` (record_bound.h) fails with StreamTooLong once
// that much of it has been read.
//
// Each record is returned in a `StdinRecord` that owns its field texts; the
// record's storage is reused by the next read into the same record. The
// reader never closes its file. A reader and its records belong to one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "engine/csv/csv_file_reader.h"
#include "engine/csv/record_bound.h"
#include "platform/platform.h"

namespace tavix {

// Bytes read from the stream at a time.
inline constexpr size_t kStdinBufferSize = 256u * 1024;

struct StdinRecordReader {
  platform::File handle;
  char delimiter = ',';
  // Set before the first read to drop the bytes EF BB BF at the very start
  // of the stream; they are otherwise kept as data.
  bool skip_byte_order_mark = false;
  // The longest line (header row or record) read; tests set a smaller bound.
  size_t max_record_bytes = kMaxRecordBytes;
  uint64_t position = 0;  // next unread byte of `buffer`
  uint64_t filled = 0;    // valid bytes in `buffer`
  bool at_eof = false;
  bool started = false;   // the first read has been made
  char buffer[kStdinBufferSize];  // left uninitialised: only [0, filled) is read

  StdinRecordReader(platform::File file, char field_delimiter) noexcept
      : handle(file), delimiter(field_delimiter) {}
  StdinRecordReader(const StdinRecordReader&) = delete;
  StdinRecordReader& operator=(const StdinRecordReader&) = delete;
};

// One data record: its fields as views into `line` (the record's bytes
// without its line end) or into `scratch` (unescaped fields). No fields means
// that the input has ended.
struct StdinRecord {
  std::vector<FieldSlice> fields;
  std::string line;
  ArenaAllocator scratch;

  bool atEnd() const noexcept { return fields.empty(); }
  size_t count() const noexcept { return fields.size(); }
};

// Reads the header row (the first line, empty or not) into `header` as
// owned texts. At the end of the input `header` has no items. Returns
// StreamTooLong, OutOfMemory or the read errors of readStdinRecord.
[[nodiscard]] Error readStdinHeader(StdinRecordReader& reader, OwnedFieldList& header);

// Reads the next data record into `record`, replacing what it held; empty
// lines are passed over. At the end of the input `record` has no fields.
// Returns TooManyColumns for a record of more than 256 fields (the reader
// has moved past it), StreamTooLong for a line longer than
// `max_record_bytes` (record_bound.h), OutOfMemory, or the error of a read (AccessDenied,
// NotOpenForReading, ConnectionResetByPeer, Unexpected), the partial record
// then dropped and the reader still usable. Growing the record's storage may
// throw std::bad_alloc, which the query worker turns into OutOfMemory.
[[nodiscard]] Error readStdinRecord(StdinRecordReader& reader, StdinRecord& record);

}  // namespace tavix
