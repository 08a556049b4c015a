// The RDT progress line's pieces and counts, the over-bad CE mask of a saved
// scan record, and both steps on the emulated drive and the port's record file.
#include <gtest/gtest.h>

#include <vector>

#include "media/RdtProgress.h"
#include "device/FileWrites.h"
#include "device/PortDevice.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;

const std::string kTemp40 =
    "T(\xA2"
    "XC):40*";

kx::RdtInfoRecord Info() {
  kx::RdtInfoRecord info;
  const std::uint8_t fwLoopsEcc[] = {'R', '1', '2', 'A', 0, 0, 2, 150, 7, 9};  // bytes 50-59: S/T loops, S/T ECC
  std::copy(std::begin(fwLoopsEcc), std::end(fwLoopsEcc), info.bytes.begin() + 50);
  info.SetU8(23, 0x80), info.SetU8(49, 40);  // loops shown doubled; 40 degrees
  info.SetU32(60, 3725);
  return info;
}

kx::RdtCounts Counts() {
  kx::RdtCounts n;
  n.ob[0] = 3, n.rb[0] = 1, n.pc[0] = 2, n.olbOnly = 1;
  n.pOlb = 2, n.pRb = 1, n.eRb = 4, n.rOlb = 5;
  return n;
}

TEST(RdtProgressLine, PiecesByFlags) {
  const std::string counts = "OB+OLB/RB:1+2/1*";
  const std::string pairs = "P OLB/RB:2/1*E OLB/RB:0/4*R OLB/RB:5/0*";
  EXPECT_EQ(kx::FormatRdtProgressLine(Counts(), 4, false, Info()), counts + pairs + kTemp40);
  EXPECT_EQ(kx::FormatRdtProgressLine(Counts(), 12, false, Info()),
            counts + pairs + kTemp40 + "FW:12A*ECC(T/S):9/7*Loop(T/S):44/4*Time:01:02:05");
  EXPECT_EQ(kx::FormatRdtProgressLine(Counts(), 6, false, Info()),
            counts + "P OLB+RB:3*E OLB+RB:4*R OLB+RB:5*" + kTemp40);
  const std::string saved = kx::FormatRdtProgressLine(Counts(), 1, true, Info());
  EXPECT_EQ(saved.substr(0, 32), "00: 3/ 1 (P: 2)*01: 0/ 0 (P: 0)*");
  EXPECT_TRUE(Has(saved, "15: 0/ 0 (P: 0)*OB/RB:3/1*" + kTemp40));
}

TEST(RdtProgressLine, ProgramFailsShownAsReadFails) {
  kx::RdtCounts n;
  n.pOlb = 7, n.rOlb = 3, n.pRb = 25, n.rRb = 3;
  kx::ApplyProgramToRead(n, false);
  EXPECT_EQ(n.pOlb, 7);  // the OLB pair only when asked
  EXPECT_EQ(n.pRb, 15);
  EXPECT_EQ(n.rRb, 13);
  kx::ApplyProgramToRead(n, true);
  EXPECT_EQ(n.pOlb, 0);
  EXPECT_EQ(n.rOlb, 10);
}

TEST(RdtSavedRecord, CountsAndLimit) {
  std::vector<std::uint8_t> r(kx::scanrec::kSize, 0);
  kx::StoreLe32(r.data() + kx::scanrec::EarlyOffset(8, 1, 2), 5);   // CE 8 is read at die 1
  kx::StoreLe32(r.data() + kx::scanrec::EarlyOffset(8, 0, 2), 70);  // not read
  kx::StoreLe32(r.data() + kx::scanrec::LaterOffset(0, 0, 1), 6);
  kx::StoreLe32(r.data() + kx::scanrec::LaterOffset(0, 0, 1, 1), 1);
  kx::StoreLe32(r.data() + kx::scanrec::LaterOffset(0, 0, 1, 2), 2);
  kx::StoreLe32(r.data() + kx::scanrec::LaterOffset(0, 0, 1, 3), 3);
  const kx::RdtCounts n = kx::RdtCountsFromRecord(r.data());
  EXPECT_EQ(n.ob[8], 5);
  EXPECT_EQ(n.rb[0], 6);
  EXPECT_EQ(n.eRb, 1);
  EXPECT_EQ(n.pc[0], 2u);
  EXPECT_EQ(n.rRb, 3);
  std::uint32_t limit = 0;
  EXPECT_FALSE(kx::OverBadLimit(2048, 0, 2, limit));  // 2,048, 2, 2 gives 256: the mask test below
}

class RdtProgress : public kxtest::DeviceTestEnv {};

TEST_F(RdtProgress, LiveTableAndSavedRecord) {
  emu::DriveConfig cfg;
  cfg.factoryBadBlocks = {{.ce = 1, .die = 0, .plane = 0, .block = 3}};
  EmulatedStation s(Mode::TesterDirect, 1, cfg);
  CPortDevice& d = s.Device();
  ASSERT_TRUE(d.CheckSystemInfo());
  const kx::RdtInfoRecord info = Info();
  const std::string live = d.FormatRdtProgress(5, 0, nullptr, &info);
  EXPECT_TRUE(Has(live, "01: 1/ 0 (P: 0)*"));
  EXPECT_TRUE(Has(live, "OB+OLB/RB:1+0/0*P OLB/RB:0/0*"));
  EXPECT_TRUE(d.m_BbtBuffer.empty());
  s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x7F});
  EXPECT_TRUE(Has(d.FormatRdtProgress(4, 0, nullptr, &info), "OB+OLB/RB:0+0/0*"));  // the read failed
  EXPECT_EQ(d.FormatRdtProgress(4, 0, nullptr, nullptr), "");

  CPortDevice::RdtScanRecord record{};
  kx::StoreLe32(record.data() + kx::scanrec::LaterOffset(0, 0, 0, 2), 25);
  kx::StoreLe32(record.data() + kx::scanrec::LaterOffset(0, 0, 0, 3), 3);
  MakeDirs(".\\Configuration\\System");
  SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "ProgramtoRead", "1");
  EXPECT_TRUE(Has(d.FormatRdtProgress(4, 1, &record, &info), "P OLB/RB:0/15*E OLB/RB:0/0*R OLB/RB:0/13*"));
}

TEST_F(RdtProgress, OverBadMaskFromThePortsRecordFile) {
  EmulatedStation s(Mode::TesterDirect);
  CPortDevice& d = s.Device();
  d.m_MaxBlockPerCe = 2048, d.m_DiePerFlash = 2, d.m_PlaneCount = 2;
  std::uint16_t mask = 0xABCD;
  const std::string path = "C:\\KXMP\\Configuration\\Temp\\#1.bin";
  EXPECT_FALSE(d.GetOverBadCeMask(&mask));  // no file
  std::vector<std::uint8_t> file(2 * kx::scanrec::kSize, 0);
  std::copy_n("RDT", 3, file.begin());
  MakeDirs("C:\\KXMP\\Configuration\\Temp");
  ASSERT_EQ(kx::WriteWholeFile(path, file.data(), 100), kx::WriteResult::Ok);
  EXPECT_FALSE(d.GetOverBadCeMask(&mask));  // no whole record
  std::copy_n("SCA", 3, file.begin());      // the first record is a scan record
  std::copy_n("RDT", 3, file.begin() + kx::scanrec::kSize);
  const std::size_t second = kx::scanrec::kSize;  // CE 3 is over (200 + 57 > 256), CE 4 not, CE 5 skipped
  kx::StoreLe32(file.data() + second + kx::scanrec::LaterOffset(3, 0, 0), 200);
  kx::StoreLe32(file.data() + second + kx::scanrec::EarlyOffset(3, 0, 0), 57);
  kx::StoreLe32(file.data() + second + kx::scanrec::LaterOffset(4, 0, 0), 200);
  kx::StoreLe32(file.data() + second + kx::scanrec::EarlyOffset(4, 0, 0), 56);
  kx::StoreLe32(file.data() + second + kx::scanrec::LaterOffset(5, 0, 0), 300);
  kx::StoreLe16(file.data() + second + kx::scanrec::kCeSkipMask, 0x0020);
  ASSERT_EQ(kx::WriteWholeFile(path, file.data(), file.size()), kx::WriteResult::Ok);
  ASSERT_TRUE(d.GetOverBadCeMask(&mask));
  EXPECT_EQ(mask, 0x0008);
}

}  // namespace
