#include "device/FileUtil.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "device/Checksum.h"
#include "device/Environment.h"
#include "device/FileIo.h"
#include "device/Format.h"
#include "device/PortDevice.h"
#include "device/Settings.h"
#include "platform/Files.h"

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

void DebugTrace(const char* format, ...) {
  char line[260];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  DebugOutput(std::string(line) + "\r\n");
}

std::uint16_t CPortDevice::Sum16(const std::uint8_t* bytes, std::uint32_t length) { return ByteSum16(bytes, length); }

std::uint32_t CPortDevice::Crc32Parallel(const std::uint32_t* words, std::uint32_t count, std::uint32_t seed) {
  return WordCrc32(words, count, seed);
}

bool CPortDevice::SaveBufferToFile(const std::string& path, const std::uint8_t* bytes, std::uint32_t length) {
  switch (WriteWholeFile(path, bytes, length)) {
    case WriteResult::Ok:
      return true;
    case WriteResult::OpenFailed:
      Fail("A_x08", StrFormat("Open saving file-%s Failed", path.c_str()), false);
      return false;
    case WriteResult::WriteFailed:
      break;
  }
  Fail("A_x08", StrFormat("Write saving file-%s Failed", path.c_str()), false);
  return false;
}

bool CPortDevice::SaveTextToFile(const std::string& path, const std::string& text) {
  switch (AppendToFile(path, text.data(), text.size())) {
    case WriteResult::Ok:
      return true;
    case WriteResult::OpenFailed:
      Fail("A_x08", "Open save file Failed.", false);
      return false;
    case WriteResult::WriteFailed:
      break;
  }
  Fail("A_x08", "Write save file Failed.", false);
  return false;
}

std::string CPortDevice::SplitString(const std::string& text, const std::string& separator, int index) {
  if (separator.size() != 1 || index < 0 || text.find(separator[0]) == std::string::npos) return {};
  std::size_t start = 0;
  for (int field = 0;; ++field) {
    const std::size_t end = text.find(separator[0], start);
    if (field == index) return TrimBlanks(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return {};
    start = end + 1;
  }
}

void CPortDevice::ShowPortStatus(const std::string& text, bool numberOnly) {
  if (!m_StatusCtrl) return;
  m_StatusCtrl->SetFontSize(20, 10);
  m_StatusCtrl->SetColor(0, 65535);
  m_StatusCtrl->SetWindowText(numberOnly ? StrFormat("%d", m_Slot) : StrFormat("%d*%s", m_Slot, text.c_str()));
  m_StatusCtrl->Redraw();
}
