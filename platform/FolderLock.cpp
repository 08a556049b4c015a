#include "platform/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <list>
#include <memory>
#include <mutex>
#include <sstream>
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
// After a termination request, how long a wait for a lock held outside the
// process may still go on: a lock another station holds for a moment is still
// got, while one a script keeps holds up the exit by this once, not once a
// record (ProcessFolders::Wait).
constexpr std::chrono::seconds kTerminationGrace{1};
// After a termination request, how long a wait for a lock that a thread of
// the process (a port) or another process of the program (a station beside
// it) holds may go on: far above what the stations' ports take to write their
// last records one after another on a slow network disk, so that it only ends
// a wait for a holder that does not let go.
constexpr std::chrono::milliseconds kInsideHolderLimit = std::chrono::minutes(10);
// After a termination request, once a holder outside the process was seen
// changing the folder while it held it (a station this PC's list of locks
// does not show, on another PC), how long a holder outside may keep it
// without changing it and still be taken as recording rather than as a
// script keeping it: above the time one record of a slow disk takes.
constexpr std::chrono::seconds kRecordingWindow{2};
// What a wait answers, instead of an errno value, when it gave way after a
// termination request: the folder held outside the process, or not known to be.
constexpr int kKeptOutside = -1;
constexpr int kNotKeptOutside = -2;

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
  std::string reason;
};
thread_local std::vector<Refusal> t_refusedFolders;

// This thread's latest refused folder lock, for the write that failed with it.
struct LastRefusal {
  std::string folder;
  std::optional<FolderId> id;
  std::string reason;
};
thread_local std::optional<LastRefusal> t_lastRefusal;

std::atomic<std::chrono::milliseconds::rep> g_insideHolderLimitMs{kInsideHolderLimit.count()};

FaultSeam<LockFault>& lockFault() {
  static FaultSeam<LockFault> seam;
  return seam;
}

FaultSeam<LockWaitClock>& lockWaitClock() {
  static FaultSeam<LockWaitClock> seam;
  return seam;
}

std::chrono::steady_clock::time_point lockWaitNow() {
  const auto clock = lockWaitClock().Get();
  return clock ? (*clock)() : std::chrono::steady_clock::now();
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

// A lock refused again as this thread's ProfileWriteLock of the folder was.
void refuseAgain(const Refusal& earlier, DWORD& error, std::string& text, std::string& reason) {
  error = earlier.error;
  text = earlier.text;
  reason = earlier.reason;
  t_lastRefusal = LastRefusal{earlier.folder, earlier.id, reason};
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

// The first line of a /proc file, empty when it cannot be read.
std::string firstLine(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The process holding the flock of the folder as the system lists it (a
// waiter's line starts "->" and is passed over); 0 when none is listed: let
// go meanwhile, or held from another machine on a network disk.
pid_t flockHolder(const FolderId& id) {
  const dev_t dev = static_cast<dev_t>(id.dev);
  char where[64];
  std::snprintf(where, sizeof where, "%02x:%02x:%llu", ::major(dev), ::minor(dev),
                static_cast<unsigned long long>(id.ino));
  std::ifstream in("/proc/locks");
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, place;
    fields >> number >> kind >> mode >> access >> pid >> place;
    if (kind == "FLOCK" && place == where) return static_cast<pid_t>(std::strtol(pid.c_str(), nullptr, 10));
  }
  return 0;
}

// Whether `pid` is another process of this program (by its name, so that
// another copy or version of the program counts too): a station that holds a
// folder only while it writes a record, unlike a script's flock(1).
bool isAnotherStation(pid_t pid) {
  if (pid <= 0 || pid == ::getpid()) return false;
  const std::string name = firstLine("/proc/" + std::to_string(pid) + "/comm");
  return !name.empty() && name == firstLine("/proc/self/comm");
}

// A folder's change and status-change times, to tell that it changed (zero
// when they cannot be read).
using FolderStamp = std::array<long long, 4>;
FolderStamp stampOf(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return {};
  return {st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

// What the process knows of each folder's lock across its threads, so that
// after a termination request a lock refused by the system is known to be
// held outside the process (a script's flock(1), another kxmp) only when it
// is: every descriptor of the process that takes, holds, waits for or lets go
// of the lock is accounted for under one mutex, and the decision is taken
// from fresh tries under it (look).
class ProcessFolders {
 public:
  // A non-blocking try on `fd`: 0 with the lock noted as held, or the errno value.
  int Try(int fd, const FolderId& id) {
    Folder* f;
    {
      std::lock_guard lock(mutex_);
      f = &at(id);
      ++f->changing;
    }
    const int e = tryLock(fd);
    std::lock_guard lock(mutex_);
    --f->changing;
    if (e == 0) ++f->held;
    changed_.notify_all();
    return e;
  }

  // Closes `fd`, which holds the folder's lock when `held` (as noted by Try or Wait).
  void Close(int fd, const FolderId& id, bool held) {
    Folder* f;
    {
      std::lock_guard lock(mutex_);
      f = &at(id);
      if (held) --f->held;
      ++f->changing;
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    --f->changing;
    changed_.notify_all();
  }

  // Takes the exclusive flock on `fd`: 0 with the lock noted as held, or the
  // errno value. After a termination request a wait gives way to a holder
  // outside the process (kKeptOutside): for a folder a wait found held
  // outside before, at once while it is held outside still, so that a script
  // keeping a folder holds up the exit once, not once a record; otherwise
  // once it has gone on for its grace. A wait for a port of this process, or
  // for another station recording into the folder, goes on until that holder
  // lets go, however long the ports queue for the folder, and gives way only
  // after the inside holder's limit (kNotKeptOutside for a port, kKeptOutside
  // for another station). A wait given up hands `fd` to the waiting thread, which
  // closes it once its flock returns (a lock got too late is let go at once),
  // and sets `fd` to -1.
  int Wait(int& fd, const FolderId& id) {
    int e = Try(fd, id);
    if (e != EWOULDBLOCK) return e;
    // This thread's own work goes on while it waits; told once when the wait
    // is over, without the mutex.
    const std::shared_ptr<LockWaitPump> pump = pumpOfThisThread();
    bool pumped = false;
    struct PumpEnd {
      LockWaitPump* pump;
      const bool& pumped;
      ~PumpEnd() {
        if (pumped) pump->Ended();
      }
    } pumpEnd{pump.get(), pumped};
    std::unique_lock lock(mutex_);
    Folder& f = at(id);
    if (TerminationRequested() && f.keptOutside) {
      const Look look = lookAt(lock, f, fd, nullptr);
      if (look == Look::Taken) return 0;
      if (look == Look::Outside && !f.recording) return kKeptOutside;
      // A port or a station holds it now, or a holder outside may be recording: waited for as below.
    }
    // A blocking flock another thread waits in for us: this thread can give up
    // on it, which a thread inside flock cannot.
    const auto waiter = std::make_shared<Waiter>(fd);
    f.waiters.push_back(waiter);
    try {
      std::thread([this, &f, waiter] { waitInFlock(f, waiter); }).detach();
    } catch (const std::system_error&) {
      lock.unlock();
      waitInFlock(f, waiter);  // no thread to spare: wait here
      return waiter->err;
    }
    // When this wait first saw the termination request.
    std::optional<std::chrono::steady_clock::time_point> stoppedAt;
    // The folder as this wait's previous look found it held outside, and
    // since when it has not changed while held outside.
    std::optional<FolderStamp> outsideStamp;
    std::chrono::steady_clock::time_point quietSince;
    while (!changed_.wait_for(lock, kTerminationPoll, [&waiter] { return waiter->done; })) {
      if (pump) {
        // Without the mutex: the waiting thread notes the lock got meanwhile.
        lock.unlock();
        pumped = true;
        pump->Waiting();
        lock.lock();
        if (waiter->done) break;
      }
      if (!TerminationRequested()) continue;
      const auto now = lockWaitNow();
      if (!stoppedAt) stoppedAt = now;
      const bool graceOver = now >= *stoppedAt + kTerminationGrace;
      Look look = lookAt(lock, f, fd, waiter.get());
      // A holder outside that changes the folder while it holds it (seen at a
      // later look, or once it let go) records: a station this PC's list of
      // locks does not show. Once one was seen, a holder outside is taken as
      // recording until it keeps the folder unchanged for the window.
      const FolderStamp stamp = stampOf(fd);
      const bool changed = outsideStamp && stamp != *outsideStamp;
      if (changed) f.recording = true;
      if (look == Look::Outside) {
        if (!outsideStamp || changed) quietSince = now;
        outsideStamp = stamp;
      } else {
        outsideStamp.reset();
      }
      if (waiter->done) break;
      if (look == Look::Taken) continue;
      if (look == Look::Outside && f.recording && now < quietSince + kRecordingWindow) look = Look::Station;
      // Before its grace is over, a wait gives way only to a folder that
      // another wait found held outside.
      if (!graceOver && !f.keptOutside) continue;
      if ((look == Look::Inside || look == Look::Station) &&
          (!graceOver || now < *stoppedAt + std::chrono::milliseconds(g_insideHolderLimitMs.load())))
        continue;
      if (look == Look::Outside) {
        f.keptOutside = true;
        f.recording = false;
      }
      waiter->abandoned = true;
      fd = -1;
      return look == Look::Inside ? kNotKeptOutside : kKeptOutside;
    }
    return waiter->err;
  }

 private:
  // A thread waiting in a blocking flock on `fd`.
  struct Waiter {
    explicit Waiter(int f) : fd(f) {}
    const int fd;
    bool done = false;       // the flock returned: `err`, and the lock noted as held when 0
    bool abandoned = false;  // the wait gave way: the waiting thread closes `fd`
    int err = 0;
  };
  struct Folder {
    explicit Folder(const FolderId& i) : id(i) {}
    const FolderId id;
    int held = 0;      // descriptors holding the lock, a FolderLock each
    int changing = 0;  // descriptors being tried or closed: each may hold the lock or not
    std::vector<std::shared_ptr<Waiter>> waiters;
    // A wait gave way after a termination request while the folder was held outside.
    bool keptOutside = false;
    // A wait after a termination request saw the folder change while held
    // outside, and no wait gave way to a holder outside since.
    bool recording = false;
  };
  enum class Look {
    Taken,    // `fd` holds the lock (noted as held unless its own waiter notes it)
    Inside,   // a thread of the process holds it, or the system did not say who
    Station,  // another process of the program holds it, or a holder that changes the folder: it records
    Outside,  // held outside the process by anything else (a script's flock)
  };

  // Entries stay for the life of the process: a waiting thread may refer to
  // one, and a program writes to few folders.
  Folder& at(const FolderId& id) {
    const auto it = std::find_if(folders_.begin(), folders_.end(), [&id](const Folder& f) { return f.id == id; });
    return it != folders_.end() ? *it : folders_.emplace_back(id);
  }

  // Under the mutex (`lock`), once no descriptor of the process is being
  // tried or closed: the folder is held outside when none of its threads
  // holds it and the system refuses the lock to `fd` and to each descriptor
  // a thread waits on (a flock on a descriptor that holds the lock is granted
  // again). The waits and closes of the process note their outcome under the
  // mutex, so none can let go between these tries; a lock the system grants
  // here is the process's, and `fd`'s when its own waiter is `own`. Held
  // outside, the system's list of locks tells another station from a script;
  // a holder missing from it, or listed as this process, is looked for again
  // after fresh tries, as the lock may pass on between the tries and the list.
  Look lookAt(std::unique_lock<std::mutex>& lock, Folder& f, int fd, const Waiter* own) {
    changed_.wait(lock, [&f] { return f.changing == 0; });
    if (f.held > 0) return Look::Inside;
    for (int attempt = 0;; ++attempt) {
      const int e = tryLock(fd);
      if (e == 0) {
        if (own == nullptr) ++f.held;
        return Look::Taken;
      }
      if (e != EWOULDBLOCK) return Look::Inside;
      for (const auto& w : f.waiters)
        if (w.get() != own && tryLock(w->fd) != EWOULDBLOCK) return Look::Inside;
      const pid_t holder = flockHolder(f.id);
      if ((holder != 0 && holder != ::getpid()) || attempt == 2)
        return isAnotherStation(holder) ? Look::Station : Look::Outside;
    }
  }

  void waitInFlock(Folder& f, const std::shared_ptr<Waiter>& waiter) {
    const int err = blockingLock(waiter->fd);
    std::unique_lock lock(mutex_);
    std::erase(f.waiters, waiter);
    if (!waiter->abandoned) {
      waiter->done = true;
      waiter->err = err;
      if (err == 0) ++f.held;
      changed_.notify_all();
      return;
    }
    ++f.changing;
    lock.unlock();
    ::close(waiter->fd);
    lock.lock();
    --f.changing;
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::list<Folder> folders_;
};
// Never destroyed: a wait given up may still return from its flock while the
// program ends.
ProcessFolders& processFolders() {
  static auto* folders = new ProcessFolders;
  return *folders;
}

}  // namespace

void SetLockFault(LockFault fault) { lockFault().Set(std::move(fault)); }

void SetLockWaitClock(LockWaitClock clock) { lockWaitClock().Set(std::move(clock)); }

void SetInsideHolderLimit(std::chrono::milliseconds limit) {
  g_insideHolderLimitMs = (limit.count() > 0 ? limit : kInsideHolderLimit).count();
}

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
    refuseAgain(*r, error_, text_, reason_);
    return;
  }
  if (take()) return;
  if (fd_ >= 0) {
    t_lockedFolders.push_back(*id_);
  } else if (error_ != 0 && remember) {
    t_refusedFolders.push_back({folder_, id_, error_, text_, reason_});
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
  processFolders().Close(fd_, *id_, true);
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
      if (earlier != nullptr) refuseAgain(*earlier, error_, text_, reason_);
      return true;
    }
    id_ = id;
    e = injectedLockFault(folder_, LockStep::Lock);
    if (e == 0) e = processFolders().Wait(fd_, id);
    if (e != 0) {
      refuse("locked", e, win::ERROR_LOCK_FAILED);
      return false;
    }
    // The name may lead elsewhere now: a folder replaced (a script's copy and
    // rename) or a link swung to a copy while this waited. The files are where
    // the name leads; lock that folder.
    struct stat named;
    if (::stat(named_.c_str(), &named) == 0 && named.st_dev == id.dev && named.st_ino == id.ino) return false;
    processFolders().Close(fd_, id, true);
    fd_ = -1;
    id_.reset();
    folder_ = resolvedFolder(named_);
  }
}

void FolderLock::refuse(const char* step, int err, DWORD error) {
  if (fd_ >= 0 && id_) {
    processFolders().Close(fd_, *id_, false);
  } else if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = -1;
  error_ = error;
  reason_ = err == kKeptOutside      ? "another process keeps the folder and the program is ending"
            : err == kNotKeptOutside ? "the program is ending and no other process is known to keep the folder"
                                     : std::generic_category().message(err);
  text_ = "the folder " + folder_ + " cannot be " + step + ": " + reason_;
  t_lastRefusal = LastRefusal{folder_, id_, reason_};
}

std::string LockRefusalReason(const std::string& file) {
  if (!t_lastRefusal) return {};
  std::string mapped;
  if (!MapPath(file, mapped)) return {};
  const std::string folder = resolvedFolder(parentFolder(mapped));
  struct stat st;
  const bool same = folder == t_lastRefusal->folder ||
                    (t_lastRefusal->id && ::stat(folder.c_str(), &st) == 0 &&
                     *t_lastRefusal->id == FolderId{static_cast<std::uint64_t>(st.st_dev),
                                                    static_cast<std::uint64_t>(st.st_ino)});
  return same ? t_lastRefusal->reason : std::string();
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
