#include "platform/temp_files.h"

#include <utility>

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

}  // namespace

Error createUniqueFile(std::string_view directory, std::string_view tag, __int128 first_ns,
                       platform::File& file, std::string& path) {
  path.clear();
  __int128 ns = first_ns;
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt, ++ns) {
    std::string tried = formatTempPath(directory, tag, ns);
    const Error e = platform::createExclusive(tried, file);
    if (e == Error::ok) path = std::move(tried);
    // A name that was taken, or could not be made, is someone else's or
    // nobody's: it is never handed back for deletion.
    if (e != Error::PathAlreadyExists) return e;
  }
  return Error::PathAlreadyExists;
}

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

namespace {

// TEMP, or /tmp when TEMP is unset or empty. Every file of a call goes there,
// so a host whose working directory is read-only or shared is never written to.
std::string tempDirectory() {
  std::string directory;
  if (!platform::readTempDirectory(directory)) directory = "/tmp";
  return directory;
}

}  // namespace

Error createResultFile(platform::File& file, std::string& path) {
  return createUniqueFile(tempDirectory(), "", platform::nowNanoseconds(), file, path);
}

Error createTempFile(std::string_view tag, platform::File& file) {
  std::string path;
  TAVIX_TRY(createNamedTempFile(tag, file, path));
  TAVIX_IGNORE_ERROR(platform::deleteFile(path));
  return Error::ok;
}

Error createNamedTempFile(std::string_view tag, platform::File& file, std::string& path) {
  return createUniqueFile(tempDirectory(), tag, platform::nowNanoseconds(), file, path);
}

}  // namespace tavix
