#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

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
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(2));
  SYSTEMTIME st;
  GetLocalTime(&st);
  const SYSTEMTIME expected = platform::ToLocalTime(start + 390 * 1000);
  EXPECT_EQ(st.wYear, expected.wYear);
  EXPECT_EQ(st.wSecond, expected.wSecond);
  EXPECT_EQ(st.wMilliseconds, 123);
  EXPECT_EQ(platform::ToLocalTime(start).wMilliseconds, 123);
}

TEST(ClockTest, ScaledClockRunsFasterAndTheRealClockIsRestored) {
  {
    platform::ScopedClock clock(platform::MakeScaledClock(1000.0));
    const auto realStart = std::chrono::steady_clock::now();
    const DWORD t0 = GetTickCount();
    Sleep(30 * 1000);  // 30 ms of real time
    const DWORD elapsed = GetTickCount() - t0;
    const auto real = std::chrono::steady_clock::now() - realStart;
    EXPECT_GE(elapsed, 30u * 1000);
    EXPECT_LT(elapsed, 30u * 1000 * 20);
    EXPECT_LT(real, std::chrono::seconds(1));
  }
  const DWORD t0 = GetTickCount();
  Sleep(20);
  const DWORD elapsed = GetTickCount() - t0;
  EXPECT_GE(elapsed, 19u);
  EXPECT_LT(elapsed, 2000u);
}

// ---------------------------------------------------------------- device seam

class FakeHandle : public platform::IDeviceHandle {
 public:
  explicit FakeHandle(std::atomic<int>* live) : live_(live) { ++*live_; }
  ~FakeHandle() override { --*live_; }
  DWORD IoControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) override {
    if (code == 0xDEAD) throw std::runtime_error("fault inside the request");
    if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
      if (out == nullptr || outSize < sizeof(STORAGE_DEVICE_NUMBER)) return ERROR_INSUFFICIENT_BUFFER;
      auto* n = static_cast<STORAGE_DEVICE_NUMBER*>(out);
      n->DeviceNumber = 4;
      *returned = sizeof(STORAGE_DEVICE_NUMBER);
      return 0;
    }
    (void)in;
    (void)inSize;
    return code == FSCTL_DISMOUNT_VOLUME ? 0 : ERROR_SEM_TIMEOUT;
  }

 private:
  std::atomic<int>* live_;
};

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
  HANDLE open(const char* path) {
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
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(first->opens.load(), 1);
  EXPECT_EQ(second->opens.load(), 0);
  HANDLE v = open("\\\\.\\E:");
  ASSERT_NE(v, INVALID_HANDLE_VALUE);
  EXPECT_EQ(second->opens.load(), 1);
  EXPECT_NE(h, v);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(CloseHandle(v));

  EXPECT_EQ(open("/dev/nothing"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(open(nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // A back end's refusal keeps its number; a fault while opening is caught.
  EXPECT_EQ(open("\\\\.\\PhysicalDriveBusy"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(open("\\\\.\\PhysicalDriveThrow"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
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
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_ATA_PASS_THROUGH_DIRECT, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
  EXPECT_FALSE(DeviceIoControl(h, 0xDEAD, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
  // The handle still works after a fault.
  STORAGE_DEVICE_NUMBER n;
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

TEST_F(DeviceSeam, LogicalDriveMaskIsTheUnionAndDriveTypesComeFromTheOwner) {
  EXPECT_EQ(GetLogicalDrives(), 0u);
  auto b1 = std::make_shared<FakeBackend>("\\\\.\\A", (1u << 2) | (1u << 4));  // C:, E:
  auto b2 = std::make_shared<FakeBackend>("\\\\.\\B", 1u << 5);                // F:
  platform::RegisterDeviceBackend(b1);
  platform::RegisterDeviceBackend(b2);
  EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 4) | (1u << 5));
  EXPECT_EQ(GetDriveTypeA("e:\\"), DRIVE_FIXED);
  EXPECT_EQ(GetDriveTypeA("F:\\"), DRIVE_CDROM);
  EXPECT_EQ(GetDriveTypeA("G:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(GetDriveTypeA("1:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(GetDriveTypeA(nullptr), DRIVE_NO_ROOT_DIR);
}

TEST_F(DeviceSeam, ABackendThatThrowsOutsideARequestIsPassedOver) {
  auto bad = std::make_shared<FakeBackend>("\\\\.\\", 1u << 7, true);
  auto good = std::make_shared<FakeBackend>("\\\\.\\", 1u << 4);
  platform::RegisterDeviceBackend(bad);
  platform::RegisterDeviceBackend(good);
  HANDLE h = open("\\\\.\\E:");
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(GetLogicalDrives(), 1u << 4);
  EXPECT_EQ(GetDriveTypeA("E:\\"), DRIVE_FIXED);
}

}  // namespace
