// The RDT pre-test station run by a port job on an emulated drive, every step real.
#include "engine/PortJob.h"
#include "tests/media/FirmwareFiles.h"
#include "tests/support/EmulatedStation.h"

namespace {
using kxtest::Has;
using kxtest::Mode;
using C = emu::RunningCode;
using Station = kxtest::EmulatedStation;

struct RdtProcedure : kxtest::DeviceTestEnv {
  RdtProcedure() {
    MakeDirs(".\\Configuration\\System");
    SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", "RDT");
    SetIni(".\\param.ini", "Options", "DDRSize", "4");
    SetIni(".\\paramFDB.ini", "Flash Info", "Flh_ID", "2c 84 64 3c a5 08 04");
    SetIni(".\\paramFDB.ini", "Flash Info", "Flh_Number", "8");
    kxtest::InstallBin(kxtest::NamedImage("RDT00202", 16384 + 100, true), "ISP_RDTBINCode");
  }
  void RunJob(Mode mode, C code, const std::function<void(Station&)>& fault = {}) {
    emu::DriveConfig c;
    c.initialCode = code, c.blocksPerPlane = 64, c.dramLog2Mb = 2, c.eraseMs = 200;
    station_.reset();
    station_ = std::make_unique<Station>(mode, 1, c);
    if (fault) fault(*station_);
    std::filesystem::remove(Native("D:\\Log\\SATA_RecordSN.ini"));
    result_ = "H_F8";
    (new CPortJob(1, &locks_, &cell_, &progress_, station_->DriveNo(), 1, nullptr, nullptr, "D:\\Log", &result_,
                  nullptr, nullptr))
        ->Run(0);
    EXPECT_TRUE(locks_[2].try_lock());
    locks_[2].unlock();
  }
  static std::string Record() { return ReadAll("D:\\Log\\SATA_RecordSN.ini"); }
  std::unique_ptr<Station> station_;
  kx::PageLocks locks_;
  kx::StatusCellModel cell_;
  kx::ProgressModel progress_;
  std::string result_;
};

TEST_F(RdtProcedure, GoodDrivePasses) {
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge}) {
    RunJob(mode, C::RomMp);
    EXPECT_EQ(result_, "0_00") << PortReport();
    EXPECT_EQ(cell_.GetStateText(), "Pass");
    EXPECT_TRUE(Has(PortReport(), "RDT PreTest OK, Total take(sec): ") && Has(PortReport(), "[ End ] Time: ("));
    EXPECT_TRUE(Has(Record(), "[Port-1 PASS]")) << Record();
    EXPECT_EQ(station_->Drive().Code(), C::RomRdt);
  }
}

TEST_F(RdtProcedure, FailuresEndWithTheStepsCodeStateAndRecords) {
  const struct {
    Mode mode;
    std::function<void(Station&)> fault;
    const char *code, *message;
  } rows[] = {
      {Mode::TesterDirect, [](Station& s) { s.Site().SetTesterFaults(1, {.cardAbsent = true}); }, "P_A01", ""},
      {Mode::TesterDirect, [](Station& s) { s.Drive().Faults().RefuseAccessKey(emu::DriveFaults::kForever); }, "I_A01",
       "Issue Set AP key command Fail."},
      {Mode::TesterDirect, [](Station& s) { s.Drive().Faults().FailNext(99, {.subCommand = 0x26}); },
       "F_E03", "Issue EraseAllBlock Command Failed, Mode=0x"},
      {Mode::Bridge,
       [](Station&) {
         SetIni(".\\param.ini", "Options", "SkipCheckINIBinClass", "1");
         SetIni(".\\paramFDB.ini", "Flash Info", "Flh_RDTBinType", "8311");
       },
       "S_x30", "Bin file fail!! FW do not equal to ini(311)"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.code);
    const bool empty = r.code[0] == 'P';
    RunJob(r.mode, C::RomMp, r.fault);
    EXPECT_EQ(result_, r.code) << PortReport();
    EXPECT_EQ(g_PortResult[0], empty ? 4 : 0);
    EXPECT_EQ(cell_.GetErrorCode(), empty ? cell_.GetErrorCode() : CPortDevice::FormatErrorCode(r.code));
    EXPECT_TRUE(Has(PortReport(), std::string("[ Fail ]  Error Message : ") + r.message)) << PortReport();
    EXPECT_TRUE(Has(Record(), "[Port-1 Error]")) << Record();
  }
}
}  // namespace
