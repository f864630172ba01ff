#include "engine/csv/scan_ranges.h"

#include <memory>

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/csv/csv_records.h"
#include "platform/platform.h"

namespace tavix {

namespace {

// The frame both cutters share: [start, length) in `n` ranges whose nominal
// cut offsets are start + k * ((length - start) / n), k = 1..n-1.
// `prepare(start, step)` runs once before the cuts when there are any; cut k
// is `cut_at(k, nominal)`, or the previous cut when that lies past the
// nominal offset (it is then also the first candidate at or after it).
// Returns the error of `prepare` or OutOfMemory, with `out` empty.
template <typename Prepare, typename CutAt>
Error cutRanges(uint64_t length, uint64_t start, size_t n, std::vector<ScanRange>& out,
                Prepare&& prepare, CutAt&& cut_at) noexcept {
  try {
    out.clear();
    if (n == 0) return Error::ok;
    start = std::min(start, length);
    out.resize(n);
    const uint64_t step = (length - start) / n;
    if (n > 1) {
      if (const Error e = prepare(start, step); e != Error::ok) {
        out.clear();
        return e;
      }
    }
    uint64_t previous = start;
    for (size_t k = 1; k < n; ++k) {
      const uint64_t nominal = start + k * step;
      const uint64_t cut = nominal >= previous ? cut_at(k, nominal) : previous;
      out[k - 1].end = cut;
      out[k].start = cut;
      previous = cut;
    }
    out[0].start = start;
    out[n - 1].end = length;
    return Error::ok;
  } catch (const std::bad_alloc&) {
    out.clear();
    return Error::OutOfMemory;
  }
}

}  // namespace

namespace {

// Inputs at least this large have their quote state summarised on helper
// threads; below it one pass on the calling thread is quicker than starting
// threads.
constexpr size_t kParallelSummaryMinBytes = size_t{16} << 20;
// Each helper gets at least this much data.
constexpr size_t kSummaryBytesPerHelper = size_t{4} << 20;

// The record machine's states at the cut points of a group of consecutive
// segments, for every state the group may be entered in. Segment i is
// [points[i-1], points[i]); the group covers segments first..last.
struct SegmentGroupTrace {
  const char* data = nullptr;
  const uint64_t* points = nullptr;
  size_t first = 0;
  size_t last = 0;
  char delimiter = ',';
  // at[s][i - first]: state at points[i] when the group is entered in state s.
  std::vector<RecordScanState> at[kRecordScanStateCount];
};

void traceSegmentGroup(SegmentGroupTrace& g) noexcept {
  RecordScanState current[kRecordScanStateCount] = {RecordScanState::at_field_start,
                                                     RecordScanState::in_field,
                                                     RecordScanState::in_quotes};
  for (size_t i = g.first; i <= g.last; ++i) {
    const uint64_t begin = g.points[i - 1];
    const uint64_t end = g.points[i];
    RecordScanState next[kRecordScanStateCount];
    for (size_t s = 0; s < kRecordScanStateCount; ++s) {
      // Trajectories that have met stay together: reuse the walk.
      size_t same = s;
      for (size_t t = 0; t < s; ++t) {
        if (current[t] == current[s]) {
          same = t;
          break;
        }
      }
      next[s] = same != s ? next[same]
                          : advanceRecordScanState(g.data, begin, end, current[s], g.delimiter);
    }
    for (size_t s = 0; s < kRecordScanStateCount; ++s) {
      current[s] = next[s];
      g.at[s][i - g.first] = next[s];
    }
  }
}

void traceSegmentGroupWorkerMain(void* arg, size_t h) {
  traceSegmentGroup((*static_cast<std::vector<SegmentGroupTrace>*>(arg))[h]);
}

// Fills states[i] (i = 1..m) with the machine's state at points[i] in a
// sequential read from points[0]; states[0] is at_field_start. Returns the
// start error of a helper thread.
Error traceCutStates(const char* data, const std::vector<uint64_t>& points, char delimiter,
                     std::vector<RecordScanState>& states) {
  const size_t m = points.size() - 1;
  states[0] = RecordScanState::at_field_start;
  const uint64_t total = points[m] - points[0];
  size_t helpers = std::min<size_t>(m, platform::processorCount());
  helpers = std::min<size_t>(helpers, total / kSummaryBytesPerHelper);
  if (total < kParallelSummaryMinBytes || helpers < 2) {
    for (size_t i = 1; i <= m; ++i)
      states[i] = advanceRecordScanState(data, points[i - 1], points[i], states[i - 1], delimiter);
    return Error::ok;
  }

  std::vector<SegmentGroupTrace> groups(helpers);
  for (size_t h = 0; h < helpers; ++h) {
    SegmentGroupTrace& g = groups[h];
    g.data = data;
    g.points = points.data();
    g.first = 1 + h * m / helpers;
    g.last = (h + 1) * m / helpers;
    g.delimiter = delimiter;
    for (auto& at : g.at) at.resize(g.last - g.first + 1);
  }
  size_t started = 0;
  TAVIX_TRY(platform::runThreads(helpers, platform::kWorkerThreadStack, traceSegmentGroupWorkerMain,
                                 &groups, started));

  // Chain the groups in order: each is entered in the state the previous one
  // left, which picks one of its traced trajectories.
  RecordScanState entry = RecordScanState::at_field_start;
  for (const SegmentGroupTrace& g : groups) {
    const std::vector<RecordScanState>& path = g.at[static_cast<size_t>(entry)];
    for (size_t i = g.first; i <= g.last; ++i) states[i] = path[i - g.first];
    entry = path.back();
  }
  return Error::ok;
}

}  // namespace

Error splitIntoScanRanges(std::string_view data, uint64_t start, size_t n, char delimiter,
                          std::vector<ScanRange>& out) noexcept {
  // states[k]: the record machine's state at the nominal offset of cut k in
  // a sequential read from the start.
  std::vector<uint64_t> points;
  std::vector<RecordScanState> states;
  return cutRanges(
      data.size(), start, n, out,
      [&](uint64_t from, uint64_t step) {
        points.resize(n);
        for (size_t k = 0; k < n; ++k) points[k] = from + k * step;
        states.resize(n);
        return traceCutStates(data.data(), points, delimiter, states);
      },
      [&](size_t k, uint64_t nominal) {
        RecordScanState state = states[k];
        const RecordEnd end = scanToRecordEnd(data.data(), data.size(), nominal, state, delimiter);
        return end.found ? end.position + 1 : data.size();
      });
}

namespace {

// How far the cut search looks back for the start of a line, and how many
// line ends it tries, before it settles for the first line end.
constexpr size_t kCutLookBackBytes = size_t{64} << 10;
constexpr int kCutCandidates = 64;

inline bool holdsQuote(const char* from, const char* to) noexcept {
  return from < to && std::memchr(from, '"', static_cast<size_t>(to - from)) != nullptr;
}

// One past the line end at or after `from` that most likely ends a record:
// the first one whose line before and line after hold no quote (an LF with
// quote-free lines on both sides lies inside a quoted field only when that
// field spans three lines or more), or, when none of the first candidates
// is such, the first one; `length` when there is no line end. For input
// without quotes this is the first line end at or after `from`. `settled`,
// when given, tells whether the cut is such a line end whose two lines lie
// wholly in [0, length) (each has an LF at both ends there), so that a wider
// view around it gives the same cut.
uint64_t likelyRecordCut(const char* data, uint64_t length, uint64_t from,
                         bool* settled = nullptr) noexcept {
  auto lineEndFrom = [&](uint64_t at) -> uint64_t {
    const void* lf = at < length ? std::memchr(data + at, '\n', length - at) : nullptr;
    return lf != nullptr ? static_cast<uint64_t>(static_cast<const char*>(lf) - data) : length;
  };
  if (settled != nullptr) *settled = false;
  const uint64_t first = lineEndFrom(from);
  uint64_t lf = first;
  for (int tries = 0; tries < kCutCandidates && lf < length; ++tries) {
    const uint64_t next = lineEndFrom(lf + 1);
    const uint64_t floor = lf > kCutLookBackBytes ? lf - kCutLookBackBytes : 0;
    uint64_t line_start = lf;
    while (line_start > floor && data[line_start - 1] != '\n') --line_start;
    const bool start_known = line_start > floor || floor == 0;
    if (start_known && !holdsQuote(data + line_start, data + lf) &&
        !holdsQuote(data + lf + 1, data + next)) {
      if (settled != nullptr) *settled = line_start > 0 && next < length;
      return lf + 1;
    }
    lf = next;
  }
  return first < length ? first + 1 : length;
}

}  // namespace

Error subdivideRangesAtLineEnds(platform::File file, std::span<const ScanRange> ranges,
                                uint64_t block_bytes, std::vector<ScanRange>& out) noexcept {
  // The bytes around a nominal cut: the look-back before it and as much
  // after it, so the first candidates are in view. A few KiB around it are
  // read first, which settles the cut for lines of ordinary length; only a
  // cut they do not settle reads the whole view. The cuts are read one after
  // the other before any worker starts, so each read's size counts.
  constexpr uint64_t kBefore = uint64_t{16} << 10;
  constexpr uint64_t kAfter = uint64_t{48} << 10;
  constexpr uint64_t kNearBefore = uint64_t{1} << 10;
  constexpr uint64_t kNearAfter = uint64_t{3} << 10;
  out.clear();
  std::unique_ptr<char[]> window(new (std::nothrow) char[kBefore + kAfter]);
  if (window == nullptr) return Error::OutOfMemory;
  try {
    for (const ScanRange& range : ranges) {
      uint64_t start = range.start;
      for (uint64_t nominal = start + block_bytes; block_bytes > 0 && nominal < range.end;
           nominal += block_bytes) {
        if (nominal <= start) continue;
        uint64_t from = std::max(start, nominal - std::min(nominal, kNearBefore));
        uint64_t to = std::min(range.end, nominal + kNearAfter);
        size_t got = 0;
        TAVIX_TRY(platform::readAt(file, from, window.get(), static_cast<size_t>(to - from), got));
        bool settled = false;
        uint64_t cut = likelyRecordCut(window.get(), got, nominal - from, &settled);
        if (!settled) {
          from = std::max(start, nominal - std::min(nominal, kBefore));
          to = std::min(range.end, nominal + kAfter);
          TAVIX_TRY(platform::readAt(file, from, window.get(), static_cast<size_t>(to - from), got));
          cut = likelyRecordCut(window.get(), got, nominal - from);
        }
        // No line end in view, or the last one ends the range: no cut here.
        if (cut >= got || from + cut >= range.end) continue;
        out.push_back(ScanRange{start, from + cut});
        start = from + cut;
      }
      out.push_back(ScanRange{start, range.end});
    }
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
  return Error::ok;
}

Error cutRangesAtLineEnds(std::string_view data, uint64_t start, size_t n,
                          std::vector<ScanRange>& out) noexcept {
  return cutRanges(
      data.size(), start, n, out, [](uint64_t, uint64_t) { return Error::ok; },
      [&](size_t, uint64_t nominal) { return likelyRecordCut(data.data(), data.size(), nominal); });
}

}  // namespace tavix
