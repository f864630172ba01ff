#include "engine/expr/number_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "common/number_rule.h"
#include "common/text.h"
#include "engine/expr/dates.h"

namespace tavix {

namespace {

// "00" "01" ... "99": integer texts are written two digits at a time.
constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of v (no sign) ending at `end`; returns the start.
char* writeDigitsBackward(char* end, uint64_t v) noexcept {
  while (v >= 100) {
    const unsigned pair = static_cast<unsigned>(v % 100) * 2;
    v /= 100;
    *--end = kDigitPairs[pair + 1];
    *--end = kDigitPairs[pair];
  }
  if (v >= 10) {
    const unsigned pair = static_cast<unsigned>(v) * 2;
    *--end = kDigitPairs[pair + 1];
    *--end = kDigitPairs[pair];
  } else {
    *--end = static_cast<char>('0' + v);
  }
  return end;
}

// Copies `text` into the caller's buffer; the empty text when it does not fit.
std::string_view place(std::string_view text, char* buffer, size_t capacity) noexcept {
  if (text.size() > capacity) return {};
  std::memcpy(buffer, text.data(), text.size());
  return {buffer, text.size()};
}

// Writes "nan", "-nan", "inf" or "-inf" for a value that is not finite.
std::string_view writeNonFinite(double x, char* out) noexcept {
  const bool negative = std::signbit(x);
  const char* word = std::isnan(x) ? "nan" : "inf";
  size_t n = 0;
  if (negative) out[n++] = '-';
  std::memcpy(out + n, word, 3);
  return {out, n + 3};
}

// The shortest round-trip digits of a finite |x|: value = 0.d1d2...dn x
// 10^point. A double needs at most 17 significant digits.
struct ShortestDigits {
  char digits[18];
  int count = 0;
  int point = 0;
};

void shortestDigits(double magnitude, ShortestDigits& out) noexcept {
  // Scientific form without a precision is the shortest round-trip text,
  // "d[.ddd]e[+-]xx"; the digits are collected and the exponent read.
  char text[32];
  const auto result = std::to_chars(text, text + sizeof(text), magnitude,
                                    std::chars_format::scientific);
  const char* p = text;
  out.count = 0;
  while (p < result.ptr && *p != 'e') {
    if (*p != '.') out.digits[out.count++] = *p;
    ++p;
  }
  int exponent = 0;
  ++p;  // 'e'
  const bool negative_exponent = *p == '-';
  ++p;  // the exponent's sign is always written
  for (; p < result.ptr; ++p) exponent = exponent * 10 + (*p - '0');
  out.point = (negative_exponent ? -exponent : exponent) + 1;
}

// Lays out digits positionally (no exponent) into `out`, which must hold
// kMaxNumberTextLength bytes; returns the length.
size_t writeShortest(double x, char* out) noexcept {
  if (!std::isfinite(x)) return writeNonFinite(x, out).size();
  ShortestDigits d;
  shortestDigits(std::fabs(x), d);
  char* p = out;
  if (std::signbit(x)) *p++ = '-';
  if (d.point <= 0) {
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', static_cast<size_t>(-d.point));
    p += -d.point;
    std::memcpy(p, d.digits, static_cast<size_t>(d.count));
    p += d.count;
  } else if (d.point >= d.count) {
    std::memcpy(p, d.digits, static_cast<size_t>(d.count));
    p += d.count;
    std::memset(p, '0', static_cast<size_t>(d.point - d.count));
    p += d.point - d.count;
  } else {
    std::memcpy(p, d.digits, static_cast<size_t>(d.point));
    p += d.point;
    *p++ = '.';
    std::memcpy(p, d.digits + d.point, static_cast<size_t>(d.count - d.point));
    p += d.count - d.point;
  }
  return static_cast<size_t>(p - out);
}

// Fixed mode into `out` (fixedTextCapacity(decimals) bytes); returns the
// length.
size_t writeFixed(double x, unsigned decimals, char* out) noexcept {
  if (!std::isfinite(x)) return writeNonFinite(x, out).size();
  ShortestDigits d;
  shortestDigits(std::fabs(x), d);
  // Digits kept: those before the point plus `decimals` after it. The first
  // dropped digit decides half-up rounding; when even the first digit lies
  // beyond the last kept position the value rounds to zero.
  const int keep = d.point + static_cast<int>(decimals);
  if (keep < 0) {
    d.count = 0;
  } else if (keep < d.count) {
    const bool round_up = d.digits[keep] >= '5';
    d.count = keep;
    if (round_up) {
      int i = keep - 1;
      while (i >= 0 && d.digits[i] == '9') d.digits[i--] = '0';
      if (i >= 0) {
        ++d.digits[i];
      } else {
        // Carry out of the first digit (or nothing was kept): a new leading
        // 1, and every kept digit is now a 0.
        std::memmove(d.digits + 1, d.digits, static_cast<size_t>(d.count));
        d.digits[0] = '1';
        ++d.count;
        ++d.point;
      }
    }
  }
  auto digit_at = [&d](int index) { return index >= 0 && index < d.count ? d.digits[index] : '0'; };
  char* p = out;
  if (std::signbit(x)) *p++ = '-';
  if (d.point <= 0) {
    *p++ = '0';
  } else {
    for (int i = 0; i < d.point; ++i) *p++ = digit_at(i);
  }
  if (decimals > 0) {
    *p++ = '.';
    for (unsigned i = 0; i < decimals; ++i) *p++ = digit_at(d.point + static_cast<int>(i));
  }
  return static_cast<size_t>(p - out);
}

// |x| <= 1e15 and integral: the range in which expression numbers are written
// as integers. 1e15 lies below 2^53, so every such value is an exact integer
// and converts to int64 exactly.
bool isSmallIntegral(double x) noexcept {
  return std::isfinite(x) && std::fabs(x) <= 1e15 && std::trunc(x) == x;
}

size_t writeInteger(int64_t v, char* out) noexcept {
  char scratch[kMaxIntegerTextLength];
  char* end = scratch + sizeof(scratch);
  // The magnitude as unsigned, so that -2^63 needs no special case.
  const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  char* start = writeDigitsBackward(end, magnitude);
  if (v < 0) *--start = '-';
  const size_t n = static_cast<size_t>(end - start);
  std::memcpy(out, start, n);
  return n;
}

Error ownText(const Allocator& allocator, std::string_view text, std::string_view& out) {
  if (!allocator.copyText(text, out)) return Error::OutOfMemory;
  return Error::ok;
}

// Fixed mode with `decimals` decimals capped at 6: the rule of aggregate
// results and ROUND keys.
constexpr unsigned kMaxAggregateDecimals = 6;

}  // namespace

bool truncateToInt64(double x, int64_t& out) noexcept {
  // 2^63 is exactly representable; every double in [-2^63, 2^63) truncates to
  // a value in range. The comparisons are false for NaN.
  if (!(x >= -9223372036854775808.0 && x < 9223372036854775808.0)) return false;
  out = static_cast<int64_t>(x);
  return true;
}

bool doubleToInt64Exact(double x, int64_t& out) noexcept {
  if (std::trunc(x) != x) return false;  // also NaN; infinities fail the range test
  return truncateToInt64(x, out);
}

bool roundHalfAwayToInt64(double x, int64_t& out) noexcept {
  return truncateToInt64(x + std::copysign(kLargestBelowHalf, x), out);
}

std::string_view formatIntegerText(char* buffer, size_t capacity, int64_t v) noexcept {
  char text[kMaxIntegerTextLength];
  return place({text, writeInteger(v, text)}, buffer, capacity);
}

std::string_view formatShortestText(char* buffer, size_t capacity, double x) noexcept {
  char text[kMaxNumberTextLength];
  return place({text, writeShortest(x, text)}, buffer, capacity);
}

std::string_view formatFixedText(char* buffer, size_t capacity, double x,
                                 uint8_t decimals) noexcept {
  char text[fixedTextCapacity(255)];
  return place({text, writeFixed(x, decimals, text)}, buffer, capacity);
}

std::string_view formatNumberText(char* buffer, size_t capacity, double x) noexcept {
  if (isSmallIntegral(x)) return formatIntegerText(buffer, capacity, static_cast<int64_t>(x));
  return formatShortestText(buffer, capacity, x);
}

std::string_view formatNumberTextPointZero(char* buffer, size_t capacity, double x) noexcept {
  if (!isSmallIntegral(x)) return formatShortestText(buffer, capacity, x);
  char text[kMaxIntegerTextLength + 2];
  size_t n = writeInteger(static_cast<int64_t>(x), text);
  text[n++] = '.';
  text[n++] = '0';
  return place({text, n}, buffer, capacity);
}

Error formatInteger(const Allocator& allocator, int64_t v, std::string_view& out) {
  char text[kMaxIntegerTextLength];
  return ownText(allocator, {text, writeInteger(v, text)}, out);
}

Error formatFloatFixed6(const Allocator& allocator, double x, std::string_view& out) {
  char text[fixedTextCapacity(kMaxAggregateDecimals)];
  return ownText(allocator, {text, writeFixed(x, kMaxAggregateDecimals, text)}, out);
}

Error formatNumber(const Allocator& allocator, double x, const OutputPrecision& precision,
                   std::string_view& out) {
  if (precision.has_digits) {
    const unsigned decimals =
        precision.digits < kMaxAggregateDecimals ? precision.digits : kMaxAggregateDecimals;
    char text[fixedTextCapacity(kMaxAggregateDecimals)];
    return ownText(allocator, {text, writeFixed(x, decimals, text)}, out);
  }
  int64_t integral = 0;
  if (doubleToInt64Exact(x, integral)) return formatInteger(allocator, integral, out);
  char text[kMaxNumberTextLength];
  return ownText(allocator, {text, writeShortest(x, text)}, out);
}

std::string_view formatStrftime(std::string_view format, std::string_view value, char* buffer,
                                size_t capacity) noexcept {
  int64_t seconds = 0;
  const bool is_date = parseDateTime(value, seconds) == Error::ok;
  DateTime dt;
  if (is_date) dt = epochSecondsToDateTime(seconds);

  size_t written = 0;
  size_t i = 0;
  while (i < format.size()) {
    // One step: a directive ('%' and the byte after it) or a single byte,
    // rendered into `piece` and written only when it fits as a whole.
    char piece[10];
    size_t length = 0;
    if (format[i] == '%' && i + 1 < format.size()) {
      const char directive = format[i + 1];
      i += 2;
      // Byte position and width of each field in "YYYY-MM-DD HH:MM:SS".
      size_t offset = 0;
      size_t width = 2;
      int field = -1;
      switch (directive) {
        case 'Y': field = 0; offset = 0; width = 4; break;
        case 'm': field = 1; offset = 5; break;
        case 'd': field = 2; offset = 8; break;
        case 'H': field = 3; offset = 11; break;
        case 'M': field = 4; offset = 14; break;
        case 'S': field = 5; offset = 17; break;
        default: break;
      }
      if (field < 0) {
        piece[0] = '%';
        piece[1] = directive;
        length = 2;
      } else if (is_date) {
        const uint64_t values[6] = {
            static_cast<uint64_t>(dt.year < 0 ? -static_cast<int64_t>(dt.year) : dt.year),
            dt.month, dt.day, dt.hour, dt.minute, dt.second};
        char digits[kMaxIntegerTextLength];
        char* end = digits + sizeof(digits);
        char* start = writeDigitsBackward(end, values[field]);
        const size_t n = static_cast<size_t>(end - start);
        const size_t pad = n < width ? width - n : 0;
        std::memset(piece, '0', pad);
        std::memcpy(piece + pad, start, n);
        length = pad + n;
      } else if (value.size() >= offset + width) {
        std::memcpy(piece, value.data() + offset, width);
        length = width;
      }
    } else {
      piece[0] = format[i++];
      length = 1;
    }
    if (length > capacity - written) break;
    std::memcpy(buffer + written, piece, length);
    written += length;
  }
  return {buffer, written};
}

void formatStrftime(std::string_view format, std::string_view value, std::string& out) {
  out.resize(strftimeCapacity(format));
  const size_t n = formatStrftime(format, value, out.data(), out.size()).size();
  out.resize(n);
}

std::string_view formatRounded(uint8_t digits, bool has_digits, std::string_view value,
                               char* buffer, size_t capacity) noexcept {
  double x = 0;
  if (parseNumber(trim(value), x) != Error::ok) return value;
  const unsigned n = has_digits ? digits : 0;
  std::string_view text;
  if (n == 0) {
    int64_t rounded = 0;
    if (!roundHalfAwayToInt64(x, rounded)) return value;
    text = formatIntegerText(buffer, capacity, rounded);
  } else {
    text = formatFixedText(buffer, capacity, x,
                           static_cast<uint8_t>(n < kMaxAggregateDecimals ? n : kMaxAggregateDecimals));
  }
  return text.empty() ? value : text;
}

}  // namespace tavix
