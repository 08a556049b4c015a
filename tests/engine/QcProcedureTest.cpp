// The QC station run by a port job on an emulated drive after MP, every step real.
#include "engine/PortJob.h"
#include "platform/Profile.h"
#include "tests/engine/QcStation.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/RecordChecks.h"

namespace {
using kxtest::Has;
using kxtest::Mode;
using Station = kxtest::EmulatedStation;
const std::vector<std::uint8_t>& kImage = kxtest::QcImage();

struct QcProcedure : kxtest::DeviceTestEnv {
  QcProcedure() {
    kxtest::PrepareQcStation();
    for (auto [file, section, key, value] : std::initializer_list<std::array<const char*, 4>>{
             {".\\param.ini", "Current Check", "Statistics_WR", "1"},
             {".\\param.ini", "Write_Read BurnIn", "SetCapacity", "1"},
             {".\\param.ini", "Write_Read BurnIn", "Capacity", "0.0001"},
             {".\\param.ini", "Write_Read BurnIn", "Percent", " 0 "}})
      SetIni(file, section, key, value);
    kx::SetWorkOrderPath("D:\\Log\\WO_T_1.txt");
  }
  ~QcProcedure() override { kx::SetWorkOrderPath(""); }
  // One QC job on a fresh 1 GB drive that carries MP's info block and mark.
  void RunJob(Mode mode, const std::function<void(Station&)>& fault = {}, std::uint32_t fuseWord3 = 0) {
    emu::DriveConfig c;
    c.capacitySectors = 1974672;
    c.fuseWord3 = fuseWord3;
    c.flashCode.assign(kImage.begin() + kxtest::kNormalCodeAt, kImage.end());
    station_.reset();  // first: a station puts the send mode and clock back when it goes
    station_ = std::make_unique<Station>(mode, 1, c);
    station_->Device().m_SerialNumBase = c.serial;
    ASSERT_TRUE(station_->Device().BuildInfoBlock(false, false, nullptr, false));
    std::vector<std::uint8_t> block(station_->Device().m_InfoBlockBuilt.begin(),
                                    station_->Device().m_InfoBlockBuilt.end());
    block[511] = 0x01;
    station_->Drive().SetInfoBlockPage(0, block);
    if (fault) fault(*station_);
    for (const char* f : {"D:\\Log\\SATA_RecordSN.ini", "D:\\Log\\WO_T_1.txt", "D:\\Log\\Error_QC.log"})
      std::filesystem::remove(Native(f));
    (new CPortJob(4, &locks_, &cell_, nullptr, station_->DriveNo(), 1, nullptr, nullptr, "D:\\Log", &result_, nullptr,
                  nullptr))
        ->Run(0);
    EXPECT_TRUE(locks_[2].try_lock());
    locks_[2].unlock();
  }
  static std::string Record() { return ReadAll("D:\\Log\\WO_T_1.txt") + ReadAll("D:\\Log\\SATA_RecordSN.ini"); }
  std::unique_ptr<Station> station_;
  kx::PageLocks locks_;
  kx::StatusCellModel cell_;
  std::string result_;
};

TEST_F(QcProcedure, GoodDrivePassesInEverySendMode) {
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge, Mode::SataPort}) {
    RunJob(mode);
    EXPECT_EQ(result_ + cell_.GetWindowText(), "0_00Pass");
    EXPECT_TRUE(Has(PortReport(), " QC Process Total take(sec): ") && Has(PortReport(), "[ End ] Time: ("));
    EXPECT_TRUE(Has(PortReport(), "[ Success ] Check SMART Status OK.")) << "the registers came back";
    EXPECT_TRUE(Has(Record(), ",Pass\r\n") && Has(Record(), "[Port-1 PASS]")) << Record();
    EXPECT_EQ(station_->Drive().InfoBlockPage(0)[511], 0x03);
  }
}

// The QC mark goes into the drive's own block, also when the mark check, which
// reads the block first, is skipped.
TEST_F(QcProcedure, TheMarkIsAddedToTheDrivesBlock) {
  for (const char* skip : {"0", "1"}) {
    SCOPED_TRACE(skip);
    SetIni(".\\param.ini", "Options", "SkipGoodMarkCheck", skip);
    RunJob(Mode::Bridge);
    ASSERT_EQ(result_, "0_00") << PortReport();
    std::vector<std::uint8_t> block(station_->Device().m_InfoBlockBuilt.begin(),
                                    station_->Device().m_InfoBlockBuilt.end());
    block[511] = 0x03;
    EXPECT_EQ(station_->Drive().InfoBlockPage(0), block);
  }
}

TEST_F(QcProcedure, FailuresEndWithTheStepsCodeStateAndRecords) {
  const auto smartExceeded = [](Station& s) { s.Drive().Faults().SetSmartThresholdExceeded(true); };
  const struct {
    Mode mode;
    std::function<void(Station&)> fault;
    std::uint32_t fuse;
    const char *code, *message;
  } rows[] = {
      {Mode::Bridge, [](Station& s) { s.Drive().Faults().FailNext(1, {.opcode = 0xEC, .subCommand = {}}); }, 0, "I_x06",
       "Issue Identify Command Fail."},
      {Mode::TesterDirect, [](Station& s) { s.Site().SetTesterFaults(1, {.cardAbsent = true}); }, 0, "P_A01", ""},
      {Mode::TesterDirect, {}, 0x20000, "I_V01", "IC ver error!!"},
      {Mode::Bridge, [](Station&) { SetIni(".\\paramFDB.ini", "Options", "SetSSDSize", "4096"); }, 0, "S_x15",
       "InfoBlock capacity is out of range!!(4096 GB)"},
      {Mode::TesterDirect, [](Station&) { SetIni(".\\param.ini", "Write_Read BurnIn", "SetPercent", "1"); }, 0, "F_K17",
       "Write-Read BurnIn amount 0.000000 % covers no sector !!!"},
      {Mode::TesterDirect, [](Station& s) { s.Drive().Faults().AddMediumError(2); }, 0, "F_K12", ""},
      {Mode::SataPort, smartExceeded, 0, "F_x26", "Device can't be used, reserved block not enough, Replace Flash."},
      {Mode::Bridge, smartExceeded, 0, "F_x26", "Device can't be used, reserved block not enough, Replace Flash."},
      {Mode::TesterDirect, smartExceeded, 0, "F_x26",
       "Device can't be used, reserved block not enough, Replace Flash."}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.code);
    const bool burnIn = r.code[2] == 'K', empty = r.code[0] == 'P';
    SetIni(".\\paramFDB.ini", "Options", "SetSSDSize", "1");
    SetIni(".\\param.ini", "Write_Read BurnIn", "SetPercent", "0");
    SetIni(".\\param.ini", "Write_Read BurnIn", "Enable", burnIn ? "1" : "0");
    RunJob(r.mode, r.fault, r.fuse);
    EXPECT_EQ(result_, r.code);
    EXPECT_EQ(g_PortResult[0], empty ? 4 : 0);
    EXPECT_EQ(cell_.GetWindowText(), empty ? "" : CPortDevice::FormatErrorCode(r.code));
    EXPECT_TRUE(Has(PortReport(), std::string("[ Fail ]  Error Message : ") + r.message)) << PortReport();
    EXPECT_TRUE(Has(Record(), std::string(",Fail,") + r.code + ",")) << Record();
    EXPECT_TRUE(kxtest::FailureOnRecord(result_, 1, PortReport(), ReadAll("D:\\Log\\Error_QC.log"),
                                        ReadAll("D:\\Log\\SATA_RecordSN.ini")));
    // A tester board's write/read current is read for a failed burn-in.
    EXPECT_EQ(Has(Record(), ",0000,Fail,"), !burnIn) << Record();
  }
}

// A burn-in amount that is no number of its kind fails with the setting's message.
TEST_F(QcProcedure, ABurnInAmountThatIsNoNumberFailsWithTheSetting) {
  SetIni(".\\param.ini", "Write_Read BurnIn", "Enable", "1");
  for (const char* percent : {"inf", "150"}) {
    SetIni(".\\param.ini", "Write_Read BurnIn", "SetPercent", "1");
    SetIni(".\\param.ini", "Write_Read BurnIn", "Percent", percent);
    RunJob(Mode::TesterDirect);
    EXPECT_EQ(result_, "S_x29");
    EXPECT_TRUE(Has(PortReport(), std::string("Error Message : Setting [Write_Read BurnIn] Percent = ") + percent +
                                      " in .\\param.ini is "))
        << percent;
  }
}

// Each option switch runs its step when on and leaves it out when off: the step's
// command reaches the drive once more with the switch on.
TEST_F(QcProcedure, OptionSwitchesRunTheirStep) {
  using Count = std::function<std::size_t(Station&)>;
  const struct {
    const char *name, *key, *on, *off;
    std::vector<std::array<const char*, 2>> also;  // keys the step needs, set for both runs
    Count sent;
  } rows[] = {
      {"thermal sensor", "Put_Thermal_Sensor", "1", "2", {},
       [](Station& s) { return s.DriveSent(0xB0, 0xD0).size(); }},  // SMART READ DATA
      {"device sleep", "DEVSLP_Enable", "1", "2", {{"DEVSLP_Control", "1"}},
       [](Station& s) { return s.Sent({0x08, 0xF2, 0x50, 0x06, 0x01}).size(); }},
      {"SMART reset", "DoResetSMART", "2", "0", {}, [](Station& s) { return s.DriveSent(0x31, 0x02).size(); }},
      {"security erase", "Skip_SecurityErase_QC", "0", "1", {{"SkipBuildFAT", "1"}},
       [](Station& s) { return s.DriveSent(0xF4, 0x00).size(); }},  // SECURITY ERASE UNIT
  };
  SetIni(".\\param.ini", "Device Info", "SSD Size", "BGA_NAND_uSSD 1GB");  // the only kind QC security-erases
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    for (const auto& [key, value] : r.also) SetIni(".\\param.ini", "Options", key, value);
    std::size_t sent[2] = {};
    for (int on : {0, 1}) {
      SetIni(".\\param.ini", "Options", r.key, on ? r.on : r.off);
      RunJob(Mode::TesterDirect);
      EXPECT_EQ(result_, "0_00") << (on ? "on" : "off");
      sent[on] = r.sent(*station_);
    }
    EXPECT_EQ(sent[1], sent[0] + 1);
    for (const auto& [key, value] : r.also) SetIni(".\\param.ini", "Options", key, "0");
    SetIni(".\\param.ini", "Options", r.key, r.off);
  }
}
}  // namespace
