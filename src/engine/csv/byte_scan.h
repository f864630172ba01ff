// Word-at-a-time byte search helpers for the CSV scanners (SWAR: SIMD within
// a register). Internal to src/engine/csv; pure and callable from any thread.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tavix::byte_scan {

static_assert(std::endian::native == std::endian::little,
              "byte positions are taken from the low end of 8-byte words");

inline constexpr uint64_t kOnes = 0x0101010101010101ull;
inline constexpr uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;

// `c` in every byte of a word.
constexpr uint64_t broadcast(char c) noexcept { return kOnes * static_cast<uint8_t>(c); }

// 0x80 in every byte of `v` that is zero, 0 in every other byte. Adding 0x7f
// to the low seven bits of a byte sets its top bit unless those bits are all
// zero; OR-ing the byte back in covers bytes whose only set bit is the top
// one. No carry crosses into the next byte because (b & 0x7f) + 0x7f <= 0xfe,
// so unlike the shorter (v - 0x01..) & ~v & 0x80.. form every flagged byte is
// a true zero and all of them may be used (counted, or walked one by one),
// not only the lowest. XOR with broadcast(c) first to flag the bytes equal
// to c.
constexpr uint64_t zeroBytes(uint64_t v) noexcept { return ~(((v & kLow7) + kLow7) | v | kLow7); }

// Eight bytes from an address of any alignment.
inline uint64_t load64(const char* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The number of set bits of `v`. std::popcount becomes a library call unless
// the build targets processors with a population-count instruction, which
// the library does not assume; this is the branch-free form of that count:
// sums of 2, then 4, then 8 bits side by side (each fits its field), and the
// multiply adds the eight byte sums into the top byte.
constexpr unsigned bitCount(uint64_t v) noexcept {
  v = v - ((v >> 1) & 0x5555555555555555ull);
  v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
  v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0full;
  return static_cast<unsigned>((v * kOnes) >> 56);
}

// Index of the lowest flagged byte of a zeroBytes mask (not 0).
inline size_t lowestByte(uint64_t mask) noexcept {
  return static_cast<size_t>(std::countr_zero(mask)) >> 3;
}

}  // namespace tavix::byte_scan
