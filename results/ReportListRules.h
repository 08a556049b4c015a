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

// How the cells of a column compare: as date and time when every cell reads
// as one, else as numbers when every cell does, else as text. One way for the
// whole column keeps the sort's order strict, also for mixed cells.
enum class CellKind { DateTime, Number, Text };
CellKind ColumnKind(const std::vector<std::string>& cells);
// Negative, 0 or positive, the cells compared as `kind` says. Cells that do
// not read as `kind` (such as "nan" as a number) come after those that do,
// compared as text: a strict order on any mix.
int CompareCells(const std::string& a, const std::string& b, CellKind kind);

}  // namespace kx
