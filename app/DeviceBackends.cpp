#include "app/DeviceBackends.h"

#include "emulator/EmulatorIni.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/ProgramFolders.h"
#include "platform/linux/DiskBackend.h"
#include "platform/linux/Hotplug.h"

namespace app {

namespace {
constexpr const char* kEmulatorIni = ".\\Configuration\\System\\Emulator.ini";

// The log folder as param.ini gives it now (the pages read it at each Start).
std::vector<std::string> logFolder() {
  return {win::GetPrivateProfileString("Log Path", "SetLogFolderPath", "", ".\\param.ini")};
}
}  // namespace

DeviceBackendChoice SelectDeviceBackends(std::string* error) {
  // Beside the working folder and the drive letters, the disk of the log folder is the program's, never a bay.
  platform::SetProgramFolderSource(logFolder);
  if (platform::FileExists(kEmulatorIni)) {
    std::string why;
    if (emu::InstallSiteFromEmulatorIni(&why)) return DeviceBackendChoice::Emulator;
    if (error) *error = std::string(kEmulatorIni) + ": " + why;
    return DeviceBackendChoice::None;
  }
  platform::RegisterLinuxDiskBackend();
  if (!platform::StartDiskMonitor() && error) *error = "Disk hot-plug notifications are not available (udev).";
  return DeviceBackendChoice::RealDisks;
}

}  // namespace app
