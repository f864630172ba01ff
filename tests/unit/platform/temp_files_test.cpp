#include "platform/temp_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace tavix {
namespace {

namespace fs = std::filesystem;

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path("/tmp") / ("tavix_temp_files_test_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    const char* old = std::getenv("TEMP");
    had_temp_ = old != nullptr;
    if (had_temp_) old_temp_ = old;
    setenv("TEMP", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (had_temp_) setenv("TEMP", old_temp_.c_str(), 1);
    else unsetenv("TEMP");
    fs::remove_all(dir_);
  }
  size_t entries() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}));
  }
  fs::path dir_;
  bool had_temp_ = false;
  std::string old_temp_;
};

TEST(TempPath, NamesCarryTagAndNanoseconds) {
  __int128 ns = static_cast<__int128>(1733000000000000000LL) * 10 + 7;
  EXPECT_EQ(formatTempPath("/t", "stdin_spool", ns), "/t/tavix_stdin_spool_17330000000000000007.tmp");
}

TEST_F(TempDir, ScratchFilesAreNamelessAtOnce) {
  platform::File f;
  ASSERT_EQ(createTempFile("stdin_spool", f), Error::ok);
  EXPECT_EQ(entries(), 0u);
  ASSERT_EQ(platform::writeAll(f, "abc", 3), Error::ok);
  ASSERT_EQ(platform::seekTo(f, 0), Error::ok);
  char buf[4] = {};
  size_t got = 0;
  ASSERT_EQ(platform::readSome(f, buf, 3, got), Error::ok);
  EXPECT_EQ(std::string(buf, got), "abc");
  platform::closeFile(f);
}

TEST_F(TempDir, NamedScratchFilesKeepTheirNameUntilDeleted) {
  platform::File a, b;
  std::string pa, pb;
  ASSERT_EQ(createNamedTempFile("joinagg", a, pa), Error::ok);
  ASSERT_EQ(createNamedTempFile("joinagg", b, pb), Error::ok);
  EXPECT_NE(pa, pb);
  EXPECT_EQ(fs::path(pa).parent_path(), dir_);
  EXPECT_EQ(fs::path(pa).filename().string().rfind("tavix_joinagg_", 0), 0u);
  EXPECT_EQ(entries(), 2u);
  // A second handle opened by the name reads what the first one wrote.
  ASSERT_EQ(platform::writeAll(a, "abc", 3), Error::ok);
  platform::File again;
  ASSERT_EQ(platform::openForReading(pa, again), Error::ok);
  char buf[4] = {};
  size_t got = 0;
  ASSERT_EQ(platform::readSome(again, buf, 3, got), Error::ok);
  EXPECT_EQ(std::string(buf, got), "abc");
  for (platform::File* f : {&a, &b, &again}) platform::closeFile(*f);
  ASSERT_EQ(platform::deleteFile(pa), Error::ok);
  ASSERT_EQ(platform::deleteFile(pb), Error::ok);
  EXPECT_EQ(entries(), 0u);
}

TEST_F(TempDir, ResultFileLivesInTempAndNeverReusesAName) {
  platform::File a, b;
  std::string pa, pb;
  ASSERT_EQ(createResultFile(a, pa), Error::ok);
  ASSERT_EQ(createResultFile(b, pb), Error::ok);
  EXPECT_NE(pa, pb);
  EXPECT_EQ(fs::path(pa).parent_path(), dir_);
  EXPECT_EQ(fs::path(pa).filename().string().rfind("tavix_", 0), 0u);
  EXPECT_EQ(entries(), 2u);
  platform::closeFile(a);
  platform::closeFile(b);
  ASSERT_EQ(platform::deleteFile(pa), Error::ok);
  ASSERT_EQ(platform::deleteFile(pb), Error::ok);
}

TEST_F(TempDir, ExclusiveCreateRefusesPlantedLinks) {
  fs::path target = dir_ / "victim";
  fs::path link = dir_ / "link";
  fs::create_symlink(target, link);
  platform::File f;
  EXPECT_EQ(platform::createExclusive(link.string(), f), Error::PathAlreadyExists);
  EXPECT_FALSE(fs::exists(target));
}

// Names from a fixed clock value: the first `taken` of them exist already,
// made by someone else, as does the one just past the search's reach.
TEST_F(TempDir, ANameSearchHandsBackOnlyTheFileItCreated) {
  const __int128 first = static_cast<__int128>(1733000000000000000LL);
  const std::string dir = dir_.string();
  auto plant = [&](__int128 ns) {
    std::ofstream(formatTempPath(dir, "", ns)) << "theirs";
  };
  struct Case {
    int taken;
    Error expected;
  };
  for (const Case c : {Case{0, Error::ok}, Case{3, Error::ok}, Case{999, Error::ok},
                       Case{1000, Error::PathAlreadyExists}}) {
    SCOPED_TRACE(c.taken);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    for (int i = 0; i < c.taken; ++i) plant(first + i);
    plant(first + 1000);
    platform::File f;
    std::string path = "stale";
    ASSERT_EQ(createUniqueFile(dir, "", first, f, path), c.expected);
    if (c.expected == Error::ok) {
      EXPECT_EQ(path, formatTempPath(dir, "", first + c.taken));
      platform::closeFile(f);
      ASSERT_OK(platform::deleteFile(path));
    } else {
      EXPECT_EQ(path, "");
    }
    // Every planted file is still there and still holds its bytes.
    EXPECT_EQ(entries(), static_cast<size_t>(c.taken) + 1);
    for (int i : {0, c.taken - 1, 1000}) {
      if (i < 0) continue;
      std::ifstream in(formatTempPath(dir, "", first + i));
      std::string bytes;
      in >> bytes;
      EXPECT_EQ(bytes, i < c.taken || i == 1000 ? "theirs" : "") << i;
    }
  }
}

TEST_F(TempDir, AFailedCreateNamesNoFile) {
  setenv("TEMP", (dir_ / "missing").c_str(), 1);
  platform::File f;
  std::string path = "stale";
  EXPECT_EQ(createResultFile(f, path), Error::FileNotFound);
  EXPECT_EQ(path, "");
  EXPECT_EQ(createNamedTempFile("joinagg", f, path), Error::FileNotFound);
  EXPECT_EQ(path, "");
}

TEST_F(TempDir, MissingTempDirectoryFailsWithFileNotFound) {
  setenv("TEMP", (dir_ / "missing").c_str(), 1);
  platform::File f;
  std::string path;
  EXPECT_EQ(createResultFile(f, path), Error::FileNotFound);
}

// Result and scratch files alike: none is written to the working directory.
TEST(ResultFile, UnsetOrEmptyTempFallsBackToTmp) {
  const char* old = std::getenv("TEMP");
  std::string saved = old ? old : "";
  for (bool empty : {false, true}) {
    if (empty) setenv("TEMP", "", 1);
    else unsetenv("TEMP");
    platform::File f;
    std::string path;
    ASSERT_EQ(createResultFile(f, path), Error::ok);
    EXPECT_EQ(path.rfind("/tmp/tavix_", 0), 0u) << path;
    platform::closeFile(f);
    ASSERT_EQ(platform::deleteFile(path), Error::ok);
    ASSERT_EQ(createNamedTempFile("joinagg", f, path), Error::ok);
    EXPECT_EQ(path.rfind("/tmp/tavix_joinagg_", 0), 0u) << path;
    platform::closeFile(f);
    ASSERT_EQ(platform::deleteFile(path), Error::ok);
  }
  if (old) setenv("TEMP", saved.c_str(), 1);
}

}  // namespace
}  // namespace tavix
