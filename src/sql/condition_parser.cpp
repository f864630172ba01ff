#include "sql/condition_parser.h"

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/number_rule.h"
#include "sql/keyword_scan.h"

namespace tavix {

namespace {

using sql_scan::npos;

// The whole condition text with, for every "(", the position of the ")" that
// closes it, counted two ways. `enclosing_close` ignores quotes (the rule of
// the enclosing-parentheses test); `group_close` skips single-quoted strings
// (the rule of every keyword search). npos: never closed. With them the
// enclosing test takes constant time and a keyword search steps over a
// parenthesised group in one jump, so each level of nesting costs only its
// own top-level bytes and deep or long conditions parse in linear time.
//
// A ")" is matched the same way whichever piece of the text is scanned:
// pieces always start outside quotes at a point where the scan is at depth
// 0, and inside a group the count cannot reach a clamped ")".
class ConditionText {
 public:
  explicit ConditionText(std::string_view whole)
      : whole_(whole), enclosing_close_(whole.size(), npos), group_close_(whole.size(), npos) {
    matchParens(whole, false, enclosing_close_);
    matchParens(whole, true, group_close_);
  }

  // True when `t` (a view into the whole text) starts with "(" and ends with
  // ")" and, counting from the first byte with quotes not considered, the
  // count does not return to 0 before the last byte. A first "(" that is
  // never closed inside `t` counts as enclosing too: "(a = (1)" is read as
  // "a = (1".
  bool isEnclosedByParens(std::string_view t) const noexcept {
    if (t.size() < 2 || t.front() != '(' || t.back() != ')') return false;
    const size_t close = enclosing_close_[offsetOf(t)];
    return close == npos || close >= offsetOf(t) + t.size() - 1;
  }

  // The first top-level `keyword` in `t` (letters in any case, each space a
  // whitespace run) at or after `from` that fits inside `t`, or nullopt. The
  // scan starts at depth 0 at `from`.
  std::optional<KeywordSpan> findKeyword(std::string_view t, std::string_view keyword,
                                         size_t from) const {
    size_t end = npos;
    const size_t at = findAtTopLevel(t, from, [&](size_t p) {
      end = sql_scan::matchKeyword(t, p, keyword);
      return end != npos;
    });
    if (at == npos) return std::nullopt;
    return KeywordSpan{at, end};
  }

  // The first top-level position p >= `from` of `t` holding none of "(",
  // ")", "'" for which `accept(p)` holds, or npos.
  template <typename Accept>
  size_t findAtTopLevel(std::string_view t, size_t from, Accept&& accept) const {
    const size_t base = offsetOf(t);
    size_t i = from;
    while (i < t.size()) {
      const char c = t[i];
      if (c == '\'') {
        i = sql_scan::skipQuoted(t, i);
        continue;
      }
      if (c == '(') {
        const size_t close = group_close_[base + i];
        if (close == npos || close >= base + t.size()) return npos;
        i = close - base + 1;
        continue;
      }
      if (c != ')' && accept(i)) return i;
      ++i;
    }
    return npos;
  }

 private:
  // Records in `close_of` the ")" that closes each "(" of `whole`, stepping
  // over single-quoted strings when `skip_quotes` is set.
  static void matchParens(std::string_view whole, bool skip_quotes,
                          std::vector<size_t>& close_of) {
    std::vector<size_t> open;
    size_t i = 0;
    while (i < whole.size()) {
      const char c = whole[i];
      if (skip_quotes && c == '\'') {
        i = sql_scan::skipQuoted(whole, i);
        continue;
      }
      if (c == '(') {
        open.push_back(i);
      } else if (c == ')' && !open.empty()) {
        close_of[open.back()] = i;
        open.pop_back();
      }
      ++i;
    }
  }

  size_t offsetOf(std::string_view t) const noexcept {
    return static_cast<size_t>(t.data() - whole_.data());
  }

  std::string_view whole_;
  std::vector<size_t> enclosing_close_;
  std::vector<size_t> group_close_;
};

// Cuts `t` at every top-level " or ". The text after each OR is trimmed
// before it is searched again, exactly as if the rest had been parsed on its
// own, so the whole chain is split in one pass. This and splitAtAnd stay out
// of line to keep the frame of the recursive parseNode small.
[[gnu::noinline]] void splitAtOr(const ConditionText& ctx, std::string_view t,
                                 std::vector<std::string_view>& pieces) {
  size_t start = 0;
  while (const std::optional<KeywordSpan> at = ctx.findKeyword(t, " or ", start)) {
    pieces.push_back(t.substr(start, at->start - start));
    start = at->end;
  }
  pieces.push_back(t.substr(start));
}

// Cuts `t` at every top-level " and " that does not close a BETWEEN: an AND
// belongs to a BETWEEN when a top-level " between " lies wholly between the
// start of the current piece (or the end of the last AND skipped for a
// BETWEEN) and the AND. Every stretch of text is scanned once.
[[gnu::noinline]] void splitAtAnd(const ConditionText& ctx, std::string_view t,
                                  std::vector<std::string_view>& pieces) {
  size_t start = 0;
  size_t window = 0;
  while (t.size() - window >= 5) {
    const std::optional<KeywordSpan> at = ctx.findKeyword(t, " and ", window);
    if (!at) break;
    if (ctx.findKeyword(t.substr(0, at->start), " between ", window)) {
      window = at->end;
      continue;
    }
    pieces.push_back(t.substr(start, at->start - start));
    start = at->end;
    window = start;
  }
  pieces.push_back(t.substr(start));
}

// Kept out of line: parseNode recurses, and its frame should not carry the
// locals of every leaf form.
[[gnu::noinline]] Error parseLeaf(const ConditionText& ctx, std::string_view t, ConditionNode& out);

// Parses `text` into `root`, which must be an empty node; on failure `root`
// may hold part of the tree, which its owner discards.
//
// Chains are split in one pass and built top-down through their open right
// end: a OR b OR c is a OR (b OR c). Every piece but the last is parsed by a
// recursive call; the last piece, and the condition under a NOT, are parsed
// by the same loop. So the recursion follows only the left sides, whose
// depth is bounded by the nesting of parentheses (each level counted towards
// kMaxConditionNesting), and pieces are parsed left to right, so the first
// error in the text is the one returned.
//
// `known_flat` says that `text` holds no top-level OR and no splitting AND
// (it is the rest after a NOT), which spares a NOT NOT ... chain from
// searching its whole rest again at every level.
Error parseNode(const ConditionText& ctx, std::string_view text, ConditionNode& root, int depth,
                bool known_flat) {
  ConditionNode* out = &root;
  std::vector<std::string_view> pieces;
  for (;;) {
    std::string_view t = trim(text);
    while (ctx.isEnclosedByParens(t)) {
      if (++depth > kMaxConditionNesting) return Error::InvalidExpression;
      t = trim(t.substr(1, t.size() - 2));
      known_flat = false;
    }
    if (!known_flat) {
      pieces.clear();
      splitAtOr(ctx, t, pieces);
      const bool is_or = pieces.size() > 1;
      if (!is_or) {
        pieces.clear();
        splitAtAnd(ctx, t, pieces);
      }
      if (pieces.size() > 1) {
        for (size_t i = 0; i + 1 < pieces.size(); ++i) {
          out->kind = ConditionKind::and_or;
          out->pair = std::make_unique<ConditionPair>();
          out->pair->is_or = is_or;
          TAVIX_TRY(parseNode(ctx, pieces[i], out->pair->left, depth, false));
          out = &out->pair->right;
        }
        text = pieces.back();
        continue;
      }
    }
    // NOT is peeled only once no top-level OR or AND is left, so it binds to
    // the one condition that follows it: NOT a = 1 AND b = 2 is
    // (NOT a = 1) AND b = 2.
    if (const size_t not_end = sql_scan::matchKeyword(t, 0, "not "); not_end != npos) {
      if (++depth > kMaxConditionNesting) return Error::InvalidExpression;
      text = t.substr(not_end);
      // The rest has the same top-level keywords as `t`, except a
      // " between " whose leading whitespace was the one after NOT.
      known_flat = sql_scan::matchKeyword(text, 0, "between ") == npos;
      out->kind = ConditionKind::negation;
      out->child = std::make_unique<ConditionNode>();
      out = out->child.get();
      continue;
    }
    return parseLeaf(ctx, t, *out);
  }
}

std::string lowerTrimmed(std::string_view s) { return toLowerCopy(trim(s)); }

std::optional<double> numberOf(std::string_view s) noexcept {
  double v;
  if (parseNumber(s, v) != Error::ok) return std::nullopt;
  return v;
}

Error parseBetweenLeaf(std::string_view t, KeywordSpan between, ConditionNode& out) {
  const std::string_view rest = trim(t.substr(between.end));
  const std::optional<KeywordSpan> and_at = sql_scan::findKeyword(rest, " and ");
  if (!and_at) return Error::InvalidExpression;
  const std::string_view low = stripMatchingQuotes(trim(rest.substr(0, and_at->start)));
  const std::string_view high = stripMatchingQuotes(trim(rest.substr(and_at->end)));
  ConditionNode node;
  ComparisonLeaf& leaf = node.comparison;
  leaf.column = lowerTrimmed(t.substr(0, between.start));
  leaf.value = std::string(low);
  leaf.value_number = numberOf(low);
  leaf.upper = std::string(high);
  leaf.upper_number = numberOf(high);
  leaf.op = ComparisonOp::between;
  out = std::move(node);
  return Error::ok;
}

// The operator forms of the leaf scan, in the order they are tried at one
// position.
enum class OperatorForm : uint8_t {
  is_not_null,
  is_null,
  not_in,
  ilike,
  like,
  in,
  modulo,
  comparison,
};

struct OperatorEntry {
  std::string_view text;
  OperatorForm form;
};

constexpr OperatorEntry kOperators[] = {
    {" is not null", OperatorForm::is_not_null},
    {" is null", OperatorForm::is_null},
    {" not in (", OperatorForm::not_in},
    {" ilike ", OperatorForm::ilike},
    {" like ", OperatorForm::like},
    {" in (", OperatorForm::in},
    {" % ", OperatorForm::modulo},
    {"!=", OperatorForm::comparison},
    {"<>", OperatorForm::comparison},
    {"<=", OperatorForm::comparison},
    {">=", OperatorForm::comparison},
    {"<", OperatorForm::comparison},
    {"=", OperatorForm::comparison},
    {">", OperatorForm::comparison},
};

struct FoundOperator {
  const OperatorEntry* entry = nullptr;
  size_t pos = npos;
  size_t end = npos;  // just after the operator's text as matched
};

// The first top-level position where an operator matches, and the first
// matching entry there. An IN or NOT IN counts only when nothing before it
// looks like another operator, a quote or a call: none of ! ' ( < = > ".
FoundOperator findOperator(const ConditionText& ctx, std::string_view t) {
  const size_t first_blocker = t.find_first_of("!'(<=>\"");
  FoundOperator found;
  ctx.findAtTopLevel(t, 0, [&](size_t p) {
    // Every operator text starts with whitespace or one of these bytes.
    if (!(isSpace(t[p]) || t[p] == '!' || t[p] == '<' || t[p] == '=' || t[p] == '>')) return false;
    for (const OperatorEntry& e : kOperators) {
      const size_t end = sql_scan::matchKeyword(t, p, e.text);
      if (end == npos) continue;
      const bool is_list = e.form == OperatorForm::in || e.form == OperatorForm::not_in;
      if (is_list && first_blocker < p) return false;
      found.entry = &e;
      found.pos = p;
      found.end = end;
      return true;
    }
    return false;
  });
  return found;
}

Error parseInListLeaf(std::string_view t, const FoundOperator& op, ConditionNode& out) {
  const size_t open = op.end - 1;  // the operator's own "("
  const size_t close = t.rfind(')');
  if (close == npos || close <= open) return Error::InvalidExpression;
  const std::string_view inner = trim(t.substr(open + 1, close - open - 1));
  ConditionNode node;
  ComparisonLeaf& leaf = node.comparison;
  leaf.column = lowerTrimmed(t.substr(0, op.pos));
  leaf.negated = op.entry->form == OperatorForm::not_in;
  leaf.op = ComparisonOp::eq;
  if (sql_scan::startsWithWord(inner, "select")) {
    leaf.subquery = std::string(inner);
  } else {
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i <= inner.size(); ++i) {
      if (i < inner.size()) {
        if (inner[i] == '\'') quoted = !quoted;
        if (inner[i] != ',' || quoted) continue;
      }
      leaf.in_list.emplace_back(stripMatchingQuotes(trim(inner.substr(start, i - start))));
      start = i + 1;
    }
  }
  out = std::move(node);
  return Error::ok;
}

// The three date functions a condition may test directly.
bool isDateFunctionName(std::string_view name) noexcept {
  return name == "extract" || name == "datediff" || name == "dateadd";
}

// Tries the form `fn(args) op number` for extract, datediff and dateadd.
// Sets `matched` when the text has that form (then `out` or the error is the
// result); leaves it false when the form is ruled out.
Error tryDateFunctionLeaf(std::string_view t, ConditionNode& out, bool& matched) {
  matched = false;
  const size_t open = t.find('(');
  if (open == npos || open == 0) return Error::ok;
  const std::string name = lowerTrimmed(t.substr(0, open));
  if (!isDateFunctionName(name)) return Error::ok;
  size_t close = npos;
  size_t depth = 0;
  for (size_t i = open; i < t.size(); ++i) {
    if (t[i] == '(') {
      ++depth;
    } else if (t[i] == ')' && --depth == 0) {
      close = i;
      break;
    }
  }
  if (close == npos) {
    matched = true;
    return Error::InvalidExpression;
  }
  if (close + 1 == t.size()) return Error::ok;
  const std::string_view after = trim(t.substr(close + 1));
  std::string_view op_text;
  for (std::string_view two : {"!=", "<>", "<=", ">="}) {
    if (after.substr(0, 2) == two) op_text = two;
  }
  if (op_text.empty() && !after.empty() &&
      (after[0] == '<' || after[0] == '=' || after[0] == '>')) {
    op_text = after.substr(0, 1);
  }
  if (op_text.empty()) return Error::ok;
  matched = true;

  ConditionNode node;
  node.kind = ConditionKind::date_function;
  DateFunctionLeaf& leaf = node.date;
  leaf.op = *parseComparisonOp(op_text);
  if (parseNumber(trim(after.substr(op_text.size())), leaf.literal) != Error::ok)
    return Error::InvalidExpression;
  const std::string_view args = trim(t.substr(open + 1, close - open - 1));
  if (name == "extract") {
    const std::optional<KeywordSpan> from = sql_scan::findKeyword(args, " from ");
    if (!from) return Error::InvalidExpression;
    leaf.unit = std::string(trim(args.substr(0, from->start)));
    leaf.column = lowerTrimmed(args.substr(from->end));
  } else {
    std::string_view parts[3];
    size_t count = 0;
    size_t start = 0;
    while (count < 3) {
      const size_t comma = args.find(',', start);
      parts[count++] = args.substr(start, comma == npos ? npos : comma - start);
      if (comma == npos) break;
      start = comma + 1;
    }
    if (count < 3) return Error::InvalidExpression;
    leaf.unit = std::string(stripMatchingQuotes(trim(parts[0])));
    if (name == "datediff") {
      leaf.column = lowerTrimmed(parts[1]);
      leaf.column2 = lowerTrimmed(parts[2]);
    } else {
      if (parseInteger(trim(parts[1]), leaf.amount) != Error::ok) return Error::InvalidExpression;
      leaf.column = lowerTrimmed(parts[2]);
    }
  }
  leaf.function = name;
  out = std::move(node);
  return Error::ok;
}

// `column % modulus op value`: the modulus must be a non-zero number and the
// value a number; the value stays text only.
Error parseModuloLeaf(std::string_view t, size_t at, size_t end, ConditionNode& out) {
  const std::string_view rest = trim(t.substr(end));
  std::string_view op_text;
  size_t op_at = npos;
  for (std::string_view candidate : {"!=", "<>", ">=", "<=", "=", ">", "<"}) {
    op_at = rest.find(candidate);
    if (op_at != npos) {
      op_text = candidate;
      break;
    }
  }
  if (op_at == npos) return Error::InvalidExpression;
  double modulus;
  if (parseNumber(trim(rest.substr(0, op_at)), modulus) != Error::ok || modulus == 0)
    return Error::InvalidExpression;
  const std::string_view value = trim(rest.substr(op_at + op_text.size()));
  if (!isNumber(value)) return Error::InvalidExpression;
  ConditionNode node;
  ComparisonLeaf& leaf = node.comparison;
  leaf.column = lowerTrimmed(t.substr(0, at));
  leaf.value = std::string(value);
  leaf.modulus = modulus;
  leaf.op = *parseComparisonOp(op_text);
  out = std::move(node);
  return Error::ok;
}

Error parseLeaf(const ConditionText& ctx, std::string_view t, ConditionNode& out) {
  if (const std::optional<KeywordSpan> between = ctx.findKeyword(t, " between ", 0))
    return parseBetweenLeaf(t, *between, out);

  const FoundOperator op = findOperator(ctx, t);
  const OperatorForm form = op.entry ? op.entry->form : OperatorForm::comparison;
  if (op.entry && form != OperatorForm::modulo && form != OperatorForm::comparison) {
    ConditionNode node;
    ComparisonLeaf& leaf = node.comparison;
    switch (form) {
      case OperatorForm::is_not_null:
      case OperatorForm::is_null:
        leaf.column = lowerTrimmed(t.substr(0, op.pos));
        leaf.op = form == OperatorForm::is_null ? ComparisonOp::is_null : ComparisonOp::is_not_null;
        break;
      case OperatorForm::ilike:
      case OperatorForm::like:
        leaf.column = lowerTrimmed(t.substr(0, op.pos));
        leaf.value = std::string(stripMatchingQuotes(trim(t.substr(op.end))));
        leaf.op = form == OperatorForm::like ? ComparisonOp::like : ComparisonOp::ilike;
        break;
      default:
        return parseInListLeaf(t, op, out);
    }
    out = std::move(node);
    return Error::ok;
  }

  bool matched = false;
  TAVIX_TRY(tryDateFunctionLeaf(t, out, matched));
  if (matched) return Error::ok;
  if (!op.entry) return Error::InvalidExpression;
  if (form == OperatorForm::modulo) return parseModuloLeaf(t, op.pos, op.end, out);
  return makeComparisonLeaf(t, op.entry->text, op.pos, out);
}

bool hasName(std::string_view column, const FieldSlice* names, size_t count) noexcept {
  for (size_t i = 0; i < count; ++i)
    if (names[i] == column) return true;
  return false;
}

}  // namespace

Error parseCondition(std::string_view text, ConditionNode& out) {
  try {
    const ConditionText ctx(text);
    ConditionNode node;
    TAVIX_TRY(parseNode(ctx, text, node, 0, false));
    out = std::move(node);
    return Error::ok;
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
}

Error makeComparisonLeaf(std::string_view text, std::string_view op_text, size_t op_pos,
                         ConditionNode& out) {
  const std::optional<ComparisonOp> op = parseComparisonOp(op_text);
  if (!op || *op == ComparisonOp::like || *op == ComparisonOp::ilike) return Error::InvalidOperator;
  std::string_view value = trim(text.substr(op_pos + op_text.size()));
  if (!value.empty() && (value.front() == '\'' || value.front() == '"')) {
    if (value.size() < 2 || value.back() != value.front()) return Error::UnterminatedQuotedValue;
    value = value.substr(1, value.size() - 2);
  }
  ConditionNode node;
  ComparisonLeaf& leaf = node.comparison;
  leaf.column = lowerTrimmed(text.substr(0, op_pos));
  leaf.value = std::string(value);
  leaf.value_number = numberOf(value);
  leaf.op = *op;
  out = std::move(node);
  return Error::ok;
}

std::optional<ComparisonOp> parseComparisonOp(std::string_view op_text) noexcept {
  if (op_text == "=") return ComparisonOp::eq;
  if (op_text == "!=" || op_text == "<>") return ComparisonOp::ne;
  if (op_text == ">") return ComparisonOp::gt;
  if (op_text == ">=") return ComparisonOp::ge;
  if (op_text == "<") return ComparisonOp::lt;
  if (op_text == "<=") return ComparisonOp::le;
  if (op_text == "LIKE") return ComparisonOp::like;
  if (op_text == "ILIKE") return ComparisonOp::ilike;
  return std::nullopt;
}

std::string_view stripMatchingQuotes(std::string_view text) noexcept {
  if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') &&
      text.back() == text.front())
    return text.substr(1, text.size() - 2);
  return text;
}

// Walks right sides and negations in a loop and recurses only into left
// sides, whose depth the parser bounds by the nesting of parentheses and NOT.
Error checkConditionColumns(const ConditionNode& node, const FieldSlice* names, size_t count) {
  const ConditionNode* n = &node;
  for (;;) {
    switch (n->kind) {
      case ConditionKind::and_or:
        if (!n->pair) return Error::ok;
        TAVIX_TRY(checkConditionColumns(n->pair->left, names, count));
        n = &n->pair->right;
        continue;
      case ConditionKind::negation:
        if (!n->child) return Error::ok;
        n = n->child.get();
        continue;
      case ConditionKind::comparison:
        return hasName(n->comparison.column, names, count) ? Error::ok : Error::ColumnNotFound;
      case ConditionKind::date_function: {
        const DateFunctionLeaf& d = n->date;
        if (!hasName(d.column, names, count)) return Error::ColumnNotFound;
        if (d.function == "datediff" && !hasName(d.column2, names, count))
          return Error::ColumnNotFound;
        return Error::ok;
      }
    }
    return Error::ok;
  }
}

bool conditionHasSubquery(const ConditionNode& node) noexcept {
  const ConditionNode* n = &node;
  for (;;) {
    switch (n->kind) {
      case ConditionKind::and_or:
        if (!n->pair) return false;
        if (conditionHasSubquery(n->pair->left)) return true;
        n = &n->pair->right;
        continue;
      case ConditionKind::negation:
        if (!n->child) return false;
        n = n->child.get();
        continue;
      case ConditionKind::comparison:
        return n->comparison.isSubquery();
      case ConditionKind::date_function:
        return false;
    }
    return false;
  }
}

}  // namespace tavix
