#include "results/ReportListRules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kx {
namespace {

TEST(ReportListRules, ColumnHeader) {
  const auto columns = ParseColumnHeader("Error Code, 100; Counter, 80, 2;Rate ;Mid,x,1");
  ASSERT_EQ(columns.size(), 4u);
  EXPECT_EQ(columns[0].name, "Error Code");
  EXPECT_EQ(columns[1].width, 80);
  EXPECT_EQ(columns[1].format, 2);
  EXPECT_EQ(columns[2].name, "Rate");
  EXPECT_EQ(columns[2].width, 100);
  EXPECT_EQ(columns[3].width, 100);
  EXPECT_EQ(columns[3].format, 1);
}

TEST(ReportListRules, CellsCompareAsDateThenNumberThenText) {
  struct Row {
    const char* a;
    const char* b;
    int sign;
  } rows[] = {{"10", "9", 1},
              {"2.5", "10", -1},
              {"2014-07-09 13:05:59", "2014-07-10 01:00:00", -1},
              {"2014/12/01", "2014/02/01", 1},
              {"10", "9x", -1},  // text
              {"b", "a", 1},
              {"7", "7", 0}};
  for (const Row& row : rows) {
    const int cmp = CompareCells(row.a, row.b, ColumnKind({row.a, row.b}));
    EXPECT_EQ((cmp > 0) - (cmp < 0), row.sign) << row.a << " " << row.b;
  }
}

// Numbers beside text: the column compares as text throughout, so the order
// is strict (cell by cell, 9 < 10 < "1a" < 9 would have no sorted order).
// "nan" reads as no number: 1 = nan = 2 but 1 < 2 would have none either.
TEST(ReportListRules, AMixedColumnHasOneStrictOrder) {
  const std::vector<std::vector<std::string>> columns = {{"9", "1a", "10", "9"}, {"1", "nan", "2", "NAN"}};
  for (const auto& column : columns) {
    for (const CellKind kind : {ColumnKind(column), CellKind::Number, CellKind::DateTime}) {
      auto less = [kind](const std::string& a, const std::string& b) { return CompareCells(a, b, kind) < 0; };
      for (const auto& a : column)
        for (const auto& b : column)
          for (const auto& c : column) {
            const bool equal = !less(a, b) && !less(b, a), equalNext = !less(b, c) && !less(c, b);
            if (less(a, b) && less(b, c)) {
              EXPECT_TRUE(less(a, c)) << a << " < " << b << " < " << c;
            }
            if (equal && equalNext) {
              EXPECT_FALSE(less(a, c) || less(c, a)) << a << " = " << b << " = " << c;
            }
          }
    }
  }
  std::vector<std::string> column = columns[0];
  const CellKind kind = ColumnKind(column);
  EXPECT_EQ(kind, CellKind::Text);
  std::sort(column.begin(), column.end(),
            [kind](const std::string& a, const std::string& b) { return CompareCells(a, b, kind) < 0; });
  EXPECT_EQ(column, (std::vector<std::string>{"10", "1a", "9", "9"}));
  EXPECT_EQ(ColumnKind({"9", "10", "2.5"}), CellKind::Number);
  EXPECT_EQ(ColumnKind({"2014/12/01", "13:05:59"}), CellKind::DateTime);
}

}  // namespace
}  // namespace kx
