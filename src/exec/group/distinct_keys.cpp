#include "exec/group/distinct_keys.h"

#include <memory>
#include <new>

#include "common/allocator.h"
#include "common/flat_text_set.h"
#include "exec/aggregate/aggregate_records.h"
#include "exec/group/group_map.h"
#include "exec/group/group_order.h"
#include "exec/group/grouped_rows.h"
#include "sql/select_classify.h"

namespace tavix {

namespace {

// The keys one worker keeps to itself: the set's slots on the heap, the
// key copies in the worker's arena.
struct DistinctKeyWorker {
  DistinctKeyWorker() = default;
  DistinctKeyWorker(const DistinctKeyWorker&) = delete;
  DistinctKeyWorker& operator=(const DistinctKeyWorker&) = delete;
  ~DistinctKeyWorker() { keys.release(cAllocator()); }

  ArenaAllocator arena;
  FlatTextSet keys;
};

using KeyWorker = ChunkWorker<DistinctKeyWorker>;

Error scanKeyRange(const ParallelGroupScan& scan, ShardedStringSet& shared, KeyWorker& w) {
  GroupTable composer(*scan.keys);  // builds the composite keys
  auto cut = std::make_unique<AggregateRecordCut>(scan.delimiter, scan.field_span, *scan.filter);
  FlatTextSet& own = w.local.keys;
  const Allocator arena = w.local.arena.allocator();
  const Allocator heap = cAllocator();
  return forEachChunkLine(
      scan.input->handle, scan.delimiter, w,
      [&](FieldSlice line, bool quote_free, uint64_t, bool&) -> Error {
        bool pass = false;
        TAVIX_TRY(cut->read(line, quote_free, pass));
        if (!pass) return Error::ok;
        const AggregateRecord record = cut->record();
        const FieldSlice key = composer.composeKey(record.fields, record.count);
        const uint64_t hash = hashGroupKey(key);
        if (own.size() < kPrivateGroupLimit) {
          bool added = false;
          std::string_view kept;
          return own.insert(key, hash, heap, arena, kept, added);
        }
        return shared.insert(key, hash);
      });
}

}  // namespace

bool answersWithDistinctKeys(const ParsedQuery& query, const AggregateSelectList& list,
                             const std::vector<GroupKeySpec>& keys) noexcept {
  if (!list.specs.empty() || query.has_order_by || query.has_having ||
      selectHasScalarExprs(query) || list.items.size() != keys.size())
    return false;
  for (size_t i = 0; i < list.items.size(); ++i) {
    const AggregateOutputItem& item = list.items[i];
    const bool shows_key =
        (item.kind == OutputItemKind::group_key && item.index == i) ||
        (item.kind == OutputItemKind::source_column && keys[i].kind == GroupKeyKind::column &&
         keys[i].column == item.index);
    if (!shows_key) return false;
  }
  return true;
}

Error scanDistinctKeys(const ParallelGroupScan& scan, std::unique_ptr<ShardedStringSet>& keys_out) {
  const AggregateInput& input = *scan.input;
  ChunkPlan plan;
  TAVIX_TRY(plan.init(input.csv.bytes(), input.csv.header.data_start, scan.thread_count_option,
                      scan.delimiter));
  return runChunkWorkers<DistinctKeyWorker>(
      plan, [&](KeyWorker& w) -> Error { return scanKeyRange(scan, *keys_out, w); },
      [&](std::span<KeyWorker> workers) -> Error {
        TAVIX_TRY(firstWorkerError<KeyWorker>(workers));
        for (KeyWorker& w : workers) {
          Error error = Error::ok;
          w.local.keys.forEach([&](std::string_view key, uint64_t hash) {
            if (error == Error::ok) error = keys_out->insert(key, hash);
          });
          TAVIX_TRY(error);
          w.local.keys.release(cAllocator());
          w.local.arena.reset(ArenaAllocator::ResetMode::free_all);
        }
        return Error::ok;
      },
      // A pass run again after a recut starts from an empty set.
      [&]() {
        keys_out = std::make_unique<ShardedStringSet>();
        return keys_out->init();
      });
}

Error writeDistinctKeys(const ParsedQuery& query, const ShardedStringSet& set, size_t key_count,
                        ResultWriter& writer) {
  std::vector<GroupSortEntry<const void>> entries;
  entries.reserve(set.size());
  set.forEach([&](std::string_view key) {
    entries.push_back(makeGroupSortEntry<const void>(key, nullptr));
  });
  sortGroupEntries(entries);
  GroupedRows rows(query, {});
  std::vector<FieldSlice> parts(key_count);
  ArenaAllocator scratch;  // parts that held a 0x00 byte, decoded
  for (const auto& entry : entries) {
    if (rows.full()) break;
    scratch.reset();
    TAVIX_TRY(splitCompositeKey(entry.key, key_count, parts.data(), scratch));
    TAVIX_TRY(rows.offer(writer, parts, parts));
  }
  return rows.finish(writer);
}

}  // namespace tavix
