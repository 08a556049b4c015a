// The flash-type table, and the BIN type a parameter file's name selects by flash type and marker.
#include <gtest/gtest.h>

#include <string>

#include "media/BinType.h"
#include "media/FlashTypes.h"

namespace {

TEST(FlashTypes, Rows) {
  const auto row = [](int r) {
    return std::string(kx::FlashTypeCell(r, 0)) + "|" + kx::FlashTypeCell(r, 1) + "|" + kx::FlashTypeCell(r, 2);
  };
  EXPECT_EQ(row(0), "FT_B16A|0|0");
  EXPECT_EQ(row(6), "8|7312|8362");
  EXPECT_EQ(row(106), "2|R3.2|R312");
  int heads = 0;
  for (int r = 0; r < kx::kFlashTypeRows; ++r) heads += std::string(kx::FlashTypeCell(r, 0)).rfind("FT_", 0) == 0;
  EXPECT_EQ(heads, 23);
  EXPECT_EQ(kx::FindFlashTypeBlock("b16a"), -1);
}

TEST(FlashTypes, BinTypeOfFileName) {
  const struct {
    const char* fileName;
    int column;
    const char* type;
  } rows[] = {{"B16A_S2_C2_.ini", 2, "8312"},   {"B16A.ini", 2, "83.2"},          {"B16A.ini", 1, "7312"},
              {"B16A_S1_.ini", 2, "83.2"},      {"B16A_S4_.ini", 2, "83.2"},      {"B16A_s2_c2_.ini", 2, "83.2"},
              {"B16A_S3_C1S_.ini", 2, "8315"},  {"X_S2_C2_.ini", 2, ""},          {"BiCS4Q_BiCS_S2_C2_", 2, "T312"},
              {"M16A_S2_C2_.ini", 2, ""},       {"M16A_S3_C2S_.ini", 1, "C316"},  {"7D_S7_.ini", 2, "0374"},
              {"7D_S7_S1_.ini", 2, "03.4"},     {"Samsung_V5_S2_C2_.ini", 2, "R312"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.fileName);
    const std::string index = std::to_string(kx::GetBinTypeIndex(r.fileName));
    EXPECT_EQ(kx::FlashTypeBinType(kx::FindFlashTypeBlock(r.fileName), index, r.column), r.type);
  }
}

}  // namespace
