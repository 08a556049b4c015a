// The tester-board finder's matching rules against emulated boards, and the
// volume utilities' handle lifecycle.
#include <gtest/gtest.h>

#include <map>

#include "command/TesterScanner.h"
#include "command/VolumeUtils.h"
#include "emulator/Site.h"
#include "platform/Profile.h"
#include "tests/command/FakeDevice.h"
#include "tests/support/ScratchFolder.h"

using kxtest::Call;
using kxtest::Mode;

namespace {

// A board on "\\.\PhysicalDrive<drive>" whose page names `pageSlot`.
struct Board {
  int drive;
  int pageSlot;
  emu::TesterInfo info = {};
};

class FinderTest : public ::testing::Test {
 protected:
  ~FinderTest() override { site_->Uninstall(); }
  // Installs a site of these boards (each serving slot drive + 1) and scans it.
  bool Scan(const std::vector<Board>& boards) {
    site_ = emu::Site::Create();
    for (Board b : boards) {
      b.info.pageSlot = b.pageSlot;
      EXPECT_NE(site_->AddTester(b.drive, b.drive + 1, b.info), nullptr) << b.drive;
    }
    site_->Install();
    return scanner_.ScanTesters(0, "");
  }
  kxtest::ScratchFolder folder_{"Finder"};
  platform::ScopedClock clock_{platform::MakeVirtualClock(1)};
  std::shared_ptr<emu::Site> site_ = emu::Site::Create();
  CTesterScanner scanner_;
};

TEST_F(FinderTest, RequestsAndTheirTimeOut) {
  Scan({{4, 5}});
  site_->Tester(4)->Log().Clear();
  EXPECT_EQ(scanner_.Inquiry(4), 0);
  EXPECT_EQ(scanner_.ReadUSBPage(4), 0);
  EXPECT_EQ(scanner_.TestUnitReady(4), 0);
  EXPECT_EQ(scanner_.Inquiry(9), static_cast<int>(win::ERROR_FILE_NOT_FOUND));
  const auto log = site_->Tester(4)->Log().Records();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(kxtest::V(log[0].cdb, 16), kxtest::Bytes({0x12, 0, 0, 0, 0x24}));
  EXPECT_EQ(log[0].length, 36u);
  EXPECT_EQ(kxtest::V(log[1].cdb, 16), kxtest::Bytes({0x08, 0xF2, 0xA0}));
  EXPECT_EQ(log[1].length, 528u);
  EXPECT_EQ(kxtest::V(log[2].cdb, 16), kxtest::Bytes({}));
  // 10 s for each request
  for (const auto& [delayMs, result] : {std::pair{9500u, 0}, std::pair{10500u, 121}}) {
    emu::FaultRule slow;
    slow.action = emu::FaultAction::Delay;
    slow.delayMs = delayMs;
    site_->Tester(4)->GetFaults().Add(slow);
    EXPECT_EQ(scanner_.Inquiry(4), result) << delayMs;
  }
}

TEST(FinderHexDigits, OneOrTwoDigitsNonDigitsCountAsZero) {
  const std::pair<const char*, int> hex[] = {{"0A", 10}, {"a", 10}, {"1f", 31}, {"zz", 0}, {"3z", 3}, {"", 0}};
  for (const auto& [text, value] : hex) EXPECT_EQ(CTesterScanner::HexPairToInt(text), value) << text;
}

// Each scan: the boards, an Assign_Tester setting, the result and the slots filled
// (every other slot stays 0).
TEST_F(FinderTest, MatchingRules) {
  struct Row {
    const char* what;
    std::vector<Board> boards;
    const char* assign;
    bool found;
    std::map<int, int> slots;
  };
  const Row rows[] = {
      {"nothing that looks like a tester", {{1, 1, {.productId = "SOME DISK"}}}, nullptr, false, {}},
      {"one field off rules a board out; a slot twice: the later drive wins",
       {{2, 10},
        {3, 5, {.productId = "SATA3-TESTER XYZ", .vendorTag = "VuZuRo"}},
        {4, 6, {.productId = "SATA TESTER-X"}},
        {5, 7, {.vendorTag = "OTHERS"}},
        {6, 8, {.id1 = 0x0D7E}},
        {7, 9, {.id1 = 0x0E7D}},
        {10, 11, {.id2 = 0x144E}},
        {11, 12, {.id2 = 0x154F}},
        {9, 10}},
       nullptr, true, {{10, 9}, {5, 3}}},
      {"a slot outside 1..48 ends the scan, keeping what was found", {{2, 10}, {3, 5}, {8, 49}, {9, 11}}, nullptr, false,
       {{5, 3}, {10, 2}}},
      {"the page's two digits read 00", {{2, 10}, {8, 0x100}}, nullptr, false, {{10, 2}}},
      {"24 boards after a SCSI boot disk, which is drive 1", {{2, 1}, {25, 24}}, nullptr, true, {{1, 2}, {24, 25}}},
      {"Assign_Tester pins the scan", {{1, 1}, {2, 3}, {3, 5}}, " 3 ", true, {{3, 2}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.assign) win::WritePrivateProfileString("Options", "Assign_Tester", row.assign, ".\\TesterSetting.ini");
    EXPECT_EQ(Scan(row.boards), row.found);
    for (int slot = 0; slot <= CTesterScanner::kMaxSlot; ++slot) {
      EXPECT_EQ(scanner_.m_SlotMap[slot], row.slots.count(slot) ? row.slots.at(slot) : 0) << slot;
    }
    if (row.found && !row.assign) {  // the identifiers of the boards that matched
      EXPECT_EQ(scanner_.m_TesterIds[0], 0x0D7D);
      EXPECT_EQ(scanner_.m_TesterIds[1], 0x144F);
    }
  }
}

class VolumeTest : public ::testing::Test, public kxtest::Fixture {
 protected:
  VolumeTest() {
    // C: system, D: CD-ROM, E: on disk 7 (the port's listed drive), F: on disk 9 (PhysicalDrive2)
    backend->logicalDrives = 0x3C;
    backend->cdroms.insert('D');
    backend->deviceNumbers = {{"\\\\?\\fake#2", 7}, {"\\\\.\\PhysicalDrive2", 9}, {"\\\\.\\C:", 7},
                              {"\\\\.\\D:", 7},     {"\\\\.\\E:", 7},           {"\\\\.\\F:", 9}};
  }
  std::vector<std::string> VolumeOpens() const {
    std::vector<std::string> r;
    for (const auto& p : backend->opens) {
      if (p.size() == 6 && p[5] == ':') r.push_back(p);
    }
    return r;
  }
  void Refuse(win::DWORD code) {
    backend->script = [code](const Call& c, void*) { return c.code == code ? win::ERROR_ACCESS_DENIED : 0; };
  }
  CPortVolume vol_{2};
};

TEST_F(VolumeTest, FindsTheLetterFromDUpwardSkippingCdRoms) {
  int disk = 0;
  EXPECT_TRUE(GetDiskNumber("\\\\?\\fake#2", disk));
  EXPECT_EQ(disk, 7);
  EXPECT_FALSE(GetDiskNumber("\\\\?\\fake#nothing", disk));
  EXPECT_EQ(disk, -1);
  char letter = 0;
  EXPECT_EQ(FindDriveLetterByDiskNumber(backend->logicalDrives, 7, letter), 1);
  EXPECT_EQ(letter, 'E');
  EXPECT_EQ(VolumeOpens(), std::vector<std::string>({"\\\\.\\E:"}));  // C: and D: never opened
  EXPECT_EQ(FindDriveLetterByDiskNumber(backend->logicalDrives, 8, letter), 0);
  backend->deviceNumbers["\\\\.\\G:"] = 7;
  EXPECT_EQ(GetDriveLetterOfDisk(backend->logicalDrives | 0x40, 7), "E G ");
  EXPECT_EQ(GetDriveLetterOfDisk(backend->logicalDrives, 3), "");
}

TEST_F(VolumeTest, LockDismountAndLayoutLifecycle) {
  {
    CPortVolume vol(2);
    EXPECT_EQ(vol.LockPortVolume(), 1);
    EXPECT_EQ(backend->Count(win::FSCTL_LOCK_VOLUME), 1);
    EXPECT_EQ(vol.LockPortVolume(), 1);  // a second lock closes the first handle
    EXPECT_EQ(backend->openHandles, 1);
    EXPECT_EQ(vol.DismountPortVolume(), 1);  // dismount, then unlock, then close
    const auto n = backend->calls.size();
    EXPECT_EQ(backend->calls[n - 2].code, win::FSCTL_DISMOUNT_VOLUME);
    EXPECT_EQ(backend->calls[n - 1].code, win::FSCTL_UNLOCK_VOLUME);
    EXPECT_FALSE(vol.HasVolumeHandle());
    EXPECT_EQ(backend->openHandles, 0);
    EXPECT_EQ(vol.DismountPortVolume(), 0);  // nothing held any more
    Refuse(win::FSCTL_LOCK_VOLUME);         // a refused lock closes its handle
    EXPECT_EQ(vol.LockPortVolume(), 0);
    EXPECT_EQ(backend->openHandles, 0);
    Refuse(win::FSCTL_UNLOCK_VOLUME);  // a refused unlock keeps it for a later try
    EXPECT_EQ(vol.LockPortVolume(), 1);
    EXPECT_EQ(vol.DismountPortVolume(), 0);
    EXPECT_TRUE(vol.HasVolumeHandle());
  }
  EXPECT_EQ(backend->openHandles, 0);  // the destructor closed it

  backend->script = nullptr;
  EXPECT_TRUE(vol_.DeletePortDriveLayout());
  EXPECT_TRUE(vol_.HasVolumeHandle());
  EXPECT_EQ(backend->Count(win::IOCTL_DISK_DELETE_DRIVE_LAYOUT), 1);
  EXPECT_EQ(vol_.DismountPortVolume(), 1);
  Refuse(win::IOCTL_DISK_DELETE_DRIVE_LAYOUT);
  EXPECT_FALSE(vol_.DeletePortDriveLayout());
  EXPECT_FALSE(vol_.HasVolumeHandle());
  EXPECT_EQ(backend->openHandles, 0);
}

TEST_F(VolumeTest, NoVolumeOrNoEntryMeansNothingOpened) {
  backend->deviceNumbers["\\\\?\\fake#2"] = 5;  // no letter lies on disk 5
  EXPECT_EQ(vol_.LockPortVolume(), 0);
  EXPECT_FALSE(vol_.DeletePortDriveLayout());
  CPortVolume outside(9);  // a drive number outside the listing
  EXPECT_EQ(outside.LockPortVolume(), 0);
  win::DISK_GEOMETRY_EX g;
  EXPECT_EQ(GetPortDiskGeometryEx(9, &g), 0);
  backend->missing.insert("\\\\?\\fake#2");
  EXPECT_EQ(GetDiskGeometryEx("\\\\?\\fake#2", &g), 0);
  EXPECT_EQ(backend->Count(win::FSCTL_LOCK_VOLUME) + backend->Count(win::IOCTL_DISK_DELETE_DRIVE_LAYOUT), 0);
}

TEST_F(VolumeTest, TesterDirectModeUsesThePortsOwnPhysicalDrive) {
  kxtest::SetSendMode(Mode::TesterDirect);
  EXPECT_EQ(vol_.LockPortVolume(), 1);  // PhysicalDrive2 is disk 9, letter F:
  EXPECT_EQ(VolumeOpens().back(), "\\\\.\\F:");
  EXPECT_TRUE(vol_.DeletePortDriveLayout());
  EXPECT_EQ(LastRequest().path, "\\\\.\\F:");
  EXPECT_EQ(std::count(backend->opens.begin(), backend->opens.end(), "\\\\?\\fake#2"), 0);
  backend->script = [](const Call& c, void* out) {
    if (c.code == win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) static_cast<win::DISK_GEOMETRY_EX*>(out)->DiskSize = 1234;
    return win::DWORD{0};
  };
  win::DISK_GEOMETRY_EX g;
  EXPECT_NE(GetPortDiskGeometryEx(2, &g), 0);
  EXPECT_EQ(g.DiskSize, 1234);
  EXPECT_EQ(LastRequest().path, "\\\\.\\PhysicalDrive2");
  kxtest::SetSendMode(Mode::Bridge);
  EXPECT_NE(GetPortDiskGeometryEx(2, &g), 0);
  EXPECT_EQ(LastRequest().path, "\\\\?\\fake#2");
}

}  // namespace
