// The bad-block scan's plain pieces on literal values, and the scan against the
// emulated drive in both modes: limits, record, read-out report, auto capacity,
// each verdict and failure with its report lines.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "media/BadBlockScan.h"
#include "device/PortDevice.h"
#include "emulator/EmulatorIni.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;

TEST(ScanPieces, LimitsSizesAndDigits) {
  struct Row { std::uint32_t blocks, percent, dies, planes, offset, limit; } rows[] = {
      {4096, 2, 2, 2, 0, 20}, {4096, 2, 2, 2, 5, 15}, {4096, 2, 2, 2, 30, 0}, {1000, 3, 0, 0, 0, 30}, {512, 0, 1, 2, 0, 0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.percent << "% offset " << r.offset);
    EXPECT_EQ(kx::PercentPlaneLimit(r.blocks, r.percent, r.dies, r.planes, r.offset), r.limit);
  }
  EXPECT_EQ(kx::PartialSizeGb(0x84000), 480u);
  EXPECT_EQ(kx::PartialSizeGb(0x85000), 0u);
  EXPECT_EQ(kx::ScanTargetLba(50), 97696368);
  EXPECT_EQ(kx::ScanTargetLba(120.5), 235418400);
  EXPECT_EQ(kx::DieSizeGb(5, 2), 16u);
  EXPECT_EQ(kx::FirmwareLimitCap({.dpsTable = true, .mlc = true, .twoPlane = true, .fourPlane = true, .dieSizeGb = 16}), 60u);
  EXPECT_EQ(kx::FirmwareLimitCap({.dpsTable = true, .tlc = true, .twoPlane = true, .dieSizeGb = 16}), 77u);
  EXPECT_EQ(kx::FirmwareLimitCap({.fourPlane = true, .toggleAEx = true, .dieSizeGb = 32}), 37u);
  EXPECT_EQ(kx::FirmwareLimitCap({.dpsTable = true, .mlc = true, .twoPlane = true, .dieSizeGb = 32}), 0u);
  const char* digits[][2] = {{"83.4312", "2"}, {"7311", "1"}, {"7374", "4"}, {"7315", "5"}, {"7316", "6"}, {"ABCD", "ABCD"}};
  for (const auto& d : digits) EXPECT_EQ(kx::BinPlaneDigit(d[0]), d[1]) << d[0];
  kx::RdtInfoRecord info;
  info.SetU8(50, 'R'), info.SetU8(51, '1');
  EXPECT_EQ(kx::RdtPlaneDigit(info), "");
  info.SetU8(52, '4');
  EXPECT_EQ(kx::RdtPlaneDigit(info), "4");
  EXPECT_EQ(kx::PositionOfCe(4, 0x0F0F), 8u);
  EXPECT_EQ(kx::PositionOfCe(9, 0x0F0F), 9u);  // fewer bits set than the index needs
  kx::PageLimit limit;
  EXPECT_FALSE(kx::ParsePageLimit("0", limit));
  ASSERT_TRUE(kx::ParsePageLimit("3%", limit));
  EXPECT_TRUE(limit.percent);
  ASSERT_TRUE(kx::ParsePageLimit("12", limit));
  EXPECT_FALSE(limit.percent);
  EXPECT_EQ(limit.value, 12u);
  EXPECT_EQ(kx::RoundedLaterTotal(7), 5u);
  EXPECT_EQ(kx::RoundedLaterTotal(1), 0u);
}

TEST(ScanPieces, RecordOffsetsCappingAndLists) {
  EXPECT_EQ(kx::scanrec::EarlyOffset(1, 2, 3), 312u);
  EXPECT_EQ(kx::scanrec::LaterOffset(1, 2, 3), 20296u);
  auto later = std::make_unique<kx::LaterCounts>();
  (*later)[0][0][0][1] = 4, (*later)[0][3][0][0] = 3;  // 7 over the drive
  (*later)[1][0][0][0] = 4, (*later)[4][0][0][0] = 2;
  kx::CapLaterCounts(*later, 5);
  EXPECT_EQ((*later)[0][3][0][0], 1u);
  EXPECT_EQ((*later)[4][0][0][0], 1u);
  std::string list;
  for (const char* name : {"U12", "U1", "U12"}) kx::AddReplaceName(list, name);
  EXPECT_EQ(list, "[U12,U1");
  kx::PlaneCounts early{};
  early[2][0][1] = 10;
  EXPECT_EQ(kx::FirstCeAtOrOverLimit(early, 4, 0, 1, 2, 10), 2);
  EXPECT_EQ(kx::FirstCeAtOrOverLimit(early, 4, 0x000B, 1, 2, 10), -1);  // CE 2 is outside the map
  EXPECT_EQ(kx::FirstSizeAtOrBelow({480, 240, 120}, 300), 1);
  EXPECT_EQ(kx::FirstSizeAtOrBelow({480, 240}, 100), -1);
}

TEST(ScanPieces, ListingTexts) {
  struct Row { std::uint32_t row, planes, group; bool read; std::uint32_t block; const char* line; } rows[] = {
      {1, 1, 0, false, 10, "     Channel:1,CE:9,Die:0,Plane:0;    Later Bad Block_10 (0x000a)Erase Bad-Run"},
      {2, 2, 0, true, 7, "     Channel:1,CE:9,Die:0,Plane:1;    Later Bad Block_7 (0x0007)Read Bad-Run(P)"},
      {2, 4, 0, true, 7, "     Channel:1,CE:9,Die:0,Plane:3;    Later Bad Block_7 (0x0007)Read-Run(P)"},
      {7, 2, 0, false, 4, "     Channel:1,CE:9,Die:0,Plane:0;    Early Bad Block_4 (0x0004)Program Bad-RDT"},
      {3, 2, 1, false, 0x0101, "     Channel:1,CE:9,Die:0,Plane:1;     Later Bad Block_257 (0x0101)Read Bad-Run"},
      {10, 2, 1, true, 2, "     Channel:1,CE:9,Die:0,Plane:0;    Early Bad Block_2 (0x0002)Read-OLB(P)"},
      {10, 4, 3, true, 3, "     Channel:1,CE:9,Die:0,Plane:3;    Early Bad Block_3 (0x0003)Read-RDT(P)"},
      {8, 4, 1, false, 5, "     Channel:1,CE:9,Die:0,Plane:1;     Early Bad Block_5 (0x0005)Read Bad-RDT"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    EXPECT_EQ(kx::LaterListingLine(r.row, r.planes, r.group, r.read, 1, 9, 0, r.block), r.line);
  }
}

TEST(ScanPieces, RdtSummaryIdentifyAndSmart) {
  kx::RdtInfoRecord info;
  info.SetU8(14, 0x21), info.SetU8(18, 0x40), info.SetU16(19, 0x000F), info.SetU8(23, 0x84), info.SetU8(27, 1);
  info.SetU8(56, 3), info.SetU8(57, 4), info.SetU32(60, 3725);
  const std::vector<std::string> lines = kx::RdtSummaryLines(info);
  ASSERT_EQ(lines.size(), 20u);
  EXPECT_EQ(lines[1], "RDT Info_RDT Loop(XLC/SLC) = 8/6");
  EXPECT_EQ(lines[4], "RDT Info_CE Map = 000F");
  EXPECT_EQ(lines[5], "RDT Info_Erase Mode   = Disable");
  EXPECT_EQ(lines[9], "RDT Info_ReTest       = Enable");
  EXPECT_EQ(lines[12], "RDT Info_BBSource     = Other");
  EXPECT_EQ(lines[14], "RDT OddLoop_Test   = 2");
  EXPECT_EQ(lines[18], "RDT_TotalTime      = 1:02:05");
  EXPECT_EQ(kx::RdtRawText(info).substr(0, 65),
            "RAW = \r\n          00 00 00 00 00 00 00 00 00 00 00 00 00 00 21 00");
  std::uint8_t id[512] = {};
  std::copy_n("VQ1F0010", 8, id + 46);
  EXPECT_EQ(kx::IdentifyFirmwareLine(id), "Identify_FW Version = QVF10001");
  std::uint8_t smart[512] = {}, entries[512] = {};
  entries[16] = 0xE8, entries[24] = 0x05, entries[25] = 0x03, smart[14 + 5] = 7;  // the second pair
  entries[32] = 0x00, entries[40] = 0x06, entries[41] = 0x03, smart[26 + 5] = 9;  // id 00: skipped
  EXPECT_EQ(kx::SmartSpareLines(smart, entries, 4), std::vector<std::string>{"SMART_Spare Block = 28"});
}

emu::CommandFilter Filter(std::uint8_t opcode, std::optional<std::uint8_t> sub = {}, std::uint32_t skip = 0) {
  emu::CommandFilter f;
  f.opcode = opcode, f.subCommand = sub, f.skip = skip;
  return f;
}

class FakeBar : public IProgressBar {
 public:
  void SetRange(int, int) override {}
  void SetPos(int pos) override { pos_ = pos; }
  int GetPos() const override { return pos_; }
  int pos_ = 0;
};

class BadBlockScan : public kxtest::DeviceTestEnv {
 protected:
  static constexpr char kFdb[] = ".\\paramFDB.ini";
  static constexpr char kParam[] = ".\\param.ini";
  // 4 CEs on one channel, one die of 2 planes x 256 blocks. CE 0: early block 8
  // (plane 0), RDT read-bad 0x101 (plane 1), later erase 10 (plane 0), program 7
  // and read 19 (plane 1); with `overCe2`, 6 early in CE 2's plane 0 (over 5).
  static emu::DriveConfig Drive(bool overCe2) {
    emu::DriveConfig c;
    c.channels = 1, c.cesPerChannel = 4, c.planesPerDie = 2, c.blocksPerPlane = 256;
    c.factoryBadBlocks = {{0, 0, 0, 4}};
    for (std::uint32_t b = 1; overCe2 && b <= 6; ++b) c.factoryBadBlocks.push_back({2, 0, 0, b});
    using K = emu::MarkKind;
    c.markedBadBlocks = {{{0, 0, 1, 0x80}, K::Rdt, 0x01}, {{0, 0, 0, 5}, K::Later, 0x04},
                         {{0, 0, 1, 3}, K::Later, 0x02}, {{0, 0, 1, 9}, K::Later, 0x01}};
    return c;
  }
  void SetUp() override {
    MakeDirs(".\\Configuration\\System");
    MakeDirs(".\\Configuration\\Flash Map Cfg");
    SetIni(kTool, "General Info", "BoardType", "B");
    SetIni(kTool, "General Info", "FlashNo", "F");
    SetIni(kFdb, "Flash Info", "Flh_MPBinType", "7312");  // plane digit 2, as the RDT firmware's
    for (int ce = 0; ce < 4; ++ce)
      SetIni(".\\Configuration\\Flash Map Cfg\\B.ini", "F", ("CE" + std::to_string(ce)).c_str(), "U" + std::to_string(ce + 1));
  }
  // Drive(false) as a site description gives it.
  static emu::DriveConfig Described() {
    std::ofstream("Emulator.ini")
        << "[Site]\nMode = tester\nSlots = 1\n[Drive]\nChannels = 1\nCesPerChannel = 4\nPlanesPerDie = 2\n"
           "BlocksPerPlane = 256\nFactoryBadBlocks = 0:0:0:4\n"
           "MarkedBadBlocks = rdt:0:0:1:128:r, later:0:0:0:5:e, later:0:0:1:3:p, later:0:0:1:9:r\n";
    std::string error;
    const auto site = emu::LoadEmulatorIni("Emulator.ini", &error);
    EXPECT_TRUE(site) << error;
    return site ? site->GetDrive(1)->Config() : emu::DriveConfig{};
  }
  static CPortDevice& Ready(EmulatedStation& s) {
    CPortDevice& d = s.Device();
    EXPECT_TRUE(d.CheckSystemInfo());
    d.m_FlashCount = 4;
    return d;
  }
  static void ExpectFail(CPortDevice& d, bool result, const char* code, const std::string& message) {
    EXPECT_FALSE(result);
    EXPECT_EQ(d.m_ErrorCode, code);
    EXPECT_EQ(d.m_ErrorMessage, message);
  }
  static constexpr char kTool[] = ".\\Configuration\\System\\MPToolSetting.ini";
};

TEST_F(BadBlockScan, ScanModePassesWithRecordAndProgressInEachMode) {
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge}) {
    SCOPED_TRACE(static_cast<int>(mode));
    EmulatedStation s(mode, 1, Drive(false));
    CPortDevice& d = Ready(s);
    CPortDevice::RdtScanRecord record{};
    FakeBar bar;
    d.m_KeepBlockTable = 1;
    ASSERT_TRUE(d.ScanBadBlocks(true, 0, &bar, 10, false, &record, false)) << d.m_ErrorMessage;
    kxtest::ExpectParts(PortReport(), {"   Get Max Bad block number per Plane= 5 \r\n",
                                       "   FlashNumber=4, MaxBad_perPlane/Die=5 \r\n",
                                       "   CENo_0/Die_0-> Early Bad Count: Plane0=1, Plane1=1 \r\n",
                                       "[ Success ] Scan Bad Process OK- Total take "});
    EXPECT_EQ(std::string(record.begin(), record.begin() + 4), "SCA1");
    EXPECT_EQ(kx::LoadLe32(record.data() + kx::scanrec::EarlyOffset(0, 0, 1)), 1u);
    EXPECT_EQ(d.m_BadCountText, ",2/NA,0/NA,0/NA,0/NA");
    EXPECT_EQ(bar.pos_, 8);  // steps of 2, the last one reaching the span not shown
    EXPECT_EQ(d.m_BlockTable.size(), 4u);
    EXPECT_TRUE(d.m_BbtBuffer.empty());
  }
}

TEST_F(BadBlockScan, ScanModeOverLimitFailsWithTheFlashToReplace) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(true));
  CPortDevice& d = Ready(s);
  ExpectFail(d, d.ScanBadBlocks(true, 0, nullptr, 10, false, nullptr, false), "F_J10",
             "Flash Bad Block Too Much, Ref. CENo-CHNo to replace corresponding Flash.[U3]");
  kxtest::ExpectParts(PortReport(), {"   Following Flash Bad Block Over Spec. Replace it: \r\n", "   1. CENo= 2 \r\n",
                                     "             Error Code : 0x309 \r\n"});
}

TEST_F(BadBlockScan, FirmwareLimitFailures) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(false));
  CPortDevice& d = Ready(s);
  s.Drive().Faults().WrongVerdict(1, Filter(0x21, 0xA8));
  ExpectFail(d, d.ScanBadBlocks(true, 0, nullptr, 10, false, nullptr, false), "I_Jxx",
             "Find System Unit Failed !!, Bad CE Index=0[U1]");
  s.Drive().Faults().FailNext(1, Filter(0x21, 0xA8));
  ExpectFail(d, d.ScanBadBlocks(true, 0, nullptr, 10, false, nullptr, false), "I_Jxx",
             "Issue Vender_MaxBad_PerPlane command Failed !!");
  SetIni(kParam, "Options", "SetSSDSize", "50");
  s.ClearSent();
  s.Drive().Faults().FailNext(1, Filter(0x31, 0x24));
  ExpectFail(d, d.ScanBadBlocks(true, 0, nullptr, 10, false, nullptr, false), "I_J20",
             "Issue DirectWriteSRAM command Failed !!");
  SetIni(kParam, "Options", "MaxBBOffset", "9");
  SetIni(kParam, "Options", "MaxBad_Spec_PerPlane", "12");
  ASSERT_TRUE(d.ScanBadBlocks(true, 0, nullptr, 10, false, nullptr, false));
  kxtest::ExpectParts(PortReport(), {"   ScanBad: set_SSDSize= 97696368 \r\n",
                                     "   Vender_MaxBad_PerPlane with LBA= 97696368 \r\n",
                                     "   Set MaxBad Spec. per plane= 3 \r\n"});
  EXPECT_EQ(s.Sent({0x08, 0xF2, 0x71, 0x01, 0x21, 0xA8}).back().cdb[8], 1);  // the size flag
}

// Scan-mode sizes and limits that are no number fail with the setting's message.
TEST_F(BadBlockScan, ScanSettingThatIsNoNumberFailsWithIt) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(false));
  CPortDevice& d = Ready(s);
  const struct {
    const char *key, *value, *message;
  } rows[] = {
      {"SetSSDSize", "inf", "Setting [Options] SetSSDSize = inf in .\\param.ini is not a valid number"},
      {"SetSSDSizeLBA", "4294967296", "Setting [Options] SetSSDSizeLBA = 4294967296 in .\\param.ini is out of range"},
      {"MaxBad_Spec_PerPlane", "3.5",
       "Setting [Options] MaxBad_Spec_PerPlane = 3.5 in .\\param.ini is not a whole number"}};
  for (const auto& r : rows) {
    SetIni(kParam, "Options", "SetSSDSize", "50");
    SetIni(kParam, "Options", r.key, r.value);
    ExpectFail(d, d.ScanBadBlocks(true, 0, nullptr, 10, false, nullptr, false), "S_x29", r.message);
    SetIni(kParam, "Options", r.key, "");
  }
}

TEST_F(BadBlockScan, TableCheckFailures) {
  emu::DriveConfig cfg = Drive(false);
  cfg.badBbtChecksum = true;
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  CPortDevice& d = Ready(s);
  SetIni(kFdb, "Flash Info", "Flh_MPBinType", "7311");
  ExpectFail(d, d.ScanBadBlocks(true, 0, nullptr, 10, false, nullptr, false), "S_x28",
             "RDT Plane num fail !!(Bin:1) (RDT:2)");
  SetIni(kFdb, "Flash Info", "Flash2ndBinCELimit", "2");
  SetIni(kFdb, "Flash Info", "Flash2ndMPBinType", "7312");  // 4 CEs > 2: the second type counts
  s.Drive().Faults().FailNext(1, Filter(0x21, 0x7F, 1));
  ExpectFail(d, d.ScanBadBlocks(true, 0, nullptr, 10, false, nullptr, false), "F_T34",
             "Issue Read BBT Command Failed !!!");
  d.m_Station = 3;
  ExpectFail(d, d.ScanBadBlocks(true, 0, nullptr, 10, false, nullptr, false), "F_T34",
             "Bad blocks map is not match!!!");
  EXPECT_EQ(d.m_StatusExtraText, "RDT Fail");
  EXPECT_TRUE(d.m_BbtBuffer.empty());
}

TEST_F(BadBlockScan, AutoCapacityTriesSizesLargestFirst) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(true));
  CPortDevice& d = Ready(s);
  SetIni(kFdb, "Options", "AutoCapacity_Enable", "1");
  SetIni(kFdb, "Options", "AutoCapacity_SizeArray", "120, 480 240");
  SetIni(kFdb, "Options", "AutoCapacity_MaxBadPercent", "4,2,6");
  SetIni(kParam, "Options", "SetSSDSize", "480");
  CPortDevice::RdtScanRecord record{};
  ASSERT_TRUE(d.ScanBadBlocks(true, 0, nullptr, 10, false, &record, false)) << d.m_ErrorMessage;
  EXPECT_EQ(d.m_AutoCapacitySize, 240u);
  EXPECT_EQ(kx::LoadLe32(record.data() + kx::scanrec::kPerPlaneLimit), 10u);
  kxtest::ExpectParts(PortReport(), {"   Enable auto capacity \r\n",
                                     "   Auto capacity size = 480, Max Bad Percent = 2, Max Bad = 5 \r\n",
                                     "   Select capacity size = 240, Max Bad Percent = 4, Max Bad = 10 \r\n"});
  SetIni(kParam, "Options", "SetSSDSize", "100");  // no size to try
  d.m_AutoCapacitySize = 0;
  ExpectFail(d, d.ScanBadBlocks(true, 0, nullptr, 10, false, nullptr, false), "F_J10",
             "Flash Bad Block Too Much, Ref. CENo-CHNo to replace corresponding Flash.");
  SetIni(kParam, "Options", "MaxBad_Spec_PerPlane", "10");  // no CE over the first limit
  EXPECT_TRUE(d.ScanBadBlocks(true, 0, nullptr, 10, false, nullptr, false));
  EXPECT_EQ(d.m_AutoCapacitySize, 0u);
}

TEST_F(BadBlockScan, ReadOutReportAndRecord) {
  EmulatedStation s(Mode::TesterDirect, 1, Described());
  CPortDevice& d = Ready(s);
  SetIni(kParam, "Options", "LaterBad_Spec", "5");
  SetIni(kParam, "Options", "max_badblock_perplane", "10");
  SetIni(kTool, "General Info", "ProgramtoRead", "1");
  CPortDevice::RdtScanRecord record{};
  ASSERT_TRUE(d.ScanBadBlocks(false, 2, nullptr, 50, true, &record, true)) << d.m_ErrorMessage;
  kxtest::ExpectParts(
      PortReport(),
      {"   Identify_FW Version = QVF10001 \r\n", "   Later    Bad Count = 3 \r\n",
       "   RDT_FWDate         = 20240101A \r\n", "   RAW = \r\n          4B 58 52 54 00 00 00 00 00 00 00 00 02 00 00 00",
       "   CENo_0/Die_0-> Channel:0,LaterBad:Plane0=1,Plane1=2 \r\n",
       "          <Plane1><Erase= 0; Program= 1; Read= 1> \r\n",
       "   CENo_0/Die_0-> All Bad Block Count= 5 (0.976562%) \r\n",
       "   Channel:0,CE:0,Die:0,Plane:0;    Early Bad Block_8 (0x0008) \r\n",
       "   Channel:0,CE:0,Die:0,Plane:1;    Later Bad Block_7 (0x0007)Read Bad-Run(P) \r\n",
       "   Channel:0,CE:0,Die:0,Plane:1;     Later Bad Block_19 (0x0013)Read Bad-Run \r\n",
       "   Channel:0,CE:0,Die:0,Plane:1;    Early Bad Block_257 (0x0101)Read Bad-RDT \r\n"});
  EXPECT_EQ(std::string(record.begin(), record.begin() + 4), "SCA2");
  EXPECT_EQ(kx::LoadLe32(record.data() + kx::scanrec::LaterOffset(0, 0, 1)), 2u);
  EXPECT_EQ(d.m_BadCountText, ",2/3,0/0,0/0,0/0");
  EXPECT_EQ(d.m_LaterBadTotal, 3u);
}

TEST_F(BadBlockScan, ReadOutVerdicts) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(false));
  CPortDevice& d = Ready(s);
  SetIni(kParam, "Options", "LaterBad_Spec", "2");
  SetIni(kParam, "Options", "max_badblock_perplane", "10");
  ExpectFail(d, d.ScanBadBlocks(false, 0, nullptr, 5, false, nullptr, false), "F_J27",
             "Flash Bad Block Too Much(Later), Ref. CENo-CHNo to replace corresponding Flash.[U1]");
  SetIni(kParam, "Options", "LaterBad_Spec", "5");
  SetIni(kParam, "Options", "max_badblock_perplane", "0");
  SetIni(kFdb, "Options", "AutoCapacity_Enable", "1");  // every plane over 0: auto capacity ignores it
  const std::string before = PortReport();
  EXPECT_TRUE(d.ScanBadBlocks(false, 0, nullptr, 5, false, nullptr, false));
  EXPECT_FALSE(Has(PortReport().substr(before.size()), "Replace it:"));
  struct PageLimit {  // the page's own, put back for the tests after this one
    ~PageLimit() { g_LaterBadReadOut = 0, g_LaterBadLimitText.Set(""); }
  } pageLimit;
  g_LaterBadReadOut = 1;  // the page's limit of 2 per plane, and no auto capacity: plane 1 (3) fails
  g_LaterBadLimitText.Set("1%");
  SetIni(kParam, "Options", "max_badblock_perplane", "");
  ExpectFail(d, d.ScanBadBlocks(false, 0, nullptr, 50, true, nullptr, false), "F_J10",
             "Flash Bad Block Too Much, Ref. CENo-CHNo to replace corresponding Flash.[U1]");
  kxtest::ExpectParts(PortReport(), {"   Later Bad Result Bad Block limit = 1% \r\n",
                                     "   Later Bad Result max bad pre plane = 2 \r\n"});
  EXPECT_EQ(g_LaterBadReadOut.load(), 0);
}

TEST_F(BadBlockScan, DriveInformationFailureWritesNoFailReport) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive(false));
  CPortDevice& d = Ready(s);
  s.Drive().Faults().FailNext(1, Filter(0xEC));
  ExpectFail(d, d.ScanBadBlocks(false, 0, nullptr, 50, true, nullptr, true), "I_x06", "Issue Identify Command Fail.");
  EXPECT_FALSE(Has(PortReport(), "Error Code"));
  EXPECT_TRUE(d.m_BbtBuffer.empty());
}

}  // namespace
