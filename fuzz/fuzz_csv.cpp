// Fuzzes CSV bytes under fixed statements.
//
// The input is a table's bytes. It is read as it stands, header row and all,
// from a file and from standard input. Behind the fixed header "a,b,c" it is
// also read as the rows of a table whose statements keep only rows with
// a <> '~pad': from a small file, from standard input (when it holds no CR,
// the one byte whose line-end meaning differs between the two) and, for one
// input in 64, from copies padded past 5 MiB and past 10 MiB, where other
// executors answer. Every call is held to the contract
// (fuzz_support.h); each statement must give one answer over every copy.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "support/padded_table.h"

namespace {

using tavix::fuzz::Outcome;
using tavix::fuzz::runChecked;
using tavix::fuzz::Scratch;

// Statements over the table as it stands; {F} is the table.
constexpr const char* kRawStatements[] = {
    "SELECT * FROM {F}",
    "SELECT count(*) FROM {F}",
    "SELECT * FROM {F} LIMIT 2 OFFSET 1",
};

// Statements over the table behind the header "a,b,c"; each one rejects
// every padding row.
constexpr const char* kRowStatements[] = {
    "SELECT * FROM {F} WHERE a <> '~pad'",
    "SELECT b, count(*), sum(c), min(a), max(c) FROM {F} WHERE a <> '~pad' GROUP BY b ORDER BY b",
    "SELECT upper(a) AS u, length(b), c FROM {F} WHERE a <> '~pad' ORDER BY c DESC LIMIT 3",
    "SELECT count(*), avg(c), count(DISTINCT b), group_concat(a) FROM {F} WHERE a <> '~pad'",
    "SELECT DISTINCT b FROM {F} WHERE a <> '~pad'",
    "SELECT a, c FROM {F} WHERE a <> '~pad' AND (c > 1 OR b LIKE '%x%') LIMIT 4",
};

std::string statementOver(const char* statement, const std::string& table) {
  std::string sql = statement;
  sql.replace(sql.find("{F}"), 3, table);
  return sql;
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// Runs `statement` over `path` in CSV, from the file and, when `stdin_too`,
// from standard input; both must give `expected` when it is given.
Outcome runOver(const char* statement, const std::string& path, bool stdin_too,
                const Outcome* expected) {
  const std::string sql = statementOver(statement, quoted(path));
  Outcome got = runChecked(sql, false);
  if (expected != nullptr && !(got == *expected))
    tavix::fuzz::contractBroken("a padded copy answers otherwise:\n" + expected->text +
                                    "\n--- against ---\n" + got.text,
                                sql, "");
  if (stdin_too) {
    tavix::fuzz::feedStandardInput(path);
    const std::string piped = statementOver(statement, "stdin");
    const Outcome from_stdin = runChecked(piped, false);
    if (!(from_stdin == got))
      tavix::fuzz::contractBroken(
          "standard input answers otherwise:\n" + got.text + "\n--- against ---\n" + from_stdin.text,
          piped, "");
  }
  return got;
}

uint32_t fnv1a(const uint8_t* data, size_t size) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Scratch::instance();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Scratch& s = Scratch::instance();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // The bytes as they stand, in both formats, from a file and from standard
  // input (whose record rule differs, so the answers are not compared).
  const std::string raw = s.data("raw.csv");
  s.write("raw.csv", bytes);
  for (const char* statement : kRawStatements) {
    for (const bool json : {false, true}) {
      runChecked(statementOver(statement, quoted(raw)), json);
      tavix::fuzz::feedStandardInput(raw);
      runChecked(statementOver(statement, "stdin"), json);
    }
  }

  // The bytes as rows behind a fixed header.
  std::string table = "a,b,c\n";
  table.append(bytes);
  const std::string small = s.data("rows.csv");
  s.write("rows.csv", table);
  const bool no_cr = bytes.find('\r') == std::string_view::npos;
  // The padded copies cost a second or more under the sanitizers: one input
  // in 64 (by its bytes, so a rerun repeats the choice) pays for them.
  const bool padded = fnv1a(data, size) % 64 == 0;
  if (padded) {
    s.write("rows5.csv", tavix::test::paddedTable(table, (uint64_t{5} << 20) + 1));
    s.write("rows10.csv", tavix::test::paddedTable(table, (uint64_t{10} << 20) + 1));
  }
  for (const char* statement : kRowStatements) {
    runChecked(statementOver(statement, quoted(small)), true);
    const Outcome expected = runOver(statement, small, no_cr, nullptr);
    if (padded) {
      runOver(statement, s.data("rows5.csv"), false, &expected);
      // Standard input is read by one thread whatever its size: once is
      // enough to see that a long stream answers as a short one.
      runOver(statement, s.data("rows10.csv"), no_cr && statement == kRowStatements[0],
              &expected);
    }
  }
  return 0;
}
