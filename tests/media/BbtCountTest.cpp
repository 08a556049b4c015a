// The table walkers over hand-built tables: kind and cause selection, counts,
// lists, look-up, list merging, die folds and the bounds of odd records.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "media/BbtCount.h"
#include "tests/media/BbtTables.h"

namespace {

using kxtest::BbtParam;

// Two CEs in two columns, two planes, 128 rows: CE c's block 2r+p is entry 4r + 2c + p.
struct SmallTable : ::testing::Test {
  kx::BbtParameter param = BbtParam(128, 2, 2, {0, 1});
  kx::BbtScope scope;
  std::vector<std::uint8_t> bbt = std::vector<std::uint8_t>(512, 0);
};

TEST(BbtSelection, KindsAndCauses) {
  // kinds, cause, for a list, match, exclusion
  const int rows[][5] = {{1, 0xFF, 0, 0xC0, 0}, {1, 255, 1, 0xC0, 0},  {2, 1, 0, 0x04, 0xC0},  {2, 5, 0, 0x40, 0},
                         {2, 6, 0, 0x44, 0xB0}, {2, 6, 1, 0x04, 0xB0}, {2, 12, 1, 0x08, 0x70}, {3, 0xFF, 0, 0xF0, 0}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "kinds " << r[0] << " cause " << r[1] << " list " << r[2]);
    const kx::KindSelection s = kx::SelectKinds(r[0], static_cast<std::uint8_t>(r[1]), r[2] != 0);
    EXPECT_EQ(s.match, r[3]);
    EXPECT_EQ(s.exclude, r[4]);
  }
}

TEST_F(SmallTable, CountsByKindPlaneAndMask) {
  bbt[0] = 0xC1;  // CE 0 block 0: early, RDT and read fail
  bbt[1] = 0x04;  // CE 0 block 1: later by erase fail
  bbt[2] = 0x30;  // CE 1 block 0: later without a cause
  bbt[6] = 0x81;  // CE 1 block 2
  kx::KindCounts kinds;
  kx::CountBadBlocksByKind(kinds, bbt, scope, 2, param);
  EXPECT_EQ(kinds, (kx::KindCounts{2, 1, 1, 508}));
  kx::PlaneCounts planes;
  kx::CountBadBlocksPerPlane(planes, bbt, scope, 2, param, 2, 0xFF);
  EXPECT_EQ(planes[1][0], (std::array<std::uint32_t, 4>{1, 0, 0, 0}));
  EXPECT_EQ(kx::CountBbtBlocks(bbt, scope, 2, -1, param, 0x80, 0x40), 1u);
  EXPECT_EQ(kx::CountBbtBlocks(bbt, scope, 2, 0, param, 0x80, 0x40), 0u);
  EXPECT_EQ(kx::CountBbtBlocks(bbt, scope, 1, 1, param, 0x80, 0), 0u);  // CE 1 is beyond the CE count
  scope.ceMap = 0x0002;
  EXPECT_EQ(kx::CountBbtBlocks(bbt, scope, 2, -1, param, 0x80, 0), 1u);
  scope = {.ceMask64Enable = true, .ceMask64 = 0x1};
  EXPECT_EQ(kx::CountBbtBlocks(bbt, scope, 2, -1, param, 0xFF, 0), 2u);
}

TEST_F(SmallTable, ListsAndLookUp) {
  bbt[0] = 0xC1;
  bbt[1] = 0x80;
  bbt[8] = 0xB8;  // CE 0 block 4
  bbt[9] = 0x38;  // CE 0 block 5
  kx::BlockList list;
  kx::ListBadBlocks(list, bbt, scope, 0, 0, param, 2, 4);
  EXPECT_EQ(list[0], 5);
  EXPECT_EQ(list[1], 0xFFFF);
  EXPECT_EQ(kx::ListBadBlocksOfDie(list, bbt, scope, 0, 0, param, 0x80, 0x01), 1u);
  EXPECT_EQ(list[0], 0);
  EXPECT_EQ(kx::ListBadBlocksOfDie(list, bbt, scope, 2, 0, param, 0xFF, 0), 0u);  // absent CE
  EXPECT_EQ(kx::IsBlockMarkedBad(bbt, scope, 5, 0, 0, param), 0x38);
  EXPECT_EQ(kx::IsBlockMarkedBad(bbt, scope, 256, 0, 0, param), 0);
}

TEST_F(SmallTable, MergesListedBlocks) {
  const std::vector<std::uint8_t> clear = bbt;
  kx::ParseBadBlockList(bbt, scope, "CE_00/Die_00 = ; // Count = 0", 0, 0, param, 0x80, 0x01);
  kx::ParseBadBlockList(bbt, scope, "CE_00/Die_00 = 0001, 00zz;", 0, 0, param, 0x80, 0x01);
  EXPECT_EQ(bbt, clear);
  kx::ParseBadBlockList(bbt, scope, "CE_00/Die_00 = 0001, 00a3; // Count = 2", 0, 0, param, 0x80, 0x01);
  EXPECT_EQ(bbt[1], 0x81);
  EXPECT_EQ(bbt[325], 0x81);  // block 0xA3: row 81, plane 1
  EXPECT_EQ(std::count(bbt.begin(), bbt.end(), 0), 510);
}

TEST(BbtShapes, DieFoldAndOddRecords) {
  // One CE, two dies, one die per group: die 1 folds into column 1 and block page 1.
  const kx::BbtParameter fold = BbtParam(4, 2, 1, {0}, 1, 1, 2);
  kx::BbtScope scope;
  scope.diesPerCe = 2;
  std::vector<std::uint8_t> bbt(8, 0);
  bbt[3] = 0x80;  // row 1, column 1
  kx::BlockList list;
  EXPECT_EQ(kx::ListBadBlocksOfDie(list, bbt, scope, 0, 1, fold, 0x80, 0), 1u);
  EXPECT_EQ(list[0], 5);
  EXPECT_EQ(kx::CountBbtBlocks(bbt, scope, 1, 0, fold, 0x80, 0), 1u);

  scope = {};  // odd records stay within the table
  bbt.assign(64, 0x80);
  kx::BbtParameter zero = BbtParam(16, 2, 2, {0});
  zero.SetChannelModulus(0);
  kx::KindCounts kinds;
  kx::CountBadBlocksByKind(kinds, bbt, scope, 1, zero);
  EXPECT_EQ(kinds, (kx::KindCounts{0, 0, 0, 0}));
  // 1,000 rows in a 64-byte table: only the 16 rows it holds are walked.
  EXPECT_EQ(kx::CountBbtBlocks(bbt, scope, 1, 0, BbtParam(1000, 2, 2, {0}), 0x80, 0), 32u);
  // Eight planes: planes 4 to 7 are not visited.
  EXPECT_EQ(kx::CountBbtBlocks(bbt, scope, 1, 0, BbtParam(4, 1, 8, {0}), 0x80, 0), 16u);
  scope.diesPerCe = 20;
  EXPECT_EQ(kx::CountBbtBlocks(bbt, scope, 1, 0, BbtParam(1, 1, 1, {0}, 32), 0x80, 0), 16u);
  std::vector<std::uint8_t> big(65536, 0x80);
  EXPECT_EQ(kx::ListBadBlocksOfDie(list, big, {}, 0, 0, BbtParam(32768, 1, 2, {0}), 0x80, 0), 32767u);
  EXPECT_EQ(list[32767], 0xFFFF);
  EXPECT_EQ(kx::GetUnitSize(&zero, {}, 0, 0, 0), 512u);  // the record's one sector
  EXPECT_EQ(kx::GetUnitSize(nullptr, {.page8K = true}, 1000, 2, 2), 8192u);
}

}  // namespace
