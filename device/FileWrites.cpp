#include "device/FileWrites.h"

#include "platform/Files.h"

namespace kx {
namespace {

// Errors that mean the file could not be opened or created at all, as opposed
// to a write that failed part-way.
bool IsOpenError(win::DWORD error) {
  switch (error) {
    case win::ERROR_FILE_NOT_FOUND:
    case win::ERROR_PATH_NOT_FOUND:
    case win::ERROR_ACCESS_DENIED:
    case win::ERROR_SHARING_VIOLATION:
    case win::ERROR_INVALID_PARAMETER:
    case win::ERROR_FILENAME_EXCED_RANGE:
      return true;
    default:
      return error == win::ERROR_INVALID_NAME;
  }
}

WriteResult ToResult(win::DWORD error) {
  if (error == 0) return WriteResult::Ok;
  return IsOpenError(error) ? WriteResult::OpenFailed : WriteResult::WriteFailed;
}

}  // namespace

bool AppendToExistingFile(const std::string& path, const void* data, std::size_t size) {
  return platform::AppendFileBytes(path, std::string(static_cast<const char*>(data), size), false) == 0;
}

WriteResult AppendToFile(const std::string& path, const void* data, std::size_t size) {
  return ToResult(platform::AppendFileBytes(path, std::string(static_cast<const char*>(data), size), true));
}

WriteResult WriteWholeFile(const std::string& path, const void* data, std::size_t size) {
  return ToResult(platform::WriteFileBytes(path, std::string(static_cast<const char*>(data), size)));
}

bool CopyFileReplacing(const std::string& from, const std::string& to) {
  return win::CopyFile(from.c_str(), to.c_str(), win::FALSE) != win::FALSE;
}

}  // namespace kx
