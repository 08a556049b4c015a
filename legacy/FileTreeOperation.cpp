#include "legacy/FileTreeOperation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>

#include "platform/ErrorText.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"

namespace {

constexpr win::DWORD kFileAttributeNormal = 0x80;

// A find handle closed on every way out.
class Finder {
 public:
  explicit Finder(const std::string& pattern) : m_Handle(win::FindFirstFile(pattern.c_str(), &m_Data)) {}
  ~Finder() {
    if (Found()) win::FindClose(m_Handle);
  }
  Finder(const Finder&) = delete;
  Finder& operator=(const Finder&) = delete;
  bool Found() const { return m_Handle != win::INVALID_HANDLE_VALUE; }
  const win::WIN32_FIND_DATA& Entry() const { return m_Data; }
  bool Next() { return win::FindNextFile(m_Handle, &m_Data) != win::FALSE; }
  bool IsFolder() const { return (m_Data.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0; }

 private:
  win::WIN32_FIND_DATA m_Data;
  win::HANDLE m_Handle;
};

std::string FolderOf(const std::string& pattern) {
  const auto sep = pattern.rfind('\\');
  return sep == std::string::npos ? std::string() : pattern.substr(0, sep + 1);
}

std::string NameOf(const std::string& path) {
  const auto sep = path.rfind('\\');
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string WithoutBackslash(std::string path) {
  while (path.size() > 1 && path.back() == '\\') path.pop_back();
  return path;
}

[[noreturn]] void Raise(win::DWORD code) { throw new CFExeption(code); }
[[noreturn]] void Raise(const std::string& text) { throw new CFExeption(text); }

}  // namespace

CFExeption::CFExeption(win::DWORD code) : m_Text(win::FormatMessage(code)), m_Code(code) {}

void CFileTreeOperation::Initialize() {
  m_ErrorText = "No error";
  m_ErrorCode = 0;
  m_AskIfReadOnly = true;
  m_Overwrite = false;
  m_Declined = false;
  m_SubfolderBudget = -1;
}

void CFileTreeOperation::Keep(CFExeption* failure) {
  std::unique_ptr<CFExeption> owned(failure);
  m_ErrorText = owned->GetErrorText();
  m_ErrorCode = owned->GetErrorCode();
}

bool CFileTreeOperation::Copy(const std::string& source, const std::string& destination) {
  bool ok = true;
  try {
    if (!IsInFolder(source, destination)) CopyTree(source, destination, false);
  } catch (CFExeption* failure) {
    Keep(failure);
    ok = false;
  }
  m_SubfolderBudget = -1;
  return ok;
}

bool CFileTreeOperation::Move(const std::string& source, const std::string& destination) {
  if (IsInFolder(source, destination)) return true;
  const bool ask = m_AskIfReadOnly;
  m_AskIfReadOnly = false;
  bool ok = true;
  try {
    // Moving a tree into itself would delete what it has just copied.
    if (CheckPath(source) == 2 && IsInsideTree(destination, source)) Raise("Wrong operation");
    CopyTree(source, destination, true);
    DeleteTree(source);
  } catch (CFExeption* failure) {
    Keep(failure);
    ok = false;
  }
  m_AskIfReadOnly = ask;
  m_SubfolderBudget = -1;
  return ok;
}

bool CFileTreeOperation::Rename(const std::string& source, const std::string& destination) {
  try {
    RenamePath(source, destination);
  } catch (CFExeption* failure) {
    Keep(failure);
    return false;
  }
  return true;
}

bool CFileTreeOperation::Delete(const std::string& path) {
  try {
    DeleteTree(path);
  } catch (CFExeption* failure) {
    Keep(failure);
    return m_ErrorCode == 0;
  }
  return true;
}

int CFileTreeOperation::CheckPath(const std::string& path) {
  const win::DWORD attributes = win::GetFileAttributes(path.c_str());
  if (attributes == win::INVALID_FILE_ATTRIBUTES) {
    const win::DWORD error = win::GetLastError();
    return error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND ? 0 : -1;
  }
  return (attributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0 ? 2 : 1;
}

void CFileTreeOperation::CopyTree(std::string source, std::string destination, bool move) {
  LimitSelfCopy(source, destination);
  const int sourceKind = CheckPath(source);
  const int destinationKind = CheckPath(destination);
  if (sourceKind == 0) Raise(source + " not found");
  if (destinationKind == 0) Raise(destination + " not found");
  if (sourceKind == 2 && destinationKind == 1) Raise("Wrong operation");
  if (sourceKind == 2 && destinationKind == 2) {
    const std::string notFound = source + " not found";
    AddBackslash(source);
    AddBackslash(destination);
    const std::string pattern = source + "*.*";
    {
      Finder probe(pattern);
      // An empty folder lists nothing; only a folder that cannot be listed fails.
      if (!probe.Found() && win::GetLastError() != win::ERROR_FILE_NOT_FOUND) Raise(notFound);
    }
    const std::string folder = LastFolderName(pattern);
    if (!folder.empty()) {
      destination += folder + "\\";
      if (!win::CreateDirectory(destination.c_str()) && win::GetLastError() != win::ERROR_ALREADY_EXISTS)
        Raise(win::GetLastError());
    }
    m_WalkTarget = WithoutBackslash(destination);
    CopyFolder(pattern, destination, move);
    m_WalkTarget.clear();
    return;
  }
  if (sourceKind == 1 && destinationKind == 1) {
    CopyOneFile(source, destination, false);
  } else if (sourceKind == 1 && destinationKind == 2) {
    AddBackslash(destination);
    CopyOneFile(source, destination + NameOf(source), false);
  }
}

void CFileTreeOperation::CopyFolder(const std::string& pattern, const std::string& destination, bool move) {
  Finder find(pattern);
  if (!find.Found()) return;
  const std::string folder = FolderOf(pattern);
  do {
    const std::string name = find.Entry().cFileName;
    const std::string path = folder + name;
    if (find.IsFolder()) {
      if (m_SubfolderBudget == 0) continue;
      if (platform::EqualsNoCase(path, m_WalkTarget)) continue;  // the copy's own output
      const std::string target = destination + name + "\\";
      if (CheckPath(target) == 0 && !win::CreateDirectory(target.c_str())) Raise(win::GetLastError());
      if (m_SubfolderBudget > 0) --m_SubfolderBudget;
      CopyFolder(path + "\\*.*", target, move);
    } else {
      CopyOneFile(path, destination + name, move);
    }
  } while (find.Next());
}

void CFileTreeOperation::CopyOneFile(const std::string& source, std::string target, bool deleteSource) {
  if (!m_Overwrite) {
    while (IsReadable(target)) target = NextCopyName(target);
  }
  if (!win::CopyFile(source.c_str(), target.c_str(), m_Overwrite ? win::FALSE : win::TRUE)) Raise(win::GetLastError());
  if (deleteSource) DeleteTree(source);
}

std::string CFileTreeOperation::NextCopyName(const std::string& path) {
  const auto sep = path.rfind('\\');
  const std::string folder = sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
  const std::string name = sep == std::string::npos ? path : path.substr(sep + 1);
  const auto dot = name.rfind('.');
  const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
  // Never cut more than the name holds.
  auto rest = [&base](std::size_t cut) { return base.substr(std::min(cut, base.size())); };
  if (base.find("Copy ") == std::string::npos) return folder + "Copy of " + base + ext;
  const auto open = base.find('(');
  if (open == std::string::npos) return folder + "Copy (1) of " + rest(8) + ext;
  const auto close = base.find(')');
  if (close == std::string::npos) return folder + "Copy of " + base + ext;
  const std::string number = close > open ? base.substr(open + 1, close - open - 1) : std::string();
  const long long read = std::strtoll(number.c_str(), nullptr, 10);
  const long long n = std::clamp<long long>(read, INT_MIN, INT_MAX - 1) + 1;
  return folder + "Copy (" + std::to_string(n) + ") of " + rest(close + 5) + ext;
}

void CFileTreeOperation::DeleteTree(const std::string& path) {
  if (CheckPath(path) == 1) {
    if (!CanDelete(path)) {
      m_Declined = true;
      return;
    }
    if (!win::DeleteFile(path.c_str())) Raise(win::GetLastError());
    return;
  }
  std::string pattern = path;
  AddBackslash(pattern);
  const std::string folder = pattern;
  pattern += "*.*";
  {
    Finder find(pattern);
    if (find.Found()) {
      do DeleteTree(folder + find.Entry().cFileName);
      while (find.Next());
    }
  }
  if (!win::RemoveDirectory(path.c_str()) && !m_Declined) Raise(win::GetLastError());
}

bool CFileTreeOperation::CanDelete(const std::string& file) {
  const win::DWORD attributes = win::GetFileAttributes(file.c_str());
  if (attributes == win::INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & win::FILE_ATTRIBUTE_READONLY) == 0) return true;
  if (!m_AskIfReadOnly) return win::SetFileAttributes(file.c_str(), kFileAttributeNormal) != win::FALSE;
  const std::string text = NameOf(file) + " is read olny. Do you want delete it?";
  switch (win::MessageBox(nullptr, text.c_str(), "Warning", win::MB_YESNOCANCEL | win::MB_ICONQUESTION)) {
    case win::IDYES: return win::SetFileAttributes(file.c_str(), kFileAttributeNormal) != win::FALSE;
    case win::IDNO: return false;
    case win::IDCANCEL: m_Declined = true; Raise(win::DWORD{0});
    default: return true;
  }
}

void CFileTreeOperation::RenamePath(const std::string& source, const std::string& destination) {
  if (!win::MoveFile(source.c_str(), destination.c_str())) Raise(win::GetLastError());
}

bool CFileTreeOperation::IsReadable(const std::string& path) {
  std::string native;
  if (!platform::MapPath(path, native)) return false;
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  // A folder does not open as a file.
  const bool file = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
  ::close(fd);
  return file;
}

void CFileTreeOperation::AddBackslash(std::string& path) {
  if (path.empty() || path.back() != '\\') path += '\\';
}

std::string CFileTreeOperation::LastFolderName(const std::string& pattern) {
  const auto sep = pattern.rfind('\\');
  if (sep == std::string::npos) return {};
  const std::string folder = pattern.substr(0, sep);
  const auto inner = folder.rfind('\\');
  return inner == std::string::npos ? std::string() : folder.substr(inner + 1);
}

bool CFileTreeOperation::IsInFolder(const std::string& source, const std::string& destination) {
  if (CheckPath(source) != 2) return false;
  const auto sep = source.rfind('\\');
  if (sep == std::string::npos) return false;
  return platform::EqualsNoCase(source.substr(0, sep), destination);
}

bool CFileTreeOperation::IsInsideTree(const std::string& path, const std::string& tree) {
  const std::string root = WithoutBackslash(tree);
  if (path == root) return true;
  return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '\\';
}

void CFileTreeOperation::LimitSelfCopy(const std::string& source, const std::string& destination) {
  if (!IsInsideTree(destination, source)) return;
  const auto sourceSeps = std::count(source.begin(), source.end(), '\\');
  const auto destinationSeps = std::count(destination.begin(), destination.end(), '\\');
  if (destinationSeps >= sourceSeps) m_SubfolderBudget = static_cast<std::int32_t>(destinationSeps - sourceSeps);
}
