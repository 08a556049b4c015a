// The RDT run of Emulator.ini's drive keys, and the logs and RDT info record the
// drive builds from it (protocol/RdtLogRecords.h).
#include <filesystem>
#include <fstream>

#include "emulator/EmulatorIni.h"
#include "protocol/RdtLogRecords.h"
#include "tests/emulator/DriveTestUtil.h"

namespace emu::test {
namespace {

class RdtLogs : public DriveTest {};

TEST_F(RdtLogs, IniKeysBuildTheLogsAndTheRunSummary) {
  const std::filesystem::path ini = std::filesystem::temp_directory_path() / "kxemu_rdt_logs_Emulator.ini";
  std::ofstream(ini, std::ios::binary)
      << "[Site]\nSlots=1\n[Drive]\nCode=rdt\nMarkedBadBlocks=rdt:1:0:1:9:pe\nRdtResultCode=0x12\n"
         "RdtTemperatures=41, 63\nRdtSlcLoops=3\nRdtTlcLoops=4\nRdtSeconds=7200\nRdtEccBlocks=8:0:1:17:40:slc\n"
         "RdtDramErrors=0x2000\n";
  std::string err;
  auto site = LoadEmulatorIni(ini.string(), &err);
  std::filesystem::remove(ini);
  ASSERT_TRUE(site) << err;
  Drive& d = *site->GetDrive(1);
  Ready(d);
  const auto info = d.RdtInfo();
  EXPECT_EQ(info[kx::rdtrun::kResultCode], 0x12);
  EXPECT_EQ(info[kx::rdtinfo::kMaxTemperature], 63);
  EXPECT_EQ(info[kx::rdtinfo::kXlcLoops], 4);
  EXPECT_EQ(info[kx::rdtinfo::kSlcEcc], 40);
  EXPECT_EQ(Le32(Bytes(info.begin(), info.end()), kx::rdtinfo::kTestSeconds), 7200u);
  const Bytes bad = VRead(d, 0x50, 1), temps = VRead(d, 0x51, 1), dram = VRead(d, 0x52, 1), ecc = VRead(d, 0x54, 1);
  EXPECT_EQ(Bytes(bad.begin(), bad.begin() + 16), Bytes({1, 0, 1, 0x46, 9, 0, 0, 0, 'R', 'B', 'B', 'L', 1, 0, 0, 0}));
  EXPECT_EQ(Bytes(temps.begin() + 8, temps.begin() + 12), Bytes({60, 0, 63, 3}));  // hour 1, 63 degrees, loop 3
  EXPECT_EQ(Le32(dram, 0), 0x2000u);
  EXPECT_EQ(Bytes(ecc.begin(), ecc.begin() + 8), Bytes({8, 0, 1, 1, 17, 0, 40, 4}));
}

// The run counts from the RDT firmware's start; a power cut starts it again.
TEST_F(RdtLogs, AnUnfinishedRunEndsRdtRunMsAfterTheFirmwareStarts) {
  DriveConfig c = SmallConfig(RunningCode::RomRdt);
  c.rdtDone = false, c.rdtRunMs = 60000, c.rdtRun.resultCode = 0x13;
  Drive d(c);
  Ready(d);
  const auto result = [&d] {
    VRead(d, 0x50, 1);  // any command lets the drive catch up with the clock
    return d.RdtInfo()[kx::rdtrun::kResultCode];
  };
  Advance(50000);
  EXPECT_EQ(result(), 0x00);
  PowerCycle(d);
  Advance(15000);
  EXPECT_EQ(result(), 0x00);
  EXPECT_EQ(VRead(d, 0x50, 1), Sector(0));
  Advance(45000);
  EXPECT_EQ(result(), 0x13);
  const auto info = d.RdtInfo();
  EXPECT_EQ(std::string(info.begin(), info.begin() + 4), "KXRT");
  EXPECT_EQ(Text(VRead(d, 0x50, 1), 0, 4), "RBBL");  // the bad-block log, with no entry
}

}  // namespace
}  // namespace emu::test
