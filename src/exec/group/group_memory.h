// Memory for the group tables of one parallel grouping scan.
//
// Every private table of the workers and every shard has an arena and a slot
// array, and each of them grows by doubling from a small start: left to the
// page allocator, one scan over many groups maps and unmaps a few thousand
// blocks from the operating system, and each of those calls holds the
// process's address-space lock while the other workers wait on it for the
// pages they touch first. `GroupMemoryPool` takes pages in large slabs
// instead and carves the small blocks out of them, so the workers touch fresh
// pages side by side and only a few calls change the address space.
//
// A block of at most kMaxCarvedBytes is carved from the current slab (a new
// slab is taken when it is used up) and is not given back before the pool
// is: freeing it does nothing, so a map that grows leaves its smaller slot
// arrays behind, which costs no more than the final array. A larger block
// comes straight from the page allocator and goes back to it when freed.
//
// Threads: alloc and free may be called from any number of threads at once
// (one lock, taken only for a block, not per record). The pool must outlive
// every table that allocates from it.
#pragma once

#include <cstddef>
#include <vector>

#include "common/allocator.h"
#include "platform/platform.h"

namespace tavix {

class GroupMemoryPool {
 public:
  // Bytes of one slab. The default source is small pages
  // (smallPageAllocator), which a pool of mostly partly filled tables
  // touches no more of than it uses; the parallel grouping passes huge pages
  // instead, since its lookups land at random places of all its groups.
  static constexpr size_t kSlabBytes = size_t{32} << 20;
  // The largest block carved from a slab.
  static constexpr size_t kMaxCarvedBytes = size_t{2} << 20;

  GroupMemoryPool() noexcept = default;
  // A pool whose slabs come from `slabs` (pageAllocator for huge pages).
  explicit GroupMemoryPool(Allocator slabs) noexcept : slab_memory_(slabs) {}
  ~GroupMemoryPool();
  GroupMemoryPool(const GroupMemoryPool&) = delete;
  GroupMemoryPool& operator=(const GroupMemoryPool&) = delete;

  // This pool through the allocator interface: alloc, free, and resize and
  // remap as the page allocator has them for large blocks (a carved block
  // resizes only within its length and moves when it must grow).
  Allocator allocator() noexcept { return Allocator{this, &kVTable}; }

  // Bytes of slabs taken so far (for tests).
  size_t slabBytes() const noexcept;

 private:
  void* alloc(size_t len, size_t align) noexcept;
  void free(void* ptr, size_t len) noexcept;

  static const AllocatorVTable kVTable;

  Allocator slab_memory_ = smallPageAllocator();  // where the slabs come from
  mutable platform::Mutex lock_;
  std::vector<char*> slabs_;  // guarded by lock_
  char* cursor_ = nullptr;    // the current slab's first free byte, guarded by lock_
  char* limit_ = nullptr;     // the current slab's end, guarded by lock_
};

}  // namespace tavix
