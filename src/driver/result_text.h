// The text handed back to the caller, and the read-back of the result file
// into it. Everything here may be called from any thread.
#pragma once

#include <cstddef>

#include "common/error.h"
#include "platform/platform.h"

namespace tavix {

// A text block in the form handed to the caller: 8 bytes holding the block's
// own address, the text, one NUL. `text` points at the first text byte.
struct ReturnedText {
  char* text = nullptr;
  size_t length = 0;
};

// Allocates a returned text block for `length` bytes (NUL already written at
// the end); null on allocation failure.
char* allocateReturnedText(size_t length) noexcept;
void freeReturnedText(char* text) noexcept;

// Rewinds `file` and reads it whole into a returned text block. More than
// kMaxResultBytes fails with FileTooBig before the text is held in memory.
[[nodiscard]] Error readResultFile(platform::File file, ReturnedText& out);

}  // namespace tavix
