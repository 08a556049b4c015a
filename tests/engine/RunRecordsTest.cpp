// The records of whole QC jobs on an emulated drive when the log disk is full
// and when the process running them is killed at random moments; MP jobs of two
// processes sharing the station folder, one killed at random moments.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "device/PortDevice.h"
#include "engine/PortJob.h"
#include "platform/Debug.h"
#include "platform/FileFaults.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/Profile.h"
#include "tests/engine/QcStation.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/MpStation.h"
#include "tests/support/RecordChecks.h"

namespace {

using kxtest::Has;
using Station = kxtest::EmulatedStation;

const std::vector<std::uint8_t>& kImage = kxtest::QcImage();
const char kWorkOrder[] = "D:\\Log\\WO_T_1.txt";
const char kRecords[] = "D:\\Log\\SATA_RecordSN.ini";
const char kErrorLog[] = "D:\\Log\\Error_QC.log";

// Runs `job` in a child process that exits with 0 when the job returns.
pid_t Spawn(const std::function<void()>& job) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    job();
    ::_exit(0);
  }
  return pid;
}

// The time one job takes in a child of its own, in microseconds; 0 when the
// child did not end normally.
std::int64_t TimeOneJob(const std::function<void()>& job) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = Spawn(job);
  int status = 0;
  if (pid <= 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 0;
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
}

struct KilledJobs : kxtest::DeviceTestEnv {
  // After a kill every INI-form file of the log folder reads back whole, the
  // result list and its checksum fit, and the next write in each folder
  // leaves no temporary file behind.
  void ExpectWholeRecords(int kill) {
    const std::filesystem::path log = Native("D:\\Log");
    for (const auto& e : std::filesystem::directory_iterator(log)) {
      const std::string name = e.path().filename().string();
      if (e.is_regular_file() && name[0] != '.') {
        EXPECT_TRUE(kxtest::IniReadsWhole(ReadAll(e.path().string()))) << name;
      }
    }
    EXPECT_TRUE(kxtest::ResultListFits(ReadAll(kWorkOrder))) << ReadAll(kWorkOrder);
    for (const char* folder : {"D:\\Log", "D:\\Log\\D_Reports", "D:\\Log\\Fail_Log"})
      ASSERT_TRUE(win::WritePrivateProfileString("Probe", "Kill", std::to_string(kill), std::string(folder) + "\\probe.ini"));
    EXPECT_EQ(kxtest::TempFilesBelow(log), std::vector<std::string>{});
  }
};

struct RunRecords : KilledJobs {
  RunRecords() {
    kxtest::PrepareQcStation();
    kx::SetWorkOrderPath(kWorkOrder);
    std::ofstream(Native(kWorkOrder), std::ios::binary) << "[Base Info]\r\nWorkOrder=T\r\n[Results List]\r\n";
  }
  ~RunRecords() override {
    platform::SetWriteFault({});
    kx::SetWorkOrderPath("");
  }
  // One QC job on a fresh drive that carries MP's info block and good mark;
  // fuseWord3 0x20000 makes it fail with "I_V01".
  void RunJob(std::uint32_t fuseWord3 = 0) {
    emu::DriveConfig c;
    c.capacitySectors = 1974672;
    c.fuseWord3 = fuseWord3;
    c.flashCode.assign(kImage.begin() + kxtest::kNormalCodeAt, kImage.end());
    station_.reset();
    station_ = std::make_unique<Station>(kxtest::Mode::TesterDirect, 1, c);
    station_->Device().m_SerialNumBase = c.serial;
    ASSERT_TRUE(station_->Device().BuildInfoBlock(false, false, nullptr, false));
    std::vector<std::uint8_t> block(station_->Device().m_InfoBlockBuilt.begin(),
                                    station_->Device().m_InfoBlockBuilt.end());
    block[511] = 0x01;
    station_->Drive().SetInfoBlockPage(0, block);
    (new CPortJob(4, &locks_, &cell_, nullptr, station_->DriveNo(), 1, nullptr, nullptr, "D:\\Log", &result_, nullptr,
                  nullptr))
        ->Run(0);
  }
  static void Refuse(const std::string& leaf) {
    platform::SetWriteFault([leaf](const std::string& path) -> win::DWORD {
      return kxtest::EndsWith(path, leaf) ? win::ERROR_DISK_FULL : 0;
    });
  }

  std::unique_ptr<Station> station_;
  kx::PageLocks locks_;
  kx::StatusCellModel cell_;
  std::string result_;
};

TEST_F(RunRecords, FullLogDiskNeverEndsAsAPass) {
  const struct {
    const char* refused;
    const char* cell;
    const char* listed;  // the result-list record's tail, empty when none is written
    bool snRecord;       // the pass entry of SATA_RecordSN.ini
  } rows[] = {
      {"SATA_RecordSN.ini", "0xFFF*SATA_RecordSN.ini OS error 112",
       ",Fail,W_F01,Record not written: D:\\Log\\SATA_RecordSN.ini, OS LastError 112", false},
      {"WO_T_1.txt", "0xFFF*WO_T_1.txt OS error 112", "", true},
      {"PC_1_Report.txt", "0xFFF*PC_1_Report.txt OS error 112",
       ",Fail,W_F01,Record not written: D:\\Log\\D_Reports\\PC_1_Report.txt, OS LastError 112", true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.refused);
    std::filesystem::remove(Native(kRecords));
    std::filesystem::remove(Native(kErrorLog));
    std::filesystem::remove(Native("D:\\Log\\D_Reports\\PC_1_Report.txt"));
    const std::string listBefore = ReadAll(kWorkOrder);
    platform::DebugCapture debug;
    // The report is refused only once the job has written into it.
    if (std::string(r.refused) != "PC_1_Report.txt") Refuse(r.refused);
    cell_.SetWindowText("");
    if (std::string(r.refused) == "PC_1_Report.txt") {
      // A full disk partway through the run: the last lines of the report are refused.
      platform::SetWriteFault([](const std::string& path) -> win::DWORD {
        return kxtest::EndsWith(path, "PC_1_Report.txt") && Has(kxtest::DeviceTestEnv::PortReport(), " QC Process Total take")
                   ? win::ERROR_DISK_FULL
                   : 0;
      });
    }
    RunJob();
    platform::SetWriteFault({});
    EXPECT_EQ(result_, "W_F01");
    EXPECT_EQ(g_PortResult[0], 0);
    EXPECT_EQ(cell_.GetWindowText(), r.cell);
    EXPECT_EQ(cell_.GetErrorCode(), "0xFFF");
    EXPECT_TRUE(Has(debug.All(), std::string(" not written, OS LastError 112"))) << debug.All();
    const std::string list = ReadAll(kWorkOrder);
    if (*r.listed) {
      EXPECT_TRUE(Has(list, r.listed)) << list;
    } else {
      EXPECT_EQ(list, listBefore);
    }
    EXPECT_EQ(Has(ReadAll(kRecords), "[Port-1 PASS]"), r.snRecord) << ReadAll(kRecords);
    EXPECT_TRUE(kxtest::ResultListFits(list));
    // The lost record is a failure on record where the files still take it.
    EXPECT_TRUE(Has(ReadAll(kErrorLog), "= 0xFFF:Record not written: ")) << ReadAll(kErrorLog);
    EXPECT_EQ(Has(ReadAll(kRecords), "[Port-1 Error]"), r.snRecord) << ReadAll(kRecords);
    if (std::string(r.refused) != "PC_1_Report.txt") {
      EXPECT_TRUE(Has(kxtest::DeviceTestEnv::PortReport(), "Error Code : 0xFFF \r\n"))
          << kxtest::DeviceTestEnv::PortReport();
    }
  }
}

// A record the log folder's lock refused (a file system without flock) fails
// the pass as a full disk does, and the port's own message, not only its fail
// block, says why the folder was not written.
TEST_F(RunRecords, ARecordTheLogFoldersLockRefusedFailsThePortSayingWhy) {
  platform::SetLockFault([](const std::string& folder, platform::LockStep step) {
    return step == platform::LockStep::Lock && kxtest::EndsWith(folder, "/Log") ? ENOLCK : 0;
  });
  RunJob();
  platform::SetLockFault({});
  EXPECT_EQ(result_, "W_F01");
  const std::string message = cell_.GetErrorMessage();
  EXPECT_EQ(message.rfind("Record not written: D:\\Log\\", 0), 0u) << message;
  EXPECT_TRUE(kxtest::EndsWith(message, ", OS LastError 167 (the folder cannot be locked: No locks available)"))
      << message;
  EXPECT_TRUE(Has(kxtest::DeviceTestEnv::PortReport(), message)) << kxtest::DeviceTestEnv::PortReport();
}

// A child runs QC jobs and is killed at seeded random moments.
TEST_F(RunRecords, KillsAtRandomMomentsLeaveWholeRecords) {
  std::mt19937 rng(20261207);
  const auto job = [this, &rng] {
    const std::uint32_t fuse = rng() % 3 == 0 ? 0x20000 : 0;
    return [this, fuse] { RunJob(fuse); };
  };
  const std::int64_t jobUs = TimeOneJob(job());
  ASSERT_GT(jobUs, 0);
  ASSERT_EQ(kxtest::CountResultRecords(ReadAll(kWorkOrder)), 1u);

  for (int kill = 0; kill < 30; ++kill) {
    SCOPED_TRACE(kill);
    std::uniform_int_distribution<std::int64_t> at(0, jobUs);
    const pid_t pid = Spawn(job());
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(at(rng)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ExpectWholeRecords(kill);
  }
}

// MP jobs on fresh drives at the MP station; each takes the next serial
// number from C:\SATA_Setting.ini.
struct MpRunRecords : KilledJobs {
  MpRunRecords() {
    MakeDirs(".\\Configuration\\System");
    kxtest::InstallMpStation();
    SetIni(".\\param.ini", "Options", "CheckBBT", "1");
    SetIni(kSerials, "Global_Setting", "Last SN", "KXA2405000000000001");
    kx::SetWorkOrderPath(kWorkOrder);
    std::ofstream(Native(kWorkOrder), std::ios::binary) << "[Base Info]\r\nWorkOrder=T\r\n[Results List]\r\n";
  }
  ~MpRunRecords() override { kx::SetWorkOrderPath(""); }
  static void RunJob(int slot) {
    Station station(kxtest::Mode::TesterDirect, slot, kxtest::MpDrive());
    kx::PageLocks locks;
    kx::StatusCellModel cell;
    std::string result;
    (new CPortJob(1, &locks, &cell, nullptr, station.DriveNo(), slot, nullptr, nullptr, "D:\\Log", &result, nullptr,
                  nullptr))
        ->Run(0);
  }
  static constexpr char kSerials[] = "C:\\SATA_Setting.ini";
};

// Each round a child on slot 1 is killed at a random moment while one on slot 2
// runs to its end. Whatever the kills cut, no serial number reaches two
// drives: each names one job's records only, and the counter lies beyond all.
TEST_F(MpRunRecords, KillsNeverGiveASerialNumberTwice) {
  const std::int64_t jobUs = TimeOneJob([] { RunJob(1); });
  ASSERT_GT(jobUs, 0);
  ASSERT_TRUE(Has(ReadAll(kWorkOrder), ",KXA2405000000000001,")) << "the first job did not pass";
  std::mt19937 rng(20261208);
  for (int kill = 0; kill < 20; ++kill) {
    SCOPED_TRACE(kill);
    std::uniform_int_distribution<std::int64_t> at(0, jobUs);
    const pid_t killed = Spawn([] { RunJob(1); });
    const pid_t other = Spawn([] { RunJob(2); });
    ASSERT_GT(killed, 0);
    ASSERT_GT(other, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(at(rng)));
    ::kill(killed, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(killed, &status, 0), killed);
    ASSERT_EQ(::waitpid(other, &status, 0), other);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ExpectWholeRecords(kill);
  }

  // The result list: one record per job, the serial number its sixth field.
  std::set<std::string> listed;
  for (const std::string& entry : win::GetPrivateProfileSection("Results List", kWorkOrder)) {
    std::vector<std::string> fields;
    std::istringstream value(entry.substr(entry.find('=') + 1));
    for (std::string field; std::getline(value, field, ',');) fields.push_back(field);
    ASSERT_GT(fields.size(), 5u) << entry;
    if (fields[5].empty()) continue;
    EXPECT_TRUE(listed.insert(fields[5]).second) << "listed twice: " << fields[5];
  }
  EXPECT_GE(listed.size(), 21u);  // the first job and every slot-2 job
  // SATA_RecordSN.ini: a serial number under one slot's sections only, in one PASS entry at most.
  std::map<std::string, std::string> slotOf;
  std::set<std::string> passed;
  for (const std::string& section : win::GetPrivateProfileSectionNames(kRecords)) {
    const std::string slot = section.substr(0, section.find(' '));
    for (const std::string& key : win::GetPrivateProfileKeyNames(section, kRecords)) {
      const std::string serial = win::GetPrivateProfileString(section, key, "", kRecords);
      if (serial.empty()) continue;
      EXPECT_EQ(slotOf.emplace(serial, slot).first->second, slot) << serial << " under two slots";
      if (kxtest::EndsWith(section, " PASS")) {
        EXPECT_TRUE(passed.insert(serial).second) << serial << " passed twice";
      }
    }
  }
  const std::string next = win::GetPrivateProfileString("Global_Setting", "Last SN", "", kSerials);
  for (const auto& [serial, slot] : slotOf) EXPECT_LT(serial, next) << "the counter gives " << serial << " again";
  for (const std::string& serial : listed) EXPECT_LT(serial, next) << "the counter gives " << serial << " again";
}

}  // namespace
