#include <array>
#include <cstring>

#include "device/PortDevice.h"
#include "platform/Clock.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::CountLines;
using kxtest::EndsWith;
using kxtest::ExpectParts;

using Block = std::array<std::uint8_t, 512>;

class InfoDump : public kxtest::DeviceTestEnv {
 protected:
  void SetUp() override {
    device_ = std::make_unique<CPortDevice>(1, 1, 2, "D:\\Log", nullptr, nullptr);
    device_->WriteReport("START", true);
  }
  std::string Dump(const Block& block) {
    return Appended(kReport, [&] { device_->WriteInfoBlockReport(block.data()); });
  }
  std::string SmartDump(const Block& table, std::string* summary = nullptr) {
    std::string s;
    const std::string added = Appended(kReport, [&] { s = device_->WriteSmartIdReport(table.data()); });
    if (summary) *summary = s;
    return added;
  }
  const std::string kReport = "D:\\Log\\D_Reports\\PC_2_Report.txt";

  // 2026-05-28: the year of the info block's date is taken from it.
  platform::ScopedClock clock_{platform::MakeVirtualClock(1780000000000)};
  std::unique_ptr<CPortDevice> device_;
};

TEST_F(InfoDump, ZeroBlock) {
  const std::string d = Dump(Block{});
  // A NUL in a "%c" line ends it there, line end included.
  EXPECT_EQ(d.rfind("   u8bTavlinInfoMark :    ubReserved1 : 0\r\n   ubSetFlashDrive : 0\r\n", 0), 0u);
  ExpectParts(d, {"   ubnWPPads: 0\r\n", "   ubSerialNumber : \r\n   ubModelNumber : \r\n",
                  "   ubPMICSel : 0,0,0,0,0,0,0,0,0,0,0,0,\r\n",
                  "   MpInfo.Signature :    MpInfo.Result_Code : 0\r\n   MpInfo.Result_Code : 0\r\n",
                  "   MpInfo.RunInfo.CEBitMap : 0000\r\n", "   MpInfo.MinTemperature :0\r\n",
                  "   MpInfo.FW_Version :    MpInfo.MaxBadBlkRatio_PerPlane : 0\r\n", "   ubAP_APVer1 : 00\r\n",
                  "   ubAP_WO : \r\n", "   ubAP_APVer : MP:KX7410 V0000 FW:00ST00\r\n",
                  "   ubAP_CurrentDate : 2020/0/0 00:00\r\n",
                  "   ubAP_Reserved2 : 0\r\n   ubAP_IndustrialSpecification : 0\r\n"});
  EXPECT_TRUE(EndsWith(d, "   ubAP_GoodMark : MP: none   QC: none   BurnIn: none\r\n"));
  EXPECT_EQ(CountLines(d), 206u - 3u);
}

TEST_F(InfoDump, TextsAreDataAndPairsAreSwapped) {
  Block block{};
  std::memcpy(block.data(), "TAVLIN", 6);
  std::memcpy(block.data() + 18, "BAs%DC", 6);  // ATA order: prints "AB%sCD"
  block[25] = 'X';  // pair 24/25: second byte first, then the NUL ends the pair
  block[26] = 'Z';  // pair 26/27 starts with a NUL: nothing
  std::memcpy(block.data() + 401, "KXRT", 4);
  block[476] = 'W';
  block[478] = 'O';  // the NUL between drops its comma too
  block[420] = 0x0F;
  block[419] = 0x40;  // bit 30 of bytes 416..419: RDT_ReTest
  block[475] = 200;
  ExpectParts(Dump(block), {"   u8bTavlinInfoMark : TAVLIN\r\n   ubReserved1 : 0\r\n",
                            "   ubSerialNumber : AB%sCDX\r\n",
                            "   MpInfo.Signature : KXRT\r\n", "   ubAP_WO : W,O,\r\n",
                            "   MpInfo.RunInfo.CEBitMap : 000f\r\n",
                            "   MpInfo.RunInfo.RDT_ReTest : 1\r\n   MpInfo.RunInfo.FLH_CacheTest : 0\r\n",
                            "   RunInfo.bReserved1 : 0\r\n", "   ubAP_ScanMaxBad : 200\r\n"});
}

TEST_F(InfoDump, ApVersionDateAndGoodMark) {
  Block block{};
  const unsigned w = 15 | 13 << 5 | 45 << 10;  // day 15, 13:45
  block[507] = static_cast<std::uint8_t>(w);
  block[508] = static_cast<std::uint8_t>(w >> 8);
  block[511] = 0xB7;
  const struct {
    std::array<std::uint8_t, 5> apVer;
    std::uint8_t date;
    const char* version;
    const char* dateText;
  } cases[] = {
      {{0x25, 1, 2, 3, 4}, 0x36, "MP:KX7410L V0102_T3 FW:S1I304", "2026/3/15"},
      {{0x08, 1, 2, 0, 7}, 0x17, "MP:KX7410 V0102 FW:S2ST07", "2017/1/15"},  // the latest year ending in 7
      {{'K', 'X', 'T', 0x1A, 0x0B}, 0, "KXT1A.B", "2020/0/15"},
      {{'A', 'P', 'V', 2, 0}, 0, "APV2.0", "2020/0/15"},
      {{0x3B, 9, 10, 0, 1}, 0, "MP:QM6620 V0910 FW:00IM01", "2020/0/15"},  // stage 6 prints "00"
  };
  for (const auto& c : cases) {
    std::memcpy(block.data() + 501, c.apVer.data(), 5);
    block[506] = c.date;
    ExpectParts(Dump(block),
                {std::string("   ubAP_APVer : ") + c.version + "\r\n",
                 std::string("   ubAP_CurrentDate : ") + c.dateText + " 13:45\r\n",
                 "   ubAP_GoodMark : MP: OK   QC: OK   BurnIn: OK   PC BurnIn: OK   NTFS: OKUpLoad: OK\r\n"});
  }
}

TEST_F(InfoDump, SmartTable) {
  Block table{};
  std::string summary;
  EXPECT_EQ(SmartDump(table, &summary), "");
  EXPECT_EQ(summary, "Smart ID*");
  const std::uint8_t entry[] = {0x09, 1, 2, 3, 4, 5, 6, 7, 8, 0xC2, 0x2A};
  std::memcpy(table.data(), entry, sizeof entry);
  EXPECT_EQ(SmartDump(table, &summary),
            "   Smart ID - 09 : 0807060504030201\r\n   Smart ID - C2 : 000000000000002a\r\n");
  EXPECT_EQ(summary, "Smart ID*09 : (4030201)*C2 : (2A)*");
  table.fill(0x11);  // 56 whole entries fit; a 57th would cross the end
  EXPECT_EQ(CountLines(SmartDump(table)), 56u);
}

}  // namespace
