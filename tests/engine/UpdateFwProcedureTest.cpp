// The firmware-update and service read-out stations, whole, on an emulated drive.
#include "engine/PortJob.h"
#include "tests/media/FirmwareFiles.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/RecordChecks.h"

namespace {
using emu::RunningCode;
using kxtest::Mode;
enum Fault { kNone, kNoIdentify, kFourFlashes, kFlashNumberText, kNoDebugInfo, kNoDrive };
const auto kImage = kxtest::NamedImage("QVF20002", 16384 + 65536 + 512);

struct StationRun : kxtest::DeviceTestEnv {
  ~StationRun() override { kx::SetWorkOrderPath(""); }
  // The result code and cell text, then the result-list record; the report is in PortReport().
  std::string Run(Mode mode, RunningCode code, const char* station, Fault fault = kNone) {
    MakeDirs(".\\Configuration\\System");
    SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", station);
    SetIni(".\\param.ini", "Options", "Set Firmware Name", "QVF20002");
    SetIni(".\\paramFDB.ini", "Flash Info", "Flh_Number", fault == kFourFlashes       ? "4"
                                                           : fault == kFlashNumberText ? "0x8"
                                                                                       : "8");
    kxtest::InstallBin(kImage);
    kx::SetWorkOrderPath("D:\\Log\\WO_T_1.txt");
    for (const char* f : {"D:\\Log\\WO_T_1.txt", "D:\\Log\\Error_QC.log", "D:\\Log\\SATA_RecordSN.ini"})
      std::filesystem::remove(Native(f));  // one record per run
    emu::DriveConfig c;
    c.initialCode = code;
    c.flashCode.assign(kImage.begin() + kxtest::kNormalCodeAt, kImage.end());
    kxtest::EmulatedStation s(mode, 1, c);
    if (fault == kNoIdentify) s.Drive().Faults().FailNext(1, {0xEC, {}});
    if (fault == kNoDebugInfo) s.Drive().Faults().FailNext(1, {0x21, 0x83, 1});  // the info block's read
    if (fault == kNoDrive) s.Site().SetDrive(1, nullptr);
    (new CPortJob(4, &locks_, &cell_, nullptr, s.DriveNo(), 1, nullptr, nullptr, "D:\\Log", &code_, nullptr, nullptr))
        ->Run(0);
    return code_ + "|" + cell_.GetWindowText() + "|" +
           win::GetPrivateProfileSection("Results List", "D:\\Log\\WO_T_1.txt").back();
  }
  kx::PageLocks locks_;
  kx::StatusCellModel cell_;
  std::string code_;
};

TEST_F(StationRun, PassInEverySendModeFromEveryRunningCodeAndAnEmptyPortIsIdle) {
  for (Mode m : {Mode::TesterDirect, Mode::Bridge, Mode::SataPort})
    for (RunningCode code : {RunningCode::RomMp, RunningCode::Boot, RunningCode::Mcode}) {
      EXPECT_TRUE(kxtest::EndsWith(Run(m, code, "UpdateFW"), "NoRecord,Pass") && cell_.GetWindowText() == "Pass");
      EXPECT_EQ(kxtest::Has(PortReport(), "Force To Boot Code OK."), code == RunningCode::RomMp);  // flash code only
      kxtest::ExpectParts(PortReport(), {"Upgrade  Firmware Total take(sec): ", "Short, skip check", "[ End ]"});
      EXPECT_TRUE(Run(m, code, "RMADBG").starts_with("0_00|Pass*Smart ID*"));
      kxtest::ExpectParts(PortReport(), {"SMART Information \r\n   Smart ID - ", "Info Block Information", "[ End ]"});
    }
  Run(Mode::TesterDirect, RunningCode::RomMp, "UpdateFW", kNoDrive);
  EXPECT_TRUE(code_ == "P_A01" && cell_.GetWindowText().empty() && g_PortState[1] == 1);
}

TEST_F(StationRun, FailuresEndWithTheFailBlockOfTheShownCode) {
  const std::tuple<Mode, RunningCode, Fault, std::string, std::string> rows[] = {
      {Mode::TesterDirect, RunningCode::RomRdt, kNone, "P_x19", "Drive runs RDT firmware, Update FW refused !"},
      {Mode::TesterDirect, RunningCode::Boot, kFourFlashes, "M_D09",
       "Flash Number(8) > param.ini setting(4),check ini file setting & sample data."},
      {Mode::Bridge, RunningCode::RomMp, kFlashNumberText, "S_x29",
       "Setting [Flash Info] Flh_Number = 0x8 in .\\paramFDB.ini is not a valid number"},
      {Mode::Bridge, RunningCode::RomMp, kNoDebugInfo, "F_x50", "Issue Read Debug Infomation Command Failed !!!"}};
  for (const auto& [mode, code, fault, err, message] : rows) {
    const std::string out = Run(mode, code, fault == kNoDebugInfo ? "RMADBG" : "UpdateFW", fault),
                      shown = CPortDevice::FormatErrorCode(err);
    EXPECT_TRUE(out.starts_with(err + "|" + shown) && kxtest::EndsWith(out, ",Fail," + err + "," + message));
    const std::string rep = PortReport(), last = rep.substr(rep.rfind("[ Fail ]"));  // the last block ends the report
    EXPECT_TRUE(cell_.GetErrorMessage() == message && g_PortState[1] == 5 && !kxtest::Has(rep, "[ End ]")) << err;
    EXPECT_TRUE(last.starts_with("[ Fail ]  Error Message : " + message + " \r\n             Error Code : " + shown));
    EXPECT_EQ(last.find("[ Error End ]"), last.rfind("\r\n", last.size() - 3) + 2) << err;
    EXPECT_EQ(rep.find("[ Fail ]"), rep.rfind("[ Fail ]")) << err;  // one block
    EXPECT_TRUE(kxtest::FailureOnRecord(code_, 1, rep, ReadAll("D:\\Log\\Error_QC.log"),
                                        ReadAll("D:\\Log\\SATA_RecordSN.ini")));
  }
}

// A refused running-code check: its own block keeps the cause, and the job's
// ending adds the block of I_B67, which the port and the result list show.
TEST_F(StationRun, RefusedRunningCodeCheckKeepsItsCauseBeforeTheShownCode) {
  const std::string message = "[ChkRC]Not Running on Flash Code now";
  const std::string out = Run(Mode::Bridge, RunningCode::RomMp, "UpdateFW", kNoIdentify);
  EXPECT_TRUE(out.starts_with("I_B67|" + CPortDevice::FormatErrorCode("I_B67"))) << out;
  EXPECT_TRUE(kxtest::EndsWith(out, ",Fail,I_B67," + message)) << out;
  EXPECT_EQ(cell_.GetErrorMessage(), message);
  const std::string rep = PortReport();
  const std::size_t cause = rep.find("             Error Code : 0x405 \r\n");
  EXPECT_NE(cause, std::string::npos);
  EXPECT_GT(rep.rfind("[ Fail ]  Error Message : " + message + " \r\n             Error Code : 0x442 \r\n"), cause);
  EXPECT_EQ(kxtest::CountOf(rep, "[ Fail ]  Error Message : "), 2u) << rep;  // the cause's block and the shown code's
  const auto errors = win::GetPrivateProfileSection("Error List", "D:\\Log\\Error_QC.log");
  ASSERT_EQ(errors.size(), 3u) << ReadAll("D:\\Log\\Error_QC.log");  // the column line and the two blocks
  EXPECT_TRUE(kxtest::EndsWith(errors.back(), "=0x442:" + message)) << errors.back();
}
}  // namespace
