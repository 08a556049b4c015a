// The station PC's own folder, one for every copy of the program on the
// machine's real disks: their drive letters live there (<folder>/drives/<LETTER>),
// so every copy numbers from one C:\SATA_Setting.ini and keeps one
// C:\MP_SSD_NODE\AutoMapping.ini, and beside them the lock that lets one copy
// at a time run on the PC's disks.
#pragma once
#include <string>

#include "platform/WinTypes.h"

namespace platform {

// "/var/lib/kxmp" unless set; moved as a whole by a symbolic link in its place.
std::string StationPcFolder();
// Another folder ("" for the default): tests keep the machine's own untouched.
void SetStationPcFolder(const std::string& folder);
// Drive letters from now on under <StationPcFolder()>/drives.
void UseStationPcDrives();

// The process that holds the lock, as it wrote itself into the lock file.
struct StationPcHolder {
  long pid = 0;        // 0 when it could not be told
  std::string folder;  // its working folder
};

// An exclusive flock on <StationPcFolder()>/kxmp.lock, held while this lives
// (or until Release): the system lets it go with the process, however that
// ends, so a crashed holder never blocks the next start.
class StationPcLock {
 public:
  enum class Result { Taken, Held, Failed };

  StationPcLock() = default;
  ~StationPcLock();
  StationPcLock(const StationPcLock&) = delete;
  StationPcLock& operator=(const StationPcLock&) = delete;

  // Takes the lock without waiting, making the PC's folder when it is missing,
  // and writes this process's id and working folder into the file. Held: the
  // holder as far as it could be told. Failed: *error (when given) is the
  // system's reason, a Windows error number.
  Result Take(StationPcHolder* holder = nullptr, win::DWORD* error = nullptr);
  void Release();
  bool IsHeld() const { return fd_ >= 0; }
  // The lock file's path.
  static std::string File();

 private:
  int fd_ = -1;
};

}  // namespace platform
