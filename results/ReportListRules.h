// The rules of the report list control without a window: column
// specifications and the order its sort puts cells in.
#pragma once
#include <string>
#include <vector>

namespace kx {

struct ReportColumn {
  std::string name;
  int width = 100;
  int format = 0;  // 0 left, 1 centre, 2 right
};

// "name, width[, format]; ..." (width 100 when missing or not a number).
std::vector<ReportColumn> ParseColumnHeader(const std::string& spec);

// Negative, 0 or positive: as date and time when both cells read as one, else
// as numbers when both do, else as text.
int CompareCells(const std::string& a, const std::string& b);

}  // namespace kx
