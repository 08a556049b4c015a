#include "command/VolumeUtils.h"

#include <cctype>
#include <cstdio>

#include "command/GetDevLibrary.h"

namespace {

constexpr int kFirstLetter = 3;  // D:; A: to C: are never examined

// Device number of an open handle, or -1.
int deviceNumberOf(win::HANDLE h) {
  win::STORAGE_DEVICE_NUMBER number;
  win::DWORD returned = 0;
  if (!win::DeviceIoControl(h, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &returned,
                            nullptr)) {
    return -1;
  }
  return static_cast<int>(number.DeviceNumber);
}

win::HANDLE openVolume(char letter) {
  char path[16];
  std::snprintf(path, sizeof path, "\\\\.\\%c:", letter);
  return win::CreateFileA(path, win::GENERIC_READ | win::GENERIC_WRITE, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                          nullptr, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool control(win::HANDLE h, win::DWORD code) {
  win::DWORD returned = 0;
  return win::DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
}

// Calls fn(letter) for each letter from D: upward whose volume is on the disk
// until fn returns false.
template <typename Fn>
void forEachLetterOnDisk(win::DWORD logicalDrives, int diskNumber, Fn fn) {
  win::DWORD mask = logicalDrives >> kFirstLetter;
  for (char letter = 'A' + kFirstLetter; mask != 0 && letter <= 'Z'; ++letter, mask >>= 1) {
    if ((mask & 1) == 0) continue;
    const char root[4] = {letter, ':', '\\', '\0'};
    if (win::GetDriveTypeA(root) == win::DRIVE_CDROM) continue;
    win::HANDLE h = openVolume(letter);
    if (h == win::INVALID_HANDLE_VALUE) continue;
    const int number = deviceNumberOf(h);
    win::CloseHandle(h);
    if (number >= 0 && number == diskNumber && !fn(letter)) return;
  }
}

}  // namespace

bool GetDiskNumber(const std::string& devicePath, int& diskNumber) {
  diskNumber = -1;
  win::HANDLE h = win::CreateFileA(devicePath.c_str(), 0, win::FILE_SHARE_READ, nullptr, win::OPEN_EXISTING, 0, nullptr);
  if (h == win::INVALID_HANDLE_VALUE) return false;
  const int number = deviceNumberOf(h);
  win::CloseHandle(h);
  if (number < 0) return false;
  diskNumber = number;
  return true;
}

int FindDriveLetterByDiskNumber(win::DWORD logicalDrives, int diskNumber, char& letter) {
  int found = 0;
  forEachLetterOnDisk(logicalDrives, diskNumber, [&](char l) {
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(l)));
    found = 1;
    return false;
  });
  return found;
}

std::string GetDriveLetterOfDisk(win::DWORD logicalDrives, int diskNumber) {
  std::string letters;
  forEachLetterOnDisk(logicalDrives, diskNumber, [&](char l) {
    letters += static_cast<char>(std::toupper(static_cast<unsigned char>(l)));
    letters += ' ';
    return true;
  });
  return letters;
}

int GetDiskGeometryEx(const std::string& devicePath, win::DISK_GEOMETRY_EX* geometry) {
  win::HANDLE h = win::CreateFileA(devicePath.c_str(), 0, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                                   win::OPEN_EXISTING, 0, nullptr);
  if (h == win::INVALID_HANDLE_VALUE) return 0;
  win::DWORD returned = 0;
  const win::BOOL ok = win::DeviceIoControl(h, win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry,
                                            sizeof *geometry, &returned, nullptr);
  win::CloseHandle(h);
  return ok;
}

int GetPortDiskGeometryEx(int driveNo, win::DISK_GEOMETRY_EX* geometry) {
  std::string path;
  if (!kx::GetPortDevicePath(driveNo, path)) return 0;
  return GetDiskGeometryEx(path, geometry);
}

CPortVolume::~CPortVolume() { CloseVolumeHandle(); }

void CPortVolume::CloseVolumeHandle() {
  if (m_VolumeHandle != nullptr) win::CloseHandle(m_VolumeHandle);
  m_VolumeHandle = nullptr;
  m_LayoutHandle = false;
}

bool CPortVolume::OpenPortVolume() {
  CloseVolumeHandle();
  std::string path;
  int disk = -1;
  char letter = 0;
  if (!kx::GetPortDevicePath(m_DriveNo, path) || !GetDiskNumber(path, disk)) return false;
  if (!FindDriveLetterByDiskNumber(win::GetLogicalDrives(), disk, letter)) return false;
  win::HANDLE h = openVolume(letter);
  if (h == win::INVALID_HANDLE_VALUE) return false;
  m_VolumeHandle = h;
  return true;
}

int CPortVolume::LockPortVolume() {
  m_BusyMountPoint.clear();
  // The layout deletion's handle is locked where it is: deleting the layout
  // unmounts the volume, and its letter goes with the partition.
  if (!m_LayoutHandle && !OpenPortVolume()) return 0;
  if (control(m_VolumeHandle, win::FSCTL_LOCK_VOLUME)) return 1;
  m_BusyMountPoint = platform::LastBusyMountPoint();
  CloseVolumeHandle();
  return 0;
}

int CPortVolume::DismountPortVolume() {
  if (m_VolumeHandle == nullptr) return 0;
  if (!control(m_VolumeHandle, win::FSCTL_DISMOUNT_VOLUME)) return 0;
  if (!control(m_VolumeHandle, win::FSCTL_UNLOCK_VOLUME)) return 0;
  CloseVolumeHandle();
  return 1;
}

bool CPortVolume::DeletePortDriveLayout() {
  m_BusyMountPoint.clear();
  if (!OpenPortVolume()) return false;
  if (control(m_VolumeHandle, win::IOCTL_DISK_DELETE_DRIVE_LAYOUT)) {
    m_LayoutHandle = true;
    return true;
  }
  m_BusyMountPoint = platform::LastBusyMountPoint();
  CloseVolumeHandle();
  return false;
}
