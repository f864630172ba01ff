// End-to-end throughput of the streaming scan: a generated CSV file of
// exactly 5 MiB (the largest size the streaming executor answers) queried
// through the exported function, for a filtered scan, a sorted query with a
// small LIMIT (the top-N heap) and a full sort of every row. Reports rows/s
// and bytes/s of input; the result text is part of the cost, as for a real
// caller. The query runs on the library's own worker thread, so rates are
// taken over wall-clock time. The file and the TEMP directory live under the
// system temporary directory and are removed at exit.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/sequences.h"
#include "tavix.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kInputBytes = size_t{5} << 20;

using tavix::test::Lcg;

struct Fixture {
  fs::path dir;
  fs::path file;
  uint64_t rows = 0;

  Fixture() {
    dir = fs::temp_directory_path() / ("tavix_scan_bench_" + std::to_string(getpid()));
    fs::create_directories(dir / "temp");
    setenv("TEMP", (dir / "temp").c_str(), 1);
    file = dir / "items.csv";
    static const char* const kCities[] = {"oslo", "rome", "lima", "kyiv", "pune", "nice"};
    Lcg rng;
    std::string s = "id,name,city,price,qty\n";
    s.reserve(kInputBytes);
    // Rows are at most 48 bytes; the last one is padded to the exact size.
    for (uint64_t id = 1; s.size() + 96 < kInputBytes; ++id) {
      const uint32_t r = rng.next();
      s += std::to_string(id) + ",item" + std::to_string(r % 100000) + "," + kCities[r % 6] +
           "," + std::to_string(rng.next() % 1000) + "." + std::to_string(r % 100) + "," +
           std::to_string((r >> 8) % 50) + "\n";
      ++rows;
    }
    const size_t pad = kInputBytes - s.size() - std::string("0,,x,1,1\n").size();
    s += "0," + std::string(pad, 'p') + ",x,1,1\n";
    ++rows;
    std::ofstream(file, std::ios::binary) << s;
  }
  ~Fixture() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void runQuery(benchmark::State& state, const std::string& tail) {
  Fixture& f = fixture();
  const std::string sql = "SELECT * FROM '" + f.file.string() + "' " + tail;
  for (auto _ : state) {
    char* out = nullptr;
    const int rc = tavix_query_csv(sql.c_str(), &out);
    if (rc != 0) {
      state.SkipWithError(rc == 1 ? out : "out of memory");
      if (rc == 1) tavix_free(out);
      break;
    }
    benchmark::DoNotOptimize(out);
    tavix_free(out);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.rows));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kInputBytes));
}

void BM_FilteredScan(benchmark::State& state) { runQuery(state, "WHERE price > 900"); }
void BM_SortedLimit(benchmark::State& state) { runQuery(state, "ORDER BY price DESC LIMIT 10"); }
void BM_FullSort(benchmark::State& state) { runQuery(state, "ORDER BY name"); }

BENCHMARK(BM_FilteredScan)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SortedLimit)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FullSort)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
