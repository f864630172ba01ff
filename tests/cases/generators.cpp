#include "generators.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/padded_table.h"
#include "support/sequences.h"

namespace {

using tavix::test::Sequence;

constexpr const char* kCategories[] = {"tools", "books", "food", "toys"};

// `header`, then `row(id, random)` for id = 1, 2, ... while a row of
// `longest_row` bytes still fits, then a last row "0,<padding><last_tail>"
// whose padding makes the file exactly `bytes` long (at least the header and
// one row).
template <typename Row>
std::string rowsOfExactSize(uint64_t bytes, uint64_t seed, std::string_view header,
                            size_t longest_row, std::string_view last_tail, Row row) {
  const size_t last_row_size = 2 + last_tail.size();
  Sequence seq{seed};
  std::string out(header);
  out.reserve(bytes + longest_row);
  for (uint64_t id = 1; out.size() + longest_row + last_row_size < bytes; ++id)
    out += row(id, seq.next());
  const size_t pad = bytes > out.size() + last_row_size ? bytes - out.size() - last_row_size : 1;
  out += "0," + std::string(pad, 'p');
  out += last_tail;
  return out;
}

// "id,name,category,price,qty" rows.
std::string itemRows(uint64_t bytes, uint64_t seed) {
  return rowsOfExactSize(bytes, seed, "id,name,category,price,qty\n", 64, ",food,1,1\n",
                         [](uint64_t id, uint64_t r) {
                           return std::to_string(id) + ",item" + std::to_string(r % 100000) +
                                  "," + kCategories[(r >> 20) % 4] + "," +
                                  std::to_string((r >> 24) % 1000) + "." +
                                  std::to_string((r >> 34) % 100) + "," +
                                  std::to_string((r >> 44) % 50) + "\n";
                         });
}

// "id,name,category,price,note" rows whose notes exercise the quoted-field
// rules: every 9th note is quoted and holds a comma, a line end and doubled
// quotes, every 13th row ends with CRLF, every 17th note is the quoted empty
// text.
std::string quotedRows(uint64_t bytes, uint64_t seed) {
  return rowsOfExactSize(
      bytes, seed, "id,name,category,price,note\n", 96, ",food,1,end\n",
      [](uint64_t id, uint64_t r) {
        std::string note;
        if (id % 9 == 0) {
          note = "\"multi, line " + std::to_string(r % 1000) + "\nwith \"\"quotes\"\"\"";
        } else if (id % 17 == 0) {
          note = "\"\"";
        } else {
          note = "n" + std::to_string(r % 1000);
        }
        return std::to_string(id) + ",item" + std::to_string(r % 100000) + "," +
               kCategories[(r >> 20) % 4] + "," + std::to_string((r >> 24) % 1000) + "." +
               std::to_string((r >> 34) % 100) + "," + note + (id % 13 == 0 ? "\r\n" : "\n");
      });
}

// `itemRows` of `bytes` bytes with one record of `fields` fields (its first
// field quoted when `quoted`) put in place of the row that follows byte
// offset `at`; the file keeps its size while the last row's padding allows.
std::string wideRecordRows(uint64_t bytes, uint64_t seed, uint64_t at, uint64_t fields, bool quoted) {
  std::string out = itemRows(bytes, seed);
  std::string wide = quoted ? "\"w, 1\"" : "w";
  for (uint64_t f = 1; f < fields; ++f) wide += ",x";
  wide += "\n";
  size_t start = out.find('\n', std::min<uint64_t>(at, out.size() - 1));
  if (start == std::string::npos || start + 1 >= out.size()) start = out.find('\n');
  ++start;
  const size_t end = out.find('\n', start);
  out.replace(start, end + 1 - start, wide);
  // Keep the size: the last row's padding gives up what the record added.
  if (out.size() > bytes) {
    const size_t pad_start = out.rfind("\n0,") + 3;
    const size_t pad = out.find(',', pad_start) - pad_start;
    out.erase(pad_start, std::min<size_t>(out.size() - bytes, pad > 0 ? pad - 1 : 0));
  }
  return out;
}

// "city,code,d,price,qty" rows for grouping: a block of `rows` distinct-ish
// rows (cities with a comma or a quote among them, codes that mix numbers
// and texts, dates, decimals, integers), written once, or repeated whole
// until the file holds at least `bytes` bytes. A repeated block leaves every
// per-group minimum, maximum, average and distinct count as it is.
std::string groupRows(uint64_t bytes, uint64_t seed, uint64_t rows) {
  static const char* kCities[] = {"Oslo", "Bergen", "Lyon", "\"Paris, Texas\"", "Quito",
                                  "\"Say \"\"hi\"\"\"", "Lima", "oslo", "Os", "Zagreb"};
  static const char* kCodes[] = {"9", "10", "1a", "-3", "abc", "2.5", "", "A", "1e2", "0x10"};
  Sequence seq{seed};
  std::string block;
  for (uint64_t i = 0; i < rows; ++i) {
    const uint64_t r = seq.next();
    char date[16];
    std::snprintf(date, sizeof date, "202%d-%02d-%02d", static_cast<int>(r % 5),
                  static_cast<int>(1 + (r >> 8) % 12), static_cast<int>(1 + (r >> 16) % 28));
    block += std::string(kCities[(r >> 24) % 10]) + "," + kCodes[(r >> 32) % 10] + "," + date +
             "," + std::to_string((r >> 40) % 100) + "." + std::to_string((r >> 48) % 10) + "," +
             std::to_string((r >> 52) % 7) + "\n";
  }
  std::string out = "city,code,d,price,qty\n";
  do {
    out += block;
  } while (out.size() < bytes);
  return out;
}

// "k,x,t" rows for whole-table aggregates: a fixed block of rows with k = 1
// (numbers with blanks, texts that are no numbers, empty fields, quoted
// fields with commas, doubled quotes and a line end, a quote inside a field,
// a CRLF record), then, until the file holds at least `bytes` bytes,
// padding rows with k = 0 that a WHERE k = 1 turns away: random integers,
// the same kinds of texts, and now and then an empty line or a line of one
// CR, which hold no record. Without padding the file is the block alone.
std::string aggregateRows(uint64_t bytes, uint64_t seed) {
  static const char* kTexts[] = {"a", "b", "", "\"q, \"\"x\"\"\"", "5\" tall", "\"multi\nline\"", "A"};
  std::string out =
      "k,x,t\n"
      "1,1,a\n"
      "1,2,b\n"
      "1, 4 ,\"\"\n"
      "1,5.5,\"q, \"\"x\"\"\"\n"
      "1,abc,5\" tall\n"
      "1,,\"multi\nline\"\n"
      "1,-3,A\n"
      "1,1e2,a\n"
      "1,12.25,b\r\n";
  Sequence seq{seed};
  while (out.size() < bytes) {
    const uint64_t r = seq.next();
    if (r % 97 == 0) {
      out += (r >> 8) % 2 == 0 ? "\n" : "\r\n";
      continue;
    }
    out += "0," + std::to_string((r >> 8) % 100000) + "," + kTexts[(r >> 32) % 7] +
           ((r >> 40) % 11 == 0 ? "\r\n" : "\n");
  }
  return out;
}

// "k,v" rows for many groups: each of the keys k000000 .. k<groups - 1>
// once per round, in an order shuffled afresh every round, with v = the
// key's number modulo 7; rounds are written until the file holds at least
// `bytes` bytes (one round at least).
std::string manyKeyRows(uint64_t bytes, uint64_t seed, uint64_t groups) {
  Sequence seq{seed};
  std::vector<uint64_t> order(groups);
  for (uint64_t i = 0; i < groups; ++i) order[i] = i;
  std::string out = "k,v\n";
  out.reserve(bytes + groups * 12);
  do {
    for (uint64_t i = groups; i > 1; --i) std::swap(order[i - 1], order[seq.next() % i]);
    for (uint64_t key : order) {
      char row[32];
      std::snprintf(row, sizeof row, "k%06llu,%llu\n", static_cast<unsigned long long>(key),
                    static_cast<unsigned long long>(key % 7));
      out += row;
    }
  } while (out.size() < bytes);
  return out;
}

}  // namespace

bool generateFixture(const std::map<std::string, std::string>& params, std::string& content,
                     std::string& error) {
  auto get = [&](const char* key) -> std::string {
    auto it = params.find(key);
    return it == params.end() ? std::string() : it->second;
  };
  if (get("name").empty()) {
    error = "generate needs name=";
    return false;
  }
  const uint64_t bytes = std::strtoull(get("bytes").c_str(), nullptr, 10);
  const uint64_t seed = get("seed").empty() ? 1 : std::strtoull(get("seed").c_str(), nullptr, 10);
  const std::string kind = get("kind");
  if (kind == "items") {
    content = itemRows(bytes, seed);
    return true;
  }
  if (kind == "quoted") {
    content = quotedRows(bytes, seed);
    return true;
  }
  if (kind == "wide") {
    // at= byte offset of the wide record (default: the middle), fields=
    // its field count (default 257), quoted=1 quotes its first field.
    const uint64_t at = get("at").empty() ? bytes / 2 : std::strtoull(get("at").c_str(), nullptr, 10);
    const uint64_t fields = get("fields").empty() ? 257 : std::strtoull(get("fields").c_str(), nullptr, 10);
    content = wideRecordRows(bytes, seed, at, fields, get("quoted") == "1");
    return true;
  }
  if (kind == "groups") {
    // rows= the rows of the block (default 600).
    const uint64_t rows = get("rows").empty() ? 600 : std::strtoull(get("rows").c_str(), nullptr, 10);
    content = groupRows(bytes, seed, rows);
    return true;
  }
  if (kind == "keys") {
    // groups= the number of distinct keys (default 1000).
    const uint64_t groups =
        get("groups").empty() ? 1000 : std::strtoull(get("groups").c_str(), nullptr, 10);
    content = manyKeyRows(bytes, seed, groups);
    return true;
  }
  if (kind == "padded") {
    // from= a fixture file whose rows are spread among padding rows until
    // the file holds at least bytes= bytes (the runner passes its content).
    if (params.count("from_content") == 0) {
      error = "padded needs from= naming an earlier file";
      return false;
    }
    content = tavix::test::paddedTable(params.at("from_content"), bytes);
    return true;
  }
  if (kind == "aggregate") {
    content = aggregateRows(bytes, seed);
    return true;
  }
  error = "unknown generator kind '" + kind + "'";
  return false;
}
