// Random statements of the scan forms, each answered over one small
// generated table in every way the library can meet it: the small file, the
// same rows among padding rows in a file just past 5 MiB and in one just past
// 10 MiB (read with one processor and with several), and standard input.
// Every answer must be byte for byte the answer over the small file, in CSV
// and in JSON, errors included.
//
// The processor count the library sees is the calling thread's CPU
// affinity, which the query thread inherits: one CPU keeps the large file
// on the one-thread executors, several CPUs hand it to the worker threads.
//
// Run length: TAVIX_SAME_ANSWER_STATEMENTS (default 40 statements, 6 under
// the thread checker, each compared in both formats over five inputs) and
// TAVIX_SAME_ANSWER_SEED (the first seed; statement i uses seed + i). A
// failure prints the seed of its statement, which
// TAVIX_SAME_ANSWER_SEED=<seed> TAVIX_SAME_ANSWER_STATEMENTS=1 runs alone;
// TAVIX_SAME_ANSWER_SHOW=1 prints every statement with its answer.
//
// Adding a shape: a statement is assembled from one shape per clause (the
// select list, the WHERE, ORDER BY, the LIMIT/OFFSET window), picked at
// random from the tables kSelectShapes, kWhereShapes, kOrderShapes and
// kWindowShapes below. Append a function `void(Rng&, Statement&)` that fills
// its clause to the table; an entry listed twice is picked twice as often.
// A WHERE shape must reject the padding rows (every field "~pad", see
// support/padded_table.h), or the padded files answer more rows: a numeric
// comparison as the whole condition does, and so does `id > 0 AND (...)`
// around anything (`guarded`).
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "support/cpu_limit.h"
#include "support/padded_table.h"
#include "support/sequences.h"
#include "tavix.h"

namespace {

namespace fs = std::filesystem;

// Random choices for one statement.
struct Rng {
  tavix::test::Sequence sequence;
  explicit Rng(uint64_t seed) : sequence{seed} {}
  // A number in [0, n).
  uint64_t below(uint64_t n) { return sequence.next() % n; }
  bool chance(uint64_t percent) { return below(100) < percent; }
  template <typename T, size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(N)];
  }
};

// The generated table: a header and rows of five columns (their names
// below, as statements write them). `id` is unique,
// `grp` repeats, `price` mixes numbers in several forms with texts and empty
// fields, `name` holds texts that need quoting, `cat` a few words.
const char* const kColumns[] = {"id", "grp", "price", "name", "cat"};

std::string csvField(const std::string& value) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string generateTable(Rng& rng) {
  // "1a" and "2024-01-05" are texts that sort among the numbers' texts, so
  // the ORDER BY rule is not transitive on this column ("9" < "10" < "1a" <
  // "9").
  static const char* const prices[] = {"10", "9",    "20", "007",  "-1.5e3", "2.50", "", "abc",
                                       "100", "0",   "3",  "12.5", "-4",     "1a",   "2024-01-05"};
  static const char* const names[] = {"Ann", "bob", "a,b", "say \"hi\"", "", "line\nbreak",
                                      "ann", "Zed", "b",   "x y"};
  static const char* const cats[] = {"x", "y", "z", "X", ""};
  const uint64_t rows = 8 + rng.below(25);
  std::vector<uint64_t> ids(rows);
  for (uint64_t i = 0; i < rows; ++i) ids[i] = i + 1;
  for (uint64_t i = rows; i > 1; --i) std::swap(ids[i - 1], ids[rng.below(i)]);
  // Name fields as some writers leave them: text after a closing quote, a
  // doubled quote outside quotes.
  static const char* const raw_names[] = {"\"ab\"x", "a\"\"b"};
  // Header names in any letter case, some with blanks around them: a
  // statement names them in lower case, labels keep them trimmed.
  std::string table;
  for (const char* column : kColumns) {
    std::string name = column;
    if (rng.chance(30)) name[0] = static_cast<char>(std::toupper(name[0]));
    if (rng.chance(15)) name = " " + name + " ";
    table += (table.empty() ? "" : ",") + name;
  }
  table += "\n";
  for (uint64_t i = 0; i < rows; ++i) {
    const std::string name = rng.chance(10) ? rng.pick(raw_names) : csvField(rng.pick(names));
    table += std::to_string(ids[i]) + "," + std::to_string(rng.below(5)) + "," +
             csvField(rng.pick(prices)) + "," + name + "," + csvField(rng.pick(cats));
    table += rng.chance(20) ? "\r\n" : "\n";
    // An empty line, or one holding only a CR, is no record.
    if (rng.chance(5)) table += rng.chance(50) ? "\n" : "\r\n";
  }
  // The last record may lack its line end.
  if (rng.chance(20) && table.back() == '\n' && table[table.size() - 2] != '\n') {
    table.pop_back();
    if (table.back() == '\r') table.pop_back();
  }
  return table;
}

// One statement being assembled; `{SRC}` stands for its source.
struct Statement {
  bool distinct = false;
  std::string select;
  std::vector<std::string> output_names;  // what ORDER BY may name
  std::string where;
  std::string order_by;
  std::string window;
  int aliases = 0;  // aliases given so far

  // The statement over `source`; `spread` may respace the clause keywords,
  // the WHERE and the window (the select list and the ORDER BY keys are
  // texts compared with each other, kept as written).
  std::string text(const std::string& source,
                   const std::function<std::string(const std::string&)>& spread =
                       [](const std::string& t) { return t; }) const {
    std::string sql = "SELECT ";
    if (distinct) sql += "DISTINCT ";
    sql += select + spread(" FROM ") + source;
    if (!where.empty()) sql += spread(" WHERE ") + spread(where);
    if (!order_by.empty()) sql += spread(" ORDER BY ") + order_by;
    if (!window.empty()) sql += spread(" ") + spread(window);
    return sql;
  }
};

using Shape = void (*)(Rng&, Statement&);

// A column name as a statement may write it: any letter case.
std::string writtenColumn(Rng& rng, const std::string& name) {
  std::string written = name;
  const uint64_t style = rng.below(4);
  for (char& c : written) {
    if (style == 1 || (style == 2 && rng.chance(50))) c = static_cast<char>(std::toupper(c));
  }
  return written;
}

// One select item: the item text, and the name ORDER BY can use for it.
void addItem(Rng& rng, Statement& s, const std::string& expression, const std::string& name) {
  std::string item = expression;
  std::string label = name;
  switch (rng.below(4)) {
    case 1:
      label = "a" + std::to_string(++s.aliases % 7);
      item += " AS " + label;
      break;
    case 2:
      label = "k" + std::to_string(++s.aliases % 7);
      item += " " + label;  // an implicit alias
      break;
    default: break;
  }
  if (!s.select.empty()) s.select += ", ";
  s.select += item;
  s.output_names.push_back(label);
}

void selectStar(Rng&, Statement& s) {
  s.select = "*";
  for (const char* column : kColumns) s.output_names.emplace_back(column);
}

void selectColumns(Rng& rng, Statement& s) {
  const uint64_t n = 1 + rng.below(4);
  for (uint64_t i = 0; i < n; ++i) {
    const std::string column = rng.pick(kColumns);
    addItem(rng, s, writtenColumn(rng, column), column);
  }
}

void selectComputed(Rng& rng, Statement& s) {
  static const char* const expressions[] = {
      "upper(name)", "length(cat)", "round(price, 1)", "coalesce(name, 'none')",
      "CASE WHEN grp > 2 THEN 'hi' ELSE 'lo' END", "concat(cat, '-', id)", "abs(price)",
      "name IS NULL", "substr(name, 2, 2)", "lower(CAT)"};
  const uint64_t n = 1 + rng.below(3);
  for (uint64_t i = 0; i < n; ++i) {
    if (rng.chance(50)) {
      const std::string column = rng.pick(kColumns);
      addItem(rng, s, writtenColumn(rng, column), column);
    } else {
      const std::string expression = rng.pick(expressions);
      addItem(rng, s, expression, expression);
    }
  }
}

// Items that name no column: every input must fail alike.
void selectMissing(Rng& rng, Statement& s) {
  static const char* const items[] = {"nosuch", "price * 2", "id/2", "nosuch n"};
  addItem(rng, s, "id", "id");
  if (!s.select.empty()) s.select += ", ";
  s.select += rng.pick(items);
}

// A leaf of a condition tree.
std::string conditionLeaf(Rng& rng) {
  switch (rng.below(16)) {
    case 0: return "id > " + std::to_string(rng.below(30));
    case 1: return "price <= " + std::to_string(rng.below(25));
    case 2: return "grp = " + std::to_string(rng.below(5));
    case 3: return "grp != " + std::to_string(rng.below(5));
    case 4: return "name LIKE '" + std::string(rng.chance(50) ? "a%" : "%b%") + "'";
    case 5: return rng.chance(50) ? "name IS NULL" : "cat IS NOT NULL";
    case 6: return "cat IN ('x', 'y')";
    case 7: return "cat NOT IN ('x')";
    case 8: return "price BETWEEN 5 AND 20";
    case 9: return "name = 'Ann'";
    case 10: return "name ILIKE 'ann'";
    case 11: return "name NOT LIKE '%a%'";
    case 12: return "id IN (1, 3, 5, 8)";
    case 13: return "name > 'b'";
    case 14: return "price = '10'";
    default: return "cat <> 'z'";
  }
}

std::string conditionTree(Rng& rng, int depth) {
  if (depth <= 0 || rng.chance(35)) return conditionLeaf(rng);
  switch (rng.below(3)) {
    case 0: return conditionTree(rng, depth - 1) + " AND " + conditionTree(rng, depth - 1);
    case 1: return "(" + conditionTree(rng, depth - 1) + " OR " + conditionTree(rng, depth - 1) + ")";
    default: return "NOT (" + conditionTree(rng, depth - 1) + ")";
  }
}

// Every row of the table (every id is positive), none of the padding.
void whereAllRows(Rng&, Statement& s) { s.where = "id > 0"; }

// A numeric comparison as the whole condition: the one-leaf test.
void whereNumericLeaf(Rng& rng, Statement& s) {
  static const char* const ops[] = {"=", "!=", "<", "<=", ">", ">="};
  static const char* const columns[] = {"id", "grp", "price"};
  s.where = std::string(rng.pick(columns)) + " " + rng.pick(ops) + " " + std::to_string(rng.below(25));
}

// Any condition tree behind a guard that the padding rows fail.
void whereGuarded(Rng& rng, Statement& s) {
  const std::string tree = conditionTree(rng, 3);
  s.where = rng.chance(50) ? "id > 0 AND (" + tree + ")" : "(" + tree + ") AND id >= 1";
}

void orderNone(Rng&, Statement&) {}

// One key: an output name, a position or any column, in either direction.
std::string orderKey(Rng& rng, const Statement& s) {
  std::string key;
  switch (rng.below(3)) {
    case 0: key = rng.pick(kColumns); break;
    case 1: key = std::to_string(1 + rng.below(s.output_names.size())); break;
    default: key = s.output_names[rng.below(s.output_names.size())]; break;
  }
  if (rng.chance(40)) key += rng.chance(50) ? " DESC" : " ASC";
  return key;
}

void orderOneKey(Rng& rng, Statement& s) { s.order_by = orderKey(rng, s); }

void orderTwoKeys(Rng& rng, Statement& s) { s.order_by = orderKey(rng, s) + ", " + orderKey(rng, s); }

// A key that names nothing: a position past the list, or no column.
void orderMissingKey(Rng& rng, Statement& s) {
  s.order_by = rng.chance(50) ? std::to_string(s.output_names.size() + 1) : "nosuch";
}

void orderThreeKeys(Rng& rng, Statement& s) {
  s.order_by = orderKey(rng, s) + ", " + orderKey(rng, s) + ", " + orderKey(rng, s);
}

void windowNone(Rng&, Statement&) {}

void windowLimit(Rng& rng, Statement& s) { s.window = "LIMIT " + std::to_string(rng.below(8)); }

// Past the LIMIT that keeps a large file on the worker threads.
void windowLargeLimit(Rng&, Statement& s) { s.window = "LIMIT 100001"; }

void windowOffset(Rng& rng, Statement& s) { s.window = "OFFSET " + std::to_string(rng.below(6)); }

void windowLimitOffset(Rng& rng, Statement& s) {
  s.window = "LIMIT " + std::to_string(1 + rng.below(6)) + " OFFSET " + std::to_string(rng.below(5));
}

const Shape kSelectShapes[] = {selectStar, selectColumns, selectColumns, selectColumns,
                               selectComputed, selectComputed, selectMissing};
const Shape kWhereShapes[] = {whereAllRows, whereNumericLeaf, whereGuarded, whereGuarded};
const Shape kOrderShapes[] = {orderNone,    orderNone,    orderNone,      orderOneKey,
                              orderOneKey,  orderOneKey,  orderTwoKeys,   orderTwoKeys,
                              orderThreeKeys, orderMissingKey};
const Shape kWindowShapes[] = {windowNone, windowNone, windowLimit, windowLargeLimit,
                               windowOffset, windowLimitOffset};

// `sql` with some of its single spaces outside quoted text turned into runs
// of spaces, TABs, CRs and line ends.
std::string spreadWhitespace(Rng& rng, const std::string& sql) {
  static const char* const runs[] = {"  ", "\t", "\n", "\r\n", " \t\n "};
  std::string out;
  bool quoted = false;
  for (char c : sql) {
    if (c == '\'') quoted = !quoted;
    if (c == ' ' && !quoted && rng.chance(30)) {
      out += rng.pick(runs);
    } else {
      out += c;
    }
  }
  return out;
}

Statement randomStatement(Rng& rng) {
  Statement s;
  s.distinct = rng.chance(25);
  rng.pick(kSelectShapes)(rng, s);
  rng.pick(kWhereShapes)(rng, s);
  rng.pick(kOrderShapes)(rng, s);
  rng.pick(kWindowShapes)(rng, s);
  return s;
}

// Under the thread checker every query over the padded files costs a
// second or more: a shorter default run there.
#if defined(__SANITIZE_THREAD__)
constexpr uint64_t kDefaultStatements = 6;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr uint64_t kDefaultStatements = 6;
#else
constexpr uint64_t kDefaultStatements = 40;
#endif
#else
constexpr uint64_t kDefaultStatements = 40;
#endif

uint64_t environmentNumber(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  return std::strtoull(value, nullptr, 10);
}

using tavix::test::CpuLimit;

// Standard input read from a file for the duration of one query.
class StdinFrom {
 public:
  explicit StdinFrom(const std::string& path) : saved_(dup(0)) {
    const int fd = open(path.c_str(), O_RDONLY);
    dup2(fd, 0);
    close(fd);
  }
  ~StdinFrom() {
    dup2(saved_, 0);
    close(saved_);
  }
  StdinFrom(const StdinFrom&) = delete;
  StdinFrom& operator=(const StdinFrom&) = delete;

 private:
  int saved_;
};

std::string answer(bool json, const std::string& sql) {
  char* text = nullptr;
  const int rc = json ? tavix_query_json(sql.c_str(), &text) : tavix_query_csv(sql.c_str(), &text);
  if (rc == 2) return "<rc 2>";
  std::string out = (rc == 1 ? "<rc 1> " : "") + std::string(text);
  tavix_free(text);
  return out;
}

class SameAnswer : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path("/tmp") / ("tavix_same_answer_" + std::to_string(getpid()));
    fs::create_directories(root_ / "temp");
    setenv("TEMP", (root_ / "temp").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string write(const std::string& name, const std::string& bytes) {
    const fs::path path = root_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  fs::path root_;
};

TEST_F(SameAnswer, RandomScanStatementsAnswerAlikeOverEveryInput) {
  const uint64_t statements = environmentNumber("TAVIX_SAME_ANSWER_STATEMENTS", kDefaultStatements);
  const uint64_t first_seed = environmentNumber("TAVIX_SAME_ANSWER_SEED", 1);
  const bool show = environmentNumber("TAVIX_SAME_ANSWER_SHOW", 0) != 0;
  const size_t cpus = CpuLimit::available();
  // One table per 20 seeds (padding 15 MiB costs more than a query), so a
  // seed alone gives its table and statement.
  constexpr uint64_t kSeedsPerTable = 20;
  std::string small;
  std::string padded5;
  std::string padded10;
  for (uint64_t i = 0; i < statements; ++i) {
    const uint64_t seed = first_seed + i;
    if (i == 0 || seed % kSeedsPerTable == 0) {
      Rng table_rng(seed / kSeedsPerTable * 7919 + 1);
      const std::string table = generateTable(table_rng);
      small = write("small.csv", table);
      padded5 = write("padded5.csv", tavix::test::paddedTable(table, 5'242'881));
      padded10 = write("padded10.csv", tavix::test::paddedTable(table, 10'485'761));
    }
    Rng rng(seed);
    const Statement statement = randomStatement(rng);
    // Some statements spread over lines and TABs, the same way for every
    // input: each answers as the statement with single spaces.
    const bool spread = rng.chance(20);
    const uint64_t spread_seed = rng.sequence.next();
    const auto text = [&](const std::string& source) {
      if (!spread) return statement.text(source);
      Rng spread_rng(spread_seed);
      return statement.text(source, [&](const std::string& t) { return spreadWhitespace(spread_rng, t); });
    };
    const auto over = [&](const std::string& path) { return text("'" + path + "'"); };
    for (bool json : {false, true}) {
      const std::string expected = answer(json, statement.text("'" + small + "'"));
      if (show) std::cout << text("t") << "\n" << expected << "\n";
      SCOPED_TRACE("seed " + std::to_string(seed) + (json ? " json: " : " csv: ") + text("t"));
      if (spread) {
        ASSERT_EQ(answer(json, over(small)), expected) << "spread over lines";
      }
      ASSERT_EQ(answer(json, over(padded5)), expected) << "past 5 MiB";
      {
        const CpuLimit one(1);
        ASSERT_EQ(answer(json, over(padded10)), expected) << "past 10 MiB, one processor";
      }
      if (cpus >= 2) {
        const CpuLimit several(i % 2 == 0 ? cpus : std::min<size_t>(cpus, 3));
        ASSERT_EQ(answer(json, over(padded10)), expected) << "past 10 MiB, several processors";
      }
      const StdinFrom input(small);
      ASSERT_EQ(answer(json, text("stdin")), expected) << "standard input";
    }
  }
}

// A joined table for the generated one: its `cat` keys, some twice (their
// rows join twice), the empty key, one no row holds; labels with blanks and
// a comma; `rank` numbers.
std::string generateDim(Rng& rng) {
  static const char* const keys[] = {"x", "y", "z", "X", "", "w"};
  static const char* const labels[] = {"Alpha", "beta", " gamma ", "a,b", "NULL", ""};
  std::string dim = "cat,label,rank\n";
  for (const char* key : keys) {
    for (uint64_t copies = 1 + rng.below(2), c = 0; c < copies; ++c)
      dim += csvField(key) + "," + csvField(rng.pick(labels)) + "," + std::to_string(rng.below(4)) +
             "\n";
  }
  return dim;
}

// A random statement joining the generated table `t` with the dim table `d`
// and grouping or aggregating the joined rows; `{SRC}` stands for the
// generated table's source, `{DIM}` for the dim table's.
std::string randomJoinStatement(Rng& rng) {
  static const char* const keys[] = {"d.label", "t.grp", "t.price", "d.rank", "t.name"};
  static const char* const aggregates[] = {
      "count(*)",           "sum(t.price)",          "min(t.name)",   "max(t.price)",
      "count(DISTINCT t.name)", "avg(t.id)",         "group_concat(t.id)", "sum(d.rank)",
      "count(t.price)",     "median(t.id)"};
  std::string select;
  std::string group_by;
  const bool grouped = rng.chance(75);
  if (grouped) {
    for (uint64_t k = 0, n = 1 + rng.below(2); k < n; ++k) {
      const std::string key = rng.pick(keys);
      if (group_by.find(key) != std::string::npos) continue;
      group_by += (group_by.empty() ? "" : ", ") + key;
      select += (select.empty() ? "" : ", ") + key;
    }
  }
  for (uint64_t a = 0, n = 1 + rng.below(3); a < n; ++a)
    select += (select.empty() ? "" : ", ") + std::string(rng.pick(aggregates));
  std::string sql = "SELECT " + select + " FROM {SRC} t JOIN {DIM} d ON t.cat = d.cat";
  // Every WHERE rejects the padding rows, which join nothing anyway.
  static const char* const wheres[] = {"", "", "t.id > 3", "t.id > 0 AND d.rank < 2",
                                       "d.label <> 'Alpha' AND t.id < 20"};
  const std::string where = rng.pick(wheres);
  if (!where.empty()) sql += " WHERE " + where;
  if (grouped) {
    sql += " GROUP BY " + group_by;
    if (rng.chance(30)) sql += " HAVING count(*) > 1";
    if (rng.chance(30)) sql += " ORDER BY " + group_by.substr(0, group_by.find(',')) + " DESC";
    if (rng.chance(25)) sql += " LIMIT " + std::to_string(1 + rng.below(4));
  }
  return sql;
}

std::string withSources(std::string sql, const std::string& source, const std::string& dim) {
  sql.replace(sql.find("{SRC}"), 5, "'" + source + "'");
  sql.replace(sql.find("{DIM}"), 5, "'" + dim + "'");
  return sql;
}

// Joins feeding GROUP BY and aggregates: the same statement over the small
// file and over its padded copies past 8 and 10 MiB, on one processor and on
// several, in CSV and JSON.
TEST_F(SameAnswer, RandomJoinGroupingsAnswerAlikeOverEveryInput) {
  const uint64_t statements =
      environmentNumber("TAVIX_SAME_ANSWER_STATEMENTS", kDefaultStatements) / 2 + 1;
  const uint64_t first_seed = environmentNumber("TAVIX_SAME_ANSWER_SEED", 1);
  const bool show = environmentNumber("TAVIX_SAME_ANSWER_SHOW", 0) != 0;
  const size_t cpus = CpuLimit::available();
  constexpr uint64_t kSeedsPerTable = 10;
  std::string small, padded8, padded10, dim;
  for (uint64_t i = 0; i < statements; ++i) {
    const uint64_t seed = first_seed + i;
    if (i == 0 || seed % kSeedsPerTable == 0) {
      Rng table_rng(seed / kSeedsPerTable * 7907 + 3);
      const std::string table = generateTable(table_rng);
      small = write("small.csv", table);
      padded8 = write("padded8.csv", tavix::test::paddedTable(table, 8'388'609));
      padded10 = write("padded10.csv", tavix::test::paddedTable(table, 10'485'761));
      dim = write("dim.csv", generateDim(table_rng));
    }
    Rng rng(seed);
    const std::string sql = randomJoinStatement(rng);
    for (bool json : {false, true}) {
      const std::string expected = answer(json, withSources(sql, small, dim));
      if (show) std::cout << sql << "\n" << expected << "\n";
      SCOPED_TRACE("seed " + std::to_string(seed) + (json ? " json: " : " csv: ") + sql);
      {
        const CpuLimit one(1);
        ASSERT_EQ(answer(json, withSources(sql, padded8, dim)), expected) << "past 8 MiB, one processor";
      }
      if (cpus >= 2) {
        const CpuLimit several(i % 2 == 0 ? cpus : std::min<size_t>(cpus, 3));
        ASSERT_EQ(answer(json, withSources(sql, padded8, dim)), expected) << "past 8 MiB, several processors";
        ASSERT_EQ(answer(json, withSources(sql, padded10, dim)), expected) << "past 10 MiB, several processors";
      }
    }
  }
}

}  // namespace
