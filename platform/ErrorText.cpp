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

win::DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case ENOENT: return win::ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return win::ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return win::ERROR_ACCESS_DENIED;
    case EROFS: return win::ERROR_WRITE_PROTECT;
    case EEXIST: return win::ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return win::ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return win::ERROR_DISK_FULL;
    case ENAMETOOLONG: return win::ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM: return win::ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY: return win::ERROR_BUSY;
    case EINVAL: return win::ERROR_INVALID_PARAMETER;
    case ELOOP: return win::ERROR_CANT_RESOLVE_FILENAME;
    case EXDEV: return win::ERROR_NOT_SAME_DEVICE;
    case EMFILE:
    case ENFILE: return win::ERROR_TOO_MANY_OPEN_FILES;
    default: return win::ERROR_GEN_FAILURE;
  }
}

}  // namespace platform
