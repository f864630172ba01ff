#include "engine/csv/chunk_reader.h"

#include <algorithm>
#include <cstring>

namespace tavix {

ChunkLineReader::~ChunkLineReader() { cAllocator().free(buffer_, capacity_); }

Error ChunkLineReader::init(platform::File file, ScanRange range, char delimiter) noexcept {
  file_ = file;
  file_pos_ = range.start;
  end_ = range.end;
  delimiter_ = delimiter;
  at_end_ = range.start >= range.end;
  filled_ = record_start_ = scan_pos_ = 0;
  state_ = RecordScanState::at_field_start;
  cursor_.reset(buffer_, 0);
  ran_over_ = false;
  line_offset_ = 0;
  // Room for one full read plus a carried record of up to the same size;
  // longer records grow the buffer. A buffer from an earlier range that is
  // large enough is kept.
  const size_t want =
      at_end_ ? 0 : static_cast<size_t>(std::min<uint64_t>(range.end - range.start, kChunkReadBytes));
  if (want == 0 || capacity_ >= want * 2) return Error::ok;
  cAllocator().free(buffer_, capacity_);
  buffer_ = nullptr;
  capacity_ = want * 2;
  buffer_ = static_cast<char*>(cAllocator().alloc(capacity_, 64));
  if (buffer_ == nullptr) {
    capacity_ = 0;
    return Error::OutOfMemory;
  }
  return Error::ok;
}

Error ChunkLineReader::refill() noexcept {
  // Move the unfinished record to the front; the search resumes where it
  // stopped, in the state it stopped in.
  if (record_start_ > 0) {
    const size_t carried = filled_ - record_start_;
    std::memmove(buffer_, buffer_ + record_start_, carried);
    scan_pos_ -= record_start_;
    filled_ = carried;
    record_start_ = 0;
  }
  const size_t want = static_cast<size_t>(std::min<uint64_t>(end_ - file_pos_, kChunkReadBytes));
  if (filled_ + want > capacity_) {
    // capacity + capacity / 2 + 128 until the read fits.
    size_t grown = capacity_;
    while (grown < filled_ + want) grown = grown + grown / 2 + 128;
    void* moved = cAllocator().remap(buffer_, capacity_, grown, 64);
    if (moved == nullptr) return Error::OutOfMemory;
    buffer_ = static_cast<char*>(moved);
    capacity_ = grown;
  }
  size_t got = 0;
  TAVIX_TRY(platform::readAt(file_, file_pos_, buffer_ + filled_, want, got));
  if (got == 0) {
    at_end_ = true;
    return Error::ok;
  }
  file_pos_ += got;
  filled_ += got;
  cursor_.reset(buffer_, filled_);
  if (file_pos_ >= end_) at_end_ = true;
  return Error::ok;
}

Error ChunkLineReader::nextRecord(FieldSlice& line, bool& got, bool& quote_free) noexcept {
  quote_free = false;
  for (;;) {
    if (scan_pos_ < filled_ && scan_pos_ == record_start_) {
      // A fresh record: most end in this buffer without any quote. Records
      // that hold a quote or run past the buffer take the general scan.
      bool plain = false;
      const RecordEnd e = cursor_.next(scan_pos_, delimiter_, plain);
      if (e.found && plain) {
        line = FieldSlice(buffer_ + record_start_, e.position - record_start_);
        line_offset_ = file_pos_ - filled_ + record_start_;
        record_start_ = scan_pos_ = e.position + 1;
        if (!trimRecordLine(line)) continue;
        quote_free = true;
        got = true;
        return Error::ok;
      }
    }
    if (scan_pos_ < filled_) {
      const RecordEnd e = scanToRecordEnd(buffer_, filled_, scan_pos_, state_, delimiter_);
      if (e.found) {
        line = FieldSlice(buffer_ + record_start_, e.position - record_start_);
        line_offset_ = file_pos_ - filled_ + record_start_;
        record_start_ = scan_pos_ = e.position + 1;
        state_ = RecordScanState::at_field_start;
        if (!trimRecordLine(line)) continue;
        got = true;
        return Error::ok;
      }
      scan_pos_ = filled_;
    }
    if (at_end_) {
      // The chunk's last record has no LF (the file's last line).
      ran_over_ = ran_over_ || filled_ > record_start_;
      line = FieldSlice(buffer_ + record_start_, filled_ - record_start_);
      line_offset_ = file_pos_ - filled_ + record_start_;
      record_start_ = scan_pos_ = filled_;
      got = trimRecordLine(line);
      return Error::ok;
    }
    TAVIX_TRY(refill());
  }
}

}  // namespace tavix
