// The tester-board finder's matching rules and the volume utilities' handle
// lifecycle.
#include <gtest/gtest.h>
#include <map>
#include <tuple>

#include "command/TesterScanner.h"
#include "command/VolumeUtils.h"
#include "platform/Profile.h"
#include "tests/command/FakeDevice.h"

using kxtest::Call;

namespace {

struct FakeTester {
  std::string product = "SATA TESTER-S", tag = "TAVLIN";
  std::uint16_t id1 = 0x0D7D, id2 = 0x144F;
  char high = '0', low = '1';
};

class FinderTest : public ::testing::Test, public kxtest::Fixture {
 protected:
  FinderTest() {
    backend->script = [this](const Call& c, void* out) -> win::DWORD {
      auto* b = static_cast<win::ScsiPassThroughBlock*>(out);
      std::memset(b->Data, 0, sizeof b->Data);
      auto it = testers.find(std::atoi(c.path.c_str() + 17));  // "\\.\PhysicalDrive" and the number
      const bool inquiry = c.spt.Cdb[0] == 0x12;
      if (it == testers.end()) {
        if (inquiry) std::memcpy(b->Data + 16, "SOME DISK       ", 16);
      } else if (inquiry) {
        std::memcpy(b->Data + 16, it->second.product.data(), std::min<std::size_t>(it->second.product.size(), 16));
      } else {
        const FakeTester& t = it->second;
        const std::uint8_t ids[4] = {static_cast<std::uint8_t>(t.id1), static_cast<std::uint8_t>(t.id1 >> 8),
                                     static_cast<std::uint8_t>(t.id2), static_cast<std::uint8_t>(t.id2 >> 8)};
        std::memcpy(b->Data + 8, ids, 4);
        b->Data[118] = static_cast<std::uint8_t>(t.high);
        b->Data[120] = static_cast<std::uint8_t>(t.low);
        std::memcpy(b->Data + 196, t.tag.data(), 6);
      }
      return 0;
    };
  }
  kxtest::TempCwd cwd_{"kxcmd_finder_"};
  std::map<int, FakeTester> testers;
  CTesterScanner scanner_;
};

TEST_F(FinderTest, RequestBlockAndHexDigits) {
  EXPECT_EQ(scanner_.Inquiry(4), 0);
  auto c = LastRequest();
  EXPECT_EQ(c.path, "\\\\.\\PhysicalDrive4");
  EXPECT_EQ(c.spt.TargetId, 1);
  EXPECT_EQ(c.spt.DataIn, 1);
  EXPECT_EQ(c.spt.DataTransferLength, 36u);
  EXPECT_EQ(c.spt.TimeOutValue, 10u);
  EXPECT_EQ(c.Cdb(), kxtest::Bytes({0x12, 0, 0, 0, 0x24}));
  EXPECT_EQ(scanner_.ReadUSBPage(4), 0);
  EXPECT_EQ(LastRequest().Cdb(), kxtest::Bytes({0x08, 0xF2, 0xA0}));
  EXPECT_EQ(LastRequest().spt.DataTransferLength, 528u);
  EXPECT_EQ(scanner_.TestUnitReady(4), 0);
  EXPECT_EQ(LastRequest().spt.DataIn, 1);  // data in even without data
  EXPECT_EQ(LastRequest().spt.DataTransferLength, 0u);
  EXPECT_EQ(backend->openHandles, 0);
  backend->missing.insert("\\\\.\\PhysicalDrive9");
  EXPECT_EQ(scanner_.Inquiry(9), static_cast<int>(win::ERROR_FILE_NOT_FOUND));

  const std::map<std::string, int> hex = {{"0A", 10}, {"a", 10}, {"1f", 31}, {"zz", 0}, {"3z", 3}, {"", 0}};
  for (const auto& [text, value] : hex) EXPECT_EQ(CTesterScanner::HexPairToInt(text.c_str()), value) << text;
}

TEST_F(FinderTest, MatchingRules) {
  EXPECT_FALSE(scanner_.ScanTesters(0, ""));  // nothing that looks like a tester
  for (int i = 0; i < 25; ++i) EXPECT_EQ(scanner_.m_SlotMap[i], 0);

  testers[2] = {"SATA TESTER-S", "TAVLIN", 0x0D7D, 0x144F, '0', 'A'};  // slot 10
  testers[3] = {"SATA3-TESTER XYZ", "VuZuRo", 0x0D7D, 0x144F, '0', '5'};
  testers[4] = {"SATA TESTER-X", "TAVLIN", 0x0D7D, 0x144F, '0', '6'};  // product differs
  testers[5] = {"SATA TESTER-S", "OTHERS", 0x0D7D, 0x144F, '0', '7'};  // tag differs
  testers[6] = {"SATA TESTER-S", "TAVLIN", 0x0D7E, 0x144F, '0', '8'};  // one identifier byte differs
  testers[7] = {"SATA TESTER-S", "TAVLIN", 0x0E7D, 0x144F, '0', '9'};
  testers[10] = {"SATA TESTER-S", "TAVLIN", 0x0D7D, 0x144E, '0', 'b'};
  testers[11] = {"SATA TESTER-S", "TAVLIN", 0x0D7D, 0x154F, '0', 'c'};
  testers[9] = {"SATA TESTER-S", "TAVLIN", 0x0D7D, 0x144F, '0', 'a'};  // slot 10 again: the later drive wins
  EXPECT_TRUE(scanner_.ScanTesters(0, ""));
  EXPECT_EQ(scanner_.m_SlotMap[10], 9);
  EXPECT_EQ(scanner_.m_SlotMap[5], 3);
  for (int s : {6, 7, 8, 9, 11, 12}) EXPECT_EQ(scanner_.m_SlotMap[s], 0) << s;
  EXPECT_EQ(scanner_.m_TesterIds[0], 0x0D7D);
  EXPECT_EQ(scanner_.m_TesterIds[1], 0x144F);

  // a slot beyond 48 ends the scan with FALSE; entries written so far stay
  testers[8] = {"SATA TESTER-S", "TAVLIN", 0x0D7D, 0x144F, '3', '1'};
  EXPECT_FALSE(scanner_.ScanTesters(0, ""));
  EXPECT_EQ(scanner_.m_SlotMap[5], 3);
  EXPECT_EQ(scanner_.m_SlotMap[10], 2);
  testers[8].high = '0';
  testers[8].low = '0';  // slot 0 fails too
  EXPECT_FALSE(scanner_.ScanTesters(0, ""));
}

TEST_F(FinderTest, AssignTesterPinsTheScan) {
  testers[1].low = '1';
  testers[2].low = '3';
  testers[3].low = '5';
  win::WritePrivateProfileString("Options", "Assign_Tester", " 3 ", ".\\TesterSetting.ini");
  EXPECT_TRUE(scanner_.ScanTesters(0, ""));
  EXPECT_EQ(scanner_.m_SlotMap[3], 2);
  EXPECT_EQ(scanner_.m_SlotMap[1], 0);
  EXPECT_EQ(scanner_.m_SlotMap[5], 0);
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
    EXPECT_EQ(std::tuple(backend->calls[n - 2].code, backend->calls[n - 1].code),
              std::tuple(win::FSCTL_DISMOUNT_VOLUME, win::FSCTL_UNLOCK_VOLUME));
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
  g_KX_U2A = 0;
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
  g_KX_U2A = 1;
  EXPECT_NE(GetPortDiskGeometryEx(2, &g), 0);
  EXPECT_EQ(LastRequest().path, "\\\\?\\fake#2");
}

}  // namespace
