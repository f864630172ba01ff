// The join over a FROM file of 8 MiB and more, probed by worker threads:
// at every thread count it answers exactly as one thread does, wherever the
// cuts between the workers' ranges fall (inside quoted fields holding line
// ends, before a last record without a line end), whatever the header
// record holds, and it fails as one thread fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "exec/join/join.h"
#include "exec/join/parallel_join.h"
#include "platform/platform.h"
#include "sql/statement_parser.h"
#include "support/scratch_dir.h"
#include "support/thread_sweep.h"

namespace tavix {
namespace {

using testing::visibleBytes;

const std::vector<uint64_t> kThreadCounts = test::threadSweep({2, 8, 17}, {3, 64, 1024, 5000});

struct Outcome {
  Error error = Error::ok;
  std::string text;
};

class ParallelJoinTest : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    fileWith("dim.csv", "cat,label\na,Alpha\nb,Beta\n,Blank\na,Again\n");
  }

  // Puts `from` into a new FROM file and returns its name.
  std::string fromFile(const std::string& from) {
    const std::string name = "from" + std::to_string(serial_++) + ".csv";
    fileWith(name, from);
    return name;
  }

  // Runs `sql` ({F} the FROM file `from_name`, {D} the dimension table) as
  // a join, or as the staging pass keeping `staged` columns.
  Outcome runOn(const std::string& from_name, std::string sql, uint64_t threads,
                const JoinColumnFilter* staged = nullptr) {
    const std::string out_name = "out" + std::to_string(serial_++) + ".txt";
    for (size_t at = sql.find("{F}"); at != std::string::npos; at = sql.find("{F}"))
      sql.replace(at, 3, path(from_name));
    for (size_t at = sql.find("{D}"); at != std::string::npos; at = sql.find("{D}"))
      sql.replace(at, 3, path("dim.csv"));
    ParsedQuery query;
    Outcome o;
    o.error = parseQuery(sql, query);
    if (o.error != Error::ok) return o;
    QueryOptions options;
    options.thread_count = threads;
    const platform::File out = createFile(out_name);
    o.error = staged == nullptr ? runJoinQuery(query, ResultFile{out}, options)
                                : runJoinStagingQuery(query, ResultFile{out}, options, *staged);
    o.text = readBack(out_name);
    std::filesystem::remove(path(out_name));
    return o;
  }

  Outcome run(const std::string& from, const std::string& sql, uint64_t threads) {
    const std::string name = fromFile(from);
    Outcome o = runOn(name, sql, threads);
    std::filesystem::remove(path(name));
    return o;
  }

  // Every thread count answers `sql` over `from` as one thread does.
  void expectSameAnswers(const std::string& from, const std::string& sql, const char* what,
                         const JoinColumnFilter* staged = nullptr) {
    ASSERT_GE(from.size(), kParallelJoinMinBytes) << what;
    const std::string name = fromFile(from);
    const Outcome one = runOn(name, sql, 1, staged);
    ASSERT_EQ(one.error, Error::ok) << what;
    for (uint64_t threads : kThreadCounts) {
      const Outcome many = runOn(name, sql, threads, staged);
      EXPECT_EQ(many.error, Error::ok) << what << ", threads " << threads;
      EXPECT_TRUE(many.text == one.text) << what << ", threads " << threads << ": "
                                         << many.text.size() << " bytes, " << one.text.size()
                                         << " from one thread";
    }
    std::filesystem::remove(path(name));
  }

 private:
  int serial_ = 0;
};

// Rows "id,cat,note" until the body holds `bytes`: cats a, b, c and the
// empty key in turn; every `quoted_every`-th note a quoted field whose line
// ends are followed by text that reads like records ("9,a,fake"), so cuts at
// line ends often fall inside a record; some rows end in CRLF, some hold
// doubled quotes, some lack their key field.
std::string fromRows(const std::string& header, uint64_t bytes, int quoted_every) {
  std::string s = header;
  s.reserve(bytes + 256);
  for (uint64_t i = 1; s.size() < bytes; ++i) {
    s += std::to_string(i);
    if (i % 29 == 0) {  // no key field: probes the empty key
      s += "\n";
      continue;
    }
    s += ",";
    if (i % 4 != 3) s += "abc"[i % 4];
    s += ",";
    if (quoted_every > 0 && i % quoted_every == 0) {
      s += "\"n " + std::to_string(i) + "\n9,a,fake\n\"\"x\"\", \n10,b\"";
    } else if (i % 11 == 0) {
      s += "\"say \"\"hi\"\"\"";
    } else {
      s += "n" + std::to_string(i % 97);
    }
    s += i % 13 == 0 ? "\r\n" : "\n";
  }
  return s;
}

TEST_F(ParallelJoinTest, AnswersAsOneThreadWhereverTheCutsFall) {
  static const struct {
    const char* what;
    int quoted_every;  // 0: no quoted line ends
    const char* sql;
  } cases[] = {
      {"plain rows", 0, "SELECT f.id, d.label, f.note FROM '{F}' f JOIN '{D}' d ON f.cat = d.cat"},
      {"most records hold quoted line ends", 2,
       "SELECT f.id, d.label, f.note FROM '{F}' f JOIN '{D}' d ON f.cat = d.cat"},
      {"some records hold quoted line ends", 7, "SELECT * FROM '{F}' f JOIN '{D}' d ON f.cat = d.cat"},
      {"single-leaf WHERE", 5,
       "SELECT f.note, d.label FROM '{F}' f JOIN '{D}' d ON f.cat = d.cat WHERE f.id > 70000"},
      {"WHERE tree over both tables", 3,
       "SELECT f.id FROM '{F}' f JOIN '{D}' d ON f.cat = d.cat WHERE d.label = 'Beta' OR f.note LIKE "
       "'%fake%'"},
      {"two joins", 4,
       "SELECT f.id, e.label FROM '{F}' f JOIN '{D}' d ON f.cat = d.cat JOIN '{D}' e ON d.cat = "
       "e.cat"},
  };
  for (const auto& c : cases) {
    const std::string from = fromRows("id,cat,note\n", kParallelJoinMinBytes + 4096, c.quoted_every);
    expectSameAnswers(from, c.sql, c.what);
  }
}

TEST_F(ParallelJoinTest, StagingPassAnswersAsOneThread) {
  const std::string from = fromRows("id,cat,note\n", kParallelJoinMinBytes + 100, 3);
  const JoinColumnFilter staged = [](std::string_view name) { return name == "label" || name == "note"; };
  expectSameAnswers(from, "SELECT * FROM '{F}' f JOIN '{D}' d ON f.cat = d.cat", "staging", &staged);
}

// The data starts after the header record as the reader finds it: past a
// byte-order mark, and past a quoted header field holding line ends (whose
// second line reads like a record).
TEST_F(ParallelJoinTest, DataStartsAfterTheWholeHeaderRecord) {
  static const struct {
    const char* what;
    const char* header;
  } cases[] = {
      {"byte-order mark", "\xEF\xBB\xBFid,cat,note\n"},
      {"quoted header field holding line ends", "id,cat,\"note\n1,a,not a record\n\"\n"},
      {"CRLF header", "id,cat,note\r\n"},
  };
  for (const auto& c : cases) {
    const std::string from = fromRows(c.header, kParallelJoinMinBytes + 10, 9);
    const std::string sql = "SELECT f.id, d.label FROM '{F}' f JOIN '{D}' d ON f.cat = d.cat";
    expectSameAnswers(from, sql, c.what);
    const Outcome one = run(from, sql, 1);
    EXPECT_EQ(one.text.substr(0, 9), "id,label\n") << c.what;
    EXPECT_EQ(one.text.find("not a record"), std::string::npos) << c.what;
  }
}

// A last record without a line end, longer than one positioned read, lies
// across the last cuts; an empty range (the whole body in one record but
// for its start) writes nothing.
TEST_F(ParallelJoinTest, LongLastRecordWithoutLineEnd) {
  std::string from = fromRows("id,cat,note\n", 1u << 20, 0);
  from += "0,a,\"" + std::string(kParallelJoinMinBytes, 'x') + "\nend\"\r";
  expectSameAnswers(from, "SELECT f.id, d.label FROM '{F}' f JOIN '{D}' d ON f.cat = d.cat",
                    "long last record");
  const Outcome one = run(from, "SELECT f.note FROM '{F}' f JOIN '{D}' d ON f.cat = d.cat WHERE f.id = 0", 1);
  // Category a has two partners.
  const std::string row = "\"" + std::string(kParallelJoinMinBytes, 'x') + "\nend\"\n";
  EXPECT_TRUE(one.text == "note\n" + row + row)
      << visibleBytes(one.text.substr(0, 16)) << " ... " << visibleBytes(one.text.substr(one.text.size() - 8));
}

// A record of more than 256 fields fails the statement at every thread
// count, wherever it lies, as it fails one thread; so does a worker that
// cannot create its scratch file.
TEST_F(ParallelJoinTest, FailsAsOneThreadFails) {
  const std::string sql = "SELECT f.id, d.label FROM '{F}' f JOIN '{D}' d ON f.cat = d.cat";
  std::string wide = "1,a";
  for (int i = 0; i < 255; ++i) wide += ",x";
  wide += "\n";
  const std::string body = fromRows("id,cat,note\n", kParallelJoinMinBytes + 10, 0);
  for (double at : {0.0, 0.3, 0.99}) {
    std::string from = body;
    const size_t line = from.find('\n', 12 + static_cast<size_t>(at * (body.size() - 100)));
    from.insert(line + 1, wide);
    const std::string name = fromFile(from);
    for (uint64_t threads : {uint64_t{1}, uint64_t{2}, uint64_t{8}}) {
      EXPECT_EQ(runOn(name, sql, threads).error, Error::TooManyColumns) << at << ", threads " << threads;
    }
  }
  // 256 fields are within the limit.
  std::string from = body;
  from.insert(from.find('\n', body.size() / 2) + 1, wide.substr(2));
  expectSameAnswers(from, sql, "256 fields");

  const char* old = std::getenv("TEMP");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  setenv("TEMP", path("missing-dir").c_str(), 1);
  const std::string name = fromFile(body);
  const Outcome one = runOn(name, sql, 1);
  const Outcome many = runOn(name, sql, 4);
  if (saved) setenv("TEMP", saved->c_str(), 1); else unsetenv("TEMP");
  EXPECT_EQ(one.error, Error::ok);
  EXPECT_NE(many.error, Error::ok);
}

}  // namespace
}  // namespace tavix
