// The error-code catalogue: code text ("M_x04") to the number printed for it.
// Filled once by the production page before any run, read by every worker,
// cleared at program end.
#pragma once
#include <cstddef>
#include <string>

namespace kx {

// Empties the catalogue and inserts its 350 rows.
void FillErrorCodeMap();
void ClearErrorCodeMap();

// Rows currently held (350 once filled, 0 when cleared).
std::size_t ErrorCodeMapSize();

// The printed form of a code: "0x%03X" of its number, the number of its
// 'x' general row, or 0xFFF; texts whose second character is not '_' unchanged.
std::string FormatErrorCodeText(const std::string& code);

}  // namespace kx
