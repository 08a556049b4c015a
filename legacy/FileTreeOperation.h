// Copy, move, rename and delete of files and folder trees under Windows-style
// paths. Inside the class a failure travels as a heap-allocated CFExeption
// thrown by pointer; the public operations catch it, keep its text and code
// and return false.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "platform/WinTypes.h"

class FolderChain;

class CFExeption {
 public:
  // The system's message for the code.
  explicit CFExeption(win::DWORD code);
  // A failure of the class's own making (code 0).
  explicit CFExeption(std::string text) : m_Text(std::move(text)) {}
  // A text of its own for a system error code.
  CFExeption(std::string text, win::DWORD code) : m_Text(std::move(text)), m_Code(code) {}

  std::string GetErrorText() const { return m_Text; }
  win::DWORD GetErrorCode() const { return m_Code; }

 private:
  std::string m_Text;
  win::DWORD m_Code = 0;
};

class CFileTreeOperation {
 public:
  CFileTreeOperation() { Initialize(); }

  bool Copy(const std::string& source, const std::string& destination);
  bool Move(const std::string& source, const std::string& destination);
  bool Rename(const std::string& source, const std::string& destination);
  // True also after the operator's Cancel at the read-only question (code 0).
  bool Delete(const std::string& path);
  void Initialize();

  std::string m_ErrorText;
  win::DWORD m_ErrorCode = 0;
  bool m_AskIfReadOnly = true;
  bool m_Overwrite = false;
  bool m_Declined = false;  // a file was left undeleted
  std::int32_t m_SubfolderBudget = -1;

  // 0 not found, 1 file, 2 folder, -1 attributes unreadable otherwise.
  static int CheckPath(const std::string& path);
  static std::string NextCopyName(const std::string& path);
  static std::string LastFolderName(const std::string& pattern);
  static bool IsInFolder(const std::string& source, const std::string& destination);
  // The path itself or anything below it, as the system resolves both.
  static bool IsInsideTree(const std::string& path, const std::string& tree);
  void LimitSelfCopy(const std::string& source, const std::string& destination);

 private:
  // A file (or link) moved on its own, as its copy leaves it for the Move:
  // the source's path, its copy's path (perhaps a "Copy of" name) and the
  // source as it was looked at before it was copied.
  struct CopiedAlone {
    std::string source, copy;              // as given, for texts
    std::string sourceNative, copyNative;  // as mapped when looked at, never mapped again
    platform::EntryInfo info;
  };
  // A tree is copied whole; a file copied on its own is returned.
  std::optional<CopiedAlone> CopyTree(std::string source, std::string destination);
  // Copies what the open source folder holds into the open target folder,
  // depth first; `from` and `into` name them in texts.
  // `ownRoot`: the target folder stands for the source folder and takes its
  // time; `madeRoot`: the copy made it, and it takes the source's permissions.
  void CopyWalk(std::unique_ptr<platform::OpenFolder> source, const std::string& from,
                std::unique_ptr<platform::OpenFolder> target, const std::string& into, bool ownRoot, bool madeRoot);
  void WalkFolders(FolderChain& source, FolderChain& target, bool ownRoot);
  void CopySubfolder(FolderChain& source, FolderChain& target, const std::string& name);
  void CopyEntry(FolderChain& source, FolderChain& target, const std::string& name);
  // An entry of the target that stands where the copy would enter a folder.
  [[noreturn]] void RefuseTargetEntry(FolderChain& target, const std::string& name, win::DWORD error);
  // The path the copy took.
  std::string CopyOneFile(const std::string& source, std::string target);
  void DeleteTree(const std::string& path);
  // Deletes what the open folder holds, depth first; true when something
  // stays inside it (a declined file, or what a Move did not copy).
  bool DeleteWalk(std::unique_ptr<platform::OpenFolder> root, const std::string& where);
  // Before a walk touches anything: no name below the folder holds a path
  // separator, and with `twins` no two names of one folder differ only in
  // letter case. False when the folder itself cannot be listed.
  bool CheckNames(const std::string& path, const std::string& where, bool twins);
  struct Copied;
  enum class FolderFlush : bool { IfSourcesWait, Always };
  // The files copied into the target's top folder since the last batch are
  // put in place; during a Move their sources go once a flush of the folder
  // has put the copies on disk (FolderFlush::Always: the folder is flushed
  // even with no source waiting, so that a folder just made is on disk).
  void Settle(FolderChain& source, FolderChain& target, FolderFlush flush);
  // Settle as the walk leaves the folder: with `own`, the folder takes that
  // source folder's time, and its permissions when the copy made it, before
  // the flush (in a Move, permissions that bar the owner from writing once
  // every source of the folder went, flushed again).
  void SettleLeaving(FolderChain& source, FolderChain& target, const platform::EntryInfo* own);
  // Puts the batch in place; 0 or the failure, with the source name of the
  // file it stopped at in `failed`. m_Batch keeps what stands under its name.
  win::DWORD PlaceBatch(std::string& failed);
  void RemoveSources(FolderChain& source, FolderChain& target, FolderFlush flush, win::DWORD unplaced,
                     const std::string& failed);
  // What becomes of a Move's source once its copy stands on disk, from the
  // source as it was copied and as it is now (`looked`: the error of that look).
  enum class AfterCopy {
    RemoveSource,  // it is the file copied, unchanged since
    DropCopy,      // a regular file stands under its name, written since: it stays, its stale copy goes
    KeepBoth,      // something else stands under its name, or it cannot be looked at: the copy may be all
                   // that is left of what was copied
    Moved,         // it went meanwhile: its copy is all that is left of it, and its move is done
  };
  AfterCopy Judge(const platform::EntryInfo& copied, win::DWORD looked, const platform::EntryInfo& now) const;
  // The one place that acts on Judge, for a file of a tree and a file moved on
  // its own alike: `copy.name` in `source`, its copy `copy.target` in
  // `target`; the paths name the two folders in texts. Returns the judgement;
  // `acted`: the source was removed (not declined) or the stale copy dropped
  // (it still stood as copied).
  AfterCopy SettleSource(const platform::OpenFolder& source, const std::string& sourcePath,
                         const platform::OpenFolder& target, const std::string& targetPath, const Copied& copy,
                         bool& acted);
  // SettleSource for a file moved on its own; true when it stays in its source.
  bool SettleAlone(const CopiedAlone& copied);
  void EndBatch();
  // A file or link of the open folder (`info` as looked at, null when it could
  // not be); false when a read-only file is declined.
  bool RemoveEntry(const platform::OpenFolder& folder, const std::string& name, const platform::EntryInfo* info,
                   const std::string& path);
  // During a Move: what the copy took, as it was when copied.
  void Record(const platform::EntryInfo& copied);
  bool CopiedUnchanged(const platform::EntryInfo& now) const;
  // A file as copied is the file `now`, unwritten: its names and change time
  // differ only as this Move's own removals of its other names left them.
  bool SourceUnchanged(const platform::EntryInfo& copied, const platform::EntryInfo& now) const;
  bool CanDelete(const std::string& file);
  bool CanDelete(const std::string& file, win::DWORD attributes, const std::function<bool()>& clearReadOnly);
  static void RenamePath(const std::string& source, const std::string& destination);
  static bool IsReadable(const std::string& path);
  static void AddBackslash(std::string& path);
  void Keep(CFExeption* failure);

  std::string m_WalkSource;           // the source of a tree copy (resolved)
  platform::EntryInfo m_WalkTarget;   // the folder a tree copy writes into, skipped by its own walk
  bool m_Moving = false;
  using FileKey = std::pair<std::uint64_t, std::uint64_t>;  // device, inode
  static FileKey KeyOf(const platform::EntryInfo& info) { return {info.device, info.inode}; }
  std::map<FileKey, platform::EntryInfo> m_Copied;
  // A Move's removals of names of files that have others, in order: the file
  // just before each and as each left it.
  struct OwnRemoval {
    platform::EntryInfo before, after;
  };
  std::map<FileKey, std::vector<OwnRemoval>> m_Removed;
  std::string m_Kept;  // the first entry a Move left in its source
  struct Copied {
    std::string name;
    std::string target;  // the name of its copy
    platform::EntryInfo info;
    bool held;  // in m_Placing until the batch is placed
  };
  std::vector<Copied> m_Batch;  // a Move's copies whose sources are not yet removed
  platform::CopyBatch m_Placing;  // copied files not yet under their names
  std::uint64_t m_BatchBytes = 0;
  std::size_t m_BatchFiles = 0;
};
