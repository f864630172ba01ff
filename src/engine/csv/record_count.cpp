#include "engine/csv/record_count.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "engine/csv/byte_scan.h"
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
    count += static_cast<uint64_t>(std::popcount(byte_scan::zeroBytes(byte_scan::load64(p + i) ^ lf)));
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

}  // namespace

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
