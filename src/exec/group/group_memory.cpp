#include "exec/group/group_memory.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace tavix {

GroupMemoryPool::~GroupMemoryPool() {
  for (char* slab : slabs_) slab_memory_.free(slab, kSlabBytes);
}

size_t GroupMemoryPool::slabBytes() const noexcept {
  platform::MutexLock hold(lock_);
  return slabs_.size() * kSlabBytes;
}

void* GroupMemoryPool::alloc(size_t len, size_t align) noexcept {
  if (len > kMaxCarvedBytes || align > 4096) return pageAllocator().alloc(len, align);
  if (len == 0) len = 1;
  platform::MutexLock hold(lock_);
  for (;;) {
    if (cursor_ != nullptr) {
      const uintptr_t at = (reinterpret_cast<uintptr_t>(cursor_) + (align - 1)) &
                           ~static_cast<uintptr_t>(align - 1);
      if (at + len <= reinterpret_cast<uintptr_t>(limit_)) {
        cursor_ = reinterpret_cast<char*>(at + len);
        return reinterpret_cast<void*>(at);
      }
    }
    // The rest of the current slab (less than one block) stays unused.
    try {
      slabs_.reserve(slabs_.size() + 1);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    char* slab = static_cast<char*>(slab_memory_.alloc(kSlabBytes, 4096));
    if (slab == nullptr) return nullptr;
    slabs_.push_back(slab);
    cursor_ = slab;
    limit_ = slab + kSlabBytes;
  }
}

void GroupMemoryPool::free(void* ptr, size_t len) noexcept {
  if (len > kMaxCarvedBytes) pageAllocator().free(ptr, len);
}

const AllocatorVTable GroupMemoryPool::kVTable = {
    [](void* ctx, size_t len, size_t align) -> void* {
      return static_cast<GroupMemoryPool*>(ctx)->alloc(len, align);
    },
    [](void*, void* ptr, size_t old_len, size_t new_len) -> bool {
      if (old_len > kMaxCarvedBytes && new_len > kMaxCarvedBytes)
        return pageAllocator().resize(ptr, old_len, new_len);
      return new_len <= old_len && (old_len > kMaxCarvedBytes) == (new_len > kMaxCarvedBytes);
    },
    [](void* ctx, void* ptr, size_t old_len, size_t new_len, size_t align) -> void* {
      auto* pool = static_cast<GroupMemoryPool*>(ctx);
      if (old_len > kMaxCarvedBytes && new_len > kMaxCarvedBytes)
        return pageAllocator().remap(ptr, old_len, new_len, align);
      if (new_len <= old_len && (old_len > kMaxCarvedBytes) == (new_len > kMaxCarvedBytes)) return ptr;
      void* fresh = pool->alloc(new_len, align);
      if (fresh == nullptr) return nullptr;
      if (ptr != nullptr) std::memcpy(fresh, ptr, old_len < new_len ? old_len : new_len);
      pool->free(ptr, old_len);
      return fresh;
    },
    [](void* ctx, void* ptr, size_t len) { static_cast<GroupMemoryPool*>(ctx)->free(ptr, len); },
};

}  // namespace tavix
