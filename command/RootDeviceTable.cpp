#include <cstdio>
#include <cstring>

#include "command/CommandGlobals.h"
#include "command/GetDevLibrary.h"

namespace kx {
namespace {
std::mutex g_rootDeviceMutex;
RootDeviceRecord g_rootDevice;  // guarded by g_rootDeviceMutex
}  // namespace

void WithRootDevice(const std::function<void(RootDeviceRecord&)>& fn) {
  std::lock_guard lock(g_rootDeviceMutex);
  fn(g_rootDevice);
}

bool GetRootDevicePath(int driveNo, std::string& path) {
  std::lock_guard lock(g_rootDeviceMutex);
  const std::uint32_t count = g_rootDevice.Count();
  const std::uint32_t limit = count < kRootDeviceMaxEntries ? count : kRootDeviceMaxEntries;
  if (driveNo < 1 || static_cast<std::uint32_t>(driveNo) > limit) return false;
  const unsigned char* entry =
      &g_rootDevice.bytes[kRootDeviceEntriesOffset + static_cast<std::size_t>(driveNo - 1) * kRootDeviceEntrySize +
                          kRootDeviceTextSize];
  const char* text = reinterpret_cast<const char*>(entry);
  path.assign(text, strnlen(text, kRootDeviceTextSize));  // keeps the caller's capacity
  return true;
}

bool GetPortDevicePath(int driveNo, std::string& path) {
  if (g_KX_U2A != 0) return GetRootDevicePath(driveNo, path);
  char physical[48];
  std::snprintf(physical, sizeof physical, "\\\\.\\PhysicalDrive%d", driveNo);
  path = physical;
  return true;
}

}  // namespace kx
