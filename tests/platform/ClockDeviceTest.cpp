#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/Clock.h"
#include "platform/DeviceIo.h"

using namespace win;

namespace {

// ---------------------------------------------------------------- clock

TEST(ClockTest, VirtualClockAdvancesOnlyBySleepsAndCarriesLocalTime) {
  const std::int64_t start = 1714982950123;  // some wall-clock time with milliseconds
  platform::ScopedClock clock(platform::MakeVirtualClock(start));
  const auto realStart = std::chrono::steady_clock::now();
  const DWORD t0 = GetTickCount();
  Sleep(360 * 1000);  // the longest command time-out
  Sleep(30 * 1000);
  EXPECT_EQ(GetTickCount() - t0, 390u * 1000);
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(60));  // nobody waited 390 s
  SYSTEMTIME st;
  GetLocalTime(&st);
  const SYSTEMTIME expected = platform::ToLocalTime(start + 390 * 1000);
  EXPECT_EQ(st.wYear, expected.wYear);
  EXPECT_EQ(st.wSecond, expected.wSecond);
  EXPECT_EQ(st.wMilliseconds, 123);
}

TEST(ClockTest, ScaledClockRunsFasterAndTheRealClockIsRestored) {
  platform::IClock* const before = &platform::Clock();
  {
    platform::ScopedClock clock(platform::MakeScaledClock(1000.0));
    const DWORD t0 = GetTickCount();
    Sleep(30 * 1000);  // 30 ms of real time
    const DWORD elapsed = GetTickCount() - t0;
    EXPECT_GE(elapsed, 30u * 1000);
    EXPECT_LT(elapsed, 30u * 1000 * 100);  // far below the 30 s an unscaled sleep takes
  }
  EXPECT_EQ(&platform::Clock(), before);
  const DWORD t0 = GetTickCount();
  Sleep(20);
  const DWORD elapsed = GetTickCount() - t0;
  EXPECT_GE(elapsed, 19u);
  EXPECT_LT(elapsed, 2000u);  // the real clock runs at real speed
}

// ---------------------------------------------------------------- device seam

// Handles answer the dismount, the device number (4) and nothing else; code
// DEADh throws inside the request.
class FakeHandle : public platform::IDeviceHandle {
 public:
  explicit FakeHandle(std::atomic<int>* live) : live_(live) { ++*live_; }
  ~FakeHandle() override { --*live_; }
  DWORD IoControl(DWORD code, void*, DWORD, void* out, DWORD outSize, DWORD* returned) override {
    if (code == 0xDEAD) throw std::runtime_error("fault inside the request");
    if (code != IOCTL_STORAGE_GET_DEVICE_NUMBER) return code == FSCTL_DISMOUNT_VOLUME ? 0 : ERROR_SEM_TIMEOUT;
    if (out == nullptr || outSize < sizeof(STORAGE_DEVICE_NUMBER)) return ERROR_INSUFFICIENT_BUFFER;
    static_cast<STORAGE_DEVICE_NUMBER*>(out)->DeviceNumber = 4;
    *returned = sizeof(STORAGE_DEVICE_NUMBER);
    return 0;
  }

 private:
  std::atomic<int>* live_;
};

// Claims the paths under its prefix; "<prefix>Busy" is refused, "<prefix>Throw"
// throws while opening; a throwing back end throws outside requests too.
class FakeBackend : public platform::IDeviceBackend {
 public:
  FakeBackend(std::string prefix, DWORD drives, bool throwing = false)
      : prefix_(std::move(prefix)), drives_(drives), throwing_(throwing) {}
  bool Claims(const std::string& path) const override {
    if (throwing_) throw std::runtime_error("claims");
    return path.rfind(prefix_, 0) == 0;
  }
  DWORD Open(const std::string& path, DWORD, DWORD, std::shared_ptr<platform::IDeviceHandle>& handle) override {
    ++opens;
    if (path == prefix_ + "Busy") return ERROR_ACCESS_DENIED;
    if (path == prefix_ + "Throw") throw std::runtime_error("open fault");
    handle = std::make_shared<FakeHandle>(&live);
    return 0;
  }
  DWORD LogicalDrives() const override {
    if (throwing_) throw std::runtime_error("drives");
    return drives_;
  }
  UINT DriveType(char letter) const override { return letter == 'F' ? DRIVE_CDROM : DRIVE_FIXED; }

  std::atomic<int> live{0};
  std::atomic<int> opens{0};

 private:
  std::string prefix_;
  DWORD drives_;
  bool throwing_;
};

class DeviceSeam : public ::testing::Test {
 protected:
  void SetUp() override { platform::ClearDeviceBackends(); }
  void TearDown() override { platform::ClearDeviceBackends(); }
  static HANDLE open(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  }
};

TEST_F(DeviceSeam, TheFirstBackendThatClaimsAPathOpensIt) {
  auto first = std::make_shared<FakeBackend>("\\\\.\\PhysicalDrive", 0);
  auto second = std::make_shared<FakeBackend>("\\\\.\\", 0);
  platform::RegisterDeviceBackend(first);
  platform::RegisterDeviceBackend(second);
  HANDLE h = open("\\\\.\\PhysicalDrive2");
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(first->opens.load(), 1);
  EXPECT_EQ(second->opens.load(), 0);
  HANDLE v = open("\\\\.\\E:");
  EXPECT_NE(v, INVALID_HANDLE_VALUE);
  EXPECT_EQ(second->opens.load(), 1);
  EXPECT_NE(h, v);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(CloseHandle(v));
  const struct {
    const char* path;
    DWORD error;
  } refused[] = {
      {"/dev/nothing", ERROR_FILE_NOT_FOUND},
      {nullptr, ERROR_INVALID_PARAMETER},
      {"\\\\.\\PhysicalDriveBusy", ERROR_ACCESS_DENIED},  // the back end's refusal keeps its number
      {"\\\\.\\PhysicalDriveThrow", ERROR_NOACCESS},      // a fault while opening is caught
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.path ? r.path : "null");
    EXPECT_EQ(open(r.path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), r.error);
  }
}

TEST_F(DeviceSeam, HandlesAnswerAndSurviveFaultsUntilClosedEvenAfterTheirBackendLeaves) {
  auto b = std::make_shared<FakeBackend>("\\\\.\\PhysicalDrive", 0);
  platform::RegisterDeviceBackend(b);
  HANDLE h = open("\\\\.\\PhysicalDrive0");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(b->live.load(), 1);
  platform::UnregisterDeviceBackend(b);
  DWORD returned = 77;
  EXPECT_TRUE(DeviceIoControl(h, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(returned, 0u);
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_ATA_PASS_THROUGH_DIRECT, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
  EXPECT_FALSE(DeviceIoControl(h, 0xDEAD, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
  STORAGE_DEVICE_NUMBER n;  // still answering after the fault
  EXPECT_TRUE(DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &returned, nullptr));
  EXPECT_EQ(n.DeviceNumber, 4u);
  EXPECT_EQ(returned, sizeof n);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(b->live.load(), 0);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(DeviceIoControl(h, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(open("\\\\.\\PhysicalDrive0"), INVALID_HANDLE_VALUE);
}

// The mask is the union of the back ends' letters, a back end that throws left
// out; a letter's type comes from the back end that owns it.
TEST_F(DeviceSeam, LogicalDrivesAndDriveTypes) {
  EXPECT_EQ(GetLogicalDrives(), 0u);
  platform::RegisterDeviceBackend(std::make_shared<FakeBackend>("\\\\.\\", 1u << 7, true));
  platform::RegisterDeviceBackend(std::make_shared<FakeBackend>("\\\\.\\A", (1u << 2) | (1u << 4)));  // C:, E:
  platform::RegisterDeviceBackend(std::make_shared<FakeBackend>("\\\\.\\", 1u << 5));                 // F:
  EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 4) | (1u << 5));
  HANDLE h = open("\\\\.\\E:");  // the throwing back end is passed over
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(GetDriveTypeA("e:\\"), DRIVE_FIXED);
  EXPECT_EQ(GetDriveTypeA("F:\\"), DRIVE_CDROM);
  EXPECT_EQ(GetDriveTypeA("G:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(GetDriveTypeA("1:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(GetDriveTypeA(nullptr), DRIVE_NO_ROOT_DIR);
}

}  // namespace
