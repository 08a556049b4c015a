// Erase-all, 0 MB check and upgrade-only, each run by a real job through the real steps.
#include <algorithm>
#include <filesystem>
#include <vector>

#include "engine/PortJob.h"
#include "tests/media/FirmwareFiles.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/MpStation.h"
#include "tests/support/RecordChecks.h"

namespace {
using kxtest::Has;
using kxtest::Mode;
using C = emu::RunningCode;

class ShortProcedures : public kxtest::DeviceTestEnv {
 protected:
  ShortProcedures() {
    MakeDirs(".\\Configuration\\System");
    SetIni(".\\param.ini", "Options", "DDRSize", "4");
    SetIni(".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "7312");
    kx::SetWorkOrderPath("D:\\Log\\WO_T_1.txt");
  }
  ~ShortProcedures() override { kx::SetWorkOrderPath(""); }
  // A small drive running `code` at the station; the RAM image, or the firmware container for the upgrade.
  void Station(Mode mode, C code, const char* station, bool container = false, char volume = 0) {
    emu::DriveConfig c;
    c.initialCode = code, c.blocksPerPlane = 64, c.dramLog2Mb = 2, c.eraseMs = 200;
    station_.reset();
    station_ = std::make_unique<kxtest::EmulatedStation>(mode, 1, c, kxtest::StationSetup{.volume = volume});
    SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", station);
    listed_ = std::string(station) != "EraseAll";  // station 0 keeps no result list
    kxtest::InstallBin(container ? kxtest::BuildBinContainer({{"7312", kxtest::NamedImage("QVF2BBBB", 49252)}})
                                 : kxtest::NamedImage("QVBM 0.7", 16896));
  }
  // Runs a job of `mode`; expects `code` in the result, the cell, the port phase
  // and the result list. These stations read no serial number: no pass record.
  void Run(int mode, const std::string& code, const std::string& message = "") {
    std::string result = "H_F8";
    const std::string errorLog = mode == 4 ? "D:\\Log\\Error_QC.log" : "D:\\Log\\Error_Init.log";
    for (const std::string& f : {std::string("D:\\Log\\SATA_RecordSN.ini"), std::string("D:\\Log\\WO_T_1.txt"), errorLog})
      std::filesystem::remove(Native(f));
    (new CPortJob(mode, nullptr, &cell_, &progress_, station_->DriveNo(), 1, nullptr, nullptr, "D:\\Log", &result,
                  nullptr, nullptr))->Run(0);
    const bool pass = code == "0_00", empty = code == "P_A01";
    EXPECT_EQ(result, code);
    // An empty port keeps its formatted code as the state text, and neither keeps an error code.
    EXPECT_EQ(cell_.GetStateText(), pass ? "Pass" : empty ? CPortDevice::FormatErrorCode(code) : "Error");
    EXPECT_EQ(cell_.GetErrorCode(), pass || empty ? "" : CPortDevice::FormatErrorCode(code));
    EXPECT_EQ(cell_.GetErrorMessage(), pass ? "" : message);
    EXPECT_EQ(g_PortState[1], pass ? 4 : empty ? 1 : 5);
    EXPECT_EQ(Has(PortReport(), "[ End ] Time:"), pass);
    EXPECT_TRUE(!pass || progress_.GetPos() == 0);
    const std::string list = ReadAll("D:\\Log\\WO_T_1.txt");
    EXPECT_EQ(pass ? Has(list, ",Pass\r\n") : Has(list, ",Fail," + code + ","), listed_) << list;
    EXPECT_FALSE(Has(ReadAll("D:\\Log\\SATA_RecordSN.ini"), "PASS]"));
    if (!pass) {
      EXPECT_TRUE(kxtest::FailureOnRecord(result, 1, PortReport(), ReadAll(errorLog),
                                          ReadAll("D:\\Log\\SATA_RecordSN.ini")));
    }
  }
  std::unique_ptr<kxtest::EmulatedStation> station_;
  bool listed_ = true;
  kx::StatusCellModel cell_;
  kx::ProgressModel progress_;
};

TEST_F(ShortProcedures, EraseAll) {
  Station(Mode::TesterDirect, C::RomMp, "EraseAll");
  Run(1, "0_00");
  kxtest::ExpectParts(PortReport(), {"   ROM mode \r\n", "Not Locked.", "Erase Progress OK, Total take(sec): "});
  EXPECT_FALSE(Has(PortReport(), "Set CE Map="));
  const auto resets = static_cast<std::uint32_t>(station_->Sent({0x08, 0xF2, 0x85}).size());
  for (const char* map : {" F0 ", "0"}) {  // from boot code; a map of 0 selects none
    Station(Mode::TesterDirect, C::Boot, "EraseAll");
    SetIni(".\\param.ini", "Options", "CHCEMap", map);
    Run(1, "0_00");
    EXPECT_EQ(Has(PortReport(), "   Set CE Map="), map[1] == 'F');
    EXPECT_TRUE(Has(PortReport(), "   Boot mode \r\n"));
  }
  // The layout deletion takes the volume's letter away; the lock, and the unlock
  // at the end, go on the deletion's handle.
  Station(Mode::TesterDirect, C::RomMp, "EraseAll", false, 'E');
  Run(1, "0_00");
  kxtest::ExpectParts(PortReport(), {"   Delete Disk. \r\n", "   Drive Letter are Locked. \r\n"});
  EXPECT_FALSE(Has(PortReport(), "Not Locked") || Has(PortReport(), "UN Lock Drive Fail")) << PortReport();
  EXPECT_FALSE(station_->Site().Volume('E').locked);
  Station(Mode::TesterDirect, C::RomMp, "EraseAll", false, 'E');  // a volume left locked still passes
  station_->Site().SetVolumeFaults('E', {.unlock = -1});
  Run(1, "0_00");
  kxtest::ExpectParts(PortReport(), {"   Delete Disk. \r\n", "   Drive Letter are Locked. \r\n", "UN Lock Drive Fail"});
  Station(Mode::TesterDirect, C::RomMp, "EraseAll");  // the card reset after the erase fails
  station_->FrontEnd().GetFaults().Add(
      {.match = {.subcode = 0x85}, .action = emu::FaultAction::CheckCondition, .skip = resets - 1, .count = 0});
  Run(1, "T_I02", "Issue Power Reset Card Command Failed");
  Station(Mode::TesterDirect, C::RomMp, "EraseAll");
  station_->Site().SetTesterFaults(1, {.cardAbsent = true});
  Run(1, "P_A01");
  Station(Mode::Bridge, C::RomMp, "EraseAll");
  station_->Drive().Faults().FailNext(99, {.subCommand = 0x26});
  Run(1, "F_E03", "Issue EraseAllBlock Command Failed, Mode=0x09");
  Station(Mode::SataPort, C::RomMp, "EraseAll");
  station_->Drive().Faults().RefuseAccessKey(emu::DriveFaults::kForever);
  Run(1, "I_V01", "IC ver error!!");  // the IC version read is the first to need the key
  std::uint32_t jumps = 0;
  for (Mode mode : {Mode::Bridge, Mode::SataPort}) {  // no tester: a jump back to boot code after the erase
    SCOPED_TRACE(static_cast<int>(mode));
    Station(mode, C::RomMp, "EraseAll");
    Run(1, "0_00");
    const std::string report = PortReport();
    EXPECT_NE(report.find("Force To Boot Code OK.", report.find("EraseAll Block")), std::string::npos);
    EXPECT_TRUE(station_->Sent({0x08, 0xF2}).empty());
    EXPECT_EQ(station_->Drive().Code(), C::Boot);
    jumps = static_cast<std::uint32_t>(station_->DriveSent(0x31, 0x0F).size());
  }
  Station(Mode::SataPort, C::RomMp, "EraseAll");  // that jump fails
  station_->Drive().Faults().FailNext(99, {.opcode = 0x31, .subCommand = 0x0F, .skip = jumps - 1});
  Run(1, "I_x05", "Failed! Jump to Boot Fail !!");
  EXPECT_TRUE(Has(PortReport(), "Error Message : Failed! Jump to Boot Fail !!"));
}

// A file system of the drive that will not unmount (files open on it) fails
// the port at the volume lock, its mount point named, before the layout is
// deleted or anything is written to the drive.
TEST_F(ShortProcedures, EraseAllStopsAtAVolumeInUse) {
  Station(Mode::TesterDirect, C::RomMp, "EraseAll", false, 'E');
  station_->Site().SetVolumeFaults('E', {.inUse = -1});
  std::string result;
  (new CPortJob(1, nullptr, &cell_, &progress_, station_->DriveNo(), 1, nullptr, nullptr, "D:\\Log", &result, nullptr,
                nullptr))->Run(0);
  EXPECT_EQ(result, CPortJob::kVolumeInUseCode);
  EXPECT_TRUE(Has(cell_.GetErrorMessage(), "E:\\")) << cell_.GetErrorMessage();
  EXPECT_TRUE(kxtest::FailureOnRecord(result, 1, PortReport(), ReadAll("D:\\Log\\Error_Init.log"),
                                      ReadAll("D:\\Log\\SATA_RecordSN.ini")));
  EXPECT_FALSE(station_->Site().Volume('E').layoutDeleted);
  for (const std::uint8_t write : {0x0F, 0x26}) EXPECT_TRUE(station_->DriveSent(0x31, write).empty());
}

// The same at the volume lock of the other stations that take a ROM-mode drive's
// volume: each fails there, on record, before its ROM-mode steps.
TEST_F(ShortProcedures, MpRdtAndUpdateFwStopAtAVolumeInUse) {
  const struct {
    const char *station, *errorLog;
    int mode;
    void (*settings)();
  } rows[] = {{"RDT", "D:\\Log\\Error_Init.log", 1,
               [] { kxtest::InstallBin(kxtest::NamedImage("RDT00202", 16384 + 100, true), "ISP_RDTBINCode"); }},
              {"UpdateFW", "D:\\Log\\Error_QC.log", 4, [] {}},
              {"MP", "D:\\Log\\Error_Init.log", 1, [] { kxtest::InstallMpStation(); }}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.station);
    Station(Mode::TesterDirect, C::RomMp, r.station, false, 'E');
    r.settings();
    station_->Site().SetVolumeFaults('E', {.inUse = -1});
    for (const char* f : {r.errorLog, "D:\\Log\\SATA_RecordSN.ini"}) std::filesystem::remove(Native(f));
    std::string result;
    (new CPortJob(r.mode, nullptr, &cell_, &progress_, station_->DriveNo(), 1, nullptr, nullptr, "D:\\Log", &result,
                  nullptr, nullptr))->Run(0);
    EXPECT_EQ(result, CPortJob::kVolumeInUseCode);
    EXPECT_TRUE(Has(cell_.GetErrorMessage(), "E:\\")) << cell_.GetErrorMessage();
    EXPECT_TRUE(kxtest::FailureOnRecord(result, 1, PortReport(), ReadAll(r.errorLog),
                                        ReadAll("D:\\Log\\SATA_RecordSN.ini")));
    EXPECT_EQ(station_->Drive().Code(), C::RomMp);
  }
}

TEST_F(ShortProcedures, ZeroMbCheckAndUpgradeOnly) {
  Station(Mode::TesterDirect, C::Boot, "RDTResult");
  Run(4, "0_00");
  kxtest::ExpectParts(PortReport(), {"DRAM Test OK(4 MB)", "0MB Check Process Total take(sec): "});
  SetIni(".\\param.ini", "Options", "OnlyDoISP", "1");
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge}) {
    Station(mode, C::RomMp, "MP", true);
    Run(1, "0_00");
    EXPECT_TRUE(Has(PortReport(), "Upgrade  Firmware Total take(sec): "));
    EXPECT_EQ(station_->Sent({0x08, 0xF2, 0x90}).empty(), mode == Mode::Bridge);
  }
  Station(Mode::TesterDirect, C::Boot, "MP", true);
  Run(1, "I_B67", "[ChkRC]Not Running on Flash Code now");
}

// A SATA port has no tester to reset, and a tester's switch board gives no card
// detect reply there: the 0 MB check fails in its I/O check alone, and the same
// way after another job of the process has passed on that port.
TEST_F(ShortProcedures, ZeroMbCheckOnASataPortFailsAloneAndAfterOtherJobs) {
  const std::tuple<Mode, const char*, const char*> ports[] = {
      {Mode::SataPort, "T_A03", "Issue Power Reset Tester Command Fail"},
      {Mode::TesterSataPort, "T_A07", "UnKnown Card Detect State"}};
  for (const auto& [mode, code, message] : ports)
    for (bool after : {false, true}) {
      SCOPED_TRACE(std::string(code) + (after ? " after an upgrade" : " alone"));
      Station(mode, C::RomMp, after ? "MP" : "RDTResult", true);
      if (after) {
        SetIni(".\\param.ini", "Options", "OnlyDoISP", "1");
        Run(1, "0_00");
        std::uint8_t identify[512];  // leaves the port's pass-through result, as a QC or MP job does
        ASSERT_TRUE(station_->Command().GetIdentify(identify));
        SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", "RDTResult");
      }
      Run(4, code, message);
    }
}

// Failures before any serial number is taken share one copy name in Fail_Log:
// each keeps its own copy, and a job's later block brings only its own up to date.
TEST_F(ShortProcedures, EachFailureWithoutASerialNumberKeepsItsReportCopy) {
  std::vector<std::string> reports;
  Station(Mode::Bridge, C::RomMp, "EraseAll");
  station_->Drive().Faults().FailNext(99, {.subCommand = 0x26});
  Run(1, "F_E03", "Issue EraseAllBlock Command Failed, Mode=0x09");
  reports.push_back(PortReport());
  Station(Mode::TesterDirect, C::RomRdt, "UpdateFW");
  Run(4, "P_x19", "Drive runs RDT firmware, Update FW refused !");
  reports.push_back(PortReport());
  Station(Mode::Bridge, C::RomMp, "UpdateFW");  // two fail blocks: IDENTIFY's, then the shown code's
  station_->Drive().Faults().FailNext(1, {0xEC, {}});
  Run(4, "I_B67", "[ChkRC]Not Running on Flash Code now");
  reports.push_back(PortReport());
  std::vector<std::string> copies;
  for (const auto& entry : std::filesystem::directory_iterator(Native("D:\\Log\\Fail_Log")))
    copies.push_back(ReadAll("D:\\Log\\Fail_Log\\" + entry.path().filename().string()));
  std::sort(copies.begin(), copies.end());
  std::sort(reports.begin(), reports.end());
  EXPECT_EQ(copies, reports);
}
}  // namespace
