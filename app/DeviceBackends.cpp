#include "app/DeviceBackends.h"

#include "emulator/EmulatorIni.h"
#include "platform/Files.h"
#include "platform/linux/DiskBackend.h"
#include "platform/linux/Hotplug.h"

namespace app {

namespace {
constexpr const char* kEmulatorIni = ".\\Configuration\\System\\Emulator.ini";
}

DeviceBackendChoice SelectDeviceBackends(std::string* error) {
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
