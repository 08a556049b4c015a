// The serial-number source: how the stored counter advances, where it is kept,
// and that port threads and processes taking numbers at once get each number once.
#include "bringup/SerialNumber.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/FolderLock.h"
#include "platform/Termination.h"
#include "tests/support/RecordChecks.h"
#include "tests/support/ScratchFolder.h"

namespace {

using SerialNumber = kxtest::DeviceTestEnv;
using kx::SnStatus;
constexpr char kFile[] = "C:\\SATA_Setting.ini";
std::string Counter() { return win::GetPrivateProfileString("Global_Setting", "Last SN", "", kFile); }

// A script's flock(1) keeping a folder while this lives: a process of another
// name, as a process of this program holding it is another station.
class ScriptFlock {
 public:
  explicit ScriptFlock(const std::filesystem::path& folder) {
    int held[2];
    if (::pipe(held) != 0 || ::pipe(end_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(end_[1]);
      ::prctl(PR_SET_NAME, "flock");
      const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
      char c = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'h' : 'x';
      if (::write(held[1], &c, 1) == 1) (void)!::read(end_[0], &c, 1);
      ::_exit(0);
    }
    char c = 0;
    holds_ = pid_ > 0 && ::read(held[0], &c, 1) == 1 && c == 'h';
    ::close(held[0]);
    ::close(held[1]);
  }
  ~ScriptFlock() {
    ::close(end_[1]);
    ::close(end_[0]);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  ScriptFlock(const ScriptFlock&) = delete;
  ScriptFlock& operator=(const ScriptFlock&) = delete;
  bool Holds() const { return holds_; }

 private:
  int end_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool holds_ = false;
};

TEST_F(SerialNumber, TakeStoresTheAdvancedCounterFirstInTheChosenFile) {
  SetIni(".\\param.ini", "General Info", "SerialNum", "1234567");
  const struct {
    const char* stored;
    const char* file;
    SnStatus status;
    const char* serial;
    const char* after;
    platform::LockStep step = platform::LockStep::Open;  // refused with `lockError` (as root, a 0333 folder opens)
    int lockError = 0;
  } rows[] = {{"KXA2405000000000099", kFile, SnStatus::Ok, "KXA2405000000000099", "KXA2405000000000100"},
              {"", kFile, SnStatus::Ok, "01234567", "01234568"},          // the parameter file's first number
              {"SN99999999", kFile, SnStatus::UsedUp, "", "SN99999999"},  // never wraps to a given number
              {"SN0000009X", kFile, SnStatus::Invalid, "", "SN0000009X"},
              {"KXA240500000000000001", kFile, SnStatus::Invalid, "", "KXA240500000000000001"},  // 21 characters
              {"", "C:\\NoFolder\\SATA_Setting.ini", SnStatus::WriteFailed, "", ""},
              {"", "", SnStatus::NoSettingsFile, "", ""},
              {"KX00000099", kFile, SnStatus::WriteFailed, "", "KX00000099", platform::LockStep::Open, EACCES},
              {"KX00000099", kFile, SnStatus::WriteFailed, "", "KX00000099", platform::LockStep::Lock, ENOLCK}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.stored);
    SetIni(kFile, "Global_Setting", "Last SN", r.stored);
    platform::SetLockFault(
        [&r](const std::string&, platform::LockStep step) { return step == r.step ? r.lockError : 0; });
    const kx::TakenSerial t = kx::TakeNextSerialNumber(r.file);
    platform::SetLockFault({});
    EXPECT_EQ(t.status, r.status);
    EXPECT_EQ(t.serial, r.serial);
    EXPECT_EQ(Counter(), r.after);
  }
  EXPECT_EQ(kx::SerialSettingsPath(kFile), kFile);
  MakeDirs(".\\Configuration\\System");
  SetIni(kx::kToolSettingIniPath, "General Info", "UseLocalSN", "1");
  EXPECT_EQ(kx::SerialSettingsPath(kFile), kx::kToolSettingIniPath);
}

TEST_F(SerialNumber, PortThreadsNeverShareOrLoseANumber) {
  SetIni(kFile, "Global_Setting", "Last SN", "KX00000001");
  std::vector<std::string> serials(240);
  std::vector<std::thread> threads;
  for (int t = 0; t < 24; ++t)
    threads.emplace_back([&serials, t] {
      for (int i = 0; i < 10; ++i) serials[t * 10 + i] = kx::TakeNextSerialNumber(kFile).serial;
    });
  for (std::thread& t : threads) t.join();
  const std::set<std::string> taken(serials.begin(), serials.end());
  EXPECT_EQ(taken.size(), 240u);
  EXPECT_EQ(*taken.begin(), "KX00000001");
  EXPECT_EQ(*taken.rbegin(), "KX00000240");
  EXPECT_EQ(Counter(), "KX00000241");
}

// The child of the two-process tests: it comes after the parent's three numbers.
bool TakesTheFourthAndFifth() {
  for (const char* expected : {"KX00000004", "KX00000005"})
    if (kx::TakeNextSerialNumber(kFile).serial != expected) return false;
  return true;
}

// The parent stands in for a process between its read and its write-back; the
// child's take must wait for it and then go on from the parent's last number.
TEST_F(SerialNumber, TwoProcessesTakeDistinctConsecutiveNumbers) {
  SetIni(kFile, "Global_Setting", "Last SN", "KX00000001");
  kxtest::ForkedWriter child(TakesTheFourthAndFifth);
  ASSERT_TRUE(child.Started());
  std::vector<std::string> taken;
  {
    platform::ProfileWriteLock lock(kFile);
    child.Go();
    ASSERT_TRUE(child.WaitUntilBlocked()) << "the child took a number past the lock";
    for (int i = 0; i < 3; ++i) taken.push_back(kx::TakeNextSerialNumber(kFile).serial);
  }
  EXPECT_EQ(child.Finish(), 0) << "the child's numbers were not KX00000004 and KX00000005";
  EXPECT_EQ(taken, (std::vector<std::string>{"KX00000001", "KX00000002", "KX00000003"}));
  EXPECT_EQ(Counter(), "KX00000006");
}

// The child, told to end while it waits for the lock a script holds, must
// not wait on: its take fails with the lock's failure, as a refused lock does.
TEST_F(SerialNumber, AWaitForTheLockGivesWayToATerminationSignal) {
  SetIni(kFile, "Global_Setting", "Last SN", "KX00000001");
  kxtest::ForkedWriter child([] {
    platform::WatchTerminationSignals([](int) {});
    const kx::TakenSerial t = kx::TakeNextSerialNumber(kFile);
    return t.status == SnStatus::WriteFailed &&
           kxtest::EndsWith(t.why, " cannot be locked: another process keeps the folder and the program is ending");
  });
  ASSERT_TRUE(child.Started());
  const ScriptFlock script(Native("C:\\"));
  ASSERT_TRUE(script.Holds());
  child.Go();
  ASSERT_TRUE(child.WaitUntilBlocked());
  child.Signal(SIGTERM);
  EXPECT_EQ(child.Finish(std::chrono::seconds(20)), 0) << "the child went on waiting, or its take did not fail";
  EXPECT_EQ(Counter(), "KX00000001");
}

// A script replaces the settings folder under the folder's lock while the
// child waits for it, by a copy renamed into its place or by a link to a copy:
// the child must lock the new folder, where the parent now takes numbers,
// instead of the old one it opened, and its own writes under that lock must
// not wait for it (a link resolves to another name than the one locked).
TEST_F(SerialNumber, AFolderReplacedDuringTheWaitIsLockedAgain) {
  const std::filesystem::path folder = std::filesystem::canonical(Native("C:\\"));
  std::filesystem::path copy = folder, old = folder;
  copy += ".new";
  old += ".old";
  for (const bool link : {false, true}) {
    SCOPED_TRACE(link ? "a link to a copy" : "a copy renamed in");
    SetIni(kFile, "Global_Setting", "Last SN", "KX00000001");
    kxtest::ForkedWriter child(TakesTheFourthAndFifth);
    ASSERT_TRUE(child.Started());
    std::vector<std::string> taken;
    {
      platform::ProfileWriteLock script(kFile);
      child.Go();
      ASSERT_TRUE(child.WaitUntilBlocked());
      std::filesystem::copy(folder, copy, std::filesystem::copy_options::recursive);
      std::filesystem::rename(folder, old);
      if (link) {
        std::filesystem::create_directory_symlink(copy, folder);
      } else {
        std::filesystem::rename(copy, folder);
      }
      // Another process of the line, on the replaced folder.
      std::promise<void> held, released;
      std::thread other([&] {
        platform::ProfileWriteLock lock(kFile);
        held.set_value();
        released.get_future().wait();
        if (!child.WaitUntilBlocked()) return;
        for (int i = 0; i < 3; ++i) taken.push_back(kx::TakeNextSerialNumber(kFile).serial);
      });
      held.get_future().wait();
      script.Release();
      released.set_value();
      other.join();
    }
    EXPECT_EQ(taken, (std::vector<std::string>{"KX00000001", "KX00000002", "KX00000003"}))
        << "the child took a number under the old folder's lock";
    EXPECT_EQ(child.Finish(std::chrono::seconds(20)), 0)
        << "the child's numbers were not KX00000004 and KX00000005, or it waited for its own lock";
    EXPECT_EQ(Counter(), "KX00000006");
    // The next row starts from a plain folder again.
    if (link) {
      std::filesystem::remove(folder);
      std::filesystem::rename(copy, folder);
    }
    std::filesystem::remove_all(old);
  }
}

// A script swings the settings folder's link to a fresh copy under the
// folder's lock, again and again, while several processes take numbers: the
// lock and the reads and writes under it are on one folder, so no number is
// given twice.
TEST_F(SerialNumber, ProcessesTakeEachNumberOnceWhileALinkToTheFolderSwings) {
  constexpr int kProcesses = 4, kTakes = 40;
  SetIni(kFile, "Global_Setting", "Last SN", "KX00000001");
  const std::filesystem::path folder = std::filesystem::canonical(Native("C:\\"));
  const std::filesystem::path taken = folder.parent_path() / "taken";
  std::filesystem::create_directory(taken);
  const auto target = [&folder](int n) {
    std::filesystem::path p = folder;
    return p += "." + std::to_string(n);
  };
  std::filesystem::rename(folder, target(0));
  std::filesystem::create_directory_symlink(target(0), folder);
  std::vector<std::unique_ptr<kxtest::ForkedWriter>> children;
  for (int c = 0; c < kProcesses; ++c) {
    children.push_back(std::make_unique<kxtest::ForkedWriter>([&taken, c] {
      std::ofstream out(taken / std::to_string(c));
      for (int i = 0; i < kTakes; ++i) {
        const kx::TakenSerial t = kx::TakeNextSerialNumber(kFile);
        if (t.status != SnStatus::Ok) return false;
        out << t.serial << '\n' << std::flush;
      }
      return true;
    }));
    ASSERT_TRUE(children.back()->Started());
  }
  for (auto& child : children) child->Go();
  const auto running = [&children] {
    return std::any_of(children.begin(), children.end(), [](auto& c) { return c->Running(); });
  };
  for (int n = 1; n <= 200 && running(); ++n) {
    platform::ProfileWriteLock script(kFile);
    ASSERT_EQ(script.Error(), 0u) << script.ErrorText();
    std::filesystem::copy(std::filesystem::read_symlink(folder), target(n), std::filesystem::copy_options::recursive);
    std::filesystem::path swung = folder;
    swung += ".link";
    std::filesystem::create_directory_symlink(target(n), swung);
    std::filesystem::rename(swung, folder);
  }
  for (auto& child : children) EXPECT_EQ(child->Finish(std::chrono::seconds(60)), 0);
  std::multiset<std::string> numbers;
  for (int c = 0; c < kProcesses; ++c) {
    std::ifstream in(taken / std::to_string(c));
    for (std::string line; std::getline(in, line);) numbers.insert(line);
  }
  ASSERT_EQ(numbers.size(), static_cast<std::size_t>(kProcesses * kTakes));
  std::size_t twice = 0;
  for (auto it = numbers.begin(); it != numbers.end(); it = numbers.upper_bound(*it)) twice += numbers.count(*it) > 1;
  EXPECT_EQ(twice, 0u) << "numbers given more than once";
  EXPECT_EQ(Counter(), "KX00000161");
}

}  // namespace
