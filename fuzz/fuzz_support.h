// What both fuzz targets share: a private scratch directory per process
// (fixture tables and TEMP), standard input fed from a file, and the call's
// contract, which every call is held to:
//   - the return code is 0, 1 or 2;
//   - code 1 returns "error: " and the name of an error of the set;
//   - code 0 in JSON returns a well-formed JSON array of objects;
//   - TEMP is empty once the call has returned.
// A broken contract aborts the process with a message, which the fuzzer
// records as a crash with its input.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>

#include "common/error.h"
#include "tavix.h"

namespace tavix::fuzz {

[[noreturn]] inline void contractBroken(std::string_view what, std::string_view sql,
                                        std::string_view text) {
  std::fprintf(stderr, "contract broken: %.*s\nstatement: %.*s\ntext: %.*s\n",
               static_cast<int>(what.size()), what.data(), static_cast<int>(sql.size()),
               sql.data(), static_cast<int>(text.size() > 2000 ? 2000 : text.size()), text.data());
  std::abort();
}

// The process's scratch directory: <tmp>/tavix_fuzz_<pid>/{data,temp}, with
// TEMP pointing at temp/; removed when the process exits.
class Scratch {
 public:
  Scratch() {
    root_ = std::filesystem::temp_directory_path() / ("tavix_fuzz_" + std::to_string(getpid()));
    std::filesystem::create_directories(root_ / "data");
    std::filesystem::create_directories(root_ / "temp");
    setenv("TEMP", (root_ / "temp").c_str(), 1);
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  static Scratch& instance() {
    static Scratch scratch;
    return scratch;
  }

  // The fixture directory, with a trailing '/'.
  std::string dataDir() const { return (root_ / "data").string() + "/"; }
  std::string data(std::string_view name) const { return dataDir() + std::string(name); }

  void write(std::string_view name, std::string_view bytes) const {
    std::ofstream out(data(name), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  bool tempIsEmpty() const {
    DIR* dir = opendir((root_ / "temp").c_str());
    if (dir == nullptr) return false;
    bool empty = true;
    while (const dirent* entry = readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") empty = false;
    }
    closedir(dir);
    return empty;
  }

 private:
  std::filesystem::path root_;
};

// Points descriptor 0 at a fresh open of `path`, so that each call reads the
// whole file as its standard input.
inline void feedStandardInput(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror("open standard input");
    std::abort();
  }
  dup2(fd, 0);
  close(fd);
}

// A strict JSON reader for the answer's framing: one array of objects whose
// members are strings, numbers, true, false or null; no raw control bytes in
// strings; only white space after the array.
class JsonCheck {
 public:
  explicit JsonCheck(std::string_view text) : s_(text) {}

  bool arrayOfObjects() {
    space();
    if (!take('[')) return false;
    space();
    if (take(']')) return end();
    for (;;) {
      if (!object()) return false;
      space();
      if (take(']')) return end();
      if (!take(',')) return false;
      space();
    }
  }

 private:
  bool end() {
    space();
    return i_ == s_.size();
  }
  void space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t'))
      ++i_;
  }
  bool take(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool word(std::string_view w) {
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }
  bool object() {
    if (!take('{')) return false;
    space();
    if (take('}')) return true;
    for (;;) {
      if (!string()) return false;
      space();
      if (!take(':')) return false;
      space();
      if (!value()) return false;
      space();
      if (take('}')) return true;
      if (!take(',')) return false;
      space();
    }
  }
  bool value() {
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '"') return string();
    if (c == 't') return word("true");
    if (c == 'f') return word("false");
    if (c == 'n') return word("null");
    return number();
  }
  bool digits() {
    const size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    return i_ > start;
  }
  bool number() {
    take('-');
    if (take('0')) {
      // no further integer digits after a leading zero
    } else if (!digits()) {
      return false;
    }
    if (take('.') && !digits()) return false;
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (!take('+')) take('-');
      if (!digits()) return false;
    }
    return true;
  }
  bool string() {
    if (!take('"')) return false;
    while (i_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      if (e == 'u') {
        for (int k = 0; k < 4; ++k, ++i_)
          if (i_ >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[i_]))) return false;
      } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
        return false;
      }
    }
    return false;
  }

  std::string_view s_;
  size_t i_ = 0;
};

inline bool isErrorText(std::string_view text) {
  constexpr std::string_view kPrefix = "error: ";
  if (text.substr(0, kPrefix.size()) != kPrefix) return false;
  const std::string_view name = text.substr(kPrefix.size());
  for (uint16_t code = 1; code <= kErrorCount; ++code)
    if (errorName(code) == name) return true;
  return false;
}

// What a call returned: its code and its text ("<rc 2>" for code 2).
struct Outcome {
  int rc = 0;
  std::string text;
  bool operator==(const Outcome&) const = default;
};

// One call of the statement in one format, held to the contract.
inline Outcome runChecked(const std::string& sql, bool json) {
  char* out = nullptr;
  const int rc = json ? tavix_query_json(sql.c_str(), &out) : tavix_query_csv(sql.c_str(), &out);
  std::string text;
  if (rc == 2) {
    text = "<rc 2>";
  } else if (rc == 0 || rc == 1) {
    if (out == nullptr) contractBroken("no text returned", sql, "");
    text = out;
    tavix_free(out);
  } else {
    contractBroken("return code " + std::to_string(rc), sql, "");
  }
  if (rc == 1 && !isErrorText(text)) contractBroken("not an error text", sql, text);
  if (rc == 0 && json && !JsonCheck(text).arrayOfObjects()) contractBroken("not a JSON array of objects", sql, text);
  if (!Scratch::instance().tempIsEmpty()) contractBroken("files left in TEMP", sql, text);
  return Outcome{rc, std::move(text)};
}

}  // namespace tavix::fuzz
