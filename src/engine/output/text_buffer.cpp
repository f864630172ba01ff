#include "engine/output/text_buffer.h"

#include <algorithm>
#include <cstring>

namespace tavix {

namespace {

// Text needs no alignment beyond a byte.
constexpr size_t kTextAlign = 1;

// Grows the block to exactly `new_capacity` bytes, keeping the contents.
// In place or moved by the allocator first; otherwise a fresh block, the old
// bytes copied over and the old block freed.
Error growTo(TextBuffer& b, uint64_t new_capacity) noexcept {
  if (new_capacity > SIZE_MAX) return Error::OutOfMemory;
  const size_t want = static_cast<size_t>(new_capacity);
  if (b.data == nullptr) {
    char* fresh = static_cast<char*>(b.allocator.alloc(want, kTextAlign));
    if (fresh == nullptr) return Error::OutOfMemory;
    b.data = fresh;
    b.capacity = new_capacity;
    return Error::ok;
  }
  const size_t old = static_cast<size_t>(b.capacity);
  if (b.allocator.resize(b.data, old, want)) {
    b.capacity = new_capacity;
    return Error::ok;
  }
  if (char* moved = static_cast<char*>(b.allocator.remap(b.data, old, want, kTextAlign))) {
    b.data = moved;
    b.capacity = new_capacity;
    return Error::ok;
  }
  char* fresh = static_cast<char*>(b.allocator.alloc(want, kTextAlign));
  if (fresh == nullptr) return Error::OutOfMemory;
  std::memcpy(fresh, b.data, old);
  b.allocator.free(b.data, old);
  b.data = fresh;
  b.capacity = new_capacity;
  return Error::ok;
}

}  // namespace

TextBuffer::~TextBuffer() { freeTextBuffer(*this); }

TextBuffer::TextBuffer(TextBuffer&& other) noexcept
    : data(other.data), capacity(other.capacity), len(other.len), allocator(other.allocator) {
  other.data = nullptr;
  other.capacity = 0;
  other.len = 0;
}

TextBuffer& TextBuffer::operator=(TextBuffer&& other) noexcept {
  if (this != &other) {
    freeTextBuffer(*this);
    data = other.data;
    capacity = other.capacity;
    len = other.len;
    allocator = other.allocator;
    other.data = nullptr;
    other.capacity = 0;
    other.len = 0;
  }
  return *this;
}

Error reserveTextBuffer(TextBuffer& buffer, uint64_t capacity) noexcept {
  if (capacity <= buffer.capacity) return Error::ok;
  return growTo(buffer, capacity);
}

Error appendToTextBuffer(TextBuffer& buffer, std::string_view bytes, FieldSlice* out) noexcept {
  const uint64_t n = bytes.size();
  if (n > UINT64_MAX - buffer.len) return Error::OutOfMemory;
  const uint64_t needed = buffer.len + n;
  if (needed > buffer.capacity) {
    const uint64_t doubled = buffer.capacity > UINT64_MAX / 2 ? UINT64_MAX : buffer.capacity * 2;
    TAVIX_TRY(growTo(buffer, std::max(doubled, needed)));
  }
  if (n > 0) std::memcpy(buffer.data + buffer.len, bytes.data(), n);
  if (out != nullptr) *out = buffer.slice(buffer.len, n);
  buffer.len = needed;
  return Error::ok;
}

void freeTextBuffer(TextBuffer& buffer) noexcept {
  buffer.allocator.free(buffer.data, static_cast<size_t>(buffer.capacity));
  buffer.data = nullptr;
  buffer.capacity = 0;
  buffer.len = 0;
}

}  // namespace tavix
