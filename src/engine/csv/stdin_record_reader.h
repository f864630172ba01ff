// StdinRecordReader: reads CSV records one after another from a stream that
// can be consumed only once (the process's standard input), through a
// 256 KiB buffer.
//
// The dialect is the stream's own: LF alone, CR alone and CR LF each end a
// record; a double quote opens quoted text only when the field collected so
// far is empty; inside quotes a doubled quote is one quote and the delimiter,
// CR and LF are data; bytes that follow a closing quote join the same field;
// there is no field limit. A UTF-8 byte-order mark is kept as part of the
// first field unless `skip_byte_order_mark` is set before the first read.
//
// Each record is returned in a `StdinRecord` that owns its field texts; the
// record's storage is reused by the next read into the same record, so a
// caller that keeps one record (the header) reads later ones into another.
// The reader never closes its file. A reader and its records belong to one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/text.h"
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

// One record: its fields as views into `bytes`, which the record owns.
// No fields means that the input has ended; a record that was read has at
// least one (an empty line is one empty field).
struct StdinRecord {
  std::vector<FieldSlice> fields;
  std::string bytes;
  std::vector<size_t> field_ends;  // end offset of each field in `bytes`, while reading

  bool atEnd() const noexcept { return fields.empty(); }
  size_t count() const noexcept { return fields.size(); }
};

// Reads the next record into `record`, replacing what it held. At the end of
// the input `record` has no fields. On a read error the partial record is
// dropped (`record` has no fields), the reader stays usable and the error
// of the read is returned (AccessDenied, NotOpenForReading,
// ConnectionResetByPeer, Unexpected). Growing the record's storage may throw
// std::bad_alloc, which the query worker turns into OutOfMemory.
[[nodiscard]] Error readStdinRecord(StdinRecordReader& reader, StdinRecord& record);

}  // namespace tavix
