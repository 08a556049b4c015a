// The plain helpers the station procedures share.
#include <gtest/gtest.h>

#include "engine/ProcedureSupport.h"
#include "protocol/MediaRecords.h"

namespace {

TEST(SortedBbtFill, HeaderFieldsMultiplyWithoutWrapping) {
  kx::BbtParameter header;
  header.SetBbtSectors(0xFFFF);
  header.SetColumnCount(0xFF), header.SetDiesPerGroup(0xFF), header.SetPlaneCount(0xFF);
  header.SetRowCount(0xFFFFFFFFu);
  const kx::proc::SortedBbtFill fill = kx::proc::SortedBbtFillOf(header);
  EXPECT_EQ(fill.tableBytes, 0xFFFFull * 512);
  EXPECT_EQ(fill.clearBytes, 255ull * 255 * 255 * 0xFFFFFFFFull);
}

TEST(FlashIdCount, OnlyTheFirstSevenBytesOfAnEntryCount) {
  std::uint8_t table[512] = {};
  table[0 * 8 + 0] = 0x2C;  // CE 0
  table[5 * 8 + 6] = 0x04;  // CE 5, last ID byte
  table[9 * 8 + 7] = 0x09;  // CE 9: only the eighth byte, the CE number
  EXPECT_EQ(kx::proc::CountFlashIds(table), 2);
}

}  // namespace
