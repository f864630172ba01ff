// Small fixed pseudo-random sequences for generated test and benchmark
// inputs: the same bytes on every machine and run.
#pragma once

#include <cstdint>

namespace tavix::test {

// splitmix64.
struct Sequence {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
};

// A 64-bit linear congruential generator yielding its top 31 bits.
struct Lcg {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  }
};

}  // namespace tavix::test
