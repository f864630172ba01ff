#include "driver/temp_files.h"

#include <cstdlib>
#include <cstring>

namespace tavix {

namespace {

std::string decimal128(__int128 v) {
  if (v == 0) return "0";
  const bool negative = v < 0;
  unsigned __int128 u = negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
  char digits[48];
  size_t n = 0;
  while (u > 0) {
    digits[n++] = static_cast<char>('0' + static_cast<int>(u % 10));
    u /= 10;
  }
  std::string out;
  if (negative) out.push_back('-');
  while (n > 0) out.push_back(digits[--n]);
  return out;
}

// Bounds the search for a free name; a clash on every one of these means the
// directory is being flooded with our names.
constexpr int kMaxNameAttempts = 1000;

// Creates formatTempPath(directory, tag, ns) exclusively, moving to the next
// nanosecond value while a name is taken.
Error createUniqueFile(std::string_view directory, std::string_view tag, platform::File& file,
                       std::string& path) {
  __int128 ns = platform::nowNanoseconds();
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt, ++ns) {
    path = formatTempPath(directory, tag, ns);
    Error e = platform::createExclusive(path, file);
    if (e != Error::PathAlreadyExists) return e;
  }
  return Error::PathAlreadyExists;
}

}  // namespace

std::string formatTempPath(std::string_view directory, std::string_view tag, __int128 ns) {
  std::string path(directory);
  path += "/tavix_";
  if (!tag.empty()) {
    path += tag;
    path += '_';
  }
  path += decimal128(ns);
  path += ".tmp";
  return path;
}

Error createResultFile(platform::File& file, std::string& path) {
  std::string directory;
  if (!platform::readTempDirectory(directory)) directory = "/tmp";
  return createUniqueFile(directory, "", file, path);
}

Error createTempFile(std::string_view tag, platform::File& file) {
  std::string directory;
  if (!platform::readTempDirectory(directory)) directory = ".";
  std::string path;
  TAVIX_TRY(createUniqueFile(directory, tag, file, path));
  TAVIX_IGNORE_ERROR(platform::deleteFile(path));
  return Error::ok;
}

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
