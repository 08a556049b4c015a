// Chooses where the program's device paths lead: the emulated site described by
// .\Configuration\System\Emulator.ini when that file exists, else the machine's
// real disks through SG_IO with the udev hot-plug monitor.
#pragma once
#include <string>

namespace app {

enum class DeviceBackendChoice { Emulator, RealDisks, None };

// Installs the chosen back end. An Emulator.ini that exists but cannot be read
// or is wrong gives None and the reason in *error: a station configured for the
// emulator must never fall through to real disks.
DeviceBackendChoice SelectDeviceBackends(std::string* error);

}  // namespace app
