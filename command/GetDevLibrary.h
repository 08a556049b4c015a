// Binding of the device-listing library (GetDev.dll, or GetDevSata.dll for SATA
// ports) and the one ROOT_Device record it fills. The record is shared by the
// user-interface thread, the hot-plug and probe threads (which refresh it) and
// the workers (which open their drive through an entry's path), so every access
// goes through one lock.
#pragma once
#include <functional>
#include <mutex>
#include <string>

#include "platform/RootDevice.h"
#include "platform/WinTypes.h"

class CGetDevLibrary {
 public:
  kx::ListKxDeviceFn m_pfnListKxDevice = nullptr;
  win::HMODULE m_hModule = nullptr;

  // The one object, created (and the library loaded) on the first call. Deleting
  // it frees the library; a later call creates a new one.
  static CGetDevLibrary* GetInstance();
  ~CGetDevLibrary();
  CGetDevLibrary(const CGetDevLibrary&) = delete;
  CGetDevLibrary& operator=(const CGetDevLibrary&) = delete;

  // Sets the request byte and lists the devices into the record; readers see
  // the old listing or the new one, never a half-filled one. False (record
  // unchanged) when the export is missing.
  bool ListKxDevice();

 private:
  CGetDevLibrary();
};

namespace kx {

// The record and its lock. WithRootDevice runs fn with the lock held.
void WithRootDevice(const std::function<void(RootDeviceRecord&)>& fn);

// Path of the entry of a 1-based drive number, copied under the lock. False when
// the number is outside 1..min(device count, 128).
bool GetRootDevicePath(int driveNo, std::string& path);

// The path the volume utilities and the disk geometry use for a port's drive:
// "\\.\PhysicalDrive%d" in tester-direct mode, else the listing entry's path.
bool GetPortDevicePath(int driveNo, std::string& path);

}  // namespace kx
