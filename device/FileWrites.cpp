#include "device/FileWrites.h"

#include <cstring>

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

std::string SafeFileName(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && i + 1 < text.size() && text[i + 1] == '.') {
      out += '_';
      ++i;
    } else if (c != '\0' && std::strchr("\\/:*?\"<>|\r\n", c) != nullptr) {
      out += '_';
    } else {
      out += c;
    }
  }
  return out;
}

std::string ProfileSafe(const std::string& text, bool key) {
  std::string out = text;
  for (char& c : out)
    if (c == '\r' || c == '\n' || (key && c == '=')) c = '_';
  return out;
}

}  // namespace kx
