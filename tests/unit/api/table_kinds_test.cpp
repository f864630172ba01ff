// Tables that are no regular files: FIFOs (with and without a writer),
// sockets, character devices, directories and links to them are refused at
// once by name, before the call creates any file, wherever the statement
// names them.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tavix.h"

namespace {

namespace fs = std::filesystem;

class TableKinds : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path("/tmp") / ("tavix_kinds_" + std::to_string(getpid()));
    data_ = root_ / "d";
    temp_ = root_ / "t";
    fs::create_directories(data_);
    fs::create_directories(temp_);
    setenv("TEMP", temp_.c_str(), 1);
    std::ofstream(data_ / "a.csv") << "x,y\n1,one\n2,two\n";
    ASSERT_EQ(mkfifo((data_ / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((data_ / "fed").c_str(), 0600), 0);
    // A writer holds the second FIFO open and has put a whole table in it.
    writer_ = open((data_ / "fed").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer_, 0);
    ASSERT_EQ(write(writer_, kFed, std::strlen(kFed)), static_cast<ssize_t>(std::strlen(kFed)));
    socket_ = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(socket_, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sock = (data_ / "sock").string();
    ASSERT_LT(sock.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    ASSERT_EQ(bind(socket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    fs::create_symlink(data_ / "fifo", data_ / "to_fifo");
    fs::create_symlink("/dev/zero", data_ / "to_zero");
    fs::create_symlink(data_ / "a.csv", data_ / "to_a.csv");
  }
  void TearDown() override {
    close(writer_);
    close(socket_);
    fs::remove_all(root_);
  }

  static std::string run(bool json, const std::string& sql) {
    char* out = nullptr;
    const int rc = json ? tavix_query_json(sql.c_str(), &out) : tavix_query_csv(sql.c_str(), &out);
    std::string text = rc == 2 ? "<rc 2>" : out;
    if (rc != 2) tavix_free(out);
    return text;
  }

  std::string path(const std::string& name) const {
    return name[0] == '/' ? name : (data_ / name).string();
  }

  static constexpr const char* kFed = "x,y\n1,fed\n";
  fs::path root_, data_, temp_;
  int writer_ = -1;
  int socket_ = -1;
};

TEST_F(TableKinds, NonRegularTablesAreRefusedByNameBeforeAnyFileIsMade) {
  const struct {
    const char* table;
    const char* error;
  } kinds[] = {
      {"fifo", "error: Unseekable"},         {"fed", "error: Unseekable"},
      {"sock", "error: Unseekable"},         {"/dev/zero", "error: Unseekable"},
      {"/dev/null", "error: Unseekable"},    {"to_fifo", "error: Unseekable"},
      {"to_zero", "error: Unseekable"},      {".", "error: IsDir"},
  };
  // Each table as the FROM table of a scan, a grouping, a whole-table
  // aggregate and DISTINCT, and as a joined table.
  const std::vector<std::string> statements = {
      "SELECT * FROM '{T}' LIMIT 1",
      "SELECT x, count(*) FROM '{T}' GROUP BY x",
      "SELECT count(*) FROM '{T}'",
      "SELECT DISTINCT x FROM '{T}'",
      "SELECT a.y FROM '{A}' a JOIN '{T}' b ON a.x = b.x",
      "SELECT count(*) FROM '{A}' a JOIN '{T}' b ON a.x = b.x",
  };
  // With TEMP pointing at a missing directory, a check that came after the
  // result file's creation would answer FileNotFound.
  for (const bool temp_missing : {false, true}) {
    setenv("TEMP", (temp_missing ? root_ / "missing" : temp_).c_str(), 1);
    for (const auto& kind : kinds) {
      for (std::string sql : statements) {
        sql.replace(sql.find("{T}"), 3, path(kind.table));
        if (const size_t a = sql.find("{A}"); a != std::string::npos)
          sql.replace(a, 3, path("a.csv"));
        for (const bool json : {true, false}) {
          EXPECT_EQ(run(json, sql), kind.error) << sql;
          EXPECT_TRUE(fs::is_empty(temp_)) << sql;
        }
      }
    }
  }
  // The fed FIFO still holds every byte its writer put in.
  char buf[64];
  const ssize_t got = read(writer_, buf, sizeof buf);
  EXPECT_EQ(std::string(buf, got > 0 ? static_cast<size_t>(got) : 0), kFed);
}

TEST_F(TableKinds, ALinkToARegularFileIsATable) {
  EXPECT_EQ(run(false, "SELECT y FROM '" + path("to_a.csv") + "' WHERE x = 2"), "y\ntwo\n");
  EXPECT_EQ(run(false, "SELECT b.y FROM '" + path("a.csv") + "' a JOIN '" + path("to_a.csv") +
                           "' b ON a.x = b.x"),
            "y\none\ntwo\n");
  EXPECT_TRUE(fs::is_empty(temp_));
}

}  // namespace
