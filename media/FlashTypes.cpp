// The flash-type table and its lookups for the bin-type check
// (media/BinType.cpp). Plain constant data; nothing sends a command.
#include "media/FlashTypes.h"

#include <array>
#include <cstring>

namespace kx {
namespace {

struct FlashTypeRow {
  const char* cell[kFlashTypeCells];
};

// Head row {"FT_<type>", "0", "0"}, then {index, RDT BIN type, MP BIN type}.
constexpr std::array<FlashTypeRow, kFlashTypeRows> kFlashTypeTable{{
    {"FT_B16A", "0", "0"},
    {"0", "7312", "83.2"}, {"2", "7312", "8312"}, {"3", "7311", "8311"},
    {"4", "7315", "8315"}, {"5", "7316", "8316"}, {"8", "7312", "8362"},
    {"FT_B17A", "0", "0"},
    {"0", "7312", "83.2"}, {"2", "7312", "8312"}, {"3", "7311", "8311"},
    {"4", "7315", "8315"}, {"5", "7316", "8316"}, {"8", "7312", "8362"},
    {"FT_B0KB", "0", "0"},
    {"0", "73.4", "73.4"}, {"2", "7312", "7312"}, {"3", "7311", "7311"},
    {"4", "7315", "7315"}, {"5", "7316", "7316"},
    {"FT_L06B", "0", "0"},
    {"0", "23.4", "23.4"}, {"2", "2312", "2312"}, {"3", "2311", "2311"},
    {"4", "2315", "2315"}, {"5", "2316", "2316"},
    {"FT_B05A", "0", "0"},
    {"0", "7312", "93.2"}, {"2", "7312", "9312"}, {"4", "7315", "8315"},
    {"5", "7316", "8316"},
    {"FT_B27A", "0", "0"},
    {"0", "A3.2", "A3.2"}, {"2", "A3.2", "A312"}, {"3", "A311", "A311"},
    {"4", "A315", "A315"}, {"5", "A316", "A316"},
    {"FT_B27B", "0", "0"},
    {"0", "B3.2", "B3.2"}, {"2", "B3.2", "B312"}, {"3", "B311", "B311"},
    {"4", "B315", "B315"}, {"5", "B316", "B316"},
    {"FT_M16A", "0", "0"},
    {"4", "C315", "C315"}, {"5", "C316", "C316"},
    {"FT_N18A", "0", "0"},
    {"0", "C3.2", "C3.2"}, {"2", "C3.2", "C312"}, {"3", "C311", "C311"},
    {"4", "C315", "C315"}, {"5", "C316", "C316"},
    {"FT_M26A", "0", "0"},
    {"4", "D315", "D315"}, {"5", "D316", "D316"},
    {"FT_N28A", "0", "0"},
    {"0", "D3.2", "D3.2"}, {"2", "D3.2", "D312"}, {"3", "D311", "D311"},
    {"FT_BiCS4Q", "0", "0"},
    {"0", "T3.2", "T3.2"}, {"2", "T3.2", "T312"},
    {"FT_BiCS", "0", "0"},
    {"0", "63.2", "63.2"}, {"2", "63.2", "6312"}, {"4", "6315", "6315"},
    {"5", "6316", "6316"}, {"7", "6322", "63.2"},
    {"FT_7THL", "0", "0"},
    {"0", "13.2", "13.2"}, {"2", "13.2", "1312"}, {"4", "1315", "1315"},
    {"5", "1316", "1316"}, {"7", "1322", "13.2"},
    {"FT_7D", "0", "0"},
    {"0", "03.4", "03.4"}, {"2", "0312", "0312"}, {"3", "0311", "0311"},
    {"4", "0315", "0315"}, {"5", "0316", "0316"}, {"7", "0334", "0334"},
    {"8", "0362", "0362"}, {"9", "0374", "0374"},
    {"FT_6D", "0", "0"},
    {"0", "03.4", "03.4"}, {"2", "0312", "0312"}, {"3", "0311", "0311"},
    {"4", "0315", "0315"}, {"5", "0316", "0316"}, {"7", "0324", "03.4"},
    {"FT_Hynix_14nm", "0", "0"},
    {"0", "33.2", "33.2"},
    {"FT_Hynix_16nm", "0", "0"},
    {"0", "53.2", "53.2"},
    {"FT_Hynix_V5", "0", "0"},
    {"0", "H3.2", "H3.2"}, {"2", "H312", "H312"},
    {"FT_Hynix_V4", "0", "0"},
    {"0", "I3.2", "I3.2"},
    {"FT_Hynix_V6", "0", "0"},
    {"0", "H3.2", "H3.2"},
    {"FT_Samsung_V4", "0", "0"},
    {"0", "S3.2", "S3.2"}, {"2", "S3.2", "S312"},
    {"FT_Samsung_V5", "0", "0"},
    {"0", "R3.2", "R3.2"}, {"2", "R3.2", "R312"},
}};

constexpr char kHeadMark[] = "FT_";

std::string WithoutHeadMark(std::string name) {
  for (std::size_t at; (at = name.find(kHeadMark)) != std::string::npos;) name.erase(at, std::strlen(kHeadMark));
  return name;
}

bool IsHeadRow(int row) { return std::strstr(FlashTypeCell(row, 0), kHeadMark) != nullptr; }

}  // namespace

const char* FlashTypeCell(int row, int cell) {
  if (row < 0 || row >= kFlashTypeRows || cell < 0 || cell >= kFlashTypeCells) return "";
  return kFlashTypeTable[static_cast<std::size_t>(row)].cell[cell];
}

int FindFlashTypeBlock(const std::string& fileName) {
  for (int row = 0; row < kFlashTypeRows; ++row) {
    if (!IsHeadRow(row)) continue;
    const std::string name = WithoutHeadMark(FlashTypeCell(row, 0));
    if (!name.empty() && fileName.find(name) != std::string::npos) return row;
  }
  return -1;
}

std::string FlashTypeBinType(int headRow, const std::string& indexText, int column) {
  std::string type;
  if (headRow < 0 || column < 1 || column >= kFlashTypeCells) return type;
  for (int row = headRow + 1; row < kFlashTypeRows; ++row) {
    if (std::strcmp(FlashTypeCell(row, 1), "0") == 0 && std::strcmp(FlashTypeCell(row, 2), "0") == 0) break;
    const std::string index = FlashTypeCell(row, 0);
    if (index == "0" || index == indexText) type = FlashTypeCell(row, column);
  }
  return type;
}

}  // namespace kx
