// Golden bad-block list files (wrapping, empty entries, RAW blocks), reading
// them back, and the bad-block map check and file steps on the emulated drive.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "device/PortDevice.h"
#include "media/BadBlockFile.h"
#include "platform/MessageBox.h"
#include "tests/media/BbtTables.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;

const std::string kBlanks23(23, ' ');
const std::string kBlanks14(14, ' ');

// Two CEs, one die, two planes, 128 rows: CE c's block 2r+p is entry 4r + 2c + p.
kx::BbtParameter TwoCes() { return kxtest::BbtParam(128, 2, 2, {0, 1}); }

TEST(BlockListLines, WrapsEntriesAndRawBlocks) {
  kx::BlockList list;
  for (std::uint16_t i = 0; i < 11; ++i) list[i] = static_cast<std::uint16_t>(i + 1);
  EXPECT_EQ(kx::FormatBlockListLines(kx::BlockListEntryLine(0, 0, list, 11), 83, 23),
            "        CE_00/Die_00 = 0001, 0002, 0003, 0004, 0005, 0006, 0007, 0008, 0009, 000a, \r\n" + kBlanks23 +
                "000b;\r\n" + kBlanks23 + " // Count = 11\r\n");
  EXPECT_EQ(kx::FormatBlockListLines(kx::BlockListEntryLine(3, 12, list, 0), 83, 23),
            "        CE_03/Die_12 = ; // Count = 0\r\n");
  const std::string zeros16 = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
  EXPECT_EQ(kx::FormatBlockListLines(kx::RawRecordLine(kx::RdtInfoRecord{}), 62, 14),
            "        RAW = " + zeros16 + " \r\n" + kBlanks14 + zeros16 + " \r\n" + kBlanks14 + zeros16 + " \r\n" +
                kBlanks14 + zeros16 + ";\r\n" + kBlanks14 + "\r\n");
  EXPECT_EQ(kx::FormatBlockListLines("abcdef; tail", 3, 3), "abcdef; tail\r\n");  // no room to wrap
}

TEST(BlockListFile, SectionsOfOneDie) {
  std::vector<std::uint8_t> bbt(512, 0);
  bbt[1] = 0x81;
  bbt[325] = 0x81;  // block 0xA3
  const std::string text = kx::BuildBadBlockFileText(bbt, {}, 1, TwoCes(), kx::RdtInfoRecord{});
  const std::string head =
      "[Early Bad]\r\n        CE_00/Die_00 = 0001, 00a3; // Count = 2\r\n"
      "[Early Bad | Read Fail]\r\n        CE_00/Die_00 = 0001, 00a3; // Count = 2\r\n"
      "[Early Bad | Program Fail]\r\n        CE_00/Die_00 = ; // Count = 0\r\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_TRUE(Has(text, "[RDT Bad | Erase Fail]\r\n        CE_00/Die_00 = ; // Count = 0\r\n[RDT Info]\r\n"));
  EXPECT_TRUE(kxtest::EndsWith(text, ";\r\n" + kBlanks14 + "\r\n// Done\r\n"));
  EXPECT_EQ(kxtest::CountLines(text), 41u);
}

TEST(BlockListFile, ReadsBackKindsCausesAndRecords) {
  std::vector<std::uint8_t> bbt(512, 0);
  bbt[0] = 0x81;                                       // CE 0 block 0: early, read fail
  bbt[1] = 0x10;                                       // CE 0 block 1: later
  bbt[4] = 0x18;                                       // CE 0 block 2: later, RAID
  bbt[5] = 0x48;                                       // CE 0 block 3: RDT, RAID
  bbt[8] = 0x45;                                       // CE 0 block 4: RDT, read and erase fail
  for (int r = 0; r < 11; ++r) bbt[4 * r + 2] = 0x80;  // CE 1: eleven early bad blocks, a wrapped entry
  const std::string text = kx::BuildBadBlockFileText(bbt, {}, 2, TwoCes(), kx::RdtInfoRecord{});

  std::vector<std::uint8_t> back(512, 0);
  kx::ApplyBadBlockFileText(text, back, {}, TwoCes());
  const std::pair<int, std::uint8_t> expected[] = {{0, 0x81}, {1, 0x30}, {4, 0x38}, {5, 0x40},
                                                   {8, 0x45}, {2, 0x80}, {42, 0x80}};
  for (const auto& [index, flags] : expected) EXPECT_EQ(back[index], flags) << "entry " << index;
  EXPECT_EQ(std::count(back.begin(), back.end(), 0), 496);
  kx::BbtParameter readParam;
  ASSERT_TRUE(kx::ReadRawRecord(text, "[BBT Parameter]", readParam));
  EXPECT_EQ(readParam.bytes, TwoCes().bytes);
}

TEST(BlockListFile, MalformedEntriesMarkNothing) {
  std::vector<std::uint8_t> bbt(512, 0);
  kx::ApplyBadBlockFileText("[Later Bad]\r\n  CE_xx/Die_00 = 0005;\r\n  CE_01/Die_00 = 00g5;\r\n", bbt, {}, TwoCes());
  EXPECT_EQ(std::count(bbt.begin(), bbt.end(), 0), 512);
  kx::ApplyBadBlockFileText("[Later Bad]\r\n        CE_01/Die_00 = 0005; // Count = 1\r\n", bbt, {}, TwoCes());
  EXPECT_EQ(bbt[11], 0x30);  // CE 1 block 5: row 2, plane 1
  kx::RdtInfoRecord info;
  info.bytes[0] = 0x55;
  EXPECT_FALSE(kx::ReadRawRecord("[RDT Info]\r\n        RAW = 01 0G;\r\n", "[RDT Info]", info));
  EXPECT_FALSE(kx::ReadRawRecord("[RDT Info]\r\n[BBT Parameter]\r\n        RAW = 01;\r\n", "[RDT Info]", info));
  EXPECT_EQ(info.bytes[0], 0x55);
  EXPECT_EQ(kx::SplitFileLines(std::string(600, 'a') + "\r\nb").size(), 3u);
}

class BadBlockMap : public kxtest::DeviceTestEnv {};

TEST_F(BadBlockMap, FirstCeBlockZeroBad) {
  emu::DriveConfig cfg;
  cfg.factoryBadBlocks = {{.ce = 0, .die = 0, .plane = 0, .block = 0}};
  EmulatedStation s(Mode::Bridge, 1, cfg);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckSystemInfo());
  EXPECT_FALSE(d.CheckBadBlockMap(nullptr));
  EXPECT_EQ(d.m_ErrorCode, "F_T34");
  EXPECT_EQ(d.m_ErrorMessage, "CE0 Blk 0 is bad!!");
  EXPECT_EQ(d.m_StatusExtraText, "CE0 Blk 0");
  EXPECT_TRUE(Has(PortReport(), "CE0 Blk 0 is bad!!"));
  SetIni(".\\param.ini", "Options", "CHCEMap", "2");  // CE 1 is the CE tested
  EXPECT_TRUE(d.CheckBadBlockMap(nullptr));
  EXPECT_EQ(d.m_ScanAllFlashIdTable[8], 0x2C);
  EXPECT_EQ(d.m_CeMap, 0x0F0F);  // adopted from the RDT info record
}

TEST_F(BadBlockMap, Failures) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  s.Drive().Faults().FailNext(2, {.opcode = 0x21, .subCommand = 0x7F});
  EXPECT_FALSE(d.CheckBadBlockMap(nullptr));
  EXPECT_EQ(d.m_ErrorMessage, "Bad blocks map is not exist!!!");
  const kx::BbtParameter param = TwoCes();
  EXPECT_FALSE(d.CheckBadBlockMap(&param));  // no table loaded
  EXPECT_EQ(d.m_ErrorCode, "F_T34");
  d.m_BbtBuffer.assign(512, 0);
  SetIni(".\\param.ini", "Options", "CHCEMap", "F0");  // no CE below 8 in use
  EXPECT_FALSE(d.CheckBadBlockMap(&param));
  EXPECT_EQ(d.m_ErrorMessage, "Bad blocks map is not exist!!!");
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x15});
  EXPECT_FALSE(d.CheckBadBlockMap(&param));
  EXPECT_EQ(d.m_ErrorCode, "I_x07");
  EXPECT_EQ(d.m_ErrorMessage, "Issue Scan all Flash ID command Failed!!!");
}

TEST_F(BadBlockMap, SavesAndLoadsTheListFile) {
  emu::DriveConfig cfg;
  cfg.factoryBadBlocks = {{.ce = 1, .die = 0, .plane = 1, .block = 7}};
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckSystemInfo());
  kx::BbtParameter param;
  kx::RdtInfoRecord info;
  ASSERT_TRUE(d.ReadBbt(&param, nullptr));
  ASSERT_TRUE(d.ReadRdtInfo(&info, nullptr));
  ASSERT_TRUE(d.SaveBadBlockFile("D:\\BBT.txt", 8, param, info));
  EXPECT_TRUE(Has(ReadAll("D:\\BBT.txt"), "\n        CE_01/Die_00 = 000f; // Count = 1\r\n"));
  std::vector<std::uint8_t> table(d.m_BbtBuffer.size(), 0);
  EXPECT_TRUE(d.LoadBadBlockFile("D:\\BBT.txt", table.data(), table.size(), param));
  EXPECT_EQ(table, d.m_BbtBuffer);
  kx::RdtInfoRecord readInfo;
  EXPECT_TRUE(d.LoadRdtInfoRaw("D:\\BBT.txt", readInfo));
  EXPECT_EQ(readInfo.bytes, info.bytes);

  auto box = std::make_shared<platform::RecordingMessageBox>();
  platform::ScopedMessageBox scoped(box);
  EXPECT_FALSE(d.SaveBadBlockFile("D:\\NoFolder\\BBT.txt", 8, param, info));
  EXPECT_EQ(d.m_ErrorCode, "A_x08");
  EXPECT_EQ(d.m_ErrorMessage, "Open save file Failed.3");
  EXPECT_EQ(box->Texts(), std::vector<std::string>{"Open save file Failed.3"});
}

}  // namespace
