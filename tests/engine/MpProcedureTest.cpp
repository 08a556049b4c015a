// The MP station run by a port job on an emulated drive, every step real.
#include <fstream>
#include <latch>

#include "engine/PortJob.h"
#include "engine/ThreadPool.h"
#include "tests/media/FirmwareFiles.h"
#include "tests/support/EmulatedSite.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/MpStation.h"
#include "tests/support/RecordChecks.h"

namespace {
using kxtest::Has;
using kxtest::Mode;
using C = emu::RunningCode;
using Station = kxtest::EmulatedStation;
const char kTool[] = ".\\Configuration\\System\\MPToolSetting.ini";
const char kParam[] = ".\\param.ini";
const char kFdb[] = ".\\paramFDB.ini";
const char kWorkOrder[] = "D:\\Log\\WO_T_1.txt";
const char kScanRecords[] = "C:\\KXMP\\Configuration\\Temp\\#1.bin";
const char kErrorLog[] = "D:\\Log\\Error_Init.log";

emu::DriveConfig SmallDrive(C code) {
  emu::DriveConfig c = kxtest::MpDrive();
  c.initialCode = code == C::Boot ? C::Mcode : code;  // boot code keeping its tables: see Boot()
  return c;
}

void MpSettings() {
  kxtest::InstallMpStation();
  ASSERT_TRUE(win::WritePrivateProfileString("Current Check", "Statistics_WR", "1", kParam));
  kx::SetWorkOrderPath(kWorkOrder);
}

struct MpProcedure : kxtest::DeviceTestEnv {
  MpProcedure() {
    MakeDirs(".\\Configuration\\System");
    MpSettings();
  }
  ~MpProcedure() override { kx::SetWorkOrderPath(""); }
  void RunJob(Mode mode, C code, const std::function<void(Station&)>& fault = {},
              const std::function<void(emu::DriveConfig&)>& configure = {},
              const kxtest::StationSetup& setup = {}) {
    emu::DriveConfig c = SmallDrive(code);
    if (configure) configure(c);
    station_.reset();  // first: a station puts the send mode and clock back when it goes
    station_ = std::make_unique<Station>(mode, 1, c, setup);
    if (code == C::Boot) {
      station_->Drive().PowerOff();
      station_->Drive().PowerOn();
      station_->Sleep(c.bootDelayMs);
      ASSERT_EQ(station_->Drive().Code(), C::Boot);
    }
    if (fault) fault(*station_);
    for (const char* f : {"D:\\Log\\SATA_RecordSN.ini", kWorkOrder, kScanRecords, kErrorLog})
      std::filesystem::remove(Native(f));
    result_ = "H_F8";
    (new CPortJob(1, &locks_, &cell_, &progress_, station_->DriveNo(), 1, nullptr, nullptr, "D:\\Log", &result_,
                  nullptr, nullptr))
        ->Run(0);
    EXPECT_TRUE(locks_[2].try_lock()) << "lock 2 held after the run";
    locks_[2].unlock();
  }
  static std::string Record() { return ReadAll(kWorkOrder) + ReadAll("D:\\Log\\SATA_RecordSN.ini"); }
  ::testing::AssertionResult FailureOnRecord() const {
    return kxtest::FailureOnRecord(result_, 1, PortReport(), ReadAll(kErrorLog), ReadAll("D:\\Log\\SATA_RecordSN.ini"));
  }
  void ExpectPass(const std::string& text) {
    EXPECT_EQ(result_, "0_00") << PortReport();
    EXPECT_EQ(cell_.GetWindowText(), text);
    EXPECT_TRUE(Has(PortReport(), "MP PreTest Process Total take(sec): ") && Has(PortReport(), "[ End ] Time: ("));
    EXPECT_TRUE(Has(Record(), ",Pass\r\n") && Has(Record(), "[Port-1 PASS]")) << Record();
    EXPECT_EQ(station_->Drive().Code(), C::RomMp);
  }
  std::unique_ptr<Station> station_;
  kx::PageLocks locks_;
  kx::StatusCellModel cell_;
  kx::ProgressModel progress_;
  std::string result_;
};

TEST_F(MpProcedure, GoodDrivePassesInEverySendModeFromEveryRunningCode) {
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge, Mode::SataPort}) {
    for (C code : {C::Boot, C::Mcode, C::RomMp, C::RomRdt}) {
      SCOPED_TRACE(testing::Message() << "mode " << static_cast<int>(mode) << " code " << static_cast<int>(code));
      // The pre-format after a load from boot code drops the RDT info the re-scan's table check wants.
      SetIni(kParam, "Options", "CheckBBT", code == C::Boot || code == C::Mcode ? "0" : "1");
      SetIni("C:\\SATA_Setting.ini", "Global_Setting", "Last SN", "KXA2405000000000001");
      RunJob(mode, code);
      const std::string text = cell_.GetWindowText();
      ExpectPass(text);
      // Capacity (IDEMA 1 GB, set size 1), then model and the serial number the settings gave, as the
      // drive reports it: 20 characters split after the tenth (none from the tester's name read).
      EXPECT_EQ(text.rfind("Pass*964(1) MB*", 0), 0u) << text;
      EXPECT_EQ(Has(text, "*KX00 SATA *SSD 512GB *          *          *KXA2405000*000000001 *"),
                mode != Mode::TesterDirect)
          << text;
      EXPECT_TRUE(Has(text, "*FW:12A*") && Has(text, "*FW Date: 20240101A")) << text;
      EXPECT_EQ(Has(text, "*FW Date: 20240101A *CH0sw:R=65/W=65*CH1sw:R=65/W=65"),
                code != C::Mcode || mode == Mode::TesterDirect)
          << "the window scan's text after each load from boot code";
      EXPECT_EQ(Has(PortReport(), "Read RDT Log"), code == C::RomRdt);
    }
  }
}

// A drive of one CE whose firmware reports `version`.
std::function<void(emu::DriveConfig&)> OneCe(const char* version) {
  return [version](emu::DriveConfig& c) {
    c.channels = 1, c.cesPerChannel = 1;
    c.sysInfoFwVersion = version;
  };
}

TEST_F(MpProcedure, FailuresEndWithTheStepsCodeStateAndRecords) {
  using Cfg = std::function<void(emu::DriveConfig&)>;
  // The IDENTIFY commands of a pass: the last one reads the pass text's model and serial.
  RunJob(Mode::Bridge, C::RomMp);
  ASSERT_EQ(result_, "0_00") << PortReport();
  const std::size_t identifies = station_->DriveSent(0xEC, 0).size();
  ASSERT_GT(identifies, 1u);
  const struct {
    const char* name;
    Mode mode;
    C start;
    std::function<void(Station&)> fault;
    Cfg configure;
    const char *code, *message;
    int serial = 1;  // the serial number follows the code in the cell (1), not (0); -1 not checked
    kxtest::StationSetup setup = {};
    const char* reportLine = nullptr;  // a further line the report shows
  } rows[] = {
      {"card absent", Mode::TesterDirect, C::RomMp, [](Station& s) { s.Site().SetTesterFaults(1, {.cardAbsent = true}); },
       {}, "P_A01", "Tester output voltage: Don't detect card", 0},
      {"key refused", Mode::TesterDirect, C::RomMp,
       [](Station& s) { s.Drive().Faults().RefuseAccessKey(emu::DriveFaults::kForever); }, {}, "I_A01",
       "Issue Set AP key command Fail."},
      {"flash ID", Mode::Bridge, C::Boot, [](Station&) { SetIni(kFdb, "Flash Info", "Flh_ID", "45 84 64 3c a5 08 04"); },
       {}, "I_x09", "Don't get corrected FlashID."},
      {"RAM load CRC", Mode::Bridge, C::Boot, [](Station& s) { s.Drive().Faults().WrongVerdict(1, {0x21, 0x30}); },
       {}, "I_C0Ba", "CRC for Section_0 failed (0x0) !!"},
      {"erase", Mode::Bridge, C::Mcode,
       [](Station& s) {
         SetIni(kTool, "General Info", "TestStation", "EraseMP");
         SetIni(kParam, "Options", "EraseMPChkBBT", "0");
         s.Drive().Faults().FailNext(99, {.subCommand = 0x26});
       },
       {}, "F_E03", "Issue EraseAllBlock Command Failed, Mode=0x09"},
      {"bad blocks", Mode::Bridge, C::RomMp, {},
       [](emu::DriveConfig& c) {
         for (std::uint32_t b = 1; b <= 4; ++b) c.factoryBadBlocks.push_back({2, 0, 0, b});
       },
       "F_J10", "Flash Bad Block Too Much, Ref. CENo-CHNo to replace corresponding Flash."},
      {"pre-format", Mode::SataPort, C::RomMp, [](Station& s) { s.Drive().Faults().FailPreFormat(0x02, 0x1234); }, {},
       "F_H07", "PreFormat Fail"},
      {"verify", Mode::Bridge, C::RomMp, [](Station& s) { s.Drive().Faults().WrongVerdict(1, {0x21, 0x31, 0, 0, 1}); },
       {}, "I_F29", "Compare Flash Code_remainder Failed !"},
      {"capacity", Mode::Bridge, C::RomMp, [](Station&) { SetIni(kParam, "Options", "MinCapacity", "2"); }, {},
       "M_T54", "Capacity is not match!!(size:964, max:3825, min1918)"},
      {"exact capacity", Mode::Bridge, C::RomMp, [](Station&) { SetIni(kTool, "General Info", "Capacity", "2"); }, {},
       "M_T54", "Capacity is not match!!(size:964, Cap:1918)"},
      {"size factor", Mode::Bridge, C::RomMp, [](Station&) { SetIni(kTool, "General Info", "SSDSizePercent", "nan"); },
       {}, "S_x29",
       "Setting [General Info] SSDSizePercent = nan in .\\Configuration\\System\\MPToolSetting.ini is not a valid "
       "number"},
      {"capacity text", Mode::Bridge, C::RomMp, [](Station&) { SetIni(kTool, "General Info", "Capacity", "12abc"); },
       {}, "S_x29", "Setting [General Info] Capacity = 12abc in .\\Configuration\\System\\MPToolSetting.ini is not a "
       "valid number"},
      {"CE map", Mode::Bridge, C::RomMp, [](Station&) { SetIni(kParam, "Options", "CHCEMap", "0x1F2G"); }, {}, "S_x29",
       "Setting [Options] CHCEMap = 0x1F2G in .\\param.ini is not a valid number", 1},
      {"flash number", Mode::Bridge, C::RomMp, [](Station&) { SetIni(kFdb, "Flash Info", "Flh_Number", "8abc"); }, {},
       "S_x29", "Setting [Flash Info] Flh_Number = 8abc in .\\paramFDB.ini is not a valid number"},
      {"burn-in", Mode::TesterDirect, C::RomMp,
       [](Station& s) {
         SetIni(kParam, "Write_Read BurnIn", "Enable", "1");
         s.Drive().Faults().AddSilentCorruption(1000);
       },
       {}, "F_K13", ""},
      {"SMART", Mode::SataPort, C::RomMp, [](Station& s) { s.Drive().Faults().SetSmartThresholdExceeded(true); }, {},
       "F_x26", "Device can't be used, reserved block not enough, Replace Flash."},
      {"EraseMP on RDT firmware", Mode::Bridge, C::RomRdt,
       [](Station&) { SetIni(kTool, "General Info", "TestStation", "EraseMP"); }, {}, "P_x18",
       "BBT exists, not recommended to Erase MP !", 0},
      {"RDT version", Mode::Bridge, C::RomRdt, [](Station&) { SetIni(kFdb, "Options", "ChkRDTver", "1x3"); }, {},
       "P_x17", "RDT version(12A) is not equel to ini(1x3)!", 0},
      {"IC version", Mode::Bridge, C::RomMp, {}, [](emu::DriveConfig& c) { c.fuseWord3 = 0x20000; }, "I_V01",
       "IC ver error!!"},
      {"flash ID in boot code", Mode::Bridge, C::Boot,  // GetFlashID refused
       [](Station& s) { s.Drive().Faults().FailNext(99, {.opcode = 0x21, .subCommand = 0x14}); }, {}, "I_V02",
       "Controller version is not correct!!", 0},
      {"device info kept off flash", Mode::Bridge, C::Mcode,
       [](Station&) { SetIni(kParam, "Special", "Keep_Device_Info", "1"); }, {}, "S_T20",
       "Keep_Device_Info must running on Normal Code."},
      {"INI BIN class", Mode::Bridge, C::RomMp, [](Station&) { SetIni(kFdb, "Flash Info", "Flh_MPBinType", "7311"); },
       {}, "S_x30", "INI class & Bintype Fail !!"},
      // The same failure, the file that would have declared the class named with the system's reason.
      {"paramFDB.ini missing", Mode::Bridge, C::RomMp, [](Station&) { std::filesystem::remove(Native(kFdb)); }, {},
       "S_x30", "INI class & Bintype Fail !!", 1, {},
       "   INIBintype=, TableBintype=7312 \r\n"
       "   Setting file .\\paramFDB.ini cannot be read: OS error 2, The system cannot find the file specified. \r\n"},
      {"a folder in paramFDB.ini's place", Mode::Bridge, C::RomMp,
       [](Station&) {
         std::filesystem::remove(Native(kFdb));
         MakeDirs(kFdb);
       },
       {}, "S_x30", "INI class & Bintype Fail !!", 1, {},
       "   Setting file .\\paramFDB.ini cannot be read: OS error 5, Access is denied. \r\n"},
      {"firmware BIN type", Mode::Bridge, C::RomMp, {}, [](emu::DriveConfig& c) { c.sysInfoFwVersion = "7311"; },
       "S_x30", "Bin file fail!! FW do not equal to ini(7311)", 0},
      {"one CE in one-plane mode", Mode::Bridge, C::RomMp,
       [](Station&) {
         SetIni(kParam, "Options", "SkipCheckFWBinHeader", "1");
         SetIni(kFdb, "Flash Info", "Flh_Number", "1");
       },
       OneCe("7311"), "S_x31", "1CE do not support 1P mode!", 0},
      {"one CE in two-plane mode", Mode::Bridge, C::RomMp,
       [](Station&) { SetIni(kFdb, "Flash Info", "Flh_Number", "1"); }, OneCe("7312"), "S_x31",
       "B0KB 1CE do not support 2P mode!", 0},
      {"IDENTIFY for the pass text", Mode::Bridge, C::RomMp,
       [&identifies](Station& s) {
         s.Drive().Faults().FailNext(1, {.opcode = 0xEC, .skip = static_cast<std::uint32_t>(identifies - 1)});
       },
       {}, "I_x06", "Issue Identify Command Fail."},
      // Its second pass checks the running code again after the first pass's standby.
      {"second pass of TestInFinity", Mode::Bridge, C::RomMp,
       [&identifies](Station& s) {
         SetIni(kParam, "RD Debug", "TestInFinity", "1");
         s.Drive().Faults().FailNext(1, {.opcode = 0xEC, .skip = static_cast<std::uint32_t>(identifies + 1)});
       },
       {}, "I_x06", "Issue Identify Command Fail.", 1, {},
       "[ Success ] StandBy. \r\n   Drive Letter are Not Locked. \r\n   ROM mode \r\n"},
      // A BBT header whose rows (65 of 8 columns, 1 die, 2 planes) need more than its 2 sectors.
      {"sorted BBT header beyond its table", Mode::Bridge, C::RomMp,
       [](Station& s) {
         SetIni(kTool, "General Info", "TestStation", "SortMP");
         s.Drive().PatchBbtParameter(36, {65, 0, 0, 0});
       },
       {}, "F_T34", "BBT header size is beyond the table read (1024, 1040 > 1024 bytes)!!!"},
      // The window scan's tester reset, asked to keep device sleep off on a tester without it.
      {"tester reset", Mode::TesterDirect, C::RomMp,
       [](Station&) { SetIni(kParam, "Options", "DEVSLP_Control", "1"); }, {}, "P_I15",
       "DevSLP control only support by SATAIII tester !!!", 1, {.tester = {.kind = 3}}},
  };
  const std::string fdb = ReadAll(kFdb);  // put back after a row that takes it away
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    if (!std::filesystem::is_regular_file(Native(kFdb))) {
      std::filesystem::remove_all(Native(kFdb));
      std::ofstream(Native(kFdb), std::ios::binary) << fdb;
    }
    SetIni(kTool, "General Info", "TestStation", "MP");
    SetIni(kParam, "Options", "MaxCapacity", "4");
    for (const char* key : {"MinCapacity", "Enable", "SetPercent", "Percent"})
      SetIni(kParam, key[0] == 'M' ? "Options" : "Write_Read BurnIn", key, r.code[2] == 'K' ? "1" : "0");
    SetIni(kFdb, "Options", "ChkRDTver", "");
    SetIni(kParam, "Options", "EraseMPChkBBT", "");
    SetIni(kTool, "General Info", "SSDSizePercent", "");
    SetIni(kTool, "General Info", "Capacity", "");
    SetIni(kParam, "Options", "CHCEMap", "");
    SetIni(kParam, "Options", "CheckBBT", r.start == C::Boot || r.start == C::Mcode ? "0" : "1");
    SetIni(kFdb, "Flash Info", "Flh_ID", "2c 84 64 3c a5 08 04");
    SetIni(kFdb, "Flash Info", "Flh_MPBinType", "7312");
    SetIni(kFdb, "Flash Info", "Flh_Number", "8");
    for (const char* key : {"SkipCheckFWBinHeader", "DEVSLP_Control"}) SetIni(kParam, "Options", key, "0");
    SetIni(kParam, "Special", "Keep_Device_Info", "0");
    SetIni(kParam, "RD Debug", "TestInFinity", "0");
    RunJob(r.mode, r.start, r.fault, r.configure, r.setup);
    const bool empty = r.code[0] == 'P' && r.code[2] == 'A';
    // An empty port's cell is cleared; the code is kept as its state text.
    EXPECT_EQ(cell_.GetWindowText().empty(), empty) << cell_.GetWindowText();
    if (r.serial >= 0) {
      EXPECT_EQ(Has(cell_.GetWindowText(), CPortDevice::FormatErrorCode(r.code) + "*"), r.serial == 1)
          << cell_.GetWindowText();
    }
    EXPECT_EQ(result_, r.code) << PortReport();
    EXPECT_EQ(g_PortResult[0], empty ? 4 : 0);
    EXPECT_EQ(cell_.GetErrorCode(), empty ? "" : CPortDevice::FormatErrorCode(r.code));
    EXPECT_TRUE(Has(PortReport(), std::string("[ Fail ]  Error Message : ") + r.message)) << PortReport();
    if (r.reportLine) {
      EXPECT_TRUE(Has(PortReport(), r.reportLine)) << PortReport();
    }
    EXPECT_TRUE(Has(Record(), std::string(",Fail,") + r.code + ",")) << Record();
    EXPECT_TRUE(FailureOnRecord());
    // The maximum current replaces the statistics text after a failed burn-in on a tester.
    EXPECT_EQ(Has(Record(), ",0000,Fail,"), r.code[2] != 'K') << Record();
  }
}
// Vendor commands (by sub-command) of a drive's trace, in order.
std::vector<std::uint8_t> VendorSubs(const emu::Drive& drive, std::uint8_t also = 0) {
  std::vector<std::uint8_t> subs;
  for (const auto& e : drive.Trace()) {
    if (e.request.command == 0x21 || e.request.command == 0x31) subs.push_back(e.request.features);
    if (also != 0 && e.request.command == also) subs.push_back(also);
  }
  return subs;
}
std::uint32_t CountBefore(const std::vector<std::uint8_t>& subs, std::size_t end, std::uint8_t sub) {
  return static_cast<std::uint32_t>(std::count(subs.begin(), subs.begin() + static_cast<std::ptrdiff_t>(end), sub));
}

// Failures where the failing step writes no fail block, or names no code: the
// job's ending gives each its code and its records. A run without the fault
// tells which command to fail.
TEST_F(MpProcedure, FailuresTheStepLeavesUnreportedAreOnRecord) {
  using Locate = std::function<void(Station&, const std::vector<std::uint8_t>&)>;
  const auto firstOf = [](const std::vector<std::uint8_t>& subs, std::uint8_t sub) {
    return static_cast<std::size_t>(std::find(subs.begin(), subs.end(), sub) - subs.begin());
  };
  // The window scan's own system-information read: the last one before its first sweep.
  const Locate windowSystemInfo = [&](Station& s, const std::vector<std::uint8_t>& subs) {
    s.Drive().Faults().FailNext(1, {.subCommand = 0x13, .skip = CountBefore(subs, firstOf(subs, 0xAB), 0x13) - 1});
  };
  const struct {
    const char* name;
    C start;
    const char* station;
    std::function<void(emu::DriveConfig&)> configure;
    Locate fault;
    const char *code, *message;
  } rows[] = {
      {"RDT log with a DRAM failure, read without report", C::RomRdt, "MP",
       [](emu::DriveConfig& c) { c.rdtRun.dramErrors = {0x100}; }, {}, "F_T40", ""},
      {"drive pulled during the RDT log read", C::RomRdt, "MP", {},
       [](Station& s, const std::vector<std::uint8_t>&) { s.Drive().Faults().HotRemoveOnNext({.subCommand = 0x50}); },
       "F_T29", "Issue Get RDT BadBlock Log Command Failed !!!"},
      {"window scan from boot code", C::Boot, "MP", {}, windowSystemInfo, "I_x08",
       "Issue GetSystemInfo Command Failed."},
      {"window scan after the RDT firmware", C::RomRdt, "MP", {}, windowSystemInfo, "I_x08",
       "Issue GetSystemInfo Command Failed."},
      {"read-out scan refused the access key", C::RomRdt, "MP", {},
       [](Station& s, const std::vector<std::uint8_t>& subs) {
         // The read-out scan's key before its system information: the last key
         // followed by GetSystemInfo but one (the firmware checks read it last).
         std::size_t at = 0, before = 0;
         for (std::size_t i = 1; i < subs.size(); ++i)
           if (subs[i] == 0x13 && subs[i - 1] == 0xFA) before = std::exchange(at, i - 1);
         at = before;
         s.Drive().Faults().FailNext(emu::DriveFaults::kForever, {.opcode = 0xFA, .skip = CountBefore(subs, at, 0xFA)});
       },
       "I_x01", ""},
      {"SortMP: READ BBT refused", C::Mcode, "SortMP", [](emu::DriveConfig& c) { c.preset3rdBbt = true; },
       [](Station& s, const std::vector<std::uint8_t>&) {
         std::uint32_t skip = 0;  // the parameter sector's read of the restore
         for (const auto& e : s.Drive().Trace()) {
           if (e.request.features != 0x7F) continue;
           if (e.request.lbaLow == 1) break;
           ++skip;
         }
         s.Drive().Faults().FailNext(1, {.subCommand = 0x7F, .skip = skip});
       },
       "F_T34", "Issue Read BBT Command Failed !!!"},
      {"SortMP: a fresh drive without a bad-block table", C::Boot, "SortMP",
       [](emu::DriveConfig& c) { c.initialCode = C::Boot; }, {}, "F_T34", "Bad blocks map is not exist!!!"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    SetIni(kTool, "General Info", "TestStation", r.station);
    SetIni(kParam, "Options", "CheckBBT", r.start == C::Boot || r.start == C::Mcode ? "0" : "1");
    std::vector<std::uint8_t> subs;
    if (r.fault) {
      RunJob(Mode::Bridge, r.start, {}, r.configure);
      ASSERT_EQ(result_, "0_00") << PortReport();
      subs = VendorSubs(station_->Drive(), 0xFA);
    }
    RunJob(Mode::Bridge, r.start, [&](Station& s) { if (r.fault) r.fault(s, subs); }, r.configure);
    EXPECT_EQ(result_, r.code) << PortReport();
    EXPECT_EQ(cell_.GetErrorCode(), CPortDevice::FormatErrorCode(r.code));
    if (*r.message) {
      EXPECT_TRUE(Has(PortReport(), std::string("[ Fail ]  Error Message : ") + r.message)) << PortReport();
    }
    EXPECT_TRUE(FailureOnRecord());
    EXPECT_TRUE(Has(Record(), std::string(",Fail,") + r.code + ",")) << Record();
  }
}

TEST_F(MpProcedure, PreFormatFlashFailureWritesTheScanRecordAgain) {
  for (std::uint8_t result : {0x02, 0x05}) {  // a program failure (kind 12), a system-table failure
    SCOPED_TRACE(result);
    RunJob(Mode::Bridge, C::RomMp, [result](Station& s) { s.Drive().Faults().FailPreFormat(result, 0x1234); });
    EXPECT_EQ(result_, "F_H07");
    EXPECT_EQ(ReadAll(kScanRecords).size(), (result == 0x02 ? 2u : 1u) * kx::kBlockRecordSize);
  }
}

// Each option switch runs its step when on and leaves it out when off: what the
// step sends to the drive (or writes) grows by the row's count with the switch on.
TEST_F(MpProcedure, OptionSwitchesRunTheirStep) {
  using Count = std::function<std::size_t(Station&)>;
  const auto report = [](const char* line) {
    return [line](Station&) -> std::size_t { return Has(PortReport(), line) ? 1 : 0; };
  };
  const struct {
    const char* name;
    Mode mode;
    C start;
    const char *key, *on, *off;
    std::vector<std::array<const char*, 2>> also;  // [Options] keys the step needs, set for both runs
    Count sent;
    std::size_t more;  // 0: some more
  } rows[] = {
      {"thermal sensor", Mode::TesterDirect, C::RomMp, "Put_Thermal_Sensor", "1", "2", {},
       [](Station& s) { return s.DriveSent(0xB0, 0xD0).size(); }, 1},  // SMART READ DATA
      {"device sleep", Mode::TesterDirect, C::RomMp, "DEVSLP_Enable", "1", "2", {{"DEVSLP_Control", "1"}},
       [](Station& s) { return s.Sent({0x08, 0xF2, 0x50, 0x06, 0x01}).size(); }, 1},
      {"SMART reset after MP", Mode::Bridge, C::RomMp, "AfterMpDoResetSMART", "2", "0", {},
       [](Station& s) { return s.DriveSent(0x31, 0x02).size(); }, 1},
      {"eFuse cut", Mode::TesterDirect, C::RomMp, "Cut_eFuse", "1", "2", {{"Cut_UART", "1"}},
       [](Station& s) { return s.DriveSent(0x31, 0x27).size(); }, 1},
      {"copy-compare", Mode::Bridge, C::RomMp, "SkipCopyCompare", "0", "1", {},
       [](Station& s) { return s.DriveSent(0x35, 0).size(); }, 0},
      {"MP scans", Mode::Bridge, C::RomMp, "SkipMPScan", "0", "1", {},
       [](Station&) { return ReadAll(kScanRecords).size() / kx::kBlockRecordSize; }, 2},
      {"RDT progress in the pass text", Mode::Bridge, C::RomMp, "SkipMPScan", "0", "1", {},
       [this](Station&) -> std::size_t { return Has(cell_.GetWindowText(), "*OB+OLB/RB:") ? 1 : 0; }, 1},
      {"window scan from boot code", Mode::Bridge, C::Boot, "Skip_Scan_Window_Test", "0", "1", {},
       [](Station& s) { return s.DriveSent(0x31, 0xAB).size(); }, 0},
      {"DRAM test from boot code", Mode::Bridge, C::Boot, "Skip_SDR_WriteRead_Test", "0", "1", {},
       report("Do DRAM Test"), 1},
  };
  SetIni(kParam, "Options", "CheckBBT", "0");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    for (const auto& [key, value] : r.also) SetIni(kParam, "Options", key, value);
    std::size_t sent[2] = {};
    for (int on : {0, 1}) {
      SetIni(kParam, "Options", r.key, on ? r.on : r.off);
      RunJob(r.mode, r.start);
      EXPECT_EQ(result_, "0_00") << (on ? "on" : "off") << PortReport();
      sent[on] = r.sent(*station_);
    }
    if (r.more == 0)
      EXPECT_GT(sent[1], sent[0]);
    else
      EXPECT_EQ(sent[1], sent[0] + r.more);
    for (const auto& [key, value] : r.also) SetIni(kParam, "Options", key, "0");
    SetIni(kParam, "Options", r.key, "0");
  }
}

// A real job that says when it is gone.
class WatchedJob final : public CPortJob {
 public:
  template <class... Args>
  explicit WatchedJob(std::latch& gone, Args&&... args) : CPortJob(std::forward<Args>(args)...), gone_(gone) {}
  ~WatchedJob() override { gone_.count_down(); }

 private:
  std::latch& gone_;
};

TEST_F(MpProcedure, EverySlotOfAFullSitePassesInEachSendMode) {
  for (Mode mode : {Mode::TesterDirect, Mode::Bridge, Mode::SataPort}) {
    SCOPED_TRACE(static_cast<int>(mode));
    std::filesystem::remove(Native("D:\\Log\\SATA_RecordSN.ini"));
    kxtest::EmulatedSite site(kx::kPortCount, mode, SmallDrive(C::RomRdt));
    std::array<kx::StatusCellModel, kx::kPortCount> cells;
    std::array<std::string, kx::kPortCount> codes;
    std::latch gone(kx::kPortCount);
    CThreadPool pool;
    ASSERT_TRUE(pool.Create(kx::kPortCount, nullptr));
    for (int slot = 1; slot <= kx::kPortCount; ++slot)
      ASSERT_TRUE(pool.Post(new WatchedJob(gone, 1, &locks_, &cells[slot - 1], nullptr, site.DriveNo(slot), slot,
                                           nullptr, nullptr, "D:\\Log", &codes[slot - 1], nullptr, nullptr)));
    gone.wait();
    pool.Destroy();
    const std::string record = ReadAll("D:\\Log\\SATA_RecordSN.ini");
    for (int slot = 1; slot <= kx::kPortCount; ++slot) {
      SCOPED_TRACE(slot);
      EXPECT_EQ(codes[slot - 1], "0_00") << PortReport(slot);
      EXPECT_EQ(cells[slot - 1].GetStateText(), "Pass");
      EXPECT_TRUE(Has(PortReport(slot), "[ End ] Time: ("));
      EXPECT_TRUE(Has(record, "[Port-" + std::to_string(slot) + " PASS]"));
      EXPECT_EQ(site.Drive(slot).Code(), C::RomMp);
    }
    EXPECT_TRUE(locks_[2].try_lock());
    locks_[2].unlock();
  }
}

// The drive refuses to read a third-party table.
void NoThirdBbt(Station& s) { s.Drive().Faults().FailNext(99, {.subCommand = 0x47}); }

// No capacity for the info block: the flash-maker file sets none and offers no size list.
void NoCapacity() { ASSERT_TRUE(win::WritePrivateProfileString("Options", "SetSSDSize", "", kFdb)); }

TEST_F(MpProcedure, OptionsChangeWhatRunsAndThePassText) {
  const struct {
    const char* name;
    C start;
    std::function<void()> set;
    std::function<void(Station&)> fault;
    std::function<void(emu::DriveConfig&)> configure;
    std::uint32_t back;  // the cell's colour: green pass, purple grade
    const char *textStart, *reportLine;  // reportLine null: none checked
    bool rdtLogRead;
    Mode mode = Mode::Bridge;
    const char* recorded = nullptr;  // the serial number the records carry
  } rows[] = {
      {"KeepSN", C::RomMp, [] { SetIni(kTool, "General Info", "KeepSN", "1"); }, {}, {}, kx::Rgb(0, 255, 0),
       "Pass*964(1) MB*", "Serial Number write to infoblock: KX0000000000000001", false},
      {"Short", C::RomMp, [] { SetIni(kTool, "General Info", "Short", "1"); }, {}, {}, kx::Rgb(0, 255, 0),
       "Pass*Short*Enabled", "Short, skip check running code!!", false},
      {"EraseMP without the BBT check", C::RomRdt,
       [] {
         SetIni(kTool, "General Info", "TestStation", "EraseMP");
         SetIni(kParam, "Options", "EraseMPChkBBT", "0");
       },
       {}, {}, kx::Rgb(0, 255, 0), "Pass*964(1) MB*", "Do EraseAll Block, Type=0x09", false},
      {"SortMP with a 3rd BBT", C::RomMp, [] { SetIni(kTool, "General Info", "TestStation", "SortMP"); }, {},
       [](emu::DriveConfig& c) { c.preset3rdBbt = true; }, kx::Rgb(0, 255, 0), "Pass*964(1) MB*",
       "Write BBT checksum:", false},
      {"SortMP without one", C::RomMp,
       [] {
         SetIni(kTool, "General Info", "TestStation", "SortMP");
         SetIni(kParam, "Options", "SkipSortBBT", "1");
       },
       NoThirdBbt, {}, kx::Rgb(148, 40, 255), "Pass*964(1) MB*", "Read 3rd BBT Failed !!!", false},
      {"SortMP from boot code", C::Boot, [] { SetIni(kTool, "General Info", "TestStation", "SortMP"); }, {},
       [](emu::DriveConfig& c) { c.preset3rdBbt = true; }, kx::Rgb(0, 255, 0), "Pass*964(1) MB*",
       "Write BBT checksum:", false},
      {"SortMP from RDT firmware", C::RomRdt, [] { SetIni(kTool, "General Info", "TestStation", "SortMP"); }, {},
       [](emu::DriveConfig& c) { c.preset3rdBbt = true; }, kx::Rgb(0, 255, 0), "Pass*964(1) MB*",
       "Write BBT checksum:", true},
      {"capacity exactly at the bounds", C::RomMp,
       [] {
         SetIni(kParam, "Options", "MaxCapacity", "1");
         SetIni(kParam, "Options", "MinCapacity", "1");
         SetIni(kTool, "General Info", "Capacity", "1");
       },
       {}, {}, kx::Rgb(0, 255, 0), "Pass*964(1) MB*", nullptr, false},
      {"INI BIN class check skipped", C::RomMp,
       [] {
         SetIni(kParam, "Options", "SkipCheckINIBinClass", "1");
         SetIni(kParam, "Options", "SkipCheckRDTBinType", "1");
         SetIni(kFdb, "Flash Info", "Flh_MPBinType", "731");
       },
       {}, {}, kx::Rgb(0, 255, 0), "Pass*964(1) MB*", "INI class & Bintype Fail !!", false},
      {"firmware BIN type check skipped", C::RomMp, [] { SetIni(kParam, "Options", "SkipCheckFWBinHeader", "1"); },
       {}, [](emu::DriveConfig& c) { c.sysInfoFwVersion = "7311"; }, kx::Rgb(0, 255, 0), "Pass*964(1) MB*",
       "Bin file fail!! FW do not equal to ini(7311)", false},
      {"device info kept", C::RomMp, [] { SetIni(kParam, "Special", "Keep_Device_Info", "1"); },
       [](Station& s) {
         CPortDevice& d = s.Device();
         d.m_SerialNumBase = "KX0000000000000777";
         ASSERT_TRUE(d.BuildInfoBlock(false, false, nullptr, false));
         std::vector<std::uint8_t> block(d.m_InfoBlockBuilt.begin(), d.m_InfoBlockBuilt.end());
         block[511] = 0x01;
         s.Drive().SetInfoBlockPage(0, block);
       },
       {}, kx::Rgb(0, 255, 0), "Pass*964(1) MB*", nullptr, false, Mode::Bridge, "]=KX0000000000000777"},
      {"auto capacity below the set size", C::RomMp,
       [] {
         SetIni(kFdb, "Options", "AutoCapacity_Enable", "1");
         SetIni(kFdb, "Options", "AutoCapacity_SizeArray", "1");
         SetIni(kFdb, "Options", "AutoCapacity_MaxBadPercent", "5");
         SetIni(kParam, "Options", "SetSSDSize", "2");
       },
       {}, {}, kx::Rgb(0, 255, 0), "Pass\xA1\xF5*964(1) MB*", "Select capacity size = 1", false},
      // 2^32 sectors read as 0 from IDENTIFY (an info block of no capacity agrees): the
      // size comes from the disk's geometry.
      {"no size from IDENTIFY", C::RomMp, NoCapacity, {}, [](emu::DriveConfig& c) { c.capacitySectors = 1ull << 32; },
       kx::Rgb(0, 255, 0), "Pass*2097152 MB*2048(1) GB*", nullptr, false},
      {"nor from the geometry", C::RomMp, NoCapacity, [](Station& s) { s.Drive().Faults().RefuseGeometry(true); },
       [](emu::DriveConfig& c) { c.capacitySectors = 1ull << 32; }, kx::Rgb(0, 255, 0), "Pass*0(1) MB*", nullptr,
       false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    SetIni(kTool, "General Info", "TestStation", "MP");
    for (const char* key : {"KeepSN", "Short"}) SetIni(kTool, "General Info", key, "0");
    SetIni(kTool, "General Info", "Capacity", "");
    for (const char* key : {"EraseMPChkBBT", "SkipSortBBT", "MaxCapacity", "MinCapacity", "SkipCheckINIBinClass",
                            "SkipCheckFWBinHeader", "SkipCheckRDTBinType"})
      SetIni(kParam, "Options", key, "");
    SetIni(kParam, "Options", "SetSSDSize", "1");
    SetIni(kParam, "Options", "CheckBBT", r.start == C::Boot ? "0" : "1");
    SetIni(kParam, "Special", "Keep_Device_Info", "0");
    SetIni(kFdb, "Flash Info", "Flh_MPBinType", "7312");
    SetIni(kFdb, "Options", "AutoCapacity_Enable", "0");
    SetIni(kFdb, "Options", "SetSSDSize", "1");
    r.set();
    RunJob(r.mode, r.start, r.fault, r.configure);
    ExpectPass(cell_.GetWindowText());
    EXPECT_EQ(cell_.GetWindowText().rfind(r.textStart, 0), 0u) << cell_.GetWindowText();
    EXPECT_EQ(cell_.Snapshot().backColor, r.back);
    if (r.reportLine) {
      EXPECT_TRUE(Has(PortReport(), r.reportLine)) << PortReport();
    }
    EXPECT_EQ(Has(PortReport(), "Read RDT Log"), r.rdtLogRead);
    if (r.recorded) {
      EXPECT_TRUE(Has(Record(), r.recorded)) << Record();
    }
  }
  // The kept serial number is the one recorded.
  SetIni(kParam, "Special", "Keep_Device_Info", "0");
  SetIni(kTool, "General Info", "KeepSN", "1");
  RunJob(Mode::Bridge, C::RomMp);
  EXPECT_TRUE(Has(Record(), "]=KX0000000000000001")) << Record();
}

TEST_F(MpProcedure, WindowScanFollowsTheBurnerVersion) {
  const struct {
    std::string burner;
    const char* doScan;
    bool scanned;
  } rows[] = {{"QVBM 0.6", "0", true},
              {"QVBM 0.5", "0", false},
              {"QVBM 0.5", "1", true},
              {std::string("QVBM 7\0\0", 8), "0", false}};  // too short for "x.y": the oldest
  SetIni(kParam, "Options", "CheckBBT", "0");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.burner);
    SetIni(kParam, "Options", "Do_Scan_Window_Test", r.doScan);
    RunJob(Mode::Bridge, C::Boot, {}, [&r](emu::DriveConfig& c) { c.mcodeName = r.burner; });
    EXPECT_EQ(result_, "0_00") << PortReport();
    EXPECT_EQ(Has(PortReport(), "Scan Window Process OK"), r.scanned);
  }
}

TEST_F(MpProcedure, SortMpWithoutThe3rdBbtFailsUnlessSkipped) {
  SetIni(kTool, "General Info", "TestStation", "SortMP");
  RunJob(Mode::Bridge, C::Mcode, NoThirdBbt);
  EXPECT_EQ(result_, "F_x50");
  EXPECT_TRUE(Has(PortReport(), "   Check Thrid Party BBT fail! \r\n")) << PortReport();
  EXPECT_TRUE(Has(PortReport(), "[ Fail ]  Error Message : Read 3rd BBT Failed !!!")) << PortReport();
}

// A pre-format failure stays the port's when the rescan after it fails too (the
// pre-format after a load from boot code drops the RDT info the rescan's table
// check wants): the rescan's failure stands beside it in the report and logs.
TEST_F(MpProcedure, ARescanThatFailsAfterThePreFormatLeavesThePreFormatFailureOnRecord) {
  SetIni(kParam, "Options", "CheckBBT", "1");
  RunJob(Mode::Bridge, C::Boot, [](Station& s) { s.Drive().Faults().FailPreFormat(0x02, 0x1234); });
  const std::string preFormat = "PreFormat Fail: Program Fail, Fail Address=0x00001234";
  const std::string report = PortReport(), errors = ReadAll("D:\\Log\\Error_Init.log");
  const std::string printed = CPortDevice::FormatErrorCode("F_H07");
  EXPECT_EQ(result_, "F_H07");
  EXPECT_EQ(cell_.GetWindowText(), printed + "*00000000*");
  EXPECT_TRUE(Has(report, "Error Message : Bad blocks map is not match!!!")) << "the rescan's own fail block";
  EXPECT_EQ(report.substr(report.rfind("[ Fail ]  Error Message : ")).rfind("[ Fail ]  Error Message : " + preFormat, 0),
            0u) << report;
  EXPECT_TRUE(Has(errors, "= " + printed + ":" + preFormat)) << errors;
  EXPECT_TRUE(Has(Record(), ",Fail,F_H07," + preFormat)) << Record();
}
}  // namespace
