#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string_view>

#include "platform/ErrorText.h"
#include "platform/FileFaults.h"
#include "platform/FolderLock.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace platform {

int RenameAt(int fromDir, const char* from, int toDir, const char* to, bool replace) {
  if (replace) return ::renameat(fromDir, from, toDir, to) == 0 ? 0 : errno;
  if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // No RENAME_NOREPLACE here: a hard link fails on an existing name as well.
  if (::linkat(fromDir, from, toDir, to, 0) == 0) {
    ::unlinkat(fromDir, from, 0);
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return errno;
  // Neither (a folder, or a file system without links): the name is checked
  // just before the rename, the one window left.
  struct stat st;
  if (::fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return ::renameat(fromDir, from, toDir, to) == 0 ? 0 : errno;
}

namespace {

using win::DWORD;

std::string parentOf(const std::string& p) {
  const auto slash = p.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}
std::string nameOf(const std::string& p) {
  const auto slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool writeAll(int fd, const char* data, std::size_t size, int& err) {
  while (size > 0) {
    const ssize_t w = ::write(fd, data, size);
    if (w < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    data += w;
    size -= static_cast<std::size_t>(w);
  }
  return true;
}

// Temporary files: ".~kx" and the six characters mkostemp picks. Short, so
// that a name of the longest legal length can still be written.
constexpr std::string_view kTempPrefix = ".~kx";
constexpr std::size_t kTempNameLength = 10;

// Only names of that shape are swept: a user's ".~kx-notes" is no temporary.
bool isOurTemp(std::string_view name) {
  return name.size() == kTempNameLength && name.substr(0, kTempPrefix.size()) == kTempPrefix &&
         std::all_of(name.begin() + kTempPrefix.size(), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

std::string inFolder(const std::string& dir, std::string_view name) {
  std::string p = dir == "/" ? dir : dir + "/";
  p += name;
  return p;
}

// A fresh temporary name: ".~kx" and six letters or digits.
std::string tempName() {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::atomic<unsigned> counter{0};
  thread_local std::minstd_rand pick(static_cast<unsigned>(::getpid()) * 7919u + counter.fetch_add(1) +
                                     static_cast<unsigned>(::time(nullptr)));
  std::string name(kTempPrefix);
  while (name.size() < kTempNameLength) name += kLetters[pick() % (sizeof kLetters - 1)];
  return name;
}

// Removes the temporary files of writers that died before their rename. A live
// writer holds a lock on its file, so one that can be locked has no writer; it
// is removed only while it is still the file of that name.
void removeStaleTempsAt(int dirFd) {
  const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* d = listFd < 0 ? nullptr : ::fdopendir(listFd);
  if (d == nullptr) {
    if (listFd >= 0) ::close(listFd);
    return;
  }
  while (dirent* e = ::readdir(d)) {
    if (!isOurTemp(e->d_name)) continue;
    const int fd = ::openat(dirFd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      // A link under a temporary name is a link's copy not yet renamed
      // (placeLinkAt): a live writer whose link goes makes it again.
      struct stat link;
      if (errno == ELOOP && ::fstatat(dirFd, e->d_name, &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode))
        ::unlinkat(dirFd, e->d_name, 0);
      continue;
    }
    struct stat held, named;
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::fstatat(dirFd, e->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino) {
      ::unlinkat(dirFd, e->d_name, 0);
    }
    ::close(fd);
  }
  ::closedir(d);
}

// Creates a temporary file in the folder and locks it for as long as it stays
// open. Another writer's cleanup may take the file in the moment between
// creation and lock; the file then has no name any more and another is made.
int createTempAt(int dirFd, std::string& name, int& err) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = tempName();
    const int fd = ::openat(dirFd, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      err = errno;
      return -1;
    }
    int r;
    while ((r = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    // Without lock support the file is written all the same; it just cannot be
    // told from a dead writer's, so cleanups leave it alone.
    struct stat st;
    if (r != 0 || (::fstat(fd, &st) == 0 && st.st_nlink > 0)) {
      name = std::move(candidate);
      return fd;
    }
    ::close(fd);
  }
  err = EAGAIN;
  return -1;
}

// Flushes the folder's entries, so that a rename survives a power cut. Folders
// that cannot be flushed (some file systems refuse fsync on them) are left.
int syncFolderAt(int dirFd) {
  const int err = ::fsync(dirFd) == 0 ? 0 : errno;
  return err == EINVAL || err == EROFS || err == EBADF ? 0 : err;
}

// An existing target that a copy must not replace.
DWORD renameError(int err, bool replace) {
  return err == EEXIST && !replace ? win::ERROR_FILE_EXISTS : ErrorFromErrno(err);
}

// A folder opened by its native path for the calls below, closed on every way out.
struct FolderFd {
  explicit FolderFd(const std::string& dir) : fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~FolderFd() {
    if (fd >= 0) ::close(fd);
  }
  FolderFd(const FolderFd&) = delete;
  FolderFd& operator=(const FolderFd&) = delete;
  int fd;
};

using Fill = std::function<int(int fd)>;

// The set-user-ID and set-group-ID bits stay only on a file that keeps the
// owner and group of the file `like` it takes them from, as cp keeps them: a
// copy made as root of another user's set-user-ID program is no set-user-ID
// root program.
mode_t setIdKept(mode_t mode, const struct stat& like, int fd) {
  if ((mode & (S_ISUID | S_ISGID)) == 0) return mode;
  struct stat made;
  if (::fstat(fd, &made) != 0 || made.st_uid != like.st_uid || made.st_gid != like.st_gid)
    mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
  return mode;
}

// A temporary file of a write: unlinked and closed, its lock with it.
void dropTemp(int dirFd, int& fd, const std::string& temp) {
  ::unlinkat(dirFd, temp.c_str(), 0);
  ::close(fd);
  fd = -1;
}

// Fills a new temporary file in the folder `dirFd` (native path `dir`) for
// `name` with `fill` (0 or an errno value) and gives it the permission bits
// of `like`, or when that is null of the file it replaces (0644 where none
// stands). On success `fd` holds it open and locked as `temp`, unflushed; on
// failure nothing of it is left.
DWORD fillTemp(int dirFd, const std::string& dir, const std::string& name, const Fill& fill, const struct stat* like,
               int& fd, std::string& temp) {
  if (name.size() > NAME_MAX) return win::ERROR_FILENAME_EXCED_RANGE;
  if (const DWORD injected = InjectedFault(FileSeam::Write, inFolder(dir, name))) return injected;
  int err = 0;
  fd = createTempAt(dirFd, temp, err);
  if (fd < 0) return ErrorFromErrno(err);
  err = fill(fd);
  struct stat old;
  if (like == nullptr && ::fstatat(dirFd, name.c_str(), &old, 0) == 0) like = &old;
  const mode_t mode = like ? setIdKept(like->st_mode & 07777, *like, fd) : 0644;
  if (err == 0 && ::fchmod(fd, mode) != 0) err = errno;
  if (err == 0) return 0;
  dropTemp(dirFd, fd, temp);
  return ErrorFromErrno(err);
}

// Flushes a filled temporary file's data to disk; the flush seam sees
// `target`, the native path it is for.
DWORD flushFile(int fd, const std::string& target) {
  if (const DWORD injected = InjectedFault(FileSeam::Flush, target)) return injected;
  return ::fsync(fd) == 0 ? 0 : ErrorFromErrno(errno);
}

DWORD flushFolder(int dirFd, const std::string& dir) {
  if (const DWORD injected = InjectedFault(FileSeam::Flush, dir)) return injected;
  return ErrorFromErrno(syncFolderAt(dirFd));
}

// Puts a filled and flushed temporary file under `name` (without `replace`,
// fails with ERROR_FILE_EXISTS where anything stands). Its lock goes only
// then, as until the rename the name was still ours; on failure `fd` and
// `temp` stay for the caller to drop.
DWORD placeTemp(int dirFd, const std::string& dir, int& fd, const std::string& temp, const std::string& name,
                bool replace) {
  if (const int e = RenameAt(dirFd, temp.c_str(), dirFd, name.c_str(), replace); e != 0) return renameError(e, replace);
  ::close(fd);
  fd = -1;
  ForgetProfileFile(inFolder(dir, name));
  return 0;
}

// Writes `name` in the folder through a temporary file as fillTemp fills it,
// flushed before it takes the name.
DWORD replaceAt(int dirFd, const std::string& dir, const std::string& name, const Fill& fill, const struct stat* like,
                bool replace) {
  int fd = -1;
  std::string temp;
  if (const DWORD err = fillTemp(dirFd, dir, name, fill, like, fd, temp)) return err;
  DWORD err = flushFile(fd, inFolder(dir, name));
  if (err == 0) err = placeTemp(dirFd, dir, fd, temp, name, replace);
  if (err != 0) dropTemp(dirFd, fd, temp);
  return err;
}

// As replaceAt, with the stale temporary files that killed writers left in the
// folder removed first and the folder's entries flushed after, so that the new
// name survives a power cut.
DWORD replaceAlone(int dirFd, const std::string& dir, const std::string& name, const Fill& fill,
                   const struct stat* like, bool replace) {
  removeStaleTempsAt(dirFd);
  if (const DWORD err = replaceAt(dirFd, dir, name, fill, like, replace)) return err;
  return flushFolder(dirFd, dir);
}

DWORD replaceWith(const std::string& target, const Fill& fill) {
  if (nameOf(target).size() > NAME_MAX) return win::ERROR_FILENAME_EXCED_RANGE;
  const std::string dir = parentOf(target);
  const FolderFd folder(dir);
  if (folder.fd < 0) {
    const int err = errno;
    if (const DWORD injected = InjectedFault(FileSeam::Write, target)) return injected;
    return ErrorFromErrno(err);
  }
  return replaceAlone(folder.fd, dir, nameOf(target), fill, nullptr, true);
}

// `name` in the folder is a symbolic link whose text is `target`.
bool isLinkTo(int dirFd, const std::string& name, const char* target) {
  const std::size_t size = std::strlen(target);
  std::vector<char> text(size + 1);
  return ::readlinkat(dirFd, name.c_str(), text.data(), text.size()) == static_cast<ssize_t>(size) &&
         std::memcmp(text.data(), target, size) == 0;
}

// Makes a link to `target` under a temporary name in the folder and renames
// it over `name` (without `replace`, only where nothing stands): whatever
// stood there stays until the link is made. Without `replace` the same link
// standing there is taken for the copy (a copy killed once it had made the
// link left it, perhaps before what the link leads to was copied), and is kept.
DWORD placeLinkAt(int dirFd, const std::string& dir, const char* target, const std::string& name, bool replace) {
  if (name.size() > NAME_MAX) return win::ERROR_FILENAME_EXCED_RANGE;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string tmp = tempName();
    if (::symlinkat(target, dirFd, tmp.c_str()) != 0) {
      if (errno == EEXIST) continue;
      return errno == ENOENT ? win::ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
    }
    if (const int e = RenameAt(dirFd, tmp.c_str(), dirFd, name.c_str(), replace); e != 0) {
      if (e == ENOENT) continue;  // swept meanwhile, as a killed writer's would be
      ::unlinkat(dirFd, tmp.c_str(), 0);
      if (e == EEXIST && !replace && isLinkTo(dirFd, name, target)) return 0;
      return renameError(e, replace);
    }
    ForgetProfileFile(inFolder(dir, name));
    return 0;
  }
  return ErrorFromErrno(EEXIST);
}

// The bytes of the open regular file `in` (as `st` describes it) and its
// last-write time, as CopyFile keeps it.
Fill copyFill(int in, const struct stat& st) {
  return [in, &st](int out) {
    std::vector<char> buf(1 << 16);
    for (;;) {
      const ssize_t r = ::read(in, buf.data(), buf.size());
      if (r < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (r == 0) break;
      int e = 0;
      if (!writeAll(out, buf.data(), static_cast<std::size_t>(r), e)) return e;
    }
    // Where the file system keeps no such time, the copy has its own.
    const struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    ::futimens(out, times);
    return 0;
  };
}

// `name` in the folder is the file `st` describes: no file copies onto itself.
bool isItself(int dirFd, const std::string& name, const struct stat& st) {
  struct stat dst;
  return ::fstatat(dirFd, name.c_str(), &dst, 0) == 0 && dst.st_dev == st.st_dev && dst.st_ino == st.st_ino;
}

bool mapOrFail(const char* path, std::string& native) {
  DWORD err = 0;
  if (path == nullptr) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!MapPath(path, native, &err)) {
    win::SetLastError(err);
    return false;
  }
  return true;
}

win::BOOL result(DWORD err) {
  win::SetLastError(err);
  return err == 0 ? win::TRUE : win::FALSE;
}

// Missing file vs missing folder, as Windows tells them apart.
DWORD missingError(const std::string& native) {
  struct stat st;
  return ::stat(parentOf(native).c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? win::ERROR_FILE_NOT_FOUND
                                                                           : win::ERROR_PATH_NOT_FOUND;
}

DWORD copyNative(const std::string& from, const std::string& to, bool replace = true) {
  // A FIFO is refused below, never waited on.
  const int in = OpenForReading(from);
  if (in < 0) return errno == ENOENT ? missingError(from) : ErrorFromErrno(errno);
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(in);
    return win::ERROR_ACCESS_DENIED;
  }
  const std::string dir = parentOf(to);
  const FolderFd folder(dir);
  if (folder.fd < 0) {
    const bool tooLong = errno == ENAMETOOLONG;
    ::close(in);
    return tooLong ? win::ERROR_FILENAME_EXCED_RANGE : win::ERROR_PATH_NOT_FOUND;
  }
  const std::string name = nameOf(to);
  const DWORD err = name.size() > NAME_MAX       ? win::ERROR_FILENAME_EXCED_RANGE
                    : isItself(folder.fd, name, st) ? win::ERROR_SHARING_VIOLATION
                                                    : replaceAlone(folder.fd, dir, name, copyFill(in, st), &st, replace);
  ::close(in);
  return err;
}

// Attributes of what lstat found at `native`.
DWORD attributesOf(const std::string& native, const struct stat& st) {
  if (S_ISLNK(st.st_mode)) {
    struct stat target;
    const bool folder = ::stat(native.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    return win::FILE_ATTRIBUTE_REPARSE_POINT | (folder ? win::FILE_ATTRIBUTE_DIRECTORY : win::FILE_ATTRIBUTE_ARCHIVE);
  }
  DWORD attrs = S_ISDIR(st.st_mode) ? win::FILE_ATTRIBUTE_DIRECTORY : win::FILE_ATTRIBUTE_ARCHIVE;
  // The mode's bit, not access(): root may write anything.
  if ((st.st_mode & S_IWUSR) == 0) attrs |= win::FILE_ATTRIBUTE_READONLY;
  return attrs;
}

// Only the read-only attribute counts: set, it clears every write bit; clear,
// it gives the owner write access.
mode_t modeWith(mode_t mode, DWORD attributes) {
  const mode_t writable = S_IWUSR | S_IWGRP | S_IWOTH;
  return (attributes & win::FILE_ATTRIBUTE_READONLY) != 0 ? (mode & ~writable) : (mode | S_IWUSR);
}

bool isLinkToFolder(const std::string& native) {
  struct stat st, target;
  return ::lstat(native.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::stat(native.c_str(), &target) == 0 &&
         S_ISDIR(target.st_mode);
}

// What stands after the last separator of a Windows path.
std::string lastComponent(const char* winPath) {
  const std::string p(winPath);
  const auto sep = p.find_last_of("\\/");
  return sep == std::string::npos ? p : p.substr(sep + 1);
}

bool matchNoCase(const char* pat, const char* s) {
  // Iterative '*' / '?' matcher with one backtrack point.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*s) {
    if (*pat == '?' || (*pat != '*' && *pat != '\0' &&
                        FoldCase(*pat) == FoldCase(*s))) {
      ++pat;
      ++s;
    } else if (*pat == '*') {
      star = pat++;
      resume = s;
    } else if (star) {
      pat = star + 1;
      s = ++resume;
    } else {
      return false;
    }
  }
  while (*pat == '*') ++pat;
  return *pat == '\0';
}

struct FindState {
  std::string folder;
  std::vector<std::string> names;
  std::size_t next = 0;
};
struct FindTable {
  std::mutex mutex;
  std::map<std::uintptr_t, FindState> open;
  std::uintptr_t nextId = 0x7F0000;
};
FindTable& finds() {
  static FindTable t;
  return t;
}

void fillFindData(const FindState& f, const std::string& name, win::WIN32_FIND_DATA* data) {
  *data = win::WIN32_FIND_DATA{};
  const std::size_t n = name.size() < win::MAX_PATH - 1 ? name.size() : win::MAX_PATH - 1;
  std::memcpy(data->cFileName, name.data(), n);
  struct stat st;
  const std::string native = f.folder + "/" + name;
  if (::lstat(native.c_str(), &st) == 0) {
    data->dwFileAttributes = attributesOf(native, st);
    // A link's size is that of the file it leads to.
    struct stat target;
    const struct stat& sized = S_ISLNK(st.st_mode) && ::stat(native.c_str(), &target) == 0 ? target : st;
    const auto size = static_cast<std::uint64_t>(S_ISREG(sized.st_mode) ? sized.st_size : 0);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
  }
}

}  // namespace

namespace {
// Opens `native` for reading without waiting on a FIFO or device. A regular
// file that another process holds a write lease on refuses that open (the
// kernel starts breaking the lease); `leased` then tells so, and with
// `waitForLease` the file is opened waiting for the lease to be given back.
// Returns the descriptor, or -1 with errno set.
int openLeaseAware(const std::string& native, bool waitForLease, bool& leased) {
  leased = false;
  const int fd = ::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return fd;
  struct stat st;
  leased = ::stat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (leased && waitForLease) return ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  errno = EWOULDBLOCK;
  return -1;
}
}  // namespace

int OpenForReading(const std::string& nativePath) {
  bool leased = false;
  return openLeaseAware(nativePath, true, leased);
}

bool OpensForReading(const std::string& path) {
  std::string native;
  if (!MapPath(path, native)) return false;
  bool leased = false;
  const int fd = openLeaseAware(native, false, leased);
  if (fd < 0) return leased;  // a leased file opens once the lease is given back
  struct stat st;
  const bool file = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
  ::close(fd);
  return file;
}

DWORD ReplaceFileAtomically(const std::string& nativePath, const std::string& data) {
  return replaceWith(nativePath, [&data](int fd) {
    int e = 0;
    return writeAll(fd, data.data(), data.size(), e) ? 0 : e;
  });
}

bool FileExists(const std::string& path) {
  std::string native;
  struct stat st;
  return MapPath(path, native) && ::stat(native.c_str(), &st) == 0;
}

bool DirectoryExists(const std::string& path) {
  std::string native;
  struct stat st;
  return MapPath(path, native) && ::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

DWORD FolderWriteError(const std::string& path) {
  std::string native;
  DWORD error = 0;
  if (!MapPath(path, native, &error)) return error;
  return ::access(native.c_str(), W_OK | X_OK) == 0 ? 0 : ErrorFromErrno(errno);
}

bool IsRegularFile(const std::string& path) {
  std::string native;
  struct stat st;
  return MapPath(path, native) && ::stat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

DWORD GetFileSize(const std::string& path, std::uint64_t& size) {
  std::string native;
  DWORD err = 0;
  if (!MapPath(path, native, &err)) return err;
  struct stat st;
  if (::stat(native.c_str(), &st) != 0) return errno == ENOENT ? missingError(native) : ErrorFromErrno(errno);
  if (S_ISDIR(st.st_mode)) return win::ERROR_ACCESS_DENIED;
  size = static_cast<std::uint64_t>(st.st_size);
  return 0;
}

namespace {
void describe(const struct stat& st, EntryInfo& info);

// Reads a regular file to its end or, with `stopAt`, to its first `limit` bytes.
DWORD readRegular(const std::string& path, std::string& data, std::uint64_t limit, bool stopAt, bool* changed) {
  if (changed) *changed = false;
  std::string native;
  DWORD err = 0;
  if (!MapPath(path, native, &err)) return err;
  // A FIFO or device is refused below, never waited on.
  const int fd = OpenForReading(native);
  if (fd < 0) return errno == ENOENT ? missingError(native) : ErrorFromErrno(errno);
  struct stat before;
  if (::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) {
    ::close(fd);
    return win::ERROR_ACCESS_DENIED;
  }
  InjectedFault(FileSeam::Read, native);  // the read hook, which never fails the read
  data.clear();
  char buf[65536];
  for (;;) {
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      err = ErrorFromErrno(errno);
      break;
    }
    if (r == 0) break;
    if (static_cast<std::uint64_t>(r) > limit - data.size()) {
      if (stopAt) data.append(buf, static_cast<std::size_t>(limit - data.size()));
      else err = win::ERROR_FILE_TOO_LARGE;
      break;
    }
    data.append(buf, static_cast<std::size_t>(r));
    if (stopAt && data.size() == limit) break;
  }
  if (err == 0 && changed && !stopAt) {
    // Written meanwhile: by the rule a Move judges its sources by.
    struct stat after;
    EntryInfo atOpen, atEnd;
    describe(before, atOpen);
    *changed = ::fstat(fd, &after) != 0 || (describe(after, atEnd), !atOpen.Unchanged(atEnd)) ||
               atEnd.size != data.size();
  }
  ::close(fd);
  return err;
}

}  // namespace

DWORD ReadFileBytes(const std::string& path, std::string& data, std::uint64_t limit, bool* changed) {
  return readRegular(path, data, limit, false, changed);
}

DWORD ReadFileStart(const std::string& path, std::string& data, std::size_t count) {
  return readRegular(path, data, count, true, nullptr);
}

DWORD WriteFileBytes(const std::string& path, const std::string& data) {
  std::string native;
  DWORD err = 0;
  if (!MapPath(path, native, &err)) return err;
  std::string canonical;
  if (!CanonicalFilePath(native, canonical, &err)) return err;
  return ReplaceFileAtomically(canonical, data);
}

namespace {
// Appends to one file are serialised within the process, so that undoing a
// failed append cuts back only our own bytes, never another thread's record.
std::mutex& appendLockFor(const std::string& native) {
  static std::mutex stripes[64];
  return stripes[std::hash<std::string>{}(native) % 64];
}
}  // namespace

DWORD AppendFileBytes(const std::string& path, const std::string& data, bool create, std::size_t recordSize) {
  std::string native;
  DWORD err = 0;
  if (!MapPath(path, native, &err)) return err;
  if (const DWORD injected = InjectedFault(FileSeam::Write, native)) return injected;
  // Another process may append to the same record file; the cut below must
  // not meet its record half-written.
  std::optional<ProfileWriteLock> folderLock;
  if (recordSize != 0) {
    folderLock.emplace(path);
    if (folderLock->Error() != 0) return folderLock->Error();
  }
  std::lock_guard lock(appendLockFor(native));
  const int fd = ::open(native.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
  if (fd < 0) return errno == ENOENT ? missingError(native) : ErrorFromErrno(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return ErrorFromErrno(e);
  }
  int e = 0;
  const off_t torn = recordSize == 0 ? 0 : st.st_size % static_cast<off_t>(recordSize);
  if (torn != 0) {
    // What a writer killed inside its append left: cut back to the last whole record.
    if (::ftruncate(fd, st.st_size - torn) != 0) {
      e = errno;
      ::close(fd);
      return ErrorFromErrno(e);
    }
    st.st_size -= torn;
  }
  if (!writeAll(fd, data.data(), data.size(), e)) {
    // Undo a partial append so that readers never see half a record.
    if (::ftruncate(fd, st.st_size) != 0) {
      // nothing more can be done; the error below still reports the failure
    }
    ::close(fd);
    return ErrorFromErrno(e);
  }
  err = ::close(fd) == 0 ? 0 : ErrorFromErrno(errno);
  ForgetProfileFile(native);
  return err;
}

DWORD ListFolder(const std::string& path, std::vector<std::string>& names) {
  std::string native;
  DWORD err = 0;
  names.clear();
  if (!MapPath(path, native, &err)) return err;
  if (const DWORD injected = InjectedFault(FileSeam::List, native)) return injected;
  DIR* d = ::opendir(native.c_str());
  if (d == nullptr) return errno == ENOENT ? win::ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  ::closedir(d);
  return 0;
}

namespace {
// "Not a folder (any more)": what a walk meets where a folder became a link or a file.
DWORD folderError(int err) {
  return err == ELOOP || err == ENOTDIR ? win::ERROR_DIRECTORY : ErrorFromErrno(err);
}
}  // namespace

OpenFolder::~OpenFolder() {
  if (m_Fd >= 0) ::close(m_Fd);
}

DWORD OpenFolder::Open(const std::string& path, bool followLast) {
  std::string native;
  DWORD err = 0;
  if (!MapPath(path, native, &err)) return err;
  return Take(::open(native.c_str(), O_RDONLY | O_DIRECTORY | (followLast ? 0 : O_NOFOLLOW) | O_CLOEXEC), native);
}

DWORD OpenFolder::Parent(OpenFolder& parent) const {
  return parent.Take(::openat(m_Fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC), parentOf(m_Native));
}

DWORD OpenFolder::CreateFolder(const std::string& name, OpenFolder& sub, std::uint32_t mode) const {
  if (::mkdirat(m_Fd, name.c_str(), static_cast<mode_t>(mode & 0777)) != 0) {
    const int e = errno;
    return e == ENOENT || e == ENOTDIR ? win::ERROR_PATH_NOT_FOUND : ErrorFromErrno(e);
  }
  return Enter(name, sub);
}

DWORD OpenFolder::Enter(const std::string& name, OpenFolder& sub) const {
  return sub.Take(::openat(m_Fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), inFolder(m_Native, name));
}

DWORD OpenFolder::Take(int fd, std::string native) {
  if (fd < 0) return errno == ENOENT ? missingError(native) : folderError(errno);
  if (m_Fd >= 0) ::close(m_Fd);
  m_Fd = fd;
  m_Native = std::move(native);
  return 0;
}

DWORD OpenFolder::List(std::vector<std::string>& names, std::vector<EntryKind>* kinds) const {
  names.clear();
  if (kinds) kinds->clear();
  if (const DWORD injected = InjectedFault(FileSeam::List, m_Native)) return injected;
  // A description of its own, so that every listing starts at the first entry.
  const int fd = ::openat(m_Fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* d = fd < 0 ? nullptr : ::fdopendir(fd);
  if (d == nullptr) {
    const int e = errno;
    if (fd >= 0) ::close(fd);
    return ErrorFromErrno(e);
  }
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
    if (!kinds) continue;
    switch (e->d_type) {
      case DT_REG: kinds->push_back(EntryKind::File); break;
      case DT_DIR: kinds->push_back(EntryKind::Folder); break;
      case DT_LNK: kinds->push_back(EntryKind::Link); break;
      case DT_FIFO:
      case DT_SOCK:
      case DT_CHR:
      case DT_BLK: kinds->push_back(EntryKind::Special); break;
      default: {
        EntryInfo info;
        // What vanished meanwhile counts as a file: its removal or copy says so.
        kinds->push_back(Info(e->d_name, info) == 0 ? info.kind : EntryKind::File);
      }
    }
  }
  ::closedir(d);
  return 0;
}

DWORD OpenFolder::Attributes(const std::string& name) const {
  struct stat st;
  if (::fstatat(m_Fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    win::SetLastError(ErrorFromErrno(errno));
    return win::INVALID_FILE_ATTRIBUTES;
  }
  win::SetLastError(0);
  return attributesOf(inFolder(m_Native, name), st);
}

DWORD OpenFolder::SetAttributes(const std::string& name, DWORD attributes) const {
  if (const DWORD injected = InjectedFault(FileSeam::Remove, inFolder(m_Native, name))) return injected;
  struct stat st;
  if (::fstatat(m_Fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return ErrorFromErrno(errno);
  if (S_ISLNK(st.st_mode)) return 0;
  const mode_t mode = modeWith(st.st_mode, attributes);
  // Not through a link that took the name meanwhile (refused then).
  return ::fchmodat(m_Fd, name.c_str(), mode & 07777, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : ErrorFromErrno(errno);
}

DWORD OpenFolder::RemoveFile(const std::string& name, EntryInfo* left) const {
  const std::string native = inFolder(m_Native, name);
  if (const DWORD injected = InjectedFault(FileSeam::Remove, native)) return injected;
  struct stat st;
  if (::fstatat(m_Fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
    return win::ERROR_ACCESS_DENIED;
  const int held = left ? ::openat(m_Fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1;
  const int err = ::unlinkat(m_Fd, name.c_str(), 0) == 0 ? 0 : errno;
  if (held >= 0) {
    if (err == 0 && ::fstat(held, &st) == 0) describe(st, *left);
    ::close(held);
  }
  if (err != 0) return ErrorFromErrno(err);
  ForgetProfileFile(native);
  return 0;
}

namespace {
void describe(const struct stat& st, EntryInfo& info) {
  info = EntryInfo{};
  if (S_ISDIR(st.st_mode)) {
    info.kind = EntryKind::Folder;
    info.what = "folder";
  } else if (S_ISLNK(st.st_mode)) {
    info.kind = EntryKind::Link;
    info.what = "symbolic link";
  } else if (!S_ISREG(st.st_mode)) {
    info.kind = EntryKind::Special;
    info.what = S_ISFIFO(st.st_mode)  ? "named pipe (FIFO)"
                : S_ISSOCK(st.st_mode) ? "socket"
                : S_ISCHR(st.st_mode)  ? "character device"
                : S_ISBLK(st.st_mode)  ? "block device"
                                       : "special file";
  }
  info.device = static_cast<std::uint64_t>(st.st_dev);
  info.inode = static_cast<std::uint64_t>(st.st_ino);
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  info.changed = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  info.links = static_cast<std::uint64_t>(st.st_nlink);
  info.readOnly = !S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
  info.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
  info.owner = static_cast<std::uint32_t>(st.st_uid);
  info.group = static_cast<std::uint32_t>(st.st_gid);
}
}  // namespace

DWORD GetEntryInfo(const std::string& path, EntryInfo& info) {
  std::string native;
  DWORD err = 0;
  if (!MapPath(path, native, &err)) return err;
  struct stat st;
  if (::lstat(native.c_str(), &st) != 0) return errno == ENOENT ? missingError(native) : ErrorFromErrno(errno);
  describe(st, info);
  return 0;
}

DWORD OpenFolder::Info(const std::string& name, EntryInfo& info) const {
  struct stat st;
  if (::fstatat(m_Fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return ErrorFromErrno(errno);
  describe(st, info);
  return 0;
}

DWORD OpenFolder::Self(EntryInfo& info) const {
  struct stat st;
  if (::fstat(m_Fd, &st) != 0) return ErrorFromErrno(errno);
  describe(st, info);
  return 0;
}

namespace {
// Opens an entry for reading without following a link or waiting on a FIFO;
// a regular file under another process's write lease is opened waiting.
int openEntry(int dirFd, const char* name) {
  const int fd = ::openat(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return fd;
  struct stat st;
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    errno = EWOULDBLOCK;
    return -1;
  }
  return ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}
}  // namespace

DWORD OpenFolder::CopyEntry(const std::string& name, const OpenFolder& to, const std::string& toName, bool replace,
                            CopyBatch& batch, EntryInfo* copied, bool* refused) const {
  if (refused) *refused = false;
  // Once the source is open, a refusal can only be the target folder's.
  const auto written = [refused](DWORD err) {
    if (refused) *refused = err == win::ERROR_ACCESS_DENIED || err == win::ERROR_WRITE_PROTECT;
    return err;
  };
  struct stat st;
  if (::fstatat(m_Fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? win::ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
  if (S_ISLNK(st.st_mode)) {
    std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    const ssize_t n = ::readlinkat(m_Fd, name.c_str(), target.data(), target.size());
    if (n < 0) return ErrorFromErrno(errno);
    if (static_cast<std::size_t>(n) >= target.size()) return win::ERROR_FILENAME_EXCED_RANGE;  // grew meanwhile
    target[static_cast<std::size_t>(n)] = '\0';
    if (const DWORD injected = InjectedFault(FileSeam::Write, inFolder(to.m_Native, toName))) return injected;
    struct stat led, onto;
    if (::fstatat(to.m_Fd, toName.c_str(), &onto, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISDIR(onto.st_mode)) return win::ERROR_ACCESS_DENIED;
      // Never onto what the link leads to; onto a link to the same place is fine.
      if (::fstatat(m_Fd, name.c_str(), &led, 0) == 0 && led.st_dev == onto.st_dev && led.st_ino == onto.st_ino)
        return win::ERROR_SHARING_VIOLATION;
    }
    if (copied) describe(st, *copied);
    return written(placeLinkAt(to.m_Fd, to.m_Native, target.data(), toName, replace));
  }
  if (!S_ISREG(st.st_mode)) return win::ERROR_ACCESS_DENIED;
  const int in = openEntry(m_Fd, name.c_str());
  if (in < 0) return errno == ENOENT ? win::ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
  DWORD err = win::ERROR_ACCESS_DENIED;
  if (::fstat(in, &st) == 0 && S_ISREG(st.st_mode)) {
    if (copied) describe(st, *copied);
    int fd = -1;
    std::string temp;
    if (isItself(to.m_Fd, toName, st)) {
      err = win::ERROR_SHARING_VIOLATION;
    } else if (!batch.Into(to)) {
      err = win::ERROR_INVALID_PARAMETER;  // a batch is for one folder
    } else if ((err = written(fillTemp(to.m_Fd, to.m_Native, toName, copyFill(in, st), &st, fd, temp))) == 0) {
      batch.m_Held.push_back({fd, std::move(temp), toName, name, replace});
    }
  }
  ::close(in);
  return err;
}

bool OpenFolder::OpensForReading(const std::string& name) const {
  const int fd = ::openat(m_Fd, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0) {
    // A leased file opens once the lease is given back.
    return (errno == EAGAIN || errno == EWOULDBLOCK) && ::fstatat(m_Fd, name.c_str(), &st, 0) == 0 &&
           S_ISREG(st.st_mode);
  }
  const bool file = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
  ::close(fd);
  return file;
}

void OpenFolder::SweepTemps() const { removeStaleTempsAt(m_Fd); }

DWORD OpenFolder::Flush() const { return flushFolder(m_Fd, m_Native); }

void OpenFolder::KeepPermissions(const EntryInfo& source) const {
  struct stat like{};
  like.st_uid = static_cast<uid_t>(source.owner);
  like.st_gid = static_cast<gid_t>(source.group);
  ::fchmod(m_Fd, setIdKept(static_cast<mode_t>(source.mode & 07777), like, m_Fd));
}

bool CopyBatch::Holds(const std::string& name) const {
  return std::any_of(m_Held.begin(), m_Held.end(), [&name](const Held& file) { return file.name == name; });
}

CopyBatch::~CopyBatch() { Discard(); }

bool CopyBatch::Into(const OpenFolder& folder) {
  if (m_Dir >= 0) return folder.Native() == m_Native;
  m_Dir = ::dup(folder.m_Fd);
  m_Native = folder.Native();
  return m_Dir >= 0;
}

DWORD CopyBatch::Place(std::size_t& placed, std::string& failed) {
  placed = 0;
  DWORD err = 0;
  std::size_t synced = 0;
  // Every file's writing starts before the first is waited for, so the waits overlap.
  for (const Held& file : m_Held) ::sync_file_range(file.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  for (; synced < m_Held.size(); ++synced)
    if ((err = flushFile(m_Held[synced].fd, inFolder(m_Native, m_Held[synced].name))) != 0) break;
  for (; placed < synced; ++placed) {
    Held& file = m_Held[placed];
    if (const DWORD unplaced = placeTemp(m_Dir, m_Native, file.fd, file.temp, file.name, file.replace)) {
      err = unplaced;
      break;
    }
  }
  if (err != 0) failed = m_Held[placed].source;
  m_Held.erase(m_Held.begin(), m_Held.begin() + static_cast<std::ptrdiff_t>(placed));
  Discard();
  return err;
}

void CopyBatch::Discard() {
  for (Held& file : m_Held) dropTemp(m_Dir, file.fd, file.temp);
  m_Held.clear();
  if (m_Dir >= 0) ::close(m_Dir);
  m_Dir = -1;
  m_Native.clear();
}

void OpenFolder::KeepModified(std::int64_t modified) const {
  const struct timespec times[2] = {{0, UTIME_OMIT}, {modified / 1000000000, modified % 1000000000}};
  ::futimens(m_Fd, times);
}

DWORD OpenFolder::RemoveFolder(const std::string& name) const {
  if (const DWORD injected = InjectedFault(FileSeam::Remove, inFolder(m_Native, name))) return injected;
  return ::unlinkat(m_Fd, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : folderError(errno);
}

}  // namespace platform

namespace win {

using platform::FileSeam;

BOOL CreateDirectory(const char* path, void*) {
  std::string native;
  if (!platform::mapOrFail(path, native)) return FALSE;
  if (::mkdir(native.c_str(), 0755) == 0) return platform::result(0);
  const int e = errno;
  if (e == ENOENT || e == ENOTDIR) return platform::result(ERROR_PATH_NOT_FOUND);
  return platform::result(platform::ErrorFromErrno(e));
}

BOOL RemoveDirectory(const char* path) {
  std::string native;
  if (!platform::mapOrFail(path, native)) return FALSE;
  if (const DWORD injected = platform::InjectedFault(FileSeam::Remove, native)) return platform::result(injected);
  struct stat st;
  if (::lstat(native.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (!platform::isLinkToFolder(native)) return platform::result(ERROR_DIRECTORY);
    return platform::result(::unlink(native.c_str()) == 0 ? 0 : platform::ErrorFromErrno(errno));
  }
  if (::rmdir(native.c_str()) == 0) return platform::result(0);
  const int e = errno;
  return platform::result(e == ENOENT ? platform::missingError(native) : platform::ErrorFromErrno(e));
}

BOOL DeleteFile(const char* path) {
  std::string native;
  if (!platform::mapOrFail(path, native)) return FALSE;
  if (const DWORD injected = platform::InjectedFault(FileSeam::Remove, native)) return platform::result(injected);
  struct stat st;
  if (::lstat(native.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || platform::isLinkToFolder(native)))
    return platform::result(ERROR_ACCESS_DENIED);
  if (::unlink(native.c_str()) == 0) {
    platform::ForgetProfileFile(native);
    return platform::result(0);
  }
  const int e = errno;
  return platform::result(e == ENOENT ? platform::missingError(native) : platform::ErrorFromErrno(e));
}

BOOL CopyFile(const char* from, const char* to, BOOL failIfExists) {
  return CopyFileEx(from, to, failIfExists ? COPY_FILE_FAIL_IF_EXISTS : 0);
}

BOOL CopyFileEx(const char* from, const char* to, DWORD flags) {
  std::string src, dst;
  if (!platform::mapOrFail(from, src) || !platform::mapOrFail(to, dst)) return FALSE;
  struct stat st, standing;
  const bool replace = (flags & COPY_FILE_FAIL_IF_EXISTS) == 0;
  const bool link = (flags & COPY_FILE_COPY_SYMLINK) != 0 && ::lstat(src.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  // A link standing where a link is copied may be its copy already (placeLinkAt tells).
  if (!replace && ::lstat(dst.c_str(), &standing) == 0 && !(link && S_ISLNK(standing.st_mode)))
    return platform::result(ERROR_FILE_EXISTS);
  if (!link) return platform::result(platform::copyNative(src, dst, replace));
  std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
  const ssize_t n = ::readlink(src.c_str(), target.data(), target.size());
  if (n < 0) return platform::result(platform::ErrorFromErrno(errno));
  if (static_cast<std::size_t>(n) >= target.size()) return platform::result(ERROR_FILENAME_EXCED_RANGE);  // grew meanwhile
  target[static_cast<std::size_t>(n)] = '\0';
  if (const DWORD injected = platform::InjectedFault(FileSeam::Write, dst)) return platform::result(injected);
  if (::lstat(dst.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return platform::result(ERROR_ACCESS_DENIED);
  // A link copied onto what it leads to would replace that file by a link to
  // itself; onto a link to the same place it just replaces that link.
  struct stat led, onto;
  if (::stat(src.c_str(), &led) == 0 && ::lstat(dst.c_str(), &onto) == 0 && led.st_dev == onto.st_dev &&
      led.st_ino == onto.st_ino)
    return platform::result(ERROR_SHARING_VIOLATION);
  const std::string dir = platform::parentOf(dst);
  const platform::FolderFd folder(dir);
  if (folder.fd < 0) return platform::result(errno == ENOENT ? ERROR_PATH_NOT_FOUND : platform::ErrorFromErrno(errno));
  platform::removeStaleTempsAt(folder.fd);  // as a file's copy does
  return platform::result(platform::placeLinkAt(folder.fd, dir, target.data(), platform::nameOf(dst), replace));
}

BOOL MoveFileEx(const char* from, const char* to, DWORD flags) {
  std::string src, dst;
  if (!platform::mapOrFail(from, src) || !platform::mapOrFail(to, dst)) return FALSE;
  if (const DWORD injected = platform::InjectedFault(FileSeam::Remove, src)) return platform::result(injected);
  struct stat st;
  if (::lstat(src.c_str(), &st) != 0) {
    const int e = errno;
    return platform::result(e == ENOENT ? platform::missingError(src) : platform::ErrorFromErrno(e));
  }
  const bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
  struct stat dstSt;
  if (::lstat(dst.c_str(), &dstSt) == 0) {
    // The destination found without regard to case is the source itself: a
    // change of the name's letter case, made under the spelling given.
    const std::string spelled = platform::parentOf(dst) + "/" + platform::lastComponent(to);
    if (dstSt.st_dev == st.st_dev && dstSt.st_ino == st.st_ino && platform::parentOf(src) == platform::parentOf(dst) &&
        platform::EqualsNoCase(platform::nameOf(src), platform::lastComponent(to))) {
      if (spelled == src) return platform::result(0);
      dst = spelled;
    } else if (!replace) {
      return platform::result(ERROR_ALREADY_EXISTS);
    }
  }
  // Without the replace flag the rename itself refuses a target that appeared
  // since the look above.
  if (const DWORD injected = platform::InjectedFault(FileSeam::Rename, dst)) return platform::result(injected);
  const int renamed = platform::RenameAt(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), replace);
  if (renamed == EEXIST && !replace) return platform::result(ERROR_ALREADY_EXISTS);
  if (renamed == 0) {
    // A moved folder takes every file below it along.
    if (S_ISDIR(st.st_mode)) {
      platform::ClearProfileCache();
    } else {
      platform::ForgetProfileFile(src);
      platform::ForgetProfileFile(dst);
    }
    return platform::result(0);
  }
  const int e = renamed;
  if (e == EXDEV && S_ISREG(st.st_mode)) {
    const DWORD err = platform::copyNative(src, dst, replace);
    if (err != 0) return platform::result(err == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : err);
    ::unlink(src.c_str());
    platform::ForgetProfileFile(src);
    return platform::result(0);
  }
  if (e == ENOENT) return platform::result(ERROR_PATH_NOT_FOUND);
  return platform::result(platform::ErrorFromErrno(e));
}

BOOL MoveFile(const char* from, const char* to) { return MoveFileEx(from, to, 0); }

DWORD GetFileAttributes(const char* path) {
  std::string native;
  if (!platform::mapOrFail(path, native)) return INVALID_FILE_ATTRIBUTES;
  struct stat st;
  if (::lstat(native.c_str(), &st) != 0) {
    SetLastError(errno == ENOENT ? platform::missingError(native) : platform::ErrorFromErrno(errno));
    return INVALID_FILE_ATTRIBUTES;
  }
  SetLastError(0);
  return platform::attributesOf(native, st);
}

BOOL SetFileAttributes(const char* path, DWORD attributes) {
  std::string native;
  if (!platform::mapOrFail(path, native)) return FALSE;
  if (const DWORD injected = platform::InjectedFault(FileSeam::Remove, native)) return platform::result(injected);
  struct stat st;
  if (::lstat(native.c_str(), &st) != 0) {
    SetLastError(errno == ENOENT ? platform::missingError(native) : platform::ErrorFromErrno(errno));
    return FALSE;
  }
  if (S_ISLNK(st.st_mode)) return platform::result(0);
  const mode_t mode = platform::modeWith(st.st_mode, attributes);
  if (::chmod(native.c_str(), mode & 07777) != 0) {
    SetLastError(platform::ErrorFromErrno(errno));
    return FALSE;
  }
  SetLastError(0);
  return TRUE;
}

HANDLE FindFirstFile(const char* pattern, WIN32_FIND_DATA* data) {
  if (pattern == nullptr || data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string p(pattern);
  const auto sep = p.find_last_of("\\/");
  const std::string folder = sep == std::string::npos ? "." : p.substr(0, sep + 1);
  const std::string mask = sep == std::string::npos ? p : p.substr(sep + 1);
  std::vector<std::string> all;
  const DWORD err = platform::ListFolder(folder, all);
  if (err != 0) {
    SetLastError(err);
    return INVALID_HANDLE_VALUE;
  }
  platform::FindState f;
  platform::MapPath(folder, f.folder);
  const bool everything = mask == "*.*" || mask == "*" || mask.empty();
  for (auto& n : all) {
    if (everything || platform::matchNoCase(mask.c_str(), n.c_str())) f.names.push_back(std::move(n));
  }
  if (f.names.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  platform::fillFindData(f, f.names[0], data);
  f.next = 1;
  auto& t = platform::finds();
  std::lock_guard lock(t.mutex);
  const std::uintptr_t id = t.nextId++;
  t.open.emplace(id, std::move(f));
  SetLastError(0);
  return reinterpret_cast<HANDLE>(id);
}

BOOL FindNextFile(HANDLE find, WIN32_FIND_DATA* data) {
  auto& t = platform::finds();
  std::lock_guard lock(t.mutex);
  auto it = t.open.find(reinterpret_cast<std::uintptr_t>(find));
  if (it == t.open.end() || data == nullptr) return platform::result(ERROR_INVALID_HANDLE);
  platform::FindState& f = it->second;
  if (f.next >= f.names.size()) return platform::result(ERROR_NO_MORE_FILES);
  platform::fillFindData(f, f.names[f.next++], data);
  return platform::result(0);
}

BOOL FindClose(HANDLE find) {
  auto& t = platform::finds();
  std::lock_guard lock(t.mutex);
  return platform::result(t.open.erase(reinterpret_cast<std::uintptr_t>(find)) ? 0 : ERROR_INVALID_HANDLE);
}

BOOL GetDiskFreeSpaceEx(const char* path, std::uint64_t* freeToCaller, std::uint64_t* total,
                        std::uint64_t* totalFree) {
  std::string native;
  if (!platform::mapOrFail(path, native)) return FALSE;
  struct statvfs vfs;
  if (::statvfs(native.c_str(), &vfs) != 0) {
    return platform::result(errno == ENOENT ? ERROR_PATH_NOT_FOUND : platform::ErrorFromErrno(errno));
  }
  const std::uint64_t unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  if (freeToCaller) *freeToCaller = unit * vfs.f_bavail;
  if (total) *total = unit * vfs.f_blocks;
  if (totalFree) *totalFree = unit * vfs.f_bfree;
  return platform::result(0);
}

}  // namespace win
