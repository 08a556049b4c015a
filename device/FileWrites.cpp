#include "device/FileWrites.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/Debug.h"
#include "platform/Files.h"
#include "platform/Profile.h"

namespace kx {
namespace {

// Errors that mean the file could not be opened or created at all, as opposed
// to a write that failed part-way.
bool IsOpenError(win::DWORD error) {
  switch (error) {
    case win::ERROR_FILE_NOT_FOUND:
    case win::ERROR_PATH_NOT_FOUND:
    case win::ERROR_ACCESS_DENIED:
    case win::ERROR_WRITE_PROTECT:
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

// Each write leaves its error in GetLastError() for the report writers.
bool AppendToExistingFile(const std::string& path, const void* data, std::size_t size) {
  const win::DWORD err = platform::AppendFileBytes(path, std::string(static_cast<const char*>(data), size), false);
  win::SetLastError(err);
  return err == 0;
}

WriteResult AppendToFile(const std::string& path, const void* data, std::size_t size, std::size_t recordSize) {
  const win::DWORD err =
      platform::AppendFileBytes(path, std::string(static_cast<const char*>(data), size), true, recordSize);
  win::SetLastError(err);
  return ToResult(err);
}

WriteResult WriteWholeFile(const std::string& path, const void* data, std::size_t size) {
  const win::DWORD err = platform::WriteFileBytes(path, std::string(static_cast<const char*>(data), size));
  win::SetLastError(err);
  return ToResult(err);
}

win::DWORD WriteNewRecord(const std::string& file, const std::string& section,
                          const std::function<std::string(const win::SYSTEMTIME&)>& makeKey, const std::string& value,
                          const std::function<win::DWORD(std::string& text)>& finish) {
  for (;;) {
    win::SYSTEMTIME t;
    win::GetLocalTime(&t);
    const std::string key = makeKey(t);
    bool taken = false;
    const win::DWORD err = platform::EditProfileFile(file, [&](std::string& text) -> win::DWORD {
      const win::DWORD e = platform::AddProfileKey(text, section, key, value);
      taken = e == win::ERROR_ALREADY_EXISTS;
      return e == 0 && finish ? finish(text) : e;
    });
    if (!taken) return err;
    // Waited for outside the lock, so that other writers go on meanwhile.
    const std::int64_t wall = platform::Clock().WallMs();
    win::Sleep(static_cast<win::DWORD>(1000 - ((wall % 1000) + 1000) % 1000));
  }
}

win::DWORD UpdateProfileKeys(const std::string& file, const std::vector<KeyUpdate>& updates, std::vector<int>* counts,
                             const std::function<win::DWORD(std::string& text)>& start) {
  std::vector<int> raised;
  std::string full;  // the counts that stopped at the end of their range
  const win::DWORD err = platform::EditProfileFile(file, [&](std::string& text) -> win::DWORD {
    raised.clear();
    full.clear();
    if (start)
      if (const win::DWORD e = start(text); e != 0) return e;
    for (const KeyUpdate& u : updates) {
      std::string value = u.text;
      if (u.add) {
        // Stays within int, so that the file keeps a number the readers read back.
        const std::int64_t sum =
            std::int64_t{static_cast<int>(platform::FindProfileInt(text, u.section, u.key, 0))} + *u.add;
        const int n = static_cast<int>(std::clamp<std::int64_t>(sum, INT_MIN, INT_MAX));
        if (n != sum) full += (full.empty() ? "" : ", ") + ("[" + u.section + "] " + u.key + "=" + std::to_string(n));
        raised.push_back(n);
        value = std::to_string(n);
      }
      platform::SetProfileKey(text, u.section, u.key, value);
    }
    return 0;
  });
  if (err == 0 && !full.empty()) platform::DebugAlert(file + ": counts stopped at the end of their range: " + full);
  if (counts == nullptr) return err;
  // A file that could not even be read counts from zero, as a missing one does.
  if (raised.empty())
    for (const KeyUpdate& u : updates)
      if (u.add) raised.push_back(*u.add);
  *counts = std::move(raised);
  return err;
}

bool CopyFileReplacing(const std::string& from, const std::string& to) {
  return win::CopyFile(from.c_str(), to.c_str(), win::FALSE) != win::FALSE;
}

std::string CopyFileToFreeName(const std::string& from, const std::string& to) {
  const std::size_t folder = to.find_last_of("\\/");
  const std::size_t dot = to.rfind('.');
  const std::size_t stem = dot != std::string::npos && (folder == std::string::npos || dot > folder) ? dot : to.size();
  for (unsigned n = 0; n != UINT_MAX; ++n) {
    const std::string name = n == 0 ? to : to.substr(0, stem) + " (" + std::to_string(n) + ")" + to.substr(stem);
    if (win::CopyFile(from.c_str(), name.c_str(), win::TRUE) != win::FALSE) return name;
    const win::DWORD error = win::GetLastError();
    if (error != win::ERROR_FILE_EXISTS && error != win::ERROR_ALREADY_EXISTS) break;
  }
  return {};
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
