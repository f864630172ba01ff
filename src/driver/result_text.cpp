#include "driver/result_text.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "exec/executor.h"

namespace tavix {

char* allocateReturnedText(size_t length) noexcept {
  if (length > SIZE_MAX - 9) return nullptr;
  char* block = static_cast<char*>(std::malloc(length + 9));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &block, sizeof block);
  block[8 + length] = '\0';
  return block + 8;
}

void freeReturnedText(char* text) noexcept {
  if (text == nullptr) return;
  char* block;
  std::memcpy(&block, text - 8, sizeof block);
  std::free(block);
}

Error readResultFile(platform::File file, ReturnedText& out) {
  TAVIX_TRY(platform::seekTo(file, 0));
  uint64_t size = 0;
  TAVIX_TRY(platform::fileSize(file, size));
  if (size > kMaxResultBytes) return Error::FileTooBig;
  char* text = allocateReturnedText(static_cast<size_t>(size));
  if (text == nullptr) return Error::OutOfMemory;
  // The executor has finished writing, so the file holds exactly `size`
  // bytes; a short read only means it ended early.
  size_t filled = 0;
  while (filled < size) {
    size_t got = 0;
    Error e = platform::readSome(file, text + filled, static_cast<size_t>(size) - filled, got);
    if (e != Error::ok) {
      freeReturnedText(text);
      return e;
    }
    if (got == 0) break;
    filled += got;
  }
  text[filled] = '\0';
  out.text = text;
  out.length = filled;
  return Error::ok;
}

}  // namespace tavix
