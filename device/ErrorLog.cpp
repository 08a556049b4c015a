#include "device/ErrorLog.h"

#include "device/FileWrites.h"
#include "platform/Files.h"
#include "platform/Profile.h"

namespace kx {

namespace {

win::DWORD SetColumnLine(std::string& text) {
  return platform::SetProfileKey(text, "Error List", "[Year-Month-Day Hour:Min:Sec]   SlotNo:No   SN:xxxxx",
                                 "--Error_Code:Error_Msg");
}

}  // namespace

win::DWORD WriteErrorLogHeader(const std::string& errorLog) {
  return platform::EditProfileFile(errorLog, SetColumnLine);
}

win::DWORD AddErrorLogEntry(const std::string& errorLog,
                            const std::function<std::string(const win::SYSTEMTIME&)>& makeKey,
                            const std::string& value) {
  std::string key;  // the entry's key as last built
  const auto keyed = [&](const win::SYSTEMTIME& at) { return key = makeKey(at); };
  // Checked under the lock of the write that adds the entry, however long the
  // entry waited for its second: a log missing then is written whole.
  return WriteNewRecord(errorLog, "Error List", keyed, value, [&](std::string& text) -> win::DWORD {
    if (platform::FileExists(errorLog)) return 0;
    std::string whole;
    win::DWORD error = SetColumnLine(whole);
    if (error == 0) error = platform::SetProfileKey(whole, "Error List", key, value);
    if (error == 0) text = std::move(whole);
    return error;
  });
}

}  // namespace kx
