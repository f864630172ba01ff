#include "exec/group/group_scan.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "exec/aggregate/accumulators.h"
#include "support/error_assertions.h"

namespace tavix {
namespace {

using Record = std::vector<std::string>;

// Keys on columns 0 and 1; count(*), sum and group_concat over column 2.
struct Fixture {
  std::vector<GroupKeySpec> keys;
  std::vector<AggregateSpec> specs;

  Fixture() {
    keys.resize(2);
    keys[1].column = 1;
    specs.resize(3);
    specs[0].kind = AggregateKind::count;
    specs[1].kind = AggregateKind::sum;
    specs[2].kind = AggregateKind::group_concat;
    for (size_t i = 1; i < 3; ++i) {
      specs[i].column = 2;
      specs[i].has_column = true;
    }
  }
};

void addRecords(GroupTable& table, const std::vector<Record>& records, size_t begin, size_t end) {
  for (size_t r = begin; r < end; ++r) {
    std::vector<FieldSlice> fields(records[r].begin(), records[r].end());
    ASSERT_EQ(table.addRecord(fields.data(), fields.size()), Error::ok);
  }
}

// Each group as "part|part" -> "count;sum;concat".
std::map<std::string, std::string> renderGroups(GroupTable& table) {
  std::map<std::string, std::string> out;
  ArenaAllocator arena;
  table.map().forEachGroup([&](uint64_t, Group& group) {
    std::string key(group.value.key_parts[0]);
    for (size_t p = 1; p < group.value.key_part_count; ++p)
      key += "|" + std::string(group.value.key_parts[p]);
    std::string values;
    for (size_t i = 0; i < table.specs().size(); ++i) {
      std::string_view text;
      EXPECT_EQ(renderAggregateValue(arena.allocator(), table.specs()[i], group.value, i,
                                     std::nullopt, text),
                Error::ok);
      values += (i == 0 ? "" : ";") + std::string(text);
    }
    out[key] = values;
  });
  return out;
}

const std::vector<Record> kRecords = {
    {"Oslo", "N", "1"}, {"Lyon", "F", "2"}, {"Oslo", "N", "3"},
    {"Oslo", "S", "4"}, {"Lyon", "F", "x"}, {"Oslo"},
    {"Oslo", "N", "5"}, {std::string("a\0b", 3), "c", "6"}, {"a", std::string("b\0c", 3), "7"},
};

TEST(GroupTable, FoldsRecordsIntoOneBlockPerKey) {
  Fixture f;
  GroupTable table(f.keys, f.specs);
  addRecords(table, kRecords, 0, kRecords.size());
  const std::map<std::string, std::string> expected = {
      {"Lyon|F", "2;2;2,x"},
      {"Oslo|", "1;;"},
      {"Oslo|N", "3;9;1,3,5"},
      {"Oslo|S", "1;4;4"},
      {std::string("a\0b|c", 5), "1;6;6"},
      {std::string("a|b\0c", 5), "1;7;7"},
  };
  EXPECT_EQ(renderGroups(table), expected);
}

// Tables filled from consecutive ranges and folded, in range order, into one
// table by key and hash give every group the values of one table filled
// from all records, list values in record order.
TEST(GroupTable, TablesOfRangesMergeIntoTheWholeTable) {
  Fixture f;
  GroupTable whole(f.keys, f.specs);
  addRecords(whole, kRecords, 0, kRecords.size());
  for (size_t cut = 0; cut <= kRecords.size(); ++cut) {
    GroupTable first(f.keys, f.specs);
    GroupTable second(f.keys, f.specs);
    addRecords(first, kRecords, 0, cut);
    addRecords(second, kRecords, cut, kRecords.size());
    GroupTable merged(f.keys, f.specs);
    for (GroupTable* part : {&first, &second}) {
      part->map().forEachGroup([&](uint64_t hash, Group& from) {
        Group* into = nullptr;
        bool added = false;
        ASSERT_EQ(merged.groupOfKey(from.key, hash, into, added), Error::ok);
        ASSERT_EQ(mergeGroupAccumulators(into->value, from.value, f.specs, merged.arena()),
                  Error::ok);
      });
    }
    EXPECT_EQ(renderGroups(merged), renderGroups(whole)) << "cut after record " << cut;
  }
}

// Records folded through batches give the groups of records folded one at
// a time: keys and fields copied out of buffers that are overwritten after
// each add, records with fewer fields, repeated keys within one batch, lists
// in record order, batches of every size up to a full one and beyond.
TEST(GroupRecordBatch, FoldsAsRecordsOneAtATime) {
  Fixture f;
  std::vector<Record> records;
  for (size_t i = 0; i < 3 * GroupRecordBatch::kRecords + 5; ++i) {
    const Record& base = kRecords[(i * 5) % kRecords.size()];
    Record r = base;
    if (r.size() == 3 && i % 4 == 0) r[2] = std::to_string(i);
    records.push_back(r);
  }
  GroupTable whole(f.keys, f.specs);
  addRecords(whole, records, 0, records.size());
  auto fold = [&](Group& group, const FieldSlice* fields, size_t count, GroupTable& table) {
    return accumulateGroupRow(f.specs, group.value, fields, count, table.arena());
  };
  for (size_t flush_every : {size_t{1}, size_t{7}, GroupRecordBatch::kRecords, size_t{200}}) {
    GroupTable batched(f.keys, f.specs);
    GroupRecordBatch batch(true);
    size_t afters = 0;
    const auto after = [&](Group&, GroupTable&) {
      ++afters;
      return Error::ok;
    };
    for (const Record& r : records) {
      std::string copy[3];  // the record's buffer, overwritten after the add
      std::vector<FieldSlice> fields;
      for (size_t k = 0; k < r.size(); ++k) fields.push_back(copy[k] = r[k]);
      const FieldSlice key = batched.composeKey(fields.data(), fields.size());
      batch.add(key, hashGroupKey(key), fields.data(), fields.size());
      for (std::string& c : copy) c.assign(c.size(), '#');
      if (batch.size() >= flush_every) {
        ASSERT_OK(batch.foldInto(batched, fold, after));
      }
    }
    ASSERT_OK(batch.foldInto(batched, fold, after));
    EXPECT_EQ(batch.size(), 0u);
    EXPECT_EQ(afters, records.size());
    EXPECT_EQ(renderGroups(batched), renderGroups(whole)) << "folded every " << flush_every;
  }
}

// A batch without fields serves groups that count rows only.
TEST(GroupRecordBatch, CountsRowsWithoutFields) {
  std::vector<GroupKeySpec> keys(1);
  std::vector<AggregateSpec> specs(1);
  specs[0].kind = AggregateKind::count;
  EXPECT_FALSE(specsReadFields(specs));
  GroupTable table(keys, specs);
  GroupRecordBatch batch(false);
  auto fold = [&](Group& group, const FieldSlice* fields, size_t count, GroupTable& into) {
    EXPECT_EQ(fields, nullptr);
    return accumulateGroupRow(specs, group.value, fields, count, into.arena());
  };
  const auto nothing = [](Group&, GroupTable&) { return Error::ok; };
  for (const char* k : {"b", "a", "b", "", "b"}) {
    const FieldSlice field(k);
    batch.add(field, hashGroupKey(field), &field, 1);
  }
  ASSERT_OK(batch.foldInto(table, fold, nothing));
  EXPECT_EQ(renderGroups(table), (std::map<std::string, std::string>{{"", "1"}, {"a", "1"}, {"b", "3"}}));
  specs[0].has_column = true;
  EXPECT_TRUE(specsReadFields(specs));
}

}  // namespace
}  // namespace tavix
