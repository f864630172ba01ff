#include "exec/group/group_keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tavix {
namespace {

// Header: d, name, price, code, y, "substring(name, 1, 2)".
ColumnIndexMap testColumns() {
  static const FieldSlice names[] = {"D", " name ", "price", "code", "y", "substring(name, 1, 2)"};
  ColumnIndexMap map;
  map.assign(names, std::size(names));
  return map;
}

// A compiled key as one line: kind, column and the fields of its kind.
std::string describe(const GroupKeySpec& k) {
  switch (k.kind) {
    case GroupKeyKind::column: return "column " + std::to_string(k.column);
    case GroupKeyKind::strftime:
      return "strftime " + std::to_string(k.column) + " [" + k.format + "] [" + k.item_text + "]";
    case GroupKeyKind::substr:
      return "substr " + std::to_string(k.column) + " " + std::to_string(k.start) +
             (k.has_length ? " " + std::to_string(k.length) : std::string(" -")) + " [" +
             k.item_text + "]";
    case GroupKeyKind::round:
      return "round " + std::to_string(k.column) +
             (k.has_digits ? " " + std::to_string(k.digits) : std::string(" -")) + " [" +
             k.item_text + "]";
  }
  return "?";
}

std::string compileOne(std::string_view group_by, std::vector<std::string> select_items,
                       bool select_star = false) {
  ParsedQuery q;
  q.select_items = std::move(select_items);
  q.select_star = select_star;
  q.group_by = {std::string(group_by)};
  std::vector<GroupKeySpec> keys;
  const ColumnIndexMap columns = testColumns();
  const Error e = compileGroupKeys(q, columns, keys);
  if (e != Error::ok) {
    EXPECT_TRUE(keys.empty());
    return "error " + std::string(errorName(e));
  }
  EXPECT_EQ(keys.size(), 1u);
  return describe(keys[0]);
}

TEST(CompileGroupKeys, FormsPositionsAndAliases) {
  const std::vector<std::string> three = {"name", "price AS y", "strftime('%Y', d) AS yr"};
  static const struct {
    const char* group_by;
    bool star;
    const char* expected;
  } cases[] = {
      {"name", false, "column 1"},
      {"NAME", false, "column 1"},
      {"2", false, "column 2"},  // position: the expression of item 2, alias removed
      {"+2", false, "column 2"},
      {"3", false, "strftime 0 [%Y] [strftime('%Y', d)]"},
      {"0", false, "error ColumnNotFound"},
      {"4", false, "error ColumnNotFound"},
      {"1", true, "error ColumnNotFound"},  // no positions under SELECT *
      {"y", false, "column 4"},             // a column wins over an alias
      {"yr", false, "strftime 0 [%Y] [strftime('%Y', d)]"},
      {"YR", false, "strftime 0 [%Y] [strftime('%Y', d)]"},
      {"yr", true, "error ColumnNotFound"},
      {"STRFTIME('%Y',D)", false, "strftime 0 [%Y] [STRFTIME('%Y',D)]"},
      {"strftime('', d)", false, "strftime 0 [] [strftime('', d)]"},
      {"strftime(d, '%Y')", false, "error InvalidQuery"},
      {"strftime('%Y', nosuch)", false, "error ColumnNotFound"},
      {"strftime('%Y)", false, "error InvalidQuery"},
      {"strftime('%Y', d", false, "error InvalidQuery"},
      {"strftime('%Y')(a,b", false, "error InvalidQuery"},
      {"strftime()", false, "error ColumnNotFound"},
      {"substr(name, 0, 2)", false, "substr 1 0 2 [substr(name, 0, 2)]"},
      {"substr(name, 1, 2)", false, "substr 1 0 2 [substr(name, 1, 2)]"},
      {"SUBSTR( name ,3)", false, "substr 1 2 - [SUBSTR( name ,3)]"},
      {"substr(name, 2, 3, 9)", false, "substr 1 1 3 [substr(name, 2, 3, 9)]"},
      {"substr(name, -1)", false, "error InvalidQuery"},
      {"substr(name)", false, "error InvalidQuery"},
      {"substr(name, 1, )", false, "error InvalidQuery"},
      {"substr(name, x", false, "error InvalidQuery"},
      {"substr(nosuch, x)", false, "error ColumnNotFound"},  // the column is looked up first
      {"substring(name, 1, 2)", false, "column 5"},
      {"substring(name, 9, 2)", false, "error ColumnNotFound"},
      {"round(price)", false, "round 2 - [round(price)]"},
      {" Round( price , 2 ) ", false, "round 2 2 [ Round( price , 2 ) ]"},
      {"round(price, 255)", false, "round 2 255 [round(price, 255)]"},
      {"round(price, 256)", false, "error InvalidQuery"},
      {"round(price, -1)", false, "error InvalidQuery"},
      {"round(nosuch, x)", false, "error InvalidQuery"},  // decimals are read first
      {"round(nosuch, 1)", false, "error ColumnNotFound"},
      {"round(price) + 1", false, "error ColumnNotFound"},
      {"round(price", false, "error InvalidQuery"},
      {"nosuch", false, "error ColumnNotFound"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(compileOne(c.group_by, three, c.star), c.expected) << c.group_by;
  }
}

TEST(CompileGroupKeys, AliasLendsItsExpressionToTheKeyForms) {
  EXPECT_EQ(compileOne("k", {"substr(name, 2) AS k"}), "substr 1 1 - [substr(name, 2)]");
  EXPECT_EQ(compileOne("k", {"round(price, 1) k"}), "round 2 1 [round(price, 1)]");
  EXPECT_EQ(compileOne("k", {"code AS k"}), "column 3");
  // The first alias that matches decides, even when its expression fails.
  EXPECT_EQ(compileOne("k", {"upper(name) AS k", "code AS k"}), "error ColumnNotFound");
  EXPECT_EQ(compileOne("k", {"substr(name) AS k"}), "error InvalidQuery");
}

TEST(CompileGroupKeys, SeveralItemsInOrderAndTheFirstErrorWins) {
  ParsedQuery q;
  q.select_items = {"a", "round(b, 1)"};
  q.group_by = {"code", "round(price, 1)", "name"};
  const ColumnIndexMap columns = testColumns();
  std::vector<GroupKeySpec> keys;
  ASSERT_EQ(compileGroupKeys(q, columns, keys), Error::ok);
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(describe(keys[0]), "column 3");
  EXPECT_EQ(describe(keys[1]), "round 2 1 [round(price, 1)]");
  EXPECT_EQ(describe(keys[2]), "column 1");

  q.group_by = {"name", "substr(name)", "nosuch"};
  EXPECT_EQ(compileGroupKeys(q, columns, keys), Error::InvalidQuery);
  EXPECT_TRUE(keys.empty());
}

GroupKeySpec key(GroupKeyKind kind, uint64_t column) {
  GroupKeySpec k;
  k.kind = kind;
  k.column = column;
  return k;
}

TEST(ComputeKeyPart, EveryKindOnOneField) {
  GroupKeySpec column = key(GroupKeyKind::column, 0);
  GroupKeySpec year_month = key(GroupKeyKind::strftime, 0);
  year_month.format = "%Y-%m";
  GroupKeySpec substr_5_2 = key(GroupKeyKind::substr, 0);
  substr_5_2.start = 4;
  substr_5_2.length = 2;
  substr_5_2.has_length = true;
  GroupKeySpec substr_from_2 = key(GroupKeyKind::substr, 0);
  substr_from_2.start = 1;
  GroupKeySpec round_2 = key(GroupKeyKind::round, 0);
  round_2.digits = 2;
  round_2.has_digits = true;
  GroupKeySpec round_0 = key(GroupKeyKind::round, 0);
  GroupKeySpec round_9 = key(GroupKeyKind::round, 0);
  round_9.digits = 9;
  round_9.has_digits = true;

  static const std::string long_format(40, 'x');
  GroupKeySpec long_strftime = key(GroupKeyKind::strftime, 0);
  long_strftime.format = long_format + "%Y-%m-%d %H:%M:%S" + long_format;

  const struct {
    const GroupKeySpec* key;
    std::string_view field;
    std::string expected;
  } cases[] = {
      {&column, " a b ", " a b "},
      {&year_month, "2024-03-05", "2024-03"},
      {&year_month, "abcd-ef-gh", "abcd-ef"},  // not a date: fixed byte ranges
      {&year_month, "", "-"},
      {&substr_5_2, "abc", ""},
      {&substr_5_2, "abcde", "e"},
      {&substr_5_2, "abcdefgh", "ef"},
      {&substr_from_2, "abc", "bc"},
      {&round_2, " 3.14159 ", "3.14"},
      {&round_2, "abc", "abc"},
      {&round_0, "-2.5", "-3"},
      {&round_0, "2.49", "2"},
      {&round_9, "1.23456789", "1.234568"},
      // A round key prints the whole number, however long.
      {&round_2, "1e40", "10000000000000000000000000000000000000000.00"},
      // A strftime key is written whole, past 61 bytes too.
      {&long_strftime, "2024-03-05 06:07:08",
       long_format + "2024-03-05 06:07:08" + long_format},
  };
  std::vector<char> scratch;
  for (const auto& c : cases) {
    const std::vector<GroupKeySpec> one = {*c.key};
    scratch.assign(std::max<size_t>(1, keyPartScratchBytes(one)), '\0');
    const FieldSlice field = c.field;
    EXPECT_EQ(computeKeyPart(*c.key, &field, 1, scratch.data()), c.expected) << c.field;
  }
}

TEST(ComputeKeyPart, MissingFieldIsEmptyForEveryKind) {
  GroupKeySpec strftime_key = key(GroupKeyKind::strftime, 2);
  strftime_key.format = "%Y-%m";
  GroupKeySpec round_key = key(GroupKeyKind::round, 2);
  const GroupKeySpec keys[] = {key(GroupKeyKind::column, 2), strftime_key,
                               key(GroupKeyKind::substr, 2), round_key};
  const FieldSlice fields[] = {"a", "b"};
  char scratch[512];
  for (const GroupKeySpec& k : keys) EXPECT_EQ(computeKeyPart(k, fields, 2, scratch), "");
}

}  // namespace
}  // namespace tavix
