#include "engine/expr/scalar_eval.h"

#include <cmath>
#include <cstring>

#include "common/number_rule.h"
#include "engine/expr/dates.h"
#include "engine/expr/number_text.h"

namespace tavix {

namespace {

constexpr std::string_view kTrue = "true";
constexpr std::string_view kFalse = "false";
constexpr std::string_view kZero = "0";

// ROUND writes at most this many decimals, and its text must fit this many
// bytes; a longer text leaves the value unchanged.
constexpr uint8_t kMaxRoundDecimals = 9;
constexpr size_t kRoundTextCapacity = 64;

bool readNumber(std::string_view text, double& x) noexcept {
  return parseNumber(text, x) == Error::ok;
}

// Copies `text` into a block from `allocator`; `fallback` when none can be
// had. An empty text needs no block.
std::string_view keep(const Allocator& allocator, std::string_view text,
                      std::string_view fallback) noexcept {
  std::string_view out;
  return allocator.copyText(text, out) ? out : fallback;
}

std::string_view numberText(const Allocator& allocator, double x,
                            std::string_view fallback) noexcept {
  char buffer[kMaxNumberTextLength];
  return keep(allocator, formatNumberText(buffer, sizeof buffer, x), fallback);
}

std::string_view integerText(const Allocator& allocator, int64_t v,
                             std::string_view fallback) noexcept {
  char buffer[kMaxIntegerTextLength];
  return keep(allocator, formatIntegerText(buffer, sizeof buffer, v), fallback);
}

char* allocBytes(const Allocator& allocator, size_t n) noexcept {
  return static_cast<char*>(allocator.alloc(n, 1));
}

// Copies `text` to out + w and advances w; an empty text may carry a null
// pointer, which memcpy must not see.
void appendBytes(char* out, size_t& w, std::string_view text) noexcept {
  if (text.empty()) return;
  std::memcpy(out + w, text.data(), text.size());
  w += text.size();
}

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool isWellFormedUtf8(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;       // overlong below U+0800
      else if (b == 0xED) hi = 0x9F;  // surrogates U+D800..U+DFFF
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;       // overlong below U+10000
      else if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k)
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    i += len;
  }
  return true;
}

constexpr bool isContinuationByte(char c) noexcept {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::string_view reverseText(std::string_view value, const Allocator& allocator) noexcept {
  if (value.empty()) return value;
  char* out = allocBytes(allocator, value.size());
  if (out == nullptr) return value;
  size_t w = 0;
  if (isWellFormedUtf8(value)) {
    // Take code points from the end, each kept in its own byte order.
    size_t end = value.size();
    while (end > 0) {
      size_t begin = end - 1;
      while (begin > 0 && isContinuationByte(value[begin])) --begin;
      appendBytes(out, w, value.substr(begin, end - begin));
      end = begin;
    }
  } else {
    for (size_t i = value.size(); i > 0; --i) out[w++] = value[i - 1];
  }
  return {out, value.size()};
}

std::string_view mapCase(std::string_view value, bool to_upper,
                         const Allocator& allocator) noexcept {
  if (value.empty()) return value;
  char* out = allocBytes(allocator, value.size());
  if (out == nullptr) return value;
  for (size_t i = 0; i < value.size(); ++i)
    out[i] = to_upper ? toUpperAscii(value[i]) : toLowerAscii(value[i]);
  return {out, value.size()};
}

// upper, lower, trim, reverse and length of one value; also the outer step of
// a nested string function.
std::string_view applyStringFn(ScalarExprKind kind, std::string_view value,
                               const Allocator& allocator) noexcept {
  switch (kind) {
    case ScalarExprKind::upper:
      return mapCase(value, true, allocator);
    case ScalarExprKind::lower:
      return mapCase(value, false, allocator);
    case ScalarExprKind::trim:
      return trim(value);
    case ScalarExprKind::reverse:
      return reverseText(value, allocator);
    case ScalarExprKind::length:
      // An empty value has no length text at all (not "0").
      if (value.empty()) return value;
      return integerText(allocator, static_cast<int64_t>(value.size()), kZero);
    default:
      return value;
  }
}

std::string_view substrText(std::string_view value, int32_t start, int32_t length) noexcept {
  if (value.empty()) return value;
  const int64_t n = static_cast<int64_t>(value.size());
  int64_t offset;
  if (start > 0) {
    offset = start - 1 < n ? start - 1 : n;
  } else if (start == 0) {
    offset = 0;
  } else {
    offset = n + start > 0 ? n + start : 0;
  }
  const int64_t end = length >= 0 && offset + length < n ? offset + length : n;
  return value.substr(static_cast<size_t>(offset), static_cast<size_t>(end - offset));
}

std::string_view padText(const ScalarExpr& e, std::string_view value,
                         const Allocator& allocator) noexcept {
  const uint64_t n = value.size();
  const uint64_t w = e.width;
  if (value.empty() || n == w) return value;
  if (n > w) {
    // Cut to at most w bytes, moving back so no code point is split.
    uint64_t k = w;
    while (k > 0 && isContinuationByte(value[k])) --k;
    return value.substr(0, k);
  }
  if (e.pad.empty()) return value;
  char* out = allocBytes(allocator, w);
  if (out == nullptr) return value;
  const uint64_t fill = w - n;
  char* fill_at = e.kind == ScalarExprKind::lpad ? out : out + n;
  char* value_at = e.kind == ScalarExprKind::lpad ? out + fill : out;
  for (uint64_t i = 0; i < fill; ++i) fill_at[i] = e.pad[i % e.pad.size()];
  std::memcpy(value_at, value.data(), n);
  return {out, w};
}

// Rounds x * scale half away from zero in doubles: the product is taken as
// the double it rounds to, so 2.675 * 100 is 267.5 and ROUND(2.675, 2) is
// 2.68.
double roundScaledHalfAway(double x, double scale) noexcept {
  const double y = x * scale;
  return std::trunc(y + std::copysign(kLargestBelowHalf, y));
}

// ROUND(x) and ROUND(x, n). Values that cannot be rounded (not numbers,
// infinities, NaN, beyond the integer range for n = 0) are returned as they
// are.
std::string_view roundText(const ScalarExpr& e, std::string_view value,
                           const Allocator& allocator) noexcept {
  double x;
  if (!readNumber(value, x)) return value;
  if (e.digits == 0) {
    int64_t v;
    if (!roundHalfAwayToInt64(x, v)) return value;
    return integerText(allocator, v, value);
  }
  if (!std::isfinite(x)) return value;
  const double scale = std::pow(10.0, e.digits);
  const double y = x * scale;
  // When x * 10^n overflows, or is already integral, rounding at that scale
  // cannot change x; dividing back would only bring in a rounding error or an
  // infinity, so x itself is printed.
  const double r =
      std::isfinite(y) && y != std::trunc(y) ? roundScaledHalfAway(x, scale) / scale : x;
  const uint8_t decimals = e.digits < kMaxRoundDecimals ? e.digits : kMaxRoundDecimals;
  char buffer[kRoundTextCapacity];
  const std::string_view text = formatFixedText(buffer, sizeof buffer, r, decimals);
  if (text.empty()) return value;
  return keep(allocator, text, value);
}

std::string_view replaceText(const ScalarExpr& e, std::string_view value,
                             const Allocator& allocator) noexcept {
  size_t count = 0;
  for (size_t at = value.find(e.from); at != std::string_view::npos;
       at = value.find(e.from, at + e.from.size()))
    ++count;
  if (count == 0) return value;
  const size_t size = value.size() - count * e.from.size() + count * e.to.size();
  if (size == 0) return {};
  char* out = allocBytes(allocator, size);
  if (out == nullptr) return value;
  size_t w = 0;
  size_t begin = 0;
  for (size_t at = value.find(e.from); at != std::string_view::npos;
       at = value.find(e.from, begin)) {
    appendBytes(out, w, value.substr(begin, at - begin));
    appendBytes(out, w, e.to);
    begin = at + e.from.size();
  }
  appendBytes(out, w, value.substr(begin));
  return {out, size};
}

std::string_view splitPartText(const ScalarExpr& e, std::string_view value) noexcept {
  size_t begin = 0;
  for (uint64_t piece = 1;; ++piece) {
    const size_t at = value.find(e.delimiter, begin);
    if (piece == e.part) return value.substr(begin, at == std::string_view::npos ? at : at - begin);
    if (at == std::string_view::npos) return {};
    begin = at + e.delimiter.size();
  }
}

std::string_view argText(const ExprArg& arg, const FieldSlice* fields, uint64_t count) noexcept {
  return arg.is_literal ? arg.text : fieldOrEmpty(fields, count, arg.column);
}

std::string_view concatText(const ScalarExpr& e, const FieldSlice* fields, uint64_t count,
                            const Allocator& allocator) noexcept {
  size_t size = 0;
  for (uint64_t i = 0; i < e.arg_count; ++i) size += argText(e.args[i], fields, count).size();
  if (size == 0) return {};
  char* out = allocBytes(allocator, size);
  if (out == nullptr) return {};
  size_t w = 0;
  for (uint64_t i = 0; i < e.arg_count; ++i) {
    appendBytes(out, w, argText(e.args[i], fields, count));
  }
  return {out, size};
}

std::string_view strftimeText(const ScalarExpr& e, std::string_view value,
                              const Allocator& allocator) noexcept {
  const size_t capacity = strftimeCapacity(e.format);
  if (capacity == 0) return {};
  char* out = allocBytes(allocator, capacity);
  if (out == nullptr) return {};
  const std::string_view text = formatStrftime(e.format, value, out, capacity);
  // Give back the unused tail where the allocator can (an arena's last block).
  if (text.size() < capacity) allocator.resize(out, capacity, text.size());
  return text;
}

bool caseConditionHolds(const ScalarExpr& e, std::string_view value) noexcept {
  if (e.literal_is_number) {
    double x;
    return readNumber(value, x) && compareNumbersByOp(x, e.op, e.literal_number);
  }
  // A text literal supports only equality; ordered tests take ELSE.
  if (e.op == ComparisonOp::eq) return value == e.literal_text;
  if (e.op == ComparisonOp::ne) return value != e.literal_text;
  return false;
}

}  // namespace

bool compareNumbersByOp(double x, ComparisonOp op, double v) noexcept {
  switch (op) {
    case ComparisonOp::eq: return x == v;
    case ComparisonOp::ne: return x != v;
    case ComparisonOp::gt: return x > v;
    case ComparisonOp::ge: return x >= v;
    case ComparisonOp::lt: return x < v;
    case ComparisonOp::le: return x <= v;
    default: return false;
  }
}

std::string_view pickExtremeText(const std::string_view* texts, uint64_t count,
                                 bool greatest) noexcept {
  double chosen_value = 0;
  uint64_t chosen = 0;
  uint64_t read = 0;
  for (; read < count; ++read) {
    double x;
    if (!readNumber(texts[read], x)) break;
    // IEEE comparisons are false with a NaN on either side, so a NaN is
    // never taken and, once taken first, never replaced.
    if (read == 0 || (greatest ? x > chosen_value : x < chosen_value)) {
      chosen_value = x;
      chosen = read;
    }
  }
  if (read == count) return texts[chosen];
  chosen = 0;
  for (uint64_t i = 1; i < count; ++i) {
    // string_view compares bytes as unsigned char, a proper prefix first.
    const int c = texts[i].compare(texts[chosen]);
    if (greatest ? c > 0 : c < 0) chosen = i;
  }
  return texts[chosen];
}

std::string_view evalOperandText(const Operand& operand, const FieldSlice* fields,
                                 uint64_t field_count, const Allocator& allocator) noexcept {
  switch (operand.tag) {
    case OperandTag::text:
      return operand.text;
    case OperandTag::number:
      return numberText(allocator, operand.number, {});
    case OperandTag::column:
      return fieldOrEmpty(fields, field_count, operand.column);
  }
  return {};
}

std::string_view evalScalarExpr(const ScalarExpr& e, const FieldSlice* fields,
                                uint64_t field_count, const Allocator& allocator) noexcept {
  const std::string_view value = fieldOrEmpty(fields, field_count, e.column);
  double x;
  switch (e.kind) {
    case ScalarExprKind::upper:
    case ScalarExprKind::lower:
    case ScalarExprKind::trim:
    case ScalarExprKind::reverse:
    case ScalarExprKind::length:
      return applyStringFn(e.kind, value, allocator);

    case ScalarExprKind::nested_string_fn: {
      // Compilation bounds the nesting depth, so this recursion is bounded.
      const std::string_view inner = evalScalarExpr(*e.child, fields, field_count, allocator);
      return applyStringFn(e.outer_kind, inner, allocator);
    }

    case ScalarExprKind::substr:
      return substrText(value, e.start, e.length);

    case ScalarExprKind::lpad:
    case ScalarExprKind::rpad:
      return padText(e, value, allocator);

    case ScalarExprKind::abs:
      if (!readNumber(value, x)) return value;
      return numberText(allocator, std::fabs(x), value);

    case ScalarExprKind::sign:
      if (!readNumber(value, x)) return value;
      if (x < 0) return "-1";
      return x > 0 ? std::string_view("1") : kZero;  // zero, -0 and NaN

    case ScalarExprKind::ceil:
    case ScalarExprKind::floor: {
      if (!readNumber(value, x)) return value;
      char buffer[kMaxNumberTextLength];
      const double r = e.kind == ScalarExprKind::ceil ? std::ceil(x) : std::floor(x);
      return keep(allocator, formatNumberTextPointZero(buffer, sizeof buffer, r), value);
    }

    case ScalarExprKind::mod: {
      if (!readNumber(value, x)) return value;
      double r = std::fmod(x, e.modulus);
      if (x < 0) r = std::fmod(r + e.modulus, e.modulus);
      return numberText(allocator, r, value);
    }

    case ScalarExprKind::coalesce:
      for (uint64_t i = 0; i < e.column_count; ++i) {
        const std::string_view candidate = fieldOrEmpty(fields, field_count, e.columns[i]);
        if (!trim(candidate).empty()) return candidate;
      }
      return e.fallback;

    case ScalarExprKind::cast_int: {
      int64_t v;
      if (!readNumber(value, x) || !truncateToInt64(x, v)) return value;
      return integerText(allocator, v, value);
    }

    case ScalarExprKind::cast_float:
    case ScalarExprKind::cast_text:
      return value;

    case ScalarExprKind::datediff: {
      int64_t a, b;
      if (parseDateTime(fieldOrEmpty(fields, field_count, e.column_a), a) != Error::ok) return kZero;
      if (parseDateTime(fieldOrEmpty(fields, field_count, e.column_b), b) != Error::ok) return kZero;
      const DateUnit unit = dateUnitFromText(e.unit);
      if (unit == DateUnit::unlisted) return kZero;
      return numberText(allocator, dateDiffInUnits(a, b, unit), kZero);
    }

    case ScalarExprKind::dateadd: {
      int64_t seconds;
      if (parseDateTime(value, seconds) != Error::ok) return value;
      std::string_view out;
      const int64_t moved = addDateUnits(seconds, e.amount, dateUnitFromText(e.unit));
      return formatEpochSeconds(allocator, moved, out) == Error::ok ? out : value;
    }

    case ScalarExprKind::extract: {
      int64_t seconds;
      if (parseDateTime(value, seconds) != Error::ok) return kZero;
      return integerText(allocator, extractDatePart(seconds, dateUnitFromText(e.unit)), kZero);
    }

    case ScalarExprKind::strftime:
      return strftimeText(e, value, allocator);

    case ScalarExprKind::round:
      return roundText(e, value, allocator);

    case ScalarExprKind::replace:
      return replaceText(e, value, allocator);

    case ScalarExprKind::split_part:
      return splitPartText(e, value);

    case ScalarExprKind::greatest:
    case ScalarExprKind::least: {
      std::string_view texts[kMaxExprArgs];
      for (uint64_t i = 0; i < e.arg_count; ++i) texts[i] = argText(e.args[i], fields, field_count);
      return pickExtremeText(texts, e.arg_count, e.kind == ScalarExprKind::greatest);
    }

    case ScalarExprKind::concat:
      return concatText(e, fields, field_count, allocator);

    case ScalarExprKind::case_when:
      return evalOperandText(caseConditionHolds(e, value) ? e.then_operand : e.else_operand,
                             fields, field_count, allocator);

    case ScalarExprKind::is_null: {
      const bool is_null = e.column >= field_count || value.empty();
      return is_null != e.not_null ? kTrue : kFalse;
    }
  }
  return value;
}

}  // namespace tavix
