#include "results/ReportListRules.h"

#include <gtest/gtest.h>

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
    const int cmp = CompareCells(row.a, row.b);
    EXPECT_EQ((cmp > 0) - (cmp < 0), row.sign) << row.a << " " << row.b;
  }
}

}  // namespace
}  // namespace kx
