// Chooses where the program's device paths lead: the emulated site described by
// .\Configuration\System\Emulator.ini when that file exists, else the machine's
// real disks through SG_IO with the udev hot-plug monitor. On the emulated site
// the drive letters stay in the working folder; on real disks they are the
// station PC's, shared by every copy of the program on it.
#pragma once
#include <string>

#include "platform/StationPc.h"

namespace app {

enum class DeviceBackendChoice { Emulator, RealDisks, None };

// Installs the chosen back end. An Emulator.ini that exists but cannot be read
// or is wrong gives None and the reason in *error: a station configured for the
// emulator must never fall through to real disks. On real disks `pcLock` is
// taken first: while another process holds it (or it cannot be taken) the
// result is None and *error names that process (or the reason), before any
// drive is touched.
DeviceBackendChoice SelectDeviceBackends(std::string* error, platform::StationPcLock& pcLock);

}  // namespace app
