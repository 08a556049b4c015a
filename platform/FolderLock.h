// The cross-process lock on a folder that every write of a shared file in it
// takes: the profile calls' writes and the file layer's record appends.
//
// Across processes it is an exclusive flock on the folder itself: no lock file
// litters the folder, and a script takes the same lock with flock(1) on it.
// Within a process each thread remembers the folders it holds (by device and
// inode), so that a write nested in a held lock goes through instead of
// waiting for itself, whatever name it reaches the folder by, and the
// folders whose lock a ProfileWriteLock was refused, so that the writes it was
// meant to guard fail with its error rather than go ahead unguarded; the
// process accounts for every descriptor of its threads that takes, holds,
// waits for or lets go of a folder's lock, so that after a stop a lock is
// known to be held outside only when the system refuses it to all of them
// while none holds it.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/WinTypes.h"

namespace platform {

// What a folder is, whatever path leads to it.
struct FolderId {
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  bool operator==(const FolderId&) const = default;
};

// Locks the folder holding `file` (a native path; its folder may be named
// through links) for as long as it lives. The folder is known by what it is:
// a thread that already holds it, by whatever name, goes through; one whose
// ProfileWriteLock on it was refused gets that refusal again. Once locked, the
// name must still lead to the folder locked, or the folder it now leads to is
// locked instead. A wait for another holder gives way to a termination request
// (platform/Termination.h): the lock is then refused. A wait for a holder
// outside the process that is no process of this program (a script's flock(1))
// gives way once it has gone on for a second after the request (or after it
// began, if later). A wait for a lock another thread of the process (a port)
// holds, or another process of this program (a station recording into the same
// folder: the holder the system lists, known by its process name), or a holder
// seen changing the folder while it holds it (a station on another PC, which
// the system does not list; taken so until it keeps the folder unchanged for
// two seconds), goes on until that holder lets go, so that a stopped pass's
// last records are written however long the ports queue for the folder; it
// gives way only after a limit far above that (ten minutes), against a holder
// that does not let go. Once a wait for a folder gave way while it was held
// outside the process by anything else, a later wait for it takes it at once if
// it was let go and gives way at once while such a holder keeps it still: a
// lock a script keeps holds up the exit once, not once a record. A wait that
// gave way against a holder outside (a script, or a station past the limit)
// says so in Text() ("another process keeps the folder and the program is
// ending"), and one that gave way otherwise says that no other process is known
// to keep it.
class FolderLock {
 public:
  // `remember`: a refusal makes this thread's writes to the folder fail while
  // this lives (ProfileWriteLock).
  FolderLock(const std::string& file, bool remember);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  // 0, ERROR_PATH_NOT_FOUND or the error of a folder that cannot be opened, or
  // ERROR_LOCK_FAILED when the system refuses the lock or the wait gave way.
  win::DWORD Error() const { return error_; }
  // What was refused, for a message; empty when held.
  const std::string& Text() const { return text_; }

 private:
  // True when this thread's own lock or refusal of the folder decided.
  bool take();
  void refuse(const char* step, int err, win::DWORD error);

  std::string named_;   // the folder as the caller named it
  std::string folder_;  // where the name led at the last try
  std::optional<FolderId> id_;
  int fd_ = -1;
  win::DWORD error_ = 0;
  std::string text_;
  std::string reason_;  // the end of text_: why it was refused
  bool remembered_ = false;
};

// Why this thread's latest refused folder lock was refused, when it was the
// lock of the folder holding `file` (a path as the file calls take it): what
// a write that failed with ERROR_LOCK_FAILED tells beside the number, above
// all whether another process keeps the folder ("another process keeps the
// folder and the program is ending", "No locks available"). Empty when this
// thread's latest refusal was of another folder, or there was none.
std::string LockRefusalReason(const std::string& file);

// True while this thread holds the lock of some folder: its profile reads then
// read files afresh, as another process's change may be newer than the
// kernel's report of it.
bool HoldsFolderLock();

// Holds, while it lives, the cross-process lock that every profile write to a
// file in the folder of `fileName` takes (the flock on the folder), so that a
// read, a change and the write made under it are one step for every process
// and thread. This thread's profile writes in that folder go through, and its
// profile reads read files afresh. A folder replaced while the lock was
// waited for, or a link on its path swung to another, is locked again where
// the path leads. Error(): 0, or the Windows error number when nothing is
// held: the folder cannot be found or opened, or the system refuses the lock
// (ERROR_LOCK_FAILED, as a network file system without flock does), or a
// termination request ended the wait (ERROR_LOCK_FAILED). Then, while this
// lives, this thread's profile writes to that folder fail with the same error;
// a caller that writes through the file layer (platform/Files.h) must check
// Error() itself.
class ProfileWriteLock {
 public:
  explicit ProfileWriteLock(const std::string& fileName);
  ~ProfileWriteLock();
  ProfileWriteLock(const ProfileWriteLock&) = delete;
  ProfileWriteLock& operator=(const ProfileWriteLock&) = delete;
  win::DWORD Error() const { return error_; }
  // What was refused, for a message: the folder and the system's reason
  // ("the folder /srv/kx cannot be locked: No locks available"); empty when held.
  const std::string& ErrorText() const { return errorText_; }
  // Lets go before the end of the scope.
  void Release();

 private:
  std::unique_ptr<FolderLock> lock_;
  win::DWORD error_ = 0;
  std::string errorText_;
};

// What the thread that sets it does while it waits for a folder's lock that
// another holder keeps, besides waiting: Waiting at each look at the wait
// (about every 20 ms) and Ended once the wait is over, the lock got or the
// wait given way. The window thread keeps its window drawn and takes a close
// meanwhile, and the close asks the end as a signal does (platform/Termination.h),
// so that the wait gives way to it. Other threads only wait. Null ends it.
class LockWaitPump {
 public:
  virtual ~LockWaitPump() = default;
  virtual void Waiting() = 0;
  virtual void Ended() = 0;
};
void SetLockWaitPump(std::shared_ptr<LockWaitPump> pump);

// Test seam (a FaultSeam, as the file layer's, platform/FileFaults.h): while
// set, the folder lock calls `fault` with the folder's resolved native path
// before it opens the folder (LockStep::Open) and before its flock
// (LockStep::Lock). A non-zero errno value fails that step with it, as a folder
// that cannot be opened (EACCES) or a file system that refuses locks (ENOLCK)
// does. An empty function ends it.
enum class LockStep { Open, Lock };
using LockFault = std::function<int(const std::string& folder, LockStep step)>;
void SetLockFault(LockFault fault);

// Test seam: after a termination request, how long a wait for a lock another
// thread of the process, or another process of the program, holds may go on (counted as the second a holder
// outside gets is, and never given up before that second); zero puts back
// the program's own ten minutes.
void SetInsideHolderLimit(std::chrono::milliseconds limit);

// Test seam: while set, the time by which a wait after a termination request
// counts its second and its limit (read once at each look); an empty function
// puts back the steady clock. The program's clock (platform/Clock.h) is not
// used: an emulated site's virtual time would end a wait for a port early.
using LockWaitClock = std::function<std::chrono::steady_clock::time_point()>;
void SetLockWaitClock(LockWaitClock clock);

}  // namespace platform
