#include "engine/expr/row_predicates.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "common/number_rule.h"
#include "engine/expr/dates.h"
#include "engine/expr/scalar_eval.h"

namespace tavix {

namespace {

constexpr size_t kNoStar = std::string_view::npos;

// One forward pass with a single backtrack point: on a mismatch after a '%',
// the '%' takes one more text byte and matching resumes just after it. The
// last '%' seen is the only one worth retrying, because anything an earlier
// '%' could absorb the later one can absorb as well.
template <typename Equal>
bool matchLike(std::string_view text, std::string_view pattern, Equal equal) noexcept {
  size_t t = 0;
  size_t p = 0;
  size_t star = kNoStar;
  size_t mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '%') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() && (pattern[p] == '_' || equal(pattern[p], text[t]))) {
      ++t;
      ++p;
    } else if (star == kNoStar) {
      return false;
    } else {
      t = ++mark;
      p = star + 1;
    }
  }
  while (p < pattern.size() && pattern[p] == '%') ++p;
  return p == pattern.size();
}

// string_view compares bytes as unsigned char, a proper prefix first; the
// sign of that comparison is tested against 0 by the operator.
bool compareBytes(std::string_view f, ComparisonOp op, std::string_view v) noexcept {
  return compareNumbersByOp(f.compare(v), op, 0);
}

}  // namespace

bool likeMatch(std::string_view text, std::string_view pattern) noexcept {
  return matchLike(text, pattern, [](char a, char b) { return a == b; });
}

bool likeMatchIgnoreCase(std::string_view text, std::string_view pattern) noexcept {
  return matchLike(text, pattern,
                   [](char a, char b) { return toLowerAscii(a) == toLowerAscii(b); });
}

bool readFieldNumberGeneral(std::string_view field, double& out) noexcept {
  // Fast path for integers with optional blanks around them; everything
  // else, and integers beyond int64, goes to the number rule.
  size_t i = 0;
  while (i < field.size() && isSpace(field[i])) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  const size_t digits_begin = i;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t value = 0;
  bool fits = true;
  while (i < field.size() && isDigit(field[i])) {
    const int digit = field[i] - '0';
    if (value > (kMax - digit) / 10) {
      fits = false;
      break;
    }
    value = value * 10 + digit;
    ++i;
  }
  if (fits && i > digits_begin) {
    size_t rest = i;
    while (rest < field.size() && isSpace(field[rest])) ++rest;
    if (rest == field.size()) {
      // Negating the integer (not the double) turns "-0" into +0.
      out = static_cast<double>(negative ? -value : value);
      return true;
    }
  }
  // The common decimal "123.45": no blank anywhere, digits, a point and
  // digits up to the field's end. Its digits form an integer m <= 2^53 and
  // its value is m / 10^f with f <= 22, both exact doubles, so the one IEEE
  // division is the correctly rounded value the number rule gives (and, like
  // it, "-0.0" is -0). Anything else goes to the number rule.
  if (fits && digits_begin == (negative || (field.size() > 0 && field[0] == '+') ? 1 : 0) &&
      i < field.size() && field[i] == '.') {
    constexpr uint64_t kMaxExactMantissa = uint64_t{1} << 53;
    static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    uint64_t mantissa = static_cast<uint64_t>(value);
    size_t j = i + 1;
    size_t fraction = 0;
    while (j < field.size() && isDigit(field[j]) && mantissa <= kMaxExactMantissa) {
      mantissa = mantissa * 10 + static_cast<uint64_t>(field[j] - '0');
      ++fraction;
      ++j;
    }
    if (j == field.size() && (fraction > 0 || i > digits_begin) && mantissa <= kMaxExactMantissa &&
        fraction <= 22) {
      const double v = static_cast<double>(mantissa) / kPowersOfTen[fraction];
      out = negative ? -v : v;
      return true;
    }
  }
  return parseNumber(field, out) == Error::ok;
}

bool evalComparison(const ComparisonLeaf& leaf, FieldSlice f) noexcept {
  if (leaf.op == ComparisonOp::is_null) return f.empty();
  if (leaf.op == ComparisonOp::is_not_null) return !f.empty();

  if (leaf.modulus) {
    // The modulo form reads both sides by the strict number rule: no blanks.
    double x, v;
    if (parseNumber(f, x) != Error::ok || parseNumber(leaf.value, v) != Error::ok) return false;
    return compareNumbersByOp(std::fmod(x, *leaf.modulus), leaf.op, v);
  }

  if (leaf.isSubquery()) return false;

  if (leaf.isInList()) {
    const bool found =
        std::find(leaf.in_list.begin(), leaf.in_list.end(), f) != leaf.in_list.end();
    return found != leaf.negated;
  }

  if (leaf.op == ComparisonOp::like) return likeMatch(f, leaf.value);
  if (leaf.op == ComparisonOp::ilike) return likeMatchIgnoreCase(f, leaf.value);

  if (leaf.op == ComparisonOp::between) {
    if (leaf.value_number) {
      double x;
      return leaf.upper_number && parseNumber(f, x) == Error::ok && *leaf.value_number <= x &&
             x <= *leaf.upper_number;
    }
    return f.compare(leaf.value) >= 0 && f.compare(leaf.upper) <= 0;
  }

  if (leaf.value_number) {
    double x;
    return readFieldNumber(f, x) && compareNumbersByOp(x, leaf.op, *leaf.value_number);
  }
  return compareBytes(f, leaf.op, leaf.value);
}

bool evalDateFunctionLeaf(const DateFunctionLeaf& leaf, FieldSlice a, FieldSlice b) noexcept {
  const bool is_extract = leaf.function == "extract";
  if (!is_extract && leaf.function != "datediff") return false;  // dateadd has no value here
  int64_t seconds_a;
  if (parseDateTime(a, seconds_a) != Error::ok) return false;
  const DateUnit unit = dateUnitFromText(leaf.unit);
  double value;
  if (is_extract) {
    value = static_cast<double>(extractDatePart(seconds_a, unit));
  } else {
    int64_t seconds_b;
    if (parseDateTime(b, seconds_b) != Error::ok) return false;
    value = dateDiffInUnits(seconds_a, seconds_b, unit);
  }
  return compareNumbersByOp(value, leaf.op, leaf.literal);
}

bool evalConditionTree(const ConditionNode& root, const FieldSlice* fields, uint64_t field_count,
                       const FieldSlice* names, uint64_t name_count) noexcept {
  const HeaderListResolver resolver(names, name_count);
  return evalConditionBy(root, [&](std::string_view column, FieldSlice& value) {
    uint64_t index;
    if (!resolver.findColumn(column, index)) return false;
    value = fieldOrEmpty(fields, field_count, index);
    return true;
  });
}

NumericOperand NumericOperand::literal(double value) noexcept {
  return NumericOperand{std::bit_cast<uint64_t>(value), false};
}

NumericOperand NumericOperand::column(uint64_t index) noexcept {
  return NumericOperand{index, true};
}

double NumericOperand::literalValue() const noexcept {
  return std::bit_cast<double>(literal_or_index);
}

double evalNumericOperand(const NumericOperand& operand, const FieldSlice* fields,
                          uint64_t field_count) noexcept {
  if (!operand.is_column) return operand.literalValue();
  double x;
  if (operand.columnIndex() >= field_count || !readFieldNumber(fields[operand.columnIndex()], x))
    return 0;
  return x;
}

}  // namespace tavix
