// Evaluation of compiled select expressions on one row.
//
// `evalScalarExpr` turns a `ScalarExpr` (scalar_expr.h) into text for one row.
// It never fails: a missing column reads as the empty text, and a value that
// is not a number or not a date, an unlisted date unit or a block that cannot
// be had each give a fixed fallback for the kind (usually the value
// unchanged, "0" or the empty text).
//
// Results are views. Wherever the kind allows they point into the row's
// fields, into the compiled expression's literals (the select text) or at
// constant texts; only texts that must be built (upper, numbers, dates, pads,
// replacements, concatenations...) take a block from the `Allocator` passed
// in, sized to the text. Nothing is ever released: the scan loops pass an
// arena they reset per row, the row predicates a small fixed buffer. A result
// stays valid while the row, the compiled expression and that allocator's
// memory do.
//
// Pure functions of their arguments: any number of threads may evaluate the
// same compiled expression at once, each with its own allocator.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/allocator.h"
#include "common/text.h"
#include "engine/expr/scalar_expr.h"

namespace tavix {

// The value of `expr` on the row `fields[0 .. field_count)`. New texts come
// from `allocator`; never fails.
std::string_view evalScalarExpr(const ScalarExpr& expr, const FieldSlice* fields,
                                uint64_t field_count, const Allocator& allocator) noexcept;

// The value of column `index` of a row: its field, or the empty text when the
// row has no such field.
inline std::string_view fieldOrEmpty(const FieldSlice* fields, uint64_t field_count,
                                     uint64_t index) noexcept {
  return index < field_count ? fields[index] : std::string_view{};
}

// x `op` v for eq, ne, gt, ge, lt and le by IEEE rules (a NaN on either side
// makes all of them false except ne); any other operator gives false.
bool compareNumbersByOp(double x, ComparisonOp op, double v) noexcept;

// GREATEST (`greatest` true) or LEAST of `count` >= 1 texts: by value when all
// of them are numbers, else bytewise (unsigned, a proper prefix first). The
// earlier of equal texts wins, and a NaN is never chosen over a number that
// came first nor replaced once chosen. Returns one of the given texts.
std::string_view pickExtremeText(const std::string_view* texts, uint64_t count,
                                 bool greatest) noexcept;

// The text of a CASE branch: a text operand as stored, a number operand as
// its number text in a new block (the empty text when none can be had), a
// column operand as the row's field (the empty text past the row).
std::string_view evalOperandText(const Operand& operand, const FieldSlice* fields,
                                 uint64_t field_count, const Allocator& allocator) noexcept;

}  // namespace tavix
