#include "exec/aggregate/accumulators.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "support/failing_allocator.h"

namespace tavix {
namespace {

// Compiles a select list over the header "x,t,y" and fills blocks from rows
// given as field texts (a row may be shorter than the header).
class Blocks {
 public:
  explicit Blocks(std::vector<std::string> items) : items_(std::move(items)) {
    map_.assign(names_, 3);
    EXPECT_EQ(compileAggregateSelectList(items_, map_, names_, list_), Error::ok);
    EXPECT_EQ(allocSharedAccumulatorArrays(arena_, list_.specs, shared_), Error::ok);
  }

  GroupAccumulators block() {
    GroupAccumulators b;
    EXPECT_EQ(newGroupAccumulators(arena_, {}, list_.specs.size(), shared_, b), Error::ok);
    return b;
  }

  void add(GroupAccumulators& b, std::initializer_list<const char*> row,
           std::span<ShardedStringSetWriter* const> shared_distinct = {}) {
    add(b, std::vector<FieldSlice>(row.begin(), row.end()), shared_distinct);
  }

  void add(GroupAccumulators& b, const std::vector<FieldSlice>& fields,
           std::span<ShardedStringSetWriter* const> shared_distinct = {}) {
    ASSERT_EQ(accumulateGroupRow(list_.specs, b, fields.data(), fields.size(), arena_, shared_distinct),
              Error::ok);
  }

  // The same row through a compiled per-record step.
  void addByPlan(GroupAccumulators& b, const AccumulatorPlan& plan,
                 const std::vector<FieldSlice>& fields) {
    ASSERT_EQ(plan.accumulate(list_.specs, b, fields.data(), fields.size(), arena_), Error::ok);
  }

  // One row per value, the value as the field x (column 0).
  void addColumn(GroupAccumulators& b, std::initializer_list<const char*> values) {
    for (const char* v : values) add(b, {v});
  }

  void merge(GroupAccumulators& into, const GroupAccumulators& from) {
    ASSERT_EQ(mergeGroupAccumulators(into, from, list_.specs, arena_), Error::ok);
  }

  // `distinct_count`: the count of every count(DISTINCT ...) slot kept
  // outside the block.
  std::vector<std::string> render(GroupAccumulators& b,
                                  std::optional<uint64_t> distinct_count = std::nullopt) {
    std::vector<std::string> out;
    for (size_t i = 0; i < list_.specs.size(); ++i) {
      std::string_view text;
      const std::optional<uint64_t> shared =
          list_.specs[i].kind == AggregateKind::count_distinct ? distinct_count : std::nullopt;
      EXPECT_EQ(renderAggregateValue(cAllocator(), list_.specs[i], b, i, shared, text),
                Error::ok);
      out.emplace_back(text);
      cAllocator().free(const_cast<char*>(text.data()), text.size());
    }
    return out;
  }

  const SharedAccumulatorArrays& shared() const { return shared_; }
  const std::vector<AggregateSpec>& specs() const { return list_.specs; }

 private:
  const FieldSlice names_[3] = {"x", "t", "y"};
  std::vector<std::string> items_;
  ColumnIndexMap map_;
  AggregateSelectList list_;
  ArenaAllocator arena_;
  SharedAccumulatorArrays shared_;
};

using Texts = std::vector<std::string>;

const std::vector<std::string> kEveryKind = {
    "count(x)",   "count(*)",    "count(distinct t)", "sum(x)",         "avg(x)",
    "min(x)",     "max(x)",      "median(x)",         "var_pop(x)",     "stddev_pop(x)",
    "var_samp(x)", "stddev_samp(x)", "group_concat(t)",
};

TEST(RenderAggregateValue, WithoutInput) {
  Blocks blocks(kEveryKind);
  GroupAccumulators b = blocks.block();
  EXPECT_EQ(blocks.render(b), (Texts{"0", "0", "0", "", "", "", "", "", "0", "0", "", "", ""}));
}

TEST(RenderAggregateValue, EveryKindOverOneToFour) {
  Blocks blocks(kEveryKind);
  GroupAccumulators b = blocks.block();
  for (const char* v : {"1", "2", "3", "4"}) blocks.add(b, {v, v});
  EXPECT_EQ(blocks.render(b),
            (Texts{"4", "4", "4", "10", "2.5", "1", "4", "2.5", "1.25", "1.118033988749895",
                   "1.6666666666666667", "1.2909944487358056", "1,2,3,4"}));
}

TEST(RenderAggregateValue, SingleValue) {
  Blocks blocks({"var_pop(x)", "stddev_pop(x)", "var_samp(x)", "stddev_samp(x)", "median(x)"});
  GroupAccumulators b = blocks.block();
  blocks.addColumn(b, {"7"});
  EXPECT_EQ(blocks.render(b), (Texts{"0", "0", "", "", "7"}));
}

TEST(AccumulateGroupRow, FieldNumberReading) {
  Blocks blocks({"count(x)", "sum(x)", "avg(x)", "count(*)", "min(x)", "max(x)"});
  GroupAccumulators b = blocks.block();
  // Of these only "5", " 5 " and "1_0" are numbers; all but "" count.
  blocks.addColumn(b, {"5", " 5 ", "abc", "", "- ", "1_0", " 4.5"});
  EXPECT_EQ(blocks.render(b), (Texts{"6", "20", "6.666666666666667", "7", "5", "10"}));
}

TEST(AccumulateGroupRow, ShortRecordsTakeNothing) {
  Blocks blocks({"count(y)", "sum(y)", "count(distinct y)", "group_concat(y)", "count(*)"});
  GroupAccumulators b = blocks.block();
  blocks.add(b, {"1"});
  blocks.add(b, {"1", "a", "3"});
  EXPECT_EQ(blocks.render(b), (Texts{"1", "3", "1", "3", "2"}));
}

TEST(AccumulateGroupRow, StarArgumentsTakeNothing) {
  Blocks blocks({"sum(*)", "min(*)", "count(distinct *)", "group_concat(*)", "var_pop(*)",
                 "count(*)"});
  GroupAccumulators b = blocks.block();
  blocks.addColumn(b, {"1", "2"});
  EXPECT_EQ(blocks.render(b), (Texts{"", "", "0", "", "0", "2"}));
}

TEST(SumSlot, SumsOfFieldsRenderTheRoundedSum) {
  const struct {
    std::initializer_list<const char*> values;
    std::string sum;
  } cases[] = {
      {{"0.1", "0.1", "0.1", "0.1", "0.1", "0.1", "0.1", "0.1", "0.1", "0.1"}, "1"},
      {{"1e16", "1", "-1e16"}, "1"},
      {{"1e308", "1e308"}, "inf"},  // the exact sum is past the largest double
      {{"-1e308", "-1e308"}, "-inf"},
      {{"1e308", "1e308", "-1e308"}, "1" + std::string(308, '0')},
      {{"0.5", "-0.5"}, "0"},
      {{"-0", "-0"}, "0"},
      {{"1", "2", "3"}, "6"},
      {{"9007199254740993", "1"}, "9007199254740992"},
      // A compensated sum keeps 1 + 2^-53 twice as 1 (ties to even).
      {{"1e18", "1", "1.1102230246251565e-16", "1.1102230246251565e-16", "-1e18"}, "1.0000000000000002"},
  };
  for (const auto& c : cases) {
    Blocks blocks({"sum(x)"});
    GroupAccumulators b = blocks.block();
    blocks.addColumn(b, c.values);
    EXPECT_EQ(blocks.render(b), Texts{c.sum}) << c.sum;
  }
}

TEST(SumSlot, MergedBlocksRenderAsTheWhole) {
  Blocks blocks({"sum(x)", "avg(x)"});
  GroupAccumulators a = blocks.block();
  GroupAccumulators b = blocks.block();
  blocks.addColumn(a, {"1e16"});
  blocks.addColumn(b, {"1", "-1e16"});
  blocks.merge(a, b);
  EXPECT_EQ(blocks.render(a), (Texts{"1", "0.3333333333333333"}));
}

// The bits of the slot's double (NaNs compare by their sign too).
uint64_t bitsOf(const SumSlot& slot) { return std::bit_cast<uint64_t>(sumSlotValue(slot)); }

SumSlot sumOf(std::span<const double> values, ArenaAllocator& arena) {
  SumSlot slot{};
  for (double x : values) EXPECT_EQ(addToSumSlot(slot, x, arena), Error::ok);
  return slot;
}

// `values` summed in order, reversed, shuffled, and split at every point
// into two slots merged either way and into three merged in any order: one
// double every time, returned.
double sumInEveryOrderAndSplit(std::vector<double> values) {
  ArenaAllocator arena;
  const uint64_t whole = bitsOf(sumOf(values, arena));
  const auto expect_whole = [&](const SumSlot& slot, const char* how, size_t k) {
    EXPECT_EQ(bitsOf(slot), whole) << how << " " << k << " of " << values.size();
  };
  std::vector<double> reversed(values.rbegin(), values.rend());
  expect_whole(sumOf(reversed, arena), "reversed", 0);
  std::mt19937_64 random(values.size());
  for (int round = 0; round < 3; ++round) {
    std::vector<double> shuffled = values;
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    expect_whole(sumOf(shuffled, arena), "shuffled", round);
  }
  const std::span<const double> all(values);
  const size_t n = values.size();
  const size_t step = std::max<size_t>(1, n / 16);
  for (size_t k = 0; k <= n; k += step) {
    for (bool first_into : {true, false}) {
      SumSlot head = sumOf(all.first(k), arena);
      SumSlot tail = sumOf(all.subspan(k), arena);
      SumSlot& into = first_into ? head : tail;
      EXPECT_EQ(mergeSumSlots(into, first_into ? tail : head, arena), Error::ok);
      expect_whole(into, "split", k);
    }
    const size_t j = k + (n - k) / 2;
    const SumSlot parts[3] = {sumOf(all.first(k), arena), sumOf(all.subspan(k, j - k), arena),
                              sumOf(all.subspan(j), arena)};
    static constexpr int kOrders[][3] = {{0, 1, 2}, {2, 0, 1}, {1, 2, 0}};
    for (const auto& order : kOrders) {
      SumSlot merged{};
      for (int p : order) EXPECT_EQ(mergeSumSlots(merged, parts[p], arena), Error::ok);
      expect_whole(merged, "three parts", k);
    }
  }
  return std::bit_cast<double>(whole);
}

// References: the exact sum of the doubles rounded once (computed with
// rational arithmetic outside this code). Values past either end of the
// fixed part (a bit below 2^-64, a magnitude from 2^62) take the wide words;
// fixed totals past 2^127 units move into them.
TEST(SumSlot, TheExactSumRoundedOnceInAnyOrderAndSplit) {
  const double largest_fixed = 0x1.fffffffffffffp61;  // bits 2^10 .. 2^61
  const struct {
    std::vector<double> values;
    double sum;
  } cases[] = {
      {{}, 0},
      {{0x1p60, 1, 0x1p-53, 0x1p-53, -0x1p60}, 0x1.0000000000001p+0},
      {{1e20, 0.1, -1e20}, 0.1},
      {{0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1}, 1},
      // The lowest bit at 2^-64 stays fixed, one below moves wide; both meet.
      {{0x1p-64, 0x1p-65, 0x1p-65}, 0x1p-63},
      {{std::ldexp(1 + 0x1p-52, -12), -0x1p-12}, 0x1p-64},
      {{std::ldexp(1 + 0x1p-52, -13), -0x1p-13}, 0x1p-65},
      {{largest_fixed, 0x1p62, -0x1p62}, largest_fixed},
      // Fixed totals overflow and spill, forwards and backwards.
      {{largest_fixed, largest_fixed, largest_fixed, largest_fixed, 0.25, -largest_fixed,
        -largest_fixed, -largest_fixed, -largest_fixed},
       0.25},
      {{-largest_fixed, -largest_fixed, -largest_fixed, -largest_fixed, -largest_fixed}, -0x1.3ffffffffffffp+64},
      {{1e30, 3.5, -1e30, 1e-30}, 3.5},
      {{1e308, 1e308, -1e308}, 1e308},
      {{1e308, 1e308}, std::numeric_limits<double>::infinity()},
      {{-1e308, -1e308}, -std::numeric_limits<double>::infinity()},
      {{5e-324, 5e-324}, 1e-323},
      {{1e-300, -1e-300, 1e-310}, 1e-310},
      {{-0.0, -0.0, 0.0}, 0},
  };
  for (const auto& c : cases) {
    const double sum = sumInEveryOrderAndSplit(c.values);
    EXPECT_EQ(std::bit_cast<uint64_t>(sum), std::bit_cast<uint64_t>(c.sum))
        << std::hexfloat << sum << " != " << c.sum;
  }
}

// Many values of mixed magnitudes and signs: any order and split give the
// sum the wide words alone give.
TEST(SumSlot, RandomValuesGiveTheWideWordsSumInAnyOrderAndSplit) {
  std::mt19937_64 random(11);
  for (int round = 0; round < 6; ++round) {
    std::vector<double> values;
    ExactSum wide;
    ArenaAllocator arena;
    for (int k = 0; k < 3000; ++k) {
      double x = std::uniform_real_distribution<double>(0, 1000)(random);
      x = std::round(x * 1e7) / 1e7;  // seven decimals, as prices are written
      switch (random() % 8) {
        case 0: x = std::ldexp(x, -90); break;   // a bit below 2^-64
        case 1: x = std::ldexp(x, 60); break;    // past 2^62
        case 2: x = std::ldexp(x, -1070); break; // subnormal
        case 3: x = std::ldexp(x, 1010) * (round + 1); break;
        default: break;
      }
      if (random() % 3 == 0) x = -x;
      values.push_back(x);
      ASSERT_EQ(addExactSum(wide, x, arena), Error::ok);
    }
    const double sum = sumInEveryOrderAndSplit(values);
    EXPECT_EQ(std::bit_cast<uint64_t>(sum), std::bit_cast<uint64_t>(roundExactSum(wide, 0))) << round;
  }
}

// Infinities and NaNs: an infinity, "nan" for both infinities and for any
// NaN, in any order and split.
TEST(SumSlot, InfinitiesAndNaNs) {
  static const struct {
    std::initializer_list<const char*> values;
    const char* sum;
    const char* avg;
  } cases[] = {
      {{"inf", "1"}, "inf", "inf"},
      {{"1", "-inf", "1e308", "1e308"}, "-inf", "-inf"},
      {{"inf", "2", "-inf"}, "nan", "nan"},
      {{"nan", "1"}, "nan", "nan"},
      {{"-nan", "1", "inf"}, "nan", "nan"},
      {{"1e308", "inf", "1e308", "1e-30"}, "inf", "inf"},
  };
  for (const auto& c : cases) {
    Blocks blocks({"sum(x)", "avg(x)"});
    std::vector<const char*> values(c.values);
    for (size_t k = 0; k <= values.size(); ++k) {
      GroupAccumulators head = blocks.block();
      GroupAccumulators tail = blocks.block();
      for (size_t j = 0; j < values.size(); ++j) blocks.add(j < k ? head : tail, {values[j]});
      blocks.merge(tail, head);
      EXPECT_EQ(blocks.render(tail), (Texts{c.sum, c.avg})) << *c.values.begin() << " split at " << k;
    }
  }
  ArenaAllocator arena;
  const double values[] = {-std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::quiet_NaN()};
  for (size_t n = 2; n <= 3; ++n) {
    EXPECT_EQ(std::bit_cast<uint64_t>(sumSlotValue(sumOf(std::span(values, n), arena))),
              std::bit_cast<uint64_t>(std::numeric_limits<double>::quiet_NaN()));
  }
}

TEST(SumSlot, OutOfMemoryKeepsTheFixedPart) {
  ArenaAllocator failing(test::failingAllocator());
  SumSlot slot{};
  ASSERT_EQ(addToSumSlot(slot, 2.5, failing), Error::ok);  // fixed: no words needed
  EXPECT_EQ(addToSumSlot(slot, 1e-30, failing), Error::OutOfMemory);
  EXPECT_EQ(addToSumSlot(slot, 1e30, failing), Error::OutOfMemory);
  EXPECT_EQ(sumSlotValue(slot), 2.5);
}

TEST(ExactMoments, StableFarFromZero) {
  Blocks blocks({"var_samp(x)", "var_pop(x)", "stddev_pop(x)", "avg(x)"});
  GroupAccumulators b = blocks.block();
  blocks.addColumn(b, {"1000000004", "1000000007", "1000000013", "1000000016"});
  EXPECT_EQ(blocks.render(b), (Texts{"30", "22.5", "4.743416490252569", "1000000010"}));
}

// Merged blocks hold the exact moments of all their values: any split gives
// the text of the whole.
TEST(ExactMoments, MergedBlocksRenderAsTheWhole) {
  Blocks blocks({"var_samp(x)", "var_pop(x)", "count(x)"});
  GroupAccumulators whole = blocks.block();
  blocks.addColumn(whole, {"0.1", "0.2", "0.3", "0.4", "0.5"});
  EXPECT_EQ(blocks.render(whole), (Texts{"0.025", "0.02", "5"}));

  GroupAccumulators a = blocks.block();
  GroupAccumulators b = blocks.block();
  blocks.addColumn(a, {"0.1", "0.2", "0.3"});
  blocks.addColumn(b, {"0.4", "0.5"});
  blocks.merge(a, b);
  EXPECT_EQ(blocks.render(a), (Texts{"0.025", "0.02", "5"}));

  GroupAccumulators far_a = blocks.block();
  GroupAccumulators far_b = blocks.block();
  blocks.addColumn(far_a, {"1000000004", "1000000007"});
  blocks.addColumn(far_b, {"1000000013", "1000000016"});
  blocks.merge(far_a, far_b);
  EXPECT_EQ(blocks.render(far_a), (Texts{"30", "22.5", "4"}));
}

// Infinities and NaN make a variance NaN; values too large to square in a
// double still give their exact variance, or infinity past the largest
// double.
TEST(ExactMoments, LargeAndNonFiniteValues) {
  static const struct {
    std::initializer_list<const char*> values;
    Texts expected;  // var_pop, var_samp, stddev_samp
  } cases[] = {
      {{"1", "inf", "2"}, {"nan", "nan", "nan"}},
      {{"-inf", "1"}, {"nan", "nan", "nan"}},
      {{"nan"}, {"nan", "", ""}},
      {{"1e308", "1e308", "1e308"}, {"0", "0", "0"}},
      {{"1e200", "1e200"}, {"0", "0", "0"}},
      {{"1e308", "-1e308"}, {"inf", "inf", "inf"}},
      {{"1e15", "3e15", "-2e15"}, {"4222222222222222400000000000000", "6333333333333333000000000000000", "2516611478423583"}},
  };
  for (const auto& c : cases) {
    Blocks blocks({"var_pop(x)", "var_samp(x)", "stddev_samp(x)"});
    GroupAccumulators b = blocks.block();
    blocks.addColumn(b, c.values);
    EXPECT_EQ(blocks.render(b), c.expected) << *c.values.begin();
  }
}

TEST(MergeGroupAccumulators, EmptySidesChangeNothing) {
  Blocks blocks(kEveryKind);
  GroupAccumulators filled = blocks.block();
  for (const char* v : {"3", "1", "2"}) blocks.add(filled, {v, v});
  const Texts expected = blocks.render(filled);

  // Only the second block holds values.
  GroupAccumulators into_empty = blocks.block();
  GroupAccumulators source = blocks.block();
  for (const char* v : {"3", "1", "2"}) blocks.add(source, {v, v});
  blocks.merge(into_empty, source);
  EXPECT_EQ(blocks.render(into_empty), expected);

  // A block without values merged into a filled one.
  GroupAccumulators nothing = blocks.block();
  blocks.merge(filled, nothing);
  EXPECT_EQ(blocks.render(filled), expected);
}

TEST(MergeGroupAccumulators, ListsKeepInputOrderAndSetsUnite) {
  Blocks blocks({"group_concat(t, '; ')", "count(distinct t)", "median(x)", "count(*)"});
  GroupAccumulators a = blocks.block();
  GroupAccumulators b = blocks.block();
  GroupAccumulators c = blocks.block();
  blocks.add(a, {"1", "x"});
  blocks.add(a, {"2", ""});
  blocks.add(b, {"10", "y"});
  blocks.add(b, {"20", ""});
  blocks.add(c, {"30", "x"});
  blocks.merge(a, b);
  blocks.merge(a, c);
  EXPECT_EQ(blocks.render(a), (Texts{"x; ; y; ; x", "3", "10", "5"}));
}

// Workers fill one block per range and the blocks merge in range order: for
// every way of cutting the rows into two or three consecutive runs, the
// merged block renders what the block of all rows renders (the infinities
// and the NaN stand where no sum meets them, since a NaN that arithmetic
// makes has no defined sign).
TEST(MergeGroupAccumulators, EverySplitOfTheRowsRendersAsTheWhole) {
  const std::vector<std::string> items = {
      "count(x)", "count(*)", "count(distinct t)", "sum(x)", "avg(x)", "min(x)", "max(x)",
      "median(x)", "var_pop(x)", "stddev_samp(x)", "group_concat(t, '|')",
      "sum(CASE WHEN t = 'a' THEN x ELSE 0 END)", "max(y)", "min(y)"};
  static const std::vector<std::vector<const char*>> rows = {
      {"3", "a"},     {"", "b", "1"}, {"abc", "a"},   {"-2.5", ""},   {"9", "c", "inf"}, {"7"},
      {"0.5", "a"},   {" 4 ", "b"},   {"-4", "d", "-inf"}, {"8", "a", "nan"}, {"1e2", ""}, {"3", "a", "-1"},
  };
  Blocks blocks(items);
  const auto fill = [&](GroupAccumulators& b, size_t from, size_t to) {
    for (size_t r = from; r < to; ++r) {
      std::vector<FieldSlice> fields(rows[r].begin(), rows[r].end());
      blocks.add(b, fields);
    }
  };
  GroupAccumulators whole = blocks.block();
  fill(whole, 0, rows.size());
  const Texts expected = blocks.render(whole);
  EXPECT_EQ(expected, (Texts{"11", "12", "5", "128", "12.8", "-4", "100", "3.5", "861.21",
                             "30.933800283831925", "a|b|a||c|a|b|d|a||a", "14.5", "inf", "-inf"}));
  for (size_t i = 0; i <= rows.size(); ++i) {
    for (size_t j = i; j <= rows.size(); ++j) {
      GroupAccumulators merged = blocks.block();
      GroupAccumulators parts[3] = {blocks.block(), blocks.block(), blocks.block()};
      fill(parts[0], 0, i);
      fill(parts[1], i, j);
      fill(parts[2], j, rows.size());
      for (const GroupAccumulators& part : parts) blocks.merge(merged, part);
      EXPECT_EQ(blocks.render(merged), expected) << "cut at " << i << " and " << j;
    }
  }
}

// The compiled step leaves every slot as the general step does, bit for
// bit, for the statements it takes directly and for those it hands on.
TEST(AccumulatorPlan, FillsBlocksAsTheGeneralStep) {
  static const struct {
    std::vector<std::string> items;
    bool direct;
  } cases[] = {
      {{"sum(x)", "avg(y)", "min(x)", "max(x)"}, true},
      {{"count(*)", "count(x)", "count(t)", "sum(t)", "max(y)", "min(y)", "avg(x)", "sum(x)"}, true},
      {{"min(x)", "min(x)", "max(y)", "sum(*)", "count(*)"}, true},
      {{"sum(x)", "median(x)"}, false},
      {{"count(distinct t)", "sum(x)"}, false},
      {{"sum(CASE WHEN t = 'a' THEN x ELSE 0 END)", "max(x)"}, false},
      {{"var_pop(x)", "min(y)"}, false},
  };
  // Numbers of every form the field number reading knows, texts, empty and
  // missing fields.
  static const char* kTexts[] = {"3",    "-2.5", "924.77", "",     " 4 ",  "abc", "1e2", "nan",
                                 "-inf", "inf",  "-0",     "-0.0", ".5",   "7.",  "0x10", "1_0",
                                 "9007199254740993", "0.1000000000000000055511151231257827"};
  std::mt19937_64 random(11);
  // Rows of 0 to 3 of the fields x, t, y, cut from lines of their own, some
  // of which go on after the last field.
  std::vector<std::string> lines(400);
  std::vector<std::vector<FieldSlice>> rows;
  for (std::string& line : lines) {
    std::vector<size_t> starts;
    const size_t n = random() % 4;
    for (size_t k = 0; k < n; ++k) {
      if (k > 0) line += ',';
      starts.push_back(line.size());
      line += kTexts[random() % std::size(kTexts)];
    }
    starts.push_back(line.size() + 1);
    if (random() % 2 == 0) line += ",2024-10-11 18:11:14";
    std::vector<FieldSlice> row;
    for (size_t k = 0; k < n; ++k)
      row.push_back(FieldSlice(line).substr(starts[k], starts[k + 1] - 1 - starts[k]));
    rows.push_back(row);
  }
  for (const auto& c : cases) {
    Blocks blocks(c.items);
    AccumulatorPlan plan;
    plan.compile(blocks.specs());
    EXPECT_EQ(plan.direct(), c.direct) << c.items[0];
    GroupAccumulators general = blocks.block();
    GroupAccumulators planned = blocks.block();
    for (size_t r = 0; r < rows.size(); ++r) {
      blocks.add(general, rows[r]);
      blocks.addByPlan(planned, plan, rows[r]);
    }
    EXPECT_EQ(planned.rows, general.rows);
    for (size_t i = 0; i < blocks.specs().size(); ++i) {
      EXPECT_EQ(planned.count[i], general.count[i]) << c.items[i];
      EXPECT_TRUE(planned.sum[i].fixed == general.sum[i].fixed) << c.items[i];
      EXPECT_EQ(planned.sum[i].special, general.sum[i].special) << c.items[i];
      EXPECT_EQ(std::bit_cast<uint64_t>(sumSlotValue(planned.sum[i])),
                std::bit_cast<uint64_t>(sumSlotValue(general.sum[i])))
          << c.items[i];
      EXPECT_EQ(std::bit_cast<uint64_t>(planned.min[i]), std::bit_cast<uint64_t>(general.min[i]))
          << c.items[i];
      EXPECT_EQ(std::bit_cast<uint64_t>(planned.max[i]), std::bit_cast<uint64_t>(general.max[i]))
          << c.items[i];
    }
    EXPECT_EQ(blocks.render(planned), blocks.render(general)) << c.items[0];
  }
}

// A sum that meets NaNs of both signs, or infinities of both signs and a
// NaN, is "nan" however the rows are split into merged blocks.
TEST(SumSlot, ANaNSumIsOneTextForEverySplit) {
  static const std::vector<std::vector<const char*>> cases = {
      {"inf", "1", "-inf", "nan"},
      {"nan", "2", "-nan"},
      {"-nan", "nan", "3"},
      {"-inf", "4", "inf"},
      {"-nan"},
  };
  for (const auto& values : cases) {
    Blocks blocks({"sum(x)", "avg(x)"});
    for (size_t cut = 0; cut <= values.size(); ++cut) {
      GroupAccumulators parts[2] = {blocks.block(), blocks.block()};
      for (size_t r = 0; r < values.size(); ++r) blocks.add(parts[r < cut ? 0 : 1], {values[r]});
      GroupAccumulators merged = blocks.block();
      for (const GroupAccumulators& part : parts) blocks.merge(merged, part);
      EXPECT_EQ(blocks.render(merged), (Texts{"nan", "nan"})) << values[0] << ", cut at " << cut;
    }
  }
}

// With a shared set for a count(DISTINCT ...) slot the texts go to the set
// (each block through a writer of its own), and the block keeps none.
TEST(CountDistinct, SharedSetTakesTheTexts) {
  Blocks blocks({"count(distinct t)", "count(t)"});
  ShardedStringSet set;
  ASSERT_EQ(set.init(), Error::ok);
  auto writer_a = std::make_unique<ShardedStringSetWriter>(set);
  auto writer_b = std::make_unique<ShardedStringSetWriter>(set);
  ShardedStringSetWriter* const writers_a[] = {writer_a.get(), nullptr};
  ShardedStringSetWriter* const writers_b[] = {writer_b.get(), nullptr};
  GroupAccumulators a = blocks.block();
  GroupAccumulators b = blocks.block();
  blocks.add(a, {"1", "x"}, writers_a);
  blocks.add(a, {"1", ""}, writers_a);
  blocks.add(b, {"2", "x"}, writers_b);
  blocks.add(b, {"2", "X"}, writers_b);
  ASSERT_EQ(writer_a->flush(), Error::ok);
  ASSERT_EQ(writer_b->flush(), Error::ok);
  blocks.merge(a, b);
  EXPECT_EQ(set.size(), 3u);
  EXPECT_FALSE(a.distinct[0].present);
  EXPECT_EQ(blocks.render(a), (Texts{"0", "3"}));
  EXPECT_EQ(blocks.render(a, set.size()), (Texts{"3", "3"}));
}

TEST(CountDistinct, TheEmptyTextIsOneValue) {
  Blocks blocks({"count(distinct t)", "count(t)"});
  GroupAccumulators b = blocks.block();
  for (const char* t : {"a", "", "a", "", "A"}) blocks.add(b, {"0", t});
  EXPECT_EQ(blocks.render(b), (Texts{"3", "3"}));
}

TEST(CountDistinct, ManyValuesAndASharedCount) {
  Blocks blocks({"count(distinct x)"});
  GroupAccumulators b = blocks.block();
  for (int i = 0; i < 5000; ++i) {
    const std::string v = std::to_string(i % 1234);
    blocks.add(b, {v.c_str()});
  }
  EXPECT_EQ(blocks.render(b), Texts{"1234"});
  std::string_view text;
  ASSERT_EQ(renderAggregateValue(cAllocator(), blocks.specs()[0], b, 0, 77, text), Error::ok);
  EXPECT_EQ(text, "77");
  cAllocator().free(const_cast<char*>(text.data()), text.size());
}

TEST(MinMax, InfinitiesAreValuesAndNaNIsNot) {
  static const struct {
    std::initializer_list<const char*> values;
    const char* min;
    const char* max;
  } cases[] = {
      {{"inf"}, "inf", "inf"},
      {{"-inf"}, "-inf", "-inf"},
      {{"inf", "-infinity", "3"}, "-inf", "inf"},
      {{"nan", "3"}, "3", "3"},
      {{"nan"}, "", ""},
      {{"abc", ""}, "", ""},
      {{"-0"}, "0", "0"},
  };
  for (const auto& c : cases) {
    Blocks blocks({"min(x)", "max(x)"});
    GroupAccumulators b = blocks.block();
    blocks.addColumn(b, c.values);
    EXPECT_EQ(blocks.render(b), (Texts{c.min, c.max})) << c.min << " " << c.max;
  }
  // Merging a block that took only +inf keeps it.
  Blocks blocks({"min(x)", "max(x)"});
  GroupAccumulators a = blocks.block();
  GroupAccumulators b = blocks.block();
  blocks.addColumn(b, {"inf"});
  blocks.merge(a, b);
  EXPECT_EQ(blocks.render(a), (Texts{"inf", "inf"}));
}

TEST(Precision, RoundedAggregates) {
  Blocks blocks({"ROUND(avg(x), 2)", "ROUND(avg(x), 9)", "ROUND(sum(x), 0)", "ROUND(count(x), 3)",
                 "ROUND(var_pop(*), 2)", "ROUND(median(x), 1)"});
  GroupAccumulators b = blocks.block();
  blocks.addColumn(b, {"1", "2"});
  EXPECT_EQ(blocks.render(b), (Texts{"1.50", "1.500000", "3", "2", "0", "1.5"}));
}

TEST(ConditionalSpecs, TakeTheCaseValue) {
  Blocks blocks({"count(CASE WHEN x > 1 THEN 1 ELSE 0 END)",
                 "max(CASE WHEN x > 1 THEN x ELSE 0 END)",
                 "min(CASE WHEN x > 1 THEN x ELSE 100 END)",
                 "sum(CASE WHEN t = 'a' THEN x ELSE 0 END)",
                 "avg(CASE WHEN t = 'a' THEN x ELSE y END)"});
  GroupAccumulators b = blocks.block();
  blocks.add(b, {"1", "a", "9"});
  blocks.add(b, {"3", "b", "9"});
  blocks.add(b, {"2", "a"});  // y missing: the ELSE column reads 0
  blocks.add(b, {"x", "b", "y"});
  blocks.add(b, {"5", "a"});
  EXPECT_EQ(blocks.render(b), (Texts{"5", "5", "2", "8", "3.4"}));
}

TEST(FormatMedian, OddEvenRepeatedAndNaN) {
  static const struct {
    std::vector<double> values;
    std::string median;
  } cases[] = {
      {{3, 1, 2}, "2"},
      {{4, 1, 3, 2}, "2.5"},
      {{5, 5, 5, 1, 9, 5}, "5"},
      // Halved before they are added: the sum alone would be infinite.
      {{1e308, 1.5e308}, "125" + std::string(306, '0')},
      {{-1e308, -1.5e308}, "-125" + std::string(306, '0')},
      // NaN orders above every number.
      {{std::numeric_limits<double>::quiet_NaN(), 1, 2}, "2"},
      {{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN(), 1},
       "nan"},
      {{1, std::numeric_limits<double>::quiet_NaN(), 3, 2}, "2.5"},
      {{-std::numeric_limits<double>::infinity(), 1}, "-inf"},
  };
  for (const auto& c : cases) {
    std::vector<double> values = c.values;
    ValueList<double> list{values.data(), values.size(), values.size(), true};
    std::string_view text;
    ASSERT_EQ(formatMedian(cAllocator(), list, OutputPrecision{}, text), Error::ok);
    EXPECT_EQ(text, c.median) << c.median;
    cAllocator().free(const_cast<char*>(text.data()), text.size());
  }
}

TEST(FormatMedian, AMillionEqualValues) {
  // Selection must stay linear on repeated values.
  std::vector<double> values(1'000'000, 7.25);
  values[10] = 1;
  ValueList<double> list{values.data(), values.size(), values.size(), true};
  std::string_view text;
  ASSERT_EQ(formatMedian(cAllocator(), list, OutputPrecision{}, text), Error::ok);
  EXPECT_EQ(text, "7.25");
  cAllocator().free(const_cast<char*>(text.data()), text.size());
}

TEST(FormatMedian, EmptyOrAbsentListIsTheEmptyText) {
  ValueList<double> absent;
  std::string_view text = "x";
  ASSERT_EQ(formatMedian(test::failingAllocator(), absent, OutputPrecision{}, text), Error::ok);
  EXPECT_EQ(text, "");
}

TEST(SharedAccumulatorArrays, UnusedKindsShareOnePlaceholder) {
  Blocks count_only({"count(*)", "min(x)"});
  const SharedAccumulatorArrays& shared = count_only.shared();
  EXPECT_EQ(shared.distinct.size(), 2u);
  EXPECT_EQ(shared.median.size(), 2u);
  EXPECT_EQ(shared.concat.size(), 2u);
  EXPECT_EQ(shared.moments.size(), 2u);
  EXPECT_EQ(shared.sum.size(), 2u);
  GroupAccumulators a = count_only.block();
  GroupAccumulators b = count_only.block();
  EXPECT_EQ(a.distinct, b.distinct);
  EXPECT_EQ(a.moments, shared.moments.data());
  EXPECT_NE(a.count, b.count);

  Blocks every(kEveryKind);
  EXPECT_TRUE(every.shared().distinct.empty());
  EXPECT_TRUE(every.shared().median.empty());
  EXPECT_TRUE(every.shared().concat.empty());
  EXPECT_TRUE(every.shared().moments.empty());
  EXPECT_TRUE(every.shared().sum.empty());
  GroupAccumulators c = every.block();
  GroupAccumulators d = every.block();
  EXPECT_NE(c.distinct, d.distinct);
  EXPECT_NE(c.median, d.median);
}

TEST(AccumulateGroupRow, OutOfMemoryIsReported) {
  const FieldSlice names[] = {"x"};
  ColumnIndexMap map;
  map.assign(names, 1);
  for (const char* item : {"median(x)", "group_concat(x)", "count(distinct x)"}) {
    AggregateSelectList list;
    const std::string text = item;
    ASSERT_EQ(compileAggregateSelectList({&text, 1}, map, names, list), Error::ok);
    ArenaAllocator blocks_arena;
    SharedAccumulatorArrays shared;
    ASSERT_EQ(allocSharedAccumulatorArrays(blocks_arena, list.specs, shared), Error::ok);
    GroupAccumulators b;
    ASSERT_EQ(newGroupAccumulators(blocks_arena, {}, 1, shared, b), Error::ok);
    ArenaAllocator failing(test::failingAllocator());
    const FieldSlice row[] = {"12"};
    EXPECT_EQ(accumulateGroupRow(list.specs, b, row, 1, failing), Error::OutOfMemory) << item;
  }
}

}  // namespace
}  // namespace tavix
