#include "results/ReportListRules.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

namespace kx {
namespace {

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<int> Integer(const std::string& text) {
  const std::string t = Trim(text);
  if (t.empty()) return std::nullopt;
  char* end = nullptr;
  const long value = std::strtol(t.c_str(), &end, 10);
  if (*end != 0) return std::nullopt;
  return static_cast<int>(value);
}

// Seconds of a date, a date and time, or a time of day.
std::optional<long long> DateTime(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
  const char* t = text.c_str();
  auto whole = [&](int n) { return n > 0 && t[used] == 0; };
  auto stamp = [&]() -> long long {
    return ((((static_cast<long long>(y) * 13 + mo) * 32 + d) * 24 + h) * 60 + mi) * 60 + s;
  };
  for (const char* format : {"%d-%d-%d %d:%d:%d%n", "%d/%d/%d %d:%d:%d%n"}) {
    used = 0;
    if (std::sscanf(t, format, &y, &mo, &d, &h, &mi, &s, &used) == 6 && whole(used)) return stamp();
  }
  h = mi = s = 0;
  for (const char* format : {"%d-%d-%d%n", "%d/%d/%d%n"}) {
    used = 0;
    if (std::sscanf(t, format, &y, &mo, &d, &used) == 3 && whole(used)) return stamp();
  }
  y = mo = d = 0;
  used = 0;
  if (std::sscanf(t, "%d:%d:%d%n", &h, &mi, &s, &used) == 3 && whole(used)) return stamp();
  return std::nullopt;
}

std::optional<double> Number(const std::string& text) {
  const std::string t = Trim(text);
  if (t.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(t.c_str(), &end);
  // "nan" reads as a number but has no place among numbers.
  if (*end != 0 || std::isnan(value)) return std::nullopt;
  return value;
}

}  // namespace

std::vector<ReportColumn> ParseColumnHeader(const std::string& spec) {
  std::vector<ReportColumn> columns;
  std::size_t start = 0;
  while (start <= spec.size()) {
    auto end = spec.find(';', start);
    if (end == std::string::npos) end = spec.size();
    const std::string entry = spec.substr(start, end - start);
    start = end + 1;
    if (Trim(entry).empty()) continue;
    ReportColumn column;
    const auto comma = entry.find(',');
    column.name = Trim(entry.substr(0, comma));
    if (comma != std::string::npos) {
      const auto second = entry.find(',', comma + 1);
      column.width = Integer(entry.substr(comma + 1, second - comma - 1)).value_or(100);
      if (second != std::string::npos) {
        const int format = Integer(entry.substr(second + 1)).value_or(0);
        column.format = format == 1 || format == 2 ? format : 0;
      }
    }
    columns.push_back(column);
  }
  return columns;
}

CellKind ColumnKind(const std::vector<std::string>& cells) {
  bool dates = true, numbers = true;
  for (const std::string& cell : cells) {
    dates = dates && DateTime(cell).has_value();
    numbers = numbers && Number(cell).has_value();
  }
  return dates ? CellKind::DateTime : numbers ? CellKind::Number : CellKind::Text;
}

namespace {

// Cells that read as `kind` first, in their order; the others after them, as text.
template <class Value>
int CompareRead(const std::optional<Value>& va, const std::optional<Value>& vb, const std::string& a,
                const std::string& b) {
  if (va && vb) return *va < *vb ? -1 : *va > *vb ? 1 : 0;
  if (va || vb) return va ? -1 : 1;
  return std::strcmp(a.c_str(), b.c_str());
}

}  // namespace

int CompareCells(const std::string& a, const std::string& b, CellKind kind) {
  if (kind == CellKind::DateTime) return CompareRead(DateTime(a), DateTime(b), a, b);
  if (kind == CellKind::Number) return CompareRead(Number(a), Number(b), a, b);
  return std::strcmp(a.c_str(), b.c_str());
}

}  // namespace kx
