// Fuzzes statement text over fixed small tables.
//
// The input is the statement (up to its first NUL). Each '@' in it stands
// for the fixture directory, so "FROM '@t.csv'" names the table t.csv there;
// standard input holds t.csv for every call. Each statement runs in both
// formats, each call held to the contract (fuzz_support.h), and an error in
// one format must be the same error in the other.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"

namespace {

using tavix::fuzz::Scratch;

constexpr const char* kTable =
    "id,name,price,day,note\n"
    "1,Ann,10.5,2024-01-31,\"a, b\"\n"
    "2,bob,-3,2023-12-01 10:20:30,\n"
    "3,Cid,,2024-02-29,\"x\"\"y\"\n"
    "4,dan,7e2,not a date,plain\r\n"
    "5,Eve,0.25,2024-13-01,\"multi\nline\"\n"
    "6,ann,10.5,1999-12-31T23:59:59,last";

constexpr const char* kJoined =
    "id,city,price\n"
    "1,Oslo,3\n"
    "3,Rome,4.5\n"
    "3,Roma,1\n"
    "7,Paris,\n";

void makeFixtures() {
  const Scratch& s = Scratch::instance();
  s.write("t.csv", kTable);
  s.write("u.csv", kJoined);
  s.write("e.csv", "");
  s.write("h.csv", "a,b\n");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  makeFixtures();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Scratch& s = Scratch::instance();
  const std::string dir = s.dataDir();
  std::string sql;
  sql.reserve(size + 64);
  for (size_t i = 0; i < size && data[i] != 0; ++i) {
    if (data[i] == '@')
      sql += dir;
    else
      sql += static_cast<char>(data[i]);
  }
  tavix::fuzz::Outcome answers[2];
  for (const bool json : {false, true}) {
    tavix::fuzz::feedStandardInput(s.data("t.csv"));
    answers[json] = tavix::fuzz::runChecked(sql, json);
  }
  // A result that only one format makes too large may fail in that one.
  const bool size_bound =
      answers[0].text == "error: FileTooBig" || answers[1].text == "error: FileTooBig";
  if (!size_bound && (answers[0].rc != 0 || answers[1].rc != 0) && !(answers[0] == answers[1]))
    tavix::fuzz::contractBroken(
        "the formats disagree: CSV " + answers[0].text + ", JSON " + answers[1].text, sql, "");
  return 0;
}
