// The legacy run logs and the log folder, headless in a scratch folder.
#include "device/ModuleFolder.h"
#include "engine/EngineGlobals.h"
#include "legacy/LegacyShared.h"
#include "platform/Clock.h"
#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/Profile.h"
#include "tests/legacy/FakePage.h"
#include "tests/support/RecordChecks.h"

namespace {

using Codes = legacy::CFirstPropertyPage::ResultCodes;

class RunLogs : public kxtest::PageTest {
 protected:
  RunLogs() {
    MakeDirs(".\\L");
    page_.m_LogFolder = ".\\L";
    page_.m_RunKind = 4;
    codes_.fill("H_F8");
  }
  static std::string Get(const char* section, const char* key, const char* file) {
    return win::GetPrivateProfileString(section, key, "<none>", file);
  }
  legacy::CFirstPropertyPage page_{view_, services_};
  Codes codes_;
};

TEST_F(RunLogs, TwentyFourPortsWithTwoSkippedAndTwoFailed) {
  for (int i = 0; i < 20; ++i) codes_[i] = "0_00";
  codes_[20] = codes_[21] = "H_AF";
  codes_[22] = "M_x04";
  codes_[23] = "S_x01";
  page_.WriteRunTotals(codes_);
  EXPECT_EQ(Get("Total Results", "Total", ".\\L\\Total_QC.log"), "22");
  EXPECT_EQ(Get("Total Results", "Good", ".\\L\\Total_QC.log"), "20");
  EXPECT_EQ(Get("Total Results", "Bad", ".\\L\\Total_QC.log"), "2");
  EXPECT_EQ(Get("ErrorList", "M_x04", ".\\L\\_Summary.log"), "1");
  EXPECT_EQ(Get("ErrorList", "S_x01", ".\\L\\_Summary.log"), "1");
  EXPECT_EQ(Get("Results", "Pass", ".\\L\\_Summary.log"), "20");
  EXPECT_EQ(Get("Results", "TotalErrorCount", ".\\L\\_Summary.log"), "2");
  EXPECT_EQ(page_.CountBox(0).Text(), "22");
  EXPECT_EQ(page_.m_ErrorLogPath, ".\\L\\Error_QC.log");
}

// A log that refuses passes: the count boxes show what the Total log holds,
// and a box names the file and the OS error once.
TEST_F(RunLogs, APassThatALogRefusesIsNamedOnce) {
  const struct {
    const char *refused, *counts;
  } rows[] = {{"Total_QC.log", "1/1/0"}, {"_Summary.log", "5/3/2"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.refused);
    for (const char* log : {".\\L\\Total_QC.log", ".\\L\\_Summary.log"}) std::filesystem::remove(Native(log));
    services_.boxes.clear();
    codes_.fill("H_F8");
    codes_[0] = "0_00";
    page_.WriteRunTotals(codes_);
    platform::SetWriteFault([&r](const std::string& path) -> win::DWORD {
      return kxtest::EndsWith(path, r.refused) ? win::ERROR_DISK_FULL : 0;
    });
    codes_[1] = "M_x04";
    page_.WriteRunTotals(codes_);
    page_.WriteRunTotals(codes_);
    platform::SetWriteFault({});
    EXPECT_EQ(page_.CountBox(0).Text() + "/" + page_.CountBox(1).Text() + "/" + page_.CountBox(2).Text(), r.counts);
    ASSERT_EQ(services_.boxes.size(), 1u);
    EXPECT_EQ(services_.boxes[0].text, std::string("The pass is not counted in .\\L\\") + r.refused +
                                           ": OS error 112, There is not enough space on the disk.");
  }
}

TEST_F(RunLogs, CountsAccumulateAndDuplicatesCountTwice) {
  codes_[0] = codes_[1] = "M_x04";
  codes_[2] = "T_01";
  codes_[3] = "P_A01";
  codes_[4] = "P_x01";
  codes_[5] = "h_f8";  // compared with case: a failure
  page_.WriteRunTotals(codes_);
  page_.WriteRunTotals(codes_);
  EXPECT_EQ(Get("ErrorList", "M_x04", ".\\L\\_Summary.log"), "4");
  EXPECT_EQ(Get("ErrorList", "h_f8", ".\\L\\_Summary.log"), "2");
  EXPECT_EQ(Get("Total Results", "Bad", ".\\L\\Total_QC.log"), "6");
}

TEST_F(RunLogs, APassWithoutJobsMovesOnlyTheEndTimes) {
  platform::ScopedClock clock(platform::MakeVirtualClock(1780000000000));  // no second may pass between the writes
  page_.WriteRunTotals(codes_);
  EXPECT_EQ(Get("Total Results", "Total", ".\\L\\Total_QC.log"), "0");
  EXPECT_NE(Get("Time", "End Time", ".\\L\\_Summary.log"), "<none>");
  EXPECT_EQ(Get("Time", "Start Time", ".\\L\\Total_QC.log"), Get("Time", "End Time", ".\\L\\Total_QC.log"));
}

TEST_F(RunLogs, OnlyTheSlotCountsEntriesAreRead) {
  codes_.fill("0_00");
  const struct {
    int slots;
    const char* good;
  } rows[] = {{8, "8"}, {100, "56"}, {-3, "56"}};  // never beyond the 48 entries
  for (const auto& r : rows) {
    page_.m_SlotNumber = r.slots;
    page_.WriteRunTotals(codes_);
    EXPECT_EQ(Get("Results", "Pass", ".\\L\\_Summary.log"), r.good) << r.slots;
  }
}

TEST_F(RunLogs, LogNamesByRunKind) {
  const struct {
    int kind;
    const char* log;
  } rows[] = {{1, ".\\L\\Total_Init.log"}, {4, ".\\L\\Total_QC.log"}, {0, ".\\L\\Total_Debug.log"}};
  for (const auto& r : rows) {
    page_.m_RunKind = r.kind;
    page_.WriteRunTotals(codes_);
    EXPECT_EQ(page_.m_TotalLogPath, r.log);
    EXPECT_TRUE(Exists(r.log)) << r.log;
  }
}

TEST_F(RunLogs, NewTotalLogCopiesTheSettings) {
  SetIni(".\\param.ini", "Flash Info", "Flh_Capacity", " 2048 ");
  SetIni(".\\param.ini", "Device Info", "ISP_MPBINCode", "MP.bin");
  SetIni(".\\param.ini", "Options", "SkipBuildFAT", "123456789012");
  SetIni(".\\param.ini", "General Info", "TestStation", "QC");
  SetIni(".\\PC_MAC_Address.txt", "PC Info", "MAC_Address", "001A2B3C4D5E");
  legacy::SetWorkingNumber("W99");
  page_.WriteRunSummary(".\\L\\T.log");
  legacy::SetWorkingNumber("");
  EXPECT_EQ(Get("General Info", "WorkingNo", ".\\L\\T.log"), "W99");
  EXPECT_EQ(Get("General Info", "TestStation", ".\\L\\T.log"), "QC");
  EXPECT_EQ(Get("Card Info", "Capacity", ".\\L\\T.log"), "2048");
  EXPECT_EQ(Get("Options", "SkipBuildFAT", ".\\L\\T.log"), "123456789");
  EXPECT_EQ(Get("General Info", "NetCardID", ".\\L\\T.log"), "001A2B3C4D5E");
  EXPECT_EQ(Get("General Info", "MPVersion", ".\\L\\T.log"), "2.0a");
  EXPECT_EQ(Get("Device Info", "ISP_MPBINCode", ".\\L\\T.log"), "MP.bin");
  SetIni(".\\param.ini", "Device Info", "ControllerType", "KX9000");
  page_.WriteRunSummary(".\\L\\U.log");
  EXPECT_EQ(Get("Device Info", "ISP_MPBINCode", ".\\L\\U.log"), "<none>");
}

// ---- log folders ----

class LogFolders : public RunLogs {
 protected:
  LogFolders() { g_ModuleFolder = "/opt/kxmp/"; }
};

TEST_F(LogFolders, FolderFromTheWorkingNumberAndTheComputerName) {
  page_.PrepareLogFolders();
  EXPECT_EQ(page_.m_LogFolder, ".\\W01_PC7");
  for (const char* sub : {".\\W01_PC7\\D_Reports", ".\\W01_PC7\\Fail_Log", ".\\W01_PC7\\Pass_Log"})
    EXPECT_TRUE(Exists(sub)) << sub;
  EXPECT_FALSE(Exists(".\\W01_PC7\\Current"));
  EXPECT_EQ(kx::WorkOrderPath(), ".\\W01_PC7\\WO_W01_PC7.txt");
  EXPECT_EQ(Get("Global_Setting", "SN_Log_Path", "C:\\SATA_Setting.ini"), "");
}

TEST_F(LogFolders, ConfiguredPathAndAnEmptyWorkingNumber) {
  SetIni(".\\param.ini", "Log Path", "SetLogFolderPath", "D:\\Logs");
  page_.PrepareLogFolders();
  EXPECT_EQ(page_.m_LogFolder, "D:\\Logs\\W01");
  SetIni(".\\param.ini", "Log Path", "SetLogFolderPath", "");
  SetIni(".\\param.ini", "General Info", "WorkingNo", "");
  page_.PrepareLogFolders();
  EXPECT_EQ(page_.m_LogFolder, ".\\_PC7");
}

TEST_F(LogFolders, SecondCallKeepsTheSummaryAndRenewsTheSerialNumbers) {
  SetIni(".\\param.ini", "General Info", "SerialNum", "1234567");
  page_.PrepareLogFolders();
  const char kRecord[] = ".\\W01_PC7\\SATA_RecordSN.ini", kSummary[] = ".\\W01_PC7\\_Summary.log";
  EXPECT_EQ(Get("Serial Number", "Start Serial Number", kRecord), "01234567");
  EXPECT_EQ(Get("ErrorList", "ErrorCode", kSummary), "count");
  SetIni(kSummary, "Results", "Pass", "5");
  SetIni(kRecord, "Serial Number", "Last Serial Number", "X");
  SetIni(kRecord, "Tester-3 PASS", "[Year-Month-Day-Hour-Minute-Second]", "kept");
  const std::size_t rows = kxtest::CountLines(ReadAll(kRecord));
  page_.PrepareLogFolders();
  EXPECT_EQ(Get("Results", "Pass", kSummary), "5");
  EXPECT_EQ(Get("Serial Number", "Last Serial Number", kRecord), "");
  EXPECT_EQ(Get("Tester-3 PASS", "[Year-Month-Day-Hour-Minute-Second]", kRecord), "kept");
  EXPECT_EQ(kxtest::CountLines(ReadAll(kRecord)), rows);
}

// A second station prepares the shared log folder while the first, which found
// the logs missing, writes their headers and adds a pass: the second writes no
// header over them.
TEST_F(LogFolders, HeadersGoOnlyIntoMissingLogs) {
  page_.PrepareLogFolders();
  const char kTotal[] = ".\\W01_PC7\\Total_QC.log", kSummary[] = ".\\W01_PC7\\_Summary.log";
  page_.m_TotalLogPath = kTotal;
  page_.m_ErrorLogPath = ".\\W01_PC7\\Error_QC.log";
  std::filesystem::remove(Native(kSummary));
  kxtest::ForkedWriter child([this] {
    page_.PrepareLogFolders();
    return true;
  });
  ASSERT_TRUE(child.Started());
  {
    platform::ProfileWriteLock lock(kSummary);
    child.Go();
    ASSERT_TRUE(child.WaitUntilBlocked()) << "the child wrote past the lock";
    codes_[0] = "0_00";
    page_.WriteRunTotals(codes_);
  }
  EXPECT_EQ(child.Finish(), 0);
  EXPECT_EQ(Get("Total Results", "Total", kTotal), "1");
  EXPECT_EQ(Get("Results", "Pass", kSummary), "1");
}

TEST_F(LogFolders, StartSerialNumberFromTheLastSn) {
  const struct {
    const char *lastSn, *start;
  } rows[] = {{"ABCD12345678", "12345678"}, {"AB", "AB"}};
  for (const auto& r : rows) {
    SetIni("C:\\SATA_Setting.ini", "Global_Setting", "Last SN", r.lastSn);
    page_.PrepareLogFolders();
    EXPECT_EQ(Get("Serial Number", "Start Serial Number", ".\\W01_PC7\\SATA_RecordSN.ini"), r.start);
  }
}

TEST_F(LogFolders, WithoutAProgramFolderNoSerialSettingsFileIsMade) {
  g_ModuleFolder.clear();
  page_.PrepareLogFolders();
  EXPECT_FALSE(Exists("C:\\SATA_Setting.ini"));
  EXPECT_EQ(page_.m_SnSettingsPath, "");
  EXPECT_TRUE(Exists(".\\W01_PC7\\Pass_Log"));
}

TEST_F(LogFolders, RunLogHeadersOnlyOnceTheRunLogsAreNamed) {
  page_.PrepareLogFolders();
  EXPECT_FALSE(Exists(".\\W01_PC7\\Total_QC.log"));
  page_.m_TotalLogPath = ".\\W01_PC7\\Total_QC.log";
  page_.m_ErrorLogPath = ".\\W01_PC7\\Error_QC.log";
  page_.PrepareLogFolders();
  EXPECT_EQ(Get("Total Results", "Total", ".\\W01_PC7\\Total_QC.log"), "0");
  EXPECT_EQ(Get("Error List", "[Year-Month-Day Hour:Min:Sec]   SlotNo:No   SN:xxxxx", ".\\W01_PC7\\Error_QC.log"),
            "--Error_Code:Error_Msg");
}

TEST_F(LogFolders, SaveCurrentOneMakesTheCurrentFolder) {
  for (const char* value : {"2", "1"}) {
    SetIni(".\\param.ini", "Log", "save_current", value);
    page_.PrepareLogFolders();
    EXPECT_EQ(Exists(".\\W01_PC7\\Current"), value[0] == '1') << value;
  }
}

TEST_F(LogFolders, WorkOrderFileWithoutAMacFile) {
  std::filesystem::remove(Native(".\\PC_MAC_Address.txt"));
  page_.PrepareLogFolders();
  EXPECT_EQ(page_.m_WorkOrderText, "W01\\\\\\");
  EXPECT_TRUE(kxtest::Has(ReadAll(".\\W01_PC7\\WO_W01_PC7.txt"), "W01\\\\\\"));
  EXPECT_EQ(Get("Base Info", "WorkOrder", ".\\W01_PC7\\WO_W01_PC7.txt"), "W01");
}

TEST_F(LogFolders, ASharedWorkingNumberIsWrittenToTheParameterFile) {
  legacy::SetWorkingNumber("W77");
  page_.PrepareLogFolders();
  legacy::SetWorkingNumber("");
  EXPECT_EQ(Get("General Info", "WorkingNo", ".\\param.ini"), "W77");
  EXPECT_EQ(page_.m_LogFolder, ".\\W77_PC7");
}

}  // namespace
