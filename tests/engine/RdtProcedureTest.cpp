// The RDT pre-test station run by a port job on an emulated drive, every step real.
#include <cstring>

#include "engine/PortJob.h"
#include "protocol/MediaRecords.h"
#include "protocol/PreFormatRecords.h"
#include "tests/media/FirmwareFiles.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/RecordChecks.h"

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
  static emu::DriveConfig Drive(C code) {
    emu::DriveConfig c;
    c.initialCode = code, c.blocksPerPlane = 64, c.dramLog2Mb = 2, c.eraseMs = 200;
    return c;
  }
  void RunJob(Mode mode, C code, const std::function<void(Station&)>& fault = {}) {
    station_.reset();
    station_ = std::make_unique<Station>(mode, 1, Drive(code));
    if (fault) fault(*station_);
    RunAgain(1);
  }
  // A job of `jobMode` on the station's drive as it is now.
  void RunAgain(int jobMode) {
    for (const char* f : {"D:\\Log\\SATA_RecordSN.ini", "D:\\Log\\Error_Init.log"}) std::filesystem::remove(Native(f));
    result_ = "H_F8";
    (new CPortJob(jobMode, &locks_, &cell_, &progress_, station_->DriveNo(), 1, nullptr, nullptr, "D:\\Log",
                  &result_, nullptr, nullptr))
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
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge, Mode::SataPort}) {
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
    const char* reportLine = nullptr;  // a further line the report shows
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
       "S_x30", "Bin file fail!! FW do not equal to ini(311)"},
      // The flash maker's file missing: the class the table gives is declared by nothing, and the file is named.
      {Mode::Bridge,
       [](Station&) {
         SetIni(".\\param.ini", "Options", "SkipCheckINIBinClass", "0");
         SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "IniFilePath", "FT_B0KB_S2_C2_.ini");
         std::filesystem::remove(Native(".\\paramFDB.ini"));
       },
       "S_x30", "INI class & Bintype Fail !!",
       "   Setting file .\\paramFDB.ini cannot be read: OS error 2, The system cannot find the file specified. \r\n"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.code);
    const bool empty = r.code[0] == 'P';
    RunJob(r.mode, C::RomMp, r.fault);
    EXPECT_EQ(result_, r.code) << PortReport();
    EXPECT_EQ(g_PortResult[0], empty ? 4 : 0);
    EXPECT_EQ(cell_.GetErrorCode(), empty ? "" : CPortDevice::FormatErrorCode(r.code));  // an empty port keeps none
    EXPECT_TRUE(Has(PortReport(), std::string("[ Fail ]  Error Message : ") + r.message)) << PortReport();
    if (r.reportLine) {
      EXPECT_TRUE(Has(PortReport(), r.reportLine)) << PortReport();
    }
    EXPECT_TRUE(kxtest::FailureOnRecord(result_, 1, PortReport(), ReadAll("D:\\Log\\Error_Init.log"), Record()));
  }
}
}  // namespace

// SortRDT's restore of the sorted table: a table it cannot read fails F_T34 on record.
TEST_F(RdtProcedure, SortingWithoutAReadableTableIsOnRecord) {
  const struct {
    const char* what;
    C code;
    bool readRefused;
    const char* message;
  } rows[] = {{"READ BBT refused", C::RomMp, true, "Issue Read BBT Command Failed !!!"},
              {"a fresh drive without a table", C::Boot, false, "Bad blocks map is not exist!!!"}};
  SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", "SortRDT");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    emu::DriveConfig c = Drive(r.code);
    c.preset3rdBbt = true;
    station_.reset();
    station_ = std::make_unique<Station>(Mode::Bridge, 1, c);
    if (r.readRefused) station_->Drive().Faults().FailNext(emu::DriveFaults::kForever, {.subCommand = 0x7F});
    RunAgain(1);
    EXPECT_EQ(result_, "F_T34") << PortReport();
    EXPECT_TRUE(Has(PortReport(), std::string("[ Fail ]  Error Message : ") + r.message)) << PortReport();
    EXPECT_TRUE(kxtest::FailureOnRecord(result_, 1, PortReport(), ReadAll("D:\\Log\\Error_Init.log"), Record()));
  }
}

// What the pre-test does differently by station and setting, one row each.
TEST_F(RdtProcedure, StationsAndSettingsChooseTheirPath) {
  constexpr std::uint32_t kGreen = kx::Rgb(0, 255, 0), kPurple = kx::Rgb(148, 40, 255), kRed = kx::Rgb(255, 0, 0);
  const auto ini = [](std::vector<std::array<const char*, 4>> keys) {
    return [keys](Station&) {
      for (const auto& [file, section, key, value] : keys) SetIni(file, section, key, value);
    };
  };
  const char* param = ".\\param.ini";
  const char* tool = ".\\Configuration\\System\\MPToolSetting.ini";
  const struct {
    const char* what;
    const char* station;
    C code;
    bool thirdBbt;
    std::function<void(Station&)> before;
    const char *result, *text;
    std::uint32_t back;
    std::vector<std::string> lines;  // in this order
    bool preFormatKeepsRdtInfo;  // false also when no pre-format ran
  } rows[] = {
      {"ReRDT erases with the run's CE map and keeps the RDT information", "ReRDT", C::RomRdt, false, {}, "0_00",
       "Pass*FW Date: ", kGreen, {"Run Info CHCE Map : F0F", "Set CE Map=f0f", "Do EraseAll Block, Type=0x01"}, true},
      {"ReRDT with erase type 9 takes the UI CE map", "ReRDT", C::RomRdt, false,
       ini({{param, "Options", "Pretest", "2"}, {param, "Options", "CHCEMap", "3"},
            {".\\paramFDB.ini", "Options", "AutoCapacity_DynamicCE_En", "1"}}),
       "0_00", "Pass*FW Date: ", kGreen,
       {"UI CHCE Map : 3", "Run Info CHCE Map : F0F", "Set CE Map=3", "Do EraseAll Block, Type=0x09"}, false},
      {"ReRDT of a run whose test count is 4 erases as type 0", "ReRDT", C::RomRdt, false,
       [](Station& s) {
         CPortDevice& d = s.Device();
         kx::BbtParameter p;
         kx::RdtInfoRecord r;
         ASSERT_TRUE(d.ReadBbt(&p, nullptr) && d.ReadRdtInfo(&r, nullptr));
         r.SetU8(kx::rdtinfo::kTestCounts, 0x34);
         ASSERT_TRUE(d.WriteBbt(d.m_BbtBuffer.data(), &r, &p, nullptr, r.U8(kx::rdtinfo::kBuildFlags)));
       },
       "0_00", "Pass*FW Date: ", kGreen, {"Do EraseAll Block, Type=0x00"}, true},
      {"RDT from flash code erases as type 9 and drops the RDT information", "RDT", C::RomMp, false, {}, "0_00",
       "Pass*FW Date: ", kGreen, {"ROM mode", "Do EraseAll Block, Type=0x09", "RDT PreTest OK"}, false},
      {"SortRDT merges the 3rd BBT into the table before the erase", "SortRDT", C::RomMp, true, {}, "0_00",
       "Pass*FW Date: ", kGreen, {"Write BBT checksum:", "Do EraseAll Block, Type=0x05"}, true},
      {"SortRDT without a 3rd BBT", "SortRDT", C::RomMp, false, {}, "F_x50", "", kRed,
       {"   Check Thrid Party BBT fail! \r\n", "Error Message : Check Thrid Party BBT fail!"}, false},
      {"SortRDT without a 3rd BBT, its check skipped", "SortRDT", C::RomMp, false,
       ini({{param, "Options", "SkipSortBBT", "1"}}), "0_00", "Pass*FW Date: ", kPurple,
       {"Do EraseAll Block, Type=0x05"}, true},
      {"the same, short", "SortRDT", C::RomMp, false,
       ini({{param, "Options", "SkipSortBBT", "1"}, {tool, "General Info", "Short", "1"}}), "0_00",
       "Pass*Short*Enabled", kGreen, {"Short, skip check running code!!"}, true},
      {"RDT with the bad-block scan", "RDT", C::RomMp, false,
       ini({{param, "Options", "SkipRDTScan", "0"}, {".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "7312"}}), "0_00",
       "Pass*FW Date: ", kGreen, {"Do EraseAll Block, Type=0x09", "DRAM Test OK", "RDT PreTest OK"}, false},
      {"a capacity above the flash found, from boot code", "RDT", C::Boot, false,
       ini({{tool, "General Info", "Capacity", "9999"}, {".\\paramFDB.ini", "Flash Info", "Flh_SingleCE_Capacity", "1024"}}),
       "M_T54", "", kRed,
       {"Boot mode", "Do EraseAll Block, Type=0x09", "Error Message : Capacity is not match!!(size:9999, max:8)"},
       false},
      {"a capacity that is not a whole number", "RDT", C::Boot, false,
       ini({{tool, "General Info", "Capacity", "9999.5"}}), "S_x29", "", kRed,
       {"Error Message : Setting [General Info] Capacity = 9999.5 in .\\Configuration\\System\\MPToolSetting.ini "
        "is not a whole number"},
       false},
      {"a CE map over 16 bits", "RDT", C::RomMp, false, ini({{param, "Options", "CHCEMap", "1FFFF"}}), "S_x29", "",
       kRed, {"Error Message : Setting [Options] CHCEMap = 1FFFF in .\\param.ini is out of range"}, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    for (const char* key : {"Pretest", "CHCEMap", "SkipSortBBT", "SkipRDTScan"}) SetIni(param, "Options", key, "");
    SetIni(tool, "General Info", "Short", "");
    SetIni(tool, "General Info", "Capacity", "");
    SetIni(tool, "General Info", "TestStation", r.station);
    std::filesystem::remove_all(Native("C:\\KXMP\\Configuration\\Temp"));
    emu::DriveConfig c = Drive(r.code);
    c.preset3rdBbt = r.thirdBbt;
    station_.reset();
    station_ = std::make_unique<Station>(Mode::TesterDirect, 1, c);
    if (r.before) r.before(*station_);
    RunAgain(1);
    EXPECT_EQ(result_, r.result);
    EXPECT_EQ(cell_.Snapshot().backColor, r.back);
    EXPECT_EQ(cell_.GetWindowText().substr(0, std::strlen(r.text)), r.text);
    const std::string report = PortReport();
    std::size_t at = 0;
    for (const std::string& line : r.lines) {
      at = report.find(line, at);
      EXPECT_NE(at, std::string::npos) << line << "\n" << report;
    }
    bool kept = false;  // as the last pre-format's one-sector parameters said
    for (const auto& e : station_->DriveSent(0x31, 0x08))
      if (e.request.count == 1) kept = e.dataHead[kx::preformat::kParamKeepRdtInfo] != 0;
    EXPECT_EQ(kept, r.preFormatKeepsRdtInfo);
    EXPECT_EQ(Exists("C:\\KXMP\\Configuration\\Temp\\#1.bin"), Has(r.what, "scan"));
  }
}

// The pre-test, the drive's own run on the rack (powered, on the virtual clock),
// then the read-out of what the site description says the run found.
TEST_F(RdtProcedure, PreTestThenReadOutOfTheSameDrive) {
  const char* tool = ".\\Configuration\\System\\MPToolSetting.ini";
  const struct {
    std::uint8_t rdt;
    bool overLimit;
    const char *code, *message;
  } rows[] = {{0x01, false, "0_00", ""},
              {0x01, true, "F_T31", "[end]RDT Test Failed, CE9 Die0 Plane0 Bad(1) > Setting Spec.(0)"},
              {0x11, false, "I_T52", "RDT_RESULT_FLH_TEST_TIME_OUT"},
              {0x12, false, "I_T53", "RDT_RESULT_FLH_TEST_BB_OVER"},
              {0x13, false, "I_T55", "RDT_RESULT_FLH_ID_ERROR"},
              {0x14, false, "I_T55", "RDT_RESULT_FLH_ID_MISS_ERROR"},
              {0x15, false, "I_T54", "RDT_RESULT_SYS_BlK_ERROR"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.code);
    SetIni(".\\paramFDB.ini", "RDT", "RDT_Plane_MaxBadBlkRatio_KX", r.overLimit ? "0.1" : "");
    emu::DriveConfig c = Drive(C::RomMp);
    c.rdtRunMs = 3600000, c.rdtRun.resultCode = r.rdt;
    c.markedBadBlocks = {{{.ce = 9, .die = 0, .plane = 0, .block = 7}, emu::MarkKind::Rdt, 0x04}};
    station_.reset();
    station_ = std::make_unique<Station>(Mode::TesterDirect, 1, c);
    SetIni(tool, "General Info", "TestStation", "RDT");
    RunAgain(1);
    ASSERT_EQ(result_, "0_00") << PortReport();
    station_->Drive().PowerOn();
    SetIni(tool, "General Info", "TestStation", "RDTResult");
    if (r.rdt == 0x01 && !r.overLimit) {  // read out before the run ends
      station_->Sleep(c.rdtRunMs / 2);
      RunAgain(10);
      EXPECT_EQ(result_, "F_T30");
      station_->Drive().PowerOn();
    }
    station_->Sleep(c.rdtRunMs + 1000);
    RunAgain(10);
    EXPECT_EQ(result_, r.code);
    const bool pass = std::string(r.code) == "0_00";
    EXPECT_EQ(cell_.GetErrorMessage(), pass ? cell_.GetErrorMessage() : r.message);
    EXPECT_EQ(Has(PortReport(), "Read RDT Log, Total take(sec): "), pass);
    EXPECT_EQ(cell_.GetWindowText().substr(0, 14), pass ? "Pass*CE:OB/RB*" : cell_.GetWindowText().substr(0, 14));
  }
}

// SortMP dispatches to the MP station; the pre-test itself sorts there as at SortRDT.
TEST_F(RdtProcedure, SortMpSortsTheTableAsSortRdtDoes) {
  struct Job : CPortJob {
    using CPortJob::BuildDevice;
    using CPortJob::CPortJob;
  };
  SetIni(".\\Configuration\\System\\MPToolSetting.ini", "General Info", "TestStation", "SortMP");
  for (const char* skip : {"0", "1"}) {
    SCOPED_TRACE(skip);
    SetIni(".\\param.ini", "Options", "SkipSortBBT", skip);
    station_.reset();
    station_ = std::make_unique<Station>(Mode::Bridge, 1, Drive(C::RomMp));  // no 3rd BBT
    result_ = "H_F8";
    Job job(1, &locks_, &cell_, &progress_, station_->DriveNo(), 1, nullptr, nullptr, "D:\\Log", &result_, nullptr,
            nullptr);
    job.m_Station = 8;
    ASSERT_TRUE(job.BuildDevice(false));
    EXPECT_EQ(job.RunRDT(), skip[0] - '0');
    EXPECT_EQ(result_, skip[0] == '1' ? "0_00" : "F_x50");
    EXPECT_EQ(cell_.Snapshot().backColor, skip[0] == '1' ? kx::Rgb(148, 40, 255) : kx::Rgb(255, 0, 0));
  }
}
