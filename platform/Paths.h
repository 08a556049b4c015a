// Maps the program's Windows-style file paths onto the Linux file system.
//
//   ".\Configuration\System\MPToolSetting.ini"  -> relative to the working folder
//   "X:\MP_SSD_NODE\AutoMapping.ini"            -> <root of X>/MP_SSD_NODE/AutoMapping.ini
//   "D_Reports\\PC_3_Report.txt"                -> separators doubled by "%s\%s" collapse
//   "/tmp/run/param.ini"                        -> native paths pass through
//
// Drive letters map to a folder set per letter, else to <common root>/<LETTER>;
// the common root defaults to "drives" in the working folder. A drive is
// present when its folder exists; on a missing one, creating a folder fails
// with ERROR_PATH_NOT_FOUND as on a drive that is not there. Existing names are
// found without regard to ASCII case, one component at a time, as Windows does;
// components that do not exist yet keep the spelling given. Device paths
// ("\\.\PhysicalDrive0", "\\.\E:") and network paths ("\\host\share") are not
// files and never map.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/WinTypes.h"

namespace platform {

// True for "\\.\..." and "\\?\..." names: they belong to the device I/O seam.
bool IsDevicePath(std::string_view path);

// Native path for a Windows-style path. On failure returns false and sets
// *error (when given) to a Windows error number: ERROR_INVALID_NAME for device,
// network and empty paths, ERROR_PATH_NOT_FOUND for a drive letter with no root.
bool MapPath(std::string_view winPath, std::string& native, win::DWORD* error = nullptr);
// Same, returning "" on failure.
std::string MapPath(std::string_view winPath);

// The path as the system resolves it, for telling whether two paths name the
// same place: absolute, native, symbolic links and "." / ".." resolved and the
// spelling of existing names as stored (so letter case and either separator
// make no difference). A part that does not exist yet is kept as given. False
// when the path does not map or cannot be resolved (*error as for MapPath, or
// the error of the resolution, such as a loop of links).
bool ResolvePath(std::string_view winPath, std::string& resolved, win::DWORD* error = nullptr);
// "<real path of the parent folder>/<name>" for a native path; false when the
// parent folder cannot be resolved, with *error (when given) set to
// ERROR_PATH_NOT_FOUND, or ERROR_FILENAME_EXCED_RANGE for a name too long for
// the system.
bool CanonicalFilePath(const std::string& nativePath, std::string& canonical, win::DWORD* error = nullptr);
// True when the path resolves to the root of a drive: "/", the top folder of a
// mounted file system, or the folder of a drive letter or any folder holding
// one (such as the common folder of the drive letters, or the working folder
// that holds it).
bool HoldsDriveRoot(std::string_view winPath);

// Folder standing for the root of drive `letter` ("" removes the per-letter folder).
void SetDriveRoot(char letter, const std::string& folder);
// Folder under which letters without their own folder live, as <root>/<LETTER>
// ("" disables them, so such paths fail).
void SetDrivesRoot(const std::string& folder);
// Back to the defaults: no per-letter folders, common root "drives".
void ResetDriveRoots();
// Changes whenever a drive root changes (callers caching mapped paths compare it).
std::uint64_t DriveRootsGeneration();
// Changes whenever the process changes its working folder (chdir and fchdir,
// also when called through std::filesystem::current_path), which moves every
// relative path.
std::uint64_t WorkingFolderGeneration();

// ASCII case folding used for every Windows name (other bytes compare as they are).
inline unsigned char FoldCase(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

}  // namespace platform
