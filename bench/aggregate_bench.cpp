// Throughput of the whole-table aggregating executor, against the floor.
//
//   aggregate_bench <path> [runs=5] [threads=8]
//
// The file has the columns id, name, category, price, qty, ts (the peer
// benchmark's data: /work/peers-bench/data/t256m.csv and t1g.csv). Measured
// in one run, each as the median of `runs`: the floor (`threads` threads map
// the file and count its line ends with memchr), then each aggregate shape
// on `threads` threads and on one, with GB/s over the file size and the
// ratio to the floor. The executor is called directly so that the thread
// count can be set; the result goes to a scratch file in /tmp.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "exec/aggregate/global_aggregate.h"
#include "platform/platform.h"
#include "sql/statement_parser.h"

namespace {

using namespace tavix;

using tavix::bench::median;
using tavix::bench::seconds;

double querySeconds(const std::string& sql, uint64_t threads) {
  QueryOptions options;
  options.thread_count = threads;
  return tavix::bench::statementSeconds(sql, [&](const ParsedQuery& query, const ResultFile& result) {
    return runGlobalAggregateQuery(query, result, options, PreopenedSource{});
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: aggregate_bench <path> [runs=5] [threads=8]\n");
    return 2;
  }
  const char* path = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const unsigned threads = argc > 3 ? static_cast<unsigned>(std::max(1, std::atoi(argv[3]))) : 8;
  platform::File f;
  uint64_t size = 0;
  if (platform::openForReading(path, f) != Error::ok || platform::fileSize(f, size) != Error::ok) return 1;
  platform::closeFile(f);
  const std::string file = std::string("'") + path + "'";

  struct Measure {
    std::string label;
    std::function<double()> once;
  };
  std::vector<Measure> measures = {
      {"floor: mmap + memchr LF count", [&] { return tavix::bench::floorSeconds(path, threads); }}};
  const char* kShapes[][2] = {
      {"count(*)", "SELECT count(*) FROM "},
      {"sum(price), avg(qty), min(price), max(price)",
       "SELECT sum(price), avg(qty), min(price), max(price) FROM "},
      {"count(DISTINCT name)", "SELECT count(DISTINCT name) FROM "},
      {"median(price)", "SELECT median(price) FROM "},
  };
  for (const auto& shape : kShapes) {
    for (unsigned t : {threads, 1u}) {
      const std::string sql = std::string(shape[1]) + file;
      measures.push_back({std::string(shape[0]) + ", " + std::to_string(t) + " thr",
                          [sql, t] { return querySeconds(sql, t); }});
    }
  }
  std::printf("%-54s %9s %7s %8s\n", "shape", "median s", "GB/s", "x floor");
  double floor = 0;
  for (const Measure& m : measures) {
    m.once();  // warms the page cache and the allocator
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) times.push_back(m.once());
    const double t = median(times);
    if (floor == 0) floor = t;
    std::printf("%-54s %9.4f %7.2f %8.2f\n", m.label.c_str(), t, static_cast<double>(size) / t / 1e9,
                t / floor);
  }
  return 0;
}
