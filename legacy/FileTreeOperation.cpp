#include "legacy/FileTreeOperation.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

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
  // A link is never entered, whatever it leads to.
  bool IsFolder() const {
    return (m_Data.dwFileAttributes & (win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_REPARSE_POINT)) ==
           win::FILE_ATTRIBUTE_DIRECTORY;
  }

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

bool IsLink(const std::string& path) {
  const win::DWORD attributes = win::GetFileAttributes(path.c_str());
  return attributes != win::INVALID_FILE_ATTRIBUTES && (attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

[[noreturn]] void Raise(win::DWORD code) { throw new CFExeption(code); }
[[noreturn]] void Raise(const std::string& text) { throw new CFExeption(text); }

// A listed name is one entry of its folder: one holding a separator would,
// joined into a path, name another file, perhaps outside the tree.
void RefuseName(const std::string& folder, const std::string& name) {
  if (name.find_first_of("\\/") == std::string::npos) return;
  throw new CFExeption("\"" + name + "\" in " + folder + ": a name cannot hold \\ or /", win::ERROR_INVALID_NAME);
}

std::string WithoutBackslash(std::string path) {
  if (path.size() > 1 && path.back() == '\\') path.pop_back();
  return path;
}

std::string Resolved(const std::string& path) {
  std::string resolved;
  win::DWORD error = 0;
  if (!platform::ResolvePath(path, resolved, &error)) Raise(error);
  return resolved;
}

// Nothing is deleted or moved away from a drive's root down, nor from a folder
// that holds a drive, nor from an empty path (which would name the root of the
// current drive).
void RefuseRoot(const std::string& path) {
  if (path.empty()) Raise(win::ERROR_INVALID_NAME);
  if (platform::HoldsDriveRoot(path)) Raise(win::ERROR_ACCESS_DENIED);
}

// `inner` is `root` or lies below it; both resolved.
bool Contains(const std::string& root, const std::string& inner) {
  if (inner == root || root == "/") return true;
  return inner.size() > root.size() && inner.compare(0, root.size(), root) == 0 && inner[root.size()] == '/';
}

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
    if (!IsInFolder(source, destination)) CopyTree(source, destination);
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
    RefuseRoot(source);
    // Moving a tree into itself would delete what it has just copied.
    if (CheckPath(source) == 2 && !IsLink(source) && IsInsideTree(destination, source)) Raise("Wrong operation");
    // The source goes only once the whole copy is made.
    CopyTree(source, destination);
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
    RefuseRoot(source);
    RenamePath(source, destination);
  } catch (CFExeption* failure) {
    Keep(failure);
    return false;
  }
  return true;
}

bool CFileTreeOperation::Delete(const std::string& path) {
  try {
    RefuseRoot(path);
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

void CFileTreeOperation::CopyTree(std::string source, std::string destination) {
  const int sourceKind = IsLink(source) ? 1 : CheckPath(source);  // a link is copied as a link
  const win::DWORD sourceError = win::GetLastError();
  const int destinationKind = CheckPath(destination);
  const win::DWORD destinationError = win::GetLastError();
  if (sourceKind == 0) Raise(source + " not found");
  if (destinationKind == 0) Raise(destination + " not found");
  // A path that cannot be looked at is a failure, not a copy of nothing.
  if (sourceKind < 0) Raise(sourceError);
  if (destinationKind < 0) Raise(destinationError);
  if (sourceKind == 2) LimitSelfCopy(source, destination);
  if (sourceKind == 2 && destinationKind == 1) Raise("Wrong operation");
  if (sourceKind == 2 && destinationKind == 2) {
    const std::string notFound = source + " not found";
    const bool selfCopy = IsInsideTree(destination, source);
    AddBackslash(source);
    AddBackslash(destination);
    const std::string pattern = source + "*.*";
    {
      Finder probe(pattern);
      // An empty folder lists nothing; only a folder that cannot be listed fails.
      if (!probe.Found() && win::GetLastError() != win::ERROR_FILE_NOT_FOUND) Raise(notFound);
    }
    const std::string folder = LastFolderName(pattern);
    const std::string from = Resolved(source);
    std::string into = Resolved(destination);
    if (!folder.empty()) into += (into == "/" ? "" : "/") + folder;
    // Only a copy into the source's own subtree may write inside it, and only
    // into the folder it makes there, never through a link back into the source.
    const std::string target = Resolved(destination + folder);
    if (Contains(from, target) && !(selfCopy && target == into)) Raise("Wrong operation");
    // The destination finds names without regard to case: with overwriting on,
    // the second of two such names would replace the first.
    {
      platform::OpenFolder root;
      if (root.Open(source) == 0) CheckNames(root, WithoutBackslash(source), m_Overwrite);
    }
    if (!folder.empty()) {
      destination += folder + "\\";
      if (!win::CreateDirectory(destination.c_str()) && win::GetLastError() != win::ERROR_ALREADY_EXISTS)
        Raise(win::GetLastError());
    }
    m_WalkSource = from;
    m_WalkTarget = Resolved(destination);
    try {
      CopyFolder(pattern, destination);
    } catch (CFExeption*) {
      m_WalkSource.clear();
      m_WalkTarget.clear();
      throw;
    }
    m_WalkSource.clear();
    m_WalkTarget.clear();
    return;
  }
  if (sourceKind == 1 && destinationKind == 1) {
    CopyOneFile(source, destination);
  } else if (sourceKind == 1 && destinationKind == 2) {
    AddBackslash(destination);
    CopyOneFile(source, destination + NameOf(source));
  }
}

void CFileTreeOperation::CopyFolder(const std::string& pattern, const std::string& destination) {
  Finder find(pattern);
  if (!find.Found()) {
    // An empty folder lists nothing; one that cannot be listed is not copied.
    const win::DWORD error = win::GetLastError();
    if (error != win::ERROR_FILE_NOT_FOUND) Raise(error);
    return;
  }
  const std::string folder = FolderOf(pattern);
  do {
    const std::string name = find.Entry().cFileName;
    RefuseName(WithoutBackslash(folder), name);
    const std::string path = folder + name;
    if (find.IsFolder()) {
      if (m_SubfolderBudget == 0) continue;
      if (Resolved(path) == m_WalkTarget) continue;  // the copy's own output
      const std::string target = destination + name + "\\";
      if (CheckPath(target) == 0) {
        if (!win::CreateDirectory(target.c_str())) Raise(win::GetLastError());
      } else {
        // An existing target folder may be a link back into the source.
        const std::string into = Resolved(target);
        if (Contains(m_WalkSource, into) && !Contains(m_WalkTarget, into)) Raise("Wrong operation");
      }
      if (m_SubfolderBudget > 0) --m_SubfolderBudget;
      CopyFolder(path + "\\*.*", target);
    } else {
      CopyOneFile(path, destination + name);
    }
  } while (find.Next());
}

void CFileTreeOperation::CopyOneFile(const std::string& source, std::string target) {
  if (!m_Overwrite) {
    while (IsReadable(target)) {
      std::string next = NextCopyName(target);
      if (next == target) Raise(target + ": no free copy name");  // the number is at its limit
      target = std::move(next);
    }
  }
  const win::DWORD flags = win::COPY_FILE_COPY_SYMLINK | (m_Overwrite ? 0 : win::COPY_FILE_FAIL_IF_EXISTS);
  if (!win::CopyFileEx(source.c_str(), target.c_str(), flags)) Raise(win::GetLastError());
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
  const win::DWORD attributes = win::GetFileAttributes(path.c_str());
  if (attributes != win::INVALID_FILE_ATTRIBUTES && (attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // The link goes, never what it leads to.
    const bool folder = (attributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!(folder ? win::RemoveDirectory(path.c_str()) : win::DeleteFile(path.c_str()))) Raise(win::GetLastError());
    return;
  }
  if (CheckPath(path) == 1) {
    if (!CanDelete(path)) {
      m_Declined = true;
      return;
    }
    if (!win::DeleteFile(path.c_str())) Raise(win::GetLastError());
    return;
  }
  // The walk goes through the folders it holds open, so a folder that turns
  // into a link meanwhile is never followed.
  platform::OpenFolder folder;
  const win::DWORD opened = folder.Open(path);
  if (opened == win::ERROR_DIRECTORY && CheckPath(path) == 2) Raise(opened);  // a link by now
  if (opened == 0) {
    CheckNames(folder, WithoutBackslash(path), false);
    DeleteInside(folder, WithoutBackslash(path));
  }
  if (!win::RemoveDirectory(path.c_str()) && !m_Declined) Raise(win::GetLastError());
}

void CFileTreeOperation::DeleteInside(const platform::OpenFolder& folder, const std::string& where) {
  std::vector<std::string> names;
  if (folder.List(names) != 0) return;  // the folder's own removal then fails
  for (const std::string& name : names) {
    RefuseName(where, name);
    const win::DWORD attributes = folder.Attributes(name);
    const bool known = attributes != win::INVALID_FILE_ATTRIBUTES;
    if (known && (attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      if (const win::DWORD error = folder.RemoveFile(name)) Raise(error);
    } else if (known && (attributes & win::FILE_ATTRIBUTE_DIRECTORY) == 0) {
      const auto clear = [&folder, &name] { return folder.SetAttributes(name, kFileAttributeNormal) == 0; };
      if (!CanDelete(where + "\\" + name, attributes, clear)) {
        m_Declined = true;
        continue;
      }
      if (const win::DWORD error = folder.RemoveFile(name)) Raise(error);
    } else {
      // A folder, or what vanished meanwhile: its removal says which.
      platform::OpenFolder sub;
      if (folder.Enter(name, sub) == 0) DeleteInside(sub, where + "\\" + name);
      if (const win::DWORD error = folder.RemoveFolder(name); error != 0 && !m_Declined) Raise(error);
    }
  }
}

void CFileTreeOperation::CheckNames(const platform::OpenFolder& folder, const std::string& where, bool twins) {
  std::vector<std::string> names;
  if (folder.List(names) != 0) return;  // the walk itself reports a folder it cannot list
  for (const std::string& name : names) RefuseName(where, name);
  if (twins) {
    std::vector<std::pair<std::string, std::string>> folded;  // (folded, as spelled)
    for (const std::string& name : names) {
      std::string key = name;
      for (char& c : key) c = static_cast<char>(platform::FoldCase(c));
      folded.emplace_back(std::move(key), name);
    }
    std::sort(folded.begin(), folded.end());
    for (std::size_t i = 1; i < folded.size(); ++i)
      if (folded[i].first == folded[i - 1].first)
        Raise("\"" + folded[i - 1].second + "\" and \"" + folded[i].second + "\" in " + where +
              " differ only in letter case");
  }
  for (const std::string& name : names) {
    platform::OpenFolder sub;
    if (folder.Enter(name, sub) == 0) CheckNames(sub, where + "\\" + name, twins);
  }
}

bool CFileTreeOperation::CanDelete(const std::string& file) {
  return CanDelete(file, win::GetFileAttributes(file.c_str()),
                   [&file] { return win::SetFileAttributes(file.c_str(), kFileAttributeNormal) != win::FALSE; });
}

bool CFileTreeOperation::CanDelete(const std::string& file, win::DWORD attributes,
                                   const std::function<bool()>& clearReadOnly) {
  if (attributes == win::INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & win::FILE_ATTRIBUTE_READONLY) == 0) return true;
  if (!m_AskIfReadOnly) return clearReadOnly();
  const std::string text = NameOf(file) + " is read olny. Do you want delete it?";
  switch (win::MessageBox(nullptr, text.c_str(), "Warning", win::MB_YESNOCANCEL | win::MB_ICONQUESTION)) {
    case win::IDYES: return clearReadOnly();
    case win::IDNO: return false;
    case win::IDCANCEL: m_Declined = true; Raise(win::DWORD{0});
    default: return true;
  }
}

void CFileTreeOperation::RenamePath(const std::string& source, const std::string& destination) {
  if (!win::MoveFile(source.c_str(), destination.c_str())) Raise(win::GetLastError());
}

bool CFileTreeOperation::IsReadable(const std::string& path) { return platform::OpensForReading(path); }

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

// Paths are compared as the system resolves them: letter case, either
// separator, "." and ".." and links make no difference.
bool CFileTreeOperation::IsInFolder(const std::string& source, const std::string& destination) {
  if (CheckPath(source) != 2 || IsLink(source)) return false;
  std::string folder, target;
  if (!platform::ResolvePath(source, folder) || !platform::ResolvePath(destination, target)) return false;
  const auto sep = folder.rfind('/');
  return folder != "/" && folder.substr(0, sep == 0 ? 1 : sep) == target;
}

bool CFileTreeOperation::IsInsideTree(const std::string& path, const std::string& tree) {
  std::string inner, root;
  if (!platform::ResolvePath(path, inner) || !platform::ResolvePath(tree, root)) return false;
  return Contains(root, inner);
}

void CFileTreeOperation::LimitSelfCopy(const std::string& source, const std::string& destination) {
  if (!IsInsideTree(destination, source)) return;
  const std::string from = Resolved(source);
  const std::string into = Resolved(destination);
  const auto sourceSeps = from == "/" ? 0 : std::count(from.begin(), from.end(), '/');
  const auto destinationSeps = std::count(into.begin(), into.end(), '/');
  if (destinationSeps >= sourceSeps) m_SubfolderBudget = static_cast<std::int32_t>(destinationSeps - sourceSeps);
}
