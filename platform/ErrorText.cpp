#include "platform/ErrorText.h"

#include <cerrno>
#include <map>

namespace win {

std::string FormatMessage(DWORD code) {
  static const std::map<DWORD, const char*> kTexts = {
      {ERROR_SUCCESS, "The operation completed successfully."},
      {ERROR_INVALID_FUNCTION, "Incorrect function."},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
      {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
      {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
      {ERROR_ACCESS_DENIED, "Access is denied."},
      {ERROR_INVALID_HANDLE, "The handle is invalid."},
      {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
      {ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive."},
      {ERROR_NO_MORE_FILES, "There are no more files."},
      {ERROR_WRITE_PROTECT, "The media is write protected."},
      {ERROR_NOT_READY, "The device is not ready."},
      {ERROR_CRC, "Data error (cyclic redundancy check)."},
      {ERROR_SECTOR_NOT_FOUND, "The drive cannot find the sector requested."},
      {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
      {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
      {ERROR_HANDLE_DISK_FULL, "The disk is full."},
      {ERROR_NOT_SUPPORTED, "The request is not supported."},
      {ERROR_FILE_EXISTS, "The file exists."},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_BUFFER_OVERFLOW, "The file name is too long."},
      {ERROR_DISK_FULL, "There is not enough space on the disk."},
      {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
      {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
      {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
      {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
      {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
      {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
      {ERROR_LOCK_FAILED, "Unable to lock a region of a file."},
      {ERROR_BUSY, "The requested resource is in use."},
      {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
      {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
      {ERROR_MORE_DATA, "More data is available."},
      {ERROR_DIRECTORY, "The directory name is invalid."},
      {ERROR_NOACCESS, "Invalid access to memory location."},
      {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
      {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
      {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system."},
  };
  const auto it = kTexts.find(code);
  if (it == kTexts.end()) return "Unknown error " + std::to_string(code) + ".\r\n";
  return std::string(it->second) + "\r\n";
}

}  // namespace win

namespace platform {

namespace {

// One row per errno value: the number a file or folder call reports, and the
// number a call on a disk device reports. A device node that is gone, a disk
// without medium and a request the device does not know have numbers of their
// own; what only files and folders meet is a general failure on a device.
struct ErrnoRow {
  int err;
  win::DWORD file;
  win::DWORD device;
};
constexpr win::DWORD kGeneral = win::ERROR_GEN_FAILURE;
constexpr ErrnoRow kErrnoRows[] = {
    {ENOENT, win::ERROR_FILE_NOT_FOUND, win::ERROR_FILE_NOT_FOUND},
    {ENOTDIR, win::ERROR_PATH_NOT_FOUND, kGeneral},
    {EACCES, win::ERROR_ACCESS_DENIED, win::ERROR_ACCESS_DENIED},
    {EPERM, win::ERROR_ACCESS_DENIED, win::ERROR_ACCESS_DENIED},
    {EISDIR, win::ERROR_ACCESS_DENIED, kGeneral},
    {EROFS, win::ERROR_WRITE_PROTECT, win::ERROR_WRITE_PROTECT},
    {EEXIST, win::ERROR_ALREADY_EXISTS, kGeneral},
    {ENOTEMPTY, win::ERROR_DIR_NOT_EMPTY, kGeneral},
    {ENOSPC, win::ERROR_DISK_FULL, kGeneral},
    {EDQUOT, win::ERROR_DISK_FULL, kGeneral},
    {EFBIG, win::ERROR_DISK_FULL, kGeneral},
    {ENAMETOOLONG, win::ERROR_FILENAME_EXCED_RANGE, kGeneral},
    {ENOMEM, win::ERROR_NOT_ENOUGH_MEMORY, win::ERROR_NOT_ENOUGH_MEMORY},
    {EBUSY, win::ERROR_BUSY, win::ERROR_BUSY},
    {EINVAL, win::ERROR_INVALID_PARAMETER, win::ERROR_INVALID_PARAMETER},
    {ELOOP, win::ERROR_CANT_RESOLVE_FILENAME, kGeneral},
    {EXDEV, win::ERROR_NOT_SAME_DEVICE, kGeneral},
    {EMFILE, win::ERROR_TOO_MANY_OPEN_FILES, kGeneral},
    {ENFILE, win::ERROR_TOO_MANY_OPEN_FILES, kGeneral},
    {ENODEV, kGeneral, win::ERROR_FILE_NOT_FOUND},
    {ENXIO, kGeneral, win::ERROR_FILE_NOT_FOUND},
    {ETIMEDOUT, kGeneral, win::ERROR_SEM_TIMEOUT},
    {ENOMEDIUM, kGeneral, win::ERROR_NOT_READY},
    {EFAULT, kGeneral, win::ERROR_INVALID_PARAMETER},
    {EOVERFLOW, kGeneral, win::ERROR_INVALID_PARAMETER},
    {ENOTTY, kGeneral, win::ERROR_NOT_SUPPORTED},
    {EOPNOTSUPP, kGeneral, win::ERROR_NOT_SUPPORTED},
};

const ErrnoRow* rowOf(int err) {
  for (const ErrnoRow& row : kErrnoRows)
    if (row.err == err) return &row;
  return nullptr;
}

}  // namespace

win::DWORD ErrorFromErrno(int err) {
  if (err == 0) return 0;
  const ErrnoRow* row = rowOf(err);
  return row ? row->file : kGeneral;
}

win::DWORD DeviceErrorFromErrno(int err) {
  if (err == 0) return 0;
  const ErrnoRow* row = rowOf(err);
  return row ? row->device : kGeneral;
}

}  // namespace platform
