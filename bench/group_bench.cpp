// Throughput of the grouping executor, against the cost of
// reading the same file.
//
//   group_bench <path> [runs=5] [threads=1]
//
// The file has the columns id, name, category, price, qty, ts (the peer
// benchmark's data: /work/peers-bench/data/t256m.csv and t1g.csv, about
// 450,000 distinct names and 20 categories). Measured in one run, each as
// the median of `runs`:
//   floor   map the file and count its line ends with memchr, on `threads`;
//   cut     find every record end and cut every record into its fields, the
//           per-record work every grouping scan does before its key;
//   low     SELECT category, count(*), sum(price) ... GROUP BY category;
//   high    SELECT name, count(*) ... GROUP BY name.
// Each figure is printed with GB/s over the file size and its ratio to the
// floor. The executor is called directly with `threads` threads (the floor
// then maps the file and counts line ends on as many threads; the grouping
// runs on worker threads for files past 10 MiB); the result goes to a
// scratch file in /tmp.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "engine/csv/csv_records.h"
#include "exec/group/group_by.h"
#include "platform/platform.h"
#include "sql/statement_parser.h"

namespace {

using namespace tavix;

using tavix::bench::median;
using tavix::bench::seconds;

// Calls `body(view)` on a fresh read-only mapping of the file.
void withMapping(const char* path, const std::function<void(const platform::MappedView&)>& body) {
  platform::File f;
  if (platform::openForReading(path, f) != Error::ok) std::abort();
  uint64_t size = 0;
  if (platform::fileSize(f, size) != Error::ok) std::abort();
  platform::MappedView view;
  if (platform::mapFileReadOnly(f, size, view) != Error::ok) std::abort();
  body(view);
  platform::closeFile(f);
}

uint64_t g_sink = 0;  // keeps the measured loops from being optimised away
uint64_t g_threads = 1;

double cutSeconds(const char* path) {
  return seconds([&] {
    withMapping(path, [](const platform::MappedView& view) {
      const char* data = view.data();
      const size_t size = view.size();
      FieldSlice fields[kMaxRecordFields];
      uint64_t n = 0;
      for (size_t pos = 0; pos < size;) {
        const RecordEnd e = findRecordEnd(data, size, pos, ',');
        const size_t stop = e.found ? e.position : size;
        n += splitCsvRecord(data + pos, stop - pos, fields, kMaxRecordFields, ',').count;
        pos = e.found ? e.position + 1 : size;
      }
      g_sink += n;
    });
  });
}

double querySeconds(const std::string& sql) {
  QueryOptions options;
  options.thread_count = g_threads;
  return tavix::bench::statementSeconds(sql, [&](const ParsedQuery& query, const ResultFile& result) {
    return runGroupByQuery(query, result, options, PreopenedSource{});
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: group_bench <path> [runs=5] [threads=1]\n");
    return 2;
  }
  const char* path = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  g_threads = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
  uint64_t size = 0;
  withMapping(path, [&](const platform::MappedView& view) { size = view.size(); });
  const std::string file = std::string("'") + path + "'";

  struct Measure {
    const char* label;
    std::function<double()> once;
  };
  const std::vector<Measure> measures = {
      {"floor: mmap + memchr LF count", [&] { return tavix::bench::floorSeconds(path, static_cast<unsigned>(g_threads)); }},
      {"cut: record ends + fields", [&] { return cutSeconds(path); }},
      {"GROUP BY category: count(*), sum(price)",
       [&] {
         return querySeconds("SELECT category, count(*), sum(price) FROM " + file +
                             " GROUP BY category");
       }},
      {"GROUP BY name: count(*)",
       [&] { return querySeconds("SELECT name, count(*) FROM " + file + " GROUP BY name"); }},
  };
  std::printf("%-34s %7llu thr %9s %7s %8s\n", "", static_cast<unsigned long long>(g_threads),
              "median s", "GB/s", "x floor");
  double floor = 0;
  for (const Measure& m : measures) {
    m.once();  // warms the page cache and the allocator
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) times.push_back(m.once());
    const double t = median(times);
    if (floor == 0) floor = t;
    std::printf("%-42s %9.4f %7.2f %8.2f\n", m.label, t, static_cast<double>(size) / t / 1e9,
                t / floor);
  }
  return g_sink == 42 ? 1 : 0;
}
