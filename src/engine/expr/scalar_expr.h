// Compiled select expressions.
//
// A select item such as "upper(name)", "round(price, 2)", "CASE WHEN qty > 10
// THEN 'bulk' ELSE 'single' END" or "city IS NULL" is compiled once per query
// by `parseScalarExpr` into a `ScalarExpr`: a tagged record naming the
// function, its source columns by header position and its literal arguments.
// `evalScalarExpr` (scalar_eval.h) turns it into text once per row.
//
// There is no tokenizer: forms are recognised by keyword search, by the first
// '(' and the last ')' and by splitting argument lists at commas. Every text
// inside a `ScalarExpr` is a view into the compiled expression text, which
// must therefore outlive the expression (the parsed query keeps it). Only a
// `nested_string_fn` owns memory (its child, through a unique_ptr), so a
// `ScalarExpr` is move-only and releases itself; `freeScalarExpr` exists for
// owners that want to drop it early.
//
// Column lookups go through `ColumnResolver`, a one-method interface over the
// executor's column map, so the compiler does not depend on how that map is
// built; `HeaderListResolver` adapts a plain list of lower-cased names.
//
// Compilation keeps no state and may run on any number of threads at once; a
// compiled expression is read-only and may be evaluated by many threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "common/error.h"
#include "common/text.h"
#include "sql/parsed_query.h"

namespace tavix {

// Finds a column by its trimmed, ASCII-lower-cased name. The executors adapt
// their `ColumnIndexMap` (first of duplicate header names wins) to this.
class ColumnResolver {
 public:
  // Returns true and sets `index` to the header position when the map holds
  // `lowered_name`; an empty name is an ordinary key.
  virtual bool findColumn(std::string_view lowered_name, uint64_t& index) const = 0;

 protected:
  ~ColumnResolver() = default;
};

// A resolver over header names that are already trimmed and lower-cased, in
// column order; the first equal name wins. The names must outlive it.
class HeaderListResolver final : public ColumnResolver {
 public:
  HeaderListResolver(const FieldSlice* names, size_t count) noexcept
      : names_(names), count_(count) {}
  bool findColumn(std::string_view lowered_name, uint64_t& index) const noexcept override;

 private:
  const FieldSlice* names_;
  size_t count_;
};

enum class ScalarExprKind : uint8_t {
  upper = 0,
  lower = 1,
  trim = 2,
  reverse = 3,
  length = 4,
  substr = 5,
  lpad = 6,
  rpad = 7,
  abs = 8,
  sign = 9,
  ceil = 10,
  floor = 11,
  mod = 12,
  coalesce = 13,
  cast_int = 14,
  cast_float = 15,
  cast_text = 16,
  datediff = 17,
  dateadd = 18,
  extract = 19,
  strftime = 20,
  round = 21,
  replace = 22,
  split_part = 23,
  greatest = 24,
  least = 25,
  concat = 26,
  nested_string_fn = 27,
  case_when = 28,
  is_null = 29,
};

enum class OperandTag : uint8_t { text = 0, number = 1, column = 2 };

// The value of a CASE branch: a text literal (quotes removed), a number or a
// column of the row.
struct Operand {
  std::string_view text;
  double number = 0;
  uint64_t column = 0;
  OperandTag tag = OperandTag::text;
};

// An argument of greatest, least or concat: a text literal (numbers given to
// greatest and least are kept as written) or a column.
struct ExprArg {
  std::string_view text;
  uint64_t column = 0;
  bool is_literal = false;
};

// The most arguments of greatest, least and concat and the most columns of
// coalesce.
inline constexpr size_t kMaxExprArgs = 8;

// The most string functions one chain of wrapped calls may hold
// ("upper(lower(trim(x)))" holds three). Compilation, evaluation and release
// recurse once per link, so the chain is bounded here; 32 is far beyond any
// hand-written select item and costs only a few kilobytes of stack. A longer
// chain fails to compile with NestedFunctionNotSupported.
inline constexpr int kMaxNestedStringFns = 32;

// One compiled select expression: the kind and a flat payload. Each kind
// reads only the fields noted for it below; the others keep their defaults.
// `column` is the source column of every single-column kind (upper .. floor,
// mod, the casts, dateadd, extract, strftime, round, replace, split_part,
// case_when and is_null).
struct ScalarExpr {
  ScalarExprKind kind = ScalarExprKind::upper;

  uint64_t column = 0;
  int32_t start = 0;    // substr: 1-based byte position; 0 and negatives allowed
  int32_t length = -1;  // substr: byte count; -1 when absent
  uint64_t width = 0;   // lpad, rpad: target length in bytes
  std::string_view pad = " ";  // lpad, rpad; may be empty
  double modulus = 0;          // mod

  uint64_t columns[kMaxExprArgs] = {};  // coalesce, in written order
  uint64_t column_count = 0;
  std::string_view fallback;  // coalesce: the last literal; empty when none

  std::string_view unit;  // datediff, dateadd, extract: as written
  uint64_t column_a = 0;  // datediff
  uint64_t column_b = 0;
  int32_t amount = 0;       // dateadd
  std::string_view format;  // strftime
  uint8_t digits = 0;       // round; 0 when absent

  std::string_view from;       // replace: never empty
  std::string_view to;         // replace: may be empty
  std::string_view delimiter;  // split_part: never empty
  uint64_t part = 1;           // split_part: 1-based

  ExprArg args[kMaxExprArgs];  // greatest, least, concat
  uint64_t arg_count = 0;

  std::unique_ptr<ScalarExpr> child;  // nested_string_fn
  ScalarExprKind outer_kind = ScalarExprKind::upper;  // upper .. length

  // case_when: `column` `op` literal THEN `then_operand` ELSE `else_operand`.
  double literal_number = 0;
  bool literal_is_number = false;
  std::string_view literal_text;  // without quotes; empty for a number
  Operand then_operand;
  Operand else_operand;
  ComparisonOp op = ComparisonOp::eq;  // eq .. le

  bool not_null = false;  // is_null: true for IS NOT NULL
};

// The three parts of "CASE WHEN <condition> THEN <then> ELSE <else> END":
// "case" in any case, any whitespace, "when" and whitespace, then the first
// " then " and the first " else " after it (keywords in any case, each
// space a run of whitespace, by the keyword matcher of sql/keyword_scan.h)
// and a final "end" in any case; each part trimmed (the ELSE part may be
// empty). Views into the text.
struct CaseWhenParts {
  std::string_view condition;
  std::string_view then_text;
  std::string_view else_text;
  bool found = false;  // false: the text has not this shape
};

// Splits a text that is exactly a CASE of the shape above (leading and
// trailing blanks allowed). Never fails.
CaseWhenParts splitCaseWhen(std::string_view text) noexcept;

// The comparison operators of a CASE condition, in the order they are tried
// at one position: a two-byte operator before the one-byte operator that
// begins it, so ">=" is never read as ">" followed by "=".
struct ComparisonOperator {
  std::string_view text;
  ComparisonOp op;
};
inline constexpr ComparisonOperator kCaseComparisonOperators[] = {
    {"!=", ComparisonOp::ne}, {"<>", ComparisonOp::ne}, {">=", ComparisonOp::ge},
    {"<=", ComparisonOp::le}, {"=", ComparisonOp::eq},  {">", ComparisonOp::gt},
    {"<", ComparisonOp::lt},
};

// Looks up a column reference: the text is trimmed and lower-cased and handed
// to `columns`. A text holding '(' is never a column. Returns true and sets
// `index` when found.
bool resolveColumnRef(std::string_view text, const ColumnResolver& columns, uint64_t& index);

// Compiles a CASE branch value (already trimmed): a quoted text, else a
// number, else a column. Returns ColumnNotFound when it is none of these.
[[nodiscard]] Error parseOperand(std::string_view text, const ColumnResolver& columns,
                                 Operand& out);

// Compiles one select expression (without its alias). Three outcomes:
//  - an error (ColumnNotFound, NestedFunctionNotSupported, TooManyArgs):
//    `present` is false and `out` is left in a default state;
//  - Error::ok with `present` true: `out` holds the expression;
//  - Error::ok with `present` false: the text is not an expression and the
//    caller treats it in its own way (usually as a plain column).
// Malformed calls and numbers never give an error, only "not an expression".
// `text` must outlive `out`. May throw std::bad_alloc (a nested child or a
// long column name).
[[nodiscard]] Error parseScalarExpr(std::string_view text, const ColumnResolver& columns,
                                    ScalarExpr& out, bool& present);

// Releases what `expr` owns (a nested child) and leaves it a default `upper`.
void freeScalarExpr(ScalarExpr& expr) noexcept;

// The error for a select item that is neither an expression nor a known
// column: ArithmeticExpressionsNotSupported when it holds '*' or '/' (it was
// meant as arithmetic, which the dialect lacks), else ColumnNotFound.
Error missingColumnError(std::string_view item_text) noexcept;

}  // namespace tavix
