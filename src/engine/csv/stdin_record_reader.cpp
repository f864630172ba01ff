#include "engine/csv/stdin_record_reader.h"

#include <cstring>

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

// Runs the record machine until a line end or the end of the stream, leaving
// the field boundaries in `rec.field_ends`. `ended` is set when the stream
// held no byte at all for this call.
Error readFields(StdinRecordReader& r, StdinRecord& rec, bool& ended) {
  if (!r.started) TAVIX_TRY(startStream(r));
  std::string& bytes = rec.bytes;
  size_t field_start = 0;
  bool in_quotes = false;
  bool any_byte = false;
  for (;;) {
    bool have = false;
    TAVIX_TRY(fillBuffer(r, have));
    if (!have) break;
    any_byte = true;
    const char* buf = r.buffer;
    const size_t pos = static_cast<size_t>(r.position);
    const size_t end = static_cast<size_t>(r.filled);

    if (in_quotes) {
      // Everything up to the next quote is data, delimiters and line ends too.
      const void* hit = std::memchr(buf + pos, '"', end - pos);
      const size_t quote = hit ? static_cast<size_t>(static_cast<const char*>(hit) - buf) : end;
      bytes.append(buf + pos, quote - pos);
      r.position = quote;
      if (hit == nullptr) continue;
      r.position = quote + 1;
      TAVIX_TRY(fillBuffer(r, have));
      if (have && r.buffer[r.position] == '"') {
        bytes.push_back('"');
        ++r.position;
      } else {
        // The byte after a closing quote is handled outside quotes: a
        // delimiter or line end acts, anything else joins this field.
        in_quotes = false;
      }
      continue;
    }

    const char c = buf[pos];
    if (c == '"' && bytes.size() == field_start) {
      in_quotes = true;
      ++r.position;
      continue;
    }
    if (c == r.delimiter) {
      ++r.position;
      rec.field_ends.push_back(bytes.size());
      field_start = bytes.size();
      continue;
    }
    if (c == '\n') {
      ++r.position;
      rec.field_ends.push_back(bytes.size());
      return Error::ok;
    }
    if (c == '\r') {
      // A CR ends the record; an LF right after it belongs to the same line
      // end, any other byte starts the next record.
      ++r.position;
      rec.field_ends.push_back(bytes.size());
      TAVIX_TRY(fillBuffer(r, have));
      if (have && r.buffer[r.position] == '\n') ++r.position;
      return Error::ok;
    }
    // A run of ordinary bytes; a quote inside a non-empty field is one of them.
    size_t i = pos + 1;
    while (i < end && buf[i] != r.delimiter && buf[i] != '\n' && buf[i] != '\r') ++i;
    bytes.append(buf + pos, i - pos);
    r.position = i;
  }
  if (!any_byte) {
    ended = true;
    return Error::ok;
  }
  rec.field_ends.push_back(bytes.size());
  return Error::ok;
}

void clearRecord(StdinRecord& rec) noexcept {
  rec.fields.clear();
  rec.bytes.clear();
  rec.field_ends.clear();
}

}  // namespace

Error readStdinRecord(StdinRecordReader& reader, StdinRecord& record) {
  clearRecord(record);
  bool ended = false;
  const Error e = readFields(reader, record, ended);
  if (e != Error::ok || ended) {
    clearRecord(record);
    return e;
  }
  record.fields.reserve(record.field_ends.size());
  size_t from = 0;
  for (size_t to : record.field_ends) {
    record.fields.emplace_back(record.bytes.data() + from, to - from);
    from = to;
  }
  return Error::ok;
}

}  // namespace tavix
