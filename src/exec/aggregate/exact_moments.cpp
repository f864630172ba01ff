#include "exec/aggregate/exact_moments.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace tavix {
namespace {

using u128 = unsigned __int128;

// Words a dense copy of any of the integers needs at render time: the sum of
// squares reaches bit 4196 plus 64 bits of count, the product of the count
// and it 64 bits more, and the quotient is taken with 4 extra words below.
constexpr size_t kDenseWords = 80;
constexpr int32_t kQuotientShiftWords = 4;
// The unit of the sum of squares, 2^-2148, as a power of two.
constexpr int kSquareUnitExponent = -2148;
// Words added on each side when a window grows, so that carries and values
// of a nearby magnitude rarely grow it again.
constexpr uint32_t kGrowthWords = 1;

// Makes `w` cover the words `first` to `last` (inclusive) without changing
// its value.
[[nodiscard]] Error cover(ExactWords& w, int32_t first, int32_t last, ArenaAllocator& arena) noexcept {
  if (w.length != 0 && first >= w.lo && last < w.lo + static_cast<int32_t>(w.length)) return Error::ok;
  if (w.length != 0 && first >= w.lo && last < w.lo + static_cast<int32_t>(w.capacity)) {
    // Room above: the unused words are zero.
    w.length = static_cast<uint16_t>(last - w.lo + 1);
    return Error::ok;
  }
  int32_t lo = first;
  int32_t hi = last;  // inclusive
  if (w.length != 0) {
    lo = std::min<int32_t>(lo, w.lo);
    hi = std::max<int32_t>(hi, w.lo + static_cast<int32_t>(w.length) - 1);
    // A window that grows keeps a word of room on the side it grew.
    if (lo < w.lo) lo = std::max(0, lo - static_cast<int32_t>(kGrowthWords));
  }
  const uint32_t length = static_cast<uint32_t>(hi - lo + 1);
  const uint32_t capacity = length + kGrowthWords;
  auto* words = static_cast<uint64_t*>(arena.alloc(capacity * sizeof(uint64_t), alignof(uint64_t)));
  if (words == nullptr) return Error::OutOfMemory;
  std::memset(words, 0, capacity * sizeof(uint64_t));
  if (w.length != 0)
    std::memcpy(words + (w.lo - lo), w.words, w.length * sizeof(uint64_t));
  w.words = words;
  w.lo = static_cast<uint16_t>(lo);
  w.length = static_cast<uint16_t>(length);
  w.capacity = static_cast<uint16_t>(capacity);
  return Error::ok;
}

// Adds `v` * 2^(64 * `word`) to `w`, `v` of `count` words (any of them may
// be zero). Returns OutOfMemory.
[[nodiscard]] Error addWords(ExactWords& w, int32_t word, const uint64_t* v, uint32_t count,
                             ArenaAllocator& arena) noexcept {
  if (count == 0) return Error::ok;
  TAVIX_TRY(cover(w, word, word + static_cast<int32_t>(count) - 1, arena));
  uint32_t k = static_cast<uint32_t>(word - w.lo);
  uint64_t carry = 0;
  for (uint32_t j = 0; j < count; ++j, ++k) {
    const u128 t = static_cast<u128>(w.words[k]) + v[j] + carry;
    w.words[k] = static_cast<uint64_t>(t);
    carry = static_cast<uint64_t>(t >> 64);
  }
  for (; carry != 0 && k < w.length; ++k) {
    w.words[k] += 1;
    carry = w.words[k] == 0 ? 1 : 0;
  }
  if (carry != 0) {
    const int32_t top = w.lo + static_cast<int32_t>(w.length);
    TAVIX_TRY(cover(w, top, top, arena));
    w.words[top - w.lo] = 1;
  }
  return Error::ok;
}

// Adds `v` * 2^`bit` (`v` below 2^128) to `w`.
[[nodiscard]] Error addShifted(ExactWords& w, u128 v, uint32_t bit, ArenaAllocator& arena) noexcept {
  const uint32_t b = bit % 64;
  const uint64_t lo = static_cast<uint64_t>(v);
  const uint64_t hi = static_cast<uint64_t>(v >> 64);
  uint64_t parts[3] = {lo << b, b == 0 ? hi : (hi << b) | (lo >> (64 - b)), b == 0 ? 0 : hi >> (64 - b)};
  uint32_t count = 3;
  while (count > 0 && parts[count - 1] == 0) --count;
  uint32_t first = 0;
  while (first < count && parts[first] == 0) ++first;
  return addWords(w, static_cast<int32_t>(bit / 64 + first), parts + first, count - first, arena);
}

// A dense copy of `w` divided by 2^(64 * base), word k holding bits
// 64 (base + k) up; `w` has no bit below word `base` (a window may begin
// lower, with zero words grown as room).
void dense(const ExactWords& w, size_t base, uint64_t* out, size_t width) noexcept {
  std::memset(out, 0, width * sizeof(uint64_t));
  for (uint32_t k = 0; k < w.length; ++k) {
    const size_t at = static_cast<size_t>(w.lo) + k;
    if (at >= base && at - base < width) out[at - base] = w.words[k];
  }
}

// The word above the top word of `w`, and its lowest word (`none` when it
// has no words).
size_t end(const ExactWords& w) noexcept {
  return w.length == 0 ? 0 : static_cast<size_t>(w.lo) + w.length;
}
size_t begin(const ExactWords& w, size_t none) noexcept {
  return w.length == 0 ? none : w.lo;
}

size_t usedWords(const uint64_t* a, size_t n) noexcept {
  while (n > 0 && a[n - 1] == 0) --n;
  return n;
}

// a < b, both of `width` words.
bool less(const uint64_t* a, const uint64_t* b, size_t width) noexcept {
  for (size_t k = width; k-- > 0;)
    if (a[k] != b[k]) return a[k] < b[k];
  return false;
}

// out = a - b (a >= b); returns the borrow out of the top word.
uint64_t subtract(const uint64_t* a, const uint64_t* b, uint64_t* out, size_t width) noexcept {
  uint64_t borrow = 0;
  for (size_t k = 0; k < width; ++k) {
    const u128 t = static_cast<u128>(a[k]) - b[k] - borrow;
    out[k] = static_cast<uint64_t>(t);
    borrow = static_cast<uint64_t>(t >> 64) != 0 ? 1 : 0;
  }
  return borrow;
}

// a /= d in place (d > 0); returns whether the remainder is not zero.
bool divideInPlace(uint64_t* a, uint64_t d, size_t width) noexcept {
  u128 rem = 0;
  size_t top = usedWords(a, width);
  for (size_t k = top; k-- > 0;) {
    const u128 cur = (rem << 64) | a[k];
    a[k] = static_cast<uint64_t>(cur / d);
    rem = cur % d;
  }
  return rem != 0;
}

// The double nearest to a * 2^exponent (ties to even), `sticky` telling
// that the true value lies a little above a * 2^exponent.
double roundToDouble(const uint64_t* a, size_t width, int exponent, bool sticky) noexcept {
  const size_t used = usedWords(a, width);
  if (used == 0) return 0.0;
  const size_t t = used - 1;
  const int p = static_cast<int>(64 * t) + 63 - std::countl_zero(a[t]);  // the top bit
  uint64_t top = 0;
  if (p >= 63) {
    // Bits p - 63 .. p.
    const int low = p - 63;
    const size_t w = static_cast<size_t>(low / 64);
    const int b = low % 64;
    top = b == 0 ? a[w] : (a[w] >> b) | (a[w + 1] << (64 - b));
    if (b != 0 && (a[w] & ((uint64_t{1} << b) - 1)) != 0) sticky = true;
    for (size_t k = 0; k < w && !sticky; ++k) sticky = a[k] != 0;
    exponent += low;
  } else {
    top = a[0] << (63 - p);
    exponent -= 63 - p;
  }
  // 53 bits of the 64 kept: round the 11 below.
  uint64_t mantissa = top >> 11;
  const uint64_t rest = top & 0x7FF;
  if (rest > 0x400 || (rest == 0x400 && (sticky || (mantissa & 1) != 0))) ++mantissa;
  return std::ldexp(static_cast<double>(mantissa), exponent + 11);
}

// Adds `v` * 2^`bit` (`v` below 2^128) to the dense integer `a` of `width`
// words; the sum must fit.
void addDenseShifted(uint64_t* a, size_t width, u128 v, uint32_t bit) noexcept {
  const uint32_t b = bit % 64;
  const uint64_t lo = static_cast<uint64_t>(v);
  const uint64_t hi = static_cast<uint64_t>(v >> 64);
  const uint64_t parts[3] = {lo << b, b == 0 ? hi : (hi << b) | (lo >> (64 - b)),
                             b == 0 ? 0 : hi >> (64 - b)};
  uint64_t carry = 0;
  for (size_t k = bit / 64, j = 0; k < width && (j < 3 || carry != 0); ++k, ++j) {
    const u128 t = static_cast<u128>(a[k]) + (j < 3 ? parts[j] : 0) + carry;
    a[k] = static_cast<uint64_t>(t);
    carry = static_cast<uint64_t>(t >> 64);
  }
}

// A finite, nonzero `x` as m * 2^(bit - 1074), m < 2^53. False for a zero.
bool decompose(double x, uint64_t& m, uint32_t& bit, bool& negative) noexcept {
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  const uint32_t biased = static_cast<uint32_t>((bits >> 52) & 0x7FF);
  m = bits & ((uint64_t{1} << 52) - 1);
  if (biased != 0) m |= uint64_t{1} << 52;
  // x = m * 2^(biased - 1075) (biased 1 for subnormals); in units of 2^-1074
  // the value sits at bit biased - 1 (0 for subnormals).
  bit = biased == 0 ? 0 : biased - 1;
  negative = (bits >> 63) != 0;
  return m != 0;
}

// 2^-64 in units of 2^-1074.
constexpr uint32_t kFixedUnitBit = 1074 - 64;

u128 magnitude(__int128 v) noexcept {
  return v < 0 ? -static_cast<u128>(v) : static_cast<u128>(v);
}

}  // namespace

Error addExactSum(ExactSum& sum, double x, ArenaAllocator& arena) noexcept {
  uint64_t m = 0;
  uint32_t bit = 0;
  bool negative = false;
  if (!decompose(x, m, bit, negative)) return Error::ok;
  return addShifted(negative ? sum.negative : sum.positive, m, bit, arena);
}

Error addExactFixed(ExactSum& sum, __int128 fixed, ArenaAllocator& arena) noexcept {
  if (fixed == 0) return Error::ok;
  return addShifted(fixed < 0 ? sum.negative : sum.positive, magnitude(fixed), kFixedUnitBit, arena);
}

Error mergeExactSum(ExactSum& into, const ExactSum& from, ArenaAllocator& arena) noexcept {
  TAVIX_TRY(addWords(into.positive, from.positive.lo, from.positive.words, from.positive.length, arena));
  return addWords(into.negative, from.negative.lo, from.negative.words, from.negative.length, arena);
}

double roundFixedSum(__int128 fixed) noexcept {
  const u128 v = magnitude(fixed);
  const uint64_t words[2] = {static_cast<uint64_t>(v), static_cast<uint64_t>(v >> 64)};
  const double r = roundToDouble(words, 2, -64, false);
  return fixed < 0 ? -r : r;
}

double roundExactSum(const ExactSum& sum, __int128 fixed) noexcept {
  // Every integer below fits in `width` words from word 0, with a word of
  // carry: the windows, and the fixed part's three words.
  const size_t width =
      std::min(kDenseWords, std::max({end(sum.positive), end(sum.negative),
                                      size_t{kFixedUnitBit / 64 + 3}}) + 1);
  uint64_t positive[kDenseWords];
  uint64_t negative[kDenseWords];
  dense(sum.positive, 0, positive, width);
  dense(sum.negative, 0, negative, width);
  addDenseShifted(fixed < 0 ? negative : positive, width, magnitude(fixed), kFixedUnitBit);
  uint64_t total[kDenseWords];
  const bool below = less(positive, negative, width);
  if (below) {
    subtract(negative, positive, total, width);
  } else {
    subtract(positive, negative, total, width);
  }
  const double r = roundToDouble(total, width, -1074, false);
  return below ? -r : r;
}

Error addExactMoment(ExactMoments& state, double x, ArenaAllocator& arena) noexcept {
  if (!std::isfinite(x)) {
    state.non_finite = true;
    return Error::ok;
  }
  uint64_t m = 0;
  uint32_t bit = 0;
  bool negative = false;
  if (!decompose(x, m, bit, negative)) return Error::ok;
  TAVIX_TRY(addShifted(negative ? state.sum.negative : state.sum.positive, m, bit, arena));
  // The square sits at twice the bit.
  return addShifted(state.squares, static_cast<u128>(m) * m, 2 * bit, arena);
}

Error mergeExactMoments(ExactMoments& into, const ExactMoments& from, ArenaAllocator& arena) noexcept {
  into.non_finite = into.non_finite || from.non_finite;
  TAVIX_TRY(mergeExactSum(into.sum, from.sum, arena));
  return addWords(into.squares, from.squares.lo, from.squares.words, from.squares.length, arena);
}

double exactVariance(const ExactMoments& state, uint64_t count, uint64_t divisor) noexcept {
  if (state.non_finite) return std::numeric_limits<double>::quiet_NaN();
  // Every value reached word `base` of the sums or above, so its square
  // word 2 * base of the squares or above: the integers are taken divided by
  // 2^(64 base) and their squares by 2^(128 base). Words every integer below
  // fits in: the square of the sum and the scaled sum of squares, a word of
  // carry, and the shift of the quotient.
  const ExactSum& s = state.sum;
  const size_t base = std::min(begin(s.positive, kDenseWords), begin(s.negative, kDenseWords));
  if (base == kDenseWords) return 0.0;  // only zeros
  const size_t sum_end = std::max(end(s.positive), end(s.negative)) - base;
  const size_t width = std::min(
      kDenseWords,
      std::max(2 * sum_end, end(state.squares) - 2 * base + 1) + 1 + kQuotientShiftWords);
  uint64_t positive[kDenseWords];
  uint64_t negative[kDenseWords];
  dense(s.positive, base, positive, width);
  dense(s.negative, base, negative, width);
  // |sum| in units of 2^-1074.
  uint64_t sum[kDenseWords];
  if (less(positive, negative, width)) {
    subtract(negative, positive, sum, width);
  } else {
    subtract(positive, negative, sum, width);
  }
  // sum^2 in units of 2^-2148.
  uint64_t square[kDenseWords];
  std::memset(square, 0, width * sizeof(uint64_t));
  const size_t n = usedWords(sum, width);
  for (size_t i = 0; i < n; ++i) {
    uint64_t carry = 0;
    for (size_t j = 0; j < n && i + j < width; ++j) {
      const u128 t = static_cast<u128>(sum[i]) * sum[j] + square[i + j] + carry;
      square[i + j] = static_cast<uint64_t>(t);
      carry = static_cast<uint64_t>(t >> 64);
    }
    if (i + n < width) square[i + n] = carry;
  }
  // count * sum of squares.
  uint64_t scaled[kDenseWords];
  dense(state.squares, 2 * base, scaled, width);
  uint64_t carry = 0;
  for (size_t k = 0; k < width; ++k) {
    const u128 t = static_cast<u128>(scaled[k]) * count + carry;
    scaled[k] = static_cast<uint64_t>(t);
    carry = static_cast<uint64_t>(t >> 64);
  }
  // count * squares - sum^2 is at least 0 (Cauchy-Schwarz), in units of
  // 2^-2148; shifted up by a few words so the quotient keeps 64 bits and
  // more.
  uint64_t difference[kDenseWords];
  if (subtract(scaled, square, difference, width) != 0) return 0.0;
  uint64_t quotient[kDenseWords];
  std::memset(quotient, 0, width * sizeof(uint64_t));
  for (size_t k = 0; k + kQuotientShiftWords < width; ++k)
    quotient[k + kQuotientShiftWords] = difference[k];
  bool sticky = divideInPlace(quotient, count, width);
  sticky = divideInPlace(quotient, divisor, width) || sticky;
  return roundToDouble(quotient, width,
                       kSquareUnitExponent + 128 * static_cast<int>(base) - 64 * kQuotientShiftWords,
                       sticky);
}

}  // namespace tavix
