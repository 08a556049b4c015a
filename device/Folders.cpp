#include "device/Folders.h"

#include <cctype>
#include <cstring>

#include "platform/Files.h"

namespace kx {

int MakeDirectoryPath(const std::string& path) {
  if (path.empty()) return 0;
  // A drive root is never created here: a path on a missing drive fails.
  if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
      !platform::DirectoryExists(path.substr(0, 2) + "\\"))
    return 0;
  // Walk the components from the first, creating what is missing.
  std::size_t pos = 0;
  if (path.size() >= 2 && path[1] == ':') pos = 2;
  while (pos < path.size() && (path[pos] == '\\' || path[pos] == '/')) ++pos;
  while (pos <= path.size()) {
    std::size_t next = path.find_first_of("\\/", pos);
    if (next == std::string::npos) next = path.size();
    if (next > pos) {
      const std::string prefix = path.substr(0, next);
      if (!platform::DirectoryExists(prefix)) {
        if (!win::CreateDirectory(prefix.c_str()) && win::GetLastError() != win::ERROR_ALREADY_EXISTS) return 0;
        if (!platform::DirectoryExists(prefix)) return 0;
      }
    }
    pos = next + 1;
  }
  return 1;
}

std::uint32_t GetFolderSize(const std::string& folder) {
  std::uint32_t total = 0;
  win::WIN32_FIND_DATA data;
  const std::string pattern = folder + "\\*.*";
  win::HANDLE find = win::FindFirstFile(pattern.c_str(), &data);
  if (find == win::INVALID_HANDLE_VALUE) return 0;
  do {
    if (std::strcmp(data.cFileName, ".") == 0 || std::strcmp(data.cFileName, "..") == 0) continue;
    if (data.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY)
      total += GetFolderSize(folder + "\\" + data.cFileName);
    else
      total += data.nFileSizeLow;
  } while (win::FindNextFile(find, &data));
  win::FindClose(find);
  return total;
}

}  // namespace kx
