// The exported functions as a host program sees them.
#include "tavix.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

class Api : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path("/tmp") / ("tavix_api_test_" + std::to_string(getpid()));
    temp_ = root_ / "temp";
    fs::create_directories(temp_);
    setenv("TEMP", temp_.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(root_); }

  bool tempIsEmpty() const { return fs::is_empty(temp_); }

  // Runs one statement; returns the code and fills `text`.
  static int run(bool json, const std::string& sql, std::string& text) {
    char* out = nullptr;
    int rc = json ? tavix_query_json(sql.c_str(), &out) : tavix_query_csv(sql.c_str(), &out);
    if (rc != 2) {
      text = out;
      tavix_free(out);
    }
    return rc;
  }

  fs::path root_;
  fs::path temp_;
};

TEST_F(Api, FreeIgnoresNull) { tavix_free(nullptr); }

TEST_F(Api, NullArgumentsAreRefused) {
  EXPECT_EQ(tavix_query_json("SELECT a FROM t", nullptr), 2);
  EXPECT_EQ(tavix_query_csv(nullptr, nullptr), 2);
  char* out = nullptr;
  ASSERT_EQ(tavix_query_csv(nullptr, &out), 1);
  EXPECT_STREQ(out, "error: InvalidArgument");
  tavix_free(out);
}

TEST_F(Api, ParseErrorsCreateNoFileAndReadTheSameInBothFormats) {
  // With TEMP pointing nowhere, a statement that reached file creation would
  // fail with FileNotFound instead.
  setenv("TEMP", (root_ / "missing").c_str(), 1);
  static const struct {
    const char* sql;
    const char* expected;
  } cases[] = {
      {"", "error: InvalidQuery"},
      {"SELECT a", "error: InvalidQuery"},
      {"SELECT a FROM x UNION SELECT a FROM y", "error: UnsupportedSetOperation"},
      {"SELECT a FROM t LIMIT -1", "error: NegativeLimitNotAllowed"},
  };
  for (const auto& c : cases) {
    for (bool json : {true, false}) {
      std::string text;
      EXPECT_EQ(run(json, c.sql, text), 1) << c.sql;
      EXPECT_EQ(text, c.expected) << c.sql;
    }
  }
}

TEST_F(Api, MissingTempDirectoryFailsEveryStatementThatParses) {
  setenv("TEMP", (root_ / "missing").c_str(), 1);
  std::string text;
  EXPECT_EQ(run(true, "SELECT a FROM 'whatever.csv'", text), 1);
  EXPECT_EQ(text, "error: FileNotFound");
}

TEST_F(Api, FailuresLeaveNothingInTemp) {
  std::string text;
  EXPECT_EQ(run(true, "SELECT a FROM '" + (root_ / "none.csv").string() + "'", text), 1);
  EXPECT_EQ(text, "error: FileNotFound");
  EXPECT_TRUE(tempIsEmpty());
  EXPECT_EQ(run(false, "SELECT a FROM '" + root_.string() + "'", text), 1);
  EXPECT_EQ(text, "error: IsDir");
  EXPECT_TRUE(tempIsEmpty());
}

TEST_F(Api, ConcurrentCallsEachGetTheirOwnAnswer) {
  constexpr int kCalls = 16;
  for (int i = 0; i < kCalls; ++i)
    std::ofstream(root_ / ("t" + std::to_string(i) + ".csv")) << "id,v\n" << i << ",x" << i << "\n";
  std::vector<std::string> answers(kCalls);
  std::vector<int> codes(kCalls);
  std::vector<std::thread> threads;
  for (int i = 0; i < kCalls; ++i) {
    threads.emplace_back([&, i] {
      const std::string sql = "SELECT v FROM '" + (root_ / ("t" + std::to_string(i) + ".csv")).string() + "'";
      codes[i] = run(i % 2 == 0, sql, answers[i]);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_EQ(codes[i], 0) << answers[i];
    const std::string v = "x" + std::to_string(i);
    EXPECT_EQ(answers[i], i % 2 == 0 ? "[\n{\"v\":\"" + v + "\"}\n]\n" : "v\n" + v + "\n");
  }
  EXPECT_TRUE(tempIsEmpty());
}

}  // namespace
