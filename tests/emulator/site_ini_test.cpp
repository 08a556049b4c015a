// Building a site from Emulator.ini.
#include <filesystem>
#include <fstream>

#include "emulator/EmulatorIni.h"
#include "site_test_util.h"

namespace emu::test {
namespace {

namespace fs = std::filesystem;

class IniTest : public ::testing::Test {
 protected:
  platform::ScopedClock clock_{platform::MakeVirtualClock()};
  fs::path dir_ = fs::temp_directory_path() / ("kxemu_ini_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                               "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& text) {
    const fs::path p = dir_ / "Emulator.ini";
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }
};

TEST_F(IniTest, TwentyFourSlotBridgeSiteWithOverridesAndFaults) {
  const std::string path = Write(
      "; production line 3\r\n[Site]\r\nMode = Bridge, SATA\r\nSlots = 24\r\nCdRom = X\r\n"
      "[Drive]\r\nModel = \"KX40 SATA SSD 256GB\"\r\nCapacityGB = 256\r\nSerial = LINE3\r\nPlanesPerDie = 4\r\n"
      "[Tester]\r\nKind = 2\r\nFirmware = 3.0A\r\n"
      "[slot.5]\r\nEmpty = 1\r\n"
      "[Slot.7]\r\nCode = boot\r\nVolume = F\r\nLockRefused = -1\r\nShort5V = both\r\nPowerFailures = 2\r\n"
      "FailNext = 3\r\nFailError = 121\r\n"
      "[Slot.9]\r\nKind = 4\r\nCapacitySectors = 0x100000\r\n");
  std::string err;
  auto site = LoadEmulatorIni(path, &err);
  ASSERT_TRUE(site) << err;
  const auto bridges = site->Listing(false), ports = site->Listing(true);
  ASSERT_EQ(bridges.size(), 24u);
  ASSERT_EQ(ports.size(), 24u);
  EXPECT_EQ(bridges[4].path, Site::BridgePath(5));  // a bridge stays listed with its slot empty
  EXPECT_EQ(ports[4].path, "NULL");
  EXPECT_EQ(ports[23].path, Site::SataPath(24));
  EXPECT_EQ(site->GetDrive(5), nullptr);
  const DriveConfig& c1 = site->GetDrive(1)->Config();
  EXPECT_EQ(c1.model, "KX40 SATA SSD 256GB");
  EXPECT_EQ(c1.capacitySectors, 500118192u);  // IDEMA 256 GB
  EXPECT_EQ(c1.serial, "LINE30001");
  EXPECT_EQ(c1.planesPerDie, 4u);
  EXPECT_TRUE(site->GetDrive(1)->Powered());
  EXPECT_EQ(site->GetDrive(7)->Config().initialCode, RunningCode::Boot);
  EXPECT_EQ(site->GetDrive(9)->Config().capacitySectors, 0x100000u);
  EXPECT_EQ(site->Bridge(1)->Info().kind, 2);
  EXPECT_EQ(site->Bridge(1)->Info().fwMinor, 0x0A);
  EXPECT_EQ(site->Bridge(9)->Info().kind, 4);
  EXPECT_EQ(site->GetTesterFaults(7).short5V, ShortFault::BothTests);
  EXPECT_EQ(site->GetTesterFaults(7).powerCommandFailures, 2);
  EXPECT_EQ(site->GetTesterFaults(8).powerCommandFailures, 0);
  EXPECT_EQ(site->Volume('F').slot, 7);
  EXPECT_EQ(site->Volume('F').faults.lock, -1);
  EXPECT_EQ(site->Volume('X').slot, 0);

  // Installed, the seam reaches it, with slot 7's transport faults.
  site->Install();
  platform::Clock().SleepMs(1000);
  std::vector<std::uint8_t> id(512);
  const auto identify = Cdb({0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0, 0xEC});
  EXPECT_EQ(ScsiIn(Site::BridgePath(7), identify, id).error, 121u);
  EXPECT_EQ(ScsiIn(Site::BridgePath(8), identify, id).status, 0);
  site->Uninstall();
}

TEST_F(IniTest, TesterModePutsBoardsOnPhysicalDrives) {
  auto site = LoadEmulatorIni(Write("[Site]\nMode=tester\nSlots=3\nFirstPhysicalDrive=4\n[Slot.2]\nFailEvery=2\n"),
                              nullptr);
  ASSERT_TRUE(site);
  EXPECT_EQ(site->Tester(5)->GetFaults().Pending(), 1u);
  EXPECT_EQ(site->Tester(4)->GetFaults().Pending(), 0u);
  ASSERT_NE(site->Tester(4), nullptr);
  EXPECT_EQ(site->Tester(4)->Slot(), 1);
  EXPECT_EQ(site->Tester(6)->Slot(), 3);
  EXPECT_EQ(site->Tester(7), nullptr);
  EXPECT_NE(site->Bridge(2), nullptr);
  EXPECT_EQ(site->Listing(true).size(), 0u);
}

TEST_F(IniTest, BadFilesAreReportedWithTheirPlace) {
  std::string err;
  EXPECT_FALSE(LoadEmulatorIni((dir_ / "missing.ini").string(), &err));
  EXPECT_NE(err.find("cannot open"), std::string::npos);
  const struct {
    const char* text;
    const char* named;
  } bad[] = {
      {"[Drive]\nModel=x\n", "[Site]"},
      {"[Site]\nSlots=49\n", "slots"},
      {"[Site]\nMode=usb\n", "usb"},
      {"[Site]\nSlots=2\n[Slot.2]\nCapacityGB=lots\n", "[slot.2] capacitygb"},
      {"[Site]\nSlots=2\n[Slot.1]\nVolume=E\n[Slot.2]\nVolume=E\n", "Volume"},
      {"[Site]\nSlots=2\n[Slot.1]\nShort33V=sometimes\n", ""},
      {"[Site]\nSlots=2\n[Slot.1]\nCode=rom\n", ""},
      {"[Site]\nMode=tester\nSlots=10\nFirstPhysicalDrive=95\n", ""},
      {"[Site]\nSlots=1\n[Drive]\nPlanesPerDie=3\n", "PlanesPerDie"},
      {"[Site]\nSlots=1\n[Slot.1]\nPageSizeKb=6\n", "[slot.1] PageSizeKb"},
      {"[Site]\nSlots=1\n[Drive]\nCesPerChannel=8\nDiesPerCe=16\n", "128 dies"},
      {"[Site]\nSlots=1\n[Drive]\nBlocksPerPlane=16384\nPlanesPerDie=4\n", "32768 blocks"},
  };
  for (const auto& b : bad) {
    err.clear();
    EXPECT_FALSE(LoadEmulatorIni(Write(b.text), &err)) << b.text;
    EXPECT_NE(err.find(b.named), std::string::npos) << err;
    EXPECT_FALSE(err.empty());
  }
}

TEST_F(IniTest, TheProgramInstallsTheSiteFromItsConfigurationFolder) {
  const fs::path old = fs::current_path();
  fs::create_directories(dir_ / "Configuration" / "System");
  std::ofstream(dir_ / "Configuration" / "System" / "Emulator.ini") << "[Site]\nMode=sata\nSlots=2\n";
  fs::current_path(dir_);
  std::string err;
  const bool ok = InstallSiteFromEmulatorIni(&err);
  fs::current_path(old);
  ASSERT_TRUE(ok) << err;
  auto site = Site::Current();
  ASSERT_TRUE(site);
  platform::Clock().SleepMs(1000);
  std::vector<std::uint8_t> id(512);
  EXPECT_EQ(AtaIdentify(Site::SataPath(2), id).regs[6], 0x50);
  site->Uninstall();
  fs::remove_all(dir_ / "Configuration");
  EXPECT_FALSE(InstallSiteFromEmulatorIni(&err));  // no file: nothing installed
  EXPECT_FALSE(Site::Current());
}

}  // namespace
}  // namespace emu::test
