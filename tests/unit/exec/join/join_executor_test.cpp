// The join executor under the options the exported functions never set (no
// header row, strict mode, JSON lines, an omitted header, another
// delimiter), and its staging pass.
#include "exec/join/join.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/platform.h"
#include "sql/statement_parser.h"
#include "support/scratch_dir.h"
#include "unit/exec/scan/option_variants.h"

namespace tavix {
namespace {

class JoinExecutorTest : public testing::ScratchDir {
 protected:
  void put(const std::string& name, const std::string& text) { fileWith(name, text); }

  // `sql` with {DIR} replaced by the fixture directory.
  std::string expand(std::string sql) const {
    for (size_t at = sql.find("{DIR}"); at != std::string::npos; at = sql.find("{DIR}"))
      sql.replace(at, 5, path(""));
    return sql;
  }

  // Runs the join (or, with `staged`, the staging pass keeping those names)
  // and returns the output text, or "error: " and the error's name.
  std::string run(const std::string& sql, const QueryOptions& options,
                  const JoinColumnFilter* staged = nullptr) {
    ParsedQuery query;
    if (parseQuery(expand(sql), query) != Error::ok) return "parse error";
    const std::string out_name = "out" + std::to_string(++runs_) + ".txt";
    const platform::File out = createFile(out_name);
    const Error e = staged == nullptr ? runJoinQuery(query, ResultFile{out}, options)
                                      : runJoinStagingQuery(query, ResultFile{out}, options, *staged);
    if (e != Error::ok) return "error: " + std::string(errorName(e));
    return readBack(out_name);
  }

  int runs_ = 0;
};

TEST_F(JoinExecutorTest, OptionsShapeTheAnswer) {
  put("a.csv", "1,Ann,x\n2,Bob,abc\n3,Cid,7\n");
  put("b.csv", "1,one\n3,three\n1,uno\n");
  const test::OptionVariants v;
  const std::string join = " FROM '{DIR}a.csv' a JOIN '{DIR}b.csv' b ON a.c1 = b.c1";
  static const struct {
    const char* what;
    const char* select;  // completes the statement with `join`
    const char* tail;
    const QueryOptions test::OptionVariants::*options;
    const char* expected;
  } cases[] = {
      // Both tables' first lines are data, named c1, c2, ... in each table.
      {"headerless star", "SELECT *", "", &test::OptionVariants::headerless,
       "c1,c2,c3,c1,c2\n1,Ann,x,1,one\n1,Ann,x,1,uno\n3,Cid,7,3,three\n"},
      {"generated names repeat in every table", "SELECT c1", "",
       &test::OptionVariants::headerless, "error: AmbiguousColumnReference"},
      {"qualified generated names", "SELECT b.c2, a.c2", "", &test::OptionVariants::headerless,
       "c2,c2\none,Ann\nuno,Ann\nthree,Cid\n"},
      // A field that is no number drops the row, whatever strict says.
      {"strict is not consulted", "SELECT a.c2", " WHERE a.c3 > 5", &test::OptionVariants::strict,
       "c2\nCid\n"},
      {"JSON lines", "SELECT a.c1, b.c2", " LIMIT 2", &test::OptionVariants::lines,
       "{\"c1\":1,\"c2\":\"one\"}\n{\"c1\":1,\"c2\":\"uno\"}\n"},
      {"omitted header", "SELECT b.c2", " ORDER BY b.c2", &test::OptionVariants::bare,
       "one\nthree\nuno\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(run(std::string(c.select) + join + c.tail, v.*(c.options)), c.expected) << c.what;

  put("s.csv", "id;name\n1;Ann\n2;Bob\n");
  put("t.csv", "id;note\n2;a;b\n1;c\n");
  EXPECT_EQ(run("SELECT s.name, t.note FROM '{DIR}s.csv' s JOIN '{DIR}t.csv' t ON s.id = t.id",
                v.semicolon),
            "name;note\nAnn;c\nBob;a\n");
}

TEST_F(JoinExecutorTest, StagingWritesTheNamedColumnsAtLeastTwo) {
  put("a.csv", "id,City,pop\n1,Oslo,5\n2,Rome,\n");
  put("b.csv", "id,amount,note\n1,10,x\n1,11,y\n2,12,z\n");
  const QueryOptions options;
  const std::string sql =
      "SELECT count(*) FROM '{DIR}a.csv' a JOIN '{DIR}b.csv' b ON a.id = b.id WHERE b.amount > 10 "
      "ORDER BY a.pop LIMIT 1";
  const std::map<std::string, std::string> cases = {
      // Only the named columns, in combined order; WHERE applies, the select
      // list, ORDER BY and LIMIT do not.
      {"city amount", "city,amount\nOslo,11\nRome,12\n"},
      // Never fewer than two: the first columns not named make up the count,
      // so no staged record is an empty line even when its value is empty.
      {"pop", "id,pop\n1,5\n2,\n"},
      {"", "id,city\n1,Oslo\n2,Rome\n"},
      {"id", "id,id\n1,1\n2,2\n"},
  };
  for (const auto& [names, expected] : cases) {
    const JoinColumnFilter keep = [&](std::string_view name) {
      return !name.empty() && (" " + names + " ").find(" " + std::string(name) + " ") != std::string::npos;
    };
    EXPECT_EQ(run(sql, options, &keep), expected) << names;
  }

  // More columns than the aggregating executors read cannot be staged.
  std::string wide = "k";
  for (int i = 1; i < 300; ++i) wide += ",w" + std::to_string(i);
  put("wide.csv", wide + "\n1\n");
  const JoinColumnFilter all = [](std::string_view) { return true; };
  EXPECT_EQ(run("SELECT * FROM '{DIR}a.csv' a JOIN '{DIR}wide.csv' w ON a.id = w.k", options, &all),
            "error: TooManyColumns");
}

}  // namespace
}  // namespace tavix
