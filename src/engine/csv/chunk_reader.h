// Walking the records of one range of a CSV body: `RecordCursor` finds the
// record ends of a byte run and tells which records hold no double quote,
// `forEachMappedLine` walks a range of a mapping, and `ChunkLineReader`
// reads a range of the input file by positioned reads, so that several
// workers read one file at once without sharing a file position. Lines are
// records without their LF and one trailing CR; empty lines hold no record.
//
// Every object here belongs to one thread; the free functions keep no state.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "engine/csv/csv_records.h"
#include "engine/csv/scan_ranges.h"
#include "platform/platform.h"

namespace tavix {

// Drops one CR before the line's end. Returns false for a line that is then
// empty: such lines hold no record.
inline bool trimRecordLine(FieldSlice& line) noexcept {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return !line.empty();
}

// Makes a value of a record that a worker read from the file outlive the
// record: a view into `line` becomes the view of the same bytes in the
// mapping, whose copy of the line starts at `mapped_line`; any other
// non-empty text (an unescaped copy in scratch memory) is copied into
// `kept`. Returns false when that copy fails.
inline bool keepPastRecord(FieldSlice& text, FieldSlice line, const char* mapped_line,
                           ArenaAllocator& kept) noexcept {
  if (text.data() >= line.data() && text.data() + text.size() <= line.data() + line.size()) {
    text = FieldSlice(mapped_line + (text.data() - line.data()), text.size());
    return true;
  }
  return text.empty() || kept.allocator().copyText(text, text);
}

// Finds the records of one byte run one after the other and tells which of
// them hold no double quote, so that those can be cut without the
// quote-aware rules. One search finds the first LF or quote after a record's
// start: an LF first ends a quote-free record, a quote first sends the
// record to the quote-aware scan. Belongs to one worker.
class RecordCursor {
 public:
  // Starts over on [0, length) of `data`.
  void reset(const char* data, size_t length) noexcept {
    data_ = data;
    length_ = length;
  }

  // For the record that starts at `pos` (a record start), returns the offset
  // of the LF that ends it as `findRecordEnd` does ({length, false} when the
  // run ends first) and sets `quote_free` when the record up to there holds
  // no double quote.
  RecordEnd next(size_t pos, char delimiter, bool& quote_free) noexcept {
    const size_t stop = findLineFeedOrQuote(pos);
    if (stop >= length_) {
      quote_free = true;
      return {length_, false};
    }
    if (data_[stop] == '\n') {
      quote_free = true;
      return {stop, true};
    }
    quote_free = false;
    return findRecordEnd(data_, length_, pos, delimiter);
  }

 private:
  // Blocks of 16 bytes searched here before the library's searches take
  // over: records are short, and this spares calls per record.
  static constexpr int kSearchedBlocks = 8;

  // The offset of the first LF or quote at or after `pos`, or `length_`.
  size_t findLineFeedOrQuote(size_t pos) const noexcept {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i quote = _mm_set1_epi8('"');
    for (int k = 0; k < kSearchedBlocks && length_ - pos >= 16; ++k, pos += 16) {
      const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data_ + pos));
      const auto hits = static_cast<uint32_t>(
          _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(w, lf), _mm_cmpeq_epi8(w, quote))));
      if (hits != 0) return pos + static_cast<size_t>(std::countr_zero(hits));
    }
#endif
    if (pos >= length_) return length_;
    const void* at = std::memchr(data_ + pos, '\n', length_ - pos);
    const size_t end = at != nullptr ? static_cast<size_t>(static_cast<const char*>(at) - data_) : length_;
    const void* q = end > pos ? std::memchr(data_ + pos, '"', end - pos) : nullptr;
    return q != nullptr ? static_cast<size_t>(static_cast<const char*>(q) - data_) : end;
  }

  const char* data_ = nullptr;
  size_t length_ = 0;
};

// Calls `on_line(line, quote_free, stop)` for every record of the range
// [start, end) of the mapped `data`, in order: the bytes up to the LF that
// ends the record (found quote-aware inside the range only), less one
// trailing CR; empty lines are skipped; `quote_free` tells that the line
// holds no double quote. Stops after a call that sets `stop`, or at the
// first error `on_line` returns, which it returns. `ran_over` is set when a
// record runs up to `end` without an LF that ends it.
template <typename OnLine>
[[nodiscard]] Error forEachMappedLine(const char* data, uint64_t start, uint64_t end,
                                      char delimiter, bool& ran_over, OnLine&& on_line) {
  uint64_t pos = start;
  bool stop = false;
  ran_over = false;
  RecordCursor cursor;
  cursor.reset(data, end);
  while (pos < end && !stop) {
    bool quote_free = false;
    const RecordEnd e = cursor.next(pos, delimiter, quote_free);
    const uint64_t record_end = e.found ? e.position : end;
    ran_over = !e.found;
    FieldSlice line(data + pos, record_end - pos);
    pos = record_end + 1;
    if (!trimRecordLine(line)) continue;
    TAVIX_TRY(on_line(line, quote_free, stop));
  }
  return Error::ok;
}

// Bytes read at a time by a worker that reads its range from the input file:
// small enough that the bytes the kernel copied are still in the core's
// cache when the records are cut (2 MiB reads cost about 4 % more CPU).
inline constexpr size_t kChunkReadBytes = size_t{512} << 10;

// Reads the records of one range of the input with positioned reads of at
// most kChunkReadBytes. A record that straddles two reads is carried to the
// front of the buffer; the quote state of the unfinished record is kept, so a
// long record is scanned once. Belongs to one worker.
class ChunkLineReader {
 public:
  ChunkLineReader() = default;
  ~ChunkLineReader();
  ChunkLineReader(const ChunkLineReader&) = delete;
  ChunkLineReader& operator=(const ChunkLineReader&) = delete;

  // Prepares to read `range` of `file`, from any state: a reader may read
  // one range after another, keeping its buffer. Returns OutOfMemory.
  [[nodiscard]] Error init(platform::File file, ScanRange range, char delimiter) noexcept;

  // Sets `line` to the next record (without its LF, one trailing CR dropped;
  // empty lines are skipped) and `got` to true, or `got` to false at the end
  // of the range; `quote_free` tells that the line holds no double quote
  // (false when unknown). The line is valid until the next call. Returns the
  // read error or OutOfMemory.
  [[nodiscard]] Error next(FieldSlice& line, bool& got, bool& quote_free) noexcept {
    if (scan_pos_ < filled_ && scan_pos_ == record_start_) {
      // A fresh record: most end in this buffer without any quote. Empty
      // lines, records that hold a quote and records that run past the
      // buffer take the general scan.
      bool plain = false;
      const RecordEnd e = cursor_.next(scan_pos_, delimiter_, plain);
      if (e.found && plain) {
        FieldSlice found(buffer_ + record_start_, e.position - record_start_);
        if (trimRecordLine(found)) {
          line = found;
          line_offset_ = file_pos_ - filled_ + record_start_;
          record_start_ = scan_pos_ = e.position + 1;
          quote_free = got = true;
          return Error::ok;
        }
      }
    }
    return nextRecord(line, got, quote_free);
  }

  // The file offset of the first byte of the line `next` gave last.
  uint64_t lineOffset() const noexcept { return line_offset_; }

  // After `next` has reported the end: whether the range's last record ran
  // up to the range's end without an LF that ends it.
  bool ranOver() const noexcept { return ran_over_; }

 private:
  [[nodiscard]] Error nextRecord(FieldSlice& line, bool& got, bool& quote_free) noexcept;
  [[nodiscard]] Error refill() noexcept;

  platform::File file_;
  uint64_t file_pos_ = 0;
  uint64_t end_ = 0;
  char* buffer_ = nullptr;
  size_t capacity_ = 0;
  size_t filled_ = 0;
  size_t record_start_ = 0;  // first byte of the record being looked for
  size_t scan_pos_ = 0;      // where the search for its end resumes
  RecordScanState state_ = RecordScanState::at_field_start;
  RecordCursor cursor_;  // over [0, filled_) of the buffer; reset on every refill
  char delimiter_ = ',';
  bool at_end_ = false;  // nothing more to read
  bool ran_over_ = false;
  uint64_t line_offset_ = 0;
};

}  // namespace tavix
