#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "device/ModuleFolder.h"
#include "device/PortDevice.h"
#include "device/ErrorLog.h"
#include "device/Folders.h"
#include "engine/PortJob.h"
#include "engine/RunLogHeaders.h"
#include "engine/RunTotals.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/MessageBox.h"
#include "tests/platform/TempDir.h"
#include "tests/support/RecordChecks.h"
#include "tests/support/ScratchFolder.h"

namespace {

using kxtest::Has;
using Lines = std::vector<std::string>;

const char kWorkOrder[] = "D:\\WO\\WO_A_B.txt";
const char kFailRecord[] = "D:\\Log\\F1_FailSNRecord.log";
const char kScanFile[] = "C:\\KXMP\\Configuration\\Temp\\#3.bin";
const char kErrorColumns[] = "[Year-Month-Day Hour:Min:Sec]   SlotNo:No   SN:xxxxx=--Error_Code:Error_Msg";

// Wall milliseconds at which the local clock reads 2024-05-06 08:09:10.123.
std::int64_t LocalWallMs() {
  std::tm tm{};
  tm.tm_year = 124, tm.tm_mon = 4, tm.tm_mday = 6, tm.tm_hour = 8, tm.tm_min = 9, tm.tm_sec = 10, tm.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&tm)) * 1000 + 123;
}

// The virtual clock at LocalWallMs whose first sleep removes a file.
struct RemovingClock final : platform::IClock {
  explicit RemovingClock(std::string native) : file(std::move(native)) {}
  std::uint64_t NowMs() override { return time->NowMs(); }
  void SleepMs(std::uint64_t ms) override {
    if (!std::exchange(removed, true)) std::filesystem::remove(file);
    time->SleepMs(ms);
  }
  std::int64_t WallMs() override { return time->WallMs(); }
  std::string file;
  bool removed = false;
  std::shared_ptr<platform::IClock> time = platform::MakeVirtualClock(LocalWallMs());
};

class RunLogs : public kxtest::DeviceTestEnv {
 protected:
  void SetUp() override {
    g_TesterNumber = 0;
    kx::SetWorkOrderPath(kWorkOrder);
    MakeDirs("D:\\WO");
    SetIni(".\\param.ini", "Device Info", "ISP_MPBINCode", ".\\FW\\MP\\mp_fw.bin \t");
    job_.m_Station = 3;
    job_.m_VersionText = "V2.0a";
    job_.m_StartTime = "2024/05/06_08:00:00";
    NewDevice();
  }
  // The job's device, with no write failure noted yet.
  void NewDevice() {
    job_.m_Device = std::make_unique<CPortDevice>(7, 1, 3, "D:\\Log", &cell_, nullptr);
    CPortDevice& d = *job_.m_Device;
    d.WriteReport("START", true);
    d.m_TesterFwVersion = "3.03";
    d.m_SerialNumber = "SN0001";
    d.m_ConfiguredSerialNumber = "CFG0001";  // the run logs name this one
    d.m_StatStandByText = d.m_StatWRText = "NoRecord";
    d.m_ErrorCode = "M_x04";
    d.m_ErrorMessage = "Erase ISP Code fail!!!";
  }
  void TearDown() override { kx::SetWorkOrderPath(""); }
  static std::string Ini(const std::string& section, const std::string& key, const std::string& file) {
    return win::GetPrivateProfileString(section, key, "<none>", file);
  }
  bool ReportHas(const std::string& line) { return Has(PortReport(3), "   " + line + " \r\n"); }
  // Removes `file` each time the lock of a folder is taken, until it holds `counted`.
  static void RemoveAtEachLock(const std::string& file, const std::string& counted) {
    platform::SetLockFault([native = Native(file), counted](const std::string&, platform::LockStep step) {
      std::ifstream in(native, std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (step == platform::LockStep::Open && !Has(text, counted)) std::filesystem::remove(native);
      return 0;
    });
  }

  platform::ScopedClock clock_{platform::MakeVirtualClock(LocalWallMs())};
  kx::PageLocks locks_;
  kx::StatusCellModel cell_;
  kx::ProgressModel progress_;
  kx::TextWindowModel total_, good_, bad_;
  std::array<ITextWindow*, 3> labels_{&total_, &good_, &bad_};
  std::string resultCode_;
  std::array<std::atomic<int>, kx::kPortCount> portStates_{};
  // The job of a page whose run summary takes the station from Station.ini.
  const kx::RunSummarySources page_{".\\Station.ini", "W07"};
  CPortJob job_{1,         &locks_,      &cell_,  &progress_,   7,    3, nullptr, &labels_,
                "D:\\Log", &resultCode_, nullptr, &portStates_, page_};
};

TEST_F(RunLogs, ResultListRecordsTenFieldsForAPassAndTwelveForAFailure) {
  SetIni(".\\param.ini", "Device Info", "ISP_RDTBINCode", "C:\\FW\\RDT\\rdt.bin");
  const struct {
    const char* start;
    int station, result;
    const char* line;
  } cases[] = {
      {"2024/05/06_08:00:00", 3, 1,
       "[2024/05/06_08:00:00~08:09:10,03]=0,Tester_03,3.03,V2.0a(Normal),mp_fw.bin,SN0001,0,NoRecord,NoRecord,Pass"},
      {"2024/05/06_08:01:00", 3, 0,
       "[2024/05/06_08:01:00~08:09:10,03]=0,Tester_03,3.03,V2.0a(Normal),mp_fw.bin,SN0001,0,NoRecord,NoRecord,Fail,"
       "M_x04,Erase ISP Code fail!!!"},
      // A line break cannot stand in an INI value: the record would be lost.
      {"2024/05/06_08:02:00", 7, 0,
       "[2024/05/06_08:02:00~08:09:10,03]=0,Tester_03,3.03,V2.0a(Normal),rdt.bin,SN0001,0,NoRecord,NoRecord,Fail,"
       "M_x04,two__lines"}};
  Lines expected;
  for (const auto& c : cases) {
    if (c.station == 7) job_.m_Device->m_ErrorMessage = "two\r\nlines";
    job_.m_StartTime = c.start;
    job_.m_Station = c.station;
    job_.WriteResultList(c.result);
    expected.push_back(c.line);
  }
  EXPECT_EQ(win::GetPrivateProfileSection("Results List", kWorkOrder), expected);
}

// Lines fed: "[Base Info]", "WorkOrder=A", "[Results List]" and the record
// (then the first Checksum line and a second record), as CRC-16/MODBUS.
TEST_F(RunLogs, ChecksumSkipsCommentsAndBlankLinesAndCoversThePreviousChecksum) {
  std::ofstream(Native(kWorkOrder), std::ios::binary) << "// made by the page\r\n\r\n[Base Info]\r\nWorkOrder=A\r\n";
  job_.WriteResultList(1);
  EXPECT_EQ(Ini("Base Info", "Checksum", kWorkOrder), "acae");
  job_.m_StartTime = "2024/05/06_08:05:00";
  job_.WriteResultList(0);
  EXPECT_EQ(Ini("Base Info", "Checksum", kWorkOrder), "6635");
}

// A file's checksum: its lines joined without their ends, comments and blank
// lines left out, as CRC-16/MODBUS (check value 0x4B37 for "123456789"); 1,
// after a pause, for a file that cannot be read.
TEST_F(RunLogs, FileChecksumCoversTheLinesThatAreNeitherBlankNorComments) {
  const struct {
    const char* text;
    std::uint16_t sum;
  } rows[] = {
      {"123456789\r\n", 0x4B37},
      {"// made by the page\r\n\r\n1234\r\n56789", 0x4B37},
      {"1234\n//x\n\n56789\n", 0x4B37},
      {"/ 123456789\r\n", 0xE1A1},  // one slash is no comment
      {"", 0xFFFF},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    std::ofstream(Native(kWorkOrder), std::ios::binary | std::ios::trunc) << r.text;
    EXPECT_EQ(CPortJob::UpdateFileChecksum(kWorkOrder), r.sum);
  }
  for (const char* unreadable : {"D:\\WO\\missing.txt", "D:\\WO"}) {
    SCOPED_TRACE(unreadable);
    const std::uint64_t before = platform::Clock().NowMs();
    EXPECT_EQ(CPortJob::UpdateFileChecksum(unreadable), 1);
    EXPECT_EQ(platform::Clock().NowMs() - before, 100u);
  }
}

TEST_F(RunLogs, WorkOrderInAMissingFolderIsReportedAndFailsTheRecords) {
  kx::SetWorkOrderPath("D:\\Missing\\WO_A_B.txt");
  job_.WriteResultList(1);
  EXPECT_TRUE(ReportHas("Result list record not written"));
  EXPECT_EQ(job_.m_Device->m_WriteFailError, win::ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(Exists("D:\\Missing"));
}

const char kNewWorkOrder[] = "[Base Info]\r\nWorkOrder=A\r\n[Results List]\r\n";

TEST_F(RunLogs, RecordAndItsChecksumReplaceTheFileInOneWrite) {
  std::ofstream(Native(kWorkOrder), std::ios::binary) << kNewWorkOrder;
  int replacements = 0;
  platform::SetWriteFault([&](const std::string& path) -> win::DWORD {
    replacements += path == Native(kWorkOrder);
    return 0;
  });
  for (int result : {1, 0, 1}) job_.WriteResultList(result);
  platform::SetWriteFault({});
  EXPECT_EQ(replacements, 3);
  EXPECT_TRUE(kxtest::ResultListFits(ReadAll(kWorkOrder))) << ReadAll(kWorkOrder);
}

TEST_F(RunLogs, FullDiskLeavesTheResultListWholeAndTheFailureKnown) {
  std::ofstream(Native(kWorkOrder), std::ios::binary) << kNewWorkOrder;
  job_.WriteResultList(1);
  const std::string before = ReadAll(kWorkOrder);
  platform::DebugCapture debug;
  platform::SetWriteFault([](const std::string& path) -> win::DWORD {
    return kxtest::EndsWith(path, "WO_A_B.txt") ? win::ERROR_DISK_FULL : 0;
  });
  job_.m_StartTime = "2024/05/06_08:05:00";
  job_.WriteResultList(1);
  platform::SetWriteFault({});
  EXPECT_EQ(ReadAll(kWorkOrder), before);
  EXPECT_TRUE(ReportHas("Result list record not written"));
  EXPECT_EQ(job_.m_Device->m_WriteFailPath, kWorkOrder);
  EXPECT_EQ(job_.m_Device->m_WriteFailError, 112u);
  EXPECT_TRUE(Has(debug.All(), "Port-3: D:\\WO\\WO_A_B.txt not written, OS LastError 112")) << debug.All();
}

// Both start and end in one second on one slot: the second record waits for
// the next second instead of replacing the first.
TEST_F(RunLogs, TwoJobsOfOneSlotInOneSecondKeepBothRecords) {
  std::ofstream(Native(kWorkOrder), std::ios::binary) << kNewWorkOrder;
  platform::Clock().SleepMs(500);  // 08:09:10.623
  const std::uint64_t before = platform::Clock().NowMs();
  job_.WriteResultList(1);
  job_.WriteResultList(0);
  EXPECT_EQ(win::GetPrivateProfileKeyNames("Results List", kWorkOrder),
            (Lines{"[2024/05/06_08:00:00~08:09:10,03]", "[2024/05/06_08:00:00~08:09:11,03]"}));
  EXPECT_EQ(platform::Clock().NowMs() - before, 377u);  // to 08:09:11.000, no further
  EXPECT_TRUE(kxtest::ResultListFits(ReadAll(kWorkOrder)));
}

// The parent stands in for a writer between its read and its write; the
// child's write must wait for it, whatever the timing.
TEST_F(RunLogs, AnotherProcessWaitsForTheWholeResultListWrite) {
  std::ofstream(Native(kWorkOrder), std::ios::binary) << kNewWorkOrder;
  kxtest::ForkedWriter child([this] {
    job_.m_Slot = 4;
    job_.WriteResultList(1);
    return !job_.m_Device->HasWriteFailure();
  });
  ASSERT_TRUE(child.Started());
  {
    platform::ProfileWriteLock lock(kWorkOrder);
    child.Go();
    ASSERT_TRUE(child.WaitUntilBlocked()) << "the child wrote past the lock";
    job_.WriteResultList(0);
  }
  EXPECT_EQ(child.Finish(), 0);
  const std::string text = ReadAll(kWorkOrder);
  EXPECT_EQ(kxtest::CountResultRecords(text), 2u) << text;
  EXPECT_TRUE(kxtest::ResultListFits(text)) << text;
}

TEST_F(RunLogs, CountsOfTwoProcessesAddUp) {
  job_.WriteSummaryLogs(1);
  kxtest::ForkedWriter child([this] {
    job_.WriteSummaryLogs(0);
    return true;
  });
  ASSERT_TRUE(child.Started());
  {
    platform::ProfileWriteLock lock("D:\\Log\\Total_Init.log");
    child.Go();
    ASSERT_TRUE(child.WaitUntilBlocked()) << "the child counted past the lock";
    job_.WriteSummaryLogs(1);
  }
  EXPECT_EQ(child.Finish(), 0);
  EXPECT_EQ(Ini("Total Results", "Total", "D:\\Log\\Total_Init.log"), "3");
  EXPECT_EQ(Ini("Total Results", "Good", "D:\\Log\\Total_Init.log"), "2");
  EXPECT_EQ(Ini("Total Results", "Bad", "D:\\Log\\Total_Init.log"), "1");
}

// The repeat-mode summary of a failure waits for a second of its own when the
// port's fail report took this one; lock 0, behind which every other port's
// records wait, is free by then.
TEST_F(RunLogs, TheErrorEntrysWaitLeavesThePageLockFree) {
  struct Probe : platform::IClock {
    std::shared_ptr<platform::IClock> inner;
    std::mutex* pageLock = nullptr;
    int waits = 0, heldWaits = 0;
    std::uint64_t NowMs() override { return inner->NowMs(); }
    std::int64_t WallMs() override { return inner->WallMs(); }
    void SleepMs(std::uint64_t ms) override {
      ++waits;
      bool free = false;
      std::thread([&] {
        free = pageLock->try_lock();
        if (free) pageLock->unlock();
      }).join();
      if (!free) ++heldWaits;
      inner->SleepMs(ms);
    }
  };
  auto probe = std::make_shared<Probe>();
  probe->inner = platform::MakeVirtualClock(platform::Clock().WallMs());
  probe->pageLock = &locks_[0];
  platform::ScopedClock clock(probe);
  job_.m_Device->m_SerialNumber = "CFG0001";
  job_.m_Device->WriteFailReport();
  probe->waits = 0;
  {
    std::unique_lock<std::mutex> lock(locks_[0]);
    job_.WriteSummaryLogs(0, &lock);
  }
  EXPECT_GT(probe->waits, 0) << "the entry did not wait for the next second";
  EXPECT_EQ(probe->heldWaits, 0) << "lock 0 held while waiting";
}

// Both processes fail slot 3's drive in one second: the parent's fail report
// and the child's repeat-mode entry keep one key each.
TEST_F(RunLogs, ErrorLogEntriesOfOneSecondFromTwoProcessesAreAllKept) {
  kxtest::ForkedWriter child([this] {
    job_.WriteSummaryLogs(0);
    return true;
  });
  ASSERT_TRUE(child.Started());
  {
    platform::ProfileWriteLock lock("D:\\Log\\Error_Init.log");
    child.Go();
    ASSERT_TRUE(child.WaitUntilBlocked()) << "the child wrote past the lock";
    job_.m_Device->m_SerialNumber = "CFG0001";
    job_.m_Device->WriteFailReport();
  }
  EXPECT_EQ(child.Finish(), 0);
  EXPECT_EQ(win::GetPrivateProfileSection("Error List", "D:\\Log\\Error_Init.log"),
            (Lines{kErrorColumns, "[2024-05-06 08:09:10]   SlotNo:03   SN:CFG0001=0x103:Erase ISP Code fail!!!",
                   "[2024-05-06 08:09:11]   SlotNo:03   SN:CFG0001=--M_x04"}));
}

TEST_F(RunLogs, NoWorkOrderPathWritesNothing) {
  kx::SetWorkOrderPath("");
  job_.WriteResultList(1);
  EXPECT_TRUE(ReportHas("No work order file, result list not written"));
  job_.m_Device.reset();  // a job without a device has nowhere to report
  job_.WriteResultList(0);
  EXPECT_EQ(kxtest::listNames(root_ / "work"), (Lines{"PC_MAC_Address.txt", "param.ini"}));
  EXPECT_EQ(kxtest::listNames(root_ / "drives" / "D" / "WO"), Lines{});
}

// Each mode's Total log starts whole: the page's run summary, then the pass.
TEST_F(RunLogs, FirstPassOfEachModeStartsItsOwnLogs) {
  SetIni(".\\Station.ini", "General Info", "TestStation", "MP");
  const struct {
    int mode;
    const char *total, *error;
  } cases[] = {{1, "D:\\Log\\Total_Init.log", "D:\\Log\\Error_Init.log"},
               {4, "D:\\Log\\Total_QC.log", "D:\\Log\\Error_QC.log"},
               {7, "D:\\Log\\Total_Debug.log", "D:\\Log\\Error_Debug.log"}};
  for (const auto& c : cases) {
    job_.m_Mode = c.mode;
    job_.WriteSummaryLogs(1);
    EXPECT_EQ(job_.m_ErrorLogPath, c.error);
    EXPECT_EQ(ReadAll(c.total),
              "[Time]\r\nStart Time=2024-05-06 08:09:10\r\nEnd Time=2024-05-06 08:09:10\r\n"
              "[Total Results]\r\nTotal=1\r\nGood=1\r\nBad=0\r\n"
              "[General Info]\r\nTestStation=MP\r\nWorkingNo=W07\r\nModelName=\r\nMaxCurrent=\r\nSlotNumber=\r\n"
              "NetCardID=PC\r\nMPVersion=2.0a\r\n"
              "[Flash Info]\r\nFlh_Type=\r\nFlh_MakeCode=\r\nFlh_DeviceCode=\r\nFlh_Number=\r\nFlh_Capacity=\r\n"
              "Flh_LogicalSize=\r\nFlh_ID=\r\n"
              "[Card Info]\r\nCapacity=\r\n"
              "[Device Info]\r\nControllerType=\r\nICFWVersion=\r\nSATASpeed=\r\n"
              "[Options]\r\nOnlyDoISP=\r\nSkipBuildFAT=\r\nAutoIncreseSerialNum=\r\nDDRSize=\r\n"
              "[Serial Number]\r\nLast Serial Number=CFG0001\r\n")
        << c.mode;
  }
}

TEST_F(RunLogs, FailuresCountInTheErrorLogSummaryAndLabels) {
  job_.m_FailCode = "M_x04";
  job_.WriteSummaryLogs(1);
  job_.WriteSummaryLogs(0);
  job_.WriteSummaryLogs(0);
  // The second failure of the second waits for the next one rather than replace the first.
  EXPECT_EQ(win::GetPrivateProfileSection("Error List", "D:\\Log\\Error_Init.log"),
            (Lines{kErrorColumns, "[2024-05-06 08:09:10]   SlotNo:03   SN:CFG0001=--M_x04",
                   "[2024-05-06 08:09:11]   SlotNo:03   SN:CFG0001=--M_x04"}));
  EXPECT_EQ(ReadAll("D:\\Log\\_Summary.log"),
            "[Time]\r\nStart Time=2024-05-06 08:09:10\r\nEnd Time=2024-05-06 08:09:10\r\n[Results]\r\nPass=1\r\n"
            "TotalErrorCount=2\r\n[ErrorList]\r\nErrorCode=count\r\nM_x04=2\r\n");
  EXPECT_EQ(total_.Text() + "/" + good_.Text() + "/" + bad_.Text(), "3/1/2");
  std::array<ITextWindow*, 3> partial{nullptr, nullptr, &bad_};
  job_.m_CountLabels = &partial;
  job_.WriteSummaryLogs(0);
  EXPECT_EQ(total_.Text() + "/" + bad_.Text(), "3/3");
}

// A _Summary.log removed during a run gets its header back from either writer
// of a failed pass's counts, the port job's and the pages' (AddPassTotals),
// also when it goes each time its folder's lock is taken (after any check
// that it is there) until it holds the counts; a header the disk refuses, though the counts alone would
// fit, leaves it missing and the pass not counted in it, never a log of
// counts without its header.
TEST_F(RunLogs, ASummaryLogRemovedDuringARunComesBackWholeOrNotAtAll) {
  const char kSummary[] = "D:\\Log\\_Summary.log";
  job_.m_FailCode = "M_x04";
  const struct {
    bool portJob, headerRefused, goneAtLock = false;
  } rows[] = {{true, false}, {true, true}, {false, false}, {false, true}, {true, false, true}, {false, false, true}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.portJob ? "port job" : "page") + (r.headerRefused ? ", header refused" : "") +
                 (r.goneAtLock ? ", gone at each lock" : ""));
    // Each row on its own: no failure noted before, no entry of this second in the Error log.
    for (const char* f : {kSummary, "D:\\Log\\Error_Init.log"}) std::filesystem::remove(Native(f));
    NewDevice();
    if (r.goneAtLock) RemoveAtEachLock(kSummary, "M_x04=1");
    int writes = 0;
    platform::SetWriteFault([&](const std::string& path) -> win::DWORD {
      return r.headerRefused && kxtest::EndsWith(path, "_Summary.log") && ++writes == 1 ? win::ERROR_DISK_FULL : 0;
    });
    std::string refused;  // the log named as not taking the pass
    if (r.portJob) {
      job_.WriteSummaryLogs(0);
      refused = job_.m_Device->m_WriteFailPath;
    } else {
      const std::string code = "M_x04";
      kx::PassTotals t;
      kx::AddPassTotals(&code, 1, "D:\\Log\\Total_Init.log", kSummary, "2024-05-06 08:09:10", t);
      if (!t.refused.empty()) refused = t.refused[0].first;
    }
    platform::SetWriteFault({});
    platform::SetLockFault({});
    if (r.headerRefused) {
      EXPECT_FALSE(std::filesystem::exists(Native(kSummary)));
      EXPECT_EQ(refused, kSummary);
    } else {
      EXPECT_EQ(ReadAll(kSummary),
                "[Time]\r\nStart Time=2024-05-06 08:09:10\r\nEnd Time=2024-05-06 08:09:10\r\n"
                "[Results]\r\nPass=0\r\nTotalErrorCount=1\r\n[ErrorList]\r\nErrorCode=count\r\nM_x04=1\r\n");
      EXPECT_EQ(refused, "");
    }
  }
}

// A Total or Error log removed during a run comes back whole from the port
// job: the Total log with its page's run summary before the pass's counts, the
// Error log with its column line before the entry (the job's or its fail
// report's; no page needed), also when it goes while the entry waits for the
// next second. A header the disk refuses, though the counts or the entry
// alone would fit, leaves the log missing and named as not written; so does a
// job that no page started, which has no run summary to write.
TEST_F(RunLogs, ATotalOrErrorLogRemovedDuringARunComesBackWholeOrNotAtAll) {
  SetIni(".\\Station.ini", "General Info", "TestStation", "MP");
  const char kTotal[] = "D:\\Log\\Total_Init.log", kError[] = "D:\\Log\\Error_Init.log";
  const std::string columns = std::string("[Error List]\r\n") + kErrorColumns + "\r\n[";
  job_.m_FailCode = "M_x04";
  const struct {
    const char* what;
    const char* log;
    bool page;                 // the job has its page's run-summary sources
    bool failReport;           // the device's fail report writes, not the job's failed pass
    rlim_t room;               // the bytes a file may take; 0: any
    std::string begins, ends;  // the log's first and last bytes; empty: it stays missing
    const char* refusal;       // what names it as not written
    bool goneInWait = false;   // the log holds an entry of this second, and goes while the job's waits for the next
    bool goneAtLock = false;   // the log goes each time its folder's lock is taken, until it holds the counts
  } rows[] = {
      {"Total log", kTotal, true, false, 0,
       "[Time]\r\nStart Time=2024-05-06 08:09:10\r\nEnd Time=2024-05-06 08:09:10\r\n[Total Results]\r\nTotal=1\r\n"
       "Good=0\r\nBad=1\r\n[General Info]\r\nTestStation=MP\r\nWorkingNo=W07\r\n",
       "DDRSize=\r\n", nullptr},
      {"Total log gone at each lock", kTotal, true, false, 0,
       "[Time]\r\nStart Time=2024-05-06 08:09:10\r\nEnd Time=2024-05-06 08:09:10\r\n[Total Results]\r\nTotal=1\r\n"
       "Good=0\r\nBad=1\r\n[General Info]\r\nTestStation=MP\r\nWorkingNo=W07\r\n",
       "DDRSize=\r\n", nullptr, false, true},
      {"Total log, header refused", kTotal, true, false, 400, "", "", "Total_Init.log not written, OS LastError 112"},
      {"Total log, no page", kTotal, false, false, 0, "", "", "Total_Init.log not written, OS LastError 2"},
      {"Error log", kError, true, false, 0, columns, "   SlotNo:03   SN:CFG0001=--M_x04\r\n", nullptr},
      {"Error log, fail report, no page", kError, false, true, 0, columns,
       "   SlotNo:03   SN:SN0001= 0x103:Erase ISP Code fail!!!\r\n", nullptr},
      {"Error log, header refused", kError, true, false, 80, "", "", "Error_Init.log not written, OS LastError 112"},
      {"Error log removed while the entry waits", kError, true, false, 0, columns,
       "   SlotNo:03   SN:CFG0001=--M_x04\r\n", nullptr, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    std::filesystem::remove(Native(r.log));
    NewDevice();
    job_.m_RunSummary = r.page ? std::optional(page_) : std::nullopt;
    platform::DebugCapture debug;
    std::optional<platform::ScopedClock> removing;
    if (r.goneInWait) {
      SetIni(r.log, "Error List", "[2024-05-06 08:09:10]   SlotNo:03   SN:CFG0001", "--M_x04");
      removing.emplace(std::make_shared<RemovingClock>(Native(r.log)));
    }
    if (r.goneAtLock) RemoveAtEachLock(r.log, "Bad=1");
    {
      std::optional<kxtest::ScopedFileSizeLimit> room;
      if (r.room != 0) room.emplace(r.room);
      if (r.failReport)
        job_.m_Device->WriteFailReport();
      else
        job_.WriteSummaryLogs(0);
    }
    platform::SetLockFault({});
    if (r.begins.empty()) {
      EXPECT_FALSE(std::filesystem::exists(Native(r.log)));
      EXPECT_TRUE(Has(debug.All(), r.refusal)) << debug.All();
    } else {
      const std::string text = ReadAll(r.log);
      EXPECT_TRUE(text.starts_with(r.begins)) << text;
      EXPECT_TRUE(kxtest::EndsWith(text, r.ends)) << text;
    }
  }
}

TEST_F(RunLogs, ScanRecordsAreAppendedWholeOrNotAtAll) {
  auto record = std::make_unique<kx::BlockRecord>();
  EXPECT_TRUE(job_.WriteBlockInfoToFile(*record));
  EXPECT_TRUE(job_.WriteBlockInfoToFile(*record));
  EXPECT_EQ(std::filesystem::file_size(Native(kScanFile)), 458784u);
  bool written = true;
  platform::DebugCapture debug;
  {
    kxtest::ScopedFileSizeLimit full(500000);  // the third record fits only in part
    written = job_.WriteBlockInfoToFile(*record);
  }
  EXPECT_FALSE(written);
  EXPECT_EQ(std::filesystem::file_size(Native(kScanFile)), 458784u);
  EXPECT_TRUE(ReportHas("WriteBlockInfoToFile write file fail!!"));
  // Named as any record the disk refuses.
  EXPECT_TRUE(Has(debug.All(), std::string(kScanFile) + " not written, OS LastError 112")) << debug.All();
}

// The child is killed by the file-size limit's signal inside its append, as
// any kill could: the next append cuts the torn record off first.
TEST_F(RunLogs, AppendAfterAWriterKilledInsideItsRecordLandsOnARecordBoundary) {
  auto record = std::make_unique<kx::BlockRecord>();
  record->fill(0x11);
  ASSERT_TRUE(job_.WriteBlockInfoToFile(*record));
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const rlimit noCore{0, 0}, limit{300000, 300000};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, SIG_DFL);
    job_.WriteBlockInfoToFile(*record);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
  ASSERT_EQ(std::filesystem::file_size(Native(kScanFile)), 300000u);  // one record and a torn one
  record->fill(0x22);
  ASSERT_TRUE(job_.WriteBlockInfoToFile(*record));
  const std::string file = ReadAll(kScanFile);
  ASSERT_EQ(file.size(), 2 * kx::kBlockRecordSize);
  EXPECT_EQ(file.substr(kx::kBlockRecordSize), std::string(kx::kBlockRecordSize, '\x22'));
}

// Records that cannot be written are reported and leave nothing behind: on a
// drive that is not there, and where the folder's lock is refused (a file
// system without flock), which no record append may write past.
TEST_F(RunLogs, RecordsThatCannotBeWrittenAreReported) {
  const std::string moduleFolder = g_ModuleFolder;
  const struct {
    const char* what;
    std::function<void()> refuse;
    const char* scanLine;
  } rows[] = {
      {"a missing drive", [] { g_ModuleFolder = "Q:\\KXMP\\"; }, "WriteBlockInfoToFile create folder fail!!"},
      {"the folder's lock refused",
       [] {
         platform::SetLockFault(
             [](const std::string&, platform::LockStep step) { return step == platform::LockStep::Lock ? ENOLCK : 0; });
       },
       "WriteBlockInfoToFile write file fail!!"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    auto box = std::make_shared<platform::RecordingMessageBox>();
    platform::ScopedMessageBox shown(box);
    r.refuse();
    EXPECT_FALSE(job_.WriteBlockInfoToFile(kx::BlockRecord{}));
    job_.WriteSummaryCsv(job_.m_Device.get(), 1);
    platform::SetLockFault({});
    g_ModuleFolder = moduleFolder;
    EXPECT_TRUE(ReportHas(r.scanLine));
    EXPECT_EQ(box->Texts(), Lines{"Create file fail (Summary.csv)"});
    EXPECT_FALSE(Exists(kScanFile));
    EXPECT_FALSE(Exists("C:\\KXMP\\MPTestSummary\\Summary.csv"));
  }
}

TEST_F(RunLogs, StationLogCopiesAreNamedByDriveStationAndTime) {
  std::ofstream(Native("D:\\src.txt"), std::ios::binary) << "log body";
  const std::pair<int, const char*> cases[] = {{3, "#7_MP_20240506 08h09m10s123ms.txt"},
                                               {10, "#7_RMADBG_20240506 08h09m10s123ms.txt"},
                                               {11, "#7_unKnown_20240506 08h09m10s123ms.txt"}};
  for (const auto& [station, name] : cases) {
    EXPECT_TRUE(job_.MakeStationLogName("D:\\src.txt", station));
    EXPECT_EQ(ReadAll(std::string("C:\\KXMP\\Log\\") + name), "log body") << station;
  }
  EXPECT_FALSE(job_.MakeStationLogName("D:\\none.txt", 3));
}

TEST_F(RunLogs, SummaryCsvStartsWithItsHeaderAndPrintsTheCode) {
  job_.WriteSummaryCsv(job_.m_Device.get(), 1);
  job_.WriteSummaryCsv(job_.m_Device.get(), 0);
  EXPECT_EQ(ReadAll("C:\\KXMP\\MPTestSummary\\Summary.csv"),
            "Date,Cap,SN,TestResult\n20240506,,SN0001,Pass\n20240506,,SN0001,0x103\n");
}

// A record whose upload fails waits for the next call's upload.
TEST_F(RunLogs, FailSerialCounterWrapsAndWaitingRecordsAreUploaded) {
  SetIni(kFailRecord, "Serial Number", "Last Serial Number", "9999");
  SetIni(".\\param.ini", "General Info", "WorkingNo", "WN01");
  job_.WriteFailSNRecord();  // SetServerPath empty: P:, not there yet
  EXPECT_EQ(Ini("Fail_SN_Mapping_Table", "xxxx9999", kFailRecord), "SN0001,M_x04");
  EXPECT_TRUE(kxtest::EndsWith(cell_.GetWindowText(), "*xxxx9999"));
  EXPECT_EQ(win::GetPrivateProfileSection("WaitForUpload", kFailRecord), Lines{"Wait_0000=xxxx9999"});
  MakeDirs("P:\\");
  job_.m_Device->m_SerialNumber = "SN0002";
  job_.WriteFailSNRecord();
  EXPECT_EQ(Ini("Serial Number", "Last Serial Number", kFailRecord), "0001");
  EXPECT_EQ(kxtest::listNames(root_ / "drives" / "P" / "FailSNLog"),
            (Lines{"WN01_xxxx0000_SN0002.log", "WN01_xxxx9999_SN0001.log"}));
  EXPECT_EQ(Ini("Fail_SN_Mapping_Table", "xxxx0000", "P:\\FailSNLog\\WN01_xxxx0000_SN0002.log"), "SN0002,M_x04");
  EXPECT_EQ(win::GetPrivateProfileKeyNames("WaitForUpload", kFailRecord), Lines{});
}

// A fail serial whose record could not be written is not handed out: the cell
// does not show it and the refusal is the port's lost record.
TEST_F(RunLogs, AFailSerialNotOnRecordIsNotShown) {
  SetIni(kFailRecord, "Serial Number", "Last Serial Number", "0005");
  platform::SetWriteFault([](const std::string& path) -> win::DWORD {
    return kxtest::EndsWith(path, "F1_FailSNRecord.log") ? win::ERROR_DISK_FULL : 0;
  });
  cell_.SetWindowText("");
  job_.WriteFailSNRecord();
  platform::SetWriteFault({});
  EXPECT_FALSE(Has(cell_.GetWindowText(), "xxxx0005")) << cell_.GetWindowText();
  EXPECT_TRUE(job_.m_Device->HasWriteFailure());
  EXPECT_EQ(Ini("Serial Number", "Last Serial Number", kFailRecord), "0005");
}

// Another process uploads the same waiting record meanwhile, drops its mark and
// gives the key to its next record: that record stays waiting.
TEST_F(RunLogs, AnUploadDropsOnlyTheMarkItUploaded) {
  SetIni(kFailRecord, "Serial Number", "Last Serial Number", "0005");
  MakeDirs("P:\\");
  const std::string record = Native(kFailRecord);
  platform::SetWriteFault([&record](const std::string& path) -> win::DWORD {
    if (!kxtest::EndsWith(path, "_xxxx0005_SN0001.log")) return 0;
    std::string text = kxtest::DeviceTestEnv::ReadAll(kFailRecord);  // the other process's change, lock-free
    const std::string mark = "Wait_0000=xxxx0005";
    if (const auto at = text.find(mark); at != std::string::npos) text.replace(at, mark.size(), "Wait_0000=xxxx0006");
    std::ofstream(record, std::ios::binary) << text;
    return 0;
  });
  job_.WriteFailSNRecord();
  platform::SetWriteFault({});
  EXPECT_EQ(win::GetPrivateProfileSection("WaitForUpload", kFailRecord), Lines{"Wait_0000=xxxx0006"});
}

// On a disk with room for one small file each header is still written whole:
// every key in one replacement of the file, byte for byte as the key-by-key
// profile writes made it (the factory tools read these files).
TEST_F(RunLogs, HeadersAreWholeOnADiskWithRoomForOneSmallFile) {
  MakeDirs("D:\\H");
  SetIni(".\\Station.ini", "General Info", "TestStation", "MP");
  SetIni(".\\param.ini", "General Info", "WorkingNo", "W01");
  SetIni(".\\param.ini", "General Info", "ModelName", "KX-512");
  SetIni(".\\param.ini", "Flash Info", "Flh_Capacity", "512");
  SetIni(".\\param.ini", "Device Info", "ControllerType", "KX7410-B");
  SetIni(".\\param.ini", "Options", "DDRSize", "1234567890123");  // read into 10 characters
  SetIni(".\\PC_MAC_Address.txt", "PC Info", "MAC_Address", "00-11-22-33-44-55");
  std::map<std::string, int> writes;
  platform::SetWriteFault([&writes](const std::string& path) -> win::DWORD {
    return ++writes[path] > 1 ? win::ERROR_DISK_FULL : 0;
  });
  const char now[] = "2024-05-06 08:09:10";
  EXPECT_EQ(kx::WriteRunSummary("D:\\H\\Total_Init.log", {".\\Station.ini", ""}, now), 0u);
  EXPECT_EQ(kx::WriteErrorLogHeader("D:\\H\\Error_Init.log"), 0u);
  EXPECT_EQ(kx::WriteSummaryLogHeader("D:\\H\\_Summary.log", now), 0u);
  platform::SetWriteFault({});
  EXPECT_EQ(ReadAll("D:\\H\\Total_Init.log"),
            "[Time]\r\nStart Time=2024-05-06 08:09:10\r\nEnd Time=2024-05-06 08:09:10\r\n"
            "[Total Results]\r\nTotal=0\r\nGood=0\r\nBad=0\r\n"
            "[General Info]\r\nTestStation=MP\r\nWorkingNo=W01\r\nModelName=KX-512\r\nMaxCurrent=\r\nSlotNumber=\r\n"
            "NetCardID=00-11-22-33-44-55\r\nMPVersion=2.0a\r\n"
            "[Flash Info]\r\nFlh_Type=\r\nFlh_MakeCode=\r\nFlh_DeviceCode=\r\nFlh_Number=\r\nFlh_Capacity=512\r\n"
            "Flh_LogicalSize=\r\nFlh_ID=\r\n"
            "[Card Info]\r\nCapacity=512\r\n"
            "[Device Info]\r\nControllerType=KX7410-B\r\nICFWVersion=\r\nISP_CodeVersion=\r\n"
            "ISP_MPBINCode=.\\FW\\MP\\mp_fw.bin\r\nSATASpeed=\r\n"
            "[Options]\r\nOnlyDoISP=\r\nSkipBuildFAT=\r\nAutoIncreseSerialNum=\r\nDDRSize=123456789\r\n");
  EXPECT_EQ(ReadAll("D:\\H\\Error_Init.log"),
            "[Error List]\r\n[Year-Month-Day Hour:Min:Sec]   SlotNo:No   SN:xxxxx=--Error_Code:Error_Msg\r\n");
  EXPECT_EQ(ReadAll("D:\\H\\_Summary.log"),
            "[Time]\r\nStart Time=2024-05-06 08:09:10\r\nEnd Time=\r\n[Results]\r\nPass=0\r\nTotalErrorCount=0\r\n"
            "[ErrorList]\r\nErrorCode=count\r\n");
}

// What a working number may hold, as one rule: each number the rule passes
// makes its log folder and work-order file as the page names them; of those it
// refuses, the ones with a separator or too long a name are shown to lose the
// work-order file there (every port's record would fail), the others to name
// no file of their own (a control character, "." and "..").
TEST(WorkingNumbers, ThoseThatCannotBePartOfTheLogFilesNamesAreRefusedSayingWhy) {
  kxtest::ScratchFolder scratch("WorkingNumbers");
  const std::string pc = "STATION-07";
  const std::string longest(255 - std::string("WO__STATION-07.txt").size(), 'W');
  const struct {
    std::string workingNo;
    std::string why;  // empty: accepted
    bool workOrderFails = false;
  } rows[] = {
      {"W01", ""},
      {"WO-2024_05.A", ""},
      {"Lot 7 rev.2", ""},
      {"...", ""},
      {".W01", ""},
      {"a..b", ""},
      {"W#1 (A+B)", ""},
      {"\xB2\xE2\xCA\xD4", ""},  // CP936 text
      {"", ""},
      {longest, ""},
      {"A/B", "it holds \"/\", which the paths take for a folder separator", true},
      {"A\\B", "it holds \"\\\", which the paths take for a folder separator", true},
      {"A\tB", "it holds the control character 0x09"},
      {std::string("A\0B", 3), "it holds the control character 0x00"},
      {"A\x7F", "it holds the control character 0x7F"},
      {"\x1B[31m", "it holds the control character 0x1B"},
      {".", "\".\" names the folder it stands in, not a name of its own"},
      {"..", "\"..\" names the folder above, not a name of its own"},
      {longest + "W",
       "the work-order file's name, WO_<WorkingNo>_STATION-07.txt, would be 256 bytes long, more than the 255 a file "
       "name may have",
       true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.workingNo.size() < 40 ? r.workingNo : std::to_string(r.workingNo.size()) + " bytes");
    EXPECT_EQ(kx::WorkingNoFault(r.workingNo, pc), r.why);
    const std::string folder = ".\\" + r.workingNo + "_" + pc;
    const std::string workOrder = folder + "\\" + kx::WorkOrderFileName(r.workingNo, pc);
    if (r.why.empty() || r.workOrderFails) {
      ASSERT_NE(kx::MakeDirectoryPath(folder + "\\D_Reports\\"), 0);
      EXPECT_EQ(win::WritePrivateProfileString("Base Info", "WorkOrder", "x", workOrder.c_str()) != win::FALSE,
                !r.workOrderFails);
    }
    if (r.why.empty()) {
      const std::filesystem::path native = platform::MapPath(workOrder);
      EXPECT_TRUE(std::filesystem::is_regular_file(native));
      EXPECT_EQ(native.parent_path().filename().string(), r.workingNo + "_" + pc);
    }
  }
}

}  // namespace
