#include "engine/csv/field_access.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/csv/byte_scan.h"

namespace tavix {
namespace {

// Number of bytes equal to `delimiter` in [p, end).
size_t countDelimiters(const char* p, const char* end, char delimiter) noexcept {
  size_t n = 0;
#if defined(__SSE2__)
  const __m128i dv = _mm_set1_epi8(delimiter);
  for (; end - p >= 16; p += 16) {
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    n += byte_scan::bitCount(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(w, dv))));
  }
#endif
  for (; p < end; ++p) n += *p == delimiter;
  return n;
}

}  // namespace

LeadingFields splitLeadingFields(const char* line, size_t length, FieldSlice* slots, size_t wanted,
                                 size_t max_fields, char delimiter) noexcept {
  if (max_fields == 0) return {0, Error::TooManyColumns};
  const char* const end = line + length;
  const char* field_start = line;
  const char* p = line;
  size_t count = 0;
  // Cut at each delimiter until `wanted` fields are complete. A block at a
  // time: 16 bytes with SSE2 compares, then single bytes.
  if (wanted > 0) {
#if defined(__SSE2__)
    const __m128i dv = _mm_set1_epi8(delimiter);
    if (length >= 16) {
      // The first 64 bytes (fewer in a shorter line) as one mask of their
      // delimiters, so that a short record is cut by one walk over its set
      // bits. Four loads, none past the line's end: in a line of less than
      // 64 bytes the later ones are moved back to end at its end, and the
      // bytes they load twice give the same bits twice.
      const size_t last = length - 16;
      uint64_t hits = 0;
      for (size_t k = 0; k < 4; ++k) {
        const size_t at = 16 * k < last ? 16 * k : last;
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + at));
        hits |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(w, dv)))} << at;
      }
      while (hits != 0 && count < wanted) {
        const char* at = line + std::countr_zero(hits);
        slots[count++] = FieldSlice(field_start, static_cast<size_t>(at - field_start));
        field_start = at + 1;
        hits &= hits - 1;
      }
      p = line + (length < 64 ? length : 64);
    }
    for (; end - p >= 16 && count < wanted; p += 16) {
      uint32_t hits = static_cast<uint32_t>(
          _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), dv)));
      while (hits != 0 && count < wanted) {
        const char* at = p + std::countr_zero(hits);
        slots[count++] = FieldSlice(field_start, static_cast<size_t>(at - field_start));
        field_start = at + 1;
        hits &= hits - 1;
      }
    }
#endif
    for (; p < end && count < wanted; ++p) {
      if (*p == delimiter) {
        slots[count++] = FieldSlice(field_start, static_cast<size_t>(p - field_start));
        field_start = p + 1;
      }
    }
    if (count < wanted) {
      // The record ends inside the wanted fields: its last field runs to the
      // end, and it has fewer than `wanted` <= max_fields fields.
      slots[count++] = FieldSlice(field_start, static_cast<size_t>(end - field_start));
      return {count, Error::ok};
    }
  }
  // A record of L bytes without quotes has at most L + 1 fields, so only
  // records of at least max_fields bytes need their remaining delimiters
  // counted: those from the start of the field after the last one cut.
  if (length >= max_fields) {
    const size_t total = count + 1 + countDelimiters(field_start, end, delimiter);
    if (total > max_fields) return {count, Error::TooManyColumns};
  }
  return {count, Error::ok};
}

Error splitRecordFields(FieldSlice line, char delimiter, FieldSlice* fields, size_t& count,
                        ArenaAllocator& scratch) noexcept {
  const SplitResult split = splitCsvRecord(line.data(), line.size(), fields, kMaxRecordFields, delimiter);
  count = split.count;
  if (split.error != Error::ok) return split.error;
  // Most records hold no quote at all: one search of the line spares looking
  // into every field. A field the arena cannot copy keeps its doubled
  // quotes; the row is still answered rather than the query failed over a
  // few bytes of scratch.
  if (std::memchr(line.data(), '"', line.size()) == nullptr) return Error::ok;
  TAVIX_IGNORE_ERROR(unescapeDoubledQuotes(fields, count, scratch));
  return Error::ok;
}

Error cutRecordFields(FieldSlice line, bool quote_free, size_t wanted, char delimiter,
                      FieldSlice* fields, size_t& count, ArenaAllocator& scratch) noexcept {
  if (wanted > kMaxRecordFields) wanted = kMaxRecordFields;
  count = 0;
  if (wanted == 0) return Error::ok;
  if (quote_free) {
    // No field limit to check: fields past the limit are ignored anyway.
    count = splitLeadingFields(line.data(), line.size(), fields, wanted, kAllFields, delimiter).count;
    return Error::ok;
  }
  // TooManyColumns only says that the record goes on past `wanted` fields.
  count = splitCsvRecord(line.data(), line.size(), fields, wanted, delimiter).count;
  return unescapeDoubledQuotes(fields, count, scratch);
}

Error RecordFields::splitWhole(ArenaAllocator& scratch) noexcept {
  size_t count = 0;
  if (quote_free_) {
    // Nothing to unescape: the split alone gives the fields.
    const SplitResult split =
        splitCsvRecord(line_.data(), line_.size(), fields_, kMaxRecordFields, delimiter_);
    TAVIX_TRY(split.error);
    count = split.count;
  } else {
    scratch.reset();
    TAVIX_TRY(splitRecordFields(line_, delimiter_, fields_, count, scratch));
  }
  count_ = count;
  cut_ = kAllFields;
  started_ = whole_ = true;
  return Error::ok;
}

}  // namespace tavix
