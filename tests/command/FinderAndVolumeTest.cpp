// The tester-board finder's matching rules and the volume utilities' handle
// lifecycle.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "command/TesterScanner.h"
#include "command/VolumeUtils.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "tests/command/FakeDevice.h"

using kxtest::Call;

namespace {

struct FakeTester {
  std::string product = "SATA TESTER-S";
  std::string tag = "TAVLIN";
  std::uint16_t id1 = 0x0D7D, id2 = 0x144F;
  char high = '0', low = '1';
};

class FinderTest : public ::testing::Test, public kxtest::Fixture {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("kxcmd_finder_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    backend->script = [this](const Call& c, void* out) -> win::DWORD {
      if (c.code != win::IOCTL_SCSI_PASS_THROUGH) return win::ERROR_INVALID_FUNCTION;
      const int drive = std::atoi(c.path.c_str() + std::strlen("\\\\.\\PhysicalDrive"));
      auto it = testers.find(drive);
      auto* b = static_cast<win::ScsiPassThroughBlock*>(out);
      std::memset(b->Data, 0, sizeof b->Data);
      if (it == testers.end()) {
        if (c.spt.Cdb[0] == 0x12) std::memcpy(b->Data + 16, "SOME DISK       ", 16);
        return 0;
      }
      const FakeTester& t = it->second;
      if (c.spt.Cdb[0] == 0x12) {
        std::memcpy(b->Data + 16, t.product.data(), std::min<std::size_t>(t.product.size(), 16));
      } else if (c.spt.Cdb[0] == 0x08 && c.spt.Cdb[2] == 0xA0) {
        b->Data[8] = t.id1 & 0xFF;
        b->Data[9] = t.id1 >> 8;
        b->Data[10] = t.id2 & 0xFF;
        b->Data[11] = t.id2 >> 8;
        b->Data[118] = static_cast<std::uint8_t>(t.high);
        b->Data[120] = static_cast<std::uint8_t>(t.low);
        std::memcpy(b->Data + 196, t.tag.data(), 6);
      }
      return 0;
    };
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  std::map<int, FakeTester> testers;
  std::filesystem::path dir_, old_;
};

TEST_F(FinderTest, RequestBlockAndHexDigits) {
  CTesterScanner scanner;
  EXPECT_EQ(scanner.Inquiry(4), 0);
  auto c = backend->Requests().back();
  EXPECT_EQ(c.path, "\\\\.\\PhysicalDrive4");
  EXPECT_EQ(c.spt.TargetId, 1);
  EXPECT_EQ(c.spt.DataIn, 1);
  EXPECT_EQ(c.spt.DataTransferLength, 36u);
  EXPECT_EQ(c.spt.TimeOutValue, 10u);
  EXPECT_EQ(c.Cdb(), kxtest::Bytes({0x12, 0, 0, 0, 0x24}));
  EXPECT_EQ(scanner.TestUnitReady(4), 0);
  EXPECT_EQ(backend->Requests().back().spt.DataIn, 1);  // data in even without data
  EXPECT_EQ(backend->Requests().back().spt.DataTransferLength, 0u);
  EXPECT_EQ(backend->openHandles, 0);
  backend->missing["\\\\.\\PhysicalDrive9"] = 1;
  EXPECT_EQ(scanner.Inquiry(9), static_cast<int>(win::ERROR_FILE_NOT_FOUND));

  EXPECT_EQ(CTesterScanner::HexPairToInt("0A"), 10);
  EXPECT_EQ(CTesterScanner::HexPairToInt("a"), 10);
  EXPECT_EQ(CTesterScanner::HexPairToInt("1f"), 31);
  EXPECT_EQ(CTesterScanner::HexPairToInt("zz"), 0);
  EXPECT_EQ(CTesterScanner::HexPairToInt("3z"), 3);
  EXPECT_EQ(CTesterScanner::HexPairToInt(""), 0);
}

TEST_F(FinderTest, MatchingRules) {
  CTesterScanner scanner;
  // nothing that looks like a tester
  EXPECT_FALSE(scanner.ScanTesters(0, ""));
  for (int i = 0; i < 25; ++i) EXPECT_EQ(scanner.m_SlotMap[i], 0);

  testers[2] = FakeTester{"SATA TESTER-S", "TAVLIN", 0x0D7D, 0x144F, '0', 'A'};  // slot 10
  testers[3] = FakeTester{"SATA3-TESTER XYZ", "VuZuRo", 0x0D7D, 0x144F, '0', '5'};
  testers[4] = FakeTester{"SATA TESTER-X", "TAVLIN", 0x0D7D, 0x144F, '0', '6'};    // product does not match
  testers[5] = FakeTester{"SATA TESTER-S", "OTHERS", 0x0D7D, 0x144F, '0', '7'};    // tag differs
  testers[6] = FakeTester{"SATA TESTER-S", "TAVLIN", 0x0D7E, 0x144F, '0', '8'};    // id differs
  testers[7] = FakeTester{"SATA TESTER-S", "TAVLIN", 0x0D7D, 0x144E, '0', '9'};
  testers[9] = FakeTester{"SATA TESTER-S", "TAVLIN", 0x0D7D, 0x144F, '0', 'a'};    // same slot 10, later drive wins
  EXPECT_TRUE(scanner.ScanTesters(0, ""));
  EXPECT_EQ(scanner.m_SlotMap[10], 9);
  EXPECT_EQ(scanner.m_SlotMap[5], 3);
  for (int s : {6, 7, 8, 9}) EXPECT_EQ(scanner.m_SlotMap[s], 0) << s;
  EXPECT_EQ(scanner.m_TesterIds[0], 0x0D7D);
  EXPECT_EQ(scanner.m_TesterIds[1], 0x144F);

  // a slot beyond 48 ends the scan with FALSE, entries written so far stay
  testers[8] = FakeTester{"SATA TESTER-S", "TAVLIN", 0x0D7D, 0x144F, '3', '1'};
  EXPECT_FALSE(scanner.ScanTesters(0, ""));
  EXPECT_EQ(scanner.m_SlotMap[5], 3);
  EXPECT_EQ(scanner.m_SlotMap[10], 2);
  testers[8].high = '0';
  testers[8].low = '0';  // slot 0 fails too
  EXPECT_FALSE(scanner.ScanTesters(0, ""));
}

TEST_F(FinderTest, AssignTesterPinsTheScan) {
  testers[1] = FakeTester{"SATA TESTER-S", "TAVLIN", 0x0D7D, 0x144F, '0', '1'};
  testers[2] = FakeTester{"SATA TESTER-S", "TAVLIN", 0x0D7D, 0x144F, '0', '3'};
  testers[3] = FakeTester{"SATA TESTER-S", "TAVLIN", 0x0D7D, 0x144F, '0', '5'};
  win::WritePrivateProfileString("Options", "Assign_Tester", " 3 ", ".\\TesterSetting.ini");
  CTesterScanner scanner;
  EXPECT_TRUE(scanner.ScanTesters(0, ""));
  EXPECT_EQ(scanner.m_SlotMap[3], 2);
  EXPECT_EQ(scanner.m_SlotMap[1], 0);
  EXPECT_EQ(scanner.m_SlotMap[5], 0);
}

// ---- volume utilities

class VolumeTest : public ::testing::Test, public kxtest::Fixture {
 protected:
  VolumeTest() {
    // C: system, D: CD-ROM, E: on disk 7 (the port's drive), F: on disk 9
    backend->logicalDrives = (1u << 2) | (1u << 3) | (1u << 4) | (1u << 5);
    backend->driveTypes['D'] = win::DRIVE_CDROM;
    backend->deviceNumbers["\\\\?\\fake#2"] = 7;
    backend->deviceNumbers["\\\\.\\PhysicalDrive2"] = 9;
    backend->deviceNumbers["\\\\.\\C:"] = 7;
    backend->deviceNumbers["\\\\.\\D:"] = 7;
    backend->deviceNumbers["\\\\.\\E:"] = 7;
    backend->deviceNumbers["\\\\.\\F:"] = 9;
  }
  std::vector<std::string> VolumeOpens() const {
    std::vector<std::string> r;
    for (const auto& p : backend->opens) {
      if (p.size() == 6 && p[5] == ':') r.push_back(p);
    }
    return r;
  }
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
  backend->logicalDrives |= 1u << 6;
  EXPECT_EQ(GetDriveLetterOfDisk(backend->logicalDrives, 7), "E G ");
  EXPECT_EQ(GetDriveLetterOfDisk(backend->logicalDrives, 3), "");
}

TEST_F(VolumeTest, LockDismountLifecycle) {
  {
    CPortVolume vol(2);
    EXPECT_EQ(vol.LockPortVolume(), 1);
    EXPECT_TRUE(vol.HasVolumeHandle());
    EXPECT_EQ(backend->CountCode(win::FSCTL_LOCK_VOLUME), 1);
    EXPECT_EQ(backend->openHandles, 1);
    // a second lock closes the first handle
    EXPECT_EQ(vol.LockPortVolume(), 1);
    EXPECT_EQ(backend->openHandles, 1);
    EXPECT_EQ(vol.DismountPortVolume(), 1);
    EXPECT_FALSE(vol.HasVolumeHandle());
    EXPECT_EQ(backend->openHandles, 0);
    EXPECT_EQ(vol.DismountPortVolume(), 0);  // nothing held any more
    // refused lock: its handle is closed
    backend->refuse["\\\\.\\E:#" + std::to_string(win::FSCTL_LOCK_VOLUME)] = win::ERROR_ACCESS_DENIED;
    EXPECT_EQ(vol.LockPortVolume(), 0);
    EXPECT_FALSE(vol.HasVolumeHandle());
    EXPECT_EQ(backend->openHandles, 0);
    backend->refuse.clear();
    // refused unlock: the handle stays for a later try; the destructor closes it
    EXPECT_EQ(vol.LockPortVolume(), 1);
    backend->refuse["\\\\.\\E:#" + std::to_string(win::FSCTL_UNLOCK_VOLUME)] = win::ERROR_ACCESS_DENIED;
    EXPECT_EQ(vol.DismountPortVolume(), 0);
    EXPECT_TRUE(vol.HasVolumeHandle());
    EXPECT_EQ(backend->openHandles, 1);
  }
  EXPECT_EQ(backend->openHandles, 0);
}

TEST_F(VolumeTest, DeleteLayoutLifecycle) {
  CPortVolume vol(2);
  EXPECT_TRUE(vol.DeletePortDriveLayout());
  EXPECT_TRUE(vol.HasVolumeHandle());
  EXPECT_EQ(backend->CountCode(win::IOCTL_DISK_DELETE_DRIVE_LAYOUT), 1);
  EXPECT_EQ(vol.DismountPortVolume(), 1);
  backend->refuse["\\\\.\\E:#" + std::to_string(win::IOCTL_DISK_DELETE_DRIVE_LAYOUT)] = win::ERROR_ACCESS_DENIED;
  EXPECT_FALSE(vol.DeletePortDriveLayout());
  EXPECT_FALSE(vol.HasVolumeHandle());
  EXPECT_EQ(backend->openHandles, 0);
}

TEST_F(VolumeTest, NoVolumeMeansNothingOpened) {
  backend->deviceNumbers["\\\\?\\fake#2"] = 5;  // no letter lies on disk 5
  CPortVolume vol(2);
  EXPECT_EQ(vol.LockPortVolume(), 0);
  EXPECT_FALSE(vol.DeletePortDriveLayout());
  EXPECT_EQ(backend->CountCode(win::FSCTL_LOCK_VOLUME), 0);
  // a drive number outside the listing finds nothing at all
  CPortVolume outside(9);
  EXPECT_EQ(outside.LockPortVolume(), 0);
  win::DISK_GEOMETRY_EX g;
  EXPECT_EQ(GetPortDiskGeometryEx(9, &g), 0);
}

TEST_F(VolumeTest, TesterDirectModeUsesThePortsOwnPhysicalDrive) {
  g_KX_U2A = 0;
  CPortVolume vol(2);
  EXPECT_EQ(vol.LockPortVolume(), 1);  // PhysicalDrive2 is disk 9, letter F:
  EXPECT_EQ(VolumeOpens().back(), "\\\\.\\F:");
  EXPECT_EQ(std::count(backend->opens.begin(), backend->opens.end(), "\\\\?\\fake#2"), 0);
  EXPECT_TRUE(vol.DeletePortDriveLayout());
  EXPECT_EQ(backend->Requests().back().path, "\\\\.\\F:");

  backend->script = [](const Call& c, void* out) {
    if (c.code == win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) static_cast<win::DISK_GEOMETRY_EX*>(out)->DiskSize = 1234;
    return win::DWORD{0};
  };
  win::DISK_GEOMETRY_EX g;
  EXPECT_NE(GetPortDiskGeometryEx(2, &g), 0);
  EXPECT_EQ(g.DiskSize, 1234);
  EXPECT_EQ(backend->Requests().back().path, "\\\\.\\PhysicalDrive2");
  g_KX_U2A = 1;
  EXPECT_NE(GetPortDiskGeometryEx(2, &g), 0);
  EXPECT_EQ(backend->Requests().back().path, "\\\\?\\fake#2");
  backend->missing["\\\\?\\fake#missing"] = 1;
  EXPECT_EQ(GetDiskGeometryEx("\\\\?\\fake#missing", &g), 0);
}

}  // namespace
