// Timing helpers of the benchmarks: wall time of a call, the median of runs,
// and the floor of a file scan (map the file and count its line ends with
// memchr on a given number of threads), measured in the same run as the
// figures it is compared with.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "exec/executor.h"
#include "platform/platform.h"
#include "sql/statement_parser.h"

namespace tavix::bench {

inline double seconds(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// `threads` threads map the file and count its LFs with memchr.
inline double floorSeconds(const char* path, unsigned threads = 8) {
  return seconds([&] {
    platform::File f;
    if (platform::openForReading(path, f) != Error::ok) std::abort();
    uint64_t size = 0;
    if (platform::fileSize(f, size) != Error::ok) std::abort();
    platform::MappedView view;
    if (platform::mapFileReadOnly(f, size, view) != Error::ok) std::abort();
    std::vector<std::thread> workers;
    std::vector<uint64_t> counts(threads);
    for (unsigned t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        const char* p = view.data() + size * t / threads;
        const char* end = view.data() + size * (t + 1) / threads;
        uint64_t n = 0;
        while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) != nullptr) {
          ++n;
          ++p;
        }
        counts[t] = n;
      });
    }
    for (auto& w : workers) w.join();
    platform::closeFile(f);
    if (counts[0] == UINT64_MAX) std::abort();
  });
}

// One thread reads the file through a 2 MiB buffer, as the buffered CSV
// reader does, and counts its LFs with memchr.
inline double readFloorSeconds(const char* path) {
  return seconds([&] {
    platform::File f;
    if (platform::openForReading(path, f) != Error::ok) std::abort();
    std::vector<char> buffer(size_t{2} << 20);
    uint64_t n = 0;
    for (;;) {
      size_t got = 0;
      if (platform::readSome(f, buffer.data(), buffer.size(), got) != Error::ok) std::abort();
      if (got == 0) break;
      const char* p = buffer.data();
      const char* end = p + got;
      while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) != nullptr) {
        ++n;
        ++p;
      }
    }
    platform::closeFile(f);
    if (n == UINT64_MAX) std::abort();
  });
}

// Parses `sql`, runs `run(query, ResultFile)` once with the result going to
// a scratch file in /tmp (deleted afterwards) and returns the wall time of
// the call; an error is printed with the statement.
template <typename Run>
double statementSeconds(const std::string& sql, Run&& run) {
  ParsedQuery query;
  if (parseQuery(sql, query) != Error::ok) std::abort();
  const std::string out_path =
      "/tmp/tavix_bench_" + std::to_string(static_cast<long long>(platform::nowNanoseconds()));
  platform::File output;
  if (platform::createExclusive(out_path, output) != Error::ok) std::abort();
  Error e = Error::ok;
  const double s = seconds([&] { e = run(query, ResultFile{output}); });
  if (e != Error::ok) std::fprintf(stderr, "error %s: %s\n", std::string(errorName(e)).c_str(), sql.c_str());
  platform::closeFile(output);
  TAVIX_IGNORE_ERROR(platform::deleteFile(out_path));
  return s;
}

}  // namespace tavix::bench
