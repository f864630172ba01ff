// TextBuffer: a growable run of bytes into which rows are rendered ahead of
// writing (the sort gathering of the scan executors, the per-worker output of
// the parallel executors).
//
// The buffer owns its block, taken from the allocator it records, and frees
// it when it is destroyed. Growth sets the capacity to the larger of twice the
// old capacity and the length needed, so appending n bytes one call at a time
// costs amortised O(n). Because the block may move when it grows, callers that
// keep references to earlier bytes keep offsets, not pointers. A buffer is
// used by one thread at a time.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"

namespace tavix {

struct TextBuffer {
  char* data = nullptr;
  uint64_t capacity = 0;
  uint64_t len = 0;
  Allocator allocator = cAllocator();

  TextBuffer() = default;
  explicit TextBuffer(Allocator a) noexcept : allocator(a) {}
  ~TextBuffer();
  TextBuffer(TextBuffer&& other) noexcept;
  TextBuffer& operator=(TextBuffer&& other) noexcept;
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  std::string_view view() const noexcept { return {data, static_cast<size_t>(len)}; }
  // The `n` bytes at `offset`; the caller keeps offset + n within `len`.
  std::string_view slice(uint64_t offset, uint64_t n) const noexcept {
    return {data + offset, static_cast<size_t>(n)};
  }
  // Forgets the contents and keeps the block for reuse.
  void clear() noexcept { len = 0; }
};

// Makes room for at least `capacity` bytes in total. Returns OutOfMemory when
// the block cannot grow; the buffer is then unchanged.
[[nodiscard]] Error reserveTextBuffer(TextBuffer& buffer, uint64_t capacity) noexcept;

// Appends `bytes` behind the contents; when `out` is given it receives the
// slice now holding them (valid until the buffer next grows). Returns
// OutOfMemory when the block cannot grow; the buffer is then unchanged.
[[nodiscard]] Error appendToTextBuffer(TextBuffer& buffer, std::string_view bytes,
                                       FieldSlice* out = nullptr) noexcept;

// Returns the block to the allocator and leaves the buffer empty, without
// capacity.
void freeTextBuffer(TextBuffer& buffer) noexcept;

}  // namespace tavix
