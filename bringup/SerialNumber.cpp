// The serial-number source: TakeSerialNumber, the step that gives a drive the
// next serial number from the serial-number settings. It sends no command; the
// settings are INI files read and written through the profile calls
// (platform/Profile.h), whose writes replace a file atomically.
#include "bringup/SerialNumber.h"

#include <mutex>

#include "device/Environment.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "platform/FolderLock.h"

using kx::StrFormat;

namespace kx {

SnStatus AdvanceSerialNumber(const std::string& serial, std::string& next) {
  if (serial.size() < kSnCounterDigits || serial.size() > kSnMaxChars) return SnStatus::Invalid;
  const std::size_t at = serial.size() - kSnCounterDigits;
  std::string counter = serial.substr(at);
  for (char c : counter)
    if (c < '0' || c > '9') return SnStatus::Invalid;
  std::size_t i = counter.size();
  while (i > 0 && counter[i - 1] == '9') counter[--i] = '0';
  if (i == 0) return SnStatus::UsedUp;
  ++counter[i - 1];
  next = serial.substr(0, at) + counter;
  return SnStatus::Ok;
}

std::string SerialSettingsPath(const std::string& snSettingPath) {
  const bool local = ReadProfileInt("General Info", kUseLocalSnKey, 0, kToolSettingIniPath) != 0;
  return local ? std::string(kToolSettingIniPath) : snSettingPath;
}

TakenSerial TakeNextSerialNumber(const std::string& settingsPath) {
  // Every port thread of every process sharing the settings takes its number
  // here; the read and the write-back must not interleave with another's. The
  // mutex serialises this process's port threads.
  static std::mutex takeMutex;
  std::lock_guard<std::mutex> lock(takeMutex);
  TakenSerial taken;
  if (settingsPath.empty()) {
    taken.status = SnStatus::NoSettingsFile;
    return taken;
  }
  platform::ProfileWriteLock folderLock(settingsPath);
  if (folderLock.Error() != 0) {
    taken.status = SnStatus::WriteFailed;
    // A missing folder (a missing drive root above all) in the system's words.
    taken.why =
        folderLock.Error() == win::ERROR_PATH_NOT_FOUND ? OsErrorText(folderLock.Error()) : folderLock.ErrorText();
    return taken;
  }
  std::string serial = ReadProfileText(kSnSettingSection, kSnNextKey, settingsPath.c_str(), 250);
  if (serial.empty()) {
    const int first = ReadProfileInt("General Info", "SerialNum", 0, SettingIniPath().c_str());
    serial = StrFormat("%08d", first);
  }
  std::string next;
  taken.status = AdvanceSerialNumber(serial, next);
  if (taken.status != SnStatus::Ok) return taken;
  if (!WriteProfileText(kSnSettingSection, kSnNextKey, next, settingsPath)) {
    taken.status = SnStatus::WriteFailed;
    taken.why = OsErrorText(win::GetLastError());
    return taken;
  }
  taken.serial = serial;
  taken.next = next;
  return taken;
}

}  // namespace kx

bool CPortDevice::TakeSerialNumber() {
  const std::string path = kx::SerialSettingsPath(m_SnSettingPath);
  const kx::TakenSerial taken = kx::TakeNextSerialNumber(path);
  switch (taken.status) {
    case kx::SnStatus::Ok:
      m_SerialNumber = taken.serial;
      m_SerialNumBase = taken.serial;
      m_ConfiguredSerialNumber = taken.serial;
      return true;
    case kx::SnStatus::NoSettingsFile:
      Fail("S_x11", "Serial Number setting file is not found!!", false);
      break;
    case kx::SnStatus::Invalid:
      Fail("S_x12", StrFormat("Serial Number setting is not valid!!(%s)", path.c_str()), false);
      break;
    case kx::SnStatus::UsedUp:
      Fail("S_x13", StrFormat("Serial Number is used up!!(%s)", path.c_str()), false);
      break;
    case kx::SnStatus::WriteFailed:
      Fail("S_x14", taken.why.empty()
                        ? StrFormat("Write Serial Number setting fail!!(%s)", path.c_str())
                        : StrFormat("Write Serial Number setting fail!!(%s: %s)", path.c_str(), taken.why.c_str()),
           false);
      break;
  }
  return false;
}
