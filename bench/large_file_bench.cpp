// Throughput of the executors for large files, against the machine's floor.
//
//   large_file_bench generate <path> [MiB=256] [quoted|lowcard]
//   large_file_bench run <path> [runs=5] [lowcard-path]
//   large_file_bench shape <path> <shape 0..5> <threads> [runs=5] [lowcard-path|-] [streaming]
//
// `generate` writes a deterministic CSV file: id, name (text), category (six
// values), price (decimal), qty (integer), ts (timestamp); `quoted` adds a
// note column whose every 10th value is quoted and holds a comma and a line
// end; `lowcard` writes only 64 distinct rows, repeated, for DISTINCT.
//
// `run` times each query shape with the executor the driver would choose
// (and with the streaming executor on the same file), printing the median
// over the runs, GB/s over the file size and the ratio to the floor: the time
// 8 threads take to map the file and count its line ends with memchr,
// measured in the same run. Executors are called directly so that the thread
// count can be set; the result goes to a scratch file in /tmp.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench_timing.h"
#include "exec/scan/scan_executors.h"
#include "platform/platform.h"
#include "sql/statement_parser.h"
#include "support/sequences.h"

namespace {

using namespace tavix;

using tavix::bench::floorSeconds;
using tavix::bench::median;
using tavix::bench::seconds;
using tavix::test::Sequence;

int generate(const char* path, uint64_t mib, const std::string& variant) {
  static const char* kCategories[] = {"tools", "books", "food", "toys", "garden", "music"};
  const uint64_t bytes = mib << 20;
  const bool quoted = variant == "quoted";
  const bool lowcard = variant == "lowcard";
  std::ofstream out(path, std::ios::binary);
  std::string block = quoted ? "id,name,category,price,qty,ts,note\n" : "id,name,category,price,qty,ts\n";
  uint64_t written = 0;
  Sequence seq{42};
  char row[256];
  for (uint64_t id = 1; written + block.size() < bytes; ++id) {
    const uint64_t r = lowcard ? Sequence{id % 64}.next() : seq.next();
    const uint64_t shown_id = lowcard ? id % 64 : id;
    int n = std::snprintf(row, sizeof row, "%llu,item%llu,%s,%llu.%02llu,%llu,2024-%02llu-%02llu %02llu:%02llu:%02llu",
                          static_cast<unsigned long long>(shown_id),
                          static_cast<unsigned long long>(r % 100000), kCategories[(r >> 17) % 6],
                          static_cast<unsigned long long>((r >> 20) % 1000),
                          static_cast<unsigned long long>((r >> 30) % 100),
                          static_cast<unsigned long long>((r >> 37) % 50),
                          static_cast<unsigned long long>(1 + (r >> 43) % 12),
                          static_cast<unsigned long long>(1 + (r >> 47) % 28),
                          static_cast<unsigned long long>((r >> 52) % 24),
                          static_cast<unsigned long long>((r >> 56) % 60),
                          static_cast<unsigned long long>((r >> 58) % 60));
    block.append(row, static_cast<size_t>(n));
    if (quoted) block += id % 10 == 0 ? ",\"note, with comma\nand a second line\"" : ",plain note";
    block += '\n';
    if (block.size() >= (1u << 20)) {
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
      written += block.size();
      block.clear();
    }
  }
  out.write(block.data(), static_cast<std::streamsize>(block.size()));
  return 0;
}

using ExecutorFn = Error (*)(const ParsedQuery&, const InputFile&, const ResultFile&, const QueryOptions&);

double runOnce(ExecutorFn executor, const std::string& sql, const char* path, uint64_t threads) {
  ParsedQuery query;
  if (parseQuery(sql, query) != Error::ok) std::abort();
  platform::File input;
  if (platform::openForReading(path, input) != Error::ok) std::abort();
  const std::string out_path = "/tmp/tavix_bench_" + std::to_string(static_cast<long long>(platform::nowNanoseconds()));
  platform::File output;
  if (platform::createExclusive(out_path, output) != Error::ok) std::abort();
  QueryOptions options;
  options.thread_count = threads;
  Error e = Error::ok;
  const double s = seconds([&] { e = executor(query, InputFile{input}, ResultFile{output}, options); });
  if (e != Error::ok) std::fprintf(stderr, "error %s: %s\n", std::string(errorName(e)).c_str(), sql.c_str());
  platform::closeFile(output);
  platform::closeFile(input);
  TAVIX_IGNORE_ERROR(platform::deleteFile(out_path));
  return s;
}

struct Shape {
  const char* label;
  std::string sql;
  ExecutorFn executor;
  const char* name;
  const char* target;  // for lowcard
};

std::vector<Shape> shapeTable(const char* path, const char* lowcard_path) {
  const std::string file = std::string("'") + path + "'";
  const std::string low = lowcard_path ? std::string("'") + lowcard_path + "'" : file;
  return {
      {"SELECT * WHERE price > 999.5", "SELECT * FROM " + file + " WHERE price > 999.5",
       runParallelMappedQuery, "par-map", path},
      {"SELECT id, name, category WHERE name LIKE 'item9999%'",
       "SELECT id, name, category FROM " + file + " WHERE name LIKE 'item9999%'", runParallelMappedQuery,
       "par-map", path},
      {"SELECT * ORDER BY price DESC LIMIT 10", "SELECT * FROM " + file + " ORDER BY price DESC LIMIT 10",
       runParallelMappedQuery, "par-map", path},
      {"SELECT id, price ORDER BY price (full sort)", "SELECT id, price FROM " + file + " ORDER BY price",
       runParallelMappedQuery, "par-map", path},
      {"SELECT DISTINCT * (low cardinality)", "SELECT DISTINCT * FROM " + low, runParallelMappedQuery,
       "par-map", lowcard_path ? lowcard_path : path},
      {"SELECT upper(name), round(price, 1), qty WHERE qty < 2",
       "SELECT upper(name), round(price, 1), qty FROM " + file + " WHERE qty < 2", runParallelExprQuery,
       "par-expr", path},
  };
}

// Runs one shape (by its position in the table of `run`) on `threads`
// threads with the executor the driver would choose, or with the streaming
// executor, for profiling; prints the median and the fastest wall time and
// the median CPU time of the process (all threads), which on a shared
// machine tells work from waiting.
int runShape(const char* path, size_t shape_index, uint64_t threads, int runs, const char* lowcard_path,
             bool streaming) {
  const std::vector<Shape> shapes = shapeTable(path, lowcard_path);
  if (shape_index >= shapes.size()) return 2;
  const Shape& shape = shapes[shape_index];
  const ExecutorFn executor = streaming ? runStreamingQuery : shape.executor;
  std::vector<double> walls;
  std::vector<double> cpus;
  for (int i = 0; i < runs; ++i) {
    const std::clock_t c0 = std::clock();
    walls.push_back(runOnce(executor, shape.sql, shape.target, threads));
    cpus.push_back(static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC);
  }
  const double fastest = *std::min_element(walls.begin(), walls.end());
  std::printf("%s, %s, %llu threads: wall %.4f s (fastest %.4f s), cpu %.4f s\n", shape.label,
              streaming ? "streaming" : shape.name, static_cast<unsigned long long>(threads),
              median(walls), fastest, median(cpus));
  return 0;
}

int run(const char* path, int runs, const char* lowcard_path) {
  platform::File f;
  if (platform::openForReading(path, f) != Error::ok) return 1;
  uint64_t size = 0;
  TAVIX_IGNORE_ERROR(platform::fileSize(f, size));
  platform::closeFile(f);
  const std::string file = std::string("'") + path + "'";

  std::vector<double> floors;
  for (int i = 0; i < runs; ++i) floors.push_back(floorSeconds(path));
  const double floor = median(floors);
  std::printf("file %s, %.1f MiB; floor (8 threads, mmap + memchr LF count): %.4f s, %.2f GB/s\n\n", path,
              size / 1048576.0, floor, size / floor / 1e9);
  std::printf("%-62s %-9s %4s %9s %7s %8s\n", "shape", "executor", "thr", "median s", "GB/s", "x floor");

  const std::vector<Shape> shapes = shapeTable(path, lowcard_path);
  for (const Shape& shape : shapes) {
    for (int pass = 0; pass < 2; ++pass) {
      const ExecutorFn fn = pass == 0 ? shape.executor : runStreamingQuery;
      std::vector<double> times;
      for (int i = 0; i < runs; ++i) times.push_back(runOnce(fn, shape.sql, shape.target, 8));
      const double m = median(times);
      uint64_t target_size = size;
      if (shape.target != path) {
        platform::File g;
        if (platform::openForReading(shape.target, g) == Error::ok) {
          TAVIX_IGNORE_ERROR(platform::fileSize(g, target_size));
          platform::closeFile(g);
        }
      }
      std::printf("%-62s %-9s %4d %9.4f %7.2f %8.2f\n", shape.label, pass == 0 ? shape.name : "streaming",
                  pass == 0 ? 8 : 1, m, target_size / m / 1e9, m / floor * (double)size / (double)target_size);
    }
  }
  std::printf("\nscaling: SELECT * WHERE price > 999.5\n");
  double one = 0;
  for (uint64_t threads : {1, 2, 4, 8}) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) times.push_back(runOnce(runParallelMappedQuery, shapes[0].sql, path, threads));
    const double m = median(times);
    if (threads == 1) one = m;
    std::printf("  %llu threads: %.4f s, %.2f GB/s, speed-up %.2f\n", static_cast<unsigned long long>(threads),
                m, size / m / 1e9, one / m);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "generate") == 0) {
    return generate(argv[2], argc >= 4 ? std::strtoull(argv[3], nullptr, 10) : 256,
                    argc >= 5 ? argv[4] : "");
  }
  if (argc >= 5 && std::strcmp(argv[1], "shape") == 0) {
    return runShape(argv[2], std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10),
                    argc >= 6 ? std::atoi(argv[5]) : 5,
                    argc >= 7 && std::strcmp(argv[6], "-") != 0 ? argv[6] : nullptr,
                    argc >= 8 && std::strcmp(argv[7], "streaming") == 0);
  }
  if (argc >= 3 && std::strcmp(argv[1], "run") == 0) {
    return run(argv[2], argc >= 4 ? std::atoi(argv[3]) : 5, argc >= 5 ? argv[4] : nullptr);
  }
  std::fprintf(stderr,
               "usage: large_file_bench generate <path> [MiB] [quoted|lowcard]\n"
               "       large_file_bench run <path> [runs] [lowcard-path]\n"
               "       large_file_bench shape <path> <shape> <threads> [runs] [lowcard-path|-] [streaming]\n");
  return 2;
}
