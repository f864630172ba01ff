// Input whose line never ends answers StreamTooLong at once instead of
// growing without bound: standard input fed from an endless pipe (read
// directly or spooled), a joined table whose record has no end, and a header
// row longer than the bound in a file; TEMP is empty after every call.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tavix.h"

namespace {

namespace fs = std::filesystem;

constexpr off_t kPastTheBound = off_t{300} << 20;  // the bound is 256 MiB

class LongRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    root_ = fs::path("/tmp") / ("tavix_long_" + std::to_string(getpid()));
    data_ = root_ / "d";
    temp_ = root_ / "t";
    fs::create_directories(data_);
    fs::create_directories(temp_);
    setenv("TEMP", temp_.c_str(), 1);
    std::ofstream(data_ / "small.csv") << "a,b\n1,x\n";
  }
  void TearDown() override { fs::remove_all(root_); }

  static std::string run(const std::string& sql) {
    char* out = nullptr;
    const int rc = tavix_query_csv(sql.c_str(), &out);
    std::string text = rc == 2 ? "<rc 2>" : out;
    if (rc != 2) tavix_free(out);
    return text;
  }

  // Runs `sql` with standard input fed from a pipe that carries `head` and
  // then 'x' bytes without end, for as long as anyone reads.
  static std::string runOverEndlessStdin(const std::string& sql, const std::string& head) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::thread writer([fd = fds[1], head] {
      std::string chunk(64 * 1024, 'x');
      if (write(fd, head.data(), head.size()) < 0) return;
      while (write(fd, chunk.data(), chunk.size()) > 0) {
      }
      close(fd);
    });
    const int saved = dup(0);
    dup2(fds[0], 0);
    close(fds[0]);
    const std::string text = run(sql);
    // Closing the last read end stops the writer.
    dup2(saved, 0);
    close(saved);
    writer.join();
    return text;
  }

  // A file of `size` bytes: `head` at its start, holes after it, and `tail`
  // as its last bytes. Holes take no room on disk.
  std::string sparseFile(const std::string& name, const std::string& head, const std::string& tail,
                         off_t size) {
    const std::string path = (data_ / name).string();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    EXPECT_EQ(ftruncate(fd, size - static_cast<off_t>(tail.size())), 0);
    EXPECT_EQ(pwrite(fd, tail.data(), tail.size(), size - static_cast<off_t>(tail.size())),
              static_cast<ssize_t>(tail.size()));
    close(fd);
    return path;
  }

  fs::path root_, data_, temp_;
};

TEST_F(LongRecords, EndlessStandardInputAnswersStreamTooLong) {
  const char* statements[] = {
      "SELECT * FROM stdin",                      // read by the standard-input reader
      "SELECT * FROM stdin LIMIT 1",
      "SELECT * FROM stdin ORDER BY a",           // spooled, then streamed
      "SELECT count(*) FROM stdin",               // spooled, then mapped
      "SELECT a, count(*) FROM stdin GROUP BY a",
  };
  for (const char* head : {"", "a,b\n"}) {
    for (const char* sql : statements) {
      EXPECT_EQ(runOverEndlessStdin(sql, head), "error: StreamTooLong") << sql << " / " << head;
      EXPECT_TRUE(fs::is_empty(temp_)) << sql;
    }
  }
}

TEST_F(LongRecords, RecordsAndHeadersPastTheBoundInFilesAnswerStreamTooLong) {
  const std::string small = (data_ / "small.csv").string();
  // A joined table is read record by record: its second record never ends.
  const std::string endless = sparseFile("endless.csv", "a,b\n1,", "", kPastTheBound);
  // A header row of 300 MiB, then one record.
  const std::string wide = sparseFile("wide.csv", "a", "\n1,x\n", kPastTheBound);
  const std::string statements[] = {
      "SELECT * FROM '" + small + "' s JOIN '" + endless + "' e ON s.a = e.a",
      "SELECT count(*) FROM '" + small + "' s JOIN '" + endless + "' e ON s.a = e.a",
      "SELECT * FROM '" + wide + "' LIMIT 1",
      "SELECT count(*) FROM '" + wide + "'",
      "SELECT a, count(*) FROM '" + wide + "' GROUP BY a",
      "SELECT * FROM '" + small + "' s JOIN '" + wide + "' w ON s.a = w.a",
  };
  for (const std::string& sql : statements) {
    EXPECT_EQ(run(sql), "error: StreamTooLong") << sql;
    EXPECT_TRUE(fs::is_empty(temp_)) << sql;
  }
}

}  // namespace
