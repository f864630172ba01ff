#include "engine/csv/csv_file_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tavix {
namespace {

// One read asks for at most this many bytes.
constexpr size_t kMaxReadBytes = 0xFFFFFFFFu;

// Moves the unconsumed bytes to the buffer start and reads more behind them.
// A buffer that is full of one unfinished record is doubled first, up to
// room for the longest record allowed and its CR LF, so every record within
// the bound fits.
Error refillCsvFileReader(CsvFileReader& r) noexcept {
  if (r.at_eof) return Error::ok;
  if (r.consumed > 0) {
    r.filled -= r.consumed;
    std::memmove(r.buffer, r.buffer + r.consumed, r.filled);
    r.consumed = 0;
  }
  if (r.filled == r.capacity) {
    const size_t grown = std::min(r.capacity * 2, r.max_record_bytes + 2);
    if (grown <= r.capacity) return Error::StreamTooLong;
    char* p = static_cast<char*>(r.allocator.remap(r.buffer, r.capacity, grown, 1));
    if (p == nullptr) return Error::OutOfMemory;
    r.buffer = p;
    r.capacity = grown;
  }
  size_t got = 0;
  TAVIX_TRY(platform::readSome(r.file, r.buffer + r.filled,
                               std::min(r.capacity - r.filled, kMaxReadBytes), got));
  if (got == 0)
    r.at_eof = true;
  else
    r.filled += got;
  return Error::ok;
}

// Drops one CR at the end of a record's bytes: the CR of a CR LF line end,
// or of a last line that ends with CR and no LF.
FieldSlice withoutFinalCr(const char* begin, size_t length) noexcept {
  if (length > 0 && begin[length - 1] == '\r') --length;
  return FieldSlice(begin, length);
}

// A record longer than the reader's bound ends the read.
Error boundedRecord(const CsvFileReader& r, FieldSlice record) noexcept {
  return record.size() > r.max_record_bytes ? Error::StreamTooLong : Error::ok;
}

// Finds the next record in the buffer, refilling as needed. `ended` is set
// when the input holds no further byte. The record excludes its LF and one CR
// right before it (or, in a last line without LF, one final CR). A record
// longer than the bound fails with StreamTooLong once that much of it has
// been read.
Error nextRecordBytes(CsvFileReader& r, FieldSlice& record, bool& ended) noexcept {
  ended = false;
  if (r.consumed == r.filled) {
    TAVIX_TRY(refillCsvFileReader(r));
    if (r.consumed == r.filled) {
      ended = true;
      return Error::ok;
    }
  }
  // The scan resumes where it stopped after each refill, in the state it had
  // there, so a long record is scanned once.
  size_t scan = r.consumed;
  RecordScanState state = RecordScanState::at_field_start;
  for (;;) {
    const RecordEnd end = scanToRecordEnd(r.buffer, r.filled, scan, state, r.delimiter);
    if (end.found) {
      record = withoutFinalCr(r.buffer + r.consumed, end.position - r.consumed);
      r.consumed = end.position + 1;
      return boundedRecord(r, record);
    }
    if (r.at_eof) {
      record = withoutFinalCr(r.buffer + r.consumed, r.filled - r.consumed);
      r.consumed = r.filled;
      return boundedRecord(r, record);
    }
    const size_t scanned = r.filled - r.consumed;
    // Past the bound and one CR that could still be dropped, no line end
    // can save the record.
    if (scanned > r.max_record_bytes + 1) return Error::StreamTooLong;
    TAVIX_TRY(refillCsvFileReader(r));
    scan = scanned;  // the record now starts at offset 0
  }
}

bool holdsQuote(FieldSlice text) noexcept {
  return !text.empty() && std::memchr(text.data(), '"', text.size()) != nullptr;
}

}  // namespace

CsvFileReader::~CsvFileReader() { deinitCsvFileReader(*this); }

Error initCsvFileReader(CsvFileReader& reader, platform::File file) noexcept {
  deinitCsvFileReader(reader);
  reader.file = file;
  reader.delimiter = ',';
  unsigned char head[3] = {0, 0, 0};
  size_t got = 0;
  uint64_t start = 0;
  // Any failure to read the first bytes (a pipe, for one) means no mark.
  if (platform::readAt(file, 0, head, sizeof head, got) == Error::ok && got == 3 &&
      head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF)
    start = 3;
  TAVIX_TRY(platform::seekTo(file, start));
  reader.buffer = static_cast<char*>(reader.allocator.alloc(kCsvReaderBufferSize, 1));
  if (reader.buffer == nullptr) return Error::OutOfMemory;
  reader.capacity = kCsvReaderBufferSize;
  return Error::ok;
}

Error readNextCsvRecord(CsvFileReader& reader, FieldList& out) noexcept {
  out = FieldList();
  FieldSlice record;
  bool ended = false;
  // An empty line (nothing, or only a CR, before its LF) holds no record.
  do {
    TAVIX_TRY(nextRecordBytes(reader, record, ended));
    if (ended) return Error::ok;
  } while (record.empty());
  reader.arena.reset(ArenaAllocator::ResetMode::retain_capacity);
  const SplitResult split = splitCsvRecord(record.data(), record.size(), reader.fields.data(),
                                           reader.fields.size(), reader.delimiter);
  if (holdsQuote(record))
    TAVIX_TRY(unescapeDoubledQuotes(reader.fields.data(), split.count, reader.arena));
  out.items = reader.fields.data();
  out.count = split.count;
  return split.error;
}

Error readNextCsvRecordLine(CsvFileReader& reader, FieldSlice& line, bool& ended) noexcept {
  line = FieldSlice();
  return nextRecordBytes(reader, line, ended);
}

Error readNextCsvRecordOwned(CsvFileReader& reader, OwnedFieldList& out) noexcept {
  freeFieldList(out);
  FieldSlice record;
  bool ended = false;
  TAVIX_TRY(nextRecordBytes(reader, record, ended));
  if (ended) return Error::ok;
  return splitCsvRecordOwned(record, reader.delimiter, out);
}

Error splitCsvRecordOwned(FieldSlice record, char delimiter, OwnedFieldList& out) noexcept {
  freeFieldList(out);
  try {
    // A record of k delimiters has at most k + 1 fields, so this split never
    // runs out of slots.
    const size_t slots =
        static_cast<size_t>(std::count(record.begin(), record.end(), delimiter)) + 1;
    std::vector<FieldSlice> fields(slots);
    const SplitResult split =
        splitCsvRecord(record.data(), record.size(), fields.data(), slots, delimiter);
    fields.resize(split.count);
    size_t total = 0;
    for (const FieldSlice& f : fields) total += f.size();
    std::unique_ptr<char[]> storage;
    if (total > 0) {
      storage.reset(new (std::nothrow) char[total]);
      if (storage == nullptr) return Error::OutOfMemory;
    }
    size_t used = 0;
    for (FieldSlice& f : fields) {
      // A quoted field's text starts right after its opening quote; any
      // other field starts the record or follows a delimiter.
      const bool quoted = f.data() != record.data() && f.data()[-1] == '"';
      char* dest = storage.get() + used;
      size_t n = f.size();
      if (quoted)
        n = collapseDoubledQuotes(f, dest);
      else if (n > 0)
        std::memcpy(dest, f.data(), n);
      f = FieldSlice(n > 0 ? dest : nullptr, n);
      used += n;
    }
    out.storage = std::move(storage);
    out.items = std::move(fields);
    return Error::ok;
  } catch (const std::bad_alloc&) {
    freeFieldList(out);
    return Error::OutOfMemory;
  }
}

void freeFieldList(OwnedFieldList& list) noexcept {
  list.items.clear();
  list.items.shrink_to_fit();
  list.storage.reset();
}

void deinitCsvFileReader(CsvFileReader& reader) noexcept {
  if (reader.buffer != nullptr) reader.allocator.free(reader.buffer, reader.capacity);
  reader.buffer = nullptr;
  reader.capacity = 0;
  reader.filled = 0;
  reader.consumed = 0;
  reader.at_eof = false;
  reader.arena.reset(ArenaAllocator::ResetMode::free_all);
}

}  // namespace tavix
