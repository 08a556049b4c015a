// Volumes on emulated drives: letters, CD-ROMs, device numbers and the controls
// the stations send, each refusable.
#include "site_test_util.h"

namespace emu::test {
namespace {

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

TEST_F(VolumeTest, LettersTypesAndDeviceNumbers) {
  const win::DWORD mask = win::GetLogicalDrives();
  EXPECT_TRUE(mask & (1u << ('E' - 'A')));
  EXPECT_TRUE(mask & (1u << ('D' - 'A')));
  EXPECT_EQ(win::GetDriveTypeA("D:\\"), win::DRIVE_CDROM);
  EXPECT_EQ(win::GetDriveTypeA("e:\\"), win::DRIVE_FIXED);

  // The volume's device number is the disk number of the slot's listing entry.
  win::HANDLE disk = OpenDevice(Site::BridgePath(1));
  ASSERT_NE(disk, win::INVALID_HANDLE_VALUE);
  win::STORAGE_DEVICE_NUMBER dn, vn;
  ASSERT_TRUE(DeviceNumber(disk, dn));
  win::DISK_GEOMETRY_EX g;
  win::DWORD got = 0;
  ASSERT_TRUE(win::DeviceIoControl(disk, win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &g, sizeof g, &got,
                                   nullptr));
  EXPECT_EQ(g.DiskSize, static_cast<std::int64_t>(drive_->Config().capacitySectors * 512));
  win::CloseHandle(disk);
  win::HANDLE vol = OpenVolume('E');
  ASSERT_NE(vol, win::INVALID_HANDLE_VALUE);
  ASSERT_TRUE(DeviceNumber(vol, vn));
  EXPECT_EQ(vn.DeviceNumber, dn.DeviceNumber);
  EXPECT_EQ(dn.DeviceNumber, static_cast<win::DWORD>(kBridgeDiskBase + 1));
  win::CloseHandle(vol);

  // The drive pulled: its letter goes away.
  site_->SetDrive(1, nullptr);
  EXPECT_FALSE(win::GetLogicalDrives() & (1u << ('E' - 'A')));
  EXPECT_EQ(OpenVolume('E'), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenVolume('Q'), win::INVALID_HANDLE_VALUE);
}

TEST_F(VolumeTest, LockDismountUnlockAndDeleteLayout) {
  win::HANDLE vol = OpenVolume('E');
  ASSERT_NE(vol, win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(Control(vol, win::FSCTL_UNLOCK_VOLUME), 158u);  // not locked
  EXPECT_EQ(Control(vol, win::FSCTL_LOCK_VOLUME), 0u);
  win::HANDLE other = OpenVolume('E');
  EXPECT_EQ(Control(other, win::FSCTL_LOCK_VOLUME), win::ERROR_ACCESS_DENIED);  // held by the first handle
  EXPECT_EQ(Control(vol, win::IOCTL_DISK_DELETE_DRIVE_LAYOUT), 0u);
  EXPECT_EQ(Control(vol, win::FSCTL_DISMOUNT_VOLUME), 0u);
  EXPECT_EQ(Control(vol, win::FSCTL_UNLOCK_VOLUME), 0u);
  const VolumeSpec s = site_->Volume('E');
  EXPECT_FALSE(s.locked);
  EXPECT_FALSE(s.mounted);
  EXPECT_TRUE(s.layoutDeleted);
  // Closing a handle releases its lock.
  EXPECT_EQ(Control(other, win::FSCTL_LOCK_VOLUME), 0u);
  win::CloseHandle(other);
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
  ASSERT_NE(vol, win::INVALID_HANDLE_VALUE);
  std::vector<win::DWORD> got;
  for (win::DWORD code : {win::FSCTL_LOCK_VOLUME, win::FSCTL_LOCK_VOLUME, win::FSCTL_LOCK_VOLUME,
                          win::FSCTL_DISMOUNT_VOLUME, win::FSCTL_DISMOUNT_VOLUME, win::IOCTL_DISK_DELETE_DRIVE_LAYOUT,
                          win::IOCTL_DISK_DELETE_DRIVE_LAYOUT})
    got.push_back(Control(vol, code));
  const win::DWORD kDenied = win::ERROR_ACCESS_DENIED;
  EXPECT_EQ(got, (std::vector<win::DWORD>{kDenied, kDenied, 0, kDenied, kDenied, kDenied, 0}));
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
