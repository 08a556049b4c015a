// The flash-type table: for each flash type, the RDT and MP BIN types that
// parameter files for it must carry, by bin-type index. Constant data, read by
// the bin-type check from any worker thread without a lock.
//
// 107 rows of three cells. A head row is {"FT_<type>", "0", "0"}; the data rows
// after it are {index digit, RDT BIN type, MP BIN type}, in index order.
#pragma once
#include <string>

namespace kx {

constexpr int kFlashTypeRows = 107;
constexpr int kFlashTypeCells = 3;

// Cell c (0-2) of row r (0-106); empty text outside the table.
const char* FlashTypeCell(int row, int cell);

// The first head row whose type name, less "FT_", is not empty and occurs in
// `fileName` (case-sensitive); -1 for none. Blocks are tried in table order,
// so "BiCS4Q" finds "FT_BiCS4Q" before "FT_BiCS".
int FindFlashTypeBlock(const std::string& fileName);

// The BIN type of the block opened by headRow for the index text: column 1
// the RDT type, 2 the MP type. The index's row wins, else the block's row of
// index "0", else empty. Empty for headRow -1.
std::string FlashTypeBinType(int headRow, const std::string& indexText, int column);

}  // namespace kx
