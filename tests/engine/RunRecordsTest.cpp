// The records of whole QC jobs on an emulated drive when the log disk is full
// and when the process running them is killed at random moments.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "device/PortDevice.h"
#include "engine/PortJob.h"
#include "platform/Debug.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "tests/engine/QcStation.h"
#include "tests/support/EmulatedStation.h"
#include "tests/support/RecordChecks.h"

namespace {

using kxtest::Has;
using Station = kxtest::EmulatedStation;

const std::vector<std::uint8_t>& kImage = kxtest::QcImage();
const char kWorkOrder[] = "D:\\Log\\WO_T_1.txt";
const char kRecords[] = "D:\\Log\\SATA_RecordSN.ini";

struct RunRecords : kxtest::DeviceTestEnv {
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
  }
}

// A child runs QC jobs and is killed at seeded random moments; after each
// kill every INI-form file reads back whole, the result list and its
// checksum fit, and the next write leaves no temporary file behind.
TEST_F(RunRecords, KillsAtRandomMomentsLeaveWholeRecords) {
  auto runChild = [this](std::mt19937& rng) {
    const std::uint32_t fuse = rng() % 3 == 0 ? 0x20000 : 0;
    const pid_t pid = ::fork();
    if (pid == 0) {
      RunJob(fuse);
      ::_exit(0);
    }
    return pid;
  };
  std::mt19937 rng(20261207);
  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  const pid_t first = runChild(rng);
  ASSERT_GT(first, 0);
  ASSERT_EQ(::waitpid(first, &status, 0), first);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const auto jobUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  ASSERT_EQ(kxtest::CountResultRecords(ReadAll(kWorkOrder)), 1u);

  const std::filesystem::path log = Native("D:\\Log");
  for (int kill = 0; kill < 30; ++kill) {
    SCOPED_TRACE(kill);
    std::uniform_int_distribution<std::int64_t> at(0, jobUs.count());
    const pid_t pid = runChild(rng);
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(at(rng)));
    ::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);

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
}

}  // namespace
