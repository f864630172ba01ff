// Exact sums and moments of doubles, held as exact binary integers, so that
// a sum or a variance depends on the values taken and never on the order
// they came in or on how the rows were split between blocks before merging.
// Adding a value and merging two states are integer additions; the sum or
// the variance is derived once, when it is rendered, from the exact integers
// and rounded once.
//
// Every finite double is m * 2^e with an integer m < 2^53 and
// e >= -1074, so a sum is an integer multiple of 2^-1074 and a sum of
// squares an integer multiple of 2^-2148. Each integer is kept as a window of
// 64-bit words: only the words between the lowest and the highest bit any
// value reached, grown in the block's arena when a value reaches past them,
// so data of one magnitude costs a few words per slot. Positive and negative
// values add into separate sums; both are unsigned.
//
// A value that is not finite (an infinity, a NaN) makes every variance of the
// slot NaN: it is only noted. A sum takes finite values only; its owner keeps
// the infinities and NaNs apart.
//
// The states are zero-initialised to mean "no value"; their words live in the
// arena of the block that holds them.
#pragma once

#include <cstdint>

#include "common/allocator.h"
#include "common/error.h"

namespace tavix {

// An unsigned integer: words[k] holds bits 64 * (lo + k) up (no integer
// here reaches word 80).
struct ExactWords {
  uint64_t* words = nullptr;
  uint16_t lo = 0;
  uint16_t length = 0;
  uint16_t capacity = 0;
};

// A signed sum: positive - negative, in units of 2^-1074.
struct ExactSum {
  ExactWords positive;  // sum of the positive values
  ExactWords negative;  // sum of the magnitudes of the negative values
};

struct ExactMoments {
  ExactSum sum;
  ExactWords squares;  // sum of the squares, in units of 2^-2148
  bool non_finite = false;
};

// Adds the finite `x` to `sum`. Returns OutOfMemory, after which the sum is
// not to be rendered.
[[nodiscard]] Error addExactSum(ExactSum& sum, double x, ArenaAllocator& arena) noexcept;

// Adds the integer `fixed` * 2^-64 to `sum`. Returns OutOfMemory, as above.
[[nodiscard]] Error addExactFixed(ExactSum& sum, __int128 fixed, ArenaAllocator& arena) noexcept;

// Adds `from` to `into`. Returns OutOfMemory, as above.
[[nodiscard]] Error mergeExactSum(ExactSum& into, const ExactSum& from, ArenaAllocator& arena) noexcept;

// The double nearest to `fixed` * 2^-64 (ties to even).
double roundFixedSum(__int128 fixed) noexcept;

// The double nearest to `sum` + `fixed` * 2^-64 (ties to even; infinity past
// the largest double).
double roundExactSum(const ExactSum& sum, __int128 fixed) noexcept;

// Adds `x` to the state. Returns OutOfMemory, after which the state is
// not to be rendered.
[[nodiscard]] Error addExactMoment(ExactMoments& state, double x, ArenaAllocator& arena) noexcept;

// Adds every value `from` took to `into`. Returns OutOfMemory, as above.
[[nodiscard]] Error mergeExactMoments(ExactMoments& into, const ExactMoments& from,
                                      ArenaAllocator& arena) noexcept;

// The variance of the `count` values taken: (count * sum of squares -
// sum^2) / (count * divisor), with divisor `count` for the population
// variance and `count - 1` for the sample variance, correctly rounded to a
// double from the exact integers (an overflowing variance is infinity; one
// in the subnormal range may be rounded twice). NaN when a value was not
// finite. `count` and `divisor` must be at least 1.
double exactVariance(const ExactMoments& state, uint64_t count, uint64_t divisor) noexcept;

}  // namespace tavix
