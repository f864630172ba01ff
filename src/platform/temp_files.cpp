#include "platform/temp_files.h"

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
  std::string path;
  TAVIX_TRY(createNamedTempFile(tag, file, path));
  TAVIX_IGNORE_ERROR(platform::deleteFile(path));
  return Error::ok;
}

Error createNamedTempFile(std::string_view tag, platform::File& file, std::string& path) {
  std::string directory;
  if (!platform::readTempDirectory(directory)) directory = ".";
  return createUniqueFile(directory, tag, file, path);
}

}  // namespace tavix
