// Keeping the operating system away from a port's drive: finding the drive
// letter of the volume on it, locking, dismounting and unlocking that volume,
// deleting the drive's partition layout, and two small disk queries.
//
// A port's drive is found through GetPortDevicePath (command/GetDevLibrary.h):
// its listing entry, or in tester-direct mode its own physical drive.
#pragma once
#include <cstdint>
#include <string>

#include "platform/DeviceIo.h"

// Disk number of a device path; -1 in `diskNumber` and false when the path does
// not open or the query fails.
bool GetDiskNumber(const std::string& devicePath, int& diskNumber);
// Walks the letters from D: upward (CD-ROM letters skipped) for the first volume
// on the disk; 1 with the upper-case letter, else 0.
int FindDriveLetterByDiskNumber(win::DWORD logicalDrives, int diskNumber, char& letter);
// Every letter from D: upward whose volume lies on the disk, as "%C " each.
std::string GetDriveLetterOfDisk(win::DWORD logicalDrives, int diskNumber);
// The request's result (non-zero on success); 0 when the path does not open.
int GetDiskGeometryEx(const std::string& devicePath, win::DISK_GEOMETRY_EX* geometry);
// The same for a port's drive number.
int GetPortDiskGeometryEx(int driveNo, win::DISK_GEOMETRY_EX* geometry);

// The volume handle a port device keeps between locking its volume (or deleting
// the drive's layout) and dismounting it. Never more than one handle is held: a
// refused request closes its handle, a new lock or layout call closes the
// previous one (but a lock after a layout deletion takes the deletion's handle),
// and the destructor closes whatever is still open.
class CPortVolume {
 public:
  explicit CPortVolume(int driveNo) : m_DriveNo(driveNo) {}
  ~CPortVolume();
  CPortVolume(const CPortVolume&) = delete;
  CPortVolume& operator=(const CPortVolume&) = delete;

  // 1 when the port's volume is open and locked.
  int LockPortVolume();
  // Dismount then unlock; 1 and the handle closed when both succeed, else 0
  // (handle kept). 0 when no handle is held.
  int DismountPortVolume();
  // Opens the port's volume and deletes the drive layout; the handle stays open
  // on success (dismount it later).
  bool DeletePortDriveLayout();
  // Closes a held handle (a job abandoning the port).
  void CloseVolumeHandle();
  bool HasVolumeHandle() const { return m_VolumeHandle != nullptr; }

  win::HANDLE m_VolumeHandle = nullptr;
  int m_DriveNo;
  // After a refused lock or layout deletion: the mount point of the drive's
  // file system that would not unmount (files open on it); else empty.
  std::string m_BusyMountPoint;

 private:
  bool OpenPortVolume();
  bool m_LayoutHandle = false;  // the handle held is a layout deletion's
};
