#include "bench/BenchSupport.h"

#include <unistd.h>

#include <system_error>
#include <utility>
#include <vector>

#include "command/CommandGlobals.h"
#include "command/GetDevLibrary.h"
#include "device/ErrorCode.h"
#include "platform/Paths.h"

namespace kxbench {

ScratchFolder::ScratchFolder(const std::string& name, bool onDisk) {
  // A memory file system when there is one: the figures are the program's, not the disk's flushes.
  std::error_code ec;
  const std::filesystem::path base = !onDisk && std::filesystem::is_directory("/dev/shm", ec)
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
  root_ = base / ("kxbench_" + name + "_" + std::to_string(::getpid()));
  std::filesystem::remove_all(root_, ec);
  std::filesystem::create_directories(root_ / "work" / "Configuration" / "System");
  std::filesystem::create_directories(root_ / "drives" / "C");
  std::filesystem::create_directories(root_ / "drives" / "D" / "Log" / "D_Reports");
  std::filesystem::current_path(root_ / "work");
  platform::SetDrivesRoot((root_ / "drives").string());
  g_SettingIniPath = ".\\param.ini";
  g_ParamFdbIniPath = ".\\paramFDB.ini";
  g_KX_U2A = 0;
  kx::FillErrorCodeMap();
}

ScratchFolder::~ScratchFolder() {
  kx::ClearErrorCodeMap();
  std::error_code ec;
  std::filesystem::current_path("/", ec);
  std::filesystem::remove_all(root_, ec);
}

std::shared_ptr<emu::Site> InstallTesterSite(int count, const emu::DriveConfig& cfg) {
  auto site = emu::Site::Create();
  for (int slot = 1; slot <= count; ++slot) {
    site->AddTester(slot, slot);
    site->SetDrive(slot, std::make_shared<emu::Drive>(cfg));
  }
  site->Install();
  return site;
}

std::shared_ptr<emu::Site> InstallBridgeSite(int count, const emu::DriveConfig& cfg) {
  auto site = emu::Site::Create();
  for (int slot = 1; slot <= count; ++slot) {
    site->AddBridge(slot);
    site->SetDrive(slot, std::make_shared<emu::Drive>(cfg));
  }
  site->Install();
  g_KX_U2A = 1;
  g_SataPortMode = 0;
  kx::ClearAtaPassThroughOk();
  const std::vector<emu::ListingEntry> listing = site->Listing(false);
  kx::WithRootDevice([&listing](kx::RootDeviceRecord& r) {
    r = kx::RootDeviceRecord{};
    r.SetCount(static_cast<std::uint32_t>(listing.size()));
    for (std::size_t i = 0; i < listing.size(); ++i) r.SetEntry(i, listing[i].node, listing[i].path);
  });
  return site;
}

std::shared_ptr<emu::Site> InstallTesterSite(int tester, int slot, std::shared_ptr<emu::Drive> drive) {
  auto site = emu::Site::Create();
  site->AddTester(tester, slot);
  site->SetDrive(slot, std::move(drive));
  site->Install();
  return site;
}

}  // namespace kxbench
