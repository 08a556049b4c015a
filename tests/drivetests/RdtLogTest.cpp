// The RDT read-out: its verdict table and block record on literal values, and
// the step against an emulated drive that ran its RDT.
#include <gtest/gtest.h>

#include <cstring>

#include "device/Folders.h"
#include "device/PortDevice.h"
#include "drivetests/RdtLog.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::Has;
using kxtest::Mode;

std::size_t Row(const char* key) {
  for (std::size_t i = 0; i < kx::kRdtLimitCount; ++i)
    if (std::strcmp(kx::kRdtLimits[i].key, key) == 0) return i;
  return kx::kRdtLimitCount;
}

TEST(RdtJudgement, EachLimitAndResultCode) {
  kx::RdtFindings base;
  base.result = kx::rdtrun::kPassed;
  base.planes[{1, 0, 1}] = {.early = 1};
  base.planes[{9, 0, 0}] = {.later = 3, .erase = 2, .program = 1};
  base.blocksPerPlane = 1024, base.totalBlocks = 1000;
  base.tlcEcc = 30, base.slcEcc = 12, base.tlcLoops = 2, base.slcLoops = 2;
  struct Case {
    const char* key;
    double limit;
    std::uint8_t result;
    std::uint32_t dram;
    const char *code, *message;
  };
  const Case cases[] = {
      {"RDT_Plane_MaxBadBlkRatio_KX", 0.1, 0x01, 0, "F_T31",
       "[end]RDT Test Failed, CE9 Die0 Plane0 Bad(3) > Setting Spec.(1)"},
      {"RDT_Plane_MaxBadBlkRatio_KX", 0.3, 0x01, 0, "", ""},
      {"RDT_MaxEraseBadBlkCount", 1, 0x01, 0, "F_T36", "[end]RDT Test Failed, Erase Bad(2) > Setting Spec.(1)"},
      {"RDT_MaxProgBadBlkRatio", 0.05, 0x01, 0, "F_T37",
       "[end]RDT Test Failed, Program Bad Ratio(0.10%) > Setting Spec.(0.05%)"},
      {"RDTLimit", 2, 0x01, 0, "F_T27", "[end]RDT Test Failed, Total Later Bad(3) > Setting Spec.(2)"},
      {"ECC_threshold", 20, 0x01, 0, "F_T38", "[end]RDT Test Failed, ECC(30) > Setting Spec.(20)"},
      {"Cycle_SLC", 3, 0x01, 0, "F_T39", "[end]RDT Test Failed, SLC Loop(2) < Setting Spec.(3)"},
      {"Cycle", 2, 0x01, 0, "", ""},
      {"Cycle", 0, 0x01, 2, "F_T40", "[end]RDT DRAM Test Failed, Error Count(2)"},
      {"Cycle", 0, 0x11, 0, "I_T52", "RDT_RESULT_FLH_TEST_TIME_OUT"},
      {"Cycle", 0, 0x12, 0, "I_T53", "RDT_RESULT_FLH_TEST_BB_OVER"},
      {"Cycle", 0, 0x13, 0, "I_T55", "RDT_RESULT_FLH_ID_ERROR"},
      {"Cycle", 0, 0x14, 0, "I_T55", "RDT_RESULT_FLH_ID_MISS_ERROR"},
      {"Cycle", 0, 0x15, 0, "I_T54", "RDT_RESULT_SYS_BlK_ERROR"},
      {"Cycle", 0, 0x00, 0, "F_T33", "[end]RDT Not Finished !!!"},
      {"Cycle", 0, 0x20, 0, "F_T10", "[end]RDT Testing failed!!! Replace above abnormal Flash."}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.key << " " << c.limit << " result " << int(c.result));
    kx::RdtFindings f = base;
    f.result = c.result, f.dramErrors = c.dram;
    kx::RdtLimitValues limits{};
    limits[Row(c.key)] = c.limit;
    const kx::RdtVerdict v = kx::JudgeRdt(f, limits);
    EXPECT_EQ(v.code, c.code);
    EXPECT_EQ(v.message, c.message);
  }
  kx::RdtFindings dramOnly = base;
  dramOnly.flashRead = false;
  kx::RdtLimitValues limits{};
  limits[Row("RDTLimit")] = 1;
  EXPECT_TRUE(kx::JudgeRdt(dramOnly, limits).Passed());  // flash limits need the flash logs
}

TEST(RdtLogBytes, EndEntryAndBlockRecord) {
  const std::uint8_t log[] = {9, 0, 0, 0x45, 7, 0, 0, 0, 'R', 'B', 'B', 'L', 1, 0, 0, 0};
  EXPECT_EQ(kx::RdtLogEntryCount(log, kx::rdtlog::Log::BadBlock), 1u);
  EXPECT_EQ(kx::RdtLogEntryCount(log, kx::rdtlog::Log::Special), std::nullopt);
  EXPECT_EQ(kx::RdtLogEntryCount(std::span(log, 8), kx::rdtlog::Log::BadBlock), std::nullopt);
  kx::RdtLogs logs;
  kx::DecodeRdtLog(log, 1, kx::rdtlog::Log::BadBlock, logs);
  const kx::RdtPlaneMap planes = kx::CountRdtBadBlocks(logs.badBlocks);
  std::vector<std::uint8_t> record(kx::scanrec::kSize, 0xEE);
  kx::FillRdtBlockRecord(record.data(), planes, 5, 0x0F0F);
  EXPECT_EQ(std::string(record.begin(), record.begin() + 4), std::string("RDT\0", 4));
  EXPECT_EQ(kx::LoadLe32(record.data() + 4), 5u);
  EXPECT_EQ(kx::LoadLe32(record.data() + kx::scanrec::LaterOffset(9, 1, 0, 0)), 1u);  // CE 9 sits at die slot 1
  EXPECT_EQ(kx::LoadLe32(record.data() + kx::scanrec::LaterOffset(9, 1, 0, 1)), 1u);  // erase
  EXPECT_EQ(kx::LoadLe32(record.data() + kx::scanrec::LaterOffset(9, 1, 0, 3)), 1u);  // read
  EXPECT_EQ(kx::LoadLe16(record.data() + kx::scanrec::kCeSkipMask), 0xF0F0);
}

class RdtLog : public kxtest::DeviceTestEnv {
 protected:
  static emu::DriveConfig Drive(std::uint8_t result = 0x01) {
    emu::DriveConfig c;
    c.initialCode = emu::RunningCode::RomRdt;
    c.factoryBadBlocks = {{.ce = 1, .die = 0, .plane = 1, .block = 5}};
    c.markedBadBlocks = {{{.ce = 9, .die = 0, .plane = 0, .block = 7}, emu::MarkKind::Rdt, 0x04},
                         {{.ce = 9, .die = 0, .plane = 0, .block = 8}, emu::MarkKind::Rdt, 0x02}};
    c.rdtRun.resultCode = result;
    c.rdtRun.seconds = 3725;
    c.rdtRun.eccBlocks = {{{.ce = 0, .die = 0, .plane = 0, .block = 3}, 30, false}};
    return c;
  }
};

TEST_F(RdtLog, PassFillsRecordsResultFilesAndReport) {
  EmulatedStation s(Mode::TesterDirect, 1, Drive());
  CPortDevice& d = s.Device();
  std::uint8_t info[64] = {};
  auto record = std::make_unique<CPortDevice::RdtScanRecord>();
  ASSERT_TRUE(d.ReadRdtLog(true, true, nullptr, 70, false, 0, info, record.get(), 0));
  EXPECT_EQ(d.m_RdtResultCode, 0x01);
  EXPECT_EQ(d.m_RdtTime, 3725);
  EXPECT_EQ(d.m_PhysicalSize, 524288u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info), 4), "KXRT");
  kx::RdtInfoRecord rdt;
  std::memcpy(rdt.data(), info, 64);
  EXPECT_TRUE(Has(d.FormatRdtProgress(9, 1, record.get(), &rdt), "09: 0/ 2 (P: 1)*"));
  kxtest::ExpectParts(PortReport(),
                      {"   RDT Bad Block: Early=1, Later=2 (Erase=1, Program=1, Read=0) \r\n",
                       "   ECC Log: 1 blocks, Max ECC(SLC/TLC)=0/30 \r\n",
                       "   CE09/Die0/Plane0 Block_8 (0x0008) Later P \r\n", "Read RDT Log OK- Total take"});
  const std::string folder = "D:\\Log\\RDT\\KX0000000000000001";
  EXPECT_TRUE(Has(ReadAll(folder + "_RDT.txt"), "   RDT Result: Pass \r\n"));
  EXPECT_EQ(ReadAll(folder + "_BadBlockLog.bin").size(), 32u);
  EXPECT_EQ(kx::GetFolderSize64("D:\\Log\\RDT"), ReadAll(folder + "_RDT.txt").size() + 64 + 32 + 200 + 8 + 16);
}

TEST_F(RdtLog, LimitFailureResultCodesAndReadFailures) {
  SetIni(".\\paramFDB.ini", "RDT", "RDT_Plane_MaxBadBlkRatio_KX", "0.1");
  {
    EmulatedStation s(Mode::TesterDirect, 1, Drive());
    CPortDevice& d = s.Device();
    EXPECT_FALSE(d.ReadRdtLog(false, false, nullptr, 0, false, 1, nullptr, nullptr, 0));
    EXPECT_FALSE(Has(PortReport(), "[ Fail ]"));  // report only
    EXPECT_FALSE(d.ReadRdtLog(false, false, nullptr, 0, false, 0, nullptr, nullptr, 0));
    EXPECT_EQ(d.m_ErrorCode, "F_T31");
    EXPECT_EQ(d.m_ErrorMessage, "[end]RDT Test Failed, CE9 Die0 Plane0 Bad(2) > Setting Spec.(1)");
    EXPECT_TRUE(Has(PortReport(), "Error Code : 0x31E \r\n"));
    EXPECT_TRUE(d.ReadRdtLog(false, false, nullptr, 0, true, 0, nullptr, nullptr, 0));  // DRAM only
    s.Drive().Faults().FailNext(1, {.opcode = 0x21, .subCommand = 0x51});
    EXPECT_FALSE(d.ReadRdtLog(false, false, nullptr, 0, false, 0, nullptr, nullptr, 0));
    EXPECT_EQ(d.m_ErrorMessage, "Issue Get RDT Temperature/Time Log Command Failed !!!");
  }
  for (std::uint8_t result : {0x11, 0x12, 0x13, 0x14, 0x15}) {
    SCOPED_TRACE(int(result));
    EmulatedStation s(Mode::Bridge, 1, Drive(result));
    EXPECT_FALSE(s.Device().ReadRdtLog(false, false, nullptr, 0, false, 0, nullptr, nullptr, 0));
    EXPECT_EQ(s.Device().m_RdtResultCode, result);
  }
  emu::DriveConfig unfinished = Drive();
  unfinished.rdtDone = false;
  EmulatedStation s(Mode::TesterDirect, 3, unfinished);
  EXPECT_FALSE(s.Device().ReadRdtLog(false, false, nullptr, 0, false, 0, nullptr, nullptr, 0));
  EXPECT_EQ(s.Device().m_ErrorCode, "F_T30");
}

}  // namespace
