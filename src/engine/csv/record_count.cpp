#include "engine/csv/record_count.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TAVIX_RECORD_COUNT_AVX2 1
#include <immintrin.h>
#else
#define TAVIX_RECORD_COUNT_AVX2 0
#endif

#include "engine/csv/byte_scan.h"
#include "engine/csv/csv_records.h"
#include "common/allocator.h"
#include "platform/platform.h"

namespace tavix {
namespace {

// Chunks are at least this large, so small bodies stay on the calling thread.
constexpr size_t kBytesPerChunk = size_t{1} << 20;

// LFs in [p, p + n), 8 bytes at a time: the exact zero-byte mask of
// (w ^ LF..) has one bit per LF, which popcount adds up.
uint64_t countLineFeeds(const char* p, size_t n) noexcept {
  const uint64_t lf = byte_scan::broadcast('\n');
  uint64_t count = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    count += byte_scan::bitCount(byte_scan::zeroBytes(byte_scan::load64(p + i) ^ lf));
  for (; i < n; ++i) count += p[i] == '\n';
  return count;
}

struct ChunkCount {
  const char* data = nullptr;
  size_t length = 0;
  NewlineCounts counts;
};

void countChunkWorkerMain(void* arg, size_t i) {
  ChunkCount& c = (*static_cast<std::vector<ChunkCount>*>(arg))[i];
  c.counts = countNewlinesQuoteAware(c.data, c.length);
}

// Bit i set where byte i of the 64 bytes at `p` equals `c`.
inline uint64_t byteMask64(const char* p, char c) noexcept {
#if defined(__SSE2__)
  const __m128i v = _mm_set1_epi8(c);
  uint64_t m = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    m |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(w, v))))
         << (16 * k);
  }
  return m;
#else
  uint64_t m = 0;
  for (int k = 0; k < 64; ++k) m |= static_cast<uint64_t>(p[k] == c) << k;
  return m;
#endif
}

// The LF, CR and quote bytes of one block of 64: bit i for byte i.
struct BlockMasks {
  uint64_t lf = 0;
  uint64_t cr = 0;
  uint64_t quote = 0;
};

// The line-start state carried from one block to the next within a run of
// quote-free lines that starts at a record start. A byte is at a line start
// when the byte before it is an LF (or it is the run's first byte), which is
// the LF mask shifted up by one with the previous block's top bit carried
// in; an LF ends an empty line when it stands at a line start, or after a CR
// that does.
struct LineCarry {
  uint64_t lf_before = 1;   // the byte before the run counts as an LF
  uint64_t lf_before2 = 0;  // the byte two before (only read together with a CR before)
  uint64_t cr_before = 0;

  // The LFs of the block that end a record (every empty line ends at one of
  // the others), and the carry moved past the block.
  uint64_t recordEnds(uint64_t lf, uint64_t cr) noexcept {
    // Most blocks hold no CR and no LF at a line start: every LF ends a
    // record.
    if ((cr | cr_before) == 0 && (lf & ((lf << 1) | lf_before)) == 0) {
      lf_before = lf >> 63;
      lf_before2 = (lf >> 62) & 1;
      return lf;
    }
    const uint64_t at_line_start = (lf << 1) | lf_before;
    const uint64_t cr_at_line_start =
        ((cr << 1) | cr_before) & ((lf << 2) | (lf_before << 1) | lf_before2);
    const uint64_t empty = lf & (at_line_start | cr_at_line_start);
    lf_before = lf >> 63;
    lf_before2 = (lf >> 62) & 1;
    cr_before = cr >> 63;
    return lf & ~empty;
  }
};

// countRecordsInRange in one pass of 64-byte blocks: quote-free blocks are
// counted by their masks without walking their records; at the first quote
// the LFs before it are counted, and the record holding it (which is not
// empty) is followed by `findRecordEnd`. `Blocks::masks(p)` gives the masks
// of the 64 bytes at p and `Blocks::bits(v)` counts the set bits of v; the
// form built for the running processor is chosen below.
template <typename Blocks>
inline RangeRecordCount countRangeByBlocks(const char* data, size_t start, size_t end,
                                           char delimiter) noexcept {
  RangeRecordCount out;
  uint64_t count = 0;         // kept apart from `out` so it stays in a register
  size_t pos = start;        // the next block's first byte
  size_t run_start = start;  // the record start the quote-free run began at
  LineCarry carry;
  // Just past the last LF of [run_start, at), or run_start: where the line
  // that holds `at` starts.
  const auto lineStartBefore = [&](size_t at) noexcept {
    const void* lf = at > run_start ? memrchr(data + run_start, '\n', at - run_start) : nullptr;
    return lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - data) + 1 : run_start;
  };
  char tail[64];
  while (pos < end) {
    const char* block = data + pos;
    size_t len = 64;
    if (end - pos < 64) {
      // The last, partial block: padded with bytes that are neither LF, CR
      // nor quote.
      len = end - pos;
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, block, len);
      block = tail;
    }
    const BlockMasks m = Blocks::masks(block);
    if (m.quote == 0) {
      count += Blocks::bits(carry.recordEnds(m.lf, m.cr));
      pos += len;
      continue;
    }
    // The lines before the one holding the quote are quote-free records.
    const uint64_t before_quote = (m.quote & (0 - m.quote)) - 1;
    count += Blocks::bits(carry.recordEnds(m.lf & before_quote, m.cr & before_quote));
    const size_t line_start = lineStartBefore(pos + static_cast<size_t>(std::countr_zero(m.quote)));
    const RecordEnd e = findRecordEnd(data, end, line_start, delimiter);
    ++count;
    if (!e.found) {
      out.count = count;
      out.ran_over = true;
      out.tail_start = line_start;
      out.tail_counted = true;
      return out;
    }
    pos = run_start = e.position + 1;
    carry = LineCarry{};
  }
  // A last line without LF: a record unless it is only a CR.
  const size_t line_start = lineStartBefore(end);
  if (line_start < end) {
    out.ran_over = true;
    out.tail_start = line_start;
    out.tail_counted = end - line_start > 1 || data[line_start] != '\r';
    if (out.tail_counted) ++count;
  }
  out.count = count;
  return out;
}

// Masks by 16-byte compares, which every x86-64 processor has (bytewise on
// other processors), and the branch-free bit count.
struct PortableBlocks {
  static BlockMasks masks(const char* p) noexcept {
    return BlockMasks{byteMask64(p, '\n'), byteMask64(p, '\r'), byteMask64(p, '"')};
  }
  static unsigned bits(uint64_t v) noexcept { return byte_scan::bitCount(v); }
};

#if TAVIX_RECORD_COUNT_AVX2
// Masks by 32-byte compares and the population-count instruction, for
// processors that have them (the build itself assumes neither). Everything
// countRangeByBlocks calls is inlined into countRecordsInRangeAvx2, which is
// built for those processors (`flatten`), so no call is left per block.
struct Avx2Blocks {
  __attribute__((target("avx2"))) static uint64_t equal(__m256i lo, __m256i hi, char c) noexcept {
    const __m256i v = _mm256_set1_epi8(c);
    const uint32_t l = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, v)));
    const uint32_t h = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, v)));
    return (static_cast<uint64_t>(h) << 32) | l;
  }
  __attribute__((target("avx2"))) static BlockMasks masks(const char* p) noexcept {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    return BlockMasks{equal(lo, hi, '\n'), equal(lo, hi, '\r'), equal(lo, hi, '"')};
  }
  __attribute__((target("popcnt"))) static unsigned bits(uint64_t v) noexcept {
    return static_cast<unsigned>(__builtin_popcountll(v));
  }
};
#endif

}  // namespace

namespace record_count_detail {

RangeRecordCount countRecordsInRangePortable(const char* data, size_t start, size_t end,
                                             char delimiter) noexcept {
  return countRangeByBlocks<PortableBlocks>(data, start, end, delimiter);
}

#if TAVIX_RECORD_COUNT_AVX2
bool avx2Available() noexcept {
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  }();
  return available;
}

__attribute__((target("avx2,popcnt"), flatten)) RangeRecordCount countRecordsInRangeAvx2(
    const char* data, size_t start, size_t end, char delimiter) noexcept {
  return countRangeByBlocks<Avx2Blocks>(data, start, end, delimiter);
}
#else
bool avx2Available() noexcept { return false; }

RangeRecordCount countRecordsInRangeAvx2(const char* data, size_t start, size_t end,
                                         char delimiter) noexcept {
  return countRecordsInRangePortable(data, start, end, delimiter);
}
#endif

}  // namespace record_count_detail

RangeRecordCount countRecordsInRange(const char* data, size_t start, size_t end,
                                     char delimiter) noexcept {
  if (record_count_detail::avx2Available())
    return record_count_detail::countRecordsInRangeAvx2(data, start, end, delimiter);
  return record_count_detail::countRecordsInRangePortable(data, start, end, delimiter);
}

Error countFileRecordsInRange(platform::File file, ScanRange range, char delimiter,
                              RangeRecordCount& out) noexcept {
  out = RangeRecordCount{};
  // Reads of 512 KiB stay in the core's cache while they are counted.
  constexpr size_t kReadBytes = size_t{512} << 10;
  size_t capacity = 2 * kReadBytes;
  char* buffer = static_cast<char*>(cAllocator().alloc(capacity, 64));
  if (buffer == nullptr) return Error::OutOfMemory;
  const auto release = [&]() { cAllocator().free(buffer, capacity); };
  uint64_t pos = range.start;
  size_t carried = 0;  // bytes of an unfinished record at the buffer's front
  while (pos < range.end) {
    if (capacity - carried < kReadBytes) {
      // An unfinished record fills much of the buffer: grow it so that the
      // next read is a whole piece (the record is scanned again from its
      // start after every read).
      const size_t grown = std::max(capacity + capacity / 2 + 128, carried + kReadBytes);
      void* moved = cAllocator().remap(buffer, capacity, grown, 64);
      if (moved == nullptr) {
        release();
        return Error::OutOfMemory;
      }
      buffer = static_cast<char*>(moved);
      capacity = grown;
    }
    const size_t want = static_cast<size_t>(std::min<uint64_t>(range.end - pos, capacity - carried));
    size_t got = 0;
    const Error e = platform::readAt(file, pos, buffer + carried, want, got);
    if (e != Error::ok) {
      release();
      return e;
    }
    if (got == 0) break;
    pos += got;
    const size_t filled = carried + got;
    const RangeRecordCount r = countRecordsInRange(buffer, 0, filled, delimiter);
    if (pos >= range.end || !r.ran_over) {
      // The range's end, or a buffer that ends on a record end.
      out.count += r.count;
      out.ran_over = r.ran_over;
      carried = 0;
      continue;
    }
    // The last record goes on in the next read: counted there.
    out.count += r.count - (r.tail_counted ? 1 : 0);
    carried = filled - r.tail_start;
    std::memmove(buffer, buffer + r.tail_start, carried);
  }
  if (carried > 0) {
    // The file ended before the range did: what was carried is the last
    // record.
    const RangeRecordCount r = countRecordsInRange(buffer, 0, carried, delimiter);
    out.count += r.count;
    out.ran_over = r.ran_over;
  }
  release();
  return Error::ok;
}

NewlineCounts countNewlinesQuoteAware(const char* chunk, size_t length) noexcept {
  NewlineCounts out;
  bool odd = false;
  const char* p = chunk;
  const char* const end = chunk + length;
  while (p < end) {
    const char* quote = static_cast<const char*>(std::memchr(p, '"', static_cast<size_t>(end - p)));
    const char* stop = quote != nullptr ? quote : end;
    (odd ? out.inside : out.outside) += countLineFeeds(p, static_cast<size_t>(stop - p));
    if (quote == nullptr) break;
    odd = !odd;
    p = quote + 1;
  }
  out.parity = odd;
  return out;
}

RecordCount countRecordsParallel(const char* data, size_t length, uint64_t max_threads) noexcept {
  if (length == 0) return {0, Error::ok};
  const uint64_t chunks =
      std::clamp<uint64_t>(length / kBytesPerChunk, 1, std::max<uint64_t>(max_threads, 1));
  const uint64_t unterminated = data[length - 1] != '\n' ? 1 : 0;
  if (chunks == 1) return {countNewlinesQuoteAware(data, length).outside + unterminated, Error::ok};

  std::vector<ChunkCount> parts;
  try {
    parts.resize(chunks);
  } catch (const std::bad_alloc&) {
    return {0, Error::OutOfMemory};
  }
  const size_t size = length / chunks;
  for (size_t i = 0; i < chunks; ++i) {
    parts[i].data = data + i * size;
    parts[i].length = i + 1 < chunks ? size : length - i * size;
  }
  size_t started = 0;
  const Error error =
      platform::runThreads(parts.size(), platform::kWorkerThreadStack, countChunkWorkerMain, &parts, started);
  if (error != Error::ok) return {0, error};

  uint64_t count = 0;
  bool in_quotes = false;
  for (const ChunkCount& part : parts) {
    count += in_quotes ? part.counts.inside : part.counts.outside;
    in_quotes ^= part.counts.parity;
  }
  return {count + unterminated, Error::ok};
}

}  // namespace tavix
