#include "platform/FileFaults.h"

#include <array>

namespace platform {
namespace {

constexpr std::size_t kSeams = static_cast<std::size_t>(FileSeam::Flush) + 1;

std::array<FaultSeam<WriteFault>, kSeams>& seams() {
  static std::array<FaultSeam<WriteFault>, kSeams> t;
  return t;
}

void setSeam(FileSeam seam, WriteFault fault) { seams()[static_cast<std::size_t>(seam)].Set(std::move(fault)); }

}  // namespace

win::DWORD InjectedFault(FileSeam seam, const std::string& nativePath) {
  const auto fault = seams()[static_cast<std::size_t>(seam)].Get();
  return fault ? (*fault)(nativePath) : 0;
}

void SetWriteFault(WriteFault fault) { setSeam(FileSeam::Write, std::move(fault)); }
void SetRemoveFault(WriteFault fault) { setSeam(FileSeam::Remove, std::move(fault)); }
void SetListFault(WriteFault fault) { setSeam(FileSeam::List, std::move(fault)); }
void SetRenameFault(WriteFault fault) { setSeam(FileSeam::Rename, std::move(fault)); }
void SetFlushFault(WriteFault fault) { setSeam(FileSeam::Flush, std::move(fault)); }

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
