#include "driver/join_staging.h"

#include <memory>
#include <utility>
#include <vector>

#include "engine/csv/csv_header.h"
#include "exec/aggregate/global_aggregate.h"
#include "exec/group/group_by.h"
#include "exec/join/join.h"
#include "exec/join/join_feed.h"
#include "platform/temp_files.h"

namespace tavix {
namespace {

// An identifier longer than this is never looked up among the ambiguous
// names: no header name the staging compares is expected to be longer.
constexpr size_t kMaxCheckedIdentifier = 256;

// The staging file from its creation on: closed, then deleted by name, on
// every way out.
class SpoolFileOwner {
 public:
  ~SpoolFileOwner() {
    platform::closeFile(spool.handle);
    releaseSpoolFile(spool);
  }
  SpoolFile spool;
};

// Whether the alias `alias` stands at `p` of `text` as a qualifier: equal
// without regard to ASCII case, then ".", then a letter or '_'.
bool qualifierAt(std::string_view text, size_t p, std::string_view alias) noexcept {
  const size_t n = alias.size();
  if (n == 0 || p + n + 1 >= text.size()) return false;
  if (!equalsIgnoreCase(text.substr(p, n), alias) || text[p + n] != '.') return false;
  const char next = text[p + n + 1];
  return isAsciiLetter(next) || next == '_';
}

// Adds the lower-cased header names of one table to `seen`, and those met
// before to `ambiguous`. Reads only the header row, through a mapping.
Error collectHeaderNames(std::string_view path, const QueryOptions& options, AmbiguousNames& seen,
                         AmbiguousNames& ambiguous) {
  platform::File file;
  TAVIX_TRY(platform::openForReading(path, file));
  platform::FileCloser close_file(file);
  uint64_t size = 0;
  TAVIX_TRY(platform::fileSize(file, size));
  if (size == 0) return Error::NoHeader;
  platform::MappedView view;
  TAVIX_TRY(platform::mapFileReadOnly(file, size, view));
  CsvHeader header;
  TAVIX_TRY(readCsvHeader(view.bytes(), options.csvLayout(), header));
  for (size_t i = 0; i < header.count; ++i) {
    std::string lowered = toLowerCopy(header.names[i]);
    if (seen.contains(lowered))
      ambiguous.insert(std::move(lowered));
    else
      seen.insert(std::move(lowered));
  }
  return Error::ok;
}

// Strips the qualifiers of every text the second pass reads, and keeps
// those texts, lower-cased, for the choice of the staged columns.
class QualifierRewrite {
 public:
  QualifierRewrite(std::span<const std::string_view> aliases, const AmbiguousNames& ambiguous)
      : aliases_(aliases), ambiguous_(ambiguous) {}

  [[nodiscard]] Error rewrite(std::string& text) {
    std::string out;
    TAVIX_TRY(stripTableQualifiers(text, aliases_, ambiguous_, out));
    text = std::move(out);
    named_ += toLowerCopy(text);
    named_ += '\n';
    return Error::ok;
  }

  // Copies the condition tree `root` into `out`, with the columns of every
  // comparison and date-function leaf rewritten when `strip` is set.
  // Recurses into left sides only (their depth is bounded by the parser's
  // nesting), and loops along right sides and NOT chains.
  [[nodiscard]] Error copyCondition(const ConditionNode& root, ConditionNode& out, bool strip) {
    const ConditionNode* from = &root;
    ConditionNode* to = &out;
    for (;;) {
      to->kind = from->kind;
      switch (from->kind) {
        case ConditionKind::comparison:
          to->comparison = from->comparison;
          return strip ? rewrite(to->comparison.column) : Error::ok;
        case ConditionKind::date_function:
          to->date = from->date;
          if (!strip) return Error::ok;
          TAVIX_TRY(rewrite(to->date.column));
          return to->date.column2.empty() ? Error::ok : rewrite(to->date.column2);
        case ConditionKind::and_or:
          if (from->pair == nullptr) return Error::ok;
          to->pair = std::make_unique<ConditionPair>();
          to->pair->is_or = from->pair->is_or;
          TAVIX_TRY(copyCondition(from->pair->left, to->pair->left, strip));
          from = &from->pair->right;
          to = &to->pair->right;
          continue;
        case ConditionKind::negation:
          if (from->child == nullptr) return Error::ok;
          to->child = std::make_unique<ConditionNode>();
          from = from->child.get();
          to = to->child.get();
          continue;
      }
      return Error::ok;
    }
  }

  // Whether a rewritten text names the column `lowered_name`: the name, as
  // the second pass trims it, stands in some text with no identifier byte
  // glued to an end of it that is itself an identifier byte.
  bool namesColumn(std::string_view lowered_name) const noexcept {
    const std::string_view name = trimHeaderName(lowered_name);
    if (name.empty()) return false;
    const bool open_start = isIdentByte(name.front());
    const bool open_end = isIdentByte(name.back());
    for (size_t pos = named_.find(name); pos != std::string::npos;
         pos = named_.find(name, pos + 1)) {
      const size_t end = pos + name.size();
      if (open_start && pos > 0 && isIdentByte(named_[pos - 1])) continue;
      if (open_end && end < named_.size() && isIdentByte(named_[end])) continue;
      return true;
    }
    return false;
  }

 private:
  std::span<const std::string_view> aliases_;
  const AmbiguousNames& ambiguous_;
  std::string named_;  // every rewritten text, lower-cased, one per line
};

// A copy of the parts of `query` that both passes keep.
void copyCommonParts(const ParsedQuery& query, ParsedQuery& out) {
  out.select_star = query.select_star;
  out.distinct = query.distinct;
  out.limit = query.limit;
  out.offset = query.offset;
}

}  // namespace

Error stripTableQualifiers(std::string_view text, std::span<const std::string_view> aliases,
                           const AmbiguousNames& ambiguous, std::string& out) {
  out.clear();
  out.reserve(text.size());
  bool quoted = false;
  size_t p = 0;
  while (p < text.size()) {
    const char c = text[p];
    // A literal is copied as it stands; a doubled quote inside it closes and
    // reopens it, which leaves it open.
    if (quoted || c == '\'') {
      if (c == '\'') quoted = !quoted;
      out.push_back(c);
      ++p;
      continue;
    }
    if (p == 0 || !isIdentByte(text[p - 1])) {
      bool stripped = false;
      for (const std::string_view alias : aliases) {
        if (!qualifierAt(text, p, alias)) continue;
        const size_t start = p + alias.size() + 1;
        size_t end = start;
        while (end < text.size() && isIdentByte(text[end])) ++end;
        const std::string_view identifier = text.substr(start, end - start);
        if (identifier.size() <= kMaxCheckedIdentifier &&
            ambiguous.contains(toLowerCopy(identifier)))
          return Error::AmbiguousColumnReference;
        out.append(identifier);
        p = end;
        stripped = true;
        break;
      }
      if (stripped) continue;
    }
    out.push_back(c);
    ++p;
  }
  return Error::ok;
}

void releaseSpoolFile(SpoolFile& spool) noexcept {
  if (spool.delete_on_release && !spool.path.empty())
    TAVIX_IGNORE_ERROR(platform::deleteFile(spool.path));
  spool.delete_on_release = false;
  spool.path.clear();
}

Error runJoinAggregateStaging(const ParsedQuery& query, const ResultFile& result,
                              const QueryOptions& options) {
  std::vector<std::string_view> aliases;
  std::vector<std::string_view> tables{query.source};
  aliases.push_back(query.joins.empty() ? std::string_view() : query.joins[0].left_alias);
  for (const JoinClause& join : query.joins) {
    aliases.push_back(join.alias);
    tables.push_back(join.table);
  }

  AmbiguousNames seen, ambiguous;
  for (const std::string_view table : tables)
    TAVIX_TRY(collectHeaderNames(table, options, seen, ambiguous));

  // The second pass: the statement's texts without qualifiers, over the
  // staging file alone, without joins and without WHERE (the first pass
  // applies it).
  ParsedQuery final_query;
  copyCommonParts(query, final_query);
  QualifierRewrite rewrite(aliases, ambiguous);
  final_query.select_items = query.select_items;
  for (std::string& item : final_query.select_items) TAVIX_TRY(rewrite.rewrite(item));
  final_query.group_by = query.group_by;
  for (std::string& item : final_query.group_by) TAVIX_TRY(rewrite.rewrite(item));
  if (query.has_having) {
    TAVIX_TRY(rewrite.copyCondition(query.having, final_query.having, /*strip=*/true));
    final_query.has_having = true;
  }
  if (query.has_order_by) {
    final_query.order_by = query.order_by;
    for (OrderByItem& key : final_query.order_by.extra_keys) TAVIX_TRY(rewrite.rewrite(key.column));
    TAVIX_TRY(rewrite.rewrite(final_query.order_by.primary_column));
    final_query.has_order_by = true;
  }

  // The first pass: every joined row that passes WHERE, with the columns the
  // second pass names, as CSV with a header row.
  ParsedQuery join_query;
  join_query.source = query.source;
  join_query.joins = query.joins;
  if (query.has_where) {
    TAVIX_TRY(rewrite.copyCondition(query.where, join_query.where, /*strip=*/false));
    join_query.has_where = true;
  }
  join_query.select_star = true;
  QueryOptions join_options = options;
  join_options.omit_header = false;
  join_options.output_format = OutputFormat::csv;
  const JoinColumnFilter staged = [&](std::string_view lowered_name) {
    return query.select_star || rewrite.namesColumn(lowered_name);
  };
  QueryOptions final_options = options;
  final_options.no_header_row = false;
  const bool grouped = !query.group_by.empty();

  // Both passes at once: the joined rows go straight into the grouping or
  // the aggregates as the records the second pass would read. Whatever goes
  // wrong there, the two passes give the answer (the error that wins, or the
  // answer after all), over a result file set back to where it was.
  if (!query.select_star) {
    uint64_t result_start = 0;
    TAVIX_TRY(platform::filePosition(result.handle, result_start));
    JoinRecordFeed feed;
    Error e = feed.open(join_query, join_options, staged);
    if (e == Error::ok && feed.headerIsPlain()) {
      final_query.source = query.source;
      e = grouped ? runGroupByQuery(final_query, result, final_options, feed)
                  : runGlobalAggregateQuery(final_query, result, final_options, feed);
      if (e == Error::ok) return Error::ok;
      TAVIX_TRY(platform::truncateFile(result.handle, result_start));
      TAVIX_TRY(platform::seekTo(result.handle, result_start));
    }
  }

  SpoolFileOwner staging;
  TAVIX_TRY(createNamedTempFile("joinagg", staging.spool.handle, staging.spool.path));
  staging.spool.delete_on_release = true;
  TAVIX_TRY(runJoinStagingQuery(join_query, ResultFile{staging.spool.handle}, join_options, staged));

  final_query.source = staging.spool.path;
  if (grouped)
    return runGroupByQuery(final_query, result, final_options, PreopenedSource{});
  return runGlobalAggregateQuery(final_query, result, final_options, PreopenedSource{});
}

}  // namespace tavix
