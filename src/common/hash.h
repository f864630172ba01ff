// The string hash of tavix's own hash tables (text maps, group maps, text
// sets).
//
// `hashBytes` is wyhash (the final version of Wang Yi's public-domain design)
// with its default secret: short keys cost a few multiplications, and every
// input byte reaches every output bit, so the low bits that pick a slot of a
// power-of-two table are as good as the high ones. Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tavix {

namespace detail {

inline constexpr uint64_t kWySecret[4] = {0x2d358dccaa6c78a5ull, 0x8bb84b93962eacc9ull,
                                          0x4b33a62ed433d4a3ull, 0x4d5a2da51de1aa47ull};

// Full 128-bit product of a and b: low half in a, high half in b.
inline void wyMultiply(uint64_t& a, uint64_t& b) noexcept {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  a = static_cast<uint64_t>(r);
  b = static_cast<uint64_t>(r >> 64);
}

inline uint64_t wyMix(uint64_t a, uint64_t b) noexcept {
  wyMultiply(a, b);
  return a ^ b;
}

inline uint64_t wyRead8(const unsigned char* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline uint64_t wyRead4(const unsigned char* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// One to three bytes: the first, the middle and the last.
inline uint64_t wyRead3(const unsigned char* p, size_t k) noexcept {
  return (static_cast<uint64_t>(p[0]) << 16) | (static_cast<uint64_t>(p[k >> 1]) << 8) | p[k - 1];
}

}  // namespace detail

// Returns the 64-bit hash of `len` bytes at `data` under `seed`.
inline uint64_t hashBytes(const void* data, size_t len, uint64_t seed = 0) noexcept {
  using namespace detail;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  seed ^= wyMix(seed ^ kWySecret[0], kWySecret[1]);
  uint64_t a;
  uint64_t b;
  if (len <= 16) {
    if (len >= 4) {
      a = (wyRead4(p) << 32) | wyRead4(p + ((len >> 3) << 2));
      b = (wyRead4(p + len - 4) << 32) | wyRead4(p + len - 4 - ((len >> 3) << 2));
    } else if (len > 0) {
      a = wyRead3(p, len);
      b = 0;
    } else {
      a = b = 0;
    }
  } else {
    size_t i = len;
    if (i > 48) {
      uint64_t see1 = seed;
      uint64_t see2 = seed;
      do {
        seed = wyMix(wyRead8(p) ^ kWySecret[1], wyRead8(p + 8) ^ seed);
        see1 = wyMix(wyRead8(p + 16) ^ kWySecret[2], wyRead8(p + 24) ^ see1);
        see2 = wyMix(wyRead8(p + 32) ^ kWySecret[3], wyRead8(p + 40) ^ see2);
        p += 48;
        i -= 48;
      } while (i > 48);
      seed ^= see1 ^ see2;
    }
    while (i > 16) {
      seed = wyMix(wyRead8(p) ^ kWySecret[1], wyRead8(p + 8) ^ seed);
      i -= 16;
      p += 16;
    }
    a = wyRead8(p + i - 16);
    b = wyRead8(p + i - 8);
  }
  a ^= kWySecret[1];
  b ^= seed;
  wyMultiply(a, b);
  return wyMix(a ^ kWySecret[0] ^ len, b ^ kWySecret[1]);
}

// The hash every text-keyed table uses for its keys.
inline uint64_t hashText(std::string_view text) noexcept {
  return hashBytes(text.data(), text.size());
}

}  // namespace tavix
