// The device-listing library (libGetDev.so, and libGetDevSata.so built from the
// same source with KX_GETDEV_SATA). Its one export fills the listing record
// (platform/RootDevice.h) handed to it:
//   - with the ports of the emulated site, when the process that loaded the
//     library has one installed: the library finds the emulator's C entry
//     kxemu_ListDevices in that process with dlsym(RTLD_DEFAULT) (the executable
//     must export its symbols: CMake ENABLE_EXPORTS);
//   - otherwise with the real ports of USB hubs or SATA controllers.
//
// The program resolves the export by its decorated Windows name
// "@ListKxDevice$qp11ROOT_Device". The ELF linker reads '@' in a symbol as a
// version separator, so that name cannot be exported here; the library exports
// the plain C name "ListKxDevice", which the platform's GetProcAddress tries
// when the decorated name is missing.
#include <dlfcn.h>

#include "platform/linux/DeviceListing.h"

namespace {

#ifdef KX_GETDEV_SATA
constexpr int kSataPorts = 1;
constexpr platform::DiskPort kPort = platform::DiskPort::Sata;
#else
constexpr int kSataPorts = 0;
constexpr platform::DiskPort kPort = platform::DiskPort::Usb;
#endif

using SiteListFn = int (*)(int sataPorts, unsigned char* rootDevice);

}  // namespace

extern "C" __attribute__((visibility("default"))) void ListKxDevice(unsigned char* rootDevice) {
  if (rootDevice == nullptr) return;
  if (auto fn = reinterpret_cast<SiteListFn>(::dlsym(RTLD_DEFAULT, "kxemu_ListDevices"))) {
    if (fn(kSataPorts, rootDevice) >= 0) return;
  }
  platform::ListRealPorts(rootDevice, kPort);
}
