#include "device/ErrorLog.h"

#include "device/FileWrites.h"
#include "platform/Files.h"
#include "platform/FolderLock.h"
#include "platform/Profile.h"

namespace kx {

win::DWORD WriteErrorLogHeader(const std::string& errorLog) {
  return platform::EditProfileFile(errorLog, [](std::string& text) -> win::DWORD {
    platform::SetProfileKey(text, "Error List", "[Year-Month-Day Hour:Min:Sec]   SlotNo:No   SN:xxxxx",
                            "--Error_Code:Error_Msg");
    return 0;
  });
}

win::DWORD AddErrorLogEntry(const std::string& errorLog,
                            const std::function<std::string(const win::SYSTEMTIME&)>& makeKey,
                            const std::string& value) {
  {
    platform::ProfileWriteLock lock(errorLog);
    if (!platform::FileExists(errorLog))
      if (const win::DWORD error = WriteErrorLogHeader(errorLog); error != 0) return error;
  }
  // Outside the lock: the entry may wait for a second of its own.
  return WriteNewRecord(errorLog, "Error List", makeKey, value);
}

}  // namespace kx
