// Throughput of the join executor and of joins that feed GROUP BY, against
// a plain scan of the same file and the machine's floor.
//
//   join_bench <big.csv> <dim.csv> [runs=3]
//
// The big file is the benchmark's generated table (id, name, category,
// price, qty, ts) and the dimension table maps its categories to labels
// (category, label). Printed, each the median over the runs, with GB/s over
// the big file's size and the ratio to the one-thread floor measured in the
// same run:
//   - the floors: one thread reads the file through a 2 MiB buffer and
//     counts its LFs (the ratio's base); one and eight threads map it and
//     count its LFs;
//   - a plain scan with a selective WHERE, one thread (streaming executor);
//   - a plain join with the same selective WHERE, and the first pass of a
//     join feeding GROUP BY (the joined rows of the two columns the second
//     pass reads, written to a scratch file), each on 1, 2, 4 and 8 threads
//     (one thread: the sequential loop; more: the worker threads);
//   - the whole statement through the exported CSV function (the second
//     pass is the grouping executor, with its own worker threads).
// Results go to scratch files in /tmp, removed afterwards.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "exec/join/join.h"
#include "exec/scan/scan_executors.h"
#include "platform/platform.h"
#include "sql/statement_parser.h"
#include "tavix.h"

namespace {

using namespace tavix;
using tavix::bench::floorSeconds;
using tavix::bench::median;
using tavix::bench::seconds;
using tavix::bench::statementSeconds;

double timeExported(const std::string& sql) {
  char* out = nullptr;
  int rc = 0;
  const double s = seconds([&] { rc = tavix_query_csv(sql.c_str(), &out); });
  if (rc != 0) std::fprintf(stderr, "%s: %s\n", out != nullptr ? out : "rc 2", sql.c_str());
  tavix_free(out);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: join_bench <big.csv> <dim.csv> [runs=3]\n");
    return 2;
  }
  const char* path = argv[1];
  const std::string big = std::string("'") + path + "'";
  const std::string dim = std::string("'") + argv[2] + "'";
  const int runs = argc >= 4 ? std::atoi(argv[3]) : 3;

  platform::File f;
  if (platform::openForReading(path, f) != Error::ok) return 1;
  uint64_t size = 0;
  TAVIX_IGNORE_ERROR(platform::fileSize(f, size));
  platform::closeFile(f);

  const auto measure = [&](const std::function<double()>& once) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) times.push_back(once());
    return median(times);
  };
  const double floor1 = measure([&] { return tavix::bench::readFloorSeconds(path); });
  const double floor_map1 = measure([&] { return floorSeconds(path, 1); });
  const double floor8 = measure([&] { return floorSeconds(path, 8); });
  std::printf("file %s, %.1f MiB\n", path, size / 1048576.0);
  std::printf("%-66s %9s %7s %9s\n", "shape", "median s", "GB/s", "x floor1");
  const auto report = [&](const char* label, double s) {
    std::printf("%-66s %9.4f %7.2f %9.2f\n", label, s, size / s / 1e9, s / floor1);
  };
  report("floor, 1 thread (2 MiB reads + memchr LF count)", floor1);
  report("floor, 1 thread (mmap + memchr LF count)", floor_map1);
  report("floor, 8 threads (mmap + memchr LF count)", floor8);

  const std::string scan = "SELECT * FROM " + big + " WHERE price > 999.5";
  report("scan: SELECT * WHERE price > 999.5 (streaming)", measure([&] {
           return statementSeconds(scan, [&](const ParsedQuery& q, const ResultFile& out) {
             platform::File in;
             if (platform::openForReading(path, in) != Error::ok) std::abort();
             const Error e = runStreamingQuery(q, InputFile{in}, out, QueryOptions{});
             platform::closeFile(in);
             return e;
           });
         }));

  const std::string join = "SELECT b.id, b.price, d.label FROM " + big + " b INNER JOIN " + dim +
                           " d ON b.category = d.category WHERE b.price > 999.5";
  const std::string grouped = "SELECT d.label, count(*), sum(b.price) FROM " + big + " b INNER JOIN " +
                              dim + " d ON b.category = d.category GROUP BY d.label";
  const JoinColumnFilter staged = [](std::string_view name) { return name == "label" || name == "price"; };
  // The join executor on 1, 2, 4 and 8 threads (1: the sequential loop).
  for (uint64_t threads : {1, 2, 4, 8}) {
    QueryOptions options;
    options.thread_count = threads;
    const std::string on = ", " + std::to_string(threads) + (threads == 1 ? " thread" : " threads");
    report(("join: SELECT b.id, b.price, d.label WHERE b.price > 999.5" + on).c_str(), measure([&] {
             return statementSeconds(join, [&](const ParsedQuery& q, const ResultFile& out) {
               return runJoinQuery(q, out, options);
             });
           }));
    report(("join + GROUP BY d.label: first pass (label, price)" + on).c_str(), measure([&] {
             return statementSeconds(grouped, [&](const ParsedQuery& q, const ResultFile& out) {
               return runJoinStagingQuery(q, out, options, staged);
             });
           }));
  }
  report("join + GROUP BY d.label: whole statement", measure([&] { return timeExported(grouped); }));
  return 0;
}
