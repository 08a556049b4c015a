// Volumes on emulated drives: letters, CD-ROMs, device numbers and the controls
// the stations send, each refusable.
#include "tests/emulator/SiteTestUtil.h"

namespace emu::test {
namespace {

constexpr win::DWORD kDenied = win::ERROR_ACCESS_DENIED;

class VolumeTest : public SiteTest {
 protected:
  void SetUp() override {
    SiteTest::SetUp();
    site_->AddBridge(1);
    ASSERT_TRUE(site_->AddVolume(1, 'E'));
    ASSERT_TRUE(site_->AddCdRom('D'));
    EXPECT_FALSE(site_->AddVolume(1, 'E'));  // taken
    EXPECT_FALSE(site_->AddVolume(1, 'C'));  // system letters are not ours
    site_->Install();
  }
  static win::HANDLE OpenVolume(char letter) { return OpenDevice(std::string("\\\\.\\") + letter + ":"); }
  static win::DWORD Control(win::HANDLE h, win::DWORD code) {
    win::DWORD got = 0;
    return win::DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &got, nullptr) ? 0 : win::GetLastError();
  }
  static bool DeviceNumber(win::HANDLE h, win::STORAGE_DEVICE_NUMBER& n) {
    win::DWORD got = 0;
    return win::DeviceIoControl(h, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &got, nullptr);
  }
};

TEST_F(VolumeTest, LettersAndTypesGoWithTheDrive) {
  EXPECT_TRUE(win::GetLogicalDrives() & (1u << ('E' - 'A')));
  EXPECT_TRUE(win::GetLogicalDrives() & (1u << ('D' - 'A')));
  EXPECT_EQ(win::GetDriveTypeA("D:\\"), win::DRIVE_CDROM);
  EXPECT_EQ(win::GetDriveTypeA("e:\\"), win::DRIVE_FIXED);
  site_->SetDrive(1, nullptr);
  EXPECT_FALSE(win::GetLogicalDrives() & (1u << ('E' - 'A')));
  EXPECT_EQ(OpenVolume('E'), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenVolume('Q'), win::INVALID_HANDLE_VALUE);
}

TEST_F(VolumeTest, DiskGeometryHoldsTheDrivesCapacity) {
  win::HANDLE disk = OpenDevice(Site::BridgePath(1));
  win::DISK_GEOMETRY_EX g{};
  win::DWORD got = 0;
  ASSERT_TRUE(win::DeviceIoControl(disk, win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &g, sizeof g, &got, nullptr));
  EXPECT_EQ(g.DiskSize, static_cast<std::int64_t>(SiteDriveConfig().capacitySectors) * 512);
  site_->GetDrive(1)->Faults().RefuseGeometry(true);
  EXPECT_FALSE(win::DeviceIoControl(disk, win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &g, sizeof g, &got, nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_FUNCTION);
  win::CloseHandle(disk);
}

TEST_F(VolumeTest, LockDismountUnlockAndDeleteLayout) {
  win::HANDLE vol = OpenVolume('E');
  ASSERT_NE(vol, win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(Control(vol, win::FSCTL_UNLOCK_VOLUME), 158u);  // not locked
  EXPECT_EQ(Control(vol, win::FSCTL_LOCK_VOLUME), 0u);
  win::HANDLE other = OpenVolume('E');
  EXPECT_EQ(Control(other, win::FSCTL_LOCK_VOLUME), kDenied);  // held by the first handle
  EXPECT_NE(win::GetLogicalDrives() & (1u << ('E' - 'A')), 0u);
  EXPECT_EQ(Control(vol, win::IOCTL_DISK_DELETE_DRIVE_LAYOUT), 0u);
  EXPECT_EQ(win::GetLogicalDrives() & (1u << ('E' - 'A')), 0u);  // the partition went, and its letter
  EXPECT_EQ(Control(vol, win::FSCTL_DISMOUNT_VOLUME), 0u);
  EXPECT_EQ(Control(vol, win::FSCTL_UNLOCK_VOLUME), 0u);
  const VolumeSpec s = site_->Volume('E');
  EXPECT_FALSE(s.locked);
  EXPECT_FALSE(s.mounted);
  EXPECT_TRUE(s.layoutDeleted);
  EXPECT_EQ(Control(other, win::FSCTL_LOCK_VOLUME), 0u);
  win::CloseHandle(other);  // closing a handle releases its lock
  EXPECT_FALSE(site_->Volume('E').locked);
  win::CloseHandle(vol);
}

TEST_F(VolumeTest, EachControlCanBeRefused) {
  VolumeFaults f;
  f.lock = 2;
  f.dismount = -1;
  f.deviceNumber = 1;
  f.deleteLayout = 1;
  site_->SetVolumeFaults('E', f);
  win::HANDLE vol = OpenVolume('E');
  const struct {
    const char* control;
    win::DWORD code;
    std::vector<win::DWORD> answers;  // to consecutive requests
  } rows[] = {
      {"lock, refused twice", win::FSCTL_LOCK_VOLUME, {kDenied, kDenied, 0}},
      {"dismount, refused always", win::FSCTL_DISMOUNT_VOLUME, {kDenied, kDenied}},
      {"delete layout, refused once", win::IOCTL_DISK_DELETE_DRIVE_LAYOUT, {kDenied, 0}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.control);
    std::vector<win::DWORD> got;
    for (std::size_t i = 0; i < row.answers.size(); ++i) got.push_back(Control(vol, row.code));
    EXPECT_EQ(got, row.answers);
  }
  win::STORAGE_DEVICE_NUMBER n;
  EXPECT_FALSE(DeviceNumber(vol, n));
  EXPECT_TRUE(DeviceNumber(vol, n));
  win::CloseHandle(vol);
  f = {};
  f.open = 1;
  site_->SetVolumeFaults('E', f);
  EXPECT_EQ(OpenVolume('E'), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), kDenied);
  vol = OpenVolume('E');
  EXPECT_NE(vol, win::INVALID_HANDLE_VALUE);
  win::CloseHandle(vol);
}

}  // namespace
}  // namespace emu::test
