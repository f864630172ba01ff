#include "engine/csv/csv_records.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/csv/byte_scan.h"

namespace tavix {
namespace {

using byte_scan::broadcast;
using byte_scan::load64;
using byte_scan::lowestByte;
using byte_scan::zeroBytes;

constexpr char kQuote = '"';
constexpr char kLf = '\n';

inline const char* findByte(const char* from, const char* end, char c) noexcept {
  if (from >= end) return nullptr;
  return static_cast<const char*>(std::memchr(from, c, static_cast<size_t>(end - from)));
}

// State after a run of quote-free bytes outside quotes ending with `last`.
inline RecordScanState stateAfterPlainByte(char last, char delimiter) noexcept {
  return (last == delimiter || last == kLf) ? RecordScanState::at_field_start
                                            : RecordScanState::in_field;
}

// Cuts the remaining fields of a record that holds a quote, from `pos`
// (a field start) with `count` fields already in the slots.
SplitResult splitQuotedRecord(const char* line, size_t length, size_t pos, size_t count,
                              FieldSlice* slots, size_t max_fields, char delimiter) noexcept {
  const char* const end = line + length;
  for (;;) {
    if (pos == length) {
      // A field that starts at the record's end follows a trailing delimiter.
      slots[count++] = FieldSlice(line + pos, 0);
      return {count, Error::ok};
    }
    const char* next_delimiter;
    if (line[pos] == kQuote) {
      const char* text = line + pos + 1;
      const char* close = findByte(text, end, kQuote);
      while (close != nullptr && close + 1 < end && close[1] == kQuote)
        close = findByte(close + 2, end, kQuote);
      if (close == nullptr) {
        slots[count++] = FieldSlice(text, static_cast<size_t>(end - text));
        return {count, Error::ok};
      }
      slots[count++] = FieldSlice(text, static_cast<size_t>(close - text));
      next_delimiter = findByte(close + 1, end, delimiter);
    } else {
      next_delimiter = findByte(line + pos, end, delimiter);
      const char* field_end = next_delimiter != nullptr ? next_delimiter : end;
      slots[count++] = FieldSlice(line + pos, static_cast<size_t>(field_end - (line + pos)));
    }
    if (next_delimiter == nullptr) return {count, Error::ok};
    if (count == max_fields) return {count, Error::TooManyColumns};
    pos = static_cast<size_t>(next_delimiter - line) + 1;
  }
}

}  // namespace

RecordEnd scanToRecordEnd(const char* data, size_t length, size_t pos, RecordScanState& state,
                          char delimiter) noexcept {
  // Offset of the first LF at or after `pos` (length when none), kept while
  // it lies ahead so that quotes on a long line do not search for it again.
  size_t next_lf = 0;
  bool next_lf_known = false;
  while (pos < length) {
    if (state == RecordScanState::in_quotes) {
      const char* quote = findByte(data + pos, data + length, kQuote);
      if (quote == nullptr) return {length, false};
      // A quote inside quoted text either closes it or, followed by another
      // quote, is an escaped quote; both continue as from a field start.
      pos = static_cast<size_t>(quote - data) + 1;
      state = RecordScanState::at_field_start;
      continue;
    }
    if (!next_lf_known || next_lf < pos) {
      const char* lf = findByte(data + pos, data + length, kLf);
      next_lf = lf != nullptr ? static_cast<size_t>(lf - data) : length;
      next_lf_known = true;
    }
    const char* quote = findByte(data + pos, data + next_lf, kQuote);
    const size_t hit = quote != nullptr ? static_cast<size_t>(quote - data) : next_lf;
    if (hit > pos) state = stateAfterPlainByte(data[hit - 1], delimiter);
    if (hit == length) return {length, false};
    if (quote == nullptr) {
      state = RecordScanState::at_field_start;
      return {hit, true};
    }
    state = state == RecordScanState::at_field_start ? RecordScanState::in_quotes
                                                     : RecordScanState::in_field;
    pos = hit + 1;
  }
  return {length, false};
}

RecordEnd findRecordEnd(const char* data, size_t length, size_t start, char delimiter) noexcept {
  RecordScanState state = RecordScanState::at_field_start;
  return scanToRecordEnd(data, length, start, state, delimiter);
}

RecordScanState advanceRecordScanState(const char* data, size_t begin, size_t end,
                                       RecordScanState state, char delimiter) noexcept {
  // Only quotes can change whether the machine is in quoted text, so the walk
  // jumps from quote to quote; LF outside quotes acts like a delimiter (it
  // ends one record and starts the next at a field start).
  size_t pos = begin;
  while (pos < end) {
    const char* quote = findByte(data + pos, data + end, kQuote);
    if (state == RecordScanState::in_quotes) {
      if (quote == nullptr) return state;
      state = RecordScanState::at_field_start;
    } else {
      if (quote == nullptr) return stateAfterPlainByte(data[end - 1], delimiter);
      const size_t q = static_cast<size_t>(quote - data);
      if (q > pos) state = stateAfterPlainByte(data[q - 1], delimiter);
      state = state == RecordScanState::at_field_start ? RecordScanState::in_quotes
                                                       : RecordScanState::in_field;
    }
    pos = static_cast<size_t>(quote - data) + 1;
  }
  return state;
}

SplitResult splitCsvRecord(const char* line, size_t length, FieldSlice* slots, size_t max_fields,
                           char delimiter) noexcept {
  if (max_fields == 0) return {0, Error::TooManyColumns};
  // Quote-free fast path: walk the record a block at a time, cutting at every
  // delimiter; the first block that holds a quote hands the rest of the
  // record, from the current field's start, to the quote-aware path (the
  // fields cut so far are the same under both rules). Blocks are 16 bytes
  // with SSE2 compares (one bit per byte from movemask), then 8-byte words
  // with the zero-byte trick, then single bytes.
  const uint64_t delimiters = broadcast(delimiter);
  const uint64_t quotes = broadcast(kQuote);
  size_t count = 0;
  size_t field_start = 0;
  size_t pos = 0;
  // Ends the current field at the delimiter at `at`; true when the slots are
  // full.
  const auto cut = [&](size_t at) {
    slots[count++] = FieldSlice(line + field_start, at - field_start);
    field_start = at + 1;
    return count == max_fields;
  };
#if defined(__SSE2__)
  {
    const __m128i dv = _mm_set1_epi8(delimiter);
    const __m128i qv = _mm_set1_epi8(kQuote);
    for (; pos + 16 <= length; pos += 16) {
      const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + pos));
      if (_mm_movemask_epi8(_mm_cmpeq_epi8(w, qv)) != 0)
        return splitQuotedRecord(line, length, field_start, count, slots, max_fields, delimiter);
      uint32_t hits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(w, dv)));
      for (; hits != 0; hits &= hits - 1) {
        if (cut(pos + static_cast<size_t>(std::countr_zero(hits))))
          return {count, Error::TooManyColumns};
      }
    }
  }
#endif
  for (; pos + 8 <= length; pos += 8) {
    const uint64_t w = load64(line + pos);
    if (zeroBytes(w ^ quotes) != 0)
      return splitQuotedRecord(line, length, field_start, count, slots, max_fields, delimiter);
    uint64_t hits = zeroBytes(w ^ delimiters);
    for (; hits != 0; hits &= hits - 1) {
      if (cut(pos + lowestByte(hits))) return {count, Error::TooManyColumns};
    }
  }
  for (; pos < length; ++pos) {
    const char c = line[pos];
    if (c == kQuote)
      return splitQuotedRecord(line, length, field_start, count, slots, max_fields, delimiter);
    if (c == delimiter && cut(pos)) return {count, Error::TooManyColumns};
  }
  slots[count++] = FieldSlice(line + field_start, length - field_start);
  return {count, Error::ok};
}

Error unescapeDoubledQuotes(FieldSlice& field, ArenaAllocator& scratch) noexcept {
  const char* const begin = field.data();
  const char* const end = begin + field.size();
  const char* pair = findByte(begin, end, kQuote);
  while (pair != nullptr && !(pair + 1 < end && pair[1] == kQuote))
    pair = findByte(pair + 1, end, kQuote);
  if (pair == nullptr) return Error::ok;

  char* out = static_cast<char*>(scratch.alloc(field.size(), 1));
  if (out == nullptr) return Error::OutOfMemory;
  const size_t head = static_cast<size_t>(pair - begin);
  std::memcpy(out, begin, head);
  const size_t tail = collapseDoubledQuotes(field.substr(head), out + head);
  field = FieldSlice(out, head + tail);
  return Error::ok;
}

size_t collapseDoubledQuotes(std::string_view text, char* out) noexcept {
  size_t n = 0;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == kQuote && i + 1 < text.size() && text[i + 1] == kQuote) {
      out[n++] = kQuote;
      i += 2;
    } else {
      out[n++] = text[i++];
    }
  }
  return n;
}

Error unescapeDoubledQuotes(FieldSlice* fields, size_t count, ArenaAllocator& scratch) noexcept {
  for (size_t i = 0; i < count; ++i) TAVIX_TRY(unescapeDoubledQuotes(fields[i], scratch));
  return Error::ok;
}

}  // namespace tavix
