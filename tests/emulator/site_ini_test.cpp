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
      "; production line 3\r\n"
      "[Site]\r\n"
      "Mode = Bridge, SATA\r\n"
      "Slots = 24\r\n"
      "CdRom = X\r\n"
      "[Drive]\r\n"
      "Model = \"KX40 SATA SSD 256GB\"\r\n"
      "CapacityGB = 256\r\n"
      "Serial = LINE3\r\n"
      "BootDelayMs = 200\r\n"
      "PlanesPerDie = 4\r\n"
      "[Tester]\r\n"
      "Kind = 2\r\n"
      "Firmware = 3.0A\r\n"
      "[slot.5]\r\n"
      "Empty = 1\r\n"
      "[Slot.7]\r\n"
      "Code = boot\r\n"
      "Volume = F\r\n"
      "LockRefused = -1\r\n"
      "Short5V = both\r\n"
      "PowerFailures = 2\r\n"
      "KeyRefused = 1\r\n"
      "FailNext = 3\r\n"
      "FailError = 121\r\n"
      "[Slot.9]\r\n"
      "Kind = 4\r\n"
      "CapacitySectors = 0x100000\r\n");
  std::string err;
  auto site = LoadEmulatorIni(path, &err);
  ASSERT_TRUE(site) << err;
  const auto bridges = site->Listing(false);
  ASSERT_EQ(bridges.size(), 24u);
  EXPECT_EQ(bridges[4].path, Site::BridgePath(5));  // a bridge stays listed with its slot empty
  const auto ports = site->Listing(true);
  ASSERT_EQ(ports.size(), 24u);
  EXPECT_EQ(ports[4].path, "NULL");
  EXPECT_EQ(ports[23].path, Site::SataPath(24));
  EXPECT_EQ(site->GetDrive(5), nullptr);

  auto d1 = site->GetDrive(1);
  ASSERT_TRUE(d1);
  EXPECT_EQ(d1->Config().model, "KX40 SATA SSD 256GB");
  EXPECT_EQ(d1->Config().capacitySectors, 500118192u);  // IDEMA 256 GB
  EXPECT_EQ(d1->Config().serial, "LINE30001");
  EXPECT_EQ(d1->Config().planesPerDie, 4u);
  EXPECT_TRUE(d1->Powered());
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
  EXPECT_EQ(site->Bridge(7)->GetFaults().Pending(), 1u);
  EXPECT_EQ(site->Bridge(8)->GetFaults().Pending(), 0u);

  // Installed, the seam reaches it.
  site->Install();
  platform::Clock().SleepMs(1000);
  std::vector<std::uint8_t> id(512);
  const auto bad = ScsiIn(Site::BridgePath(7), Cdb({0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0, 0xEC}), id);
  EXPECT_EQ(bad.error, 121u);
  const auto good = ScsiIn(Site::BridgePath(1), Cdb({0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0, 0xEC}), id);
  EXPECT_EQ(good.status, 0);
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
  EXPECT_FALSE(LoadEmulatorIni(Write("[Drive]\nModel=x\n"), &err));
  EXPECT_NE(err.find("[Site]"), std::string::npos);
  EXPECT_FALSE(LoadEmulatorIni(Write("[Site]\nSlots=49\n"), &err));
  EXPECT_NE(err.find("slots"), std::string::npos);
  EXPECT_FALSE(LoadEmulatorIni(Write("[Site]\nMode=usb\n"), &err));
  EXPECT_NE(err.find("usb"), std::string::npos);
  EXPECT_FALSE(LoadEmulatorIni(Write("[Site]\nSlots=2\n[Slot.2]\nCapacityGB=lots\n"), &err));
  EXPECT_NE(err.find("[slot.2] capacitygb"), std::string::npos) << err;
  EXPECT_FALSE(LoadEmulatorIni(Write("[Site]\nSlots=2\n[Slot.1]\nVolume=E\n[Slot.2]\nVolume=E\n"), &err));
  EXPECT_NE(err.find("Volume"), std::string::npos);
  EXPECT_FALSE(LoadEmulatorIni(Write("[Site]\nSlots=2\n[Slot.1]\nShort33V=sometimes\n"), &err));
  EXPECT_FALSE(LoadEmulatorIni(Write("[Site]\nSlots=2\n[Slot.1]\nCode=rom\n"), &err));
  EXPECT_FALSE(LoadEmulatorIni(Write("[Site]\nMode=tester\nSlots=10\nFirstPhysicalDrive=95\n"), &err));
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
  EXPECT_EQ(SendAta(Site::SataPath(2), {0, 1, 0, 0, 0, 0xA0, 0xEC}, win::ATA_FLAGS_DATA_IN, id.data(), 512).regs[6],
            0x50);
  site->Uninstall();
  fs::remove_all(dir_ / "Configuration");
  EXPECT_FALSE(InstallSiteFromEmulatorIni(&err));  // no file: nothing installed
  EXPECT_FALSE(Site::Current());
}

}  // namespace
}  // namespace emu::test
