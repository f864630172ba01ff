#include "engine/csv/stdin_record_reader.h"

#include <algorithm>
#include <cstring>

#include "engine/csv/csv_records.h"

namespace tavix {

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// Makes at least one unread byte available; `have` is false once the stream
// has ended. The buffer is refilled from its start only when it is used up.
Error fillBuffer(StdinRecordReader& r, bool& have) noexcept {
  if (r.position < r.filled) {
    have = true;
    return Error::ok;
  }
  if (r.at_eof) {
    have = false;
    return Error::ok;
  }
  size_t got = 0;
  TAVIX_TRY(platform::readSome(r.handle, r.buffer, kStdinBufferSize, got));
  r.position = 0;
  r.filled = got;
  r.at_eof = got == 0;
  have = got > 0;
  return Error::ok;
}

// The first read of the stream. To recognise a byte-order mark it reads on
// until three bytes are in (a pipe may deliver fewer per read) or the stream
// ends.
Error startStream(StdinRecordReader& r) noexcept {
  if (r.skip_byte_order_mark) {
    while (r.filled < 3 && !r.at_eof) {
      size_t got = 0;
      TAVIX_TRY(platform::readSome(r.handle, r.buffer + r.filled, kStdinBufferSize - r.filled, got));
      r.filled += got;
      r.at_eof = got == 0;
    }
    if (r.filled >= 3 && std::memcmp(r.buffer, kByteOrderMark, 3) == 0) r.position = 3;
  }
  r.started = true;
  return Error::ok;
}

// Appends `n` bytes to the line in progress, or fails with StreamTooLong
// when the line would grow past the bound. The line's storage grows at most
// to the bound.
Error appendToLine(const StdinRecordReader& r, std::string& line, const char* bytes, size_t n) {
  if (n > r.max_record_bytes - line.size()) return Error::StreamTooLong;
  if (line.size() + n > line.capacity())
    line.reserve(std::min(std::max(line.capacity() * 2, line.size() + n), r.max_record_bytes));
  line.append(bytes, n);
  return Error::ok;
}

// Reads the bytes of the next line into `line`, without its line end: up to
// the first LF or CR outside quoted text (a CR LF counts once) or the end of
// the stream. The quote rule is the record machine's (csv_records.h): a
// quote opens quoted text only at a field start, and right after a quote
// inside quoted text the machine stands as at a field start. `ended` is set
// when the stream held no byte at all for this call. A line longer than the
// bound fails with StreamTooLong once that much of it has been read.
Error readLine(StdinRecordReader& r, std::string& line, bool& ended) {
  if (!r.started) TAVIX_TRY(startStream(r));
  line.clear();
  ended = false;
  RecordScanState state = RecordScanState::at_field_start;
  bool any_byte = false;
  for (;;) {
    bool have = false;
    TAVIX_TRY(fillBuffer(r, have));
    if (!have) break;
    any_byte = true;
    const char* buf = r.buffer;
    const size_t start = static_cast<size_t>(r.position);
    const size_t end = static_cast<size_t>(r.filled);

    if (state == RecordScanState::in_quotes) {
      // Everything up to the next quote is data, delimiters and line ends too.
      const void* hit = std::memchr(buf + start, '"', end - start);
      const size_t stop = hit ? static_cast<size_t>(static_cast<const char*>(hit) - buf) + 1 : end;
      TAVIX_TRY(appendToLine(r, line, buf + start, stop - start));
      r.position = stop;
      if (hit != nullptr) state = RecordScanState::at_field_start;
      continue;
    }

    size_t i = start;
    for (; i < end; ++i) {
      const char c = buf[i];
      if (c == '\n' || c == '\r') break;
      if (c == '"' && state == RecordScanState::at_field_start) {
        state = RecordScanState::in_quotes;
        ++i;
        break;
      }
      state = c == r.delimiter ? RecordScanState::at_field_start : RecordScanState::in_field;
    }
    TAVIX_TRY(appendToLine(r, line, buf + start, i - start));
    r.position = i;
    if (state == RecordScanState::in_quotes || i == end) continue;

    // A line end. An LF right after a CR belongs to the same line end; any
    // other byte starts the next line.
    ++r.position;
    if (buf[i] == '\r') {
      TAVIX_TRY(fillBuffer(r, have));
      if (have && r.buffer[r.position] == '\n') ++r.position;
    }
    return Error::ok;
  }
  ended = !any_byte;
  return Error::ok;
}

}  // namespace

Error readStdinHeader(StdinRecordReader& reader, OwnedFieldList& header) {
  freeFieldList(header);
  std::string line;
  bool ended = false;
  TAVIX_TRY(readLine(reader, line, ended));
  if (ended) return Error::ok;
  return splitCsvRecordOwned(line, reader.delimiter, header);
}

Error readStdinRecord(StdinRecordReader& reader, StdinRecord& record) {
  record.fields.clear();
  record.scratch.reset(ArenaAllocator::ResetMode::retain_capacity);
  bool ended = false;
  // An empty line (nothing before its line end) holds no record.
  do {
    const Error e = readLine(reader, record.line, ended);
    if (e != Error::ok || ended) {
      record.line.clear();
      return e;
    }
  } while (record.line.empty());

  record.fields.resize(kMaxRecordFields);
  const SplitResult split = splitCsvRecord(record.line.data(), record.line.size(),
                                           record.fields.data(), kMaxRecordFields, reader.delimiter);
  if (split.error != Error::ok) {
    record.fields.clear();
    return split.error;
  }
  record.fields.resize(split.count);
  if (record.line.find('"') != std::string::npos) {
    const Error e = unescapeDoubledQuotes(record.fields.data(), split.count, record.scratch);
    if (e != Error::ok) {
      record.fields.clear();
      return e;
    }
  }
  return Error::ok;
}

}  // namespace tavix
