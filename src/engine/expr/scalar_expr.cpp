#include "engine/expr/scalar_expr.h"

#include <string>

#include "common/number_rule.h"
#include "sql/keyword_scan.h"

namespace tavix {

namespace {

constexpr size_t kNpos = std::string_view::npos;

// Longest function name that is looked at; longer names are no function.
constexpr size_t kMaxFunctionName = 64;
// Only the first 32 bytes of a CAST type word take part in the type tests.
constexpr size_t kMaxCastTypeWord = 32;
// Column references up to this length are folded on the stack.
constexpr size_t kColumnScratch = 256;

bool isQuoted(std::string_view s) noexcept {
  return s.size() >= 2 && s.front() == '\'' && s.back() == '\'';
}

std::string_view unquote(std::string_view s) noexcept { return s.substr(1, s.size() - 2); }

std::string_view unquoteIfQuoted(std::string_view s) noexcept {
  return isQuoted(s) ? unquote(s) : s;
}

// Cuts `arg` at every ',' (quotes not considered); the last piece runs to the
// end. Returns the number of pieces written, at most `max` (pieces past it
// are counted but not stored).
size_t splitAtCommas(std::string_view arg, std::string_view* pieces, size_t max) noexcept {
  size_t count = 0;
  size_t begin = 0;
  for (;;) {
    const size_t comma = arg.find(',', begin);
    const std::string_view piece =
        trim(arg.substr(begin, comma == kNpos ? kNpos : comma - begin));
    if (count < max) pieces[count] = piece;
    ++count;
    if (comma == kNpos) break;
    begin = comma + 1;
  }
  return count;
}

// The result of one compile step: a hard error, "not an expression", or done.
struct Outcome {
  Error error = Error::ok;
  bool present = false;
};

constexpr Outcome kNotExpression{Error::ok, false};
constexpr Outcome kCompiled{Error::ok, true};
constexpr Outcome fail(Error e) { return Outcome{e, false}; }

class Compiler {
 public:
  explicit Compiler(const ColumnResolver& columns) : columns_(columns) {}

  Outcome compile(std::string_view text, ScalarExpr& e, int depth);

 private:
  // Resolves a column argument; not found gives ColumnNotFound.
  Error resolve(std::string_view text, uint64_t& index) const {
    return resolveColumnRef(text, columns_, index) ? Error::ok : Error::ColumnNotFound;
  }

  Outcome compileCase(std::string_view text, ScalarExpr& e);
  Outcome compileCall(std::string_view name, std::string_view arg, ScalarExpr& e, int depth);
  Outcome compileStringFn(ScalarExprKind kind, std::string_view arg, ScalarExpr& e, int depth);
  Outcome compileSubstr(std::string_view arg, ScalarExpr& e);
  Outcome compilePad(ScalarExprKind kind, std::string_view arg, ScalarExpr& e);
  Outcome compileReplace(std::string_view arg, ScalarExpr& e);
  Outcome compileSplitPart(std::string_view arg, ScalarExpr& e);
  Outcome compileArgList(ScalarExprKind kind, std::string_view arg, ScalarExpr& e);
  Outcome compileMod(std::string_view arg, ScalarExpr& e);
  Outcome compileRound(std::string_view arg, ScalarExpr& e);
  Outcome compileCoalesce(std::string_view arg, ScalarExpr& e);
  Outcome compileCast(std::string_view arg, ScalarExpr& e);
  Outcome compileDatediff(std::string_view arg, ScalarExpr& e);
  Outcome compileDateadd(std::string_view arg, ScalarExpr& e);
  Outcome compileExtract(std::string_view arg, ScalarExpr& e);
  Outcome compileStrftime(std::string_view arg, ScalarExpr& e);

  const ColumnResolver& columns_;
};

Outcome Compiler::compile(std::string_view raw, ScalarExpr& e, int depth) {
  const std::string_view text = trim(raw);

  // "x IS NOT NULL" must be tested before "x IS NULL", which it contains.
  static constexpr struct {
    std::string_view needle;
    bool not_null;
  } kNullTests[] = {{" is not null", true}, {" is null", false}};
  for (const auto& test : kNullTests) {
    const std::optional<KeywordSpan> at = sql_scan::findKeyword(text, test.needle);
    if (!at) continue;
    if (Error err = resolve(text.substr(0, at->start), e.column); err != Error::ok)
      return fail(err);
    e.kind = ScalarExprKind::is_null;
    e.not_null = test.not_null;
    return kCompiled;
  }

  if (startsWithIgnoreCase(text, "case")) return compileCase(text, e);

  const size_t open = text.find('(');
  if (open == kNpos || text.back() != ')') return kNotExpression;
  const std::string_view name = trim(text.substr(0, open));
  if (name.size() > kMaxFunctionName) return kNotExpression;
  char folded[kMaxFunctionName];
  for (size_t i = 0; i < name.size(); ++i) folded[i] = toLowerAscii(name[i]);
  const std::string_view arg = trim(text.substr(open + 1, text.size() - open - 2));
  return compileCall(std::string_view(folded, name.size()), arg, e, depth);
}

Outcome Compiler::compileCase(std::string_view text, ScalarExpr& e) {
  const CaseWhenParts parts = splitCaseWhen(text);
  if (!parts.found) return kNotExpression;
  const std::string_view condition = parts.condition;
  const std::string_view then_text = parts.then_text;
  const std::string_view else_text = parts.else_text;

  // The leftmost operator wins; at one position the earlier entry wins.
  size_t op_at = kNpos;
  size_t op_len = 0;
  for (const ComparisonOperator& candidate : kCaseComparisonOperators) {
    const size_t at = condition.find(candidate.text);
    if (at < op_at) {
      op_at = at;
      op_len = candidate.text.size();
      e.op = candidate.op;
    }
  }
  if (op_at == kNpos) return kNotExpression;

  if (Error err = resolve(condition.substr(0, op_at), e.column); err != Error::ok)
    return fail(err);

  const std::string_view literal = trim(condition.substr(op_at + op_len));
  if (isQuoted(literal)) {
    e.literal_is_number = false;
    e.literal_text = unquote(literal);
  } else if (parseNumber(literal, e.literal_number) == Error::ok) {
    e.literal_is_number = true;
  } else {
    return kNotExpression;
  }

  if (Error err = parseOperand(then_text, columns_, e.then_operand); err != Error::ok)
    return fail(err);
  if (Error err = parseOperand(else_text, columns_, e.else_operand); err != Error::ok)
    return fail(err);
  e.kind = ScalarExprKind::case_when;
  return kCompiled;
}

Outcome Compiler::compileCall(std::string_view name, std::string_view arg, ScalarExpr& e,
                              int depth) {
  static constexpr struct {
    std::string_view name;
    ScalarExprKind kind;
  } kSingleColumn[] = {
      {"upper", ScalarExprKind::upper}, {"lower", ScalarExprKind::lower},
      {"trim", ScalarExprKind::trim},   {"reverse", ScalarExprKind::reverse},
      {"length", ScalarExprKind::length}, {"abs", ScalarExprKind::abs},
      {"sign", ScalarExprKind::sign},   {"ceil", ScalarExprKind::ceil},
      {"ceiling", ScalarExprKind::ceil}, {"floor", ScalarExprKind::floor},
  };
  for (const auto& fn : kSingleColumn)
    if (name == fn.name) return compileStringFn(fn.kind, arg, e, depth);

  if (name == "substr" || name == "substring") return compileSubstr(arg, e);
  if (name == "lpad") return compilePad(ScalarExprKind::lpad, arg, e);
  if (name == "rpad") return compilePad(ScalarExprKind::rpad, arg, e);
  if (name == "replace") return compileReplace(arg, e);
  if (name == "split_part") return compileSplitPart(arg, e);
  if (name == "greatest") return compileArgList(ScalarExprKind::greatest, arg, e);
  if (name == "least") return compileArgList(ScalarExprKind::least, arg, e);
  if (name == "concat") return compileArgList(ScalarExprKind::concat, arg, e);
  if (name == "mod") return compileMod(arg, e);
  if (name == "round") return compileRound(arg, e);
  if (name == "coalesce") return compileCoalesce(arg, e);
  if (name == "cast") return compileCast(arg, e);
  if (name == "datediff") return compileDatediff(arg, e);
  if (name == "dateadd") return compileDateadd(arg, e);
  if (name == "extract") return compileExtract(arg, e);
  if (name == "strftime") return compileStrftime(arg, e);
  return kNotExpression;
}

// upper, lower, trim, reverse and length may wrap another expression; the
// numeric single-column functions may not.
Outcome Compiler::compileStringFn(ScalarExprKind kind, std::string_view arg, ScalarExpr& e,
                                  int depth) {
  if (arg.find('(') == kNpos) {
    if (Error err = resolve(arg, e.column); err != Error::ok) return fail(err);
    e.kind = kind;
    return kCompiled;
  }
  // This call sits at `depth` in the chain; the child would make the chain
  // at least depth + 2 functions long.
  if (kind > ScalarExprKind::length || depth + 2 > kMaxNestedStringFns)
    return fail(Error::NestedFunctionNotSupported);
  auto child = std::make_unique<ScalarExpr>();
  const Outcome inner = compile(arg, *child, depth + 1);
  if (inner.error != Error::ok) return inner;
  if (!inner.present) return fail(Error::ColumnNotFound);
  e.kind = ScalarExprKind::nested_string_fn;
  e.outer_kind = kind;
  e.child = std::move(child);
  return kCompiled;
}

Outcome Compiler::compileSubstr(std::string_view arg, ScalarExpr& e) {
  const size_t comma = arg.find(',');
  if (comma == kNpos) return kNotExpression;
  if (Error err = resolve(arg.substr(0, comma), e.column); err != Error::ok) return fail(err);
  const std::string_view rest = arg.substr(comma + 1);
  const size_t second = rest.find(',');
  const std::string_view start_text = trim(rest.substr(0, second));
  if (parseInteger(start_text, e.start) != Error::ok) return kNotExpression;
  e.length = -1;
  if (second != kNpos && parseInteger(trim(rest.substr(second + 1)), e.length) != Error::ok)
    return kNotExpression;
  e.kind = ScalarExprKind::substr;
  return kCompiled;
}

Outcome Compiler::compilePad(ScalarExprKind kind, std::string_view arg, ScalarExpr& e) {
  const size_t comma = arg.find(',');
  if (comma == kNpos) return kNotExpression;
  if (Error err = resolve(arg.substr(0, comma), e.column); err != Error::ok) return fail(err);
  const std::string_view rest = arg.substr(comma + 1);
  const size_t second = rest.find(',');
  if (parseInteger(trim(rest.substr(0, second)), e.width) != Error::ok) return kNotExpression;
  e.pad = " ";
  if (second != kNpos) {
    const std::string_view pad = trim(rest.substr(second + 1));
    if (!isQuoted(pad)) return kNotExpression;
    e.pad = unquote(pad);
  }
  e.kind = kind;
  return kCompiled;
}

// Finds the text between the first "'" at or after `from` and the next one;
// returns the position just past the closing quote, or npos.
size_t takeQuoted(std::string_view s, size_t from, std::string_view& value) noexcept {
  const size_t open = s.find('\'', from);
  if (open == kNpos) return kNpos;
  const size_t close = s.find('\'', open + 1);
  if (close == kNpos) return kNpos;
  value = s.substr(open + 1, close - open - 1);
  return close + 1;
}

Outcome Compiler::compileReplace(std::string_view arg, ScalarExpr& e) {
  const size_t comma = arg.find(',');
  if (comma == kNpos) return kNotExpression;
  if (Error err = resolve(arg.substr(0, comma), e.column); err != Error::ok) return fail(err);
  size_t at = takeQuoted(arg, comma + 1, e.from);
  if (at == kNpos || e.from.empty()) return kNotExpression;
  at = arg.find(',', at);
  if (at == kNpos) return kNotExpression;
  if (takeQuoted(arg, at + 1, e.to) == kNpos) return kNotExpression;
  e.kind = ScalarExprKind::replace;
  return kCompiled;
}

Outcome Compiler::compileSplitPart(std::string_view arg, ScalarExpr& e) {
  const size_t comma = arg.find(',');
  if (comma == kNpos) return kNotExpression;
  if (Error err = resolve(arg.substr(0, comma), e.column); err != Error::ok) return fail(err);
  size_t at = takeQuoted(arg, comma + 1, e.delimiter);
  if (at == kNpos || e.delimiter.empty()) return kNotExpression;
  at = arg.find(',', at);
  if (at == kNpos) return kNotExpression;
  if (parseInteger(trim(arg.substr(at + 1)), e.part) != Error::ok || e.part == 0)
    return kNotExpression;
  e.kind = ScalarExprKind::split_part;
  return kCompiled;
}

// greatest, least and concat split their list with quotes respected, so a
// text argument may hold commas. An unterminated last quote drops that piece.
Outcome Compiler::compileArgList(ScalarExprKind kind, std::string_view arg, ScalarExpr& e) {
  e.arg_count = 0;
  const auto take = [&](std::string_view raw_piece) -> Error {
    const std::string_view piece = trim(raw_piece);
    if (piece.empty()) return Error::ok;
    if (e.arg_count == kMaxExprArgs) return Error::TooManyArgs;
    ExprArg& slot = e.args[e.arg_count];
    if (isQuoted(piece)) {
      slot.is_literal = true;
      slot.text = unquote(piece);
    } else if (resolveColumnRef(piece, columns_, slot.column)) {
      slot.is_literal = false;
    } else if (kind != ScalarExprKind::concat && isNumber(piece)) {
      slot.is_literal = true;
      slot.text = piece;
    } else {
      return Error::ColumnNotFound;
    }
    ++e.arg_count;
    return Error::ok;
  };

  bool in_quotes = false;
  size_t begin = 0;
  for (size_t i = 0; i < arg.size(); ++i) {
    if (arg[i] == '\'') {
      in_quotes = !in_quotes;
    } else if (arg[i] == ',' && !in_quotes) {
      if (Error err = take(arg.substr(begin, i - begin)); err != Error::ok) return fail(err);
      begin = i + 1;
    }
  }
  if (!in_quotes) {
    if (Error err = take(arg.substr(begin)); err != Error::ok) return fail(err);
  }

  const uint64_t needed = kind == ScalarExprKind::concat ? 1 : 2;
  if (e.arg_count < needed) return kNotExpression;
  e.kind = kind;
  return kCompiled;
}

Outcome Compiler::compileMod(std::string_view arg, ScalarExpr& e) {
  const size_t comma = arg.find(',');
  if (comma == kNpos) return kNotExpression;
  if (Error err = resolve(arg.substr(0, comma), e.column); err != Error::ok) return fail(err);
  if (parseNumber(trim(arg.substr(comma + 1)), e.modulus) != Error::ok) return kNotExpression;
  e.kind = ScalarExprKind::mod;
  return kCompiled;
}

Outcome Compiler::compileRound(std::string_view arg, ScalarExpr& e) {
  const size_t comma = arg.find(',');
  std::string_view column_text = arg;
  e.digits = 0;
  if (comma != kNpos) {
    if (parseInteger(trim(arg.substr(comma + 1)), e.digits) != Error::ok) return kNotExpression;
    column_text = arg.substr(0, comma);
  }
  if (Error err = resolve(column_text, e.column); err != Error::ok) return fail(err);
  e.kind = ScalarExprKind::round;
  return kCompiled;
}

Outcome Compiler::compileCoalesce(std::string_view arg, ScalarExpr& e) {
  e.column_count = 0;
  e.fallback = {};
  size_t begin = 0;
  for (;;) {
    const size_t comma = arg.find(',', begin);
    const std::string_view piece =
        trim(arg.substr(begin, comma == kNpos ? kNpos : comma - begin));
    if (isQuoted(piece)) {
      e.fallback = unquote(piece);
    } else if (isNumber(piece)) {
      e.fallback = piece;
    } else {
      if (e.column_count == kMaxExprArgs) return fail(Error::TooManyArgs);
      if (Error err = resolve(piece, e.columns[e.column_count]); err != Error::ok)
        return fail(err);
      ++e.column_count;
    }
    if (comma == kNpos) break;
    begin = comma + 1;
  }
  if (e.column_count == 0) return kNotExpression;
  e.kind = ScalarExprKind::coalesce;
  return kCompiled;
}

Outcome Compiler::compileCast(std::string_view arg, ScalarExpr& e) {
  const std::optional<KeywordSpan> as = sql_scan::findKeyword(arg, " as ");
  if (!as) return kNotExpression;
  if (Error err = resolve(arg.substr(0, as->start), e.column); err != Error::ok) return fail(err);

  const std::string_view word = trim(arg.substr(as->end));
  char folded_bytes[kMaxCastTypeWord];
  const size_t n = word.size() < kMaxCastTypeWord ? word.size() : kMaxCastTypeWord;
  for (size_t i = 0; i < n; ++i) folded_bytes[i] = toLowerAscii(word[i]);
  // The folded prefix stands for the word; equality tests also need the
  // word's full length to match.
  const std::string_view folded(folded_bytes, n);
  const auto is = [&](std::string_view w) { return word.size() == w.size() && folded == w; };
  const auto begins = [&](std::string_view w) { return folded.starts_with(w); };

  if ((folded.size() >= 3 && begins("int")) || is("bigint") || is("smallint") || is("tinyint")) {
    e.kind = ScalarExprKind::cast_int;
  } else if (begins("float") || begins("double") || begins("real") || begins("numeric") ||
             begins("decimal")) {
    e.kind = ScalarExprKind::cast_float;
  } else if (begins("text") || begins("varchar") || begins("char") || begins("string") ||
             begins("nvar")) {
    e.kind = ScalarExprKind::cast_text;
  } else {
    return kNotExpression;
  }
  return kCompiled;
}

Outcome Compiler::compileDatediff(std::string_view arg, ScalarExpr& e) {
  std::string_view pieces[3];
  if (splitAtCommas(arg, pieces, 3) < 3) return kNotExpression;
  e.unit = unquoteIfQuoted(pieces[0]);
  if (Error err = resolve(pieces[1], e.column_a); err != Error::ok) return fail(err);
  if (Error err = resolve(pieces[2], e.column_b); err != Error::ok) return fail(err);
  e.kind = ScalarExprKind::datediff;
  return kCompiled;
}

Outcome Compiler::compileDateadd(std::string_view arg, ScalarExpr& e) {
  std::string_view pieces[3];
  if (splitAtCommas(arg, pieces, 3) < 3) return kNotExpression;
  e.unit = unquoteIfQuoted(pieces[0]);
  if (parseInteger(pieces[1], e.amount) != Error::ok) return kNotExpression;
  if (Error err = resolve(pieces[2], e.column); err != Error::ok) return fail(err);
  e.kind = ScalarExprKind::dateadd;
  return kCompiled;
}

Outcome Compiler::compileExtract(std::string_view arg, ScalarExpr& e) {
  const std::optional<KeywordSpan> from = sql_scan::findKeyword(arg, " from ");
  if (!from) return kNotExpression;
  e.unit = trim(arg.substr(0, from->start));
  if (Error err = resolve(arg.substr(from->end), e.column); err != Error::ok) return fail(err);
  e.kind = ScalarExprKind::extract;
  return kCompiled;
}

Outcome Compiler::compileStrftime(std::string_view arg, ScalarExpr& e) {
  const size_t comma = arg.find(',');
  if (comma == kNpos) return kNotExpression;
  e.format = unquoteIfQuoted(trim(arg.substr(0, comma)));
  if (Error err = resolve(arg.substr(comma + 1), e.column); err != Error::ok) return fail(err);
  e.kind = ScalarExprKind::strftime;
  return kCompiled;
}

}  // namespace

bool HeaderListResolver::findColumn(std::string_view lowered_name,
                                    uint64_t& index) const noexcept {
  for (size_t i = 0; i < count_; ++i) {
    if (names_[i] == lowered_name) {
      index = i;
      return true;
    }
  }
  return false;
}

bool resolveColumnRef(std::string_view text, const ColumnResolver& columns, uint64_t& index) {
  const std::string_view name = trim(text);
  if (name.find('(') != kNpos) return false;
  if (name.size() <= kColumnScratch) {
    char scratch[kColumnScratch];
    for (size_t i = 0; i < name.size(); ++i) scratch[i] = toLowerAscii(name[i]);
    return columns.findColumn(std::string_view(scratch, name.size()), index);
  }
  const std::string folded = toLowerCopy(name);
  return columns.findColumn(folded, index);
}

Error parseOperand(std::string_view text, const ColumnResolver& columns, Operand& out) {
  out = Operand{};
  if (isQuoted(text)) {
    out.tag = OperandTag::text;
    out.text = unquote(text);
    return Error::ok;
  }
  if (parseNumber(text, out.number) == Error::ok) {
    out.tag = OperandTag::number;
    return Error::ok;
  }
  if (!resolveColumnRef(text, columns, out.column)) return Error::ColumnNotFound;
  out.tag = OperandTag::column;
  return Error::ok;
}

Error parseScalarExpr(std::string_view text, const ColumnResolver& columns, ScalarExpr& out,
                      bool& present) {
  ScalarExpr compiled;
  const Outcome outcome = Compiler(columns).compile(text, compiled, 0);
  present = outcome.error == Error::ok && outcome.present;
  out = present ? std::move(compiled) : ScalarExpr{};
  return outcome.error;
}

void freeScalarExpr(ScalarExpr& expr) noexcept { expr = ScalarExpr{}; }

Error missingColumnError(std::string_view item_text) noexcept {
  return item_text.find_first_of("*/") != kNpos ? Error::ArithmeticExpressionsNotSupported
                                                : Error::ColumnNotFound;
}

CaseWhenParts splitCaseWhen(std::string_view text) noexcept {
  const std::string_view t = trim(text);
  if (!startsWithIgnoreCase(t, "case")) return CaseWhenParts{};
  // Any whitespace may stand around WHEN, THEN and ELSE.
  std::string_view rest = trimLeft(t.substr(4));
  const size_t when_end = sql_scan::matchKeyword(rest, 0, "when ");
  if (rest.size() < 5 || when_end == kNpos) return CaseWhenParts{};
  rest = rest.substr(when_end);

  const std::optional<KeywordSpan> then_at = sql_scan::findKeyword(rest, " then ");
  if (!then_at) return CaseWhenParts{};
  CaseWhenParts parts;
  parts.condition = trim(rest.substr(0, then_at->start));
  rest = rest.substr(then_at->end);

  const std::optional<KeywordSpan> else_at = sql_scan::findKeyword(rest, " else ");
  if (!else_at) return CaseWhenParts{};
  parts.then_text = trim(rest.substr(0, else_at->start));
  const std::string_view tail = trim(rest.substr(else_at->end));
  if (tail.size() < 3 || !endsWithIgnoreCase(tail, "end")) return CaseWhenParts{};
  parts.else_text = trim(tail.substr(0, tail.size() - 3));
  parts.found = true;
  return parts;
}

}  // namespace tavix
