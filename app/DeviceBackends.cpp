#include "app/DeviceBackends.h"

#include "device/Format.h"
#include "emulator/EmulatorIni.h"
#include "platform/Files.h"
#include "platform/Paths.h"
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

// One process at a time on the PC's disks: every one of them shares C:\ and so
// the station's bays file, which would lead two listings' ports to each
// other's drives.
bool takePc(platform::StationPcLock& pcLock, std::string* error) {
  platform::StationPcHolder holder;
  win::DWORD reason = 0;
  const auto result = pcLock.Take(&holder, &reason);
  if (result == platform::StationPcLock::Result::Taken) return true;
  if (!error) return false;
  const std::string file = platform::StationPcLock::File();
  if (result == platform::StationPcLock::Result::Failed) {
    *error = kx::StrFormat("%s cannot be locked: %s", file.c_str(), kx::OsErrorText(reason).c_str());
  } else if (holder.pid > 0) {
    *error = kx::StrFormat("Another kxmp runs on this PC's disks: process %ld, working folder %s (it holds %s).",
                           holder.pid, holder.folder.c_str(), file.c_str());
  } else {
    *error = kx::StrFormat("Another process holds %s.", file.c_str());
  }
  *error += kx::StrFormat(
      " Every kxmp on this PC's disks shares C:\\ (%s) and the station's bays in C:\\MP_SSD_NODE\\AutoMapping.ini, "
      "so one runs at a time: this one does not start.",
      platform::MapPath("C:\\").c_str());
  return false;
}
}  // namespace

DeviceBackendChoice SelectDeviceBackends(std::string* error, platform::StationPcLock& pcLock) {
  // Beside the working folder and the drive letters, the disk of the log folder is the program's, never a bay.
  platform::SetProgramFolderSource(logFolder);
  if (platform::FileExists(kEmulatorIni)) {
    std::string why;
    if (emu::InstallSiteFromEmulatorIni(&why)) return DeviceBackendChoice::Emulator;
    if (error) *error = std::string(kEmulatorIni) + ": " + why;
    return DeviceBackendChoice::None;
  }
  platform::UseStationPcDrives();
  if (!takePc(pcLock, error)) return DeviceBackendChoice::None;
  platform::RegisterLinuxDiskBackend();
  if (!platform::StartDiskMonitor() && error) *error = "Disk hot-plug notifications are not available (udev).";
  return DeviceBackendChoice::RealDisks;
}

}  // namespace app
