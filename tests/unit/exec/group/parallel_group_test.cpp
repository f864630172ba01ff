// The grouping scan on worker threads: the answer of runGroupByQuery at
// every thread count is the one-thread answer; workers keep a bounded
// number of groups to themselves and send the rest to the shared shards;
// the first failing range decides the error.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/error.h"
#include "exec/aggregate/aggregate_input.h"
#include "exec/group/group_by.h"
#include "exec/group/group_keys.h"
#include "exec/aggregate/aggregate_records.h"
#include "engine/expr/row_filter.h"
#include "exec/group/parallel_group.h"
#include "sql/statement_parser.h"
#include "support/scratch_dir.h"
#include "support/thread_sweep.h"

namespace tavix {
namespace {

class ParallelGroupTest : public testing::ScratchDir {
 protected:
  struct Outcome {
    Error error = Error::ok;
    std::string text;
  };

  // Runs `sql` (FROM any name) over `input` with `threads` threads.
  Outcome run(platform::File input, const std::string& sql, uint64_t threads,
              OutputFormat format = OutputFormat::csv) {
    const std::string out_name = "out" + std::to_string(serial_++) + ".txt";
    const platform::File output = createFile(out_name);
    ParsedQuery query;
    Outcome outcome;
    outcome.error = parseQuery(sql, query);
    if (outcome.error != Error::ok) return outcome;
    QueryOptions options;
    options.thread_count = threads;
    options.output_format = format;
    outcome.error = runGroupByQuery(query, ResultFile{output}, options, PreopenedSource{input, true});
    outcome.text = readBack(out_name);
    return outcome;
  }

 private:
  int serial_ = 0;
};

// A body past 10 MiB: `groups` keys in a scrambled order, row after row
// until `bytes`, with quoted keys holding commas, line ends and doubled
// quotes, CRLF ends, empty lines, a second key column and a last record
// without a line end.
std::string groupFile(uint64_t bytes, uint64_t groups) {
  std::string s = "k,c,note,n\n";
  s.reserve(bytes + 256);
  for (uint64_t i = 0; s.size() < bytes; ++i) {
    const uint64_t g = (i * 7919) % groups;
    if (g % 11 == 0) {
      s += "\"k" + std::to_string(g) + ", \"\"q\"\"\nend\"";
    } else {
      s += "k" + std::to_string(g);
    }
    s += "," + std::string(1, "xyz"[g % 3]) + ",";
    s += i % 5 == 0 ? "\"n\nn\"" : "note";
    s += "," + (i % 17 == 0 ? std::string("x") : std::to_string(i % 97));
    s += i % 13 == 0 ? "\r\n" : "\n";
    if (i % 1000 == 0) s += "\n";
  }
  s += "klast,x,end,5";
  return s;
}

// The line of `a` where it first differs from `b`, and that line of `b`.
std::string firstDifference(const std::string& a, const std::string& b) {
  const size_t at = std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first -
                    a.begin();
  const auto line = [at](const std::string& s) {
    const size_t start = s.rfind('\n', at == 0 ? 0 : at - 1);
    const size_t from = start == std::string::npos ? 0 : start + 1;
    return s.substr(from, std::min<size_t>(s.find('\n', at) - from, 200));
  };
  return "at byte " + std::to_string(at) + " got [" + line(a) + "] want [" + line(b) + "]";
}

const std::vector<uint64_t> kThreadCounts = test::threadSweep({2, 3, 5, 8, 17}, {64, 1024});

TEST_F(ParallelGroupTest, WorkersAnswerAsOneThread) {
  static const char* cases[] = {
      "SELECT k FROM t GROUP BY k",
      "SELECT c, k FROM t WHERE c <> 'y' GROUP BY k, c ORDER BY c DESC, k LIMIT 500 OFFSET 3",
      "SELECT substr(k, 1, 3) AS p, c FROM t GROUP BY p, c",
      "SELECT k FROM t WHERE note = 'note' GROUP BY k LIMIT 10 OFFSET 70000",
      // Integer inputs, so that sums are exact whatever the order of the
      // additions.
      "SELECT k, count(*), sum(n), min(n), max(n), avg(n), count(DISTINCT c), median(n), "
      "count(n) FROM t GROUP BY k",
      // Variances are exact whatever the cuts.
      "SELECT k, var_pop(n), var_samp(n), stddev_pop(n), stddev_samp(n) FROM t GROUP BY k",
      "SELECT c, count(*) AS rows, sum(n), count(DISTINCT k) FROM t GROUP BY c "
      "ORDER BY rows DESC",
      // Groups that count rows only: the shards take records in batches.
      "SELECT k, count(*) FROM t GROUP BY k",
      // Expressions over a key and over an aggregate, rendered on several
      // threads.
      "SELECT upper(k), round(avg(n), 1), count(*) AS rows FROM t GROUP BY k",
      "SELECT c, k, count(*) AS rows, count(*) FROM t WHERE note = 'note' GROUP BY k, c "
      "ORDER BY rows DESC, k LIMIT 100",
      // Lists in record order: every key's records lie in several ranges,
      // taken privately by some workers and through the shards by others.
      "SELECT k, group_concat(n, '|'), count(*), median(n) FROM t GROUP BY k",
      "SELECT c, k, group_concat(note), group_concat(n, '') FROM t WHERE n <> '3' "
      "GROUP BY c, k ORDER BY k DESC LIMIT 2000 OFFSET 10",
  };
  // 120,000 groups: every worker of a few meets more than it keeps privately.
  const platform::File input = fileWith("in.csv", groupFile((uint64_t{11} << 20), 120'000));
  for (const char* sql : cases) {
    for (OutputFormat format : {OutputFormat::csv, OutputFormat::json_array, OutputFormat::json_lines}) {
      // JSON for one statement that keeps rows for ORDER BY and one whose
      // rows all go out in group order (rendered on several threads).
      if (format != OutputFormat::csv && sql != cases[1] && sql != cases[4]) continue;
      const Outcome expected = run(input, sql, 1, format);
      ASSERT_OK(expected.error) << sql;
      for (uint64_t threads : kThreadCounts) {
        const Outcome parallel = run(input, sql, threads, format);
        EXPECT_OK(parallel.error) << sql << " threads " << threads;
        // Answers run to megabytes: report where they part, not a diff.
        EXPECT_TRUE(parallel.text == expected.text)
            << sql << " threads " << threads << ": " << firstDifference(parallel.text, expected.text);
      }
    }
  }
}

// The parts of one direct run of the parallel scan.
struct DirectScan {
  ParsedQuery query;
  AggregateInput input;
  std::vector<GroupKeySpec> keys;
  RowFilter filter;

  Error open(platform::File file, const char* sql) {
    TAVIX_TRY(parseQuery(sql, query));
    TAVIX_TRY(openAggregateInput(query, PreopenedSource{file, true}, QueryOptions{}, input));
    TAVIX_TRY(compileGroupKeys(query, input.csv.map, keys));
    return initAggregateFilter(query, input.csv.map, false, filter);
  }

  ParallelGroupScan scan(uint64_t threads) const {
    return ParallelGroupScan{&input, &keys, {}, &filter, 1, ',', threads};
  }
};

// The shards' own tables, to tell a fold into a shard from a private one.
std::set<const GroupTable*> shardTables(GroupShards& shards) {
  std::set<const GroupTable*> tables;
  for (size_t i = 0; i < shards.size(); ++i) tables.insert(&shards[i].table);
  return tables;
}

// Raises `largest` to `size` if `size` is larger, from any thread.
void raiseTo(std::atomic<uint64_t>& largest, uint64_t size) {
  uint64_t seen = largest.load();
  while (size > seen && !largest.compare_exchange_weak(seen, size)) {
  }
}

// Rows "k<n>,<pad>" for n = 0 .. groups - 1, each key once, padded past
// 10 MiB; row `marked` (if any) gets the key `mark`.
std::string distinctKeyFile(uint64_t groups, size_t pad, uint64_t marked_a = UINT64_MAX,
                            uint64_t marked_b = UINT64_MAX) {
  std::string s = "k,pad\n";
  const std::string padding(pad, 'p');
  for (uint64_t n = 0; n < groups; ++n) {
    const std::string key = n == marked_a ? "boomA" : n == marked_b ? "boomB" : "k" + std::to_string(n);
    s += key + "," + padding + "\n";
  }
  return s;
}

TEST_F(ParallelGroupTest, WorkersSwitchToTheShardsPastTheirPrivateLimit) {
  // Two workers over 120,000 distinct keys: each meets 60,000 and keeps
  // the first 50,000.
  const platform::File file = fileWith("keys.csv", distinctKeyFile(120'000, 80));
  DirectScan d;
  ASSERT_OK(d.open(file, "SELECT k FROM t GROUP BY k"));
  GroupShards shards(d.keys, {}, 2);
  EXPECT_EQ(shards.size(), kMinGroupShards);
  const std::set<const GroupTable*> shard_tables = shardTables(shards);
  std::atomic<uint64_t> to_shards{0};
  std::atomic<uint64_t> to_private{0};
  std::atomic<uint64_t> largest_private{0};
  std::atomic<uint64_t> merged{0};
  const ParallelGroupScan scan = d.scan(2);
  ASSERT_OK(runParallelGroupScan(
      scan, shards,
      [&](Group&, const FieldSlice*, size_t, GroupTable& table) {
        if (shard_tables.count(&table) != 0) {
          ++to_shards;
        } else {
          ++to_private;
          raiseTo(largest_private, table.map().size());
        }
        return Error::ok;
      },
      [&](Group&, const Group&, GroupTable&) {
        ++merged;
        return Error::ok;
      }));
  EXPECT_EQ(largest_private.load(), kPrivateGroupLimit);
  EXPECT_EQ(to_private.load(), 2 * kPrivateGroupLimit);
  EXPECT_EQ(to_shards.load(), 120'000 - 2 * kPrivateGroupLimit);
  EXPECT_EQ(merged.load(), 2 * kPrivateGroupLimit);
  EXPECT_EQ(shards.groupCount(), 120'000u);
  // Every shard took a share of the keys.
  for (size_t i = 0; i < shards.size(); ++i) EXPECT_GT(shards[i].table.map().size(), 0u) << i;
}

TEST_F(ParallelGroupTest, RepeatedKeysStayPrivateUpToTheLimitAndNoFurther) {
  // Two workers over 240,000 rows, each key twice in a row: a worker takes
  // its first 50,000 groups privately with both records of each (folded in
  // batches past the first 16,384 groups), then switches at the next new
  // key. A range cut between a key's two rows gives that worker one fewer
  // private record.
  std::string text = "k,pad\n";
  const std::string padding(80, 'p');
  for (uint64_t n = 0; n < 240'000; ++n) text += "k" + std::to_string(n / 2) + "," + padding + "\n";
  const platform::File file = fileWith("pairs.csv", text);
  DirectScan d;
  ASSERT_OK(d.open(file, "SELECT k FROM t GROUP BY k"));
  GroupShards shards(d.keys, {}, 2);
  const std::set<const GroupTable*> shard_tables = shardTables(shards);
  platform::Mutex lock;
  std::map<const GroupTable*, uint64_t> private_records;
  std::atomic<uint64_t> to_shards{0};
  std::atomic<uint64_t> largest_private{0};
  const ParallelGroupScan scan = d.scan(2);
  ASSERT_OK(runParallelGroupScan(
      scan, shards,
      [&](Group&, const FieldSlice*, size_t, GroupTable& table) {
        if (shard_tables.count(&table) != 0) {
          ++to_shards;
          return Error::ok;
        }
        raiseTo(largest_private, table.map().size());
        platform::MutexLock held(lock);
        ++private_records[&table];
        return Error::ok;
      },
      [&](Group&, const Group&, GroupTable&) { return Error::ok; }));
  EXPECT_EQ(largest_private.load(), kPrivateGroupLimit);
  ASSERT_EQ(private_records.size(), 2u);
  uint64_t kept = 0;
  for (const auto& [table, records] : private_records) {
    EXPECT_GE(records, 2 * kPrivateGroupLimit - 1);
    EXPECT_LE(records, 2 * kPrivateGroupLimit);
    kept += records;
  }
  EXPECT_EQ(kept + to_shards.load(), 240'000u);
  EXPECT_EQ(shards.groupCount(), 120'000u);
}

TEST_F(ParallelGroupTest, ShardGroupsComeOutInKeyOrderAtEveryThreadCount) {
  // Keys sharing their first 8 bytes and more, keys that are prefixes of
  // others, the empty key, NUL and high bytes; sizes around the one-thread
  // bound, and more key ranges than a shard holds groups.
  static const struct {
    size_t groups;
    size_t threads;
  } cases[] = {
      {0, 8}, {1, 8}, {300, 8}, {16'383, 8}, {16'384, 8}, {16'384, 1}, {70'000, 3}, {70'000, 8},
      {70'000, 100},
  };
  std::vector<GroupKeySpec> keys(1);
  for (const auto& c : cases) {
    std::vector<std::string> texts;
    for (size_t i = 0; i < c.groups; ++i) {
      const uint64_t n = (i * 7919) % c.groups;  // scrambled
      switch (n % 4) {
        case 0: texts.push_back("shared prefix " + std::to_string(n)); break;
        case 1: texts.push_back(std::to_string(n / 3)); break;
        case 2: texts.push_back(std::string("\xc3\x00", 2) + std::to_string(n)); break;
        default: texts.push_back(std::string(n % 23, 'x') + "\xff" + std::to_string(n)); break;
      }
    }
    if (c.groups != 0) texts[0].clear();
    std::sort(texts.begin(), texts.end());
    texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
    GroupShards shards(keys, {}, 8);
    for (const std::string& t : texts) {
      const uint64_t hash = hashGroupKey(t);
      Group* group = nullptr;
      bool added = false;
      ASSERT_OK(shards.shardOf(hash).table.groupOfKey(t, hash, group, added));
    }
    std::vector<GroupSortEntry<Group>> ordered;
    ASSERT_OK(orderShardGroups(shards, c.threads, ordered));
    ASSERT_EQ(ordered.size(), texts.size()) << c.groups << " groups, " << c.threads << " threads";
    for (size_t i = 0; i < texts.size(); ++i) {
      ASSERT_EQ(ordered[i].key, texts[i]) << i << " of " << c.groups << ", " << c.threads << " threads";
      ASSERT_EQ(ordered[i].group->key, texts[i]);
    }
  }
}

TEST_F(ParallelGroupTest, ShardCountFollowsTheWorkers) {
  std::vector<GroupKeySpec> keys(1);
  EXPECT_EQ(GroupShards(keys, {}, 8).size(), 64u);
  EXPECT_EQ(GroupShards(keys, {}, 64).size(), 64u);
  EXPECT_EQ(GroupShards(keys, {}, 100).size(), 100u);
}

TEST_F(ParallelGroupTest, TheFirstFailingRangeDecides) {
  // Four workers over 140,000 rows of 80 bytes; the marked keys fail the
  // fold with their own error, in the ranges the rows fall into.
  static const struct {
    uint64_t row_a, row_b;  // rows given the keys boomA and boomB
    Error expected;
  } cases[] = {
      {130'000, 40'000, Error::OutOfMemory},               // B in range 1, A in range 3
      {40'000, 130'000, Error::StrictModeNonNumericValue},  // A first
      {10, 70'000, Error::StrictModeNonNumericValue},       // A in the first range
      {UINT64_MAX, 139'999, Error::OutOfMemory},            // the last record only
  };
  int n = 0;
  for (const auto& c : cases) {
    const platform::File file =
        fileWith("fail" + std::to_string(n++) + ".csv", distinctKeyFile(140'000, 80, c.row_a, c.row_b));
    DirectScan d;
    ASSERT_OK(d.open(file, "SELECT k FROM t GROUP BY k"));
    GroupShards shards(d.keys, {}, 4);
    const ParallelGroupScan scan = d.scan(4);
    const Error e = runParallelGroupScan(
        scan, shards,
        [](Group& group, const FieldSlice*, size_t, GroupTable&) {
          if (group.key == "boomA") return Error::StrictModeNonNumericValue;
          if (group.key == "boomB") return Error::OutOfMemory;
          return Error::ok;
        },
        [](Group&, const Group&, GroupTable&) { return Error::ok; });
    EXPECT_EQ(e, c.expected) << c.row_a << " " << c.row_b;
  }
}

}  // namespace
}  // namespace tavix
