#include "platform/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/ErrorText.h"
#include "platform/Paths.h"

namespace platform {
namespace {

using win::DWORD;

// The folders whose write lock this thread holds (ProfileWriteLock and the
// writes nested in it).
thread_local std::vector<std::string> t_lockedFolders;

// The folders whose lock a ProfileWriteLock of this thread was refused, while
// it lives: the writes it was meant to guard fail with its error rather than
// go ahead unguarded.
struct Refusal {
  std::string folder;
  DWORD error;
  std::string text;
};
thread_local std::vector<Refusal> t_refusedFolders;

struct LockFaultHolder {
  std::mutex mutex;
  std::shared_ptr<const LockFault> fault;
};
LockFaultHolder& lockFaults() {
  static LockFaultHolder h;
  return h;
}

int injectedLockFault(const std::string& folder, LockStep step) {
  std::shared_ptr<const LockFault> fault;
  {
    auto& h = lockFaults();
    std::lock_guard lock(h.mutex);
    fault = h.fault;
  }
  return fault && *fault ? (*fault)(folder, step) : 0;
}

std::string parentFolder(const std::string& canonical) {
  const auto slash = canonical.find_last_of('/');
  return slash == 0 ? "/" : canonical.substr(0, slash);
}

}  // namespace

void SetLockFault(LockFault fault) {
  auto& h = lockFaults();
  std::lock_guard lock(h.mutex);
  h.fault = std::make_shared<const LockFault>(std::move(fault));
}

bool HoldsFolderLock() { return !t_lockedFolders.empty(); }

FolderLock::FolderLock(const std::string& canonicalFile, bool remember) : folder_(parentFolder(canonicalFile)) {
  if (std::find(t_lockedFolders.begin(), t_lockedFolders.end(), folder_) != t_lockedFolders.end()) return;
  const auto refused = std::find_if(t_refusedFolders.begin(), t_refusedFolders.end(),
                                    [this](const Refusal& r) { return r.folder == folder_; });
  if (refused != t_refusedFolders.end()) {
    error_ = refused->error;
    text_ = refused->text;
    return;
  }
  take();
  if (error_ == 0) {
    t_lockedFolders.push_back(folder_);
  } else if (remember) {
    t_refusedFolders.push_back({folder_, error_, text_});
    remembered_ = true;
  }
}

FolderLock::~FolderLock() {
  if (remembered_) {
    t_refusedFolders.erase(std::find_if(t_refusedFolders.begin(), t_refusedFolders.end(),
                                        [this](const Refusal& r) { return r.folder == folder_; }));
  }
  if (fd_ < 0) return;
  t_lockedFolders.erase(std::find(t_lockedFolders.begin(), t_lockedFolders.end(), folder_));
  ::close(fd_);
}

void FolderLock::take() {
  for (;;) {
    int e = injectedLockFault(folder_, LockStep::Open);
    if (e == 0) {
      fd_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd_ < 0) e = errno;
    }
    if (e != 0) {
      refuse("opened", e, e == ENOENT || e == ENOTDIR ? win::ERROR_PATH_NOT_FOUND : ErrorFromErrno(e));
      return;
    }
    e = injectedLockFault(folder_, LockStep::Lock);
    while (e == 0 && ::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) e = errno;
    }
    if (e != 0) {
      refuse("locked", e, win::ERROR_LOCK_FAILED);
      return;
    }
    // A folder replaced while this waited (a script's copy and rename) no
    // longer holds the files: lock the one now at the path.
    struct stat held, named;
    if (::fstat(fd_, &held) == 0 && ::stat(folder_.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino)
      return;
    ::close(fd_);
    fd_ = -1;
  }
}

void FolderLock::refuse(const char* step, int err, DWORD error) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  error_ = error;
  text_ = "the folder " + folder_ + " cannot be " + step + ": " + std::generic_category().message(err);
}

ProfileWriteLock::ProfileWriteLock(const std::string& fileName) {
  std::string mapped, canonical;
  DWORD err = 0;
  if (!MapPath(fileName, mapped, &err) || !CanonicalFilePath(mapped, canonical, &err)) {
    error_ = err;
    errorText_ = "the folder of " + fileName + " cannot be found";
    return;
  }
  lock_ = std::make_unique<FolderLock>(canonical, true);
  error_ = lock_->Error();
  errorText_ = lock_->Text();
}

ProfileWriteLock::~ProfileWriteLock() = default;

void ProfileWriteLock::Release() { lock_.reset(); }

}  // namespace platform
