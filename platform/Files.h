// Files and folders under Windows-style paths (mapped by platform/Paths.h).
// Failures carry the Windows error numbers the program reacts to: creating a
// folder whose parent is missing gives ERROR_PATH_NOT_FOUND (3), one that
// exists ERROR_ALREADY_EXISTS (183). Whole-file writes and copies go through a
// temporary file in the target folder and a rename, so a full disk or a crash
// never leaves a half-written file; a failed append leaves the file as it was.
// Contents are bytes, written exactly as given.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace win {

constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD COPY_FILE_FAIL_IF_EXISTS = 0x1;
constexpr DWORD COPY_FILE_COPY_SYMLINK = 0x800;
constexpr std::size_t MAX_PATH = 260;

struct WIN32_FIND_DATA {
  DWORD dwFileAttributes = 0;
  DWORD nFileSizeHigh = 0;
  DWORD nFileSizeLow = 0;
  char cFileName[MAX_PATH] = {};
};

// Every call sets GetLastError(); FALSE / INVALID_HANDLE_VALUE on failure.
BOOL CreateDirectory(const char* path, void* security = nullptr);
// A symbolic link to a folder is removed itself, its target untouched.
BOOL RemoveDirectory(const char* path);
// A symbolic link to a file is removed itself; one to a folder is refused
// (ERROR_ACCESS_DENIED), as for a folder.
BOOL DeleteFile(const char* path);
// Replaces the destination unless failIfExists (then ERROR_FILE_EXISTS). The
// copy keeps the source's read-only attribute, permission bits and last-write
// time; it belongs to the caller, so it keeps the set-user-ID and set-group-ID
// bits only where that is the source's owner and group, as cp does. A file
// never copies onto itself (ERROR_SHARING_VIOLATION). Symbolic links are followed.
BOOL CopyFile(const char* from, const char* to, BOOL failIfExists);
// COPY_FILE_FAIL_IF_EXISTS and COPY_FILE_COPY_SYMLINK (a link is copied as a
// link to the same target, never followed; failing if it exists, it takes the
// same link standing at the destination for its copy, as a copy killed once
// it had made the link leaves it).
BOOL CopyFileEx(const char* from, const char* to, DWORD flags);
// Fails with ERROR_ALREADY_EXISTS when the destination exists, unless it is the
// source itself under another letter case (the name's case is then changed).
BOOL MoveFile(const char* from, const char* to);
BOOL MoveFileEx(const char* from, const char* to, DWORD flags);
// Read-only is the owner's write bit of the mode. A symbolic link is not
// followed: it reports FILE_ATTRIBUTE_REPARSE_POINT, with the directory bit
// when it leads to a folder, and is never read-only.
DWORD GetFileAttributes(const char* path);
// Only FILE_ATTRIBUTE_READONLY has an effect: set, it clears every write bit;
// clear, it gives the owner write access. A symbolic link's target is left alone.
BOOL SetFileAttributes(const char* path, DWORD attributes);
// Pattern "<folder>\<mask>" with '*' and '?', matched without regard to case
// ("*.*" matches every name). "." and ".." are never returned. Attributes as
// GetFileAttributes gives them (links not followed).
HANDLE FindFirstFile(const char* pattern, WIN32_FIND_DATA* data);
BOOL FindNextFile(HANDLE find, WIN32_FIND_DATA* data);
BOOL FindClose(HANDLE find);
BOOL GetDiskFreeSpaceEx(const char* path, std::uint64_t* freeToCaller, std::uint64_t* total,
                        std::uint64_t* totalFree);

}  // namespace win

namespace platform {

// Windows-style paths; each returns 0 or a Windows error number.
bool FileExists(const std::string& path);  // a file or a folder
bool DirectoryExists(const std::string& path);
// 0 when this process may make files in the folder, else why not (a read-only
// file system, no write access).
win::DWORD FolderWriteError(const std::string& path);
bool IsRegularFile(const std::string& path);  // links followed
win::DWORD GetFileSize(const std::string& path, std::uint64_t& size);
// Reads the whole file in one pass to its end; anything but a regular file
// (a folder, a FIFO, a device) is refused with ERROR_ACCESS_DENIED without
// waiting. Only the bytes read count, never a size taken before. Past `limit` bytes it fails with ERROR_FILE_TOO_LARGE.
// `changed` (when given) is set when the file's size or modification time at
// the end of the read differ from those at its open, or its change time while
// it has as many names: it was written meanwhile, even where the writer set
// its modification time back (a file replaced under its name is not).
win::DWORD ReadFileBytes(const std::string& path, std::string& data, std::uint64_t limit = UINT64_MAX,
                         bool* changed = nullptr);
// The first `count` bytes of a regular file (fewer when it is shorter); as
// ReadFileBytes, but nothing past them is read.
win::DWORD ReadFileStart(const std::string& path, std::string& data, std::size_t count);
// Creates or replaces the whole file atomically.
win::DWORD WriteFileBytes(const std::string& path, const std::string& data);
// Appends at the end; a missing file is created only when `create` is set
// (otherwise ERROR_FILE_NOT_FOUND). All or nothing: a short write is undone.
// A `recordSize` other than 0 makes the file a sequence of records of that
// size, shared by processes: the append holds the folder's profile write lock
// (ProfileWriteLock, platform/FolderLock.h) and first cuts off a partial
// record at the end, as a writer killed inside its append leaves one.
win::DWORD AppendFileBytes(const std::string& path, const std::string& data, bool create, std::size_t recordSize = 0);
// Names in a folder, without "." and "..", in no particular order.
win::DWORD ListFolder(const std::string& path, std::vector<std::string>& names);

class OpenFolder;

// Files a walk copies into one folder, written under temporary names and put
// under their own names together: each file's data is on disk before its name
// stands for it. What is not put in place is removed with the batch.
class CopyBatch {
 public:
  CopyBatch() = default;
  ~CopyBatch();
  CopyBatch(const CopyBatch&) = delete;
  CopyBatch& operator=(const CopyBatch&) = delete;

  std::size_t Size() const { return m_Held.size(); }
  // A file of the batch waits to be put under `name`: the name is taken,
  // though nothing opens under it yet.
  bool Holds(const std::string& name) const;
  // Flushes the files to disk and renames each to its name, in the order
  // copied; stops at the first failure, which it returns with the source name
  // of that file in `failed`. `placed`: the files put in place. The batch is
  // empty afterwards.
  win::DWORD Place(std::size_t& placed, std::string& failed);
  void Discard();

 private:
  friend class OpenFolder;
  struct Held {
    int fd;  // holds the temporary file's lock
    std::string temp, name, source;
    bool replace;
  };
  // False when the batch holds copies into another folder.
  bool Into(const OpenFolder& folder);

  int m_Dir = -1;
  std::string m_Native;
  std::vector<Held> m_Held;
};

// Native-path building blocks.
// The one rename of the file layer, relative to folder descriptors (AT_FDCWD
// for paths). Without `replace` whatever stands at `to` stays, even what
// appeared a moment ago: RENAME_NOREPLACE, or where the file system lacks it a
// hard link and unlink; EEXIST then. Returns 0 or an errno value.
int RenameAt(int fromDir, const char* from, int toDir, const char* to, bool replace);
// Writes `data` to a temporary file beside `nativePath`, flushes it to disk,
// renames it over `nativePath` and flushes the folder, so that a finished write
// survives a power cut. Returns 0 or a Windows error number; on failure the old
// file is untouched and no temporary file is left. Temporary files are named
// ".~kx" and six characters, and stay locked (flock) while their writer lives:
// each write first removes those of the folder that no live writer holds, as a
// writer killed before its rename leaves them, and every link of such a name
// (a link's copy not yet renamed, whose live writer makes it again).
win::DWORD ReplaceFileAtomically(const std::string& nativePath, const std::string& data);
// Opens `nativePath` for reading without waiting on a FIFO or device. A regular
// file that another process holds a write lease on is opened waiting, as the
// kernel then breaks the lease. Returns the descriptor, or -1 with errno set.
int OpenForReading(const std::string& nativePath);
// What an entry is, as seen without following a link.
enum class EntryKind : unsigned char { File, Folder, Link, Special };
struct EntryInfo {
  EntryKind kind = EntryKind::File;
  const char* what = "file";  // a special file's kind in words ("named pipe (FIFO)", "socket", ...)
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds
  // The inode's change time (nanoseconds): every write, and every change of
  // its names or permissions, sets it, and no caller can set it back.
  std::int64_t changed = 0;
  std::uint64_t links = 0;  // the names it has
  bool readOnly = false;
  std::uint32_t mode = 0;  // permission bits
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  bool SameFile(const EntryInfo& other) const { return device == other.device && inode == other.inode; }
  // The same file, and not written since: a rewrite of one size whose
  // last-write time was set back still has a change time of its own. A name
  // added or removed sets that time too, so it counts only where the file
  // has as many names as before: for a reader, whose file may be replaced
  // under its name meanwhile (which is no write to what it reads).
  bool Unchanged(const EntryInfo& other) const {
    return SameFile(other) && kind == other.kind && size == other.size && modified == other.modified &&
           (links != other.links || changed == other.changed);
  }
  // Unchanged, with the same names and change time: nothing at all was done
  // to the file (a caller that removed names of it itself accounts for them).
  bool Untouched(const EntryInfo& other) const {
    return Unchanged(other) && links == other.links && changed == other.changed;
  }
};
// The entry at a Windows-style path, its last name not followed.
win::DWORD GetEntryInfo(const std::string& path, EntryInfo& info);

// A folder held open for a walk that must keep inside it: each entry is
// looked up in the folder itself, never through a path, and an entry that is
// or becomes a symbolic link is never followed (entering or removing it as a
// folder then fails with ERROR_DIRECTORY). The listing and removal seams
// (platform/FileFaults.h) see the folder's native path, and the entry's as
// "<folder>/<name>". Every call
// returns 0 or a Windows error number.
class OpenFolder {
 public:
  OpenFolder() = default;
  ~OpenFolder();
  OpenFolder(const OpenFolder&) = delete;
  OpenFolder& operator=(const OpenFolder&) = delete;

  // A Windows-style path whose last name is a folder, not a link to one
  // (with `followLast`, a link to a folder is followed as well).
  win::DWORD Open(const std::string& path, bool followLast = false);
  // The entry `name` of this folder, when it is a folder.
  win::DWORD Enter(const std::string& name, OpenFolder& sub) const;
  // The folder this one lies in (through its ".."; the caller checks that it
  // is still the folder it came from).
  win::DWORD Parent(OpenFolder& parent) const;
  // Makes the folder `name` here, with the permission bits `mode` as the
  // process's umask lets them, and enters it; ERROR_ALREADY_EXISTS where any
  // entry stands.
  win::DWORD CreateFolder(const std::string& name, OpenFolder& sub, std::uint32_t mode = 0755) const;
  // Names without "." and "..", in no particular order; with `kinds`, what
  // each is (as Info gives it), in the same order.
  win::DWORD List(std::vector<std::string>& names, std::vector<EntryKind>* kinds = nullptr) const;
  win::DWORD Info(const std::string& name, EntryInfo& info) const;
  win::DWORD Self(EntryInfo& info) const;
  // Copies the entry `name` (a regular file, or a link as a link to the same
  // target) to `toName` in `to`, as CopyFileEx with COPY_FILE_COPY_SYMLINK
  // does, without sweeping the target folder's temporary files (SweepTemps
  // does that once for a walk) nor flushing it (Flush). Anything else is
  // refused (ERROR_ACCESS_DENIED). Without `replace`, a link takes the same
  // link standing at `toName` for its copy.
  // A regular file is left in `batch` (one for `to`), to be put in place by
  // CopyBatch::Place; a link is placed at once. `copied` gets the source as it
  // was when opened. `refused` is set when the failure is `to` refusing the new
  // entry (access denied or write-protected once the source is open): the folder's doing.
  win::DWORD CopyEntry(const std::string& name, const OpenFolder& to, const std::string& toName, bool replace,
                       CopyBatch& batch, EntryInfo* copied = nullptr, bool* refused = nullptr) const;
  // As OpensForReading for the entry `name`.
  bool OpensForReading(const std::string& name) const;
  // Removes the temporary files that writers killed before their rename left here.
  void SweepTemps() const;
  // Flushes the folder's entries to disk, so that what was renamed into it
  // survives a power cut.
  win::DWORD Flush() const;
  // Gives the folder this last-write time (nanoseconds, as EntryInfo holds
  // it), where the system lets the caller; once its entries are written, as
  // each change of an entry sets the time anew.
  void KeepModified(std::int64_t modified) const;
  // Gives the folder the permission bits of `source`; the set-user-ID and
  // set-group-ID bits only where the folder has the same owner and group.
  void KeepPermissions(const EntryInfo& source) const;
  bool IsOpen() const { return m_Fd >= 0; }
  const std::string& Native() const { return m_Native; }
  // As win::GetFileAttributes gives them for the entry (GetLastError set).
  win::DWORD Attributes(const std::string& name) const;
  // As win::SetFileAttributes; a link is left alone.
  win::DWORD SetAttributes(const std::string& name, win::DWORD attributes) const;
  // A file or a link, whatever the link leads to; a folder is refused
  // (ERROR_ACCESS_DENIED). With `left`, the entry as the removal left it (its
  // other names, if any, see it so: one name fewer, a new change time), looked
  // at through a handle held across the removal; untouched where it cannot be.
  win::DWORD RemoveFile(const std::string& name, EntryInfo* left = nullptr) const;
  // An empty folder.
  win::DWORD RemoveFolder(const std::string& name) const;

 private:
  friend class CopyBatch;
  win::DWORD Take(int fd, std::string native);

  int m_Fd = -1;
  std::string m_Native;
};
// True when the path opens for reading as a file (not a folder). Never waits:
// a FIFO or device at the path does not block the open, and a regular file
// that another process holds a write lease on counts as opening without the
// open that would wait for the lease.
bool OpensForReading(const std::string& path);

}  // namespace platform
