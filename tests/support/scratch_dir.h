// Test helpers shared by the unit tests: readable bytes for failure messages, and a
// fixture that gives each test a fresh directory under the system temporary
// directory (removed with its contents when the test ends), with helpers to
// put bytes in a file there and read a file back.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace tavix::testing {

// `s` with every byte outside printable ASCII (and the backslash) shown as
// \xNN, so a failing case prints its control bytes visibly.
inline std::string visibleBytes(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 32 && c < 127 && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           ("tavix_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" +
            std::to_string(static_cast<long long>(platform::nowNanoseconds())));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    for (platform::File& f : open_) platform::closeFile(f);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string path(std::string_view name) const { return (dir_ / std::string(name)).string(); }

  // A new empty file open for reading and writing; closed at the end of the test.
  platform::File createFile(std::string_view name) {
    platform::File f;
    EXPECT_EQ(platform::createExclusive(path(name), f), Error::ok) << name;
    open_.push_back(f);
    return f;
  }

  // A file holding `bytes`, open for reading from offset 0.
  platform::File fileWith(std::string_view name, std::string_view bytes) {
    {
      std::ofstream out(path(name), std::ios::binary);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    platform::File f;
    EXPECT_EQ(platform::openForReading(path(name), f), Error::ok) << name;
    open_.push_back(f);
    return f;
  }

  std::string readBack(std::string_view name) const {
    std::ifstream in(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path dir_;
  std::vector<platform::File> open_;
};

}  // namespace tavix::testing
