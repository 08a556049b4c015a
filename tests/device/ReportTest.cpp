#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>

#include "command/DriveCommand.h"
#include "device/FileWrites.h"
#include "device/Format.h"
#include "device/LogFile.h"
#include "device/PortDevice.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/Termination.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/RecordChecks.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::EmulatedStation;
using kxtest::EndsWith;
using kxtest::Has;

const char kTool[] = ".\\Configuration\\System\\MPToolSetting.ini";
const char kRecords[] = "D:\\Log\\SATA_RecordSN.ini";
const std::string kStars = "************************************************************\r\n";

win::SYSTEMTIME NowLocal() {
  win::SYSTEMTIME t;
  win::GetLocalTime(&t);
  return t;
}
std::string KeyOf(const win::SYSTEMTIME& t) {
  return kx::StrFormat("[%02d-%02d-%02d %02d:%02d:%02d]", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}
std::string Entry(const std::string& section, const std::string& key, const char* file = kRecords) {
  return win::GetPrivateProfileString(section, key, "", file);
}

class PortReport : public kxtest::DeviceTestEnv {
 protected:
  void SetUp() override { MakeDirs(".\\Configuration\\System"); }
  std::unique_ptr<CPortDevice> Device(int runMode = 1, int slot = 3) {
    return std::make_unique<CPortDevice>(7, runMode, slot, "D:\\Log", nullptr, nullptr);
  }
  std::string Report(int slot = 3) { return kxtest::DeviceTestEnv::PortReport(slot); }
  // The fail block of the station's device after a tester reset that ended with osError.
  std::string FailBlock(EmulatedStation& s, win::DWORD osError) {
    if (osError != 0) s.FrontEnd().GetFaults().FailNext(1, osError);
    s.Device().m_Command->PowerResetTester(32);
    return Appended("D:\\Log\\D_Reports\\PC_3_Report.txt", [&] { s.Device().WriteFailReport(); });
  }

  platform::ScopedClock clock_{platform::MakeVirtualClock(1780000000000)};
};

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
  const std::string day = kx::StrFormat("Day: (%4d\\%2d\\%2d) Time: (%2d:%2d:%2d)  SlotNo:3\r\n", t.wYear, t.wMonth,
                                        t.wDay, t.wHour, t.wMinute, t.wSecond);
  EXPECT_EQ(Report(), kStars + day + "MP ver:V1.2.3    MPBinType:MB1    RDTBinType:RB2\r\nTest Station:MP \r\n" +
                          "INI file:paramFDB.ini\r\n" + kStars);
  EXPECT_TRUE(d->m_SerialNumber.empty());

  d->WriteReport("abc", true);
  d->WriteReport("abc", false);
  d->WriteReport("100%s done", true);
  EXPECT_EQ(d->m_LastReportPath, "D:\\Log\\D_Reports\\\\PC_3_Report.txt");
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
  EXPECT_TRUE(EndsWith(Report(4), kx::StrFormat("[ End ] Time: (%2d:%2d:%2d) \r\n", t.wHour, t.wMinute, t.wSecond)));
  EXPECT_EQ(Entry("Port-4 PASS", KeyOf(t)), "SN__123");
}

// Two drives through one slot within a second: the later record waits for
// the next second rather than replace the earlier one.
TEST_F(PortReport, RecordsOfOneSecondNeverReplaceEachOther) {
  EmulatedStation s(kxtest::Mode::TesterDirect, 3);
  CPortDevice& d = s.Device();
  for (const char* sn : {"A", "B"}) {
    d.m_SerialNumber = sn;
    d.WriteReport("END", true);
    d.WriteFailReport();
  }
  for (const char* section : {"Port-3 PASS", "Port-3 Error"}) {
    const auto keys = win::GetPrivateProfileKeyNames(section, kRecords);
    ASSERT_EQ(keys.size(), 2u) << section;
    EXPECT_NE(keys[0], keys[1]) << section;
    EXPECT_EQ(Entry(section, keys[0]) + Entry(section, keys[1]), "AB") << section;
  }
}

// Two processes sharing the log folder both fail slot 3 in one second before
// the serial number is known (same Error-log key): the child, held at the
// folder lock meanwhile, waits for the next second rather than replace.
TEST_F(PortReport, ErrorLogEntriesOfTwoProcessesInOneSecondAreBothKept) {
  EmulatedStation s(kxtest::Mode::TesterDirect, 3);
  CPortDevice& d = s.Device();
  d.m_SerialNumber.clear();
  d.m_ErrorCode = "M_x04";
  d.m_ErrorMessage = "child";
  kxtest::ForkedWriter child([&d] {
    d.WriteFailReport();
    return !d.HasWriteFailure();
  });
  ASSERT_TRUE(child.Started());
  const win::SYSTEMTIME t = NowLocal();
  {
    platform::ProfileWriteLock lock("D:\\Log\\Error_Init.log");
    child.Go();
    ASSERT_TRUE(child.WaitUntilBlocked()) << "the child wrote past the lock";
    d.m_ErrorMessage = "parent";
    d.WriteFailReport();
  }
  EXPECT_EQ(child.Finish(), 0);
  std::vector<std::string> entries;
  for (const auto& key : win::GetPrivateProfileKeyNames("Error List", "D:\\Log\\Error_Init.log"))
    entries.push_back(Entry("Error List", key, "D:\\Log\\Error_Init.log"));
  EXPECT_EQ(entries, (std::vector<std::string>{"--Error_Code:Error_Msg", "0x103:parent", "0x103:child"}));
  EXPECT_TRUE(Has(ReadAll("D:\\Log\\Error_Init.log"), KeyOf(t) + "   SlotNo:03   SN:= 0x103:parent\r\n"));
}

TEST_F(PortReport, RefusedWritesAreNotedOnceAndAnnounced) {
  const std::string report = "D:\\Log\\D_Reports\\PC_3_Report.txt";
  const struct {
    const char* refused;  // file the disk refuses
    bool started;
    const char* line;
    const char* noted;    // path kept by the device, empty when nothing is noted
  } rows[] = {
      {"PC_3_Report.txt", true, "line", "D:\\Log\\D_Reports\\PC_3_Report.txt"},
      {"PC_3_Report.txt", false, "START", "D:\\Log\\D_Reports\\PC_3_Report.txt"},
      {"SATA_RecordSN.ini", true, "END", kRecords},
      {"SATA_RecordSN.ini", false, "line", ""},  // a report never started loses its lines, as ever
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.refused) + " " + r.line);
    std::filesystem::remove(Native(report));
    auto d = Device();
    if (r.started) d->WriteReport("START", true);
    d->m_SerialNumber = "SN1";
    platform::DebugCapture debug;
    platform::SetWriteFault([&r](const std::string& path) -> win::DWORD {
      return EndsWith(path, r.refused) ? win::ERROR_DISK_FULL : 0;
    });
    d->WriteReport(r.line, true);
    d->WriteReport(r.line, true);
    platform::SetWriteFault({});
    EXPECT_EQ(d->m_WriteFailPath, r.noted);
    EXPECT_EQ(d->m_WriteFailError, *r.noted ? 112u : 0u);
    const std::string announced = std::string("Port-3: ") + r.noted + " not written, OS LastError 112";
    EXPECT_EQ(debug.All().find(announced) != std::string::npos, *r.noted != 0) << debug.All();
  }
}

// A record the folder's lock refused keeps its number (ERROR_LOCK_FAILED) and
// says whether another process keeps the folder: not where the system refuses
// to lock it (a file system without flock), yes where a script keeps it after
// a stop. In a child: the stop is process-wide and never cleared.
TEST_F(PortReport, ARecordTheFoldersLockRefusedSaysWhetherAnotherProcessKeepsTheFolder) {
  for (const bool script : {false, true}) {
    SCOPED_TRACE(script ? "a script keeps the folder after a stop" : "the system refuses the lock");
    auto d = Device();
    d->WriteReport("START", true);
    d->m_SerialNumber = "SN1";
    kxtest::ForkedWriter child([&] {
      if (script) {
        platform::RequestTermination();
        const int holder = ::open(Native("D:\\Log").c_str(), O_RDONLY | O_DIRECTORY);
        if (holder < 0 || ::flock(holder, LOCK_EX) != 0) return false;
      } else {
        platform::SetLockFault(
            [](const std::string&, platform::LockStep step) { return step == platform::LockStep::Lock ? ENOLCK : 0; });
      }
      platform::DebugCapture debug;
      d->WriteReport("END", true);
      std::ofstream("told.txt", std::ios::binary) << debug.All();
      std::ofstream("kept.txt", std::ios::binary) << d->WriteFailureError();
      return d->m_WriteFailPath == kRecords;
    });
    ASSERT_TRUE(child.Started());
    child.Go();
    EXPECT_EQ(child.Finish(), 0) << "the record was not the failure kept";
    std::ifstream toldFile("told.txt", std::ios::binary), keptFile("kept.txt", std::ios::binary);
    const std::string told((std::istreambuf_iterator<char>(toldFile)), std::istreambuf_iterator<char>());
    const std::string kept((std::istreambuf_iterator<char>(keptFile)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(Has(told, std::string(kRecords) + " not written, OS LastError 167")) << told;
    EXPECT_EQ(kept.rfind("OS LastError 167", 0), 0u) << kept;
    EXPECT_EQ(Has(told, "another process keeps the folder"), script) << told;
    EXPECT_EQ(Has(kept, "another process keeps the folder"), script) << kept;
    EXPECT_EQ(Has(kept, "No locks available"), !script) << kept;
  }
}

// The file keeps a number its readers read back; the write says once that it stopped.
TEST_F(PortReport, CountsStopAtTheTopOfTheirRangeAndTheWriteSaysSo) {
  const char* log = "D:\\Log\\Total_Init.log";
  SetIni(log, "Total Results", "Total", "2147483647");
  SetIni(log, "Total Results", "Good", "2147483646");
  platform::DebugCapture debug;
  std::vector<int> counts;
  EXPECT_EQ(kx::UpdateProfileKeys(log, {{"Total Results", "Total", "", 2}, {"Total Results", "Good", "", 2}}, &counts),
            0u);
  EXPECT_EQ(counts, (std::vector<int>{2147483647, 2147483647}));
  EXPECT_EQ(win::GetPrivateProfileInt("Total Results", "Total", 0, log), 2147483647u);
  EXPECT_EQ(debug.Texts(), (std::vector<std::string>{std::string(log) +
                                                     ": counts stopped at the end of their range: [Total Results] "
                                                     "Total=2147483647, [Total Results] Good=2147483647"}));
}

// A full disk refuses every line: each file is named once on standard error.
TEST_F(PortReport, EachRefusedFileIsAnnouncedOnceAJob) {
  auto d = Device();
  d->WriteReport("START", true);
  d->m_SerialNumber = "SN1";
  platform::DebugCapture debug;
  platform::SetWriteFault([](const std::string&) -> win::DWORD { return win::ERROR_DISK_FULL; });
  for (int i = 0; i < 3; ++i) {
    d->WriteReport("line", true);
    d->WriteReport("END", true);
  }
  platform::SetWriteFault({});
  for (const std::string path : {"D:\\Log\\D_Reports\\PC_3_Report.txt", kRecords}) {
    const std::string line = "Port-3: " + path + " not written, OS LastError 112";
    std::size_t count = 0;
    for (std::size_t at = 0; (at = debug.All().find(line, at)) != std::string::npos; at += line.size()) ++count;
    EXPECT_EQ(count, 1u) << debug.All();
  }
}

TEST_F(PortReport, TempReportKeepsTheSerialAndLinesBeforeStartAreLost) {
  auto d = Device();
  d->WriteReport("early", true);
  EXPECT_FALSE(Exists("D:\\Log\\D_Reports\\PC_3_Report.txt"));
  d->m_SerialNumber = "KEEP";
  d->WriteTempReport("START", true, "");
  d->WriteTempReport("t1", false, "");
  d->WriteTempReport("t2", true, "D:\\Log\\own.txt");  // never creates the file
  EXPECT_EQ(d->m_SerialNumber, "KEEP");
  EXPECT_TRUE(Has(ReadAll("D:\\Log\\D_Reports\\PC_3_Report_Temp.txt"), kStars + "[ Success ] t1 \r\n"));
  EXPECT_FALSE(Exists("D:\\Log\\own.txt"));
  d->WriteTempReport("START", true, "D:\\Log\\own.txt");
  d->WriteTempReport("t2", true, "D:\\Log\\own.txt");
  EXPECT_EQ(d->m_LastReportPath, "D:\\Log\\own.txt");
  EXPECT_TRUE(Has(ReadAll("D:\\Log\\own.txt"), kStars + "   t2 \r\n"));
}

TEST_F(PortReport, LogFileWritesWholeTextsOnly) {
  platform::DebugCapture capture;
  CLogFile log;
  EXPECT_EQ(log.AppendText("D:\\Log\\missing.txt", "x"), -1);  // never creates the file
  EXPECT_EQ(log.WriteText("D:\\NoSuchFolder\\file.txt", "x"), -1);
  EXPECT_EQ(log.WriteText("D:\\Log\\w.txt", "ab\r\n"), 0);
  EXPECT_EQ(log.AppendText("D:\\Log\\w.txt", "cd"), 0);
  EXPECT_EQ(ReadAll("D:\\Log\\w.txt"), "ab\r\ncd");
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"ab\r\n", "cd"}));  // only what was written
}

TEST_F(PortReport, FailBlockAfterATimeOutOmitsAtaRegAndRecordsTheFailure) {
  EmulatedStation s(kxtest::Mode::TesterDirect, 3);
  CPortDevice& d = s.Device();
  d.m_SerialNumber = "S/N:..\\x=y";
  d.m_ErrorCode = "M_x04";
  d.m_ErrorMessage = "Erase ISP Code fail!!!";
  const win::SYSTEMTIME t = NowLocal();
  EXPECT_EQ(FailBlock(s, win::ERROR_SEM_TIMEOUT),
            "[ Fail ]  Error Message : Erase ISP Code fail!!! \r\n"
            "             Error Code : 0x103 \r\n"
            "             AP Command : [8]-[f2]-[90]-[80]-[0]-[20]-[0]-[0]-[0]-[0]-[0]-[0] \r\n"
            "             OS LastError : [ 121 ] \r\n" +
                kx::StrFormat("[ Error End ] Time: (%2d:%2d:%2d) \r\n", t.wHour, t.wMinute, t.wSecond));
  // The serial's '=' cannot stand in a key; its path characters cannot leave Fail_Log.
  EXPECT_TRUE(Has(
      ReadAll("D:\\Log\\Error_Init.log"),
      "=--Error_Code:Error_Msg\r\n" + KeyOf(t) + "   SlotNo:03   SN:S/N:..\\x_y= 0x103:Erase ISP Code fail!!!\r\n"));
  EXPECT_EQ(Entry("Port-3 Error", KeyOf(t)), "S/N:..\\x=y");
  EXPECT_EQ(ReadAll("D:\\Log\\Fail_Log\\S_N___x=y(fail)_3.txt"), Report());
}

// Reports started again on a port's device (the next card, the next job): a
// drive with a serial number keeps one copy of its report in Fail_Log,
// replaced by each later failure, never a numbered copy; a failure without one
// never replaces the previous report's copy. A copy the disk refuses is named
// with the error, with a serial number or without.
TEST_F(PortReport, FailCopiesKeepEachReportOnceAndAreNamedWhenTheDiskRefusesThem) {
  EmulatedStation s(kxtest::Mode::TesterDirect, 3);
  CPortDevice& d = s.Device();
  d.m_ErrorCode = "M_x04";
  std::map<std::string, std::string> reports;  // by the copy's name
  for (const char* serial : {"SN1", "SN1", "", ""}) {
    d.WriteReport("START", true);
    d.m_SerialNumber = serial;
    d.WriteReport(std::to_string(reports.size()), true);
    d.WriteFailReport();
    const std::string copy = *serial                         ? "SN1(fail)_3.txt"
                             : reports.count("(fail)_3.txt") ? "(fail)_3 (1).txt"
                                                             : "(fail)_3.txt";
    reports[copy] = Report();
  }
  std::map<std::string, std::string> copies;
  for (const auto& e : std::filesystem::directory_iterator(Native("D:\\Log\\Fail_Log")))
    copies[e.path().filename().string()] = ReadAll("D:\\Log\\Fail_Log\\" + e.path().filename().string());
  EXPECT_EQ(copies, reports);
  platform::SetWriteFault(
      [](const std::string& native) -> win::DWORD { return Has(native, "/Fail_Log/") ? win::ERROR_DISK_FULL : 0; });
  for (const char* serial : {"SN2", ""}) {
    SCOPED_TRACE(serial);
    platform::DebugCapture debug;
    d.WriteReport("START", true);
    d.m_SerialNumber = serial;
    d.WriteFailReport();
    EXPECT_TRUE(Has(debug.All(), std::string("Fail_Log\\") + serial + "(fail)_3.txt not written, OS LastError 112"))
        << debug.All();
  }
  platform::SetWriteFault({});
}

TEST_F(PortReport, FailMessageWithALineBreakStillReachesTheErrorLog) {
  EmulatedStation s(kxtest::Mode::TesterDirect, 3);
  CPortDevice& d = s.Device();
  d.m_SerialNumber = "SN1";
  d.m_ErrorCode = "M_x04";
  d.m_ErrorMessage = "Read fail\r\nat LBA 0";
  const win::SYSTEMTIME t = NowLocal();
  d.WriteFailReport();
  EXPECT_TRUE(Has(ReadAll("D:\\Log\\Error_Init.log"), KeyOf(t) + "   SlotNo:03   SN:SN1= 0x103:Read fail__at LBA 0\r\n"));
}

TEST_F(PortReport, FailBlockPrintsAtaRegFromAFreshCardRead) {
  emu::DriveConfig burner;
  burner.initialCode = emu::RunningCode::Mcode;
  EmulatedStation s(kxtest::Mode::TesterDirect, 3, burner);
  std::uint8_t bin[512] = {};
  ASSERT_EQ(s.Command().SetApKey(false), 1);
  ASSERT_TRUE(s.Command().Vender_Send_Binfile(bin, 1, 0, true));  // the drive's verdict BBh in LBA high
  s.Device().m_ErrorCode = "I_B65";
  const std::string block = FailBlock(s, 0);
  EXPECT_TRUE(Has(block, "             Error Code : 0x440 \r\n"));
  EXPECT_TRUE(Has(block, "             OS LastError : [ 0 ] \r\n             ATA Reg:[0][bb][0][50][bb][0]\r\n"
                         "[ Error End ]"));
  EXPECT_FALSE(Has(block, "Debug Message"));
  EXPECT_TRUE(Exists("D:\\Log\\Fail_Log\\(fail)_3.txt"));  // no serial number known
}

TEST_F(PortReport, DebugBlockOnlyForI_I24AndNewTesterFirmware) {
  EmulatedStation s(kxtest::Mode::TesterDirect, 3, {}, {.tester = {.kind = 1, .usbGen = 3, .sataGen = 2}});
  CPortDevice& d = s.Device();
  d.m_ErrorCode = "I_I24";
  d.m_TesterFwVersion = " 3.02 ";
  EXPECT_TRUE(Has(FailBlock(s, 0), ") \r\n[ Debug Message ] \r\n     2.5\" 5V Tester \r\n"));
  EXPECT_FALSE(Has(Report(), "USB Gen_"));
  EXPECT_EQ(d.m_TesterFwVersion, "3.02");
  d.m_TesterFwVersion = "3.03";
  s.FrontEnd().Info().kind = 4;
  EXPECT_TRUE(Has(FailBlock(s, 0),
                  "     SATAIII V3.x, 5V+3.3V Tester \r\n     USB Gen_3, SATA Gen_2, SATA Power_On: 1  \r\n"));
  emu::FaultRule pageFails;
  pageFails.match.subcode = 0xA0;
  pageFails.osError = win::ERROR_IO_DEVICE;
  s.FrontEnd().GetFaults().Add(pageFails);
  EXPECT_FALSE(Has(FailBlock(s, 0), "Debug Message"));
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
  const std::string dump = Appended("D:\\Log\\D_Reports\\PC_3_Report.txt", [&] { d->WriteSettingsReport(); });
  EXPECT_EQ(dump.rfind("[MPToolSetting]\r\nBuildVersion=" + std::string(249, 'v') + " \r\nMPVerProjectName= \r\n", 0),
            0u);
  kxtest::ExpectParts(dump, {"Capacity= \r\n", "[Param]\r\nISP_MPBINCode= \r\nISP_RDTBINCode= \r\nControllerType=KX7410 \r\n",
                     "Set Firmware Name=FW 100%d \r\n",
                     "_3CE= \r\nAutoCapacity_MaxBadPercent_4CE=7 \r\nAutoCapacity_MaxBadPercent_5CE= \r\n",
                     "AutoCapacity_MaxBadPercent_16CE= \r\nSetCacheSize= \r\n"});
  EXPECT_EQ(kxtest::CountLines(dump), 1u + 9 + 1 + 28 + 1 + 48 + 1);
  EXPECT_TRUE(EndsWith(dump, kStars.substr(0, 60) + " \r\n"));
}

}  // namespace
