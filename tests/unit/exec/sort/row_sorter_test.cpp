#include "exec/sort/row_sorter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace tavix {
namespace {

// Sort values with their records; each record's row text is its input
// position, so an order can be read back as a list of ids.
class Records {
 public:
  explicit Records(std::vector<std::string> values) : values_(std::move(values)) {
    for (size_t i = 0; i < values_.size(); ++i) ids_.push_back(std::to_string(i));
    for (size_t i = 0; i < values_.size(); ++i) {
      records_.push_back(makeSortKeyRecord(values_[i], ids_[i]));
    }
  }
  Records(const Records&) = delete;
  Records& operator=(const Records&) = delete;

  SortKeyRecord* data() { return records_.data(); }
  uint64_t size() const { return records_.size(); }
  const std::vector<SortKeyRecord>& records() const { return records_; }

  static std::vector<size_t> idsOf(const SortKeyRecord* records, uint64_t count) {
    std::vector<size_t> ids;
    for (uint64_t i = 0; i < count; ++i) ids.push_back(std::stoul(std::string(records[i].row_text)));
    return ids;
  }
  std::vector<size_t> ids(uint64_t count) const { return idsOf(records_.data(), count); }

  // The expected order, by std::stable_sort with the same rule; meaningful
  // only for columns on which the rule is a strict weak order (all numbers,
  // or all texts).
  std::vector<size_t> referenceIds(bool descending, uint64_t count) const {
    std::vector<SortKeyRecord> copy = records_;
    std::stable_sort(copy.begin(), copy.end(), [descending](const SortKeyRecord& a, const SortKeyRecord& b) {
      return sortKeyRecordLessThan(a, b, descending);
    });
    return idsOf(copy.data(), count);
  }

 private:
  std::vector<std::string> values_;
  std::vector<std::string> ids_;
  std::vector<SortKeyRecord> records_;
};

enum class Column { numbers, texts, numbers_and_one_text, mixed };

// Few distinct values so that ties, and their order, matter.
std::vector<std::string> makeColumn(Column kind, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  static const char* const kNumbers[] = {"0",  "-0",  "1",  "-1",   "2.5", "1e3", "1000", "-7",
                                         "inf", "-inf", "0x10", "16", "1e-300", "99", "-99.5"};
  static const char* const kMixed[] = {"9",  "10", "1a", "9a", "-5", "abc", "",    "nan",
                                       "1e3", "0x10", "10", "Z", "-",  "1.5", " 2", "inf"};
  std::vector<std::string> column;
  for (size_t i = 0; i < n; ++i) {
    switch (kind) {
      case Column::numbers:
      case Column::numbers_and_one_text:
        if (rng() % 3 == 0) {
          column.push_back(kNumbers[rng() % std::size(kNumbers)]);
        } else {
          column.push_back(std::to_string(static_cast<int>(rng() % 2000) - 1000));
        }
        break;
      case Column::texts:
        // Dates share their first eight bytes, so their order keys tie.
        column.push_back("2024-0" + std::to_string(1 + rng() % 2) + "-" + std::to_string(10 + rng() % 20) +
                         (rng() % 4 == 0 ? "x" : ""));
        break;
      case Column::mixed:
        column.push_back(rng() % 2 ? std::string(kMixed[rng() % std::size(kMixed)])
                                   : std::to_string(rng() % 30));
        break;
    }
  }
  // Every digit, sign and point sorts before 'z' as text, so one text in a
  // numeric column keeps the rule a strict weak order.
  if (kind == Column::numbers_and_one_text && n > 0) column[n / 2] = "zzz";
  return column;
}

TEST(SortKeyRecords, EveryPathGivesTheReferenceOrder) {
  static const struct {
    const char* name;
    size_t n;
    Column column;
    std::optional<uint64_t> limit;
    uint64_t kept;
  } cases[] = {
      {"empty", 0, Column::numbers, std::nullopt, 0},
      {"empty with a limit", 0, Column::numbers, 5, 0},
      {"limit 0 over 8 (heap of k 0)", 8, Column::numbers, 0, 0},
      {"limit 0 over 3", 3, Column::numbers, 0, 0},
      {"limit 2 over 11", 11, Column::numbers, 2, 2},
      {"limit 2 over 12 (heap)", 12, Column::texts, 2, 2},
      {"limit above n", 10, Column::texts, 50, 10},
      {"limit 1024 over 4100 (heap)", 4100, Column::numbers, 1024, 1024},
      {"limit 1024 over 4100 texts (heap)", 4100, Column::texts, 1024, 1024},
      {"limit 1025 over 4100", 4100, Column::numbers, 1025, 1025},
      {"16383 numbers", 16383, Column::numbers, std::nullopt, 16383},
      {"16384 numbers (radix)", 16384, Column::numbers, std::nullopt, 16384},
      {"16384 numbers and one text", 16384, Column::numbers_and_one_text, std::nullopt, 16384},
      {"20000 numbers, limit 5000 (radix)", 20000, Column::numbers, 5000, 5000},
      {"20000 texts, limit 7 (heap)", 20000, Column::texts, 7, 7},
      {"20000 numbers, limit 7 (heap)", 20000, Column::numbers, 7, 7},
  };
  for (const auto& c : cases) {
    for (bool descending : {false, true}) {
      Records records(makeColumn(c.column, c.n, static_cast<uint32_t>(c.n)));
      const std::vector<size_t> expected = records.referenceIds(descending, c.kept);
      uint64_t kept = 99;
      ASSERT_EQ(sortKeyRecords(records.data(), records.size(), descending, c.limit, kept), Error::ok) << c.name;
      ASSERT_EQ(kept, c.kept) << c.name;
      EXPECT_EQ(records.ids(kept), expected) << c.name << (descending ? ", descending" : ", ascending");
    }
  }
}

TEST(SortKeyRecords, TopNOrdersByTheWholeValueNotItsEightBytePrefix) {
  const std::vector<std::string> dates = {
      "2024-01-15", "2024-01-09", "2024-01-03", "2024-01-28", "2024-01-10", "2024-01-03",
      "2024-01-31", "2024-01-20", "2024-01-31", "2024-01-01", "2024-01-11", "2024-01-05",
      "2024-01-22", "2024-01-17", "2024-01-01", "2024-01-30"};
  static const struct {
    bool descending;
    uint64_t limit;
    std::vector<size_t> expected;
  } cases[] = {
      {false, 1, {9}},
      {false, 3, {9, 14, 2}},
      {true, 1, {6}},
      {true, 3, {6, 8, 15}},
  };
  for (const auto& c : cases) {
    Records records(dates);
    uint64_t kept = 0;
    ASSERT_EQ(sortKeyRecords(records.data(), records.size(), c.descending, c.limit, kept), Error::ok);
    EXPECT_EQ(records.ids(kept), c.expected) << "limit " << c.limit << (c.descending ? " desc" : " asc");
  }
}

TEST(SortKeyRecords, TopNKeepsTheFirstOfEqualValues) {
  static const struct {
    std::vector<std::string> values;
    bool descending;
    uint64_t limit;
    std::vector<size_t> expected;
  } cases[] = {
      {{"2", "1", "1", "1", "1", "1", "1", "1"}, false, 1, {1}},
      {{"1", "2", "2", "2", "2", "2", "2", "2"}, true, 1, {1}},
      {{"5", "3", "3", "9", "3", "3", "1", "3", "3", "3", "3", "3"}, false, 2, {6, 1}},
      {{"5", "3", "3", "9", "3", "3", "1", "3", "3", "3", "3", "3"}, true, 2, {3, 0}},
      {{"b", "a", "a", "a", "a", "a", "a", "a"}, false, 1, {1}},
      {{"5", "0", "-0", "7", "-0", "0", "9", "9", "9", "9", "9", "9", "9", "9", "9", "9", "9", "9", "9", "9"},
       false,
       4,
       {1, 2, 4, 5}},
  };
  for (const auto& c : cases) {
    Records records(c.values);
    uint64_t kept = 0;
    ASSERT_EQ(sortKeyRecords(records.data(), records.size(), c.descending, c.limit, kept), Error::ok);
    EXPECT_EQ(records.ids(kept), c.expected) << "first value " << c.values[0] << ", limit " << c.limit;
  }
}

TEST(SortKeyRecords, RadixAgreesWithTheComparisonSort) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    for (bool descending : {false, true}) {
      const size_t n = 16384 + seed * 5000;
      Records radix(makeColumn(Column::numbers, n, seed));
      std::vector<SortKeyRecord> merged = radix.records();
      uint64_t kept = 0;
      ASSERT_EQ(sortKeyRecords(radix.data(), radix.size(), descending, std::nullopt, kept), Error::ok);
      sortSortKeyRecords(merged.data(), merged.size(), descending);
      ASSERT_EQ(radix.ids(kept), Records::idsOf(merged.data(), merged.size()))
          << "seed " << seed << (descending ? " desc" : " asc");
    }
  }
}

TEST(SortKeyRecords, EqualValuesStayInInputOrder) {
  for (const char* value : {"42", "-0", "same text"}) {
    for (bool descending : {false, true}) {
      Records records(std::vector<std::string>(20000, value));
      uint64_t kept = 0;
      ASSERT_EQ(sortKeyRecords(records.data(), records.size(), descending, std::nullopt, kept), Error::ok);
      const std::vector<size_t> ids = records.ids(kept);
      for (size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(ids[i], i) << value;
    }
  }
}

// The parallel executor's workers each keep a heap over their chunk; the
// executor appends the heaps in chunk order and sorts once more. The result
// must be exactly what one sort over the whole input gives, ties included.
TEST(TopNHeap, PerWorkerHeapsMergedInChunkOrderMatchTheFullSort) {
  for (Column column : {Column::numbers, Column::texts}) {
    for (bool descending : {false, true}) {
      for (uint64_t limit : {0, 1, 5, 100, 1024}) {
        for (size_t chunks : {1, 3, 8}) {
          Records records(makeColumn(column, 5000, static_cast<uint32_t>(limit + chunks)));
          const std::vector<size_t> expected = records.referenceIds(descending, limit);
          std::vector<TopNHeap> heaps(chunks);
          const size_t per_chunk = (records.size() + chunks - 1) / chunks;
          for (size_t c = 0; c < chunks; ++c) {
            ASSERT_EQ(heaps[c].init(limit, descending), Error::ok);
            for (size_t i = c * per_chunk; i < std::min<size_t>(records.size(), (c + 1) * per_chunk); ++i) {
              offerToTopNHeap(heaps[c], records.records()[i]);
            }
          }
          std::vector<SortKeyRecord> merged(chunks * limit);
          uint64_t n = 0;
          for (TopNHeap& heap : heaps) n += heap.takeInInputOrder(merged.data() + n);
          uint64_t kept = 0;
          ASSERT_EQ(sortKeyRecords(merged.data(), n, descending, limit, kept), Error::ok);
          EXPECT_EQ(Records::idsOf(merged.data(), kept), expected)
              << "limit " << limit << ", " << chunks << " chunks" << (descending ? ", desc" : ", asc");
        }
      }
    }
  }
}

// A worker skips every record `wouldAdmit` turns away. The heap must end up
// holding exactly the records a heap offered everything holds, on columns
// with many ties and on the mixed column, where the rule is not transitive
// and any wrong answer on a tie changes which records stay.
TEST(TopNHeap, SkippingRecordsThatWouldNotBeAdmittedKeepsTheSameRecords) {
  for (Column column : {Column::numbers, Column::texts, Column::numbers_and_one_text, Column::mixed}) {
    for (bool descending : {false, true}) {
      for (uint64_t limit : {0, 1, 2, 7, 64}) {
        for (uint32_t seed : {1u, 2u, 3u}) {
          Records records(makeColumn(column, 3000, seed * 131 + static_cast<uint32_t>(limit)));
          TopNHeap offered_all;
          TopNHeap filtered;
          ASSERT_EQ(offered_all.init(limit, descending), Error::ok);
          ASSERT_EQ(filtered.init(limit, descending), Error::ok);
          uint64_t turned_away = 0;
          for (const SortKeyRecord& r : records.records()) {
            offered_all.offer(r);
            if (filtered.wouldAdmit(r.number, r.key_text)) {
              filtered.offer(r);
            } else {
              ++turned_away;
            }
          }
          const std::string where = "column " + std::to_string(static_cast<int>(column)) + ", limit " +
                                    std::to_string(limit) + ", seed " + std::to_string(seed) +
                                    (descending ? ", desc" : ", asc");
          // Far more records than the limit: most must be turned away.
          EXPECT_GT(turned_away, records.size() / 2) << where;
          std::vector<SortKeyRecord> all_out(limit);
          std::vector<SortKeyRecord> filtered_out(limit);
          const uint64_t n_all = offered_all.takeInInputOrder(all_out.data());
          const uint64_t n_filtered = filtered.takeInInputOrder(filtered_out.data());
          EXPECT_EQ(Records::idsOf(filtered_out.data(), n_filtered), Records::idsOf(all_out.data(), n_all))
              << where;
        }
      }
    }
  }
}

// The answer against a full heap of one record, value by value: strictly
// better values only; an equal value (also -0 against 0) comes later and
// loses; a text against a number compares as text.
TEST(TopNHeap, WouldAdmitOnlyWhatOrdersStrictlyBeforeTheWorstHeld) {
  static const struct {
    const char* held;
    const char* candidate;
    bool ascending_admits;
    bool descending_admits;
  } cases[] = {
      {"5", "5", false, false},       {"5", "5.0", false, false},   {"0", "-0", false, false},
      {"5", "4", true, false},        {"5", "6", false, true},      {"10", "9", true, false},
      {"10", "1a", false, true},      {"1a", "9", false, true},     {"abc", "abc", false, false},
      {"abc", "abd", false, true},    {"abc", "ab", true, false},   {"", "", false, false},
      {"", "x", false, true},         {"nan", "nan", false, false}, {"-inf", "inf", false, true},
      {"2024-01-10", "2024-01-10x", false, true},
  };
  for (const auto& c : cases) {
    for (bool descending : {false, true}) {
      TopNHeap heap;
      ASSERT_EQ(heap.init(1, descending), Error::ok);
      const FieldSlice held(c.held);
      const FieldSlice candidate(c.candidate);
      EXPECT_TRUE(heap.wouldAdmit(readSortNumber(held), held)) << "empty heap, " << c.held;
      heap.offer(makeSortKeyRecord(held, "held"));
      EXPECT_EQ(heap.wouldAdmit(readSortNumber(candidate), candidate),
                descending ? c.descending_admits : c.ascending_admits)
          << "held '" << c.held << "', candidate '" << c.candidate << "'" << (descending ? ", desc" : ", asc");
    }
  }
  TopNHeap empty;
  ASSERT_EQ(empty.init(0, false), Error::ok);
  EXPECT_FALSE(empty.wouldAdmit(1, "1")) << "k 0 admits nothing";
}

TEST(TopNHeap, IsBoundedToTheSortersLimit) {
  Records records(makeColumn(Column::numbers, 3000, 9));
  TopNHeap heap;
  EXPECT_EQ(heap.init(kTopNMaxRows + 1, false), Error::InvalidArgument);
  for (const SortKeyRecord& r : records.records()) heap.offer(r);
  EXPECT_EQ(heap.size(), 0u);
  ASSERT_EQ(heap.init(kTopNMaxRows, false), Error::ok);
  for (const SortKeyRecord& r : records.records()) heap.offer(r);
  EXPECT_EQ(heap.size(), kTopNMaxRows);
  std::vector<SortKeyRecord> out(kTopNMaxRows);
  EXPECT_EQ(heap.takeSorted(out.data()), kTopNMaxRows);
  EXPECT_EQ(Records::idsOf(out.data(), kTopNMaxRows), records.referenceIds(false, kTopNMaxRows));
}

TEST(SortWindow, LimitAndOffsetAddIn64Bits) {
  const int32_t kMax = std::numeric_limits<int32_t>::max();
  static const struct {
    int32_t limit;
    int32_t offset;
    std::optional<uint64_t> sort_limit;
  } limits[] = {
      {-1, 0, std::nullopt},
      {-1, 7, std::nullopt},
      {0, 0, 0},
      {2, 3, 5},
      {kMax, 5, 2147483652ull},
      {kMax, kMax, 4294967294ull},
  };
  for (const auto& c : limits) {
    EXPECT_EQ(computeSortLimit(c.limit, c.offset), c.sort_limit) << "LIMIT " << c.limit << " OFFSET " << c.offset;
  }
  static const struct {
    uint64_t kept;
    int32_t limit;
    int32_t offset;
    uint64_t start;
    uint64_t end;
  } windows[] = {
      {10, -1, 0, 0, 10}, {10, -1, 3, 3, 10}, {10, 2, 3, 3, 5},  {3, 2, 5, 3, 3},
      {5, 2, 2, 2, 4},    {10, 0, 4, 4, 4},   {10, kMax, 5, 5, 10}, {10, 4, -1, 0, 4},
  };
  for (const auto& c : windows) {
    const SortWindow w = computeSortWindow(c.kept, c.limit, c.offset);
    EXPECT_EQ(w.start, c.start) << "kept " << c.kept << " LIMIT " << c.limit << " OFFSET " << c.offset;
    EXPECT_EQ(w.end, c.end) << "kept " << c.kept << " LIMIT " << c.limit << " OFFSET " << c.offset;
  }

  // LIMIT 2147483647 OFFSET 5 through the sorter: every row is kept.
  Records records(makeColumn(Column::numbers, 10, 3));
  uint64_t kept = 0;
  ASSERT_EQ(sortKeyRecords(records.data(), records.size(), false, computeSortLimit(kMax, 5), kept), Error::ok);
  EXPECT_EQ(kept, 10u);
  const SortWindow w = computeSortWindow(kept, kMax, 5);
  EXPECT_EQ(w.start, 5u);
  EXPECT_EQ(w.end, 10u);
}

TEST(SortKeyRecordFromPending, ViewsAtOffsetsOrAtAddresses) {
  const std::string buffer = "12abc,def";
  const PendingSortEntry by_offset{12.0, {0, 2}, {2, 7}};
  const SortKeyRecord a = sortKeyRecordFromPending(by_offset, buffer.data());
  EXPECT_EQ(a.key_text, "12");
  EXPECT_EQ(a.row_text, "abc,def");
  EXPECT_EQ(a.number, 12.0);
  EXPECT_EQ(a.order_key, makeOrderKey(12.0, "12"));

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const PendingSortEntry by_address{nan,
                                    {reinterpret_cast<uintptr_t>(buffer.data() + 2), 3},
                                    {reinterpret_cast<uintptr_t>(buffer.data()), 0}};
  const SortKeyRecord b = sortKeyRecordFromPending(by_address, nullptr);
  EXPECT_EQ(b.key_text, "abc");
  EXPECT_EQ(b.row_text, "");
  EXPECT_EQ(b.order_key, makeOrderKey(nan, "abc"));
}

TEST(CutLineField, QuotedAndPlainFields) {
  static const struct {
    const char* line;
    uint64_t column;
    char delimiter;
    const char* expected;
  } cases[] = {
      {"\"a,b\",c", 0, ',', "a,b"},
      {"\"a,b\",c", 1, ',', "c"},
      {"\"x\"\"y\",z", 0, ',', "x\"\"y"},  // doubled quotes stay raw
      {"\"x\"\"y\",z", 1, ',', "z"},
      {"\"ab\"c,d", 0, ',', "ab"},
      {"\"ab\"c,d", 1, ',', ""},  // the closing quote is not followed by the delimiter
      {"\"open,x", 0, ',', "open,x"},
      {"\"open,x", 1, ',', ""},
      {"\"\",x", 0, ',', ""},
      {"\"\",x", 1, ',', "x"},
      {"a,\"b\"", 1, ',', "b"},
      {"", 0, ',', ""},
      {"", 1, ',', ""},
      {"a,b,", 2, ',', ""},
      {"a,b,", 3, ',', ""},
      {",,x", 2, ',', "x"},
      {"a;b", 1, ';', "b"},
      {"a;b", 0, ',', "a;b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cutLineField(c.line, c.column, c.delimiter), c.expected)
        << "line [" << c.line << "] field " << c.column;
  }
}

TEST(SortLinesByOrderKeys, KeysCutFromTheCsvLine) {
  static const struct {
    const char* name;
    std::vector<std::string> lines;
    std::vector<SortKey> keys;
    std::vector<size_t> expected;
  } cases[] = {
      {"descending then ascending", {"1,x", "2,y", "2,a"}, {{0, true}, {1, false}}, {2, 1, 0}},
      {"numbers by value", {"10,a", "9,a", "9.5,a"}, {{0, false}, {1, false}}, {1, 2, 0}},
      {"quoted value holding the delimiter", {"1,\"b,2\",z", "2,\"b,1\",y", "3,a,x"}, {{1, false}, {2, false}}, {2, 1, 0}},
      {"field after a quoted field", {"\"q,1\",b", "\"q,2\",a"}, {{1, false}}, {1, 0}},
      {"missing field reads empty", {"a,1", "b", "c,0"}, {{1, false}}, {1, 2, 0}},
      {"ties keep input order", {"1,b", "1,a", "1,b", "1,a"}, {{0, false}}, {0, 1, 2, 3}},
      {"no keys", {"3", "1", "2"}, {}, {0, 1, 2}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> ids;
    for (size_t i = 0; i < c.lines.size(); ++i) ids.push_back(std::to_string(i));
    std::vector<SortKeyRecord> records;
    for (size_t i = 0; i < c.lines.size(); ++i) {
      // key_text carries the id here; the line comparator reads only row_text.
      records.push_back(SortKeyRecord{0, 0, ids[i], c.lines[i]});
    }
    const MultiKeySortContext context{c.keys.data(), c.keys.size(), ','};
    sortLinesByOrderKeys(records.data(), records.size(), context);
    std::vector<size_t> order;
    for (const SortKeyRecord& r : records) order.push_back(std::stoul(std::string(r.key_text)));
    EXPECT_EQ(order, c.expected) << c.name;
  }
}

// On a column mixing numbers and texts the rule has no consistent order.
// Every sort must still stay inside its array (checked by the sanitizer
// build) and return each input row exactly once.
TEST(MixedColumn, EverySortStaysSafeOnAnIntransitiveColumn) {
  auto expectPermutation = [](std::vector<size_t> ids, size_t n, const char* what) {
    std::sort(ids.begin(), ids.end());
    ASSERT_EQ(ids.size(), n) << what;
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(ids[i], i) << what;
  };
  auto expectDistinct = [](std::vector<size_t> ids, size_t n, const char* what) {
    std::sort(ids.begin(), ids.end());
    EXPECT_TRUE(std::adjacent_find(ids.begin(), ids.end()) == ids.end()) << what;
    for (size_t id : ids) ASSERT_LT(id, n) << what;
  };
  for (size_t n : {100, 3000, 20000}) {
    for (bool descending : {false, true}) {
      const std::vector<std::string> column = makeColumn(Column::mixed, n, static_cast<uint32_t>(n));
      {
        Records records(column);
        sortSortKeyRecords(records.data(), records.size(), descending);
        expectPermutation(records.ids(n), n, "sortSortKeyRecords");
      }
      for (std::optional<uint64_t> limit : {std::optional<uint64_t>{}, std::optional<uint64_t>{10},
                                            std::optional<uint64_t>{1024}, std::optional<uint64_t>{n / 2}}) {
        Records records(column);
        uint64_t kept = 0;
        ASSERT_EQ(sortKeyRecords(records.data(), records.size(), descending, limit, kept), Error::ok);
        ASSERT_EQ(kept, limit ? std::min<uint64_t>(*limit, n) : n);
        expectDistinct(records.ids(kept), n, "sortKeyRecords");
        if (!limit) expectPermutation(records.ids(kept), n, "sortKeyRecords without limit");
      }
      {
        std::vector<std::string> lines;
        for (size_t i = 0; i < n; ++i) lines.push_back(column[i] + "," + std::to_string(i % 7));
        std::vector<std::string> ids;
        for (size_t i = 0; i < n; ++i) ids.push_back(std::to_string(i));
        std::vector<SortKeyRecord> records;
        for (size_t i = 0; i < n; ++i) records.push_back(SortKeyRecord{0, 0, ids[i], lines[i]});
        const SortKey keys[] = {{0, descending}, {1, !descending}};
        sortLinesByOrderKeys(records.data(), n, MultiKeySortContext{keys, 2, ','});
        std::vector<size_t> order;
        for (const SortKeyRecord& r : records) order.push_back(std::stoul(std::string(r.key_text)));
        expectPermutation(order, n, "sortLinesByOrderKeys");
      }
      {
        std::vector<std::string> ids;
        for (size_t i = 0; i < n; ++i) ids.push_back(std::to_string(i));
        std::vector<std::vector<FieldSlice>> stored;
        for (size_t i = 0; i < n; ++i) stored.push_back({column[i], ids[i]});
        std::vector<FieldRow> rows;
        for (const auto& r : stored) rows.push_back(FieldRow{r.data(), r.size()});
        const SortKey keys[] = {{0, descending}};
        sortRowsByOrderKeys(rows.data(), rows.size(), keys, 1);
        std::vector<size_t> order;
        for (const FieldRow& r : rows) order.push_back(std::stoul(std::string(r.fields[1])));
        expectPermutation(order, n, "sortRowsByOrderKeys");
      }
    }
  }
}

// Rows of three sort keys for the sorts by several keys. Each record keeps
// its first key in (number, key_text) and the other two in `more_keys`; the
// reference order is std::stable_sort by `orderByRowLessThan` over the
// same values held as field lists, which reads every number afresh.
class MultiKeyRows {
 public:
  MultiKeyRows(Column first, size_t n, uint32_t seed) {
    std::vector<std::string> a = makeColumn(first, n, seed);
    std::vector<std::string> b = makeColumn(Column::texts, n, seed + 1);
    std::mt19937 rng(seed + 2);
    for (size_t i = 0; i < n; ++i) {
      // Few values in the first two keys, so the further keys decide often.
      if (first == Column::numbers) a[i] = std::to_string(static_cast<int>(rng() % 9) - 4);
      b[i] = b[i].substr(0, 9);
      fields_.push_back({a[i], b[i], std::to_string(rng() % 3), std::to_string(i)});
    }
    values_ = {std::move(a), std::move(b)};
    more_.resize(2 * n);
    for (size_t i = 0; i < n; ++i) {
      const std::vector<std::string>& f = fields_[i];
      more_[2 * i] = makeOrderValue(f[1]);
      more_[2 * i + 1] = makeOrderValue(f[2]);
      SortKeyRecord r = makeSortKeyRecord(f[0], f[3]);
      r.more_keys = &more_[2 * i];
      records_.push_back(r);
    }
  }

  std::vector<SortKeyRecord> records() const { return records_; }

  std::vector<size_t> referenceIds(const bool (&descending)[3], uint64_t count) const {
    std::vector<std::vector<FieldSlice>> rows;
    for (const std::vector<std::string>& f : fields_) rows.push_back({f[0], f[1], f[2], f[3]});
    const SortKey keys[] = {{0, descending[0]}, {1, descending[1]}, {2, descending[2]}};
    std::stable_sort(rows.begin(), rows.end(), [&keys](const auto& x, const auto& y) {
      return orderByRowLessThan(keys, 3, x.data(), x.size(), y.data(), y.size());
    });
    std::vector<size_t> ids;
    for (uint64_t i = 0; i < count && i < rows.size(); ++i) ids.push_back(std::stoul(std::string(rows[i][3])));
    return ids;
  }

 private:
  std::vector<std::vector<std::string>> fields_;
  std::vector<std::vector<std::string>> values_;
  std::vector<OrderValue> more_;
  std::vector<SortKeyRecord> records_;
};

// Several keys: the heap (alone, and per worker merged in chunk order), the
// radix sort on a numeric first key with its tied runs sorted by the further
// keys, and the merge sort all give the order of the row comparator.
TEST(SortKeyRecords, SeveralKeysGiveTheRowComparatorsOrderOnEveryPath) {
  static const struct {
    const char* name;
    Column first;
    size_t n;
    std::optional<uint64_t> limit;
  } cases[] = {
      {"merge sort, numbers", Column::numbers, 3000, std::nullopt},
      {"merge sort, texts", Column::texts, 3000, std::nullopt},
      {"radix sort with tied runs", Column::numbers, 20000, std::nullopt},
      {"radix sort cut to a large limit", Column::numbers, 20000, 5000},
      {"heap, numbers", Column::numbers, 5000, 10},
      {"heap, texts", Column::texts, 5000, 1024},
      {"limit above a quarter", Column::texts, 100, 40},
  };
  const bool directions[][3] = {{false, false, false}, {true, false, true}, {false, true, true}};
  for (const auto& c : cases) {
    for (const auto& d : directions) {
      MultiKeyRows rows(c.first, c.n, static_cast<uint32_t>(c.n));
      const RecordOrder order{d[0], std::span<const bool>(d + 1, 2)};
      const std::vector<size_t> expected = rows.referenceIds(d, c.limit.value_or(c.n));
      std::vector<SortKeyRecord> records = rows.records();
      uint64_t kept = 0;
      ASSERT_EQ(sortKeyRecords(records.data(), records.size(), order, c.limit, kept), Error::ok);
      EXPECT_EQ(Records::idsOf(records.data(), kept), expected) << c.name << " " << d[0] << d[1] << d[2];

      if (!c.limit || *c.limit > kTopNMaxRows) continue;
      // Per-worker heaps, skipping what `wouldAdmit` turns away as workers do.
      const size_t chunks = 5;
      std::vector<TopNHeap> heaps(chunks);
      const std::vector<SortKeyRecord> all = rows.records();
      const size_t per_chunk = (all.size() + chunks - 1) / chunks;
      for (size_t w = 0; w < chunks; ++w) {
        ASSERT_EQ(heaps[w].init(*c.limit, order), Error::ok);
        for (size_t i = w * per_chunk; i < std::min(all.size(), (w + 1) * per_chunk); ++i) {
          if (!heaps[w].wouldAdmit(all[i].number, all[i].key_text)) continue;
          if (heaps[w].wouldAdmit(all[i])) heaps[w].admit(all[i]);
        }
      }
      std::vector<SortKeyRecord> merged(chunks * *c.limit);
      uint64_t n = 0;
      for (TopNHeap& heap : heaps) n += heap.takeInInputOrder(merged.data() + n);
      ASSERT_EQ(sortKeyRecords(merged.data(), n, order, c.limit, kept), Error::ok);
      EXPECT_EQ(Records::idsOf(merged.data(), kept), expected) << c.name << " per worker";
    }
  }
}

// A heap hands out each of its k slots once while it fills, and then the
// slot of the record an admitted one replaces, so a caller can keep every
// held record's texts in k buffers.
TEST(TopNHeap, SlotsFollowTheHeldRecords) {
  Records records(makeColumn(Column::numbers, 2000, 7));
  const uint64_t k = 16;
  TopNHeap heap;
  ASSERT_EQ(heap.init(k, true), Error::ok);
  std::vector<size_t> slot_owner(k, SIZE_MAX);
  for (size_t i = 0; i < records.size(); ++i) {
    const SortKeyRecord& r = records.records()[i];
    if (!heap.wouldAdmit(r)) continue;
    const uint64_t slot = heap.nextSlot();
    ASSERT_LT(slot, k);
    if (i < k) EXPECT_EQ(slot, i);
    slot_owner[slot] = i;
    heap.admit(r);
  }
  std::vector<SortKeyRecord> held(k);
  ASSERT_EQ(heap.takeInInputOrder(held.data()), k);
  std::vector<size_t> owners = slot_owner;
  std::sort(owners.begin(), owners.end());
  EXPECT_EQ(Records::idsOf(held.data(), k), owners);
}

}  // namespace
}  // namespace tavix
