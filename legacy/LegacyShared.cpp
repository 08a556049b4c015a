#include "legacy/LegacyShared.h"

#include <array>
#include <filesystem>
#include <mutex>

#include "device/AppHolders.h"
#include "device/Format.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace legacy {

namespace {

kx::SharedText g_WorkingNumber;
kx::SharedText g_ModelName;
std::array<kx::SharedText, 5> g_PcTexts;

}  // namespace

std::string WorkingNumber() { return g_WorkingNumber.Get(); }
void SetWorkingNumber(const std::string& number) { g_WorkingNumber.Set(number); }
std::string SharedModelName() { return g_ModelName.Get(); }
void SetSharedModelName(const std::string& name) { g_ModelName.Set(name); }
std::string SharedPcText(PcText which) { return g_PcTexts[static_cast<std::size_t>(which)].Get(); }
void SetSharedPcText(PcText which, const std::string& text) { g_PcTexts[static_cast<std::size_t>(which)].Set(text); }

bool IsKx7410(const std::string& controllerType) {
  return controllerType.size() >= 6 && platform::EqualsNoCase(controllerType.substr(0, 6), "KX7410");
}

bool ReplaceByCopy(const std::string& source, const std::string& target) {
  const std::string temporary = target + ".tmp";
  if (!win::CopyFile(source.c_str(), temporary.c_str(), win::FALSE)) {
    win::DeleteFile(temporary.c_str());
    return false;
  }
  if (!win::MoveFileEx(temporary.c_str(), target.c_str(), win::MOVEFILE_REPLACE_EXISTING)) {
    win::DeleteFile(temporary.c_str());
    return false;
  }
  return true;
}

bool IsSameFile(const std::string& a, const std::string& b) {
  const std::string nativeA = platform::MapPath(a), nativeB = platform::MapPath(b);
  std::error_code ec;
  return !nativeA.empty() && !nativeB.empty() && std::filesystem::equivalent(nativeA, nativeB, ec) && !ec;
}

std::string TimeStamp() {
  win::SYSTEMTIME t;
  win::GetLocalTime(&t);
  return kx::StrFormat("%02d-%02d-%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

}  // namespace legacy
