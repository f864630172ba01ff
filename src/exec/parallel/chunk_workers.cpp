#include "exec/parallel/chunk_workers.h"

#include <algorithm>
#include <cstring>

namespace tavix {

size_t resolveWorkerCount(uint64_t thread_count_option, uint64_t body_bytes) noexcept {
  uint64_t n = thread_count_option != 0 ? thread_count_option : platform::processorCount();
  n = std::clamp<uint64_t>(n, 1, kMaxWorkerThreads);
  n = std::min<uint64_t>(n, std::max<uint64_t>(body_bytes, 1));
  return static_cast<size_t>(n);
}

size_t sharedRangeCount(size_t threads, uint64_t body_bytes) noexcept {
  if (threads <= 1) return threads;
  const uint64_t wanted = std::clamp<uint64_t>(body_bytes / kSharedRangeBytes,
                                               threads * kFewestRangesPerThread,
                                               threads * kMostRangesPerThread);
  return static_cast<size_t>(std::max<uint64_t>(std::min(wanted, body_bytes), threads));
}

Error ChunkPlan::init(std::string_view data, uint64_t data_start, uint64_t thread_count_option,
                      char delimiter) noexcept {
  data_ = data;
  data_start_ = std::min<uint64_t>(data_start, data.size());
  delimiter_ = delimiter;
  thread_count_ = range_count_ = resolveWorkerCount(thread_count_option, data.size() - data_start_);
  exact_ = false;
  return cutRangesAtLineEnds(data_, data_start_, range_count_, ranges_);
}

Error ChunkPlan::initShared(std::string_view data, uint64_t data_start,
                            uint64_t thread_count_option, char delimiter,
                            platform::File file) noexcept {
  TAVIX_TRY(init(data, data_start, thread_count_option, delimiter));
  if (thread_count_ <= 1) return Error::ok;
  // Only the threads' own cuts look into the mapping; the finer cuts are
  // found by positioned reads, so the plan faults in as few of its pages as
  // one range per thread does (a mapped page once read stays counted in the
  // process's memory, and the kernel may map a whole large folio at once).
  const uint64_t body = data.size() - data_start_;
  const uint64_t block = std::max<uint64_t>(body / sharedRangeCount(thread_count_, body), 1);
  std::vector<ScanRange> per_thread;
  try {
    per_thread = ranges_;
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
  TAVIX_TRY(subdivideRangesAtLineEnds(file, per_thread, block, ranges_));
  range_count_ = ranges_.size();
  return Error::ok;
}

Error ChunkPlan::cutExactly() noexcept {
  TAVIX_TRY(splitIntoScanRanges(data_, data_start_, range_count_, delimiter_, ranges_));
  exact_ = true;
  return Error::ok;
}

void reportWorkerError(Error error) noexcept {
  // Assembled in a small fixed buffer so the line goes out in one write; the
  // longest error name is far below its size.
  char line[128];
  static constexpr std::string_view kPrefix = "Worker thread error: error.";
  const std::string_view name = errorName(error);
  size_t n = 0;
  std::memcpy(line, kPrefix.data(), kPrefix.size());
  n += kPrefix.size();
  const size_t name_len = std::min(name.size(), sizeof line - n - 1);
  std::memcpy(line + n, name.data(), name_len);
  n += name_len;
  line[n++] = '\n';
  platform::writeStandardError(std::string_view(line, n));
}

}  // namespace tavix
