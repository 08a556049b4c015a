#include <set>
#include <thread>

#include "FakeTester.h"
#include "TestEnv.h"
#include "command/DriveCommand.h"
#include "device/ErrorCode.h"
#include "device/LogFile.h"
#include "device/PortDevice.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/Memory.h"
#include "platform/MessageBox.h"

namespace {

const char kTool[] = ".\\Configuration\\System\\MPToolSetting.ini";
const std::int64_t kWallStart = 1780000000000;  // a fixed wall-clock start for the virtual clock

std::string TimeOf(const win::SYSTEMTIME& t, const char* format) {
  char s[64];
  std::snprintf(s, sizeof s, format, t.wHour, t.wMinute, t.wSecond);
  return s;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

win::SYSTEMTIME NowLocal() {
  win::SYSTEMTIME t;
  win::GetLocalTime(&t);
  return t;
}

std::string KeyOf(const win::SYSTEMTIME& t) {
  char s[64];
  std::snprintf(s, sizeof s, "[%02d-%02d-%02d %02d:%02d:%02d]", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  return s;
}

class PortReport : public DeviceTestEnv {
 protected:
  void SetUp() override {
    DeviceTestEnv::SetUp();
    clock_ = std::make_unique<platform::ScopedClock>(platform::MakeVirtualClock(kWallStart));
    g_KX_U2A = 0;  // tester-direct: drive number = physical drive of the fake tester
    g_SataPortMode = 0;
    MakeDirs(".\\Configuration\\System");
    MakeDirs("D:\\Log\\D_Reports");
    MakeDirs("D:\\Log\\Fail_Log");
    SetIni(".\\PC_MAC_Address.txt", "PC Info", "MAC_Address", "  00-11-22-33-44-55  ");
    tester_ = std::make_shared<FakeTester>(7);
    platform::RegisterDeviceBackend(tester_);
    FillErrorCodeMap();
  }
  void TearDown() override {
    ClearErrorCodeMap();
    platform::UnregisterDeviceBackend(tester_);
    clock_.reset();
    DeviceTestEnv::TearDown();
  }
  std::unique_ptr<CPortDevice> Device(int runMode = 1, int slot = 3) {
    return std::make_unique<CPortDevice>(7, runMode, slot, "D:\\Log", nullptr, nullptr);
  }
  std::string Report(int slot = 3) { return ReadAll("D:\\Log\\D_Reports\\00-11-22-33-44-55_" + std::to_string(slot) + "_Report.txt"); }

  std::unique_ptr<platform::ScopedClock> clock_;
  std::shared_ptr<FakeTester> tester_;
};

// ---- Port device object --------------------------------------------------------

TEST_F(PortReport, ProductionDeviceBuildsItsPathsAndPcId) {
  SetIni(".\\param.ini", "Options", "PowerOnDelayTime", "35");
  SetIni(".\\param.ini", "Options", "DEVSLP_Control", "1");
  SetIni(".\\param.ini", "Current Check", "Statistics_StandBy", "2");
  auto d = Device(4, 5);
  EXPECT_TRUE(d->IsConstructed());
  EXPECT_EQ(d->m_PcId, "00-11-22-33-44-55");
  EXPECT_EQ(d->m_SnSettingPath, "C:\\SATA_Setting.ini");
  EXPECT_EQ(d->m_ReportFolder, "D:\\Log\\D_Reports\\");
  EXPECT_EQ(d->m_RecordSnPath, "D:\\Log\\SATA_RecordSN.ini");
  EXPECT_EQ(d->m_BinInfoFolder, "D:\\Log\\BINInfo\\");
  EXPECT_EQ(d->m_ErrorLogPath, "D:\\Log\\Error_QC.log");
  EXPECT_EQ(d->m_TotalLogPath, "D:\\Log\\Total_QC.log");
  EXPECT_EQ(d->m_PowerOnDelay, 3u);
  EXPECT_EQ(d->m_DevSlpEnable, 1);
  EXPECT_EQ(d->m_StatStandBy, 1);
  EXPECT_EQ(d->m_StatStandByText, "0000");
  EXPECT_EQ(d->m_StatWR, 0);
  EXPECT_EQ(d->m_StatWRText, "NoRecord");
  EXPECT_EQ(d->m_IsProduction, 1);
  EXPECT_EQ(d->m_SwitchBoard, 1);
  EXPECT_EQ(d->m_BootVersion, "0.0");
  EXPECT_EQ(d->m_McodeVersion, "0.0");
  EXPECT_EQ(d->m_BinMark[0], 0x22);
  EXPECT_EQ(d->m_BinMark[3], 0x58);
  EXPECT_NE(d->m_IoBufferA, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(d->m_IoBufferA) % 4096, 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(d->m_IoBufferC) % 4096, 0u);
  EXPECT_EQ(d->m_VolumeHandle, win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(d->GetDriveNumber(), 7);

  EXPECT_EQ(Device(1)->m_ErrorLogPath, "D:\\Log\\Error_Init.log");
  auto debug = Device(7);
  EXPECT_EQ(debug->m_ErrorLogPath, "D:\\Log\\Error_Debug.log");
  debug->SetLogPaths(5);
  EXPECT_EQ(debug->m_Station, 5);
  EXPECT_EQ(debug->m_TotalLogPath, "D:\\Log\\Total_Debug.log");
}

TEST_F(PortReport, PcIdFallsBackToComputerName) {
  SetIni(".\\PC_MAC_Address.txt", "PC Info", "MAC_Address", "\"   \"");
  auto d = Device();
  EXPECT_FALSE(d->m_PcId.empty());
  EXPECT_LE(d->m_PcId.size(), 15u);
  EXPECT_EQ(d->m_PcId.find(' '), std::string::npos);
  SetIni(".\\param.ini", "Options", "PowerOnDelayTime", "9");
  EXPECT_EQ(Device()->m_PowerOnDelay, 0u);
}

TEST_F(PortReport, ToolDeviceHasNoPathsAndWritesNoReport) {
  CPortDevice tool(7, 11, "fw\\detect.bin", true, false);
  EXPECT_EQ(tool.m_IsProduction, 1);
  EXPECT_EQ(CPortDevice(7, 3, "", false, true).m_IsProduction, 0);
  EXPECT_EQ(tool.m_SwitchBoard, 0);
  EXPECT_EQ(tool.m_DetectFwPath, "fw\\detect.bin");
  EXPECT_TRUE(tool.m_ReportFolder.empty());
  EXPECT_TRUE(tool.m_PcId.empty());
  EXPECT_TRUE(tool.m_BootVersion.empty());
  EXPECT_EQ(tool.m_RegBufferSize, 512u);
  tool.WriteReport("START", true);
  tool.WriteReport("line", true);
  tool.m_ErrorCode = "M_x04";
  tool.WriteFailReport();
  tool.WriteSettingsReport();
  // Nothing lands at a drive root or in the working folder.
  for (const char* dir : {"drives/C", "drives/D", "work"})
    for (const auto& e : std::filesystem::directory_iterator(root_ / dir))
      EXPECT_TRUE(e.is_directory() || e.path().filename() == "PC_MAC_Address.txt") << e.path();
}

TEST_F(PortReport, MissingPageMemoryFailsConstruction) {
  auto box = std::make_shared<platform::RecordingMessageBox>();
  platform::ScopedMessageBox scoped(box);
  platform::FailNextPageAllocations(1);
  auto d = Device();
  EXPECT_FALSE(d->IsConstructed());
  EXPECT_EQ(d->m_ErrorMessage, "Cannot allocate page memory !");
  EXPECT_EQ(d->m_IoBufferA, nullptr);
  EXPECT_NE(d->m_IoBufferB, nullptr);  // the others are still reserved, and released by the destructor
  EXPECT_EQ(box->Texts(), std::vector<std::string>{"Cannot allocate page memory !"});
  EXPECT_TRUE(Device()->IsConstructed());
}

TEST_F(PortReport, DeletingDestructorFreesTheObject) {
  auto* d = new CPortDevice(7, 1, 3, "D:\\Log", nullptr, nullptr);
  d->m_BbtBuffer = std::malloc(64);
  d->DeletingDestructor(1);  // the sanitizer run reports any leak
}

// ---- Report grammar ------------------------------------------------------------

TEST_F(PortReport, StartWritesTheHeaderByteForByte) {
  SetIni(kTool, "General Info", "BuildVersion", " V1.2.3 ");
  SetIni(kTool, "General Info", "TestStation", "MP");
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_MPBinType", "MB1");
  SetIni(".\\paramFDB.ini", "Flash Info", "Flh_RDTBinType", "RB2");
  auto d = Device();
  d->m_SerialNumber = "OLD";
  const win::SYSTEMTIME t = NowLocal();
  d->WriteReport("START", false);
  char day[96];
  std::snprintf(day, sizeof day, "Day: (%4d\\%2d\\%2d) Time: (%2d:%2d:%2d)  SlotNo:3\r\n", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  const std::string stars = "************************************************************\r\n";
  EXPECT_EQ(Report(), stars + day + "MP ver:V1.2.3    MPBinType:MB1    RDTBinType:RB2\r\n" +
                          "Test Station:MP \r\n" + "INI file:paramFDB.ini\r\n" + stars);
  EXPECT_TRUE(d->m_SerialNumber.empty());

  d->WriteReport("abc", true);
  d->WriteReport("abc", false);
  d->WriteReport("100%s done", true);
  EXPECT_EQ(d->m_LastReportPath, "D:\\Log\\D_Reports\\\\00-11-22-33-44-55_3_Report.txt");
  const std::string r = Report();
  EXPECT_TRUE(EndsWith(r, "   abc \r\n[ Success ] abc \r\n   100%s done \r\n"));

  SetIni(kTool, "General Info", "IniFilePath", "X\\p.ini");
  d->WriteReport("START", true);  // a second START starts the file again
  const std::string again = Report();
  EXPECT_EQ(again.find("abc"), std::string::npos);
  EXPECT_NE(again.find("INI file:X\\p.ini\r\n"), std::string::npos);
}

TEST_F(PortReport, EndRecordsThePassOnlyWithASerialNumber) {
  auto d = Device(1, 4);
  d->WriteReport("START", true);
  d->WriteReport("END", true);
  EXPECT_FALSE(Exists("D:\\Log\\SATA_RecordSN.ini"));
  d->m_SerialNumber = "SN123";
  const win::SYSTEMTIME t = NowLocal();
  d->WriteReport("END", true);
  const std::string r = Report(4);
  EXPECT_TRUE(EndsWith(r, TimeOf(t, "[ End ] Time: (%2d:%2d:%2d) \r\n")));
  EXPECT_EQ(win::GetPrivateProfileString(std::string("Port-4 PASS"), KeyOf(t), "", "D:\\Log\\SATA_RecordSN.ini"),
            "SN123");
}

TEST_F(PortReport, LinesBeforeStartAreLostAndNeverCreateTheReport) {
  auto d = Device();
  d->WriteReport("early", true);
  EXPECT_FALSE(Exists("D:\\Log\\D_Reports\\00-11-22-33-44-55_3_Report.txt"));
  platform::DebugCapture capture;
  CLogFile log;
  EXPECT_EQ(log.AppendText("D:\\Log\\D_Reports\\missing.txt", "x"), -1);
  EXPECT_FALSE(Exists("D:\\Log\\D_Reports\\missing.txt"));
  EXPECT_EQ(log.AppendText("Q:\\nowhere\\file.txt", "x"), -1);
  EXPECT_EQ(log.WriteText("D:\\NoSuchFolder\\file.txt", "x"), -1);
  EXPECT_EQ(log.WriteText("D:\\Log\\w.txt", "ab\r\n"), 0);
  EXPECT_EQ(log.AppendText("D:\\Log\\w.txt", "cd"), 0);
  EXPECT_EQ(ReadAll("D:\\Log\\w.txt"), "ab\r\ncd");
  // Only what was written reaches the debug output.
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"ab\r\n", "cd"}));
}

TEST_F(PortReport, TempReportKeepsTheSerialAndUsesItsOwnFile) {
  auto d = Device();
  d->m_SerialNumber = "KEEP";
  d->WriteTempReport("START", true, "");
  d->WriteTempReport("t1", false, "");
  EXPECT_EQ(d->m_SerialNumber, "KEEP");
  const std::string temp = ReadAll("D:\\Log\\D_Reports\\00-11-22-33-44-55_3_Report_Temp.txt");
  EXPECT_TRUE(EndsWith(temp, "[ Success ] t1 \r\n"));
  d->WriteTempReport("START", true, "D:\\Log\\own.txt");
  d->WriteTempReport("t2", true, "D:\\Log\\own.txt");
  EXPECT_EQ(d->m_LastReportPath, "D:\\Log\\own.txt");
  const std::string own = ReadAll("D:\\Log\\own.txt");
  EXPECT_TRUE(EndsWith(own, "   t2 \r\n"));
}

TEST_F(PortReport, FailBlockWithTimeOutOmitsAtaReg) {
  auto d = Device();
  d->WriteReport("START", true);
  d->m_SerialNumber = "S/N:..\\x";
  d->m_ErrorCode = "M_x04";
  d->m_ErrorMessage = "Erase ISP Code fail!!!";
  tester_->failNext = 1;
  tester_->failError = win::ERROR_SEM_TIMEOUT;
  EXPECT_FALSE(d->m_Command->PowerResetTester(32));
  const std::size_t before = Report().size();
  const win::SYSTEMTIME t = NowLocal();
  d->WriteFailReport();
  const std::string block = Report().substr(before);
  EXPECT_EQ(block, "[ Fail ]  Error Message : Erase ISP Code fail!!! \r\n"
                   "             Error Code : 0x103 \r\n"
                   "             AP Command : [8]-[f2]-[90]-[80]-[0]-[20]-[0]-[0]-[0]-[0]-[0]-[0] \r\n"
                   "             OS LastError : [ 121 ] \r\n" +
                       TimeOf(t, "[ Error End ] Time: (%2d:%2d:%2d) \r\n"));
  // Error log, serial-number record and the fail copy, whose name cannot leave Fail_Log.
  EXPECT_NE(ReadAll("D:\\Log\\Error_Init.log")
                .find("[Error List]\r\n" + KeyOf(t) + "   SlotNo:03   SN:S/N:..\\x= 0x103:Erase ISP Code fail!!!\r\n"),
            std::string::npos);
  EXPECT_EQ(win::GetPrivateProfileString(std::string("Port-3 Error"), KeyOf(t), "", "D:\\Log\\SATA_RecordSN.ini"),
            "S/N:..\\x");
  EXPECT_EQ(ReadAll("D:\\Log\\Fail_Log\\S_N___x(fail)_3.txt"), Report());
}

TEST_F(PortReport, FailBlockPrintsAtaRegFromAFreshCardRead) {
  auto d = Device();
  d->WriteReport("START", true);
  d->m_ErrorCode = "I_B65";
  d->m_ErrorMessage = "[ChkRC]Not Running on Boot Code now";
  tester_->cardReply = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0x34, 0x12, 0, 0x50, 0xAB, 0x0C};
  EXPECT_TRUE(d->m_Command->PowerResetTester(32));  // a command that succeeded: OS error 0
  const std::size_t before = Report().size();
  d->WriteFailReport();
  const std::string block = Report().substr(before);
  EXPECT_NE(block.find("             Error Code : 0x440 \r\n"), std::string::npos);
  EXPECT_NE(block.find("             OS LastError : [ 0 ] \r\n             ATA Reg:[34][12][0][50][ab][c]\r\n"
                       "[ Error End ]"),
            std::string::npos);
  EXPECT_EQ(block.find("Debug Message"), std::string::npos);
  // An unknown serial number gives an empty value and the copy "(fail)_3.txt".
  EXPECT_TRUE(Exists("D:\\Log\\Fail_Log\\(fail)_3.txt"));
}

TEST_F(PortReport, DebugBlockOnlyForI_I24AndNewTesterFirmware) {
  tester_->page[484] = 1;
  tester_->page[256] = 3;
  tester_->page[257] = 2;
  tester_->page[258] = 1;
  auto d = Device();
  d->WriteReport("START", true);
  d->m_ErrorCode = "I_I24";
  d->m_TesterFwVersion = " 3.02 ";
  std::size_t before = Report().size();
  d->WriteFailReport();
  std::string block = Report().substr(before);
  EXPECT_NE(block.find(") \r\n[ Debug Message ] \r\n     2.5\" 5V Tester \r\n"), std::string::npos);
  EXPECT_EQ(block.find("USB Gen_"), std::string::npos);
  EXPECT_EQ(d->m_TesterFwVersion, "3.02");

  d->m_TesterFwVersion = "3.03";
  tester_->page[484] = 4;
  before = Report().size();
  d->WriteFailReport();
  block = Report().substr(before);
  EXPECT_NE(block.find("     SATAIII V3.x, 5V+3.3V Tester \r\n     USB Gen_3, SATA Gen_2, SATA Power_On: 1  \r\n"),
            std::string::npos);

  tester_->pageFails = true;
  before = Report().size();
  d->WriteFailReport();
  EXPECT_EQ(Report().substr(before).find("Debug Message"), std::string::npos);
}

TEST_F(PortReport, CurrentLogsByKind) {
  auto d = Device(1, 6);
  d->WriteCurrentLog("idle 1\r\n", 0);
  d->WriteCurrentLog("idle 2\r\n", 0);
  d->WriteCurrentLog("wr\r\n", 1);
  d->WriteCurrentLog("burn\r\n", 3);
  d->WriteCurrentLog("none\r\n", 2);
  EXPECT_EQ(ReadAll(".\\6_IdleCurrent.txt"), "idle 1\r\nidle 2\r\n");
  EXPECT_EQ(ReadAll(".\\6_WRCurrent.txt"), "wr\r\n");
  EXPECT_EQ(ReadAll(".\\6_BurnIn.txt"), "burn\r\n");
  EXPECT_FALSE(Exists(".\\6_.txt"));
}

// ---- Settings dump -------------------------------------------------------------

TEST_F(PortReport, SettingsDumpCopiesValuesAsTheyStand) {
  SetIni(kTool, "General Info", "BuildVersion", std::string(300, 'v'));
  SetIni(".\\param.ini", "Options", "Set Firmware Name", "FW 100%d");
  SetIni(".\\param.ini", "Device Info", "ControllerType", "Other");
  SetIni(".\\paramFDB.ini", "Options", "AutoCapacity_MaxBadPercent_4CE", "7");
  auto d = Device();
  d->WriteReport("START", true);
  const std::size_t before = Report().size();
  d->WriteSettingsReport();
  const std::string dump = Report().substr(before);
  EXPECT_EQ(dump.rfind("[MPToolSetting]\r\nBuildVersion=" + std::string(249, 'v') + " \r\nMPVerProjectName= \r\n", 0),
            0u);
  EXPECT_NE(dump.find("Capacity= \r\n"), std::string::npos);
  EXPECT_NE(dump.find("[Param]\r\nISP_MPBINCode= \r\nISP_RDTBINCode= \r\nControllerType=KX7410 \r\nPretest= \r\n"),
            std::string::npos);
  EXPECT_NE(dump.find("Set Firmware Name=FW 100%d \r\n"), std::string::npos);
  EXPECT_NE(dump.find("AutoCapacity_MaxBadPercent_3CE= \r\nAutoCapacity_MaxBadPercent_4CE=7 \r\n"
                      "AutoCapacity_MaxBadPercent_5CE= \r\n"),
            std::string::npos);
  EXPECT_NE(dump.find("AutoCapacity_MaxBadPercent_16CE= \r\nSetCacheSize= \r\n"), std::string::npos);
  std::size_t lines = 0;
  for (std::size_t p = 0; (p = dump.find("\r\n", p)) != std::string::npos; p += 2) ++lines;
  EXPECT_EQ(lines, 1u + 9 + 1 + 28 + 1 + 48 + 1);
  const std::string close = "************************************************************ \r\n";
  EXPECT_TRUE(EndsWith(dump, close));
}

// ---- Many ports at once --------------------------------------------------------

TEST_F(PortReport, TwentyFourPortsWriteEveryRecordOnce) {
  constexpr int kPorts = 24;
  constexpr int kRecords = 100;
  std::vector<std::thread> threads;
  for (int slot = 1; slot <= kPorts; ++slot)
    threads.emplace_back([slot] {
      // Drive numbers no back end claims: the fail report's card read fails quietly.
      CPortDevice d(100 + slot, 1, slot, "D:\\Log", nullptr, nullptr);
      d.WriteReport("START", true);
      for (int i = 0; i < kRecords; ++i) {
        d.m_SerialNumber = "SN" + std::to_string(slot) + "-" + std::to_string(i);
        d.m_ErrorCode = "T_x06";
        d.m_ErrorMessage = "Power on Failed";
        d.WriteReport("record " + std::to_string(i), true);
        d.WriteFailReport();
        d.WriteReport("END", true);
        win::Sleep(1000);  // the records' keys carry the second
      }
    });
  for (auto& t : threads) t.join();

  const std::string records = "D:\\Log\\SATA_RecordSN.ini";
  const auto errorKeys = win::GetPrivateProfileKeyNames("Error List", "D:\\Log\\Error_Init.log");
  EXPECT_EQ(errorKeys.size(), static_cast<std::size_t>(kPorts * kRecords));
  for (int slot = 1; slot <= kPorts; ++slot) {
    for (const char* kind : {"PASS", "Error"}) {
      const std::string section = "Port-" + std::to_string(slot) + " " + kind;
      const auto entries = win::GetPrivateProfileSection(section, records);
      ASSERT_EQ(entries.size(), static_cast<std::size_t>(kRecords)) << section;
      std::set<std::string> serials;
      for (const auto& e : entries) serials.insert(e.substr(e.find("]=") + 2));
      EXPECT_EQ(serials.size(), static_cast<std::size_t>(kRecords)) << section;
      for (int i = 0; i < kRecords; ++i)
        EXPECT_TRUE(serials.count("SN" + std::to_string(slot) + "-" + std::to_string(i))) << section << " " << i;
    }
    const std::string report = ReadAll("D:\\Log\\D_Reports\\00-11-22-33-44-55_" + std::to_string(slot) + "_Report.txt");
    for (int i = 0; i < kRecords; ++i)
      EXPECT_NE(report.find("   record " + std::to_string(i) + " \r\n[ Fail ]  Error Message : Power on Failed \r\n"),
                std::string::npos);
  }
}

}  // namespace

namespace {
TEST_F(PortReport, SerialThatCannotStandInAProfileLineKeepsItsRecords) {
  auto d = Device();
  d->WriteReport("START", true);
  d->m_SerialNumber = "A=B\r\nC";
  d->m_ErrorCode = "M_x04";
  d->m_ErrorMessage = "m";
  tester_->failNext = 1;
  d->m_Command->PowerResetTester(32);
  const win::SYSTEMTIME t = NowLocal();
  d->WriteFailReport();
  d->WriteReport("END", true);
  EXPECT_EQ(win::GetPrivateProfileString(std::string("Error List"), KeyOf(t) + "   SlotNo:03   SN:A_B__C", "",
                                         "D:\\Log\\Error_Init.log"), "0x103:m");
  EXPECT_EQ(win::GetPrivateProfileString(std::string("Port-3 Error"), KeyOf(t), "", "D:\\Log\\SATA_RecordSN.ini"),
            "A=B__C");
  EXPECT_EQ(win::GetPrivateProfileString(std::string("Port-3 PASS"), KeyOf(t), "", "D:\\Log\\SATA_RecordSN.ini"),
            "A=B__C");
}
}  // namespace
