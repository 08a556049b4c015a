// The listing library, loaded by its Windows name from Configuration/System and
// called through the export the program resolves, lists the installed site.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "emulator/Drive.h"
#include "emulator/Site.h"
#include "platform/Clock.h"
#include "platform/Library.h"
#include "platform/ProgramFolders.h"
#include "platform/RootDevice.h"
#include "tests/support/ScratchFolder.h"

namespace emu {
namespace {

namespace fs = std::filesystem;

class GetDevTest : public ::testing::Test {
 protected:
  kxtest::ScratchFolder folder_{"SiteGetDev"};
  platform::ScopedClock clock_{platform::MakeVirtualClock()};
  std::shared_ptr<Site> site_ = Site::Create();

  void SetUp() override {
    fs::create_directories("Configuration/System");
    fs::copy_file(KX_GETDEV_LIB, "Configuration/System/libGetDev.so");
    fs::copy_file(KX_GETDEV_SATA_LIB, "Configuration/System/libGetDevSata.so");
    // 24 bridge slots and 24 SATA ports; slot 5 empty, SATA port 24 gone.
    for (int slot = 1; slot <= 24; ++slot) {
      site_->AddBridge(slot);
      site_->AddSataPort(slot);
      if (slot != 5) site_->SetDrive(slot, std::make_shared<Drive>(DriveConfig{}));
    }
    site_->SataPort(24)->SetGone(true);
  }
  void TearDown() override { site_->Uninstall(); }

  static kx::RootDeviceRecord List(const char* dll) {
    kx::RootDeviceRecord rec;
    win::HMODULE lib = win::LoadLibrary(dll);
    EXPECT_NE(lib, nullptr) << dll;
    if (!lib) return rec;
    auto fn = reinterpret_cast<kx::ListKxDeviceFn>(win::GetProcAddress(lib, kx::kListKxDeviceExport));
    EXPECT_NE(fn, nullptr);
    rec.SetRequest(1);
    if (fn) fn(rec.bytes.data());
    win::FreeLibrary(lib);
    return rec;
  }
};

TEST_F(GetDevTest, BridgesAndSataPortsOfTheInstalledSite) {
  site_->Install();
  const auto bridges = List(".\\Configuration\\System\\GetDev.dll");
  ASSERT_EQ(bridges.Count(), 24u);
  EXPECT_EQ(bridges.Path(0), Site::BridgePath(1));
  EXPECT_EQ(bridges.Node(0), "kxemu-bridge-01");
  EXPECT_EQ(bridges.Path(4), Site::BridgePath(5));  // the bridge is there without a drive
  EXPECT_EQ(bridges.Path(23), Site::BridgePath(24));
  EXPECT_EQ(bridges.Path(24), "");
  EXPECT_EQ(bridges.Request(), 1);  // the record's other bytes are left alone

  // Every bay listed: the empty port 5 and the gone port 24 without a device.
  const auto ports = List(".\\Configuration\\System\\GetDevSata.dll");
  ASSERT_EQ(ports.Count(), 24u);
  EXPECT_EQ(ports.Path(0), Site::SataPath(1));
  EXPECT_EQ(ports.Path(4), "NULL");
  EXPECT_EQ(ports.Node(4), "kxemu-sata-05");  // a bay's node whether its port has a device or not
  EXPECT_EQ(ports.Path(23), "NULL");
  EXPECT_EQ(ports.Node(23), "kxemu-sata-24");
}

TEST_F(GetDevTest, WithoutASiteTheLibraryListsRealDisksOnly) {
  const auto rec = List(".\\Configuration\\System\\GetDev.dll");
  EXPECT_LE(rec.Count(), kx::kRootDeviceMaxEntries);
  for (std::size_t i = 0; i < rec.Count(); ++i) EXPECT_EQ(rec.Path(i).find("kxemu"), std::string::npos);
}

// The library's copy of the platform layer leaves out the disks of the
// program's folders; which folders those are it asks the program, whose
// settings name the log folder: on its own it would take a log disk for a bay.
TEST_F(GetDevTest, TheLibraryListsRealPortsAgainstTheProgramsOwnFolders) {
  std::atomic<int> asked{0};
  platform::SetProgramFolderSource([&asked] {
    ++asked;
    return std::vector<std::string>{"/data/Logs"};
  });
  List(".\\Configuration\\System\\GetDev.dll");
  List(".\\Configuration\\System\\GetDevSata.dll");
  platform::SetProgramFolderSource(nullptr);
  EXPECT_EQ(asked.load(), 2);
}

}  // namespace
}  // namespace emu
