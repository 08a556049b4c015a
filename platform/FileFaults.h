// The test seams of the file layer (platform/Files.h): one table of injected
// faults, one per kind of call, set by the tests and looked up by the calls.
// The folder lock's seam (platform/FolderLock.h) is a FaultSeam too.
// Each is given the native path the call is about to touch; an empty function
// ends it.
#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/WinTypes.h"

namespace platform {

// One test seam: a function a test sets and the guarded call looks up. The
// call takes the function under the lock and runs it outside, so that a fault
// may itself use the file layer or change the seam.
template <typename Fn>
class FaultSeam {
 public:
  void Set(Fn fn) {
    auto held = std::make_shared<const Fn>(std::move(fn));
    std::lock_guard lock(mutex_);
    fn_ = std::move(held);
  }
  // The function set, or null when none is.
  std::shared_ptr<const Fn> Get() const {
    std::lock_guard lock(mutex_);
    return fn_ && *fn_ ? fn_ : nullptr;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Fn> fn_;
};

using WriteFault = std::function<win::DWORD(const std::string& nativePath)>;
using ReadHook = std::function<void(const std::string& nativePath)>;

// While set, a write of a file (whole-file replacement, copy or append) for
// whose native path `fault` returns non-zero fails with that Windows error
// number before the file is touched, as a full disk refuses it
// (ERROR_DISK_FULL).
void SetWriteFault(WriteFault fault);
// While set, ReadFileBytes calls `hook` with the native path once the file is
// open, before its first byte is read.
void SetReadHook(ReadHook hook);
// While set, deleting a file, removing a folder, changing attributes or moving
// a file away fails for a native path for which `fault` returns non-zero, with
// that Windows error number, before anything is touched.
void SetRemoveFault(WriteFault fault);
// While set, listing a folder (ListFolder, FindFirstFile) fails for a native
// path for which `fault` returns non-zero, with that Windows error number.
void SetListFault(WriteFault fault);
// While set, a rename (MoveFile) is given its destination's native path just
// before it is made, and fails with a non-zero answer.
void SetRenameFault(WriteFault fault);
// While set, flushing a file's data or a folder's entries to disk fails for
// the native path of the file or folder for which `fault` returns non-zero,
// with that Windows error number, before the flush.
void SetFlushFault(WriteFault fault);

// For the file layer: the seams, and what the one set for `seam` makes of the
// call on `nativePath` (0: go ahead). The read hook answers 0 once it has run.
enum class FileSeam { Write, Read, Remove, Rename, List, Flush };
win::DWORD InjectedFault(FileSeam seam, const std::string& nativePath);

}  // namespace platform
