#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/result_set.h"

namespace tallyhand {
namespace {

// Every cell of a set as text, rows separated by '|', cells by ','; null as "~".
std::string Dump(TResultSet& set) {
  std::string out;
  for (set.First(); !set.Eof(); set.Next()) {
    if (!out.empty()) out += '|';
    for (int c = 0; c < set.FieldCount(); ++c) {
      if (c > 0) out += ',';
      const TField field = set.Fields(c);
      out += field.IsNull() ? "~" : field.AsString();
    }
  }
  return out;
}

std::vector<Column> TwoColumns() {
  return {{"A", FieldType::Integer}, {"B", FieldType::String}};
}

TEST(ResultSetCells, RowsAndCellsGiveTheSameSet) {
  struct Case {
    const char* what;
    std::vector<std::vector<Value>> rows;
    std::vector<Value> cells;
    std::size_t records;
    const char* dump;
  } cases[] = {
      {"no rows", {}, {}, 0, ""},
      {"full rows", {{1, "x"}, {2, "y"}}, {1, "x", 2, "y"}, 2, "1,x|2,y"},
      {"short rows read as null", {{1}, {}, {3, "z"}}, {1, Value(), Value(), Value(), 3, "z"}, 3,
       "1,~|~,~|3,z"},
      {"a last incomplete row is filled with nulls", {{1, "x"}, {2}}, {1, "x", 2}, 2, "1,x|2,~"},
  };
  for (Case& c : cases) {
    TResultSet fromRows(TwoColumns(), c.rows);
    TResultSet fromCells = TResultSet::FromCells(TwoColumns(), c.cells);
    EXPECT_EQ(fromRows.RecordCount(), c.records) << c.what;
    EXPECT_EQ(fromCells.RecordCount(), c.records) << c.what;
    EXPECT_EQ(fromRows.IsEmpty(), c.records == 0) << c.what;
    EXPECT_EQ(Dump(fromRows), c.dump) << c.what;
    EXPECT_EQ(Dump(fromCells), c.dump) << c.what;
  }
}

TEST(ResultSetCells, OutsideTheRowsAndColumnsReadsNull) {
  TResultSet set = TResultSet::FromCells(TwoColumns(), {1, "x"});
  set.First();
  EXPECT_TRUE(set.At(2).IsNull());
  EXPECT_TRUE(set.At(-1).IsNull());
  set.Next();
  ASSERT_TRUE(set.Eof());
  EXPECT_TRUE(set.At(0).IsNull());
  set.Next();  // stays at the end
  EXPECT_TRUE(set.Eof());
  TResultSet noColumns = TResultSet::FromCells({}, {1, 2});
  EXPECT_TRUE(noColumns.IsEmpty());
}

}  // namespace
}  // namespace tallyhand
