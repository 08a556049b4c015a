#include <array>
#include <cstring>

#include "TestEnv.h"
#include "device/PortDevice.h"
#include "platform/Clock.h"

namespace {

class InfoDump : public DeviceTestEnv {
 protected:
  void SetUp() override {
    DeviceTestEnv::SetUp();
    // 2026-05-28 (local date differs by at most a day; the year is what matters).
    clock_ = std::make_unique<platform::ScopedClock>(platform::MakeVirtualClock(1780000000000));
    SetIni(".\\PC_MAC_Address.txt", "PC Info", "MAC_Address", "PC");
    MakeDirs("D:\\Log\\D_Reports");
    device_ = std::make_unique<CPortDevice>(1, 1, 2, "D:\\Log", nullptr, nullptr);
    device_->WriteReport("START", true);
    start_ = Report().size();
  }
  void TearDown() override {
    device_.reset();
    clock_.reset();
    DeviceTestEnv::TearDown();
  }
  std::string Report() { return ReadAll("D:\\Log\\D_Reports\\PC_2_Report.txt"); }
  std::string Dump(const std::array<std::uint8_t, 512>& block) {
    const std::size_t before = Report().size();
    device_->WriteInfoBlockReport(block.data());
    return Report().substr(before);
  }
  static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

  std::unique_ptr<platform::ScopedClock> clock_;
  std::unique_ptr<CPortDevice> device_;
  std::size_t start_ = 0;
};

TEST_F(InfoDump, ZeroBlock) {
  std::array<std::uint8_t, 512> block{};
  const std::string d = Dump(block);
  // A NUL in a "%c" line ends it there, line end included.
  EXPECT_EQ(d.rfind("   u8bTavlinInfoMark :    ubReserved1 : 0\r\n   ubSetFlashDrive : 0\r\n", 0), 0u);
  EXPECT_TRUE(Has(d, "   ubnWPPads: 0\r\n"));
  EXPECT_TRUE(Has(d, "   ubSerialNumber : \r\n   ubModelNumber : \r\n"));
  EXPECT_TRUE(Has(d, "   ubPMICSel : 0,0,0,0,0,0,0,0,0,0,0,0,\r\n"));
  EXPECT_TRUE(Has(d, "   MpInfo.Signature :    MpInfo.Result_Code : 0\r\n   MpInfo.Result_Code : 0\r\n"));
  EXPECT_TRUE(Has(d, "   MpInfo.RunInfo.CEBitMap : 0000\r\n"));
  EXPECT_TRUE(Has(d, "   MpInfo.MinTemperature :0\r\n"));
  EXPECT_TRUE(Has(d, "   MpInfo.FW_Version :    MpInfo.MaxBadBlkRatio_PerPlane : 0\r\n"));
  EXPECT_TRUE(Has(d, "   ubAP_APVer1 : 00\r\n"));
  EXPECT_TRUE(Has(d, "   ubAP_WO : \r\n"));
  EXPECT_TRUE(Has(d, "   ubAP_APVer : MP:KX7410 V0000 FW:00ST00\r\n"));
  EXPECT_TRUE(Has(d, "   ubAP_CurrentDate : 2020/0/0 00:00\r\n"));
  EXPECT_TRUE(Has(d, "   ubAP_Reserved2 : 0\r\n   ubAP_IndustrialSpecification : 0\r\n"));
  const std::string mark = "   ubAP_GoodMark : MP: none   QC: none   BurnIn: none\r\n";
  ASSERT_GE(d.size(), mark.size());
  EXPECT_EQ(d.substr(d.size() - mark.size()), mark);
  std::size_t lines = 0;
  for (std::size_t p = 0; (p = d.find("\r\n", p)) != std::string::npos; p += 2) ++lines;
  EXPECT_EQ(lines, 206u - 3u);
}

TEST_F(InfoDump, TextsAreDataAndPairsAreSwapped) {
  std::array<std::uint8_t, 512> block{};
  std::memcpy(block.data(), "TAVLIN", 6);
  const char serial[] = "BAs%DC";  // stored in ATA order: prints "AB%sCD"
  std::memcpy(block.data() + 18, serial, 6);
  block[25] = 'X';  // pair 24/25: second byte printed first, then the NUL ends the pair
  block[27] = 0;
  block[26] = 'Z';  // a pair whose first printed byte is NUL prints nothing
  std::memcpy(block.data() + 401, "KXRT", 4);
  block[476] = 'W';
  block[478] = 'O';
  block[420] = 0x0F;
  block[419] = 0x40;  // bit 30 of bytes 416..419: RDT_ReTest
  block[475] = 200;
  const std::string d = Dump(block);
  EXPECT_TRUE(Has(d, "   u8bTavlinInfoMark : TAVLIN\r\n   ubReserved1 : 0\r\n"));
  EXPECT_TRUE(Has(d, "   ubSerialNumber : AB%sCDX\r\n"));
  EXPECT_TRUE(Has(d, "   MpInfo.Signature : KXRT\r\n"));
  EXPECT_TRUE(Has(d, "   ubAP_WO : W,O,\r\n"));
  EXPECT_TRUE(Has(d, "   MpInfo.RunInfo.CEBitMap : 000f\r\n"));
  EXPECT_TRUE(Has(d, "   MpInfo.RunInfo.RDT_ReTest : 1\r\n   MpInfo.RunInfo.FLH_CacheTest : 0\r\n"));
  EXPECT_TRUE(Has(d, "   RunInfo.bReserved1 : 0\r\n"));
  EXPECT_TRUE(Has(d, "   ubAP_ScanMaxBad : 200\r\n"));
}

TEST_F(InfoDump, ApVersionDateAndGoodMark) {
  std::array<std::uint8_t, 512> block{};
  const std::uint8_t ic[] = {0x25, 1, 2, 3, 4};
  std::memcpy(block.data() + 501, ic, 5);
  block[506] = 0x36;  // year digit 6, month 3
  const unsigned w = 15 | 13 << 5 | 45 << 10;
  block[507] = static_cast<std::uint8_t>(w);
  block[508] = static_cast<std::uint8_t>(w >> 8);
  block[511] = 0xB7;
  std::string d = Dump(block);
  EXPECT_TRUE(Has(d, "   ubAP_APVer : MP:KX7410L V0102_T3 FW:S1I304\r\n"));
  EXPECT_TRUE(Has(d, "   ubAP_CurrentDate : 2026/3/15 13:45\r\n"));
  EXPECT_TRUE(Has(d, "   ubAP_GoodMark : MP: OK   QC: OK   BurnIn: OK   PC BurnIn: OK   NTFS: OKUpLoad: OK\r\n"));

  const std::uint8_t st[] = {0x08, 1, 2, 0, 7};
  std::memcpy(block.data() + 501, st, 5);
  block[506] = 0x17;  // digit 7: the latest such year not after 2026 is 2017
  d = Dump(block);
  EXPECT_TRUE(Has(d, "   ubAP_APVer : MP:KX7410 V0102 FW:S2ST07\r\n"));
  EXPECT_TRUE(Has(d, "   ubAP_CurrentDate : 2017/1/15 13:45\r\n"));

  const std::uint8_t kxt[] = {'K', 'X', 'T', 0x1A, 0x0B};
  std::memcpy(block.data() + 501, kxt, 5);
  EXPECT_TRUE(Has(Dump(block), "   ubAP_APVer : KXT1A.B\r\n"));
  const std::uint8_t apv[] = {'A', 'P', 'V', 2, 0};
  std::memcpy(block.data() + 501, apv, 5);
  EXPECT_TRUE(Has(Dump(block), "   ubAP_APVer : APV2.0\r\n"));
  const std::uint8_t qm[] = {0x3B, 9, 10, 0, 1};  // model 3, stage 6 ("00"), IC build
  std::memcpy(block.data() + 501, qm, 5);
  EXPECT_TRUE(Has(Dump(block), "   ubAP_APVer : MP:QM6620 V0910 FW:00IM01\r\n"));
}

TEST_F(InfoDump, SmartTable) {
  std::array<std::uint8_t, 512> table{};
  EXPECT_EQ(device_->WriteSmartIdReport(table.data()), "Smart ID*");
  EXPECT_EQ(Report().size(), start_);

  const std::uint8_t entry[] = {0x09, 1, 2, 3, 4, 5, 6, 7, 8};
  std::memcpy(table.data(), entry, 9);
  table[9] = 0xC2;
  table[10] = 0x2A;
  EXPECT_EQ(device_->WriteSmartIdReport(table.data()), "Smart ID*09 : (4030201)*C2 : (2A)*");
  EXPECT_EQ(Report().substr(start_),
            "   Smart ID - 09 : 0807060504030201\r\n   Smart ID - C2 : 000000000000002a\r\n");

  table.fill(0x11);  // 56 whole entries fit; the 57th would cross the end
  const std::size_t before = Report().size();
  device_->WriteSmartIdReport(table.data());
  const std::string added = Report().substr(before);
  std::size_t lines = 0;
  for (std::size_t p = 0; (p = added.find("\r\n", p)) != std::string::npos; p += 2) ++lines;
  EXPECT_EQ(lines, 56u);
}

}  // namespace
