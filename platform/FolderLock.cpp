#include "platform/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/ErrorText.h"
#include "platform/FileFaults.h"
#include "platform/Paths.h"
#include "platform/Termination.h"

namespace platform {
namespace {

using win::DWORD;

// How often a wait for another process's lock looks for a termination request.
constexpr std::chrono::milliseconds kTerminationPoll{20};
// After a termination request, how long a wait for a lock may still go on: a
// lock another station or port holds for a moment is still got, so that the
// last records are written, while one a script keeps holds up the exit by
// this once, not once a record (waitForLock).
constexpr std::chrono::seconds kTerminationGrace{1};
// How long a wait for a folder given up against a holder outside the process
// looks again before it gives way: a thread of this process takes or lets go
// of a lock a moment before it notes so, and a wait given up earlier takes and
// lets go of the lock a moment after the holder lets go.
constexpr std::chrono::milliseconds kOutsideSettle{10};

// The folders whose write lock this thread holds (ProfileWriteLock and the
// writes nested in it), by what they are rather than by a path: a nested write
// reaches the same folder through a link, or after a link was swung to it.
thread_local std::vector<FolderId> t_lockedFolders;

// The folders whose lock a ProfileWriteLock of this thread was refused, while
// it lives: the writes it was meant to guard fail with its error rather than
// go ahead unguarded. `id` is known when the folder could be opened.
struct Refusal {
  std::string folder;
  std::optional<FolderId> id;
  DWORD error;
  std::string text;
};
thread_local std::vector<Refusal> t_refusedFolders;

// What the process knows of each folder across its threads: which of them its
// threads hold now (one entry a holding thread), and which a wait gave up
// after a termination request while no thread of the process held it. A lock
// refused by the system while none of its threads holds the folder is held
// outside the process: a script's flock(1), another kxmp.
class ProcessFolders {
 public:
  void Held(const FolderId& id) {
    std::lock_guard lock(mutex_);
    held_.push_back(id);
  }
  void LetGo(const FolderId& id) {
    std::lock_guard lock(mutex_);
    if (const auto it = std::find(held_.begin(), held_.end(), id); it != held_.end()) held_.erase(it);
  }
  // A wait given up: remembered when no thread of the process held the folder.
  void GivenUp(const FolderId& id) {
    std::lock_guard lock(mutex_);
    if (!has(held_, id) && !has(givenUpOutside_, id)) givenUpOutside_.push_back(id);
  }
  // True when the folder, whose wait gave way against an outside holder
  // before, is held outside the process still: none of its threads holds it.
  bool KeptOutside(const FolderId& id) {
    std::lock_guard lock(mutex_);
    return has(givenUpOutside_, id) && !has(held_, id);
  }

 private:
  static bool has(const std::vector<FolderId>& ids, const FolderId& id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  }
  std::mutex mutex_;
  std::vector<FolderId> held_;  // an entry a holding thread
  std::vector<FolderId> givenUpOutside_;
};
ProcessFolders& processFolders() {
  static ProcessFolders folders;
  return folders;
}
bool keptOutside(const FolderId& id) { return processFolders().KeptOutside(id); }

FaultSeam<LockFault>& lockFault() {
  static FaultSeam<LockFault> seam;
  return seam;
}

// The lock wait pump and the thread that set it.
struct PumpOwner {
  std::mutex mutex;
  std::shared_ptr<LockWaitPump> pump;
  std::thread::id thread;
};
PumpOwner& pumpOwner() {
  static PumpOwner owner;
  return owner;
}
std::shared_ptr<LockWaitPump> pumpOfThisThread() {
  PumpOwner& owner = pumpOwner();
  std::lock_guard lock(owner.mutex);
  return owner.thread == std::this_thread::get_id() ? owner.pump : nullptr;
}

int injectedLockFault(const std::string& folder, LockStep step) {
  const auto fault = lockFault().Get();
  return fault ? (*fault)(folder, step) : 0;
}

std::string parentFolder(const std::string& file) {
  const auto slash = file.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

// The folder as the system resolves its name now, for the messages and the
// seam; the name itself when it cannot be resolved (the open then says why).
std::string resolvedFolder(const std::string& folder) {
  char buf[PATH_MAX];
  return ::realpath(folder.c_str(), buf) != nullptr ? std::string(buf) : folder;
}

bool holds(const FolderId& id) {
  return std::find(t_lockedFolders.begin(), t_lockedFolders.end(), id) != t_lockedFolders.end();
}

const Refusal* refusalOf(const std::string& folder, const std::optional<FolderId>& id) {
  for (const Refusal& r : t_refusedFolders)
    if (r.folder == folder || (id && r.id == id)) return &r;
  return nullptr;
}

int tryLock(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    if (errno != EINTR) return errno;
  return 0;
}

int blockingLock(int fd) {
  while (::flock(fd, LOCK_EX) != 0)
    if (errno != EINTR) return errno;
  return 0;
}

// A blocking flock another thread waits in for us: the caller can give up on
// it, which a thread inside flock cannot.
struct LockWait {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
  int err = 0;
};

// Takes the exclusive flock on `fd`: 0 or the errno value. After a
// termination request a wait for another holder gives way (EINTR): for a
// folder whose wait gave way against a holder outside the process before, at
// once while it is held outside the process still (so that a script keeping a
// folder holds up the exit once, not once a record); otherwise once it has
// gone on for its own grace, whatever other waits did, so that a port of this
// process holding the folder for a moment is still waited for. A wait given
// up hands `fd` to the waiting thread, which closes it once its flock returns
// (a lock got too late is let go at once), and sets `fd` to -1.
int waitForLock(int& fd, const FolderId& id) {
  int e = tryLock(fd);
  if (e != EWOULDBLOCK) return e;
  if (TerminationRequested() && keptOutside(id)) {
    // Looked at again for a moment: a lock let go just now is still got.
    const auto until = std::chrono::steady_clock::now() + kOutsideSettle;
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      e = tryLock(fd);
      if (e != EWOULDBLOCK) return e;
    } while (keptOutside(id) && std::chrono::steady_clock::now() < until);
    if (keptOutside(id)) return EINTR;
  }
  auto wait = std::make_shared<LockWait>();
  try {
    std::thread([wait, waitFd = fd] {
      const int err = blockingLock(waitFd);
      std::lock_guard lock(wait->mutex);
      if (wait->abandoned) {
        ::close(waitFd);
        return;
      }
      wait->done = true;
      wait->err = err;
      wait->finished.notify_one();
    }).detach();
  } catch (const std::system_error&) {
    return blockingLock(fd);  // no thread to spare: wait here
  }
  // This thread's own work goes on while it waits; told once when the wait is over.
  const std::shared_ptr<LockWaitPump> pump = pumpOfThisThread();
  bool pumped = false;
  struct PumpEnd {
    LockWaitPump* pump;
    const bool& pumped;
    ~PumpEnd() {
      if (pumped) pump->Ended();
    }
  } pumpEnd{pump.get(), pumped};
  std::optional<std::chrono::steady_clock::time_point> givesWayAt;
  // Since when another wait's giving way against the outside holder is seen.
  std::chrono::steady_clock::time_point keptOutsideSince{};
  bool seenKeptOutside = false;
  std::unique_lock lock(wait->mutex);
  while (!wait->finished.wait_for(lock, kTerminationPoll, [&wait] { return wait->done; })) {
    if (pump) {
      // Without the wait's mutex: the waiting thread notes the lock got meanwhile.
      lock.unlock();
      pumped = true;
      pump->Waiting();
      lock.lock();
      if (wait->done) break;
    }
    if (!TerminationRequested()) continue;
    const auto now = std::chrono::steady_clock::now();
    if (!givesWayAt) givesWayAt = now + kTerminationGrace;
    // Another wait gave way against the outside holder while this one went on.
    const bool kept = keptOutside(id);
    if (kept && !seenKeptOutside) keptOutsideSince = now;
    seenKeptOutside = kept;
    if (now >= *givesWayAt || (kept && now - keptOutsideSince >= kOutsideSettle)) {
      processFolders().GivenUp(id);
      wait->abandoned = true;
      fd = -1;
      return EINTR;
    }
  }
  return wait->err;
}

}  // namespace

void SetLockFault(LockFault fault) { lockFault().Set(std::move(fault)); }

void SetLockWaitPump(std::shared_ptr<LockWaitPump> pump) {
  PumpOwner& owner = pumpOwner();
  std::lock_guard lock(owner.mutex);
  owner.pump = std::move(pump);
  owner.thread = std::this_thread::get_id();
}

bool HoldsFolderLock() { return !t_lockedFolders.empty(); }

FolderLock::FolderLock(const std::string& file, bool remember)
    : named_(parentFolder(file)), folder_(resolvedFolder(named_)) {
  if (const Refusal* r = refusalOf(folder_, std::nullopt)) {
    error_ = r->error;
    text_ = r->text;
    return;
  }
  if (take()) return;
  if (fd_ >= 0) {
    t_lockedFolders.push_back(*id_);
    processFolders().Held(*id_);
  } else if (error_ != 0 && remember) {
    t_refusedFolders.push_back({folder_, id_, error_, text_});
    remembered_ = true;
  }
}

FolderLock::~FolderLock() {
  if (remembered_) {
    const auto it = std::find_if(t_refusedFolders.rbegin(), t_refusedFolders.rend(),
                                 [this](const Refusal& r) { return r.folder == folder_; });
    if (it != t_refusedFolders.rend()) t_refusedFolders.erase(std::next(it).base());
  }
  if (fd_ < 0) return;
  const auto it = std::find(t_lockedFolders.rbegin(), t_lockedFolders.rend(), *id_);
  if (it != t_lockedFolders.rend()) t_lockedFolders.erase(std::next(it).base());
  processFolders().LetGo(*id_);
  ::close(fd_);
}

bool FolderLock::take() {
  for (;;) {
    int e = injectedLockFault(folder_, LockStep::Open);
    if (e == 0) {
      fd_ = ::open(named_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd_ < 0) e = errno;
    }
    struct stat st;
    if (e == 0 && ::fstat(fd_, &st) != 0) e = errno;
    if (e != 0) {
      refuse("opened", e, e == ENOENT || e == ENOTDIR ? win::ERROR_PATH_NOT_FOUND : ErrorFromErrno(e));
      return false;
    }
    // This thread's own lock or refusal of the folder decides: a second flock
    // on it would wait for the first.
    const FolderId id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    const Refusal* earlier = refusalOf(folder_, id);
    if (holds(id) || earlier != nullptr) {
      ::close(fd_);
      fd_ = -1;
      if (earlier != nullptr) {
        error_ = earlier->error;
        text_ = earlier->text;
      }
      return true;
    }
    id_ = id;
    e = injectedLockFault(folder_, LockStep::Lock);
    if (e == 0) e = waitForLock(fd_, id);
    if (e != 0) {
      refuse("locked", e, win::ERROR_LOCK_FAILED);
      return false;
    }
    // The name may lead elsewhere now: a folder replaced (a script's copy and
    // rename) or a link swung to a copy while this waited. The files are where
    // the name leads; lock that folder.
    struct stat named;
    if (::stat(named_.c_str(), &named) == 0 && named.st_dev == id.dev && named.st_ino == id.ino) return false;
    ::close(fd_);
    fd_ = -1;
    id_.reset();
    folder_ = resolvedFolder(named_);
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
  // By the name given, not the one resolved now: the lock follows a link the
  // name passes through as the reads and writes under it do.
  lock_ = std::make_unique<FolderLock>(mapped, true);
  error_ = lock_->Error();
  errorText_ = lock_->Text();
}

ProfileWriteLock::~ProfileWriteLock() = default;

void ProfileWriteLock::Release() { lock_.reset(); }

}  // namespace platform
