#include "common/allocator.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace tavix {

namespace {

// C heap: malloc a block large enough for the alignment padding plus the
// 8-byte slot that holds the address malloc returned.
void* cAlloc(void*, size_t len, size_t align) {
  if (align < 8) align = 8;
  if (len > SIZE_MAX - align - 8) return nullptr;
  void* raw = std::malloc(len + align + 8);
  if (raw == nullptr) return nullptr;
  uintptr_t p = (reinterpret_cast<uintptr_t>(raw) + 8 + (align - 1)) & ~(uintptr_t)(align - 1);
  std::memcpy(reinterpret_cast<void*>(p - 8), &raw, sizeof raw);
  return reinterpret_cast<void*>(p);
}

void* rawOf(void* ptr) {
  void* raw;
  std::memcpy(&raw, static_cast<char*>(ptr) - 8, sizeof raw);
  return raw;
}

bool cResize(void*, void*, size_t old_len, size_t new_len) { return new_len <= old_len; }

void* cRemap(void* ctx, void* ptr, size_t old_len, size_t new_len, size_t align) {
  if (new_len <= old_len) return ptr;
  void* fresh = cAlloc(ctx, new_len, align);
  if (fresh == nullptr) return nullptr;
  std::memcpy(fresh, ptr, old_len);
  std::free(rawOf(ptr));
  return fresh;
}

void cFree(void*, void* ptr, size_t) { std::free(rawOf(ptr)); }

const AllocatorVTable kCVTable = {cAlloc, cResize, cRemap, cFree};

size_t pageSize() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

size_t roundToPages(size_t len) { return (len + pageSize() - 1) / pageSize() * pageSize(); }

void* pageAlloc(void*, size_t len, size_t align) {
  if (align > pageSize() || len == 0) return nullptr;
  void* p = mmap(nullptr, roundToPages(len), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                 -1, 0);
  if (p == MAP_FAILED) return nullptr;
  // Only advice: where huge pages are off the block is served as it is.
  if (len >= (size_t{2} << 20)) static_cast<void>(madvise(p, roundToPages(len), MADV_HUGEPAGE));
  return p;
}

bool pageResize(void*, void*, size_t old_len, size_t new_len) {
  return roundToPages(new_len) == roundToPages(old_len);
}

void* pageRemap(void*, void* ptr, size_t old_len, size_t new_len, size_t) {
  void* p = mremap(ptr, roundToPages(old_len), roundToPages(new_len), MREMAP_MAYMOVE);
  return p == MAP_FAILED ? nullptr : p;
}

void pageFree(void*, void* ptr, size_t len) { munmap(ptr, roundToPages(len)); }

const AllocatorVTable kPageVTable = {pageAlloc, pageResize, pageRemap, pageFree};

void* smallPageAlloc(void*, size_t len, size_t align) {
  if (align > pageSize() || len == 0) return nullptr;
  void* p = mmap(nullptr, roundToPages(len), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                 -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

const AllocatorVTable kSmallPageVTable = {smallPageAlloc, pageResize, pageRemap, pageFree};

constexpr size_t kMinChunk = 64 * 1024;

}  // namespace

Allocator cAllocator() noexcept { return Allocator{nullptr, &kCVTable}; }
Allocator pageAllocator() noexcept { return Allocator{nullptr, &kPageVTable}; }
Allocator smallPageAllocator() noexcept { return Allocator{nullptr, &kSmallPageVTable}; }

const AllocatorVTable ArenaAllocator::kVTable = {
    [](void* ctx, size_t len, size_t align) -> void* {
      return static_cast<ArenaAllocator*>(ctx)->alloc(len, align);
    },
    [](void* ctx, void* ptr, size_t old_len, size_t new_len) -> bool {
      return static_cast<ArenaAllocator*>(ctx)->resizeLast(ptr, old_len, new_len);
    },
    [](void* ctx, void* ptr, size_t old_len, size_t new_len, size_t align) -> void* {
      auto* arena = static_cast<ArenaAllocator*>(ctx);
      if (arena->resizeLast(ptr, old_len, new_len)) return ptr;
      void* fresh = arena->alloc(new_len, align);
      if (fresh != nullptr && ptr != nullptr) std::memcpy(fresh, ptr, std::min(old_len, new_len));
      return fresh;
    },
    [](void* ctx, void* ptr, size_t len) { static_cast<ArenaAllocator*>(ctx)->freeLast(ptr, len); },
};

void* ArenaAllocator::allocSlow(size_t len, size_t align) noexcept {
  // A new chunk at least twice the previous one, so the number of chunks
  // grows only logarithmically with the bytes served.
  size_t previous = chunks_ != nullptr ? chunks_->size : kMinChunk / 2;
  size_t need = sizeof(Chunk) + len + align;
  if (need < len) return nullptr;
  size_t size = std::max(need, previous * 2);
  void* mem = parent_.alloc(size, alignof(std::max_align_t));
  if (mem == nullptr) return nullptr;
  auto* chunk = static_cast<Chunk*>(mem);
  chunk->next = chunks_;
  chunk->size = size;
  chunks_ = chunk;
  cursor_ = reinterpret_cast<uintptr_t>(chunk) + sizeof(Chunk);
  limit_ = reinterpret_cast<uintptr_t>(chunk) + size;
  uintptr_t p = (cursor_ + (align - 1)) & ~static_cast<uintptr_t>(align - 1);
  last_ = p;
  cursor_ = p + len;
  return reinterpret_cast<void*>(p);
}

bool ArenaAllocator::resizeLast(void* ptr, size_t old_len, size_t new_len) noexcept {
  const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
  if (p != last_ || p + old_len != cursor_) return new_len <= old_len;
  if (p + new_len > limit_ || p + new_len < p) return false;
  cursor_ = p + new_len;
  return true;
}

void ArenaAllocator::freeLast(void* ptr, size_t len) noexcept {
  const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
  if (p == last_ && p + len == cursor_) cursor_ = p;
}

void ArenaAllocator::reset(ResetMode mode) noexcept {
  Chunk* keep = nullptr;
  if (mode == ResetMode::retain_capacity && chunks_ != nullptr) {
    keep = chunks_;  // the newest chunk is the largest
    chunks_ = chunks_->next;
    keep->next = nullptr;
  }
  while (chunks_ != nullptr) {
    Chunk* next = chunks_->next;
    parent_.free(chunks_, chunks_->size);
    chunks_ = next;
  }
  chunks_ = keep;
  if (keep != nullptr) {
    cursor_ = reinterpret_cast<uintptr_t>(keep) + sizeof(Chunk);
    limit_ = reinterpret_cast<uintptr_t>(keep) + keep->size;
  } else {
    cursor_ = limit_ = 0;
  }
  last_ = 0;
}

size_t ArenaAllocator::bytesInUse() const noexcept {
  if (chunks_ == nullptr) return 0;
  size_t total = cursor_ - (reinterpret_cast<uintptr_t>(chunks_) + sizeof(Chunk));
  for (Chunk* c = chunks_->next; c != nullptr; c = c->next) total += c->size - sizeof(Chunk);
  return total;
}

}  // namespace tavix
