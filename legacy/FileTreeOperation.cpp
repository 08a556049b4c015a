#include "legacy/FileTreeOperation.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ErrorText.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"

namespace {

constexpr win::DWORD kFileAttributeNormal = 0x80;

std::string NameOf(const std::string& path) {
  const auto sep = path.rfind('\\');
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

// A path's folder ("." for a bare name, "/" for a name at the root) and its
// last name, split at the last of `separators`.
std::pair<std::string, std::string> FolderAndName(const std::string& path, const char* separators) {
  const auto sep = path.find_last_of(separators);
  if (sep == std::string::npos) return {".", path};
  return {sep == 0 ? path.substr(0, 1) : path.substr(0, sep), path.substr(sep + 1)};
}

bool IsLink(const std::string& path) {
  const win::DWORD attributes = win::GetFileAttributes(path.c_str());
  return attributes != win::INVALID_FILE_ATTRIBUTES && (attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

[[noreturn]] void Raise(win::DWORD code) { throw new CFExeption(code); }
[[noreturn]] void Raise(const std::string& text) { throw new CFExeption(text); }

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

// A failure at a place of the walk: the place, and the system's reason.
[[noreturn]] void RaiseAt(const std::string& where, win::DWORD code) {
  std::string reason = win::FormatMessage(code);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  throw new CFExeption(where + ": " + reason, code);
}

std::string Folded(const std::string& name) {
  std::string key = name;
  for (char& c : key) c = static_cast<char>(platform::FoldCase(c));
  return key;
}

bool IsMissing(win::DWORD error) { return error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND; }

// A folder that refuses to take a new entry (no write access to it, a
// read-only file system) is what a failure names, not the entry.
bool Refuses(win::DWORD error) { return error == win::ERROR_ACCESS_DENIED || error == win::ERROR_WRITE_PROTECT; }

// Folders a walk holds open at once on each side; a deeper one's ancestors
// are closed and reopened through ".." on the way back.
constexpr std::size_t kOpenLevels = 48;

// File data copied into a folder before the batch is put in place and, in a
// Move, its sources removed: the room a Move needs beyond the tree itself.
constexpr std::uint64_t kBatchBytes = 512 * 1024;
// Files a batch holds at most; each keeps a descriptor until it is put in place.
constexpr std::size_t kBatchFiles = 64;

// The bits a copy makes a folder with while it fills it: the source folder's,
// and the owner's own access, which it needs; the source's own come at the end.
std::uint32_t FillingMode(const platform::EntryInfo& source) { return (source.mode & 0777) | 0700; }

}  // namespace

// One folder of a walk and where the walk stands in it.
struct WalkLevel {
  std::string name;  // in its parent; at the root, the root's whole path
  std::unique_ptr<platform::OpenFolder> folder;  // null while closed past the bound
  platform::EntryInfo self;
  std::vector<std::string> names;
  std::vector<platform::EntryKind> kinds;
  std::size_t next = 0;
  bool keeps = false;  // something stays inside
  bool made = false;   // a folder the copy made
  std::unordered_map<std::string, std::string> taken;  // a target's names: folded -> as stored
};

// The folders from a walk's root down to where it stands, by descriptor: no
// path is resolved per entry, and depth costs no stack.
class FolderChain {
 public:
  bool Empty() const { return m_Levels.empty(); }
  std::size_t Depth() const { return m_Levels.size(); }
  WalkLevel& Top() { return m_Levels.back(); }
  platform::OpenFolder& Folder() { return *m_Levels.back().folder; }

  void Push(std::unique_ptr<platform::OpenFolder> folder, const std::string& name) {
    WalkLevel level;
    level.name = name;
    if (const win::DWORD error = folder->Self(level.self)) RaiseAt(Path(name), error);
    level.folder = std::move(folder);
    m_Levels.push_back(std::move(level));
    if (m_Levels.size() - m_FirstOpen > kOpenLevels) m_Levels[m_FirstOpen++].folder.reset();
  }

  // Back to the parent, reopened through ".." when it was closed; it must
  // still be the folder it was.
  void Pop() {
    if (m_Levels.size() == 1 || m_Levels[m_Levels.size() - 2].folder) {
      m_Levels.pop_back();
      return;
    }
    auto parent = std::make_unique<platform::OpenFolder>();
    platform::EntryInfo now;
    win::DWORD error = m_Levels.back().folder->Parent(*parent);
    if (error == 0) error = parent->Self(now);
    if (error == 0 && !now.SameFile(m_Levels[m_Levels.size() - 2].self)) error = win::ERROR_PATH_NOT_FOUND;  // moved meanwhile
    if (error != 0) RaiseAt(Path() + "\\..", error);
    m_Levels.pop_back();
    m_Levels.back().folder = std::move(parent);
    m_FirstOpen = m_Levels.size() - 1;
  }

  // The listing of the top folder (a target's names only).
  void List(bool target) {
    WalkLevel& level = m_Levels.back();
    const win::DWORD error = level.folder->List(level.names, target ? nullptr : &level.kinds);
    if (error != 0) RaiseAt(Path(), error);
    if (!target) return;
    for (std::string& name : level.names) level.taken.emplace(Folded(name), std::move(name));
    level.names.clear();
    level.folder->SweepTemps();
  }

  std::string Path() const {
    std::string path;
    for (const WalkLevel& level : m_Levels) path += (path.empty() ? "" : "\\") + level.name;
    return path;
  }
  std::string Path(const std::string& name) const { return m_Levels.empty() ? name : Path() + "\\" + name; }

 private:
  std::vector<WalkLevel> m_Levels;
  std::size_t m_FirstOpen = 0;
};

// A listed name is one entry of its folder: one holding a separator would,
// joined into a path, name another file, perhaps outside the tree.
namespace {
void RefuseName(const FolderChain& folder, const std::string& name) {
  if (name.find_first_of("\\/") == std::string::npos) return;
  throw new CFExeption("\"" + name + "\" in " + folder.Path() + ": a name cannot hold \\ or /", win::ERROR_INVALID_NAME);
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
  m_Declined = false;
  bool ok = true;
  try {
    if (!IsInFolder(source, destination)) CopyTree(source, destination);
  } catch (CFExeption* failure) {
    Keep(failure);
    ok = false;
  }
  EndBatch();
  m_SubfolderBudget = -1;
  return ok;
}

bool CFileTreeOperation::Move(const std::string& source, const std::string& destination) {
  m_Declined = false;
  if (IsInFolder(source, destination)) return true;
  const bool ask = m_AskIfReadOnly;
  m_AskIfReadOnly = false;
  bool ok = true;
  try {
    RefuseRoot(source);
    // Moving a tree into itself would delete what it has just copied.
    if (CheckPath(source) == 2 && !IsLink(source) && IsInsideTree(destination, source)) Raise("Wrong operation");
    // Each file's source goes once its copy is on disk, and only when it is
    // the file copied, unchanged since: what a writer adds or changes
    // meanwhile stays. The emptied folders go at the end.
    m_Moving = true;
    m_Kept.clear();
    if (const std::optional<CopiedAlone> alone = CopyTree(source, destination)) {
      if (SettleAlone(*alone)) m_Kept = source;
    } else {
      DeleteTree(source);
    }
    if (!m_Kept.empty()) Raise(m_Kept + " was added or changed during the move and stays where it is");
  } catch (CFExeption* failure) {
    Keep(failure);
    ok = false;
  }
  m_Moving = false;
  m_Copied.clear();
  m_Removed.clear();
  EndBatch();
  m_AskIfReadOnly = ask;
  m_SubfolderBudget = -1;
  return ok;
}

bool CFileTreeOperation::Rename(const std::string& source, const std::string& destination) {
  m_Declined = false;
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
  m_Declined = false;
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

std::optional<CFileTreeOperation::CopiedAlone> CFileTreeOperation::CopyTree(std::string source,
                                                                            std::string destination) {
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
    const std::string folder = LastFolderName(source + "*.*");
    const std::string from = Resolved(source);
    std::string into = Resolved(destination);
    if (!folder.empty()) into += (into == "/" ? "" : "/") + folder;
    // Only a copy into the source's own subtree may write inside it, and only
    // into the folder it makes there, never through a link back into the source.
    const std::string target = Resolved(destination + folder);
    if (Contains(from, target) && !(selfCopy && target == into)) Raise("Wrong operation");
    // The destination finds names without regard to case: with overwriting on,
    // the second of two such names would replace the first.
    if (!CheckNames(source, WithoutBackslash(source), m_Overwrite)) Raise(notFound);
    auto walked = std::make_unique<platform::OpenFolder>();
    platform::EntryInfo walkedInfo;
    if (walked->Open(source) != 0 || walked->Self(walkedInfo) != 0) Raise(notFound);
    // The destination is the caller's own path; below it nothing is followed.
    auto out = std::make_unique<platform::OpenFolder>();
    if (const win::DWORD error = out->Open(destination, true)) Raise(error);
    std::string outName = WithoutBackslash(destination);
    m_WalkSource = from;
    struct EndOfWalk {
      CFileTreeOperation& op;
      ~EndOfWalk() {
        op.m_WalkSource.clear();
        op.m_WalkTarget = {};
      }
    } end{*this};
    bool madeRoot = false;
    if (!folder.empty()) {
      FolderChain at;
      at.Push(std::move(out), outName);
      at.List(true);
      const auto stored = at.Top().taken.find(Folded(folder));
      const std::string name = stored == at.Top().taken.end() ? folder : stored->second;
      out = std::make_unique<platform::OpenFolder>();
      win::DWORD error = stored == at.Top().taken.end() ? at.Folder().CreateFolder(name, *out, FillingMode(walkedInfo))
                                                        : win::ERROR_ALREADY_EXISTS;
      const bool made = error == 0;
      madeRoot = made;
      if (Refuses(error)) RaiseAt(at.Path(), error);
      if (error == win::ERROR_ALREADY_EXISTS) error = at.Folder().Enter(name, *out);
      if (error != 0) RefuseTargetEntry(at, name, error);
      // A Move's sources go only once the folder holding their copies is on disk too.
      if (made && m_Moving) {
        if (const win::DWORD flushed = at.Folder().Flush()) RaiseAt(at.Path(), flushed);
      }
      outName = at.Path(name);
    }
    if (const win::DWORD error = out->Self(m_WalkTarget)) Raise(error);
    CopyWalk(std::move(walked), WithoutBackslash(source), std::move(out), outName, !folder.empty(), madeRoot);
    return std::nullopt;
  }
  // A file: for a Move, the source as copied is looked at before the copy,
  // and both names are mapped once, so that whatever takes a name later
  // under another letter case is never taken for them.
  CopiedAlone copied;
  copied.source = source;
  win::DWORD error = 0;
  if (m_Moving && (!platform::MapPath(source, copied.sourceNative, &error) ||
                   (error = platform::GetEntryInfo(copied.sourceNative, copied.info)) != 0))
    Raise(error);
  if (destinationKind == 2) {
    AddBackslash(destination);
    destination += NameOf(source);
  }
  copied.copy = CopyOneFile(source, destination);
  if (m_Moving && !platform::MapPath(copied.copy, copied.copyNative, &error)) Raise(error);
  return copied;
}

void CFileTreeOperation::CopyWalk(std::unique_ptr<platform::OpenFolder> source, const std::string& from,
                                  std::unique_ptr<platform::OpenFolder> target, const std::string& into,
                                  bool ownRoot, bool madeRoot) {
  FolderChain src, dst;
  src.Push(std::move(source), from);
  dst.Push(std::move(target), into);
  dst.Top().made = madeRoot;
  if (m_Moving) Record(src.Top().self);
  try {
    src.List(false);
    dst.List(true);
    WalkFolders(src, dst, ownRoot);
  } catch (CFExeption* failure) {
    // What was copied whole is put in place, and a Move removes its sources,
    // so that a retry continues where this walk stopped.
    try {
      Settle(src, dst, FolderFlush::IfSourcesWait);
    } catch (CFExeption* later) {
      delete later;
    }
    throw failure;
  }
}

void CFileTreeOperation::WalkFolders(FolderChain& src, FolderChain& dst, bool ownRoot) {
  while (!src.Empty()) {
    WalkLevel& level = src.Top();
    if (level.next == level.names.size()) {
      SettleLeaving(src, dst, ownRoot || dst.Depth() > 1 ? &level.self : nullptr);
      src.Pop();
      dst.Pop();
      continue;
    }
    const std::size_t at = level.next++;
    const std::string name = level.names[at];
    RefuseName(src, name);
    switch (level.kinds[at]) {
      case platform::EntryKind::Folder: CopySubfolder(src, dst, name); break;
      case platform::EntryKind::Special: {
        platform::EntryInfo info;
        if (level.folder->Info(name, info) == 0 && info.kind == platform::EntryKind::Special)
          throw new CFExeption(src.Path(name) + " is a " + info.what + ", not a file: it is not copied",
                               win::ERROR_ACCESS_DENIED);
        CopyEntry(src, dst, name);
        break;
      }
      default: CopyEntry(src, dst, name);
    }
  }
}

void CFileTreeOperation::CopySubfolder(FolderChain& source, FolderChain& target, const std::string& name) {
  if (m_SubfolderBudget == 0) return;
  auto from = std::make_unique<platform::OpenFolder>();
  if (const win::DWORD error = source.Folder().Enter(name, *from)) RaiseAt(source.Path(name), error);
  platform::EntryInfo self;
  if (const win::DWORD error = from->Self(self)) RaiseAt(source.Path(name), error);
  if (self.SameFile(m_WalkTarget)) return;  // the copy's own output
  // Entered where it stands under any letter case, or made.
  WalkLevel& level = target.Top();
  const auto stored = level.taken.find(Folded(name));
  const std::string targetName = stored == level.taken.end() ? name : stored->second;
  auto into = std::make_unique<platform::OpenFolder>();
  win::DWORD error =
      stored == level.taken.end() ? target.Folder().CreateFolder(name, *into, FillingMode(self)) : win::ERROR_ALREADY_EXISTS;
  const bool made = error == 0;
  if (Refuses(error)) RaiseAt(target.Path(), error);
  if (made) level.taken.emplace(Folded(name), name);
  if (error == win::ERROR_ALREADY_EXISTS) error = target.Folder().Enter(targetName, *into);
  if (error != 0) RefuseTargetEntry(target, targetName, error);
  if (m_SubfolderBudget > 0) --m_SubfolderBudget;
  if (m_Moving) Record(self);
  // The batch belongs to this folder; for a Move the new folder's name is put on disk with it.
  Settle(source, target, m_Moving && made ? FolderFlush::Always : FolderFlush::IfSourcesWait);
  source.Push(std::move(from), name);
  target.Push(std::move(into), targetName);
  target.Top().made = made;
  source.List(false);
  target.List(true);
}

void CFileTreeOperation::RefuseTargetEntry(FolderChain& target, const std::string& name, win::DWORD error) {
  platform::EntryInfo info;
  const std::string path = target.Path(name);
  if (target.Folder().Info(name, info) == 0 && info.kind == platform::EntryKind::Link) {
    // A link back into the source is the source itself; any other leads out
    // of the destination. Neither is written through.
    std::string resolved;
    if (!m_WalkSource.empty() && platform::ResolvePath(path, resolved) && Contains(m_WalkSource, resolved))
      Raise("Wrong operation");
    throw new CFExeption(path + " is a symbolic link: the copy does not write through it", win::ERROR_INVALID_NAME);
  }
  RaiseAt(path, error);
}

void CFileTreeOperation::CopyEntry(FolderChain& source, FolderChain& target, const std::string& name) {
  WalkLevel& level = target.Top();
  std::string targetName = name;
  auto stored = level.taken.find(Folded(targetName));
  if (m_Overwrite) {
    if (stored != level.taken.end()) targetName = stored->second;
  } else {
    // The first free copy name; what stands but does not open for reading
    // keeps the name, and the copy then finds it taken. A name the batch
    // holds is taken, though nothing opens under it until the batch is placed.
    while (stored != level.taken.end()) {
      if (!m_Placing.Holds(stored->second) && !target.Folder().OpensForReading(stored->second)) {
        targetName = stored->second;
        break;
      }
      std::string next = NextCopyName(targetName);
      if (next == targetName) Raise(target.Path(targetName) + ": no free copy name");  // the number is at its limit
      targetName = std::move(next);
      stored = level.taken.find(Folded(targetName));
    }
  }
  platform::EntryInfo copied;
  // A batch holds at most kBatchFiles files and kBatchBytes, or one file.
  if (platform::EntryInfo next;
      m_BatchFiles == kBatchFiles ||
      (m_Moving && m_BatchFiles != 0 && source.Folder().Info(name, next) == 0 && m_BatchBytes + next.size > kBatchBytes))
    Settle(source, target, FolderFlush::IfSourcesWait);
  const std::size_t held = m_Placing.Size();
  bool refused = false;
  if (const win::DWORD error =
          source.Folder().CopyEntry(name, target.Folder(), targetName, m_Overwrite, m_Placing, &copied, &refused))
    RaiseAt(refused ? target.Path() : source.Path(name), error);
  level.taken.emplace(Folded(targetName), targetName);
  ++m_BatchFiles;
  m_BatchBytes += copied.size;
  if (m_Moving) {
    Record(copied);
    m_Batch.push_back({name, targetName, copied, m_Placing.Size() > held});
  }
  if (m_BatchBytes >= kBatchBytes) Settle(source, target, FolderFlush::IfSourcesWait);
}

win::DWORD CFileTreeOperation::PlaceBatch(std::string& failed) {
  std::size_t placed = 0;
  const win::DWORD unplaced = m_Placing.Place(placed, failed);
  m_BatchFiles = 0;
  m_BatchBytes = 0;
  if (unplaced != 0) {
    // Only the sources of the files put in place go.
    std::size_t held = 0;
    std::erase_if(m_Batch, [&held, placed](const Copied& copy) { return copy.held && held++ >= placed; });
  }
  return unplaced;
}

void CFileTreeOperation::Settle(FolderChain& source, FolderChain& target, FolderFlush flush) {
  std::string failed;
  const win::DWORD unplaced = PlaceBatch(failed);
  RemoveSources(source, target, flush, unplaced, failed);
}

void CFileTreeOperation::SettleLeaving(FolderChain& source, FolderChain& target, const platform::EntryInfo* own) {
  std::string failed;
  const win::DWORD unplaced = PlaceBatch(failed);
  const bool permissions = own && target.Top().made;
  // A Move gives a folder permissions that bar its owner from writing into it
  // only once its sources are gone: until then its stale copies must go, and
  // while a source stays a retry must be able to put it in.
  const bool late = permissions && m_Moving && (own->mode & 0300) != 0300;
  if (own) {
    // Once its entries are written: each sets the folder's time anew.
    target.Folder().KeepModified(own->modified);
    if (permissions && !late) target.Folder().KeepPermissions(*own);
  }
  RemoveSources(source, target, FolderFlush::Always, unplaced, failed);
  if (late && !source.Top().keeps) {
    target.Folder().KeepPermissions(*own);
    if (const win::DWORD error = target.Folder().Flush()) RaiseAt(target.Path(), error);
  }
}

void CFileTreeOperation::RemoveSources(FolderChain& source, FolderChain& target, FolderFlush flush,
                                       win::DWORD unplaced, const std::string& failed) {
  if (!m_Batch.empty() || flush == FolderFlush::Always) {
    if (const win::DWORD error = target.Folder().Flush()) {
      if (unplaced == 0) RaiseAt(target.Path(), error);
      m_Batch.clear();
    }
    // What stays in the source is named by the final walk.
    for (const Copied& copy : m_Batch) {
      bool acted = false;
      const AfterCopy after = SettleSource(source.Folder(), source.Path(), target.Folder(), target.Path(), copy, acted);
      if (after == AfterCopy::DropCopy && acted) target.Top().taken.erase(Folded(copy.target));
      if (after != AfterCopy::Moved && !(after == AfterCopy::RemoveSource && acted)) source.Top().keeps = true;
    }
    m_Batch.clear();
  }
  if (unplaced != 0) RaiseAt(source.Path(failed), unplaced);
}

CFileTreeOperation::AfterCopy CFileTreeOperation::Judge(const platform::EntryInfo& copied, win::DWORD looked,
                                                        const platform::EntryInfo& now) const {
  if (IsMissing(looked)) return AfterCopy::Moved;
  if (looked != 0) return AfterCopy::KeepBoth;
  if (SourceUnchanged(copied, now)) return AfterCopy::RemoveSource;
  // A regular file still under the name, written since (in place, or saved
  // over it by an editor), has newer data than the copy. A link or a folder in
  // its place leaves the copy as perhaps the only place its data is.
  if (copied.kind == platform::EntryKind::File && now.kind == platform::EntryKind::File) return AfterCopy::DropCopy;
  return AfterCopy::KeepBoth;
}

// A source changed after its copy was made stays, so that the Move fails
// naming it, and the copy made before the change goes, so that no reader takes
// old data under the name and a retry copies it anew there.
CFileTreeOperation::AfterCopy CFileTreeOperation::SettleSource(const platform::OpenFolder& source,
                                                               const std::string& sourcePath,
                                                               const platform::OpenFolder& target,
                                                               const std::string& targetPath, const Copied& copy,
                                                               bool& acted) {
  acted = false;
  platform::EntryInfo now;
  const win::DWORD looked = source.Info(copy.name, now);
  const AfterCopy after = Judge(copy.info, looked, now);
  if (after == AfterCopy::RemoveSource) {
    acted = RemoveEntry(source, copy.name, &now, sourcePath + "\\" + copy.name);
    if (acted) m_Copied.erase(KeyOf(now));
  } else if (after == AfterCopy::DropCopy) {
    // Only while it stands as copied: a copy keeps its source's last-write
    // time, so what stands under its name with another is no longer that copy.
    platform::EntryInfo standing;
    if (target.Info(copy.target, standing) == 0 && standing.kind == platform::EntryKind::File &&
        standing.modified == copy.info.modified) {
      if (const win::DWORD error = target.RemoveFile(copy.target)) RaiseAt(targetPath + "\\" + copy.target, error);
      acted = true;
    }
  }
  return after;
}

bool CFileTreeOperation::SettleAlone(const CopiedAlone& copied) {
  // Each side through the folder it stands in, as in a tree.
  const auto [sourceFolder, sourceName] = FolderAndName(copied.sourceNative, "/");
  const auto [copyFolder, copyName] = FolderAndName(copied.copyNative, "/");
  // Texts name the folders as the caller gave them.
  const std::string sourceText = FolderAndName(WithoutBackslash(copied.source), "\\/").first;
  const std::string copyText = FolderAndName(WithoutBackslash(copied.copy), "\\/").first;
  platform::OpenFolder source, target;
  win::DWORD error = source.Open(sourceFolder, true);
  if (IsMissing(error)) return false;  // a source whose folder went has gone with it
  if (error != 0) RaiseAt(sourceText, error);
  if ((error = target.Open(copyFolder, true)) != 0) RaiseAt(copyText, error);
  const Copied copy{sourceName, copyName, copied.info, false};
  bool acted = false;
  const AfterCopy after = SettleSource(source, sourceText, target, copyText, copy, acted);
  return after == AfterCopy::DropCopy || after == AfterCopy::KeepBoth;
}

void CFileTreeOperation::EndBatch() {
  m_Placing.Discard();
  m_Batch.clear();
  m_BatchBytes = 0;
  m_BatchFiles = 0;
}

bool CFileTreeOperation::RemoveEntry(const platform::OpenFolder& folder, const std::string& name,
                                     const platform::EntryInfo* info, const std::string& path) {
  if (info != nullptr && info->kind == platform::EntryKind::File) {
    const win::DWORD attributes = win::FILE_ATTRIBUTE_ARCHIVE | (info->readOnly ? win::FILE_ATTRIBUTE_READONLY : 0);
    const auto clear = [&folder, &name] { return folder.SetAttributes(name, kFileAttributeNormal) == 0; };
    if (!CanDelete(path, attributes, clear)) {
      m_Declined = true;
      return false;
    }
  }
  // A name removed from a file that has others changes their names and change
  // time, which is no write: what it left is what they may show.
  const bool others = m_Moving && info != nullptr && info->kind != platform::EntryKind::Folder && info->links > 1;
  platform::EntryInfo left;
  if (const win::DWORD error = folder.RemoveFile(name, others ? &left : nullptr)) RaiseAt(path, error);
  if (others && left.SameFile(*info)) m_Removed[KeyOf(*info)].push_back({*info, left});
  return true;
}

std::string CFileTreeOperation::CopyOneFile(const std::string& source, std::string target) {
  if (!m_Overwrite) {
    while (IsReadable(target)) {
      std::string next = NextCopyName(target);
      if (next == target) Raise(target + ": no free copy name");  // the number is at its limit
      target = std::move(next);
    }
  }
  const win::DWORD flags = win::COPY_FILE_COPY_SYMLINK | (m_Overwrite ? 0 : win::COPY_FILE_FAIL_IF_EXISTS);
  if (!win::CopyFileEx(source.c_str(), target.c_str(), flags)) RaiseAt(source, win::GetLastError());
  return target;
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
  const bool link = attributes != win::INVALID_FILE_ATTRIBUTES && (attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (m_Moving && (link || CheckPath(path) == 1)) {
    platform::EntryInfo now;
    if (platform::GetEntryInfo(path, now) != 0 || !CopiedUnchanged(now)) {
      m_Kept = path;
      return;
    }
  }
  if (link) {
    // The link goes, never what it leads to.
    const bool folder = (attributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!(folder ? win::RemoveDirectory(path.c_str()) : win::DeleteFile(path.c_str())))
      RaiseAt(path, win::GetLastError());
    return;
  }
  if (CheckPath(path) == 1) {
    if (!CanDelete(path)) {
      m_Declined = true;
      return;
    }
    if (!win::DeleteFile(path.c_str())) RaiseAt(path, win::GetLastError());
    return;
  }
  // The walk goes through the folders it holds open, so a folder that turns
  // into a link meanwhile is never followed.
  auto folder = std::make_unique<platform::OpenFolder>();
  const win::DWORD opened = folder->Open(path);
  if (opened == win::ERROR_DIRECTORY && CheckPath(path) == 2) Raise(opened);  // a link by now
  bool keeps = false;
  if (opened == 0) {
    platform::EntryInfo self;
    if (m_Moving && (folder->Self(self) != 0 || !CopiedUnchanged(self))) {
      m_Kept = path;
      return;
    }
    if (!m_Moving) CheckNames(path, WithoutBackslash(path), false);
    keeps = DeleteWalk(std::move(folder), WithoutBackslash(path));
  } else if (!IsMissing(opened)) {
    RaiseAt(WithoutBackslash(path), opened);
  }
  // A folder that holds a declined file, or what a Move did not copy, stays.
  if (!keeps && !win::RemoveDirectory(path.c_str())) RaiseAt(WithoutBackslash(path), win::GetLastError());
}

bool CFileTreeOperation::DeleteWalk(std::unique_ptr<platform::OpenFolder> root, const std::string& where) {
  FolderChain chain;
  chain.Push(std::move(root), where);
  chain.List(false);
  for (;;) {
    WalkLevel& level = chain.Top();
    if (level.next == level.names.size()) {
      if (chain.Depth() == 1) return level.keeps;
      const bool keeps = level.keeps;
      const std::string name = level.name;
      chain.Pop();
      WalkLevel& parent = chain.Top();
      if (keeps) {
        parent.keeps = true;
      } else if (const win::DWORD error = parent.folder->RemoveFolder(name)) {
        RaiseAt(chain.Path(name), error);
      }
      continue;
    }
    const std::size_t at = level.next++;
    const std::string name = level.names[at];
    RefuseName(chain, name);
    platform::EntryInfo info;
    const win::DWORD looked = level.folder->Info(name, info);
    if (m_Moving && (looked != 0 || !CopiedUnchanged(info))) {
      if (IsMissing(looked)) continue;  // gone meanwhile
      level.keeps = true;
      if (m_Kept.empty()) m_Kept = chain.Path(name);
      continue;
    }
    if (level.kinds[at] == platform::EntryKind::Folder) {
      auto sub = std::make_unique<platform::OpenFolder>();
      if (const win::DWORD error = level.folder->Enter(name, *sub)) {
        if (IsMissing(error)) continue;  // gone meanwhile
        if (error == win::ERROR_DIRECTORY) Raise(error);  // no folder any more
        RaiseAt(chain.Path(name), error);
      }
      chain.Push(std::move(sub), name);
      chain.List(false);
      continue;
    }
    if (!RemoveEntry(*level.folder, name, looked == 0 ? &info : nullptr, chain.Path(name))) level.keeps = true;
  }
}

bool CFileTreeOperation::CheckNames(const std::string& path, const std::string& where, bool twins) {
  auto root = std::make_unique<platform::OpenFolder>();
  if (root->Open(path) != 0) return true;  // the walk itself reports a folder it cannot open
  FolderChain chain;
  chain.Push(std::move(root), where);
  if (chain.Folder().List(chain.Top().names, &chain.Top().kinds) != 0) return false;
  bool listed = true;
  while (!chain.Empty()) {
    WalkLevel& level = chain.Top();
    if (listed) {
      listed = false;
      for (const std::string& name : level.names) RefuseName(chain, name);
      if (twins) {
        std::vector<std::pair<std::string, std::string>> folded;  // (folded, as spelled)
        for (const std::string& name : level.names) folded.emplace_back(Folded(name), name);
        std::sort(folded.begin(), folded.end());
        for (std::size_t i = 1; i < folded.size(); ++i)
          if (folded[i].first == folded[i - 1].first)
            Raise("\"" + folded[i - 1].second + "\" and \"" + folded[i].second + "\" in " + chain.Path() +
                  " differ only in letter case");
      }
    }
    if (level.next == level.names.size()) {
      chain.Pop();
      continue;
    }
    const std::size_t at = level.next++;
    if (level.kinds[at] != platform::EntryKind::Folder) continue;
    // A folder the walk cannot open or list is reported by the walk itself.
    auto sub = std::make_unique<platform::OpenFolder>();
    if (level.folder->Enter(level.names[at], *sub) != 0) continue;
    const std::string name = level.names[at];
    chain.Push(std::move(sub), name);
    if (chain.Folder().List(chain.Top().names, &chain.Top().kinds) != 0) {
      chain.Pop();
      continue;
    }
    listed = true;
  }
  return true;
}

void CFileTreeOperation::Record(const platform::EntryInfo& copied) { m_Copied[KeyOf(copied)] = copied; }

bool CFileTreeOperation::CopiedUnchanged(const platform::EntryInfo& now) const {
  const auto found = m_Copied.find(KeyOf(now));
  if (found == m_Copied.end()) return false;
  // A folder's own size and time change as the walk copies and removes.
  return now.kind == platform::EntryKind::Folder ? found->second.kind == now.kind : SourceUnchanged(found->second, now);
}

bool CFileTreeOperation::SourceUnchanged(const platform::EntryInfo& copied, const platform::EntryInfo& now) const {
  // Each removal made while the file stood as it was leaves it as it left it.
  platform::EntryInfo was = copied;
  if (const auto found = m_Removed.find(KeyOf(copied)); found != m_Removed.end()) {
    for (const OwnRemoval& removal : found->second) {
      if (removal.before.links != was.links || removal.before.changed != was.changed) continue;
      was.links = removal.after.links;
      was.changed = removal.after.changed;
    }
  }
  return was.Untouched(now);
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
