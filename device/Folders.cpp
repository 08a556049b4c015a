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

// The 32-bit total of the low 32 bits of every size is the 64-bit total kept to 32 bits.
std::uint32_t GetFolderSize(const std::string& folder) { return static_cast<std::uint32_t>(GetFolderSize64(folder)); }

std::uint64_t GetFolderSize64(const std::string& folder) {
  std::uint64_t total = 0;
  win::WIN32_FIND_DATA data;
  win::HANDLE find = win::FindFirstFile((folder + "\\*.*").c_str(), &data);
  if (find == win::INVALID_HANDLE_VALUE) return 0;
  do {
    if (std::strcmp(data.cFileName, ".") == 0 || std::strcmp(data.cFileName, "..") == 0) continue;
    if (data.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY)
      total += GetFolderSize64(folder + "\\" + data.cFileName);
    else
      total += (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  } while (win::FindNextFile(find, &data));
  win::FindClose(find);
  return total;
}

}  // namespace kx
