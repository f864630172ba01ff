// Throughput of record-end finding and field splitting over CSV in memory,
// the inner loop of every mapped executor. The input is generated
// deterministically (a few hundred MiB), once per process. Reports GB/s
// (10^9 bytes per second) of input walked, as the counter bytes=<n>G/s.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/csv/csv_records.h"
#include "engine/csv/scan_ranges.h"
#include "support/sequences.h"

namespace tavix {
namespace {

constexpr size_t kInputBytes = size_t{256} << 20;

using tavix::test::Lcg;

// Records of 8 fields: integers, decimals, words, a date; with `quoted`, one
// record in four also carries a quoted field with a delimiter, and one in
// sixteen a doubled quote or a line end inside quotes.
std::string makeInput(bool quoted) {
  static const char* const kWords[] = {"alpha", "bravo", "charlie", "delta", "echo",
                                       "foxtrot", "golf", "hotel", "india", "juliet"};
  Lcg rng;
  std::string s = "id,name,price,qty,city,date,flag,note\n";
  s.reserve(kInputBytes + 256);
  while (s.size() < kInputBytes) {
    const uint32_t r = rng.next();
    s += std::to_string(rng.next() % 10000000);
    s += ',';
    s += kWords[r % 10];
    s += ',';
    s += std::to_string(rng.next() % 100000) + "." + std::to_string(r % 100);
    s += ',';
    s += std::to_string(r % 1000);
    s += ',';
    s += kWords[(r >> 8) % 10];
    s += ",2024-0" + std::to_string(1 + (r >> 12) % 9) + "-1" + std::to_string((r >> 16) % 10);
    s += (r >> 20) % 2 ? ",true," : ",false,";
    if (quoted && (r >> 22) % 4 == 0) {
      s += '"';
      s += kWords[(r >> 24) % 10];
      s += ", ";
      s += kWords[(r >> 28) % 10];
      if ((r >> 26) % 4 == 0) s += (r >> 27) % 2 ? " \"\"x\"\"" : "\nmore";
      s += '"';
    } else {
      s += kWords[(r >> 24) % 10];
    }
    s += '\n';
  }
  return s;
}

const std::string& input(bool quoted) {
  static const std::string plain = makeInput(false);
  static const std::string with_quotes = makeInput(true);
  return quoted ? with_quotes : plain;
}

void setRate(benchmark::State& state, size_t bytes) {
  // Printed as bytes=<n>G/s with decimal prefixes, i.e. GB/s.
  state.counters["bytes"] = benchmark::Counter(
      static_cast<double>(bytes) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
}

void findRecordEndAndSplit(benchmark::State& state) {
  const std::string& data = input(state.range(0) != 0);
  std::vector<FieldSlice> slots(kMaxRecordFields);
  for (auto _ : state) {
    size_t fields = 0;
    for (size_t pos = 0; pos < data.size();) {
      const RecordEnd e = findRecordEnd(data.data(), data.size(), pos, ',');
      size_t end = e.found ? e.position : data.size();
      const size_t next = end + 1;
      if (end > pos && data[end - 1] == '\r') --end;
      const SplitResult r =
          splitCsvRecord(data.data() + pos, end - pos, slots.data(), slots.size(), ',');
      fields += r.count;
      benchmark::DoNotOptimize(slots.data());
      pos = next;
    }
    benchmark::DoNotOptimize(fields);
  }
  setRate(state, data.size());
}
BENCHMARK(findRecordEndAndSplit)->ArgName("quoted")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void findRecordEndOnly(benchmark::State& state) {
  const std::string& data = input(state.range(0) != 0);
  for (auto _ : state) {
    size_t records = 0;
    for (size_t pos = 0; pos < data.size(); ++records) {
      const RecordEnd e = findRecordEnd(data.data(), data.size(), pos, ',');
      pos = e.found ? e.position + 1 : data.size();
    }
    benchmark::DoNotOptimize(records);
  }
  setRate(state, data.size());
}
BENCHMARK(findRecordEndOnly)->ArgName("quoted")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void splitIntoEightRanges(benchmark::State& state) {
  const std::string& data = input(state.range(0) != 0);
  std::vector<ScanRange> ranges;
  for (auto _ : state) {
    if (splitIntoScanRanges(data, 0, 8, ',', ranges) != Error::ok) state.SkipWithError("cut");
    benchmark::DoNotOptimize(ranges.data());
  }
  setRate(state, data.size());
}
// Wall time: large inputs are traced on helper threads.
BENCHMARK(splitIntoEightRanges)
    ->ArgName("quoted")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tavix

BENCHMARK_MAIN();
