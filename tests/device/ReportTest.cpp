#include <set>
#include <thread>

#include "FakeTester.h"
#include "TestEnv.h"
#include "command/DriveCommand.h"
#include "device/ErrorCode.h"
#include "device/Format.h"
#include "device/LogFile.h"
#include "device/PortDevice.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/Memory.h"
#include "platform/MessageBox.h"

namespace {

const char kTool[] = ".\\Configuration\\System\\MPToolSetting.ini";
const char kRecords[] = "D:\\Log\\SATA_RecordSN.ini";
const std::string kStars = "************************************************************\r\n";

win::SYSTEMTIME NowLocal() {
  win::SYSTEMTIME t;
  win::GetLocalTime(&t);
  return t;
}
std::string KeyOf(const win::SYSTEMTIME& t) {
  return StrFormat("[%02d-%02d-%02d %02d:%02d:%02d]", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}
std::string Entry(const std::string& section, const std::string& key, const char* file = kRecords) {
  return win::GetPrivateProfileString(section, key, "", file);
}
using Texts = std::vector<std::string>;
using Ints = std::vector<int>;

class PortReport : public DeviceTestEnv {
 protected:
  void SetUp() override {
    DeviceTestEnv::SetUp();
    g_KX_U2A = 0;  // tester-direct: drive number = physical drive of the fake tester
    g_SataPortMode = 0;
    MakeDirs(".\\Configuration\\System");
    MakeDirs("D:\\Log\\D_Reports");
    MakeDirs("D:\\Log\\Fail_Log");
    SetIni(".\\PC_MAC_Address.txt", "PC Info", "MAC_Address", "  00-11-22-33-44-55  ");
    platform::RegisterDeviceBackend(tester_);
    FillErrorCodeMap();
  }
  void TearDown() override {
    ClearErrorCodeMap();
    platform::UnregisterDeviceBackend(tester_);
    DeviceTestEnv::TearDown();
  }
  std::unique_ptr<CPortDevice> Device(int runMode = 1, int slot = 3) {
    return std::make_unique<CPortDevice>(7, runMode, slot, "D:\\Log", nullptr, nullptr);
  }
  static std::string ReportPath(int slot = 3) {
    return "D:\\Log\\D_Reports\\00-11-22-33-44-55_" + std::to_string(slot) + "_Report.txt";
  }
  std::string Report(int slot = 3) { return ReadAll(ReportPath(slot)); }
  // The fail block of a device whose last command ended with osError.
  std::string FailBlock(CPortDevice& d, win::DWORD osError) {
    tester_->failNext = osError ? 1 : 0;
    tester_->failError = osError;
    d.m_Command->PowerResetTester(32);
    return Appended(ReportPath(), [&] { d.WriteFailReport(); });
  }

  platform::ScopedClock clock_{platform::MakeVirtualClock(1780000000000)};
  std::shared_ptr<FakeTester> tester_ = std::make_shared<FakeTester>(7);
};

// ---- Port device object --------------------------------------------------------

TEST_F(PortReport, ProductionDeviceFields) {
  SetIni(".\\param.ini", "Options", "PowerOnDelayTime", "35");
  SetIni(".\\param.ini", "Options", "DEVSLP_Control", "1");
  SetIni(".\\param.ini", "Current Check", "Statistics_StandBy", "2");
  auto d = Device(4, 5);
  EXPECT_TRUE(d->IsConstructed());
  EXPECT_EQ((Texts{d->m_PcId, d->m_SnSettingPath, d->m_ReportFolder, d->m_RecordSnPath, d->m_BinInfoFolder,
                   d->m_StatStandByText, d->m_StatWRText, d->m_BootVersion, d->m_McodeVersion}),
            (Texts{"00-11-22-33-44-55", "C:\\SATA_Setting.ini", "D:\\Log\\D_Reports\\", "D:\\Log\\SATA_RecordSN.ini",
                   "D:\\Log\\BINInfo\\", "0000", "NoRecord", "0.0", "0.0"}));
  EXPECT_EQ((Ints{static_cast<int>(d->m_PowerOnDelay), d->m_DevSlpEnable, d->m_StatStandBy, d->m_StatWR,
                  d->m_IsProduction, d->m_SwitchBoard, d->m_BinMark[0], d->m_BinMark[1], d->m_BinMark[3]}),
            (Ints{3, 1, 1, 0, 1, 1, 0x22, 0, 0x58}));
  for (const std::uint8_t* buffer : {d->m_IoBufferA, d->m_IoBufferB, d->m_IoBufferC})
    EXPECT_TRUE(buffer && reinterpret_cast<std::uintptr_t>(buffer) % 4096 == 0);  // reserved and page-aligned
  EXPECT_EQ(d->m_VolumeHandle, win::INVALID_HANDLE_VALUE);
  const std::pair<int, const char*> logs[] = {{1, "Init"}, {4, "QC"}, {7, "Debug"}};
  for (const auto& [runMode, name] : logs) {
    d = Device(runMode);
    EXPECT_EQ(d->m_ErrorLogPath, std::string("D:\\Log\\Error_") + name + ".log");
    EXPECT_EQ(d->m_TotalLogPath, std::string("D:\\Log\\Total_") + name + ".log");
  }
  d->SetLogPaths(5);
  EXPECT_EQ(d->m_Station, 5);

  SetIni(".\\param.ini", "Options", "PowerOnDelayTime", "9");
  SetIni(".\\PC_MAC_Address.txt", "PC Info", "MAC_Address", "\"   \"");
  d = Device();
  EXPECT_EQ(d->m_PowerOnDelay, 0u);
  EXPECT_FALSE(d->m_PcId.empty());  // blanks only: the computer name
  EXPECT_EQ(d->m_PcId.find(' '), std::string::npos);
}

TEST_F(PortReport, ToolDeviceHasNoPathsAndWritesNoReport) {
  CPortDevice tool(7, 11, "fw\\detect.bin", true, false);
  EXPECT_EQ((Ints{tool.m_IsProduction, CPortDevice(7, 3, "", false, true).m_IsProduction, tool.m_SwitchBoard,
                  static_cast<int>(tool.m_RegBufferSize)}),
            (Ints{1, 0, 0, 512}));
  EXPECT_EQ(tool.m_DetectFwPath + tool.m_PcId + tool.m_BootVersion, "fw\\detect.bin");
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

  auto* owned = new CPortDevice(7, 1, 3, "D:\\Log", nullptr, nullptr);
  owned->m_BbtBuffer = std::malloc(64);
  owned->DeletingDestructor(1);  // the sanitizer run reports any leak
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
  const std::string day = StrFormat("Day: (%4d\\%2d\\%2d) Time: (%2d:%2d:%2d)  SlotNo:3\r\n", t.wYear, t.wMonth,
                                    t.wDay, t.wHour, t.wMinute, t.wSecond);
  EXPECT_EQ(Report(), kStars + day + "MP ver:V1.2.3    MPBinType:MB1    RDTBinType:RB2\r\nTest Station:MP \r\n" +
                          "INI file:paramFDB.ini\r\n" + kStars);
  EXPECT_TRUE(d->m_SerialNumber.empty());

  d->WriteReport("abc", true);
  d->WriteReport("abc", false);
  d->WriteReport("100%s done", true);
  EXPECT_EQ(d->m_LastReportPath, "D:\\Log\\D_Reports\\\\00-11-22-33-44-55_3_Report.txt");
  EXPECT_TRUE(EndsWith(Report(), kStars + "   abc \r\n[ Success ] abc \r\n   100%s done \r\n"));

  SetIni(kTool, "General Info", "IniFilePath", "X\\p.ini");
  d->WriteReport("START", true);  // a second START starts the file again
  EXPECT_FALSE(Has(Report(), "abc"));
  EXPECT_TRUE(Has(Report(), "INI file:X\\p.ini\r\n"));
}

TEST_F(PortReport, EndRecordsThePassOnlyWithASerialNumber) {
  auto d = Device(1, 4);
  d->WriteReport("START", true);
  d->WriteReport("END", true);
  EXPECT_FALSE(Exists(kRecords));
  d->m_SerialNumber = "SN\r\n123";  // a line break cannot stand in an INI value
  const win::SYSTEMTIME t = NowLocal();
  d->WriteReport("END", true);
  EXPECT_TRUE(EndsWith(Report(4), StrFormat("[ End ] Time: (%2d:%2d:%2d) \r\n", t.wHour, t.wMinute, t.wSecond)));
  EXPECT_EQ(Entry("Port-4 PASS", KeyOf(t)), "SN__123");
}

TEST_F(PortReport, TempReportKeepsTheSerialAndLinesBeforeStartAreLost) {
  auto d = Device();
  d->WriteReport("early", true);
  EXPECT_FALSE(Exists(ReportPath()));
  d->m_SerialNumber = "KEEP";
  d->WriteTempReport("START", true, "");
  d->WriteTempReport("t1", false, "");
  d->WriteTempReport("t2", true, "D:\\Log\\own.txt");  // never creates the file
  EXPECT_EQ(d->m_SerialNumber, "KEEP");
  EXPECT_TRUE(Has(ReadAll("D:\\Log\\D_Reports\\00-11-22-33-44-55_3_Report_Temp.txt"), kStars + "[ Success ] t1 \r\n"));
  EXPECT_FALSE(Exists("D:\\Log\\own.txt"));
  d->WriteTempReport("START", true, "D:\\Log\\own.txt");
  d->WriteTempReport("t2", true, "D:\\Log\\own.txt");
  EXPECT_EQ(d->m_LastReportPath, "D:\\Log\\own.txt");
  EXPECT_TRUE(Has(ReadAll("D:\\Log\\own.txt"), kStars + "   t2 \r\n"));
}

TEST_F(PortReport, LogFileWritesWholeTextsOnly) {
  platform::DebugCapture capture;
  CLogFile log;
  EXPECT_EQ(log.AppendText("D:\\Log\\missing.txt", "x"), -1);
  EXPECT_FALSE(Exists("D:\\Log\\missing.txt"));
  EXPECT_EQ(log.AppendText("Q:\\nowhere\\file.txt", "x"), -1);
  EXPECT_EQ(log.WriteText("D:\\NoSuchFolder\\file.txt", "x"), -1);
  EXPECT_EQ(log.WriteText("D:\\Log\\w.txt", "ab\r\n"), 0);
  EXPECT_EQ(log.AppendText("D:\\Log\\w.txt", "cd"), 0);
  EXPECT_EQ(ReadAll("D:\\Log\\w.txt"), "ab\r\ncd");
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"ab\r\n", "cd"}));  // only what was written
}

TEST_F(PortReport, FailBlockAfterATimeOutOmitsAtaRegAndRecordsTheFailure) {
  auto d = Device();
  d->WriteReport("START", true);
  d->m_SerialNumber = "S/N:..\\x=y";
  d->m_ErrorCode = "M_x04";
  d->m_ErrorMessage = "Erase ISP Code fail!!!";
  const win::SYSTEMTIME t = NowLocal();
  EXPECT_EQ(FailBlock(*d, win::ERROR_SEM_TIMEOUT),
            "[ Fail ]  Error Message : Erase ISP Code fail!!! \r\n"
            "             Error Code : 0x103 \r\n"
            "             AP Command : [8]-[f2]-[90]-[80]-[0]-[20]-[0]-[0]-[0]-[0]-[0]-[0] \r\n"
            "             OS LastError : [ 121 ] \r\n" +
                StrFormat("[ Error End ] Time: (%2d:%2d:%2d) \r\n", t.wHour, t.wMinute, t.wSecond));
  // The serial's '=' cannot stand in a key; its path characters cannot leave Fail_Log.
  EXPECT_TRUE(Has(ReadAll("D:\\Log\\Error_Init.log"),
                  "[Error List]\r\n" + KeyOf(t) + "   SlotNo:03   SN:S/N:..\\x_y= 0x103:Erase ISP Code fail!!!\r\n"));
  EXPECT_EQ(Entry("Port-3 Error", KeyOf(t)), "S/N:..\\x=y");
  EXPECT_EQ(ReadAll("D:\\Log\\Fail_Log\\S_N___x=y(fail)_3.txt"), Report());
}

TEST_F(PortReport, FailBlockPrintsAtaRegFromAFreshCardRead) {
  auto d = Device();
  d->WriteReport("START", true);
  d->m_ErrorCode = "I_B65";
  tester_->cardReply = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0x34, 0x12, 0, 0x50, 0xAB, 0x0C};
  const std::string block = FailBlock(*d, 0);
  EXPECT_TRUE(Has(block, "             Error Code : 0x440 \r\n"));
  EXPECT_TRUE(Has(block, "             OS LastError : [ 0 ] \r\n             ATA Reg:[34][12][0][50][ab][c]\r\n"
                         "[ Error End ]"));
  EXPECT_FALSE(Has(block, "Debug Message"));
  EXPECT_TRUE(Exists("D:\\Log\\Fail_Log\\(fail)_3.txt"));  // no serial number known
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
  std::string block = FailBlock(*d, 0);
  EXPECT_TRUE(Has(block, ") \r\n[ Debug Message ] \r\n     2.5\" 5V Tester \r\n"));
  EXPECT_FALSE(Has(block, "USB Gen_"));
  EXPECT_EQ(d->m_TesterFwVersion, "3.02");
  d->m_TesterFwVersion = "3.03";
  tester_->page[484] = 4;
  EXPECT_TRUE(Has(FailBlock(*d, 0),
                  "     SATAIII V3.x, 5V+3.3V Tester \r\n     USB Gen_3, SATA Gen_2, SATA Power_On: 1  \r\n"));
  tester_->pageFails = true;
  EXPECT_FALSE(Has(FailBlock(*d, 0), "Debug Message"));
}

TEST_F(PortReport, CurrentLogsByKind) {
  auto d = Device(1, 6);
  for (int kind : {0, 0, 1, 2, 3}) d->WriteCurrentLog("k" + std::to_string(kind) + "\r\n", kind);
  EXPECT_EQ(ReadAll(".\\6_IdleCurrent.txt"), "k0\r\nk0\r\n");
  EXPECT_EQ(ReadAll(".\\6_WRCurrent.txt"), "k1\r\n");
  EXPECT_EQ(ReadAll(".\\6_BurnIn.txt"), "k3\r\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 5);  // kind 2 wrote nothing
}

// ---- Settings dump -------------------------------------------------------------

TEST_F(PortReport, SettingsDumpCopiesValuesAsTheyStand) {
  SetIni(kTool, "General Info", "BuildVersion", std::string(300, 'v'));
  SetIni(".\\param.ini", "Options", "Set Firmware Name", "FW 100%d");
  SetIni(".\\param.ini", "Device Info", "ControllerType", "Other");
  SetIni(".\\paramFDB.ini", "Options", "AutoCapacity_MaxBadPercent_4CE", "7");
  auto d = Device();
  d->WriteReport("START", true);
  const std::string dump = Appended(ReportPath(), [&] { d->WriteSettingsReport(); });
  EXPECT_EQ(dump.rfind("[MPToolSetting]\r\nBuildVersion=" + std::string(249, 'v') + " \r\nMPVerProjectName= \r\n", 0),
            0u);
  ExpectParts(dump, {"Capacity= \r\n", "[Param]\r\nISP_MPBINCode= \r\nISP_RDTBINCode= \r\nControllerType=KX7410 \r\n",
                     "Set Firmware Name=FW 100%d \r\n",
                     "_3CE= \r\nAutoCapacity_MaxBadPercent_4CE=7 \r\nAutoCapacity_MaxBadPercent_5CE= \r\n",
                     "AutoCapacity_MaxBadPercent_16CE= \r\nSetCacheSize= \r\n"});
  EXPECT_EQ(CountLines(dump), 1u + 9 + 1 + 28 + 1 + 48 + 1);
  EXPECT_TRUE(EndsWith(dump, kStars.substr(0, 60) + " \r\n"));
}

// ---- Many ports at once --------------------------------------------------------

TEST_F(PortReport, TwentyFourPortsWriteEveryRecordOnce) {
  constexpr int kPorts = 24;
  constexpr int kRecordsPerPort = 100;
  std::vector<std::thread> threads;
  for (int slot = 1; slot <= kPorts; ++slot)
    threads.emplace_back([slot] {
      // Drive numbers no back end claims: the fail report's card read fails quietly.
      CPortDevice d(100 + slot, 1, slot, "D:\\Log", nullptr, nullptr);
      d.WriteReport("START", true);
      d.m_ErrorCode = "T_x06";
      d.m_ErrorMessage = "Power on Failed";
      for (int i = 0; i < kRecordsPerPort; ++i) {
        d.m_SerialNumber = "SN" + std::to_string(slot) + "-" + std::to_string(i);
        d.WriteReport("record " + std::to_string(i), true);
        d.WriteFailReport();
        d.WriteReport("END", true);
        win::Sleep(1000);  // the records' keys carry the second
      }
    });
  for (auto& t : threads) t.join();

  EXPECT_EQ(win::GetPrivateProfileKeyNames("Error List", "D:\\Log\\Error_Init.log").size(),
            static_cast<std::size_t>(kPorts * kRecordsPerPort));
  for (int slot = 1; slot <= kPorts; ++slot) {
    for (const char* kind : {"PASS", "Error"}) {
      const std::string section = "Port-" + std::to_string(slot) + " " + kind;
      const auto entries = win::GetPrivateProfileSection(section, kRecords);
      std::set<std::string> serials, expected;
      for (const auto& e : entries) serials.insert(e.substr(e.find("]=") + 2));
      for (int i = 0; i < kRecordsPerPort; ++i) expected.insert("SN" + std::to_string(slot) + "-" + std::to_string(i));
      EXPECT_EQ(entries.size(), expected.size()) << section;
      EXPECT_EQ(serials, expected) << section;
    }
    const std::string report = Report(slot);
    for (int i = 0; i < kRecordsPerPort; ++i)
      EXPECT_TRUE(
          Has(report, "   record " + std::to_string(i) + " \r\n[ Fail ]  Error Message : Power on Failed \r\n"));
  }
}

}  // namespace
