// Allocators: the general C-heap allocator, the page allocator and arenas.
//
// `Allocator` is a context plus a table of four operations (alloc, resize in
// place, remap, free). Owned records (the parsed query, trees, compiled
// lists) use the standard containers; these allocators serve the places where
// memory is counted: per-record scratch in scan loops (an `ArenaAllocator`
// reset after each record), large tables (the page allocator) and the text
// blocks handed to the caller (the C-heap allocator). Every operation reports
// failure with a null pointer or false; nothing here throws.
//
// `cAllocator()` and `pageAllocator()` may be used from any thread. An
// `ArenaAllocator` belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/text.h"

namespace tavix {

struct AllocatorVTable {
  // Returns `len` bytes aligned to `align` (a power of two), or null.
  void* (*alloc)(void* ctx, size_t len, size_t align);
  // Grows or shrinks the block in place; false when that is not possible.
  bool (*resize)(void* ctx, void* ptr, size_t old_len, size_t new_len);
  // Returns the block resized, possibly moved (contents kept), or null; on
  // null the old block is untouched.
  void* (*remap)(void* ctx, void* ptr, size_t old_len, size_t new_len, size_t align);
  void (*free)(void* ctx, void* ptr, size_t len);
};

struct Allocator {
  void* ctx = nullptr;
  const AllocatorVTable* vtable = nullptr;

  void* alloc(size_t len, size_t align = alignof(std::max_align_t)) const {
    return vtable->alloc(ctx, len, align);
  }
  bool resize(void* ptr, size_t old_len, size_t new_len) const {
    return vtable->resize(ctx, ptr, old_len, new_len);
  }
  void* remap(void* ptr, size_t old_len, size_t new_len,
              size_t align = alignof(std::max_align_t)) const {
    return vtable->remap(ctx, ptr, old_len, new_len, align);
  }
  void free(void* ptr, size_t len) const {
    if (ptr != nullptr) vtable->free(ctx, ptr, len);
  }

  // As copyText, with the ASCII letters A to Z lower-cased in the copy.
  bool copyLoweredText(std::string_view text, std::string_view& out) const {
    if (text.empty()) {
      out = {};
      return true;
    }
    char* p = static_cast<char*>(alloc(text.size(), 1));
    if (p == nullptr) return false;
    for (size_t i = 0; i < text.size(); ++i) p[i] = toLowerAscii(text[i]);
    out = {p, text.size()};
    return true;
  }

  // Copies `text` into a new block; an empty text owns no storage and yields
  // an empty view. On failure returns false and leaves `out` unchanged.
  bool copyText(std::string_view text, std::string_view& out) const {
    if (text.empty()) {
      out = {};
      return true;
    }
    char* p = static_cast<char*>(alloc(text.size(), 1));
    if (p == nullptr) return false;
    std::memcpy(p, text.data(), text.size());
    out = {p, text.size()};
    return true;
  }
};

// Blocks from malloc; the address malloc returned is kept in the 8 bytes
// before the aligned block, so any alignment can be served.
Allocator cAllocator() noexcept;

// Whole pages from the operating system (mmap); for large tables. A block of
// 2 MiB or more asks for transparent huge pages, so a table probed at random
// costs fewer TLB misses.
Allocator pageAllocator() noexcept;

// Whole pages as pageAllocator serves them, but never asking for huge pages:
// for large regions filled a little at a time by many threads, where a huge
// page's first touch would zero 2 MiB of which only a part is ever used.
Allocator smallPageAllocator() noexcept;

// A bump allocator over chunks taken from a parent allocator. Single blocks
// are not freed (except the most recent one, which can also grow in place);
// the arena is reset as a whole instead. Not thread-safe: one arena per
// worker or per query.
class ArenaAllocator {
 public:
  explicit ArenaAllocator(Allocator parent = cAllocator()) noexcept : parent_(parent) {}
  ~ArenaAllocator() { reset(ResetMode::free_all); }
  ArenaAllocator(const ArenaAllocator&) = delete;
  ArenaAllocator& operator=(const ArenaAllocator&) = delete;

  enum class ResetMode { retain_capacity, free_all };

  // Returns `len` bytes aligned to `align`, or null when the parent fails.
  void* alloc(size_t len, size_t align = alignof(std::max_align_t)) noexcept {
    uintptr_t p = (cursor_ + (align - 1)) & ~static_cast<uintptr_t>(align - 1);
    if (cursor_ != 0 && p + len <= limit_ && p >= cursor_) {
      last_ = p;
      cursor_ = p + len;
      return reinterpret_cast<void*>(p);
    }
    return allocSlow(len, align);
  }

  // Forgets every block. `retain_capacity` keeps the largest chunk for reuse
  // (the per-record reset of scan loops); `free_all` returns every chunk.
  void reset(ResetMode mode = ResetMode::retain_capacity) noexcept;

  // This arena seen through the allocator interface.
  Allocator allocator() noexcept { return Allocator{this, &kVTable}; }

  // Bytes currently handed out from the chunks (for tests and statistics).
  size_t bytesInUse() const noexcept;

 private:
  struct Chunk {
    Chunk* next;
    size_t size;  // whole chunk including this header
  };

  void* allocSlow(size_t len, size_t align) noexcept;
  bool resizeLast(void* ptr, size_t old_len, size_t new_len) noexcept;
  void freeLast(void* ptr, size_t len) noexcept;

  static const AllocatorVTable kVTable;

  Allocator parent_;
  Chunk* chunks_ = nullptr;  // newest first
  uintptr_t cursor_ = 0;
  uintptr_t limit_ = 0;
  uintptr_t last_ = 0;  // start of the most recent block
};

}  // namespace tavix
