#include "platform/FileFaults.h"

#include <array>
#include <memory>
#include <mutex>

namespace platform {
namespace {

constexpr std::size_t kSeams = static_cast<std::size_t>(FileSeam::List) + 1;

// A call takes its seam's function under the lock and runs it outside, so a
// fault may itself use the file layer.
struct SeamTable {
  std::mutex mutex;
  std::array<std::shared_ptr<const WriteFault>, kSeams> faults;
};
SeamTable& seams() {
  static SeamTable t;
  return t;
}

void setSeam(FileSeam seam, WriteFault fault) {
  auto& t = seams();
  std::lock_guard lock(t.mutex);
  t.faults[static_cast<std::size_t>(seam)] = std::make_shared<const WriteFault>(std::move(fault));
}

}  // namespace

win::DWORD InjectedFault(FileSeam seam, const std::string& nativePath) {
  std::shared_ptr<const WriteFault> fault;
  {
    auto& t = seams();
    std::lock_guard lock(t.mutex);
    fault = t.faults[static_cast<std::size_t>(seam)];
  }
  return fault && *fault ? (*fault)(nativePath) : 0;
}

void SetWriteFault(WriteFault fault) { setSeam(FileSeam::Write, std::move(fault)); }
void SetRemoveFault(WriteFault fault) { setSeam(FileSeam::Remove, std::move(fault)); }
void SetListFault(WriteFault fault) { setSeam(FileSeam::List, std::move(fault)); }
void SetRenameFault(WriteFault fault) { setSeam(FileSeam::Rename, std::move(fault)); }

void SetReadHook(ReadHook hook) {
  WriteFault asFault;
  if (hook) {
    asFault = [hook = std::move(hook)](const std::string& nativePath) -> win::DWORD {
      hook(nativePath);
      return 0;
    };
  }
  setSeam(FileSeam::Read, std::move(asFault));
}

}  // namespace platform
