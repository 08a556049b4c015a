// The serial-number source: how the stored counter advances, where it is kept,
// and that port threads and processes taking numbers at once get each number once.
#include "bringup/SerialNumber.h"

#include <set>
#include <thread>
#include <vector>

#include "tests/support/RecordChecks.h"
#include "tests/support/ScratchFolder.h"

namespace {

using SerialNumber = kxtest::DeviceTestEnv;
using kx::SnStatus;
constexpr char kFile[] = "C:\\SATA_Setting.ini";
std::string Counter() { return win::GetPrivateProfileString("Global_Setting", "Last SN", "", kFile); }

TEST_F(SerialNumber, TakeStoresTheAdvancedCounterFirstInTheChosenFile) {
  SetIni(".\\param.ini", "General Info", "SerialNum", "1234567");
  const struct {
    const char* stored;
    const char* file;
    SnStatus status;
    const char* serial;
    const char* after;
  } rows[] = {{"KXA2405000000000099", kFile, SnStatus::Ok, "KXA2405000000000099", "KXA2405000000000100"},
              {"", kFile, SnStatus::Ok, "01234567", "01234568"},  // the parameter file's first number
              {"SN99999999", kFile, SnStatus::UsedUp, "", "SN99999999"},  // never wraps to a given number
              {"SN0000009X", kFile, SnStatus::Invalid, "", "SN0000009X"},
              {"KXA240500000000000001", kFile, SnStatus::Invalid, "", "KXA240500000000000001"},  // 21 characters
              {"", "C:\\NoFolder\\SATA_Setting.ini", SnStatus::WriteFailed, "", ""},
              {"", "", SnStatus::NoSettingsFile, "", ""}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.stored);
    SetIni(kFile, "Global_Setting", "Last SN", r.stored);
    const kx::TakenSerial t = kx::TakeNextSerialNumber(r.file);
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

// The parent stands in for a process between its read and its write-back; the
// child's take must wait for it and then go on from the parent's last number.
TEST_F(SerialNumber, TwoProcessesTakeDistinctConsecutiveNumbers) {
  SetIni(kFile, "Global_Setting", "Last SN", "KX00000001");
  kxtest::ForkedWriter child([] {
    for (const char* expected : {"KX00000004", "KX00000005"})
      if (kx::TakeNextSerialNumber(kFile).serial != expected) return false;
    return true;
  });
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

}  // namespace
